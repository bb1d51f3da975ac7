#include "runtime_pin.h"

#include <algorithm>
#include <optional>
#include <string_view>
#include <utility>

#include "file_io.h"

namespace tarnquill {
namespace {

constexpr std::string_view version_name = "$script:ElectronVersion";
constexpr std::string_view sha256_name = "$script:ElectronSha256";
constexpr std::string_view primary_host_name = "$primaryHost";
constexpr std::string_view mirror_host_name = "$mirrorHost";

bool is_blank(char c) {
    return c == ' ' || c == '\t';
}

std::string_view trim_blanks(std::string_view text) {
    while (!text.empty() && is_blank(text.front())) {
        text.remove_prefix(1);
    }
    while (!text.empty() && (is_blank(text.back()) || text.back() == '\r')) {
        text.remove_suffix(1);
    }
    return text;
}

// The text after "<name> =" when `line` assigns to `name`, else nothing.
std::optional<std::string_view> assigned_text(std::string_view line, std::string_view name) {
    line = trim_blanks(line);
    if (!line.starts_with(name)) {
        return std::nullopt;
    }
    auto rest = trim_blanks(line.substr(name.size()));
    if (rest.empty() || rest.front() != '=') {
        return std::nullopt;
    }
    return trim_blanks(rest.substr(1));
}

// 'value' with no quote inside: the whole of a PowerShell single-quoted literal without escapes.
std::optional<std::string> single_quoted(std::string_view text) {
    if (text.size() < 2 || text.front() != '\'' || text.back() != '\'') {
        return std::nullopt;
    }
    const auto value = text.substr(1, text.size() - 2);
    if (value.find('\'') != std::string_view::npos) {
        return std::nullopt;
    }
    return std::string(value);
}

// A version such as "43.4.1" or "43.0.0-beta.2". These characters stand in a file name, a URL, a
// package URL and a CPE name without quoting or escaping in any of them.
bool is_plain_version(std::string_view text) {
    return !text.empty() && text.front() >= '0' && text.front() <= '9' &&
           std::all_of(text.begin(), text.end(), [](char c) {
               return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') ||
                      c == '.' || c == '-';
           });
}

bool is_lower_hex_sha256(std::string_view text) {
    return text.size() == 64 && std::all_of(text.begin(), text.end(), [](char c) {
               return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f');
           });
}

Error unusable_script(const std::string& problem) {
    return Error{problem +
                 ". The bill of materials takes the Electron runtime's version, SHA-256 and "
                 "download hosts from that file, one single-quoted value a line. No setup "
                 "executable was written."};
}

// The value of the one line that sets `name`; the error completes "<file> ...".
Result<std::string> single_quoted_constant(std::string_view script, std::string_view name) {
    std::vector<std::string_view> assignments;
    std::size_t start = 0;
    while (start <= script.size()) {
        const auto end = std::min(script.find('\n', start), script.size());
        if (auto text = assigned_text(script.substr(start, end - start), name)) {
            assignments.push_back(*text);
        }
        start = end + 1;
    }
    if (assignments.empty()) {
        return Error{"has no line that sets " + std::string(name)};
    }
    if (assignments.size() > 1) {
        return Error{"sets " + std::string(name) + " on " + std::to_string(assignments.size()) +
                     " lines, not on one"};
    }
    auto value = single_quoted(assignments.front());
    if (!value) {
        return Error{"sets " + std::string(name) + " to " + std::string(assignments.front()) +
                     ", not to one single-quoted value"};
    }
    return *value;
}

} // namespace

std::string RuntimePin::archive() const {
    return "electron-v" + version + "-win32-x64.zip";
}

std::vector<std::string> RuntimePin::download_urls() const {
    return {primary_host + "/electron/electron/releases/download/v" + version + "/" + archive(),
            mirror_host + "/projects/electron.mirror/files/v" + version + "/" + archive() +
                "/download"};
}

std::string RuntimePin::package_url() const {
    return "pkg:npm/electron@" + version;
}

std::string RuntimePin::cpe_name() const {
    return "cpe:2.3:a:electronjs:electron:" + version + ":*:*:*:*:*:*:*";
}

Result<RuntimePin> read_runtime_pin(const std::filesystem::path& root) {
    const auto path = root / runtime_script_relative;
    auto script = read_file_bytes(path);
    if (!script) {
        return unusable_script(script.error().message);
    }
    const std::string text(script->begin(), script->end());
    RuntimePin pin;
    const std::pair<std::string_view, std::string*> constants[] = {
        {version_name, &pin.version},
        {sha256_name, &pin.sha256},
        {primary_host_name, &pin.primary_host},
        {mirror_host_name, &pin.mirror_host}};
    for (const auto& [name, slot] : constants) {
        auto value = single_quoted_constant(text, name);
        if (!value) {
            return unusable_script(path.string() + " " + value.error().message);
        }
        *slot = std::move(*value);
    }
    if (!is_plain_version(pin.version)) {
        return unusable_script(path.string() + " sets " + std::string(version_name) + " to '" +
                               pin.version +
                               "', not to a version of ASCII letters, digits, dots and hyphens "
                               "that begins with a digit");
    }
    if (!is_lower_hex_sha256(pin.sha256)) {
        return unusable_script(path.string() + " sets " + std::string(sha256_name) + " to '" +
                               pin.sha256 + "', not to 64 lower-case hexadecimal digits");
    }
    return pin;
}

} // namespace tarnquill
