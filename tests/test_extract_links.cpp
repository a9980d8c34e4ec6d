// The Linux stub on a hostile system, run as a program: symbolic links
// under the destination, standard descriptors closed by the caller, a
// file-size limit, control characters in entry names, and automatic mode
// ending without a finished run.
#include <gtest/gtest.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <string>

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

bool IsEmptyFolder(const std::string& path) {
    ProgramResult listing = RunProgram({"/bin/ls", "-A", path});
    return listing.exitCode == 0 && listing.out.empty();
}

class HostileSystem : public ::testing::Test {
protected:
    void SetUp() override {
        folder = TempFolder(::testing::UnitTest::GetInstance()->current_test_info()->name());
        outside = folder + "/outside";
        mkdir(outside.c_str(), 0755);
    }
    std::string folder, outside;
};

// A link at an output path, whatever it points to, is an existing file:
// the question (or the configured overwrite) decides, and replacing it
// replaces the link itself. Its target, outside the destination, is never
// written and never created.
TEST_F(HostileSystem, LinkAtTheOutputPathIsReplacedNeverFollowed) {
    std::string zip = ZipBytes({Item("a.txt", "alpha"), Item("b.txt", "beta")});
    std::string asking = MakeSfx(folder + "/asking", zip);
    std::string replacing = MakeSfx(folder + "/replacing", zip, SFXF_OVERWRITE_DEFAULT);
    WriteFileBytes(outside + "/file", "secret");
    mkdir((outside + "/dir").c_str(), 0755);
    struct Target {
        const char* what;
        std::string path;
    } targets[] = {{"dangling", outside + "/missing"}, {"file", outside + "/file"}, {"folder", outside + "/dir"}};
    struct Way {
        const char* what;
        const std::string* sfx;
        const char* input;
        bool replaced;
    } ways[] = {{"Oui", &asking, "Oui\n", true}, {"Non", &asking, "Non\n", false}, {"configured", &replacing, "", true}};
    int run = 0;
    for (const Target& target : targets) {
        for (const Way& way : ways) {
            SCOPED_TRACE(std::string(target.what) + " " + way.what);
            std::string out = folder + "/out" + std::to_string(run++);
            mkdir(out.c_str(), 0755);
            ASSERT_EQ(0, symlink(target.path.c_str(), (out + "/b.txt").c_str()));
            ProgramResult result = RunProgram({*way.sfx, "-auto", out}, way.input);
            EXPECT_EQ(0, result.exitCode) << result.err;
            EXPECT_EQ(way.sfx == &asking, Contains(result.err, "b.txt existe")) << result.err;
            EXPECT_EQ("alpha", ReadFileBytes(out + "/a.txt"));
            if (way.replaced) {
                EXPECT_FALSE(IsLink(out + "/b.txt"));
                EXPECT_EQ("beta", ReadFileBytes(out + "/b.txt"));
            } else {
                EXPECT_EQ(target.path, LinkTarget(out + "/b.txt"));
            }
            EXPECT_FALSE(Exists(outside + "/missing"));
            EXPECT_EQ("secret", ReadFileBytes(outside + "/file"));
            EXPECT_TRUE(IsEmptyFolder(outside + "/dir"));
        }
    }
}

// A link met as a folder of an entry's path below the destination ends the
// run with message 28 naming the entry, before anything is created; the
// destination itself may be a link.
TEST_F(HostileSystem, LinkedFolderBelowTheDestinationIsRefused) {
    mkdir((outside + "/dir").c_str(), 0755);
    for (const char* name : {"dossier/a.txt", "dossier/sous/a.txt", "dossier/sous/"}) {
        SCOPED_TRACE(name);
        bool folderEntry = std::string(name).back() == '/';
        std::string sfx = MakeSfx(folder + "/linked", ZipBytes({Item(name, folderEntry ? "" : "alpha")}));
        std::string out = folder + "/out";
        RunProgram({"/bin/rm", "-rf", out});
        mkdir(out.c_str(), 0755);
        ASSERT_EQ(0, symlink((outside + "/dir").c_str(), (out + "/dossier").c_str()));
        ProgramResult result = RunProgram({sfx, "-auto", out});
        EXPECT_EQ(2, result.exitCode);
        EXPECT_TRUE(Contains(result.err, "Impossible de créer le fichier de sortie\xC2\xA0: " + std::string(name)))
            << result.err;
        EXPECT_TRUE(IsEmptyFolder(outside + "/dir"));
    }

    // The destination reached through a link, and a link above it.
    std::string sfx = MakeSfx(folder + "/plain", ZipBytes({Item("dossier/a.txt", "alpha")}));
    mkdir((outside + "/real").c_str(), 0755);
    ASSERT_EQ(0, symlink((outside + "/real").c_str(), (folder + "/via").c_str()));
    ProgramResult direct = RunProgram({sfx, "-auto", folder + "/via"});
    EXPECT_EQ(0, direct.exitCode) << direct.err;
    ProgramResult below = RunProgram({sfx, "-auto", folder + "/via/sub"});
    EXPECT_EQ(0, below.exitCode) << below.err;
    EXPECT_EQ("alpha", ReadFileBytes(outside + "/real/dossier/a.txt"));
    EXPECT_EQ("alpha", ReadFileBytes(outside + "/real/sub/dossier/a.txt"));
}

