Set-StrictMode -Version Latest
# ctest-timeout: 900
# Windows PowerShell 5.1 compiles the C# that the scripts hand to Add-Type with
# the .NET Framework C# 5 compiler, treating warnings as errors unless told not
# to. The same source files (scripts/native) are built here with the .NET SDK at
# language version 5 against the .NET Framework 4.8 reference assemblies,
# warnings as errors.

BeforeAll {
    $script:Root = $env:TARNQUILL_ROOT
    if ([string]::IsNullOrEmpty($script:Root)) {
        $script:Root = [System.IO.Path]::GetFullPath((Join-Path -Path $PSScriptRoot -ChildPath '../..'))
    }
    $script:Release = $env:TARNQUILL_RELEASE
    if ([string]::IsNullOrEmpty($script:Release)) {
        $script:Release = Join-Path -Path $script:Root -ChildPath 'release'
    }
    $script:CheckProject = Join-Path -Path (Join-Path -Path (Join-Path -Path $script:Root -ChildPath 'tests') -ChildPath 'native') -ChildPath (Join-Path -Path 'csharp5' -ChildPath 'IconWriterCSharp5.csproj')
    $script:WorkFolder = Join-Path -Path (Join-Path -Path $script:Release -ChildPath 'build-icon') -ChildPath ('csharp5-' + [guid]::NewGuid().ToString('N'))
    New-Item -ItemType Directory -Path $script:WorkFolder -Force | Out-Null

    # Every Add-Type call of the scripts that compiles something (loading a Framework assembly
    # by name compiles nothing): its file and whether it passes -IgnoreWarnings.
    function Get-AddTypeCall {
        param([string]$ScriptPath)
        $tokens = $null
        $errors = $null
        $ast = [System.Management.Automation.Language.Parser]::ParseFile($ScriptPath, [ref]$tokens, [ref]$errors)
        if ($errors.Count -gt 0) {
            throw "The script does not parse: $($errors[0].Message)"
        }
        $calls = @($ast.FindAll({
                    param($node)
                    $node -is [System.Management.Automation.Language.CommandAst] -and $node.GetCommandName() -eq 'Add-Type' -and
                    @($node.CommandElements | Where-Object -FilterScript { $_ -is [System.Management.Automation.Language.CommandParameterAst] -and $_.ParameterName -eq 'AssemblyName' }).Count -eq 0
                }, $true))
        foreach ($call in $calls) {
            [pscustomobject]@{
                Script          = [System.IO.Path]::GetFileName($ScriptPath)
                IgnoresWarnings = @($call.CommandElements | Where-Object -FilterScript { $_ -is [System.Management.Automation.Language.CommandParameterAst] -and $_.ParameterName -eq 'IgnoreWarnings' }).Count -eq 1
            }
        }
    }

    # Builds one or more C# source texts together into one assembly.
    function Invoke-CSharp5Build {
        param([string]$Name, [string[]]$Source)
        $folder = Join-Path -Path $script:WorkFolder -ChildPath $Name
        New-Item -ItemType Directory -Path (Join-Path -Path $folder -ChildPath 'src') -Force | Out-Null
        for ($index = 0; $index -lt $Source.Count; $index++) {
            [System.IO.File]::WriteAllText((Join-Path -Path (Join-Path -Path $folder -ChildPath 'src') -ChildPath "Source$index.cs"), $Source[$index])
        }
        $sources = (Join-Path -Path (Join-Path -Path $folder -ChildPath 'src') -ChildPath '*.cs')
        $output = & dotnet build $script:CheckProject --nologo "-p:IconWriterSource=$sources" "-p:IconWriterOutput=$folder" 2>&1
        [pscustomobject]@{
            ExitCode = $LASTEXITCODE
            Output   = ($output | Out-String)
            Assembly = Join-Path -Path (Join-Path -Path (Join-Path -Path $folder -ChildPath 'bin') -ChildPath 'net48') -ChildPath 'IconWriterCSharp5.dll'
        }
    }

    $env:DOTNET_CLI_TELEMETRY_OPTOUT = '1'
    $env:DOTNET_NOLOGO = '1'
    $scripts = Join-Path -Path $script:Root -ChildPath 'scripts'
    $script:AddTypeCalls = @(Get-ChildItem -LiteralPath $scripts -Filter '*.ps1' |
            Sort-Object -Property Name | ForEach-Object -Process { Get-AddTypeCall -ScriptPath $_.FullName })
    # The C# that the scripts' one Add-Type compiles.
    $script:AllSources = @(Get-ChildItem -LiteralPath (Join-Path -Path $scripts -ChildPath 'native') -Filter '*.cs' |
            Sort-Object -Property Name | ForEach-Object -Process {
                [pscustomobject]@{ Script = $_.Name; Source = [System.IO.File]::ReadAllText($_.FullName) } })
    $script:Source = @($script:AllSources | Where-Object -FilterScript { $_.Script -eq 'IconResourceWriter.cs' })[0].Source
}

AfterAll {
    Remove-Item -LiteralPath $script:WorkFolder -Recurse -Force -ErrorAction SilentlyContinue
}

Describe 'The icon writer C# source' {
    It 'is the IconResourceWriter type of TarnQuill.Build' {
        $Source | Should -Match 'namespace TarnQuill\.Build\b'
        $Source | Should -Match 'public static class IconResourceWriter\b'
        $Source | Should -Match 'public static void Apply\(string executablePath, string iconPath\)'
    }

    It 'compiles as C# 5 against .NET Framework 4.8 without warnings' {
        $build = Invoke-CSharp5Build -Name 'script' -Source $Source

        $build.Output | Should -Not -Match ': (error|warning) [A-Z]+[0-9]+'
        $build.ExitCode | Should -Be 0
        Test-Path -LiteralPath $build.Assembly -PathType Leaf | Should -BeTrue
    }

    It 'would refuse the same source with a C# 6 construct in it' {
        # The check itself must bite: a nameof expression needs C# 6.
        $probe = $Source.Replace('"UpdateResource failed."', 'nameof(UpdateResource)')
        $probe | Should -Not -Be $Source
        $build = Invoke-CSharp5Build -Name 'csharp6-probe' -Source $probe

        $build.ExitCode | Should -Not -Be 0
        $build.Output | Should -Match 'CS8026'
    }
}

Describe 'Every Add-Type source of the scripts' {
    It 'is compiled by one Add-Type, in native-methods.ps1, handed over with -IgnoreWarnings' {
        # Windows PowerShell 5.1 fails on any compiler warning, and a stale LIB
        # folder in the environment gives one (CS1668) to every compile.
        @($AddTypeCalls | ForEach-Object -Process { $_.Script }) | Should -Be @('native-methods.ps1')
        @($AddTypeCalls | Where-Object -FilterScript { -not $_.IgnoresWarnings }) | Should -BeNullOrEmpty
        @($AllSources | ForEach-Object -Process { $_.Script }) | Should -Be @(
            'DiskSpace.cs', 'IconResourceWriter.cs', 'ProcessImage.cs', 'ReparseTagReader.cs', 'ShellLink.cs', 'ShellRefresh.cs')
    }

    It 'compiles as C# 5 against .NET Framework 4.8 without warnings, all together' {
        $build = Invoke-CSharp5Build -Name 'all-scripts' -Source @($AllSources | ForEach-Object -Process { $_.Source })

        $build.Output | Should -Not -Match ': (error|warning) [A-Z]+[0-9]+'
        $build.ExitCode | Should -Be 0
    }
}
