// The main sequence end to end, in-process through the scripted seam, on
// self-extracting files made field by field: what the user sees and the exit
// code for every refusal, "-info", the header and checksum edge cases, the
// start-up prompt, and the argument-text cut of the entry point.
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <filesystem>
#include <string>

#include "failure/failure.h"
#include "resources/messages.h"
#include "startup/startup.h"
#include "support/fake_platform.h"
#include "support/files.h"
#include "support/sfx_image.h"
#include "support/stub_state.h"

namespace {

const std::string kHeaderCorrupt =
    "Kelvra Self-Extractor header corrupt.  Possible cause:  bad disk or file transfer error";

class StartUp : public ::testing::Test {
protected:
    void SetUp() override {
        InstallFakePlatform();
        savedFolder = std::filesystem::current_path();
        // The terminal front-end reads its commands from standard input: none.
        ASSERT_NE(freopen("/dev/null", "r", stdin), nullptr);
    }
    void TearDown() override {
        std::filesystem::current_path(savedFolder);
        RestoreRealPlatform();
    }

    // Writes image as the program file and runs the main sequence on args.
    uint32_t Run(const SfxImage& image, const std::string& args, const std::string& name = "setup.exe") {
        std::string path = folder.Write(name, image.bytes);
        UseImage(path, image);
        return RunSfxMain(args);
    }

    // The one box the run showed, with its text in UTF-8.
    RecordedBox OnlyBox() {
        EXPECT_EQ(fake.boxes.size(), 1u);
        if (fake.boxes.empty()) return {};
        RecordedBox box = fake.boxes[0];
        box.text = Utf8(box.text);
        return box;
    }

