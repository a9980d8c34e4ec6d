#include "fuzz/memory_platform.h"

#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>

#include <algorithm>
#include <map>
#include <memory>
#include <set>
#include <vector>

#include "support/fake_platform.h"
#include "startup/sfx_state.h"

const char kMemoryRoot[] = "/kvsfx-fuzz-memory";

// Every entry of the seam that reaches files, folders or the current folder
// has a memory version below. A new entry must get one too (or be shown to
// touch no file) before this count is raised.
static_assert(sizeof(SfxPlatform) == 35 * sizeof(void*),
              "the platform seam has new entries: give those that touch files a memory version in BeginMemoryRun");

namespace {

enum : uint32_t {
    kNativePathCapacity = 1024,      // as on the real seam: longer paths fail
    kFoundNameCapacity = 260,
    kDiskCapacity = 16u << 20,       // what the memory disk holds in all
};

struct Node {
    bool folder = false;
    std::shared_ptr<std::string> data;  // files: shared with open handles, as an inode
};

struct Handle {
    std::shared_ptr<std::string> data;
    uint64_t position = 0;
    bool created = false;  // opened by createFile: writes count against the budget
};

struct MemoryDisk {
    std::map<std::string, Node> nodes;
    std::map<FileHandle, Handle> handles;
    FileHandle nextHandle = 0x10000;
    std::string currentFolder;
    int64_t writeBudget = -1;
    uint64_t stored = 0;
    std::set<void*> blocks;
};

MemoryDisk disk;
SfxPlatform fakeTable;  // the fake platform's entries the memory ones build on
FILE* savedIn;
FILE* savedOut;
FILE* savedErr;
FILE* nullOut;
FILE* scriptIn;

[[noreturn]] void Finding(const std::string& what) {
    fprintf(savedErr ? savedErr : stderr, "memory platform: %s\n", what.c_str());
    fflush(savedErr ? savedErr : stderr);
    abort();
}

// The absolute form of a stub path: '\' and '/' separate, "." and empty
// parts drop out, ".." climbs (not above the root). Empty: no path.
std::string Normal(const char* path) {
    if (path == nullptr || path[0] == 0 || strlen(path) >= kNativePathCapacity) return std::string();
    std::string text = path;
    for (char& c : text)
        if (c == '\\') c = '/';
    if (text[0] != '/') text = disk.currentFolder + "/" + text;
    std::vector<std::string> parts;
    size_t start = 0;
    while (start <= text.size()) {
        size_t end = text.find('/', start);
        if (end == std::string::npos) end = text.size();
        const std::string part = text.substr(start, end - start);
        if (part == "..") {
            if (!parts.empty()) parts.pop_back();
        } else if (!part.empty() && part != ".") {
            parts.push_back(part);
        }
        start = end + 1;
    }
    std::string normal;
    for (const std::string& part : parts) normal += "/" + part;
    return normal.empty() ? "/" : normal;
}

std::string Parent(const std::string& normal) {
    const size_t slash = normal.rfind('/');
    return slash == 0 ? "/" : normal.substr(0, slash);
}

bool IsFolder(const std::string& normal) {
    auto found = disk.nodes.find(normal);
    return found != disk.nodes.end() && found->second.folder;
}

bool Inside(const std::string& path, const std::string& folder) {
    if (folder == "/") return path != "/";
    return path.size() > folder.size() && path.compare(0, folder.size(), folder) == 0 && path[folder.size()] == '/';
}

// The destination as the run sees it now.
std::string Destination() { return Normal(state.destFolder); }

FileHandle NewHandle(const std::shared_ptr<std::string>& data, bool created) {
    FileHandle handle = disk.nextHandle++;
    disk.handles[handle] = Handle{data, 0, created};
    return handle;
}

Handle* Find(FileHandle file) {
    auto found = disk.handles.find(file);
    if (found == disk.handles.end()) Finding("use of a file handle that is not open: " + std::to_string(file));
    return &found->second;
}

FileHandle MemoryOpenFile(const char* path, int) {
    const std::string normal = Normal(path);
    auto found = disk.nodes.find(normal);
    if (found == disk.nodes.end() || found->second.folder) return 0;
    return NewHandle(found->second.data, false);
}

FileHandle Create(const std::string& normal) {
    if (normal.empty() || !IsFolder(Parent(normal)) || IsFolder(normal)) return 0;
    Node& node = disk.nodes[normal];
    if (node.data) {
        disk.stored -= node.data->size();
        node.data->clear();  // truncated in place: open readers see it, as on the real system
    } else {
        node.data = std::make_shared<std::string>();
    }
    return NewHandle(node.data, true);
}

// Output files are new files only: nothing that has the name is opened.
FileHandle MemoryCreateFile(const char* path) {
    const std::string normal = Normal(path);
    // Only the destination receives files during a run.
    if (state.extracting && !normal.empty() && !Inside(normal, Destination()))
        Finding(std::string("a file created outside the destination ") + state.destFolder + ": " + path);
    if (disk.nodes.count(normal)) return 0;
    return Create(normal);
}

// A complete file takes its name: it replaces a file, never a folder.
int MemoryReplaceFile(const char* from, const char* to) {
    const std::string source = Normal(from), target = Normal(to);
    if (state.extracting && !target.empty() && !Inside(target, Destination()))
        Finding(std::string("a file renamed outside the destination ") + state.destFolder + ": " + to);
    auto found = disk.nodes.find(source);
    if (source.empty() || target.empty() || found == disk.nodes.end() || found->second.folder || IsFolder(target) ||
        !IsFolder(Parent(target)))
        return 0;
    if (source == target) return 1;
    Node moved = found->second;
    disk.nodes.erase(found);
    auto replaced = disk.nodes.find(target);
    if (replaced != disk.nodes.end()) {
        disk.stored -= replaced->second.data->size();
        disk.nodes.erase(replaced);
    }
    disk.nodes[target] = moved;
    return 1;
}

int MemoryDeleteFile(const char* path) {
    auto found = disk.nodes.find(Normal(path));
    if (found == disk.nodes.end() || found->second.folder) return 0;
    disk.stored -= found->second.data->size();
    disk.nodes.erase(found);
    return 1;
}

FileHandle MemoryCreateReport(const char* path) { return Create(Normal(path)); }

int32_t MemoryReadFile(FileHandle file, void* buffer, uint32_t count) {
    Handle* handle = Find(file);
    const std::string& data = *handle->data;
    if (handle->position >= data.size()) return 0;
    const uint64_t got = std::min<uint64_t>(count, data.size() - handle->position);
    memcpy(buffer, data.data() + handle->position, (size_t)got);
    handle->position += got;
    return (int32_t)got;
}

int32_t MemoryWriteFile(FileHandle file, const void* buffer, uint32_t count) {
    Handle* handle = Find(file);
    if (handle->created && disk.writeBudget >= 0 && count > disk.writeBudget) count = (uint32_t)disk.writeBudget;
    std::string& data = *handle->data;
    const uint64_t end = handle->position + count;
    const uint64_t grows = end > data.size() ? end - data.size() : 0;
    if (disk.stored + grows > kDiskCapacity) {
        const uint64_t room = kDiskCapacity - disk.stored;
        count = (uint32_t)(count - std::min<uint64_t>(count, grows - room));
    }
    if (count == 0) return 0;
    if (handle->position + count > data.size()) {
        disk.stored += handle->position + count - data.size();
        data.resize((size_t)(handle->position + count));
    }
    memcpy(&data[(size_t)handle->position], buffer, count);
    handle->position += count;
    if (handle->created && disk.writeBudget >= 0) disk.writeBudget -= count;
    return (int32_t)count;
}

int64_t MemorySeekFile(FileHandle file, int64_t offset, int origin) {
    Handle* handle = Find(file);
    int64_t base = origin == kSeekSet ? 0 : origin == kSeekCurrent ? (int64_t)handle->position
                                                                   : (int64_t)handle->data->size();
    if ((offset > 0 && base > INT64_MAX - offset) || base + offset < 0) return -1;
    handle->position = (uint64_t)(base + offset);
    return (int64_t)handle->position;
}

void MemoryCloseFile(FileHandle file) {
    Find(file);
    disk.handles.erase(file);
}

void MemorySetFileTime(FileHandle file, uint16_t, uint16_t) { Find(file); }
void MemorySetFileTimeUtc(FileHandle file, int64_t) { Find(file); }

// No program of a fuzzed file is ever started: one inside the destination
// "cannot start"; one anywhere else is a finding.
int MemoryStartProgram(const char* path, const char*, const char* folder, uint32_t*) {
    const std::string normal = Normal(path);
    if (normal.empty() || !Inside(normal, Normal(folder)))
        Finding(std::string("a program started outside the destination: ") + path);
    return 0;
}

int MemoryFlushFile(FileHandle file) {
    Find(file);
    return 1;
}

int MemoryFindFile(const char* path, char* foundName, uint32_t* attributes) {
    const std::string normal = Normal(path);
    auto found = disk.nodes.find(normal);
    if (found == disk.nodes.end()) return 0;
    if (attributes) *attributes = found->second.folder ? (uint32_t)kAttributeFolder : 0x20u;
    if (foundName) {
        const std::string name = normal == "/" ? normal : normal.substr(normal.rfind('/') + 1);
        if (name.size() > kFoundNameCapacity) return 0;
        memcpy(foundName, name.c_str(), name.size() + 1);
    }
    return 1;
}

int MemoryMakeFolder(const char* path) {
    const std::string normal = Normal(path);
    if (normal.empty() || disk.nodes.count(normal) || !IsFolder(Parent(normal))) return 0;
    // During a run: inside the destination, or on the way to it.
    const std::string destination = Destination();
    if (state.extracting && normal != destination && !Inside(normal, destination) && !Inside(destination, normal))
        Finding(std::string("a folder created outside the destination ") + state.destFolder + ": " + path);
    disk.nodes[normal].folder = true;
    return 1;
}

int MemorySetCurrentFolder(const char* path) {
    const std::string normal = Normal(path);
    if (!IsFolder(normal)) return 0;
    disk.currentFolder = normal == "/" ? "" : normal;
    return 1;
}

uint32_t MemoryCurrentFolder(char* buffer, uint32_t capacity) {
    const std::string folder = disk.currentFolder.empty() ? "/" : disk.currentFolder;
    if (folder.size() + 1 > capacity) return 0;
    memcpy(buffer, folder.c_str(), folder.size() + 1);
    return (uint32_t)folder.size();
}

void* MemoryAllocate(uint32_t size) {
    void* block = fakeTable.allocate(size);
    if (block) disk.blocks.insert(block);
    return block;
}

void MemoryRelease(void* block) {
    if (block && disk.blocks.erase(block) == 0) Finding("release of a block that is not allocated");
    fakeTable.release(block);
}

}  // namespace

