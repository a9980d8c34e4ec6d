// The program started after a run: the words a Linux program gets from a
// Windows command line, and end to end through the builder and the Linux
// stub: its exit code comes back, it starts in the destination folder, only
// after a finished run, never from outside the destination, and a program
// that cannot be started ends the stub with 2 and a message.
#include <gtest/gtest.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "platform/posix/command_words.h"
#include "resources/messages.h"
#include "startup/sfx_state.h"
#include "support/codec_control.h"
#include "support/data.h"
#include "support/fake_platform.h"
#include "support/files.h"
#include "support/sfx_image.h"
#include "support/stub_state.h"
#include "support/zip_writer.h"

namespace {

std::vector<std::string> Words(const std::string& line) {
    std::vector<char> buffer(line.size() + 1);
    std::vector<char*> words(line.size() + 2);
    uint32_t count = SplitCommandLine(line.c_str(), buffer.data(), words.data());
    EXPECT_EQ(nullptr, words[count]);
    return std::vector<std::string>(words.begin(), words.begin() + count);
}

typedef std::vector<std::string> W;

TEST(CommandWords, WindowsRuntimeRules) {
    EXPECT_EQ(W({"setup.exe"}), Words("setup.exe"));
    EXPECT_EQ(W({"setup.exe", "a", "b"}), Words("  setup.exe \t a   b  "));
    EXPECT_EQ(W(), Words("  "));
    // The program's name: up to the closing quote, backslashes as they are.
    EXPECT_EQ(W({"bin\\my setup.exe", "x"}), Words("\"bin\\my setup.exe\" x"));
    EXPECT_EQ(W({"a\\\\b", "c"}), Words("a\\\\b c"));
    // Quotes group words; "" inside a quoted part is one quote.
    EXPECT_EQ(W({"p", "a b", "c"}), Words("p \"a b\" c"));
    EXPECT_EQ(W({"p", "ab c"}), Words("p a\"b c\""));
    EXPECT_EQ(W({"p", ""}), Words("p \"\""));
    EXPECT_EQ(W({"p", "say \"hi\""}), Words("p \"say \"\"hi\"\"\""));
    // Backslashes: 2n before a quote are n and the quote works, 2n+1 are n
    // and a plain quote, elsewhere plain.
    EXPECT_EQ(W({"p", "C:\\dir\\"}), Words("p C:\\dir\\"));
    EXPECT_EQ(W({"p", "a\\\\b c"}), Words("p \"a\\\\b c\""));
    EXPECT_EQ(W({"p", "a\\", "b"}), Words("p \"a\\\\\" b"));
    EXPECT_EQ(W({"p", "a\"b"}), Words("p a\\\"b"));
    EXPECT_EQ(W({"p", "a\\\"b"}), Words("p a\\\\\\\"b"));
    EXPECT_EQ(W({"p", "\\\\x"}), Words("p \\\\x"));
    // An open quote runs to the end.
    EXPECT_EQ(W({"p", "a b "}), Words("p \"a b "));
}

// The scripts write what they saw into "ran" in their current folder, then
// exit with their first argument.
const char kScript[] = "#!/bin/sh\nprintf '%s|' \"$(pwd)\" \"$@\" > ran\nexit \"$1\"\n";

class ProgramStart : public ::testing::Test {
protected:
    void SetUp() override {
        folder = TempFolder(::testing::UnitTest::GetInstance()->current_test_info()->name());
        WriteFileBytes(folder + "/plain.zip", ZipBytes({Item("bin/setup.sh", kScript), Item("readme.txt", "r")}));
    }

    // kvsfx-make with the arguments; its exit code.
    ProgramResult Make(const std::string& output, const std::vector<std::string>& arguments,
                       const std::string& zip = "plain.zip") {
        std::vector<std::string> argv = {KVSFX_MAKE_PATH, "-o", folder + "/" + output, "--stub", KVSFX_STUB_PATH};
        argv.insert(argv.end(), arguments.begin(), arguments.end());
        argv.push_back(folder + "/" + zip);
        return RunProgram(argv);
    }

    std::string Sfx(const std::string& name, const std::string& run, std::vector<std::string> more = {}) {
        more.push_back("--run");
        more.push_back(run);
        ProgramResult made = Make(name, more);
        EXPECT_EQ(0, made.exitCode) << made.err;
        return folder + "/" + name;
    }

