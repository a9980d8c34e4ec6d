#include "host_files.h"

#include <errno.h>
#include <fcntl.h>
#include <stdlib.h>
#include <string.h>
#include <sys/mman.h>
#include <sys/random.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include "build_error.h"

namespace kvmake {

namespace {

const size_t kWriteBufferSize = 1 << 20;

std::string SystemReason() { return strerror(errno); }

}  // namespace

InputFile::InputFile(const std::string& path) : path_(path) {
    fd_ = open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd_ < 0) Refuse("cannot open " + Quoted(path) + ": " + SystemReason());
    struct stat info;
    if (fstat(fd_, &info) != 0 || !S_ISREG(info.st_mode)) {
        close(fd_);
        fd_ = -1;
        Refuse(Quoted(path) + " is not a regular file");
    }
    size_ = (uint64_t)info.st_size;
}

InputFile::~InputFile() {
    if (fd_ >= 0) close(fd_);
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

std::vector<uint8_t> ReadWholeFile(const std::string& path) {
    InputFile file(path);
    std::vector<uint8_t> bytes((size_t)file.size());
    if (file.read(bytes.data(), bytes.size()) != bytes.size())
        Refuse(Quoted(path) + " changed while it was being read");
    return bytes;
}

MappedFile::MappedFile(const std::string& path) {
    const int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) Refuse("cannot open " + Quoted(path) + ": " + SystemReason());
    struct stat info;
    if (fstat(fd, &info) != 0 || !S_ISREG(info.st_mode)) {
        close(fd);
        Refuse(Quoted(path) + " is not a regular file");
    }
    size_ = (uint64_t)info.st_size;
    if (size_ > 0) {
        void* view = mmap(nullptr, (size_t)size_, PROT_READ, MAP_PRIVATE, fd, 0);
        if (view == MAP_FAILED) {
            close(fd);
            Refuse("cannot read " + Quoted(path) + ": " + SystemReason());
        }
        data_ = (const uint8_t*)view;
    }
    close(fd);
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
    if (fstat(fd_, &info) == 0) {
        device_ = info.st_dev;
        inode_ = info.st_ino;
    }
    buffer_.reserve(kWriteBufferSize);
}

OutputFile::~OutputFile() {
    if (fd_ >= 0) close(fd_);
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

void OutputFile::commit(bool executable) {
    flush();
    const mode_t mask = umask(0);
    umask(mask);
    const mode_t mode = (executable ? 0777 : 0666) & ~mask;
    if (fchmod(fd_, mode) != 0 || fsync(fd_) != 0 || close(fd_) != 0) {
        fd_ = -1;
        Refuse("cannot write " + Quoted(finalPath_) + ": " + SystemReason());
    }
    fd_ = -1;
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

std::string OwnFolder() {
    char path[4096];
    const ssize_t length = readlink("/proc/self/exe", path, sizeof path - 1);
    if (length <= 0) return ".";
    path[length] = 0;
    return FolderOf(path);
}

std::string FolderOf(const std::string& path) {
    const size_t slash = path.find_last_of('/');
    if (slash == std::string::npos) return ".";
    if (slash == 0) return "/";
    return path.substr(0, slash);
}

std::string LastComponent(const std::string& path) {
    const size_t slash = path.find_last_of('/');
    return slash == std::string::npos ? path : path.substr(slash + 1);
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
        *date = (uint16_t)((0 << 9) | (1 << 5) | 1);  // 1 January 1980
        *time = 0;
        return;
    }
    if (local.tm_year > 207) {
        *date = (uint16_t)((127 << 9) | (12 << 5) | 31);  // 31 December 2107, 23:59:58
        *time = (uint16_t)((23 << 11) | (59 << 5) | 29);
        return;
    }
    *date = (uint16_t)(((local.tm_year - 80) << 9) | ((local.tm_mon + 1) << 5) | local.tm_mday);
    *time = (uint16_t)((local.tm_hour << 11) | (local.tm_min << 5) | (local.tm_sec / 2));
}

}  // namespace kvmake
