// The program the creator asked to start once the files are extracted: a
// path under the destination folder with its arguments. It starts only after
// a run that finished, once the dialog has closed, with the destination as
// its current folder; the stub waits for it and ends with its exit code. A
// program that cannot be started is said in a message and ends the stub
// with 2.
//
// The path comes from the header, so it is held to the rules of entry
// names: relative, no '..', no drive or ':', no device name, and no link or
// reparse point below the destination on the way to it.
#include "output/output.h"
#include "resources/messages.h"
#include "startup/program_start.h"
#include "startup/text.h"

namespace {

enum : uint32_t { kRunMessageCapacity = kMessageBufferSize + kProgramLineSize };

// Message 41 naming the program as written, in a box of its own: the
// dialog is gone by now.
void RefuseProgram(const char* program) {
    char text[kRunMessageCapacity];
    FormatText(text, sizeof text, MessageText(MSG_CANNOT_RUN), program);
    sfxPlatform.messageBox(0, text, programTitle, kBoxIconError | kBoxOk);
    state.exitCode = 2;
}

// A link or reparse point at the program or at a folder between it and
// the destination (path holds the destination's destinationLength bytes,
// a separator, then the program's path). The destination itself and what
// lies above it were the user's choice.
int LinkBelowDestination(char* path, uint32_t destinationLength) {
    for (char* p = path + destinationLength + 1;; p = sfxPlatform.nextChar(p)) {
        if (*p != 0 && !IsPathSeparator(*p)) continue;
        char kept = *p;
        *p = 0;
        char foundName[kPathCapacity];
        uint32_t attributes = 0;
        int linked = sfxPlatform.findFile(path, foundName, &attributes) && (attributes & kAttributeReparsePoint);
        *p = kept;
        if (linked || kept == 0) return linked;
    }
}

// Copies the program's name out of a command line (capacity bytes with the
// terminator) by the rule Windows programs apply to their own name: up to
// the closing quote when it begins with one, else up to the first blank or
// tab. Returns where the arguments begin, or null when the name does not fit.
const char* CutProgramName(const char* line, char* program, uint32_t capacity) {
    const char* p = line;
    while (*p == ' ' || *p == '\t') p++;
    uint32_t length = 0;
    if (*p == '"') {
        for (p++; *p != 0 && *p != '"'; p++)
            if (length + 1 < capacity) program[length++] = *p;
            else return 0;
        if (*p == '"') p++;
    } else {
        for (; *p != 0 && *p != ' ' && *p != '\t'; p++)
            if (length + 1 < capacity) program[length++] = *p;
            else return 0;
    }
    program[length] = 0;
    return p;
}

// 1 when program names a file below the destination: not empty, relative,
// no drive or ':', no ".." component, no device name, no trailing separator.
int ProgramPathAccepted(const char* program) {
    if (program[0] == 0 || IsPathSeparator(program[0])) return 0;
    const char* last = LastChar(const_cast<char*>(program));
    if (IsPathSeparator(*last)) return 0;  // a folder, not a program
    return !NameLeavesFolder(program, 1);
}

}  // namespace

void FormatProgramNotice(char* area, uint32_t capacity) {
    area[0] = 0;
    char program[kProgramLineSize];
    if (state.programLine[0] == 0 || CutProgramName(state.programLine, program, sizeof program) == 0) return;
    FormatText(area, capacity, MessageText(MSG_WILL_RUN), program);
}

void StartProgram() {
    state.programPending = 0;
    char program[kProgramLineSize];
    if (CutProgramName(state.programLine, program, sizeof program) == 0) program[0] = 0;
    if (!ProgramPathAccepted(program)) {
        RefuseProgram(program[0] != 0 ? program : state.programLine);
        return;
    }

    // destination \ program, with the stub's separators.
    char path[kWorkPathCapacity];
    if (CopyText(path, sizeof path, state.destFolder) >= sizeof path) {
        RefuseProgram(program);
        return;
    }
    // A root keeps its separator ("C:\", "\"): it is not doubled.
    StripTrailingSeparator(path);
    uint32_t destinationLength = TextLength(path);
    char* last = LastChar(path);
    if (last != 0 && IsPathSeparator(*last)) destinationLength--;
    if (destinationLength + 1 + TextLength(program) > kMaxOutputPath) {
        RefuseProgram(program);
        return;
    }
    path[destinationLength] = '\\';
    CopyText(path + destinationLength + 1, sizeof path - destinationLength - 1, program);
    for (char* p = path; *p != 0; p = sfxPlatform.nextChar(p))
        if (*p == '/') *p = '\\';
    if (LinkBelowDestination(path, destinationLength)) {
        RefuseProgram(program);
        return;
    }

    // Nothing of the archive stays open while the program runs: it may
    // well want to move or delete the self-extracting file.
    ReleaseResources();
    char commandLine[kProgramLineSize];
    CopyText(commandLine, sizeof commandLine, state.programLine);
    uint32_t exitCode = 0;
    if (!sfxPlatform.startProgram(path, commandLine, state.destFolder, &exitCode)) {
        RefuseProgram(program);
        return;
    }
    state.exitCode = (int)exitCode;
}
