Set-StrictMode -Version Latest

<#
Test support: a fake Electron runtime and fake download hosts.

Dot-source this file (for example in a Pester BeforeAll block):
    . (Join-Path -Path $PSScriptRoot -ChildPath 'support/FakeRuntime.ps1')

Functions (each has its own help below):
    Get-FakeElectronArchive     makes or reuses the fake runtime archive; returns Path, Sha256, Length
    Start-FakeRuntimeServer     starts the fake download hosts on 127.0.0.1 (ephemeral port)
    Get-FakeRuntimeServerUrl    base URL of one behaviour of a running server (archive, missing, ...)
    Get-FakeRuntimeServerRequest  the requests a server has answered so far
    Stop-FakeRuntimeServer      stops a server
    Get-FakeRuntimeRefusedUrl   a base URL on 127.0.0.1 where nothing listens (connection refused)
    Copy-FakeElectronArchiveToCache  puts an archive into the .runtime cache of a source tree
    Set-FakeRuntimePin          rewrites hash and source hosts in a COPY of scripts/runtime.ps1
    New-FakeRuntimeSourceTree   a minimal source tree with a rewritten copy of scripts/runtime.ps1
    Invoke-FakeRuntimeCapture   runs a script block; returns its output, host lines, warnings and error

Everything generated lives under release/test/fake-runtime (or $env:TARNQUILL_RELEASE/test/fake-runtime).
Nothing here is ever called by the product.
#>

$script:FakeRuntimeSupportFolder = $PSScriptRoot
$script:FakeRuntimeArchiveName = 'electron-v43.4.1-win32-x64.zip'
$script:FakeRuntimeLlvmBin = '/usr/lib/llvm-19/bin'
$script:FakeRuntimePython = '/usr/bin/python3'

function Get-FakeRuntimeFolder {
    <#
    .SYNOPSIS
    Returns (and creates) release/test/fake-runtime, where fake archives and their parts are cached.
    #>
    [CmdletBinding()]
    param()
    $release = $env:TARNQUILL_RELEASE
    if ([string]::IsNullOrEmpty($release)) {
        $root = Split-Path -Parent -Path (Split-Path -Parent -Path (Split-Path -Parent -Path $script:FakeRuntimeSupportFolder))
        $release = Join-Path -Path $root -ChildPath 'release'
    }
    $folder = Join-Path -Path (Join-Path -Path $release -ChildPath 'test') -ChildPath 'fake-runtime'
    [void][IO.Directory]::CreateDirectory($folder)
    return $folder
}

function Publish-FakeRuntimeFile {
    # Moves a finished temporary file to its final name in one rename, so a second test
    # process never sees a half-written file (it either sees none or a complete one).
    param([string]$Temporary, [string]$Final)
    [IO.File]::Move($Temporary, $Final, $true)
}

