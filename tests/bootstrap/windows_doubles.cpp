#include "windows_doubles.h"

#include <algorithm>
#include <cstring>

namespace doubles {
Machine machine;
}

using doubles::machine;

namespace {

using HANDLE = void*;

HANDLE handle(std::uintptr_t value) {
    return reinterpret_cast<HANDLE>(value);
}
std::uintptr_t value(HANDLE h) {
    return reinterpret_cast<std::uintptr_t>(h);
}

std::u16string text(const char16_t* s) {
    return s == nullptr ? std::u16string() : s;
}

// Copies a text into a buffer of the given size as the Windows path functions do: the length
// without the terminator when it fits, otherwise the size needed with the terminator.
unsigned copyOut(const std::u16string& s, char16_t* buffer, unsigned size) {
    if (s.size() + 1 > size) {
        return static_cast<unsigned>(s.size() + 1);
    }
    std::copy(s.begin(), s.end(), buffer);
    buffer[s.size()] = 0;
    return static_cast<unsigned>(s.size());
}

void record(const char* name) {
    machine.calls.emplace_back(name);
}

} // namespace

extern "C" {

char16_t* GetCommandLineW() {
    record("GetCommandLineW");
    return machine.commandLine.data();
}

// A path that begins with a drive stays as it is; any other is taken from the current folder.
unsigned GetFullPathNameW(const char16_t* path, unsigned size, char16_t* buffer, char16_t** part) {
    record("GetFullPathNameW");
    const std::u16string p = text(path);
    if (p.empty() || part != nullptr) {
        return 0;
    }
    const bool absolute = p.size() >= 3 && p[1] == u':' && p[2] == u'\\';
    return copyOut(absolute ? p : machine.currentDirectory + u"\\" + p, buffer, size);
}

unsigned GetLastError() {
    record("GetLastError");
    return machine.lastError;
}

struct SystemTime {
    std::uint16_t year, month, dayOfWeek, day, hour, minute, second, milliseconds;
};

void GetSystemTime(SystemTime* time) {
    record("GetSystemTime");
    *time = {2026, 12, 3, 9, 7, 5, 3, 42};
}

int MessageBoxW(HANDLE, const char16_t* body, const char16_t* caption, unsigned style) {
    record("MessageBoxW");
    machine.messageBoxes.push_back({text(body), text(caption), style});
    return style == 0x24 ? machine.confirmAnswer : 1;
}

std::uint16_t GetUserDefaultUILanguage() {
    record("GetUserDefaultUILanguage");
    return machine.uiLanguage;
}

unsigned GetTempPathW(unsigned size, char16_t* buffer) {
    record("GetTempPathW");
    const unsigned length = copyOut(machine.tempPath, buffer, size);
    return machine.tempLength ? *machine.tempLength : length;
}

char16_t* lstrcatW(char16_t* to, const char16_t* s) {
    record("lstrcatW");
    std::u16string joined = text(to) + text(s);
    std::copy(joined.begin(), joined.end(), to);
    to[joined.size()] = 0;
    return to;
}

char16_t* lstrcpyW(char16_t* to, const char16_t* s) {
    record("lstrcpyW");
    const std::u16string copy = text(s);
    std::copy(copy.begin(), copy.end(), to);
    to[copy.size()] = 0;
    return to;
}

int lstrlenW(const char16_t* s) {
    record("lstrlenW");
    return static_cast<int>(text(s).size());
}

unsigned long long GetTickCount64() {
    record("GetTickCount64");
    return machine.tickCount;
}

unsigned GetCurrentProcessId() {
    record("GetCurrentProcessId");
    return machine.processId;
}

int CreateDirectoryW(const char16_t* path, void* security) {
    record("CreateDirectoryW");
    if (security != nullptr || machine.directories.count(text(path)) != 0) {
        return 0;
    }
    machine.directories.insert(text(path));
    return 1;
}

HANDLE FindResourceW(HANDLE module, const char16_t* name, const char16_t* type) {
    record("FindResourceW");
    const bool payloadAsked = module == nullptr && value(const_cast<char16_t*>(name)) == 2000 &&
                              value(const_cast<char16_t*>(type)) == 10;
    return payloadAsked && machine.payloadPresent ? handle(doubles::resourceHandle) : nullptr;
}

unsigned SizeofResource(HANDLE module, HANDLE resource) {
    record("SizeofResource");
    if (module != nullptr || value(resource) != doubles::resourceHandle) {
        return 0;
    }
    return static_cast<unsigned>(machine.payload.size());
}

HANDLE LoadResource(HANDLE module, HANDLE resource) {
    record("LoadResource");
    if (module != nullptr || value(resource) != doubles::resourceHandle) {
        return nullptr;
    }
    return handle(doubles::loadedHandle);
}

void* LockResource(HANDLE loaded) {
    record("LockResource");
    if (machine.lockGivesNull || value(loaded) != doubles::loadedHandle) {
        return nullptr;
    }
    return machine.payload.data();
}

HANDLE CreateFileW(const char16_t* path, unsigned access, unsigned share, void* security,
                   unsigned disposition, unsigned attributes, HANDLE templateFile) {
    record("CreateFileW");
    machine.createFiles.push_back({text(path), access, share, security != nullptr, disposition,
                                   attributes, templateFile != nullptr});
    const std::u16string p = text(path);
    const std::u16string folder = p.substr(0, p.rfind(u'\\'));
    const bool exists = machine.files.count(p) != 0;
    const bool createNew = disposition == 1, createAlways = disposition == 2,
               openAlways = disposition == 4;
    if (machine.createFileFails || machine.unwritableFiles.count(p) != 0 ||
        machine.directories.count(folder) == 0 || (createNew && exists) ||
        !(createNew || createAlways || openAlways)) {
        return reinterpret_cast<HANDLE>(~std::uintptr_t{0});
    }
    if (!openAlways || !exists) {
        machine.files[p] = {};
    }
    const std::uintptr_t h = machine.nextFileHandle++;
    machine.openHandles.insert(h);
    machine.fileOfHandle[h] = p;
    return handle(h);
}

int WriteFile(HANDLE file, const void* data, unsigned size, unsigned* written, void*) {
    record("WriteFile");
    if (machine.fileOfHandle.count(value(file)) == 0 ||
        machine.openHandles.count(value(file)) == 0) {
        return 0;
    }
    const std::u16string& path = machine.fileOfHandle[value(file)];
    const bool archive = path.ends_with(u"\\source.zip");
    std::vector<std::uint8_t>& target = machine.files[path];
    if (archive && machine.writeFileFails) {
        machine.lastError = machine.writeError;
        return 0;
    }
    const unsigned count = size - (archive ? std::min(size, machine.writeShortBy) : 0);
    const auto* bytes = static_cast<const std::uint8_t*>(data);
    target.insert(target.end(), bytes, bytes + count);
    *written += count; // adds, so a count that was not preset to 0 shows up
    return 1;
}

int CloseHandle(HANDLE h) {
    record("CloseHandle");
    machine.closedHandles.push_back(value(h));
    return machine.openHandles.erase(value(h)) == 1 ? 1 : 0;
}

unsigned GetSystemDirectoryW(char16_t* buffer, unsigned size) {
    record("GetSystemDirectoryW");
    const unsigned length = copyOut(machine.systemDirectory, buffer, size);
    return machine.systemLength ? *machine.systemLength : length;
}

int SetEnvironmentVariableW(const char16_t* name, const char16_t* content) {
    record("SetEnvironmentVariableW");
    if (machine.setEnvironmentFailsFor.count(text(name)) != 0) {
        return 0;
    }
    if (content == nullptr) {
        machine.removedVariables.push_back(text(name));
        machine.environment.erase(text(name));
    } else {
        machine.environment[text(name)] = text(content);
    }
    return 1;
}

unsigned GetModuleFileNameW(HANDLE module, char16_t* buffer, unsigned size) {
    record("GetModuleFileNameW");
    if (module != nullptr) {
        return 0;
    }
    const unsigned length = copyOut(machine.modulePath, buffer, size);
    return machine.moduleLength ? *machine.moduleLength : length;
}

} // extern "C"

