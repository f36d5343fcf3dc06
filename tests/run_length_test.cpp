#include <gtest/gtest.h>

#include <random>

#include "bytes.h"
#include "gaf/gaf.h"
#include "support.h"

namespace {

using namespace zeftil;
using namespace testing_support;

constexpr std::uint8_t T = 9;  // the frames' transparency index
// Where build_gaf puts a one-entry archive's frame header and its data.
constexpr std::size_t kFrameAt = kOffsetTableAt + kOffsetSize + kEntryHeaderSize + kFrameSlotSize, kDataAt = kFrameAt + kFrameHeaderSize;

// An archive with one 6x3 frame flagged run-length encoded whose data is
// `stream` followed by `tail`.
Bytes archive_with_stream(const Bytes& stream, std::size_t tail = 0) {
    Bytes bytes = archive_of("s", frame(6, 3, {}, T, false));
    bytes[kFrameAt + kCompressionAt] = 1;
    bytes.insert(bytes.end(), stream.begin(), stream.end());
    bytes.resize(bytes.size() + tail, 0xEE);
    return bytes;
}

Bytes decode(const Bytes& bytes, EntryError* error = nullptr) {
    GafArchive archive;
    EXPECT_EQ(parse_gaf(bytes, archive), ArchiveError::none);
    GafEntry entry;
    const EntryError e = read_entry(archive, 0, entry).error;
    if (error) *error = e;
    if (e != EntryError::none) return {};
    return pixels_of(archive, entry.frame);
}

TEST(RunLength, StreamsThatAreNotWellFormedAreReadRaw) {
    struct Case {
        const char* what;
        Bytes stream;
    };
    const Case cases[] = {
        {"repeat past the width", {1 + 1, 0, 6 << 2 | 2, 4, 0, 0, 0, 0}},
        {"copy past the width", {8, 0, 6 << 2, 1, 2, 3, 4, 5, 6, 7, 0, 0, 0, 0}},
        {"skip past the width", {1, 0, 7 << 1 | 1, 0, 0, 0, 0}},
        {"repeat value beyond the row's count", {1, 0, 2, 0, 0, 0, 0, 4}},
        {"copy beyond the row's count", {2, 0, 1 << 2, 4, 0, 0, 0, 0, 4}},
        {"row count beyond the file", {200, 0}},
        {"third row missing", {0, 0, 0, 0}},
        {"third row count cut in half", {0, 0, 0, 0, 0}},
    };
    for (const Case& c : cases) {
        // With 18 bytes of data or more, the frame is read as 18 raw indices.
        const std::size_t tail = c.stream.size() < 18 ? 18 - c.stream.size() : 0;
        const Bytes bytes = archive_with_stream(c.stream, tail);
        Bytes raw(bytes.begin() + kDataAt, bytes.begin() + kDataAt + 18);
        EXPECT_EQ(decode(bytes), raw) << c.what;
        // With fewer, the frame's raw bytes lie outside the file.
        if (c.stream.size() < 18) {
            EntryError error;
            decode(archive_with_stream(c.stream), &error);
            EXPECT_EQ(error, EntryError::pixels_outside_file) << c.what;
        }
    }
}

// The generator's encoder and the reader's decoder agree on pictures with
// runs, single pixels and transparency in every position.
TEST(RunLength, GeneratorStreamsDecodeToTheirPictures) {
    std::mt19937 random(7);
    for (int round = 0; round < 200; ++round) {
        const int width = 1 + static_cast<int>(random() % 150), height = 1 + static_cast<int>(random() % 5);
        Bytes pixels(static_cast<std::size_t>(width * height));
        for (std::size_t i = 0; i < pixels.size(); ++i) {
            const unsigned pick = random() % 4;
            pixels[i] = pick == 0 ? T : pick == 1 && i > 0 ? pixels[i - 1] : static_cast<std::uint8_t>(random());
        }
        const Bytes bytes = archive_of("r", frame(width, height, pixels, T, true));
        GafArchive archive;
        ASSERT_EQ(parse_gaf(bytes, archive), ArchiveError::none);
        GafEntry entry;
        ASSERT_EQ(read_entry(archive, 0, entry).error, EntryError::none);
        ASSERT_EQ(entry.frame.encoding, FrameEncoding::run_length) << width << "x" << height;
        EXPECT_EQ(decode(bytes), pixels) << width << "x" << height;
    }
}

}  // namespace
