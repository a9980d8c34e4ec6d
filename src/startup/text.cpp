// A bounded formatter in the manner of wsprintfA, and bounded copies. The
// stub formats every message into a fixed area; the length returned lets the
// caller tell a text that did not fit (the internal-error guards).
#include "startup/text.h"

#include "failure/failure.h"

namespace {

struct Sink {
    char* buffer;
    uint32_t capacity;
    uint32_t length;  // characters the whole text needs so far
};

void Put(Sink* sink, char c) {
    if (sink->length + 1 < sink->capacity) sink->buffer[sink->length] = c;
    sink->length++;
}

void PutPadded(Sink* sink, const char* digits, uint32_t count, uint32_t width, bool zeroPad, bool leftAlign) {
    uint32_t pad = width > count ? width - count : 0;
    if (!leftAlign)
        for (uint32_t i = 0; i < pad; i++) Put(sink, zeroPad ? '0' : ' ');
    for (uint32_t i = 0; i < count; i++) Put(sink, digits[i]);
    if (leftAlign)
        for (uint32_t i = 0; i < pad; i++) Put(sink, ' ');
}

// Divides value by base (at most 16) in place and returns the remainder,
// with 32-bit divisions only: the i686 stub links no 64-bit division helper.
unsigned DivideSmall(unsigned long long* value, unsigned base) {
    uint32_t high = (uint32_t)(*value >> 32), low = (uint32_t)*value;
    uint32_t highQuotient = high / base;
    uint32_t part = ((high % base) << 16) | (low >> 16);
    uint32_t middleQuotient = part / base;
    part = ((part % base) << 16) | (low & 0xFFFF);
    *value = ((unsigned long long)highQuotient << 32) | (middleQuotient << 16) | (part / base);
    return part % base;
}

void PutNumber(Sink* sink, unsigned long long value, bool negative, unsigned base, bool upper, uint32_t width,
               bool zeroPad, bool leftAlign) {
    char digits[24];
    uint32_t count = 0;
    char reversed[24];
    uint32_t n = 0;
    do {
        unsigned d = DivideSmall(&value, base);
        reversed[n++] = (char)(d < 10 ? '0' + d : (upper ? 'A' : 'a') + d - 10);
    } while (value != 0);
    if (negative) {
        if (zeroPad && !leftAlign) {
            Put(sink, '-');
            if (width > 0) width--;
        } else {
            digits[count++] = '-';
        }
    }
    while (n > 0) digits[count++] = reversed[--n];
    PutPadded(sink, digits, count, width, zeroPad, leftAlign);
}

}  // namespace

uint32_t FormatTextV(char* buffer, uint32_t capacity, const char* format, va_list arguments) {
    Sink sink = {buffer, capacity, 0};
    for (const char* p = format; *p != 0; p++) {
        if (*p != '%') {
            Put(&sink, *p);
            continue;
        }
        p++;
        bool leftAlign = false, zeroPad = false, isLong = false, isLongLong = false;
        for (;; p++) {
            if (*p == '-') leftAlign = true;
            else if (*p == '0') zeroPad = true;
            else break;
        }
        uint32_t width = 0;
        while (*p >= '0' && *p <= '9') width = width * 10 + (uint32_t)(*p++ - '0');
        if (*p == 'l') {
            isLong = true;
            p++;
            if (*p == 'l') {
                isLongLong = true;
                p++;
            }
        }
        switch (*p) {
        case 'd':
        case 'i': {
            long long value = isLongLong ? va_arg(arguments, long long)
                              : isLong   ? va_arg(arguments, long)
                                         : va_arg(arguments, int);
            bool negative = value < 0;
            unsigned long long magnitude = negative ? 0ULL - (unsigned long long)value : (unsigned long long)value;
            PutNumber(&sink, magnitude, negative, 10, false, width, zeroPad, leftAlign);
            break;
        }
        case 'u':
        case 'x':
        case 'X': {
            unsigned long long value = isLongLong ? va_arg(arguments, unsigned long long)
                                       : isLong   ? va_arg(arguments, unsigned long)
                                                  : va_arg(arguments, unsigned);
            PutNumber(&sink, value, false, *p == 'u' ? 10 : 16, *p == 'X', width, zeroPad, leftAlign);
            break;
        }
        case 's': {
            // A text set into a message is a name or a path. Its control
            // characters (a line feed, a carriage return or an escape in an
            // entry name) are shown as '?', so that a name can neither break
            // the message's lines nor drive a terminal. No lead or trail byte
            // of a double-byte character lies below 0x20 or equals 0x7F.
            const char* text = va_arg(arguments, const char*);
            if (text == 0) text = "";
            uint32_t count = TextLength(text);
            uint32_t pad = width > count ? width - count : 0;
            if (!leftAlign)
                for (uint32_t i = 0; i < pad; i++) Put(&sink, ' ');
            for (uint32_t i = 0; i < count; i++) {
                unsigned char c = (unsigned char)text[i];
                Put(&sink, c < 0x20 || c == 0x7F ? '?' : (char)c);
            }
            if (leftAlign)
                for (uint32_t i = 0; i < pad; i++) Put(&sink, ' ');
            break;
        }
        case 'c': {
            char c = (char)va_arg(arguments, int);
            PutPadded(&sink, &c, 1, width, false, leftAlign);
            break;
        }
        case '%':
            Put(&sink, '%');
            break;
        case 0:
            p--;  // a lone '%' at the end is dropped
            break;
        default:
            Put(&sink, *p);
            break;
        }
    }
    if (capacity > 0) buffer[sink.length < capacity ? sink.length : capacity - 1] = 0;
    return sink.length;
}

uint32_t FormatText(char* buffer, uint32_t capacity, const char* format, ...) {
    va_list arguments;
    va_start(arguments, format);
    uint32_t length = FormatTextV(buffer, capacity, format, arguments);
    va_end(arguments);
    return length;
}

uint32_t FormatGuarded(char* buffer, uint32_t capacity, int guardLine, const char* format, ...) {
    va_list arguments;
    va_start(arguments, format);
    uint32_t length = FormatTextV(buffer, capacity, format, arguments);
    va_end(arguments);
    if (length >= capacity) InternalError(SFX_GUARD_MODULE, guardLine);
    return length;
}

uint32_t CopyText(char* buffer, uint32_t capacity, const char* source) {
    uint32_t length = TextLength(source);
    if (length >= capacity) {
        if (capacity > 0) buffer[0] = 0;
        return capacity;
    }
    for (uint32_t i = 0; i <= length; i++) buffer[i] = source[i];
    return length;
}

uint32_t TextLength(const char* text) {
    uint32_t length = 0;
    while (text[length] != 0) length++;
    return length;
}
