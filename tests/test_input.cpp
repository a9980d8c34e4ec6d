// Archive input through the scripted seam: the read-error text, chunked
// refills that never pass an entry's data, sizes above 2 GiB, decryption in
// place, skipping, and the volumes of a spanned set with scripted labels and
// answers.
#include <gtest/gtest.h>

#include <cstring>
#include <filesystem>
#include <map>
#include <string>
#include <vector>

#include "archive/archive.h"
#include "codec/codec.h"
#include "failure/failure.h"
#include "resources/messages.h"
#include "startup/startup.h"
#include "startup/text.h"
#include "support/data.h"
#include "support/fake_platform.h"
#include "support/files.h"
#include "support/sfx_image.h"

namespace {

class Input : public ::testing::Test {
protected:
    void SetUp() override {
        InstallFakePlatform();
        savedFolder = std::filesystem::current_path();
        state.window = AllocateWindow();
        LoadMessagesForTest();
        state.messageBuffer = messageBuffer;
        state.input.data = data;
        snprintf(state.archivePath, sizeof state.archivePath, "A:\\SETUP.EXE");
        // Volume files open as the copy on the disk in the drive.
        fake.mapOpenPath = [this](const std::string& path) {
            if (path.find(folder.path()) == 0) return path;  // the test's own files
            opened.push_back(path);
            auto disk = disks.find(state.currentDisk);
            return disk != disks.end() ? disk->second : path;
        };
    }
    void TearDown() override {
        if (state.archiveFile != 0) sfxPlatform.closeFile(state.archiveFile);
        state.archiveFile = 0;
        std::filesystem::current_path(savedFolder);
        ReleaseWindow(state.window);
        state.window = nullptr;
        RestoreRealPlatform();
    }

    // Opens bytes as the archive, positioned at position.
    void OpenArchiveBytes(const std::string& bytes, int64_t position = 0) {
        std::string path = folder.Write("archive" + std::to_string(files++), bytes);
        state.archiveFile = sfxPlatform.openFile(path.c_str(), kShareDenyWrite);
        ASSERT_NE(state.archiveFile, 0);
        sfxPlatform.seekFile(state.archiveFile, position, kSeekSet);
    }
    void AddDisk(int number, const std::string& bytes) {
        disks[number] = folder.Write("disk" + std::to_string(number), bytes);
    }
    int64_t Position() { return sfxPlatform.seekFile(state.archiveFile, 0, kSeekCurrent); }

    // Every byte NextInputByte delivers until it reports the end.
    std::string DeliverAll() {
        std::string out;
        uint16_t byte = 0;
        while (NextInputByte(&byte) == 8) out += (char)byte;
        return out;
    }

    // Runs fn, which must end the run; returns the text of its one box.
    std::string EndsWithBox(const std::function<void()>& fn, uint32_t exitCode = 2) {
        EXPECT_TRUE(EndsProcess(fn));
        EXPECT_EQ(fake.exitCode, exitCode);
        EXPECT_EQ(fake.boxes.size(), 1u);
        return fake.boxes.empty() ? "" : fake.boxes[0].text;
    }

    std::string ReadErrorText(int code) {
        char text[600];
        FormatText(text, sizeof text, MessageText(MSG_READ_ERROR), state.archivePath);
        return std::string(text) + " <" + std::to_string(code) + ">";
    }

