Set-StrictMode -Version Latest

<#
Test support for scripts/install.ps1. Dot-source it in a Pester BeforeAll block, after
support/FakeRuntime.ps1.

install.ps1 keeps every Windows-only interface in one small function of its own:
    Get-TarnquillSpecialFolder, Read-TarnquillAnswer, Get-TarnquillSignatureStatus, Get-TarnquillAccountSid,
    Save-TarnquillShellLink, Reset-TarnquillRegistryKey, Set-TarnquillRegistryValue,
    Send-TarnquillShellChange, Invoke-TarnquillIconCacheTool, Start-TarnquillApplication,
    Test-TarnquillOwnedByCurrentUser (answered from the real Linux owner of the entry)
Only these are replaced; everything else (files, hashes, downloads from the fake host,
folder moves, processes, console text) runs for real.

In the test process they are replaced with Pester's Mock. Mock needs the command to exist
when it is set up, and install.ps1 defines its functions only while it runs, so
Import-InstallWindowsInterface defines copies taken from install.ps1's own syntax tree
(same names, same parameters) in the test file's scope. Pester puts a mock in place as an
alias, and an alias wins over the function that install.ps1 defines for itself, so the
script calls the double. The copies are never called.

Runs in a separate pwsh process (pwsh -File, the hand-off command) get the doubles through
a profile in the sandbox's HOME (Write-InstallDoubleProfile): global aliases to functions
that record each call as one JSON line and take answers from files.
#>

$script:InstallSupportFolder = $PSScriptRoot
$script:InstallRepository = [IO.Path]::GetFullPath((Join-Path -Path $PSScriptRoot -ChildPath '../../..'))
$script:InstallWindowsInterface = @(
    'Get-TarnquillSpecialFolder', 'Read-TarnquillAnswer', 'Get-TarnquillSignatureStatus', 'Get-TarnquillAccountSid',
    'Save-TarnquillShellLink', 'Reset-TarnquillRegistryKey', 'Set-TarnquillRegistryValue',
    'Send-TarnquillShellChange', 'Invoke-TarnquillIconCacheTool', 'Start-TarnquillApplication',
    'Test-TarnquillOwnedByCurrentUser')
$script:InstallEnvironmentNames = @('HOME', 'LOCALAPPDATA', 'APPDATA', 'TEMP', 'TMP',
    'SystemRoot', 'TARNQUILL_SETUP_EXE', 'TARNQUILL_SETUP_WORK', 'XDG_CONFIG_HOME')

function Register-InstallDouble {
    <#
    .SYNOPSIS
    Puts Pester doubles in place of install.ps1's Windows-only functions, for one test.
    .DESCRIPTION
    Call it from BeforeEach or BeforeAll of a Describe, after Import-InstallWindowsInterface.
    Returns the table the doubles record into and answer from; keep it in
    $script:InstallDoubles. The mock bodies run while install.ps1 runs, where $script: is
    install.ps1's own scope, so they reach the table by that name.
    #>
    [CmdletBinding()]
    param(
        [Parameter(Mandatory = $true)]
        [object]$Sandbox
    )
    Mock Get-TarnquillSpecialFolder {
        if ($Name -eq 'Desktop') { return $InstallDoubles.sandbox.Desktop }
        return $InstallDoubles.sandbox.Programs
    }
    Mock Read-TarnquillAnswer {
        $InstallDoubles.prompts.Add($Prompt)
        if ($InstallDoubles.answers.Count -eq 0) { throw "No answer prepared for: $Prompt" }
        return $InstallDoubles.answers.Dequeue()
    }
    Mock Get-TarnquillSignatureStatus { return $InstallDoubles.signature }
    Mock Get-TarnquillAccountSid { return $InstallDoubles.account }
    Mock Save-TarnquillShellLink {
        $InstallDoubles.links.Add([pscustomobject]@{
                Path = $Path; Target = $Target; Arguments = $Arguments; WorkingDirectory = $WorkingDirectory
                IconLocation = $IconLocation; Description = $Description
                Bound = @($PesterBoundParameters.Keys | Sort-Object)
            })
        [IO.File]::WriteAllText($Path, 'shell link double')
    }
    Mock Reset-TarnquillRegistryKey { $InstallDoubles.registry.Add([pscustomobject]@{ Call = 'Reset'; Path = $Path }) }
    Mock Set-TarnquillRegistryValue {
        $InstallDoubles.registry.Add([pscustomobject]@{ Call = 'Set'; Path = $Path; Name = $Name; Type = $Type; Value = $Value })
    }
    Mock Send-TarnquillShellChange { $InstallDoubles.refresh.Add('SHChangeNotify') }
    Mock Invoke-TarnquillIconCacheTool { $InstallDoubles.refresh.Add($Path + ' ' + $Argument) }
    Mock Start-TarnquillApplication {
        $InstallDoubles.started.Add([pscustomobject]@{ Path = $Path; WorkingDirectory = $WorkingDirectory })
    }
    Mock Test-TarnquillOwnedByCurrentUser { Test-InstallLinuxOwner -Path $Path }
    return @{
        answers   = New-Object -TypeName System.Collections.Queue
        prompts   = New-Object -TypeName System.Collections.Generic.List[string]
        links     = New-Object -TypeName System.Collections.Generic.List[object]
        registry  = New-Object -TypeName System.Collections.Generic.List[object]
        refresh   = New-Object -TypeName System.Collections.Generic.List[string]
        started   = New-Object -TypeName System.Collections.Generic.List[object]
        signature = 'NotSigned'
        account   = 'S-1-5-21-1004336348-1177238915-682003330-1001'
        sandbox   = $Sandbox
    }
}

