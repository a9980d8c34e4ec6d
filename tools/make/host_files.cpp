#include "host_files.h"

#ifdef _WIN32
#include <io.h>
#include <stdio.h>
#include <windows.h>
// After windows.h: RtlGenRandom (SystemFunction036, ADVAPI32).
#include <ntsecapi.h>
#include <sys/utime.h>
#else
#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/mman.h>
#include <sys/random.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>
#endif

#include <algorithm>
#include <new>
#include <utility>

#include "build_error.h"
#include "names.h"

namespace kvmake {

namespace {

const size_t kWriteBufferSize = 1 << 20;

// Where the last component of a path starts: after its last separator, or
// on Windows after a drive ("C:name").
size_t NameStart(const std::string& path) {
    size_t start = path.size();
    while (start > 0 && !IsPathSeparator(path[start - 1])) start--;
#ifdef _WIN32
    if (start == 0 && path.size() >= 2 && path[1] == ':') start = 2;
#endif
    return start;
}

// The last DOS date and time words of 2107 and the first of 1980.
const uint16_t kLastDosDate = (uint16_t)((127 << 9) | (12 << 5) | 31);  // 31 December 2107
const uint16_t kLastDosTime = (uint16_t)((23 << 11) | (59 << 5) | 29);  // 23:59:58
const uint16_t kFirstDosDate = (uint16_t)((0 << 9) | (1 << 5) | 1);     // 1 January 1980

}  // namespace

bool IsPathSeparator(char c) {
#ifdef _WIN32
    return c == '/' || c == '\\';
#else
    return c == '/';
#endif
}

// Days since 1970 to the civil date of the Gregorian calendar, counted in
// 400-year eras that start on 1 March.
void UtcDosDateTime(int64_t unixTime, uint16_t* date, uint16_t* time) {
    const int64_t kYear1980 = 315532800, kYear2108 = 4354819200LL;
    if (unixTime < kYear1980 || unixTime >= kYear2108) {
        *date = unixTime < kYear1980 ? kFirstDosDate : kLastDosDate;
        *time = unixTime < kYear1980 ? 0 : kLastDosTime;
        return;
    }
    const int64_t seconds = unixTime % 86400;
    const int64_t days = unixTime / 86400 + 719468;  // from 0000-03-01
    const int64_t era = days / 146097, dayOfEra = days % 146097;
    const int64_t yearOfEra = (dayOfEra - dayOfEra / 1460 + dayOfEra / 36524 - dayOfEra / 146096) / 365;
    const int64_t dayOfYear = dayOfEra - (365 * yearOfEra + yearOfEra / 4 - yearOfEra / 100);
    const int64_t shiftedMonth = (5 * dayOfYear + 2) / 153;  // 0 is March
    const int64_t day = dayOfYear - (153 * shiftedMonth + 2) / 5 + 1;
    const int64_t month = shiftedMonth < 10 ? shiftedMonth + 3 : shiftedMonth - 9;
    const int64_t year = era * 400 + yearOfEra + (month <= 2 ? 1 : 0);
    *date = (uint16_t)(((year - 1980) << 9) | (month << 5) | day);
    *time = (uint16_t)(((seconds / 3600) << 11) | ((seconds / 60 % 60) << 5) | (seconds % 60 / 2));
}

std::string FolderOf(const std::string& path) {
    const size_t start = NameStart(path);
    if (start == 0) return ".";
    std::string folder = path.substr(0, start);
#ifdef _WIN32
    if (folder.size() == 2 && folder[1] == ':') return folder + ".";  // the current folder of that drive
    if (folder.size() == 3 && folder[1] == ':') return folder;        // a drive's root keeps its separator
#endif
    if (folder.size() > 1) folder.pop_back();
    return folder;
}

std::string LastComponent(const std::string& path) { return path.substr(NameStart(path)); }

std::string JoinPath(const std::string& folder, const std::string& name) {
    if (folder.empty() || IsPathSeparator(folder.back())) return folder + name;
#ifdef _WIN32
    if (folder.size() == 2 && folder[1] == ':') return folder + name;  // in the drive's current folder
    return folder + "\\" + name;
#else
    return folder + "/" + name;
#endif
}

std::vector<uint8_t> ReadWholeFile(const std::string& path) {
    InputFile file(path);
    // A 32-bit builder cannot hold anything near its address space.
    if (file.size() > (uint64_t)(SIZE_MAX / 4)) Refuse(Quoted(path) + " is too large to be read into memory");
    std::vector<uint8_t> bytes((size_t)file.size());
    if (file.read(bytes.data(), bytes.size()) != bytes.size())
        Refuse(Quoted(path) + " changed while it was being read");
    return bytes;
}

bool IsRegularFile(const std::string& path) { return InspectPath(path).kind == PathInfo::Kind::File; }

bool IsFolder(const std::string& path) { return InspectPath(path).kind == PathInfo::Kind::Folder; }

bool FileIdentity(const std::string& path, FileId* identity) {
    const PathInfo info = InspectPath(path);
    if (info.kind == PathInfo::Kind::Missing || info.kind == PathInfo::Kind::BrokenLink) return false;
    *identity = info.identity;
    return true;
}

std::vector<FileId> FoldersAbove(const std::string& path) {
    std::vector<FileId> folders;
    FileId identity;
#ifdef _WIN32
    // The full path has no "." or ".." left: its folders are its prefixes.
    std::string folder = FolderOf(AbsolutePath(path));
    while (FileIdentity(folder, &identity)) {
        folders.push_back(identity);
        const std::string up = FolderOf(folder);
        if (up == folder) break;
        folder = up;
    }
#else
    // "..", as the system resolves it, is the real parent even where a link
    // led into the folder; the root is its own parent.
    std::string folder = FolderOf(path);
    while (folders.size() < 1024 && FileIdentity(folder, &identity)) {
        if (!folders.empty() && folders.back() == identity) break;
        folders.push_back(identity);
        folder = JoinPath(folder, "..");
    }
#endif
    return folders;
}

#ifdef _WIN32

// --- Windows -----------------------------------------------------------------
//
// Files are opened through the wide calls with the UTF-8 paths converted;
// a path too long for the plain calls gets the "\\?\" form, which takes up
// to 32767 characters.

namespace {

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

InputFile::InputFile(const std::string& path) : path_(path) { handle_ = OpenForReading(path, &size_); }

InputFile::~InputFile() {
    if (handle_) CloseHandle((HANDLE)handle_);
}

size_t InputFile::read(void* buffer, size_t count) {
    size_t done = 0;
    if (!ReadAll((HANDLE)handle_, (uint8_t*)buffer, count, &done))
        Refuse("cannot read " + Quoted(path_) + ": " + SystemReason());
    return done;
}

void InputFile::rewind() {
    if (!SeekTo((HANDLE)handle_, 0)) Refuse("cannot read " + Quoted(path_) + ": " + SystemReason());
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
    for (int attempt = 0; attempt < 100 && handle_ == nullptr; attempt++) {
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
            handle_ = file;
            tempPath_ = name;
            break;
        }
        failure = GetLastError();
        if (failure != ERROR_FILE_EXISTS && failure != ERROR_ALREADY_EXISTS) break;
    }
    if (!handle_) Refuse("cannot write " + Quoted(finalPath) + ": " + Reason(failure));
    BY_HANDLE_FILE_INFORMATION info;
    if (GetFileInformationByHandle((HANDLE)handle_, &info)) identity_ = Identity(info);
    buffer_.reserve(kWriteBufferSize);
}

OutputFile::~OutputFile() {
    if (handle_) CloseHandle((HANDLE)handle_);
    if (!committed_ && !tempPath_.empty()) DeleteFileW(SystemPath(tempPath_).c_str());
}

void OutputFile::flush() {
    if (!WriteAll((HANDLE)handle_, buffer_.data(), buffer_.size()))
        Refuse("cannot write " + Quoted(finalPath_) + ": " + SystemReason());
    buffer_.clear();
}

void OutputFile::write(const void* data, size_t count) {
    const uint8_t* bytes = (const uint8_t*)data;
    position_ += count;
    if (buffer_.size() + count > kWriteBufferSize) flush();
    if (count >= kWriteBufferSize) {
        if (!WriteAll((HANDLE)handle_, bytes, count))
            Refuse("cannot write " + Quoted(finalPath_) + ": " + SystemReason());
        return;
    }
    buffer_.insert(buffer_.end(), bytes, bytes + count);
}

// patch() and readBack() move the file pointer; they put it back at
// position_, where the next write() goes.
void OutputFile::patch(uint64_t offset, const void* data, size_t count) {
    flush();
    if (!SeekTo((HANDLE)handle_, offset) || !WriteAll((HANDLE)handle_, (const uint8_t*)data, count) ||
        !SeekTo((HANDLE)handle_, position_))
        Refuse("cannot write " + Quoted(finalPath_) + ": " + SystemReason());
}

void OutputFile::readBack(uint64_t offset, void* data, size_t count) {
    flush();
    size_t done = 0;
    if (!SeekTo((HANDLE)handle_, offset) || !ReadAll((HANDLE)handle_, (uint8_t*)data, count, &done) ||
        !SeekTo((HANDLE)handle_, position_))
        Refuse("cannot read back " + Quoted(finalPath_) + ": " + SystemReason());
    if (done != count) Refuse("cannot read back " + Quoted(finalPath_) + ": it is shorter than what was written");
}

void OutputFile::truncateTo(uint64_t offset) {
    flush();
    if (!SeekTo((HANDLE)handle_, offset) || !SetEndOfFile((HANDLE)handle_))
        Refuse("cannot write " + Quoted(finalPath_) + ": " + SystemReason());
    position_ = offset;
}

void OutputFile::close(bool) {
    if (!handle_) return;
    flush();
    const bool written = FlushFileBuffers((HANDLE)handle_) != 0;
    const DWORD failure = written ? 0 : GetLastError();
    const bool closed = CloseHandle((HANDLE)handle_) != 0;
    handle_ = nullptr;
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

PathInfo InspectPath(const std::string& path) {
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
        result.kind = PathInfo::Kind::Special;  // a device, a pipe
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
        *date = unixTime < 0 ? kFirstDosDate : kLastDosDate;
        *time = unixTime < 0 ? 0 : kLastDosTime;
        return;
    }
    const uint64_t intervals = (uint64_t)unixTime * 10000000u + (uint64_t)kEpochDifference;
    FILETIME universal, local;
    universal.dwLowDateTime = (DWORD)intervals;
    universal.dwHighDateTime = (DWORD)(intervals >> 32);
    SYSTEMTIME parts;
    if (!FileTimeToLocalFileTime(&universal, &local) || !FileTimeToSystemTime(&local, &parts) ||
        parts.wYear < 1980) {
        *date = kFirstDosDate;
        *time = 0;
        return;
    }
    if (parts.wYear > 2107) {
        *date = kLastDosDate;
        *time = kLastDosTime;
        return;
    }
    *date = (uint16_t)(((parts.wYear - 1980) << 9) | (parts.wMonth << 5) | parts.wDay);
    *time = (uint16_t)((parts.wHour << 11) | (parts.wMinute << 5) | (parts.wSecond / 2));
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


#else

// --- Linux -------------------------------------------------------------------

namespace {

std::string SystemReason() { return strerror(errno); }

FileId Identity(const struct stat& info) {
    FileId identity;
    identity.volume = (uint64_t)info.st_dev;
    identity.index = (uint64_t)info.st_ino;
    return identity;
}

}  // namespace

InputFile::InputFile(const std::string& path) : path_(path) {
    fd_ = open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd_ < 0) Refuse("cannot open " + Quoted(path) + ": " + SystemReason());
    struct stat info;
    if (fstat(fd_, &info) != 0 || !S_ISREG(info.st_mode)) {
        ::close(fd_);
        fd_ = -1;
        Refuse(Quoted(path) + " is not a regular file");
    }
    size_ = (uint64_t)info.st_size;
}

InputFile::~InputFile() {
    if (fd_ >= 0) ::close(fd_);
}

size_t InputFile::read(void* buffer, size_t count) {
    size_t done = 0;
    while (done < count) {
        const ssize_t got = ::read(fd_, (uint8_t*)buffer + done, count - done);
        if (got < 0 && errno == EINTR) continue;
        if (got < 0) Refuse("cannot read " + Quoted(path_) + ": " + SystemReason());
        if (got == 0) break;
        done += (size_t)got;
    }
    return done;
}

void InputFile::rewind() {
    if (lseek(fd_, 0, SEEK_SET) != 0) Refuse("cannot read " + Quoted(path_) + ": " + SystemReason());
}

MappedFile::MappedFile(const std::string& path) {
    const int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) Refuse("cannot open " + Quoted(path) + ": " + SystemReason());
    struct stat info;
    if (fstat(fd, &info) != 0 || !S_ISREG(info.st_mode)) {
        ::close(fd);
        Refuse(Quoted(path) + " is not a regular file");
    }
    size_ = (uint64_t)info.st_size;
    if (size_ > 0) {
        void* view = mmap(nullptr, (size_t)size_, PROT_READ, MAP_PRIVATE, fd, 0);
        if (view == MAP_FAILED) {
            ::close(fd);
            Refuse("cannot read " + Quoted(path) + ": " + SystemReason());
        }
        data_ = (const uint8_t*)view;
    }
    ::close(fd);
}

