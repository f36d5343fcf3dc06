#include <gtest/gtest.h>

#include "bytes.h"
#include "image/expand.h"
#include "image/image.h"
#include "support.h"

namespace {

using namespace zeftil;
using testing_support::Bytes;

Bytes encode(OutputFormat format, int width, int height, const Bytes& indices) {
    return testing_support::image_of(format, testing_support::frame(width, height, indices));
}

// The game's palette as typed from its table, RRGGBB, sixteen entries a line:
// the bytes every walk below must give.
const std::uint32_t kPalette[256] = {
    0x000000, 0x800000, 0x008000, 0x808000, 0x000080, 0x800080, 0x008080, 0xC0C0C0, 0x4F657D, 0x8399B1, 0x000000, 0x000000, 0x000000, 0x000000, 0x000000, 0x000000,
    0xFFEBF3, 0xEBC7D3, 0xD7A3B3, 0xC38797, 0xAF6F7F, 0x9B5B63, 0x8B474F, 0x7B3B47, 0x6F333B, 0x632B33, 0x57232B, 0x4B1B27, 0x3B171F, 0x2F0F17, 0x230B0F, 0x17070B,
    0x73FFDF, 0x57E7BF, 0x43CF9F, 0x2FB783, 0x1F9F67, 0x138B4F, 0x0F773F, 0x0B6B37, 0x075F2F, 0x07532B, 0x004727, 0x003F23, 0x00331B, 0x002717, 0x001B0F, 0x00130B,
    0xE3EFFF, 0xC7DFE7, 0xAFCFCB, 0x93B7A7, 0x7F9F83, 0x6B8767, 0x5F6F53, 0x5F6347, 0x5B573B, 0x534333, 0x473B2B, 0x3B3323, 0x2F2B1B, 0x231F13, 0x17130F, 0x0B0B07,
    0xFBFBD7, 0xDFDFB7, 0xC3C39B, 0xABAB83, 0x93936F, 0x777757, 0x636343, 0x535333, 0x434323, 0x333317, 0x23230F, 0x1B1B07, 0x171707, 0x131300, 0x0F0F00, 0x0B0B00,
    0xFBFBFB, 0xEBEBEB, 0xDBDBDB, 0xCBCBCB, 0xBBBBBB, 0xABABAB, 0x9B9B9B, 0x8B8B8B, 0x7B7B7B, 0x6B6B6B, 0x5B5B5B, 0x4B4B4B, 0x3B3B3B, 0x2B2B2B, 0x1F1F1F, 0x0F0F0F,
    0xEBF3FF, 0xCBE3FF, 0xAFCFFF, 0x97B3FF, 0x7B97FF, 0x677FFF, 0x536BEF, 0x3F5BE3, 0x334BD7, 0x233BCB, 0x172FAF, 0x0F2797, 0x071F7B, 0x071763, 0x000F47, 0x000B2F,
    0xE3F7FF, 0xBFDBE7, 0x9FBFCF, 0x83A7B7, 0x6B8FA3, 0x53778B, 0x3F5F73, 0x2F4B5F, 0x273F57, 0x23374F, 0x1F2F47, 0x1B273F, 0x171F37, 0x131B2F, 0x0F1327, 0x0B0F1F,
    0xD7EFFF, 0xBBE3EF, 0x9BCBDF, 0x83B7CF, 0x6BA3C3, 0x538FB3, 0x3F7BA3, 0x2F6B97, 0x235B87, 0x1B4B77, 0x133F67, 0x0B3357, 0x072747, 0x001B37, 0x001327, 0x000B1B,
    0xFFE7FF, 0xE7C7EB, 0xD3ABD7, 0xBB93C3, 0xA77BB3, 0x8F639F, 0x774B8F, 0x633B7F, 0x4F2B6F, 0x431F63, 0x371757, 0x2B0F47, 0x1F073B, 0x13002B, 0x0B001F, 0x070013,
    0xD7FFA7, 0xABE77F, 0x83D35B, 0x67BF3F, 0x4BAB2B, 0x43972B, 0x378727, 0x2F771B, 0x2B6713, 0x235B0F, 0x1F4F0B, 0x1B4307, 0x173300, 0x0F2700, 0x0B1B00, 0x070F00,
    0xFFE39F, 0xE3C773, 0xCBAF53, 0xB3973F, 0x9B832F, 0x836F23, 0x6B5B17, 0x53470F, 0x4B3B0B, 0x433307, 0x3B2B07, 0x372300, 0x2F1B00, 0x271300, 0x1F0F00, 0x1B0B00,
    0xFFFFA3, 0xFBF383, 0xF7E367, 0xF3D34F, 0xEFBB33, 0xEFA71B, 0xEB8F13, 0xE77B0F, 0xDF4F07, 0xD72300, 0xBF1F00, 0xA71B00, 0x931700, 0x7B1300, 0x631300, 0x4F0F00,
    0xFFFF00, 0xFFBF00, 0xFF8300, 0xFF4700, 0xD32B00, 0xAB1700, 0x7F0700, 0x570000, 0xDFCBFF, 0xBB9FDF, 0x9B77BF, 0x7F579F, 0x673B7F, 0x4B235F, 0x33133F, 0x1B071F,
    0xD3DBFF, 0x879FF7, 0x436FEF, 0x1747E7, 0x0B2BBB, 0x07178F, 0x000763, 0x000037, 0x7BFF77, 0x53DF4F, 0x33BF2B, 0x1B9F13, 0x1B7F0B, 0x175F07, 0x133F00, 0x0B1F00,
    0x000000, 0x000000, 0x000000, 0x000000, 0x000000, 0x000000, 0xC1CCD9, 0xA0A0A4, 0x808080, 0xFF0000, 0x00FF00, 0xFFFF00, 0x0000FF, 0xFF00FF, 0x00FFFF, 0xFFFFFF,
};

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
        EXPECT_EQ(zeftil::get_u32(bmp, 2), bmp.size());
        EXPECT_EQ(zeftil::get_u32(bmp, 34), image_size);
        for (std::size_t i = 0; i < image_size; ++i)
            ASSERT_EQ(bmp[54 + i], i % c.bmp_row < 3u * static_cast<std::size_t>(c.width) ? 0xFF : 0x00) << i;
    }
}

// Every way of expanding a row that this processor runs: every index at every
// place of rows 1 to 130 pixels wide (all the tails of an eight- and of a
// sixty-four-pixel step, and rows of two such steps), TGA and BMP, byte for
// byte what the typed palette says, alignment bytes zero and nothing written past
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
                        const std::uint32_t c = kPalette[indices[x]];
                        for (std::size_t k = 0; k < 3; ++k) expected[3 * x + k] = static_cast<std::uint8_t>(c >> 8 * k);
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
                const std::uint32_t colour = kPalette[index(x, y)];
                for (const int shift : {0, 8, 16}) expected.push_back(static_cast<std::uint8_t>(colour >> shift));
            }
            while (c.format == OutputFormat::bmp && (expected.size() - 54) % 4 != 0) expected.push_back(0);
        }
        Bytes written;
        std::vector<std::size_t> sizes;
        const RowSource rows = [&](std::size_t y, std::span<std::uint8_t> row) {
            for (std::size_t x = 0; x < row.size(); ++x) row[x] = index(x, y);
            return true;
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

}  // namespace
