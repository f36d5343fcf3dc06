// The two image layouts in bytes: their headers, and rows of palette indices
// expanded to blue, green, red, one pixel, eight or sixty-four at a time,
// whichever the processor runs fastest.
#include <algorithm>
#include <cstring>

#include "bytes.h"
#include "image/expand.h"
#include "image/image.h"
#include "image/palette.h"

#if defined(__x86_64__) || defined(__i386__)
#include <immintrin.h>
#define ZEFTIL_X86
#endif

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

namespace {

// Places pixels [0, width) as blue, green, red at to[0, 3 * width) and
// nothing beyond. Every pixel but the last is placed with one 4-byte copy;
// its spare byte is overwritten by the next pixel. Eight pixels a step,
// unrolled at -O2 too, so that the loop's own counting costs little next to
// the copies.
void expand_scalar(const std::uint8_t* in, std::size_t width, std::uint8_t* to) {
    if (width == 0) return;
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
}

#ifdef ZEFTIL_X86
// The table entries of pixels i[0..3] side by side.
[[gnu::target("avx2")]] __m128i four_entries(const std::uint8_t* i) {
    const auto entry = [](std::uint8_t index) { return static_cast<int>(kBgrTable[index]); };
    __m128i entries = _mm_cvtsi32_si128(entry(i[0]));
    entries = _mm_insert_epi32(entries, entry(i[1]), 1);
    entries = _mm_insert_epi32(entries, entry(i[2]), 2);
    return _mm_insert_epi32(entries, entry(i[3]), 3);
}

// Pixels i[0..7] as two 16-byte halves, each with four pixels' blue, green,
// red in its first 12 bytes and 4 spare bytes after them. The entries are
// loaded one by one: on the AMD processors it was measured on, that took a
// half to a third of the time the gather instruction takes.
[[gnu::target("avx2")]] __m256i eight_pixels(const std::uint8_t* i) {
    // Within each half: bytes 0-2, 4-6, 8-10, 12-14, then four zeros.
    const __m256i drop_spare = _mm256_setr_epi8(0, 1, 2, 4, 5, 6, 8, 9, 10, 12, 13, 14, -1, -1, -1, -1,  //
                                                0, 1, 2, 4, 5, 6, 8, 9, 10, 12, 13, 14, -1, -1, -1, -1);
    return _mm256_shuffle_epi8(_mm256_set_m128i(four_entries(i + 4), four_entries(i)), drop_spare);
}

// expand_scalar's work, eight pixels at a time. Each half of eight is stored
// as 16 bytes, 12 of them a half's four pixels, the spare 4 overwritten by the
// next store. Sixteen pixels a step while two more pixels follow the step to
// take its last spare bytes; then steps of eight whose second half is stored
// as 8 + 4 bytes, so nothing is written past the row; the last width % 8
// pixels go the scalar way.
[[gnu::target("avx2")]] void expand_avx2(const std::uint8_t* in, std::size_t width, std::uint8_t* to) {
    const auto store = [](std::uint8_t* at, __m128i bytes) { _mm_storeu_si128(reinterpret_cast<__m128i*>(at), bytes); };
    std::size_t x = 0;
    for (; x + 18 <= width; x += 16) {
        const __m256i first = eight_pixels(in + x), second = eight_pixels(in + x + 8);
        store(to + 3 * x, _mm256_castsi256_si128(first));
        store(to + 3 * x + 12, _mm256_extracti128_si256(first, 1));
        store(to + 3 * x + 24, _mm256_castsi256_si128(second));
        store(to + 3 * x + 36, _mm256_extracti128_si256(second, 1));
    }
    for (; x + 8 <= width; x += 8) {
        const __m256i pixels = eight_pixels(in + x);
        const __m128i upper = _mm256_extracti128_si256(pixels, 1);
        store(to + 3 * x, _mm256_castsi256_si128(pixels));
        _mm_storel_epi64(reinterpret_cast<__m128i*>(to + 3 * x + 12), upper);
        const int last = _mm_extract_epi32(upper, 2);
        std::memcpy(to + 3 * x + 20, &last, 4);
    }
    expand_scalar(in + x, width - x, to + 3 * x);
}

// With AVX-512's byte permutes the palette fits in registers: each colour is
// a plane of 256 bytes, four registers, looked up for 64 indices at once by
// two 128-entry permutes and a blend on the index's top bit. The three
// colour planes are then interleaved into 192 bytes of blue, green, red, each
// 64 of them by two more permutes.
struct Planes {
    alignas(64) std::uint8_t colour[3][256];   // blue, green, red of every palette entry
    alignas(64) std::uint8_t blue_green[3][64];  // output byte 64k + j: of pixel p = (64k + j) / 3, blue (p) or green (64 + p)
    alignas(64) std::uint8_t red[3][64];         // and p, for its red
    std::uint64_t red_bytes[3];                  // which of those 64 bytes are red
};

constexpr Planes kPlanes = [] {
    Planes t{};
    for (std::size_t i = 0; i < 256; ++i) {
        t.colour[0][i] = gaf_palette[i].b;
        t.colour[1][i] = gaf_palette[i].g;
        t.colour[2][i] = gaf_palette[i].r;
    }
    for (std::size_t k = 0; k < 3; ++k)
        for (std::size_t j = 0; j < 64; ++j) {
            const std::size_t pixel = (64 * k + j) / 3, colour = (64 * k + j) % 3;
            t.blue_green[k][j] = static_cast<std::uint8_t>(colour == 1 ? 64 + pixel : pixel);
            t.red[k][j] = static_cast<std::uint8_t>(pixel);
            if (colour == 2) t.red_bytes[k] |= std::uint64_t{1} << j;
        }
    return t;
}();

// Sixty-four pixels a step; the last width % 64 take one step more, its
// loads and stores masked to the row, so nothing is read or written past it.
[[gnu::target("avx512f,avx512bw,avx512vbmi")]] void expand_avx512(const std::uint8_t* in, std::size_t width,
                                                                 std::uint8_t* to) {
    // Every table in registers, the loops over them unrolled, at -O2 too.
    __m512i quarter[3][4];  // entries 0-63, 64-127, 128-191, 192-255 of each colour
#pragma GCC unroll 3
    for (std::size_t c = 0; c < 3; ++c)
#pragma GCC unroll 4
        for (std::size_t q = 0; q < 4; ++q) quarter[c][q] = _mm512_load_si512(kPlanes.colour[c] + 64 * q);
    __m512i blue_green[3], red[3];
#pragma GCC unroll 3
    for (std::size_t k = 0; k < 3; ++k) {
        blue_green[k] = _mm512_load_si512(kPlanes.blue_green[k]);
        red[k] = _mm512_load_si512(kPlanes.red[k]);
    }
    const auto first_bits = [](std::size_t n) { return n >= 64 ? ~std::uint64_t{0} : (std::uint64_t{1} << n) - 1; };
    for (std::size_t x = 0; x < width; x += 64) {
        const std::size_t pixels = std::min<std::size_t>(64, width - x), bytes = 3 * pixels;
        const __m512i indices = _mm512_maskz_loadu_epi8(first_bits(pixels), in + x);
        const __mmask64 upper_half = _mm512_movepi8_mask(indices);  // index 128 or above
        __m512i plane[3];
#pragma GCC unroll 3
        for (std::size_t c = 0; c < 3; ++c)
            plane[c] = _mm512_mask_blend_epi8(upper_half, _mm512_permutex2var_epi8(quarter[c][0], indices, quarter[c][1]),
                                              _mm512_permutex2var_epi8(quarter[c][2], indices, quarter[c][3]));
        for (std::size_t k = 0; k < 3 && 64 * k < bytes; ++k) {
            const __m512i bgr = _mm512_mask_permutexvar_epi8(_mm512_permutex2var_epi8(plane[0], blue_green[k], plane[1]),
                                                             kPlanes.red_bytes[k], red[k], plane[2]);
            _mm512_mask_storeu_epi8(to + 3 * x + 64 * k, first_bits(bytes - 64 * k), bgr);
        }
    }
}
#endif

}  // namespace

