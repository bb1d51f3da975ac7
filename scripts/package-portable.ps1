<#
.SYNOPSIS
Assembles the runnable TARNQUILL application image in one folder.

.DESCRIPTION
Obtains the verified Electron runtime through runtime.ps1, copies it into the
output folder, adds the application files under resources\app, renames
electron.exe to TARNQUILL.exe, writes the product icon into it and writes
VERSION.txt. The output folder is deleted and rebuilt from nothing on every
run; links inside it are removed as links, never followed. An output folder
that is, holds or lies inside what the build copies from (the source tree
root, its copied files and folders, the runtime folder) is refused before
anything is deleted. Messages go to the console host; the output stream
carries exactly one string, the absolute path of the output folder.

.PARAMETER OutputDirectory
The folder to build into. Empty or white space selects release\TARNQUILL under
the source tree root. A relative path is resolved against the process's
current directory.

.PARAMETER InstallFolder
Where the image is put once it is built, if anywhere: the room for it there is
checked with the rest before the runtime is unpacked.

.PARAMETER LogFile
The installation log, when an installation runs the build: a space check that
could not read a volume's free space says so there. Without it, that is a
warning on the console.
#>
[CmdletBinding()]
param(
    [Parameter()]
    [AllowEmptyString()]
    [string]$OutputDirectory = '',

    [Parameter()]
    [AllowEmptyString()]
    [string]$InstallFolder = '',

    [Parameter()]
    [AllowEmptyString()]
    [string]$LogFile = ''
)
Set-StrictMode -Version Latest
$ErrorActionPreference = 'Stop'

$ExecutableName = 'electron.exe'
$ProductExecutableName = 'TARNQUILL.exe'
$DefaultAppArchiveName = 'default_app.asar'
$ApplicationRootFiles = @(
    'main.js', 'preload.js', 'package.json', 'NOTICE.txt', 'README.md',
    'PRIVACY_POLICY.md', 'TERMS_OF_USE.md', 'SECURITY.md', 'RELEASE_NOTES.md'
)
$ApplicationFolders = @('assets', 'config', 'src')
# The uninstaller, the icon writer and the update applier, with every library they load.
$ImageScripts = @(
    'uninstall-installed.ps1', 'installation-safety.ps1', 'file-system.ps1', 'native-methods.ps1', 'exit-codes.ps1',
    'setup-lock.ps1', 'consent.ps1', 'shell-integration.ps1', 'temporary-folders.ps1', 'apply-update.ps1',
    'set-executable-icon.ps1'
)
# The C# that native-methods.ps1 compiles.
$ImageScriptFolders = @('native')
$ImageRootNotes = @('START_HERE_RU.txt', 'README.md')

function Get-TarnquillOutputPath {
    <#
    .SYNOPSIS
    Returns the absolute output folder path: the given one, or release\TARNQUILL under the source tree root.
    .DESCRIPTION
    A relative path is resolved against the process's current directory, not the
    script's folder and not the shell's current location.
    #>
    [CmdletBinding()]
    param(
        [Parameter(Mandatory = $true)]
        [AllowEmptyString()]
        [string]$RequestedPath,

        [Parameter(Mandatory = $true)]
        [string]$SourceRoot
    )
    if ([string]::IsNullOrWhiteSpace($RequestedPath)) {
        return [System.IO.Path]::Combine($SourceRoot, 'release', 'TARNQUILL')
    }
    return [System.IO.Path]::GetFullPath($RequestedPath)
}

function Assert-TarnquillOutputApart {
    <#
    .SYNOPSIS
    Refuses an output folder that would delete or overwrite what the build reads.
    .DESCRIPTION
    The output folder is wiped before anything is copied, so it must not be the
    source tree root, the runtime folder or any item copied from the tree, must
    not hold any of them, and must not lie inside the runtime folder or a copied
    folder. A portable build's default folder, release\TARNQUILL, passes.
    #>
    [CmdletBinding()]
    param(
        [Parameter(Mandatory = $true)]
        [string]$OutputPath,

        [Parameter(Mandatory = $true)]
        [string]$SourceRoot,

        [Parameter(Mandatory = $true)]
        [string]$RuntimeFolder
    )
    $inputFolders = @($RuntimeFolder, (Join-Path -Path $SourceRoot -ChildPath 'scripts'))
    foreach ($name in $ApplicationFolders) {
        $inputFolders += Join-Path -Path $SourceRoot -ChildPath $name
    }
    $inputs = @($SourceRoot) + $inputFolders
    foreach ($name in ($ApplicationRootFiles + $ImageRootNotes)) {
        $inputs += Join-Path -Path $SourceRoot -ChildPath $name
    }
    $overlaps = $false
    foreach ($item in $inputs) {
        if (Test-TarnquillPathWithin -Path ([System.IO.Path]::GetFullPath($item)) -Folder $OutputPath) {
            $overlaps = $true
        }
    }
    foreach ($folder in $inputFolders) {
        if (Test-TarnquillPathWithin -Path $OutputPath -Folder ([System.IO.Path]::GetFullPath($folder))) {
            $overlaps = $true
        }
    }
    if ($overlaps) {
        throw ('The output folder overlaps the source tree or the runtime that the build copies from: ' + $OutputPath + '. Nothing was deleted.')
    }
}

