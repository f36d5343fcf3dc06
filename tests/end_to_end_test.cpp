// The built program, run in a scratch directory: standard output, standard
// error, exit status and exactly which files it leaves.
#include <gtest/gtest.h>
#ifdef _WIN32
#include <windows.h>
#else
#include <sys/stat.h>
#endif

#include <algorithm>
#include <cstdlib>

#include "bytes.h"
#include "convert.h"
#include "gaf/gaf.h"
#include "image/image.h"
#include "support.h"

namespace {

using namespace testing_support;
using zeftil::OutputFormat;

std::string usage() {
    std::string text;
    for (auto piece : zeftil::usage_text()) text += piece;
    return text;
}

const gafbuild::Frame kGun = frame(2, 2, {249, 250, 251, 252});
const gafbuild::Frame kWall = frame(5, 1, {1, 2, 3, 4, 5});

struct Fixture : ::testing::Test {
    ScratchDir dir;
    std::string archive(const std::vector<gafbuild::Entry>& entries, const std::string& name = "in.gaf") {
        write_file(dir.path / name, gafbuild::build_gaf(entries));
        return name;
    }
    RunResult run(const std::vector<std::string>& args) { return run_zeftil(args, dir.path); }
    Bytes file(const std::string& name) { return read_file(dir.path / name); }
};

using EndToEnd = Fixture;

TEST_F(EndToEnd, CommandLinesThatGetTheUsageText) {
    archive({{"gun", {kGun}, {}}});
    for (const auto& args : std::vector<std::vector<std::string>>{
             {}, {"in.gaf", "-b"}, {"-B", "in.gaf"}, {"-b", "in.gaf", "x"}}) {
        const RunResult r = run(args);
        EXPECT_EQ(r.exit_status, 0);
        EXPECT_EQ(r.out, usage());
        EXPECT_EQ(r.err, "");
    }
    EXPECT_EQ(list_dir(dir.path), std::vector<std::string>{"in.gaf"});
}

TEST_F(EndToEnd, ArchivesThatCannotBeUsed) {
    write_file(dir.path / "short.gaf", Bytes(11, 0));
    std::filesystem::create_directory(dir.path / "folder.gaf");
    struct Case {
        std::vector<std::string> args;
        std::string err;
    };
    const Case cases[] = {
        {{"-b"}, "ERROR reading -b\n\n"},
        {{"-b", "missing.gaf"}, "ERROR reading missing.gaf\n\n"},
        {{"a \"b\" c\\"}, "ERROR reading a \"b\" c\\\n\n"},  // one argument, held whole
        {{"short.gaf"}, "ERROR reading short.gaf: file is shorter than the 12-byte archive header\n\n"},
#ifdef _WIN32
        {{"folder.gaf"}, "ERROR reading folder.gaf\n\n"},  // a directory cannot be opened as a file
#else
        {{"folder.gaf"}, "ERROR reading folder.gaf: Is a directory\n\n"},
#endif
    };
    for (const Case& c : cases) {
        const RunResult r = run(c.args);
        EXPECT_EQ(r.exit_status, kExitStatusMinusOne) << c.err;
        EXPECT_EQ(r.out, "");
        EXPECT_EQ(r.err, c.err);
    }
    EXPECT_EQ(list_dir(dir.path), (std::vector<std::string>{"folder.gaf", "short.gaf"}));
}

TEST_F(EndToEnd, WritesOneFilePerEntry) {
    std::filesystem::create_directory(dir.path / "art");
    archive({{"gun", {kGun}, {}}, {"wall", {kWall}, {}}}, "art/units");
    for (OutputFormat format : {OutputFormat::tga, OutputFormat::bmp}) {
        const std::string ext = extension(format);
        const RunResult r = run(args_for(format, "art/units"));
        EXPECT_EQ(r.exit_status, 0);
        EXPECT_EQ(r.out, "");
        EXPECT_EQ(r.err, "");
        EXPECT_EQ(file("gun" + ext), image_of(format, kGun));
        EXPECT_EQ(file("wall" + ext), image_of(format, kWall));
    }
    EXPECT_EQ(list_dir(dir.path), (std::vector<std::string>{"art", "gun.bmp", "gun.tga", "wall.bmp", "wall.tga"}));
    EXPECT_EQ(list_dir(dir.path / "art"), std::vector<std::string>{"units"});
}

TEST_F(EndToEnd, NamesAsStored) {
#ifndef _WIN32  // Windows has no umask or permission bits to compare
    const mode_t mask = umask(022);
    umask(mask);
#endif
    archive({{"", {kGun}, {}}, {"Same", {kGun}, {}}, {"Same", {kWall}, {}}, {"a b..c", {kGun}, {}}});
    write_file(dir.path / "a b..c.tga", Bytes(1000, 7));  // replaced without a question
    const RunResult r = run({"in.gaf"});
    EXPECT_EQ(r.exit_status, 0);
    EXPECT_EQ(r.err, "");
    EXPECT_EQ(list_dir(dir.path), (std::vector<std::string>{".tga", "Same.tga", "a b..c.tga", "in.gaf"}));
    EXPECT_EQ(file("Same.tga"), image_of(OutputFormat::tga, kWall));  // the later entry wins
    EXPECT_EQ(file("a b..c.tga"), image_of(OutputFormat::tga, kGun));
#ifndef _WIN32
    struct stat st{};
    ASSERT_EQ(stat((dir.path / ".tga").c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0666 & ~mask);
#endif
}

// Names each platform takes as ordinary file names, and those Windows would
// send to a device or an alternate data stream, or does not allow at all.
TEST_F(EndToEnd, DeviceNamesAndForbiddenCharacters) {
    struct Case {
        std::string name;
        std::string windows_error;  // empty: written on every platform
    };
    const std::string device = "entry name is a Windows device name, so the data would go to a device";
    const std::string character = "entry name holds a character that Windows does not allow in file names";
    const Case cases[] = {
        {"con", device},      {"Nul.x", device},   {"COM1", device},      {"lpt9 ", device},
        {"a:b", character},   {"why?", character}, {"a|b", character},    {"ok", ""},
        {"console", ""},      {"COM10", ""},       {"x.", ""},            {"x ", ""},
    };
    std::vector<gafbuild::Entry> entries;
    for (const Case& c : cases) entries.push_back({c.name, {kGun}, {}});
    archive(entries);
    const RunResult r = run({"in.gaf"});

    std::string err;
    std::vector<std::string> files = {"in.gaf"};
    for (const Case& c : cases) {
#ifdef _WIN32
        if (!c.windows_error.empty()) {
            err += "ERROR writing " + c.name + ".tga: " + c.windows_error + "\n";
            continue;
        }
#endif
        EXPECT_EQ(file(c.name + ".tga"), image_of(OutputFormat::tga, kGun)) << c.name;
        files.push_back(c.name + ".tga");
    }
    std::sort(files.begin(), files.end());
    EXPECT_EQ(r.err, err);
    EXPECT_EQ(r.exit_status, err.empty() ? 0 : 1);
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(list_dir(dir.path), files);
}

// A folder no ANSI code page holds whole, and entry names that every Windows
// reads as Windows-1252 whatever its code page; under Wine this test runs
// again with code pages 932 and 1251 (tests/CMakeLists.txt). Elsewhere names and
// paths are bytes, used as they stand.
TEST_F(EndToEnd, PathsAndNamesWhateverTheCodePage) {
#ifdef _WIN32
    if (const char* code_page = std::getenv("ZEFTIL_CODE_PAGE")) {
        ASSERT_EQ(GetACP(), std::stoul(code_page));
    }
#endif
    const std::u8string folder = u8"Игры 게임 游戏 🎮";
    const std::string typed(folder.begin(), folder.end());  // as the user types it, in UTF-8
    struct Case {
        std::string stored;
        std::u8string on_windows;
        gafbuild::Frame frame;
    };
    const Case cases[] = {{"caf\xE9", u8"café", kGun}, {"\x80\x9F", u8"€Ÿ", kWall}, {"plain", u8"plain", kWall}};
    std::vector<gafbuild::Entry> entries;
    for (const Case& c : cases) entries.push_back({c.stored, {c.frame}, {}});
    std::filesystem::create_directory(dir.path / folder);
    std::filesystem::rename(dir.path / archive(entries), dir.path / folder / "in.gaf");

    const RunResult r = run({typed + "/in.gaf"});
    EXPECT_EQ(r.exit_status, 0);
    EXPECT_EQ(r.out + r.err, "");
    std::vector<std::string> files = {typed};
    for (const Case& c : cases) {
#ifdef _WIN32
        const std::string name = std::string(c.on_windows.begin(), c.on_windows.end()) + ".tga";
#else
        const std::string name = c.stored + ".tga";
#endif
        files.push_back(name);
        EXPECT_EQ(read_file(dir.path / std::u8string(name.begin(), name.end())), image_of(OutputFormat::tga, c.frame));
    }
    std::sort(files.begin(), files.end());
    EXPECT_EQ(list_dir(dir.path), files);

    const RunResult missing = run({"-b", typed + "/missing.gaf"});
    EXPECT_EQ(missing.exit_status, kExitStatusMinusOne);
    EXPECT_EQ(missing.err, "ERROR reading " + typed + "/missing.gaf\n\n");
}

TEST_F(EndToEnd, BadEntriesAreSkippedAndTheRestWritten) {
    std::vector<gafbuild::Entry> entries = {
        {"ok1", {kGun}, {}},  {"", {kWall}, {}},   {"a/b", {kGun}, {}},
        {"/abs\n", {kGun}, {}}, {"..\\up", {kGun}, {}}, {"empty", {frame(0, 3, {})}, {}},
        {"ok2", {kWall}, {}},
    };
    Bytes bytes = gafbuild::build_gaf(entries);
    // Entry 1's pixel data now lies past the end of the file.
    const std::uint32_t frame_at = zeftil::get_u32(bytes, zeftil::get_u32(bytes, 16) + 40);
    zeftil::put_u32(bytes, frame_at + 16, static_cast<std::uint32_t>(bytes.size() - 2));
    write_file(dir.path / "in.gaf", bytes);

    const RunResult r = run({"-b", "in.gaf"});
    EXPECT_EQ(r.exit_status, 1);
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(r.err,
              "ERROR reading in.gaf: entry 1 \"\": pixel data lies outside the file\n"
              "ERROR writing a/b.bmp: entry name holds a path separator, so the file would land outside the current directory\n"
              "ERROR writing /abs\\x0A.bmp: entry name holds a path separator, so the file would land outside the current directory\n"
              "ERROR writing ..\\up.bmp: entry name holds a path separator, so the file would land outside the current directory\n");
    EXPECT_EQ(list_dir(dir.path), (std::vector<std::string>{"empty.bmp", "in.gaf", "ok1.bmp", "ok2.bmp"}));
    EXPECT_EQ(file("empty.bmp").size(), 54u);
    EXPECT_EQ(file("ok2.bmp"), image_of(OutputFormat::bmp, kWall));
}

TEST_F(EndToEnd, ADirectoryInTheWayIsLeftAlone) {
    archive({{"small", {kGun}, {}}, {"dir", {kGun}, {}}, {"after", {kWall}, {}}});
    std::filesystem::create_directory(dir.path / "dir.tga");

    const RunResult r = run({"in.gaf"});
    EXPECT_EQ(r.exit_status, 1);
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(r.err, "ERROR writing dir.tga: cannot replace the file: Is a directory\n");
    EXPECT_TRUE(std::filesystem::is_directory(dir.path / "dir.tga"));
    EXPECT_EQ(file("small.tga"), image_of(OutputFormat::tga, kGun));
    EXPECT_EQ(file("after.tga"), image_of(OutputFormat::tga, kWall));
    EXPECT_EQ(list_dir(dir.path), (std::vector<std::string>{"after.tga", "dir.tga", "in.gaf", "small.tga"}));
}

TEST_F(EndToEnd, EmptyArchiveWritesNothing) {
    archive({});
    const RunResult r = run({"in.gaf"});
    EXPECT_EQ(r.exit_status, 0);
    EXPECT_EQ(r.out + r.err, "");
    EXPECT_EQ(list_dir(dir.path), std::vector<std::string>{"in.gaf"});
}

}  // namespace
