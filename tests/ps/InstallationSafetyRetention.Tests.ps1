Set-StrictMode -Version Latest

# Version-folder listing and the retention plan, on real folders in a
# temporary LOCALAPPDATA.

BeforeAll {
    $script:repoRoot = Split-Path -Parent (Split-Path -Parent $PSScriptRoot)
    . (Join-Path (Join-Path $script:repoRoot 'scripts') 'installation-safety.ps1')

    $script:scratchBase = [System.IO.Path]::GetTempPath()
    if ($env:TARNQUILL_RELEASE) {
        $script:scratchBase = Join-Path $env:TARNQUILL_RELEASE 'test'
    }
    $script:savedLocalAppData = $env:LOCALAPPDATA

    function New-Suffix {
        return [guid]::NewGuid().ToString('N')
    }

    # Creates the named folders in the root, each with a file inside, and
    # returns the root's listing names as the platform enumerates them.
    function New-RootFolders {
        param([string[]]$Names)
        foreach ($name in $Names) {
            $folder = Join-Path $script:root $name
            $null = New-Item -ItemType Directory -Path $folder -Force
            Set-Content -LiteralPath (Join-Path $folder 'VERSION.txt') -Value $name
        }
    }

    function Get-PlanNames {
        param([string]$CurrentVersion)
        return @(Get-TarnquillRetentionPlan -InstallRoot $script:root -CurrentVersion $CurrentVersion | ForEach-Object { $_.Name })
    }

    function Get-ListingOrder {
        return @(Get-ChildItem -LiteralPath $script:root -Directory -Force | ForEach-Object { $_.Name })
    }
}

AfterAll {
    $env:LOCALAPPDATA = $script:savedLocalAppData
}

