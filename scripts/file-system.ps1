Set-StrictMode -Version Latest

# Paths and entries of the file system, and the platform's own errors: full paths, comparison and
# containment without regard to case, the attributes of an entry itself (a link is never followed),
# and the exception and Win32 code behind PowerShell's wrapper. Loaded by dot-sourcing by every
# library that works on paths; it loads nothing and touches nothing.

function ConvertTo-TarnquillFullPath {
    <#
    .SYNOPSIS
    Makes a path absolute with the platform's normalisation; optionally cuts every trailing separator.
    .DESCRIPTION
    A root keeps its separator: "R:" without it names the current folder on drive R (a TEMP of
    R:\ on a RAM disk), not the drive's root.
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
        $root = [System.IO.Path]::GetPathRoot($full)
        $trimmed = $full.TrimEnd($separators)
        if ($trimmed.Length -lt $root.Length) {
            $trimmed = $root
        }
        $full = $trimmed
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

function Test-TarnquillOwnedByCurrentUser {
    <#
    .SYNOPSIS
    True when the owner of the entry at Path is the current user (or the owner that this user's
    token gives new files, such as Administrators in an elevated run). Windows only.
    .DESCRIPTION
    A file that another account owns may be rewritten by that account at any time, whatever its
    access list says now: its owner can always change that list.
    #>
    [CmdletBinding()]
    param(
        [Parameter(Mandatory = $true)]
        [string]$Path
    )
    $owner = (Get-Acl -LiteralPath $Path).GetOwner([System.Security.Principal.SecurityIdentifier])
    $identity = [System.Security.Principal.WindowsIdentity]::GetCurrent()
    try {
        return ($owner -eq $identity.User -or $owner -eq $identity.Owner)
    } finally {
        $identity.Dispose()
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
