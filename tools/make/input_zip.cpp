#include "input_zip.h"

#include <zlib.h>

#include <vector>

#include "build_error.h"
#include "deflate_engine.h"
#include "names.h"

namespace kvmake {

namespace {

const uint32_t kZip64Marker32 = 0xFFFFFFFFu;
const uint32_t kZip64Marker16 = 0xFFFFu;
const uint16_t kZip64ExtraId = 0x0001;

struct EndRecord {
    uint64_t position;
    uint64_t directoryEnd;    // where the directory ends: the end record, or the Zip64 end record before it
    uint32_t entryCount;
    uint64_t directoryStart;  // where the directory really is in the file
    uint32_t directoryOffset; // where the end record says it is
    std::string comment;
};

// Drops Zip64 extra blocks: every size and offset of the entry fits in its
// 32-bit field, so they only repeat them. A malformed extra field is kept as
// it is (the stub passes over what it cannot parse).
std::string WithoutZip64Extra(const std::string& extra) { return WithoutExtraBlocks(extra, kZip64ExtraId); }

class ZipReader {
public:
    ZipReader(const uint8_t* data, uint64_t size, const std::string& path) : data_(data), size_(size), path_(path) {}

    InputZip read();

private:
    [[noreturn]] void damaged(const std::string& why) const {
        Refuse(Quoted(path_) + " is a damaged zip: " + why);
    }
    bool findEndRecord(EndRecord* end) const;
    bool readEndRecordAt(uint64_t position, EndRecord* end) const;
    uint64_t readCentralHeader(uint64_t at, int64_t shift, const EndRecord& end, InputZip* zip) const;

