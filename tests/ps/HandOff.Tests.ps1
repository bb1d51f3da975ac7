Set-StrictMode -Version Latest

# The setup bootstrap's hand-off command, its text read from the prepared bootstrap, run by
# pwsh the way Windows PowerShell runs it: -Command with the text, the work folder in
# TARNQUILL_SETUP_WORK. It runs inside `script` so that pwsh has a terminal: colours are then
# written as escape sequences and Read-Host reads the keyboard, which the test types into.

BeforeAll {
    . (Join-Path -Path $PSScriptRoot -ChildPath 'support/HandOff.ps1')

    $packageJson = Join-Path -Path $env:TARNQUILL_ROOT -ChildPath 'package.json'
    $script:version = [string]((Get-Content -LiteralPath $packageJson -Raw | ConvertFrom-Json).version)
    $script:command = Get-TarnquillHandOffCommand -Version $script:version
    $script:testRoot = Join-Path -Path (Join-Path -Path $env:TARNQUILL_RELEASE -ChildPath 'test') -ChildPath ('handoff-' + [guid]::NewGuid().ToString('N'))

    function New-HandOffSandbox {
        # A work folder whose path holds spaces, an apostrophe and brackets, with source.zip in it made
        # from the given members (name relative to the top folder => text).
        param([hashtable]$Members, [string]$FolderTail = "0000 it's [here]")
        $sandbox = Join-Path -Path $script:testRoot -ChildPath ([guid]::NewGuid().ToString('N'))
        $work = Join-Path -Path $sandbox -ChildPath "TARNQUILL-Setup-$($script:version)-$FolderTail"
        [void][IO.Directory]::CreateDirectory($work)
        $homeFolder = Join-Path -Path $sandbox -ChildPath 'home'
        [void][IO.Directory]::CreateDirectory($homeFolder)
        $zipPath = Join-Path -Path $work -ChildPath 'source.zip'
        Add-Type -AssemblyName System.IO.Compression
        $stream = [IO.File]::Open($zipPath, [IO.FileMode]::CreateNew)
        $zip = New-Object -TypeName System.IO.Compression.ZipArchive -ArgumentList $stream, ([IO.Compression.ZipArchiveMode]::Create)
        try {
            foreach ($name in $Members.Keys) {
                $entry = $zip.CreateEntry("TARNQUILL-v$($script:version)/$name")
                $writer = New-Object -TypeName System.IO.StreamWriter -ArgumentList $entry.Open()
                $writer.Write([string]$Members[$name])
                $writer.Dispose()
            }
        } finally {
            $zip.Dispose()
            $stream.Dispose()
        }
        return [pscustomobject]@{
            Sandbox = $sandbox
            Work    = $work
            Home    = $homeFolder
            Marker  = Join-Path -Path $sandbox -ChildPath 'install-ran.txt'
            Log     = Join-Path -Path $sandbox -ChildPath 'setup log.txt'
        }
    }

    function Invoke-HandOff {
        # Runs the hand-off command; waits WaitSeconds, notes whether it was still running,
        # then types Enter (when PressEnter) and waits for the end. Setup holds the mode
        # variables of the bootstrap (name => value); Prelude is run first, in the same session.
        param([pscustomobject]$Sandbox, [switch]$PressEnter, [int]$WaitSeconds = 0,
            [hashtable]$Setup = @{}, [string]$Prelude = '')
        $info = New-Object -TypeName System.Diagnostics.ProcessStartInfo -ArgumentList 'script'
        foreach ($argument in @('-qefc', 'exec "$TARNQUILL_TEST_PWSH" -NoLogo -NoProfile -ExecutionPolicy Bypass -Command "$TARNQUILL_TEST_HANDOFF"', '/dev/null')) {
            $info.ArgumentList.Add($argument)
        }
        $info.UseShellExecute = $false
        $info.RedirectStandardInput = $true
        $info.RedirectStandardOutput = $true
        $info.RedirectStandardError = $true
        $info.Environment['TARNQUILL_TEST_PWSH'] = $env:TARNQUILL_PWSH
        $info.Environment['TARNQUILL_TEST_HANDOFF'] = $script:command
        if ($Prelude) {
            # Invoke-Expression runs the text in the session the prelude has prepared, its
            # language mode included; exit still ends the process.
            $info.Environment['TARNQUILL_TEST_HANDOFF_TEXT'] = $script:command
            $info.Environment['TARNQUILL_TEST_HANDOFF'] = $Prelude + '; Invoke-Expression $env:TARNQUILL_TEST_HANDOFF_TEXT'
        }
        foreach ($name in @('TARNQUILL_SETUP_MODE', 'TARNQUILL_SETUP_LOG', 'TARNQUILL_SETUP_REMOVEOLD')) {
            $info.Environment.Remove($name) | Out-Null
            if ($Setup.ContainsKey($name)) {
                $info.Environment[$name] = $Setup[$name]
            }
        }
        $info.Environment['TARNQUILL_SETUP_WORK'] = $Sandbox.Work
        $info.Environment['TARNQUILL_TEST_MARKER'] = $Sandbox.Marker
        $info.Environment['HOME'] = $Sandbox.Home
        $info.Environment['TERM'] = 'xterm'
        $process = [Diagnostics.Process]::Start($info)
        $errors = $process.StandardError.ReadToEndAsync()

        # pwsh asks the terminal for the cursor position and waits for the answer; answer each
        # question at once, as a terminal would, and type Enter once the prompt has stood for
        # WaitSeconds.
        $escape = [string][char]27
        $reader = $process.StandardOutput
        $buffer = New-Object -TypeName 'char[]' -ArgumentList 4096
        $text = New-Object -TypeName System.Text.StringBuilder
        $answered = 0
        $promptSeen = $null
        $waiting = $false
        $pressed = $false
        $deadline = [DateTime]::UtcNow.AddSeconds(300)
        $read = $reader.ReadAsync($buffer, 0, $buffer.Length)
        while ($true) {
            if ($read.Wait(100)) {
                if ($read.Result -eq 0) {
                    break
                }
                [void]$text.Append($buffer, 0, $read.Result)
                $read = $reader.ReadAsync($buffer, 0, $buffer.Length)
            }
            $sofar = $text.ToString()
            $questions = [regex]::Matches($sofar, [regex]::Escape($escape + '[6n')).Count
            while ($answered -lt $questions) {
                $process.StandardInput.Write($escape + '[1;1R')
                $process.StandardInput.Flush()
                $answered++
            }
            if ($PressEnter -and -not $pressed -and $sofar.Contains('Press Enter to close')) {
                if ($null -eq $promptSeen) {
                    $promptSeen = [DateTime]::UtcNow
                }
                if (([DateTime]::UtcNow - $promptSeen).TotalSeconds -ge $WaitSeconds) {
                    $waiting = -not $process.HasExited
                    $process.StandardInput.Write("`r")
                    $process.StandardInput.Flush()
                    $pressed = $true
                }
            }
            if ([DateTime]::UtcNow -gt $deadline) {
                $process.Kill($true)
                throw 'The hand-off command did not end within five minutes.'
            }
        }
        $process.WaitForExit()
        $all = $text.ToString() + $errors.Result
        $process.StandardInput.Dispose()
        return [pscustomobject]@{
            ExitCode          = $process.ExitCode
            Output            = $all
            Plain             = [regex]::Replace($all, $escape + '\[[0-9;?]*[A-Za-z]|' + $escape + '[=>]', '')
            WaitedBeforeEnter = $waiting
        }
    }

    $script:red = [regex]::Escape([string][char]27 + '[31m') + '(\x1b\[[0-9;]*m)*'
    $script:recordRun = 'param([switch]$Unattended, [switch]$RemoveOld, [string]$LogPath)' + "`r`n" +
        'Set-StrictMode -Version Latest' + "`r`n" +
        '[IO.File]::WriteAllText($env:TARNQUILL_TEST_MARKER, ($PSScriptRoot + "|" + $Unattended + "|" + $RemoveOld + "|" + $LogPath + "|" + $args.Count))' + "`r`n"
    # Linux hands a parent only the low 8 bits of an exit code; the Wine tests read whole codes.
    function Get-ExitStatus([int]$Code) { $Code % 256 }
}

