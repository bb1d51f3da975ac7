#!/usr/bin/env bash
# The whole product on a real PowerShell engine under Wine: the setup executable made by the
# image builder from a sandbox copy of the tree (runtime from a loopback server), the dialog,
# the consent typed into the installation console, the install, failures (one with TEMP on a small
# drive), a run cut off in its download, a reinstall through the mirror and the registered quiet
# uninstall; everything checked from outside.
# ctest-lock: wine_engine
# ctest-fixtures: wine_engine
# ctest-timeout: 1200
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
source "$here/lib.sh"
source "$here/checks.sh"
source "$here/engine/engine.sh"
engine_use

version=$(product_version)
# An installation writes the day it ran: any day from here to the check.
first_day=$(date +%Y%m%d)
title_pattern="^TARNQUILL ${version//./\\.} Setup\$"
scratch="$wine_release/test/engine-setup"
serve="$scratch/serve"
user=$(id -un)
users="$engine_prefix/drive_c/users/$user"
local_root="$users/AppData/Local/TARNQUILL"
win_root="C:\\users\\$user\\AppData\\Local\\TARNQUILL"
win_app="$win_root\\App-$version"
programs="$users/AppData/Roaming/Microsoft/Windows/Start Menu/Programs"
uninstall_key='HKCU\Software\Microsoft\Windows\CurrentVersion\Uninstall\TARNQUILL'
run_key='HKCU\Software\Microsoft\Windows\CurrentVersion\Run'
setup_exe="$scratch/TARNQUILL-Setup-$version-online.exe"
consent_prompt="Download the listed runtime and install TARNQUILL? [Y/N, default N]:"
export TARNQUILL_TEST_PS_RECORD="$(wine_path "$scratch")\\app-started.record"

small="$scratch/small-drive"
cleanup() {
    [ -n "${ENGINE_SERVER_PID:-}" ] && kill "$ENGINE_SERVER_PID" 2>/dev/null || true
    xvfb_stop
    engine_small_temp_restore "$small"
    wine_reset
}
trap cleanup EXIT

engine_ensure
engine_small_drive_unmount "$small"
rm -rf "$scratch"
mkdir -p "$serve" "$wine_release/wine/screenshots"
reader=$(exit_code_build)
holder=$(native_program_build file_holder "$here/file_holder.c" console - \
    GetEnvironmentVariableW CreateFileW GetFileAttributesW Sleep CloseHandle ExitProcess)
# cmd.exe takes the temporary folder from the registry, so a small command file sets TEMP and
# TMP for one setup run only.
printf '@echo off\r\nset "TEMP=%%~1"\r\nset "TMP=%%~1"\r\n"%%~2"\r\nexit /b %%errorlevel%%\r\n' \
    >"$scratch/with-temp.cmd"

echo "== Sandbox tree, fake runtime and setup executable (${SECONDS} s)"
digest=$(engine_fake_archive "$scratch/archive.zip" 50100000)
engine_server_start "$scratch/server" primary="$serve/primary.zip" mirror="$serve/mirror.zip"
engine_sandbox_tree "$scratch/tree" "$digest" "$ENGINE_SERVER_URL/file/primary" "$ENGINE_SERVER_URL/file/mirror"
"$scratch/tree/release/bin/build-online" --out "$setup_exe" --work "$scratch/build" >/dev/null

# Nothing of ours from an earlier run in the prefix.
wine_reset
rm -rf "$local_root" "$users/AppData/Roaming/TARNQUILL" "$users/Desktop/TARNQUILL.lnk" \
    "$programs/TARNQUILL.lnk" "$programs/TARNQUILL" "$users/Temp"/TARNQUILL-*
wine reg delete "$uninstall_key" /f >/dev/null 2>&1 || true
wine reg delete "$run_key" /f >/dev/null 2>&1 || true
xvfb_start

