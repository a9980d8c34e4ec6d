// The start-up loader: the ZIP signatures, the self-check of the program
// file against the configuration block, the codec buffers, the message
// table, the creator's header texts and the end-record check.
//
// Everything here trusts nothing read from the file: every offset, length
// and text is checked before it is used, and a failure is the header-corrupt
// error (or message 39 for a missing end record), which ends the start-up.
#include "archive/archive.h"
#include "codec/codec.h"
#include "failure/failure.h"
#include "resources/messages.h"
#include "format/exe_layout.h"
#include "startup/startup.h"
#include "startup/text.h"

namespace {

// The last three bytes of the six record signatures, in the order of the
// fields sigLocal .. sigSpanTemp. The image never holds a four-byte
// signature: the 'P' is written by code, the array is read as volatile so
// the compiler cannot fold the bytes into 32-bit constants, and the lead
// byte (not 'P') keeps whatever precedes the array from completing the
// first signature.
volatile const uint8_t kSignatureTails[1 + 6 * 3] = {
    0,  // lead byte
    'K', KVSFX_LOCAL_PAIR,
    'K', KVSFX_CENTRAL_PAIR,
    'K', KVSFX_END_PAIR,
    'K', KVSFX_DIGITAL_PAIR,
    'K', KVSFX_DESCRIPTOR_PAIR,  // the spanning signature
    'K', KVSFX_SPAN_MARKER_PAIR,
};

void AssembleSignatures() {
    uint8_t* const fields[6] = {state.sigLocal, state.sigCentral, state.sigEnd,
                                state.sigDigitalSignature, state.sigSpan, state.sigSpanTemp};
    for (int i = 0; i < 6; i++) {
        fields[i][0] = 'P';
        for (int j = 0; j < 3; j++) fields[i][1 + j] = kSignatureTails[1 + i * 3 + j];
    }
}

// The header's five texts are taken one after the other from a cursor over
// the bytes read.
struct HeaderCursor {
    const char* at;   // first byte of the next text
    const char* end;  // one past the header's last byte
};

// The next text of the header. Each text must end in its zero byte inside
// the header and fit its capacity (characters + zero; 0: no limit).
const char* NextHeaderText(HeaderCursor* cursor, uint32_t capacity) {
    const char* text = cursor->at;
    const char* p = text;
    while (p < cursor->end && *p != 0) p++;
    if (p == cursor->end) HeaderCorruptError();                                // not terminated inside the header
    if (capacity != 0 && (uint32_t)(p - text) >= capacity) HeaderCorruptError();  // over its capacity
    cursor->at = p + 1;
    return text;
}

void VerifyStubChecksum(uint32_t length, uint32_t expectedCrc, const volatile SfxConfigBlock* block);
void ReadSfxHeader();
void CheckEndRecord();

}  // namespace

int AllocateCodecBuffers() {
    state.window = AllocateWindow();
    state.input.data = (uint8_t*)sfxPlatform.allocate(kCodecBufferAllocation);
    state.outBuffer = (uint8_t*)sfxPlatform.allocate(kCodecBufferAllocation);
    return state.window != 0 && state.input.data != 0 && state.outBuffer != 0;
}

void LoadConfiguration() {
    const volatile SfxConfigBlock* block = &sfxConfigBlock;

    // 1-3. Signatures, CRC table, the program file as the archive.
    AssembleSignatures();
    BuildCrcTable();
    OpenArchive();

    // 4. Self-check of stub and header.
    if (block->stubCrc != 0) VerifyStubChecksum(block->archiveStart, block->stubCrc, block);

    // 5. Spanning.
    uint32_t flags = block->flags;
    state.spanned = (flags & SFXF_SPANNED) != 0;
    state.volumesNamedExe = (flags & SFXF_EXE_VOLUMES) != 0;

    // 6. The three codec buffers, for the life of the process.
    if (!AllocateCodecBuffers()) HeaderCorruptError();

    // 7. From here on the table's messages are available.
    LoadMessages();

    // 8. The first disk holds the program itself, whatever the volumes are called.
    if (state.spanned) ChangeVolume(1, 1);

    // 9-11.
    ReadSfxHeader();
    if (state.spanned || block->endRecordOffset == 0) return;
    CheckEndRecord();
}

