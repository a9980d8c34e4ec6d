// The progress meter: the window class "Meter", a bar in two colours with
// the name of the entry being extracted centred across it. The control keeps
// only a range and a position in its window words; the text is composed
// afresh at every paint.
#include <windows.h>

#include "startup/sfx_state.h"
#include "ui/ui.h"
#include "ui/win32/front_end.h"

namespace {

const char kMeterFontFace[] = "MS Shell Dlg";
enum : int { kMeterFontPoints = 8 };

// With create set: builds the 8-point meter font for the display, selects it
// into dc and returns the font it replaced (null when the font could not be
// made, and then nothing is selected). With create clear: selects remembered
// back and deletes the font that this removes.
HGDIOBJ SelectMeterFont(HDC dc, HGDIOBJ remembered, bool create) {
    if (!create) {
        HGDIOBJ removed = remembered ? SelectObject(dc, remembered) : nullptr;
        if (removed) DeleteObject(removed);
        return nullptr;
    }
    LOGFONTA description = {};
    HDC display = CreateDCA("DISPLAY", nullptr, nullptr, nullptr);
    if (display) {
        description.lfHeight = -(kMeterFontPoints * GetDeviceCaps(display, LOGPIXELSY)) / 72;
        DeleteDC(display);
    }
    lstrcpyA(description.lfFaceName, kMeterFontFace);
    HFONT font = CreateFontIndirectA(&description);
    if (!font) return nullptr;
    // A font that could not be selected (no device context from BeginPaint)
    // would never be deleted by the restoring call: one font lost per paint.
    HGDIOBJ former = SelectObject(dc, font);
    if (!former) DeleteObject(font);
    return former;
}

// Exchanges the text and background colours of dc.
void SwapColours(HDC dc) {
    COLORREF formerText = SetTextColor(dc, GetBkColor(dc));
    SetBkColor(dc, formerText);
}

LRESULT OnMeterPaint(HWND meter) {
    // 1. Range and position; an empty range draws an empty bar.
    int32_t range = (uint16_t)SendMessageA(meter, MTM_GETRANGE, 0, 0);
    int32_t position = (uint16_t)SendMessageA(meter, MTM_GETPOS, 0, 0);
    if (range == 0) {
        range = 1;
        position = 0;
    }
    // 2. The entry's name, as the status line shows it.
    char text[kMeterTextArea];
    FormatEntryStatus(text, sizeof text);
    int length = lstrlenA(text);

    // 3. to 5. Font, colours (done part: highlight background), centred text.
    PAINTSTRUCT paint;
    HDC dc = BeginPaint(meter, &paint);
    HGDIOBJ formerFont = SelectMeterFont(dc, nullptr, true);
    SetBkColor(dc, GetSysColor(COLOR_HIGHLIGHTTEXT));
    SetTextColor(dc, GetSysColor(COLOR_HIGHLIGHT));
    SetTextAlign(dc, TA_CENTER | TA_TOP);
    SwapColours(dc);

    // 6. The boundary between the done part and the rest.
    RECT client;
    GetClientRect(meter, &client);
    int32_t width = client.right, height = client.bottom;
    int32_t split = position * width / range;

    // 7. The text stands a quarter of the free height from the top; a text
    // taller than the control wraps the difference and falls outside the
    // clip rectangles, leaving only the two colour blocks.
    SIZE extent;
    int32_t textHeight = GetTextExtentPoint32A(dc, "X", 1, &extent) ? extent.cy : 0;
    int x = width / 2;
    int y = (int)((uint32_t)(height - textHeight) >> 2);

    // 8. The done part. Drawn even when "X" could not be measured: the
    // control has no background brush, so an undrawn part would show
    // whatever lay there before.
    RECT part = {0, 0, split, height};
    ExtTextOutA(dc, x, y, ETO_CLIPPED | ETO_OPAQUE, &part, text, (UINT)length, nullptr);

    // 9. and 10. The rest, colours swapped back, the same text at the same
    // place: its colours invert exactly at the boundary.
    SetRect(&part, split, 0, width, height);
    SwapColours(dc);
    ExtTextOutA(dc, x, y, ETO_CLIPPED | ETO_OPAQUE, &part, text, (UINT)length, nullptr);

    // 11.
    SelectMeterFont(dc, formerFont, false);
    EndPaint(meter, &paint);
    return 0;
}

// Stores one window word and repaints at once.
LRESULT OnMeterSet(HWND meter, int word, WPARAM value) {
    SetWindowWord(meter, word, (WORD)value);
    InvalidateRect(meter, nullptr, FALSE);
    UpdateWindow(meter);
    return 0;
}

}  // namespace

LRESULT CALLBACK MeterWndProc(HWND meter, UINT message, WPARAM wParam, LPARAM lParam) {
    switch (message) {
    case MTM_SETRANGE: return OnMeterSet(meter, kMeterRangeWord, wParam);
    case MTM_GETRANGE: return (WORD)GetWindowWord(meter, kMeterRangeWord);
    case MTM_SETPOS: return OnMeterSet(meter, kMeterPositionWord, wParam);
    case MTM_GETPOS: return (WORD)GetWindowWord(meter, kMeterPositionWord);
    case WM_CREATE:
        SendMessageA(meter, MTM_SETRANGE, 100, 0);
        SendMessageA(meter, MTM_SETPOS, 50, 0);
        return 0;
    case WM_GETDLGCODE: return DLGC_STATIC;
    case WM_PAINT: return OnMeterPaint(meter);
    default: return DefWindowProcA(meter, message, wParam, lParam);
    }
}

// Also loads the two system cursors of the run (the hourglass and the arrow):
// they are needed from the moment the dialog exists.
void RegisterMeterClass(void* instance) {
    state.waitCursor = LoadCursorA(nullptr, IDC_WAIT);
    state.arrowCursor = LoadCursorA(nullptr, IDC_ARROW);

    WNDCLASSA meterClass = {};
    meterClass.style = CS_HREDRAW | CS_VREDRAW;
    meterClass.lpfnWndProc = MeterWndProc;
    meterClass.cbWndExtra = kMeterExtraBytes;
    meterClass.hInstance = (HINSTANCE)instance;
    meterClass.hCursor = (HCURSOR)state.arrowCursor;
    meterClass.lpszClassName = "Meter";
    RegisterClassA(&meterClass);  // a failure leaves the dialog without its meter
}

void MeterSetPosition(uint32_t position) {
    if (state.mainDialog) SendDlgItemMessageA((HWND)state.mainDialog, kItemMeter, MTM_SETPOS, (WORD)position, 0);
}

void MeterRepaint() {
    if (!state.mainDialog) return;
    // A null window would invalidate every window of the desktop.
    HWND meter = GetDlgItem((HWND)state.mainDialog, kItemMeter);
    if (meter) InvalidateRect(meter, nullptr, FALSE);
    UpdateWindow((HWND)state.mainDialog);
}