    const uint8_t* data_;
    uint64_t size_;
    std::string path_;
};

// The Zip64 end record a locator at `locator` points to. Its offset in the
// locator counts from the archive's start, which bytes before the archive
// move; the record is found instead as the one that ends at the locator
// (56 bytes with no extensible data, as archivers write it). False when
// there is none.
bool FindZip64EndRecord(const uint8_t* data, uint64_t locator, uint64_t* record) {
    const uint64_t lowest = locator > 0x10000 ? locator - 0x10000 : 0;
    for (uint64_t at = locator >= kZip64EndFixedSize ? locator - kZip64EndFixedSize + 1 : 0; at-- > lowest;) {
        if (LoadLe32(data + at) != kZip64EndSignature) continue;
        const uint64_t recordSize = LoadLe64(data + at + 4);
        if (recordSize == locator - at - 12) {
            *record = at;
            return true;
        }
    }
    return false;
}

// An end record candidate at position: plausible if its comment fits in the
// file and its directory lies right before it (or before the Zip64 end
// record and locator that precede it).
bool ZipReader::readEndRecordAt(uint64_t position, EndRecord* end) const {
    const uint8_t* p = data_ + position;
    const uint32_t commentLength = LoadLe16(p + 20);
    if (position + kEndFixedSize + commentLength > size_) return false;
    const uint32_t thisDisk = LoadLe16(p + 4), directoryDisk = LoadLe16(p + 6);
    const uint32_t entriesHere = LoadLe16(p + 8), entries = LoadLe16(p + 10);
    const uint32_t directorySize = LoadLe32(p + 12), directoryOffset = LoadLe32(p + 16);
    const std::string zip64 = Quoted(path_) + " is a Zip64 archive; the program reads only archives below 4 GiB without Zip64";
    if (entries == kZip64Marker16 || directorySize == kZip64Marker32 || directoryOffset == kZip64Marker32)
        Refuse(zip64);
    // A Zip64 end record and its locator, written although every value fits
    // in its 32-bit field (Info-ZIP zip does so when it reads standard
    // input), are passed over once they agree with the end record.
    uint64_t directoryEnd = position;
    if (position >= kZip64LocatorSize && LoadLe32(p - kZip64LocatorSize) == kZip64LocatorSignature) {
        const uint64_t locator = position - kZip64LocatorSize;
        uint64_t record = 0;
        if (!FindZip64EndRecord(data_, locator, &record)) Refuse(zip64);
        const uint8_t* z = data_ + record;
        const uint64_t z64Entries = LoadLe64(z + 32);
        const uint64_t z64Size = LoadLe64(z + 40);
        const uint64_t z64Offset = LoadLe64(z + 48);
        if (LoadLe32(z + 16) != thisDisk || LoadLe32(z + 20) != directoryDisk || z64Entries != entries ||
            z64Size != directorySize || z64Offset != directoryOffset || LoadLe32(data_ + locator + 4) != directoryDisk)
            Refuse(zip64);
        directoryEnd = record;
    }
    if (directorySize > directoryEnd) return false;
    const uint64_t directoryStart = directoryEnd - directorySize;
    if (entries > 0 && LoadLe32(data_ + directoryStart) != kCentralSignature) return false;
    if (thisDisk != 0 || directoryDisk != 0 || entriesHere != entries)
        Refuse(Quoted(path_) + " is one part of a split or spanned zip; join its parts into one zip first");
    if (directoryStart < directoryOffset) return false;
    end->position = position;
    end->directoryEnd = directoryEnd;
    end->entryCount = entries;
    end->directoryStart = directoryStart;
    end->directoryOffset = directoryOffset;
    end->comment.assign((const char*)p + kEndFixedSize, commentLength);
    return true;
}

// The end record is the last plausible one within the final 64 KiB and 22
// bytes (a comment is at most 65535 bytes long).
bool ZipReader::findEndRecord(EndRecord* end) const {
    if (size_ < kEndFixedSize) return false;
    const uint64_t lowest = size_ > kEndFixedSize + 0xFFFF ? size_ - kEndFixedSize - 0xFFFF : 0;
    for (uint64_t position = size_ - kEndFixedSize + 1; position-- > lowest;) {
        if (LoadLe32(data_ + position) == kEndSignature && readEndRecordAt(position, end)) return true;
    }
    return false;
}

// Reads the central header at `at`, checks its local header (which lies
// `shift` bytes off the recorded offset) and adds the entry. Returns the
// position of the next central header.
uint64_t ZipReader::readCentralHeader(uint64_t at, int64_t shift, const EndRecord& end, InputZip* zip) const {
    if (at + kCentralFixedSize > end.directoryEnd || LoadLe32(data_ + at) != kCentralSignature)
        damaged("its central directory is cut short");
    const uint8_t* c = data_ + at;
    const uint32_t nameLength = LoadLe16(c + 28), extraLength = LoadLe16(c + 30), commentLength = LoadLe16(c + 32);
    const uint64_t next = at + kCentralFixedSize + nameLength + extraLength + commentLength;
    if (next > end.directoryEnd) damaged("its central directory is cut short");

    ArchiveEntry entry;
    entry.name.assign((const char*)c + kCentralFixedSize, nameLength);
    entry.shownName = entry.name;
    entry.versionMadeBy = (uint16_t)LoadLe16(c + 4);
    entry.versionNeeded = (uint16_t)LoadLe16(c + 6);
    entry.flags = (uint16_t)LoadLe16(c + 8);
    entry.method = (uint16_t)LoadLe16(c + 10);
    entry.modTime = (uint16_t)LoadLe16(c + 12);
    entry.modDate = (uint16_t)LoadLe16(c + 14);
    entry.crc = LoadLe32(c + 16);
    entry.compressedSize = LoadLe32(c + 20);
    entry.uncompressedSize = LoadLe32(c + 24);
    entry.centralExtra = WithoutZip64Extra(std::string((const char*)c + kCentralFixedSize + nameLength, extraLength));
    entry.comment.assign((const char*)c + kCentralFixedSize + nameLength + extraLength, commentLength);
    entry.internalAttributes = (uint16_t)LoadLe16(c + 36);
    entry.externalAttributes = LoadLe32(c + 38);
    const uint32_t diskStart = LoadLe16(c + 34);
    const uint32_t recordedOffset = LoadLe32(c + 42);
    const std::string what = "entry " + Quoted(entry.shownName) + " of " + Quoted(path_);

    if (entry.compressedSize == kZip64Marker32 || entry.uncompressedSize == kZip64Marker32 ||
        recordedOffset == kZip64Marker32 || diskStart == kZip64Marker16)
        Refuse(what + " needs Zip64; the program reads only archives below 4 GiB without Zip64");
    if (diskStart != 0) Refuse(Quoted(path_) + " is one part of a split or spanned zip; join its parts into one zip first");
    if (entry.flags & (kFlagStrongEncryption | kFlagMaskedHeaders))
        Refuse(what + " uses strong encryption; the program knows only the traditional zip password");
    if (entry.method != kMethodStored && entry.method != kMethodDeflated)
        Refuse(what + " uses compression method " + std::to_string(entry.method) +
               "; the program extracts only stored and deflated entries");

    // Names flagged as UTF-8 are turned into the Windows-1252 bytes the stub
    // creates files with; other names are the archiver's own bytes, kept.
    if (entry.flags & kFlagUtf8) {
        std::string ansi;
        if (!Utf8ToAnsi(entry.name, &ansi))
            Refuse(what + " has characters that Windows-1252 names cannot hold");
        entry.name = ansi;
        entry.flags &= (uint16_t)~kFlagUtf8;
    }
    CheckEntryName(entry.name, entry.shownName, NameOrigin::Zip);
    entry.name = NormalEntryName(entry.name, NameOrigin::Zip);
    entry.folder = entry.name.back() == '/' || entry.name.back() == '\\';
    if (entry.folder && entry.uncompressedSize != 0) Refuse(what + " is a folder that holds data");

    // The local header.
    const int64_t local = (int64_t)recordedOffset + shift;
    if (local < 0 || (uint64_t)local + kLocalFixedSize > end.directoryStart ||
        LoadLe32(data_ + local) != kLocalSignature)
        damaged("the local header of " + Quoted(entry.shownName) + " is not where its directory says");
    const uint8_t* l = data_ + local;
    const uint16_t localFlags = (uint16_t)LoadLe16(l + 6);
    const uint32_t localNameLength = LoadLe16(l + 26), localExtraLength = LoadLe16(l + 28);
    const uint64_t dataStart = (uint64_t)local + kLocalFixedSize + localNameLength + localExtraLength;
    if (dataStart + entry.compressedSize > end.directoryStart)
        damaged("the data of " + Quoted(entry.shownName) + " runs into the central directory");
    if ((localFlags & kFlagEncrypted) != (entry.flags & kFlagEncrypted))
        damaged("the headers of " + Quoted(entry.shownName) + " disagree on its encryption");
    entry.localExtra = WithoutZip64Extra(
        std::string((const char*)l + kLocalFixedSize + localNameLength, localExtraLength));

    const bool encrypted = (entry.flags & kFlagEncrypted) != 0;
    if (encrypted && entry.compressedSize < kEncryptionHeaderSize)
        damaged("encrypted entry " + Quoted(entry.shownName) + " is shorter than its encryption header");
    if (entry.method == kMethodStored &&
        entry.compressedSize != entry.uncompressedSize + (encrypted ? (uint32_t)kEncryptionHeaderSize : 0u))
        damaged("stored entry " + Quoted(entry.shownName) + " has different packed and unpacked sizes");
    // A descriptor is dropped, except behind an encrypted entry that was
    // written with one: its encryption header was then checked against the
    // high byte of the modification time, and only bit 3 tells the stub so.
    const bool keepDescriptor = encrypted && ((localFlags | entry.flags) & kFlagDescriptor);
    entry.flags &= (uint16_t)~kFlagDescriptor;
    if (keepDescriptor) entry.flags |= kFlagDescriptor;
    if (encrypted) zip->anyEncrypted = true;

    zip->entries.push_back({std::move(entry), dataStart});
    return next;
}

InputZip ZipReader::read() {
    EndRecord end;
    if (!findEndRecord(&end)) Refuse(Quoted(path_) + " is not a zip archive (no end of central directory found)");
    // Offsets in the directory count from the archive's own start; bytes
    // before it (a stub) shift every local header by the same amount.
    const int64_t shift = (int64_t)end.directoryStart - (int64_t)end.directoryOffset;
    InputZip zip;
    zip.comment = end.comment;
    uint64_t at = end.directoryStart;
    for (uint32_t i = 0; i < end.entryCount; i++) at = readCentralHeader(at, shift, end, &zip);
    return zip;
}

}  // namespace

InputZip ReadInputZip(const MappedFile& file, const std::string& path) {
    return ReadInputZip(file.data(), file.size(), path);
}

InputZip ReadInputZip(const uint8_t* data, uint64_t size, const std::string& path) {
    return ZipReader(data, size, path).read();
}

void VerifyEntryData(const ArchiveEntry& entry, const uint8_t* data, const std::string& path) {
    if (entry.flags & kFlagEncrypted) return;
    uint32_t crc = 0;
    uint64_t size = 0;
    bool complete = true;
    if (entry.method == kMethodStored) {
        crc = Crc32(0, data, entry.compressedSize);
        size = entry.compressedSize;
    } else {
        std::vector<uint8_t> out(1 << 18);
        z_stream stream{};
        if (inflateInit2(&stream, -15) != Z_OK) Refuse("not enough memory to check the zip");
        // zlib counts input in 32-bit pieces; an entry's data fits in one.
        stream.next_in = (Bytef*)data;
        stream.avail_in = entry.compressedSize;
        int status;
        do {
            stream.next_out = out.data();
            stream.avail_out = (uInt)out.size();
            status = inflate(&stream, Z_NO_FLUSH);
            const size_t produced = out.size() - stream.avail_out;
            crc = Crc32(crc, out.data(), produced);
            size += produced;
        } while (status == Z_OK && size <= entry.uncompressedSize);
        complete = status == Z_STREAM_END && stream.avail_in == 0;
        inflateEnd(&stream);
    }
    if (!complete || size != entry.uncompressedSize || crc != entry.crc)
        Refuse("entry " + Quoted(entry.shownName) + " of " + Quoted(path) +
               " is damaged: its data does not match its size and CRC");
}

}  // namespace kvmake
