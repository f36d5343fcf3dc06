// The built program, run in a scratch directory: standard output, standard
// error, exit status and exactly which files it leaves.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <span>

#include "bytes.h"
#include "names.h"
#include "native.h"
#include "support.h"

namespace {

using namespace testing_support;
using zeftil::OutputFormat;
namespace fs = std::filesystem;

const std::string kUsage =
    "ZEFTIL -- Convert Total Annihilation .GAF files into individual texture images\n"
    "Version " ZEFTIL_VERSION " free software, built from its own sources\n"
    "Syntax :   zeftil [-b] <filename.gaf>\n"
    "                    -b will generate .BMP files instead of the default .TGA\n\n";

const gafbuild::Frame kGun = frame(2, 2, {249, 250, 251, 252});
const gafbuild::Frame kWall = frame(5, 1, {1, 2, 3, 4, 5});

struct EndToEnd : ::testing::Test {
    ScratchDir dir;
    void archive(const std::vector<gafbuild::Entry>& entries, const std::string& name = "in.gaf") {
        write_file(dir.path / name, gafbuild::build_gaf(entries));
    }
    RunResult run(const std::vector<std::string>& args) { return run_zeftil(args, dir.path); }
    Bytes file(const std::string& name) { return read_file(dir.path / name); }
};

TEST_F(EndToEnd, CommandLinesAndArchivesThatCannotBeUsed) {
    archive({{"gun", {kGun}, {}}});
    write_file(dir.path / "short.gaf", Bytes(11, 0));
    Bytes negative(12, 0);
    zeftil::put_u32(negative, 4, 0xFFFFFFFF);
    write_file(dir.path / "negative.gaf", negative);
    fs::create_directory(dir.path / "folder.gaf");
    struct Case {
        std::vector<std::string> args;
        int exit_status;
        std::string out, err;
    };
    const Case cases[] = {
        {{}, 0, kUsage, ""},
        {{"in.gaf", "-b"}, 0, kUsage, ""},
        {{"-B", "in.gaf"}, 0, kUsage, ""},
        {{"-bb", "in.gaf"}, 0, kUsage, ""},
        {{"-b", "in.gaf", "x"}, 0, kUsage, ""},
        {{"-b"}, 255, "", "ERROR reading -b\n\n"},  // one argument is always the path
        {{"-b", "missing.gaf"}, 255, "", "ERROR reading missing.gaf\n\n"},
        {{"a b c"}, 255, "", "ERROR reading a b c\n\n"},  // one argument, held whole
        {{"short.gaf"}, 255, "", "ERROR reading short.gaf: file is shorter than the 12-byte archive header\n\n"},
        {{"negative.gaf"}, 255, "", "ERROR reading negative.gaf: entry count is negative\n\n"},
        // Windows cannot open a directory as a file, and says no more.
        {{"folder.gaf"}, 255, "", kWindows ? "ERROR reading folder.gaf\n\n" : "ERROR reading folder.gaf: Is a directory\n\n"},
    };
    for (const Case& c : cases) {
        const RunResult r = run(c.args);
        EXPECT_EQ(r.exit_status, c.exit_status) << c.err;
        EXPECT_EQ(r.out, c.out);
        EXPECT_EQ(r.err, c.err);
    }
    EXPECT_EQ(list_dir(dir.path), (std::vector<std::string>{"folder.gaf", "in.gaf", "negative.gaf", "short.gaf"}));
}

TEST_F(EndToEnd, WritesOneFilePerEntryNamedAsStored) {
    // Each large entry takes more than one read of the archive and more than
    // one block of the image file; one is stored run-length encoded.
    const gafbuild::Frame large = pattern(640, 480);
    gafbuild::Frame sprite = large;
    sprite.compressed = true;
    fs::create_directory(dir.path / "art");
    archive({{"gun", {kGun}, {}}, {"", {kWall}, {}}, {"Same", {kGun}, {}}, {"Same", {kWall}, {}},
             {"a b..c", {kGun}, {}}, {"large", {large}, {}}, {"sprite", {sprite}, {}}},
            "art/units");
    for (OutputFormat format : {OutputFormat::tga, OutputFormat::bmp}) {
        const std::string ext = extension(format);
        write_file(dir.path / ("a b..c" + ext), Bytes(1000, 7));  // replaced without a question
        const RunResult r = run(args_for(format, "art/units"));
        EXPECT_EQ(r.exit_status, 0);
        EXPECT_EQ(r.out + r.err, "");
        EXPECT_EQ(file("gun" + ext), image_of(format, kGun));
        EXPECT_EQ(file(ext), image_of(format, kWall));
        EXPECT_EQ(file("Same" + ext), image_of(format, kWall));  // the later entry wins
        EXPECT_EQ(file("a b..c" + ext), image_of(format, kGun));
        EXPECT_EQ(file("large" + ext), image_of(format, large));
        EXPECT_EQ(file("sprite" + ext), image_of(format, large));
    }
    EXPECT_EQ(list_dir(dir.path), (std::vector<std::string>{".bmp", ".tga", "Same.bmp", "Same.tga", "a b..c.bmp",
                                                            "a b..c.tga", "art", "gun.bmp", "gun.tga", "large.bmp",
                                                            "large.tga", "sprite.bmp", "sprite.tga"}));
    EXPECT_EQ(list_dir(dir.path / "art"), std::vector<std::string>{"units"});
    EXPECT_EQ(permission_bits(dir.path / "gun.tga"), new_file_permission_bits());
    archive({}, "empty.gaf");  // no entries: nothing to write, nothing to say
    const RunResult r = run({"empty.gaf"});
    EXPECT_EQ(r.exit_status, 0);
    EXPECT_EQ(r.out + r.err, "");
    EXPECT_EQ(list_dir(dir.path).size(), 14u);
}

// Names, and what each system makes of them.
constexpr auto ok = zeftil::NameError::none, separator = zeftil::NameError::path_separator,
               device = zeftil::NameError::device_name, character = zeftil::NameError::forbidden_character;
const struct Case {
    std::string name;
    zeftil::NameError posix, windows;
} kNameCases[] = {
    {"a/b", separator, separator}, {"\\x", separator, separator}, {"../up", separator, separator},
    {"..\\up", separator, separator}, {"/zeftil-escape", separator, separator}, {"sub/", separator, separator},
    {"sub/../../out", separator, separator}, {"a:b/c", separator, separator},
    {"con", ok, device}, {"Nul.x", ok, device}, {"aux", ok, device}, {"PRN", ok, device},
    {"COM0", ok, device}, {"COM1", ok, device}, {"com9.tga", ok, device}, {"LPT0", ok, device}, {"lPt5 ", ok, device},
    {"con .x", ok, device}, {"COM\xB9", ok, device}, {"LPT\xB3", ok, device},
    {"a:b", ok, character}, {"why?", ok, character}, {"a|b", ok, character}, {"a<b>", ok, character},
    {"star*", ok, character}, {"say\"hi\"", ok, character},
    {"ok", ok, ok}, {"console", ok, ok}, {"COM10", ok, ok}, {"COM", ok, ok}, {"nul_", ok, ok},
    {".con", ok, ok}, {"x.", ok, ok}, {"x ", ok, ok}, {".", ok, ok}, {"..", ok, ok},
    {"link", ok, ok}, {"dangling", ok, ok},
};

// Both rule sets on every system: a run sees only its own system's.
TEST(Names, RefusedByTheRulesOfEachSystem) {
    for (const Case& c : kNameCases) {
        EXPECT_EQ(zeftil::check_output_name(c.name, zeftil::NameRules::posix), c.posix) << c.name;
        EXPECT_EQ(zeftil::check_output_name(c.name, zeftil::NameRules::windows), c.windows) << c.name;
    }
}

// Every name becomes a file in the current directory or is refused: path
// separators everywhere; on Windows also device names, which would send the
// data to a device, and characters Windows does not allow (':' would open an
// alternate data stream of another file). Elsewhere these are plain names.
TEST_F(EndToEnd, NamesBecomeFilesHereOrAreRefused) {
    // Run in work/ below the scratch directory, so anything written one level
    // up shows.
    const fs::path work = dir.path / "work";
    fs::create_directories(work / "sub");
    write_file(dir.path / "victim", {'v'});
    std::vector<std::string> files = {"in.gaf", "sub"};
    if (!kWindows) {  // making a symbolic link takes a privilege on Windows
        fs::create_symlink("../victim", work / "link.tga");  // replaced itself, never written through
        fs::create_symlink("../nowhere", work / "dangling.tga");
    }
    const gafbuild::Frame f = pattern(2, 2);
    std::vector<gafbuild::Entry> entries;
    std::string err;
    for (const Case& c : kNameCases) {
        entries.push_back({c.name, {f}, {}});
        const zeftil::NameError outcome = kWindows ? c.windows : c.posix;
        if (outcome == ok) files.push_back(c.name + ".tga");
        if (outcome != ok) err += "ERROR writing " + zeftil::name_text(c.name) + ".tga: entry name ";
        if (outcome == separator) err += "holds a path separator, so the file would land outside the current directory\n";
        if (outcome == device) err += "is a Windows device name, so the data would go to a device\n";
        if (outcome == character) err += "holds a character that Windows does not allow in file names\n";
    }
    write_file(work / "in.gaf", gafbuild::build_gaf(entries));

    const RunResult r = run_zeftil({"in.gaf"}, work);
    EXPECT_EQ(r.exit_status, 1);
    EXPECT_EQ(r.err, err);
    std::sort(files.begin(), files.end());
    EXPECT_EQ(list_dir(work), files);
    EXPECT_TRUE(list_dir(work / "sub").empty());
    EXPECT_EQ(list_dir(dir.path), (std::vector<std::string>{"victim", "work"}));
    EXPECT_EQ(read_file(dir.path / "victim"), Bytes{'v'});
    EXPECT_FALSE(fs::exists("/zeftil-escape.tga"));
    for (const std::string& name : files) {
        if (!name.ends_with(".tga")) continue;
        EXPECT_FALSE(fs::is_symlink(work / name)) << name;
        EXPECT_EQ(read_file(work / name), image_of(OutputFormat::tga, f)) << name;
    }
}

// A folder no ANSI code page holds whole, and entry names that every Windows
// reads as Windows-1252 whatever its code page; under Wine this test runs
// again with code pages 932 and 1251 (tests/CMakeLists.txt). Elsewhere names and
// paths are bytes, used as they stand.
TEST_F(EndToEnd, PathsAndNamesWhateverTheCodePage) {
    if (const char* code_page = std::getenv("ZEFTIL_CODE_PAGE")) {
        ASSERT_EQ(active_code_page(), std::stoul(code_page));
    }
    const std::u8string folder = u8"Игры 게임 游戏 🎮";
    const std::string typed(folder.begin(), folder.end());  // as the user types it, in UTF-8
    // Stored names, and the UTF-8 of the names Windows gives their files. The
    // first is refused: its message shows the name as its file would be named.
    const std::pair<std::string, std::string> names[] = {
        {"\xE9/", "\xC3\xA9/"}, {"caf\xE9", "caf\xC3\xA9"}, {"\x80\x9F", "\xE2\x82\xAC\xC5\xB8"}, {"plain", "plain"}};
    std::vector<gafbuild::Entry> entries;
    for (const auto& name : names) entries.push_back({name.first, {kGun}, {}});
    archive(entries);
    fs::create_directory(dir.path / folder);
    fs::rename(dir.path / "in.gaf", dir.path / folder / "in.gaf");

    const RunResult r = run({typed + "/in.gaf"});
    EXPECT_EQ(r.exit_status, 1);
    EXPECT_EQ(r.out + r.err, "ERROR writing " + (kWindows ? names[0].second : names[0].first) +
                                 ".tga: entry name holds a path separator, so the file would land outside the current "
                                 "directory\n");
    std::vector<std::string> files = {typed};
    for (const auto& [stored, on_windows] : std::span(names).subspan(1)) {
        files.push_back((kWindows ? on_windows : stored) + ".tga");
        EXPECT_EQ(read_file(dir.path / std::u8string(files.back().begin(), files.back().end())),
                  image_of(OutputFormat::tga, kGun));
    }
    std::sort(files.begin(), files.end());
    EXPECT_EQ(list_dir(dir.path), files);

    const RunResult missing = run({"-b", typed + "/missing.gaf"});
    EXPECT_EQ(missing.exit_status, 255);
    EXPECT_EQ(missing.err, "ERROR reading " + typed + "/missing.gaf\n\n");
}

TEST_F(EndToEnd, BadEntriesAreSkippedAndTheRestWritten) {
    archive({{"ok1", {kGun}, {}}, {"", {kWall}, {}}, {"/abs\x7F\n", {kGun}, {}}, {"empty", {frame(0, 3, {})}, {}},
             {"ok2", {kWall}, {}}});
    Bytes bytes = read_file(dir.path / "in.gaf");
    // Entry 1's pixel data now lies past the end of the file.
    const std::uint32_t frame_at = zeftil::get_u32(bytes, zeftil::get_u32(bytes, zeftil::kOffsetTableAt + 4) + zeftil::kFrameOffsetAt);
    zeftil::put_u32(bytes, frame_at + zeftil::kPixelOffsetAt, static_cast<std::uint32_t>(bytes.size() - 2));
    write_file(dir.path / "in.gaf", bytes);

    const RunResult r = run({"-b", "in.gaf"});
    EXPECT_EQ(r.exit_status, 1);
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(r.err,
              "ERROR reading in.gaf: entry 1 \"\": pixel data lies outside the file\n"
              "ERROR writing /abs\\x7F\\x0A.bmp: entry name holds a path separator, so the file would land outside the "
              "current directory\n");
    EXPECT_EQ(list_dir(dir.path), (std::vector<std::string>{"empty.bmp", "in.gaf", "ok1.bmp", "ok2.bmp"}));
    EXPECT_EQ(file("empty.bmp"), image_of(OutputFormat::bmp, frame(0, 3, {})));
    EXPECT_EQ(file("ok2.bmp"), image_of(OutputFormat::bmp, kWall));
}

// An entry of no frames is stored as the game stores it: its 40-byte header
// alone, the next entry right behind it, the last one ending the file. It
// gives no file and no message; whatever follows its 40 bytes is not its own.
TEST_F(EndToEnd, EntriesWithNoFramesGiveNoFile) {
    archive({{"ARMLAB", {kGun}, {}}, {"ARMCHEM", {}, {}}, {"ARMFARK", {}, -1}, {"ARMAAP", {kWall}, {}},
             {"ICESCAR", {}, -32768}});
    const Bytes bytes = file("in.gaf");
    const auto entry_at = [&](std::size_t i) { return zeftil::get_u32(bytes, zeftil::kOffsetTableAt + 4 * i); };
    ASSERT_EQ(entry_at(2) - entry_at(1), 40u);
    ASSERT_EQ(entry_at(3) - entry_at(2), 40u);
    ASSERT_EQ(bytes.size() - entry_at(4), 40u);
    for (OutputFormat format : {OutputFormat::tga, OutputFormat::bmp}) {
        const RunResult r = run(args_for(format, "in.gaf"));
        EXPECT_EQ(r.exit_status, 0);
        EXPECT_EQ(r.out + r.err, "");
        EXPECT_EQ(file("ARMLAB" + extension(format)), image_of(format, kGun));
        EXPECT_EQ(file("ARMAAP" + extension(format)), image_of(format, kWall));
    }
    EXPECT_EQ(list_dir(dir.path), (std::vector<std::string>{"ARMAAP.bmp", "ARMAAP.tga", "ARMLAB.bmp", "ARMLAB.tga", "in.gaf"}));

    // A count of 1 needs frame 0's slot behind the 40 bytes; a header cut
    // short of 40 bytes has no name to show.
    archive({{"X", {}, {}}, {"CUT", {}, 1}}, "cut.gaf");
    Bytes cut = file("cut.gaf");
    zeftil::put_u32(cut, zeftil::kOffsetTableAt, static_cast<std::uint32_t>(cut.size() - 39));
    write_file(dir.path / "cut.gaf", cut);
    const RunResult r = run({"cut.gaf"});
    EXPECT_EQ(r.exit_status, 1);
    EXPECT_EQ(r.err,
              "ERROR reading cut.gaf: entry 0: 40-byte entry header lies outside the file\n"
              "ERROR reading cut.gaf: entry 1 \"CUT\": 48-byte entry header lies outside the file\n");
    EXPECT_EQ(list_dir(dir.path).size(), 6u);
}

TEST_F(EndToEnd, ADirectoryInTheWayIsLeftAlone) {
    // The last entry's pixels lie 40 MiB in, past a hole: the archive is not
    // read into memory for a rename that a directory refused.
    const gafbuild::Frame zeros = frame(5, 1, {0, 0, 0, 0, 0});
    archive({{"small", {kGun}, {}}, {"dir", {kGun}, {}}, {"after", {zeros}, {}}});
    Bytes bytes = file("in.gaf");
    const std::uint32_t frame_at = zeftil::get_u32(bytes, zeftil::get_u32(bytes, zeftil::kOffsetTableAt + 8) + zeftil::kFrameOffsetAt);
    zeftil::put_u32(bytes, frame_at + zeftil::kPixelOffsetAt, 40 << 20);
    write_file(dir.path / "in.gaf", bytes);
    fs::resize_file(dir.path / "in.gaf", (40 << 20) + 5);
    fs::create_directory(dir.path / "dir.tga");

    const RunResult r = run({"in.gaf"});
    EXPECT_EQ(r.exit_status, 1);
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(r.err, "ERROR writing dir.tga: cannot replace the file: Is a directory\n");
    EXPECT_TRUE(fs::is_directory(dir.path / "dir.tga"));
    EXPECT_EQ(file("small.tga"), image_of(OutputFormat::tga, kGun));
    EXPECT_EQ(file("after.tga"), image_of(OutputFormat::tga, zeros));
    EXPECT_EQ(list_dir(dir.path), (std::vector<std::string>{"after.tga", "dir.tga", "in.gaf", "small.tga"}));
    if (kMeasuresMemory) {
        EXPECT_LT(r.peak_kib, kMemoryBoundKib);
    }
}

}  // namespace
