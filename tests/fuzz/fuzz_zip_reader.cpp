// libFuzzer target for the builder's zip reader: arbitrary bytes as an
// input zip. The reader either refuses them with a message (BuildError) or
// returns entries whose data lies inside the bytes; those are then checked
// the way a build checks them (names, collisions, size and CRC). Any other
// exception, a crash or a read outside the bytes is a finding.
#include <stdint.h>
#include <stdlib.h>

#include <string>
#include <vector>

#include "build_error.h"
#include "input_zip.h"
#include "names.h"

using namespace kvmake;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    // The bytes in a block of their own size, so that reading past them shows.
    const std::vector<uint8_t> bytes(data, data + size);
    try {
        InputZip zip = ReadInputZip(bytes.data(), bytes.size(), "input.zip");
        std::vector<std::string> names, shown;
        for (const CopiedEntry& copied : zip.entries) {
            const ArchiveEntry& entry = copied.entry;
            if (copied.dataOffset > size || entry.compressedSize > size - copied.dataOffset) abort();
            // Every name is one the program can create under its destination.
            std::string name = entry.name;
            for (char& c : name)
                if (c == '\\') c = '/';
            if (name.empty() || name.size() > kMaxNameLength || name[0] == '/') abort();
            const std::string parts = "/" + name.substr(0, name.size() - (entry.folder ? 1 : 0)) + "/";
            if (parts.find("//") != std::string::npos || parts.find("/./") != std::string::npos ||
                parts.find("/../") != std::string::npos)
                abort();
            names.push_back(entry.name);
            shown.push_back(PrintableText(entry.shownName));
        }
        CheckNameCollisions(names, shown);
        for (const CopiedEntry& copied : zip.entries) VerifyEntryData(copied.entry, bytes.data() + copied.dataOffset, "input.zip");
    } catch (const BuildError&) {
    }
    return 0;
}
