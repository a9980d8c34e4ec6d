// What the pieces of the terminal front-end share: text for the terminal,
// the dialog templates' labels, and lines of input.
#ifndef KVSFX_UI_TERMINAL_H
#define KVSFX_UI_TERMINAL_H

#include <stdint.h>

enum : uint32_t {
    kTerminalTextCapacity = 2048,  // one text converted for the terminal
    kInputLineCapacity = 512,      // one line of input
    kLabelCapacity = 256,          // one template label in UTF-8
};

// Writes text to stream (stdout or stderr) in the terminal's UTF-8: the
// system's own texts are Windows-1252, while names from the archive and
// from the file system are kept as the bytes they are, which on Linux are
// UTF-8; valid UTF-8 characters pass unchanged and every other byte is
// taken as Windows-1252.
void PutTerminalText(void* stream, const char* text);

// The text of item id of an in-memory dialog template (size bytes), in
// UTF-8 without its '&' accelerator marks; the empty text when the template
// has no such item.
void TemplateItemText(const uint8_t* dialogTemplate, uint32_t size, int id, char* label, uint32_t capacity);

// One line of standard input without its line end; 0 at the end of input.
// hidden: no echo when the input is a terminal.
int ReadInputLine(char* line, uint32_t capacity, int hidden);

// Text typed on the terminal (UTF-8) in the system's code page,
// Windows-1252, in place, as the dialog's edit control would give it. A
// line that is not valid UTF-8, or holds a character Windows-1252 lacks, is
// left as typed.
void TypedTextToAnsi(char* text);

// Whether standard output is a terminal (where the meter is drawn).
int OutputIsTerminal();

#endif
