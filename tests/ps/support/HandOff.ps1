Set-StrictMode -Version Latest

function Get-TarnquillHandOffCommand {
    <#
    .SYNOPSIS
    Returns the hand-off command of the setup bootstrap as the prepared bootstrap carries it.

    .DESCRIPTION
    Reads the handOffCommand literal out of installer/bootstrap.cpp, joins its pieces, undoes the
    C++ escapes and writes the release version over every @VERSION@ placeholder, as the image
    builder does when it prepares the source. By default the result is the command text that
    Windows PowerShell runs (the text between the double quotes after -Command); with
    -CommandLine it is the whole command line that the bootstrap hands to CreateProcessW.

    .PARAMETER Version
    The release version written into the text, three dot-separated numbers.

    .PARAMETER CommandLine
    Return the whole command line instead of the command text.

    .PARAMETER BootstrapPath
    The bootstrap source to read; by default installer/bootstrap.cpp of this source tree.

    .EXAMPLE
    $text = Get-TarnquillHandOffCommand -Version '0.15.0'
    #>
    [CmdletBinding()]
    param(
        [Parameter(Mandatory = $true)]
        [ValidatePattern('^\d+\.\d+\.\d+$')]
        [string]$Version,

        [switch]$CommandLine,

        [string]$BootstrapPath = ''
    )

    if ([string]::IsNullOrWhiteSpace($BootstrapPath)) {
        $root = [IO.Path]::GetFullPath((Join-Path -Path $PSScriptRoot -ChildPath '../../..'))
        $BootstrapPath = Join-Path -Path (Join-Path -Path $root -ChildPath 'installer') -ChildPath 'bootstrap.cpp'
    }
    $source = [IO.File]::ReadAllText($BootstrapPath)

    $declaration = [regex]::Match($source, 'handOffCommand\[\]\s*=')
    if (-not $declaration.Success) {
        throw "No handOffCommand declaration in $BootstrapPath."
    }

    # Adjacent u"..." literals, up to the first thing that is not one.
    $pieces = New-Object -TypeName System.Text.StringBuilder
    $literal = [regex]'\G\s*u"((?:[^"\\]|\\.)*)"'
    $position = $declaration.Index + $declaration.Length
    $match = $literal.Match($source, $position)
    while ($match.Success) {
        [void]$pieces.Append($match.Groups[1].Value)
        $position = $match.Index + $match.Length
        $match = $literal.Match($source, $position)
    }
    if ($pieces.Length -eq 0) {
        throw "The handOffCommand declaration in $BootstrapPath holds no text."
    }

    $escaped = $pieces.ToString()
    foreach ($escape in [regex]::Matches($escaped, '\\(.)')) {
        if ($escape.Groups[1].Value -ne '\' -and $escape.Groups[1].Value -ne '"') {
            throw "The hand-off command uses an escape this reader does not know: $($escape.Value)"
        }
    }
    $line = [regex]::Replace($escaped, '\\(.)', '$1').Replace('@VERSION@', $Version)

    if ($CommandLine) {
        return $line
    }
    $prefix = '"WindowsPowerShell" -NoLogo -NoProfile -ExecutionPolicy Bypass -Command "'
    if (-not $line.StartsWith($prefix, [StringComparison]::Ordinal) -or -not $line.EndsWith('"', [StringComparison]::Ordinal)) {
        throw "The hand-off command line does not have the expected form: $line"
    }
    return $line.Substring($prefix.Length, $line.Length - $prefix.Length - 1)
}
