// The payload archive: the packed source tree as a ZIP held in memory.
#pragma once

#include <filesystem>
#include <string>

#include "byte_buffer.h"
#include "result.h"

namespace tarnquill {

// Top folder of every member: "TARNQUILL-v<version>/".
std::string payload_top_folder(const std::string& version_text);

// Packs every file the packing rules let through, in packing order.
Result<Bytes> make_payload(const std::filesystem::path& root, const std::string& version_text);

} // namespace tarnquill
