// Output paths, folders and file times: the path routines, the output path
// of an entry, the folders created for it (on a scripted disk that records
// every creation), the entry names refused because they would leave the
// destination, and the clamps of the file time.
#include <gtest/gtest.h>

#include <functional>
#include <set>
#include <string>
#include <vector>

#include "failure/recovery.h"
#include "output/output.h"
#include "resources/messages.h"
#include "startup/sfx_state.h"
#include "startup/text.h"
#include "support/codec_control.h"
#include "support/data.h"
#include "support/fake_platform.h"
#include "support/files.h"
#include "support/sfx_image.h"
#include "support/stub_state.h"
#include "support/zip_writer.h"

namespace {

// A disk that exists only here: known paths, the folders made, the folders
// that cannot be made; drive Q does not exist.
struct ScriptedDisk {
    std::set<std::string> present;
    std::set<std::string> links;  // present, and reparse points
    std::set<std::string> unmakeable;
    std::vector<std::string> made;
    std::vector<std::string> asked;
} disk;

int ScriptedFind(const char* path, char*, uint32_t* attributes) {
    disk.asked.push_back(path);
    if (!disk.present.count(path) && !disk.links.count(path)) return 0;
    if (attributes) *attributes = kAttributeFolder | (disk.links.count(path) ? (uint32_t)kAttributeReparsePoint : 0u);
    return 1;
}
int ScriptedMakeFolder(const char* path) {
    if (disk.unmakeable.count(path)) return 0;
    disk.made.push_back(path);
    disk.present.insert(path);
    return 1;
}
uint32_t ScriptedDriveType(const char* root) { return root[0] == 'Q' ? (uint32_t)kDriveNoRootFolder : 3u; }

class Paths : public ::testing::Test {
protected:
    void SetUp() override {
        PrepareUnitState();
        sfxPlatform.findFile = ScriptedFind;
        sfxPlatform.makeFolder = ScriptedMakeFolder;
        sfxPlatform.driveType = ScriptedDriveType;
        disk = ScriptedDisk();
    }
    void TearDown() override {
        RestoreRealPlatform();
    }
    // Runs fn as inside a run; 0 when it returned, else the value of the
    // non-local return that ended it.
    int AsRun(const std::function<void()>& fn) {
        state.inRun = 1;
        if (ArmRecovery(state.runContext) != 0) {
            state.inRun = 0;
            return state.recoveryValue;
        }
        fn();
        state.inRun = 0;
        return 0;
    }
    void SetEntry(const std::string& destination, const std::string& entry) {
        CopyText(state.destFolder, sizeof state.destFolder, destination.c_str());
        CopyText(state.entryName, sizeof state.entryName, entry.c_str());
    }
};

TEST_F(Paths, RoutinesOnSeparatorsAndRoots) {
    struct Row {
        const char* text;
        const char* appended;
        const char* stripped;
        bool strippedResult;
        const char* lastComponent;
    } rows[] = {
        {"", "\\", "", false, ""},
        {"C:\\", "C:\\", "C:\\", false, ""},
        {"\\", "\\", "\\", false, ""},
        {"C:\\Data\\", "C:\\Data\\", "C:\\Data", true, ""},
        {"a\\", "a\\", "a", true, ""},
        {"a/", "a/", "a", true, ""},
        {"\\\\srv\\", "\\\\srv\\", "\\\\srv", true, ""},
        {"C:\\Out\\f.txt", "C:\\Out\\f.txt\\", "C:\\Out\\f.txt", false, "f.txt"},
        {"docs/readme", "docs/readme\\", "docs/readme", false, "readme"},
        {"name", "name\\", "name", false, "name"},
    };
    for (const Row& row : rows) {
        char text[64];
        CopyText(text, sizeof text, row.text);
        AppendSeparator(text);
        EXPECT_STREQ(row.appended, text) << row.text;
        CopyText(text, sizeof text, row.text);
        EXPECT_EQ(row.strippedResult, StripTrailingSeparator(text) != 0) << row.text;
        EXPECT_STREQ(row.stripped, text) << row.text;
        EXPECT_STREQ(row.lastComponent, LastComponent(row.text)) << row.text;
    }
    EXPECT_EQ(nullptr, LastChar((char*)""));
    EXPECT_EQ(nullptr, LastSeparator((char*)"abc"));
}

// Every output path and every folder created, for file and folder entries.
TEST_F(Paths, OutputPathsAndFoldersCreated) {
    const std::string name253(253, 'n'), name254(254, 'n'), name255(255, 'n');
    struct Row {
        std::string destination, entry;
        std::set<std::string> present;
        std::string outputPath;  // file entries: entryName afterwards
        std::vector<std::string> made;
        int message;              // -1: none
        std::string argument;     // of the message
    } rows[] = {
        {"C:\\Out", "docs/readme.txt", {}, "C:\\Out\\docs\\readme.txt", {"C:\\Out", "C:\\Out\\docs"}, -1, ""},
        {"C:\\Out\\", "docs/readme.txt", {}, "C:\\Out\\docs\\readme.txt", {"C:\\Out", "C:\\Out\\docs"}, -1, ""},
        {"C:\\Out", "docs/readme.txt", {"C:\\Out"}, "C:\\Out\\docs\\readme.txt", {"C:\\Out\\docs"}, -1, ""},
        {"C:\\Out", "/abs/x", {}, "C:\\Out\\abs\\x", {"C:\\Out", "C:\\Out\\abs"}, -1, ""},
        // The doubled separator names no folder of its own.
        {"C:\\Out", "//x", {}, "C:\\Out\\\\x", {"C:\\Out"}, -1, ""},
        {"", "a/b", {}, "a\\b", {"a"}, -1, ""},
        {"C:\\", "x", {}, "C:\\x", {}, -1, ""},
        {"\\Out", "a/x", {}, "\\Out\\a\\x", {"\\Out", "\\Out\\a"}, -1, ""},
        {"\\\\srv\\share\\out", "f", {}, "\\\\srv\\share\\out\\f", {"\\\\srv\\share\\out"}, -1, ""},
        {"Q:\\Out", "x", {}, "", {}, MSG_BAD_DRIVE, "Q"},
        {"C:\\O", name254, {"C:\\O"}, "C:\\O\\" + name254, {}, -1, ""},  // 259 characters
        {"C:\\O", name255, {"C:\\O"}, "", {}, MSG_CANNOT_CREATE_FILE, name255},
        // Folder entries: the folder itself and every missing one above it.
        {"C:\\Out", "sub/dir/", {}, "sub/dir/", {"C:\\Out", "C:\\Out\\sub", "C:\\Out\\sub\\dir"}, -1, ""},
        // The leading separator stays in a folder entry's path.
        {"C:\\Out", "/abs/", {}, "/abs/", {"C:\\Out", "C:\\Out\\\\abs"}, -1, ""},
        {"C:\\O", name253 + "/", {"C:\\O"}, name253 + "/", {"C:\\O\\" + name253}, -1, ""},
        {"C:\\O", name254 + "/", {}, "", {}, MSG_CANNOT_CREATE_FOLDER, name254 + "/"},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.destination + " + " + row.entry);
        SetUp();
        disk.present = row.present;
        SetEntry(row.destination, row.entry);
        bool folderEntry = row.entry.back() == '/';
        int result = AsRun([&] {
            if (!folderEntry) BuildOutputPath();
            CreateFolders();
        });
        EXPECT_EQ(row.made, disk.made);
        if (row.message < 0) {
            EXPECT_EQ(0, result);
            EXPECT_EQ(row.outputPath, state.entryName);
            EXPECT_TRUE(fake.boxes.empty());
        } else {
            EXPECT_EQ(2, result);
            ASSERT_EQ(1u, fake.boxes.size());
            EXPECT_EQ(MessageWith(row.message, row.argument), Utf8(fake.boxes[0].text));
        }
    }
}