function global:Test-InstallLinuxOwner {
    <#
    .SYNOPSIS
    The double of Test-TarnquillOwnedByCurrentUser: true when the Linux owner of the entry itself is this process's user.
    #>
    param([string]$Path)
    return ([string](& stat -c '%u' -- $Path) -eq [string](& id -u))
}

function Get-InstallTestFolder {
    <#
    .SYNOPSIS
    A new, empty folder under release/test/install-procedure for one test file's runs.
    #>
    [CmdletBinding()]
    param()
    $release = $env:TARNQUILL_RELEASE
    if ([string]::IsNullOrEmpty($release)) {
        $release = Join-Path -Path $script:InstallRepository -ChildPath 'release'
    }
    $folder = Join-Path -Path (Join-Path -Path (Join-Path -Path $release -ChildPath 'test') -ChildPath 'install-procedure') -ChildPath ([guid]::NewGuid().ToString('N'))
    [void][IO.Directory]::CreateDirectory($folder)
    return $folder
}

function Get-InstallScriptFunction {
    <#
    .SYNOPSIS
    The text of one function definition of a script, or of a library beside it that it loads, taken from its syntax tree.
    #>
    [CmdletBinding()]
    param(
        [Parameter(Mandatory = $true)]
        [string]$ScriptPath,
        [Parameter(Mandatory = $true)]
        [string]$Name
    )
    $candidates = @($ScriptPath) + @(Get-ChildItem -LiteralPath (Split-Path -Parent -Path $ScriptPath) -Filter '*.ps1' |
            Where-Object -FilterScript { $_.FullName -ne $ScriptPath } | ForEach-Object -Process { $_.FullName })
    foreach ($candidate in $candidates) {
        $tokens = $null
        $errors = $null
        $ast = [System.Management.Automation.Language.Parser]::ParseFile($candidate, [ref]$tokens, [ref]$errors)
        $found = @($ast.FindAll({
                    param($node)
                    $node -is [System.Management.Automation.Language.FunctionDefinitionAst] -and $node.Name -eq $Name
                }, $false))
        if ($found.Count -gt 1) {
            throw "$candidate defines $Name $($found.Count) times, not once."
        }
        if ($found.Count -eq 1) {
            return $found[0].Body.Extent.Text
        }
    }
    throw "Neither $ScriptPath nor a library beside it defines $Name."
}

