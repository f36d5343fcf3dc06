// Where an archive's bytes come from, and how the reader sees them: through
// windows, each holding the bytes of its last read. The format layer
// (reader.cpp) asks for bytes at an offset through one call, fetch; nothing
// above this file knows whether the archive is a file, a pipe or bytes in
// memory.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <memory>
#include <span>
#include <variant>
#include <vector>

#include "native.h"

// The most a window reads at a time. The fuzz build sets it to a few bytes,
// so that reads straddle window edges on nearly every input.
#ifndef ZEFTIL_READ_BLOCK
#define ZEFTIL_READ_BLOCK (std::size_t{256} << 10)
#endif

namespace zeftil {

inline constexpr std::size_t kReadBlock = ZEFTIL_READ_BLOCK;

// A regular file, read at the offsets asked for. Its size when it was opened
// tells where it ends.
struct FileAtOffsets {
    std::unique_ptr<std::FILE, FileCloser> file;
    std::uint64_t size = 0;
};

// Bytes held in memory from offset 0: all of them from the start, or read
// front to back from `rest` (a pipe, a device) only as far as asked for, and
// kept, since offsets may point backwards.
struct KeptBytes {
    std::vector<std::uint8_t> bytes;
    std::unique_ptr<std::FILE, FileCloser> rest;  // null once it has ended or failed
    int error = 0;                                // errno of the read of `rest` that failed
};

// The bytes [start, start + size) of the source, copied there by one read.
// `bytes` only grows, and nothing but a read fills it, so that no page of it
// is touched before a read needs it.
struct Window {
    std::uint64_t start = 0;
    std::size_t size = 0;
    std::size_t capacity = 0;
    std::unique_ptr<std::uint8_t[]> bytes;
};

struct ByteSource {
    std::variant<FileAtOffsets, KeptBytes> origin;
    // One window per lane: reads that go on side by side (the offset table,
    // the headers and plain frames, each sub-frame of a composite) each keep
    // their own, so that none evicts another's bytes.
    std::vector<Window> windows;
    // The end of the furthest bytes asked for so far: how much of a file
    // keep_in_memory has to keep.
    std::uint64_t furthest = 0;
};

// What a read may take along with the bytes asked for: the bytes the caller
// expects to ask for next. Only a hint: a read takes no more than the source
// holds, and a pipe is never read further for it.
struct ReadAhead {
    std::uint64_t from = 0;
    std::uint64_t to = 0;
};

// Bytes asked for: as many of them as the source holds, and the errno of a
// failed read, else 0.
struct SourceBytes {
    std::span<const std::uint8_t> bytes;
    int error = 0;
};

// A regular file is read at offsets; any other file front to back. Either
// is read through `lanes` windows.
ByteSource source_from_file(std::unique_ptr<std::FILE, FileCloser> file, std::size_t lanes);
ByteSource source_from_memory(std::vector<std::uint8_t> bytes, std::size_t lanes);

// The `count` bytes at `at`, read through window `lane` (below the source's
// lanes) if it does not hold them already. The bytes stay valid until the
// next fetch through the same lane, whatever the source.
SourceBytes fetch(ByteSource& source, std::size_t lane, std::uint64_t at, std::size_t count, ReadAhead hint);

// The `count` bytes at `at` if window `lane` holds them, without a read;
// otherwise none. Valid as fetch's.
inline std::span<const std::uint8_t> held(const ByteSource& source, std::size_t lane, std::uint64_t at, std::size_t count) {
    const Window& w = source.windows[lane];
    if (at < w.start || at - w.start > w.size || count > w.size - (at - w.start)) return {};
    return {w.bytes.get() + (at - w.start), count};
}

// The regular file the source reads at offsets, if it does.
std::FILE* regular_file(const ByteSource& source);

// The source becomes its first `end` bytes (as many as it has), held in
// memory, and its file is closed. Offsets read the same as before.
void keep_in_memory(ByteSource& source, std::uint64_t end);

}  // namespace zeftil
