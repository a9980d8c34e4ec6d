// kvsfx-make and time: the extended timestamp of every entry, --date and
// SOURCE_DATE_EPOCH, and output that is the same byte for byte whatever the
// files' times, the order a folder lists them in and the time zone.
#include <sys/time.h>

#include <gtest/gtest.h>
#include <zlib.h>

#include "support/codec_control.h"
#include "support/data.h"
#include "support/files.h"
#include "format/bytes.h"
#include "support/sfx_image.h"
#include "support/stub_walk.h"

namespace {

const char kParis[] = "CET-1CEST,M3.5.0,M10.5.0/3";
const char kNewYork[] = "EST5EDT,M3.2.0,M11.1.0";
const int64_t kDate = 1700000001;  // 2023-11-14 22:13:21 UTC: an odd second

// DOS words of 2023-11-14 at hour:13:20.
uint16_t DosDate() { return (43 << 9) | (11 << 5) | 14; }
uint16_t DosTime(int hour) { return (uint16_t)((hour << 11) | (13 << 5) | 10); }

// The modification times of the extended timestamp blocks of an extra field.
std::vector<int64_t> Stamps(const std::string& extra) {
    std::vector<int64_t> times;
    const uint8_t* p = (const uint8_t*)extra.data();
    for (size_t at = 0; at + 4 <= extra.size(); at += 4 + LoadLe16(p + at + 2)) {
        const uint32_t size = LoadLe16(p + at + 2);
        if (LoadLe16(p + at) == kExtraTimestampId && size >= 5 && (p[at + 4] & 1))
            times.push_back((int32_t)LoadLe32(p + at + 5));
    }
    return times;
}

class BuilderTimes : public ::testing::Test {
protected:
    void SetUp() override {
        WriteBytes(scratch / "stub", FakeStub(StubKind::Elf64));
        mkdir((scratch / "out").c_str(), 0777);
    }

    // root/dir with three files and an empty folder; reversed: made in the
    // opposite order. Times start at first, an hour and a second apart.
    void MakeTree(const std::string& root, int64_t first, bool reversed = false) {
        const std::vector<std::string> names = {"dir/a.txt", "dir/sub/b.bin", "dir/z.txt", "dir/empty/"};
        mkdir((scratch / root).c_str(), 0777);
        mkdir((scratch / (root + "/dir")).c_str(), 0777);
        mkdir((scratch / (root + "/dir/sub")).c_str(), 0777);
        for (size_t k = 0; k < names.size(); k++) {
            const std::string& name = names[reversed ? names.size() - 1 - k : k];
            const std::string path = scratch / (root + "/" + name);
            if (name.back() == '/') mkdir(path.c_str(), 0777);
            else WriteBytes(path, TextBytes(3000, (uint32_t)name.size()));
            SetFileTimes(path, first + 3601 * (int64_t)k);
        }
    }

    // kvsfx-make run with the given environment settings in front.
    RunResult Make(const std::string& environment, const std::string& arguments) {
        return RunIn(scratch.path(), "env -u SOURCE_DATE_EPOCH " + environment + " " + ShellQuote(KVSFX_MAKE_PATH) +
                                         " --stub stub " + arguments);
    }
    Bytes Built(const std::string& environment, const std::string& output, const std::string& arguments) {
        const RunResult run = Make(environment, "-o " + output + " " + arguments);
        EXPECT_EQ(run.status, 0) << run.output;
        return ReadBytes(scratch / output);
    }

