Set-StrictMode -Version Latest

# Download-FileWithFallback against real HTTP hosts on 127.0.0.1 (the fake runtime server).
# Only BITS, which does not exist here, is replaced (Invoke-ElectronBitsTransfer).

BeforeAll {
    . (Join-Path -Path $PSScriptRoot -ChildPath 'support/FakeRuntime.ps1')
    $script:archive = Get-FakeElectronArchive
    $script:server = Start-FakeRuntimeServer -ArchivePath $script:archive.Path
    $script:scratch = Join-Path -Path (Join-Path -Path $env:TARNQUILL_RELEASE -ChildPath 'test') -ChildPath ('runtime-download-' + [guid]::NewGuid().ToString('N'))
    $script:tree = Join-Path -Path $script:scratch -ChildPath 'source tree [1]'
    $runtimeCopy = New-FakeRuntimeSourceTree -Path $script:tree -Sha256 $script:archive.Sha256 -PrimaryUrl (Get-FakeRuntimeRefusedUrl) -MirrorUrl (Get-FakeRuntimeRefusedUrl)
    . $runtimeCopy

    function Get-SourceUrl {
        # A download URL on the fake server whose behaviour is picked by Route.
        param([string]$Route)
        return (Get-FakeRuntimeServerUrl -Server $script:server -Route $Route) + '/electron/electron/releases/download/v43.4.1/electron-v43.4.1-win32-x64.zip'
    }

    function Get-RequestCount {
        return @(Get-FakeRuntimeServerRequest -Server $script:server).Count
    }

    # The kernel32 double (tests/native) answers the free-space calls, so the room checks read
    # the real free space of the volumes here.
    $doubleFolder = Join-Path -Path $script:scratch -ChildPath 'kernel32'
    [void][IO.Directory]::CreateDirectory($doubleFolder)
    $library = Join-Path -Path $doubleFolder -ChildPath 'libkernel32.dll.so'
    $output = & gcc -shared -fPIC -O2 '-Wl,-soname,libkernel32.dll.so' -o $library (Join-Path -Path $PSScriptRoot -ChildPath '../native/kernel32_resource_double.c') 2>&1
    if ($LASTEXITCODE -ne 0) {
        throw "Building the kernel32 double failed: $output"
    }
    [void][System.Runtime.InteropServices.NativeLibrary]::Load($library)
}

AfterAll {
    Stop-FakeRuntimeServer -Server $script:server
    Remove-Item -LiteralPath $script:scratch -Recurse -Force -ErrorAction SilentlyContinue
}