# reg_value KEY NAME: the data of one value as reg query shows it. A query that fails is run once
# more: a clean-clone run found a value empty that the same run had written and every later run
# found (Wine now and then fails to start a program, as cmd_run knows); a value that is really
# absent fails both times and stays empty. A failure that the second query mends is shown.
reg_value() {
    local out status=0
    out=$(wine reg query "$1" /v "$2" 2>"$scratch/reg.err") || status=$?
    if [ "$status" -ne 0 ] && out=$(wine reg query "$1" /v "$2" 2>/dev/null); then
        echo "reg query $1 /v $2 failed once with status $status: $(tr -d '\r' <"$scratch/reg.err")" >&2
    fi
    printf '%s\n' "$out" | tr -d '\r' | sed -n "s/^    $2    [A-Z_]*    //p"
}

screen_has() { # NAME SCREEN TEXT: the console rows kept in SCREEN hold TEXT
    if engine_screen_holds "$2" "$3"; then echo "ok: $1"; else fail "$1: [$3] not in $(cat "$2")"; fi
}

# setup_start NAME [TEMP]: starts the setup executable through the exit-code reader, with TEMP and
# TMP set to the folder TEMP when given, and answers Yes in its dialog.
setup_start() {
    local name="$1" window attempt command=(wine "$(wine_path "$reader")" "$(wine_path "$setup_exe")")
    [ -n "${2:-}" ] && command=(wine "$(wine_path "$reader")" cmd /c "$(wine_path "$scratch/with-temp.cmd")"
        "$(wine_path "$2")" "$(wine_path "$setup_exe")")
    run_name="$name"
    for attempt in 1 2; do
        rm -f "$scratch/$name.rc" "$scratch/$name.code"
        wine_reset
        (
            TARNQUILL_TEST_EXIT_FILE=$(wine_path "$scratch/$name.code") WINEDEBUG=+msgbox "${command[@]}" >"$scratch/$name.out" 2>"$scratch/$name.err" &&
                status=0 || status=$?
            echo "$status" >"$scratch/$name.rc"
        ) &
        run_pid=$!
        window=$(dialog_wait "$title_pattern" 60 "$scratch/$name.rc") || true
        [ -z "$window" ] && [ -e "$scratch/$name.rc" ] &&
            wine_cmd_unstarted "$(($(tr -d '\r\n' <"$scratch/$name.code" 2>/dev/null || echo 0) % 256))" \
                "$scratch/$name.err" || break
        wait "$run_pid" || true
    done
    if [ -z "$window" ]; then
        fail "$name: no confirmation dialog"
        return 1
    fi
    sleep 0.5
    dialog_press_default "$window"
}

# consent NAME SCREEN PROMPT ANSWER: waits for the prompt in the console, keeps the screen and
# types the answer with Enter.
consent() {
    if engine_console_wait "$3" 240 "$scratch/$1.$2"; then
        engine_console_type "$4|"
    else
        screenshot "$wine_release/wine/screenshots/engine-$1-$2.png"
        fail "$1: no prompt [$3]"
        return 1
    fi
}

# hold_in_work_folder TEMP: a file in the work folder under TEMP held without delete sharing
# until 1.5 s after the folder's source.zip has been deleted (file_holder.c); true once it is
# held. The holder's exit status goes to $scratch/holder.rc.
hold_in_work_folder() {
    local work end=$((SECONDS + 120))
    work=$(find "$1" -mindepth 1 -maxdepth 1 -name "TARNQUILL-Setup-*" | head -n 1)
    [ -n "$work" ] || return 1
    rm -f "$scratch/holder.rc"
    (
        TARNQUILL_TEST_HOLD_FILE="$(wine_path "$work")\\held.txt" \
            TARNQUILL_TEST_HOLD_UNTIL="$(wine_path "$work")\\source.zip" wine "$(wine_path "$holder")" &&
            status=0 || status=$?
        echo "$status" >"$scratch/holder.rc"
    ) &
    # The holder creates the file as it opens it.
    until [ -e "$work/held.txt" ] || [ -e "$scratch/holder.rc" ] || [ $SECONDS -ge $end ]; do
        sleep 0.2
    done
    [ -e "$work/held.txt" ] && [ ! -e "$scratch/holder.rc" ]
}

