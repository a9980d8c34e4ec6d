// The seam filled with the ANSI Win32 entry points.
//
// Files go through the handle-based calls (_lopen, _lread, _lwrite, _lclose):
// their handles are plain kernel handles, so the output and report files
// that CreateFileA opens are written and closed by the same entries. Positions
// beyond 2 GiB need SetFilePointer with its high part; _llseek only takes a
// 32-bit offset.
#include <windows.h>

#include "platform/gather.h"
#include "platform/platform.h"

namespace {

// HFILE_ERROR and INVALID_HANDLE_VALUE both become 0, the seam's "no file".
FileHandle FromHfile(HFILE file) { return file == HFILE_ERROR ? 0 : (FileHandle)file; }

int64_t SystemSeek(FileHandle file, int64_t offset, int origin) {
    static_assert(kSeekSet == FILE_BEGIN && kSeekCurrent == FILE_CURRENT && kSeekEnd == FILE_END,
                  "seek origins are the system's");
    LONG high = (LONG)(offset >> 32);
    DWORD low = SetFilePointer((HANDLE)file, (LONG)(uint32_t)offset, &high, (DWORD)origin);
    if (low == INVALID_SET_FILE_POINTER && GetLastError() != NO_ERROR) return -1;
    return ((int64_t)high << 32) | low;
}

int32_t SystemRead(FileHandle file, void* buffer, uint32_t count) {
    UINT got = _lread((HFILE)file, buffer, count);
    return got == (UINT)HFILE_ERROR ? -1 : (int32_t)got;
}

// The file opened last for reading (the archive), read ahead
// (platform/gather.h).
InputAhead inputAhead;

FileHandle OpenForReading(const char* path, int share) {
    UINT mode = OF_READ | (share == kShareDenyNone ? OF_SHARE_DENY_NONE : OF_SHARE_DENY_WRITE);
    FileHandle file = FromHfile(_lopen(path, mode));
    if (file != 0) AheadStart(&inputAhead, SystemSeek, file);
    return file;
}

int32_t SystemWrite(FileHandle file, const void* buffer, uint32_t count) {
    // _lwrite with a count of 0 truncates the file at the current position;
    // an empty write must write nothing and change nothing.
    if (count == 0) return 0;
    UINT put = _lwrite((HFILE)file, (LPCCH)buffer, count);
    return put == (UINT)HFILE_ERROR ? -1 : (int32_t)put;
}

// The output file's writes, gathered (platform/gather.h).
OutputGather outputGather;

// A new file only: CREATE_NEW fails when anything has the name. The handle
// is a kernel handle, written and closed by _lwrite and _lclose.
FileHandle CreateNew(const char* path) {
    HANDLE file = CreateFileA(path, GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ, nullptr, CREATE_NEW,
                              FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) return 0;
    GatherStart(&outputGather, SystemWrite, (FileHandle)file);
    return (FileHandle)file;
}

int FlushGathered(FileHandle file) { return GatherFlushFile(&outputGather, SystemWrite, file); }

// Windows NT replaces the file at to in one step. MoveFileExA does not exist
// on Windows 95 and 98, so it is looked up rather than imported (the stub
// must load there); those systems delete the old file, then rename. A
// read-only file or a folder at to stays, and the rename fails.
int ReplaceExisting(const char* from, const char* to) {
    typedef BOOL(WINAPI * MoveFileExFunction)(LPCSTR, LPCSTR, DWORD);
    if ((GetVersion() & 0x80000000u) == 0) {
        HMODULE kernel = GetModuleHandleA("KERNEL32.DLL");
        MoveFileExFunction moveFileEx =
            kernel != nullptr ? (MoveFileExFunction)(void*)GetProcAddress(kernel, "MoveFileExA") : nullptr;
        if (moveFileEx != nullptr) return moveFileEx(from, to, MOVEFILE_REPLACE_EXISTING) ? 1 : 0;
    }
    DeleteFileA(to);
    return MoveFileA(from, to) ? 1 : 0;
}

int DeleteOne(const char* path) { return DeleteFileA(path) ? 1 : 0; }

// The diagnostic report: replaced if it exists, others may read it meanwhile.
FileHandle CreateReportFile(const char* path) {
    HANDLE file = CreateFileA(path, GENERIC_WRITE, FILE_SHARE_READ, nullptr, CREATE_ALWAYS,
                              FILE_ATTRIBUTE_ARCHIVE, nullptr);
    return file == INVALID_HANDLE_VALUE ? 0 : (FileHandle)file;
}

int32_t ReadBytes(FileHandle file, void* buffer, uint32_t count) {
    if (!FlushGathered(file)) return -1;
    return AheadRead(&inputAhead, SystemRead, SystemSeek, file, buffer, count);
}

int32_t WriteBytes(FileHandle file, const void* buffer, uint32_t count) {
    return GatherWrite(&outputGather, SystemWrite, file, buffer, count);
}

int64_t Seek(FileHandle file, int64_t offset, int origin) {
    if (!FlushGathered(file)) return -1;
    return AheadSeek(&inputAhead, SystemSeek, file, offset, origin);
}

void Close(FileHandle file) {
    GatherClose(&outputGather, SystemWrite, file);
    AheadClose(&inputAhead, file);
    _lclose((HFILE)file);
}

// The DOS date and time are local time; the file system keeps UTC. The three
// results are not examined: a file whose times cannot be set keeps the times
// of its creation.
void SetDosTimes(FileHandle file, uint16_t dosDate, uint16_t dosTime) {
    FlushGathered(file);
    FILETIME local = {}, universal = {};
    DosDateTimeToFileTime(dosDate, dosTime, &local);
    LocalFileTimeToFileTime(&local, &universal);
    SetFileTime((HANDLE)file, &universal, &universal, &universal);
}

// UTC seconds are already what the file system keeps: no local time comes
// into it. FILETIME counts 100 ns intervals from 1601-01-01.
void SetUtcTimes(FileHandle file, int64_t unixSeconds) {
    const int64_t kIntervalsTo1970 = 116444736000000000LL;
    uint64_t intervals = (uint64_t)(unixSeconds * 10000000LL + kIntervalsTo1970);
    FILETIME universal;
    universal.dwLowDateTime = (DWORD)intervals;
    universal.dwHighDateTime = (DWORD)(intervals >> 32);
    SetFileTime((HANDLE)file, &universal, &universal, &universal);
}

static_assert(kAttributeFolder == FILE_ATTRIBUTE_DIRECTORY && kAttributeReparsePoint == FILE_ATTRIBUTE_REPARSE_POINT,
              "attributes are the system's");

// The find data describe a link or junction itself, not its target.
int FindFirst(const char* path, char* foundName, uint32_t* attributes) {
    WIN32_FIND_DATAA found;
    HANDLE search = FindFirstFileA(path, &found);
    if (search == INVALID_HANDLE_VALUE) return 0;
    if (foundName) lstrcpynA(foundName, found.cFileName, MAX_PATH);
    if (attributes) *attributes = found.dwFileAttributes;
    FindClose(search);
    return 1;
}

int MakeFolder(const char* path) { return CreateDirectoryA(path, nullptr) ? 1 : 0; }

int SetCurrentFolder(const char* path) { return SetCurrentDirectoryA(path) ? 1 : 0; }

// The Get... calls return the length needed, larger than the capacity, when
// the text does not fit: that is a failure here, never a cut text.
uint32_t Fitting(DWORD length, uint32_t capacity) { return length < capacity ? length : 0; }

uint32_t CurrentFolder(char* buffer, uint32_t capacity) {
    return Fitting(GetCurrentDirectoryA(capacity, buffer), capacity);
}

uint32_t ModuleName(char* buffer, uint32_t capacity) {
    DWORD length = GetModuleFileNameA(nullptr, buffer, capacity);
    // A name cut to the capacity is not the program's name.
    if (length >= capacity) {
        if (capacity) buffer[0] = 0;
        return 0;
    }
    return length;
}

uint32_t WindowsFolder(char* buffer, uint32_t capacity) {
    return Fitting(GetWindowsDirectoryA(buffer, capacity), capacity);
}

uint32_t DriveKind(const char* root) { return GetDriveTypeA(root); }

// The caller names the drive by its letter and colon ("A:"); the system wants
// the root folder, with its backslash.
int VolumeLabel(const char* root, char* label, uint32_t capacity) {
    char rootFolder[8];
    int length = lstrlenA(root);
    if (length > 4) return 0;
    lstrcpyA(rootFolder, root);
    if (length > 0 && root[length - 1] == ':') lstrcatA(rootFolder, "\\");
    return GetVolumeInformationA(rootFolder, label, capacity, nullptr, nullptr, nullptr, nullptr, 0) ? 1 : 0;
}

uint32_t EnvironmentValue(const char* name, char* buffer, uint32_t capacity) {
    return Fitting(GetEnvironmentVariableA(name, buffer, capacity), capacity);
}

void* Allocate(uint32_t size) { return LocalAlloc(LPTR, size); }

void Release(void* block) {
    if (block) LocalFree(block);
}

uint32_t VersionWord() { return GetVersion(); }

void MemoryFigures(SfxMemoryStatus* status) {
    MEMORYSTATUS memory = {};
    memory.dwLength = sizeof memory;
    GlobalMemoryStatus(&memory);
    status->memoryLoad = memory.dwMemoryLoad;
    status->totalPhysical = memory.dwTotalPhys;
    status->availablePhysical = memory.dwAvailPhys;
    status->totalVirtual = memory.dwTotalVirtual;
    status->availableVirtual = memory.dwAvailVirtual;
}

void UtcNow(SfxSystemTime* time) {
    SYSTEMTIME now;
    GetSystemTime(&now);
    time->year = now.wYear;
    time->month = now.wMonth;
    time->day = now.wDay;
    time->hour = now.wHour;
    time->minute = now.wMinute;
}

void Exit(uint32_t code) { ExitProcess(code); }

char* NextCharacter(const char* text) { return CharNextA(text); }

void UpperCaseText(char* text, uint32_t length) { CharUpperBuffA(text, length); }

void OemToAnsiText(char* text, uint32_t length) { OemToCharBuffA(text, text, length); }

int ShowMessageBox(void* owner, const char* text, const char* caption, uint32_t style) {
    return MessageBoxA((HWND)owner, text, caption, style);
}

int ArchiverCommand(char* buffer, uint32_t capacity) {
    LONG size = (LONG)capacity;
    if (RegQueryValueA(HKEY_CLASSES_ROOT, "kelvra\\shell\\open\\command", buffer, &size) != ERROR_SUCCESS)
        return 0;
    if (capacity) buffer[capacity - 1] = 0;
    return 1;
}

int ShiftHeld() { return GetKeyState(VK_SHIFT) < 0 ? 1 : 0; }

uint32_t StartCommand(const char* line) { return WinExec(line, SW_SHOWNORMAL); }

// CreateProcessA with the path named (no search, no shell) and a writable
// copy of the command line; the stub waits for the program and hands on
// its exit code.
int StartProgramFile(const char* path, const char* commandLine, const char* folder, uint32_t* exitCode) {
    char line[1024];
    if (lstrlenA(commandLine) >= (int)sizeof line) return 0;
    lstrcpyA(line, commandLine);
    STARTUPINFOA startup = {};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION process = {};
    if (!CreateProcessA(path, line, nullptr, nullptr, FALSE, 0, nullptr, folder, &startup, &process)) return 0;
    CloseHandle(process.hThread);
    WaitForSingleObject(process.hProcess, INFINITE);
    DWORD code = 0;
    BOOL known = GetExitCodeProcess(process.hProcess, &code);
    CloseHandle(process.hProcess);
    *exitCode = known ? code : 2;  // an exit code that cannot be read is no success
    return 1;
}

}  // namespace

