#!/usr/bin/env bash
# Timings of one installation on the real PowerShell engine under Wine (the prefix of the engine
# tests), from the consent to the start of the application, with a fake runtime archive of about
# 120 MB served over 127.0.0.1. install.ps1 runs from a sandbox tree in the user's temporary
# folder, as after the setup's hand-off; the answer "y" comes from a stand-in for Read-Host, and
# breakpoints with actions (no change to the scripts) note the time at each step:
#   download   Download-FileWithFallback until Get-FileHash
#   hash       Get-FileHash until the unpacking (Expand-Archive, or Expand-ElectronArchive)
#   unpack     the unpacking until the runtime is copied (the move into .runtime included)
#   assembly   copy, application files, icon (also shown alone), VERSION.txt
#   move       the move of the build folder into App-<version> and the file checks
#   register   shortcuts, uninstall entry, shell refresh, log
#   launch     Start-Process until the application wrote its start record
# and the number of C# compiles (assemblies Add-Type loaded) during the installation.
#
# Usage: tools/bench-engine-install.sh [ROUNDS] [BULK_BYTES] [READING_SECONDS]
#   ROUNDS           installations, each from nothing (default 3); every round is printed, then medians
#   BULK_BYTES       size of the archive's large member (default 120000000)
#   READING_SECONDS  how long the stand-in "reads" the consent screen before it answers (default 0,
#                    an answer at once). The times are taken from the answer on, so a reading time
#                    shows what work done during the reading saves the user afterwards.
# Needs what ./test.sh installs (PowerShell, Pester, Wine); makes the engine prefix if missing.
# Scratch goes to release/scratch/bench-engine-install and is removed at the end.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
rounds="${1:-3}"
bulk="${2:-120000000}"
reading="${3:-0}"
export TARNQUILL_RELEASE="${TARNQUILL_RELEASE:-$root/release}"
source "$root/tests/wine/lib.sh"
source "$root/tests/wine/engine/engine.sh"

scratch="$TARNQUILL_RELEASE/scratch/bench-engine-install"
user=$(id -un)
users="$engine_prefix/drive_c/users/$user"
tree="$users/Temp/TARNQUILL-bench-tree"
cleanup() {
    [ -n "${ENGINE_SERVER_PID:-}" ] && kill "$ENGINE_SERVER_PID" 2>/dev/null || true
    wine_reset
    rm -rf "$scratch" "$tree"
}
trap cleanup EXIT
rm -rf "$scratch"
mkdir -p "$scratch/serve"

echo "Making the engine prefix and a fake runtime archive with a $bulk-byte member..."
engine_ensure
engine_use
unset DISPLAY
digest=$(engine_fake_archive "$scratch/serve/archive.zip" "$bulk")
echo "Archive: $(stat -c %s "$scratch/serve/archive.zip") bytes"
engine_server_start "$scratch/server" "archive=$scratch/serve/archive.zip"
engine_sandbox_tree "$tree" "$digest" "$ENGINE_SERVER_URL/file/archive" "$ENGINE_SERVER_URL/file/archive"
export TARNQUILL_TEST_PS_RECORD="$(wine_path "$scratch")\\started.record"

cat >"$scratch/bench.ps1" <<'PS'
param([string]$Install, [string]$Marks, [double]$Reading)
$global:BenchMarks = New-Object -TypeName System.Collections.Generic.List[string]
function global:Add-BenchMark {
    param([string]$Name)
    $now = [DateTimeOffset]::UtcNow.ToUnixTimeMilliseconds() / 1000.0
    $global:BenchMarks.Add(('{0} {1:F3}' -f $Name, $now))
}
# Commands are found before cmdlets of the same name: this answers install.ps1's question.
function global:Read-Host {
    param([string]$Prompt)
    Start-Sleep -Milliseconds ([int]($Reading * 1000))
    Add-BenchMark -Name 'consent'
    return 'y'
}
$points = [ordered]@{
    'Download-FileWithFallback' = 'download'; 'Get-FileHash' = 'hash'; 'Expand-Archive' = 'unpack'; 'Expand-ElectronArchive' = 'unpack'
    'Copy-TarnquillFolderContent' = 'assembly'; '*set-executable-icon.ps1' = 'icon'
    'Write-TarnquillVersionNote' = 'version-note'; 'Start-TarnquillApplication' = 'launch'
}
foreach ($command in $points.Keys) {
    $name = $points[$command]
    $null = Set-PSBreakpoint -Command $command -Action ([scriptblock]::Create("Add-BenchMark -Name '$name'"))
}
$null = Set-PSBreakpoint -Variable 'builtItems' -Mode Write -Action { Add-BenchMark -Name 'move' }
$null = Set-PSBreakpoint -Variable 'desktopFolder' -Mode Write -Action { Add-BenchMark -Name 'register' }
# C# compiled by Add-Type is loaded from memory: an assembly without a file and not dynamic. The
# engine's own list of them, before and after, counts the compiles of the installation.
function global:Get-BenchCompiledAssemblyCount {
    return @([AppDomain]::CurrentDomain.GetAssemblies() | Where-Object -FilterScript {
            -not $_.IsDynamic -and [string]::IsNullOrEmpty($_.Location) }).Count
}
$compiledBefore = Get-BenchCompiledAssemblyCount
try {
    & $Install
} finally {
    $global:BenchMarks.Add(('compiles {0}' -f ((Get-BenchCompiledAssemblyCount) - $compiledBefore)))
    [IO.File]::WriteAllLines($Marks, $global:BenchMarks)
}
PS

