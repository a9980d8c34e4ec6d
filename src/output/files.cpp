// Output files: the overwrite decision, the creation of the output file and
// its date and time.
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
    if (!PathExists(state.entryName, 0)) return 1;

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

// Creates or truncates the file at entryName; returns only on success.
void CreateOutputFile() {
    CopyText(state.currentName, kCurrentNameCapacity, state.entryName);
    state.outputFile = sfxPlatform.createFile(state.currentName);
    if (state.outputFile != 0) return;
    FormatGuarded(state.messageBuffer, kMessageBufferSize, kGuardCreateFileText, MessageText(MSG_CANNOT_CREATE_FILE),
                  state.currentName);
    FatalError(state.messageBuffer);
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
