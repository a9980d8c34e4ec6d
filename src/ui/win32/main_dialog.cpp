// The main dialog: the program's whole user interface. It is created from
// the template inside the message table, runs one extraction synchronously
// inside its Unzip command, and in auto mode presses Unzip by itself and
// closes afterwards.
//
// Nothing here arms a recovery point: a failure outside a run ends the
// process (failure/), and each run arms its own point inside ExtractArchive,
// above the dialog manager's frames.
#include <windows.h>
#include <shlobj.h>

#include "codec/codec.h"
#include "output/output.h"
#include "resources/messages.h"
#include "startup/program_start.h"
#include "startup/sfx_state.h"
#include "startup/text.h"
#include "ui/ui.h"
#include "ui/win32/front_end.h"

namespace {

enum : uint32_t {
    kFolderFieldLimit = 260,   // characters in field 106
    kBrowseFlags = BIF_RETURNONLYFSDIRS | BIF_RETURNFSANCESTORS,
    kTitleArea = 300,          // "Kelvra Self-Extractor - " and a file name
};
static_assert(kBrowseFlags == 9, "the folder picker's flags");

HWND Item(HWND dialog, int id) { return GetDlgItem(dialog, id); }

void ShowItem(HWND dialog, int id, bool show) {
    HWND item = Item(dialog, id);
    if (item) ShowWindow(item, show ? SW_SHOW : SW_HIDE);
}

// Invalidate without erasing (never with a null window: that would be the
// whole desktop).
void InvalidateItem(HWND dialog, int id) {
    HWND item = Item(dialog, id);
    if (item) InvalidateRect(item, nullptr, FALSE);
}

void RepaintDialog(HWND dialog) {
    InvalidateRect(dialog, nullptr, FALSE);
    UpdateWindow(dialog);
}

void ShowMeterInsteadOfStatus(HWND dialog) {
    ShowItem(dialog, kItemStatus, false);
    ShowItem(dialog, kItemMeter, true);
    state.meterShown = 1;
}

int Box(HWND owner, const char* text, uint32_t style) {
    return sfxPlatform.messageBox(owner, text, programTitle, style);
}

// --- initialisation ------------------------------------------------------

void SetDialogTitle(HWND dialog) {
    char title[kTitleArea];
    // 6. Always the whole file name, whatever its length.
    FormatText(title, sizeof title, "%s - %s", programTitle, LastComponent(state.archivePath));
    // 7. The creator's title, or "Installation" when it is empty.
    if (sfxConfigBlock.flags & SFXF_TITLE_IN_DIALOG)
        FormatText(title, sizeof title, "%s",
                   state.customTitle && state.customTitle[0] ? state.customTitle : MessageText(MSG_INSTALL_TITLE));
    SetWindowTextA(dialog, title);
}

INT_PTR OnInitDialog(HWND dialog) {
    CentreOnScreen(dialog, nullptr);                                                      // 1.
    SendDlgItemMessageA(dialog, kItemOverwrite, BM_SETCHECK,                              // 2.
                        state.overwriteAll ? BST_CHECKED : BST_UNCHECKED, 0);
    ShowItem(dialog, kItemMeter, false);                                                  // 3.
    state.extracting = 0;                                                                 // 4.
    char intro[kMessageBufferSize];                                                       // 5.
    FormatIntro(intro, sizeof intro);
    SetDlgItemTextA(dialog, kItemExplanation, intro);
    char notice[kMessageBufferSize];                                                      // the program to run
    FormatProgramNotice(notice, sizeof notice);
    SetDlgItemTextA(dialog, kItemProgramNotice, notice);
    SetDialogTitle(dialog);                                                               // 6. 7.
    SendDlgItemMessageA(dialog, kItemFolder, EM_LIMITTEXT, kFolderFieldLimit, 0);         // 8.
    ResolveDefaultFolder();                                                               // 9.
    SetDlgItemTextA(dialog, kItemFolder, state.destFolder);                               // 10.
    state.mainDialog = dialog;                                                            // 11.
    ShowItem(dialog, kItemHiddenCheck, false);                                            // 12.
    SetDlgItemTextA(dialog, kItemStatus, "");                                             // 13.
    if (state.autoMode) PostMessageA(dialog, WM_COMMAND, kItemUnzip, 0);                 // 14.
    SetForegroundWindow(dialog);                                                          // 15.
    SetActiveWindow(dialog);
    return TRUE;
}

// --- Unzip ---------------------------------------------------------------

// Step 1: Close becomes the default button and Unzip is disabled. A disabled
// button cannot keep the keyboard focus; the dialog would be left with none,
// and key presses (Escape, or any key that should ask whether to abort)
// would reach no control. The focus follows the default button.
void MakeCloseDefault(HWND dialog) {
    SendMessageA(dialog, DM_SETDEFID, kItemClose, 0);
    SendDlgItemMessageA(dialog, kItemUnzip, BM_SETSTYLE, BS_PUSHBUTTON, TRUE);
    SendDlgItemMessageA(dialog, kItemClose, BM_SETSTYLE, BS_DEFPUSHBUTTON, TRUE);
    EnableWindow(Item(dialog, kItemUnzip), FALSE);
    if (!GetFocus()) SendMessageA(dialog, WM_NEXTDLGCTL, (WPARAM)Item(dialog, kItemClose), TRUE);
}

// Step 6: the meter is shown at once for a large or spanned archive, or
// when the timer cannot be started; otherwise timer 69 decides.
void PrepareMeter(HWND dialog) {
    state.meterShown = 0;
    HWND meter = Item(dialog, kItemMeter);
    if (!meter) return;
    SendMessageA(meter, MTM_SETPOS, 0, 0);
    SendMessageA(meter, MTM_SETRANGE, 100, 0);
    state.progressTimer = 0;
    if (MeterAtOnce() || !(state.progressTimer = SetTimer(dialog, kProgressTimerId, kProgressTimerPeriod, nullptr)))
        ShowMeterInsteadOfStatus(dialog);
}

void StopProgressTimer(HWND dialog) {
    if (state.progressTimer) KillTimer(dialog, kProgressTimerId);
    state.progressTimer = 0;
}

// Step 10: full bar, then the status line comes back in place of the meter.
void RestoreStatusLine(HWND dialog) {
    SendDlgItemMessageA(dialog, kItemMeter, MTM_SETPOS, 100, 0);
    RepaintDialog(dialog);
    if (Item(dialog, kItemMeter) && state.meterShown) {
        ShowItem(dialog, kItemMeter, false);
        ShowItem(dialog, kItemStatus, true);
    }
    RepaintDialog(dialog);
    SetDlgItemTextA(dialog, kItemStatus, "");
}

void ReportCount(HWND dialog) {
    char text[kMessageBufferSize];
    FormatText(text, sizeof text, MessageText(MSG_DONE_COUNT), state.filesExtracted);
    SetDlgItemTextA(dialog, kItemStatus, text);
    if (!state.autoMode) Box(dialog, text, MB_OK);
}

INT_PTR OnUnzip(HWND dialog) {
    // The cancellation poll may dispatch a command while a run goes on; a
    // second run must never start inside the first.
    if (state.extracting) return TRUE;

    MakeCloseDefault(dialog);                                                             // 1.
    state.overwriteAll = SendDlgItemMessageA(dialog, kItemOverwrite, BM_GETCHECK, 0, 0) == BST_CHECKED;  // 2.
    GetDlgItemTextA(dialog, kItemFolder, state.destFolder, kPathCapacity);
    if (!state.destFolder[0]) {                                                           // 3.
        Box(dialog, MessageText(MSG_NO_FOLDER), MB_ICONERROR);
    } else {
        SetDlgItemTextA(dialog, kItemStatus, "");                                         // 4.
        if (!PromptForPassword(dialog)) {                                                 // 5.
            EnableWindow(Item(dialog, kItemUnzip), TRUE);
            return TRUE;
        }
        PrepareMeter(dialog);                                                             // 6.
        int result = RunExtraction();                                                     // 7. 8.
        StopProgressTimer(dialog);                                                        // 9.
        RestoreStatusLine(dialog);                                                        // 10.
        if (result != 0) {                                                                // 11.
            SetDlgItemTextA(dialog, kItemStatus, MessageText(MSG_ABORTED));
            EndDialog(dialog, 1);
            return TRUE;
        }
        // The creator's program starts once the dialog has closed: no
        // count box stands in its way.
        if (state.programPending) {
            EndDialog(dialog, 1);
            return TRUE;
        }
        ReportCount(dialog);                                                              // 12.
        if (state.autoMode) PostMessageA(dialog, WM_COMMAND, kItemClose, 0);             // 13.
    }
    EnableWindow(Item(dialog, kItemUnzip), TRUE);                                         // 14.
    return FALSE;
}

// --- timer 69 ------------------------------------------------------------

// Half a second after the start: a run that has written less than a third
// of the archive by then gets the meter; a quick one keeps the status line.
// Ignored while one of the run's message boxes is up.
INT_PTR OnProgressTimer(HWND dialog) {
    if (GetLastActivePopup(dialog) != dialog) return TRUE;
    StopProgressTimer(dialog);
    if (Item(dialog, kItemMeter) && MeterDueAtTimer()) {
        ShowMeterInsteadOfStatus(dialog);
        InvalidateItem(dialog, kItemMeter);
    }
    return TRUE;
}

// --- the other buttons ---------------------------------------------------

void BrowseForFolder(HWND dialog) {
    IMalloc* allocator = nullptr;
    if (SHGetMalloc(&allocator) != NOERROR || !allocator) return;
    char displayName[MAX_PATH + 1];
    BROWSEINFOA browse = {};
    browse.hwndOwner = dialog;
    browse.pszDisplayName = displayName;
    browse.lpszTitle = MessageText(MSG_BROWSE_TITLE);
    browse.ulFlags = kBrowseFlags;
    LPITEMIDLIST chosen = SHBrowseForFolderA(&browse);
    if (chosen) {
        // Converted aside first: a failed conversion leaves destFolder as it was.
        char path[MAX_PATH + 1];
        static_assert(sizeof path <= kPathCapacity, "a shell path fits destFolder");
        if (SHGetPathFromIDListA(chosen, path)) {
            lstrcpyA(state.destFolder, path);
            SetDlgItemTextA(dialog, kItemFolder, state.destFolder);
        }
        allocator->Free(chosen);
    }
    allocator->Release();
}

INT_PTR OnCommand(HWND dialog, WPARAM command) {
    switch (command) {
    case kItemUnzip: return OnUnzip(dialog);
    case kItemClose: EndDialog(dialog, 1); return TRUE;
    case kItemHelp: ShowHelp(); return TRUE;
    case kItemAbout: ShowAbout(); return TRUE;
    case kItemRunArchiver:
        if (LaunchArchiver()) EndDialog(dialog, 1);
        return TRUE;
    case kItemBrowse: BrowseForFolder(dialog); return TRUE;
    default: return FALSE;  // notifications (non-zero code) are not commands
    }
}

}  // namespace

