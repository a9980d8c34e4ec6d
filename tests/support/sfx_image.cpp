#include "support/sfx_image.h"

#include <string.h>
#include <sys/stat.h>

#include <algorithm>
#include <filesystem>

#include <gtest/gtest.h>

#include "support/codec_control.h"
#include "support/fake_platform.h"
#include "format/bytes.h"
#include "support/zip_writer.h"

namespace {

// MZ header naming NT headers at 0x80: signature, machine, optional header
// size and magic, entry point kFakeEntry.
void PutPeHeaders(uint8_t* image, bool plus) {
    const uint32_t nt = 0x80;
    image[0] = 'M';
    image[1] = 'Z';
    StoreLe32(&image[0x3C], nt);
    memcpy(&image[nt], "PE\0\0", 4);
    StoreLe16(&image[nt + 4], plus ? 0x8664 : 0x14C);
    StoreLe16(&image[nt + 20], plus ? 240 : 224);
    StoreLe16(&image[nt + 24], plus ? 0x20B : 0x10B);
    StoreLe32(&image[nt + 0x28], kFakeEntry);
}

}  // namespace

Bytes FakeStub(StubKind kind, int blocks, size_t size) {
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
        PutPeHeaders(image.data(), kind == StubKind::Pe32Plus);
    }
    for (int i = 0; i < blocks; i++) {
        uint8_t* block = &image[0x400 * (i + 1)];
        memset(block, 0, 60);
        memcpy(block, kBlockSignature, 8);
    }
    return image;
}

std::string SyntheticPeStub() {
    std::string image(0x400, (char)0xCC);
    PutPeHeaders((uint8_t*)&image[0], false);
    SfxConfigBlock block{};
    memcpy(block.signature, kBlockSignature, 8);
    memcpy(&image[kSyntheticBlockAt], &block, sizeof block);
    return image;
}

std::string RealLinuxStub() { return ReadFileBytes(KVSFX_STUB_PATH); }

std::vector<std::string> BuiltStubPaths() {
    std::vector<std::string> stubs = {KVSFX_STUB_PATH};
    std::filesystem::path builds = std::filesystem::path(KVSFX_SOURCE_DIR) / "build";
    std::error_code error;
    for (const auto& folder : std::filesystem::directory_iterator(builds, error)) {
        for (const char* name : {"kvsfx", "kvsfx32.exe", "kvsfx64.exe"}) {
            std::filesystem::path stub = folder.path() / name;
            if (std::filesystem::is_regular_file(stub, error)) stubs.push_back(stub.string());
        }
    }
    return stubs;
}

SfxImage MakeSfx(const SfxOptions& options) {
    SfxImage image;
    image.bytes = options.stub;
    // The last copy: a test may plant a decoy before it.
    image.blockAt = image.bytes.rfind(std::string((const char*)kBlockSignature, 8));
    if (image.blockAt == std::string::npos) {
        ADD_FAILURE() << "stub without a configuration block";
        return image;
    }
    memcpy(&image.block, &image.bytes[image.blockAt], sizeof image.block);

    std::string header = options.rawHeader;
    if (header.empty() && options.header)
        for (const std::string& text : options.texts) header += text + '\0';
    uint32_t headerOffset = (uint32_t)image.bytes.size();
    uint32_t archiveStart = headerOffset + (uint32_t)header.size();
    uint32_t endRecordAt = 0;
    uint32_t totalSize = 0;
    std::string zip;
    if (options.archive) {
        zip = *options.archive;
        totalSize = (uint32_t)zip.size();
    } else {
        std::vector<ZipItem> items;
        for (const auto& [name, data] : options.files) {
            ZipItem item = Item(name, data, 0);
            item.time = 0x6000;                      // 12:00
            item.date = (44 << 9) | (3 << 5) | 15;   // 2024-03-15
            items.push_back(item);
            totalSize += (uint32_t)data.size();
        }
        ZipLayout layout;
        layout.base = archiveStart;
        layout.digitalSignature = options.digitalSignature;
        zip = ZipBytes(items, layout, &endRecordAt);
    }
    image.bytes += header + zip;

    SfxConfigBlock& block = image.block;
    block.archiveStart = archiveStart;
    block.headerOffset = header.empty() ? 0 : headerOffset;
    block.endRecordOffset = options.archive ? 0 : archiveStart + endRecordAt;
    block.totalSize = options.totalSize.value_or(totalSize);
    block.flags = options.flags;
    block.completeMark = options.completeMark;
    uint32_t entry = 0;
    const std::string& bytes = image.bytes;
    if (bytes.compare(0, 2, "MZ") != 0) entry = LoadLe32((const uint8_t*)(bytes).data() + 0x18);  // ELF: low half of e_entry
    else if (LoadLe32((const uint8_t*)(bytes).data() + 0x3C) < bytes.size() - 0x2C) entry = LoadLe32((const uint8_t*)(bytes).data() + LoadLe32((const uint8_t*)(bytes).data() + 0x3C) + 0x28);
    block.entryRva = entry;
    Stamp(image, options.checksum);
    return image;
}

