Set-StrictMode -Version Latest

# The one reading of a consent answer that the installer and the uninstaller
# share: y or yes in any letter case, exactly as typed.

BeforeAll {
    $script:repoRoot = Split-Path -Parent (Split-Path -Parent $PSScriptRoot)
    . (Join-Path (Join-Path $script:repoRoot 'scripts') 'consent.ps1')
}

Describe 'Test-TarnquillConsent' {
    It 'takes <Answer> as consent' -ForEach @(
        @{ Answer = 'y' }, @{ Answer = 'Y' }, @{ Answer = 'yes' }, @{ Answer = 'YES' }, @{ Answer = 'yEs' }
    ) {
        Test-TarnquillConsent -Answer $Answer | Should -BeExactly $true
    }

    It 'refuses <Label>' -ForEach @(
        @{ Label = 'an empty answer'; Answer = '' }
        @{ Label = 'no answer at all'; Answer = $null }
        @{ Label = 'n'; Answer = 'n' }
        @{ Label = 'no'; Answer = 'no' }
        @{ Label = 'yeah'; Answer = 'yeah' }
        @{ Label = 'ye'; Answer = 'ye' }
        @{ Label = 'yess'; Answer = 'yess' }
        @{ Label = 'a blank before y'; Answer = ' y' }
        @{ Label = 'a blank after yes'; Answer = 'yes ' }
        @{ Label = 'a tab after y'; Answer = "y`t" }
        @{ Label = 'y followed by a line feed'; Answer = "y`n" }
        @{ Label = 'yes followed by carriage return and line feed'; Answer = "yes`r`n" }
        @{ Label = 'y on a second line'; Answer = "n`ny" }
    ) {
        Test-TarnquillConsent -Answer $Answer | Should -BeExactly $false
    }
}