void CentreOnScreen(HWND window, HWND insertAfter) {
    RECT frame;
    GetWindowRect(window, &frame);
    int x = (GetSystemMetrics(SM_CXSCREEN) - (frame.right - frame.left)) / 2;
    int y = (GetSystemMetrics(SM_CYSCREEN) - (frame.bottom - frame.top)) / 2;
    SetWindowPos(window, insertAfter, x, y, 0, 0, SWP_NOSIZE | SWP_NOACTIVATE);
}

INT_PTR CALLBACK MainDialogProc(HWND dialog, UINT message, WPARAM wParam, LPARAM) {
    switch (message) {
    case WM_INITDIALOG: return OnInitDialog(dialog);
    case WM_COMMAND: return OnCommand(dialog, wParam);
    case WM_TIMER: return wParam == kProgressTimerId ? OnProgressTimer(dialog) : FALSE;
    default: return FALSE;
    }
}

// Step 20 of the main sequence. The template's offset in the message table
// follows the texts before it and need not be a multiple of 4; the dialog
// call always gets this aligned copy. A dialog that could not be shown at
// all (no memory for the template, no desktop to show it on) has extracted
// nothing: the program ends with 2, not with the 0 of a normal end.
void RunMainDialog() {
    HGLOBAL block = GlobalAlloc(GMEM_MOVEABLE | GMEM_ZEROINIT, kMainTemplateCopySize);
    void* dialogTemplate = block ? GlobalLock(block) : nullptr;
    INT_PTR result = -1;
    if (dialogTemplate) {
        CopyMemory(dialogTemplate, MessageText(MSG_MAIN_DIALOG), kMainTemplateCopySize);
        result = DialogBoxIndirectParamA((HINSTANCE)state.instance, (LPCDLGTEMPLATEA)dialogTemplate, nullptr,
                                         MainDialogProc, 0);
        GlobalUnlock(block);
    }
    if (block) GlobalFree(block);
    if (result == -1 || result == 0) state.exitCode = 2;
}

// The per-entry text while the meter is hidden.
void StatusLineShow(const char* text) {
    if (!state.mainDialog) return;
    SetDlgItemTextA((HWND)state.mainDialog, kItemStatus, text);
    InvalidateItem((HWND)state.mainDialog, kItemStatus);
}

// The run shows the hourglass from its start and the arrow again at its end.
void UseCursor(void* cursor) {
    if (cursor) SetCursor((HCURSOR)cursor);
}
