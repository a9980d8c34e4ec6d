// The scripted platform with its files and folders in memory, for the fuzz
// targets that run the stub's start-up or a whole extraction over arbitrary
// bytes: nothing is read from or written to the real disk, message boxes
// take the script's answers (support/fake_platform.h), standard input is a script
// text, and the stub's terminal output goes nowhere.
//
// Every path lives under kMemoryRoot, a folder that does not exist on the
// real disk: a seam entry left to the real system can only fail on such a
// path, and EndMemoryRun checks that none was created there.
//
// The memory disk also watches the run: a file created outside the
// destination folder (the dialog's folder at the time), a folder created
// neither inside it nor on the way to it, or a handle still open at the end,
// is a finding (abort).
#ifndef KVSFX_TESTS_FUZZ_MEMORY_PLATFORM_H
#define KVSFX_TESTS_FUZZ_MEMORY_PLATFORM_H

#include <stddef.h>
#include <stdint.h>

#include <string>

extern const char kMemoryRoot[];  // "/kvsfx-fuzz-memory"

// Installs the fake platform, then the memory disk over its file and folder
// entries; the disk starts empty with the root folder as current folder.
// stdinText becomes standard input; standard output and standard error are
// silenced until EndMemoryRun.
void BeginMemoryRun(const std::string& stdinText);

// Files and folders put on the memory disk before the run (folders above
// them are made as needed).
void PutMemoryFile(const std::string& path, const std::string& bytes);
void PutMemoryFolder(const std::string& path);

// Writes to created files come up short after this many bytes in all (a
// full disk); the disk also refuses to hold more than a few MiB.
void LimitMemoryWrites(int64_t bytes);

// Checks the run (handles closed, nothing created on the real disk), frees
// what the stub left allocated after an ended process, and puts the streams
// back.
void EndMemoryRun();

#endif
