Set-StrictMode -Version Latest

# The installer's own folders in the user's temporary folder: the setup's work folders
# (TARNQUILL-Setup-<version>-<16 hex>-<16 hex>, with the unpacked source tree and its runtime cache)
# and the install procedure's build folders (TARNQUILL-build-<32 hex>). A run that fails or is cut
# off (a closed console, a power cut) leaves them behind, a few hundred MB each, so the next
# installation and the uninstaller find and remove them here.
# Loaded by dot-sourcing by the install procedure and the uninstaller; no error preference is set
# here, the callers decide. It deletes only folders of the two names above in the temporary folders.

. (Join-Path -Path $PSScriptRoot -ChildPath 'installation-safety.ps1')

$script:TarnquillWorkFolderPattern = '\ATARNQUILL-Setup-([0-9]+\.[0-9]+\.[0-9]+)-[0-9a-f]{16}-[0-9a-f]{16}\z'
$script:TarnquillBuildFolderPattern = '\ATARNQUILL-build-[0-9a-f]{32}\z'
# What keeps a busy folder safe is the per-user setup lock: every clean-up runs under it, and a
# run that holds it is never cleaned up by another. The age only covers a setup that has not taken
# the lock yet (the bootstrap writing source.zip, the hand-off unpacking it): on NTFS a folder's
# time changes only when its direct entries change, so a run busy deeper down soon looks old.
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

function Get-TarnquillTemporaryFolders {
    <#
    .SYNOPSIS
    The temporary folders where setup runs leave folders: TEMP, and the platform's temporary path when it differs.
    .DESCRIPTION
    The bootstrap makes its work folder under the platform's temporary path, which reads TMP
    before TEMP; the install procedure makes its build folder in TEMP. The two are compared as
    normalised full paths; the same folder in two spellings is listed twice, and
    Get-TarnquillLeftoverFolders takes each leftover once.
    #>
    [CmdletBinding()]
    param()

    $folders = New-Object -TypeName 'System.Collections.Generic.List[string]'
    foreach ($folder in @((Get-TarnquillTemporaryFolder), [System.IO.Path]::GetTempPath())) {
        try {
            $full = ConvertTo-TarnquillFullPath -Path $folder -TrimTrailingSeparators
        } catch {
            # Unset, or no path at all: nothing can be listed there.
            continue
        }
        if (@($folders | Where-Object -FilterScript { Test-TarnquillSamePath -Left $_ -Right $full }).Count -eq 0) {
            $folders.Add($full)
        }
    }
    return $folders.ToArray()
}

function Get-TarnquillRunFolderNames {
    <#
    .SYNOPSIS
    The names of this run's own folders in the temporary folder: its work folder and its build folder.
    .DESCRIPTION
    Both names are unique (tick count and process, a GUID), so a folder of such a name is this
    run's however its path is spelled (a short 8.3 name, a subst drive, a junction in TEMP).
    The work folder is TARNQUILL_SETUP_WORK, or the folder that holds the source tree.
    #>
    [CmdletBinding()]
    param(
        [Parameter(Mandatory = $true)]
        [string]$SourceRoot,

        [Parameter(Mandatory = $true)]
        [string]$BuildFolder
    )

    $paths = @($BuildFolder, (Split-Path -Parent -Path $SourceRoot), [System.Environment]::GetEnvironmentVariable('TARNQUILL_SETUP_WORK'))
    foreach ($path in $paths) {
        if (-not [string]::IsNullOrWhiteSpace($path)) {
            $name = [System.IO.Path]::GetFileName((ConvertTo-TarnquillFullPath -Path $path -TrimTrailingSeparators))
            if (-not [string]::IsNullOrEmpty($name)) {
                $name
            }
        }
    }
}

