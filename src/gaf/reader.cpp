#include "gaf/gaf.h"

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <limits>
#include <new>

#include "bytes.h"
#include "native.h"

// The most a regular file is read at a time. The fuzz build sets it to a few
// bytes, so that reads straddle block edges on nearly every input.
#ifndef ZEFTIL_READ_BLOCK
#define ZEFTIL_READ_BLOCK (std::size_t{256} << 10)
#endif

namespace zeftil {

namespace {

constexpr std::size_t kReadBlock = ZEFTIL_READ_BLOCK;
// Headers are read with this much after them, which in most archives holds
// the next headers too.
constexpr std::size_t kHeaderRead = std::min<std::size_t>(4096, kReadBlock);
constexpr std::uint64_t kNoEnd = std::numeric_limits<std::uint64_t>::max();

// Bytes of a regular file read together, kept for the reads that follow:
// the first `held` of `bytes`. `bytes` only grows, and is never filled but by
// a read, so that no page of it is touched before a read needs it.
struct Block {
    std::uint64_t start = 0;
    std::size_t held = 0;
    std::size_t capacity = 0;
    std::unique_ptr<std::uint8_t[]> bytes;

    bool holds(std::uint64_t at, std::size_t count) const { return at >= start && at - start <= held && count <= held - (at - start); }
    std::span<const std::uint8_t> at(std::uint64_t offset, std::size_t count) const {
        return {bytes.get() + (offset - start), count};
    }
};

// What one sub-frame of a composite keeps from row to row.
struct PartRows {
    const GafFrame* part = nullptr;
    std::size_t y = 0;  // the row in `row`, if `part` is set
    std::vector<std::uint8_t> row;
    Block block;
};

// Bytes asked for: as many of them as the input holds, and the errno of a
// failed read, else 0.
struct Got {
    std::span<const std::uint8_t> bytes;
    int error = 0;
};

}  // namespace

// A regular file is read at the offsets the archive names, its size at open
// telling where it ends. Any other input (a pipe, a device, bytes in memory)
// is read front to back only as far as the archive points, and everything
// read is kept: offsets may point backwards.
struct ArchiveInput {
    std::unique_ptr<std::FILE, FileCloser> file;  // null once every byte is in `kept`
    bool at_offsets = false;
    std::uint64_t size = 0;          // at_offsets: the file's size when it was opened
    std::vector<std::uint8_t> kept;  // otherwise: the bytes read so far, from offset 0
    bool ended = false;              // otherwise: there are no more
    int error = 0;                   // otherwise: errno of the read that failed
    std::uint64_t furthest = 0;      // the end of the furthest bytes needed so far
    std::uint64_t table_end = 0;
    Block table;  // the offset table, walked front to back
    Block data;   // headers, pixels and streams of plain frames
    std::vector<PartRows> parts;  // one per sub-frame of the composite read last
};

void ArchiveInputDeleter::operator()(ArchiveInput* input) const { delete input; }

namespace {

// Checks one row of a run-length stream, its operations `ops` (the bytes its
// 2-byte count covers): they must end exactly at the end of `ops` and never
// reach past `width` pixels. When `row` is given (width bytes, pre-filled
// with the transparency index) the decoded indices are stored there.
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

// True when the input holds the bytes before `end`. Any input but a regular
// file is read on until it holds them, ends or fails.
bool reach(ArchiveInput& in, std::uint64_t end) {
    in.furthest = std::max(in.furthest, end);
    if (in.at_offsets) return end <= in.size;
    while (in.kept.size() < end && !in.ended && in.error == 0) {
        const std::size_t had = in.kept.size();
        in.kept.resize(had + kReadBlock);
        errno = 0;
        const std::size_t n = std::fread(in.kept.data() + had, 1, kReadBlock, in.file.get());
        in.kept.resize(had + n);
        if (n < kReadBlock) {
            if (std::ferror(in.file.get()))
                in.error = errno != 0 ? errno : EIO;
            else
                in.ended = true;
        }
    }
    return in.kept.size() >= end;
}

// The `count` bytes at `at`. A regular file is read into `block`, which then
// holds [from, to) of it: the caller's guess at what it needs next, at most
// the file's end and at least the bytes asked for. The bytes are valid until
// the next read through `block`.
Got fill(ArchiveInput& in, Block& block, std::uint64_t at, std::size_t count, std::uint64_t from, std::uint64_t to) {
    if (!in.at_offsets) {
        reach(in, at + count);
        if (at >= in.kept.size()) return {{}, in.error};
        const auto held = static_cast<std::size_t>(std::min<std::uint64_t>(count, in.kept.size() - at));
        return {std::span<const std::uint8_t>(in.kept).subspan(static_cast<std::size_t>(at), held), held < count ? in.error : 0};
    }
    in.furthest = std::max(in.furthest, at + count);
    if (block.holds(at, count)) return {block.at(at, count)};
    if (at >= in.size) return {};
    count = static_cast<std::size_t>(std::min<std::uint64_t>(count, in.size - at));
    if (!block.holds(at, count)) {
        to = std::min(std::max(to, at + count), in.size);
        block.start = std::min(from, at);
        block.held = 0;
        const auto want = static_cast<std::size_t>(to - block.start);
        if (block.capacity < want) {
            block.bytes.reset();
            block.capacity = 0;
            block.bytes = std::make_unique_for_overwrite<std::uint8_t[]>(want);
            block.capacity = want;
        }
        int error = 0;
        block.held = read_file_at(in.file.get(), block.start, {block.bytes.get(), want}, error);
        if (error != 0) return {{}, error};
    }
    // Fewer bytes than asked for only when the file shrank since it was opened.
    const auto offset = static_cast<std::size_t>(at - block.start);
    if (offset >= block.held) return {};
    return {block.at(at, std::min(count, block.held - offset))};
}

// Reads on from `at`, up to `most` bytes in all and never past `end`.
Got ahead(ArchiveInput& in, Block& block, std::uint64_t at, std::size_t count, std::uint64_t end, std::size_t most) {
    return fill(in, block, at, count, at, std::min(end, at + std::max<std::uint64_t>(count, most)));
}

// Reads back from `at` + `count`, up to `most` bytes in all and never before
// `start`: for rows taken bottom row first.
Got behind(ArchiveInput& in, Block& block, std::uint64_t at, std::size_t count, std::uint64_t start, std::size_t most) {
    const std::uint64_t end = at + count;
    return fill(in, block, at, count, std::max(start, end - std::min<std::uint64_t>(end, std::max(count, most))), end);
}

EntryStatus failed(const Got& got, EntryError outside) {
    return got.error != 0 ? EntryStatus{EntryError::cannot_read, got.error} : EntryStatus{outside};
}

// Reads the header and makes sure the whole offset table is there.
LoadStatus read_header(ArchiveInput& in, GafArchive& archive) {
    const Got header = ahead(in, in.table, 0, kArchiveHeaderSize, kNoEnd, kHeaderRead);
    if (header.error != 0) return {ArchiveError::cannot_read, header.error};
    if (header.bytes.size() < kArchiveHeaderSize) return {ArchiveError::shorter_than_header};
    const std::uint32_t version = get_u32(header.bytes, kVersionAt);
    const std::int32_t count = get_i32(header.bytes, kEntryCountAt);
    if (count < 0) return {ArchiveError::negative_entry_count};
    in.table_end = kOffsetTableAt + std::uint64_t{kOffsetSize} * static_cast<std::uint32_t>(count);
    if (!reach(in, in.table_end))
        return {in.error != 0 ? ArchiveError::cannot_read : ArchiveError::offset_table_outside_file, in.error};
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
// start of every row noted in the frame. Reads ahead as far as it has walked.
bool walk_run_length(ArchiveInput& in, Block& block, GafFrame& frame, int& error) {
    std::vector<std::uint64_t>& starts = frame.rowStarts;
    starts.assign(static_cast<std::size_t>(frame.Height) + 1, 0);
    std::uint64_t at = frame.dataAt;
    for (std::size_t y = 0; y < static_cast<std::size_t>(frame.Height); ++y) {
        starts[y] = at;
        const auto most = static_cast<std::size_t>(std::clamp<std::uint64_t>(at - frame.dataAt, kHeaderRead, kReadBlock));
        const Got count_field = ahead(in, block, at, 2, kNoEnd, most);
        error = count_field.error;
        if (count_field.bytes.size() < 2) return false;
        const std::size_t count = get_u16(count_field.bytes, 0);
        const Got ops = ahead(in, block, at + 2, count, kNoEnd, most);
        error = ops.error;
        if (ops.bytes.size() < count || !decode_run_length_row(ops.bytes, frame.Width, nullptr)) return false;
        at += 2 + count;
    }
    starts.back() = at;
    return true;
}

// A frame that is not a composite: its size, and that all its rows are there.
EntryStatus check_plain_frame(ArchiveInput& in, const FrameHeader& header, GafFrame& frame) {
    frame = header.frame;
    if (frame.Width < 0 || frame.Height < 0) return {EntryError::negative_size};
    if (frame.Width == 0 || frame.Height == 0) return {};  // nothing to read
    if (header.data_at < 0) return {EntryError::negative_pixel_offset};
    frame.dataAt = static_cast<std::uint32_t>(header.data_at);
    if (header.run_length) {
        int error = 0;
        if (walk_run_length(in, in.data, frame, error)) {
            frame.encoding = FrameEncoding::run_length;
            return {};
        }
        if (error != 0) return {EntryError::cannot_read, error};
        // Not a well-formed stream: the bytes are taken as raw indices.
        frame.rowStarts.clear();
    }
    const std::uint64_t count = static_cast<std::uint64_t>(frame.Width) * static_cast<std::uint64_t>(frame.Height);
    if (reach(in, frame.dataAt + count)) return {};
    return in.error != 0 ? EntryStatus{EntryError::cannot_read, in.error} : EntryStatus{EntryError::pixels_outside_file};
}

// A composite: its table, and every sub-frame it names checked as a plain
// frame. A sub-frame named twice is kept once.
EntryStatus check_composite(ArchiveInput& in, const FrameHeader& header, GafFrame& frame) {
    frame = header.frame;
    if (header.sub_frames > kMaxSubFrames) return {EntryError::too_many_sub_frames};
    if (header.data_at < 0) return {EntryError::sub_frame_table_outside_file};
    frame.encoding = FrameEncoding::composite;
    frame.dataAt = static_cast<std::uint32_t>(header.data_at);
    const auto count = static_cast<std::size_t>(header.sub_frames);
    const Got table = ahead(in, in.data, frame.dataAt, count * kSubFrameSlotSize, kNoEnd, kHeaderRead);
    if (table.bytes.size() < count * kSubFrameSlotSize) return failed(table, EntryError::sub_frame_table_outside_file);
    std::array<std::int32_t, kMaxSubFrames> offsets{};
    for (std::size_t n = 0; n < count; ++n) offsets[n] = get_i32(table.bytes, n * kSubFrameSlotSize);

    std::array<std::int32_t, kMaxSubFrames> part_offsets{};
    for (std::size_t n = 0; n < count; ++n) {
        const int slot = static_cast<int>(n);
        const auto seen = std::find(part_offsets.begin(), part_offsets.begin() + frame.parts.size(), offsets[n]);
        if (seen != part_offsets.begin() + frame.parts.size()) {
            frame.layers.push_back(static_cast<std::uint8_t>(seen - part_offsets.begin()));
            continue;
        }
        if (offsets[n] < 0) return {EntryError::sub_frame_header_outside_file, 0, slot};
        const Got bytes = ahead(in, in.data, static_cast<std::uint32_t>(offsets[n]), kFrameHeaderSize, kNoEnd, kHeaderRead);
        if (bytes.bytes.size() < kFrameHeaderSize) {
            EntryStatus status = failed(bytes, EntryError::sub_frame_header_outside_file);
            status.sub_frame = slot;
            return status;
        }
        const FrameHeader sub = parse_frame_header(bytes.bytes);
        if (sub.sub_frames > 0) return {EntryError::nested_sub_frames, 0, slot};
        GafFrame part;
        EntryStatus status = check_plain_frame(in, sub, part);
        if (status.error != EntryError::none) {
            status.sub_frame = slot;
            return status;
        }
        part_offsets[frame.parts.size()] = offsets[n];
        frame.layers.push_back(static_cast<std::uint8_t>(frame.parts.size()));
        frame.parts.push_back(std::move(part));
    }
    return {};
}

EntryStatus check_entry(ArchiveInput& in, std::int32_t index, GafEntry& entry) {
    const std::uint64_t slot_at = kOffsetTableAt + std::uint64_t{kOffsetSize} * static_cast<std::uint32_t>(index);
    const Got slot = ahead(in, in.table, slot_at, kOffsetSize, in.table_end, kReadBlock);
    if (slot.bytes.size() < kOffsetSize) return failed(slot, EntryError::entry_header_outside_file);
    const std::int32_t entry_at = get_i32(slot.bytes, 0);
    if (entry_at < 0) return {EntryError::negative_entry_offset};
    const Got header = ahead(in, in.data, static_cast<std::uint32_t>(entry_at), kEntryHeaderSize, kNoEnd, kHeaderRead);
    if (header.bytes.size() < kEntryHeaderSize) return failed(header, EntryError::entry_header_outside_file);

    entry.nFrames = get_i16(header.bytes, kFrameCountAt);
    // The name ends at its first NUL; a field without one gives 31 characters.
    std::size_t length = 0;
    while (length < kNameFieldSize - 1 && header.bytes[kNameAt + length] != 0) ++length;
    entry.name.assign(reinterpret_cast<const char*>(header.bytes.data() + kNameAt), length);
    entry.named = true;
    if (entry.nFrames < 1) return {};  // nothing behind the 40 bytes is the entry's

    const Got slot0 = ahead(in, in.data, static_cast<std::uint32_t>(entry_at) + kFrameTableAt, kFrameSlotSize, kNoEnd, kHeaderRead);
    if (slot0.bytes.size() < kFrameSlotSize) return failed(slot0, EntryError::frame_slot_outside_file);
    const std::int32_t frame_at = get_i32(slot0.bytes, 0);
    if (frame_at < 0) return {EntryError::negative_frame_offset};
    const Got frame_header = ahead(in, in.data, static_cast<std::uint32_t>(frame_at), kFrameHeaderSize, kNoEnd, kHeaderRead);
    if (frame_header.bytes.size() < kFrameHeaderSize) return failed(frame_header, EntryError::frame_header_outside_file);
    const FrameHeader frame = parse_frame_header(frame_header.bytes);
    const bool empty = frame.frame.Width == 0 || frame.frame.Height == 0;
    if (frame.sub_frames > 0 && frame.frame.Width >= 0 && frame.frame.Height >= 0 && !empty)
        return check_composite(in, frame, entry.frame);
    return check_plain_frame(in, frame, entry.frame);
}

// Row `y` of a frame that is not a composite, into `row`; `most` bytes read at
// a time at most.
EntryStatus plain_row(ArchiveInput& in, Block& block, const GafFrame& frame, std::size_t y, std::uint8_t* row,
                      std::size_t most) {
    const auto width = static_cast<std::size_t>(frame.Width);
    if (frame.encoding == FrameEncoding::raw) {
        const Got pixels = behind(in, block, frame.dataAt + y * width, width, frame.dataAt, most);
        if (pixels.bytes.size() < width) return failed(pixels, EntryError::pixels_outside_file);
        std::copy(pixels.bytes.begin(), pixels.bytes.end(), row);
        return {};
    }
    // Decoded again as it was checked: bytes that no longer decode, or whose
    // count differs from the one found then, were changed in between.
    const std::uint64_t at = frame.rowStarts[y];
    const auto length = static_cast<std::size_t>(frame.rowStarts[y + 1] - at);
    const Got bytes = behind(in, block, at, length, frame.rowStarts.front(), most);
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
    if (in.parts.size() < frame.parts.size()) in.parts.resize(frame.parts.size());
    // The parts share one read block's worth of memory.
    const std::size_t most = std::max(kHeaderRead, kReadBlock / std::max<std::size_t>(frame.parts.size(), 1));
    const int width = frame.Width;
    for (std::size_t slot = 0; slot < frame.layers.size(); ++slot) {
        const GafFrame& part = frame.parts[frame.layers[slot]];
        const int top = frame.yOffset - part.yOffset, left = frame.xOffset - part.xOffset;
        const long part_y = static_cast<long>(y) - top;
        const int from = std::max(left, 0), to = std::min(left + part.Width, width);
        if (part_y < 0 || part_y >= part.Height || from >= to) continue;
        PartRows& rows = in.parts[frame.layers[slot]];
        if (rows.part != &part || rows.y != static_cast<std::size_t>(part_y)) {
            rows.part = nullptr;
            rows.row.resize(static_cast<std::size_t>(part.Width));
            EntryStatus status = plain_row(in, rows.block, part, static_cast<std::size_t>(part_y), rows.row.data(), most);
            if (status.error != EntryError::none) {
                status.sub_frame = static_cast<int>(slot);
                return status;
            }
            rows.part = &part;
            rows.y = static_cast<std::size_t>(part_y);
        }
        for (int x = from; x < to; ++x) {
            const std::uint8_t index = rows.row[static_cast<std::size_t>(x - left)];
            if (index != part.transparencyIndex) row[static_cast<std::size_t>(x)] = index;
        }
    }
    return {};
}

}  // namespace

ArchiveError parse_gaf(std::vector<std::uint8_t> bytes, GafArchive& archive) {
    archive = GafArchive{};
    archive.input.reset(new ArchiveInput);
    archive.input->kept = std::move(bytes);
    archive.input->ended = true;
    const ArchiveError error = read_header(*archive.input, archive).error;
    if (error != ArchiveError::none) archive = GafArchive{};
    return error;
}

LoadStatus load_gaf(const std::string& path, GafArchive& archive) {
    archive = GafArchive{};
    auto input = std::unique_ptr<ArchiveInput, ArchiveInputDeleter>(new ArchiveInput);
    errno = 0;
    input->file.reset(open_for_reading(path));
    if (!input->file) return {ArchiveError::cannot_open, errno};
    std::setvbuf(input->file.get(), nullptr, _IONBF, 0);
    input->at_offsets = regular_file_size(input->file.get(), input->size);
    const LoadStatus status = read_header(*input, archive);
    if (status.error == ArchiveError::none)
        archive.input = std::move(input);
    else
        archive = GafArchive{};
    return status;
}

EntryStatus read_entry(GafArchive& archive, std::int32_t index, GafEntry& entry) {
    entry = GafEntry{};
    ArchiveInput& in = *archive.input;
    for (PartRows& rows : in.parts) rows.part = nullptr;
    try {
        return check_entry(in, index, entry);
    } catch (const std::bad_alloc&) {
        return {EntryError::cannot_read, ENOMEM};
    }
}

namespace {

// A row that takes a read or a decode. Kept out of read_row, so that the
// rows served from the block at hand cost no more than a copy.
[[gnu::noinline]] EntryStatus read_row_through(ArchiveInput& in, const GafFrame& frame, std::size_t y, std::span<std::uint8_t> row) {
    try {
        if (frame.encoding == FrameEncoding::composite) return composite_row(in, frame, y, row);
        return plain_row(in, in.data, frame, y, row.data(), kReadBlock);
    } catch (const std::bad_alloc&) {
        return {EntryError::cannot_read, ENOMEM};
    }
}

}  // namespace

EntryStatus read_row(GafArchive& archive, const GafFrame& frame, std::size_t y, std::span<std::uint8_t> row) {
    ArchiveInput& in = *archive.input;
    // Most raw rows come from the block at hand.
    const std::uint64_t at = frame.dataAt + y * row.size();
    if (frame.encoding != FrameEncoding::raw || !in.at_offsets || !in.data.holds(at, row.size()))
        return read_row_through(in, frame, y, row);
    std::memcpy(row.data(), in.data.bytes.get() + (at - in.data.start), row.size());
    return {};
}

bool is_archive_file(const GafArchive& archive, const std::string& path) {
    return archive.input && archive.input->file && archive.input->at_offsets &&
           is_same_file(archive.input->file.get(), path);
}

void keep_rest_in_memory(GafArchive& archive, std::int32_t from) {
    ArchiveInput& in = *archive.input;
    if (!in.at_offsets) return;
    // One pass over the entries finds how far they reach.
    in.furthest = in.table_end;
    GafEntry entry;
    for (std::int32_t i = from; i < archive.nEntries; ++i) read_entry(archive, i, entry);
    std::vector<std::uint8_t> kept(static_cast<std::size_t>(std::min(in.furthest, in.size)));
    kept.resize(read_file_at(in.file.get(), 0, kept, in.error));
    in.kept = std::move(kept);
    in.file.reset();
    in.at_offsets = false;
    in.ended = true;
    in.table = Block{};
    in.data = Block{};
    for (PartRows& rows : in.parts) rows.block = Block{};
}

}  // namespace zeftil
