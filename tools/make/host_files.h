// The builder's use of the host system's files: reading inputs, writing the
// output under a temporary name that only becomes the real name once the file
// is complete, walking folders, random bytes, the terminal. Everything that
// differs between Linux (POSIX) and Windows (Win32) lives behind these
// declarations: in host_files_posix.cpp or host_files_win32.cpp, the one of
// the two that CMake builds; host_files.cpp holds what they share.
//
// Paths and names are UTF-8 on both systems. The Windows build reads its
// command line in UTF-16 and opens files through the wide calls, so names
// outside the ANSI code page reach the Windows-1252 check (names.h) intact.
#ifndef KVSFX_MAKE_HOST_FILES_H
#define KVSFX_MAKE_HOST_FILES_H

#include <stddef.h>
#include <stdint.h>
#include <time.h>

#include <string>
#include <vector>

namespace kvmake {

// The identity of a file or folder on this machine: device and inode on
// Linux, volume serial number and file index on Windows (whose C library
// reports no inode).
struct FileId {
    uint64_t volume = 0;
    uint64_t index = 0;
    bool operator==(const FileId& other) const { return volume == other.volume && index == other.index; }
};

// An open file as the system knows it: a descriptor on Linux, a handle on
// Windows; kNoHandle when there is none (neither system ever gives -1 for an
// open file).
const intptr_t kNoHandle = -1;

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
    intptr_t handle_ = kNoHandle;
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
    // Flushes, sets the permissions (executable or not, less the umask; Windows
    // has no such bit) and closes the file; it keeps its temporary name until
    // commit().
    void close(bool executable);
    // Closes the file if still open and renames it to its final name.
    void commit(bool executable);
    // Identity of the temporary file, so that a walk of the inputs can skip it.
    const FileId& identity() const { return identity_; }
    const std::string& finalPath() const { return finalPath_; }

private:
    static const size_t kBufferSize = 1 << 20;

    void flush();
    // Writes count bytes at the file's position, or refuses (one per system).
    void writeThrough(const uint8_t* data, size_t count);

    std::string finalPath_;
    std::string tempPath_;
    intptr_t handle_ = kNoHandle;  // after flush(), its file position is position_
    uint64_t position_ = 0;
    std::vector<uint8_t> buffer_;
    FileId identity_;
    bool committed_ = false;
};

// Fills buffer with bytes from the system's random source.
void RandomBytes(uint8_t* buffer, size_t count);

// True when standard error is a terminal (progress is shown only then).
bool ErrorIsTerminal();

// Writes "kvsfx-make: " and a line of text to standard error (on a Windows
// console in UTF-16, so that names keep their accents).
void ShowMessage(const std::string& text);

// The folder that holds the running builder (where the default stub lies).
std::string OwnFolder();

// The stub taken when none is named, beside the builder (on Windows the
// product itself, on Linux the terminal stub), and the help lines of --stub
// that describe it.
extern const char kDefaultStubName[];
extern const char kStubOptionHelp[];

// True where file names ignore case (Windows), false where they do not.
extern const bool kNamesIgnoreCase;

// True where paths are Windows': the backslash separates as '/' does and is
// put between a folder and a name, and a path may start with a drive ("C:").
extern const bool kWindowsPaths;

// The builder's work, given its command line in UTF-8 (main.cpp). The
// system's entry point, here in the host layer, converts the command line and
// hands it over.
int RunBuilder(std::vector<std::string> words);

// The folder part of a path ("." when it has none; on Windows "C:." for
// "C:name") and its last component. Windows also separates with '\'.
std::string FolderOf(const std::string& path);
std::string LastComponent(const std::string& path);
// A path inside a folder, joined with the system's separator.
std::string JoinPath(const std::string& folder, const std::string& name);
bool IsPathSeparator(char c);

// The absolute form of a path: on Linux the current folder in front of a
// relative path (left uncleaned); on Windows the system's full path, with
// "." and ".." resolved.
std::string AbsolutePath(const std::string& path);

// What a path names, symbolic links (and Windows junctions) followed.
struct PathInfo {
    enum class Kind { Missing, BrokenLink, File, Folder, Other };  // Other: a device, a pipe, a socket
    Kind kind = Kind::Missing;
    std::string reason;  // why it cannot be reached (Missing)
    uint64_t size = 0;
    int64_t modified = 0;  // seconds since 1970 (UTC)
    FileId identity;
};
PathInfo LookUpPath(const std::string& path);

bool IsRegularFile(const std::string& path);
bool IsFolder(const std::string& path);
// The identity of an existing file or folder; false when there is none.
bool FileIdentity(const std::string& path, FileId* identity);

// The identities of the folder that holds path and of every folder above
// it, up to the root (on Linux as the system climbs them, links resolved).
std::vector<FileId> FoldersAbove(const std::string& path);

// What a path names, symbolic links (and Windows junctions) not followed.
enum class PathPresence { Missing, Link, File, Folder, Other };
PathPresence LookAtUnfollowed(const std::string& path);
// Creates one folder; false when it could not be made (its parent missing,
// or something already there).
bool MakeOneFolder(const std::string& path);
// Sets a file's access and modification times, a link not followed.
void SetModifiedTime(const std::string& path, time_t when);

// Writes text to standard output; a Windows console gets it in UTF-16, so
// that names keep their accents whatever its code page.
void WriteOutput(const std::string& text);

// Refuses a file that cannot be opened for reading.
void CheckReadable(const std::string& path);

// The names in a folder, "." and ".." left out, in no particular order.
// Refuses a folder that cannot be read.
std::vector<std::string> FolderNames(const std::string& path);

// Creates a folder if it does not exist yet.
void EnsureFolder(const std::string& path);

// Where the last component of a path starts: after its last separator, or
// after a drive ("C:name").
size_t NameStart(const std::string& path);

// DOS date and time words of a calendar date and time (month and day from
// 1, seconds in two-second steps); years before 1980 give 1 January 1980 at
// midnight, years after 2107 the last value of 2107.
void ClampedDosDateTime(int year, int month, int day, int hour, int minute, int second, uint16_t* date,
                        uint16_t* time);

// Local time of a modification time, as DOS date and time words (1980 to
// 2107; earlier times become 1 January 1980, later ones the last 2107 value).
void DosDateTime(int64_t unixTime, uint16_t* date, uint16_t* time);
// The same in UTC, whatever the time zone of this machine: the words then
// come out the same wherever the file is made.
void UtcDosDateTime(int64_t unixTime, uint16_t* date, uint16_t* time);

}  // namespace kvmake

#endif
