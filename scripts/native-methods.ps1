Set-StrictMode -Version Latest

# The C# that the setup scripts call (the files in the native folder beside this one: reparse tags,
# free disk space, a process's executable path, shell links, the shell refresh and the icon resource
# writer), compiled into the process by one Add-Type. On Windows PowerShell 5.1 every Add-Type of
# source writes temporary files and starts csc.exe, and a virus scanner then reads the new assembly,
# so a run compiles once: the install procedure starts the compile in a background runspace while
# the user reads the consent screen, and everything else compiles on first use. The types belong to
# the process, so a compile finished in one runspace serves every other. Loaded by dot-sourcing by
# the libraries that call the types; it writes nothing but the compiler's temporary files.

. (Join-Path -Path $PSScriptRoot -ChildPath 'file-system.ps1')

# A type of every compile: when it is there, the whole assembly is.
$script:TarnquillNativeMarkerType = 'TarnQuill.Safety.ReparseTagReader'

function Get-TarnquillNativeSourcePath {
    <#
    .SYNOPSIS
    The full paths of the C# source files that make up the scripts' one compile, in name order.
    #>
    [CmdletBinding()]
    param()
    $folder = Join-Path -Path $PSScriptRoot -ChildPath 'native'
    $files = @([System.IO.Directory]::GetFiles($folder, '*.cs'))
    [System.Array]::Sort($files, [System.StringComparer]::Ordinal)
    return $files
}

function Test-TarnquillNativeMethods {
    <#
    .SYNOPSIS
    True when the scripts' C# types are already compiled into this process.
    #>
    [CmdletBinding()]
    param()
    return ($null -ne ($script:TarnquillNativeMarkerType -as [type]))
}

function Import-TarnquillNativeMethods {
    <#
    .SYNOPSIS
    Compiles the scripts' C# into this process unless it is there already; throws when the compile fails.
    #>
    [CmdletBinding()]
    param()
    if (Test-TarnquillNativeMethods) {
        return
    }
    # A compile started in the background (the install procedure's, while the consent screen is
    # read) is waited for rather than started a second time.
    $started = Get-Variable -Name TarnquillNativeImport -Scope Script -ValueOnly -ErrorAction SilentlyContinue
    if ($null -eq $started) {
        $started = Start-TarnquillNativeMethodsImport
    }
    Complete-TarnquillNativeMethodsImport -Import $started
}

function Start-TarnquillNativeMethodsImport {
    <#
    .SYNOPSIS
    Starts the one compile of the scripts' C# in a runspace of its own and returns at once; $null when the types are there.
    .DESCRIPTION
    The result goes to Complete-TarnquillNativeMethodsImport, which waits for it, or to
    Stop-TarnquillNativeMethodsImport when the run ends without needing the types.
    #>
    [CmdletBinding()]
    param()
    if (Test-TarnquillNativeMethods) {
        return $null
    }
    $compile = {
        param([string[]]$Paths)
        # Warnings (a stale LIB folder gives CS1668) would fail the compile on 5.1.
        Add-Type -LiteralPath $Paths -IgnoreWarnings
    }
    $shell = [System.Management.Automation.PowerShell]::Create()
    $null = $shell.AddScript($compile.ToString()).AddArgument([string[]](Get-TarnquillNativeSourcePath))
    $script:TarnquillNativeImport = [pscustomobject]@{ Shell = $shell; Pending = $shell.BeginInvoke(); Done = $false; Failure = $null }
    return $script:TarnquillNativeImport
}

function Complete-TarnquillNativeMethodsImport {
    <#
    .SYNOPSIS
    Waits for a compile that Start-TarnquillNativeMethodsImport started; throws with the compiler's first error when it failed.
    #>
    [CmdletBinding()]
    param(
        [Parameter(Mandatory = $true)]
        [AllowNull()]
        [object]$Import
    )
    if ($null -eq $Import) {
        return
    }
    # Waited for once; a second caller gets the same outcome.
    if ($Import.Done) {
        if ($null -ne $Import.Failure) {
            throw $Import.Failure
        }
        return
    }
    $Import.Done = $true
    $reason = $null
    try {
        $null = $Import.Shell.EndInvoke($Import.Pending)
    } catch {
        $reason = (Get-TarnquillPlatformException -Exception $_.Exception).Message
    }
    foreach ($record in @($Import.Shell.Streams.Error)) {
        # The compiler's own lines name the file, the line and what is wrong.
        $reason = $record.Exception.Message
        break
    }
    $Import.Shell.Dispose()
    if (-not (Test-TarnquillNativeMethods)) {
        if ([string]::IsNullOrEmpty($reason)) {
            $reason = 'the compiled assembly does not hold ' + $script:TarnquillNativeMarkerType + '.'
        }
        $Import.Failure = 'The C# helpers of the setup scripts could not be compiled (Add-Type): ' + $reason
        throw $Import.Failure
    }
}

function Stop-TarnquillNativeMethodsImport {
    <#
    .SYNOPSIS
    Lets a started compile go without waiting for it: a run that ends early does not wait for types it will not use.
    #>
    [CmdletBinding()]
    param(
        [Parameter(Mandatory = $true)]
        [AllowNull()]
        [object]$Import
    )
    if ($null -eq $Import) {
        return
    }
    # BeginStop returns at once. A compile already inside the compiler runs to its end, and the
    # process waits for that when it exits, seconds at most. A later Import-TarnquillNativeMethods
    # starts afresh rather than wait for a stopped one.
    $null = $Import.Shell.BeginStop($null, $null)
    Remove-Variable -Name TarnquillNativeImport -Scope Script -ErrorAction SilentlyContinue
}
