Set-StrictMode -Version Latest

# The installation's records in the Logs folder of the install root: installer.log, one time-stamped
# line an entry, and installer.sha256, the checksum line of the setup file. Loaded by dot-sourcing by
# the install procedure; it appends to and writes only the files it is given.

. (Join-Path -Path $PSScriptRoot -ChildPath 'disk-space.ps1')

function Add-TarnquillLogEntry {
    <#
    .SYNOPSIS
    Appends one time-stamped line to installer.log (UTF-8, CR LF; a new file starts with a byte-order mark).
    #>
    [CmdletBinding()]
    param(
        [Parameter(Mandatory = $true)]
        [string]$Path,

        [Parameter(Mandatory = $true)]
        [string]$Text
    )
    $stamp = [System.DateTime]::Now.ToString('yyyy-MM-ddTHH:mm:ss.fffffffzzz', [System.Globalization.CultureInfo]::InvariantCulture)
    $encoding = New-Object -TypeName System.Text.UTF8Encoding -ArgumentList $true
    $line = $encoding.GetBytes($stamp + ' ' + $Text + "`r`n")
    try {
        $stream = New-Object -TypeName System.IO.FileStream -ArgumentList @(
            $Path, [System.IO.FileMode]::Append, [System.IO.FileAccess]::Write, [System.IO.FileShare]::Read)
        try {
            if ($stream.Length -eq 0) {
                $preamble = $encoding.GetPreamble()
                $stream.Write($preamble, 0, $preamble.Length)
            }
            $stream.Write($line, 0, $line.Length)
        } finally {
            $stream.Dispose()
        }
    } catch {
        # On a full disk the line is skipped: the step that filled it reports that itself.
        if (-not (Test-TarnquillDiskFull -Exception $_.Exception)) {
            throw
        }
    }
}

function Write-TarnquillHashFile {
    <#
    .SYNOPSIS
    Writes installer.sha256: the checksum line of the setup executable in ASCII ("?" for other characters).
    #>
    [CmdletBinding()]
    param(
        [Parameter(Mandatory = $true)]
        [string]$Path,

        [Parameter(Mandatory = $true)]
        [string]$Hash,

        [Parameter(Mandatory = $true)]
        [string]$FileName
    )
    $bytes = [System.Text.Encoding]::ASCII.GetBytes($Hash + '  ' + $FileName + "`r`n")
    [System.IO.File]::WriteAllBytes($Path, $bytes)
}
