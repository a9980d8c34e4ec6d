#include "support/codec_control.h"

#include <libdeflate.h>
#include <zlib.h>

uint32_t Crc32(const void* data, size_t size) { return (uint32_t)crc32(0, (const Bytef*)data, (uInt)size); }

Bytes ZlibDeflate(const Bytes& data, int level, int strategy, int memLevel, int windowBits,
                  const std::string& dictionary) {
    z_stream z = {};
    deflateInit2(&z, level, Z_DEFLATED, -windowBits, memLevel, strategy);
    if (!dictionary.empty()) deflateSetDictionary(&z, (const Bytef*)dictionary.data(), (uInt)dictionary.size());
    Bytes out(deflateBound(&z, data.size()) + 16);
    z.next_in = (Bytef*)data.data();
    z.avail_in = (uInt)data.size();
    z.next_out = out.data();
    z.avail_out = (uInt)out.size();
    deflate(&z, Z_FINISH);
    out.resize(z.total_out);
    deflateEnd(&z);
    return out;
}

std::string Deflate(const std::string& data, int level, int memLevel) {
    return AsString(ZlibDeflate(AsBytes(data), level, Z_DEFAULT_STRATEGY, memLevel));
}

std::string DeflateAfter(const std::string& dictionary, const std::string& data) {
    return AsString(ZlibDeflate(AsBytes(data), 9, Z_DEFAULT_STRATEGY, 8, 15, dictionary));
}

Bytes LibdeflateDeflate(const Bytes& data, int level) {
    libdeflate_compressor* compressor = libdeflate_alloc_compressor(level);
    Bytes out(libdeflate_deflate_compress_bound(compressor, data.size()));
    size_t size = libdeflate_deflate_compress(compressor, data.data(), data.size(), out.data(), out.size());
    libdeflate_free_compressor(compressor);
    out.resize(size);
    return out;
}

int ZlibInflateInto(const void* stream, size_t length, size_t capacity, Bytes* out) {
    z_stream z = {};
    inflateInit2(&z, -15);
    out->assign(capacity + 1, 0);  // never empty: zlib wants somewhere to write
    z.next_in = (Bytef*)stream;
    z.avail_in = (uInt)length;
    z.next_out = out->data();
    z.avail_out = (uInt)capacity;
    const int status = inflate(&z, Z_FINISH);
    out->resize(z.total_out);
    inflateEnd(&z);
    return status;
}

Bytes ZlibInflate(const Bytes& stream, size_t expectedSize) {
    Bytes out;
    // One byte more than expected shows a stream that runs on.
    return ZlibInflateInto(stream.data(), stream.size(), expectedSize + 1, &out) == Z_STREAM_END ? out : Bytes();
}

namespace {

uint32_t CrcByte(uint32_t crc, uint8_t byte) {
    crc ^= byte;
    for (int i = 0; i < 8; i++) crc = (crc >> 1) ^ (0xEDB88320u & (0u - (crc & 1)));
    return crc;
}

}  // namespace

TraditionalCipher::TraditionalCipher(const std::string& password) {
    for (unsigned char c : password) Update(c);
}

void TraditionalCipher::Update(uint8_t plain) {
    keys_[0] = CrcByte(keys_[0], plain);
    keys_[1] = (keys_[1] + (keys_[0] & 0xFF)) * 134775813u + 1;
    keys_[2] = CrcByte(keys_[2], (uint8_t)(keys_[1] >> 24));
}

uint8_t TraditionalCipher::Encrypt(uint8_t plain) {
    const uint32_t t = (keys_[2] | 2) & 0xFFFF;
    const uint8_t cipher = (uint8_t)(plain ^ ((t * (t ^ 1)) >> 8));
    Update(plain);
    return cipher;
}

void TraditionalCipher::Decrypt(uint8_t* data, size_t count) {
    for (size_t i = 0; i < count; i++) {
        const uint32_t t = (keys_[2] | 2) & 0xFFFF;
        data[i] ^= (uint8_t)((t * (t ^ 1)) >> 8);
        Update(data[i]);
    }
}