// With a double-byte code page, a backslash that is the second byte of a
// character separates nothing: the routines step whole characters, and the
// folders made are those of whole separators.
TEST_F(Paths, DoubleByteCharactersAreNeverSplit) {
    sfxPlatform.nextChar = [](const char* text) -> char* {
        if (*text == 0) return (char*)text;
        return (char*)text + (((uint8_t)*text >= 0x81 && text[1] != 0) ? 2 : 1);
    };
    EXPECT_STREQ("\x82\\", LastComponent("a\\\x82\\"));
    char folderName[] = "a\\\x82\\";
    EXPECT_FALSE(StripTrailingSeparator(folderName));
    SetEntry("C:\\Out", "\x82\\x/f.txt");
    EXPECT_EQ(0, AsRun([] {
        BuildOutputPath();
        CreateFolders();
    }));
    EXPECT_STREQ("C:\\Out\\\x82\\x\\f.txt", state.entryName);
    EXPECT_EQ((std::vector<std::string>{"C:\\Out", "C:\\Out\\\x82\\x"}), disk.made);
}

// A link or reparse point as a folder of an entry's path below the
// destination: message 28 naming the entry, before anything is made. The
// destination and the folders above it may be links.
TEST_F(Paths, LinkedFoldersBelowTheDestinationAreRefused) {
    struct Row {
        std::string destination, entry;
        std::set<std::string> links;
        bool refused;
    } rows[] = {
        {"C:\\Out", "a/b/c.txt", {"C:\\Out\\a"}, true},
        {"C:\\Out", "a/b/c.txt", {"C:\\Out\\a\\b"}, true},
        {"C:\\Out\\", "a/b.txt", {"C:\\Out\\a"}, true},
        {"C:\\Out", "a/b/", {"C:\\Out\\a\\b"}, true},
        {"", "a/b.txt", {"a"}, true},
        {"C:\\Out", "a/b.txt", {"C:\\Out"}, false},
        {"C:\\Out\\", "a/b.txt", {"C:\\Out"}, false},
        {"C:\\Up\\Out", "a/b.txt", {"C:\\Up"}, false},
        {"\\", "a/b.txt", {}, false},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.destination + " + " + row.entry);
        SetUp();
        disk.present = {"C:\\Out", "C:\\Out\\a", "C:\\Up\\Out"};
        disk.links = row.links;
        SetEntry(row.destination, row.entry);
        CopyText(state.currentName, sizeof state.currentName, row.entry.c_str());
        bool folderEntry = row.entry.back() == '/';
        int result = AsRun([&] {
            if (!folderEntry) BuildOutputPath();
            CreateFolders();
        });
        if (row.refused) {
            EXPECT_EQ(2, result);
            EXPECT_TRUE(disk.made.empty());
            ASSERT_EQ(1u, fake.boxes.size());
            EXPECT_EQ(MessageWith(MSG_CANNOT_CREATE_FILE, row.entry), Utf8(fake.boxes[0].text));
        } else {
            EXPECT_EQ(0, result);
            EXPECT_TRUE(fake.boxes.empty());
        }
    }
}

