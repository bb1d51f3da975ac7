Set-StrictMode -Version Latest

# The installer's own folders in the user's temporary folder: the setup's work folders
# (TARNQUILL-Setup-<version>-<16 hex>-<16 hex>, with the unpacked source tree and its runtime cache)
# and the install procedure's build folders (TARNQUILL-build-<32 hex>). A run that fails or is cut
# off (a closed console, a power cut) leaves them behind, a few hundred MB each, so the next
# installation and the uninstaller find and remove them here.
# Loaded by dot-sourcing into the caller's scope after installation-safety.ps1, whose deleter and
# path helpers it uses; no error preference is set here, the callers decide.

$script:TarnquillWorkFolderPattern = '\ATARNQUILL-Setup-([0-9]+\.[0-9]+\.[0-9]+)-[0-9a-f]{16}-[0-9a-f]{16}\z'
$script:TarnquillBuildFolderPattern = '\ATARNQUILL-build-[0-9a-f]{32}\z'
# A folder written more recently than this may belong to a setup that is starting right now.
$script:TarnquillLeftoverMinimumAgeMinutes = 10

function Get-TarnquillTemporaryFolder {
    <#
    .SYNOPSIS
    The user's temporary folder: TEMP, or the platform's temporary path when TEMP is unset.
    #>
    [CmdletBinding()]
    param()

    $folder = [System.Environment]::GetEnvironmentVariable('TEMP')
    if ([string]::IsNullOrWhiteSpace($folder)) {
        $folder = [System.IO.Path]::GetTempPath()
    }
    return $folder
}

function Get-TarnquillLeftoverFolders {
    <#
    .SYNOPSIS
    Lists the work and build folders that earlier setup runs left in TempFolder.
    .DESCRIPTION
    Takes only folders whose names match the installer's own patterns exactly (letter case
    included), never a folder that holds any of KeepPath (the running setup's own folders), and
    never one written in the last ten minutes: another setup may be starting in it. IncludeRecent
    takes those too, for a look at what they hold rather than their removal. Each
    result has Name, Path and SourceTree: for a work folder, the source tree unpacked in it
    (TARNQUILL-v<version>), for a build folder $null. A TempFolder that cannot be listed gives none.
    #>
    [CmdletBinding()]
    param(
        [Parameter(Mandatory = $true)]
        [string]$TempFolder,

        [AllowEmptyCollection()]
        [string[]]$KeepPath = @(),

        [switch]$IncludeRecent
    )

    try {
        $folders = @([System.IO.DirectoryInfo]::new($TempFolder).GetDirectories())
    } catch {
        return
    }
    $youngest = [System.DateTime]::UtcNow.AddMinutes(-$script:TarnquillLeftoverMinimumAgeMinutes)
    $keep = @($KeepPath | Where-Object -FilterScript { -not [string]::IsNullOrEmpty($_) } |
            ForEach-Object -Process { ConvertTo-TarnquillFullPath -Path $_ })
    foreach ($folder in ($folders | Sort-Object -Property Name)) {
        $sourceTree = $null
        $work = [regex]::Match($folder.Name, $script:TarnquillWorkFolderPattern)
        if ($work.Success) {
            $sourceTree = Join-Path -Path $folder.FullName -ChildPath ('TARNQUILL-v' + $work.Groups[1].Value)
        } elseif ($folder.Name -cnotmatch $script:TarnquillBuildFolderPattern) {
            continue
        }
        if ($folder.LastWriteTimeUtc -gt $youngest -and -not $IncludeRecent) {
            continue
        }
        if (@($keep | Where-Object -FilterScript { Test-TarnquillPathWithin -Path $_ -Folder $folder.FullName }).Count -gt 0) {
            continue
        }
        [pscustomobject]@{ Name = $folder.Name; Path = $folder.FullName; SourceTree = $sourceTree }
    }
}

function Get-TarnquillTreeSize {
    <#
    .SYNOPSIS
    Total length in bytes of the files under Path; links are counted as entries, never followed.
    .DESCRIPTION
    The size is only reported, so what cannot be read is left out rather than failing.
    #>
    [CmdletBinding()]
    param(
        [Parameter(Mandatory = $true)]
        [string]$Path
    )

    [long]$total = 0
    $folders = New-Object -TypeName 'System.Collections.Generic.Stack[string]'
    $folders.Push($Path)
    while ($folders.Count -gt 0) {
        try {
            $entries = @([System.IO.DirectoryInfo]::new($folders.Pop()).GetFileSystemInfos())
        } catch {
            continue
        }
        foreach ($entry in $entries) {
            if (Test-TarnquillLink -Path $entry.FullName -Attributes $entry.Attributes) {
                continue
            }
            if ($entry -is [System.IO.DirectoryInfo]) {
                $folders.Push($entry.FullName)
            } else {
                $total += $entry.Length
            }
        }
    }
    return $total
}

function Remove-TarnquillLeftoverFolders {
    <#
    .SYNOPSIS
    Deletes the folders that Get-TarnquillLeftoverFolders found, with the deleter that never follows a link.
    .DESCRIPTION
    Prints one line for each folder removed, with its size, and a warning for each that could not
    be removed (a file in it still open, for example); neither stops the caller. Returns the same
    texts, one a folder, for the caller's log.
    #>
    [CmdletBinding()]
    param(
        [Parameter(Mandatory = $true)]
        [AllowEmptyCollection()]
        [object[]]$Folder
    )

    foreach ($leftover in $Folder) {
        $megabytes = [System.Math]::Round((Get-TarnquillTreeSize -Path $leftover.Path) / 1MB, 1)
        try {
            Remove-TarnquillTree -Path $leftover.Path
        } catch {
            $text = 'Leftover temporary folder not removed: ' + $leftover.Name + '. ' + $_.Exception.Message
            Write-Warning $text
            $text
            continue
        }
        $size = $megabytes.ToString('0.#', [System.Globalization.CultureInfo]::InvariantCulture)
        $text = 'Removed leftover temporary folder: ' + $leftover.Name + ' (' + $size + ' MB)'
        Write-Host $text
        $text
    }
}
