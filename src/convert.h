// The conversion run: every entry of an archive written as an image file, and
// the exit status the program ends with. Nothing here touches the process;
// main does.
#pragma once

#include <cstdint>
#include <functional>
#include <string_view>

#include "gaf/gaf.h"
#include "image/image.h"

namespace zeftil {

// How a run ended; exit_status gives each its exit status, as the README's
// table lists them.
enum class RunStatus {
    ok,                 // 0: every entry written, or the usage text shown
    entries_failed,     // 1: some entries could not be read or written
    usage_not_written,  // 1: standard output did not take the usage text
    archive_unusable,   // -1 (255 where 8 bits are kept): nothing written
};
int exit_status(RunStatus status);

// Takes one message, a whole line.
using Report = std::function<void(std::string_view)>;

// Writes every entry of `archive` as an image file in the current directory,
// in offset-table order, reporting each entry that fails.
RunStatus convert_archive(GafArchive& archive, std::string_view path, OutputFormat format, const Report& report);

}  // namespace zeftil
