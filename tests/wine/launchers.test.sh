#!/usr/bin/env bash
# INSTALL_AND_RUN.cmd and TARNQUILL-Setup.cmd under Wine's cmd.exe, with a test double of
# powershell.exe on the search path: their texts, the command they run and their exit codes.
# ctest-lock: wine
# ctest-fixtures: wine_prefix
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
source "$here/lib.sh"
source "$here/checks.sh"

scratch="$wine_release/test/wine-launchers"
rm -rf "$scratch"
tree="$scratch/unpacked tree's copy"
mkdir -p "$tree/scripts" "$scratch/elsewhere"
cp "$wine_root/INSTALL_AND_RUN.cmd" "$wine_root/TARNQUILL-Setup.cmd" "$tree/"
printf 'Set-StrictMode -Version Latest\r\n' >"$tree/scripts/install.ps1"

wine_prefix_ensure "$WINEPREFIX"
wine_reset
powershell_double_install
tree_win=$(wine_path "$tree")
local_app_data=$(DISPLAY= wine cmd /c echo %LOCALAPPDATA% 2>/dev/null | tr -d '\r')
expected_command="-NoLogo -NoProfile -ExecutionPolicy Bypass -File \"$tree_win\\scripts\\install.ps1\""
export TARNQUILL_TEST_PS_SAY="install.ps1 speaks here"

# run LAUNCHER EXITCODE NAME: runs the launcher from another folder; sets out, rc, record.
run() {
    record="$scratch/$3.record"
    out="$scratch/$3.out"
    export TARNQUILL_TEST_PS_RECORD
    TARNQUILL_TEST_PS_RECORD=$(wine_path "$record")
    export TARNQUILL_TEST_PS_EXIT="$2"
    rc=$(cd "$scratch/elsewhere" && cmd_run "$out" "$tree/$1")
}

check_started() { # NAME
    local line
    line=$(powershell_record "$record" commandline || echo '<none>')
    if [[ "$line" == *" $expected_command" ]]; then
        echo "ok: $1 runs install.ps1 with -File"
    else
        fail "$1: command line [$line]"
    fi
    check_eq "$1 works in its own folder" "$tree_win" \
        "$(powershell_record "$record" directory | sed 's/\\$//')"
    if powershell_record "$record" TARNQUILL_SETUP_EXE >/dev/null; then
        fail "$1: TARNQUILL_SETUP_EXE is set"
    else
        echo "ok: $1 leaves TARNQUILL_SETUP_EXE unset"
    fi
}

echo "== INSTALL_AND_RUN.cmd, install script succeeds"
run INSTALL_AND_RUN.cmd 0 install-ok
check_eq "exit code" 0 "$rc"
check_started INSTALL_AND_RUN.cmd
has_line "banner names the product" "$out" "  TARNQUILL Installer"
has_line "download note" "$out" "This first launch may download the verified Electron runtime."
has_line "keep-open note" "$out" "Please keep this window open until TARNQUILL starts."
has_line "script output shown" "$out" "install.ps1 speaks here"
lacks_text "no failure text" "$out" "INSTALLATION FAILED"

echo "== INSTALL_AND_RUN.cmd, install script fails"
run INSTALL_AND_RUN.cmd 1 install-fail
check_eq "exit code" 1 "$rc"
has_line "failure line" "$out" "  INSTALLATION FAILED - code 1"
has_line "screenshot request" "$out" "Please keep a screenshot of the error above."
has_line "log path not expanded" "$out" 'Installer log: %LOCALAPPDATA%\TARNQUILL\Logs\installer.log'
if [ "$(line_number "$out" "install.ps1 speaks here")" -lt "$(line_number "$out" "  INSTALLATION FAILED - code 1")" ]; then
    echo "ok: failure reported after the script's output"
else
    fail "failure text before the script's output"
fi

echo "== INSTALL_AND_RUN.cmd passes other codes on"
run INSTALL_AND_RUN.cmd 7 install-seven
check_eq "exit code" 7 "$rc"
has_line "failure line with the code" "$out" "  INSTALLATION FAILED - code 7"

