// One extraction run: the walk over the archive's records in file order and
// the extraction of each entry.
//
// The walk reads local headers one after the other as they lie in the file;
// the central directory is only read through (not used) to reach the end
// record, and the walk of a spanned set stops at its first central header.
// Headers, names and seeks work directly on the archive file; only entry
// data goes through the InputBuffer, which never reads past the entry, so
// after an entry the file stands at the next record.
//
// The record signatures are compared with the copies that LoadConfiguration
// assembled in state: they never appear as constants in this file.
#include "archive/archive.h"

#include "codec/codec.h"
#include "failure/failure.h"
#include "failure/recovery.h"
#include "output/output.h"
#include "resources/messages.h"
#include "startup/startup.h"
#include "startup/text.h"
#include "ui/ui.h"

namespace {

enum : uint32_t {
    kSignatureSize = 4,
    kCentralHeaderRest = 42,  // central directory header after its signature
    kEndRecordRest = 18,      // end of central directory record after its signature
    kDescriptorSize = 16,     // data descriptor with its signature
    kPasswordMessageArea = 300,
};

// The extended timestamp extra block: a flags byte, then the times it
// announces as signed 32-bit UTC seconds, the modification time first.
enum : uint32_t {
    kExtraBlockHeader = 4,   // id and data size
    kExtraTimestampId = 0x5455,
    kTimestampModified = 0x01,
    kTimestampPrefix = 5,    // flags byte and modification time
};

enum : uint16_t {
    kFlagEncrypted = 0x0001,
    kFlagDescriptor = 0x0008,
    kMethodStored = 0,
    kMethodDeflated = 8,
};

// ReadError codes of the walk.
enum : int {
    kReadLocalSpanned = 3,
    kReadLocal = 4,
    kReadCentral = 6,
    kReadEnd = 7,
    kReadSignatureSpanned = 8,
    kReadSignature = 9,
};

uint16_t Le16(const uint8_t* p) { return (uint16_t)(p[0] | p[1] << 8); }
uint32_t Le32(const uint8_t* p) { return (uint32_t)p[0] | (uint32_t)p[1] << 8 | (uint32_t)p[2] << 16 | (uint32_t)p[3] << 24; }

int SameSignature(const uint8_t* bytes, const uint8_t* signature) { return CompareBytes(bytes, signature, 4) == 0; }

// count bytes from the archive file; 1 when all came.
int ReadRecord(void* destination, uint32_t count) {
    return sfxPlatform.readFile(state.archiveFile, destination, count) == (int32_t)count;
}

void SeekForward(uint32_t count) {
    if (count != 0) sfxPlatform.seekFile(state.archiveFile, (int64_t)count, kSeekCurrent);
}

// Message 31: the bytes where a record should be are no record we know.
[[noreturn]] void BadZipHeader() { FatalError(MessageText(MSG_BAD_ZIP_HEADER)); }

// Passes over the unread compressed data of the current entry: one seek, or
// step by step across volumes in a spanned set.
void SkipRemainingData() {
    if (state.spanned) {
        while (SkipEntryData() != 0) {
        }
    } else {
        SeekForward(state.compressedLeft);
        state.compressedLeft = 0;
    }
}

void DecodeLocalHeader(const uint8_t* bytes) {
    LocalFileHeader* header = &state.localHeader;
    header->versionNeeded = Le16(bytes + 0);
    header->flags = Le16(bytes + 2);
    header->method = Le16(bytes + 4);
    header->modTime = Le16(bytes + 6);
    header->modDate = Le16(bytes + 8);
    header->crc32 = Le32(bytes + 10);
    header->compressedSize = Le32(bytes + 14);
    header->uncompressedSize = Le32(bytes + 18);
    header->nameLength = Le16(bytes + 22);
    header->extraLength = Le16(bytes + 24);
}

// The local extra field, block by block, straight from the file: only the
// first bytes of an extended timestamp block are read, everything else is
// passed over. Blocks are bounded by the field's own length; a block that
// claims more than is left, and whatever follows it, is passed over unread.
// A short read ends the parsing: the file then stands at its end, where the
// next read reports the cut, as it would after a seek over the field.
void ReadExtraField(uint32_t length) {
    state.entryHasUtcTime = 0;
    state.entryUtcTime = 0;
    while (length >= kExtraBlockHeader) {
        uint8_t block[kExtraBlockHeader];
        length -= kExtraBlockHeader;
        if (!ReadRecord(block, kExtraBlockHeader)) return;
        uint32_t size = Le16(block + 2);
        if (size > length) break;
        length -= size;
        if (Le16(block) == kExtraTimestampId && size >= kTimestampPrefix) {
            uint8_t stamp[kTimestampPrefix];
            size -= kTimestampPrefix;
            if (!ReadRecord(stamp, kTimestampPrefix)) return;
            if (stamp[0] & kTimestampModified) {
                state.entryUtcTime = (int32_t)Le32(stamp + 1);
                state.entryHasUtcTime = 1;
            }
        }
        SeekForward(size);
    }
    SeekForward(length);
}

// Headers this walk cannot extract faithfully end the run with message 31
// before anything is created for them:
// - an empty name names nothing under the destination; a name with a NUL
//   byte in it would be cut short there, and its checks and the file made
//   would concern another name than the one stored ("." of ".\0a.txt");
// - a deflated entry with a data descriptor and no compressed size in its
//   local header was written as a stream: its end cannot be found from the
//   header, and extracting it would give an empty or broken file;
// - an encrypted file shorter than its 12-byte encryption header (folders
//   carry no data to decrypt);
// - a file whose two sizes contradict each other: stored data that is not
//   as long as the file, or a file of some bytes with no data at all.
void CheckEntryHeader() {
    const LocalFileHeader* header = &state.localHeader;
    if (state.entryName[0] == 0 || TextLength(state.entryName) != header->nameLength) BadZipHeader();
    if ((header->flags & kFlagDescriptor) && header->method == kMethodDeflated && header->compressedSize == 0)
        BadZipHeader();
    int folder = IsPathSeparator(*LastChar(state.entryName));
    if (folder) return;
    uint32_t dataSize = header->compressedSize;
    if (header->flags & kFlagEncrypted) {
        if (dataSize < kEncryptionHeaderSize) BadZipHeader();
        dataSize -= kEncryptionHeaderSize;
    }
    if (header->method == kMethodStored && dataSize != header->uncompressedSize) BadZipHeader();
    if (dataSize == 0 && header->uncompressedSize != 0) BadZipHeader();
}

// Message 30 for an entry whose deflate data is damaged, or decodes to more
// or fewer bytes than its header declares: decoding stopped there, and the
// CRC shown is that of the bytes it had produced.
[[noreturn]] void DamagedEntryData() {
    UpdateCrc(state.outBuffer, (uint32_t)state.outCount);
    FormatText(state.messageBuffer, kMessageBufferSize, MessageText(MSG_BAD_CRC), state.currentName,
               (unsigned long)~state.crc, (unsigned long)state.localHeader.crc32);
    FatalError(state.messageBuffer);
}

// Step 5 of an entry: a folder entry creates its folders and nothing else.
// Data stored for a folder is passed over whatever its sizes say, so that
// the walk stays on the records.
void ExtractFolderEntry() {
    CopyText(state.currentName, kCurrentNameCapacity, state.entryName);
    CreateFolders();
    SkipRemainingData();
}

// Step 6.6: the encryption header against the stored password.
void CheckPassword() {
    if (ReadEncryptionHeader()) return;
    char text[kPasswordMessageArea];
    FormatText(text, sizeof text, "%s", MessageText(state.password ? MSG_PASSWORD_WRONG : MSG_PASSWORD_MISSING));
    FatalError(text);
}

// Step 6 of an entry: a file.
void ExtractFileEntry() {
    CopyText(state.currentName, kCurrentNameCapacity, state.entryName);
    BuildOutputPath();
    CreateFolders();
    if (!ConfirmOverwrite()) {
        SkipRemainingData();
        return;
    }
    if (state.entryEncrypted) CheckPassword();
    ExtractEntryData();
}

// The stored copy: bytes from the InputBuffer into outBuffer, written out
// each time 2048 have gathered. After each byte that NextInputByte delivers,
// the rest of the refill is taken in one piece.
void CopyStoredData() {
    uint16_t byte;
    while (NextInputByte(&byte)) {
        *state.outPtr++ = (uint8_t)byte;
        state.outCount++;
        int32_t room = (int32_t)kChunkSize - state.outCount;
        int32_t piece = state.input.left < room ? state.input.left : room;
        if (piece > 0) {
            for (int32_t i = 0; i < piece; i++) state.outPtr[i] = state.input.next[i];
            state.outPtr += piece;
            state.input.next += piece;
            state.input.left -= piece;
            state.outCount += piece;
        }
        if (state.outCount == (int32_t)kChunkSize) WriteOutputBuffer();
    }
}

// Steps 2 to 4 of a run: the run's recovery point, the archive start, the
// walk. 0 when the walk ended normally; after a non-local return, the value
// it carried.
int ArmAndWalk() {
    if (ArmRecovery(state.runContext) != 0) return state.recoveryValue;
    state.inRun = 1;
    int startAtZero = 0;
    if (state.spanned) {
        ChangeVolume(1, state.volumesNamedExe);
        // ".ZIP" volumes hold the archive from their first byte.
        startAtZero = !state.volumesNamedExe;
    }
    if (!startAtZero) {
        uint32_t start = sfxConfigBlock.archiveStart;
        if (sfxPlatform.seekFile(state.archiveFile, start, kSeekSet) != (int64_t)start)
            FatalError(MessageText(MSG_IO_ERROR));
    }
    WalkArchive();
    return 0;
}

}  // namespace

