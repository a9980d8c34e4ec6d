// Failure reporting: the fatal error that ends a run (or the start-up), the
// header-corrupt error, and the internal error with its report file.
#ifndef KVSFX_FAILURE_H
#define KVSFX_FAILURE_H

#include <stdint.h>

#include "platform/platform.h"

// The module every internal-error guard names, and the fixed line of each guard.
#define SFX_GUARD_MODULE "sfxhead"
enum GuardLine : int {
    kGuardCreateFileText = 1405,     // message 28 text in CreateOutputFile
    kGuardVolumeRoot = 1603,         // root text in ReadDiskNumber
    kGuardNoDiskText = 1706,         // message 4 prompt
    kGuardInsertDiskText = 1731,     // message 1 or 2 prompt
    kGuardVolumePathCopy = 1747,     // copy of archivePath for a volume path
    kGuardVolumePathRenamed = 1756,  // volume path with its new extension
    kGuardOutputFolderCopy = 1989,   // BuildOutputPath: copy of destFolder
    kGuardOutputPathText = 2001,     // BuildOutputPath: message 28 text
    kGuardOutputPathJoin = 2008,     // BuildOutputPath: joined path
    kGuardFolderCopy = 2058,         // CreateFolders: copy of destFolder
    kGuardFolderSeparator = 2065,    // CreateFolders: separator appended
    kGuardFolderEntryText = 2071,    // CreateFolders: message 32 text for a long folder entry
    kGuardFolderEntryJoin = 2077,    // CreateFolders: entry name appended
    kGuardFolderFileCopy = 2083,     // CreateFolders: copy of a file's output path
    kGuardBadDriveText = 2093,       // CreateFolders: message 45 text
    kGuardMakeFolderText = 2194,     // CreateFolders: message 32 text for a failed creation
    kGuardOverwriteText = 2249,      // ConfirmOverwrite: message 16 text (320-byte area)
    kGuardWriteErrorText = 2385,     // CheckWrite: message 35 text
    kGuardReadErrorText = 2407,      // ReadError: message 36 text
};

// "Kelvra Self-Extractor header corrupt.  Possible cause:  bad disk or file transfer error"
extern const char kHeaderCorruptText[];

// Shows text in an error box owned by mainDialog, then returns to the active
// recovery point with 2. Outside a run once the main dialog exists, a jump
// would cross the dialog manager's frames: the process ends instead, as the
// start-up's point would end it.
[[noreturn]] void FatalError(const char* text);

// FatalError with kHeaderCorruptText; state.exitCode becomes 2.
[[noreturn]] void HeaderCorruptError();

// Box, "KVSFX32.RPT" in the current folder, second box, exit code 1. A second
// entry ends the process at once.
[[noreturn]] void InternalError(const char* module, int line);

// Ends the process with code through the platform.
[[noreturn]] void EndProcess(uint32_t code);

#endif
