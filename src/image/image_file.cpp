#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <memory>
#include <random>
#include <vector>

#include "image/image.h"
#include "native.h"

#ifdef _WIN32
#include <fcntl.h>
#include <io.h>
#include <sys/stat.h>
#endif

namespace zeftil {

namespace {

constexpr std::size_t kBlockSize = std::size_t{256} << 10;

struct FileCloser {
    void operator()(std::FILE* f) const { std::fclose(f); }
};

// The temporary file that exists right now, if any, for
// remove_pending_temporary. A fixed buffer, so a signal handler can read it.
char pending_name[32];
volatile std::sig_atomic_t pending = 0;

// Opens `name` for writing only if no file of that name exists yet: the
// create fails with EEXIST rather than open an existing file. The C runtime
// MinGW links against (msvcrt) ignores fopen's "x" and would truncate the
// file, so on Windows the exclusive create goes through _wopen.
std::FILE* open_new(const std::string& name) {
#ifdef _WIN32
    const int fd =
        _wopen(output_file_path(name).c_str(), _O_WRONLY | _O_CREAT | _O_EXCL | _O_BINARY, _S_IREAD | _S_IWRITE);
    if (fd < 0) return nullptr;
    std::FILE* file = _fdopen(fd, "wb");
    if (!file) {
        const int error = errno;
        _close(fd);
        std::remove(name.c_str());
        errno = error;
    }
    return file;
#else
    return std::fopen(name.c_str(), "wbx");
#endif
}

// Creates a file that did not exist before under a fresh name in the current
// directory. The name is plain ASCII, the same bytes on every system, so the
// narrow calls that remove it need no conversion.
std::FILE* create_temporary(std::string& name) {
    static std::mt19937_64 random{std::random_device{}()};
    static const char digits[] = "0123456789abcdef";
    for (int attempt = 0; attempt < 100; ++attempt) {
        name = ".zeftil-";
        for (std::uint64_t bits = random(), i = 0; i < 12; ++i, bits >>= 4) name += digits[bits & 15];
        name += ".tmp";
        // Noted before it exists, so that an interrupted run can never miss
        // removing it; unnoted again should the create fail.
        static_assert(sizeof ".zeftil-123456789abc.tmp" <= sizeof pending_name);
        std::memcpy(pending_name, name.c_str(), name.size() + 1);
        pending = 1;
        errno = 0;
        if (std::FILE* f = open_new(name)) return f;
        pending = 0;
        if (errno != EEXIST) return nullptr;
    }
    return nullptr;
}

// Room for the header and at least one row; a small image fits whole.
std::size_t block_size(OutputFormat format, ImageSize size) {
    return std::min(file_size(format, size), std::max(kBlockSize, header_size(format) + row_size(format, size.Width)));
}

// Writes the whole image through `file` in blocks of whole rows, each encoded
// into `buffer` first, the bottom row first.
WriteError write_blocks(std::FILE* file, OutputFormat format, ImageSize size, const RowSource& rows,
                        std::span<std::uint8_t> buffer) {
    const std::size_t row = row_size(format, size.Width);
    encode_header(format, size, buffer);
    std::size_t used = header_size(format);
    for (std::size_t y = size.Height; row > 0 && y > 0;) {
        const std::span<const std::uint8_t> band = rows(y - 1);
        if (band.size() < size.Width) return WriteError::source_failed;
        for (std::size_t n = band.size() / size.Width; n-- > 0; --y) {  // its bottom row first
            if (buffer.size() - used < row) {
                if (std::fwrite(buffer.data(), 1, used, file) != used) return WriteError::cannot_write;
                used = 0;
            }
            encode_row(format, band.subspan(n * size.Width, size.Width), buffer.subspan(used, row));
            used += row;
        }
    }
    return std::fwrite(buffer.data(), 1, used, file) == used ? WriteError::none : WriteError::cannot_write;
}

}  // namespace

WriteStatus write_image_file(const std::string& path, OutputFormat format, ImageSize image, const RowSource& rows) {
    // Allocated before the temporary file exists, so a failed allocation
    // leaves nothing behind. Not zero-filled: every byte is encoded before it
    // is written.
    const std::size_t size = block_size(format, image);
    const auto block = std::make_unique_for_overwrite<std::uint8_t[]>(size);

    std::string temporary;
    std::unique_ptr<std::FILE, FileCloser> file(create_temporary(temporary));
    if (!file) return {WriteError::cannot_create, errno};
    std::setvbuf(file.get(), nullptr, _IONBF, 0);

    WriteStatus status;
    errno = 0;
    status.error = write_blocks(file.get(), format, image, rows, {block.get(), size});
    if (status.error == WriteError::none && std::fflush(file.get()) != 0) status.error = WriteError::cannot_write;
    if (status.error == WriteError::cannot_write) status.system_error = errno;
    errno = 0;
    if (std::fclose(file.release()) != 0 && status.error == WriteError::none) status = {WriteError::cannot_close, errno};
    if (status.error == WriteError::none) {
        std::error_code ec;
        std::filesystem::rename(output_file_path(temporary), output_file_path(path), ec);
        if (ec) status = {WriteError::cannot_rename, ec.value()};
    }
    if (status.error != WriteError::none) std::remove(temporary.c_str());
    pending = 0;
    return status;
}

void remove_pending_temporary() noexcept {
    if (pending) std::remove(pending_name);
}

}  // namespace zeftil
