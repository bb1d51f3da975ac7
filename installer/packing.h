// Which files of the source tree go into the payload archive, and in which order.
#pragma once

#include <filesystem>
#include <string>
#include <string_view>
#include <vector>

#include "result.h"

namespace tarnquill {

// The text from the name's last dot to its end; a leading dot does not count.
std::string_view file_extension(std::string_view file_name);

// True when a file at `relative_path` (forward slashes, relative to the tree root) is packed.
bool is_packed_path(std::string_view relative_path);

// True when a folder named `name` is left out with everything below it.
bool is_excluded_name(std::string_view name);

// Component-wise order: a/b before a.txt, a proper prefix first, code points compared.
bool path_precedes(std::string_view left, std::string_view right);

struct PackedFile {
    std::string relative_path; // forward slashes
    std::filesystem::path absolute_path;
};

// Walks the tree below `root` and returns the files the rules let through, in packing order.
// Links to folders are not followed; a link to a regular file counts as that file.
Result<std::vector<PackedFile>> list_packed_files(const std::filesystem::path& root);

} // namespace tarnquill
