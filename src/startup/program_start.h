// The program started after a finished run (header text 6, flag
// SFXF_RUN_PROGRAM).
#ifndef KVSFX_PROGRAM_START_H
#define KVSFX_PROGRAM_START_H

#include <stdint.h>

#include "startup/startup.h"

// Message 40 naming the program to run, or an empty text when there is none.
void FormatProgramNotice(char* area, uint32_t capacity);

// Starts programLine in the destination folder and waits for it: exitCode
// becomes the program's exit code, or 2 (after message 41) when it is not
// started.
void StartProgram();

#endif
