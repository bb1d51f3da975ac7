#!/usr/bin/env bash
# The real PowerShell engine as Windows PowerShell under Wine, in a prefix of its own
# (release/wine/engine-prefix), so the shared prefix keeps its powershell.exe test double.
# Source it after lib.sh; it defines functions and sets no traps.

engine_source="$wine_root/tests/wine/engine"
engine_out="$wine_release/wine/engine"
engine_prefix="$wine_release/wine/engine-prefix"
# lib.sh turns mscoree off so that a new prefix asks for no Mono; .NET under Wine needs it to
# load its IL-only assemblies ("mscoree.dll not found, IL-only binary cannot be loaded").
engine_dll_overrides="mshtml="
engine_pwsh_tool="$wine_release/tools/pwsh/.store/powershell/7.6.10/powershell/7.6.10/tools/net10.0/any/win"

# Points wine at the engine's prefix, for this shell and what it starts.
engine_use() {
    export WINEPREFIX="$engine_prefix" WINEDLLOVERRIDES="$engine_dll_overrides"
}

# engine_screen_holds SCREEN TEXT: the console rows kept in SCREEN, run together, hold TEXT.
# Blanks do not count: a blank at the end of a wrapped row is not kept.
engine_screen_holds() {
    tr -d '\n ' <"$1" | grep -qF -- "${2// /}"
}

# A stamp of everything that makes the engine and its prefix settings; a change makes them again.
engine_stamp() {
    cat "$engine_source/PowerShellHost.csproj" "$engine_source/Program.cs" "$@" | sha256sum | cut -c1-16
}

# Publishes the host (self-contained win-x64, named powershell.exe) with the built-in modules of
# the SDK package beside it, where the engine looks for them ($PSHOME\Modules).
engine_publish() {
    local publish="$engine_out/publish" packages="$engine_out/packages"
    export DOTNET_CLI_TELEMETRY_OPTOUT=1 DOTNET_NOLOGO=1 DOTNET_SKIP_FIRST_TIME_EXPERIENCE=1
    rm -rf "$publish"
    dotnet publish "$engine_source/PowerShellHost.csproj" -c Release -o "$publish" \
        --packages "$packages" >"$engine_out/publish.log" 2>&1 || { cat "$engine_out/publish.log" >&2; return 1; }
    rm -rf "$engine_out/bin"
    cp -r "$packages/microsoft.powershell.sdk/7.6.10/contentFiles/any/any/runtimes/win/lib/net10.0/Modules" \
        "$publish/Modules"
    # What Windows users normally have; Restricted would refuse every script.
    printf '{"Microsoft.PowerShell:ExecutionPolicy": "RemoteSigned"}\n' >"$publish/powershell.config.json"
}

