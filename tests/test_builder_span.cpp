// Spanned sets from kvsfx-make: volume files and folders, their sizes, and
// the walk the stub makes through them (records never split, descriptors on
// the volume of their data), for ".ZIP" and ".EXE" volumes.
#include <gtest/gtest.h>
#include <zlib.h>

#include "support/codec_control.h"
#include "support/data.h"
#include "support/files.h"
#include "format/bytes.h"
#include "support/sfx_image.h"
#include "support/stub_walk.h"

namespace {

const uint32_t kEncrypted = 0x100, kSpanned = 0x1000, kExeVolumes = 0x8000;

class SpanTest : public ::testing::Test {
protected:
    void SetUp() override {
        WriteBytes(scratch / "stub", FakeStub(StubKind::Elf64));
        mkdir((scratch / "out").c_str(), 0777);
        // Many small entries, so that headers fall on every kind of volume
        // boundary, and a few larger ones that cross several volumes.
        mkdir((scratch / "set").c_str(), 0777);
        for (int i = 0; i < 120; i++) {
            const std::string name = "set/file" + std::to_string(i) + std::string(i % 40, 'n');
            WriteBytes(scratch / name, i % 3 ? TextBytes(i * 37, i) : NoiseBytes(i * 53, i));
        }
        WriteBytes(scratch / "set/big-noise", NoiseBytes(150000));
        WriteBytes(scratch / "set/big-text", TextBytes(400000));
        mkdir((scratch / "set/empty").c_str(), 0777);
    }

    struct SpannedSet {
        Bytes program;
        std::vector<Bytes> volumes;  // the archive's volumes, disk 1 first
    };

    // Reads the set written for out/SETUP.EXE and checks sizes.
    SpannedSet ReadSet(bool exeVolumes, uint64_t size) {
        SpannedSet set;
        set.program = ReadBytes(scratch / "out/SETUP.EXE");
        const Block block = ReadBlock(set.program);
        EXPECT_EQ(block.flags & (kSpanned | kExeVolumes), kSpanned | (exeVolumes ? kExeVolumes : 0));
        EXPECT_EQ(block.endRecordOffset, 0u) << "no end-record check in a spanned set";
        EXPECT_EQ(block.stubCrc, ExpectedStubCrc(set.program, block, 64 + 3 * 56));
        if (exeVolumes) {
            set.volumes.push_back(set.program);
        } else {
            EXPECT_EQ(set.program.size(), block.archiveStart) << "the program holds no archive bytes";
            set.volumes.push_back(ReadBytes(scratch / "out/SETUP.ZIP"));
            EXPECT_LE(set.program.size() + set.volumes[0].size(), size) << "disk 1 overfull";
        }
        for (int disk = 2; Exists(scratch / ("out/disk" + std::to_string(disk))); disk++) {
            const std::string volume = scratch / ("out/disk" + std::to_string(disk) + (exeVolumes ? "/SETUP.EXE" : "/SETUP.ZIP"));
            EXPECT_TRUE(Exists(volume)) << volume;
            set.volumes.push_back(ReadBytes(volume));
        }
        for (const Bytes& volume : set.volumes) EXPECT_LE(volume.size(), size);
        return set;
    }

    void CheckSet(const std::string& arguments, bool exeVolumes, uint64_t size, const std::string& password) {
        SCOPED_TRACE(arguments);
        RunIn(scratch.path(), "rm -rf out && mkdir out");
        const RunResult run = RunMake(scratch.path(), "-o out/SETUP.EXE --stub stub " + arguments);
        ASSERT_EQ(run.status, 0) << run.output;
        const SpannedSet set = ReadSet(exeVolumes, size);
        EXPECT_GE(set.volumes.size(), 3u);
        const Block block = ReadBlock(set.program);
        if (!password.empty()) {
            EXPECT_EQ(block.flags & kEncrypted, kEncrypted);
        }

        const StubWalk walk = WalkLikeStub(set.volumes, exeVolumes ? block.archiveStart : 0, true, password);
        EXPECT_GE(walk.entries.size(), 123u);
        EXPECT_GT(walk.centralPosition, 0u) << "the walk ends at the central directory";

        // Joined, the volumes are an ordinary zip whose offsets hold.
        Bytes joined;
        for (const Bytes& volume : set.volumes) joined.insert(joined.end(), volume.begin(), volume.end());
        WriteBytes(scratch / "joined.zip", joined);
        const uint64_t end = joined.size() - 22 - LoadLe16(&joined[joined.size() - 2]);
        const std::vector<CentralRecord> central = ReadCentralDirectory(joined, end);
        ASSERT_EQ(central.size(), walk.entries.size());
        for (size_t i = 0; i < central.size(); i++)
            EXPECT_EQ(central[i].localOffset, walk.entries[i].headerPosition) << central[i].name;
        const std::string passwordOption = password.empty() ? "" : "-P " + password + " ";
        const RunResult unzip = RunIn(scratch.path(), "unzip -t " + passwordOption + "joined.zip");
        EXPECT_EQ(unzip.status, 0) << unzip.output;
    }

    ScratchFolder scratch;
};

TEST_F(SpanTest, ZipVolumesBesideTheProgram) {
    CheckSet("--span 64k set", false, 64 * 1024, "");
    CheckSet("--span 20000 --password pw set", false, 20000, "pw");
    CheckSet("--span 33333 --level 0 set", false, 33333, "");
}

TEST_F(SpanTest, ExeVolumesContinueThePrograms) {
    CheckSet("--span 64k --exe-volumes set", true, 64 * 1024, "");
    CheckSet("--span 21000 --exe-volumes --password pw set", true, 21000, "pw");
}

// Entries that keep their descriptor (zip -P): each descriptor stays on the
// volume where its data ends. Twenty volume sizes put cuts close to every
// kind of record boundary.
TEST_F(SpanTest, DescriptorsStayWithTheirData) {
    ASSERT_EQ(RunIn(scratch.path(), "zip -q -r -P pw locked.zip set").status, 0);
    for (uint64_t size = 9000; size < 9000 + 20 * 337; size += 337) {
        CheckSet("--span " + std::to_string(size) + " locked.zip", false, size, "pw");
        if (HasFailure()) break;
    }
}

TEST_F(SpanTest, RecordsLargerThanAVolumeAreRefused) {
    WriteBytes(scratch / "small-stub", FakeStub(StubKind::Elf64, 1, 1200));
    ASSERT_EQ(RunIn(scratch.path(),
        "python3 -c \"import zipfile\n"
        "z = zipfile.ZipFile('comment.zip', 'w')\n"
        "i = zipfile.ZipInfo('a.txt'); i.comment = b'c' * 3000\n"
        "z.writestr(i, b'x' * 5000); z.close()\"").status, 0);
    const RunResult run = RunMake(scratch.path(), "-o out/SETUP.EXE --stub small-stub --span 2000 comment.zip");
    EXPECT_EQ(run.status, 1);
    EXPECT_NE(run.output.find("too small"), std::string::npos) << run.output;
    EXPECT_EQ(RunIn(scratch.path(), "test -z \"$(ls -A out)\"").status, 0) << "left behind in out/";
}

}  // namespace
