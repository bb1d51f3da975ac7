/* Holds a file for the Wine tests as a virus scanner or the search indexer would: it creates the
 * file without delete sharing, waits until a second file has been deleted (the sign that the
 * removal of their folder has begun), holds on for 1.5 s more and then lets go:
 *   TARNQUILL_TEST_HOLD_FILE   Windows path of the file to create and hold
 *   TARNQUILL_TEST_HOLD_UNTIL  Windows path of the file whose deletion starts the 1.5 s
 * Exit code 0 after letting go, 2 when the file could not be created, 3 when the other file was
 * still there after five minutes. Freestanding like the setup bootstrap: only KERNEL32. */

typedef unsigned short wchar;
typedef unsigned int DWORD;
typedef void* HANDLE;

__declspec(dllimport) DWORD
    __stdcall GetEnvironmentVariableW(const wchar* name, wchar* buffer, DWORD size);
__declspec(dllimport) HANDLE
    __stdcall CreateFileW(const wchar* path, DWORD access, DWORD share, void* security,
                          DWORD disposition, DWORD attributes, HANDLE templateFile);
__declspec(dllimport) DWORD __stdcall GetFileAttributesW(const wchar* path);
__declspec(dllimport) void __stdcall Sleep(DWORD milliseconds);
__declspec(dllimport) int __stdcall CloseHandle(HANDLE handle);
__declspec(dllimport) void __stdcall ExitProcess(DWORD code);

static wchar held[32768];
static wchar until[32768];

void mainCRTStartup(void) {
    const DWORD genericWrite = 0x40000000, shareRead = 1, createAlways = 2, normal = 0x80;
    GetEnvironmentVariableW(L"TARNQUILL_TEST_HOLD_FILE", held, 32768);
    GetEnvironmentVariableW(L"TARNQUILL_TEST_HOLD_UNTIL", until, 32768);
    HANDLE file = CreateFileW(held, genericWrite, shareRead, 0, createAlways, normal, 0);
    if (file == (HANDLE)-1) {
        ExitProcess(2);
    }
    for (int polls = 0; GetFileAttributesW(until) != 0xFFFFFFFF; ++polls) {
        if (polls == 6000) {
            ExitProcess(3);
        }
        Sleep(50);
    }
    Sleep(1500);
    CloseHandle(file);
    ExitProcess(0);
}
