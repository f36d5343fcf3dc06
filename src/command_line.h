// The command line and the usage text.
#pragma once

#include <array>
#include <span>
#include <string>
#include <string_view>

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

}  // namespace zeftil
