Set-StrictMode -Version Latest

# The per-user setup lock, held by a second real PowerShell process.

BeforeAll {
    $script:repoRoot = Split-Path -Parent (Split-Path -Parent $PSScriptRoot)
    $script:safetyScript = Join-Path (Join-Path $script:repoRoot 'scripts') 'setup-lock.ps1'
    . $script:safetyScript

    $script:pwshPath = (Get-Process -Id $PID).Path
    if ($env:TARNQUILL_PWSH) {
        $script:pwshPath = $env:TARNQUILL_PWSH
    }
    $scratchBase = [System.IO.Path]::GetTempPath()
    if ($env:TARNQUILL_RELEASE) {
        $scratchBase = Join-Path $env:TARNQUILL_RELEASE 'test'
    }
    $script:scratchBase = $scratchBase
    $script:savedLocalAppData = $env:LOCALAPPDATA

    function Start-LockHolder {
        # Launcher: a command and its arguments that start the holder's pwsh (another session, another user).
        param([string]$Sandbox, [switch]$Abandon, [string[]]$Launcher = @())

        $ready = Join-Path $Sandbox 'ready'
        $release = Join-Path $Sandbox 'release'
        $holder = Join-Path $Sandbox 'holder.ps1'
        $exitLine = 'Exit-TarnquillSetupLock -Lock $lock'
        if ($Abandon) {
            $exitLine = '# ends without releasing'
        }
        $lines = @(
            'Set-StrictMode -Version Latest'
            '$ErrorActionPreference = ''Stop'''
            ". '" + $script:safetyScript.Replace("'", "''") + "'"
            '$lock = Enter-TarnquillSetupLock'
            # What the holder took: its lock name and session, whole before the file has its name.
            "Set-Content -LiteralPath '" + ($ready + '.tmp').Replace("'", "''") + "' -Value @((Get-TarnquillSetupLockName), [System.Diagnostics.Process]::GetCurrentProcess().SessionId)"
            "Move-Item -LiteralPath '" + ($ready + '.tmp').Replace("'", "''") + "' -Destination '" + $ready.Replace("'", "''") + "'"
            '$deadline = (Get-Date).AddSeconds(600)'
            "while (-not (Test-Path -LiteralPath '" + $release.Replace("'", "''") + "') -and ((Get-Date) -lt `$deadline)) { Start-Sleep -Milliseconds 50 }"
            $exitLine
        )
        Set-Content -LiteralPath $holder -Value $lines -Encoding Ascii
        $command = @($Launcher) + @($script:pwshPath, '-NoLogo', '-NoProfile', '-NonInteractive', '-File', $holder)
        $process = Start-Process -FilePath $command[0] -ArgumentList @($command | Select-Object -Skip 1) -PassThru
        $deadline = (Get-Date).AddSeconds(180)
        while (-not (Test-Path -LiteralPath $ready)) {
            if ($process.HasExited -or ((Get-Date) -gt $deadline)) {
                throw 'The lock holder process did not take the lock.'
            }
            Start-Sleep -Milliseconds 50
        }
        return $process
    }

    function Stop-LockHolder {
        param([string]$Sandbox, $Process)

        Set-Content -LiteralPath (Join-Path $Sandbox 'release') -Value go
        if (-not $Process.WaitForExit(180000)) {
            $Process.Kill($true)
        }
        $Process.ExitCode | Should -Be 0
    }
}

AfterAll {
    $env:LOCALAPPDATA = $script:savedLocalAppData
}

