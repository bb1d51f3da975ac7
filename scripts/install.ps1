<#
.SYNOPSIS
Installs TARNQUILL for the current user from this source tree.

.DESCRIPTION
Shows where TARNQUILL goes, what is downloaded from where and the hashes that
guard it, and asks for consent. Then has the application image built in a
temporary folder (package-portable.ps1, which downloads and verifies the
Electron runtime), moves it to %LOCALAPPDATA%\TARNQUILL\App-<version> (an
earlier folder of the same version is kept as a backup), writes the shortcuts
and the current-user uninstall entry, refreshes the shell, offers to remove
versions older than the latest two and starts the application.

Nothing is elevated and no running process is ever stopped. Every step is
logged to %LOCALAPPDATA%\TARNQUILL\Logs\installer.log. The script always ends
with an exit code: 0 after an installation; on a failure, after its message has
been shown once, the code of the outcome (exit-codes.ps1), which the setup
passes on to whoever started it.

.PARAMETER NoLaunch
Do not start the installed application at the end.

.PARAMETER Unattended
Ask nothing and wait for nothing: the switch is the consent to download. What
the consent screen shows is written to installer.log before the download, old
versions are removed only with -RemoveOld, and the application is not started.

.PARAMETER RemoveOld
In an unattended run, remove the version folders that an interactive run
offers for removal.

.PARAMETER LogPath
A file that gets a copy of this run's log: every installer.log entry and every
message the console shows. Empty: no copy.
#>
[CmdletBinding()]
param(
    [switch]$NoLaunch,

    [switch]$Unattended,

    [switch]$RemoveOld,

    [string]$LogPath = ''
)
# 1.
Set-StrictMode -Version Latest
$ErrorActionPreference = 'Stop'

# Application control (AppLocker, WDAC) can put PowerShell into Constrained Language Mode, where
# the .NET calls and the compile below are refused. Only commands that mode allows are used here.
if ($ExecutionContext.SessionState.LanguageMode -ne 'FullLanguage') {
    $blocked = 'Installation blocked: application control on this PC has put Windows PowerShell into ' +
        'Constrained Language Mode, so the setup''s scripts cannot run. Nothing was installed. An ' +
        'administrator can allow the setup and its scripts with an application control rule.'
    Write-Host ''
    Write-Host 'Installation failed.' -ForegroundColor Red
    Write-Host $blocked -ForegroundColor Yellow
    if ($LogPath) {
        Add-Content -LiteralPath $LogPath -Value $blocked -Encoding UTF8 -ErrorAction SilentlyContinue
    }
    exit 1625
}

$Description = 'TARNQUILL - Find. Explain. Fix.'
$UninstallKey = 'HKCU:\Software\Microsoft\Windows\CurrentVersion\Uninstall\TARNQUILL'

# ---------------------------------------------------------------------------
# Windows-only interfaces. Each sits in one small function of its own, so that
# everything around them runs unchanged where they do not exist.
# ---------------------------------------------------------------------------

function Get-TarnquillSignatureStatus {
    <#
    .SYNOPSIS
    Returns the name of a file's Authenticode status (Valid, NotSigned, HashMismatch, ...).
    #>
    [CmdletBinding()]
    param(
        [Parameter(Mandatory = $true)]
        [string]$Path
    )
    return [string](Get-AuthenticodeSignature -LiteralPath $Path).Status
}

function Get-TarnquillAccountSid {
    <#
    .SYNOPSIS
    The security identifier of the account this process runs as (S-1-5-18 for LocalSystem); $null when it cannot be read.
    .DESCRIPTION
    The check guards against the wrong account; it does not stop a run on its own failure (a
    host without Windows accounts reads none).
    #>
    [CmdletBinding()]
    param()
    try {
        return [System.Security.Principal.WindowsIdentity]::GetCurrent().User.Value
    } catch {
        return $null
    }
}

