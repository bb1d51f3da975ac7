// Whole-file reads and writes with errors that name the file.
#pragma once

#include <filesystem>
#include <span>

#include "byte_buffer.h"
#include "result.h"

namespace tarnquill {

Result<Bytes> read_file_bytes(const std::filesystem::path& path);

// Creates or replaces the file.
Status write_file_bytes(const std::filesystem::path& path, std::span<const std::uint8_t> data);

} // namespace tarnquill
