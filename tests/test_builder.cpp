// kvsfx-make end to end on fake stubs: what it writes for folders and zips,
// the configuration block and header, encryption, and every refusal. The
// results are read back independently (builder_support.h) and checked by
// Info-ZIP unzip and Python's zipfile as peers.
#include <sys/time.h>
#include <time.h>

#include <map>

#include "builder_support.h"

using namespace buildertest;

namespace {

// The optional header's CheckSum in the fake PE stubs (NT headers at 0x80).
const size_t kFakeChecksumField = 0x80 + 24 + 64;

// The header checksum, written out from the PE format's description: the
// 16-bit words of the file summed with end-around carry, the checksum field
// taken as zero, plus the file's length.
uint32_t PeChecksum(const Bytes& file, size_t field) {
    uint64_t sum = 0;
    for (size_t i = 0; i < file.size(); i += 2) {
        if (i >= field && i < field + 4) continue;
        sum += file[i] | (i + 1 < file.size() ? file[i + 1] << 8 : 0);
        sum = (sum & 0xFFFF) + (sum >> 16);
    }
    return (uint32_t)sum + (uint32_t)file.size();
}

const uint32_t kOverwriteDefault = 0x2, kCustomTitle = 0x10, kEncrypted = 0x100, kAuto = 0x200,
               kCrcAfterHeaders = 0x800, kTitleInDialog = 0x40000, kPromptQuestion = 0x80000,
               kPromptOkCancel = 0x100000;

// 3 February 2001, 04:05:06 local time, and its DOS date and time words.
const uint16_t kKnownDosDate = (21 << 9) | (2 << 5) | 3;
const uint16_t kKnownDosTime = (4 << 11) | (5 << 5) | 3;

void SetKnownTime(const std::string& path) {
    struct tm local {};
    local.tm_year = 101;
    local.tm_mon = 1;
    local.tm_mday = 3;
    local.tm_hour = 4;
    local.tm_min = 5;
    local.tm_sec = 6;
    local.tm_isdst = -1;
    const time_t when = mktime(&local);
    struct timeval times[2] = {{when, 0}, {when, 0}};
    utimes(path.c_str(), times);
}

class BuilderTest : public ::testing::Test {
protected:
    void SetUp() override {
        WriteBytes(scratch / "stub", FakeStub(StubKind::Elf64));
        mkdir((scratch / "out").c_str(), 0777);
    }

    // A tree with nested and empty folders, blanks and accents in names, and
    // files around the 2048-byte chunk size. Returns name -> content.
    std::map<std::string, Bytes> MakeTree() {
        std::map<std::string, Bytes> files = {
            {"dir/a b.txt", TextBytes(300)},
            {"dir/caf\xC3\xA9.txt", TextBytes(40, 3)},
            {"dir/sizes/s0", Bytes()},
            {"dir/sizes/s1", Bytes(1, 'x')},
            {"dir/sizes/s2047", TextBytes(2047)},
            {"dir/sizes/s2048", TextBytes(2048)},
            {"dir/sizes/s2049", TextBytes(2049)},
            {"dir/sizes/s5000", TextBytes(5000)},
            {"dir/noise.bin", NoiseBytes(5000)},
            {"dir/nested/deeper/x.txt", TextBytes(10, 9)},
        };
        for (const char* folder : {"dir", "dir/sizes", "dir/nested", "dir/nested/deeper", "dir/empty"})
            mkdir((scratch / folder).c_str(), 0777);
        for (const auto& file : files) WriteBytes(scratch / file.first, file.second);
        SetKnownTime(scratch / "dir/a b.txt");
        return files;
    }

    // Builds and returns the output, expecting success.
    Bytes Build(const std::string& arguments, const std::string& output = "out/setup.exe") {
        const RunResult run = RunMake(scratch.path(), "-o " + output + " " + arguments);
        EXPECT_EQ(run.status, 0) << run.output;
        return ReadBytes(scratch / output);
    }

