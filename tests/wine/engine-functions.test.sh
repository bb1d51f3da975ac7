#!/usr/bin/env bash
# Windows-only functions of the scripts run for real on the PowerShell engine under Wine, with
# Pester 5 imported by the engine: the registry, the shell refresh, the start-up value rule,
# the tree deleter on read-only files and the free space of a small drive (engine/WindowsInterfaces.Engine.ps1), and the per-user
# lock held by a second engine process (ps/InstallationSafetyLock.Tests.ps1, unchanged); then
# install.ps1's shortcut writer with Cyrillic letters in every field, read back with an
# independent .lnk reader.
# ctest-lock: wine_engine
# ctest-fixtures: wine_engine
# ctest-timeout: 600
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
source "$here/lib.sh"
source "$here/checks.sh"
source "$here/engine/engine.sh"
engine_use
# The lock test starts its second process with the PowerShell it runs in, unless told otherwise.
unset TARNQUILL_PWSH DISPLAY
engine_ensure
pester=$(ls "$wine_release"/tools/nuget/pester/5.*/tools/Pester.psd1 | head -n 1)

# A small drive T: for the free-space tests: a 40 MB tmpfs with a 5 MB one mounted inside it.
small="$wine_release/test/engine-small-drive"
trap 'wine_reset; engine_small_drive_unmount "$small"' EXIT
engine_small_drive_unmount "$small"
if engine_small_drive_mount "$small" 40 && mkdir -p "$small/inner" "$small/Temp" &&
    mount -t tmpfs -o size=5m tmpfs "$small/inner" 2>/dev/null; then
    export TARNQUILL_SMALL_DRIVE='T:\'
else
    echo "skip: free-space tests on a small drive: mounting a tmpfs was refused"
fi
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
pester_rc=${PIPESTATUS[0]}
check_eq "Pester on the engine" 0 "$pester_rc"

echo "== install.ps1's shortcut writer with letters outside the ANSI code page"
links="$wine_release/test/engine-links"
rm -rf "$links"
mkdir -p "$links"
# The names are made inside the engine, so no non-ASCII text crosses a command line.
wine powershell.exe -NoLogo -NoProfile -NonInteractive -Command "
    \$ErrorActionPreference = 'Stop'
    . '$(wine_path "$wine_root/scripts/shell-integration.ps1")'
    \$name = [regex]::Unescape('\\u0422\\u0430\\u0440\\u043d\\u043a\\u0432\\u0438\\u043b\\u043b')
    \$app = Join-Path -Path '$(wine_path "$links")' -ChildPath \$name
    \$null = New-Item -ItemType Directory -Path \$app
    \$target = Join-Path -Path \$app -ChildPath 'TARNQUILL.exe'
    [IO.File]::WriteAllBytes(\$target, [byte[]](77, 90))
    \$link = @{ Path = (Join-Path -Path \$app -ChildPath (\$name + '.lnk')); Target = \$target; WorkingDirectory = \$app
        IconLocation = (\$target + ',0'); Arguments = ('--' + \$name); Description = \$name }
    Save-TarnquillShellLink @link
" 2>&1 | tr -d '\r' | grep -v '^wine: Read access denied' || true
/usr/bin/python3 - "$wine_root/tests/support" "$links" "$(wine_path "$links")" <<'PY' && echo "ok: every field in Unicode" ||
import os, sys
sys.path.insert(0, sys.argv[1])
from lnk_fields import fields
name = '\u0422\u0430\u0440\u043d\u043a\u0432\u0438\u043b\u043b'
app = sys.argv[3] + '\\' + name
data = open(os.path.join(sys.argv[2], name, name + '.lnk'), 'rb').read()
found = fields(data)
expected = {'working_dir': app, 'arguments': '--' + name, 'name': name,
            'icon_location': app + '\\TARNQUILL.exe', 'icon_index': '0'}
wrong = {key: (found.get(key), value) for key, value in expected.items() if found.get(key) != value}
# Wine writes the path of the link information in the ANSI code page only, where Windows adds
# its Unicode form; the item ID list, which Windows resolves first, carries the Unicode name.
id_list = data[0x4E:0x4E + int.from_bytes(data[0x4C:0x4E], 'little')]
if name.encode('utf-16-le') not in id_list or not found.get('target', '').endswith('\\TARNQUILL.exe'):
    wrong['target'] = (found.get('target'), app + '\\TARNQUILL.exe')
sys.exit(ascii(wrong) if wrong else 0)
PY
    fail "shortcut fields"
checks_finish "engine function"
