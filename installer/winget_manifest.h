// The Windows package manager (winget) manifest of a release, in the multi-file form of manifest
// schema 1.28.0: a version file, an installer file and a default-locale file, in the folder
// winget/<package identifier>/<version> beside the setup executable, which `winget validate`,
// `winget install --manifest` and a pull request to a manifest repository take as they are.
// Written in a fixed order, with line feeds and without dates, so the same inputs always give the
// same bytes.
#pragma once

#include <filesystem>
#include <string>
#include <vector>

#include "product_identity.h"
#include "result.h"

namespace tarnquill {

struct WingetRelease {
    std::string version;          // release version: PackageVersion and DisplayVersion
    ProductIdentity product;      // Publisher, PackageName, License and ShortDescription
    std::string installer_url;    // where the setup executable is published
    std::string installer_sha256; // its SHA-256, 64 hexadecimal digits in either case
};

struct WingetManifestFile {
    std::string name; // inside the manifest folder
    std::string text;
};

// "winget/<package identifier>/<version>" in the output's folder.
std::filesystem::path winget_manifest_folder(const std::filesystem::path& output,
                                             const std::string& version);

// Fails, naming the member of `package_json` a value comes from, when a value that the schema
// requires is empty or outside the lengths the schema allows. The SHA-256 is not examined.
Status check_winget_release(const WingetRelease& release,
                            const std::filesystem::path& package_json);

// The version file, the installer file and the default-locale file, in that order. Each begins
// with the schema comment that editors and manifest repositories read, and ends in a line feed.
std::vector<WingetManifestFile> winget_manifest_files(const WingetRelease& release);

} // namespace tarnquill
