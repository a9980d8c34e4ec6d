// The process-wide record and the configuration block.
#include <string.h>

#include "startup/sfx_state.h"

SfxState state;

// The builder finds this block by its signature and fills in the fields in
// the copied image: "used" keeps the linker from dropping it, volatile keeps
// the compiler from reading its fields as the constants seen here.
__attribute__((used)) volatile SfxConfigBlock sfxConfigBlock = {
    {'Q', 'X', 'B', 0x01, 's', 'f', 'x', 0x02},  // signature
    0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0,
};

void ResetSfxState() {
    memset(&state, 0, sizeof state);
    state.currentDisk = 1;
}
