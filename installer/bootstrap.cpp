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

struct SYSTEMTIME {
    unsigned short wYear;
    unsigned short wMonth;
    unsigned short wDayOfWeek;
    unsigned short wDay;
    unsigned short wHour;
    unsigned short wMinute;
    unsigned short wSecond;
    unsigned short wMilliseconds;
};

extern "C" {
// USER32
DECLSPEC_IMPORT int WINAPI MessageBoxW(HANDLE window, const char16_t* text, const char16_t* caption,
                                       UINT style);

// KERNEL32
DECLSPEC_IMPORT char16_t* WINAPI GetCommandLineW();
DECLSPEC_IMPORT DWORD WINAPI GetFullPathNameW(const char16_t* path, DWORD size, char16_t* buffer,
                                              char16_t** filePart);
DECLSPEC_IMPORT DWORD WINAPI GetLastError();
DECLSPEC_IMPORT void WINAPI GetSystemTime(SYSTEMTIME* time);
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
const DWORD appendData = 0x4; // FILE_APPEND_DATA: every write goes to the end of the file
const DWORD shareRead = 0x1;
const DWORD shareReadWrite = 0x3;
const DWORD createNew = 1;
const DWORD createAlways = 2;
const DWORD openAlways = 4;
const DWORD normalAttributes = 0x80;
const DWORD createNewConsole = 0x10;
const DWORD createNoWindow = 0x08000000;
const DWORD infinite = 0xFFFFFFFF;
const unsigned long long invalidHandle = ~0ULL; // INVALID_HANDLE_VALUE
const DWORD errorDiskFull = 112;
const DWORD errorHandleDiskFull = 39;

// Exit codes; each has its row in the README's table.
const UINT exitSuccess = 0;
const UINT exitInvalidParameter = 87;
const UINT exitDiskFull = 112;
const UINT exitUserExit = 1602;
const UINT exitFailure = 1603;
const UINT exitAlreadyRunning = 1618;
const UINT exitPackageRejected = 1625;
const UINT exitNetworkUnreachable = 1231;
const UINT exitPackagesInUse = 15618;

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
const char16_t modeVariable[] = u"TARNQUILL_SETUP_MODE";
const char16_t logVariable[] = u"TARNQUILL_SETUP_LOG";
const char16_t removeOldVariable[] = u"TARNQUILL_SETUP_REMOVEOLD";

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

const char16_t validSwitches[] =
    u" Valid switches: /S (silent: no window, no question), /PASSIVE (unattended, with the "
    u"progress window), /LOG=<path> (a copy of the log in that file), /REMOVEOLD (in an "
    u"unattended run, remove the older versions that an interactive run offers to remove). "
    u"Nothing was installed.";

// The command line of the script host. It carries no path: the work folder, the setup file and
// the /LOG file travel in environment variables, so no path is ever quoted into a command.
// The language mode is tested first, with nothing that Constrained Language Mode refuses before
// it: application control turns every later step into PowerShell's own error text.
// Expand-Archive of Windows PowerShell tests an existing destination as a wildcard pattern, so
// the work folder goes in escaped. The escape is our own (a backtick before each backtick, [, ],
// * and ?): WildcardPattern.Escape of Windows PowerShell 5.1 leaves the backtick alone, and the
// text must be the same on 5.1 and 7.x. install.ps1 prints and logs its own failures and ends
// with the code of the table; only the hand-off's own failures are printed here. The removal is
// tried for a few seconds, because a scanner, the indexer or a closing handle may still hold a
// file when the installation ends.
const char16_t handOffCommand[] =
    u"\"WindowsPowerShell\" -NoLogo -NoProfile -ExecutionPolicy Bypass -Command \""
    u"$ErrorActionPreference='Stop'; $log=$env:TARNQUILL_SETUP_LOG; "
    u"$ask=-not $env:TARNQUILL_SETUP_MODE; "
    u"function Stop-TarnquillSetup($text, $code, $logLine) { "
    u"Write-Host $text -ForegroundColor Red; "
    u"if ($logLine) { Write-Host 'Log: %LOCALAPPDATA%\\TARNQUILL\\Logs\\installer.log' }; "
    u"if ($log) { try { Add-Content -LiteralPath $log -Value ((Get-Date -Format o) + ' ERROR ' + "
    u"$text) -Encoding UTF8 } catch { } }; "
    u"if ($ask) { Read-Host 'Press Enter to close' }; exit $code }; "
    u"function Get-TarnquillFailureCode($problem) { "
    u"for ($inner = $problem; $inner; $inner = $inner.InnerException) { "
    u"if ($inner.HResult -eq -2147024784 -or $inner.HResult -eq -2147024857) { return 112 } }; "
    u"return 1603 }; "
    u"if ($ExecutionContext.SessionState.LanguageMode -ne 'FullLanguage') { "
    u"Stop-TarnquillSetup ('Installation blocked: application control on this PC (such as "
    u"AppLocker or WDAC) has put Windows PowerShell into Constrained Language Mode, so the "
    u"setup''s scripts cannot run. Nothing was installed. An administrator can allow the setup "
    u"and its scripts with an application control rule.') 1625 $false }; "
    u"$work=$env:TARNQUILL_SETUP_WORK; "
    u"try { Expand-Archive -LiteralPath (Join-Path $work 'source.zip') -DestinationPath "
    u"($work -replace '([`\\[\\]*?])', '`$1') -Force } "
    u"catch { Stop-TarnquillSetup ('The setup files could not be unpacked into ' + $work + ': ' + "
    u"$_.Exception.Message + ' Nothing was installed.') (Get-TarnquillFailureCode $_.Exception) "
    u"$true }; "
    u"$install=Join-Path $work 'TARNQUILL-v@VERSION@\\scripts\\install.ps1'; "
    u"if (-not (Test-Path -LiteralPath $install -PathType Leaf)) { "
    u"Stop-TarnquillSetup ('The install script is missing from the unpacked setup files: ' + "
    u"$install + '. Nothing was installed.') 1603 $true }; "
    u"$global:LASTEXITCODE=0; "
    u"try { & $install -Unattended:([bool]$env:TARNQUILL_SETUP_MODE) "
    u"-RemoveOld:($env:TARNQUILL_SETUP_REMOVEOLD -eq '1') "
    u"-LogPath ([string]$env:TARNQUILL_SETUP_LOG); "
    u"$code=$LASTEXITCODE } "
    u"catch { Stop-TarnquillSetup $_.Exception.Message (Get-TarnquillFailureCode $_.Exception) "
    u"$true }; "
    u"if ($code -ne 0) { if ($ask) { Read-Host 'Press Enter to close' }; exit $code }; "
    u"for ($attempt=0; $attempt -lt 10 -and (Test-Path -LiteralPath $work); $attempt++) { "
    u"if ($attempt) { Start-Sleep -Milliseconds 500 }; "
    u"Remove-Item -LiteralPath $work -Recurse -Force -ErrorAction SilentlyContinue }; "
    u"exit 0\"";
// CreateProcessW takes at most 32,767 characters, the terminating zero included.
static_assert(sizeof(handOffCommand) / sizeof(handOffCommand[0]) <= pathBufferSize - 1,
              "the hand-off command line is longer than process creation allows");

const char16_t digits[16] = {u'0', u'1', u'2', u'3', u'4', u'5', u'6', u'7',
                             u'8', u'9', u'a', u'b', u'c', u'd', u'e', u'f'};

// A message names at most one argument or path of up to 32,767 units, plus a fixed text.
const DWORD messageBufferSize = 2 * pathBufferSize;

char16_t bootstrapPath[pathBufferSize];
char16_t work[pathBufferSize];
char16_t zipPath[pathBufferSize];
char16_t powershell[pathBufferSize];
char16_t command[pathBufferSize];  // writable: CreateProcessW may modify its command line
char16_t argument[pathBufferSize]; // one argument, its grouping quotes removed
char16_t logValue[pathBufferSize]; // the /LOG path as given
char16_t logPath[pathBufferSize];  // the same, made absolute
char16_t message[messageBufferSize];
char16_t problem[messageBufferSize]; // the argument error, kept while other lines are written
char16_t logLine[messageBufferSize + 64];
unsigned char logBytes[3 * (messageBufferSize + 64)]; // UTF-8 of logLine
STARTUPINFOW si;
PROCESS_INFORMATION pi;

enum class Mode { interactive, passive, silent };

struct Arguments {
    Mode mode;
    bool silentGiven;
    bool passiveGiven;
    bool logGiven;
    bool removeOld;
    const char16_t* problem; // the first argument error, or null
};
Arguments arguments;
bool logging; // the /LOG file was created; later lines are appended to it

// Appends exactly 16 lower-case hex digits of n, most significant first, and a terminating zero.
void appendHex(char16_t* out, unsigned long long n) {
    int p = lstrlenW(out);
    for (int i = 15; i >= 0; --i) {
        out[p++] = digits[(n >> (4 * i)) & 0xF];
    }
    out[p] = 0;
}

// Appends n in decimal, without leading zeros, of exactly `width` digits when width > 0.
void appendDecimal(char16_t* out, unsigned n, int width = 0) {
    char16_t reversed[10];
    int count = 0;
    do {
        reversed[count++] = static_cast<char16_t>(u'0' + n % 10);
        n /= 10;
    } while (n != 0 || count < width);
    int p = lstrlenW(out);
    while (count > 0) {
        out[p++] = reversed[--count];
    }
    out[p] = 0;
}

char16_t lower(char16_t c) {
    return c >= u'A' && c <= u'Z' ? static_cast<char16_t>(c - u'A' + u'a') : c;
}

// True when text begins with the ASCII word, compared without regard to case. With whole set,
// the text must end there as well.
bool startsWith(const char16_t* text, const char16_t* word, bool whole) {
    int i = 0;
    for (; word[i] != 0; ++i) {
        if (lower(text[i]) != lower(word[i])) {
            return false;
        }
    }
    return !whole || text[i] == 0;
}

bool blank(char16_t c) {
    return c == u' ' || c == u'\t';
}

// Copies the next argument of the command line into `argument`: up to the next space or tab
// outside double quotes, the quotes themselves removed, so that /LOG="C:\a b\x.log" and
// "/LOG=C:\a b\x.log" give the same text. Returns where the next one begins, or null when
// there is none.
const char16_t* nextArgument(const char16_t* p) {
    while (blank(*p)) {
        ++p;
    }
    if (*p == 0) {
        return nullptr;
    }
    bool quoted = false;
    DWORD n = 0;
    for (; *p != 0 && (quoted || !blank(*p)); ++p) {
        if (*p == u'"') {
            quoted = !quoted;
        } else if (n < pathBufferSize - 1) {
            argument[n++] = *p;
        }
    }
    argument[n] = 0;
    return p;
}

// Composes `out` from the pieces, the named argument in double quotes after the first one.
void compose(char16_t* out, const char16_t* before, const char16_t* named, const char16_t* after) {
    lstrcpyW(out, before);
    lstrcatW(out, u"\"");
    lstrcatW(out, named);
    lstrcatW(out, u"\"");
    lstrcatW(out, after);
}

// Reads the switches. The first argument error is kept as its message; the others are still
// read, so that /S anywhere on the line keeps every dialog away.
void readArguments() {
    const char16_t* p = GetCommandLineW();
    // The program's own name: quoted, or up to the first blank. No escapes apply to it.
    if (*p == u'"') {
        for (++p; *p != 0 && *p != u'"'; ++p) {
        }
        if (*p == u'"') {
            ++p;
        }
    } else {
        while (*p != 0 && !blank(*p)) {
            ++p;
        }
    }
    while ((p = nextArgument(p)) != nullptr) {
        bool repeated = false;
        if (startsWith(argument, u"/S", true)) {
            repeated = arguments.silentGiven;
            arguments.silentGiven = true;
        } else if (startsWith(argument, u"/PASSIVE", true)) {
            repeated = arguments.passiveGiven;
            arguments.passiveGiven = true;
        } else if (startsWith(argument, u"/REMOVEOLD", true)) {
            repeated = arguments.removeOld;
            arguments.removeOld = true;
        } else if (startsWith(argument, u"/LOG=", false)) {
            repeated = arguments.logGiven;
            if (!repeated) {
                arguments.logGiven = true;
                lstrcpyW(logValue, argument + 5);
            }
        } else if (arguments.problem == nullptr) {
            compose(problem, u"The setup does not accept the argument ", argument, u".");
            lstrcatW(problem, validSwitches);
            arguments.problem = problem;
        }
        if (repeated && arguments.problem == nullptr) {
            compose(problem, u"The argument ", argument, u" is given more than once.");
            lstrcatW(problem, validSwitches);
            arguments.problem = problem;
        }
    }
    if (arguments.silentGiven && arguments.passiveGiven && arguments.problem == nullptr) {
        lstrcpyW(problem, u"/S and /PASSIVE cannot be given together.");
        lstrcatW(problem, validSwitches);
        arguments.problem = problem;
    }
    arguments.mode = arguments.silentGiven    ? Mode::silent
                     : arguments.passiveGiven ? Mode::passive
                                              : Mode::interactive;
}

// Writes the text as UTF-8; the result of the write.
bool writeUtf8(HANDLE file, const char16_t* text) {
    DWORD n = 0;
    for (const char16_t* p = text; *p != 0; ++p) {
        unsigned c = *p;
        if (c >= 0xD800 && c <= 0xDBFF && p[1] >= 0xDC00 && p[1] <= 0xDFFF) {
            c = 0x10000 + ((c - 0xD800) << 10) + (p[1] - 0xDC00u);
            ++p;
        } else if (c >= 0xD800 && c <= 0xDFFF) {
            c = 0xFFFD; // a lone surrogate
        }
        if (c < 0x80) {
            logBytes[n++] = static_cast<unsigned char>(c);
        } else if (c < 0x800) {
            logBytes[n++] = static_cast<unsigned char>(0xC0 | (c >> 6));
            logBytes[n++] = static_cast<unsigned char>(0x80 | (c & 0x3F));
        } else if (c < 0x10000) {
            logBytes[n++] = static_cast<unsigned char>(0xE0 | (c >> 12));
            logBytes[n++] = static_cast<unsigned char>(0x80 | ((c >> 6) & 0x3F));
            logBytes[n++] = static_cast<unsigned char>(0x80 | (c & 0x3F));
        } else {
            logBytes[n++] = static_cast<unsigned char>(0xF0 | (c >> 18));
            logBytes[n++] = static_cast<unsigned char>(0x80 | ((c >> 12) & 0x3F));
            logBytes[n++] = static_cast<unsigned char>(0x80 | ((c >> 6) & 0x3F));
            logBytes[n++] = static_cast<unsigned char>(0x80 | (c & 0x3F));
        }
    }
    DWORD written = 0;
    return WriteFile(file, logBytes, n, &written, nullptr) && written == n;
}

// Appends one line to the /LOG file, as installer.log writes its entries: an ISO 8601 time
// (UTC here), a space and the text. The file is opened for each line and closed again, so it is
// never open while PowerShell writes to it. A line that cannot be written changes nothing
// else: the log is a copy, and the exit code still tells the outcome.
void logText(const char16_t* text) {
    if (!logging) {
        return;
    }
    SYSTEMTIME now{};
    GetSystemTime(&now);
    logLine[0] = 0;
    appendDecimal(logLine, now.wYear, 4);
    lstrcatW(logLine, u"-");
    appendDecimal(logLine, now.wMonth, 2);
    lstrcatW(logLine, u"-");
    appendDecimal(logLine, now.wDay, 2);
    lstrcatW(logLine, u"T");
    appendDecimal(logLine, now.wHour, 2);
    lstrcatW(logLine, u":");
    appendDecimal(logLine, now.wMinute, 2);
    lstrcatW(logLine, u":");
    appendDecimal(logLine, now.wSecond, 2);
    lstrcatW(logLine, u".");
    appendDecimal(logLine, now.wMilliseconds, 3);
    lstrcatW(logLine, u"Z ");
    lstrcatW(logLine, text);
    lstrcatW(logLine, u"\r\n");
    const HANDLE file = CreateFileW(logPath, appendData, shareReadWrite, nullptr, openAlways,
                                    normalAttributes, nullptr);
    if (reinterpret_cast<unsigned long long>(file) != invalidHandle) {
        writeUtf8(file, logLine);
        CloseHandle(file);
    }
}

// Ends the process; the /LOG file gets the outcome as its last line from the setup.
[[noreturn]] void finish(UINT code) {
    if (logging) {
        lstrcpyW(message, u"Setup ended with exit code ");
        appendDecimal(message, code);
        lstrcatW(message, u".");
        logText(message);
    }
    ExitProcess(code);
}

// A failure of the setup itself: its message in the /LOG file, in a dialog only when a person
// runs the setup, then the given exit code.
[[noreturn]] void fail(const char16_t* text, UINT code = exitFailure) {
    logText(text);
    if (arguments.mode == Mode::interactive) {
        MessageBoxW(nullptr, text, dialogTitle, errorStyle);
    }
    finish(code);
}

// An argument error: the run stops before anything is written but the log. A person who did
// not ask for silence sees it in a dialog.
[[noreturn]] void refuse(const char16_t* text) {
    logText(text);
    if (!arguments.silentGiven) {
        MessageBoxW(nullptr, text, dialogTitle, errorStyle);
    }
    finish(exitInvalidParameter);
}

// Creates or empties the /LOG file and starts it with the UTF-8 byte-order mark.
bool createLog() {
    const DWORD length = GetFullPathNameW(logValue, pathBufferSize, logPath, nullptr);
    if (logValue[0] == 0 || length == 0 || length >= pathBufferSize) {
        return false;
    }
    const HANDLE file = CreateFileW(logPath, genericWrite, shareRead, nullptr, createAlways,
                                    normalAttributes, nullptr);
    if (reinterpret_cast<unsigned long long>(file) == invalidHandle) {
        return false;
    }
    const unsigned char bom[] = {0xEF, 0xBB, 0xBF};
    DWORD written = 0;
    const BOOL wrote = WriteFile(file, bom, sizeof bom, &written, nullptr);
    const BOOL closed = CloseHandle(file);
    return wrote && written == sizeof bom && closed;
}

// The child's code when it is one of the table, else the general failure.
UINT outcome(DWORD childCode) {
    switch (childCode) {
    case exitSuccess:
    case exitInvalidParameter:
    case exitDiskFull:
    case exitNetworkUnreachable:
    case exitUserExit:
    case exitFailure:
    case exitAlreadyRunning:
    case exitPackageRejected:
    case exitPackagesInUse:
        return childCode;
    default:
        return exitFailure;
    }
}

// Sets a variable for the child, or removes one that an outer process may have left, so that
// the child sees exactly this run's switches.
bool passOn(const char16_t* name, const char16_t* value) {
    if (value != nullptr) {
        return SetEnvironmentVariableW(name, value) != 0;
    }
    SetEnvironmentVariableW(name, nullptr); // fails only when it was not set
    return true;
}

} // namespace