function Import-InstallWindowsInterface {
    <#
    .SYNOPSIS
    Defines, in the caller's script scope, copies of install.ps1's Windows-only functions, so that they can be mocked.
    #>
    [CmdletBinding()]
    param(
        [Parameter(Mandatory = $true)]
        [string]$ScriptPath
    )
    foreach ($name in $script:InstallWindowsInterface) {
        $body = Get-InstallScriptFunction -ScriptPath $ScriptPath -Name $name
        Set-Item -LiteralPath ('function:script:' + $name) -Value ([scriptblock]::Create($body.Substring(1, $body.Length - 2)))
    }
}

function Import-InstallScriptFunction {
    <#
    .SYNOPSIS
    Defines one function of install.ps1 in the caller's script scope, to be called directly.
    #>
    [CmdletBinding()]
    param(
        [Parameter(Mandatory = $true)]
        [string]$ScriptPath,
        [Parameter(Mandatory = $true)]
        [string]$Name
    )
    $body = Get-InstallScriptFunction -ScriptPath $ScriptPath -Name $Name
    Set-Item -LiteralPath ('function:script:' + $Name) -Value ([scriptblock]::Create($body.Substring(1, $body.Length - 2)))
}

function Initialize-InstallKernel32Double {
    <#
    .SYNOPSIS
    Builds the kernel32 resource-update double (tests/native) and loads it into this process.
    .DESCRIPTION
    The library gets the name under which .NET looks for kernel32.dll on Linux as its SONAME;
    once it is loaded, the icon writer's DllImport("kernel32.dll") finds it in this process.
    Returns the folder that holds it, for LD_LIBRARY_PATH of child processes.
    #>
    [CmdletBinding()]
    param(
        [Parameter(Mandatory = $true)]
        [string]$Folder
    )
    $source = Join-Path -Path (Join-Path -Path (Join-Path -Path $script:InstallRepository -ChildPath 'tests') -ChildPath 'native') -ChildPath 'kernel32_resource_double.c'
    $library = Join-Path -Path $Folder -ChildPath 'libkernel32.dll.so'
    $output = & gcc -shared -fPIC -O2 '-Wl,-soname,libkernel32.dll.so' -o $library $source 2>&1
    if ($LASTEXITCODE -ne 0) {
        throw "Building the kernel32 double failed: $output"
    }
    [void][System.Runtime.InteropServices.NativeLibrary]::Load($library)
    return $Folder
}

function Copy-InstallSourceTree {
    <#
    .SYNOPSIS
    Copies the repository's source tree (what the image needs, and all scripts) to Destination.
    #>
    [CmdletBinding()]
    param(
        [Parameter(Mandatory = $true)]
        [string]$Destination
    )
    $scripts = Join-Path -Path $Destination -ChildPath 'scripts'
    [void][IO.Directory]::CreateDirectory($scripts)
    $rootFiles = @('main.js', 'preload.js', 'package.json', 'NOTICE.txt', 'README.md', 'PRIVACY_POLICY.md',
        'TERMS_OF_USE.md', 'SECURITY.md', 'RELEASE_NOTES.md', 'START_HERE_RU.txt', 'START_HERE_EN.txt')
    foreach ($name in $rootFiles) {
        $path = Join-Path -Path $script:InstallRepository -ChildPath $name
        if (Test-Path -LiteralPath $path -PathType Leaf) {
            Copy-Item -LiteralPath $path -Destination (Join-Path -Path $Destination -ChildPath $name)
        }
    }
    foreach ($name in @('assets', 'config', 'src')) {
        Copy-Item -LiteralPath (Join-Path -Path $script:InstallRepository -ChildPath $name) -Destination $Destination -Recurse
    }
    foreach ($file in @(Get-ChildItem -LiteralPath (Join-Path -Path $script:InstallRepository -ChildPath 'scripts') -Filter '*.ps1' -File)) {
        Copy-Item -LiteralPath $file.FullName -Destination $scripts
    }
    Copy-Item -LiteralPath (Join-Path -Path $script:InstallRepository -ChildPath 'scripts/native') -Destination $scripts -Recurse
    return $Destination
}