AfterAll {
    if (Test-Path -LiteralPath $script:testRoot) {
        Remove-Item -LiteralPath $script:testRoot -Recurse -Force
    }
}

Describe 'Get-TarnquillHandOffCommand' {
    It 'gives the 2373-character command line of the 0.15.0 image' {
        $line = Get-TarnquillHandOffCommand -Version '0.15.0' -CommandLine
        $line.Length | Should -Be 2373
        $line | Should -BeLike '"WindowsPowerShell" -NoLogo -NoProfile -ExecutionPolicy Bypass -Command "*"'
        ($line.ToCharArray() | Where-Object { $_ -eq '"' }).Count | Should -Be 4
    }

    It 'writes the version into the script folder and nowhere else' {
        $text = Get-TarnquillHandOffCommand -Version '1.22.333'
        $text | Should -BeLike "*Join-Path `$work 'TARNQUILL-v1.22.333\scripts\install.ps1'*"
        $text | Should -Not -BeLike '*@VERSION@*'
        $text | Should -Not -BeLike '*0.15.0*'
    }

    It 'refuses a version that is not three numbers' {
        { Get-TarnquillHandOffCommand -Version '1.2' } | Should -Throw
    }
}

Describe 'Hand-off command' {
    Context 'when the install script succeeds' {
        BeforeAll {
            $script:sandbox = New-HandOffSandbox -Members @{
                'scripts/install.ps1' = $script:recordRun + 'Write-Host "installed"' + "`r`n"
                'package.json'        = '{ "version": "' + $script:version + '" }'
            }
            $script:run = Invoke-HandOff -Sandbox $script:sandbox
        }

        It 'ends with exit status 0' {
            $script:run.ExitCode | Should -Be 0
        }

        It 'runs install.ps1 from the unpacked tree as an interactive run' {
            $expected = Join-Path -Path (Join-Path -Path $script:sandbox.Work -ChildPath "TARNQUILL-v$($script:version)") -ChildPath 'scripts'
            [IO.File]::ReadAllText($script:sandbox.Marker) | Should -Be ($expected + '|False|False||0')
            $script:run.Plain | Should -BeLike '*installed*'
        }

        It 'removes the work folder' {
            Test-Path -LiteralPath $script:sandbox.Work | Should -BeFalse
        }

        It 'asks for nothing' {
            $script:run.Plain | Should -Not -BeLike '*Press Enter to close*'
        }
    }

    Context 'when the install script throws' {
        BeforeAll {
            $script:sandbox = New-HandOffSandbox -Members @{
                'scripts/install.ps1' = $script:recordRun + "throw 'Runtime download failed. No download was started.'`r`n"
            }
            $script:run = Invoke-HandOff -Sandbox $script:sandbox -PressEnter -WaitSeconds 4
        }

        It 'waits at the Enter prompt and then ends with the general failure code' {
            $script:run.WaitedBeforeEnter | Should -BeTrue
            $script:run.Plain | Should -BeLike '*Press Enter to close*'
            $script:run.ExitCode | Should -Be (Get-ExitStatus 1603)
        }

        It 'prints the error message in red' {
            $script:run.Output | Should -Match ($script:red + 'Runtime download failed\. No download was started\.')
        }

        It 'prints the log line with %LOCALAPPDATA% as written' {
            $script:run.Plain | Should -BeLike '*Log: %LOCALAPPDATA%\TARNQUILL\Logs\installer.log*'
        }

        It 'keeps the work folder with the archive and the unpacked tree' {
            Test-Path -LiteralPath (Join-Path -Path $script:sandbox.Work -ChildPath 'source.zip') -PathType Leaf | Should -BeTrue
            Test-Path -LiteralPath (Join-Path -Path $script:sandbox.Work -ChildPath "TARNQUILL-v$($script:version)") -PathType Container | Should -BeTrue
        }
    }

    Context 'when the install script ends with a code of its own' {
        It 'passes the code on, prints nothing of its own and waits for Enter' {
            $sandbox = New-HandOffSandbox -Members @{ 'scripts/install.ps1' = "Set-StrictMode -Version Latest`r`nWrite-Host 'Installation failed.'`r`nWrite-Host 'Another setup run holds the lock.'`r`nexit 1618`r`n" }
            $run = Invoke-HandOff -Sandbox $sandbox -PressEnter
            $run.ExitCode | Should -Be (Get-ExitStatus 1618)
            ([regex]::Matches($run.Plain, 'Another setup run holds the lock\.')).Count | Should -Be 1
            ([regex]::Matches($run.Plain, 'Installation failed\.')).Count | Should -Be 1
            $run.Output | Should -Not -Match $script:red
            $run.Plain | Should -Not -BeLike '*Log: %LOCALAPPDATA%*'
            $run.Plain | Should -BeLike '*Press Enter to close*'
            Test-Path -LiteralPath $sandbox.Work | Should -BeTrue
        }
    }

    Context 'when the bootstrap asks for an unattended run' {
        It 'gives install.ps1 the switches and the log path, and ends a failure without waiting' {
            $sandbox = New-HandOffSandbox -Members @{ 'scripts/install.ps1' = $script:recordRun + "exit 15618`r`n" }
            $run = Invoke-HandOff -Sandbox $sandbox -Setup @{
                TARNQUILL_SETUP_MODE = 'passive'; TARNQUILL_SETUP_LOG = $sandbox.Log; TARNQUILL_SETUP_REMOVEOLD = '1'
            }
            $run.ExitCode | Should -Be (Get-ExitStatus 15618)
            $expected = Join-Path -Path (Join-Path -Path $sandbox.Work -ChildPath "TARNQUILL-v$($script:version)") -ChildPath 'scripts'
            [IO.File]::ReadAllText($sandbox.Marker) | Should -Be ($expected + '|True|True|' + $sandbox.Log + '|0')
            $run.Plain | Should -Not -BeLike '*Press Enter*'
        }

        It 'writes its own failure to the log copy as well, without waiting' {
            $sandbox = New-HandOffSandbox -Members @{ 'package.json' = '{}' }
            [IO.File]::WriteAllText($sandbox.Log, "earlier line`r`n")
            $run = Invoke-HandOff -Sandbox $sandbox -Setup @{ TARNQUILL_SETUP_MODE = 'silent'; TARNQUILL_SETUP_LOG = $sandbox.Log }
            $run.ExitCode | Should -Be (Get-ExitStatus 1603)
            $run.Plain | Should -Not -BeLike '*Press Enter*'
            $lines = [IO.File]::ReadAllLines($sandbox.Log)
            $lines[0] | Should -Be 'earlier line'
            $lines[1] | Should -Match '^\d{4}-\d\d-\d\dT\d\d:\d\d:\d\d\.\d+[+-]\d\d:\d\d ERROR The install script is missing from the unpacked setup files: .*install\.ps1\. Nothing was installed\.$'
            $lines.Count | Should -Be 2
        }
    }

    Context 'when the archive holds no install script' {
        It 'reports the missing script and ends with the general failure code, keeping the work folder' {
            $sandbox = New-HandOffSandbox -Members @{ 'package.json' = '{}' }
            $run = Invoke-HandOff -Sandbox $sandbox -PressEnter
            $run.ExitCode | Should -Be (Get-ExitStatus 1603)
            $run.Output | Should -Match ($script:red + 'The install script is missing from the unpacked setup files: .*install\.ps1\. Nothing was installed\.')
            $run.Plain | Should -BeLike '*Log: %LOCALAPPDATA%\TARNQUILL\Logs\installer.log*'
            $run.Plain | Should -BeLike '*Press Enter to close*'
            Test-Path -LiteralPath (Join-Path -Path $sandbox.Work -ChildPath 'source.zip') | Should -BeTrue
        }
    }

    Context 'when application control holds PowerShell in Constrained Language Mode' {
        BeforeAll {
            $script:lockdown = '$ExecutionContext.SessionState.LanguageMode = ''ConstrainedLanguage'''
            $script:blocked = 'Installation blocked: application control on this PC (such as AppLocker or WDAC) has put Windows PowerShell into Constrained Language Mode, so the setup''s scripts cannot run. Nothing was installed. An administrator can allow the setup and its scripts with an application control rule.'
        }

        It 'stops with the blocked-by-policy code and its message before it unpacks anything' {
            $sandbox = New-HandOffSandbox -Members @{ 'scripts/install.ps1' = $script:recordRun }
            $run = Invoke-HandOff -Sandbox $sandbox -PressEnter -Prelude $script:lockdown -Setup @{ TARNQUILL_SETUP_LOG = $sandbox.Log }
            $run.ExitCode | Should -Be (Get-ExitStatus 1625)
            $run.Plain | Should -BeLike ('*' + $script:blocked + '*')
            $run.Plain | Should -BeLike '*Press Enter to close*'
            $run.Plain | Should -Not -BeLike '*Log: %LOCALAPPDATA%*'
            $run.Plain | Should -Not -BeLike '*is not allowed*'
            @(Get-ChildItem -LiteralPath $sandbox.Work -Force).Name | Should -Be @('source.zip')
            Test-Path -LiteralPath $sandbox.Marker | Should -BeFalse
            [IO.File]::ReadAllText($sandbox.Log) | Should -Match ('^\S+ ERROR ' + [regex]::Escape($script:blocked) + '\r?\n$')
        }

        It 'does not wait for Enter in a silent run' {
            $sandbox = New-HandOffSandbox -Members @{ 'scripts/install.ps1' = $script:recordRun }
            $run = Invoke-HandOff -Sandbox $sandbox -Prelude $script:lockdown -Setup @{ TARNQUILL_SETUP_MODE = 'silent' }
            $run.ExitCode | Should -Be (Get-ExitStatus 1625)
            $run.Plain | Should -Not -BeLike '*Press Enter*'
        }
    }

    Context 'when the work folder holds a backtick and wildcard characters' {
        It 'gives Expand-Archive the folder with a backtick before each backtick, [, ], * and ?' {
            $sandbox = New-HandOffSandbox -Members @{ 'package.json' = '{}' } -FolderTail 'a`b[c]d*e?f'
            $seen = Join-Path -Path $sandbox.Sandbox -ChildPath 'destination.txt'
            # A function of the same name comes before the cmdlet: it records what it is given.
            $recorder = 'function Expand-Archive { param($LiteralPath, $DestinationPath, [switch]$Force) [IO.File]::WriteAllText(''' + $seen + ''', $DestinationPath) }'
            $run = Invoke-HandOff -Sandbox $sandbox -Prelude $recorder -Setup @{ TARNQUILL_SETUP_MODE = 'silent' }
            $run.ExitCode | Should -Be (Get-ExitStatus 1603)
            $expected = Join-Path -Path $sandbox.Sandbox -ChildPath ("TARNQUILL-Setup-$($script:version)-" + 'a``b`[c`]d`*e`?f')
            [IO.File]::ReadAllText($seen) | Should -BeExactly $expected
        }
    }

    Context 'when the archive is damaged' {
        It 'reports the unpacking error and ends with the general failure code, keeping the work folder' {
            $sandbox = New-HandOffSandbox -Members @{ 'scripts/install.ps1' = $script:recordRun }
            $zipPath = Join-Path -Path $sandbox.Work -ChildPath 'source.zip'
            $bytes = [IO.File]::ReadAllBytes($zipPath)
            [IO.File]::WriteAllBytes($zipPath, $bytes[0..([int]($bytes.Length / 2))])
            $run = Invoke-HandOff -Sandbox $sandbox -PressEnter
            $run.ExitCode | Should -Be (Get-ExitStatus 1603)
            $run.Output | Should -Match ($script:red + 'The setup files could not be unpacked into ')
            Test-Path -LiteralPath $sandbox.Marker | Should -BeFalse
            Test-Path -LiteralPath $zipPath | Should -BeTrue
        }
    }
}