echo "== TARNQUILL-Setup.cmd, install script succeeds"
run TARNQUILL-Setup.cmd 0 setup-ok
check_eq "exit code" 0 "$rc"
check_started TARNQUILL-Setup.cmd
has_line "privacy line" "$out" "Core diagnostics stay on this computer."
has_line "key prompt" "$out" "Press any key to install TARNQUILL..."
if [ "$(line_number "$out" "Press any key to install TARNQUILL...")" -lt "$(line_number "$out" "install.ps1 speaks here")" ]; then
    echo "ok: asks for the key before the install script runs"
else
    fail "install script ran before the key prompt"
fi
lacks_text "no failure text" "$out" "Installation failed."

echo "== TARNQUILL-Setup.cmd, install script fails"
run TARNQUILL-Setup.cmd 3 setup-fail
check_eq "exit code" 3 "$rc"
has_line "failure line" "$out" "Installation failed. The installer log is stored in:"
has_line "log path" "$out" "$local_app_data\\TARNQUILL\\Logs\\installer.log"

echo "== TARNQUILL-Setup.cmd prints a log path with an ampersand and a caret as it is"
# Wine sets LOCALAPPDATA itself, so a small command file in the scratch folder changes it and
# then hands over to the launcher.
odd_local='C:\Users\Tom&Jerry^s (x)\AppData\Local'
printf '@echo off\r\nset "LOCALAPPDATA=%s"\r\n"%s\\TARNQUILL-Setup.cmd"\r\n' \
    "$odd_local" "$tree_win" >"$tree/../odd-profile.cmd"
run ../odd-profile.cmd 3 setup-odd-profile
check_eq "exit code" 3 "$rc"
has_line "log path as it is" "$out" "$odd_local\\TARNQUILL\\Logs\\installer.log"
lacks_text "no part of the path run as a command" "$out" "recognize"
lacks_text "no command error" "$out.err" "recognize"

echo "== Both launchers in a folder with an exclamation mark, delayed expansion on"
# A user may have delayed expansion switched on for every cmd.exe; /V:ON does the same here.
bang="$scratch/tree! bang"
mkdir -p "$bang/scripts"
cp "$tree/INSTALL_AND_RUN.cmd" "$tree/TARNQUILL-Setup.cmd" "$bang/"
cp "$tree/scripts/install.ps1" "$bang/scripts/"
for launcher in INSTALL_AND_RUN.cmd TARNQUILL-Setup.cmd; do
    printf '@cmd /V:ON /c "%s\\%s"\r\n@exit /b %%errorlevel%%\r\n' "$(wine_path "$bang")" "$launcher" \
        >"$scratch/delayed-$launcher"
    run "../delayed-$launcher" 0 "delayed-$launcher"
    check_eq "$launcher with delayed expansion: exit code" 0 "$rc"
    check_eq "$launcher with delayed expansion: works in its own folder" "$(wine_path "$bang")" \
        "$(powershell_record "$record" directory | sed 's/\\$//' || echo '<none>')"
done

# run_switches NAME EXITCODE ARGUMENTS: runs INSTALL_AND_RUN.cmd with the arguments as typed, from
# a command file in the other folder, through the exit-code reader, with Enter presses ready on
# standard input; sets out, record and rc (the whole exit code).
reader=$(exit_code_build)
run_switches() {
    record="$scratch/$1.record"
    out="$scratch/$1.out"
    export TARNQUILL_TEST_PS_RECORD TARNQUILL_TEST_EXIT_FILE
    TARNQUILL_TEST_PS_RECORD=$(wine_path "$record")
    TARNQUILL_TEST_EXIT_FILE=$(wine_path "$scratch/$1.code")
    export TARNQUILL_TEST_PS_EXIT="$2"
    printf '@"%s\\INSTALL_AND_RUN.cmd" %s\r\n' "$tree_win" "$3" >"$scratch/elsewhere/$1.cmd"
    (cd "$scratch/elsewhere" && printf '\r\n\r\n\r\n' |
        DISPLAY= wine "$reader" cmd /c "$1.cmd" >"$out.raw" 2>"$out.err") || true
    unset TARNQUILL_TEST_EXIT_FILE
    tr -d '\r' <"$out.raw" >"$out"
    rc=$(tr -d '\r\n' <"$scratch/$1.code" 2>/dev/null || echo none)
}

