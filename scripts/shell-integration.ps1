Set-StrictMode -Version Latest

# What an installation shows in Windows: the user's special folders, shortcuts (.lnk), the
# current-user uninstall entry and the shell's icon refresh. Loaded by dot-sourcing by the install
# procedure, which writes them, and by the uninstaller, which finds the shortcuts through the same
# folders. It writes only the links and registry values its callers name.

. (Join-Path -Path $PSScriptRoot -ChildPath 'file-system.ps1')
. (Join-Path -Path $PSScriptRoot -ChildPath 'native-methods.ps1')

function Get-TarnquillSpecialFolder {
    <#
    .SYNOPSIS
    Returns a special folder of the current user as the platform reports it (Desktop, Programs).
    #>
    [CmdletBinding()]
    param(
        [Parameter(Mandatory = $true)]
        [ValidateSet('Desktop', 'Programs')]
        [string]$Name
    )
    return [System.Environment]::GetFolderPath([System.Environment+SpecialFolder]$Name)
}

function Save-TarnquillShellLink {
    <#
    .SYNOPSIS
    Writes a shell link (.lnk) through the shell's Unicode link interface; an existing link is overwritten.
    .DESCRIPTION
    IconLocation is the icon file, a comma and the icon index. Arguments and Description are set only
    when given. WScript.Shell is not used: it goes through the ANSI code page, so it cannot save a link
    under a profile folder with other letters (a Cyrillic user name on an English Windows) and turns
    such letters in the target into question marks.
    #>
    [CmdletBinding()]
    param(
        [Parameter(Mandatory = $true)]
        [string]$Path,

        [Parameter(Mandatory = $true)]
        [string]$Target,

        [Parameter(Mandatory = $true)]
        [string]$WorkingDirectory,

        [Parameter(Mandatory = $true)]
        [string]$IconLocation,

        [string]$Arguments = '',

        [string]$Description = ''
    )
    Import-TarnquillNativeMethods
    $iconPath = $IconLocation
    $iconIndex = 0
    $comma = $IconLocation.LastIndexOf(',')
    if ($comma -ge 0) {
        $iconPath = $IconLocation.Substring(0, $comma)
        $iconIndex = [int]::Parse($IconLocation.Substring($comma + 1), [System.Globalization.CultureInfo]::InvariantCulture)
    }
    try {
        [TarnQuill.Setup.ShellLinkWriter]::Save($Path, $Target, $Arguments, $WorkingDirectory, $iconPath, $iconIndex, $Description)
    } catch [System.Management.Automation.MethodInvocationException] {
        throw (Get-TarnquillPlatformException -Exception $_.Exception)
    }
}