MappedFile::~MappedFile() {
    if (data_) munmap((void*)data_, (size_t)size_);
}

OutputFile::OutputFile(const std::string& finalPath) : finalPath_(finalPath) {
    std::string pattern = FolderOf(finalPath) + "/." + LastComponent(finalPath) + ".kvsfx-XXXXXX";
    std::vector<char> name(pattern.begin(), pattern.end());
    name.push_back(0);
    fd_ = mkstemp(name.data());
    if (fd_ < 0) Refuse("cannot write " + Quoted(finalPath) + ": " + SystemReason());
    tempPath_ = name.data();
    struct stat info;
    if (fstat(fd_, &info) == 0) identity_ = Identity(info);
    buffer_.reserve(kWriteBufferSize);
}

OutputFile::~OutputFile() {
    if (fd_ >= 0) ::close(fd_);
    if (!committed_) unlink(tempPath_.c_str());
}

void OutputFile::flush() {
    size_t done = 0;
    while (done < buffer_.size()) {
        const ssize_t put = ::write(fd_, buffer_.data() + done, buffer_.size() - done);
        if (put < 0 && errno == EINTR) continue;
        if (put <= 0) Refuse("cannot write " + Quoted(finalPath_) + ": " + SystemReason());
        done += (size_t)put;
    }
    buffer_.clear();
}