echo "== INSTALL_AND_RUN.cmd /S /LOG=\"...\" /REMOVEOLD: the switches reach install.ps1, no pause"
logs="$scratch/log folder"
mkdir -p "$logs"
printf 'old run\r\n' >"$logs/setup.log"
run_switches unattended 1618 "/s /LOG=\"$(wine_path "$logs")\\setup.log\" /RemoveOld"
check_eq "exit code passed on whole" 1618 "$rc"
line=$(powershell_record "$record" commandline || echo '<none>')
if [[ "$line" == *" $expected_command -Unattended -RemoveOld -LogPath \"$(wine_path "$logs")\\setup.log\"" ]]; then
    echo "ok: install.ps1 gets -Unattended -RemoveOld -LogPath"
else
    fail "unattended command line [$line]"
fi
check_eq "the log file is emptied for the run" 0 "$(stat -c %s "$logs/setup.log")"
has_line "failure line with the code" "$out" "  INSTALLATION FAILED - code 1618"
lacks_text "no pause with /S" "$out" "Press any key"

echo "== INSTALL_AND_RUN.cmd \"/LOG=<relative path>\": made absolute from the folder it was started in"
run_switches relative-log 0 '"/log=relative log.txt"'
check_eq "exit code" 0 "$rc"
line=$(powershell_record "$record" commandline || echo '<none>')
if [[ "$line" == *" $expected_command -LogPath \"$(wine_path "$scratch/elsewhere")\\relative log.txt\"" ]]; then
    echo "ok: the relative log path is taken from the starting folder"
else
    fail "relative log command line [$line]"
fi

echo "== INSTALL_AND_RUN.cmd refuses an unknown or repeated argument and an unwritable log"
for case in "unknown|/S /Q|does not accept the argument \"/Q\"." \
    "repeated|/S /s|The argument /S is given more than once." \
    "unwritable|/S /LOG=\"$(wine_path "$scratch")\\no such folder\\x.log\"|cannot be created or written" \
    "folder|/S /LOG=$(wine_path "$scratch")|cannot be created or written"; do
    IFS='|' read -r name arguments text <<<"$case"
    run_switches "refused-$name" 0 "$arguments"
    check_eq "$name: exit code" 87 "$rc"
    if grep -qF -- "$text" "$out"; then echo "ok: $name: message"; else fail "$name: no [$text] in $(cat "$out")"; fi
    [ ! -e "$record" ] && echo "ok: $name: install.ps1 not started" || fail "$name: install.ps1 started"
    lacks_text "$name: no pause with /S" "$out" "Press any key"
done
run_switches refused-interactive 0 "/X"
check_eq "unknown argument without /S: exit code" 87 "$rc"
if grep -q "Press any key" "$out"; then echo "ok: unknown argument without /S: it waits for a key"; else fail "unknown argument without /S: no pause"; fi

# run_held LAUNCHER EXITCODE NAME: as run, with a keyboard that types nothing for a while;
# sets held, record_before and rc.
run_held() {
    record="$scratch/$3.record"
    out="$scratch/$3.out"
    export TARNQUILL_TEST_PS_RECORD
    TARNQUILL_TEST_PS_RECORD=$(wine_path "$record")
    export TARNQUILL_TEST_PS_EXIT="$2"
    cd "$scratch/elsewhere"
    cmd_run_held "$out" "$tree/$1" "$record"
    cd "$wine_root"
    held=$CMD_HELD
    record_before=$CMD_FILE_BEFORE
    rc=$CMD_RC
}

echo "== TARNQUILL-Setup.cmd waits for a key before it installs"
run_held TARNQUILL-Setup.cmd 0 setup-held
check_eq "still waiting without a key" yes "$held"
check_eq "install script not started before the key" no "$record_before"
check_eq "exit code after the key" 0 "$rc"
[ -e "$record" ] && echo "ok: install script started after the key" || fail "install script never started"

echo "== INSTALL_AND_RUN.cmd waits for a key after a failure"
run_held INSTALL_AND_RUN.cmd 1 install-held
check_eq "still waiting without a key" yes "$held"
check_eq "exit code after the key" 1 "$rc"

echo "== INSTALL_AND_RUN.cmd ends at once after a success"
run_held INSTALL_AND_RUN.cmd 0 install-unheld
check_eq "not waiting for a key" no "$held"
check_eq "exit code" 0 "$rc"

checks_finish "launcher"
