Set-StrictMode -Version Latest
# ctest-timeout: 1200
# Runs the installer and the uninstaller, which both refuse while a process
# named TARNQUILL runs; keep it apart from the tests that start one.
# ctest-lock: tarnquill_process

# One user's whole story in one sandbox: three versions installed one after the
# other, the newest installed again, old versions kept and then removed through
# the retention question, and finally the installed uninstaller started the way
# the uninstall entry names it. Installer and uninstaller run in this process on
# real folders with the runtime from a local host; only their Windows-only
# functions are replaced, and both scripts talk to one registry double.

BeforeAll {
    . (Join-Path -Path $PSScriptRoot -ChildPath 'support/FakeRuntime.ps1')
    . (Join-Path -Path $PSScriptRoot -ChildPath 'support/InstallProcedure.ps1')

    $script:work = Get-InstallTestFolder
    $scripts = Join-Path -Path $env:TARNQUILL_ROOT -ChildPath 'scripts'
    Import-InstallWindowsInterface -ScriptPath (Join-Path -Path $scripts -ChildPath 'install.ps1')
    # The uninstaller shares Get-TarnquillSpecialFolder and Read-TarnquillAnswer
    # with the installer; its registry functions are its own.
    foreach ($name in @('Remove-TarnquillUninstallKey', 'Get-TarnquillStartupValue', 'Remove-TarnquillStartupValue')) {
        Import-InstallScriptFunction -ScriptPath (Join-Path -Path $scripts -ChildPath 'uninstall-installed.ps1') -Name $name
    }
    [void](Initialize-InstallKernel32Double -Folder $script:work)

    $script:archive = Get-FakeElectronArchive
    $script:server = Start-FakeRuntimeServer -ArchivePath $script:archive.Path

    function New-VersionTree {
        param([string]$Version)
        $tree = Copy-InstallSourceTree -Destination (Join-Path -Path $script:work -ChildPath ('tree-' + $Version))
        Set-FakeRuntimePin -RuntimeScriptPath (Join-Path -Path (Join-Path -Path $tree -ChildPath 'scripts') -ChildPath 'runtime.ps1') `
            -Sha256 $script:archive.Sha256 -PrimaryUrl (Get-FakeRuntimeServerUrl -Server $script:server -Route 'archive') `
            -MirrorUrl (Get-FakeRuntimeRefusedUrl)
        Set-InstallTreeVersion -Tree $tree -Version $Version
        return (Join-Path -Path (Join-Path -Path $tree -ChildPath 'scripts') -ChildPath 'install.ps1')
    }

    function Invoke-Install {
        param([string]$Version, [string[]]$Answers)
        foreach ($answer in $Answers) {
            $LifecycleDoubles.Answers.Enqueue($answer)
        }
        $run = Invoke-InstallScript -ScriptPath $script:installers[$Version] -NoLaunch
        $run.Message | Should -BeNullOrEmpty
        $LifecycleDoubles.Answers.Count | Should -Be 0
        return $run
    }

    function Get-Names {
        param([string]$Path)
        return @(Get-ChildItem -LiteralPath $Path -Force | ForEach-Object -Process { $_.Name } | Sort-Object)
    }

    $script:sandbox = New-InstallSandbox -Parent $script:work
    $script:savedEnvironment = Enter-InstallSandbox -Sandbox $script:sandbox
    $script:savedLocation = (Get-Location).Path
    [IO.File]::WriteAllText($script:sandbox.IconCacheTool, 'stand-in')
    $script:installers = @{}
    foreach ($version in @('0.11.0', '0.13.3', '0.15.0')) {
        $script:installers[$version] = New-VersionTree -Version $version
    }

    # The user's data, written by the application: never touched by either script.
    $script:userData = Join-Path -Path $script:sandbox.Roaming -ChildPath 'TARNQUILL'
    [void][IO.Directory]::CreateDirectory((Join-Path -Path $script:userData -ChildPath 'history'))
    [IO.File]::WriteAllText((Join-Path -Path $script:userData -ChildPath 'settings.json'), '{"startWithWindows":true}')
    [IO.File]::WriteAllText((Join-Path -Path $script:userData -ChildPath 'history/2026-12-01.json'), '[]')

    $script:uninstallKey = 'HKCU:\Software\Microsoft\Windows\CurrentVersion\Uninstall\TARNQUILL'
    # Mock bodies run inside the scripts, where $script: is theirs; they reach
    # this table by its name.
    $script:LifecycleDoubles = @{
        Answers  = New-Object -TypeName System.Collections.Queue
        Prompts  = New-Object -TypeName System.Collections.Generic.List[string]
        Keys     = @{}
        Startup  = $null
        Sandbox  = $script:sandbox
        KeyPath  = $script:uninstallKey
    }
}

