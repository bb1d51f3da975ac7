#!/usr/bin/env bash
# Test tools: Debian packages, PowerShell 7.6.10 and Pester 5 under release/tools.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
"$root/tools/install-build-deps.sh"
"$root/tools/apt-ensure.sh" wine wine64 xvfb xdotool fonts-dejavu-core x11-apps \
    python3 python3-pefile unzip zip imagemagick librsvg2-bin nodejs locales curl \
    openssl

tools="$root/release/tools"
export DOTNET_CLI_TELEMETRY_OPTOUT=1 DOTNET_NOLOGO=1 DOTNET_SKIP_FIRST_TIME_EXPERIENCE=1
if [ ! -x "$tools/pwsh/pwsh" ]; then
    echo "Installing PowerShell 7.6.10 into release/tools/pwsh"
    dotnet tool install PowerShell --version 7.6.10 --tool-path "$tools/pwsh"
fi
if ! ls "$tools"/nuget/pester/5.*/tools/Pester.psd1 >/dev/null 2>&1; then
    echo "Restoring Pester 5 into release/tools/nuget"
    dotnet restore "$root/tools/pester.csproj" --packages "$tools/nuget"
fi
# Reference assemblies for the C# 5 build of the icon writer's source.
if [ -f "$root/tests/native/csharp5/IconWriterCSharp5.csproj" ] && \
   [ ! -f "$root/release/tools/csharp5-restored" ]; then
    dotnet restore "$root/tests/native/csharp5/IconWriterCSharp5.csproj" --packages "$tools/nuget" \
        && touch "$root/release/tools/csharp5-restored"
fi