// Descriptors 0 and 1 closed by the caller: the terminal's lines must not
// land in the extracted files.
TEST_F(HostileSystem, ClosedStandardDescriptors) {
    std::string sfx = MakeSfx(folder + "/setup", ZipBytes({Item("a.txt", "alpha"), Item("b.txt", "beta")}));
    std::string out = folder + "/out";
    ProgramResult result = RunProgram({"/bin/sh", "-c", "\"$0\" -auto \"$1\" <&- >&- 2>&-", sfx, out});
    EXPECT_EQ(0, result.exitCode);
    EXPECT_EQ("alpha", ReadFileBytes(out + "/a.txt"));
    EXPECT_EQ("beta", ReadFileBytes(out + "/b.txt"));
}

// A file-size limit makes the write fail with message 35 and exit code 2,
// instead of a silent death by signal, and leaves nothing of the file:
// whether the system refuses a write-out gathered along the way (the large
// entry) or only the last bytes handed over before the file's time is set
// (the entry smaller than what is gathered at once).
TEST_F(HostileSystem, FileSizeLimitGivesTheWriteError) {
    for (size_t size : {(size_t)256 << 10, (size_t)40000}) {
        SCOPED_TRACE(size);
        std::string data(size, 'x');
        std::string sfx = MakeSfx(folder + "/setup", ZipBytes({Item("big.bin", data)}));
        std::string out = folder + "/out" + std::to_string(size);
        mkdir(out.c_str(), 0755);
        // 16 blocks: 8 or 16 KiB, far below either entry, far above the stub.
        ProgramResult result = RunProgram({"/bin/sh", "-c", "ulimit -f 16 && exec \"$0\" -auto \"$1\"", sfx, out});
        EXPECT_EQ(2, result.exitCode) << result.err;
        EXPECT_TRUE(Contains(result.err, "Erreur en écriture de")) << result.err;
        EXPECT_TRUE(Contains(result.err, "big.bin")) << result.err;
        EXPECT_TRUE(ReadTree(out).empty());
    }
}

// Every control character of an entry name is shown as '?': the status
// line, the overwrite question and message 28.
TEST_F(HostileSystem, ControlCharactersOfNamesAreShownAsQuestionMarks) {
    const std::string name = "a\nb\rc\x1b[31md\te\x7f" "f.txt";
    const std::string shown = "a?b?c?[31md?e?f.txt";
    std::string sfx = MakeSfx(folder + "/setup", ZipBytes({Item(name, "x")}));
    std::string out = folder + "/out";
    ProgramResult first = RunProgram({sfx, "-auto", out});
    EXPECT_EQ(0, first.exitCode) << first.err;
    EXPECT_EQ("x", ReadFileBytes(out + "/" + name));  // the file keeps its name
    EXPECT_TRUE(Contains(first.out, shown)) << first.out;
    ProgramResult again = RunProgram({sfx, "-auto", out}, "Non\n");
    EXPECT_TRUE(Contains(again.err, shown)) << again.err;
    for (const ProgramResult* result : {&first, &again}) {
        EXPECT_FALSE(Contains(result->out + result->err, "\x1b")) << result->out << result->err;
        EXPECT_FALSE(Contains(result->out + result->err, "b\rc"));
        EXPECT_FALSE(Contains(result->out + result->err, "a\nb"));
    }
    std::string bad = MakeSfx(folder + "/bad", ZipBytes({Item("../" + name, "x")}));
    ProgramResult refused = RunProgram({bad, "-auto", out});
    EXPECT_EQ(2, refused.exitCode);
    EXPECT_TRUE(Contains(refused.err, "../" + shown)) << refused.err;
}

// Automatic mode ends with 0 only after a finished run.
TEST_F(HostileSystem, AutomaticModeWithoutAFinishedRunEndsWithTwo) {
    std::string sfx = MakeSfx(folder + "/setup", ZipBytes({Item("a.txt", "alpha")}));
    // A folder too long for -auto: said, and 2.
    ProgramResult tooLong = RunProgram({sfx, "-auto", folder + "/" + std::string(300, 'd')});
    EXPECT_EQ(2, tooLong.exitCode);
    EXPECT_TRUE(Contains(tooLong.err, "Impossible de créer «")) << tooLong.err;

    // No usable temporary folder: message 17, then the end of input.
    const char* savedTmp = getenv("TMP");
    std::string keep = savedTmp ? savedTmp : "";
    setenv("TMP", std::string(300, 't').c_str(), 1);
    unsetenv("TEMP");
    ProgramResult noFolder = RunProgram({sfx, "-auto"});
    if (savedTmp) setenv("TMP", keep.c_str(), 1);
    else unsetenv("TMP");
    EXPECT_EQ(2, noFolder.exitCode);
    EXPECT_TRUE(Contains(noFolder.err, "Aucun dossier spécifié.")) << noFolder.err;

    // Without automatic mode, closing the dialog stays a normal end.
    ProgramResult closed = RunProgram({sfx}, "5\n");
    EXPECT_EQ(0, closed.exitCode);
}

}  // namespace
