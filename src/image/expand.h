// The ways encode_row can expand a row of palette indices. encode_row takes
// the fastest one this processor runs, chosen once; the tests and the
// benchmark call each one directly through the encode_row below. Internal to
// the writers: nothing else picks a path.
#pragma once

#include <cstdint>
#include <span>

#include "image/image.h"

namespace zeftil {

enum class ExpandPath : std::uint8_t {
    scalar,  // one pixel at a time, on any processor
    avx2,    // eight pixels at a time, x86 processors with AVX2 only
    avx512,  // sixty-four at a time, x86 processors with AVX-512 VBMI only
};

// Whether this build, on this processor, can take `path`.
bool can_run(ExpandPath path);

// encode_row by `path`, which must be one can_run accepts.
void encode_row(ExpandPath path, OutputFormat format, std::span<const std::uint8_t> indices,
                std::span<std::uint8_t> out);

}  // namespace zeftil