// 0 when the walk ended normally, 1 after Cancel at the overwrite question,
// 2 after an error message, a refused disk prompt or the user's abort.
int ExtractArchive() {
    state.extracting = 1;
    // The start-up's recovery point is kept aside for the run's duration.
    RunContext startupContext;
    memcpy(startupContext, state.runContext, sizeof startupContext);
    uint8_t startupInRun = state.inRun;
    UseCursor(state.waitCursor);
    int result = ArmAndWalk();
    // A file left incomplete is removed; what its name held before stays.
    DiscardOutputFile();
    UseCursor(state.arrowCursor);
    state.extracting = 0;
    state.inRun = startupInRun;
    memcpy(state.runContext, startupContext, sizeof startupContext);
    return result;
}

void WalkArchive() {
    for (;;) {
        uint8_t signature[kSignatureSize];
        if (!ReadRecord(signature, kSignatureSize)) {
            if (!state.spanned) ReadError(kReadSignature);
            ChangeVolume((uint16_t)(state.currentDisk + 1), state.volumesNamedExe);
            if (!ReadRecord(signature, kSignatureSize)) ReadError(kReadSignatureSpanned);
        }
        if (SameSignature(signature, state.sigLocal)) {
            ExtractEntry();
        } else if (SameSignature(signature, state.sigSpan)) {
            if (!state.spanned) BadZipHeader();
        } else if (SameSignature(signature, state.sigCentral)) {
            if (state.spanned) return;
            SkipCentralHeader();
        } else if (SameSignature(signature, state.sigEnd) || SameSignature(signature, state.sigDigitalSignature)) {
            ReadEndRecord();
            return;
        } else if (SameSignature(signature, state.sigSpanTemp)) {
            // a marker only
        } else if (!state.spanned) {
            BadZipHeader();
        }
        // In a spanned set unknown bytes are passed over 4 at a time.
    }
}

