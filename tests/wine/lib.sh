#!/usr/bin/env bash
# Shared helpers for the Wine tests: a prefix under release/, a private X server, dialog answers
# with xdotool and screenshots. Source it; it defines functions and sets no traps.

wine_root=$(cd "$(dirname "${BASH_SOURCE[0]}")/../.." && pwd)
wine_release="${TARNQUILL_RELEASE:-$wine_root/release}"

export WINEDEBUG="${WINEDEBUG:--all}"
# No Mono or Gecko prompts in a fresh prefix.
export WINEDLLOVERRIDES="mscoree,mshtml="
export WINEPREFIX="${WINEPREFIX:-$wine_release/wine/prefix}"
export PATH="/usr/lib/llvm-19/bin:$PATH"

# The product version that package.json names, as the setup file name and its dialogs carry it.
product_version() {
    /usr/bin/python3 -c 'import json,sys; print(json.load(open(sys.argv[1]))["version"])' \
        "$wine_root/package.json"
}

# Creates the prefix once. Several tests may ask at the same time, so creation holds a lock and
# a marker file says the prefix is complete.
wine_prefix_ensure() {
    local prefix="${1:-$WINEPREFIX}"
    mkdir -p "$(dirname "$prefix")"
    (
        flock 9
        if [ ! -f "$prefix/.tarnquill-ready" ]; then
            # A half-made prefix of our own (under release/) is made again; any other folder
            # is never deleted.
            case "$prefix" in
            "$wine_release"/*) [ -f "$prefix/system.reg" ] || rm -rf "$prefix" ;;
            esac
            if [ ! -f "$prefix/system.reg" ]; then
                WINEPREFIX="$prefix" wineboot -i >/dev/null 2>&1 || exit 1
            fi
            WINEPREFIX="$prefix" wineserver -w
            [ -f "$prefix/system.reg" ] || exit 1
            touch "$prefix/.tarnquill-ready"
        fi
    ) 9>"$prefix.lock"
}

# A run that starts while an earlier session of the prefix shuts down fails, so each GUI run
# begins with a stopped wineserver.
wine_reset() {
    wineserver -k >/dev/null 2>&1 || true
    wineserver -w >/dev/null 2>&1 || true
}

# Starts Xvfb on the first free display number from 90 and exports DISPLAY.
xvfb_start() {
    local n
    for n in $(seq 90 199); do
        [ -e "/tmp/.X11-unix/X$n" ] || [ -e "/tmp/.X$n-lock" ] && continue
        Xvfb ":$n" -screen 0 1280x1024x24 -nolisten tcp >/dev/null 2>&1 &
        XVFB_PID=$!
        # Until it listens, or has ended because another server took the number first. Two tests
        # may start a server on the same number at once: the socket is ours only when the lock
        # file names our server, else this test would lose its display when the other one ends.
        local end=$((SECONDS + 120))
        while [ $SECONDS -lt $end ]; do
            if [ -e "/tmp/.X11-unix/X$n" ] &&
                [ "$(tr -d ' \n' <"/tmp/.X$n-lock" 2>/dev/null)" == "$XVFB_PID" ]; then
                export DISPLAY=":$n"
                return 0
            fi
            kill -0 "$XVFB_PID" 2>/dev/null || break
            sleep 0.1
        done
        kill "$XVFB_PID" 2>/dev/null || true
        wait "$XVFB_PID" 2>/dev/null || true
    done
    echo "No free X display for Xvfb" >&2
    return 1
}

xvfb_stop() {
    if [ -n "${XVFB_PID:-}" ]; then
        kill "$XVFB_PID" 2>/dev/null || true
        wait "$XVFB_PID" 2>/dev/null || true
        XVFB_PID=
    fi
}

# dialog_wait TITLE [SECONDS] [RCFILE]: prints the id of the visible window whose title matches the
# regular expression, waiting up to SECONDS (60 unless given); fails when none appears, and gives
# up at once when RCFILE is given and exists (the program has ended without showing the window).
dialog_wait() {
    local title="$1" end=$((SECONDS + ${2:-60})) rcfile="${3:-}" window
    while [ $SECONDS -lt $end ] && { [ -z "$rcfile" ] || [ ! -e "$rcfile" ]; }; do
        window=$(xdotool search --onlyvisible --name "$title" 2>/dev/null | head -n 1)
        [ -n "$window" ] && echo "$window" && return 0
        sleep 0.5
    done
    return 1
}

# Enter presses the default button: Yes in a Yes/No box, OK in an error box.
dialog_press_default() {
    timeout 10 xdotool windowfocus --sync "$1" 2>/dev/null || true
    xdotool key Return
}

# Clicks the OK button of an error box (centred, near the bottom edge). A box that Wine opens
# after another process's console took the foreground ignores keys until it is clicked.
dialog_press_ok() {
    local WIDTH HEIGHT X Y SCREEN WINDOW
    eval "$(xdotool getwindowgeometry --shell "$1" 2>/dev/null)" || return 0
    [ -n "${WIDTH:-}" ] || return 0
    xdotool mousemove --window "$1" $((WIDTH / 2)) $((HEIGHT - 22)) click 1 2>/dev/null || true
}

# Tab moves to No; this works whatever the language of the buttons.
dialog_press_no() {
    timeout 10 xdotool windowfocus --sync "$1" 2>/dev/null || true
    xdotool key Tab Return
}

# Saves the whole screen as a PNG.
screenshot() {
    mkdir -p "$(dirname "$1")"
    import -window root "$1" 2>/dev/null || xwd -root -silent | convert-im6.q16 xwd:- "png:$1"
}

# Generates a locale under release/ without touching the system; prints the LOCPATH folder.
locale_make() {
    local name="$1" dir="$wine_release/wine/locales"
    mkdir -p "$dir"
    if [ ! -d "$dir/$name.UTF-8" ]; then
        (
            flock 9
            [ -d "$dir/$name.UTF-8" ] || localedef -i "$name" -f UTF-8 "$dir/$name.UTF-8" >/dev/null 2>&1 || true
        ) 9>"$dir.lock"
    fi
    [ -d "$dir/$name.UTF-8" ] || return 1
    echo "$dir"
}

# Windows form of a Unix path (Z: drive).
wine_path() {
    winepath -w "$1" 2>/dev/null
}

# native_program_build NAME SOURCE SUBSYSTEM RCFILE|- FUNCTION...: builds a small freestanding
# Windows program from one C file that imports the named KERNEL32 functions (and, unless RCFILE
# is -, carries the resources of that .rc file), once per change of its source; prints the path
# of the executable, release/wine/native/NAME.exe.
native_program_build() {
    local name="$1" source="$2" subsystem="$3" rc="$4" dir="$wine_release/wine/native"
    shift 4
    mkdir -p "$dir"
    (
        flock 9
        [ -f "$dir/$name.exe" ] && [ "$dir/$name.exe" -nt "$source" ] && exit 0
        local resources=()
        if [ "$rc" != - ]; then
            # llvm-rc takes a leading slash for an option as well, so an absolute path that
            # starts like one (/data, /usr, /ci) is read as an option: it gets relative names.
            (cd "$dir" && llvm-rc -FO "$name.res" "$(realpath --relative-to="$dir" "$rc")") || exit 1
            resources=("$dir/$name.res")
        fi
        printf '%s\n' 'LIBRARY KERNEL32.dll' 'EXPORTS' "$@" >"$dir/$name.def"
        lld-link /lib /def:"$dir/$name.def" /machine:x64 /out:"$dir/$name-kernel32.lib" >/dev/null &&
            clang --target=x86_64-pc-windows-msvc -ffreestanding -fno-builtin -fno-stack-protector \
                -Os -fshort-wchar -c "$source" -o "$dir/$name.obj" &&
            lld-link "$dir/$name.obj" "${resources[@]}" "$dir/$name-kernel32.lib" \
                /subsystem:"$subsystem" /entry:mainCRTStartup /nodefaultlib /machine:x64 \
                /out:"$dir/$name.exe.new" >/dev/null &&
            mv "$dir/$name.exe.new" "$dir/$name.exe" || exit 1
    ) 9>"$dir.lock" || return 1
    echo "$dir/$name.exe"
}

# The kernel32 functions that powershell_double.c imports.
powershell_double_imports=(GetCommandLineW GetConsoleTitleW GetCurrentDirectoryW GetEnvironmentVariableW
    CreateFileW WriteFile CloseHandle GetStdHandle Sleep ExitProcess)

# Builds the powershell.exe test double (powershell_double.c) and prints its path.
powershell_double_build() {
    native_program_build powershell "$wine_root/tests/wine/powershell_double.c" console - \
        "${powershell_double_imports[@]}"
}

# The kernel32 functions that exit_code.c imports.
exit_code_imports=(GetCommandLineW CreateProcessW WaitForSingleObject GetExitCodeProcess GetLastError
    GetEnvironmentVariableW CreateFileW WriteFile CloseHandle GetStdHandle ExitProcess)

# Builds the full exit-code reader (exit_code.c) and prints its path. Run a program through it:
# `TARNQUILL_TEST_EXIT_FILE=<windows path> wine <reader> "<program>" args...`; the file then holds
# the program's whole 32-bit exit code, which wine's own exit status cuts to 8 bits.
exit_code_build() {
    native_program_build exit_code "$wine_root/tests/wine/exit_code.c" console - "${exit_code_imports[@]}"
}

# The folder of Windows PowerShell in the prefix; it is on the prefix's search path as well.
powershell_system_dir() {
    echo "$WINEPREFIX/drive_c/windows/system32/WindowsPowerShell/v1.0"
}

# Puts the test double where the bootstrap and the launchers look for Windows PowerShell.
powershell_double_install() {
    local double
    double=$(powershell_double_build) || return 1
    mkdir -p "$(powershell_system_dir)"
    cp "$double" "$(powershell_system_dir)/powershell.exe"
}

# Reads one field of the double's record file: powershell_record FILE NAME. Fails when the
# field is absent.
powershell_record() {
    /usr/bin/python3 - "$1" "$2" <<'PY'
import sys
text = open(sys.argv[1], 'rb').read().decode('utf-16-le')
for line in text.split('\n'):
    name, sep, value = line.partition('=')
    if name == sys.argv[2] and sep:
        sys.stdout.write(value)
        sys.exit(0)
sys.exit(1)
PY
}

# wine_cmd_unstarted STATUS ERRFILE: true when Wine's cmd reported the program it was to run as
# unknown: exit status 9009 and its message on standard error, "Can't recognize ..." or, under the
# setup test's Russian locale, the Russian for "... is not ..." in Windows-1251 bytes. On a loaded
# machine it now and then does so for a program that is there (seen with cmd.exe itself); such a
# run is made once more, and a command that is really unknown fails the second time as well.
wine_cmd_unstarted() {
    [ "$1" == $((9009 % 256)) ] &&
        LC_ALL=C grep -qE "Can't recognize|"$'\xed\xe5 \xff\xe2\xeb\xff\xe5\xf2\xf1\xff' "$2"
}

# cmd_run OUT CMDFILE: runs a command file under Wine's cmd.exe with a few Enter presses on
# standard input (for pause), writes its output without carriage returns to OUT and prints
# cmd's exit status.
cmd_run() {
    local out="$1" file="$2" rc attempt
    for attempt in 1 2; do
        set +e
        printf '\r\n\r\n\r\n\r\n' | DISPLAY= wine cmd /c "$(wine_path "$file")" >"$out.raw" 2>"$out.err"
        rc=${PIPESTATUS[1]}
        set -e
        wine_cmd_unstarted "$rc" "$out.err" || break
    done
    tr -d '\r' <"$out.raw" >"$out"
    echo "$rc"
}

# cmd_run_held OUT CMDFILE [FILE]: runs a command file under Wine's cmd.exe with a keyboard that
# types nothing until the command file has ended or shows a "Press any key" line, then one
# Enter. Sets CMD_HELD (yes when it was still running at that moment), CMD_FILE_BEFORE (yes when
# FILE existed then) and CMD_RC. Run from the folder that should be current.
cmd_run_held() {
    local out="$1" file="$2" probe="${3:-}" keys="$1.keys" rcfile="$1.rc" end
    rm -f "$keys" "$rcfile"
    mkfifo "$keys"
    (
        DISPLAY= wine cmd /c "$(wine_path "$file")" <"$keys" >"$out" 2>&1 && status=0 || status=$?
        echo "$status" >"$rcfile"
    ) &
    local runner=$!
    exec 7>"$keys"
    end=$((SECONDS + 300))
    until [ -e "$rcfile" ] || grep -q 'Press any key' "$out" 2>/dev/null || [ $SECONDS -ge $end ]; do
        sleep 0.2
    done
    # A command file that went on without its key would show it within moments; the checks
    # below pass on a correct one however long this takes.
    [ -e "$rcfile" ] || sleep 2
    CMD_HELD=no
    [ -e "$rcfile" ] || CMD_HELD=yes
    CMD_FILE_BEFORE=no
    [ -n "$probe" ] && [ -e "$probe" ] && CMD_FILE_BEFORE=yes
    # The command file may have ended already; a key typed into nothing is no error.
    (trap '' PIPE; printf '\r\n' >&7) 2>/dev/null || true
    end=$((SECONDS + 300))
    until [ -e "$rcfile" ] || [ $SECONDS -ge $end ]; do
        sleep 0.2
    done
    exec 7>&-
    wait "$runner" || true
    CMD_RC=$(cat "$rcfile" 2>/dev/null || echo none)
    tr -d '\r' <"$out" >"$out.tmp" && mv "$out.tmp" "$out"
}
