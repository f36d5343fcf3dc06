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

#ifdef _WIN32
// Windows arguments travel as UTF-8; every wide string, lone surrogates too,
// comes back whole.
TEST(CommandLine, WideArgumentsAsUtf8) {
    const std::pair<std::wstring, std::string> cases[] = {
        {L"a.gaf", "a.gaf"},
        {L"caf\u00E9 \u0418 \u6E38", "caf\xC3\xA9 \xD0\x98 \xE6\xB8\xB8"},
        {L"\U0001F3AE", "\xF0\x9F\x8E\xAE"},
        {L"\xD800x\xDFFF", "\xED\xA0\x80x\xED\xBF\xBF"},
    };
    for (const auto& [wide, utf8] : cases) {
        EXPECT_EQ(wide_to_utf8(wide), utf8);
        EXPECT_EQ(utf8_to_wide(utf8), wide);
    }
    EXPECT_EQ(utf8_to_wide("a\xC3(\xC0\x80\xF4\x90\x80\x80"), L"a\uFFFD(\uFFFD\uFFFD\uFFFD");
}
#endif
}  // namespace
