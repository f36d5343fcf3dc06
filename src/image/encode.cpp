#include <algorithm>
#include <cstring>

#include "bytes.h"
#include "image/image.h"
#include "image/palette.h"

namespace zeftil {

std::size_t header_size(OutputFormat format) {
    return format == OutputFormat::tga ? kTgaHeaderSize : kBmpHeaderSize;
}

std::size_t row_size(OutputFormat format, std::size_t width) {
    const std::size_t colour_bytes = width * 3;
    return format == OutputFormat::tga ? colour_bytes : (colour_bytes + 3) / 4 * 4;
}

std::size_t file_size(OutputFormat format, ImageSize image) {
    return header_size(format) + row_size(format, image.Width) * image.Height;
}

void encode_header(OutputFormat format, ImageSize image, std::span<std::uint8_t> out) {
    std::fill_n(out.begin(), header_size(format), std::uint8_t{0});
    if (format == OutputFormat::tga) {
        out[0] = 0;                   // identifier length
        out[1] = 0;                   // colour-map type: none
        out[2] = 2;                   // image type: uncompressed true-colour
        put_u16(out, 3, 0);           // first colour-map index
        put_u16(out, 5, 0);           // colour-map length
        out[7] = 0;                   // colour-map entry size
        put_u16(out, 8, 0);           // X origin
        put_u16(out, 10, 0);          // Y origin
        put_u16(out, 12, image.Width);
        put_u16(out, 14, image.Height);
        out[16] = 24;                 // bits per pixel
        out[17] = 0;                  // descriptor: origin lower left
        return;
    }
    const auto image_size = static_cast<std::uint32_t>(row_size(format, image.Width) * image.Height);
    out[0] = 'B';                                 // signature
    out[1] = 'M';
    put_u32(out, 2, kBmpHeaderSize + image_size); // file size
    put_u16(out, 6, 0);                           // reserved
    put_u16(out, 8, 0);                           // reserved
    put_u32(out, 10, kBmpHeaderSize);             // pixel data offset
    put_u32(out, 14, kBmpInfoHeaderSize);         // info header size
    put_u32(out, 18, image.Width);                // width
    put_u32(out, 22, image.Height);               // height: positive, bottom row first
    put_u16(out, 26, 1);                          // planes
    put_u16(out, 28, 24);                         // bits per pixel
    put_u32(out, 30, 0);                          // compression: none
    put_u32(out, 34, image_size);                 // image size
    put_u32(out, 38, 0);                          // horizontal resolution
    put_u32(out, 42, 0);                          // vertical resolution
    put_u32(out, 46, 0);                          // colours used
    put_u32(out, 50, 0);                          // important colours
}

void encode_row(OutputFormat format, std::span<const std::uint8_t> indices, std::span<std::uint8_t> out) {
    const std::size_t width = indices.size();
    const std::uint8_t* in = indices.data();
    std::uint8_t* to = out.data();
    if (width == 0) return;
    // Every pixel but the last is placed with one 4-byte copy; its spare byte
    // is overwritten by the next pixel. Eight pixels a step, unrolled at -O2
    // too, so that the loop's own counting costs little next to the copies.
    std::size_t x = 0;
    for (; x + 8 < width; x += 8) {
#pragma GCC unroll 8
        for (std::size_t k = 0; k < 8; ++k) std::memcpy(to + 3 * (x + k), &kBgrTable[in[x + k]], 4);
    }
    for (; x + 1 < width; ++x) std::memcpy(to + 3 * x, &kBgrTable[in[x]], 4);
    const Rgb last = gaf_palette[in[width - 1]];
    to[3 * width - 3] = last.b;
    to[3 * width - 2] = last.g;
    to[3 * width - 1] = last.r;
    std::fill(to + 3 * width, to + row_size(format, width), std::uint8_t{0});
}

std::vector<std::uint8_t> encode_image(OutputFormat format, ImageSize size, std::span<const std::uint8_t> indices) {
    std::vector<std::uint8_t> out(file_size(format, size));
    const std::span<std::uint8_t> all = out;
    encode_header(format, size, all);
    const std::size_t row = row_size(format, size.Width);
    std::size_t at = header_size(format);
    for (std::size_t y = size.Height; y-- > 0; at += row)
        encode_row(format, indices.subspan(y * size.Width, size.Width), all.subspan(at, row));
    return out;
}

}  // namespace zeftil
