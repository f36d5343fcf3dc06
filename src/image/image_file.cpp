// Image files on disk: the header and rows encoded into a page-aligned
// block and written a whole block at a time into a new temporary file, which
// is renamed over the target only once complete; an interrupted run removes it.
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

// Makes the scratch memory an image of `width` pixels a row needs, if it is
// not there yet.
void prepare(WriteScratch& scratch, std::size_t width) {
    if (!scratch.block)
        scratch.block.reset(static_cast<std::uint8_t*>(
            ::operator new(kWriteBlock + kLongestRow, std::align_val_t{kWriteBlockAlignment})));
    if (scratch.indices.size() < width) scratch.indices.resize(width);
}

}  // namespace

WriteStatus encode_image(OutputFormat format, ImageSize size, const RowSource& rows, WriteScratch& scratch,
                         const BlockSink& put) {
    prepare(scratch, size.Width);
    const std::span<std::uint8_t> block(scratch.block.get(), kWriteBlock + kLongestRow);
    const std::span<std::uint8_t> indices = std::span(scratch.indices).first(size.Width);
    const std::size_t row = row_size(format, size.Width);
    encode_header(format, size, block);
    std::size_t used = header_size(format);
    for (std::size_t y = size.Height; row > 0 && y-- > 0;) {
        if (!rows(y, indices)) return {WriteError::none, 0, true};
        // A row is expanded where it lies in the file, the part of it that
        // runs past the block into the room behind; once the block is
        // written, that part moves to the front.
        encode_row(format, indices, block.subspan(used, row));
        used += row;
        if (used >= kWriteBlock) {
            if (!put(block.first(kWriteBlock))) return {WriteError::cannot_write, errno};
            used -= kWriteBlock;
            std::memcpy(block.data(), block.data() + kWriteBlock, used);
        }
    }
    if (used > 0 && !put(block.first(used))) return {WriteError::cannot_write, errno};
    return {};
}

WriteStatus write_image_file(const std::string& path, OutputFormat format, ImageSize image, const RowSource& rows,
                             WriteScratch& scratch) {
    // Made before the temporary file exists, so a failed allocation leaves
    // nothing behind.
    prepare(scratch, image.Width);

    Temporary temporary;
    std::unique_ptr<std::FILE, FileCloser> file(create_temporary(temporary));
    if (!file) return {WriteError::cannot_create, errno};
    std::setvbuf(file.get(), nullptr, _IONBF, 0);

    errno = 0;
    const BlockSink put = [&](std::span<const std::uint8_t> bytes) {
        return std::fwrite(bytes.data(), 1, bytes.size(), file.get()) == bytes.size();
    };
    WriteStatus status = encode_image(format, image, rows, scratch, put);
    if (status.ok() && std::fflush(file.get()) != 0) status = {WriteError::cannot_write, errno};
    errno = 0;
    if (std::fclose(file.release()) != 0 && status.ok()) status = {WriteError::cannot_close, errno};
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
