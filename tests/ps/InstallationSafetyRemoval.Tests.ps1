Set-StrictMode -Version Latest

# The plain-tree test and owned-folder removal, on real folders and symbolic
# links in a temporary LOCALAPPDATA. Link targets live in a sibling folder
# of the sandbox's LOCALAPPDATA and must come through every refusal intact.

BeforeAll {
    $script:repoRoot = Split-Path -Parent (Split-Path -Parent $PSScriptRoot)
    . (Join-Path (Join-Path $script:repoRoot 'scripts') 'installation-safety.ps1')
    . (Join-Path (Join-Path $script:repoRoot 'scripts') 'retried-moves.ps1')
    # The real plain-tree test, for mocks that run it before changing the tree.
    $script:realPlainTree = ${function:Assert-TarnquillPlainTree}

    $script:scratchBase = [System.IO.Path]::GetTempPath()
    if ($env:TARNQUILL_RELEASE) {
        $script:scratchBase = Join-Path $env:TARNQUILL_RELEASE 'test'
    }
    $script:savedLocalAppData = $env:LOCALAPPDATA

    function New-TestFile {
        param([string]$Path, [string]$Text = 'content')
        $parent = Split-Path -Parent $Path
        $null = New-Item -ItemType Directory -Path $parent -Force
        Set-Content -LiteralPath $Path -Value $Text
    }

    # A version folder with nested folders and files.
    function New-VersionFolder {
        param([string]$Name)
        $folder = Join-Path $script:root $Name
        New-TestFile (Join-Path $folder 'TARNQUILL.exe')
        New-TestFile (Join-Path (Join-Path (Join-Path $folder 'resources') 'app') 'main.js')
        New-TestFile (Join-Path (Join-Path $folder 'locales') 'en-US.pak')
        return $folder
    }

    function New-Link {
        param([string]$Path, [string]$Target)
        $null = New-Item -ItemType SymbolicLink -Path $Path -Target $Target
    }

    # Relative paths and contents of everything below Path, links not followed.
    function Get-TreeSnapshot {
        param([string]$Path)
        $lines = New-Object 'System.Collections.Generic.List[string]'
        $queue = New-Object 'System.Collections.Generic.Queue[string]'
        $queue.Enqueue($Path)
        while ($queue.Count -gt 0) {
            $item = Get-Item -LiteralPath $queue.Dequeue() -Force
            $relative = $item.FullName.Substring($Path.Length)
            if (($item.Attributes -band [System.IO.FileAttributes]::ReparsePoint) -ne 0) {
                $lines.Add('link ' + $relative + ' -> ' + $item.LinkTarget)
            } elseif ($item.PSIsContainer) {
                $lines.Add('dir ' + $relative)
                Get-ChildItem -LiteralPath $item.FullName -Force | Sort-Object -Property Name | ForEach-Object { $queue.Enqueue($_.FullName) }
            } else {
                $lines.Add('file ' + $relative + ' ' + [System.IO.File]::ReadAllText($item.FullName))
            }
        }
        return $lines.ToArray()
    }

    function New-Sandbox {
        $script:sandbox = Join-Path $script:scratchBase ('safety-removal-' + [guid]::NewGuid().ToString('N'))
        $script:local = Join-Path $script:sandbox 'Local'
        $script:root = Join-Path $script:local 'TARNQUILL'
        $null = New-Item -ItemType Directory -Path $script:root -Force
        $env:LOCALAPPDATA = $script:local
        # Something a link could point at: it must never be changed.
        $script:outside = Join-Path $script:sandbox 'Outside'
        New-TestFile (Join-Path $script:outside 'precious.txt') 'user data'
        New-TestFile (Join-Path (Join-Path $script:outside 'nested') 'more.txt') 'more user data'
        $script:outsideSnapshot = Get-TreeSnapshot $script:outside
    }

    function Remove-Sandbox {
        $env:LOCALAPPDATA = $script:savedLocalAppData
        Remove-Item -LiteralPath $script:sandbox -Recurse -Force -ErrorAction SilentlyContinue
    }
}

AfterAll {
    $env:LOCALAPPDATA = $script:savedLocalAppData
}

