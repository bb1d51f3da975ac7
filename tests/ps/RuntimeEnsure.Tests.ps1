Set-StrictMode -Version Latest

# Ensure-ElectronRuntime on sandbox source trees: a copy of scripts/runtime.ps1 whose pin is the
# fake archive's digest and whose hosts are the fake runtime server on 127.0.0.1.

BeforeAll {
    . (Join-Path -Path $PSScriptRoot -ChildPath 'support/FakeRuntime.ps1')
    # The kernel32 double answers the free-space and volume calls from the Linux file system, so
    # the room checks run for real here.
    . (Join-Path -Path $PSScriptRoot -ChildPath 'support/InstallProcedure.ps1')
    $script:archive = Get-FakeElectronArchive
    $script:nested = Get-FakeElectronArchive -Layout Nested
    $script:server = Start-FakeRuntimeServer -ArchivePath $script:archive.Path
    $script:scratch = Join-Path -Path (Join-Path -Path $env:TARNQUILL_RELEASE -ChildPath 'test') -ChildPath ('runtime-ensure-' + [guid]::NewGuid().ToString('N'))
    [void][IO.Directory]::CreateDirectory($script:scratch)
    [void](Initialize-InstallKernel32Double -Folder $script:scratch)
    $script:savedEnvironment = @{ LOCALAPPDATA = $env:LOCALAPPDATA; TEMP = $env:TEMP; HOME = $env:HOME }

    function New-RuntimeTree {
        # A source tree (folder name with a space and brackets) whose runtime.ps1 is pinned to
        # Sha256 and downloads from the given fake hosts. Returns the runtime.ps1 copy.
        param([string]$Name, [string]$Sha256, [string]$Primary, [string]$Mirror)
        $tree = Join-Path -Path $script:scratch -ChildPath ($Name + ' [tree]')
        return New-FakeRuntimeSourceTree -Path $tree -Sha256 $Sha256 -PrimaryUrl $Primary -MirrorUrl $Mirror
    }

    function Get-HostText {
        param([psobject]$Result)
        return @($Result.HostLines | ForEach-Object { $_.Text })
    }

    function Get-RuntimeState {
        # What is under .runtime, as relative paths with / separators, sorted.
        param([string]$Tree)
        $base = Join-Path -Path $Tree -ChildPath '.runtime'
        if (-not (Test-Path -LiteralPath $base)) {
            return @()
        }
        $prefix = (Resolve-Path -LiteralPath $base).ProviderPath.TrimEnd('/') + '/'
        return @(Get-ChildItem -LiteralPath $base -Recurse -Force | ForEach-Object { $_.FullName.Substring($prefix.Length) } | Sort-Object)
    }

    function Get-UnpackedTree {
        # Every folder and file below Folder, one line each, sorted: "D <relative path>" or
        # "F <relative path> <SHA-256> <last write time, UTC ticks>".
        param([string]$Folder)
        $prefix = [IO.Path]::GetFullPath($Folder).TrimEnd('/') + '/'
        $lines = foreach ($item in @(Get-ChildItem -LiteralPath $Folder -Recurse -Force)) {
            $relative = $item.FullName.Substring($prefix.Length)
            if ($item.PSIsContainer) {
                'D ' + $relative
            } else {
                'F {0} {1} {2}' -f $relative, (Get-FileHash -LiteralPath $item.FullName -Algorithm SHA256).Hash, $item.LastWriteTimeUtc.Ticks
            }
        }
        return @($lines | Sort-Object -CaseSensitive)
    }

    function New-TestZip {
        # A ZIP archive at Path with the given members: a name ending in / is a folder entry;
        # each file holds its own name, stamped with a fixed time of its own.
        param([string]$Path, [string[]]$Member)
        $stream = [IO.File]::Open($Path, [IO.FileMode]::CreateNew)
        $zip = New-Object -TypeName System.IO.Compression.ZipArchive -ArgumentList $stream, ([IO.Compression.ZipArchiveMode]::Create)
        try {
            $minute = 0
            foreach ($name in $Member) {
                $entry = $zip.CreateEntry($name)
                $entry.LastWriteTime = [DateTimeOffset]::new(2021, 3, 4, 5, $minute++ % 60, 6, [TimeSpan]::Zero)
                if (-not $name.EndsWith('/')) {
                    $writer = New-Object -TypeName System.IO.StreamWriter -ArgumentList $entry.Open()
                    $writer.Write('content of ' + $name)
                    $writer.Dispose()
                }
            }
        } finally {
            $zip.Dispose()
            $stream.Dispose()
        }
        return $Path
    }

    function Expand-TestZip {
        # Expand-ElectronArchive as Ensure-ElectronRuntime calls it: through a handle that refuses writers.
        param([string]$Path, [string]$Destination)
        $stream = New-Object -TypeName IO.FileStream -ArgumentList $Path, ([IO.FileMode]::Open), ([IO.FileAccess]::Read), ([IO.FileShare]::Read)
        $zip = New-Object -TypeName System.IO.Compression.ZipArchive -ArgumentList $stream, ([IO.Compression.ZipArchiveMode]::Read), $true
        try {
            Expand-ElectronArchive -Archive $zip -Destination $Destination
        } finally {
            $zip.Dispose()
            $stream.Dispose()
        }
    }

    function Mount-TestDisk {
        # A real small file system at Path; $false when mounting is refused (not root).
        param([string]$Path, [int]$Megabytes)
        [void][IO.Directory]::CreateDirectory($Path)
        $null = & mount -t tmpfs -o "size=${Megabytes}m" tmpfs $Path 2>&1
        return ($LASTEXITCODE -eq 0)
    }

    $script:refused = Get-FakeRuntimeRefusedUrl
    $script:runtimeName = 'electron-v43.4.1-win32-x64'
    $script:cachedName = 'cache/electron-v43.4.1-win32-x64.zip'
}

