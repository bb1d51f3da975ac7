#!/usr/bin/env bash
# Builds the C++ tools under release/ and makes the setup executable.
# Extra arguments pass through to the image builder (for example --out PATH).
set -euo pipefail
root=$(cd "$(dirname "$0")" && pwd)
cd "$root"
tools/install-build-deps.sh
# Payload member times are capped at the last commit and written in UTC, so every clone of one
# commit builds the same bytes, whenever and wherever it is built. A tree that is not itself a
# git checkout (an unpacked source archive) keeps the files' own times.
if [ -z "${SOURCE_DATE_EPOCH+set}" ] && [ -e "$root/.git" ]; then
    if [ "$(git rev-parse --show-toplevel 2>/dev/null)" == "$(pwd -P)" ] &&
        commit_time=$(git log -1 --format=%ct 2>/dev/null) && [ -n "$commit_time" ]; then
        export SOURCE_DATE_EPOCH="$commit_time"
        echo "SOURCE_DATE_EPOCH=$SOURCE_DATE_EPOCH, the time of commit $(git rev-parse --short HEAD)"
    else
        echo "git could not read the last commit of this tree; payload member times follow the" \
            "files, so this build will not match another clone's." >&2
    fi
fi
cmake -S "$root" -B "$root/release/cmake" -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build "$root/release/cmake" --parallel "$(nproc)"
if [ -x "$root/release/bin/build-online" ]; then
    PATH="/usr/lib/llvm-19/bin:$PATH" "$root/release/bin/build-online" "$@"
else
    echo "The image builder is not part of this tree yet; no setup executable was made." >&2
fi
