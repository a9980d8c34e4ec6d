// Start-up and configuration: entry point, main sequence, configuration
// block and archive header, command line.
#ifndef KVSFX_STARTUP_H
#define KVSFX_STARTUP_H

#include <stdint.h>

#include "startup/sfx_state.h"

// Cuts the argument text out of a process command line: after a quoted
// program name it begins at the closing quote's successor, after an unquoted
// one right after the first blank. Returns a pointer into commandLine.
char* CutArgumentText(char* commandLine);

// The whole program from process start to exit; returns the exit code:
// 0 normal end, "-info", declined start-up prompt, or a finished run;
// 2 a refused file or system, a fatal start-up error, a run that did not
// finish, or an automatic start without a finished run (a declined prompt,
// no folder, a cancelled password, an -AUTO folder too long); after a
// finished run with a program to start, that program's exit code, or 2 when
// it cannot be started; InternalError ends the process itself with 1.
uint32_t SfxMain(void* instance, char* argumentText);

void ResolveLongModuleName(char* path);
void ReleaseResources();

void LoadConfiguration();
// The inflater's window and the codec's input and output buffers, for the
// life of the process; 0 when one of them could not be had.
int AllocateCodecBuffers();

int ParseCommandLine(char* argumentText);  // 0: the -AUTO folder was too long
char* FindChar(char* text, char byte);
int CompareBytes(const void* a, const void* b, uint32_t count);

#endif
