#include "release_version.h"

#include <vector>

#include <nlohmann/json.hpp>

#include "package_json.h"

namespace tarnquill {
namespace {

bool is_digit(char c) {
    return c >= '0' && c <= '9';
}

// Splits "a.b.c" into its three runs; empty when the text has any other shape.
std::vector<std::string_view> digit_runs(std::string_view text) {
    std::vector<std::string_view> runs;
    std::size_t start = 0;
    for (std::size_t i = 0; i <= text.size(); ++i) {
        if (i == text.size() || text[i] == '.') {
            runs.push_back(text.substr(start, i - start));
            start = i + 1;
        } else if (!is_digit(text[i])) {
            return {};
        }
    }
    if (runs.size() != 3) {
        return {};
    }
    for (auto run : runs) {
        if (run.empty()) {
            return {};
        }
    }
    return runs;
}

// Decimal value of a digit run, or -1 when it does not fit 16 bits.
long run_value(std::string_view run) {
    long value = 0;
    for (char c : run) {
        value = value * 10 + (c - '0');
        if (value > 0xFFFF) {
            return -1;
        }
    }
    return value;
}

// Leading zeros could make the text any length. Longer texts would overflow the bootstrap's
// fixed path buffers (the work-folder name carries the version) and the 16-bit lengths of the
// version record, and give a setup file name longer than a file system allows.
constexpr std::size_t longest_version_text = 200;

} // namespace

Result<ReleaseVersion> parse_release_version(std::string_view text) {
    auto runs = digit_runs(text);
    if (runs.empty()) {
        return Error{"Invalid version"};
    }
    if (text.size() > longest_version_text) {
        return Error{"Invalid version: the text is " + std::to_string(text.size()) +
                     " characters long, more than the " + std::to_string(longest_version_text) +
                     " that the setup file name and the bootstrap's paths can hold"};
    }
    long values[3];
    for (int i = 0; i < 3; ++i) {
        values[i] = run_value(runs[i]);
        if (values[i] < 0) {
            return Error{"Invalid version: each part of \"" + std::string(text) +
                         "\" must be at most 65535 to fit the file version fields"};
        }
    }
    return ReleaseVersion{std::string(text), static_cast<std::uint16_t>(values[0]),
                          static_cast<std::uint16_t>(values[1]),
                          static_cast<std::uint16_t>(values[2])};
}

Result<ReleaseVersion> read_release_version(const std::filesystem::path& root) {
    auto document = read_package_json(root);
    if (!document) {
        return document.error();
    }
    const auto path = root / "package.json";
    if (!document->is_object() || !document->contains("version")) {
        return Error{path.string() + " has no \"version\" member."};
    }
    const auto& version = (*document)["version"];
    if (!version.is_string()) {
        return Error{"The \"version\" member of " + path.string() + " is not a text."};
    }
    return parse_release_version(version.get<std::string>());
}

} // namespace tarnquill
