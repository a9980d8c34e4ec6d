// The steps of the main dialog that every front-end shares: the default
// destination, the explanation line, and one extraction run with its
// counters.
#include "archive/archive.h"
#include "output/output.h"
#include "resources/messages.h"
#include "startup/sfx_state.h"
#include "startup/text.h"
#include "ui/ui.h"

enum : uint32_t {
    kTempScratchSize = 264,
    kEnvironmentReadCapacity = 261,
    kWindowsFolderCapacity = 250,
};

namespace {

// A variable's value, accepted when it is set, not empty, and fits: a value
// too long for the area comes back as the size it needs, with nothing read.
int ReadTempVariable(const char* name, char* scratch) {
    uint32_t length = sfxPlatform.environment(name, scratch, kEnvironmentReadCapacity);
    return length != 0 && length < kEnvironmentReadCapacity && scratch[0] != 0;
}

}  // namespace

// TMP, else TEMP, else the folder TEMP in the Windows folder (made when
// missing). 1 with the folder in destination; 0 leaves destination as it was.
int ChooseTempFolder(char* destination) {
    char scratch[kTempScratchSize];
    scratch[0] = 0;
    int found = ReadTempVariable("TMP", scratch) || ReadTempVariable("TEMP", scratch);
    if (!found) {
        uint32_t length = sfxPlatform.windowsFolder(scratch, kWindowsFolderCapacity);
        if (length == 0 || length >= kWindowsFolderCapacity) return 0;
        AppendSeparator(scratch);
        const char* tempName = MessageText(MSG_TEMP_NAME);
        uint32_t at = TextLength(scratch);
        if (CopyText(scratch + at, kTempScratchSize - at, tempName) >= kTempScratchSize - at) return 0;
        uint32_t folderFlag = 0;
        if (!PathExists(scratch, &folderFlag)) found = MakeFolder(scratch);
        else found = folderFlag == kAttributeFolder;
        if (!found) return 0;
    }
    StripTrailingSeparator(scratch);
    CopyText(destination, kPathCapacity, scratch);
    return 1;
}

// Message 22 with the program's file name when it has at most 24
// characters, otherwise with message 51.
void FormatIntro(char* area, uint32_t capacity) {
    const char* name = LastComponent(state.archivePath);
    if (TextLength(name) > kIntroNameMax) name = MessageText(MSG_THIS_SFX);
    FormatText(area, capacity, MessageText(MSG_INTRO), name);
}

namespace {

int IsCurrentFolderMark(const char* text) { return text[0] == '.' && text[1] == 0; }

}  // namespace

// An empty destination becomes a temporary folder (or stays empty), and "."
// becomes the current folder, which is the one holding the program.
void ResolveDefaultFolder() {
    if (state.destFolder[0] == 0) {
        ChooseTempFolder(state.destFolder);
    } else if (IsCurrentFolderMark(state.destFolder)) {
        char folder[kPathCapacity];
        uint32_t length = sfxPlatform.currentFolder(folder, sizeof folder);
        if (length != 0 && length < sizeof folder) CopyText(state.destFolder, kPathCapacity, folder);
    }
}

// A run that did not finish (an error, an abort, a Cancel at the overwrite
// question or at a disk prompt) makes the program end with 2; in automatic
// mode, the finished run is what makes it end with 0. A finished run also
// leaves the creator's program to start once the dialog has closed.
int RunExtraction() {
    state.bytesDone = 0;
    state.lastMeterBytes = 0;
    state.filesExtracted = 0;
    int result = ExtractArchive();
    if (result != 0) state.exitCode = 2;
    else if (state.autoMode) state.exitCode = 0;
    // Only a finished run starts the creator's program.
    state.programPending = result == 0 && state.programLine[0] != 0;
    return result;
}
