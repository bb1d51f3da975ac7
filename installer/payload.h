// The payload archive: the packed source tree as a ZIP held in memory.
#pragma once

#include <ctime>
#include <filesystem>
#include <optional>
#include <string>
#include <vector>

#include "byte_buffer.h"
#include "result.h"

namespace tarnquill {

// Top folder of every member: "TARNQUILL-v<version>/".
std::string payload_top_folder(const std::string& version_text);

// One member of the payload archive: its name and the SHA-256 of its uncompressed bytes.
struct PayloadMember {
    std::string name;
    std::string sha256;
};

struct Payload {
    Bytes archive;
    std::vector<PayloadMember> members; // in archive order
};

// Packs every file the packing rules let through, in packing order. Member times are the
// files' modification times in local time; with `source_date` (SOURCE_DATE_EPOCH) they are
// written in UTC, and a file modified after that instant is dated at that instant.
Result<Payload> make_payload(const std::filesystem::path& root, const std::string& version_text,
                             std::optional<std::time_t> source_date = std::nullopt);

} // namespace tarnquill
