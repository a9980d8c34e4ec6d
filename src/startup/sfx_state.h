// The one process-wide record of the stub, the configuration block that the
// builder filled in, and the constants every subsystem shares.
//
// The stub is written as plain procedures over `state` and fixed buffers: no
// exceptions, no RTTI, no iostreams. Every field below says what it holds and
// which subsystem sets it.
#ifndef KVSFX_SFX_STATE_H
#define KVSFX_SFX_STATE_H

#include <stddef.h>
#include <stdint.h>

#include "failure/recovery.h"
#include "format/sfx_block.h"
#include "format/zip_records.h"
#include "platform/platform.h"

// ---------------------------------------------------------------------------
// Fixed sizes. Each one is named once, here, by the subsystem that owns it;
// the header texts' sizes (kCustomTitleSize, kInfoTextSize,
// kStartupPromptSize, kProgramLineSize) and the limits of the archive
// (kMaxNameLength) are those of the file, in format/.

enum : uint32_t {
    kPathCapacity = kMaxPathLength + 1,       // archivePath, destFolder: 260 characters + zero
    kEntryNameCapacity = kMaxNameLength + 1,  // entryName: 260 characters + zero
    kCurrentNameCapacity = 288,               // currentName
    kMessageBufferSize = 500,                 // messageBuffer, and every message text by default
    kWindowSize = 32768,                      // the inflater's sliding window
    kWindowAllocation = 32776,                // from the window's start: the window and 8 bytes of slack
    kWindowHistory = 32768,                   // before the window: a copy of the last full window (AllocateWindow)
    kChunkSize = 2048,                        // one refill of the input, one write-out of output
    kCodecBufferAllocation = 2068,            // InputBuffer area and outBuffer allocations
    kMaxOutputPath = 259,                     // longest output path
    kWorkPathCapacity = 517,                  // working copies of paths: 516 characters + zero
    kKnownFolderSlots = 8,                    // folder paths a run remembers (output/)
    kMadeNameBytes = 32768,                   // bits of the names a run made in its own folders (output/)
};

// The block itself (its layout and flags are in format/sfx_block.h).
// Volatile so that the compiler never folds a field into a constant: the
// builder changes the bytes in the file after the link.
extern volatile SfxConfigBlock sfxConfigBlock;

// Meter progress reaches 100 % at this many bytes; shown at once from this
// end-record offset on.
enum : int32_t { kMeterAtOnceOffset = 0x80000 };

// ---------------------------------------------------------------------------
// Records of the run.

// Buffered archive input: the current entry's compressed data, or an
// embedded stream in memory.
struct InputBuffer {
    uint8_t* data;        // 2068-byte area allocated at start-up; refills use the first 2048
    const uint8_t* next;  // next byte to deliver
    int32_t left;         // bytes at next not yet delivered
};

// The local file header after its signature, decoded from the 26 bytes read
// in one piece.
struct LocalFileHeader {
    uint16_t versionNeeded;     // not used
    uint16_t flags;             // bit 0 encrypted, bit 3 data descriptor follows
    uint16_t method;            // 0 stored, 8 deflated
    uint16_t modTime;           // DOS time
    uint16_t modDate;           // DOS date
    uint32_t crc32;             // CRC-32 of the uncompressed data
    uint32_t compressedSize;    // compressed size (encryption header included)
    uint32_t uncompressedSize;  // uncompressed size
    uint16_t nameLength;        // file name length
    uint16_t extraLength;       // extra field length
};
enum : uint32_t { kLocalHeaderSize = kLocalFixedSize - kSignatureSize };

// The three keys of the traditional PKWARE cipher.
struct ZipCryptoKeys {
    uint32_t key0;  // a CRC-32 register
    uint32_t key1;  // a linear congruential value
    uint32_t key2;  // a CRC-32 register; the keystream is drawn from it
};

// ---------------------------------------------------------------------------
// SfxState: zero at process start except currentDisk (1). ResetSfxState puts
// it back in that state (tests run SfxMain more than once per process).

struct SfxState {
    // Start-up and configuration (startup/)
    void* instance;                  // module instance handle, set by SfxMain
    void* waitCursor;                // system wait cursor, loaded by SfxMain
    void* arrowCursor;               // system arrow cursor, loaded by SfxMain
    uint32_t systemVersion;          // GetVersion result kept by SfxMain (low byte: major)
    char archivePath[kPathCapacity]; // full path of the program; last component in long form
    char* messageBuffer;             // 500-byte shared formatting area, allocated by SfxMain
    char* customTitle;               // 65-byte block: creator's title (only with SFXF_CUSTOM_TITLE)
    char* infoText;                  // 512-byte block: text of "-info"
    char* startupPrompt;             // 514-byte block with the start-up prompt, or null
    char destFolder[kPathCapacity];  // destination folder (header, command line, dialog)
    uint8_t autoMode;                // extract at once and close (SFXF_AUTO, command line)
    uint8_t overwriteAll;            // replace existing files without asking (SFXF_OVERWRITE_DEFAULT, dialog)
    int exitCode;                    // what SfxMain returns: 0 normal, 2 refused file or failed run
    char programLine[kProgramLineSize];  // program to start after a finished run, with its arguments; empty: none
    uint8_t programPending;          // a run finished: programLine starts once the dialog has closed

