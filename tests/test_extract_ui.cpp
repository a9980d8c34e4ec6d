// The portable pieces of the user interface: the progress value, the
// per-entry text and the help text within their areas, the explanation
// line, the temporary folder and the archiver's command line.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <string>

#include "resources/messages.h"
#include "startup/sfx_state.h"
#include "startup/text.h"
#include "ui/ui.h"
#include "support/codec_control.h"
#include "support/data.h"
#include "support/fake_platform.h"
#include "support/files.h"
#include "support/sfx_image.h"
#include "support/stub_state.h"
#include "support/zip_writer.h"

namespace {

class PortableUi : public ::testing::Test {
protected:
    void SetUp() override { PrepareUnitState(); }
    void TearDown() override { RestoreRealPlatform(); }
};

TEST_F(PortableUi, MeterPosition) {
    struct Row {
        uint32_t total, done, position;
    } rows[] = {
        {0, 5000000, 0},             // no total: no progress rather than a division by zero
        {50, 25, 50},                // below 100: done * 100 / total
        {99, 99, 100},
        {100, 37, 37},
        {1000000, 500000, 50},       // done / (total / 100)
        {1000050, 1000050, 100},
        {1000000, 3000000, 300},     // more than announced
        {4000000000u, 4000000000u, 100},
    };
    for (const Row& row : rows) {
        sfxConfigBlock.totalSize = row.total;
        state.bytesDone = row.done;
        EXPECT_EQ(row.position, MeterPosition()) << row.total << " " << row.done;
    }
}

// The meter's two rules. From the start: a large archive (end record at
// 512 KiB or beyond) or a spanned set. At timer 69, followed write by write
// through a real run on the scripted platform: due while less than a third
// of the configured total is written, never once the run is over, never
// for a total of 0.
TEST(MeterRules, AtOnceForLargeOrSpannedArchivesAtTheTimerBeforeAThird) {
    struct Start {
        uint32_t endRecordOffset, flags;
        bool atOnce;
    } starts[] = {{0, 0, false}, {0x7FFFF, 0, false}, {0x80000, 0, true}, {0x400000, 0, true},
                  {0x100, SFXF_SPANNED, true}};
    for (const Start& start : starts) {
        sfxConfigBlock.endRecordOffset = start.endRecordOffset;
        sfxConfigBlock.flags = start.flags;
        EXPECT_EQ(start.atOnce, MeterAtOnce()) << start.endRecordOffset << " " << start.flags;
    }

    std::vector<ZipItem> items;
    for (int i = 0; i < 3; i++) items.push_back({"part" + std::to_string(i) + ".bin", std::string(100000, 'a' + i)});
    const uint32_t written = 300000;
    for (uint32_t total : {written, 0u}) {
        std::string folder = TempFolder("meter-rule-" + std::to_string(total));
        std::string sfx = MakeSfx(folder + ".sfx", ZipBytes(items), 0, total);
        PrepareInProcess(sfx);
        std::vector<std::pair<uint32_t, bool>> seen;  // bytes written, meter due
        fake.afterWrite = [&seen](int64_t) { seen.emplace_back(state.bytesDone, MeterDueAtTimer()); };
        EXPECT_EQ(0u, RunSfxMain(" -auto " + folder + "/out"));
        EXPECT_FALSE(MeterDueAtTimer()) << "after the run";
        RestoreRealPlatform();
        ASSERT_GT(seen.size(), 10u);
        size_t due = 0;
        for (const auto& write : seen) {
            EXPECT_EQ(write.first < total / 3, write.second) << write.first << " of " << total;
            due += write.second;
        }
        if (total) {
            EXPECT_GT(due, 0u);
            EXPECT_LT(due, seen.size());
        } else {
            EXPECT_EQ(0u, due);
        }
    }
}

// A double-byte code page for the tests: bytes from 0x81 lead a character
// of two bytes, whose second byte may be a backslash.
char* DoubleByteNext(const char* text) {
    if (*text == 0) return (char*)text;
    if ((unsigned char)*text >= 0x81 && text[1] != 0) return (char*)text + 2;
    return (char*)text + 1;
}

TEST_F(PortableUi, EntryStatusShortensLongNamesWithinTheArea) {
    const std::string prefix = Message(MSG_EXTRACTING).substr(0, Message(MSG_EXTRACTING).find('%'));
    char area[kMeterTextArea];

    CopyText(state.currentName, kCurrentNameCapacity, "C:\\Out\\sous dossier\\court.txt");
    FormatEntryStatus(area, sizeof area);
    EXPECT_EQ(prefix + "court.txt", Utf8(area));

    // A name of 200 characters: its start and its extension stay.
    std::string name = "debut-" + std::string(186, 'x') + "-fin.txt";
    CopyText(state.currentName, kCurrentNameCapacity, ("C:\\Out\\" + name).c_str());
    FormatEntryStatus(area, sizeof area);
    std::string prefixRaw(MessageText(MSG_EXTRACTING), TextLength(MessageText(MSG_EXTRACTING)) - 2);
    std::string shown = area;
    EXPECT_EQ(sizeof area - 1, shown.size());
    EXPECT_EQ(0u, shown.find(prefixRaw + "debut-xx"));
    EXPECT_NE(std::string::npos, shown.find("x...x"));
    EXPECT_EQ("-fin.txt", shown.substr(shown.size() - 8));

    // Double-byte characters are never cut in two: before and after the
    // dots stand whole pairs only.
    sfxPlatform.nextChar = DoubleByteNext;
    std::string wide;
    for (int i = 0; i < 100; i++) wide += "\x82\\";  // each pair is one character
    CopyText(state.currentName, kCurrentNameCapacity, wide.c_str());
    for (uint32_t capacity = 30; capacity < 40; capacity++) {
        char small[64];
        FormatEntryStatus(small, capacity);
        std::string text = small;
        size_t dots = text.find("...");
        ASSERT_LT(text.size(), capacity);
        EXPECT_EQ(0u, (dots - prefixRaw.size()) % 2) << capacity;  // the head
        EXPECT_EQ(0u, (text.size() - dots - 3) % 2) << capacity;   // the tail
    }
}

TEST_F(PortableUi, IntroAndHelpTexts) {
    char area[kMessageBufferSize];
    const std::string name24 = std::string(20, 'i') + ".exe", name25 = std::string(21, 'i') + ".exe";
    CopyText(state.archivePath, kPathCapacity, ("C:\\Dist\\" + name24).c_str());
    FormatIntro(area, sizeof area);
    EXPECT_EQ(MessageWith(MSG_INTRO, name24), Utf8(area));
    CopyText(state.archivePath, kPathCapacity, ("C:\\Dist\\" + name25).c_str());
    FormatIntro(area, sizeof area);
    EXPECT_EQ(MessageWith(MSG_INTRO, Message(MSG_THIS_SFX)), Utf8(area));

    // Help names the program's file, and stays within 500 bytes even for a
    // name of 250 characters.
    CopyText(state.archivePath, kPathCapacity, "D:\\SETUP.EXE");
    ShowHelp();
    ASSERT_EQ(1u, fake.boxes.size());
    EXPECT_EQ(MessageWith(MSG_HELP, "SETUP.EXE"), Utf8(fake.boxes[0].text));
    std::string longName = std::string(246, 'h') + ".exe";
    CopyText(state.archivePath, kPathCapacity, ("C:\\" + longName).c_str());
    ShowHelp();
    ASSERT_EQ(2u, fake.boxes.size());
    EXPECT_LT(fake.boxes[1].text.size(), (size_t)kMessageBufferSize);
    EXPECT_NE(std::string::npos, fake.boxes[1].text.find("hhh...hhh"));
    EXPECT_NE(std::string::npos, fake.boxes[1].text.find("Kelvra."));  // the end of the text is kept

    ShowAbout();
    EXPECT_EQ(Message(MSG_ABOUT), Utf8(fake.boxes[2].text));
}

uint32_t windowsFolderResult;
std::string windowsFolder;
uint32_t FakeWindowsFolder(char* buffer, uint32_t capacity) {
    if (windowsFolderResult == 0) return 0;
    snprintf(buffer, capacity, "%s", windowsFolder.c_str());
    return (uint32_t)windowsFolder.size();
}

TEST_F(PortableUi, TemporaryFolderChoice) {
    std::string windows = TempFolder("windows");
    sfxPlatform.windowsFolder = FakeWindowsFolder;
    windowsFolder = windows + "/";
    windowsFolderResult = 1;
    struct Row {
        const char* what;
        std::vector<std::pair<std::string, std::string>> environment;
        bool fileNamedTemp;
        int found;
        std::string folder;
    } rows[] = {
        {"TMP", {{"TMP", "C:\\Temp\\"}}, false, 1, "C:\\Temp"},
        {"TMP of a root", {{"TMP", "C:\\"}}, false, 1, "C:\\"},
        {"TEMP when TMP is empty", {{"TMP", ""}, {"TEMP", "D:\\T"}}, false, 1, "D:\\T"},
        {"TEMP when TMP does not fit", {{"TMP", std::string(300, 't')}, {"TEMP", "D:\\T"}}, false, 1, "D:\\T"},
        {"the Windows folder's TEMP, made", {}, false, 1, windows + "/TEMP"},
        {"a file named TEMP there", {}, true, 0, "unchanged"},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.what);
        fake.environment = row.environment;
        fake.unsetEnvironment = true;
        rmdir((windows + "/TEMP").c_str());
        remove((windows + "/TEMP").c_str());
        if (row.fileNamedTemp) WriteFileBytes(windows + "/TEMP", "");
        char destination[kPathCapacity] = "unchanged";
        EXPECT_EQ(row.found, ChooseTempFolder(destination));
        EXPECT_STREQ(row.folder.c_str(), destination);
    }
    struct stat info;
    EXPECT_EQ(0, stat((windows + "/TEMP").c_str(), &info));  // the file stays a file
    EXPECT_FALSE(S_ISDIR(info.st_mode));
    windowsFolderResult = 0;
    char destination[kPathCapacity] = "unchanged";
    EXPECT_EQ(0, ChooseTempFolder(destination));
    EXPECT_STREQ("unchanged", destination);
}

