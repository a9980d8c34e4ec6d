// The builder's host files on Linux: descriptors and the POSIX calls, with
// std::filesystem where it says the same in fewer words.
#include <errno.h>
#include <fcntl.h>
#include <stdio.h>
#include <string.h>
#include <sys/mman.h>
#include <sys/random.h>
#include <sys/stat.h>
#include <sys/time.h>
#include <time.h>
#include <unistd.h>

#include <filesystem>
#include <system_error>

#include "build_error.h"
#include "host_files.h"
#include "names.h"

namespace fs = std::filesystem;

namespace kvmake {

const char kDefaultStubName[] = "kvsfx";
const char kStubOptionHelp[] =
    R"(  --stub FILE            The extracting program to put in front (the Windows
                         kvsfx32.exe, or any kvsfx stub). Default: the Linux
                         stub kvsfx lying beside kvsfx-make.
)";
const bool kNamesIgnoreCase = false;
const bool kWindowsPaths = false;

namespace {

std::string SystemReason() { return strerror(errno); }

FileId Identity(const struct stat& info) {
    FileId identity;
    identity.volume = (uint64_t)info.st_dev;
    identity.index = (uint64_t)info.st_ino;
    return identity;
}

// Opens a regular file for reading and finds its size, or refuses.
int OpenForReading(const std::string& path, uint64_t* size) {
    const int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) Refuse("cannot open " + Quoted(path) + ": " + SystemReason());
    struct stat info;
    if (fstat(fd, &info) != 0 || !S_ISREG(info.st_mode)) {
        ::close(fd);
        Refuse(Quoted(path) + " is not a regular file");
    }
    *size = (uint64_t)info.st_size;
    return fd;
}

}  // namespace

InputFile::InputFile(const std::string& path) : path_(path) { handle_ = OpenForReading(path, &size_); }

InputFile::~InputFile() {
    if (handle_ != kNoHandle) ::close((int)handle_);
}

size_t InputFile::read(void* buffer, size_t count) {
    size_t done = 0;
    while (done < count) {
        const ssize_t got = ::read((int)handle_, (uint8_t*)buffer + done, count - done);
        if (got < 0 && errno == EINTR) continue;
        if (got < 0) Refuse("cannot read " + Quoted(path_) + ": " + SystemReason());
        if (got == 0) break;
        done += (size_t)got;
    }
    return done;
}

void InputFile::rewind() {
    if (lseek((int)handle_, 0, SEEK_SET) != 0) Refuse("cannot read " + Quoted(path_) + ": " + SystemReason());
}

MappedFile::MappedFile(const std::string& path) {
    const int fd = OpenForReading(path, &size_);
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
    const int fd = mkstemp(name.data());
    if (fd < 0) Refuse("cannot write " + Quoted(finalPath) + ": " + SystemReason());
    handle_ = fd;
    tempPath_ = name.data();
    struct stat info;
    if (fstat(fd, &info) == 0) identity_ = Identity(info);
    buffer_.reserve(kBufferSize);
}

OutputFile::~OutputFile() {
    if (handle_ != kNoHandle) ::close((int)handle_);
    if (!committed_) unlink(tempPath_.c_str());
}

void OutputFile::writeThrough(const uint8_t* data, size_t count) {
    size_t done = 0;
    while (done < count) {
        const ssize_t put = ::write((int)handle_, data + done, count - done);
        if (put < 0 && errno == EINTR) continue;
        if (put <= 0) Refuse("cannot write " + Quoted(finalPath_) + ": " + SystemReason());
        done += (size_t)put;
    }
}

void OutputFile::patch(uint64_t offset, const void* data, size_t count) {
    flush();
    if (pwrite((int)handle_, data, count, (off_t)offset) != (ssize_t)count)
        Refuse("cannot write " + Quoted(finalPath_) + ": " + SystemReason());
}

void OutputFile::readBack(uint64_t offset, void* data, size_t count) {
    flush();
    size_t done = 0;
    while (done < count) {
        const ssize_t got = pread((int)handle_, (uint8_t*)data + done, count - done, (off_t)(offset + done));
        if (got < 0 && errno == EINTR) continue;
        if (got <= 0) Refuse("cannot read back " + Quoted(finalPath_) + ": " + SystemReason());
        done += (size_t)got;
    }
}

void OutputFile::truncateTo(uint64_t offset) {
    flush();
    if (ftruncate((int)handle_, (off_t)offset) != 0 || lseek((int)handle_, (off_t)offset, SEEK_SET) != (off_t)offset)
        Refuse("cannot write " + Quoted(finalPath_) + ": " + SystemReason());
    position_ = offset;
}