void BeginMemoryRun(const std::string& stdinText) {
    InstallFakePlatform();
    fakeTable = sfxPlatform;
    sfxPlatform.openFile = MemoryOpenFile;
    sfxPlatform.createFile = MemoryCreateFile;
    sfxPlatform.createReport = MemoryCreateReport;
    sfxPlatform.readFile = MemoryReadFile;
    sfxPlatform.writeFile = MemoryWriteFile;
    sfxPlatform.seekFile = MemorySeekFile;
    sfxPlatform.closeFile = MemoryCloseFile;
    sfxPlatform.setFileTime = MemorySetFileTime;
    sfxPlatform.setFileTimeUtc = MemorySetFileTimeUtc;
    sfxPlatform.replaceFile = MemoryReplaceFile;
    sfxPlatform.deleteFile = MemoryDeleteFile;
    sfxPlatform.startProgram = MemoryStartProgram;
    sfxPlatform.flushFile = MemoryFlushFile;
    sfxPlatform.findFile = MemoryFindFile;
    sfxPlatform.makeFolder = MemoryMakeFolder;
    sfxPlatform.setCurrentFolder = MemorySetCurrentFolder;
    sfxPlatform.currentFolder = MemoryCurrentFolder;
    sfxPlatform.allocate = MemoryAllocate;
    sfxPlatform.release = MemoryRelease;

    disk = MemoryDisk();
    disk.nodes["/"].folder = true;
    disk.nodes[kMemoryRoot].folder = true;
    disk.currentFolder = kMemoryRoot;
    // The temporary folder, and no variable of the real environment.
    fake.unsetEnvironment = true;
    fake.environment = {{"TMP", std::string(kMemoryRoot) + "/tmp"}, {"TEMP", std::string(kMemoryRoot) + "/tmp"}};
    PutMemoryFolder(std::string(kMemoryRoot) + "/tmp");

    if (!nullOut) nullOut = fopen("/dev/null", "w");
    savedIn = stdin;
    savedOut = stdout;
    savedErr = stderr;
    scriptIn = stdinText.empty() ? fopen("/dev/null", "r") : fmemopen((void*)stdinText.data(), stdinText.size(), "r");
    if (!nullOut || !scriptIn) Finding("cannot set up the standard streams");
    stdin = scriptIn;
    stdout = nullOut;
    stderr = nullOut;
}