    ScratchFolder scratch;
};

// Every entry, folders included, carries its exact time in UTC in both
// headers; the DOS words stay local time for readers that know no better.
TEST_F(BuilderTimes, EveryEntryCarriesItsExactTime) {
    MakeTree("t", kDate);
    SetFileTimes(scratch / "t/dir/z.txt", 100000000);  // 1973: before any DOS date
    const Bytes file = Built(std::string("TZ=") + kParis, "out/t.exe", "t/dir");
    const Block block = ReadBlock(file);
    const StubWalk walk = WalkLikeStub({file}, block.archiveStart, false);
    const std::vector<CentralRecord> central = ReadCentralDirectory(file, block.endRecordOffset);
    const std::map<std::string, int64_t> expected = {
        {"dir/a.txt", kDate}, {"dir/sub/b.bin", kDate + 3601}, {"dir/z.txt", 100000000}, {"dir/empty/", kDate + 3 * 3601}};
    ASSERT_EQ(walk.entries.size(), expected.size());
    ASSERT_EQ(central.size(), expected.size());
    for (size_t i = 0; i < walk.entries.size(); i++) {
        const WalkedEntry& entry = walk.entries[i];
        SCOPED_TRACE(entry.name);
        ASSERT_TRUE(expected.count(entry.name));
        EXPECT_EQ(Stamps(entry.extra), std::vector<int64_t>{expected.at(entry.name)});
        EXPECT_EQ(Stamps(central[i].extra), std::vector<int64_t>{expected.at(entry.name)});
    }
    EXPECT_EQ(walk.entries[0].modDate, DosDate());
    EXPECT_EQ(walk.entries[0].modTime, DosTime(23));  // Paris, an hour ahead of UTC in November
    const RunResult unzip = RunIn(scratch.path(), "unzip -t out/t.exe");
    EXPECT_EQ(unzip.status, 0) << unzip.output;
}

// --date (or SOURCE_DATE_EPOCH) gives every entry one time, written in UTC:
// two trees with other times, made in another order, built in two time
// zones, give the same bytes.
TEST_F(BuilderTimes, DateMakesTheOutputReproducible) {
    MakeTree("a", 1600000000);
    MakeTree("b", 1500000000, true);
    const Bytes first = Built(std::string("TZ=") + kParis, "out/a.exe", "--date 1700000001 a/dir");
    const Bytes second = Built(std::string("TZ=") + kNewYork + " SOURCE_DATE_EPOCH=1700000001", "out/b.exe", "b/dir");
    ASSERT_FALSE(first.empty());
    EXPECT_TRUE(first == second) << "the two builds differ";
    // --date takes precedence over the environment.
    EXPECT_TRUE(first == Built("SOURCE_DATE_EPOCH=5", "out/c.exe", "--date=1700000001 a/dir"));

    const StubWalk walk = WalkLikeStub({first}, ReadBlock(first).archiveStart, false);
    ASSERT_EQ(walk.entries.size(), 4u);
    for (const WalkedEntry& entry : walk.entries) {
        SCOPED_TRACE(entry.name);
        EXPECT_EQ(entry.modDate, DosDate());
        EXPECT_EQ(entry.modTime, DosTime(22));
        EXPECT_EQ(Stamps(entry.extra), std::vector<int64_t>{kDate});
    }

    // A zip's entries: the time replaces theirs, extended timestamps
    // included (Info-ZIP zip writes its own).
    ASSERT_EQ(RunIn(scratch.path(), "cd a && zip -q -r ../in.zip dir").status, 0);
    const Bytes fromZip = Built("", "out/z.exe", "--date 1700000001 in.zip");
    const Block block = ReadBlock(fromZip);
    const StubWalk zipWalk = WalkLikeStub({fromZip}, block.archiveStart, false);
    const std::vector<CentralRecord> central = ReadCentralDirectory(fromZip, block.endRecordOffset);
    ASSERT_EQ(zipWalk.entries.size(), central.size());
    for (size_t i = 0; i < central.size(); i++) {
        SCOPED_TRACE(central[i].name);
        EXPECT_EQ(Stamps(zipWalk.entries[i].extra), std::vector<int64_t>{kDate});
        EXPECT_EQ(Stamps(central[i].extra), std::vector<int64_t>{kDate});
        EXPECT_EQ(central[i].modTime, DosTime(22));
        EXPECT_EQ(zipWalk.entries[i].modDate, DosDate());
    }
    // Without --date they keep the zip's own.
    const Bytes kept = Built("", "out/k.exe", "in.zip");
    const StubWalk keptWalk = WalkLikeStub({kept}, ReadBlock(kept).archiveStart, false);
    ASSERT_FALSE(keptWalk.entries.empty());
    EXPECT_EQ(Stamps(keptWalk.entries[0].extra).size(), 1u);
    EXPECT_NE(Stamps(keptWalk.entries[0].extra)[0], kDate);

    // The one exception: the random encryption headers of a password.
    EXPECT_FALSE(Built("", "out/p1.exe", "--date 1700000001 --password pw a/dir") ==
                 Built("", "out/p2.exe", "--date 1700000001 --password pw a/dir"));
    const RunResult help = Make("", "--help");
    EXPECT_NE(help.output.find("random"), std::string::npos) << help.output;
}

TEST_F(BuilderTimes, MalformedDatesAreRefused) {
    MakeTree("t", kDate);
    for (const char* bad : {"--date abc", "--date -1", "--date 2147483648", "--date ''", "--date 12345678901"}) {
        SCOPED_TRACE(bad);
        const RunResult run = Make("", std::string("-o out/x.exe ") + bad + " t/dir");
        EXPECT_EQ(run.status, 2) << run.output;
        EXPECT_NE(run.output.find("seconds since 1970"), std::string::npos) << run.output;
        EXPECT_FALSE(Exists(scratch / "out/x.exe"));
    }
    const RunResult environment = Make("SOURCE_DATE_EPOCH=1.5", "-o out/x.exe t/dir");
    EXPECT_EQ(environment.status, 2);
    EXPECT_NE(environment.output.find("SOURCE_DATE_EPOCH"), std::string::npos) << environment.output;
    // Set but empty: as if unset.
    const Bytes own = Built("SOURCE_DATE_EPOCH=", "out/own.exe", "t/dir");
    const StubWalk walk = WalkLikeStub({own}, ReadBlock(own).archiveStart, false);
    ASSERT_FALSE(walk.entries.empty());
    EXPECT_EQ(Stamps(walk.entries[0].extra), std::vector<int64_t>{kDate});
}

}  // namespace
