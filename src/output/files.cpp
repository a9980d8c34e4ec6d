// Output files: the overwrite decision, the creation of the output file
// under a temporary name, its date and time, and its own name once complete.
#include "output/output.h"

#include "failure/failure.h"
#include "failure/recovery.h"
#include "resources/messages.h"
#include "startup/sfx_state.h"
#include "startup/text.h"
#include "ui/ui.h"

enum : uint32_t { kOverwriteQuestionArea = 320 };

// 1 to extract, 0 to skip; Cancel ends the run with 1. Each question
// concerns one file only: no answer changes overwriteAll.
int ConfirmOverwrite() {
    if (state.overwriteAll) return 1;
    // In a folder this run made, a name this run has not used yet is free.
    if (ClaimOutputPath(state.entryName) || !PathExists(state.entryName, 0)) return 1;

    // The run's progress so far, before the question covers the dialog.
    if (state.meterShown) RefreshMeter();

    CopyText(state.currentName, kCurrentNameCapacity, state.entryName);
    char question[kOverwriteQuestionArea];
    FormatGuarded(question, sizeof question, kGuardOverwriteText, MessageText(MSG_CONFIRM_OVERWRITE),
                  state.currentName);
    int answer = sfxPlatform.messageBox(state.mainDialog, question, programTitle, kBoxYesNoCancel);
    if (answer == kAnswerYes) return 1;
    if (answer == kAnswerNo) return 0;
    // Cancel, and any answer the box should not give: the safe way out.
    NonLocalReturn(1);
}

namespace {

enum : uint32_t {
    kPartNameLength = 8,  // "~kv" and five digits, when the folder leaves room
    kPartNameTries = 64,  // names tried in one folder before giving up
};

char LowerAscii(char c) { return c >= 'A' && c <= 'Z' ? (char)(c + 32) : c; }

int SameNameIgnoringCase(const char* a, const char* b) {
    while (*a != 0 && LowerAscii(*a) == LowerAscii(*b)) a++, b++;
    return LowerAscii(*a) == LowerAscii(*b);
}

// The attempt-th temporary path for the output path in entryName, into
// partName: a name in the file's own folder, so that giving the complete
// file its name renames it within one folder. The name is "~kv" and five
// base-36 digits after the folderLength bytes of the folder, its separator
// included; when the folder leaves fewer than eight characters under
// the path limit, "~" and fewer digits, or one digit alone. 0 when the
// digits cannot tell this attempt from the ones before.
int MakePartName(uint32_t attempt, uint32_t folderLength) {
    if (folderLength >= kMaxOutputPath) return 0;
    uint32_t room = kMaxOutputPath - folderLength;
    uint32_t length = room < kPartNameLength ? room : kPartNameLength;
    const char* lead = length == kPartNameLength ? "~kv" : length > 1 ? "~" : "";
    uint32_t leadLength = TextLength(lead);
    uint32_t digits = length - leadLength;
    uint32_t names = 1;
    for (uint32_t i = 0; i < digits && names < kPartNameTries; i++) names *= 36;
    if (attempt >= names || attempt >= kPartNameTries) return 0;

    char* out = state.partName;
    for (uint32_t i = 0; i < folderLength; i++) *out++ = state.entryName[i];
    for (uint32_t i = 0; i < leadLength; i++) *out++ = lead[i];
    for (uint32_t i = digits; i-- > 0; attempt /= 36) out[i] = "0123456789abcdefghijklmnopqrstuvwxyz"[attempt % 36];
    out[digits] = 0;
    return 1;
}

// Message 28 naming the output path, then the end of the run.
[[noreturn]] void CannotCreateOutputFile() {
    CopyText(state.currentName, kCurrentNameCapacity, state.entryName);
    FormatGuarded(state.messageBuffer, kMessageBufferSize, kGuardCreateFileText, MessageText(MSG_CANNOT_CREATE_FILE),
                  state.currentName);
    FatalError(state.messageBuffer);
}

}  // namespace

