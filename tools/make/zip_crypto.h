// Traditional zip encryption: the three keys, the 12-byte encryption
// header (eleven random bytes and a check byte), and the stream cipher.
#ifndef KVSFX_MAKE_ZIP_CRYPTO_H
#define KVSFX_MAKE_ZIP_CRYPTO_H

#include <stddef.h>
#include <stdint.h>

#include <string>

namespace kvmake {

class ZipCrypto {
public:
    // Keys started from the password (Windows-1252 bytes, as the stub takes them).
    explicit ZipCrypto(const std::string& password);

    // The encrypted 12-byte header for an entry whose check byte is
    // checkByte: eleven bytes from the system's random source, then the check
    // byte, all encrypted. Leaves the keys ready for the entry's data.
    void header(uint8_t checkByte, uint8_t out[12]);

    void encrypt(uint8_t* data, size_t count);
    void decrypt(uint8_t* data, size_t count);

private:
    uint8_t keystream() const;
    void update(uint8_t plain);

    uint32_t key0_, key1_, key2_;
};

}  // namespace kvmake

#endif