# setup_finish: waits for the setup to end, pressing OK on any dialog after the first; leaves
# the whole exit code in run_rc and the dialog texts in $scratch/NAME.dialogs.
setup_finish() {
    local name="$run_name" i window shown
    for i in $(seq 1 300); do
        [ -f "$scratch/$name.rc" ] && break
        shown=$(grep -c MSGBOX_OnInit "$scratch/$name.err" 2>/dev/null || true)
        if [ "${shown:-0}" -gt 1 ]; then
            window=$(xdotool search --onlyvisible --name "$title_pattern" 2>/dev/null | head -n 1 || true)
            [ -n "$window" ] && sleep 1 && dialog_press_ok "$window"
        fi
        sleep 1
    done
    [ -f "$scratch/$name.rc" ] || { fail "$name: the setup did not end"; wine_reset; }
    wait "$run_pid" || true
    run_rc=$(tr -d '\r\n' <"$scratch/$name.code" 2>/dev/null || echo none)
    grep MSGBOX_OnInit "$scratch/$name.err" | sed -E 's/^.*MSGBOX_OnInit L"(.*)"(\.\.\.)?$/\1/' \
        >"$scratch/$name.dialogs" || true
}

log_lines() { # the entry texts of installer.log, time stamps checked and cut off
    /usr/bin/python3 - "$local_root/Logs/installer.log" <<'PY'
import re, sys
data = open(sys.argv[1], 'rb').read()
assert data.startswith(b'\xef\xbb\xbf') and data.endswith(b'\r\n'), 'log: BOM and CR LF'
for line in data[3:].decode('utf-8').split('\r\n')[:-1]:
    stamp = re.match(r'\d{4}-\d\d-\d\dT\d\d:\d\d:\d\d\.\d{7}[+-]\d\d:\d\d ', line)
    print(line[stamp.end():] if stamp else 'NO TIME STAMP: ' + line)
PY
}

leftovers() { # the work and build folders in the user's temporary folder
    find "$users/Temp" -mindepth 1 -maxdepth 1 -name 'TARNQUILL-*' -printf '%f\n' 2>/dev/null | sort
}

# failed_run NAME CODE ERROR: an installation that fails with ERROR after the consent: the message
# once in the console, Enter, the final dialog, exit code CODE, only the log written, the work
# folder kept.
failed_run() {
    local name="$1" code="$2" message="$3" work
    setup_start "$name"
    consent "$name" consent.txt "$consent_prompt" y
    if engine_console_wait "Press Enter to close" 240 "$scratch/$name.screen"; then
        screen_has "$name: report" "$scratch/$name.screen" "Installation failed.$message"
        screen_has "$name: log hint" "$scratch/$name.screen" \
            "${message}Log: $win_root\\Logs\\installer.logPress Enter to close:"
        engine_console_type "|"
    else
        fail "$name: no Enter prompt"
    fi
    setup_finish
    check_eq "$name: exit code" "$code" "$run_rc"
    check_eq "$name: final dialog" "Installation did not finish. Review the PowerShell message and installer.log, or use INSTALL_AND_RUN.cmd from the source archive." \
        "$(sed -n 2p "$scratch/$name.dialogs")"
    check_eq "$name: installation root" "Logs" "$(ls "$local_root")"
    check_eq "$name: last log entry" "ERROR $message" "$(log_lines | tail -n 1)"
    [ ! -e "$users/Desktop/TARNQUILL.lnk" ] && [ -z "$(reg_value "$uninstall_key" DisplayName)" ] &&
        echo "ok: $name: no shortcut, no uninstall entry" || fail "$name: shortcut or uninstall entry"
    work=$(leftovers)
    if [[ "$work" =~ ^TARNQUILL-Setup-$version-[0-9a-f]{16}-[0-9a-f]{16}$ ]] &&
        [ -f "$users/Temp/$work/TARNQUILL-v$version/scripts/install.ps1" ]; then
        echo "ok: $name: work folder kept with the unpacked tree"
    else
        fail "$name: work folder: [$work]"
    fi
    rm -rf "$users/Temp"/TARNQUILL-*
}

