#include "input_tree.h"

#include <algorithm>
#include <filesystem>

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
    const PathInfo info = LookUpPath(path);
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
    // Paths are UTF-8 on both systems; u8path and u8string keep them so.
    const std::filesystem::path clean = std::filesystem::u8path(AbsolutePath(input)).lexically_normal();
    // A folder's path may keep a separator at its end: its name comes before.
    std::filesystem::path name = clean.filename();
    if (name.empty()) name = clean.parent_path().filename();
    // Only a root ("/", or "C:\\" on Windows) leaves no name at all.
    if (name.empty()) Refuse("the root folder cannot be an input; name the folders inside it");
    return name.u8string();
}

std::vector<TreeItem> CollectTree(const std::vector<std::string>& inputs, const std::vector<FileId>& skip) {
    Walk walk{skip, {}, {}};
    for (const std::string& input : inputs) {
        const PathInfo info = LookUpPath(input);
        if (info.kind == PathInfo::Kind::Missing || info.kind == PathInfo::Kind::BrokenLink)
            Refuse("cannot find the input " + Quoted(input) + ": " + info.reason);
        WalkPath(walk, InputBaseName(input), input);
    }
    return walk.items;
}

}  // namespace kvmake
