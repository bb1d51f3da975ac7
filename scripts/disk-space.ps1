Set-StrictMode -Version Latest
# Free disk space, read before the large writes of a setup run, and the disk-full errors of the
# writes themselves. Loaded by dot-sourcing by the runtime library and the installation log; no
# error preference is set here, the callers decide.

. (Join-Path -Path $PSScriptRoot -ChildPath 'file-system.ps1')
. (Join-Path -Path $PSScriptRoot -ChildPath 'native-methods.ps1')

# Kept free on top of every estimate: the estimates leave out what the file system spends on
# clusters and folder entries, and other programs go on writing while a setup runs.
$script:TarnquillSpaceMarginBytes = 64MB

function Get-TarnquillDiskSpace {
    <#
    .SYNOPSIS
    The volume that holds Path and the bytes free on it for this user; $null when they cannot be read.
    .DESCRIPTION
    Asks about the nearest existing folder of Path itself, never its drive's root: that folder may
    be a mount point of another volume, and GetDiskFreeSpaceEx follows it and honours the user's
    disk quota. Volume is the volume's root as GetVolumePathName gives it (C:\, or the folder of a
    mount point). The callers pass a check over when the space cannot be read: a check guards an
    installation, it does not stop one on its own failure.
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
            return $null
        }
    }
    # A share's name must end with a separator; any other folder may.
    if (-not $folder.EndsWith([string][System.IO.Path]::DirectorySeparatorChar)) {
        $folder += [System.IO.Path]::DirectorySeparatorChar
    }
    try {
        Import-TarnquillNativeMethods
        $free = [TarnQuill.Setup.DiskSpace]::GetFreeBytes($folder)
        $volume = [TarnQuill.Setup.DiskSpace]::GetVolume($folder)
    } catch {
        return $null
    }
    if ($free -lt 0 -or [string]::IsNullOrEmpty($volume)) {
        return $null
    }
    return [pscustomobject]@{ Volume = $volume; FreeBytes = $free }
}

function Get-TarnquillSpaceShortfall {
    <#
    .SYNOPSIS
    Returns each volume that lacks room for the given needs: Volume, What, NeededBytes, FreeBytes.
    .DESCRIPTION
    Each need has Path (where the bytes go), Bytes and What (a few words for the user). Needs that
    share a volume are added together, and the margin is added once a volume. A need whose volume
    cannot be read is passed over.
    #>
    [CmdletBinding()]
    param(
        [Parameter(Mandatory = $true)]
        [object[]]$Need
    )
    $volumes = [ordered]@{}
    foreach ($item in $Need) {
        $space = Get-TarnquillDiskSpace -Path $item.Path
        if ($null -eq $space) {
            continue
        }
        $key = $space.Volume.ToUpperInvariant()
        if (-not $volumes.Contains($key)) {
            $volumes[$key] = [pscustomobject]@{
                Volume = $space.Volume; What = @(); NeededBytes = [long]$script:TarnquillSpaceMarginBytes; FreeBytes = $space.FreeBytes
            }
        }
        $volumes[$key].NeededBytes += [long]$item.Bytes
        if ($volumes[$key].What -notcontains $item.What) {
            $volumes[$key].What += $item.What
        }
    }
    foreach ($volume in $volumes.Values) {
        if ($volume.NeededBytes -gt $volume.FreeBytes) {
            $volume
        }
    }
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
