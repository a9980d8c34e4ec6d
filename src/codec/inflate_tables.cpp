// The inflater's decoding tables: the canonical code of a set of code
// lengths (RFC 1951, 3.2.2) turned into a root table indexed by the next
// bits of the input and sub-tables for the codes longer than the root's
// width (see inflate.h for the slots and the chain of tables).
//
// Tables are built anew for every block, fixed blocks included, from the
// process's heap; the block routines release them at the block's end.
#include <string.h>

#include "codec/codec.h"
#include "codec/inflate.h"
#include "failure/failure.h"
#include "startup/sfx_state.h"

namespace {

const char kNoMemoryText[] = "not enough memory";

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

// The root's slots for codes of at most `to` bits, from those for codes of
// at most `from` bits: a code of l bits takes every slot whose low l bits
// are its own, so each added bit repeats the slots filled so far once
// more. Codes are assigned by length, so the slots that no shorter code
// takes are those the longer codes (or the links to their sub-tables) take
// next. Returns the width now filled.
uint32_t WidenFilledSlots(DecodeEntry* slots, uint32_t from, uint32_t to) {
    for (; from < to; from++) memcpy(slots + ((uint32_t)1 << from), slots, sizeof(DecodeEntry) << from);
    return from;
}

}  // namespace

int BuildDecodeTables(const uint16_t* lengths, uint32_t n, uint32_t simpleCount, const uint16_t* bases,
                      const uint16_t* extras, DecodeTable** root, uint32_t* lookupBits) {
    *root = 0;
    if (n > kMaxSymbols) return kInflateBadCode;  // no caller has a larger alphabet

    // 1. Codes of each length.
    uint32_t count[kMaxCodeLength + 1] = {};
    for (uint32_t symbol = 0; symbol < n; symbol++) {
        if (lengths[symbol] > kMaxCodeLength) return kInflateBadCode;  // no caller passes one
        count[lengths[symbol]]++;
    }
    if (count[0] == n) {
        *lookupBits = 0;
        return kInflateOk;
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
        if (freePatterns < 0) return kInflateBadCode;
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
    // Root slots 0..2^filledBits-1 hold every code of at most filledBits
    // bits, each at its (reversed) code; the slots above repeat them.
    uint32_t filledBits = 0;
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
            // Into the filled part of the root, widened to this length first.
            filledBits = WidenFilledSlots(rootSlots, filledBits, length);
            rootSlots[code] = MakeEntry(op, length, value);
        } else {
            filledBits = WidenFilledSlots(rootSlots, filledBits, width);
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

    WidenFilledSlots(rootSlots, filledBits, width);
    *root = table;
    // 8. Incomplete codes are an error, except those whose longest length is 1.
    return extraCodes != 0 && longest != 1 ? kInflateBadData : kInflateOk;
}

void FreeDecodeTables(DecodeTable* root) {
    while (root) {
        DecodeTable* next = root->next;
        sfxPlatform.release(root);
        root = next;
    }
}