echo "== Both sources refuse (${SECONDS} s)"
failed_run refused 1231 "Could not download the Electron runtime. Last error: The remote server returned an error: (404) Not Found."

echo "== The primary source delivers an archive that does not match the pin (${SECONDS} s)"
{ cat "$scratch/archive.zip"; printf x; } >"$serve/primary.zip"
wrong=$(sha256sum "$serve/primary.zip" | cut -d' ' -f1)
failed_run wrong-pin 1603 "Electron runtime integrity check failed. Expected $digest, received $wrong."
rm -f "$serve/primary.zip"

echo "== TEMP on a small drive: the download is refused before it starts (${SECONDS} s)"
if engine_small_temp "$small" 100; then
    cp "$scratch/archive.zip" "$serve/primary.zip"
    cp "$scratch/archive.zip" "$serve/mirror.zip"
    : >"$scratch/server/requests.log"
    needed=$(( ($(stat -c %s "$scratch/archive.zip") + 64 * 1048576 + 1048575) / 1048576 ))
    start="Not enough disk space to download the Electron runtime. T:\\ (runtime download): $needed MB needed, "
    setup_start small
    consent small consent.txt "$consent_prompt" y
    if engine_console_wait "Press Enter to close" 240 "$scratch/small.screen"; then
        screen_has "small: report" "$scratch/small.screen" "Installation failed.$start"
        screen_has "small: nothing installed" "$scratch/small.screen" \
            " MB free. Nothing was installed.Log: $win_root\\Logs\\installer.logPress Enter to close:"
        engine_console_type "|"
    else
        fail "small: no Enter prompt"
    fi
    setup_finish
    check_eq "small: exit code" 112 "$run_rc"
    check_eq "small: final dialog" "Installation did not finish. Review the PowerShell message and installer.log, or use INSTALL_AND_RUN.cmd from the source archive." \
        "$(sed -n 2p "$scratch/small.dialogs")"
    last=$(log_lines | tail -n 1)
    [[ "$last" == "ERROR $start"[0-9][0-9]" MB free. Nothing was installed." ]] &&
        echo "ok: small: logged with the free space" || fail "small: last log entry: $last"
    engine_small_temp_restore "$small"
    rm -f "$serve/primary.zip" "$serve/mirror.zip"
else
    echo "skip: TEMP on a small drive: mounting a tmpfs was refused"
fi

echo "== A run cut off during the download: the console's engine killed (${SECONDS} s)"
cp "$scratch/archive.zip" "$serve/primary.zip"
touch "$scratch/server/stall-next"
setup_start cutoff
consent cutoff consent.txt "$consent_prompt" y
partial=
for _ in $(seq 1 480); do
    partial=$(find "$users/Temp" -path "*/TARNQUILL-v$version/.runtime/cache/*.partial" -size +0 2>/dev/null | head -n 1)
    [ -n "$partial" ] && break
    sleep 0.5
done
if [ -n "$partial" ]; then
    wine taskkill /F /IM powershell.exe >/dev/null 2>&1 || true
    setup_finish
    cutoff_work=$(leftovers)
    echo "cut-off run's work folder: $cutoff_work"
    [ ! -e "${partial%.partial}" ] && echo "ok: cutoff: no archive under its own name" ||
        fail "cutoff: a partial download under the archive's name"
    # As if the run had been cut off a while ago; the next run then takes its folder away.
    touch -d '-20 minutes' "$users/Temp/$cutoff_work"
else
    fail "cutoff: the download did not start"
    cutoff_work=none
fi

