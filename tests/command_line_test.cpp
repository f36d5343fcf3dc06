#include <gtest/gtest.h>

#include "convert.h"
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
    const Case cases[] = {
        {{}, true, OutputFormat::tga, ""},
        {{"units.gaf"}, false, OutputFormat::tga, "units.gaf"},
        {{"-b"}, false, OutputFormat::tga, "-b"},  // one argument is always the path
        {{"-b", "units.gaf"}, false, OutputFormat::bmp, "units.gaf"},
        {{"-b", "-b"}, false, OutputFormat::bmp, "-b"},
        {{"-B", "units.gaf"}, true, OutputFormat::tga, ""},
        {{"-bb", "units.gaf"}, true, OutputFormat::tga, ""},
        {{"units.gaf", "-b"}, true, OutputFormat::tga, ""},
        {{"-b", "a.gaf", "b.gaf"}, true, OutputFormat::tga, ""},
        {{"a", "b", "c", "d"}, true, OutputFormat::tga, ""},
    };
    for (const Case& c : cases) {
        const CommandLine line = parse_command_line(c.args);
        EXPECT_EQ(line.show_usage, c.usage) << c.args.size();
        EXPECT_EQ(line.format, c.format) << c.args.size();
        EXPECT_EQ(line.path, c.path) << c.args.size();
    }
}

TEST(CommandLine, LongPathsAreHeldWhole) {
    const std::string path(5000, 'p');
    const std::vector<std::string_view> args = {"-b", path};
    EXPECT_EQ(parse_command_line(args).path, path);
    EXPECT_EQ(archive_message(path, {ArchiveError::cannot_open, 2}), "ERROR reading " + path + "\n\n");
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

TEST(CommandLine, UsageText) {
    const auto text = usage_text();
    EXPECT_EQ(text[0], "ZEFTIL -- Convert Total Annihilation .GAF files into individual texture images\n");
    EXPECT_TRUE(text[1].starts_with("Version 0.90 ")) << text[1];
    EXPECT_TRUE(text[1].ends_with("\n")) << text[1];
    EXPECT_EQ(text[1].find('\n'), text[1].size() - 1);
    EXPECT_EQ(text[2], "Syntax :   zeftil [-b] <filename.gaf>\n");
    EXPECT_EQ(text[3], std::string(20, ' ') + "-b will generate .BMP files instead of the default .TGA\n\n");
}

TEST(Messages, ArchiveFaults) {
    struct Case {
        LoadStatus status;
        std::string message;
    };
    const Case cases[] = {
        {{ArchiveError::cannot_open, ENOENT}, "ERROR reading a.gaf\n\n"},
        {{ArchiveError::cannot_read, EISDIR}, "ERROR reading a.gaf: Is a directory\n\n"},
        {{ArchiveError::shorter_than_header, 0}, "ERROR reading a.gaf: file is shorter than the 12-byte archive header\n\n"},
        {{ArchiveError::negative_entry_count, 0}, "ERROR reading a.gaf: entry count is negative\n\n"},
        {{ArchiveError::offset_table_outside_file, 0},
         "ERROR reading a.gaf: entry offset table runs past the end of the file\n\n"},
    };
    for (const Case& c : cases) EXPECT_EQ(archive_message("a.gaf", c.status), c.message);
}

TEST(OutputNames, Rules) {
    struct Case {
        std::string_view name;
        NameError posix, windows;
    };
    constexpr auto none = NameError::none, separator = NameError::path_separator,
                   character = NameError::forbidden_character, device = NameError::device_name;
    const Case cases[] = {
        // Path separators, refused everywhere.
        {"a/b", separator, separator}, {"/etc", separator, separator}, {"..\\up", separator, separator},
        {"\\", separator, separator}, {"dir/", separator, separator}, {"a:b/c", separator, separator},
        // Devices: the part before the first dot, less trailing spaces, in any case.
        {"CON", none, device}, {"con", none, device}, {"Nul.x", none, device}, {"nul.tar.gz", none, device},
        {"aux", none, device}, {"PRN", none, device}, {"COM1", none, device}, {"com9.tga", none, device},
        {"lPt5", none, device}, {"COM0", none, device}, {"LPT1 ", none, device}, {"con .tga", none, device},
        {"COM\xB9", none, device}, {"LPT\xC2\xB3", none, device},
        // Characters Windows does not allow; ':' would open an alternate data stream.
        {"x:y", none, character}, {"CON:", none, character}, {"a<b", none, character}, {"a>b", none, character},
        {"say\"hi\"", none, character}, {"a|b", none, character}, {"why?", none, character},
        {"star*", none, character}, {"tab\t", none, character}, {"\x01", none, character},
        {"\x1F", none, character},
        // Ordinary names everywhere. The extension follows, so a trailing dot
        // or space is not the end of the file name.
        {"", none, none}, {".", none, none}, {"..", none, none}, {"tree", none, none}, {"a b", none, none},
        {"console", none, none}, {"icon", none, none}, {"COM", none, none}, {"COM10", none, none},
        {"LPTX", none, none}, {"nul_", none, none}, {".con", none, none},
        {"x.", none, none}, {"x ", none, none}, {"\x7F", none, none}, {"\xE9", none, none},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(check_output_name(c.name, NameRules::posix), c.posix) << c.name;
        EXPECT_EQ(check_output_name(c.name, NameRules::windows), c.windows) << c.name;
        EXPECT_EQ(check_output_name(c.name), kNativeNameRules == NameRules::windows ? c.windows : c.posix) << c.name;
    }
}

}  // namespace
