// The I/O floor: the least that converting an archive costs, with the
// decisions made beforehand. From a plan made before any clock starts, it
// reads exactly the byte ranges the archive addresses for frame 0 of every
// entry (the header, the offset table, each entry header, frame 0's header and
// its pixels or run-length stream), at most 256 KiB a read into one reused
// buffer, and writes, for every entry, exactly as many bytes as zeftil writes
// for it (sizes from zeftil's own size function) from that same buffer,
// whatever it holds: no pixel goes through the palette. The writes are
// zeftil's own: whole blocks of 256 KiB but the last, from a page-aligned
// buffer. Each file takes zeftil's route: a new temporary file in the
// current directory (created exclusively, as fopen "wbx" opens it), closed,
// then renamed into place.
//   bench_floor --plan ARCHIVE PLAN   makes the plan (not timed)
//   bench_floor [-b] PLAN ARCHIVE     the floor, TGA or, with -b, BMP
// Ranges that touch are read together, in file order: a read serves the first
// entry that needs its bytes, and whatever of the following entries' it holds.
// The plan trusts the archive to be one of the benchmark's own and only checks
// that what it addresses lies inside the file; composite frames are not known
// to it (the workloads hold none).
//
// The plan, a run of records, integers little-endian:
//   read:  u8 'r', u32 offset, u32 length (at most 256 KiB)
//   write: u8 'w', u16 Width, u16 Height, u8 name length, the name
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#ifdef _WIN32
#include <io.h>
#endif

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <memory>
#include <new>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "bytes.h"
#include "gaf/gaf.h"
#include "image/image.h"

namespace {

constexpr std::size_t kBlock = zeftil::kWriteBlock;
constexpr std::size_t kReadRecordSize = 9, kWriteRecordSize = 6;

#ifdef _WIN32
constexpr int kBinary = O_BINARY;
long read_at(int fd, std::uint8_t* to, std::size_t count, std::uint32_t at) {
    if (_lseeki64(fd, at, SEEK_SET) < 0) return -1;
    return _read(fd, to, static_cast<unsigned>(count));
}
#else
constexpr int kBinary = 0;
long read_at(int fd, std::uint8_t* to, std::size_t count, std::uint32_t at) {
    return static_cast<long>(pread(fd, to, count, at));
}
#endif

int fail(const char* what) {
    std::perror(what);
    return 1;
}

// The whole file in one read; empty when it cannot be read.
std::vector<std::uint8_t> load(const char* path) {
    std::vector<std::uint8_t> bytes;
    struct stat info {};
    const int in = open(path, O_RDONLY | kBinary);
    if (in < 0) return bytes;
    if (fstat(in, &info) == 0) bytes.resize(static_cast<std::size_t>(info.st_size));
    if (read_at(in, bytes.data(), bytes.size(), 0) != static_cast<long>(bytes.size())) bytes.clear();
    close(in);
    return bytes;
}

// Every range entry `index` addresses in `file`, in the order zeftil needs
// them; none when one lies outside the file.
std::vector<std::pair<std::uint32_t, std::uint32_t>> entry_ranges(std::span<const std::uint8_t> file,
                                                                  std::uint32_t index, std::string& name,
                                                                  zeftil::ImageSize& size) {
    using namespace zeftil;
    const auto inside = [&](std::uint64_t at, std::uint64_t count) { return at <= file.size() && count <= file.size() - at; };
    const std::uint32_t entry_at = get_u32(file, kOffsetTableAt + kOffsetSize * index);
    if (!inside(entry_at, kEntryHeaderSize + kFrameSlotSize)) return {};
    const std::uint32_t frame_at = get_u32(file, entry_at + kFrameOffsetAt);
    if (!inside(frame_at, kFrameHeaderSize)) return {};
    const auto* field = reinterpret_cast<const char*>(file.data() + entry_at + kNameAt);
    name.assign(field, strnlen(field, kNameFieldSize - 1));
    size = {get_u16(file, frame_at + kWidthAt), get_u16(file, frame_at + kHeightAt)};
    const std::uint32_t pixels_at = get_u32(file, frame_at + kPixelOffsetAt);
    std::uint64_t length = std::uint64_t{size.Width} * size.Height;
    if (file[frame_at + kCompressionAt] == 1) {  // run-length: a 2-byte count, then that many bytes, per row
        length = 0;
        for (std::uint16_t y = 0; y < size.Height; ++y) {
            if (!inside(pixels_at + length, 2)) return {};
            length += 2 + get_u16(file, pixels_at + length);
        }
    }
    if (!inside(pixels_at, length)) return {};
    return {{entry_at, static_cast<std::uint32_t>(kEntryHeaderSize + kFrameSlotSize)},
            {frame_at, static_cast<std::uint32_t>(kFrameHeaderSize)},
            {pixels_at, static_cast<std::uint32_t>(length)}};
}

int make_plan(const char* archive, const char* plan_path) {
    using namespace zeftil;
    const std::vector<std::uint8_t> file = load(archive);
    if (file.size() < kArchiveHeaderSize) return fail(archive);
    const std::uint32_t count = get_u32(file, kEntryCountAt);
    if ((file.size() - kOffsetTableAt) / kOffsetSize < count) return fail("offset table");

    std::vector<std::uint8_t> plan;
    std::size_t last_read = 0;  // where in `plan` the latest read record lies
    const auto add_read = [&](std::uint32_t at, std::uint32_t length) {
        while (length > 0) {
            if (!plan.empty()) {  // extend the latest read when it ends where this range starts
                const std::uint32_t start = get_u32(plan, last_read + 1), had = get_u32(plan, last_read + 5);
                if (start + had == at && had < kBlock) {
                    const auto more = static_cast<std::uint32_t>(std::min<std::size_t>(length, kBlock - had));
                    put_u32(plan, last_read + 5, had + more);
                    at += more;
                    length -= more;
                    continue;
                }
            }
            last_read = plan.size();
            plan.resize(plan.size() + kReadRecordSize);
            plan[last_read] = 'r';
            put_u32(plan, last_read + 1, at);
            put_u32(plan, last_read + 5, 0);
        }
    };
    add_read(0, static_cast<std::uint32_t>(kArchiveHeaderSize + kOffsetSize * std::size_t{count}));
    std::string name;
    ImageSize size;
    for (std::uint32_t i = 0; i < count; ++i) {
        // An entry of no frames is its header alone, and gives no file.
        const std::uint32_t entry_at = get_u32(file, kOffsetTableAt + kOffsetSize * i);
        if (entry_at <= file.size() && file.size() - entry_at >= kEntryHeaderSize &&
            get_i16(file, entry_at + kFrameCountAt) < 1) {
            add_read(entry_at, static_cast<std::uint32_t>(kEntryHeaderSize));
            continue;
        }
        const auto ranges = entry_ranges(file, i, name, size);
        if (ranges.empty()) return fail(("entry " + std::to_string(i)).c_str());
        for (const auto& [at, length] : ranges) add_read(at, length);
        const std::size_t at = plan.size();
        plan.resize(at + kWriteRecordSize);
        plan[at] = 'w';
        put_u16(plan, at + 1, size.Width);
        put_u16(plan, at + 3, size.Height);
        plan[at + 5] = static_cast<std::uint8_t>(name.size());
        plan.insert(plan.end(), name.begin(), name.end());
    }
    std::ofstream out(plan_path, std::ios::binary);
    out.write(reinterpret_cast<const char*>(plan.data()), static_cast<std::streamsize>(plan.size()));
    out.close();
    return out ? 0 : fail(plan_path);
}

}  // namespace