# mark FILE NAME: the first time noted under NAME after the consent
mark() { awk -v n="$2" 'BEGIN { c = 0 } $1 == "consent" { c = 1 } c && $1 == n { print $2; exit }' "$1"; }

results="$scratch/results"
: >"$results"
for round in $(seq 1 "$rounds"); do
    rm -rf "$users/AppData/Local/TARNQUILL" "$tree/.runtime" "$scratch/started.record"
    wine_reset
    wine powershell.exe -NoLogo -NoProfile -ExecutionPolicy Bypass -File "$(wine_path "$scratch/bench.ps1")" \
        -Install "$(wine_path "$tree/scripts/install.ps1")" -Marks "$(wine_path "$scratch/marks.txt")" -Reading "$reading" \
        >"$scratch/install.out" 2>&1 || { cat "$scratch/install.out" >&2; exit 1; }
    for _ in $(seq 1 100); do [ -f "$scratch/started.record" ] && break; sleep 0.1; done
    [ -f "$scratch/started.record" ] || { echo "bench-engine-install: the application did not start" >&2; exit 1; }
    m="$scratch/marks.txt"
    tr -d '\r' <"$m" >"$m.unix" && mv "$m.unix" "$m"
    started=$(stat -c %.3Y "$scratch/started.record")
    compiles=$(awk '$1 == "compiles" { print $2 }' "$m")
    echo "round $round: C# compiles during the installation: $compiles"
    echo "$compiles" >>"$scratch/compiles"
    awk -v c="$(mark "$m" consent)" -v d="$(mark "$m" download)" -v h="$(mark "$m" hash)" \
        -v u="$(mark "$m" unpack)" -v a="$(mark "$m" assembly)" -v i="$(mark "$m" icon)" \
        -v v="$(mark "$m" version-note)" -v mv="$(mark "$m" move)" -v r="$(mark "$m" register)" \
        -v l="$(mark "$m" launch)" -v s="$started" -v n="$round" 'BEGIN {
        printf "round %d: total %.2f s = to download %.2f, download %.2f, hash %.2f, unpack %.2f, assembly %.2f (icon %.2f), move %.2f, register %.2f, launch %.2f\n", n, s - c, d - c, h - d, u - h, a - u, mv - a, v - i, r - mv, l - r, s - l
        printf "%.3f %.3f %.3f %.3f %.3f %.3f %.3f %.3f %.3f %.3f\n", s - c, d - c, h - d, u - h, a - u, mv - a, v - i, r - mv, l - r, s - l >> "/dev/stderr"
    }' 2>>"$results"
done
echo "C# compiles per installation: $(sort -u "$scratch/compiles" | tr '\n' ' ')"
median() { sort -g | awk '{ v[NR] = $1 } END { if (NR % 2) print v[(NR + 1) / 2]; else print (v[NR / 2] + v[NR / 2 + 1]) / 2 }'; }
labels=(total "consent to download" download hash unpack "assembly (copy and icon)" "  of which icon" \
    "move into place" "shortcuts, registry, refresh, log" "launch to application start")
echo "Medians of $rounds round(s), archive $(stat -c %s "$scratch/serve/archive.zip") bytes, consent answered after $reading s:"
for column in $(seq 1 ${#labels[@]}); do
    printf '  %-36s %6.2f s\n' "${labels[$((column - 1))]}" "$(cut -d' ' -f"$column" "$results" | median)"
done
