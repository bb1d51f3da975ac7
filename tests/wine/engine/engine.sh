#!/usr/bin/env bash
# The real PowerShell engine as Windows PowerShell under Wine, in a prefix of its own
# (release/wine/engine-prefix), so the shared prefix keeps its powershell.exe test double.
# Source it after lib.sh; it defines functions and sets no traps.

engine_source="$wine_root/tests/wine/engine"
engine_out="$wine_release/wine/engine"
engine_prefix="$wine_release/wine/engine-prefix"
engine_pwsh_tool="$wine_release/tools/pwsh/.store/powershell/7.6.10/powershell/7.6.10/tools/net10.0/any/win"

# A stamp of everything that makes the engine and its prefix settings; a change makes them again.
engine_stamp() {
    cat "$engine_source/PowerShellHost.csproj" "$engine_source/Program.cs" "$engine_source/engine.sh" |
        sha256sum | cut -c1-16
}

# Publishes the host (self-contained win-x64, named powershell.exe) with the built-in modules of
# the SDK package beside it, where the engine looks for them ($PSHOME\Modules).
engine_publish() {
    local publish="$engine_out/publish" packages="$engine_out/packages"
    export DOTNET_CLI_TELEMETRY_OPTOUT=1 DOTNET_NOLOGO=1 DOTNET_SKIP_FIRST_TIME_EXPERIENCE=1
    rm -rf "$publish"
    dotnet publish "$engine_source/PowerShellHost.csproj" -c Release -o "$publish" \
        --packages "$packages" >"$engine_out/publish.log" 2>&1 || { cat "$engine_out/publish.log" >&2; return 1; }
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
    local stamp marker="$engine_prefix/.tarnquill-engine"
    mkdir -p "$engine_out"
    stamp=$(engine_stamp)
    (
        flock 9
        [ -f "$marker" ] && [ "$(cat "$marker")" == "$stamp" ] && exit 0
        if [ ! -f "$engine_out/publish/powershell.exe" ] || [ ! -f "$engine_out/publish.stamp" ] ||
            [ "$(cat "$engine_out/publish.stamp")" != "$stamp" ]; then
            engine_publish || exit 1
            echo "$stamp" >"$engine_out/publish.stamp"
        fi
        wine_prefix_ensure "$engine_prefix" || exit 1
        export WINEPREFIX="$engine_prefix"
        engine_prefix_configure && engine_install && wineserver -w || exit 1
        echo "$stamp" >"$marker"
    ) 9>"$engine_out.lock"
}
