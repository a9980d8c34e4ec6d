// Archive input: the archive handle, the buffered reader of an entry's
// compressed data (decrypting on the fly), skipping in spanned sets, and the
// volume changes of a set spread over several disks.
//
// Nothing here returns an error to its caller: a read that fails ends the run
// through ReadError, a volume that cannot be opened through
// HeaderCorruptError, and the user's refusal at a disk prompt through a
// non-local return with 2.
#include "archive/archive.h"
#include "codec/codec.h"
#include "failure/failure.h"
#include "output/output.h"
#include "resources/messages.h"
#include "startup/startup.h"
#include "startup/text.h"

namespace {

enum : uint32_t {
    kRootCapacity = 8,          // "A:" and its zero, with room to spare
    kVolumeLabelCapacity = 32,  // the label as the system reports it
};

enum : uint16_t { kNoDiskNumber = 0xFFFF };

// "PKBACK#": the first seven characters of every disk label of a set.
const char kBackupLabelPrefix[] = "PKBACK#";

int IsDigit(char c) { return c >= '0' && c <= '9'; }

// The next disk of the set, in 16 bits (disk 0xFFFF is followed by 0, the
// number by which the last disk is asked for).
uint16_t NextDisk() { return (uint16_t)(state.currentDisk + 1); }

// Current position and length of archiveFile; ReadError 2 when either
// cannot be measured. Leaves the position at the end.
int64_t BytesToEnd(int64_t* position) {
    *position = sfxPlatform.seekFile(state.archiveFile, 0, kSeekCurrent);
    int64_t end = sfxPlatform.seekFile(state.archiveFile, 0, kSeekEnd);
    if (*position < 0 || end < *position) ReadError(2);
    return end - *position;
}

// Steps 3-5 of a volume change: until the drive holds the wanted disk (or
// the user says to take the one there), asks for it. The user's Abort or
// Cancel ends the run with 2.
void AwaitDisk(uint16_t wantedDisk, const char* root) {
    for (;;) {
        uint16_t number = ReadDiskNumber(root);
        while (number == kNoDiskNumber) {
            FormatGuarded(state.messageBuffer, kMessageBufferSize, kGuardNoDiskText, MessageText(MSG_NO_DISK_OR_LABEL),
                          wantedDisk);
            int answer = sfxPlatform.messageBox(state.mainDialog, state.messageBuffer, programTitle,
                                                kBoxIconQuestion | kBoxAbortRetryIgnore);
            if (answer == kAnswerAbort) NonLocalReturn(2);
            if (answer == kAnswerIgnore) {  // the disk in the drive is taken as the wanted one
                number = wantedDisk;
                break;
            }
            number = ReadDiskNumber(root);  // Retry
        }
        state.currentDisk = number;
        if (number == wantedDisk) return;

        if (wantedDisk == 0)  // disk 0: the last disk of the set
            FormatGuarded(state.messageBuffer, kMessageBufferSize, kGuardInsertDiskText,
                          MessageText(MSG_INSERT_LAST_DISK), root);
        else
            FormatGuarded(state.messageBuffer, kMessageBufferSize, kGuardInsertDiskText, MessageText(MSG_INSERT_DISK),
                          wantedDisk, root);
        int answer = sfxPlatform.messageBox(state.mainDialog, state.messageBuffer, programTitle, kBoxOkCancel);
        if (answer != kAnswerOk) NonLocalReturn(2);
    }
}

// Step 6 of a volume change: the volume file is the program's path with the
// extension of its file name replaced by ".EXE" or ".ZIP". Only a '.' of the
// last component counts (a '.' in a folder name is no extension); a name
// without one gets the extension appended.
void MakeVolumePath(char* volumePath, int namedExe) {
    if (CopyText(volumePath, kPathCapacity, state.archivePath) >= kPathCapacity)
        InternalError(SFX_GUARD_MODULE, kGuardVolumePathCopy);
    char* name = LastComponent(volumePath);
    char* dot = 0;
    for (char* p = name; *p != 0; p = sfxPlatform.nextChar(p))
        if (*p == '.') dot = p;
    if (dot == 0) dot = name + TextLength(name);
    const char* extension = namedExe ? ".EXE" : ".ZIP";
    uint32_t keep = (uint32_t)(dot - volumePath);
    if (keep + TextLength(extension) >= kPathCapacity) InternalError(SFX_GUARD_MODULE, kGuardVolumePathRenamed);
    CopyText(dot, kPathCapacity - keep, extension);
}

}  // namespace

