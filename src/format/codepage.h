// Windows-1252, the code page of every name and text in a self-extracting
// file (entry names, header texts, the message table once converted), and
// UTF-8, the code page of Linux names, terminals and command lines.
//
// Only the Linux side of the stub, the builder and the tests use these; the
// Windows stub leaves conversions and case to the system.
#ifndef KVSFX_FORMAT_CODEPAGE_H
#define KVSFX_FORMAT_CODEPAGE_H

#include <stddef.h>
#include <stdint.h>

// Bytes 0x80..0x9F of Windows-1252 as Unicode code points; 0 where the code
// page defines no character (0x81, 0x8D, 0x8F, 0x90, 0x9D). Every other byte
// is its own code point.
inline constexpr uint16_t kWindows1252High[32] = {
    0x20AC, 0,      0x201A, 0x0192, 0x201E, 0x2026, 0x2020, 0x2021,  // 80
    0x02C6, 0x2030, 0x0160, 0x2039, 0x0152, 0,      0x017D, 0,       // 88
    0,      0x2018, 0x2019, 0x201C, 0x201D, 0x2022, 0x2013, 0x2014,  // 90
    0x02DC, 0x2122, 0x0161, 0x203A, 0x0153, 0,      0x017E, 0x0178,  // 98
};

// The code point of a Windows-1252 byte; 0 for the five undefined bytes.
inline uint32_t Windows1252ToUnicode(uint8_t byte) {
    return byte >= 0x80 && byte < 0xA0 ? kWindows1252High[byte - 0x80] : byte;
}

// The Windows-1252 byte of a code point; -1 when the code page lacks it.
inline int UnicodeToWindows1252(uint32_t code) {
    if (code < 0x80 || (code >= 0xA0 && code <= 0xFF)) return (int)code;
    for (int i = 0; i < 32; i++)
        if (kWindows1252High[i] == code) return 0x80 + i;
    return -1;
}

// The upper case Windows gives a Windows-1252 byte when it compares names:
// a-z, the accented small letters 0xE0..0xFE but the division sign, š œ ž
// (0x9A, 0x9C, 0x9E) and ÿ (0xFF, whose capital is 0x9F).
inline uint8_t Windows1252Upper(uint8_t c) {
    if ((c >= 'a' && c <= 'z') || (c >= 0xE0 && c <= 0xFE && c != 0xF7)) return (uint8_t)(c - 0x20);
    if (c == 0x9A || c == 0x9C || c == 0x9E) return (uint8_t)(c - 0x10);
    if (c == 0xFF) return 0x9F;
    return c;
}

// Decodes the UTF-8 character at p, of which at most available bytes may be
// read; returns its length (1 to 4) and stores its code point, or returns 0
// (and stores 0) when the bytes there are not well-formed UTF-8: a stray or cut sequence,
// an overlong form, a surrogate, a value past U+10FFFF. No byte is read past
// the first one that is not a continuation byte, so a zero-terminated text
// may be given with available 4.
inline uint32_t DecodeUtf8(const uint8_t* p, size_t available, uint32_t* code) {
    *code = 0;
    if (available == 0) return 0;
    uint32_t lead = p[0], length, value;
    if (lead < 0x80) {
        *code = lead;
        return 1;
    }
    if (lead >= 0xC2 && lead <= 0xDF) {
        length = 2;
        value = lead & 0x1F;
    } else if (lead >= 0xE0 && lead <= 0xEF) {
        length = 3;
        value = lead & 0x0F;
    } else if (lead >= 0xF0 && lead <= 0xF4) {
        length = 4;
        value = lead & 0x07;
    } else {
        return 0;
    }
    for (uint32_t k = 1; k < length; k++) {
        if (k >= available || (p[k] & 0xC0) != 0x80) return 0;
        value = value << 6 | (p[k] & 0x3F);
    }
    if ((length == 3 && value < 0x800) || (length == 4 && (value < 0x10000 || value > 0x10FFFF)) ||
        (value >= 0xD800 && value <= 0xDFFF))
        return 0;
    *code = value;
    return length;
}

// True when length bytes at p are well-formed UTF-8 throughout.
inline bool IsUtf8(const uint8_t* p, size_t length) {
    uint32_t code;
    for (size_t i = 0; i < length;) {
        uint32_t size = DecodeUtf8(p + i, length - i, &code);
        if (size == 0) return false;
        i += size;
    }
    return true;
}

// The UTF-8 form of a code point (below 0x110000) into bytes; returns its
// length.
inline uint32_t EncodeUtf8(uint32_t code, uint8_t bytes[4]) {
    if (code < 0x80) {
        bytes[0] = (uint8_t)code;
        return 1;
    }
    if (code < 0x800) {
        bytes[0] = (uint8_t)(0xC0 | code >> 6);
        bytes[1] = (uint8_t)(0x80 | (code & 0x3F));
        return 2;
    }
    if (code < 0x10000) {
        bytes[0] = (uint8_t)(0xE0 | code >> 12);
        bytes[1] = (uint8_t)(0x80 | (code >> 6 & 0x3F));
        bytes[2] = (uint8_t)(0x80 | (code & 0x3F));
        return 3;
    }
    bytes[0] = (uint8_t)(0xF0 | code >> 18);
    bytes[1] = (uint8_t)(0x80 | (code >> 12 & 0x3F));
    bytes[2] = (uint8_t)(0x80 | (code >> 6 & 0x3F));
    bytes[3] = (uint8_t)(0x80 | (code & 0x3F));
    return 4;
}

#endif
