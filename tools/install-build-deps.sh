#!/usr/bin/env bash
# Debian packages that building the C++ tools and the setup executable needs, and
# osslsigncode and python3, with which tools/sign-setup.sh signs a release and rewrites its bill
# of materials.
set -euo pipefail
here=$(dirname "$0")
"$here/apt-ensure.sh" cmake make g++ clang-19 lld-19 llvm-19 \
    zlib1g-dev libssl-dev nlohmann-json3-dev libgtest-dev googletest \
    git osslsigncode python3
