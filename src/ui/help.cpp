// The Help, About and Run archiver commands of the main dialog.
#include "output/output.h"
#include "resources/messages.h"
#include "startup/sfx_state.h"
#include "startup/text.h"
#include "ui/name_text.h"
#include "ui/ui.h"

enum : uint32_t {
    kArchiverReadCapacity = 261,
    // The registered command, a blank and the quoted program path.
    kArchiverLineCapacity = kArchiverReadCapacity + 1 + 262 + 1,
    kCommandArea = 1480,
    kStartedAbove = 31,  // a start call above this value started the program
};

// The registered archiver's open command, cut after its first word, then
// the program's own path in double quotes; "zip" in place of the last three
// characters of that path for a set of ".ZIP" volumes on several disks.
// 1 when the archiver was started.
int LaunchArchiver() {
    char line[kArchiverLineCapacity];
    line[0] = 0;
    if (sfxPlatform.shiftHeld() || !sfxPlatform.archiverCommand(line, kArchiverReadCapacity)) {
        sfxPlatform.messageBox(state.mainDialog, MessageText(MSG_ARCHIVER_MISSING), programTitle, kBoxOk);
        return 0;
    }
    line[kArchiverReadCapacity - 1] = 0;
    uint32_t length = 0;
    while (line[length] != 0 && line[length] != ' ') length++;
    if (line[length] == ' ') length++;
    else line[length++] = ' ';
    line[length] = 0;
    length += FormatText(line + length, sizeof line - length, "\"%s\"", state.archivePath);
    uint32_t flags = sfxConfigBlock.flags;
    uint32_t pathLength = TextLength(state.archivePath);
    if ((flags & SFXF_SPANNED) && !(flags & SFXF_EXE_VOLUMES) && pathLength >= 3 && length < sizeof line) {
        char* closingQuote = line + length - 1;
        closingQuote[-3] = 'z';
        closingQuote[-2] = 'i';
        closingQuote[-1] = 'p';
    }
    return RunCommand(line) > kStartedAbove;
}

uint32_t RunCommand(const char* commandLine) {
    char area[kCommandArea];
    CopyText(area, sizeof area, commandLine);
    return sfxPlatform.runCommand(area);
}

// Message 38 with the program's file name, within its 500-byte area.
void ShowHelp() {
    char text[kMessageBufferSize];
    FormatWithName(text, sizeof text, MessageText(MSG_HELP), LastComponent(state.archivePath));
    sfxPlatform.messageBox(state.mainDialog, text, programTitle, kBoxOk);
}

void ShowAbout() { sfxPlatform.messageBox(state.mainDialog, MessageText(MSG_ABOUT), programTitle, kBoxOk); }
