// Little-endian numbers: every number of the configuration block, of the
// executable headers the self-check reads and of the ZIP records is stored
// low byte first, whatever the machine that reads or writes it.
#ifndef KVSFX_FORMAT_BYTES_H
#define KVSFX_FORMAT_BYTES_H

#include <stdint.h>

// Static: each file keeps its own copy, which the compiler may call with its
// cheapest convention when it does not inline it (the stub is built for
// size).
static inline uint32_t LoadLe16(const uint8_t* p) { return (uint32_t)p[0] | (uint32_t)p[1] << 8; }
static inline uint32_t LoadLe32(const uint8_t* p) {
    return (uint32_t)p[0] | (uint32_t)p[1] << 8 | (uint32_t)p[2] << 16 | (uint32_t)p[3] << 24;
}
static inline uint64_t LoadLe64(const uint8_t* p) { return LoadLe32(p) | (uint64_t)LoadLe32(p + 4) << 32; }

static inline void StoreLe16(uint8_t* p, uint32_t value) {
    p[0] = (uint8_t)value;
    p[1] = (uint8_t)(value >> 8);
}
static inline void StoreLe32(uint8_t* p, uint32_t value) {
    StoreLe16(p, value & 0xFFFF);
    StoreLe16(p + 2, value >> 16);
}

// Appends to a growing byte string (anything with value_type and push_back:
// std::string, std::vector<uint8_t>).
template <class Bytes>
inline void AppendLe16(Bytes& out, uint32_t value) {
    out.push_back((typename Bytes::value_type)(value & 0xFF));
    out.push_back((typename Bytes::value_type)((value >> 8) & 0xFF));
}
template <class Bytes>
inline void AppendLe32(Bytes& out, uint32_t value) {
    AppendLe16(out, value & 0xFFFF);
    AppendLe16(out, value >> 16);
}

#endif