// The startup and process records as the bootstrap lays them out (x64).
struct StartupRecord {
    unsigned cb;
    char16_t* lpReserved;
    char16_t* lpDesktop;
    char16_t* lpTitle;
    unsigned numbers[8];
    unsigned short wShowWindow;
    unsigned short cbReserved2;
    unsigned char* lpReserved2;
    HANDLE handles[3];
};
struct ProcessRecord {
    HANDLE hProcess;
    HANDLE hThread;
    unsigned dwProcessId;
    unsigned dwThreadId;
};

extern "C" {

int CreateProcessW(const char16_t* application, char16_t* commandLine, void* processSecurity,
                   void* threadSecurity, int inheritHandles, unsigned flags, void* environment,
                   const char16_t* directory, StartupRecord* startup, ProcessRecord* process) {
    record("CreateProcessW");
    bool othersZero = startup->lpReserved == nullptr && startup->lpDesktop == nullptr &&
                      startup->wShowWindow == 0 && startup->cbReserved2 == 0 &&
                      startup->lpReserved2 == nullptr;
    for (unsigned n : startup->numbers) {
        othersZero = othersZero && n == 0;
    }
    for (HANDLE h : startup->handles) {
        othersZero = othersZero && h == nullptr;
    }
    machine.createProcesses.push_back(
        {text(application), text(commandLine), processSecurity != nullptr,
         threadSecurity != nullptr, inheritHandles, flags, environment != nullptr,
         directory != nullptr, startup->cb, text(startup->lpTitle), othersZero, machine.environment,
         !machine.fileOfHandle.empty() &&
             std::any_of(
                 machine.fileOfHandle.begin(), machine.fileOfHandle.end(),
                 [](const auto& open) { return machine.openHandles.count(open.first) != 0; })});
    if (machine.createProcessFails) {
        return 0;
    }
    process->hProcess = handle(doubles::processHandle);
    process->hThread = handle(doubles::threadHandle);
    process->dwProcessId = 77;
    process->dwThreadId = 78;
    machine.openHandles.insert(doubles::processHandle);
    machine.openHandles.insert(doubles::threadHandle);
    return 1;
}

unsigned WaitForSingleObject(HANDLE h, unsigned milliseconds) {
    record("WaitForSingleObject");
    machine.waitedHandle = value(h);
    machine.waitTimeout = milliseconds;
    return 0;
}

int GetExitCodeProcess(HANDLE process, unsigned* exitCode) {
    record("GetExitCodeProcess");
    if (machine.exitCodeQueryFails || value(process) != doubles::processHandle) {
        return 0;
    }
    *exitCode = machine.childExitCode;
    return 1;
}

[[noreturn]] void ExitProcess(unsigned exitCode) {
    record("ExitProcess");
    throw doubles::ExitCalled{exitCode};
}

} // extern "C"