    // The entries of a single-file build, walked as the stub walks it, with
    // the central directory checked against the walk.
    StubWalk WalkSingle(const Bytes& file, const std::string& password = "") {
        const Block block = ReadBlock(file);
        const StubWalk walk = WalkLikeStub({file}, block.archiveStart, false, password);
        EXPECT_TRUE(walk.sawEndRecord);
        EXPECT_EQ(Le32(&file[block.endRecordOffset]), 0x06054B50u);
        EXPECT_EQ(block.endRecordOffset + 22 + Le16(&file[block.endRecordOffset + 20]), file.size());
        uint32_t directoryOffset = 0;
        const std::vector<CentralRecord> central = ReadCentralDirectory(file, block.endRecordOffset, &directoryOffset);
        EXPECT_EQ(directoryOffset, walk.centralPosition) << "directory offset is not file-absolute";
        EXPECT_EQ(central.size(), walk.entries.size());
        for (size_t i = 0; i < central.size() && i < walk.entries.size(); i++) {
            EXPECT_EQ(central[i].localOffset, walk.entries[i].headerPosition) << central[i].name;
            EXPECT_EQ(central[i].name, walk.entries[i].name);
            EXPECT_EQ(central[i].flags, walk.entries[i].flags);
            EXPECT_EQ(central[i].crc, walk.entries[i].crc);
            EXPECT_EQ(central[i].compressedSize, walk.entries[i].compressedSize);
        }
        if (!walk.entries.empty()) {
            EXPECT_EQ(walk.entries[0].headerPosition, block.archiveStart);
        }
        return walk;
    }

    void ExpectPeersAccept(const std::string& output, const std::string& password = "") {
        const std::string passwordOption = password.empty() ? "" : "-P " + ShellQuote(password) + " ";
        const RunResult unzip = RunIn(scratch.path(), "unzip -t " + passwordOption + output);
        EXPECT_EQ(unzip.status, 0) << unzip.output;
        if (password.empty()) {
            const RunResult python = RunIn(scratch.path(),
                "python3 -c 'import sys,zipfile; sys.exit(zipfile.ZipFile(sys.argv[1]).testzip() is not None)' " + output);
            EXPECT_EQ(python.status, 0) << python.output;
        }
    }

