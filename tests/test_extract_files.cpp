// Output files: the overwrite decision with scripted answers, the output
// file that cannot be created, and the clamps of the file time.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <functional>
#include <string>

#include "extract_support.h"
#include "fake_platform.h"
#include "failure/recovery.h"
#include "output/output.h"
#include "resources/messages.h"
#include "startup/sfx_state.h"
#include "startup/text.h"

namespace {

enum Outcome { kExtract, kSkip, kCancelRun };

class OutputFiles : public ::testing::Test {
protected:
    void SetUp() override {
        PrepareUnitState();
        folder = TempFolder("output-files");
    }
    void TearDown() override {
        if (state.outputFile) sfxPlatform.closeFile(state.outputFile);
        state.outputFile = 0;
        RestoreRealPlatform();
    }
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
    std::string folder;
};

// The whole decision: overwriteAll, something at the path, the answer.
TEST_F(OutputFiles, OverwriteDecisionTable) {
    struct Row {
        bool overwriteAll;
        bool present;
        int answer;  // 0: no question expected
        Outcome outcome;
    } rows[] = {
        {true, true, 0, kExtract},          {true, false, 0, kExtract},
        {false, false, 0, kExtract},        {false, true, kAnswerYes, kExtract},
        {false, true, kAnswerNo, kSkip},    {false, true, kAnswerCancel, kCancelRun},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(std::to_string(row.overwriteAll) + std::to_string(row.present) + std::to_string(row.answer));
        fake.boxes.clear();
        std::string path = folder + "/existing.txt";
        remove(path.c_str());
        if (row.present) WriteFileBytes(path, "old");
        state.overwriteAll = row.overwriteAll;
        CopyText(state.entryName, sizeof state.entryName, path.c_str());
        if (row.answer) fake.answers = {row.answer};
        int decision = -1;
        int result = AsRun([&] { decision = ConfirmOverwrite(); });
        if (row.outcome == kCancelRun) EXPECT_EQ(1, result);
        else EXPECT_EQ(row.outcome == kExtract ? 1 : 0, decision);
        if (row.answer == 0) {
            EXPECT_TRUE(fake.boxes.empty());
            continue;
        }
        ASSERT_EQ(1u, fake.boxes.size());
        EXPECT_EQ(MessageWith(MSG_CONFIRM_OVERWRITE, path), Utf8(fake.boxes[0].text));
        EXPECT_EQ((uint32_t)kBoxYesNoCancel, fake.boxes[0].style);
        EXPECT_EQ("Kelvra Self-Extractor", fake.boxes[0].caption);
        EXPECT_EQ("old", ReadFileBytes(path));  // the question itself changes nothing
    }
}

// A folder where the file should go: the question is asked, and Yes then
// fails to create the file with message 28 naming the path.
TEST_F(OutputFiles, FolderInPlaceOfTheFile) {
    std::string path = folder + "/taken";
    mkdir(path.c_str(), 0755);
    CopyText(state.entryName, sizeof state.entryName, path.c_str());
    fake.answers = {kAnswerYes};
    EXPECT_EQ(2, AsRun([] {
                  if (ConfirmOverwrite()) CreateOutputFile();
              }));
    ASSERT_EQ(2u, fake.boxes.size());
    EXPECT_EQ(MessageWith(MSG_CANNOT_CREATE_FILE, path), Utf8(fake.boxes[1].text));
    EXPECT_EQ(0, state.outputFile);
    EXPECT_STREQ(path.c_str(), state.currentName);
}

uint16_t capturedDate, capturedTime;
void CaptureFileTime(FileHandle, uint16_t date, uint16_t time) {
    capturedDate = date;
    capturedTime = time;
}

uint16_t DosDate(int year, int month, int day) { return (uint16_t)((year - 1980) << 9 | month << 5 | day); }
uint16_t DosTime(int hour, int minute, int halfSeconds) { return (uint16_t)(hour << 11 | minute << 5 | halfSeconds); }

// Out-of-range fields are clamped one by one; the result is what the seam
// receives as local time.
TEST_F(OutputFiles, FileTimeClamps) {
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
        {DosDate(2000, 2, 30), 0, DosDate(2000, 2, 29), 0},
        {DosDate(2100, 2, 29), 0, DosDate(2100, 2, 28), 0},
        {DosDate(2023, 4, 31), 0, DosDate(2023, 4, 30), 0},
        {DosDate(2107, 12, 31), 0, DosDate(2107, 12, 31), 0},
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
