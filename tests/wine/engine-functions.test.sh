#!/usr/bin/env bash
# Windows-only functions of the scripts run for real on the PowerShell engine under Wine, with
# Pester 5 imported by the engine: the registry, the shell refresh and the start-up value rule
# (engine/WindowsInterfaces.Engine.ps1), and the per-user lock held by a second engine process
# (ps/InstallationSafetyLock.Tests.ps1, unchanged).
# ctest-lock: wine_engine
# ctest-fixtures: wine_engine
# ctest-timeout: 600
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
source "$here/lib.sh"
source "$here/engine/engine.sh"
export WINEPREFIX="$engine_prefix" WINEDLLOVERRIDES="$engine_dll_overrides"
# The lock test starts its second process with the PowerShell it runs in, unless told otherwise.
unset TARNQUILL_PWSH DISPLAY
engine_ensure
pester=$(ls "$wine_release"/tools/nuget/pester/5.*/tools/Pester.psd1 | head -n 1)
trap wine_reset EXIT
wine_reset
cd "$wine_root"
wine powershell.exe -NoLogo -NoProfile -NonInteractive -Command "
    \$ErrorActionPreference = 'Stop'
    Import-Module -Name '$(wine_path "$pester")'
    \$config = New-PesterConfiguration
    \$config.Run.Path = @('$(wine_path "$here/engine/WindowsInterfaces.Engine.ps1")', '$(wine_path "$wine_root/tests/ps/InstallationSafetyLock.Tests.ps1")')
    \$config.Run.Exit = \$true
    \$config.Output.Verbosity = 'Detailed'
    \$config.Output.RenderMode = 'Plaintext'
    Invoke-Pester -Configuration \$config" 2>&1 | tr -d '\r' | grep -v '^wine: Read access denied'
exit "${PIPESTATUS[0]}"