    ScratchFolder scratch;
};

std::map<std::string, const WalkedEntry*> ByName(const StubWalk& walk) {
    std::map<std::string, const WalkedEntry*> entries;
    for (const WalkedEntry& entry : walk.entries) entries[entry.name] = &entry;
    return entries;
}

// Stored names: UTF-8 file names become Windows-1252.
std::string StoredName(const std::string& name) {
    std::string out = name;
    const size_t accent = out.find("\xC3\xA9");
    if (accent != std::string::npos) out.replace(accent, 2, "\xE9");
    return out;
}

TEST_F(BuilderTest, FolderBecomesAnArchiveTheStubCanWalk) {
    const std::map<std::string, Bytes> files = MakeTree();
    const Bytes file = Build("--stub stub dir");
    const StubWalk walk = WalkSingle(file);
    const auto entries = ByName(walk);

    // Every file, plus a folder entry for the empty folder only.
    EXPECT_EQ(walk.entries.size(), files.size() + 1);
    ASSERT_TRUE(entries.count("dir/empty/"));
    EXPECT_FALSE(entries.count("dir/"));
    EXPECT_FALSE(entries.count("dir/sizes/"));
    for (const auto& source : files) {
        const std::string name = StoredName(source.first);
        ASSERT_TRUE(entries.count(name)) << name;
        const WalkedEntry& entry = *entries.at(name);
        EXPECT_EQ(entry.content, source.second) << name;
        EXPECT_EQ(entry.flags & 0x9, 0) << name << ": no descriptor, no encryption";
    }
    // Deflated where it shrinks, stored where it does not.
    EXPECT_EQ(entries.at("dir/sizes/s5000")->method, 8);
    EXPECT_EQ(entries.at("dir/noise.bin")->method, 0);
    EXPECT_EQ(entries.at("dir/sizes/s0")->method, 0);
    EXPECT_EQ(entries.at("dir/a b.txt")->modDate, kKnownDosDate);
    EXPECT_EQ(entries.at("dir/a b.txt")->modTime, kKnownDosTime);

    const Block block = ReadBlock(file);
    EXPECT_EQ(block.headerOffset, 6000u);
    EXPECT_EQ(block.archiveStart, 6000u + 5);
    uint32_t total = 0;
    for (const auto& source : files) total += (uint32_t)source.second.size();
    EXPECT_EQ(block.totalSize, total);
    // The start-up check leaves out the ELF header and its program headers.
    EXPECT_EQ(block.flags, kCrcAfterHeaders);
    EXPECT_EQ(block.completeMark, 0xFFFF);
    EXPECT_EQ(block.entryRva, kFakeEntry);
    EXPECT_EQ(block.stubCrc, ExpectedStubCrc(file, block, 64 + 3 * 56));
    EXPECT_EQ(HeaderTexts(file, block), std::vector<std::string>(5));
    struct stat info;
    ASSERT_EQ(stat((scratch / "out/setup.exe").c_str(), &info), 0);
    EXPECT_TRUE(info.st_mode & S_IXUSR) << "the output is executable";
    ExpectPeersAccept("out/setup.exe");

    // Level 0 stores everything; names relative to each input's parent.
    const StubWalk stored = WalkSingle(Build("--stub stub --level 0 dir/sizes dir/a\\ b.txt", "out/s.exe"));
    ASSERT_EQ(stored.entries.size(), 7u);
    EXPECT_EQ(stored.entries[0].name, "sizes/s0");
    EXPECT_EQ(stored.entries[6].name, "a b.txt");
    for (const WalkedEntry& entry : stored.entries) EXPECT_EQ(entry.method, 0) << entry.name;

    // However an input's path is spelt, it is stored under the name of the
    // folder it leads to.
    for (const char* spelling : {"dir/sizes/", "dir/sizes//", "./dir/sizes/.", "dir/nested/../sizes"}) {
        const StubWalk spelt = WalkSingle(Build(std::string("--stub stub ") + spelling, "out/spelt.exe"));
        ASSERT_EQ(spelt.entries.size(), 6u) << spelling;
        EXPECT_EQ(spelt.entries[0].name, "sizes/s0") << spelling;
        EXPECT_EQ(spelt.entries[5].name, "sizes/s5000") << spelling;
    }
}

TEST_F(BuilderTest, OptionsFillTheBlockAndTheHeader) {
    MakeTree();
    WriteBytes(scratch / "pe32", FakeStub(StubKind::Pe32));
    Bytes file = Build("--stub pe32 --dest 'C:\\Programme\\Kelvra' --info 'info \xC3\xA9t\xC3\xA9' "
                       "--prompt 'Continuer ?' --prompt-style okcancel --title Titre --title-in-dialog --auto "
                       "--overwrite --crc-after-headers dir/a\\ b.txt");
    Block block = ReadBlock(file);
    EXPECT_EQ(block.flags, kOverwriteDefault | kCustomTitle | kAuto | kCrcAfterHeaders | kTitleInDialog |
                               kPromptQuestion | kPromptOkCancel);
    EXPECT_EQ(HeaderTexts(file, block),
              (std::vector<std::string>{"C:\\Programme\\Kelvra", "", "Continuer ?", "Titre", "info \xE9t\xE9"}));
    // PE32: the checked span starts after the NT headers (0x80 + 248); the
    // header checksum, left out of it, covers the whole file.
    EXPECT_EQ(block.stubCrc, ExpectedStubCrc(file, block, 0x80 + 248));
    EXPECT_EQ(block.entryRva, kFakeEntry);
    EXPECT_EQ(Le32(&file[kFakeChecksumField]), PeChecksum(file, kFakeChecksumField));

    // PE32+, the same by default; an odd length for the checksum.
    WriteBytes(scratch / "pe64", FakeStub(StubKind::Pe32Plus));
    file = Build("--stub pe64 --prompt Oui? --prompt-style yesno --level 0 dir/caf\xC3\xA9.txt");
    block = ReadBlock(file);
    EXPECT_EQ(block.flags, kPromptQuestion | kCrcAfterHeaders);
    EXPECT_EQ(block.stubCrc, ExpectedStubCrc(file, block, 0x80 + 264));
    EXPECT_EQ(file.size() % 2, 1u);
    EXPECT_EQ(Le32(&file[kFakeChecksumField]), PeChecksum(file, kFakeChecksumField));

    // The old coverage: from the file's start, headers included, so the
    // header checksum it covers stays 0.
    WriteBytes(scratch / "pe32-sum", [] {
        Bytes stub = FakeStub(StubKind::Pe32);
        SetLe32(&stub[kFakeChecksumField], 0x12345);  // a stale one
        return stub;
    }());
    file = Build("--stub pe32-sum --crc-with-headers dir/a\\ b.txt");
    block = ReadBlock(file);
    EXPECT_EQ(block.flags, 0u);
    EXPECT_EQ(block.stubCrc, ExpectedStubCrc(file, block, 0));
    EXPECT_EQ(Le32(&file[kFakeChecksumField]), 0u);

    file = Build("--stub stub --no-stub-crc --title '' dir/a\\ b.txt");
    block = ReadBlock(file);
    EXPECT_EQ(block.stubCrc, 0u);
    EXPECT_EQ(block.flags, kCustomTitle);
    EXPECT_EQ(block.completeMark, 0xFFFF);

    // Texts at their capacities fit while the header stays within 1256 bytes.
    file = Build("--stub stub --dest " + std::string(260, 'd') + " --title " + std::string(64, 't') + " --info " +
                 std::string(511, 'i') + " --prompt " + std::string(400, 'p') + " dir/a\\ b.txt");
    block = ReadBlock(file);
    EXPECT_EQ(block.archiveStart - block.headerOffset, 260u + 64 + 511 + 400 + 5);
}

TEST_F(BuilderTest, ZipInputsAreRewrittenForTheWalk) {
    const std::map<std::string, Bytes> files = MakeTree();
    ASSERT_EQ(RunIn(scratch.path(), "zip -q -r plain.zip dir && zip -q -r - dir | cat > piped.zip && "
                                    "cat stub plain.zip > prefixed.zip").status, 0);
    ASSERT_EQ(RunIn(scratch.path(),
        "python3 -c \"import zipfile\n"
        "z = zipfile.ZipFile('py.zip', 'w', zipfile.ZIP_DEFLATED)\n"
        "z.comment = b'the comment'\n"
        "z.writestr('dir/caf\\u00e9.txt', b'accent' * 100)\n"
        "z.writestr('dir/folder/', b'')\n"
        "z.close()\"").status, 0);

    for (const char* input : {"plain.zip", "piped.zip", "prefixed.zip"}) {
        SCOPED_TRACE(input);
        const Bytes file = Build(std::string("--stub stub ") + input);
        const StubWalk walk = WalkSingle(file);
        const auto entries = ByName(walk);
        for (const auto& source : files) {
            const std::string name = StoredName(source.first);
            // Info-ZIP stores the UTF-8 bytes of the name as they are.
            const std::string zipName = source.first;
            ASSERT_TRUE(entries.count(zipName)) << zipName;
            EXPECT_EQ(entries.at(zipName)->content, source.second);
            EXPECT_EQ(entries.at(zipName)->flags & 0x8, 0) << "descriptor dropped";
        }
        EXPECT_EQ(ReadBlock(file).flags & kEncrypted, 0u);
        ExpectPeersAccept("out/setup.exe");
    }

    // A name flagged as UTF-8 is stored in Windows-1252; the comment stays.
    const Bytes file = Build("--stub stub py.zip");
    const StubWalk walk = WalkSingle(file);
    ASSERT_EQ(walk.entries.size(), 2u);
    EXPECT_EQ(walk.entries[0].name, "dir/caf\xE9.txt");
    EXPECT_EQ(walk.entries[0].flags & 0x800, 0);
    const Block block = ReadBlock(file);
    EXPECT_EQ(std::string(file.end() - 11, file.end()), "the comment");
    EXPECT_EQ(Le16(&file[block.endRecordOffset + 20]), 11u);
}

TEST_F(BuilderTest, EncryptedZipKeepsTheDescriptorItsCheckByteNeeds) {
    const std::map<std::string, Bytes> files = MakeTree();
    // zip -P writes bit 3 and checks the password against the time's high byte.
    ASSERT_EQ(RunIn(scratch.path(), "zip -q -r -P secret locked.zip dir").status, 0);
    const Bytes file = Build("--stub stub locked.zip");
    const StubWalk walk = WalkSingle(file, "secret");
    const auto entries = ByName(walk);
    for (const auto& source : files) {
        ASSERT_TRUE(entries.count(source.first));
        const WalkedEntry& entry = *entries.at(source.first);
        EXPECT_EQ(entry.flags & 0x9, 0x9) << source.first;
        EXPECT_EQ(entry.checkByte, entry.modTime >> 8) << source.first;
        EXPECT_EQ(entry.content, source.second);
    }
    EXPECT_EQ(ReadBlock(file).flags & kEncrypted, kEncrypted) << "the program asks for the password";
    ExpectPeersAccept("out/setup.exe", "secret");

    const RunResult twice = RunMake(scratch.path(), "-o out/x.exe --stub stub --password other locked.zip");
    EXPECT_EQ(twice.status, 1);
    EXPECT_NE(twice.output.find("already holds encrypted entries"), std::string::npos) << twice.output;
}

TEST_F(BuilderTest, PasswordEncryptsEveryFile) {
    const std::map<std::string, Bytes> files = MakeTree();
    const std::string password = "s\xE9same";  // typed as UTF-8, stored as Windows-1252
    for (const std::string& arguments : {std::string("--password 's\xC3\xA9same' dir"),
                                         std::string("--password-file pw.txt --level 0 dir")}) {
        SCOPED_TRACE(arguments);
        WriteText(scratch / "pw.txt", "s\xC3\xA9same\r\nnot this line\n");
        const Bytes file = Build("--stub stub " + arguments);
        const StubWalk walk = WalkSingle(file, password);
        for (const WalkedEntry& entry : walk.entries) {
            if (entry.name.back() == '/') {
                EXPECT_EQ(entry.flags & 1, 0) << "folders carry no data to protect";
                continue;
            }
            EXPECT_EQ(entry.flags & 0x9, 0x1) << entry.name;
            EXPECT_EQ(entry.checkByte, entry.crc >> 24) << entry.name;
        }
        EXPECT_EQ(walk.entries.size(), files.size() + 1);
        EXPECT_EQ(ReadBlock(file).flags & kEncrypted, kEncrypted);
        ExpectPeersAccept("out/setup.exe", password);
        EXPECT_NE(RunIn(scratch.path(), "unzip -t -P wrong out/setup.exe").status, 0);
    }

    // A plain zip gets encrypted as it is copied.
    ASSERT_EQ(RunIn(scratch.path(), "zip -q -r plain.zip dir").status, 0);
    const StubWalk walk = WalkSingle(Build("--stub stub --password pw plain.zip"), "pw");
    for (const WalkedEntry& entry : walk.entries)
        if (entry.name.back() != '/') {
            EXPECT_EQ(entry.checkByte, entry.crc >> 24) << entry.name;
        }
    ExpectPeersAccept("out/setup.exe", "pw");
}

// Files above the in-memory limit (64 MiB) are streamed: deflated when that
// shrinks them, stored when not, and encrypted in either case.
TEST_F(BuilderTest, LargeFilesAreStreamed) {
    mkdir((scratch / "big").c_str(), 0777);
    const Bytes text = TextBytes((64u << 20) + 4097);
    const Bytes noise = NoiseBytes((64u << 20) + 1);
    WriteBytes(scratch / "big/text", text);
    WriteBytes(scratch / "big/noise", noise);
    const Bytes file = Build("--stub stub --level 1 --password pw big");
    const StubWalk walk = WalkSingle(file, "pw");
    ASSERT_EQ(walk.entries.size(), 2u);
    EXPECT_EQ(walk.entries[0].name, "big/noise");
    EXPECT_EQ(walk.entries[0].method, 0);
    EXPECT_TRUE(walk.entries[0].content == noise);
    EXPECT_EQ(walk.entries[1].method, 8);
    EXPECT_TRUE(walk.entries[1].content == text);
    for (const WalkedEntry& entry : walk.entries) EXPECT_EQ(entry.checkByte, entry.crc >> 24);
}

// Every refusal: its message, exit status 1 (2 for the command line), and
// nothing left in the output folder.
TEST_F(BuilderTest, RefusalsExplainThemselvesAndLeaveNothing) {
    MakeTree();
    WriteBytes(scratch / "two-blocks", FakeStub(StubKind::Elf64, 2));
    WriteBytes(scratch / "no-block", FakeStub(StubKind::Elf64, 0));
    Bytes plain(6000, 0);
    memcpy(&plain[0x400], kBlockSignature, 8);
    WriteBytes(scratch / "not-exe", plain);
    WriteText(scratch / "junk.zip", "this is not a zip archive at all, only text");
    WriteText(scratch / "empty-pw", "\n");
    ASSERT_EQ(RunIn(scratch.path(),
        "zip -q -r plain.zip dir && (cd dir && zip -q -fz ../z64.zip a\\ b.txt) && "
        "cp plain.zip cut.zip && truncate -s 300 cut.zip && "
        "mkdir -p upper/A lower/a && echo 1 > upper/A/f && echo 2 > lower/a/f && mkdir -p case && "
        "echo 1 > case/Read && echo 2 > case/read && mkdir greek && echo x > greek/$(printf '\\316\\251') && "
        "mkdir device && echo x > device/nul.txt && mkdir colon && echo x > colon/a:b").status, 0);
    ASSERT_EQ(RunIn(scratch.path(),
        "python3 -c \"import zipfile\n"
        "z = zipfile.ZipFile('evil.zip', 'w'); z.writestr('../evil.txt', b'x'); z.close()\n"
        "z = zipfile.ZipFile('long.zip', 'w'); z.writestr('n' * 261, b'x'); z.close()\n"
        "z = zipfile.ZipFile('bz.zip', 'w', zipfile.ZIP_BZIP2); z.writestr('b.txt', b'x' * 100); z.close()\n"
        "z = zipfile.ZipFile('dup.zip', 'w'); z.writestr('Readme', b'1'); z.writestr('README', b'2'); z.close()\n"
        "z = zipfile.ZipFile('abs.zip', 'w'); z.writestr('/etc/passwd', b'x'); z.close()\n"
        "z = zipfile.ZipFile('drive.zip', 'w'); z.writestr('C:/x.txt', b'x'); z.close()\n"
        "z = zipfile.ZipFile('greek.zip', 'w'); z.writestr('\\u03a9.txt', b'x'); z.close()\n"
        "z = zipfile.ZipFile('damaged.zip', 'w'); z.writestr('d.txt', b'hello world'); z.close()\n"
        "d = open('damaged.zip', 'rb').read().replace(b'hello', b'hellO'); open('damaged.zip', 'wb').write(d)\"").status, 0);

    struct Row {
        const char* arguments;
        int status;
        const char* message;
    };
    const Row rows[] = {
        {"--stub stub missing-folder", 1, "cannot find the input"},
        {"--stub stub missing.zip", 1, "cannot read the zip"},
        {"--stub stub junk.zip", 1, "is not a zip archive"},
        {"--stub stub cut.zip", 1, "is not a zip archive"},
        {"--stub stub z64.zip", 1, "Zip64"},
        {"--stub stub evil.zip", 1, "climbs out of the destination folder"},
        {"--stub stub abs.zip", 1, "is an absolute path"},
        {"--stub stub drive.zip", 1, "does not allow"},
        {"--stub stub long.zip", 1, "longer than 260 bytes"},
        {"--stub stub bz.zip", 1, "compression method 12"},
        {"--stub stub dup.zip", 1, "would be the same file or folder"},
        {"--stub stub damaged.zip", 1, "is damaged: its data does not match"},
        {"--stub stub greek.zip", 1, "Windows-1252"},
        {"--stub stub case", 1, "would be the same file or folder"},
        {"--stub stub upper/A lower/a", 1, "would be the same file or folder"},
        {"--stub stub greek", 1, "Windows-1252"},
        {"--stub stub device", 1, "device name"},
        {"--stub stub colon", 1, "does not allow"},
        {"--stub missing-stub dir", 1, "cannot open"},
        {"--stub two-blocks dir", 1, "2 times"},
        {"--stub no-block dir", 1, "no configuration block"},
        {"--stub not-exe dir", 1, "not a Windows or Linux executable"},
        {"--stub out-prev.exe dir", 1, "already a self-extracting file"},
        {"--stub stub --title " "ttttttttttttttttttttttttttttttttttttttttttttttttttttttttttttttttt dir", 1,
         "at most 64 fit"},
        {"--stub stub --title '\xCE\xA9' dir", 1, "Windows-1252"},
        {"--stub stub --password '' dir", 1, "password is empty"},
        {"--stub stub --password-file empty-pw dir", 1, "is empty"},
        {"--stub stub --level 5 plain.zip", 2, "--level applies to files and folders"},
        {"--stub stub --level 10 dir", 2, "--level is a digit"},
        {"--stub stub --span 10q dir", 2, "--span needs a size"},
        {"--stub stub --exe-volumes dir", 2, "--exe-volumes goes with --span"},
        {"--stub stub --span 5000 dir", 1, "more than the volume size"},
        {"--stub stub --password a --password-file empty-pw dir", 2, "not both"},
        {"--stub stub --frobnicate dir", 2, "unknown option"},
        {"--stub stub --crc-with-headers --no-stub-crc dir", 2, "exclude each other"},
        {"--stub stub --crc-with-headers --crc-after-headers dir", 2, "exclude each other"},
        {"--stub stub --description Outil dir", 1, "no version information"},
        {"--stub stub", 2, "no input"},
    };
    ASSERT_EQ(RunMake(scratch.path(), "-o out-prev.exe --stub stub dir/a\\ b.txt").status, 0);
    for (const Row& row : rows) {
        SCOPED_TRACE(row.arguments);
        const RunResult run = RunMake(scratch.path(), std::string("-o out/setup.exe ") + row.arguments);
        EXPECT_EQ(run.status, row.status) << run.output;
        EXPECT_NE(run.output.find(row.message), std::string::npos) << run.output;
        EXPECT_EQ(run.output.rfind("kvsfx-make: ", 0), 0u) << run.output;
        EXPECT_EQ(RunIn(scratch.path(), "test -z \"$(ls -A out)\"").status, 0) << "left behind in out/";
    }
    // Over 1256 bytes in all, each text within its capacity.
    const RunResult big = RunMake(scratch.path(), "-o out/setup.exe --stub stub --dest " + std::string(260, 'd') +
                                                      " --info " + std::string(511, 'i') + " --prompt " +
                                                      std::string(513, 'p') + " dir");
    EXPECT_EQ(big.status, 1);
    EXPECT_NE(big.output.find("at most 1256 fit"), std::string::npos) << big.output;
    EXPECT_EQ(RunMake(scratch.path(), "-o out/setup.exe --stub stub").status, 2);
    EXPECT_EQ(RunMake(scratch.path(), "--help").status, 0);
}

// Whatever names the output, the build never replaces what it reads: an
// input file, a file or a new file inside an input folder (also through a
// link), the input zip, the stub, the password file, or a volume of a set
// that would land on the input zip. Nothing is written.
TEST_F(BuilderTest, OutputsNeverReplaceWhatTheBuildReads) {
    MakeTree();
    ASSERT_EQ(RunIn(scratch.path(), "zip -q -r plain.zip dir && cp plain.zip setup.ZIP && echo secret > pw.txt && "
                                    "ln -s dir linked && ln dir/a\\ b.txt hard-link").status, 0);
    const std::string listing = "find . ! -name .run-output -type f -exec md5sum {} + | sort; find . | sort";
    const std::string before = RunIn(scratch.path(), listing).output;

    const struct {
        const char* arguments;
        const char* message;
    } rows[] = {
        {"-o dir/a\\ b.txt --stub stub dir/a\\ b.txt", "is the input \"dir/a b.txt\""},
        {"-o hard-link --stub stub dir/a\\ b.txt", "is the input"},
        {"-o dir/sizes/s0 --stub stub dir", "lies inside the input folder \"dir\""},
        {"-o dir/nested/new.exe --stub stub dir", "lies inside the input folder"},
        {"-o linked/new.exe --stub stub dir", "lies inside the input folder"},
        {"-o dir/sizes/new.exe --stub stub dir/nested dir/sizes", "lies inside the input folder \"dir/sizes\""},
        {"-o plain.zip --stub stub plain.zip", "is the input \"plain.zip\""},
        {"-o stub --stub stub dir/a\\ b.txt", "is the stub"},
        {"-o pw.txt --stub stub --password-file pw.txt dir/a\\ b.txt", "is the password file"},
        {"-o setup --span 8000 --stub stub setup.ZIP", "\"./setup.ZIP\" is the input \"setup.ZIP\""},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.arguments);
        const RunResult run = RunMake(scratch.path(), row.arguments);
        EXPECT_EQ(run.status, 1) << run.output;
        EXPECT_NE(run.output.find(row.message), std::string::npos) << run.output;
        EXPECT_EQ(RunIn(scratch.path(), listing).output, before) << "a file was written or replaced";
    }
    // Beside the inputs is fine.
    EXPECT_EQ(RunMake(scratch.path(), "-o dir-setup --stub stub dir").status, 0);
}

