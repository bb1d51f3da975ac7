Set-StrictMode -Version Latest

# Install-root safety for TARNQUILL: where the product lives, which folders in
# the install root belong to the installer, which old versions may go, how an
# owned folder is deleted without following a junction or symbolic link, how a
# folder is moved while a virus scanner still holds files in it, the test for a
# running TARNQUILL, the per-user lock that keeps two setup runs apart, and the
# one reading of a consent answer that the installer and the uninstaller share.
# Loaded by dot-sourcing into the caller's scope; no error preference is set
# here, the callers decide.

function ConvertTo-TarnquillFullPath {
    <#
    .SYNOPSIS
    Makes a path absolute with the platform's normalisation; optionally cuts every trailing separator.
    #>
    [CmdletBinding()]
    param(
        [Parameter(Mandatory = $true, Position = 0)]
        [string]$Path,

        [switch]$TrimTrailingSeparators
    )

    $full = [System.IO.Path]::GetFullPath($Path)
    if ($TrimTrailingSeparators) {
        $separators = [char[]]@([System.IO.Path]::DirectorySeparatorChar, [System.IO.Path]::AltDirectorySeparatorChar)
        $full = $full.TrimEnd($separators)
    }
    return $full
}

function Test-TarnquillSamePath {
    <#
    .SYNOPSIS
    Compares two paths ordinally without regard to case.
    #>
    [CmdletBinding()]
    param(
        [AllowNull()][AllowEmptyString()][string]$Left,
        [AllowNull()][AllowEmptyString()][string]$Right
    )

    return [string]::Equals($Left, $Right, [System.StringComparison]::OrdinalIgnoreCase)
}

function Test-TarnquillPathWithin {
    <#
    .SYNOPSIS
    Tells whether a full path is the same as, or lies below, another full path (ordinal, any case).
    #>
    [CmdletBinding()]
    param(
        [Parameter(Mandatory = $true)]
        [string]$Path,

        [Parameter(Mandatory = $true)]
        [string]$Folder
    )
    $separators = [char[]]@([System.IO.Path]::DirectorySeparatorChar, [System.IO.Path]::AltDirectorySeparatorChar)
    $inner = $Path.TrimEnd($separators)
    $outer = $Folder.TrimEnd($separators)
    if ([string]::Equals($inner, $outer, [System.StringComparison]::OrdinalIgnoreCase)) {
        return $true
    }
    return $inner.StartsWith($outer + [System.IO.Path]::DirectorySeparatorChar, [System.StringComparison]::OrdinalIgnoreCase)
}

function Get-TarnquillEntryAttributes {
    <#
    .SYNOPSIS
    Returns the attributes of the entry at Path itself (a link is not followed), or $null when there is no entry.
    #>
    [CmdletBinding()]
    param(
        [Parameter(Mandatory = $true, Position = 0)]
        [string]$Path
    )

    # GetAttributes reads the entry itself, so a junction or a link whose
    # target is gone still counts as present and shows ReparsePoint.
    try {
        return [System.IO.File]::GetAttributes($Path)
    } catch [System.IO.FileNotFoundException] {
        return $null
    } catch [System.IO.DirectoryNotFoundException] {
        return $null
    }
}

function Test-TarnquillReparsePoint {
    <#
    .SYNOPSIS
    True when the attributes include the reparse point attribute.
    #>
    [CmdletBinding()]
    param(
        [Parameter(Mandatory = $true, Position = 0)]
        [System.IO.FileAttributes]$Attributes
    )

    return (($Attributes -band [System.IO.FileAttributes]::ReparsePoint) -ne 0)
}

function Get-TarnquillPlatformException {
    <#
    .SYNOPSIS
    The exception that a .NET method threw, taken out of the MethodInvocationException that PowerShell wraps around it.
    .DESCRIPTION
    The wrapper's message names the method and its argument count; the platform's own message (and
    its Win32 error code) is what a user and the retry rules need. Any other exception is returned
    as it is.
    #>
    [CmdletBinding()]
    param(
        [Parameter(Mandatory = $true)]
        [System.Exception]$Exception
    )

    if (($Exception -is [System.Management.Automation.MethodInvocationException]) -and ($null -ne $Exception.InnerException)) {
        return $Exception.InnerException
    }
    return $Exception
}

