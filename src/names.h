// How an entry name becomes the name of its image file, and which names are
// refused.
#pragma once

#include <string>
#include <string_view>

#include "image/image.h"
#include "native.h"

namespace zeftil {

// The file name of an entry's image: its name as stored, then ".tga" or
// ".bmp". It never ends in a dot or a space, which Windows would drop.
std::string output_name(std::string_view entry_name, OutputFormat format);

// Why an entry name cannot give an output file name, if it cannot. Both rule
// sets refuse the path separators, '/' and backslash. On Windows some names
// reach a device (CON, NUL, COM1, ...), ':' opens an alternate data stream
// and a few more characters are not allowed at all; elsewhere any other name
// is a file name.
enum class NameError { none, path_separator, forbidden_character, device_name };
NameError check_output_name(std::string_view name, NameRules rules = native_name_rules());

// A name as messages show it: control characters as \xNN, so that every
// message stays one line; the rest as the file name is made from it.
std::string printable(std::string_view name);

}  // namespace zeftil