void OutputFile::write(const void* data, size_t count) {
    const uint8_t* bytes = (const uint8_t*)data;
    position_ += count;
    if (buffer_.size() + count > kWriteBufferSize) flush();
    if (count >= kWriteBufferSize) {
        buffer_.assign(bytes, bytes + count);
        flush();
        return;
    }
    buffer_.insert(buffer_.end(), bytes, bytes + count);
}

void OutputFile::patch(uint64_t offset, const void* data, size_t count) {
    flush();
    if (pwrite(fd_, data, count, (off_t)offset) != (ssize_t)count)
        Refuse("cannot write " + Quoted(finalPath_) + ": " + SystemReason());
}

void OutputFile::readBack(uint64_t offset, void* data, size_t count) {
    flush();
    size_t done = 0;
    while (done < count) {
        const ssize_t got = pread(fd_, (uint8_t*)data + done, count - done, (off_t)(offset + done));
        if (got < 0 && errno == EINTR) continue;
        if (got <= 0) Refuse("cannot read back " + Quoted(finalPath_) + ": " + SystemReason());
        done += (size_t)got;
    }
}

void OutputFile::truncateTo(uint64_t offset) {
    flush();
    if (ftruncate(fd_, (off_t)offset) != 0 || lseek(fd_, (off_t)offset, SEEK_SET) != (off_t)offset)
        Refuse("cannot write " + Quoted(finalPath_) + ": " + SystemReason());
    position_ = offset;
}