void Stamp(SfxImage& image, bool checksum) {
    SfxConfigBlock& block = image.block;
    std::string& bytes = image.bytes;
    block.stubCrc = 0;
    memcpy(&bytes[image.blockAt], &block, sizeof block);
    if (!checksum) return;
    // From the file's start, or from the end of the executable headers.
    uint32_t start = 0;
    if (block.flags & SFXF_CRC_AFTER_HEADERS) {
        const uint8_t* p = (const uint8_t*)bytes.data();
        if (bytes.compare(0, 2, "MZ") == 0) {
            uint32_t nt = LoadLe32(p + 0x3C);
            start = UINT32_MAX;
            if (nt < bytes.size() - 24) start = nt + 24 + LoadLe16(p + nt + 20);
        } else {  // ELF64: the header and its program headers
            start = std::max<uint32_t>(64, LoadLe32(p + 32) + LoadLe16(p + 54) * LoadLe16(p + 56));
        }
    }
    image.crcStart = start;
    if (start > block.archiveStart) {  // headers outside the covered bytes: no right value
        block.stubCrc = 0x5EEDBAD5;
        memcpy(&bytes[image.blockAt], &block, sizeof block);
        return;
    }
    block.stubCrc = Crc32(bytes.data() + start, block.archiveStart - start);
    memcpy(&bytes[image.blockAt], &block, sizeof block);
}

std::string MakeSfx(const std::string& path, const std::string& zip, uint32_t flags, uint32_t totalSize) {
    SfxOptions options;
    options.stub = RealLinuxStub();
    options.header = false;
    options.archive = zip;
    options.flags = flags;
    if (totalSize) options.totalSize = totalSize;
    options.checksum = false;
    options.completeMark = 1;
    WriteFileBytes(path, MakeSfx(options).bytes);
    chmod(path.c_str(), 0755);
    return path;
}

void UseImage(const std::string& path, const SfxImage& image) {
    memcpy((void*)&sfxConfigBlock, &image.block, sizeof image.block);
    fake.moduleFileName = path;
}

Block ReadBlock(const Bytes& file, size_t at) {
    const uint8_t* p = &file[at];
    return Block{LoadLe32(p + 8),  LoadLe32(p + 0x0C), LoadLe32(p + 0x10), LoadLe32(p + 0x14),
                 LoadLe32(p + 0x18), LoadLe32(p + 0x1C), (uint16_t)LoadLe16(p + 0x2A), LoadLe32(p + 0x36)};
}

std::vector<std::string> HeaderTexts(const Bytes& file, const Block& block) {
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

uint32_t ExpectedStubCrc(const Bytes& file, const Block& block, uint32_t from, size_t blockAt) {
    Bytes copy(file.begin(), file.begin() + block.archiveStart);
    memset(&copy[blockAt + 8], 0, 4);
    return Crc32(copy.data() + from, block.archiveStart - from);
}