AfterAll {
    Stop-FakeRuntimeServer -Server $script:server
    foreach ($name in $script:savedEnvironment.Keys) {
        [Environment]::SetEnvironmentVariable($name, $script:savedEnvironment[$name])
    }
    Remove-Item -LiteralPath $script:scratch -Recurse -Force -ErrorAction SilentlyContinue
}

Describe 'Ensure-ElectronRuntime' {
    BeforeEach {
        # The runtime touches none of these; a sandbox keeps any mistake away from the machine's folders.
        $sandboxHome = Join-Path -Path $script:scratch -ChildPath 'home'
        foreach ($name in @('LOCALAPPDATA', 'TEMP', 'HOME')) {
            $folder = Join-Path -Path $sandboxHome -ChildPath $name
            [void][IO.Directory]::CreateDirectory($folder)
            [Environment]::SetEnvironmentVariable($name, $folder)
        }
    }

    Context 'a fresh source tree' {
        BeforeAll {
            $copy = New-RuntimeTree -Name 'fresh' -Sha256 $script:archive.Sha256 -Primary (Get-FakeRuntimeServerUrl -Server $script:server -Route 'archive') -Mirror $script:refused
            . $copy
            $script:tree = Split-Path -Parent -Path (Split-Path -Parent -Path $copy)
        }

        It 'downloads, verifies and unpacks the archive into the runtime folder and keeps it in the cache' {
            $result = Invoke-FakeRuntimeCapture { Ensure-ElectronRuntime }

            $result.Error | Should -BeNullOrEmpty
            $runtime = Join-Path -Path (Join-Path -Path $script:tree -ChildPath '.runtime') -ChildPath $script:runtimeName
            $result.Output | Should -Be @($runtime)
            Get-HostText -Result $result | Should -Be @(
                ('Downloading Electron runtime from ' + (Get-ElectronDownloadUrls)[0]),
                'Runtime integrity verified.')
            [string]$result.HostLines[1].Color | Should -Be 'Green'
            $result.Warnings | Should -BeNullOrEmpty

            # Every archive entry, read by .NET's own ZIP reader, is in the runtime folder, and nothing else.
            $zip = [IO.Compression.ZipFile]::OpenRead($script:archive.Path)
            try {
                $entries = @($zip.Entries | ForEach-Object { $_.FullName })
            } finally {
                $zip.Dispose()
            }
            $files = @(Get-RuntimeState -Tree $script:tree | Where-Object { $_ -like ($script:runtimeName + '/*') } |
                    Where-Object { Test-Path -LiteralPath (Join-Path -Path (Join-Path -Path $script:tree -ChildPath '.runtime') -ChildPath $_) -PathType Leaf } |
                    ForEach-Object { $_.Substring($script:runtimeName.Length + 1) })
            ($files | Sort-Object) | Should -Be ($entries | Sort-Object)
            (Get-FileHash -LiteralPath (Join-Path -Path $runtime -ChildPath 'electron.exe')).Hash | Should -Be (Get-FileHash -LiteralPath (Get-FakeElectronExecutable)).Hash
            (Get-FileHash -LiteralPath (Join-Path -Path (Join-Path -Path $script:tree -ChildPath '.runtime') -ChildPath $script:cachedName)).Hash | Should -Be $script:archive.Sha256
            @(Get-RuntimeState -Tree $script:tree | Where-Object { $_ -like 'extract-*' }) | Should -BeNullOrEmpty
        }

        It 'returns the runtime folder of the earlier call at once, without any request' {
            $before = @(Get-FakeRuntimeServerRequest -Server $script:server).Count
            $result = Invoke-FakeRuntimeCapture { Ensure-ElectronRuntime }

            $result.Error | Should -BeNullOrEmpty
            $result.Output | Should -Be @(Get-ElectronRuntimePath)
            $result.HostLines | Should -BeNullOrEmpty
            @(Get-FakeRuntimeServerRequest -Server $script:server).Count | Should -Be $before
        }
    }

    Context 'a source tree whose download sources are unreachable' {
        BeforeAll {
            $copy = New-RuntimeTree -Name 'offline' -Sha256 $script:archive.Sha256 -Primary $script:refused -Mirror $script:refused
            . $copy
            $script:tree = Split-Path -Parent -Path (Split-Path -Parent -Path $copy)
            $script:runtimeBase = Join-Path -Path $script:tree -ChildPath '.runtime'
            $script:runtime = Join-Path -Path $script:runtimeBase -ChildPath $script:runtimeName
            $script:cached = Join-Path -Path $script:runtimeBase -ChildPath $script:cachedName
        }

        BeforeEach {
            Remove-Item -LiteralPath $script:runtimeBase -Recurse -Force -ErrorAction SilentlyContinue
        }

        It 'unpacks a cached archive with the right hash without a download' {
            Copy-FakeElectronArchiveToCache -TreeRoot $script:tree -ArchivePath $script:archive.Path | Out-Null
            $result = Invoke-FakeRuntimeCapture { Ensure-ElectronRuntime }

            $result.Error | Should -BeNullOrEmpty
            $result.Output | Should -Be @($script:runtime)
            Get-HostText -Result $result | Should -Be @('Runtime integrity verified.')
            Test-Path -LiteralPath (Join-Path -Path $script:runtime -ChildPath 'resources/default_app.asar') -PathType Leaf | Should -BeTrue
            Test-Path -LiteralPath $script:cached -PathType Leaf | Should -BeTrue
        }

        It 'unpacks the bytes it hashed when another writer replaces the archive right after the hash' {
            Copy-FakeElectronArchiveToCache -TreeRoot $script:tree -ArchivePath $script:archive.Path | Out-Null
            $script:swapped = $null
            # Right after the hash, another archive is put in its place under the same name. Linux
            # lets it happen (a sharing mode only advises there); the engine test under Wine shows
            # Windows refusing it.
            Mock Write-Host -ParameterFilter { [string]$Object -eq 'Runtime integrity verified.' } -MockWith {
                Copy-Item -LiteralPath $script:nested.Path -Destination ($script:cached + '.other')
                [IO.File]::Move($script:cached + '.other', $script:cached, $true)
                $script:swapped = (Get-FileHash -LiteralPath $script:cached -Algorithm SHA256).Hash
            }
            $result = Invoke-FakeRuntimeCapture { Ensure-ElectronRuntime }

            $result.Error | Should -BeNullOrEmpty
            $script:swapped | Should -Be $script:nested.Sha256
            $reference = Join-Path -Path $script:scratch -ChildPath ('reference-' + [guid]::NewGuid().ToString('N'))
            Expand-Archive -LiteralPath $script:archive.Path -DestinationPath $reference
            Get-UnpackedTree -Folder $script:runtime | Should -Be (Get-UnpackedTree -Folder $reference)
        }

        It 'reports each need whose free space could not be read, and still unpacks' {
            Copy-FakeElectronArchiveToCache -TreeRoot $script:tree -ArchivePath $script:archive.Path | Out-Null
            # A compile that failed: no volume can be read.
            Mock Import-TarnquillNativeMethods { throw 'The C# helpers of the setup scripts could not be compiled (Add-Type): CS1002.' }
            $image = Join-Path -Path $script:scratch -ChildPath 'image not made'
            $install = Join-Path -Path $script:scratch -ChildPath 'install not made'
            $result = Invoke-FakeRuntimeCapture { Ensure-ElectronRuntime -ImageFolder $image -InstallFolder $install }

            $result.Error | Should -BeNullOrEmpty
            $why = ': The C# helpers of the setup scripts could not be compiled (Add-Type): CS1002.'
            $result.Warnings | Should -Be @(
                ('The free space for the unpacked runtime could not be read, so its space check was passed over: ' + $script:runtimeBase + $why),
                ('The free space for the application image could not be read, so its space check was passed over: ' + $script:scratch + $why),
                ('The free space for the installed application could not be read, so its space check was passed over: ' + $script:scratch + $why))
            Test-Path -LiteralPath (Join-Path -Path $script:runtime -ChildPath 'electron.exe') -PathType Leaf | Should -BeTrue
        }

        It 'accepts the platform''s upper-case digest of the right archive against the lower-case pin' {
            Copy-FakeElectronArchiveToCache -TreeRoot $script:tree -ArchivePath $script:archive.Path | Out-Null
            $platformDigest = (Get-FileHash -LiteralPath $script:cached -Algorithm SHA256).Hash
            $platformDigest | Should -MatchExactly '^[0-9A-F]{64}$'
            $script:ElectronSha256 | Should -MatchExactly '^[0-9a-f]{64}$'

            $result = Invoke-FakeRuntimeCapture { Ensure-ElectronRuntime }
            $result.Error | Should -BeNullOrEmpty
            Test-Path -LiteralPath (Join-Path -Path $script:runtime -ChildPath 'electron.exe') -PathType Leaf | Should -BeTrue
        }

        It 'deletes a cached archive with a wrong hash and fails without a download' {
            Copy-FakeElectronArchiveToCache -TreeRoot $script:tree -ArchivePath $script:nested.Path | Out-Null
            $result = Invoke-FakeRuntimeCapture { Ensure-ElectronRuntime }

            $result.Error | Should -Be ('Electron runtime integrity check failed. Expected ' + $script:archive.Sha256 + ', received ' + $script:nested.Sha256 + '.')
            $result.HostLines | Should -BeNullOrEmpty
            $result.Warnings | Should -BeNullOrEmpty
            Get-RuntimeState -Tree $script:tree | Should -Be @('cache')
        }

        It 'returns a runtime folder holding electron.exe without touching the cache' {
            [void][IO.Directory]::CreateDirectory($script:runtime)
            [IO.File]::WriteAllText((Join-Path -Path $script:runtime -ChildPath 'electron.exe'), 'trusted as it is')
            $result = Invoke-FakeRuntimeCapture { Ensure-ElectronRuntime }

            $result.Error | Should -BeNullOrEmpty
            $result.Output | Should -Be @($script:runtime)
            $result.HostLines | Should -BeNullOrEmpty
            Get-RuntimeState -Tree $script:tree | Should -Be @($script:runtimeName, ($script:runtimeName + '/electron.exe'))
        }

        It 'does not read a cached archive when the runtime folder is complete' {
            [void][IO.Directory]::CreateDirectory($script:runtime)
            [IO.File]::WriteAllText((Join-Path -Path $script:runtime -ChildPath 'electron.exe'), 'trusted as it is')
            $wrong = Copy-FakeElectronArchiveToCache -TreeRoot $script:tree -ArchivePath $script:nested.Path
            # Held open without sharing: any attempt to read or delete it would fail the call.
            $lock = [IO.File]::Open($wrong, [IO.FileMode]::Open, [IO.FileAccess]::ReadWrite, [IO.FileShare]::None)
            try {
                $result = Invoke-FakeRuntimeCapture { Ensure-ElectronRuntime }
            } finally {
                $lock.Dispose()
            }

            $result.Error | Should -BeNullOrEmpty
            (Get-FileHash -LiteralPath $wrong).Hash | Should -Be $script:nested.Sha256
        }

        It 'replaces a runtime folder that lacks electron.exe with the unpacked archive' {
            [void][IO.Directory]::CreateDirectory((Join-Path -Path $script:runtime -ChildPath 'resources'))
            [IO.File]::WriteAllText((Join-Path -Path $script:runtime -ChildPath 'resources/stale.txt'), 'left from an interrupted run')
            Copy-FakeElectronArchiveToCache -TreeRoot $script:tree -ArchivePath $script:archive.Path | Out-Null
            $result = Invoke-FakeRuntimeCapture { Ensure-ElectronRuntime }

            $result.Error | Should -BeNullOrEmpty
            Test-Path -LiteralPath (Join-Path -Path $script:runtime -ChildPath 'resources/stale.txt') | Should -BeFalse
            Test-Path -LiteralPath (Join-Path -Path $script:runtime -ChildPath 'electron.exe') -PathType Leaf | Should -BeTrue
        }

        It 'fails with two warnings and the last error when both sources fail, leaving no archive' {
            $result = Invoke-FakeRuntimeCapture { Ensure-ElectronRuntime }

            $result.Warnings.Count | Should -Be 2
            $result.Warnings | ForEach-Object { $_ | Should -BeLike 'Download source failed: *' }
            $result.Error | Should -Be ('Could not download the Electron runtime. Last error: ' + $result.Warnings[1].Substring('Download source failed: '.Length))
            Get-RuntimeState -Tree $script:tree | Should -Be @('cache')
        }
    }

    Context 'a cached archive with a wrong hash, sources online' {
        BeforeAll {
            $copy = New-RuntimeTree -Name 'redownload' -Sha256 $script:archive.Sha256 -Primary (Get-FakeRuntimeServerUrl -Server $script:server -Route 'missing') -Mirror (Get-FakeRuntimeServerUrl -Server $script:server -Route 'redirect/archive')
            . $copy
            $script:tree = Split-Path -Parent -Path (Split-Path -Parent -Path $copy)
        }

        It 'fails once without a request, then the next call downloads afresh from the mirror' {
            Copy-FakeElectronArchiveToCache -TreeRoot $script:tree -ArchivePath $script:nested.Path | Out-Null
            $before = @(Get-FakeRuntimeServerRequest -Server $script:server).Count
            $first = Invoke-FakeRuntimeCapture { Ensure-ElectronRuntime }
            $first.Error | Should -BeLike 'Electron runtime integrity check failed. *'
            @(Get-FakeRuntimeServerRequest -Server $script:server).Count | Should -Be $before

            $second = Invoke-FakeRuntimeCapture { Ensure-ElectronRuntime }
            $second.Error | Should -BeNullOrEmpty
            $second.Warnings | Should -Be @('Download source failed: The remote server returned an error: (404) Not Found.')
            (Get-HostText -Result $second)[-1] | Should -Be 'Runtime integrity verified.'
            Test-Path -LiteralPath (Join-Path -Path (Get-ElectronRuntimePath) -ChildPath 'electron.exe') -PathType Leaf | Should -BeTrue
        }
    }

    Context 'an archive without electron.exe at its top level' {
        BeforeAll {
            $copy = New-RuntimeTree -Name 'nested' -Sha256 $script:nested.Sha256 -Primary $script:refused -Mirror $script:refused
            . $copy
            $script:tree = Split-Path -Parent -Path (Split-Path -Parent -Path $copy)
        }

        It 'fails after the runtime folder was replaced, keeping the verified archive' {
            $runtime = Get-ElectronRuntimePath
            [void][IO.Directory]::CreateDirectory($runtime)
            [IO.File]::WriteAllText((Join-Path -Path $runtime -ChildPath 'stale.txt'), 'left from an interrupted run')
            Copy-FakeElectronArchiveToCache -TreeRoot $script:tree -ArchivePath $script:nested.Path | Out-Null
            $result = Invoke-FakeRuntimeCapture { Ensure-ElectronRuntime }

            $result.Error | Should -Be 'Electron runtime extraction did not produce electron.exe.'
            Get-HostText -Result $result | Should -Be @('Runtime integrity verified.')
            Test-Path -LiteralPath (Join-Path -Path $runtime -ChildPath 'stale.txt') | Should -BeFalse
            Test-Path -LiteralPath (Join-Path -Path (Join-Path -Path $runtime -ChildPath $script:runtimeName) -ChildPath 'electron.exe') -PathType Leaf | Should -BeTrue
            (Get-FileHash -LiteralPath (Join-Path -Path (Join-Path -Path $script:tree -ChildPath '.runtime') -ChildPath $script:cachedName)).Hash | Should -Be $script:nested.Sha256
        }
    }

    Context 'a verified download that is not a ZIP archive' {
        BeforeAll {
            # The server's 50,000,001-byte answer, fetched with curl, is what the pin names.
            $sample = Join-Path -Path $script:scratch -ChildPath 'not-a-zip.bin'
            & curl --silent --fail --output $sample ((Get-FakeRuntimeServerUrl -Server $script:server -Route 'bytes/50000001') + '/x')
            $digest = (Get-FileHash -LiteralPath $sample -Algorithm SHA256).Hash.ToLowerInvariant()
            $copy = New-RuntimeTree -Name 'not a zip' -Sha256 $digest -Primary (Get-FakeRuntimeServerUrl -Server $script:server -Route 'bytes/50000001') -Mirror $script:refused
            . $copy
            $script:tree = Split-Path -Parent -Path (Split-Path -Parent -Path $copy)
        }

        It 'passes the size rule and the hash, then fails at unpacking with the archive and its extract folder kept and no runtime folder' {
            $result = Invoke-FakeRuntimeCapture { Ensure-ElectronRuntime }

            # The platform's own error passes through unchanged (its message may be empty).
            $null -eq $result.ErrorRecord | Should -BeFalse
            $result.Warnings | Should -BeNullOrEmpty
            (Get-HostText -Result $result)[-1] | Should -Be 'Runtime integrity verified.'
            $state = Get-RuntimeState -Tree $script:tree
            $state | Should -Contain $script:cachedName
            $state | Should -Not -Contain $script:runtimeName
            # The unpack target is named after a fresh GUID and is left for inspection, not cleaned up.
            @($state | Where-Object { $_ -cmatch '^extract-[0-9a-f]{32}$' }).Count | Should -Be 1
        }
    }
}

