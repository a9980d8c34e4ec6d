// Text for the terminal, template labels, and lines of input.
#include <signal.h>
#include <stdio.h>
#include <termios.h>
#include <unistd.h>

#include "format/codepage.h"
#include "platform/posix/codepage.h"
#include "startup/text.h"
#include "ui/terminal/terminal.h"

namespace {

// Length of the UTF-8 character at p (2 to 4 bytes), its code point in
// code, or 0 when the bytes there are no complete, printable UTF-8
// character (C1 controls excluded).
uint32_t Utf8CharLength(const unsigned char* p, uint32_t* code) {
    uint32_t length = DecodeUtf8(p, 4, code);
    return length >= 2 && *code >= 0xA0 ? length : 0;
}

void PutWindows1252(FILE* out, const char* start, uint32_t length) {
    char piece[kTerminalTextCapacity / 4];
    char converted[kTerminalTextCapacity];
    while (length > 0) {
        uint32_t count = length < sizeof piece - 1 ? length : (uint32_t)sizeof piece - 1;
        // Paths are shown with the system's separator.
        for (uint32_t i = 0; i < count; i++) piece[i] = start[i] == '\\' ? '/' : start[i];
        piece[count] = 0;
        AnsiToUtf8(piece, converted, sizeof converted);
        fputs(converted, out);
        start += count;
        length -= count;
    }
}

void AppendUtf8(char* label, uint32_t capacity, uint32_t* length, uint32_t code) {
    uint8_t bytes[4];
    uint32_t count = EncodeUtf8(code, bytes);
    if (*length + count >= capacity) return;
    for (uint32_t i = 0; i < count; i++) label[(*length)++] = (char)bytes[i];
    label[*length] = 0;
}

// A reader of the template that never looks past its size.
struct TemplateReader {
    const uint8_t* data;
    uint32_t size;
    uint32_t at;
    int failed;

    uint32_t Word() {
        if (at + 2 > size) {
            failed = 1;
            return 0;
        }
        uint32_t value = (uint32_t)data[at] | (uint32_t)data[at + 1] << 8;
        at += 2;
        return value;
    }
    void Skip(uint32_t count) {
        if (at + count > size) failed = 1;
        else at += count;
    }
    void Align() { Skip((4 - at % 4) % 4); }
    // A name or ordinal: 0, 0xFFFF and a number, or a zero-ended UTF-16 text,
    // copied into label when one is given.
    void NameOrOrdinal(char* label, uint32_t capacity) {
        uint32_t first = Word();
        if (first == 0xFFFF) {
            Word();
            return;
        }
        uint32_t length = 0;
        for (uint32_t unit = first; unit != 0 && !failed; unit = Word()) {
            if (label == 0) continue;
            if (unit == '&') {
                // A lone '&' marks the accelerator; "&&" shows one '&'.
                if (at + 2 > size || data[at] != '&' || data[at + 1] != 0) continue;
                at += 2;
            }
            if (unit >= 0xD800 && unit <= 0xDFFF) unit = '?';
            AppendUtf8(label, capacity, &length, unit);
        }
    }
};

enum : uint32_t { kSetFontStyle = 0x40 };

}  // namespace

void PutTerminalText(void* stream, const char* text) {
    FILE* out = (FILE*)stream;
    const char* run = text;
    const unsigned char* p = (const unsigned char*)text;
    while (*p != 0) {
        uint32_t code;
        uint32_t length = *p >= 0x80 ? Utf8CharLength(p, &code) : 0;
        if (length == 0) {
            p++;
            continue;
        }
        PutWindows1252(out, run, (uint32_t)((const char*)p - run));
        fwrite(p, 1, length, out);
        p += length;
        run = (const char*)p;
    }
    PutWindows1252(out, run, (uint32_t)((const char*)p - run));
}

