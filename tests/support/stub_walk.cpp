#include "support/stub_walk.h"

#include <string.h>
#include <zlib.h>

#include <algorithm>
#include <memory>

#include <gtest/gtest.h>

#include "support/codec_control.h"
#include "format/bytes.h"
#include "format/zip_records.h"

namespace {

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

// The entry's data decoded by zlib: it must end exactly at its size.
Bytes Inflate(const Bytes& packed, uint32_t expectedSize) {
    Bytes out;
    const int status = ZlibInflateInto(packed.data(), packed.size(), expectedSize, &out);
    EXPECT_EQ(status, Z_STREAM_END) << "deflate data does not end where its size says";
    EXPECT_EQ(out.size(), expectedSize);
    out.resize(expectedSize);
    return out;
}

}  // namespace

StubWalk WalkLikeStub(const std::vector<Bytes>& volumes, size_t start, bool spanned,
                             const std::string& password) {
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
        std::unique_ptr<TraditionalCipher> decryptor;
        if (entry.flags & 1) {
            EXPECT_FALSE(password.empty()) << "encrypted entry " << entry.name;
            uint8_t header[kEncryptionHeaderSize];
            if (!reader.readInPlace(header, kEncryptionHeaderSize)) return walk;
            decryptor.reset(new TraditionalCipher(password));
            decryptor->Decrypt(header, kEncryptionHeaderSize);
            entry.checkByte = header[kEncryptionHeaderSize - 1];
            dataSize -= kEncryptionHeaderSize;
        }
        Bytes packed(dataSize);
        if (!reader.readData(packed.data(), dataSize)) return walk;
        if (decryptor) decryptor->Decrypt(packed.data(), packed.size());
        if (entry.flags & 8) {
            uint8_t descriptor[16];
            if (!reader.readInPlace(descriptor, 16)) return walk;
            EXPECT_EQ(LoadLe32(descriptor), (uint32_t)kDescriptorSignature) << "descriptor of " << entry.name;
            EXPECT_EQ(LoadLe32(descriptor + 4), entry.crc);
        }
        if (entry.method == 8) entry.content = Inflate(packed, entry.uncompressedSize);
        else entry.content = packed;
        EXPECT_EQ(entry.content.size(), entry.uncompressedSize) << entry.name;
        EXPECT_EQ(Crc32(entry.content.data(), entry.content.size()), entry.crc)
            << "CRC of " << entry.name;
        walk.entries.push_back(std::move(entry));
    }
}

std::vector<CentralRecord> ReadCentralDirectory(const Bytes& archive, uint64_t endRecord,
                                                       uint32_t* directoryOffset) {
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

