// The main dialog on the terminal. It shows what the dialog shows (title,
// explanation line, destination folder, the overwrite check box) and offers
// the dialog's commands under the template's own labels; a command is
// chosen by its number or its label, and an empty line (Enter) chooses the
// default button, marked with a star: Unzip, and Close once Unzip has been
// pressed, as in the dialog. Browsing becomes typing a folder. At the end of
// input the dialog closes, as Escape closes it.
#include <stdio.h>

#include "output/output.h"
#include "resources/messages.h"
#include "startup/program_start.h"
#include "startup/sfx_state.h"
#include "startup/text.h"
#include "ui/terminal/terminal.h"
#include "ui/ui.h"

namespace {

enum : uint32_t { kTitleCapacity = 400, kIntroCapacity = kMessageBufferSize };

// The dialog's commands in the order they are offered.
const int kCommands[] = {kItemUnzip, kItemBrowse, kItemOverwrite, kItemRunArchiver, kItemClose, kItemAbout, kItemHelp};
const uint32_t kCommandCount = sizeof kCommands / sizeof kCommands[0];

// mainDialog is never a window here; it only has to be non-null while the
// dialog exists.
char dialogMark;

struct TerminalDialog {
    int closed;
    int defaultCommand;               // what Enter chooses
    int statusShown;                  // the status text is on the screen since the dialog was last drawn
    char status[kMessageBufferSize];  // the status line's current text
};
TerminalDialog dialog;

const uint8_t* MainTemplate() { return (const uint8_t*)MessageText(MSG_MAIN_DIALOG); }

void Label(int id, char* label) { TemplateItemText(MainTemplate(), kMainTemplateCopySize, id, label, kLabelCapacity); }

int LowerAscii(int c) { return c >= 'A' && c <= 'Z' ? c + 32 : c; }

// Case-insensitive in ASCII, the rest byte for byte.
int SameWords(const char* a, const char* b) {
    for (; *a != 0 && *b != 0; a++, b++)
        if (LowerAscii((unsigned char)*a) != LowerAscii((unsigned char)*b)) return 0;
    return *a == 0 && *b == 0;
}

// The dialog's fixed part: title, explanation line, destination and the
// overwrite setting.
void ShowHeader() {
    dialog.statusShown = 0;
    char text[kTitleCapacity];
    FormatDialogTitle(text, sizeof text);
    fputc('\n', stdout);
    PutTerminalText(stdout, text);
    fputs("\n\n", stdout);
    char intro[kIntroCapacity];
    FormatIntro(intro, sizeof intro);
    PutTerminalText(stdout, intro);
    fputs("\n\n", stdout);
    FormatProgramNotice(intro, sizeof intro);
    if (intro[0] != 0) {
        PutTerminalText(stdout, intro);
        fputs("\n\n", stdout);
    }
    char label[kLabelCapacity];
    Label(kItemFolderLabel, label);
    fputs(label, stdout);
    PutTerminalText(stdout, state.destFolder);
    fputc('\n', stdout);
    Label(kItemOverwrite, label);
    fprintf(stdout, "[%c] %s\n", state.overwriteAll ? 'x' : ' ', label);
    fflush(stdout);
}

// The commands, the status line, and the prompt.
void ShowCommands() {
    char label[kLabelCapacity];
    fputc('\n', stdout);
    for (uint32_t i = 0; i < kCommandCount; i++) {
        Label(kCommands[i], label);
        const char* mark = kCommands[i] == dialog.defaultCommand ? "*" : "";
        if (kCommands[i] == kItemOverwrite) fprintf(stdout, "  %u  [%c] %s\n", i + 1, state.overwriteAll ? 'x' : ' ', label);
        else fprintf(stdout, "  %u  %s%s\n", i + 1, label, mark);
    }
    if (dialog.status[0] != 0 && !dialog.statusShown) {
        fputc('\n', stdout);
        PutTerminalText(stdout, dialog.status);
        fputc('\n', stdout);
        dialog.statusShown = 1;
    }
    fputs("> ", stdout);
    fflush(stdout);
}

// The command a line names: its number or its label; 0 for none.
int CommandOf(const char* line) {
    if (line[0] >= '1' && line[0] < (char)('1' + kCommandCount) && line[1] == 0) return kCommands[line[0] - '1'];
    char label[kLabelCapacity];
    for (uint32_t i = 0; i < kCommandCount; i++) {
        Label(kCommands[i], label);
        uint32_t length = TextLength(label);
        while (length > 0 && (label[length - 1] == ' ' || label[length - 1] == ':' || label[length - 1] == '.'))
            label[--length] = 0;
        if (SameWords(line, label)) return kCommands[i];
    }
    return 0;
}

// Browse: the folder field's label as the prompt, a typed folder as the
// choice; an empty line keeps the folder.
void OnBrowse() {
    char label[kLabelCapacity];
    Label(kItemFolderLabel, label);
    fputs(label, stdout);
    fflush(stdout);
    char line[kInputLineCapacity];
    if (!ReadInputLine(line, sizeof line, 0) || line[0] == 0) return;
    if (TextLength(line) < kPathCapacity) CopyText(state.destFolder, kPathCapacity, line);
}

void OnCommand(int command) {
    switch (command) {
    case kItemUnzip: UnzipCommand(); break;
    case kItemBrowse: OnBrowse(); break;
    case kItemOverwrite: state.overwriteAll = !state.overwriteAll; break;
    case kItemRunArchiver:
        if (LaunchArchiver()) dialog.closed = 1;
        break;
    case kItemClose: dialog.closed = 1; break;
    case kItemAbout: ShowAbout(); break;
    case kItemHelp: ShowHelp(); break;
    default: break;
    }
}

}  // namespace

