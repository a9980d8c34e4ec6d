#include "zip_records.h"

#include <stdint.h>

namespace kvmake {

std::string TimestampExtra(int64_t unixTime) {
    if (unixTime < INT32_MIN || unixTime > INT32_MAX) return std::string();
    std::string out;
    AppendLe16(out, kExtraTimestampId);
    AppendLe16(out, 5);
    out.push_back('\x01');  // the modification time follows
    AppendLe32(out, (uint32_t)(int32_t)unixTime);
    return out;
}

std::string WithoutExtraBlocks(const std::string& extra, uint16_t id) {
    std::string kept;
    size_t at = 0;
    while (at + 4 <= extra.size()) {
        const uint8_t* block = (const uint8_t*)extra.data() + at;
        const size_t length = 4 + LoadLe16(block + 2);
        if (at + length > extra.size()) return extra;
        if (LoadLe16(block) != id) kept.append(extra, at, length);
        at += length;
    }
    return at == extra.size() ? kept : extra;
}

namespace {

// The fields the local and the central header share, from the version
// needed to the uncompressed size. Sizes and CRC always sit in the local
// header, even with a descriptor: the stub takes them from there.
void AppendSharedFields(std::string& out, const ArchiveEntry& entry) {
    AppendLe16(out, entry.versionNeeded);
    AppendLe16(out, entry.flags);
    AppendLe16(out, entry.method);
    AppendLe16(out, entry.modTime);
    AppendLe16(out, entry.modDate);
    AppendLe32(out, entry.crc);
    AppendLe32(out, entry.compressedSize);
    AppendLe32(out, entry.uncompressedSize);
}

}  // namespace

std::string LocalHeaderBytes(const ArchiveEntry& entry) {
    std::string out;
    out.reserve(kLocalFixedSize + entry.name.size() + entry.localExtra.size());
    AppendLe32(out, kLocalSignature);
    AppendSharedFields(out, entry);
    AppendLe16(out, (uint32_t)entry.name.size());
    AppendLe16(out, (uint32_t)entry.localExtra.size());
    out += entry.name;
    out += entry.localExtra;
    return out;
}

std::string DescriptorBytes(const ArchiveEntry& entry) {
    std::string out;
    AppendLe32(out, kDescriptorSignature);
    AppendLe32(out, entry.crc);
    AppendLe32(out, entry.compressedSize);
    AppendLe32(out, entry.uncompressedSize);
    return out;
}

std::string CentralHeaderBytes(const ArchiveEntry& entry) {
    std::string out;
    out.reserve(kCentralFixedSize + entry.name.size() + entry.centralExtra.size() + entry.comment.size());
    AppendLe32(out, kCentralSignature);
    AppendLe16(out, entry.versionMadeBy);
    AppendSharedFields(out, entry);
    AppendLe16(out, (uint32_t)entry.name.size());
    AppendLe16(out, (uint32_t)entry.centralExtra.size());
    AppendLe16(out, (uint32_t)entry.comment.size());
    AppendLe16(out, 0);  // disk number start
    AppendLe16(out, entry.internalAttributes);
    AppendLe32(out, entry.externalAttributes);
    AppendLe32(out, entry.localHeaderOffset);
    out += entry.name;
    out += entry.centralExtra;
    out += entry.comment;
    return out;
}

std::string EndRecordBytes(uint32_t entryCount, uint32_t directorySize, uint32_t directoryOffset,
                           const std::string& comment) {
    std::string out;
    AppendLe32(out, kEndSignature);
    AppendLe16(out, 0);  // this disk
    AppendLe16(out, 0);  // disk where the directory starts
    AppendLe16(out, entryCount);
    AppendLe16(out, entryCount);
    AppendLe32(out, directorySize);
    AppendLe32(out, directoryOffset);
    AppendLe16(out, (uint32_t)comment.size());
    out += comment;
    return out;
}

}  // namespace kvmake
