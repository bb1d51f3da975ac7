#!/usr/bin/env bash
# Runs Pester 5 test files under the project's own PowerShell 7.
# Usage: tests/run-pester.sh FILE.Tests.ps1 [FILE...]
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
pwsh="${TARNQUILL_PWSH:-$root/release/tools/pwsh/pwsh}"
pester=$(ls -d "$root"/release/tools/nuget/pester/5.*/tools/Pester.psd1 2>/dev/null | sort -V | tail -n 1)
if [ ! -x "$pwsh" ] || [ -z "$pester" ]; then
    echo "PowerShell or Pester is missing under release/tools; run ./test.sh once to install them." >&2
    exit 2
fi
export TARNQUILL_ROOT="${TARNQUILL_ROOT:-$root}"
export TARNQUILL_RELEASE="${TARNQUILL_RELEASE:-$root/release}"
export TARNQUILL_PWSH="$pwsh"
export DOTNET_CLI_TELEMETRY_OPTOUT=1 POWERSHELL_TELEMETRY_OPTOUT=1 POWERSHELL_UPDATECHECK=Off
paths=()
for f in "$@"; do paths+=("$(readlink -f "$f")"); done
joined=$(printf "'%s'," "${paths[@]}")
exec "$pwsh" -NoLogo -NoProfile -NonInteractive -Command "
    \$ErrorActionPreference = 'Stop'
    Import-Module -Name '$pester' -MinimumVersion 5.0
    \$config = New-PesterConfiguration
    \$config.Run.Path = @(${joined%,})
    \$config.Run.Exit = \$true
    \$config.Output.Verbosity = 'Detailed'
    \$config.Output.StackTraceVerbosity = 'Filtered'
    Invoke-Pester -Configuration \$config
"