void RunMainDialog() {
    dialog.closed = 0;
    dialog.defaultCommand = kItemUnzip;
    dialog.statusShown = 0;
    dialog.status[0] = 0;
    state.extracting = 0;
    ResolveDefaultFolder();
    state.mainDialog = &dialogMark;
    ShowHeader();
    if (state.autoMode) {
        fputc('\n', stdout);
        OnCommand(kItemUnzip);
    }
    while (!dialog.closed) {
        ShowCommands();
        char line[kInputLineCapacity];
        if (!ReadInputLine(line, sizeof line, 0)) {
            fputc('\n', stdout);
            break;
        }
        int command = line[0] == 0 ? dialog.defaultCommand : CommandOf(line);
        // A folder typed where a command was expected: what Browse would do.
        if (command == 0 && IsPathSeparator(line[0]) && TextLength(line) < kPathCapacity)
            CopyText(state.destFolder, kPathCapacity, line);
        else OnCommand(command);
        if (!dialog.closed && (command == kItemBrowse || command == kItemOverwrite || command == 0)) ShowHeader();
    }
    fflush(stdout);
}

// --- the widgets of the Unzip command (ui/main_dialog.cpp) -----------------

// Close becomes what Enter chooses; the folder and the overwrite setting are
// in the state already, as they were typed.
void UnzipPressed() { dialog.defaultCommand = kItemClose; }

// Nothing is disabled on the terminal.
void EnableUnzip() {}

void CloseMainDialog() { dialog.closed = 1; }

// A new status text is printed at once (an entry's during a run, the outcome
// after it); the commands below it do not repeat it until the dialog is
// drawn anew. A terminal gets each line at once (standard output is
// line-buffered there); a file or a pipe gets them in blocks, flushed
// before anything is said on standard error and at the end.
void StatusLineShow(const char* text) {
    CopyText(dialog.status, sizeof dialog.status, text);
    if (text[0] != 0) {
        PutTerminalText(stdout, text);
        fputc('\n', stdout);
    }
    dialog.statusShown = 1;
}

// The box prints the text; the status line holds it without printing it twice.
void StatusLineBehindBox(const char* text) {
    CopyText(dialog.status, sizeof dialog.status, text);
    dialog.statusShown = 1;
}
