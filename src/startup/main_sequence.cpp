// The spine of the stub: the argument-text cut of the entry point, and the
// main sequence from process start to exit.
//
// The sequence refuses to run on a damaged file or an unsuitable system
// before any window exists, offers the creator's start-up prompt, reads the
// command line and hands over to the front-end's main dialog. Exit codes: 0
// for a normal end, "-info" and a declined start-up prompt; 2 after a refusal
// of the file or the system, after a fatal error of the start-up, after an
// extraction run that did not finish (set by the run), and after an
// automatic start whose run did not finish or never began; InternalError
// ends the process itself with 1.
#include "archive/archive.h"
#include "codec/codec.h"
#include "failure/failure.h"
#include "output/output.h"
#include "resources/messages.h"
#include "format/exe_layout.h"
#include "startup/program_start.h"
#include "startup/startup.h"
#include "startup/text.h"
#include "ui/ui.h"

namespace {

enum : uint32_t {
    kModuleFolderCapacity = 512,  // step 3's copy of the module file name
    kNtHeadersSize = 248,         // signature, file header, PE32 optional header
    kDosHeaderSize = 64,          // holds the NT headers' offset at 0x3C
};

// Step 3: the program's folder becomes the current folder (the report file,
// the "." destination and relative paths are reckoned from it). A failure is
// ignored.
void MakeProgramFolderCurrent() {
    char folder[kModuleFolderCapacity];
    uint32_t length = sfxPlatform.moduleFileName(folder, sizeof folder);
    if (length == 0 || length >= sizeof folder) return;  // no name, or one cut short
    char* separator = LastSeparator(folder);
    if (separator != 0) {
        // A program in a root folder keeps the root's separator: "C:" alone
        // would select the drive's current folder rather than its root.
        int root = separator == folder || (separator == folder + 2 && folder[1] == ':');
        separator[root ? 1 : 0] = 0;
    }
    sfxPlatform.setCurrentFolder(folder);
}

// "-info" at any position of the argument text, byte for byte (case
// matters, and it may stand inside a longer word).
int HasInfoOption(const char* argumentText) {
    static const char kInfoOption[] = "-info";
    for (const char* p = argumentText; *p != 0; p++)
        if (CompareBytes(p, kInfoOption, sizeof kInfoOption - 1) == 0) return 1;
    return 0;
}

// Step 17: the creator's prompt, when the header has one. 0 when the user
// declined it (No or Cancel).
int StartupPromptAccepted() {
    if (state.startupPrompt == 0) return 1;
    uint32_t flags = sfxConfigBlock.flags;
    const char* caption = (flags & SFXF_CUSTOM_TITLE) && state.customTitle[0] != 0 ? state.customTitle : programTitle;
    uint32_t buttons = kBoxOk;
    if (flags & SFXF_PROMPT_QUESTION) buttons = (flags & SFXF_PROMPT_OKCANCEL) ? kBoxOkCancel : kBoxYesNo;
    int answer = sfxPlatform.messageBox(0, state.startupPrompt, caption, kBoxTaskModal | buttons);
    if (answer == kAnswerNo || answer == kAnswerCancel) return 0;
    sfxPlatform.release(state.startupPrompt);
    state.startupPrompt = 0;
    return 1;
}

// The "-info" box: the creator's text, and the program a finished run
// would start.
void ShowInfo() {
    char notice[kMessageBufferSize];
    FormatProgramNotice(notice, sizeof notice);
    const char* text = state.infoText;
    char combined[kInfoTextSize + 2 + kMessageBufferSize];
    if (notice[0] != 0) {
        FormatText(combined, sizeof combined, state.infoText[0] != 0 ? "%s\n\n%s" : "%s%s", state.infoText, notice);
        text = combined;
    }
    sfxPlatform.messageBox(0, text, programTitle, kBoxOk);
}

void ReleaseBlock(char** block) {
    if (*block != 0) sfxPlatform.release(*block);
    *block = 0;
}

// Steps 21-23, taken on every way out of the sequence, so that a process
// that goes on (the tests run the sequence many times) keeps nothing open.
uint32_t EndMainSequence() {
    ReleaseResources();
    ReleaseBlock(&state.customTitle);
    ReleaseBlock(&state.infoText);
    ReleaseBlock(&state.messageBuffer);
    ReleaseBlock(&state.startupPrompt);
    if (state.messageTable != 0) sfxPlatform.release(state.messageTable);
    state.messageTable = 0;
    state.startupArmed = 0;
    return (uint32_t)state.exitCode;
}

// Steps 11, 13 and 14: the file or the system is refused with a message.
uint32_t Refuse(int message, uint32_t style, void* owner) {
    sfxPlatform.messageBox(owner, MessageText(message), programTitle, style);
    state.exitCode = 2;
    return EndMainSequence();
}

// The entry point named by the program file's headers: PE from the NT headers
// whose offset lies at 0x3C, ELF from its header. 1 when it equals entryRva.
int EntryPointMatches(FileHandle file, uint8_t* headers) {
    if (sfxPlatform.readFile(file, headers, kDosHeaderSize) != (int32_t)kDosHeaderSize) return 0;
    uint32_t entry = 0;
    if (headers[0] == 'M' && headers[1] == 'Z') {
        uint32_t ntOffset = LoadLe32(headers + 0x3C);
        if (sfxPlatform.seekFile(file, ntOffset, kSeekSet) != (int64_t)ntOffset) return 0;
        if (sfxPlatform.readFile(file, headers, kNtHeadersSize) != (int32_t)kNtHeadersSize) return 0;
        entry = LoadLe32(headers + 0x28);
    } else if (!ExecutableEntryPoint(headers, kDosHeaderSize, &entry)) {
        return 0;
    }
    return entry == sfxConfigBlock.entryRva;
}

// 1 when the program file's executable header still names the entry point
// recorded in the configuration block. Every failure (memory, open, short
// read, seek off target) counts as a mismatch; the second handle is always
// closed.
int CheckEntryPoint() {
    uint8_t* headers = (uint8_t*)sfxPlatform.allocate(kNtHeadersSize);
    if (headers == 0) return 0;
    int matches = 0;
    FileHandle file = sfxPlatform.openFile(state.archivePath, kShareDenyNone);
    if (file != 0) {
        matches = EntryPointMatches(file, headers);
        sfxPlatform.closeFile(file);
    }
    sfxPlatform.release(headers);
    return matches;
}

}  // namespace

