Set-StrictMode -Version Latest

# Folder moves and other file actions that outlast a virus scanner's or indexer's hold: an action
# that fails with access denied, a sharing or a lock violation is tried again a few times. Loaded by
# dot-sourcing by the install procedure and the runtime library; it changes only the paths it is
# given.

. (Join-Path -Path $PSScriptRoot -ChildPath 'file-system.ps1')

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
