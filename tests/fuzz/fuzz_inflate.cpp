// libFuzzer target for the inflater. The first byte of an input chooses how
// the stream is decoded, the rest is the stream:
//   bit 0 clear: memory mode, into a target of exactly n * 64 + 1 bytes, or
//                with bit 7 set n * 2048 + 1, where n is bits 1-6 (the
//                sanitizers watch its end);
//   bit 0 set:   file mode, through the 2,048-byte write-outs with their CRC
//                and write check, to a writer that keeps nothing, for an
//                entry that declares (byte >> 1) * 4096 bytes.
// Whatever the bytes, InflateStream must return 0, 1 or 2: no crash, no
// hang, no write outside the window, the output buffer or the target, and no
// table left allocated.
#include <stdint.h>
#include <stdlib.h>
#include <string.h>

#include <vector>

#include "codec/codec.h"
#include "startup/sfx_state.h"

namespace {

const FileHandle kOutputHandle = 0x4f55;

int32_t DiscardWrite(FileHandle, const void*, uint32_t count) { return (int32_t)count; }

bool SetUp() {
    sfxPlatform.writeFile = DiscardWrite;
    state.window = AllocateWindow();
    state.outBuffer = (uint8_t*)sfxPlatform.allocate(kCodecBufferAllocation);
    state.input.data = (uint8_t*)sfxPlatform.allocate(kCodecBufferAllocation);
    state.messageBuffer = (char*)sfxPlatform.allocate(kMessageBufferSize);
    BuildCrcTable();
    return true;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static bool ready = SetUp();
    (void)ready;
    if (size < 1) return 0;
    uint8_t mode = data[0];
    // The stream in a block of its own size, so that reading past it shows.
    std::vector<uint8_t> stream(data + 1, data + size);

    state.input.next = stream.data();
    state.input.left = (int32_t)stream.size();
    state.compressedLeft = 0;
    state.outCount = 0;
    std::vector<uint8_t> target;
    if (mode & 1) {
        state.memoryMode = 0;
        state.outputFile = kOutputHandle;
        state.outPtr = state.outBuffer;
        state.outputLeft = (uint32_t)(mode >> 1) * 4096;
        state.crc = 0xFFFFFFFFu;
    } else {
        // The larger targets leave room for a long stored block to go
        // around the window.
        target.resize((size_t)((mode >> 1) & 0x3F) * (mode & 0x80 ? 2048 : 64) + 1);
        state.memoryMode = 1;
        state.outPtr = target.data();
        state.outLimit = target.data() + target.size();
    }

    int result = InflateStream();
    if (result < 0 || result > 2) abort();
    if (state.memoryMode && (state.outPtr < target.data() || state.outPtr > target.data() + target.size())) abort();
    if (!state.memoryMode && state.outputLeft > (uint32_t)(mode >> 1) * 4096) abort();

    state.memoryMode = 0;
    state.outPtr = nullptr;
    state.outLimit = nullptr;
    state.input.next = nullptr;
    state.input.left = 0;
    return 0;
}
