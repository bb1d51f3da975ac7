#!/usr/bin/env bash
# Makes the shared Wine prefix (release/wine/prefix unless WINEPREFIX says otherwise) once;
# exits 0 when it is ready. Safe to run again and from several tests at once.
set -euo pipefail
source "$(dirname "$0")/lib.sh"
if ! wine_prefix_ensure "$WINEPREFIX"; then
    echo "Could not create the Wine prefix at $WINEPREFIX" >&2
    exit 1
fi
echo "Wine prefix ready: $WINEPREFIX"
