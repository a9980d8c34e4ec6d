// The inflater's fast loop and its match copies: the code every decoded byte
// of a compressed block passes through, built for speed where the rest of
// the stub is built for size (see inflate.cpp for the decoder as a whole).
//
// The loop works on a bit buffer of the machine's word: 64 bits where the
// processor has them, 32 on the 32-bit build, where 64-bit shifts are pairs
// of instructions and branches. A refill loads one word from the input and
// takes the whole bytes that fit, with no branch. Slots (inflate.h) carry
// the bits to consume in their low byte, a code and its extra bits
// together, so that one shift consumes both; literals are told by the sign
// bit.
#include <string.h>

#include "codec/codec.h"
#include "codec/inflate.h"
#include "startup/sfx_state.h"

// On x86-64 the loop is built twice, the second time for processors with
// BMI2, whose shifts by a register's count take one instruction and leave
// the flags alone; the first stream asks the processor which
// (UseShiftInstructions).
// The 32-bit stub has one loop: it stays small and runs on a 486.
#if defined(__x86_64__) && !defined(KVSFX_NARROW_BIT_BUFFER)
#include <cpuid.h>
#define KVSFX_SHIFT_DISPATCH 1
#endif

namespace {

#define KVSFX_HOT inline __attribute__((always_inline))
#define KVSFX_UNLIKELY(condition) __builtin_expect((condition) != 0, 0)

// KVSFX_NARROW_BIT_BUFFER gives a 64-bit machine the 32-bit build's loop,
// so that its tests run where the 32-bit build cannot.
#if UINTPTR_MAX > 0xFFFFFFFFu && !defined(KVSFX_NARROW_BIT_BUFFER)
typedef uint64_t BitWord;
#else
typedef uint32_t BitWord;
#endif

enum : uint32_t {
    kWordBits = 8 * sizeof(BitWord),
    // A refill leaves at least this many bits (it takes whole bytes only).
    kRefilledBits = kWordBits - 8,
    // Literals decoded per refill: each takes at most 15 bits, and the slot
    // of the next code is looked up from at least 11 valid bits after them
    // (the bits above the count are the input's next bytes up to the
    // word's top after a refill).
    kLiteralsPerRefill = kWordBits == 64 ? 3 : 1,
    kCopyPiece = 16,
    // The bytes a match copy of the fast loop writes at least: it may run
    // this many bytes less one past the match's end.
    kFastCopyBytes = 32,
    // The loop runs while windowPos is below this: the literals of a round
    // end before the window's end, where it must be flushed.
    kFastWindowLimit = kWindowSize - kLiteralsPerRefill,
    // A match is copied in the loop when it ends at or before this: the
    // bytes a copy may write past its end then lie within the window's
    // allocation, and the window is not full after it. The careful path
    // copies the others.
    kFastMatchEnd = kWindowAllocation - kFastCopyBytes,
    // The loop runs while the reader's fill holds this many bytes: a round
    // refills at most three times, each loading one word and taking at most
    // its size less one byte.
    kFastInputBytes = 16,
    // A distance code and its extra bits: 15 + 13.
    kMaxDistanceBits = 28,
};
static_assert((uint32_t)kFastMatchEnd < (uint32_t)kFastWindowLimit,
              "after a match of the fast loop the window has room for another round");
static_assert(3 * 15 + 11 <= kWordBits || kLiteralsPerRefill == 1, "three literals and a lookup per refill");
static_assert(kRefilledBits >= 2 * 15 + 15 + 5 || kWordBits == 32, "two literals and a length code per refill");
static_assert(kRefilledBits >= 15 + 5 + kMaxDistanceBits || kWordBits == 32, "a whole match per refill on 64 bits");
static_assert(kRefilledBits >= 15 + 5, "a length code and its extra bits per refill");

KVSFX_HOT BitWord LoadWord(const uint8_t* p) {
    BitWord value;
    memcpy(&value, p, sizeof value);  // the build targets are little-endian
    return value;
}

KVSFX_HOT uint32_t LowBits(uint32_t bits, uint32_t n) { return bits & (((uint32_t)1 << n) - 1); }

// Refills the bit buffer from one word at next, branch-free: takes the whole
// bytes that fit and leaves kRefilledBits to kWordBits - 1 valid bits. The
// bits above the count are copies of the bytes that follow, so OR-ing them
// again changes nothing. Only the low byte of count is meaningful (the loop
// subtracts whole slots from it, see DecodeFast).
KVSFX_HOT void Refill(BitWord& bits, uint32_t& count, const uint8_t*& next) {
    uint32_t held = count & 0xFF;
    bits |= LoadWord(next) << held;
    next += kWordBits / 8 - 1 - (held >> 3);  // (kWordBits - 1 - held) / 8
    count |= kRefilledBits;
}

// Consumes the bits of a slot: its low byte (count keeps only its low
// byte meaningful, so the whole slot is subtracted).
KVSFX_HOT void Consume(BitWord& bits, uint32_t& count, DecodeEntry entry) {
    bits >>= (uint8_t)entry;
    count -= entry;
}

// The value and extra bits of a length or distance slot, from the bits as
// they were before the slot was consumed (saved) and after (bits): the bits
// consumed are saved less bits moved back into place, which takes the shift
// by the slot's low byte already made rather than a mask of its own.
KVSFX_HOT uint32_t BaseAndExtra(DecodeEntry entry, BitWord saved, BitWord bits) {
    uint32_t consumed = (uint32_t)saved - ((uint32_t)bits << (uint8_t)entry);
    return (entry >> 16) + (consumed >> SlotCodeLength(entry));
}

// The slot a link slot leads to, once the root's bits are consumed.
KVSFX_HOT DecodeEntry SubTableSlot(const CodeTables& code, DecodeEntry link, BitWord bits) {
    return TableSlots(code.subTables[link >> 16])[LowBits((uint32_t)bits, SlotCodeLength(link))];
}

KVSFX_HOT void Copy8(uint8_t* to, const uint8_t* from) { memcpy(to, from, 8); }
// Read whole before it is written: the source may lie less than 16 bytes
// back only where the caller says so.
KVSFX_HOT void Copy16(uint8_t* to, const uint8_t* from) {
    uint8_t piece[16];
    memcpy(piece, from, 16);
    memcpy(to, piece, 16);
}
KVSFX_HOT void Copy4(uint8_t* to, const uint8_t* from) { memcpy(to, from, 4); }

// length >= 8 bytes from distance >= 8 back: whole words, the last one
// ending exactly at the end (it may rewrite bytes already written with the
// same values). Nothing is written past the end.
KVSFX_HOT void CopyWords(uint8_t* out, uint32_t distance, uint32_t length) {
    uint8_t* last = out + length - 8;
    while (out < last) {
        Copy8(out, out - distance);
        out += 8;
    }
    Copy8(last, last - distance);
}

// 1..7 bytes that do not overlap their source, with no loop: two 4-byte
// copies that meet or overlap, or single bytes at both ends and the middle.
KVSFX_HOT void CopyShort(uint8_t* out, const uint8_t* from, uint32_t length) {
    if (length >= 4) {
        Copy4(out, from);
        Copy4(out + length - 4, from + length - 4);
    } else {
        out[0] = from[0];
        out[length / 2] = from[length / 2];
        out[length - 1] = from[length - 1];
    }
}

// length bytes to out from distance bytes back, exactly: nothing is written
// past the end. The source may start in the history before the window.
void CopyBack(uint8_t* out, uint32_t distance, uint32_t length) {
    const uint8_t* from = out - distance;
    if (distance >= 8) {
        if (length >= 8) CopyWords(out, distance, length);
        else CopyShort(out, from, length);
    } else if (distance == 1) {
        // A run of one byte: whole words of it.
        uint8_t pattern[8];
        memset(pattern, from[0], sizeof pattern);
        if (length >= 8) {
            uint8_t* last = out + length - 8;
            for (; out < last; out += 8) Copy8(out, pattern);
            Copy8(last, pattern);
        } else {
            CopyShort(out, pattern, length);
        }
    } else if (length >= 16) {
        // A short period: the first bytes one by one, then whole words taken
        // from a multiple of the period that lies at least 8 bytes back.
        uint32_t stride = distance * ((8 + distance - 1) / distance);
        uint32_t head = stride - distance;
        for (uint32_t i = 0; i < head; i++) out[i] = from[i];
        CopyWords(out + head, stride, length - head);
    } else {
        for (uint32_t i = 0; i < length; i++) out[i] = from[i];
    }
}

// A match of the fast loop, from `from` (distance back) up to end, in whole
// pieces, kFastCopyBytes at least: the copy may run up to kFastCopyBytes - 1
// bytes past the match's end. The window's bytes past the output are
// nobody's (the previous window lives on in the history), and the loop
// keeps a match's end far enough from the allocation's end. A piece is read
// only from bytes already written: its source lies at least a piece back.
KVSFX_HOT void CopyFast(uint8_t* out, const uint8_t* from, uint32_t distance, uint8_t* const end) {
    // Most matches are short: their first kFastCopyBytes go without a test.
    if (distance >= kCopyPiece) {
        Copy16(out, from);
        Copy16(out + kCopyPiece, from + kCopyPiece);
        out += 2 * kCopyPiece;
        from += 2 * kCopyPiece;
        while (out < end) {
            Copy16(out, from);
            out += kCopyPiece;
            from += kCopyPiece;
        }
    } else if (distance >= 8) {
        Copy8(out, from);
        Copy8(out + 8, from + 8);
        Copy8(out + 16, from + 16);
        Copy8(out + 24, from + 24);
        out += 32;
        from += 32;
        while (out < end) {
            Copy8(out, from);
            out += 8;
            from += 8;
        }
    } else if (distance == 1) {
        uint8_t pattern[8];
        memset(pattern, from[0], sizeof pattern);
        Copy8(out, pattern);
        Copy8(out + 8, pattern);
        Copy8(out + 16, pattern);
        Copy8(out + 24, pattern);
        out += 32;
        while (out < end) {
            Copy8(out, pattern);
            out += 8;
        }
    } else {
        CopyBack(out, distance, (uint32_t)(end - out));
    }
}

// A block with no distance codes: its one slot is invalid.
const DecodeEntry kNoDistanceCode = kSlotInvalid;

}  // namespace

