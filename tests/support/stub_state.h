// The stub's own state made ready for tests: its buffers as the start-up
// allocates them, its message texts in UTF-8, and in-process runs on a
// self-extracting file.
#ifndef KVSFX_TESTS_SUPPORT_STUB_STATE_H
#define KVSFX_TESTS_SUPPORT_STUB_STATE_H

#include <string>
#include <vector>

// The stub's texts in UTF-8, as the terminal shows them.
std::string Message(int index);
// Message index formatted with one text argument, in UTF-8.
std::string MessageWith(int index, const std::string& argument);

// The codec buffers the start-up allocates, the message buffer of the main
// sequence and the CRC table; the caller installs the platform first.
void AllocateStartupBuffers();
// Releases them (and a stored password).
void ReleaseStartupBuffers();

// For tests of single procedures: installs the fake platform and gives the
// state what the start-up would (codec buffers, CRC table, message table,
// message buffer).
void PrepareUnitState();

// In-process runs: installs the fake platform on the self-extracting file
// and feeds input to standard input. The caller may then script fake.* and
// call RunSfxMain.
void PrepareInProcess(const std::string& sfxPath, const std::string& input = "");
// The texts of the message boxes shown, in UTF-8.
std::vector<std::string> BoxTexts();

#endif