void OutputFile::close(bool executable) {
    if (fd_ < 0) return;
    flush();
    const mode_t mask = umask(0);
    umask(mask);
    const mode_t mode = (executable ? 0777 : 0666) & ~mask;
    const bool written = fchmod(fd_, mode) == 0 && fsync(fd_) == 0;
    const bool closed = ::close(fd_) == 0;
    fd_ = -1;
    if (!written || !closed) Refuse("cannot write " + Quoted(finalPath_) + ": " + SystemReason());
}

void OutputFile::commit(bool executable) {
    close(executable);
    if (rename(tempPath_.c_str(), finalPath_.c_str()) != 0)
        Refuse("cannot write " + Quoted(finalPath_) + ": " + SystemReason());
    committed_ = true;
}

void RandomBytes(uint8_t* buffer, size_t count) {
    size_t done = 0;
    while (done < count) {
        const ssize_t got = getrandom(buffer + done, count - done, 0);
        if (got < 0 && errno == EINTR) continue;
        if (got <= 0) Refuse("the system's random source failed: " + SystemReason());
        done += (size_t)got;
    }
}

bool ErrorIsTerminal() { return isatty(2) == 1; }

void ShowMessage(const std::string& text) { fprintf(stderr, "kvsfx-make: %s\n", PrintableText(text).c_str()); }

std::string OwnFolder() {
    char path[4096];
    const ssize_t length = readlink("/proc/self/exe", path, sizeof path - 1);
    if (length <= 0) return ".";
    path[length] = 0;
    return FolderOf(path);
}

std::string AbsolutePath(const std::string& path) {
    if (!path.empty() && path[0] == '/') return path;
    char here[4096];
    if (!getcwd(here, sizeof here)) Refuse(std::string("cannot find the current folder: ") + strerror(errno));
    return std::string(here) + "/" + path;
}

