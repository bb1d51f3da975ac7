Set-StrictMode -Version Latest
# ctest-fixtures: setup_exe
# ctest-timeout: 1200
# Installs check for running processes named TARNQUILL, which the uninstaller's
# tests start; the two must not run side by side.
# ctest-lock: tarnquill_process

# Installations from the tree that the real setup executable carries: its payload is
# written out with tests/support/extract_payload.py and unpacked as the hand-off command
# unpacks it. The runtime pin of the unpacked runtime.ps1 names the fake archive on a
# local host. What the installation produced is read back with Python where it matters
# (hashes, sizes, the payload's own members).

BeforeAll {
    . (Join-Path -Path $PSScriptRoot -ChildPath 'support/FakeRuntime.ps1')
    . (Join-Path -Path $PSScriptRoot -ChildPath 'support/InstallProcedure.ps1')
    . (Join-Path -Path $PSScriptRoot -ChildPath 'support/HandOff.ps1')

    $script:setupExe = $env:TARNQUILL_TEST_SETUP_EXE
    if ([string]::IsNullOrEmpty($script:setupExe) -or -not (Test-Path -LiteralPath $script:setupExe -PathType Leaf)) {
        throw "The setup executable of the setup_exe fixture is missing: '$($script:setupExe)'."
    }
    $script:python = '/usr/bin/python3'
    $script:work = Get-InstallTestFolder
    # The uninstaller, the icon writer and the update applier, with every library and C# file they load.
    $script:imageScripts = @('scripts/apply-update.ps1', 'scripts/consent.ps1', 'scripts/exit-codes.ps1', 'scripts/file-system.ps1',
        'scripts/installation-safety.ps1', 'scripts/native-methods.ps1', 'scripts/set-executable-icon.ps1', 'scripts/setup-lock.ps1',
        'scripts/shell-integration.ps1', 'scripts/temporary-folders.ps1', 'scripts/uninstall-installed.ps1') +
        @(Get-ChildItem -LiteralPath (Join-Path -Path $env:TARNQUILL_ROOT -ChildPath 'scripts/native') -Filter '*.cs' |
            ForEach-Object -Process { 'scripts/native/' + $_.Name })
    $script:repoInstall = Join-Path -Path (Join-Path -Path $env:TARNQUILL_ROOT -ChildPath 'scripts') -ChildPath 'install.ps1'
    Import-InstallWindowsInterface -ScriptPath $script:repoInstall
    $script:kernel32 = Initialize-InstallKernel32Double -Folder $script:work
    $script:archive = Get-FakeElectronArchive
    $script:server = Start-FakeRuntimeServer -ArchivePath $script:archive.Path
    $script:primaryUrl = Get-FakeRuntimeServerUrl -Server $script:server -Route 'archive'
    $script:mirrorUrl = Get-FakeRuntimeRefusedUrl

    $script:payload = Join-Path -Path $script:work -ChildPath 'payload.zip'
    $extractOutput = & $script:python (Join-Path -Path (Join-Path -Path $env:TARNQUILL_ROOT -ChildPath 'tests/support') -ChildPath 'extract_payload.py') $script:setupExe $script:payload 2>&1
    if ($LASTEXITCODE -ne 0) {
        throw "extract_payload.py failed: $extractOutput"
    }
    $script:setupHash = ((& sha256sum $script:setupExe) -split ' ')[0]

    function ConvertTo-Hashtable {
        # The properties of an object read from JSON, as a hashtable.
        param([psobject]$Object)
        $table = @{}
        foreach ($property in $Object.PSObject.Properties) {
            $table[$property.Name] = $property.Value
        }
        return $table
    }

    # The payload's members under the tree's top folder, with their SHA-256, read by Python's zipfile.
    $membersJson = & $script:python -c @'
import hashlib, json, sys, zipfile
with zipfile.ZipFile(sys.argv[1]) as z:
    print(json.dumps({i.filename: hashlib.sha256(z.read(i)).hexdigest() for i in z.infolist() if not i.is_dir()}))
'@ $script:payload
    $script:members = ConvertTo-Hashtable -Object ($membersJson | ConvertFrom-Json)

    function Get-PythonFileSummary {
        # Total length of the visible files under a folder in KiB rounded up (dot-names are
        # hidden here, as .NET sees them), and the SHA-256 of every file by relative path.
        param([string]$Path)
        $json = & $script:python -c @'
import hashlib, json, os, sys
root = sys.argv[1]
total = 0
files = {}
for folder, dirs, names in os.walk(root):
    dirs[:] = [d for d in dirs if not d.startswith('.')]
    for name in names:
        full = os.path.join(folder, name)
        if not name.startswith('.'):
            total += os.path.getsize(full)
        with open(full, 'rb') as f:
            files[os.path.relpath(full, root).replace(os.sep, '/')] = hashlib.sha256(f.read()).hexdigest()
print(json.dumps({'kib': (total + 1023) // 1024, 'files': files}))
'@ $Path
        $summary = $json | ConvertFrom-Json
        return @{ kib = $summary.kib; files = (ConvertTo-Hashtable -Object $summary.files) }
    }

    function New-WorkFolder {
        # A work folder as the bootstrap makes it, holding source.zip, inside a temporary
        # folder whose path has a space and a quote-like character.
        param([psobject]$Sandbox)
        $temp = Join-Path -Path $Sandbox.Root -ChildPath "te mp'o"
        $work = Join-Path -Path $temp -ChildPath 'TARNQUILL-Setup-0.15.0-00000000001a2b3c-0000000000004d5e'
        [void][IO.Directory]::CreateDirectory($work)
        Copy-Item -LiteralPath $script:payload -Destination (Join-Path -Path $work -ChildPath 'source.zip')
        return [pscustomobject]@{ Temp = $temp; Work = $work; Tree = (Join-Path -Path $work -ChildPath 'TARNQUILL-v0.15.0') }
    }

    function Set-PayloadRuntimePin {
        # Points runtime.ps1 inside a source.zip at the local host: the member is taken out,
        # rewritten by Set-FakeRuntimePin and put back.
        param([string]$Zip)
        $member = 'TARNQUILL-v0.15.0/scripts/runtime.ps1'
        $copy = Join-Path -Path (Split-Path -Parent -Path $Zip) -ChildPath 'runtime.ps1'
        Add-Type -AssemblyName System.IO.Compression
        $archive = [IO.Compression.ZipFile]::Open($Zip, [IO.Compression.ZipArchiveMode]::Update)
        try {
            $entry = $archive.GetEntry($member)
            [IO.Compression.ZipFileExtensions]::ExtractToFile($entry, $copy, $true)
            Set-FakeRuntimePin -RuntimeScriptPath $copy -Sha256 $script:archive.Sha256 -PrimaryUrl $script:primaryUrl -MirrorUrl $script:mirrorUrl
            $entry.Delete()
            [void][IO.Compression.ZipFileExtensions]::CreateEntryFromFile($archive, $copy, $member)
        } finally {
            $archive.Dispose()
        }
        Remove-Item -LiteralPath $copy
    }
}

AfterAll {
    # Also after a failed BeforeAll, which may have stopped before either was made.
    if (Get-Variable -Name server -Scope Script -ErrorAction SilentlyContinue) {
        Stop-FakeRuntimeServer -Server $script:server
    }
    if (Get-Variable -Name work -Scope Script -ErrorAction SilentlyContinue) {
        Remove-Item -LiteralPath $script:work -Recurse -Force -ErrorAction SilentlyContinue
    }
}

Describe 'a whole installation from the setup executable''s payload' {
    BeforeAll {
        $script:sandbox = New-InstallSandbox -Parent $script:work
        $script:savedEnvironment = Enter-InstallSandbox -Sandbox $script:sandbox
        [IO.File]::WriteAllText($script:sandbox.IconCacheTool, 'stand-in')

        $folders = New-WorkFolder -Sandbox $script:sandbox
        Expand-Archive -LiteralPath (Join-Path -Path $folders.Work -ChildPath 'source.zip') -DestinationPath $folders.Work -Force
        Set-FakeRuntimePin -RuntimeScriptPath (Join-Path -Path (Join-Path -Path $folders.Tree -ChildPath 'scripts') -ChildPath 'runtime.ps1') `
            -Sha256 $script:archive.Sha256 -PrimaryUrl $script:primaryUrl -MirrorUrl $script:mirrorUrl
        $setupCopy = Join-Path -Path $folders.Temp -ChildPath 'TARNQUILL-Setup-0.15.0-online.exe'
        Copy-Item -LiteralPath $script:setupExe -Destination $setupCopy
        $env:TARNQUILL_SETUP_EXE = $setupCopy
        $env:TARNQUILL_SETUP_WORK = $folders.Work

        $script:InstallDoubles = Register-InstallDouble -Sandbox $script:sandbox
        $InstallDoubles.answers.Enqueue('y')

        $script:dayBefore = [DateTime]::Now.ToString('yyyyMMdd')
        $script:run = Invoke-InstallScript -ScriptPath (Join-Path -Path (Join-Path -Path $folders.Tree -ChildPath 'scripts') -ChildPath 'install.ps1')
        $script:dayAfter = [DateTime]::Now.ToString('yyyyMMdd')
        $script:app = Join-Path -Path $script:sandbox.InstallRoot -ChildPath 'App-0.15.0'
        $script:resources = Join-Path -Path (Join-Path -Path $script:app -ChildPath 'resources') -ChildPath 'app'
        $script:icon = Join-Path -Path (Join-Path -Path $script:resources -ChildPath 'assets') -ChildPath 'tarnquill.ico'
        $script:uninstaller = Join-Path -Path (Join-Path -Path $script:resources -ChildPath 'scripts') -ChildPath 'uninstall-installed.ps1'
        $script:exe = Join-Path -Path $script:app -ChildPath 'TARNQUILL.exe'
    }

    AfterAll {
        Exit-InstallSandbox -Saved $script:savedEnvironment
    }

    It 'succeeds after one question, writing nothing to its output stream' {
        $run.Message | Should -BeNullOrEmpty
        $run.Output | Should -BeNullOrEmpty
        $InstallDoubles.prompts | Should -Be @('Download the listed runtime and install TARNQUILL? [Y/N, default N]')
    }

    It 'lays out the install root and the application folder' {
        @(Get-ChildItem -LiteralPath $sandbox.InstallRoot -Force | ForEach-Object -Process { $_.Name } | Sort-Object) |
            Should -Be @('App-0.15.0', 'Logs')
        @(Get-ChildItem -LiteralPath $sandbox.Logs -Force | ForEach-Object -Process { $_.Name } | Sort-Object) |
            Should -Be @('installer.log', 'installer.sha256')
        $summary = Get-PythonFileSummary -Path $app
        $summary.files.Keys | Should -Contain 'TARNQUILL.exe'
        $summary.files.Keys | Should -Contain 'VERSION.txt'
        $summary.files.Keys | Should -Not -Contain 'electron.exe'
        $summary.files.Keys | Should -Not -Contain 'resources/default_app.asar'
        [IO.File]::ReadAllBytes($exe)[0..1] | Should -Be @(0x4D, 0x5A)
        @($summary.files.Keys | Where-Object -FilterScript { $_ -like 'resources/app/scripts/*' } | Sort-Object) | Should -Be @(
            @($script:imageScripts | ForEach-Object -Process { 'resources/app/' + $_ }) | Sort-Object)
    }

    It 'carries the payload''s application files unchanged' {
        $summary = Get-PythonFileSummary -Path $resources
        $expected = @{}
        foreach ($name in $script:members.Keys) {
            $relative = $name.Substring('TARNQUILL-v0.15.0/'.Length)
            $isRootFile = @('main.js', 'preload.js', 'package.json', 'NOTICE.txt', 'README.md', 'PRIVACY_POLICY.md',
                'TERMS_OF_USE.md', 'SECURITY.md', 'RELEASE_NOTES.md') -contains $relative
            $isFolder = $relative -like 'assets/*' -or $relative -like 'config/*' -or $relative -like 'src/*'
            $isScript = $script:imageScripts -contains $relative
            if ($isRootFile -or $isFolder -or $isScript) {
                $expected[$relative] = $script:members[$name]
            }
        }
        $expected.Count | Should -BeGreaterThan 12
        @($summary.files.Keys | Sort-Object) | Should -Be @($expected.Keys | Sort-Object)
        foreach ($relative in $expected.Keys) {
            $summary.files[$relative] | Should -Be $expected[$relative] -Because $relative
        }
    }

    It 'writes installer.log entry by entry, with a byte-order mark, local ISO 8601 stamps and CR LF' {
        $entries = @(Read-InstallLog -Path $sandbox.LogFile)
        @($entries | ForEach-Object -Process { $_.Text }) | Should -Be @(
            'Installing TARNQUILL 0.15.0', "Installer SHA-256: $($script:setupHash)", "Installation complete: $app")
        $previous = [DateTimeOffset]::MinValue
        $expectedBytes = New-Object -TypeName System.Collections.Generic.List[byte]
        $expectedBytes.AddRange([byte[]](0xEF, 0xBB, 0xBF))
        foreach ($entry in $entries) {
            $time = [DateTimeOffset]::ParseExact($entry.Time, 'yyyy-MM-ddTHH:mm:ss.fffffffzzz', [Globalization.CultureInfo]::InvariantCulture)
            # The local offset at the entry's own moment: a check after a change of daylight saving time sees another.
            $time.Offset | Should -Be ([TimeZoneInfo]::Local.GetUtcOffset($time.UtcDateTime))
            $time | Should -BeGreaterOrEqual $previous
            $previous = $time
            $expectedBytes.AddRange([Text.Encoding]::UTF8.GetBytes($entry.Time + ' ' + $entry.Text + "`r`n"))
        }
        [IO.File]::ReadAllBytes($sandbox.LogFile) | Should -Be $expectedBytes.ToArray()
    }

    It 'writes installer.sha256 as the checksum line of the setup executable' {
        [IO.File]::ReadAllBytes($sandbox.HashFile) |
            Should -Be ([Text.Encoding]::ASCII.GetBytes($script:setupHash + "  TARNQUILL-Setup-0.15.0-online.exe`r`n"))
        $builderLine = Join-Path -Path (Split-Path -Parent -Path $script:setupExe) -ChildPath 'TARNQUILL-Setup-0.15.0-online.exe.sha256'
        if (Test-Path -LiteralPath $builderLine -PathType Leaf) {
            ([IO.File]::ReadAllText($builderLine) -split ' ')[0] | Should -Be $script:setupHash
        }
    }

    It 'writes the uninstall entry afresh with its eleven values in order' {
        $key = 'HKCU:\Software\Microsoft\Windows\CurrentVersion\Uninstall\TARNQUILL'
        $InstallDoubles.registry[0].Call | Should -Be 'Reset'
        $InstallDoubles.registry[0].Path | Should -Be $key
        $values = @($InstallDoubles.registry | Select-Object -Skip 1)
        @($values | Where-Object -FilterScript { $_.Call -ne 'Set' -or $_.Path -ne $key }) | Should -BeNullOrEmpty
        $quoted = '"' + $uninstaller + '"'
        $expected = @(
            @('DisplayName', 'String', 'TARNQUILL'),
            @('DisplayVersion', 'String', '0.15.0'),
            @('Publisher', 'String', 'TARNQUILL'),
            @('InstallLocation', 'String', $app),
            @('DisplayIcon', 'String', ($icon + ',0')),
            @('UninstallString', 'String', ('powershell.exe -NoProfile -ExecutionPolicy Bypass -File ' + $quoted)),
            @('QuietUninstallString', 'String', ('powershell.exe -NoProfile -NonInteractive -ExecutionPolicy Bypass -File ' + $quoted + ' -Quiet')),
            @('NoModify', 'DWord', 1),
            @('NoRepair', 'DWord', 1)
        )
        $values.Count | Should -Be 11
        for ($i = 0; $i -lt $expected.Count; $i++) {
            @($values[$i].Name, $values[$i].Type, $values[$i].Value) | Should -Be $expected[$i]
        }
        @($values[9].Name, $values[9].Type) | Should -Be @('InstallDate', 'String')
        @($script:dayBefore, $script:dayAfter) | Should -Contain $values[9].Value
        @($values[10].Name, $values[10].Type) | Should -Be @('EstimatedSize', 'DWord')
        $values[10].Value | Should -Be (Get-PythonFileSummary -Path $app).kib
        $values[10].Value | Should -BeGreaterThan 48000
    }

    It 'writes the three shortcuts' {
        $InstallDoubles.links.Count | Should -Be 3
        $description = 'TARNQUILL - Find. Explain. Fix.'
        foreach ($i in 0, 1) {
            $link = $InstallDoubles.links[$i]
            $link.Path | Should -Be (Join-Path -Path (@($sandbox.Desktop, $sandbox.Programs)[$i]) -ChildPath 'TARNQUILL.lnk')
            @($link.Target, $link.WorkingDirectory, $link.IconLocation, $link.Description) | Should -Be @($exe, $app, ($icon + ',0'), $description)
            $link.Bound | Should -Be @('Description', 'IconLocation', 'Path', 'Target', 'WorkingDirectory')
        }
        $link = $InstallDoubles.links[2]
        $link.Path | Should -Be (Join-Path -Path $sandbox.StartMenuGroup -ChildPath 'Uninstall TARNQUILL.lnk')
        @($link.Target, $link.Arguments, $link.WorkingDirectory, $link.IconLocation) |
            Should -Be @('powershell.exe', ('-NoProfile -ExecutionPolicy Bypass -File "' + $uninstaller + '"'), $app, ($icon + ',0'))
        $link.Bound | Should -Be @('Arguments', 'IconLocation', 'Path', 'Target', 'WorkingDirectory')
    }

    It 'refreshes the shell, logs completion, shows the success lines and starts the application' {
        $InstallDoubles.refresh | Should -Be @('SHChangeNotify', ($script:sandbox.IconCacheTool + ' -ClearIconCache'),
            ($script:sandbox.IconCacheTool + ' -show'))
        $InstallDoubles.started.Count | Should -Be 1
        @($InstallDoubles.started[0].Path, $InstallDoubles.started[0].WorkingDirectory) | Should -Be @($exe, $app)
        $text = $run.Text
        $copying = [array]::IndexOf($text, 'Copying verified application runtime...')
        $success = [array]::IndexOf($text, 'TARNQUILL installed successfully.')
        $copying | Should -BeGreaterThan ([array]::IndexOf($text, 'A matching hash checks file integrity, not publisher identity.'))
        $success | Should -BeGreaterThan $copying
        $run.Lines[$success].Colour | Should -Be 'Green'
        @($text | Select-Object -Skip ($success - 1)) | Should -Be @('', 'TARNQUILL installed successfully.',
            ('Desktop: ' + (Join-Path -Path $sandbox.Desktop -ChildPath 'TARNQUILL.lnk')),
            ('Start Menu: ' + (Join-Path -Path $sandbox.Programs -ChildPath 'TARNQUILL.lnk')))
        @($text | Where-Object -FilterScript { $_ -like 'Installer Authenticode status: *' }) | Should -Be @('Installer Authenticode status: NotSigned')
    }

    It 'leaves no temporary build folder' {
        $built = @($run.Text | Where-Object -FilterScript { $_ -like 'Portable build created: *' })
        $built.Count | Should -Be 1
        $buildFolder = $built[0].Substring('Portable build created: '.Length)
        Split-Path -Leaf -Path $buildFolder | Should -MatchExactly '\ATARNQUILL-build-[0-9a-f]{32}\z'
        Split-Path -Parent -Path $buildFolder | Should -Be $sandbox.Temp
        Test-Path -LiteralPath $buildFolder | Should -BeFalse
        @(Get-ChildItem -LiteralPath $sandbox.Temp -Force) | Should -BeNullOrEmpty
    }
}

Describe 'the installer run through the hand-off command' {
    BeforeEach {
        $script:sandbox = New-InstallSandbox -Parent $script:work
        $script:doubles = Join-Path -Path $script:sandbox.Root -ChildPath 'doubles.jsonl'
        $script:answers = Join-Path -Path $script:sandbox.Root -ChildPath 'answers'
        [void](Write-InstallDoubleProfile -Sandbox $script:sandbox -DoublesLog $script:doubles -AnswerFolder $script:answers)
        [IO.File]::WriteAllText($script:sandbox.IconCacheTool, 'stand-in')
        $script:folders = New-WorkFolder -Sandbox $script:sandbox
        Set-PayloadRuntimePin -Zip (Join-Path -Path $script:folders.Work -ChildPath 'source.zip')
        $script:setupCopy = Join-Path -Path $script:folders.Temp -ChildPath 'TARNQUILL-Setup-0.15.0-online.exe'
        Copy-Item -LiteralPath $script:setupExe -Destination $script:setupCopy
        $script:handOff = Get-TarnquillHandOffCommand -Version '0.15.0'
    }

    AfterEach {
        Remove-Item -LiteralPath $script:sandbox.Root -Recurse -Force -ErrorAction SilentlyContinue
    }

    It 'installs, starts the application, removes the work folder and ends with 0' {
        [IO.File]::WriteAllText((Join-Path -Path $script:answers -ChildPath 'answer-1.txt'), 'y')
        # Like the bootstrap's command line, except -NoProfile: the profile brings the doubles.
        $started = Start-InstallProcess -Sandbox $script:sandbox -Kernel32Folder $script:kernel32 `
            -Arguments @('-NoLogo', '-ExecutionPolicy', 'Bypass', '-Command', $script:handOff) `
            -Environment @{ TEMP = $script:folders.Temp; TMP = $script:folders.Temp; TARNQUILL_SETUP_WORK = $script:folders.Work; TARNQUILL_SETUP_EXE = $script:setupCopy }
        $started.Process.StandardInput.Close()
        $run = Wait-InstallProcess -Started $started

        $run.ExitCode | Should -Be 0 -Because ($run.Stdout + $run.Stderr)
        $run.Stdout | Should -Match 'TARNQUILL installed successfully\.'
        Test-Path -LiteralPath $script:folders.Work | Should -BeFalse
        $app = Join-Path -Path $script:sandbox.InstallRoot -ChildPath 'App-0.15.0'
        Test-Path -LiteralPath (Join-Path -Path $app -ChildPath 'TARNQUILL.exe') -PathType Leaf | Should -BeTrue
        $calls = Read-InstallDoubleCall -DoublesLog $script:doubles
        $starts = @($calls | Where-Object -FilterScript { $_.Command -eq 'Start-TarnquillApplication' })
        $starts.Count | Should -Be 1
        $starts[0].Parameters.WorkingDirectory | Should -Be $app
        @(Read-InstallLog -Path $script:sandbox.LogFile | ForEach-Object -Process { $_.Text })[1] |
            Should -Be "Installer SHA-256: $($script:setupHash)"
    }

    It 'reports a No at the question once, waits for Enter, keeps the work folder and ends with the cancelled code' {
        [IO.File]::WriteAllText((Join-Path -Path $script:answers -ChildPath 'answer-1.txt'), 'n')
        $started = Start-InstallProcess -Sandbox $script:sandbox -Kernel32Folder $script:kernel32 `
            -Arguments @('-NoLogo', '-ExecutionPolicy', 'Bypass', '-Command', $script:handOff) `
            -Environment @{ TEMP = $script:folders.Temp; TMP = $script:folders.Temp; TARNQUILL_SETUP_WORK = $script:folders.Work; TARNQUILL_SETUP_EXE = $script:setupCopy }
        $started.Process.StandardInput.WriteLine('')
        $started.Process.StandardInput.Close()
        $run = Wait-InstallProcess -Started $started

        # Linux gives a parent the low 8 bits of an exit code.
        $run.ExitCode | Should -Be (1602 % 256)
        $lines = @($run.Stdout -split "`r?`n")
        $failed = [array]::IndexOf($lines, 'Installation failed.')
        $failed | Should -BeGreaterThan 0
        $lines[$failed + 1] | Should -Be 'Installation cancelled before downloading.'
        $lines[$failed + 2] | Should -Be ('Log: ' + $script:sandbox.LogFile)
        $lines[$failed + 3] | Should -BeLike 'Press Enter to close*'
        Test-Path -LiteralPath (Join-Path -Path $script:folders.Work -ChildPath 'source.zip') -PathType Leaf | Should -BeTrue
        Test-Path -LiteralPath (Join-Path -Path $script:folders.Tree -ChildPath 'scripts') | Should -BeTrue
        Test-Path -LiteralPath (Join-Path -Path $script:sandbox.InstallRoot -ChildPath 'App-0.15.0') | Should -BeFalse
    }
}