function Get-TarnquillReparseTag {
    <#
    .SYNOPSIS
    Returns the reparse tag of the entry at Path itself, or 0 when it is no reparse point; throws when the tag can't be read.
    .DESCRIPTION
    Reads the tag that FindFirstFileW reports for the entry, without opening it: opening a cloud
    file could start a download, and a link is never followed.
    #>
    [CmdletBinding()]
    param(
        [Parameter(Mandatory = $true, Position = 0)]
        [string]$Path
    )

    # Compiled by Add-Type on first use; Windows PowerShell 5.1 compiles it as C# 5.
    $reparseTagSource = @'
using System;
using System.ComponentModel;
using System.Runtime.InteropServices;

namespace TarnQuill.Safety
{
    public static class ReparseTagReader
    {
        // WIN32_FIND_DATAW: dwFileAttributes at offset 0, dwReserved0 (the reparse
        // tag when the entry is a reparse point) at offset 36, 592 bytes in all.
        private const int FindDataSize = 592;
        private const int AttributesOffset = 0;
        private const int TagOffset = 36;
        private const uint ReparsePointAttribute = 0x400;
        private const int MaxShortPath = 260;
        private static readonly IntPtr InvalidHandle = new IntPtr(-1);
        private static readonly char[] Wildcards = new char[] { '*', '?', '<', '>', '"' };

        [DllImport("kernel32.dll", EntryPoint = "FindFirstFileW", CharSet = CharSet.Unicode,
            ExactSpelling = true, SetLastError = true)]
        private static extern IntPtr FindFirstFile(string fileName, IntPtr findData);

        [DllImport("kernel32.dll", ExactSpelling = true, SetLastError = true)]
        [return: MarshalAs(UnmanagedType.Bool)]
        private static extern bool FindClose(IntPtr findHandle);

        public static uint Read(string path)
        {
            if (path == null)
            {
                throw new ArgumentNullException("path");
            }
            // FindFirstFileW takes these as wildcards; no real name holds them.
            if (path.IndexOfAny(Wildcards) >= 0)
            {
                throw new ArgumentException("Not a file name: " + path);
            }
            IntPtr findData = Marshal.AllocHGlobal(FindDataSize);
            try
            {
                IntPtr handle = FindFirstFile(ExtendedPath(path), findData);
                if (handle == InvalidHandle)
                {
                    throw new Win32Exception(Marshal.GetLastWin32Error(), "The reparse tag could not be read: " + path);
                }
                FindClose(handle);
                uint attributes = (uint)Marshal.ReadInt32(findData, AttributesOffset);
                if ((attributes & ReparsePointAttribute) == 0)
                {
                    return 0;
                }
                return (uint)Marshal.ReadInt32(findData, TagOffset);
            }
            finally
            {
                Marshal.FreeHGlobal(findData);
            }
        }

        // Paths of MAX_PATH characters or more need the extended-length form.
        private static string ExtendedPath(string path)
        {
            if (path.Length < MaxShortPath || path.StartsWith(@"\\?\", StringComparison.Ordinal))
            {
                return path;
            }
            if (path.StartsWith(@"\\", StringComparison.Ordinal))
            {
                return @"\\?\UNC\" + path.Substring(2);
            }
            return @"\\?\" + path;
        }
    }
}
'@
    if ($null -eq ('TarnQuill.Safety.ReparseTagReader' -as [type])) {
        Add-Type -TypeDefinition $reparseTagSource -Language CSharp -IgnoreWarnings
    }
    try {
        return [TarnQuill.Safety.ReparseTagReader]::Read($Path)
    } catch [System.Management.Automation.MethodInvocationException] {
        throw (Get-TarnquillPlatformException -Exception $_.Exception)
    }
}

function Test-TarnquillLink {
    <#
    .SYNOPSIS
    True when the entry at Path is a link: a junction, symbolic link or mount point, or a reparse point whose tag can't be read.
    .DESCRIPTION
    Only reparse points whose tag carries the name-surrogate bit (0x20000000) point somewhere else.
    Every other reparse point (cloud files of OneDrive and other sync clients, files compressed or
    deduplicated by Windows) is the file or folder it is. A tag that can't be read counts as a link,
    so that it is refused rather than followed.
    .PARAMETER Attributes
    The entry's attributes, as read without following a link.
    #>
    [CmdletBinding()]
    param(
        [Parameter(Mandatory = $true, Position = 0)]
        [string]$Path,

        [Parameter(Mandatory = $true, Position = 1)]
        [System.IO.FileAttributes]$Attributes
    )

    if (-not (Test-TarnquillReparsePoint -Attributes $Attributes)) {
        return $false
    }
    try {
        $tag = [uint32](Get-TarnquillReparseTag -Path $Path)
    } catch {
        return $true
    }
    return (($tag -band 0x20000000) -ne 0)
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

function ConvertTo-TarnquillVersion {
    <#
    .SYNOPSIS
    Parses a version text of three decimal components, each at most 2^31 - 1; returns $null when it can't.
    #>
    [CmdletBinding()]
    param(
        [Parameter(Mandatory = $true, Position = 0)]
        [string]$VersionText
    )

    $parts = $VersionText.Split('.')
    if ($parts.Count -ne 3) {
        return $null
    }
    $numbers = New-Object 'System.Collections.Generic.List[int]'
    foreach ($part in $parts) {
        # Only 0 to 9: the name patterns also let other Unicode digits through.
        if ($part -cnotmatch '^[0-9]+$') {
            return $null
        }
        $value = 0
        $ok = [int]::TryParse($part, [System.Globalization.NumberStyles]::None,
            [System.Globalization.CultureInfo]::InvariantCulture, [ref]$value)
        if (-not $ok) {
            return $null
        }
        $numbers.Add($value)
    }
    return New-Object System.Version -ArgumentList $numbers[0], $numbers[1], $numbers[2]
}

function Assert-TarnquillInstallRoot {
    <#
    .SYNOPSIS
    Validates that InstallRoot is the standard installation root and that no part of its path is a junction or link.
    .DESCRIPTION
    The only accepted root is the folder TARNQUILL directly inside LOCALAPPDATA. The root and every
    existing folder above it, up to the drive root, must not be reparse points. Returns the root as a
    full path without trailing separators, in the caller's letter case; throws on any refusal.
    .PARAMETER InstallRoot
    The installation root to validate.
    #>
    [CmdletBinding()]
    param(
        [Parameter(Mandatory = $true, Position = 0)]
        [string]$InstallRoot
    )

    $localAppData = [System.Environment]::GetEnvironmentVariable('LOCALAPPDATA')
    if ([string]::IsNullOrWhiteSpace($localAppData)) {
        throw 'LOCALAPPDATA is unavailable.'
    }

    $expected = ConvertTo-TarnquillFullPath -Path ([System.IO.Path]::Combine($localAppData, 'TARNQUILL')) -TrimTrailingSeparators
    $actual = ConvertTo-TarnquillFullPath -Path $InstallRoot -TrimTrailingSeparators
    if (-not (Test-TarnquillSamePath -Left $expected -Right $actual)) {
        throw 'Refusing a non-standard installation root.'
    }

    # Every existing folder from the root up to the drive root is tested, so
    # that nothing is ever done through a junction.
    $current = $actual
    while ($true) {
        $attributes = Get-TarnquillEntryAttributes -Path $current
        if (($null -ne $attributes) -and (Test-TarnquillLink -Path $current -Attributes $attributes)) {
            throw ('Reparse point in installation path: ' + $current)
        }
        $parent = [System.IO.Path]::GetDirectoryName($current)
        if ([string]::IsNullOrEmpty($parent) -or (Test-TarnquillSamePath -Left $parent -Right $current)) {
            break
        }
        $current = $parent
    }

    return $actual
}

function Get-TarnquillVersionFolders {
    <#
    .SYNOPSIS
    Lists the version folders (App-<version> and Backup-<version>-<32 hex>) of the installation root.
    .DESCRIPTION
    Validates the root, then returns one record (Name, Path, Version, VersionText) per recognised
    folder, in the order of the directory listing. A missing root gives no records. Folders with other
    names are left alone; a recognised name whose version can't be parsed gives a warning and no record.
    .PARAMETER InstallRoot
    The installation root.
    #>
    [CmdletBinding()]
    param(
        [Parameter(Mandatory = $true, Position = 0)]
        [string]$InstallRoot
    )

    # Group 1 is the version text of an App- folder, group 2 that of a Backup- folder.
    $recognitionPattern = '^(?:App-(\d+\.\d+\.\d+)|Backup-(\d+\.\d+\.\d+)-[a-fA-F0-9]{32})$'

    $root = Assert-TarnquillInstallRoot -InstallRoot $InstallRoot
    if ($null -eq (Get-TarnquillEntryAttributes -Path $root)) {
        return
    }

    # A failed listing must never look like an empty root, so it always stops.
    $folders = @(Get-ChildItem -LiteralPath $root -Directory -Force -ErrorAction Stop)
    foreach ($folder in $folders) {
        $name = $folder.Name
        $match = [regex]::Match($name, $recognitionPattern, [System.Text.RegularExpressions.RegexOptions]::IgnoreCase)
        if (-not $match.Success) {
            Write-Verbose -Message ('Not an application version; left intact: ' + $name)
            continue
        }
        $versionText = $match.Groups[1].Value
        if ([string]::IsNullOrEmpty($versionText)) {
            $versionText = $match.Groups[2].Value
        }
        $version = ConvertTo-TarnquillVersion -VersionText $versionText
        if ($null -eq $version) {
            Write-Warning -Message ('Unrecognized version folder left intact: ' + $name)
            continue
        }
        [pscustomobject]@{
            Name        = $name
            Path        = [System.IO.Path]::Combine($root, $name)
            Version     = $version
            VersionText = $versionText
        }
    }
}

function Get-TarnquillRetentionPlan {
    <#
    .SYNOPSIS
    Returns the version folders that may be removed after installing CurrentVersion. Removes nothing.
    .DESCRIPTION
    Keeps the two newest distinct version texts present and CurrentVersion; every other version folder
    is returned, in listing order. App- and Backup- folders of one version stay or go together.
    .PARAMETER InstallRoot
    The installation root.
    .PARAMETER CurrentVersion
    The version being installed, three decimal numbers joined by dots.
    #>
    [CmdletBinding()]
    param(
        [Parameter(Mandatory = $true, Position = 0)]
        [string]$InstallRoot,

        # An empty text is a malformed version like any other and gets the
        # same refusal, not a parameter binding error.
        [Parameter(Mandatory = $true, Position = 1)]
        [AllowEmptyString()]
        [string]$CurrentVersion
    )

    # '$' also matches before a final line feed; such a text would never equal
    # a folder's version text, and the version being installed would lose its
    # place in the keep set.
    if (($CurrentVersion -notmatch '^\d+\.\d+\.\d+$') -or $CurrentVersion.Contains("`n")) {
        throw 'Invalid current version.'
    }

    $records = @(Get-TarnquillVersionFolders -InstallRoot $InstallRoot)

    $latest = New-Object 'System.Collections.Generic.List[string]'
    foreach ($record in @($records | Sort-Object -Property Version -Descending)) {
        if ($latest.Count -ge 2) {
            break
        }
        if (-not $latest.Contains($record.VersionText)) {
            $latest.Add($record.VersionText)
        }
    }

    # Exact text equality: App-1.2.3 and App-01.2.3 are two versions here.
    $keep = New-Object 'System.Collections.Generic.List[string]'
    foreach ($text in @($latest.ToArray() + $CurrentVersion)) {
        if (-not $keep.Contains($text)) {
            $keep.Add($text)
        }
    }

    foreach ($record in $records) {
        if (-not $keep.Contains($record.VersionText)) {
            $record
        }
    }
}

function Assert-TarnquillPlainTree {
    <#
    .SYNOPSIS
    Throws when Path or anything below it is a link (junction, symbolic link, mount point).
    .DESCRIPTION
    Walks the tree breadth-first and tests every entry before listing its children, so a link is
    refused without its target ever being read. Other reparse points (cloud, compressed and
    deduplicated files and folders) are walked like any file or folder. A missing or unreadable
    entry stops the test with the platform's error.
    .PARAMETER Path
    The file or folder to test.
    #>
    [CmdletBinding()]
    param(
        [Parameter(Mandatory = $true, Position = 0)]
        [string]$Path
    )

    $queue = New-Object 'System.Collections.Generic.Queue[string]'
    $queue.Enqueue($Path)
    while ($queue.Count -gt 0) {
        $entry = Get-Item -LiteralPath $queue.Dequeue() -Force -ErrorAction Stop
        if (Test-TarnquillLink -Path $entry.FullName -Attributes $entry.Attributes) {
            throw ('Refusing to remove a tree containing a junction/symlink: ' + $entry.FullName)
        }
        if ($entry.PSIsContainer) {
            foreach ($child in @(Get-ChildItem -LiteralPath $entry.FullName -Force -ErrorAction Stop)) {
                $queue.Enqueue($child.FullName)
            }
        }
    }
}

function Remove-TarnquillOwnedFolder {
    <#
    .SYNOPSIS
    Deletes one folder that the installer owns, directly inside the installation root.
    .DESCRIPTION
    Only App-<version> and Backup-<version>-<32 hex> names are owned; Logs too when AllowLogs is
    given. The folder must be a plain tree: it is tested for junctions and links, and tested again
    together with the root immediately before the one recursive delete. Returns quietly when the
    folder does not exist; throws before deleting anything when it refuses.
    .PARAMETER InstallRoot
    The installation root.
    .PARAMETER Folder
    The folder to delete, a direct child of the root.
    .PARAMETER AllowLogs
    Also accept the log folder Logs.
    #>
    [CmdletBinding()]
    param(
        [Parameter(Mandatory = $true, Position = 0)]
        [string]$InstallRoot,

        [Parameter(Mandatory = $true, Position = 1)]
        [string]$Folder,

        [switch]$AllowLogs
    )

    $root = Assert-TarnquillInstallRoot -InstallRoot $InstallRoot
    $path = ConvertTo-TarnquillFullPath -Path $Folder
    $name = [System.IO.Path]::GetFileName($path)
    # The root spelled with a trailing separator has the root as its "parent"
    # and an empty name; it is the root itself, not a child of it.
    $isChild = (Test-TarnquillSamePath -Left ([System.IO.Path]::GetDirectoryName($path)) -Right $root) -and
        (-not [string]::IsNullOrEmpty($name))
    if (-not $isChild) {
        throw 'Refusing a folder outside the installation root.'
    }

    $owned = $name -match '^(?:App-\d+\.\d+\.\d+|Backup-\d+\.\d+\.\d+-[a-fA-F0-9]{32})$'
    $allowedLogs = $AllowLogs -and (Test-TarnquillSamePath -Left $name -Right 'Logs')
    if (-not ($owned -or $allowedLogs)) {
        throw ('Unknown folder retained: ' + $name)
    }

    if ($null -eq (Get-TarnquillEntryAttributes -Path $path)) {
        return
    }

    Assert-TarnquillPlainTree -Path $path

    # Checked once more right before the delete, with nothing in between, to
    # narrow the window in which the tree could be swapped for a link. A link
    # planted after this check is still only removed as a link by the walker.
    $null = Assert-TarnquillInstallRoot -InstallRoot $InstallRoot
    Assert-TarnquillPlainTree -Path $path
    Remove-TarnquillTree -Path $path
}

function Remove-TarnquillTree {
    <#
    .SYNOPSIS
    Deletes a file or a folder tree bottom-up without ever following a link.
    .DESCRIPTION
    A link (Test-TarnquillLink) anywhere in the tree, Path included, is removed as a link and never
    entered, so nothing it points at is touched. Windows PowerShell 5.1's Remove-Item -Recurse
    follows a junction inside a tree and empties its target, so it is not used here. Read-only,
    hidden and system attributes are cleared before an entry is deleted. A missing Path is no
    error; the first failure stops the walk with the platform's error.
    #>
    [CmdletBinding()]
    param(
        [Parameter(Mandatory = $true, Position = 0)]
        [string]$Path
    )

    # Each item is a path and whether its children have been pushed already.
    $stack = New-Object 'System.Collections.Generic.Stack[object]'
    $stack.Push(@($Path, $false))
    try {
        while ($stack.Count -gt 0) {
            $item = $stack.Pop()
            $entry = [string]$item[0]
            $attributes = Get-TarnquillEntryAttributes -Path $entry
            if ($null -eq $attributes) {
                continue
            }
            $isFolder = (($attributes -band [System.IO.FileAttributes]::Directory) -ne 0)
            $isLink = Test-TarnquillLink -Path $entry -Attributes $attributes
            if ($isFolder -and (-not $isLink) -and (-not $item[1])) {
                $stack.Push(@($entry, $true))
                foreach ($child in [System.IO.Directory]::GetFileSystemEntries($entry)) {
                    $stack.Push(@($child, $false))
                }
                continue
            }
            # A link's attributes are left alone: changing them could reach its target.
            $blocking = [System.IO.FileAttributes]::ReadOnly -bor [System.IO.FileAttributes]::Hidden -bor [System.IO.FileAttributes]::System
            if ((-not $isLink) -and (($attributes -band $blocking) -ne 0)) {
                [System.IO.File]::SetAttributes($entry, [System.IO.FileAttributes]::Normal)
            }
            # Removes a folder emptied above, or a folder link itself without touching its target.
            if ($isFolder) {
                [System.IO.Directory]::Delete($entry, $false)
            } else {
                [System.IO.File]::Delete($entry)
            }
        }
    } catch [System.Management.Automation.MethodInvocationException] {
        throw (Get-TarnquillPlatformException -Exception $_.Exception)
    }
}

function Invoke-TarnquillDirectoryMove {
    <#
    .SYNOPSIS
    Moves a folder to a new path on the same volume, in one platform call.
    #>
    [CmdletBinding()]
    param(
        [Parameter(Mandatory = $true)]
        [string]$Source,

        [Parameter(Mandatory = $true)]
        [string]$Destination
    )

    [System.IO.Directory]::Move($Source, $Destination)
}

function Test-TarnquillTransientError {
    <#
    .SYNOPSIS
    True for the failures that another process's open handle causes: access denied, sharing or lock violation.
    #>
    [CmdletBinding()]
    param(
        [Parameter(Mandatory = $true)]
        [System.Exception]$Exception
    )

    if ($Exception -is [System.UnauthorizedAccessException]) {
        return $true
    }
    return (@(5, 32, 33) -contains (Get-TarnquillWin32Error -Exception $Exception))
}

function Get-TarnquillWin32Error {
    <#
    .SYNOPSIS
    The Win32 error code that an IOException carries in its HRESULT, or 0 when it carries none.
    #>
    [CmdletBinding()]
    param(
        [Parameter(Mandatory = $true)]
        [System.Exception]$Exception
    )

    # The .NET Framework reports a refused folder move (access denied included) as an
    # IOException whose HRESULT wraps the Win32 error.
    if (($Exception -isnot [System.IO.IOException]) -or ((($Exception.HResult -shr 16) -band 0x1FFF) -ne 7)) {
        return 0
    }
    return ($Exception.HResult -band 0xFFFF)
}

function Move-TarnquillFolder {
    <#
    .SYNOPSIS
    Moves a folder to a new path on the same volume, retrying while another process holds a file in it.
    .DESCRIPTION
    Right after files were unpacked or copied, a virus scanner may still have one of them open, and
    the move fails with access denied or a sharing violation. Such a failure is tried again, up to
    Attempts tries in all, DelayMilliseconds apart. Any other failure, and the last one, is thrown
    with the platform's own message.
    #>
    [CmdletBinding()]
    param(
        [Parameter(Mandatory = $true)]
        [string]$Source,

        [Parameter(Mandatory = $true)]
        [string]$Destination,

        [ValidateRange(1, 100)]
        [int]$Attempts = 10,

        [ValidateRange(0, 10000)]
        [int]$DelayMilliseconds = 500
    )

    Invoke-TarnquillRetriedAction -Attempts $Attempts -DelayMilliseconds $DelayMilliseconds -Action {
        Invoke-TarnquillDirectoryMove -Source $Source -Destination $Destination
    }
}

function Invoke-TarnquillRetriedAction {
    <#
    .SYNOPSIS
    Runs Action, and runs it again while it fails because another process holds a file (Test-TarnquillTransientError).
    .DESCRIPTION
    Up to Attempts tries in all, DelayMilliseconds apart. Any other failure, and the last one, is
    thrown as the platform's own exception. Action runs in a scope below the caller's, so it sees
    the caller's variables.
    #>
    [CmdletBinding()]
    param(
        [Parameter(Mandatory = $true)]
        [scriptblock]$Action,

        [ValidateRange(1, 100)]
        [int]$Attempts = 10,

        [ValidateRange(0, 10000)]
        [int]$DelayMilliseconds = 500
    )

    for ($attempt = 1; $true; $attempt++) {
        try {
            $null = & $Action
            return
        } catch {
            $failure = Get-TarnquillPlatformException -Exception $_.Exception
            if (($attempt -ge $Attempts) -or (-not (Test-TarnquillTransientError -Exception $failure))) {
                throw $failure
            }
        }
        Start-Sleep -Milliseconds $DelayMilliseconds
    }
}

function Get-TarnquillApplicationProcess {
    <#
    .SYNOPSIS
    The running processes with the image name TARNQUILL (any letter case), in every session.
    #>
    [CmdletBinding()]
    param()

    return @(Get-Process -Name 'TARNQUILL' -ErrorAction SilentlyContinue)
}

function Get-TarnquillProcessPath {
    <#
    .SYNOPSIS
    The full path of a process's executable, normalised, or $null when it cannot be read.
    .DESCRIPTION
    Windows lets a user read the executable of their own processes, in any session, but not
    those of another user.
    #>
    [CmdletBinding()]
    param(
        [Parameter(Mandatory = $true)]
        [object]$Process
    )

    # A getter that fails may throw or, depending on the host, give nothing at all.
    try {
        $path = [string]$Process.Path
        if ([string]::IsNullOrEmpty($path)) {
            return $null
        }
        return (ConvertTo-TarnquillFullPath -Path $path)
    } catch {
        return $null
    }
}

function Test-TarnquillRunning {
    <#
    .SYNOPSIS
    True when a process named TARNQUILL runs in this process's session, or runs from InstallRoot in another session.
    .DESCRIPTION
    The installation lives in the user's own profile, so a TARNQUILL of another user (fast user
    switching, Remote Desktop) never holds its files and does not count; Windows does not let us
    read where such a process runs from. The same user signed in a second time (a terminal
    server) can run TARNQUILL from the very folders that we replace or remove: a process of
    another session counts when its executable lies under InstallRoot. A process whose session
    cannot be read counts, to be safe.
    .PARAMETER InstallRoot
    The installation root.
    #>
    [CmdletBinding()]
    param(
        [Parameter(Mandatory = $true)]
        [string]$InstallRoot
    )

    $session = [System.Diagnostics.Process]::GetCurrentProcess().SessionId
    $root = ConvertTo-TarnquillFullPath -Path $InstallRoot -TrimTrailingSeparators
    foreach ($process in @(Get-TarnquillApplicationProcess)) {
        # A getter that fails may throw or, depending on the host, give nothing at all.
        $other = $null
        try {
            $other = $process.SessionId
        } catch {
            $null = $_
        }
        if (($null -eq $other) -or ([int]$other -eq $session)) {
            return $true
        }
        $path = Get-TarnquillProcessPath -Process $process
        if (($null -ne $path) -and (Test-TarnquillPathWithin -Path $path -Folder $root)) {
            return $true
        }
    }
    return $false
}

function Get-TarnquillSetupLockName {
    <#
    .SYNOPSIS
    Name of the per-user setup lock: a hash of the user and the local application data folder.
    #>
    [CmdletBinding()]
    param()

    # Keyed on the folder that holds the install root as well as the user, so
    # the lock guards exactly the root that a run would change.
    $localAppData = [System.Environment]::GetEnvironmentVariable('LOCALAPPDATA')
    if ([string]::IsNullOrWhiteSpace($localAppData)) {
        $localAppData = ''
    } else {
        $localAppData = (ConvertTo-TarnquillFullPath -Path $localAppData -TrimTrailingSeparators).ToUpperInvariant()
    }
    $identity = [System.Environment]::UserDomainName + '\' + [System.Environment]::UserName + '|' + $localAppData
    # The CryptoAPI implementation: SHA256Managed, which SHA256.Create() gives on the
    # .NET Framework, refuses to run when the Windows FIPS policy is on.
    $sha = New-Object -TypeName System.Security.Cryptography.SHA256CryptoServiceProvider
    try {
        $digest = $sha.ComputeHash([System.Text.Encoding]::UTF8.GetBytes($identity))
    } finally {
        $sha.Dispose()
    }
    $hex = -join @($digest[0..15] | ForEach-Object { $_.ToString('x2') })
    return ('Local\TARNQUILL.Setup.' + $hex)
}

function Enter-TarnquillSetupLock {
    <#
    .SYNOPSIS
    Takes the per-user setup lock, so that two installer runs, or an installer and an uninstaller, never overlap.
    .DESCRIPTION
    Does not wait: when another process holds the lock, throws and nothing is changed. A lock left
    behind by a process that ended without releasing it is taken over. Returns the held mutex; pass it
    to Exit-TarnquillSetupLock from the same thread when done.
    #>
    [CmdletBinding()]
    param()

    $name = Get-TarnquillSetupLockName
    $mutex = New-Object System.Threading.Mutex -ArgumentList $false, $name
    $acquired = $false
    try {
        $acquired = $mutex.WaitOne(0)
    } catch [System.Threading.AbandonedMutexException] {
        # The previous holder ended without releasing; the lock is ours now.
        $acquired = $true
    } finally {
        if (-not $acquired) {
            $mutex.Dispose()
        }
    }
    if (-not $acquired) {
        throw 'Another TARNQUILL installer or uninstaller is running for this user. Nothing was changed.'
    }
    return $mutex
}

function Exit-TarnquillSetupLock {
    <#
    .SYNOPSIS
    Releases and disposes the setup lock taken by Enter-TarnquillSetupLock. Never throws.
    .PARAMETER Lock
    The mutex that Enter-TarnquillSetupLock returned.
    #>
    [CmdletBinding()]
    param(
        [Parameter(Mandatory = $true, Position = 0)]
        [AllowNull()]
        [System.Threading.Mutex]$Lock
    )

    if ($null -eq $Lock) {
        return
    }
    try {
        $Lock.ReleaseMutex()
    } catch {
        # Not held by this thread, or already released: nothing left to do.
        $null = $_
    }
    try {
        $Lock.Dispose()
    } catch {
        $null = $_
    }
}

function Test-TarnquillConsent {
    <#
    .SYNOPSIS
    True only for y or yes in any letter case, exactly as typed: no trimming, nothing before or after.
    .DESCRIPTION
    Shared by the installer and the uninstaller, so both read an answer the same way.
    An empty line or no answer at all is a refusal.
    #>
    [CmdletBinding()]
    param(
        [Parameter(Mandatory = $true)]
        [AllowEmptyString()]
        [AllowNull()]
        [string]$Answer
    )

    # '$' also matches before a final line feed; "y" followed by a line feed
    # has something after the y and is no consent.
    return (($Answer -match '^(?i)y(es)?$') -and (-not $Answer.Contains("`n")))
}