    // The header of a file the builder made: its offset, its length.
    void Header(const std::string& bytes, size_t* offset, size_t* length, uint32_t* flags) {
        size_t block = bytes.find(std::string((const char*)kBlockSignature, 8));
        ASSERT_NE(std::string::npos, block);
        SfxConfigBlock config;
        memcpy(&config, bytes.data() + block, sizeof config);
        *offset = config.headerOffset;
        *length = config.archiveStart - config.headerOffset;
        *flags = config.flags;
    }

    std::string folder;
};

TEST_F(ProgramStart, ExitCodeComesBackFromTheDestinationFolder) {
    for (int code : {0, 3, 255}) {
        std::string sfx = Sfx("setup" + std::to_string(code), "bin/setup.sh " + std::to_string(code) + " \"deux mots\"");
        std::string out = folder + "/out" + std::to_string(code);
        ProgramResult result = RunProgram({sfx, "-auto", out});
        EXPECT_EQ(code, result.exitCode) << result.err;
        // Started in the destination, with its arguments split as on Windows.
        EXPECT_EQ(out + "|" + std::to_string(code) + "|deux mots|", ReadFileBytes(out + "/ran"));
        EXPECT_EQ("r", ReadFileBytes(out + "/readme.txt"));
    }
}

TEST_F(ProgramStart, ManualRunClosesTheDialogAndStartsIt) {
    std::string sfx = Sfx("setup", "bin/setup.sh 3", {"--dest", folder + "/out"});
    // Unzip, then nothing more: the dialog closes by itself, no count box.
    ProgramResult result = RunProgram({sfx}, "1\n");
    EXPECT_EQ(3, result.exitCode) << result.err;
    EXPECT_TRUE(Contains(result.out, MessageWith(MSG_WILL_RUN, "bin/setup.sh"))) << result.out;
    EXPECT_FALSE(Contains(result.err, "fichier(s)")) << result.err;
    EXPECT_TRUE(Exists(folder + "/out/ran"));

    // -info tells it too, after the creator's text.
    std::string info = Sfx("info", "bin/setup.sh", {"--info", "Outils 2.0"});
    ProgramResult shown = RunProgram({info, "-info"});
    EXPECT_EQ(0, shown.exitCode);
    EXPECT_TRUE(Contains(shown.err, "Outils 2.0\n\n" + MessageWith(MSG_WILL_RUN, "bin/setup.sh"))) << shown.err;
}

TEST_F(ProgramStart, NotStartedAfterARunThatDidNotFinish) {
    std::string sfx = Sfx("setup", "bin/setup.sh 0");
    // An existing file and no answer: the overwrite question's Cancel ends
    // the run, and the program stays where it is.
    mkdir((folder + "/out").c_str(), 0755);
    WriteFileBytes(folder + "/out/readme.txt", "old");
    ProgramResult cancelled = RunProgram({sfx, "-auto", folder + "/out"});
    EXPECT_EQ(2, cancelled.exitCode);
    EXPECT_FALSE(Exists(folder + "/out/ran"));

    // Closing the dialog without a run starts nothing either.
    ProgramResult closed = RunProgram({sfx}, "Fermer\n");
    EXPECT_EQ(0, closed.exitCode);
}

TEST_F(ProgramStart, ProgramThatCannotStart) {
    // Missing.
    ProgramResult missing = RunProgram({Sfx("missing", "bin/absent.sh"), "-auto", folder + "/out1"});
    EXPECT_EQ(2, missing.exitCode);
    EXPECT_TRUE(Contains(missing.err, MessageWith(MSG_CANNOT_RUN, "bin/absent.sh"))) << missing.err;
    EXPECT_EQ("r", ReadFileBytes(folder + "/out1/readme.txt"));

    // A folder, and a file that is no program (exec refuses it: no shell
    // steps in).
    EXPECT_EQ(2, RunProgram({Sfx("folder", "bin"), "-auto", folder + "/out2"}).exitCode);
    EXPECT_EQ(2, RunProgram({Sfx("text", "readme.txt"), "-auto", folder + "/out3"}).exitCode);

    // A link below the destination on the way to the program.
    mkdir((folder + "/elsewhere").c_str(), 0755);
    WriteFileBytes(folder + "/elsewhere/setup.sh", kScript);
    chmod((folder + "/elsewhere/setup.sh").c_str(), 0755);
    mkdir((folder + "/out4").c_str(), 0755);
    ASSERT_EQ(0, symlink((folder + "/elsewhere").c_str(), (folder + "/out4/tools").c_str()));
    ProgramResult linked = RunProgram({Sfx("linked", "tools/setup.sh 0"), "-auto", folder + "/out4"});
    EXPECT_EQ(2, linked.exitCode);
    EXPECT_FALSE(Exists(folder + "/elsewhere/ran"));
}

TEST_F(ProgramStart, PathsOutsideTheDestinationAreRefused) {
    // By the builder.
    for (const char* run : {"../x", "bin/../../x", "/bin/true", "C:\\x.exe", "\\\\server\\x", "CON", "bin/nul.exe x",
                            "\"bin/x", "bin/", "  "}) {
        ProgramResult made = Make("refused", {"--run", run});
        EXPECT_NE(0, made.exitCode) << run;
        EXPECT_FALSE(Exists(folder + "/refused")) << run;
    }
    EXPECT_EQ(1, Make("long", {"--run", "bin/setup.sh " + std::string(499, 'a')}).exitCode);
    EXPECT_EQ(0, Make("longest", {"--run", "bin/setup.sh " + std::string(498, 'a')}).exitCode);

    // By the stub, from a header made by hand: the builder's "zz/x" becomes
    // "../x", and "../x" outside the destination is a script that would
    // leave its mark.
    WriteFileBytes(folder + "/x", kScript);
    chmod((folder + "/x").c_str(), 0755);
    std::string bytes = ReadFileBytes(Sfx("forged", "zz/x 0", {"--no-stub-crc"}));
    size_t at = bytes.find(std::string("zz/x 0\0", 7));
    ASSERT_NE(std::string::npos, at);
    int n = 0;
    for (const char* forged : {"../x 0", "/x 0  ", "\"..\"/x"}) {
        std::string copy = bytes;
        copy.replace(at, 6, forged);
        WriteFileBytes(folder + "/forged", copy);
        std::string out = folder + "/out" + std::to_string(++n);
        ProgramResult result = RunProgram({folder + "/forged", "-auto", out});
        EXPECT_EQ(2, result.exitCode) << forged;
        EXPECT_TRUE(Contains(result.err, Message(MSG_CANNOT_RUN).substr(0, 20))) << result.err;
        EXPECT_EQ("r", ReadFileBytes(out + "/readme.txt"));
        EXPECT_FALSE(Exists(folder + "/ran")) << forged;
        EXPECT_FALSE(Exists(out + "/ran")) << forged;
    }

    // A sixth text without its terminator is a damaged header.
    std::string unterminated = bytes;
    unterminated[at + 6] = 'x';
    WriteFileBytes(folder + "/forged", unterminated);
    ProgramResult damaged = RunProgram({folder + "/forged", "-auto", folder + "/out5"});
    EXPECT_EQ(2, damaged.exitCode);
    EXPECT_TRUE(Contains(damaged.err, "header corrupt")) << damaged.err;
    EXPECT_FALSE(Exists(folder + "/out5"));
}

TEST_F(ProgramStart, WithoutRunTheHeaderHasFiveTexts) {
    ProgramResult made = Make("plain", {"--info", "i", "--title", "t"});
    ASSERT_EQ(0, made.exitCode) << made.err;
    std::string bytes = ReadFileBytes(folder + "/plain");
    size_t offset = 0, length = 0;
    uint32_t flags = 0;
    Header(bytes, &offset, &length, &flags);
    EXPECT_EQ(std::string("\0\0\0t\0i\0", 7), bytes.substr(offset, length));
    EXPECT_EQ(0u, flags & SFXF_RUN_PROGRAM);

    std::string with = ReadFileBytes(Sfx("with", "bin/setup.sh 0", {"--info", "i", "--title", "t"}));
    Header(with, &offset, &length, &flags);
    EXPECT_EQ(std::string("\0\0\0t\0i\0bin/setup.sh 0\0", 22), with.substr(offset, length));
    EXPECT_NE(0u, flags & SFXF_RUN_PROGRAM);
}

}  // namespace
