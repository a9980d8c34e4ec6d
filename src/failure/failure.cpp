// Fatal errors, the header-corrupt error, and the internal error with its
// diagnostic report. None of these returns to its caller.
#include "failure/failure.h"

#include "failure/recovery.h"
#include "output/output.h"
#include "resources/messages.h"
#include "startup/sfx_state.h"
#include "startup/text.h"

const char kHeaderCorruptText[] =
    "Kelvra Self-Extractor header corrupt.  Possible cause:  bad disk or file transfer error";

static const char kReportFileName[] = "KVSFX32.RPT";

static const char kReportNotice[] =
    "A diagnostic report has been written to the file KVSFX32.RPT in the folder of this program.\n"
    "Please keep this file and send it to the maker of this self-extracting file, with a short\n"
    "description of what you were doing.\n\n"
    "Kelvra Self-Extractor support\n"
    "https://www.kelvra.example/support";

[[noreturn]] void EndProcess(uint32_t code) {
    sfxPlatform.exitProcess(code);
    __builtin_trap();
}

[[noreturn]] void NonLocalReturn(int value) {
    state.recoveryValue = value;
    // Between runs the main dialog's procedure sits on top of the dialog
    // manager's frames, and the start-up's point lies below them: end the
    // process as that point would, instead of jumping across them.
    if (!state.inRun && (state.mainDialog != 0 || !state.startupArmed)) EndProcess(2);
    JumpToRecovery(state.runContext);
}

[[noreturn]] void FatalError(const char* text) {
    sfxPlatform.messageBox(state.mainDialog, text, programTitle, kBoxIconError | kBoxOk);
    if (!state.inRun) state.exitCode = 2;
    NonLocalReturn(2);
}

[[noreturn]] void HeaderCorruptError() {
    FatalError(kHeaderCorruptText);
}

static void WriteLine(FileHandle file, const char* format, ...) {
    char line[320];
    va_list arguments;
    va_start(arguments, format);
    uint32_t length = FormatTextV(line, sizeof line, format, arguments);
    va_end(arguments);
    if (length >= sizeof line) length = sizeof line - 1;
    sfxPlatform.writeFile(file, line, length);
}

// Lines 2 to 11 of the report.
static void WriteSystemReport(FileHandle file) {
    SfxSystemTime now = {};
    sfxPlatform.systemTime(&now);
    WriteLine(file, "\nCurrent date/time: %02d/%02d/%04d %02d:%02d\r\n", now.month, now.day, now.year, now.hour,
              now.minute);

    char moduleName[kPathCapacity];
    moduleName[0] = 0;
    uint32_t length = sfxPlatform.moduleFileName(moduleName, sizeof moduleName);
    moduleName[length < sizeof moduleName ? length : sizeof moduleName - 1] = 0;
    WriteLine(file, "Module name = %s\r\n", moduleName);

    // The operating-system line carries the version the system reports
    // (major, two-digit minor); the next two lines give its family.
    uint32_t version = sfxPlatform.systemVersion();
    int major = (int)(version & 0xFF);
    int minor = (int)((version >> 8) & 0xFF);
    WriteLine(file, "\nOperating System Version %d.%02d\r\n", major, minor);
    if ((version & 0x80000000u) == 0) WriteLine(file, "Windows NT\r\n");
    else if (major < 4) WriteLine(file, "Win32s\r\n");
    else WriteLine(file, "Windows 95/98\r\n");
    WriteLine(file, " Version %d.%d\r\n", major, minor);

    SfxMemoryStatus memory = {};
    sfxPlatform.memoryStatus(&memory);
    // The figures are written whole: the address space of a 64-bit process
    // does not fit a 32-bit long in kilobytes.
    WriteLine(file, "Memory in use = %ld%%\r\n", (long)memory.memoryLoad);
    WriteLine(file, "Total physical memory = %lld Kbytes\r\n", (long long)(memory.totalPhysical >> 10));
    WriteLine(file, "Physical memory available = %lld Kbytes\r\n", (long long)(memory.availablePhysical >> 10));
    WriteLine(file, "Total virtual memory = %lld Kbytes\r\n", (long long)(memory.totalVirtual >> 10));
    WriteLine(file, "Virtual memory available = %lld Kbytes\r\n", (long long)(memory.availableVirtual >> 10));
}

[[noreturn]] void InternalError(const char* module, int line) {
    // A second internal error while the first is being reported (a message
    // dispatched by one of its boxes) ends the process at once.
    if (state.internalErrorCount++ != 0) EndProcess(1);
    // The process ends here: a file being written is not left half-done.
    DiscardOutputFile();

    char text[160];
    FormatText(text, sizeof text, "Kelvra internal error in file %s line %d", module, line);
    sfxPlatform.messageBox(state.mainDialog, text, programTitle, kBoxIconExclamation | kBoxOk);

    FileHandle report = sfxPlatform.createReport(kReportFileName);
    if (report == 0) EndProcess(1);
    WriteLine(report, "%s\r\n", text);
    WriteSystemReport(report);
    sfxPlatform.closeFile(report);

    sfxPlatform.messageBox(state.mainDialog, kReportNotice, programTitle, kBoxIconExclamation | kBoxOk);
    EndProcess(1);
}