    char messageBuffer[kMessageBufferSize];
    uint8_t data[kCodecBufferAllocation];
    ScratchFolder folder;
    std::filesystem::path savedFolder;
    std::map<int, std::string> disks;
    std::vector<std::string> opened;
    int files = 0;
};

TEST_F(Input, ReadErrorNamesTheProgramAndTheCode) {
    for (int code : {2, 9}) {
        fake.boxes.clear();
        std::string text = EndsWithBox([code] { ReadError(code); });
        EXPECT_EQ(text, ReadErrorText(code));
        EXPECT_EQ(text.substr(text.size() - 4), " <" + std::to_string(code) + ">");
        EXPECT_EQ(fake.boxes[0].style, kBoxIconError);
        EXPECT_EQ(fake.boxes[0].caption, programTitle);
    }
}

TEST_F(Input, RefillsComeInChunksThatNeverPassTheEntry) {
    std::string archive = Noise(6000, 1);
    OpenArchiveBytes(archive);
    state.compressedLeft = 5000;
    std::vector<int32_t> chunks;
    for (int i = 0; i < 4; i++) chunks.push_back(RefillInput());
    EXPECT_EQ(chunks, (std::vector<int32_t>{2048, 2048, 904, 0}));
    EXPECT_EQ(Position(), 5000);  // the next record starts right here

    sfxPlatform.seekFile(state.archiveFile, 0, kSeekSet);
    state.compressedLeft = 5000;
    state.input.left = 0;
    EXPECT_EQ(DeliverAll(), archive.substr(0, 5000));
    uint16_t byte = 0x1234;
    EXPECT_EQ(NextInputByte(&byte), 0);
    EXPECT_EQ(byte, 0x1234);  // unchanged at the end
    EXPECT_EQ(Position(), 5000);
}

TEST_F(Input, EmptyEntryReadsNothing) {
    OpenArchiveBytes("PK");
    fake.readBudget = 0;  // any read would fail
    state.compressedLeft = 0;
    uint16_t byte = 7;
    EXPECT_EQ(NextInputByte(&byte), 0);
    EXPECT_EQ(byte, 7);
    EXPECT_TRUE(fake.boxes.empty());
}

// A compressed size from 2 GiB on is read like any other, not taken as
// exhausted: a short volume then ends with read error 2.
TEST_F(Input, SizesAbove2GiBAreRead) {
    OpenArchiveBytes(Noise(3000, 2));
    state.compressedLeft = 0x80000010u;
    EXPECT_EQ(RefillInput(), 2048);
    EXPECT_EQ(state.compressedLeft, 0x80000010u - 2048);
    EXPECT_EQ(EndsWithBox([] { RefillInput(); }), ReadErrorText(2));
}

TEST_F(Input, ShortOrFailedReadsOutsideSpannedSetsAreReadError2) {
    OpenArchiveBytes(Noise(1000, 3));
    state.compressedLeft = 1500;
    EXPECT_EQ(EndsWithBox([] { RefillInput(); }), ReadErrorText(2));

    fake.boxes.clear();
    sfxPlatform.seekFile(state.archiveFile, 0, kSeekSet);
    fake.readBudget = 0;
    state.compressedLeft = 10;
    EXPECT_EQ(EndsWithBox([] { RefillInput(); }), ReadErrorText(2));
}

TEST_F(Input, EncryptedDataIsDecryptedAcrossChunks) {
    std::string plain = Noise(3000, 4);
    std::string cipher = plain;
    InitKeys("secret");
    for (char& c : cipher) {
        uint8_t p = (uint8_t)c;
        c = (char)(p ^ DecryptByte());
        UpdateKeys(p);
    }
    OpenArchiveBytes(cipher);
    InitKeys("secret");
    state.entryEncrypted = 1;
    state.compressedLeft = 3000;
    EXPECT_EQ(DeliverAll(), plain);
}

TEST_F(Input, ReadExactStoresATerminator) {
    OpenArchiveBytes("abcdef");
    char name[8];
    memset(name, 'x', sizeof name);
    ReadExact(4, name);
    EXPECT_STREQ(name, "abcd");
    EXPECT_EQ(EndsWithBox([&] { ReadExact(4, name); }), ReadErrorText(1));
}

class SpannedInput : public Input {
protected:
    void SetUp() override {
        Input::SetUp();
        state.spanned = 1;
        state.volumesNamedExe = 0;
        state.currentDisk = 1;
        fake.labelReadable = true;
        fake.label = "PKBACK# 002";
    }
};

TEST_F(SpannedInput, VolumeEndingInsideAChunk) {
    std::string first = Noise(1000, 5), second = Noise(3000, 6);
    AddDisk(2, second);
    OpenArchiveBytes(first);
    state.compressedLeft = 3000;
    EXPECT_EQ(RefillInput(), 1000);  // what the first disk held, delivered as read
    EXPECT_EQ(state.currentDisk, 2);
    EXPECT_EQ(std::string((char*)data, 1000), first);
    EXPECT_EQ(RefillInput(), 2000);  // the rest, from the start of the new volume
    EXPECT_EQ(std::string((char*)data, 2000), second.substr(0, 2000));
    EXPECT_EQ(RefillInput(), 0);
    EXPECT_EQ(opened, (std::vector<std::string>{"A:\\SETUP.ZIP"}));
    EXPECT_TRUE(fake.boxes.empty());
}

TEST_F(SpannedInput, VolumeEndingAtAChunkBoundary) {
    std::string first = Noise(2048, 7), second = Noise(2048, 8);
    AddDisk(2, second);
    OpenArchiveBytes(first);
    state.compressedLeft = 4096;
    state.input.left = 0;
    EXPECT_EQ(DeliverAll(), first + second);
    EXPECT_EQ(fake.labelQueries, 1);  // one volume change, when a read found nothing
    EXPECT_EQ(state.currentDisk, 2);
}

TEST_F(SpannedInput, EmptyNextVolumeInsideTheDataIsReadError2) {
    AddDisk(2, "");
    OpenArchiveBytes("");
    state.compressedLeft = 100;
    EXPECT_EQ(EndsWithBox([] { RefillInput(); }), ReadErrorText(2));
}

TEST_F(Input, SkippingInsideOneVolume) {
    OpenArchiveBytes(Noise(500, 9));
    state.compressedLeft = 100;
    EXPECT_EQ(SkipEntryData(), 100u);
    EXPECT_EQ(SkipEntryData(), 0u);
    EXPECT_EQ(Position(), 100);

    state.compressedLeft = 400;  // exactly to the end
    EXPECT_EQ(SkipEntryData(), 400u);
    EXPECT_EQ(Position(), 500);

    sfxPlatform.seekFile(state.archiveFile, 0, kSeekSet);
    state.compressedLeft = 600;  // more than the file holds, not spanned
    EXPECT_EQ(EndsWithBox([] { SkipEntryData(); }), ReadErrorText(2));
}

TEST_F(SpannedInput, SkippingAcrossVolumes) {
    AddDisk(2, Noise(1500, 10));
    OpenArchiveBytes(Noise(300, 11));
    state.compressedLeft = 1000;
    EXPECT_EQ(SkipEntryData(), 300u);  // up to the end of the first disk
    EXPECT_EQ(state.currentDisk, 2);
    EXPECT_EQ(SkipEntryData(), 700u);
    EXPECT_EQ(Position(), 700);
    EXPECT_EQ(SkipEntryData(), 0u);

    // A volume already at its end: the next disk, from its start.
    state.currentDisk = 1;
    AddDisk(1, Noise(300, 11));
    OpenArchiveBytes(Noise(300, 11), 300);
    state.compressedLeft = 500;
    EXPECT_EQ(SkipEntryData(), 500u);
    EXPECT_EQ(Position(), 500);

    // An empty next volume inside the data.
    state.currentDisk = 1;
    AddDisk(2, "");
    OpenArchiveBytes("");
    state.compressedLeft = 10;
    EXPECT_EQ(EndsWithBox([] { SkipEntryData(); }), ReadErrorText(2));
}

TEST_F(Input, DiskNumberFromTheVolumeLabel) {
    struct Case {
        const char* label;  // "<none>": no readable label
        uint16_t number;
    } cases[] = {
        {"PKBACK# 001", 1},      {"PKBACK# 012", 12},      {"PKBACK#.5", 5},
        {"PKBACK# x7y", 7},      {"PKBACK# 70000", 4464},  // kept to 16 bits
        {"PKBACK#", 0xFFFF},     {"PKBACK#001", 0xFFFF},   // no '.' or ' '
        {"pkback# 001", 0xFFFF}, {"BACKUP 001", 0xFFFF},   // case-sensitive prefix
        {"PKBACK# abc", 0xFFFF},                           // names no disk
        {"<none>", 0xFFFF},
    };
    for (const Case& c : cases) {
        fake.labelSequence = {c.label};
        EXPECT_EQ(ReadDiskNumber("A:"), c.number) << c.label;
    }
}

TEST_F(Input, DiskPrompts) {
    enum Outcome { kOpened, kEnded };
    struct Case {
        const char* what;
        uint16_t wanted;
        std::deque<std::string> labels;
        std::deque<int> answers;
        std::vector<int> messages;  // the boxes shown, by message number
        Outcome outcome;
    } cases[] = {
        {"right disk", 2, {"PKBACK# 002"}, {}, {}, kOpened},
        {"wrong disk, OK, right disk", 2, {"PKBACK# 003", "PKBACK# 002"}, {kAnswerOk}, {MSG_INSERT_DISK}, kOpened},
        {"wrong disk, Cancel", 2, {"PKBACK# 003"}, {kAnswerCancel}, {MSG_INSERT_DISK}, kEnded},
        {"no disk, Retry, right disk", 2, {"<none>", "PKBACK# 002"}, {kAnswerRetry}, {MSG_NO_DISK_OR_LABEL}, kOpened},
        {"no disk, Ignore", 2, {"<none>"}, {kAnswerIgnore}, {MSG_NO_DISK_OR_LABEL}, kOpened},
        {"foreign label, Abort", 2, {"DONNEES"}, {kAnswerAbort}, {MSG_NO_DISK_OR_LABEL}, kEnded},
        {"wrong disk, OK, no disk, Ignore", 2, {"PKBACK# 003", "<none>"}, {kAnswerOk, kAnswerIgnore},
         {MSG_INSERT_DISK, MSG_NO_DISK_OR_LABEL}, kOpened},
        {"last disk wanted, Cancel", 0, {"PKBACK# 003"}, {kAnswerCancel}, {MSG_INSERT_LAST_DISK}, kEnded},
    };
    AddDisk(2, "volume 2");
    AddDisk(0, "last volume");
    for (const Case& c : cases) {
        fake.boxes.clear();
        fake.labelSequence = c.labels;
        fake.answers = c.answers;
        opened.clear();
        state.currentDisk = 1;
        OpenArchiveBytes("volume 1");
        bool ended = EndsProcess([&] { ChangeVolume(c.wanted, 0); });
        EXPECT_EQ(ended, c.outcome == kEnded) << c.what;
        if (ended) {
            EXPECT_EQ(fake.exitCode, 2u) << c.what;
            EXPECT_EQ(state.archiveFile, 0) << c.what;
        } else {
            EXPECT_EQ(state.currentDisk, c.wanted) << c.what;
            EXPECT_EQ(opened, (std::vector<std::string>{"A:\\SETUP.ZIP"})) << c.what;
            EXPECT_NE(state.archiveFile, 0) << c.what;
        }
        ASSERT_EQ(fake.boxes.size(), c.messages.size()) << c.what;
        for (size_t i = 0; i < c.messages.size(); i++) {
            char text[600];
            int message = c.messages[i];
            if (message == MSG_INSERT_DISK) FormatText(text, sizeof text, MessageText(message), 2, "A:");
            else if (message == MSG_INSERT_LAST_DISK) FormatText(text, sizeof text, MessageText(message), "A:");
            else FormatText(text, sizeof text, MessageText(message), 2);
            EXPECT_EQ(fake.boxes[i].text, text) << c.what;
            EXPECT_EQ(fake.boxes[i].caption, programTitle) << c.what;
            uint32_t style = message == MSG_NO_DISK_OR_LABEL ? kBoxIconQuestion | kBoxAbortRetryIgnore : kBoxOkCancel;
            EXPECT_EQ(fake.boxes[i].style, style) << c.what;
        }
        if (state.archiveFile != 0) sfxPlatform.closeFile(state.archiveFile);
        state.archiveFile = 0;
    }
}

TEST_F(Input, VolumeFileNames) {
    struct Case {
        const char* program;
        int namedExe;
        const char* volume;
    } cases[] = {
        {"D:\\DIST\\SETUP.EXE", 0, "D:\\DIST\\SETUP.ZIP"},
        {"D:\\DIST\\SETUP.EXE", 1, "D:\\DIST\\SETUP.EXE"},
        {"A:\\a.b.c", 1, "A:\\a.b.EXE"},
        {"C:\\my.dir\\setup", 0, "C:\\my.dir\\setup.ZIP"},  // a folder's '.' is no extension
        {"/opt/kit/setup", 0, "/opt/kit/setup.ZIP"},
    };
    fake.label = "PKBACK# 001";
    fake.labelReadable = true;
    for (const Case& c : cases) {
        opened.clear();
        snprintf(state.archivePath, sizeof state.archivePath, "%s", c.program);
        disks[1] = folder.Write("volume", "x");
        EXPECT_FALSE(EndsProcess([&] { ChangeVolume(1, c.namedExe); })) << c.program;
        EXPECT_EQ(opened, (std::vector<std::string>{c.volume}));
    }
}

TEST_F(Input, VolumeThatCannotBeOpenedIsHeaderCorrupt) {
    fake.label = "PKBACK# 002";
    fake.labelReadable = true;
    EXPECT_EQ(EndsWithBox([] { ChangeVolume(2, 0); }), kHeaderCorruptText);
}

// Internal errors of the volume code: a report beside the program and exit
// code 1.
TEST_F(Input, InternalErrorsWriteTheReportAndExitWith1) {
    std::filesystem::current_path(folder.path());
    EXPECT_TRUE(EndsProcess([] { ReadDiskNumber("ABCDEFGH"); }));
    EXPECT_EQ(fake.exitCode, 1u);
    std::string report = ReadFileBytes(folder.path() + "/KVSFX32.RPT");
    EXPECT_EQ(report.substr(0, report.find('\n') + 1), "Kelvra internal error in file sfxhead line 1603\r\n");
    ASSERT_GE(fake.boxes.size(), 1u);
    EXPECT_EQ(fake.boxes[0].text, "Kelvra internal error in file sfxhead line 1603");

    // A volume path that no longer fits once its extension is added.
    InstallFakePlatform();
    std::string program = "A:\\" + std::string(257, 'n');  // 260 characters, no extension
    snprintf(state.archivePath, sizeof state.archivePath, "%s", program.c_str());
    fake.label = "PKBACK# 001";
    fake.labelReadable = true;
    EXPECT_TRUE(EndsProcess([] { ChangeVolume(1, 0); }));
    EXPECT_EQ(fake.exitCode, 1u);
    report = ReadFileBytes(folder.path() + "/KVSFX32.RPT");
    EXPECT_EQ(report.substr(0, report.find('\n') + 1), "Kelvra internal error in file sfxhead line 1756\r\n");
}

}  // namespace

