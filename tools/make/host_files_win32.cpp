// The builder's host files on Windows. Files are opened through the wide
// calls with the UTF-8 paths converted; a path too long for the plain calls
// gets the "\\?\" form, which takes up to 32767 characters.
#include <io.h>
#include <stdio.h>
#include <windows.h>
// After windows.h: RtlGenRandom (SystemFunction036, ADVAPI32).
#include <ntsecapi.h>
#include <sys/utime.h>

#include <algorithm>

#include "build_error.h"
#include "host_files.h"
#include "host_files_win32.h"
#include "names.h"

namespace kvmake {

const char kDefaultStubName[] = "kvsfx32.exe";
const char kStubOptionHelp[] =
    R"(  --stub FILE            The extracting program to put in front (kvsfx32.exe,
                         or any kvsfx stub). Default: kvsfx32.exe lying
                         beside kvsfx-make.exe.
)";
const bool kNamesIgnoreCase = true;
const bool kWindowsPaths = true;

namespace {

// A file's handle as the host files keep it.
HANDLE Handle(intptr_t handle) { return (HANDLE)handle; }

std::wstring Wide(const std::string& text) {
    if (text.empty()) return std::wstring();
    const int length = MultiByteToWideChar(CP_UTF8, 0, text.data(), (int)text.size(), nullptr, 0);
    std::wstring wide((size_t)length, L'\0');
    if (length > 0) MultiByteToWideChar(CP_UTF8, 0, text.data(), (int)text.size(), &wide[0], length);
    return wide;
}

std::string Utf8(const wchar_t* text, size_t length) {
    if (length == 0) return std::string();
    const int size = WideCharToMultiByte(CP_UTF8, 0, text, (int)length, nullptr, 0, nullptr, nullptr);
    std::string utf8((size_t)size, '\0');
    if (size > 0) WideCharToMultiByte(CP_UTF8, 0, text, (int)length, &utf8[0], size, nullptr, nullptr);
    return utf8;
}

std::wstring FullPath(const std::wstring& path) {
    std::wstring full(MAX_PATH, L'\0');
    for (;;) {
        const DWORD length = GetFullPathNameW(path.c_str(), (DWORD)full.size(), &full[0], nullptr);
        if (length == 0) return path;
        if (length < full.size()) {
            full.resize(length);
            return full;
        }
        full.resize(length);
    }
}

// The path as the wide file calls take it.
std::wstring SystemPath(const std::string& path) {
    std::wstring wide = Wide(path);
    if (wide.size() < MAX_PATH - 12 || wide.compare(0, 4, L"\\\\?\\") == 0) return wide;
    const std::wstring full = FullPath(wide);
    if (full.compare(0, 4, L"\\\\?\\") == 0 || full.size() < MAX_PATH - 12) return full;
    if (full.compare(0, 2, L"\\\\") == 0) return L"\\\\?\\UNC\\" + full.substr(2);
    return L"\\\\?\\" + full;
}

// The system's text for an error code, without its closing full stop.
std::string Reason(DWORD code) {
    wchar_t* text = nullptr;
    const DWORD length =
        FormatMessageW(FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
                       nullptr, code, 0, (LPWSTR)&text, 0, nullptr);
    std::string reason = text ? Utf8(text, length) : std::string();
    if (text) LocalFree(text);
    while (!reason.empty() && (reason.back() == '\n' || reason.back() == '\r' || reason.back() == ' ' ||
                               reason.back() == '.'))
        reason.pop_back();
    if (reason.empty()) reason = "system error " + std::to_string(code);
    return reason;
}

std::string SystemReason() { return Reason(GetLastError()); }

// Opens an existing file or folder; INVALID_HANDLE_VALUE on failure.
HANDLE OpenExisting(const std::string& path, DWORD access) {
    return CreateFileW(SystemPath(path).c_str(), access, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                       nullptr, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
}

// Opens a regular file for reading and finds its size, or refuses.
HANDLE OpenForReading(const std::string& path, uint64_t* size) {
    const HANDLE file = OpenExisting(path, GENERIC_READ);
    if (file == INVALID_HANDLE_VALUE) Refuse("cannot open " + Quoted(path) + ": " + SystemReason());
    BY_HANDLE_FILE_INFORMATION info;
    LARGE_INTEGER length;
    if (GetFileType(file) != FILE_TYPE_DISK || !GetFileInformationByHandle(file, &info) ||
        (info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) || !GetFileSizeEx(file, &length)) {
        CloseHandle(file);
        Refuse(Quoted(path) + " is not a regular file");
    }
    *size = (uint64_t)length.QuadPart;
    return file;
}

// Moves a file's pointer; false on failure.
bool SeekTo(HANDLE file, uint64_t offset) {
    LARGE_INTEGER where;
    where.QuadPart = (LONGLONG)offset;
    return SetFilePointerEx(file, where, nullptr, FILE_BEGIN) != 0;
}

// Reads or writes count bytes at the file pointer, in pieces a DWORD counts.
// Reading stops early only at the end of the file.
bool ReadAll(HANDLE file, uint8_t* data, size_t count, size_t* done) {
    *done = 0;
    while (*done < count) {
        const DWORD piece = (DWORD)std::min<size_t>(count - *done, 1u << 30);
        DWORD got = 0;
        if (!ReadFile(file, data + *done, piece, &got, nullptr)) return false;
        if (got == 0) break;
        *done += got;
    }
    return true;
}

bool WriteAll(HANDLE file, const uint8_t* data, size_t count) {
    size_t done = 0;
    while (done < count) {
        const DWORD piece = (DWORD)std::min<size_t>(count - done, 1u << 30);
        DWORD put = 0;
        if (!WriteFile(file, data + done, piece, &put, nullptr) || put == 0) return false;
        done += put;
    }
    return true;
}

// 100-nanosecond intervals from 1601 to 1970.
const int64_t kEpochDifference = 116444736000000000LL;

int64_t UnixTime(const FILETIME& time) {
    const int64_t intervals = (int64_t)(((uint64_t)time.dwHighDateTime << 32) | time.dwLowDateTime);
    const int64_t since1970 = intervals - kEpochDifference;
    return since1970 >= 0 ? since1970 / 10000000 : -((-since1970 + 9999999) / 10000000);
}

FileId Identity(const BY_HANDLE_FILE_INFORMATION& info) {
    FileId identity;
    identity.volume = info.dwVolumeSerialNumber;
    identity.index = ((uint64_t)info.nFileIndexHigh << 32) | info.nFileIndexLow;
    return identity;
}

}  // namespace

std::string Utf8FromWide(const wchar_t* text) { return Utf8(text, wcslen(text)); }

InputFile::InputFile(const std::string& path) : path_(path) { handle_ = (intptr_t)OpenForReading(path, &size_); }

InputFile::~InputFile() {
    if (handle_ != kNoHandle) CloseHandle(Handle(handle_));
}

size_t InputFile::read(void* buffer, size_t count) {
    size_t done = 0;
    if (!ReadAll(Handle(handle_), (uint8_t*)buffer, count, &done))
        Refuse("cannot read " + Quoted(path_) + ": " + SystemReason());
    return done;
}

void InputFile::rewind() {
    if (!SeekTo(Handle(handle_), 0)) Refuse("cannot read " + Quoted(path_) + ": " + SystemReason());
}

MappedFile::MappedFile(const std::string& path) {
    const HANDLE file = OpenForReading(path, &size_);
    if (size_ > 0) {
        // A 32-bit process cannot view more than its address space holds.
        if (size_ > (uint64_t)(SIZE_MAX / 2)) {
            CloseHandle(file);
            Refuse(Quoted(path) + " is too large to be read by this 32-bit builder");
        }
        const HANDLE mapping = CreateFileMappingW(file, nullptr, PAGE_READONLY, 0, 0, nullptr);
        const void* view = mapping ? MapViewOfFile(mapping, FILE_MAP_READ, 0, 0, 0) : nullptr;
        const std::string reason = view ? std::string() : SystemReason();
        if (mapping) CloseHandle(mapping);  // the view keeps the mapping alive
        if (!view) {
            CloseHandle(file);
            Refuse("cannot read " + Quoted(path) + ": " + reason);
        }
        data_ = (const uint8_t*)view;
    }
    CloseHandle(file);
}

MappedFile::~MappedFile() {
    if (data_) UnmapViewOfFile(data_);
}

// The temporary file is named after the output, with random letters that a
// name already taken makes the builder draw again.
OutputFile::OutputFile(const std::string& finalPath) : finalPath_(finalPath) {
    const std::string stem = finalPath.substr(0, NameStart(finalPath)) + "." + LastComponent(finalPath) + ".kvsfx-";
    DWORD failure = ERROR_FILE_EXISTS;
    for (int attempt = 0; attempt < 100 && handle_ == kNoHandle; attempt++) {
        uint8_t random[6];
        RandomBytes(random, sizeof random);
        std::string name = stem;
        for (uint8_t byte : random) {
            name.push_back("0123456789abcdef"[byte >> 4]);
            name.push_back("0123456789abcdef"[byte & 15]);
        }
        const HANDLE file = CreateFileW(SystemPath(name).c_str(), GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ,
                                        nullptr, CREATE_NEW, FILE_ATTRIBUTE_NORMAL, nullptr);
        if (file != INVALID_HANDLE_VALUE) {
            handle_ = (intptr_t)file;
            tempPath_ = name;
            break;
        }
        failure = GetLastError();
        if (failure != ERROR_FILE_EXISTS && failure != ERROR_ALREADY_EXISTS) break;
    }
    if (handle_ == kNoHandle) Refuse("cannot write " + Quoted(finalPath) + ": " + Reason(failure));
    BY_HANDLE_FILE_INFORMATION info;
    if (GetFileInformationByHandle(Handle(handle_), &info)) identity_ = Identity(info);
    buffer_.reserve(kBufferSize);
}

OutputFile::~OutputFile() {
    if (handle_ != kNoHandle) CloseHandle(Handle(handle_));
    if (!committed_ && !tempPath_.empty()) DeleteFileW(SystemPath(tempPath_).c_str());
}

void OutputFile::writeThrough(const uint8_t* data, size_t count) {
    if (!WriteAll(Handle(handle_), data, count)) Refuse("cannot write " + Quoted(finalPath_) + ": " + SystemReason());
}

// patch() and readBack() move the file pointer; they put it back at
// position_, where the next write() goes.
void OutputFile::patch(uint64_t offset, const void* data, size_t count) {
    flush();
    if (!SeekTo(Handle(handle_), offset) || !WriteAll(Handle(handle_), (const uint8_t*)data, count) ||
        !SeekTo(Handle(handle_), position_))
        Refuse("cannot write " + Quoted(finalPath_) + ": " + SystemReason());
}

void OutputFile::readBack(uint64_t offset, void* data, size_t count) {
    flush();
    size_t done = 0;
    if (!SeekTo(Handle(handle_), offset) || !ReadAll(Handle(handle_), (uint8_t*)data, count, &done) ||
        !SeekTo(Handle(handle_), position_))
        Refuse("cannot read back " + Quoted(finalPath_) + ": " + SystemReason());
    if (done != count) Refuse("cannot read back " + Quoted(finalPath_) + ": it is shorter than what was written");
}

void OutputFile::truncateTo(uint64_t offset) {
    flush();
    if (!SeekTo(Handle(handle_), offset) || !SetEndOfFile(Handle(handle_)))
        Refuse("cannot write " + Quoted(finalPath_) + ": " + SystemReason());
    position_ = offset;
}

void OutputFile::close(bool) {
    if (handle_ == kNoHandle) return;
    flush();
    const bool written = FlushFileBuffers(Handle(handle_)) != 0;
    const DWORD failure = written ? 0 : GetLastError();
    const bool closed = CloseHandle(Handle(handle_)) != 0;
    handle_ = kNoHandle;
    if (!written) Refuse("cannot write " + Quoted(finalPath_) + ": " + Reason(failure));
    if (!closed) Refuse("cannot write " + Quoted(finalPath_) + ": " + SystemReason());
}

void OutputFile::commit(bool executable) {
    close(executable);
    if (!MoveFileExW(SystemPath(tempPath_).c_str(), SystemPath(finalPath_).c_str(),
                     MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH))
        Refuse("cannot write " + Quoted(finalPath_) + ": " + SystemReason());
    committed_ = true;
}

void RandomBytes(uint8_t* buffer, size_t count) {
    if (!RtlGenRandom(buffer, (ULONG)count)) Refuse("the system's random source failed");
}

bool ErrorIsTerminal() { return _isatty(_fileno(stderr)) != 0; }

void ShowMessage(const std::string& text) {
    const std::string line = "kvsfx-make: " + PrintableText(text) + "\n";
    const HANDLE error = GetStdHandle(STD_ERROR_HANDLE);
    DWORD mode;
    if (error != INVALID_HANDLE_VALUE && error != nullptr && GetConsoleMode(error, &mode)) {
        // A console shows UTF-16 whatever its code page.
        fflush(stderr);
        const std::wstring wide = Wide(line);
        DWORD written;
        if (WriteConsoleW(error, wide.data(), (DWORD)wide.size(), &written, nullptr)) return;
    }
    fputs(line.c_str(), stderr);
    fflush(stderr);
}

std::string OwnFolder() {
    std::wstring path(MAX_PATH, L'\0');
    for (;;) {
        const DWORD length = GetModuleFileNameW(nullptr, &path[0], (DWORD)path.size());
        if (length == 0) return ".";
        if (length < path.size()) {
            path.resize(length);
            break;
        }
        path.resize(path.size() * 2);  // cut short: try again with more room
    }
    return FolderOf(Utf8(path.data(), path.size()));
}

std::string AbsolutePath(const std::string& path) {
    const std::wstring full = FullPath(Wide(path.empty() ? std::string(".") : path));
    return Utf8(full.data(), full.size());
}

PathInfo LookUpPath(const std::string& path) {
    PathInfo result;
    // Without FILE_FLAG_OPEN_REPARSE_POINT the system follows symbolic links
    // and junctions: what is described is what they lead to.
    const HANDLE file = OpenExisting(path, FILE_READ_ATTRIBUTES);
    if (file == INVALID_HANDLE_VALUE) {
        result.reason = SystemReason();
        const DWORD attributes = GetFileAttributesW(SystemPath(path).c_str());
        if (attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_REPARSE_POINT))
            result.kind = PathInfo::Kind::BrokenLink;
        return result;
    }
    BY_HANDLE_FILE_INFORMATION info;
    if (GetFileType(file) != FILE_TYPE_DISK || !GetFileInformationByHandle(file, &info)) {
        result.kind = PathInfo::Kind::Other;  // a device, a pipe
        CloseHandle(file);
        return result;
    }
    CloseHandle(file);
    result.kind = (info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) ? PathInfo::Kind::Folder : PathInfo::Kind::File;
    result.size = ((uint64_t)info.nFileSizeHigh << 32) | info.nFileSizeLow;
    result.modified = UnixTime(info.ftLastWriteTime);
    result.identity = Identity(info);
    return result;
}

