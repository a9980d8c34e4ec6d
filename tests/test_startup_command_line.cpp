// The command line: every edge case of the switch parser as one table, and
// the character stepping it stands on.
#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "codec/codec.h"
#include "startup/startup.h"
#include "support/fake_platform.h"

namespace {

class CommandLine : public ::testing::Test {
protected:
    void SetUp() override {
        InstallFakePlatform();
        state.window = AllocateWindow();
        LoadMessagesForTest();
    }
    void TearDown() override {
        ReleaseWindow(state.window);
        state.window = nullptr;
        RestoreRealPlatform();
    }
};

TEST_F(CommandLine, Switches) {
    const std::string k260(260, 'd');
    const std::string k261(261, 'd');
    struct Case {
        std::string arguments;
        bool autoBefore;
        bool autoAfter;
        std::string folder;  // destFolder after; it was "DEFAULT"
    } cases[] = {
        {"sans option", false, false, "DEFAULT"},
        {"", true, true, "DEFAULT"},
        {"/auto", false, true, "DEFAULT"},
        {"-Auto", false, true, "DEFAULT"},
        {"-AUTO", false, true, "DEFAULT"},
        {" -auto ", false, true, "DEFAULT"},
        {"-auto C:\\Program Files\\Outils", false, true, "C:\\Program Files\\Outils"},
        {"-auto \"C:\\Mes Docs\" et la suite", false, true, "C:\\Mes Docs"},
        {"-auto \"C:\\Mes Docs et la suite", false, true, "C:\\Mes Docs et la suite"},
        {"-autoC:\\x", false, true, "C:\\X"},  // the whole switch word is upper-cased
        {"-AUTOMATIC", false, true, "MATIC"},
        {"-auto c:\\Data", false, true, "c:\\Data"},  // after the blank the case stays
        {"-auto \"\"", false, true, ""},
        {"-NOAUTO", true, false, "DEFAULT"},
        {"/noauto C:\\x", true, false, "DEFAULT"},
        {"-au", true, true, "DEFAULT"},
        {"-noa", false, false, "DEFAULT"},
        {"-noau", true, true, "DEFAULT"},  // four characters, neither keyword
        {"-", true, true, "DEFAULT"},
        {"C:\\mes-fichiers -auto", false, false, "DEFAULT"},  // the first hyphen names the switch
        {"x -info -auto", false, false, "DEFAULT"},           // only the first switch counts
        {"-auto " + k260, false, true, k260},
        {"-auto \"" + k260, false, true, k260},
        {"-auto " + k261, false, false, "DEFAULT"},
        {"-auto " + k261, true, false, "DEFAULT"},  // too long clears automatic mode
    };
    for (const Case& c : cases) {
        state.autoMode = c.autoBefore;
        snprintf(state.destFolder, sizeof state.destFolder, "DEFAULT");
        std::vector<char> text(c.arguments.begin(), c.arguments.end());
        text.push_back(0);
        ParseCommandLine(text.data());
        EXPECT_EQ(state.autoMode, c.autoAfter ? 1 : 0) << c.arguments;
        EXPECT_EQ(std::string(state.destFolder), c.folder) << c.arguments;
    }
}

TEST_F(CommandLine, OnlyTheSwitchWordIsUpperCased) {
    char text[] = "-auto c:\\Data";
    ParseCommandLine(text);
    EXPECT_STREQ(text, "-AUTO c:\\Data");
}

// FindChar steps whole characters: with a double-byte code page, a second
// byte equal to the one looked for is not a match.
TEST_F(CommandLine, FindCharStepsWholeCharacters) {
    sfxPlatform.nextChar = [](const char* text) -> char* {
        if (*text == 0) return (char*)text;
        return (char*)text + (((uint8_t)*text >= 0x81 && (uint8_t)text[1] != 0) ? 2 : 1);
    };
    char text[] = "\x81\\a\\b";
    EXPECT_EQ(FindChar(text, '\\'), text + 3);
    EXPECT_EQ(FindChar(text, '"'), text + strlen(text));  // the terminator when absent
}

}  // namespace
