// The VS_VERSIONINFO record of the setup executable, built as a tree of version blocks.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string_view>
#include <vector>

#include "byte_buffer.h"
#include "release_version.h"

namespace tarnquill {

enum class BlockType : std::uint16_t { binary = 0, text = 1 };

// One version block: header, key, alignment, value, alignment and children (each child is
// aligned after itself). `value_length` overrides the derived wValueLength.
Bytes version_block(std::u16string_view key, std::span<const std::uint8_t> value = {},
                    const std::vector<Bytes>& children = {}, BlockType type = BlockType::text,
                    std::optional<std::uint16_t> value_length = std::nullopt);

// The 52-byte VS_FIXEDFILEINFO for the version.
Bytes fixed_file_info(const ReleaseVersion& version);

// The whole record: 712 bytes for 0.15.0.
Bytes version_resource(const ReleaseVersion& version);

// Default setup executable name, "TARNQUILL-Setup-<version>-online.exe".
std::string setup_file_name(const std::string& version_text);

} // namespace tarnquill
