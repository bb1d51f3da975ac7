// Setup bootstrap of the TARNQUILL online installer.
//
// The whole run-time code of the setup executable: confirm with the user, write the payload
// archive (RT_RCDATA 2000) into a fresh work folder under the temporary folder, start Windows
// PowerShell with the hand-off command and report how it ended.
//
// Freestanding on purpose: no runtime library, no start-up code, no heap, no exceptions. All
// storage is static and zero-initialised, and every Windows function used is declared below, so
// the file compiles without a platform SDK. The image builder writes the release version over
// every @VERSION@ placeholder before compiling.
//
// A host build compiles this same file against test doubles of the Windows functions; it
// defines WINAPI and DECLSPEC_IMPORT as empty.

#ifndef WINAPI
#define WINAPI __stdcall
#endif
#ifndef DECLSPEC_IMPORT
#define DECLSPEC_IMPORT __declspec(dllimport)
#endif

// Fixed-width Windows types (LLP64): DWORD and UINT are 32 bits on every target we build for.
typedef int BOOL;
typedef unsigned int DWORD;
typedef unsigned int UINT;
typedef unsigned short LANGID;
typedef unsigned long long ULONGLONG;
typedef void* HANDLE;

struct STARTUPINFOW {
    DWORD cb;
    char16_t* lpReserved;
    char16_t* lpDesktop;
    char16_t* lpTitle;
    DWORD dwX;
    DWORD dwY;
    DWORD dwXSize;
    DWORD dwYSize;
    DWORD dwXCountChars;
    DWORD dwYCountChars;
    DWORD dwFillAttribute;
    DWORD dwFlags;
    unsigned short wShowWindow;
    unsigned short cbReserved2;
    unsigned char* lpReserved2;
    HANDLE hStdInput;
    HANDLE hStdOutput;
    HANDLE hStdError;
};

struct PROCESS_INFORMATION {
    HANDLE hProcess;
    HANDLE hThread;
    DWORD dwProcessId;
    DWORD dwThreadId;
};

extern "C" {
// USER32
DECLSPEC_IMPORT int WINAPI MessageBoxW(HANDLE window, const char16_t* text, const char16_t* caption,
                                       UINT style);

// KERNEL32
DECLSPEC_IMPORT LANGID WINAPI GetUserDefaultUILanguage();
DECLSPEC_IMPORT DWORD WINAPI GetTempPathW(DWORD size, char16_t* buffer);
DECLSPEC_IMPORT char16_t* WINAPI lstrcatW(char16_t* to, const char16_t* text);
DECLSPEC_IMPORT char16_t* WINAPI lstrcpyW(char16_t* to, const char16_t* text);
DECLSPEC_IMPORT int WINAPI lstrlenW(const char16_t* text);
DECLSPEC_IMPORT ULONGLONG WINAPI GetTickCount64();
DECLSPEC_IMPORT DWORD WINAPI GetCurrentProcessId();
DECLSPEC_IMPORT BOOL WINAPI CreateDirectoryW(const char16_t* path, void* security);
DECLSPEC_IMPORT HANDLE WINAPI FindResourceW(HANDLE module, const char16_t* name,
                                            const char16_t* type);
DECLSPEC_IMPORT DWORD WINAPI SizeofResource(HANDLE module, HANDLE resource);
DECLSPEC_IMPORT HANDLE WINAPI LoadResource(HANDLE module, HANDLE resource);
DECLSPEC_IMPORT void* WINAPI LockResource(HANDLE loaded);
DECLSPEC_IMPORT HANDLE WINAPI CreateFileW(const char16_t* path, DWORD access, DWORD share,
                                          void* security, DWORD disposition, DWORD attributes,
                                          HANDLE templateFile);
DECLSPEC_IMPORT BOOL WINAPI WriteFile(HANDLE file, const void* data, DWORD size, DWORD* written,
                                      void* overlapped);
DECLSPEC_IMPORT BOOL WINAPI CloseHandle(HANDLE handle);
DECLSPEC_IMPORT UINT WINAPI GetSystemDirectoryW(char16_t* buffer, UINT size);
DECLSPEC_IMPORT BOOL WINAPI SetEnvironmentVariableW(const char16_t* name, const char16_t* value);
DECLSPEC_IMPORT DWORD WINAPI GetModuleFileNameW(HANDLE module, char16_t* buffer, DWORD size);
DECLSPEC_IMPORT BOOL WINAPI CreateProcessW(const char16_t* application, char16_t* commandLine,
                                           void* processSecurity, void* threadSecurity,
                                           BOOL inheritHandles, DWORD flags, void* environment,
                                           const char16_t* directory, STARTUPINFOW* startup,
                                           PROCESS_INFORMATION* process);
DECLSPEC_IMPORT DWORD WINAPI WaitForSingleObject(HANDLE handle, DWORD milliseconds);
DECLSPEC_IMPORT BOOL WINAPI GetExitCodeProcess(HANDLE process, DWORD* exitCode);
[[noreturn]] DECLSPEC_IMPORT void WINAPI ExitProcess(UINT exitCode);
}