// Message 36 with the program's path (also after volume changes), then
// " <code>", then the fatal error that ends the run.
[[noreturn]] void ReadError(int code) {
    uint32_t length = FormatGuarded(state.messageBuffer, kMessageBufferSize, kGuardReadErrorText,
                                    MessageText(MSG_READ_ERROR), state.archivePath);
    FormatGuarded(state.messageBuffer + length, kMessageBufferSize - length, kGuardReadErrorText, " <%d>", code);
    FatalError(state.messageBuffer);
}

// The program file, read-only, with writers kept out.
void OpenArchive() {
    state.archiveFile = sfxPlatform.openFile(state.archivePath, kShareDenyWrite);
    if (state.archiveFile == 0) HeaderCorruptError();
}

// The next compressed byte of the current entry into *out (zero-extended);
// 8 when a byte was delivered, 0 at the end of the entry's data (*out then
// unchanged). A buffer found empty (left 0, or below after a refill that
// brought nothing) is refilled; stale bytes are never delivered again.
int NextInputByte(uint16_t* out) {
    if (state.input.left <= 0) {
        if (RefillInput() == 0) return 0;
    } else {
        state.input.left--;
    }
    *out = *state.input.next++;
    return 8;
}

// Fills the buffer with the next chunk of the entry's compressed data, at
// most 2048 bytes and never past the entry's end; decrypts it in place when
// the entry is encrypted. Returns the bytes placed there, 0 at the end of
// the data. On return next is at the first byte and left counts the bytes
// after it (the caller takes the first at once).
int32_t RefillInput() {
    // 1. Exhausted, or an embedded stream in memory that has run out.
    if (state.compressedLeft == 0 || state.memoryMode) {
        state.input.left = 0;
        return 0;
    }

    // 2. One chunk.
    uint32_t request = state.compressedLeft < kChunkSize ? state.compressedLeft : (uint32_t)kChunkSize;
    int32_t got = sfxPlatform.readFile(state.archiveFile, state.input.data, request);

    if (state.spanned && got >= 0 && (uint32_t)got < request) {
        // 3. The volume ended inside the chunk: what came is delivered now,
        // the rest comes from the next disk. A volume that ended exactly at
        // the previous chunk gives the chunk from the next disk at once; an
        // empty next volume in the middle of the data is a read error.
        ChangeVolume(NextDisk(), state.volumesNamedExe);
        if (got == 0) {
            got = sfxPlatform.readFile(state.archiveFile, state.input.data, request);
            if (got <= 0) ReadError(2);
        }
    } else if (got < 0 || (uint32_t)got != request) {
        // 4. Not spanned, or the read failed outright.
        ReadError(2);
    }

    // 5.
    state.compressedLeft -= (uint32_t)got;
    state.input.next = state.input.data;

    // 6. The only place where entry data is decrypted.
    if (state.entryEncrypted) {
        uint8_t* data = state.input.data;
        for (int32_t i = 0; i < got; i++) {
            data[i] = (uint8_t)(data[i] ^ DecryptByte());
            UpdateKeys(data[i]);
        }
    }

    // 7.
    state.input.left = got - 1;
    return got;
}

// Exactly count bytes from the current position into destination, then a
// zero byte (destination holds count + 1 bytes). Fewer: ReadError 1.
void ReadExact(uint32_t count, void* destination) {
    uint8_t* bytes = (uint8_t*)destination;
    int32_t got = sfxPlatform.readFile(state.archiveFile, bytes, count);
    if (got < 0 || (uint32_t)got != count) ReadError(1);
    bytes[count] = 0;
}

