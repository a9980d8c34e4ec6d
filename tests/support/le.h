// Little-endian fields of the tests' own records: read and written in
// place, or appended to a byte string.
#ifndef KVSFX_TESTS_SUPPORT_LE_H
#define KVSFX_TESTS_SUPPORT_LE_H

#include <stdint.h>

#include <string>

inline uint32_t Le16(const uint8_t* p) { return p[0] | (p[1] << 8); }
inline uint32_t Le32(const uint8_t* p) { return Le16(p) | (Le16(p + 2) << 16); }
inline void SetLe16(uint8_t* p, uint32_t v) { p[0] = (uint8_t)v; p[1] = (uint8_t)(v >> 8); }
inline void SetLe32(uint8_t* p, uint32_t v) { SetLe16(p, v & 0xFFFF); SetLe16(p + 2, v >> 16); }

// The same on a byte string.
inline uint32_t Le32At(const std::string& bytes, size_t at) { return Le32((const uint8_t*)bytes.data() + at); }

inline void Put16(std::string* out, uint32_t value) {
    out->push_back((char)(value & 0xFF));
    out->push_back((char)((value >> 8) & 0xFF));
}
inline void Put32(std::string* out, uint32_t value) {
    Put16(out, value & 0xFFFF);
    Put16(out, value >> 16);
}

#endif
