// The output stage behind the inflater and the stored-entry copy: window
// bytes gather in the 2,048-byte output buffer (or go straight to a memory
// target), and each full buffer advances the meter, folds into the entry's
// CRC and is written to the output file, which is also where the user may
// cancel the run.
#include <string.h>

#include "codec/codec.h"
#include "startup/sfx_state.h"
#include "ui/ui.h"

namespace {

// Memory mode: piece bytes to outPtr, never past outLimit. A stream that
// decodes to more than its target fills the target to its end (where the
// message loader keeps its guard bytes) and the rest is dropped.
void CopyToMemory(const uint8_t* from, uint32_t piece) {
    uint8_t* to = state.outPtr;
    uint32_t room = to != 0 && state.outLimit > to ? (uint32_t)(state.outLimit - to) : 0;
    if (piece > room) piece = room;
    if (piece == 0) return;
    memcpy(to, from, piece);
    state.outPtr = to + piece;
}

// Steps 1 to 6 of a write-out, over the 2,048 bytes at data: the output
// buffer, or a whole piece of the window that the buffer would only have
// held unchanged.
void WriteOut(const uint8_t* data) {
    // 1.
    state.bytesDone += (uint32_t)state.outCount;
    // 2. The meter, at most once per 64 KiB (the difference stays right when
    // the count passes 4 GiB).
    if (state.bytesDone - state.lastMeterBytes >= kMeterRefreshStep) {
        state.lastMeterBytes = state.bytesDone;
        RefreshMeter();
    }
    // 3.
    UpdateCrc(data, (uint32_t)state.outCount);
    // 4. A short or failed write, or the user's abort at the poll, ends the run.
    int32_t written = sfxPlatform.writeFile(state.outputFile, data, (uint32_t)state.outCount);
    CheckWrite(written);
    // 5, 6.
    state.outPtr = state.outBuffer;
    state.outCount = 0;
}

}  // namespace

void PutIntoMemory(const uint8_t* from, uint32_t count) {
    // Nothing is written out: the bytes go to the target in one copy, and
    // the count keeps the place of a write-out as the pieces did.
    CopyToMemory(from, count);
    state.outCount = (int32_t)(((uint32_t)state.outCount + count) % kChunkSize);
}

void FlushWindow(uint32_t count) {
    // 1. From window index 0 onward.
    const uint8_t* from = state.window;
    if (state.memoryMode) {
        PutIntoMemory(from, count);
        return;
    }
    // 2. Pieces that fill the output buffer up to its 2,048 bytes.
    while (count > 0) {
        uint32_t piece = kChunkSize - (uint32_t)state.outCount;
        if (piece > count) piece = count;
        if (piece == kChunkSize) {
            // A whole write-out, written from the window itself: the same
            // bytes in the same writes, without their copy.
            state.outCount = (int32_t)kChunkSize;
            WriteOut(from);
            from += piece;
            count -= piece;
            continue;
        }
        memcpy(state.outPtr, from, piece);
        state.outPtr += piece;
        state.outCount += (int32_t)piece;
        from += piece;
        count -= piece;
        if (state.outCount == (int32_t)kChunkSize) WriteOutputBuffer();
    }
}

void WriteOutputBuffer() {
    if (state.memoryMode) {
        state.outCount = 0;
        return;
    }
    WriteOut(state.outBuffer);
}
