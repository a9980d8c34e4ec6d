// The builder's output read back independently of the builder: the
// archive walked the way the stub walks it (local header after local
// header, volumes crossed only where the stub crosses them), each entry
// decrypted and inflated with the control codec; and the central directory.
#ifndef KVSFX_TESTS_SUPPORT_STUB_WALK_H
#define KVSFX_TESTS_SUPPORT_STUB_WALK_H

#include <stdint.h>

#include <string>
#include <vector>

#include "support/files.h"

// One entry as the walk found it.
struct WalkedEntry {
    uint64_t headerPosition;  // in the concatenated volumes
    uint16_t flags, method, modTime, modDate;
    uint32_t crc, compressedSize, uncompressedSize;
    std::string name;
    std::string extra;        // the local extra field
    uint8_t checkByte;        // twelfth decrypted header byte (encrypted entries)
    Bytes content;            // decrypted and inflated
};

// The archive walked as the stub walks it. volumes[0] is read from start;
// further volumes from their first byte. Records the stub reads in one piece
// must lie whole in one volume; compressed data is read in chunks of 2048
// and may cross; a descriptor is stepped over on the volume where the data
// ended.
struct StubWalk {
    std::vector<WalkedEntry> entries;
    uint64_t centralPosition = 0;  // where the walk met the first central header
    bool sawEndRecord = false;
};

// The central directory of a single file: each record's name and local
// header offset, read through the end record (offsets as stored).
struct CentralRecord {
    std::string name;
    std::string extra;
    uint16_t flags, modTime, modDate;
    uint32_t crc, compressedSize, uncompressedSize, localOffset;
};
StubWalk WalkLikeStub(const std::vector<Bytes>& volumes, size_t start, bool spanned,
                      const std::string& password = "");
std::vector<CentralRecord> ReadCentralDirectory(const Bytes& archive, uint64_t endRecord,
                                                uint32_t* directoryOffset = nullptr);

#endif
