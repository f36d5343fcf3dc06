// Composite frames: pictures drawn from sub-frames, read through the reader;
// and the faults that make a composite unusable, each reported by the built
// program while the other entries are written.
#include <gtest/gtest.h>

#include <functional>

#include "bytes.h"
#include "gaf/gaf.h"
#include "support.h"

namespace {

using namespace testing_support;
using gafbuild::Frame;
using zeftil::get_u32;
using zeftil::put_u16;
using zeftil::put_u32;
using zeftil::OutputFormat;

Frame part(int width, int height, Bytes pixels, std::uint8_t clear, int x, int y, bool compressed = false) {
    Frame f = frame(width, height, std::move(pixels), clear, compressed);
    f.xOffset = static_cast<std::int16_t>(x);
    f.yOffset = static_cast<std::int16_t>(y);
    return f;
}

Frame composite(int width, int height, std::uint8_t clear, int x, int y, std::vector<Frame> parts,
                std::vector<std::size_t> slots = {}) {
    Frame f = part(width, height, {}, clear, x, y);
    f.subFrames = std::move(parts);
    f.slots = std::move(slots);
    return f;
}

// Offsets in an archive: frame 0's header of entry `i`, and the header of
// the sub-frame in slot `n` of that frame.
std::size_t frame_at(const Bytes& b, std::size_t i) {
    return get_u32(b, get_u32(b, zeftil::kOffsetTableAt + 4 * i) + zeftil::kFrameOffsetAt);
}
std::size_t sub_frame_at(const Bytes& b, std::size_t i, std::size_t n) {
    return get_u32(b, get_u32(b, frame_at(b, i) + zeftil::kPixelOffsetAt) + 4 * n);
}

struct Case {
    const char* name;
    Frame frame;
    std::function<void(Bytes&, std::size_t entry)> patch;
    Bytes picture;  // top row first
};

Bytes build(const std::vector<Case>& cases) {
    std::vector<gafbuild::Entry> entries;
    for (const Case& c : cases) entries.push_back({c.name, {c.frame}, {}});
    Bytes bytes = gafbuild::build_gaf(entries);
    for (std::size_t i = 0; i < cases.size(); ++i)
        if (cases[i].patch) cases[i].patch(bytes, i);
    return bytes;
}

TEST(Composite, PicturesDrawnFromSubFrames) {
    std::vector<Frame> grid;  // 64 one-pixel sub-frames, one on each pixel of an 8 x 8 picture
    Bytes numbers;
    for (int k = 0; k < 64; ++k) {
        grid.push_back(part(1, 1, {static_cast<std::uint8_t>(k + 1)}, 0, -(k % 8), -(k / 8)));
        numbers.push_back(static_cast<std::uint8_t>(k + 1));
    }
    const Frame a = part(2, 1, {1, 2}, 9, 0, 0), b = part(2, 1, {3, 4}, 9, -1, 0);
    const std::vector<Case> cases = {
        // A lands at column 1, row 1; B at column -2, so only its last pixel shows.
        {"example", composite(4, 3, 0, 1, 1, {part(2, 2, {5, 9, 6, 7}, 9, 0, 0), part(3, 1, {5, 8, 8}, 5, 3, 0)}), {},
         {0, 0, 0, 0, 8, 5, 0, 0, 0, 6, 7, 0}},
        {"order", composite(3, 1, 0, 0, 0, {a, b}), {}, {1, 3, 4}},
        {"reversed", composite(3, 1, 0, 0, 0, {a, b}, {1, 0}), {}, {1, 2, 4}},
        {"clipped", composite(2, 2, 0, 0, 0, {part(4, 4, {10, 11, 12, 13, 14, 15, 16, 17, 18, 19, 20, 21, 22, 23, 24, 25}, 99, 1, 1)}),
         {}, {15, 16, 19, 20}},
        {"outside", composite(2, 2, 7, 0, 0, {part(2, 2, {1, 1, 1, 1}, 9, -5, 0), part(1, 1, {1}, 9, 0, 3)}), {}, {7, 7, 7, 7}},
        {"skips", composite(4, 1, 3, 0, 0, {part(4, 1, {1, 1, 1, 1}, 9, 0, 0), part(4, 1, {9, 5, 9, 9}, 9, 0, 0, true)}), {},
         {1, 5, 1, 1}},
        // 0xFF would skip 127 pixels: no stream, so the two bytes are indices.
        {"malformed", composite(2, 1, 0, 0, 0, {part(2, 1, {0xFF, 4}, 9, 0, 0)}),
         [](Bytes& bytes, std::size_t i) { bytes[sub_frame_at(bytes, i, 0) + zeftil::kCompressionAt] = 1; }, {0xFF, 4}},
        {"shared", composite(3, 1, 0, 0, 0, {part(1, 1, {5}, 9, 0, 0), part(2, 1, {6, 6}, 9, 0, 0)}, {0, 1, 0}), {}, {5, 6, 0}},
        {"count -1", frame(2, 1, {1, 2}),
         [](Bytes& bytes, std::size_t i) { put_u16(bytes, frame_at(bytes, i) + zeftil::kSubFrameCountAt, 0xFFFF); }, {1, 2}},
        {"width 0", composite(0, 2, 0, 0, 0, {a}),
         [](Bytes& bytes, std::size_t i) { put_u32(bytes, frame_at(bytes, i) + zeftil::kPixelOffsetAt, 0xFFFFFFFF); }, {}},
        {"grid", composite(8, 8, 0, 0, 0, grid), {}, numbers},
    };
    zeftil::GafArchive archive;
    ASSERT_EQ(zeftil::parse_gaf(build(cases), archive), zeftil::ArchiveError::none);
    for (std::size_t i = 0; i < cases.size(); ++i) {
        SCOPED_TRACE(cases[i].name);
        zeftil::GafEntry entry;
        ASSERT_EQ(zeftil::read_entry(archive, static_cast<std::int32_t>(i), entry).error, zeftil::EntryError::none);
        EXPECT_EQ(pixels_of(archive, entry.frame), cases[i].picture);
    }
}

TEST(Composite, FaultsSkipTheEntryOnly) {
    const Frame a = part(2, 2, {1, 2, 3, 4}, 9, 0, 0), b = part(1, 1, {5}, 9, 0, 0);
    std::vector<Frame> many(65, b);
    const std::vector<Case> cases = {
        {"ok", composite(2, 2, 0, 0, 0, {a, b}), {}, {}},
        {"many", composite(2, 2, 0, 0, 0, many), {}, {}},
        {"table", composite(2, 2, 0, 0, 0, {a, b}),
         [](Bytes& bytes, std::size_t i) { put_u32(bytes, frame_at(bytes, i) + zeftil::kPixelOffsetAt, static_cast<std::uint32_t>(bytes.size() - 7)); }, {}},
        {"table<0", composite(2, 2, 0, 0, 0, {a, b}),
         [](Bytes& bytes, std::size_t i) { put_u32(bytes, frame_at(bytes, i) + zeftil::kPixelOffsetAt, 0xFFFFFFFC); }, {}},
        {"header", composite(2, 2, 0, 0, 0, {a, b}),
         [](Bytes& bytes, std::size_t i) {
             put_u32(bytes, get_u32(bytes, frame_at(bytes, i) + zeftil::kPixelOffsetAt) + 4, static_cast<std::uint32_t>(bytes.size() - 19));
         }, {}},
        {"header<0", composite(2, 2, 0, 0, 0, {a, b}),
         [](Bytes& bytes, std::size_t i) { put_u32(bytes, get_u32(bytes, frame_at(bytes, i) + zeftil::kPixelOffsetAt), 0x80000000); }, {}},
        {"nested", composite(2, 2, 0, 0, 0, {a, composite(1, 1, 0, 0, 0, {b})}), {}, {}},
        {"pixels", composite(2, 2, 0, 0, 0, {a, b}),
         [](Bytes& bytes, std::size_t i) { put_u32(bytes, sub_frame_at(bytes, i, 0) + zeftil::kPixelOffsetAt, static_cast<std::uint32_t>(bytes.size() - 3)); }, {}},
        {"size", composite(2, 2, 0, 0, 0, {a, b}),
         [](Bytes& bytes, std::size_t i) { put_u16(bytes, sub_frame_at(bytes, i, 1), 0xFFFF); }, {}},
        {"last", composite(2, 2, 0, 0, 0, {b, a}), {}, {}},
    };
    ScratchDir dir;
    write_file(dir.path / "in.gaf", build(cases));
    const RunResult r = run_zeftil({"in.gaf"}, dir.path);
    EXPECT_EQ(r.exit_status, 1);
    const char* reasons[] = {
        "more than 64 sub-frames",
        "sub-frame table lies outside the file",
        "sub-frame table lies outside the file",
        "sub-frame 1: 20-byte header lies outside the file",
        "sub-frame 0: 20-byte header lies outside the file",
        "sub-frame 1 is itself made of sub-frames",
        "sub-frame 0: pixel data lies outside the file",
        "sub-frame 1: frame width or height is negative",
    };
    std::string expected;
    for (std::size_t i = 1; i + 1 < cases.size(); ++i)
        expected.append("ERROR reading in.gaf: entry ").append(std::to_string(i)).append(" \"").append(cases[i].name)
            .append("\": ").append(reasons[i - 1]).append("\n");
    EXPECT_EQ(r.err, expected);
    EXPECT_EQ(list_dir(dir.path), (std::vector<std::string>{"in.gaf", "last.tga", "ok.tga"}));
    EXPECT_EQ(read_file(dir.path / "ok.tga"), image_of(OutputFormat::tga, frame(2, 2, {5, 2, 3, 4})));
    EXPECT_EQ(read_file(dir.path / "last.tga"), image_of(OutputFormat::tga, frame(2, 2, {1, 2, 3, 4})));
}

}  // namespace