Describe 'Expand-ElectronArchive, the unpacking through the hashed handle' {
    BeforeAll {
        $copy = New-RuntimeTree -Name 'unpacker' -Sha256 $script:archive.Sha256 -Primary $script:refused -Mirror $script:refused
        . $copy
        $script:zips = Join-Path -Path $script:scratch -ChildPath 'zips'
        [void][IO.Directory]::CreateDirectory($script:zips)
        $long = ('L' * 100) + '/' + ('M' * 100) + '/' + ('N' * 60) + '.bin'
        $script:crafted = New-TestZip -Path (Join-Path -Path $script:zips -ChildPath 'crafted.zip') -Member @(
            'electron.exe', 'resources/app/deep/nested/file.txt', 'resources/app/deep/other.txt', 'empty/',
            'resources/empty inner/', 'locales/', 'locales/en-US.pak', $long)
    }

    BeforeEach {
        $script:out = Join-Path -Path $script:scratch -ChildPath ('unpack-' + [guid]::NewGuid().ToString('N'))
        [void][IO.Directory]::CreateDirectory($script:out)
    }

    It 'gives the tree that Expand-Archive gives, file by file with hashes and times, for <Name>' -ForEach @(
        @{ Name = 'the fake runtime archive'; Key = 'fake' }
        @{ Name = 'an archive with nested folders, empty folders and a path over 260 characters'; Key = 'crafted' }
    ) {
        $zip = if ($Key -eq 'fake') { $script:archive.Path } else { $script:crafted }
        Expand-Archive -LiteralPath $zip -DestinationPath (Join-Path -Path $script:out -ChildPath 'expand-archive')
        Expand-TestZip -Path $zip -Destination (Join-Path -Path $script:out -ChildPath 'handle')

        $mine = Get-UnpackedTree -Folder (Join-Path -Path $script:out -ChildPath 'handle')
        $mine | Should -Be (Get-UnpackedTree -Folder (Join-Path -Path $script:out -ChildPath 'expand-archive'))
        if ($Key -eq 'crafted') {
            $mine | Should -Contain 'D empty'
            $mine | Should -Contain 'D resources/empty inner'
            @($mine | Where-Object { $_.StartsWith('F ') -and $_.Split(' ')[1].Length -gt 260 }).Count | Should -Be 1
            $mine.Count | Should -Be 14
        }
    }

    It 'refuses a member named <Member> before writing anything' -ForEach @(
        @{ Member = '../evil.txt' }, @{ Member = 'resources/../../evil.txt' }, @{ Member = '..\evil.txt' },
        @{ Member = 'resources\..\..\evil.txt' }, @{ Member = '/tmp/evil.txt' }, @{ Member = 'C:/evil.txt' },
        @{ Member = 'C:evil.txt' }, @{ Member = 'electron.exe:stream' }, @{ Member = 'resources/..' }
    ) {
        $zip = New-TestZip -Path (Join-Path -Path $script:out -ChildPath 'bad.zip') -Member @('electron.exe', 'resources/ok.txt', $Member)
        $target = Join-Path -Path $script:out -ChildPath 'target'
        { Expand-TestZip -Path $zip -Destination $target } |
            Should -Throw -ExpectedMessage ('The Electron runtime archive holds a member that cannot be unpacked into ' + $target + ': "' + $Member + '". * Nothing was unpacked.')
        @(Get-ChildItem -LiteralPath $script:out -Recurse -Force -Name) | Should -Be @('bad.zip')
    }

    It 'refuses a name that comes twice instead of overwriting the first file' {
        $zip = New-TestZip -Path (Join-Path -Path $script:out -ChildPath 'twice.zip') -Member @('electron.exe', 'version', 'electron.exe')
        $target = Join-Path -Path $script:out -ChildPath 'target'
        { Expand-TestZip -Path $zip -Destination $target } | Should -Throw -ExpectedMessage '*already exists*'
        [IO.File]::ReadAllText((Join-Path -Path $target -ChildPath 'electron.exe')) | Should -Be 'content of electron.exe'
    }
}

