#!/usr/bin/env bash
# Unattended setup runs on the real PowerShell engine under Wine, through the setup executable made
# by the image builder, each exit code read whole: every failure code once (argument, log file,
# Constrained Language Mode, lock, refused sources, small TEMP, running TARNQUILL), each leaving the
# installation as it was; /S from nothing, with no window, no dialog, no start and the consent in the
# /LOG copy before the download; /S again over the same version; /PASSIVE; a No at the download
# question (1602); the registered quiet uninstall with and without a running TARNQUILL.
# ctest-lock: wine_engine
# ctest-fixtures: wine_engine
# ctest-timeout: 1500
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
source "$here/lib.sh"
source "$here/checks.sh"
source "$here/engine/engine.sh"
engine_use

version=$(product_version)
title_pattern="^TARNQUILL ${version//./\\.} Setup\$"
scratch="$wine_release/test/engine-unattended"
serve="$scratch/serve"
user=$(id -un)
users="$engine_prefix/drive_c/users/$user"
local_root="$users/AppData/Local/TARNQUILL"
win_app="C:\\users\\$user\\AppData\\Local\\TARNQUILL\\App-$version"
programs="$users/AppData/Roaming/Microsoft/Windows/Start Menu/Programs"
uninstall_key='HKCU\Software\Microsoft\Windows\CurrentVersion\Uninstall\TARNQUILL'
# Where the system-wide environment lives; the engine reads __PSLockdownPolicy from it.
policy_key='HKLM\System\CurrentControlSet\Control\Session Manager\Environment'
setup_exe="$scratch/TARNQUILL-Setup-$version-online.exe"
small="$scratch/small-drive"
export TARNQUILL_TEST_PS_RECORD="$(wine_path "$scratch")\\app-started.record"

cleanup() {
    [ -n "${ENGINE_SERVER_PID:-}" ] && kill "$ENGINE_SERVER_PID" 2>/dev/null || true
    rm -f "$scratch/hold-until" "$scratch/lock-until"
    xvfb_stop
    wine reg delete "$policy_key" /v __PSLockdownPolicy /f >/dev/null 2>&1 || true
    engine_small_temp_restore "$small"
    wine_reset
    engine_small_drive_unmount "$small"
}
trap cleanup EXIT

engine_ensure
engine_small_drive_unmount "$small"
rm -rf "$scratch"
mkdir -p "$serve"
reader=$(exit_code_build)
holder=$(native_program_build file_holder "$here/file_holder.c" console - \
    GetEnvironmentVariableW CreateFileW GetFileAttributesW Sleep CloseHandle ExitProcess)

echo "== Sandbox tree, fake runtime and setup executable (${SECONDS} s)"
digest=$(engine_fake_archive "$scratch/archive.zip" 50100000)
engine_server_start "$scratch/server" primary="$serve/primary.zip" mirror="$serve/mirror.zip"
engine_sandbox_tree "$scratch/tree" "$digest" "$ENGINE_SERVER_URL/file/primary" "$ENGINE_SERVER_URL/file/mirror"
"$scratch/tree/release/bin/build-online" --out "$setup_exe" --work "$scratch/build" >/dev/null

wine_reset
rm -rf "$local_root" "$users/Desktop/TARNQUILL.lnk" "$programs/TARNQUILL.lnk" "$programs/TARNQUILL" \
    "$users/Temp"/TARNQUILL-*
wine reg delete "$uninstall_key" /f >/dev/null 2>&1 || true
wine reg delete "$policy_key" /v __PSLockdownPolicy /f >/dev/null 2>&1 || true
xvfb_start

# The root window's mapped children: without a window manager, every window a program shows.
mapped_windows() {
    xdotool search --maxdepth 1 --onlyvisible --name '' 2>/dev/null | sort -u || true
}

# run_setup NAME ARGUMENTS...: the setup executable through the exit-code reader, standard input
# closed, nothing answered; the mapped windows listed before and every 0.2 s during the run. Sets
# rc (the whole exit code) and windows (how many windows appeared); keeps the dialog texts in
# $scratch/NAME.dialogs. No wineserver reset: a holder process of the test may be running.
# A run in which Wine could not make one of the processes at all ("failed to map the shared user
# data", seen once under load) is made once more, and said so.
run_setup() {
    run_setup_once "$@"
    if grep -q 'failed to map the shared user data' "$scratch/$1.err"; then
        echo "note: $1: Wine could not start a process ($(grep -m1 'shared user data' "$scratch/$1.err")); once more"
        run_setup_once "$@"
    fi
}