void TemplateItemText(const uint8_t* dialogTemplate, uint32_t size, int id, char* label, uint32_t capacity) {
    if (capacity > 0) label[0] = 0;
    TemplateReader reader = {dialogTemplate, size, 0, 0};
    uint32_t style = reader.Word() | reader.Word() << 16;
    reader.Skip(4);  // extended style
    uint32_t items = reader.Word();
    reader.Skip(8);                   // position and size
    reader.NameOrOrdinal(0, 0);       // menu
    reader.NameOrOrdinal(0, 0);       // class
    reader.NameOrOrdinal(0, 0);       // caption
    if (style & kSetFontStyle) {
        reader.Skip(2);               // point size
        reader.NameOrOrdinal(0, 0);   // typeface
    }
    for (uint32_t item = 0; item < items && !reader.failed; item++) {
        reader.Align();
        reader.Skip(16);  // style, extended style, position and size
        int itemId = (int)reader.Word();
        reader.NameOrOrdinal(0, 0);  // class
        if (itemId == id) {
            reader.NameOrOrdinal(label, capacity);
            if (reader.failed && capacity > 0) label[0] = 0;
            return;
        }
        reader.NameOrOrdinal(0, 0);  // text
        // Creation data: a size word that counts itself, then the data.
        uint32_t creationSize = reader.Word();
        if (creationSize > 2) reader.Skip(creationSize - 2);
    }
}

void TypedTextToAnsi(char* text) {
    char converted[kInputLineCapacity];
    uint32_t length = 0;
    const unsigned char* p = (const unsigned char*)text;
    while (*p != 0) {
        uint32_t code = *p, size = 1;
        if (*p >= 0x80) {
            size = Utf8CharLength(p, &code);
            if (size == 0) return;
        }
        int byte = UnicodeToWindows1252(code);
        if (byte <= 0 || length + 1 >= sizeof converted) return;
        converted[length++] = (char)byte;
        p += size;
    }
    converted[length] = 0;
    CopyText(text, length + 1, converted);
}

namespace {

// The terminal's settings while a hidden line is read, for the signal
// handler below.
struct termios echoedSettings;

// Ctrl-C during a hidden read: the terminal gets its echo back, then the
// signal does what it does by default and ends the process.
void RestoreEchoAndStop(int signalNumber) {
    tcsetattr(STDIN_FILENO, TCSANOW, &echoedSettings);
    signal(signalNumber, SIG_DFL);
    raise(signalNumber);
}

}  // namespace

int ReadInputLine(char* line, uint32_t capacity, int hidden) {
    int quiet = hidden && isatty(STDIN_FILENO) && tcgetattr(STDIN_FILENO, &echoedSettings) == 0;
    struct sigaction previousInterrupt, previousQuit, previousTerminate;
    if (quiet) {
        struct sigaction restore = {};
        restore.sa_handler = RestoreEchoAndStop;
        sigemptyset(&restore.sa_mask);
        sigaction(SIGINT, &restore, &previousInterrupt);
        sigaction(SIGQUIT, &restore, &previousQuit);
        sigaction(SIGTERM, &restore, &previousTerminate);
        struct termios silent = echoedSettings;
        silent.c_lflag &= ~(tcflag_t)ECHO;
        tcsetattr(STDIN_FILENO, TCSAFLUSH, &silent);
    }
    int got = fgets(line, (int)capacity, stdin) != 0;
    if (quiet) {
        tcsetattr(STDIN_FILENO, TCSAFLUSH, &echoedSettings);
        sigaction(SIGINT, &previousInterrupt, 0);
        sigaction(SIGQUIT, &previousQuit, 0);
        sigaction(SIGTERM, &previousTerminate, 0);
        fputc('\n', stderr);
    }
    if (!got) return 0;
    uint32_t length = TextLength(line);
    if (length > 0 && line[length - 1] != '\n' && !feof(stdin)) {
        // The rest of an overlong line is not a second line.
        int c;
        while ((c = getchar()) != EOF && c != '\n') {
        }
    }
    while (length > 0 && (line[length - 1] == '\n' || line[length - 1] == '\r')) line[--length] = 0;
    return 1;
}

int OutputIsTerminal() { return isatty(STDOUT_FILENO); }
