// Zip archives written field by field, independently of the builder's
// writer: the control that the stub and the builder's reader are tested
// against, and the maker of damaged archives.
#ifndef KVSFX_TESTS_SUPPORT_ZIP_WRITER_H
#define KVSFX_TESTS_SUPPORT_ZIP_WRITER_H

#include <stdint.h>

#include <optional>
#include <string>
#include <vector>

// One entry. The optional fields replace what the writer would compute, to
// make damaged archives.
struct ZipItem {
    std::string name;
    std::string data;            // uncompressed content
    int method = 8;              // 0 stored, 8 deflated; others store data as it is
    uint16_t flags = 0;          // bit 3: a data descriptor is written after the data
    uint16_t time = 0x6C2A;      // 13:33:20
    uint16_t date = 0x5A8F;      // 2025-04-15
    std::string password;        // not empty: traditional encryption (bit 0)
    std::optional<uint32_t> crc, compressedSize, uncompressedSize;
    std::optional<uint16_t> nameLength;
    std::string extra;
    std::string trailing;        // bytes after the compressed data, counted in its size
};

inline ZipItem Item(const std::string& name, const std::string& data, int method = 8) {
    ZipItem item;
    item.name = name;
    item.data = data;
    item.method = method;
    return item;
}

// Where the archive goes and what closes it.
struct ZipLayout {
    std::string comment;
    uint32_t base = 0;              // offsets count from this many bytes before the archive
    bool digitalSignature = false;  // a digital signature record before the end record
};

// The archive's bytes: local entries, central directory, end record.
std::string ZipBytes(const std::vector<ZipItem>& items, const std::string& comment = "");
// The same laid out; *endRecordAt, when given, gets the offset in the
// returned bytes of the end record (or of the digital signature record).
std::string ZipBytes(const std::vector<ZipItem>& items, const ZipLayout& layout, uint32_t* endRecordAt = nullptr);
// Just the local part of one entry (header, name, extra, data, descriptor).
std::string LocalEntryBytes(const ZipItem& item);

#endif
