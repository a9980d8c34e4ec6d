#include "deflate_engine.h"

#ifdef KVSFX_NO_LIBDEFLATE
#include <zlib.h>
#else
#include <libdeflate.h>

#include <memory>
#endif

#include "build_error.h"

namespace kvmake {

#ifdef KVSFX_NO_LIBDEFLATE

uint32_t Crc32(uint32_t crc, const uint8_t* data, size_t size) {
    // zlib counts in 32-bit pieces.
    const size_t kPiece = (size_t)1 << 30;
    uLong value = crc;
    while (size > 0) {
        const size_t count = size < kPiece ? size : kPiece;
        value = crc32(value, data, (uInt)count);
        data += count;
        size -= count;
    }
    return (uint32_t)value;
}

size_t DeflateBound(int, size_t size) {
    // compressBound() covers the zlib wrapper too, so raw deflate fits.
    return (size_t)compressBound((uLong)size);
}

size_t DeflateWhole(int level, const uint8_t* in, size_t size, uint8_t* out, size_t capacity) {
    // A whole buffer is at most kInMemoryLimit bytes, well within zlib's
    // 32-bit counts.
    z_stream stream{};
    if (deflateInit2(&stream, level, Z_DEFLATED, -15, 8, Z_DEFAULT_STRATEGY) != Z_OK)
        Refuse("not enough memory for the compressor");
    stream.next_in = (Bytef*)in;
    stream.avail_in = (uInt)size;
    stream.next_out = out;
    stream.avail_out = (uInt)capacity;
    const int status = deflate(&stream, Z_FINISH);
    const size_t produced = capacity - stream.avail_out;
    deflateEnd(&stream);
    return status == Z_STREAM_END ? produced : 0;
}

#else

namespace {

// One libdeflate compressor per level, made on first use.
libdeflate_compressor* CompressorFor(int level) {
    static std::unique_ptr<libdeflate_compressor, void (*)(libdeflate_compressor*)> compressors[10] = {
        {nullptr, libdeflate_free_compressor}, {nullptr, libdeflate_free_compressor},
        {nullptr, libdeflate_free_compressor}, {nullptr, libdeflate_free_compressor},
        {nullptr, libdeflate_free_compressor}, {nullptr, libdeflate_free_compressor},
        {nullptr, libdeflate_free_compressor}, {nullptr, libdeflate_free_compressor},
        {nullptr, libdeflate_free_compressor}, {nullptr, libdeflate_free_compressor}};
    if (!compressors[level]) {
        compressors[level].reset(libdeflate_alloc_compressor(level));
        if (!compressors[level]) Refuse("not enough memory for the compressor");
    }
    return compressors[level].get();
}

}  // namespace

uint32_t Crc32(uint32_t crc, const uint8_t* data, size_t size) {
    return (uint32_t)libdeflate_crc32(crc, data, size);
}

size_t DeflateBound(int level, size_t size) { return libdeflate_deflate_compress_bound(CompressorFor(level), size); }

size_t DeflateWhole(int level, const uint8_t* in, size_t size, uint8_t* out, size_t capacity) {
    return libdeflate_deflate_compress(CompressorFor(level), in, size, out, capacity);
}

#endif

}  // namespace kvmake
