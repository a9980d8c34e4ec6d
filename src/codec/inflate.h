// The inflater's decoding tables and constant tables, shared by the decoder
// (inflate.cpp), the table builder (inflate_tables.cpp) and their tests.
// Callers outside the codec use InflateStream from codec.h.
//
// Decoding tables. A DecodeTable is one zero-filled allocation from
// sfxPlatform.allocate: a header, then 2^width slots. The tables of one code
// form a chain in allocation order, starting at the root table; each
// header's `next` is the chain slot, and FreeDecodeTables walks it. A code
// with no codes at all has no table (a null root).
//
// A slot (DecodeEntry) packs a code's decoding into 32 bits, laid out for
// the fast loop: one shift by the low byte consumes a code together with its
// extra bits, and a literal is told by the sign bit alone.
//   bits 0-7    bits the slot consumes: the code's length, plus its extra
//               bits for a length or distance base (a link: the width of
//               the table that holds it)
//   bits 8-12   the code's own length, where its extra bits start (a link:
//               the width of its sub-table)
//   bit 13      link to a sub-table
//   bit 14      end of block
//   bit 15      invalid code
//   bits 16-30  value: literal byte, length or distance base, code-length
//               symbol; for a link, the sub-table's index in the root's
//               `subTables`
//   bit 31      literal (or code-length symbol)
// The accessors below give the fields in the decoder's own terms: `bits`,
// `op` (0..13 a length or distance base with that many extra bits; 15 end
// of block; 16 literal; 17..32 link to a sub-table indexed by op - 16 bits;
// 99 invalid code) and `value`.
#ifndef KVSFX_INFLATE_H
#define KVSFX_INFLATE_H

#include <stdint.h>

typedef uint32_t DecodeEntry;

enum : uint32_t {
    kOpEndOfBlock = 15,
    kOpLiteral = 16,
    kLinkBase = 16,  // a link slot's op is 16 + its sub-table's width
    kOpInvalid = 99,
    kMaxCodeLength = 16,  // longest code length a table accepts
    kMaxSymbols = 288,    // largest alphabet: the fixed literal/length code

    kSlotLink = 1u << 13,
    kSlotEndOfBlock = 1u << 14,
    kSlotInvalid = 1u << 15,
    kSlotExceptional = kSlotLink | kSlotEndOfBlock | kSlotInvalid,
    kSlotLiteral = 1u << 31,
};

inline uint32_t SlotConsumed(DecodeEntry entry) { return entry & 0xFF; }
inline uint32_t SlotCodeLength(DecodeEntry entry) { return (entry >> 8) & 0x1F; }
inline uint32_t EntryBits(DecodeEntry entry) { return entry & kSlotLink ? SlotConsumed(entry) : SlotCodeLength(entry); }
inline uint32_t EntryValue(DecodeEntry entry) { return (entry >> 16) & 0x7FFF; }
inline uint32_t EntryOp(DecodeEntry entry) {
    if (entry & kSlotLiteral) return kOpLiteral;
    if (entry & kSlotInvalid) return kOpInvalid;
    if (entry & kSlotEndOfBlock) return kOpEndOfBlock;
    if (entry & kSlotLink) return kLinkBase + SlotCodeLength(entry);
    return SlotConsumed(entry) - SlotCodeLength(entry);
}
inline DecodeEntry MakeEntry(uint32_t op, uint32_t bits, uint32_t value) {
    DecodeEntry entry = (value << 16) | (bits << 8) | bits;
    if (op == kOpLiteral) return entry | kSlotLiteral;
    if (op == kOpInvalid) return entry | kSlotInvalid;
    if (op == kOpEndOfBlock) return entry | kSlotEndOfBlock;
    if (op > kLinkBase) return (value << 16) | ((op - kLinkBase) << 8) | bits | kSlotLink;
    return entry + op;  // the extra bits follow the code
}

struct DecodeTable {
    DecodeTable* next;        // chain slot: the next table allocated for the same code, null for the last
    DecodeTable** subTables;  // root only: its sub-tables by link value (stored in the root's own block)
    uint32_t width;           // the table is indexed by this many bits
    uint32_t subTableCount;   // root only: entries of subTables
};

// The 2^width slots that follow a table's header.
inline DecodeEntry* TableSlots(DecodeTable* table) { return (DecodeEntry*)(table + 1); }
inline const DecodeEntry* TableSlots(const DecodeTable* table) { return (const DecodeEntry*)(table + 1); }