namespace {

// The CRC-32 of the file's first length bytes (from the end of the
// executable headers with SFXF_CRC_AFTER_HEADERS), with the stubCrc field of
// the block's copy in the file taken as zero, must equal expectedCrc. Returns
// only on success; state.crc is left holding the result.
void VerifyStubChecksum(uint32_t length, uint32_t expectedCrc, const volatile SfxConfigBlock* block) {
    // Reads return a signed 32-bit count: a covered length beyond that is no stub.
    if (length == 0 || length > 0x7FFFFFFFu) HeaderCorruptError();
    // A damaged block may claim more bytes than the file has: refused before
    // a block of that size is asked for.
    int64_t fileLength = sfxPlatform.seekFile(state.archiveFile, 0, kSeekEnd);
    if (fileLength < 0 || (uint64_t)fileLength < length) HeaderCorruptError();

    // 1-2. The covered bytes.
    uint8_t* image = (uint8_t*)sfxPlatform.allocate(length);
    if (image == 0) HeaderCorruptError();
    if (sfxPlatform.seekFile(state.archiveFile, 0, kSeekSet) != 0) HeaderCorruptError();
    if (sfxPlatform.readFile(state.archiveFile, image, length) != (int32_t)length) HeaderCorruptError();

    // 3. The block's copy is the first place that holds its eight signature
    // bytes, with room for its stubCrc field after them.
    uint8_t signature[8];
    for (int i = 0; i < 8; i++) signature[i] = block->signature[i];
    uint32_t position = 0;
    for (;; position++) {
        if (length < 12 || position > length - 12) HeaderCorruptError();  // no copy of the block
        if (image[position] == signature[0] && CompareBytes(image + position, signature, 8) == 0) break;
    }

    // 4. That copy's stubCrc is taken as zero.
    for (int i = 0; i < 4; i++) image[position + 8 + i] = 0;

    // 5. With SFXF_CRC_AFTER_HEADERS the check starts where the executable's
    // headers end; headers that do not lie inside the covered bytes mean a
    // damaged file.
    uint32_t start = 0;
    if (block->flags & SFXF_CRC_AFTER_HEADERS) {
        start = ExecutableHeadersEnd(image, length);
        if (start == 0) HeaderCorruptError();
    }

    // 6-7.
    state.crc = 0xFFFFFFFFu;
    UpdateCrc(image + start, length - start);
    state.crc = ~state.crc;
    sfxPlatform.release(image);
    if (state.crc != expectedCrc) HeaderCorruptError();
}

// Fills destFolder, startupPrompt, customTitle, infoText and, with
// SFXF_RUN_PROGRAM, programLine from the header between headerOffset and
// archiveStart. A header that is longer than 1256 bytes (and the program
// text's capacity, when there is one), lies after the archive start, or
// whose texts do not all end inside it or exceed their capacities, is
// refused before anything is copied.
void ReadSfxHeader() {
    const volatile SfxConfigBlock* block = &sfxConfigBlock;

    // 1. No header: empty texts, no prompt.
    uint32_t headerOffset = block->headerOffset;
    if (headerOffset == 0) return;

    // 2. Its length.
    uint32_t archiveStart = block->archiveStart;
    if (archiveStart < headerOffset) HeaderCorruptError();
    uint32_t length = archiveStart - headerOffset;
    int withProgram = (block->flags & SFXF_RUN_PROGRAM) != 0;
    if (length > kHeaderMaxSize + (withProgram ? (uint32_t)kProgramLineSize : 0u)) HeaderCorruptError();

    // 3. A spanned set keeps the header on its first disk.
    if (state.spanned) ChangeVolume(1, 1);

    // 4. Read it whole.
    char header[kHeaderMaxSize + kProgramLineSize];
    if (sfxPlatform.seekFile(state.archiveFile, headerOffset, kSeekSet) != (int64_t)headerOffset) HeaderCorruptError();
    if (sfxPlatform.readFile(state.archiveFile, header, length) != (int32_t)length) HeaderCorruptError();

    // Split it into its five texts; all are checked before any is taken.
    HeaderCursor cursor = {header, header + length};
    const char* folder = NextHeaderText(&cursor, kPathCapacity);
    NextHeaderText(&cursor, 0);  // reserved text: read past
    const char* prompt = NextHeaderText(&cursor, kStartupPromptSize);
    const char* title = NextHeaderText(&cursor, kCustomTitleSize);
    const char* info = NextHeaderText(&cursor, kInfoTextSize);
    // The program to start after a run: only announced by its flag, and
    // never empty when it is.
    const char* program = withProgram ? NextHeaderText(&cursor, kProgramLineSize) : "";
    if (withProgram && program[0] == 0) HeaderCorruptError();

    // 5. Default destination.
    CopyText(state.destFolder, sizeof state.destFolder, folder);

    // 7. Start-up prompt, in a block of its own released once answered.
    state.startupPrompt = 0;
    if (prompt[0] != 0) {
        state.startupPrompt = (char*)sfxPlatform.allocate(kStartupPromptSize);
        if (state.startupPrompt == 0) HeaderCorruptError();
        CopyText(state.startupPrompt, kStartupPromptSize, prompt);
    }

    // 8. The title only when the creator asked for it.
    if (block->flags & SFXF_CUSTOM_TITLE) CopyText(state.customTitle, kCustomTitleSize, title);

    // 9. The "-info" text.
    CopyText(state.infoText, kInfoTextSize, info);

    CopyText(state.programLine, kProgramLineSize, program);
}

// The end-of-central-directory record (or a digital signature record) must
// begin exactly at its recorded offset.
void CheckEndRecord() {
    uint32_t offset = sfxConfigBlock.endRecordOffset;
    uint8_t signature[4];
    if (sfxPlatform.seekFile(state.archiveFile, offset, kSeekSet) != (int64_t)offset ||
        sfxPlatform.readFile(state.archiveFile, signature, 4) != 4 ||
        (CompareBytes(signature, state.sigEnd, 4) != 0 && CompareBytes(signature, state.sigDigitalSignature, 4) != 0)) {
        state.exitCode = 2;
        FatalError(MessageText(MSG_FILE_DAMAGED));
    }
}

}  // namespace
