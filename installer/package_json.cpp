#include "package_json.h"

#include <cerrno>
#include <cstring>
#include <fstream>
#include <sstream>

#include <nlohmann/json.hpp>

namespace tarnquill {

Result<nlohmann::json> read_package_json(const std::filesystem::path& root) {
    const auto path = root / "package.json";
    std::ifstream in(path, std::ios::binary);
    if (!in) {
        return Error{"Cannot read " + path.string() + ": " + std::strerror(errno)};
    }
    std::stringstream content;
    content << in.rdbuf();
    if (in.bad()) {
        return Error{"Cannot read " + path.string() + ": read error."};
    }
    try {
        return nlohmann::json::parse(content.str());
    } catch (const nlohmann::json::exception& e) {
        return Error{"Cannot parse " + path.string() + " as JSON: " + e.what()};
    }
}

} // namespace tarnquill
