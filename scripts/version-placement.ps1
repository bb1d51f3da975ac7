Set-StrictMode -Version Latest

# Putting a built image in place as the application folder, moving this run's backup of the
# same version back when that fails, and removing the versions older than the latest two once the
# installation is complete. Loaded by dot-sourcing by the install procedure; it moves or copies only
# into the application folder it is given, and removes only the version folders of the retention
# plan; and the two names that version folders are made of, the release version and the GUID token.
# The volume test is the space check's own (disk-space.ps1, loaded with the installation log).

. (Join-Path -Path $PSScriptRoot -ChildPath 'installation-safety.ps1')
. (Join-Path -Path $PSScriptRoot -ChildPath 'retried-moves.ps1')
. (Join-Path -Path $PSScriptRoot -ChildPath 'installer-log.ps1')
. (Join-Path -Path $PSScriptRoot -ChildPath 'consent.ps1')
. (Join-Path -Path $PSScriptRoot -ChildPath 'disk-space.ps1')

function Move-TarnquillImage {
    <#
    .SYNOPSIS
    Puts the built image in place as the application folder: a folder move on one volume, a copy across volumes.
    .DESCRIPTION
    A folder can't be moved to another volume (TEMP moved to another drive, or a folder mounted from
    another disk), so there the image is copied into the new application folder, and a copy that
    fails part-way is deleted again. The build folder itself is left to the run's final clean-up.
    Which of the two happens is Test-TarnquillSameVolume's answer (disk-space.ps1), the same one
    that decided before the unpacking whether the install folder needs room for a copy.
    #>
    [CmdletBinding()]
    param(
        [Parameter(Mandatory = $true)]
        [string]$BuildFolder,

        [Parameter(Mandatory = $true)]
        [string]$AppFolder
    )
    if (Test-TarnquillSameVolume -Path $BuildFolder -OtherPath $AppFolder) {
        try {
            Move-TarnquillFolder -Source $BuildFolder -Destination $AppFolder
            return
        } catch {
            # ERROR_NOT_SAME_DEVICE: one drive letter, two volumes.
            if ((Get-TarnquillWin32Error -Exception $_.Exception) -ne 17) {
                throw
            }
        }
    }
    if ($null -ne (Get-TarnquillEntryAttributes -Path $AppFolder)) {
        throw ('The application folder already exists: ' + $AppFolder)
    }
    try {
        Copy-Item -LiteralPath $BuildFolder -Destination $AppFolder -Recurse -Force
    } catch {
        $copyError = $_
        try {
            Remove-TarnquillTree -Path $AppFolder
        } catch {
            $null = $_
        }
        throw $copyError
    }
}

function Restore-TarnquillBackup {
    <#
    .SYNOPSIS
    Moves this run's backup back to the application folder and logs the outcome. Never throws.
    .DESCRIPTION
    Called when the new image could not be put in place, so that the shortcuts and the uninstall
    entry, which name the application folder, keep working with the earlier installation.
    #>
    [CmdletBinding()]
    param(
        [Parameter(Mandatory = $true)]
        [string]$BackupFolder,

        [Parameter(Mandatory = $true)]
        [string]$AppFolder,

        [Parameter(Mandatory = $true)]
        [string]$LogFile
    )
    $name = [System.IO.Path]::GetFileName($BackupFolder)
    try {
        Move-TarnquillFolder -Source $BackupFolder -Destination $AppFolder
        $entry = 'Moved backup back into place: ' + $name
    } catch {
        $entry = 'Backup not moved back: ' + $name + '. ' + $_.Exception.Message
    }
    try {
        Add-TarnquillLogEntry -Path $LogFile -Text $entry
    } catch {
        $null = $_
    }
}

function Invoke-TarnquillRetention {
    <#
    .SYNOPSIS
    Offers the version folders older than the latest two for removal and removes them on Yes.
    .DESCRIPTION
    An unattended run asks nothing: it removes them with RemoveOld, and otherwise keeps them and
    logs each one it kept. A folder whose removal fails is reported as a warning and logged, and
    the next one is tried.
    #>
    [CmdletBinding()]
    param(
        [Parameter(Mandatory = $true)]
        [string]$InstallRoot,

        [Parameter(Mandatory = $true)]
        [string]$Version,

        [Parameter(Mandatory = $true)]
        [string]$LogFile,

        [switch]$Unattended,

        [switch]$RemoveOld
    )
    $plan = @(Get-TarnquillRetentionPlan -InstallRoot $InstallRoot -CurrentVersion $Version)
    if ($plan.Count -eq 0) {
        return
    }
    if ($Unattended -and -not $RemoveOld) {
        Write-Host 'Versions older than the latest two are kept: an unattended run removes them only when asked to (/REMOVEOLD).'
        foreach ($folder in $plan) {
            Write-Host $folder.Path
            Add-TarnquillLogEntry -Path $LogFile -Text ('Retained old version: ' + $folder.Name +
                '. An unattended run removes old versions only when asked to (/REMOVEOLD).')
        }
        return
    }
    Write-Host 'Versions older than the latest two can now be removed. User data is not included:' -ForegroundColor Yellow
    foreach ($folder in $plan) {
        Write-Host $folder.Path
    }
    if ($Unattended) {
        Write-Host 'Removing them, as asked (/REMOVEOLD).'
    } else {
        $prompt = 'Remove exactly these old application/backup folders? [Y/N, default N]'
        $answer = Read-TarnquillAnswer -Prompt $prompt
        Add-TarnquillLogCopyLine -Text ($prompt + ': ' + $answer)
        if (-not (Test-TarnquillConsent -Answer $answer)) {
            Write-Host 'Old versions retained by your choice.'
            return
        }
    }
    foreach ($folder in $plan) {
        try {
            Remove-TarnquillOwnedFolder -InstallRoot $InstallRoot -Folder $folder.Path
        } catch {
            $message = $_.Exception.Message
            Write-Warning ('Old version retained: ' + $folder.Name + '. ' + $message)
            Add-TarnquillLogEntry -Path $LogFile -Text ('Retained old version: ' + $folder.Name + '. ' + $message)
            continue
        }
        Add-TarnquillLogEntry -Path $LogFile -Text ('Removed old version: ' + $folder.Name)
    }
}

function New-TarnquillGuidToken {
    <#
    .SYNOPSIS
    A new GUID as 32 lower-case hexadecimal digits without separators.
    #>
    [CmdletBinding()]
    param()
    return [System.Guid]::NewGuid().ToString('N')
}

function Get-TarnquillReleaseVersion {
    <#
    .SYNOPSIS
    Reads the release version from package.json; throws unless it is three dot-separated decimal numbers.
    #>
    [CmdletBinding()]
    param(
        [Parameter(Mandatory = $true)]
        [string]$SourceRoot
    )
    $text = [System.IO.File]::ReadAllText((Join-Path -Path $SourceRoot -ChildPath 'package.json'))
    $version = [string]($text | ConvertFrom-Json).version
    # ASCII digits only, and nothing after the last one (not even a line break),
    # because the version becomes part of folder names that are matched later.
    if ($version -cnotmatch '\A[0-9]+\.[0-9]+\.[0-9]+\z') {
        throw 'package.json contains an invalid release version.'
    }
    return $version
}