function Get-FakeElectronExecutable {
    <#
    .SYNOPSIS
    Returns the path of a small, real x64 Windows GUI executable that stands in for electron.exe.
    .DESCRIPTION
    Built once with clang and lld-link from LLVM 19 (entry point returns 0, no imports) with one
    icon group (ID 1) and one 16x16 icon, like a real runtime executable whose icon the product
    replaces. Cached as release/test/fake-runtime/electron.exe.
    #>
    [CmdletBinding()]
    param()
    $folder = Get-FakeRuntimeFolder
    $final = Join-Path -Path $folder -ChildPath 'electron.exe'
    if (Test-Path -LiteralPath $final -PathType Leaf) {
        return $final
    }
    $work = Join-Path -Path $folder -ChildPath ('pe-' + [guid]::NewGuid().ToString('N'))
    [void][IO.Directory]::CreateDirectory($work)
    try {
        [IO.File]::WriteAllText((Join-Path -Path $work -ChildPath 'stub.c'), "int mainCRTStartup(void) { return 0; }`n")
        [IO.File]::WriteAllBytes((Join-Path -Path $work -ChildPath 'app.ico'), (New-FakeRuntimeIconBytes))
        [IO.File]::WriteAllText((Join-Path -Path $work -ChildPath 'stub.rc'), "1 ICON `"app.ico`"`n")
        $clang = Join-Path -Path $script:FakeRuntimeLlvmBin -ChildPath 'clang'
        $rc = Join-Path -Path $script:FakeRuntimeLlvmBin -ChildPath 'llvm-rc'
        $link = Join-Path -Path $script:FakeRuntimeLlvmBin -ChildPath 'lld-link'
        Invoke-FakeRuntimeTool -FilePath $clang -WorkingDirectory $work -Arguments @(
            '--target=x86_64-pc-windows-msvc', '-ffreestanding', '-fno-builtin', '-fno-stack-protector',
            '-Os', '-c', 'stub.c', '-o', 'stub.obj')
        Invoke-FakeRuntimeTool -FilePath $rc -WorkingDirectory $work -Arguments @('/FO', 'stub.res', 'stub.rc')
        Invoke-FakeRuntimeTool -FilePath $link -WorkingDirectory $work -Arguments @(
            '/entry:mainCRTStartup', '/subsystem:windows', '/nodefaultlib', '/timestamp:0',
            '/out:electron.exe', 'stub.obj', 'stub.res')
        Publish-FakeRuntimeFile -Temporary (Join-Path -Path $work -ChildPath 'electron.exe') -Final $final
    } finally {
        Remove-Item -LiteralPath $work -Recurse -Force -ErrorAction SilentlyContinue
    }
    return $final
}

function New-FakeRuntimeIconBytes {
    # One 16x16 32-bit image in an ICO container: header, one directory entry, BMP header, pixels, mask.
    $stream = New-Object -TypeName System.IO.MemoryStream
    $writer = New-Object -TypeName System.IO.BinaryWriter -ArgumentList $stream
    $pixels = 16 * 16 * 4
    $mask = 16 * 4
    $image = 40 + $pixels + $mask
    $writer.Write([uint16]0); $writer.Write([uint16]1); $writer.Write([uint16]1)
    $writer.Write([byte]16); $writer.Write([byte]16); $writer.Write([byte]0); $writer.Write([byte]0)
    $writer.Write([uint16]1); $writer.Write([uint16]32); $writer.Write([uint32]$image); $writer.Write([uint32]22)
    $writer.Write([uint32]40); $writer.Write([int32]16); $writer.Write([int32]32); $writer.Write([uint16]1)
    $writer.Write([uint16]32); $writer.Write([uint32]0); $writer.Write([uint32]($pixels + $mask))
    $writer.Write([int32]0); $writer.Write([int32]0); $writer.Write([uint32]0); $writer.Write([uint32]0)
    for ($i = 0; $i -lt 256; $i++) {
        $writer.Write([byte]0x30); $writer.Write([byte]0x90); $writer.Write([byte]0xE0); $writer.Write([byte]0xFF)
    }
    $writer.Write((New-Object -TypeName byte[] -ArgumentList $mask))
    $writer.Flush()
    return , $stream.ToArray()
}

function Invoke-FakeRuntimeTool {
    param([string]$FilePath, [string]$WorkingDirectory, [string[]]$Arguments)
    Push-Location -LiteralPath $WorkingDirectory
    try {
        $output = & $FilePath @Arguments 2>&1
        if ($LASTEXITCODE -ne 0) {
            throw ("{0} failed with exit code {1}: {2}" -f $FilePath, $LASTEXITCODE, ($output -join ' '))
        }
    } finally {
        Pop-Location
    }
}

function Get-FakeElectronArchive {
    <#
    .SYNOPSIS
    Makes (or reuses) a fake Electron runtime archive and returns Path, Sha256 (lower case) and Length.
    .DESCRIPTION
    A real ZIP, larger than 50,000,000 bytes, built by .NET's ZipArchive with stored (uncompressed)
    entries and fixed time stamps, so the same parameters always give the same bytes:
        electron.exe                  a real small PE (Get-FakeElectronExecutable)
        resources/default_app.asar    a few hundred bytes
        LICENSE, version, locales/en-US.pak, chrome_100_percent.pak
        icudtl.dat                    incompressible deterministic bytes that make up the size
    With -Layout Nested every entry sits inside a folder "electron-v43.4.1-win32-x64/", so the
    archive has no electron.exe at its top level. -Layout NoResources leaves out the resources folder.
    The archive is cached as release/test/fake-runtime/fake-<layout>-<bulk>.zip; it is built in a
    temporary file and renamed into place, so parallel test processes can ask for it at once.
    The returned Path is the shared cached file: copy it before changing or deleting it.
    .PARAMETER BulkBytes
    Size of icudtl.dat. The archive is a few kilobytes larger. Default 50,100,000.
    #>
    [CmdletBinding()]
    param(
        [ValidateRange(1, 2000000000)]
        [long]$BulkBytes = 50100000,
        [ValidateSet('TopLevel', 'Nested', 'NoResources')]
        [string]$Layout = 'TopLevel'
    )
    $folder = Get-FakeRuntimeFolder
    $final = Join-Path -Path $folder -ChildPath ('fake-{0}-{1}.zip' -f $Layout.ToLowerInvariant(), $BulkBytes)
    if (-not (Test-Path -LiteralPath $final -PathType Leaf)) {
        $exe = Get-FakeElectronExecutable
        $temporary = $final + '.' + [guid]::NewGuid().ToString('N') + '.tmp'
        try {
            Write-FakeElectronArchive -Path $temporary -ExecutablePath $exe -BulkBytes $BulkBytes -Layout $Layout
            Publish-FakeRuntimeFile -Temporary $temporary -Final $final
        } finally {
            Remove-Item -LiteralPath $temporary -Force -ErrorAction SilentlyContinue
        }
    }
    $hash = (Get-FileHash -LiteralPath $final -Algorithm SHA256).Hash.ToLowerInvariant()
    return [pscustomobject]@{
        Path   = $final
        Sha256 = $hash
        Length = (Get-Item -LiteralPath $final).Length
    }
}

function Write-FakeElectronArchive {
    param([string]$Path, [string]$ExecutablePath, [long]$BulkBytes, [string]$Layout)
    Add-Type -AssemblyName System.IO.Compression
    $prefix = ''
    if ($Layout -eq 'Nested') {
        $prefix = 'electron-v43.4.1-win32-x64/'
    }
    $stamp = New-Object -TypeName System.DateTimeOffset -ArgumentList 2026, 1, 1, 0, 0, 0, ([TimeSpan]::Zero)
    $ascii = [Text.Encoding]::ASCII
    $file = [IO.File]::Open($Path, [IO.FileMode]::CreateNew)
    try {
        $zip = New-Object -TypeName System.IO.Compression.ZipArchive -ArgumentList $file, ([IO.Compression.ZipArchiveMode]::Create)
        try {
            $small = [ordered]@{
                'electron.exe'           = [IO.File]::ReadAllBytes($ExecutablePath)
                'LICENSE'                = $ascii.GetBytes("Copyright (c) fake runtime for tests`r`n")
                'version'                = $ascii.GetBytes('43.4.1')
                'locales/en-US.pak'      = $ascii.GetBytes('fake locale pack')
                'chrome_100_percent.pak' = $ascii.GetBytes('fake resource pack')
            }
            if ($Layout -ne 'NoResources') {
                $small['resources/default_app.asar'] = $ascii.GetBytes(('fake default app ' * 20))
            }
            foreach ($name in $small.Keys) {
                $entry = $zip.CreateEntry($prefix + $name, [IO.Compression.CompressionLevel]::NoCompression)
                $entry.LastWriteTime = $stamp
                $stream = $entry.Open()
                try {
                    $bytes = $small[$name]
                    $stream.Write($bytes, 0, $bytes.Length)
                } finally {
                    $stream.Dispose()
                }
            }
            $entry = $zip.CreateEntry($prefix + 'icudtl.dat', [IO.Compression.CompressionLevel]::NoCompression)
            $entry.LastWriteTime = $stamp
            $stream = $entry.Open()
            try {
                Write-FakeRuntimeNoise -Stream $stream -Count $BulkBytes
            } finally {
                $stream.Dispose()
            }
        } finally {
            $zip.Dispose()
        }
    } finally {
        $file.Dispose()
    }
}

function Write-FakeRuntimeNoise {
    # Deterministic bytes that do not compress: a seeded generator, one megabyte at a time.
    param([IO.Stream]$Stream, [long]$Count)
    $random = New-Object -TypeName System.Random -ArgumentList 4341
    $buffer = New-Object -TypeName byte[] -ArgumentList 1048576
    $left = $Count
    while ($left -gt 0) {
        $random.NextBytes($buffer)
        $piece = [int][Math]::Min([long]$buffer.Length, $left)
        $Stream.Write($buffer, 0, $piece)
        $left -= $piece
    }
}

function Start-FakeRuntimeServer {
    <#
    .SYNOPSIS
    Starts the fake download hosts on 127.0.0.1 with an ephemeral port; returns a server object.
    .DESCRIPTION
    Runs tests/ps/support/fake_runtime_server.py under /usr/bin/python3. The returned object has
    Port, BaseUrl (http://127.0.0.1:<port>), LogPath and Process. The first path segment of a
    request picks what the server does; the rest of the path is ignored, so any of these can
    stand in for a download host (see Get-FakeRuntimeServerUrl):
        archive        200 with the archive given in -ArchivePath
        file/<key>     200 with the file given in -ExtraFiles for <key>
        missing        404
        error-page     200 with a small HTML error page (a few hundred bytes)
        bytes/<n>      200 with exactly n bytes
        truncated      announces the archive's full length, sends half of it, then closes
        unsized        200 with the archive but no Content-Length (the body ends at close)
        redirect/<..>  302 to the rest of the path (for example redirect/archive)
    Every request is logged (Get-FakeRuntimeServerRequest). The server stops by itself when the
    test process ends; stop it earlier with Stop-FakeRuntimeServer.
    .PARAMETER ArchivePath
    The file served under "archive" (normally Get-FakeElectronArchive's Path).
    .PARAMETER ExtraFiles
    Hashtable of key -> file path, served under "file/<key>".
    #>
    [CmdletBinding()]
    param(
        [Parameter(Mandatory = $true)]
        [string]$ArchivePath,
        [hashtable]$ExtraFiles = @{}
    )
    $state = Join-Path -Path (Get-FakeRuntimeFolder) -ChildPath ('server-' + [guid]::NewGuid().ToString('N'))
    [void][IO.Directory]::CreateDirectory($state)
    $portFile = Join-Path -Path $state -ChildPath 'port'
    $logPath = Join-Path -Path $state -ChildPath 'requests.log'
    $info = New-Object -TypeName System.Diagnostics.ProcessStartInfo
    $info.FileName = $script:FakeRuntimePython
    $info.UseShellExecute = $false
    $arguments = @(
        (Join-Path -Path $script:FakeRuntimeSupportFolder -ChildPath 'fake_runtime_server.py'),
        '--archive', $ArchivePath, '--log', $logPath, '--port-file', $portFile,
        '--parent-pid', [string]$PID)
    foreach ($key in $ExtraFiles.Keys) {
        $arguments += @('--file', ('{0}={1}' -f $key, $ExtraFiles[$key]))
    }
    foreach ($argument in $arguments) {
        $info.ArgumentList.Add($argument)
    }
    $process = [System.Diagnostics.Process]::Start($info)
    $deadline = [DateTime]::UtcNow.AddSeconds(120)
    while (-not (Test-Path -LiteralPath $portFile -PathType Leaf)) {
        if ($process.HasExited) {
            throw "The fake runtime server ended at start with exit code $($process.ExitCode)."
        }
        if ([DateTime]::UtcNow -gt $deadline) {
            $process.Kill()
            throw 'The fake runtime server did not start within 120 seconds.'
        }
        Start-Sleep -Milliseconds 50
    }
    $port = [int]([IO.File]::ReadAllText($portFile).Trim())
    return [pscustomobject]@{
        Port        = $port
        BaseUrl     = 'http://127.0.0.1:{0}' -f $port
        LogPath     = $logPath
        StateFolder = $state
        Process     = $process
    }
}

function Get-FakeRuntimeServerUrl {
    <#
    .SYNOPSIS
    Returns the base URL of one server behaviour, e.g. http://127.0.0.1:41234/missing.
    .DESCRIPTION
    Use the result in place of a download host: the runtime script appends its download path to it.
    -Route is one of archive, missing, error-page, truncated, unsized, bytes/<n>, file/<key>,
    redirect/<route>.
    #>
    [CmdletBinding()]
    param(
        [Parameter(Mandatory = $true)]
        [psobject]$Server,
        [Parameter(Mandatory = $true)]
        [string]$Route
    )
    return '{0}/{1}' -f $Server.BaseUrl, $Route.Trim('/')
}

function Get-FakeRuntimeServerRequest {
    <#
    .SYNOPSIS
    Writes the requests the server answered so far, one string per request ("GET /archive/..."),
    oldest first; nothing when there were none. Wrap the call in @() to count them.
    #>
    [CmdletBinding()]
    param(
        [Parameter(Mandatory = $true)]
        [psobject]$Server
    )
    if (-not (Test-Path -LiteralPath $Server.LogPath -PathType Leaf)) {
        return
    }
    [IO.File]::ReadAllLines($Server.LogPath) | Where-Object { $_.Length -gt 0 }
}

function Stop-FakeRuntimeServer {
    <#
    .SYNOPSIS
    Stops a server started by Start-FakeRuntimeServer and removes its state folder. Safe to call twice.
    #>
    [CmdletBinding()]
    param(
        [Parameter(Mandatory = $true)]
        [AllowNull()]
        [psobject]$Server
    )
    if ($null -eq $Server) {
        return
    }
    if (-not $Server.Process.HasExited) {
        $Server.Process.Kill()
        [void]$Server.Process.WaitForExit(10000)
    }
    Remove-Item -LiteralPath $Server.StateFolder -Recurse -Force -ErrorAction SilentlyContinue
}

function Get-FakeRuntimeRefusedUrl {
    <#
    .SYNOPSIS
    Returns a base URL on 127.0.0.1 whose port had a listener a moment ago and has none now,
    so a request to it is refused at once.
    #>
    [CmdletBinding()]
    param()
    $listener = New-Object -TypeName System.Net.Sockets.TcpListener -ArgumentList ([Net.IPAddress]::Loopback), 0
    $listener.Start()
    $port = ([Net.IPEndPoint]$listener.LocalEndpoint).Port
    $listener.Stop()
    return 'http://127.0.0.1:{0}/refused' -f $port
}

function Copy-FakeElectronArchiveToCache {
    <#
    .SYNOPSIS
    Copies an archive into <TreeRoot>/.runtime/cache under the pinned archive name; returns the copy's path.
    .DESCRIPTION
    For tests that need a cached runtime archive and no download. The cache folder is created.
    .PARAMETER TreeRoot
    The source tree root (the folder that holds scripts/runtime.ps1).
    .PARAMETER ArchivePath
    The archive to copy, normally Get-FakeElectronArchive's Path.
    .PARAMETER ArchiveName
    File name in the cache; defaults to the pinned name electron-v43.4.1-win32-x64.zip.
    #>
    [CmdletBinding()]
    param(
        [Parameter(Mandatory = $true)]
        [string]$TreeRoot,
        [Parameter(Mandatory = $true)]
        [string]$ArchivePath,
        [string]$ArchiveName = $script:FakeRuntimeArchiveName
    )
    $cache = Join-Path -Path (Join-Path -Path $TreeRoot -ChildPath '.runtime') -ChildPath 'cache'
    [void][IO.Directory]::CreateDirectory($cache)
    $target = Join-Path -Path $cache -ChildPath $ArchiveName
    Copy-Item -LiteralPath $ArchivePath -Destination $target -Force
    return $target
}

function Set-FakeRuntimePin {
    <#
    .SYNOPSIS
    Rewrites the pinned archive hash and the two download hosts in a COPY of scripts/runtime.ps1.
    .DESCRIPTION
    Replaces, each exactly once, the constant lines
        $script:ElectronSha256 = '<64 hex>'
        $primaryHost = '<url>'
        $mirrorHost = '<url>'
    and throws if any of them is not found exactly once (so a changed runtime.ps1 is noticed
    instead of silently downloading from the real hosts). The runtime script appends its download
    paths to the host values, so pass base URLs such as Get-FakeRuntimeServerUrl's result or
    Get-FakeRuntimeRefusedUrl. Refuses to touch the repository's own scripts/runtime.ps1.
    Omitted values stay as they are. The file is written back as ASCII with its own line ends.
    .PARAMETER RuntimeScriptPath
    Path of the sandbox copy, e.g. <sandbox tree>/scripts/runtime.ps1.
    #>
    [CmdletBinding()]
    param(
        [Parameter(Mandatory = $true)]
        [string]$RuntimeScriptPath,
        [string]$Sha256,
        [string]$PrimaryUrl,
        [string]$MirrorUrl
    )
    $repositoryRoot = Split-Path -Parent -Path (Split-Path -Parent -Path (Split-Path -Parent -Path $script:FakeRuntimeSupportFolder))
    $repositoryCopy = [IO.Path]::GetFullPath((Join-Path -Path (Join-Path -Path $repositoryRoot -ChildPath 'scripts') -ChildPath 'runtime.ps1'))
    $target = [IO.Path]::GetFullPath($RuntimeScriptPath)
    if ([string]::Equals($target, $repositoryCopy, [StringComparison]::OrdinalIgnoreCase)) {
        throw "Set-FakeRuntimePin only rewrites a copy of runtime.ps1, not $target."
    }
    $text = [IO.File]::ReadAllText($target)
    $replacements = @()
    if ($PSBoundParameters.ContainsKey('Sha256')) {
        $replacements += , @('(?m)^(\s*\$script:ElectronSha256 = )''[^'']*''', $Sha256)
    }
    if ($PSBoundParameters.ContainsKey('PrimaryUrl')) {
        $replacements += , @('(?m)^(\s*\$primaryHost = )''[^'']*''', $PrimaryUrl)
    }
    if ($PSBoundParameters.ContainsKey('MirrorUrl')) {
        $replacements += , @('(?m)^(\s*\$mirrorHost = )''[^'']*''', $MirrorUrl)
    }
    foreach ($replacement in $replacements) {
        $pattern = $replacement[0]
        $value = $replacement[1]
        if ($value.Contains("'")) {
            throw "Set-FakeRuntimePin cannot write a value with a quote: $value"
        }
        $found = [regex]::Matches($text, $pattern).Count
        if ($found -ne 1) {
            throw "Set-FakeRuntimePin expected one line matching $pattern in $target, found $found."
        }
        $text = [regex]::Replace($text, $pattern, { param($match) $match.Groups[1].Value + "'" + $value + "'" })
    }
    [IO.File]::WriteAllText($target, $text, [Text.Encoding]::ASCII)
}

function New-FakeRuntimeSourceTree {
    <#
    .SYNOPSIS
    Makes a minimal source tree at Path (scripts/runtime.ps1 and the libraries it
    loads, copies of the repository's) and rewrites the copy's pin and hosts like
    Set-FakeRuntimePin. Returns the copy's path.
    .DESCRIPTION
    Enough for Ensure-ElectronRuntime, whose source tree root is the folder above scripts.
    Trees for whole-script runs need more files; copy them and call Set-FakeRuntimePin yourself.
    #>
    [CmdletBinding()]
    param(
        [Parameter(Mandatory = $true)]
        [string]$Path,
        [string]$Sha256,
        [string]$PrimaryUrl,
        [string]$MirrorUrl
    )
    $repositoryRoot = Split-Path -Parent -Path (Split-Path -Parent -Path (Split-Path -Parent -Path $script:FakeRuntimeSupportFolder))
    $scripts = Join-Path -Path $Path -ChildPath 'scripts'
    [void][IO.Directory]::CreateDirectory($scripts)
    $copy = Join-Path -Path $scripts -ChildPath 'runtime.ps1'
    Copy-Item -LiteralPath (Join-Path -Path (Join-Path -Path $repositoryRoot -ChildPath 'scripts') -ChildPath 'runtime.ps1') -Destination $copy -Force
    foreach ($library in @('installation-safety.ps1', 'file-system.ps1', 'native-methods.ps1', 'native', 'retried-moves.ps1',
            'disk-space.ps1', 'runtime-download.ps1')) {
        Copy-Item -LiteralPath (Join-Path -Path (Join-Path -Path $repositoryRoot -ChildPath 'scripts') -ChildPath $library) -Destination $scripts -Recurse -Force
    }
    $pin = @{ RuntimeScriptPath = $copy }
    foreach ($name in @('Sha256', 'PrimaryUrl', 'MirrorUrl')) {
        if ($PSBoundParameters.ContainsKey($name)) {
            $pin[$name] = $PSBoundParameters[$name]
        }
    }
    Set-FakeRuntimePin @pin
    return $copy
}

function Invoke-FakeRuntimeCapture {
    <#
    .SYNOPSIS
    Runs a script block and returns what it wrote: Output (objects), HostLines (Text, Color),
    Warnings (texts), Error (the terminating error's message, or $null) and ErrorRecord (the
    terminating error itself, or $null; some platform errors carry an empty message).
    .DESCRIPTION
    Host lines and warnings written before a terminating error are kept, so a test can check
    the whole console story of a failing call.
    #>
    [CmdletBinding()]
    param(
        [Parameter(Mandatory = $true)]
        [scriptblock]$ScriptBlock
    )
    $output = New-Object -TypeName System.Collections.ArrayList
    $hostLines = New-Object -TypeName System.Collections.ArrayList
    $warnings = New-Object -TypeName System.Collections.ArrayList
    $failure = $null
    $record = $null
    try {
        & $ScriptBlock 3>&1 6>&1 | ForEach-Object -Process {
            if ($_ -is [System.Management.Automation.WarningRecord]) {
                [void]$warnings.Add($_.Message)
            } elseif ($_ -is [System.Management.Automation.InformationRecord]) {
                $data = $_.MessageData
                if ($data -is [System.Management.Automation.HostInformationMessage]) {
                    [void]$hostLines.Add([pscustomobject]@{ Text = $data.Message; Color = $data.ForegroundColor })
                } else {
                    [void]$hostLines.Add([pscustomobject]@{ Text = [string]$data; Color = $null })
                }
            } else {
                [void]$output.Add($_)
            }
        }
    } catch {
        $record = $_
        $failure = $_.Exception.Message
    }
    return [pscustomobject]@{
        Output      = $output.ToArray()
        HostLines   = $hostLines.ToArray()
        Warnings    = [string[]]$warnings.ToArray()
        Error       = $failure
        ErrorRecord = $record
    }
}
