Set-StrictMode -Version Latest

# The console of a setup run, copied into the log copy that a deployment asks for (-LogPath of the
# install procedure). Must be loaded by dot-sourcing into the install procedure's own scope: it
# defines functions named like the cmdlets Write-Host and Write-Warning there.
#
# Why stand-ins rather than one writer function that every library calls: a function named like a
# cmdlet comes before it for every command called from the scope that holds it, so these catch
# every message of the run, the failure report included, from the libraries loaded into that scope
# and from package-portable.ps1 and the libraries it loads, which run in child scopes; no library
# has to know about the copy, and an installation without a copy runs the same code. Windows
# PowerShell 5.1 resolves commands the same way. They call the cmdlets by their module-qualified
# names, so the console, its colours and the information and warning streams stay as they were.
# Progress bars are no messages and are not copied. Also the lines of the consent screen, which an
# unattended run logs as well. Touches only the log copy and installer.log.

. (Join-Path -Path $PSScriptRoot -ChildPath 'installer-log.ps1')

function Write-Host {
    <#
    .SYNOPSIS
    Writes to the console as the Write-Host cmdlet does, and appends the text to the run's log copy.
    #>
    [CmdletBinding()]
    param(
        [Parameter(Position = 0, ValueFromPipeline = $true, ValueFromRemainingArguments = $true)]
        [object]$Object,

        [switch]$NoNewline,

        [object]$Separator = ' ',

        [System.ConsoleColor]$ForegroundColor,

        [System.ConsoleColor]$BackgroundColor
    )
    Microsoft.PowerShell.Utility\Write-Host @PSBoundParameters
    Add-TarnquillLogCopyLine -Text ((@($Object) | ForEach-Object -Process { [string]$_ }) -join [string]$Separator)
}

function Write-Warning {
    <#
    .SYNOPSIS
    Writes a warning as the Write-Warning cmdlet does, and appends it to the run's log copy.
    #>
    [CmdletBinding()]
    param(
        [Parameter(Mandatory = $true, Position = 0, ValueFromPipeline = $true)]
        [AllowEmptyString()]
        [string]$Message
    )
    Microsoft.PowerShell.Utility\Write-Warning -Message $Message
    Add-TarnquillLogCopyLine -Text ('WARNING: ' + $Message)
}

function Write-TarnquillConsentLine {
    <#
    .SYNOPSIS
    Shows one line of the consent screen; with LogFile it is also logged, so an unattended run keeps it in installer.log.
    #>
    [CmdletBinding()]
    param(
        [Parameter(Mandatory = $true)]
        [string]$Text,

        [AllowEmptyString()]
        [string]$LogFile = '',

        [System.ConsoleColor]$ForegroundColor = [System.ConsoleColor]::Gray
    )
    $colour = @{}
    if ($PSBoundParameters.ContainsKey('ForegroundColor')) {
        $colour['ForegroundColor'] = $ForegroundColor
    }
    if ([string]::IsNullOrEmpty($LogFile)) {
        Write-Host $Text @colour
        return
    }
    # The log entry carries the line into the copy, so the console alone gets it here.
    Microsoft.PowerShell.Utility\Write-Host $Text @colour
    Add-TarnquillLogEntry -Path $LogFile -Text $Text
}
