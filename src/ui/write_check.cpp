// The check after every write of output data, which is also the moment the
// user can stop the run.
#include "failure/failure.h"
#include "failure/recovery.h"
#include "resources/messages.h"
#include "startup/sfx_state.h"
#include "startup/text.h"
#include "ui/ui.h"

// writeResult is what the write of outCount bytes returned. Returns only
// when the write was complete and the user did not ask to abort.
void CheckWrite(int32_t writeResult) {
    if (writeResult == -1 || writeResult != state.outCount) {
        FormatGuarded(state.messageBuffer, kMessageBufferSize, kGuardWriteErrorText, MessageText(MSG_WRITE_ERROR),
                      state.currentName);
        FatalError(state.messageBuffer);
    }
    if (PollCancel()) NonLocalReturn(2);
}