namespace {

const DWORD pathBufferSize = 32768;

const LANGID primaryLanguageMask = 0x3FF; // low 10 bits of a language identifier
const LANGID russianPrimaryLanguage = 0x19;
const UINT confirmStyle = 0x24; // Yes/No buttons with the question icon
const int idYes = 6;
const UINT errorStyle = 0x10; // OK button with the stop icon
const DWORD askedPathSize = 30000;
const DWORD longestTempPath = 29999;
const UINT longestSystemPath = 28999; // leaves room for the PowerShell path below
const unsigned long long payloadName = 2000;
const unsigned long long rtRcdata = 10;
const DWORD smallestPayload = 1000;
const DWORD genericWrite = 0x40000000;
const DWORD createNew = 1;
const DWORD normalAttributes = 0x80;
const DWORD createNewConsole = 0x10;
const DWORD infinite = 0xFFFFFFFF;
const unsigned long long invalidHandle = ~0ULL; // INVALID_HANDLE_VALUE

// Both confirmation texts name the same two download locations, in the order in which the
// runtime download tries them.
#define PRIMARY_LOCATION u"github.com/electron/electron"
#define FALLBACK_LOCATION u"sourceforge.net/projects/electron.mirror"

const char16_t dialogTitle[] = u"TARNQUILL @VERSION@ Setup";
const char16_t consoleTitle[] = u"TARNQUILL @VERSION@ - installation progress";
const char16_t workFolderPrefix[] = u"TARNQUILL-Setup-@VERSION@-";
const char16_t archiveName[] = u"\\source.zip";
const char16_t powershellBelowSystem[] = u"\\WindowsPowerShell\\v1.0\\powershell.exe";
const char16_t workVariable[] = u"TARNQUILL_SETUP_WORK";
const char16_t exeVariable[] = u"TARNQUILL_SETUP_EXE";

// clang-format off
const char16_t englishConfirmation[] =
    u"Install TARNQUILL @VERSION@?\n\nThis is an ONLINE installer. It contains the application "
    u"source and downloads Electron 43.4.1 from "
    PRIMARY_LOCATION
    u" (fallback: "
    FALLBACK_LOCATION
    u"), checking its pinned SHA-256. The next screen lists full URLs, the installation folder "
    u"and your installer hash before any download.\n\nClose TARNQUILL first (Exit in the tray "
    u"menu). Internet is required. No administrator rights or payment details are requested. A "
    u"PowerShell progress window will open.\n\nWindows installation has not been runtime-tested "
    u"in the build environment.";

// "Electron 43.4.1: <primary>; <fallback>. Install TARNQUILL <version>? This is an online
// installer. Downloading Electron needs the internet. SHA-256 is checked. First close TARNQUILL
// from the tray menu. A PowerShell window with the installation progress will open. No
// administrator rights or payment are needed. The installer has not been run on Windows here."
const char16_t russianConfirmation[] =
    u"Electron 43.4.1: "
    PRIMARY_LOCATION
    u"; "
    FALLBACK_LOCATION
    u".\n\n\u0423\u0441\u0442\u0430\u043D\u043E\u0432\u0438\u0442\u044C TARNQUILL "
    u"@VERSION@?\n\n\u042D\u0442\u043E "
    u"\u043E\u043D\u043B\u0430\u0439\u043D-"
    u"\u0443\u0441\u0442\u0430\u043D\u043E\u0432\u0449\u0438\u043A. "
    u"\u0414\u043B\u044F \u0437\u0430\u0433\u0440\u0443\u0437\u043A\u0438 Electron "
    u"\u043D\u0443\u0436\u0435\u043D \u0438\u043D\u0442\u0435\u0440\u043D\u0435\u0442. "
    u"\u041F\u0440\u043E\u0432\u0435\u0440\u044F\u0435\u0442\u0441\u044F "
    u"SHA-256.\n\n\u0421\u043D\u0430\u0447\u0430\u043B\u0430 "
    u"\u0437\u0430\u043A\u0440\u043E\u0439 TARNQUILL \u0447\u0435\u0440\u0435\u0437 "
    u"\u043C\u0435\u043D\u044E \u0432 \u0442\u0440\u0435\u0435. "
    u"\u041E\u0442\u043A\u0440\u043E\u0435\u0442\u0441\u044F \u043E\u043A\u043D\u043E "
    u"PowerShell \u0441 \u0445\u043E\u0434\u043E\u043C "
    u"\u0443\u0441\u0442\u0430\u043D\u043E\u0432\u043A\u0438. "
    u"\u041F\u0440\u0430\u0432\u0430 "
    u"\u0430\u0434\u043C\u0438\u043D\u0438\u0441\u0442\u0440\u0430\u0442\u043E\u0440\u0430 "
    u"\u0438 \u043E\u043F\u043B\u0430\u0442\u0430 \u043D\u0435 "
    u"\u043D\u0443\u0436\u043D\u044B.\n\n\u0417\u0430\u043F\u0443\u0441\u043A "
    u"\u0443\u0441\u0442\u0430\u043D\u043E\u0432\u0449\u0438\u043A\u0430 \u043D\u0430 "
    u"Windows \u0437\u0434\u0435\u0441\u044C \u043D\u0435 "
    u"\u043F\u0440\u043E\u0432\u0435\u0440\u044F\u043B\u0441\u044F.";
// clang-format on

// The command line of the script host. It carries no path: the work folder and the setup file
// travel in the two environment variables, so no path is ever quoted into a command.
// Expand-Archive of Windows PowerShell tests an existing destination as a wildcard pattern, so
// the work folder goes in escaped: a temporary folder with [ or ] in its path would otherwise not
// be found and then fail to be created again. The removal is tried for a few seconds, because a
// scanner, the indexer or a closing handle may still hold a file when the installation ends.
const char16_t handOffCommand[] =
    u"\"WindowsPowerShell\" -NoLogo -NoProfile -ExecutionPolicy Bypass -Command \""
    u"$ErrorActionPreference='Stop'; $work=$env:TARNQUILL_SETUP_WORK; $success=$false; "
    u"try { Expand-Archive -LiteralPath (Join-Path $work 'source.zip') -DestinationPath "
    u"([Management.Automation.WildcardPattern]::Escape($work)) -Force; "
    u"& (Join-Path $work 'TARNQUILL-v@VERSION@\\scripts\\install.ps1'); "
    u"if (-not $?) { throw 'Installation failed.' }; $success=$true } "
    u"catch { Write-Host $_.Exception.Message -ForegroundColor Red; "
    u"Write-Host 'Log: %LOCALAPPDATA%\\TARNQUILL\\Logs\\installer.log'; "
    u"Read-Host 'Press Enter to close'; exit 1 } "
    u"finally { if ($success) { for ($attempt=0; $attempt -lt 10 -and "
    u"(Test-Path -LiteralPath $work); $attempt++) { if ($attempt) { Start-Sleep -Milliseconds 500 "
    u"}; Remove-Item -LiteralPath $work -Recurse -Force -ErrorAction SilentlyContinue } } }; "
    u"exit 0\"";
// CreateProcessW takes at most 32,767 characters, the terminating zero included.
static_assert(sizeof(handOffCommand) / sizeof(handOffCommand[0]) <= pathBufferSize - 1,
              "the hand-off command line is longer than process creation allows");

const char16_t digits[16] = {u'0', u'1', u'2', u'3', u'4', u'5', u'6', u'7',
                             u'8', u'9', u'a', u'b', u'c', u'd', u'e', u'f'};

char16_t bootstrapPath[pathBufferSize];
char16_t work[pathBufferSize];
char16_t zipPath[pathBufferSize];
char16_t powershell[pathBufferSize];
char16_t command[pathBufferSize]; // writable: CreateProcessW may modify its command line
STARTUPINFOW si;
PROCESS_INFORMATION pi;

// Appends exactly 16 lower-case hex digits of n, most significant first, and a terminating zero.
void appendHex(char16_t* out, unsigned long long n) {
    int p = lstrlenW(out);
    for (int i = 15; i >= 0; --i) {
        out[p++] = digits[(n >> (4 * i)) & 0xF];
    }
    out[p] = 0;
}

[[noreturn]] void fail(const char16_t* message) {
    MessageBoxW(nullptr, message, dialogTitle, errorStyle);
    ExitProcess(1);
}

} // namespace

