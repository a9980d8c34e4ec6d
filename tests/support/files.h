// Files, folders and programs of the tests: whole files read and written,
// scratch folders, links, file times, child programs with their output,
// and folder trees read back for comparison.
#ifndef KVSFX_TESTS_SUPPORT_FILES_H
#define KVSFX_TESTS_SUPPORT_FILES_H

#include <stdint.h>

#include <atomic>
#include <map>
#include <string>
#include <vector>

typedef std::vector<uint8_t> Bytes;

inline Bytes AsBytes(const std::string& text) { return Bytes(text.begin(), text.end()); }
inline std::string AsString(const Bytes& bytes) { return std::string(bytes.begin(), bytes.end()); }
inline bool Contains(const std::string& text, const std::string& part) { return text.find(part) != std::string::npos; }

// A whole file; empty when it cannot be read.
std::string ReadFileBytes(const std::string& path);
Bytes ReadBytes(const std::string& path);
// A whole file, replaced; a failure is a test failure.
void WriteFileBytes(const std::string& path, const std::string& bytes);
void WriteBytes(const std::string& path, const Bytes& bytes);
inline void WriteText(const std::string& path, const std::string& text) { WriteFileBytes(path, text); }

// Something is at path (a link counts, whatever it points to).
bool Exists(const std::string& path);
bool IsLink(const std::string& path);
std::string LinkTarget(const std::string& path);  // empty when path is no link
// Modification (and access) time in seconds since 1970; -1 when unknown.
void SetFileTimes(const std::string& path, int64_t when);
int64_t ModifiedTime(const std::string& path);

// A fresh folder under the system's temporary folder, removed with
// everything in it at the end of its scope.
class ScratchFolder {
public:
    ScratchFolder();
    ~ScratchFolder();
    ScratchFolder(const ScratchFolder&) = delete;
    ScratchFolder& operator=(const ScratchFolder&) = delete;
    const std::string& path() const { return path_; }
    std::string operator/(const std::string& name) const { return path_ + "/" + name; }
    // Writes a file in the folder; its path.
    std::string Write(const std::string& name, const std::string& bytes) const;

private:
    std::string path_;
};

// A fresh empty folder of that name under the process's temporary root,
// which goes when the process ends.
std::string TempFolder(const std::string& name);

struct ProgramResult {
    int exitCode = -1;  // -1: killed or did not end in time
    std::string out, err;
};
// Runs argv[0] with the arguments, input on standard input (then closed),
// in folder (or the current one); kills it after timeoutSeconds. started,
// when given, gets the process id as soon as it exists.
ProgramResult RunProgram(const std::vector<std::string>& argv, const std::string& input = "",
                         int timeoutSeconds = 120, const std::string& folder = "",
                         std::atomic<int>* started = nullptr);

// In a child after fork: becomes argv[0] with the arguments, or ends with
// 127 when it cannot.
[[noreturn]] void ExecProgram(const std::vector<std::string>& argv);
// Waits for the end of a child; its exit code, or -1 after a signal.
int WaitExitCode(int pid);

std::string ShellQuote(const std::string& text);

struct RunResult {
    int status;          // exit status, or -1 when the program did not exit normally
    std::string output;  // standard output and standard error together
};
// Runs a shell command line in folder, both output streams in one.
RunResult RunIn(const std::string& folder, const std::string& command);
// kvsfx-make with the given arguments (already quoted where needed), with
// the files' own times whatever SOURCE_DATE_EPOCH the tests run under.
RunResult RunMake(const std::string& folder, const std::string& arguments);

// What a tree holds: relative path (folders end in '/') to size, modification
// time and content digest.
struct TreeNode {
    bool folder = false;
    uint64_t size = 0;
    int64_t modified = 0;
    uint32_t digest = 0;  // CRC-32 of the content
    bool operator==(const TreeNode& other) const {
        return folder == other.folder && size == other.size && modified == other.modified && digest == other.digest;
    }
};
std::map<std::string, TreeNode> ReadTree(const std::string& root, bool withFolderTimes = false);
// A readable list of the differences; empty when the trees are equal.
std::string TreeDifferences(const std::map<std::string, TreeNode>& expected, const std::map<std::string, TreeNode>& actual);

#endif
