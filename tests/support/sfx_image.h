// Stub images and self-extracting files made field by field: stub-shaped
// files for the builder, a small synthetic PE32 stub, the real Linux stub;
// the configuration block, the creator's header and an archive laid behind
// them, with the checksum computed by zlib independently of the stub's own
// CRC; and the block read back from a built file.
#ifndef KVSFX_TESTS_SUPPORT_SFX_IMAGE_H
#define KVSFX_TESTS_SUPPORT_SFX_IMAGE_H

#include <stdint.h>

#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "startup/sfx_state.h"
#include "support/files.h"

// --- stubs ---------------------------------------------------------------------

enum class StubKind { Elf64, Pe32, Pe32Plus };
const uint32_t kFakeEntry = 0x3E90;

// A stub-shaped file: an ELF or PE header naming entry point kFakeEntry,
// filler, and `blocks` copies of a blank configuration block at 0x400,
// 0x800, ...
Bytes FakeStub(StubKind kind, int blocks = 1, size_t size = 6000);

// A synthetic PE32 image of 0x400 bytes: NT headers at 0x80 (ending at
// 0x178), entry point 0x3E90, a configuration block at kSyntheticBlockAt.
enum : uint32_t {
    kSyntheticNtAt = 0x80,
    kSyntheticHeadersEnd = 0x80 + 248,
    kSyntheticBlockAt = 0x200,
    kSyntheticEntry = kFakeEntry,
};
std::string SyntheticPeStub();
// The Linux stub built beside the tests.
std::string RealLinuxStub();
// That stub, and every kvsfx, kvsfx32.exe and kvsfx64.exe in the tree's
// build folders.
std::vector<std::string> BuiltStubPaths();

// --- self-extracting files ------------------------------------------------------

struct SfxOptions {
    std::string stub = SyntheticPeStub();
    bool header = true;                                    // false: headerOffset 0
    std::vector<std::string> texts{"", "", "", "", ""};    // the header's five texts
    std::string rawHeader;                                 // non-empty: these header bytes as they are
    // The archive: a stored zip of files with file-absolute offsets, or the
    // bytes of archive as they are (then no end record is named).
    std::vector<std::pair<std::string, std::string>> files{{"a.txt", "hello\n"}};
    std::optional<std::string> archive;
    bool digitalSignature = false;                         // a digital signature record before the end record
    uint32_t flags = 0;
    std::optional<uint32_t> totalSize;                     // unset: the files' sizes (or the archive's)
    bool checksum = true;                                  // false: stubCrc 0
    uint16_t completeMark = 0xFFFF;
};

struct SfxImage {
    std::string bytes;
    size_t blockAt = 0;      // the configuration block's place in bytes
    SfxConfigBlock block{};  // as stamped
    uint32_t crcStart = 0;   // where the checksum starts
};

SfxImage MakeSfx(const SfxOptions& options);
// Writes image.block into the bytes and, when checksum, the CRC after it.
void Stamp(SfxImage& image, bool checksum = true);

// A self-extracting file at path: the built Linux stub with its
// configuration block filled in (archive start, flags, total size; no
// header, no checksum, no end-record check) and zip appended. Returns path.
std::string MakeSfx(const std::string& path, const std::string& zip, uint32_t flags = 0, uint32_t totalSize = 0);

// Makes path the program file with image's block as the stub's own.
void UseImage(const std::string& path, const SfxImage& image);

// --- reading a built file back ---------------------------------------------------

// The configuration block as read back from a built file.
struct Block {
    uint32_t stubCrc, archiveStart, headerOffset, endRecordOffset, totalSize, flags;
    uint16_t completeMark;
    uint32_t entryRva;
};
Block ReadBlock(const Bytes& file, size_t at = 0x400);
// The five header texts.
std::vector<std::string> HeaderTexts(const Bytes& file, const Block& block);
// CRC-32 of file[from, archiveStart) with the block's stubCrc bytes zeroed.
uint32_t ExpectedStubCrc(const Bytes& file, const Block& block, uint32_t from, size_t blockAt = 0x400);

#endif
