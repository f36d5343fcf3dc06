#include "command_line.h"

namespace zeftil {

CommandLine parse_command_line(std::span<const std::string_view> args) {
    CommandLine line;
    if (args.size() == 1) {
        line.path = args[0];
    } else if (args.size() == 2 && args[0] == "-b") {
        line.format = OutputFormat::bmp;
        line.path = args[1];
    } else {
        line.show_usage = true;
    }
    return line;
}

// ZEFTIL_VERSION comes from the build: project(... VERSION ...) in CMakeLists.txt.
std::array<std::string_view, 4> usage_text() {
    return {
        "ZEFTIL -- Convert Total Annihilation .GAF files into individual texture images\n",
        "Version " ZEFTIL_VERSION " free software, built from its own sources\n",
        "Syntax :   zeftil [-b] <filename.gaf>\n",
        "                    -b will generate .BMP files instead of the default .TGA\n\n",
    };
}

}  // namespace zeftil
