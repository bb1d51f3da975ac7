Set-StrictMode -Version Latest
# ctest-timeout: 900
# The icon writer at the limit of 16-bit image IDs (5001 + index <= 65535), run
# for real under pwsh with the kernel32 double from tests/native.

BeforeAll {
    . (Join-Path -Path $PSScriptRoot -ChildPath '../native/IconWriterHarness.ps1')
    $script:LibrarySandbox = New-IconWriterSandbox
    $script:LibraryFolder = New-Kernel32DoubleLibrary -Sandbox $LibrarySandbox

    # An ICO whose entries all point at the same eight image bytes (image data
    # may overlap), so tens of thousands of images stay small.
    function New-ManyImageIco {
        param([string]$LiteralPath, [int]$Count)
        $dataOffset = 6 + 16 * $Count
        $entry = New-Object -TypeName byte[] -ArgumentList 16
        $entry[0] = 16
        $entry[1] = 16
        $entry[4] = 1
        $entry[6] = 32
        [System.BitConverter]::GetBytes([uint32]8).CopyTo($entry, 8)
        [System.BitConverter]::GetBytes([uint32]$dataOffset).CopyTo($entry, 12)
        $stream = [System.IO.File]::Create($LiteralPath)
        try {
            $writer = New-Object -TypeName System.IO.BinaryWriter -ArgumentList $stream
            $writer.Write([uint16]0)
            $writer.Write([uint16]1)
            $writer.Write([uint16]$Count)
            for ($index = 0; $index -lt $Count; $index++) {
                $writer.Write($entry)
            }
            $writer.Write([byte[]](0x89, 0x50, 0x4E, 0x47, 0x0D, 0x0A, 0x1A, 0x0A))
            $writer.Flush()
        }
        finally {
            $stream.Dispose()
        }
    }

    function New-TestExecutable {
        param([string]$Folder)
        $path = Join-Path -Path $Folder -ChildPath 'TARNQUILL.exe'
        [System.IO.File]::WriteAllBytes($path, [byte[]](0x4D, 0x5A, 1, 2, 3, 4, 5, 6))
        $path
    }
}

AfterAll {
    Remove-Item -LiteralPath $LibrarySandbox -Recurse -Force -ErrorAction SilentlyContinue
}

Describe 'set-executable-icon.ps1 at the image ID limit' {
    BeforeEach {
        $sandbox = New-IconWriterSandbox
        $executable = New-TestExecutable -Folder $sandbox
        $hashBefore = Get-FileSha256Text -LiteralPath $executable
    }
    AfterEach {
        Remove-Item -LiteralPath $sandbox -Recurse -Force -ErrorAction SilentlyContinue
    }

    It 'accepts 60,535 images, the last one with ID 65535, and lists them all in the group' {
        $icon = Join-Path -Path $sandbox -ChildPath 'many.ico'
        New-ManyImageIco -LiteralPath $icon -Count 60535
        $run = Invoke-IconWriter -Sandbox $sandbox -LibraryFolder $LibraryFolder -ExecutablePath $executable -IconPath $icon

        $run.Error | Should -BeNullOrEmpty
        $run.Messages[0].Text | Should -BeExactly 'TARNQUILL multi-resolution icon embedded into executable and verified.'
        (Get-FileSha256Text -LiteralPath $executable) | Should -Not -Be $hashBefore

        $log = $run.Log
        $log.Count | Should -Be (1 + 5 * 60535 + 15 + 1)
        $imageWrites = 0
        $groupWrites = 0
        foreach ($line in $log) {
            if ($line.StartsWith('UpdateResourceW type=3 ')) {
                $imageWrites++
            }
            elseif ($line.StartsWith('UpdateResourceW type=14 ')) {
                $groupWrites++
            }
        }
        $imageWrites | Should -Be (5 * 60535)
        $groupWrites | Should -Be 15
        $log[1] | Should -BeLike 'UpdateResourceW type=3 name=5001 lang=0 size=8 data=89504e470d0a1a0a result=ok'
        $log[5 * 60534 + 1] | Should -BeLike 'UpdateResourceW type=3 name=65535 lang=0 size=8 *'
        $log[5 * 60535] | Should -BeLike 'UpdateResourceW type=3 name=65535 lang=1053 size=8 *'

        $groupSize = 6 + 14 * 60535
        $firstGroup = ConvertFrom-Kernel32DoubleLog -Line $log[5 * 60535 + 1]
        "$($firstGroup.Type) $($firstGroup.Name) $($firstGroup.Language) $($firstGroup.Size)" | Should -Be "14 1 0 $groupSize"
        $firstGroup.Data.Length | Should -Be (2 * $groupSize)
        $firstGroup.Data.Substring(0, 12) | Should -Be '0000010077ec'
        $firstGroup.Data.Substring(2 * $groupSize - 4) | Should -Be 'ffff'
        $log[-1] | Should -BeExactly 'EndUpdateResourceW discard=0 result=ok'
    }

    It 'refuses 60,536 images with an overflow error before the executable is opened' {
        $icon = Join-Path -Path $sandbox -ChildPath 'too-many.ico'
        New-ManyImageIco -LiteralPath $icon -Count 60536
        $run = Invoke-IconWriter -Sandbox $sandbox -LibraryFolder $LibraryFolder -ExecutablePath $executable -IconPath $icon

        $run.ErrorType | Should -Be 'System.OverflowException'
        $run.LogExists | Should -BeFalse
        (Get-FileSha256Text -LiteralPath $executable) | Should -Be $hashBefore
    }
}
