// GAF sprite archives: the records the converter works on and the reader that
// fills them from the archive's bytes.
//
// Every integer is little-endian; every offset counts from the start of the
// file. The archive is read into memory once and frames refer to those bytes,
// so no pixel is copied per entry.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace zeftil {

// Archive header, 12 bytes at offset 0:
//   0  u32  version word (kept, never compared)
//   4  i32  nEntries
//   8  u32  not used
// The offset table follows at once: nEntries i32 offsets of entry headers.
inline constexpr std::size_t kArchiveHeaderSize = 12;
inline constexpr std::size_t kVersionAt = 0;
inline constexpr std::size_t kEntryCountAt = 4;
inline constexpr std::size_t kOffsetTableAt = kArchiveHeaderSize;
inline constexpr std::size_t kOffsetSize = 4;

// Entry header, 48 bytes at the entry's offset:
//   0  i16  nFrames
//   2  u16  not used
//   4  u32  not used
//   8  32 bytes name, up to its first NUL; a field without one gives its
//           first 31 characters
//  40  i32  offset of frame 0's frame header
//  44  u32  not used
inline constexpr std::size_t kEntryHeaderSize = 48;
inline constexpr std::size_t kFrameCountAt = 0;
inline constexpr std::size_t kNameAt = 8;
inline constexpr std::size_t kNameFieldSize = 32;
inline constexpr std::size_t kFrameOffsetAt = 40;
static_assert(kNameAt + kNameFieldSize + 4 + 4 == kEntryHeaderSize);

// Frame header, 20 bytes at frame 0's offset:
//   0  i16  Width
//   2  i16  Height
//   4  i16  xOffset
//   6  i16  yOffset
//   8  u8   transparency index (fills the pixels a run-length frame leaves unset)
//   9  u8   1 = pixels stored run-length encoded
//  10  6 bytes not used
//  16  i32  offset of the pixel data
inline constexpr std::size_t kFrameHeaderSize = 20;
inline constexpr std::size_t kWidthAt = 0;
inline constexpr std::size_t kHeightAt = 2;
inline constexpr std::size_t kXOffsetAt = 4;
inline constexpr std::size_t kYOffsetAt = 6;
inline constexpr std::size_t kTransparencyAt = 8;
inline constexpr std::size_t kCompressionAt = 9;
inline constexpr std::size_t kPixelOffsetAt = 16;
static_assert(kPixelOffsetAt + 4 == kFrameHeaderSize);

enum class FrameEncoding : std::uint8_t { raw, run_length };

struct GafFrame {
    std::int16_t Width = 0;
    std::int16_t Height = 0;
    std::int16_t xOffset = 0;
    std::int16_t yOffset = 0;
    std::uint8_t transparencyIndex = 0;
    FrameEncoding encoding = FrameEncoding::raw;
    // raw: Width x Height indices, row-major, top row first;
    // run_length: the whole stream, already checked to be well-formed.
    std::span<const std::uint8_t> data;
};

struct GafEntry {
    std::int16_t nFrames = 0;
    std::string name;  // at most 31 characters, never holds a NUL
    GafFrame frame;    // frame 0, the only frame converted
};

struct GafArchive {
    std::vector<std::uint8_t> bytes;  // the whole file
    std::uint32_t version = 0;
    std::int32_t nEntries = 0;
};

// Faults that make the whole archive unusable.
enum class ArchiveError {
    none,
    cannot_open,
    cannot_read,
    shorter_than_header,
    negative_entry_count,
    offset_table_outside_file,
};

// Faults that make one entry unusable; the other entries are unaffected.
enum class EntryError {
    none,
    negative_entry_offset,
    entry_header_outside_file,
    negative_frame_offset,
    frame_header_outside_file,
    negative_size,
    negative_pixel_offset,
    pixels_outside_file,
};

std::string_view to_string(ArchiveError error);
std::string_view to_string(EntryError error);

struct LoadStatus {
    ArchiveError error = ArchiveError::none;
    int system_error = 0;  // errno of a failed open or read, else 0
};

// Takes the archive's bytes and checks the header and the offset table.
// On success `archive` holds the bytes; on failure it is left empty.
ArchiveError parse_gaf(std::vector<std::uint8_t> bytes, GafArchive& archive);

// Reads the file named `path` once, whole, then parses it as parse_gaf does.
LoadStatus load_gaf(const std::string& path, GafArchive& archive);

// Reads entry `index` (0 <= index < nEntries) in offset-table order. The
// entry's frame refers to the archive's bytes and lives as long as they do.
EntryError read_entry(const GafArchive& archive, std::int32_t index, GafEntry& entry);

// Walks a run-length stream of `height` rows of `width` pixels that starts at
// `from[0]`. Returns the stream's length in bytes when it is well-formed: every
// row's count and operations lie inside `from`, each row's operations end
// exactly at its count and no row reaches past `width`. When `out` is given
// (width x height bytes, pre-filled with the transparency index) the decoded
// indices are stored there.
std::optional<std::size_t> walk_run_length(std::span<const std::uint8_t> from, int width, int height,
                                           std::uint8_t* out);

// The frame's Width x Height indices: its raw bytes, or its stream decoded into
// `scratch`, which is reused from frame to frame.
std::span<const std::uint8_t> frame_indices(const GafFrame& frame, std::vector<std::uint8_t>& scratch);

}  // namespace zeftil
