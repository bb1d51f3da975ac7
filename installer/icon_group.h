// Splits an ICO file into its images and the RT_GROUP_ICON directory that names them.
#pragma once

#include <cstdint>
#include <span>
#include <vector>

#include "byte_buffer.h"
#include "result.h"

namespace tarnquill {

constexpr std::uint16_t first_icon_id = 101;

struct IconResources {
    std::vector<Bytes> images; // image i becomes RT_ICON first_icon_id + i
    Bytes group;               // 6-byte header plus one 14-byte entry per image
};

// Fails with "Not an ICO file" when the type field is not 1; also fails when the file is too
// short for its header, its directory or an image that the directory declares.
Result<IconResources> convert_icon(std::span<const std::uint8_t> ico);

} // namespace tarnquill
