// The builder's command line: --out PATH and --work PATH, also written --out=PATH.
#pragma once

#include <optional>
#include <span>
#include <string>

#include "result.h"

namespace tarnquill {

struct CommandLine {
    std::optional<std::string> out; // as given; relative to the current directory
    std::optional<std::string> work;
};

inline constexpr std::string_view usage_text =
    "Usage: build-online [--out PATH] [--work PATH]\n"
    "  --out PATH   setup executable to write "
    "(default: release/TARNQUILL-Setup-<version>-online.exe)\n"
    "  --work PATH  build folder (default: release/build)\n";

// Fails with the usage text for anything but the two options, each given once with a value.
Result<CommandLine> parse_command_line(std::span<const std::string> arguments);

} // namespace tarnquill
