#include <gtest/gtest.h>

#include "command_line.h"
#include "names.h"
#include "native.h"

namespace {

using namespace zeftil;

TEST(CommandLine, Arguments) {
    struct Case {
        std::vector<std::string_view> args;
        bool usage;
        OutputFormat format;
        std::string path;
    };
    // The end-to-end table runs the other command lines; these show the
    // format chosen, which only the files written would.
    const Case cases[] = {
        {{"units.gaf"}, false, OutputFormat::tga, "units.gaf"},
        {{"-b"}, false, OutputFormat::tga, "-b"},  // one argument is always the path
        {{"-b", "units.gaf"}, false, OutputFormat::bmp, "units.gaf"},
        {{"-b", "-b"}, false, OutputFormat::bmp, "-b"},
        {{"-bb", "units.gaf"}, true, OutputFormat::tga, ""},
        {{"a", "b", "c", "d"}, true, OutputFormat::tga, ""},
    };
    for (const Case& c : cases) {
        const CommandLine line = parse_command_line(c.args);
        EXPECT_EQ(line.show_usage, c.usage) << c.args.size();
        EXPECT_EQ(line.format, c.format) << c.args.size();
        EXPECT_EQ(line.path, c.path) << c.args.size();
    }
}

}  // namespace