// Creates the file that receives the entry at entryName: a new file under a
// temporary name beside it (partName), never the file at entryName itself,
// so that whatever is there stays untouched until the entry is complete.
// A name that something already has is never used: not a file of the
// archive extracted before, not one of the user's, not the entry's own.
// Returns only on success.
void CreateOutputFile() {
    CopyText(state.currentName, kCurrentNameCapacity, state.entryName);
    const char* finalName = LastComponent(state.entryName);
    uint32_t folderLength = (uint32_t)(finalName - state.entryName);
    for (uint32_t attempt = 0; MakePartName(attempt, folderLength); attempt++) {
        if (SameNameIgnoringCase(state.partName + folderLength, finalName)) continue;
        state.outputFile = sfxPlatform.createFile(state.partName);
        if (state.outputFile != 0) return;
        // Taken: the next name. Any other failure is the folder's own.
        if (!PathExists(state.partName, 0)) break;
    }
    state.partName[0] = 0;
    CannotCreateOutputFile();
}

// The output file is complete, closed, with its time and a matching CRC:
// it takes its name, replacing what the user agreed to replace. When it
// cannot, it goes, and message 28 ends the run.
void NameOutputFile() {
    int named = sfxPlatform.replaceFile(state.partName, state.entryName);
    if (!named) sfxPlatform.deleteFile(state.partName);
    state.partName[0] = 0;
    if (!named) CannotCreateOutputFile();
}

// After a run that ended during an entry: the file being written is closed
// and removed; a file of that name from before stays as it was.
void DiscardOutputFile() {
    if (state.outputFile != 0) {
        sfxPlatform.closeFile(state.outputFile);
        state.outputFile = 0;
    }
    if (state.partName[0] != 0) {
        sfxPlatform.deleteFile(state.partName);
        state.partName[0] = 0;
    }
}

namespace {

// DOS time: seconds/2 in bits 0-4, minutes in 5-10, hours in 11-15.
uint16_t ClampDosTime(uint16_t time) {
    uint16_t halfSeconds = time & 0x1F, minutes = (time >> 5) & 0x3F, hours = time >> 11;
    if (halfSeconds > 29) halfSeconds = 29;
    if (minutes > 59) minutes = 59;
    if (hours > 23) hours = 23;
    return (uint16_t)(hours << 11 | minutes << 5 | halfSeconds);
}

int IsLeapYear(uint32_t year) { return (year % 4 == 0 && year % 100 != 0) || year % 400 == 0; }

// DOS date: day in bits 0-4, month in 5-8, years since 1980 in 9-15. Day 0
// and month 0 become 1, a month above 12 becomes 12. A day beyond the end of
// its month becomes the month's last day, so that the 31st of April means
// the same moment on every system instead of May 1st on one and no time at
// all on another.
uint16_t ClampDosDate(uint16_t date) {
    static const uint8_t kMonthDays[12] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
    uint16_t day = date & 0x1F, month = (date >> 5) & 0xF, years = date >> 9;
    if (day == 0) day = 1;
    if (month == 0) month = 1;
    if (month > 12) month = 12;
    uint16_t monthDays = kMonthDays[month - 1];
    if (month == 2 && IsLeapYear(1980u + years)) monthDays = 29;
    if (day > monthDays) day = monthDays;
    return (uint16_t)(years << 9 | month << 5 | day);
}

}  // namespace

// The entry's time as the creation, access and write times of outputFile:
// the UTC seconds of its extended timestamp when the local header carries
// one, else its DOS date and time clamped field by field and taken as local
// time. Always succeeds.
void SetOutputFileTime() {
    if (state.entryHasUtcTime) {
        sfxPlatform.setFileTimeUtc(state.outputFile, state.entryUtcTime);
        return;
    }
    sfxPlatform.setFileTime(state.outputFile, ClampDosDate(state.localHeader.modDate),
                            ClampDosTime(state.localHeader.modTime));
}
