// libFuzzer target for the message-table loader: an arbitrary stream in
// place of the embedded message table (first byte even) or of the password
// dialog's template (odd). The loader must refuse what does not fit its
// block with the header-corrupt error, and whatever it keeps must give a
// terminated text for every message and a bounded label for every item of
// the dialog templates.
#include <stdint.h>
#include <stdlib.h>
#include <string.h>

#include <vector>

#include "codec/codec.h"
#include "failure/recovery.h"
#include "support/fake_platform.h"
#include "resources/message_data.h"
#include "resources/messages.h"
#include "startup/sfx_state.h"
#include "startup/startup.h"
#include "ui/terminal/terminal.h"
#include "ui/ui.h"

namespace {

const int kItems[] = {kItemUnzip,      kItemClose,       kItemExplanation, kItemOverwrite,   kItemProgramNotice,
                      kItemHelp,       kItemFolderLabel, kItemFolder,      kItemStatus,      kItemHiddenCheck,
                      kItemAbout,      kItemRunArchiver, kItemBrowse,      kItemMeter,       kItemPasswordText,
                      kItemPasswordEdit};

void CheckLabels(const uint8_t* dialogTemplate, uint32_t size) {
    for (int item : kItems) {
        char label[kLabelCapacity];
        memset(label, 0x5A, sizeof label);
        TemplateItemText(dialogTemplate, size, item, label, sizeof label);
        if (strnlen(label, sizeof label) >= sizeof label) abort();
    }
}

void UseAsMessageTable(const std::vector<uint8_t>& stream) {
    // The recovery point a header-corrupt error returns to, as the start-up arms it.
    if (ArmRecovery(state.runContext) != 0) {
        state.startupArmed = 0;
        if (state.messageTable != nullptr) abort();  // refused, yet kept
        return;
    }
    state.startupArmed = 1;
    LoadMessageStream(stream.data(), (uint32_t)stream.size());
    state.startupArmed = 0;
    for (int i = 0; i < MSG_MAIN_DIALOG; i++) {
        const char* text = MessageText(i);
        const char* blockEnd = (const char*)state.messageTable + messageBlockSize;
        if (memchr(text, 0, (size_t)(blockEnd - text)) == nullptr) abort();
    }
    CheckLabels((const uint8_t*)MessageText(MSG_MAIN_DIALOG), kMainTemplateCopySize);
    sfxPlatform.release(state.messageTable);
    state.messageTable = nullptr;
}

void UseAsPasswordTemplate(const std::vector<uint8_t>& stream) {
    std::vector<uint8_t> block(kPasswordTemplateBlockSize);
    int result = InflateEmbedded(stream.data(), (uint32_t)stream.size(), block.data(), (uint32_t)block.size());
    if (result < 0 || result > 2) abort();
    if (state.outPtr < block.data() || state.outPtr > block.data() + block.size()) abort();
    CheckLabels(block.data(), (uint32_t)block.size());
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static bool ready = [] {
        InstallFakePlatform();
        if (!AllocateCodecBuffers()) abort();
        state.messageBuffer = (char*)sfxPlatform.allocate(kMessageBufferSize);
        BuildCrcTable();
        return true;
    }();
    (void)ready;
    if (size < 1) return 0;
    // The stream in a block of its own size, so that reading past it shows.
    std::vector<uint8_t> stream(data + 1, data + size);
    fake.boxes.clear();
    if (data[0] & 1) UseAsPasswordTemplate(stream);
    else UseAsMessageTable(stream);
    return 0;
}
