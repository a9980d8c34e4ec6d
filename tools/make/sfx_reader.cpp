#include "sfx_reader.h"

#include <stddef.h>
#include <string.h>
#include <zlib.h>

#include <stdio.h>

#include <algorithm>
#include <memory>
#include <new>

#include "build_error.h"
#include "deflate_engine.h"
#include "names.h"
#include "format/exe_layout.h"
#include "format/sfx_block.h"
#include "zip_crypto.h"
#include "zip_records.h"

namespace kvmake {

namespace {

const size_t kChunk = 1 << 16;

std::string Hex32(uint32_t value) {
    char text[16];
    snprintf(text, sizeof text, "%08x", value);
    return text;
}

std::string At(uint64_t offset) { return "at offset " + std::to_string(offset); }

std::string KindOfStub(const uint8_t* data, uint64_t size) {
    if (size >= 64 && data[0] == 'M' && data[1] == 'Z') {
        const uint32_t nt = LoadLe32(data + 0x3C);
        if ((uint64_t)nt + 26 <= size && memcmp(data + nt, "PE\0\0", 4) == 0) {
            const uint32_t magic = LoadLe16(data + nt + 24);
            if (magic == 0x10B) return "PE32 (Windows, 32-bit)";
            if (magic == 0x20B) return "PE32+ (Windows, 64-bit)";
        }
        return "MZ executable of an unknown kind";
    }
    if (size >= 64 && data[0] == 0x7F && data[1] == 'E' && data[2] == 'L' && data[3] == 'F')
        return data[4] == 1 ? "ELF 32-bit (Linux)" : "ELF 64-bit (Linux)";
    return "not an executable";
}

// The first copy of the block's signature: where the program finds its own.
bool FindBlock(const uint8_t* data, uint64_t size, uint64_t* at) {
    for (uint64_t i = 0; i + sizeof(SfxConfigBlock) <= size; i++) {
        if (data[i] == kBlockSignature[0] && memcmp(data + i, kBlockSignature, sizeof kBlockSignature) == 0) {
            *at = i;
            return true;
        }
    }
    return false;
}

// The header as the program reads it: five zero-terminated texts, and a
// sixth, the program to run, when its flag announces it. Each must end
// inside the header and within its capacity (its zero counted); the program
// text must not be empty. Bytes after the last text are not read.
bool SplitHeader(const uint8_t* header, uint32_t length, bool withProgram, std::vector<std::string>* texts) {
    const uint32_t capacities[] = {kMaxPathLength + 1, 0, kStartupPromptSize, kCustomTitleSize, kInfoTextSize,
                                   kProgramLineSize};
    const size_t count = withProgram ? kHeaderTexts + 1 : kHeaderTexts;
    uint32_t at = 0;
    for (size_t i = 0; i < count; i++) {
        const uint8_t* end = (const uint8_t*)memchr(header + at, 0, length - at);
        if (end == nullptr) return false;
        const uint32_t size = (uint32_t)(end - (header + at));
        if (capacities[i] != 0 && size >= capacities[i]) return false;
        texts->push_back(std::string((const char*)header + at, size));
        at += size + 1;
    }
    return !withProgram || !texts->back().empty();
}

class Walker {
public:
    Walker(SfxImage* image, bool spanned) : image_(image), spanned_(spanned) {}
    void walk(uint64_t start);

private:
    bool fits(uint64_t at, uint64_t count) const { return at <= image_->archiveSize && count <= image_->archiveSize - at; }
    void damaged(const std::string& why) { image_->problems.push_back("the archive is damaged: " + why); }
    bool readLocal(uint64_t* at);

