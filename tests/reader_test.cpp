#include <gtest/gtest.h>

#include <climits>
#include <functional>

#include "bytes.h"
#include "gaf/gaf.h"
#include "support.h"

namespace {

using namespace zeftil;
using namespace testing_support;

// One entry "tree" with a 3x2 raw frame, as build_gaf lays it out: the
// archive header, a one-slot offset table, the entry header, the frame
// header, 6 pixels.
constexpr std::size_t kEntryAt = kOffsetTableAt + kOffsetSize, kFrameAt = kEntryAt + kEntryHeaderSize + kFrameSlotSize,
                      kPixelsAt = kFrameAt + kFrameHeaderSize, kSize = kPixelsAt + 6;
constexpr std::uint32_t kSlotsInFile = (kSize - kOffsetTableAt) / kOffsetSize;

Bytes tree_archive() {
    Bytes bytes = archive_of("tree", frame(3, 2, {1, 2, 3, 4, 5, 6}));
    EXPECT_EQ(bytes.size(), kSize);
    return bytes;
}

GafArchive parsed(Bytes bytes) {
    GafArchive archive;
    EXPECT_EQ(parse_gaf(std::move(bytes), archive), ArchiveError::none);
    return archive;
}

TEST(Reader, ArchiveLevelFaults) {
    struct Case {
        const char* what;
        std::function<void(Bytes&)> damage;
        ArchiveError expected;
    };
    const Case cases[] = {
        {"valid", [](Bytes&) {}, ArchiveError::none},
        {"any version word", [](Bytes& b) { put_u32(b, 0, 0xDEADBEEF); }, ArchiveError::none},
        {"empty file", [](Bytes& b) { b.clear(); }, ArchiveError::shorter_than_header},
        {"11 bytes", [](Bytes& b) { b.resize(11); }, ArchiveError::shorter_than_header},
        {"negative count", [](Bytes& b) { put_u32(b, 4, 0xFFFFFFFF); }, ArchiveError::negative_entry_count},
        {"table past end", [](Bytes& b) { put_u32(b, 4, kSlotsInFile + 1); }, ArchiveError::offset_table_outside_file},
        {"table fills file", [](Bytes& b) { put_u32(b, 4, kSlotsInFile); }, ArchiveError::none},
        {"largest count", [](Bytes& b) { put_u32(b, 4, INT32_MAX); }, ArchiveError::offset_table_outside_file},
        {"header only, no entries", [](Bytes& b) { b.resize(12); put_u32(b, 4, 0); }, ArchiveError::none},
        {"table cut short", [](Bytes& b) { b.resize(15); }, ArchiveError::offset_table_outside_file},
    };
    for (const Case& c : cases) {
        Bytes bytes = tree_archive();
        c.damage(bytes);
        GafArchive archive;
        EXPECT_EQ(parse_gaf(bytes, archive), c.expected) << c.what;
    }
}

// Each fault by the reason its message gives (none for no fault).
TEST(Reader, EntryLevelFaults) {
    struct Case {
        const char* what;
        std::function<void(Bytes&)> damage;
        std::string_view reason;
    };
    const Case cases[] = {
        {"valid", [](Bytes&) {}, ""},
        {"entry offset negative", [](Bytes& b) { put_u32(b, kOffsetTableAt, 0xFFFFFFF0); }, "entry header offset is negative"},
        {"entry header one byte short", [](Bytes& b) { put_u32(b, kOffsetTableAt, kSize - 39); },
         "40-byte entry header lies outside the file"},
        {"frame slot one byte short", [](Bytes& b) { put_u32(b, kOffsetTableAt, kSize - 47); put_u16(b, kSize - 47, 1); },
         "48-byte entry header lies outside the file"},
        {"frame offset negative", [](Bytes& b) { put_u32(b, kEntryAt + kFrameOffsetAt, 0x80000000); },
         "frame header offset is negative"},
        {"frame header one byte short", [](Bytes& b) { put_u32(b, kEntryAt + kFrameOffsetAt, kSize - 19); },
         "20-byte frame header lies outside the file"},
        {"width negative", [](Bytes& b) { put_u16(b, kFrameAt + kWidthAt, 0xFFFF); }, "frame width or height is negative"},
        {"height negative", [](Bytes& b) { put_u16(b, kFrameAt + kHeightAt, 0x8000); }, "frame width or height is negative"},
        {"negative size beats zero size", [](Bytes& b) { put_u16(b, kFrameAt + kWidthAt, 0); put_u16(b, kFrameAt + kHeightAt, 0xFFFF); },
         "frame width or height is negative"},
        {"pixel offset negative", [](Bytes& b) { put_u32(b, kFrameAt + kPixelOffsetAt, 0xFFFFFFFF); },
         "pixel data offset is negative"},
        {"pixels one byte short", [](Bytes& b) { b.pop_back(); }, "pixel data lies outside the file"},
        {"largest frame", [](Bytes& b) { put_u16(b, kFrameAt + kWidthAt, 0x7FFF); put_u16(b, kFrameAt + kHeightAt, 0x7FFF); },
         "pixel data lies outside the file"},
        {"zero width, pixel offset never looked at",
         [](Bytes& b) { put_u16(b, kFrameAt + kWidthAt, 0); put_u32(b, kFrameAt + kPixelOffsetAt, 0xFFFFFFFF); }, ""},
        {"zero height, pixels cut away", [](Bytes& b) { put_u16(b, kFrameAt + kHeightAt, 0); b.resize(kPixelsAt); },
         ""},
        {"bytes 9 and 12-15 change nothing", [](Bytes& b) { std::fill_n(b.begin() + kFrameAt + 12, 4, 0xAB); b[kFrameAt + kCompressionAt] = 2; },
         ""},
    };
    for (const Case& c : cases) {
        Bytes bytes = tree_archive();
        c.damage(bytes);
        GafArchive archive = parsed(bytes);
        GafEntry entry;
        const EntryError error = read_entry(archive, 0, entry).error;
        EXPECT_EQ(error == EntryError::none ? "" : to_string(error), c.reason) << c.what;
        if (error != EntryError::none) continue;
        const std::size_t count = static_cast<std::size_t>(entry.frame.Width) * static_cast<std::size_t>(entry.frame.Height);
        EXPECT_EQ(pixels_of(archive, entry.frame).size(), count) << c.what;
    }
}

TEST(Reader, EntriesFollowTheOffsetTable) {
    std::vector<gafbuild::Entry> entries = {
        {"first", {frame(1, 1, {10})}, {}},
        {"second", {frame(2, 1, {20, 21}), frame(1, 1, {99})}, {}},  // frame 1 is never read
        {"none", {}, std::int16_t{0}},  // no frames: nothing behind its 40 bytes is read
        {"negative", {frame(1, 1, {40})}, std::int16_t{-3}},
    };
    Bytes bytes = gafbuild::build_gaf(entries);
    // Table order, not file order: swap the first two slots; repeat one slot.
    const std::uint32_t first = get_u32(bytes, kOffsetTableAt), second = get_u32(bytes, kOffsetTableAt + 4);
    put_u32(bytes, kOffsetTableAt, second);
    put_u32(bytes, kOffsetTableAt + 4, first);
    put_u32(bytes, kOffsetTableAt + 12, second);
    GafArchive archive = parsed(bytes);
    ASSERT_EQ(archive.nEntries, 4);

    const std::pair<const char*, Bytes> expected[] = {
        {"second", {20, 21}}, {"first", {10}}, {"none", {}}, {"second", {20, 21}}};
    std::vector<GafEntry> read(4);
    for (int i = 0; i < 4; ++i) {
        ASSERT_EQ(read_entry(archive, i, read[i]).error, EntryError::none);
        EXPECT_EQ(read[i].name, expected[i].first);
        EXPECT_EQ(pixels_of(archive, read[i].frame), expected[i].second);
    }
}

// A regular file read at the archive's offsets, and the same entries once the
// rest of the archive is kept in memory and the file is emptied. The second
// frame's bottom row straddles the end of the 4 KiB read ahead with its
// headers, into memory that the first frame's pixels filled.
TEST(Reader, FromTheFileAndFromMemory) {
    const std::vector<gafbuild::Entry> entries = {
        {"zeros", {frame(600, 600, Bytes(360000, 0))}, {}}, {"straddling", {pattern(100, 41)}, {}}, {"after", {pattern(7, 3)}, {}}};
    ScratchDir dir;
    const std::string path = (dir.path / "in.gaf").string();
    for (const std::int32_t from : {-1, 0, 1}) {  // -1: from the file throughout
        write_file(path, gafbuild::build_gaf(entries));
        GafArchive archive;
        ASSERT_EQ(load_gaf(path, archive).error, ArchiveError::none);
        if (from >= 0) {
            keep_rest_in_memory(archive, from);
            std::filesystem::resize_file(path, 0);
        }
        for (std::int32_t i = std::max(from, 0); i < 3; ++i) {
            GafEntry entry;
            ASSERT_EQ(read_entry(archive, i, entry).error, EntryError::none) << from << " " << i;
            EXPECT_EQ(pixels_of(archive, entry.frame), entries[static_cast<std::size_t>(i)].frames[0].pixels) << from << " " << i;
        }
    }
}

}  // namespace