// The program name ends at the next double quote when it begins with one,
// else at the next blank; its first character always belongs to it. The
// argument text begins after that terminator, unchanged.
char* CutArgumentText(char* commandLine) {
    char* p = commandLine;
    if (*p == 0) return p;  // an empty command line has no arguments either
    char terminator = *p == '"' ? '"' : ' ';
    p++;
    while (*p != 0 && *p != terminator) p++;
    if (*p != 0) p++;
    return p;
}

uint32_t SfxMain(void* instance, char* argumentText) {
    // 1-2. The common-controls initialisation and the error mode belong to
    // the Win32 entry point; the wait and arrow cursors are loaded by the
    // front-end's RegisterMeterClass (step 16).

    // 3-4.
    MakeProgramFolderCurrent();
    state.instance = instance;

    // 5. (Win32 entry point: SetErrorMode, so that no system box replaces the disk prompts.)

    // 6.
    state.systemVersion = sfxPlatform.systemVersion();

    // 7. The text blocks of the whole process.
    state.customTitle = (char*)sfxPlatform.allocate(kCustomTitleSize);
    state.infoText = (char*)sfxPlatform.allocate(kInfoTextSize);
    state.messageBuffer = (char*)sfxPlatform.allocate(kMessageBufferSize);

    // 8. The program file, which is also the archive. A name that does not
    // fit is no name: opening it fails below with the header-corrupt text.
    uint32_t length = sfxPlatform.moduleFileName(state.archivePath, kPathCapacity);
    if (length == 0 || length >= kPathCapacity) state.archivePath[0] = 0;
    ResolveLongModuleName(state.archivePath);

    // 9. The start-up's recovery point: a fatal error of the start-up (its
    // box already shown) or an abort at a disk prompt ends the program here.
    if (ArmRecovery(state.runContext) != 0) {
        state.exitCode = 2;
        return EndMainSequence();
    }
    state.startupArmed = 1;

    // Blocks of step 7 that could not be allocated end the start-up like the
    // codec buffers of the loader.
    if (state.customTitle == 0 || state.infoText == 0 || state.messageBuffer == 0) HeaderCorruptError();

    // 10.
    LoadConfiguration();

    // 11.
    if (!CheckEntryPoint()) return Refuse(MSG_FILE_DAMAGED, kBoxIconError, state.mainDialog);

    // 12. "-info" comes before every other use of the command line.
    if (HasInfoOption(argumentText)) {
        ShowInfo();
        return EndMainSequence();
    }

    // 13. The low byte of the version is the major version.
    if ((state.systemVersion & 0xFF) < 4) return Refuse(MSG_NEEDS_WIN32, kBoxOk, 0);

    // 14.
    if (sfxConfigBlock.completeMark == 0) return Refuse(MSG_SFX_INCOMPLETE, kBoxIconError, state.mainDialog);

    // 15.
    uint32_t flags = sfxConfigBlock.flags;
    state.overwriteAll = (flags & SFXF_OVERWRITE_DEFAULT) ? 1 : 0;
    state.entryEncrypted = (flags & SFXF_ENCRYPTED) ? 1 : 0;

    // 16. The meter's class must exist before the dialog is made from its template.
    RegisterMeterClass(state.instance);

    // 18-19. The command line overrides SFXF_AUTO. Read before the prompt:
    // an automatic start must know it is one when the prompt is declined. A
    // folder too long for automatic mode ends the program with 2.
    if (flags & SFXF_AUTO) state.autoMode = 1;
    if (!ParseCommandLine(argumentText)) {
        state.exitCode = 2;
        return EndMainSequence();
    }
    // An automatic start ends with 0 only once its run has finished
    // (RunExtraction clears this); every other way out means that nothing
    // was extracted.
    if (state.autoMode) state.exitCode = 2;

    // 17. Declining the creator's prompt is a normal end, but for an
    // automatic start.
    if (!StartupPromptAccepted()) return EndMainSequence();

    // 20. The front-end's main dialog, modal, until the user closes it.
    RunMainDialog();

    // The creator's program, once the dialog has closed after a finished
    // run: its exit code becomes the stub's.
    if (state.programPending) StartProgram();

    // 21-23.
    return EndMainSequence();
}

