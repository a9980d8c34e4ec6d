// The ZIP records the builder writes, laid out as the stub reads them: local
// header (30 bytes and the name and extra field), the 16-byte data
// descriptor, central directory header (46 bytes and name, extra field,
// comment) and end record (22 bytes and comment). Little-endian throughout.
#ifndef KVSFX_MAKE_ZIP_RECORDS_H
#define KVSFX_MAKE_ZIP_RECORDS_H

#include <stdint.h>

#include <string>
#include <vector>

namespace kvmake {

enum : uint32_t {
    kLocalSignature = 0x04034B50,
    kCentralSignature = 0x02014B50,
    kEndSignature = 0x06054B50,
    kDescriptorSignature = 0x08074B50,
    kZip64LocatorSignature = 0x07064B50,
    kZip64EndSignature = 0x06064B50,
};

enum : uint32_t {
    kLocalFixedSize = 30,
    kCentralFixedSize = 46,
    kEndFixedSize = 22,
    kZip64EndFixedSize = 56,    // the Zip64 end record without extensible data
    kZip64LocatorSize = 20,
    kDescriptorSize = 16,       // with its signature: the length the stub steps over
    kEncryptionHeaderSize = 12,
    kMaxStoredName = 260,       // the longest name the stub accepts
};

enum : uint16_t {
    kFlagEncrypted = 0x0001,
    kFlagDescriptor = 0x0008,
    kFlagStrongEncryption = 0x0040,
    kFlagUtf8 = 0x0800,
    kFlagMaskedHeaders = 0x2000,
};

enum : uint16_t { kMethodStored = 0, kMethodDeflated = 8 };

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

// Appends little-endian values to a byte string.
inline void Put16(std::string& out, uint32_t value) {
    out.push_back((char)(value & 0xFF));
    out.push_back((char)((value >> 8) & 0xFF));
}
inline void Put32(std::string& out, uint32_t value) {
    Put16(out, value & 0xFFFF);
    Put16(out, value >> 16);
}
inline uint32_t Get16(const uint8_t* p) { return (uint32_t)p[0] | ((uint32_t)p[1] << 8); }
inline uint32_t Get32(const uint8_t* p) { return Get16(p) | (Get16(p + 2) << 16); }

std::string LocalHeaderBytes(const ArchiveEntry& entry);
std::string DescriptorBytes(const ArchiveEntry& entry);
std::string CentralHeaderBytes(const ArchiveEntry& entry);
std::string EndRecordBytes(uint32_t entryCount, uint32_t directorySize, uint32_t directoryOffset,
                           const std::string& comment);

}  // namespace kvmake

#endif
