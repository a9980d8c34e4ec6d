// The ZIP records the builder writes, laid out as the stub reads them: local
// header (30 bytes and the name and extra field), the 16-byte data
// descriptor, central directory header (46 bytes and name, extra field,
// comment) and end record (22 bytes and comment). Their signatures, sizes,
// flags and limits are in format/zip_records.h.
#ifndef KVSFX_MAKE_ZIP_RECORDS_H
#define KVSFX_MAKE_ZIP_RECORDS_H

#include <stdint.h>

#include <string>
#include <vector>

#include "format/bytes.h"
#include "format/zip_records.h"

namespace kvmake {

// One entry as it is written: the local header's fields, the central
// directory's extra fields, and where the local header landed.
struct ArchiveEntry {
    std::string name;             // stored bytes (Windows-1252), '/' separators; folders end in '/'
    std::string shownName;        // the name as the user knows it, for messages
    bool folder = false;
    uint16_t versionMadeBy = 20;  // MS-DOS host, version 2.0
    uint16_t versionNeeded = 20;
    uint16_t flags = 0;
    uint16_t method = kMethodStored;
    uint16_t modTime = 0;
    uint16_t modDate = 0;
    uint32_t crc = 0;
    uint32_t compressedSize = 0;    // encryption header included
    uint32_t uncompressedSize = 0;
    std::string localExtra;
    std::string centralExtra;
    std::string comment;
    uint16_t internalAttributes = 0;
    uint32_t externalAttributes = 0;
    uint32_t localHeaderOffset = 0;  // as recorded in the central directory
};

// The extended timestamp extra block: a flags byte announcing the
// modification time, then that time as signed 32-bit seconds since 1970 UTC.
// The same 9 bytes serve the local and the central header. Empty for a time
// the block cannot hold.
std::string TimestampExtra(int64_t unixTime);
// extra without its blocks of the given id; a malformed field (a block that
// runs past its end) is kept as it is.
std::string WithoutExtraBlocks(const std::string& extra, uint16_t id);

std::string LocalHeaderBytes(const ArchiveEntry& entry);
std::string DescriptorBytes(const ArchiveEntry& entry);
std::string CentralHeaderBytes(const ArchiveEntry& entry);
std::string EndRecordBytes(uint32_t entryCount, uint32_t directorySize, uint32_t directoryOffset,
                           const std::string& comment);

}  // namespace kvmake

#endif
