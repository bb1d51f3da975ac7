Set-StrictMode -Version Latest
# Runs the uninstaller and starts processes named TARNQUILL; the installer's
# tests must not run beside it, since each would see the other's processes.
# ctest-lock: tarnquill_process

BeforeAll {
    $script:repoRoot = $env:TARNQUILL_ROOT
    if ([string]::IsNullOrEmpty($script:repoRoot)) {
        $script:repoRoot = [System.IO.Path]::GetFullPath((Join-Path -Path $PSScriptRoot -ChildPath '../..'))
    }
    $script:uninstaller = Join-Path -Path $script:repoRoot -ChildPath 'scripts/uninstall-installed.ps1'
    $script:safetyLibrary = Join-Path -Path $script:repoRoot -ChildPath 'scripts/installation-safety.ps1'
    $script:lockLibrary = Join-Path -Path $script:repoRoot -ChildPath 'scripts/setup-lock.ps1'
    # What the installed uninstaller loads beside it.
    $script:uninstallerLibraries = @('installation-safety.ps1', 'file-system.ps1', 'native-methods.ps1', 'native',
        'setup-lock.ps1', 'consent.ps1', 'shell-integration.ps1', 'temporary-folders.ps1')
    $script:pwsh = $env:TARNQUILL_PWSH
    if ([string]::IsNullOrEmpty($script:pwsh)) {
        $script:pwsh = Join-Path -Path $script:repoRoot -ChildPath 'release/tools/pwsh/pwsh'
    }
    $script:suffix = 'aaaabbbbccccddddeeeeffff00001111'

    # The Windows-only interfaces of the uninstaller, defined here from its own
    # text so that Mock can replace them. A mock is an alias, and an alias wins
    # over the function of the same name that the script defines as it runs.
    $windowsOnly = @('Remove-TarnquillUninstallKey', 'Get-TarnquillStartupValue', 'Remove-TarnquillStartupValue')
    # The others come from the libraries that the uninstaller loads.
    $libraries = Join-Path -Path $script:repoRoot -ChildPath 'scripts'
    $definitions = @()
    foreach ($source in @(@{ Path = $script:uninstaller; Names = $windowsOnly },
            @{ Path = (Join-Path -Path $libraries -ChildPath 'shell-integration.ps1'); Names = @('Get-TarnquillSpecialFolder') },
            @{ Path = (Join-Path -Path $libraries -ChildPath 'consent.ps1'); Names = @('Read-TarnquillAnswer') },
            @{ Path = $script:safetyLibrary; Names = @('Get-TarnquillReparseTag') })) {
        $ast = [System.Management.Automation.Language.Parser]::ParseFile($source.Path, [ref]$null, [ref]$null)
        $found = @($ast.FindAll({
                    param($node)
                    ($node -is [System.Management.Automation.Language.FunctionDefinitionAst]) -and ($source.Names -contains $node.Name)
                }, $false))
        $found.Count | Should -Be $source.Names.Count
        $definitions += $found
    }
    foreach ($definition in $definitions) {
        . ([scriptblock]::Create($definition.Extent.Text))
    }

    function New-TestFile {
        param([string]$Path, [string]$Text = 'x')
        $parent = Split-Path -Path $Path -Parent
        if (-not (Test-Path -LiteralPath $parent)) {
            New-Item -ItemType Directory -Path $parent -Force | Out-Null
        }
        [System.IO.File]::WriteAllText($Path, $Text)
    }

    # A version folder as the installer leaves it, with its own copy of the
    # uninstaller beside the libraries it loads.
    function New-VersionFolder {
        param([string]$Name)
        $folder = Join-Path -Path $script:box.InstallRoot -ChildPath $Name
        $scripts = Join-Path -Path $folder -ChildPath 'resources/app/scripts'
        New-Item -ItemType Directory -Path $scripts -Force | Out-Null
        New-TestFile -Path (Join-Path -Path $folder -ChildPath 'TARNQUILL.exe') -Text 'MZ'
        New-TestFile -Path (Join-Path -Path $folder -ChildPath 'resources/app/package.json') -Text '{"version":"0.15.0"}'
        New-TestFile -Path (Join-Path -Path $folder -ChildPath 'resources/app/assets/tarnquill.ico')
        Copy-Item -LiteralPath $script:uninstaller -Destination $scripts
        foreach ($library in $script:uninstallerLibraries) {
            Copy-Item -LiteralPath (Join-Path -Path $script:repoRoot -ChildPath ('scripts/' + $library)) -Destination $scripts -Recurse
        }
        $hidden = Join-Path -Path $folder -ChildPath '.hidden-state'
        New-TestFile -Path $hidden
        [System.IO.File]::SetAttributes($hidden, [System.IO.FileAttributes]::ReadOnly)
        $folder
    }

    # The installation that a run of the installer makes, and one older version.
    function New-Installation {
        $script:app = New-VersionFolder -Name 'App-0.15.0'
        $script:backup = New-VersionFolder -Name ('Backup-0.15.0-' + $script:suffix)
        $script:older = New-VersionFolder -Name 'App-0.13.3'
        New-TestFile -Path (Join-Path -Path $script:box.LogFolder -ChildPath 'installer.log') -Text 'entry'
        New-TestFile -Path (Join-Path -Path $script:box.LogFolder -ChildPath 'installer.sha256') -Text 'hash'
        foreach ($shortcut in $script:box.Shortcuts) {
            New-TestFile -Path $shortcut -Text 'lnk'
        }
        New-TestFile -Path (Join-Path -Path $script:box.UserData -ChildPath 'settings.json') -Text '{"keep":true}'
        $script:registry.UninstallKey = $true
        $script:registry.StartupValue = '"' + (Join-Path -Path $script:app -ChildPath 'TARNQUILL.exe') + '" --hidden'
    }

    # Every entry of the user's folders that the uninstaller could reach, and
    # of a folder outside them, links not followed, as relative paths.
    function Get-TreeSnapshot {
        $folders = @($script:box.LocalAppData, $script:box.AppData, $script:box.Desktop, $script:box.Outside)
        @(Get-ChildItem -LiteralPath $folders -Recurse -Force |
                ForEach-Object -Process { $_.FullName.Substring($script:box.Root.Length) } |
                Sort-Object)
    }

    # Runs the uninstaller in this process; the console lines it shows, its
    # error and its exit code are returned.
    function Invoke-Uninstaller {
        param([switch]$Quiet)
        $lines = New-Object -TypeName 'System.Collections.Generic.List[object]'
        # The doubles see how many lines were shown when they are called.
        $global:UninstallDoubles.Lines = $lines
        $warnings = New-Object -TypeName 'System.Collections.Generic.List[string]'
        $failure = $null
        $global:LASTEXITCODE = -1
        try {
            & $script:uninstaller -Quiet:$Quiet 3>&1 6>&1 | ForEach-Object -Process {
                if ($_ -is [System.Management.Automation.WarningRecord]) {
                    $warnings.Add($_.Message)
                } else {
                    $lines.Add($_)
                }
            }
        } catch {
            $failure = $_
        }
        [pscustomobject]@{
            Lines    = @($lines | ForEach-Object -Process { [string]$_ })
            Records  = $lines.ToArray()
            Warnings = $warnings.ToArray()
            Error    = $failure
            ExitCode = $global:LASTEXITCODE
        }
    }

    function Get-ExpectedListing {
        param([string[]]$VersionFolders, [string[]]$Leftovers = @())
        @('TARNQUILL uninstall - per-user installation only'
            'The following application folders and shortcuts will be removed:') +
        @($VersionFolders) + @($script:box.Shortcuts) +
        @(('Installation logs: ' + $script:box.LogFolder)
            'The TARNQUILL uninstall entry and its own startup entry will be removed from HKCU.'
            ('User data is retained: ' + $script:box.UserData)
            'Unknown folders and files in the installation root are retained.') +
        @($Leftovers | Select-Object -First 1 | ForEach-Object -Process { 'Temporary folders that earlier setup runs left behind will be removed last:' }) +
        @($Leftovers)
    }

    # A work or build folder that a setup run left in a temporary folder 11 minutes ago.
    function New-Leftover {
        param([string]$Folder, [string]$Name, [int]$Bytes = 1)
        $path = Join-Path -Path $Folder -ChildPath $Name
        New-TestFile -Path (Join-Path -Path $path -ChildPath 'source.zip') -Text ('x' * $Bytes)
        [System.IO.Directory]::SetLastWriteTimeUtc($path, [System.DateTime]::UtcNow.AddMinutes(-11))
        $path
    }

    # A real process with the image name TARNQUILL: a copy of sleep.
    function Start-FakeApplication {
        param([string]$Name = 'TARNQUILL')
        $binary = Join-Path -Path $script:box.Root -ChildPath $Name
        Copy-Item -LiteralPath '/bin/sleep' -Destination $binary
        $process = Start-Process -FilePath $binary -ArgumentList '120' -PassThru
        $deadline = (Get-Date).AddSeconds(10)
        while (@(Get-Process -Name $Name -ErrorAction SilentlyContinue).Count -eq 0) {
            if ((Get-Date) -gt $deadline) {
                throw 'The fake application did not start.'
            }
            Start-Sleep -Milliseconds 50
        }
        $process
    }

    # Runs a script as Windows runs the uninstall shortcut: a new shell, -File,
    # the given working folder.
    function Invoke-UninstallerProcess {
        param([string[]]$Arguments, [string]$WorkingFolder)
        $start = New-Object -TypeName System.Diagnostics.ProcessStartInfo
        $start.FileName = $script:pwsh
        foreach ($argument in @('-NonInteractive', '-ExecutionPolicy', 'Bypass', '-File') + $Arguments) {
            $start.ArgumentList.Add($argument)
        }
        $start.WorkingDirectory = $WorkingFolder
        $start.UseShellExecute = $false
        $start.RedirectStandardOutput = $true
        $start.RedirectStandardError = $true
        $start.Environment['NO_COLOR'] = '1'
        $process = [System.Diagnostics.Process]::Start($start)
        $errorText = $process.StandardError.ReadToEndAsync()
        $outputText = $process.StandardOutput.ReadToEnd()
        $process.WaitForExit()
        [pscustomobject]@{
            ExitCode = $process.ExitCode
            Output   = $outputText
            Error    = ($errorText.Result -replace '\x1b\[[0-9;]*m', '')
            Calls    = @(Get-Content -LiteralPath $script:calls -ErrorAction SilentlyContinue)
        }
    }

    $script:savedEnvironment = @{}
    foreach ($name in @('HOME', 'LOCALAPPDATA', 'APPDATA', 'TEMP', 'TMPDIR', 'XDG_CONFIG_HOME')) {
        $script:savedEnvironment[$name] = [System.Environment]::GetEnvironmentVariable($name)
    }
    $script:savedLocation = (Get-Location).Path
}

