// Helpers of the builder's tests: a scratch folder, fake stubs, running
// kvsfx-make and the peer tools, and an independent reader of the result
// that walks the archive the way the stub does (local header after local
// header, volumes crossed only where the stub crosses them), decrypting and
// inflating each entry with zlib as the control.
#ifndef KVSFX_TESTS_BUILDER_SUPPORT_H
#define KVSFX_TESTS_BUILDER_SUPPORT_H

#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>
#include <zlib.h>

#include <algorithm>
#include <memory>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "format/bytes.h"
#include "format/sfx_block.h"
#include "format/zip_records.h"

namespace buildertest {

typedef std::vector<uint8_t> Bytes;

inline Bytes ReadBytes(const std::string& path) {
    Bytes bytes;
    FILE* file = fopen(path.c_str(), "rb");
    if (!file) return bytes;
    fseek(file, 0, SEEK_END);
    bytes.resize((size_t)ftell(file));
    fseek(file, 0, SEEK_SET);
    if (!bytes.empty() && fread(bytes.data(), 1, bytes.size(), file) != bytes.size()) bytes.clear();
    fclose(file);
    return bytes;
}
inline void WriteBytes(const std::string& path, const Bytes& bytes) {
    FILE* file = fopen(path.c_str(), "wb");
    ASSERT_TRUE(file != nullptr) << path;
    const size_t written = bytes.empty() ? 0 : fwrite(bytes.data(), 1, bytes.size(), file);
    EXPECT_EQ(written, bytes.size()) << path;
    fclose(file);
}
inline void WriteText(const std::string& path, const std::string& text) {
    WriteBytes(path, Bytes(text.begin(), text.end()));
}
inline bool Exists(const std::string& path) {
    struct stat info;
    return stat(path.c_str(), &info) == 0;
}

// Deterministic bytes: compressible text or incompressible noise.
inline Bytes TextBytes(size_t size, uint32_t seed = 1) {
    // Words drawn at random into a 64 KiB pattern, repeated as needed.
    Bytes pattern;
    const char* words[] = {"archive ", "volume ", "entry ", "deflate ", "header\n", "name ", "disk ", "1999 "};
    while (pattern.size() < std::min<size_t>(size, 65536)) {
        seed = seed * 1103515245u + 12345u;
        for (const char* c = words[(seed >> 16) & 7]; *c; c++) pattern.push_back((uint8_t)*c);
    }
    Bytes out(size);
    for (size_t at = 0; at < size; at += pattern.size())
        memcpy(&out[at], pattern.data(), std::min(pattern.size(), size - at));
    return out;
}
inline Bytes NoiseBytes(size_t size, uint32_t seed = 7) {
    Bytes out(size);
    uint64_t x = 0x9E3779B97F4A7C15ull ^ seed;
    for (size_t i = 0; i < size; i++) {
        x ^= x << 13;
        x ^= x >> 7;
        x ^= x << 17;
        out[i] = (uint8_t)(x >> 24);
    }
    return out;
}

inline std::string ShellQuote(const std::string& text) {
    std::string out = "'";
    for (char c : text) {
        if (c == '\'') out += "'\\''";
        else out += c;
    }
    return out + "'";
}

// A scratch folder removed at the end of the test.
class ScratchFolder {
public:
    ScratchFolder() {
        char pattern[] = "/tmp/kvsfx-builder-XXXXXX";
        path_ = mkdtemp(pattern);
    }
    ~ScratchFolder() { (void)system(("rm -rf " + ShellQuote(path_)).c_str()); }
    std::string operator/(const std::string& name) const { return path_ + "/" + name; }
    const std::string& path() const { return path_; }

private:
    std::string path_;
};

struct RunResult {
    int status;          // exit status, or -1 when the program did not exit normally
    std::string output;  // standard output and standard error together
};

// Runs a shell command line in folder, capturing both output streams.
inline RunResult RunIn(const std::string& folder, const std::string& command) {
    const std::string capture = folder + "/.run-output";
    const std::string line = "cd " + ShellQuote(folder) + " && (" + command + ") >" + ShellQuote(capture) + " 2>&1";
    const int raw = system(line.c_str());
    RunResult result;
    result.status = WIFEXITED(raw) ? WEXITSTATUS(raw) : -1;
    const Bytes text = ReadBytes(capture);
    result.output.assign(text.begin(), text.end());
    unlink(capture.c_str());
    return result;
}

// kvsfx-make with the given arguments (already quoted where needed), with
// the files' own times whatever SOURCE_DATE_EPOCH the tests run under.
inline RunResult RunMake(const std::string& folder, const std::string& arguments) {
    return RunIn(folder, "env -u SOURCE_DATE_EPOCH " + ShellQuote(KVSFX_MAKE_PATH) + " " + arguments);
}

enum class StubKind { Elf64, Pe32, Pe32Plus };

const uint32_t kFakeEntry = 0x3E90;

// A stub-shaped file: an ELF or PE header naming entry point kFakeEntry,
// filler, and `blocks` copies of a blank configuration block at 0x400,
// 0x800, ...
inline Bytes FakeStub(StubKind kind, int blocks = 1, size_t size = 6000) {
    Bytes image(size, 0x90);
    if (kind == StubKind::Elf64) {
        memset(image.data(), 0, 64);
        memcpy(image.data(), "\x7F" "ELF", 4);
        image[4] = 2;
        image[5] = 1;
        StoreLe32(&image[0x18], kFakeEntry);
        StoreLe32(&image[32], 64);   // program headers right after the ELF header
        StoreLe16(&image[52], 64);
        StoreLe16(&image[54], 56);
        StoreLe16(&image[56], 3);
    } else {
        memset(image.data(), 0, 0x200);
        image[0] = 'M';
        image[1] = 'Z';
        const uint32_t nt = 0x80;
        StoreLe32(&image[0x3C], nt);
        memcpy(&image[nt], "PE\0\0", 4);
        StoreLe16(&image[nt + 20], kind == StubKind::Pe32 ? 224 : 240);
        StoreLe16(&image[nt + 24], kind == StubKind::Pe32 ? 0x10B : 0x20B);
        StoreLe32(&image[nt + 0x28], kFakeEntry);
    }
    for (int i = 0; i < blocks; i++) {
        uint8_t* block = &image[0x400 * (i + 1)];
        memset(block, 0, 60);
        memcpy(block, kBlockSignature, 8);
    }
    return image;
}

// The configuration block as read back from a built file.
struct Block {
    uint32_t stubCrc, archiveStart, headerOffset, endRecordOffset, totalSize, flags;
    uint16_t completeMark;
    uint32_t entryRva;
};
inline Block ReadBlock(const Bytes& file, size_t at = 0x400) {
    const uint8_t* p = &file[at];
    return Block{LoadLe32(p + 8),  LoadLe32(p + 0x0C), LoadLe32(p + 0x10), LoadLe32(p + 0x14),
                 LoadLe32(p + 0x18), LoadLe32(p + 0x1C), (uint16_t)LoadLe16(p + 0x2A), LoadLe32(p + 0x36)};
}

// The five header texts.
inline std::vector<std::string> HeaderTexts(const Bytes& file, const Block& block) {
    std::vector<std::string> texts;
    std::string current;
    for (uint32_t at = block.headerOffset; at < block.archiveStart; at++) {
        if (file[at] == 0) {
            texts.push_back(current);
            current.clear();
        } else {
            current.push_back((char)file[at]);
        }
    }
    EXPECT_TRUE(current.empty()) << "the header ends inside a text";
    return texts;
}

// CRC-32 of file[from, archiveStart) with the block's stubCrc bytes zeroed.
inline uint32_t ExpectedStubCrc(const Bytes& file, const Block& block, uint32_t from, size_t blockAt = 0x400) {
    Bytes copy(file.begin(), file.begin() + block.archiveStart);
    memset(&copy[blockAt + 8], 0, 4);
    return (uint32_t)crc32(0, copy.data() + from, block.archiveStart - from);
}

// Traditional decryption, written out from the application note.
class Decryptor {
public:
    explicit Decryptor(const std::string& password) {
        for (unsigned char c : password) update(c);
    }
    void decrypt(uint8_t* data, size_t count) {
        for (size_t i = 0; i < count; i++) {
            const uint32_t t = (keys_[2] | 2) & 0xFFFF;
            data[i] ^= (uint8_t)((t * (t ^ 1)) >> 8);
            update(data[i]);
        }
    }

private:
    // CRC-32 table entry of one byte.
    static uint32_t crcOf(uint8_t b) {
        static const std::vector<uint32_t> table = [] {
            std::vector<uint32_t> entries(256);
            for (uint32_t n = 0; n < 256; n++) {
                uint32_t c = n;
                for (int k = 0; k < 8; k++) c = (c & 1) ? 0xEDB88320u ^ (c >> 1) : c >> 1;
                entries[n] = c;
            }
            return entries;
        }();
        return table[b];
    }
    void update(uint8_t c) {
        keys_[0] = (keys_[0] >> 8) ^ crcOf((uint8_t)(keys_[0] ^ c));
        keys_[1] = (keys_[1] + (keys_[0] & 0xFF)) * 0x08088405u + 1;
        keys_[2] = (keys_[2] >> 8) ^ crcOf((uint8_t)(keys_[2] ^ (keys_[1] >> 24)));
    }
    uint32_t keys_[3] = {0x12345678, 0x23456789, 0x34567890};
};

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

class VolumeReader {
public:
    VolumeReader(const std::vector<Bytes>& volumes, size_t start) : volumes_(volumes), position_(start) {}