echo "== Install with older versions present: retention question, shortcuts, registry, start (${SECONDS} s)"
# The engine counts the C# compiles of each PowerShell process (Program.cs).
compile_log="$scratch/compiles.log"
: >"$compile_log"
export TARNQUILL_ENGINE_COMPILE_LOG="$(wine_path "$compile_log")"
for old in "App-0.11.0" "Backup-0.11.0-0123456789abcdef0123456789abcdef" "App-0.13.3"; do
    mkdir -p "$local_root/$old"
    echo old >"$local_root/$old/TARNQUILL.exe"
done
mkdir -p "$users/AppData/Roaming/TARNQUILL"
echo '{}' >"$users/AppData/Roaming/TARNQUILL/settings.json"
wine reg add "$run_key" /v TARNQUILL /d "\"$win_root\\App-0.13.3\\TARNQUILL.exe\" --hidden" /f >/dev/null
wine reg add "$run_key" /v Other /d 'C:\other\other.exe' /f >/dev/null
setup_start success
consent success consent.txt "$consent_prompt" y
consent success retention.txt "Remove exactly these old application/backup folders? [Y/N, default N]:" y
screen_has "listed for removal" "$scratch/success.retention.txt" \
    "$win_root\\App-0.11.0$win_root\\Backup-0.11.0-0123456789abcdef0123456789abcdefRemove exactly"
setup_finish
check_eq "exit code after the installation" 0 "$run_rc"
check_eq "C# compiles of the installation's PowerShell" "compiles 1;" "$(tr -d '\r' <"$compile_log" | cut -d' ' -f1-2 | tr '\n' ';')"
unset TARNQUILL_ENGINE_COMPILE_LOG
check_eq "dialogs" 1 "$(wc -l <"$scratch/success.dialogs")"
check_eq "version folders and log" "App-0.13.3 App-$version Logs" "$(ls "$local_root" | tr '\n' ' ' | sed 's/ $//')"
app="$local_root/App-$version"
for file in TARNQUILL.exe icudtl.dat LICENSE resources/app/package.json resources/app/main.js \
    resources/app/assets/tarnquill.ico resources/app/scripts/uninstall-installed.ps1 \
    resources/app/scripts/installation-safety.ps1 resources/app/scripts/temporary-folders.ps1 README.md; do
    [ -f "$app/$file" ] || fail "installed file missing: $file"
done
[ ! -e "$app/electron.exe" ] && [ ! -e "$app/resources/default_app.asar" ] &&
    echo "ok: no electron.exe, no default application" || fail "electron.exe or default_app.asar installed"
/usr/bin/python3 - "$app/VERSION.txt" "$version" <<'PY' && echo "ok: VERSION.txt" || fail "VERSION.txt"
import re, sys
data = open(sys.argv[1], 'rb').read()
lines = data[3:].decode('utf-8').split('\r\n')
assert data.startswith(b'\xef\xbb\xbf') and lines[4:] == [''], lines
assert lines[0] == 'TARNQUILL ' + sys.argv[2] and lines[1] == 'Electron runtime 43.4.1', lines
assert re.fullmatch(r'Built \d{4}-\d\d-\d\d \d\d:\d\d:\d\d', lines[2]), lines
assert lines[3] == 'Executable icon: embedded multi-resolution TARNQUILL TQ mark', lines
PY
setup_hash=$(sha256sum "$setup_exe" | cut -d' ' -f1)
log_lines >"$scratch/success.log"
has_line "log: installing" "$scratch/success.log" "Installing TARNQUILL $version"
has_line "log: setup hash" "$scratch/success.log" "Installer SHA-256: $setup_hash"
has_line "log: complete" "$scratch/success.log" "Installation complete: $win_app"
has_line "log: old version removed" "$scratch/success.log" "Removed old version: App-0.11.0"
has_line "log: old backup removed" "$scratch/success.log" "Removed old version: Backup-0.11.0-0123456789abcdef0123456789abcdef"
grep -qE "^Removed leftover temporary folder: $cutoff_work \([0-9.]+ MB\)\$" "$scratch/success.log" &&
    echo "ok: log: the cut-off run's work folder removed" || fail "log: no removal of [$cutoff_work]"
