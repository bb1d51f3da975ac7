<#
.SYNOPSIS
Removes the current user's TARNQUILL installation and keeps the user's data.
.DESCRIPTION
Lists what will be removed, asks for consent unless -Quiet is given, checks every folder and
shortcut for junctions and links before anything is removed, then removes the version folders,
the shortcuts, the Start menu group when empty, the uninstall entry, the application's own
start-up value when it points into the installation root, the log folder, the installation root
when empty, and last the work and build folders that failed or cut-off setup runs left in TEMP
(listed with their sizes). Folders and files it does not recognise stay where they are.
.PARAMETER Quiet
Remove without asking; the listing is shown all the same.
#>
[CmdletBinding()]
param(
    [switch]$Quiet
)
Set-StrictMode -Version Latest
$ErrorActionPreference = 'Stop'

foreach ($library in @('installation-safety.ps1', 'setup-lock.ps1', 'consent.ps1', 'shell-integration.ps1',
        'temporary-folders.ps1')) {
    . (Join-Path -Path $PSScriptRoot -ChildPath $library)
}

$script:UninstallKeyPath = 'HKCU:\Software\Microsoft\Windows\CurrentVersion\Uninstall\TARNQUILL'
$script:RunKeyPath = 'HKCU:\Software\Microsoft\Windows\CurrentVersion\Run'
$script:StartupValueName = 'TARNQUILL'

function Remove-TarnquillUninstallKey {
    <#
    .SYNOPSIS
    Deletes the current user's TARNQUILL uninstall entry with all its values, if it exists.
    #>
    [CmdletBinding()]
    param()

    if (Test-Path -LiteralPath $script:UninstallKeyPath) {
        Remove-Item -LiteralPath $script:UninstallKeyPath -Recurse -Force
    }
}

function Get-TarnquillStartupValue {
    <#
    .SYNOPSIS
    Returns the data of the start-up value TARNQUILL under the current user's Run key, or $null when the key or value is missing.
    #>
    [CmdletBinding()]
    param()

    if (-not (Test-Path -LiteralPath $script:RunKeyPath)) {
        return $null
    }
    return (Get-Item -LiteralPath $script:RunKeyPath).GetValue($script:StartupValueName)
}

function Remove-TarnquillStartupValue {
    <#
    .SYNOPSIS
    Deletes the start-up value TARNQUILL under the current user's Run key; no other value is touched.
    #>
    [CmdletBinding()]
    param()

    Remove-ItemProperty -LiteralPath $script:RunKeyPath -Name $script:StartupValueName -Force
}

function Test-TarnquillStartupValueOwned {
    <#
    .SYNOPSIS
    True when the start-up data names something inside the installation root: the root followed by a separator, in any letter case.
    #>
    [CmdletBinding()]
    param(
        [AllowNull()]
        [object]$Data,

        [Parameter(Mandatory = $true)]
        [string]$InstallRoot
    )

    if ($null -eq $Data) {
        return $false
    }
    $text = [string]$Data
    if ($text.Length -eq 0) {
        return $false
    }
    $needle = $InstallRoot + [System.IO.Path]::DirectorySeparatorChar
    return ($text.IndexOf($needle, [System.StringComparison]::OrdinalIgnoreCase) -ge 0)
}

function Test-TarnquillEntryIsLink {
    <#
    .SYNOPSIS
    True when an entry exists at Path (a dangling link counts) and is a junction, symbolic link or other link.
    .DESCRIPTION
    A shortcut on a Desktop that OneDrive syncs is a reparse point too, but no link: it is the file it is.
    #>
    [CmdletBinding()]
    param(
        [Parameter(Mandatory = $true)]
        [string]$Path
    )

    $attributes = Get-TarnquillEntryAttributes -Path $Path
    return (($null -ne $attributes) -and (Test-TarnquillLink -Path $Path -Attributes $attributes))
}

function Test-TarnquillFolderEmpty {
    <#
    .SYNOPSIS
    True when the folder holds nothing at all, hidden and system items included.
    #>
    [CmdletBinding()]
    param(
        [Parameter(Mandatory = $true)]
        [string]$Path
    )

    return (@(Get-ChildItem -LiteralPath $Path -Force).Count -eq 0)
}

function Set-TarnquillWorkingFolder {
    <#
    .SYNOPSIS
    Moves the shell's location and the process's own working folder to Path.
    #>
    [CmdletBinding()]
    param(
        [Parameter(Mandatory = $true)]
        [string]$Path
    )

    # Windows keeps a folder that is a process's working folder, and the
    # uninstall shortcut starts us inside the application folder we remove.
    Set-Location -LiteralPath $Path
    [System.IO.Directory]::SetCurrentDirectory($Path)
}

