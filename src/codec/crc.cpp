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
//
// On x86-64 processors with carry-less multiply (PCLMULQDQ), runs of 64
// bytes or more are folded 64 bytes per step instead, at several times the
// speed: the one place where the stub chooses code by processor. The choice
// is made once, at start-up, from CPUID; the folding routine is compiled for
// that instruction set alone (a target attribute), and nothing else in the
// stub uses it.
#include <string.h>

#include "codec/codec.h"
#include "startup/sfx_state.h"

// 64-bit builds only: the 32-bit stub carries no vector instruction at all
// (its static check refuses them, so that a 486 can never meet one), and
// the systems it was made for do not save the vector registers anyway.
#if defined(__x86_64__)
#include <cpuid.h>
#include <emmintrin.h>
#include <wmmintrin.h>
#define KVSFX_CARRYLESS_MULTIPLY 1
#endif

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

// UpdateCrc folds with carry-less multiply (chosen by BuildCrcTable).
bool foldWithCarrylessMultiply;

#ifdef KVSFX_CARRYLESS_MULTIPLY

enum : uint32_t { kFoldStepBytes = 64, kFoldBlockBytes = 16 };

// Whether the processor has carry-less multiply (leaf 1 of CPUID). A 64-bit
// system always saves the SSE registers it works in.
bool HasCarrylessMultiply() {
    unsigned int eax, ebx, ecx, edx;
    if (!__get_cpuid(1, &eax, &ebx, &ecx, &edx)) return false;
    if (!(ecx & bit_PCLMUL) || !(edx & bit_SSE2)) return false;
    return true;
}

// The CRC register after length bytes of data (length a multiple of 16, at
// least 64), by folding: four 128-bit lanes take 64 bytes per step, each
// lane multiplied forward by x^(512+64) and x^512 modulo the polynomial
// (constants k1, k2), then the lanes are folded into one (k3, k4), the rest
// 16 bytes at a time, and the 128 bits reduced to 64 (k5) and to the 32-bit
// register (Barrett reduction with the polynomial and its quotient). The
// constants are those of the reflected polynomial, from "Fast CRC
// Computation for Generic Polynomials Using PCLMULQDQ Instruction" (Intel,
// 2009). Compiled for SSE2 and PCLMULQDQ only: called only when
// HasCarrylessMultiply said yes.
__attribute__((target("sse2,pclmul"))) uint32_t FoldCrc(const uint8_t* data, uint32_t length, uint32_t crc) {
    const __m128i k1k2 = _mm_set_epi64x(0x01c6e41596, 0x0154442bd4);
    const __m128i k3k4 = _mm_set_epi64x(0x00ccaa009e, 0x01751997d0);
    const __m128i k5 = _mm_set_epi64x(0, 0x0163cd6124);
    const __m128i polynomial = _mm_set_epi64x(0x01f7011641, 0x01db710641);
    const __m128i low32 = _mm_setr_epi32(~0, 0, ~0, 0);

    // The register joins the first 4 bytes.
    __m128i lane0 = _mm_xor_si128(_mm_loadu_si128((const __m128i*)data), _mm_cvtsi32_si128((int)crc));
    __m128i lane1 = _mm_loadu_si128((const __m128i*)(data + 16));
    __m128i lane2 = _mm_loadu_si128((const __m128i*)(data + 32));
    __m128i lane3 = _mm_loadu_si128((const __m128i*)(data + 48));
    data += kFoldStepBytes;
    length -= kFoldStepBytes;

    // Four lanes, 64 bytes per step.
    while (length >= kFoldStepBytes) {
        __m128i low0 = _mm_clmulepi64_si128(lane0, k1k2, 0x00);
        __m128i low1 = _mm_clmulepi64_si128(lane1, k1k2, 0x00);
        __m128i low2 = _mm_clmulepi64_si128(lane2, k1k2, 0x00);
        __m128i low3 = _mm_clmulepi64_si128(lane3, k1k2, 0x00);
        lane0 = _mm_clmulepi64_si128(lane0, k1k2, 0x11);
        lane1 = _mm_clmulepi64_si128(lane1, k1k2, 0x11);
        lane2 = _mm_clmulepi64_si128(lane2, k1k2, 0x11);
        lane3 = _mm_clmulepi64_si128(lane3, k1k2, 0x11);
        lane0 = _mm_xor_si128(_mm_xor_si128(lane0, low0), _mm_loadu_si128((const __m128i*)data));
        lane1 = _mm_xor_si128(_mm_xor_si128(lane1, low1), _mm_loadu_si128((const __m128i*)(data + 16)));
        lane2 = _mm_xor_si128(_mm_xor_si128(lane2, low2), _mm_loadu_si128((const __m128i*)(data + 32)));
        lane3 = _mm_xor_si128(_mm_xor_si128(lane3, low3), _mm_loadu_si128((const __m128i*)(data + 48)));
        data += kFoldStepBytes;
        length -= kFoldStepBytes;
    }

    // The four lanes into one, then the rest 16 bytes at a time.
    __m128i folded = lane0;
    const __m128i next[3] = {lane1, lane2, lane3};
    for (int i = 0; i < 3; i++) {
        __m128i low = _mm_clmulepi64_si128(folded, k3k4, 0x00);
        folded = _mm_xor_si128(_mm_xor_si128(_mm_clmulepi64_si128(folded, k3k4, 0x11), low), next[i]);
    }
    while (length >= kFoldBlockBytes) {
        __m128i low = _mm_clmulepi64_si128(folded, k3k4, 0x00);
        folded = _mm_xor_si128(_mm_xor_si128(_mm_clmulepi64_si128(folded, k3k4, 0x11), low),
                               _mm_loadu_si128((const __m128i*)data));
        data += kFoldBlockBytes;
        length -= kFoldBlockBytes;
    }

    // 128 bits to 64.
    __m128i high = _mm_clmulepi64_si128(folded, k3k4, 0x10);
    folded = _mm_xor_si128(_mm_srli_si128(folded, 8), high);
    high = _mm_srli_si128(folded, 4);
    folded = _mm_xor_si128(_mm_clmulepi64_si128(_mm_and_si128(folded, low32), k5, 0x00), high);

    // Barrett reduction to 32 bits.
    __m128i quotient = _mm_clmulepi64_si128(_mm_and_si128(folded, low32), polynomial, 0x10);
    __m128i product = _mm_clmulepi64_si128(_mm_and_si128(quotient, low32), polynomial, 0x00);
    folded = _mm_xor_si128(folded, product);
    return (uint32_t)_mm_cvtsi128_si32(_mm_srli_si128(folded, 4));
}

#endif

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
    UseFastCrc(1);
}

int UseFastCrc(int allowed) {
#ifdef KVSFX_CARRYLESS_MULTIPLY
    foldWithCarrylessMultiply = allowed && HasCarrylessMultiply();
#else
    (void)allowed;
#endif
    return foldWithCarrylessMultiply;
}

void UpdateCrc(const uint8_t* data, uint32_t length) {
    const uint32_t* table = state.crcTable;
    uint32_t crc = state.crc;
#ifdef KVSFX_CARRYLESS_MULTIPLY
    if (foldWithCarrylessMultiply && length >= kFoldStepBytes) {
        uint32_t folded = length & ~(kFoldBlockBytes - 1);
        crc = FoldCrc(data, folded, crc);
        data += folded;
        length -= folded;
    }
#endif
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
