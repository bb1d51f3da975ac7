#!/usr/bin/env bash
# Installs missing test tools, builds, and runs every test suite through CTest.
# Extra arguments pass through to ctest (for example -R pester -V).
set -euo pipefail
root=$(cd "$(dirname "$0")" && pwd)
cd "$root"
tools/install-test-deps.sh
cmake -S "$root" -B "$root/release/cmake" -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build "$root/release/cmake" --parallel "$(nproc)"
cd "$root/release/cmake"
exec ctest --output-on-failure --parallel 2 "$@"
