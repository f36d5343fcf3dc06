#include <gtest/gtest.h>

#include "image/image.h"
#include "image/palette.h"
#include "support.h"

namespace {

using namespace zeftil;
using testing_support::Bytes;

Bytes encode(OutputFormat format, int width, int height, const Bytes& indices) {
    return encode_image(format, {static_cast<std::uint16_t>(width), static_cast<std::uint16_t>(height)}, indices);
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

TEST(Writers, RowAlignment) {
    struct Case {
        int width;
        std::size_t bmp_row;
    };
    for (const Case c : {Case{1, 4}, Case{2, 8}, Case{3, 12}, Case{4, 12}, Case{5, 16}, Case{6, 20}, Case{7, 24},
                         Case{300, 900}}) {
        const int height = 3;
        const Bytes indices(static_cast<std::size_t>(c.width * height), 255);  // white: 0xFF bytes
        const Bytes tga = encode(OutputFormat::tga, c.width, height, indices);
        const Bytes bmp = encode(OutputFormat::bmp, c.width, height, indices);
        ASSERT_EQ(tga.size(), 18 + 3u * c.width * height) << c.width;
        ASSERT_EQ(bmp.size(), 54 + c.bmp_row * height) << c.width;
        EXPECT_EQ(tga[12] | tga[13] << 8, c.width);
        EXPECT_EQ(tga[14] | tga[15] << 8, height);
        EXPECT_EQ(bmp[2] | bmp[3] << 8, static_cast<int>(bmp.size())) << c.width;
        EXPECT_EQ(bmp[18] | bmp[19] << 8, c.width);
        EXPECT_EQ(bmp[22] | bmp[23] << 8, height);
        EXPECT_EQ(bmp[34] | bmp[35] << 8, static_cast<int>(c.bmp_row * height)) << c.width;
        for (int row = 0; row < height; ++row) {
            for (std::size_t i = 0; i < c.bmp_row; ++i) {
                const std::uint8_t expected = i < 3u * c.width ? 0xFF : 0x00;
                EXPECT_EQ(bmp[54 + row * c.bmp_row + i], expected) << c.width << " row " << row << " byte " << i;
            }
        }
    }
}

TEST(Writers, ZeroSizedFramesGiveHeadersOnly) {
    for (auto [width, height] : {std::pair{0, 0}, std::pair{0, 5}, std::pair{5, 0}}) {
        const Bytes tga = encode(OutputFormat::tga, width, height, {});
        const Bytes bmp = encode(OutputFormat::bmp, width, height, {});
        EXPECT_EQ(tga.size(), 18u);
        EXPECT_EQ(tga[12], width);
        EXPECT_EQ(tga[14], height);
        ASSERT_EQ(bmp.size(), 54u);
        EXPECT_EQ(bmp[2], 54);  // file size
        EXPECT_EQ(bmp[34], 0);  // image size
        EXPECT_EQ(bmp[18], width);
        EXPECT_EQ(bmp[22], height);
    }
}

// A red "F" on blue, 6x5: flipped rows, swapped red and blue or wrong
// alignment all show.
TEST(Writers, AsymmetricPicture) {
    constexpr std::uint8_t R = 249, B = 252;
    const Bytes f = {B, R, R, R, R, B,  //
                     B, R, B, B, B, B,  //
                     B, R, R, R, B, B,  //
                     B, R, B, B, B, B,  //
                     B, R, B, B, B, B};
    const Bytes red = {0x00, 0x00, 0xFF}, blue = {0xFF, 0x00, 0x00};
    for (OutputFormat format : {OutputFormat::tga, OutputFormat::bmp}) {
        const Bytes file = encode(format, 6, 5, f);
        const std::size_t row = format == OutputFormat::tga ? 18 : 20, start = format == OutputFormat::tga ? 18 : 54;
        for (int y = 0; y < 5; ++y) {
            for (int x = 0; x < 6; ++x) {
                // The file's first row is the picture's last.
                const std::size_t at = start + static_cast<std::size_t>(4 - y) * row + 3 * static_cast<std::size_t>(x);
                EXPECT_EQ(Bytes(file.begin() + static_cast<long>(at), file.begin() + static_cast<long>(at) + 3),
                          f[static_cast<std::size_t>(y * 6 + x)] == R ? red : blue)
                    << x << "," << y;
            }
        }
    }
}

TEST(Palette, KnownEntries) {
    for (int i : {0, 10, 11, 12, 13, 14, 15, 240, 241, 242, 243, 244, 245}) {
        const Rgb c = gaf_palette[static_cast<std::size_t>(i)];
        EXPECT_EQ(c.r | c.g | c.b, 0) << i;
    }
    struct Case {
        int index;
        std::uint32_t rgb;
    };
    const Case cases[] = {{1, 0x800000}, {7, 0xC0C0C0}, {8, 0x4F657D}, {9, 0x8399B1}, {16, 0xFFEBF3},
                          {47, 0x00130B}, {99, 0x97B3FF}, {143, 0x000B1B}, {208, 0xFFFF00}, {231, 0x000037},
                          {246, 0xC1CCD9}, {247, 0xA0A0A4}, {248, 0x808080}, {249, 0xFF0000}, {250, 0x00FF00},
                          {251, 0xFFFF00}, {252, 0x0000FF}, {253, 0xFF00FF}, {254, 0x00FFFF}, {255, 0xFFFFFF}};
    for (const Case c : cases) {
        const Rgb p = gaf_palette[static_cast<std::size_t>(c.index)];
        EXPECT_EQ(static_cast<std::uint32_t>(p.r << 16 | p.g << 8 | p.b), c.rgb) << c.index;
    }
}

}  // namespace