function Set-InstallTreeVersion {
    <#
    .SYNOPSIS
    Writes a different version into the package.json of a sandbox tree.
    #>
    [CmdletBinding()]
    param(
        [Parameter(Mandatory = $true)]
        [string]$Tree,
        [Parameter(Mandatory = $true)]
        [AllowEmptyString()]
        [string]$Version
    )
    $path = Join-Path -Path $Tree -ChildPath 'package.json'
    $text = [IO.File]::ReadAllText($path)
    $json = '"version": ' + ($Version | ConvertTo-Json)
    $changed = [regex]::Replace($text, '"version"\s*:\s*"[^"]*"', $json.Replace('$', '$$'))
    [IO.File]::WriteAllText($path, $changed, (New-Object -TypeName System.Text.UTF8Encoding -ArgumentList $false))
}

function New-InstallSandbox {
    <#
    .SYNOPSIS
    Makes the per-user folders of one run (home, local and roaming data, temp, desktop, Start menu, Windows).
    #>
    [CmdletBinding()]
    param(
        [Parameter(Mandatory = $true)]
        [string]$Parent
    )
    $root = Join-Path -Path $Parent -ChildPath ([guid]::NewGuid().ToString('N').Substring(0, 12))
    $sandbox = [ordered]@{ Root = $root }
    foreach ($name in @('Home', 'Local', 'Roaming', 'Temp', 'Desktop', 'Programs', 'Windows')) {
        $sandbox[$name] = Join-Path -Path $root -ChildPath $name.ToLowerInvariant()
        [void][IO.Directory]::CreateDirectory($sandbox[$name])
    }
    $sandbox.InstallRoot = Join-Path -Path $sandbox.Local -ChildPath 'TARNQUILL'
    $sandbox.Logs = Join-Path -Path $sandbox.InstallRoot -ChildPath 'Logs'
    $sandbox.LogFile = Join-Path -Path $sandbox.Logs -ChildPath 'installer.log'
    $sandbox.HashFile = Join-Path -Path $sandbox.Logs -ChildPath 'installer.sha256'
    $sandbox.StartMenuGroup = Join-Path -Path $sandbox.Programs -ChildPath 'TARNQUILL'
    $system32 = Join-Path -Path $sandbox.Windows -ChildPath 'System32'
    [void][IO.Directory]::CreateDirectory($system32)
    $sandbox.IconCacheTool = Join-Path -Path $system32 -ChildPath 'ie4uinit.exe'
    return [pscustomobject]$sandbox
}

function Get-InstallSandboxEnvironment {
    <#
    .SYNOPSIS
    The environment of a run in a sandbox, as a hashtable of variable names and values ($null: unset).
    .DESCRIPTION
    TMPDIR is left as it is: on Linux .NET keeps its named mutexes (the setup lock) under
    TMPDIR, so every process of a test must see the same one.
    #>
    [CmdletBinding()]
    param(
        [Parameter(Mandatory = $true)]
        [psobject]$Sandbox
    )
    return @{
        HOME                 = $Sandbox.Home
        LOCALAPPDATA         = $Sandbox.Local
        APPDATA              = $Sandbox.Roaming
        TEMP                 = $Sandbox.Temp
        TMP                  = $Sandbox.Temp
        SystemRoot           = $Sandbox.Windows
        TARNQUILL_SETUP_EXE  = $null
        TARNQUILL_SETUP_WORK = $null
        XDG_CONFIG_HOME      = $null
    }
}

function Enter-InstallSandbox {
    <#
    .SYNOPSIS
    Points this process's per-user environment at a sandbox; returns what to restore.
    #>
    [CmdletBinding()]
    param(
        [Parameter(Mandatory = $true)]
        [psobject]$Sandbox
    )
    $saved = @{}
    foreach ($name in $script:InstallEnvironmentNames) {
        $saved[$name] = [Environment]::GetEnvironmentVariable($name)
    }
    $values = Get-InstallSandboxEnvironment -Sandbox $Sandbox
    foreach ($name in $values.Keys) {
        [Environment]::SetEnvironmentVariable($name, $values[$name])
    }
    return $saved
}

function Exit-InstallSandbox {
    <#
    .SYNOPSIS
    Restores the environment saved by Enter-InstallSandbox.
    #>
    [CmdletBinding()]
    param(
        [Parameter(Mandatory = $true)]
        [AllowNull()]
        [hashtable]$Saved
    )
    if ($null -eq $Saved) {
        return
    }
    foreach ($name in $Saved.Keys) {
        [Environment]::SetEnvironmentVariable($name, $Saved[$name])
    }
}

