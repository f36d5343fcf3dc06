// Writes the fuzz target's seed corpus: small valid archives, one for each
// kind of structure the reader meets, every one under 4 KiB.
//   empty       no entries
//   several     three raw entries, one of odd width, one named with a '/'
//   shared      two offset-table slots on one entry, two entries on one frame
//   zero        frames 0 x 4, 4 x 0 and 0 x 0
//   multiframe  one entry holding three frames
//   runlength   a run-length frame using skips, repeats and copies, and a
//               frame flagged run-length whose bytes are no stream (read raw)
#include <cstdio>
#include <string>
#include <vector>

#include "bytes.h"
#include "gaf_build.h"

namespace {

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

std::size_t entry_at(const Bytes& bytes, std::size_t slot) { return zeftil::get_u32(bytes, 12 + 4 * slot); }
std::size_t frame_at(const Bytes& bytes, std::size_t slot) { return zeftil::get_u32(bytes, entry_at(bytes, slot) + 40); }

Bytes shared() {
    Bytes bytes = gafbuild::build_gaf(std::vector<Entry>{
        {"first", {picture(3, 3, 1)}, {}}, {"second", {picture(2, 5, 2)}, {}}, {"third", {picture(4, 1, 3)}, {}}});
    zeftil::put_u32(bytes, 12 + 4 * 2, static_cast<std::uint32_t>(entry_at(bytes, 0)));
    zeftil::put_u32(bytes, entry_at(bytes, 1) + 40, static_cast<std::uint32_t>(frame_at(bytes, 0)));
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
    bytes[frame_at(bytes, 1) + 9] = 1;
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
    };
    for (const auto& [name, bytes] : seeds) {
        const std::string path = std::string(argv[1]) + "/" + name;
        if (!gafbuild::save(path, bytes)) {
            std::perror(path.c_str());
            return 1;
        }
    }
    return 0;
}
