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
// Results (codec.h): kInflateOk, the stream decoded; kInflateBadData, stored
// length and complement differ, literal/length count above 286 or distance
// count above 30, a repeat past the declared lengths, an incomplete code
// (unless its longest length is 1), an invalid code met while decoding, a
// code with no codes at all that a block needs, input that ran out, a
// distance that reaches before the stream's first byte, or (file mode)
// output that would pass the entry's declared size; kInflateBadCode, block
// type 3 or an over-subscribed code. On an error the decoder stops at once:
// window bytes since the last full-window flush are not flushed. The
// block's tables are released on every path that returns.
//
// Decoding runs in a fast loop (DecodeFast, inflate_fast.cpp) while the
// input and the window leave room for a whole round, and symbol by symbol
// (DecodeOneSymbol) near the end of the input's fill and for the last few
// bytes before the window's end. A match that the fast loop decodes but
// that would fill the window is copied here, in pieces with the window's
// flush between them (CopyMatchPieces).
#include "codec/inflate.h"

#include <string.h>

#include "archive/archive.h"
#include "codec/codec.h"
#include "failure/failure.h"
#include "startup/sfx_state.h"

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
    kMaxLiteralCount = 286,    // HLIT + 257 above this is malformed
    kMaxDistanceCount = 30,    // HDIST + 1 above this is malformed
    kCodeLengthSymbols = 19,   // the code-length alphabet
    kFixedDistanceCount = 30,  // the fixed distance code: 30 of its 32 five-bit codes
    kLiteralSimpleCount = 257, // literals 0..255 and end of block
    // A refill loads 8 bytes at once while the reader's current fill holds
    // that many.
    kFastInputBytes = 8,
    // windowWrapped: the stream has filled the window, and its history is
    // still the memory target's last window (StoredAroundWindow).
    kHistoryInTarget = 2,
};