extern "C" [[noreturn]] void mainCRTStartup() {
    // A process starts with these zeroed; the host tests run the routine many times in one.
    arguments = Arguments{};
    logging = false;
    readArguments();
    if (arguments.logGiven) {
        if (!createLog()) {
            compose(message, u"The log file ", logValue,
                    u" cannot be created or written. Nothing was installed.");
            if (!arguments.silentGiven) {
                MessageBoxW(nullptr, message, dialogTitle, errorStyle);
            }
            ExitProcess(exitInvalidParameter);
        }
        logging = true;
        lstrcpyW(message, u"TARNQUILL @VERSION@ setup started with the command line: ");
        lstrcatW(message, GetCommandLineW());
        logText(message);
    }
    if (arguments.problem != nullptr) {
        refuse(arguments.problem);
    }

    if (arguments.mode == Mode::interactive) {
        // Every sublanguage of Russian gets the Russian text, every other language the English.
        const bool russian =
            (GetUserDefaultUILanguage() & primaryLanguageMask) == russianPrimaryLanguage;
        const char16_t* confirmation = russian ? russianConfirmation : englishConfirmation;
        if (MessageBoxW(nullptr, confirmation, dialogTitle, confirmStyle) != idYes) {
            logText(u"The user declined the installation at the first question.");
            finish(exitUserExit);
        }
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
    const DWORD writeError = wrote ? 0 : GetLastError();
    CloseHandle(file);
    // A write to a disk file that reports success with fewer bytes happens when the volume has
    // filled (Wine does so on a full drive instead of failing), so it counts as disk full too.
    if ((!wrote && (writeError == errorDiskFull || writeError == errorHandleDiskFull)) ||
        (wrote && written != payloadSize)) {
        fail(u"The application archive could not be written completely: the disk of the "
             u"temporary folder is full.",
             exitDiskFull);
    }
    if (!wrote) {
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
    const char16_t* modeName = arguments.mode == Mode::silent    ? u"silent"
                               : arguments.mode == Mode::passive ? u"passive"
                                                                 : nullptr;
    if (!passOn(modeVariable, modeName) || !passOn(logVariable, logging ? logPath : nullptr) ||
        !passOn(removeOldVariable, arguments.removeOld ? u"1" : nullptr)) {
        fail(u"Could not prepare the installer environment.");
    }

    lstrcpyW(command, handOffCommand);
    si.cb = sizeof(si);
    si.lpTitle = const_cast<char16_t*>(consoleTitle);
    // Silent: a console without a window, so nothing appears and nothing can wait for a key.
    const DWORD consoleFlag = arguments.mode == Mode::silent ? createNoWindow : createNewConsole;
    if (!CreateProcessW(powershell, command, nullptr, nullptr, 0, consoleFlag, nullptr, nullptr,
                        &si, &pi)) {
        fail(u"Windows PowerShell could not start. Use INSTALL_AND_RUN.cmd from the source "
             u"archive instead.");
    }
    // The child holds its own copies; ours are not needed any more.
    SetEnvironmentVariableW(workVariable, nullptr);
    SetEnvironmentVariableW(exeVariable, nullptr);
    SetEnvironmentVariableW(modeVariable, nullptr);
    SetEnvironmentVariableW(logVariable, nullptr);
    SetEnvironmentVariableW(removeOldVariable, nullptr);

    CloseHandle(pi.hThread);
    WaitForSingleObject(pi.hProcess, infinite);
    DWORD childCode = exitFailure; // stays so when the query fails
    GetExitCodeProcess(pi.hProcess, &childCode);
    CloseHandle(pi.hProcess);
    const UINT code = outcome(childCode);
    if (code != childCode) {
        lstrcpyW(message, u"Windows PowerShell ended with exit code ");
        appendDecimal(message, childCode);
        lstrcatW(message, u", which is not one of the setup's codes.");
        logText(message);
    }
    if (code != exitSuccess && arguments.mode == Mode::interactive) {
        MessageBoxW(nullptr,
                    u"Installation did not finish. Review the PowerShell message and "
                    u"installer.log, or use INSTALL_AND_RUN.cmd from the source archive.",
                    dialogTitle, errorStyle);
    }
    finish(code);
}