check_eq "installer.sha256" "$setup_hash  TARNQUILL-Setup-$version-online.exe"$'\r' \
    "$(cat "$local_root/Logs/installer.sha256")"
quiet="powershell.exe -NoProfile -NonInteractive -ExecutionPolicy Bypass -File \"$win_app\\resources\\app\\scripts\\uninstall-installed.ps1\" -Quiet"
check_eq "DisplayName" TARNQUILL "$(reg_value "$uninstall_key" DisplayName)"
check_eq "DisplayVersion" "$version" "$(reg_value "$uninstall_key" DisplayVersion)"
check_eq "Publisher" TARNQUILL "$(reg_value "$uninstall_key" Publisher)"
check_eq "InstallLocation" "$win_app" "$(reg_value "$uninstall_key" InstallLocation)"
check_eq "DisplayIcon" "$win_app\\resources\\app\\assets\\tarnquill.ico,0" "$(reg_value "$uninstall_key" DisplayIcon)"
check_eq "UninstallString" "powershell.exe -NoProfile -ExecutionPolicy Bypass -File \"$win_app\\resources\\app\\scripts\\uninstall-installed.ps1\"" \
    "$(reg_value "$uninstall_key" UninstallString)"
check_eq "QuietUninstallString" "$quiet" "$(reg_value "$uninstall_key" QuietUninstallString)"
check_eq "NoModify NoRepair" "0x1 0x1" "$(reg_value "$uninstall_key" NoModify) $(reg_value "$uninstall_key" NoRepair)"
installed_on=$(reg_value "$uninstall_key" InstallDate)
last_day=$(date +%Y%m%d)
[[ "$installed_on" =~ ^[0-9]{8}$ && ! "$installed_on" < "$first_day" && ! "$installed_on" > "$last_day" ]] &&
    echo "ok: InstallDate" || fail "InstallDate: expected $first_day to $last_day, got [$installed_on]"
size=$(find "$app" -type f -printf '%s\n' | awk '{ s += $1 } END { printf "0x%x", int((s + 1023) / 1024) }')
check_eq "EstimatedSize" "$size" "$(reg_value "$uninstall_key" EstimatedSize)"
# The package manager manifest made with this setup names the entry this installation wrote: the
# key its product code names, its values, and the root that holds the installed version.
printf '@echo %%LOCALAPPDATA%%\r\n' >"$scratch/local-app-data.cmd"
check_eq "LOCALAPPDATA shown" 0 "$(cmd_run "$scratch/local-app-data.txt" "$scratch/local-app-data.cmd")"
/usr/bin/python3 - "$scratch/winget/TARNQUILL.TARNQUILL/$version/TARNQUILL.TARNQUILL.installer.yaml" \
    "$(head -n 1 "$scratch/local-app-data.txt")" >"$scratch/manifest.txt" <<'PY' || fail "manifest unread"
import sys, yaml
manifest = yaml.safe_load(open(sys.argv[1], encoding="utf-8"))
(entry,) = manifest["AppsAndFeaturesEntries"]
for name in ["ProductCode", "DisplayName", "Publisher", "DisplayVersion"]:
    print(f"{name}={entry[name]}")
print(f"ProductCode of the installer={manifest['ProductCode']}")
root = manifest["InstallationMetadata"]["DefaultInstallLocation"]
print(f"InstallLocation's folder={root.replace('%LOCALAPPDATA%', sys.argv[2])}")
PY
manifest_value() { sed -n "s/^$1=//p" "$scratch/manifest.txt"; }
product_key="${uninstall_key%\\*}\\$(manifest_value ProductCode)"
check_eq "manifest: ProductCode of the installer" "$(manifest_value ProductCode)" \
    "$(manifest_value "ProductCode of the installer")"
for name in DisplayName Publisher DisplayVersion; do
    check_eq "manifest: $name" "$(reg_value "$product_key" "$name")" "$(manifest_value "$name")"
