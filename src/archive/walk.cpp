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
// In an archive that is not spanned the walk reads ahead by at most one
// record's fixed part (RecordAhead): a signature and the 26 bytes after it
// come in one read, and a central header's name, extra field and comment
// come in one read with the next record's first 30 bytes. Bytes held ahead
// lie just before the file position; a local header consumes all 30, so
// nothing is ever held while an entry's name, encryption header or data is
// read from the file.
//
// The record signatures are compared with the copies that LoadConfiguration
// assembled in state: they never appear as constants in this file.
#include "archive/archive.h"

#include "codec/codec.h"
#include "failure/failure.h"
#include "failure/recovery.h"
#include "format/bytes.h"
#include "output/output.h"
#include "resources/messages.h"
#include "startup/startup.h"
#include "startup/text.h"
#include "ui/ui.h"

namespace {

enum : uint32_t {
    kRecordAhead = kLocalFixedSize,                           // a signature and a local header after it
    kCentralHeaderRest = kCentralFixedSize - kSignatureSize,  // central directory header after its signature
    kEndRecordRest = kEndFixedSize - kSignatureSize,          // end of central directory record after its signature
    kPasswordMessageArea = 300,
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

int SameSignature(const uint8_t* bytes, const uint8_t* signature) { return CompareBytes(bytes, signature, 4) == 0; }

// count bytes from the archive file; 1 when all came.
int ReadRecord(void* destination, uint32_t count) {
    return sfxPlatform.readFile(state.archiveFile, destination, count) == (int32_t)count;
}

// Up to count bytes from the archive file; how many came (0 on a failed read).
uint32_t ReadUpTo(void* destination, uint32_t count) {
    int32_t got = sfxPlatform.readFile(state.archiveFile, destination, count);
    return got > 0 ? (uint32_t)got : 0;
}

void SeekForward(uint32_t count) {
    if (count != 0) sfxPlatform.seekFile(state.archiveFile, (int64_t)count, kSeekCurrent);
}

// The bytes of the current record read so far: its signature, then what
// follows it, possibly up to the whole fixed part of a local header.
struct RecordAhead {
    uint8_t bytes[kRecordAhead];
    uint32_t count;
};

// The rest of the record's fixed part after its signature, count bytes
// into destination: first what was read ahead, then from the file. 1 when
// all came.
int TakeRecordRest(const RecordAhead* ahead, uint8_t* destination, uint32_t count) {
    uint32_t held = ahead->count - kSignatureSize;
    uint32_t take = held < count ? held : count;
    memcpy(destination, ahead->bytes + kSignatureSize, take);
    return take == count || ReadRecord(destination + take, count - take);
}

// The InputBuffer's area lies idle between entries (each entry's data phase
// starts it afresh): the walk reads a name with what follows it there.
uint8_t* NameScratch() {
    state.input.left = 0;
    return state.input.data;
}

// The extended timestamp of a local extra field held in memory. Blocks are
// bounded by the field's own length; a block that claims more than is left,
// and whatever follows it, is passed over.
void TakeUtcTime(const uint8_t* field, uint32_t length) {
    state.entryHasUtcTime = 0;
    state.entryUtcTime = 0;
    while (length >= kExtraBlockHeader) {
        uint32_t id = LoadLe16(field), size = LoadLe16(field + 2);
        field += kExtraBlockHeader;
        length -= kExtraBlockHeader;
        if (size > length) break;
        if (id == kExtraTimestampId && size >= kTimestampPrefix && (field[0] & kTimestampModified)) {
            state.entryUtcTime = (int32_t)LoadLe32(field + 1);
            state.entryHasUtcTime = 1;
        }
        field += size;
        length -= size;
    }
}

// A local header's name into entryName (zero-terminated) and its extra
// field, whose timestamp is taken: one read when the set is not spanned and
// both fit in the scratch area; else the name alone, then the field (an
// extra field longer than the scratch area is passed over, and the entry
// keeps its DOS time). A name cut short is ReadError 1; an extra field cut
// short leaves the file at its end, where the next read reports the cut.
void ReadEntryName(uint32_t nameLength, uint32_t extraLength) {
    uint8_t* scratch = NameScratch();
    if (state.spanned || nameLength + extraLength > kChunkSize) {
        ReadExact(nameLength, state.entryName);
        if (extraLength <= kChunkSize) {
            TakeUtcTime(scratch, ReadUpTo(scratch, extraLength));
        } else {
            TakeUtcTime(scratch, 0);
            SeekForward(extraLength);
        }
        return;
    }
    uint32_t got = ReadUpTo(scratch, nameLength + extraLength);
    if (got < nameLength) ReadError(1);
    memcpy(state.entryName, scratch, nameLength);
    state.entryName[nameLength] = 0;
    TakeUtcTime(scratch + nameLength, got - nameLength);
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
    header->versionNeeded = LoadLe16(bytes + 0);
    header->flags = LoadLe16(bytes + 2);
    header->method = LoadLe16(bytes + 4);
    header->modTime = LoadLe16(bytes + 6);
    header->modDate = LoadLe16(bytes + 8);
    header->crc32 = LoadLe32(bytes + 10);
    header->compressedSize = LoadLe32(bytes + 14);
    header->uncompressedSize = LoadLe32(bytes + 18);
    header->nameLength = LoadLe16(bytes + 22);
    header->extraLength = LoadLe16(bytes + 24);
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
    ForgetKnownFolders();
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

namespace {

void SkipCentralHeader(RecordAhead* ahead) {
    uint8_t record[kCentralHeaderRest];
    if (!TakeRecordRest(ahead, record, sizeof record)) ReadError(kReadCentral);
    ahead->count = 0;
    // Offsets in the whole record: name length 28, extra 30, comment 32.
    uint16_t nameLength = LoadLe16(record + 24);
    if (nameLength > kMaxNameLength) FatalError(MessageText(MSG_NAME_TOO_LONG));
    uint32_t skipLength = (uint32_t)LoadLe16(record + 26) + LoadLe16(record + 28);
    if (nameLength + skipLength + kRecordAhead > kChunkSize) {
        ReadExact(nameLength, state.entryName);
        SeekForward(skipLength);
        return;
    }
    // The name, what follows it and the next record's first bytes in one
    // read. A name cut short is ReadError 1.
    uint8_t* scratch = NameScratch();
    uint32_t got = ReadUpTo(scratch, nameLength + skipLength + kRecordAhead);
    if (got < nameLength) ReadError(1);
    memcpy(state.entryName, scratch, nameLength);
    state.entryName[nameLength] = 0;
    if (got > nameLength + skipLength) {
        ahead->count = got - nameLength - skipLength;
        memcpy(ahead->bytes, scratch + nameLength + skipLength, ahead->count);
    }
}

void ReadEndRecord(const RecordAhead* ahead) {
    uint8_t record[kEndRecordRest];
    if (!TakeRecordRest(ahead, record, sizeof record)) ReadError(kReadEnd);
    // The comment, at offset 20 of the record, from the end of the record;
    // bytes read ahead past the record already lie behind the position.
    int64_t beyond = ahead->count > kSignatureSize + kEndRecordRest ? ahead->count - (kSignatureSize + kEndRecordRest) : 0;
    int64_t skip = (int64_t)LoadLe16(record + 16) - beyond;
    if (skip != 0) sfxPlatform.seekFile(state.archiveFile, skip, kSeekCurrent);
}

void ExtractEntry(RecordAhead* ahead) {
    uint8_t bytes[kLocalHeaderSize];
    if (!TakeRecordRest(ahead, bytes, kLocalHeaderSize)) {
        if (!state.spanned) ReadError(kReadLocal);
        ChangeVolume((uint16_t)(state.currentDisk + 1), state.volumesNamedExe);
        if (!ReadRecord(bytes, kLocalHeaderSize)) ReadError(kReadLocalSpanned);
    }
    ahead->count = 0;
    DecodeLocalHeader(bytes);
    state.compressedLeft = state.localHeader.compressedSize;
    state.entryEncrypted = (state.localHeader.flags & kFlagEncrypted) != 0;
    state.entryHasDescriptor = (state.localHeader.flags & kFlagDescriptor) != 0;

    if (state.localHeader.nameLength > kMaxNameLength) FatalError(MessageText(MSG_NAME_TOO_LONG));
    ReadEntryName(state.localHeader.nameLength, state.localHeader.extraLength);

    CheckEntryHeader();
    CheckEntryNameSafe();
    char* last = LastChar(state.entryName);
    if (IsPathSeparator(*last)) ExtractFolderEntry();
    else ExtractFileEntry();

    if (state.entryHasDescriptor) SeekForward(kDescriptorSize);
}

}  // namespace

void WalkArchive() {
    RecordAhead ahead;
    ahead.count = 0;
    for (;;) {
        if (state.spanned) {
            // A spanned set: the signature alone, a volume change when this
            // volume has ended.
            if (!ReadRecord(ahead.bytes, kSignatureSize)) {
                ChangeVolume((uint16_t)(state.currentDisk + 1), state.volumesNamedExe);
                if (!ReadRecord(ahead.bytes, kSignatureSize)) ReadError(kReadSignatureSpanned);
            }
            ahead.count = kSignatureSize;
        } else if (ahead.count < kRecordAhead) {
            ahead.count += ReadUpTo(ahead.bytes + ahead.count, kRecordAhead - ahead.count);
            if (ahead.count < kSignatureSize) ReadError(kReadSignature);
        }
        const uint8_t* signature = ahead.bytes;
        if (SameSignature(signature, state.sigLocal)) {
            ExtractEntry(&ahead);
        } else if (SameSignature(signature, state.sigSpan)) {
            if (!state.spanned) BadZipHeader();
        } else if (SameSignature(signature, state.sigCentral)) {
            if (state.spanned) return;
            SkipCentralHeader(&ahead);
            continue;  // the next record's first bytes are held
        } else if (SameSignature(signature, state.sigEnd) || SameSignature(signature, state.sigDigitalSignature)) {
            ReadEndRecord(&ahead);
            return;
        } else if (SameSignature(signature, state.sigSpanTemp)) {
            // A marker only: the next record follows its 4 bytes.
            ahead.count -= kSignatureSize;
            memmove(ahead.bytes, ahead.bytes + kSignatureSize, ahead.count);
            continue;
        } else if (!state.spanned) {
            BadZipHeader();
        }
        // In a spanned set unknown bytes are passed over 4 at a time.
        ahead.count = 0;
    }
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
    // What the system side gathered reaches the file before its time is set.
    CheckFlush(sfxPlatform.flushFile(state.outputFile));
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
