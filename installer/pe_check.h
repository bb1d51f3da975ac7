// Checks a linked setup executable: PE signature, x64 machine, and the payload archive intact.
#pragma once

#include <span>
#include <string>

#include "result.h"

namespace tarnquill {

// The checks run in order and stop at the first that fails. A payload that does not occur
// in the image fails with "Embedded ZIP did not survive linking".
Status verify_setup_image(std::span<const std::uint8_t> image,
                          std::span<const std::uint8_t> payload, const std::string& version_text);

} // namespace tarnquill
