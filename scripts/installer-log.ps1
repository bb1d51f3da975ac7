Set-StrictMode -Version Latest

# The installation's records in the Logs folder of the install root: installer.log, one time-stamped
# line an entry, and installer.sha256, the checksum line of the setup file; and the copy of the
# run's log that a deployment asks for (-LogPath): every installer.log entry and every console
# message. Loaded by dot-sourcing by the install procedure; it appends to and writes only the files
# it is given.

. (Join-Path -Path $PSScriptRoot -ChildPath 'disk-space.ps1')
. (Join-Path -Path $PSScriptRoot -ChildPath 'exit-codes.ps1')

# The copy's path, $null when none was asked for. Set in the install procedure's scope and read
# without a scope name: the console messages of package-portable.ps1 reach the copy from a child
# scope, where $script: would name that script's own scope. A second load (version-placement.ps1
# loads this file too) keeps it.
if ($null -eq (Get-Variable -Name 'TarnquillLogCopyPath' -ErrorAction SilentlyContinue)) {
    $TarnquillLogCopyPath = $null
}

function Add-TarnquillUtf8Line {
    <#
    .SYNOPSIS
    Appends one line in UTF-8 with CR LF to a file; a new or empty file first gets the byte-order mark.
    #>
    [CmdletBinding()]
    param(
        [Parameter(Mandatory = $true)]
        [string]$Path,

        [Parameter(Mandatory = $true)]
        [AllowEmptyString()]
        [string]$Line
    )
    $encoding = New-Object -TypeName System.Text.UTF8Encoding -ArgumentList $true
    $bytes = $encoding.GetBytes($Line + "`r`n")
    # Others may read the file while it grows (a deployment tool showing the log).
    $stream = New-Object -TypeName System.IO.FileStream -ArgumentList @(
        $Path, [System.IO.FileMode]::Append, [System.IO.FileAccess]::Write, [System.IO.FileShare]::ReadWrite)
    try {
        if ($stream.Length -eq 0) {
            $preamble = $encoding.GetPreamble()
            $stream.Write($preamble, 0, $preamble.Length)
        }
        $stream.Write($bytes, 0, $bytes.Length)
    } finally {
        $stream.Dispose()
    }
}

function Open-TarnquillLogCopy {
    <#
    .SYNOPSIS
    Makes Path the copy of this run's log; throws with the invalid-parameter code when it cannot be written.
    .DESCRIPTION
    The setup has created the file already (with a byte-order mark); a direct run may name a new
    one. Called before anything else of the run, so an unusable path stops it before any change.
    #>
    [CmdletBinding()]
    param(
        [Parameter(Mandatory = $true)]
        [string]$Path
    )
    try {
        $full = [System.IO.Path]::GetFullPath($Path)
        $stream = New-Object -TypeName System.IO.FileStream -ArgumentList @(
            $full, [System.IO.FileMode]::Append, [System.IO.FileAccess]::Write, [System.IO.FileShare]::ReadWrite)
        $stream.Dispose()
    } catch {
        throw (New-TarnquillCodedError -Outcome InvalidParameter -Message ('The log file ' + $Path +
                ' cannot be created or written: ' + $_.Exception.Message + ' Nothing was installed.'))
    }
    $script:TarnquillLogCopyPath = $full
}

function Add-TarnquillLogCopyLine {
    <#
    .SYNOPSIS
    Appends one line to the run's log copy, when there is one. Never throws.
    #>
    [CmdletBinding()]
    param(
        [Parameter(Mandatory = $true)]
        [AllowEmptyString()]
        [string]$Text
    )
    $copy = Get-Variable -Name 'TarnquillLogCopyPath' -ValueOnly -ErrorAction SilentlyContinue
    if ([string]::IsNullOrEmpty($copy)) {
        return
    }
    try {
        Add-TarnquillUtf8Line -Path $copy -Line $Text
    } catch {
        # The copy was writable at the start; a full disk or a tool that took the file away
        # later must not end the installation. installer.log and the console keep everything.
        $null = $_
    }
}

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
    $line = $stamp + ' ' + $Text
    Add-TarnquillLogCopyLine -Text $line
    try {
        Add-TarnquillUtf8Line -Path $Path -Line $line
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
