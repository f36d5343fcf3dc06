// zeftil::encode_row alone: one row of palette indices expanded into the
// file's blue-green-red bytes, reported as time per pixel. The widths are the
// workloads' (16, 256, 2048) and, for BMP, an odd one whose rows take
// alignment bytes.
#include <benchmark/benchmark.h>

#include <cstdint>
#include <span>
#include <vector>

#include "image/image.h"

namespace {

void expand(benchmark::State& state, zeftil::OutputFormat format) {
    const auto width = static_cast<std::size_t>(state.range(0));
    constexpr std::size_t kRows = 64;  // the rows cycle, as a frame's rows would, and stay in cache
    std::vector<std::uint8_t> indices(width * kRows);
    std::uint32_t seed = 12345;
    for (std::uint8_t& index : indices) index = static_cast<std::uint8_t>((seed = seed * 1103515245 + 12345) >> 24);
    std::vector<std::uint8_t> row(zeftil::row_size(format, width));

    std::size_t y = 0;
    for (auto _ : state) {
        zeftil::encode_row(format, std::span(indices).subspan(y * width, width), row);
        benchmark::DoNotOptimize(row.data());
        benchmark::ClobberMemory();
        y = (y + 1) % kRows;
    }
    // Seconds per pixel, printed with an SI prefix: "310ps" is 0.31 ns a pixel.
    const double pixels = static_cast<double>(state.iterations()) * static_cast<double>(width);
    state.counters["per_pixel"] = benchmark::Counter(pixels, benchmark::Counter::kIsRate | benchmark::Counter::kInvert);
}

}  // namespace

BENCHMARK_CAPTURE(expand, tga, zeftil::OutputFormat::tga)->Arg(16)->Arg(256)->Arg(2048);
BENCHMARK_CAPTURE(expand, bmp, zeftil::OutputFormat::bmp)->Arg(16)->Arg(256)->Arg(2047)->Arg(2048);
