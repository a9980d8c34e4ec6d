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
// A slot (DecodeEntry) packs three fields into 32 bits, so that the hot loop
// shifts the bit buffer by the low byte directly:
//   bits 0-7   `bits`: bits this slot consumes (a link: its table's width)
//   bits 8-15  `op`: 0..13 a length or distance base with that many extra
//              bits; 15 end of block; 16 literal (or code-length symbol);
//              17..32 link to a sub-table indexed by op - 16 bits;
//              99 invalid code
//   bits 16-31 `value`: literal byte, length or distance base, code-length
//              symbol; for a link, the sub-table's index in the root's
//              `subTables`
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
};

inline uint32_t EntryBits(DecodeEntry entry) { return entry & 0xFF; }
inline uint32_t EntryOp(DecodeEntry entry) { return (entry >> 8) & 0xFF; }
inline uint32_t EntryValue(DecodeEntry entry) { return entry >> 16; }
inline DecodeEntry MakeEntry(uint32_t op, uint32_t bits, uint32_t value) { return bits | (op << 8) | (value << 16); }

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

#endif