# The plan is taken once, before the running-process test, and never again:
# a version folder created after this point is neither listed nor removed.
$installRoot = Assert-TarnquillInstallRoot -InstallRoot ([System.IO.Path]::Combine([string]$env:LOCALAPPDATA, 'TARNQUILL'))
$versionFolders = @(Get-TarnquillVersionFolders -InstallRoot $installRoot)
$desktopFolder = Get-TarnquillSpecialFolder -Name 'Desktop'
$programsFolder = Get-TarnquillSpecialFolder -Name 'Programs'
foreach ($special in @(@('Desktop', $desktopFolder), @('Start menu programs', $programsFolder))) {
    if ([string]::IsNullOrEmpty($special[1])) {
        throw ('The ' + $special[0] + ' folder of the current user is unavailable. Nothing was removed.')
    }
}
$startMenuGroup = Join-Path -Path $programsFolder -ChildPath 'TARNQUILL'
$shortcuts = @(
    (Join-Path -Path $desktopFolder -ChildPath 'TARNQUILL.lnk'),
    (Join-Path -Path $programsFolder -ChildPath 'TARNQUILL.lnk'),
    (Join-Path -Path $startMenuGroup -ChildPath 'TARNQUILL.lnk'),
    (Join-Path -Path $startMenuGroup -ChildPath 'Uninstall TARNQUILL.lnk')
)
$logFolder = Join-Path -Path $installRoot -ChildPath 'Logs'
$userDataFolder = Join-Path -Path ([string]$env:APPDATA) -ChildPath 'TARNQUILL'

if (Test-TarnquillRunning -InstallRoot $installRoot) {
    throw 'Close TARNQUILL using Exit in the tray menu, then retry. No processes were terminated.'
}

$setupLock = Enter-TarnquillSetupLock
try {
    # Listed under the lock, so that no setup run can be using one of them.
    $leftovers = @(Get-TarnquillLeftoverFolders -TempFolder @(Get-TarnquillTemporaryFolders) -KeepPath @($PSScriptRoot))
    Write-Host 'TARNQUILL uninstall - per-user installation only'
    Write-Host 'The following application folders and shortcuts will be removed:'
    foreach ($folder in $versionFolders) {
        Write-Host $folder.Path
    }
    foreach ($shortcut in $shortcuts) {
        Write-Host $shortcut
    }
    Write-Host ('Installation logs: ' + $logFolder)
    Write-Host 'The TARNQUILL uninstall entry and its own startup entry will be removed from HKCU.'
    Write-Host ('User data is retained: ' + $userDataFolder)
    Write-Host 'Unknown folders and files in the installation root are retained.'
    if ($leftovers.Count -gt 0) {
        Write-Host 'Temporary folders that earlier setup runs left behind will be removed last:'
        foreach ($leftover in $leftovers) {
            Write-Host ($leftover.Path + ' (' + (Get-TarnquillLeftoverSizeText -Folder $leftover) + ')')
        }
    }

    if (-not $Quiet) {
        $answer = Read-TarnquillAnswer -Prompt 'Uninstall the listed files? [Y/N, default N]'
        if (-not (Test-TarnquillConsent -Answer $answer)) {
            Write-Host 'Uninstall cancelled. Nothing removed.'
            exit 0
        }
    }

    # The whole plan is checked before the first removal, so a refusal here
    # leaves the installation exactly as it was.
    foreach ($folder in $versionFolders) {
        Assert-TarnquillPlainTree -Path $folder.Path
    }
    if ($null -ne (Get-TarnquillEntryAttributes -Path $logFolder)) {
        Assert-TarnquillPlainTree -Path $logFolder
    }
    foreach ($shortcut in $shortcuts) {
        if (Test-TarnquillEntryIsLink -Path $shortcut) {
            throw ('Shortcut is a reparse point: ' + $shortcut)
        }
    }
    if (Test-TarnquillEntryIsLink -Path $startMenuGroup) {
        throw 'Start Menu folder is a reparse point.'
    }

    $tempFolder = Get-TarnquillTemporaryFolder
    Set-TarnquillWorkingFolder -Path $tempFolder

    foreach ($folder in $versionFolders) {
        Remove-TarnquillOwnedFolder -InstallRoot $installRoot -Folder $folder.Path
        Write-Host ('Removed: ' + $folder.Path)
    }
    foreach ($shortcut in $shortcuts) {
        if (Test-Path -LiteralPath $shortcut -PathType Leaf) {
            Remove-Item -LiteralPath $shortcut -Force
        }
    }
    if ((Test-Path -LiteralPath $startMenuGroup -PathType Container) -and (Test-TarnquillFolderEmpty -Path $startMenuGroup)) {
        Remove-Item -LiteralPath $startMenuGroup -Force
    }
    Remove-TarnquillUninstallKey
    if (Test-TarnquillStartupValueOwned -Data (Get-TarnquillStartupValue) -InstallRoot $installRoot) {
        Remove-TarnquillStartupValue
    }
    # Returns quietly when there is no log folder.
    Remove-TarnquillOwnedFolder -InstallRoot $installRoot -Folder $logFolder -AllowLogs
    if ((Test-Path -LiteralPath $installRoot -PathType Container) -and (Test-TarnquillFolderEmpty -Path $installRoot)) {
        Remove-Item -LiteralPath $installRoot -Force
    }
    # Last, what failed or cut-off setup runs left in TEMP; a folder that stays is only a warning.
    $null = Remove-TarnquillLeftoverFolders -Folder $leftovers

    Write-Host 'TARNQUILL uninstalled. Your settings, diagnostic history and startup backups were retained.' -ForegroundColor Green
} finally {
    Exit-TarnquillSetupLock -Lock $setupLock
}
exit 0