void SkipCentralHeader() {
    uint8_t record[kCentralHeaderRest];
    if (!ReadRecord(record, sizeof record)) ReadError(kReadCentral);
    // Offsets in the whole record: name length 28, extra 30, comment 32.
    uint16_t nameLength = Le16(record + 24);
    if (nameLength > kMaxNameLength) FatalError(MessageText(MSG_NAME_TOO_LONG));
    ReadExact(nameLength, state.entryName);
    SeekForward((uint32_t)Le16(record + 26) + Le16(record + 28));
}

void ReadEndRecord() {
    uint8_t record[kEndRecordRest];
    if (!ReadRecord(record, sizeof record)) ReadError(kReadEnd);
    SeekForward(Le16(record + 16));  // the comment, at offset 20 of the record
}

void ExtractEntry() {
    uint8_t bytes[kLocalHeaderSize];
    if (!ReadRecord(bytes, kLocalHeaderSize)) {
        if (!state.spanned) ReadError(kReadLocal);
        ChangeVolume((uint16_t)(state.currentDisk + 1), state.volumesNamedExe);
        if (!ReadRecord(bytes, kLocalHeaderSize)) ReadError(kReadLocalSpanned);
    }
    DecodeLocalHeader(bytes);
    state.compressedLeft = state.localHeader.compressedSize;
    state.entryEncrypted = (state.localHeader.flags & kFlagEncrypted) != 0;
    state.entryHasDescriptor = (state.localHeader.flags & kFlagDescriptor) != 0;

    if (state.localHeader.nameLength > kMaxNameLength) FatalError(MessageText(MSG_NAME_TOO_LONG));
    ReadExact(state.localHeader.nameLength, state.entryName);
    ReadExtraField(state.localHeader.extraLength);

    CheckEntryHeader();
    CheckEntryNameSafe();
    char* last = LastChar(state.entryName);
    if (IsPathSeparator(*last)) ExtractFolderEntry();
    else ExtractFileEntry();

    if (state.entryHasDescriptor) SeekForward(kDescriptorSize);
}