Describe 'Get-TarnquillVersionFolders and Get-TarnquillRetentionPlan' {
    BeforeEach {
        $script:sandbox = Join-Path $script:scratchBase ('safety-retention-' + [guid]::NewGuid().ToString('N'))
        $script:local = Join-Path $script:sandbox 'Local'
        $null = New-Item -ItemType Directory -Path $script:local -Force
        $script:root = Join-Path $script:local 'TARNQUILL'
        $env:LOCALAPPDATA = $script:local
    }

    AfterEach {
        $env:LOCALAPPDATA = $script:savedLocalAppData
        Remove-Item -LiteralPath $script:sandbox -Recurse -Force -ErrorAction SilentlyContinue
    }

    Context 'recognising version folders' {
        It 'lists exactly the App- and Backup- folders, whatever their letter case, with name, path and version' {
            $upperSuffix = (New-Suffix).ToUpperInvariant()
            $lowerSuffix = New-Suffix
            New-RootFolders @(
                'app-1.2.3'
                ('Backup-1.2.3-' + $upperSuffix)
                ('BACKUP-4.5.6-' + $lowerSuffix)
                'App-1.2'
                'App-1.2.3.4'
                'App-not-a-version'
                'Backup-1.2.3'
                ('Backup-1.2.3-' + (New-Suffix).Substring(0, 31))
                ('Backup-1.2.3-' + (New-Suffix) + 'a')
                ('Backup-1.2.3-' + (New-Suffix).Substring(0, 31) + 'g')
                'App-1.2.3-extra'
                'Data'
                'Logs'
            )
            # A file with a version name is not a folder and is not listed.
            Set-Content -LiteralPath (Join-Path $script:root 'App-9.9.9') -Value 'file'

            $records = @(Get-TarnquillVersionFolders -InstallRoot $script:root)

            $expectedNames = @('app-1.2.3', ('Backup-1.2.3-' + $upperSuffix), ('BACKUP-4.5.6-' + $lowerSuffix))
            @($records | ForEach-Object { $_.Name } | Sort-Object) | Should -Be @($expectedNames | Sort-Object)
            $app = $records | Where-Object { $_.Name -ceq 'app-1.2.3' }
            $app.Path | Should -BeExactly (Join-Path $script:root 'app-1.2.3')
            $app.VersionText | Should -BeExactly '1.2.3'
            $app.Version | Should -BeOfType ([version])
            $app.Version | Should -Be ([version]'1.2.3')
            $backup = $records | Where-Object { $_.Name -ceq ('BACKUP-4.5.6-' + $lowerSuffix) }
            $backup.VersionText | Should -BeExactly '4.5.6'
            $backup.Version | Should -Be ([version]'4.5.6')
            @($records[0].PSObject.Properties | ForEach-Object { $_.Name }) |
                Should -Be @('Name', 'Path', 'Version', 'VersionText')
        }

        It 'returns the records in the order of the directory listing' {
            New-RootFolders @('App-0.10.0', 'App-0.9.0', ('Backup-0.9.0-' + (New-Suffix)), 'App-0.8.0', 'App-2.0.0', 'App-1.0.0')
            @(Get-TarnquillVersionFolders -InstallRoot $script:root | ForEach-Object { $_.Name }) |
                Should -Be (Get-ListingOrder)
        }

        It 'tells in a verbose message which folders it leaves intact' {
            New-RootFolders @('App-0.1.0', 'Data', 'App-not-a-version')
            $verbose = @(Get-TarnquillVersionFolders -InstallRoot $script:root -Verbose 4>&1 |
                    Where-Object { $_ -is [System.Management.Automation.VerboseRecord] } |
                    ForEach-Object { $_.Message })
            $verbose | Should -Contain 'Not an application version; left intact: Data'
            $verbose | Should -Contain 'Not an application version; left intact: App-not-a-version'
            $verbose.Count | Should -Be 2
        }

        It 'warns about <Case> and gives no record for it' -ForEach @(
            @{ Case = 'a first component of ten nines'; Name = 'App-9999999999.0.0' }
            @{ Case = 'a component just above the largest 32-bit value'; Name = 'App-1.2147483648.0' }
            @{ Case = 'digits other than 0 to 9'; Name = ('App-1.2.' + [string][char]0x0663) }
            @{ Case = 'a backup of an unparseable version'; Name = ('Backup-0.0.99999999999-' + ('ab' * 16)) }
        ) {
            New-RootFolders @($Name, 'App-2147483647.0.0')
            $output = @(Get-TarnquillVersionFolders -InstallRoot $script:root 3>&1)
            $warnings = @($output | Where-Object { $_ -is [System.Management.Automation.WarningRecord] } | ForEach-Object { $_.Message })
            $records = @($output | Where-Object { $_ -isnot [System.Management.Automation.WarningRecord] })

            $warnings | Should -Be @('Unrecognized version folder left intact: ' + $Name)
            @($records | ForEach-Object { $_.Name }) | Should -Be @('App-2147483647.0.0')
            $records[0].Version | Should -Be ([version]'2147483647.0.0')
            Get-PlanNames -CurrentVersion '0.1.0' | Should -BeNullOrEmpty
            Test-Path -LiteralPath (Join-Path $script:root $Name) | Should -BeTrue
        }

        It 'returns nothing, and plans nothing, for a root that does not exist yet' {
            @(Get-TarnquillVersionFolders -InstallRoot $script:root).Count | Should -Be 0
            Get-PlanNames -CurrentVersion '0.15.0' | Should -BeNullOrEmpty
            Test-Path -LiteralPath $script:root | Should -BeFalse
        }
    }

    Context 'planning which versions may go' {
        It 'plans only the oldest version in the reference layout and leaves the rest, and plans without removing' {
            $backup11 = 'Backup-0.11.0-' + (New-Suffix)
            $backup133 = 'Backup-0.13.3-' + (New-Suffix)
            New-RootFolders @('App-0.11.0', 'App-0.13.3', 'App-0.15.0', $backup11, $backup133, 'Data', 'App-not-a-version')

            $plan = @(Get-TarnquillRetentionPlan -InstallRoot $script:root -CurrentVersion '0.15.0')

            @($plan | ForEach-Object { $_.Name }) | Should -Be @(Get-ListingOrder | Where-Object { ($_ -eq 'App-0.11.0') -or ($_ -eq $backup11) })
            $plan.Count | Should -Be 2
            $plan | ForEach-Object { $_.VersionText | Should -BeExactly '0.11.0' }
            $plan | ForEach-Object { $_.Path | Should -BeExactly (Join-Path $script:root $_.Name) }
            (Get-ListingOrder).Count | Should -Be 7
        }

        It 'orders versions numerically, so 0.10.0 is newer than 0.9.0' {
            New-RootFolders @('App-0.8.0', 'App-0.9.0', 'App-0.10.0')
            Get-PlanNames -CurrentVersion '0.10.0' | Should -Be @('App-0.8.0')
        }

        It 'keeps the version being installed even when it is older than the two newest' {
            New-RootFolders @('App-0.8.0', 'App-0.9.0', 'App-0.10.0')
            Get-PlanNames -CurrentVersion '0.8.0' | Should -BeNullOrEmpty
        }

        It 'plans only what is older than the version installed on a downgrade' {
            New-RootFolders @('App-0.17.0', 'App-0.16.0', 'App-0.15.0', 'App-0.14.0')
            Get-PlanNames -CurrentVersion '0.15.0' | Should -Be @('App-0.14.0')
            { Get-PlanNames -CurrentVersion "0.15.0`n" } | Should -Throw -ExpectedMessage 'Invalid current version.'
        }

        It 'keeps the backup of a reinstalled version together with the folder of the same version' {
            $backup = 'Backup-0.15.0-' + (New-Suffix)
            New-RootFolders @('App-0.15.0', $backup, 'App-0.13.3', 'App-0.11.0')
            Get-PlanNames -CurrentVersion '0.15.0' | Should -Be @('App-0.11.0')
        }

        It 'lets old backups count towards the two newest versions' {
            # Only backups of 0.14.0 remain; they still make 0.14.0 one of the two newest.
            New-RootFolders @('App-0.15.0', ('Backup-0.14.0-' + (New-Suffix)), 'App-0.13.0')
            Get-PlanNames -CurrentVersion '0.15.0' | Should -Be @('App-0.13.0')
        }

        It 'plans nothing with <Case> present' -ForEach @(
            @{ Case = 'one version'; Names = @('App-0.15.0') }
            @{ Case = 'one version and its backup'; Names = @('App-0.15.0', ('Backup-0.15.0-' + ('0' * 32))) }
            @{ Case = 'two versions'; Names = @('App-0.14.0', 'App-0.15.0') }
            @{ Case = 'two older versions than the one installed'; Names = @('App-0.1.0', 'App-0.2.0') }
            @{ Case = 'no version folders at all'; Names = @('Data', 'Logs') }
        ) {
            New-RootFolders $Names
            Get-PlanNames -CurrentVersion '0.15.0' | Should -BeNullOrEmpty
        }

        It 'treats App-1.2.3 and App-01.2.3 as two versions of equal value' {
            New-RootFolders @('App-1.2.3', 'App-01.2.3', 'App-1.0.0')
            $records = @(Get-TarnquillVersionFolders -InstallRoot $script:root)
            $same = @($records | Where-Object { $_.Version -eq [version]'1.2.3' })
            $same.Count | Should -Be 2
            @($same | ForEach-Object { $_.VersionText } | Sort-Object) | Should -Be @('01.2.3', '1.2.3')

            # Both spellings fill the two newest places, so 1.0.0 goes.
            Get-PlanNames -CurrentVersion '1.2.3' | Should -Be @('App-1.0.0')
            # Installing 1.0.0 keeps it as the current version.
            Get-PlanNames -CurrentVersion '1.0.0' | Should -BeNullOrEmpty
        }

        It 'refuses a malformed current version (<Label>) before anything is looked at' -ForEach @(
            @{ Label = 'two components'; Value = '0.15' }
            @{ Label = 'a prefix'; Value = 'v0.15.0' }
            @{ Label = 'four components'; Value = '0.15.0.1' }
            @{ Label = 'a suffix'; Value = '0.15.0-beta' }
            @{ Label = 'a leading blank'; Value = ' 0.15.0' }
            @{ Label = 'a trailing line feed'; Value = "0.15.0`n" }
            @{ Label = 'an empty text'; Value = '' }
        ) {
            Remove-Item -LiteralPath 'Env:LOCALAPPDATA'
            { Get-TarnquillRetentionPlan -InstallRoot $script:root -CurrentVersion $Value } |
                Should -Throw -ExpectedMessage 'Invalid current version.'
        }

        It 'binds its parameters by position' {
            New-RootFolders @('App-0.1.0', 'App-0.2.0', 'App-0.3.0')
            @(Get-TarnquillRetentionPlan $script:root '0.3.0' | ForEach-Object { $_.Name }) | Should -Be @('App-0.1.0')
        }
    }
}
