Set-StrictMode -Version Latest

# What keeps two runs apart: the test for a running TARNQUILL (never stopped, only reported) and
# the per-user lock that a setup run and the uninstaller hold while they change anything. Loaded by
# dot-sourcing by the install procedure and the uninstaller; it reads the process list and holds a
# named mutex, nothing else.

. (Join-Path -Path $PSScriptRoot -ChildPath 'file-system.ps1')
. (Join-Path -Path $PSScriptRoot -ChildPath 'native-methods.ps1')
. (Join-Path -Path $PSScriptRoot -ChildPath 'exit-codes.ps1')

function Get-TarnquillApplicationProcess {
    <#
    .SYNOPSIS
    The running processes with the image name TARNQUILL (any letter case), in every session.
    #>
    [CmdletBinding()]
    param()

    return @(Get-Process -Name 'TARNQUILL' -ErrorAction SilentlyContinue)
}

function Get-TarnquillProcessPath {
    <#
    .SYNOPSIS
    The full path of a process's executable, normalised, or $null when it cannot be read.
    .DESCRIPTION
    Windows lets a user read the executable of their own processes, in any session, but not
    those of another user. It is read with the limited query right: Process.Path on Windows
    PowerShell 5.1 needs memory-read access, which an elevated process of the same user refuses,
    so such a TARNQUILL would not count. Process.Path is the fallback where that read fails.
    #>
    [CmdletBinding()]
    param(
        [Parameter(Mandatory = $true)]
        [object]$Process
    )

    # A getter that fails may throw or, depending on the host, give nothing at all.
    try {
        $path = $null
        $id = $Process.PSObject.Properties['Id']
        if ($null -ne $id) {
            $path = Get-TarnquillProcessImagePath -ProcessId ([int]$id.Value)
        }
        if ([string]::IsNullOrEmpty($path)) {
            $path = [string]$Process.Path
        }
        if ([string]::IsNullOrEmpty($path)) {
            return $null
        }
        return (ConvertTo-TarnquillFullPath -Path $path)
    } catch {
        return $null
    }
}

function Get-TarnquillProcessImagePath {
    <#
    .SYNOPSIS
    The executable path of a process through QueryFullProcessImageName with the limited query right; $null when it cannot be read.
    #>
    [CmdletBinding()]
    param(
        [Parameter(Mandatory = $true)]
        [int]$ProcessId
    )
    try {
        Import-TarnquillNativeMethods
        return [TarnQuill.Setup.ProcessImage]::GetPath($ProcessId)
    } catch {
        # No such call on this platform, or the compile failed: the caller reads Process.Path.
        return $null
    }
}

function Test-TarnquillRunning {
    <#
    .SYNOPSIS
    True when a process named TARNQUILL runs in this process's session, or runs from InstallRoot in another session.
    .DESCRIPTION
    The installation lives in the user's own profile, so a TARNQUILL of another user (fast user
    switching, Remote Desktop) never holds its files and does not count; Windows does not let us
    read where such a process runs from. The same user signed in a second time (a terminal
    server) can run TARNQUILL from the very folders that we replace or remove: a process of
    another session counts when its executable lies under InstallRoot. A process whose session
    cannot be read counts, to be safe.
    .PARAMETER InstallRoot
    The installation root.
    #>
    [CmdletBinding()]
    param(
        [Parameter(Mandatory = $true)]
        [string]$InstallRoot
    )

    $session = [System.Diagnostics.Process]::GetCurrentProcess().SessionId
    $root = ConvertTo-TarnquillFullPath -Path $InstallRoot -TrimTrailingSeparators
    foreach ($process in @(Get-TarnquillApplicationProcess)) {
        # A getter that fails may throw or, depending on the host, give nothing at all.
        $other = $null
        try {
            $other = $process.SessionId
        } catch {
            $null = $_
        }
        if (($null -eq $other) -or ([int]$other -eq $session)) {
            return $true
        }
        $path = Get-TarnquillProcessPath -Process $process
        if (($null -ne $path) -and (Test-TarnquillPathWithin -Path $path -Folder $root)) {
            return $true
        }
    }
    return $false
}

function Get-TarnquillSetupLockName {
    <#
    .SYNOPSIS
    Name of the per-user setup lock: a hash of the user and the local application data folder.
    .DESCRIPTION
    In the Global\ namespace, so that it covers every session of the user: one account signed in
    twice (a terminal server) shares one LOCALAPPDATA, and a Local\ name would let a run in each
    session install into it at once. The hash keeps it apart from every other user's name, so
    another user is never blocked. Any user may create a mutex there.
    #>
    [CmdletBinding()]
    param()

    # Keyed on the folder that holds the install root as well as the user, so
    # the lock guards exactly the root that a run would change.
    $localAppData = [System.Environment]::GetEnvironmentVariable('LOCALAPPDATA')
    if ([string]::IsNullOrWhiteSpace($localAppData)) {
        $localAppData = ''
    } else {
        $localAppData = (ConvertTo-TarnquillFullPath -Path $localAppData -TrimTrailingSeparators).ToUpperInvariant()
    }
    $identity = [System.Environment]::UserDomainName + '\' + [System.Environment]::UserName + '|' + $localAppData
    # The CryptoAPI implementation: SHA256Managed, which SHA256.Create() gives on the
    # .NET Framework, refuses to run when the Windows FIPS policy is on.
    $sha = New-Object -TypeName System.Security.Cryptography.SHA256CryptoServiceProvider
    try {
        $digest = $sha.ComputeHash([System.Text.Encoding]::UTF8.GetBytes($identity))
    } finally {
        $sha.Dispose()
    }
    $hex = -join @($digest[0..15] | ForEach-Object { $_.ToString('x2') })
    return ('Global\TARNQUILL.Setup.' + $hex)
}

function Enter-TarnquillSetupLock {
    <#
    .SYNOPSIS
    Takes the per-user setup lock, so that two installer runs, or an installer and an uninstaller, never overlap.
    .DESCRIPTION
    Does not wait: when another process holds the lock, throws and nothing is changed. A lock left
    behind by a process that ended without releasing it is taken over. Returns the held mutex; pass it
    to Exit-TarnquillSetupLock from the same thread when done.
    #>
    [CmdletBinding()]
    param()

    $name = Get-TarnquillSetupLockName
    $mutex = New-Object System.Threading.Mutex -ArgumentList $false, $name
    $acquired = $false
    try {
        $acquired = $mutex.WaitOne(0)
    } catch [System.Threading.AbandonedMutexException] {
        # The previous holder ended without releasing; the lock is ours now.
        $acquired = $true
    } finally {
        if (-not $acquired) {
            $mutex.Dispose()
        }
    }
    if (-not $acquired) {
        throw (New-TarnquillCodedError -Outcome AlreadyRunning -Message 'Another TARNQUILL installer or uninstaller is running for this user. Nothing was changed.')
    }
    return $mutex
}

function Exit-TarnquillSetupLock {
    <#
    .SYNOPSIS
    Releases and disposes the setup lock taken by Enter-TarnquillSetupLock. Never throws.
    .PARAMETER Lock
    The mutex that Enter-TarnquillSetupLock returned.
    #>
    [CmdletBinding()]
    param(
        [Parameter(Mandatory = $true, Position = 0)]
        [AllowNull()]
        [System.Threading.Mutex]$Lock
    )

    if ($null -eq $Lock) {
        return
    }
    try {
        $Lock.ReleaseMutex()
    } catch {
        # Not held by this thread, or already released: nothing left to do.
        $null = $_
    }
    try {
        $Lock.Dispose()
    } catch {
        $null = $_
    }
}
