// The cancellation poll. A run executes inside the Unzip command, so the
// dialog's own loop is blocked; after every write the poll drains the
// thread's queue: painting and timers go through, mouse movement renews the
// hourglass, other input is swallowed, and a click or key press aimed at
// the dialog asks whether to abort.
#include <windows.h>

#include "resources/messages.h"
#include "startup/sfx_state.h"
#include "ui/ui.h"

namespace {

// The dialog itself or one of its direct children.
bool AimedAtDialog(HWND window) {
    HWND dialog = (HWND)state.mainDialog;
    return dialog && (window == dialog || GetParent(window) == dialog);
}

// No is the default answer: a key press that goes on after the question
// appears must not end the run.
int AskAbort() {
    return sfxPlatform.messageBox(state.mainDialog, MessageText(MSG_CONFIRM_ABORT), programTitle,
                                  MB_YESNO | MB_ICONQUESTION | MB_DEFBUTTON2) == IDYES;
}

}  // namespace

int PollCancel() {
    MSG message;
    while (PeekMessageA(&message, nullptr, 0, 0, PM_REMOVE)) {
        switch (message.message) {
        case WM_SETCURSOR:
        case WM_MOUSEMOVE:
        case WM_NCMOUSEMOVE:
            SetCursor((HCURSOR)state.waitCursor);
            break;
        case WM_CHAR:
            // Only a character whose key is going up is treated as a press.
            if (!(message.lParam & 0x80000000)) break;
            [[fallthrough]];
        case WM_KEYDOWN:
        case WM_LBUTTONDOWN:
        case WM_LBUTTONDBLCLK:
        case WM_NCLBUTTONDOWN:
        case WM_NCLBUTTONDBLCLK:
        case WM_VKEYTOITEM:
            // The question ends this poll either way; the rest of the queue
            // waits for the next one.
            if (AimedAtDialog(message.hwnd)) return AskAbort();
            break;
        default:
            TranslateMessage(&message);
            DispatchMessageA(&message);
            break;
        }
    }
    return 0;
}
