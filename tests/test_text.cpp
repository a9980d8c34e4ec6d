// The bounded formatter every message goes through: the conversions the
// message table uses, and the length it reports when a text does not fit
// (what the internal-error guards test).
#include <gtest/gtest.h>

#include <cstring>

#include "startup/text.h"

TEST(FormatText, ConversionsOfTheMessageTable) {
    char out[200];
    uint32_t length = FormatText(out, sizeof out, "Mauvais CRC %08lx (devrait \xEAtre %08lx)", 0xBEEFUL, 0x8BADF00DUL);
    EXPECT_STREQ(out, "Mauvais CRC 0000beef (devrait \xEAtre 8badf00d)");
    EXPECT_EQ(length, strlen(out));

    FormatText(out, sizeof out, "\nCurrent date/time: %02d/%02d/%04d %02d:%02d\r\n", 3, 7, 2026, 9, 5);
    EXPECT_STREQ(out, "\nCurrent date/time: 03/07/2026 09:05\r\n");
    FormatText(out, sizeof out, "%d fichier(s) %s <%d> %ld%% %u %X %c", -12, "ok", 9, 55L, 7u, 0xABu, 'z');
    EXPECT_STREQ(out, "-12 fichier(s) ok <9> 55% 7 AB z");
    FormatText(out, sizeof out, "%lld Kbytes %llu", 137438953472LL, 18446744073709551615ULL);
    EXPECT_STREQ(out, "137438953472 Kbytes 18446744073709551615");  // a 64-bit address space in KiB
    FormatText(out, sizeof out, "[%5d|%-4s|%05d|%s]", 42, "ab", -42, (const char*)nullptr);
    EXPECT_STREQ(out, "[   42|ab  |-0042|]");
}

TEST(FormatText, ReportsTheLengthNeededAndNeverWritesPastTheBuffer) {
    char out[12];
    memset(out, 'Z', sizeof out);
    uint32_t length = FormatText(out, 8, "%s-%s", "abcdef", "ghij");
    EXPECT_EQ(length, 11u);             // what the whole text needs
    EXPECT_STREQ(out, "abcdef-");       // cut and terminated inside the 8 bytes
    EXPECT_EQ(out[8], 'Z');             // nothing beyond them
    EXPECT_EQ(FormatText(out, 8, "1234567"), 7u);  // fits: 7 characters and the zero
    EXPECT_EQ(FormatText(out, 8, "12345678"), 8u);  // reaches the size: a guard fires on >= capacity
}

TEST(CopyText, StoresOnlyWhatFits) {
    char out[6];
    EXPECT_EQ(CopyText(out, sizeof out, "abcde"), 5u);
    EXPECT_STREQ(out, "abcde");
    EXPECT_EQ(CopyText(out, sizeof out, "abcdef"), 6u);
    EXPECT_STREQ(out, "");
}
