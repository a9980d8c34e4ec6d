#include "zip_crypto.h"

#include <string.h>

#include "host_files.h"

namespace kvmake {

namespace {

struct CrcTable {
    uint32_t entry[256];
    CrcTable() {
        for (uint32_t n = 0; n < 256; n++) {
            uint32_t c = n;
            for (int k = 0; k < 8; k++) c = (c & 1) ? 0xEDB88320u ^ (c >> 1) : c >> 1;
            entry[n] = c;
        }
    }
};
const CrcTable crcTable;

}  // namespace

ZipCrypto::ZipCrypto(const std::string& password) : key0_(0x12345678), key1_(0x23456789), key2_(0x34567890) {
    for (unsigned char c : password) update(c);
}

uint8_t ZipCrypto::keystream() const {
    const uint32_t t = (key2_ | 2) & 0xFFFF;
    return (uint8_t)((t * (t ^ 1)) >> 8);
}

void ZipCrypto::update(uint8_t plain) {
    key0_ = (key0_ >> 8) ^ crcTable.entry[(key0_ ^ plain) & 0xFF];
    key1_ = (key1_ + (key0_ & 0xFF)) * 0x08088405u + 1;
    key2_ = (key2_ >> 8) ^ crcTable.entry[(key2_ ^ (key1_ >> 24)) & 0xFF];
}

void ZipCrypto::header(uint8_t checkByte, uint8_t out[12]) {
    uint8_t plain[12];
    RandomBytes(plain, 11);
    plain[11] = checkByte;
    memcpy(out, plain, 12);
    encrypt(out, 12);
}

void ZipCrypto::encrypt(uint8_t* data, size_t count) {
    for (size_t i = 0; i < count; i++) {
        const uint8_t plain = data[i];
        data[i] = plain ^ keystream();
        update(plain);
    }
}

void ZipCrypto::decrypt(uint8_t* data, size_t count) {
    for (size_t i = 0; i < count; i++) {
        data[i] ^= keystream();
        update(data[i]);
    }
}

}  // namespace kvmake
