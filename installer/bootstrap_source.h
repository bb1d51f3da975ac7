// Prepares the bootstrap source for one release: the version placeholder becomes the version.
#pragma once

#include <string>
#include <string_view>

namespace tarnquill {

// The placeholder "@VERSION@" as it stands in installer/bootstrap.cpp.
inline constexpr std::string_view version_placeholder = "@VERSION@";

// Replaces every placeholder by `version_text`; nothing else changes.
std::string prepare_bootstrap_source(std::string_view source, std::string_view version_text);

} // namespace tarnquill