function Invoke-InstallScript {
    <#
    .SYNOPSIS
    Runs install.ps1 in this process; returns its console lines (text, colour, kind), its exit code and the message of its failure report.
    .DESCRIPTION
    Message is the line after "Installation failed." (the one report a failure shows), or the
    message of an error that escaped the script, which it should never let happen.
    #>
    [CmdletBinding()]
    param(
        [Parameter(Mandatory = $true)]
        [string]$ScriptPath,
        [switch]$NoLaunch,
        [switch]$Unattended,
        [switch]$RemoveOld,
        [string]$LogPath = ''
    )
    $records = New-Object -TypeName System.Collections.Generic.List[object]
    $output = New-Object -TypeName System.Collections.Generic.List[object]
    $failure = $null
    $global:LASTEXITCODE = -1
    try {
        & $ScriptPath -NoLaunch:$NoLaunch -Unattended:$Unattended -RemoveOld:$RemoveOld -LogPath $LogPath 6>&1 3>&1 | ForEach-Object -Process {
            if ($_ -is [System.Management.Automation.InformationRecord]) {
                $data = $_.MessageData
                if ($data -is [System.Management.Automation.HostInformationMessage]) {
                    # No colour named: the host reports its own current colour, -1 when it has none.
                    $colour = [string]$data.ForegroundColor
                    if ($colour -eq '-1') {
                        $colour = ''
                    }
                    $records.Add([pscustomobject]@{ Kind = 'Host'; Text = $data.Message; Colour = $colour })
                } else {
                    $records.Add([pscustomobject]@{ Kind = 'Host'; Text = [string]$data; Colour = '' })
                }
            } elseif ($_ -is [System.Management.Automation.WarningRecord]) {
                $records.Add([pscustomobject]@{ Kind = 'Warning'; Text = $_.Message; Colour = '' })
            } else {
                $output.Add($_)
            }
        }
    } catch {
        $failure = $_
    }
    $exitCode = $global:LASTEXITCODE
    $message = $null
    if ($null -ne $failure) {
        $message = $failure.Exception.Message
    } else {
        for ($i = 0; $i -lt $records.Count - 1; $i++) {
            if ($records[$i].Text -eq 'Installation failed.' -and $records[$i].Colour -eq 'Red') {
                $message = $records[$i + 1].Text
            }
        }
    }
    return [pscustomobject]@{
        Lines    = $records.ToArray()
        Text     = @($records | ForEach-Object -Process { $_.Text })
        Output   = $output.ToArray()
        Failure  = $failure
        Message  = $message
        ExitCode = $exitCode
    }
}

function Read-InstallLog {
    <#
    .SYNOPSIS
    Splits installer.log into its entries; checks the byte-order mark, CR LF ends and time stamps on the way.
    .DESCRIPTION
    Returns objects with Time (the stamp as written) and Text. Throws when the file does not have
    the layout that every entry must have.
    #>
    [CmdletBinding()]
    param(
        [Parameter(Mandatory = $true)]
        [string]$Path
    )
    $bytes = [IO.File]::ReadAllBytes($Path)
    if ($bytes.Length -lt 3 -or $bytes[0] -ne 0xEF -or $bytes[1] -ne 0xBB -or $bytes[2] -ne 0xBF) {
        throw 'installer.log does not begin with the UTF-8 byte-order mark.'
    }
    $text = (New-Object -TypeName System.Text.UTF8Encoding -ArgumentList $false, $true).GetString($bytes, 3, $bytes.Length - 3)
    if (-not $text.EndsWith("`r`n")) {
        throw 'installer.log does not end with CR LF.'
    }
    if ($text.IndexOf([char]0xFEFF) -ge 0) {
        throw 'installer.log holds a second byte-order mark.'
    }
    $entries = $text.Substring(0, $text.Length - 2).Split(@("`r`n"), [StringSplitOptions]::None)
    foreach ($entry in $entries) {
        if ($entry.Contains("`n") -or $entry.Contains("`r")) {
            throw "installer.log holds a bare line break: $entry"
        }
        $match = [regex]::Match($entry, '\A(\d{4}-\d{2}-\d{2}T\d{2}:\d{2}:\d{2}\.\d{7}[+-]\d{2}:\d{2}) (.*)\z')
        if (-not $match.Success) {
            throw "installer.log entry without an ISO 8601 stamp: $entry"
        }
        [pscustomobject]@{ Time = $match.Groups[1].Value; Text = $match.Groups[2].Value }
    }
}