TEST_F(PortableUi, ArchiverCommandLine) {
    CopyText(state.archivePath, kPathCapacity, "D:\\SETUP.EXE");
    struct Row {
        std::string registered;
        uint32_t flags;
        bool shift;
        std::string expected;  // empty: message 27
    } rows[] = {
        {"C:\\PROG\\ARCH.EXE \"%1\"", 0, false, "C:\\PROG\\ARCH.EXE \"D:\\SETUP.EXE\""},
        {"C:\\PROG\\ARCH.EXE \"%1\"", SFXF_SPANNED, false, "C:\\PROG\\ARCH.EXE \"D:\\SETUP.zip\""},
        {"C:\\PROG\\ARCH.EXE \"%1\"", SFXF_SPANNED | SFXF_EXE_VOLUMES, false, "C:\\PROG\\ARCH.EXE \"D:\\SETUP.EXE\""},
        {"C:\\PROG\\ARCH.EXE", 0, false, "C:\\PROG\\ARCH.EXE \"D:\\SETUP.EXE\""},
        {"C:\\Program Files\\Arch\\arch.exe %1", 0, false, "C:\\Program \"D:\\SETUP.EXE\""},
        {"C:\\PROG\\ARCH.EXE \"%1\"", 0, true, ""},
        {"", 0, false, ""},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.registered);
        fake.boxes.clear();
        fake.commands.clear();
        fake.archiverCommand = row.registered;
        fake.shiftHeld = row.shift;
        sfxConfigBlock.flags = row.flags;
        int started = LaunchArchiver();
        if (row.expected.empty()) {
            EXPECT_EQ(0, started);
            EXPECT_TRUE(fake.commands.empty());
            ASSERT_EQ(1u, fake.boxes.size());
            EXPECT_EQ(Message(MSG_ARCHIVER_MISSING), Utf8(fake.boxes[0].text));
        } else {
            EXPECT_EQ(1, started);
            EXPECT_EQ(std::vector<std::string>{row.expected}, fake.commands);
            EXPECT_TRUE(fake.boxes.empty());
        }
    }
    // A start that fails (31 or less) says nothing.
    fake.archiverCommand = "C:\\A.EXE";
    fake.runCommandResult = 31;
    fake.boxes.clear();
    EXPECT_EQ(0, LaunchArchiver());
    EXPECT_TRUE(fake.boxes.empty());
}

}  // namespace
