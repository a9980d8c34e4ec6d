#include "platform/posix/command_words.h"

namespace {

int IsBlank(char c) { return c == ' ' || c == '\t'; }

}  // namespace

uint32_t SplitCommandLine(const char* line, char* buffer, char** words) {
    uint32_t count = 0;
    const char* p = line;
    char* out = buffer;
    while (IsBlank(*p)) p++;
    if (*p == 0) {
        words[0] = 0;
        return 0;
    }

    // The program's name.
    words[count++] = out;
    if (*p == '"') {
        for (p++; *p != 0 && *p != '"'; p++) *out++ = *p;
        if (*p == '"') p++;
    } else {
        while (*p != 0 && !IsBlank(*p)) *out++ = *p++;
    }
    *out++ = 0;

    // The arguments.
    for (;;) {
        while (IsBlank(*p)) p++;
        if (*p == 0) break;
        words[count++] = out;
        int quoted = 0;
        while (*p != 0 && (quoted || !IsBlank(*p))) {
            uint32_t backslashes = 0;
            while (*p == '\\') {
                backslashes++;
                p++;
            }
            if (*p != '"') {
                while (backslashes-- > 0) *out++ = '\\';
                if (*p != 0 && (quoted || !IsBlank(*p))) *out++ = *p++;
                continue;
            }
            for (uint32_t i = 0; i < backslashes / 2; i++) *out++ = '\\';
            if (backslashes % 2 == 1) {
                *out++ = '"';
            } else if (quoted && p[1] == '"') {
                *out++ = '"';
                p++;
            } else {
                quoted = !quoted;
            }
            p++;
        }
        *out++ = 0;
    }
    words[count] = 0;
    return count;
}
