#!/usr/bin/env bash
# Test tools: Debian packages (python3-yaml reads the package manager manifest), PowerShell
# 7.6.10, Pester 5, the CycloneDX validator and a package URL parser under release/tools.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
"$root/tools/install-build-deps.sh"
"$root/tools/apt-ensure.sh" wine wine64 xvfb xdotool fonts-dejavu-core x11-apps \
    python3 python3-pefile python3-yaml unzip zip imagemagick librsvg2-bin nodejs locales curl \
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
# The CycloneDX 1.6 JSON schema validator that checks the bill of materials
# (tests/support/validate_cyclonedx.js), and the package URL parser that reads the runtime's purl
# in it. npm comes with Node.js; Debian packs it apart.
npm_tools=(@cyclonedx/cyclonedx-library@10.3.0 ajv@8.20.0 ajv-formats@3.0.1
    ajv-formats-draft2019@1.6.1 packageurl-js@2.0.1)
if [ "$(cat "$tools/npm/installed.txt" 2>/dev/null)" != "${npm_tools[*]}" ]; then
    command -v npm >/dev/null || "$root/tools/apt-ensure.sh" npm
    echo "Installing the CycloneDX validator and the package URL parser into release/tools/npm"
    mkdir -p "$tools/npm"
    npm install --prefix "$tools/npm" --no-audit --no-fund --save-exact "${npm_tools[@]}"
    echo "${npm_tools[*]}" >"$tools/npm/installed.txt"
fi