function Get-TarnquillLeftoverFolders {
    <#
    .SYNOPSIS
    Lists the work and build folders that earlier setup runs left in the TempFolder folders.
    .DESCRIPTION
    Takes only folders whose names match the installer's own patterns exactly (letter case
    included), never one named in KeepName or holding any of KeepPath (the running setup's own
    folders), and never one written in the last ten minutes: another setup may be starting in it.
    IncludeRecent takes those too, for a look at what they hold rather than their removal.
    A name found in two TempFolder folders (one folder in two spellings) is taken once. Each
    result has Name, Path, IsLink and SourceTree: for a work folder, the source tree unpacked in
    it (TARNQUILL-v<version>), for a build folder or a link $null. An entry of such a name that is
    a junction or symbolic link is no run's folder (the setup never makes one) and is taken
    whatever its age, to be removed as a link: nothing behind it is ever read. A TempFolder that
    cannot be listed gives none.
    #>
    [CmdletBinding()]
    param(
        [Parameter(Mandatory = $true)]
        [string[]]$TempFolder,

        [AllowEmptyCollection()]
        [string[]]$KeepPath = @(),

        [AllowEmptyCollection()]
        [string[]]$KeepName = @(),

        [switch]$IncludeRecent
    )

    $youngest = [System.DateTime]::UtcNow.AddMinutes(-$script:TarnquillLeftoverMinimumAgeMinutes)
    $keep = @($KeepPath | Where-Object -FilterScript { -not [string]::IsNullOrEmpty($_) } |
            ForEach-Object -Process { ConvertTo-TarnquillFullPath -Path $_ })
    $seen = New-Object -TypeName 'System.Collections.Generic.HashSet[string]' -ArgumentList ([System.StringComparer]::OrdinalIgnoreCase)
    foreach ($name in $KeepName) {
        if (-not [string]::IsNullOrEmpty($name)) {
            [void]$seen.Add($name)
        }
    }
    foreach ($temp in $TempFolder) {
        try {
            $folders = @([System.IO.DirectoryInfo]::new($temp).GetDirectories())
        } catch {
            continue
        }
        foreach ($folder in ($folders | Sort-Object -Property Name)) {
            $sourceTree = $null
            $work = [regex]::Match($folder.Name, $script:TarnquillWorkFolderPattern)
            if ((-not $work.Success) -and ($folder.Name -cnotmatch $script:TarnquillBuildFolderPattern)) {
                continue
            }
            if ($seen.Contains($folder.Name)) {
                continue
            }
            $isLink = Test-TarnquillLink -Path $folder.FullName -Attributes $folder.Attributes
            if ($isLink) {
                $null = $seen.Add($folder.Name)
                [pscustomobject]@{ Name = $folder.Name; Path = $folder.FullName; IsLink = $true; SourceTree = $null }
                continue
            }
            if ($folder.LastWriteTimeUtc -gt $youngest -and -not $IncludeRecent) {
                continue
            }
            if (@($keep | Where-Object -FilterScript { Test-TarnquillPathWithin -Path $_ -Folder $folder.FullName }).Count -gt 0) {
                # Kept under its other spellings too.
                $null = $seen.Add($folder.Name)
                continue
            }
            $null = $seen.Add($folder.Name)
            if ($work.Success) {
                $sourceTree = Join-Path -Path $folder.FullName -ChildPath ('TARNQUILL-v' + $work.Groups[1].Value)
            }
            [pscustomobject]@{ Name = $folder.Name; Path = $folder.FullName; IsLink = $false; SourceTree = $sourceTree }
        }
    }
}