run_setup_once() {
    local name="$1" rcfile="$scratch/$1.rc" seen="$scratch/$1.windows" before end=$((SECONDS + 300))
    shift
    rm -f "$rcfile" "$scratch/$name.code"
    before=$(mapped_windows)
    : >"$seen"
    (
        TARNQUILL_TEST_EXIT_FILE=$(wine_path "$scratch/$name.code") WINEDEBUG=+msgbox \
            wine "$(wine_path "$reader")" "$(wine_path "$setup_exe")" "$@" </dev/null \
            >"$scratch/$name.out" 2>"$scratch/$name.err" && status=0 || status=$?
        echo "$status" >"$rcfile"
    ) &
    local runner=$!
    while [ ! -e "$rcfile" ] && [ $SECONDS -lt $end ]; do
        comm -13 <(echo "$before") <(mapped_windows) >>"$seen"
        sleep 0.2
    done
    [ -e "$rcfile" ] || { fail "$name: the setup did not end"; wine_reset; }
    wait "$runner" || true
    windows=$(sort -u "$seen" | grep -c . || true)
    rc=$(tr -d '\r\n' <"$scratch/$name.code" 2>/dev/null || echo none)
    grep 'MSGBOX_OnInit' "$scratch/$name.err" | sed -E 's/^.*MSGBOX_OnInit L"(.*)"(\.\.\.)?$/\1/' \
        >"$scratch/$name.dialogs" || true
}

# state: what an installation changes (the installation root but its logs, the shortcuts, the
# uninstall entry, build folders in TEMP). A failed run's work folder stays in TEMP by design.
state() {
    find "$local_root" -mindepth 1 -path "$local_root/Logs" -prune -o -printf '%P %s\n' 2>/dev/null | sort
    ls -A "$users/Desktop" "$programs" 2>/dev/null
    find "$users/Temp" -maxdepth 1 -name 'TARNQUILL-build-*' 2>/dev/null
    wine reg query "$uninstall_key" 2>/dev/null | tr -d '\r' | grep -v '^$' || true
}

# log_copy FILE: the /LOG file as text, one byte-order mark checked and removed.
log_copy() {
    /usr/bin/python3 - "$1" <<'PY'
import sys
data = open(sys.argv[1], 'rb').read()
assert data.startswith(b'\xef\xbb\xbf') and b'\xef\xbb\xbf' not in data[3:], 'log copy: one BOM first'
sys.stdout.write(data[3:].decode('utf-8').replace('\r\n', '\n'))
PY
}

# failure NAME CODE TEXT ARGUMENTS...: an unattended run that must end with CODE, show nothing,
# write TEXT into its /LOG copy and change nothing of the installation.
failure() {
    local name="$1" code="$2" text="$3" before
    shift 3
    before=$(state)
    run_setup "$name" "$@"
    check_eq "$name: exit code" "$code" "$rc"
    check_eq "$name: windows and dialogs" "0 0" "$windows $(grep -c . "$scratch/$name.dialogs" || true)"
    check_eq "$name: nothing installed or changed" "$before" "$(state)"
    if [ -n "$text" ]; then
        log_copy "$scratch/$name.log" >"$scratch/$name.log.txt" 2>&1 || true
        grep -qF -- "$text" "$scratch/$name.log.txt" && echo "ok: $name: the log copy says why" ||
            fail "$name: no [$text] in the log copy: $(cat "$scratch/$name.log.txt")"
    fi
}

log_arg() { echo "/LOG=$(wine_path "$scratch/$1.log")"; }

echo "== Refused before PowerShell: an unknown argument, a log file that cannot be written (${SECONDS} s)"
failure unknown 87 "" /S /X
failure unwritable 87 "" /S "/LOG=$(wine_path "$scratch")\\no-such-folder\\setup.log"
[ ! -e "$local_root" ] && echo "ok: no installation root after the argument errors" || fail "installation root made"

