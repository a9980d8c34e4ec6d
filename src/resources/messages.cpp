// The message table: loading the embedded table stream once at start-up,
// and the lookup every subsystem gets its texts through.
//
// The streams, the offset table and the block size are generated data
// (message_data.cpp, from messages.txt by tools/gen_messages.py).
#include <string.h>

#include "codec/codec.h"
#include "failure/failure.h"
#include "resources/message_data.h"
#include "resources/messages.h"
#include "startup/sfx_state.h"

const char programTitle[] = "Kelvra Self-Extractor";

namespace {

// Written into the last two bytes of the work block before inflating; an
// inflated table that reaches them has overwritten at least the first.
const uint8_t kGuardFirst = 0xDE;
const uint8_t kGuardSecond = 0xAD;
const uint32_t kGuardSize = 2;

// Step 4: the table fitted its block. Besides the guard bytes, the output
// must have stopped before them (an overflow whose bytes happen to equal the
// guards would pass the guards alone), and the stream must have decoded
// completely: a damaged stream would otherwise leave a table of missing or
// garbled texts behind intact guards.
bool TableFitted(const uint8_t* block, int inflateResult) {
    uint32_t usable = messageBlockSize - kGuardSize;
    if (block[usable] != kGuardFirst || block[usable + 1] != kGuardSecond) return false;
    if (state.outPtr > block + usable) return false;
    return inflateResult == 0;
}

}  // namespace

int InflateEmbedded(const uint8_t* stream, uint32_t length, uint8_t* target, uint32_t capacity) {
    // With memoryMode set, the reader never refills from the archive: the
    // stream is its whole source.
    state.input.next = stream;
    state.input.left = (int32_t)length;
    state.outPtr = target;
    state.outLimit = target + capacity;
    state.outCount = 0;
    state.memoryMode = 1;
    int result = InflateStream();
    state.memoryMode = 0;
    state.input.next = 0;
    state.input.left = 0;
    return result;
}

void LoadMessageStream(const uint8_t* stream, uint32_t length) {
    // 1. The zero-filled work block.
    uint8_t* work = (uint8_t*)sfxPlatform.allocate(messageBlockSize);
    if (work == 0) HeaderCorruptError();

    // 2. The guard bytes, the block's last two.
    work[messageBlockSize - 2] = kGuardFirst;
    work[messageBlockSize - 1] = kGuardSecond;

    // 3. Inflate in memory mode. The whole block is the target, so that an
    //    overlong table runs into the guards rather than past the block.
    int result = InflateEmbedded(stream, length, work, messageBlockSize);

    // 4. The guards, and the end of the output.
    if (!TableFitted(work, result)) {
        sfxPlatform.release(work);
        HeaderCorruptError();
    }

    // 5. Only the texts are in the OEM code page; the template that follows
    //    them holds UTF-16 and stays as it is.
    sfxPlatform.oemToAnsi((char*)work, messageOffsets[MSG_MAIN_DIALOG]);

    // 6. The kept block. Its allocation is tested like the work block's: a
    //    copy into nothing would crash the start-up.
    uint8_t* kept = (uint8_t*)sfxPlatform.allocate(messageBlockSize);
    if (kept == 0) {
        sfxPlatform.release(work);
        HeaderCorruptError();
    }
    memcpy(kept, work, messageBlockSize);
    state.messageTable = kept;

    // 7. The work block is no longer needed.
    sfxPlatform.release(work);
}

void LoadMessages() {
    LoadMessageStream(messageTableStream, messageTableStreamLength);
}

const char* MessageText(int index) {
    return (const char*)state.messageTable + messageOffsets[index];
}
