// The inflater: decodes one raw deflate stream (RFC 1951) from the byte
// reader (state.input, NextInputByte) into the 32 KiB OutputWindow, and
// hands each full window, and the last part of the stream, to FlushWindow.
//
// Bit input. Each routine works on a local 64-bit bit buffer (BitInput). When
// at least 8 bytes are left in the reader's current fill, a refill loads 8
// bytes at once and takes as many whole bytes as fit; with fewer left, bytes
// are taken one at a time and only when a need is not met, through
// NextInputByte once the fill is empty. So the reader refills (and, in a
// spanned set, asks for the next disk) only when the bits are really needed.
// When a routine stores its bit state back into state, the whole bytes it
// read ahead from the current fill are given back to the reader, so that
// state.bitBuffer never holds more than 15 bits.
//
// Input that runs out. Near the end of a stream a table lookup may index
// more bits than the stream still has (the last code is shorter than the
// lookup width). Missing bytes then read as zero, which cannot change a code
// that lies within the real bits (every slot is replicated over the bits
// above its own length); consuming any of those zero bits means the stream
// was cut short, and decoding stops with result 1 instead of running on.
//
// Results: 0 stream decoded; 1 stored length and complement differ,
// literal/length count above 286 or distance count above 30, a repeat past
// the declared lengths, an incomplete code (unless its longest length is 1),
// an invalid code met while decoding, a code with no codes at all that a
// block needs, input that ran out, a distance that reaches before the
// stream's first byte, or (file mode) output that would pass the entry's
// declared size; 2 block type 3 or an over-subscribed code. On 1 and 2 the decoder stops at once: window bytes since the last
// full-window flush are not flushed. The block's tables are released on
// every path that returns.
#include "codec/inflate.h"

#include <string.h>

#include "archive/archive.h"
#include "codec/codec.h"
#include "failure/failure.h"
#include "startup/sfx_state.h"

const uint16_t bitMask[17] = {0,   1,   3,    7,    15,   31,   63,    127,   255,
                              511, 1023, 2047, 4095, 8191, 16383, 32767, 65535};
const uint16_t codeLengthOrder[19] = {16, 17, 18, 0, 8, 7, 9, 6, 10, 5, 11, 4, 12, 3, 13, 2, 14, 1, 15};
// Symbol 285 is 258 with no extra bits; 286 and 287 are invalid (extra 99).
const uint16_t lengthBase[31] = {3,  4,  5,  6,  7,  8,  9,  10,  11,  13,  15,  17,  19,  23, 27, 31,
                                 35, 43, 51, 59, 67, 83, 99, 115, 131, 163, 195, 227, 258, 0,  0};
const uint16_t lengthExtra[31] = {0, 0, 0, 0, 0, 0, 0, 0, 1, 1, 1, 1, 2, 2, 2, 2,
                                  3, 3, 3, 3, 4, 4, 4, 4, 5, 5, 5, 5, 0, 99, 99};
const uint16_t distanceBase[30] = {1,   2,   3,   4,   5,   7,    9,    13,   17,   25,   33,   49,   65,    97,    129,
                                   193, 257, 385, 513, 769, 1025, 1537, 2049, 3073, 4097, 6145, 8193, 12289, 16385, 24577};
const uint16_t distanceExtra[30] = {0, 0, 0, 0, 1, 1, 2, 2, 3, 3, 4, 4, 5, 5, 6, 6, 7, 7, 8, 8, 9, 9, 10, 10, 11, 11, 12, 12, 13, 13};

