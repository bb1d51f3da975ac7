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
logged to %LOCALAPPDATA%\TARNQUILL\Logs\installer.log. Success is a normal
end; failure is a terminating error whose message says what failed.

.PARAMETER NoLaunch
Do not start the installed application at the end.
#>
[CmdletBinding()]
param(
    [switch]$NoLaunch
)
Set-StrictMode -Version Latest
$ErrorActionPreference = 'Stop'

$Description = 'TARNQUILL - Find. Explain. Fix.'
$UninstallKey = 'HKCU:\Software\Microsoft\Windows\CurrentVersion\Uninstall\TARNQUILL'

# ---------------------------------------------------------------------------
# Windows-only interfaces. Each sits in one small function of its own, so that
# everything around them runs unchanged where they do not exist.
# ---------------------------------------------------------------------------

function Get-TarnquillSpecialFolder {
    <#
    .SYNOPSIS
    Returns a special folder of the current user as the platform reports it (Desktop, Programs).
    #>
    [CmdletBinding()]
    param(
        [Parameter(Mandatory = $true)]
        [ValidateSet('Desktop', 'Programs')]
        [string]$Name
    )
    return [System.Environment]::GetFolderPath([System.Environment+SpecialFolder]$Name)
}

function Read-TarnquillAnswer {
    <#
    .SYNOPSIS
    Asks a question on the console and returns the line typed, unchanged.
    #>
    [CmdletBinding()]
    param(
        [Parameter(Mandatory = $true)]
        [string]$Prompt
    )
    return Read-Host -Prompt $Prompt
}

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

function Save-TarnquillShellLink {
    <#
    .SYNOPSIS
    Writes a shell link (.lnk) through the shell's Unicode link interface; an existing link is overwritten.
    .DESCRIPTION
    IconLocation is the icon file, a comma and the icon index. Arguments and Description are set only
    when given. WScript.Shell is not used: it goes through the ANSI code page, so it cannot save a link
    under a profile folder with other letters (a Cyrillic user name on an English Windows) and turns
    such letters in the target into question marks.
    #>
    [CmdletBinding()]
    param(
        [Parameter(Mandatory = $true)]
        [string]$Path,

        [Parameter(Mandatory = $true)]
        [string]$Target,

        [Parameter(Mandatory = $true)]
        [string]$WorkingDirectory,

        [Parameter(Mandatory = $true)]
        [string]$IconLocation,

        [string]$Arguments = '',

        [string]$Description = ''
    )
    # Compiled by Add-Type on first use; Windows PowerShell 5.1 compiles it as C# 5.
    $shellLinkSource = @'
using System;
using System.Runtime.InteropServices;
using System.Runtime.InteropServices.ComTypes;
using System.Text;

namespace TarnQuill.Setup
{
    // IShellLinkW, every method in vtable order.
    [ComImport, Guid("000214F9-0000-0000-C000-000000000046"), InterfaceType(ComInterfaceType.InterfaceIsIUnknown)]
    internal interface IShellLinkW
    {
        void GetPath([Out, MarshalAs(UnmanagedType.LPWStr)] StringBuilder file, int fileLength, IntPtr findData, uint flags);
        void GetIDList(out IntPtr itemIdList);
        void SetIDList(IntPtr itemIdList);
        void GetDescription([Out, MarshalAs(UnmanagedType.LPWStr)] StringBuilder name, int nameLength);
        void SetDescription([MarshalAs(UnmanagedType.LPWStr)] string name);
        void GetWorkingDirectory([Out, MarshalAs(UnmanagedType.LPWStr)] StringBuilder folder, int folderLength);
        void SetWorkingDirectory([MarshalAs(UnmanagedType.LPWStr)] string folder);
        void GetArguments([Out, MarshalAs(UnmanagedType.LPWStr)] StringBuilder arguments, int argumentsLength);
        void SetArguments([MarshalAs(UnmanagedType.LPWStr)] string arguments);
        void GetHotkey(out ushort hotkey);
        void SetHotkey(ushort hotkey);
        void GetShowCmd(out int showCommand);
        void SetShowCmd(int showCommand);
        void GetIconLocation([Out, MarshalAs(UnmanagedType.LPWStr)] StringBuilder iconPath, int iconPathLength, out int iconIndex);
        void SetIconLocation([MarshalAs(UnmanagedType.LPWStr)] string iconPath, int iconIndex);
        void SetRelativePath([MarshalAs(UnmanagedType.LPWStr)] string relativePath, uint reserved);
        void Resolve(IntPtr window, uint flags);
        void SetPath([MarshalAs(UnmanagedType.LPWStr)] string file);
    }

    // CLSID_ShellLink.
    [ComImport, Guid("00021401-0000-0000-C000-000000000046")]
    internal class ShellLink
    {
    }

    public static class ShellLinkWriter
    {
        public static void Save(string path, string target, string arguments, string workingDirectory,
            string iconPath, int iconIndex, string description)
        {
            IShellLinkW link = (IShellLinkW)new ShellLink();
            try
            {
                link.SetPath(target);
                if (!string.IsNullOrEmpty(arguments))
                {
                    link.SetArguments(arguments);
                }
                link.SetWorkingDirectory(workingDirectory);
                if (!string.IsNullOrEmpty(description))
                {
                    link.SetDescription(description);
                }
                link.SetIconLocation(iconPath, iconIndex);
                ((IPersistFile)link).Save(path, true);
            }
            finally
            {
                Marshal.ReleaseComObject(link);
            }
        }
    }
}
'@
    if ($null -eq ('TarnQuill.Setup.ShellLinkWriter' -as [type])) {
        # Warnings (a stale LIB folder gives CS1668) would fail the compile on 5.1.
        Add-Type -TypeDefinition $shellLinkSource -Language CSharp -IgnoreWarnings
    }
    $iconPath = $IconLocation
    $iconIndex = 0
    $comma = $IconLocation.LastIndexOf(',')
    if ($comma -ge 0) {
        $iconPath = $IconLocation.Substring(0, $comma)
        $iconIndex = [int]::Parse($IconLocation.Substring($comma + 1), [System.Globalization.CultureInfo]::InvariantCulture)
    }
    try {
        [TarnQuill.Setup.ShellLinkWriter]::Save($Path, $Target, $Arguments, $WorkingDirectory, $iconPath, $iconIndex, $Description)
    } catch [System.Management.Automation.MethodInvocationException] {
        throw (Get-TarnquillPlatformException -Exception $_.Exception)
    }
}