void CheckReadable(const std::string& path) {
    const HANDLE file = OpenExisting(path, GENERIC_READ);
    if (file == INVALID_HANDLE_VALUE) Refuse("cannot read " + Quoted(path) + ": " + SystemReason());
    CloseHandle(file);
}

std::vector<std::string> FolderNames(const std::string& path) {
    std::vector<std::string> names;
    WIN32_FIND_DATAW found;
    const HANDLE search = FindFirstFileW(SystemPath(JoinPath(path, "*")).c_str(), &found);
    if (search == INVALID_HANDLE_VALUE) {
        if (GetLastError() == ERROR_FILE_NOT_FOUND) return names;  // a drive's empty root
        Refuse("cannot read the folder " + Quoted(path) + ": " + SystemReason());
    }
    do {
        if (wcscmp(found.cFileName, L".") != 0 && wcscmp(found.cFileName, L"..") != 0)
            names.push_back(Utf8FromWide(found.cFileName));
    } while (FindNextFileW(search, &found));
    const DWORD failure = GetLastError();
    FindClose(search);
    if (failure != ERROR_NO_MORE_FILES) Refuse("cannot read the folder " + Quoted(path) + ": " + Reason(failure));
    return names;
}

void EnsureFolder(const std::string& path) {
    if (CreateDirectoryW(SystemPath(path).c_str(), nullptr) || GetLastError() == ERROR_ALREADY_EXISTS) {
        if (IsFolder(path)) return;
        SetLastError(ERROR_ALREADY_EXISTS);
    }
    Refuse("cannot create the folder " + Quoted(path) + ": " + SystemReason());
}