TEST_F(Paths, FolderThatCannotBeMadeIsNamedAndEndsTheRun) {
    disk.unmakeable = {"C:\\Out\\a"};
    SetEntry("C:\\Out", "a/b/c.txt");
    EXPECT_EQ(2, AsRun([] {
                  BuildOutputPath();
                  CreateFolders();
              }));
    EXPECT_EQ(std::vector<std::string>{"C:\\Out"}, disk.made);
    ASSERT_EQ(1u, fake.boxes.size());
    EXPECT_EQ(MessageWith(MSG_CANNOT_CREATE_FOLDER, "C:\\Out\\a"), Utf8(fake.boxes[0].text));
    EXPECT_EQ((uint32_t)(kBoxIconError | kBoxOk), fake.boxes[0].style);
}

// Names that would reach outside the destination end the run with message
// 28 naming the entry; the rules of Windows names apply on Windows only.
TEST_F(Paths, EntryNamesThatLeaveTheDestinationAreRefused) {
    struct Row {
        const char* entry;
        const char* destination;
        bool refusedHere;     // under the rules of the system the test runs on (Linux)
        bool refusedWindows;  // under the rules of Windows names
    } rows[] = {
        {"a/b.txt", "out", false, false},
        {"../x", "out", true, true},
        {"a/../../x", "out", true, true},
        {"a\\..\\x", "out", true, true},
        {"..", "out", true, true},
        {"sub/../", "out", true, true},
        {"..a/b..", "out", false, false},
        {"/abs/x", "out", false, false},
        {"/abs/x", "", true, true},
        {"\\abs", "", true, true},
        {"rel/x", "", false, false},
        // Under a destination that is a drive's root alone, a name that keeps
        // a leading separator would make a network path (\\srv\share\x).
        {"//srv/share/x", "\\", true, true},
        {"\\/srv/share/x", "/", true, true},
        {"/srv/share/", "\\", true, true},
        {"/x", "\\", false, false},
        {"sub/", "\\", false, false},
        {"//x", "out", false, false},
        {"C:/x", "out", false, true},
        {"a:b", "out", false, true},
        {"file.txt:stream", "out", false, true},
        {"CON", "out", false, true},
        {"dir/nul.txt", "out", false, true},
        {"aux .log", "out", false, true},
        {"Com1", "out", false, true},
        {"lpt9.x/y", "out", false, true},
        {"com0", "out", false, false},
        {"console", "out", false, false},
        {"conin$", "out", false, true},
        {"a/CONOUT$.txt", "out", false, true},
        {"conout", "out", false, false},
        {"lpt10", "out", false, false},
        {"a/.. /b", "out", false, true},
        {"a/ ../b", "out", false, true},
        {"...", "out", false, true},
        {".hidden", "out", false, false},
        // A file named "." would be the folder that holds it; Windows drops
        // a component's trailing dots and blanks.
        {".", "out", true, true},
        {"sub/.", "", true, true},
        {"sub\\.", "out", true, true},
        {"./a.txt", "out", false, false},
        {"./", "out", false, false},
        {"sub/. ", "out", false, true},
        {" ", "out", false, true},
        {"a.", "out", false, false},
    };
    for (const Row& row : rows) {
        for (int windowsRules = 0; windowsRules < 2; windowsRules++) {
            SCOPED_TRACE(std::string(row.entry) + (windowsRules ? " (Windows)" : ""));
            fake.boxes.clear();
            SetEntry(row.destination, row.entry);
            int result = AsRun([&] { CheckEntryNameSafeFor(windowsRules); });
            bool refused = windowsRules ? row.refusedWindows : row.refusedHere;
            EXPECT_EQ(refused ? 2 : 0, result);
            if (refused) {
                ASSERT_EQ(1u, fake.boxes.size());
                EXPECT_EQ(MessageWith(MSG_CANNOT_CREATE_FILE, row.entry), Utf8(fake.boxes[0].text));
            }
            EXPECT_TRUE(disk.made.empty());
        }
    }
}

