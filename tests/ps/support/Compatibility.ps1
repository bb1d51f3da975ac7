Set-StrictMode -Version Latest

# Checks that scripts run in Windows PowerShell 5.1 and cmd.exe: plain ASCII,
# strict mode on, and no syntax or parameters that 5.1 lacks. PowerShell 7's
# own parser reads the newer syntax, so it can point at it in the tree.

function Get-TarnquillNonAsciiFinding {
    [CmdletBinding()]
    param(
        [Parameter(Mandatory = $true)]
        [string]$LiteralPath
    )
    $bytes = [System.IO.File]::ReadAllBytes($LiteralPath)
    $line = 1
    for ($i = 0; $i -lt $bytes.Length; $i++) {
        if ($bytes[$i] -eq 10) {
            $line++
        } elseif ($bytes[$i] -gt 127) {
            return "line ${line}: byte 0x{0:X2} is not ASCII" -f $bytes[$i]
        }
    }
}

function Test-TarnquillNewerSyntax {
    [CmdletBinding()]
    param(
        [Parameter(Mandatory = $true)]
        [System.Management.Automation.Language.Ast]$Node
    )
    $language = 'System.Management.Automation.Language'
    switch ($Node.GetType().FullName) {
        "$language.TernaryExpressionAst" { return 'the ternary operator' }
        "$language.PipelineChainAst" { return 'a pipeline chain operator (&& or ||)' }
        "$language.BinaryExpressionAst" {
            if ($Node.Operator.ToString() -eq 'QuestionQuestion') { return 'the null-coalescing operator ??' }
        }
        "$language.AssignmentStatementAst" {
            if ($Node.Operator.ToString() -eq 'QuestionQuestionEquals') { return 'the null-coalescing assignment ??=' }
        }
        { $_ -in "$language.MemberExpressionAst", "$language.InvokeMemberExpressionAst", "$language.IndexExpressionAst" } {
            if ($Node.NullConditional) { return 'a null-conditional operator (?. or ?[])' }
        }
        "$language.ScriptBlockAst" {
            if ($null -ne $Node.CleanBlock) { return 'the clean block' }
        }
        "$language.CommandAst" {
            return Test-TarnquillNewerParameter -Command $Node
        }
    }
}

function Test-TarnquillNewerParameter {
    [CmdletBinding()]
    param(
        [Parameter(Mandatory = $true)]
        [System.Management.Automation.Language.CommandAst]$Command
    )
    $name = $Command.GetCommandName()
    $parameters = @($Command.CommandElements |
            Where-Object -FilterScript { $_ -is [System.Management.Automation.Language.CommandParameterAst] } |
            ForEach-Object -Process { $_.ParameterName })
    $rules = @(
        @{ Commands = @('ForEach-Object', 'foreach', '%'); Parameter = 'Parallel'; Shortest = 2 }
        @{ Commands = @('Join-Path'); Parameter = 'AdditionalChildPath'; Shortest = 1 }
        @{ Commands = @('Get-Content', 'Set-Content', 'Add-Content', 'gc'); Parameter = 'AsByteStream'; Shortest = 2 }
    )
    foreach ($rule in $rules) {
        if ($rule.Commands -notcontains $name) { continue }
        foreach ($parameter in $parameters) {
            $isPrefix = $parameter.Length -ge $rule.Shortest -and
                $rule.Parameter.StartsWith($parameter, [System.StringComparison]::OrdinalIgnoreCase)
            if ($isPrefix) { return "$($rule.Commands[0]) -$($rule.Parameter)" }
        }
    }
}

function Test-TarnquillStrictModeLatest {
    [CmdletBinding()]
    param(
        [Parameter(Mandatory = $true)]
        [System.Management.Automation.Language.Ast]$Ast
    )
    $calls = $Ast.FindAll({
            param($node)
            $node -is [System.Management.Automation.Language.CommandAst] -and
            $node.GetCommandName() -eq 'Set-StrictMode'
        }, $true)
    foreach ($call in $calls) {
        $text = ($call.CommandElements | ForEach-Object -Process { $_.Extent.Text }) -join ' '
        if ($text -match '(?i)-Version\s+Latest\b') { return $true }
    }
    $false
}

function Get-TarnquillCompatibilityFinding {
    <#
    .SYNOPSIS
    Lists what keeps a .ps1 or .cmd file from running in Windows PowerShell 5.1 or cmd.exe.
    #>
    [CmdletBinding()]
    param(
        [Parameter(Mandatory = $true)]
        [string]$LiteralPath
    )
    $nonAscii = Get-TarnquillNonAsciiFinding -LiteralPath $LiteralPath
    if ($nonAscii) { $nonAscii }
    if ([System.IO.Path]::GetExtension($LiteralPath) -ne '.ps1') { return }

    $tokens = $null
    $errors = $null
    $ast = [System.Management.Automation.Language.Parser]::ParseFile($LiteralPath, [ref]$tokens, [ref]$errors)
    foreach ($parseError in $errors) {
        "line $($parseError.Extent.StartLineNumber): does not parse: $($parseError.Message)"
    }
    $found = $ast.FindAll({ param($node) $true }, $true)
    foreach ($node in $found) {
        $problem = Test-TarnquillNewerSyntax -Node $node
        if ($problem) { "line $($node.Extent.StartLineNumber): $problem is not in Windows PowerShell 5.1" }
    }
    if (-not (Test-TarnquillStrictModeLatest -Ast $ast)) {
        'Set-StrictMode -Version Latest is missing'
    }
}

function Get-TarnquillScriptFile {
    <#
    .SYNOPSIS
    Every .ps1 and .cmd file of the source tree, outside generated and dependency folders.
    #>
    [CmdletBinding()]
    param(
        [Parameter(Mandatory = $true)]
        [string]$Root
    )
    $skipped = @('release', '.git', 'node_modules', '.runtime')
    Get-ChildItem -LiteralPath $Root -Recurse -File -Force |
        Where-Object -FilterScript { $_.Extension -eq '.ps1' -or $_.Extension -eq '.cmd' } |
        Where-Object -FilterScript {
            $relative = [System.IO.Path]::GetRelativePath($Root, $_.FullName)
            $first = $relative.Split([System.IO.Path]::DirectorySeparatorChar)[0]
            $skipped -notcontains $first
        }
}