// Constant tables of the deflate format (RFC 1951, 3.2.5 and 3.2.7).
extern const uint16_t codeLengthOrder[19];  // order of the code-length code lengths
extern const uint16_t lengthBase[31];       // symbols 257..287; 286 and 287 invalid
extern const uint16_t lengthExtra[31];      // 99 marks 286 and 287 invalid
extern const uint16_t distanceBase[30];
extern const uint16_t distanceExtra[30];

// Requested lookup widths (before clamping to the code's shortest and
// longest lengths). The literal/length and distance roots are wider than a
// compact decoder would make them (9 and 6 bits for a dynamic block, 7 for
// the fixed literal/length code): one lookup then resolves almost every
// code, which is most of the decoder's speed. A wider root decodes the same
// symbols with the same results; its block of 2^11 slots is built per
// block, as every table is.
enum : uint32_t {
    literalLookupBits = 11,
    distanceLookupBits = 8,
    codeLengthLookupBits = 7,
    fixedLiteralLookupBits = 9,
    fixedDistanceLookupBits = 5,
};

// Builds the decoding tables of a canonical code from n code lengths
// (0..16). Symbols below simpleCount are literals (below 256) or end of
// block; the others take their op and value from extras[] and bases[]
// (indexed by symbol - simpleCount). *lookupBits holds the requested root
// width on entry and the width used on return. Returns kInflateOk (complete
// code, or a code whose longest length is 1), kInflateBadData (incomplete:
// tables built, missing codes marked invalid) or kInflateBadCode
// (over-subscribed: no table). All lengths 0: null root, width 0,
// kInflateOk. A failed allocation releases this code's tables and is the
// fatal error "not enough memory".
int BuildDecodeTables(const uint16_t* lengths, uint32_t n, uint32_t simpleCount, const uint16_t* bases,
                      const uint16_t* extras, DecodeTable** root, uint32_t* lookupBits);

// Releases every table of the chain that starts at root; null does nothing.
void FreeDecodeTables(DecodeTable* root);

// ---------------------------------------------------------------------------
// Shared by the two halves of the decoder: inflate.cpp (the blocks and the
// careful symbol-by-symbol path) and inflate_fast.cpp (the fast loop and the
// match copies, built for speed even where the stub is built for size).

// A routine's bit state: a local copy of the reader's position and of
// state.bitBuffer and state.bitCount, which it stores back when it is done.
struct BitInput {
    uint64_t bits;             // next bit to consume is the lowest; above count: copies of the bytes that follow, or 0
    uint32_t count;            // valid bits in bits, padding included
    uint32_t padding;          // zero bits standing in for input that ran out (whole bytes)
    const uint8_t* next;       // the reader's next byte (state.input.next while the routine runs)
    int32_t left;              // bytes left in the reader's fill (state.input.left)
    const uint8_t* fillStart;  // first byte of the current fill taken in this routine: next - fillStart can go back
};

// A code's tables as the symbol decoders use them.
struct CodeTables {
    const DecodeEntry* slots;       // root slots; null when the code has no codes
    DecodeTable* const* subTables;  // the root's sub-tables by link value
    uint32_t bits;                  // root width
};

// Beside the results of codec.h, for the symbol decoders: the block goes on
// (kInflateOk from them means its end of block was decoded).
const int kBlockGoesOn = -1;

// ... and the fast loop decoded a match whose copy it leaves to the careful
// path, which flushes the window when the match fills it.
const int kMatchPending = -2;
struct PendingMatch {
    uint32_t length;
    uint32_t distance;
};

// Decodes symbols of a block while the input and the window leave room for
// whole rounds (see inflate_fast.cpp); kInflateOk at the end of block,
// kInflateBadData on an invalid code or a distance before the stream's first
// byte, kMatchPending with *pending set when a match would run into the
// window's last bytes, kBlockGoesOn when the careful path must take over.
int DecodeFast(BitInput* in, uint32_t* position, const CodeTables& literals, const CodeTables& distances,
               PendingMatch* pending);

// Whether DecodeFast may use the processor's BMI2 shifts where it has them
// (the first stream allows it); 1 when it does. Tests turn it off to check
// the portable loop.
int UseShiftInstructions(int allowed);

// Copies a match of length bytes from distance (1..32768) back to window
// position pos, exactly as a byte-by-byte copy in increasing order would; a
// source before index 0 lies in the history before the window.
// Contract: pos + length <= kWindowSize (the caller flushes when the window
// is full).
void CopyMatch(uint8_t* window, uint32_t pos, uint32_t distance, uint32_t length);

#endif
