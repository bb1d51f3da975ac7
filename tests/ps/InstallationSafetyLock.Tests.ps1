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
        param([string]$Sandbox, [switch]$Abandon)

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
            "Set-Content -LiteralPath '" + $ready.Replace("'", "''") + "' -Value held"
            '$deadline = (Get-Date).AddSeconds(600)'
            "while (-not (Test-Path -LiteralPath '" + $release.Replace("'", "''") + "') -and ((Get-Date) -lt `$deadline)) { Start-Sleep -Milliseconds 50 }"
            $exitLine
        )
        Set-Content -LiteralPath $holder -Value $lines -Encoding Ascii
        $process = Start-Process -FilePath $script:pwshPath -ArgumentList @('-NoLogo', '-NoProfile', '-NonInteractive', '-File', $holder) -PassThru
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
    ) {
        $root = Join-Path -Path $script:scratchBase -ChildPath 'Local/TARNQUILL'
        $script:paths = @{
            elsewhere = Join-Path -Path $script:scratchBase -ChildPath 'Downloads/TARNQUILL.exe'
            beside    = Join-Path -Path $script:scratchBase -ChildPath 'Local/TARNQUILL-old/TARNQUILL.exe'
            root      = Join-Path -Path $root -ChildPath 'App-0.15.0/TARNQUILL.exe'
        }
        $script:processes = $Processes
        Mock Get-TarnquillApplicationProcess {
            $session = [System.Diagnostics.Process]::GetCurrentProcess().SessionId
            foreach ($entry in $script:processes) {
                $process = New-Object -TypeName psobject
                if ($null -eq $entry[0]) {
                    $process | Add-Member -MemberType ScriptProperty -Name SessionId -Value { throw 'Access is denied.' }
                } else {
                    $process | Add-Member -MemberType NoteProperty -Name SessionId -Value ($session + $entry[0])
                }
                if ($entry[1] -eq 'unreadable') {
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
