// Output gathering, shared by both sides of the seam: the stub hands its
// output over in write-outs of 2,048 bytes (each with its meter step, CRC
// and cancellation poll); the system takes them 64 KiB at a time. Only the
// file being extracted is gathered, one at a time; its bytes reach the
// system when 64 KiB have gathered, at flushFile, and before its times are
// set or it is closed.
//
// A write the system refuses, or takes in part, is reported by the call
// that made it (the write-out that filled the area, or flushFile) as a
// failed write, and the gathered bytes are dropped: nothing is written
// twice, and the file keeps what the system took.
#ifndef KVSFX_PLATFORM_GATHER_H
#define KVSFX_PLATFORM_GATHER_H

#include <stdint.h>
#include <string.h>

#include "platform/platform.h"

enum : uint32_t { kGatherSize = 64 * 1024 };

struct OutputGather {
    FileHandle file;  // the file being gathered; 0 when none
    uint32_t count;   // bytes waiting in bytes
    uint8_t bytes[kGatherSize];
};

// The system's write: bytes written, -1 on failure.
typedef int32_t (*SystemWrite)(FileHandle file, const void* buffer, uint32_t count);

// A file just created: its writes are gathered from now on. A file still
// gathered (never closed) gets its bytes first.
inline void GatherStart(OutputGather* gather, SystemWrite write, FileHandle file) {
    if (gather->file != 0 && gather->count != 0) write(gather->file, gather->bytes, gather->count);
    gather->file = file;
    gather->count = 0;
}

// Hands the waiting bytes to the system; 1 when it took them all.
inline int GatherFlush(OutputGather* gather, SystemWrite write) {
    uint32_t count = gather->count;
    gather->count = 0;
    return count == 0 || write(gather->file, gather->bytes, count) == (int32_t)count;
}

// A write to file: gathered when file is the gathered one, else written at
// once. As the system's write, count on success and -1 on failure.
inline int32_t GatherWrite(OutputGather* gather, SystemWrite write, FileHandle file, const void* buffer,
                           uint32_t count) {
    if (file == 0 || file != gather->file) return write(file, buffer, count);
    const uint8_t* from = (const uint8_t*)buffer;
    uint32_t left = count;
    while (left > 0) {
        uint32_t piece = kGatherSize - gather->count;
        if (piece > left) piece = left;
        memcpy(gather->bytes + gather->count, from, piece);
        gather->count += piece;
        from += piece;
        left -= piece;
        if (gather->count == kGatherSize && !GatherFlush(gather, write)) return -1;
    }
    return (int32_t)count;
}

// Before a file's times are set, before it is closed: its waiting bytes go
// to the system. 1 when they all went (or none waited, or file is not the
// gathered one).
inline int GatherFlushFile(OutputGather* gather, SystemWrite write, FileHandle file) {
    if (file == 0 || file != gather->file) return 1;
    return GatherFlush(gather, write);
}

// A file closed: gathering ends with it, after its last bytes went.
inline void GatherClose(OutputGather* gather, SystemWrite write, FileHandle file) {
    if (file == 0 || file != gather->file) return;
    GatherFlush(gather, write);
    gather->file = 0;
}

#endif
