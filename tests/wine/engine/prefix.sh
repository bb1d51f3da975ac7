#!/usr/bin/env bash
# Makes the Wine prefix with the real PowerShell engine as Windows PowerShell once; exits 0 when
# it is ready. Safe to run again and from several tests at once.
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
source "$here/../lib.sh"
source "$here/engine.sh"
if ! engine_ensure; then
    echo "Could not make the PowerShell engine prefix at $engine_prefix" >&2
    exit 1
fi
echo "PowerShell engine prefix ready: $engine_prefix"
