// Runs the setup bootstrap's entry routine, compiled for the host, against the Windows doubles.
#include "windows_doubles.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <functional>
#include <string>

extern "C" [[noreturn]] void mainCRTStartup();

namespace {

using doubles::machine;
using doubles::Machine;

std::u16string u16(const std::string& ascii) {
    return std::u16string(ascii.begin(), ascii.end());
}

const std::u16string version = u16(TARNQUILL_TEST_VERSION);
const std::u16string title = u"TARNQUILL " + version + u" Setup";
const std::u16string englishStart = u"Install TARNQUILL " + version + u"?\n\n";
const std::u16string russianStart = u"Electron 43.4.1: github.com/electron/electron; "
                                    u"sourceforge.net/projects/electron.mirror.\n\n"
                                    u"\u0423\u0441\u0442\u0430\u043d\u043e\u0432\u0438\u0442\u044c "
                                    u"TARNQUILL " +
                                    version + u"?";

std::u16string expectedWorkFolder() {
    return machine.tempPath + u"TARNQUILL-Setup-" + version + u"-0123456789abcdef-0000000000001234";
}

std::vector<std::uint8_t> bytes(std::size_t count) {
    std::vector<std::uint8_t> data(count);
    for (std::size_t i = 0; i < count; ++i) {
        data[i] = static_cast<std::uint8_t>(i * 7 + 3);
    }
    return data;
}

class BootstrapTest : public ::testing::Test {
  protected:
    void SetUp() override {
        machine = Machine{};
        machine.payload = bytes(4096);
    }

    // Runs the entry routine to its ExitProcess and returns the exit code.
    static unsigned run() {
        try {
            mainCRTStartup();
        } catch (const doubles::ExitCalled& exit) {
            return exit.code;
        }
    }