function Write-InstallDoubleProfile {
    <#
    .SYNOPSIS
    Writes a pwsh profile into a sandbox HOME that replaces install.ps1's Windows-only functions in child processes.
    .DESCRIPTION
    Each double appends one JSON line {"Command":..., "Parameters":{...}} to DoublesLog. Answers
    to Read-TarnquillAnswer come from files answer-1.txt, answer-2.txt, ... in AnswerFolder
    (Set-InstallAnswer): the double first writes prompt-<n>.txt there with the prompt, whole
    before it appears, then waits for the answer file.
    The signature status is the text of signature.txt in AnswerFolder (NotSigned when absent), the
    account's SID the text of account.txt (an ordinary user's when absent).
    #>
    [CmdletBinding()]
    param(
        [Parameter(Mandatory = $true)]
        [psobject]$Sandbox,
        [Parameter(Mandatory = $true)]
        [string]$DoublesLog,
        [Parameter(Mandatory = $true)]
        [string]$AnswerFolder
    )
    $profileFolder = Join-Path -Path (Join-Path -Path $Sandbox.Home -ChildPath '.config') -ChildPath 'powershell'
    [void][IO.Directory]::CreateDirectory($profileFolder)
    [void][IO.Directory]::CreateDirectory($AnswerFolder)
    $quote = { param($text) "'" + $text.Replace("'", "''") + "'" }
    $lines = @(
        'Set-StrictMode -Version Latest'
        '# Test doubles for install.ps1, loaded as the profile of a sandboxed pwsh.'
        ('$global:InstallDoublesLog = ' + (& $quote $DoublesLog))
        ('$global:InstallAnswerFolder = ' + (& $quote $AnswerFolder))
        ('$global:InstallDesktop = ' + (& $quote $Sandbox.Desktop))
        ('$global:InstallPrograms = ' + (& $quote $Sandbox.Programs))
        '$global:InstallAnswerCount = 0'
        @'
function global:Write-InstallDoubleCall {
    param([string]$Command, [hashtable]$Parameters)
    $line = (@{ Command = $Command; Parameters = $Parameters } | ConvertTo-Json -Compress -Depth 4) + "`n"
    [IO.File]::AppendAllText($global:InstallDoublesLog, $line)
}
function global:Get-InstallDoubleSpecialFolder {
    param([string]$Name)
    Write-InstallDoubleCall -Command 'Get-TarnquillSpecialFolder' -Parameters $PSBoundParameters
    if ($Name -eq 'Desktop') { return $global:InstallDesktop }
    return $global:InstallPrograms
}
function global:Read-InstallDoubleAnswer {
    param([string]$Prompt)
    Write-InstallDoubleCall -Command 'Read-TarnquillAnswer' -Parameters $PSBoundParameters
    $global:InstallAnswerCount++
    $n = $global:InstallAnswerCount
    # Written whole under another name, then renamed, so a reader never sees a half-written prompt.
    $promptFile = Join-Path -Path $global:InstallAnswerFolder -ChildPath "prompt-$n.txt"
    [IO.File]::WriteAllText($promptFile + '.partial', $Prompt)
    [IO.File]::Move($promptFile + '.partial', $promptFile)
    $answer = Join-Path -Path $global:InstallAnswerFolder -ChildPath "answer-$n.txt"
    $deadline = [DateTime]::UtcNow.AddMinutes(5)
    while (-not (Test-Path -LiteralPath $answer -PathType Leaf)) {
        if ([DateTime]::UtcNow -gt $deadline) { throw "No answer $n was given." }
        Start-Sleep -Milliseconds 50
    }
    return [IO.File]::ReadAllText($answer)
}
function global:Get-InstallDoubleSignatureStatus {
    param([string]$Path)
    Write-InstallDoubleCall -Command 'Get-TarnquillSignatureStatus' -Parameters $PSBoundParameters
    $file = Join-Path -Path $global:InstallAnswerFolder -ChildPath 'signature.txt'
    if (Test-Path -LiteralPath $file -PathType Leaf) { return [IO.File]::ReadAllText($file) }
    return 'NotSigned'
}
function global:Get-InstallDoubleAccountSid {
    Write-InstallDoubleCall -Command 'Get-TarnquillAccountSid' -Parameters @{}
    $file = Join-Path -Path $global:InstallAnswerFolder -ChildPath 'account.txt'
    if (Test-Path -LiteralPath $file -PathType Leaf) { return [IO.File]::ReadAllText($file) }
    return 'S-1-5-21-1004336348-1177238915-682003330-1001'
}
function global:Save-InstallDoubleShellLink {
    param([string]$Path, [string]$Target, [string]$WorkingDirectory, [string]$IconLocation, [string]$Arguments, [string]$Description)
    Write-InstallDoubleCall -Command 'Save-TarnquillShellLink' -Parameters $PSBoundParameters
    [IO.File]::WriteAllText($Path, "shell link double`r`n")
}
function global:Reset-InstallDoubleRegistryKey {
    param([string]$Path)
    Write-InstallDoubleCall -Command 'Reset-TarnquillRegistryKey' -Parameters $PSBoundParameters
}
function global:Set-InstallDoubleRegistryValue {
    param([string]$Path, [string]$Name, [string]$Type, [object]$Value)
    Write-InstallDoubleCall -Command 'Set-TarnquillRegistryValue' -Parameters $PSBoundParameters
}
function global:Send-InstallDoubleShellChange {
    Write-InstallDoubleCall -Command 'Send-TarnquillShellChange' -Parameters @{}
}
function global:Invoke-InstallDoubleIconCacheTool {
    param([string]$Path, [string]$Argument)
    Write-InstallDoubleCall -Command 'Invoke-TarnquillIconCacheTool' -Parameters $PSBoundParameters
}
function global:Start-InstallDoubleApplication {
    param([string]$Path, [string]$WorkingDirectory)
    Write-InstallDoubleCall -Command 'Start-TarnquillApplication' -Parameters $PSBoundParameters
}
function global:Test-InstallDoubleOwnedByCurrentUser {
    param([string]$Path)
    return ([string](& stat -c '%u' -- $Path) -eq [string](& id -u))
}
Set-Alias -Scope Global -Name Get-TarnquillSpecialFolder -Value Get-InstallDoubleSpecialFolder
Set-Alias -Scope Global -Name Read-TarnquillAnswer -Value Read-InstallDoubleAnswer
Set-Alias -Scope Global -Name Get-TarnquillSignatureStatus -Value Get-InstallDoubleSignatureStatus
Set-Alias -Scope Global -Name Get-TarnquillAccountSid -Value Get-InstallDoubleAccountSid
Set-Alias -Scope Global -Name Save-TarnquillShellLink -Value Save-InstallDoubleShellLink
Set-Alias -Scope Global -Name Reset-TarnquillRegistryKey -Value Reset-InstallDoubleRegistryKey
Set-Alias -Scope Global -Name Set-TarnquillRegistryValue -Value Set-InstallDoubleRegistryValue
Set-Alias -Scope Global -Name Send-TarnquillShellChange -Value Send-InstallDoubleShellChange
Set-Alias -Scope Global -Name Invoke-TarnquillIconCacheTool -Value Invoke-InstallDoubleIconCacheTool
Set-Alias -Scope Global -Name Start-TarnquillApplication -Value Start-InstallDoubleApplication
Set-Alias -Scope Global -Name Test-TarnquillOwnedByCurrentUser -Value Test-InstallDoubleOwnedByCurrentUser
'@
    )
    $path = Join-Path -Path $profileFolder -ChildPath 'profile.ps1'
    [IO.File]::WriteAllText($path, (($lines -join "`r`n") + "`r`n"))
    return $path
}

