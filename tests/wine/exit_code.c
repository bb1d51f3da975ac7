/* Full exit codes for the Wine tests. `wine prog.exe` hands Linux only the low 8 bits of a
 * Windows exit code (1602 reads as 66), so a test runs its program through this one:
 *   wine exit_code.exe <command line of the program>
 * It starts the rest of its own command line exactly as written (the program's name first, quoted
 * if it holds spaces), with its own standard handles inherited, waits for the program and writes
 * the value of GetExitCodeProcess in decimal with CR LF to the file named by
 *   TARNQUILL_TEST_EXIT_FILE   Windows path of the file to write (standard output when absent)
 * Its own exit code: 0 when the code was written, 1 when the program could not start (the line
 * is then "start failed <GetLastError>"), 2 when the code could not be read or written.
 * Freestanding like the setup bootstrap: no runtime library, only KERNEL32. */

typedef unsigned short wchar;
typedef unsigned int DWORD;
typedef void* HANDLE;

typedef struct {
    DWORD cb;
    wchar* reserved;
    wchar* desktop;
    wchar* title;
    DWORD numbers[8];
    unsigned short showWindow;
    unsigned short reserved2Size;
    unsigned char* reserved2;
    HANDLE stdInput, stdOutput, stdError;
} STARTUPINFOW;

typedef struct {
    HANDLE process;
    HANDLE thread;
    DWORD processId;
    DWORD threadId;
} PROCESS_INFORMATION;

__declspec(dllimport) wchar* __stdcall GetCommandLineW(void);
__declspec(dllimport) int __stdcall CreateProcessW(const wchar* application, wchar* commandLine,
                                                   void* processSecurity, void* threadSecurity,
                                                   int inheritHandles, DWORD flags,
                                                   void* environment, const wchar* directory,
                                                   STARTUPINFOW* startup,
                                                   PROCESS_INFORMATION* process);
__declspec(dllimport) DWORD __stdcall WaitForSingleObject(HANDLE handle, DWORD milliseconds);
__declspec(dllimport) int __stdcall GetExitCodeProcess(HANDLE process, DWORD* code);
__declspec(dllimport) DWORD __stdcall GetLastError(void);
__declspec(dllimport) DWORD
    __stdcall GetEnvironmentVariableW(const wchar* name, wchar* buffer, DWORD size);
__declspec(dllimport) HANDLE
    __stdcall CreateFileW(const wchar* path, DWORD access, DWORD share, void* security,
                          DWORD disposition, DWORD attributes, HANDLE templateFile);
__declspec(dllimport) int __stdcall WriteFile(HANDLE file, const void* data, DWORD size,
                                              DWORD* written, void* overlapped);
__declspec(dllimport) int __stdcall CloseHandle(HANDLE handle);
__declspec(dllimport) HANDLE __stdcall GetStdHandle(DWORD which);
__declspec(dllimport) void __stdcall ExitProcess(DWORD code);

static wchar command[32768];
static wchar outPath[32768];
static STARTUPINFOW si;
static PROCESS_INFORMATION pi;

/* Writes "<prefix><n>\r\n" where the test asked for it; 0 when that failed. */
static int report(const char* prefix, DWORD n) {
    char text[48];
    char digits[12];
    int length = 0, count = 0;
    while (prefix[length] != 0) {
        text[length] = prefix[length];
        ++length;
    }
    do {
        digits[count++] = (char)('0' + n % 10);
        n /= 10;
    } while (n != 0);
    while (count > 0) {
        text[length++] = digits[--count];
    }
    text[length++] = '\r';
    text[length++] = '\n';
    HANDLE out = GetStdHandle((DWORD)-11);
    DWORD size = GetEnvironmentVariableW(L"TARNQUILL_TEST_EXIT_FILE", outPath, 32768);
    int own = size > 0 && size < 32768;
    if (own) {
        out = CreateFileW(outPath, 0x40000000, 0, 0, 2, 0x80, 0); /* write, create always */
        if (out == (HANDLE)-1) {
            return 0;
        }
    }
    DWORD written = 0;
    int wrote = WriteFile(out, text, (DWORD)length, &written, 0) && written == (DWORD)length;
    if (own) {
        wrote = CloseHandle(out) && wrote;
    }
    return wrote;
}

void mainCRTStartup(void) {
    /* Skip our own name: quoted, or up to the first blank; then the blanks after it. */
    const wchar* p = GetCommandLineW();
    if (*p == '"') {
        for (++p; *p != 0 && *p != '"'; ++p) {
        }
        if (*p == '"') {
            ++p;
        }
    } else {
        while (*p != 0 && *p != ' ' && *p != '\t') {
            ++p;
        }
    }
    while (*p == ' ' || *p == '\t') {
        ++p;
    }
    DWORD n = 0;
    while (p[n] != 0 && n < 32766) {
        command[n] = p[n];
        ++n;
    }
    command[n] = 0;

    si.cb = sizeof(si);
    if (!CreateProcessW(0, command, 0, 0, 1, 0, 0, 0, &si, &pi)) {
        report("start failed ", GetLastError());
        ExitProcess(1);
    }
    CloseHandle(pi.thread);
    WaitForSingleObject(pi.process, 0xFFFFFFFF);
    DWORD code = 0;
    if (!GetExitCodeProcess(pi.process, &code)) {
        ExitProcess(2);
    }
    ExitProcess(report("", code) ? 0 : 2);
}
