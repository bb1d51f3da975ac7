// package.json at the source tree root: the file that names the release, its maker and its
// licence.
#pragma once

#include <filesystem>

#include <nlohmann/json_fwd.hpp>

#include "result.h"

namespace tarnquill {

// Reads `package.json` under `root` and parses it as JSON. Fails, naming the file, when it
// cannot be read or is not JSON.
Result<nlohmann::json> read_package_json(const std::filesystem::path& root);

} // namespace tarnquill