int main(int argc, char** argv) {
    if (argc == 4 && std::string_view(argv[1]) == "--plan") return make_plan(argv[2], argv[3]);
    const bool bmp = argc == 4 && std::string_view(argv[1]) == "-b";
    if (argc != 3 && !bmp) {
        std::fputs("usage: bench_floor --plan ARCHIVE PLAN\n       bench_floor [-b] PLAN ARCHIVE\n", stderr);
        return 2;
    }
    const zeftil::OutputFormat format = bmp ? zeftil::OutputFormat::bmp : zeftil::OutputFormat::tga;
    const std::string extension = bmp ? ".bmp" : ".tga";
    const std::vector<std::uint8_t> plan = load(argv[argc - 2]);
    if (plan.empty()) return fail(argv[argc - 2]);
    // Read into, and written out from; aligned as zeftil's write block is.
    const std::unique_ptr<std::uint8_t[], zeftil::AlignedDelete> block(static_cast<std::uint8_t*>(
        ::operator new(kBlock, std::align_val_t{zeftil::kWriteBlockAlignment})));
    const std::span<std::uint8_t> buffer(block.get(), kBlock);
    std::fill(buffer.begin(), buffer.end(), std::uint8_t{0x5A});

    const int in = open(argv[argc - 1], O_RDONLY | kBinary);
    if (in < 0) return fail(argv[argc - 1]);
    char temporary[32];
    std::string output;
    for (std::size_t at = 0, files = 0; at < plan.size(); ++files) {
        for (; at < plan.size() && plan[at] == 'r'; at += kReadRecordSize) {
            const std::uint32_t length = zeftil::get_u32(plan, at + 5);
            if (read_at(in, buffer.data(), length, zeftil::get_u32(plan, at + 1)) != static_cast<long>(length))
                return fail("read");
        }
        if (at == plan.size()) break;
        const zeftil::ImageSize size{zeftil::get_u16(plan, at + 1), zeftil::get_u16(plan, at + 3)};
        output.assign(reinterpret_cast<const char*>(plan.data() + at + kWriteRecordSize), plan[at + 5]);
        output += extension;
        at += kWriteRecordSize + plan[at + 5];

        std::snprintf(temporary, sizeof temporary, ".zeftil-%012lx.tmp", static_cast<unsigned long>(files));
        const int out = open(temporary, O_WRONLY | O_CREAT | O_EXCL | kBinary, 0666);
        if (out < 0) return fail(temporary);
        for (std::size_t left = zeftil::file_size(format, size), piece; left > 0; left -= piece) {
            piece = std::min(left, kBlock);
            if (write(out, buffer.data(), static_cast<unsigned>(piece)) != static_cast<long>(piece))
                return fail("write");
        }
        if (close(out) != 0) return fail("close");
        if (std::rename(temporary, output.c_str()) != 0) return fail("rename");
    }
    close(in);
    return 0;
}
