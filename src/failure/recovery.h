// Recovery points: where FatalError and the user's aborts resume.
//
// The start-up arms one in SfxMain, each extraction run arms its own for its
// duration. ArmRecovery returns 0 when armed and, after a non-local return,
// returns again with non-zero; the value carried is state.recoveryValue.
//
// The context and the two macros come from the platform layer
// (platform/system_rules.h), which picks them for the system.
#ifndef KVSFX_RECOVERY_H
#define KVSFX_RECOVERY_H

#include <string.h>

#include "platform/system_rules.h"

// Resumes at the active recovery point with value (1 or 2). Never returns.
[[noreturn]] void NonLocalReturn(int value);

#endif
