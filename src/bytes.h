// Little-endian integers in byte buffers: the only way the program reads or
// writes a multi-byte field. Callers check that the bytes exist first.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>

namespace zeftil {

inline std::uint16_t get_u16(std::span<const std::uint8_t> b, std::size_t at) {
    return static_cast<std::uint16_t>(b[at] | (b[at + 1] << 8));
}

inline std::int16_t get_i16(std::span<const std::uint8_t> b, std::size_t at) {
    return static_cast<std::int16_t>(get_u16(b, at));
}

inline std::uint32_t get_u32(std::span<const std::uint8_t> b, std::size_t at) {
    return static_cast<std::uint32_t>(b[at]) | static_cast<std::uint32_t>(b[at + 1]) << 8 |
           static_cast<std::uint32_t>(b[at + 2]) << 16 | static_cast<std::uint32_t>(b[at + 3]) << 24;
}

inline std::int32_t get_i32(std::span<const std::uint8_t> b, std::size_t at) {
    return static_cast<std::int32_t>(get_u32(b, at));
}

inline void put_u16(std::span<std::uint8_t> b, std::size_t at, std::uint32_t v) {
    b[at] = static_cast<std::uint8_t>(v);
    b[at + 1] = static_cast<std::uint8_t>(v >> 8);
}

inline void put_u32(std::span<std::uint8_t> b, std::size_t at, std::uint32_t v) {
    b[at] = static_cast<std::uint8_t>(v);
    b[at + 1] = static_cast<std::uint8_t>(v >> 8);
    b[at + 2] = static_cast<std::uint8_t>(v >> 16);
    b[at + 3] = static_cast<std::uint8_t>(v >> 24);
}

}  // namespace zeftil