echo "== Constrained Language Mode: blocked by policy (${SECONDS} s)"
wine reg add "$policy_key" /v __PSLockdownPolicy /t REG_SZ /d 4 /f >/dev/null
wineserver -w
failure locked-down 1625 "Constrained Language Mode" /S "$(log_arg locked-down)"
wine reg delete "$policy_key" /v __PSLockdownPolicy /f >/dev/null
wineserver -w

echo "== Another run holds the setup lock (${SECONDS} s)"
: >"$scratch/lock-until"
(
    wine 'C:\windows\system32\WindowsPowerShell\v1.0\powershell.exe' -NoProfile -NonInteractive -Command "
        . '$(wine_path "$scratch/tree/scripts/setup-lock.ps1")'
        \$lock = Enter-TarnquillSetupLock
        [IO.File]::WriteAllText('$(wine_path "$scratch")\\lock-held', '')
        while (Test-Path -LiteralPath '$(wine_path "$scratch")\\lock-until') { Start-Sleep -Milliseconds 100 }
        Exit-TarnquillSetupLock -Lock \$lock" >"$scratch/lock.out" 2>&1 || true
) &
lock_runner=$!
end=$((SECONDS + 120))
until [ -e "$scratch/lock-held" ] || [ $SECONDS -ge $end ]; do sleep 0.2; done
if [ -e "$scratch/lock-held" ]; then
    failure lock 1618 "Another TARNQUILL installer or uninstaller is running for this user." /S "$(log_arg lock)"
else
    fail "lock: the holder did not take the lock: $(cat "$scratch/lock.out")"
fi
rm -f "$scratch/lock-until"
wait "$lock_runner" || true

echo "== Both download sources refuse (${SECONDS} s)"
failure refused 1231 "Could not download the Electron runtime." /S "$(log_arg refused)"

echo "== TEMP on a small drive (${SECONDS} s)"
if engine_small_temp "$small" 100; then
    cp "$scratch/archive.zip" "$serve/primary.zip"
    failure small 112 "Not enough disk space to download the Electron runtime. T:\\ (runtime download)" \
        /S "$(log_arg small)"
    engine_small_temp_restore "$small"
else
    echo "skip: TEMP on a small drive: mounting a tmpfs was refused"
    cp "$scratch/archive.zip" "$serve/primary.zip"
fi

echo "== /S from nothing, the causes removed: installed, nothing shown, nothing started (${SECONDS} s)"
mkdir -p "$local_root"
for old in App-0.11.0 App-0.13.3; do
    mkdir -p "$local_root/$old"
    echo old >"$local_root/$old/TARNQUILL.exe"
done
run_setup silent /S "$(log_arg silent)"
check_eq "silent: exit code" 0 "$rc"
check_eq "silent: windows mapped" 0 "$windows"
check_eq "silent: dialogs" 0 "$(grep -c . "$scratch/silent.dialogs" || true)"
[ -f "$local_root/App-$version/TARNQUILL.exe" ] && echo "ok: silent: installed" || fail "silent: not installed"
[ -n "$(wine reg query "$uninstall_key" /v QuietUninstallString 2>/dev/null)" ] && echo "ok: silent: uninstall entry" ||
    fail "silent: no uninstall entry"
[ ! -e "$scratch/app-started.record" ] && echo "ok: silent: TARNQUILL not started" || fail "silent: TARNQUILL started"
check_eq "silent: old versions kept without /REMOVEOLD" "App-0.11.0 App-0.13.3 App-$version Logs" \
    "$(ls "$local_root" | tr '\n' ' ' | sed 's/ $//')"
log_copy "$scratch/silent.log" >"$scratch/silent.log.txt"
# Each line of the consent screen as an installer.log entry in the copy, before the first download
# line (a source line starts with its address), and in installer.log itself.
/usr/bin/python3 - "$scratch/silent.log.txt" "$local_root/Logs/installer.log" "$ENGINE_SERVER_URL" \
    "Install location: $win_app" "Download: electron-v43.4.1-win32-x64.zip (Windows x64 runtime)" \
    "Source: $ENGINE_SERVER_URL/file/primary" "Source: $ENGINE_SERVER_URL/file/mirror" \
    "Expected runtime SHA-256: $digest" "Installer SHA-256: $(sha256sum "$setup_exe" | cut -d' ' -f1)" \
    "Installer Authenticode status: NotSigned" <<'PY' && echo "ok: log copy: the consent screen before the download" ||