# Settings of the prefix that make it behave like a user's Windows 10 for the product and keep
# Wine's own helpers out of the way.
engine_prefix_configure() {
    local user_folder
    # Every process inherits HKCU\Environment; without this .NET 10 under Wine 8 crashes now and
    # then in a finalizer ("Internal CLR error").
    wine reg add 'HKCU\Environment' /v DOTNET_EnableWriteXorExecute /t REG_SZ /d 0 /f >/dev/null
    # No .desktop files for the shortcuts the product writes.
    wine reg add 'HKCU\Software\Wine\DllOverrides' /v winemenubuilder.exe /t REG_SZ /d '' /f >/dev/null
    wine reg add 'HKCU\Software\Wine' /v Version /t REG_SZ /d win10 /f >/dev/null
    wineserver -w
    # The user folders are links to the Linux home folder: make them real folders of the prefix.
    for user_folder in "$engine_prefix/drive_c/users/$(id -un)"/*; do
        if [ -L "$user_folder" ]; then
            rm "$user_folder"
            mkdir "$user_folder"
        fi
    done
}

# Copies the published engine over Wine's stub as Windows PowerShell, and the Archive module of
# the PowerShell tool package where PowerShell 7 accepts it (not $PSHOME\Modules, which it takes
# for Windows PowerShell's own and refuses there modules not marked for Core).
engine_install() {
    local home="$engine_prefix/drive_c/windows/system32/WindowsPowerShell/v1.0"
    local modules="$engine_prefix/drive_c/Program Files/PowerShell/Modules"
    rm -rf "$home"
    mkdir -p "$home" "$modules"
    cp -r "$engine_out/publish/." "$home/"
    rm -rf "$modules/Microsoft.PowerShell.Archive"
    cp -r "$engine_pwsh_tool/Modules/Microsoft.PowerShell.Archive" "$modules/"
}

# Makes the engine and its prefix once, or again after a change of their sources; a marker file
# with the stamp says they are complete.
engine_ensure() {
    local stamp publish_stamp marker="$engine_prefix/.tarnquill-engine"
    mkdir -p "$engine_out"
    stamp=$(engine_stamp "$engine_source/engine.sh")
    publish_stamp=$(engine_stamp)
    (
        flock 9
        [ -f "$marker" ] && [ "$(cat "$marker")" == "$stamp" ] && exit 0
        if [ ! -f "$engine_out/publish/powershell.exe" ] || [ ! -f "$engine_out/publish.stamp" ] ||
            [ "$(cat "$engine_out/publish.stamp")" != "$publish_stamp" ]; then
            engine_publish || exit 1
            echo "$publish_stamp" >"$engine_out/publish.stamp"
        fi
        wine_prefix_ensure "$engine_prefix" || exit 1
        engine_use
        engine_prefix_configure && engine_install && wineserver -w || exit 1
        echo "$stamp" >"$marker"
    ) 9>"$engine_out.lock"
}

# The console reader and typist (console_text.c).
engine_console_tool() {
    native_program_build console_text "$engine_source/console_text.c" console - \
        CreateToolhelp32Snapshot Process32FirstW Process32NextW lstrcmpiW FreeConsole AttachConsole \
        CreateFileW GetConsoleScreenBufferInfo ReadConsoleOutputCharacterW WriteConsoleInputW \
        GetEnvironmentVariableW GetStdHandle WriteFile ExitProcess
}

# Prints the console screen of the running Windows PowerShell, or fails when there is none.
engine_console_screen() {
    wine "$(wine_path "$(engine_console_tool)")" 2>/dev/null
}

# engine_console_wait TEXT SECONDS OUT: waits until the console shows TEXT (a row, or rows run
# together) and keeps the screen in OUT; fails when it does not within the time.
engine_console_wait() {
    local text="$1" seconds="$2" out="$3" end=$((SECONDS + $2))
    while [ $SECONDS -lt $end ]; do
        engine_console_screen >"$out.new" && mv "$out.new" "$out"
        [ -f "$out" ] && engine_screen_holds "$out" "$text" && return 0
        sleep 0.5
    done
    return 1
}

# Types TEXT into the console of the running Windows PowerShell; "|" is Enter.
engine_console_type() {
    TARNQUILL_TEST_CONSOLE_TYPE="$1" wine "$(wine_path "$(engine_console_tool)")" 2>/dev/null
}

# The stand-in for electron.exe: the powershell.exe double (it records its command line and
# current folder in the file that TARNQUILL_TEST_PS_RECORD names) as a GUI program carrying an
# icon for the icon writer to replace. ICON is the .ico to carry.
engine_fake_electron() {
    local icon="$1" rc="$wine_release/wine/native/electron.rc"
    mkdir -p "$(dirname "$rc")"
    printf '1 ICON "%s"\n' "$icon" >"$rc"
    native_program_build electron "$wine_root/tests/wine/powershell_double.c" windows "$rc" \
        "${powershell_double_imports[@]}"
}

# engine_sandbox_tree TREE SHA256 PRIMARY MIRROR: a copy of the source tree (without release/
# and .git) whose runtime constants name the given pin and download hosts, with the image
# builder, when it is built, in its release/bin so that the builder packs this copy.
engine_sandbox_tree() {
    local tree="$1" pwsh="${TARNQUILL_PWSH:-$wine_release/tools/pwsh/pwsh}"
    rm -rf "$tree"
    mkdir -p "$tree/release/bin"
    tar -C "$wine_root" --exclude=./release --exclude=./.git -cf - . | tar -C "$tree" -xf -
    if [ -x "$wine_root/release/bin/build-online" ]; then
        cp "$wine_root/release/bin/build-online" "$tree/release/bin/"
    fi
    "$pwsh" -NoLogo -NoProfile -NonInteractive -Command "
        \$ErrorActionPreference = 'Stop'
        . '$wine_root/tests/ps/support/FakeRuntime.ps1'
        Set-FakeRuntimePin -RuntimeScriptPath '$tree/scripts/runtime.ps1' -Sha256 '$2' -PrimaryUrl '$3' -MirrorUrl '$4'"
}

# engine_fake_archive OUT BULK: the fake runtime archive (FakeRuntime.ps1's layout) with the
# electron.exe stand-in; prints its SHA-256.
engine_fake_archive() {
    local out="$1" bulk="$2" pwsh="${TARNQUILL_PWSH:-$wine_release/tools/pwsh/pwsh}" electron
    local support="$wine_root/tests/ps/support/FakeRuntime.ps1" icon="$wine_release/wine/native/electron.ico"
    mkdir -p "$(dirname "$icon")"
    "$pwsh" -NoLogo -NoProfile -NonInteractive -Command "
        . '$support'; [IO.File]::WriteAllBytes('$icon', (New-FakeRuntimeIconBytes))" || return 1
    electron=$(engine_fake_electron "$icon") || return 1
    rm -f "$out"
    "$pwsh" -NoLogo -NoProfile -NonInteractive -Command "
        \$ErrorActionPreference = 'Stop'
        . '$support'
        Write-FakeElectronArchive -Path '$out' -ExecutablePath '$electron' -BulkBytes $bulk -Layout TopLevel" || return 1
    sha256sum "$out" | cut -d' ' -f1
}

# engine_server_start STATE KEY=FILE...: the fake runtime server on 127.0.0.1 serving each FILE
# under /file/KEY (404 while FILE is absent); sets ENGINE_SERVER_URL and ENGINE_SERVER_PID.
engine_server_start() {
    local state="$1" item arguments=()
    shift
    for item in "$@"; do arguments+=(--file "$item"); done
    mkdir -p "$state"
    rm -f "$state/port"
    /usr/bin/python3 "$wine_root/tests/ps/support/fake_runtime_server.py" --archive /dev/null \
        --log "$state/requests.log" --port-file "$state/port" --parent-pid $$ "${arguments[@]}" &
    ENGINE_SERVER_PID=$!
    local end=$((SECONDS + 120))
    until [ -s "$state/port" ] || [ $SECONDS -ge $end ]; do
        kill -0 "$ENGINE_SERVER_PID" 2>/dev/null || return 1
        sleep 0.1
    done
    [ -s "$state/port" ] || return 1
    ENGINE_SERVER_URL="http://127.0.0.1:$(cat "$state/port")"
}

# engine_small_drive_mount DIR MB: a tmpfs of MB megabytes at DIR, as the engine prefix's drive T:;
# false when mounting is refused (the caller says what it skips).
engine_small_drive_mount() {
    mkdir -p "$1" && mount -t tmpfs -o "size=${2}m" tmpfs "$1" 2>/dev/null &&
        ln -sfn "$1" "$engine_prefix/dosdevices/t:"
}

# engine_small_drive_unmount DIR: drive T: gone, and every tmpfs mounted at or below DIR.
engine_small_drive_unmount() {
    rm -f "$engine_prefix/dosdevices/t:"
    umount -R "$1" 2>/dev/null || true
}

# engine_small_temp DIR MB: the user's TEMP and TMP in the engine prefix moved to T:\Temp, on a tmpfs
# of MB megabytes at DIR; false when mounting is refused. engine_small_temp_restore DIR puts the
# user's own TEMP and TMP back and unmounts; it does nothing when no small TEMP is in use.
engine_small_temp_active=
engine_small_temp_saved=
engine_small_temp() {
    local name attempt
    engine_small_drive_mount "$1" "$2" || return 1
    engine_small_temp_active=1
    mkdir -p "$1/Temp"
    # Asked twice: Wine now and then fails to start reg, and an empty answer would delete TEMP.
    for attempt in 1 2; do
        engine_small_temp_saved=$(wine reg query 'HKCU\Environment' /v TEMP 2>/dev/null | tr -d '\r' |
            sed -n 's/^    TEMP    [A-Z_]*    //p')
        [ -n "$engine_small_temp_saved" ] && break
    done
    for name in TEMP TMP; do
        wine reg add 'HKCU\Environment' /v "$name" /t REG_EXPAND_SZ /d 'T:\Temp' /f >/dev/null
    done
    wine_reset
}
engine_small_temp_restore() {
    local name
    [ -n "$engine_small_temp_active" ] || return 0
    for name in TEMP TMP; do
        if [ -n "$engine_small_temp_saved" ]; then
            wine reg add 'HKCU\Environment' /v "$name" /t REG_EXPAND_SZ /d "$engine_small_temp_saved" /f >/dev/null
        else
            wine reg delete 'HKCU\Environment' /v "$name" /f >/dev/null 2>&1 || true
        fi
    done
    wine_reset
    engine_small_drive_unmount "$1"
    engine_small_temp_active=
}
