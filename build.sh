#!/usr/bin/env bash
# Builds the C++ tools under release/ and makes the setup executable.
# Extra arguments pass through to the image builder (for example --out PATH).
set -euo pipefail
root=$(cd "$(dirname "$0")" && pwd)
cd "$root"
tools/install-build-deps.sh
cmake -S "$root" -B "$root/release/cmake" -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build "$root/release/cmake" --parallel "$(nproc)"
if [ -x "$root/release/bin/build-online" ]; then
    PATH="/usr/lib/llvm-19/bin:$PATH" "$root/release/bin/build-online" "$@"
else
    echo "The image builder is not part of this tree yet; no setup executable was made." >&2
fi
