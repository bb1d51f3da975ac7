// Reads back a ZIP archive held in memory: every member inflated and checked against its CRC-32.
#pragma once

#include <map>
#include <span>
#include <string>

#include "byte_buffer.h"
#include "result.h"

namespace tarnquill {

// Member name to decompressed bytes, after every CRC-32 matched.
using ZipContents = std::map<std::string, Bytes>;

Result<ZipContents> read_zip(std::span<const std::uint8_t> archive);

} // namespace tarnquill
