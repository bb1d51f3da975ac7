// The application manifest of the setup executable: asInvoker, Windows 10/11 compatibility.
#pragma once

#include <string>

#include "byte_buffer.h"
#include "release_version.h"

namespace tarnquill {

// UTF-8, one line, no byte-order mark, no line end: 652 bytes for 0.15.0.
Bytes application_manifest(const ReleaseVersion& version);

} // namespace tarnquill