import re, sys
copy = open(sys.argv[1], encoding='utf-8').read().split('\n')
log = open(sys.argv[2], encoding='utf-8-sig', newline='').read().split('\r\n')
download = next(i for i, line in enumerate(copy) if line.startswith('Downloading Electron runtime from ' + sys.argv[3]))
entry = re.compile(r'\d{4}-\d\d-\d\dT\d\d:\d\d:\d\d\.\d{7}[+-]\d\d:\d\d ')
for text in sys.argv[4:]:
    exact = not text.startswith('Source: ')
    def found(line):
        m = entry.match(line)
        body = line[m.end():] if m else None
        return body is not None and (body == text if exact else body.startswith(text + '/'))
    at = [i for i, line in enumerate(copy) if found(line)]
    assert at and at[0] < download, (text, at, download)
    assert any(found(line) for line in log), ('installer.log', text)
PY
    fail "log copy: the consent screen: $(cat "$scratch/silent.log.txt")"
grep -qx 'TARNQUILL installed successfully.' "$scratch/silent.log.txt" && echo "ok: log copy: the console's lines" ||
    fail "log copy lacks the console's success line"
grep -qE '^[0-9T:.+-]+ Retained old version: App-0\.11\.0\. ' "$scratch/silent.log.txt" &&
    echo "ok: log copy: the kept old version" || fail "log copy: no kept old version"

echo "== TARNQUILL running: nothing closed, nothing changed (${SECONDS} s)"
cp "$holder" "$scratch/TARNQUILL.exe"
: >"$scratch/hold-until"
rm -f "$scratch/held"
(
    TARNQUILL_TEST_HOLD_FILE="$(wine_path "$scratch")\\held" TARNQUILL_TEST_HOLD_UNTIL="$(wine_path "$scratch")\\hold-until" \
        wine "$(wine_path "$scratch/TARNQUILL.exe")" >/dev/null 2>&1 && status=0 || status=$?
    echo "$status" >"$scratch/holder.rc"
) &
holder_runner=$!
end=$((SECONDS + 120))
until [ -e "$scratch/held" ] || [ $SECONDS -ge $end ]; do sleep 0.2; done
failure running 15618 "Close TARNQUILL using Exit in its tray menu" /S "$(log_arg running)"

echo "== The registered quiet uninstall while TARNQUILL runs, as written, standard input closed (${SECONDS} s)"
# A command file carries the command line as registered, quotes and all.
printf '@%s\r\n@exit /b %%errorlevel%%\r\n' \
    "$(wine reg query "$uninstall_key" /v QuietUninstallString | tr -d '\r' | sed -n 's/^    QuietUninstallString    REG_SZ    //p')" \
    >"$scratch/uninstall.cmd"
uninstall() { # NAME: runs the command file through the exit-code reader; sets rc
    rm -f "$scratch/$1.code"
    TARNQUILL_TEST_EXIT_FILE=$(wine_path "$scratch/$1.code") timeout 300 \
        wine "$(wine_path "$reader")" cmd /c "$(wine_path "$scratch/uninstall.cmd")" </dev/null \
        >"$scratch/$1.out" 2>&1 || true
    rc=$(tr -d '\r\n' <"$scratch/$1.code" 2>/dev/null || echo none)
}
before=$(state)
uninstall uninstall-running
check_eq "uninstall while running: exit code" 15618 "$rc"
check_eq "uninstall while running: nothing removed" "$before" "$(state)"
[ ! -e "$scratch/holder.rc" ] && echo "ok: TARNQUILL still running" || fail "TARNQUILL ended"
rm -f "$scratch/hold-until"
wait "$holder_runner" || true

