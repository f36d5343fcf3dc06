// Hostile archives and failing disks, end to end with the built program: it
// never dies by a signal, writes nothing outside the current directory, leaves
// only complete images and no temporary files, and never harms a file it was
// not asked to replace. Those only POSIX can stage are in limits_test.cpp.
#include <gtest/gtest.h>

#include <algorithm>
#include <cerrno>
#include <filesystem>
#include <fstream>
#include <stdexcept>

#include "bytes.h"
#include "convert.h"
#include "gaf/gaf.h"
#include "image/image.h"
#include "support.h"

namespace {

using namespace testing_support;
using zeftil::OutputFormat;
namespace fs = std::filesystem;


// Memory may run out at any allocation a run makes, in the reader or the
// writer, for any kind of frame: the entries it stops fail with ENOMEM and
// say so, nothing is thrown, and the same archive converts whole once there
// is memory again.
TEST(Faults, EveryAllocationOfARunMayFail) {
    ScratchDir dir;
    const fs::path before = fs::current_path();
    fs::current_path(dir.path);
    gafbuild::Frame runs = pattern(40, 30), composite = frame(50, 40, {}, 7);
    runs.compressed = true;
    composite.subFrames = {pattern(30, 20), runs};
    write_file("in.gaf", gafbuild::build_gaf(std::vector<gafbuild::Entry>{
                             {"raw", {pattern(20, 10)}, {}}, {"runs", {runs}, {}}, {"composite", {composite}, {}}}));
    // Allocations fail from the `fail_from`th on, once the archive is open.
    const auto convert = [](std::string& said, long fail_from = -1) {
        zeftil::GafArchive archive;
        EXPECT_EQ(zeftil::load_gaf("in.gaf", archive).error, zeftil::ArchiveError::none);
        fail_allocation_after(fail_from);
        return zeftil::convert_archive(archive, "in.gaf", OutputFormat::tga, [&](std::string_view line) { said += line; });
    };
    std::string said;
    ASSERT_EQ(convert(said), zeftil::RunStatus::ok);
    const std::vector<Bytes> whole = {read_file("raw.tga"), read_file("runs.tga"), read_file("composite.tga")};
    for (long n = 0;; ++n) {
        fs::remove("composite.tga");
        said.clear();
        const zeftil::RunStatus status = convert(said, n);
        if (!fail_allocation_after(-1)) break;  // every allocation made has failed once
        EXPECT_EQ(status, zeftil::RunStatus::entries_failed) << n;
        EXPECT_TRUE(said.ends_with(": Cannot allocate memory\n") && std::count(said.begin(), said.end(), '\n') == 1) << n << said;
        said.clear();
        ASSERT_EQ(convert(said), zeftil::RunStatus::ok) << n << said;
        EXPECT_EQ((std::vector<Bytes>{read_file("raw.tga"), read_file("runs.tga"), read_file("composite.tga")}), whole) << n;
    }
    fs::current_path(before);
}

// A write that ends part-way, by a row source that throws or by an archive
// whose run-length stream changed after it was checked, leaves no temporary
// file and the target as it was.
TEST(Faults, AWriteStoppedPartWayLeavesNothing) {
    ScratchDir dir;
    const fs::path before = fs::current_path();
    fs::current_path(dir.path);
    gafbuild::Frame sprite = pattern(600, 600);  // a stream of 367 KB, more than one read
    sprite.compressed = true;
    write_file("in.gaf", archive_of("s", sprite));
    write_file("s.tga", {'k'});
    const zeftil::ImageSize size{600, 600};
    const zeftil::RowSource throws = [](std::size_t y, std::span<std::uint8_t>) {
        if (y < 100) throw std::runtime_error("stop");
        return true;
    };
    EXPECT_THROW(zeftil::write_image_file("s.tga", OutputFormat::tga, size, throws), std::runtime_error);
    EXPECT_EQ(list_dir("."), (std::vector<std::string>{"in.gaf", "s.tga"}));

    zeftil::GafArchive archive;
    ASSERT_EQ(zeftil::load_gaf("in.gaf", archive).error, zeftil::ArchiveError::none);
    zeftil::GafEntry entry;
    ASSERT_EQ(zeftil::read_entry(archive, 0, entry).error, zeftil::EntryError::none);
    {  // The top row's count, read last, no longer matches its operations.
        std::fstream file("in.gaf", std::ios::binary | std::ios::in | std::ios::out);
        file.seekp(static_cast<std::streamoff>(entry.frame.dataAt));
        file.put(0);
    }
    zeftil::EntryStatus fault;
    const zeftil::WriteStatus status = zeftil::write_image_file("s.tga", OutputFormat::tga, size, [&](std::size_t y, std::span<std::uint8_t> row) {
        fault = zeftil::read_row(archive, entry.frame, y, row);
        return fault.error == zeftil::EntryError::none;
    });
    EXPECT_EQ(status.error, zeftil::WriteError::none);
    EXPECT_TRUE(status.rows_failed);
    EXPECT_EQ(fault.error, zeftil::EntryError::changed_while_read);
    archive = {};
    EXPECT_EQ(list_dir("."), (std::vector<std::string>{"in.gaf", "s.tga"}));
    EXPECT_EQ(read_file("s.tga"), Bytes{'k'});
    fs::current_path(before);
}

TEST(Faults, AnArchiveMayBeReplacedByItsOwnEntries) {
    // Entries after the one that replaces the archive still come from the
    // original bytes: on Linux through the open file, on Windows, which will
    // not replace an open file, from memory.
    ScratchDir dir;
    const gafbuild::Frame a = pattern(3, 3), b = pattern(4, 2);
    write_file(dir.path / "a.tga", gafbuild::build_gaf(std::vector<gafbuild::Entry>{{"a", {a}, {}}, {"b", {b}, {}}}));
    const RunResult r = run_zeftil({"a.tga"}, dir.path);
    EXPECT_EQ(r.exit_status, 0);
    EXPECT_EQ(r.err, "");
    EXPECT_EQ(read_file(dir.path / "a.tga"), image_of(OutputFormat::tga, a));
    EXPECT_EQ(read_file(dir.path / "b.tga"), image_of(OutputFormat::tga, b));
}

TEST(Faults, ArchivesCutShortAtEveryByte) {
    // The run-length frame comes last and its stream (28 bytes) is longer than
    // its 16 pixels, so some cuts leave a stream that is no longer well-formed
    // but still holds 16 bytes: that frame is then read raw, a complete image
    // of other pixels.
    const gafbuild::Frame gun = pattern(2, 2), empty = frame(0, 3, {}), wall = pattern(5, 1), second = pattern(3, 1);
    const gafbuild::Frame sprite = frame(4, 4, {1, 2, 3, 4, 5, 6, 7, 8, 1, 2, 3, 4, 5, 6, 7, 8}, 0, true);
    const std::vector<gafbuild::Entry> entries = {
        {"gun", {gun, second}, {}}, {"empty", {empty}, {}}, {"wall", {wall}, {}}, {"sprite", {sprite}, {}}};
    const Bytes full = gafbuild::build_gaf(entries);
    const Bytes stream = gafbuild::encode_run_length(sprite);
    ASSERT_EQ(stream.size(), 28u);
    ASSERT_TRUE(std::equal(stream.begin(), stream.end(), full.end() - 28));
    const gafbuild::Frame sprite_raw = frame(4, 4, Bytes(stream.begin(), stream.begin() + 16));

    ScratchDir dir;
    int read_raw = 0;
    for (std::size_t cut = 0; cut <= full.size(); ++cut) {
        SCOPED_TRACE("cut at " + std::to_string(cut));
        const OutputFormat format = cut % 2 ? OutputFormat::bmp : OutputFormat::tga;
        for (const std::string& name : list_dir(dir.path)) fs::remove(dir.path / name);
        write_file(dir.path / "in.gaf", Bytes(full.begin(), full.begin() + static_cast<std::ptrdiff_t>(cut)));

        const RunResult r = run_zeftil(args_for(format, "in.gaf"), dir.path);
        ASSERT_GE(r.exit_status, 0);  // never a signal
        EXPECT_EQ(r.out, "");
        if (cut < zeftil::kOffsetTableAt + zeftil::kOffsetSize * entries.size()) {
            EXPECT_EQ(r.exit_status, 255);
            EXPECT_EQ(r.err, cut < 12 ? "ERROR reading in.gaf: file is shorter than the 12-byte archive header\n\n"
                                      : "ERROR reading in.gaf: entry offset table runs past the end of the file\n\n");
            EXPECT_EQ(list_dir(dir.path), std::vector<std::string>{"in.gaf"});
            continue;
        }
        // One line per failed entry, all alike.
        const auto errors = static_cast<std::size_t>(std::count(r.err.begin(), r.err.end(), '\n'));
        EXPECT_EQ(r.exit_status, errors == 0 ? 0 : 1);
        std::size_t alike = 0;
        for (std::size_t at = 0; (at = r.err.find("ERROR reading in.gaf: entry ", at)) != std::string::npos; ++at) ++alike;
        EXPECT_EQ(alike, errors) << r.err;

        // Every entry either has its one error line or its complete image: as
        // the whole archive gives it, or for the cut stream, read raw.
        std::size_t written = 0;
        for (const gafbuild::Entry& entry : entries) {
            const fs::path path = dir.path / (entry.name + extension(format));
            if (!fs::exists(path)) continue;
            ++written;
            const Bytes image = read_file(path);
            const Bytes whole = image_of(format, entry.frames[0]);
            if (&entry == &entries.back() && image == image_of(format, sprite_raw)) {
                ++read_raw;
            } else {
                EXPECT_EQ(image, whole) << entry.name;
            }
        }
        EXPECT_EQ(written + errors, entries.size());
        EXPECT_EQ(list_dir(dir.path).size(), written + 1);
    }
    EXPECT_EQ(read_raw, 12);  // cuts leaving 16 to 27 bytes of the stream
}

}  // namespace
