// The builder's use of the host system's files: reading inputs, writing the
// output under a temporary name that only becomes the real name once the file
// is complete, random bytes, the terminal. Everything POSIX lives here and in
// input_tree.cpp.
#ifndef KVSFX_MAKE_HOST_FILES_H
#define KVSFX_MAKE_HOST_FILES_H

#include <stddef.h>
#include <stdint.h>
#include <sys/types.h>

#include <string>
#include <vector>

namespace kvmake {

// A file read from start to end (an input file or the stub).
class InputFile {
public:
    explicit InputFile(const std::string& path);  // refuses a missing or unreadable file
    ~InputFile();
    InputFile(const InputFile&) = delete;
    InputFile& operator=(const InputFile&) = delete;

    uint64_t size() const { return size_; }
    // Reads up to count bytes at the current position; fewer only at the end.
    size_t read(void* buffer, size_t count);
    void rewind();

private:
    std::string path_;
    int fd_ = -1;
    uint64_t size_ = 0;
};

// Reads a whole file into memory (stub images, password files).
std::vector<uint8_t> ReadWholeFile(const std::string& path);

// A read-only view of a whole file in memory (input zips).
class MappedFile {
public:
    explicit MappedFile(const std::string& path);
    ~MappedFile();
    MappedFile(const MappedFile&) = delete;
    MappedFile& operator=(const MappedFile&) = delete;

    const uint8_t* data() const { return data_; }
    uint64_t size() const { return size_; }

private:
    const uint8_t* data_ = nullptr;
    uint64_t size_ = 0;
};

// A file being written under a temporary name in the folder of its final
// name. Buffered; knows its position; can patch bytes already written. The
// temporary file is removed unless commit() renames it into place.
class OutputFile {
public:
    explicit OutputFile(const std::string& finalPath);
    ~OutputFile();
    OutputFile(const OutputFile&) = delete;
    OutputFile& operator=(const OutputFile&) = delete;

    void write(const void* data, size_t count);
    uint64_t position() const { return position_; }
    // Overwrites bytes at an earlier position (after flushing).
    void patch(uint64_t offset, const void* data, size_t count);
    // Reads back bytes already written (after flushing).
    void readBack(uint64_t offset, void* data, size_t count);
    // Drops everything from offset on and continues writing there.
    void truncateTo(uint64_t offset);
    // Flushes, sets the permissions (executable or not, less the umask) and
    // renames the file to its final name.
    void commit(bool executable);
    // Identity of the temporary file, so that a walk of the inputs can skip it.
    dev_t device() const { return device_; }
    ino_t inode() const { return inode_; }
    const std::string& finalPath() const { return finalPath_; }

private:
    void flush();

    std::string finalPath_;
    std::string tempPath_;
    int fd_ = -1;
    uint64_t position_ = 0;
    std::vector<uint8_t> buffer_;
    dev_t device_ = 0;
    ino_t inode_ = 0;
    bool committed_ = false;
};

// Fills buffer with bytes from the system's random source.
void RandomBytes(uint8_t* buffer, size_t count);

// True when standard error is a terminal (progress is shown only then).
bool ErrorIsTerminal();

// The folder that holds the running builder (where the default stub lies).
std::string OwnFolder();

// The folder part of a path ("." when it has none) and its last component.
std::string FolderOf(const std::string& path);
std::string LastComponent(const std::string& path);

// Creates a folder if it does not exist yet.
void EnsureFolder(const std::string& path);

// Local time of a modification time, as DOS date and time words (1980 to
// 2107; earlier times become 1 January 1980, later ones the last 2107 value).
void DosDateTime(int64_t unixTime, uint16_t* date, uint16_t* time);

}  // namespace kvmake

#endif
