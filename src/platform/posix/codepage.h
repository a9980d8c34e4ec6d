// The code-page conversions of the Linux side. The message table is stored
// in the OEM code page 850 and used in the ANSI code page, Windows-1252, as
// on a Western European Windows system; the terminal wants UTF-8.
#ifndef KVSFX_CODEPAGE_H
#define KVSFX_CODEPAGE_H

#include <stdint.h>

// Code page 850 to Windows-1252, in place, over length bytes: the bytes
// OemToCharBuffA gives on a system whose OEM code page is 850 and whose ANSI
// code page is 1252 (0xFF, the no-break space, becomes 0xA0; box-drawing
// characters fall back to '+', '-' and the broken bar). Zero bytes are
// converted like any other and do not end the text.
void PosixOemToAnsi(char* text, uint32_t length);

// Windows-1252 text (zero-terminated) to UTF-8 for the terminal. Stores at
// most capacity - 1 bytes and a terminator (nothing when capacity is 0),
// never part of a character, and returns the length the whole text needs,
// which exceeds what was stored when it did not fit.
//
// Only what a terminal can show safely passes: tab and line feed stay;
// carriage returns are dropped (they would only move the cursor back over
// the line, and some messages end in one); every other control byte, and
// the five bytes Windows-1252 leaves undefined, become '?', so that a name
// from an archive cannot send an escape sequence to the terminal.
uint32_t AnsiToUtf8(const char* text, char* out, uint32_t capacity);

#endif