function Start-TarnquillApplication {
    <#
    .SYNOPSIS
    Starts the installed application without arguments and without waiting for it.
    #>
    [CmdletBinding()]
    param(
        [Parameter(Mandatory = $true)]
        [string]$Path,

        [Parameter(Mandatory = $true)]
        [string]$WorkingDirectory
    )
    $null = Start-Process -FilePath $Path -WorkingDirectory $WorkingDirectory
}

# ---------------------------------------------------------------------------
# The run. Every failure ends in the one report below and an exit code; it is
# logged once the log folder exists (step 4).
# ---------------------------------------------------------------------------

$exitCode = 0
$logFile = $null
$buildFolder = $null
$setupLock = $null
try {
    foreach ($library in @('exit-codes.ps1', 'installation-safety.ps1', 'setup-lock.ps1', 'consent.ps1',
            'installer-log.ps1', 'console-copy.ps1', 'version-placement.ps1', 'shell-integration.ps1',
            'native-methods.ps1')) {
        . (Join-Path -Path $PSScriptRoot -ChildPath $library)
    }
    # First, so that the copy holds everything, and a path that cannot be written stops the run
    # before anything else.
    if (-not [string]::IsNullOrEmpty($LogPath)) {
        Open-TarnquillLogCopy -Path $LogPath
    }

    # 2. The release version of this source tree.
    $sourceRoot = [System.IO.Path]::GetFullPath((Join-Path -Path $PSScriptRoot -ChildPath '..'))
    $version = Get-TarnquillReleaseVersion -SourceRoot $sourceRoot

    # TARNQUILL installs into the profile of the account that runs the setup. LocalSystem, the
    # system context of deployment tools, has a profile that no user ever signs in to and a TEMP
    # that other accounts share: nothing is written for it.
    if ((Get-TarnquillAccountSid) -eq 'S-1-5-18') {
        throw (New-TarnquillCodedError -Outcome BlockedByPolicy -Message ('This setup runs as the LocalSystem account, ' +
                'but TARNQUILL installs for one user, into that user''s own profile. Deploy it in the user''s ' +
                'context (as the signed-in user), not in the system context. Nothing was installed.'))
    }

    # 3. The install root, checked. Combined without Join-Path, so that a missing
    # LOCALAPPDATA reaches the root check and is refused there with its own message.
    $installRoot = [System.IO.Path]::Combine([string]$env:LOCALAPPDATA, 'TARNQUILL')
    $null = Assert-TarnquillInstallRoot -InstallRoot $installRoot

    # Held until the end, so that a second installer or an uninstaller started
    # meanwhile for this user stops before it changes anything.
    $setupLock = Enter-TarnquillSetupLock

    # The scripts' C# compiles in the background while the user reads what
    # follows; the run waits for it only once the download has been agreed to.
    $nativeImport = Start-TarnquillNativeMethodsImport

    # 4. The folders and files of this run.
    $appFolder = Join-Path -Path $installRoot -ChildPath ('App-' + $version)
    $buildFolder = Join-Path -Path $env:TEMP -ChildPath ('TARNQUILL-build-' + (New-TarnquillGuidToken))
    $logFolder = Join-Path -Path $installRoot -ChildPath 'Logs'
    $hashFile = Join-Path -Path $logFolder -ChildPath 'installer.sha256'
    $appExecutable = Join-Path -Path $appFolder -ChildPath 'TARNQUILL.exe'
    $appResources = [System.IO.Path]::Combine($appFolder, 'resources', 'app')
    $iconFile = [System.IO.Path]::Combine($appResources, 'assets', 'tarnquill.ico')
    $uninstallScript = [System.IO.Path]::Combine($appResources, 'scripts', 'uninstall-installed.ps1')
    $null = [System.IO.Directory]::CreateDirectory($logFolder)
    $logFile = Join-Path -Path $logFolder -ChildPath 'installer.log'

    # 5. The banner.
    Write-Host ''
    Write-Host ('TARNQUILL v' + $version) -ForegroundColor Green
    Write-Host 'Windows online installer' -ForegroundColor White
    Write-Host 'The verified Electron runtime is downloaded once. Administrator rights are not required.' -ForegroundColor DarkGray
    Write-Host ''

    # 6. A running TARNQUILL is reported, never stopped.
    if (Test-TarnquillRunning -InstallRoot $installRoot) {
        throw (New-TarnquillCodedError -Outcome ApplicationInUse -Message 'Close TARNQUILL using Exit in its tray menu, then run the installer again. No processes were force-closed.')
    }
    # 7. and 8.
    Add-TarnquillLogEntry -Path $logFile -Text ('Installing TARNQUILL ' + $version)
    . (Join-Path -Path $PSScriptRoot -ChildPath 'runtime.ps1')

    # 9. What is installed where, and what is downloaded from where. An unattended run
    # keeps it in installer.log too: nobody reads the screen, and the switch was the consent.
    $consentLog = ''
    if ($Unattended) {
        $consentLog = $logFile
    }
    Write-TarnquillConsentLine -LogFile $consentLog -Text ('Install location: ' + $appFolder)
    Write-TarnquillConsentLine -LogFile $consentLog -Text ('Download: ' + $script:ElectronArchive + ' (Windows x64 runtime)')
    foreach ($url in @(Get-ElectronDownloadUrls)) {
        Write-TarnquillConsentLine -LogFile $consentLog -Text ('Source: ' + $url)
    }
    Write-TarnquillConsentLine -LogFile $consentLog -Text ('Expected runtime SHA-256: ' + $script:ElectronSha256)
    Write-Host 'Release manifest checks are OFF until you consent inside the app.'
    Write-Host 'No telemetry, antivirus exclusions, driver downloads or elevation.'

    # 10. The setup file's own hash and signature status.
    $setupExe = $env:TARNQUILL_SETUP_EXE
    if (-not [string]::IsNullOrEmpty($setupExe) -and (Test-Path -LiteralPath $setupExe -PathType Leaf)) {
        $setupHash = (Get-FileHash -LiteralPath $setupExe -Algorithm SHA256).Hash.ToLowerInvariant()
        Write-TarnquillConsentLine -LogFile $logFile -Text ('Installer SHA-256: ' + $setupHash) -ForegroundColor Cyan
        Write-Host 'Compare with SHA256SUMS.txt / RELEASE_NOTES.md from your trusted release source.'
        Write-TarnquillHashFile -Path $hashFile -Hash $setupHash -FileName ([System.IO.Path]::GetFileName($setupExe))
        $signatureStatus = Get-TarnquillSignatureStatus -Path $setupExe
        Write-TarnquillConsentLine -LogFile $consentLog -Text ('Installer Authenticode status: ' + $signatureStatus)
        if ($signatureStatus -eq 'HashMismatch') {
            throw 'Installer signature is damaged. No download was started.'
        }
    } else {
        Write-TarnquillConsentLine -LogFile $consentLog -Text 'Started from source: no installer EXE hash is available.'
    }
    # 11.
    Write-Host 'A matching hash checks file integrity, not publisher identity.' -ForegroundColor Yellow

    # 12. Consent. A refusal does not wait for the compile.
    if ($Unattended) {
        Write-TarnquillConsentLine -LogFile $logFile -Text 'Unattended installation: the setup''s command line gave the consent to download and install.'
    } else {
        $prompt = 'Download the listed runtime and install TARNQUILL? [Y/N, default N]'
        $answer = Read-TarnquillAnswer -Prompt $prompt
        Add-TarnquillLogCopyLine -Text ($prompt + ': ' + $answer)
        if (-not (Test-TarnquillConsent -Answer $answer)) {
            Stop-TarnquillNativeMethodsImport -Import $nativeImport
            throw (New-TarnquillCodedError -Outcome Cancelled -Message 'Installation cancelled before downloading.')
        }
    }
    try {
        Complete-TarnquillNativeMethodsImport -Import $nativeImport
    } catch {
        throw ($_.Exception.Message + ' No download was started.')
    }

    # Earlier runs that failed or were cut off: their BITS jobs, a verified archive, their folders.
    . (Join-Path -Path $PSScriptRoot -ChildPath 'temporary-folders.ps1')
    Clear-TarnquillEarlierRuns -SourceRoot $sourceRoot -BuildFolder $buildFolder -LogFile $logFile

    # 13. The application image, built in the temporary folder; the runtime is
    # downloaded and verified here.
    try {
        $null = & (Join-Path -Path $PSScriptRoot -ChildPath 'package-portable.ps1') -OutputDirectory $buildFolder -InstallFolder $appFolder -LogFile $logFile
    } catch {
        throw (Resolve-TarnquillDiskFullError -ErrorRecord $_ -Step 'Building the application image in the temporary folder')
    }

    # 14. and 15. The install root, and the build checked.
    $null = [System.IO.Directory]::CreateDirectory($installRoot)
    $builtItems = @(
        @{ Display = 'TARNQUILL.exe'; Children = @('TARNQUILL.exe') },
        @{ Display = 'resources\app\package.json'; Children = @('resources', 'app', 'package.json') },
        @{ Display = 'resources\app\assets\tarnquill.ico'; Children = @('resources', 'app', 'assets', 'tarnquill.ico') }
    )
    foreach ($item in $builtItems) {
        if (-not (Test-Path -LiteralPath ([System.IO.Path]::Combine([string[]](@($buildFolder) + $item.Children))))) {
            throw ('Build validation failed: ' + $item.Display)
        }
    }

    # 16. and 17. An installed folder of this version becomes a backup, and the
    # image takes its place; the backup goes back if that fails.
    $backupFolder = $null
    if (Test-Path -LiteralPath $appFolder) {
        Assert-TarnquillPlainTree -Path $appFolder
        $backupFolder = Join-Path -Path $installRoot -ChildPath ('Backup-' + $version + '-' + (New-TarnquillGuidToken))
        Move-TarnquillFolder -Source $appFolder -Destination $backupFolder
    }
    try {
        Move-TarnquillImage -BuildFolder $buildFolder -AppFolder $appFolder
    } catch {
        $placeError = Resolve-TarnquillDiskFullError -ErrorRecord $_ -Step ('Copying the new version into ' + $appFolder)
        if ($null -ne $backupFolder) {
            Restore-TarnquillBackup -BackupFolder $backupFolder -AppFolder $appFolder -LogFile $logFile
        }
        throw $placeError
    }

    # 18.
    foreach ($required in @($appExecutable, $iconFile, $uninstallScript)) {
        if (-not (Test-Path -LiteralPath $required -PathType Leaf)) {
            throw ('Required installation file was not created: ' + $required)
        }
    }

    # 19. Shortcuts.
    $desktopFolder = Get-TarnquillSpecialFolder -Name 'Desktop'
    $programsFolder = Get-TarnquillSpecialFolder -Name 'Programs'
    foreach ($special in @(@('Desktop', $desktopFolder), @('Start menu programs', $programsFolder))) {
        if ([string]::IsNullOrEmpty($special[1])) {
            throw ('The ' + $special[0] + ' folder of the current user is unavailable. No shortcuts were created.')
        }
    }
    $startMenuGroup = Join-Path -Path $programsFolder -ChildPath 'TARNQUILL'
    $desktopShortcut = Join-Path -Path $desktopFolder -ChildPath 'TARNQUILL.lnk'
    $startMenuShortcut = Join-Path -Path $programsFolder -ChildPath 'TARNQUILL.lnk'
    $null = [System.IO.Directory]::CreateDirectory($startMenuGroup)
    foreach ($stale in @($desktopShortcut, $startMenuShortcut, (Join-Path -Path $startMenuGroup -ChildPath 'TARNQUILL.lnk'))) {
        Remove-TarnquillStaleShortcut -Path $stale
    }
    foreach ($shortcut in @($desktopShortcut, $startMenuShortcut)) {
        New-TarnquillShortcut -Path $shortcut -Target $appExecutable -WorkingDirectory $appFolder `
            -IconPath $iconFile -Description $Description
    }
    Save-TarnquillShellLink -Path (Join-Path -Path $startMenuGroup -ChildPath 'Uninstall TARNQUILL.lnk') `
        -Target 'powershell.exe' -Arguments ('-NoProfile -ExecutionPolicy Bypass -File "' + $uninstallScript + '"') `
        -WorkingDirectory $appFolder -IconLocation ($iconFile + ',0')

    # 20. The uninstall entry.
    Reset-TarnquillRegistryKey -Path $UninstallKey
    $uninstallValues = @(
        @('DisplayName', 'String', 'TARNQUILL'),
        @('DisplayVersion', 'String', $version),
        @('Publisher', 'String', 'TARNQUILL'),
        @('InstallLocation', 'String', $appFolder),
        @('DisplayIcon', 'String', ($iconFile + ',0')),
        @('UninstallString', 'String', ('powershell.exe -NoProfile -ExecutionPolicy Bypass -File "' + $uninstallScript + '"')),
        @('QuietUninstallString', 'String', ('powershell.exe -NoProfile -NonInteractive -ExecutionPolicy Bypass -File "' + $uninstallScript + '" -Quiet')),
        @('NoModify', 'DWord', 1),
        @('NoRepair', 'DWord', 1),
        @('InstallDate', 'String', [System.DateTime]::Now.ToString('yyyyMMdd', [System.Globalization.CultureInfo]::InvariantCulture))
    )
    foreach ($value in $uninstallValues) {
        Set-TarnquillRegistryValue -Path $UninstallKey -Name $value[0] -Type $value[1] -Value $value[2]
    }
    # Measured last, right before it is written, over the folder as installed.
    Set-TarnquillRegistryValue -Path $UninstallKey -Name 'EstimatedSize' -Type 'DWord' `
        -Value (Get-TarnquillEstimatedSize -Path $appFolder)

    # 21. Shell refresh; it never fails the run.
    Update-TarnquillShell

    # 22. and 23. Done; then the versions older than the latest two.

    Add-TarnquillLogEntry -Path $logFile -Text ('Installation complete: ' + $appFolder)
    Write-Host ''
    Write-Host 'TARNQUILL installed successfully.' -ForegroundColor Green
    Write-Host ('Desktop: ' + $desktopShortcut) -ForegroundColor DarkGray
    Write-Host ('Start Menu: ' + $startMenuShortcut) -ForegroundColor DarkGray

    Invoke-TarnquillRetention -InstallRoot $installRoot -Version $version -LogFile $logFile `
        -Unattended:$Unattended -RemoveOld:$RemoveOld

    # 24. An unattended run never starts the application: nobody may be signed in to see it.
    if (-not ($NoLaunch -or $Unattended)) {
        Start-TarnquillApplication -Path $appExecutable -WorkingDirectory $appFolder
    }
} catch {
    $failure = $_.Exception
    $message = $failure.Message
    try {
        $resolved = Resolve-TarnquillDiskFullError -ErrorRecord $_ -Step 'The installation'
        if ($resolved -is [System.Exception]) {
            $failure = $resolved
            $message = $resolved.Message
        }
        $exitCode = Get-TarnquillExitCode -Exception $failure
    } catch {
        # Only a source tree without its libraries gets here.
        $exitCode = 1603
    }
    # A log that cannot be written must not hide why the run failed: the
    # message is still shown and the code returned.
    if ($null -ne $logFile) {
        try {
            Add-TarnquillLogEntry -Path $logFile -Text ('ERROR ' + $message)
        } catch {
            $null = $_
        }
    }
    Write-Host ''
    Write-Host 'Installation failed.' -ForegroundColor Red
    Write-Host $message -ForegroundColor Yellow
    if ($null -ne $logFile) {
        Write-Host ('Log: ' + $logFile) -ForegroundColor DarkGray
    }
} finally {
    # Gone after a move into place; still there after a failure or a copy.
    if ($null -ne $buildFolder) {
        try {
            Remove-TarnquillTree -Path $buildFolder
        } catch {
            $null = $_
        }
    }
    if ($null -ne $setupLock) {
        Exit-TarnquillSetupLock -Lock $setupLock
    }
}
exit $exitCode