// Names that reach one path through "./", "//" or "/./" are stored in their
// plain form, so that the program creates what the zip means; "." and names
// ending in "/." name no file, and two spellings of one path are refused.
TEST_F(BuilderTest, ZipNamesWithDotAndEmptyPartsAreNormalOrRefused) {
    ASSERT_EQ(RunIn(scratch.path(),
        "python3 -c \"import zipfile\n"
        "z = zipfile.ZipFile('dots.zip', 'w', zipfile.ZIP_DEFLATED)\n"
        "z.writestr('./a.txt', b'a' * 50); z.writestr('b//c.txt', b'c'); z.writestr('d/./e.txt', b'e')\n"
        "z.writestr('.\\\\\\\\f\\\\\\\\g.txt', b'g'); z.writestr('h//', b'')\n"
        "z.close()\n"
        "for name, entries in [('dot', ['.']), ('dot-slash', ['./']), ('ends-dot', ['x/.']), "
        "('twice', ['./a', 'a']), ('twice2', ['x//y', 'x/./y/'])]:\n"
        "    z = zipfile.ZipFile(name + '.zip', 'w')\n"
        "    for e in entries: z.writestr(e, b'' if e.endswith('/') else b'x')\n"
        "    z.close()\" && mkdir refused").status, 0);
    std::vector<std::string> names;
    for (const WalkedEntry& entry : WalkSingle(Build("--stub stub dots.zip")).entries) names.push_back(entry.name);
    EXPECT_EQ(names, (std::vector<std::string>{"a.txt", "b/c.txt", "d/e.txt", "f/g.txt", "h/"}));
    // The program extracts every one of them.
    Build("--stub " + ShellQuote(KVSFX_STUB_PATH) + " dots.zip", "setup");
    const RunResult extract = RunIn(scratch.path(), "./setup -auto unpacked </dev/null");
    EXPECT_EQ(extract.status, 0) << extract.output;
    EXPECT_EQ(ReadBytes(scratch / "unpacked/a.txt"), Bytes(50, 'a'));
    EXPECT_EQ(ReadBytes(scratch / "unpacked/b/c.txt"), Bytes(1, 'c'));
    EXPECT_EQ(ReadBytes(scratch / "unpacked/f/g.txt"), Bytes(1, 'g'));
    EXPECT_TRUE(Exists(scratch / "unpacked/h"));

    const struct {
        const char* zip;
        const char* message;
    } rows[] = {
        {"dot.zip", "ends in \".\""},
        {"dot-slash.zip", "ends in \".\""},
        {"ends-dot.zip", "\"x/.\" ends in \".\""},
        {"twice.zip", "\"./a\" and \"a\" would be the same file or folder"},
        {"twice2.zip", "\"x//y\" and \"x/./y/\" would be the same file or folder"},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.zip);
        const RunResult run = RunMake(scratch.path(), std::string("-o refused/setup.exe --stub stub ") + row.zip);
        EXPECT_EQ(run.status, 1) << run.output;
        EXPECT_NE(run.output.find(row.message), std::string::npos) << run.output;
        EXPECT_EQ(RunIn(scratch.path(), "test -z \"$(ls -A refused)\"").status, 0) << "left behind";
    }
}

