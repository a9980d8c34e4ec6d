// Helpers of the extraction tests: zip archives written field by field,
// self-extracting files assembled from the built stub, the stub run as a
// subprocess or in-process, and folder trees read back for comparison.
#ifndef KVSFX_TESTS_EXTRACT_SUPPORT_H
#define KVSFX_TESTS_EXTRACT_SUPPORT_H

#include <atomic>
#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <vector>

// One entry of a zip written by ZipWriter. The optional fields replace what
// the writer would compute, to make damaged archives.
struct ZipItem {
    std::string name;
    std::string data;            // uncompressed content
    int method = 8;              // 0 stored, 8 deflated; others store data as it is
    uint16_t flags = 0;          // bit 3: a data descriptor is written after the data
    uint16_t time = 0x6C2A;      // 13:33:20
    uint16_t date = 0x5A8F;      // 2025-04-15
    std::string password;        // not empty: traditional encryption (bit 0)
    std::optional<uint32_t> crc, compressedSize, uncompressedSize;
    std::optional<uint16_t> nameLength;
    std::string extra;
    std::string trailing;        // bytes after the compressed data, counted in its size
};

// The archive's bytes: local entries, central directory, end record.
std::string ZipBytes(const std::vector<ZipItem>& items, const std::string& comment = "");
// Just the local part of one entry (header, name, extra, data, descriptor).
std::string LocalEntryBytes(const ZipItem& item);

uint32_t Crc32(const std::string& data);
std::string Deflate(const std::string& data, int level = 6);

// A self-extracting file: the built stub with its configuration block
// filled in (archive start, flags, total size; no header, no checksum, no
// end-record check) and the archive appended. Returns the file's path.
std::string MakeSfx(const std::string& path, const std::string& zip, uint32_t flags = 0, uint32_t totalSize = 0);

// A fresh empty folder under the test's temporary root.
std::string TempFolder(const std::string& name);
std::string ReadFileBytes(const std::string& path);
void WriteFileBytes(const std::string& path, const std::string& bytes);
bool Exists(const std::string& path);

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

// The stub's own texts in UTF-8, as the terminal shows them.
std::string Message(int index);
// Message index formatted with one text argument, in UTF-8.
std::string MessageWith(int index, const std::string& argument);

// For tests of single procedures: installs the fake platform and gives the
// state what the start-up would (codec buffers, CRC table, message table,
// message buffer).
void PrepareUnitState();

// In-process runs: installs the fake platform on the self-extracting file
// and feeds input to standard input. The caller may then script fake.* and
// call RunSfxMain.
void PrepareInProcess(const std::string& sfxPath, const std::string& input = "");
// The texts of the message boxes shown, in UTF-8.
std::vector<std::string> BoxTexts();

#endif