// One step over the current entry's unread compressed data, crossing to the
// next volume when this one ends inside it. Returns the bytes skipped; 0
// only when the data is exhausted.
uint32_t SkipEntryData() {
    // 1.
    if (state.compressedLeft == 0) return 0;

    // 2. What this volume still holds.
    int64_t position = 0;
    int64_t available = BytesToEnd(&position);

    uint32_t skipped;
    if (available > (int64_t)state.compressedLeft) {
        // 3. The data ends inside this volume.
        skipped = state.compressedLeft;
        if (sfxPlatform.seekFile(state.archiveFile, position + skipped, kSeekSet) != position + skipped) ReadError(2);
    } else if (available == (int64_t)state.compressedLeft) {
        // 4. It ends exactly at the volume's end, where the position now is.
        skipped = state.compressedLeft;
    } else {
        // 4. The volume ends inside the data: up to its end, then the next disk.
        if (!state.spanned) ReadError(2);
        skipped = (uint32_t)available;
        ChangeVolume(NextDisk(), state.volumesNamedExe);
        if (available == 0) {
            // Rule 3 on the new volume, from its start. An empty volume in the
            // middle of the data cannot be skipped over.
            available = BytesToEnd(&position);
            if (available == 0) ReadError(2);
            skipped = available > (int64_t)state.compressedLeft ? state.compressedLeft : (uint32_t)available;
            if (sfxPlatform.seekFile(state.archiveFile, position + skipped, kSeekSet) != position + skipped)
                ReadError(2);
        }
    }

    // 5.
    state.compressedLeft -= skipped;
    state.input.next = state.input.data;
    return skipped;
}

// The disk number in the volume label of root ("A:"): the run of decimal
// digits after the first '.' or ' ' of a label that begins with "PKBACK#".
// 0xFFFF when the label cannot be read, lacks the prefix, the '.' or ' ', or
// holds no digit after it (a label naming no disk is treated as no label).
uint16_t ReadDiskNumber(const char* root) {
    // 1.
    char rootCopy[kRootCapacity];
    if (CopyText(rootCopy, sizeof rootCopy, root) >= sizeof rootCopy) InternalError(SFX_GUARD_MODULE, kGuardVolumeRoot);

    // 2.
    char label[kVolumeLabelCapacity];
    label[0] = 0;
    if (!sfxPlatform.volumeLabel(rootCopy, label, sizeof label)) return kNoDiskNumber;
    label[sizeof label - 1] = 0;

    // 3. Case-sensitive prefix.
    if (CompareBytes(label, kBackupLabelPrefix, sizeof kBackupLabelPrefix - 1) != 0) return kNoDiskNumber;

    // 4.
    const char* p = label;
    while (*p != 0 && *p != '.' && *p != ' ') p++;
    if (*p == 0) return kNoDiskNumber;

    // 5. The first run of digits after it, kept to 16 bits.
    while (*p != 0 && !IsDigit(*p)) p++;
    if (*p == 0) return kNoDiskNumber;
    uint32_t number = 0;
    for (; IsDigit(*p); p++) number = number * 10 + (uint32_t)(*p - '0');
    return (uint16_t)number;
}

// Closes the current volume, makes sure the wanted disk (0: the last one) is
// in the drive, prompting as needed, and opens the volume file on it: the
// program's own name with ".EXE" when namedExe is set, else ".ZIP". Returns
// only on success.
void ChangeVolume(uint16_t wantedDisk, int namedExe) {
    // 1.
    if (state.archiveFile != 0) sfxPlatform.closeFile(state.archiveFile);
    state.archiveFile = 0;

    // 2. The drive is the program's: its first character and a colon.
    char root[3] = {state.archivePath[0], ':', 0};

    // 3-5.
    AwaitDisk(wantedDisk, root);

    // 6-7.
    char volumePath[kPathCapacity];
    MakeVolumePath(volumePath, namedExe);
    state.archiveFile = sfxPlatform.openFile(volumePath, kShareDenyWrite);
    if (state.archiveFile == 0) HeaderCorruptError();
}
