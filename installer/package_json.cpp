#include "package_json.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <fstream>
#include <sstream>

#include <nlohmann/json.hpp>

namespace tarnquill {
namespace {

constexpr std::string_view address_member = "releaseDownloadUrl";

std::string replaced(std::string text, std::string_view placeholder, std::string_view value) {
    for (auto at = text.find(placeholder); at != std::string::npos;
         at = text.find(placeholder, at + value.size())) {
        text.replace(at, placeholder.size(), value);
    }
    return text;
}

std::string percent_encoded(std::string_view text) {
    static constexpr char hex[] = "0123456789ABCDEF";
    std::string encoded;
    for (const char c : text) {
        const auto byte = static_cast<unsigned char>(c);
        if ((byte >= 'A' && byte <= 'Z') || (byte >= 'a' && byte <= 'z') ||
            (byte >= '0' && byte <= '9') || c == '-' || c == '.' || c == '_' || c == '~') {
            encoded.push_back(c);
        } else {
            encoded += {'%', hex[byte >> 4], hex[byte & 0xF]};
        }
    }
    return encoded;
}

bool printable_without_spaces(std::string_view text) {
    return std::all_of(text.begin(), text.end(), [](char c) { return c > ' ' && c < 0x7F; });
}

} // namespace

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

std::string ReleaseAddress::url(std::string_view version, std::string_view file_name) const {
    return replaced(replaced(url_template, "{version}", version), "{file}",
                    percent_encoded(file_name));
}

Result<ReleaseAddress> read_release_address(const std::filesystem::path& root) {
    auto document = read_package_json(root);
    if (!document) {
        return document.error();
    }
    const std::string member(address_member);
    const auto refuse = [&](const std::string& what) {
        return Error{"The \"" + member + "\" member of " + (root / "package.json").string() + " " +
                     what +
                     "; the package manager manifest takes the setup's download address from "
                     "it. No setup executable was written."};
    };
    if (!document->is_object() || !document->contains(member)) {
        return refuse("is missing");
    }
    const auto& value = (*document)[member];
    if (!value.is_string()) {
        return refuse("is not a text");
    }
    auto text = value.get<std::string>();
    if (!text.starts_with("https://") || !printable_without_spaces(text)) {
        return refuse("is not an https:// address of printable ASCII without spaces");
    }
    if (text.find("{file}") == std::string::npos) {
        return refuse("has no {file} where the file's name goes");
    }
    return ReleaseAddress{std::move(text)};
}

} // namespace tarnquill
