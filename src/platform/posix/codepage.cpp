// Code-page tables of the Linux side.
#include "platform/posix/codepage.h"

#include "format/codepage.h"

namespace {

// Bytes 0x80..0xFF of code page 850 in Windows-1252, as OemToCharBuffA
// converts them on a system with OEM code page 850 and ANSI code page 1252
// (read from that function, all 256 bytes). Bytes below 0x80 are the same
// in both. Where 1252 has no such character the system's best fit applies:
// shades, blocks, vertical lines and ■ become the broken bar 0xA6, corners
// and crossings '+', horizontal lines '-' (so ═ is '-' and ‗ is '='), the
// half blocks '_' and the macron 0xAF, the dotless ı 'i'; ƒ is 0x83.
const uint8_t kOem850ToAnsi[128] = {
    0xC7, 0xFC, 0xE9, 0xE2, 0xE4, 0xE0, 0xE5, 0xE7, 0xEA, 0xEB, 0xE8, 0xEF, 0xEE, 0xEC, 0xC4, 0xC5,  // 80
    0xC9, 0xE6, 0xC6, 0xF4, 0xF6, 0xF2, 0xFB, 0xF9, 0xFF, 0xD6, 0xDC, 0xF8, 0xA3, 0xD8, 0xD7, 0x83,  // 90
    0xE1, 0xED, 0xF3, 0xFA, 0xF1, 0xD1, 0xAA, 0xBA, 0xBF, 0xAE, 0xAC, 0xBD, 0xBC, 0xA1, 0xAB, 0xBB,  // A0
    0xA6, 0xA6, 0xA6, 0xA6, 0xA6, 0xC1, 0xC2, 0xC0, 0xA9, 0xA6, 0xA6, 0x2B, 0x2B, 0xA2, 0xA5, 0x2B,  // B0
    0x2B, 0x2D, 0x2D, 0x2B, 0x2D, 0x2B, 0xE3, 0xC3, 0x2B, 0x2B, 0x2D, 0x2D, 0xA6, 0x2D, 0x2B, 0xA4,  // C0
    0xF0, 0xD0, 0xCA, 0xCB, 0xC8, 0x69, 0xCD, 0xCE, 0xCF, 0x2B, 0x2B, 0xA6, 0x5F, 0xA6, 0xCC, 0xAF,  // D0
    0xD3, 0xDF, 0xD4, 0xD2, 0xF5, 0xD5, 0xB5, 0xFE, 0xDE, 0xDA, 0xDB, 0xD9, 0xFD, 0xDD, 0xAF, 0xB4,  // E0
    0xAD, 0xB1, 0x3D, 0xBE, 0xB6, 0xA7, 0xF7, 0xB8, 0xB0, 0xA8, 0xB7, 0xB9, 0xB3, 0xB2, 0xA6, 0xA0,  // F0
};

const uint32_t kDropped = 0xFFFFFFFF;  // a character that is not written at all

// The code point a terminal is shown for one Windows-1252 byte.
uint32_t ShownCharacter(uint8_t byte) {
    if (byte == '\t' || byte == '\n') return byte;
    if (byte == '\r') return kDropped;
    if (byte < 0x20 || byte == 0x7F) return '?';
    uint32_t code = Windows1252ToUnicode(byte);
    return code != 0 ? code : '?';
}

}  // namespace

void PosixOemToAnsi(char* text, uint32_t length) {
    for (uint32_t i = 0; i < length; i++) {
        uint8_t byte = (uint8_t)text[i];
        if (byte >= 0x80) text[i] = (char)kOem850ToAnsi[byte - 0x80];
    }
}

uint32_t AnsiToUtf8(const char* text, char* out, uint32_t capacity) {
    uint32_t needed = 0;  // bytes of the whole conversion
    uint32_t stored = 0;  // bytes written to out; stays below capacity
    bool full = false;    // a character did not fit: store nothing more
    for (const char* p = text; *p != 0; p++) {
        uint8_t byte = (uint8_t)*p;
        if (byte >= 0x20 && byte < 0x7F && !full && stored + 1 < capacity) {  // printable ASCII: itself
            needed++;
            out[stored++] = (char)byte;
            continue;
        }
        uint32_t code = ShownCharacter(byte);
        if (code == kDropped) continue;
        uint8_t bytes[4];
        uint32_t size = EncodeUtf8(code, bytes);
        needed += size;
        if (full || capacity == 0 || stored + size > capacity - 1) {
            full = true;
            continue;
        }
        for (uint32_t i = 0; i < size; i++) out[stored++] = (char)bytes[i];
    }
    if (capacity > 0) out[stored] = 0;
    return needed;
}
