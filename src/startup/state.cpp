// The process-wide record and the configuration block.
#include <string.h>

#include "startup/sfx_state.h"

SfxState state;

// The builder finds this block by its signature and fills in the fields in
// the copied image: "used" keeps the linker from dropping it, volatile keeps
// the compiler from reading its fields as the constants seen here.
__attribute__((used)) volatile SfxConfigBlock sfxConfigBlock = {
    {kBlockSignature[0], kBlockSignature[1], kBlockSignature[2], kBlockSignature[3], kBlockSignature[4],
     kBlockSignature[5], kBlockSignature[6], kBlockSignature[7]},
    0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0,
};

void ResetSfxState() {
    memset(&state, 0, sizeof state);
    state.currentDisk = 1;
}
