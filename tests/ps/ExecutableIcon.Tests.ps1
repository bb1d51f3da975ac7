Set-StrictMode -Version Latest
# ctest-timeout: 900
# The icon writer run for real under pwsh, with the kernel32 resource-update
# functions served by the test double in tests/native.

BeforeAll {
    . (Join-Path -Path $PSScriptRoot -ChildPath '../native/IconWriterHarness.ps1')
    $script:ProductIcon = Join-Path -Path (Join-Path -Path $HarnessRoot -ChildPath 'assets') -ChildPath 'tarnquill.ico'
    $script:Languages = @(0, 1033, 1049, 1031, 1053)
    $script:LibrarySandbox = New-IconWriterSandbox
    $script:LibraryFolder = New-Kernel32DoubleLibrary -Sandbox $LibrarySandbox

    function New-TestExecutable {
        param([string]$Folder)
        $path = Join-Path -Path $Folder -ChildPath 'TARNQUILL.exe'
        $bytes = New-Object -TypeName byte[] -ArgumentList 4096
        (New-Object -TypeName System.Random -ArgumentList 5).NextBytes($bytes)
        $bytes[0] = 0x4D
        $bytes[1] = 0x5A
        [System.IO.File]::WriteAllBytes($path, $bytes)
        $path
    }

    function Get-ExpectedGroupHex {
        param([object[]]$Images)
        $bytes = New-Object -TypeName System.Collections.Generic.List[byte]
        $bytes.AddRange([byte[]](0, 0, 1, 0))
        $bytes.AddRange([System.BitConverter]::GetBytes([uint16]$Images.Count))
        for ($index = 0; $index -lt $Images.Count; $index++) {
            $bytes.AddRange([byte[]]$Images[$index].Directory)
            $bytes.AddRange([System.BitConverter]::GetBytes([uint16](5001 + $index)))
        }
        ConvertTo-HexText -Bytes $bytes.ToArray()
    }

    function Invoke-IconWriterOn {
        param([string]$Sandbox, [string]$Icon, [hashtable]$Options = @{})
        $executable = New-TestExecutable -Folder $Sandbox
        $before = Get-FileSha256Text -LiteralPath $executable
        $run = Invoke-IconWriter -Sandbox $Sandbox -LibraryFolder $LibraryFolder -ExecutablePath $executable -IconPath $Icon @Options
        $calls = @(ConvertFrom-Kernel32DoubleLog -Line $run.Log)
        [pscustomobject]@{
            Run = $run; Calls = $calls; Executable = $executable; HashBefore = $before
            HashAfter = (Get-FileSha256Text -LiteralPath $executable)
        }
    }
}

AfterAll {
    Remove-Item -LiteralPath $LibrarySandbox -Recurse -Force -ErrorAction SilentlyContinue
}

