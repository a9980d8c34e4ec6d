// What the portable code must know of the system it is built for, decided
// here so that no file outside the platform layer branches on the system.
//
// Recovery points: on Windows the GCC builtins save and restore only the
// registers and never unwind through system frames (the dialog procedures
// that run the extraction sit on top of USER32's frames). The run's point
// always lies above those frames, so no jump crosses them. On Linux, plain
// setjmp, which the sanitizers know about.
//
// Names: whether entry names are checked with the rules of Windows names
// (drive and stream colons, device names, trailing dots and blanks). Both
// sets of rules are compiled everywhere; this picks the one in force.
#ifndef KVSFX_PLATFORM_SYSTEM_RULES_H
#define KVSFX_PLATFORM_SYSTEM_RULES_H

#if defined(_WIN32)
typedef void* RunContext[5];
#define ArmRecovery(context) __builtin_setjmp(context)
#define JumpToRecovery(context) __builtin_longjmp(context, 1)
const int kSystemWindowsNames = 1;
#else
#include <setjmp.h>
typedef jmp_buf RunContext;
#define ArmRecovery(context) setjmp(context)
#define JumpToRecovery(context) longjmp(context, 1)
const int kSystemWindowsNames = 0;
#endif

#endif
