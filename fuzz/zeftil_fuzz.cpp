// Fuzz target: any bytes as an archive, and every entry they yield through
// both image encoders, the whole way from archive bytes to image bytes in
// memory; no file is touched. Besides what the sanitizers catch, it aborts
// when something that must hold for every input does not.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <span>
#include <vector>

#include "bytes.h"
#include "gaf/gaf.h"
#include "image/image.h"
#include "image/palette.h"
#include "messages.h"
#include "names.h"

namespace {

using namespace zeftil;

#define REQUIRE(condition)                                                         \
    do {                                                                           \
        if (!(condition)) {                                                        \
            std::fprintf(stderr, "%s:%d: broken: %s\n", __FILE__, __LINE__, #condition); \
            std::abort();                                                          \
        }                                                                          \
    } while (0)

// Work per input at most, in steps: each entry is one, each row of its image
// one more (its rows are walked to decode and encode them even when they hold
// no pixel), each pixel one more, and for a composite each sub-frame row it
// visits, one more and its width. Enough for a frame of 32767 x 3. A few KiB
// of run-length stream can claim a 32767 x 2000 frame, and a few KiB of
// offset table can name a 0 x 32767 frame a thousand times; past the budget
// entries are still read and checked, only not decoded and encoded, so every
// input stays quick.
constexpr std::size_t kWorkBudget = std::size_t{1} << 17;

// What parse_gaf must answer, worked out from the header alone.
ArchiveError expected_archive_error(std::span<const std::uint8_t> bytes) {
    if (bytes.size() < kArchiveHeaderSize) return ArchiveError::shorter_than_header;
    const std::int64_t count = get_i32(bytes, kEntryCountAt);
    if (count < 0) return ArchiveError::negative_entry_count;
    if (kOffsetTableAt + static_cast<std::uint64_t>(count) * kOffsetSize > bytes.size())
        return ArchiveError::offset_table_outside_file;
    return ArchiveError::none;
}

// The encoded file claims its own size and dimensions, and every byte of it is
// header, a palette colour of the pixel's index, or zero padding: nothing else
// from memory can reach it.
void check_encoding(OutputFormat format, ImageSize image, std::span<const std::uint8_t> indices) {
    const std::size_t header = header_size(format);
    const std::size_t row = row_size(format, image.Width);
    REQUIRE(file_size(format, image) == header + row * image.Height);
    // The file writer encodes into a buffer it never clears: the header and
    // the rows must set every byte themselves, so two buffers filled
    // differently end up the same.
    std::vector<std::uint8_t> out(file_size(format, image), 0xA5), other(out.size(), 0x5A);
    for (std::vector<std::uint8_t>* file : {&out, &other}) {
        encode_header(format, image, *file);
        for (std::size_t y = 0; y < image.Height; ++y)  // stored bottom row first
            encode_row(format, indices.subspan(y * image.Width, image.Width),
                       std::span(*file).subspan(header + (image.Height - 1 - y) * row, row));
    }
    REQUIRE(other == out);
    if (format == OutputFormat::tga) {
        REQUIRE(out[2] == 2 && out[16] == 24 && out[17] == 0);
        REQUIRE(get_u16(out, 12) == image.Width && get_u16(out, 14) == image.Height);
    } else {
        REQUIRE(out[0] == 'B' && out[1] == 'M' && row % 4 == 0);
        REQUIRE(get_u32(out, 2) == out.size() && get_u32(out, 10) == header);
        REQUIRE(get_u32(out, 18) == image.Width && get_u32(out, 22) == image.Height);
        REQUIRE(get_u32(out, 34) == row * image.Height);
    }
    for (std::size_t y = 0; y < image.Height; ++y) {
        const std::uint8_t* stored = out.data() + header + (image.Height - 1 - y) * row;  // bottom row first
        const std::uint8_t* in = indices.data() + y * image.Width;
        for (std::size_t x = 0; x < image.Width; ++x) {
            const Rgb colour = gaf_palette[in[x]];
            REQUIRE(stored[3 * x] == colour.b && stored[3 * x + 1] == colour.g && stored[3 * x + 2] == colour.r);
        }
        for (std::size_t at = 3 * std::size_t{image.Width}; at < row; ++at) REQUIRE(stored[at] == 0);
    }
}

// A plain frame: every row lies inside the input, one after the other.
void check_frame(const GafFrame& frame, std::size_t size) {
    REQUIRE(frame.Width >= 0 && frame.Height >= 0);
    const std::size_t height = static_cast<std::size_t>(frame.Height);
    const std::size_t pixels = static_cast<std::size_t>(frame.Width) * height;
    if (frame.encoding == FrameEncoding::raw) {
        REQUIRE(frame.rowStarts.empty() && (pixels == 0 || frame.dataAt + pixels <= size));
    } else if (frame.encoding == FrameEncoding::run_length) {
        REQUIRE(pixels > 0 && frame.rowStarts.size() == height + 1 && frame.rowStarts[0] == frame.dataAt);
        for (std::size_t y = 0; y < height; ++y) REQUIRE(frame.rowStarts[y] + 2 <= frame.rowStarts[y + 1]);
        REQUIRE(frame.rowStarts[height] <= size);
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::span<const std::uint8_t> input(data, size);
    GafArchive archive;
    const ArchiveError error = parse_gaf(std::vector<std::uint8_t>(input.begin(), input.end()), archive);
    REQUIRE(error == expected_archive_error(input));
    REQUIRE(to_string(error) != "unknown error");
    if (error != ArchiveError::none) {
        REQUIRE(!archive.input && archive.nEntries == 0);
        return 0;
    }
    REQUIRE(archive.nEntries == get_i32(input, kEntryCountAt));

    std::size_t budget = kWorkBudget;
    std::vector<std::uint8_t> indices;
    GafEntry entry;
    for (std::int32_t i = 0; i < archive.nEntries; ++i) {
        budget -= std::min<std::size_t>(budget, 1);  // every entry, decoded or not
        const EntryError entry_error = read_entry(archive, i, entry).error;
        REQUIRE(to_string(entry_error) != "unknown error" && entry_error != EntryError::cannot_read);
        // The name can only ever become a file in the current directory.
        REQUIRE(entry.name.size() < kNameFieldSize && entry.name.find('\0') == std::string::npos);
        const NameError name_error = check_output_name(entry.name);
        REQUIRE(to_string(name_error) != "unknown error");
        if (name_error == NameError::none) REQUIRE(entry.name.find_first_of("/\\") == std::string::npos);
        if (entry_error != EntryError::none) continue;

        const GafFrame& frame = entry.frame;
        REQUIRE(frame.Width >= 0 && frame.Height >= 0);
        const std::size_t width = static_cast<std::size_t>(frame.Width), height = static_cast<std::size_t>(frame.Height);
        const std::size_t pixels = width * height;
        check_frame(frame, size);
        if (frame.encoding == FrameEncoding::composite) {
            REQUIRE(pixels > 0 && !frame.layers.empty() && frame.layers.size() <= kMaxSubFrames);
            for (const std::uint8_t layer : frame.layers) REQUIRE(layer < frame.parts.size());
            for (const GafFrame& part : frame.parts) check_frame(part, size);
        }
        // A composite visits every sub-frame on every row, and decodes the
        // row of each that falls on it.
        std::size_t cost = height + pixels;
        for (const std::uint8_t layer : frame.layers) cost += height * (1 + static_cast<std::size_t>(frame.parts[layer].Width));
        if (cost > budget) continue;
        budget -= cost;

        // Bottom row first, as the image files are written.
        indices.assign(pixels, 0);
        for (std::size_t y = height; pixels > 0 && y-- > 0;)
            REQUIRE(read_row(archive, frame, y, std::span(indices).subspan(y * width, width)).error == EntryError::none);
        const ImageSize image{static_cast<std::uint16_t>(frame.Width), static_cast<std::uint16_t>(frame.Height)};
        check_encoding(OutputFormat::tga, image, indices);
        check_encoding(OutputFormat::bmp, image, indices);
    }
    return 0;
}
