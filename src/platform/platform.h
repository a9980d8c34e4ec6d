// The seam between the stub and the operating system.
//
// Every file, folder, drive, time, environment, message-box and exit call of
// the portable code goes through sfxPlatform, a small table of functions.
// win32/ fills it with the ANSI Win32 entry points, posix/ with Linux calls
// and a terminal in place of message boxes. Tests copy the table and replace
// entries to script answers and inject failures (short reads, failed writes,
// a full disk, missing memory, volume labels).
//
// Paths handed to the seam use backslashes (the stub's own form); the posix
// side turns them into slashes.
#ifndef KVSFX_PLATFORM_H
#define KVSFX_PLATFORM_H

#include <stdint.h>

typedef intptr_t FileHandle;  // 0: no file

enum : int { kSeekSet = 0, kSeekCurrent = 1, kSeekEnd = 2 };

enum : int { kShareDenyWrite = 0, kShareDenyNone = 1 };

// Attributes findFile reports. A symbolic link, junction or other reparse
// point is reported as itself, never as its target: kAttributeReparsePoint
// set, and found even when its target does not exist.
enum : uint32_t { kAttributeFolder = 0x10, kAttributeReparsePoint = 0x400 };

// Message box styles and answers: the values are the Win32 ones.
enum : uint32_t {
    kBoxOk = 0x0,
    kBoxOkCancel = 0x1,
    kBoxAbortRetryIgnore = 0x2,
    kBoxYesNoCancel = 0x3,
    kBoxYesNo = 0x4,
    kBoxButtonsMask = 0xF,
    kBoxIconError = 0x10,
    kBoxIconQuestion = 0x20,
    kBoxIconExclamation = 0x30,
    kBoxDefaultButton2 = 0x100,
    kBoxTaskModal = 0x2000,
};
enum : int {
    kAnswerOk = 1,
    kAnswerCancel = 2,
    kAnswerAbort = 3,
    kAnswerRetry = 4,
    kAnswerIgnore = 5,
    kAnswerYes = 6,
    kAnswerNo = 7,
};

// Drive types as the system reports them.
enum : uint32_t { kDriveUnknown = 0, kDriveNoRootFolder = 1 };

struct SfxMemoryStatus {
    uint32_t memoryLoad;         // percent in use
    uint64_t totalPhysical;      // bytes
    uint64_t availablePhysical;  // bytes
    uint64_t totalVirtual;       // bytes
    uint64_t availableVirtual;   // bytes
};

struct SfxSystemTime {
    uint16_t year, month, day, hour, minute;  // UTC
};

struct SfxPlatform {
    // Files. All return 0 (handles) or -1 (counts, positions) on failure.
    FileHandle (*openFile)(const char* path, int share);           // read-only
    // A file that does not exist yet, normal attributes, open for reading
    // and writing; 0 when anything (a file, a folder, a link) is at path.
    FileHandle (*createFile)(const char* path);
    FileHandle (*createReport)(const char* path);                  // the diagnostic report file
    int32_t (*readFile)(FileHandle file, void* buffer, uint32_t count);
    int32_t (*writeFile)(FileHandle file, const void* buffer, uint32_t count);
    int64_t (*seekFile)(FileHandle file, int64_t offset, int origin);  // new position
    void (*closeFile)(FileHandle file);
    // Creation, access and write times from a DOS date and time taken as local time.
    void (*setFileTime)(FileHandle file, uint16_t dosDate, uint16_t dosTime);
    // Creation, access and write times from seconds since 1970-01-01 00:00 UTC.
    void (*setFileTimeUtc)(FileHandle file, int64_t unixSeconds);

    // Names and folders.
    // First match of path: its name (260 bytes + zero) and attributes; 1 when found.
    int (*findFile)(const char* path, char* foundName, uint32_t* attributes);
    int (*makeFolder)(const char* path);  // 1 on success
    int (*setCurrentFolder)(const char* path);
    uint32_t (*currentFolder)(char* buffer, uint32_t capacity);  // length, 0 on failure
    uint32_t (*moduleFileName)(char* buffer, uint32_t capacity);
    uint32_t (*windowsFolder)(char* buffer, uint32_t capacity);
    uint32_t (*driveType)(const char* root);                     // root "C:\"
    int (*volumeLabel)(const char* root, char* label, uint32_t capacity);  // root "A:"; 1 when read
    uint32_t (*environment)(const char* name, char* buffer, uint32_t capacity);  // length, 0 when unset

    // Memory: zero-filled blocks; 0 on failure.
    void* (*allocate)(uint32_t size);
    void (*release)(void* block);

    // System.
    uint32_t (*systemVersion)();  // GetVersion's layout: low byte major, next byte minor, top bit not NT
    void (*memoryStatus)(SfxMemoryStatus* status);
    void (*systemTime)(SfxSystemTime* time);
    void (*exitProcess)(uint32_t code);  // does not return (EndProcess wraps it)

    // Texts in the ANSI code page.
    char* (*nextChar)(const char* text);  // steps over a whole (possibly double-byte) character
    void (*upperCase)(char* text, uint32_t length);
    void (*oemToAnsi)(char* text, uint32_t length);  // code page 850 to Windows-1252, in place

    // The user.
    int (*messageBox)(void* owner, const char* text, const char* caption, uint32_t style);
    // The archiver's registered open command; 1 when read.
    int (*archiverCommand)(char* buffer, uint32_t capacity);
    int (*shiftHeld)();                        // the Shift key is down
    uint32_t (*runCommand)(const char* line);  // WinExec: above 31 on success

    // Output files are written under a temporary name and given their own
    // when complete. replaceFile gives the file at from the name to in the
    // same folder, replacing a file (or a link itself, never its target)
    // that has it; 1 on success, and on failure the file at from is still
    // there.
    int (*replaceFile)(const char* from, const char* to);
    int (*deleteFile)(const char* path);  // 1 on success

    // Starts the program file at path, without a shell, with commandLine
    // (its own name first, then its arguments, as Windows hands them over)
    // and folder as its current folder, and waits for its end. 1 with its
    // exit code in *exitCode; 0 when it could not be started.
    int (*startProgram)(const char* path, const char* commandLine, const char* folder, uint32_t* exitCode);

    // The writes to the file createFile made last may be gathered into
    // larger ones: flushFile hands what is gathered to the system, 1 when
    // it took it all (a failure is a failed write). Setting the file's
    // times and closing it flush first; so do reads and seeks of it.
    int (*flushFile)(FileHandle file);
};

extern SfxPlatform sfxPlatform;

#endif