    // A record read in one piece: a short read at a volume's very end goes
    // on to the next volume; a record cut in two is a fault.
    bool readRecord(uint8_t* out, size_t count, bool spanned) {
        size_t got = take(out, count);
        if (got == count) return true;
        if (!spanned || got != 0) {
            ADD_FAILURE() << "record of " << count << " bytes cut at " << absolute() << " (volume " << disk_ + 1 << ")";
            return false;
        }
        if (!nextVolume()) return false;
        got = take(out, count);
        if (got != count) ADD_FAILURE() << "record of " << count << " bytes cut after a volume change";
        return got == count;
    }
    // Bytes the stub reads with no volume change.
    bool readInPlace(uint8_t* out, size_t count) {
        if (take(out, count) == count) return true;
        ADD_FAILURE() << count << " bytes that must stay on one volume cross its end at volume " << disk_ + 1;
        return false;
    }
    // Compressed data, chunk by chunk as the stub's refill reads it.
    bool readData(uint8_t* out, uint32_t count) {
        while (count > 0) {
            const uint32_t request = count < 2048 ? count : 2048;
            size_t got = take(out, request);
            if (got < request) {
                if (!nextVolume()) return false;
                if (got == 0) got = take(out, request);
                if (got == 0) {
                    ADD_FAILURE() << "an empty volume in the middle of an entry's data";
                    return false;
                }
            }
            out += got;
            count -= (uint32_t)got;
        }
        return true;
    }
    uint64_t absolute() const {
        uint64_t before = 0;
        for (size_t i = 0; i < disk_; i++) before += volumes_[i].size();
        return before + position_;
    }
    size_t disk() const { return disk_; }

private:
    size_t take(uint8_t* out, size_t count) {
        const Bytes& volume = volumes_[disk_];
        const size_t got = position_ >= volume.size() ? 0 : std::min(count, volume.size() - position_);
        if (got) memcpy(out, &volume[position_], got);
        position_ += got;
        return got;
    }
    bool nextVolume() {
        if (disk_ + 1 >= volumes_.size()) {
            ADD_FAILURE() << "the walk needs a volume after the last one";
            return false;
        }
        disk_++;
        position_ = 0;
        return true;
    }
    const std::vector<Bytes>& volumes_;
    size_t disk_ = 0;
    size_t position_;
};

inline Bytes Inflate(const Bytes& packed, uint32_t expectedSize) {
    Bytes out(expectedSize + 1);  // never empty: zlib wants somewhere to write
    z_stream stream{};
    inflateInit2(&stream, -15);
    stream.next_in = (Bytef*)packed.data();
    stream.avail_in = (uInt)packed.size();
    stream.next_out = out.data();
    stream.avail_out = (uInt)expectedSize;
    const int status = inflate(&stream, Z_FINISH);
    EXPECT_EQ(status, Z_STREAM_END) << "deflate data does not end where its size says";
    EXPECT_EQ(stream.total_out, expectedSize);
    inflateEnd(&stream);
    out.resize(expectedSize);
    return out;
}

inline StubWalk WalkLikeStub(const std::vector<Bytes>& volumes, size_t start, bool spanned,
                             const std::string& password = "") {
    StubWalk walk;
    VolumeReader reader(volumes, start);
    for (;;) {
        uint8_t signature[4];
        if (!reader.readRecord(signature, 4, spanned)) return walk;
        const uint32_t value = LoadLe32(signature);
        if (value == kCentralSignature && spanned) {
            walk.centralPosition = reader.absolute() - 4;
            return walk;
        }
        if (value == kCentralSignature) {
            if (walk.centralPosition == 0) walk.centralPosition = reader.absolute() - 4;
            uint8_t fixed[42];
            if (!reader.readInPlace(fixed, 42)) return walk;
            Bytes rest(LoadLe16(fixed + 24) + LoadLe16(fixed + 26) + LoadLe16(fixed + 28));
            if (!reader.readInPlace(rest.data(), rest.size())) return walk;
            continue;
        }
        if (value == kEndSignature) {
            uint8_t fixed[18];
            if (!reader.readInPlace(fixed, 18)) return walk;
            walk.sawEndRecord = true;
            return walk;
        }
        if (value != kLocalSignature) {
            ADD_FAILURE() << "unexpected signature " << std::hex << value << " at " << std::dec << reader.absolute() - 4;
            return walk;
        }
        WalkedEntry entry{};
        entry.headerPosition = reader.absolute() - 4;
        uint8_t fixed[26];
        if (!reader.readRecord(fixed, 26, spanned)) return walk;
        entry.headerPosition = reader.absolute() - 30;
        entry.flags = (uint16_t)LoadLe16(fixed + 2);
        entry.method = (uint16_t)LoadLe16(fixed + 4);
        entry.modTime = (uint16_t)LoadLe16(fixed + 6);
        entry.modDate = (uint16_t)LoadLe16(fixed + 8);
        entry.crc = LoadLe32(fixed + 10);
        entry.compressedSize = LoadLe32(fixed + 14);
        entry.uncompressedSize = LoadLe32(fixed + 18);
        Bytes name(LoadLe16(fixed + 22)), extra(LoadLe16(fixed + 24));
        if (!reader.readInPlace(name.data(), name.size()) || !reader.readInPlace(extra.data(), extra.size()))
            return walk;
        entry.name.assign(name.begin(), name.end());
        entry.extra.assign(extra.begin(), extra.end());
        uint32_t dataSize = entry.compressedSize;
        std::unique_ptr<Decryptor> decryptor;
        if (entry.flags & 1) {
            EXPECT_FALSE(password.empty()) << "encrypted entry " << entry.name;
            uint8_t header[kEncryptionHeaderSize];
            if (!reader.readInPlace(header, kEncryptionHeaderSize)) return walk;
            decryptor.reset(new Decryptor(password));
            decryptor->decrypt(header, kEncryptionHeaderSize);
            entry.checkByte = header[kEncryptionHeaderSize - 1];
            dataSize -= kEncryptionHeaderSize;
        }
        Bytes packed(dataSize);
        if (!reader.readData(packed.data(), dataSize)) return walk;
        if (decryptor) decryptor->decrypt(packed.data(), packed.size());
        if (entry.flags & 8) {
            uint8_t descriptor[16];
            if (!reader.readInPlace(descriptor, 16)) return walk;
            EXPECT_EQ(LoadLe32(descriptor), (uint32_t)kDescriptorSignature) << "descriptor of " << entry.name;
            EXPECT_EQ(LoadLe32(descriptor + 4), entry.crc);
        }
        if (entry.method == 8) entry.content = Inflate(packed, entry.uncompressedSize);
        else entry.content = packed;
        EXPECT_EQ(entry.content.size(), entry.uncompressedSize) << entry.name;
        EXPECT_EQ((uint32_t)crc32(0, entry.content.data(), (uInt)entry.content.size()), entry.crc)
            << "CRC of " << entry.name;
        walk.entries.push_back(std::move(entry));
    }
}

// The central directory of a single file: each record's name and local
// header offset, read through the end record (offsets as stored).
struct CentralRecord {
    std::string name;
    std::string extra;
    uint16_t flags, modTime, modDate;
    uint32_t crc, compressedSize, uncompressedSize, localOffset;
};
inline std::vector<CentralRecord> ReadCentralDirectory(const Bytes& archive, uint64_t endRecord,
                                                       uint32_t* directoryOffset = nullptr) {
    std::vector<CentralRecord> records;
    const uint8_t* end = &archive[endRecord];
    EXPECT_EQ(LoadLe32(end), (uint32_t)kEndSignature);
    const uint32_t count = LoadLe16(end + 10);
    uint64_t at = LoadLe32(end + 16);
    if (directoryOffset) *directoryOffset = (uint32_t)at;
    for (uint32_t i = 0; i < count && at + 46 <= archive.size(); i++) {
        const uint8_t* c = &archive[at];
        EXPECT_EQ(LoadLe32(c), (uint32_t)kCentralSignature) << "central header " << i;
        CentralRecord record;
        record.flags = (uint16_t)LoadLe16(c + 8);
        record.crc = LoadLe32(c + 16);
        record.compressedSize = LoadLe32(c + 20);
        record.uncompressedSize = LoadLe32(c + 24);
        record.localOffset = LoadLe32(c + 42);
        record.name.assign((const char*)c + 46, LoadLe16(c + 28));
        record.extra.assign((const char*)c + 46 + LoadLe16(c + 28), LoadLe16(c + 30));
        record.modTime = (uint16_t)LoadLe16(c + 12);
        record.modDate = (uint16_t)LoadLe16(c + 14);
        records.push_back(record);
        at += 46 + LoadLe16(c + 28) + LoadLe16(c + 30) + LoadLe16(c + 32);
    }
    return records;
}

}  // namespace buildertest

#endif
