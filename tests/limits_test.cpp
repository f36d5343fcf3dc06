// Faults only a POSIX system can stage, end to end with the built program:
// resource limits (file size, address space, CPU time), a small disk in a
// mount namespace, /dev/full, pipes and signals.
#include <dlfcn.h>
#include <gtest/gtest.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <csignal>
#include <filesystem>

#include "bytes.h"
#include "gaf/gaf.h"
#include "image/image.h"
#include "messages.h"
#include "support.h"

// The test program's own fopen and fclose, in front of the C library's: for
// the writer's temporary file, a symbolic link planted where it is about to
// be created, and a close that fails.
namespace shim {
std::string plant;  // the link's target, planted at the next temporary's name
bool fail_close = false;
std::FILE* temporary = nullptr;
}  // namespace shim

extern "C" std::FILE* fopen(const char* path, const char* mode) {
    static const auto real = reinterpret_cast<std::FILE* (*)(const char*, const char*)>(dlsym(RTLD_NEXT, "fopen"));
    const bool ours = std::string_view(path).starts_with(".zeftil-");
    if (ours && !shim::plant.empty() && symlink(shim::plant.c_str(), path) == 0) shim::plant.clear();
    std::FILE* file = real(path, mode);
    if (ours) shim::temporary = file;
    return file;
}

extern "C" int fclose(std::FILE* file) {
    static const auto real = reinterpret_cast<int (*)(std::FILE*)>(dlsym(RTLD_NEXT, "fclose"));
    const int result = real(file);
    if (file != shim::temporary || !shim::fail_close) return result;
    errno = EIO;
    return EOF;
}

namespace {

using namespace testing_support;
using zeftil::OutputFormat;
using zeftil::put_u16;
using zeftil::put_u32;
namespace fs = std::filesystem;

TEST(Faults, WritesThatFailPartWayLeaveTheOldFileWhole) {
    const gafbuild::Frame big = pattern(600, 600), small = pattern(3, 2);
    const Bytes archive = gafbuild::build_gaf(std::vector<gafbuild::Entry>{
        {"small", {small}, {}}, {"big", {big}, {}}, {"after", {small}, {}}});
    const Bytes precious(700000, 'k');
    for (OutputFormat format : {OutputFormat::tga, OutputFormat::bmp}) {
        const Bytes image = image_of(format, big);
        const long size = static_cast<long>(image.size());
        // Early on, half-way, a byte short, and just enough.
        for (long limit : {long{100}, size / 2, size - 1, size}) {
            SCOPED_TRACE(extension(format) + " limit " + std::to_string(limit));
            ScratchDir dir;
            write_file(dir.path / "in.gaf", archive);
            write_file(dir.path / ("big" + extension(format)), precious);
            const RunResult r = run_zeftil(args_for(format, "in.gaf"), dir.path, Limits{.file_size = limit});
            const bool fits = limit == size;
            EXPECT_EQ(r.exit_status, fits ? 0 : 1);
            EXPECT_EQ(r.err, fits ? "" : "ERROR writing big" + extension(format) + ": write failed: File too large\n");
            EXPECT_EQ(read_file(dir.path / ("big" + extension(format))), fits ? image : precious);
            EXPECT_EQ(read_file(dir.path / ("small" + extension(format))), image_of(format, small));
            EXPECT_EQ(read_file(dir.path / ("after" + extension(format))), image_of(format, small));
            EXPECT_EQ(list_dir(dir.path).size(), 4u);  // the archive and three images: no temporary file
        }
    }
}

TEST(Faults, InputsReadOnlyAsFarAsTheArchivePoints) {
    ScratchDir dir;
    const fs::path demo = fs::absolute(ZEFTIL_SOURCE_DIR) / "examples" / "demo.gaf";
    fs::copy_file(demo, dir.path / "tail.gaf");
    fs::resize_file(dir.path / "tail.gaf", fs::file_size(demo) + (std::uintmax_t{4} << 30));  // sparse
    fs::create_directories(dir.path / "plain");
    ASSERT_EQ(run_zeftil({demo.string()}, dir.path / "plain").exit_status, 0);
    struct Case {
        std::string archive;
        std::vector<std::string> files;
    };
    const Case cases[] = {{"/dev/zero", {}}, {"../tail.gaf", list_dir(dir.path / "plain")}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.archive);
        fs::create_directories(dir.path / "out");
        const RunResult r = run_zeftil({c.archive}, dir.path / "out", Limits{.cpu_seconds = 5});
        EXPECT_EQ(r.exit_status, 0);
        EXPECT_EQ(r.out + r.err, "");
        EXPECT_EQ(list_dir(dir.path / "out"), c.files);
        for (const std::string& name : c.files) EXPECT_EQ(read_file(dir.path / "out" / name), read_file(dir.path / "plain" / name));
        if (kMeasuresMemory) {
            EXPECT_LT(r.peak_kib, kMemoryBoundKib);
        }
        fs::remove_all(dir.path / "out");
    }
}

