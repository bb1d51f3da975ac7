// Test doubles of the Windows functions that the setup bootstrap calls. They keep a small model
// of the machine (folders, files, environment), record every call in order, and can be told to
// fail a given call or to report a given length.
#pragma once

#include <cstdint>
#include <map>
#include <optional>
#include <set>
#include <string>
#include <vector>

namespace doubles {

// ExitProcess throws this, so a test can run the never-returning entry routine to its end.
struct ExitCalled {
    unsigned code;
};

struct MessageBoxCall {
    std::u16string text;
    std::u16string caption;
    unsigned style;
};

struct CreateFileCall {
    std::u16string path;
    unsigned access;
    unsigned share;
    bool security;
    unsigned disposition;
    unsigned attributes;
    bool templateFile;
};

struct CreateProcessCall {
    std::u16string application;
    std::u16string commandLine;
    bool processSecurity;
    bool threadSecurity;
    int inheritHandles;
    unsigned flags;
    bool environment;
    bool directory;
    unsigned startupSize;
    std::u16string title;
    bool otherStartupFieldsZero;
    std::map<std::u16string, std::u16string> inheritedEnvironment;
    bool filesOpen; // any file handle was still open when the child started
};

struct Machine {
    // Answers and values the functions give.
    std::u16string commandLine = u"\"C:\\Users\\Test User\\Downloads\\TARNQUILL-Setup.exe\"";
    std::u16string currentDirectory = u"C:\\Users\\Test User\\Downloads";
    std::uint16_t uiLanguage = 0x409;
    int confirmAnswer = 6;
    std::u16string tempPath = u"C:\\Users\\Test User\\AppData\\Local\\Temp\\";
    std::optional<unsigned> tempLength; // reported instead of the path's length
    std::uint64_t tickCount = 0x0123456789abcdefULL;
    unsigned processId = 0x1234;
    std::u16string systemDirectory = u"C:\\Windows\\system32";
    std::optional<unsigned> systemLength;
    std::u16string modulePath = u"C:\\Users\\Test User\\Downloads\\TARNQUILL-Setup.exe";
    std::optional<unsigned> moduleLength;
    bool payloadPresent = true;
    std::vector<std::uint8_t> payload;
    bool lockGivesNull = false;
    unsigned childExitCode = 0;

    // Calls told to fail. The write faults touch only the archive, source.zip.
    bool createFileFails = false;
    bool writeFileFails = false;
    unsigned writeError = 0; // what GetLastError gives after a failed write
    unsigned writeShortBy = 0;
    std::set<std::u16string> unwritableFiles; // CreateFileW refuses these paths
    std::set<std::u16string> setEnvironmentFailsFor;
    bool createProcessFails = false;
    bool exitCodeQueryFails = false;

    // State of the modelled machine.
    std::set<std::u16string> directories;
    std::map<std::u16string, std::vector<std::uint8_t>> files;
    std::map<std::u16string, std::u16string> environment;
    std::set<std::uintptr_t> openHandles;
    std::map<std::uintptr_t, std::u16string> fileOfHandle;
    std::uintptr_t nextFileHandle = 0x100;
    unsigned lastError = 0;

    // What the bootstrap did.
    std::vector<std::string> calls;
    std::vector<MessageBoxCall> messageBoxes;
    std::vector<CreateFileCall> createFiles;
    std::vector<CreateProcessCall> createProcesses;
    std::vector<std::u16string> removedVariables; // names set to nothing, in call order
    std::vector<std::uintptr_t> closedHandles;
    unsigned waitTimeout = 0;
    std::uintptr_t waitedHandle = 0;
};

// The one machine that the doubles act on; reset it before each run.
extern Machine machine;

// Handles the doubles give out, so a test can tell them apart.
inline constexpr std::uintptr_t fileHandle = 0x100; // the first file handle; later ones count up
inline constexpr std::uintptr_t processHandle = 0x200;
inline constexpr std::uintptr_t threadHandle = 0x300;
inline constexpr std::uintptr_t resourceHandle = 0x400;
inline constexpr std::uintptr_t loadedHandle = 0x500;

} // namespace doubles
