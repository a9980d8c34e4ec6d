// The program started after a finished run (header text 6, flag
// SFXF_RUN_PROGRAM).
#ifndef KVSFX_PROGRAM_START_H
#define KVSFX_PROGRAM_START_H

#include <stdint.h>

#include "startup/startup.h"

// Copies the program's name out of a command line (capacity bytes with the
// terminator) by the rule Windows programs apply to their own name: up to
// the closing quote when it begins with one, else up to the first blank or
// tab. Returns where the arguments begin, or null when the name does not fit.
const char* CutProgramName(const char* line, char* program, uint32_t capacity);

// 1 when program names a file below the destination: not empty, relative,
// no drive or ':', no ".." component, no device name, no trailing separator.
int ProgramPathAccepted(const char* program);

// Message 40 naming the program to run, or an empty text when there is none.
void FormatProgramNotice(char* area, uint32_t capacity);

// Starts programLine in the destination folder and waits for it: exitCode
// becomes the program's exit code, or 2 (after message 41) when it is not
// started.
void StartProgram();

#endif
