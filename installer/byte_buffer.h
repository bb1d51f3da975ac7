// Little-endian byte emission shared by the binary formats the builder writes.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string_view>
#include <vector>

namespace tarnquill {

using Bytes = std::vector<std::uint8_t>;

inline void put_u8(Bytes& out, std::uint8_t value) {
    out.push_back(value);
}

inline void put_u16(Bytes& out, std::uint16_t value) {
    out.push_back(static_cast<std::uint8_t>(value));
    out.push_back(static_cast<std::uint8_t>(value >> 8));
}

inline void put_u32(Bytes& out, std::uint32_t value) {
    for (int shift = 0; shift < 32; shift += 8) {
        out.push_back(static_cast<std::uint8_t>(value >> shift));
    }
}

inline void put_bytes(Bytes& out, std::span<const std::uint8_t> data) {
    out.insert(out.end(), data.begin(), data.end());
}

inline void put_text(Bytes& out, std::string_view text) {
    out.insert(out.end(), text.begin(), text.end());
}

// Number of zero bytes that bring `size` up to a multiple of 4.
inline std::size_t padding_to_4(std::size_t size) {
    return (4 - size % 4) % 4;
}

// Appends zero bytes up to a multiple of 4 of the buffer's length.
inline void align(Bytes& out) {
    out.insert(out.end(), padding_to_4(out.size()), 0);
}

inline std::uint16_t get_u16(std::span<const std::uint8_t> data, std::size_t offset) {
    return static_cast<std::uint16_t>(data[offset] | (data[offset + 1] << 8));
}

inline std::uint32_t get_u32(std::span<const std::uint8_t> data, std::size_t offset) {
    return static_cast<std::uint32_t>(data[offset]) |
           (static_cast<std::uint32_t>(data[offset + 1]) << 8) |
           (static_cast<std::uint32_t>(data[offset + 2]) << 16) |
           (static_cast<std::uint32_t>(data[offset + 3]) << 24);
}

} // namespace tarnquill