void PutMemoryFolder(const std::string& path) {
    const std::string normal = Normal(path.c_str());
    if (normal.empty()) return;
    if (normal != "/") PutMemoryFolder(Parent(normal));
    disk.nodes[normal].folder = true;
}

void PutMemoryFile(const std::string& path, const std::string& bytes) {
    const std::string normal = Normal(path.c_str());
    PutMemoryFolder(Parent(normal));
    Node& node = disk.nodes[normal];
    node.folder = false;
    node.data = std::make_shared<std::string>(bytes);
}

void LimitMemoryWrites(int64_t bytes) { disk.writeBudget = bytes; }

void EndMemoryRun() {
    fflush(stdout);
    stdin = savedIn;
    stdout = savedOut;
    stderr = savedErr;
    fclose(scriptIn);
    scriptIn = nullptr;
    savedErr = nullptr;

    // A process that returned from the main sequence keeps nothing open; one
    // that ended through exitProcess leaves the rest to the system.
    if (!fake.exited && !disk.handles.empty())
        Finding(std::to_string(disk.handles.size()) + " file handles left open at the end of the program");
    for (void* block : disk.blocks) fakeTable.release(block);
    disk.blocks.clear();
    disk.handles.clear();
    disk.nodes.clear();
    struct stat info;
    if (stat(kMemoryRoot, &info) == 0) Finding(std::string("the real disk got ") + kMemoryRoot);
}