bool can_run(ExpandPath path) {
    if (path == ExpandPath::scalar) return true;
#ifdef ZEFTIL_X86
    __builtin_cpu_init();
    if (path == ExpandPath::avx512)
        return __builtin_cpu_supports("avx512f") && __builtin_cpu_supports("avx512bw") &&
               __builtin_cpu_supports("avx512vbmi");
    return __builtin_cpu_supports("avx2");
#else
    return false;
#endif
}

void encode_row(ExpandPath path, OutputFormat format, std::span<const std::uint8_t> indices,
                std::span<std::uint8_t> out) {
    const std::size_t width = indices.size();
#ifdef ZEFTIL_X86
    if (path == ExpandPath::avx2) expand_avx2(indices.data(), width, out.data());
    if (path == ExpandPath::avx512) expand_avx512(indices.data(), width, out.data());
#endif
    if (path == ExpandPath::scalar) expand_scalar(indices.data(), width, out.data());
    std::fill(out.data() + 3 * width, out.data() + row_size(format, width), std::uint8_t{0});
}

void encode_row(OutputFormat format, std::span<const std::uint8_t> indices, std::span<std::uint8_t> out) {
    static const ExpandPath fastest = can_run(ExpandPath::avx512) ? ExpandPath::avx512
                                      : can_run(ExpandPath::avx2)   ? ExpandPath::avx2
                                                                    : ExpandPath::scalar;
    encode_row(fastest, format, indices, out);
}

}  // namespace zeftil
