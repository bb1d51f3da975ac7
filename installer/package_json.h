// package.json at the source tree root: the file that names the release, its maker, its licence
// and the address its files are published at.
#pragma once

#include <filesystem>
#include <string>
#include <string_view>

#include <nlohmann/json_fwd.hpp>

#include "result.h"

namespace tarnquill {

// Reads `package.json` under `root` and parses it as JSON. Fails, naming the file, when it
// cannot be read or is not JSON.
Result<nlohmann::json> read_package_json(const std::filesystem::path& root);

// Where a release's files are downloaded from: the template in package.json's
// "releaseDownloadUrl", in which every "{version}" stands for the release version and every
// "{file}" for a file's name.
struct ReleaseAddress {
    std::string url_template;

    // The template with the version and the file name put in; the name percent-encoded except
    // for the characters a URL path carries as they are (ASCII letters, digits, "-._~").
    std::string url(std::string_view version, std::string_view file_name) const;
};

// Reads "releaseDownloadUrl" from package.json under `root`. Fails, naming the file and the
// member, when it is missing, is not a text, does not begin with "https://", holds anything but
// printable ASCII without spaces, or has no "{file}" (every release file would share one
// address).
Result<ReleaseAddress> read_release_address(const std::filesystem::path& root);

} // namespace tarnquill
