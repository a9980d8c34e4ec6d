#include "test_startup_support.h"

#include <zlib.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <stdexcept>

#include "fake_platform.h"
#include "format/bytes.h"

namespace {

void Put16(std::string& out, uint32_t value) { AppendLe16(out, value); }
void Put32(std::string& out, uint32_t value) { AppendLe32(out, value); }
void Store32(std::string& bytes, size_t at, uint32_t value) { StoreLe32((uint8_t*)&bytes[at], value); }
uint32_t Load32(const std::string& bytes, size_t at) { return LoadLe32((const uint8_t*)&bytes[at]); }

}  // namespace

std::string SyntheticPeStub() {
    std::string image(0x400, (char)0xCC);
    image[0] = 'M';
    image[1] = 'Z';
    Store32(image, 0x3C, kSyntheticNtAt);
    memcpy(&image[kSyntheticNtAt], "PE\0\0", 4);
    image[kSyntheticNtAt + 4] = 0x4C;  // i386
    image[kSyntheticNtAt + 5] = 0x01;
    image[kSyntheticNtAt + 20] = (char)0xE0;  // optional header of 224 bytes
    image[kSyntheticNtAt + 21] = 0;
    image[kSyntheticNtAt + 24] = 0x0B;  // PE32
    image[kSyntheticNtAt + 25] = 0x01;
    Store32(image, kSyntheticNtAt + 0x28, kSyntheticEntry);
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

std::string ReadFileBytes(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    if (!in) throw std::runtime_error("cannot read " + path);
    return std::string((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
}

void WriteFileBytes(const std::string& path, const std::string& bytes) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(bytes.data(), (std::streamsize)bytes.size());
    if (!out) throw std::runtime_error("cannot write " + path);
}

std::string StoredZip(const std::vector<std::pair<std::string, std::string>>& files, uint32_t base,
                      bool digitalSignature, uint32_t* endRecordAt) {
    std::string zip, central;
    for (const auto& [name, data] : files) {
        uint32_t crc = (uint32_t)crc32(0, (const Bytef*)data.data(), (uInt)data.size());
        uint32_t localAt = base + (uint32_t)zip.size();
        zip += "PK";
        zip += '\3';
        zip += '\4';
        Put16(zip, 10);
        Put16(zip, 0);
        Put16(zip, 0);                           // stored
        Put16(zip, 0x6000);                      // 12:00
        Put16(zip, (44 << 9) | (3 << 5) | 15);   // 2024-03-15
        Put32(zip, crc);
        Put32(zip, (uint32_t)data.size());
        Put32(zip, (uint32_t)data.size());
        Put16(zip, (uint32_t)name.size());
        Put16(zip, 0);
        zip += name;
        zip += data;

        central += "PK";
        central += '\1';
        central += '\2';
        Put16(central, 20);
        Put16(central, 10);
        Put16(central, 0);
        Put16(central, 0);
        Put16(central, 0x6000);
        Put16(central, (44 << 9) | (3 << 5) | 15);
        Put32(central, crc);
        Put32(central, (uint32_t)data.size());
        Put32(central, (uint32_t)data.size());
        Put16(central, (uint32_t)name.size());
        Put16(central, 0);
        Put16(central, 0);
        Put16(central, 0);
        Put16(central, 0);
        Put32(central, 0);
        Put32(central, localAt);
        central += name;
    }
    uint32_t centralAt = base + (uint32_t)zip.size();
    zip += central;
    *endRecordAt = (uint32_t)zip.size();
    if (digitalSignature) {
        zip += "PK";
        zip += '\5';
        zip += '\5';
        Put16(zip, 2);
        zip += "sg";
    }
    zip += "PK";
    zip += '\5';
    zip += '\6';
    Put16(zip, 0);
    Put16(zip, 0);
    Put16(zip, (uint32_t)files.size());
    Put16(zip, (uint32_t)files.size());
    Put32(zip, (uint32_t)central.size());
    Put32(zip, centralAt);
    Put16(zip, 0);
    return zip;
}

SfxImage MakeSfx(const SfxOptions& options) {
    SfxImage image;
    image.bytes = options.stub;
    image.blockAt = image.bytes.rfind(std::string((const char*)kBlockSignature, 8));  // the last copy: a test may plant a decoy before it
    if (image.blockAt == std::string::npos) throw std::runtime_error("stub without a configuration block");
    memcpy(&image.block, &image.bytes[image.blockAt], sizeof image.block);

    std::string header = options.rawHeader;
    if (header.empty() && options.header)
        for (const std::string& text : options.texts) header += text + '\0';
    uint32_t headerOffset = (uint32_t)image.bytes.size();
    uint32_t archiveStart = headerOffset + (uint32_t)header.size();
    uint32_t endRecordAt = 0;
    std::string zip = StoredZip(options.files, archiveStart, options.digitalSignature, &endRecordAt);
    image.bytes += header + zip;

    SfxConfigBlock& block = image.block;
    block.archiveStart = archiveStart;
    block.headerOffset = header.empty() ? 0 : headerOffset;
    block.endRecordOffset = archiveStart + endRecordAt;
    block.totalSize = 0;
    for (const auto& file : options.files) block.totalSize += (uint32_t)file.second.size();
    block.flags = options.flags;
    block.completeMark = options.completeMark;
    uint32_t entry = 0;
    if (image.bytes.compare(0, 2, "MZ") != 0) entry = Load32(image.bytes, 0x18);  // ELF: low half of e_entry
    else if (Load32(image.bytes, 0x3C) < image.bytes.size() - 0x2C) entry = Load32(image.bytes, Load32(image.bytes, 0x3C) + 0x28);
    block.entryRva = entry;
    Stamp(image, options.checksum);
    return image;
}

void Stamp(SfxImage& image, bool checksum) {
    SfxConfigBlock& block = image.block;
    block.stubCrc = 0;
    memcpy(&image.bytes[image.blockAt], &block, sizeof block);
    if (!checksum) return;
    // From the file's start, or from the end of the executable headers.
    uint32_t start = 0;
    if (block.flags & SFXF_CRC_AFTER_HEADERS) {
        if (image.bytes.compare(0, 2, "MZ") == 0) {
            uint32_t nt = Load32(image.bytes, 0x3C);
            start = UINT32_MAX;
            if (nt < image.bytes.size() - 24)
                start = nt + 24 + ((uint8_t)image.bytes[nt + 20] | ((uint8_t)image.bytes[nt + 21] << 8));
        } else {  // ELF64: the header and its program headers
            uint32_t programAt = Load32(image.bytes, 32);
            uint32_t entrySize = (uint8_t)image.bytes[54] | ((uint8_t)image.bytes[55] << 8);
            uint32_t count = (uint8_t)image.bytes[56] | ((uint8_t)image.bytes[57] << 8);
            start = std::max<uint32_t>(64, programAt + entrySize * count);
        }
    }
    image.crcStart = start;
    if (start > block.archiveStart) {  // headers outside the covered bytes: no right value
        block.stubCrc = 0x5EEDBAD5;
        memcpy(&image.bytes[image.blockAt], &block, sizeof block);
        return;
    }
    block.stubCrc = (uint32_t)crc32(0, (const Bytef*)image.bytes.data() + start, block.archiveStart - start);
    memcpy(&image.bytes[image.blockAt], &block, sizeof block);
}

TempFolder::TempFolder() {
    std::string pattern = (std::filesystem::temp_directory_path() / "kvsfx-startup-XXXXXX").string();
    std::vector<char> name(pattern.begin(), pattern.end());
    name.push_back(0);
    if (mkdtemp(name.data()) == nullptr) throw std::runtime_error("mkdtemp");
    path = name.data();
}

TempFolder::~TempFolder() {
    std::error_code ignored;
    std::filesystem::remove_all(path, ignored);
}

std::string TempFolder::Write(const std::string& name, const std::string& bytes) const {
    std::string full = path + "/" + name;
    WriteFileBytes(full, bytes);
    return full;
}

void UseImage(const std::string& path, const SfxImage& image) {
    memcpy((void*)&sfxConfigBlock, &image.block, sizeof image.block);
    fake.moduleFileName = path;
}
