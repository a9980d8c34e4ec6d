// The command line: one switch, -AUTO (optionally followed by a destination
// folder) or -NOAUTO, with "-" or "/" as switch character and any case.
// "-info" is the main sequence's own business and is looked for before this
// parser runs.
#include "resources/messages.h"
#include "startup/startup.h"
#include "startup/text.h"
#include "ui/name_text.h"

namespace {

int IsSwitchChar(char c) { return c == '-' || c == '/'; }

}  // namespace

// Position of the first byte equal to byte, or of the terminator; steps whole
// characters so that the second byte of a double-byte character never
// matches.
char* FindChar(char* text, char byte) {
    while (*text != 0 && *text != byte) text = sfxPlatform.nextChar(text);
    return text;
}

// 0 when the count bytes are equal, 1 otherwise. Stops at the first
// difference, so a zero-terminated text shorter than count is never read past
// its terminator when the other side holds no zero byte.
int CompareBytes(const void* a, const void* b, uint32_t count) {
    const uint8_t* left = (const uint8_t*)a;
    const uint8_t* right = (const uint8_t*)b;
    for (uint32_t i = 0; i < count; i++)
        if (left[i] != right[i]) return 1;
    return 0;
}

// Only the first switch of the text is examined; everything after it belongs
// to that switch. Sets or clears autoMode and may replace destFolder. 0 when
// the folder of -AUTO is too long for destFolder: automatic mode is off, the
// folder unchanged, and message 32 has said that it cannot be made.
int ParseCommandLine(char* argumentText) {
    const char* keyAuto = MessageText(MSG_KEY_AUTO);
    const char* keyNoAuto = MessageText(MSG_KEY_NOAUTO);
    uint32_t autoLength = TextLength(keyAuto);
    uint32_t noAutoLength = TextLength(keyNoAuto);

    // 1. The first switch character; a text without one changes nothing.
    char* p = argumentText;
    while (*p != 0 && !IsSwitchChar(*p)) p = sfxPlatform.nextChar(p);
    if (*p == 0) return 1;

    // 2. The rest follows the switch character.
    char* rest = p + 1;

    // 3. Shorter than the shorter keyword: ignored.
    uint32_t shortest = autoLength < noAutoLength ? autoLength : noAutoLength;
    if (TextLength(rest) < shortest) return 1;

    // 4. The switch word, up to the first blank, is upper-cased in place.
    char* wordEnd = FindChar(rest, ' ');
    sfxPlatform.upperCase(rest, (uint32_t)(wordEnd - rest));

    // 5. NOAUTO.
    if (CompareBytes(rest, keyNoAuto, noAutoLength) == 0) {
        state.autoMode = 0;
        return 1;
    }

    // 6. Anything but AUTO is ignored.
    if (CompareBytes(rest, keyAuto, autoLength) != 0) return 1;

    // 7. AUTO: whatever follows the keyword directly already begins the folder.
    state.autoMode = 1;
    p = rest + autoLength;

    // 8. No folder: the header's default stays.
    if (*p == 0) return 1;
    while (*p == ' ') p++;
    if (*p == 0) return 1;

    // 9. A quoted folder.
    int quoted = *p == '"';
    if (quoted) p++;

    // 10. Too long for destFolder: no automatic run, and the user is told
    // why (the folder, shortened in its middle, cannot be made).
    if (TextLength(p) > kPathCapacity - 1) {
        state.autoMode = 0;
        char text[kMessageBufferSize];
        FormatWithName(text, sizeof text, MessageText(MSG_CANNOT_CREATE_FOLDER), p);
        sfxPlatform.messageBox(0, text, programTitle, kBoxIconError | kBoxOk);
        return 0;
    }

    // 11. The whole remaining text is the folder.
    CopyText(state.destFolder, sizeof state.destFolder, p);

    // 12. A quoted folder ends at its closing quote, when it has one.
    if (quoted && state.destFolder[0] != 0) *FindChar(state.destFolder, '"') = 0;
    return 1;
}
