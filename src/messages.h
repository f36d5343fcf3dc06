// Every message the program prints, and the reasons they give: one line each,
// "ERROR reading" for the archive and its entries, "ERROR writing" for the
// files written. (The reasons for archive and entry faults, to_string of
// ArchiveError and EntryError, are declared with the faults in gaf/gaf.h.)
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "gaf/gaf.h"
#include "image/image.h"
#include "names.h"

namespace zeftil {

std::string_view to_string(NameError error);
std::string_view to_string(WriteError error);

// An archive that cannot be used: its one message, then an empty line.
std::string archive_message(std::string_view path, const LoadStatus& status);

// Entry `index` could not be read.
std::string entry_message(std::string_view path, std::int32_t index, const GafEntry& entry, const EntryStatus& status);

// The image file `output` is refused for its name, or could not be written.
std::string name_message(std::string_view output, NameError error);
std::string write_message(std::string_view output, const WriteStatus& status);

// The usage text that standard output did not take.
std::string usage_failure_message(int system_error);

}  // namespace zeftil