function New-TarnquillShortcut {
    <#
    .SYNOPSIS
    Writes a shortcut to the application: target, working folder, description, and the icon at index 0.
    #>
    [CmdletBinding()]
    param(
        [Parameter(Mandatory = $true)]
        [string]$Path,

        [Parameter(Mandatory = $true)]
        [string]$Target,

        [Parameter(Mandatory = $true)]
        [string]$WorkingDirectory,

        [Parameter(Mandatory = $true)]
        [string]$IconPath,

        [Parameter(Mandatory = $true)]
        [string]$Description
    )
    Save-TarnquillShellLink -Path $Path -Target $Target -WorkingDirectory $WorkingDirectory `
        -IconLocation ($IconPath + ',0') -Description $Description
}

function Remove-TarnquillStaleShortcut {
    <#
    .SYNOPSIS
    Deletes a shortcut file if present; every error is ignored, and a folder of that name is left alone.
    #>
    [CmdletBinding()]
    param(
        [Parameter(Mandatory = $true)]
        [string]$Path
    )
    try {
        $item = Get-Item -LiteralPath $Path -Force -ErrorAction SilentlyContinue
        if ($null -ne $item -and -not $item.PSIsContainer) {
            Remove-Item -LiteralPath $Path -Force -ErrorAction SilentlyContinue
        }
    } catch {
        $null = $_
    }
}

function Reset-TarnquillRegistryKey {
    <#
    .SYNOPSIS
    Creates a registry key afresh: an existing key of that name is deleted with all it holds first.
    #>
    [CmdletBinding()]
    param(
        [Parameter(Mandatory = $true)]
        [string]$Path
    )
    if (Test-Path -LiteralPath $Path) {
        Remove-Item -LiteralPath $Path -Recurse -Force
    }
    $null = New-Item -Path $Path -Force
}

function Set-TarnquillRegistryValue {
    <#
    .SYNOPSIS
    Writes one registry value of type String (REG_SZ) or DWord (REG_DWORD).
    #>
    [CmdletBinding()]
    param(
        [Parameter(Mandatory = $true)]
        [string]$Path,

        [Parameter(Mandatory = $true)]
        [string]$Name,

        [Parameter(Mandatory = $true)]
        [ValidateSet('String', 'DWord')]
        [string]$Type,

        [Parameter(Mandatory = $true)]
        [object]$Value
    )
    $null = New-ItemProperty -LiteralPath $Path -Name $Name -PropertyType $Type -Value $Value -Force
}

function Get-TarnquillEstimatedSize {
    <#
    .SYNOPSIS
    Total length of the files under a folder in KiB, rounded up; hidden items and unreadable folders are left out.
    #>
    [CmdletBinding()]
    param(
        [Parameter(Mandatory = $true)]
        [string]$Path
    )
    [long]$total = 0
    foreach ($file in @(Get-ChildItem -LiteralPath $Path -Recurse -File -ErrorAction SilentlyContinue)) {
        $total += $file.Length
    }
    return [int][System.Math]::Ceiling($total / 1024.0)
}

function Send-TarnquillShellChange {
    <#
    .SYNOPSIS
    Tells the shell that file associations and icons changed (SHChangeNotify, SHCNE_ASSOCCHANGED).
    .DESCRIPTION
    A failed compile of the scripts' C# is passed over here (the type is then missing, which is
    thrown as an error of its own); a failed call is thrown.
    #>
    [CmdletBinding()]
    param()
    try {
        Import-TarnquillNativeMethods
    } catch {
        $null = $_
    }
    $type = 'TarnquillShellRefresh' -as [type]
    if ($null -eq $type) {
        throw 'The shell refresh type could not be declared.'
    }
    # SHCNE_ASSOCCHANGED with SHCNF_IDLIST and no items.
    $type::SHChangeNotify([uint32]0x08000000, [uint32]0x0000, [System.IntPtr]::Zero, [System.IntPtr]::Zero)
}

function Invoke-TarnquillIconCacheTool {
    <#
    .SYNOPSIS
    Runs ie4uinit.exe with one argument in a hidden window and waits for it to end.
    #>
    [CmdletBinding()]
    param(
        [Parameter(Mandatory = $true)]
        [string]$Path,

        [Parameter(Mandatory = $true)]
        [string]$Argument
    )
    $null = Start-Process -FilePath $Path -ArgumentList $Argument -WindowStyle Hidden -Wait
}

function Update-TarnquillShell {
    <#
    .SYNOPSIS
    Refreshes the shell and its icon cache. Never fails: a failure ends the refresh silently.
    #>
    [CmdletBinding()]
    param()
    try {
        Send-TarnquillShellChange
        $tool = [System.IO.Path]::Combine($env:SystemRoot, 'System32', 'ie4uinit.exe')
        if (Test-Path -LiteralPath $tool -PathType Leaf) {
            foreach ($argument in @('-ClearIconCache', '-show')) {
                try {
                    Invoke-TarnquillIconCacheTool -Path $tool -Argument $argument
                } catch {
                    $null = $_
                }
            }
        }
    } catch {
        $null = $_
    }
}
