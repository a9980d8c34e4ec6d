// Where an executable's headers end and which entry point they name, for the
// three kinds of stub (PE32, PE32+, ELF). The stub's self-check and the
// builder must agree on both, so both include this file.
#ifndef KVSFX_FORMAT_EXE_LAYOUT_H
#define KVSFX_FORMAT_EXE_LAYOUT_H

#include <stdint.h>

#include "format/bytes.h"

// The end of the executable headers of image (length bytes from the file's
// start): for PE, the NT headers' end (offset at 0x3C, plus the 4-byte
// signature, the 20-byte file header and the optional header's declared
// size: 224 in PE32, 240 in PE32+); for ELF, the end of the ELF header and
// its program headers. 0 when the image is neither or the headers do not lie
// inside it.
inline uint32_t ExecutableHeadersEnd(const uint8_t* image, uint32_t length) {
    if (length >= 64 && image[0] == 'M' && image[1] == 'Z') {
        uint32_t nt = LoadLe32(image + 0x3C);
        if (nt > length || length - nt < 24) return 0;
        uint32_t end = nt + 24 + LoadLe16(image + nt + 20);
        return end <= length ? end : 0;
    }
    if (length >= 64 && image[0] == 0x7F && image[1] == 'E' && image[2] == 'L' && image[3] == 'F') {
        uint32_t headerSize = LoadLe16(image + 52);
        uint32_t programOffset = LoadLe32(image + 32);  // low half of e_phoff (ELF64)
        uint32_t programEnd = programOffset + LoadLe16(image + 54) * LoadLe16(image + 56);
        if (image[4] == 1) {  // ELF32
            headerSize = LoadLe16(image + 40);
            programOffset = LoadLe32(image + 28);
            programEnd = programOffset + LoadLe16(image + 42) * LoadLe16(image + 44);
        }
        uint32_t end = programEnd > headerSize ? programEnd : headerSize;
        return end <= length ? end : 0;
    }
    return 0;
}

// The entry point the headers name, relative to the image base: for PE the
// 32-bit value at 0x28 of the NT headers, for ELF the low half of e_entry.
// 1 when found.
inline int ExecutableEntryPoint(const uint8_t* image, uint32_t length, uint32_t* entry) {
    if (length >= 64 && image[0] == 'M' && image[1] == 'Z') {
        uint32_t nt = LoadLe32(image + 0x3C);
        if (nt > length || length - nt < 0x2C) return 0;
        *entry = LoadLe32(image + nt + 0x28);
        return 1;
    }
    if (length >= 64 && image[0] == 0x7F && image[1] == 'E' && image[2] == 'L' && image[3] == 'F') {
        *entry = LoadLe32(image + 0x18);
        return 1;
    }
    return 0;
}

#endif
