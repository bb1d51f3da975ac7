Set-StrictMode -Version Latest

# Install-root validation on real folders in a temporary LOCALAPPDATA.

BeforeAll {
    $script:repoRoot = Split-Path -Parent (Split-Path -Parent $PSScriptRoot)
    . (Join-Path (Join-Path $script:repoRoot 'scripts') 'installation-safety.ps1')

    $script:scratchBase = [System.IO.Path]::GetTempPath()
    if ($env:TARNQUILL_RELEASE) {
        $script:scratchBase = Join-Path $env:TARNQUILL_RELEASE 'test'
    }
    $script:savedLocalAppData = $env:LOCALAPPDATA
    $script:sep = [string][System.IO.Path]::DirectorySeparatorChar

    function New-TestFolder {
        param([string]$Path)
        $null = New-Item -ItemType Directory -Path $Path -Force
        return $Path
    }
}

AfterAll {
    $env:LOCALAPPDATA = $script:savedLocalAppData
}

Describe 'Assert-TarnquillInstallRoot' {
    BeforeEach {
        $script:sandbox = Join-Path $script:scratchBase ('safety-root-' + [guid]::NewGuid().ToString('N'))
        $script:local = New-TestFolder (Join-Path $script:sandbox 'Local')
        $script:root = Join-Path $script:local 'TARNQUILL'
        $env:LOCALAPPDATA = $script:local
    }

    AfterEach {
        $env:LOCALAPPDATA = $script:savedLocalAppData
        Remove-Item -LiteralPath $script:sandbox -Recurse -Force -ErrorAction SilentlyContinue
    }

    Context 'the standard root spelled in other ways' {
        It 'accepts the root with one or more trailing separators and returns it without them' {
            $null = New-TestFolder $script:root
            Assert-TarnquillInstallRoot -InstallRoot ($script:root + $script:sep) | Should -BeExactly $script:root
            Assert-TarnquillInstallRoot -InstallRoot ($script:root + $script:sep + $script:sep + $script:sep) |
                Should -BeExactly $script:root
        }

        It 'accepts a trailing separator on LOCALAPPDATA itself' {
            $env:LOCALAPPDATA = $script:local + $script:sep + $script:sep
            Assert-TarnquillInstallRoot -InstallRoot $script:root | Should -BeExactly $script:root
        }

        It 'accepts other letter case and returns the caller''s spelling' {
            $spelled = Join-Path $script:local 'tarnQuill'
            Assert-TarnquillInstallRoot -InstallRoot $spelled | Should -BeExactly $spelled
        }

        It 'resolves dot and dot-dot segments to the standard root' {
            $null = New-TestFolder (Join-Path $script:local 'Other')
            $winding = [string]::Join($script:sep, @($script:local, 'Other', '..', '.', 'TARNQUILL', ''))
            Assert-TarnquillInstallRoot -InstallRoot $winding | Should -BeExactly $script:root
        }

        It 'validates a root that does not exist yet and creates nothing' {
            Assert-TarnquillInstallRoot $script:root | Should -BeExactly $script:root
            Test-Path -LiteralPath $script:root | Should -BeFalse
        }
    }

    Context 'roots other than the standard one' {
        It 'refuses <Case>' -ForEach @(
            @{ Case = 'a neighbour folder in LOCALAPPDATA'; Relative = @('Local', 'Other') }
            @{ Case = 'a longer name'; Relative = @('Local', 'TARNQUILL2') }
            @{ Case = 'a folder below the root'; Relative = @('Local', 'TARNQUILL', 'App-1.0.0') }
            @{ Case = 'LOCALAPPDATA itself'; Relative = @('Local') }
            @{ Case = 'the same name elsewhere'; Relative = @('TARNQUILL') }
        ) {
            $candidate = $script:sandbox
            foreach ($part in $Relative) {
                $candidate = Join-Path $candidate $part
            }
            { Assert-TarnquillInstallRoot -InstallRoot $candidate } |
                Should -Throw -ExpectedMessage 'Refusing a non-standard installation root.'
        }
    }

    Context 'without a usable LOCALAPPDATA' {
        It 'refuses with LOCALAPPDATA is unavailable when it is <Case>, before looking at the root' -ForEach @(
            @{ Case = 'unset'; Value = $null }
            @{ Case = 'blank'; Value = " `t " }
        ) {
            if ($null -eq $Value) {
                Remove-Item -LiteralPath 'Env:LOCALAPPDATA' -ErrorAction SilentlyContinue
            } else {
                $env:LOCALAPPDATA = $Value
            }
            { Assert-TarnquillInstallRoot -InstallRoot $script:root } |
                Should -Throw -ExpectedMessage 'LOCALAPPDATA is unavailable.'
            { Assert-TarnquillInstallRoot -InstallRoot 'not even close' } |
                Should -Throw -ExpectedMessage 'LOCALAPPDATA is unavailable.'
            { Get-TarnquillVersionFolders -InstallRoot $script:root } |
                Should -Throw -ExpectedMessage 'LOCALAPPDATA is unavailable.'
            { Remove-TarnquillOwnedFolder -InstallRoot $script:root -Folder (Join-Path $script:root 'App-1.0.0') } |
                Should -Throw -ExpectedMessage 'LOCALAPPDATA is unavailable.'
        }
    }

    Context 'a symbolic link on the way to the root' {
        BeforeEach {
            # The version folder sits in the real folders that the links point to.
            $script:realLocal = New-TestFolder (Join-Path $script:sandbox 'RealLocal')
            $script:realApp = New-TestFolder (Join-Path (Join-Path $script:realLocal 'TARNQUILL') 'App-1.0.0')
            Set-Content -LiteralPath (Join-Path $script:realApp 'keep.txt') -Value 'kept'
        }

        It 'refuses every root-validating operation, naming <Case>' -ForEach @(
            @{ Case = 'LOCALAPPDATA'; Layout = 'local' }
            @{ Case = 'the profile folder above LOCALAPPDATA'; Layout = 'profile' }
            @{ Case = 'the root itself'; Layout = 'root' }
        ) {
            Remove-Item -LiteralPath $script:local -Recurse -Force
            if ($Layout -eq 'local') {
                $linked = $script:local
                $null = New-Item -ItemType SymbolicLink -Path $linked -Target $script:realLocal
                $env:LOCALAPPDATA = $linked
            } elseif ($Layout -eq 'profile') {
                # Profile -> RealProfile, and LOCALAPPDATA is Profile/AppData/Local.
                $realProfile = New-TestFolder (Join-Path $script:sandbox 'RealProfile')
                $appData = New-TestFolder (Join-Path $realProfile 'AppData')
                Move-Item -LiteralPath $script:realLocal -Destination (Join-Path $appData 'Local')
                $linked = Join-Path $script:sandbox 'Profile'
                $null = New-Item -ItemType SymbolicLink -Path $linked -Target $realProfile
                $env:LOCALAPPDATA = Join-Path (Join-Path $linked 'AppData') 'Local'
                $script:realApp = Join-Path (Join-Path (Join-Path $appData 'Local') 'TARNQUILL') 'App-1.0.0'
            } else {
                $null = New-TestFolder $script:local
                $env:LOCALAPPDATA = $script:local
                $linked = Join-Path $script:local 'TARNQUILL'
                $null = New-Item -ItemType SymbolicLink -Path $linked -Target (Join-Path $script:realLocal 'TARNQUILL')
            }
            $root = Join-Path $env:LOCALAPPDATA 'TARNQUILL'
            $expected = 'Reparse point in installation path: ' + $linked

            { Assert-TarnquillInstallRoot -InstallRoot $root } | Should -Throw -ExpectedMessage $expected
            { Get-TarnquillVersionFolders -InstallRoot $root } | Should -Throw -ExpectedMessage $expected
            { Get-TarnquillRetentionPlan -InstallRoot $root -CurrentVersion '2.0.0' } | Should -Throw -ExpectedMessage $expected
            { Remove-TarnquillOwnedFolder -InstallRoot $root -Folder (Join-Path $root 'App-1.0.0') } |
                Should -Throw -ExpectedMessage $expected

            Get-Content -LiteralPath (Join-Path $script:realApp 'keep.txt') | Should -Be 'kept'
        }

        It 'refuses a root that is a link whose target is gone' {
            $null = New-Item -ItemType SymbolicLink -Path $script:root -Target (Join-Path $script:sandbox 'Gone')
            { Assert-TarnquillInstallRoot -InstallRoot $script:root } |
                Should -Throw -ExpectedMessage ('Reparse point in installation path: ' + $script:root)
        }
    }
}

