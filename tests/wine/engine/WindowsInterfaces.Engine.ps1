Set-StrictMode -Version Latest

# Windows-only functions of the scripts, run for real on the PowerShell engine under Wine
# (tests/wine/engine-functions.test.sh): the current-user registry read back with reg.exe,
# the shell refresh through shell32, and the uninstaller's start-up value rule on the real
# Run key. Under pwsh on Linux these are replaced by doubles. Also the tree deleter on a file
# system that refuses to delete a read-only file, as Windows does and .NET on Linux does not, and
# the rename of a finished download that another handle holds, which Linux never refuses, and the
# runtime archive held from its hash to the end of its unpacking, which Linux cannot refuse either.

BeforeAll {
    $script:repoRoot = [IO.Path]::GetFullPath((Join-Path -Path $PSScriptRoot -ChildPath '..\..\..'))
    . (Join-Path -Path $script:repoRoot -ChildPath 'tests\ps\support\InstallProcedure.ps1')
    $uninstaller = Join-Path -Path $script:repoRoot -ChildPath 'scripts\uninstall-installed.ps1'
    . (Join-Path -Path $script:repoRoot -ChildPath 'scripts\shell-integration.ps1')
    foreach ($name in @('Get-TarnquillStartupValue', 'Remove-TarnquillStartupValue', 'Test-TarnquillStartupValueOwned')) {
        Import-InstallScriptFunction -ScriptPath $uninstaller -Name $name
    }
    # The uninstaller's own key and value names, taken from its script-scope constants.
    $tokens = $null
    $errors = $null
    $ast = [System.Management.Automation.Language.Parser]::ParseFile($uninstaller, [ref]$tokens, [ref]$errors)
    foreach ($statement in $ast.EndBlock.Statements) {
        if ($statement.Extent.Text -match '^\$script:(RunKeyPath|StartupValueName) = ''([^'']*)''$') {
            Set-Variable -Scope Script -Name $Matches[1] -Value $Matches[2]
        }
    }
    $script:reg = [IO.Path]::Combine($env:SystemRoot, 'System32', 'reg.exe')
    $script:runKey = 'HKCU\Software\Microsoft\Windows\CurrentVersion\Run'
    $script:installRoot = [IO.Path]::Combine($env:LOCALAPPDATA, 'TARNQUILL')

    function Get-RegLine {
        param([string]$Key, [string]$Name)
        @(& $script:reg query $Key /v $Name 2>$null) | Where-Object { $_ -like "    $Name    *" }
    }
}

AfterAll {
    $null = & $script:reg delete 'HKCU\Software\TarnquillEngineTest' /f 2>$null
    foreach ($name in @('TARNQUILL', 'TarnquillEngineTestOther')) {
        $null = & $script:reg delete $script:runKey /v $name /f 2>$null
    }
}

Describe 'install.ps1 registry writers on the real registry' {
    It 'create the key afresh and write String and DWord values that reg.exe reads back' {
        $key = 'HKCU:\Software\TarnquillEngineTest\Uninstall'
        $null = New-Item -Path $key -Force
        $null = New-ItemProperty -LiteralPath $key -Name 'Stale' -Value 'from an earlier writer' -PropertyType String
        Reset-TarnquillRegistryKey -Path $key
        Set-TarnquillRegistryValue -Path $key -Name 'DisplayName' -Type String -Value 'TARNQUILL - Find. Explain. Fix.'
        Set-TarnquillRegistryValue -Path $key -Name 'NoModify' -Type DWord -Value 1
        Set-TarnquillRegistryValue -Path $key -Name 'EstimatedSize' -Type DWord -Value 49146

        $native = 'HKCU\Software\TarnquillEngineTest\Uninstall'
        Get-RegLine -Key $native -Name 'DisplayName' | Should -Be '    DisplayName    REG_SZ    TARNQUILL - Find. Explain. Fix.'
        Get-RegLine -Key $native -Name 'NoModify' | Should -Be '    NoModify    REG_DWORD    0x1'
        Get-RegLine -Key $native -Name 'EstimatedSize' | Should -Be '    EstimatedSize    REG_DWORD    0xbffa'
        Get-RegLine -Key $native -Name 'Stale' | Should -BeNullOrEmpty
    }
}

