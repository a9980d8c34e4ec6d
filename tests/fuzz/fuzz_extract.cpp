// libFuzzer target for the whole program over arbitrary archive bytes: the
// start-up, the dialog on the terminal and the extraction run, on the memory
// disk (memory_platform.h). The program file is a small ELF header naming
// the block's entry point, an optional header of texts, then the archive.
//
// Input layout:
//   byte 0     options: bit 0 overwrite without asking, bit 1 the archive
//              says it is encrypted, bit 2 "-auto" with the destination on
//              the command line (else the dialog runs from the script),
//              bit 3 the destination exists, bit 4 a header with the
//              destination and a start-up prompt, bit 5 the disk fills up,
//              bit 6 the meter from the start (a large end-record offset)
//   byte 1     n: the first n & 15 bytes that follow answer message boxes
//              (each taken modulo 7, plus 1: OK .. No)
//   then       one byte l and l bytes of standard input (commands,
//              folders, passwords)
//   then       with bit 5, one byte: the disk holds that many KiB
//   the rest   the archive
// The memory disk aborts on a file or folder created outside the
// destination, and on file handles left open; the sanitizers on the rest.
#include <stdint.h>
#include <stdlib.h>
#include <string.h>

#include <string>

#include "support/fake_platform.h"
#include "fuzz/memory_platform.h"
#include "startup/sfx_state.h"
#include "startup/startup.h"

namespace {

const uint32_t kEntryRva = 0x3E90;
const size_t kElfHeaderSize = 64;
const size_t kMeterOffset = 0x80000;

struct Reader {
    const uint8_t* data;
    size_t size;
    uint8_t byte() {
        if (size == 0) return 0;
        size--;
        return *data++;
    }
    std::string bytes(size_t count) {
        if (count > size) count = size;
        std::string text((const char*)data, count);
        data += count;
        size -= count;
        return text;
    }
};

std::string ElfHeader() {
    std::string header(kElfHeaderSize, '\0');
    memcpy(&header[0], "\x7F" "ELF", 4);
    header[4] = 2;
    header[5] = 1;
    for (int i = 0; i < 4; i++) header[0x18 + i] = (char)(kEntryRva >> (8 * i));
    return header;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    Reader input{data, size};
    const uint8_t options = input.byte();
    const uint8_t answerCount = input.byte() & 15;
    const std::string answers = input.bytes(answerCount);
    const std::string script = input.bytes(input.byte());
    const int64_t diskKiB = (options & 0x20) ? input.byte() : -1;
    const std::string archive = input.bytes(input.size);

    const std::string folder = std::string(kMemoryRoot) + "/program";
    const std::string destination = std::string(kMemoryRoot) + "/out";
    std::string header;
    if (options & 0x10) {
        header = destination + std::string(1, '\0') + std::string(1, '\0') + "Extraire ?" + std::string(1, '\0') +
                 "Titre" + std::string(1, '\0') + "info" + std::string(1, '\0');
    }

    BeginMemoryRun(script);
    for (char answer : answers) fake.answers.push_back((uint8_t)answer % 7 + 1);
    fake.moduleFileName = folder + "/SETUP.EXE";
    std::string file = ElfHeader() + header + archive;
    // A large end-record offset shows the meter from the start; the record
    // must then be there.
    if ((options & 0x40) && file.size() <= kMeterOffset) {
        file.resize(kMeterOffset, '\0');
        file += "PK\x05\x06";
        file.resize(kMeterOffset + 22, '\0');
    }
    PutMemoryFile(fake.moduleFileName, file);
    if (options & 0x08) PutMemoryFolder(destination);
    if (diskKiB >= 0) LimitMemoryWrites(diskKiB * 1024);

    volatile SfxConfigBlock& block = sfxConfigBlock;
    block.stubCrc = 0;
    block.headerOffset = header.empty() ? 0 : (uint32_t)kElfHeaderSize;
    block.archiveStart = (uint32_t)(kElfHeaderSize + header.size());
    block.endRecordOffset = (options & 0x40) && file.size() == kMeterOffset + 22 ? kMeterOffset : 0;
    block.totalSize = (uint32_t)archive.size() * 2;
    block.flags = ((options & 0x01) ? SFXF_OVERWRITE_DEFAULT : 0) | ((options & 0x02) ? SFXF_ENCRYPTED : 0) |
                  ((options & 0x10) ? SFXF_CUSTOM_TITLE | SFXF_PROMPT_QUESTION : 0);
    block.completeMark = 1;
    block.entryRva = kEntryRva;

    const std::string arguments = (options & 0x04) ? "-auto " + destination : "";
    const uint32_t code = RunSfxMain(arguments);
    EndMemoryRun();
    if (code > 2) abort();
    return 0;
}
