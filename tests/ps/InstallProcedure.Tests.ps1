Set-StrictMode -Version Latest
# ctest-timeout: 1200
# Installs check for running processes named TARNQUILL, which the uninstaller's
# tests start; the two must not run side by side.
# ctest-lock: tarnquill_process

# install.ps1 runs in this process on a copy of the source tree whose runtime pin names
# the fake archive on a local host. Only the Windows-only functions of install.ps1 are
# mocked (see support/InstallProcedure.ps1); downloads, the image build with the kernel32
# double, folder moves, logs and the console run for real.

BeforeAll {
    . (Join-Path -Path $PSScriptRoot -ChildPath 'support/FakeRuntime.ps1')
    . (Join-Path -Path $PSScriptRoot -ChildPath 'support/InstallProcedure.ps1')

    $script:work = Get-InstallTestFolder
    $script:repoInstall = Join-Path -Path (Join-Path -Path $env:TARNQUILL_ROOT -ChildPath 'scripts') -ChildPath 'install.ps1'
    Import-InstallWindowsInterface -ScriptPath $script:repoInstall
    # Where the image goes into place: the volume test and the one platform call of a folder move.
    Import-InstallScriptFunction -ScriptPath $script:repoInstall -Name 'Test-TarnquillSameVolume'
    Import-InstallScriptFunction -ScriptPath (Join-Path -Path (Join-Path -Path $env:TARNQUILL_ROOT -ChildPath 'scripts') -ChildPath 'retried-moves.ps1') -Name 'Invoke-TarnquillDirectoryMove'
    [void](Initialize-InstallKernel32Double -Folder $script:work)

    $script:archive = Get-FakeElectronArchive
    $script:server = Start-FakeRuntimeServer -ArchivePath $script:archive.Path
    $script:refusedUrl = Get-FakeRuntimeRefusedUrl

    function New-TreeCopy {
        # A source tree copy in a folder whose name holds a space and brackets, with the
        # runtime pin pointed at the local host.
        param([string]$Name, [string]$Version = '0.15.0')
        $tree = Copy-InstallSourceTree -Destination (Join-Path -Path $script:work -ChildPath "tree [$Name]")
        Set-FakeRuntimePin -RuntimeScriptPath (Join-Path -Path (Join-Path -Path $tree -ChildPath 'scripts') -ChildPath 'runtime.ps1') `
            -Sha256 $script:archive.Sha256 -PrimaryUrl (Get-FakeRuntimeServerUrl -Server $script:server -Route 'archive') `
            -MirrorUrl $script:refusedUrl
        if ($Version -ne '0.15.0') {
            Set-InstallTreeVersion -Tree $tree -Version $Version
        }
        return $tree
    }

    $script:tree = New-TreeCopy -Name 'main'
    $script:installScript = Join-Path -Path (Join-Path -Path $script:tree -ChildPath 'scripts') -ChildPath 'install.ps1'
    $script:mainVersion = '0.15.0'

    function Get-RequestCount {
        return @(Get-FakeRuntimeServerRequest -Server $script:server).Count
    }

    function Get-LogText {
        return @(Read-InstallLog -Path $script:sandbox.LogFile | ForEach-Object -Process { $_.Text })
    }

    function Get-FolderNames {
        param([string]$Path)
        return @(Get-ChildItem -LiteralPath $Path -Force | ForEach-Object -Process { $_.Name } | Sort-Object)
    }

    function New-OwnedFolder {
        # A stand-in version folder with one file in it.
        param([string]$Name)
        $path = Join-Path -Path $script:sandbox.InstallRoot -ChildPath $Name
        [void][IO.Directory]::CreateDirectory($path)
        [IO.File]::WriteAllText((Join-Path -Path $path -ChildPath 'marker.txt'), $Name)
        return $path
    }

    function Invoke-Install {
        param([string[]]$Answers, [string]$Script = $script:installScript, [switch]$NoLaunch)
        foreach ($answer in $Answers) {
            $InstallDoubles.answers.Enqueue($answer)
        }
        return Invoke-InstallScript -ScriptPath $Script -NoLaunch:$NoLaunch
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

Describe 'install.ps1' {
    BeforeEach {
        $script:sandbox = New-InstallSandbox -Parent $script:work
        $script:savedEnvironment = Enter-InstallSandbox -Sandbox $script:sandbox
        [IO.File]::WriteAllText($script:sandbox.IconCacheTool, 'stand-in')

        $script:InstallDoubles = Register-InstallDouble -Sandbox $script:sandbox
    }

    AfterEach {
        Exit-InstallSandbox -Saved $script:savedEnvironment
        Remove-Item -LiteralPath $script:sandbox.Root -Recurse -Force -ErrorAction SilentlyContinue
    }

    Context 'the download question' {
        It 'installs on the answer <Answer>' -ForEach @(
            @{ Answer = 'Y' }, @{ Answer = 'yes' }, @{ Answer = 'YeS' }
        ) {
            $run = Invoke-Install -Answers $Answer -NoLaunch
            $run.Message | Should -BeNullOrEmpty
            $run.ExitCode | Should -Be 0
            $InstallDoubles.prompts | Should -Be @('Download the listed runtime and install TARNQUILL? [Y/N, default N]')
            Test-Path -LiteralPath (Join-Path -Path $script:sandbox.InstallRoot -ChildPath 'App-0.15.0/TARNQUILL.exe') -PathType Leaf |
                Should -BeTrue
            $run.Text | Should -Contain 'TARNQUILL installed successfully.'
        }

        It 'cancels on the answer "<Answer>" before any download, writing nothing outside the log folder' -ForEach @(
            @{ Answer = '' }, @{ Answer = 'n' }, @{ Answer = 'no' }, @{ Answer = 'yeah' }, @{ Answer = ' y' }, @{ Answer = 'y ' }
        ) {
            $requests = Get-RequestCount
            $run = Invoke-Install -Answers $Answer

            $run.Message | Should -Be 'Installation cancelled before downloading.'
            $run.ExitCode | Should -Be 1602
            Get-LogText | Should -Be @('Installing TARNQUILL 0.15.0', 'ERROR Installation cancelled before downloading.')
            Get-RequestCount | Should -Be $requests
            Get-FolderNames -Path $script:sandbox.InstallRoot | Should -Be @('Logs')
            Get-FolderNames -Path $script:sandbox.Logs | Should -Be @('installer.log')
            @(Get-ChildItem -LiteralPath $script:sandbox.Temp -Force) | Should -BeNullOrEmpty
            @(Get-ChildItem -LiteralPath $script:sandbox.Desktop -Force) | Should -BeNullOrEmpty
            @(Get-ChildItem -LiteralPath $script:sandbox.Programs -Force) | Should -BeNullOrEmpty
            $InstallDoubles.registry.Count + $InstallDoubles.links.Count + $InstallDoubles.started.Count + $InstallDoubles.refresh.Count | Should -Be 0

            $tail = @($run.Lines | Select-Object -Last 4)
            $tail[0].Text | Should -Be ''
            ($tail[1].Text, $tail[1].Colour) | Should -Be @('Installation failed.', 'Red')
            ($tail[2].Text, $tail[2].Colour) | Should -Be @('Installation cancelled before downloading.', 'Yellow')
            ($tail[3].Text, $tail[3].Colour) | Should -Be @(('Log: ' + $script:sandbox.LogFile), 'DarkGray')
        }
    }

    Context 'the console before the question' {
        It 'shows the banner, the target, the sources, the pinned hash and the caveats in order and colour' {
            $run = Invoke-Install -Answers 'n'
            $urls = @(
                ((Get-FakeRuntimeServerUrl -Server $script:server -Route 'archive') + '/electron/electron/releases/download/v43.4.1/electron-v43.4.1-win32-x64.zip'),
                ($script:refusedUrl + '/projects/electron.mirror/files/v43.4.1/electron-v43.4.1-win32-x64.zip/download'))
            $expected = @(
                @('', ''),
                @('TARNQUILL v0.15.0', 'Green'),
                @('Windows online installer', 'White'),
                @('The verified Electron runtime is downloaded once. Administrator rights are not required.', 'DarkGray'),
                @('', ''),
                @(('Install location: ' + (Join-Path -Path $script:sandbox.InstallRoot -ChildPath 'App-0.15.0')), ''),
                @('Download: electron-v43.4.1-win32-x64.zip (Windows x64 runtime)', ''),
                @(('Source: ' + $urls[0]), ''),
                @(('Source: ' + $urls[1]), ''),
                @(('Expected runtime SHA-256: ' + $script:archive.Sha256), ''),
                @('Release manifest checks are OFF until you consent inside the app.', ''),
                @('No telemetry, antivirus exclusions, driver downloads or elevation.', ''),
                @('Started from source: no installer EXE hash is available.', ''),
                @('A matching hash checks file integrity, not publisher identity.', 'Yellow')
            )
            $run.Lines.Count | Should -Be ($expected.Count + 4)
            for ($i = 0; $i -lt $expected.Count; $i++) {
                ($run.Lines[$i].Text, $run.Lines[$i].Colour) | Should -Be $expected[$i]
            }
            $run.Output | Should -BeNullOrEmpty
        }
    }

    Context 'the release version' {
        It 'stops before the log folder exists for the version <Version>' -ForEach @(
            @{ Version = '1.2' }, @{ Version = '1.2.3-beta' }, @{ Version = '' }, @{ Version = "1.2.3`n" },
            @{ Version = ('1.2.' + [char]0x0663) }
        ) {
            $tree = Join-Path -Path $script:sandbox.Root -ChildPath 'tree'
            [void][IO.Directory]::CreateDirectory($tree)
            Copy-Item -LiteralPath (Join-Path -Path $script:tree -ChildPath 'package.json') -Destination $tree
            Copy-Item -LiteralPath (Join-Path -Path $script:tree -ChildPath 'scripts') -Destination $tree -Recurse
            Set-InstallTreeVersion -Tree $tree -Version $Version

            $run = Invoke-Install -Script (Join-Path -Path (Join-Path -Path $tree -ChildPath 'scripts') -ChildPath 'install.ps1')
            $run.Message | Should -Be 'package.json contains an invalid release version.'
            $run.ExitCode | Should -Be 1603
            $run.Text | Should -Be @('', 'Installation failed.', 'package.json contains an invalid release version.')
            Test-Path -LiteralPath $script:sandbox.InstallRoot | Should -BeFalse
        }
    }

    Context 'the per-user data folder' {
        It 'stops with the root check''s refusal, creating nothing, when LOCALAPPDATA is <Case>' -ForEach @(
            @{ Case = 'unset'; Value = $null }, @{ Case = 'blank'; Value = '  ' }
        ) {
            $env:LOCALAPPDATA = $Value
            $run = Invoke-Install -Answers 'y'
            $run.Message | Should -Be 'LOCALAPPDATA is unavailable.'
            $run.ExitCode | Should -Be 1603
            $run.Text | Should -Be @('', 'Installation failed.', 'LOCALAPPDATA is unavailable.')
            @(Get-ChildItem -LiteralPath $script:sandbox.Root -Recurse -File |
                    Where-Object -FilterScript { $_.FullName -ne $script:sandbox.IconCacheTool }) | Should -BeNullOrEmpty
        }
    }

    Context 'a running process named TARNQUILL' {
        It 'stops the run with the close request and leaves the process running' {
            $binary = Join-Path -Path $script:sandbox.Temp -ChildPath 'TARNQUILL'
            Copy-Item -LiteralPath '/bin/sleep' -Destination $binary
            $process = [Diagnostics.Process]::Start($binary, '120')
            try {
                $deadline = [DateTime]::UtcNow.AddSeconds(10)
                while (@(Get-Process -Name 'TARNQUILL' -ErrorAction SilentlyContinue).Count -eq 0 -and [DateTime]::UtcNow -lt $deadline) {
                    Start-Sleep -Milliseconds 20
                }
                $run = Invoke-Install -Answers 'y'
                $process.HasExited | Should -BeFalse
            } finally {
                $process.Kill()
                $process.WaitForExit()
                Remove-Item -LiteralPath $binary -Force
            }
            $message = 'Close TARNQUILL using Exit in its tray menu, then run the installer again. No processes were force-closed.'
            $run.Message | Should -Be $message
            $run.ExitCode | Should -Be 15618
            Get-LogText | Should -Be @("ERROR $message")
            $InstallDoubles.prompts | Should -BeNullOrEmpty
        }
    }

    Context 'the setup executable' {
        BeforeEach {
            $script:setupFolder = Join-Path -Path $script:sandbox.Root -ChildPath 'setup [1]'
            [void][IO.Directory]::CreateDirectory($script:setupFolder)
            $script:setupExe = Join-Path -Path $script:setupFolder -ChildPath 'TARNQUILL-Setup-0.15.0-online.exe'
            [IO.File]::WriteAllBytes($script:setupExe, [byte[]](1..200))
            $script:setupHash = ((& sha256sum $script:setupExe) -split ' ')[0]
        }

        It 'shows "Started from source" and keeps an earlier installer.sha256 when TARNQUILL_SETUP_EXE is <Case>' -ForEach @(
            @{ Case = 'absent'; Value = $null }, @{ Case = 'empty'; Value = '' }, @{ Case = 'naming no file'; Value = 'missing.exe' }
        ) {
            [void][IO.Directory]::CreateDirectory($script:sandbox.Logs)
            $earlier = [Text.Encoding]::ASCII.GetBytes(('0' * 64) + "  earlier.exe`r`n")
            [IO.File]::WriteAllBytes($script:sandbox.HashFile, $earlier)
            if ($Value -eq 'missing.exe') {
                $env:TARNQUILL_SETUP_EXE = Join-Path -Path $script:setupFolder -ChildPath $Value
            } else {
                $env:TARNQUILL_SETUP_EXE = $Value
            }

            $run = Invoke-Install -Answers 'n'
            $run.Text | Should -Contain 'Started from source: no installer EXE hash is available.'
            Get-LogText | Should -Be @('Installing TARNQUILL 0.15.0', 'ERROR Installation cancelled before downloading.')
            [IO.File]::ReadAllBytes($script:sandbox.HashFile) | Should -Be $earlier
            Should -Invoke Get-TarnquillSignatureStatus -Times 0 -Exactly
        }

        It 'shows, logs and writes the hash of an unsigned setup file and goes on to the question' {
            $env:TARNQUILL_SETUP_EXE = $script:setupExe
            $run = Invoke-Install -Answers 'n'

            $at = [array]::IndexOf($run.Text, 'Installer SHA-256: ' + $script:setupHash)
            $at | Should -BeGreaterThan 0
            $run.Text[$at - 1] | Should -Be 'No telemetry, antivirus exclusions, driver downloads or elevation.'
            $run.Lines[$at].Colour | Should -Be 'Cyan'
            ($run.Lines[$at + 1].Text, $run.Lines[$at + 1].Colour) |
                Should -Be @('Compare with SHA256SUMS.txt / RELEASE_NOTES.md from your trusted release source.', '')
            ($run.Lines[$at + 2].Text, $run.Lines[$at + 2].Colour) | Should -Be @('Installer Authenticode status: NotSigned', '')
            ($run.Lines[$at + 3].Text, $run.Lines[$at + 3].Colour) |
                Should -Be @('A matching hash checks file integrity, not publisher identity.', 'Yellow')
            Get-LogText | Should -Be @('Installing TARNQUILL 0.15.0', "Installer SHA-256: $($script:setupHash)",
                'ERROR Installation cancelled before downloading.')
            [IO.File]::ReadAllBytes($script:sandbox.HashFile) |
                Should -Be ([Text.Encoding]::ASCII.GetBytes($script:setupHash + "  TARNQUILL-Setup-0.15.0-online.exe`r`n"))
            Should -Invoke Get-TarnquillSignatureStatus -Times 1 -Exactly -ParameterFilter { $Path -eq $script:setupExe }
            $InstallDoubles.prompts.Count | Should -Be 1
        }

        It 'stops before the question and any download when the signature is damaged' {
            $env:TARNQUILL_SETUP_EXE = $script:setupExe
            $InstallDoubles.signature = 'HashMismatch'
            $requests = Get-RequestCount
            $run = Invoke-Install -Answers 'y'

            $run.Message | Should -Be 'Installer signature is damaged. No download was started.'
            $run.Text | Should -Contain 'Installer Authenticode status: HashMismatch'
            $InstallDoubles.prompts | Should -BeNullOrEmpty
            Get-RequestCount | Should -Be $requests
            (Get-LogText)[-1] | Should -Be 'ERROR Installer signature is damaged. No download was started.'
        }

        It 'writes "?" for each non-ASCII letter of the file name and the digest unchanged' {
            $name = 'TARNQUILL-' + (-join @([char]0x0423, [char]0x0441, [char]0x0442, [char]0x00E9)) + '.exe'
            $renamed = Join-Path -Path $script:setupFolder -ChildPath $name
            Move-Item -LiteralPath $script:setupExe -Destination $renamed
            $env:TARNQUILL_SETUP_EXE = $renamed

            [void](Invoke-Install -Answers 'n')
            [IO.File]::ReadAllBytes($script:sandbox.HashFile) |
                Should -Be ([Text.Encoding]::ASCII.GetBytes($script:setupHash + "  TARNQUILL-????.exe`r`n"))
        }
    }

    Context 'an image build that fails' {
        It 'passes the runtime check''s message on, logs it and leaves the installed version and the temporary folder as they were' {
            $tree = New-TreeCopy -Name 'wrong pin'
            Set-FakeRuntimePin -RuntimeScriptPath (Join-Path -Path (Join-Path -Path $tree -ChildPath 'scripts') -ChildPath 'runtime.ps1') `
                -Sha256 ('0' * 64) -PrimaryUrl (Get-FakeRuntimeServerUrl -Server $script:server -Route 'archive') `
                -MirrorUrl $script:refusedUrl
            $installed = New-OwnedFolder -Name 'App-0.15.0'

            $run = Invoke-Install -Answers 'y' -Script (Join-Path -Path (Join-Path -Path $tree -ChildPath 'scripts') -ChildPath 'install.ps1')
            $message = 'Electron runtime integrity check failed. Expected ' + ('0' * 64) + ', received ' + $script:archive.Sha256 + '.'
            $run.Message | Should -Be $message
            Get-LogText | Should -Be @('Installing TARNQUILL 0.15.0', "ERROR $message")
            $tail = @($run.Lines | Select-Object -Last 3)
            ($tail[0].Text, $tail[0].Colour) | Should -Be @('Installation failed.', 'Red')
            ($tail[1].Text, $tail[1].Colour) | Should -Be @($message, 'Yellow')
            Get-FolderNames -Path $script:sandbox.InstallRoot | Should -Be @('App-0.15.0', 'Logs')
            Get-FolderNames -Path $installed | Should -Be @('marker.txt')
            @(Get-ChildItem -LiteralPath $script:sandbox.Temp -Force) | Should -BeNullOrEmpty
            $InstallDoubles.links.Count + $InstallDoubles.registry.Count + $InstallDoubles.refresh.Count + $InstallDoubles.started.Count |
                Should -Be 0
        }
    }

    Context 'installing into a root that holds earlier versions' {
        It 'moves the installed folder of the same version to a backup and does not offer it for removal' {
            [void](Invoke-Install -Answers 'y' -NoLaunch)
            $app = Join-Path -Path $script:sandbox.InstallRoot -ChildPath 'App-0.15.0'
            [IO.File]::WriteAllText((Join-Path -Path $app -ChildPath 'first-run.txt'), 'first')
            $firstLog = [IO.File]::ReadAllBytes($script:sandbox.LogFile)

            $run = Invoke-Install -Answers 'y' -NoLaunch
            $run.Message | Should -BeNullOrEmpty
            $backups = @(Get-ChildItem -LiteralPath $script:sandbox.InstallRoot -Directory |
                    Where-Object -FilterScript { $_.Name -like 'Backup-*' })
            $backups.Count | Should -Be 1
            $backups[0].Name | Should -MatchExactly '\ABackup-0\.15\.0-[0-9a-f]{32}\z'
            Test-Path -LiteralPath (Join-Path -Path $backups[0].FullName -ChildPath 'first-run.txt') | Should -BeTrue
            Test-Path -LiteralPath (Join-Path -Path $app -ChildPath 'first-run.txt') | Should -BeFalse
            Test-Path -LiteralPath (Join-Path -Path $app -ChildPath 'TARNQUILL.exe') -PathType Leaf | Should -BeTrue
            $InstallDoubles.prompts | Should -Be @(
                'Download the listed runtime and install TARNQUILL? [Y/N, default N]',
                'Download the listed runtime and install TARNQUILL? [Y/N, default N]')

            # The log only grows: the first run's bytes stay as they were, with no second byte-order mark.
            $log = [IO.File]::ReadAllBytes($script:sandbox.LogFile)
            $log[0..($firstLog.Length - 1)] | Should -Be $firstLog
            Get-LogText | Should -Be @(
                'Installing TARNQUILL 0.15.0', "Installation complete: $app",
                'Installing TARNQUILL 0.15.0', "Installation complete: $app")
            @(Get-ChildItem -LiteralPath $script:sandbox.Temp -Force) | Should -BeNullOrEmpty
        }

        It 'moves the earlier installation back, and logs it, when the new image cannot be moved into place' {
            $app = New-OwnedFolder -Name 'App-0.15.0'
            Mock Invoke-TarnquillDirectoryMove { [System.IO.Directory]::Move($Source, $Destination) }
            Mock Invoke-TarnquillDirectoryMove {
                throw [System.IO.IOException]::new('There is not enough space on the disk.', -2147024784)
            } -ParameterFilter { $Source -like '*TARNQUILL-build-*' }

            $run = Invoke-Install -Answers 'y' -NoLaunch
            # The step is named: the platform's text says neither what nor where.
            $run.Message | Should -Be ('Copying the new version into ' + $app + ' stopped: the disk is full. There is not enough space on the disk.')
            Should -Invoke Invoke-TarnquillDirectoryMove -Times 1 -Exactly -ParameterFilter { $Source -like '*TARNQUILL-build-*' }
            Get-FolderNames -Path $script:sandbox.InstallRoot | Should -Be @('App-0.15.0', 'Logs')
            [IO.File]::ReadAllText((Join-Path -Path $app -ChildPath 'marker.txt')) | Should -Be 'App-0.15.0'
            $log = Get-LogText
            $log.Count | Should -Be 3
            $log[1] | Should -MatchExactly '\AMoved backup back into place: Backup-0\.15\.0-[0-9a-f]{32}\z'
            $log[2] | Should -Be ('ERROR ' + $run.Message)
            @(Get-ChildItem -LiteralPath $script:sandbox.Temp -Force) | Should -BeNullOrEmpty
            $InstallDoubles.links.Count + $InstallDoubles.registry.Count | Should -Be 0
        }

        It 'copies the image into place when <Case>' -ForEach @(
            @{ Case = 'the temporary folder lies on another volume'; Moves = 0 }
            @{ Case = 'the move is refused with ERROR_NOT_SAME_DEVICE, the drive letter holding a mount point'; Moves = 1 }
        ) {
            Mock Invoke-TarnquillDirectoryMove { [System.IO.Directory]::Move($Source, $Destination) }
            if ($Moves -eq 0) {
                Mock Test-TarnquillSameVolume { $false }
            } else {
                Mock Test-TarnquillSameVolume { $true }
                # What the .NET Framework raises: an IOException with error 17 in its HRESULT.
                Mock Invoke-TarnquillDirectoryMove {
                    throw [System.IO.IOException]::new('The system cannot move the file to a different disk drive.', -2147024879)
                } -ParameterFilter { $Source -like '*TARNQUILL-build-*' }
            }

            $run = Invoke-Install -Answers 'y' -NoLaunch
            $run.Message | Should -BeNullOrEmpty
            Should -Invoke Test-TarnquillSameVolume -Times 1 -Exactly
            Should -Invoke Invoke-TarnquillDirectoryMove -Times $Moves -Exactly -ParameterFilter { $Source -like '*TARNQUILL-build-*' }
            $app = Join-Path -Path $script:sandbox.InstallRoot -ChildPath 'App-0.15.0'
            foreach ($file in @('TARNQUILL.exe', 'VERSION.txt', 'resources/app/package.json', 'resources/app/scripts/uninstall-installed.ps1')) {
                Test-Path -LiteralPath (Join-Path -Path $app -ChildPath $file) -PathType Leaf | Should -BeTrue
            }
            @(Get-ChildItem -LiteralPath $script:sandbox.Temp -Force) | Should -BeNullOrEmpty
        }

        It 'deletes the half-made copy and stops with the copy''s error when the copy into place fails part-way' {
            # The volume check plants a link to itself in the build folder: the copy stops there,
            # after the files before it.
            Mock Test-TarnquillSameVolume {
                # Only at the move: the space check asks before the image exists.
                if (Test-Path -LiteralPath (Join-Path -Path $Path -ChildPath 'resources')) {
                    [void][IO.File]::CreateSymbolicLink((Join-Path -Path $Path -ChildPath 'resources/zz-loop'), 'zz-loop')
                }
                $false
            }

            $run = Invoke-Install -Answers 'y' -NoLaunch
            $run.Message | Should -BeLike '*zz-loop*'
            (Get-LogText)[-1] | Should -Be ('ERROR ' + $run.Message)
            Get-FolderNames -Path $script:sandbox.InstallRoot | Should -Be @('Logs')
            @(Get-ChildItem -LiteralPath $script:sandbox.Temp -Force) | Should -BeNullOrEmpty
            $InstallDoubles.links.Count + $InstallDoubles.registry.Count | Should -Be 0
        }

        It 'refuses to move an installed folder that holds a symbolic link, and leaves it in place' {
            $app = New-OwnedFolder -Name 'App-0.15.0'
            $outside = Join-Path -Path $script:sandbox.Root -ChildPath 'outside'
            [void][IO.Directory]::CreateDirectory($outside)
            $link = Join-Path -Path $app -ChildPath 'link'
            [void](New-Item -ItemType SymbolicLink -Path $link -Target $outside)

            $run = Invoke-Install -Answers 'y'
            $run.Message | Should -Be "Refusing to remove a tree containing a junction/symlink: $link"
            Get-FolderNames -Path $script:sandbox.InstallRoot | Should -Be @('App-0.15.0', 'Logs')
            Get-FolderNames -Path $app | Should -Be @('link', 'marker.txt')
            @(Get-ChildItem -LiteralPath $script:sandbox.Temp -Force) | Should -BeNullOrEmpty
            $InstallDoubles.links.Count + $InstallDoubles.registry.Count | Should -Be 0
        }

        It 'lists exactly the 0.11.0 folder and its backup, and removes them on Yes' {
            $old = New-OwnedFolder -Name 'App-0.11.0'
            $oldBackup = New-OwnedFolder -Name ('Backup-0.11.0-' + ('ab' * 16))
            [void](New-OwnedFolder -Name 'App-0.13.3')
            [void](New-OwnedFolder -Name 'Data')
            [void](New-OwnedFolder -Name 'App-not-a-version')
            # The plan keeps the order of the directory listing.
            $planned = @(Get-ChildItem -LiteralPath $script:sandbox.InstallRoot -Directory -Force |
                    Where-Object -FilterScript { @($old, $oldBackup) -contains $_.FullName })

            $run = Invoke-Install -Answers 'y', 'y'
            $run.Message | Should -BeNullOrEmpty
            $at = [array]::IndexOf($run.Text, 'Versions older than the latest two can now be removed. User data is not included:')
            $run.Lines[$at].Colour | Should -Be 'Yellow'
            $run.Lines.Count | Should -Be ($at + 3)
            foreach ($i in 0, 1) {
                ($run.Lines[$at + 1 + $i].Text, $run.Lines[$at + 1 + $i].Colour) | Should -Be @($planned[$i].FullName, '')
            }
            $InstallDoubles.prompts[1] | Should -Be 'Remove exactly these old application/backup folders? [Y/N, default N]'
            Get-LogText | Should -Be @('Installing TARNQUILL 0.15.0',
                ('Installation complete: ' + (Join-Path -Path $script:sandbox.InstallRoot -ChildPath 'App-0.15.0')),
                ('Removed old version: ' + $planned[0].Name), ('Removed old version: ' + $planned[1].Name))
            Get-FolderNames -Path $script:sandbox.InstallRoot | Should -Be @('App-0.13.3', 'App-0.15.0', 'App-not-a-version', 'Data', 'Logs')
            Get-FolderNames -Path (Join-Path -Path $script:sandbox.InstallRoot -ChildPath 'Data') | Should -Be @('marker.txt')
            Get-FolderNames -Path (Join-Path -Path $script:sandbox.InstallRoot -ChildPath 'App-not-a-version') | Should -Be @('marker.txt')
            $InstallDoubles.started.Count | Should -Be 1
        }

        It 'keeps the old folders when the removal question is not answered Yes' {
            [void](New-OwnedFolder -Name 'App-0.11.0')
            [void](New-OwnedFolder -Name 'App-0.13.3')
            $run = Invoke-Install -Answers 'y', 'no' -NoLaunch
            $run.Message | Should -BeNullOrEmpty
            ($run.Lines[-1].Text, $run.Lines[-1].Colour) | Should -Be @('Old versions retained by your choice.', '')
            Get-FolderNames -Path $script:sandbox.InstallRoot | Should -Be @('App-0.11.0', 'App-0.13.3', 'App-0.15.0', 'Logs')
            Get-LogText | Should -Not -Contain 'Removed old version: App-0.11.0'
        }

        It 'installs 0.11.0 beside 0.15.0 and 0.13.3 without asking about removal' {
            $tree = New-TreeCopy -Name 'downgrade' -Version '0.11.0'
            [void](New-OwnedFolder -Name 'App-0.15.0')
            [void](New-OwnedFolder -Name 'App-0.13.3')
            $run = Invoke-Install -Answers 'y' -Script (Join-Path -Path (Join-Path -Path $tree -ChildPath 'scripts') -ChildPath 'install.ps1')
            $run.Message | Should -BeNullOrEmpty
            $InstallDoubles.prompts.Count | Should -Be 1
            Get-FolderNames -Path $script:sandbox.InstallRoot | Should -Be @('App-0.11.0', 'App-0.13.3', 'App-0.15.0', 'Logs')
        }

        It 'reports a failed removal as a warning and a log entry, and goes on with the next folder' {
            $old = New-OwnedFolder -Name 'App-0.11.0'
            $outside = Join-Path -Path $script:sandbox.Root -ChildPath 'outside'
            [void][IO.Directory]::CreateDirectory($outside)
            [IO.File]::WriteAllText((Join-Path -Path $outside -ChildPath 'keep.txt'), 'keep')
            $link = Join-Path -Path $old -ChildPath 'link'
            [void](New-Item -ItemType SymbolicLink -Path $link -Target $outside)
            $oldBackup = New-OwnedFolder -Name ('Backup-0.11.0-' + ('cd' * 16))
            [void](New-OwnedFolder -Name 'App-0.13.3')

            $run = Invoke-Install -Answers 'y', 'Y'
            $run.Message | Should -BeNullOrEmpty
            $reason = "Refusing to remove a tree containing a junction/symlink: $link"
            @($run.Lines | Where-Object -FilterScript { $_.Kind -eq 'Warning' } | ForEach-Object -Process { $_.Text }) |
                Should -Be @("Old version retained: App-0.11.0. $reason")
            Get-LogText | Should -Contain "Retained old version: App-0.11.0. $reason"
            Get-LogText | Should -Contain ('Removed old version: ' + (Split-Path -Leaf -Path $oldBackup))
            Test-Path -LiteralPath $oldBackup | Should -BeFalse
            Get-FolderNames -Path $old | Should -Be @('link', 'marker.txt')
            Get-FolderNames -Path $outside | Should -Be @('keep.txt')
            $InstallDoubles.started.Count | Should -Be 1
        }
    }

    Context 'failures after the files are in place' {
        It 'ends as failed when the start fails after the success lines, and the installation stays complete' {
            Mock Start-TarnquillApplication { throw 'The application could not be started.' }
            $run = Invoke-Install -Answers 'y'

            $run.Message | Should -Be 'The application could not be started.'
            $success = [array]::IndexOf($run.Text, 'TARNQUILL installed successfully.')
            $failed = [array]::IndexOf($run.Text, 'Installation failed.')
            $success | Should -BeGreaterThan 0
            $failed | Should -BeGreaterThan $success
            $app = Join-Path -Path $script:sandbox.InstallRoot -ChildPath 'App-0.15.0'
            Get-LogText | Should -Be @('Installing TARNQUILL 0.15.0', "Installation complete: $app",
                'ERROR The application could not be started.')
            Test-Path -LiteralPath (Join-Path -Path $app -ChildPath 'TARNQUILL.exe') -PathType Leaf | Should -BeTrue
            $InstallDoubles.registry.Count | Should -Be 12
        }

        It 'stops before the first shortcut when the Start menu folder is unknown, keeping the new application folder' {
            Mock Get-TarnquillSpecialFolder {
                if ($Name -eq 'Desktop') { return $InstallDoubles.sandbox.Desktop }
                return ''
            }
            $run = Invoke-Install -Answers 'y'
            $run.Message | Should -Be 'The Start menu programs folder of the current user is unavailable. No shortcuts were created.'
            (Get-LogText)[-1] | Should -Be ('ERROR ' + $run.Message)
            $InstallDoubles.links.Count + $InstallDoubles.registry.Count | Should -Be 0
            Test-Path -LiteralPath (Join-Path -Path $script:sandbox.InstallRoot -ChildPath 'App-0.15.0/TARNQUILL.exe') -PathType Leaf |
                Should -BeTrue
        }

        It 'stops before the shortcuts when an installed file is missing, keeping the new application folder' {
            # A folder where the uninstaller should be: the build copies it as an empty folder.
            $tree = New-TreeCopy -Name 'no uninstaller'
            $uninstaller = Join-Path -Path (Join-Path -Path $tree -ChildPath 'scripts') -ChildPath 'uninstall-installed.ps1'
            Remove-Item -LiteralPath $uninstaller
            [void][IO.Directory]::CreateDirectory($uninstaller)

            $run = Invoke-Install -Answers 'y' -Script (Join-Path -Path (Join-Path -Path $tree -ChildPath 'scripts') -ChildPath 'install.ps1')
            $app = Join-Path -Path $script:sandbox.InstallRoot -ChildPath 'App-0.15.0'
            $missing = Join-Path -Path (Join-Path -Path (Join-Path -Path (Join-Path -Path $app -ChildPath 'resources') -ChildPath 'app') -ChildPath 'scripts') -ChildPath 'uninstall-installed.ps1'
            $run.Message | Should -Be ('Required installation file was not created: ' + $missing)
            Get-LogText | Should -Be @('Installing TARNQUILL 0.15.0', ('ERROR ' + $run.Message))
            Test-Path -LiteralPath (Join-Path -Path $app -ChildPath 'TARNQUILL.exe') -PathType Leaf | Should -BeTrue
            $InstallDoubles.links.Count + $InstallDoubles.registry.Count + $InstallDoubles.refresh.Count | Should -Be 0
            Test-Path -LiteralPath $script:sandbox.StartMenuGroup | Should -BeFalse
            @(Get-ChildItem -LiteralPath $script:sandbox.Temp -Force) | Should -BeNullOrEmpty
        }

        It 'still shows and raises the error that ended the run when the log cannot take its entry' {
            Mock Read-TarnquillAnswer {
                # The log turns into a folder while the question waits.
                Remove-Item -LiteralPath $InstallDoubles.sandbox.LogFile
                [void][IO.Directory]::CreateDirectory($InstallDoubles.sandbox.LogFile)
                return 'n'
            }
            $run = Invoke-InstallScript -ScriptPath $script:installScript
            $run.Message | Should -Be 'Installation cancelled before downloading.'
            $tail = @($run.Lines | Select-Object -Last 4)
            ($tail[1].Text, $tail[1].Colour) | Should -Be @('Installation failed.', 'Red')
            ($tail[2].Text, $tail[2].Colour) | Should -Be @('Installation cancelled before downloading.', 'Yellow')
            ($tail[3].Text, $tail[3].Colour) | Should -Be @(('Log: ' + $script:sandbox.LogFile), 'DarkGray')
            Test-Path -LiteralPath $script:sandbox.LogFile -PathType Container | Should -BeTrue
        }

        It 'ends as failed when the removal question fails' {
            [void](New-OwnedFolder -Name 'App-0.11.0')
            [void](New-OwnedFolder -Name 'App-0.13.3')
            $run = Invoke-Install -Answers 'y'
            $run.Message | Should -BeLike 'No answer prepared for: Remove exactly these old*'
            (Get-LogText)[-1] | Should -BeLike 'ERROR No answer prepared for: Remove exactly*'
            Test-Path -LiteralPath (Join-Path -Path $script:sandbox.InstallRoot -ChildPath 'App-0.11.0') | Should -BeTrue
            $InstallDoubles.started.Count | Should -Be 0
        }
    }

    Context 'shortcuts, uninstall entry and shell refresh' {
        It 'writes the shortcut set, removes the stray group shortcut and starts the application' {
            [void][IO.Directory]::CreateDirectory($script:sandbox.StartMenuGroup)
            $stray = Join-Path -Path $script:sandbox.StartMenuGroup -ChildPath 'TARNQUILL.lnk'
            [IO.File]::WriteAllText($stray, 'old')
            [IO.File]::WriteAllText((Join-Path -Path $script:sandbox.Desktop -ChildPath 'TARNQUILL.lnk'), 'old')

            $run = Invoke-Install -Answers 'y'
            $run.Message | Should -BeNullOrEmpty
            Test-Path -LiteralPath $stray | Should -BeFalse
            Get-FolderNames -Path $script:sandbox.StartMenuGroup | Should -Be @('Uninstall TARNQUILL.lnk')
            $InstallDoubles.links.Count | Should -Be 3
            @($InstallDoubles.links | ForEach-Object -Process { $_.Path }) | Should -Be @(
                (Join-Path -Path $script:sandbox.Desktop -ChildPath 'TARNQUILL.lnk'),
                (Join-Path -Path $script:sandbox.Programs -ChildPath 'TARNQUILL.lnk'),
                (Join-Path -Path $script:sandbox.StartMenuGroup -ChildPath 'Uninstall TARNQUILL.lnk'))
            $app = Join-Path -Path $script:sandbox.InstallRoot -ChildPath 'App-0.15.0'
            $InstallDoubles.started | Should -HaveCount 1
            $InstallDoubles.started[0].Path | Should -Be (Join-Path -Path $app -ChildPath 'TARNQUILL.exe')
            $InstallDoubles.started[0].WorkingDirectory | Should -Be $app
            $InstallDoubles.refresh | Should -Be @('SHChangeNotify', ($script:sandbox.IconCacheTool + ' -ClearIconCache'),
                ($script:sandbox.IconCacheTool + ' -show'))
            $tail = @($run.Lines | Select-Object -Last 4)
            ($tail[0].Text, $tail[0].Colour) | Should -Be @('', '')
            ($tail[1].Text, $tail[1].Colour) | Should -Be @('TARNQUILL installed successfully.', 'Green')
            ($tail[2].Text, $tail[2].Colour) |
                Should -Be @(('Desktop: ' + (Join-Path -Path $script:sandbox.Desktop -ChildPath 'TARNQUILL.lnk')), 'DarkGray')
            ($tail[3].Text, $tail[3].Colour) |
                Should -Be @(('Start Menu: ' + (Join-Path -Path $script:sandbox.Programs -ChildPath 'TARNQUILL.lnk')), 'DarkGray')
            Get-LogText | Should -Be @('Installing TARNQUILL 0.15.0', "Installation complete: $app")
        }

        It 'leaves a folder that carries a shortcut''s name alone, with what it holds' {
            $folder = Join-Path -Path $script:sandbox.Desktop -ChildPath 'TARNQUILL.lnk'
            [void][IO.Directory]::CreateDirectory($folder)
            [IO.File]::WriteAllText((Join-Path -Path $folder -ChildPath 'notes.txt'), 'mine')
            $run = Invoke-Install -Answers 'y'
            # Saving the desktop shortcut over the folder fails, as it would on Windows.
            $run.Message | Should -Not -BeNullOrEmpty
            Get-FolderNames -Path $folder | Should -Be @('notes.txt')
            (Get-LogText)[-1] | Should -Be ('ERROR ' + $run.Message)
        }

        It 'does not start the application with -NoLaunch' {
            $run = Invoke-Install -Answers 'y' -NoLaunch
            $run.Message | Should -BeNullOrEmpty
            Should -Invoke Start-TarnquillApplication -Times 0 -Exactly
            Should -Invoke Set-TarnquillRegistryValue -Times 11 -Exactly
        }

        It 'finishes when the shell notification fails, skipping the icon cache tool' {
            Mock Send-TarnquillShellChange { throw 'shell32 is not available' }
            $run = Invoke-Install -Answers 'y' -NoLaunch
            $run.Message | Should -BeNullOrEmpty
            Should -Invoke Invoke-TarnquillIconCacheTool -Times 0 -Exactly
            (Get-LogText)[-1] | Should -BeLike 'Installation complete: *'
        }

        It 'runs the second icon cache call when the first fails, and skips both when the tool is missing' {
            Mock Invoke-TarnquillIconCacheTool {
                $InstallDoubles.refresh.Add($Argument)
                if ($Argument -eq '-ClearIconCache') { throw 'ie4uinit failed' }
            }
            $run = Invoke-Install -Answers 'y' -NoLaunch
            $run.Message | Should -BeNullOrEmpty
            $InstallDoubles.refresh | Should -Be @('SHChangeNotify', '-ClearIconCache', '-show')

            Remove-Item -LiteralPath $script:sandbox.IconCacheTool
            $InstallDoubles.refresh.Clear()
            $run = Invoke-Install -Answers 'y' -NoLaunch
            $run.Message | Should -BeNullOrEmpty
            $InstallDoubles.refresh | Should -Be @('SHChangeNotify')
        }

        It 'recreates the uninstall key before writing its eleven values in order' {
            [void](Invoke-Install -Answers 'y' -NoLaunch)
            $InstallDoubles.registry[0].Call | Should -Be 'Reset'
            @($InstallDoubles.registry | Select-Object -Skip 1 | ForEach-Object -Process { $_.Name }) | Should -Be @(
                'DisplayName', 'DisplayVersion', 'Publisher', 'InstallLocation', 'DisplayIcon', 'UninstallString',
                'QuietUninstallString', 'NoModify', 'NoRepair', 'InstallDate', 'EstimatedSize')
        }
    }

    Context 'an unattended run' {
        BeforeEach {
            $script:copy = Join-Path -Path $script:sandbox.Root -ChildPath 'setup log.txt'
            # As the setup leaves it: created, with the byte-order mark only.
            [IO.File]::WriteAllBytes($script:copy, [byte[]](0xEF, 0xBB, 0xBF))
        }

        It 'asks nothing, logs the consent screen before the download, keeps old versions and copies every line into the log file' {
            [void](New-OwnedFolder -Name 'App-0.11.0')
            [void](New-OwnedFolder -Name 'App-0.13.3')
            # A tree of its own, whose runtime cache is empty, so that the run downloads.
            $tree = New-TreeCopy -Name 'unattended'
            $run = Invoke-InstallScript -ScriptPath (Join-Path -Path (Join-Path -Path $tree -ChildPath 'scripts') -ChildPath 'install.ps1') -Unattended -LogPath $script:copy

            $run.ExitCode | Should -Be 0 -Because $run.Message
            $InstallDoubles.prompts | Should -BeNullOrEmpty
            $InstallDoubles.started | Should -BeNullOrEmpty
            Get-FolderNames -Path $script:sandbox.InstallRoot | Should -Be @('App-0.11.0', 'App-0.13.3', 'App-0.15.0', 'Logs')
            $log = Get-LogText
            $consent = @(('Install location: ' + (Join-Path -Path $script:sandbox.InstallRoot -ChildPath 'App-0.15.0')),
                'Download: electron-v43.4.1-win32-x64.zip (Windows x64 runtime)',
                ('Source: ' + (Get-FakeRuntimeServerUrl -Server $script:server -Route 'archive') + '/electron/electron/releases/download/v43.4.1/electron-v43.4.1-win32-x64.zip'),
                ('Source: ' + $script:refusedUrl + '/projects/electron.mirror/files/v43.4.1/electron-v43.4.1-win32-x64.zip/download'),
                ('Expected runtime SHA-256: ' + $script:archive.Sha256),
                'Started from source: no installer EXE hash is available.',
                'Unattended installation: the setup''s command line gave the consent to download and install.')
            $log[0..7] | Should -Be (@('Installing TARNQUILL 0.15.0') + $consent)
            $log | Should -Contain 'Retained old version: App-0.11.0. An unattended run removes old versions only when asked to (/REMOVEOLD).'

            # The copy: the byte-order mark once, every installer.log entry as written, and every
            # console line, those of package-portable.ps1 and the runtime library included.
            $bytes = [IO.File]::ReadAllBytes($script:copy)
            $bytes[0..2] | Should -Be @(0xEF, 0xBB, 0xBF)
            $copied = [Text.Encoding]::UTF8.GetString($bytes, 3, $bytes.Length - 3)
            $copied | Should -Not -Match ([string][char]0xFEFF)
            $lines = $copied.Split(@("`r`n"), [StringSplitOptions]::None)
            $lines[-1] | Should -Be ''
            foreach ($line in [IO.File]::ReadAllLines($script:sandbox.LogFile)) {
                $lines | Should -Contain $line.TrimStart([char]0xFEFF)
            }
            # A line of the consent screen reaches the copy as its log entry.
            foreach ($text in $run.Text) {
                @($lines | Where-Object -FilterScript { $_ -eq $text -or $_.EndsWith(' ' + $text) }) | Should -Not -BeNullOrEmpty -Because $text
            }
            $run.Text | Should -Contain 'Runtime integrity verified.'
            $download = [array]::IndexOf($lines, ('Downloading Electron runtime from ' + (Get-FakeRuntimeServerUrl -Server $script:server -Route 'archive') + '/electron/electron/releases/download/v43.4.1/electron-v43.4.1-win32-x64.zip'))
            $download | Should -BeGreaterThan 0
            foreach ($text in $consent) {
                $at = @(0..($lines.Count - 1) | Where-Object -FilterScript { $lines[$_] -match ('\A\S+ ' + [regex]::Escape($text) + '\z') })
                $at.Count | Should -Be 1 -Because $text
                $at[0] | Should -BeLessThan $download
            }
        }

        It 'stops with 1625 before anything is written when it runs as LocalSystem' {
            $InstallDoubles.account = 'S-1-5-18'
            $requests = Get-RequestCount
            $run = Invoke-InstallScript -ScriptPath $script:installScript -Unattended -LogPath $script:copy
            $run.ExitCode | Should -Be 1625
            $run.Message | Should -BeLike '*LocalSystem*Deploy it in the user''s context*Nothing was installed.'
            Get-RequestCount | Should -Be $requests
            Test-Path -LiteralPath $script:sandbox.InstallRoot | Should -BeFalse
            [IO.File]::ReadAllText($script:copy) | Should -BeLike ('*Installation failed.' + "`r`n" + $run.Message + "`r`n")
        }

        It 'stops with 87 before anything is written when the log file cannot be written' {
            $run = Invoke-InstallScript -ScriptPath $script:installScript -Unattended -LogPath (Join-Path -Path $script:sandbox.Root -ChildPath 'missing/setup.log')
            $run.ExitCode | Should -Be 87
            $run.Message | Should -BeLike '*missing*setup.log cannot be created or written*Nothing was installed.'
            Test-Path -LiteralPath $script:sandbox.InstallRoot | Should -BeFalse
        }
    }
}

Describe 'the estimated size of install.ps1' {
    BeforeAll {
        Import-InstallScriptFunction -ScriptPath $script:repoInstall -Name 'Get-TarnquillEstimatedSize'
    }

    It 'is <Expected> KiB for <Bytes> bytes of visible files' -ForEach @(
        @{ Bytes = 0; Expected = 0 }, @{ Bytes = 1; Expected = 1 }, @{ Bytes = 1024; Expected = 1 },
        @{ Bytes = 1025; Expected = 2 }, @{ Bytes = 4096; Expected = 4 }
    ) {
        $folder = Join-Path -Path $script:work -ChildPath ('size-' + [guid]::NewGuid().ToString('N'))
        $nested = Join-Path -Path $folder -ChildPath 'a/b'
        [void][IO.Directory]::CreateDirectory($nested)
        if ($Bytes -gt 0) {
            $first = [int][Math]::Floor($Bytes / 2)
            [IO.File]::WriteAllBytes((Join-Path -Path $folder -ChildPath 'one.bin'), [byte[]]::new($first))
            [IO.File]::WriteAllBytes((Join-Path -Path $nested -ChildPath 'two.bin'), [byte[]]::new($Bytes - $first))
        }
        # Hidden items are not counted.
        [IO.File]::WriteAllBytes((Join-Path -Path $folder -ChildPath '.hidden'), [byte[]]::new(5000))
        Get-TarnquillEstimatedSize -Path $folder | Should -Be $Expected
    }
}