// ---------------------------------------------------------------------------
// Bit input.

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
// damaged, and is never written beyond that size). A full window is then
// copied into the history before it, where the matches of the next window
// find it at window - distance.
bool HandOnWindow(uint32_t count) {
    if (!state.memoryMode) {
        if (count > state.outputLeft) return false;
        state.outputLeft -= count;
    }
    FlushWindow(count);
    if (count == kWindowSize) {
        state.windowWrapped = 1;
        memcpy(state.window - kWindowHistory, state.window, kWindowSize);
    }
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

// A match with no room guaranteed: pieces that end at the window's end,
// with a full-window flush whenever windowPos reaches 32,768. false when a
// full window cannot be handed on.
bool CopyMatchPieces(uint32_t* position, uint32_t distance, uint32_t length) {
    uint32_t pos = *position;
    while (length > 0) {
        uint32_t piece = kWindowSize - pos;
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
// Symbol decoding.

CodeTables TablesOf(const DecodeTable* root, uint32_t bits) {
    CodeTables code = {0, 0, bits};
    if (root) {
        code.slots = TableSlots(root);
        code.subTables = root->subTables;
    }
    return code;
}

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
int DecodeOneSymbol(BitInput* in, uint32_t* position, const CodeTables& literals,
                             const CodeTables& distances) {
    DecodeEntry entry;
    if (!DecodeSymbol(in, literals, &entry)) return kInflateBadData;
    if (EntryOp(entry) == kOpLiteral) {
        if (!PutWindowByte(position, (uint8_t)EntryValue(entry))) return kInflateBadData;
        return kBlockGoesOn;
    }
    if (EntryOp(entry) == kOpEndOfBlock) return kInflateOk;

    uint32_t extra = EntryOp(entry);
    NeedBits(in, extra);
    uint32_t length = EntryValue(entry) + LowBits(in->bits, extra);
    if (!DropBits(in, extra)) return kInflateBadData;

    if (distances.slots == 0) return kInflateBadData;  // a length with no distance code
    if (!DecodeSymbol(in, distances, &entry)) return kInflateBadData;
    extra = EntryOp(entry);
    NeedBits(in, extra);
    uint32_t distance = EntryValue(entry) + LowBits(in->bits, extra);
    if (!DropBits(in, extra)) return kInflateBadData;
    if (!DistanceInStream(distance, *position, state.windowWrapped)) return kInflateBadData;

    if (!CopyMatchPieces(position, distance, length)) return kInflateBadData;
    return kBlockGoesOn;
}

// ---------------------------------------------------------------------------
// Blocks. Each routine loads the bit state and windowPos at its start and
// stores them back only when it succeeds; its tables are released at one
// place, before it returns.

int DecodeCodes(const DecodeTable* literals, const DecodeTable* distances, uint32_t literalBits,
                uint32_t distanceBits) {
    if (literals == 0) return kInflateBadData;  // no literal/length codes: not even the end of block
    if (state.windowWrapped == kHistoryInTarget) {
        memcpy(state.window - kWindowHistory, state.outPtr - kWindowSize, kWindowSize);
        state.windowWrapped = 1;
    }
    CodeTables literalCode = TablesOf(literals, literalBits);
    CodeTables distanceCode = TablesOf(distances, distanceBits);
    BitInput in;
    LoadBits(&in);
    uint32_t pos = state.windowPos;
    int status = kBlockGoesOn;
    while (status == kBlockGoesOn) {
        PendingMatch match;
        status = DecodeFast(&in, &pos, literalCode, distanceCode, &match);
        if (status == kMatchPending)
            status = CopyMatchPieces(&pos, match.distance, match.length) ? kBlockGoesOn : kInflateBadData;
        else if (status == kBlockGoesOn)
            status = DecodeOneSymbol(&in, &pos, literalCode, distanceCode);
    }
    if (status == kInflateOk) {
        state.windowPos = (uint16_t)pos;
        StoreBits(&in);
    }
    return status;
}

// Memory mode: a stored block of at least a window's length that lies whole
// in the reader's fill and fits in the target goes there in one copy, after
// the window's pending bytes, instead of through the window. The target
// then ends with the stream's last full window: the history of an empty
// window, copied only when a compressed block needs it (kHistoryInTarget),
// so that a run of long stored blocks is copied once. false when the block
// goes through the window.
bool StoredAroundWindow(BitInput* in, uint32_t* position, uint32_t length) {
    uint32_t pending = *position;
    if (!state.memoryMode || length < kWindowSize || (uint32_t)in->left < length ||
        state.outLimit - state.outPtr < (ptrdiff_t)(pending + length))  // the target never passes its limit
        return false;
    FlushWindow(pending);
    PutIntoMemory(in->next, length);
    in->next += length;
    in->left -= (int32_t)length;
    state.windowWrapped = kHistoryInTarget;
    *position = 0;
    return true;
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
    if (!DropBits(&in, 16)) return kInflateBadData;
    NeedBits(&in, 16);
    if (LowBits(in.bits, 16) != (~length & 0xFFFF)) return kInflateBadData;
    if (!DropBits(&in, 16)) return kInflateBadData;

    // 3. LEN bytes: those still in the bit buffer, then straight from the
    // reader's fill.
    while (length > 0 && in.count >= 8) {
        uint8_t byte = (uint8_t)in.bits;
        if (!DropBits(&in, 8)) return kInflateBadData;
        if (!PutWindowByte(&pos, byte)) return kInflateBadData;
        length--;
    }
    if (length > 0) {
        in.bits = 0;  // empty: forget the copies of the bytes that follow
        if (StoredAroundWindow(&in, &pos, length)) length = 0;
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
                    if (!HandOnWindow(kWindowSize)) return kInflateBadData;
                }
            } else {
                state.input.next = in.next;
                state.input.left = in.left;
                int delivered = NextInputByte(&state.inputByte);
                in.next = state.input.next;
                in.left = state.input.left;
                if (!delivered) return kInflateBadData;  // the stream was cut short
                if (!PutWindowByte(&pos, (uint8_t)state.inputByte)) return kInflateBadData;
                length--;
            }
        }
        in.fillStart = in.next;  // the bytes copied are not in the bit buffer
    }

    // 4.
    state.windowPos = (uint16_t)pos;
    StoreBits(&in);
    return kInflateOk;
}

