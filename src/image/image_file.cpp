#include <algorithm>
#include <atomic>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <memory>
#include <random>

#include "image/image.h"
#include "native.h"

namespace zeftil {

namespace {

// Image bytes are written this much at a time.
constexpr std::size_t kWriteBlock = std::size_t{256} << 10;

// Temporary files are named like this, the twelve digits random.
constexpr char kTemporaryName[] = ".zeftil-123456789abc.tmp";
constexpr std::size_t kRandomDigitsAt = 8, kRandomDigits = 12;

// The temporary file that may exist right now, for remove_pending_temporary.
// A fixed buffer, so that a signal handler can read it; the name is stored
// whole before the flag that publishes it is set.
char pending_name[32];
volatile std::sig_atomic_t pending = 0;

void publish(const std::string& name) {
    static_assert(sizeof kTemporaryName <= sizeof pending_name);
    std::memcpy(pending_name, name.c_str(), name.size() + 1);
    std::atomic_signal_fence(std::memory_order_seq_cst);
    pending = 1;
    std::atomic_signal_fence(std::memory_order_seq_cst);
}

void unpublish() {
    pending = 0;
    std::atomic_signal_fence(std::memory_order_seq_cst);
}

// A temporary file of the write under way: removed however the write is
// left, unless it was renamed into place.
struct Temporary {
    std::string name;                  // set before the file is made
    NativePath path;                   // the path it is made by, long or not
    bool exists = false, renamed = false;
    Temporary() = default;
    Temporary(const Temporary&) = delete;
    Temporary& operator=(const Temporary&) = delete;
    ~Temporary() {
        if (exists && !renamed) remove_file(path);
        unpublish();
    }
};

// Creates a file that did not exist before under a fresh name in the current
// directory. The name is plain ASCII, the same bytes on every system. It is
// published, and everything its removal needs is made, before the file
// exists, so that neither a signal nor a failed allocation can leave it.
std::FILE* create_temporary(Temporary& temporary) {
    static std::mt19937_64 random{std::random_device{}()};
    static const char digits[] = "0123456789abcdef";
    for (int attempt = 0; attempt < 100; ++attempt) {
        char name[sizeof kTemporaryName];
        std::memcpy(name, kTemporaryName, sizeof name);
        for (std::uint64_t bits = random(), i = 0; i < kRandomDigits; ++i, bits >>= 4) name[kRandomDigitsAt + i] = digits[bits & 15];
        temporary.name = name;
        temporary.path = output_file_path(name);
        publish(temporary.name);
        errno = 0;
        if (std::FILE* f = create_new_file(temporary.path)) {
            temporary.exists = true;
            return f;
        }
        unpublish();
        if (errno != EEXIST) return nullptr;
    }
    return nullptr;
}

// Room for the header and at least one row; a small image fits whole.
std::size_t block_size(OutputFormat format, ImageSize size) {
    return std::min(file_size(format, size), std::max(kWriteBlock, header_size(format) + row_size(format, size.Width)));
}

// Writes the whole image through `file` in blocks of whole rows, each encoded
// into `buffer` first from the indices the row source puts in `indices`, the
// bottom row first.
WriteStatus write_rows(std::FILE* file, OutputFormat format, ImageSize size, const RowSource& rows,
                       std::span<std::uint8_t> buffer, std::span<std::uint8_t> indices) {
    const std::size_t row = row_size(format, size.Width);
    encode_header(format, size, buffer);
    std::size_t used = header_size(format);
    for (std::size_t y = size.Height; row > 0 && y-- > 0;) {
        if (buffer.size() - used < row) {
            if (std::fwrite(buffer.data(), 1, used, file) != used) return {WriteError::cannot_write, errno, {}};
            used = 0;
        }
        if (const EntryStatus status = rows(y, indices); status.error != EntryError::none)
            return {WriteError::none, 0, status};
        encode_row(format, indices, buffer.subspan(used, row));
        used += row;
    }
    if (std::fwrite(buffer.data(), 1, used, file) != used || std::fflush(file) != 0) return {WriteError::cannot_write, errno, {}};
    return {};
}

}  // namespace

WriteStatus write_image_file(const std::string& path, OutputFormat format, ImageSize image, const RowSource& rows,
                             WriteScratch& scratch) {
    // Grown before the temporary file exists, so a failed allocation leaves
    // nothing behind.
    const std::size_t size = block_size(format, image);
    if (scratch.block.size() < size) scratch.block.resize(size);
    if (scratch.indices.size() < image.Width) scratch.indices.resize(image.Width);

    Temporary temporary;
    std::unique_ptr<std::FILE, FileCloser> file(create_temporary(temporary));
    if (!file) return {WriteError::cannot_create, errno, {}};
    std::setvbuf(file.get(), nullptr, _IONBF, 0);

    errno = 0;
    WriteStatus status = write_rows(file.get(), format, image, rows, std::span(scratch.block).first(size),
                                    std::span(scratch.indices).first(image.Width));
    errno = 0;
    if (std::fclose(file.release()) != 0 && status.ok()) status = {WriteError::cannot_close, errno, {}};
    if (status.ok()) {
        const int error = rename_file(temporary.path, output_file_path(path));
        if (error != 0) status = {WriteError::cannot_rename, error, {}};
        temporary.renamed = error == 0;
    }
    return status;
}

WriteStatus write_image_file(const std::string& path, OutputFormat format, ImageSize image, const RowSource& rows) {
    WriteScratch scratch;
    return write_image_file(path, format, image, rows, scratch);
}

void remove_pending_temporary() noexcept {
    if (!pending) return;
    std::atomic_signal_fence(std::memory_order_seq_cst);
    remove_file_now(pending_name);
}

}  // namespace zeftil
