// Makes one benchmark archive with the project's own generator:
//   bench_workload COUNT WIDTH HEIGHT OUT.gaf [FRAMES]
// COUNT entries named e00000, e00001, ..., each FRAMES raw frames (default 1,
// as an animation has more) of WIDTH x HEIGHT pseudo-random palette indices,
// so that neither the palette table nor the caches get runs of equal pixels
// to profit from.
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "gaf_build.h"

int main(int argc, char** argv) {
    if (argc != 5 && argc != 6) {
        std::fputs("usage: bench_workload COUNT WIDTH HEIGHT OUT.gaf [FRAMES]\n", stderr);
        return 2;
    }
    const long count = std::atol(argv[1]), width = std::atol(argv[2]), height = std::atol(argv[3]);
    const long frames = argc == 6 ? std::atol(argv[5]) : 1;
    if (count < 0 || count > 99999 || width < 1 || width > 32767 || height < 1 || height > 32767 || frames < 1 ||
        frames > 1000) {
        std::fputs("bench_workload: COUNT must be 0-99999, WIDTH and HEIGHT 1-32767, FRAMES 1-1000\n", stderr);
        return 2;
    }
    std::vector<gafbuild::Entry> entries(static_cast<std::size_t>(count));
    std::uint64_t state = 0x9E3779B97F4A7C15u;
    char name[8];
    for (std::size_t i = 0; i < entries.size(); ++i) {
        std::snprintf(name, sizeof name, "e%05zu", i);
        entries[i].name = name;
        for (long f = 0; f < frames; ++f) {
            gafbuild::Frame frame;
            frame.Width = static_cast<std::int16_t>(width);
            frame.Height = static_cast<std::int16_t>(height);
            frame.pixels.resize(static_cast<std::size_t>(width * height));
            for (std::uint8_t& pixel : frame.pixels) {
                state = state * 6364136223846793005u + 1442695040888963407u;
                pixel = static_cast<std::uint8_t>(state >> 56);
            }
            entries[i].frames.push_back(std::move(frame));
        }
    }
    if (!gafbuild::save(argv[4], gafbuild::build_gaf(entries))) {
        std::perror(argv[4]);
        return 1;
    }
    return 0;
}