done
location=$(reg_value "$product_key" InstallLocation)
check_eq "manifest: DefaultInstallLocation" "${location%\\*}" "$(manifest_value "InstallLocation's folder")"
for link in "$users/Desktop/TARNQUILL.lnk" "$programs/TARNQUILL.lnk"; do
    /usr/bin/python3 "$wine_root/tests/support/lnk_fields.py" "$link" >"$scratch/link.txt" 2>&1 || true
    has_line "target of ${link##*/users/}" "$scratch/link.txt" "target=$win_app\\TARNQUILL.exe"
    has_line "working folder of ${link##*/users/}" "$scratch/link.txt" "working_dir=$win_app"
    has_line "icon of ${link##*/users/}" "$scratch/link.txt" "icon_location=$win_app\\resources\\app\\assets\\tarnquill.ico"
done
/usr/bin/python3 "$wine_root/tests/support/lnk_fields.py" "$programs/TARNQUILL/Uninstall TARNQUILL.lnk" \
    >"$scratch/link.txt" 2>&1 || true
has_line "uninstall shortcut arguments" "$scratch/link.txt" \
    "arguments=-NoProfile -ExecutionPolicy Bypass -File \"$win_app\\resources\\app\\scripts\\uninstall-installed.ps1\""
grep -q '^target=.*powershell\.exe$' "$scratch/link.txt" && echo "ok: uninstall shortcut target" ||
    fail "uninstall shortcut target: $(cat "$scratch/link.txt")"
/usr/bin/python3 - "$app/TARNQUILL.exe" "$app/resources/app/assets/tarnquill.ico" "$scratch/archive.zip" <<'PY' &&
import hashlib, struct, sys, zipfile, pefile
pe = pefile.PE(sys.argv[1])
found = {}
for kind in pe.DIRECTORY_ENTRY_RESOURCE.entries:
    for name in kind.directory.entries:
        for language in name.directory.entries:
            found.setdefault(kind.id, {}).setdefault(name.id, set()).add(language.id)
images = struct.unpack_from('<H', open(sys.argv[2], 'rb').read(), 4)[0]
languages = {0, 1033, 1049, 1031, 1053}
assert found[14] == {1: languages, 101: languages, 32512: languages}, found[14]
assert {k: v for k, v in found[3].items() if k >= 5001} == {5001 + i: languages for i in range(images)}, found[3]
original = zipfile.ZipFile(sys.argv[3]).read('electron.exe')
assert hashlib.sha256(original).digest() != hashlib.sha256(open(sys.argv[1], 'rb').read()).digest()
PY
    echo "ok: icon groups 1, 101, 32512 and images 5001+ in five languages; TARNQUILL.exe changed" ||
    fail "icon resources of TARNQUILL.exe"
check_eq "work and build folders after success" "" "$(leftovers)"
[ -z "$(leftovers)" ] || find "$users/Temp"/TARNQUILL-* -maxdepth 3 -printf '%TT %p\n' >&2
check_eq "application started in its folder" "$win_app" \
    "$(powershell_record "$scratch/app-started.record" directory 2>/dev/null || echo none)"

echo "== Reinstall through the mirror, [ and ] in TEMP, a file in the work folder held past the end (${SECONDS} s)"
rm -f "$serve/primary.zip" "$scratch/app-started.record"
cp "$scratch/archive.zip" "$serve/mirror.zip"
: >"$scratch/server/requests.log"
bracket_temp="$users/Temp/temp [1]"
rm -rf "$bracket_temp"
mkdir -p "$bracket_temp"
setup_start reinstall "$bracket_temp"
if engine_console_wait "$consent_prompt" 240 "$scratch/reinstall.consent.txt"; then
    hold_in_work_folder "$bracket_temp" && echo "ok: a file in the work folder held" ||
        fail "no work folder under [$bracket_temp] or its file not held: $(ls -A "$bracket_temp")"
    consent reinstall consent.txt "$consent_prompt" y
else
    screenshot "$wine_release/wine/screenshots/engine-reinstall-consent.png"
    fail "reinstall: no consent prompt with [ and ] in TEMP: $(cat "$scratch/reinstall.consent.txt" 2>/dev/null)"
    engine_console_type "|"
