// The Electron runtime that the installation scripts download at install time, as
// scripts/runtime.ps1 pins it. The script is the one place that names the version, the archive's
// SHA-256 and the two download hosts; the builder reads them from it and keeps no copy.
#pragma once

#include <filesystem>
#include <string>
#include <string_view>
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
};

// The value of the one line `<indent>$name = '<value>'` in `script`. Fails when no line sets
// `name`, when more than one does, or when the line holds anything but one single-quoted value.
Result<std::string> single_quoted_constant(std::string_view script, std::string_view name);

// Reads the pin from scripts/runtime.ps1 under `root`. Errors name the file and the constant.
Result<RuntimePin> read_runtime_pin(const std::filesystem::path& root);

} // namespace tarnquill
