// Writes the seed corpus both fuzz targets start from: small valid archives,
// one for each kind of structure the reader meets, every one under 4 KiB.
//   empty       no entries
//   several     three raw entries, one of odd width, one named with a '/'
//   shared      two offset-table slots on one entry, two entries on one frame
//   zero        frames 0 x 4, 4 x 0 and 0 x 0
//   multiframe  one entry holding three frames
//   runlength   a run-length frame using skips, repeats and copies, and a
//               frame flagged run-length whose bytes are no stream (read raw)
//   composite   composites: raw and run-length sub-frames, one named twice by
//               the table, placed at negative offsets and clipped on every
//               side, and a plain entry between them
//   frameless   entries of no frames (counts 0, -1 and -32768), 40 bytes each
//               as the game stores them, between entries with frames and
//               ending the file
//   tall_empty  a thousand offset-table slots naming one entry whose frame 0
//               is 0 x 32767: no pixel, but 32767 rows for every slot
// And, larger than the 64 bytes the fuzz build reads a file at a time, with
// their entry and frame headers moved behind the data they point at, so that
// every read goes back before the one made last:
//   behind_raw, behind_runlength, behind_composite
#include <algorithm>
#include <cstdio>
#include <map>
#include <string>
#include <vector>

#include "bytes.h"
#include "gaf/gaf.h"
#include "gaf_build.h"