namespace {

// The stub is built for size, which keeps even small helpers out of line;
// those inside the decoding loop are always inlined.
#define KVSFX_HOT inline __attribute__((always_inline))

enum : uint32_t {
    kMaxCodeLength = 16,       // longest code length a table accepts
    kMaxSymbols = 288,         // largest alphabet: the fixed literal/length code
    kMaxLiteralCount = 286,    // HLIT + 257 above this is malformed
    kMaxDistanceCount = 30,    // HDIST + 1 above this is malformed
    kCodeLengthSymbols = 19,   // the code-length alphabet
    kFixedDistanceCount = 30,  // the fixed distance code: 30 of its 32 five-bit codes
    kLiteralSimpleCount = 257, // literals 0..255 and end of block
    kMaxMatch = 258,
    kLinkBase = 16,            // a link slot's op is 16 + its sub-table's width
    // The fast loop runs while windowPos is below this: a literal pair or the
    // longest match then ends before the window's end.
    kFastWindowLimit = kWindowSize - kMaxMatch,
    // ... and while the reader's current fill holds at least one 8-byte load.
    kFastInputBytes = 8,
};
static_assert((kWindowSize & (kWindowSize - 1)) == 0, "window positions wrap with a mask");

const char kNoMemoryText[] = "not enough memory";

// ---------------------------------------------------------------------------
// Bit input.

struct BitInput {
    uint64_t bits;              // next bit to consume is the lowest; above count: copies of the bytes that follow, or 0
    uint32_t count;             // valid bits in bits, padding included
    uint32_t padding;           // zero bits standing in for input that ran out (whole bytes)
    const uint8_t* next;        // the reader's next byte (state.input.next while the routine runs)
    int32_t left;               // bytes left in the reader's fill (state.input.left)
    const uint8_t* fillStart;   // first byte of the current fill taken in this routine: next - fillStart can go back
};

// The build targets are all little-endian: the first byte is the lowest.
KVSFX_HOT uint64_t Load64(const uint8_t* p) {
    uint64_t value;
    memcpy(&value, p, sizeof value);
    return value;
}

KVSFX_HOT uint32_t LowBits(uint64_t bits, uint32_t n) { return (uint32_t)bits & (((uint32_t)1 << n) - 1); }

void LoadBits(BitInput* in) {
    in->bits = state.bitBuffer;
    in->count = state.bitCount;
    in->padding = 0;
    in->next = state.input.next;
    in->left = state.input.left;
    in->fillStart = in->next;
}

// Stores the bit state back into state. Read-ahead bytes of the current fill
// go back to the reader; padding is dropped (none of it was consumed, or the
// routine would have failed), so the next routine meets the end of the input
// again when it really needs bits.
void StoreBits(BitInput* in) {
    in->count -= in->padding;
    in->padding = 0;
    uint32_t readAhead = (uint32_t)(in->next - in->fillStart);
    uint32_t giveBack = in->count / 8 < readAhead ? in->count / 8 : readAhead;
    in->next -= giveBack;
    in->left += (int32_t)giveBack;
    in->count -= 8 * giveBack;
    state.bitBuffer = LowBits(in->bits, in->count);
    state.bitCount = (uint16_t)in->count;
    state.input.next = in->next;
    state.input.left = in->left;
}

// Several bytes at once from the current fill. Needs 8 readable bytes.
inline void RefillWide(BitInput* in) {
    in->bits |= Load64(in->next) << in->count;
    uint32_t taken = (63 - in->count) >> 3;
    in->next += taken;
    in->left -= (int32_t)taken;
    in->count |= 56;
}

// One more byte: from the current fill, else through the reader (which may
// refill), else a zero byte of padding once the input has run out.
void TakeByte(BitInput* in) {
    if (in->padding == 0) {
        if (in->left > 0) {
            in->bits |= (uint64_t)*in->next++ << in->count;
            in->left--;
            in->count += 8;
            return;
        }
        state.input.next = in->next;
        state.input.left = in->left;
        int delivered = NextInputByte(&state.inputByte);
        in->next = state.input.next;
        in->left = state.input.left;
        if (delivered) {
            // The fill was empty, so the byte came from a new one.
            in->fillStart = in->next - 1;
            in->bits |= (uint64_t)(state.inputByte & 0xFF) << in->count;
            in->count += 8;
            return;
        }
        in->fillStart = in->next;
    }
    in->bits &= ((uint64_t)1 << in->count) - 1;
    in->count += 8;
    in->padding += 8;
}

// Need n bits (n <= 16).
inline void NeedBits(BitInput* in, uint32_t n) {
    if (in->count >= n) return;
    if (in->left >= (int32_t)kFastInputBytes) {
        RefillWide(in);
        return;
    }
    do TakeByte(in);
    while (in->count < n);
}

// Drop n bits; false when that consumed padding: the stream was cut short.
inline bool DropBits(BitInput* in, uint32_t n) {
    in->bits >>= n;
    in->count -= n;
    return in->count >= in->padding;
}

// ---------------------------------------------------------------------------
// Window writes. Copies have the result of a byte-by-byte copy in increasing
// order: an overlapping copy repeats the recent bytes.

// Hands window bytes 0..count-1 to the output stage. An entry's output ends
// at its declared size: false, with nothing handed on, when these bytes
// would pass it (a stream that decodes to more than its header says is
// damaged, and is never written beyond that size).
bool HandOnWindow(uint32_t count) {
    if (!state.memoryMode) {
        if (count > state.outputLeft) return false;
        state.outputLeft -= count;
    }
    if (count == kWindowSize) state.windowWrapped = 1;
    FlushWindow(count);
    return true;
}

// A match may reach back only over bytes of the current stream: the window
// is shared by every stream, and what an earlier entry left there is not
// this entry's data.
KVSFX_HOT bool DistanceInStream(uint32_t distance, uint32_t pos, uint32_t wrapped) {
    return distance <= pos || wrapped != 0;
}

// false when the full window cannot be handed on.
bool PutWindowByte(uint32_t* position, uint8_t byte) {
    state.window[(*position)++] = byte;
    if (*position == kWindowSize) {
        *position = 0;
        return HandOnWindow(kWindowSize);
    }
    return true;
}

KVSFX_HOT void Copy8(uint8_t* to, const uint8_t* from) { memcpy(to, from, 8); }
KVSFX_HOT void Copy4(uint8_t* to, const uint8_t* from) { memcpy(to, from, 4); }

// length >= 8 bytes from distance >= 8 back: whole words, the last one
// ending exactly at the end (it may rewrite bytes already written with the
// same values). Nothing is written past the end: the window beyond holds
// bytes of the previous pass that a later match may still reach.
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

// length bytes to out from distance bytes back, within the window.
KVSFX_HOT void CopyBack(uint8_t* out, uint32_t distance, uint32_t length) {
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

// Copies a match of length bytes from distance (1..32768) back to window
// position pos; a source before index 0 wraps to the previous pass at the
// window's end. Contract: pos + length <= kWindowSize (the caller flushes
// when the window is full).
KVSFX_HOT void CopyMatch(uint8_t* window, uint32_t pos, uint32_t distance, uint32_t length) {
    uint8_t* out = window + pos;
    if (distance > pos) {
        // The source starts in the previous pass, at the window's far end,
        // at or ahead of the destination: a forward copy reads bytes not yet
        // overwritten, as memmove does.
        uint32_t from = pos + kWindowSize - distance;
        uint32_t piece = kWindowSize - from < length ? kWindowSize - from : length;
        memmove(out, window + from, piece);
        out += piece;
        length -= piece;
        if (length == 0) return;
        // The rest comes from the window's start, the same distance back.
    }
    CopyBack(out, distance, length);
}

// A match with no room guaranteed: pieces that end at the window's end or
// where the source wraps, with a full-window flush whenever windowPos
// reaches 32,768. false when a full window cannot be handed on.
bool CopyMatchPieces(uint32_t* position, uint32_t distance, uint32_t length) {
    uint32_t pos = *position;
    while (length > 0) {
        uint32_t from = (pos - distance) & (kWindowSize - 1);
        uint32_t piece = kWindowSize - (from > pos ? from : pos);
        if (piece > length) piece = length;
        CopyMatch(state.window, pos, distance, piece);
        pos += piece;
        length -= piece;
        if (pos == kWindowSize) {
            pos = 0;
            if (!HandOnWindow(kWindowSize)) return false;
        }
    }
    *position = pos;
    return true;
}

// ---------------------------------------------------------------------------
// Decoding tables.

DecodeTable* AllocateTable(uint32_t width, uint32_t subTableCount) {
    uint32_t size = (uint32_t)sizeof(DecodeTable) + ((uint32_t)sizeof(DecodeEntry) << width) +
                    subTableCount * (uint32_t)sizeof(DecodeTable*);
    DecodeTable* table = (DecodeTable*)sfxPlatform.allocate(size);
    if (table == 0) return 0;
    table->next = 0;
    table->width = width;
    table->subTableCount = subTableCount;
    table->subTables = subTableCount ? (DecodeTable**)(TableSlots(table) + ((uint32_t)1 << width)) : 0;
    return table;
}

// The next canonical code of length bits, kept bit-reversed (a code's first
// bit is the lowest index bit). Moving on to a longer length appends zeros,
// which leaves the reversed value as it is.
inline uint32_t NextReversedCode(uint32_t code, uint32_t length) {
    uint32_t increment = (uint32_t)1 << (length - 1);
    while (code & increment) increment >>= 1;
    if (increment == 0) return 0;
    return (code & (increment - 1)) + increment;
}

// ---------------------------------------------------------------------------
// Symbol decoding.

struct CodeTables {
    const DecodeEntry* slots;        // root slots; null when the code has no codes
    DecodeTable* const* subTables;   // the root's sub-tables by link value
    uint32_t bits;                   // root width
};

CodeTables TablesOf(const DecodeTable* root, uint32_t bits) {
    CodeTables code = {0, 0, bits};
    if (root) {
        code.slots = TableSlots(root);
        code.subTables = root->subTables;
    }
    return code;
}

enum DecodeStatus { kKeepGoing, kEndOfBlock, kBadData };

// The slot of the next code in a table of the given width. Input is read
// only as far as the code needs: a code shorter than the width that lies
// wholly in the bits at hand is taken without reading on (a slot is
// replicated over the bits above its own length), so that at the end of a
// stream the reader is not asked for bytes that no code uses.
DecodeEntry LookUp(BitInput* in, const DecodeEntry* slots, uint32_t width) {
    while (in->count < width) {
        DecodeEntry entry = slots[LowBits(in->bits, in->count)];
        if (EntryBits(entry) <= in->count) return entry;  // never a link: its bits are the table's width
        if (in->left >= (int32_t)kFastInputBytes) {
            RefillWide(in);
            break;
        }
        TakeByte(in);
    }
    return slots[LowBits(in->bits, width)];
}

// One code through its tables; false on an invalid code or one that runs
// into the end of the input.
bool DecodeSymbol(BitInput* in, const CodeTables& code, DecodeEntry* found) {
    DecodeEntry entry = LookUp(in, code.slots, code.bits);
    if (EntryOp(entry) > kOpLiteral) {
        if (EntryOp(entry) == kOpInvalid) return false;
        if (!DropBits(in, EntryBits(entry))) return false;
        entry = LookUp(in, TableSlots(code.subTables[EntryValue(entry)]), EntryOp(entry) - kLinkBase);
        if (EntryOp(entry) == kOpInvalid) return false;
    }
    if (!DropBits(in, EntryBits(entry))) return false;
    *found = entry;
    return true;
}

// One literal, match or end of block, with no assumption about the room in
// the window or the input left.
DecodeStatus DecodeOneSymbol(BitInput* in, uint32_t* position, const CodeTables& literals,
                             const CodeTables& distances) {
    DecodeEntry entry;
    if (!DecodeSymbol(in, literals, &entry)) return kBadData;
    if (EntryOp(entry) == kOpLiteral) return PutWindowByte(position, (uint8_t)EntryValue(entry)) ? kKeepGoing : kBadData;
    if (EntryOp(entry) == kOpEndOfBlock) return kEndOfBlock;

    uint32_t extra = EntryOp(entry);
    NeedBits(in, extra);
    uint32_t length = EntryValue(entry) + LowBits(in->bits, extra);
    if (!DropBits(in, extra)) return kBadData;

    if (distances.slots == 0) return kBadData;  // a length with no distance code
    if (!DecodeSymbol(in, distances, &entry)) return kBadData;
    extra = EntryOp(entry);
    NeedBits(in, extra);
    uint32_t distance = EntryValue(entry) + LowBits(in->bits, extra);
    if (!DropBits(in, extra)) return kBadData;
    if (!DistanceInStream(distance, *position, state.windowWrapped)) return kBadData;

    return CopyMatchPieces(position, distance, length) ? kKeepGoing : kBadData;
}

// The fast loop.
// Assumes, for every symbol it decodes: at least 8 bytes in the reader's
// current fill (one refill loads 8 and takes at most 7), and windowPos below
// 32,768 - 258, so that neither a refill of the reader nor a window flush can
// happen inside. One refill leaves at least 56 bits: enough for a length code
// with its extra bits and a distance code with its extra bits (15 + 5 + 15 +
// 13 = 48), or for three literals.
// Leaves: the bit state, the input position and windowPos in *in and
// *position; kKeepGoing when the assumptions no longer hold.
DecodeStatus DecodeFast(BitInput* in, uint32_t* position, const CodeTables& literals, const CodeTables& distances) {
    uint64_t bits = in->bits;
    uint32_t count = in->count;
    const uint8_t* next = in->next;
    const uint8_t* const end = next + (in->left > 0 ? in->left : 0);  // of the reader's fill
    uint32_t pos = *position;
    uint8_t* const window = state.window;
    const DecodeEntry* const literalSlots = literals.slots;
    const uint32_t literalMask = ((uint32_t)1 << literals.bits) - 1;
    const uint32_t distanceMask = ((uint32_t)1 << distances.bits) - 1;
    const uint32_t wrapped = state.windowWrapped;
    DecodeStatus status = kKeepGoing;

    while (end - next >= (ptrdiff_t)kFastInputBytes && pos < kFastWindowLimit) {
        bits |= Load64(next) << count;
        next += (63 - count) >> 3;
        count |= 56;

        // Up to three literals per refill (3 x 15 bits).
        DecodeEntry entry = literalSlots[(uint32_t)bits & literalMask];
        if (EntryOp(entry) == kOpLiteral) {
            bits >>= EntryBits(entry);
            count -= EntryBits(entry);
            window[pos++] = (uint8_t)EntryValue(entry);
            entry = literalSlots[(uint32_t)bits & literalMask];
            if (EntryOp(entry) != kOpLiteral) continue;
            bits >>= EntryBits(entry);
            count -= EntryBits(entry);
            window[pos++] = (uint8_t)EntryValue(entry);
            entry = literalSlots[(uint32_t)bits & literalMask];
            if (EntryOp(entry) != kOpLiteral) continue;
            bits >>= EntryBits(entry);
            count -= EntryBits(entry);
            window[pos++] = (uint8_t)EntryValue(entry);
            continue;
        }
        if (EntryOp(entry) > kOpLiteral) {
            if (EntryOp(entry) == kOpInvalid) {
                status = kBadData;
                break;
            }
            bits >>= EntryBits(entry);
            count -= EntryBits(entry);
            entry = TableSlots(literals.subTables[EntryValue(entry)])[LowBits(bits, EntryOp(entry) - kLinkBase)];
            if (EntryOp(entry) == kOpInvalid) {
                status = kBadData;
                break;
            }
            if (EntryOp(entry) == kOpLiteral) {
                bits >>= EntryBits(entry);
                count -= EntryBits(entry);
                window[pos++] = (uint8_t)EntryValue(entry);
                continue;
            }
        }
        bits >>= EntryBits(entry);
        count -= EntryBits(entry);
        if (EntryOp(entry) == kOpEndOfBlock) {
            status = kEndOfBlock;
            break;
        }
        uint32_t extra = EntryOp(entry);
        uint32_t length = EntryValue(entry) + LowBits(bits, extra);
        bits >>= extra;
        count -= extra;

        if (distances.slots == 0) {  // a length with no distance code
            status = kBadData;
            break;
        }
        entry = distances.slots[(uint32_t)bits & distanceMask];
        if (EntryOp(entry) > kOpLiteral) {
            if (EntryOp(entry) == kOpInvalid) {
                status = kBadData;
                break;
            }
            bits >>= EntryBits(entry);
            count -= EntryBits(entry);
            entry = TableSlots(distances.subTables[EntryValue(entry)])[LowBits(bits, EntryOp(entry) - kLinkBase)];
            if (EntryOp(entry) == kOpInvalid) {
                status = kBadData;
                break;
            }
        }
        bits >>= EntryBits(entry);
        count -= EntryBits(entry);
        extra = EntryOp(entry);
        uint32_t distance = EntryValue(entry) + LowBits(bits, extra);
        bits >>= extra;
        count -= extra;
        if (!DistanceInStream(distance, pos, wrapped)) {
            status = kBadData;
            break;
        }

        CopyMatch(window, pos, distance, length);
        pos += length;
    }

    in->left -= (int32_t)(next - in->next);
    in->bits = bits;
    in->count = count;
    in->next = next;
    *position = pos;
    return status;
}

}  // namespace

// ---------------------------------------------------------------------------

int BuildDecodeTables(const uint16_t* lengths, uint32_t n, uint32_t simpleCount, const uint16_t* bases,
                      const uint16_t* extras, DecodeTable** root, uint32_t* lookupBits) {
    *root = 0;
    if (n > kMaxSymbols) return 2;  // no caller has a larger alphabet

    // 1. Codes of each length.
    uint32_t count[kMaxCodeLength + 1] = {};
    for (uint32_t symbol = 0; symbol < n; symbol++) {
        if (lengths[symbol] > kMaxCodeLength) return 2;  // no caller passes one
        count[lengths[symbol]]++;
    }
    if (count[0] == n) {
        *lookupBits = 0;
        return 0;
    }
    uint32_t shortest = 1;
    while (count[shortest] == 0) shortest++;
    uint32_t longest = kMaxCodeLength;
    while (count[longest] == 0) longest--;

    // 2. The root width, clamped to the code's lengths.
    uint32_t width = *lookupBits;
    if (width < shortest) width = shortest;
    if (width > longest) width = longest;
    *lookupBits = width;

    // 3. Kraft sum: over-subscribed codes make no table; the patterns left
    // over complete the code as invalid codes of the longest length.
    int32_t freePatterns = (int32_t)1 << shortest;
    for (uint32_t length = shortest; length <= longest; length++) {
        freePatterns -= (int32_t)count[length];
        if (freePatterns < 0) return 2;
        if (length < longest) freePatterns *= 2;
    }
    uint32_t extraCodes = (uint32_t)freePatterns;

    // 4. Symbols sorted by length, then by symbol.
    uint16_t sorted[kMaxSymbols];
    uint32_t offset[kMaxCodeLength + 2];
    offset[1] = 0;
    for (uint32_t length = 1; length <= kMaxCodeLength; length++) offset[length + 1] = offset[length] + count[length];
    uint32_t listed = offset[kMaxCodeLength + 1];
    for (uint32_t symbol = 0; symbol < n; symbol++)
        if (lengths[symbol] != 0) sorted[offset[lengths[symbol]]++] = (uint16_t)symbol;

    // The root, with room for the links to its sub-tables: every root slot
    // that no code of at most width bits covers starts a longer code.
    uint32_t rootSize = (uint32_t)1 << width;
    uint32_t subTableCount = 0;
    if (longest > width) {
        uint32_t covered = 0;
        for (uint32_t length = shortest; length <= width; length++) covered += count[length] << (width - length);
        subTableCount = rootSize - covered;
    }
    DecodeTable* table = AllocateTable(width, subTableCount);
    if (table == 0) FatalError(kNoMemoryText);
    DecodeEntry* rootSlots = TableSlots(table);

    // 5, 6. Canonical codes in that order, the extra codes last.
    uint32_t remaining[kMaxCodeLength + 1];
    memcpy(remaining, count, sizeof remaining);
    remaining[longest] += extraCodes;
    DecodeTable* chainEnd = table;
    DecodeEntry* subSlots = 0;
    uint32_t subWidth = 0;
    uint32_t subIndex = 0;
    uint32_t currentPrefix = rootSize;  // none yet
    uint32_t code = 0;
    uint32_t value = 0;
    for (uint32_t k = 0; k < listed + extraCodes; k++) {
        uint32_t length;
        uint32_t op;
        if (k < listed) {
            uint32_t symbol = sorted[k];
            length = lengths[symbol];
            if (symbol < simpleCount) {
                op = symbol < 256 ? kOpLiteral : kOpEndOfBlock;
                value = symbol;
            } else {
                op = extras[symbol - simpleCount];
                value = bases[symbol - simpleCount];
            }
        } else {
            length = longest;
            op = kOpInvalid;  // keeps the value of the previous slot
        }

        if (length <= width) {
            DecodeEntry entry = MakeEntry(op, length, value);
            for (uint32_t index = code; index < rootSize; index += (uint32_t)1 << length) rootSlots[index] = entry;
        } else {
            uint32_t prefix = code & (rootSize - 1);
            if (prefix != currentPrefix) {
                // A sub-table wide enough for every code under this prefix.
                subWidth = length - width;
                int32_t open = (int32_t)1 << subWidth;
                while (subWidth + width < longest) {
                    open -= (int32_t)remaining[subWidth + width];
                    if (open <= 0) break;
                    subWidth++;
                    open *= 2;
                }
                DecodeTable* sub = AllocateTable(subWidth, 0);
                if (sub == 0) {
                    FreeDecodeTables(table);
                    FatalError(kNoMemoryText);
                }
                chainEnd->next = sub;
                chainEnd = sub;
                table->subTables[subIndex] = sub;
                rootSlots[prefix] = MakeEntry(kLinkBase + subWidth, width, subIndex);
                subIndex++;
                currentPrefix = prefix;
                subSlots = TableSlots(sub);
            }
            DecodeEntry entry = MakeEntry(op, length - width, value);
            for (uint32_t index = code >> width; index < ((uint32_t)1 << subWidth);
                 index += (uint32_t)1 << (length - width))
                subSlots[index] = entry;
        }
        remaining[length]--;
        code = NextReversedCode(code, length);
    }

    *root = table;
    // 8. Incomplete codes are an error, except those whose longest length is 1.
    return extraCodes != 0 && longest != 1 ? 1 : 0;
}

void FreeDecodeTables(DecodeTable* root) {
    while (root) {
        DecodeTable* next = root->next;
        sfxPlatform.release(root);
        root = next;
    }
}

int DecodeCodes(const DecodeTable* literals, const DecodeTable* distances, uint32_t literalBits,
                uint32_t distanceBits) {
    if (literals == 0) return 1;  // no literal/length codes: not even the end of block
    CodeTables literalCode = TablesOf(literals, literalBits);
    CodeTables distanceCode = TablesOf(distances, distanceBits);
    BitInput in;
    LoadBits(&in);
    uint32_t pos = state.windowPos;
    for (;;) {
        DecodeStatus status = DecodeFast(&in, &pos, literalCode, distanceCode);
        if (status == kKeepGoing) status = DecodeOneSymbol(&in, &pos, literalCode, distanceCode);
        if (status == kBadData) return 1;
        if (status == kEndOfBlock) {
            state.windowPos = (uint16_t)pos;
            StoreBits(&in);
            return 0;
        }
    }
}

int InflateStoredBlock() {
    BitInput in;
    LoadBits(&in);
    uint32_t pos = state.windowPos;

    // 1. To a byte boundary.
    DropBits(&in, in.count % 8);

    // 2. LEN and its ones' complement.
    NeedBits(&in, 16);
    uint32_t length = LowBits(in.bits, 16);
    if (!DropBits(&in, 16)) return 1;
    NeedBits(&in, 16);
    if (LowBits(in.bits, 16) != (~length & 0xFFFF)) return 1;
    if (!DropBits(&in, 16)) return 1;

    // 3. LEN bytes: those still in the bit buffer, then straight from the
    // reader's fill.
    while (length > 0 && in.count >= 8) {
        uint8_t byte = (uint8_t)in.bits;
        if (!DropBits(&in, 8)) return 1;
        if (!PutWindowByte(&pos, byte)) return 1;
        length--;
    }
    if (length > 0) {
        in.bits = 0;  // empty: forget the copies of the bytes that follow
        while (length > 0) {
            if (in.left > 0) {
                uint32_t piece = length;
                if (piece > (uint32_t)in.left) piece = (uint32_t)in.left;
                if (piece > kWindowSize - pos) piece = kWindowSize - pos;
                memcpy(state.window + pos, in.next, piece);
                in.next += piece;
                in.left -= (int32_t)piece;
                length -= piece;
                pos += piece;
                if (pos == kWindowSize) {
                    pos = 0;
                    if (!HandOnWindow(kWindowSize)) return 1;
                }
            } else {
                state.input.next = in.next;
                state.input.left = in.left;
                int delivered = NextInputByte(&state.inputByte);
                in.next = state.input.next;
                in.left = state.input.left;
                if (!delivered) return 1;  // the stream was cut short
                if (!PutWindowByte(&pos, (uint8_t)state.inputByte)) return 1;
                length--;
            }
        }
        in.fillStart = in.next;  // the bytes copied are not in the bit buffer
    }

    // 4.
    state.windowPos = (uint16_t)pos;
    StoreBits(&in);
    return 0;
}

int InflateFixedBlock() {
    // 1. The fixed literal/length code.
    uint16_t lengths[kMaxSymbols];
    for (uint32_t symbol = 0; symbol < kMaxSymbols; symbol++)
        lengths[symbol] = symbol < 144 ? 8 : symbol < 256 ? 9 : symbol < 280 ? 7 : 8;
    DecodeTable* literals = 0;
    uint32_t literalBits = fixedLiteralLookupBits;
    int result = BuildDecodeTables(lengths, kMaxSymbols, kLiteralSimpleCount, lengthBase, lengthExtra, &literals,
                                   &literalBits);
    if (result != 0) {
        FreeDecodeTables(literals);
        return result;
    }

    // 2. The fixed distance code: incomplete (result 1), accepted.
    for (uint32_t symbol = 0; symbol < kFixedDistanceCount; symbol++) lengths[symbol] = 5;
    DecodeTable* distances = 0;
    uint32_t distanceBits = fixedDistanceLookupBits;
    result = BuildDecodeTables(lengths, kFixedDistanceCount, 0, distanceBase, distanceExtra, &distances,
                               &distanceBits);
    if (result > 1) {
        FreeDecodeTables(literals);
        return result;
    }

    // 3, 4.
    result = DecodeCodes(literals, distances, literalBits, distanceBits);
    FreeDecodeTables(literals);
    FreeDecodeTables(distances);
    return result;
}

int InflateDynamicBlock() {
    BitInput in;
    LoadBits(&in);

    // 1. The three counts.
    NeedBits(&in, 5);
    uint32_t literalCount = LowBits(in.bits, 5) + 257;
    if (!DropBits(&in, 5)) return 1;
    NeedBits(&in, 5);
    uint32_t distanceCount = LowBits(in.bits, 5) + 1;
    if (!DropBits(&in, 5)) return 1;
    NeedBits(&in, 4);
    uint32_t codeLengthCount = LowBits(in.bits, 4) + 4;
    if (!DropBits(&in, 4)) return 1;

    // 2.
    if (literalCount > kMaxLiteralCount || distanceCount > kMaxDistanceCount) return 1;

    // 3. The code-length code's lengths, in their order.
    uint16_t codeLengthLengths[kCodeLengthSymbols] = {};
    for (uint32_t i = 0; i < codeLengthCount; i++) {
        NeedBits(&in, 3);
        codeLengthLengths[codeLengthOrder[i]] = (uint16_t)LowBits(in.bits, 3);
        if (!DropBits(&in, 3)) return 1;
    }

    // 4. Its tables: single-level, since the width is clamped to the
    // longest length.
    DecodeTable* codeLengths = 0;
    uint32_t codeLengthBits = codeLengthLookupBits;
    int result = BuildDecodeTables(codeLengthLengths, kCodeLengthSymbols, kCodeLengthSymbols, 0, 0, &codeLengths,
                                   &codeLengthBits);
    if (result == 2) return 2;
    if (result == 1 || codeLengths == 0) {  // incomplete, or no codes at all
        FreeDecodeTables(codeLengths);
        return 1;
    }

    // 5. The literal/length and distance lengths, as one run: repeats may
    // cross from one to the other. A slot's op is not examined: an invalid
    // slot (the other half of a single one-bit code) yields its value.
    uint16_t lengths[kMaxLiteralCount + kMaxDistanceCount];
    uint32_t total = literalCount + distanceCount;
    uint32_t previous = 0;
    const DecodeEntry* slots = TableSlots(codeLengths);
    for (uint32_t position = 0; position < total;) {
        NeedBits(&in, codeLengthBits);
        DecodeEntry entry = slots[LowBits(in.bits, codeLengthBits)];
        uint32_t symbol = EntryValue(entry);
        bool ok = DropBits(&in, EntryBits(entry));
        uint32_t repeat = 0;
        uint32_t repeated = 0;
        if (ok && symbol < 16) {
            lengths[position++] = (uint16_t)symbol;
            previous = symbol;
            continue;
        }
        if (ok && symbol == 16) {
            NeedBits(&in, 2);
            repeat = 3 + LowBits(in.bits, 2);
            ok = DropBits(&in, 2);
            repeated = previous;
        } else if (ok && symbol == 17) {
            NeedBits(&in, 3);
            repeat = 3 + LowBits(in.bits, 3);
            ok = DropBits(&in, 3);
            previous = 0;
        } else if (ok) {
            NeedBits(&in, 7);
            repeat = 11 + LowBits(in.bits, 7);
            ok = DropBits(&in, 7);
            previous = 0;
        }
        if (!ok || position + repeat > total) {
            FreeDecodeTables(codeLengths);
            return 1;
        }
        while (repeat--) lengths[position++] = (uint16_t)repeated;
    }

    // 6.
    FreeDecodeTables(codeLengths);
    StoreBits(&in);

    // 7. Literal/length tables.
    DecodeTable* literals = 0;
    uint32_t literalBits = literalLookupBits;
    result = BuildDecodeTables(lengths, literalCount, kLiteralSimpleCount, lengthBase, lengthExtra, &literals,
                               &literalBits);
    if (result == 2) return 2;
    if (result == 1) {
        FreeDecodeTables(literals);
        return 1;
    }

    // 8. Distance tables.
    DecodeTable* distances = 0;
    uint32_t distanceBits = distanceLookupBits;
    result = BuildDecodeTables(lengths + literalCount, distanceCount, 0, distanceBase, distanceExtra, &distances,
                               &distanceBits);
    if (result != 0) {
        FreeDecodeTables(distances);
        FreeDecodeTables(literals);
        return result;
    }

    // 9. A code with no codes at all fails only when it is needed.
    result = DecodeCodes(literals, distances, literalBits, distanceBits);
    FreeDecodeTables(literals);
    FreeDecodeTables(distances);
    return result;
}

int InflateBlock(int* lastBlock) {
    BitInput in;
    LoadBits(&in);
    NeedBits(&in, 1);
    *lastBlock = (int)LowBits(in.bits, 1);
    if (!DropBits(&in, 1)) return 1;
    NeedBits(&in, 2);
    uint32_t type = LowBits(in.bits, 2);
    if (!DropBits(&in, 2)) return 1;
    StoreBits(&in);
    switch (type) {
    case 0: return InflateStoredBlock();
    case 1: return InflateFixedBlock();
    case 2: return InflateDynamicBlock();
    default: return 2;
    }
}

int InflateStream() {
    // 1. A fresh bit buffer at window index 0; the window's old bytes stay.
    state.windowPos = 0;
    state.windowWrapped = 0;
    state.bitCount = 0;
    state.bitBuffer = 0;

    // 2. Block after block; a malformed one ends the stream unflushed.
    int lastBlock = 0;
    do {
        int result = InflateBlock(&lastBlock);
        if (result != 0) return result;
    } while (!lastBlock);

    // 3. The last part of the window.
    return HandOnWindow(state.windowPos) ? 0 : 1;
}
