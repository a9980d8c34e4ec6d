// Decoding and integrity: the inflater, CRC-32 and the output stage, and the
// traditional PKWARE decryption.
#ifndef KVSFX_CODEC_H
#define KVSFX_CODEC_H

#include <stdint.h>

#include "format/zip_records.h"

// Inflater. Decodes one raw deflate stream from NextInputByte to FlushWindow;
// "not enough memory" is a FatalError. Its results (also those of the table
// builder and of each block):
enum : int {
    kInflateOk = 0,       // decoded to the end of the last block (a block: to its end)
    kInflateBadData = 1,  // malformed or incomplete data (see inflate.cpp)
    kInflateBadCode = 2,  // block type 3, or an over-subscribed code
};
int InflateStream();
// The window: kWindowAllocation bytes, preceded by kWindowHistory bytes in
// which each full window is copied when it is handed on, so that a match
// reaches back into the previous window without wrapping. Null when memory
// runs out; ReleaseWindow takes what AllocateWindow gave, or null.
uint8_t* AllocateWindow();
void ReleaseWindow(uint8_t* window);

// CRC-32 (reflected 0xEDB88320).
void BuildCrcTable();
void UpdateCrc(const uint8_t* data, uint32_t length);
// Whether UpdateCrc may use the processor's carry-less multiply where it
// has one (BuildCrcTable allows it); 1 when it does. Tests turn it off to
// check the portable code.
int UseFastCrc(int allowed);

// Output stage.
void FlushWindow(uint32_t count);
// Memory mode: count bytes to the target as the window's would go.
void PutIntoMemory(const uint8_t* from, uint32_t count);
void WriteOutputBuffer();

// Traditional decryption.
void InitKeys(const char* password);
void UpdateKeys(uint8_t plain);
uint8_t DecryptByte();
int ReadEncryptionHeader();                          // 1 when a stored password passes the check
int CheckEncryptionHeader(const uint8_t header[kEncryptionHeaderSize]);  // 0 match, -1 otherwise

// Password prompt: non-zero to go on, 0 when the user cancelled.
uint8_t PromptForPassword(void* parent);
// Stores text (1..254 characters) as the new password, releasing the old
// one; 1 when stored. Used by every password front-end.
int AcceptPassword(const char* text);

#endif
