// The builder's CRC-32 and whole-buffer deflate. On Linux they come from
// libdeflate, which is much faster than zlib at both; the Windows build
// (KVSFX_NO_LIBDEFLATE) has only the static zlib that MinGW ships and takes
// both from it. Streamed compression always uses zlib (archive_writer.cpp).
#ifndef KVSFX_MAKE_DEFLATE_ENGINE_H
#define KVSFX_MAKE_DEFLATE_ENGINE_H

#include <stddef.h>
#include <stdint.h>

namespace kvmake {

// The CRC-32 of zip, continued from crc (0 to start) over size bytes.
uint32_t Crc32(uint32_t crc, const uint8_t* data, size_t size);

// The most bytes raw deflate of size bytes can take at the given level.
size_t DeflateBound(int level, size_t size);

// Raw deflate (no zlib header) of a whole buffer at level 1 to 9 into out;
// its size, or 0 when it does not fit in capacity bytes.
size_t DeflateWhole(int level, const uint8_t* in, size_t size, uint8_t* out, size_t capacity);

}  // namespace kvmake

#endif
