// libFuzzer target for the command line: the cut of the argument text out
// of a process command line, and the parser of -AUTO / -NOAUTO over it. The
// bytes (up to the first zero) are the whole command line as the system
// hands it over. Whatever they hold, the destination stays a terminated
// text within its capacity, and automatic mode is on or off.
#include <stdint.h>
#include <stdlib.h>
#include <string.h>

#include <vector>

#include "codec/codec.h"
#include "resources/messages.h"
#include "startup/sfx_state.h"
#include "startup/startup.h"

namespace {

const char kCanary[] = "C:\\Programme\\Kelvra";

bool SetUp() {
    state.window = AllocateWindow();
    state.input.data = (uint8_t*)sfxPlatform.allocate(kCodecBufferAllocation);
    state.outBuffer = (uint8_t*)sfxPlatform.allocate(kCodecBufferAllocation);
    BuildCrcTable();
    LoadMessages();  // the keywords AUTO and NOAUTO
    return state.messageTable != nullptr;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static bool ready = SetUp();
    if (!ready) abort();
    // The text in a block of its own size, so that reading past its zero shows.
    const size_t length = strnlen((const char*)data, size);
    std::vector<char> commandLine(data, data + length);
    commandLine.push_back(0);

    memcpy(state.destFolder, kCanary, sizeof kCanary);
    memset(state.destFolder + sizeof kCanary, 0x5A, sizeof state.destFolder - sizeof kCanary);
    state.autoMode = (uint8_t)(length & 1);

    char* arguments = CutArgumentText(commandLine.data());
    if (arguments < commandLine.data() || arguments > commandLine.data() + length) abort();
    ParseCommandLine(arguments);

    if (state.autoMode > 1) abort();
    if (strnlen(state.destFolder, sizeof state.destFolder) >= sizeof state.destFolder) abort();
    return 0;
}
