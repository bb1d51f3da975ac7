Set-StrictMode -Version Latest

Describe 'apply-update.ps1' {
    BeforeAll {
        $script:applyUpdate = Join-Path -Path $env:TARNQUILL_ROOT -ChildPath 'scripts/apply-update.ps1'

        function New-TestSetup {
            param([string]$Folder, [string]$Name, [byte[]]$Bytes)
            $path = Join-Path -Path $Folder -ChildPath $Name
            [System.IO.File]::WriteAllBytes($path, $Bytes)
            $path
        }

        function Get-TestSha256 {
            param([string]$Path)
            (Get-FileHash -LiteralPath $Path -Algorithm SHA256).Hash.ToLowerInvariant()
        }

        function Write-TestChecksum {
            param([string]$Folder, [string]$Text)
            $path = Join-Path -Path $Folder -ChildPath 'TARNQUILL-Setup-0.16.0-online.exe.sha256'
            [System.IO.File]::WriteAllText($path, $Text, [System.Text.Encoding]::ASCII)
            $path
        }
    }

    BeforeEach {
        $script:folder = Join-Path -Path ([System.IO.Path]::GetTempPath()) -ChildPath ('tq-update-' + [guid]::NewGuid().ToString('N'))
        New-Item -ItemType Directory -Path $script:folder | Out-Null
        $script:setup = New-TestSetup -Folder $script:folder -Name 'TARNQUILL-Setup-0.16.0-online.exe' -Bytes ([byte[]](1..200))
        $script:digest = Get-TestSha256 -Path $script:setup
        Mock -CommandName Start-Process -MockWith { }
    }

    AfterEach {
        Remove-Item -LiteralPath $script:folder -Recurse -Force
    }

    Context 'the checksum line matches the file' {
        It 'starts the setup once, with its full path, for a line with or without a line break' -ForEach @(
            @{ Ending = "`r`n" }, @{ Ending = "`n" }, @{ Ending = '' }
        ) {
            $checksum = Write-TestChecksum -Folder $script:folder -Text ("$script:digest  TARNQUILL-Setup-0.16.0-online.exe" + $Ending)
            & $script:applyUpdate -SetupPath $script:setup -ChecksumPath $checksum 6>$null
            Should -Invoke -CommandName Start-Process -Times 1 -Exactly -ParameterFilter { $FilePath -eq $script:setup }
        }
    }

    Context 'anything does not match' {
        It 'refuses a wrong digest and starts nothing' {
            $wrong = $script:digest.Substring(0, 63) + $(if ($script:digest[63] -eq '0') { '1' } else { '0' })
            $checksum = Write-TestChecksum -Folder $script:folder -Text "$wrong  TARNQUILL-Setup-0.16.0-online.exe`r`n"
            { & $script:applyUpdate -SetupPath $script:setup -ChecksumPath $checksum } |
                Should -Throw -ExpectedMessage "The SHA-256 of 'TARNQUILL-Setup-0.16.0-online.exe' is $script:digest, but the checksum file says $wrong. The file may be damaged or altered. Nothing was started."
            Should -Invoke -CommandName Start-Process -Times 0 -Exactly
        }

        It 'refuses a line that names another file and starts nothing' {
            $checksum = Write-TestChecksum -Folder $script:folder -Text "$script:digest  TARNQUILL-Setup-0.15.0-online.exe`r`n"
            { & $script:applyUpdate -SetupPath $script:setup -ChecksumPath $checksum } |
                Should -Throw -ExpectedMessage "The checksum file is for 'TARNQUILL-Setup-0.15.0-online.exe', not for 'TARNQUILL-Setup-0.16.0-online.exe'. Nothing was started."
            Should -Invoke -CommandName Start-Process -Times 0 -Exactly
        }

        It 'refuses a malformed line: <Case>' -ForEach @(
            @{ Case = 'upper-case digest'; Text = { $script:digest.ToUpperInvariant() + '  TARNQUILL-Setup-0.16.0-online.exe' } }
            @{ Case = 'one space'; Text = { $script:digest + ' TARNQUILL-Setup-0.16.0-online.exe' } }
            @{ Case = 'short digest'; Text = { $script:digest.Substring(1) + '  TARNQUILL-Setup-0.16.0-online.exe' } }
            @{ Case = 'second line'; Text = { $script:digest + "  TARNQUILL-Setup-0.16.0-online.exe`r`nextra" } }
            @{ Case = 'name with a folder'; Text = { $script:digest + '  sub/TARNQUILL-Setup-0.16.0-online.exe' } }
            @{ Case = 'empty file'; Text = { '' } }
        ) {
            $checksum = Write-TestChecksum -Folder $script:folder -Text (& $Text)
            { & $script:applyUpdate -SetupPath $script:setup -ChecksumPath $checksum } |
                Should -Throw -ExpectedMessage 'The checksum file does not hold one line of 64 lower-case hexadecimal digits, two spaces and a file name. Nothing was started.'
            Should -Invoke -CommandName Start-Process -Times 0 -Exactly
        }

        It 'refuses a missing setup file and a missing checksum file' {
            $checksum = Write-TestChecksum -Folder $script:folder -Text "$script:digest  TARNQUILL-Setup-0.16.0-online.exe"
            $missingSetup = Join-Path -Path $script:folder -ChildPath 'absent.exe'
            { & $script:applyUpdate -SetupPath $missingSetup -ChecksumPath $checksum } |
                Should -Throw -ExpectedMessage "The update file was not found: $missingSetup. Nothing was started."
            $missingChecksum = Join-Path -Path $script:folder -ChildPath 'absent.sha256'
            { & $script:applyUpdate -SetupPath $script:setup -ChecksumPath $missingChecksum } |
                Should -Throw -ExpectedMessage "The checksum file was not found: $missingChecksum. Nothing was started."
            Should -Invoke -CommandName Start-Process -Times 0 -Exactly
        }
    }
}