Describe 'Import-ElectronArchiveFromEarlierRun and the owner of a candidate' {
    BeforeAll {
        $copy = New-RuntimeTree -Name 'taker' -Sha256 $script:archive.Sha256 -Primary $script:refused -Mirror $script:refused
        . $copy
        $script:tree = Split-Path -Parent -Path (Split-Path -Parent -Path $copy)
    }

    It 'passes over an archive that another user owns, or whose folder another user owns, and takes the one the user owns' {
        if ([string](& id -u) -ne '0') {
            Set-ItResult -Skipped -Because 'giving a folder to another user needs root'
            return
        }
        Mock Test-TarnquillOwnedByCurrentUser { Test-InstallLinuxOwner -Path $Path }
        $temp = Join-Path -Path $script:scratch -ChildPath 'earlier runs'
        $trees = foreach ($name in @('A-foreign-folder', 'B-foreign-file', 'C-own')) {
            $earlier = [IO.Path]::Combine($temp, $name, 'TARNQUILL-v0.15.0')
            $null = Copy-FakeElectronArchiveToCache -TreeRoot $earlier -ArchivePath $script:archive.Path
            $earlier
        }
        $foreignFolder = [IO.Path]::Combine($trees[0], '.runtime')
        $foreignFile = [IO.Path]::Combine($trees[1], '.runtime', 'cache', 'electron-v43.4.1-win32-x64.zip')
        & chown 65534 $foreignFolder $foreignFile
        $LASTEXITCODE | Should -Be 0

        $result = Invoke-FakeRuntimeCapture { Import-ElectronArchiveFromEarlierRun -SourceTree $trees }
        $result.Error | Should -BeNullOrEmpty
        $result.Output[0].Imported | Should -BeTrue
        @($result.Output[0].PassedOver | ForEach-Object { $_.Path + ' | ' + $_.Reason }) | Should -Be @(
            ([IO.Path]::Combine($foreignFolder, 'cache', 'electron-v43.4.1-win32-x64.zip') + ' | another user owns ' + $foreignFolder),
            ($foreignFile + ' | another user owns ' + $foreignFile))
        Test-Path -LiteralPath $foreignFile -PathType Leaf | Should -BeTrue
        Test-Path -LiteralPath ([IO.Path]::Combine($trees[2], '.runtime', 'cache', 'electron-v43.4.1-win32-x64.zip')) | Should -BeFalse
        (Get-FileHash -LiteralPath (Get-ElectronArchivePath)).Hash | Should -Be $script:archive.Sha256
    }
}

