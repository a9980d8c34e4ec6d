// A scripted stand-in for the platform seam. Install() copies the real
// (posix) table and replaces entries with wrappers that record message boxes,
// answer them from a script, fake the module name and volume labels, map
// volume paths to "disks", record the output files created and renamed, and
// inject short reads, failed writes, a full disk, failed renames and failed
// allocations. Everything else reaches the real system.
#ifndef KVSFX_TESTS_FAKE_PLATFORM_H
#define KVSFX_TESTS_FAKE_PLATFORM_H

#include <csetjmp>
#include <cstdint>
#include <deque>
#include <functional>
#include <string>
#include <vector>

#include "platform/platform.h"

struct RecordedBox {
    std::string text;     // as shown (Windows-1252 bytes)
    std::string caption;
    uint32_t style;
    bool hadOwner;
    int answer;
};

struct FakePlatform {
    // Message boxes: answers are taken in order; with none left a box gets
    // its safe answer (Cancel, No or Abort where it has one, else OK).
    std::vector<RecordedBox> boxes;
    std::deque<int> answers;

    // Module file name; empty: the real one.
    std::string moduleFileName;

    // Volume labels: each query takes the next of labelSequence, then keeps
    // answering label. labelReadable false: no disk (query fails).
    std::deque<std::string> labelSequence;
    std::string label;
    bool labelReadable = false;
    int labelQueries = 0;

    // Called with every path opened for reading; returns the path to open
    // (for spanned sets: the current disk's copy of the volume file).
    std::function<std::string(const std::string&)> mapOpenPath;

    // Reads: after readBudget bytes in all, reads fail (-1); -1: no limit.
    int64_t readBudget = -1;
    // Writes to created files: after writeBudget bytes, writes come up short
    // (a full disk); failWrites makes every write return -1.
    int64_t writeBudget = -1;
    bool failWrites = false;
    // Output files: every path a file was created at, and the renames
    // that gave complete files their names. failReplace: they fail.
    std::vector<std::string> createdPaths;
    std::vector<std::pair<std::string, std::string>> replaced;
    bool failReplace = false;
    // Called after each write to a created file (with the bytes written so
    // far to it), e.g. to interrupt the run in the middle of an entry.
    std::function<void(int64_t)> afterWrite;

    // Allocations: the n-th (1-based) allocation from now on fails; 0 none.
    int failAllocation = 0;
    int allocations = 0;
    uint32_t largestAllocation = 0;  // bytes of the largest block asked for

    // File times set on output files, in order: UTC seconds, or the DOS
    // date and time words. Both reach the real system as well.
    struct FileTime {
        bool utc;
        int64_t seconds;
        uint16_t dosDate, dosTime;
    };
    std::vector<FileTime> fileTimes;

    // exitProcess: the code, and whether it was called.
    bool exited = false;
    uint32_t exitCode = 0;

    // Environment overrides (name -> value; a missing name: the real one,
    // unsetEnvironment: none).
    std::vector<std::pair<std::string, std::string>> environment;
    bool unsetEnvironment = false;

    // Archiver registry entry, Shift key, started commands.
    std::string archiverCommand;  // empty: none registered
    bool shiftHeld = false;
    std::vector<std::string> commands;
    uint32_t runCommandResult = 33;

    // Programs started after a run (path, command line, folder), each then
    // started for real.
    struct StartedProgram {
        std::string path, commandLine, folder;
    };
    std::vector<StartedProgram> programs;
};

extern FakePlatform fake;

// Installs the fake table over sfxPlatform (from a saved copy of the real
// one) and clears every record; puts the stub's state and configuration
// block back to their process-start values.
void InstallFakePlatform();
// Puts the real table back.
void RestoreRealPlatform();

// Runs SfxMain on argument text and returns the exit code, whether SfxMain
// returned it or a procedure ended the process through exitProcess.
uint32_t RunSfxMain(const std::string& argumentText);

// Runs fn; returns true when it ended the process (fake.exitCode holds the code).
bool EndsProcess(const std::function<void()>& fn);

// Loads the configuration block of a self-extracting file into the stub's
// own block and makes the file the program's module file. False when the
// file has no block.
bool UseSfxFile(const std::string& path);

// Loads the message table (LoadMessages) for tests that need message texts.
void LoadMessagesForTest();

// Windows-1252 text in UTF-8 (for readable assertions).
std::string Utf8(const std::string& windows1252);

#endif
