#include "gaf_build.h"

#include <algorithm>
#include <cstdio>

#include "bytes.h"
#include "gaf/gaf.h"

namespace gafbuild {

using namespace zeftil;

std::vector<std::uint8_t> encode_run_length(const Frame& frame) {
    std::vector<std::uint8_t> out;
    const std::size_t width = static_cast<std::size_t>(std::max<int>(frame.Width, 0));
    for (int y = 0; y < frame.Height; ++y) {
        const std::uint8_t* row = frame.pixels.data() + static_cast<std::size_t>(y) * width;
        std::size_t end = width;
        while (end > 0 && row[end - 1] == frame.transparencyIndex) --end;  // left to the row's end
        std::vector<std::uint8_t> ops;
        for (std::size_t x = 0; x < end;) {
            std::size_t run = 1;
            while (x + run < end && row[x + run] == row[x]) ++run;
            if (row[x] == frame.transparencyIndex) {
                run = std::min<std::size_t>(run, 127);
                ops.push_back(static_cast<std::uint8_t>(run << 1 | 1));
            } else if (run >= 2) {
                run = std::min<std::size_t>(run, 64);
                ops.push_back(static_cast<std::uint8_t>((run - 1) << 2 | 2));
                ops.push_back(row[x]);
            } else {
                // Copy up to the next run of two equal indices or of transparency.
                run = 0;
                while (x + run < end && run < 64 && row[x + run] != frame.transparencyIndex &&
                       !(x + run + 1 < end && row[x + run + 1] == row[x + run]))
                    ++run;
                run = std::max<std::size_t>(run, 1);
                ops.push_back(static_cast<std::uint8_t>((run - 1) << 2));
                ops.insert(ops.end(), row + x, row + x + run);
            }
            x += run;
        }
        out.push_back(static_cast<std::uint8_t>(ops.size()));
        out.push_back(static_cast<std::uint8_t>(ops.size() >> 8));
        out.insert(out.end(), ops.begin(), ops.end());
    }
    return out;
}

namespace {

// Appends a frame's header and data to `out`; its header's offset.
std::size_t append_frame(std::vector<std::uint8_t>& out, const Frame& frame) {
    const std::size_t frame_at = out.size();
    out.resize(frame_at + kFrameHeaderSize);
    put_u16(out, frame_at + kWidthAt, static_cast<std::uint16_t>(frame.Width));
    put_u16(out, frame_at + kHeightAt, static_cast<std::uint16_t>(frame.Height));
    put_u16(out, frame_at + kXOffsetAt, static_cast<std::uint16_t>(frame.xOffset));
    put_u16(out, frame_at + kYOffsetAt, static_cast<std::uint16_t>(frame.yOffset));
    out[frame_at + kTransparencyAt] = frame.transparencyIndex;
    out[frame_at + kCompressionAt] = frame.compressed ? 1 : 0;
    put_u32(out, frame_at + kPixelOffsetAt, static_cast<std::uint32_t>(out.size()));
    if (!frame.subFrames.empty()) {
        std::vector<std::size_t> slots = frame.slots;
        if (slots.empty())
            for (std::size_t i = 0; i < frame.subFrames.size(); ++i) slots.push_back(i);
        put_u16(out, frame_at + kSubFrameCountAt, static_cast<std::uint16_t>(slots.size()));
        const std::size_t table_at = out.size();
        out.resize(table_at + kSubFrameSlotSize * slots.size());
        std::vector<std::size_t> sub_at;
        for (const Frame& sub : frame.subFrames) sub_at.push_back(append_frame(out, sub));
        for (std::size_t n = 0; n < slots.size(); ++n)
            put_u32(out, table_at + kSubFrameSlotSize * n, static_cast<std::uint32_t>(sub_at[slots[n]]));
    } else if (frame.compressed) {
        const std::vector<std::uint8_t> stream = encode_run_length(frame);
        out.insert(out.end(), stream.begin(), stream.end());
    } else {
        out.insert(out.end(), frame.pixels.begin(), frame.pixels.end());
    }
    return frame_at;
}

}  // namespace

std::vector<std::uint8_t> build_gaf(std::span<const Entry> entries) {
    std::vector<std::uint8_t> out(kOffsetTableAt + kOffsetSize * entries.size());
    put_u32(out, kVersionAt, kVersion);
    put_u32(out, kEntryCountAt, static_cast<std::uint32_t>(entries.size()));
    for (std::size_t i = 0; i < entries.size(); ++i) {
        const Entry& entry = entries[i];
        const std::size_t entry_at = out.size();
        put_u32(out, kOffsetTableAt + kOffsetSize * i, static_cast<std::uint32_t>(entry_at));
        // An entry of no frames is its 40-byte header alone, as the game stores it.
        out.resize(entry_at + kFrameTableAt + kFrameSlotSize * entry.frames.size());
        put_u16(out, entry_at + kFrameCountAt, static_cast<std::uint16_t>(entry.storedFrameCount.value_or(
                                                   static_cast<std::int16_t>(entry.frames.size()))));
        put_u16(out, entry_at + 2, 1);
        std::copy_n(entry.name.begin(), std::min(entry.name.size(), kNameFieldSize), out.begin() + entry_at + kNameAt);
        for (std::size_t f = 0; f < entry.frames.size(); ++f) {
            const std::size_t frame_at = append_frame(out, entry.frames[f]);  // moves `out`
            put_u32(out, entry_at + kFrameTableAt + kFrameSlotSize * f, static_cast<std::uint32_t>(frame_at));
        }
    }
    return out;
}

bool save(const std::string& path, std::span<const std::uint8_t> bytes) {
    std::FILE* file = std::fopen(path.c_str(), "wb");
    if (!file) return false;
    const bool written = bytes.empty() || std::fwrite(bytes.data(), 1, bytes.size(), file) == bytes.size();
    return std::fclose(file) == 0 && written;
}

}  // namespace gafbuild
