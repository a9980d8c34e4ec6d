// Writes the archive part of the output: entry after entry, local headers
// back to back, then the central directory and the end record. Every local
// header carries the entry's real sizes and CRC (the stub reads nothing
// else). Offsets recorded in the directory count from `offsetBase` (the start
// of the output file, or the start of the first ".ZIP" volume).
//
// The writer also notes the byte ranges that a spanned set must never split
// across volumes: a local header with its name, extra field and encryption
// header; a data descriptor together with the last byte of the data before
// it; each central directory header; the end record.
#ifndef KVSFX_MAKE_ARCHIVE_WRITER_H
#define KVSFX_MAKE_ARCHIVE_WRITER_H

#include <stdint.h>

#include <string>
#include <vector>

#include "host_files.h"
#include "progress.h"
#include "zip_records.h"

namespace kvmake {

// Positions in the output file; a volume may end at start or end but never
// strictly between them.
struct KeepTogether {
    uint64_t start;
    uint64_t end;
};

// What the archive came to, for the configuration block.
struct ArchiveSummary {
    uint64_t endRecordPosition = 0;  // file position of the end record
    uint64_t end = 0;                // file position after the last byte
    uint64_t totalSize = 0;          // sum of the uncompressed sizes
    bool anyEncrypted = false;
};

// How file data is written.
struct EntrySettings {
    int level = 6;             // 0 stores; 1-9 deflate
    std::string password;      // Windows-1252 bytes; empty: no encryption
    Progress* progress = nullptr;
    uint64_t progressBase = 0; // input bytes read before this entry
};

class ArchiveWriter {
public:
    ArchiveWriter(OutputFile& out, uint64_t offsetBase);

    // A folder entry (no data).
    void addFolder(ArchiveEntry entry);
    // A file read from this system, compressed and encrypted as settings say.
    // expectedSize is the size the walk saw; a file that changes meanwhile is
    // refused.
    void addHostFile(ArchiveEntry entry, const std::string& path, uint64_t expectedSize,
                     const EntrySettings& settings);
    // An entry copied from an input zip: data holds its compressed bytes
    // (entry.compressedSize of them). Encrypted with settings.password when
    // one is set. A descriptor follows the data when entry.flags has bit 3.
    void addCopiedEntry(ArchiveEntry entry, const uint8_t* data, const EntrySettings& settings);

    // The archive comment written into the end record.
    void setComment(const std::string& comment) { comment_ = comment; }
    // Writes the central directory and the end record.
    ArchiveSummary finish();

    const std::vector<KeepTogether>& keepTogether() const { return keep_; }

private:
    void writeLocalHeader(ArchiveEntry& entry);
    void endEntry(ArchiveEntry& entry, uint64_t headerStart, uint64_t dataStart);
    void storeSmallFile(ArchiveEntry& entry, InputFile& file, const std::string& path, uint64_t size,
                        const EntrySettings& settings);
    void streamLargeFile(ArchiveEntry& entry, InputFile& file, const std::string& path, uint64_t size,
                         const EntrySettings& settings);
    uint32_t recorded(uint64_t position) const;

    OutputFile& out_;
    uint64_t offsetBase_;
    std::vector<ArchiveEntry> entries_;
    std::vector<KeepTogether> keep_;
    uint64_t totalSize_ = 0;
    bool anyEncrypted_ = false;
    std::string comment_;
};

// Files up to this size are compressed in memory in one go (deflate_engine.h);
// larger ones are streamed through zlib so that memory stays bounded.
const uint64_t kInMemoryLimit = 64u << 20;

}  // namespace kvmake

#endif
