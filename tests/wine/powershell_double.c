/* Test double of powershell.exe for the Wine tests. It records its command line, its console
 * title, its current folder and the two setup variables, then prints an optional text and ends
 * with the exit code that the test asks for:
 *   TARNQUILL_TEST_PS_RECORD  Windows path of the record file (UTF-16LE "name=value" lines)
 *   TARNQUILL_TEST_PS_SAY     a line to print on standard output (ASCII)
 *   TARNQUILL_TEST_PS_EXIT    decimal exit code, 0 when absent
 *   TARNQUILL_TEST_PS_WAIT    milliseconds to wait before it ends (decimal), so that a test can
 *                             look at the screen while it runs
 * The record also holds the three mode variables of the setup (TARNQUILL_SETUP_MODE, _LOG and
 * _REMOVEOLD), each absent when not set.
 * Freestanding like the setup bootstrap: no runtime library, only KERNEL32. */

typedef unsigned short wchar;
typedef unsigned int DWORD;
typedef void* HANDLE;

__declspec(dllimport) wchar* __stdcall GetCommandLineW(void);
__declspec(dllimport) DWORD __stdcall GetConsoleTitleW(wchar* buffer, DWORD size);
__declspec(dllimport) DWORD __stdcall GetCurrentDirectoryW(DWORD size, wchar* buffer);
__declspec(dllimport) DWORD
    __stdcall GetEnvironmentVariableW(const wchar* name, wchar* buffer, DWORD size);
__declspec(dllimport) HANDLE
    __stdcall CreateFileW(const wchar* path, DWORD access, DWORD share, void* security,
                          DWORD disposition, DWORD attributes, HANDLE templateFile);
__declspec(dllimport) int __stdcall WriteFile(HANDLE file, const void* data, DWORD size,
                                              DWORD* written, void* overlapped);
__declspec(dllimport) int __stdcall CloseHandle(HANDLE handle);
__declspec(dllimport) HANDLE __stdcall GetStdHandle(DWORD which);
__declspec(dllimport) void __stdcall Sleep(DWORD milliseconds);
__declspec(dllimport) void __stdcall ExitProcess(DWORD code);

static wchar value[32768];
static wchar path[32768];
static char line[32768];

static const wchar recordName[] = L"TARNQUILL_TEST_PS_RECORD";
static const wchar sayName[] = L"TARNQUILL_TEST_PS_SAY";
static const wchar exitName[] = L"TARNQUILL_TEST_PS_EXIT";
static const wchar workName[] = L"TARNQUILL_SETUP_WORK";
static const wchar exeName[] = L"TARNQUILL_SETUP_EXE";
static const wchar waitName[] = L"TARNQUILL_TEST_PS_WAIT";
static const wchar* const modeNames[] = {L"TARNQUILL_SETUP_MODE", L"TARNQUILL_SETUP_LOG",
                                         L"TARNQUILL_SETUP_REMOVEOLD"};

static DWORD length(const wchar* s) {
    DWORD n = 0;
    while (s[n] != 0) {
        ++n;
    }
    return n;
}

static void put(HANDLE file, const wchar* s, DWORD count) {
    DWORD written = 0;
    WriteFile(file, s, count * 2, &written, 0);
}

/* One "name=value" line; a missing value is written as "name" alone, so absent and empty differ. */
static void field(HANDLE file, const wchar* name, const wchar* text, int present) {
    static const wchar equals[] = L"=";
    static const wchar newline[] = L"\n";
    put(file, name, length(name));
    if (present) {
        put(file, equals, 1);
        put(file, text, length(text));
    }
    put(file, newline, 1);
}

static int environment(const wchar* name) {
    value[0] = 0;
    DWORD n = GetEnvironmentVariableW(name, value, 32768);
    return n > 0 && n < 32768;
}

static DWORD number(const wchar* name) {
    DWORD n = 0;
    if (environment(name)) {
        for (const wchar* p = value; *p >= '0' && *p <= '9'; ++p) {
            n = n * 10 + (DWORD)(*p - '0');
        }
    }
    return n;
}

void mainCRTStartup(void) {
    DWORD code = number(exitName);

    if (environment(recordName)) {
        DWORD i;
        for (i = 0; value[i] != 0; ++i) {
            path[i] = value[i];
        }
        path[i] = 0;
        HANDLE file = CreateFileW(path, 0x40000000, 0, 0, 2, 0x80, 0);
        if (file != (HANDLE)-1) {
            field(file, L"commandline", GetCommandLineW(), 1);
            value[0] = 0;
            int titled = GetConsoleTitleW(value, 32768) > 0;
            field(file, L"title", value, titled);
            value[0] = 0;
            GetCurrentDirectoryW(32768, value);
            field(file, L"directory", value, 1);
            int present = environment(workName);
            field(file, workName, value, present);
            present = environment(exeName);
            field(file, exeName, value, present);
            for (int i = 0; i < 3; ++i) {
                present = environment(modeNames[i]);
                field(file, modeNames[i], value, present);
            }
            CloseHandle(file);
        }
    }

    if (environment(sayName)) {
        DWORD n = 0;
        for (const wchar* p = value; *p != 0 && n < 32760; ++p) {
            line[n++] = *p < 128 ? (char)*p : '?';
        }
        line[n++] = '\r';
        line[n++] = '\n';
        DWORD written = 0;
        WriteFile(GetStdHandle((DWORD)-11), line, n, &written, 0);
    }
    Sleep(number(waitName));
    ExitProcess(code);
}
