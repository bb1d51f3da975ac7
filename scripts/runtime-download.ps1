Set-StrictMode -Version Latest

# The download of the runtime archive: BITS first, a plain web request when BITS is not there or
# fails, each source in turn, into a .partial file beside the archive that is renamed only when
# complete; the room on the disk is checked before and while it is written. Loaded by dot-sourcing
# by runtime.ps1, whose pin and paths it uses; it writes only the archive and its .partial file, and
# removes only BITS jobs of its own name.

. (Join-Path -Path $PSScriptRoot -ChildPath 'file-system.ps1')
. (Join-Path -Path $PSScriptRoot -ChildPath 'retried-moves.ps1')
. (Join-Path -Path $PSScriptRoot -ChildPath 'disk-space.ps1')
. (Join-Path -Path $PSScriptRoot -ChildPath 'exit-codes.ps1')

function Invoke-ElectronBitsTransfer {
    <#
    .SYNOPSIS
    Downloads Url to Destination with BITS and waits for it. Returns $true when BITS did the transfer,
    $false when BITS is not usable from this host; throws when the transfer fails or stalls.
    .DESCRIPTION
    A synchronous BITS transfer sits through transient errors (name lookup, reset connections,
    server errors) for up to 14 days, so the job runs asynchronously under a name that says whose
    it is and is polled: an error state fails at once, and a job whose transferred byte count has
    not moved for StallSeconds is given up. A finished job is completed; a job that did not finish
    is removed from the user's BITS queue in every case.
    #>
    [CmdletBinding()]
    param(
        [Parameter(Mandatory = $true)]
        [string]$Url,
        [Parameter(Mandatory = $true)]
        [string]$Destination,
        [ValidateRange(1, 3600)]
        [int]$StallSeconds = 60,
        [ValidateRange(1, 60000)]
        [int]$PollMilliseconds = 500
    )
    if ($null -eq (Get-Command -Name 'Start-BitsTransfer' -ErrorAction SilentlyContinue)) {
        return $false
    }
    # A job that writes into this tree was left by an earlier run from it.
    Remove-ElectronStaleBitsJobs -Folder @(Get-TarnQuillRoot)
    $room = Get-ElectronDownloadRoom -Destination $Destination
    $limit = $room.Limit
    $job = Start-BitsTransfer -Source $Url -Destination $Destination -Asynchronous `
        -DisplayName $script:ElectronBitsJobName -Description $Url
    $completed = $false
    try {
        # Counted in polls, PollMilliseconds apart: about StallSeconds without a byte.
        $stallPolls = [Math]::Ceiling($StallSeconds * 1000.0 / $PollMilliseconds)
        $idlePolls = 0
        $lastBytes = [long]-1
        while ($true) {
            $state = [string]$job.JobState
            if ($state -eq 'Transferred') {
                Complete-BitsTransfer -BitsJob $job
                $completed = $true
                return $true
            }
            if (@('Error', 'Cancelled', 'Acknowledged') -contains $state) {
                throw ('The BITS transfer ended in the state ' + $state + ': ' + ([string]$job.ErrorDescription).Trim())
            }
            $bytes = [long][Math]::Min([decimal]$job.BytesTransferred, [decimal][long]::MaxValue)
            # BITS reports an unknown size as the largest unsigned 64-bit number.
            $total = [decimal]$job.BytesTotal
            if ($total -gt [long]::MaxValue) {
                $total = -1
            }
            # Checked at every poll: BITS may learn the length only after the first bytes. A
            # known length is refused at the first poll that shows it, before it is written.
            if ($total -gt $limit -or $bytes -gt $limit) {
                throw (New-ElectronDownloadSpaceError -Room $room -Bytes ([long][Math]::Max($total, $bytes)))
            }
            if ($bytes -ne $lastBytes) {
                $lastBytes = $bytes
                $idlePolls = 0
                Write-ElectronDownloadProgress -Received $bytes -Total ([long]$total)
            } else {
                $idlePolls++
                if ($idlePolls -ge $stallPolls) {
                    throw ('The BITS transfer made no progress for ' + $StallSeconds + ' seconds (state ' + $state + ').')
                }
            }
            Start-Sleep -Milliseconds $PollMilliseconds
        }
    } finally {
        if (-not $completed) {
            try {
                Remove-BitsTransfer -BitsJob $job
            } catch {
                # The job may be gone already; the transfer has failed either way.
                $null = $_
            }
        }
        Write-Progress -Activity 'Downloading Electron runtime' -Completed
    }
}

function Remove-ElectronStaleBitsJobs {
    <#
    .SYNOPSIS
    Removes this user's BITS jobs of the runtime download that write into one of Folder, or into a
    folder whose name matches one of FolderNamePattern.
    .DESCRIPTION
    A run whose console was closed during a transfer never reached its own clean-up, and BITS would
    go on downloading for it in the background, then keep the job for 90 days. Only jobs under the
    download's own name whose every file lies in one of Folder, or below a folder of a name that
    FolderNamePattern matches (case-sensitively), are touched: the callers name only folders that
    no live run can be writing into (this run's own source tree, before it starts its transfer,
    and, under the setup lock, the setup's work and build folders of any age: no other installer
    run is then downloading). A portable build runs without the setup lock, so a job under the
    same name elsewhere may be its live transfer, and it is left alone. A job that cannot be
    listed or removed is passed over.
    #>
    [CmdletBinding()]
    param(
        [Parameter(Mandatory = $true)]
        [AllowEmptyCollection()]
        [string[]]$Folder,

        [AllowEmptyCollection()]
        [string[]]$FolderNamePattern = @()
    )
    $folders = @($Folder | Where-Object -FilterScript { -not [string]::IsNullOrEmpty($_) } |
            ForEach-Object -Process { ConvertTo-TarnquillFullPath -Path $_ })
    try {
        $jobs = @(Get-BitsTransfer -ErrorAction Stop | Where-Object -FilterScript { [string]$_.DisplayName -ceq $script:ElectronBitsJobName })
    } catch {
        return
    }
    foreach ($job in $jobs) {
        try {
            if (Test-ElectronBitsJobWithin -Job $job -Folder $folders -FolderNamePattern $FolderNamePattern) {
                Remove-BitsTransfer -BitsJob $job -ErrorAction Stop
            }
        } catch {
            $null = $_
        }
    }
}

function Test-ElectronBitsJobWithin {
    <#
    .SYNOPSIS
    True when a BITS job has files and every one of them lies in one of Folder (full paths), or
    below a folder whose name one of FolderNamePattern matches.
    #>
    [CmdletBinding()]
    param(
        [Parameter(Mandatory = $true)]
        [object]$Job,
        [Parameter(Mandatory = $true)]
        [AllowEmptyCollection()]
        [string[]]$Folder,
        [AllowEmptyCollection()]
        [string[]]$FolderNamePattern = @()
    )
    $files = @($Job.FileList | ForEach-Object -Process { [string]$_.LocalName })
    if ($files.Count -eq 0) {
        return $false
    }
    foreach ($file in $files) {
        $path = ConvertTo-TarnquillFullPath -Path $file
        if (@($Folder | Where-Object -FilterScript { Test-TarnquillPathWithin -Path $path -Folder $_ }).Count -gt 0) {
            continue
        }
        # The folders above the file, by name: TEMP may be spelled another way than when the job began.
        $named = $false
        for ($above = [System.IO.Path]::GetDirectoryName($path); -not [string]::IsNullOrEmpty($above); $above = [System.IO.Path]::GetDirectoryName($above)) {
            $name = [System.IO.Path]::GetFileName($above)
            if (@($FolderNamePattern | Where-Object -FilterScript { $name -cmatch $_ }).Count -gt 0) {
                $named = $true
                break
            }
        }
        if (-not $named) {
            return $false
        }
    }
    return $true
}

function Write-ElectronDownloadProgress {
    param([long]$Received, [long]$Total)
    $activity = 'Downloading Electron runtime'
    $megabytes = [Math]::Round($Received / 1MB, 1)
    if ($Total -gt 0) {
        $percent = [int][Math]::Min(100, [Math]::Floor($Received * 100 / $Total))
        $status = '{0} of {1} MB' -f $megabytes, [Math]::Round($Total / 1MB, 1)
        Write-Progress -Activity $activity -Status $status -PercentComplete $percent
    } else {
        Write-Progress -Activity $activity -Status ('{0} MB' -f $megabytes)
    }
}

function Invoke-ElectronWebDownload {
    <#
    .SYNOPSIS
    Downloads Url to Destination with a plain HTTP GET (no browser engine, at most 10 redirections),
    writing the body straight to the file and showing progress a few times a second.
    .DESCRIPTION
    The built-in progress bar of Invoke-WebRequest makes Windows PowerShell 5.1 many times slower on
    a download of this size, and switching it off leaves the user without progress; a streamed copy
    gives both speed and progress. A body shorter than the announced length is a failure.
    #>
    [CmdletBinding()]
    param(
        [Parameter(Mandatory = $true)]
        [string]$Url,
        [Parameter(Mandatory = $true)]
        [string]$Destination
    )
    $response = $null
    $file = $null
    try {
        $request = [System.Net.HttpWebRequest][System.Net.WebRequest]::Create($Url)
        $request.Method = 'GET'
        $request.AllowAutoRedirect = $true
        $request.MaximumAutomaticRedirections = 10
        $request.UserAgent = 'TARNQUILL-Setup'
        # The .NET Framework sends no credentials to the system proxy unless told to, and a proxy
        # that asks for Windows sign-in then answers 407; BITS has usually failed by then already.
        if ($null -ne $request.Proxy) {
            $request.Proxy.Credentials = [System.Net.CredentialCache]::DefaultNetworkCredentials
        }
        $response = $request.GetResponse()
        $total = $response.ContentLength
        # Known lengths are refused before the file is made; any body stops short of the margin.
        # The limit is worked out once: the loop below only compares, with no call per read.
        $room = Get-ElectronDownloadRoom -Destination $Destination
        $limit = $room.Limit
        if ($total -gt $limit) {
            throw (New-ElectronDownloadSpaceError -Room $room -Bytes $total)
        }
        $body = $response.GetResponseStream()
        $file = New-Object -TypeName System.IO.FileStream -ArgumentList $Destination, ([IO.FileMode]::Create), ([IO.FileAccess]::Write), ([IO.FileShare]::None)
        $buffer = New-Object -TypeName byte[] -ArgumentList 262144
        $received = [long]0
        $clock = [Diagnostics.Stopwatch]::StartNew()
        Write-ElectronDownloadProgress -Received 0 -Total $total
        while ($true) {
            $count = $body.Read($buffer, 0, $buffer.Length)
            if ($count -le 0) {
                break
            }
            $received += $count
            # A body of unknown length, or one longer than announced, never fills the disk.
            if ($received -gt $limit) {
                throw (New-ElectronDownloadSpaceError -Room $room -Bytes $received)
            }
            $file.Write($buffer, 0, $count)
            if ($clock.ElapsedMilliseconds -ge 250) {
                Write-ElectronDownloadProgress -Received $received -Total $total
                $clock.Restart()
            }
        }
        if ($total -ge 0 -and $received -ne $total) {
            throw ('The download ended after {0} of {1} bytes.' -f $received, $total)
        }
    } catch [System.Management.Automation.MethodInvocationException] {
        # Report the web stack's own message, not PowerShell's wrapper around the .NET call.
        throw (Get-TarnquillPlatformException -Exception $_.Exception)
    } finally {
        if ($null -ne $file) {
            $file.Dispose()
        }
        if ($null -ne $response) {
            $response.Close()
        }
        Write-Progress -Activity 'Downloading Electron runtime' -Completed
    }
}

function Get-ElectronDownloadRoom {
    <#
    .SYNOPSIS
    The room for the download, read once before it starts: Volume, FreeBytes, and Limit, the most
    bytes it may write and still leave the margin free (no limit when the space cannot be read).
    .DESCRIPTION
    The announced length is compared with Limit before anything is written, and the length so far
    before each write (or at each poll of BITS), with no call per read, so that a body of unknown
    length, or one longer than announced, never fills the disk.
    #>
    [CmdletBinding()]
    param(
        [Parameter(Mandatory = $true)]
        [string]$Destination
    )
    $space = Get-TarnquillDiskSpace -Path (Split-Path -Parent -Path $Destination)
    if ($null -eq $space) {
        return [pscustomobject]@{ Volume = $null; FreeBytes = -1; Limit = [long]::MaxValue }
    }
    $limit = [long]$space.FreeBytes - [long]$script:TarnquillSpaceMarginBytes
    return [pscustomobject]@{ Volume = $space.Volume; FreeBytes = $space.FreeBytes; Limit = $limit }
}

function New-ElectronDownloadSpaceError {
    <#
    .SYNOPSIS
    The disk-full error of a download whose Bytes would leave less than the margin free on the volume of Room.
    #>
    [CmdletBinding()]
    param(
        [Parameter(Mandatory = $true)]
        [object]$Room,

        [Parameter(Mandatory = $true)]
        [long]$Bytes
    )
    $shortfall = [pscustomobject]@{
        Volume = $Room.Volume; What = @('runtime download'); FreeBytes = $Room.FreeBytes
        NeededBytes = $Bytes + $script:TarnquillSpaceMarginBytes
    }
    return (New-TarnquillDiskSpaceError -Message ('Not enough disk space to download the Electron runtime. ' +
            (Format-TarnquillSpaceShortfall -Shortfall $shortfall) + ' Nothing was installed.'))
}

function Download-FileWithFallback {
    <#
    .SYNOPSIS
    Downloads a file larger than 50,000,000 bytes to Destination from the first of Urls that delivers one.
    .DESCRIPTION
    Tries each URL in order: BITS when it is usable, else (or when BITS fails) a web request. A source
    fails when both transfers fail or when the file is 50,000,000 bytes or smaller; its file is then
    deleted and a warning names the failure. Throws with the last failure when every source failed,
    leaving no file at Destination.

    Both transfers write to Destination.partial, which is renamed to Destination only once it is
    complete and large enough: a run cut off mid-download (a closed console) leaves no file under
    the archive's name, so the next run downloads afresh instead of failing the hash check. A
    partial file left by such a run is deleted before each transfer.
    #>
    [CmdletBinding()]
    param(
        [Parameter(Mandatory = $true)]
        [string[]]$Urls,
        [Parameter(Mandatory = $true)]
        [string]$Destination
    )
    # Callers load this file with stop-on-error; holding it here too keeps every failure terminating
    # even when the function is called from a scope that the load did not reach.
    $ErrorActionPreference = 'Stop'
    [Net.ServicePointManager]::SecurityProtocol = [Net.SecurityProtocolType]::Tls12
    $lastError = $null
    $partial = $Destination + '.partial'
    foreach ($url in $Urls) {
        Write-Host ('Downloading Electron runtime from ' + $url) -ForegroundColor Cyan
        try {
            Remove-ElectronFileQuietly -Path $partial
            $transferred = $false
            try {
                $transferred = Invoke-ElectronBitsTransfer -Url $url -Destination $partial
            } catch {
                if (Test-TarnquillDiskFull -Exception $_.Exception) {
                    throw
                }
                # A failed BITS transfer is not reported; the web request gets its chance.
                $transferred = $false
            }
            if (-not $transferred) {
                Invoke-ElectronWebDownload -Url $url -Destination $partial
            }
            if (-not ((Test-Path -LiteralPath $partial -PathType Leaf) -and (Get-Item -LiteralPath $partial).Length -gt 50000000)) {
                throw 'The downloaded file is unexpectedly small.'
            }
            Move-ElectronDownloadIntoPlace -Partial $partial -Destination $Destination
            return
        } catch {
            $lastError = $_.Exception.Message
            Remove-ElectronFileQuietly -Path $partial
            Remove-ElectronFileQuietly -Path $Destination
            # No room for the file: the mirror serves the same one.
            if (Test-TarnquillDiskFull -Exception $_.Exception) {
                throw (Resolve-TarnquillDiskFullError -ErrorRecord $_ -Step 'Downloading the Electron runtime')
            }
            Write-Warning ('Download source failed: ' + $lastError)
        }
    }
    throw (New-TarnquillCodedError -Outcome NetworkUnreachable -Message ('Could not download the Electron runtime. Last error: ' + $lastError))
}

function Move-ElectronDownloadIntoPlace {
    <#
    .SYNOPSIS
    Renames the finished download Partial to Destination, replacing an older file there.
    .DESCRIPTION
    Right after BITS completes or the stream closes, a virus scanner or the search indexer often
    holds the new file for a moment, and the rename fails with access denied or a sharing
    violation. Such a failure is tried again for a few seconds, as folder moves are; only a
    rename that still fails then is thrown, and the source counts as failed.
    #>
    [CmdletBinding()]
    param(
        [Parameter(Mandatory = $true)]
        [string]$Partial,
        [Parameter(Mandatory = $true)]
        [string]$Destination
    )
    Invoke-TarnquillRetriedAction -Action {
        # File.Move on the .NET Framework does not replace an existing file.
        if (Test-Path -LiteralPath $Destination -PathType Leaf) {
            [IO.File]::Delete($Destination)
        }
        [IO.File]::Move($Partial, $Destination)
    }
}

function Remove-ElectronFileQuietly {
    param([string]$Path)
    try {
        if (Test-Path -LiteralPath $Path -PathType Leaf) {
            Remove-Item -LiteralPath $Path -Force
        }
    } catch {
        # Deleting a failed download is best effort; the caller reports the failure itself.
        $null = $_
    }
}