function Set-InstallAnswer {
    <#
    .SYNOPSIS
    Gives the child-process double its answer to question Number (answer-<Number>.txt in AnswerFolder).
    .DESCRIPTION
    The double reads the file as soon as it exists, so it is written whole under another name first
    and renamed into place.
    #>
    [CmdletBinding()]
    param(
        [Parameter(Mandatory = $true)]
        [string]$AnswerFolder,
        [Parameter(Mandatory = $true)]
        [int]$Number,
        [Parameter(Mandatory = $true)]
        [AllowEmptyString()]
        [string]$Text
    )
    $path = Join-Path -Path $AnswerFolder -ChildPath "answer-$Number.txt"
    [IO.File]::WriteAllText($path + '.partial', $Text)
    [IO.File]::Move($path + '.partial', $path)
}

function Read-InstallDoubleCall {
    <#
    .SYNOPSIS
    The calls that the child-process doubles recorded, in order: objects with Command and Parameters.
    #>
    [CmdletBinding()]
    param(
        [Parameter(Mandatory = $true)]
        [string]$DoublesLog
    )
    if (-not (Test-Path -LiteralPath $DoublesLog -PathType Leaf)) {
        return , @()
    }
    return , @([IO.File]::ReadAllLines($DoublesLog) | Where-Object -FilterScript { $_.Length -gt 0 } |
            ForEach-Object -Process { $_ | ConvertFrom-Json })
}

