// The stub image and the two things the builder writes into the prefix of
// the output: the configuration block (found in the stub by its signature)
// and the header of five texts that follows the stub.
#ifndef KVSFX_MAKE_STUB_IMAGE_H
#define KVSFX_MAKE_STUB_IMAGE_H

#include <stddef.h>
#include <stdint.h>

#include <string>
#include <vector>

namespace kvmake {

struct StubImage {
    std::vector<uint8_t> bytes;
    size_t blockOffset = 0;  // where the configuration block lies in bytes
    uint32_t entryRva = 0;   // the entry point its executable header names
};

// Loads a stub and finds its one configuration block. Refuses a file that is
// not an executable (PE32, PE32+ or ELF), has no block or more than one, or
// is already a self-extracting file.
StubImage LoadStub(const std::string& path);

// The creator's texts, already in Windows-1252.
struct HeaderTexts {
    std::string defaultFolder;
    std::string prompt;
    std::string title;
    std::string info;
    std::string program;  // the program to run with its arguments; empty: none
};

// The header: five zero-terminated texts (the second, reserved, empty),
// then, when there is a program to run, a sixth (flag SFXF_RUN_PROGRAM
// announces it). Refuses texts over their capacities, five texts over 1256
// bytes, and a program that the stub would not start (CheckProgramLine).
std::string BuildSfxHeader(const HeaderTexts& texts);

// Refuses a command line whose program the stub would not start: a path
// that is not a file below the destination folder (empty, absolute, with a
// drive or ':', a ".." component or a device name), or a line over 511
// characters.
void CheckProgramLine(const std::string& line);
// The block's values other than the signature and the reserved fields.
struct BlockValues {
    uint32_t archiveStart = 0;
    uint32_t headerOffset = 0;
    uint32_t endRecordOffset = 0;
    uint32_t totalSize = 0;
    uint32_t flags = 0;
    uint32_t entryRva = 0;
};

// Writes the values into the block inside prefix (stub image and header,
// archiveStart bytes long), marks the file complete, and last sets stubCrc:
// the CRC-32 of prefix from 0 (or from the end of the executable headers
// with SFXF_CRC_AFTER_HEADERS in flags) with the stubCrc bytes taken as
// zero; 0 when withCrc is false.
void FillConfigBlock(std::vector<uint8_t>& prefix, size_t blockOffset, const BlockValues& values, bool withCrc);

}  // namespace kvmake

#endif
