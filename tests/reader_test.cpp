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

TEST(Reader, EntryLevelFaults) {
    struct Case {
        const char* what;
        std::function<void(Bytes&)> damage;
        EntryError expected;
    };
    const Case cases[] = {
        {"valid", [](Bytes&) {}, EntryError::none},
        {"entry offset negative", [](Bytes& b) { put_u32(b, kOffsetTableAt, 0xFFFFFFF0); }, EntryError::negative_entry_offset},
        {"entry header one byte short", [](Bytes& b) { put_u32(b, kOffsetTableAt, kSize - 39); },
         EntryError::entry_header_outside_file},
        {"frame slot one byte short", [](Bytes& b) { put_u32(b, kOffsetTableAt, kSize - 47); put_u16(b, kSize - 47, 1); },
         EntryError::frame_slot_outside_file},
        {"frame offset negative", [](Bytes& b) { put_u32(b, kEntryAt + kFrameOffsetAt, 0x80000000); },
         EntryError::negative_frame_offset},
        {"frame header one byte short", [](Bytes& b) { put_u32(b, kEntryAt + kFrameOffsetAt, kSize - 19); },
         EntryError::frame_header_outside_file},
        {"width negative", [](Bytes& b) { put_u16(b, kFrameAt + kWidthAt, 0xFFFF); }, EntryError::negative_size},
        {"height negative", [](Bytes& b) { put_u16(b, kFrameAt + kHeightAt, 0x8000); }, EntryError::negative_size},
        {"negative size beats zero size", [](Bytes& b) { put_u16(b, kFrameAt + kWidthAt, 0); put_u16(b, kFrameAt + kHeightAt, 0xFFFF); },
         EntryError::negative_size},
        {"pixel offset negative", [](Bytes& b) { put_u32(b, kFrameAt + kPixelOffsetAt, 0xFFFFFFFF); },
         EntryError::negative_pixel_offset},
        {"pixels one byte short", [](Bytes& b) { b.pop_back(); }, EntryError::pixels_outside_file},
        {"largest frame", [](Bytes& b) { put_u16(b, kFrameAt + kWidthAt, 0x7FFF); put_u16(b, kFrameAt + kHeightAt, 0x7FFF); },
         EntryError::pixels_outside_file},
        {"zero width, pixel offset never looked at",
         [](Bytes& b) { put_u16(b, kFrameAt + kWidthAt, 0); put_u32(b, kFrameAt + kPixelOffsetAt, 0xFFFFFFFF); }, EntryError::none},
        {"zero height, pixels cut away", [](Bytes& b) { put_u16(b, kFrameAt + kHeightAt, 0); b.resize(kPixelsAt); },
         EntryError::none},
        {"bytes 9 and 12-15 change nothing", [](Bytes& b) { std::fill_n(b.begin() + kFrameAt + 12, 4, 0xAB); b[kFrameAt + kCompressionAt] = 2; },
         EntryError::none},
    };
    for (const Case& c : cases) {
        Bytes bytes = tree_archive();
        c.damage(bytes);
        GafArchive archive = parsed(bytes);
        GafEntry entry;
        EXPECT_EQ(read_entry(archive, 0, entry).error, c.expected) << c.what;
        if (c.expected != EntryError::none) continue;
        const std::size_t count = static_cast<std::size_t>(entry.frame.Width) * static_cast<std::size_t>(entry.frame.Height);
        EXPECT_EQ(pixels_of(archive, entry.frame).size(), count) << c.what;
    }
}

TEST(Reader, Names) {
    struct Case {
        std::string field;  // stored in the 32-byte name field, rest zero
        std::string name;
    };
    const Case cases[] = {
        {"", ""},
        {"gun", "gun"},
        {std::string("ab\0cd", 5), "ab"},
        {std::string(31, 'x'), std::string(31, 'x')},
        {std::string(32, 'y'), std::string(31, 'y')},  // no NUL in the field
        {"\xE9t\xE9", "\xE9t\xE9"},                   // bytes pass unchanged
    };
    for (const Case& c : cases) {
        Bytes bytes = tree_archive();
        std::fill_n(bytes.begin() + kEntryAt + kNameAt, 32, 0);
        std::copy(c.field.begin(), c.field.end(), bytes.begin() + kEntryAt + kNameAt);
        GafArchive archive = parsed(bytes);
        GafEntry entry;
        ASSERT_EQ(read_entry(archive, 0, entry).error, EntryError::none);
        EXPECT_EQ(entry.name, c.name);
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

}  // namespace
