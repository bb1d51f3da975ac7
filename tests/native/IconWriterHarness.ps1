Set-StrictMode -Version Latest
# Test harness for set-executable-icon.ps1 on Linux: builds the kernel32
# resource-update double, runs the real script in a fresh pwsh that loads the
# double in place of kernel32, and reads back what the double recorded.

$script:HarnessRoot = $env:TARNQUILL_ROOT
if ([string]::IsNullOrEmpty($script:HarnessRoot)) {
    $script:HarnessRoot = [System.IO.Path]::GetFullPath((Join-Path -Path $PSScriptRoot -ChildPath '../..'))
}
$script:HarnessRelease = $env:TARNQUILL_RELEASE
if ([string]::IsNullOrEmpty($script:HarnessRelease)) {
    $script:HarnessRelease = Join-Path -Path $script:HarnessRoot -ChildPath 'release'
}
$script:HarnessPwsh = $env:TARNQUILL_PWSH
if ([string]::IsNullOrEmpty($script:HarnessPwsh)) {
    $script:HarnessPwsh = [System.Diagnostics.Process]::GetCurrentProcess().MainModule.FileName
}
$script:IconWriterScript = Join-Path -Path (Join-Path -Path $script:HarnessRoot -ChildPath 'scripts') -ChildPath 'set-executable-icon.ps1'

# Runs the icon writer and writes what happened as JSON: the error's message,
# type and native code, the host messages with their colours, and the number of
# items on the output stream.
$script:IconWriterRunner = @'
param(
    [string]$ScriptPath,
    [string]$ExecutablePath,
    [string]$IconPath,
    [string]$ResultPath,
    [string]$WorkingDirectory
)
Set-StrictMode -Version Latest
$ErrorActionPreference = 'Stop'
[System.Environment]::CurrentDirectory = $WorkingDirectory
Set-Location -LiteralPath $WorkingDirectory
$result = [ordered]@{ Messages = @(); OutputCount = 0; Error = $null; ErrorType = $null; NativeErrorCode = $null }
try {
    $records = @(& $ScriptPath -ExecutablePath $ExecutablePath -IconPath $IconPath 6>&1)
    foreach ($record in $records) {
        if ($record -is [System.Management.Automation.InformationRecord]) {
            $color = ''
            if ($record.MessageData -is [System.Management.Automation.HostInformationMessage]) {
                $color = [string]$record.MessageData.ForegroundColor
            }
            $result.Messages += [ordered]@{ Text = [string]$record.MessageData; Color = $color }
        }
        else {
            $result.OutputCount++
        }
    }
}
catch {
    $result.Error = $_.Exception.Message
    $result.ErrorType = $_.Exception.GetType().FullName
    if ($_.Exception -is [System.ComponentModel.Win32Exception]) {
        $result.NativeErrorCode = $_.Exception.NativeErrorCode
    }
}
$result | ConvertTo-Json -Depth 4 | Set-Content -LiteralPath $ResultPath -Encoding utf8
'@

function New-IconWriterSandbox {
    <#
    .SYNOPSIS
    Makes an empty sandbox folder under release/test/icon-writer with home and
    temporary folders of its own.
    #>
    [CmdletBinding()]
    param()
    $base = Join-Path -Path (Join-Path -Path $script:HarnessRelease -ChildPath 'test') -ChildPath 'icon-writer'
    $sandbox = Join-Path -Path $base -ChildPath ([guid]::NewGuid().ToString('N'))
    foreach ($name in @('home', 'tmp', 'localappdata')) {
        New-Item -ItemType Directory -Path (Join-Path -Path $sandbox -ChildPath $name) -Force | Out-Null
    }
    $sandbox
}

function New-Kernel32DoubleLibrary {
    <#
    .SYNOPSIS
    Compiles the kernel32 resource-update double into a folder of its own and
    returns that folder (for LD_LIBRARY_PATH).
    #>
    [CmdletBinding()]
    param(
        [Parameter(Mandatory = $true)]
        [string]$Sandbox
    )
    $folder = Join-Path -Path $Sandbox -ChildPath 'native'
    New-Item -ItemType Directory -Path $folder -Force | Out-Null
    $source = Join-Path -Path $PSScriptRoot -ChildPath 'kernel32_resource_double.c'
    # .NET probes "libkernel32.dll.so" among its names for "kernel32.dll".
    $library = Join-Path -Path $folder -ChildPath 'libkernel32.dll.so'
    $compilerOutput = & cc -std=c11 -O2 -Wall -Wextra -Werror -shared -fPIC -o $library $source 2>&1
    if ($LASTEXITCODE -ne 0) {
        throw "The kernel32 double did not compile: $compilerOutput"
    }
    $folder
}