Describe 'Assert-TarnquillPlainTree' {
    BeforeEach {
        New-Sandbox
    }

    AfterEach {
        Remove-Sandbox
    }

    Context 'a tree without links' {
        It 'returns nothing for a folder tree, a single file and an empty folder' {
            $folder = New-VersionFolder 'App-1.0.0'
            $empty = Join-Path $script:root 'App-2.0.0'
            $null = New-Item -ItemType Directory -Path $empty
            @(Assert-TarnquillPlainTree -Path $folder).Count | Should -Be 0
            @(Assert-TarnquillPlainTree -Path (Join-Path $folder 'TARNQUILL.exe')).Count | Should -Be 0
            @(Assert-TarnquillPlainTree $empty).Count | Should -Be 0
        }

        It 'stops with the platform error for a missing path' {
            { Assert-TarnquillPlainTree -Path (Join-Path $script:root 'App-9.9.9') } |
                Should -Throw -ExceptionType ([System.Management.Automation.ItemNotFoundException])
        }

        It 'takes paths literally' {
            $folder = Join-Path $script:root 'App-[1].0.0'
            New-TestFile (Join-Path $folder 'a.txt')
            $null = New-Item -ItemType Directory -Path (Join-Path $script:root 'App-1.0.0')
            New-Link (Join-Path (Join-Path $script:root 'App-1.0.0') 'link') $script:outside
            { Assert-TarnquillPlainTree -Path $folder } | Should -Not -Throw
        }
    }

    Context 'a tree with links' {
        It 'refuses a link at the top, naming it, even when its target is gone' {
            $link = Join-Path $script:root 'App-1.0.0'
            New-Link $link (Join-Path $script:sandbox 'Gone')
            { Assert-TarnquillPlainTree -Path $link } |
                Should -Throw -ExpectedMessage ('Refusing to remove a tree containing a junction/symlink: ' + $link)
        }

        It 'names the first link in breadth-first order' {
            $folder = New-VersionFolder 'App-1.0.0'
            $deep = Join-Path (Join-Path (Join-Path $folder 'a') 'b') 'deep-link'
            $null = New-Item -ItemType Directory -Path (Split-Path -Parent $deep) -Force
            New-Link $deep $script:outside
            $shallow = Join-Path (Join-Path $folder 'z') 'shallow-link'
            $null = New-Item -ItemType Directory -Path (Split-Path -Parent $shallow) -Force
            New-Link $shallow (Join-Path $script:outside 'precious.txt')
            { Assert-TarnquillPlainTree -Path $folder } |
                Should -Throw -ExpectedMessage ('Refusing to remove a tree containing a junction/symlink: ' + $shallow)
        }
    }
}