// The program turns the DOS date and time back into a file time with the
// offset from UTC that holds when it runs (LocalFileTimeToFileTime); the
// same offset here makes the round trip exact on one machine.
void DosDateTime(int64_t unixTime, uint16_t* date, uint16_t* time) {
    const int64_t kYear2108 = 4354819200LL;  // 1 January 2108, UTC
    if (unixTime < 0 || unixTime >= kYear2108 + 86400) {
        ClampedDosDateTime(unixTime < 0 ? 1979 : 2108, 1, 1, 0, 0, 0, date, time);
        return;
    }
    const uint64_t intervals = (uint64_t)unixTime * 10000000u + (uint64_t)kEpochDifference;
    FILETIME universal, local;
    universal.dwLowDateTime = (DWORD)intervals;
    universal.dwHighDateTime = (DWORD)(intervals >> 32);
    SYSTEMTIME parts;
    if (!FileTimeToLocalFileTime(&universal, &local) || !FileTimeToSystemTime(&local, &parts)) {
        ClampedDosDateTime(1979, 1, 1, 0, 0, 0, date, time);
        return;
    }
    ClampedDosDateTime(parts.wYear, parts.wMonth, parts.wDay, parts.wHour, parts.wMinute, parts.wSecond, date,
                       time);
}

// The full path has no "." or ".." left: its folders are its prefixes.
std::vector<FileId> FoldersAbove(const std::string& path) {
    std::vector<FileId> folders;
    FileId identity;
    std::string folder = FolderOf(AbsolutePath(path));
    while (FileIdentity(folder, &identity)) {
        folders.push_back(identity);
        const std::string up = FolderOf(folder);
        if (up == folder) break;
        folder = up;
    }
    return folders;
}

