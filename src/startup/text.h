// Small text routines shared by every subsystem: a bounded formatter in the
// manner of wsprintfA, and bounded copies.
#ifndef KVSFX_TEXT_H
#define KVSFX_TEXT_H

#include <stdarg.h>
#include <stdint.h>

// Formats into buffer (capacity bytes, always zero-terminated when capacity
// > 0) and returns the length the whole text needs, which may exceed what
// was stored. Conversions: %d %u %x %X, with l (long) or ll (long long),
// with flags '0', '-' and a
// width (%02d, %08lx), %s, %c, %%.
uint32_t FormatText(char* buffer, uint32_t capacity, const char* format, ...);
uint32_t FormatTextV(char* buffer, uint32_t capacity, const char* format, va_list arguments);

// Formats like FormatText; a text of capacity characters or more is the
// internal error of guard line (module "sfxhead"). Returns the length.
uint32_t FormatGuarded(char* buffer, uint32_t capacity, int guardLine, const char* format, ...);

// Copies source into buffer when it fits with its terminator and returns its
// length; otherwise stores nothing (an empty text) and returns capacity.
uint32_t CopyText(char* buffer, uint32_t capacity, const char* source);

uint32_t TextLength(const char* text);

#endif
