// GAF sprite archives: the records the converter works on and the reader that
// fills them from the archive's bytes.
//
// Every integer is little-endian; every offset counts from the start of the
// file. Only the bytes the archive points at are read, when they are needed:
// a frame's pixels a row at a time while its image is written.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
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

// Entry header, 40 bytes at the entry's offset:
//   0  i16  nFrames
//   2  u16  not used
//   4  u32  not used
//   8  32 bytes name, up to its first NUL; a field without one gives its
//           first 31 characters
// The frame table follows at once: nFrames slots of 8 bytes, each an i32
// offset of a frame header and 4 bytes not used. An entry of no frames (a
// count of 0 or below) is its 40 bytes alone, and the game's archives store
// the next entry right behind them; it has no picture.
inline constexpr std::size_t kEntryHeaderSize = 40;
inline constexpr std::size_t kFrameCountAt = 0;
inline constexpr std::size_t kNameAt = 8;
inline constexpr std::size_t kNameFieldSize = 32;
inline constexpr std::size_t kFrameTableAt = kEntryHeaderSize;
inline constexpr std::size_t kFrameSlotSize = 8;
inline constexpr std::size_t kFrameOffsetAt = kFrameTableAt;  // frame 0's header
static_assert(kNameAt + kNameFieldSize == kEntryHeaderSize);

// Frame header, 20 bytes at frame 0's offset:
//   0  i16  Width
//   2  i16  Height
//   4  i16  xOffset
//   6  i16  yOffset
//   8  u8   transparency index: fills the pixels a run-length frame leaves
//           unset and a composite's uncovered pixels
//   9  u8   1 = pixels stored run-length encoded
//  10  i16  sub-frame count: above 0 for a composite, whose picture is drawn
//           from that many sub-frames
//  12  4 bytes not used
//  16  i32  offset of the pixel data; for a composite, of its sub-frame table
inline constexpr std::size_t kFrameHeaderSize = 20;
inline constexpr std::size_t kWidthAt = 0;
inline constexpr std::size_t kHeightAt = 2;
inline constexpr std::size_t kXOffsetAt = 4;
inline constexpr std::size_t kYOffsetAt = 6;
inline constexpr std::size_t kTransparencyAt = 8;
inline constexpr std::size_t kCompressionAt = 9;
inline constexpr std::size_t kSubFrameCountAt = 10;
inline constexpr std::size_t kPixelOffsetAt = 16;
static_assert(kPixelOffsetAt + 4 == kFrameHeaderSize);

// A composite's sub-frame table: one i32 per sub-frame, the offset of its
// 20-byte header, laid out as a frame header. Sub-frames are drawn in table
// order, later ones over earlier ones; each is placed with its top-left pixel
// at column (composite xOffset - sub-frame xOffset) and row (composite
// yOffset - sub-frame yOffset) of the composite, clipped to it, and its
// pixels equal to its own transparency index are not drawn. Real archives
// hold 2 to 5.
inline constexpr std::size_t kSubFrameSlotSize = 4;
inline constexpr int kMaxSubFrames = 64;

enum class FrameEncoding : std::uint8_t { raw, run_length, composite };

struct GafFrame {
    std::int16_t Width = 0;
    std::int16_t Height = 0;
    std::int16_t xOffset = 0;
    std::int16_t yOffset = 0;
    std::uint8_t transparencyIndex = 0;
    FrameEncoding encoding = FrameEncoding::raw;
    // raw: Width x Height indices at dataAt, row-major, top row first.
    // run_length: a well-formed stream at dataAt; rowStarts holds where each
    // row's 2-byte count lies, and one more offset for the stream's end.
    // composite: parts holds each sub-frame its table names once, and
    // layers, for every table slot in order, the part it names.
    std::uint64_t dataAt = 0;
    std::vector<std::uint64_t> rowStarts;
    std::vector<GafFrame> parts;
    std::vector<std::uint8_t> layers;
    std::uint64_t readNumber = 0;  // which read_entry call made it: keys the reader's row cache
};
static_assert(kMaxSubFrames <= 256, "layers holds a part's index in a byte");

struct GafEntry {
    bool headerRead = false;  // nFrames and name are the entry's own
    std::int16_t nFrames = 0;  // 0 or below: no frame, nothing to convert
    std::string name;    // at most 31 characters, never holds a NUL
    GafFrame frame;    // frame 0, the only frame converted; empty if there is none
};

// Where the archive's bytes come from, and what the reader keeps between
// calls. The reader's own.
struct ArchiveInput;
struct ArchiveInputDeleter {
    void operator()(ArchiveInput* input) const;
};

struct GafArchive {
    std::unique_ptr<ArchiveInput, ArchiveInputDeleter> input;
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
    frame_slot_outside_file,        // frame 0's slot, behind the entry header
    negative_frame_offset,
    frame_header_outside_file,
    negative_size,
    negative_pixel_offset,
    pixels_outside_file,
    too_many_sub_frames,
    sub_frame_table_outside_file,
    sub_frame_header_outside_file,  // of the sub-frame in EntryStatus::sub_frame
    nested_sub_frames,              // that sub-frame is itself a composite
    changed_while_read,             // the bytes differ from what was checked
    cannot_read,                    // a read failed: the reason is system_error
};

// The reasons, as the messages give them (messages.cpp holds every text).
std::string_view to_string(ArchiveError error);
std::string_view to_string(EntryError error);

struct LoadStatus {
    ArchiveError error = ArchiveError::none;
    int system_error = 0;  // errno of a failed open or read, else 0
};

struct EntryStatus {
    EntryError error = EntryError::none;
    int system_error = 0;  // errno of a failed read (ENOMEM when memory ran out), else 0
    int sub_frame = -1;    // the table slot of the sub-frame at fault, else -1
};

// Opens the file named `path` and checks the header and the offset table; the
// entries are read one at a time by read_entry. The archive keeps the file
// open.
LoadStatus load_gaf(const std::string& path, GafArchive& archive);

// The same over bytes held in memory.
ArchiveError parse_gaf(std::vector<std::uint8_t> bytes, GafArchive& archive);

// Reads entry `index` (0 <= index < nEntries) in offset-table order: its
// header and, if it has frames, frame 0's header, and checks that every row of frame 0 can be
// had (for a composite, of every sub-frame its table names). No pixel is
// kept.
EntryStatus read_entry(GafArchive& archive, std::int32_t index, GafEntry& entry);

// Fills `row` (Width indices) with row `y` (0 is the top row) of `frame`, a
// frame read_entry gave for this archive. Rows are cheapest asked for bottom
// row first, as the image files store them.
EntryStatus read_row(GafArchive& archive, const GafFrame& frame, std::size_t y, std::span<std::uint8_t> row);

// True when `path` names the archive's own file.
bool is_archive_file(const GafArchive& archive, const std::string& path);

// Reads into memory every byte that the entries from `from` on need, and
// closes the archive's file: those entries then read the same from memory.
// For when the archive's file is itself in the way, as when an entry's image
// is to replace it and the system refuses to replace a file that is open
// (Windows does). False when memory ran out; the file then stays open.
bool keep_rest_in_memory(GafArchive& archive, std::int32_t from);

}  // namespace zeftil