function Reset-TarnquillRegistryKey {
    <#
    .SYNOPSIS
    Creates a registry key afresh: an existing key of that name is deleted with all it holds first.
    #>
    [CmdletBinding()]
    param(
        [Parameter(Mandatory = $true)]
        [string]$Path
    )
    if (Test-Path -LiteralPath $Path) {
        Remove-Item -LiteralPath $Path -Recurse -Force
    }
    $null = New-Item -Path $Path -Force
}

function Set-TarnquillRegistryValue {
    <#
    .SYNOPSIS
    Writes one registry value of type String (REG_SZ) or DWord (REG_DWORD).
    #>
    [CmdletBinding()]
    param(
        [Parameter(Mandatory = $true)]
        [string]$Path,

        [Parameter(Mandatory = $true)]
        [string]$Name,

        [Parameter(Mandatory = $true)]
        [ValidateSet('String', 'DWord')]
        [string]$Type,

        [Parameter(Mandatory = $true)]
        [object]$Value
    )
    $null = New-ItemProperty -LiteralPath $Path -Name $Name -PropertyType $Type -Value $Value -Force
}

function Send-TarnquillShellChange {
    <#
    .SYNOPSIS
    Tells the shell that file associations and icons changed (SHChangeNotify, SHCNE_ASSOCCHANGED).
    .DESCRIPTION
    A failed declaration of the TarnquillShellRefresh type (for example because an earlier run in
    this session declared it) is passed over; a failed call is thrown.
    #>
    [CmdletBinding()]
    param()
    $shellRefreshSource = @'
using System;
using System.Runtime.InteropServices;

public static class TarnquillShellRefresh
{
    [DllImport("shell32.dll")]
    public static extern void SHChangeNotify(uint eventId, uint flags, IntPtr item1, IntPtr item2);
}
'@
    try {
        Add-Type -TypeDefinition $shellRefreshSource -Language CSharp -IgnoreWarnings
    } catch {
        $null = $_
    }
    $type = 'TarnquillShellRefresh' -as [type]
    if ($null -eq $type) {
        throw 'The shell refresh type could not be declared.'
    }
    # SHCNE_ASSOCCHANGED with SHCNF_IDLIST and no items.
    $type::SHChangeNotify([uint32]0x08000000, [uint32]0x0000, [System.IntPtr]::Zero, [System.IntPtr]::Zero)
}

