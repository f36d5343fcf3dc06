// The I/O floor: the least that converting an archive costs. It reads the
// archive with one read, then for every entry writes exactly as many bytes as
// zeftil writes for it (sizes from zeftil's own size functions), taken from the
// archive's own bytes: no pixel goes through the palette and no memory is used
// beyond the archive's, so the floor pays for nothing that zeftil need not.
// One write per file whenever the archive is at least as large as the file, as
// in every workload. Each file takes zeftil's route: a new temporary file in
// the current directory (O_CREAT | O_EXCL, as fopen "wbx" opens it), closed,
// then renamed into place.
//   bench_floor [-b] ARCHIVE
// It trusts the archive to be one of the benchmark's own and only checks that
// what it reads lies inside the file.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <memory>
#include <span>
#include <string>
#include <string_view>

#include "bytes.h"
#include "image/image.h"

namespace {

int fail(const char* what) {
    std::perror(what);
    return 1;
}

}  // namespace

int main(int argc, char** argv) {
    const bool bmp = argc == 3 && std::string_view(argv[1]) == "-b";
    if (argc != 2 && !bmp) {
        std::fputs("usage: bench_floor [-b] ARCHIVE\n", stderr);
        return 2;
    }
    const zeftil::OutputFormat format = bmp ? zeftil::OutputFormat::bmp : zeftil::OutputFormat::tga;
    const std::string extension = bmp ? ".bmp" : ".tga";

    const int in = open(argv[argc - 1], O_RDONLY | O_CLOEXEC);
    struct stat info {};
    if (in < 0 || fstat(in, &info) != 0) return fail(argv[argc - 1]);
    const auto size = static_cast<std::size_t>(info.st_size);
    const std::unique_ptr<std::uint8_t[]> bytes(new std::uint8_t[size]);  // left for the read to fill
    if (read(in, bytes.get(), size) != static_cast<ssize_t>(size)) return fail("read");
    close(in);
    const std::span<const std::uint8_t> file(bytes.get(), size);
    const auto inside = [&](std::size_t at, std::size_t count) { return at <= size && count <= size - at; };

    if (!inside(0, 12)) return 1;
    const std::uint32_t count = zeftil::get_u32(file, 4);
    if (!inside(12, std::size_t{4} * count)) return 1;
    char temporary[32];
    for (std::uint32_t i = 0; i < count; ++i) {
        const std::size_t entry_at = zeftil::get_u32(file, 12 + std::size_t{4} * i);
        if (!inside(entry_at, 48)) return 1;
        const std::size_t frame_at = zeftil::get_u32(file, entry_at + 40);
        if (!inside(frame_at, 20)) return 1;
        const auto* name = reinterpret_cast<const char*>(file.data() + entry_at + 8);
        const std::string output = std::string(name, strnlen(name, 31)) + extension;
        const zeftil::ImageSize image{zeftil::get_u16(file, frame_at), zeftil::get_u16(file, frame_at + 2)};
        std::size_t left = zeftil::file_size(format, image);

        std::snprintf(temporary, sizeof temporary, ".zeftil-%012x.tmp", i);
        const int out = open(temporary, O_WRONLY | O_CREAT | O_EXCL | O_TRUNC, 0666);
        if (out < 0) return fail(temporary);
        for (std::size_t piece; left > 0; left -= piece) {
            piece = std::min(left, size);
            if (write(out, bytes.get(), piece) != static_cast<ssize_t>(piece)) return fail("write");
        }
        if (close(out) != 0) return fail("close");
        if (std::rename(temporary, output.c_str()) != 0) return fail("rename");
    }
    return 0;
}