void CopyMatch(uint8_t* window, uint32_t pos, uint32_t distance, uint32_t length) {
    CopyBack(window + pos, distance, length);
}

namespace {

// The fast loop.
// Assumes, at the top of every round: at least kFastInputBytes bytes in the
// reader's current fill, and windowPos below kFastWindowLimit, so that
// neither a refill of the reader nor a window flush can happen inside; and
// a freshly refilled bit buffer with the slot of the next literal/length
// code looked up. A match that would end past kFastMatchEnd ends the loop
// undone (kMatchPending), so that every copy stays within the window's
// allocation.
// On 64 bits a refill holds three literals, or up to two literals and a
// length code with its extra bits: the distance that follows refills first
// unless the bits left hold its longest code (a match at the round's start:
// 15 + 5 + 15 + 13 = 48 bits). The 32-bit buffer refills after each
// literal, before each distance, and once more between a long distance
// code and its extra bits.
// Every round ends with a refill and the next slot looked up, before the
// bytes of the current match are copied, so that the lookup overlaps the
// copy.
// Leaves: the bit state, the input position and windowPos in *in and
// *position; kInflateOk after an end of block, kInflateBadData on an invalid
// code or a distance before the stream's first byte, kBlockGoesOn when the
// assumptions no longer hold.
KVSFX_HOT int DecodeFastLoop(BitInput* in, uint32_t* position, const CodeTables& literals,
                             const CodeTables& distances, PendingMatch* pending) {
    const uint8_t* next = in->next;
    const uint8_t* const end = next + (in->left > 0 ? in->left : 0);  // of the reader's fill
    uint32_t count = in->count;
    if (end - next < (ptrdiff_t)kFastInputBytes || *position >= kFastWindowLimit || in->padding != 0)
        return kBlockGoesOn;
    if (count >= kWordBits) {
        // The careful path holds more bits than the word: give the whole
        // bytes it read ahead back to the fill.
        uint32_t back = (count - kRefilledBits + 7) / 8;
        if (back > (uint32_t)(next - in->fillStart)) return kBlockGoesOn;
        next -= back;
        count -= 8 * back;
    }
    BitWord bits = (BitWord)in->bits;
    const uint8_t* const inputLimit = end - kFastInputBytes;  // the last round starts at or before it
    uint8_t* const window = state.window;
    uint8_t* out = window + *position;
    uint8_t* const outLimit = window + kFastWindowLimit;
    uint8_t* const matchEnd = window + kFastMatchEnd;
    // A match may reach back to here: the stream's first byte, or the
    // history's once the stream has filled the window.
    const uint8_t* const streamStart = state.windowWrapped ? window - kWindowHistory : window;
    const DecodeEntry* const literalSlots = literals.slots;
    const uint32_t literalMask = ((uint32_t)1 << literals.bits) - 1;
    const DecodeEntry* const distanceSlots = distances.slots ? distances.slots : &kNoDistanceCode;
    const uint32_t distanceMask = distances.slots ? ((uint32_t)1 << distances.bits) - 1 : 0;
    int status = kBlockGoesOn;

    Refill(bits, count, next);
    DecodeEntry entry = literalSlots[(uint32_t)bits & literalMask];
    for (;;) {
        // Every slot's bits are consumed before it is told apart: a length
        // or distance takes its extra bits from the bits saved before.
        BitWord saved = bits;
        Consume(bits, count, entry);
        if (entry & kSlotLiteral) {
            uint8_t literal = (uint8_t)(entry >> 16);
            entry = literalSlots[(uint32_t)bits & literalMask];
            *out++ = literal;
            if (kLiteralsPerRefill == 1) {
                Refill(bits, count, next);
                if (KVSFX_UNLIKELY(out >= outLimit || next > inputLimit)) break;
                continue;
            }
            // Up to two more literals from the same refill; a code of
            // another kind after them goes on below with its bits consumed.
            saved = bits;
            Consume(bits, count, entry);
            if (entry & kSlotLiteral) {
                literal = (uint8_t)(entry >> 16);
                entry = literalSlots[(uint32_t)bits & literalMask];
                *out++ = literal;
                saved = bits;
                Consume(bits, count, entry);
                if (entry & kSlotLiteral) {
                    literal = (uint8_t)(entry >> 16);
                    entry = literalSlots[(uint32_t)bits & literalMask];
                    Refill(bits, count, next);
                    *out++ = literal;
                    if (KVSFX_UNLIKELY(out >= outLimit || next > inputLimit)) break;
                    continue;
                }
            }
        }

        if (KVSFX_UNLIKELY(entry & kSlotExceptional)) {
            if (entry & kSlotLink) {
                // A code longer than the root's width: the root's bits are
                // consumed, the sub-table's slot is consumed here.
                entry = SubTableSlot(literals, entry, bits);
                saved = bits;
                Consume(bits, count, entry);
                if (entry & kSlotLiteral) {
                    *out++ = (uint8_t)(entry >> 16);
                    Refill(bits, count, next);
                    entry = literalSlots[(uint32_t)bits & literalMask];
                    if (KVSFX_UNLIKELY(out >= outLimit || next > inputLimit)) break;
                    continue;
                }
            }
            if (entry & kSlotEndOfBlock) {
                status = kInflateOk;
                break;
            }
            if (entry & kSlotInvalid) {
                status = kInflateBadData;
                break;
            }
        }

        // A match: its length, then its distance, which needs up to
        // kMaxDistanceBits (the 32-bit buffer refills before it anyway).
        uint32_t length = BaseAndExtra(entry, saved, bits);
        if (kWordBits == 32 || (count & 0xFF) < kMaxDistanceBits) Refill(bits, count, next);
        entry = distanceSlots[(uint32_t)bits & distanceMask];
        if (KVSFX_UNLIKELY(entry & kSlotExceptional)) {
            if (entry & kSlotInvalid) {
                status = kInflateBadData;
                break;
            }
            Consume(bits, count, entry);
            entry = SubTableSlot(distances, entry, bits);
            if (entry & kSlotInvalid) {
                status = kInflateBadData;
                break;
            }
        }
        uint32_t distance;
        if (kWordBits == 32 && SlotConsumed(entry) > (count & 0xFF)) {
            // The code, a refill, then its extra bits.
            uint32_t codeLength = SlotCodeLength(entry);
            uint32_t extra = SlotConsumed(entry) - codeLength;
            bits >>= codeLength;
            count -= codeLength;
            Refill(bits, count, next);
            distance = (entry >> 16) + LowBits((uint32_t)bits, extra);
            bits >>= extra;
            count -= extra;
        } else {
            saved = bits;
            Consume(bits, count, entry);
            distance = BaseAndExtra(entry, saved, bits);
        }

        // The source, as an address: the history lies below the window,
        // and a distance reaches at most a window back.
        const uintptr_t from = (uintptr_t)out - distance;
        if (KVSFX_UNLIKELY(from < (uintptr_t)streamStart)) {  // before the stream's first byte
            status = kInflateBadData;
            break;
        }
        uint8_t* const copyEnd = out + length;
        if (KVSFX_UNLIKELY(copyEnd > matchEnd)) {
            pending->length = length;
            pending->distance = distance;
            status = kMatchPending;
            break;
        }
        Refill(bits, count, next);
        entry = literalSlots[(uint32_t)bits & literalMask];
        CopyFast(out, (const uint8_t*)from, distance, copyEnd);
        out = copyEnd;
        // The match ended at or before kFastMatchEnd: room for the literals
        // of another round.
        if (KVSFX_UNLIKELY(next > inputLimit)) break;
    }

    count &= 0xFF;
    in->left -= (int32_t)(next - in->next);
    in->bits = bits;
    in->count = count;
    in->next = next;
    *position = (uint32_t)(out - window);
    return status;
}

#ifdef KVSFX_SHIFT_DISPATCH
__attribute__((target("bmi2"))) int DecodeFastBmi2(BitInput* in, uint32_t* position, const CodeTables& literals,
                                                   const CodeTables& distances, PendingMatch* pending) {
    return DecodeFastLoop(in, position, literals, distances, pending);
}

bool HasBmi2() {
    unsigned int eax, ebx, ecx, edx;
    if (__get_cpuid_max(0, 0) < 7) return false;
    __cpuid_count(7, 0, eax, ebx, ecx, edx);
    return (ebx & bit_BMI2) != 0;
}

// -1 until the first stream asks the processor.
int shiftInstructions = -1;
#endif

}  // namespace

int UseShiftInstructions(int allowed) {
#ifdef KVSFX_SHIFT_DISPATCH
    shiftInstructions = allowed && HasBmi2();
    return shiftInstructions;
#else
    (void)allowed;
    return 0;
#endif
}

int DecodeFast(BitInput* in, uint32_t* position, const CodeTables& literals, const CodeTables& distances,
               PendingMatch* pending) {
#ifdef KVSFX_SHIFT_DISPATCH
    if (shiftInstructions < 0) UseShiftInstructions(1);
    if (shiftInstructions) return DecodeFastBmi2(in, position, literals, distances, pending);
#endif
    return DecodeFastLoop(in, position, literals, distances, pending);
}