function Copy-TarnquillFolderContent {
    <#
    .SYNOPSIS
    Copies everything inside one folder into another existing folder, recursively, overwriting.
    #>
    [CmdletBinding()]
    param(
        [Parameter(Mandatory = $true)]
        [string]$Source,

        [Parameter(Mandatory = $true)]
        [string]$Destination
    )
    foreach ($child in @(Get-ChildItem -LiteralPath $Source -Force)) {
        Copy-Item -LiteralPath $child.FullName -Destination $Destination -Recurse -Force
    }
}

function Get-TarnquillApplicationSize {
    <#
    .SYNOPSIS
    Total length in bytes of the files that the image takes from the source tree beside the runtime.
    #>
    [CmdletBinding()]
    param(
        [Parameter(Mandatory = $true)]
        [string]$SourceRoot
    )
    $items = @()
    foreach ($name in ($ApplicationRootFiles + $ApplicationFolders + $ImageRootNotes)) {
        $items += Join-Path -Path $SourceRoot -ChildPath $name
    }
    foreach ($name in $ImageScripts) {
        $items += [System.IO.Path]::Combine($SourceRoot, 'scripts', $name)
    }
    [long]$total = 0
    foreach ($item in $items) {
        if (Test-Path -LiteralPath $item -PathType Leaf) {
            $total += (Get-Item -LiteralPath $item).Length
        } else {
            $total += Get-TarnquillTreeSize -Path $item
        }
    }
    return $total
}

function Write-TarnquillVersionNote {
    <#
    .SYNOPSIS
    Writes VERSION.txt: four lines, UTF-8 with byte-order mark, each ended by CR LF.
    #>
    [CmdletBinding()]
    param(
        [Parameter(Mandatory = $true)]
        [string]$Path,

        [Parameter(Mandatory = $true)]
        [string]$ReleaseVersion,

        [Parameter(Mandatory = $true)]
        [string]$RuntimeVersion
    )
    # The invariant culture keeps ':' and the digits fixed whatever the user's regional settings.
    $builtAt = (Get-Date).ToString('yyyy-MM-dd HH:mm:ss', [System.Globalization.CultureInfo]::InvariantCulture)
    $lines = @(
        ('TARNQUILL ' + $ReleaseVersion),
        ('Electron runtime ' + $RuntimeVersion),
        ('Built ' + $builtAt),
        'Executable icon: embedded multi-resolution TARNQUILL TQ mark'
    )
    $text = ($lines -join "`r`n") + "`r`n"
    $encoding = New-Object -TypeName System.Text.UTF8Encoding -ArgumentList $true
    [System.IO.File]::WriteAllText($Path, $text, $encoding)
}

# The runtime library, the source tree root and the release version (not validated here).
# runtime.ps1 loads the safety library, whose deleter (Remove-TarnquillTree) is used below.
. (Join-Path -Path $PSScriptRoot -ChildPath 'runtime.ps1')
$sourceRoot = Get-TarnQuillRoot
$packageText = Get-Content -LiteralPath (Join-Path -Path $sourceRoot -ChildPath 'package.json') -Raw -Encoding UTF8
$releaseVersion = [string]($packageText | ConvertFrom-Json).version

