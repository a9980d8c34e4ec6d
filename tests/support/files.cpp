#include "support/files.h"

#include <dirent.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <sys/time.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>
#include <zlib.h>

#include <filesystem>

#include <gtest/gtest.h>

std::string ReadFileBytes(const std::string& path) {
    std::string bytes;
    FILE* file = fopen(path.c_str(), "rb");
    if (!file) return bytes;
    char buffer[65536];
    size_t got;
    while ((got = fread(buffer, 1, sizeof buffer, file)) > 0) bytes.append(buffer, got);
    fclose(file);
    return bytes;
}

Bytes ReadBytes(const std::string& path) { return AsBytes(ReadFileBytes(path)); }

void WriteFileBytes(const std::string& path, const std::string& bytes) {
    FILE* file = fopen(path.c_str(), "wb");
    if (!file) {
        ADD_FAILURE() << "cannot write " << path;
        return;
    }
    const size_t written = bytes.empty() ? 0 : fwrite(bytes.data(), 1, bytes.size(), file);
    if (fclose(file) != 0 || written != bytes.size()) ADD_FAILURE() << "cannot write " << path;
}

void WriteBytes(const std::string& path, const Bytes& bytes) { WriteFileBytes(path, AsString(bytes)); }

bool Exists(const std::string& path) {
    struct stat info;
    return lstat(path.c_str(), &info) == 0;
}

bool IsLink(const std::string& path) {
    struct stat info;
    return lstat(path.c_str(), &info) == 0 && S_ISLNK(info.st_mode);
}

std::string LinkTarget(const std::string& path) {
    char target[4096];
    ssize_t length = readlink(path.c_str(), target, sizeof target);
    return length < 0 ? "" : std::string(target, (size_t)length);
}

void SetFileTimes(const std::string& path, int64_t when) {
    struct timeval times[2] = {{(time_t)when, 0}, {(time_t)when, 0}};
    if (utimes(path.c_str(), times) != 0) ADD_FAILURE() << "cannot set the time of " << path;
}

int64_t ModifiedTime(const std::string& path) {
    struct stat info;
    return stat(path.c_str(), &info) == 0 ? (int64_t)info.st_mtime : -1;
}

ScratchFolder::ScratchFolder() {
    std::string pattern = (std::filesystem::temp_directory_path() / "kvsfx-test-XXXXXX").string();
    if (mkdtemp(&pattern[0]) == nullptr) ADD_FAILURE() << "no scratch folder";
    path_ = pattern;
}

ScratchFolder::~ScratchFolder() {
    std::error_code ignored;
    std::filesystem::remove_all(path_, ignored);
}

std::string ScratchFolder::Write(const std::string& name, const std::string& bytes) const {
    const std::string full = path_ + "/" + name;
    WriteFileBytes(full, bytes);
    return full;
}

namespace {

std::string testRoot;

void RemoveTestRoot() {
    std::error_code ignored;
    if (!testRoot.empty()) std::filesystem::remove_all(testRoot, ignored);
}

}  // namespace

std::string TempFolder(const std::string& name) {
    if (testRoot.empty()) {
        std::string pattern = (std::filesystem::temp_directory_path() / "kvsfx-test-XXXXXX").string();
        if (mkdtemp(&pattern[0]) == nullptr) ADD_FAILURE() << "no temporary root";
        testRoot = pattern;
        atexit(RemoveTestRoot);
    }
    const std::string path = testRoot + "/" + name;
    std::error_code ignored;
    std::filesystem::remove_all(path, ignored);
    mkdir(path.c_str(), 0755);
    return path;
}

