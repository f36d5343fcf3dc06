// Writes the demo archive: a few pictures that show what the converter does.
//   palette   16x16, every palette index once, index 0 top left
//   gradient  96x48, three of the palette's colour ramps, light to dark
//   checker   37x23, an odd width, so BMP rows need alignment bytes
//   tower     6x80, tall and narrow
//   blank     no frames: its 40-byte header alone, as the game stores such
//             entries, with the next entry right behind it; it gives no file
//   emblem    48x48, run-length encoded, a ring and a four-pointed star on
//             transparency
//             (a second frame is stored too; only the first is converted)
//   badge     32x32, a composite: a rounded plate and, drawn over it, a
//             run-length arrow, both placed by their offsets
#include <algorithm>
#include <cstdio>
#include <cstdlib>

#include "gaf_build.h"

namespace {

using gafbuild::Frame;

Frame picture(int width, int height) {
    Frame frame;
    frame.Width = static_cast<std::int16_t>(width);
    frame.Height = static_cast<std::int16_t>(height);
    frame.pixels.resize(static_cast<std::size_t>(width) * static_cast<std::size_t>(height));
    return frame;
}

void set(Frame& f, int x, int y, int index) {
    f.pixels[static_cast<std::size_t>(y) * static_cast<std::size_t>(f.Width) + static_cast<std::size_t>(x)] =
        static_cast<std::uint8_t>(index);
}

// Integer arithmetic only, so every platform makes the same bytes. Doubled
// coordinates put the centre between pixels 23 and 24.
Frame emblem(bool turned) {
    Frame f = picture(48, 48);
    f.transparencyIndex = 9;
    f.compressed = true;
    for (int y = 0; y < 48; ++y) {
        for (int x = 0; x < 48; ++x) {
            const int dx = 2 * x - 47, dy = 2 * y - 47;
            const int r2 = dx * dx + dy * dy;  // four times the squared radius
            const int arms = turned ? std::abs((dx + dy) * (dx - dy)) / 2 : std::abs(dx * dy);
            int index = 9;  // transparent
            if (r2 >= 4 * 19 * 19 && r2 < 4 * 23 * 23) index = 208 + (r2 - 4 * 19 * 19) / 169;  // yellow to red ring
            else if (r2 < 4 * 17 * 17 && arms < 90) index = 96 + r2 / 145;                  // blue star
            set(f, x, y, index);
        }
    }
    return f;
}

// A composite at offsets (16, 16): the plate (offsets 14, 14) lands at column
// and row 2, the arrow (offsets 6, 4) at column 10, row 12.
Frame badge() {
    Frame plate = picture(28, 28);
    plate.transparencyIndex = 9;
    plate.xOffset = plate.yOffset = 14;
    for (int y = 0; y < 28; ++y) {
        for (int x = 0; x < 28; ++x) {
            const int dx = std::min(x, 27 - x), dy = std::min(y, 27 - y);
            const bool corner = dx + dy < 3;
            set(plate, x, y, corner ? 9 : dx == 0 || dy == 0 ? 87 : 100 + (x + y) / 8);
        }
    }
    Frame arrow = picture(12, 10);
    arrow.transparencyIndex = 9;
    arrow.compressed = true;
    arrow.xOffset = 6;
    arrow.yOffset = 4;
    for (int y = 0; y < 10; ++y)
        for (int x = 0; x < 12; ++x) set(arrow, x, y, (y < 6 ? std::abs(2 * x - 11) <= 2 * y : x >= 4 && x < 8) ? 208 : 9);
    Frame f = picture(32, 32);
    f.xOffset = f.yOffset = 16;
    f.subFrames = {plate, arrow};
    return f;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 2) {
        std::fputs("usage: make_demo <output.gaf>\n", stderr);
        return 2;
    }
    Frame palette = picture(16, 16);
    for (int i = 0; i < 256; ++i) set(palette, i % 16, i / 16, i);

    Frame gradient = picture(96, 48);
    const int ramps[] = {16, 160, 96};  // rose, green, blue
    for (int y = 0; y < 48; ++y)
        for (int x = 0; x < 96; ++x) set(gradient, x, y, ramps[y / 16] + x / 6);

    Frame checker = picture(37, 23);
    for (int y = 0; y < 23; ++y)
        for (int x = 0; x < 37; ++x) set(checker, x, y, x == y ? 249 : ((x / 4 + y / 4) % 2 ? 255 : 252));

    Frame tower = picture(6, 80);
    for (int y = 0; y < 80; ++y)
        for (int x = 0; x < 6; ++x) set(tower, x, y, (x == 0 || x == 5) ? 87 : 80 + (y / 8) % 16);

    const std::vector<gafbuild::Entry> entries = {
        {"palette", {palette}, {}},
        {"gradient", {gradient}, {}},
        {"checker", {checker}, {}},
        {"tower", {tower}, {}},
        {"blank", {}, {}},
        {"emblem", {emblem(false), emblem(true)}, {}},
        {"badge", {badge()}, {}},
    };
    if (!gafbuild::save(argv[1], gafbuild::build_gaf(entries))) {
        std::perror(argv[1]);
        return 1;
    }
    return 0;
}