// A name's control characters never reach the terminal raw: ESC sequences,
// line ends and C1 controls (here as UTF-8) are shown as \xNN.
TEST_F(BuilderTest, MessagesEscapeControlCharactersOfNames) {
    ASSERT_EQ(RunIn(scratch.path(),
        "python3 -c \"import zipfile\n"
        "z = zipfile.ZipFile('esc.zip', 'w'); z.writestr('a\\x1b[31mred', b'x'); z.close()\n"
        "z = zipfile.ZipFile('c1.zip', 'w'); z.writestr('b\\u009b31m', b'x'); z.close()\" && "
        "mkdir lines && printf x > \"lines/two$(printf '\\n\\r')lines\"").status, 0);
    const struct {
        const char* input;
        const char* shown;
    } rows[] = {
        {"esc.zip", "\"a\\x1B[31mred\""},
        {"c1.zip", "\"b\\xC2\\x9B31m\""},
        {"lines", "\"lines/two\\x0A\\x0Dlines\""},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.input);
        const RunResult run = RunMake(scratch.path(), std::string("-o out/setup.exe --stub stub ") + row.input);
        EXPECT_EQ(run.status, 1) << run.output;
        EXPECT_NE(run.output.find(row.shown), std::string::npos) << run.output;
        ASSERT_FALSE(run.output.empty());
        EXPECT_EQ(run.output.find('\n'), run.output.size() - 1) << "one line";
        for (char c : run.output.substr(0, run.output.size() - 1))
            EXPECT_TRUE(c >= 0x20 && c < 0x7F) << "byte " << (int)(unsigned char)c;
    }
}