uint16_t capturedDate, capturedTime;
void CaptureFileTime(FileHandle, uint16_t date, uint16_t time) {
    capturedDate = date;
    capturedTime = time;
}

uint16_t DosDate(int year, int month, int day) { return (uint16_t)((year - 1980) << 9 | month << 5 | day); }
uint16_t DosTime(int hour, int minute, int halfSeconds) { return (uint16_t)(hour << 11 | minute << 5 | halfSeconds); }

// Out-of-range fields are clamped one by one (a day past the month's end to
// its last day); the seam receives the result as local time.
TEST_F(Paths, FileTimeClamps) {
    sfxPlatform.setFileTime = CaptureFileTime;
    struct Row {
        uint16_t date, time, expectedDate, expectedTime;
    } rows[] = {
        {DosDate(2024, 6, 15), DosTime(12, 30, 10), DosDate(2024, 6, 15), DosTime(12, 30, 10)},
        {DosDate(2024, 6, 15), 0xFFFF, DosDate(2024, 6, 15), DosTime(23, 59, 29)},  // 31:63:62 -> 23:59:58
        {DosDate(2001, 0, 0), 0, DosDate(2001, 1, 1), 0},
        {DosDate(2001, 15, 3), 0, DosDate(2001, 12, 3), 0},
        {DosDate(2023, 2, 30), 0, DosDate(2023, 2, 28), 0},
        {DosDate(2024, 2, 31), 0, DosDate(2024, 2, 29), 0},
        {DosDate(2100, 2, 29), 0, DosDate(2100, 2, 28), 0},
        {DosDate(2023, 4, 31), 0, DosDate(2023, 4, 30), 0},
    };
    for (const Row& row : rows) {
        state.localHeader.modDate = row.date;
        state.localHeader.modTime = row.time;
        SetOutputFileTime();
        EXPECT_EQ(row.expectedDate, capturedDate) << std::hex << row.date;
        EXPECT_EQ(row.expectedTime, capturedTime) << std::hex << row.time;
    }
}

}  // namespace
