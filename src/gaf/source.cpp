// The byte source: a regular file read at offsets, or bytes kept in memory
// (read front to back from a pipe or a device, or given whole). The two
// differ only in how a window is filled; windows, read-ahead and how long
// fetched bytes stay valid are the same for both.
#include "gaf/source.h"

#include <algorithm>
#include <cerrno>

namespace zeftil {

namespace {

// Reads on from `kept.rest` until `kept` holds the bytes before `end`, or
// `rest` ends or fails.
void read_on(KeptBytes& kept, std::uint64_t end) {
    while (kept.bytes.size() < end && kept.rest) {
        const std::size_t had = kept.bytes.size();
        kept.bytes.resize(had + kReadBlock);
        errno = 0;
        const std::size_t n = std::fread(kept.bytes.data() + had, 1, kReadBlock, kept.rest.get());
        kept.bytes.resize(had + n);
        if (n < kReadBlock) {
            if (std::ferror(kept.rest.get())) kept.error = errno != 0 ? errno : EIO;
            kept.rest.reset();
        }
    }
}

}  // namespace

ByteSource source_from_file(std::unique_ptr<std::FILE, FileCloser> file, std::size_t lanes) {
    ByteSource source;
    source.windows.resize(lanes);
    std::uint64_t size = 0;
    if (regular_file_size(file.get(), size))
        source.origin = FileAtOffsets{std::move(file), size};
    else
        source.origin = KeptBytes{{}, std::move(file), 0};
    return source;
}

ByteSource source_from_memory(std::vector<std::uint8_t> bytes, std::size_t lanes) {
    ByteSource source;
    source.windows.resize(lanes);
    source.origin = KeptBytes{std::move(bytes), nullptr, 0};
    return source;
}

SourceBytes fetch(ByteSource& source, std::size_t lane, std::uint64_t at, std::size_t count, ReadAhead hint) {
    source.furthest = std::max(source.furthest, at + count);
    if (const auto bytes = held(source, lane, at, count); bytes.size() == count) return {bytes};

    // Where the source ends, as far as it matters: kept bytes are read on
    // only as far as asked for.
    auto* file = std::get_if<FileAtOffsets>(&source.origin);
    auto* kept = std::get_if<KeptBytes>(&source.origin);
    std::uint64_t end = 0;
    int error = 0;  // of kept bytes that could not all be read
    if (file) {
        end = file->size;
    } else {
        read_on(*kept, at + count);
        end = kept->bytes.size();
        error = kept->error;
    }
    if (at >= end) return {{}, error};
    const std::size_t there = static_cast<std::size_t>(std::min<std::uint64_t>(count, end - at));
    if (const auto bytes = held(source, lane, at, there); bytes.size() == there) return {bytes, error};

    Window& w = source.windows[lane];
    w.start = std::min(hint.from, at);
    w.size = 0;
    const auto want = static_cast<std::size_t>(std::min(std::max(hint.to, at + there), end) - w.start);
    if (w.capacity < want) {
        w.bytes.reset();
        w.capacity = 0;
        w.bytes = std::make_unique_for_overwrite<std::uint8_t[]>(want);
        w.capacity = want;
    }
    if (file) {
        int read_error = 0;
        w.size = read_file_at(file->file.get(), w.start, {w.bytes.get(), want}, read_error);
        if (read_error != 0) return {{}, read_error};
    } else {
        std::copy_n(kept->bytes.data() + w.start, want, w.bytes.get());
        w.size = want;
    }
    // Fewer bytes than the size promised only when the file shrank since it
    // was opened.
    const auto offset = static_cast<std::size_t>(at - w.start);
    if (offset >= w.size) return {{}, error};
    const std::size_t got = std::min(there, w.size - offset);
    return {{w.bytes.get() + offset, got}, got < count ? error : 0};
}

std::FILE* regular_file(const ByteSource& source) {
    const auto* file = std::get_if<FileAtOffsets>(&source.origin);
    return file ? file->file.get() : nullptr;
}

void keep_in_memory(ByteSource& source, std::uint64_t end) {
    auto* file = std::get_if<FileAtOffsets>(&source.origin);
    if (!file) return;
    KeptBytes kept;
    kept.bytes.resize(static_cast<std::size_t>(std::min(end, file->size)));
    kept.bytes.resize(read_file_at(file->file.get(), 0, kept.bytes, kept.error));
    source.origin = std::move(kept);  // closes the file
    for (Window& w : source.windows) w = Window{};
}

}  // namespace zeftil