function Invoke-TarnquillIconCacheTool {
    <#
    .SYNOPSIS
    Runs ie4uinit.exe with one argument in a hidden window and waits for it to end.
    #>
    [CmdletBinding()]
    param(
        [Parameter(Mandatory = $true)]
        [string]$Path,

        [Parameter(Mandatory = $true)]
        [string]$Argument
    )
    $null = Start-Process -FilePath $Path -ArgumentList $Argument -WindowStyle Hidden -Wait
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
# The installation's own helpers.
# ---------------------------------------------------------------------------

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

function Get-TarnquillEstimatedSize {
    <#
    .SYNOPSIS
    Total length of the files under a folder in KiB, rounded up; hidden items and unreadable folders are left out.
    #>
    [CmdletBinding()]
    param(
        [Parameter(Mandatory = $true)]
        [string]$Path
    )
    [long]$total = 0
    foreach ($file in @(Get-ChildItem -LiteralPath $Path -Recurse -File -ErrorAction SilentlyContinue)) {
        $total += $file.Length
    }
    return [int][System.Math]::Ceiling($total / 1024.0)
}

function New-TarnquillShortcut {
    <#
    .SYNOPSIS
    Writes a shortcut to the application: target, working folder, description, and the icon at index 0.
    #>
    [CmdletBinding()]
    param(
        [Parameter(Mandatory = $true)]
        [string]$Path,

        [Parameter(Mandatory = $true)]
        [string]$Target,

        [Parameter(Mandatory = $true)]
        [string]$WorkingDirectory,

        [Parameter(Mandatory = $true)]
        [string]$IconPath,

        [Parameter(Mandatory = $true)]
        [string]$Description
    )
    Save-TarnquillShellLink -Path $Path -Target $Target -WorkingDirectory $WorkingDirectory `
        -IconLocation ($IconPath + ',0') -Description $Description
}

function Remove-TarnquillStaleShortcut {
    <#
    .SYNOPSIS
    Deletes a shortcut file if present; every error is ignored, and a folder of that name is left alone.
    #>
    [CmdletBinding()]
    param(
        [Parameter(Mandatory = $true)]
        [string]$Path
    )
    try {
        $item = Get-Item -LiteralPath $Path -Force -ErrorAction SilentlyContinue
        if ($null -ne $item -and -not $item.PSIsContainer) {
            Remove-Item -LiteralPath $Path -Force -ErrorAction SilentlyContinue
        }
    } catch {
        $null = $_
    }
}

function Update-TarnquillShell {
    <#
    .SYNOPSIS
    Refreshes the shell and its icon cache. Never fails: a failure ends the refresh silently.
    #>
    [CmdletBinding()]
    param()
    try {
        Send-TarnquillShellChange
        $tool = [System.IO.Path]::Combine($env:SystemRoot, 'System32', 'ie4uinit.exe')
        if (Test-Path -LiteralPath $tool -PathType Leaf) {
            foreach ($argument in @('-ClearIconCache', '-show')) {
                try {
                    Invoke-TarnquillIconCacheTool -Path $tool -Argument $argument
                } catch {
                    $null = $_
                }
            }
        }
    } catch {
        $null = $_
    }
}

function Test-TarnquillSameVolume {
    <#
    .SYNOPSIS
    True when two full paths lie on the same drive or share: their roots are equal in any letter case.
    #>
    [CmdletBinding()]
    param(
        [Parameter(Mandatory = $true)]
        [string]$Path,

        [Parameter(Mandatory = $true)]
        [string]$OtherPath
    )
    return (Test-TarnquillSamePath -Left ([System.IO.Path]::GetPathRoot($Path)) -Right ([System.IO.Path]::GetPathRoot($OtherPath)))
}

function Move-TarnquillImage {
    <#
    .SYNOPSIS
    Puts the built image in place as the application folder: a folder move on one volume, a copy across volumes.
    .DESCRIPTION
    A folder can't be moved to another volume (TEMP moved to another drive, or a folder mounted from
    another disk), so there the image is copied into the new application folder, and a copy that
    fails part-way is deleted again. The build folder itself is left to the run's final clean-up.
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
    A folder whose removal fails is reported as a warning and logged, and the next one is tried.
    #>
    [CmdletBinding()]
    param(
        [Parameter(Mandatory = $true)]
        [string]$InstallRoot,

        [Parameter(Mandatory = $true)]
        [string]$Version,

        [Parameter(Mandatory = $true)]
        [string]$LogFile
    )
    $plan = @(Get-TarnquillRetentionPlan -InstallRoot $InstallRoot -CurrentVersion $Version)
    if ($plan.Count -eq 0) {
        return
    }
    Write-Host 'Versions older than the latest two can now be removed. User data is not included:' -ForegroundColor Yellow
    foreach ($folder in $plan) {
        Write-Host $folder.Path
    }
    $answer = Read-TarnquillAnswer -Prompt 'Remove exactly these old application/backup folders? [Y/N, default N]'
    if (-not (Test-TarnquillConsent -Answer $answer)) {
        Write-Host 'Old versions retained by your choice.'
        return
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

# ---------------------------------------------------------------------------
# Preparation. A failure here ends the run at once and is not logged.
# ---------------------------------------------------------------------------

$sourceRoot = [System.IO.Path]::GetFullPath((Join-Path -Path $PSScriptRoot -ChildPath '..'))
$version = Get-TarnquillReleaseVersion -SourceRoot $sourceRoot

# Combined without Join-Path, so that a missing LOCALAPPDATA reaches the root
# check below and is refused there with its own message.
$installRoot = [System.IO.Path]::Combine([string]$env:LOCALAPPDATA, 'TARNQUILL')
. (Join-Path -Path $PSScriptRoot -ChildPath 'installation-safety.ps1')
. (Join-Path -Path $PSScriptRoot -ChildPath 'disk-space.ps1')
$null = Assert-TarnquillInstallRoot -InstallRoot $installRoot

# Held until the end, so that a second installer or an uninstaller started
# meanwhile for this user stops before it changes anything.
$setupLock = Enter-TarnquillSetupLock
try {
    $appFolder = Join-Path -Path $installRoot -ChildPath ('App-' + $version)
    $buildFolder = Join-Path -Path $env:TEMP -ChildPath ('TARNQUILL-build-' + (New-TarnquillGuidToken))
    $logFolder = Join-Path -Path $installRoot -ChildPath 'Logs'
    $logFile = Join-Path -Path $logFolder -ChildPath 'installer.log'
    $hashFile = Join-Path -Path $logFolder -ChildPath 'installer.sha256'
    $appExecutable = Join-Path -Path $appFolder -ChildPath 'TARNQUILL.exe'
    $appResources = [System.IO.Path]::Combine($appFolder, 'resources', 'app')
    $iconFile = [System.IO.Path]::Combine($appResources, 'assets', 'tarnquill.ico')
    $uninstallScript = [System.IO.Path]::Combine($appResources, 'scripts', 'uninstall-installed.ps1')
    $null = [System.IO.Directory]::CreateDirectory($logFolder)

    Write-Host ''
    Write-Host ('TARNQUILL v' + $version) -ForegroundColor Green
    Write-Host 'Windows online installer' -ForegroundColor White
    Write-Host 'The verified Electron runtime is downloaded once. Administrator rights are not required.' -ForegroundColor DarkGray
    Write-Host ''

    # -----------------------------------------------------------------------
    # Main steps. Any error is logged, reported and raised again.
    # -----------------------------------------------------------------------
    try {
        if (Test-TarnquillRunning -InstallRoot $installRoot) {
            throw 'Close TARNQUILL using Exit in its tray menu, then run the installer again. No processes were force-closed.'
        }
        Add-TarnquillLogEntry -Path $logFile -Text ('Installing TARNQUILL ' + $version)

        . (Join-Path -Path $PSScriptRoot -ChildPath 'runtime.ps1')
        Write-Host ('Install location: ' + $appFolder)
        Write-Host ('Download: ' + $script:ElectronArchive + ' (Windows x64 runtime)')
        foreach ($url in @(Get-ElectronDownloadUrls)) {
            Write-Host ('Source: ' + $url)
        }
        Write-Host ('Expected runtime SHA-256: ' + $script:ElectronSha256)
        Write-Host 'Release manifest checks are OFF until you consent inside the app.'
        Write-Host 'No telemetry, antivirus exclusions, driver downloads or elevation.'

        $setupExe = $env:TARNQUILL_SETUP_EXE
        if (-not [string]::IsNullOrEmpty($setupExe) -and (Test-Path -LiteralPath $setupExe -PathType Leaf)) {
            $setupHash = (Get-FileHash -LiteralPath $setupExe -Algorithm SHA256).Hash.ToLowerInvariant()
            Write-Host ('Installer SHA-256: ' + $setupHash) -ForegroundColor Cyan
            Write-Host 'Compare with SHA256SUMS.txt / RELEASE_NOTES.md from your trusted release source.'
            Add-TarnquillLogEntry -Path $logFile -Text ('Installer SHA-256: ' + $setupHash)
            Write-TarnquillHashFile -Path $hashFile -Hash $setupHash -FileName ([System.IO.Path]::GetFileName($setupExe))
            $signatureStatus = Get-TarnquillSignatureStatus -Path $setupExe
            Write-Host ('Installer Authenticode status: ' + $signatureStatus)
            if ($signatureStatus -eq 'HashMismatch') {
                throw 'Installer signature is damaged. No download was started.'
            }
        } else {
            Write-Host 'Started from source: no installer EXE hash is available.'
        }
        Write-Host 'A matching hash checks file integrity, not publisher identity.' -ForegroundColor Yellow

        $answer = Read-TarnquillAnswer -Prompt 'Download the listed runtime and install TARNQUILL? [Y/N, default N]'
        if (-not (Test-TarnquillConsent -Answer $answer)) {
            throw 'Installation cancelled before downloading.'
        }

        # Earlier runs that failed or were cut off left their folders in TEMP, and a BITS job
        # that would go on writing into one of them: the jobs go first, a verified archive in one
        # of the folders spares the download, then the folders go. This run's own folders stay,
        # known by their unique names too, since TEMP may spell them another way.
        . (Join-Path -Path $PSScriptRoot -ChildPath 'temporary-folders.ps1')
        $tempFolders = @(Get-TarnquillTemporaryFolders)
        $keepPath = @($sourceRoot, $buildFolder, $env:TARNQUILL_SETUP_WORK)
        $keepName = @(Get-TarnquillRunFolderNames -SourceRoot $sourceRoot -BuildFolder $buildFolder)
        $leftovers = @(Get-TarnquillLeftoverFolders -TempFolder $tempFolders -KeepPath $keepPath -KeepName $keepName)
        Remove-ElectronStaleBitsJobs -Folder (@($leftovers | ForEach-Object -Process { $_.Path }) + $sourceRoot)
        # The archive is taken from a run that ended minutes ago too (one stopped for want of
        # room, retried at once): no other setup gets this far while this one holds the lock.
        $recent = @(Get-TarnquillLeftoverFolders -TempFolder $tempFolders -KeepPath $keepPath -KeepName $keepName -IncludeRecent)
        $earlierTrees = @($recent | Where-Object -FilterScript { $null -ne $_.SourceTree } | ForEach-Object -Process { $_.SourceTree })
        if (Import-ElectronArchiveFromEarlierRun -SourceTree $earlierTrees) {
            Add-TarnquillLogEntry -Path $logFile -Text 'Reusing the verified Electron runtime from an earlier run.'
        }
        foreach ($text in @(Remove-TarnquillLeftoverFolders -Folder $leftovers)) {
            Add-TarnquillLogEntry -Path $logFile -Text $text
        }

        try {
            $null = & (Join-Path -Path $PSScriptRoot -ChildPath 'package-portable.ps1') -OutputDirectory $buildFolder -InstallFolder $appFolder
        } catch {
            throw (Resolve-TarnquillDiskFullError -ErrorRecord $_ -Step 'Building the application image in the temporary folder')
        }

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

        foreach ($required in @($appExecutable, $iconFile, $uninstallScript)) {
            if (-not (Test-Path -LiteralPath $required -PathType Leaf)) {
                throw ('Required installation file was not created: ' + $required)
            }
        }

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

        Update-TarnquillShell

        Add-TarnquillLogEntry -Path $logFile -Text ('Installation complete: ' + $appFolder)
        Write-Host ''
        Write-Host 'TARNQUILL installed successfully.' -ForegroundColor Green
        Write-Host ('Desktop: ' + $desktopShortcut) -ForegroundColor DarkGray
        Write-Host ('Start Menu: ' + $startMenuShortcut) -ForegroundColor DarkGray

        Invoke-TarnquillRetention -InstallRoot $installRoot -Version $version -LogFile $logFile

        if (-not $NoLaunch) {
            Start-TarnquillApplication -Path $appExecutable -WorkingDirectory $appFolder
        }
    } catch {
        $failure = Resolve-TarnquillDiskFullError -ErrorRecord $_ -Step 'The installation'
        if ($failure -is [System.Exception]) {
            $message = $failure.Message
        } else {
            $message = $_.Exception.Message
        }
        # A log that cannot be written must not hide why the run failed: the
        # message is still shown and the original error raised again.
        try {
            Add-TarnquillLogEntry -Path $logFile -Text ('ERROR ' + $message)
        } catch {
            $null = $_
        }
        Write-Host ''
        Write-Host 'Installation failed.' -ForegroundColor Red
        Write-Host $message -ForegroundColor Yellow
        Write-Host ('Log: ' + $logFile) -ForegroundColor DarkGray
        if ($failure -is [System.Exception]) {
            throw $failure
        }
        throw
    } finally {
        # Gone after a move into place; still there after a failure or a copy.
        try {
            Remove-TarnquillTree -Path $buildFolder
        } catch {
            $null = $_
        }
    }
} finally {
    Exit-TarnquillSetupLock -Lock $setupLock
}
