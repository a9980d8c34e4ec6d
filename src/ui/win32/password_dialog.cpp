// The password dialog, built from the inflated password template. OK takes
// the field's text (at most 254 characters) as the one password of the
// archive; Cancel keeps whatever password was stored before.
#include <windows.h>

#include "codec/codec.h"
#include "resources/messages.h"
#include "startup/sfx_state.h"
#include "ui/ui.h"
#include "ui/win32/front_end.h"

namespace {

// GetDlgItemTextA's count includes the terminator: 255 bytes hold the 254
// characters that a password may have.
enum : int { kPasswordReadCount = kPasswordMaxLength + 1 };

INT_PTR OnPasswordOk(HWND dialog) {
    char text[256];
    static_assert(sizeof text >= kPasswordReadCount, "the field's text fits");
    if (GetDlgItemTextA(dialog, kItemPasswordEdit, text, kPasswordReadCount) == 0) return TRUE;  // empty: stay
    // Not stored (no memory): the dialog stays open with no password.
    if (AcceptPassword(text)) EndDialog(dialog, 1);
    SecureZeroMemory(text, sizeof text);
    return TRUE;
}

}  // namespace

INT_PTR CALLBACK PasswordDialogProc(HWND dialog, UINT message, WPARAM wParam, LPARAM) {
    switch (message) {
    case WM_INITDIALOG:
        CentreOnScreen(dialog, HWND_TOP);
        return TRUE;  // the dialog manager puts the focus on the field
    case WM_COMMAND:
        if (wParam == IDOK) return OnPasswordOk(dialog);
        if (wParam == IDCANCEL) {
            EndDialog(dialog, 0);
            return TRUE;
        }
        return FALSE;
    default: return FALSE;
    }
}

// The dialog call gets its own moveable copy of the template; a block that
// cannot be had counts as a cancelled prompt.
intptr_t PasswordDialog(void* parent, const uint8_t* templateBlock) {
    HGLOBAL block = GlobalAlloc(GMEM_MOVEABLE | GMEM_ZEROINIT, kPasswordTemplateBlockSize);
    if (!block) return 0;
    intptr_t result = 0;
    void* dialogTemplate = GlobalLock(block);
    if (dialogTemplate) {
        CopyMemory(dialogTemplate, templateBlock, kPasswordTemplateBlockSize);
        result = DialogBoxIndirectParamA((HINSTANCE)state.instance, (LPCDLGTEMPLATEA)dialogTemplate, (HWND)parent,
                                         PasswordDialogProc, 0);
        GlobalUnlock(block);
    }
    GlobalFree(block);
    return result;
}
