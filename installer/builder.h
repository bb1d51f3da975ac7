// One run of the image builder, from the packed payload to the verified, hashed executable.
#pragma once

#include <cstdint>
#include <ctime>
#include <filesystem>
#include <optional>
#include <string>

#include "release_version.h"
#include "result.h"

namespace tarnquill {

struct BuildRequest {
    std::filesystem::path root; // source tree root
    ReleaseVersion version;
    std::filesystem::path out;  // setup executable, absolute
    std::filesystem::path work; // build folder, absolute
    std::string out_display;    // how the summary names the output
    std::string search_path;    // where clang and lld-link are looked up (normally $PATH)
    std::filesystem::path fallback_tools_folder;
    std::optional<std::time_t> source_date; // SOURCE_DATE_EPOCH, when set
};

struct BuildSummary {
    std::string out_display;
    std::uintmax_t file_size = 0;
    std::uintmax_t payload_size = 0;
    std::string digest;
    std::string bill_of_materials_display; // named as the output is
    std::string winget_manifest_display;   // the manifest's folder, named as the output is
};

// Default output and build folder under the source tree root.
std::filesystem::path default_output(const std::filesystem::path& root,
                                     const ReleaseVersion& version);
std::filesystem::path default_work(const std::filesystem::path& root);

// Reads the runtime pin, the product's identity and the release's download address, creates the
// folders, packs, writes setup.res, makes the import libraries, prepares and compiles the
// bootstrap, links, verifies, and writes the checksum file, the bill of materials and the package
// manager manifest. Stops at the first failure and leaves whatever was written in place; a
// runtime pin, identity or address that cannot be read, or that does not fill the manifest,
// stops it before anything is created.
Result<BuildSummary> build_setup(const BuildRequest& request);

// The five summary lines.
std::string summary_text(const BuildSummary& summary);

} // namespace tarnquill
