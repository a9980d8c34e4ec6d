// CRC-32 of the ZIP format (ISO 3309 / ITU-T V.42, the reflected polynomial
// 0xEDB88320). Its users start the register at all ones and complement it
// themselves.
//
// UpdateCrc is table-driven, 40 bytes per step. A single register folding
// 8 or 16 bytes per step ("slicing") waits at every step for its own last
// lookups; here the data is taken as five interleaved 8-byte words, each
// with a register of its own, so that the processor overlaps the lookups of
// five independent chains. A word is folded by eight tables, one per byte
// position, each carrying a byte's contribution to the start of the same
// chain's next word, 40 bytes further on. The last step of a run goes word by
// word through the standard table, which merges the five registers into one.
//
// The standard table lives in state.crcTable (the decryption's key update
// shares it); the eight others are built from it at start-up, in static
// memory (they cost the program file nothing).
#include <string.h>

#include "codec/codec.h"
#include "startup/sfx_state.h"

namespace {

// The stub is built for size, which keeps even small helpers out of line;
// those inside the loop are always inlined.
#define KVSFX_HOT inline __attribute__((always_inline))

enum : uint32_t {
    kCrcPolynomial = 0xEDB88320u,
    kWordBytes = 8,
    kChains = 5,
    kStepBytes = kChains * kWordBytes,
};

// crcAdvance[j][b]: the register after byte value b at position j of a word
// and the 39 - j zero bytes that follow up to the chain's next word.
uint32_t crcAdvance[kWordBytes][256];

// The build targets are all little-endian: the first byte is the lowest.
KVSFX_HOT uint32_t Load32(const uint8_t* p) {
    uint32_t value;
    memcpy(&value, p, sizeof value);
    return value;
}

inline uint32_t ZeroByteStep(uint32_t reg) { return (reg >> 8) ^ state.crcTable[reg & 0xFF]; }

// The contributions of a word's eight bytes (low and high half), carried
// to the chain's next word.
KVSFX_HOT uint32_t FoldWord(uint32_t low, uint32_t high) {
    return crcAdvance[0][low & 0xFF] ^ crcAdvance[1][(low >> 8) & 0xFF] ^ crcAdvance[2][(low >> 16) & 0xFF] ^
           crcAdvance[3][low >> 24] ^ crcAdvance[4][high & 0xFF] ^ crcAdvance[5][(high >> 8) & 0xFF] ^
           crcAdvance[6][(high >> 16) & 0xFF] ^ crcAdvance[7][high >> 24];
}

}  // namespace

void BuildCrcTable() {
    for (uint32_t i = 0; i < 256; i++) {
        uint32_t reg = 0;
        uint32_t value = i;
        for (int bit = 0; bit < 8; bit++) {
            reg = ((reg ^ value) & 1) ? (reg >> 1) ^ kCrcPolynomial : reg >> 1;
            value >>= 1;
        }
        state.crcTable[i] = reg;
    }
    for (uint32_t i = 0; i < 256; i++) {
        uint32_t reg = state.crcTable[i];
        for (uint32_t zeros = 0; zeros < kStepBytes - kWordBytes; zeros++) reg = ZeroByteStep(reg);
        crcAdvance[kWordBytes - 1][i] = reg;
        for (uint32_t j = kWordBytes - 1; j > 0; j--) crcAdvance[j - 1][i] = reg = ZeroByteStep(reg);
    }
}

void UpdateCrc(const uint8_t* data, uint32_t length) {
    const uint32_t* table = state.crcTable;
    uint32_t crc = state.crc;
    uint32_t steps = length / kStepBytes;
    if (steps >= 2) {
        // The register starts the first chain: a register is the same as
        // its value XORed into the next four bytes.
        uint32_t c0 = crc, c1 = 0, c2 = 0, c3 = 0, c4 = 0;
        for (uint32_t step = 1; step < steps; step++) {
            uint32_t w0 = Load32(data) ^ c0;
            uint32_t w1 = Load32(data + 8) ^ c1;
            uint32_t w2 = Load32(data + 16) ^ c2;
            uint32_t w3 = Load32(data + 24) ^ c3;
            uint32_t w4 = Load32(data + 32) ^ c4;
            c0 = FoldWord(w0, Load32(data + 4));
            c1 = FoldWord(w1, Load32(data + 12));
            c2 = FoldWord(w2, Load32(data + 20));
            c3 = FoldWord(w3, Load32(data + 28));
            c4 = FoldWord(w4, Load32(data + 36));
            data += kStepBytes;
        }
        // The last step byte by byte, each chain's register joining at its word.
        const uint32_t chains[kChains] = {c0, c1, c2, c3, c4};
        crc = 0;
        for (uint32_t k = 0; k < kChains; k++) {
            crc ^= chains[k];
            for (uint32_t i = 0; i < kWordBytes; i++) crc = (crc >> 8) ^ table[(crc ^ *data++) & 0xFF];
        }
        length -= steps * kStepBytes;
    }
    while (length--) crc = (crc >> 8) ^ table[(crc ^ *data++) & 0xFF];
    state.crc = crc;
}
