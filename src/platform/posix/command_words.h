// A Windows command line cut into an argument vector, by the rules the
// Windows C runtime applies when a program starts, so that a program started
// on Linux gets the words a Windows program would.
#ifndef KVSFX_COMMAND_WORDS_H
#define KVSFX_COMMAND_WORDS_H

#include <stdint.h>

// Cuts line into words, stored one after the other (each zero-terminated)
// in buffer, with a pointer to each in words and a null after the last.
// buffer needs the line's length plus one, words the line's length plus two
// entries: no line can need more. Returns the number of words.
//
// The program's name, the first word, runs to the closing quote when it
// begins with one, else to the first blank or tab; backslashes are plain
// characters in it. In the other words, blanks and tabs separate words
// outside quotes; a quote opens or closes a quoted part; "" inside a quoted
// part is one quote; 2n backslashes before a quote are n backslashes (and
// the quote does its work), 2n+1 are n backslashes and a plain quote;
// backslashes elsewhere are plain characters.
uint32_t SplitCommandLine(const char* line, char* buffer, char** words);

#endif
