#include "packing.h"

#include <algorithm>
#include <array>
#include <system_error>

namespace tarnquill {
namespace {

constexpr std::array<std::string_view, 8> excluded_names = {
    "node_modules", ".git", ".runtime", ".tarnquill-secrets",
    "release",      "dist", "data",     "__pycache__"};

constexpr std::array<std::string_view, 10> excluded_extensions = {
    ".exe", ".obj", ".lib", ".res", ".exp", ".log", ".bundle", ".patch", ".pfx", ".p12"};

constexpr std::string_view allowed_key_file = "config/update-public-key.pem";

template <typename List> bool contains(const List& list, std::string_view value) {
    return std::find(list.begin(), list.end(), value) != list.end();
}

std::vector<std::string_view> components(std::string_view path) {
    std::vector<std::string_view> parts;
    std::size_t start = 0;
    while (true) {
        const auto slash = path.find('/', start);
        parts.push_back(path.substr(start, slash - start));
        if (slash == std::string_view::npos) {
            return parts;
        }
        start = slash + 1;
    }
}

std::string_view last_component(std::string_view path) {
    const auto slash = path.rfind('/');
    return slash == std::string_view::npos ? path : path.substr(slash + 1);
}

// Byte order of UTF-8 text equals the order of its code points.
int compare_component(std::string_view left, std::string_view right) {
    const auto common = std::min(left.size(), right.size());
    for (std::size_t i = 0; i < common; ++i) {
        const auto a = static_cast<unsigned char>(left[i]);
        const auto b = static_cast<unsigned char>(right[i]);
        if (a != b) {
            return a < b ? -1 : 1;
        }
    }
    if (left.size() == right.size()) {
        return 0;
    }
    return left.size() < right.size() ? -1 : 1;
}

} // namespace

std::string_view file_extension(std::string_view file_name) {
    const auto dot = file_name.rfind('.');
    if (dot == std::string_view::npos || dot == 0) {
        return {};
    }
    return file_name.substr(dot);
}

bool is_excluded_name(std::string_view name) {
    return contains(excluded_names, name);
}

bool is_packed_path(std::string_view relative_path) {
    for (auto component : components(relative_path)) {
        if (is_excluded_name(component)) {
            return false;
        }
    }
    const auto name = last_component(relative_path);
    const auto extension = file_extension(name);
    if (contains(excluded_extensions, extension) || name.starts_with(".env")) {
        return false;
    }
    if ((extension == ".pem" || extension == ".key") && relative_path != allowed_key_file) {
        return false;
    }
    return true;
}

bool path_precedes(std::string_view left, std::string_view right) {
    const auto a = components(left);
    const auto b = components(right);
    const auto common = std::min(a.size(), b.size());
    for (std::size_t i = 0; i < common; ++i) {
        if (const int order = compare_component(a[i], b[i]); order != 0) {
            return order < 0;
        }
    }
    return a.size() < b.size();
}

Result<std::vector<PackedFile>> list_packed_files(const std::filesystem::path& root) {
    namespace fs = std::filesystem;
    std::vector<PackedFile> files;
    std::error_code error;
    fs::recursive_directory_iterator walk(root, fs::directory_options::none, error);
    if (error) {
        return Error{"Cannot list the source tree " + root.string() + ": " + error.message()};
    }
    for (; walk != fs::recursive_directory_iterator(); walk.increment(error)) {
        if (error) {
            break;
        }
        const auto& entry = *walk;
        const auto relative = entry.path().lexically_relative(root).generic_string();
        const auto name = entry.path().filename().string();
        std::error_code type_error;
        const bool is_link = entry.is_symlink(type_error);
        // Excluded folders are skipped whole, so outputs under release/ are never walked.
        if (entry.is_directory(type_error) && !is_link) {
            if (is_excluded_name(name)) {
                walk.disable_recursion_pending();
            }
            continue;
        }
        if (!entry.is_regular_file(type_error)) {
            continue; // folders reached through links, sockets, dangling links
        }
        if (is_packed_path(relative)) {
            files.push_back({relative, entry.path()});
        }
    }
    if (error) {
        return Error{"Cannot list the source tree " + root.string() + ": " + error.message()};
    }
    std::sort(files.begin(), files.end(), [](const PackedFile& a, const PackedFile& b) {
        return path_precedes(a.relative_path, b.relative_path);
    });
    return files;
}

} // namespace tarnquill