Describe 'Enter-TarnquillSetupLock and Exit-TarnquillSetupLock' {
    BeforeEach {
        $script:sandbox = Join-Path $script:scratchBase ('safety-lock-' + [guid]::NewGuid().ToString('N'))
        $null = New-Item -ItemType Directory -Path (Join-Path $script:sandbox 'Local')
        $env:LOCALAPPDATA = Join-Path $script:sandbox 'Local'
    }

    AfterEach {
        $env:LOCALAPPDATA = $script:savedLocalAppData
        Remove-Item -LiteralPath $script:sandbox -Recurse -Force -ErrorAction SilentlyContinue
    }

    Context 'when no other run holds the lock' {
        It 'returns a held mutex that can be taken again after it is released' {
            $first = Enter-TarnquillSetupLock
            $first | Should -BeOfType ([System.Threading.Mutex])
            Exit-TarnquillSetupLock -Lock $first

            $second = Enter-TarnquillSetupLock
            $second | Should -BeOfType ([System.Threading.Mutex])
            Exit-TarnquillSetupLock -Lock $second
        }

        It 'never throws when released twice or given nothing' {
            $lock = Enter-TarnquillSetupLock
            Exit-TarnquillSetupLock -Lock $lock
            { Exit-TarnquillSetupLock -Lock $lock } | Should -Not -Throw
            { Exit-TarnquillSetupLock -Lock $null } | Should -Not -Throw
        }
    }

    Context 'when another process holds the lock' {
        It 'refuses at once with a sentence saying nothing was changed, and succeeds once it is released' {
            $holder = Start-LockHolder -Sandbox $script:sandbox
            try {
                $watch = [System.Diagnostics.Stopwatch]::StartNew()
                { Enter-TarnquillSetupLock } |
                    Should -Throw -ExpectedMessage 'Another TARNQUILL installer or uninstaller is running for this user. Nothing was changed.'
                $watch.Elapsed.TotalSeconds | Should -BeLessThan 5
            } finally {
                Stop-LockHolder -Sandbox $script:sandbox -Process $holder
            }

            $lock = Enter-TarnquillSetupLock
            $lock | Should -BeOfType ([System.Threading.Mutex])
            Exit-TarnquillSetupLock -Lock $lock
        }

        It 'takes the lock over after the holder ended without releasing it' {
            $holder = Start-LockHolder -Sandbox $script:sandbox -Abandon
            Stop-LockHolder -Sandbox $script:sandbox -Process $holder

            $lock = Enter-TarnquillSetupLock
            $lock | Should -BeOfType ([System.Threading.Mutex])
            Exit-TarnquillSetupLock -Lock $lock
        }

        It 'does not block a run for another local application data folder' {
            $holder = Start-LockHolder -Sandbox $script:sandbox
            try {
                $other = Join-Path $script:sandbox 'OtherLocal'
                $null = New-Item -ItemType Directory -Path $other
                $env:LOCALAPPDATA = $other
                $lock = Enter-TarnquillSetupLock
                $lock | Should -BeOfType ([System.Threading.Mutex])
                Exit-TarnquillSetupLock -Lock $lock
            } finally {
                Stop-LockHolder -Sandbox $script:sandbox -Process $holder
            }
        }
    }

    Context 'when a run holds the lock in another session' {
        # Linux keeps the Local\ names of each session (getsid) apart, as Windows does, and shares
        # the Global\ ones; setsid starts the holder in a session of its own.
        It 'is refused for the same user: the name is Global\ and the same in every session' {
            if (-not $IsLinux) {
                Set-ItResult -Skipped -Because 'a second session is made here with setsid on Linux'
                return
            }
            $holder = Start-LockHolder -Sandbox $script:sandbox -Launcher @('setsid')
            try {
                $held = @(Get-Content -LiteralPath (Join-Path $script:sandbox 'ready'))
                [int]$held[1] | Should -Not -Be ([System.Diagnostics.Process]::GetCurrentProcess().SessionId)
                $held[0] | Should -MatchExactly '\AGlobal\\TARNQUILL\.Setup\.[0-9a-f]{32}\z'
                $held[0] | Should -BeExactly (Get-TarnquillSetupLockName)
                { Enter-TarnquillSetupLock } |
                    Should -Throw -ExpectedMessage 'Another TARNQUILL installer or uninstaller is running for this user. Nothing was changed.'
            } finally {
                Stop-LockHolder -Sandbox $script:sandbox -Process $holder
            }
        }

        It 'does not block this user when another user holds theirs for the same folder' {
            if (-not $IsLinux -or (& id -u) -ne '0') {
                Set-ItResult -Skipped -Because 'another user is taken on here with setpriv, as root on Linux'
                return
            }
            # The holder runs as nobody, with a home of its own, and writes into the sandbox.
            $otherHome = Join-Path $script:sandbox 'nobody'
            $null = New-Item -ItemType Directory -Path $otherHome
            & chmod -R 0777 $script:sandbox
            $holder = Start-LockHolder -Sandbox $script:sandbox -Launcher @('setpriv', '--reuid=65534', '--regid=65534', '--clear-groups', 'env', "HOME=$otherHome", 'setsid')
            try {
                $held = @(Get-Content -LiteralPath (Join-Path $script:sandbox 'ready'))
                $held[0] | Should -MatchExactly '\AGlobal\\TARNQUILL\.Setup\.[0-9a-f]{32}\z'
                $held[0] | Should -Not -Be (Get-TarnquillSetupLockName)
                $lock = Enter-TarnquillSetupLock
                $lock | Should -BeOfType ([System.Threading.Mutex])
                Exit-TarnquillSetupLock -Lock $lock
            } finally {
                Stop-LockHolder -Sandbox $script:sandbox -Process $holder
            }
        }
    }

    Context 'when the holding thread ended without releasing the lock' {
        It 'treats the abandoned lock as acquired' {
            if (-not ('TarnquillLockTestAbandoner' -as [type])) {
                Add-Type -TypeDefinition @'
using System.Threading;
public static class TarnquillLockTestAbandoner
{
    public static void HoldAndEnd(string name)
    {
        Thread thread = new Thread(delegate()
        {
            Mutex mutex = new Mutex(false, name);
            mutex.WaitOne();
        });
        thread.Start();
        thread.Join();
    }
}
'@
            }
            [TarnquillLockTestAbandoner]::HoldAndEnd((Get-TarnquillSetupLockName))

            $lock = Enter-TarnquillSetupLock
            $lock | Should -BeOfType ([System.Threading.Mutex])
            Exit-TarnquillSetupLock -Lock $lock
        }
    }
}

