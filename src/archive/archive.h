// Archive reading: input and volumes, and the extraction run.
#ifndef KVSFX_ARCHIVE_H
#define KVSFX_ARCHIVE_H

#include <stdint.h>

// Message 36 with archivePath and " <code>", then FatalError.
[[noreturn]] void ReadError(int code);

void OpenArchive();
int NextInputByte(uint16_t* out);  // 8 with a byte, 0 at the end of the entry's data
int32_t RefillInput();
void ReadExact(uint32_t count, void* destination);  // stores a zero after the bytes
uint32_t SkipEntryData();
uint16_t ReadDiskNumber(const char* root);  // 0xFFFF: no readable label
void ChangeVolume(uint16_t wantedDisk, int namedExe);

// One extraction run: 0 finished, 1 Cancel at the overwrite question,
// 2 error, abort or cancelled disk prompt.
int ExtractArchive();
void WalkArchive();
void ExtractEntryData();

#endif