Describe 'Remove-TarnquillOwnedFolder' {
    BeforeEach {
        New-Sandbox
    }

    AfterEach {
        Remove-Sandbox
    }

    Context 'an owned plain folder' {
        It 'deletes an App- folder with everything in it, hidden and read-only items included' {
            $folder = New-VersionFolder 'App-0.14.0'
            New-TestFile (Join-Path $folder '.hidden-file')
            New-TestFile (Join-Path (Join-Path $folder '.hidden-folder') 'inside.txt')
            $readOnly = Join-Path $folder 'read-only.txt'
            New-TestFile $readOnly
            Set-ItemProperty -LiteralPath $readOnly -Name IsReadOnly -Value $true
            (Get-Item -LiteralPath (Join-Path $folder '.hidden-file') -Force).Attributes.HasFlag([System.IO.FileAttributes]::Hidden) |
                Should -BeTrue
            (Get-Item -LiteralPath $readOnly).IsReadOnly | Should -BeTrue
            $keep = New-VersionFolder 'App-0.15.0'

            @(Remove-TarnquillOwnedFolder -InstallRoot $script:root -Folder $folder).Count | Should -Be 0

            Test-Path -LiteralPath $folder | Should -BeFalse
            Test-Path -LiteralPath (Join-Path $keep 'TARNQUILL.exe') | Should -BeTrue
        }

        It 'deletes a Backup- folder named in any letter case, given by position' {
            $folder = New-VersionFolder ('bAcKuP-0.15.0-' + [guid]::NewGuid().ToString('N').ToUpperInvariant())
            Remove-TarnquillOwnedFolder $script:root $folder
            Test-Path -LiteralPath $folder | Should -BeFalse
        }

        It 'deletes a folder whose version cannot be parsed when it is named directly' {
            $folder = New-VersionFolder 'App-9999999999.0.0'
            Remove-TarnquillOwnedFolder -InstallRoot $script:root -Folder $folder
            Test-Path -LiteralPath $folder | Should -BeFalse
        }

        It 'accepts the root spelled with a trailing separator and the folder with a dot-dot segment' {
            $folder = New-VersionFolder 'App-0.14.0'
            $null = New-Item -ItemType Directory -Path (Join-Path $script:root 'Data')
            $winding = Join-Path (Join-Path (Join-Path $script:root 'Data') '..') 'App-0.14.0'
            Remove-TarnquillOwnedFolder -InstallRoot ($script:root + [System.IO.Path]::DirectorySeparatorChar) -Folder $winding
            Test-Path -LiteralPath $folder | Should -BeFalse
            Test-Path -LiteralPath (Join-Path $script:root 'Data') | Should -BeTrue
        }

        It 'returns quietly when the owned folder does not exist' {
            $missing = Join-Path $script:root 'App-3.0.0'
            @(Remove-TarnquillOwnedFolder -InstallRoot $script:root -Folder $missing).Count | Should -Be 0
            Test-Path -LiteralPath $missing | Should -BeFalse
        }
    }

    Context 'the log folder' {
        BeforeEach {
            $script:logs = Join-Path $script:root 'Logs'
            New-TestFile (Join-Path $script:logs 'installer.log') 'log'
        }

        It 'refuses Logs without AllowLogs and keeps it' {
            { Remove-TarnquillOwnedFolder -InstallRoot $script:root -Folder $script:logs } |
                Should -Throw -ExpectedMessage 'Unknown folder retained: Logs'
            Test-Path -LiteralPath (Join-Path $script:logs 'installer.log') | Should -BeTrue
        }

        It 'deletes <Name> with AllowLogs' -ForEach @(
            @{ Name = 'Logs' }
            @{ Name = 'logs' }
            @{ Name = 'LOGS' }
        ) {
            $folder = Join-Path $script:root $Name
            New-TestFile (Join-Path $folder 'installer.sha256') 'hash'
            Remove-TarnquillOwnedFolder -InstallRoot $script:root -Folder $folder -AllowLogs
            Test-Path -LiteralPath $folder | Should -BeFalse
        }

        It 'still refuses other names with AllowLogs' {
            $data = Join-Path $script:root 'Data'
            New-TestFile (Join-Path $data 'user.json')
            { Remove-TarnquillOwnedFolder -InstallRoot $script:root -Folder $data -AllowLogs } |
                Should -Throw -ExpectedMessage 'Unknown folder retained: Data'
            { Remove-TarnquillOwnedFolder -InstallRoot $script:root -Folder (Join-Path $script:root 'Logs2') -AllowLogs } |
                Should -Throw -ExpectedMessage 'Unknown folder retained: Logs2'
            Test-Path -LiteralPath (Join-Path $data 'user.json') | Should -BeTrue
        }
    }

    Context 'folders that are not owned' {
        It 'refuses <Name> with Unknown folder retained, also when it does not exist' -ForEach @(
            @{ Name = 'Data'; Create = $true }
            @{ Name = 'Data'; Create = $false }
            @{ Name = 'App-not-a-version'; Create = $true }
            @{ Name = 'App-1.2'; Create = $true }
            @{ Name = 'Backup-1.2.3'; Create = $true }
            @{ Name = 'App-1.2.3.bak'; Create = $false }
        ) {
            $folder = Join-Path $script:root $Name
            if ($Create) {
                New-TestFile (Join-Path $folder 'kept.txt')
            }
            { Remove-TarnquillOwnedFolder -InstallRoot $script:root -Folder $folder } |
                Should -Throw -ExpectedMessage ('Unknown folder retained: ' + $Name)
            Test-Path -LiteralPath (Join-Path $folder 'kept.txt') | Should -Be $Create
        }

        It 'refuses <Case> as outside the installation root' -ForEach @(
            @{ Case = 'the root itself'; Where = 'root' }
            @{ Case = 'the root with a trailing separator'; Where = 'root-slash' }
            @{ Case = 'a version-named folder two levels down'; Where = 'deep' }
            @{ Case = 'a version-named folder in LOCALAPPDATA'; Where = 'local' }
            @{ Case = 'a version-named folder elsewhere'; Where = 'outside' }
            @{ Case = 'a version folder given with a trailing separator'; Where = 'trailing' }
        ) {
            $app = New-VersionFolder 'App-1.0.0'
            switch ($Where) {
                'root' { $target = $script:root }
                'root-slash' { $target = $script:root + [System.IO.Path]::DirectorySeparatorChar }
                'deep' { $target = Join-Path $app 'App-1.0.0'; New-TestFile (Join-Path $target 'x.txt') }
                'local' { $target = Join-Path $script:local 'App-1.0.0'; New-TestFile (Join-Path $target 'x.txt') }
                'outside' { $target = Join-Path $script:outside 'App-1.0.0'; New-TestFile (Join-Path $target 'x.txt') }
                'trailing' { $target = $app + [System.IO.Path]::DirectorySeparatorChar }
            }
            $before = Get-TreeSnapshot $script:sandbox

            { Remove-TarnquillOwnedFolder -InstallRoot $script:root -Folder $target -AllowLogs } |
                Should -Throw -ExpectedMessage 'Refusing a folder outside the installation root.'

            Get-TreeSnapshot $script:sandbox | Should -Be $before
        }

        It 'refuses a non-standard root before looking at the folder' {
            $other = Join-Path $script:local 'Other'
            $folder = Join-Path $other 'App-1.0.0'
            New-TestFile (Join-Path $folder 'x.txt')
            { Remove-TarnquillOwnedFolder -InstallRoot $other -Folder $folder } |
                Should -Throw -ExpectedMessage 'Refusing a non-standard installation root.'
            Test-Path -LiteralPath (Join-Path $folder 'x.txt') | Should -BeTrue
        }
    }

    Context 'links in or as a version folder' {
        It 'lists and may plan a link named like a version folder, but refuses to remove it and leaves its target' {
            $null = New-VersionFolder 'App-0.15.0'
            $null = New-VersionFolder 'App-0.13.3'
            $link = Join-Path $script:root 'App-0.10.0'
            New-Link $link $script:outside

            @(Get-TarnquillVersionFolders -InstallRoot $script:root | ForEach-Object { $_.Name }) | Should -Contain 'App-0.10.0'
            $plan = @(Get-TarnquillRetentionPlan -InstallRoot $script:root -CurrentVersion '0.15.0')
            @($plan | ForEach-Object { $_.Name }) | Should -Be @('App-0.10.0')

            { Remove-TarnquillOwnedFolder -InstallRoot $script:root -Folder $plan[0].Path } |
                Should -Throw -ExpectedMessage ('Refusing to remove a tree containing a junction/symlink: ' + $link)

            Get-TreeSnapshot $script:outside | Should -Be $script:outsideSnapshot
            (Get-Item -LiteralPath $link -Force).LinkTarget | Should -Be $script:outside
        }

        It 'refuses the whole folder for a <Kind> anywhere inside, and deletes nothing' -ForEach @(
            @{ Kind = 'folder link'; Target = 'outside' }
            @{ Kind = 'file link'; Target = 'file' }
            @{ Kind = 'link whose target is gone'; Target = 'gone' }
        ) {
            $folder = New-VersionFolder 'App-0.14.0'
            New-TestFile (Join-Path $folder 'early.txt')
            $deep = Join-Path (Join-Path (Join-Path $folder 'resources') 'app') 'node_modules'
            $null = New-Item -ItemType Directory -Path $deep
            switch ($Target) {
                'outside' { $to = $script:outside }
                'file' { $to = Join-Path $script:outside 'precious.txt' }
                'gone' { $to = Join-Path $script:sandbox 'Gone' }
            }
            $link = Join-Path $deep 'linked'
            New-Link $link $to
            $before = Get-TreeSnapshot $folder

            { Remove-TarnquillOwnedFolder -InstallRoot $script:root -Folder $folder } |
                Should -Throw -ExpectedMessage ('Refusing to remove a tree containing a junction/symlink: ' + $link)

            Get-TreeSnapshot $folder | Should -Be $before
            Get-TreeSnapshot $script:outside | Should -Be $script:outsideSnapshot
        }
    }

    Context 'a tree swapped for a link after the first check' {
        It 'refuses at the second check when <Case>, and the link target stays untouched' -ForEach @(
            @{ Case = 'a checked subfolder becomes a link'; Swap = 'subfolder' }
            @{ Case = 'the checked folder itself becomes a link'; Swap = 'folder' }
        ) {
            $folder = New-VersionFolder 'App-0.14.0'
            $script:swap = $Swap
            $script:swapFolder = $folder
            $script:plainTreeCalls = 0
            if ($Swap -eq 'subfolder') {
                $script:swapped = Join-Path (Join-Path $folder 'resources') 'app'
            } else {
                $script:swapped = $folder
            }
            Mock Assert-TarnquillPlainTree {
                $script:plainTreeCalls++
                & $script:realPlainTree -Path $Path
                if ($script:plainTreeCalls -eq 1) {
                    # The first check has passed; now the tree changes under it.
                    Remove-Item -LiteralPath $script:swapped -Recurse -Force
                    $null = New-Item -ItemType SymbolicLink -Path $script:swapped -Target $script:outside
                }
            }

            { Remove-TarnquillOwnedFolder -InstallRoot $script:root -Folder $folder } |
                Should -Throw -ExpectedMessage ('Refusing to remove a tree containing a junction/symlink: ' + $script:swapped)

            Should -Invoke Assert-TarnquillPlainTree -Times 2 -Exactly
            $script:plainTreeCalls | Should -Be 2
            Get-TreeSnapshot $script:outside | Should -Be $script:outsideSnapshot
            (Get-Item -LiteralPath $script:swapped -Force).LinkTarget | Should -Be $script:outside
        }

        It 'refuses at the second root validation when LOCALAPPDATA becomes a link after the first check' {
            $null = New-VersionFolder 'App-0.14.0'
            $script:realLocal = Join-Path $script:sandbox 'RealLocal'
            $script:plainTreeCalls = 0
            Mock Assert-TarnquillPlainTree {
                $script:plainTreeCalls++
                & $script:realPlainTree -Path $Path
                if ($script:plainTreeCalls -eq 1) {
                    Move-Item -LiteralPath $script:local -Destination $script:realLocal
                    $null = New-Item -ItemType SymbolicLink -Path $script:local -Target $script:realLocal
                }
            }

            { Remove-TarnquillOwnedFolder -InstallRoot $script:root -Folder (Join-Path $script:root 'App-0.14.0') } |
                Should -Throw -ExpectedMessage ('Reparse point in installation path: ' + $script:local)

            $script:plainTreeCalls | Should -Be 1
            Test-Path -LiteralPath (Join-Path (Join-Path (Join-Path $script:realLocal 'TARNQUILL') 'App-0.14.0') 'TARNQUILL.exe') |
                Should -BeTrue
        }
    }
}