# The runtime comes first, so a failed download leaves an earlier output folder as it was.
$outputFolder = Get-TarnquillOutputPath -RequestedPath $OutputDirectory -SourceRoot $sourceRoot
if ($LogFile) {
    . (Join-Path -Path $PSScriptRoot -ChildPath 'installer-log.ps1')
    $unreadSpace = New-Object -TypeName 'System.Collections.Generic.List[string]'
    try {
        $runtimeFolder = Ensure-ElectronRuntime -ImageFolder $outputFolder -InstallFolder $InstallFolder `
            -ApplicationBytes (Get-TarnquillApplicationSize -SourceRoot $sourceRoot) -UnreadSpace $unreadSpace
    } finally {
        # Also when the run stops later in the unpacking: the line tells why no check caught it.
        foreach ($sentence in $unreadSpace) {
            Add-TarnquillLogEntry -Path $LogFile -Text $sentence
        }
    }
} else {
    $runtimeFolder = Ensure-ElectronRuntime -ImageFolder $outputFolder -InstallFolder $InstallFolder `
        -ApplicationBytes (Get-TarnquillApplicationSize -SourceRoot $sourceRoot)
}

# A fresh output folder: whatever was there is deleted without asking.
Assert-TarnquillOutputApart -OutputPath $outputFolder -SourceRoot $sourceRoot -RuntimeFolder $runtimeFolder
# A link at the output path, or inside the old output, is removed as a link, never followed.
Remove-TarnquillTree -Path $outputFolder
$null = [System.IO.Directory]::CreateDirectory($outputFolder)

# The runtime, less its default application.
Write-Host 'Copying verified application runtime...' -ForegroundColor Cyan
Copy-TarnquillFolderContent -Source $runtimeFolder -Destination $outputFolder
try {
    Remove-Item -LiteralPath ([System.IO.Path]::Combine($outputFolder, 'resources', $DefaultAppArchiveName)) -Force -ErrorAction Stop
}
catch {
    # Electron prefers resources\app, so a leftover default application is harmless.
}

# The application files and the scripts that the installed application keeps.
$appFolder = [System.IO.Path]::Combine($outputFolder, 'resources', 'app')
$null = [System.IO.Directory]::CreateDirectory($appFolder)
foreach ($name in $ApplicationRootFiles) {
    Copy-Item -LiteralPath (Join-Path -Path $sourceRoot -ChildPath $name) -Destination (Join-Path -Path $appFolder -ChildPath $name) -Force
}
foreach ($name in $ApplicationFolders) {
    Copy-Item -LiteralPath (Join-Path -Path $sourceRoot -ChildPath $name) -Destination $appFolder -Recurse -Force
}
$appScriptsFolder = Join-Path -Path $appFolder -ChildPath 'scripts'
$sourceScriptsFolder = Join-Path -Path $sourceRoot -ChildPath 'scripts'
$null = [System.IO.Directory]::CreateDirectory($appScriptsFolder)
foreach ($name in $ImageScripts) {
    Copy-Item -LiteralPath (Join-Path -Path $sourceScriptsFolder -ChildPath $name) -Destination (Join-Path -Path $appScriptsFolder -ChildPath $name) -Force
}
foreach ($name in $ImageScriptFolders) {
    Copy-Item -LiteralPath (Join-Path -Path $sourceScriptsFolder -ChildPath $name) -Destination $appScriptsFolder -Recurse -Force
}

# The runtime executable under the product name.
$runtimeExecutable = Join-Path -Path $outputFolder -ChildPath $ExecutableName
$productExecutable = Join-Path -Path $outputFolder -ChildPath $ProductExecutableName
if (-not (Test-Path -LiteralPath $runtimeExecutable -PathType Leaf)) {
    throw 'The verified runtime did not contain electron.exe.'
}
Remove-TarnquillTree -Path $productExecutable
Rename-Item -LiteralPath $runtimeExecutable -NewName $ProductExecutableName

# The product icon, written by the source tree's own icon writer.
$iconPath = [System.IO.Path]::Combine($appFolder, 'assets', 'tarnquill.ico')
$null = & (Join-Path -Path $PSScriptRoot -ChildPath 'set-executable-icon.ps1') -ExecutablePath $productExecutable -IconPath $iconPath
if (-not (Test-Path -LiteralPath $productExecutable -PathType Leaf)) {
    throw 'TARNQUILL.exe was not created.'
}

# The notes at the image root; START_HERE_RU.txt is optional.
foreach ($name in $ImageRootNotes) {
    $note = Join-Path -Path $sourceRoot -ChildPath $name
    if (Test-Path -LiteralPath $note -PathType Leaf) {
        Copy-Item -LiteralPath $note -Destination (Join-Path -Path $outputFolder -ChildPath $name) -Force
    }
}
Write-TarnquillVersionNote -Path (Join-Path -Path $outputFolder -ChildPath 'VERSION.txt') -ReleaseVersion $releaseVersion -RuntimeVersion $script:ElectronVersion

# The one item of the output stream: the output folder.
Write-Host ('Portable build created: ' + $outputFolder) -ForegroundColor Green
Write-Output $outputFolder
