Set-StrictMode -Version Latest
# ctest-timeout: 900

# Every build runs package-portable.ps1 for real in a separate pwsh process, on a
# copy of the source tree under release/test, with the fake runtime archive in
# place of the download and the kernel32 test double in place of the resource
# update functions (the only part of the icon writer that cannot run here).

BeforeAll {
    . (Join-Path -Path $PSScriptRoot -ChildPath 'support/FakeRuntime.ps1')

    $script:repository = $env:TARNQUILL_ROOT
    $script:pwsh = $env:TARNQUILL_PWSH
    $script:workRoot = Join-Path -Path (Join-Path -Path $env:TARNQUILL_RELEASE -ChildPath 'test') -ChildPath ('package-portable-' + [guid]::NewGuid().ToString('N'))
    [void][IO.Directory]::CreateDirectory($script:workRoot)

    $script:appRootFiles = @('main.js', 'preload.js', 'package.json', 'NOTICE.txt', 'README.md',
        'PRIVACY_POLICY.md', 'TERMS_OF_USE.md', 'SECURITY.md', 'RELEASE_NOTES.md')
    $script:appFolders = @('assets', 'config', 'src')
    $script:imageScripts = @('uninstall-installed.ps1', 'installation-safety.ps1', 'file-system.ps1', 'native-methods.ps1',
        'setup-lock.ps1', 'exit-codes.ps1', 'consent.ps1', 'shell-integration.ps1', 'temporary-folders.ps1', 'apply-update.ps1', 'set-executable-icon.ps1',
        'native') + @(Get-ChildItem -LiteralPath (Join-Path -Path $script:repository -ChildPath 'scripts/native') -Filter '*.cs' |
            ForEach-Object -Process { 'native/' + $_.Name })
    $script:utf8 = New-Object -TypeName System.Text.UTF8Encoding -ArgumentList $false

    # The kernel32 double, built once for this file's runs by the icon writer's own harness.
    . (Join-Path -Path (Join-Path -Path $script:repository -ChildPath 'tests/native') -ChildPath 'IconWriterHarness.ps1')
    $script:doubleFolder = New-Kernel32DoubleLibrary -Sandbox $script:workRoot

    $script:archive = Get-FakeElectronArchive

    function New-SourceTreeCopy {
        # A copy of the repository's source tree, in a folder whose name holds a space
        # and brackets so that any path used as a wildcard pattern shows up. Folders
        # that must stay out of the image get small stand-ins.
        param([string]$Sandbox)
        $tree = Join-Path -Path $Sandbox -ChildPath 'source tree [v0.15.0]'
        $scripts = Join-Path -Path $tree -ChildPath 'scripts'
        [void][IO.Directory]::CreateDirectory($scripts)
        $rootFiles = $script:appRootFiles + @('START_HERE_RU.txt', 'START_HERE_EN.txt')
        foreach ($name in $rootFiles) {
            Copy-Item -LiteralPath (Join-Path -Path $script:repository -ChildPath $name) -Destination (Join-Path -Path $tree -ChildPath $name)
        }
        foreach ($name in $script:appFolders) {
            Copy-Item -LiteralPath (Join-Path -Path $script:repository -ChildPath $name) -Destination $tree -Recurse
        }
        foreach ($file in @(Get-ChildItem -LiteralPath (Join-Path -Path $script:repository -ChildPath 'scripts') -Filter '*.ps1' -File)) {
            Copy-Item -LiteralPath $file.FullName -Destination $scripts
        }
        Copy-Item -LiteralPath (Join-Path -Path $script:repository -ChildPath 'scripts/native') -Destination $scripts -Recurse
        foreach ($name in @('docs', 'installer', 'tests')) {
            $folder = Join-Path -Path $tree -ChildPath $name
            [void][IO.Directory]::CreateDirectory($folder)
            [IO.File]::WriteAllText((Join-Path -Path $folder -ChildPath 'kept-out.txt'), "not part of the image`r`n")
        }
        [IO.File]::WriteAllText((Join-Path -Path $tree -ChildPath 'INSTALL_AND_RUN.cmd'), "@echo off`r`n")
        return $tree
    }

    function New-BuildSandbox {
        # A sandbox with its own temporary, home and local application data folders,
        # a source tree copy whose runtime pin names the fake archive, and the
        # download hosts pointed at places that fail, so that any download shows.
        param([switch]$CachedArchive)
        $sandbox = Join-Path -Path $script:workRoot -ChildPath ([guid]::NewGuid().ToString('N'))
        foreach ($name in @('temp', 'home', 'localappdata', 'cwd')) {
            [void][IO.Directory]::CreateDirectory((Join-Path -Path $sandbox -ChildPath $name))
        }
        $tree = New-SourceTreeCopy -Sandbox $sandbox
        $refused = Get-FakeRuntimeRefusedUrl
        Set-FakeRuntimePin -RuntimeScriptPath (Join-Path -Path $tree -ChildPath 'scripts/runtime.ps1') -Sha256 $script:archive.Sha256 -PrimaryUrl $refused -MirrorUrl $refused
        if ($CachedArchive) {
            [void](Copy-FakeElectronArchiveToCache -TreeRoot $tree -ArchivePath $script:archive.Path)
        }
        return [pscustomobject]@{
            Root         = $sandbox
            Tree         = $tree
            Script       = Join-Path -Path $tree -ChildPath 'scripts/package-portable.ps1'
            DefaultImage = Join-Path -Path (Join-Path -Path $tree -ChildPath 'release') -ChildPath 'TARNQUILL'
            RuntimeCopy  = Join-Path -Path (Join-Path -Path $tree -ChildPath '.runtime') -ChildPath 'electron-v43.4.1-win32-x64'
            Kernel32Log  = Join-Path -Path $sandbox -ChildPath 'kernel32.log'
            Cwd          = Join-Path -Path $sandbox -ChildPath 'cwd'
        }
    }

    function Add-UnpackedRuntime {
        # Gives a sandbox tree a complete runtime folder, which the runtime library
        # returns as it is: no download, no hash, no unpacking.
        param([psobject]$Sandbox, [string]$ArchivePath = $script:archive.Path)
        Add-Type -AssemblyName System.IO.Compression.FileSystem
        [IO.Compression.ZipFile]::ExtractToDirectory($ArchivePath, $Sandbox.RuntimeCopy)
    }

    function Invoke-Pwsh {
        # Runs pwsh with the given arguments in the sandbox's environment; returns
        # ExitCode and Console (standard output and error together).
        param([psobject]$Sandbox, [string[]]$Arguments, [hashtable]$Environment = @{})
        $info = New-Object -TypeName System.Diagnostics.ProcessStartInfo
        $info.FileName = $script:pwsh
        $info.UseShellExecute = $false
        $info.RedirectStandardOutput = $true
        $info.RedirectStandardError = $true
        $info.WorkingDirectory = $Sandbox.Cwd
        foreach ($argument in @('-NoLogo', '-NoProfile', '-NonInteractive') + $Arguments) {
            $info.ArgumentList.Add($argument)
        }
        $info.Environment['NO_COLOR'] = '1'
        $info.Environment['LD_LIBRARY_PATH'] = $script:doubleFolder
        $info.Environment['KERNEL32_DOUBLE_LOG'] = $Sandbox.Kernel32Log
        $info.Environment['TEMP'] = Join-Path -Path $Sandbox.Root -ChildPath 'temp'
        $info.Environment['TMP'] = $info.Environment['TEMP']
        $info.Environment['TMPDIR'] = $info.Environment['TEMP']
        $info.Environment['HOME'] = Join-Path -Path $Sandbox.Root -ChildPath 'home'
        $info.Environment['LOCALAPPDATA'] = Join-Path -Path $Sandbox.Root -ChildPath 'localappdata'
        foreach ($key in $Environment.Keys) {
            $info.Environment[$key] = $Environment[$key]
        }
        $process = [System.Diagnostics.Process]::Start($info)
        $stdout = $process.StandardOutput.ReadToEndAsync()
        $stderr = $process.StandardError.ReadToEndAsync()
        if (-not $process.WaitForExit(300000)) {
            $process.Kill($true)
            throw 'package-portable.ps1 did not finish within 300 seconds.'
        }
        $process.WaitForExit()
        # pwsh wraps an error message over several lines, each continued after a '|';
        # joined again and without colour codes, the console reads as plain text.
        $text = [regex]::Replace($stdout.Result + $stderr.Result, '\x1b\[[0-9;]*[A-Za-z]', '')
        $text = [regex]::Replace($text, '\r?\n *\| ', ' ')
        return [pscustomobject]@{
            ExitCode = $process.ExitCode
            Console  = $text
        }
    }

    function Invoke-PortableBuildFile {
        # Runs the script as a file, as powershell.exe -File does for BUILD_PORTABLE.cmd.
        param([psobject]$Sandbox, [string[]]$ScriptArguments = @())
        Invoke-Pwsh -Sandbox $Sandbox -Arguments (@('-File', $Sandbox.Script) + $ScriptArguments)
    }

    function Invoke-PortableBuild {
        # Runs the script the way the install procedure does, from a calling script.
        # Adds to what Invoke-Pwsh returns: Output, each item of the output stream
        # with its type, and Messages, each host message with its colour.
        param([psobject]$Sandbox, [AllowNull()][string]$OutputDirectory = $null)
        $caller = Join-Path -Path $Sandbox.Root -ChildPath 'caller.ps1'
        $result = Join-Path -Path $Sandbox.Root -ChildPath 'result.json'
        [IO.File]::WriteAllText($caller, @'
Set-StrictMode -Version Latest
$ErrorActionPreference = 'Stop'
$arguments = @{}
if ($args.Count -eq 3) {
    $arguments['OutputDirectory'] = $args[2]
}
$output = @()
$messages = @()
# Add-Type loads what it compiled from memory: no file, not dynamic.
$compiled = { @([AppDomain]::CurrentDomain.GetAssemblies() | Where-Object -FilterScript { -not $_.IsDynamic -and -not $_.Location }).Count }
$before = & $compiled
foreach ($record in @(& $args[0] @arguments 6>&1)) {
    if ($record -is [System.Management.Automation.InformationRecord]) {
        $messages += @{ Text = [string]$record.MessageData; Color = [string]$record.MessageData.ForegroundColor }
    }
    else {
        $output += @{ Type = $record.GetType().FullName; Text = [string]$record }
    }
}
[IO.File]::WriteAllText($args[1], (ConvertTo-Json -InputObject @{ Output = $output; Messages = $messages; Compiles = (& $compiled) - $before } -Depth 4))
'@)
        $arguments = @('-File', $caller, $Sandbox.Script, $result)
        if ($null -ne $OutputDirectory) {
            $arguments += $OutputDirectory
        }
        $run = Invoke-Pwsh -Sandbox $Sandbox -Arguments $arguments
        $recorded = [pscustomobject]@{ Output = @(); Messages = @(); Compiles = $null }
        if (Test-Path -LiteralPath $result -PathType Leaf) {
            $recorded = ConvertFrom-Json -InputObject ([IO.File]::ReadAllText($result))
        }
        $run | Add-Member -NotePropertyName Compiles -NotePropertyValue $recorded.Compiles
        $run | Add-Member -NotePropertyName Output -NotePropertyValue @($recorded.Output)
        $run | Add-Member -NotePropertyName Messages -NotePropertyValue @($recorded.Messages) -PassThru
    }

    function Get-ShownText {
        # Everything a build run showed: its console and the host messages its caller recorded.
        param([psobject]$Run)
        $Run.Console + "`n" + (@($Run.Messages | ForEach-Object -Process { $_.Text }) -join "`n")
    }

    function Get-RelativeListing {
        # Every file and folder below a root, as relative paths with '/' separators in ordinal order.
        param([string]$Root)
        $full = [IO.Path]::GetFullPath($Root)
        [string[]]$paths = @(Get-ChildItem -LiteralPath $full -Recurse -Force | ForEach-Object -Process {
                [IO.Path]::GetRelativePath($full, $_.FullName).Replace('\', '/')
            })
        [Array]::Sort($paths, [StringComparer]::Ordinal)
        return $paths
    }

    function Get-Sha256 {
        param([string]$Path)
        (Get-FileHash -LiteralPath $Path -Algorithm SHA256).Hash.ToLowerInvariant()
    }

    function New-OldOutput {
        # An earlier output folder with content that no build made: a hidden file, a
        # read-only file, a nested folder and a link to a folder outside it.
        param([string]$Path, [string]$Outside)
        [void][IO.Directory]::CreateDirectory((Join-Path -Path $Path -ChildPath 'old/nested'))
        [IO.File]::WriteAllText((Join-Path -Path $Path -ChildPath 'old/nested/data.txt'), 'old')
        [IO.File]::WriteAllText((Join-Path -Path $Path -ChildPath '.hidden'), 'old')
        $readOnly = Join-Path -Path $Path -ChildPath 'read-only.txt'
        [IO.File]::WriteAllText($readOnly, 'old')
        Set-ItemProperty -LiteralPath $readOnly -Name IsReadOnly -Value $true
        [void][IO.Directory]::CreateDirectory($Outside)
        [IO.File]::WriteAllText((Join-Path -Path $Outside -ChildPath 'keep.txt'), 'not ours')
        [void](New-Item -ItemType SymbolicLink -Path (Join-Path -Path $Path -ChildPath 'link-to-outside') -Target $Outside)
    }
}

AfterAll {
    if (Test-Path -LiteralPath $script:workRoot) {
        Remove-Item -LiteralPath $script:workRoot -Recurse -Force
    }
}

Describe 'package-portable.ps1' {
    Context 'a build with no arguments from a tree whose runtime archive is in the cache' {
        BeforeAll {
            $script:built = New-BuildSandbox -CachedArchive
            $script:startedAt = [DateTime]::Now.AddSeconds(-1)
            $script:run = Invoke-PortableBuild -Sandbox $script:built
            $script:finishedAt = [DateTime]::Now.AddSeconds(1)
            $script:image = $script:built.DefaultImage
        }

        It 'succeeds and returns exactly one string, the absolute path of release/TARNQUILL under the tree' {
            $script:run.ExitCode | Should -Be 0 -Because $script:run.Console
            $script:run.Output.Count | Should -Be 1
            $script:run.Output[0].Type | Should -Be 'System.String'
            $script:run.Output[0].Text | Should -BeExactly $script:image
        }

        It 'compiles its C# once, for the free-space reading and the icon writer together' {
            $script:run.Compiles | Should -Be 1
        }

        It 'shows its messages, in colour, on the console host and not on the output stream' {
            $shown = @($script:run.Messages | ForEach-Object -Process { $_.Color + ': ' + $_.Text })
            $shown | Should -Contain 'Green: Runtime integrity verified.'
            $shown | Should -Contain 'Green: TARNQUILL multi-resolution icon embedded into executable and verified.'
            $copying = [array]::IndexOf($shown, 'Cyan: Copying verified application runtime...')
            $created = [array]::IndexOf($shown, 'Green: Portable build created: ' + $script:image)
            $copying | Should -BeGreaterOrEqual 0
            $created | Should -Be ($shown.Count - 1)
            $script:run.Output.Count | Should -Be 1
        }

        It 'holds exactly the runtime, TARNQUILL.exe, the application files, the two root notes and VERSION.txt' {
            Add-Type -AssemblyName System.IO.Compression.FileSystem
            $zip = [IO.Compression.ZipFile]::OpenRead($script:archive.Path)
            try {
                $runtimeEntries = @($zip.Entries | ForEach-Object -Process { $_.FullName.TrimEnd('/') })
            }
            finally {
                $zip.Dispose()
            }
            $expected = New-Object -TypeName 'System.Collections.Generic.SortedSet[string]' -ArgumentList ([StringComparer]::Ordinal)
            foreach ($entry in $runtimeEntries) {
                $parts = $entry.Split('/')
                for ($i = 1; $i -le $parts.Count; $i++) {
                    [void]$expected.Add(($parts[0..($i - 1)] -join '/'))
                }
            }
            [void]$expected.Remove('electron.exe')
            [void]$expected.Remove('resources/default_app.asar')
            foreach ($name in @('TARNQUILL.exe', 'START_HERE_RU.txt', 'README.md', 'VERSION.txt', 'resources', 'resources/app', 'resources/app/scripts')) {
                [void]$expected.Add($name)
            }
            foreach ($name in $script:appRootFiles) {
                [void]$expected.Add('resources/app/' + $name)
            }
            foreach ($name in $script:appFolders) {
                [void]$expected.Add('resources/app/' + $name)
                foreach ($path in (Get-RelativeListing -Root (Join-Path -Path $script:built.Tree -ChildPath $name))) {
                    [void]$expected.Add('resources/app/' + $name + '/' + $path)
                }
            }
            foreach ($name in $script:imageScripts) {
                [void]$expected.Add('resources/app/scripts/' + $name)
            }
            (Get-RelativeListing -Root $script:image) -join "`n" | Should -BeExactly (@($expected) -join "`n")
        }

        It 'carries the application files, scripts and notes byte for byte from the tree' {
            $pairs = @()
            foreach ($name in $script:appRootFiles) {
                $pairs += , @($name, ('resources/app/' + $name))
            }
            foreach ($name in $script:appFolders) {
                foreach ($path in (Get-RelativeListing -Root (Join-Path -Path $script:built.Tree -ChildPath $name))) {
                    $pairs += , @(($name + '/' + $path), ('resources/app/' + $name + '/' + $path))
                }
            }
            foreach ($name in $script:imageScripts) {
                $pairs += , @(('scripts/' + $name), ('resources/app/scripts/' + $name))
            }
            $pairs += , @('START_HERE_RU.txt', 'START_HERE_RU.txt')
            $pairs += , @('README.md', 'README.md')
            foreach ($pair in $pairs) {
                $source = Join-Path -Path $script:built.Tree -ChildPath $pair[0]
                if (Test-Path -LiteralPath $source -PathType Container) {
                    continue
                }
                Get-Sha256 -Path (Join-Path -Path $script:image -ChildPath $pair[1]) | Should -Be (Get-Sha256 -Path $source) -Because $pair[1]
            }
            $pairs.Count | Should -BeGreaterThan 20
        }

        It 'carries the other runtime files unchanged and leaves the runtime folder as it was' {
            foreach ($name in @('icudtl.dat', 'LICENSE', 'locales/en-US.pak')) {
                Get-Sha256 -Path (Join-Path -Path $script:image -ChildPath $name) |
                    Should -Be (Get-Sha256 -Path (Join-Path -Path $script:built.RuntimeCopy -ChildPath $name))
            }
            Test-Path -LiteralPath (Join-Path -Path $script:built.RuntimeCopy -ChildPath 'electron.exe') -PathType Leaf | Should -BeTrue
            Test-Path -LiteralPath (Join-Path -Path $script:built.RuntimeCopy -ChildPath 'resources/default_app.asar') -PathType Leaf | Should -BeTrue
        }

        It 'makes TARNQUILL.exe from electron.exe and writes the tree''s icon into it' {
            $exe = [IO.File]::ReadAllBytes((Join-Path -Path $script:image -ChildPath 'TARNQUILL.exe'))
            $runtimeExe = [IO.File]::ReadAllBytes((Join-Path -Path $script:built.RuntimeCopy -ChildPath 'electron.exe'))
            # The double commits by appending to the file, so the runtime executable is its prefix.
            $exe.Length | Should -BeGreaterThan $runtimeExe.Length
            [Convert]::ToBase64String($exe, 0, $runtimeExe.Length) | Should -BeExactly ([Convert]::ToBase64String($runtimeExe))

            $calls = @([IO.File]::ReadAllLines($script:built.Kernel32Log))
            $exePath = Join-Path -Path $script:image -ChildPath 'TARNQUILL.exe'
            $calls[0] | Should -BeExactly ('BeginUpdateResourceW path=' + $exePath + ' delete=0 result=ok')
            $ico = [IO.File]::ReadAllBytes((Join-Path -Path $script:built.Tree -ChildPath 'assets/tarnquill.ico'))
            $images = [BitConverter]::ToUInt16($ico, 4)
            @($calls | Where-Object -FilterScript { $_ -like 'UpdateResourceW type=3 *result=ok' }).Count | Should -Be (5 * $images)
            @($calls | Where-Object -FilterScript { $_ -like 'UpdateResourceW type=14 *result=ok' }).Count | Should -Be 15
            $calls[-1] | Should -BeExactly 'EndUpdateResourceW discard=0 result=ok'
        }

        It 'writes VERSION.txt as UTF-8 with a byte-order mark and four lines each ended by CR LF' {
            $bytes = [IO.File]::ReadAllBytes((Join-Path -Path $script:image -ChildPath 'VERSION.txt'))
            $bytes[0..2] | Should -Be @(0xEF, 0xBB, 0xBF)
            $text = $script:utf8.GetString($bytes, 3, $bytes.Length - 3)
            $text | Should -Match "\r\n\z"
            ($text -replace "\r\n", '') | Should -Not -Match "[\r\n]"
            $lines = $text.Substring(0, $text.Length - 2) -split "\r\n"
            $lines.Count | Should -Be 4
            $version = (ConvertFrom-Json -InputObject ([IO.File]::ReadAllText((Join-Path -Path $script:built.Tree -ChildPath 'package.json')))).version
            $lines[0] | Should -BeExactly ('TARNQUILL ' + $version)
            $lines[1] | Should -BeExactly 'Electron runtime 43.4.1'
            $lines[2] | Should -Match '^Built \d{4}-\d{2}-\d{2} \d{2}:\d{2}:\d{2}$'
            $built = [DateTime]::ParseExact($lines[2].Substring(6), 'yyyy-MM-dd HH:mm:ss', [Globalization.CultureInfo]::InvariantCulture)
            $built | Should -BeGreaterOrEqual $script:startedAt.AddTicks(-($script:startedAt.Ticks % 10000000))
            $built | Should -BeLessOrEqual $script:finishedAt
            $lines[3] | Should -BeExactly 'Executable icon: embedded multi-resolution TARNQUILL TQ mark'
        }
    }

    Context 'where the image goes' {
        BeforeEach {
            $script:box = New-BuildSandbox
            Add-UnpackedRuntime -Sandbox $script:box
        }

        AfterEach {
            Remove-Item -LiteralPath $script:box.Root -Recurse -Force
        }

        It 'builds into release/TARNQUILL under the tree for an -OutputDirectory of <Name>' -ForEach @(
            @{ Name = 'empty text'; Value = '' }
            @{ Name = 'white space'; Value = " `t  " }
        ) {
            $run = Invoke-PortableBuild -Sandbox $script:box -OutputDirectory $Value
            $run.ExitCode | Should -Be 0 -Because $run.Console
            $run.Output.Count | Should -Be 1
            $run.Output[0].Text | Should -BeExactly $script:box.DefaultImage
            Test-Path -LiteralPath (Join-Path -Path $script:box.DefaultImage -ChildPath 'TARNQUILL.exe') -PathType Leaf | Should -BeTrue
        }

        It 'resolves a relative -OutputDirectory against the process''s current directory and reports it in full' {
            $relative = Join-Path -Path 'out' -ChildPath 'image'
            $expected = Join-Path -Path $script:box.Cwd -ChildPath $relative
            $run = Invoke-PortableBuild -Sandbox $script:box -OutputDirectory $relative
            $run.ExitCode | Should -Be 0 -Because $run.Console
            $run.Output[0].Text | Should -BeExactly $expected
            @($run.Messages | ForEach-Object -Process { $_.Text }) | Should -Contain ('Portable build created: ' + $expected)
            Test-Path -LiteralPath (Join-Path -Path $expected -ChildPath 'VERSION.txt') -PathType Leaf | Should -BeTrue
            Test-Path -LiteralPath (Join-Path -Path $script:box.Tree -ChildPath 'scripts/out') | Should -BeFalse
            Test-Path -LiteralPath (Join-Path -Path $script:box.Tree -ChildPath 'release') | Should -BeFalse
        }

        It 'empties an existing output folder completely, removing links without entering them' {
            $outside = Join-Path -Path $script:box.Root -ChildPath 'outside'
            New-OldOutput -Path $script:box.DefaultImage -Outside $outside
            $run = Invoke-PortableBuild -Sandbox $script:box
            $run.ExitCode | Should -Be 0 -Because $run.Console
            $listing = Get-RelativeListing -Root $script:box.DefaultImage
            $listing | Should -Contain 'TARNQUILL.exe'
            foreach ($old in @('old', '.hidden', 'read-only.txt', 'link-to-outside')) {
                $listing | Should -Not -Contain $old
            }
            [IO.File]::ReadAllText((Join-Path -Path $outside -ChildPath 'keep.txt')) | Should -BeExactly 'not ours'
        }

        It 'replaces an output path that is a link by a folder, and leaves the link''s target alone' {
            $outside = Join-Path -Path $script:box.Root -ChildPath 'outside'
            [void][IO.Directory]::CreateDirectory($outside)
            [IO.File]::WriteAllText((Join-Path -Path $outside -ChildPath 'keep.txt'), 'not ours')
            $image = Join-Path -Path $script:box.Root -ChildPath 'linked image'
            [void](New-Item -ItemType SymbolicLink -Path $image -Target $outside)
            $run = Invoke-PortableBuild -Sandbox $script:box -OutputDirectory $image
            $run.ExitCode | Should -Be 0 -Because $run.Console
            (Get-Item -LiteralPath $image -Force).LinkType | Should -BeNullOrEmpty
            Test-Path -LiteralPath (Join-Path -Path $image -ChildPath 'TARNQUILL.exe') -PathType Leaf | Should -BeTrue
            @(Get-RelativeListing -Root $outside) | Should -Be @('keep.txt')
        }

        It 'deletes a file at the output path and builds a folder of that name' {
            $image = Join-Path -Path $script:box.Root -ChildPath 'image.bin'
            [IO.File]::WriteAllText($image, 'a file, not a folder')
            $run = Invoke-PortableBuild -Sandbox $script:box -OutputDirectory $image
            $run.ExitCode | Should -Be 0 -Because $run.Console
            Test-Path -LiteralPath $image -PathType Container | Should -BeTrue
            Test-Path -LiteralPath (Join-Path -Path $image -ChildPath 'TARNQUILL.exe') -PathType Leaf | Should -BeTrue
        }

        It 'leaves START_HERE_RU.txt out of the image, without a message, when the tree has none' {
            Remove-Item -LiteralPath (Join-Path -Path $script:box.Tree -ChildPath 'START_HERE_RU.txt')
            $run = Invoke-PortableBuild -Sandbox $script:box
            $run.ExitCode | Should -Be 0 -Because $run.Console
            (Get-ShownText -Run $run) | Should -Not -Match 'START_HERE'
            $listing = Get-RelativeListing -Root $script:box.DefaultImage
            $listing | Should -Not -Contain 'START_HERE_RU.txt'
            $listing | Should -Contain 'README.md'
            $listing | Should -Contain 'VERSION.txt'
        }

        It 'replaces a TARNQUILL.exe and a VERSION.txt that the runtime brought, and leaves the runtime folder as it was' {
            $strayExe = Join-Path -Path $script:box.RuntimeCopy -ChildPath 'TARNQUILL.exe'
            $strayNote = Join-Path -Path $script:box.RuntimeCopy -ChildPath 'VERSION.txt'
            [IO.File]::WriteAllText($strayExe, 'not the product executable')
            [IO.File]::WriteAllText($strayNote, "an older note`r`nwith more`r`nthan four`r`nlines`r`nin it`r`n")
            $run = Invoke-PortableBuild -Sandbox $script:box
            $run.ExitCode | Should -Be 0 -Because $run.Console

            $exe = [IO.File]::ReadAllBytes((Join-Path -Path $script:box.DefaultImage -ChildPath 'TARNQUILL.exe'))
            $runtimeExe = [IO.File]::ReadAllBytes((Join-Path -Path $script:box.RuntimeCopy -ChildPath 'electron.exe'))
            # The kernel32 double commits by appending, so the renamed runtime executable is the prefix.
            [Convert]::ToBase64String($exe, 0, $runtimeExe.Length) | Should -BeExactly ([Convert]::ToBase64String($runtimeExe))
            $note = [IO.File]::ReadAllText((Join-Path -Path $script:box.DefaultImage -ChildPath 'VERSION.txt'))
            ($note -split "`r`n").Count | Should -Be 5
            $note | Should -Match '^TARNQUILL \d+\.\d+\.\d+\r\nElectron runtime 43\.4\.1\r\n'
            [IO.File]::ReadAllText($strayExe) | Should -BeExactly 'not the product executable'
            Test-Path -LiteralPath (Join-Path -Path $script:box.RuntimeCopy -ChildPath 'electron.exe') -PathType Leaf | Should -BeTrue
        }

        It 'carries on without a message when the runtime has no default_app.asar' {
            $bare = Get-FakeElectronArchive -Layout NoResources
            $box = $script:box
            Remove-Item -LiteralPath $box.RuntimeCopy -Recurse -Force
            Set-FakeRuntimePin -RuntimeScriptPath (Join-Path -Path $box.Tree -ChildPath 'scripts/runtime.ps1') -Sha256 $bare.Sha256
            [void](Copy-FakeElectronArchiveToCache -TreeRoot $box.Tree -ArchivePath $bare.Path)
            $run = Invoke-PortableBuild -Sandbox $box
            $run.ExitCode | Should -Be 0 -Because $run.Console
            (Get-ShownText -Run $run) | Should -Not -Match 'default_app'
            $listing = Get-RelativeListing -Root $box.DefaultImage
            $listing | Should -Contain 'resources/app/package.json'
            $listing | Should -Not -Contain 'resources/default_app.asar'
        }
    }

    Context 'a build that fails' {
        BeforeEach {
            $script:box = New-BuildSandbox
        }

        AfterEach {
            Remove-Item -LiteralPath $script:box.Root -Recurse -Force
        }

        It 'stops at the icon step for an invalid ICO: TARNQUILL.exe exists, VERSION.txt and the root notes do not' {
            Add-UnpackedRuntime -Sandbox $script:box
            $ico = Join-Path -Path $script:box.Tree -ChildPath 'assets/tarnquill.ico'
            $bytes = [IO.File]::ReadAllBytes($ico)
            $bytes[2] = 2
            [IO.File]::WriteAllBytes($ico, $bytes)
            $run = Invoke-PortableBuildFile -Sandbox $script:box
            $run.ExitCode | Should -Be 1
            $run.Console | Should -Match ([regex]::Escape('The supplied file is not a valid Windows ICO file.'))
            $run.Console | Should -Not -Match 'Portable build created'
            $listing = Get-RelativeListing -Root $script:box.DefaultImage
            $listing | Should -Contain 'TARNQUILL.exe'
            $listing | Should -Contain 'resources/app/scripts/set-executable-icon.ps1'
            foreach ($absent in @('electron.exe', 'VERSION.txt', 'README.md', 'START_HERE_RU.txt')) {
                $listing | Should -Not -Contain $absent
            }
        }

        It 'leaves an earlier output folder untouched when the download fails' {
            $server = Start-FakeRuntimeServer -ArchivePath $script:archive.Path
            try {
                Set-FakeRuntimePin -RuntimeScriptPath (Join-Path -Path $script:box.Tree -ChildPath 'scripts/runtime.ps1') -PrimaryUrl (Get-FakeRuntimeServerUrl -Server $server -Route 'missing') -MirrorUrl (Get-FakeRuntimeServerUrl -Server $server -Route 'error-page')
                New-OldOutput -Path $script:box.DefaultImage -Outside (Join-Path -Path $script:box.Root -ChildPath 'outside')
                $before = Get-RelativeListing -Root $script:box.DefaultImage
                $run = Invoke-PortableBuildFile -Sandbox $script:box
                $run.ExitCode | Should -Be 1
                $run.Console | Should -Match ([regex]::Escape('Could not download the Electron runtime. Last error: The downloaded file is unexpectedly small.'))
                $run.Console | Should -Not -Match ([regex]::Escape('Copying verified application runtime...'))
                @(Get-FakeRuntimeServerRequest -Server $server).Count | Should -Be 2
                $before | Should -Contain 'old/nested/data.txt'
            }
            finally {
                Stop-FakeRuntimeServer -Server $server
            }
            @(Get-RelativeListing -Root $script:box.DefaultImage) | Should -Be $before
            [IO.File]::ReadAllText((Join-Path -Path $script:box.DefaultImage -ChildPath 'old/nested/data.txt')) | Should -BeExactly 'old'
        }

        It 'stops before the runtime and the output folder are touched when package.json has no version' {
            $package = Join-Path -Path $script:box.Tree -ChildPath 'package.json'
            [IO.File]::WriteAllText($package, '{ "name": "tarnquill", "productName": "TARNQUILL" }')
            New-OldOutput -Path $script:box.DefaultImage -Outside (Join-Path -Path $script:box.Root -ChildPath 'outside')
            $before = Get-RelativeListing -Root $script:box.DefaultImage
            $run = Invoke-PortableBuildFile -Sandbox $script:box
            $run.ExitCode | Should -Be 1
            $run.Console | Should -Match 'version'
            Test-Path -LiteralPath (Join-Path -Path $script:box.Tree -ChildPath '.runtime') | Should -BeFalse
            @(Get-RelativeListing -Root $script:box.DefaultImage) | Should -Be $before
        }

        It 'refuses an output folder that <Name>, and deletes nothing' -ForEach @(
            @{ Name = 'is the source tree root'; Relative = '.' }
            @{ Name = 'holds the source tree'; Relative = '..' }
            @{ Name = 'is an application file'; Relative = 'main.js' }
            @{ Name = 'lies inside a copied folder'; Relative = 'assets/image' }
            @{ Name = 'lies inside the runtime folder'; Relative = '.runtime/electron-v43.4.1-win32-x64/image' }
        ) {
            Add-UnpackedRuntime -Sandbox $script:box
            $before = Get-RelativeListing -Root $script:box.Tree
            $run = Invoke-PortableBuildFile -Sandbox $script:box -ScriptArguments @('-OutputDirectory', (Join-Path -Path $script:box.Tree -ChildPath $Relative))
            $run.ExitCode | Should -Be 1
            $run.Console | Should -Match ([regex]::Escape('The output folder overlaps the source tree or the runtime that the build copies from: '))
            $run.Console | Should -Match ([regex]::Escape('Nothing was deleted.'))
            @(Get-RelativeListing -Root $script:box.Tree) | Should -Be $before
        }

        It 'names a missing application file and writes neither TARNQUILL.exe nor VERSION.txt' {
            Add-UnpackedRuntime -Sandbox $script:box
            Remove-Item -LiteralPath (Join-Path -Path $script:box.Tree -ChildPath 'RELEASE_NOTES.md')
            $run = Invoke-PortableBuildFile -Sandbox $script:box
            $run.ExitCode | Should -Be 1
            $run.Console | Should -Match 'RELEASE_NOTES\.md'
            $listing = Get-RelativeListing -Root $script:box.DefaultImage
            $listing | Should -Contain 'electron.exe'
            $listing | Should -Not -Contain 'TARNQUILL.exe'
            $listing | Should -Not -Contain 'VERSION.txt'
        }
    }
}