    ScratchFolder folder;
    std::filesystem::path savedFolder;
};

SfxOptions WithInfo(const std::string& info) {
    SfxOptions options;
    options.texts = {"C:\\Dest", "", "", "", info};
    return options;
}

TEST(ArgumentText, IsCutAfterTheProgramName) {
    struct Case {
        const char* commandLine;
        const char* arguments;
    } cases[] = {
        {"\"C:\\Prog\\setup.exe\"", ""},                  // quoted name alone
        {"\"C:\\Prog\\setup.exe\" -auto", " -auto"},      // after a quoted name: begins with the blank
        {"\"C:\\My Prog\\setup.exe\" -auto", " -auto"},   // blanks inside quotes belong to the name
        {"setup.exe  -auto", " -auto"},                   // unquoted, two blanks: one remains
        {"setup.exe -auto x", "-auto x"},
        {"setup.exe", ""},
        {"\"unterminated name", ""},
        {"\"", ""},                                       // the first character is always the name's
        {" -auto x", "x"},                                // a leading blank belongs to the name
        {"", ""},                                         // nothing to cut, nothing read past the end
    };
    for (const Case& c : cases) {
        std::string line = c.commandLine;
        std::vector<char> text(line.begin(), line.end());
        text.push_back(0);
        EXPECT_STREQ(CutArgumentText(text.data()), c.arguments) << c.commandLine;
    }
}

TEST_F(StartUp, InfoShowsTheHeaderTextWhereverItStands) {
    struct Case {
        const char* args;
        bool shown;
    } cases[] = {
        {"-info", true},
        {" -auto -info", true},       // after another switch
        {"x-infoy", true},            // inside a longer word
        {"-auto C:\\x-information", true},
        {"-INFO", false},             // case matters
        {"-inf", false},
        {"", false},
    };
    for (const Case& c : cases) {
        InstallFakePlatform();
        // An incomplete file: without "-info" the run stops at the completion marker.
        SfxOptions options = WithInfo("-win32 -noac -lf -d* -overwrite");
        options.completeMark = 0;
        uint32_t code = Run(MakeSfx(options), c.args);
        RecordedBox box = OnlyBox();
        if (c.shown) {
            EXPECT_EQ(code, 0u) << c.args;
            EXPECT_EQ(box.text, "-win32 -noac -lf -d* -overwrite") << c.args;
            EXPECT_EQ(box.caption, programTitle);
            EXPECT_EQ(box.style, kBoxOk);
            EXPECT_FALSE(box.hadOwner);
        } else {
            EXPECT_EQ(code, 2u) << c.args;
            EXPECT_EQ(box.text, Message(MSG_SFX_INCOMPLETE)) << c.args;
        }
    }
}

TEST_F(StartUp, InfoWithoutHeaderShowsAnEmptyBox) {
    SfxOptions options;
    options.header = false;
    EXPECT_EQ(Run(MakeSfx(options), "-info"), 0u);
    EXPECT_EQ(OnlyBox().text, "");
}

// Every refusal of the file or the system: its box, and exit code 2.
TEST_F(StartUp, RefusalsShowTheirMessageAndExitWith2) {
    enum Damage { kMissingFile, kStubByte, kHeaderPastEnd, kEndRecordMoved, kEntryPoint, kOldSystem, kIncomplete };
    struct Case {
        Damage damage;
        const char* what;
        int message;  // -1: the header-corrupt text
        uint32_t style;
    } cases[] = {
        {kMissingFile, "program file cannot be opened", -1, kBoxIconError},
        {kStubByte, "stub checksum wrong", -1, kBoxIconError},
        {kHeaderPastEnd, "header unreadable", -1, kBoxIconError},
        {kEndRecordMoved, "end record not at its place", MSG_FILE_DAMAGED, kBoxIconError},
        {kEntryPoint, "entry point differs", MSG_FILE_DAMAGED, kBoxIconError},
        {kOldSystem, "system version 3", MSG_NEEDS_WIN32, kBoxOk},
        {kIncomplete, "completion marker 0", MSG_SFX_INCOMPLETE, kBoxIconError},
    };
    for (const Case& c : cases) {
        InstallFakePlatform();
        SfxImage image = MakeSfx(WithInfo("info"));
        std::string path = folder.Write("setup.exe", image.bytes);
        switch (c.damage) {
        case kMissingFile: path = folder.path() + "/missing.exe"; break;
        case kStubByte: image.bytes[0x300] ^= 1; break;
        case kHeaderPastEnd:
            image.block.headerOffset = (uint32_t)image.bytes.size() + 10;
            image.block.archiveStart = image.block.headerOffset + 20;
            Stamp(image, false);
            break;
        case kEndRecordMoved: image.block.endRecordOffset += 1; Stamp(image); break;
        case kEntryPoint: image.block.entryRva += 0x10; Stamp(image); break;
        case kOldSystem: sfxPlatform.systemVersion = [] { return 0x80000003u; }; break;
        case kIncomplete: image.block.completeMark = 0; Stamp(image); break;
        }
        if (c.damage != kMissingFile) WriteFileBytes(path, image.bytes);
        UseImage(path, image);
        EXPECT_EQ(RunSfxMain(""), 2u) << c.what;
        RecordedBox box = OnlyBox();
        EXPECT_EQ(box.text, c.message < 0 ? kHeaderCorrupt : Message(c.message)) << c.what;
        EXPECT_EQ(box.caption, programTitle) << c.what;
        EXPECT_EQ(box.style, c.style) << c.what;
        EXPECT_FALSE(box.hadOwner) << c.what;
    }
}

// The checks run in order: "-info" passes a wrong system version and a
// missing completion marker, but not a wrong entry point.
TEST_F(StartUp, InfoComesAfterTheFileChecksAndBeforeTheSystemChecks) {
    SfxImage image = MakeSfx(WithInfo("info"));
    image.block.completeMark = 0;
    Stamp(image);
    sfxPlatform.systemVersion = [] { return 3u; };
    EXPECT_EQ(Run(image, "-info"), 0u);
    EXPECT_EQ(OnlyBox().text, "info");

    InstallFakePlatform();
    image.block.entryRva = 1;
    Stamp(image);
    EXPECT_EQ(Run(image, "-info"), 2u);
    EXPECT_EQ(OnlyBox().text, Message(MSG_FILE_DAMAGED));
}

// Every block the start-up allocates: the three texts, the checksum buffer
// and the three codec buffers. Missing, the start-up ends with the
// header-corrupt text and exit code 2.
TEST_F(StartUp, MissingStartupMemoryIsHeaderCorrupt) {
    for (int failing = 1; failing <= 7; failing++) {
        InstallFakePlatform();
        fake.failAllocation = failing;
        EXPECT_EQ(Run(MakeSfx(WithInfo("info")), "-info"), 2u) << "allocation " << failing;
        EXPECT_EQ(OnlyBox().text, kHeaderCorrupt) << "allocation " << failing;
    }
}

TEST_F(StartUp, ExampleHeaderLayoutFillsTheTexts) {
    SfxOptions options;
    options.texts = {"C:\\WINDOWS\\system32", std::string(59, 'r'), "", "", "-win32 -noac -lf -d* -overwrite"};
    SfxImage image = MakeSfx(options);
    EXPECT_EQ(image.block.archiveStart - image.block.headerOffset, 0x72u);
    EXPECT_EQ(Run(image, "-info"), 0u);
    EXPECT_EQ(OnlyBox().text, "-win32 -noac -lf -d* -overwrite");
}

// Texts at their capacities pass; one character more, a header too long,
// texts not terminated inside it, or a header after the archive start are
// refused as corrupt, never copied past a buffer.
TEST_F(StartUp, HeaderLimits) {
    struct Case {
        const char* what;
        std::vector<std::string> texts;
        std::string rawHeader;
        bool accepted;
    } cases[] = {
        {"folder of 260", {std::string(260, 'f'), "", "", "", "i"}, "", true},
        {"folder of 261", {std::string(261, 'f'), "", "", "", "i"}, "", false},
        {"prompt of 513", {"", "", std::string(513, 'p'), "", "i"}, "", true},
        {"prompt of 514", {"", "", std::string(514, 'p'), "", "i"}, "", false},
        {"title of 64", {"", "", "", std::string(64, 't'), "i"}, "", true},
        {"title of 65", {"", "", "", std::string(65, 't'), "i"}, "", false},
        {"info of 511", {"", "", "", "", std::string(511, 'i')}, "", true},
        {"info of 512", {"", "", "", "", std::string(512, 'i')}, "", false},
        {"reserved text of 1000", {"", std::string(1000, 'r'), "", "", "i"}, "", true},
        {"header of 1257", {"", std::string(1251, 'r'), "", "", "i"}, "", false},
        {"fifth text not terminated", {}, std::string("a\0b\0\0\0info", 10), false},
        {"only four texts", {}, std::string("a\0b\0\0\0", 6), false},
    };
    for (const Case& c : cases) {
        InstallFakePlatform();
        SfxOptions options;
        if (!c.texts.empty()) options.texts = c.texts;
        options.rawHeader = c.rawHeader;
        options.flags = SFXF_CUSTOM_TITLE;
        SfxImage image = MakeSfx(options);
        uint32_t code = Run(image, "-info");
        ASSERT_FALSE(fake.boxes.empty()) << c.what;
        if (c.accepted) {
            EXPECT_EQ(code, 0u) << c.what;
            EXPECT_EQ(fake.boxes[0].text, c.texts[4]) << c.what;
        } else {
            EXPECT_EQ(code, 2u) << c.what;
            EXPECT_EQ(fake.boxes[0].text, kHeaderCorrupt) << c.what;
        }
    }

    // The header's offset after the archive start.
    InstallFakePlatform();
    SfxImage image = MakeSfx(WithInfo("info"));
    image.block.headerOffset = image.block.archiveStart + 4;
    Stamp(image);
    EXPECT_EQ(Run(image, "-info"), 2u);
    EXPECT_EQ(OnlyBox().text, kHeaderCorrupt);
}

TEST_F(StartUp, EndRecordCheck) {
    // A digital signature record where the end record is expected is accepted.
    SfxOptions options = WithInfo("info");
    options.digitalSignature = true;
    EXPECT_EQ(Run(MakeSfx(options), "-info"), 0u);
    EXPECT_EQ(OnlyBox().text, "info");

    // Offset 0: no check.
    InstallFakePlatform();
    SfxImage image = MakeSfx(WithInfo("info"));
    image.block.endRecordOffset = 0;
    Stamp(image);
    EXPECT_EQ(Run(image, "-info"), 0u);

    // A spanned set is not checked, even with a wrong offset. Its first disk
    // is asked for (by its label) before the header is read.
    InstallFakePlatform();
    image = MakeSfx(WithInfo("info"));
    image.block.flags = SFXF_SPANNED;
    image.block.endRecordOffset += 3;
    Stamp(image);
    fake.labelReadable = true;
    fake.label = "PKBACK# 001";
    EXPECT_EQ(Run(image, "-info", "SETUP.EXE"), 0u);
    EXPECT_EQ(OnlyBox().text, "info");
    EXPECT_GE(fake.labelQueries, 1);
}

// What the stub checksum covers, with and without SFXF_CRC_AFTER_HEADERS.
TEST_F(StartUp, StubChecksumCoverage) {
    const uint32_t kPeChecksumField = kSyntheticNtAt + 88;
    struct Case {
        const char* what;
        uint32_t flags;
        bool checksum;
        uint32_t tamperAt;  // 0: none
        bool accepted;
    } cases[] = {
        {"intact", 0, true, 0, true},
        {"intact, after headers", SFXF_CRC_AFTER_HEADERS, true, 0, true},
        {"NT headers changed", 0, true, kPeChecksumField, false},
        {"NT headers changed, after headers", SFXF_CRC_AFTER_HEADERS, true, kPeChecksumField, true},
        {"DOS header changed, after headers", SFXF_CRC_AFTER_HEADERS, true, 0x10, true},
        {"stub body changed, after headers", SFXF_CRC_AFTER_HEADERS, true, 0x300, false},
        {"first byte after the headers", SFXF_CRC_AFTER_HEADERS, true, kSyntheticHeadersEnd, false},
        {"header text changed", 0, true, 0x400 + 1, false},
        {"stub changed, no checksum", 0, false, 0x300, true},
    };
    for (const Case& c : cases) {
        InstallFakePlatform();
        SfxOptions options = WithInfo("info");
        options.flags = c.flags;
        options.checksum = c.checksum;
        SfxImage image = MakeSfx(options);
        if (c.tamperAt != 0) image.bytes[c.tamperAt] ^= 0x40;
        EXPECT_EQ(Run(image, "-info"), c.accepted ? 0u : 2u) << c.what;
        EXPECT_EQ(OnlyBox().text, c.accepted ? "info" : kHeaderCorrupt) << c.what;
    }
}

// The block's copy in the file is found by its signature: a copy of the
// signature earlier in the stub gets the wrong bytes zeroed and fails.
TEST_F(StartUp, SignatureBeforeTheBlockFailsTheChecksum) {
    SfxOptions options = WithInfo("info");
    memcpy(&options.stub[0x190], kBlockSignature, 8);
    EXPECT_EQ(Run(MakeSfx(options), "-info"), 2u);
    EXPECT_EQ(OnlyBox().text, kHeaderCorrupt);
}

// A block that claims more covered bytes than the file holds is refused
// before a block of that size is asked for (up to 2 GiB).
TEST_F(StartUp, ChecksumLongerThanTheFileIsCorruptWithoutItsMemory) {
    for (uint32_t archiveStart : {0x7FFFFFFFu, 0x10000000u}) {
        InstallFakePlatform();
        SfxImage image = MakeSfx(WithInfo("info"));
        const uint32_t fileLength = (uint32_t)image.bytes.size();
        image.block.archiveStart = archiveStart;  // the stub's own block: no copy in the file needed
        image.block.stubCrc = 1;
        EXPECT_EQ(Run(image, "-info"), 2u) << archiveStart;
        EXPECT_EQ(OnlyBox().text, kHeaderCorrupt) << archiveStart;
        EXPECT_LT(fake.largestAllocation, fileLength) << archiveStart;
    }
}

// With SFXF_CRC_AFTER_HEADERS, headers that do not lie inside the covered
// bytes are a damaged file, never a read outside the buffer.
TEST_F(StartUp, HeadersOutsideTheCoveredBytesAreCorrupt) {
    for (uint32_t ntOffset : {0x3F0u, 0x7FFFFFF0u, 0xFFFFFFFFu}) {
        InstallFakePlatform();
        SfxOptions options = WithInfo("info");
        options.flags = SFXF_CRC_AFTER_HEADERS;
        for (int i = 0; i < 4; i++) options.stub[0x3C + i] = (char)(ntOffset >> (8 * i));
        SfxImage image = MakeSfx(options);
        EXPECT_EQ(Run(image, "-info"), 2u) << ntOffset;
        EXPECT_EQ(OnlyBox().text, kHeaderCorrupt) << ntOffset;
    }
}

// The prompt's three button styles and caption. No or Cancel ends the
// program before the dialog: with 2 in automatic mode, where nothing was
// extracted, with 0 otherwise; any other answer goes on to the dialog, here
// in automatic mode, which extracts the archive.
TEST_F(StartUp, StartupPromptStyles) {
    struct Case {
        const char* what;
        uint32_t flags;
        int answer;
        uint32_t style;
        const char* caption;
        bool goesOn;
    } cases[] = {
        {"OK alone", 0, kAnswerOk, kBoxTaskModal | kBoxOk, programTitle, true},
        {"OK/Cancel bit alone has no effect", SFXF_PROMPT_OKCANCEL, kAnswerOk, kBoxTaskModal | kBoxOk, programTitle,
         true},
        {"question, Yes", SFXF_PROMPT_QUESTION, kAnswerYes, kBoxTaskModal | kBoxYesNo, programTitle, true},
        {"question, No", SFXF_PROMPT_QUESTION, kAnswerNo, kBoxTaskModal | kBoxYesNo, programTitle, false},
        {"OK/Cancel, OK", SFXF_PROMPT_QUESTION | SFXF_PROMPT_OKCANCEL, kAnswerOk, kBoxTaskModal | kBoxOkCancel,
         programTitle, true},
        {"OK/Cancel, Cancel", SFXF_PROMPT_QUESTION | SFXF_PROMPT_OKCANCEL, kAnswerCancel,
         kBoxTaskModal | kBoxOkCancel, programTitle, false},
        {"custom title", SFXF_PROMPT_QUESTION | SFXF_CUSTOM_TITLE, kAnswerNo, kBoxTaskModal | kBoxYesNo, "Mon titre",
         false},
    };
    for (const Case& c : cases) {
        InstallFakePlatform();
        SfxOptions options;
        options.texts = {"", "", "Continuer ?", "Mon titre", "info"};
        options.flags = c.flags;
        fake.answers = {c.answer};
        std::string out = folder.path() + "/out";
        std::filesystem::remove_all(out);
        EXPECT_EQ(Run(MakeSfx(options), "-auto " + out), c.goesOn ? 0u : 2u) << c.what;
        ASSERT_GE(fake.boxes.size(), 1u) << c.what;
        EXPECT_EQ(fake.boxes[0].text, "Continuer ?") << c.what;
        EXPECT_EQ(fake.boxes[0].style, c.style) << c.what;
        EXPECT_EQ(fake.boxes[0].caption, c.caption) << c.what;
        EXPECT_FALSE(fake.boxes[0].hadOwner) << c.what;
        EXPECT_EQ(std::filesystem::exists(out + "/a.txt"), c.goesOn) << c.what;
        if (!c.goesOn) {
            EXPECT_EQ(fake.boxes.size(), 1u) << c.what;
            // Without automatic mode, declining is a normal end.
            InstallFakePlatform();
            fake.answers = {c.answer};
            EXPECT_EQ(Run(MakeSfx(options), ""), 0u) << c.what;
        }
    }
}

// A folder too long for -AUTO: the user is told it cannot be made, nothing
// is extracted, and the program ends with 2 instead of waiting in the dialog.
TEST_F(StartUp, AutoFolderTooLongEndsWithTwo) {
    SfxOptions options;
    options.texts = {"", "", "", "", "info"};
    std::string longFolder = folder.path() + "/" + std::string(300, 'd');
    EXPECT_EQ(Run(MakeSfx(options), "-auto " + longFolder), 2u);
    RecordedBox box = OnlyBox();
    EXPECT_EQ(box.text.rfind("Impossible de créer «", 0), 0u) << box.text;
    EXPECT_NE(box.text.find(std::string(300, 'd')), std::string::npos) << box.text;
}

// Step 3: the program's folder becomes the current folder; a program in a
// root keeps the root's separator.
namespace recorded {
std::string currentFolder;
}

TEST_F(StartUp, ProgramFolderBecomesCurrent) {
    struct Case {
        const char* module;
        const char* folder;
    } cases[] = {
        {"C:\\DIST\\SETUP.EXE", "C:\\DIST"},
        {"C:\\SETUP.EXE", "C:\\"},
        {"\\SETUP.EXE", "\\"},
        {"/opt/kits/setup", "/opt/kits"},
        {"SETUP.EXE", "SETUP.EXE"},
    };
    for (const Case& c : cases) {
        InstallFakePlatform();
        recorded::currentFolder = "<none>";
        sfxPlatform.setCurrentFolder = [](const char* path) {
            recorded::currentFolder = path;
            return 1;
        };
        fake.moduleFileName = c.module;
        RunSfxMain("");  // the file does not exist: header corrupt, after step 3
        EXPECT_EQ(recorded::currentFolder, c.folder) << c.module;
    }
}

TEST_F(StartUp, LongModuleNameReplacesTheLastComponentOnly) {
    sfxPlatform.findFile = [](const char*, char* name, uint32_t* attributes) {
        strcpy(name, "Setup Program.exe");
        *attributes = 0x20;
        return 1;
    };
    struct Case {
        std::string path;
        std::string resolved;
    } cases[] = {
        {"C:\\PROGRA~1\\SETUP~1.EXE", "C:\\PROGRA~1\\Setup Program.exe"},
        {"SETUP~1.EXE", "Setup Program.exe"},
        {"C:\\" + std::string(250, 'd') + "\\S.EXE", "C:\\" + std::string(250, 'd') + "\\S.EXE"},  // would not fit
    };
    for (const Case& c : cases) {
        char path[kPathCapacity];
        snprintf(path, sizeof path, "%s", c.path.c_str());
        ResolveLongModuleName(path);
        EXPECT_EQ(std::string(path), c.resolved);
    }
    sfxPlatform.findFile = [](const char*, char*, uint32_t*) { return 0; };
    char path[kPathCapacity] = "C:\\SETUP~1.EXE";
    ResolveLongModuleName(path);
    EXPECT_STREQ(path, "C:\\SETUP~1.EXE");
}

// The stubs themselves (the Linux stub, and the PE32 and PE32+ stubs when
// a build folder holds them), with their real headers: each checks its entry
// point and its checksum, from the file's start or after its executable
// headers.
TEST_F(StartUp, BuiltStubsCheckThemselves) {
    for (const std::string& stub : BuiltStubPaths()) {
        for (uint32_t flags : {0u, (uint32_t)SFXF_CRC_AFTER_HEADERS}) {
            InstallFakePlatform();
            SfxOptions options = WithInfo("info du cr\xE9" "ateur");  // header texts are Windows-1252
            options.stub = ReadFileBytes(stub);
            options.flags = flags;
            SfxImage image = MakeSfx(options);
            EXPECT_EQ(Run(image, "-info"), 0u) << stub << " " << flags;
            EXPECT_EQ(OnlyBox().text, "info du créateur") << stub << " " << flags;

            // The stub's last byte and a byte of the header are always covered.
            for (size_t at : {(size_t)image.block.headerOffset - 1, (size_t)image.block.headerOffset + 2}) {
                InstallFakePlatform();
                SfxImage damaged = image;
                damaged.bytes[at] ^= 0x01;
                EXPECT_EQ(Run(damaged, "-info"), 2u) << stub << " " << flags << " byte " << at;
            }
        }
    }
}

// The Linux stub as a program of its own: "-info" exits 0; a byte changed in
// the stub or in the header exits 2 with the header-corrupt text.
TEST_F(StartUp, LinuxStubRunsAndRefusesDamage) {
    SfxOptions options = WithInfo("info");
    options.stub = RealLinuxStub();
    SfxImage image = MakeSfx(options);
    std::string output;  // both streams of the last run
    auto run = [&](const std::string& bytes) {
        std::string path = folder.Write("setup", bytes);
        std::filesystem::permissions(path, std::filesystem::perms::owner_all);
        ProgramResult result = RunProgram({path, "-info"});
        output = result.out + result.err;
        return result.exitCode;
    };
    EXPECT_EQ(run(image.bytes), 0);
    EXPECT_NE(output.find("info"), std::string::npos);
    for (size_t at : {(size_t)image.block.headerOffset - 1, (size_t)image.block.headerOffset + 2}) {
        std::string damaged = image.bytes;
        damaged[at] ^= 0x01;
        EXPECT_EQ(run(damaged), 2) << "byte " << at;
        EXPECT_NE(output.find("header corrupt"), std::string::npos);
    }
}

}  // namespace