PathPresence LookAtUnfollowed(const std::string& path) {
    const DWORD attributes = GetFileAttributesW(Wide(path).c_str());
    if (attributes == INVALID_FILE_ATTRIBUTES) return PathPresence::Missing;
    if (attributes & FILE_ATTRIBUTE_REPARSE_POINT) return PathPresence::Link;
    return (attributes & FILE_ATTRIBUTE_DIRECTORY) ? PathPresence::Folder : PathPresence::File;
}

bool MakeOneFolder(const std::string& path) { return CreateDirectoryW(Wide(path).c_str(), nullptr) != 0; }

void SetModifiedTime(const std::string& path, time_t when) {
    struct _utimbuf times;
    times.actime = when;
    times.modtime = when;
    _wutime(Wide(path).c_str(), &times);
}

void WriteOutput(const std::string& text) {
    const HANDLE output = GetStdHandle(STD_OUTPUT_HANDLE);
    DWORD mode, written;
    if (output != INVALID_HANDLE_VALUE && output != nullptr && GetConsoleMode(output, &mode)) {
        fflush(stdout);
        const std::wstring wide = Wide(text);
        if (WriteConsoleW(output, wide.data(), (DWORD)wide.size(), &written, nullptr)) return;
    }
    fputs(text.c_str(), stdout);
}

}  // namespace kvmake