Describe 'Loading installation-safety.ps1' {
    It 'defines the functions, switches the loading scope to strict mode and leaves the error preference alone' {
        $library = Join-Path (Join-Path $script:repoRoot 'scripts') 'installation-safety.ps1'
        $probe = {
            param([string]$Library)
            Set-StrictMode -Off
            $ErrorActionPreference = 'Continue'
            . $Library
            . (Join-Path -Path (Split-Path -Parent -Path $Library) -ChildPath 'setup-lock.ps1')
            $strict = $false
            try {
                $null = $notAssignedAnywhere
            } catch {
                $strict = $true
            }
            $names = @('Assert-TarnquillInstallRoot', 'Get-TarnquillVersionFolders', 'Get-TarnquillRetentionPlan',
                'Assert-TarnquillPlainTree', 'Remove-TarnquillOwnedFolder', 'Enter-TarnquillSetupLock', 'Exit-TarnquillSetupLock')
            [pscustomobject]@{
                Strict    = $strict
                ErrorPref = [string]$ErrorActionPreference
                Defined   = @($names | Where-Object { Test-Path -LiteralPath ('Function:' + $_) }).Count
            }
        }
        $result = & $probe -Library $library
        $result.Strict | Should -BeTrue
        $result.ErrorPref | Should -Be 'Continue'
        $result.Defined | Should -Be 7
    }
}
