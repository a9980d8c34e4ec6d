// What the builder puts around the stub's program image, and the stub finds
// there: the configuration block inside the image's initialised data, and
// the header of texts between the image and the archive.
//
//   0 .. headerOffset - 1             the program image, holding the block
//   headerOffset .. archiveStart - 1  the header
//   archiveStart .. end of file       the ZIP archive, its offsets counted
//                                     from the start of the whole file
//
// Numbers are little-endian (format/bytes.h).
#ifndef KVSFX_FORMAT_SFX_BLOCK_H
#define KVSFX_FORMAT_SFX_BLOCK_H

#include <stddef.h>
#include <stdint.h>

// ---------------------------------------------------------------------------
// The configuration block: 60 bytes, found through its signature (the first
// copy in the file) and rewritten by the builder in the copied image; the
// stub only reads it. entryRva is only 2-byte aligned, hence the packing.

inline constexpr uint8_t kBlockSignature[8] = {'Q', 'X', 'B', 0x01, 's', 'f', 'x', 0x02};

#pragma pack(push, 1)
struct SfxConfigBlock {
    uint8_t signature[8];      // 0x00 kBlockSignature
    uint32_t stubCrc;          // 0x08 CRC-32 of the file up to archiveStart, this field as zero; 0: no check
    uint32_t archiveStart;     // 0x0C file offset of the first local header
    uint32_t headerOffset;     // 0x10 file offset of the header; 0: no header
    uint32_t endRecordOffset;  // 0x14 file offset of the end record; 0: no check
    uint32_t totalSize;        // 0x18 sum of uncompressed sizes: the meter's 100 %
    uint32_t flags;            // 0x1C SFXF_ bits
    uint32_t reserved20;       // 0x20
    uint32_t reserved24;       // 0x24
    uint16_t reserved28;       // 0x28
    uint16_t completeMark;     // 0x2A non-zero in a complete file
    uint32_t reserved2C;       // 0x2C
    uint32_t reserved30;       // 0x30
    uint16_t reserved34;       // 0x34
    uint32_t entryRva;         // 0x36 entry point the executable header must name
    uint16_t reserved3A;       // 0x3A
};
#pragma pack(pop)
static_assert(sizeof(SfxConfigBlock) == 60, "the configuration block is 60 bytes");
static_assert(offsetof(SfxConfigBlock, completeMark) == 0x2A, "completeMark at 0x2A");
static_assert(offsetof(SfxConfigBlock, entryRva) == 0x36, "entryRva at 0x36");

// The flags word.
enum : uint32_t {
    SFXF_OVERWRITE_DEFAULT = 0x2,      // the overwrite box starts ticked
    SFXF_CUSTOM_TITLE = 0x10,          // header text 4 is the creator's title
    SFXF_ENCRYPTED = 0x100,            // the password is asked before the first run
    SFXF_AUTO = 0x200,                 // extract at once and close
    SFXF_CRC_AFTER_HEADERS = 0x800,    // stubCrc starts where the executable's headers end
    SFXF_SPANNED = 0x1000,             // the archive is spread over several disks
    SFXF_EXE_VOLUMES = 0x8000,         // its volume files end in ".EXE" rather than ".ZIP"
    SFXF_TITLE_IN_DIALOG = 0x40000,    // the main dialog's caption is the creator's title
    SFXF_PROMPT_QUESTION = 0x80000,    // the start-up prompt asks a question
    SFXF_PROMPT_OKCANCEL = 0x100000,   // ... with OK and Cancel rather than Yes and No
    // A sixth header text follows the five: the program to start, with its
    // arguments, once a run has finished. A stub that does not know the bit
    // never reads past the fifth text.
    SFXF_RUN_PROGRAM = 0x1000000,
};

// ---------------------------------------------------------------------------
// The header: zero-terminated texts in Windows-1252, one after the other,
// nothing between them and nothing after the last: the default folder (an
// empty text: a temporary folder; ".": the program's own folder), a reserved
// text read past, the start-up prompt (empty: none), the title and the
// "-info" text; with SFXF_RUN_PROGRAM, the program line, never empty.
// The sizes count the terminating zero; kMaxPathLength does not.

enum : uint32_t {
    kHeaderTexts = 5,            // texts of every header (a sixth with SFXF_RUN_PROGRAM)
    kMaxPathLength = 260,        // default folder, and every path the stub keeps
    kStartupPromptSize = 514,    // start-up prompt: 513 characters + zero
    kCustomTitleSize = 65,       // title: 64 characters + zero
    kInfoTextSize = 512,         // "-info" text: 511 characters + zero
    kProgramLineSize = 512,      // program line: 511 characters + zero
    kHeaderMaxSize = 1256,       // longest header of five texts; the program line may add its own size
};

#endif
