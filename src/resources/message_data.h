// The embedded data of the message table, defined in message_data.cpp, which
// tools/gen_messages.py writes from messages.txt; and the loader's inner step,
// which tests feed with streams of their own.
#ifndef KVSFX_MESSAGE_DATA_H
#define KVSFX_MESSAGE_DATA_H

#include <stdint.h>

#include "resources/messages.h"

// Word i is the offset of entry i in the inflated table; word 53 is
// mainTemplateOffset. Each text lies right after the terminator of the one
// before it.
extern const uint32_t messageOffsets[kMessageCount];

// The table stream: raw deflate of the 53 texts (code page 850) followed by
// the main dialog template.
extern const uint8_t messageTableStream[];
extern const uint32_t messageTableStreamLength;
extern const uint32_t messageTableLength;  // inflated bytes: texts and template
extern const uint32_t mainTemplateOffset;  // where the template starts; also the length of the text part
// The work block and the kept MessageTable block: the inflated table and the
// 1024-byte template copy both fit before its last two bytes, the guards.
extern const uint32_t messageBlockSize;

extern const uint32_t passwordTemplateLength;  // inflated bytes of passwordTemplateStream

// LoadMessages on another stream: inflates it into a guarded work block,
// converts the text part, keeps the block in state.messageTable.
// HeaderCorruptError when a block is missing or the stream does not fit.
void LoadMessageStream(const uint8_t* stream, uint32_t length);

#endif