ProgramResult RunProgram(const std::vector<std::string>& argv, const std::string& input, int timeoutSeconds,
                         const std::string& folder, std::atomic<int>* started) {
    int in[2], out[2], err[2];
    if (pipe(in) != 0 || pipe(out) != 0 || pipe(err) != 0) return {};
    pid_t child = fork();
    if (child == 0) {
        dup2(in[0], 0);
        dup2(out[1], 1);
        dup2(err[1], 2);
        for (int fd : {in[0], in[1], out[0], out[1], err[0], err[1]}) close(fd);
        if (!folder.empty() && chdir(folder.c_str()) != 0) _exit(126);
        ExecProgram(argv);
    }
    if (started) *started = (int)child;
    close(in[0]);
    close(out[1]);
    close(err[1]);
    signal(SIGPIPE, SIG_IGN);
    ProgramResult result;
    size_t written = 0;
    if (input.empty()) close(in[1]);
    time_t deadline = time(nullptr) + timeoutSeconds;
    bool outOpen = true, errOpen = true, inOpen = !input.empty();
    while (outOpen || errOpen) {
        pollfd fds[3];
        int count = 0;
        if (outOpen) fds[count++] = {out[0], POLLIN, 0};
        if (errOpen) fds[count++] = {err[0], POLLIN, 0};
        if (inOpen) fds[count++] = {in[1], POLLOUT, 0};
        if (time(nullptr) > deadline) {
            kill(child, SIGKILL);
            break;
        }
        if (poll(fds, count, 500) <= 0) continue;
        for (int i = 0; i < count; i++) {
            if (fds[i].revents == 0) continue;
            if (fds[i].fd == in[1]) {
                ssize_t put = write(in[1], input.data() + written, input.size() - written);
                if (put > 0) written += (size_t)put;
                if (put < 0 || written == input.size()) {
                    close(in[1]);
                    inOpen = false;
                }
                continue;
            }
            char buffer[65536];
            ssize_t got = read(fds[i].fd, buffer, sizeof buffer);
            bool isOut = fds[i].fd == out[0];
            if (got <= 0) {
                (isOut ? outOpen : errOpen) = false;
                continue;
            }
            (isOut ? result.out : result.err).append(buffer, (size_t)got);
        }
    }
    if (inOpen) close(in[1]);
    close(out[0]);
    close(err[0]);
    result.exitCode = WaitExitCode(child);
    return result;
}

void ExecProgram(const std::vector<std::string>& argv) {
    std::vector<char*> args;
    for (const std::string& a : argv) args.push_back(const_cast<char*>(a.c_str()));
    args.push_back(nullptr);
    execv(args[0], args.data());
    _exit(127);
}

int WaitExitCode(int pid) {
    int status = 0;
    if (waitpid(pid, &status, 0) != pid) return -1;
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

std::string ShellQuote(const std::string& text) {
    std::string out = "'";
    for (char c : text) {
        if (c == '\'') out += "'\\''";
        else out += c;
    }
    return out + "'";
}

RunResult RunIn(const std::string& folder, const std::string& command) {
    // Long enough for the largest builds of the tests; ctest's own limit ends a hang.
    const ProgramResult run = RunProgram({"/bin/sh", "-c", "(" + command + ") 2>&1"}, "", 3600, folder);
    return RunResult{run.exitCode, run.out + run.err};
}

RunResult RunMake(const std::string& folder, const std::string& arguments) {
    return RunIn(folder, "env -u SOURCE_DATE_EPOCH " + ShellQuote(KVSFX_MAKE_PATH) + " " + arguments);
}

namespace {

void ReadTreeInto(const std::string& root, const std::string& relative, bool withFolderTimes,
                  std::map<std::string, TreeNode>* tree) {
    DIR* folder = opendir((root + "/" + relative).c_str());
    if (folder == nullptr) return;
    while (dirent* item = readdir(folder)) {
        std::string name = item->d_name;
        if (name == "." || name == "..") continue;
        std::string path = relative.empty() ? name : relative + "/" + name;
        struct stat info;
        if (lstat((root + "/" + path).c_str(), &info) != 0) continue;
        TreeNode node;
        if (S_ISDIR(info.st_mode)) {
            node.folder = true;
            if (withFolderTimes) node.modified = info.st_mtime;
            (*tree)[path + "/"] = node;
            ReadTreeInto(root, path, withFolderTimes, tree);
            continue;
        }
        node.size = (uint64_t)info.st_size;
        node.modified = info.st_mtime;
        // The digest, read in pieces so that large files cost no memory.
        FILE* file = fopen((root + "/" + path).c_str(), "rb");
        uLong crc = 0;
        if (file) {
            std::vector<char> buffer(1 << 20);
            size_t got;
            while ((got = fread(buffer.data(), 1, buffer.size(), file)) > 0)
                crc = crc32(crc, (const Bytef*)buffer.data(), (uInt)got);
            fclose(file);
        }
        node.digest = (uint32_t)crc;
        (*tree)[path] = node;
    }
    closedir(folder);
}

}  // namespace

std::map<std::string, TreeNode> ReadTree(const std::string& root, bool withFolderTimes) {
    std::map<std::string, TreeNode> tree;
    ReadTreeInto(root, "", withFolderTimes, &tree);
    return tree;
}

std::string TreeDifferences(const std::map<std::string, TreeNode>& expected,
                            const std::map<std::string, TreeNode>& actual) {
    std::string report;
    for (auto& [path, node] : expected) {
        auto found = actual.find(path);
        if (found == actual.end()) report += "missing: " + path + "\n";
        else if (!(found->second == node))
            report += "differs: " + path + " size " + std::to_string(node.size) + "/" +
                      std::to_string(found->second.size) + " time " + std::to_string(node.modified) + "/" +
                      std::to_string(found->second.modified) + "\n";
    }
    for (auto& [path, node] : actual)
        if (!expected.count(path)) report += "extra: " + path + "\n";
    return report;
}
