// The traditional PKWARE encryption of the ZIP format: three keys updated
// by every plain byte, a keystream byte drawn from the third, and the check
// of each encrypted entry's 12-byte header against the stored password.
// Entry data is decrypted as it is read, by RefillInput (archive input).
#include "archive/archive.h"
#include "codec/codec.h"
#include "startup/sfx_state.h"

namespace {

enum : uint32_t {
    kKey0Start = 0x12345678u,
    kKey1Start = 0x23456789u,
    kKey2Start = 0x34567890u,
    kKey1Multiplier = 0x08088405u,
};

inline uint32_t CrcStep(uint32_t reg, uint8_t byte) { return (reg >> 8) ^ state.crcTable[(reg ^ byte) & 0xFF]; }

}  // namespace

void InitKeys(const char* password) {
    state.keys.key0 = kKey0Start;
    state.keys.key1 = kKey1Start;
    state.keys.key2 = kKey2Start;
    for (const char* p = password; *p != 0; p++) UpdateKeys((uint8_t)*p);
}

void UpdateKeys(uint8_t plain) {
    state.keys.key0 = CrcStep(state.keys.key0, plain);
    state.keys.key1 = (state.keys.key1 + (state.keys.key0 & 0xFF)) * kKey1Multiplier + 1;
    state.keys.key2 = CrcStep(state.keys.key2, (uint8_t)(state.keys.key1 >> 24));
}

// Bits 8..15 of t * (t ^ 1), t = key2 | 2: they depend on t's low 16 bits only.
uint8_t DecryptByte() {
    uint32_t t = (state.keys.key2 | 2) & 0xFFFF;
    return (uint8_t)((t * (t ^ 1)) >> 8);
}

int CheckEncryptionHeader(const uint8_t header[kEncryptionHeaderSize]) {
    if (state.password == 0) return -1;
    // 1. Keys afresh for every entry.
    InitKeys(state.password);
    // 2. The twelve bytes in order, each plain byte updating the keys.
    uint8_t plain = 0;
    for (uint32_t i = 0; i < kEncryptionHeaderSize; i++) {
        plain = (uint8_t)(header[i] ^ DecryptByte());
        UpdateKeys(plain);
    }
    // 3, 4. Only the last byte is checked: the high byte of the time when a
    // data descriptor follows (the CRC is not known when the header is
    // written), else of the CRC-32.
    uint8_t check = state.entryHasDescriptor ? (uint8_t)(state.localHeader.modTime >> 8)
                                             : (uint8_t)(state.localHeader.crc32 >> 24);
    return plain == check ? 0 : -1;
}

int ReadEncryptionHeader() {
    // 1.
    if (state.password == 0) return 0;
    // 2. Straight from the archive file: the header never spans volumes.
    uint8_t header[kEncryptionHeaderSize];
    int32_t got = sfxPlatform.readFile(state.archiveFile, header, kEncryptionHeaderSize);
    if (got != (int32_t)kEncryptionHeaderSize) ReadError(14);
    // 3. The data that follows; a compressed size too small to hold the
    // header leaves none (the count never goes below 0).
    state.compressedLeft =
        state.compressedLeft > kEncryptionHeaderSize ? state.compressedLeft - kEncryptionHeaderSize : 0;
    // 4.
    return CheckEncryptionHeader(header) == 0 ? 1 : 0;
}