SfxPlatform sfxPlatform = {
    .openFile = OpenForReading,
    .createFile = CreateNew,
    .createReport = CreateReportFile,
    .readFile = ReadBytes,
    .writeFile = WriteBytes,
    .seekFile = Seek,
    .closeFile = Close,
    .setFileTime = SetDosTimes,
    .setFileTimeUtc = SetUtcTimes,
    .findFile = FindFirst,
    .makeFolder = MakeFolder,
    .setCurrentFolder = SetCurrentFolder,
    .currentFolder = CurrentFolder,
    .moduleFileName = ModuleName,
    .windowsFolder = WindowsFolder,
    .driveType = DriveKind,
    .volumeLabel = VolumeLabel,
    .environment = EnvironmentValue,
    .allocate = Allocate,
    .release = Release,
    .systemVersion = VersionWord,
    .memoryStatus = MemoryFigures,
    .systemTime = UtcNow,
    .exitProcess = Exit,
    .nextChar = NextCharacter,
    .upperCase = UpperCaseText,
    .oemToAnsi = OemToAnsiText,
    .messageBox = ShowMessageBox,
    .archiverCommand = ArchiverCommand,
    .shiftHeld = ShiftHeld,
    .runCommand = StartCommand,
    .replaceFile = ReplaceExisting,
    .deleteFile = DeleteOne,
    .startProgram = StartProgramFile,
    .flushFile = FlushGathered,
};
