// The process entry point of the Windows stub. The executable is linked
// without the C runtime's start-up code: SfxEntry is the image's entry
// point, and nothing runs before it (the stub has no static constructors).
#include <windows.h>

#include "startup/startup.h"

// The common-controls initialisation, the one function taken from
// COMCTL32.dll; it is imported by ordinal 17 (see cmake/windows_stub.cmake).
extern "C" __declspec(dllimport) void WINAPI InitCommonControls(void);

// The system calls the entry point with a stack aligned to 4 bytes only on
// x86; the attribute realigns it for the code below.
extern "C" __attribute__((force_align_arg_pointer, noreturn)) void WINAPI SfxEntry(void) {
    char* argumentText = CutArgumentText(GetCommandLineA());
    InitCommonControls();
    // The system shows no box of its own for a missing disk or a file that
    // cannot be opened: the program's own disk prompts take their place.
    SetErrorMode(SEM_FAILCRITICALERRORS | SEM_NOOPENFILEERRORBOX);
    ExitProcess(SfxMain(GetModuleHandleA(nullptr), argumentText));
}
