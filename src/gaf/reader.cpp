// The GAF format: the archive header and offset table, entry and frame
// headers, run-length streams, composites, and the faults each can have.
// Every byte comes through fetch (source.h), which alone knows whether the
// archive is a file, a pipe or bytes in memory.
#include "gaf/gaf.h"

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstring>
#include <limits>
#include <new>

#include "bytes.h"
#include "gaf/source.h"

namespace zeftil {

namespace {

// Lanes: the source's windows, one for each run of reads that goes on beside
// the others. Sub-frame n of a composite is drawn through lane kFirstPartLane + n.
constexpr std::size_t kTableLane = 0;  // the offset table, walked front to back
constexpr std::size_t kDataLane = 1;   // headers, and the pixels and streams of plain frames
constexpr std::size_t kFirstPartLane = 2;
constexpr std::size_t kLanes = kFirstPartLane + kMaxSubFrames;

// Read-ahead. Headers are read with this much after them, which in most
// archives holds the next headers too; rows with up to kReadBlock, the way
// they are asked for: run-length streams front to back while they are
// checked, then rows bottom row first while they are written.
constexpr std::size_t kHeaderRead = std::min<std::size_t>(4096, kReadBlock);
constexpr std::uint64_t kNoEnd = std::numeric_limits<std::uint64_t>::max();

// Up to `most` bytes from `at` on, never past `end`.
ReadAhead forward(std::uint64_t at, std::size_t count, std::uint64_t end, std::size_t most) {
    return {at, std::min(end, at + std::max<std::uint64_t>(count, most))};
}

// Up to `most` bytes ending with the bytes asked for, never before `start`.
ReadAhead backward(std::uint64_t at, std::size_t count, std::uint64_t start, std::size_t most) {
    const std::uint64_t end = at + count;
    return {std::max(start, end - std::min<std::uint64_t>(end, std::max(count, most))), end};
}

}  // namespace

// The row of a composite's sub-frame read last: every table slot that names
// the sub-frame draws it, and each row of the composite that it falls on.
struct PartRow {
    std::uint64_t read = 0;  // readNumber of the composite it belongs to; 0: none
    std::size_t y = 0;
    std::vector<std::uint8_t> indices;
};

struct ArchiveInput {
    ByteSource source;
    std::uint64_t table_end = 0;
    std::uint64_t entries_read = 0;
    std::vector<PartRow> part_rows;  // by part of the composite drawn last
};

void ArchiveInputDeleter::operator()(ArchiveInput* input) const { delete input; }

namespace {

EntryStatus failed(const SourceBytes& got, EntryError outside) {
    return got.error != 0 ? EntryStatus{EntryError::cannot_read, got.error} : EntryStatus{outside};
}

// One row of a run-length stream: `ops`, the bytes its 2-byte count covers.
// They must end exactly at the end of `ops` and never reach past `width`
// pixels. When `row` is given (width bytes, filled with the transparency
// index) the decoded indices are stored there.
bool decode_run_length_row(std::span<const std::uint8_t> ops, int width, std::uint8_t* row) {
    std::size_t at = 0;
    int x = 0;
    while (at < ops.size()) {
        const std::uint8_t control = ops[at++];
        if (control & 1) {  // skip: these pixels keep the transparency index
            const int run = control >> 1;
            if (run > width - x) return false;
            x += run;
        } else if (control & 2) {  // one index, repeated
            const int run = (control >> 2) + 1;
            if (at == ops.size() || run > width - x) return false;
            if (row) std::fill_n(row + x, run, ops[at]);
            ++at;
            x += run;
        } else {  // indices copied as they stand
            const int run = (control >> 2) + 1;
            if (static_cast<std::size_t>(run) > ops.size() - at || run > width - x) return false;
            if (row) std::copy_n(ops.data() + at, run, row + x);
            at += static_cast<std::size_t>(run);
            x += run;
        }
    }
    return true;
}

// Reads the archive header and makes sure the whole offset table is there.
LoadStatus read_header(ArchiveInput& in, GafArchive& archive) {
    const SourceBytes header = fetch(in.source, kTableLane, 0, kArchiveHeaderSize, forward(0, kArchiveHeaderSize, kNoEnd, kHeaderRead));
    if (header.error != 0) return {ArchiveError::cannot_read, header.error};
    if (header.bytes.size() < kArchiveHeaderSize) return {ArchiveError::shorter_than_header};
    const std::uint32_t version = get_u32(header.bytes, kVersionAt);
    const std::int32_t count = get_i32(header.bytes, kEntryCountAt);
    if (count < 0) return {ArchiveError::negative_entry_count};
    in.table_end = kOffsetTableAt + std::uint64_t{kOffsetSize} * static_cast<std::uint32_t>(count);
    if (count > 0) {
        // The table's last slot, read with as much of the table as one read takes.
        const std::uint64_t last = in.table_end - kOffsetSize;
        const SourceBytes slot =
            fetch(in.source, kTableLane, last, kOffsetSize, backward(last, kOffsetSize, kOffsetTableAt, kReadBlock));
        if (slot.bytes.size() < kOffsetSize)
            return {slot.error != 0 ? ArchiveError::cannot_read : ArchiveError::offset_table_outside_file, slot.error};
    }
    archive.version = version;
    archive.nEntries = count;
    return {};
}

// The fields of a 20-byte frame header.
struct FrameHeader {
    GafFrame frame;
    bool run_length = false;
    std::int16_t sub_frames = 0;
    std::int32_t data_at = 0;
};

FrameHeader parse_frame_header(std::span<const std::uint8_t> bytes) {
    FrameHeader header;
    header.frame.Width = get_i16(bytes, kWidthAt);
    header.frame.Height = get_i16(bytes, kHeightAt);
    header.frame.xOffset = get_i16(bytes, kXOffsetAt);
    header.frame.yOffset = get_i16(bytes, kYOffsetAt);
    header.frame.transparencyIndex = bytes[kTransparencyAt];
    header.run_length = bytes[kCompressionAt] == 1;
    header.sub_frames = get_i16(bytes, kSubFrameCountAt);
    header.data_at = get_i32(bytes, kPixelOffsetAt);
    return header;
}

// One pass over a run-length stream: true when it is well-formed, with the
// start of every row noted in the frame. Reads on as far as it has walked.
bool walk_run_length(ByteSource& source, GafFrame& frame, int& error) {
    std::vector<std::uint64_t>& starts = frame.rowStarts;
    starts.assign(static_cast<std::size_t>(frame.Height) + 1, 0);
    std::uint64_t at = frame.dataAt;
    for (std::size_t y = 0; y < static_cast<std::size_t>(frame.Height); ++y) {
        starts[y] = at;
        const auto most = static_cast<std::size_t>(std::clamp<std::uint64_t>(at - frame.dataAt, kHeaderRead, kReadBlock));
        const SourceBytes count_field = fetch(source, kDataLane, at, 2, forward(at, 2, kNoEnd, most));
        error = count_field.error;
        if (count_field.bytes.size() < 2) return false;
        const std::size_t count = get_u16(count_field.bytes, 0);
        const SourceBytes ops = fetch(source, kDataLane, at + 2, count, forward(at + 2, count, kNoEnd, most));
        error = ops.error;
        if (ops.bytes.size() < count || !decode_run_length_row(ops.bytes, frame.Width, nullptr)) return false;
        at += 2 + count;
    }
    starts.back() = at;
    return true;
}

// Whose frame a plain frame is, which decides how its last row is read.
enum class FrameOf { entry, composite };

// A frame that is not a composite: its size, and that all its rows are
// there. The last row of an entry's own frame is read as its image's first
// row will be, and with it the headers behind the frame, where most archives
// keep the next entry; a sub-frame's last row is read on its own.
EntryStatus check_plain_frame(ByteSource& source, const FrameHeader& header, GafFrame& frame, FrameOf of) {
    frame = header.frame;
    if (frame.Width < 0 || frame.Height < 0) return {EntryError::negative_size};
    if (frame.Width == 0 || frame.Height == 0) return {};  // nothing to read
    if (header.data_at < 0) return {EntryError::negative_pixel_offset};
    frame.dataAt = static_cast<std::uint32_t>(header.data_at);
    if (header.run_length) {
        int error = 0;
        if (walk_run_length(source, frame, error)) {
            frame.encoding = FrameEncoding::run_length;
            return {};
        }
        if (error != 0) return {EntryError::cannot_read, error};
        // Not a well-formed stream: the bytes are taken as raw indices.
        frame.rowStarts.clear();
    }
    const auto width = static_cast<std::size_t>(frame.Width);
    const std::uint64_t last_row = frame.dataAt + width * static_cast<std::uint64_t>(frame.Height - 1);
    ReadAhead hint = backward(last_row, width, frame.dataAt, of == FrameOf::entry ? kReadBlock - kHeaderRead : 0);
    if (of == FrameOf::entry) hint.to += kHeaderRead;
    const SourceBytes row = fetch(source, kDataLane, last_row, width, hint);
    return row.bytes.size() < width ? failed(row, EntryError::pixels_outside_file) : EntryStatus{};
}

// Sub-frame of a composite whose 20-byte header lies at `at`.
EntryStatus check_sub_frame(ByteSource& source, std::int32_t at, GafFrame& part) {
    if (at < 0) return {EntryError::sub_frame_header_outside_file};
    const auto header_at = static_cast<std::uint32_t>(at);
    const SourceBytes bytes = fetch(source, kDataLane, header_at, kFrameHeaderSize, forward(header_at, kFrameHeaderSize, kNoEnd, kHeaderRead));
    if (bytes.bytes.size() < kFrameHeaderSize) return failed(bytes, EntryError::sub_frame_header_outside_file);
    const FrameHeader sub = parse_frame_header(bytes.bytes);
    if (sub.sub_frames > 0) return {EntryError::nested_sub_frames};
    return check_plain_frame(source, sub, part, FrameOf::composite);
}

// A composite: its table, and every sub-frame it names checked as a plain
// frame. A sub-frame named twice is kept once.
EntryStatus check_composite(ByteSource& source, const FrameHeader& header, GafFrame& frame) {
    frame = header.frame;
    if (header.sub_frames > kMaxSubFrames) return {EntryError::too_many_sub_frames};
    if (header.data_at < 0) return {EntryError::sub_frame_table_outside_file};
    frame.encoding = FrameEncoding::composite;
    const auto table_at = static_cast<std::uint32_t>(header.data_at);
    const auto count = static_cast<std::size_t>(header.sub_frames);
    const std::size_t table_size = count * kSubFrameSlotSize;
    const SourceBytes table = fetch(source, kDataLane, table_at, table_size, forward(table_at, table_size, kNoEnd, kHeaderRead));
    if (table.bytes.size() < table_size) return failed(table, EntryError::sub_frame_table_outside_file);
    std::array<std::int32_t, kMaxSubFrames> offsets{};
    for (std::size_t n = 0; n < count; ++n) offsets[n] = get_i32(table.bytes, n * kSubFrameSlotSize);

    std::array<std::int32_t, kMaxSubFrames> part_offsets{};
    for (std::size_t slot = 0; slot < count; ++slot) {
        const auto parts_end = part_offsets.begin() + static_cast<std::ptrdiff_t>(frame.parts.size());
        const auto seen = std::find(part_offsets.begin(), parts_end, offsets[slot]);
        if (seen == parts_end) {
            GafFrame part;
            EntryStatus status = check_sub_frame(source, offsets[slot], part);
            if (status.error != EntryError::none) {
                status.sub_frame = static_cast<int>(slot);
                return status;
            }
            *seen = offsets[slot];
            frame.parts.push_back(std::move(part));
        }
        frame.layers.push_back(static_cast<std::uint8_t>(seen - part_offsets.begin()));
    }
    return {};
}

// Entry `index`: its header, and frame 0 checked if it has frames.
EntryStatus read_entry_and_check(ArchiveInput& in, std::int32_t index, GafEntry& entry) {
    ByteSource& source = in.source;
    const std::uint64_t slot_at = kOffsetTableAt + std::uint64_t{kOffsetSize} * static_cast<std::uint32_t>(index);
    const SourceBytes slot = fetch(source, kTableLane, slot_at, kOffsetSize, forward(slot_at, kOffsetSize, in.table_end, kReadBlock));
    if (slot.bytes.size() < kOffsetSize) return failed(slot, EntryError::entry_header_outside_file);
    const std::int32_t entry_at = get_i32(slot.bytes, 0);
    if (entry_at < 0) return {EntryError::negative_entry_offset};
    const auto header_at = static_cast<std::uint32_t>(entry_at);
    const SourceBytes header = fetch(source, kDataLane, header_at, kEntryHeaderSize, forward(header_at, kEntryHeaderSize, kNoEnd, kHeaderRead));
    if (header.bytes.size() < kEntryHeaderSize) return failed(header, EntryError::entry_header_outside_file);

    entry.nFrames = get_i16(header.bytes, kFrameCountAt);
    // The name ends at its first NUL; a field without one gives 31 characters.
    std::size_t length = 0;
    while (length < kNameFieldSize - 1 && header.bytes[kNameAt + length] != 0) ++length;
    entry.name.assign(reinterpret_cast<const char*>(header.bytes.data() + kNameAt), length);
    entry.headerRead = true;
    if (entry.nFrames < 1) return {};  // nothing behind the 40 bytes is the entry's

    const std::uint64_t frame_slot_at = header_at + kFrameTableAt;
    const SourceBytes frame_slot = fetch(source, kDataLane, frame_slot_at, kFrameSlotSize, forward(frame_slot_at, kFrameSlotSize, kNoEnd, kHeaderRead));
    if (frame_slot.bytes.size() < kFrameSlotSize) return failed(frame_slot, EntryError::frame_slot_outside_file);
    const std::int32_t frame_at = get_i32(frame_slot.bytes, 0);
    if (frame_at < 0) return {EntryError::negative_frame_offset};
    const auto frame_header_at = static_cast<std::uint32_t>(frame_at);
    const SourceBytes frame_header = fetch(source, kDataLane, frame_header_at, kFrameHeaderSize, forward(frame_header_at, kFrameHeaderSize, kNoEnd, kHeaderRead));
    if (frame_header.bytes.size() < kFrameHeaderSize) return failed(frame_header, EntryError::frame_header_outside_file);
    const FrameHeader frame = parse_frame_header(frame_header.bytes);
    const bool empty = frame.frame.Width == 0 || frame.frame.Height == 0;
    if (frame.sub_frames > 0 && frame.frame.Width >= 0 && frame.frame.Height >= 0 && !empty)
        return check_composite(source, frame, entry.frame);
    return check_plain_frame(source, frame, entry.frame, FrameOf::entry);
}

// Row `y` of a frame that is not a composite, into `row`, read through
// `lane` with up to `most` bytes a read.
EntryStatus plain_row(ByteSource& source, std::size_t lane, const GafFrame& frame, std::size_t y, std::uint8_t* row,
                      std::size_t most) {
    const auto width = static_cast<std::size_t>(frame.Width);
    if (frame.encoding == FrameEncoding::raw) {
        const std::uint64_t at = frame.dataAt + y * width;
        const SourceBytes pixels = fetch(source, lane, at, width, backward(at, width, frame.dataAt, most));
        if (pixels.bytes.size() < width) return failed(pixels, EntryError::pixels_outside_file);
        std::copy(pixels.bytes.begin(), pixels.bytes.end(), row);
        return {};
    }
    // Decoded again as it was checked: bytes that no longer decode, or whose
    // count differs from the one found then, were changed in between.
    const std::uint64_t at = frame.rowStarts[y];
    const auto length = static_cast<std::size_t>(frame.rowStarts[y + 1] - at);
    const SourceBytes bytes = fetch(source, lane, at, length, backward(at, length, frame.rowStarts.front(), most));
    if (bytes.bytes.size() < length) return failed(bytes, EntryError::changed_while_read);
    std::fill_n(row, width, frame.transparencyIndex);
    if (get_u16(bytes.bytes, 0) != length - 2 || !decode_run_length_row(bytes.bytes.subspan(2), frame.Width, row))
        return {EntryError::changed_while_read};
    return {};
}

// Row `y` of a composite: its transparency index, then every sub-frame's row
// that falls on it drawn over it in table order.
EntryStatus composite_row(ArchiveInput& in, const GafFrame& frame, std::size_t y, std::span<std::uint8_t> row) {
    std::fill(row.begin(), row.end(), frame.transparencyIndex);
    if (in.part_rows.size() < frame.parts.size()) in.part_rows.resize(frame.parts.size());
    // The parts share one read block's worth of memory.
    const std::size_t most = std::max(kHeaderRead, kReadBlock / std::max<std::size_t>(frame.parts.size(), 1));
    const int width = frame.Width;
    for (std::size_t slot = 0; slot < frame.layers.size(); ++slot) {
        const std::size_t n = frame.layers[slot];
        const GafFrame& part = frame.parts[n];
        const int top = frame.yOffset - part.yOffset, left = frame.xOffset - part.xOffset;
        const long part_y = static_cast<long>(y) - top;
        const int from = std::max(left, 0), to = std::min(left + part.Width, width);
        if (part_y < 0 || part_y >= part.Height || from >= to) continue;
        PartRow& rows = in.part_rows[n];
        if (rows.read != frame.readNumber || rows.y != static_cast<std::size_t>(part_y)) {
            rows.read = 0;
            rows.indices.resize(static_cast<std::size_t>(part.Width));
            EntryStatus status = plain_row(in.source, kFirstPartLane + n, part, static_cast<std::size_t>(part_y), rows.indices.data(), most);
            if (status.error != EntryError::none) {
                status.sub_frame = static_cast<int>(slot);
                return status;
            }
            rows.read = frame.readNumber;
            rows.y = static_cast<std::size_t>(part_y);
        }
        for (int x = from; x < to; ++x) {
            const std::uint8_t index = rows.indices[static_cast<std::size_t>(x - left)];
            if (index != part.transparencyIndex) row[static_cast<std::size_t>(x)] = index;
        }
    }
    return {};
}

// Memory that runs out while the archive is read fails what was being read,
// as a read would: every entry point below goes through here.
template <typename Status, typename Read>
Status unless_out_of_memory(Status out_of_memory, Read read) {
    try {
        return read();
    } catch (const std::bad_alloc&) {
        return out_of_memory;
    }
}

LoadStatus open_archive(ByteSource source, GafArchive& archive) {
    archive = GafArchive{};
    auto input = std::unique_ptr<ArchiveInput, ArchiveInputDeleter>(new ArchiveInput{std::move(source), 0, 0, {}});
    const LoadStatus status = read_header(*input, archive);
    if (status.error == ArchiveError::none)
        archive.input = std::move(input);
    else
        archive = GafArchive{};
    return status;
}

}  // namespace

ArchiveError parse_gaf(std::vector<std::uint8_t> bytes, GafArchive& archive) {
    return unless_out_of_memory(LoadStatus{ArchiveError::cannot_read, ENOMEM}, [&] {
        return open_archive(source_from_memory(std::move(bytes), kLanes), archive);
    }).error;
}

LoadStatus load_gaf(const std::string& path, GafArchive& archive) {
    return unless_out_of_memory(LoadStatus{ArchiveError::cannot_read, ENOMEM}, [&] {
        archive = GafArchive{};
        errno = 0;
        std::unique_ptr<std::FILE, FileCloser> file(open_for_reading(path));
        if (!file) return LoadStatus{ArchiveError::cannot_open, errno};
        std::setvbuf(file.get(), nullptr, _IONBF, 0);
        return open_archive(source_from_file(std::move(file), kLanes), archive);
    });
}

EntryStatus read_entry(GafArchive& archive, std::int32_t index, GafEntry& entry) {
    entry = GafEntry{};
    ArchiveInput& in = *archive.input;
    const std::uint64_t number = ++in.entries_read;
    const EntryStatus status = unless_out_of_memory(EntryStatus{EntryError::cannot_read, ENOMEM},
                                                    [&] { return read_entry_and_check(in, index, entry); });
    entry.frame.readNumber = number;
    return status;
}

namespace {

// A row that takes a read or a decode. Kept out of read_row, so that the
// rows served from the window at hand cost no more than a copy.
[[gnu::noinline]] EntryStatus read_row_through(ArchiveInput& in, const GafFrame& frame, std::size_t y, std::span<std::uint8_t> row) {
    return unless_out_of_memory(EntryStatus{EntryError::cannot_read, ENOMEM}, [&] {
        if (frame.encoding == FrameEncoding::composite) return composite_row(in, frame, y, row);
        return plain_row(in.source, kDataLane, frame, y, row.data(), kReadBlock);
    });
}

}  // namespace

EntryStatus read_row(GafArchive& archive, const GafFrame& frame, std::size_t y, std::span<std::uint8_t> row) {
    ArchiveInput& in = *archive.input;
    // Most raw rows come from the window at hand.
    if (frame.encoding == FrameEncoding::raw) {
        const auto bytes = held(in.source, kDataLane, frame.dataAt + y * row.size(), row.size());
        if (!bytes.empty()) {
            std::memcpy(row.data(), bytes.data(), row.size());
            return {};
        }
    }
    return read_row_through(in, frame, y, row);
}

bool is_archive_file(const GafArchive& archive, const std::string& path) {
    std::FILE* file = archive.input ? regular_file(archive.input->source) : nullptr;
    return file && is_same_file(file, path);
}

bool keep_rest_in_memory(GafArchive& archive, std::int32_t from) {
    ArchiveInput& in = *archive.input;
    if (!regular_file(in.source)) return true;
    // One pass over the entries finds how far they reach.
    in.source.furthest = in.table_end;
    GafEntry entry;
    for (std::int32_t i = from; i < archive.nEntries; ++i) {
        const EntryStatus status = read_entry(archive, i, entry);
        if (status.error == EntryError::cannot_read && status.system_error == ENOMEM) return false;
    }
    return unless_out_of_memory(false, [&] {
        keep_in_memory(in.source, in.source.furthest);
        return true;
    });
}

}  // namespace zeftil
