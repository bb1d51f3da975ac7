Set-StrictMode -Version Latest

# Install-root safety for TARNQUILL: where the product lives, links (junctions, symbolic links and
# mount points, read by their reparse tag), the version folders that belong to the installer, which
# old versions may go, and how an owned folder is deleted without following a link. Loaded by
# dot-sourcing by the install procedure, the uninstaller, the runtime library and the clean-up of
# temporary folders. It deletes only inside the trees its callers name and set no error preference;
# the callers decide.

. (Join-Path -Path $PSScriptRoot -ChildPath 'file-system.ps1')
. (Join-Path -Path $PSScriptRoot -ChildPath 'native-methods.ps1')

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
    if ($null -eq ('TarnQuill.Safety.ReparseTagReader' -as [type])) {
        Import-TarnquillNativeMethods
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
