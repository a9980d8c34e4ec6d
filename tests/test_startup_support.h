// Self-extracting files for the start-up and input tests, made field by
// field: a stub image (a small synthetic PE, or the real Linux stub) with
// its configuration block, the creator's header, and a stored ZIP with
// file-absolute offsets. Checksums are computed with zlib, independently of
// the stub's own CRC.
#ifndef KVSFX_TESTS_STARTUP_SUPPORT_H
#define KVSFX_TESTS_STARTUP_SUPPORT_H

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

#include "startup/sfx_state.h"

// A synthetic PE32 image of 0x400 bytes: NT headers at 0x80 (ending at
// 0x178), entry point 0x3E90, a configuration block at kSyntheticBlockAt.
enum : uint32_t {
    kSyntheticNtAt = 0x80,
    kSyntheticHeadersEnd = 0x80 + 248,
    kSyntheticBlockAt = 0x200,
    kSyntheticEntry = 0x3E90,
};
std::string SyntheticPeStub();
// The Linux stub built beside the tests.
std::string RealLinuxStub();
// That stub, and every kvsfx, kvsfx32.exe and kvsfx64.exe in the tree's
// build folders.
std::vector<std::string> BuiltStubPaths();

struct SfxOptions {
    std::string stub = SyntheticPeStub();
    bool header = true;                                    // false: headerOffset 0
    std::vector<std::string> texts{"", "", "", "", ""};    // the header's five texts
    std::string rawHeader;                                 // non-empty: these header bytes as they are
    std::vector<std::pair<std::string, std::string>> files{{"a.txt", "hello\n"}};
    bool digitalSignature = false;                         // a digital signature record before the end record
    uint32_t flags = 0;
    bool checksum = true;                                  // false: stubCrc 0
    uint16_t completeMark = 0xFFFF;
};

struct SfxImage {
    std::string bytes;
    size_t blockAt = 0;      // the configuration block's place in bytes
    SfxConfigBlock block{};  // as stamped
    uint32_t crcStart = 0;   // where the checksum starts
};

std::string ReadFileBytes(const std::string& path);
void WriteFileBytes(const std::string& path, const std::string& bytes);

// The stored ZIP of files whose offsets count from base; *endRecordAt gets
// the end record's (or digital signature record's) offset from base.
std::string StoredZip(const std::vector<std::pair<std::string, std::string>>& files, uint32_t base,
                      bool digitalSignature, uint32_t* endRecordAt);

SfxImage MakeSfx(const SfxOptions& options);
// Writes image.block into the bytes and, when checksum, the CRC after it.
void Stamp(SfxImage& image, bool checksum = true);

// A fresh folder under the system's temporary folder, removed at the end.
struct TempFolder {
    std::string path;
    TempFolder();
    ~TempFolder();
    std::string Write(const std::string& name, const std::string& bytes) const;
};

// Makes path the program file with image's block as the stub's own.
void UseImage(const std::string& path, const SfxImage& image);

#endif
