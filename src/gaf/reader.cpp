#include "gaf/gaf.h"

#include <algorithm>
#include <cerrno>
#include <sys/stat.h>

#include "bytes.h"
#include "native.h"

namespace zeftil {

std::string_view to_string(ArchiveError error) {
    switch (error) {
        case ArchiveError::none: return "no error";
        case ArchiveError::cannot_open: return "cannot be opened";
        case ArchiveError::cannot_read: return "cannot be read";
        case ArchiveError::shorter_than_header: return "file is shorter than the 12-byte archive header";
        case ArchiveError::negative_entry_count: return "entry count is negative";
        case ArchiveError::offset_table_outside_file: return "entry offset table runs past the end of the file";
    }
    return "unknown error";
}

std::string_view to_string(EntryError error) {
    switch (error) {
        case EntryError::none: return "no error";
        case EntryError::negative_entry_offset: return "entry header offset is negative";
        case EntryError::entry_header_outside_file: return "48-byte entry header lies outside the file";
        case EntryError::negative_frame_offset: return "frame header offset is negative";
        case EntryError::frame_header_outside_file: return "20-byte frame header lies outside the file";
        case EntryError::negative_size: return "frame width or height is negative";
        case EntryError::negative_pixel_offset: return "pixel data offset is negative";
        case EntryError::pixels_outside_file: return "pixel data lies outside the file";
        case EntryError::cannot_read: return "archive cannot be read";
    }
    return "unknown error";
}

namespace {

// A regular file is read this much at a time, from where the archive points;
// any other input is read front to back this much at a time.
constexpr std::size_t kReadBlock = std::size_t{256} << 10;

// Reads up to `count` bytes at `offset` of a file; fewer at its end. A failed
// seek or read sets `error`.
std::size_t read_file_at(std::FILE* file, std::uint64_t offset, std::uint8_t* to, std::size_t count, int& error) {
    errno = 0;
#ifdef _WIN32
    const int sought = _fseeki64(file, static_cast<__int64>(offset), SEEK_SET);
#else
    const int sought = fseeko(file, static_cast<off_t>(offset), SEEK_SET);
#endif
    const std::size_t n = sought == 0 ? std::fread(to, 1, count, file) : 0;
    if (sought != 0 || std::ferror(file)) error = errno != 0 ? errno : EIO;
    return n;
}

// True when the input holds the bytes before `end`. Any input but a regular
// file is read on until it holds them or ends.
bool reach(ArchiveInput& in, std::uint64_t end) {
    in.furthest = std::max(in.furthest, end);
    if (in.regular) return end <= in.size;
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

// The `count` bytes at `offset`, or as many of them as the input holds; empty
// when a read fails. Valid until the next read through `block`. A regular
// file is read a block at a time into `block`; `before` asks for that many
// bytes ahead of `offset` in the same read, for callers walking backwards.
std::span<const std::uint8_t> read_at(ArchiveInput& in, ReadBlock& block, std::uint64_t offset, std::size_t count,
                                      std::size_t before = 0) {
    in.furthest = std::max(in.furthest, offset + count);
    if (!in.regular) {
        reach(in, offset + count);
        if (offset >= in.kept.size()) return {};
        const auto held = static_cast<std::size_t>(std::min<std::uint64_t>(count, in.kept.size() - offset));
        return std::span<const std::uint8_t>(in.kept).subspan(static_cast<std::size_t>(offset), held);
    }
    in.error = 0;
    if (offset >= in.size) return {};
    count = static_cast<std::size_t>(std::min<std::uint64_t>(count, in.size - offset));
    if (offset < block.start || offset - block.start + count > block.bytes.size()) {
        block.start = offset - std::min<std::uint64_t>(before, offset);
        const std::uint64_t needed = std::max(offset - block.start + count, std::uint64_t{kReadBlock});
        const auto want = static_cast<std::size_t>(std::min(needed, in.size - block.start));
        block.bytes.resize(want);
        block.bytes.resize(read_file_at(in.file.get(), block.start, block.bytes.data(), want, in.error));
        if (in.error != 0) return {};
    }
    // Fewer bytes than asked for only when the file shrank since it was opened.
    const auto at = static_cast<std::size_t>(offset - block.start);
    if (at >= block.bytes.size()) return {};
    return std::span<const std::uint8_t>(block.bytes).subspan(at, std::min(count, block.bytes.size() - at));
}

// Reads the header and makes sure the whole offset table is there.
ArchiveError read_header(GafArchive& archive) {
    ArchiveInput& in = archive.input;
    const auto header = read_at(in, archive.table, 0, kArchiveHeaderSize);
    if (in.error != 0) return ArchiveError::cannot_read;
    if (header.size() < kArchiveHeaderSize) return ArchiveError::shorter_than_header;
    const std::uint32_t version = get_u32(header, kVersionAt);
    const std::int32_t count = get_i32(header, kEntryCountAt);
    if (count < 0) return ArchiveError::negative_entry_count;
    if (!reach(in, kOffsetTableAt + std::uint64_t{kOffsetSize} * static_cast<std::uint32_t>(count)))
        return in.error != 0 ? ArchiveError::cannot_read : ArchiveError::offset_table_outside_file;
    archive.version = version;
    archive.nEntries = count;
    return ArchiveError::none;
}

// One pass over a run-length stream: true when it is well-formed, with the
// start of every row noted in the frame.
bool walk_run_length(GafArchive& archive, GafFrame& frame) {
    std::vector<std::uint64_t>& starts = frame.rowStarts;
    starts.assign(static_cast<std::size_t>(frame.Height) + 1, 0);
    std::uint64_t at = frame.dataAt;
    for (std::size_t y = 0; y < static_cast<std::size_t>(frame.Height); ++y) {
        starts[y] = at;
        const auto count_field = read_at(archive.input, archive.data, at, 2);
        if (count_field.size() < 2) return false;
        const std::size_t count = get_u16(count_field, 0);
        const auto ops = read_at(archive.input, archive.data, at + 2, count);
        if (ops.size() < count || !decode_run_length_row(ops, frame.Width, nullptr)) return false;
        at += 2 + count;
    }
    starts.back() = at;
    return true;
}

}  // namespace

ArchiveError parse_gaf(std::vector<std::uint8_t> bytes, GafArchive& archive) {
    archive = GafArchive{};
    archive.input.kept = std::move(bytes);
    archive.input.ended = true;
    const ArchiveError error = read_header(archive);
    if (error != ArchiveError::none) archive = GafArchive{};
    return error;
}

LoadStatus load_gaf(const std::string& path, GafArchive& archive) {
    archive = GafArchive{};
    ArchiveInput& in = archive.input;
    errno = 0;
    in.file.reset(open_for_reading(path));
    if (!in.file) return {ArchiveError::cannot_open, errno};
    std::setvbuf(in.file.get(), nullptr, _IONBF, 0);
#ifdef _WIN32
    struct _stat64 info {};
    if (_fstat64(_fileno(in.file.get()), &info) == 0 && (info.st_mode & _S_IFMT) == _S_IFREG) {
#else
    struct stat info {};
    if (fstat(fileno(in.file.get()), &info) == 0 && S_ISREG(info.st_mode)) {
#endif
        in.regular = true;
        in.size = static_cast<std::uint64_t>(info.st_size);
    }
    const ArchiveError error = read_header(archive);
    if (error == ArchiveError::none) return {};
    const int system_error = in.error;
    archive = GafArchive{};
    return {error, system_error};
}

EntryError read_entry(GafArchive& archive, std::int32_t index, GafEntry& entry) {
    entry = GafEntry{};
    ArchiveInput& in = archive.input;
    // A read that comes up short: the bytes lie outside the file, unless the
    // read itself failed.
    const auto short_read = [&in](EntryError outside) { return in.error != 0 ? EntryError::cannot_read : outside; };

    const std::uint64_t slot_at = kOffsetTableAt + std::uint64_t{kOffsetSize} * static_cast<std::uint32_t>(index);
    const auto slot = read_at(in, archive.table, slot_at, kOffsetSize);
    if (slot.size() < kOffsetSize) return short_read(EntryError::entry_header_outside_file);
    const std::int32_t entry_at = get_i32(slot, 0);
    if (entry_at < 0) return EntryError::negative_entry_offset;
    const auto header = read_at(in, archive.data, static_cast<std::uint32_t>(entry_at), kEntryHeaderSize);
    if (header.size() < kEntryHeaderSize) return short_read(EntryError::entry_header_outside_file);

    entry.nFrames = get_i16(header, kFrameCountAt);
    // The name ends at its first NUL; a field without one gives 31 characters.
    std::size_t length = 0;
    while (length < kNameFieldSize - 1 && header[kNameAt + length] != 0) ++length;
    entry.name.assign(reinterpret_cast<const char*>(header.data() + kNameAt), length);

    const std::int32_t frame_at = get_i32(header, kFrameOffsetAt);
    if (frame_at < 0) return EntryError::negative_frame_offset;
    const auto frame_header = read_at(in, archive.data, static_cast<std::uint32_t>(frame_at), kFrameHeaderSize);
    if (frame_header.size() < kFrameHeaderSize) return short_read(EntryError::frame_header_outside_file);

    GafFrame& frame = entry.frame;
    frame.Width = get_i16(frame_header, kWidthAt);
    frame.Height = get_i16(frame_header, kHeightAt);
    frame.xOffset = get_i16(frame_header, kXOffsetAt);
    frame.yOffset = get_i16(frame_header, kYOffsetAt);
    frame.transparencyIndex = frame_header[kTransparencyAt];
    const bool run_length = frame_header[kCompressionAt] == 1;
    const std::int32_t pixels_at = get_i32(frame_header, kPixelOffsetAt);
    if (frame.Width < 0 || frame.Height < 0) return EntryError::negative_size;
    if (frame.Width == 0 || frame.Height == 0) return EntryError::none;  // nothing to read
    if (pixels_at < 0) return EntryError::negative_pixel_offset;
    frame.dataAt = static_cast<std::uint32_t>(pixels_at);

    if (run_length) {
        if (walk_run_length(archive, frame)) {
            frame.encoding = FrameEncoding::run_length;
            return EntryError::none;
        }
        if (in.error != 0) return EntryError::cannot_read;
        // Not a well-formed stream: the bytes are taken as raw indices.
        frame.rowStarts.clear();
    }
    const std::uint64_t count = static_cast<std::uint64_t>(frame.Width) * static_cast<std::uint64_t>(frame.Height);
    if (!reach(in, frame.dataAt + count)) return short_read(EntryError::pixels_outside_file);
    return EntryError::none;
}

void keep_rest_in_memory(GafArchive& archive, std::int32_t from) {
    ArchiveInput& in = archive.input;
    if (!in.regular) return;
    // One pass over the entries finds how far they reach.
    in.furthest = kOffsetTableAt + std::uint64_t{kOffsetSize} * static_cast<std::uint32_t>(archive.nEntries);
    GafEntry entry;
    for (std::int32_t i = from; i < archive.nEntries; ++i) read_entry(archive, i, entry);
    const auto end = static_cast<std::size_t>(std::min(in.furthest, in.size));
    in.kept.resize(end);
    in.kept.resize(read_file_at(in.file.get(), 0, in.kept.data(), end, in.error));
    in.file.reset();
    in.regular = false;
    in.ended = true;
    archive.table = ReadBlock{};
    archive.data = ReadBlock{};
}

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

std::span<const std::uint8_t> frame_rows(GafArchive& archive, const GafFrame& frame, std::size_t y,
                                         std::vector<std::uint8_t>& scratch) {
    const auto width = static_cast<std::size_t>(frame.Width);
    if (width == 0) return {};
    if (frame.encoding == FrameEncoding::raw) {
        // The rows above are read with this one, as many as fit in a block.
        const std::size_t above = std::min(y, kReadBlock / width - 1), count = (above + 1) * width;
        const auto rows = read_at(archive.input, archive.data, frame.dataAt + (y - above) * width, count);
        return rows.size() == count ? rows : std::span<const std::uint8_t>{};
    }
    const std::uint64_t at = frame.rowStarts[y];
    const auto length = static_cast<std::size_t>(frame.rowStarts[y + 1] - at);
    const auto bytes = read_at(archive.input, archive.data, at, length, kReadBlock - std::min(length, kReadBlock));
    if (bytes.size() < length) return {};
    scratch.assign(width, frame.transparencyIndex);
    decode_run_length_row(bytes.subspan(2), frame.Width, scratch.data());
    return scratch;
}

}  // namespace zeftil
