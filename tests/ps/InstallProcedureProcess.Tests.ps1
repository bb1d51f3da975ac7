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

    function Get-ErrorText {
        # The error display wraps long messages onto lines that begin with "|".
        param([string]$Text)
        return ($Text -replace '\r?\n\s*\|\s*', ' ')
    }

    function Wait-Prompt {
        param([int]$Number, [psobject]$Started)
        $prompt = Join-Path -Path $script:answers -ChildPath "prompt-$Number.txt"
        $deadline = [DateTime]::UtcNow.AddSeconds(120)
        while (-not (Test-Path -LiteralPath $prompt -PathType Leaf)) {
            if ($Started.Process.HasExited) {
                $ended = Wait-InstallProcess -Started $Started
                throw "install.ps1 ended before question ${Number}: $($ended.Stdout) $($ended.Stderr)"
            }
            if ([DateTime]::UtcNow -gt $deadline) {
                throw "Question $Number was not asked within 120 seconds."
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
        [void](Write-InstallDoubleProfile -Sandbox $script:sandbox -DoublesLog $script:doubles -AnswerFolder $script:answers)
    }

    AfterEach {
        Remove-Item -LiteralPath $script:sandbox.Root -Recurse -Force -ErrorAction SilentlyContinue
    }

    It 'ends with exit code 0 after an installation, and 1 after a cancelled one' {
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
        $run.ExitCode | Should -Be 1
        $run.Stdout | Should -Match 'Installation failed\.'
        Get-ErrorText $run.Stderr | Should -Match 'Installation cancelled before downloading\.'
        $entries = @(Read-InstallLog -Path $script:sandbox.LogFile | ForEach-Object -Process { $_.Text })
        $entries[-1] | Should -Be 'ERROR Installation cancelled before downloading.'
    }

    It 'ends with exit code 1 and no log when the release version is invalid' {
        $tree = Join-Path -Path $script:sandbox.Root -ChildPath 'tree'
        [void][IO.Directory]::CreateDirectory($tree)
        Copy-Item -LiteralPath (Join-Path -Path $script:tree -ChildPath 'package.json') -Destination $tree
        Copy-Item -LiteralPath (Join-Path -Path $script:tree -ChildPath 'scripts') -Destination $tree -Recurse
        Set-InstallTreeVersion -Tree $tree -Version '1.2.3-beta'
        $run = Wait-InstallProcess -Started (Start-Install -NoProfile -Script (Join-Path -Path (Join-Path -Path $tree -ChildPath 'scripts') -ChildPath 'install.ps1'))
        $run.ExitCode | Should -Be 1
        Get-ErrorText $run.Stderr | Should -Match 'package\.json contains an invalid release version\.'
        Test-Path -LiteralPath $script:sandbox.InstallRoot | Should -BeFalse
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
            $second.ExitCode | Should -Be 1
            Get-ErrorText $second.Stderr | Should -Match 'Another TARNQUILL installer or uninstaller is running for this user\. Nothing was changed\.'
            $second.Stdout | Should -Not -Match 'TARNQUILL v0\.15\.0'
            [IO.File]::ReadAllBytes($script:sandbox.LogFile) | Should -Be $logBefore
            @(Get-ChildItem -LiteralPath $script:sandbox.Local -Recurse -Force | ForEach-Object -Process { $_.FullName }) |
                Should -Be $rootBefore
            Test-Path -LiteralPath (Join-Path -Path $script:answers -ChildPath 'prompt-2.txt') | Should -BeFalse

            $uninstaller = Join-Path -Path (Join-Path -Path $script:tree -ChildPath 'scripts') -ChildPath 'uninstall-installed.ps1'
            $uninstall = Wait-InstallProcess -Started (Start-Install -Script $uninstaller -Extra '-Quiet')
            $uninstall.ExitCode | Should -Be 1
            Get-ErrorText $uninstall.Stderr | Should -Match 'Another TARNQUILL installer or uninstaller is running for this user\. Nothing was changed\.'
            @(Get-ChildItem -LiteralPath $script:sandbox.Local -Recurse -Force | ForEach-Object -Process { $_.FullName }) |
                Should -Be $rootBefore
        } finally {
            Set-Answer -Number 1 -Text 'n'
            $firstRun = Wait-InstallProcess -Started $first
        }
        $firstRun.ExitCode | Should -Be 1
        Get-ErrorText $firstRun.Stderr | Should -Match 'Installation cancelled before downloading\.'

        # The lock went with the first run: a third run gets as far as its question.
        Clear-Answers
        Set-Answer -Number 1 -Text 'no'
        $third = Wait-InstallProcess -Started (Start-Install -Extra '-NoLaunch')
        $third.ExitCode | Should -Be 1
        Get-ErrorText $third.Stderr | Should -Match 'Installation cancelled before downloading\.'
    }
}