function Invoke-IconWriter {
    <#
    .SYNOPSIS
    Runs set-executable-icon.ps1 in a new pwsh with the kernel32 double and
    returns the outcome and the double's call log.
    #>
    [CmdletBinding()]
    param(
        [Parameter(Mandatory = $true)]
        [string]$Sandbox,

        [Parameter(Mandatory = $true)]
        [string]$LibraryFolder,

        [Parameter(Mandatory = $true)]
        [string]$ExecutablePath,

        [Parameter(Mandatory = $true)]
        [string]$IconPath,

        [string]$WorkingDirectory = $Sandbox,

        [string]$Refuse = '',

        [int]$ErrorCode = 0,

        [int]$RefuseTimes = 0,

        [switch]$CommitLeavesFileUnchanged
    )
    $runId = [guid]::NewGuid().ToString('N')
    $runner = Join-Path -Path $Sandbox -ChildPath 'run-icon-writer.ps1'
    [System.IO.File]::WriteAllText($runner, $script:IconWriterRunner)
    $resultPath = Join-Path -Path $Sandbox -ChildPath "result-$runId.json"
    $logPath = Join-Path -Path $Sandbox -ChildPath "kernel32-$runId.log"

    $startInfo = New-Object -TypeName System.Diagnostics.ProcessStartInfo
    $startInfo.FileName = $script:HarnessPwsh
    foreach ($argument in @('-NoLogo', '-NoProfile', '-NonInteractive', '-File', $runner,
            '-ScriptPath', $script:IconWriterScript, '-ExecutablePath', $ExecutablePath,
            '-IconPath', $IconPath, '-ResultPath', $resultPath, '-WorkingDirectory', $WorkingDirectory)) {
        $startInfo.ArgumentList.Add($argument)
    }
    $startInfo.UseShellExecute = $false
    $startInfo.RedirectStandardOutput = $true
    $startInfo.RedirectStandardError = $true
    $environment = $startInfo.Environment
    $environment['LD_LIBRARY_PATH'] = $LibraryFolder
    $environment['KERNEL32_DOUBLE_LOG'] = $logPath
    # One home per library folder: pwsh fills its caches there once, not per run.
    $environment['HOME'] = Join-Path -Path (Split-Path -Path $LibraryFolder -Parent) -ChildPath 'home'
    $environment['TMPDIR'] = Join-Path -Path $Sandbox -ChildPath 'tmp'
    $environment['TEMP'] = Join-Path -Path $Sandbox -ChildPath 'tmp'
    $environment['LOCALAPPDATA'] = Join-Path -Path $Sandbox -ChildPath 'localappdata'
    foreach ($name in @('KERNEL32_DOUBLE_REFUSE', 'KERNEL32_DOUBLE_ERROR', 'KERNEL32_DOUBLE_REFUSE_TIMES', 'KERNEL32_DOUBLE_COMMIT')) {
        [void]$environment.Remove($name)
    }
    if ($Refuse -ne '') {
        $environment['KERNEL32_DOUBLE_REFUSE'] = $Refuse
    }
    if ($ErrorCode -ne 0) {
        $environment['KERNEL32_DOUBLE_ERROR'] = [string]$ErrorCode
    }
    if ($RefuseTimes -ne 0) {
        $environment['KERNEL32_DOUBLE_REFUSE_TIMES'] = [string]$RefuseTimes
    }
    if ($CommitLeavesFileUnchanged) {
        $environment['KERNEL32_DOUBLE_COMMIT'] = 'unchanged'
    }

    $process = [System.Diagnostics.Process]::Start($startInfo)
    $standardErrorTask = $process.StandardError.ReadToEndAsync()
    $standardOutput = $process.StandardOutput.ReadToEnd()
    $process.WaitForExit()
    $standardError = $standardErrorTask.Result
    if (-not (Test-Path -LiteralPath $resultPath -PathType Leaf)) {
        throw "The icon writer runner ended with $($process.ExitCode) and left no result: $standardOutput $standardError"
    }
    $result = Get-Content -LiteralPath $resultPath -Raw | ConvertFrom-Json
    $log = @()
    if (Test-Path -LiteralPath $logPath -PathType Leaf) {
        $log = @([System.IO.File]::ReadAllLines($logPath))
    }
    [pscustomobject]@{
        Error           = $result.Error
        ErrorType       = $result.ErrorType
        NativeErrorCode = $result.NativeErrorCode
        Messages        = @($result.Messages)
        OutputCount     = $result.OutputCount
        LogExists       = (Test-Path -LiteralPath $logPath -PathType Leaf)
        Log             = $log
        StandardError   = $standardError
    }
}