// The system side reads the archive ahead in large pieces and serves reads
// and seeks from what it holds: every mix of reads and seeks (back and
// forth within what is held, past it, from the end, another file opened
// and closed in between) delivers the file's bytes at the position asked
// for, and reports the position the file would have without it.
TEST(ReadAhead, ReadsAndSeeksSeeTheFileAsItIs) {
    std::string path = ::testing::TempDir() + "/read-ahead.bin";
    std::string bytes(300000, '\0');
    for (size_t i = 0; i < bytes.size(); i++) bytes[i] = (char)(i * 131 + i / 251);
    WriteFileBytes(path, bytes);

    FileHandle file = sfxPlatform.openFile(path.c_str(), kShareDenyWrite);
    ASSERT_NE(0, file);
    int64_t position = 0;
    auto read = [&](uint32_t count) {
        std::string got(count, '\0');
        int32_t n = sfxPlatform.readFile(file, &got[0], count);
        ASSERT_GE(n, 0);
        size_t expected = position >= (int64_t)bytes.size() ? 0 : std::min<size_t>(count, bytes.size() - position);
        ASSERT_EQ(expected, (size_t)n) << "at " << position;
        EXPECT_EQ(bytes.substr(position, n), got.substr(0, n)) << "at " << position;
        position += n;
    };
    auto seek = [&](int64_t offset, int origin) {
        int64_t expected = origin == kSeekSet ? offset : origin == kSeekCurrent ? position + offset : bytes.size() + offset;
        ASSERT_EQ(expected, sfxPlatform.seekFile(file, offset, origin));
        position = expected;
    };
    read(30), read(43), read(2048);
    seek(0, kSeekCurrent);
    seek(-50, kSeekCurrent), read(100);  // back within what is held
    seek(10, kSeekSet), read(26);
    seek(70000, kSeekCurrent), read(2048);  // past what is held
    read(100000);                           // larger than what is held at once
    FileHandle other = sfxPlatform.openFile(path.c_str(), kShareDenyWrite);  // takes the reading ahead
    ASSERT_NE(0, other);
    read(5000);
    char first[4];
    EXPECT_EQ(4, sfxPlatform.readFile(other, first, 4));
    EXPECT_EQ(bytes.substr(0, 4), std::string(first, 4));
    sfxPlatform.closeFile(other);
    read(3000);
    seek(-22, kSeekEnd), read(22), read(10);  // the end, and nothing after it
    seek(299990, kSeekSet), read(64);
    seek(1, kSeekSet), read(65536), read(1);
    sfxPlatform.closeFile(file);
    std::remove(path.c_str());
}
