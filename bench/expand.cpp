// zeftil::encode_row alone: one row of palette indices expanded into the
// file's blue-green-red bytes, reported as time per pixel, by each way of
// expanding it (scalar, avx2, avx512: a path this processor cannot take is reported
// as skipped) and by the one encode_row picks (fastest). The widths are the
// workloads' (16, 256, 2048) and, for BMP, an odd one whose rows take
// alignment bytes and end in a partial eight-pixel step.
#include <benchmark/benchmark.h>

#include <cstdint>
#include <span>
#include <vector>

#include "image/expand.h"
#include "image/image.h"

namespace {

// path: a zeftil::ExpandPath, or -1 for the one encode_row picks.
void expand(benchmark::State& state, zeftil::OutputFormat format, int path) {
    if (path >= 0 && !zeftil::can_run(static_cast<zeftil::ExpandPath>(path))) {
        state.SkipWithError("this processor cannot take this path");
        return;
    }
    const auto width = static_cast<std::size_t>(state.range(0));
    constexpr std::size_t kRows = 64;  // the rows cycle, as a frame's rows would, and stay in cache
    std::vector<std::uint8_t> indices(width * kRows);
    std::uint32_t seed = 12345;
    for (std::uint8_t& index : indices) index = static_cast<std::uint8_t>((seed = seed * 1103515245 + 12345) >> 24);
    std::vector<std::uint8_t> row(zeftil::row_size(format, width));

    std::size_t y = 0;
    for (auto _ : state) {
        const auto row_indices = std::span(indices).subspan(y * width, width);
        if (path < 0)
            zeftil::encode_row(format, row_indices, row);
        else
            zeftil::encode_row(static_cast<zeftil::ExpandPath>(path), format, row_indices, row);
        benchmark::DoNotOptimize(row.data());
        benchmark::ClobberMemory();
        y = (y + 1) % kRows;
    }
    // Seconds per pixel, printed with an SI prefix: "310ps" is 0.31 ns a pixel.
    const double pixels = static_cast<double>(state.iterations()) * static_cast<double>(width);
    state.counters["per_pixel"] = benchmark::Counter(pixels, benchmark::Counter::kIsRate | benchmark::Counter::kInvert);
}

}  // namespace

constexpr int kScalar = static_cast<int>(zeftil::ExpandPath::scalar), kAvx2 = static_cast<int>(zeftil::ExpandPath::avx2),
              kAvx512 = static_cast<int>(zeftil::ExpandPath::avx512);
BENCHMARK_CAPTURE(expand, tga_scalar, zeftil::OutputFormat::tga, kScalar)->Arg(16)->Arg(256)->Arg(2048);
BENCHMARK_CAPTURE(expand, tga_avx2, zeftil::OutputFormat::tga, kAvx2)->Arg(16)->Arg(256)->Arg(2048);
BENCHMARK_CAPTURE(expand, tga_avx512, zeftil::OutputFormat::tga, kAvx512)->Arg(16)->Arg(256)->Arg(2048);
BENCHMARK_CAPTURE(expand, tga_fastest, zeftil::OutputFormat::tga, -1)->Arg(16)->Arg(256)->Arg(2048);
BENCHMARK_CAPTURE(expand, bmp_scalar, zeftil::OutputFormat::bmp, kScalar)->Arg(16)->Arg(256)->Arg(2047)->Arg(2048);
BENCHMARK_CAPTURE(expand, bmp_avx2, zeftil::OutputFormat::bmp, kAvx2)->Arg(16)->Arg(256)->Arg(2047)->Arg(2048);
BENCHMARK_CAPTURE(expand, bmp_avx512, zeftil::OutputFormat::bmp, kAvx512)->Arg(16)->Arg(256)->Arg(2047)->Arg(2048);
BENCHMARK_CAPTURE(expand, bmp_fastest, zeftil::OutputFormat::bmp, -1)->Arg(16)->Arg(256)->Arg(2047)->Arg(2048);