// 32767 x 32767 pixels from 64 KiB: a run-length frame whose every row is
// empty, 2 bytes. Its image would take 3 GiB. As a composite, 64 table slots
// name that frame: 2^36 pixels to draw.
Bytes huge_archive(bool composite = false) {
    constexpr std::size_t kFrameAt = zeftil::kOffsetTableAt + zeftil::kOffsetSize + zeftil::kEntryHeaderSize + zeftil::kFrameSlotSize;
    constexpr std::size_t kDataAt = kFrameAt + zeftil::kFrameHeaderSize, kSlots = 64;
    Bytes archive = archive_of("huge", frame(1, 1, {0}));
    archive.resize(kDataAt);
    std::size_t frame_at = kFrameAt;
    if (composite) {
        put_u16(archive, kFrameAt + zeftil::kWidthAt, 0x7FFF);
        put_u16(archive, kFrameAt + zeftil::kHeightAt, 0x7FFF);
        put_u16(archive, kFrameAt + zeftil::kSubFrameCountAt, kSlots);
        frame_at = kDataAt + 4 * kSlots;
        archive.resize(frame_at + zeftil::kFrameHeaderSize, 0);
        for (std::size_t n = 0; n < kSlots; ++n) put_u32(archive, kDataAt + 4 * n, static_cast<std::uint32_t>(frame_at));
        put_u32(archive, frame_at + zeftil::kPixelOffsetAt, static_cast<std::uint32_t>(archive.size()));
    }
    put_u16(archive, frame_at + zeftil::kWidthAt, 0x7FFF);
    put_u16(archive, frame_at + zeftil::kHeightAt, 0x7FFF);
    archive[frame_at + zeftil::kCompressionAt] = 1;
    archive.resize(archive.size() + 2 * 0x7FFF, 0);
    return archive;
}

TEST(Faults, HugeFramesAreDrawnARowAtATime) {
    for (const bool composite : {false, true}) {
        SCOPED_TRACE(composite ? "composite" : "run-length");
        ScratchDir dir;
        write_file(dir.path / "in.gaf", huge_archive(composite));
        const RunResult r = run_zeftil({"in.gaf"}, dir.path, Limits{.file_size = 8 << 20, .cpu_seconds = 20});
        EXPECT_EQ(r.exit_status, 1);
        EXPECT_EQ(r.err, "ERROR writing huge.tga: write failed: File too large\n");
        EXPECT_EQ(list_dir(dir.path), std::vector<std::string>{"in.gaf"});
        EXPECT_LT(r.cpu_seconds, 10);
        if (kMeasuresMemory) {
            EXPECT_LT(r.peak_kib, kMemoryBoundKib);
        }
    }
}