Describe 'install.ps1 shell refresh through shell32' {
    It 'declares the refresh type and calls SHChangeNotify, twice in one session' {
        { Send-TarnquillShellChange; Send-TarnquillShellChange } | Should -Not -Throw
        'TarnquillShellRefresh' -as [type] | Should -Not -BeNullOrEmpty
    }
}

Describe 'uninstaller start-up value rule on the real Run key' {
    BeforeEach {
        $null = & $script:reg add $script:runKey /v TarnquillEngineTestOther /d 'C:\Other\other.exe' /f
    }

    It 'removes only a TARNQUILL value that names something inside the installation root, in any case' {
        $data = '"' + $script:installRoot.ToUpperInvariant() + '\App-0.15.0\TARNQUILL.exe" --hidden'
        $null = & $script:reg add $script:runKey /v TARNQUILL /d $data /f
        Get-TarnquillStartupValue | Should -Be $data
        Test-TarnquillStartupValueOwned -Data (Get-TarnquillStartupValue) -InstallRoot $script:installRoot | Should -BeTrue
        Remove-TarnquillStartupValue

        Get-RegLine -Key $script:runKey -Name 'TARNQUILL' | Should -BeNullOrEmpty
        Get-RegLine -Key $script:runKey -Name 'TarnquillEngineTestOther' | Should -Be '    TarnquillEngineTestOther    REG_SZ    C:\Other\other.exe'
        Get-TarnquillStartupValue | Should -BeNullOrEmpty
    }

    It 'leaves a TARNQUILL value that names a folder merely beginning with the root name' {
        $null = & $script:reg add $script:runKey /v TARNQUILL /d ($script:installRoot + 'Backup\TARNQUILL.exe') /f
        Test-TarnquillStartupValueOwned -Data (Get-TarnquillStartupValue) -InstallRoot $script:installRoot | Should -BeFalse
    }
}

Describe 'Remove-TarnquillTree on a file system that refuses to delete read-only files' {
    BeforeAll {
        . (Join-Path -Path $script:repoRoot -ChildPath 'scripts\installation-safety.ps1')
        $script:tree = Join-Path -Path $env:TEMP -ChildPath ('tarnquill-tree-' + [guid]::NewGuid().ToString('N'))
    }

    AfterAll {
        Remove-Item -LiteralPath $script:tree -Recurse -Force -ErrorAction SilentlyContinue
    }

    It 'clears the read-only attribute of a file deep in the tree and removes the whole tree' {
        $file = Join-Path -Path $script:tree -ChildPath 'resources\app\package.json'
        $null = New-Item -ItemType Directory -Path (Split-Path -Path $file -Parent)
        [IO.File]::WriteAllText($file, '{}')
        [IO.File]::SetAttributes($file, [IO.FileAttributes]::ReadOnly)
        { [IO.File]::Delete($file) } | Should -Throw -ExpectedMessage '*Access to the path * is denied*'

        Remove-TarnquillTree -Path $script:tree
        Test-Path -LiteralPath $script:tree | Should -BeFalse
    }
}