function Get-TarnquillLeftoverSizeText {
    <#
    .SYNOPSIS
    The size of a leftover folder for the console, "<n> MB", or "link" for a link, which is never walked.
    #>
    [CmdletBinding()]
    param(
        [Parameter(Mandatory = $true)]
        [object]$Folder
    )

    if ($Folder.IsLink) {
        return 'link'
    }
    # Measured once a folder: the uninstaller lists the size before it removes the folder, and a
    # leftover may hold a few hundred MB in thousands of files.
    if ($null -eq $Folder.PSObject.Properties['SizeText']) {
        $megabytes = [System.Math]::Round((Get-TarnquillTreeSize -Path $Folder.Path) / 1MB, 1)
        $text = $megabytes.ToString('0.#', [System.Globalization.CultureInfo]::InvariantCulture) + ' MB'
        $Folder | Add-Member -MemberType NoteProperty -Name SizeText -Value $text
    }
    return $Folder.SizeText
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
        $size = Get-TarnquillLeftoverSizeText -Folder $leftover
        try {
            Remove-TarnquillTree -Path $leftover.Path
        } catch {
            $text = 'Leftover temporary folder not removed: ' + $leftover.Name + '. ' + $_.Exception.Message
            Write-Warning $text
            $text
            continue
        }
        $text = 'Removed leftover temporary folder: ' + $leftover.Name + ' (' + $size + ')'
        Write-Host $text
        $text
    }
}

function Clear-TarnquillEarlierRuns {
    <#
    .SYNOPSIS
    Removes what earlier setup runs left in TEMP, taking over a verified runtime archive first; logs what it did.
    .DESCRIPTION
    Earlier runs that failed or were cut off left their folders in TEMP, and a BITS job
    that would go on writing into one of them: the jobs go first, a verified archive in one
    of the folders spares the download, then the folders go. This run's own folders stay,
    known by their unique names too, since TEMP may spell them another way. Under the lock
    no other installer run is downloading, so a job in any work or build folder is an
    orphan, however recent (a console closed mid-download and the setup started again).
    Called by the install procedure under the setup lock, once runtime.ps1 and installer-log.ps1 are loaded.
    #>
    [CmdletBinding()]
    param(
        [Parameter(Mandatory = $true)]
        [string]$SourceRoot,

        [Parameter(Mandatory = $true)]
        [string]$BuildFolder,

        [Parameter(Mandatory = $true)]
        [string]$LogFile
    )
    $tempFolders = @(Get-TarnquillTemporaryFolders)
    $keepPath = @($SourceRoot, $BuildFolder, $env:TARNQUILL_SETUP_WORK)
    $keepName = @(Get-TarnquillRunFolderNames -SourceRoot $SourceRoot -BuildFolder $BuildFolder)
    $leftovers = @(Get-TarnquillLeftoverFolders -TempFolder $tempFolders -KeepPath $keepPath -KeepName $keepName)
    Remove-ElectronStaleBitsJobs -Folder (@($leftovers | ForEach-Object -Process { $_.Path }) + $SourceRoot) `
        -FolderNamePattern @($script:TarnquillWorkFolderPattern, $script:TarnquillBuildFolderPattern)
    # The archive is taken from a run that ended minutes ago too (one stopped for want of
    # room, retried at once): no other setup gets this far while this one holds the lock.
    $recent = @(Get-TarnquillLeftoverFolders -TempFolder $tempFolders -KeepPath $keepPath -KeepName $keepName -IncludeRecent)
    $earlierTrees = @($recent | Where-Object -FilterScript { $null -ne $_.SourceTree } | ForEach-Object -Process { $_.SourceTree })
    $taken = Import-ElectronArchiveFromEarlierRun -SourceTree $earlierTrees
    foreach ($candidate in $taken.PassedOver) {
        Add-TarnquillLogEntry -Path $LogFile -Text ('Passed over the runtime archive of an earlier run: ' + $candidate.Path + ' (' + $candidate.Reason + ').')
    }
    if ($taken.Imported) {
        Add-TarnquillLogEntry -Path $LogFile -Text 'Reusing the verified Electron runtime from an earlier run.'
    }
    foreach ($text in @(Remove-TarnquillLeftoverFolders -Folder $leftovers)) {
        Add-TarnquillLogEntry -Path $LogFile -Text $text
    }
}