    // Archive input and volumes (archive/)
    FileHandle archiveFile;          // open archive or current volume; 0 when none
    uint8_t spanned;                 // archive spread over several disks (SFXF_SPANNED)
    uint8_t volumesNamedExe;         // volume files end in ".EXE" rather than ".ZIP" (SFXF_EXE_VOLUMES)
    uint16_t currentDisk;            // number of the disk last accepted; 1 at start
    uint8_t sigLocal[4];             // "PK" 03 04, assembled by LoadConfiguration
    uint8_t sigCentral[4];           // "PK" 01 02
    uint8_t sigEnd[4];               // "PK" 05 06
    uint8_t sigDigitalSignature[4];  // "PK" 05 05
    uint8_t sigSpan[4];              // "PK" 07 08
    uint8_t sigSpanTemp[4];          // "PK00"
    InputBuffer input;               // compressed bytes of the current entry, or an embedded stream
    uint32_t compressedLeft;         // compressed bytes of the current entry not yet consumed

    // The extraction run (archive/)
    LocalFileHeader localHeader;             // current entry's local header
    uint8_t entryHasUtcTime;                 // the local extra field gave entryUtcTime
    int64_t entryUtcTime;                    // modification time, seconds since 1970 UTC (extended timestamp)
    uint8_t entryEncrypted;                  // bit 0 of the last local header (SFXF_ENCRYPTED before the first)
    uint8_t entryHasDescriptor;              // bit 3 of the last local header
    char entryName[kEntryNameCapacity];      // name as stored, then the output path (output/)
    char currentName[kCurrentNameCapacity];  // name shown in messages
    int32_t filesExtracted;                  // file entries whose data phase ran in this run
    uint8_t extracting;                      // a run is in progress (read by the dialog's timer)
    FileHandle outputFile;                   // output file being written; 0 when none
    char partName[kEntryNameCapacity];       // temporary path outputFile has until complete; empty when none
    char knownFolders[kKnownFolderSlots][kWorkPathCapacity];  // folders this run checked or made (output/)
    uint32_t knownFolderLengths[kKnownFolderSlots];            // their lengths; 0 for an empty slot
    uint32_t knownFolderNext;                                  // the slot taken next
    uint32_t knownFolderMade[kKnownFolderSlots];  // length of the slot's first folder this run made; 0: none
    uint8_t madeNames[kMadeNameBytes];            // hashed paths this run made or chose in its folders
    uint8_t plainNamesOnly;                       // every entry name of the run so far is plain (output/)

    // Failure reporting (failure/)
    RunContext runContext;        // active recovery point: start-up's, or the run's
    int recoveryValue;            // value carried by the last non-local return (1 or 2)
    uint8_t inRun;                // runContext is the run's (ExtractArchive armed it)
    uint8_t startupArmed;         // runContext holds the start-up's recovery point
    uint32_t internalErrorCount;  // entries into InternalError

    // Messages (resources/)
    uint8_t* messageTable;  // inflated MessageTable block, or null before LoadMessages

    // Inflater (codec/)
    uint8_t* window;        // OutputWindow: 32768 bytes used of a 32776-byte block
    uint32_t bitBuffer;     // bits fetched but not consumed; next bit is the lowest
    uint16_t bitCount;      // valid bits in bitBuffer
    uint16_t windowPos;     // where the next decoded byte goes, 0..32768
    uint16_t inputByte;     // cell NextInputByte stores each delivered byte into
    uint8_t memoryMode;     // an embedded stream is being inflated into memory
    uint8_t windowWrapped;  // the current stream has filled the window once: a distance may reach a whole window back
                            // (kHistoryInTarget: the history is still the memory target's last 32 KiB)
    uint32_t outputLeft;    // file mode: bytes the entry may still produce (the walk sets its declared size)

    // Output stage and CRC-32 (codec/)
    uint8_t* outBuffer;        // 2048 bytes used of a 2068-byte block
    uint8_t* outPtr;           // where the next output byte goes
    uint8_t* outLimit;         // memory mode: end of the target block; nothing is written past it
    int32_t outCount;          // bytes gathered since the last write-out, 0..2048
    uint32_t crcTable[256];    // CRC-32 table, built once at start-up
    uint32_t crc;              // running CRC-32 register
    uint32_t bytesDone;        // bytes through WriteOutputBuffer in this run
    uint32_t lastMeterBytes;   // bytesDone at the last meter refresh
    uint8_t meterShown;        // the meter is visible in this run

    // Traditional decryption (codec/)
    char* password;      // last accepted password (owned block), or null
    ZipCryptoKeys keys;  // cipher state of the current encrypted entry

    // Main dialog (ui/)
    void* mainDialog;        // the main dialog; null before it exists; owner of message boxes
    uintptr_t progressTimer; // pending show-the-meter timer id, 0 when none
};

extern SfxState state;

// Puts state back to its process-start values (all zero, currentDisk 1).
void ResetSfxState();

#endif
