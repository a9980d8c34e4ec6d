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

// --- initialisation ------------------------------------------------------

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
    char title[kTitleArea];                                                               // 6. 7.
    FormatDialogTitle(title, sizeof title);
    SetWindowTextA(dialog, title);
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

// --- timer 69 ------------------------------------------------------------

// Ignored while one of the run's message boxes is up.
INT_PTR OnProgressTimer(HWND dialog) {
    if (GetLastActivePopup(dialog) == dialog) ProgressTimerTick();
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
    case kItemUnzip: return UnzipCommand();
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

// --- the widgets of the Unzip command (ui/main_dialog.cpp) -----------------

namespace {

HWND MainDialog() { return (HWND)state.mainDialog; }

void RepaintDialog(HWND dialog) {
    InvalidateRect(dialog, nullptr, FALSE);
    UpdateWindow(dialog);
}

}  // namespace

// Close becomes the default button and Unzip is disabled. A disabled button
// cannot keep the keyboard focus; the dialog would be left with none, and key
// presses (Escape, or any key that should ask whether to abort) would reach
// no control. The focus follows the default button. Then the check box and
// the folder field are read.
void UnzipPressed() {
    HWND dialog = MainDialog();
    SendMessageA(dialog, DM_SETDEFID, kItemClose, 0);
    SendDlgItemMessageA(dialog, kItemUnzip, BM_SETSTYLE, BS_PUSHBUTTON, TRUE);
    SendDlgItemMessageA(dialog, kItemClose, BM_SETSTYLE, BS_DEFPUSHBUTTON, TRUE);
    EnableWindow(Item(dialog, kItemUnzip), FALSE);
    if (!GetFocus()) SendMessageA(dialog, WM_NEXTDLGCTL, (WPARAM)Item(dialog, kItemClose), TRUE);
    state.overwriteAll = SendDlgItemMessageA(dialog, kItemOverwrite, BM_GETCHECK, 0, 0) == BST_CHECKED;
    GetDlgItemTextA(dialog, kItemFolder, state.destFolder, kPathCapacity);
}

void EnableUnzip() { EnableWindow(Item(MainDialog(), kItemUnzip), TRUE); }

void CloseMainDialog() { EndDialog(MainDialog(), 1); }

// The meter at 0 of 100; the dialog has one unless its template lost it.
int BeginRunDisplay() {
    HWND meter = Item(MainDialog(), kItemMeter);
    if (!meter) return 0;
    SendMessageA(meter, MTM_SETPOS, 0, 0);
    SendMessageA(meter, MTM_SETRANGE, 100, 0);
    return 1;
}

uintptr_t StartProgressTimer() { return SetTimer(MainDialog(), kProgressTimerId, kProgressTimerPeriod, nullptr); }

void KillProgressTimer() { KillTimer(MainDialog(), kProgressTimerId); }

// The meter in place of the status line.
void ShowMeter() {
    HWND dialog = MainDialog();
    ShowItem(dialog, kItemStatus, false);
    ShowItem(dialog, kItemMeter, true);
    state.meterShown = 1;
    InvalidateItem(dialog, kItemMeter);
}

// Full bar, then the status line comes back in place of the meter.
void EndRunDisplay() {
    HWND dialog = MainDialog();
    SendDlgItemMessageA(dialog, kItemMeter, MTM_SETPOS, 100, 0);
    RepaintDialog(dialog);
    if (Item(dialog, kItemMeter) && state.meterShown) {
        ShowItem(dialog, kItemMeter, false);
        ShowItem(dialog, kItemStatus, true);
    }
    RepaintDialog(dialog);
}

// The dialog shows the status line beside the box.
void StatusLineBehindBox(const char* text) { StatusLineShow(text); }
