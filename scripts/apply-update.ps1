<#
.SYNOPSIS
Starts a downloaded TARNQUILL setup only when its published checksum matches.

.DESCRIPTION
The checksum file holds one line: the setup file's SHA-256 as 64 lower-case
hexadecimal digits, two spaces, and the setup file's name. The line must name
the given setup file and its digest must match the file's bytes; otherwise
nothing is started. The setup file stays open for reading, and closed to
writers, from the hash check until the setup has been started.
#>
[CmdletBinding()]
param(
    [Parameter(Mandatory = $true)]
    [string]$SetupPath,

    [Parameter(Mandatory = $true)]
    [string]$ChecksumPath
)

Set-StrictMode -Version Latest
$ErrorActionPreference = 'Stop'

function Read-TarnquillChecksumLine {
    [CmdletBinding()]
    param(
        [Parameter(Mandatory = $true)]
        [string]$LiteralPath
    )
    if (-not (Test-Path -LiteralPath $LiteralPath -PathType Leaf)) {
        throw "The checksum file was not found: $LiteralPath. Nothing was started."
    }
    $text = [System.IO.File]::ReadAllText($LiteralPath, [System.Text.Encoding]::ASCII)
    $match = [regex]::Match($text, '\A([0-9a-f]{64})  ([^\r\n\\/]+)(\r?\n)?\z')
    if (-not $match.Success) {
        throw 'The checksum file does not hold one line of 64 lower-case hexadecimal digits, two spaces and a file name. Nothing was started.'
    }
    [pscustomobject]@{
        Sha256   = $match.Groups[1].Value
        FileName = $match.Groups[2].Value
    }
}

function Get-TarnquillStreamSha256 {
    [CmdletBinding()]
    param(
        [Parameter(Mandatory = $true)]
        [System.IO.Stream]$Stream
    )
    # The CryptoAPI implementation: SHA256Managed, which SHA256.Create() gives on the
    # .NET Framework, refuses to run when the Windows FIPS policy is on.
    $sha = New-Object -TypeName System.Security.Cryptography.SHA256CryptoServiceProvider
    try {
        $bytes = $sha.ComputeHash($Stream)
    } finally {
        $sha.Dispose()
    }
    (($bytes | ForEach-Object -Process { $_.ToString('x2') }) -join '')
}

function Start-TarnquillSetup {
    [CmdletBinding()]
    param(
        [Parameter(Mandatory = $true)]
        [string]$LiteralPath
    )
    Start-Process -FilePath $LiteralPath | Out-Null
}

if (-not (Test-Path -LiteralPath $SetupPath -PathType Leaf)) {
    throw "The update file was not found: $SetupPath. Nothing was started."
}
$setupFullPath = [System.IO.Path]::GetFullPath($SetupPath)
$expected = Read-TarnquillChecksumLine -LiteralPath $ChecksumPath
$setupName = [System.IO.Path]::GetFileName($setupFullPath)
if (-not [string]::Equals($expected.FileName, $setupName, [System.StringComparison]::OrdinalIgnoreCase)) {
    throw "The checksum file is for '$($expected.FileName)', not for '$setupName'. Nothing was started."
}

# Held open with read sharing only, so the bytes checked are the bytes started.
$stream = New-Object -TypeName System.IO.FileStream -ArgumentList @(
    $setupFullPath, [System.IO.FileMode]::Open, [System.IO.FileAccess]::Read, [System.IO.FileShare]::Read)
try {
    $actual = Get-TarnquillStreamSha256 -Stream $stream
    if ($actual -cne $expected.Sha256) {
        throw "The SHA-256 of '$setupName' is $actual, but the checksum file says $($expected.Sha256). The file may be damaged or altered. Nothing was started."
    }
    Write-Host "Checksum verified: $actual  $setupName" -ForegroundColor Green
    Start-TarnquillSetup -LiteralPath $setupFullPath
} finally {
    $stream.Dispose()
}
