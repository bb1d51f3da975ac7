Set-StrictMode -Version Latest
# ctest-timeout: 900
# Installs check for running processes named TARNQUILL, which the uninstaller's
# tests start; the two must not run side by side.
# ctest-lock: tarnquill_process

# install.ps1 run as its own pwsh process, the way the fallback launchers run it
# (-File): exit codes, and a second run while the first one waits at its question.
# The Windows-only functions are replaced through a profile in the sandbox HOME
# (support/InstallProcedure.ps1), so these runs leave out -NoProfile.

BeforeAll {
    . (Join-Path -Path $PSScriptRoot -ChildPath 'support/FakeRuntime.ps1')
    . (Join-Path -Path $PSScriptRoot -ChildPath 'support/InstallProcedure.ps1')

    $script:work = Get-InstallTestFolder
    $script:kernel32 = Initialize-InstallKernel32Double -Folder $script:work
    $script:archive = Get-FakeElectronArchive
    $script:server = Start-FakeRuntimeServer -ArchivePath $script:archive.Path

    $script:tree = Copy-InstallSourceTree -Destination (Join-Path -Path $script:work -ChildPath 'tree')
    Set-FakeRuntimePin -RuntimeScriptPath (Join-Path -Path (Join-Path -Path $script:tree -ChildPath 'scripts') -ChildPath 'runtime.ps1') `
        -Sha256 $script:archive.Sha256 -PrimaryUrl (Get-FakeRuntimeServerUrl -Server $script:server -Route 'archive') `
        -MirrorUrl (Get-FakeRuntimeRefusedUrl)
    $script:installScript = Join-Path -Path (Join-Path -Path $script:tree -ChildPath 'scripts') -ChildPath 'install.ps1'

    function Start-Install {
        param([string[]]$Extra = @(), [switch]$NoProfile, [string]$Script = $script:installScript)
        $arguments = @('-NoLogo')
        if ($NoProfile) {
            $arguments += '-NoProfile'
        }
        $arguments += @('-File', $Script) + $Extra
        return Start-InstallProcess -Sandbox $script:sandbox -Arguments $arguments -Kernel32Folder $script:kernel32
    }

    function Set-Answer {
        param([int]$Number, [string]$Text)
        Set-InstallAnswer -AnswerFolder $script:answers -Number $Number -Text $Text
    }

    function Clear-Answers {
        Get-ChildItem -LiteralPath $script:answers -File | Remove-Item -Force
    }

    # A setup run's work folder in TEMP, as the setup executable makes it, with this file's runtime pin.
    function New-WorkTree {
        param([string]$Name)
        $tree = Copy-InstallSourceTree -Destination ([IO.Path]::Combine($script:sandbox.Temp, $Name, 'TARNQUILL-v0.15.0'))
        Copy-Item -LiteralPath (Join-Path -Path $script:tree -ChildPath 'scripts/runtime.ps1') -Destination (Join-Path -Path $tree -ChildPath 'scripts') -Force
        return $tree
    }

    function Get-ErrorText {
        # The error display wraps long messages onto lines that begin with "|".
        param([string]$Text)
        return ($Text -replace '\r?\n\s*\|\s*', ' ')
    }

    function Wait-Prompt {
        param([int]$Number, [psobject]$Started)
        $prompt = Join-Path -Path $script:answers -ChildPath "prompt-$Number.txt"
        $deadline = [DateTime]::UtcNow.AddSeconds(300)
        while (-not (Test-Path -LiteralPath $prompt -PathType Leaf)) {
            if ($Started.Process.HasExited) {
                $ended = Wait-InstallProcess -Started $Started
                throw "install.ps1 ended before question ${Number}: $($ended.Stdout) $($ended.Stderr)"
            }
            if ([DateTime]::UtcNow -gt $deadline) {
                throw "Question $Number was not asked within 300 seconds."
            }
            Start-Sleep -Milliseconds 50
        }
        return [IO.File]::ReadAllText($prompt)
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

Describe 'install.ps1 run with pwsh -File' {
    BeforeEach {
        $script:sandbox = New-InstallSandbox -Parent $script:work
        $script:doubles = Join-Path -Path $script:sandbox.Root -ChildPath 'doubles.jsonl'
        $script:answers = Join-Path -Path $script:sandbox.Root -ChildPath 'answers'
        $script:profile = Write-InstallDoubleProfile -Sandbox $script:sandbox -DoublesLog $script:doubles -AnswerFolder $script:answers
    }

    AfterEach {
        Remove-Item -LiteralPath $script:sandbox.Root -Recurse -Force -ErrorAction SilentlyContinue
    }

    It 'ends with exit code 0 after an installation, and 1602 after a cancelled one, whose message it shows once' {
        Set-Answer -Number 1 -Text 'y'
        $run = Wait-InstallProcess -Started (Start-Install -Extra '-NoLaunch')
        $run.ExitCode | Should -Be 0 -Because $run.Stderr
        $run.Stdout | Should -Match 'TARNQUILL installed successfully\.'
        $calls = Read-InstallDoubleCall -DoublesLog $script:doubles
        @($calls | Where-Object -FilterScript { $_.Command -eq 'Set-TarnquillRegistryValue' }).Count | Should -Be 11
        @($calls | Where-Object -FilterScript { $_.Command -eq 'Start-TarnquillApplication' }).Count | Should -Be 0

        Clear-Answers
        Set-Answer -Number 1 -Text 'n'
        $run = Wait-InstallProcess -Started (Start-Install)
        $run.ExitCode | Should -Be (1602 % 256)
        ([regex]::Matches($run.Stdout, 'Installation failed\.')).Count | Should -Be 1
        ([regex]::Matches($run.Stdout, 'Installation cancelled before downloading\.')).Count | Should -Be 1
        $entries = @(Read-InstallLog -Path $script:sandbox.LogFile | ForEach-Object -Process { $_.Text })
        $entries[-1] | Should -Be 'ERROR Installation cancelled before downloading.'
    }

    It 'ends with the general failure code and no log when the release version is invalid' {
        $tree = Join-Path -Path $script:sandbox.Root -ChildPath 'tree'
        [void][IO.Directory]::CreateDirectory($tree)
        Copy-Item -LiteralPath (Join-Path -Path $script:tree -ChildPath 'package.json') -Destination $tree
        Copy-Item -LiteralPath (Join-Path -Path $script:tree -ChildPath 'scripts') -Destination $tree -Recurse
        Set-InstallTreeVersion -Tree $tree -Version '1.2.3-beta'
        $run = Wait-InstallProcess -Started (Start-Install -NoProfile -Script (Join-Path -Path (Join-Path -Path $tree -ChildPath 'scripts') -ChildPath 'install.ps1'))
        $run.ExitCode | Should -Be (1603 % 256)
        $run.Stdout | Should -Match 'package\.json contains an invalid release version\.'
        Test-Path -LiteralPath $script:sandbox.InstallRoot | Should -BeFalse
    }

    It 'stops with 1625 before anything is written when PowerShell runs in Constrained Language Mode' {
        # As application control leaves a session: the script then runs in that mode as well.
        $copy = Join-Path -Path $script:sandbox.Root -ChildPath 'setup log.txt'
        [IO.File]::WriteAllBytes($copy, [byte[]](0xEF, 0xBB, 0xBF))
        $command = "`$ExecutionContext.SessionState.LanguageMode = 'ConstrainedLanguage'; " +
            "& '$($script:installScript)' -Unattended -LogPath '$copy'; exit `$LASTEXITCODE"
        $run = Wait-InstallProcess -Started (Start-InstallProcess -Sandbox $script:sandbox -Kernel32Folder $script:kernel32 `
                -Arguments @('-NoLogo', '-NoProfile', '-NonInteractive', '-Command', $command))
        $run.ExitCode | Should -Be (1625 % 256)
        $run.Stdout | Should -Match 'Constrained Language Mode, so the setup''s scripts cannot run\. Nothing was installed\.'
        [IO.File]::ReadAllText($copy) | Should -Match 'Constrained Language Mode'
        Test-Path -LiteralPath $script:sandbox.InstallRoot | Should -BeFalse
    }

    It 'logs each space check that could not read its free space, with the folder and the reason, and installs' {
        $tree = New-WorkTree -Name 'TARNQUILL-Setup-0.15.0-0000000000000e01-0000000000000001'
        Set-Answer -Number 1 -Text 'y'
        $environment = @{ KERNEL32_DOUBLE_REFUSE = 'GetDiskFreeSpaceExW'; KERNEL32_DOUBLE_ERROR = '5' }
        $run = Wait-InstallProcess -Started (Start-InstallProcess -Sandbox $script:sandbox -Kernel32Folder $script:kernel32 -Environment $environment `
                -Arguments @('-NoLogo', '-File', (Join-Path -Path $tree -ChildPath 'scripts/install.ps1'), '-NoLaunch'))
        $run.ExitCode | Should -Be 0 -Because $run.Stderr
        $run.Stdout | Should -Not -Match 'could not be read'
        $entries = @(Read-InstallLog -Path $script:sandbox.LogFile | ForEach-Object -Process { $_.Text })
        $passed = @($entries | Where-Object -FilterScript { $_ -like 'The free space for the *' })
        $passed.Count | Should -Be 2
        $passed[0] | Should -Match ('^The free space for the unpacked runtime could not be read, so its space check was passed over: ' +
            [regex]::Escape((Join-Path -Path $tree -ChildPath '.runtime')) + ': GetDiskFreeSpaceExW failed: \S')
        $passed[1] | Should -Match ('^The free space for the application image could not be read, so its space check was passed over: ' +
            [regex]::Escape($script:sandbox.Temp) + ': GetDiskFreeSpaceExW failed: \S')
    }

    It 'refuses a second run and an uninstaller while the first waits at its question, changing nothing, and releases the lock at the end' {
        # An earlier version that an uninstaller would remove first, if it got that far.
        $earlier = Join-Path -Path $script:sandbox.InstallRoot -ChildPath 'App-0.13.3'
        [void][IO.Directory]::CreateDirectory($earlier)
        [IO.File]::WriteAllText((Join-Path -Path $earlier -ChildPath 'marker.txt'), 'earlier')
        $first = Start-Install -Extra '-NoLaunch'
        try {
            Wait-Prompt -Number 1 -Started $first | Should -Be 'Download the listed runtime and install TARNQUILL? [Y/N, default N]'
            $logBefore = [IO.File]::ReadAllBytes($script:sandbox.LogFile)
            $rootBefore = @(Get-ChildItem -LiteralPath $script:sandbox.Local -Recurse -Force | ForEach-Object -Process { $_.FullName })

            # The second run would read answer-1.txt as well; it must never get that far.
            $second = Wait-InstallProcess -Started (Start-Install -Extra '-NoLaunch')
            $second.ExitCode | Should -Be (1618 % 256)
            $second.Stdout | Should -Match 'Another TARNQUILL installer or uninstaller is running for this user\. Nothing was changed\.'
            $second.Stdout | Should -Not -Match 'TARNQUILL v0\.15\.0'
            [IO.File]::ReadAllBytes($script:sandbox.LogFile) | Should -Be $logBefore
            @(Get-ChildItem -LiteralPath $script:sandbox.Local -Recurse -Force | ForEach-Object -Process { $_.FullName }) |
                Should -Be $rootBefore
            Test-Path -LiteralPath (Join-Path -Path $script:answers -ChildPath 'prompt-2.txt') | Should -BeFalse

            $uninstaller = Join-Path -Path (Join-Path -Path $script:tree -ChildPath 'scripts') -ChildPath 'uninstall-installed.ps1'
            $uninstall = Wait-InstallProcess -Started (Start-Install -Script $uninstaller -Extra '-Quiet')
            $uninstall.ExitCode | Should -Be (1618 % 256)
            Get-ErrorText $uninstall.Stderr | Should -Match 'Another TARNQUILL installer or uninstaller is running for this user\. Nothing was changed\.'
            @(Get-ChildItem -LiteralPath $script:sandbox.Local -Recurse -Force | ForEach-Object -Process { $_.FullName }) |
                Should -Be $rootBefore
        } finally {
            Set-Answer -Number 1 -Text 'n'
            $firstRun = Wait-InstallProcess -Started $first
        }
        $firstRun.ExitCode | Should -Be (1602 % 256)
        $firstRun.Stdout | Should -Match 'Installation cancelled before downloading\.'

        # The lock went with the first run: a third run gets as far as its question.
        Clear-Answers
        Set-Answer -Number 1 -Text 'no'
        $third = Wait-InstallProcess -Started (Start-Install -Extra '-NoLaunch')
        $third.ExitCode | Should -Be (1602 % 256)
        $third.Stdout | Should -Match 'Installation cancelled before downloading\.'
    }

    It 'names the image build in its stop when the disk fills as the icon writer commits the executable (error <Code>)' -ForEach @(
        @{ Code = 112 }, @{ Code = 39 }
    ) {
        # The kernel32 double refuses the commit as Windows does on a full disk: a Win32Exception with the code.
        Set-Answer -Number 1 -Text 'y'
        $refuse = @{ KERNEL32_DOUBLE_REFUSE = 'EndUpdateResourceW'; KERNEL32_DOUBLE_ERROR = [string]$Code }
        $run = Wait-InstallProcess -Started (Start-InstallProcess -Sandbox $script:sandbox -Kernel32Folder $script:kernel32 -Environment $refuse `
                -Arguments @('-NoLogo', '-File', $script:installScript, '-NoLaunch'))

        $run.ExitCode | Should -Be 112
        $message = 'Building the application image in the temporary folder stopped: the disk is full. EndUpdateResource failed.'
        $run.Stdout | Should -Match ([regex]::Escape($message))
        $entries = @(Read-InstallLog -Path $script:sandbox.LogFile | ForEach-Object -Process { $_.Text })
        $entries[-1] | Should -Be ('ERROR ' + $message)
        @(Get-ChildItem -LiteralPath $script:sandbox.InstallRoot -Name) | Should -Be @('Logs')
    }

    It 'removes the BITS job that a run cut off a minute ago left in its work folder before it downloads, and leaves a portable build''s job' {
        # The first run's console was closed mid-download; its folder is too young to be removed,
        # but under the lock its transfer can only be an orphan that would download a second time.
        $cut = [IO.Path]::Combine($script:sandbox.Temp, 'TARNQUILL-Setup-0.15.0-00000000000d0e0f-0000000000000001', 'TARNQUILL-v0.15.0', '.runtime', 'cache')
        [void][IO.Directory]::CreateDirectory($cut)
        $orphan = Join-Path -Path $cut -ChildPath 'electron-v43.4.1-win32-x64.zip.partial'
        [IO.File]::WriteAllText($orphan, 'first megabytes')
        $portable = [IO.Path]::Combine($script:sandbox.Root, 'portable tree', '.runtime', 'cache', 'electron-v43.4.1-win32-x64.zip.partial')
        $queue = '@(' + ((@($orphan, $portable) | ForEach-Object -Process {
                    "[pscustomobject]@{ DisplayName = 'TARNQUILL Electron runtime download'; FileList = @([pscustomobject]@{ LocalName = '" + $_.Replace("'", "''") + "' }) }"
                }) -join ', ') + ')'
        [IO.File]::AppendAllText($script:profile, @"
`$global:BitsQueue = $queue
function global:Get-BitsTransfer { [CmdletBinding()] param() `$global:BitsQueue }
function global:Remove-BitsTransfer {
    [CmdletBinding()] param(`$BitsJob)
    Write-InstallDoubleCall -Command 'Remove-BitsTransfer' -Parameters @{ File = [string]`$BitsJob.FileList[0].LocalName }
}
"@)
        # The new run's own work folder beside it, so that it downloads the archive: once.
        $tree = New-WorkTree -Name 'TARNQUILL-Setup-0.15.0-00000000000d0e10-0000000000000002'
        $requests = @(Get-FakeRuntimeServerRequest -Server $script:server).Count
        Set-Answer -Number 1 -Text 'y'
        $run = Wait-InstallProcess -Started (Start-Install -Extra '-NoLaunch' -Script (Join-Path -Path $tree -ChildPath 'scripts/install.ps1'))

        $run.ExitCode | Should -Be 0 -Because $run.Stderr
        $calls = Read-InstallDoubleCall -DoublesLog $script:doubles
        $removed = @($calls | Where-Object -FilterScript { $_.Command -eq 'Remove-BitsTransfer' })
        @($removed | ForEach-Object -Process { $_.Parameters.File }) | Should -Be @($orphan)
        @(Get-FakeRuntimeServerRequest -Server $script:server).Count | Should -Be ($requests + 1)
    }

    It 'retries a run killed mid-download from its own tree, then a new run takes the earlier verified archive and clears only stale leftovers' {
        $staleName = 'TARNQUILL-Setup-0.15.0-00000000000a1b2c-0000000000001234'
        $staleTree = New-WorkTree -Name $staleName
        $cache = [IO.Path]::Combine($staleTree, '.runtime', 'cache', 'electron-v43.4.1-win32-x64.zip')

        # The server stalls in the middle of the archive; the run is killed while it waits.
        [IO.File]::WriteAllText((Join-Path -Path $script:server.StateFolder -ChildPath 'stall-next'), '')
        Set-Answer -Number 1 -Text 'y'
        $cut = Start-Install -Extra '-NoLaunch' -Script ([IO.Path]::Combine($staleTree, 'scripts', 'install.ps1'))
        $deadline = [DateTime]::UtcNow.AddSeconds(300)
        while (-not ((Test-Path -LiteralPath ($cache + '.partial')) -and (Get-Item -LiteralPath ($cache + '.partial')).Length -gt 0)) {
            if ($cut.Process.HasExited -or [DateTime]::UtcNow -gt $deadline) {
                throw "The download did not start: $((Wait-InstallProcess -Started $cut).Stdout)"
            }
            Start-Sleep -Milliseconds 50
        }
        # Like a closed console: the pwsh launcher and the engine it started, at once.
        $cut.Process.Kill($true)
        $cut.Process.WaitForExit()
        Test-Path -LiteralPath $cache | Should -BeFalse

        Clear-Answers
        Set-Answer -Number 1 -Text 'y'
        $retry = Wait-InstallProcess -Started (Start-Install -Extra '-NoLaunch' -Script ([IO.Path]::Combine($staleTree, 'scripts', 'install.ps1')))
        $retry.ExitCode | Should -Be 0 -Because $retry.Stderr
        Test-Path -LiteralPath ($cache + '.partial') | Should -BeFalse
        (Get-FileHash -LiteralPath $cache -Algorithm SHA256).Hash | Should -Be $script:archive.Sha256

        # What a later run finds in TEMP; only the old folders of our own names may go.
        $wrongTree = [IO.Path]::Combine($script:sandbox.Temp, 'TARNQUILL-Setup-0.15.0-0000000000000001-0000000000000001', 'TARNQUILL-v0.15.0')
        [void][IO.Directory]::CreateDirectory([IO.Path]::Combine($wrongTree, '.runtime', 'cache'))
        [IO.File]::WriteAllText([IO.Path]::Combine($wrongTree, '.runtime', 'cache', 'electron-v43.4.1-win32-x64.zip'), 'not the runtime')
        $build = 'TARNQUILL-build-0123456789abcdef0123456789abcdef'
        $kept = @('TARNQUILL-build-fedcba9876543210fedcba9876543210', 'TARNQUILL-Setup-0.15.0-00000000000A1B2C-0000000000001234',
            'TARNQUILL-build-0123', 'Other-Setup', 'TARNQUILL-Setup-0.15.0-1111111111111111-2222222222222222')
        foreach ($name in @($build) + $kept[0..3]) {
            [void][IO.Directory]::CreateDirectory((Join-Path -Path $script:sandbox.Temp -ChildPath $name))
        }
        $current = New-WorkTree -Name $kept[4]
        foreach ($name in @($staleName, 'TARNQUILL-Setup-0.15.0-0000000000000001-0000000000000001', $build) + $kept[1..4]) {
            [IO.Directory]::SetLastWriteTimeUtc((Join-Path -Path $script:sandbox.Temp -ChildPath $name), [DateTime]::UtcNow.AddMinutes(-20))
        }
        [IO.Directory]::SetLastWriteTimeUtc((Join-Path -Path $script:sandbox.Temp -ChildPath $kept[0]), [DateTime]::UtcNow.AddMinutes(-1))

        # A link named like a work folder, to a verified archive that is not ours to take; sorted
        # first, it would be searched first.
        $linked = Join-Path -Path $script:sandbox.Root -ChildPath 'linked'
        $linkedArchive = [IO.Path]::Combine($linked, 'TARNQUILL-v0.15.0', '.runtime', 'cache', 'electron-v43.4.1-win32-x64.zip')
        [void][IO.Directory]::CreateDirectory((Split-Path -Parent -Path $linkedArchive))
        Copy-Item -LiteralPath $script:archive.Path -Destination $linkedArchive
        $link = Join-Path -Path $script:sandbox.Temp -ChildPath 'TARNQUILL-Setup-0.15.0-0000000000000000-00000000000000aa'
        [void](New-Item -ItemType SymbolicLink -Path $link -Target $linked)
        # TEMP spelled through a link, so the run's own work folder has another path there; TMP
        # (TMPDIR to .NET here) another folder, where the setup would have made its work folder.
        $spelling = Join-Path -Path $script:sandbox.Root -ChildPath 'temp-spelling'
        [void](New-Item -ItemType SymbolicLink -Path $spelling -Target $script:sandbox.Temp)
        $platformTemp = Join-Path -Path $script:sandbox.Root -ChildPath 'tmp'
        $platformLeftover = Join-Path -Path $platformTemp -ChildPath 'TARNQUILL-build-00000000000000000000000000000002'
        [void][IO.Directory]::CreateDirectory($platformLeftover)
        [IO.Directory]::SetLastWriteTimeUtc($platformLeftover, [DateTime]::UtcNow.AddMinutes(-20))
        $environment = @{ TEMP = $spelling; TMP = $platformTemp; TMPDIR = $platformTemp
            TARNQUILL_SETUP_WORK = (Join-Path -Path $script:sandbox.Temp -ChildPath $kept[4]) }

        $requests = @(Get-FakeRuntimeServerRequest -Server $script:server).Count
        Clear-Answers
        Set-Answer -Number 1 -Text 'y'
        $fresh = Wait-InstallProcess -Started (Start-InstallProcess -Sandbox $script:sandbox -Kernel32Folder $script:kernel32 -Environment $environment `
                -Arguments @('-NoLogo', '-File', ([IO.Path]::Combine($current, 'scripts', 'install.ps1')), '-NoLaunch'))
        $fresh.ExitCode | Should -Be 0 -Because $fresh.Stderr
        $fresh.Stdout | Should -Match 'Reusing the verified Electron runtime from an earlier run\.'
        @(Get-FakeRuntimeServerRequest -Server $script:server).Count | Should -Be $requests
        @(Get-ChildItem -LiteralPath $script:sandbox.Temp -Name | Sort-Object) | Should -Be @($kept | Sort-Object)
        Test-Path -LiteralPath $platformLeftover | Should -BeFalse
        (Get-FileHash -LiteralPath $linkedArchive -Algorithm SHA256).Hash | Should -Be $script:archive.Sha256
        $entries = @(Read-InstallLog -Path $script:sandbox.LogFile | ForEach-Object -Process { $_.Text })
        $entries | Should -Contain 'Reusing the verified Electron runtime from an earlier run.'
        # Named as TEMP spells it.
        $entries | Should -Contain ('Passed over the runtime archive of an earlier run: ' + [IO.Path]::Combine($spelling,
                'TARNQUILL-Setup-0.15.0-0000000000000001-0000000000000001', 'TARNQUILL-v0.15.0', '.runtime', 'cache', 'electron-v43.4.1-win32-x64.zip') +
            ' (its SHA-256 is not the pinned one).')
        $entries | Should -Contain 'Removed leftover temporary folder: TARNQUILL-Setup-0.15.0-0000000000000000-00000000000000aa (link)'
        @($entries | Where-Object -FilterScript { $_ -match '^Removed leftover temporary folder: (TARNQUILL-\S+) \(\d+(\.\d)? MB\)$' }).Count | Should -Be 4
    }

    Context 'while its C# compiles' {
        BeforeEach {
            $script:compileTree = New-WorkTree -Name 'compile'
            $script:native = Join-Path -Path $script:compileTree -ChildPath 'scripts/native'
        }

        It 'reports a refusal at the consent while the compile still waits for its source' {
            # A named pipe: the compiler's read of it waits until the test writes the pipe, which it
            # does only once the refusal is in the log. A run that waited for the compile would never
            # get there.
            $pipe = Join-Path -Path $script:native -ChildPath 'Waiting.cs'
            & mkfifo $pipe
            $LASTEXITCODE | Should -Be 0
            Set-Answer -Number 1 -Text 'n'
            $started = Start-Install -Script (Join-Path -Path $script:compileTree -ChildPath 'scripts/install.ps1')
            $deadline = [DateTime]::UtcNow.AddSeconds(300)
            while (-not ((Test-Path -LiteralPath $script:sandbox.LogFile) -and
                    ([IO.File]::ReadAllText($script:sandbox.LogFile) -match 'ERROR Installation cancelled before downloading\.'))) {
                $started.Process.HasExited | Should -BeFalse -Because 'the compile still waits for its source'
                [DateTime]::UtcNow | Should -BeLessThan $deadline -Because 'the refusal should be logged while the compile waits'
                Start-Sleep -Milliseconds 50
            }
            [IO.File]::WriteAllText($pipe, "// the source that the compile waited for`n")
            $run = Wait-InstallProcess -Started $started
            $run.ExitCode | Should -Be (1602 % 256)
            $run.Stdout | Should -Match 'Installation cancelled before downloading\.'
        }

        It 'stops on a compile that fails, naming the compile, before any request reaches the server' {
            [IO.File]::WriteAllText((Join-Path -Path $script:native -ChildPath 'Broken.cs'), "namespace TarnQuill.Broken { public class }`n")
            $requests = @(Get-FakeRuntimeServerRequest -Server $script:server).Count
            Set-Answer -Number 1 -Text 'y'
            $run = Wait-InstallProcess -Started (Start-Install -Extra '-NoLaunch' -Script (Join-Path -Path $script:compileTree -ChildPath 'scripts/install.ps1'))
            $run.ExitCode | Should -Not -Be 0
            $message = Get-ErrorText ($run.Stdout + $run.Stderr)
            $message | Should -Match 'The C# helpers of the setup scripts could not be compiled \(Add-Type\): .*Broken\.cs'
            $message | Should -Match 'No download was started\.'
            @(Get-FakeRuntimeServerRequest -Server $script:server).Count | Should -Be $requests
            Test-Path -LiteralPath (Join-Path -Path $script:sandbox.InstallRoot -ChildPath 'App-0.15.0') | Should -BeFalse
        }
    }
}

Describe 'install.ps1 on a small disk' {
    # The run's folders (TEMP with the work folder, and the install root) on a tmpfs that each
    # test mounts for itself, so that a full disk is a real one.
    BeforeEach {
        $script:disk = Join-Path -Path $script:work -ChildPath ('disk-' + [guid]::NewGuid().ToString('N').Substring(0, 8))
        [void][IO.Directory]::CreateDirectory($script:disk)
        $script:mounts = New-Object -TypeName System.Collections.Generic.List[string]
        $script:mountRefused = $null

        function Mount-SmallDisk {
            param([string]$Path, [int]$Megabytes)
            $output = & mount -t tmpfs -o "size=${Megabytes}m" tmpfs $Path 2>&1
            if ($LASTEXITCODE -ne 0) {
                $script:mountRefused = "mounting a tmpfs was refused: $output"
                return $false
            }
            $script:mounts.Insert(0, $Path)
            return $true
        }

        function New-DiskSandbox {
            param([int]$Megabytes)
            if (-not (Mount-SmallDisk -Path $script:disk -Megabytes $Megabytes)) {
                return $false
            }
            $script:sandbox = New-InstallSandbox -Parent $script:disk
            $script:doubles = Join-Path -Path $script:sandbox.Root -ChildPath 'doubles.jsonl'
            $script:answers = Join-Path -Path $script:sandbox.Root -ChildPath 'answers'
            $script:profile = Write-InstallDoubleProfile -Sandbox $script:sandbox -DoublesLog $script:doubles -AnswerFolder $script:answers
            return $true
        }
    }

    AfterEach {
        foreach ($mount in $script:mounts) {
            & umount $mount 2>&1 | Out-Null
        }
        Remove-Item -LiteralPath $script:disk -Recurse -Force -ErrorAction SilentlyContinue
    }

    It 'stops a download that cannot fit before it writes a byte, and tries no mirror' {
        if (-not (New-DiskSandbox -Megabytes 40)) {
            Set-ItResult -Skipped -Because $script:mountRefused
            return
        }
        $tree = New-WorkTree -Name 'TARNQUILL-Setup-0.15.0-0000000000000a01-0000000000000001'
        # A mirror that the server logs, so that a try of it would show.
        Set-FakeRuntimePin -RuntimeScriptPath (Join-Path -Path $tree -ChildPath 'scripts/runtime.ps1') `
            -MirrorUrl (Get-FakeRuntimeServerUrl -Server $script:server -Route 'unsized')
        $requests = @(Get-FakeRuntimeServerRequest -Server $script:server).Count
        Set-Answer -Number 1 -Text 'y'
        $run = Wait-InstallProcess -Started (Start-Install -Extra '-NoLaunch' -Script (Join-Path -Path $tree -ChildPath 'scripts/install.ps1'))

        $run.ExitCode | Should -Be 112
        $volume = [regex]::Escape($script:disk + '/')
        $needed = [Math]::Ceiling(($script:archive.Length + 64MB) / 1MB)
        $run.Stdout | Should -Match ("Not enough disk space to download the Electron runtime\. $volume \(runtime download\): " +
            "$needed MB needed, (3\d) MB free\. Nothing was installed\.")
        @(Get-ChildItem -LiteralPath ([IO.Path]::Combine($tree, '.runtime', 'cache')) -Force) | Should -BeNullOrEmpty
        $after = @(Get-FakeRuntimeServerRequest -Server $script:server)
        $after.Count | Should -Be ($requests + 1)
        $after[-1] | Should -Match '^GET /archive/'
        @(Get-ChildItem -LiteralPath $script:sandbox.InstallRoot -Name) | Should -Be @('Logs')
    }

    It 'stops before unpacking a runtime that cannot fit, keeps the verified archive, and the next run with more room downloads nothing' {
        if (-not (New-DiskSandbox -Megabytes 150)) {
            Set-ItResult -Skipped -Because $script:mountRefused
            return
        }
        $firstName = 'TARNQUILL-Setup-0.15.0-0000000000000b01-0000000000000001'
        $first = New-WorkTree -Name $firstName
        $cache = [IO.Path]::Combine($first, '.runtime', 'cache')
        Set-Answer -Number 1 -Text 'y'
        $run = Wait-InstallProcess -Started (Start-Install -Extra '-NoLaunch' -Script (Join-Path -Path $first -ChildPath 'scripts/install.ps1'))

        $run.ExitCode | Should -Be 112
        # The runtime unpacked, and again with the application files in the build folder.
        $volume = [regex]::Escape($script:disk + '/')
        $run.Stdout | Should -Match ("Not enough disk space to unpack the Electron runtime and install TARNQUILL\. " +
            "$volume \(unpacked runtime, application image\): 1[56]\d MB needed, (9\d|10\d) MB free\. Nothing was installed\. " +
            "The verified runtime archive stays in $([regex]::Escape($cache)), so the next setup run will not download it again\.")
        (Get-FileHash -LiteralPath (Join-Path -Path $cache -ChildPath 'electron-v43.4.1-win32-x64.zip') -Algorithm SHA256).Hash | Should -Be $script:archive.Sha256
        @(Get-ChildItem -LiteralPath ([IO.Path]::Combine($first, '.runtime')) -Name) | Should -Be @('cache')
        @(Get-ChildItem -LiteralPath $script:sandbox.Temp -Name) | Should -Be @($firstName)
        @(Get-ChildItem -LiteralPath $script:sandbox.InstallRoot -Name) | Should -Be @('Logs')

        # Room made; a new setup run, its work folder beside the earlier one's.
        & mount -o remount,size=400m $script:disk 2>&1 | Out-Null
        $LASTEXITCODE | Should -Be 0
        $second = New-WorkTree -Name 'TARNQUILL-Setup-0.15.0-0000000000000b02-0000000000000002'
        $requests = @(Get-FakeRuntimeServerRequest -Server $script:server).Count
        Clear-Answers
        Set-Answer -Number 1 -Text 'y'
        $retry = Wait-InstallProcess -Started (Start-Install -Extra '-NoLaunch' -Script (Join-Path -Path $second -ChildPath 'scripts/install.ps1'))
        $retry.ExitCode | Should -Be 0 -Because $retry.Stderr
        $retry.Stdout | Should -Match 'Reusing the verified Electron runtime from an earlier run\.'
        @(Get-FakeRuntimeServerRequest -Server $script:server).Count | Should -Be $requests
        Test-Path -LiteralPath ([IO.Path]::Combine($script:sandbox.InstallRoot, 'App-0.15.0', 'TARNQUILL.exe')) -PathType Leaf | Should -BeTrue
    }

    It 'refuses before unpacking when the install volume, apart from TEMP''s, lacks room for the image, and names the install volume' {
        if (-not (New-DiskSandbox -Megabytes 400)) {
            Set-ItResult -Skipped -Because $script:mountRefused
            return
        }
        # TEMP has room for all it takes; the install root's own volume has room for its log only.
        Mount-SmallDisk -Path $script:sandbox.Local -Megabytes 90 | Should -BeTrue
        $tree = New-WorkTree -Name 'TARNQUILL-Setup-0.15.0-0000000000000d01-0000000000000001'
        $cache = [IO.Path]::Combine($tree, '.runtime', 'cache')
        Set-Answer -Number 1 -Text 'y'
        $run = Wait-InstallProcess -Started (Start-Install -Extra '-NoLaunch' -Script (Join-Path -Path $tree -ChildPath 'scripts/install.ps1'))

        $run.ExitCode | Should -Be 112
        $run.Stdout | Should -Match ('Not enough disk space to unpack the Electron runtime and install TARNQUILL\. ' +
            [regex]::Escape($script:sandbox.Local + '/') + ' \(installed application\): 1[01]\d MB needed, (8\d|90) MB free\. Nothing was installed\. ' +
            'The verified runtime archive stays in ' + [regex]::Escape($cache) + ', so the next setup run will not download it again\.')
        $run.Stdout | Should -Not -Match ([regex]::Escape($script:disk + '/ ('))
        @(Get-ChildItem -LiteralPath ([IO.Path]::Combine($tree, '.runtime')) -Name) | Should -Be @('cache')
        @(Get-ChildItem -LiteralPath $script:sandbox.Temp -Name) | Should -Be @('TARNQUILL-Setup-0.15.0-0000000000000d01-0000000000000001')
        @(Get-ChildItem -LiteralPath $script:sandbox.InstallRoot -Name) | Should -Be @('Logs')
    }

    It 'keeps the earlier installation, registered, and puts the same-version backup back when the install volume fills during the copy into place' {
        if (-not (New-DiskSandbox -Megabytes 400)) {
            Set-ItResult -Skipped -Because $script:mountRefused
            return
        }
        # The install root on a volume of its own, with room for the new version when it is checked.
        Mount-SmallDisk -Path $script:sandbox.Local -Megabytes 120 | Should -BeTrue
        foreach ($name in @('App-0.14.0', 'App-0.15.0')) {
            $folder = Join-Path -Path $script:sandbox.InstallRoot -ChildPath $name
            [void][IO.Directory]::CreateDirectory($folder)
            [IO.File]::WriteAllText((Join-Path -Path $folder -ChildPath 'TARNQUILL.exe'), "earlier $name")
        }
        # The volume test of the copy into place (not the space check's, asked before the image
        # exists) waits here while the test fills the disk. The two mounts are other volumes.
        [IO.File]::AppendAllText($script:profile, @'
function global:Test-DiskDoubleSameVolume {
    param([string]$Path, [string]$OtherPath)
    if (-not (Test-Path -LiteralPath (Join-Path -Path $Path -ChildPath 'TARNQUILL.exe'))) { return $false }
    [IO.File]::WriteAllText((Join-Path -Path $global:InstallAnswerFolder -ChildPath 'copy-ready'), '')
    $go = Join-Path -Path $global:InstallAnswerFolder -ChildPath 'copy-go'
    $deadline = [DateTime]::UtcNow.AddMinutes(5)
    while (-not (Test-Path -LiteralPath $go)) {
        if ([DateTime]::UtcNow -gt $deadline) { throw 'The test did not fill the disk.' }
        Start-Sleep -Milliseconds 50
    }
    return $false
}
Set-Alias -Scope Global -Name Test-TarnquillSameVolume -Value Test-DiskDoubleSameVolume
# The uninstaller's registry functions, for its run on the full disk.
function global:Remove-DiskDoubleUninstallKey { Write-InstallDoubleCall -Command 'Remove-TarnquillUninstallKey' -Parameters @{} }
function global:Get-DiskDoubleStartupValue { $null }
Set-Alias -Scope Global -Name Remove-TarnquillUninstallKey -Value Remove-DiskDoubleUninstallKey
Set-Alias -Scope Global -Name Get-TarnquillStartupValue -Value Get-DiskDoubleStartupValue
'@)
        $tree = New-WorkTree -Name 'TARNQUILL-Setup-0.15.0-0000000000000c01-0000000000000001'
        Set-Answer -Number 1 -Text 'y'
        $started = Start-Install -Extra '-NoLaunch' -Script (Join-Path -Path $tree -ChildPath 'scripts/install.ps1')
        try {
            $ready = Join-Path -Path $script:answers -ChildPath 'copy-ready'
            $deadline = [DateTime]::UtcNow.AddSeconds(300)
            while (-not (Test-Path -LiteralPath $ready)) {
                if ($started.Process.HasExited -or [DateTime]::UtcNow -gt $deadline) {
                    throw "The copy into place was not reached: $((Wait-InstallProcess -Started $started).Stdout)"
                }
                Start-Sleep -Milliseconds 50
            }
            # Another program takes all but 8 MB of the install volume.
            $filler = [IO.File]::OpenWrite((Join-Path -Path $script:sandbox.Local -ChildPath 'filler.bin'))
            try {
                $block = New-Object -TypeName byte[] -ArgumentList 1MB
                while ((New-Object -TypeName System.IO.DriveInfo -ArgumentList $script:sandbox.Local).AvailableFreeSpace -gt 8MB) {
                    $filler.Write($block, 0, $block.Length)
                    $filler.Flush()
                }
            } finally {
                $filler.Dispose()
            }
        } finally {
            [IO.File]::WriteAllText((Join-Path -Path $script:answers -ChildPath 'copy-go'), '')
            $run = Wait-InstallProcess -Started $started
        }

        # Linux reports ENOSPC without the Windows disk-full code, so this is the general failure here.
        $run.ExitCode | Should -Be (1603 % 256)
        $run.Stdout | Should -Match 'No space left on device'
        @(Get-ChildItem -LiteralPath $script:sandbox.InstallRoot -Name | Sort-Object) | Should -Be @('App-0.14.0', 'App-0.15.0', 'Logs')
        foreach ($name in @('App-0.14.0', 'App-0.15.0')) {
            @(Get-ChildItem -LiteralPath (Join-Path -Path $script:sandbox.InstallRoot -ChildPath $name) -Recurse -Name) | Should -Be @('TARNQUILL.exe')
            [IO.File]::ReadAllText([IO.Path]::Combine($script:sandbox.InstallRoot, $name, 'TARNQUILL.exe')) | Should -Be "earlier $name"
        }
        # Shortcuts and the uninstall entry are those of the earlier installation: none were written.
        @(Read-InstallDoubleCall -DoublesLog $script:doubles | Where-Object -FilterScript { $_.Command -match 'Registry|ShellLink' }) | Should -BeNullOrEmpty
        $entries = @(Read-InstallLog -Path $script:sandbox.LogFile | ForEach-Object -Process { $_.Text })
        $entries[-2] | Should -Match '^Moved backup back into place: Backup-0\.15\.0-[0-9a-f]{32}$'
        $entries[-1] | Should -Match '^ERROR .*No space left on device'

        # The uninstaller needs no room: it runs on the volume filled to the last byte.
        $filler = [IO.File]::Open((Join-Path -Path $script:sandbox.Local -ChildPath 'filler.bin'), [IO.FileMode]::Append)
        try {
            { while ($true) { $filler.Write($block, 0, 65536); $filler.Flush() } } | Should -Throw '*No space left on device*'
        } finally {
            try { $filler.Dispose() } catch { $null = $_ }
        }
        $uninstall = Wait-InstallProcess -Started (Start-Install -Script (Join-Path -Path $tree -ChildPath 'scripts/uninstall-installed.ps1') -Extra '-Quiet')
        $uninstall.ExitCode | Should -Be 0 -Because $uninstall.Stderr
        Test-Path -LiteralPath $script:sandbox.InstallRoot | Should -BeFalse
        @(Read-InstallDoubleCall -DoublesLog $script:doubles | Where-Object -FilterScript { $_.Command -eq 'Remove-TarnquillUninstallKey' }).Count | Should -Be 1
    }
}
