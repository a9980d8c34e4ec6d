// The five C library functions the compiler may call on its own (block
// copies and fills, comparisons, string lengths), for a stub linked without
// any C runtime. Taking them from msvcrt.dll would tie the stub to a DLL that
// the first releases of Windows 95 did not ship.
//
// This file is compiled with -fno-tree-loop-distribute-patterns (see
// cmake/windows_stub.cmake): otherwise the compiler would recognise each loop
// below as the very function it implements and call it, forever.
#include <stddef.h>
#include <stdint.h>

extern "C" {

void* memcpy(void* to, const void* from, size_t count) {
    uint8_t* out = (uint8_t*)to;
    const uint8_t* in = (const uint8_t*)from;
    while (count--) *out++ = *in++;
    return to;
}

// Overlapping blocks: a destination after the source is copied from the end
// backwards, so that no source byte is overwritten before it is read.
void* memmove(void* to, const void* from, size_t count) {
    uint8_t* out = (uint8_t*)to;
    const uint8_t* in = (const uint8_t*)from;
    if (out <= in || out >= in + count) {
        while (count--) *out++ = *in++;
    } else {
        while (count--) out[count] = in[count];
    }
    return to;
}

void* memset(void* to, int value, size_t count) {
    uint8_t* out = (uint8_t*)to;
    while (count--) *out++ = (uint8_t)value;
    return to;
}

int memcmp(const void* left, const void* right, size_t count) {
    const uint8_t* a = (const uint8_t*)left;
    const uint8_t* b = (const uint8_t*)right;
    for (; count != 0; count--, a++, b++)
        if (*a != *b) return *a < *b ? -1 : 1;
    return 0;
}

size_t strlen(const char* text) {
    const char* end = text;
    while (*end) end++;
    return (size_t)(end - text);
}

}  // extern "C"
