// The Electron runtime that the installation scripts download at install time, as
// scripts/runtime.ps1 pins it. The script is the one place that names the version, the archive's
// SHA-256 and the two download hosts; the builder reads them from it and keeps no copy.
#pragma once

#include <filesystem>
#include <string>
#include <vector>

#include "result.h"

namespace tarnquill {

inline const std::filesystem::path runtime_script_relative = "scripts/runtime.ps1";

struct RuntimePin {
    std::string version;      // $script:ElectronVersion
    std::string sha256;       // $script:ElectronSha256, 64 lower-case hexadecimal digits
    std::string primary_host; // $primaryHost, tried first
    std::string mirror_host;  // $mirrorHost

    // "electron-v<version>-win32-x64.zip", composed as the script composes $script:ElectronArchive.
    std::string archive() const;

    // The two download URLs in the order the script tries them, composed as
    // Get-ElectronDownloadUrls composes them.
    std::vector<std::string> download_urls() const;

    // The names under which advisory databases list this runtime: the npm package URL
    // "pkg:npm/electron@<version>" and the CPE 2.3 name of vendor "electronjs", product
    // "electron" and this version.
    std::string package_url() const;
    std::string cpe_name() const;
};

// Reads the pin from scripts/runtime.ps1 under `root`: each value from the one line
// `<indent><name> = '<value>'` that sets it. Fails, naming the file and the constant, when no line
// or more than one sets a name, when that line holds anything but one single-quoted value, when the
// version holds anything but ASCII letters, digits, dots and hyphens after a leading digit, or when
// the pin is not 64 lower-case hexadecimal digits.
Result<RuntimePin> read_runtime_pin(const std::filesystem::path& root);

} // namespace tarnquill
