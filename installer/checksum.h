// SHA-256 digests (of the setup executable and of each packed file) and the one-line checksum
// file beside the setup executable.
#pragma once

#include <filesystem>
#include <span>
#include <string>

#include "result.h"

namespace tarnquill {

// 64 lower-case hexadecimal digits.
Result<std::string> sha256_hex(std::span<const std::uint8_t> data);

// The output path with its extension replaced by ".exe.sha256" (appended when it has none).
std::filesystem::path checksum_path(const std::filesystem::path& output);

// "<digest>  <file name>\n"
std::string checksum_line(const std::string& digest, const std::filesystem::path& output);

} // namespace tarnquill
