// The resource set of the setup executable, in the order it is written to setup.res.
#pragma once

#include <span>

#include "byte_buffer.h"
#include "release_version.h"
#include "result.h"

namespace tarnquill {

constexpr std::uint16_t payload_resource_id = 2000;

// Empty entry, payload (RT_RCDATA 2000), icons (RT_ICON 101..), icon group (RT_GROUP_ICON 101),
// manifest (RT_MANIFEST 1), version record (RT_VERSION 1); every entry in language 0.
Result<Bytes> setup_resources(std::span<const std::uint8_t> payload,
                              std::span<const std::uint8_t> ico, const ReleaseVersion& version);

} // namespace tarnquill