extern "C" [[noreturn]] void mainCRTStartup() {
    // Every sublanguage of Russian gets the Russian text, every other language the English one.
    const bool russian =
        (GetUserDefaultUILanguage() & primaryLanguageMask) == russianPrimaryLanguage;
    const char16_t* confirmation = russian ? russianConfirmation : englishConfirmation;
    if (MessageBoxW(nullptr, confirmation, dialogTitle, confirmStyle) != idYes) {
        ExitProcess(0);
    }

    const DWORD tempLength = GetTempPathW(askedPathSize, work);
    if (tempLength < 1 || tempLength > longestTempPath) {
        fail(u"Could not access the temporary folder.");
    }
    lstrcatW(work, workFolderPrefix);
    appendHex(work, GetTickCount64());
    lstrcatW(work, u"-");
    appendHex(work, GetCurrentProcessId());
    if (!CreateDirectoryW(work, nullptr)) {
        fail(u"Could not create the installation folder.");
    }
    lstrcpyW(zipPath, work);
    lstrcatW(zipPath, archiveName);

    const HANDLE resource = FindResourceW(nullptr, reinterpret_cast<const char16_t*>(payloadName),
                                          reinterpret_cast<const char16_t*>(rtRcdata));
    if (resource == nullptr) {
        fail(u"The embedded application archive is missing.");
    }
    const DWORD payloadSize = SizeofResource(nullptr, resource);
    const void* payload = LockResource(LoadResource(nullptr, resource));
    if (payload == nullptr || payloadSize < smallestPayload) {
        fail(u"The embedded application archive is invalid.");
    }

    const HANDLE file =
        CreateFileW(zipPath, genericWrite, 0, nullptr, createNew, normalAttributes, nullptr);
    if (reinterpret_cast<unsigned long long>(file) == invalidHandle) {
        fail(u"Could not write the application archive.");
    }
    DWORD written = 0;
    const BOOL wrote = WriteFile(file, payload, payloadSize, &written, nullptr);
    CloseHandle(file);
    if (!wrote || written != payloadSize) {
        fail(u"The application archive could not be written completely.");
    }

    const UINT systemLength = GetSystemDirectoryW(powershell, askedPathSize);
    if (systemLength < 1 || systemLength > longestSystemPath) {
        fail(u"Could not locate Windows PowerShell.");
    }
    lstrcatW(powershell, powershellBelowSystem);

    if (!SetEnvironmentVariableW(workVariable, work)) {
        fail(u"Could not prepare the installer environment.");
    }
    const DWORD ownLength = GetModuleFileNameW(nullptr, bootstrapPath, pathBufferSize);
    if (ownLength == 0 || ownLength >= pathBufferSize ||
        !SetEnvironmentVariableW(exeVariable, bootstrapPath)) {
        fail(u"Could not resolve the installer file for SHA-256 display.");
    }

    lstrcpyW(command, handOffCommand);
    si.cb = sizeof(si);
    si.lpTitle = const_cast<char16_t*>(consoleTitle);
    if (!CreateProcessW(powershell, command, nullptr, nullptr, 0, createNewConsole, nullptr,
                        nullptr, &si, &pi)) {
        fail(u"Windows PowerShell could not start. Use INSTALL_AND_RUN.cmd from the source "
             u"archive instead.");
    }
    // The child holds its own copies; ours are not needed any more.
    SetEnvironmentVariableW(workVariable, nullptr);
    SetEnvironmentVariableW(exeVariable, nullptr);

    CloseHandle(pi.hThread);
    WaitForSingleObject(pi.hProcess, infinite);
    DWORD exitCode = 1; // stays 1 when the query fails
    GetExitCodeProcess(pi.hProcess, &exitCode);
    CloseHandle(pi.hProcess);
    if (exitCode != 0) {
        fail(u"Installation did not finish. Review the PowerShell message and installer.log, or "
             u"use INSTALL_AND_RUN.cmd from the source archive.");
    }
    ExitProcess(0);
}