namespace {

using namespace zeftil;
using gafbuild::Entry;
using gafbuild::Frame;
using Bytes = std::vector<std::uint8_t>;

Frame picture(int width, int height, int seed, bool compressed = false) {
    Frame f;
    f.Width = static_cast<std::int16_t>(width);
    f.Height = static_cast<std::int16_t>(height);
    f.transparencyIndex = 9;
    f.compressed = compressed;
    for (int i = 0; i < width * height; ++i) f.pixels.push_back(static_cast<std::uint8_t>((i * 37 + seed) % 256));
    return f;
}

std::size_t entry_slot(std::size_t slot) { return kOffsetTableAt + kOffsetSize * slot; }
std::size_t entry_at(const Bytes& bytes, std::size_t slot) { return get_u32(bytes, entry_slot(slot)); }
std::size_t frame_at(const Bytes& bytes, std::size_t slot) { return get_u32(bytes, entry_at(bytes, slot) + kFrameOffsetAt); }

Bytes shared() {
    Bytes bytes = gafbuild::build_gaf(std::vector<Entry>{
        {"first", {picture(3, 3, 1)}, {}}, {"second", {picture(2, 5, 2)}, {}}, {"third", {picture(4, 1, 3)}, {}}});
    put_u32(bytes, entry_slot(2), static_cast<std::uint32_t>(entry_at(bytes, 0)));
    put_u32(bytes, entry_at(bytes, 1) + kFrameOffsetAt, static_cast<std::uint32_t>(frame_at(bytes, 0)));
    return bytes;
}

Bytes run_length() {
    // Transparent borders and runs give skips, flat bands repeats, the
    // diagonal copies.
    Frame sprite = picture(12, 8, 0, true);
    for (int y = 0; y < 8; ++y)
        for (int x = 0; x < 12; ++x)
            sprite.pixels[static_cast<std::size_t>(y * 12 + x)] =
                static_cast<std::uint8_t>(x < 2 || x > 9 ? 9 : x == y + 2 ? 200 + y : y < 4 ? 40 : 80);
    Bytes bytes = gafbuild::build_gaf(std::vector<Entry>{{"sprite", {sprite}, {}}, {"flagged", {picture(4, 4, 5)}, {}}});
    bytes[frame_at(bytes, 1) + kCompressionAt] = 1;
    return bytes;
}

// A thousand offset-table slots (nearly all that fit in a seed's 4 KiB), all
// naming one entry whose frame 0 is 0 pixels wide and 32767 rows high.
Bytes tall_empty() {
    constexpr std::size_t kSlots = 1000;
    constexpr std::size_t entry = kOffsetTableAt + kOffsetSize * kSlots, frame = entry + kFrameTableAt + kFrameSlotSize;
    Bytes bytes(frame + kFrameHeaderSize, 0);
    put_u32(bytes, kEntryCountAt, kSlots);
    for (std::size_t slot = 0; slot < kSlots; ++slot) put_u32(bytes, entry_slot(slot), entry);
    put_u16(bytes, entry + kFrameCountAt, 1);
    const std::string name = "tall";
    std::copy(name.begin(), name.end(), bytes.begin() + static_cast<std::ptrdiff_t>(entry + kNameAt));
    put_u32(bytes, entry + kFrameOffsetAt, frame);
    put_u16(bytes, frame + kHeightAt, 32767);
    put_u32(bytes, frame + kPixelOffsetAt, frame + kFrameHeaderSize);
    return bytes;
}

// Pixels with a transparent border and a run of one index, for sub-frames
// and run-length frames.
Frame sprite(int width, int height, int seed, bool compressed) {
    Frame f = picture(width, height, seed, compressed);
    for (int y = 0; y < height; ++y)
        for (int x = 0; x < width; ++x)
            if (x == 0 || y == 0 || x == width - 1 || y == height - 1)
                f.pixels[static_cast<std::size_t>(y * width + x)] = f.transparencyIndex;
            else if (y == height / 2)
                f.pixels[static_cast<std::size_t>(y * width + x)] = static_cast<std::uint8_t>(seed);
    return f;
}

Frame composite(int width, int height, int x, int y, std::vector<Frame> parts, std::vector<std::size_t> slots) {
    Frame f;
    f.Width = static_cast<std::int16_t>(width);
    f.Height = static_cast<std::int16_t>(height);
    f.xOffset = static_cast<std::int16_t>(x);
    f.yOffset = static_cast<std::int16_t>(y);
    f.subFrames = std::move(parts);
    f.slots = std::move(slots);
    return f;
}

Frame placed(Frame f, int x, int y) {
    f.xOffset = static_cast<std::int16_t>(x);
    f.yOffset = static_cast<std::int16_t>(y);
    return f;
}

std::vector<Entry> composites() {
    // "burning" (20 x 12 at 4, 3): a ground at column 4, row 3, cut off at
    // the bottom; a run-length patch at column -2, row -2, named twice; a
    // small piece at column 14, row 3. "edge" (6 x 5 at -2, -3): a run-length
    // sub-frame at column -2, row -3 and a raw one at column 5, row 2.
    return {
        {"burning",
         {composite(20, 12, 4, 3, {placed(picture(16, 10, 3), 0, 0), placed(sprite(8, 6, 60, true), 6, 5),
                                   placed(picture(3, 2, 90), -10, 0)},
                    {0, 1, 2, 1})},
         {}},
        {"plain", {picture(5, 4, 21)}, {}},
        {"edge", {composite(6, 5, -2, -3, {placed(sprite(4, 4, 70, true), 0, 0), placed(sprite(3, 3, 80, false), -7, -5)}, {})},
         {}},
    };
}

// Moves `length` bytes at `at` to the end of the file, leaving filler behind;
// their new offset.
std::size_t move_to_end(Bytes& bytes, std::size_t at, std::size_t length) {
    const std::size_t to = bytes.size();
    bytes.resize(to + length);
    std::copy_n(bytes.begin() + static_cast<std::ptrdiff_t>(at), length, bytes.begin() + static_cast<std::ptrdiff_t>(to));
    std::fill_n(bytes.begin() + static_cast<std::ptrdiff_t>(at), length, std::uint8_t{0xEE});
    return to;
}

// Moves every entry header, last entry first, to the end of the file, each
// followed by its frame 0's header and, for a composite, its sub-frames'
// headers; the offsets that name them follow them.
Bytes headers_last(Bytes bytes) {
    std::map<std::size_t, std::size_t> moved;  // sub-frame headers, old to new
    for (std::size_t slot = get_u32(bytes, kEntryCountAt); slot-- > 0;) {
        const std::size_t frames = std::max<std::size_t>(get_u16(bytes, entry_at(bytes, slot) + kFrameCountAt), 1);
        const std::size_t entry = move_to_end(bytes, entry_at(bytes, slot), kFrameTableAt + kFrameSlotSize * frames);
        put_u32(bytes, entry_slot(slot), static_cast<std::uint32_t>(entry));
        const std::size_t frame = move_to_end(bytes, frame_at(bytes, slot), kFrameHeaderSize);
        put_u32(bytes, entry + kFrameOffsetAt, static_cast<std::uint32_t>(frame));
        const std::size_t table = get_u32(bytes, frame + kPixelOffsetAt);
        for (std::size_t n = 0; n < get_u16(bytes, frame + kSubFrameCountAt); ++n) {
            const std::size_t sub = get_u32(bytes, table + kSubFrameSlotSize * n);
            if (!moved.contains(sub)) moved[sub] = move_to_end(bytes, sub, kFrameHeaderSize);
            put_u32(bytes, table + kSubFrameSlotSize * n, static_cast<std::uint32_t>(moved[sub]));
        }
    }
    return bytes;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 2) {
        std::fputs("usage: make_corpus <directory>\n", stderr);
        return 2;
    }
    const std::vector<std::pair<const char*, Bytes>> seeds = {
        {"empty.gaf", gafbuild::build_gaf({})},
        {"several.gaf", gafbuild::build_gaf(std::vector<Entry>{
                            {"gun", {picture(3, 2, 7)}, {}}, {"odd", {picture(5, 3, 11)}, {}}, {"a/b", {picture(1, 1, 13)}, {}}})},
        {"shared.gaf", shared()},
        {"zero.gaf", gafbuild::build_gaf(std::vector<Entry>{
                         {"tall", {picture(0, 4, 0)}, {}}, {"wide", {picture(4, 0, 0)}, {}}, {"none", {picture(0, 0, 0)}, {}}})},
        {"multiframe.gaf",
         gafbuild::build_gaf(std::vector<Entry>{{"anim", {picture(2, 2, 17), picture(3, 2, 19), picture(2, 3, 23, true)}, {}}})},
        {"runlength.gaf", run_length()},
        {"frameless.gaf", gafbuild::build_gaf(std::vector<Entry>{{"lab", {picture(3, 2, 29)}, {}}, {"chem", {}, {}},
                                                                 {"fark", {}, -1}, {"aap", {picture(2, 3, 31, true)}, {}},
                                                                 {"scar", {}, -32768}})},
        {"composite.gaf", gafbuild::build_gaf(composites())},
        {"tall_empty.gaf", tall_empty()},
        {"behind_raw.gaf", headers_last(gafbuild::build_gaf(std::vector<Entry>{
                               {"wide", {picture(70, 3, 1)}, {}}, {"square", {picture(9, 9, 2)}, {}},
                               {"dot", {picture(1, 1, 3)}, {}}, {"two", {picture(33, 5, 4), picture(2, 2, 5)}, {}}}))},
        {"behind_runlength.gaf", headers_last(gafbuild::build_gaf(std::vector<Entry>{
                                     {"long", {sprite(100, 4, 6, true)}, {}}, {"tall", {sprite(20, 20, 7, true)}, {}},
                                     {"busy", {picture(13, 6, 8, true)}, {}}, {"raw", {picture(4, 4, 9)}, {}}}))},
        {"behind_composite.gaf", headers_last(gafbuild::build_gaf(composites()))},
    };
    for (const auto& [name, bytes] : seeds) {
        if (bytes.size() > 4096) {
            std::fprintf(stderr, "%s: %zu bytes, more than 4 KiB\n", name, bytes.size());
            return 1;
        }
        const std::string path = std::string(argv[1]) + "/" + name;
        if (!gafbuild::save(path, bytes)) {
            std::perror(path.c_str());
            return 1;
        }
    }
    return 0;
}
