// The code-page facts of format/codepage.h, which the Linux stub, the
// builder and the terminal all take: Windows-1252 checked against the C
// library's own converter and case rules, UTF-8 against its definition.
#include <gtest/gtest.h>
#include <iconv.h>
#include <locale.h>
#include <wctype.h>

#include <string>

#include "format/codepage.h"

namespace {

// The C library's Windows-1252 reading of one byte; 0 when it has none.
uint32_t LibraryCharacter(iconv_t converter, uint8_t byte) {
    char in[1] = {(char)byte};
    uint32_t out = 0;
    char* from = in;
    char* to = (char*)&out;
    size_t inLeft = 1, outLeft = sizeof out;
    iconv(converter, nullptr, nullptr, nullptr, nullptr);
    return iconv(converter, &from, &inLeft, &to, &outLeft) == (size_t)-1 ? 0 : out;
}

TEST(Windows1252, AgreesWithTheLibraryBothWaysAndInCase) {
    iconv_t converter = iconv_open("UTF-32LE", "CP1252");
    ASSERT_NE(converter, (iconv_t)-1);
    locale_t utf8 = newlocale(LC_CTYPE_MASK, "C.UTF-8", (locale_t)0);
    ASSERT_NE(utf8, (locale_t)0);
    int defined = 0;
    for (uint32_t byte = 1; byte < 256; byte++) {
        const uint32_t code = LibraryCharacter(converter, (uint8_t)byte);
        EXPECT_EQ(Windows1252ToUnicode((uint8_t)byte), code) << "byte " << byte;
        if (code == 0) continue;
        defined++;
        EXPECT_EQ(UnicodeToWindows1252(code), (int)byte) << "code point " << code;
        // A letter takes its capital's byte when the code page has that
        // capital, and stays as it is otherwise (µ, ß).
        const int capital = UnicodeToWindows1252((uint32_t)towupper_l((wint_t)code, utf8));
        EXPECT_EQ(Windows1252Upper((uint8_t)byte), capital >= 0 ? capital : (int)byte) << "byte " << byte;
    }
    EXPECT_EQ(defined, 250);  // all but the five the code page leaves out
    for (uint32_t code : {0x81u, 0x9Du, 0x100u, 0x151u, 0x2031u, 0xFFFDu, 0x1F600u})
        EXPECT_EQ(UnicodeToWindows1252(code), -1) << "code point " << code;
    freelocale(utf8);
    iconv_close(converter);
}

TEST(Utf8, EveryCodePointRoundTripsAndOnlyWellFormedBytesDecode) {
    for (uint32_t code = 0; code < 0x110000; code++) {
        uint8_t bytes[4];
        const uint32_t length = EncodeUtf8(code, bytes);
        uint32_t decoded = 0xFFFFFFFF;
        const bool surrogate = code >= 0xD800 && code <= 0xDFFF;
        ASSERT_EQ(DecodeUtf8(bytes, length, &decoded), surrogate ? 0u : length) << "U+" << std::hex << code;
        ASSERT_EQ(decoded, surrogate ? 0u : code);
        // A sequence cut short anywhere is no character.
        for (uint32_t cut = 1; cut < length; cut++) ASSERT_EQ(DecodeUtf8(bytes, cut, &decoded), 0u);
    }
    struct Row {
        const char* bytes;
        bool wellFormed;
    } rows[] = {
        {"caf\xC3\xA9 \xE2\x82\xAC \xF0\x9F\x98\x80", true},
        {"\xC0\x80", false},              // overlong NUL
        {"\xC1\xBF", false},              // overlong DEL
        {"\xE0\x9F\xBF", false},          // overlong three-byte form
        {"\xF0\x8F\xBF\xBF", false},      // overlong four-byte form
        {"\xF4\x90\x80\x80", false},      // past U+10FFFF
        {"\xF5\x80\x80\x80", false},      // no such lead byte
        {"\x80", false},                  // a continuation byte alone
        {"\xE9t\xE9", false},             // Windows-1252 text
        {"\xE2\x82", false},              // cut at the end
    };
    for (const Row& row : rows) {
        const std::string text = row.bytes;
        EXPECT_EQ(IsUtf8((const uint8_t*)text.data(), text.size()), row.wellFormed) << text;
    }
    // Reading stops at the first byte that continues nothing, so a
    // zero-terminated text may be decoded with room for a whole character.
    uint32_t code;
    EXPECT_EQ(DecodeUtf8((const uint8_t*)"\xE2\0", 4, &code), 0u);
}

}  // namespace
