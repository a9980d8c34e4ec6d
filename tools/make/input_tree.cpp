#include "input_tree.h"

#include <dirent.h>
#include <errno.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>

#include "build_error.h"
#include "names.h"

namespace kvmake {

namespace {

struct Walk {
    const std::vector<SkippedFile>& skip;
    std::vector<TreeItem> items;
    std::vector<std::pair<dev_t, ino_t>> openFolders;  // folders on the way down, against link loops
};

bool IsSkipped(const Walk& walk, const struct stat& info) {
    for (const SkippedFile& file : walk.skip)
        if (file.device == info.st_dev && file.inode == info.st_ino) return true;
    return false;
}

void AddItem(Walk& walk, const std::string& shownName, const std::string& path, const struct stat& info,
             bool folder) {
    TreeItem item;
    item.shownName = folder ? shownName + "/" : shownName;
    if (!Utf8ToAnsi(item.shownName, &item.name))
        Refuse("the name " + Quoted(shownName) +
               " has characters that Windows-1252 names cannot hold; rename it to build the file");
    CheckEntryName(item.name, item.shownName, NameOrigin::HostFile);
    item.path = path;
    item.folder = folder;
    item.size = folder ? 0 : (uint64_t)info.st_size;
    item.modified = (int64_t)info.st_mtime;
    walk.items.push_back(std::move(item));
}

void WalkPath(Walk& walk, const std::string& shownName, const std::string& path) {
    struct stat info;
    if (stat(path.c_str(), &info) != 0) {
        const int reason = errno;
        if (lstat(path.c_str(), &info) == 0 && S_ISLNK(info.st_mode))
            Refuse(Quoted(path) + " is a symbolic link to nothing; remove it or make it point to a file");
        Refuse("cannot read " + Quoted(path) + ": " + strerror(reason));
    }
    if (IsSkipped(walk, info)) return;
    if (S_ISREG(info.st_mode)) {
        if (access(path.c_str(), R_OK) != 0) Refuse("cannot read " + Quoted(path) + ": " + strerror(errno));
        AddItem(walk, shownName, path, info, false);
        return;
    }
    if (!S_ISDIR(info.st_mode)) Refuse(Quoted(path) + " is neither a regular file nor a folder");

    const std::pair<dev_t, ino_t> identity(info.st_dev, info.st_ino);
    if (std::find(walk.openFolders.begin(), walk.openFolders.end(), identity) != walk.openFolders.end())
        Refuse(Quoted(path) + " leads back into a folder above it (a symbolic link loop)");
    DIR* folder = opendir(path.c_str());
    if (!folder) Refuse("cannot read the folder " + Quoted(path) + ": " + strerror(errno));
    std::vector<std::string> children;
    errno = 0;
    while (struct dirent* child = readdir(folder)) {
        if (strcmp(child->d_name, ".") != 0 && strcmp(child->d_name, "..") != 0) children.push_back(child->d_name);
    }
    const int readError = errno;
    closedir(folder);
    if (readError != 0) Refuse("cannot read the folder " + Quoted(path) + ": " + strerror(readError));
    std::sort(children.begin(), children.end());

    const size_t before = walk.items.size();
    walk.openFolders.push_back(identity);
    for (const std::string& child : children) WalkPath(walk, shownName + "/" + child, path + "/" + child);
    walk.openFolders.pop_back();
    // A folder with nothing stored inside it still gets created.
    if (walk.items.size() == before) AddItem(walk, shownName, path, info, true);
}

}  // namespace

std::string InputBaseName(const std::string& input) {
    std::string absolute = input;
    if (absolute.empty() || absolute[0] != '/') {
        char here[4096];
        if (!getcwd(here, sizeof here)) Refuse(std::string("cannot find the current folder: ") + strerror(errno));
        absolute = std::string(here) + "/" + input;
    }
    std::vector<std::string> parts;
    size_t start = 0;
    while (start <= absolute.size()) {
        size_t end = absolute.find('/', start);
        if (end == std::string::npos) end = absolute.size();
        const std::string part = absolute.substr(start, end - start);
        if (part == "..") {
            if (!parts.empty()) parts.pop_back();
        } else if (!part.empty() && part != ".") {
            parts.push_back(part);
        }
        start = end + 1;
    }
    if (parts.empty()) Refuse("the root folder cannot be an input; name the folders inside it");
    return parts.back();
}

std::vector<TreeItem> CollectTree(const std::vector<std::string>& inputs, const std::vector<SkippedFile>& skip) {
    Walk walk{skip, {}, {}};
    for (const std::string& input : inputs) {
        struct stat info;
        if (stat(input.c_str(), &info) != 0) Refuse("cannot find the input " + Quoted(input) + ": " + strerror(errno));
        WalkPath(walk, InputBaseName(input), input);
    }
    return walk.items;
}

}  // namespace kvmake