Describe 'Download-FileWithFallback' {
    BeforeEach {
        $script:destination = Join-Path -Path $script:tree -ChildPath ('download-' + [guid]::NewGuid().ToString('N') + '.zip')
        $script:requestsBefore = Get-RequestCount
    }

    AfterEach {
        Remove-Item -LiteralPath $script:destination -Force -ErrorAction SilentlyContinue
    }

    Context 'the primary source fails and the mirror delivers' {
        It 'warns once about the primary (<Name>), then leaves the mirror archive in place' -TestCases @(
            @{ Name = '404'; Primary = 'missing'; Expected = 'Download source failed: The remote server returned an error: (404) Not Found.' }
            @{ Name = 'connection refused'; Primary = ''; Expected = 'Download source failed: *refused*' }
        ) {
            if ($Primary -eq '') {
                $primaryUrl = (Get-FakeRuntimeRefusedUrl) + '/x.zip'
            } else {
                $primaryUrl = Get-SourceUrl -Route $Primary
            }
            $mirrorUrl = Get-SourceUrl -Route 'archive'
            $result = Invoke-FakeRuntimeCapture { Download-FileWithFallback -Urls @($primaryUrl, $mirrorUrl) -Destination $script:destination }

            $result.Error | Should -BeNullOrEmpty
            $result.Warnings.Count | Should -Be 1
            $result.Warnings[0] | Should -BeLike $Expected
            @($result.HostLines | ForEach-Object { $_.Text }) | Should -Be @(
                ('Downloading Electron runtime from ' + $primaryUrl),
                ('Downloading Electron runtime from ' + $mirrorUrl))
            @($result.HostLines | ForEach-Object { [string]$_.Color }) | Should -Be @('Cyan', 'Cyan')
            $result.Output | Should -BeNullOrEmpty
            (Get-FileHash -LiteralPath $script:destination -Algorithm SHA256).Hash | Should -Be $script:archive.Sha256
        }

        It 'follows the mirror redirections (up to 10) to the archive' {
            $mirrorUrl = Get-SourceUrl -Route ('redirect/' * 10 + 'archive')
            $result = Invoke-FakeRuntimeCapture { Download-FileWithFallback -Urls @((Get-SourceUrl -Route 'missing'), $mirrorUrl) -Destination $script:destination }

            $result.Error | Should -BeNullOrEmpty
            $result.Warnings.Count | Should -Be 1
            (Get-Item -LiteralPath $script:destination).Length | Should -Be $script:archive.Length
        }

        It 'takes an archive whose length the server does not announce' {
            $result = Invoke-FakeRuntimeCapture { Download-FileWithFallback -Urls @((Get-SourceUrl -Route 'missing'), (Get-SourceUrl -Route 'unsized')) -Destination $script:destination }

            $result.Error | Should -BeNullOrEmpty
            $result.Warnings.Count | Should -Be 1
            (Get-FileHash -LiteralPath $script:destination -Algorithm SHA256).Hash | Should -Be $script:archive.Sha256
        }

        It 'does not follow an eleventh redirection' {
            $url = Get-SourceUrl -Route ('redirect/' * 11 + 'archive')
            $result = Invoke-FakeRuntimeCapture { Download-FileWithFallback -Urls @($url) -Destination $script:destination }

            $result.Error | Should -BeLike 'Could not download the Electron runtime. Last error: *'
            Test-Path -LiteralPath $script:destination | Should -BeFalse
        }
    }

    Context 'a source answers with a small page' {
        It 'fails that source by size, deletes the page before the next source, and takes the mirror' {
            $script:existedAtMirror = $null
            Mock Invoke-ElectronBitsTransfer { $script:existedAtMirror = Test-Path -LiteralPath $Destination; $false } -ParameterFilter { $Url -like '*/archive/*' }
            Mock Invoke-ElectronBitsTransfer { $false }
            $result = Invoke-FakeRuntimeCapture { Download-FileWithFallback -Urls @((Get-SourceUrl -Route 'error-page'), (Get-SourceUrl -Route 'archive')) -Destination $script:destination }

            $result.Error | Should -BeNullOrEmpty
            $result.Warnings | Should -Be @('Download source failed: The downloaded file is unexpectedly small.')
            $script:existedAtMirror | Should -BeFalse
            (Get-FileHash -LiteralPath $script:destination -Algorithm SHA256).Hash | Should -Be $script:archive.Sha256
        }
    }

    Context 'the size rule: more than 50,000,000 bytes' {
        It 'refuses exactly 50,000,000 bytes and leaves no file' {
            $result = Invoke-FakeRuntimeCapture { Download-FileWithFallback -Urls @(Get-SourceUrl -Route 'bytes/50000000') -Destination $script:destination }

            $result.Warnings | Should -Be @('Download source failed: The downloaded file is unexpectedly small.')
            $result.Error | Should -Be 'Could not download the Electron runtime. Last error: The downloaded file is unexpectedly small.'
            Test-Path -LiteralPath $script:destination | Should -BeFalse
        }

        It 'accepts 50,000,001 bytes without a warning' {
            $result = Invoke-FakeRuntimeCapture { Download-FileWithFallback -Urls @(Get-SourceUrl -Route 'bytes/50000001') -Destination $script:destination }

            $result.Error | Should -BeNullOrEmpty
            $result.Warnings | Should -BeNullOrEmpty
            (Get-Item -LiteralPath $script:destination).Length | Should -Be 50000001
        }
    }

    Context 'every source fails' {
        It 'warns for each source, throws the last failure and leaves no file (also after a partial body)' {
            $urls = @((Get-SourceUrl -Route 'missing'), (Get-SourceUrl -Route 'truncated'))
            $result = Invoke-FakeRuntimeCapture { Download-FileWithFallback -Urls $urls -Destination $script:destination }

            $result.Warnings.Count | Should -Be 2
            $result.Warnings[0] | Should -Be 'Download source failed: The remote server returned an error: (404) Not Found.'
            $result.Warnings[1] | Should -BeLike 'Download source failed: ?*'
            $lastMessage = $result.Warnings[1].Substring('Download source failed: '.Length)
            $result.Error | Should -Be ('Could not download the Electron runtime. Last error: ' + $lastMessage)
            Test-Path -LiteralPath $script:destination | Should -BeFalse
            Test-Path -LiteralPath ($script:destination + '.partial') | Should -BeFalse
        }

        It 'replaces an older file and a partial download at the destination and still leaves nothing behind' {
            [IO.File]::WriteAllText($script:destination, 'stale download')
            [IO.File]::WriteAllText($script:destination + '.partial', 'cut off download')
            $result = Invoke-FakeRuntimeCapture { Download-FileWithFallback -Urls @((Get-SourceUrl -Route 'error-page'), ((Get-FakeRuntimeRefusedUrl) + '/x.zip')) -Destination $script:destination }

            $result.Warnings.Count | Should -Be 2
            $result.Error | Should -BeLike 'Could not download the Electron runtime. Last error: *refused*'
            Test-Path -LiteralPath $script:destination | Should -BeFalse
            Test-Path -LiteralPath ($script:destination + '.partial') | Should -BeFalse
        }
    }

    Context 'a volume without room for the archive' {
        # A real small disk: a 100 MB tmpfs leaves 36 MB above the 64 MB margin, less than the archive.
        BeforeAll {
            $script:small = Join-Path -Path $script:scratch -ChildPath 'small disk'
            [void][IO.Directory]::CreateDirectory($script:small)
            $output = & mount -t tmpfs -o size=100m tmpfs $script:small 2>&1
            $script:smallRefused = $null
            if ($LASTEXITCODE -ne 0) {
                $script:smallRefused = "mounting a tmpfs was refused: $output"
            }
        }

        AfterAll {
            if ($null -eq $script:smallRefused) {
                & umount $script:small 2>&1 | Out-Null
            }
        }

        It 'stops a body of unknown length before the write that would pass the margin, and tries no mirror' {
            if ($null -ne $script:smallRefused) {
                Set-ItResult -Skipped -Because $script:smallRefused
                return
            }
            $destination = Join-Path -Path $script:small -ChildPath 'electron-v43.4.1-win32-x64.zip'
            $result = Invoke-FakeRuntimeCapture { Download-FileWithFallback -Urls @((Get-SourceUrl -Route 'unsized'), (Get-SourceUrl -Route 'archive')) -Destination $destination }

            $volume = [regex]::Escape($script:small + '/')
            $result.Error | Should -Match ("\ANot enough disk space to download the Electron runtime\. $volume \(runtime download\): " +
                '10[01] MB needed, (99|100) MB free\. Nothing was installed\.\z')
            $result.Warnings | Should -BeNullOrEmpty
            (Get-RequestCount) - $script:requestsBefore | Should -Be 1
            @(Get-ChildItem -LiteralPath $script:small -Force) | Should -BeNullOrEmpty
        }
    }

    Context 'the web stack''s security protocols' {
        It 'allows TLS 1.2 alone for the process, replacing what was enabled before, even when every source fails' {
            $saved = [Net.ServicePointManager]::SecurityProtocol
            try {
                [Net.ServicePointManager]::SecurityProtocol = [Net.SecurityProtocolType]::Tls13 -bor [Net.SecurityProtocolType]::Tls12
                $result = Invoke-FakeRuntimeCapture { Download-FileWithFallback -Urls @(Get-SourceUrl -Route 'missing') -Destination $script:destination }
                $after = [Net.ServicePointManager]::SecurityProtocol
            } finally {
                [Net.ServicePointManager]::SecurityProtocol = $saved
            }

            $result.Error | Should -Be 'Could not download the Electron runtime. Last error: The remote server returned an error: (404) Not Found.'
            $after | Should -Be ([Net.SecurityProtocolType]::Tls12)
        }
    }

    Context 'BITS is usable' {
        It 'falls back to the web request for the same source without a warning when BITS fails' {
            Mock Invoke-ElectronBitsTransfer { throw 'The BITS job failed: 0x80200010' }
            $url = Get-SourceUrl -Route 'archive'
            $result = Invoke-FakeRuntimeCapture { Download-FileWithFallback -Urls @($url, (Get-SourceUrl -Route 'missing')) -Destination $script:destination }

            $result.Error | Should -BeNullOrEmpty
            $result.Warnings | Should -BeNullOrEmpty
            Should -Invoke Invoke-ElectronBitsTransfer -Times 1 -Exactly -ParameterFilter { $Url -eq $url }
            (Get-RequestCount) - $script:requestsBefore | Should -Be 1
            (Get-FileHash -LiteralPath $script:destination -Algorithm SHA256).Hash | Should -Be $script:archive.Sha256
        }

        It 'uses a successful BITS transfer without a web request' {
            Mock Invoke-ElectronBitsTransfer { Copy-Item -LiteralPath $script:archive.Path -Destination $Destination; $true }
            $result = Invoke-FakeRuntimeCapture { Download-FileWithFallback -Urls @((Get-SourceUrl -Route 'missing'), (Get-SourceUrl -Route 'missing')) -Destination $script:destination }

            $result.Error | Should -BeNullOrEmpty
            $result.Warnings | Should -BeNullOrEmpty
            (Get-RequestCount) - $script:requestsBefore | Should -Be 0
            (Get-Item -LiteralPath $script:destination).Length | Should -Be $script:archive.Length
        }

        It 'does not retry a too-small BITS result with the web request of the same source' {
            $primary = Get-SourceUrl -Route 'archive'
            $mirror = Get-SourceUrl -Route 'redirect/archive'
            Mock Invoke-ElectronBitsTransfer { [IO.File]::WriteAllText($Destination, 'small'); $true } -ParameterFilter { $Url -eq $primary }
            Mock Invoke-ElectronBitsTransfer { $false }
            $result = Invoke-FakeRuntimeCapture { Download-FileWithFallback -Urls @($primary, $mirror) -Destination $script:destination }

            $result.Warnings | Should -Be @('Download source failed: The downloaded file is unexpectedly small.')
            $requests = @(Get-FakeRuntimeServerRequest -Server $script:server | Select-Object -Skip $script:requestsBefore)
            $requests[0] | Should -BeLike 'GET /redirect/archive/*'
            (Get-FileHash -LiteralPath $script:destination -Algorithm SHA256).Hash | Should -Be $script:archive.Sha256
        }

        Context 'the BITS job' {
            # Doubles of the BitsTransfer commands: a job whose state and byte count follow a
            # script, one step per poll (the poll's sleep is mocked, so no time passes), and the
            # user's queue as Queue lists it. A poll loop that never gives up fails at once.
            BeforeEach {
                $script:bits = @{ Step = 0; States = @(); Bytes = @(); Totals = @(); Queue = @(); Calls = (New-Object -TypeName System.Collections.Generic.List[string]) }
                function Start-BitsTransfer {
                    param([string]$Source, [string]$Destination, [switch]$Asynchronous, [string]$DisplayName, [string]$Description)
                    $bits = $script:bits
                    $bits.Calls.Add("Start $Source async=$Asynchronous name=$DisplayName")
                    $bits.Destination = $Destination
                    $job = [pscustomobject]@{ DisplayName = $DisplayName; ErrorDescription = "HTTP status 503: The service is unavailable.`r`n" }
                    $job | Add-Member -MemberType ScriptProperty -Name JobState -Value { $bits.States[[Math]::Min($bits.Step, $bits.States.Count - 1)] }.GetNewClosure()
                    # Unknown (the largest unsigned 64-bit number) unless Totals gives the length BITS learnt by that poll.
                    $job | Add-Member -MemberType ScriptProperty -Name BytesTotal -Value {
                        if ($bits.Totals.Count -eq 0) { return [uint64]::MaxValue }
                        [uint64]$bits.Totals[[Math]::Min($bits.Step, $bits.Totals.Count - 1)]
                    }.GetNewClosure()
                    $job | Add-Member -MemberType ScriptProperty -Name BytesTransferred -Value { [uint64]$bits.Bytes[[Math]::Min($bits.Step, $bits.Bytes.Count - 1)] }.GetNewClosure()
                    return $job
                }
                function Complete-BitsTransfer {
                    param($BitsJob)
                    $script:bits.Calls.Add('Complete')
                    Copy-Item -LiteralPath $script:archive.Path -Destination $script:bits.Destination
                }
                function Remove-BitsTransfer {
                    param($BitsJob)
                    $tag = ''
                    if ($null -ne $BitsJob.PSObject.Properties['Tag']) { $tag = ' (' + $BitsJob.Tag + ')' }
                    $script:bits.Calls.Add('Remove ' + $BitsJob.DisplayName + $tag)
                    if ($null -ne $BitsJob.PSObject.Properties['Refuses']) { throw 'Access is denied.' }
                }
                function Get-BitsTransfer {
                    return $script:bits.Queue
                }
                Mock Start-Sleep {
                    $script:bits.Step++
                    if ($script:bits.Step -gt 1000) { throw 'Polled 1000 times: the transfer was never given up.' }
                }
            }

            It 'first removes the jobs an earlier run left in this tree, not a portable build''s live one, then completes a job that finishes, named for TARNQUILL, and uses no web request' {
                $script:bits.States = @('Connecting', 'Transferring', 'Transferring', 'Transferred')
                $script:bits.Bytes = @(0, 1000, 40000000, $script:archive.Length)
                $name = 'TARNQUILL Electron runtime download'
                function New-QueuedJob {
                    param([string]$Tag, [string[]]$Files, [string]$DisplayName = $name)
                    [pscustomobject]@{ DisplayName = $DisplayName; Tag = $Tag; FileList = @($Files | ForEach-Object -Process { [pscustomobject]@{ LocalName = $_ } }) }
                }
                $elsewhere = Join-Path -Path $script:scratch -ChildPath 'source tree [2]/.runtime/cache/electron-v43.4.1-win32-x64.zip.partial'
                $refusing = New-QueuedJob -Tag 'refusing' -Files @($script:destination + '.partial')
                $refusing | Add-Member -MemberType NoteProperty -Name Refuses -Value $true
                $script:bits.Queue = @($refusing, (New-QueuedJob -Tag 'other' -DisplayName 'Another download' -Files @($script:destination)),
                    (New-QueuedJob -Tag 'stale' -Files @($script:destination + '.partial')), (New-QueuedJob -Tag 'live' -Files @($elsewhere)),
                    (New-QueuedJob -Tag 'half here' -Files @($script:destination, $elsewhere)), (New-QueuedJob -Tag 'no files' -Files @()))
                $url = Get-SourceUrl -Route 'missing'
                $result = Invoke-FakeRuntimeCapture { Download-FileWithFallback -Urls @($url) -Destination $script:destination }

                $result.Error | Should -BeNullOrEmpty
                $script:bits.Calls | Should -Be @("Remove $name (refusing)", "Remove $name (stale)",
                    "Start $url async=True name=TARNQUILL Electron runtime download", 'Complete')
                (Get-RequestCount) - $script:requestsBefore | Should -Be 0
                (Get-FileHash -LiteralPath $script:destination -Algorithm SHA256).Hash | Should -Be $script:archive.Sha256
            }

            It 'refuses a job whose announced length does not fit the volume before it writes a byte, for good: no web request, no mirror' {
                # The length appears at the second poll, with nothing written yet.
                $space = Get-TarnquillDiskSpace -Path $script:tree
                $space | Should -Not -BeNullOrEmpty
                $script:bits.States = @('Connecting', 'Transferring', 'Transferring', 'Transferred')
                $script:bits.Totals = @([uint64]::MaxValue, ($space.FreeBytes + 1))
                $script:bits.Bytes = @(0, 0, 40000000, $script:archive.Length)
                $url = Get-SourceUrl -Route 'archive'
                $result = Invoke-FakeRuntimeCapture { Download-FileWithFallback -Urls @($url, (Get-SourceUrl -Route 'redirect/archive')) -Destination $script:destination }

                $result.Error | Should -BeLike ('Not enough disk space to download the Electron runtime. ' + $space.Volume + ' (runtime download): * MB needed, * MB free. Nothing was installed.')
                $result.Warnings | Should -BeNullOrEmpty
                $script:bits.Calls | Should -Be @("Start $url async=True name=TARNQUILL Electron runtime download", 'Remove TARNQUILL Electron runtime download')
                Should -Invoke Start-Sleep -Times 1 -Exactly
                (Get-RequestCount) - $script:requestsBefore | Should -Be 0
                Test-Path -LiteralPath $script:destination | Should -BeFalse
            }

            It 'removes a job that <Case> and lets the web request of the same source deliver' -ForEach @(
                @{ Case = 'fails'; States = @('Connecting', 'Error'); Bytes = @(0); Polls = 1
                    Message = 'The BITS transfer ended in the state Error: HTTP status 503: The service is unavailable.' }
                @{ Case = 'sits in transient errors without progress for a minute'; States = @('Connecting', 'Transferring', 'TransientError'); Bytes = @(0, 5000); Polls = 121
                    Message = 'The BITS transfer made no progress for 60 seconds (state TransientError).' }
            ) {
                $script:bits.States = $States
                $script:bits.Bytes = $Bytes
                { Invoke-ElectronBitsTransfer -Url 'https://example.invalid/a.zip' -Destination $script:destination } |
                    Should -Throw -ExpectedMessage $Message
                $script:bits.Calls | Should -Be @('Start https://example.invalid/a.zip async=True name=TARNQUILL Electron runtime download', 'Remove TARNQUILL Electron runtime download')
                Should -Invoke Start-Sleep -Times $Polls -Exactly

                $script:bits.Step = 0
                $script:bits.Calls.Clear()
                $url = Get-SourceUrl -Route 'archive'
                $result = Invoke-FakeRuntimeCapture { Download-FileWithFallback -Urls @($url) -Destination $script:destination }
                $result.Error | Should -BeNullOrEmpty
                $result.Warnings | Should -BeNullOrEmpty
                $script:bits.Calls[-1] | Should -Be 'Remove TARNQUILL Electron runtime download'
                (Get-RequestCount) - $script:requestsBefore | Should -Be 1
                (Get-FileHash -LiteralPath $script:destination -Algorithm SHA256).Hash | Should -Be $script:archive.Sha256
            }
        }

        It 'reports BITS as unusable where Start-BitsTransfer does not exist' {
            if ($null -ne (Get-Command -Name 'Start-BitsTransfer' -ErrorAction SilentlyContinue)) {
                Set-ItResult -Skipped -Because 'this host has BITS'
                return
            }
            Invoke-ElectronBitsTransfer -Url 'https://example.invalid/a.zip' -Destination $script:destination | Should -BeFalse
        }
    }
}
