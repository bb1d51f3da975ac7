Set-StrictMode -Version Latest
$ErrorActionPreference = 'Stop'

# The one Electron runtime build the product runs on, and how a source tree gets it: the pin, the
# cache inside the tree, an archive taken over from an earlier run, the room check before the
# unpacking, and the unpacking into the runtime folder. The download itself is in
# runtime-download.ps1. Loaded (dot-sourced) by install.ps1, which shows the pin and takes over an
# earlier run's archive, and by package-portable.ps1, which calls Ensure-ElectronRuntime. It writes
# only inside the source tree's runtime folders.
# Each value is a single-quoted constant on a line of its own.
$script:ElectronVersion = '43.4.1'
$script:ElectronArchive = 'electron-v' + $script:ElectronVersion + '-win32-x64.zip'
$script:ElectronSha256 = 'c2ef9a5f65472c34d14bd3e67b7d14e66b0c01f124aba45263d6a4232160e13a'
$script:ElectronBitsJobName = 'TARNQUILL Electron runtime download'

# Deletion that never follows a link, folder moves that outlast a virus scanner's hold, free space
# before the unpacking and errors that say which step a full disk stopped, and the download. The
# archive is read with the .NET ZIP classes (loading an assembly by name compiles nothing).
Add-Type -AssemblyName System.IO.Compression, System.IO.Compression.FileSystem
. (Join-Path -Path $PSScriptRoot -ChildPath 'installation-safety.ps1')
. (Join-Path -Path $PSScriptRoot -ChildPath 'retried-moves.ps1')
. (Join-Path -Path $PSScriptRoot -ChildPath 'disk-space.ps1')
. (Join-Path -Path $PSScriptRoot -ChildPath 'runtime-download.ps1')

function Get-ElectronDownloadUrls {
    <#
    .SYNOPSIS
    Returns the two download URLs of the pinned runtime archive: the release host first, then the mirror.
    .DESCRIPTION
    The setup bootstrap names the same two hosts, in the same order, in its confirmation text.
    #>
    [CmdletBinding()]
    param()
    $primaryHost = 'https://github.com'
    $mirrorHost = 'https://sourceforge.net'
    $primary = $primaryHost + '/electron/electron/releases/download/v' + $script:ElectronVersion + '/' + $script:ElectronArchive
    $mirror = $mirrorHost + '/projects/electron.mirror/files/v' + $script:ElectronVersion + '/' + $script:ElectronArchive + '/download'
    return @($primary, $mirror)
}

function Get-TarnQuillRoot {
    <#
    .SYNOPSIS
    Returns the source tree root: the resolved absolute path of the folder above the scripts folder
    that holds runtime.ps1. Fails if that folder does not exist.
    #>
    [CmdletBinding()]
    param()
    $root = Split-Path -Parent -Path $PSScriptRoot
    return (Resolve-Path -LiteralPath $root).ProviderPath
}

function Get-ElectronRuntimePath {
    <#
    .SYNOPSIS
    Returns the path of the runtime folder, .runtime\electron-v<version>-win32-x64 under the source
    tree root. The folder need not exist.
    #>
    [CmdletBinding()]
    param()
    $runtimeBase = Join-Path -Path (Get-TarnQuillRoot) -ChildPath '.runtime'
    return Join-Path -Path $runtimeBase -ChildPath ('electron-v' + $script:ElectronVersion + '-win32-x64')
}

