/* The Wine tests' eyes: a console program that runs beside the stub in the
 * same Wine session and reports what is on the screen. It reads one command
 * per line on standard input and answers with lines ending in "END":
 *
 *   list             every visible top-level window
 *   dump CAPTION     the visible top-level windows with that caption, each
 *                    with all its child controls
 *   quit
 *
 * Started with arguments, it stands in for the archiver instead: it writes
 * its whole command line into "launched.txt" beside itself and ends.
 *
 * A window line:  WINDOW <handle> <x> <y> <w> <h> <enabled> <pid> <foreground>|<caption>
 * A control line: ITEM <id> <class> <visible> <enabled> <checked> <x> <y> <w> <h> <extra> <need-w> <need-h>|<text>
 * Coordinates are screen pixels; <extra> is the meter's position (or -1).
 * <need-w> <need-h> is the room a static text control's text needs, word
 * wrapped within the control's width in the dialog font of the templates
 * ("MS Shell Dlg", 8 points, at the screen's DPI), as DrawText measures it;
 * -1 -1 for other controls. Each window is read in its own DPI awareness
 * (where the system has per-thread awareness), so that a program the system
 * scales for a high DPI is measured in the pixels it draws in, and one that
 * draws at the screen's DPI in the screen's pixels.
 * Texts are the system's ANSI bytes with line breaks written as \n and \r.
 * Texts are read with WM_GETTEXT under a time limit, so a busy stub never
 * blocks the probe. */
#include <windows.h>
#include <fcntl.h>
#include <io.h>
#include <stdio.h>
#include <string.h>

#define TEXT_LIMIT 2048
#define WAIT_MS 2000

static void put_text(const char *text) {
    for (; *text; text++) {
        if (*text == '\n') fputs("\\n", stdout);
        else if (*text == '\r') fputs("\\r", stdout);
        else if (*text == '\\') fputs("\\\\", stdout);
        else putchar(*text);
    }
}

static void window_text(HWND window, char *text) {
    DWORD_PTR length = 0;
    text[0] = 0;
    if (!SendMessageTimeoutA(window, WM_GETTEXT, TEXT_LIMIT, (LPARAM)text, SMTO_ABORTIFHUNG, WAIT_MS, &length))
        text[0] = 0;
    text[TEXT_LIMIT - 1] = 0;
}

static HFONT dialog_font;
static int dialog_font_dpi;

typedef void *(WINAPI *awareness_fn)(void *);
static awareness_fn set_thread_awareness, window_awareness;
typedef UINT(WINAPI *dpi_fn)(HWND);
static dpi_fn dpi_for_window;

/* The templates' font, "MS Shell Dlg" 8 points, at the DPI the window is drawn in. */
static void use_dialog_font(HWND window) {
    HDC dc = GetDC(NULL);
    int dpi = dpi_for_window ? (int)dpi_for_window(window) : GetDeviceCaps(dc, LOGPIXELSY);
    ReleaseDC(NULL, dc);
    if (dialog_font && dpi == dialog_font_dpi) return;
    if (dialog_font) DeleteObject(dialog_font);
    dialog_font_dpi = dpi;
    dialog_font = CreateFontA(-MulDiv(8, dpi, 72), 0, 0, 0, FW_NORMAL, 0, 0, 0, DEFAULT_CHARSET, OUT_DEFAULT_PRECIS,
                              CLIP_DEFAULT_PRECIS, DEFAULT_QUALITY, FF_DONTCARE, "MS Shell Dlg");
}

static void text_need(HWND item, const char *text, const RECT *frame, long *need_w, long *need_h) {
    LONG style = GetWindowLongA(item, GWL_STYLE);
    LONG type = style & SS_TYPEMASK;
    HDC dc;
    HGDIOBJ old;
    RECT room;
    UINT flags = DT_CALCRECT | DT_WORDBREAK | DT_EXPANDTABS;
    *need_w = *need_h = -1;
    if (type != SS_LEFT && type != SS_CENTER && type != SS_RIGHT && type != SS_LEFTNOWORDWRAP) return;
    if (type == SS_LEFTNOWORDWRAP) flags = DT_CALCRECT | DT_EXPANDTABS;
    if (style & SS_NOPREFIX) flags |= DT_NOPREFIX;
    SetRect(&room, 0, 0, frame->right - frame->left, 0);
    dc = GetDC(NULL);
    old = SelectObject(dc, dialog_font);
    if (*text) DrawTextA(dc, text, -1, &room, flags);
    SelectObject(dc, old);
    ReleaseDC(NULL, dc);
    *need_w = room.right - room.left;
    *need_h = room.bottom - room.top;
}