AfterAll {
    Remove-Variable -Name UninstallDoubles -Scope Global -ErrorAction SilentlyContinue
    foreach ($name in $script:savedEnvironment.Keys) {
        [System.Environment]::SetEnvironmentVariable($name, $script:savedEnvironment[$name])
    }
}

Describe 'uninstall-installed.ps1' {
    BeforeEach {
        $root = Join-Path -Path ([System.IO.Path]::GetTempPath()) -ChildPath ('tq-uninstall-' + [guid]::NewGuid().ToString('N'))
        $userHome = Join-Path -Path $root -ChildPath 'home'
        $localAppData = Join-Path -Path $userHome -ChildPath 'AppData/Local'
        $appData = Join-Path -Path $userHome -ChildPath 'AppData/Roaming'
        $programs = Join-Path -Path $appData -ChildPath 'Microsoft/Windows/Start Menu/Programs'
        $desktop = Join-Path -Path $userHome -ChildPath 'Desktop'
        $group = Join-Path -Path $programs -ChildPath 'TARNQUILL'
        $installRoot = Join-Path -Path $localAppData -ChildPath 'TARNQUILL'
        $script:box = [pscustomobject]@{
            Root           = $root
            Home           = $userHome
            LocalAppData   = $localAppData
            AppData        = $appData
            Temp           = Join-Path -Path $localAppData -ChildPath 'Temp'
            # The platform's temporary path (TMP on Windows, TMPDIR here), another folder than TEMP.
            PlatformTemp   = Join-Path -Path $root -ChildPath 'tmp'
            Desktop        = $desktop
            Programs       = $programs
            StartMenuGroup = $group
            InstallRoot    = $installRoot
            LogFolder      = Join-Path -Path $installRoot -ChildPath 'Logs'
            UserData       = Join-Path -Path $appData -ChildPath 'TARNQUILL'
            Outside        = Join-Path -Path $root -ChildPath 'outside'
            Shortcuts      = @(
                (Join-Path -Path $desktop -ChildPath 'TARNQUILL.lnk'),
                (Join-Path -Path $programs -ChildPath 'TARNQUILL.lnk'),
                (Join-Path -Path $group -ChildPath 'TARNQUILL.lnk'),
                (Join-Path -Path $group -ChildPath 'Uninstall TARNQUILL.lnk'))
        }
        foreach ($created in @($userHome, $script:box.Temp, $script:box.PlatformTemp, $desktop, $programs, $script:box.Outside)) {
            New-Item -ItemType Directory -Path $created -Force | Out-Null
        }
        New-TestFile -Path (Join-Path -Path $script:box.Outside -ChildPath 'precious.txt') -Text 'keep'
        [System.Environment]::SetEnvironmentVariable('HOME', $userHome)
        [System.Environment]::SetEnvironmentVariable('LOCALAPPDATA', $localAppData)
        [System.Environment]::SetEnvironmentVariable('APPDATA', $appData)
        [System.Environment]::SetEnvironmentVariable('TEMP', $script:box.Temp)
        [System.Environment]::SetEnvironmentVariable('TMPDIR', $script:box.PlatformTemp)
        [System.Environment]::SetEnvironmentVariable('XDG_CONFIG_HOME', (Join-Path -Path $userHome -ChildPath '.config'))

        # The current-user registry as the doubles see it, and what they saw
        # of the disk when they were called.
        $script:registry = @{ UninstallKey = $false; StartupValue = $null; Seen = @{} }
        $script:answer = @{ Text = 'y'; Prompts = (New-Object -TypeName 'System.Collections.Generic.List[string]'); LinesShown = -1 }

        # The doubles run inside the uninstaller's scope, where $script: is its
        # own; they reach the sandbox through one global table.
        $global:UninstallDoubles = @{ Box = $script:box; Registry = $script:registry; Answer = $script:answer }
        Mock Get-TarnquillSpecialFolder {
            if ($Name -eq 'Desktop') {
                $global:UninstallDoubles.Box.Desktop
            } else {
                $global:UninstallDoubles.Box.Programs
            }
        }
        Mock Read-TarnquillAnswer {
            $global:UninstallDoubles.Answer.Prompts.Add($Prompt)
            $global:UninstallDoubles.Answer.LinesShown = $global:UninstallDoubles.Lines.Count
            $global:UninstallDoubles.Answer.Text
        }
        Mock Remove-TarnquillUninstallKey {
            $box = $global:UninstallDoubles.Box
            $global:UninstallDoubles.Registry.Seen['UninstallKey'] = @{
                ShortcutsLeft      = @($box.Shortcuts | Where-Object -FilterScript { Test-Path -LiteralPath $_ }).Count
                VersionFoldersLeft = @(Get-ChildItem -LiteralPath $box.InstallRoot -Directory -ErrorAction SilentlyContinue |
                        Where-Object -FilterScript { $_.Name -ne 'Logs' }).Count
                LogsPresent        = Test-Path -LiteralPath $box.LogFolder
                Location           = (Get-Location).Path
                WorkingFolder      = [System.IO.Directory]::GetCurrentDirectory()
            }
            $global:UninstallDoubles.Registry.UninstallKey = $false
        }
        Mock Get-TarnquillStartupValue {
            $registry = $global:UninstallDoubles.Registry
            $registry.Seen['StartupRead'] = @{ UninstallKeyPresent = $registry.UninstallKey }
            $registry.StartupValue
        }
        Mock Remove-TarnquillStartupValue {
            $registry = $global:UninstallDoubles.Registry
            $registry.Seen['StartupRemoved'] = @{ LogsPresent = (Test-Path -LiteralPath $global:UninstallDoubles.Box.LogFolder) }
            $registry.StartupValue = $null
        }
    }

    AfterEach {
        Set-Location -LiteralPath $script:savedLocation
        [System.IO.Directory]::SetCurrentDirectory($script:savedLocation)
        if (Test-Path -LiteralPath $script:box.Root) {
            Remove-Item -LiteralPath $script:box.Root -Recurse -Force -ErrorAction Stop
        }
    }

    Context 'a complete installation, removed with -Quiet' {
        BeforeEach {
            New-Installation
            New-Item -ItemType Directory -Path (Join-Path -Path $script:box.InstallRoot -ChildPath 'App-0.14.0/empty') -Force | Out-Null
        }

        It 'shows the whole listing, asks nothing and removes everything it made, in order, leftovers of setup runs in TEMP last' {
            $folders = @(Get-ChildItem -LiteralPath $script:box.InstallRoot -Directory -Force |
                    Where-Object -FilterScript { $_.Name -ne 'Logs' } | ForEach-Object -Process { $_.FullName })
            # A build folder of a run cut off 11 minutes ago goes; a work folder of a run starting now stays.
            # The platform's temporary path holds one of 1.5 MB, where the setup makes its work folders.
            $leftover = New-Leftover -Folder $script:box.Temp -Name 'TARNQUILL-build-0123456789abcdef0123456789abcdef'
            $work = New-Leftover -Folder $script:box.PlatformTemp -Name 'TARNQUILL-Setup-0.15.0-0123456789abcdef-0000000000000001' -Bytes 1572864
            $starting = Join-Path -Path $script:box.Temp -ChildPath 'TARNQUILL-Setup-0.15.0-0123456789abcdef-0123456789abcdef'
            New-TestFile -Path (Join-Path -Path $starting -ChildPath 'source.zip')
            $result = Invoke-Uninstaller -Quiet

            $result.Error | Should -BeNullOrEmpty
            $result.ExitCode | Should -Be 0
            $listing = Get-ExpectedListing -VersionFolders $folders -Leftovers @(($leftover + ' (0 MB)'), ($work + ' (1.5 MB)'))
            $result.Lines[0..($listing.Count - 1)] | Should -Be $listing
            $removed = @($folders | ForEach-Object -Process { 'Removed: ' + $_ }) +
            @('Removed leftover temporary folder: TARNQUILL-build-0123456789abcdef0123456789abcdef (0 MB)',
                'Removed leftover temporary folder: TARNQUILL-Setup-0.15.0-0123456789abcdef-0000000000000001 (1.5 MB)')
            $result.Lines[$listing.Count..($result.Lines.Count - 2)] | Should -Be $removed
            @(Get-ChildItem -LiteralPath $script:box.Temp -Name) | Should -Be @(Split-Path -Leaf -Path $starting)
            Test-Path -LiteralPath $work | Should -BeFalse
            $result.Lines[-1] | Should -Be 'TARNQUILL uninstalled. Your settings, diagnostic history and startup backups were retained.'
            $result.Records[-1].MessageData.ForegroundColor | Should -Be ([System.ConsoleColor]::Green)
            # Every other line is in the console's current colour.
            $plain = (& { Write-Host 'reference' } 6>&1).MessageData.ForegroundColor
            @($result.Records[0..($result.Records.Count - 2)] | ForEach-Object -Process { $_.MessageData.ForegroundColor } |
                    Where-Object -FilterScript { $_ -ne $plain }) | Should -BeNullOrEmpty
            Should -Invoke Read-TarnquillAnswer -Times 0 -Exactly

            Test-Path -LiteralPath $script:box.InstallRoot | Should -BeFalse
            Test-Path -LiteralPath $script:box.StartMenuGroup | Should -BeFalse
            foreach ($shortcut in $script:box.Shortcuts) {
                Test-Path -LiteralPath $shortcut | Should -BeFalse
            }
            $script:registry.UninstallKey | Should -BeFalse
            $script:registry.StartupValue | Should -BeNullOrEmpty

            # Version folders and shortcuts go first, then the registry, the log folder last.
            $script:registry.Seen['UninstallKey'].VersionFoldersLeft | Should -Be 0
            $script:registry.Seen['UninstallKey'].ShortcutsLeft | Should -Be 0
            $script:registry.Seen['UninstallKey'].LogsPresent | Should -BeTrue
            $script:registry.Seen['StartupRead'].UninstallKeyPresent | Should -BeFalse
            $script:registry.Seen['StartupRemoved'].LogsPresent | Should -BeTrue
        }

        It 'leaves the user data folder and everything outside the installation untouched' {
            $result = Invoke-Uninstaller -Quiet
            $result.Error | Should -BeNullOrEmpty
            Get-Content -LiteralPath (Join-Path -Path $script:box.UserData -ChildPath 'settings.json') -Raw | Should -Be '{"keep":true}'
            Get-Content -LiteralPath (Join-Path -Path $script:box.Outside -ChildPath 'precious.txt') -Raw | Should -Be 'keep'
            Test-Path -LiteralPath $script:box.Desktop | Should -BeTrue
            Test-Path -LiteralPath $script:box.Programs | Should -BeTrue
        }

        It 'removes a Desktop shortcut and a file in a version folder that are cloud files, reparse points but no links' {
            # The tag is fed; the entries are real symbolic links, so only the links may go.
            Mock Get-TarnquillReparseTag { [uint32]::Parse('9000001A', 'HexNumber') }
            $precious = Join-Path -Path $script:box.Outside -ChildPath 'precious.txt'
            $shortcut = $script:box.Shortcuts[0]
            Remove-Item -LiteralPath $shortcut
            New-Item -ItemType SymbolicLink -Path $shortcut -Target $precious | Out-Null
            New-Item -ItemType SymbolicLink -Path (Join-Path -Path $script:app -ChildPath 'synced.txt') -Target $precious | Out-Null

            $result = Invoke-Uninstaller -Quiet
            $result.Error | Should -BeNullOrEmpty
            $result.ExitCode | Should -Be 0
            Test-Path -LiteralPath $script:box.InstallRoot | Should -BeFalse
            @(Get-ChildItem -LiteralPath $script:box.Desktop -Force) | Should -BeNullOrEmpty
            Get-Content -LiteralPath $precious -Raw | Should -Be 'keep'
        }

        It 'moves the shell and the process out of the folders it removes, to TEMP' {
            Set-Location -LiteralPath $script:app
            [System.IO.Directory]::SetCurrentDirectory($script:app)
            $result = Invoke-Uninstaller -Quiet
            $result.Error | Should -BeNullOrEmpty
            $script:registry.Seen['UninstallKey'].Location | Should -Be $script:box.Temp
            $script:registry.Seen['UninstallKey'].WorkingFolder | Should -Be $script:box.Temp
        }
    }

    Context 'the question' {
        BeforeEach {
            New-Installation
            $script:leftover = New-Leftover -Folder $script:box.Temp -Name 'TARNQUILL-build-0123456789abcdef0123456789abcdef'
        }

        It 'removes nothing after <Label>, once the whole listing is shown, and ends with 0' -ForEach @(
            @{ Label = 'an empty answer'; Answer = '' }
            @{ Label = 'n'; Answer = 'n' }
            @{ Label = 'no'; Answer = 'no' }
            @{ Label = 'yeah'; Answer = 'yeah' }
            @{ Label = 'a space before y'; Answer = ' y' }
            @{ Label = 'a space after y'; Answer = 'y ' }
            @{ Label = 'a space after yes'; Answer = 'yes ' }
        ) {
            $script:answer.Text = $Answer
            $before = Get-TreeSnapshot
            $result = Invoke-Uninstaller

            $result.Error | Should -BeNullOrEmpty
            $result.ExitCode | Should -Be 0
            $folders = @(Get-ChildItem -LiteralPath $script:box.InstallRoot -Directory -Force |
                    Where-Object -FilterScript { $_.Name -ne 'Logs' } | ForEach-Object -Process { $_.FullName })
            $listing = @(Get-ExpectedListing -VersionFolders $folders -Leftovers @($script:leftover + ' (0 MB)'))
            $result.Lines | Should -Be ($listing + 'Uninstall cancelled. Nothing removed.')
            @($script:answer.Prompts) | Should -Be @('Uninstall the listed files? [Y/N, default N]')
            $script:answer.LinesShown | Should -Be $listing.Count
            $plain = (& { Write-Host 'reference' } 6>&1).MessageData.ForegroundColor
            $result.Records[-1].MessageData.ForegroundColor | Should -Be $plain
            Get-TreeSnapshot | Should -Be $before
            Should -Invoke Remove-TarnquillUninstallKey -Times 0 -Exactly
            Should -Invoke Get-TarnquillStartupValue -Times 0 -Exactly
            $script:registry.UninstallKey | Should -BeTrue
        }

        It 'removes the installation after the answer <Answer>' -ForEach @(
            @{ Answer = 'y' }, @{ Answer = 'Y' }, @{ Answer = 'yes' }, @{ Answer = 'YeS' }
        ) {
            $script:answer.Text = $Answer
            $result = Invoke-Uninstaller
            $result.Error | Should -BeNullOrEmpty
            $result.ExitCode | Should -Be 0
            $result.Lines[-1] | Should -Be 'TARNQUILL uninstalled. Your settings, diagnostic history and startup backups were retained.'
            Test-Path -LiteralPath $script:box.InstallRoot | Should -BeFalse
            Should -Invoke Remove-TarnquillUninstallKey -Times 1 -Exactly
        }
    }

    Context 'a refusal before the first removal' {
        BeforeEach {
            New-Installation
            $script:before = Get-TreeSnapshot
        }

        It 'stops before any line while a process named <Name> runs, and leaves it running' -ForEach @(
            @{ Name = 'TARNQUILL' }, @{ Name = 'tarnquill' }
        ) {
            $process = Start-FakeApplication -Name $Name
            try {
                $result = Invoke-Uninstaller -Quiet
                $result.Error.Exception.Message | Should -Be 'Close TARNQUILL using Exit in the tray menu, then retry. No processes were terminated.'
                $result.Lines | Should -BeNullOrEmpty
                $process.HasExited | Should -BeFalse
            } finally {
                # Gone from the process list before the next test looks for one.
                $process.Kill()
                $process.WaitForExit()
            }
            Get-TreeSnapshot | Should -Be $script:before
            Should -Invoke Remove-TarnquillUninstallKey -Times 0 -Exactly
        }

        It 'refuses a symbolic link inside <Label> and removes nothing' -ForEach @(
            @{ Label = 'the application folder'; Folder = 'App-0.15.0/resources/app' }
            @{ Label = 'a backup folder'; Folder = 'Backup-0.15.0-aaaabbbbccccddddeeeeffff00001111' }
            @{ Label = 'the oldest version folder'; Folder = 'App-0.13.3/resources' }
            @{ Label = 'the log folder'; Folder = 'Logs' }
        ) {
            $link = Join-Path -Path (Join-Path -Path $script:box.InstallRoot -ChildPath $Folder) -ChildPath 'link'
            New-Item -ItemType SymbolicLink -Path $link -Target $script:box.Outside | Out-Null
            $before = Get-TreeSnapshot

            $result = Invoke-Uninstaller -Quiet
            $result.Error.Exception.Message | Should -Be ('Refusing to remove a tree containing a junction/symlink: ' + $link)
            Get-TreeSnapshot | Should -Be $before
            Should -Invoke Remove-TarnquillUninstallKey -Times 0 -Exactly
            Should -Invoke Remove-TarnquillStartupValue -Times 0 -Exactly
            Get-Content -LiteralPath (Join-Path -Path $script:box.Outside -ChildPath 'precious.txt') -Raw | Should -Be 'keep'
        }

        It 'refuses an unavailable LOCALAPPDATA before any line' {
            [System.Environment]::SetEnvironmentVariable('LOCALAPPDATA', ' ')
            $result = Invoke-Uninstaller -Quiet
            $result.Error.Exception.Message | Should -Be 'LOCALAPPDATA is unavailable.'
            $result.Lines | Should -BeNullOrEmpty
            Get-TreeSnapshot | Should -Be $script:before
        }

        It 'refuses a LOCALAPPDATA that is a link, before any line' {
            $link = Join-Path -Path $script:box.Home -ChildPath 'LinkedLocal'
            New-Item -ItemType SymbolicLink -Path $link -Target $script:box.LocalAppData | Out-Null
            [System.Environment]::SetEnvironmentVariable('LOCALAPPDATA', $link)
            $result = Invoke-Uninstaller -Quiet
            $result.Error.Exception.Message | Should -Be ('Reparse point in installation path: ' + $link)
            $result.Lines | Should -BeNullOrEmpty
            Get-TreeSnapshot | Should -Be $script:before
        }

        It 'names an unavailable <Label> folder before any line' -ForEach @(
            @{ Label = 'Desktop'; Name = 'Desktop' }, @{ Label = 'Start menu programs'; Name = 'Programs' }
        ) {
            $global:UninstallDoubles.Unavailable = $Name
            Mock Get-TarnquillSpecialFolder {
                if ($Name -eq $global:UninstallDoubles.Unavailable) {
                    ''
                } elseif ($Name -eq 'Desktop') {
                    $global:UninstallDoubles.Box.Desktop
                } else {
                    $global:UninstallDoubles.Box.Programs
                }
            }
            $result = Invoke-Uninstaller -Quiet
            $result.Error.Exception.Message | Should -Be ('The ' + $Label + ' folder of the current user is unavailable. Nothing was removed.')
            $result.Lines | Should -BeNullOrEmpty
            Get-TreeSnapshot | Should -Be $script:before
        }

        It 'refuses a version folder that is itself a link, and leaves its target alone' {
            $link = Join-Path -Path $script:box.InstallRoot -ChildPath 'App-0.10.0'
            New-Item -ItemType SymbolicLink -Path $link -Target $script:box.Outside | Out-Null
            $before = Get-TreeSnapshot

            $result = Invoke-Uninstaller -Quiet
            $result.Error.Exception.Message | Should -Be ('Refusing to remove a tree containing a junction/symlink: ' + $link)
            Get-TreeSnapshot | Should -Be $before
            Test-Path -LiteralPath (Join-Path -Path $script:box.Outside -ChildPath 'precious.txt') | Should -BeTrue
        }

        It 'refuses the shortcut <Index> when it is a link, even a dangling one' -ForEach @(
            @{ Index = 0; Dangling = $false }, @{ Index = 1; Dangling = $true }, @{ Index = 3; Dangling = $false }
        ) {
            $shortcut = $script:box.Shortcuts[$Index]
            Remove-Item -LiteralPath $shortcut
            $target = Join-Path -Path $script:box.Outside -ChildPath 'precious.txt'
            if ($Dangling) {
                $target = Join-Path -Path $script:box.Outside -ChildPath 'gone.lnk'
            }
            New-Item -ItemType SymbolicLink -Path $shortcut -Target $target | Out-Null
            $before = Get-TreeSnapshot

            $result = Invoke-Uninstaller -Quiet
            $result.Error.Exception.Message | Should -Be ('Shortcut is a reparse point: ' + $shortcut)
            Get-TreeSnapshot | Should -Be $before
            Should -Invoke Remove-TarnquillUninstallKey -Times 0 -Exactly
        }

        It 'refuses a Start menu group that is a link' {
            $elsewhere = Join-Path -Path $script:box.Outside -ChildPath 'group'
            Move-Item -LiteralPath $script:box.StartMenuGroup -Destination $elsewhere
            New-Item -ItemType SymbolicLink -Path $script:box.StartMenuGroup -Target $elsewhere | Out-Null
            $before = Get-TreeSnapshot

            $result = Invoke-Uninstaller -Quiet
            $result.Error.Exception.Message | Should -Be 'Start Menu folder is a reparse point.'
            Get-TreeSnapshot | Should -Be $before
            Test-Path -LiteralPath (Join-Path -Path $elsewhere -ChildPath 'Uninstall TARNQUILL.lnk') | Should -BeTrue
        }

        It 'refuses a second run while another installer or uninstaller holds the lock' {
            $ready = Join-Path -Path $script:box.Root -ChildPath 'lock-held'
            $holder = "Set-StrictMode -Version Latest; . '$script:lockLibrary'; `$lock = Enter-TarnquillSetupLock; " +
            "[System.IO.File]::WriteAllText('$ready.partial', [string]`$PID); [System.IO.File]::Move('$ready.partial', '$ready'); Start-Sleep -Seconds 600"
            # .NET keeps named mutexes under the TMPDIR that a process started with.
            [System.Environment]::SetEnvironmentVariable('TMPDIR', $script:savedEnvironment['TMPDIR'])
            $process = Start-Process -FilePath $script:pwsh -ArgumentList @('-NoProfile', '-NonInteractive', '-Command', $holder) -PassThru
            [System.Environment]::SetEnvironmentVariable('TMPDIR', $script:box.PlatformTemp)
            try {
                $deadline = (Get-Date).AddSeconds(180)
                while (-not (Test-Path -LiteralPath $ready)) {
                    if ($process.HasExited -or ((Get-Date) -gt $deadline)) {
                        throw 'The lock holder did not start.'
                    }
                    Start-Sleep -Milliseconds 100
                }
                $before = Get-TreeSnapshot
                $result = Invoke-Uninstaller -Quiet
                $result.Error.Exception.Message | Should -Be 'Another TARNQUILL installer or uninstaller is running for this user. Nothing was changed.'
                $result.Lines | Should -BeNullOrEmpty
                Get-TreeSnapshot | Should -Be $before
                Should -Invoke Remove-TarnquillUninstallKey -Times 0 -Exactly
            } finally {
                # The shell behind the launcher holds the lock; it reported its own id.
                if (Test-Path -LiteralPath $ready) {
                    $holderProcess = Get-Process -Id ([int](Get-Content -LiteralPath $ready -Raw)) -ErrorAction SilentlyContinue
                    if ($null -ne $holderProcess) {
                        Stop-Process -Id $holderProcess.Id -Force
                        $holderProcess.WaitForExit()
                    }
                }
                Stop-Process -Id $process.Id -Force -ErrorAction SilentlyContinue
                $process.WaitForExit()
            }

            # Once the holder is gone the lock is free again.
            $result = Invoke-Uninstaller -Quiet
            $result.Error | Should -BeNullOrEmpty
            Test-Path -LiteralPath $script:box.InstallRoot | Should -BeFalse
        }
    }

    Context 'a removal that fails' {
        It 'stops at the folder it cannot delete and leaves everything after it in place' {
            New-Installation
            $folders = @(Get-ChildItem -LiteralPath $script:box.InstallRoot -Directory -Force |
                    Where-Object -FilterScript { $_.Name -ne 'Logs' } | ForEach-Object -Process { $_.FullName })
            # An immutable file cannot be deleted, not even by root.
            $stuck = Join-Path -Path $folders[-1] -ChildPath 'TARNQUILL.exe'
            & chattr '+i' $stuck 2>$null
            if ($LASTEXITCODE -ne 0) {
                Set-ItResult -Skipped -Because 'the file system of the temporary folder does not support chattr +i'
                return
            }
            try {
                $result = Invoke-Uninstaller -Quiet
            } finally {
                & chattr '-i' $stuck
            }

            $result.Error | Should -Not -BeNullOrEmpty
            $removed = @($result.Lines | Where-Object -FilterScript { $_.StartsWith('Removed: ') })
            $removed | Should -Be @($folders[0..($folders.Count - 2)] | ForEach-Object -Process { 'Removed: ' + $_ })
            foreach ($folder in $folders[0..($folders.Count - 2)]) {
                Test-Path -LiteralPath $folder | Should -BeFalse
            }
            Test-Path -LiteralPath $stuck | Should -BeTrue
            foreach ($shortcut in $script:box.Shortcuts) {
                Test-Path -LiteralPath $shortcut | Should -BeTrue
            }
            Test-Path -LiteralPath (Join-Path -Path $script:box.LogFolder -ChildPath 'installer.log') | Should -BeTrue
            Should -Invoke Remove-TarnquillUninstallKey -Times 0 -Exactly
            Should -Invoke Get-TarnquillStartupValue -Times 0 -Exactly
            $result.Lines | Should -Not -Contain 'TARNQUILL uninstalled. Your settings, diagnostic history and startup backups were retained.'
        }
    }

    Context 'what is kept' {
        BeforeEach {
            New-Installation
        }

        It 'keeps <Name> in the installation root, and then the root itself' -ForEach @(
            @{ Name = 'Data'; Folder = $true; Warning = $null }
            @{ Name = 'App-not-a-version'; Folder = $true; Warning = $null }
            @{ Name = 'Backup-0.15.0'; Folder = $true; Warning = $null }
            @{ Name = 'App-9999999999.0.0'; Folder = $true; Warning = 'Unrecognized version folder left intact: App-9999999999.0.0' }
            @{ Name = 'notes.txt'; Folder = $false; Warning = $null }
            @{ Name = '.hidden'; Folder = $false; Warning = $null }
        ) {
            $item = Join-Path -Path $script:box.InstallRoot -ChildPath $Name
            if ($Folder) {
                New-TestFile -Path (Join-Path -Path $item -ChildPath 'inside.txt') -Text 'mine'
            } else {
                New-TestFile -Path $item -Text 'mine'
            }

            $result = Invoke-Uninstaller -Quiet
            $result.Error | Should -BeNullOrEmpty
            @(Get-ChildItem -LiteralPath $script:box.InstallRoot -Force | ForEach-Object -Process { $_.Name }) | Should -Be @($Name)
            $result.Lines | Should -Not -Contain ('Removed: ' + $item)
            @($result.Warnings) | Should -Be @($Warning | Where-Object -FilterScript { $null -ne $_ })
        }

        It 'keeps a Start menu group that still holds <Name>' -ForEach @(
            @{ Name = 'Readme.txt' }, @{ Name = '.hidden' }
        ) {
            $other = Join-Path -Path $script:box.StartMenuGroup -ChildPath $Name
            New-TestFile -Path $other -Text 'other'

            $result = Invoke-Uninstaller -Quiet
            $result.Error | Should -BeNullOrEmpty
            @(Get-ChildItem -LiteralPath $script:box.StartMenuGroup -Force | ForEach-Object -Process { $_.Name }) | Should -Be @($Name)
        }

        It 'deletes read-only and hidden shortcuts, and passes over a folder of a shortcut name' {
            [System.IO.File]::SetAttributes($script:box.Shortcuts[0], [System.IO.FileAttributes]::ReadOnly)
            Remove-Item -LiteralPath $script:box.Shortcuts[1]
            New-Item -ItemType Directory -Path $script:box.Shortcuts[1] | Out-Null

            $result = Invoke-Uninstaller -Quiet
            $result.Error | Should -BeNullOrEmpty
            Test-Path -LiteralPath $script:box.Shortcuts[0] | Should -BeFalse
            Test-Path -LiteralPath $script:box.Shortcuts[1] -PathType Container | Should -BeTrue
        }
    }

    Context 'the start-up value' {
        BeforeEach {
            New-Installation
        }

        It 'deletes it when its data names <Label>' -ForEach @(
            @{ Label = 'the executable of the application folder'; Make = { '"' + (Join-Path -Path $script:app -ChildPath 'TARNQUILL.exe') + '" --hidden' } }
            @{ Label = 'a backup folder, in upper case'; Make = { (Join-Path -Path $script:backup -ChildPath 'TARNQUILL.exe').ToUpperInvariant() } }
            @{ Label = 'the root in lower case, followed by a separator'; Make = { $script:box.InstallRoot.ToLowerInvariant() + [System.IO.Path]::DirectorySeparatorChar } }
        ) {
            $script:registry.StartupValue = & $Make
            $result = Invoke-Uninstaller -Quiet
            $result.Error | Should -BeNullOrEmpty
            Should -Invoke Remove-TarnquillStartupValue -Times 1 -Exactly
            $script:registry.StartupValue | Should -BeNullOrEmpty
        }

        It 'keeps it when its data is <Label>' -ForEach @(
            @{ Label = 'a copy outside the root'; Make = { Join-Path -Path $script:box.Outside -ChildPath 'TARNQUILL.exe' } }
            @{ Label = 'the root without a separator after it'; Make = { $script:box.InstallRoot } }
            @{ Label = 'a sibling of the root that begins like it'; Make = { Join-Path -Path ($script:box.InstallRoot + '-old') -ChildPath 'TARNQUILL.exe' } }
            @{ Label = 'empty'; Make = { '' } }
            @{ Label = 'missing'; Make = { $null } }
        ) {
            $data = & $Make
            $script:registry.StartupValue = $data
            $result = Invoke-Uninstaller -Quiet
            $result.Error | Should -BeNullOrEmpty
            Should -Invoke Get-TarnquillStartupValue -Times 1 -Exactly
            Should -Invoke Remove-TarnquillStartupValue -Times 0 -Exactly
            $script:registry.StartupValue | Should -Be $data
        }
    }

    Context 'no installation present' {
        It 'lists the shortcut paths and fixed lines, then removes the shortcuts and registry entries that exist' {
            New-TestFile -Path $script:box.Shortcuts[0] -Text 'lnk'
            $script:registry.UninstallKey = $true
            $result = Invoke-Uninstaller

            $result.Error | Should -BeNullOrEmpty
            $result.Lines | Should -Be (@(Get-ExpectedListing -VersionFolders @()) +
                'TARNQUILL uninstalled. Your settings, diagnostic history and startup backups were retained.')
            Test-Path -LiteralPath $script:box.Shortcuts[0] | Should -BeFalse
            $script:registry.UninstallKey | Should -BeFalse
            Test-Path -LiteralPath $script:box.InstallRoot | Should -BeFalse
        }
    }

    Context 'started by Windows PowerShell with -File' {
        BeforeEach {
            New-Installation
            # The doubles of the Windows-only functions come from the profile
            # of the sandboxed home, as global aliases; calls are recorded.
            $script:calls = Join-Path -Path $script:box.Root -ChildPath 'calls.txt'
            $script:answerFile = Join-Path -Path $script:box.Root -ChildPath 'answer.txt'
            $profileFolder = Join-Path -Path $script:box.Home -ChildPath '.config/powershell'
            $quote = { param([string]$Text) "'" + $Text.Replace("'", "''") + "'" }
            $profileText = @(
                'Set-StrictMode -Version Latest'
                ('$global:DoubleCalls = ' + (& $quote $script:calls))
                ('$global:DoubleAnswer = ' + (& $quote $script:answerFile))
                ('$global:DoubleDesktop = ' + (& $quote $script:box.Desktop))
                ('$global:DoublePrograms = ' + (& $quote $script:box.Programs))
                'function global:Get-DoubleSpecialFolder { param([string]$Name) if ($Name -eq ''Desktop'') { $global:DoubleDesktop } else { $global:DoublePrograms } }'
                'function global:Read-DoubleAnswer { param([string]$Prompt) Add-Content -LiteralPath $global:DoubleCalls -Value (''ask '' + $Prompt); [System.IO.File]::ReadAllText($global:DoubleAnswer) }'
                'function global:Remove-DoubleUninstallKey { Add-Content -LiteralPath $global:DoubleCalls -Value (''uninstall key, location '' + (Get-Location).Path + '', working folder '' + [System.IO.Directory]::GetCurrentDirectory()) }'
                'function global:Get-DoubleStartupValue { Add-Content -LiteralPath $global:DoubleCalls -Value ''startup read''; $null }'
                'function global:Remove-DoubleStartupValue { Add-Content -LiteralPath $global:DoubleCalls -Value ''startup removed'' }'
                'Set-Alias -Name Get-TarnquillSpecialFolder -Value Get-DoubleSpecialFolder -Scope Global'
                'Set-Alias -Name Read-TarnquillAnswer -Value Read-DoubleAnswer -Scope Global'
                'Set-Alias -Name Remove-TarnquillUninstallKey -Value Remove-DoubleUninstallKey -Scope Global'
                'Set-Alias -Name Get-TarnquillStartupValue -Value Get-DoubleStartupValue -Scope Global'
                'Set-Alias -Name Remove-TarnquillStartupValue -Value Remove-DoubleStartupValue -Scope Global'
            ) -join "`n"
            New-TestFile -Path (Join-Path -Path $profileFolder -ChildPath 'Microsoft.PowerShell_profile.ps1') -Text $profileText

        }

        It 'removes the application folder that holds its own copy and is its working folder, and ends with 0' {
            $copy = Join-Path -Path $script:app -ChildPath 'resources/app/scripts/uninstall-installed.ps1'
            $run = Invoke-UninstallerProcess -Arguments @($copy, '-Quiet') -WorkingFolder $script:app

            $run.Error | Should -BeNullOrEmpty
            $run.ExitCode | Should -Be 0
            $run.Output | Should -Match 'TARNQUILL uninstalled\. Your settings, diagnostic history and startup backups were retained\.'
            $run.Calls | Should -Be @(
                ('uninstall key, location ' + $script:box.Temp + ', working folder ' + $script:box.Temp)
                'startup read')
            Test-Path -LiteralPath $script:box.InstallRoot | Should -BeFalse
            Test-Path -LiteralPath (Join-Path -Path $script:box.UserData -ChildPath 'settings.json') | Should -BeTrue
        }

        It 'ends with 0 after a No, with nothing removed' {
            New-TestFile -Path $script:answerFile -Text 'no'
            $before = Get-TreeSnapshot
            $copy = Join-Path -Path $script:app -ChildPath 'resources/app/scripts/uninstall-installed.ps1'
            $run = Invoke-UninstallerProcess -Arguments @($copy) -WorkingFolder $script:app

            $run.ExitCode | Should -Be 0
            $run.Output | Should -Match 'Uninstall cancelled\. Nothing removed\.'
            $run.Calls | Should -Be @('ask Uninstall the listed files? [Y/N, default N]')
            Get-TreeSnapshot | Should -Be $before
        }

        It 'ends with 1 and the refusal on the error stream when a version folder holds a link' {
            New-Item -ItemType SymbolicLink -Path (Join-Path -Path $script:older -ChildPath 'link') -Target $script:box.Outside | Out-Null
            $run = Invoke-UninstallerProcess -Arguments @($script:uninstaller, '-Quiet') -WorkingFolder $script:box.Home

            $run.ExitCode | Should -Be 1
            $run.Error | Should -Match 'Refusing to remove a tree containing a junction/symlink:'
            $run.Calls | Should -BeNullOrEmpty
            Test-Path -LiteralPath $script:app | Should -BeTrue
        }
    }
}
