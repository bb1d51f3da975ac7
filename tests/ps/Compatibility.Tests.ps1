Set-StrictMode -Version Latest

BeforeDiscovery {
    . (Join-Path -Path $PSScriptRoot -ChildPath 'support/Compatibility.ps1')
    $script:treeFiles = @(Get-TarnquillScriptFile -Root $env:TARNQUILL_ROOT | ForEach-Object -Process {
            @{ Path = $_.FullName; Name = [System.IO.Path]::GetRelativePath($env:TARNQUILL_ROOT, $_.FullName) }
        })
}

BeforeAll {
    . (Join-Path -Path $PSScriptRoot -ChildPath 'support/Compatibility.ps1')
    $script:samples = Join-Path -Path ([System.IO.Path]::GetTempPath()) -ChildPath ('tq-compat-' + [guid]::NewGuid().ToString('N'))
    New-Item -ItemType Directory -Path $script:samples | Out-Null

    function Get-SampleFinding {
        param([string]$Text, [string]$Extension = '.ps1')
        $path = Join-Path -Path $script:samples -ChildPath ([guid]::NewGuid().ToString('N') + $Extension)
        [System.IO.File]::WriteAllText($path, $Text, (New-Object -TypeName System.Text.UTF8Encoding -ArgumentList $false))
        @(Get-TarnquillCompatibilityFinding -LiteralPath $path)
    }
}

AfterAll {
    Remove-Item -LiteralPath $script:samples -Recurse -Force
}

Describe 'the Windows PowerShell 5.1 compatibility check' {
    Context 'a bad sample' {
        It 'finds <Problem>' -ForEach @(
            @{ Problem = 'the null-coalescing operator ??'; Code = '$a = $b ?? 1' }
            @{ Problem = 'the null-coalescing assignment ??='; Code = '$a ??= 1' }
            @{ Problem = 'a null-conditional operator'; Code = '$n = ${a}?.Length' }
            @{ Problem = 'a null-conditional operator'; Code = '$n = ${a}?[0]' }
            @{ Problem = 'the ternary operator'; Code = '$a = $true ? 1 : 2' }
            @{ Problem = 'a pipeline chain operator'; Code = 'Get-Item -LiteralPath . && Get-Date' }
            @{ Problem = 'a pipeline chain operator'; Code = 'Get-Item -LiteralPath . || Get-Date' }
            @{ Problem = 'ForEach-Object -Parallel'; Code = '1..2 | ForEach-Object -Parallel { $_ }' }
            @{ Problem = 'ForEach-Object -Parallel'; Code = '1..2 | % -Par { $_ }' }
            @{ Problem = 'the clean block'; Code = "function f { process { 1 } clean { 2 } }" }
            @{ Problem = 'Join-Path -AdditionalChildPath'; Code = 'Join-Path -Path a -ChildPath b -AdditionalChildPath c' }
            @{ Problem = 'Get-Content -AsByteStream'; Code = 'Get-Content -LiteralPath a -AsByteStream' }
        ) {
            $findings = Get-SampleFinding -Text ("Set-StrictMode -Version Latest`r`n" + $Code + "`r`n")
            ($findings -join "`n") | Should -BeLike "*$Problem*"
        }

        It 'finds a missing or weaker strict mode' -ForEach @(
            @{ Code = "Write-Output 1`r`n" }
            @{ Code = "Set-StrictMode -Version 2.0`r`nWrite-Output 1`r`n" }
            @{ Code = "Set-StrictMode -Off`r`n" }
        ) {
            Get-SampleFinding -Text $Code | Should -Contain 'Set-StrictMode -Version Latest is missing'
        }

        It 'finds a non-ASCII byte in a .ps1 and in a .cmd file' {
            $text = "Set-StrictMode -Version Latest`r`nWrite-Host 'caf" + [char]0xE9 + "'`r`n"
            Get-SampleFinding -Text $text | Should -Contain 'line 2: byte 0xC3 is not ASCII'
            Get-SampleFinding -Text ("@echo off`r`necho " + [char]0x2014 + "`r`n") -Extension '.cmd' |
                Should -Contain 'line 2: byte 0xE2 is not ASCII'
        }

        It 'finds a parse error' {
            Get-SampleFinding -Text "Set-StrictMode -Version Latest`r`nfunction f {`r`n" |
                Should -BeLike '*does not parse*'
        }
    }

    Context 'a good sample' {
        It 'finds nothing in 5.1 syntax that merely looks similar' {
            $code = @(
                'Set-StrictMode -Version Latest'
                '$a = if ($true) { 1 } else { 2 }'
                '$b = "a ? b : c"'
                '$c = @(1, 2) | ForEach-Object -Process { $_ }'
                '$d = Join-Path -Path a -ChildPath b'
                '$e = $a -and $b -or $c'
            ) -join "`r`n"
            Get-SampleFinding -Text $code | Should -BeNullOrEmpty
        }
    }
}

Describe 'every script of the tree' {
    It 'passes the compatibility check: <Name>' -ForEach $script:treeFiles {
        Get-TarnquillCompatibilityFinding -LiteralPath $Path | Should -BeNullOrEmpty
    }
}
