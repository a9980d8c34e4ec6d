// Formatting a message around a name when the whole may not fit its area.
#ifndef KVSFX_UI_NAME_TEXT_H
#define KVSFX_UI_NAME_TEXT_H

#include <stdint.h>

// Formats format (one %s) with name into area. When the text would not fit,
// the middle of the name gives way to "...", whole characters only, so that
// the beginning and the end (the extension) stay readable; an area too small
// even for that gets the text cut at its end.
void FormatWithName(char* area, uint32_t capacity, const char* format, const char* name);

#endif