static LRESULT ask(HWND window, UINT message) {
    DWORD_PTR result = 0;
    if (!SendMessageTimeoutA(window, message, 0, 0, SMTO_ABORTIFHUNG, WAIT_MS, &result)) return -1;
    return (LRESULT)result;
}

static BOOL CALLBACK put_item(HWND item, LPARAM parent) {
    char class_name[64], text[TEXT_LIMIT];
    RECT frame;
    LRESULT checked = 0, extra = -1;
    long need_w = -1, need_h = -1;
    if (GetParent(item) != (HWND)parent) return TRUE;
    GetClassNameA(item, class_name, sizeof class_name);
    GetWindowRect(item, &frame);
    window_text(item, text);
    if (!lstrcmpiA(class_name, "Button")) checked = ask(item, BM_GETCHECK);
    if (!lstrcmpiA(class_name, "Meter")) extra = ask(item, WM_USER + 3);
    if (!lstrcmpiA(class_name, "Static")) text_need(item, text, &frame, &need_w, &need_h);
    printf("ITEM %d %s %d %d %d %ld %ld %ld %ld %ld %ld %ld|", GetDlgCtrlID(item), class_name,
           IsWindowVisible(item) ? 1 : 0, IsWindowEnabled(item) ? 1 : 0, (int)checked, frame.left, frame.top,
           frame.right - frame.left, frame.bottom - frame.top, (long)extra, need_w, need_h);
    put_text(text);
    putchar('\n');
    return TRUE;
}

static const char *wanted;

static BOOL CALLBACK put_window(HWND window, LPARAM with_items) {
    char text[TEXT_LIMIT];
    RECT frame;
    DWORD pid = 0;
    void *previous = NULL;
    if (!IsWindowVisible(window)) return TRUE;
    GetWindowTextA(window, text, sizeof text);
    if (wanted && strcmp(text, wanted) != 0) return TRUE;
    if (set_thread_awareness && window_awareness) previous = set_thread_awareness(window_awareness(window));
    use_dialog_font(window);
    GetWindowRect(window, &frame);
    GetWindowThreadProcessId(window, &pid);
    printf("WINDOW %p %ld %ld %ld %ld %d %lu %d|", (void *)window, frame.left, frame.top, frame.right - frame.left,
           frame.bottom - frame.top, IsWindowEnabled(window) ? 1 : 0, (unsigned long)pid,
           GetForegroundWindow() == window ? 1 : 0);
    put_text(text);
    putchar('\n');
    if (with_items) EnumChildWindows(window, put_item, (LPARAM)window);
    if (previous) set_thread_awareness(previous);
    return TRUE;
}

static int record_command_line(void) {
    char path[MAX_PATH + 16];
    const char *line = GetCommandLineA();
    DWORD length = GetModuleFileNameA(NULL, path, MAX_PATH), written = 0;
    while (length > 0 && path[length - 1] != '\\') length--;
    lstrcpyA(path + length, "launched.txt");
    HANDLE file = CreateFileA(path, GENERIC_WRITE, 0, NULL, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, NULL);
    if (file == INVALID_HANDLE_VALUE) return 1;
    WriteFile(file, line, (DWORD)lstrlenA(line), &written, NULL);
    CloseHandle(file);
    return 0;
}

int main(int argc, char **argv) {
    char line[1024];
    (void)argv;
    if (argc > 1) return record_command_line();
    _setmode(_fileno(stdout), _O_BINARY);
    {
        /* Per-thread DPI awareness exists from Windows 10 1607 on. */
        HMODULE user32 = GetModuleHandleA("user32.dll");
        set_thread_awareness = (awareness_fn)(void (*)(void))GetProcAddress(user32, "SetThreadDpiAwarenessContext");
        window_awareness = (awareness_fn)(void (*)(void))GetProcAddress(user32, "GetWindowDpiAwarenessContext");
        dpi_for_window = (dpi_fn)(void (*)(void))GetProcAddress(user32, "GetDpiForWindow");
    }
    while (fgets(line, sizeof line, stdin)) {
        line[strcspn(line, "\r\n")] = 0;
        if (!strcmp(line, "quit")) break;
        if (!strcmp(line, "list")) {
            wanted = NULL;
            EnumWindows(put_window, 0);
        } else if (!strncmp(line, "dump ", 5)) {
            wanted = line + 5;
            EnumWindows(put_window, 1);
        }
        puts("END");
        fflush(stdout);
    }
    return 0;
}