// Info-ZIP zip writes a Zip64 end record and locator when it reads standard
// input, although every value fits in 32 bits: such a zip is taken, also
// behind a stub. Zip64 values proper stay refused.
TEST_F(BuilderTest, ZipsWithAZip64LocatorButSmallValuesAreTaken) {
    ASSERT_EQ(RunIn(scratch.path(), "printf 'from standard input\\n' | zip -q piped.zip - && "
                                    "cat stub piped.zip > prefixed.zip").status, 0);
    const Bytes piped = ReadBytes(scratch / "piped.zip");
    ASSERT_GT(piped.size(), 98u);
    ASSERT_EQ(Le32(&piped[piped.size() - 22 - 20]), 0x07064B50u) << "the locator this test is about";
    for (const char* input : {"piped.zip", "prefixed.zip"}) {
        SCOPED_TRACE(input);
        const StubWalk walk = WalkSingle(Build(std::string("--stub stub ") + input));
        ASSERT_EQ(walk.entries.size(), 1u);
        EXPECT_EQ(walk.entries[0].name, "-");
        const std::string content(walk.entries[0].content.begin(), walk.entries[0].content.end());
        EXPECT_EQ(content, "from standard input\n");
    }
    // The Zip64 end record disagreeing with the end record: refused.
    Bytes altered = piped;
    SetLe32(&altered[piped.size() - 22 - 20 - 56 + 40], 1000);
    WriteBytes(scratch / "altered.zip", altered);
    const RunResult run = RunMake(scratch.path(), "-o out/setup.exe --stub stub altered.zip");
    EXPECT_EQ(run.status, 1);
    EXPECT_NE(run.output.find("Zip64"), std::string::npos) << run.output;
}

}  // namespace