echo "== /S again over the same version, the running TARNQUILL gone (${SECONDS} s)"
run_setup again /S /REMOVEOLD
check_eq "again: exit code" 0 "$rc"
check_eq "again: windows mapped" 0 "$windows"
backup=$(ls "$local_root" | grep '^Backup-' || true)
[[ "$backup" =~ ^Backup-${version//./\\.}-[0-9a-f]{32}$ ]] && echo "ok: again: backup $backup" ||
    fail "again: backup folder [$backup]"
check_eq "again: old versions removed with /REMOVEOLD" "App-0.13.3 App-$version $backup Logs" \
    "$(ls "$local_root" | tr '\n' ' ' | sed 's/ $//')"

echo "== /PASSIVE: the console shown, nothing waited for (${SECONDS} s)"
run_setup passive /PASSIVE
check_eq "passive: exit code" 0 "$rc"
[ "$windows" -gt 0 ] && echo "ok: passive: the console window mapped" || fail "passive: no window mapped"
check_eq "passive: dialogs" 0 "$(grep -c . "$scratch/passive.dialogs" || true)"
[ ! -e "$scratch/app-started.record" ] && echo "ok: passive: TARNQUILL not started" || fail "passive: TARNQUILL started"

echo "== Interactive: a No at the download question ends with 1602 and the dialog (${SECONDS} s)"
before=$(state)
wine_reset
rm -f "$scratch/no.rc" "$scratch/no.code"
(
    TARNQUILL_TEST_EXIT_FILE=$(wine_path "$scratch/no.code") WINEDEBUG=+msgbox \
        wine "$(wine_path "$reader")" "$(wine_path "$setup_exe")" >"$scratch/no.out" 2>"$scratch/no.err" &&
        status=0 || status=$?
    echo "$status" >"$scratch/no.rc"
) &
no_runner=$!
if window=$(dialog_wait "$title_pattern" 120 "$scratch/no.rc"); then
    sleep 0.5
    dialog_press_default "$window"
    if engine_console_wait "Download the listed runtime and install TARNQUILL? [Y/N, default N]:" 240 "$scratch/no.consent"; then
        engine_console_type "n|"
        if engine_console_wait "Press Enter to close" 120 "$scratch/no.screen"; then
            engine_screen_holds "$scratch/no.screen" "Installation failed.Installation cancelled before downloading." &&
                echo "ok: no: the message" || fail "no: screen $(cat "$scratch/no.screen")"
            engine_console_type "|"
        else
            fail "no: no Enter prompt"
        fi
    else
        fail "no: no download question"
    fi
else
    fail "no: no confirmation dialog"
fi
# The final dialog: pressed once it is there.
end=$((SECONDS + 120))
while [ ! -e "$scratch/no.rc" ] && [ $SECONDS -lt $end ]; do
    if [ "$(grep -c MSGBOX_OnInit "$scratch/no.err" 2>/dev/null || true)" -gt 1 ]; then
        window=$(xdotool search --onlyvisible --name "$title_pattern" 2>/dev/null | head -n 1 || true)
        [ -n "$window" ] && sleep 1 && dialog_press_ok "$window"
    fi
    sleep 0.5
done
wait "$no_runner" || true
check_eq "no: exit code" 1602 "$(tr -d '\r\n' <"$scratch/no.code" 2>/dev/null || echo none)"
check_eq "no: dialogs (confirmation, final)" 2 "$(grep -c MSGBOX_OnInit "$scratch/no.err" || true)"
check_eq "no: nothing installed or changed" "$before" "$(state)"

echo "== The registered quiet uninstall, as written, standard input closed (${SECONDS} s)"
uninstall uninstall
check_eq "uninstall: exit code" 0 "$rc"
[ ! -e "$local_root" ] && echo "ok: uninstall: installation root removed" || fail "uninstall: left $(ls -A "$local_root")"
[ ! -e "$users/Desktop/TARNQUILL.lnk" ] && [ ! -e "$programs/TARNQUILL" ] && echo "ok: uninstall: shortcuts removed" ||
    fail "uninstall: shortcuts left"
wine reg query "$uninstall_key" >/dev/null 2>&1 && fail "uninstall: entry left" || echo "ok: uninstall: entry removed"

echo "== Done (${SECONDS} s)"
checks_finish "engine unattended"