Describe 'disk-space.ps1 on a small drive' {
    # engine-functions.test.sh maps the drive to a 40 MB tmpfs with a 5 MB tmpfs mounted at \inner.
    BeforeAll {
        . (Join-Path -Path $script:repoRoot -ChildPath 'scripts\installation-safety.ps1')
        . (Join-Path -Path $script:repoRoot -ChildPath 'scripts\disk-space.ps1')
        . (Join-Path -Path $script:repoRoot -ChildPath 'scripts\installer-log.ps1')
        $script:drive = $env:TARNQUILL_SMALL_DRIVE
    }

    It 'reads the free space of the folder''s own volume, also of a volume mounted inside the drive' {
        if (-not $script:drive) {
            Set-ItResult -Skipped -Because 'no small drive was mounted for this run'
            return
        }
        $outer = Get-TarnquillDiskSpace -Path ($script:drive + 'Temp\not made yet\archive.zip')
        $outer.Volume | Should -Be $script:drive
        $outer.FreeBytes | Should -BeGreaterThan 39MB
        $outer.FreeBytes | Should -BeLessOrEqual 40MB
        $inner = Get-TarnquillDiskSpace -Path ($script:drive + 'inner\archive.zip')
        $inner.FreeBytes | Should -BeGreaterThan 4MB
        $inner.FreeBytes | Should -BeLessOrEqual 5MB
    }

    It 'tells volumes apart through a handle to the folder, and names the one mounted inside the drive' {
        if (-not $script:drive) {
            Set-ItResult -Skipped -Because 'no small drive was mounted for this run'
            return
        }
        $outer = Read-TarnquillVolume -Path ($script:drive + 'Temp\not made yet')
        $inner = Read-TarnquillVolume -Path ($script:drive + 'inner\not made yet')
        $outer.Failure | Should -BeNullOrEmpty
        $inner.Failure | Should -BeNullOrEmpty
        $outer.Volume | Should -Be $script:drive
        $inner.Volume | Should -Be ($script:drive + 'inner\')
        $inner.FreeBytes | Should -BeLessOrEqual 5MB
        Test-TarnquillSameVolume -Path ($script:drive + 'Temp') -OtherPath ($script:drive + 'inner\App-0.15.0') | Should -BeFalse
        Test-TarnquillSameVolume -Path ($script:drive + 'Temp\TARNQUILL-build-x') -OtherPath ($script:drive + 'App-0.15.0') | Should -BeTrue
        Test-TarnquillSameVolume -Path ($script:drive + 'Temp') -OtherPath $env:TEMP | Should -BeFalse
    }

    It 'knows a full disk by its Windows error, names the step, and skips a log line that does not fit' {
        if (-not $script:drive) {
            Set-ItResult -Skipped -Because 'no small drive was mounted for this run'
            return
        }
        # In pieces: one large write onto a full drive does not fail under Wine.
        $record = $null
        $file = [IO.File]::OpenWrite($script:drive + 'inner\filler.bin')
        try {
            $piece = New-Object -TypeName byte[] -ArgumentList 65536
            for ($i = 0; $i -lt 200; $i++) {
                $file.Write($piece, 0, $piece.Length)
                $file.Flush()
            }
        } catch {
            $record = $_
        } finally {
            try { $file.Dispose() } catch { $null = $_ }
        }
        $record | Should -Not -BeNullOrEmpty
        Test-TarnquillDiskFull -Exception $record.Exception | Should -BeTrue
        $named = Resolve-TarnquillDiskFullError -ErrorRecord $record -Step 'Writing the filler'
        $named.Message | Should -BeLike 'Writing the filler stopped: the disk is full. ?*'
        (Get-TarnquillWin32Error -Exception $named) | Should -Be 112

        { Add-TarnquillLogEntry -Path ($script:drive + 'inner\installer.log') -Text 'does not fit' } | Should -Not -Throw
        { Add-TarnquillLogEntry -Path ($script:drive + 'no such folder\installer.log') -Text 'other errors are thrown' } | Should -Throw
    }
}

Describe 'Download-FileWithFallback while another handle holds the finished file' {
    BeforeAll {
        . (Join-Path -Path $script:repoRoot -ChildPath 'scripts\runtime.ps1')
        $script:cache = Join-Path -Path $env:TEMP -ChildPath ('tarnquill-held-' + [guid]::NewGuid().ToString('N'))
        $null = New-Item -ItemType Directory -Path $script:cache
        Add-Type -TypeDefinition @'
using System;
using System.Threading;
public static class TarnquillHeldFile
{
    private static Timer timer;
    public static void CloseAfter(IDisposable handle, int milliseconds)
    {
        timer = new Timer(delegate (object state) { handle.Dispose(); }, null, milliseconds, Timeout.Infinite);
    }
}
'@
    }

    AfterAll {
        Remove-Item -LiteralPath $script:cache -Recurse -Force -ErrorAction SilentlyContinue
    }

    It 'renames it once the handle closes about a second later, after one transfer' {
        # The transfer's own handle, without delete sharing, as a scanner holds a new file.
        Mock Invoke-ElectronBitsTransfer {
            $file = [IO.File]::Open($Destination, 'Create', 'ReadWrite', 'Read')
            $file.SetLength(50000001)
            try {
                [IO.File]::Move($Destination, $Destination + '.moved')
            } catch {
                $script:held = $_.Exception.InnerException.HResult
            }
            [TarnquillHeldFile]::CloseAfter($file, 1000)
            $true
        }
        $script:held = 0
        $destination = Join-Path -Path $script:cache -ChildPath 'electron-v43.4.1-win32-x64.zip'
        $warnings = @(Download-FileWithFallback -Urls @('https://example.invalid/a.zip', 'https://example.invalid/b.zip') -Destination $destination 3>&1)
        ($warnings -join "`n") | Should -BeNullOrEmpty

        '0x{0:X8}' -f $script:held | Should -Be '0x80070020'
        Should -Invoke Invoke-ElectronBitsTransfer -Times 1 -Exactly
        (Get-Item -LiteralPath $destination).Length | Should -Be 50000001
        Test-Path -LiteralPath ($destination + '.partial') | Should -BeFalse
    }
}

Describe 'Ensure-ElectronRuntime holding the runtime archive from its hash to the end of its unpacking' {
    BeforeAll {
        # A source tree of its own whose pin is a small archive made here, already in its cache.
        $script:runtimeTree = Join-Path -Path $env:TEMP -ChildPath ('tarnquill-verified-' + [guid]::NewGuid().ToString('N'))
        $null = New-Item -ItemType Directory -Path $script:runtimeTree
        Copy-Item -LiteralPath (Join-Path -Path $script:repoRoot -ChildPath 'scripts') -Destination $script:runtimeTree -Recurse
        $cache = [IO.Path]::Combine($script:runtimeTree, '.runtime', 'cache')
        $null = New-Item -ItemType Directory -Path $cache
        $script:cachedArchive = Join-Path -Path $cache -ChildPath 'electron-v43.4.1-win32-x64.zip'
        $stream = [IO.File]::Open($script:cachedArchive, [IO.FileMode]::CreateNew)
        $zip = New-Object -TypeName System.IO.Compression.ZipArchive -ArgumentList $stream, ([IO.Compression.ZipArchiveMode]::Create)
        foreach ($name in @('electron.exe', 'resources\default_app.asar', 'locales/')) {
            $entry = $zip.CreateEntry($name)
            if (-not $name.EndsWith('/')) {
                $writer = New-Object -TypeName System.IO.StreamWriter -ArgumentList $entry.Open()
                $writer.Write('hashed ' + $name)
                $writer.Dispose()
            }
        }
        $zip.Dispose()
        $stream.Dispose()
        $pin = (Get-FileHash -LiteralPath $script:cachedArchive -Algorithm SHA256).Hash.ToLowerInvariant()
        $runtimeScript = [IO.Path]::Combine($script:runtimeTree, 'scripts', 'runtime.ps1')
        $text = [IO.File]::ReadAllText($runtimeScript) -replace "(?m)^\`$script:ElectronSha256 = '[0-9a-f]{64}'", ("`$script:ElectronSha256 = '" + $pin + "'")
        [IO.File]::WriteAllText($runtimeScript, $text)
        . $runtimeScript
        $script:ElectronSha256 | Should -Be $pin
        $script:other = Join-Path -Path $script:runtimeTree -ChildPath 'other.zip'
        [IO.File]::WriteAllText($script:other, 'not the hashed archive')
    }

    AfterAll {
        Remove-Item -LiteralPath $script:runtimeTree -Recurse -Force -ErrorAction SilentlyContinue
    }

    It 'refuses every writer, deletion and replacement after the hash, and unpacks what was hashed' {
        $script:refusals = @()
        Mock Write-Host -ParameterFilter { [string]$Object -eq 'Runtime integrity verified.' } -MockWith {
            $attempts = @(
                { [IO.File]::Open($script:cachedArchive, 'Open', 'ReadWrite', 'ReadWrite').Dispose() },
                { [IO.File]::Delete($script:cachedArchive) },
                { [IO.File]::Move($script:other, $script:cachedArchive, $true) })
            foreach ($attempt in $attempts) {
                try {
                    & $attempt
                    $script:refusals += 'allowed'
                } catch {
                    $script:refusals += '0x{0:X8}' -f $_.Exception.InnerException.HResult
                }
            }
        }
        $runtime = Ensure-ElectronRuntime

        # A writer and a deletion meet ERROR_SHARING_VIOLATION; a replacement under the same name
        # meets it or, as under Wine, ERROR_ACCESS_DENIED.
        $script:refusals.Count | Should -Be 3
        $script:refusals[0..1] | Should -Be @('0x80070020', '0x80070020')
        $script:refusals[2] | Should -BeIn @('0x80070020', '0x80070005')
        [IO.File]::ReadAllText((Join-Path -Path $runtime -ChildPath 'electron.exe')) | Should -Be 'hashed electron.exe'
        [IO.File]::ReadAllText([IO.Path]::Combine($runtime, 'resources', 'default_app.asar')) | Should -Be 'hashed resources\default_app.asar'
        Test-Path -LiteralPath (Join-Path -Path $runtime -ChildPath 'locales') -PathType Container | Should -BeTrue
        (Get-FileHash -LiteralPath $script:cachedArchive -Algorithm SHA256).Hash | Should -Be $script:ElectronSha256
        Test-TarnquillOwnedByCurrentUser -Path $script:cachedArchive | Should -BeTrue
    }
}

Describe 'temporary-folders.ps1 with TEMP at the root of a drive' {
    # TEMP=T:\ as on a RAM disk. "T:" without its separator would name the current folder on T:,
    # which is set elsewhere here, as a shell that was once there leaves it.
    BeforeAll {
        . (Join-Path -Path $script:repoRoot -ChildPath 'scripts\runtime.ps1')
        . (Join-Path -Path $script:repoRoot -ChildPath 'scripts\temporary-folders.ps1')
        $script:drive = $env:TARNQUILL_SMALL_DRIVE
        $script:savedTemp = @($env:TEMP, $env:TMP, [IO.Directory]::GetCurrentDirectory())
        $script:tree = Join-Path -Path $env:TEMP -ChildPath ('tarnquill-tree-' + [guid]::NewGuid().ToString('N'))
    }

    AfterAll {
        $env:TEMP = $script:savedTemp[0]
        $env:TMP = $script:savedTemp[1]
        [IO.Directory]::SetCurrentDirectory($script:savedTemp[2])
        Remove-Item -LiteralPath $script:tree -Recurse -Force -ErrorAction SilentlyContinue
    }

    It 'takes the verified archive of a leftover there into this tree, then removes the leftover' {
        if (-not $script:drive) {
            Set-ItResult -Skipped -Because 'no small drive was mounted for this run'
            return
        }
        $leftover = $script:drive + 'TARNQUILL-Setup-0.15.0-00000000000e0f10-0000000000000001'
        $cache = [IO.Path]::Combine($leftover, 'TARNQUILL-v0.15.0', '.runtime', 'cache')
        $null = [IO.Directory]::CreateDirectory($cache)
        $archive = Join-Path -Path $cache -ChildPath $script:ElectronArchive
        [IO.File]::WriteAllText($archive, 'an archive verified by its pin')
        $script:ElectronSha256 = (Get-FileHash -LiteralPath $archive -Algorithm SHA256).Hash.ToLowerInvariant()
        [IO.Directory]::SetLastWriteTimeUtc($leftover, [DateTime]::UtcNow.AddMinutes(-20))
        Mock Get-TarnQuillRoot { $script:tree }
        $env:TEMP = $script:drive
        $env:TMP = $script:drive
        [IO.Directory]::SetCurrentDirectory($script:drive + 'Temp')

        $temporary = @(Get-TarnquillTemporaryFolders)
        $temporary | Should -Contain $script:drive
        $found = @(Get-TarnquillLeftoverFolders -TempFolder $temporary)
        @($found | ForEach-Object -Process { $_.Path }) | Should -Be @($leftover)
        Import-ElectronArchiveFromEarlierRun -SourceTree @($found[0].SourceTree) | Should -BeTrue
        (Get-FileHash -LiteralPath (Get-ElectronArchivePath) -Algorithm SHA256).Hash | Should -Be $script:ElectronSha256
        @(Remove-TarnquillLeftoverFolders -Folder $found) | Should -Be @('Removed leftover temporary folder: ' + $found[0].Name + ' (0 MB)')
        Test-Path -LiteralPath $leftover | Should -BeFalse
    }
}

Describe 'setup-lock.ps1 reading the executable of a process' {
    BeforeAll {
        . (Join-Path -Path $script:repoRoot -ChildPath 'scripts\setup-lock.ps1')
    }

    It 'reads this engine''s own executable through QueryFullProcessImageName' {
        $own = [System.Diagnostics.Process]::GetCurrentProcess()
        Get-TarnquillProcessImagePath -ProcessId $own.Id | Should -Be $own.MainModule.FileName
        Get-TarnquillProcessPath -Process $own | Should -Be ([IO.Path]::GetFullPath($own.MainModule.FileName))
    }
}
