// Output gathering and input read ahead, shared by both sides of the seam: the stub hands its
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

// Input read ahead, the other way round: the archive is read by headers of
// 30 bytes, names, and refills of 2,048 bytes; the system gives it 64 KiB
// at a time. One file is read ahead: the one opened last, or once that is
// closed, the next one read. Its position as the
// stub sees it is the system's less the bytes held and not yet delivered;
// seeks within what is held cost no system call, and the position is known
// without asking.
struct InputAhead {
    FileHandle file;  // the file read ahead; 0 when none
    int64_t end;      // the system's position: just after the bytes held
    uint32_t count;   // bytes held in bytes
    uint32_t next;    // the next of them to deliver
    uint8_t bytes[kGatherSize];
};

typedef int32_t (*SystemRead)(FileHandle file, void* buffer, uint32_t count);
typedef int64_t (*SystemSeek)(FileHandle file, int64_t offset, int origin);

// A file just opened (at position 0) is read ahead from now on; the one
// read ahead before gets back the position the stub left it at.
inline void AheadStart(InputAhead* ahead, SystemSeek seek, FileHandle file) {
    if (ahead->file != 0 && ahead->next < ahead->count)
        seek(ahead->file, ahead->end - (ahead->count - ahead->next), kSeekSet);
    ahead->file = file;
    ahead->end = 0;
    ahead->count = ahead->next = 0;
}

inline void AheadClose(InputAhead* ahead, FileHandle file) {
    if (file != 0 && file == ahead->file) ahead->file = 0;
}

// As the system's read: the bytes delivered (fewer at the end of the
// file), -1 on failure.
inline int32_t AheadRead(InputAhead* ahead, SystemRead read, SystemSeek seek, FileHandle file, void* buffer,
                         uint32_t count) {
    if (file != 0 && ahead->file == 0) {
        int64_t position = seek(file, 0, kSeekCurrent);
        if (position >= 0) {
            ahead->file = file;
            ahead->end = position;
            ahead->count = ahead->next = 0;
        }
    }
    if (file == 0 || file != ahead->file) return read(file, buffer, count);
    uint8_t* to = (uint8_t*)buffer;
    uint32_t done = 0;
    while (done < count) {
        if (ahead->next < ahead->count) {
            uint32_t piece = ahead->count - ahead->next;
            if (piece > count - done) piece = count - done;
            memcpy(to + done, ahead->bytes + ahead->next, piece);
            ahead->next += piece;
            done += piece;
            continue;
        }
        // Nothing held: a large request goes straight through, a small one
        // after a refill.
        uint32_t left = count - done;
        int32_t got = left >= kGatherSize ? read(file, to + done, left) : read(file, ahead->bytes, kGatherSize);
        if (got < 0) return -1;
        ahead->end += got;
        if (left >= kGatherSize) {
            done += (uint32_t)got;
            break;
        }
        ahead->count = (uint32_t)got;
        ahead->next = 0;
        if (got == 0) break;
    }
    return (int32_t)done;
}

// As the system's seek: the new position, -1 on failure (after which the
// file is no longer read ahead).
inline int64_t AheadSeek(InputAhead* ahead, SystemSeek seek, FileHandle file, int64_t offset, int origin) {
    if (file == 0 || file != ahead->file) return seek(file, offset, origin);
    int64_t start = ahead->end - ahead->count;  // position of bytes[0]
    int64_t position = start + ahead->next;
    int64_t target = origin == kSeekSet ? offset : position + offset;
    if (origin != kSeekEnd && target >= start && target <= ahead->end) {
        ahead->next = (uint32_t)(target - start);
        return target;
    }
    int64_t reached = origin == kSeekEnd ? seek(file, offset, kSeekEnd) : seek(file, target, kSeekSet);
    ahead->count = ahead->next = 0;
    if (reached < 0) ahead->file = 0;
    else ahead->end = reached;
    return reached;
}

#endif