Describe 'Test-TarnquillRunning' {
    # This session counts; another session only with an executable under the installation root,
    # which Windows lets the same user read and hides for another user's process.
    # A process whose session cannot be read counts, to be safe.
    It 'is <Expected> for TARNQUILL processes in <Case>' -TestCases @(
        @{ Case = 'no session'; Processes = @(); Expected = $false }
        @{ Case = 'another session, run from elsewhere'; Processes = @(, @(1, 'elsewhere')); Expected = $false }
        @{ Case = 'another session, run from a folder beside the root'; Processes = @(, @(1, 'beside')); Expected = $false }
        @{ Case = 'another session, of another user'; Processes = @(, @(1, 'unreadable')); Expected = $false }
        @{ Case = 'another session, run from the root'; Processes = @(, @(1, 'root')); Expected = $true }
        @{ Case = 'another session and this one'; Processes = @(@(1, 'elsewhere'), @(0, 'elsewhere')); Expected = $true }
        @{ Case = 'a session that cannot be read'; Processes = @(, @($null, 'elsewhere')); Expected = $true }
        @{ Case = 'another session, elevated, run from the root'; Processes = @(, @(1, 'elevated')); Expected = $true }
    ) {
        $root = Join-Path -Path $script:scratchBase -ChildPath 'Local/TARNQUILL'
        $script:paths = @{
            elsewhere = Join-Path -Path $script:scratchBase -ChildPath 'Downloads/TARNQUILL.exe'
            beside    = Join-Path -Path $script:scratchBase -ChildPath 'Local/TARNQUILL-old/TARNQUILL.exe'
            root      = Join-Path -Path $root -ChildPath 'App-0.15.0/TARNQUILL.exe'
        }
        $script:processes = $Processes
        # An elevated process of the same user refuses Process.Path (memory-read access); its
        # image path is read with the limited query right.
        Mock Get-TarnquillProcessImagePath { $script:paths.root } -ParameterFilter { $ProcessId -eq 4242 }
        Mock Get-TarnquillProcessImagePath { $null }
        Mock Get-TarnquillApplicationProcess {
            $session = [System.Diagnostics.Process]::GetCurrentProcess().SessionId
            foreach ($entry in $script:processes) {
                $process = New-Object -TypeName psobject
                if ($null -eq $entry[0]) {
                    $process | Add-Member -MemberType ScriptProperty -Name SessionId -Value { throw 'Access is denied.' }
                } else {
                    $process | Add-Member -MemberType NoteProperty -Name SessionId -Value ($session + $entry[0])
                }
                if ($entry[1] -eq 'elevated') {
                    $process | Add-Member -MemberType NoteProperty -Name Id -Value 4242
                    $process | Add-Member -MemberType ScriptProperty -Name Path -Value { throw 'Access is denied.' }
                } elseif ($entry[1] -eq 'unreadable') {
                    $process | Add-Member -MemberType ScriptProperty -Name Path -Value { throw 'Access is denied.' }
                } else {
                    $process | Add-Member -MemberType NoteProperty -Name Path -Value $script:paths[$entry[1]]
                }
                $process
            }
        }
        Test-TarnquillRunning -InstallRoot $root | Should -Be $Expected
    }
}
