Set-StrictMode -Version Latest
# Free disk space, read before the large writes of a setup run, and the disk-full errors of the
# writes themselves. Loaded by dot-sourcing by the runtime library and the installation log; no
# error preference is set here, the callers decide.

. (Join-Path -Path $PSScriptRoot -ChildPath 'file-system.ps1')
. (Join-Path -Path $PSScriptRoot -ChildPath 'native-methods.ps1')

# Kept free on top of every estimate: the estimates leave out what the file system spends on
# clusters and folder entries, and other programs go on writing while a setup runs.
$script:TarnquillSpaceMarginBytes = 64MB

function Read-TarnquillVolume {
    <#
    .SYNOPSIS
    The volume that Path really lives on, with its free bytes; or why it could not be read.
    .DESCRIPTION
    Asks about the nearest existing folder of Path itself, through a handle to that folder: a
    junction (TEMP moved to another drive), a symbolic link, a subst drive or a mount point on the
    way is followed, as every write into the folder will be. Returns Key (the volume serial number
    and the volume's root: equal exactly when two folders share a volume), Volume (the drive or
    mount folder that holds the real target, as the user knows it: D:\ for a junction to D:\Temp),
    FreeBytes (free to this user, within the disk quota) and Failure, which is empty unless
    something could not be read and then says which folder and why. When the volume could not be
    told, Key and Volume are $null too; when only its free space could not be read, FreeBytes is.
    #>
    [CmdletBinding()]
    param(
        [Parameter(Mandatory = $true)]
        [string]$Path
    )
    $folder = [System.IO.Path]::GetFullPath($Path)
    while (-not [System.IO.Directory]::Exists($folder)) {
        $folder = [System.IO.Path]::GetDirectoryName($folder)
        if ([string]::IsNullOrEmpty($folder)) {
            return [pscustomobject]@{ Key = $null; Volume = $null; FreeBytes = $null
                Failure = ('No folder of ' + $Path + ' exists.') }
        }
    }
    try {
        Import-TarnquillNativeMethods
        $facts = [TarnQuill.Setup.DiskSpace]::ReadVolume($folder)
    } catch {
        return [pscustomobject]@{ Key = $null; Volume = $null; FreeBytes = $null
            Failure = ($folder + ': ' + (Get-TarnquillPlatformException -Exception $_.Exception).Message) }
    }
    $key = '{0:X8}|{1}' -f $facts.Serial, $facts.Root.ToUpperInvariant()
    if ($facts.FreeBytes -lt 0) {
        return [pscustomobject]@{ Key = $key; Volume = $facts.Root; FreeBytes = $null; Failure = ($facts.FinalPath + ': ' + $facts.FreeSpaceError) }
    }
    return [pscustomobject]@{ Key = $key; Volume = $facts.Root; FreeBytes = $facts.FreeBytes; Failure = '' }
}

function Get-TarnquillDiskSpace {
    <#
    .SYNOPSIS
    The volume that really holds Path and the bytes free on it for this user; $null when they cannot be read.
    .DESCRIPTION
    Read-TarnquillVolume without the reason of a failure. The callers pass a check over when the
    space cannot be read: a check guards an installation, it does not stop one on its own failure.
    #>
    [CmdletBinding()]
    param(
        [Parameter(Mandatory = $true)]
        [string]$Path
    )
    $space = Read-TarnquillVolume -Path $Path
    if ($space.Failure) {
        return $null
    }
    return $space
}

function Test-TarnquillSameVolume {
    <#
    .SYNOPSIS
    True when two paths really lie on one volume, so that a folder moves from one to the other
    without a copy; false when they do not, or when either volume cannot be read.
    .DESCRIPTION
    The one answer to "the same volume" for the space check and for the move of the image into
    place: the space check counts the installed copy exactly when this is false, and the move then
    copies. A path that does not exist yet is judged by its nearest existing folder.
    #>
    [CmdletBinding()]
    param(
        [Parameter(Mandatory = $true)]
        [string]$Path,

        [Parameter(Mandatory = $true)]
        [string]$OtherPath
    )
    $one = Read-TarnquillVolume -Path $Path
    $other = Read-TarnquillVolume -Path $OtherPath
    return (($null -ne $one.Key) -and ($one.Key -ceq $other.Key))
}

function Get-TarnquillSpaceShortfall {
    <#
    .SYNOPSIS
    Which volumes lack room for the given needs (Shortfall), and which needs could not be measured (Unread).
    .DESCRIPTION
    Each need has Path (where the bytes go), Bytes and What (a few words for the user). Needs that
    share a volume are added together, and the margin is added once a volume. Each shortfall has
    Volume, What, NeededBytes and FreeBytes. A need whose volume cannot be read is passed over and
    listed in Unread as one sentence that names the path and the reason, for the caller's log.
    #>
    [CmdletBinding()]
    param(
        [Parameter(Mandatory = $true)]
        [object[]]$Need
    )
    $volumes = [ordered]@{}
    $unread = @()
    foreach ($item in $Need) {
        $space = Read-TarnquillVolume -Path $item.Path
        if ($space.Failure) {
            $unread += ('The free space for the ' + $item.What + ' could not be read, so its space check was passed over: ' + $space.Failure)
            continue
        }
        if (-not $volumes.Contains($space.Key)) {
            $volumes[$space.Key] = [pscustomobject]@{
                Volume = $space.Volume; What = @(); NeededBytes = [long]$script:TarnquillSpaceMarginBytes; FreeBytes = $space.FreeBytes
            }
        }
        $volumes[$space.Key].NeededBytes += [long]$item.Bytes
        if ($volumes[$space.Key].What -notcontains $item.What) {
            $volumes[$space.Key].What += $item.What
        }
    }
    $short = @($volumes.Values | Where-Object -FilterScript { $_.NeededBytes -gt $_.FreeBytes })
    return [pscustomobject]@{ Shortfall = $short; Unread = $unread }
}