    SfxImage* image_;
    bool spanned_;
};

void Walker::walk(uint64_t at) {
    const uint8_t* p = image_->archive;
    for (;;) {
        if (!fits(at, 4)) return damaged("it ends " + At(at) + " before its end record");
        const uint32_t signature = LoadLe32(p + at);
        if (signature == kLocalSignature) {
            if (!readLocal(&at)) return;
        } else if (signature == kCentralSignature) {
            // A spanned set's walk stops at the first central header; in
            // one file the directory is read through to the end record.
            if (spanned_) break;
            if (!fits(at, kCentralFixedSize)) return damaged("a central header is cut short " + At(at));
            const uint32_t nameLength = LoadLe16(p + at + 28);
            if (nameLength > kMaxNameLength) return damaged("a central header's name is longer than 260 bytes");
            const uint64_t length = kCentralFixedSize + nameLength + LoadLe16(p + at + 30) + LoadLe16(p + at + 32);
            if (!fits(at, length)) return damaged("a central header is cut short " + At(at));
            at += length;
        } else if (signature == kEndSignature || signature == kDigitalSignature) {
            if (!fits(at, kEndFixedSize) || !fits(at + kEndFixedSize, LoadLe16(p + at + 20)))
                return damaged("its end record is cut short");
            break;
        } else if (signature == kSpanMarker || spanned_) {
            at += 4;  // the program steps over these four bytes too
        } else {
            return damaged("an unknown record starts " + At(at));
        }
    }
    image_->walkComplete = true;
}

bool Walker::readLocal(uint64_t* position) {
    const uint8_t* p = image_->archive;
    const uint64_t at = *position;
    if (!fits(at, kLocalFixedSize)) {
        damaged("a local header is cut short " + At(at));
        return false;
    }
    const uint8_t* h = p + at;
    SfxEntry entry;
    entry.flags = (uint16_t)LoadLe16(h + 6);
    entry.method = (uint16_t)LoadLe16(h + 8);
    entry.modTime = (uint16_t)LoadLe16(h + 10);
    entry.modDate = (uint16_t)LoadLe16(h + 12);
    entry.crc = LoadLe32(h + 14);
    entry.packedSize = LoadLe32(h + 18);
    entry.size = LoadLe32(h + 22);
    const uint32_t nameLength = LoadLe16(h + 26), extraLength = LoadLe16(h + 28);
    if (nameLength > kMaxNameLength) {
        damaged("the entry " + At(at) + " has a name longer than 260 bytes");
        return false;
    }
    if (!fits(at + kLocalFixedSize, (uint64_t)nameLength + extraLength)) {
        damaged("the local header " + At(at) + " is cut short");
        return false;
    }
    entry.name.assign((const char*)h + kLocalFixedSize, nameLength);
    entry.dataOffset = at + kLocalFixedSize + nameLength + extraLength;
    const std::string shown = "entry " + Quoted(AnsiToUtf8(entry.name));
    if (!fits(entry.dataOffset, entry.packedSize)) {
        damaged("the data of " + shown + " runs past the end of the file");
        return false;
    }
    uint64_t next = entry.dataOffset + entry.packedSize;
    if (entry.flags & kFlagDescriptor) {
        if (!fits(next, kDescriptorSize)) {
            damaged("the data descriptor of " + shown + " is cut short");
            return false;
        }
        next += kDescriptorSize;
    }
    entry.folder = !entry.name.empty() && (entry.name.back() == '/' || entry.name.back() == '\\');
    try {
        CheckEntryName(entry.name, AnsiToUtf8(entry.name), NameOrigin::Zip);
    } catch (const BuildError& error) {
        entry.nameProblem = error.what();
        image_->problems.push_back(error.what());
    }
    if (entry.folder && entry.size != 0) image_->problems.push_back(shown + " is a folder that holds data");
    image_->entries.push_back(std::move(entry));
    *position = next;
    return true;
}

}  // namespace

void ReadSfxImage(const uint8_t* data, uint64_t size, const VolumeReader& volumeReader, SfxImage* image) {
    SfxSettings& settings = image->settings;
    settings.stubKind = KindOfStub(data, size);
    uint64_t blockAt = 0;
    if (!FindBlock(data, size, &blockAt)) {
        image->problems.push_back("this is not a self-extracting file: it has no configuration block");
        return;
    }
    const uint8_t* block = data + blockAt;
    settings.stubCrc = LoadLe32(block + offsetof(SfxConfigBlock, stubCrc));
    settings.archiveStart = LoadLe32(block + offsetof(SfxConfigBlock, archiveStart));
    settings.headerOffset = LoadLe32(block + offsetof(SfxConfigBlock, headerOffset));
    settings.endRecordOffset = LoadLe32(block + offsetof(SfxConfigBlock, endRecordOffset));
    settings.totalSize = LoadLe32(block + offsetof(SfxConfigBlock, totalSize));
    settings.flags = LoadLe32(block + offsetof(SfxConfigBlock, flags));
    settings.completeMark = (uint16_t)LoadLe16(block + offsetof(SfxConfigBlock, completeMark));
    settings.entryRva = LoadLe32(block + offsetof(SfxConfigBlock, entryRva));
    if (settings.completeMark == 0) {
        image->problems.push_back(settings.archiveStart == 0 ? "this is a bare stub, not a self-extracting file"
                                                             : "the file is incomplete: it was never finished");
        return;
    }
    if (settings.archiveStart > size || settings.archiveStart < blockAt + sizeof(SfxConfigBlock)) {
        image->problems.push_back("the configuration block puts the archive " + At(settings.archiveStart) +
                                  ", outside the file");
        return;
    }
    if (settings.headerOffset != 0) {
        const bool withProgram = (settings.flags & SFXF_RUN_PROGRAM) != 0;
        const uint32_t longest = kHeaderMaxSize + (withProgram ? (uint32_t)kProgramLineSize : 0u);
        if (settings.headerOffset > settings.archiveStart ||
            settings.archiveStart - settings.headerOffset > longest ||
            !SplitHeader(data + settings.headerOffset, settings.archiveStart - settings.headerOffset, withProgram,
                         &settings.texts)) {
            image->problems.push_back("the header of texts is damaged");
            return;
        }
    } else {
        settings.texts.assign(kHeaderTexts, std::string());
    }

    const bool spanned = (settings.flags & SFXF_SPANNED) != 0;
    if (!spanned && settings.endRecordOffset != 0) {
        const uint64_t end = settings.endRecordOffset;
        if (end + 4 > size || (LoadLe32(data + end) != kEndSignature && LoadLe32(data + end) != kDigitalSignature))
            image->problems.push_back("the file is damaged or cut short: its end record is not " + At(end));
    }

    uint64_t start = settings.archiveStart;
    image->archive = data;
    image->archiveSize = size;
    if (spanned) {
        // The volumes end to end make the archive: with ".EXE" volumes the
        // first part lies in this file after the header.
        const bool exeVolumes = (settings.flags & SFXF_EXE_VOLUMES) != 0;
        if (exeVolumes) image->joined.assign(data + settings.archiveStart, data + size);
        std::vector<uint8_t> volume;
        for (unsigned disk = exeVolumes ? 2 : 1; volumeReader && volumeReader(disk, &volume); disk++)
            image->joined.insert(image->joined.end(), volume.begin(), volume.end());
        image->archive = image->joined.data();
        image->archiveSize = image->joined.size();
        start = 0;
    }
    Walker(image, spanned).walk(start);

    std::vector<std::string> names, shown;
    for (const SfxEntry& entry : image->entries) {
        if (!entry.nameProblem.empty()) continue;
        names.push_back(entry.name);
        shown.push_back(AnsiToUtf8(entry.name));
    }
    try {
        CheckNameCollisions(names, shown);
    } catch (const BuildError& error) {
        image->problems.push_back(error.what());
    }
}

std::string CheckStubCrc(const uint8_t* data, uint64_t size, const SfxSettings& settings) {
    if (settings.stubCrc == 0) return std::string();
    uint64_t blockAt = 0;
    if (settings.archiveStart > size || !FindBlock(data, settings.archiveStart, &blockAt))
        return "the stub's checksum cannot be checked: the configuration block lies outside it";
    uint32_t start = 0;
    if (settings.flags & SFXF_CRC_AFTER_HEADERS) {
        start = ExecutableHeadersEnd(data, settings.archiveStart);
        if (start == 0) return "the stub's executable headers are damaged";
    }
    const uint64_t crcAt = blockAt + offsetof(SfxConfigBlock, stubCrc);
    const uint8_t zero[4] = {0, 0, 0, 0};
    uint32_t crc = 0;
    // The span with the stubCrc field's four bytes taken as zero.
    if (crcAt >= start) {
        crc = Crc32(crc, data + start, (size_t)(crcAt - start));
        crc = Crc32(crc, zero, 4);
        crc = Crc32(crc, data + crcAt + 4, (size_t)(settings.archiveStart - crcAt - 4));
    } else {
        crc = Crc32(crc, data + start, settings.archiveStart - start);
    }
    if (crc != settings.stubCrc)
        return "the stub or its texts are damaged: their CRC is " + Hex32(crc) + ", should be " +
               Hex32(settings.stubCrc);
    uint32_t entry = 0;
    if (ExecutableEntryPoint(data, settings.archiveStart, &entry) && entry != settings.entryRva)
        return "the stub is damaged: its entry point is not the one recorded";
    return std::string();
}

bool PasswordVerifies(const SfxImage& image, const SfxEntry& entry, ZipCrypto* keys) {
    if (entry.packedSize < kEncryptionHeaderSize) return false;
    uint8_t header[kEncryptionHeaderSize];
    memcpy(header, image.archive + entry.dataOffset, sizeof header);
    keys->decrypt(header, sizeof header);
    // The check byte: the time's high byte behind a data descriptor, else
    // the CRC's.
    const uint8_t check = (entry.flags & kFlagDescriptor) ? (uint8_t)(entry.modTime >> 8) : (uint8_t)(entry.crc >> 24);
    return header[kEncryptionHeaderSize - 1] == check;
}

std::string DecodeEntry(const SfxImage& image, const SfxEntry& entry, const std::string& password,
                        const DataSink& sink) {
    const std::string shown = "entry " + Quoted(AnsiToUtf8(entry.name));
    if (entry.method != kMethodStored && entry.method != kMethodDeflated)
        return shown + " uses compression method " + std::to_string(entry.method) +
               ", which the program cannot extract";
    const uint8_t* in = image.archive + entry.dataOffset;
    uint64_t left = entry.packedSize;
    std::unique_ptr<ZipCrypto> crypto;
    if (entry.flags & kFlagEncrypted) {
        if (password.empty()) return shown + " is encrypted: give its password with --password";
        if (left < kEncryptionHeaderSize) return shown + " is shorter than its encryption header";
        crypto.reset(new ZipCrypto(password));
        if (!PasswordVerifies(image, entry, crypto.get())) return shown + ": wrong password";
        in += kEncryptionHeaderSize;
        left -= kEncryptionHeaderSize;
    }

    uint32_t crc = 0;
    uint64_t produced = 0;
    bool tooLong = false;
    auto deliver = [&](const uint8_t* bytes, size_t count) {
        if (produced + count > entry.size) {
            tooLong = true;
            count = (size_t)(entry.size - produced);
        }
        crc = Crc32(crc, bytes, count);
        produced += count;
        if (count && sink) sink(bytes, count);
    };
    std::vector<uint8_t> plain(kChunk);
    std::vector<uint8_t> out;
    z_stream stream{};
    if (entry.method == kMethodDeflated) {
        if (inflateInit2(&stream, -15) != Z_OK) throw std::bad_alloc();
        out.resize(4 * kChunk);
    }
    int status = Z_OK;
    while (left > 0 && !tooLong && status != Z_STREAM_END) {
        const size_t count = (size_t)std::min<uint64_t>(left, kChunk);
        memcpy(plain.data(), in, count);
        if (crypto) crypto->decrypt(plain.data(), count);
        in += count;
        left -= count;
        if (entry.method == kMethodStored) {
            deliver(plain.data(), count);
            continue;
        }
        stream.next_in = plain.data();
        stream.avail_in = (uInt)count;
        do {
            stream.next_out = out.data();
            stream.avail_out = (uInt)out.size();
            status = inflate(&stream, Z_NO_FLUSH);
            deliver(out.data(), out.size() - stream.avail_out);
        } while (status == Z_OK && !tooLong && (stream.avail_in > 0 || stream.avail_out == 0));
        if (status == Z_BUF_ERROR) status = Z_OK;  // wants more input
        if (status != Z_OK && status != Z_STREAM_END) break;
        if (status == Z_STREAM_END) left += stream.avail_in;
    }
    if (entry.method == kMethodDeflated) inflateEnd(&stream);

    if (entry.method == kMethodDeflated && status != Z_OK && status != Z_STREAM_END)
        return shown + ": its compressed data is damaged";
    if (tooLong) return shown + ": holds more data than its size, " + std::to_string(entry.size) + " bytes";
    if (entry.method == kMethodDeflated && status != Z_STREAM_END) return shown + ": its compressed data is cut short";
    if (left > 0) return shown + ": its compressed data ends before its packed size";
    if (produced != entry.size)
        return shown + ": holds " + std::to_string(produced) + " bytes, should hold " + std::to_string(entry.size);
    if (crc != entry.crc) return shown + ": bad CRC " + Hex32(crc) + " (should be " + Hex32(entry.crc) + ")";
    return std::string();
}

}  // namespace kvmake