PathInfo InspectPath(const std::string& path) {
    PathInfo result;
    struct stat info;
    if (stat(path.c_str(), &info) != 0) {
        result.reason = SystemReason();
        if (lstat(path.c_str(), &info) == 0 && S_ISLNK(info.st_mode)) result.kind = PathInfo::Kind::BrokenLink;
        return result;
    }
    result.kind = S_ISREG(info.st_mode)   ? PathInfo::Kind::File
                  : S_ISDIR(info.st_mode) ? PathInfo::Kind::Folder
                                          : PathInfo::Kind::Special;
    result.size = result.kind == PathInfo::Kind::File ? (uint64_t)info.st_size : 0;
    result.modified = (int64_t)info.st_mtime;
    result.identity = Identity(info);
    return result;
}

void CheckReadable(const std::string& path) {
    if (access(path.c_str(), R_OK) != 0) Refuse("cannot read " + Quoted(path) + ": " + SystemReason());
}

std::vector<std::string> FolderNames(const std::string& path) {
    DIR* folder = opendir(path.c_str());
    if (!folder) Refuse("cannot read the folder " + Quoted(path) + ": " + SystemReason());
    std::vector<std::string> names;
    errno = 0;
    while (struct dirent* child = readdir(folder)) {
        if (strcmp(child->d_name, ".") != 0 && strcmp(child->d_name, "..") != 0) names.push_back(child->d_name);
    }
    const int readError = errno;
    closedir(folder);
    if (readError != 0) Refuse("cannot read the folder " + Quoted(path) + ": " + strerror(readError));
    return names;
}

void EnsureFolder(const std::string& path) {
    if (mkdir(path.c_str(), 0777) == 0 || errno == EEXIST) {
        struct stat info;
        if (stat(path.c_str(), &info) == 0 && S_ISDIR(info.st_mode)) return;
    }
    Refuse("cannot create the folder " + Quoted(path) + ": " + SystemReason());
}

void DosDateTime(int64_t unixTime, uint16_t* date, uint16_t* time) {
    const time_t value = (time_t)unixTime;
    struct tm local;
    if (localtime_r(&value, &local) == nullptr || local.tm_year < 80) {
        *date = kFirstDosDate;
        *time = 0;
        return;
    }
    if (local.tm_year > 207) {
        *date = kLastDosDate;
        *time = kLastDosTime;
        return;
    }
    *date = (uint16_t)(((local.tm_year - 80) << 9) | ((local.tm_mon + 1) << 5) | local.tm_mday);
    *time = (uint16_t)((local.tm_hour << 11) | (local.tm_min << 5) | (local.tm_sec / 2));
}


PathPresence LookAtUnfollowed(const std::string& path) {
    struct stat info;
    if (lstat(path.c_str(), &info) != 0) return errno == ENOENT ? PathPresence::Missing : PathPresence::Other;
    if (S_ISLNK(info.st_mode)) return PathPresence::Link;
    if (S_ISDIR(info.st_mode)) return PathPresence::Folder;
    return S_ISREG(info.st_mode) ? PathPresence::File : PathPresence::Other;
}

bool MakeOneFolder(const std::string& path) { return mkdir(path.c_str(), 0777) == 0; }

void SetModifiedTime(const std::string& path, time_t when) {
    struct timespec times[2];
    times[0].tv_sec = times[1].tv_sec = when;
    times[0].tv_nsec = times[1].tv_nsec = 0;
    utimensat(AT_FDCWD, path.c_str(), times, AT_SYMLINK_NOFOLLOW);
}

void WriteOutput(const std::string& text) { fputs(text.c_str(), stdout); }


#endif

#ifdef _WIN32
const char kDefaultStubName[] = "kvsfx32.exe";
const char kStubOptionHelp[] =
    R"(  --stub FILE            The extracting program to put in front (kvsfx32.exe,
                         or any kvsfx stub). Default: kvsfx32.exe lying
                         beside kvsfx-make.exe.
)";
const bool kNamesIgnoreCase = true;
bool IsDriveComponent(const std::string& part) { return part.size() == 2 && part[1] == ':'; }
#else
const char kDefaultStubName[] = "kvsfx";
const char kStubOptionHelp[] =
    R"(  --stub FILE            The extracting program to put in front (the Windows
                         kvsfx32.exe, or any kvsfx stub). Default: the Linux
                         stub kvsfx lying beside kvsfx-make.
)";
const bool kNamesIgnoreCase = false;
bool IsDriveComponent(const std::string&) { return false; }
#endif

}  // namespace kvmake