function Format-TarnquillSpaceShortfall {
    <#
    .SYNOPSIS
    One sentence a short volume: "C:\ (what goes there): 180 MB needed, 95 MB free."
    .DESCRIPTION
    The need is rounded up and the free space down, so the two never show as equal.
    #>
    [CmdletBinding()]
    param(
        [Parameter(Mandatory = $true)]
        [object[]]$Shortfall
    )
    $sentences = foreach ($volume in $Shortfall) {
        $needed = [System.Math]::Ceiling($volume.NeededBytes / 1MB)
        $free = [System.Math]::Floor($volume.FreeBytes / 1MB)
        '{0} ({1}): {2} MB needed, {3} MB free.' -f $volume.Volume, ($volume.What -join ', '), $needed, $free
    }
    return ($sentences -join ' ')
}

function New-TarnquillDiskSpaceError {
    <#
    .SYNOPSIS
    The error of a space check that failed: an IOException of the disk-full kind, already worded for the user.
    #>
    [CmdletBinding()]
    param(
        [Parameter(Mandatory = $true)]
        [string]$Message
    )
    # ERROR_DISK_FULL in an HRESULT (0x80070070): the download treats it as final, like a disk that filled up.
    $exception = New-Object -TypeName System.IO.IOException -ArgumentList $Message, -2147024784
    $exception.Data['TarnquillStep'] = 'space check'
    return $exception
}

function Get-TarnquillDiskFullCode {
    <#
    .SYNOPSIS
    The Windows error 112 or 39 (disk full) that this one exception carries, or 0.
    .DESCRIPTION
    Each step fails in its own way: a .NET file write throws an IOException whose HRESULT holds
    the Win32 code, the C# helpers throw a Win32Exception whose NativeErrorCode holds it (its
    HRESULT is E_FAIL), and other types may carry such an HRESULT too. Any type counts.
    #>
    [CmdletBinding()]
    param(
        [Parameter(Mandatory = $true)]
        [System.Exception]$Exception
    )
    $codes = @(112, 39)
    if ($Exception -is [System.ComponentModel.Win32Exception] -and $codes -contains $Exception.NativeErrorCode) {
        return $Exception.NativeErrorCode
    }
    # FACILITY_WIN32 (7) with the failure bit: 0x8007xxxx.
    $result = $Exception.HResult
    if ((($result -shr 16) -band 0xFFFF) -eq 0x8007 -and $codes -contains ($result -band 0xFFFF)) {
        return ($result -band 0xFFFF)
    }
    return 0
}

function Test-TarnquillDiskFull {
    <#
    .SYNOPSIS
    True when an exception, or one inside it, is a write refused because the disk is full (Windows errors 112 and 39).
    #>
    [CmdletBinding()]
    param(
        [Parameter(Mandatory = $true)]
        [System.Exception]$Exception
    )
    for ($inner = $Exception; $null -ne $inner; $inner = $inner.InnerException) {
        if ((Get-TarnquillDiskFullCode -Exception $inner) -ne 0) {
            return $true
        }
    }
    return $false
}

function Resolve-TarnquillDiskFullError {
    <#
    .SYNOPSIS
    What to throw for a failed step: for a full disk an IOException that names the step, else the error as it is.
    .DESCRIPTION
    The platform's text for a full disk says neither what was being written nor that the run
    stopped there. An error that already names its step is returned unchanged.
    #>
    [CmdletBinding()]
    param(
        [Parameter(Mandatory = $true)]
        [System.Management.Automation.ErrorRecord]$ErrorRecord,

        [Parameter(Mandatory = $true)]
        [string]$Step
    )
    $full = $null
    for ($inner = $ErrorRecord.Exception; $null -ne $inner; $inner = $inner.InnerException) {
        if ($inner.Data.Contains('TarnquillStep')) {
            return $ErrorRecord
        }
        if ($null -eq $full -and (Test-TarnquillDiskFull -Exception $inner)) {
            $full = $inner
        }
    }
    if ($null -eq $full) {
        return $ErrorRecord
    }
    while ((Get-TarnquillDiskFullCode -Exception $full) -eq 0) {
        $full = $full.InnerException
    }
    # The HRESULT of the Win32 code, whatever type carried it, so the named error is known as disk full too.
    $result = [int](0x80070000 -bor (Get-TarnquillDiskFullCode -Exception $full))
    $exception = New-Object -TypeName System.IO.IOException -ArgumentList ($Step + ' stopped: the disk is full. ' + $full.Message.Trim()), $result
    $exception.Data['TarnquillStep'] = $Step
    return $exception
}
