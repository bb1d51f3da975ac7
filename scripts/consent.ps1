Set-StrictMode -Version Latest

# The questions the installer and the uninstaller ask, and the one reading of an answer they share.
# Loaded by dot-sourcing by both; it reads the console and nothing else.

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