int InflateFixedBlock() {
    DecodeTable* literals = 0;
    DecodeTable* distances = 0;
    uint32_t literalBits = fixedLiteralLookupBits;
    uint32_t distanceBits = fixedDistanceLookupBits;

    // 1. The fixed literal/length code.
    uint16_t lengths[kMaxSymbols];
    for (uint32_t symbol = 0; symbol < kMaxSymbols; symbol++)
        lengths[symbol] = symbol < 144 ? 8 : symbol < 256 ? 9 : symbol < 280 ? 7 : 8;
    int result = BuildDecodeTables(lengths, kMaxSymbols, kLiteralSimpleCount, lengthBase, lengthExtra, &literals,
                                   &literalBits);

    // 2. The fixed distance code: 30 of its 32 five-bit codes, incomplete
    // as the format makes it.
    if (result == kInflateOk) {
        for (uint32_t symbol = 0; symbol < kFixedDistanceCount; symbol++) lengths[symbol] = 5;
        result = BuildDecodeTables(lengths, kFixedDistanceCount, 0, distanceBase, distanceExtra, &distances,
                                   &distanceBits);
        if (result == kInflateBadData) result = kInflateOk;
    }

    // 3, 4.
    if (result == kInflateOk) result = DecodeCodes(literals, distances, literalBits, distanceBits);
    FreeDecodeTables(literals);
    FreeDecodeTables(distances);
    return result;
}

// Step 5 of a dynamic block: total literal/length and distance code lengths
// as one run (repeats may cross from one to the other), decoded with the
// code-length code. A slot's op is not examined: the tables are single-level
// (the width is clamped to the longest length), and an invalid slot (the
// other half of a single one-bit code) yields its value.
int ReadLengthRun(BitInput* in, const DecodeTable* codeLengths, uint32_t codeLengthBits, uint16_t* lengths,
                  uint32_t total) {
    const DecodeEntry* slots = TableSlots(codeLengths);
    uint32_t previous = 0;
    for (uint32_t position = 0; position < total;) {
        NeedBits(in, codeLengthBits);
        DecodeEntry entry = slots[LowBits(in->bits, codeLengthBits)];
        uint32_t symbol = EntryValue(entry);
        if (!DropBits(in, EntryBits(entry))) return kInflateBadData;
        if (symbol < 16) {
            lengths[position++] = (uint16_t)symbol;
            previous = symbol;
            continue;
        }
        // 16: 3..6 copies of the previous length; 17: 3..10 zeros; 18: 11..138 zeros.
        uint32_t extraBits = symbol == 16 ? 2 : symbol == 17 ? 3 : 7;
        uint32_t repeat = (symbol == 18 ? 11 : 3);
        NeedBits(in, extraBits);
        repeat += LowBits(in->bits, extraBits);
        if (!DropBits(in, extraBits)) return kInflateBadData;
        uint32_t repeated = symbol == 16 ? previous : 0;
        previous = repeated;
        if (position + repeat > total) return kInflateBadData;
        while (repeat--) lengths[position++] = (uint16_t)repeated;
    }
    return kInflateOk;
}

