// A temporary source tree for builder tests: made in the constructor, removed in the destructor.
#pragma once

#include <cstdint>
#include <cstdlib>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <stdexcept>
#include <string>
#include <vector>

#include <sys/time.h>

namespace tarnquill::test {

namespace fs = std::filesystem;

// Source tree of this repository: the real package.json, icon, bootstrap and import lists.
inline fs::path repository_root() {
    return fs::path(TARNQUILL_REPOSITORY_ROOT);
}

class TestTree {
  public:
    // The tree's root is a new temporary folder, or `leaf` inside one.
    explicit TestTree(const std::string& leaf = "") {
        std::string pattern = (fs::temp_directory_path() / "tarnquill-builder-XXXXXX").string();
        if (mkdtemp(pattern.data()) == nullptr) {
            throw std::runtime_error("cannot create a temporary folder");
        }
        base_ = pattern;
        root_ = leaf.empty() ? base_ : base_ / leaf;
        fs::create_directories(root_);
    }
    ~TestTree() {
        std::error_code ignored;
        fs::remove_all(base_, ignored);
    }
    TestTree(const TestTree&) = delete;
    TestTree& operator=(const TestTree&) = delete;

    const fs::path& root() const { return root_; }
    fs::path operator/(const fs::path& relative) const { return root_ / relative; }

    fs::path write(const fs::path& relative, const std::string& content) const {
        const auto path = root_ / relative;
        fs::create_directories(path.parent_path());
        std::ofstream(path, std::ios::binary) << content;
        return path;
    }

    fs::path write_bytes(const fs::path& relative, const std::vector<std::uint8_t>& data) const {
        const auto path = root_ / relative;
        fs::create_directories(path.parent_path());
        std::ofstream(path, std::ios::binary)
            .write(reinterpret_cast<const char*>(data.data()),
                   static_cast<std::streamsize>(data.size()));
        return path;
    }

    fs::path copy_from_repository(const fs::path& relative) const {
        const auto path = root_ / relative;
        fs::create_directories(path.parent_path());
        fs::copy_file(repository_root() / relative, path, fs::copy_options::overwrite_existing);
        return path;
    }

    // The package.json members a complete build needs besides the version.
    static std::string listing_members() {
        return R"("productName": "TARNQUILL", "author": "The TARNQUILL developers",
                  "description": "Diagnostics.", "license": "SEE LICENSE IN TERMS_OF_USE.md",
                  "releaseDownloadUrl": "https://example.test/v{version}/{file}")";
    }

    // The inputs a complete build needs, with the given release version.
    void make_buildable(const std::string& version) const {
        write("package.json", "{\n  \"name\": \"tarnquill\",\n  \"version\": \"" + version +
                                  "\",\n  " + listing_members() + "\n}\n");
        copy_from_repository("assets/tarnquill.ico");
        copy_from_repository("installer/bootstrap.cpp");
        copy_from_repository("installer/kernel32.def");
        copy_from_repository("installer/user32.def");
        copy_from_repository("scripts/runtime.ps1");
    }

    static void set_modified(const fs::path& path, std::time_t when) {
        const timeval times[2] = {{when, 0}, {when, 0}};
        utimes(path.c_str(), times);
    }

  private:
    fs::path base_;
    fs::path root_;
};

inline std::vector<std::uint8_t> read_bytes(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

inline std::string read_text(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

} // namespace tarnquill::test