// An archive read from a pipe is kept in memory as far as its entries reach:
// under an address-space limit the later entries cannot be had, and each says
// so; none ends the run.
TEST(Faults, MemoryRunningOutFailsTheEntriesItStops) {
    if (!kMeasuresMemory) GTEST_SKIP() << "the sanitizers reserve address space of their own";
    constexpr int kEntries = 16;
    std::vector<gafbuild::Entry> entries;
    for (int i = 0; i < kEntries; ++i) entries.push_back({std::string(1, 'e').append(std::to_string(i)), {frame(1, 1, {0})}, {}});
    Bytes archive = gafbuild::build_gaf(entries);
    for (int i = 0; i < kEntries; ++i) {  // each 4096 x 1024, one after the other at the end
        const std::size_t at = zeftil::get_u32(archive, zeftil::get_u32(archive, zeftil::kOffsetTableAt + 4 * i) + zeftil::kFrameOffsetAt);
        put_u16(archive, at + zeftil::kWidthAt, 4096);
        put_u16(archive, at + zeftil::kHeightAt, 1024);
        put_u32(archive, at + zeftil::kPixelOffsetAt, static_cast<std::uint32_t>(archive.size() + (static_cast<std::size_t>(i) << 22)));
    }
    archive.resize(archive.size() + (std::size_t{kEntries} << 22));
    ScratchDir dir;
    const RunResult r = run_zeftil({"/dev/stdin"}, dir.path, Limits{.address_space = 96 << 20, .in_bytes = &archive});
    EXPECT_EQ(r.exit_status, 1);
    EXPECT_EQ(r.out, "");
    std::string expected;
    const std::size_t written = list_dir(dir.path).size();
    for (std::size_t i = written; i < kEntries; ++i) {
        const std::string n = std::to_string(i);
        expected.append("ERROR reading /dev/stdin: entry ").append(n).append(" \"e").append(n).append("\": Cannot allocate memory\n");
    }
    EXPECT_EQ(r.err, expected);
    EXPECT_GT(written, 0u);
    EXPECT_LT(written, std::size_t{kEntries});
}

TEST(Faults, AFullDiskFailsOnlyTheEntryThatDoesNotFit) {
    const gafbuild::Frame small = pattern(8, 8), big = pattern(200, 200);  // a 120 KiB image
    ScratchDir dir;
    write_file(dir.path / "in.gaf",
               gafbuild::build_gaf(std::vector<gafbuild::Entry>{{"first", {small}, {}}, {"big", {big}, {}}, {"after", {small}, {}}}));
    fs::create_directory(dir.path / "disk");
    const Bytes precious(6000, 'p');
    write_file(dir.path / "disk" / "big.tga", precious);
    const RunResult r = run_zeftil({"../in.gaf"}, dir.path / "disk", Limits{.disk_bytes = 64 << 10});
    if (r.exit_status == kNoSmallDisk) GTEST_SKIP() << "no small file system to fill: needs root, unshare and mount";
    EXPECT_EQ(r.exit_status, 1);
    EXPECT_EQ(r.err, "ERROR writing big.tga: write failed: No space left on device\n");
    EXPECT_EQ(list_dir(dir.path / "disk"), (std::vector<std::string>{"after.tga", "big.tga", "first.tga"}));
    EXPECT_EQ(read_file(dir.path / "disk" / "big.tga"), precious);
    EXPECT_EQ(read_file(dir.path / "disk" / "first.tga"), image_of(OutputFormat::tga, small));
    EXPECT_EQ(read_file(dir.path / "disk" / "after.tga"), image_of(OutputFormat::tga, small));
}