fi
setup_finish
check_eq "exit code after the reinstall" 0 "$run_rc"
end=$((SECONDS + 300))
until [ -e "$scratch/holder.rc" ] || [ "$run_rc" != 0 ] || [ $SECONDS -ge $end ]; do sleep 0.2; done
check_eq "holder let go after the removal had begun" 0 "$(cat "$scratch/holder.rc" 2>/dev/null || echo none)"
check_eq "work folder after a success with a held file" "" \
    "$(find "$bracket_temp" -mindepth 1 -maxdepth 1 -name 'TARNQUILL-*' -printf '%f\n')"
rm -rf "$bracket_temp"
check_eq "requests: primary, then mirror" "GET /file/primary GET /file/mirror" \
    "$(sed -E 's#^(GET /file/[a-z]+)/.*#\1#' "$scratch/server/requests.log" | tr '\n' ' ' | sed 's/ $//')"
backup=$(ls "$local_root" | grep '^Backup-' || true)
[[ "$backup" =~ ^Backup-${version//./\\.}-[0-9a-f]{32}$ ]] && [ -f "$local_root/$backup/TARNQUILL.exe" ] &&
    echo "ok: backup $backup" || fail "backup folder: [$backup]"
check_eq "no retention after the reinstall" 0 \
    "$(log_lines | awk '/^Installing/ { n = 0 } /^Removed old version/ { n++ } END { print n + 0 }')"
[ -f "$scratch/app-started.record" ] && echo "ok: application started again" || fail "no start after the reinstall"

echo "== The registered quiet uninstall through cmd (${SECONDS} s)"
# A command file carries the command line as registered, quotes and all.
printf '@%s\r\n@exit /b %%errorlevel%%\r\n' "$(reg_value "$uninstall_key" QuietUninstallString)" \
    >"$scratch/uninstall.cmd"
set +e
: >"$compile_log"
DISPLAY= TARNQUILL_ENGINE_COMPILE_LOG="$(wine_path "$compile_log")" \
    wine cmd /c "$(wine_path "$scratch/uninstall.cmd")" 2>&1 </dev/null | tr -d '\r' >"$scratch/uninstall.out"
rc=${PIPESTATUS[0]}
set -e
check_eq "exit code of the uninstall" 0 "$rc"
# The uninstaller compiles only when it first meets a reparse point, so at most once.
uninstall_compiles=$(tr -d '\r' <"$compile_log" | cut -d' ' -f1-2 | tr '\n' ';')
case "$uninstall_compiles" in
"compiles 0;" | "compiles 1;") echo "ok: C# compiles of the uninstaller's PowerShell: $uninstall_compiles" ;;
*) fail "C# compiles of the uninstaller's PowerShell: expected one process with at most one, got [$uninstall_compiles]" ;;
esac
has_line "uninstall report" "$scratch/uninstall.out" "TARNQUILL uninstalled. Your settings, diagnostic history and startup backups were retained."
[ ! -e "$local_root" ] && echo "ok: installation root removed" || fail "left in the root: $(ls -A "$local_root")"
[ ! -e "$users/Desktop/TARNQUILL.lnk" ] && [ ! -e "$programs/TARNQUILL.lnk" ] && [ ! -e "$programs/TARNQUILL" ] &&
    echo "ok: shortcuts removed" || fail "shortcuts left"
wine reg query "$uninstall_key" >/dev/null 2>&1 && fail "uninstall entry left" || echo "ok: uninstall entry removed"
check_eq "start-up value into the root removed, the other kept" ":C:\\other\\other.exe" \
    "$(reg_value "$run_key" TARNQUILL):$(reg_value "$run_key" Other)"
[ -f "$users/AppData/Roaming/TARNQUILL/settings.json" ] && echo "ok: user data kept" || fail "user data removed"

echo "== Done (${SECONDS} s)"
checks_finish "engine setup"
