#include "zip_records.h"

#include <stdint.h>

namespace kvmake {

std::string TimestampExtra(int64_t unixTime) {
    if (unixTime < INT32_MIN || unixTime > INT32_MAX) return std::string();
    std::string out;
    Put16(out, kExtraTimestampId);
    Put16(out, 5);
    out.push_back('\x01');  // the modification time follows
    Put32(out, (uint32_t)(int32_t)unixTime);
    return out;
}

std::string WithoutExtraBlocks(const std::string& extra, uint16_t id) {
    std::string kept;
    size_t at = 0;
    while (at + 4 <= extra.size()) {
        const uint8_t* block = (const uint8_t*)extra.data() + at;
        const size_t length = 4 + Get16(block + 2);
        if (at + length > extra.size()) return extra;
        if (Get16(block) != id) kept.append(extra, at, length);
        at += length;
    }
    return at == extra.size() ? kept : extra;
}

std::string LocalHeaderBytes(const ArchiveEntry& entry) {
    std::string out;
    out.reserve(kLocalFixedSize + entry.name.size() + entry.localExtra.size());
    Put32(out, kLocalSignature);
    Put16(out, entry.versionNeeded);
    Put16(out, entry.flags);
    Put16(out, entry.method);
    Put16(out, entry.modTime);
    Put16(out, entry.modDate);
    // Sizes and CRC always sit in the local header, even with a descriptor:
    // the stub takes them from here.
    Put32(out, entry.crc);
    Put32(out, entry.compressedSize);
    Put32(out, entry.uncompressedSize);
    Put16(out, (uint32_t)entry.name.size());
    Put16(out, (uint32_t)entry.localExtra.size());
    out += entry.name;
    out += entry.localExtra;
    return out;
}

std::string DescriptorBytes(const ArchiveEntry& entry) {
    std::string out;
    Put32(out, kDescriptorSignature);
    Put32(out, entry.crc);
    Put32(out, entry.compressedSize);
    Put32(out, entry.uncompressedSize);
    return out;
}

std::string CentralHeaderBytes(const ArchiveEntry& entry) {
    std::string out;
    out.reserve(kCentralFixedSize + entry.name.size() + entry.centralExtra.size() + entry.comment.size());
    Put32(out, kCentralSignature);
    Put16(out, entry.versionMadeBy);
    Put16(out, entry.versionNeeded);
    Put16(out, entry.flags);
    Put16(out, entry.method);
    Put16(out, entry.modTime);
    Put16(out, entry.modDate);
    Put32(out, entry.crc);
    Put32(out, entry.compressedSize);
    Put32(out, entry.uncompressedSize);
    Put16(out, (uint32_t)entry.name.size());
    Put16(out, (uint32_t)entry.centralExtra.size());
    Put16(out, (uint32_t)entry.comment.size());
    Put16(out, 0);  // disk number start
    Put16(out, entry.internalAttributes);
    Put32(out, entry.externalAttributes);
    Put32(out, entry.localHeaderOffset);
    out += entry.name;
    out += entry.centralExtra;
    out += entry.comment;
    return out;
}

std::string EndRecordBytes(uint32_t entryCount, uint32_t directorySize, uint32_t directoryOffset,
                           const std::string& comment) {
    std::string out;
    Put32(out, kEndSignature);
    Put16(out, 0);  // this disk
    Put16(out, 0);  // disk where the directory starts
    Put16(out, entryCount);
    Put16(out, entryCount);
    Put32(out, directorySize);
    Put32(out, directoryOffset);
    Put16(out, (uint32_t)comment.size());
    out += comment;
    return out;
}

}  // namespace kvmake
