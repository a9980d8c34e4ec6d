// The control codec: zlib and libdeflate compress and check what the stub
// decodes, and the traditional cipher written out from the application
// note encrypts and decrypts independently of the stub's own.
#ifndef KVSFX_TESTS_SUPPORT_CODEC_CONTROL_H
#define KVSFX_TESTS_SUPPORT_CODEC_CONTROL_H

#include <stdint.h>

#include <string>

#include "support/files.h"

uint32_t Crc32(const void* data, size_t size);
inline uint32_t Crc32(const std::string& data) { return Crc32(data.data(), data.size()); }
inline uint32_t ZlibCrc(const Bytes& data) { return Crc32(data.data(), data.size()); }

// A raw deflate stream; with a dictionary, as if it had come before data in
// the same stream.
Bytes ZlibDeflate(const Bytes& data, int level, int strategy, int memLevel = 8, int windowBits = 15,
                  const std::string& dictionary = "");
std::string Deflate(const std::string& data, int level = 6, int memLevel = 8);
std::string DeflateAfter(const std::string& dictionary, const std::string& data);
Bytes LibdeflateDeflate(const Bytes& data, int level);

// Decodes a raw deflate stream into at most capacity bytes; zlib's result
// (Z_STREAM_END when the stream ended within them).
int ZlibInflateInto(const void* stream, size_t length, size_t capacity, Bytes* out);
// The stream decoded to expectedSize bytes; empty when zlib refuses it or
// it decodes to more.
Bytes ZlibInflate(const Bytes& stream, size_t expectedSize);

// Traditional encryption with one password, from the start of an entry.
class TraditionalCipher {
public:
    explicit TraditionalCipher(const std::string& password);
    uint8_t Encrypt(uint8_t plain);
    void Decrypt(uint8_t* data, size_t count);

private:
    void Update(uint8_t plain);
    uint32_t keys_[3] = {0x12345678, 0x23456789, 0x34567890};
};

#endif