void ExtractEntryData() {
    state.crc = 0xFFFFFFFF;
    state.input.left = 0;
    state.outCount = 0;
    state.outPtr = state.outBuffer;
    state.outputLeft = state.localHeader.uncompressedSize;

    CreateOutputFile();
    if (state.compressedLeft != 0) {
        switch (state.localHeader.method) {
        case kMethodStored:
            ShowEntryStatus();
            CopyStoredData();
            break;
        case kMethodDeflated:
            ShowEntryStatus();
            // The inflater stops at the declared size; a stream that ends
            // short of it is as damaged as one it refuses.
            if (InflateStream() != 0 || state.outputLeft != 0) DamagedEntryData();
            break;
        default:
            // The run's recovery removes the file just created.
            FatalError(MessageText(MSG_BAD_METHOD));
        }
    }
    state.filesExtracted++;

    // The last, shorter piece: written and polled, not counted for the meter.
    if (state.outCount > 0) {
        UpdateCrc(state.outBuffer, (uint32_t)state.outCount);
        CheckWrite(sfxPlatform.writeFile(state.outputFile, state.outBuffer, (uint32_t)state.outCount));
    }
    SetOutputFileTime();
    sfxPlatform.closeFile(state.outputFile);
    state.outputFile = 0;
    state.crc = ~state.crc;

    // Before anything more is read: a damaged entry of a spanned set is
    // reported without asking for the disks its unread bytes lie on.
    if (state.crc != state.localHeader.crc32) {
        FormatText(state.messageBuffer, kMessageBufferSize, MessageText(MSG_BAD_CRC), state.currentName,
                   (unsigned long)state.crc, (unsigned long)state.localHeader.crc32);
        FatalError(state.messageBuffer);
    }
    NameOutputFile();

    // Compressed bytes the decoder left unread (data after the end of the
    // deflate stream) are passed over, so that the walk goes on at the next
    // record.
    SkipRemainingData();
}