    static std::u16string lastMessage() {
        return machine.messageBoxes.empty() ? u"" : machine.messageBoxes.back().text;
    }
};

TEST_F(BootstrapTest, ASuccessfulInstallationEndsWithZeroAndNoSecondDialog) {
    EXPECT_EQ(run(), 0u);
    ASSERT_EQ(machine.messageBoxes.size(), 1u);
    EXPECT_EQ(machine.messageBoxes[0].caption, title);
    EXPECT_EQ(machine.messageBoxes[0].style, 0x24u);
}

TEST_F(BootstrapTest, WritesThePayloadIntoANewWorkFolderNamedByTickCountAndProcessId) {
    run();
    const std::u16string work = expectedWorkFolder();
    EXPECT_EQ(machine.directories, std::set<std::u16string>{work});
    ASSERT_EQ(machine.files.count(work + u"\\source.zip"), 1u);
    EXPECT_EQ(machine.files[work + u"\\source.zip"], machine.payload);
}

TEST_F(BootstrapTest, CreatesTheArchiveForWriteWithoutSharingAndNeverOverwrites) {
    run();
    ASSERT_EQ(machine.createFiles.size(), 1u);
    const doubles::CreateFileCall& call = machine.createFiles[0];
    EXPECT_EQ(call.access, 0x40000000u);
    EXPECT_EQ(call.share, 0u);
    EXPECT_FALSE(call.security);
    EXPECT_EQ(call.disposition, 1u); // CREATE_NEW
    EXPECT_EQ(call.attributes, 0x80u);
    EXPECT_FALSE(call.templateFile);
}

TEST_F(BootstrapTest, StartsWindowsPowerShellFromTheSystemFolderInANewConsole) {
    run();
    ASSERT_EQ(machine.createProcesses.size(), 1u);
    const doubles::CreateProcessCall& call = machine.createProcesses[0];
    EXPECT_EQ(call.application, u"C:\\Windows\\system32\\WindowsPowerShell\\v1.0\\powershell.exe");
    EXPECT_EQ(call.flags, 0x10u);
    EXPECT_EQ(call.inheritHandles, 0);
    EXPECT_FALSE(call.processSecurity);
    EXPECT_FALSE(call.threadSecurity);
    EXPECT_FALSE(call.environment);
    EXPECT_FALSE(call.directory);
    EXPECT_EQ(call.startupSize, 104u);
    EXPECT_EQ(call.title, u"TARNQUILL " + version + u" - installation progress");
    EXPECT_TRUE(call.otherStartupFieldsZero);
}

TEST_F(BootstrapTest, TheCommandLineCarriesNoPathAndNamesTheVersionedScriptFolder) {
    run();
    ASSERT_EQ(machine.createProcesses.size(), 1u);
    const std::u16string& line = machine.createProcesses[0].commandLine;
    if (version == u"0.15.0") {
        EXPECT_EQ(line.size(), 2373u);
    }
    EXPECT_EQ(line.rfind(u"\"WindowsPowerShell\" -NoLogo -NoProfile -ExecutionPolicy Bypass "
                         u"-Command \"$ErrorActionPreference='Stop'; ",
                         0),
              0u);
    EXPECT_NE(line.find(u"'TARNQUILL-v" + version + u"\\scripts\\install.ps1'"),
              std::u16string::npos);
    EXPECT_EQ(line.find(machine.tempPath), std::u16string::npos);
    EXPECT_EQ(line.find(machine.modulePath), std::u16string::npos);
    EXPECT_EQ(std::count(line.begin(), line.end(), u'"'), 4);
    EXPECT_TRUE(line.ends_with(u"}; exit 0\""));
}

TEST_F(BootstrapTest, TheChildInheritsBothVariablesAndTheBootstrapDropsThemAfterTheStart) {
    run();
    ASSERT_EQ(machine.createProcesses.size(), 1u);
    const auto& inherited = machine.createProcesses[0].inheritedEnvironment;
    ASSERT_EQ(inherited.count(u"TARNQUILL_SETUP_WORK"), 1u);
    ASSERT_EQ(inherited.count(u"TARNQUILL_SETUP_EXE"), 1u);
    EXPECT_EQ(inherited.at(u"TARNQUILL_SETUP_WORK"), expectedWorkFolder());
    EXPECT_EQ(inherited.at(u"TARNQUILL_SETUP_EXE"), machine.modulePath);
    EXPECT_TRUE(machine.environment.empty());
}

TEST_F(BootstrapTest, VariablesAreDroppedAlsoWhenTheInstallationFails) {
    machine.childExitCode = 1;
    EXPECT_EQ(run(), 1603u);
    EXPECT_TRUE(machine.environment.empty());
}

TEST_F(BootstrapTest, ClosesTheThreadThenWaitsWithoutTimeOutThenClosesTheProcess) {
    run();
    EXPECT_EQ(machine.waitedHandle, doubles::processHandle);
    EXPECT_EQ(machine.waitTimeout, 0xFFFFFFFFu);
    EXPECT_EQ(machine.closedHandles,
              (std::vector<std::uintptr_t>{doubles::fileHandle, doubles::threadHandle,
                                           doubles::processHandle}));
    EXPECT_TRUE(machine.openHandles.empty());
}

TEST_F(BootstrapTest, StepsRunInTheirFixedOrder) {
    run();
    std::vector<std::string> calls;
    for (const std::string& call : machine.calls) {
        if (call != "lstrcatW" && call != "lstrcpyW" && call != "lstrlenW") {
            calls.push_back(call);
        }
    }
    const std::vector<std::string> expected = {"GetCommandLineW",
                                               "GetUserDefaultUILanguage",
                                               "MessageBoxW",
                                               "GetTempPathW",
                                               "GetTickCount64",
                                               "GetCurrentProcessId",
                                               "CreateDirectoryW",
                                               "FindResourceW",
                                               "SizeofResource",
                                               "LoadResource",
                                               "LockResource",
                                               "CreateFileW",
                                               "WriteFile",
                                               "CloseHandle",
                                               "GetSystemDirectoryW",
                                               "SetEnvironmentVariableW",
                                               "GetModuleFileNameW",
                                               "SetEnvironmentVariableW",
                                               "SetEnvironmentVariableW",
                                               "SetEnvironmentVariableW",
                                               "SetEnvironmentVariableW",
                                               "CreateProcessW",
                                               "SetEnvironmentVariableW",
                                               "SetEnvironmentVariableW",
                                               "SetEnvironmentVariableW",
                                               "SetEnvironmentVariableW",
                                               "SetEnvironmentVariableW",
                                               "CloseHandle",
                                               "WaitForSingleObject",
                                               "GetExitCodeProcess",
                                               "CloseHandle",
                                               "ExitProcess"};
    EXPECT_EQ(calls, expected);
}

TEST_F(BootstrapTest, AnsweringNoEndsWithTheCancelledCodeAndCreatesNothing) {
    machine.confirmAnswer = 7;
    EXPECT_EQ(run(), 1602u);
    EXPECT_EQ(machine.messageBoxes.size(), 1u);
    EXPECT_TRUE(machine.directories.empty());
    EXPECT_TRUE(machine.files.empty());
    EXPECT_TRUE(machine.environment.empty());
    EXPECT_TRUE(machine.createProcesses.empty());
    EXPECT_EQ(machine.calls,
              (std::vector<std::string>{"GetCommandLineW", "GetUserDefaultUILanguage",
                                        "MessageBoxW", "ExitProcess"}));
}

TEST_F(BootstrapTest, AClosedOrFailedConfirmationCountsAsNo) {
    for (int answer : {0, 1, 2, 7}) {
        SetUp();
        machine.confirmAnswer = answer;
        EXPECT_EQ(run(), 1602u) << "answer " << answer;
        EXPECT_TRUE(machine.directories.empty()) << "answer " << answer;
    }
}

struct LanguageCase {
    std::uint16_t language;
    bool russian;
};

class ConfirmationLanguage : public BootstrapTest,
                             public ::testing::WithParamInterface<LanguageCase> {};

TEST_P(ConfirmationLanguage, RussianOnlyForThePrimaryLanguage0x19) {
    machine.uiLanguage = GetParam().language;
    machine.confirmAnswer = 7;
    run();
    ASSERT_EQ(machine.messageBoxes.size(), 1u);
    const std::u16string& shown = machine.messageBoxes[0].text;
    const std::u16string& start = GetParam().russian ? russianStart : englishStart;
    EXPECT_EQ(shown.substr(0, start.size()), start);
    EXPECT_EQ(machine.messageBoxes[0].caption, title);
}

INSTANTIATE_TEST_SUITE_P(Languages, ConfirmationLanguage,
                         ::testing::Values(LanguageCase{0x419, true}, LanguageCase{0x819, true},
                                           LanguageCase{0x19, true}, LanguageCase{0xFC19, true},
                                           LanguageCase{0x22, false}, LanguageCase{0x422, false},
                                           LanguageCase{0x23, false}, LanguageCase{0x423, false},
                                           LanguageCase{0x409, false}, LanguageCase{0x0, false},
                                           LanguageCase{0x119, false}));

TEST_F(BootstrapTest, TheEnglishConfirmationNamesBothSourcesInOrder) {
    machine.confirmAnswer = 7;
    run();
    const std::u16string& shown = machine.messageBoxes.at(0).text;
    const auto primary = shown.find(u"from github.com/electron/electron (fallback: "
                                    u"sourceforge.net/projects/electron.mirror), checking its "
                                    u"pinned SHA-256.");
    EXPECT_NE(primary, std::u16string::npos);
    EXPECT_EQ(shown.find(u'\r'), std::u16string::npos);
    EXPECT_TRUE(
        shown.ends_with(u"\n\nWindows installation has not been runtime-tested in the build "
                        u"environment."));
}

// The full texts, written out here rather than read from the source, so that a changed word,
// space or line break in any of them fails.
const std::u16string englishConfirmation =
    u"Install TARNQUILL " + version +
    u"?\n\nThis is an ONLINE installer. It contains the application source and downloads "
    u"Electron 43.4.1 from github.com/electron/electron (fallback: "
    u"sourceforge.net/projects/electron.mirror), checking its pinned SHA-256. The next screen "
    u"lists full URLs, the installation folder and your installer hash before any "
    u"download.\n\nClose TARNQUILL first (Exit in the tray menu). Internet is required. No "
    u"administrator rights or payment details are requested. A PowerShell progress window will "
    u"open.\n\nWindows installation has not been runtime-tested in the build environment.";

const std::u16string russianConfirmation =
    russianStart +
    u"\n\n\u042d\u0442\u043e \u043e\u043d\u043b\u0430\u0439\u043d-"
    u"\u0443\u0441\u0442\u0430\u043d\u043e\u0432\u0449\u0438\u043a. "
    u"\u0414\u043b\u044f \u0437\u0430\u0433\u0440\u0443\u0437\u043a\u0438 Electron "
    u"\u043d\u0443\u0436\u0435\u043d \u0438\u043d\u0442\u0435\u0440\u043d\u0435\u0442. "
    u"\u041f\u0440\u043e\u0432\u0435\u0440\u044f\u0435\u0442\u0441\u044f SHA-256.\n\n"
    u"\u0421\u043d\u0430\u0447\u0430\u043b\u0430 \u0437\u0430\u043a\u0440\u043e\u0439 TARNQUILL "
    u"\u0447\u0435\u0440\u0435\u0437 \u043c\u0435\u043d\u044e \u0432 \u0442\u0440\u0435\u0435. "
    u"\u041e\u0442\u043a\u0440\u043e\u0435\u0442\u0441\u044f \u043e\u043a\u043d\u043e PowerShell "
    u"\u0441 \u0445\u043e\u0434\u043e\u043c "
    u"\u0443\u0441\u0442\u0430\u043d\u043e\u0432\u043a\u0438. "
    u"\u041f\u0440\u0430\u0432\u0430 "
    u"\u0430\u0434\u043c\u0438\u043d\u0438\u0441\u0442\u0440\u0430\u0442\u043e\u0440\u0430 \u0438 "
    u"\u043e\u043f\u043b\u0430\u0442\u0430 \u043d\u0435 \u043d\u0443\u0436\u043d\u044b.\n\n"
    u"\u0417\u0430\u043f\u0443\u0441\u043a "
    u"\u0443\u0441\u0442\u0430\u043d\u043e\u0432\u0449\u0438\u043a\u0430 \u043d\u0430 Windows "
    u"\u0437\u0434\u0435\u0441\u044c \u043d\u0435 \u043f\u0440\u043e\u0432\u0435\u0440\u044f\u043b"
    u"\u0441\u044f.";

const std::u16string handOffCommandLine =
    u"\"WindowsPowerShell\" -NoLogo -NoProfile -ExecutionPolicy Bypass -Command \"$ErrorAction"
    u"Preference='Stop'; $log=$env:TARNQUILL_SETUP_LOG; $ask=-not $env:TARNQUILL_SETUP_MODE; f"
    u"unction Stop-TarnquillSetup($text, $code, $logLine) { Write-Host $text -ForegroundColor "
    u"Red; if ($logLine) { Write-Host 'Log: %LOCALAPPDATA%\\TARNQUILL\\Logs\\installer.log' };"
    u" if ($log) { try { Add-Content -LiteralPath $log -Value ((Get-Date -Format o) + ' ERROR "
    u"' + $text) -Encoding UTF8 } catch { } }; if ($ask) { Read-Host 'Press Enter to close' };"
    u" exit $code }; function Get-TarnquillFailureCode($problem) { for ($inner = $problem; $in"
    u"ner; $inner = $inner.InnerException) { if ($inner.HResult -eq -2147024784 -or $inner.HRe"
    u"sult -eq -2147024857) { return 112 } }; return 1603 }; if ($ExecutionContext.SessionStat"
    u"e.LanguageMode -ne 'FullLanguage') { Stop-TarnquillSetup ('Installation blocked: applica"
    u"tion control on this PC (such as AppLocker or WDAC) has put Windows PowerShell into Cons"
    u"trained Language Mode, so the setup''s scripts cannot run. Nothing was installed. An adm"
    u"inistrator can allow the setup and its scripts with an application control rule.') 1625 "
    u"$false }; $work=$env:TARNQUILL_SETUP_WORK; try { Expand-Archive -LiteralPath (Join-Path "
    u"$work 'source.zip') -DestinationPath ($work -replace '([`\\[\\]*?])', '`$1') -Force } ca"
    u"tch { Stop-TarnquillSetup ('The setup files could not be unpacked into ' + $work + ': ' "
    u"+ $_.Exception.Message + ' Nothing was installed.') (Get-TarnquillFailureCode $_.Excepti"
    u"on) $true }; $install=Join-Path $work 'TARNQUILL-v" +
    version +
    u"\\scripts\\install.ps1'; if (-not (Test-Path -LiteralPath $install -PathType Leaf)) { St"
    u"op-TarnquillSetup ('The install script is missing from the unpacked setup files: ' + $in"
    u"stall + '. Nothing was installed.') 1603 $true }; $global:LASTEXITCODE=0; try { & $instal"
    u"l -Unattended:([bool]$env:TARNQUILL_SETUP_MODE) -RemoveOld:($env:TARNQUILL_SETUP_REMOVEO"
    u"LD -eq '1') -LogPath ([string]$env:TARNQUILL_SETUP_LOG); $code=$LASTEXITCODE } catch { S"
    u"top-TarnquillSetup $_.Exception.Message (Get-TarnquillFailureCode $_.Exception) $true };"
    u" if ($code -ne 0) { if ($ask) { Read-Host 'Press Enter to close' }; exit $code }; for ($"
    u"attempt=0; $attempt -lt 10 -and (Test-Path -LiteralPath $work); $attempt++) { if ($attem"
    u"pt) { Start-Sleep -Milliseconds 500 }; Remove-Item -LiteralPath $work -Recurse -Force -E"
    u"rrorAction SilentlyContinue }; exit 0\"";

TEST_F(BootstrapTest, ShowsTheEnglishConfirmationWordForWord) {
    machine.confirmAnswer = 7;
    run();
    EXPECT_EQ(machine.messageBoxes.at(0).text, englishConfirmation);
}

TEST_F(BootstrapTest, ShowsTheRussianConfirmationWordForWord) {
    machine.uiLanguage = 0x419;
    machine.confirmAnswer = 7;
    run();
    EXPECT_EQ(machine.messageBoxes.at(0).text, russianConfirmation);
}

TEST_F(BootstrapTest, GivesTheScriptHostTheHandOffCommandLineCharacterForCharacter) {
    run();
    ASSERT_EQ(machine.createProcesses.size(), 1u);
    EXPECT_EQ(machine.createProcesses[0].commandLine, handOffCommandLine);
}

TEST_F(BootstrapTest, DropsTheWorkVariableBeforeTheSetupFileVariable) {
    run();
    // The three mode variables are removed before the start as well: an interactive run has none.
    EXPECT_EQ(machine.removedVariables,
              (std::vector<std::u16string>{u"TARNQUILL_SETUP_MODE", u"TARNQUILL_SETUP_LOG",
                                           u"TARNQUILL_SETUP_REMOVEOLD", u"TARNQUILL_SETUP_WORK",
                                           u"TARNQUILL_SETUP_EXE", u"TARNQUILL_SETUP_MODE",
                                           u"TARNQUILL_SETUP_LOG", u"TARNQUILL_SETUP_REMOVEOLD"}));
}

enum class LeftBehind { Nothing, Folder, FolderAndArchive };

struct FailureCase {
    const char* name;
    std::function<void()> arrange;
    std::u16string message;
    LeftBehind left;
    unsigned code = 1603;
};

void PrintTo(const FailureCase& c, std::ostream* os) {
    *os << c.name;
}

class Failure : public BootstrapTest, public ::testing::WithParamInterface<FailureCase> {};

TEST_P(Failure, ShowsItsOneErrorDialogAndEndsWithItsCode) {
    GetParam().arrange();
    EXPECT_EQ(run(), GetParam().code);
    ASSERT_EQ(machine.messageBoxes.size(), 2u);
    EXPECT_EQ(machine.messageBoxes[1].text, GetParam().message);
    EXPECT_EQ(machine.messageBoxes[1].caption, title);
    EXPECT_EQ(machine.messageBoxes[1].style, 0x10u);
    EXPECT_EQ(machine.calls.back(), "ExitProcess");
}

TEST_P(Failure, KeepsWhatEarlierStepsCreated) {
    const bool folderExisted = std::string(GetParam().name) == "WorkFolderExists";
    GetParam().arrange();
    run();
    const std::u16string work = expectedWorkFolder();
    switch (GetParam().left) {
    case LeftBehind::Nothing:
        EXPECT_EQ(machine.directories.size(), folderExisted ? 1u : 0u);
        EXPECT_TRUE(machine.files.empty());
        break;
    case LeftBehind::Folder:
        EXPECT_EQ(machine.directories, std::set<std::u16string>{work});
        EXPECT_TRUE(machine.files.empty());
        break;
    case LeftBehind::FolderAndArchive:
        EXPECT_EQ(machine.directories, std::set<std::u16string>{work});
        EXPECT_EQ(machine.files.count(work + u"\\source.zip"), 1u);
        break;
    }
}

const std::u16string tempMessage = u"Could not access the temporary folder.";
const std::u16string folderMessage = u"Could not create the installation folder.";
const std::u16string missingMessage = u"The embedded application archive is missing.";
const std::u16string invalidMessage = u"The embedded application archive is invalid.";
const std::u16string createMessage = u"Could not write the application archive.";
const std::u16string writeMessage = u"The application archive could not be written completely.";
const std::u16string diskFullMessage = u"The application archive could not be written completely: "
                                       u"the disk of the temporary folder is full.";
const std::u16string locateMessage = u"Could not locate Windows PowerShell.";
const std::u16string environmentMessage = u"Could not prepare the installer environment.";
const std::u16string resolveMessage = u"Could not resolve the installer file for SHA-256 display.";
const std::u16string startMessage = u"Windows PowerShell could not start. Use INSTALL_AND_RUN.cmd "
                                    u"from the source archive instead.";
const std::u16string unfinishedMessage =
    u"Installation did not finish. Review the PowerShell message and installer.log, or use "
    u"INSTALL_AND_RUN.cmd from the source archive.";

INSTANTIATE_TEST_SUITE_P(
    Steps, Failure,
    ::testing::Values(
        FailureCase{"TempPathLengthZero", [] { machine.tempLength = 0; }, tempMessage,
                    LeftBehind::Nothing},
        FailureCase{"TempPathLength30000", [] { machine.tempLength = 30000; }, tempMessage,
                    LeftBehind::Nothing},
        FailureCase{"TempPathTooLongForTheBuffer",
                    [] { machine.tempPath = u"C:\\" + std::u16string(30000, u'x') + u"\\"; },
                    tempMessage, LeftBehind::Nothing},
        FailureCase{"WorkFolderExists", [] { machine.directories.insert(expectedWorkFolder()); },
                    folderMessage, LeftBehind::Nothing},
        FailureCase{"PayloadMissing", [] { machine.payloadPresent = false; }, missingMessage,
                    LeftBehind::Folder},
        FailureCase{"PayloadPointerNull", [] { machine.lockGivesNull = true; }, invalidMessage,
                    LeftBehind::Folder},
        FailureCase{"Payload999Bytes", [] { machine.payload = bytes(999); }, invalidMessage,
                    LeftBehind::Folder},
        FailureCase{"PayloadEmpty", [] { machine.payload.clear(); }, invalidMessage,
                    LeftBehind::Folder},
        FailureCase{"ArchiveNotCreated", [] { machine.createFileFails = true; }, createMessage,
                    LeftBehind::Folder},
        FailureCase{"WriteFailed",
                    [] {
                        machine.writeFileFails = true;
                        machine.writeError = 5; // access denied
                    },
                    writeMessage, LeftBehind::FolderAndArchive},
        FailureCase{"WriteShort", [] { machine.writeShortBy = 1; }, diskFullMessage,
                    LeftBehind::FolderAndArchive, 112},
        FailureCase{"WriteDiskFull",
                    [] {
                        machine.writeFileFails = true;
                        machine.writeError = 112;
                    },
                    diskFullMessage, LeftBehind::FolderAndArchive, 112},
        FailureCase{"WriteHandleDiskFull",
                    [] {
                        machine.writeFileFails = true;
                        machine.writeError = 39;
                    },
                    diskFullMessage, LeftBehind::FolderAndArchive, 112},
        FailureCase{"SystemFolderLengthZero", [] { machine.systemLength = 0; }, locateMessage,
                    LeftBehind::FolderAndArchive},
        FailureCase{"SystemFolderLength29000",
                    [] { machine.systemDirectory = u"C:\\" + std::u16string(28997, u's'); },
                    locateMessage, LeftBehind::FolderAndArchive},
        FailureCase{"WorkVariableNotSet",
                    [] { machine.setEnvironmentFailsFor.insert(u"TARNQUILL_SETUP_WORK"); },
                    environmentMessage, LeftBehind::FolderAndArchive},
        FailureCase{"OwnPathLengthZero", [] { machine.moduleLength = 0; }, resolveMessage,
                    LeftBehind::FolderAndArchive},
        FailureCase{"OwnPathLength32768", [] { machine.moduleLength = 32768; }, resolveMessage,
                    LeftBehind::FolderAndArchive},
        FailureCase{"ExeVariableNotSet",
                    [] { machine.setEnvironmentFailsFor.insert(u"TARNQUILL_SETUP_EXE"); },
                    resolveMessage, LeftBehind::FolderAndArchive},
        FailureCase{"ScriptHostNotStarted", [] { machine.createProcessFails = true; }, startMessage,
                    LeftBehind::FolderAndArchive},
        FailureCase{"ScriptHostEndedWithOne", [] { machine.childExitCode = 1; }, unfinishedMessage,
                    LeftBehind::FolderAndArchive},
        FailureCase{"ScriptHostConsoleClosed", [] { machine.childExitCode = 0xC000013A; },
                    unfinishedMessage, LeftBehind::FolderAndArchive},
        FailureCase{"ExitCodeQueryFailed", [] { machine.exitCodeQueryFails = true; },
                    unfinishedMessage, LeftBehind::FolderAndArchive}),
    [](const ::testing::TestParamInfo<FailureCase>& info) { return std::string(info.param.name); });

TEST_F(BootstrapTest, APayloadOf1000BytesIsAccepted) {
    machine.payload = bytes(1000);
    EXPECT_EQ(run(), 0u);
    EXPECT_EQ(machine.files[expectedWorkFolder() + u"\\source.zip"].size(), 1000u);
}

TEST_F(BootstrapTest, ATempPathOf29999CharactersIsAccepted) {
    machine.tempPath = u"C:\\" + std::u16string(29995, u't') + u"\\";
    ASSERT_EQ(machine.tempPath.size(), 29999u);
    EXPECT_EQ(run(), 0u);
    EXPECT_EQ(machine.directories, std::set<std::u16string>{expectedWorkFolder()});
}

TEST_F(BootstrapTest, ASystemFolderOf28999CharactersIsAccepted) {
    machine.systemDirectory = u"C:\\" + std::u16string(28996, u's');
    ASSERT_EQ(machine.systemDirectory.size(), 28999u);
    EXPECT_EQ(run(), 0u);
    ASSERT_EQ(machine.createProcesses.size(), 1u);
    EXPECT_EQ(machine.createProcesses[0].application,
              machine.systemDirectory + u"\\WindowsPowerShell\\v1.0\\powershell.exe");
}

TEST_F(BootstrapTest, AnOwnPathOf32767CharactersIsAccepted) {
    machine.modulePath = u"C:\\" + std::u16string(32760, u'm') + u".exe";
    ASSERT_EQ(machine.modulePath.size(), 32767u);
    EXPECT_EQ(run(), 0u);
    EXPECT_EQ(machine.createProcesses.at(0).inheritedEnvironment.at(u"TARNQUILL_SETUP_EXE"),
              machine.modulePath);
}

TEST_F(BootstrapTest, TheProcessIdHalfOfTheFolderNameBeginsWithEightZeros) {
    machine.processId = 0xFFFFFFFF;
    machine.tickCount = 0;
    run();
    ASSERT_EQ(machine.directories.size(), 1u);
    const std::u16string folder = *machine.directories.begin();
    const std::u16string name = folder.substr(machine.tempPath.size());
    EXPECT_EQ(name, u"TARNQUILL-Setup-" + version + u"-0000000000000000-00000000ffffffff");
    EXPECT_EQ(name.size(), 39u + version.size() + 11u);
}

TEST_F(BootstrapTest, TheTickCountIsWrittenWithAllSixteenDigits) {
    machine.tickCount = 0xFEDCBA9876543210ULL;
    machine.processId = 0;
    run();
    ASSERT_EQ(machine.directories.size(), 1u);
    EXPECT_EQ(*machine.directories.begin(), machine.tempPath + u"TARNQUILL-Setup-" + version +
                                                u"-fedcba9876543210-0000000000000000");
}

// The switches of an unattended run. Each case is a command line as a deployment tool or a
// person types it, and what the run must do with it.
struct SwitchCase {
    const char* name;
    std::u16string arguments; // after the program's name
    unsigned code;
    int dialogs;          // shown in all
    const char16_t* mode; // TARNQUILL_SETUP_MODE given to the child, or null for none
    const char16_t* log;  // TARNQUILL_SETUP_LOG
    bool removeOld;
};

void PrintTo(const SwitchCase& c, std::ostream* os) {
    *os << c.name;
}

class Switches : public BootstrapTest, public ::testing::WithParamInterface<SwitchCase> {};

TEST_P(Switches, GiveTheModeToTheChildOrStopWithTheInvalidParameterCode) {
    const SwitchCase& c = GetParam();
    machine.directories.insert(u"C:\\a b");
    machine.directories.insert(u"C:\\Users\\Test User\\Downloads");
    machine.commandLine += c.arguments;
    EXPECT_EQ(run(), c.code);
    EXPECT_EQ(static_cast<int>(machine.messageBoxes.size()), c.dialogs);
    if (c.code == 87) {
        EXPECT_EQ(machine.directories.size(), 2u) << "no work folder";
        EXPECT_TRUE(machine.createProcesses.empty());
        return;
    }
    ASSERT_EQ(machine.createProcesses.size(), 1u);
    const doubles::CreateProcessCall& call = machine.createProcesses[0];
    const auto variable = [&](const char16_t* name) -> std::u16string {
        const auto found = call.inheritedEnvironment.find(name);
        return found == call.inheritedEnvironment.end() ? u"<unset>" : found->second;
    };
    EXPECT_EQ(variable(u"TARNQUILL_SETUP_MODE"), c.mode ? c.mode : u"<unset>");
    EXPECT_EQ(variable(u"TARNQUILL_SETUP_LOG"), c.log ? c.log : u"<unset>");
    EXPECT_EQ(variable(u"TARNQUILL_SETUP_REMOVEOLD"), c.removeOld ? u"1" : u"<unset>");
    const bool silent = c.mode != nullptr && std::u16string(c.mode) == u"silent";
    EXPECT_EQ(call.flags, silent ? 0x08000000u : 0x10u);
    EXPECT_FALSE(call.filesOpen) << "the /LOG file is closed while PowerShell runs";
    EXPECT_TRUE(machine.environment.empty());
}

const char16_t* const silent = u"silent";
const char16_t* const passive = u"passive";

INSTANTIATE_TEST_SUITE_P(
    CommandLines, Switches,
    ::testing::Values(
        SwitchCase{"None", u"", 0, 1, nullptr, nullptr, false},
        SwitchCase{"Silent", u" /S", 0, 0, silent, nullptr, false},
        SwitchCase{"PassiveInAnyCaseAfterTabs", u"\t\t/pAsSiVe", 0, 0, passive, nullptr, false},
        SwitchCase{"LogQuotedPath", u" /s /LOG=\"C:\\a b\\x.log\" /RemoveOld", 0, 0, silent,
                   u"C:\\a b\\x.log", true},
        SwitchCase{"LogQuotedWhole", u" \"/log=C:\\a b\\x.log\" /PASSIVE", 0, 0, passive,
                   u"C:\\a b\\x.log", false},
        SwitchCase{"LogRelative", u" /LOG=setup.log", 0, 1, nullptr,
                   u"C:\\Users\\Test User\\Downloads\\setup.log", false},
        SwitchCase{"SilentAndPassive", u" /S /PASSIVE", 87, 0, nullptr, nullptr, false},
        SwitchCase{"PassiveAndSilent", u" /PASSIVE /S", 87, 0, nullptr, nullptr, false},
        SwitchCase{"SilentTwice", u" /S /s", 87, 0, nullptr, nullptr, false},
        SwitchCase{"LogTwice", u" /LOG=C:\\a b\\1.log /LOG=C:\\a b\\2.log", 87, 1, nullptr, nullptr,
                   false},
        SwitchCase{"Unknown", u" /X", 87, 1, nullptr, nullptr, false},
        SwitchCase{"UnknownAfterPassive", u" /PASSIVE /VERYSILENT", 87, 1, nullptr, nullptr, false},
        SwitchCase{"UnknownWithSilent", u" /X /S", 87, 0, nullptr, nullptr, false},
        SwitchCase{"SwitchAsPrefix", u" /Silent", 87, 1, nullptr, nullptr, false},
        SwitchCase{"LogWithoutPath", u" /LOG", 87, 1, nullptr, nullptr, false},
        SwitchCase{"LogEmpty", u" /S /LOG=", 87, 0, nullptr, nullptr, false},
        SwitchCase{"LogInMissingFolder", u" /LOG=C:\\nowhere\\x.log", 87, 1, nullptr, nullptr,
                   false}),
    [](const ::testing::TestParamInfo<SwitchCase>& info) { return std::string(info.param.name); });

TEST_F(BootstrapTest, TheProgramNameIsSkippedQuotedOrNotWhateverItHolds) {
    // A quoted name may hold what looks like a switch; an unquoted one ends at the first blank.
    machine.commandLine = u"\"C:\\odd /X folder\\setup.exe\" /S";
    EXPECT_EQ(run(), 0u);
    SetUp();
    machine.commandLine = u"setup.exe\t/S";
    EXPECT_EQ(run(), 0u);
    EXPECT_TRUE(machine.messageBoxes.empty());
}

TEST_F(BootstrapTest, AnUnknownArgumentIsNamedWithTheValidSwitchesAndNothingIsWritten) {
    machine.commandLine += u" /q";
    EXPECT_EQ(run(), 87u);
    ASSERT_EQ(machine.messageBoxes.size(), 1u);
    EXPECT_EQ(machine.messageBoxes[0].style, 0x10u);
    const std::u16string& shown = machine.messageBoxes[0].text;
    EXPECT_TRUE(shown.starts_with(u"The setup does not accept the argument \"/q\". Valid switches: "
                                  u"/S "))
        << std::string(shown.begin(), shown.end());
    for (const char16_t* name : {u"/PASSIVE", u"/LOG=<path>", u"/REMOVEOLD"}) {
        EXPECT_NE(shown.find(name), std::u16string::npos);
    }
    EXPECT_TRUE(machine.files.empty());
    EXPECT_TRUE(machine.directories.empty());
}

std::string fileText(const std::u16string& path) {
    const std::vector<std::uint8_t>& bytes = machine.files.at(path);
    return std::string(bytes.begin(), bytes.end());
}

TEST_F(BootstrapTest, SilentArgumentErrorsGoToTheLogFileOnly) {
    machine.directories.insert(u"C:\\logs");
    machine.commandLine += u" /S /LOG=C:\\logs\\setup.log /Q";
    EXPECT_EQ(run(), 87u);
    EXPECT_TRUE(machine.messageBoxes.empty());
    const std::string log = fileText(u"C:\\logs\\setup.log");
    EXPECT_TRUE(log.starts_with("\xEF\xBB\xBF"
                                "2026-12-09T07:05:03.042Z TARNQUILL"));
    EXPECT_NE(log.find("Z The setup does not accept the argument \"/Q\". Valid switches:"),
              std::string::npos);
    EXPECT_TRUE(log.ends_with("Z Setup ended with exit code 87.\r\n"));
    EXPECT_EQ(machine.files.size(), 1u);
    EXPECT_TRUE(machine.directories.count(u"C:\\logs") == 1 && machine.directories.size() == 1);
}

TEST_F(BootstrapTest, ALogFileThatCannotBeCreatedStopsBeforeAnythingElse) {
    machine.directories.insert(u"C:\\logs");
    machine.unwritableFiles.insert(u"C:\\logs\\setup.log");
    machine.commandLine += u" /PASSIVE /LOG=C:\\logs\\setup.log";
    EXPECT_EQ(run(), 87u);
    ASSERT_EQ(machine.messageBoxes.size(), 1u);
    EXPECT_EQ(machine.messageBoxes[0].text, u"The log file \"C:\\logs\\setup.log\" cannot be "
                                            u"created or written. Nothing was installed.");
    std::vector<std::string> calls;
    std::copy_if(machine.calls.begin(), machine.calls.end(), std::back_inserter(calls),
                 [](const std::string& call) { return !call.starts_with("lstr"); });
    EXPECT_EQ(calls, (std::vector<std::string>{"GetCommandLineW", "GetFullPathNameW", "CreateFileW",
                                               "MessageBoxW", "ExitProcess"}));
    SetUp();
    machine.directories.insert(u"C:\\logs");
    machine.unwritableFiles.insert(u"C:\\logs\\setup.log");
    machine.commandLine += u" /LOG=C:\\logs\\setup.log /S";
    EXPECT_EQ(run(), 87u);
    EXPECT_TRUE(machine.messageBoxes.empty());
}

TEST_F(BootstrapTest, TheLogFileGetsTheStartAndTheOutcomeAroundTheChild) {
    machine.directories.insert(u"C:\\logs");
    machine.files[u"C:\\logs\\setup.log"] = {'o', 'l', 'd'}; // an earlier run's log is replaced
    machine.commandLine += u" /S /LOG=C:\\logs\\setup.log";
    machine.childExitCode = 15618;
    EXPECT_EQ(run(), 15618u);
    EXPECT_EQ(fileText(u"C:\\logs\\setup.log"),
              "\xEF\xBB\xBF"
              "2026-12-09T07:05:03.042Z TARNQUILL " +
                  std::string(TARNQUILL_TEST_VERSION) +
                  " setup started with the command line: \"C:\\Users\\Test "
                  "User\\Downloads\\TARNQUILL-Setup.exe\" /S /LOG=C:\\logs\\setup.log\r\n"
                  "2026-12-09T07:05:03.042Z Setup ended with exit code 15618.\r\n");
    EXPECT_TRUE(machine.openHandles.empty());
}

TEST_F(BootstrapTest, ASilentFailureOfTheSetupItselfIsLoggedWithoutADialog) {
    machine.directories.insert(u"C:\\logs");
    machine.commandLine += u" /S /LOG=C:\\logs\\setup.log";
    machine.payloadPresent = false;
    EXPECT_EQ(run(), 1603u);
    EXPECT_TRUE(machine.messageBoxes.empty());
    const std::string log = fileText(u"C:\\logs\\setup.log");
    EXPECT_NE(log.find("Z The embedded application archive is missing.\r\n"), std::string::npos);
    EXPECT_TRUE(log.ends_with("Z Setup ended with exit code 1603.\r\n"));
}

TEST_F(BootstrapTest, AnArgumentIsLoggedAsUtf8) {
    machine.directories.insert(u"C:\\logs");
    machine.commandLine += u" /S /LOG=C:\\logs\\setup.log /\u0416\U0001F600";
    EXPECT_EQ(run(), 87u);
    EXPECT_NE(fileText(u"C:\\logs\\setup.log").find("argument \"/\xD0\x96\xF0\x9F\x98\x80\""),
              std::string::npos);
}

// The child's code when it is one of the table's, the general failure code for anything else;
// the final dialog only when a person runs the setup.
TEST_F(BootstrapTest, TheChildsCodeIsPassedOnWhenItIsOneOfTheTable) {
    const std::vector<std::pair<unsigned, unsigned>> codes = {
        {0, 0},       {87, 87},     {112, 112},   {1231, 1231},      {1602, 1602},
        {1603, 1603}, {1618, 1618}, {1625, 1625}, {15618, 15618},    {1, 1603},
        {2, 1603},    {66, 1603},   {1601, 1603}, {0xC000013A, 1603}};
    for (const auto& [child, expected] : codes) {
        for (const char16_t* switches : {u"", u" /S", u" /PASSIVE"}) {
            SetUp();
            machine.commandLine += switches;
            machine.childExitCode = child;
            EXPECT_EQ(run(), expected) << "child " << child;
            const bool interactive = std::u16string(switches).empty();
            EXPECT_EQ(machine.messageBoxes.size(), interactive ? (expected ? 2u : 1u) : 0u)
                << "child " << child;
        }
    }
}

TEST_F(BootstrapTest, ModeVariablesLeftByAnOuterProcessDoNotReachAnInteractiveChild) {
    machine.environment[u"TARNQUILL_SETUP_MODE"] = u"silent";
    machine.environment[u"TARNQUILL_SETUP_LOG"] = u"C:\\elsewhere.log";
    machine.environment[u"TARNQUILL_SETUP_REMOVEOLD"] = u"1";
    EXPECT_EQ(run(), 0u);
    const auto& inherited = machine.createProcesses.at(0).inheritedEnvironment;
    EXPECT_EQ(inherited.count(u"TARNQUILL_SETUP_MODE"), 0u);
    EXPECT_EQ(inherited.count(u"TARNQUILL_SETUP_LOG"), 0u);
    EXPECT_EQ(inherited.count(u"TARNQUILL_SETUP_REMOVEOLD"), 0u);
}

} // namespace
