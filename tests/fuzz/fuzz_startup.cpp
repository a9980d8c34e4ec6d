// libFuzzer target for the start-up reader: the configuration block, the
// stub's checksum, the entry-point check, the header of texts and the end
// record, over an arbitrary program file on the memory disk.
//
// Input layout:
//   byte 0      options: bit 0 the block gets the file's right checksum,
//               bit 1 its entry point is the one the file's headers name
//               (so that fuzzing gets past both checks), bit 2 the dialog
//               runs (standard input empty: it closes at once) instead of
//               "-info", bit 3 the drive's label names disk 1 of a set,
//               bit 4 the start-up prompt is declined
//   bytes 1-52  the block after its signature (fields 0x08 to 0x3B)
//   the rest    the program file
#include <stdint.h>
#include <stdlib.h>
#include <string.h>
#include <zlib.h>

#include <string>

#include "support/fake_platform.h"
#include "fuzz/memory_platform.h"
#include "format/exe_layout.h"
#include "startup/sfx_state.h"
#include "startup/startup.h"

namespace {

const size_t kFieldsSize = sizeof(SfxConfigBlock) - sizeof kBlockSignature;

// The checksum the stub computes over the first archiveStart bytes, or 0
// when it has nothing to compute it over.
uint32_t RightChecksum(const std::string& file, const SfxConfigBlock& block) {
    const uint32_t length = block.archiveStart;
    if (length < 12 || length > file.size()) return 0;
    std::string image = file.substr(0, length);
    const size_t at = image.find(std::string((const char*)block.signature, sizeof kBlockSignature));
    if (at == std::string::npos || at > length - 12) return 0;
    memset(&image[at + sizeof kBlockSignature], 0, 4);
    uint32_t start = 0;
    if (block.flags & SFXF_CRC_AFTER_HEADERS) {
        start = ExecutableHeadersEnd((const uint8_t*)image.data(), length);
        if (start == 0) return 0;
    }
    return (uint32_t)crc32(0, (const Bytef*)image.data() + start, length - start);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 1 + kFieldsSize) return 0;
    const uint8_t options = data[0];
    const std::string file((const char*)data + 1 + kFieldsSize, size - 1 - kFieldsSize);

    BeginMemoryRun("");
    SfxConfigBlock block;
    memcpy(&block, (const void*)&sfxConfigBlock, sizeof block);
    memcpy((uint8_t*)&block + sizeof kBlockSignature, data + 1, kFieldsSize);
    if (options & 0x01) block.stubCrc = RightChecksum(file, block);
    uint32_t entry = 0;
    if ((options & 0x02) && ExecutableEntryPoint((const uint8_t*)file.data(), (uint32_t)file.size(), &entry))
        block.entryRva = entry;
    memcpy((void*)&sfxConfigBlock, &block, sizeof block);

    fake.moduleFileName = std::string(kMemoryRoot) + "/program/SETUP.EXE";
    PutMemoryFile(fake.moduleFileName, file);
    if (options & 0x08) {
        fake.label = "PKBACK# 001";
        fake.labelReadable = true;
    }
    fake.answers.push_back((options & 0x10) ? kAnswerNo : kAnswerYes);

    const uint32_t code = RunSfxMain((options & 0x04) ? "" : "-info");
    EndMemoryRun();
    if (code > 2) abort();
    return 0;
}
