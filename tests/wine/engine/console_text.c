/* Reads or types into the console of Windows PowerShell, for the Wine tests: attaches to the
 * console of the first process named powershell.exe and then
 *   - writes the screen buffer's text, one line per row without the trailing blanks
 *     (characters beyond ASCII as "?"), to its output; or,
 *   - when TARNQUILL_TEST_CONSOLE_TYPE is set, types its text into the console's input, "|"
 *     standing for Enter.
 * Exit code 0, or 1 when there is no such process or its console cannot be reached.
 * Freestanding like the setup bootstrap: no runtime library, only KERNEL32. */

typedef unsigned short wchar;
typedef unsigned int DWORD;
typedef unsigned short WORD;
typedef void* HANDLE;

typedef struct {
    DWORD size, usage, processId;
    unsigned long long defaultHeapId;
    DWORD moduleId, threads, parentProcessId;
    int priority;
    DWORD flags;
    wchar exeFile[260];
} ProcessEntry;

typedef struct {
    short x, y;
} Coord;

typedef struct {
    Coord size, cursor;
    WORD attributes;
    short left, top, right, bottom;
    Coord maximum;
} ScreenInfo;

typedef struct {
    WORD eventType;
    WORD padding;
    int keyDown;
    WORD repeatCount, virtualKeyCode, virtualScanCode;
    wchar character;
    DWORD controlKeyState;
} KeyRecord;

__declspec(dllimport) HANDLE __stdcall CreateToolhelp32Snapshot(DWORD flags, DWORD process);
__declspec(dllimport) int __stdcall Process32FirstW(HANDLE snapshot, ProcessEntry* entry);
__declspec(dllimport) int __stdcall Process32NextW(HANDLE snapshot, ProcessEntry* entry);
__declspec(dllimport) int __stdcall lstrcmpiW(const wchar* a, const wchar* b);
__declspec(dllimport) int __stdcall FreeConsole(void);
__declspec(dllimport) int __stdcall AttachConsole(DWORD process);
__declspec(dllimport) HANDLE
    __stdcall CreateFileW(const wchar* path, DWORD access, DWORD share, void* security,
                          DWORD disposition, DWORD attributes, HANDLE templateFile);
__declspec(dllimport) int __stdcall GetConsoleScreenBufferInfo(HANDLE output, ScreenInfo* info);
__declspec(dllimport) int __stdcall ReadConsoleOutputCharacterW(HANDLE output, wchar* text,
                                                                DWORD length, Coord start,
                                                                DWORD* read);
__declspec(dllimport) int __stdcall WriteConsoleInputW(HANDLE input, const KeyRecord* records,
                                                       DWORD count, DWORD* written);
__declspec(dllimport) DWORD
    __stdcall GetEnvironmentVariableW(const wchar* name, wchar* buffer, DWORD size);
__declspec(dllimport) HANDLE __stdcall GetStdHandle(DWORD which);
__declspec(dllimport) int __stdcall WriteFile(HANDLE file, const void* data, DWORD size,
                                              DWORD* written, void* overlapped);
__declspec(dllimport) void __stdcall ExitProcess(DWORD code);

#define READ_WRITE 0xC0000000
#define SHARE_READ_WRITE 3
#define OPEN_EXISTING 3

static wchar row[1024];
static wchar text[1024];
static char line[1026];
static KeyRecord keys[2];

static DWORD process_by_name(const wchar* name) {
    ProcessEntry entry;
    entry.size = sizeof entry;
    HANDLE snapshot = CreateToolhelp32Snapshot(2 /* TH32CS_SNAPPROCESS */, 0);
    if (snapshot == (HANDLE)-1) {
        return 0;
    }
    for (int more = Process32FirstW(snapshot, &entry); more;
         more = Process32NextW(snapshot, &entry)) {
        if (lstrcmpiW(entry.exeFile, name) == 0) {
            return entry.processId;
        }
    }
    return 0;
}

static void print_screen(HANDLE screen, HANDLE out) {
    ScreenInfo info;
    if (!GetConsoleScreenBufferInfo(screen, &info)) {
        ExitProcess(1);
    }
    DWORD width = (DWORD)info.size.x < 1024 ? (DWORD)info.size.x : 1024;
    for (short y = 0; y <= info.cursor.y; ++y) {
        Coord start = {0, y};
        DWORD read = 0;
        ReadConsoleOutputCharacterW(screen, row, width, start, &read);
        while (read > 0 && row[read - 1] == ' ') {
            --read;
        }
        DWORD n = 0;
        for (DWORD i = 0; i < read; ++i) {
            line[n++] = row[i] < 128 ? (char)row[i] : '?';
        }
        line[n++] = '\n';
        DWORD written = 0;
        WriteFile(out, line, n, &written, 0);
    }
}

static void type_text(HANDLE input, const wchar* typed) {
    for (; *typed != 0; ++typed) {
        wchar c = *typed == '|' ? '\r' : *typed;
        for (int down = 1; down >= 0; --down) {
            KeyRecord* key = &keys[1 - down];
            key->eventType = 1; /* KEY_EVENT */
            key->keyDown = down;
            key->repeatCount = 1;
            key->virtualKeyCode = c == '\r' ? 0x0D : 0;
            key->character = c;
        }
        DWORD written = 0;
        WriteConsoleInputW(input, keys, 2, &written);
    }
}

void mainCRTStartup(void) {
    HANDLE out = GetStdHandle((DWORD)-11);
    DWORD typed = GetEnvironmentVariableW(L"TARNQUILL_TEST_CONSOLE_TYPE", text, 1024);
    DWORD process = process_by_name(L"powershell.exe");
    FreeConsole();
    if (process == 0 || !AttachConsole(process)) {
        ExitProcess(1);
    }
    if (typed > 0 && typed < 1024) {
        HANDLE input = CreateFileW(L"CONIN$", READ_WRITE, SHARE_READ_WRITE, 0, OPEN_EXISTING, 0, 0);
        if (input == (HANDLE)-1) {
            ExitProcess(1);
        }
        type_text(input, text);
    } else {
        HANDLE screen =
            CreateFileW(L"CONOUT$", READ_WRITE, SHARE_READ_WRITE, 0, OPEN_EXISTING, 0, 0);
        if (screen == (HANDLE)-1) {
            ExitProcess(1);
        }
        print_screen(screen, out);
    }
    ExitProcess(0);
}