// Steps 1 to 6 of a dynamic block: the three counts, the code-length code,
// and through it the code lengths of the block's two codes.
int ReadCodeLengths(uint16_t* lengths, uint32_t* literalCount, uint32_t* distanceCount) {
    BitInput in;
    LoadBits(&in);

    // 1. The three counts.
    NeedBits(&in, 5);
    *literalCount = LowBits(in.bits, 5) + 257;
    if (!DropBits(&in, 5)) return kInflateBadData;
    NeedBits(&in, 5);
    *distanceCount = LowBits(in.bits, 5) + 1;
    if (!DropBits(&in, 5)) return kInflateBadData;
    NeedBits(&in, 4);
    uint32_t codeLengthCount = LowBits(in.bits, 4) + 4;
    if (!DropBits(&in, 4)) return kInflateBadData;

    // 2.
    if (*literalCount > kMaxLiteralCount || *distanceCount > kMaxDistanceCount) return kInflateBadData;

    // 3. The code-length code's lengths, in their order.
    uint16_t codeLengthLengths[kCodeLengthSymbols] = {};
    for (uint32_t i = 0; i < codeLengthCount; i++) {
        NeedBits(&in, 3);
        codeLengthLengths[codeLengthOrder[i]] = (uint16_t)LowBits(in.bits, 3);
        if (!DropBits(&in, 3)) return kInflateBadData;
    }

    // 4. Its tables; a code with no codes at all has none.
    DecodeTable* codeLengths = 0;
    uint32_t codeLengthBits = codeLengthLookupBits;
    int result = BuildDecodeTables(codeLengthLengths, kCodeLengthSymbols, kCodeLengthSymbols, 0, 0, &codeLengths,
                                   &codeLengthBits);
    if (result == kInflateOk && codeLengths == 0) result = kInflateBadData;

    // 5.
    if (result == kInflateOk)
        result = ReadLengthRun(&in, codeLengths, codeLengthBits, lengths, *literalCount + *distanceCount);

    // 6.
    FreeDecodeTables(codeLengths);
    if (result == kInflateOk) StoreBits(&in);
    return result;
}

int InflateDynamicBlock() {
    // 1 to 6.
    uint16_t lengths[kMaxLiteralCount + kMaxDistanceCount];
    uint32_t literalCount = 0;
    uint32_t distanceCount = 0;
    int result = ReadCodeLengths(lengths, &literalCount, &distanceCount);
    if (result != kInflateOk) return result;

    // 7. Literal/length tables; 8. distance tables.
    DecodeTable* literals = 0;
    DecodeTable* distances = 0;
    uint32_t literalBits = literalLookupBits;
    uint32_t distanceBits = distanceLookupBits;
    result = BuildDecodeTables(lengths, literalCount, kLiteralSimpleCount, lengthBase, lengthExtra, &literals,
                               &literalBits);
    if (result == kInflateOk)
        result = BuildDecodeTables(lengths + literalCount, distanceCount, 0, distanceBase, distanceExtra, &distances,
                                   &distanceBits);

    // 9. A code with no codes at all fails only when it is needed.
    if (result == kInflateOk) result = DecodeCodes(literals, distances, literalBits, distanceBits);
    FreeDecodeTables(literals);
    FreeDecodeTables(distances);
    return result;
}

// One block: its header, then the routine of its type. *lastBlock is set
// from the block's final-block flag.
int InflateBlock(int* lastBlock) {
    BitInput in;
    LoadBits(&in);
    NeedBits(&in, 1);
    *lastBlock = (int)LowBits(in.bits, 1);
    if (!DropBits(&in, 1)) return kInflateBadData;
    NeedBits(&in, 2);
    uint32_t type = LowBits(in.bits, 2);
    if (!DropBits(&in, 2)) return kInflateBadData;
    StoreBits(&in);
    switch (type) {
    case 0: return InflateStoredBlock();
    case 1: return InflateFixedBlock();
    case 2: return InflateDynamicBlock();
    default: return kInflateBadCode;
    }
}

}  // namespace

uint8_t* AllocateWindow() {
    uint8_t* block = (uint8_t*)sfxPlatform.allocate(kWindowHistory + kWindowAllocation);
    return block != 0 ? block + kWindowHistory : 0;
}

void ReleaseWindow(uint8_t* window) {
    if (window != 0) sfxPlatform.release(window - kWindowHistory);
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
        if (result != kInflateOk) return result;
    } while (!lastBlock);

    // 3. The last part of the window.
    return HandOnWindow(state.windowPos) ? kInflateOk : kInflateBadData;
}
