#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <filesystem>
#include <memory>
#include <random>
#include <vector>

#include "image/image.h"

namespace zeftil {

namespace {

constexpr std::size_t kBlockSize = std::size_t{256} << 10;

struct FileCloser {
    void operator()(std::FILE* f) const { std::fclose(f); }
};

// Creates a file that did not exist before under a fresh name in the current
// directory; "x" makes the create fail rather than open an existing file.
std::FILE* create_temporary(std::string& name) {
    static std::mt19937_64 random{std::random_device{}()};
    static const char digits[] = "0123456789abcdef";
    for (int attempt = 0; attempt < 100; ++attempt) {
        name = ".zeftil-";
        for (std::uint64_t bits = random(), i = 0; i < 12; ++i, bits >>= 4) name += digits[bits & 15];
        name += ".tmp";
        errno = 0;
        if (std::FILE* f = std::fopen(name.c_str(), "wbx")) return f;
        if (errno != EEXIST) return nullptr;
    }
    return nullptr;
}

// Writes the whole image through `file` in blocks of whole rows.
bool write_blocks(std::FILE* file, OutputFormat format, const IndexedImage& image) {
    const std::size_t total = file_size(format, image);
    const std::size_t row = row_size(format, image.Width);
    const std::size_t header = header_size(format);
    std::vector<std::uint8_t> block(std::min(total, std::max(kBlockSize, header + row)));
    const std::span<std::uint8_t> buffer = block;

    encode_header(format, image, buffer);
    std::size_t used = header;
    for (std::size_t y = image.Height; y-- > 0;) {
        if (block.size() - used < row) {
            if (std::fwrite(block.data(), 1, used, file) != used) return false;
            used = 0;
        }
        encode_row(format, image, y, buffer.subspan(used, row));
        used += row;
    }
    return std::fwrite(block.data(), 1, used, file) == used;
}

}  // namespace

WriteStatus write_image_file(const std::string& path, OutputFormat format, const IndexedImage& image) {
    std::string temporary;
    std::unique_ptr<std::FILE, FileCloser> file(create_temporary(temporary));
    if (!file) return {WriteError::cannot_create, errno};
    std::setvbuf(file.get(), nullptr, _IONBF, 0);

    WriteStatus status;
    errno = 0;
    if (!write_blocks(file.get(), format, image) || std::fflush(file.get()) != 0) status = {WriteError::cannot_write, errno};
    errno = 0;
    if (std::fclose(file.release()) != 0 && status.error == WriteError::none) status = {WriteError::cannot_close, errno};
    if (status.error == WriteError::none) {
        std::error_code ec;
        std::filesystem::rename(temporary, path, ec);
        if (!ec) return status;
        status = {WriteError::cannot_rename, ec.value()};
    }
    std::remove(temporary.c_str());
    return status;
}

}  // namespace zeftil
