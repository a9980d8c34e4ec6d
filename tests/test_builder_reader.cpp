// kvsfx-make --list, --test and --extract on self-extracting files it made
// with the Linux stub, a PE32 stub (the real kvsfx32.exe when its build is
// there) and fake PE32+ stubs: what is listed, what damage is found, that
// extraction gives back the packed tree, and that hostile names, links and
// existing files are refused before anything is written.
#include <sys/time.h>
#include <time.h>

#include <cstring>
#include <map>

#include <gtest/gtest.h>
#include <zlib.h>

#include "support/codec_control.h"
#include "support/data.h"
#include "support/files.h"
#include "format/bytes.h"
#include "support/sfx_image.h"
#include "support/stub_walk.h"

namespace {

// The builder's options naming the Linux stub.
const std::string kLinuxStub = "--stub " + ShellQuote(KVSFX_STUB_PATH) + " ";

class ReaderTest : public ::testing::Test {
protected:
    void SetUp() override {
        WriteBytes(scratch / "pe64", FakeStub(StubKind::Pe32Plus));
        for (const char* folder : {"tree", "tree/sub", "tree/sub/deep", "tree/empty"})
            mkdir((scratch / folder).c_str(), 0777);
        files_ = {
            {"tree/hello.txt", Bytes{'h', 'e', 'l', 'l', 'o', '\n'}},
            {"tree/caf\xC3\xA9.txt", TextBytes(40, 3)},
            {"tree/sub/text.txt", TextBytes(70000)},
            {"tree/sub/noise.bin", NoiseBytes(5000)},
            {"tree/sub/deep/empty.dat", Bytes()},
        };
        for (const auto& file : files_) WriteBytes(scratch / file.first, file.second);
    }

    void Make(const std::string& arguments, const std::string& output = "setup") {
        const RunResult run = RunMake(scratch.path(), "-o " + output + " " + arguments);
        ASSERT_EQ(run.status, 0) << run.output;
    }
    RunResult RunReader(const std::string& arguments) { return RunMake(scratch.path(), arguments); }

    // The extracted tree under dest equals the packed one, file times to
    // the DOS two seconds.
    void ExpectTreeExtracted(const std::string& dest) {
        for (const auto& file : files_) {
            const std::string path = scratch / (dest + "/" + file.first);
            EXPECT_EQ(ReadBytes(path), file.second) << path;
            struct stat packed, extracted;
            ASSERT_EQ(stat((scratch / file.first).c_str(), &packed), 0);
            ASSERT_EQ(stat(path.c_str(), &extracted), 0) << path;
            EXPECT_LE(llabs((long long)packed.st_mtime - (long long)extracted.st_mtime), 2) << path;
        }
        struct stat info;
        EXPECT_EQ(stat((scratch / (dest + "/tree/empty")).c_str(), &info), 0) << "the empty folder";
        EXPECT_TRUE(S_ISDIR(info.st_mode));
        // No temporary file left beside the extracted ones.
        EXPECT_EQ(RunIn(scratch.path(), "find " + dest + " -name '*kvsfx-*' | grep -q .").status, 1);
    }

    // Writes a copy of setup with every copy of `from` in its archive
    // replaced by `to` (of the same length).
    // Writes a copy of `from` with every copy of `name` in its archive
    // replaced by `to` (of the same length): its local and central headers.
    void PatchName(const std::string& from, const std::string& name, const std::string& to,
                   const std::string& output) {
        ASSERT_EQ(name.size(), to.size());
        Bytes file = ReadBytes(scratch / from);
        const uint32_t start = ReadBlock(file, FindBlock(file)).archiveStart;
        int replaced = 0;
        for (size_t at = start; at + name.size() <= file.size(); at++) {
            if (memcmp(&file[at], name.data(), name.size()) != 0) continue;
            memcpy(&file[at], to.data(), to.size());
            replaced++;
        }
        ASSERT_EQ(replaced, 2) << "the local and the central header";
        WriteBytes(scratch / output, file);
    }

