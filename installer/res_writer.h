// The Windows 32-bit resource (.res) file format: 32-byte headers with numeric type and name.
#pragma once

#include <cstdint>
#include <span>

#include "byte_buffer.h"

namespace tarnquill {

namespace resource_type {
constexpr std::uint16_t icon = 3;
constexpr std::uint16_t rcdata = 10;
constexpr std::uint16_t group_icon = 14;
constexpr std::uint16_t version = 16;
constexpr std::uint16_t manifest = 24;
} // namespace resource_type

constexpr std::uint32_t res_header_size = 32;
constexpr std::uint16_t res_memory_flags = 0x1030; // moveable, pure, discardable

// One entry: header, data, zero bytes up to a multiple of 4.
Bytes res_entry(std::uint16_t type, std::uint16_t id, std::span<const std::uint8_t> data,
                std::uint16_t language = 0);

// The all-zero entry that opens every .res file.
Bytes res_empty_entry();

} // namespace tarnquill
