// The check after every write of output data, which is also the moment the
// user can stop the run.
#include "failure/failure.h"
#include "failure/recovery.h"
#include "resources/messages.h"
#include "startup/sfx_state.h"
#include "startup/text.h"
#include "ui/ui.h"

namespace {

// Message 35 naming the file being written, then the end of the run.
[[noreturn]] void WriteError() {
    FormatGuarded(state.messageBuffer, kMessageBufferSize, kGuardWriteErrorText, MessageText(MSG_WRITE_ERROR),
                  state.currentName);
    FatalError(state.messageBuffer);
}

}  // namespace

// writeResult is what the write of outCount bytes returned. Returns only
// when the write was complete and the user did not ask to abort.
void CheckWrite(int32_t writeResult) {
    if (writeResult == -1 || writeResult != state.outCount) WriteError();
    if (PollCancel()) NonLocalReturn(2);
}

// flushed is what flushFile returned for the output file: the writes the
// system side gathered failing there fail as any write does.
void CheckFlush(int flushed) {
    if (!flushed) WriteError();
}