    // Writes a copy of `from` whose header holds `header` instead: the same
    // length, so the archive stays where it is.
    void ForgeHeader(const std::string& from, const std::string& header, const std::string& output) {
        Bytes file = ReadBytes(scratch / from);
        const Block block = ReadBlock(file, FindBlock(file));
        ASSERT_EQ(header.size(), block.archiveStart - block.headerOffset);
        memcpy(&file[block.headerOffset], header.data(), header.size());
        WriteBytes(scratch / output, file);
    }

    static size_t FindBlock(const Bytes& file) {
        for (size_t at = 0; at + 8 <= file.size(); at++)
            if (memcmp(&file[at], kBlockSignature, 8) == 0) return at;
        ADD_FAILURE() << "no configuration block";
        return 0;
    }

    ScratchFolder scratch;
    std::map<std::string, Bytes> files_;
};

bool Has(const RunResult& run, const std::string& text) { return run.output.find(text) != std::string::npos; }

TEST_F(ReaderTest, ListShowsSettingsAndEveryEntry) {
    Make(std::string("--stub ") + ShellQuote(KVSFX_STUB_PATH) +
         " --dest 'C:\\Outils' --title Titre --prompt 'On y va ?' --prompt-style okcancel --info 'Infos' --auto"
         " --overwrite --level 9 tree");
    const RunResult run = RunReader("--list setup");
    ASSERT_EQ(run.status, 0) << run.output;
    EXPECT_TRUE(Has(run, "Stub:           ELF 64-bit (Linux)")) << run.output;
    EXPECT_TRUE(Has(run, "Destination:    \"C:\\Outils\"")) << run.output;
    EXPECT_TRUE(Has(run, "Title:          \"Titre\"")) << run.output;
    EXPECT_TRUE(Has(run, "Prompt:         \"On y va ?\", answered OK or Cancel")) << run.output;
    EXPECT_TRUE(Has(run, "Information:    \"Infos\"")) << run.output;
    EXPECT_TRUE(Has(run, "Options:        automatic, overwrite without asking")) << run.output;
    // Size, packed size, method, CRC, encryption and name, one line each.
    EXPECT_TRUE(Has(run, "         6          6 stored")) << run.output;
    EXPECT_TRUE(Has(run, "363a3020 no        tree/hello.txt\n")) << run.output;
    EXPECT_TRUE(Has(run, " deflated ")) << run.output;
    EXPECT_TRUE(Has(run, "tree/caf\xC3\xA9.txt\n")) << "names come back in UTF-8: " << run.output;
    EXPECT_TRUE(Has(run, "tree/empty/\n")) << run.output;
    EXPECT_TRUE(Has(run, "tree/sub/deep/empty.dat\n")) << run.output;

    Make("--stub pe64 --password pw tree", "setup64.exe");
    const RunResult pe = RunReader("--list setup64.exe");
    ASSERT_EQ(pe.status, 0) << pe.output;
    EXPECT_TRUE(Has(pe, "Stub:           PE32+ (Windows, 64-bit)")) << pe.output;
    EXPECT_TRUE(Has(pe, "Destination:    a temporary folder")) << pe.output;
    EXPECT_TRUE(Has(pe, "Options:        password")) << pe.output;
    EXPECT_TRUE(Has(pe, " yes       tree/hello.txt")) << pe.output;
}

TEST_F(ReaderTest, WindowsStubIsReadAndExtractedOnLinux) {
#ifdef KVSFX_WIN32_STUB
    const std::string stub = KVSFX_WIN32_STUB;
#else
    const std::string stub;
#endif
    if (stub.empty() || !Exists(stub)) GTEST_SKIP() << "no build of kvsfx32.exe (KVSFX_WIN32_DIR)";
    Make("--stub " + ShellQuote(stub) + " --dest . --crc-after-headers tree", "setup.exe");
    const RunResult list = RunReader("--list setup.exe");
    ASSERT_EQ(list.status, 0) << list.output;
    EXPECT_TRUE(Has(list, "Stub:           PE32 (Windows, 32-bit)")) << list.output;
    EXPECT_TRUE(Has(list, "after the executable headers")) << list.output;
    EXPECT_TRUE(Has(list, "(the folder the program is run from)")) << list.output;
    EXPECT_EQ(RunReader("--test setup.exe").status, 0);
    const RunResult run = RunReader("--extract setup.exe unpacked");
    ASSERT_EQ(run.status, 0) << run.output;
    ExpectTreeExtracted("unpacked");
}

TEST_F(ReaderTest, TestFindsEveryKindOfDamage) {
    Make(kLinuxStub + "--level 0 tree");
    const RunResult good = RunReader("--test setup");
    EXPECT_EQ(good.status, 0) << good.output;
    EXPECT_TRUE(Has(good, "5 files checked, no problem found")) << good.output;

    const Bytes file = ReadBytes(scratch / "setup");
    const size_t blockAt = FindBlock(file);
    const Block block = ReadBlock(file, blockAt);

    // A byte of the stub's code.
    Bytes stub = file;
    stub[blockAt / 2] ^= 0x20;
    WriteBytes(scratch / "stub-damaged", stub);
    const RunResult stubRun = RunReader("--test stub-damaged");
    EXPECT_EQ(stubRun.status, 2) << stubRun.output;
    EXPECT_TRUE(Has(stubRun, "the stub or its texts are damaged")) << stubRun.output;
    EXPECT_EQ(RunReader("--extract stub-damaged x").status, 2);
    EXPECT_FALSE(Exists(scratch / "x"));

    // A byte of a stored file's data: its CRC names it, and the other files
    // are still checked.
    Bytes data = file;
    const std::string name = "tree/sub/noise.bin";
    const auto at = std::search(data.begin() + block.archiveStart, data.end(), name.begin(), name.end());
    ASSERT_NE(at, data.end());
    const size_t header = (size_t)(at - data.begin()) - 30;
    data[header + 30 + LoadLe16(&data[header + 26]) + LoadLe16(&data[header + 28]) + 100] ^= 1;
    WriteBytes(scratch / "data-damaged", data);
    const RunResult dataRun = RunReader("--test data-damaged");
    EXPECT_EQ(dataRun.status, 2) << dataRun.output;
    EXPECT_TRUE(Has(dataRun, "entry \"tree/sub/noise.bin\": bad CRC")) << dataRun.output;
    EXPECT_TRUE(Has(dataRun, "1 problem found")) << dataRun.output;
    // Extraction stops there and leaves no half-written file.
    const RunResult extract = RunReader("--extract data-damaged x");
    EXPECT_EQ(extract.status, 2) << extract.output;
    EXPECT_FALSE(Exists(scratch / "x/tree/sub/noise.bin"));
    EXPECT_EQ(RunIn(scratch.path(), "find x -name '*kvsfx-*' | grep -q .").status, 1) << "a temporary file is left";

    // The archive cut short.
    Bytes cut(file.begin(), file.end() - 200);
    WriteBytes(scratch / "cut", cut);
    const RunResult cutRun = RunReader("--test cut");
    EXPECT_EQ(cutRun.status, 2) << cutRun.output;
    EXPECT_TRUE(Has(cutRun, "cut short")) << cutRun.output;

    // With --crc-after-headers, a change inside the executable's headers is
    // not the stub's damage; one after them is.
    Make("--stub pe64 --crc-after-headers tree", "signed.exe");
    Bytes signedFile = ReadBytes(scratch / "signed.exe");
    signedFile[0x90] ^= 0xFF;  // inside the NT headers
    WriteBytes(scratch / "signed.exe", signedFile);
    EXPECT_EQ(RunReader("--test signed.exe").status, 0);
    signedFile[0x300] ^= 0xFF;
    WriteBytes(scratch / "signed.exe", signedFile);
    EXPECT_EQ(RunReader("--test signed.exe").status, 2);
}

// A wrong password, "other" or "other1", "other2"...: the first that fails
// the check byte of every encrypted entry of file. The builder draws each
// entry's encryption header at random, and one wrong password in 256 passes
// an entry's check (the reader then finds the entry's CRC wrong instead).
std::string PasswordFailingEveryCheck(const Bytes& file) {
    for (int attempt = 0;; attempt++) {
        const std::string candidate = attempt == 0 ? "other" : "other" + std::to_string(attempt);
        bool passesOne = false;
        int encrypted = 0;
        // The stub holds no whole signature: each one is a local header.
        for (size_t at = 0; at + kLocalFixedSize <= file.size() && !passesOne; at++) {
            if (LoadLe32(&file[at]) != (uint32_t)kLocalSignature || !(LoadLe16(&file[at + 6]) & kFlagEncrypted))
                continue;
            const size_t header = at + kLocalFixedSize + LoadLe16(&file[at + 26]) + LoadLe16(&file[at + 28]);
            if (header + kEncryptionHeaderSize > file.size()) continue;
            const uint8_t check = LoadLe16(&file[at + 6]) & kFlagDescriptor ? (uint8_t)(LoadLe16(&file[at + 10]) >> 8)
                                                                            : (uint8_t)(LoadLe32(&file[at + 14]) >> 24);
            uint8_t bytes[kEncryptionHeaderSize];
            memcpy(bytes, &file[header], sizeof bytes);
            TraditionalCipher(candidate).Decrypt(bytes, sizeof bytes);
            passesOne = bytes[11] == check;
            encrypted++;
        }
        if (encrypted == 0) ADD_FAILURE() << "no encrypted entry found";
        if (!passesOne) return candidate;
    }
}

TEST_F(ReaderTest, PasswordIsCheckedLikeTheProgramChecksIt) {
    Make(kLinuxStub + "--password 'Mot de passe' tree");
    const RunResult none = RunReader("--test setup");
    EXPECT_EQ(none.status, 2) << none.output;
    EXPECT_TRUE(Has(none, "is encrypted: give its password with --password")) << none.output;
    const std::string other = PasswordFailingEveryCheck(ReadBytes(scratch / "setup"));
    const RunResult wrong = RunReader("--test setup --password " + other);
    EXPECT_EQ(wrong.status, 2) << wrong.output;
    EXPECT_TRUE(Has(wrong, "wrong password")) << wrong.output;
    EXPECT_EQ(RunReader("--extract setup x --password " + other).status, 2);
    EXPECT_FALSE(Exists(scratch / "x")) << "refused before anything is written";
    EXPECT_EQ(RunReader("--test setup --password 'Mot de passe'").status, 0);
    const RunResult run = RunReader("--extract setup x --password 'Mot de passe'");
    ASSERT_EQ(run.status, 0) << run.output;
    ExpectTreeExtracted("x");

    // An archiver's encrypted zip behind a data descriptor: the check byte
    // is the time's high byte there.
    Make(kLinuxStub + "" +
             ShellQuote(std::string(KVSFX_SOURCE_DIR) + "/tests/data/zipcrypto/infozip_stored.zip"),
         "zipped");
    EXPECT_EQ(RunReader("--test zipped --password 'Secret 42'").status, 0);
    EXPECT_EQ(RunReader("--test zipped --password 'Secret 43'").status, 2);
}

TEST_F(ReaderTest, ExtractGivesBackTheTree) {
    Make(kLinuxStub + "tree");
    const RunResult good = RunReader("--extract setup new/dest");
    ASSERT_EQ(good.status, 0) << good.output;
    EXPECT_TRUE(Has(good, "5 files extracted into new/dest")) << good.output;
    ExpectTreeExtracted("new/dest");

    // An existing file is replaced only when asked.
    WriteText(scratch / "new/dest/tree/hello.txt", "mine");
    const RunResult again = RunReader("--extract setup new/dest");
    EXPECT_EQ(again.status, 2) << again.output;
    EXPECT_TRUE(Has(again, "already exists; --overwrite replaces it")) << again.output;
    EXPECT_EQ(ReadBytes(scratch / "new/dest/tree/hello.txt"), (Bytes{'m', 'i', 'n', 'e'}));
    EXPECT_EQ(RunReader("--extract setup new/dest --overwrite").status, 0);
    ExpectTreeExtracted("new/dest");

    // A spanned set, volumes where the builder put them, both namings.
    mkdir((scratch / "span").c_str(), 0777);
    mkdir((scratch / "exe").c_str(), 0777);
    Make("--stub pe64 --span 20k --level 0 tree", "span/SETUP.EXE");
    EXPECT_TRUE(Exists(scratch / "span/disk3/SETUP.ZIP"));
    const RunResult spanList = RunReader("--list span/SETUP.EXE");
    EXPECT_EQ(spanList.status, 0) << spanList.output;
    EXPECT_TRUE(Has(spanList, "spanned over disks")) << spanList.output;
    ASSERT_EQ(RunReader("--extract span/SETUP.EXE spanned").status, 0);
    ExpectTreeExtracted("spanned");
    Make("--stub pe64 --span 20k --level 0 --exe-volumes tree", "exe/SETUP.EXE");
    ASSERT_EQ(RunReader("--extract exe/SETUP.EXE exevolumes").status, 0);
    ExpectTreeExtracted("exevolumes");
    unlink((scratch / "exe/disk2/SETUP.EXE").c_str());
    EXPECT_EQ(RunReader("--test exe/SETUP.EXE").status, 2) << "a volume missing";
}

TEST_F(ReaderTest, HostileNamesAndLinksAreRefusedBeforeAnythingIsWritten) {
    mkdir((scratch / "one").c_str(), 0777);
    WriteText(scratch / "one/abcdefghijklmnop.txt", "payload");
    WriteText(scratch / "one/x1.txt", "first");
    WriteText(scratch / "one/x2.txt", "second");
    Make(kLinuxStub + "one");
    ASSERT_EQ(RunReader("--extract setup plain").status, 0);

    const std::string outside = scratch / "outside";
    mkdir(outside.c_str(), 0777);
    const std::string hostile[] = {
        "../outside/evil.txt",        // climbs out
        "one/../../outside/ev",       // climbs out further down
        "/tmp/kvsfx-evil-abc9",       // rooted
        "one\\..\\..\\outside\\e",    // climbs with Windows separators
        "C:/outside/evil.txt",        // a drive
        "subfolder/CON.txt.ab",       // a device name
        "subfolder/CONOUT$.ab",       // a console
        "one/evil.txt .../abcdefg",   // a part ending in dots, which Windows drops
    };
    for (std::string name : hostile) {
        name.resize(24, 'x');
        PatchName("setup", "one/abcdefghijklmnop.txt", name, "hostile");
        const RunResult run = RunReader("--extract hostile dest");
        EXPECT_EQ(run.status, 2) << name << ": " << run.output;
        EXPECT_TRUE(Has(run, "nothing extracted")) << name << ": " << run.output;
        EXPECT_EQ(RunIn(scratch.path(), "find dest outside -type f | grep -q .").status, 1) << name;
        if (name[0] == '/') {
            EXPECT_FALSE(Exists(name));
        }
        EXPECT_EQ(RunReader("--list hostile").status, 2) << name;
    }
    // Two names for one file on Windows: the second would silently replace
    // the first.
    PatchName("setup", "x2.txt", "X1.txt", "twice");
    const RunResult twice = RunReader("--extract twice dest");
    EXPECT_EQ(twice.status, 2) << twice.output;
    EXPECT_TRUE(Has(twice, "would be the same file")) << twice.output;
    EXPECT_FALSE(Exists(scratch / "dest/one"));

    // A link under the destination, where the archive puts a file.
    mkdir((scratch / "linked").c_str(), 0777);
    ASSERT_EQ(symlink("../outside", (scratch / "linked/one").c_str()), 0);
    Make(kLinuxStub + "one");
    const RunResult link = RunReader("--extract setup linked");
    EXPECT_EQ(link.status, 2) << link.output;
    EXPECT_TRUE(Has(link, "is a symbolic link")) << link.output;
    EXPECT_FALSE(Exists(outside + "/abcdefghijklmnop.txt"));
    unlink((scratch / "linked/one").c_str());
    mkdir((scratch / "linked/one").c_str(), 0777);
    ASSERT_EQ(symlink("../../outside/x.txt", (scratch / "linked/one/abcdefghijklmnop.txt").c_str()), 0);
    EXPECT_EQ(RunReader("--extract setup linked --overwrite").status, 2);
    EXPECT_FALSE(Exists(outside + "/x.txt"));
}

TEST_F(ReaderTest, ProgramToRunIsListedAndChecked) {
    Make(kLinuxStub + "--run 'tree/sub/text.txt /quiet' tree");
    const RunResult list = RunReader("--list setup");
    ASSERT_EQ(list.status, 0) << list.output;
    EXPECT_TRUE(Has(list, "Program to run: \"tree/sub/text.txt /quiet\"\n")) << list.output;
    EXPECT_TRUE(Has(list, "Options:        run a program after extraction\n")) << list.output;
    EXPECT_EQ(RunReader("--test setup").status, 0);

    // The five texts may fill their 1256 bytes: the program's line comes on
    // top of them.
    const std::string program = "tree/hello.txt " + std::string(496, 'a');
    Make(kLinuxStub + "--prompt " + std::string(513, 'p') + " --info " + std::string(511, 'i') + " --title " +
             std::string(64, 't') + " --dest " + std::string(160, 'd') + " --run '" + program + "' tree",
         "long");
    const RunResult longList = RunReader("--list long");
    ASSERT_EQ(longList.status, 0) << longList.output;
    EXPECT_TRUE(Has(longList, "Program to run: \"" + program + "\"\n")) << longList.output;
    EXPECT_EQ(RunReader("--test long").status, 0);
}

TEST_F(ReaderTest, ForgedProgramTextIsRefused) {
    // Without a checksum, so that only the header speaks.
    const std::string info(511, 'i');
    Make(kLinuxStub + "--no-stub-crc --info " + info + " --run 'tree/sub/text.txt --with \"two words\"' tree");
    const Bytes file = ReadBytes(scratch / "setup");
    const Block block = ReadBlock(file, FindBlock(file));
    ASSERT_NE(block.flags & 0x1000000u, 0u) << "the flag announcing the program";
    const size_t length = block.archiveStart - block.headerOffset;
    // The five texts, a prompt and an information text padding the header
    // to its length, then `tail`: the program's text and what follows it.
    auto header = [&](const std::string& tail) {
        const size_t fill = length - 5 - tail.size(), prompt = std::min<size_t>(fill, 400);
        return std::string(2, '\0') + std::string(prompt, 'p') + '\0' + '\0' + std::string(fill - prompt, 'i') +
               '\0' + tail;
    };
    const struct {
        const char* what;
        std::string header;
    } damaged[] = {
        {"unterminated", header(std::string(20, 'a'))},
        {"512 characters", header(std::string(512, 'a') + '\0')},
        {"empty", header(std::string(1, '\0'))},
        {"missing", header("")},
        {"a title over its capacity", std::string(3, '\0') + std::string(65, 't') + '\0' +
                                           std::string(length - 3 - 66 - 10, 'i') + '\0' + "tree/a.x" + '\0'},
    };
    for (const auto& forged : damaged) {
        ForgeHeader("setup", forged.header, "forged");
        const RunResult list = RunReader("--list forged");
        EXPECT_EQ(list.status, 2) << forged.what << ": " << list.output;
        EXPECT_TRUE(Has(list, "the header of texts is damaged")) << forged.what << ": " << list.output;
        EXPECT_EQ(RunReader("--test forged").status, 2) << forged.what;
    }
    // 511 characters still fit.
    ForgeHeader("setup", header("tree/a.x " + std::string(502, 'a') + '\0'), "forged");
    EXPECT_EQ(RunReader("--test forged").status, 0);

    // A program the builder would not take: outside the destination.
    for (const std::string& line : {std::string("../evil.exe"), std::string("/bin/sh -c x"),
                                    std::string("\"tree/unclosed arg"), std::string("   ")}) {
        ForgeHeader("setup", header(line + '\0'), "forged");
        const RunResult test = RunReader("--test forged");
        EXPECT_EQ(test.status, 2) << line << ": " << test.output;
        EXPECT_TRUE(Has(test, "program to run")) << line << ": " << test.output;
        EXPECT_EQ(RunReader("--list forged").status, 0) << line;
    }
}

TEST_F(ReaderTest, ControlCharactersReachNoTerminal) {
    mkdir((scratch / "one").c_str(), 0777);
    WriteText(scratch / "one/abcdefghijklmnop.txt", "payload");
    Make(kLinuxStub + "--no-stub-crc --title abcdefgh --run 'one/abcdefghijklmnop.txt' one");
    PatchName("setup", "one/abcdefghijklmnop.txt", "one/ab\x1B[2J\x1B[31mijklm.txt", "hostile");
    Bytes file = ReadBytes(scratch / "hostile");
    const Block block = ReadBlock(file, FindBlock(file));
    const std::string title = "ab\x1B]0;x\x07";
    std::string header(file.begin() + block.headerOffset, file.begin() + block.archiveStart);
    header.replace(header.find("abcdefgh"), title.size(), title);
    header.replace(header.find("one/abcdefghijklmnop.txt"), 24, "one/\x1B[1mefghijklmnop.txt");
    ForgeHeader("hostile", header, "hostile");
    for (const char* command : {"--list", "--test", "--extract"}) {
        const std::string extract = std::string(command) == "--extract" ? " dest" : "";
        const RunResult run = RunReader(std::string(command) + " hostile" + extract);
        EXPECT_EQ(run.status, 2) << command << ": " << run.output;
        EXPECT_EQ(run.output.find_first_of("\x1B\x07"), std::string::npos) << command << ": " << run.output;
        EXPECT_TRUE(Has(run, "one/ab\\x1B[2J\\x1B[31mijklm.txt")) << command << ": " << run.output;
        if (std::string(command) == "--list") {
            EXPECT_TRUE(Has(run, "Title:          \"ab\\x1B]0;x\\x07\"")) << run.output;
            EXPECT_TRUE(Has(run, "Program to run: \"one/\\x1B[1mefghijklmnop.txt\"")) << run.output;
        }
    }
}

TEST_F(ReaderTest, CommandLineMistakes) {
    Make(kLinuxStub + "tree");
    EXPECT_EQ(RunReader("--extract setup").status, 2);
    EXPECT_EQ(RunReader("--list setup --test setup").status, 2);
    EXPECT_EQ(RunReader("--list setup -o x").status, 2);
    const RunResult missing = RunReader("--list nothing-here");
    EXPECT_EQ(missing.status, 2) << missing.output;
    const RunResult stub = RunReader(std::string("--list ") + ShellQuote(KVSFX_STUB_PATH));
    EXPECT_EQ(stub.status, 2) << stub.output;
    EXPECT_TRUE(Has(stub, "bare stub")) << stub.output;
    const RunResult text = RunReader("--test tree/hello.txt");
    EXPECT_EQ(text.status, 2) << text.output;
    EXPECT_TRUE(Has(text, "not a self-extracting file")) << text.output;
}

}  // namespace
