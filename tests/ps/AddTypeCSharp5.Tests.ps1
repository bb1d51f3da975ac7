Set-StrictMode -Version Latest
# ctest-timeout: 900
# Windows PowerShell 5.1 compiles the icon writer's C# with the .NET Framework
# C# 5 compiler, treating warnings as errors. The same source text, taken out of
# the script by the PowerShell parser, is built here with the .NET SDK at
# language version 5 against the .NET Framework 4.8 reference assemblies.

BeforeAll {
    $script:Root = $env:TARNQUILL_ROOT
    if ([string]::IsNullOrEmpty($script:Root)) {
        $script:Root = [System.IO.Path]::GetFullPath((Join-Path -Path $PSScriptRoot -ChildPath '../..'))
    }
    $script:Release = $env:TARNQUILL_RELEASE
    if ([string]::IsNullOrEmpty($script:Release)) {
        $script:Release = Join-Path -Path $script:Root -ChildPath 'release'
    }
    $script:IconScript = Join-Path -Path (Join-Path -Path $script:Root -ChildPath 'scripts') -ChildPath 'set-executable-icon.ps1'
    $script:CheckProject = Join-Path -Path (Join-Path -Path (Join-Path -Path $script:Root -ChildPath 'tests') -ChildPath 'native') -ChildPath (Join-Path -Path 'csharp5' -ChildPath 'IconWriterCSharp5.csproj')
    $script:WorkFolder = Join-Path -Path (Join-Path -Path $script:Release -ChildPath 'build-icon') -ChildPath ('csharp5-' + [guid]::NewGuid().ToString('N'))
    New-Item -ItemType Directory -Path $script:WorkFolder -Force | Out-Null

    # The text that the script hands to Add-Type -TypeDefinition.
    function Get-AddTypeSource {
        param([string]$ScriptPath)
        $tokens = $null
        $errors = $null
        $ast = [System.Management.Automation.Language.Parser]::ParseFile($ScriptPath, [ref]$tokens, [ref]$errors)
        if ($errors.Count -gt 0) {
            throw "The script does not parse: $($errors[0].Message)"
        }
        $addType = @($ast.FindAll({
                    param($node)
                    $node -is [System.Management.Automation.Language.CommandAst] -and $node.GetCommandName() -eq 'Add-Type'
                }, $true))
        if ($addType.Count -ne 1) {
            throw "Expected one Add-Type call, found $($addType.Count)."
        }
        $elements = $addType[0].CommandElements
        $variableName = $null
        for ($index = 0; $index -lt $elements.Count - 1; $index++) {
            if ($elements[$index] -is [System.Management.Automation.Language.CommandParameterAst] -and
                $elements[$index].ParameterName -eq 'TypeDefinition') {
                $variableName = $elements[$index + 1].VariablePath.UserPath
            }
        }
        if ($null -eq $variableName) {
            throw 'Add-Type is not given -TypeDefinition from a variable.'
        }
        $assignments = @($ast.FindAll({
                    param($node)
                    $node -is [System.Management.Automation.Language.AssignmentStatementAst] -and
                    $node.Left -is [System.Management.Automation.Language.VariableExpressionAst] -and
                    $node.Left.VariablePath.UserPath -eq $variableName
                }, $true))
        if ($assignments.Count -ne 1) {
            throw "Expected one assignment of `$$variableName, found $($assignments.Count)."
        }
        $assignments[0].Right.Expression.Value
    }

    function Invoke-CSharp5Build {
        param([string]$Name, [string]$Source)
        $folder = Join-Path -Path $script:WorkFolder -ChildPath $Name
        New-Item -ItemType Directory -Path $folder -Force | Out-Null
        $sourcePath = Join-Path -Path $folder -ChildPath 'IconResourceWriter.cs'
        [System.IO.File]::WriteAllText($sourcePath, $Source)
        $output = & dotnet build $script:CheckProject --nologo "-p:IconWriterSource=$sourcePath" "-p:IconWriterOutput=$folder" 2>&1
        [pscustomobject]@{
            ExitCode = $LASTEXITCODE
            Output   = ($output | Out-String)
            Assembly = Join-Path -Path (Join-Path -Path (Join-Path -Path $folder -ChildPath 'bin') -ChildPath 'net48') -ChildPath 'IconWriterCSharp5.dll'
        }
    }

    $env:DOTNET_CLI_TELEMETRY_OPTOUT = '1'
    $env:DOTNET_NOLOGO = '1'
    $script:Source = Get-AddTypeSource -ScriptPath $script:IconScript
}

AfterAll {
    Remove-Item -LiteralPath $script:WorkFolder -Recurse -Force -ErrorAction SilentlyContinue
}

Describe 'The icon writer C# source in set-executable-icon.ps1' {
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

Describe 'The shell refresh C# source in install.ps1' {
    It 'compiles as C# 5 against .NET Framework 4.8 without warnings' {
        $installScript = Join-Path -Path (Join-Path -Path $script:Root -ChildPath 'scripts') -ChildPath 'install.ps1'
        $refreshSource = Get-AddTypeSource -ScriptPath $installScript
        $refreshSource | Should -Match 'public static class TarnquillShellRefresh\b'

        $build = Invoke-CSharp5Build -Name 'shell-refresh' -Source $refreshSource

        $build.Output | Should -Not -Match ': (error|warning) [A-Z]+[0-9]+'
        $build.ExitCode | Should -Be 0
    }
}
