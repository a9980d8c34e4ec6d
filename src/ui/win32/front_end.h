// The Windows front-end's window procedures and the "Meter" control's own
// messages. The MTM_ codes lie in the WM_USER range because they are sent to
// the meter window itself, never to a dialog.
#ifndef KVSFX_UI_WINDOWS_FRONT_END_H
#define KVSFX_UI_WINDOWS_FRONT_END_H

#include <windows.h>

enum : UINT {
    MTM_SETRANGE = WM_USER + 0,  // wParam: new range (low 16 bits); repaints at once
    MTM_GETRANGE = WM_USER + 1,  // result: the range
    MTM_SETPOS = WM_USER + 2,    // wParam: new position (low 16 bits); repaints at once
    MTM_GETPOS = WM_USER + 3,    // result: the position
};

// Window extra bytes of a meter: two unsigned 16-bit words.
enum : int { kMeterRangeWord = 0, kMeterPositionWord = 2, kMeterExtraBytes = 4 };

LRESULT CALLBACK MeterWndProc(HWND meter, UINT message, WPARAM wParam, LPARAM lParam);
INT_PTR CALLBACK MainDialogProc(HWND dialog, UINT message, WPARAM wParam, LPARAM lParam);
INT_PTR CALLBACK PasswordDialogProc(HWND dialog, UINT message, WPARAM wParam, LPARAM lParam);

// Centres a window on the screen without resizing or activating it.
void CentreOnScreen(HWND window, HWND insertAfter);

#endif