Describe 'Reparse points that are not links' {
    # Linux has no reparse tags, so the tag is fed through Get-TarnquillReparseTag;
    # the entries themselves are real symbolic links, which .NET reports as
    # reparse points. Removing one as a file deletes the link, never its target.
    BeforeEach {
        New-Sandbox
        $script:fedTag = $null
        Mock Get-TarnquillReparseTag {
            if ($null -eq $script:fedTag) {
                throw [System.ComponentModel.Win32Exception]::new(5, 'The reparse tag could not be read.')
            }
            return $script:fedTag
        }
    }

    AfterEach {
        Remove-Sandbox
    }

    It 'walks and removes a version folder holding a <Name>, and the root check passes through one' -ForEach @(
        @{ Name = 'cloud file'; Tag = [uint32]::Parse('9000001A', 'HexNumber') }
        @{ Name = 'compressed file'; Tag = [uint32]::Parse('80000017', 'HexNumber') }
        @{ Name = 'deduplicated file'; Tag = [uint32]::Parse('80000013', 'HexNumber') }
    ) {
        $script:fedTag = $Tag
        $folder = New-VersionFolder 'App-0.14.0'
        New-Link (Join-Path $folder 'synced.txt') (Join-Path $script:outside 'precious.txt')

        { Assert-TarnquillPlainTree -Path $folder } | Should -Not -Throw
        Remove-TarnquillOwnedFolder -InstallRoot $script:root -Folder $folder
        Test-Path -LiteralPath $folder | Should -BeFalse
        Get-TreeSnapshot $script:outside | Should -Be $script:outsideSnapshot

        # LOCALAPPDATA kept on a synced folder.
        $synced = Join-Path $script:sandbox 'Synced'
        $null = New-Item -ItemType Directory -Path $synced
        New-Link (Join-Path $script:sandbox 'SyncedLocal') $synced
        $env:LOCALAPPDATA = Join-Path $script:sandbox 'SyncedLocal'
        Assert-TarnquillInstallRoot -InstallRoot (Join-Path $env:LOCALAPPDATA 'TARNQUILL') |
            Should -Be (Join-Path $env:LOCALAPPDATA 'TARNQUILL')
    }

    It 'refuses a <Name> inside a version folder and deletes nothing' -ForEach @(
        @{ Name = 'junction'; Tag = [uint32]::Parse('A0000003', 'HexNumber') }
        @{ Name = 'symbolic link'; Tag = [uint32]::Parse('A000000C', 'HexNumber') }
        @{ Name = 'reparse point whose tag cannot be read'; Tag = $null }
    ) {
        $script:fedTag = $Tag
        $folder = New-VersionFolder 'App-0.14.0'
        $link = Join-Path $folder 'link'
        New-Link $link $script:outside
        $before = Get-TreeSnapshot $folder

        { Remove-TarnquillOwnedFolder -InstallRoot $script:root -Folder $folder } |
            Should -Throw -ExpectedMessage ('Refusing to remove a tree containing a junction/symlink: ' + $link)
        Get-TreeSnapshot $folder | Should -Be $before
        $env:LOCALAPPDATA = $link
        { Assert-TarnquillInstallRoot -InstallRoot (Join-Path $link 'TARNQUILL') } |
            Should -Throw -ExpectedMessage ('Reparse point in installation path: ' + $link)
    }
}

