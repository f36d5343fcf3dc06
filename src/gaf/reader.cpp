#include "gaf/gaf.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <filesystem>
#include <memory>

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
    }
    return "unknown error";
}

namespace {

// True when `count` bytes starting at `offset` lie inside a buffer of `size`
// bytes. Compares against what is left, so nothing can overflow.
bool fits(std::size_t size, std::size_t offset, std::size_t count) {
    return offset <= size && count <= size - offset;
}

struct FileCloser {
    void operator()(std::FILE* f) const { std::fclose(f); }
};

}  // namespace

ArchiveError parse_gaf(std::vector<std::uint8_t> bytes, GafArchive& archive) {
    archive = GafArchive{};
    if (bytes.size() < kArchiveHeaderSize) return ArchiveError::shorter_than_header;
    const std::int32_t count = get_i32(bytes, kEntryCountAt);
    if (count < 0) return ArchiveError::negative_entry_count;
    if ((bytes.size() - kOffsetTableAt) / kOffsetSize < static_cast<std::size_t>(count))
        return ArchiveError::offset_table_outside_file;
    archive.version = get_u32(bytes, kVersionAt);
    archive.nEntries = count;
    archive.bytes = std::move(bytes);
    return ArchiveError::none;
}

LoadStatus load_gaf(const std::string& path, GafArchive& archive) {
    archive = GafArchive{};
    errno = 0;
    std::unique_ptr<std::FILE, FileCloser> file(open_for_reading(path));
    if (!file) return {ArchiveError::cannot_open, errno};
    std::setvbuf(file.get(), nullptr, _IONBF, 0);

    // Read the whole file, until the end, so a file that is not a regular file
    // is read whole too. Room for the size the file system knows is reserved
    // up front, and the bytes come through a small chunk that stays in the
    // cache: every byte of the archive's memory is then written once, where
    // zero-filling it and reading over it would write it twice.
    std::error_code ec;
    const std::uintmax_t known = std::filesystem::is_regular_file(path, ec) ? std::filesystem::file_size(path, ec) : 0;
    std::vector<std::uint8_t> bytes;
    bytes.reserve(ec ? 0 : static_cast<std::size_t>(known));
    std::vector<std::uint8_t> chunk(std::size_t{1} << 16);
    while (const std::size_t n = std::fread(chunk.data(), 1, chunk.size(), file.get()))
        bytes.insert(bytes.end(), chunk.begin(), chunk.begin() + static_cast<std::ptrdiff_t>(n));
    if (std::ferror(file.get())) return {ArchiveError::cannot_read, errno};
    return {parse_gaf(std::move(bytes), archive), 0};
}

EntryError read_entry(const GafArchive& archive, std::int32_t index, GafEntry& entry) {
    entry = GafEntry{};
    const std::span<const std::uint8_t> file = archive.bytes;
    const std::size_t size = file.size();

    const std::int32_t entry_at = get_i32(file, kOffsetTableAt + static_cast<std::size_t>(index) * kOffsetSize);
    if (entry_at < 0) return EntryError::negative_entry_offset;
    if (!fits(size, static_cast<std::size_t>(entry_at), kEntryHeaderSize)) return EntryError::entry_header_outside_file;
    const auto header = file.subspan(static_cast<std::size_t>(entry_at), kEntryHeaderSize);

    entry.nFrames = get_i16(header, kFrameCountAt);
    // The name ends at its first NUL; a field without one gives 31 characters.
    std::size_t length = 0;
    while (length < kNameFieldSize - 1 && header[kNameAt + length] != 0) ++length;
    entry.name.assign(reinterpret_cast<const char*>(header.data() + kNameAt), length);

    const std::int32_t frame_at = get_i32(header, kFrameOffsetAt);
    if (frame_at < 0) return EntryError::negative_frame_offset;
    if (!fits(size, static_cast<std::size_t>(frame_at), kFrameHeaderSize)) return EntryError::frame_header_outside_file;
    const auto frame_header = file.subspan(static_cast<std::size_t>(frame_at), kFrameHeaderSize);

    GafFrame& frame = entry.frame;
    frame.Width = get_i16(frame_header, kWidthAt);
    frame.Height = get_i16(frame_header, kHeightAt);
    frame.xOffset = get_i16(frame_header, kXOffsetAt);
    frame.yOffset = get_i16(frame_header, kYOffsetAt);
    frame.transparencyIndex = frame_header[kTransparencyAt];
    if (frame.Width < 0 || frame.Height < 0) return EntryError::negative_size;
    if (frame.Width == 0 || frame.Height == 0) return EntryError::none;  // nothing to read

    const std::int32_t pixels_at = get_i32(frame_header, kPixelOffsetAt);
    if (pixels_at < 0) return EntryError::negative_pixel_offset;
    const auto from = file.subspan(std::min(size, static_cast<std::size_t>(pixels_at)));

    if (frame_header[kCompressionAt] == 1) {
        if (auto length = walk_run_length(from, frame.Width, frame.Height, nullptr)) {
            frame.encoding = FrameEncoding::run_length;
            frame.data = from.first(*length);
            return EntryError::none;
        }
        // Not a well-formed stream: the bytes are taken as raw indices.
    }
    const std::size_t count = static_cast<std::size_t>(frame.Width) * static_cast<std::size_t>(frame.Height);
    if (count > from.size()) return EntryError::pixels_outside_file;
    frame.data = from.first(count);
    return EntryError::none;
}

std::optional<std::size_t> walk_run_length(std::span<const std::uint8_t> from, int width, int height,
                                           std::uint8_t* out) {
    std::size_t at = 0;
    for (int y = 0; y < height; ++y) {
        if (!fits(from.size(), at, 2)) return std::nullopt;
        const std::size_t count = get_u16(from, at);
        at += 2;
        if (!fits(from.size(), at, count)) return std::nullopt;
        const std::size_t end = at + count;
        std::uint8_t* row = out ? out + static_cast<std::size_t>(y) * static_cast<std::size_t>(width) : nullptr;
        int x = 0;
        while (at < end) {
            const std::uint8_t control = from[at++];
            if (control & 1) {  // skip: these pixels keep the transparency index
                const int run = control >> 1;
                if (run > width - x) return std::nullopt;
                x += run;
            } else if (control & 2) {  // one index, repeated
                const int run = (control >> 2) + 1;
                if (at == end || run > width - x) return std::nullopt;
                if (row) std::fill_n(row + x, run, from[at]);
                ++at;
                x += run;
            } else {  // indices copied as they stand
                const int run = (control >> 2) + 1;
                if (static_cast<std::size_t>(run) > end - at || run > width - x) return std::nullopt;
                if (row) std::copy_n(from.data() + at, run, row + x);
                at += static_cast<std::size_t>(run);
                x += run;
            }
        }
    }
    return at;
}

std::span<const std::uint8_t> frame_indices(const GafFrame& frame, std::vector<std::uint8_t>& scratch) {
    if (frame.encoding == FrameEncoding::raw) return frame.data;
    const std::size_t count = static_cast<std::size_t>(frame.Width) * static_cast<std::size_t>(frame.Height);
    scratch.assign(count, frame.transparencyIndex);
    walk_run_length(frame.data, frame.Width, frame.Height, scratch.data());
    return scratch;
}

}  // namespace zeftil
