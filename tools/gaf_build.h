// Writes GAF archives from pictures held in memory: the demo archive, the
// tests' fixtures and the benchmark's workloads all come from here.
//
// Layout written, in the reader's terms (gaf/gaf.h): the archive header and
// offset table, then per entry its header and frame table, then per frame its
// header and pixel data; for a composite, its sub-frame table and then each
// sub-frame so.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <vector>

namespace gafbuild {

inline constexpr std::uint32_t kVersion = 0x00010100;

struct Frame {
    std::int16_t Width = 0;
    std::int16_t Height = 0;
    std::int16_t xOffset = 0;
    std::int16_t yOffset = 0;
    std::uint8_t transparencyIndex = 0;
    bool compressed = false;           // store as a run-length stream
    std::vector<std::uint8_t> pixels;  // Width x Height indices, top row first
    // A composite: its picture is drawn from these; `pixels` is not stored.
    std::vector<Frame> subFrames;
    // The composite's table, in order: which of subFrames each slot names.
    // Empty: each sub-frame once, in order.
    std::vector<std::size_t> slots;
};

struct Entry {
    std::string name;  // up to 32 bytes are stored; longer names are cut
    std::vector<Frame> frames;
    std::optional<std::int16_t> storedFrameCount;  // stored instead of frames.size()
};

// The run-length stream of a frame: skips for the transparency index, repeats
// for runs of one index, copies for the rest; a row's trailing transparent
// pixels are left to the end of the row.
std::vector<std::uint8_t> encode_run_length(const Frame& frame);

std::vector<std::uint8_t> build_gaf(std::span<const Entry> entries);

// Saves bytes as a file; false when that fails.
bool save(const std::string& path, std::span<const std::uint8_t> bytes);

}  // namespace gafbuild