Describe 'the room check on the volume a folder really lives on' {
    BeforeAll {
        $copy = New-RuntimeTree -Name 'volumes' -Sha256 $script:archive.Sha256 -Primary $script:refused -Mirror $script:refused
        . $copy
        $script:tree = Split-Path -Parent -Path (Split-Path -Parent -Path $copy)
        $script:mounted = New-Object -TypeName System.Collections.Generic.List[string]
    }

    BeforeEach {
        Remove-Item -LiteralPath (Join-Path -Path $script:tree -ChildPath '.runtime') -Recurse -Force -ErrorAction SilentlyContinue
        Copy-FakeElectronArchiveToCache -TreeRoot $script:tree -ArchivePath $script:archive.Path | Out-Null
        $script:disk = Join-Path -Path $script:scratch -ChildPath ('disk-' + [guid]::NewGuid().ToString('N').Substring(0, 8))
    }

    AfterEach {
        foreach ($mount in $script:mounted) {
            & umount $mount 2>&1 | Out-Null
        }
        $script:mounted.Clear()
    }

    It 'measures and names the image''s need on the file system that a linked TEMP leads to' {
        if (-not (Mount-TestDisk -Path $script:disk -Megabytes 30)) {
            Set-ItResult -Skipped -Because 'mounting a tmpfs was refused'
            return
        }
        $script:mounted.Add($script:disk)
        [void][IO.Directory]::CreateDirectory((Join-Path -Path $script:disk -ChildPath 'Temp'))
        $temp = Join-Path -Path $script:scratch -ChildPath ('temp-link-' + [guid]::NewGuid().ToString('N').Substring(0, 8))
        [void](New-Item -ItemType SymbolicLink -Path $temp -Target (Join-Path -Path $script:disk -ChildPath 'Temp'))
        $image = Join-Path -Path $temp -ChildPath 'TARNQUILL-build-0123456789abcdef0123456789abcdef'

        $result = Invoke-FakeRuntimeCapture { Ensure-ElectronRuntime -ImageFolder $image -ApplicationBytes 1MB }
        $result.Error | Should -Match ('^Not enough disk space to unpack the Electron runtime and install TARNQUILL\. ' +
            [regex]::Escape($script:disk + '/') + ' \(application image\): \d+ MB needed, (29|30) MB free\. Nothing was installed\.')
        @(Get-ChildItem -LiteralPath (Join-Path -Path $script:tree -ChildPath '.runtime') -Name) | Should -Be @('cache')
    }

    It 'counts the installed copy on the install volume when it differs from the image folder''s, and names it' {
        if (-not (Mount-TestDisk -Path $script:disk -Megabytes 80)) {
            Set-ItResult -Skipped -Because 'mounting a tmpfs was refused'
            return
        }
        $script:mounted.Add($script:disk)
        # The image folder has room (the scratch disk); the install volume holds the margin, not the image.
        $install = [IO.Path]::Combine($script:disk, 'TARNQUILL', 'App-0.15.0')
        $image = Join-Path -Path $script:scratch -ChildPath 'TARNQUILL-build-0123456789abcdef0123456789abcdef'
        Test-TarnquillSameVolume -Path $image -OtherPath $install | Should -BeFalse
        Test-TarnquillSameVolume -Path $image -OtherPath $script:tree | Should -BeTrue

        $result = Invoke-FakeRuntimeCapture { Ensure-ElectronRuntime -ImageFolder $image -InstallFolder $install -ApplicationBytes 1MB }
        $result.Error | Should -Match ('^Not enough disk space to unpack the Electron runtime and install TARNQUILL\. ' +
            [regex]::Escape($script:disk + '/') + ' \(installed application\): 1\d\d MB needed, (79|80) MB free\. Nothing was installed\.')
        @(Get-ChildItem -LiteralPath (Join-Path -Path $script:tree -ChildPath '.runtime') -Name) | Should -Be @('cache')
    }
}