TEST(Faults, AnInterruptedRunRemovesItsTemporaryFile) {
    // The huge image takes seconds to write: the signal comes as soon as its
    // temporary file shows. Should the run end first, it ends without the
    // signal, and the test fails rather than pass unseen.
    ScratchDir dir;
    write_file(dir.path / "in.gaf", huge_archive());
    const pid_t pid = fork();
    if (pid == 0) {
        const rlimit one_gib{rlim_t{1} << 30, rlim_t{1} << 30};
        if (chdir(dir.path.c_str()) == 0 && setrlimit(RLIMIT_FSIZE, &one_gib) == 0)
            execl(ZEFTIL_BINARY, ZEFTIL_BINARY, "in.gaf", static_cast<char*>(nullptr));
        _exit(121);
    }
    int status = 0;
    while (waitpid(pid, &status, WNOHANG) == 0) {
        if (list_dir(dir.path).size() < 2) continue;
        kill(pid, SIGTERM);
        waitpid(pid, &status, 0);
        break;
    }
    EXPECT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == SIGTERM) << status;
    EXPECT_EQ(list_dir(dir.path), std::vector<std::string>{"in.gaf"});
}

TEST(Faults, AUsageTextNobodyCanReadIsAFailure) {
    ScratchDir dir;
    const RunResult r = run_zeftil({}, dir.path, Limits{.out_file = "/dev/full"});
    EXPECT_EQ(r.exit_status, 1);
    EXPECT_EQ(r.err, "ERROR writing standard output: No space left on device\n");
}

// The temporary file is a new file or none: a symbolic link in its way is
// neither followed nor replaced, and the write goes to another name. A close
// that fails is a failed write.
TEST(Faults, TheTemporaryFileIsNewAndClosedWithCare) {
    ScratchDir dir;
    const fs::path before = fs::current_path();
    fs::current_path(dir.path);
    write_file("victim", {'v'});
    const zeftil::RowSource rows = [](std::size_t, std::span<std::uint8_t> row) {
        std::fill(row.begin(), row.end(), 249);
        return true;
    };
    shim::plant = "victim";
    EXPECT_TRUE(zeftil::write_image_file("x.tga", OutputFormat::tga, {1, 1}, rows).ok());
    EXPECT_EQ(read_file("victim"), Bytes{'v'});
    EXPECT_FALSE(fs::is_symlink("x.tga"));
    EXPECT_EQ(list_dir(".").size(), 3u);  // and the link

    shim::fail_close = true;
    const zeftil::WriteStatus status = zeftil::write_image_file("x.tga", OutputFormat::tga, {2, 1}, rows);
    shim::fail_close = false;
    EXPECT_EQ(zeftil::write_message("x.tga", status), "ERROR writing x.tga: close failed: Input/output error\n");
    EXPECT_EQ(read_file("x.tga").size(), 21u);
    EXPECT_EQ(list_dir(".").size(), 3u);
    fs::current_path(before);
}

// An archive cut short after its entry was read: each row reads as it was or
// fails, whatever bytes the reads before left in memory. The cut falls in the
// middle of a row.
TEST(Faults, AnArchiveCutShortWhileItIsRead) {
    const gafbuild::Frame tall = pattern(100, 3000);
    ScratchDir dir;
    const std::string path = (dir.path / "in.gaf").string();
    write_file(path, archive_of("tall", tall));
    zeftil::GafArchive archive;
    zeftil::GafEntry entry;
    ASSERT_EQ(zeftil::load_gaf(path, archive).error, zeftil::ArchiveError::none);
    ASSERT_EQ(zeftil::read_entry(archive, 0, entry).error, zeftil::EntryError::none);
    fs::resize_file(path, entry.frame.dataAt + 20050);
    std::size_t failed = 0;
    Bytes row(100);
    for (std::size_t y = 3000; y-- > 0;) {
        if (zeftil::read_row(archive, entry.frame, y, row).error != zeftil::EntryError::none) {
            ++failed;
            continue;
        }
        EXPECT_TRUE(std::equal(row.begin(), row.end(), tall.pixels.begin() + static_cast<std::ptrdiff_t>(100 * y))) << y;
    }
    EXPECT_GT(failed, 0u);
}

}  // namespace