// Replaces the last component of path (kPathCapacity bytes) by its long name
// as the file system reports it. Left unchanged when the file is not found
// or the long form would not fit.
void ResolveLongModuleName(char* path) {
    char found[kPathCapacity];
    uint32_t attributes = 0;
    if (!sfxPlatform.findFile(path, found, &attributes)) return;
    found[kPathCapacity - 1] = 0;
    char* separator = LastSeparator(path);
    char* name = separator != 0 ? separator + 1 : path;
    uint32_t prefix = (uint32_t)(name - path);
    if (prefix + TextLength(found) >= kPathCapacity) return;
    CopyText(name, kPathCapacity - prefix, found);
}

// Frees the codec buffers, closes the archive and removes an output file
// left incomplete.
void ReleaseResources() {
    ReleaseWindow(state.window);
    state.window = 0;
    if (state.input.data != 0) sfxPlatform.release(state.input.data);
    state.input.data = 0;
    state.input.next = 0;
    state.input.left = 0;
    if (state.outBuffer != 0) sfxPlatform.release(state.outBuffer);
    state.outBuffer = 0;
    state.outPtr = 0;
    if (state.archiveFile != 0) sfxPlatform.closeFile(state.archiveFile);
    state.archiveFile = 0;
    DiscardOutputFile();
}
