<#
.SYNOPSIS
Writes every image of a Windows ICO file into an executable as its icon.

.DESCRIPTION
Each image of the ICO file becomes an icon resource (type 3) with the ID 5001
plus its index, in five languages (neutral, 1033, 1049, 1031, 1053), and one
group-icon resource (type 14) listing them is written under the IDs 1, 101 and
32512 in the same five languages. Other resources of the executable are kept.
The executable is changed in place through the kernel32 resource-update
functions; a failed write discards the whole update and leaves the file as it
was. The ICO file is read and checked completely before the executable is
opened. Afterwards the executable's SHA-256 must differ from the one taken
before. Nothing is written to the output stream.

.PARAMETER ExecutablePath
The executable to change. A relative path is resolved against the process's
current directory.

.PARAMETER IconPath
The ICO file whose images become the executable's icon. A relative path is
resolved against the process's current directory.
#>
[CmdletBinding()]
param(
    [Parameter(Mandatory = $true)]
    [string]$ExecutablePath,

    [Parameter(Mandatory = $true)]
    [string]$IconPath
)
Set-StrictMode -Version Latest
$ErrorActionPreference = 'Stop'

# The writer itself is C# (native\IconResourceWriter.cs), compiled with the rest of the scripts' C#
# once per process.
. (Join-Path -Path $PSScriptRoot -ChildPath 'native-methods.ps1')

function Get-TarnquillFileSha256 {
    <#
    .SYNOPSIS
    Returns the SHA-256 of a file as hexadecimal text.
    #>
    [CmdletBinding()]
    param(
        [Parameter(Mandatory = $true)]
        [string]$LiteralPath
    )
    (Get-FileHash -LiteralPath $LiteralPath -Algorithm SHA256).Hash
}


$fullExecutablePath = [System.IO.Path]::GetFullPath($ExecutablePath)
$fullIconPath = [System.IO.Path]::GetFullPath($IconPath)

if (-not [System.IO.File]::Exists($fullExecutablePath)) {
    throw "Executable not found: $fullExecutablePath"
}
if (-not [System.IO.File]::Exists($fullIconPath)) {
    throw "Icon not found: $fullIconPath"
}

$hashBefore = Get-TarnquillFileSha256 -LiteralPath $fullExecutablePath
Import-TarnquillNativeMethods
try {
    [TarnQuill.Build.IconResourceWriter]::Apply($fullExecutablePath, $fullIconPath)
}
catch [System.Management.Automation.MethodInvocationException] {
    # Report the writer's own error (its message and native code), not the
    # wrapper that PowerShell puts around exceptions from .NET methods.
    if ($null -ne $_.Exception.InnerException) {
        throw $_.Exception.InnerException
    }
    throw
}
$hashAfter = Get-TarnquillFileSha256 -LiteralPath $fullExecutablePath

if ([string]::Equals($hashBefore, $hashAfter, [System.StringComparison]::OrdinalIgnoreCase)) {
    throw 'The executable icon resource was not changed.'
}
Write-Host -Object 'TARNQUILL multi-resolution icon embedded into executable and verified.' -ForegroundColor Green
