#include "support/stub_state.h"

#include <stdio.h>
#include <string.h>

#include <gtest/gtest.h>

#include "codec/codec.h"
#include "resources/messages.h"
#include "startup/sfx_state.h"
#include "startup/startup.h"
#include "startup/text.h"
#include "support/fake_platform.h"
#include "support/files.h"

void AllocateStartupBuffers() {
    if (!AllocateCodecBuffers()) ADD_FAILURE() << "no codec buffers";
    state.messageBuffer = (char*)sfxPlatform.allocate(kMessageBufferSize);
    BuildCrcTable();
}

void ReleaseStartupBuffers() {
    ReleaseWindow(state.window);
    sfxPlatform.release(state.outBuffer);
    sfxPlatform.release(state.input.data);
    sfxPlatform.release(state.messageBuffer);
    if (state.password) sfxPlatform.release(state.password);
    state.window = state.outBuffer = state.input.data = nullptr;
    state.messageBuffer = nullptr;
    state.password = nullptr;
}

namespace {

// The message table's texts (Windows-1252), read once with a state and the
// system's table of their own, so that a test may ask for them at any
// moment without touching its run or the fake's counts.
const std::string& MessageRaw(int index) {
    static std::vector<std::string> texts;
    if (texts.empty()) {
        std::vector<char> saved(sizeof(SfxState));
        memcpy(saved.data(), (const void*)&state, sizeof(SfxState));
        const SfxPlatform table = sfxPlatform;
        RestoreRealPlatform();
        state.messageTable = nullptr;
        state.memoryMode = 0;
        AllocateStartupBuffers();
        LoadMessages();
        for (int i = 0; i < MSG_MAIN_DIALOG; i++) texts.push_back(MessageText(i));
        sfxPlatform.release(state.messageTable);
        ReleaseStartupBuffers();
        sfxPlatform = table;
        memcpy((void*)&state, saved.data(), sizeof(SfxState));
    }
    return texts.at((size_t)index);
}

}  // namespace

std::string Message(int index) { return Utf8(MessageRaw(index)); }

std::string MessageWith(int index, const std::string& argument) {
    char text[1024];
    FormatText(text, sizeof text, MessageRaw(index).c_str(), argument.c_str());
    return Utf8(text);
}

void PrepareUnitState() {
    InstallFakePlatform();
    AllocateStartupBuffers();
    LoadMessagesForTest();
}

void PrepareInProcess(const std::string& sfxPath, const std::string& input) {
    static std::string inputPath;
    if (inputPath.empty()) inputPath = TempFolder("stdin") + "/input";
    WriteFileBytes(inputPath, input);
    if (freopen(inputPath.c_str(), "r", stdin) == nullptr) ADD_FAILURE() << "no standard input";
    InstallFakePlatform();
    if (!UseSfxFile(sfxPath)) ADD_FAILURE() << "no configuration block in " << sfxPath;
}

std::vector<std::string> BoxTexts() {
    std::vector<std::string> texts;
    for (const RecordedBox& box : fake.boxes) texts.push_back(Utf8(box.text));
    return texts;
}
