Set-StrictMode -Version Latest

# The exit codes of a setup run and of the uninstaller, which deployment tools and the Windows
# package manager read. A failure gets its code where it is raised (New-TarnquillCodedError puts
# it in the exception's Data); Get-TarnquillExitCode reads it back from the error that ended the
# run. Loaded by dot-sourcing by the install procedure, the uninstaller, the setup lock, the
# installation log and the runtime download; it touches nothing.

. (Join-Path -Path $PSScriptRoot -ChildPath 'file-system.ps1')

function Get-TarnquillOutcomeCode {
    <#
    .SYNOPSIS
    The exit code of an outcome: the Windows or Windows Installer number that already means it.
    .DESCRIPTION
    A function rather than a table variable: the callers run in the scopes of several scripts
    (package-portable.ps1 raises the download's failure in its own), and a function is found from
    each of them.
    #>
    [CmdletBinding()]
    param(
        [Parameter(Mandatory = $true)]
        [ValidateSet('Success', 'InvalidParameter', 'DiskFull', 'NetworkUnreachable', 'Cancelled', 'Failure',
            'AlreadyRunning', 'BlockedByPolicy', 'ApplicationInUse')]
        [string]$Outcome
    )
    switch ($Outcome) {
        'Success' { return 0 }
        'InvalidParameter' { return 87 }     # ERROR_INVALID_PARAMETER: an argument or log path that cannot be used
        'DiskFull' { return 112 }            # ERROR_DISK_FULL
        'NetworkUnreachable' { return 1231 } # ERROR_NETWORK_UNREACHABLE: no download source delivered
        'Cancelled' { return 1602 }          # ERROR_INSTALL_USEREXIT: a No
        'AlreadyRunning' { return 1618 }     # ERROR_INSTALL_ALREADY_RUNNING: the setup lock is held
        'BlockedByPolicy' { return 1625 }    # ERROR_INSTALL_PACKAGE_REJECTED: LocalSystem, Constrained Language Mode
        'ApplicationInUse' { return 15618 }  # ERROR_PACKAGES_IN_USE: TARNQUILL is running
    }
    return 1603                              # ERROR_INSTALL_FAILURE: everything else
}

function New-TarnquillCodedError {
    <#
    .SYNOPSIS
    An exception with the user's message that carries the exit code of its outcome (see Get-TarnquillOutcomeCode).
    #>
    [CmdletBinding()]
    param(
        [Parameter(Mandatory = $true)]
        [string]$Message,

        [Parameter(Mandatory = $true)]
        [string]$Outcome
    )
    $exception = New-Object -TypeName System.Exception -ArgumentList $Message
    $exception.Data['TarnquillExitCode'] = Get-TarnquillOutcomeCode -Outcome $Outcome
    return $exception
}

function Get-TarnquillExitCode {
    <#
    .SYNOPSIS
    The exit code for the error that ended a run: the code its exception, or one inside it, carries; 112 for a full disk; else 1603.
    .DESCRIPTION
    Takes the exception of the error record (or the exception that replaced it). PowerShell wraps
    an error raised in a child script or a called method, so the whole chain of inner exceptions
    is read. A write refused for want of room (Windows errors 112 and 39) counts as a full disk
    wherever it was raised.
    #>
    [CmdletBinding()]
    param(
        [Parameter(Mandatory = $true)]
        [System.Exception]$Exception
    )
    for ($inner = $Exception; $null -ne $inner; $inner = $inner.InnerException) {
        if ($inner.Data.Contains('TarnquillExitCode')) {
            return [int]$inner.Data['TarnquillExitCode']
        }
    }
    for ($inner = $Exception; $null -ne $inner; $inner = $inner.InnerException) {
        if (@(112, 39) -contains (Get-TarnquillWin32Error -Exception $inner)) {
            return (Get-TarnquillOutcomeCode -Outcome DiskFull)
        }
    }
    return (Get-TarnquillOutcomeCode -Outcome Failure)
}