AfterAll {
    Set-Location -LiteralPath $script:savedLocation
    [IO.Directory]::SetCurrentDirectory($script:savedLocation)
    Exit-InstallSandbox -Saved $script:savedEnvironment
    Stop-FakeRuntimeServer -Server $script:server
    Remove-Item -LiteralPath $script:work -Recurse -Force -ErrorAction SilentlyContinue
}

Describe 'install, reinstall, retention and uninstall of one user' {
    BeforeEach {
        Mock Get-TarnquillSpecialFolder {
            if ($Name -eq 'Desktop') { return $LifecycleDoubles.Sandbox.Desktop }
            return $LifecycleDoubles.Sandbox.Programs
        }
        Mock Read-TarnquillAnswer {
            $LifecycleDoubles.Prompts.Add($Prompt)
            if ($LifecycleDoubles.Answers.Count -eq 0) { throw "No answer prepared for: $Prompt" }
            return $LifecycleDoubles.Answers.Dequeue()
        }
        Mock Get-TarnquillSignatureStatus { return 'NotSigned' }
        Mock Get-TarnquillAccountSid { return 'S-1-5-21-1004336348-1177238915-682003330-1001' }
        Mock Save-TarnquillShellLink { [IO.File]::WriteAllText($Path, 'shell link double') }
        Mock Reset-TarnquillRegistryKey { $LifecycleDoubles.Keys[$Path] = [ordered]@{} }
        Mock Set-TarnquillRegistryValue { $LifecycleDoubles.Keys[$Path][$Name] = $Value }
        Mock Send-TarnquillShellChange { }
        Mock Invoke-TarnquillIconCacheTool { }
        Mock Start-TarnquillApplication { throw 'The application is not started in this test.' }
        Mock Remove-TarnquillUninstallKey { $LifecycleDoubles.Keys.Remove($LifecycleDoubles.KeyPath) }
        Mock Get-TarnquillStartupValue { return $LifecycleDoubles.Startup }
        Mock Remove-TarnquillStartupValue { $LifecycleDoubles.Startup = $null }
        $LifecycleDoubles.Prompts.Clear()
    }

    It 'installs 0.11.0 and then 0.13.3 side by side without a retention question' {
        $null = Invoke-Install -Version '0.11.0' -Answers 'y'
        $null = Invoke-Install -Version '0.13.3' -Answers 'y'
        Get-Names -Path $script:sandbox.InstallRoot | Should -Be @('App-0.11.0', 'App-0.13.3', 'Logs')
        $LifecycleDoubles.Prompts | Should -Be @(
            'Download the listed runtime and install TARNQUILL? [Y/N, default N]',
            'Download the listed runtime and install TARNQUILL? [Y/N, default N]')
        $LifecycleDoubles.Keys[$script:uninstallKey]['DisplayVersion'] | Should -Be '0.13.3'
    }

    It 'installs 0.15.0 and keeps 0.11.0 when the retention question is declined' {
        $run = Invoke-Install -Version '0.15.0' -Answers 'y', 'n'
        $run.Text | Should -Contain (Join-Path -Path $script:sandbox.InstallRoot -ChildPath 'App-0.11.0')
        $run.Text | Should -Contain 'Old versions retained by your choice.'
        Get-Names -Path $script:sandbox.InstallRoot | Should -Be @('App-0.11.0', 'App-0.13.3', 'App-0.15.0', 'Logs')
    }

    It 'reinstalls 0.15.0 over itself, keeps the old one as a backup and removes 0.11.0 on Yes' {
        $run = Invoke-Install -Version '0.15.0' -Answers 'y', 'y'
        $offered = @($run.Text | Where-Object -FilterScript { $_.StartsWith($script:sandbox.InstallRoot) })
        $offered | Should -Be @((Join-Path -Path $script:sandbox.InstallRoot -ChildPath 'App-0.11.0'))
        $names = Get-Names -Path $script:sandbox.InstallRoot
        $names.Count | Should -Be 4
        $names[0..1] | Should -Be @('App-0.13.3', 'App-0.15.0')
        $names[2] | Should -Match '^Backup-0\.15\.0-[0-9a-f]{32}$'
        $names[3] | Should -Be 'Logs'
        @(Read-InstallLog -Path $script:sandbox.LogFile | ForEach-Object -Process { $_.Text }) | Should -Contain 'Removed old version: App-0.11.0'
    }

    It 'uninstalls through the installed uninstaller, leaving nothing of ours and the user data intact' {
        $appFolder = Join-Path -Path $script:sandbox.InstallRoot -ChildPath 'App-0.15.0'
        # The application registered itself to start with Windows.
        $LifecycleDoubles.Startup = '"' + (Join-Path -Path $appFolder -ChildPath 'TARNQUILL.exe') + '" --hidden'
        $entry = $LifecycleDoubles.Keys[$script:uninstallKey]
        $command = [regex]::Match($entry['UninstallString'], '\Apowershell\.exe -NoProfile -ExecutionPolicy Bypass -File "(.+)"\z')
        $command.Success | Should -BeTrue
        $uninstaller = $command.Groups[1].Value
        $uninstaller | Should -Be (Join-Path -Path $appFolder -ChildPath 'resources/app/scripts/uninstall-installed.ps1')
        Get-Names -Path $script:sandbox.Desktop | Should -Be @('TARNQUILL.lnk')
        Get-Names -Path $script:sandbox.StartMenuGroup | Should -Be @('Uninstall TARNQUILL.lnk')

        # Started from the uninstall shortcut: the application folder is the working folder.
        Set-Location -LiteralPath $appFolder
        [IO.Directory]::SetCurrentDirectory($appFolder)
        $LifecycleDoubles.Answers.Enqueue('yes')
        $global:LASTEXITCODE = -1
        $lines = @(& $uninstaller 6>&1 | ForEach-Object -Process { [string]$_ })

        $global:LASTEXITCODE | Should -Be 0
        $LifecycleDoubles.Prompts | Should -Be @('Uninstall the listed files? [Y/N, default N]')
        $lines[-1] | Should -Be 'TARNQUILL uninstalled. Your settings, diagnostic history and startup backups were retained.'
        @($lines | Where-Object -FilterScript { $_.StartsWith('Removed: ') }).Count | Should -Be 3

        Test-Path -LiteralPath $script:sandbox.InstallRoot | Should -BeFalse
        Get-Names -Path $script:sandbox.Desktop | Should -BeNullOrEmpty
        Get-Names -Path $script:sandbox.Programs | Should -BeNullOrEmpty
        $LifecycleDoubles.Keys.Count | Should -Be 0
        $LifecycleDoubles.Startup | Should -BeNullOrEmpty
        Get-Names -Path $script:sandbox.Local | Should -BeNullOrEmpty
        Get-Names -Path $script:userData | Should -Be @('history', 'settings.json')
        [IO.File]::ReadAllText((Join-Path -Path $script:userData -ChildPath 'settings.json')) | Should -Be '{"startWithWindows":true}'
        [IO.File]::ReadAllText((Join-Path -Path $script:userData -ChildPath 'history/2026-12-01.json')) | Should -Be '[]'
        (Get-Location).Path | Should -Be $script:sandbox.Temp
    }
}
