// User interface: the portable part (the main dialog's rules and its Unzip
// command, progress values, status text, write check, temporary folder,
// help and archiver launch) and the front-end procedures, the widgets, that
// ui/win32/ (dialogs) and ui/terminal/ (Linux terminal) each implement.
#ifndef KVSFX_UI_H
#define KVSFX_UI_H

#include <stdint.h>

// Dialog item ids of the main template.
enum DialogItem : int {
    kItemUnzip = 1,
    kItemClose = 2,
    kItemExplanation = 101,
    kItemOverwrite = 102,
    kItemProgramNotice = 103,  // says which program runs after extraction; empty otherwise
    kItemHelp = 104,
    kItemFolderLabel = 105,
    kItemFolder = 106,
    kItemStatus = 109,
    kItemHiddenCheck = 111,
    kItemAbout = 112,
    kItemRunArchiver = 113,
    kItemBrowse = 115,
    kItemMeter = 201,
    kItemPasswordText = 401,
    kItemPasswordEdit = 402,
};

enum : uint32_t {
    kProgressTimerId = 69,
    kProgressTimerPeriod = 500,  // ms
    kMeterRefreshStep = 65536,   // bytes between meter refreshes
    kIntroNameMax = 24,          // longest file name in the explanation line
    kEntryStatusArea = 292,      // ShowEntryStatus's area
    kMeterTextArea = 100,        // the meter's text area
};

// --- portable (ui/*.cpp) ---

// Progress value of bytesDone against the configured total: D*100/T below
// 100, D/(T/100) otherwise, 0 for a total of 0.
uint32_t MeterPosition();
// The meter from the start of a run: the end record at 512 KiB or beyond,
// or a spanned set.
bool MeterAtOnce();
// When timer 69 fires: true for a run still going that has written less
// than a third of the configured total.
bool MeterDueAtTimer();
// Sends the position to the meter when it is shown, then repaints it.
void RefreshMeter();
// Message 34 with the file-name part of currentName, bounded to capacity.
void FormatEntryStatus(char* area, uint32_t capacity);
void ShowEntryStatus();
// Message 35 on a short or failed write, else the cancellation poll.
void CheckWrite(int32_t writeResult);
void CheckFlush(int flushed);  // message 35 when the gathered writes failed
int ChooseTempFolder(char* destination);
// The explanation line (message 22 with the program's name or message 51).
void FormatIntro(char* area, uint32_t capacity);
// Step 9 of the dialog's initialisation: temporary folder or "." resolved.
void ResolveDefaultFolder();
// Zeroes the run's counters, runs ExtractArchive, and remembers a run that
// did not finish for the exit code. Returns ExtractArchive's value.
int RunExtraction();
// The dialog's title (steps 6 and 7 of its initialisation).
void FormatDialogTitle(char* title, uint32_t capacity);
// The Unzip command, steps 1 to 14. Returns what the dialog procedure
// returns for it: 0 once the dialog is ready for another Unzip.
int UnzipCommand();
// Timer 69's tick, while no message box of the run is up.
void ProgressTimerTick();
int LaunchArchiver();
uint32_t RunCommand(const char* commandLine);
void ShowHelp();
void ShowAbout();

// --- front-end (ui/win32/ or ui/terminal/) ---

void RegisterMeterClass(void* instance);
void RunMainDialog();       // step 20 of the main sequence
int PollCancel();           // 1 when the user asked to abort
void MeterSetPosition(uint32_t position);  // MTM_SETPOS on the meter
void MeterRepaint();        // invalidate the meter without erasing, update the dialog
void StatusLineShow(const char* text);     // status line: an entry's text during a run, the outcome after it
// The widgets the Unzip command uses (ui/main_dialog.cpp), all on mainDialog.
void UnzipPressed();   // steps 1, 2: Close the default button, Unzip disabled; overwriteAll and destFolder read
void EnableUnzip();    // step 14, or a run that did not start
void CloseMainDialog();                    // the dialog ends (result 1)
void StatusLineBehindBox(const char* text);  // the status line's text, which a message box shows too
int BeginRunDisplay();      // the meter at 0 of 100 before a run; 0 when there is no meter
uintptr_t StartProgressTimer();  // timer 69; its id, 0 when it cannot be started
void KillProgressTimer();
void ShowMeter();           // the meter in place of the status line; sets meterShown
void EndRunDisplay();       // the meter full, then the status line back in its place
void UseCursor(void* cursor);              // the run's hourglass, then the arrow again
// Runs the password dialog from the inflated template; its result.
intptr_t PasswordDialog(void* parent, const uint8_t* templateBlock);

#endif