function ConvertFrom-Kernel32DoubleLog {
    <#
    .SYNOPSIS
    Turns the double's log lines into call records.
    #>
    [CmdletBinding()]
    param(
        [Parameter(Mandatory = $true)]
        [AllowEmptyCollection()]
        [string[]]$Line
    )
    foreach ($text in $Line) {
        if ($text -match '^UpdateResourceW type=(\S+) name=(\S+) lang=(\d+) size=(\d+) data=([0-9a-f]*) result=(\w+)$') {
            [pscustomobject]@{
                Call = 'UpdateResourceW'; Type = $Matches[1]; Name = $Matches[2]; Language = [int]$Matches[3]
                Size = [int]$Matches[4]; Data = $Matches[5]; Result = $Matches[6]
            }
        }
        elseif ($text -match '^BeginUpdateResourceW path=(.*) delete=(\d) result=(\w+)$') {
            [pscustomobject]@{ Call = 'BeginUpdateResourceW'; Path = $Matches[1]; Delete = [int]$Matches[2]; Result = $Matches[3] }
        }
        elseif ($text -match '^EndUpdateResourceW discard=(\d) result=(\w+)$') {
            [pscustomobject]@{ Call = 'EndUpdateResourceW'; Discard = [int]$Matches[1]; Result = $Matches[2] }
        }
        else {
            [pscustomobject]@{ Call = 'Unexpected'; Text = $text }
        }
    }
}

function ConvertTo-HexText {
    <#
    .SYNOPSIS
    Lower-case hexadecimal text of bytes, as the double logs them.
    #>
    [CmdletBinding()]
    param(
        [Parameter(Mandatory = $true)]
        [AllowEmptyCollection()]
        [byte[]]$Bytes
    )
    if ($Bytes.Length -eq 0) {
        return ''
    }
    [System.BitConverter]::ToString($Bytes).Replace('-', '').ToLowerInvariant()
}

function Read-IcoDirectory {
    <#
    .SYNOPSIS
    Reads an ICO file's directory and image bytes (the test's own reader).
    #>
    [CmdletBinding()]
    param(
        [Parameter(Mandatory = $true)]
        [string]$LiteralPath
    )
    $bytes = [System.IO.File]::ReadAllBytes($LiteralPath)
    $count = [System.BitConverter]::ToUInt16($bytes, 4)
    for ($index = 0; $index -lt $count; $index++) {
        $at = 6 + 16 * $index
        $length = [System.BitConverter]::ToUInt32($bytes, $at + 8)
        $offset = [System.BitConverter]::ToUInt32($bytes, $at + 12)
        $data = New-Object -TypeName byte[] -ArgumentList $length
        [System.Array]::Copy($bytes, [long]$offset, $data, 0, [long]$length)
        [pscustomobject]@{
            Directory = [byte[]]$bytes[$at..($at + 11)]
            Length    = $length
            Data      = $data
        }
    }
}

function New-IcoFile {
    <#
    .SYNOPSIS
    Writes an ICO file from header values, directory entries and raw trailing
    bytes, so tests can make valid and broken files alike.
    #>
    [CmdletBinding()]
    param(
        [Parameter(Mandatory = $true)]
        [string]$LiteralPath,

        [int]$Reserved = 0,

        [int]$Type = 1,

        [int]$Count = -1,

        # Each entry: Width, Height, ColorCount, Reserved, Planes, BitCount, Length, Offset.
        [Parameter(Mandatory = $true)]
        [AllowEmptyCollection()]
        [object[]]$Entry,

        [byte[]]$ImageBytes = @()
    )
    if ($Count -lt 0) {
        $Count = $Entry.Count
    }
    $stream = [System.IO.File]::Create($LiteralPath)
    try {
        $writer = New-Object -TypeName System.IO.BinaryWriter -ArgumentList $stream
        $writer.Write([uint16]$Reserved)
        $writer.Write([uint16]$Type)
        $writer.Write([uint16]$Count)
        foreach ($item in $Entry) {
            $writer.Write([byte]$item.Width)
            $writer.Write([byte]$item.Height)
            $writer.Write([byte]$item.ColorCount)
            $writer.Write([byte]$item.Reserved)
            $writer.Write([uint16]$item.Planes)
            $writer.Write([uint16]$item.BitCount)
            $writer.Write([uint32]$item.Length)
            $writer.Write([uint32]$item.Offset)
        }
        if ($ImageBytes.Length -gt 0) {
            $writer.Write($ImageBytes)
        }
        $writer.Flush()
    }
    finally {
        $stream.Dispose()
    }
}

function New-IcoEntry {
    <#
    .SYNOPSIS
    One ICO directory entry for New-IcoFile.
    #>
    [CmdletBinding()]
    param(
        [int]$Width = 16,
        [int]$Height = 16,
        [int]$ColorCount = 0,
        [int]$Reserved = 0,
        [int]$Planes = 1,
        [int]$BitCount = 32,
        [Parameter(Mandatory = $true)]
        [long]$Length,
        [Parameter(Mandatory = $true)]
        [long]$Offset
    )
    [pscustomobject]@{
        Width = $Width; Height = $Height; ColorCount = $ColorCount; Reserved = $Reserved
        Planes = $Planes; BitCount = $BitCount; Length = $Length; Offset = $Offset
    }
}

function Get-FileSha256Text {
    <#
    .SYNOPSIS
    The SHA-256 of a file as hexadecimal text.
    #>
    [CmdletBinding()]
    param(
        [Parameter(Mandatory = $true)]
        [string]$LiteralPath
    )
    (Get-FileHash -LiteralPath $LiteralPath -Algorithm SHA256).Hash
}
