// The password dialog on the terminal: its text from the template, then one
// line of standard input, not echoed on a terminal.
#include <stdio.h>

#include "codec/codec.h"
#include "resources/messages.h"
#include "startup/text.h"
#include "ui/terminal/terminal.h"
#include "ui/ui.h"

enum : int { kPasswordOk = 1, kPasswordCancel = 0 };

// 1 once a password is stored, 0 at the end of input (Annuler). An empty
// line asks again, as OK on an empty field leaves the dialog open; at most
// 254 characters are taken. The password is the typed text in the system's
// code page, as the dialog's edit control gives it on Windows, so that a
// password with accents matches the one the builder stored.
intptr_t PasswordDialog(void*, const uint8_t* templateBlock) {
    char text[kTerminalTextCapacity];
    TemplateItemText(templateBlock, kPasswordTemplateBlockSize, kItemPasswordText, text, sizeof text);
    fflush(stdout);  // the status lines before the question
    for (;;) {
        fputc('\n', stderr);
        fputs(text, stderr);
        fputc(' ', stderr);
        fflush(stderr);
        char line[kInputLineCapacity];
        if (!ReadInputLine(line, sizeof line, 1)) return kPasswordCancel;
        TypedTextToAnsi(line);
        if (TextLength(line) > kPasswordMaxLength) line[kPasswordMaxLength] = 0;
        if (line[0] != 0 && AcceptPassword(line)) return kPasswordOk;
    }
}