Describe 'Remove-TarnquillTree' {
    BeforeEach {
        New-Sandbox
    }

    AfterEach {
        Remove-Sandbox
    }

    It 'removes links planted after the last check as links, and never their targets' {
        $folder = New-VersionFolder 'App-0.14.0'
        $nested = Join-Path (Join-Path $folder 'resources') 'app'
        [System.IO.File]::SetAttributes($nested, [System.IO.FileAttributes]::ReadOnly)
        $script:plainTreeCalls = 0
        Mock Assert-TarnquillPlainTree {
            $script:plainTreeCalls++
            & $script:realPlainTree -Path $Path
            if ($script:plainTreeCalls -eq 2) {
                # Both checks have passed; links appear before the delete starts.
                New-Link (Join-Path $Path 'planted-folder') $script:outside
                New-Link (Join-Path (Join-Path (Join-Path $Path 'resources') 'app') 'planted-file') (Join-Path $script:outside 'precious.txt')
            }
        }

        Remove-TarnquillOwnedFolder -InstallRoot $script:root -Folder $folder

        $script:plainTreeCalls | Should -Be 2
        Test-Path -LiteralPath $folder | Should -BeFalse
        Get-TreeSnapshot $script:outside | Should -Be $script:outsideSnapshot
    }
}

Describe 'Move-TarnquillFolder' {
    # A scanner's hold is played by a move that fails the way the .NET Framework
    # reports it: an IOException carrying the Win32 error in its HRESULT.
    BeforeEach {
        New-Sandbox
        $script:source = New-VersionFolder 'extract-1'
        $script:destination = Join-Path $script:root 'moved'
        $script:moveCalls = 0
        Mock Start-Sleep { }
    }

    AfterEach {
        Remove-Sandbox
    }

    It 'tries again while the folder is held, and moves it on the third try' {
        Mock Invoke-TarnquillDirectoryMove {
            $script:moveCalls++
            if ($script:moveCalls -le 2) {
                throw [System.IO.IOException]::new('The process cannot access the file because it is being used by another process.', -2147024864)
            }
            [System.IO.Directory]::Move($Source, $Destination)
        }

        Move-TarnquillFolder -Source $script:source -Destination $script:destination

        $script:moveCalls | Should -Be 3
        Should -Invoke Start-Sleep -Times 2 -Exactly -ParameterFilter { $Milliseconds -eq 500 }
        Test-Path -LiteralPath (Join-Path $script:destination 'TARNQUILL.exe') | Should -BeTrue
        Test-Path -LiteralPath $script:source | Should -BeFalse
    }

    It 'gives up after ten tries with the platform''s message when access stays denied' {
        Mock Invoke-TarnquillDirectoryMove {
            $script:moveCalls++
            throw [System.UnauthorizedAccessException]::new('Access to the path is denied.')
        }

        { Move-TarnquillFolder -Source $script:source -Destination $script:destination } |
            Should -Throw -ExpectedMessage 'Access to the path is denied.'
        $script:moveCalls | Should -Be 10
        Test-Path -LiteralPath (Join-Path $script:source 'TARNQUILL.exe') | Should -BeTrue
    }

    It 'does not try again when the destination exists' {
        $null = New-Item -ItemType Directory -Path $script:destination
        { Move-TarnquillFolder -Source $script:source -Destination $script:destination } | Should -Throw
        Should -Invoke Start-Sleep -Times 0 -Exactly
        Test-Path -LiteralPath (Join-Path $script:source 'TARNQUILL.exe') | Should -BeTrue
    }
}