function Get-ElectronArchivePath {
    <#
    .SYNOPSIS
    Returns the path of the cached runtime archive, .runtime\cache\<archive> under a source tree root
    (this tree's unless SourceRoot is given). The file need not exist.
    #>
    [CmdletBinding()]
    param(
        [string]$SourceRoot = (Get-TarnQuillRoot)
    )
    return [System.IO.Path]::Combine($SourceRoot, '.runtime', 'cache', $script:ElectronArchive)
}

function Import-ElectronArchiveFromEarlierRun {
    <#
    .SYNOPSIS
    Moves the pinned runtime archive from the cache of an earlier run's source tree into this tree's
    cache, so that it is not downloaded again. Returns Imported ($true when an archive was taken)
    and PassedOver: each candidate found but not taken, with Path and Reason, for the caller's log.
    .DESCRIPTION
    Each setup run unpacks its own source tree, so a run after a failed or cut-off one would
    otherwise download the runtime again. SourceTree names the trees of earlier runs, whose caches
    are looked at in the given order; the first archive whose SHA-256 equals the pin is moved, and
    an archive with any other hash is never used. Nothing is done when this tree already has a
    cached archive or a complete runtime. Ensure-ElectronRuntime checks the pin again before use,
    as for any cached archive. A candidate is passed over when a link leads to it, when another
    user owns it or a folder it sits in (up to the earlier run's work folder), or when it cannot be
    read or moved: another account could rewrite such a file between this run's checks.
    #>
    [CmdletBinding()]
    param(
        [Parameter(Mandatory = $true)]
        [AllowEmptyCollection()]
        [string[]]$SourceTree
    )
    $passedOver = @()
    $archive = Get-ElectronArchivePath
    if ((Test-Path -LiteralPath $archive -PathType Leaf) -or
        (Test-Path -LiteralPath (Join-Path -Path (Get-ElectronRuntimePath) -ChildPath 'electron.exe') -PathType Leaf)) {
        return [pscustomobject]@{ Imported = $false; PassedOver = $passedOver }
    }
    foreach ($tree in $SourceTree) {
        $candidate = Get-ElectronArchivePath -SourceRoot $tree
        if ($null -eq (Get-TarnquillEntryAttributes -Path $candidate)) {
            continue
        }
        $workFolder = Split-Path -Parent -Path $tree
        try {
            if (-not (Test-ElectronPlainPath -Path $candidate -Below $workFolder)) {
                $passedOver += [pscustomobject]@{ Path = $candidate; Reason = 'it is a link or lies behind one' }
                continue
            }
            $stranger = Get-ElectronForeignOwnedEntry -Path $candidate -Below $workFolder
            if ($null -ne $stranger) {
                $passedOver += [pscustomobject]@{ Path = $candidate; Reason = ('another user owns ' + $stranger) }
                continue
            }
            $actual = (Get-FileHash -LiteralPath $candidate -Algorithm SHA256).Hash.ToLowerInvariant()
            if ($actual -cne $script:ElectronSha256) {
                $passedOver += [pscustomobject]@{ Path = $candidate; Reason = 'its SHA-256 is not the pinned one' }
                continue
            }
            [void][IO.Directory]::CreateDirectory((Split-Path -Parent -Path $archive))
            [IO.File]::Move($candidate, $archive)
        } catch {
            $passedOver += [pscustomobject]@{ Path = $candidate
                Reason = ('it could not be read or moved: ' + (Get-TarnquillPlatformException -Exception $_.Exception).Message) }
            continue
        }
        Write-Host 'Reusing the verified Electron runtime from an earlier run.' -ForegroundColor Cyan
        return [pscustomobject]@{ Imported = $true; PassedOver = $passedOver }
    }
    return [pscustomobject]@{ Imported = $false; PassedOver = $passedOver }
}

function Get-ElectronForeignOwnedEntry {
    <#
    .SYNOPSIS
    The first of Path and the folders above it, up to and with Below, that the current user does not own; $null when the user owns them all.
    #>
    [CmdletBinding()]
    param(
        [Parameter(Mandatory = $true)]
        [string]$Path,
        [Parameter(Mandatory = $true)]
        [string]$Below
    )
    $base = ConvertTo-TarnquillFullPath -Path $Below -TrimTrailingSeparators
    $entry = ConvertTo-TarnquillFullPath -Path $Path
    while (Test-TarnquillPathWithin -Path $entry -Folder $base) {
        if (-not (Test-TarnquillOwnedByCurrentUser -Path $entry)) {
            return $entry
        }
        if (Test-TarnquillSamePath -Left $entry.TrimEnd([char[]]@('\', '/')) -Right $base) {
            break
        }
        $entry = Split-Path -Parent -Path $entry
    }
    return $null
}

function Test-ElectronPlainPath {
    <#
    .SYNOPSIS
    True when Path is a file and neither it nor any folder between Below and it is a link.
    .DESCRIPTION
    An archive is taken from an earlier run's tree only where no link leads to it: a file found
    through a link is someone else's, and moving it would reach outside the tree.
    #>
    [CmdletBinding()]
    param(
        [Parameter(Mandatory = $true)]
        [string]$Path,
        [Parameter(Mandatory = $true)]
        [string]$Below
    )
    $attributes = Get-TarnquillEntryAttributes -Path $Path
    if (($null -eq $attributes) -or (($attributes -band ([IO.FileAttributes]::Directory -bor [IO.FileAttributes]::ReparsePoint)) -ne 0)) {
        return $false
    }
    $base = ConvertTo-TarnquillFullPath -Path $Below -TrimTrailingSeparators
    $folder = Split-Path -Parent -Path (ConvertTo-TarnquillFullPath -Path $Path)
    while (Test-TarnquillPathWithin -Path $folder -Folder $base) {
        $attributes = Get-TarnquillEntryAttributes -Path $folder
        if (($null -eq $attributes) -or (Test-TarnquillLink -Path $folder -Attributes $attributes)) {
            return $false
        }
        if (Test-TarnquillSamePath -Left $folder.TrimEnd([char[]]@('\', '/')) -Right $base) {
            break
        }
        $folder = Split-Path -Parent -Path $folder
    }
    return $true
}

function Assert-ElectronUnpackRoom {
    <#
    .SYNOPSIS
    Throws, before anything is unpacked, when a volume lacks the room that the rest of the run needs;
    returns a sentence for each need whose free space could not be read.
    .DESCRIPTION
    The unpacked runtime (UnpackedBytes) goes next to the archive. The image folder takes the
    runtime again and the application files. The install folder takes the image once more exactly
    when putting it in place will copy it, that is when Test-TarnquillSameVolume, which the move
    asks too, finds the two on different volumes. Needs on one volume are added together, with the
    margin; each volume is the one a folder really lives on, and is named as the user knows it. The
    verified archive stays where it is, so the next setup run takes it over instead of downloading it.
    #>
    [CmdletBinding()]
    param(
        [Parameter(Mandatory = $true)]
        [string]$Archive,

        [Parameter(Mandatory = $true)]
        [long]$UnpackedBytes,

        [Parameter(Mandatory = $true)]
        [string]$RuntimeBase,

        [AllowEmptyString()]
        [string]$ImageFolder = '',

        [long]$ApplicationBytes = 0,

        [AllowEmptyString()]
        [string]$InstallFolder = ''
    )
    $image = $UnpackedBytes + $ApplicationBytes
    $needs = @([pscustomobject]@{ Path = $RuntimeBase; Bytes = $UnpackedBytes; What = 'unpacked runtime' })
    if ($ImageFolder) {
        $needs += [pscustomobject]@{ Path = $ImageFolder; Bytes = $image; What = 'application image' }
        if ($InstallFolder -and -not (Test-TarnquillSameVolume -Path $ImageFolder -OtherPath $InstallFolder)) {
            $needs += [pscustomobject]@{ Path = $InstallFolder; Bytes = $image; What = 'installed application' }
        }
    }
    $report = Get-TarnquillSpaceShortfall -Need $needs
    if ($report.Shortfall.Count -eq 0) {
        return $report.Unread
    }
    throw (New-TarnquillDiskSpaceError -Message ('Not enough disk space to unpack the Electron runtime and install TARNQUILL. ' +
            (Format-TarnquillSpaceShortfall -Shortfall $report.Shortfall) + ' Nothing was installed. The verified runtime archive stays in ' +
            (Split-Path -Parent -Path $Archive) + ', so the next setup run will not download it again.'))
}

function Expand-ElectronArchive {
    <#
    .SYNOPSIS
    Unpacks an open archive into a new folder Destination, as Expand-Archive did: every member under
    its own name, folders empty ones included, each file with its member's time as last write time.
    .DESCRIPTION
    Every name is checked before anything is written: a name that is rooted, holds a drive or a
    stream colon, or leads outside Destination once normalised (with either separator) is refused,
    as is a folder entry that carries data or a path the platform cannot take (too long). A file is
    never overwritten, so a name that comes twice is refused when it is reached. The work per
    member is two .NET calls, no script function.
    #>
    [CmdletBinding()]
    param(
        [Parameter(Mandatory = $true)]
        [System.IO.Compression.ZipArchive]$Archive,

        [Parameter(Mandatory = $true)]
        [string]$Destination
    )
    $separator = [string][System.IO.Path]::DirectorySeparatorChar
    $root = (ConvertTo-TarnquillFullPath -Path $Destination -TrimTrailingSeparators) + $separator
    $plan = New-Object -TypeName 'System.Collections.Generic.List[object]'
    $name = ''
    $problem = $null
    try {
        foreach ($entry in $Archive.Entries) {
            $name = $entry.FullName
            $relative = $name.Replace('\', '/')
            if ($relative.Length -eq 0 -or $relative.StartsWith('/') -or $relative.Contains(':')) {
                $problem = 'The name is rooted or holds a colon.'
                break
            }
            $folder = $relative.EndsWith('/')
            $target = [System.IO.Path]::GetFullPath([System.IO.Path]::Combine($root, $relative.Replace('/', $separator)))
            if (-not $target.StartsWith($root, [System.StringComparison]::OrdinalIgnoreCase) -or
                ((-not $folder) -and $target.Length -le $root.Length)) {
                $problem = 'It would land outside that folder.'
                break
            }
            if ($folder -and $entry.Length -ne 0) {
                $problem = 'It is a folder that carries data.'
                break
            }
            $plan.Add(@($entry, $target, $folder))
        }
    } catch {
        $problem = (Get-TarnquillPlatformException -Exception $_.Exception).Message
    }
    if ($null -ne $problem) {
        throw ('The Electron runtime archive holds a member that cannot be unpacked into ' + $Destination + ': "' + $name + '". ' +
            $problem + ' Nothing was unpacked.')
    }
    [void][System.IO.Directory]::CreateDirectory($root)
    foreach ($item in $plan) {
        if ($item[2]) {
            [void][System.IO.Directory]::CreateDirectory($item[1])
        } else {
            [void][System.IO.Directory]::CreateDirectory([System.IO.Path]::GetDirectoryName($item[1]))
            [System.IO.Compression.ZipFileExtensions]::ExtractToFile($item[0], $item[1], $false)
        }
    }
}

function Ensure-ElectronRuntime {
    <#
    .SYNOPSIS
    Returns the runtime folder after making sure it holds electron.exe: downloads the pinned archive
    into .runtime\cache if it is not there, verifies its SHA-256 and unpacks it.
    .DESCRIPTION
    A runtime folder that already holds electron.exe is returned as it is. A cached archive whose hash
    differs from the pin is deleted and the call fails without downloading. Throws on any failure.

    Before unpacking, the room that the rest of the run needs is checked (Assert-ElectronUnpackRoom):
    ImageFolder is where the image is assembled from the runtime and ApplicationBytes of application
    files, InstallFolder where the image goes afterwards; either may be left out. A need whose free
    space could not be read is passed over; the sentence that says so is added to UnreadSpace when
    it is given, and written as a warning when it is not.

    One handle to the archive, which lets others read but neither write nor delete it, serves the
    hash, the space check's look at the central directory and the unpacking: the bytes unpacked are
    the bytes that were hashed.
    #>
    [CmdletBinding()]
    param(
        [string]$ImageFolder = '',
        [long]$ApplicationBytes = 0,
        [string]$InstallFolder = '',
        [System.Collections.Generic.List[string]]$UnreadSpace = $null
    )
    $ErrorActionPreference = 'Stop'
    $root = Get-TarnQuillRoot
    $runtimePath = Get-ElectronRuntimePath
    $executable = Join-Path -Path $runtimePath -ChildPath 'electron.exe'
    if (Test-Path -LiteralPath $executable -PathType Leaf) {
        return $runtimePath
    }

    $runtimeBase = Join-Path -Path $root -ChildPath '.runtime'
    $archive = Get-ElectronArchivePath -SourceRoot $root
    [void][IO.Directory]::CreateDirectory((Split-Path -Parent -Path $archive))
    if (-not (Test-Path -LiteralPath $archive -PathType Leaf)) {
        Download-FileWithFallback -Urls (Get-ElectronDownloadUrls) -Destination $archive
    }

    $extract = Join-Path -Path $runtimeBase -ChildPath ('extract-' + [guid]::NewGuid().ToString('N'))
    $stream = New-Object -TypeName System.IO.FileStream -ArgumentList $archive, ([IO.FileMode]::Open), ([IO.FileAccess]::Read), ([IO.FileShare]::Read), 1048576
    $zip = $null
    try {
        $actual = (Get-FileHash -InputStream $stream -Algorithm SHA256).Hash.ToLowerInvariant()
        if ($actual -cne $script:ElectronSha256) {
            $stream.Dispose()
            Remove-ElectronFileQuietly -Path $archive
            throw ('Electron runtime integrity check failed. Expected ' + $script:ElectronSha256 + ', received ' + $actual + '.')
        }
        Write-Host 'Runtime integrity verified.' -ForegroundColor Green

        $stream.Position = 0
        $unreadable = $null
        try {
            $zip = New-Object -TypeName System.IO.Compression.ZipArchive -ArgumentList $stream, ([System.IO.Compression.ZipArchiveMode]::Read), $true
        } catch {
            # Not a ZIP archive: the unpacking fails below with the platform's own error.
            $unreadable = Get-TarnquillPlatformException -Exception $_.Exception
        }
        if ($null -ne $zip) {
            # The uncompressed sizes of the members, as the central directory gives them.
            [long]$unpacked = 0
            foreach ($entry in $zip.Entries) {
                $unpacked += $entry.Length
            }
            $unread = @(Assert-ElectronUnpackRoom -Archive $archive -UnpackedBytes $unpacked `
                    -RuntimeBase $runtimeBase -ImageFolder $ImageFolder -ApplicationBytes $ApplicationBytes -InstallFolder $InstallFolder)
            foreach ($sentence in $unread) {
                if ($null -ne $UnreadSpace) {
                    $UnreadSpace.Add($sentence)
                } else {
                    Write-Warning $sentence
                }
            }
        }
        try {
            [void][IO.Directory]::CreateDirectory($extract)
            if ($null -ne $unreadable) {
                throw $unreadable
            }
            Expand-ElectronArchive -Archive $zip -Destination $extract
        } catch {
            throw (Resolve-TarnquillDiskFullError -ErrorRecord $_ -Step 'Unpacking the Electron runtime')
        }
    } finally {
        if ($null -ne $zip) {
            $zip.Dispose()
        }
        $stream.Dispose()
    }
    [void][IO.Directory]::CreateDirectory($runtimeBase)
    Remove-TarnquillTree -Path $runtimePath
    Move-TarnquillFolder -Source $extract -Destination $runtimePath
    if (-not (Test-Path -LiteralPath $executable -PathType Leaf)) {
        throw 'Electron runtime extraction did not produce electron.exe.'
    }
    return $runtimePath
}