Describe 'runtime.ps1 loaded by a script from its own folder' {
    It 'gives the caller the pin, the two sources of the setup confirmation, strict mode and stop-on-error' {
        $caller = Join-Path -Path $script:scratch -ChildPath 'pin-caller.ps1'
        $runtimeScript = Join-Path -Path (Join-Path -Path $env:TARNQUILL_ROOT -ChildPath 'scripts') -ChildPath 'runtime.ps1'
        [IO.File]::WriteAllText($caller, @"
. '$runtimeScript'
`$script:ElectronVersion
`$script:ElectronArchive
`$script:ElectronSha256
Get-ElectronDownloadUrls
`$ErrorActionPreference
try { `$null = `$notDefinedAnywhere; 'lenient' } catch { 'strict' }
"@)
        $lines = @(& $env:TARNQUILL_PWSH -NoProfile -NonInteractive -File $caller)
        $LASTEXITCODE | Should -Be 0
        $lines | Should -Be @(
            '43.4.1',
            'electron-v43.4.1-win32-x64.zip',
            'c2ef9a5f65472c34d14bd3e67b7d14e66b0c01f124aba45263d6a4232160e13a',
            'https://github.com/electron/electron/releases/download/v43.4.1/electron-v43.4.1-win32-x64.zip',
            'https://sourceforge.net/projects/electron.mirror/files/v43.4.1/electron-v43.4.1-win32-x64.zip/download',
            'Stop',
            'strict')

        # The setup bootstrap names the same locations, in the same order, before anything is downloaded.
        $bootstrap = Join-Path -Path (Join-Path -Path $env:TARNQUILL_ROOT -ChildPath 'installer') -ChildPath 'bootstrap.cpp'
        if (Test-Path -LiteralPath $bootstrap -PathType Leaf) {
            $text = [IO.File]::ReadAllText($bootstrap)
            $primary = [regex]::Match($text, 'PRIMARY_LOCATION u"([^"]+)"').Groups[1].Value
            $fallback = [regex]::Match($text, 'FALLBACK_LOCATION u"([^"]+)"').Groups[1].Value
            $lines[3] | Should -BeLike ('https://' + $primary + '/*')
            $lines[4] | Should -BeLike ('https://' + $fallback + '/*')
        }
    }

    It 'downloads and returns the runtime folder when a pinned sandbox copy runs inside a script' {
        $copy = New-RuntimeTree -Name 'script run' -Sha256 $script:archive.Sha256 -Primary (Get-FakeRuntimeServerUrl -Server $script:server -Route 'error-page') -Mirror (Get-FakeRuntimeServerUrl -Server $script:server -Route 'archive')
        $caller = Join-Path -Path (Split-Path -Parent -Path $copy) -ChildPath 'caller.ps1'
        [IO.File]::WriteAllText($caller, "Set-StrictMode -Version Latest`n. (Join-Path -Path `$PSScriptRoot -ChildPath 'runtime.ps1')`nEnsure-ElectronRuntime`n")
        $lines = @(& $env:TARNQUILL_PWSH -NoProfile -NonInteractive -File $caller 2>&1 3>&1 | ForEach-Object { [string]$_ })
        $LASTEXITCODE | Should -Be 0
        $tree = Split-Path -Parent -Path (Split-Path -Parent -Path $copy)
        $lines[-1] | Should -Be (Join-Path -Path (Join-Path -Path $tree -ChildPath '.runtime') -ChildPath $script:runtimeName)
        @($lines | Where-Object { $_.Contains('WARNING: Download source failed: The downloaded file is unexpectedly small.') }).Count | Should -Be 1
        Test-Path -LiteralPath (Join-Path -Path $lines[-1] -ChildPath 'electron.exe') -PathType Leaf | Should -BeTrue
    }
}

Describe 'the fake runtime archive that stands in for the download' {
    It 'is a ZIP over 50,000,000 bytes with a real x64 GUI executable and the runtime files, read by Python' {
        $check = @'
import sys, zipfile, pefile
path = sys.argv[1]
with zipfile.ZipFile(path) as archive:
    names = sorted(archive.namelist())
    assert archive.testzip() is None
    exe = archive.read("electron.exe")
print(",".join(names))
pe = pefile.PE(data=exe)
print(hex(pe.FILE_HEADER.Machine), pe.OPTIONAL_HEADER.Subsystem)
print(",".join(str(entry.id) for entry in pe.DIRECTORY_ENTRY_RESOURCE.entries))
'@
        $lines = @(& /usr/bin/python3 -c $check $script:archive.Path)
        $LASTEXITCODE | Should -Be 0
        $script:archive.Length | Should -BeGreaterThan 50000000
        $lines[0] -split ',' | Should -Be @('LICENSE', 'chrome_100_percent.pak', 'electron.exe', 'icudtl.dat', 'locales/en-US.pak', 'resources/default_app.asar', 'version')
        $lines[1] | Should -Be '0x8664 2'
        $lines[2] -split ',' | Should -Contain '14'
    }
}
