#include "input_tree.h"

#include <algorithm>

#include "build_error.h"
#include "names.h"

namespace kvmake {

namespace {

struct Walk {
    const std::vector<FileId>& skip;
    std::vector<TreeItem> items;
    // Folders on the way down, against link loops. Their identities come
    // from the system (device and inode, or volume and file index), so a
    // link or junction back up is caught whatever name it goes by.
    std::vector<FileId> openFolders;
};

void AddItem(Walk& walk, const std::string& shownName, const std::string& path, const PathInfo& info,
             bool folder) {
    TreeItem item;
    item.shownName = folder ? shownName + "/" : shownName;
    if (!Utf8ToAnsi(item.shownName, &item.name))
        Refuse("the name " + Quoted(shownName) +
               " has characters that Windows-1252 names cannot hold; rename it to build the file");
    CheckEntryName(item.name, item.shownName, NameOrigin::HostFile);
    item.path = path;
    item.folder = folder;
    item.size = folder ? 0 : info.size;
    item.modified = info.modified;
    walk.items.push_back(std::move(item));
}

void WalkPath(Walk& walk, const std::string& shownName, const std::string& path) {
    const PathInfo info = InspectPath(path);
    if (info.kind == PathInfo::Kind::BrokenLink)
        Refuse(Quoted(path) + " is a symbolic link to nothing; remove it or make it point to a file");
    if (info.kind == PathInfo::Kind::Missing) Refuse("cannot read " + Quoted(path) + ": " + info.reason);
    if (std::find(walk.skip.begin(), walk.skip.end(), info.identity) != walk.skip.end()) return;
    if (info.kind == PathInfo::Kind::File) {
        CheckReadable(path);
        AddItem(walk, shownName, path, info, false);
        return;
    }
    if (info.kind != PathInfo::Kind::Folder) Refuse(Quoted(path) + " is neither a regular file nor a folder");

    if (std::find(walk.openFolders.begin(), walk.openFolders.end(), info.identity) != walk.openFolders.end())
        Refuse(Quoted(path) + " leads back into a folder above it (a symbolic link loop)");
    std::vector<std::string> children = FolderNames(path);
    std::sort(children.begin(), children.end());

    const size_t before = walk.items.size();
    walk.openFolders.push_back(info.identity);
    for (const std::string& child : children) WalkPath(walk, shownName + "/" + child, JoinPath(path, child));
    walk.openFolders.pop_back();
    // A folder with nothing stored inside it still gets created.
    if (walk.items.size() == before) AddItem(walk, shownName, path, info, true);
}

}  // namespace

std::string InputBaseName(const std::string& input) {
    const std::string absolute = AbsolutePath(input);
    std::vector<std::string> parts;
    size_t start = 0;
    while (start <= absolute.size()) {
        size_t end = start;
        while (end < absolute.size() && !IsPathSeparator(absolute[end])) end++;
        const std::string part = absolute.substr(start, end - start);
        if (part == "..") {
            if (!parts.empty()) parts.pop_back();
        } else if (!part.empty() && part != ".") {
            parts.push_back(part);
        }
        start = end + 1;
    }
    bool root = parts.empty();
    // On Windows the first part of a full path is its drive ("C:").
    root = root || (parts.size() == 1 && IsDriveComponent(parts[0]));
    if (root) Refuse("the root folder cannot be an input; name the folders inside it");
    return parts.back();
}

std::vector<TreeItem> CollectTree(const std::vector<std::string>& inputs, const std::vector<FileId>& skip) {
    Walk walk{skip, {}, {}};
    for (const std::string& input : inputs) {
        const PathInfo info = InspectPath(input);
        if (info.kind == PathInfo::Kind::Missing || info.kind == PathInfo::Kind::BrokenLink)
            Refuse("cannot find the input " + Quoted(input) + ": " + info.reason);
        WalkPath(walk, InputBaseName(input), input);
    }
    return walk.items;
}

}  // namespace kvmake
