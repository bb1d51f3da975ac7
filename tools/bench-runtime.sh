#!/usr/bin/env bash
# Benchmark of the runtime download: Ensure-ElectronRuntime from an empty .runtime folder
# (download over HTTP on 127.0.0.1, SHA-256, unpack) against curl + sha256sum + unzip on the
# same archive from the same server, in the same run. Prints both times and their ratio.
# Target: the ratio is at most 2.
#
# Usage: tools/bench-runtime.sh [ROUNDS] [BULK_BYTES]
#   ROUNDS      rounds of each side, alternating (default 3); the medians are compared
#   BULK_BYTES  size of the archive's large member (default 120000000, an archive of about 120 MB)
# Scratch goes to release/scratch/bench-runtime and is removed at the end.
set -euo pipefail

root=$(cd "$(dirname "$0")/.." && pwd)
pwsh="${TARNQUILL_PWSH:-$root/release/tools/pwsh/pwsh}"
rounds="${1:-3}"
bulk="${2:-120000000}"
export TARNQUILL_RELEASE="${TARNQUILL_RELEASE:-$root/release}"
support="$root/tests/ps/support/FakeRuntime.ps1"

for tool in curl sha256sum unzip /usr/bin/python3; do
    command -v "$tool" >/dev/null || { echo "bench-runtime: $tool is missing" >&2; exit 2; }
done
[ -x "$pwsh" ] || { echo "bench-runtime: PowerShell is missing at $pwsh; run ./test.sh once" >&2; exit 2; }

scratch="$TARNQUILL_RELEASE/scratch/bench-runtime/run-$$"
mkdir -p "$scratch"
server_pid=""
cleanup() {
    if [ -n "$server_pid" ]; then kill "$server_pid" 2>/dev/null || true; fi
    rm -rf "$scratch"
}
trap cleanup EXIT

echo "Making a fake runtime archive with a $bulk-byte member..."
read -r archive digest < <("$pwsh" -NoProfile -NonInteractive -Command "
    Set-StrictMode -Version Latest
    \$ErrorActionPreference = 'Stop'
    . '$support'
    \$a = Get-FakeElectronArchive -BulkBytes $bulk
    '{0} {1}' -f \$a.Path, \$a.Sha256
")
size=$(stat -c %s "$archive")
echo "Archive: $archive ($size bytes, sha256 $digest)"

/usr/bin/python3 "$root/tests/ps/support/fake_runtime_server.py" --archive "$archive" \
    --log "$scratch/requests.log" --port-file "$scratch/port" --parent-pid $$ &
server_pid=$!
for _ in $(seq 1 200); do [ -s "$scratch/port" ] && break; sleep 0.05; done
[ -s "$scratch/port" ] || { echo "bench-runtime: the server did not start" >&2; exit 1; }
base="http://127.0.0.1:$(cat "$scratch/port")/archive"
url="$base/electron/electron/releases/download/v43.4.1/electron-v43.4.1-win32-x64.zip"

now() { date +%s.%N; }

baseline_round() {
    local dir="$scratch/baseline"
    rm -rf "$dir"; mkdir -p "$dir/out"
    local start end
    start=$(now)
    curl --silent --show-error --fail --output "$dir/archive.zip" "$url"
    echo "$digest  $dir/archive.zip" | sha256sum --check --quiet -
    unzip -q "$dir/archive.zip" -d "$dir/out"
    end=$(now)
    [ -f "$dir/out/electron.exe" ] || { echo "bench-runtime: baseline did not unpack electron.exe" >&2; exit 1; }
    awk -v a="$start" -v b="$end" 'BEGIN { printf "%.3f\n", b - a }'
}

# The script side: a sandbox tree whose runtime.ps1 copy is pinned to this archive and downloads
# from the local server. Each round is a fresh pwsh; the timed span is Ensure-ElectronRuntime
# alone (not the start of PowerShell), as a caller that has loaded runtime.ps1 sees it.
tree="$scratch/source tree"
"$pwsh" -NoProfile -NonInteractive -Command "
    Set-StrictMode -Version Latest
    \$ErrorActionPreference = 'Stop'
    . '$support'
    \$null = New-FakeRuntimeSourceTree -Path '$tree' -Sha256 '$digest' -PrimaryUrl '$base' -MirrorUrl (Get-FakeRuntimeRefusedUrl)
" >/dev/null

script_round() {
    rm -rf "$tree/.runtime"
    "$pwsh" -NoProfile -NonInteractive -Command "
        Set-StrictMode -Version Latest
        \$ErrorActionPreference = 'Stop'
        . (Join-Path -Path '$tree' -ChildPath 'scripts/runtime.ps1')
        \$clock = [Diagnostics.Stopwatch]::StartNew()
        \$runtime = Ensure-ElectronRuntime 6>\$null
        \$clock.Stop()
        if (-not (Test-Path -LiteralPath (Join-Path -Path \$runtime -ChildPath 'electron.exe'))) { throw 'no electron.exe' }
        '{0:F3}' -f \$clock.Elapsed.TotalSeconds
    "
}

median() { sort -g | awk '{ v[NR] = $1 } END { if (NR % 2) print v[(NR + 1) / 2]; else print (v[NR / 2] + v[NR / 2 + 1]) / 2 }'; }

baseline_times=()
script_times=()
for round in $(seq 1 "$rounds"); do
    b=$(baseline_round)
    s=$(script_round)
    baseline_times+=("$b")
    script_times+=("$s")
    printf 'round %d: curl+sha256sum+unzip %.3f s, Ensure-ElectronRuntime %.3f s\n' "$round" "$b" "$s"
done

baseline=$(printf '%s\n' "${baseline_times[@]}" | median)
script=$(printf '%s\n' "${script_times[@]}" | median)
ratio=$(awk -v a="$script" -v b="$baseline" 'BEGIN { printf "%.4f\n", a / b }')
printf 'archive: %d bytes\n' "$size"
printf 'baseline (curl + sha256sum + unzip), median: %.3f s\n' "$baseline"
printf 'Ensure-ElectronRuntime (download, hash, unpack), median: %.3f s\n' "$script"
printf 'ratio: %.2f (target <= 2.00)\n' "$ratio"
