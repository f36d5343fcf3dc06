#include <gtest/gtest.h>

#include "bytes.h"
#include "image/expand.h"
#include "image/image.h"
#include "image/palette.h"
#include "support.h"

namespace {

using namespace zeftil;
using testing_support::Bytes;

Bytes encode(OutputFormat format, int width, int height, const Bytes& indices) {
    return testing_support::image_of(format, testing_support::frame(width, height, indices));
}

TEST(Writers, OnePixel) {
    const Bytes tga = encode(OutputFormat::tga, 1, 1, {249});
    EXPECT_EQ(tga, (Bytes{0, 0, 2, 0, 0, 0, 0, 0, 0, 0, 0, 0, 1, 0, 1, 0, 24, 0, 0x00, 0x00, 0xFF}));
    const Bytes bmp = encode(OutputFormat::bmp, 1, 1, {249});
    EXPECT_EQ(bmp, (Bytes{'B', 'M', 58, 0, 0, 0, 0, 0, 0, 0, 54, 0, 0, 0,  // file header
                          40, 0, 0, 0, 1, 0, 0, 0, 1, 0, 0, 0, 1, 0, 24, 0,  // info header
                          0, 0, 0, 0, 4, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0,
                          0, 0, 0, 0, 0, 0, 0, 0,
                          0x00, 0x00, 0xFF, 0x00}));  // one pixel, one alignment byte
}

// Row sizes, BMP alignment bytes and the size fields, for widths that need
// 0 to 3 alignment bytes and for zero-sized frames (headers only).
TEST(Writers, RowAlignment) {
    struct Case {
        int width, height;
        std::size_t bmp_row;
    };
    for (const Case c : {Case{1, 3, 4}, Case{2, 3, 8}, Case{3, 3, 12}, Case{4, 3, 12}, Case{5, 3, 16}, Case{6, 3, 20},
                         Case{7, 3, 24}, Case{300, 3, 900}, Case{0, 5, 0}, Case{5, 0, 16}, Case{0, 0, 0}}) {
        SCOPED_TRACE(std::to_string(c.width) + "x" + std::to_string(c.height));
        const Bytes indices(static_cast<std::size_t>(c.width * c.height), 255);  // white: 0xFF bytes
        const Bytes tga = encode(OutputFormat::tga, c.width, c.height, indices);
        const Bytes bmp = encode(OutputFormat::bmp, c.width, c.height, indices);
        const std::size_t image_size = c.bmp_row * static_cast<std::size_t>(c.height);
        ASSERT_EQ(tga.size(), 18 + 3u * static_cast<std::size_t>(c.width * c.height));
        ASSERT_EQ(bmp.size(), 54 + image_size);
        EXPECT_EQ(tga[12] | tga[13] << 8, c.width);
        EXPECT_EQ(tga[14] | tga[15] << 8, c.height);
        EXPECT_EQ(zeftil::get_u32(bmp, 2), bmp.size());
        EXPECT_EQ(zeftil::get_u32(bmp, 18), static_cast<std::uint32_t>(c.width));
        EXPECT_EQ(zeftil::get_u32(bmp, 22), static_cast<std::uint32_t>(c.height));
        EXPECT_EQ(zeftil::get_u32(bmp, 34), image_size);
        for (std::size_t i = 0; i < image_size; ++i)
            ASSERT_EQ(bmp[54 + i], i % c.bmp_row < 3u * static_cast<std::size_t>(c.width) ? 0xFF : 0x00) << i;
    }
}

// Every way of expanding a row that this processor runs: every index at every
// place of rows 1 to 130 pixels wide (all the tails of an eight- and of a
// sixty-four-pixel step, and rows of two such steps), TGA and BMP, byte for
// byte what the palette says, alignment bytes zero and nothing written past
// the row.
TEST(Writers, EveryExpandPathGivesThePaletteBytes) {
    for (const ExpandPath path : {ExpandPath::scalar, ExpandPath::avx2, ExpandPath::avx512}) {
        if (!can_run(path)) continue;
        for (const OutputFormat format : {OutputFormat::tga, OutputFormat::bmp})
            for (std::size_t width = 1; width <= 130; ++width)
                for (std::size_t first = 0; first < 256; ++first) {
                    const std::size_t size = row_size(format, width);
                    Bytes indices(width), expected(size + 32, 0xA5), row = expected;
                    std::fill_n(expected.begin(), size, 0);
                    for (std::size_t x = 0; x < width; ++x) {
                        indices[x] = static_cast<std::uint8_t>(first + 97 * x);
                        const Rgb c = gaf_palette[indices[x]];
                        std::copy_n(Bytes{c.b, c.g, c.r}.begin(), 3, expected.begin() + 3 * static_cast<long>(x));
                    }
                    encode_row(path, format, indices, std::span(row).first(size));
                    ASSERT_EQ(row, expected) << "path " << int(path) << ", format " << int(format) << ", width "
                                             << width << ", first index " << first;
                }
    }
}

// Images of more than a block, whose rows run over the block's end at many
// places (BMP ones with alignment bytes, the longest row there is), and
// images of less than one, all through one scratch as a run writes them:
// every write but the last is a whole block of page-aligned memory, and the
// bytes are the header and then each pixel's palette colour, found here
// pixel by pixel.
TEST(Writers, WholeAlignedBlocksWhateverTheRowLength) {
    struct Case {
        OutputFormat format;
        std::uint16_t width, height;
    };
    const Case cases[] = {{OutputFormat::tga, 640, 480}, {OutputFormat::bmp, 641, 480}, {OutputFormat::bmp, 1023, 300},
                          {OutputFormat::tga, 65535, 3},  {OutputFormat::bmp, 65535, 3}, {OutputFormat::tga, 7, 5},
                          {OutputFormat::bmp, 7, 5},      {OutputFormat::tga, 3, 0}};
    WriteScratch scratch;
    for (const Case c : cases) {
        SCOPED_TRACE("format " + std::to_string(int(c.format)) + ", " + std::to_string(c.width) + "x" +
                     std::to_string(c.height));
        const auto index = [](std::size_t x, std::size_t y) { return static_cast<std::uint8_t>(x * 7 + y * 13); };
        Bytes expected(header_size(c.format));
        encode_header(c.format, {c.width, c.height}, expected);
        for (std::size_t y = c.height; y-- > 0;) {
            for (std::size_t x = 0; x < c.width; ++x) {
                const Rgb colour = gaf_palette[index(x, y)];
                expected.insert(expected.end(), {colour.b, colour.g, colour.r});
            }
            while (c.format == OutputFormat::bmp && (expected.size() - 54) % 4 != 0) expected.push_back(0);
        }
        Bytes written;
        std::vector<std::size_t> sizes;
        const RowSource rows = [&](std::size_t y, std::span<std::uint8_t> row) {
            for (std::size_t x = 0; x < row.size(); ++x) row[x] = index(x, y);
            return EntryStatus{};
        };
        const BlockSink put = [&](std::span<const std::uint8_t> bytes) {
            EXPECT_EQ(reinterpret_cast<std::uintptr_t>(bytes.data()) % kWriteBlockAlignment, 0u);
            sizes.push_back(bytes.size());
            written.insert(written.end(), bytes.begin(), bytes.end());
            return true;
        };
        ASSERT_TRUE(encode_image(c.format, {c.width, c.height}, rows, scratch, put).ok());
        ASSERT_EQ(sizes.size(), (expected.size() + kWriteBlock - 1) / kWriteBlock);
        for (std::size_t i = 0; i + 1 < sizes.size(); ++i) EXPECT_EQ(sizes[i], kWriteBlock) << "write " << i;
        EXPECT_EQ(written, expected);
    }
}

// One checksum (FNV-1a) over the whole table, red, green, blue of every
// entry: an edit anywhere shows.
TEST(Palette, Checksum) {
    std::uint32_t hash = 2166136261u;
    for (const Rgb c : gaf_palette)
        for (const std::uint8_t byte : {c.r, c.g, c.b}) hash = (hash ^ byte) * 16777619u;
    EXPECT_EQ(hash, 0x771F4148u);
}

}  // namespace