function Start-InstallProcess {
    <#
    .SYNOPSIS
    Starts pwsh in a sandbox's environment (profile doubles, kernel32 double) with the given arguments.
    .DESCRIPTION
    Returns the Process; standard output and error are redirected and read asynchronously
    (Stdout, Stderr tasks on the returned object). Standard input is redirected too.
    #>
    [CmdletBinding()]
    param(
        [Parameter(Mandatory = $true)]
        [psobject]$Sandbox,
        [Parameter(Mandatory = $true)]
        [string[]]$Arguments,
        [hashtable]$Environment = @{},
        [string]$Kernel32Folder = ''
    )
    $info = New-Object -TypeName System.Diagnostics.ProcessStartInfo
    $info.FileName = $env:TARNQUILL_PWSH
    $info.UseShellExecute = $false
    $info.RedirectStandardOutput = $true
    $info.RedirectStandardError = $true
    $info.RedirectStandardInput = $true
    $info.WorkingDirectory = $Sandbox.Temp
    foreach ($argument in $Arguments) {
        $info.ArgumentList.Add($argument)
    }
    $values = Get-InstallSandboxEnvironment -Sandbox $Sandbox
    foreach ($key in $Environment.Keys) {
        $values[$key] = $Environment[$key]
    }
    foreach ($key in $values.Keys) {
        if ($null -eq $values[$key]) {
            [void]$info.Environment.Remove($key)
        } else {
            $info.Environment[$key] = $values[$key]
        }
    }
    if ($Kernel32Folder) {
        $info.Environment['LD_LIBRARY_PATH'] = $Kernel32Folder
    }
    $info.Environment['NO_COLOR'] = '1'
    $process = [System.Diagnostics.Process]::Start($info)
    $stdout = $process.StandardOutput.ReadToEndAsync()
    $stderr = $process.StandardError.ReadToEndAsync()
    return [pscustomobject]@{ Process = $process; Stdout = $stdout; Stderr = $stderr }
}

function Wait-InstallProcess {
    <#
    .SYNOPSIS
    Waits for a process from Start-InstallProcess; returns ExitCode, Stdout and Stderr.
    #>
    [CmdletBinding()]
    param(
        [Parameter(Mandatory = $true)]
        [psobject]$Started,
        [int]$TimeoutSeconds = 600
    )
    if (-not $Started.Process.WaitForExit($TimeoutSeconds * 1000)) {
        $Started.Process.Kill($true)
        throw "pwsh did not end within $TimeoutSeconds seconds."
    }
    $Started.Process.WaitForExit()
    return [pscustomobject]@{
        ExitCode = $Started.Process.ExitCode
        Stdout   = $Started.Stdout.GetAwaiter().GetResult()
        Stderr   = $Started.Stderr.GetAwaiter().GetResult()
    }
}
