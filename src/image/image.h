// 24-bit true-colour image files from palette-indexed pixels: uncompressed TGA
// and Windows BMP. Both store the bottom row first and every pixel as blue,
// green, red; they differ in their headers and in BMP's 4-byte row alignment.
//
// Encoding fills memory a row at a time; encode_image takes the rows from a
// row source and hands the file's bytes on a block at a time, and
// write_image_file puts those blocks into a file.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <new>
#include <span>
#include <string>
#include <vector>

namespace zeftil {

enum class OutputFormat : std::uint8_t { tga = 0, bmp = 1 };

struct ImageSize {
    std::uint16_t Width = 0;
    std::uint16_t Height = 0;
};

// TGA header, 18 bytes, pixel data right behind it:
//   0  u8   identifier length       0
//   1  u8   colour-map type         0
//   2  u8   image type              2 (uncompressed true-colour)
//   3  u16  first colour-map index  0
//   5  u16  colour-map length       0
//   7  u8   colour-map entry size   0
//   8  u16  X origin                0
//  10  u16  Y origin                0
//  12  u16  width
//  14  u16  height
//  16  u8   bits per pixel          24
//  17  u8   image descriptor        0 (origin lower left)
inline constexpr std::size_t kTgaHeaderSize = 18;

// BMP file header, 14 bytes, then the info header, 40 bytes:
//   0  "BM"   signature
//   2  u32    file size
//   6  u16    reserved              0
//   8  u16    reserved              0
//  10  u32    pixel data offset     54
//  14  u32    info header size      40
//  18  i32    width
//  22  i32    height (positive: bottom row first)
//  26  u16    planes                1
//  28  u16    bits per pixel        24
//  30  u32    compression           0
//  34  u32    image size            row size x height
//  38  i32    horizontal resolution 0
//  42  i32    vertical resolution   0
//  46  u32    colours used          0
//  50  u32    important colours     0
// Each row is padded with zero bytes to a multiple of 4.
inline constexpr std::size_t kBmpFileHeaderSize = 14;
inline constexpr std::size_t kBmpInfoHeaderSize = 40;
inline constexpr std::size_t kBmpHeaderSize = kBmpFileHeaderSize + kBmpInfoHeaderSize;

std::size_t header_size(OutputFormat format);
// Bytes per stored row, alignment included.
std::size_t row_size(OutputFormat format, std::size_t width);
std::size_t file_size(OutputFormat format, ImageSize size);

// Fills out[0, header_size) with the header.
void encode_header(OutputFormat format, ImageSize size, std::span<std::uint8_t> out);

// Fills out[0, row_size) with one row, given as its palette indices.
void encode_row(OutputFormat format, std::span<const std::uint8_t> indices, std::span<std::uint8_t> out);

// Fills `row` (Width indices) with row `y` of the picture, 0 the top row;
// false when it could not, the source keeping why. The writer asks for the
// bottom row first, then for each row above the last, and never for a row 0
// pixels wide.
using RowSource = std::function<bool(std::size_t y, std::span<std::uint8_t> row)>;

enum class WriteError { none, cannot_create, cannot_write, cannot_close, cannot_rename };

// A write fails for the file (error) or for its rows; not both.
struct WriteStatus {
    WriteError error = WriteError::none;
    int system_error = 0;  // errno of the failed call
    bool rows_failed = false;
    bool ok() const { return error == WriteError::none && !rows_failed; }
};

// An image file is written as a stream of whole blocks: every write but the
// last is exactly kWriteBlock bytes, at a file offset that is a multiple of
// it, from memory that starts at a multiple of kWriteBlockAlignment (a page
// on x86 and on Windows). The header is the stream's first bytes and rows
// run on from one block into the next, so both sides of every copy the
// system makes from the block into the file are aligned, whatever the
// header's size or the row's length.
inline constexpr std::size_t kWriteBlock = std::size_t{256} << 10;
inline constexpr std::size_t kWriteBlockAlignment = 4096;
// The longest row there is: 65,535 pixels of BMP.
inline constexpr std::size_t kLongestRow = (std::size_t{65535} * 3 + 3) / 4 * 4;

// Frees memory taken with operator new at kWriteBlockAlignment.
struct AlignedDelete {
    void operator()(std::uint8_t* p) const noexcept { ::operator delete(p, std::align_val_t{kWriteBlockAlignment}); }
};

// Memory that a run of writes shares, made on its first write and kept for
// the next, so that each image does not take fresh pages from the system.
struct WriteScratch {
    // The block, then room for the part of a row that runs past its end
    // (kWriteBlock + kLongestRow bytes). Pages the rows never reach are
    // never touched.
    std::unique_ptr<std::uint8_t[], AlignedDelete> block;
    std::vector<std::uint8_t> indices;  // one row's palette indices
};

// Takes the next bytes of the file; false when they could not be written,
// with errno saying why.
using BlockSink = std::function<bool(std::span<const std::uint8_t> bytes)>;

// Encodes the whole file, header and then rows bottom first, and hands it to
// `put` in whole blocks, the rest in one last call: every call but the last
// is given exactly kWriteBlock bytes of scratch.block, which lies at a
// multiple of kWriteBlockAlignment. Stops at the first failure, of the row
// source or of `put`.
WriteStatus encode_image(OutputFormat format, ImageSize size, const RowSource& rows, WriteScratch& scratch,
                         const BlockSink& put);

// Writes the image as the file `path` in the current directory. The bytes go
// to a new temporary file first, which is renamed over `path` only once it is
// complete and closed; on failure it is removed and `path` is left as it was.
WriteStatus write_image_file(const std::string& path, OutputFormat format, ImageSize size, const RowSource& rows,
                             WriteScratch& scratch);
// The same with scratch memory of its own.
WriteStatus write_image_file(const std::string& path, OutputFormat format, ImageSize size, const RowSource& rows);

// Removes the temporary file of a write_image_file that is under way, if
// any: for a signal handler, so an interrupted run leaves nothing behind.
void remove_pending_temporary() noexcept;

// The two writers, one for each layout.
inline WriteStatus write_tga(const std::string& path, ImageSize size, const RowSource& rows, WriteScratch& scratch) {
    return write_image_file(path, OutputFormat::tga, size, rows, scratch);
}
inline WriteStatus write_bmp(const std::string& path, ImageSize size, const RowSource& rows, WriteScratch& scratch) {
    return write_image_file(path, OutputFormat::bmp, size, rows, scratch);
}

}  // namespace zeftil
