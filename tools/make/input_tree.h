// Files and folders given as inputs: each input is stored under its own name
// (the last component of its path), folders with everything inside them,
// names relative to the input's parent folder. Empty folders get folder
// entries. Symbolic links are followed; devices, pipes and sockets are refused.
#ifndef KVSFX_MAKE_INPUT_TREE_H
#define KVSFX_MAKE_INPUT_TREE_H

#include <stdint.h>

#include <string>
#include <vector>

#include "host_files.h"

namespace kvmake {

struct TreeItem {
    std::string name;       // stored name: Windows-1252, '/' separators, folders end in '/'
    std::string shownName;  // the same as the user sees it (UTF-8)
    std::string path;       // where to read it on this system
    bool folder = false;
    uint64_t size = 0;
    int64_t modified = 0;   // modification time, seconds since 1970 (UTC)
};

// Walks the inputs in the order given, each folder's content sorted by name.
// Files in skip (the output being written, the output it replaces) are left
// out.
std::vector<TreeItem> CollectTree(const std::vector<std::string>& inputs, const std::vector<FileId>& skip);

// The name an input is stored under: the last component of its path made
// absolute and cleaned of "." and ".." (so "." is the current folder's name).
// On Windows '\' separates too, and a drive's root is refused like "/".
std::string InputBaseName(const std::string& input);

}  // namespace kvmake

#endif
