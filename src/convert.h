// The conversion run: the command line, the walk over the archive's entries,
// every message the program prints and the exit status it ends with. Nothing
// here touches the process; main does.
#pragma once

#include <array>
#include <cstdint>
#include <functional>
#include <span>
#include <string>
#include <string_view>

#include "gaf/gaf.h"
#include "image/image.h"

namespace zeftil {

struct CommandLine {
    bool show_usage = false;
    OutputFormat format = OutputFormat::tga;
    std::string path;
};

// `args` are the arguments after the program's own name. One argument is the
// archive path, whatever it reads; two are "-b" (exactly) and the path.
CommandLine parse_command_line(std::span<const std::string_view> args);

// The usage text, as the four pieces it is written in.
std::array<std::string_view, 4> usage_text();

// Which file names a platform takes as they stand. On Windows some names
// reach a device (CON, NUL, COM1, ...), ':' opens an alternate data stream
// and a few more characters are not allowed at all; elsewhere any name is a
// file name. Both refuse the path separators, '/' and backslash.
enum class NameRules { posix, windows };
#ifdef _WIN32
inline constexpr NameRules kNativeNameRules = NameRules::windows;
#else
inline constexpr NameRules kNativeNameRules = NameRules::posix;
#endif

// Why an entry name cannot give an output file name, if it cannot. The output
// is the name with ".tga" or ".bmp" after it, so it never ends in a dot or a
// space, which Windows would drop.
enum class NameError { none, path_separator, forbidden_character, device_name };
NameError check_output_name(std::string_view name, NameRules rules = kNativeNameRules);
std::string_view to_string(NameError error);

// Worst outcome so far; each maps to one exit status.
enum class RunStatus { ok = 0, entries_failed = 1, archive_unusable = 2, usage_not_written = 3 };
int exit_status(RunStatus status);

// The one-message report of an archive that cannot be used.
std::string archive_message(std::string_view path, const LoadStatus& status);

// The report of a usage text that standard output did not take.
std::string usage_failure_message(int system_error);

// Takes one message, a whole line.
using Report = std::function<void(std::string_view)>;

// Writes every entry of `archive` as an image file in the current directory,
// in offset-table order, reporting each entry that fails.
RunStatus convert_archive(GafArchive& archive, std::string_view path, OutputFormat format, const Report& report);

}  // namespace zeftil
