// Recovery points: where FatalError and the user's aborts resume.
//
// The start-up arms one in SfxMain, each extraction run arms its own for its
// duration. ArmRecovery returns 0 when armed and, after a non-local return,
// returns again with non-zero; the value carried is state.recoveryValue.
//
// Windows: the GCC builtins save and restore only the registers and never
// unwind through system frames (the dialog procedures that run the
// extraction sit on top of USER32's frames). The run's point always lies
// above those frames, so no jump crosses them. Linux: plain setjmp, which
// the sanitizers know about.
#ifndef KVSFX_RECOVERY_H
#define KVSFX_RECOVERY_H

#include <string.h>

#if defined(_WIN32)
typedef void* RunContext[5];
#define ArmRecovery(context) __builtin_setjmp(context)
#define JumpToRecovery(context) __builtin_longjmp(context, 1)
#else
#include <setjmp.h>
typedef jmp_buf RunContext;
#define ArmRecovery(context) setjmp(context)
#define JumpToRecovery(context) longjmp(context, 1)
#endif

// Resumes at the active recovery point with value (1 or 2). Never returns.
[[noreturn]] void NonLocalReturn(int value);

#endif
