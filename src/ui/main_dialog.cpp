// The main dialog's rules, the same for every front-end: its title, when the
// meter stands in for the status line during a run, and the Unzip command
// from the press of the button to the count of files. The front-ends
// (ui/win32/, ui/terminal/) keep only their widgets, which these steps reach
// through the front-end procedures of ui.h.
#include "codec/codec.h"
#include "output/output.h"
#include "resources/messages.h"
#include "startup/sfx_state.h"
#include "startup/text.h"
#include "ui/ui.h"

// Steps 6 and 7 of the initialisation: "title - program" with the program's
// whole file name, whatever its length; the creator's title instead when the
// configuration asks for it, and "Installation" (message 8) when that title
// is empty.
void FormatDialogTitle(char* title, uint32_t capacity) {
    FormatText(title, capacity, "%s - %s", programTitle, LastComponent(state.archivePath));
    if (sfxConfigBlock.flags & SFXF_TITLE_IN_DIALOG)
        FormatText(title, capacity, "%s",
                   state.customTitle && state.customTitle[0] ? state.customTitle : MessageText(MSG_INSTALL_TITLE));
}

namespace {

// Step 9: the show-the-meter timer, if it still runs, stops.
void StopProgressTimer() {
    if (state.progressTimer) KillProgressTimer();
    state.progressTimer = 0;
}

// Step 6: the meter is shown at once for a large or spanned archive, or when
// the timer cannot be started; otherwise the timer decides. A front-end
// without a meter keeps its status line and starts no timer.
void PrepareMeter() {
    state.meterShown = 0;
    state.progressTimer = 0;
    if (!BeginRunDisplay()) return;
    if (MeterAtOnce() || (state.progressTimer = StartProgressTimer()) == 0) ShowMeter();
}

}  // namespace

// Half a second after the start: a run that has written less than a third of
// the archive by then gets the meter; a quick one keeps the status line. The
// timer only ever runs where there is a meter.
void ProgressTimerTick() {
    StopProgressTimer();
    if (MeterDueAtTimer()) ShowMeter();
}

int UnzipCommand() {
    // The cancellation poll may dispatch a command while a run goes on; a
    // second run must never start inside the first.
    if (state.extracting) return 1;

    // 1, 2. Close becomes the default button for good; the fields are read.
    UnzipPressed();
    if (state.destFolder[0] == 0) {
        // 3. No destination: message 17, and the dialog stays, in automatic mode too.
        sfxPlatform.messageBox(state.mainDialog, MessageText(MSG_NO_FOLDER), programTitle, kBoxIconError | kBoxOk);
    } else {
        // 4, 5. A cancelled password prompt starts no run.
        StatusLineShow("");
        if (!PromptForPassword(state.mainDialog)) {
            EnableUnzip();
            return 1;
        }
        PrepareMeter();                // 6.
        int result = RunExtraction();  // 7, 8.
        StopProgressTimer();           // 9.
        EndRunDisplay();               // 10. The status line comes back in place of the meter, empty.
        StatusLineShow("");
        if (result != 0) {
            // 11. The error or question that ended the run was shown already.
            StatusLineShow(MessageText(MSG_ABORTED));
            CloseMainDialog();
            return 1;
        }
        // 12, 13. The count: in the status line, and in a box unless in
        // automatic mode, where the dialog closes by itself. The creator's
        // program starts once the dialog has closed: no box stands in its
        // way either.
        char done[kMessageBufferSize];
        FormatText(done, sizeof done, MessageText(MSG_DONE_COUNT), state.filesExtracted);
        if (state.autoMode || state.programPending) {
            StatusLineShow(done);
            CloseMainDialog();
            return 1;
        }
        StatusLineBehindBox(done);
        sfxPlatform.messageBox(state.mainDialog, done, programTitle, kBoxOk);
    }
    EnableUnzip();  // 14.
    return 0;
}