void OutputFile::close(bool executable) {
    if (handle_ == kNoHandle) return;
    flush();
    const mode_t mask = umask(0);
    umask(mask);
    const mode_t mode = (executable ? 0777 : 0666) & ~mask;
    const bool written = fchmod((int)handle_, mode) == 0 && fsync((int)handle_) == 0;
    const bool closed = ::close((int)handle_) == 0;
    handle_ = kNoHandle;
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

void WriteOutput(const std::string& text) { fputs(text.c_str(), stdout); }

std::string OwnFolder() {
    std::error_code error;
    const fs::path program = fs::read_symlink("/proc/self/exe", error);
    return error || program.empty() ? std::string(".") : FolderOf(program.string());
}

// The current folder in front of a relative path, nothing cleaned.
std::string AbsolutePath(const std::string& path) {
    if (!path.empty() && path[0] == '/') return path;
    std::error_code error;
    const fs::path here = fs::current_path(error);
    if (error) Refuse("cannot find the current folder: " + error.message());
    return here.string() + "/" + path;
}

PathInfo LookUpPath(const std::string& path) {
    PathInfo result;
    struct stat info;
    if (stat(path.c_str(), &info) != 0) {
        result.reason = SystemReason();
        if (lstat(path.c_str(), &info) == 0 && S_ISLNK(info.st_mode)) result.kind = PathInfo::Kind::BrokenLink;
        return result;
    }
    result.kind = S_ISREG(info.st_mode)   ? PathInfo::Kind::File
                  : S_ISDIR(info.st_mode) ? PathInfo::Kind::Folder
                                          : PathInfo::Kind::Other;
    result.size = result.kind == PathInfo::Kind::File ? (uint64_t)info.st_size : 0;
    result.modified = (int64_t)info.st_mtime;
    result.identity = Identity(info);
    return result;
}

// "..", as the system resolves it, is the real parent even where a link led
// into the folder; the root is its own parent.
std::vector<FileId> FoldersAbove(const std::string& path) {
    std::vector<FileId> folders;
    FileId identity;
    std::string folder = FolderOf(path);
    while (folders.size() < 1024 && FileIdentity(folder, &identity)) {
        if (!folders.empty() && folders.back() == identity) break;
        folders.push_back(identity);
        folder = JoinPath(folder, "..");
    }
    return folders;
}

void CheckReadable(const std::string& path) {
    if (access(path.c_str(), R_OK) != 0) Refuse("cannot read " + Quoted(path) + ": " + SystemReason());
}

std::vector<std::string> FolderNames(const std::string& path) {
    std::vector<std::string> names;
    std::error_code error;
    fs::directory_iterator child(path, error), end;
    while (!error && child != end) {
        names.push_back(child->path().filename().string());
        child.increment(error);
    }
    if (error) Refuse("cannot read the folder " + Quoted(path) + ": " + error.message());
    return names;
}

void EnsureFolder(const std::string& path) {
    std::error_code error;
    fs::create_directory(path, error);
    if (!error && fs::is_directory(path, error)) return;
    if (!error) error = std::make_error_code(std::errc::file_exists);
    Refuse("cannot create the folder " + Quoted(path) + ": " + error.message());
}

void DosDateTime(int64_t unixTime, uint16_t* date, uint16_t* time) {
    const time_t value = (time_t)unixTime;
    struct tm local;
    if (localtime_r(&value, &local) == nullptr) {
        ClampedDosDateTime(1979, 1, 1, 0, 0, 0, date, time);
        return;
    }
    ClampedDosDateTime(local.tm_year + 1900, local.tm_mon + 1, local.tm_mday, local.tm_hour, local.tm_min,
                       local.tm_sec, date, time);
}

PathPresence LookAtUnfollowed(const std::string& path) {
    struct stat info;
    if (lstat(path.c_str(), &info) != 0) return errno == ENOENT ? PathPresence::Missing : PathPresence::Other;
    if (S_ISLNK(info.st_mode)) return PathPresence::Link;
    if (S_ISDIR(info.st_mode)) return PathPresence::Folder;
    return S_ISREG(info.st_mode) ? PathPresence::File : PathPresence::Other;
}

bool MakeOneFolder(const std::string& path) { return mkdir(path.c_str(), 0777) == 0; }

// A link is not followed: its own time is set, never its target's.
void SetModifiedTime(const std::string& path, time_t when) {
    struct timeval times[2];
    times[0].tv_sec = times[1].tv_sec = when;
    times[0].tv_usec = times[1].tv_usec = 0;
    lutimes(path.c_str(), times);
}

}  // namespace kvmake
