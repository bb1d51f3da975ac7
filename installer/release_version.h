// The release version: the "version" member of package.json, three runs of ASCII digits.
#pragma once

#include <cstdint>
#include <filesystem>
#include <string>
#include <string_view>

#include "result.h"

namespace tarnquill {

struct ReleaseVersion {
    std::string text;        // as written, e.g. "0.15.0" or "01.2.3"
    std::uint16_t major = 0; // decimal value of the first run
    std::uint16_t minor = 0;
    std::uint16_t patch = 0;

    // The text followed by ".0": the four-part form of file version and manifest.
    std::string four_part() const { return text + ".0"; }
};

// Accepts exactly digits '.' digits '.' digits; each part must fit 16 bits and the whole text
// at most 200 characters (leading zeros included).
Result<ReleaseVersion> parse_release_version(std::string_view text);

// Reads `package.json` under `root` and parses its "version" member.
Result<ReleaseVersion> read_release_version(const std::filesystem::path& root);

} // namespace tarnquill
