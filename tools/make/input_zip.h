// Reading an input zip through its central directory, so that it can be
// rewritten with its local headers back to back, each carrying real sizes
// and CRC. Bytes before the archive (an input that is already a
// self-extracting file) are ignored.
#ifndef KVSFX_MAKE_INPUT_ZIP_H
#define KVSFX_MAKE_INPUT_ZIP_H

#include <stdint.h>

#include <string>
#include <vector>

#include "host_files.h"
#include "zip_records.h"

namespace kvmake {

struct CopiedEntry {
    ArchiveEntry entry;   // ready to be written: name in Windows-1252, bit 3 only where it must stay
    uint64_t dataOffset;  // where its compressed data starts in the input file
};

struct InputZip {
    std::vector<CopiedEntry> entries;
    std::string comment;
    bool anyEncrypted = false;
};

// Refuses, with a message naming path, anything that cannot be made into an
// archive the stub can walk: not a zip, damaged, Zip64, split or spanned,
// methods other than stored and deflated, other encryptions, names the stub
// would refuse.
InputZip ReadInputZip(const MappedFile& file, const std::string& path);
// The same over size bytes in memory.
InputZip ReadInputZip(const uint8_t* data, uint64_t size, const std::string& path);

// Decodes an unencrypted entry's data and compares its size and CRC with
// the entry's, so that a damaged zip is refused here rather than by the
// program on the user's machine. Encrypted entries cannot be checked
// without their password and are taken as they are.
void VerifyEntryData(const ArchiveEntry& entry, const uint8_t* data, const std::string& path);

}  // namespace kvmake

#endif