Describe 'set-executable-icon.ps1' {
    BeforeEach {
        $sandbox = New-IconWriterSandbox
    }
    AfterEach {
        Remove-Item -LiteralPath $sandbox -Recurse -Force -ErrorAction SilentlyContinue
    }

    Context 'with the nine-image product icon' {
        BeforeAll {
            $productSandbox = New-IconWriterSandbox
            $product = Invoke-IconWriterOn -Sandbox $productSandbox -Icon $ProductIcon
            $images = @(Read-IcoDirectory -LiteralPath $ProductIcon)
            $updates = @($product.Calls | Where-Object { $_.Call -eq 'UpdateResourceW' })
        }
        AfterAll {
            Remove-Item -LiteralPath $productSandbox -Recurse -Force -ErrorAction SilentlyContinue
        }

        It 'succeeds with one green message and nothing on the output stream' {
            $product.Run.Error | Should -BeNullOrEmpty
            $product.Run.OutputCount | Should -Be 0
            $product.Run.Messages.Count | Should -Be 1
            $product.Run.Messages[0].Text | Should -BeExactly 'TARNQUILL multi-resolution icon embedded into executable and verified.'
            $product.Run.Messages[0].Color | Should -Be 'Green'
            $product.HashAfter | Should -Not -Be $product.HashBefore
        }

        It 'opens the executable by its full path, keeps its other resources and commits once at the end' {
            $product.Calls.Count | Should -Be 62
            $product.Calls[0].Call | Should -Be 'BeginUpdateResourceW'
            $product.Calls[0].Path | Should -BeExactly $product.Executable
            $product.Calls[0].Delete | Should -Be 0
            $product.Calls[61].Call | Should -Be 'EndUpdateResourceW'
            $product.Calls[61].Discard | Should -Be 0
            @($product.Calls | Where-Object { $_.Call -eq 'Unexpected' }).Count | Should -Be 0
        }

        It 'writes each of the nine images as stored in the ICO, IDs 5001 to 5009, in five languages, first' {
            $images.Count | Should -Be 9
            $updates.Count | Should -Be 60
            for ($index = 0; $index -lt 45; $index++) {
                $image = [int][math]::Floor($index / 5)
                $call = $updates[$index]
                "$($call.Type) $($call.Name) $($call.Language)" |
                    Should -Be "3 $(5001 + $image) $($Languages[$index % 5])"
                $call.Size | Should -Be $images[$image].Length
                $call.Data | Should -BeExactly (ConvertTo-HexText -Bytes $images[$image].Data)
            }
        }

        It 'then writes one 132-byte group under 1, 101 and 32512 in five languages each' {
            $expectedGroup = Get-ExpectedGroupHex -Images $images
            $expectedGroup.Length | Should -Be (132 * 2)
            $expectedGroup.Substring(0, 12) | Should -Be '000001000900'
            $groupIds = @(1, 101, 32512)
            for ($index = 0; $index -lt 15; $index++) {
                $call = $updates[45 + $index]
                "$($call.Type) $($call.Name) $($call.Language)" |
                    Should -Be "14 $($groupIds[[int][math]::Floor($index / 5)]) $($Languages[$index % 5])"
                $call.Size | Should -Be 132
                $call.Data | Should -BeExactly $expectedGroup
            }
        }
    }

    Context 'with directory fields and image data out of the ordinary' {
        It 'passes every field on unchanged and copies overlapping, out-of-order image data exactly' {
            $data = [byte[]](1..40)
            # Data start after a 6 + 3 * 16 byte header and directory.
            $entries = @(
                (New-IcoEntry -Width 0 -Height 0 -ColorCount 16 -Reserved 7 -Planes 0 -BitCount 4 -Length 30 -Offset 64)
                (New-IcoEntry -Width 48 -Height 24 -ColorCount 0 -Reserved 255 -Planes 3 -BitCount 8 -Length 20 -Offset 54)
                (New-IcoEntry -Width 1 -Height 2 -Length 0 -Offset 94)
            )
            $icon = Join-Path -Path $sandbox -ChildPath 'odd.ico'
            New-IcoFile -LiteralPath $icon -Entry $entries -ImageBytes $data
            $outcome = Invoke-IconWriterOn -Sandbox $sandbox -Icon $icon

            $outcome.Run.Error | Should -BeNullOrEmpty
            $updates = @($outcome.Calls | Where-Object { $_.Call -eq 'UpdateResourceW' })
            $updates.Count | Should -Be (15 + 15)
            $updates[0].Data | Should -BeExactly (ConvertTo-HexText -Bytes ([byte[]](11..40)))
            $updates[5].Data | Should -BeExactly (ConvertTo-HexText -Bytes ([byte[]](1..20)))
            $updates[10].Size | Should -Be 0
            $updates[15].Data | Should -BeExactly ('000001000300' +
                '0000100700000400' + '1e000000' + '8913' +
                '301800ff03000800' + '14000000' + '8a13' +
                '0102000001002000' + '00000000' + '8b13')
        }
    }

    Context 'when the platform refuses a resource write' {
        It 'fails on write <Call> of 60 with "UpdateResource failed.", discards the update and leaves the executable as it was' -TestCases @(
            @{ Call = 1 }, @{ Call = 45 }, @{ Call = 46 }, @{ Call = 60 }
        ) {
            $outcome = Invoke-IconWriterOn -Sandbox $sandbox -Icon $ProductIcon -Options @{ Refuse = "UpdateResourceW:$Call"; ErrorCode = 1812 }

            $outcome.Run.Error | Should -BeExactly 'UpdateResource failed.'
            $outcome.Run.NativeErrorCode | Should -Be 1812
            $outcome.HashAfter | Should -Be $outcome.HashBefore
            $outcome.Calls.Count | Should -Be ($Call + 2)
            $outcome.Calls[$Call].Result | Should -Be 'refused'
            $outcome.Calls[$Call + 1].Call | Should -Be 'EndUpdateResourceW'
            $outcome.Calls[$Call + 1].Discard | Should -Be 1
        }
    }

    Context 'when the platform refuses to begin or to commit' {
        It 'fails with "BeginUpdateResource failed." and the platform code, writing nothing' {
            $outcome = Invoke-IconWriterOn -Sandbox $sandbox -Icon $ProductIcon -Options @{ Refuse = 'BeginUpdateResourceW'; ErrorCode = 193 }

            $outcome.Run.Error | Should -BeExactly 'BeginUpdateResource failed.'
            $outcome.Run.NativeErrorCode | Should -Be 193
            $outcome.Calls.Count | Should -Be 1
            $outcome.Calls[0].Result | Should -Be 'refused'
            $outcome.HashAfter | Should -Be $outcome.HashBefore
        }

        It 'fails with "EndUpdateResource failed." and the platform code, and does not end the handle again' {
            $outcome = Invoke-IconWriterOn -Sandbox $sandbox -Icon $ProductIcon -Options @{ Refuse = 'EndUpdateResourceW'; ErrorCode = 110 }

            $outcome.Run.Error | Should -BeExactly 'EndUpdateResource failed.'
            $outcome.Run.NativeErrorCode | Should -Be 110
            $outcome.Calls.Count | Should -Be 62
            $outcome.Calls[61].Call | Should -Be 'EndUpdateResourceW'
            $outcome.Calls[61].Discard | Should -Be 0
            $outcome.Calls[61].Result | Should -Be 'refused'
            $outcome.HashAfter | Should -Be $outcome.HashBefore
        }

        It 'writes the whole update again while a scanner holds the file, and succeeds on the third <Call> after two refused with <ErrorCode>' -TestCases @(
            @{ Call = 'BeginUpdateResourceW'; ErrorCode = 5; CallCount = 2 + 62 }
            @{ Call = 'BeginUpdateResourceW'; ErrorCode = 32; CallCount = 2 + 62 }
            @{ Call = 'BeginUpdateResourceW'; ErrorCode = 33; CallCount = 2 + 62 }
            @{ Call = 'EndUpdateResourceW'; ErrorCode = 32; CallCount = 3 * 62 }
        ) {
            $outcome = Invoke-IconWriterOn -Sandbox $sandbox -Icon $ProductIcon -Options @{ Refuse = $Call; ErrorCode = $ErrorCode; RefuseTimes = 2 }

            $outcome.Run.Error | Should -BeNullOrEmpty
            $tries = @($outcome.Calls | Where-Object -FilterScript { $_.Call -eq $Call })
            @($tries | ForEach-Object -Process { [string]$_.Result }) | Should -Be @('refused', 'refused', 'ok')
            $outcome.Calls.Count | Should -Be $CallCount
            $outcome.HashAfter | Should -Not -Be $outcome.HashBefore
        }

        It 'gives up after ten commits refused with access denied, with "EndUpdateResource failed."' {
            $outcome = Invoke-IconWriterOn -Sandbox $sandbox -Icon $ProductIcon -Options @{ Refuse = 'EndUpdateResourceW'; ErrorCode = 5 }

            $outcome.Run.Error | Should -BeExactly 'EndUpdateResource failed.'
            $outcome.Run.NativeErrorCode | Should -Be 5
            $outcome.Calls.Count | Should -Be (10 * 62)
            $outcome.HashAfter | Should -Be $outcome.HashBefore
        }

        It 'fails with "The executable icon resource was not changed." when a commit leaves the bytes as they were' {
            $outcome = Invoke-IconWriterOn -Sandbox $sandbox -Icon $ProductIcon -Options @{ CommitLeavesFileUnchanged = $true }

            $outcome.Run.Error | Should -BeExactly 'The executable icon resource was not changed.'
            $outcome.Run.Messages.Count | Should -Be 0
            $outcome.Calls[-1].Discard | Should -Be 0
            $outcome.Calls[-1].Result | Should -Be 'ok'
        }
    }

    Context 'with an ICO file it refuses' {
        It 'refuses <Case> with "<Message>" before the executable is opened' -TestCases @(
            @{ Case = 'a cursor file (type 2)'; Type = 2; Reserved = 0; Count = -1; Length = 4; Offset = 22
                Message = 'The supplied file is not a valid Windows ICO file.' }
            @{ Case = 'a reserved field that is not 0'; Type = 1; Reserved = 1; Count = -1; Length = 4; Offset = 22
                Message = 'The supplied file is not a valid Windows ICO file.' }
            @{ Case = 'an image count of 0'; Type = 1; Reserved = 0; Count = 0; Length = 4; Offset = 22
                Message = 'The supplied file is not a valid Windows ICO file.' }
            @{ Case = 'data reaching past the end'; Type = 1; Reserved = 0; Count = -1; Length = 5; Offset = 22
                Message = 'ICO image data is truncated.' }
            @{ Case = 'an offset beyond the end'; Type = 1; Reserved = 0; Count = -1; Length = 1; Offset = 4096
                Message = 'ICO image data is truncated.' }
        ) {
            # The file holds exactly 4 image bytes after one directory entry.
            $icon = Join-Path -Path $sandbox -ChildPath 'refused.ico'
            New-IcoFile -LiteralPath $icon -Type $Type -Reserved $Reserved -Count $Count -ImageBytes ([byte[]](1, 2, 3, 4)) -Entry @(
                (New-IcoEntry -Length $Length -Offset $Offset)
            )
            $outcome = Invoke-IconWriterOn -Sandbox $sandbox -Icon $icon

            $outcome.Run.Error | Should -BeExactly $Message
            $outcome.Run.LogExists | Should -BeFalse
            $outcome.HashAfter | Should -Be $outcome.HashBefore
        }

        It 'refuses an image length of 2^31 with an overflow error before the executable is opened' {
            $icon = Join-Path -Path $sandbox -ChildPath 'huge.ico'
            New-IcoFile -LiteralPath $icon -Entry @((New-IcoEntry -Length 2147483648 -Offset 22)) -ImageBytes ([byte[]](1, 2))
            $outcome = Invoke-IconWriterOn -Sandbox $sandbox -Icon $icon

            $outcome.Run.ErrorType | Should -Be 'System.OverflowException'
            $outcome.Run.LogExists | Should -BeFalse
            $outcome.HashAfter | Should -Be $outcome.HashBefore
        }

        It 'refuses a file that ends inside the <Where> with an end-of-stream error' -TestCases @(
            @{ Where = 'header'; Bytes = [byte[]](0, 0, 1) }
            @{ Where = 'directory'; Bytes = [byte[]](0, 0, 1, 0, 2, 0, 16, 16, 0, 0, 1, 0, 32, 0) }
        ) {
            $icon = Join-Path -Path $sandbox -ChildPath 'short.ico'
            [System.IO.File]::WriteAllBytes($icon, $Bytes)
            $outcome = Invoke-IconWriterOn -Sandbox $sandbox -Icon $icon

            $outcome.Run.ErrorType | Should -Be 'System.IO.EndOfStreamException'
            $outcome.Run.LogExists | Should -BeFalse
            $outcome.HashAfter | Should -Be $outcome.HashBefore
        }
    }

    Context 'with relative or missing paths' {
        It 'resolves relative paths against the process current directory' {
            $work = Join-Path -Path $sandbox -ChildPath 'work'
            New-Item -ItemType Directory -Path $work | Out-Null
            $executable = New-TestExecutable -Folder $work
            Copy-Item -LiteralPath $ProductIcon -Destination (Join-Path -Path $work -ChildPath 'app.ico')
            $run = Invoke-IconWriter -Sandbox $sandbox -LibraryFolder $LibraryFolder -WorkingDirectory $work `
                -ExecutablePath 'TARNQUILL.exe' -IconPath (Join-Path -Path '.' -ChildPath 'app.ico')

            $run.Error | Should -BeNullOrEmpty
            (ConvertFrom-Kernel32DoubleLog -Line $run.Log)[0].Path | Should -BeExactly $executable
        }

        It 'names the full path of a missing <Missing>' -TestCases @(
            @{ Missing = 'executable'; Prefix = 'Executable not found: ' }
            @{ Missing = 'icon'; Prefix = 'Icon not found: ' }
        ) {
            $work = Join-Path -Path $sandbox -ChildPath 'work'
            New-Item -ItemType Directory -Path $work | Out-Null
            $executable = 'TARNQUILL.exe'
            $icon = 'missing.ico'
            if ($Missing -eq 'executable') {
                $executable = 'absent.exe'
                $icon = $ProductIcon
            }
            else {
                New-TestExecutable -Folder $work | Out-Null
            }
            $run = Invoke-IconWriter -Sandbox $sandbox -LibraryFolder $LibraryFolder -WorkingDirectory $work `
                -ExecutablePath $executable -IconPath $icon

            $missingPath = $icon
            if ($Missing -eq 'executable') {
                $missingPath = $executable
            }
            $run.Error | Should -BeExactly ($Prefix + (Join-Path -Path $work -ChildPath $missingPath))
            $run.LogExists | Should -BeFalse
        }
    }
}
