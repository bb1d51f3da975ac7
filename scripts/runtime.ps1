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
# before the unpacking and errors that say which step a full disk stopped, and the download.
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
    cache, so that it is not downloaded again. Returns $true when an archive was taken.
    .DESCRIPTION
    Each setup run unpacks its own source tree, so a run after a failed or cut-off one would
    otherwise download the runtime again. SourceTree names the trees of earlier runs, whose caches
    are looked at in the given order; the first archive whose SHA-256 equals the pin is moved, and
    an archive with any other hash is never used. Nothing is done when this tree already has a
    cached archive or a complete runtime. Ensure-ElectronRuntime checks the pin again before use,
    as for any cached archive. A candidate that cannot be read or moved is passed over.
    #>
    [CmdletBinding()]
    param(
        [Parameter(Mandatory = $true)]
        [AllowEmptyCollection()]
        [string[]]$SourceTree
    )
    $archive = Get-ElectronArchivePath
    if ((Test-Path -LiteralPath $archive -PathType Leaf) -or
        (Test-Path -LiteralPath (Join-Path -Path (Get-ElectronRuntimePath) -ChildPath 'electron.exe') -PathType Leaf)) {
        return $false
    }
    foreach ($tree in $SourceTree) {
        $candidate = Get-ElectronArchivePath -SourceRoot $tree
        try {
            if (-not (Test-ElectronPlainPath -Path $candidate -Below (Split-Path -Parent -Path $tree))) {
                continue
            }
            $actual = (Get-FileHash -LiteralPath $candidate -Algorithm SHA256).Hash.ToLowerInvariant()
            if ($actual -cne $script:ElectronSha256) {
                continue
            }
            [void][IO.Directory]::CreateDirectory((Split-Path -Parent -Path $archive))
            [IO.File]::Move($candidate, $archive)
        } catch {
            continue
        }
        Write-Host 'Reusing the verified Electron runtime from an earlier run.' -ForegroundColor Cyan
        return $true
    }
    return $false
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

function Get-ElectronArchiveUnpackedSize {
    <#
    .SYNOPSIS
    The sum of the uncompressed sizes of an archive's members, read from its central directory alone;
    -1 when that cannot be read, so that the unpacking fails with its own error.
    #>
    [CmdletBinding()]
    param(
        [Parameter(Mandatory = $true)]
        [string]$Path
    )
    Add-Type -AssemblyName System.IO.Compression.FileSystem
    try {
        $zip = [System.IO.Compression.ZipFile]::OpenRead($Path)
    } catch {
        return [long]-1
    }
    try {
        [long]$total = 0
        foreach ($entry in $zip.Entries) {
            $total += $entry.Length
        }
        return $total
    } finally {
        $zip.Dispose()
    }
}

function Assert-ElectronUnpackRoom {
    <#
    .SYNOPSIS
    Throws, before anything is unpacked, when a volume lacks the room that the rest of the run needs.
    .DESCRIPTION
    The unpacked runtime goes next to the archive. The image folder takes the runtime again and the
    application files. The install folder takes the image once more when it lies on another volume
    than the image folder, where putting it in place copies it; on the same volume it is moved.
    Needs on one volume are added together, with the margin. The verified archive stays where it
    is, so the next setup run takes it over instead of downloading it.
    #>
    [CmdletBinding()]
    param(
        [Parameter(Mandatory = $true)]
        [string]$Archive,

        [Parameter(Mandatory = $true)]
        [string]$RuntimeBase,

        [AllowEmptyString()]
        [string]$ImageFolder = '',

        [long]$ApplicationBytes = 0,

        [AllowEmptyString()]
        [string]$InstallFolder = ''
    )
    $unpacked = Get-ElectronArchiveUnpackedSize -Path $Archive
    if ($unpacked -lt 0) {
        return
    }
    $image = $unpacked + $ApplicationBytes
    $needs = @([pscustomobject]@{ Path = $RuntimeBase; Bytes = $unpacked; What = 'unpacked runtime' })
    if ($ImageFolder) {
        $needs += [pscustomobject]@{ Path = $ImageFolder; Bytes = $image; What = 'application image' }
        if ($InstallFolder) {
            $imageSpace = Get-TarnquillDiskSpace -Path $ImageFolder
            $installSpace = Get-TarnquillDiskSpace -Path $InstallFolder
            if ($null -ne $imageSpace -and $null -ne $installSpace -and
                -not (Test-TarnquillSamePath -Left $imageSpace.Volume -Right $installSpace.Volume)) {
                $needs += [pscustomobject]@{ Path = $InstallFolder; Bytes = $image; What = 'installed application' }
            }
        }
    }
    $shortfall = @(Get-TarnquillSpaceShortfall -Need $needs)
    if ($shortfall.Count -eq 0) {
        return
    }
    throw (New-TarnquillDiskSpaceError -Message ('Not enough disk space to unpack the Electron runtime and install TARNQUILL. ' +
            (Format-TarnquillSpaceShortfall -Shortfall $shortfall) + ' Nothing was installed. The verified runtime archive stays in ' +
            (Split-Path -Parent -Path $Archive) + ', so the next setup run will not download it again.'))
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
    files, InstallFolder where the image goes afterwards; either may be left out.
    #>
    [CmdletBinding()]
    param(
        [string]$ImageFolder = '',
        [long]$ApplicationBytes = 0,
        [string]$InstallFolder = ''
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

    $actual = (Get-FileHash -LiteralPath $archive -Algorithm SHA256).Hash.ToLowerInvariant()
    if ($actual -cne $script:ElectronSha256) {
        Remove-ElectronFileQuietly -Path $archive
        throw ('Electron runtime integrity check failed. Expected ' + $script:ElectronSha256 + ', received ' + $actual + '.')
    }
    Write-Host 'Runtime integrity verified.' -ForegroundColor Green

    Assert-ElectronUnpackRoom -Archive $archive -RuntimeBase $runtimeBase -ImageFolder $ImageFolder `
        -ApplicationBytes $ApplicationBytes -InstallFolder $InstallFolder

    $extract = Join-Path -Path $runtimeBase -ChildPath ('extract-' + [guid]::NewGuid().ToString('N'))
    # Expand-Archive creates the new folder itself: given one that already exists under a path with
    # brackets, it tests the path as a wildcard pattern, misses it and fails to create it again.
    try {
        Expand-Archive -LiteralPath $archive -DestinationPath $extract -Force
    } catch {
        throw (Resolve-TarnquillDiskFullError -ErrorRecord $_ -Step 'Unpacking the Electron runtime')
    }
    [void][IO.Directory]::CreateDirectory($runtimeBase)
    Remove-TarnquillTree -Path $runtimePath
    Move-TarnquillFolder -Source $extract -Destination $runtimePath
    if (-not (Test-Path -LiteralPath $executable -PathType Leaf)) {
        throw 'Electron runtime extraction did not produce electron.exe.'
    }
    return $runtimePath
}
