// The password prompt, front-end independent: the template is inflated from
// the program's data and handed to the front-end's dialog, whose OK stores
// the text through AcceptPassword.
#include "codec/codec.h"
#include "failure/failure.h"
#include "resources/messages.h"
#include "startup/sfx_state.h"
#include "ui/ui.h"

uint8_t PromptForPassword(void* parent) {
    // 1. Only an archive marked as encrypted (or whose last entry read was).
    if (!state.entryEncrypted) return 1;

    // 2.
    uint8_t* block = (uint8_t*)sfxPlatform.allocate(kPasswordTemplateBlockSize);
    if (block == 0) FatalError("no memory for resources");

    // 3. The template, in memory mode; whatever bytes arrive are shown.
    InflateEmbedded(passwordTemplateStream, passwordTemplateStreamLength, block, kPasswordTemplateBlockSize);

    // 4. The dialog; a dialog that cannot be created (-1) counts as "go on".
    intptr_t result = PasswordDialog(parent, block);

    // 5.
    state.outPtr = 0;
    state.outLimit = 0;
    sfxPlatform.release(block);
    return (uint8_t)(result & 0xFF);
}

int AcceptPassword(const char* text) {
    // At most 254 characters are taken, as the edit control hands them over.
    uint32_t length = 0;
    while (length < kPasswordMaxLength && text[length] != 0) length++;
    if (length == 0) return 0;  // nothing typed: the dialog stays open

    if (state.password != 0) sfxPlatform.release(state.password);
    state.password = (char*)sfxPlatform.allocate(length + 1);
    if (state.password == 0) return 0;  // no password stored: the dialog stays open
    for (uint32_t i = 0; i < length; i++) state.password[i] = text[i];
    state.password[length] = 0;
    return 1;
}
