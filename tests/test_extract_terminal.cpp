// The terminal front-end, run as a program: the dialog's texts and
// commands, the default destination, auto mode and its exit codes, the
// overwrite question without terminal input, Ctrl-C during a run, and an
// entry of more than 2 GiB.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>
#include <zlib.h>

#include <atomic>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

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

size_t Occurrences(const std::string& text, const std::string& part) {
    size_t count = 0;
    for (size_t at = text.find(part); at != std::string::npos; at = text.find(part, at + 1)) count++;
    return count;
}

// The terminal shows carriage returns as nothing.
std::string Shown(std::string text) {
    text.erase(std::remove(text.begin(), text.end(), '\r'), text.end());
    return text;
}

std::string MessageCount(int count) {
    std::string text = Message(MSG_DONE_COUNT);
    return text.replace(text.find("%d"), 2, std::to_string(count));
}

// A program whose standard input is a pseudo-terminal, the terminal's
// settings readable from this side; standard output and error go to files.
struct OnTerminal {
    int master = -1, slaveSide = -1;  // this side keeps the terminal open too
    std::string outPath, errPath;
    bool echoedAtStart = false;  // read before the child can touch the terminal

    // Starts argv with input already typed on the terminal; pid gets the
    // process id.
    void Start(const std::vector<std::string>& argv, const std::string& input, const std::string& folder,
               std::atomic<int>* pid) {
        master = posix_openpt(O_RDWR | O_NOCTTY);
        ASSERT_GE(master, 0);
        ASSERT_EQ(0, grantpt(master));
        ASSERT_EQ(0, unlockpt(master));
        std::string slave = ptsname(master);
        slaveSide = open(slave.c_str(), O_RDWR | O_NOCTTY);
        ASSERT_GE(slaveSide, 0);
        outPath = folder + "/terminal.out";
        errPath = folder + "/terminal.err";
        echoedAtStart = Echoes();
        pid_t child = fork();
        if (child == 0) {
            setsid();
            int in = open(slave.c_str(), O_RDWR);
            int out = open(outPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
            int err = open(errPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
            dup2(in, 0);
            dup2(out, 1);
            dup2(err, 2);
            close(slaveSide);
            close(master);
            ExecProgram(argv);
        }
        *pid = (int)child;
        if (!input.empty()) {
            ASSERT_EQ((ssize_t)input.size(), write(master, input.data(), input.size()));
        }
    }

    // Waits for the end; the exit code, or -1 after a signal.
    ProgramResult Finish(int pid) {
        ProgramResult result;
        result.exitCode = WaitExitCode(pid);
        result.out = ReadFileBytes(outPath);
        result.err = ReadFileBytes(errPath);
        return result;
    }

    bool Echoes() {
        struct termios settings;
        return tcgetattr(slaveSide, &settings) == 0 && (settings.c_lflag & ECHO) != 0;
    }

    ~OnTerminal() {
        if (slaveSide >= 0) close(slaveSide);
        if (master >= 0) close(master);
    }
};

class Terminal : public ::testing::Test {
protected:
    void SetUp() override {
        folder = TempFolder(::testing::UnitTest::GetInstance()->current_test_info()->name());
        sfx = MakeSfx(folder + "/setup", ZipBytes({Item("dossier/a.txt", "alpha"), Item("b.txt", "beta")}));
    }
    std::string folder, sfx;
};

TEST_F(Terminal, DialogOffersTheTemplateCommandsAndUnzips) {
    setenv("TMP", (folder + "/temp/").c_str(), 1);
    mkdir((folder + "/temp").c_str(), 0755);
    ProgramResult result = RunProgram({sfx}, "1\n");
    EXPECT_EQ(0, result.exitCode) << result.err;
    for (const char* label : {"Décompresser", "Parcourir...", "Ecraser fichiers sans confirmation", "Exécuter Kelvra",
                              "Fermer", "A Propos", "Aide"})
        EXPECT_TRUE(Contains(result.out, label)) << label;
    EXPECT_TRUE(Contains(result.out, "Kelvra Self-Extractor - setup"));
    EXPECT_TRUE(Contains(result.out, MessageWith(MSG_INTRO, "setup")));
    // TMP is the default destination, without its trailing separator.
    EXPECT_TRUE(Contains(result.out, "dossier: " + folder + "/temp\n")) << result.out;
    EXPECT_TRUE(Contains(result.out, MessageWith(MSG_EXTRACTING, "a.txt")));
    // Without auto mode the count is shown in a box, and only there: the
    // commands shown after the run do not repeat it.
    EXPECT_TRUE(Contains(result.err, MessageCount(2)));
    EXPECT_EQ(1u, Occurrences(result.out + result.err, MessageCount(2))) << result.out << result.err;
    EXPECT_EQ("beta", ReadFileBytes(folder + "/temp/b.txt"));
    // No escape sequences when the output is not a terminal.
    EXPECT_FALSE(Contains(result.out, "\x1b["));
    unsetenv("TMP");
}

// Enter presses the default button, marked with a star: Décompresser before
// a run, Fermer from then on (the line after the second Enter, Aide, is
// never read).
TEST_F(Terminal, EnterPressesTheDefaultButton) {
    std::string out = folder + "/enter";
    mkdir(out.c_str(), 0755);
    setenv("TMP", out.c_str(), 1);
    ProgramResult result = RunProgram({sfx}, "\n\n7\n");
    unsetenv("TMP");
    EXPECT_EQ(0, result.exitCode) << result.err;
    EXPECT_EQ("beta", ReadFileBytes(out + "/b.txt"));
    size_t run = result.out.find(MessageWith(MSG_EXTRACTING, "a.txt"));
    ASSERT_NE(std::string::npos, run) << result.out;
    EXPECT_TRUE(Contains(result.out.substr(0, run), "1  Décompresser*\n"));
    EXPECT_TRUE(Contains(result.out.substr(run), "5  Fermer*\n")) << result.out;
    EXPECT_FALSE(Contains(result.out.substr(run), "Décompresser*"));
    EXPECT_FALSE(Contains(Shown(result.err), MessageWith(MSG_HELP, "setup").substr(0, 60)));
    EXPECT_EQ(1u, Occurrences(result.out + result.err, MessageCount(2)));
}

TEST_F(Terminal, CommandsWithoutExtracting) {
    // Browse (a typed folder), the check box, Help, About, Run archiver, Close.
    ProgramResult result = RunProgram({sfx}, "2\n" + folder + "/ailleurs\n3\n7\n6\n4\nFermer\n");
    EXPECT_EQ(0, result.exitCode);
    EXPECT_TRUE(Contains(result.out, "dossier: " + folder + "/ailleurs\n"));
    EXPECT_TRUE(Contains(result.out, "[x] Ecraser fichiers sans confirmation"));
    EXPECT_TRUE(Contains(Shown(result.err), MessageWith(MSG_HELP, "setup").substr(0, 60)));
    EXPECT_TRUE(Contains(result.err, Message(MSG_ABOUT).substr(0, 20)));
    EXPECT_TRUE(Contains(result.err, Message(MSG_ARCHIVER_MISSING).substr(0, 40)));
    EXPECT_FALSE(Exists(folder + "/ailleurs"));
}

// Standard output and standard error in one stream, as a log gets them:
// the status lines of a run come before the question that follows them.
TEST_F(Terminal, StatusLinesComeBeforeTheQuestionInOneStream) {
    mkdir((folder + "/out").c_str(), 0755);
    WriteFileBytes(folder + "/out/b.txt", "old");
    ProgramResult merged = RunProgram({"/bin/sh", "-c", "exec \"$0\" -auto \"$1\" 2>&1", sfx, folder + "/out"});
    EXPECT_EQ(2, merged.exitCode);
    size_t status = merged.out.find(MessageWith(MSG_EXTRACTING, "a.txt"));
    size_t question = merged.out.find("(1 Oui");
    ASSERT_NE(std::string::npos, status) << merged.out;
    ASSERT_NE(std::string::npos, question) << merged.out;
    EXPECT_LT(status, question) << merged.out;
    EXPECT_EQ("old", ReadFileBytes(folder + "/out/b.txt"));
}

TEST_F(Terminal, AutoModeExitCodes) {
    ProgramResult done = RunProgram({sfx, "-auto", folder + "/out"});
    EXPECT_EQ(0, done.exitCode);
    EXPECT_EQ(1u, Occurrences(done.out, MessageCount(2)));
    EXPECT_EQ("", done.err);  // no box at all

    // A file that would be replaced, no terminal input: the safe answer,
    // Cancel, ends the run; the existing file stays and the exit code is 2.
    WriteFileBytes(folder + "/out/b.txt", "old");
    ProgramResult cancelled = RunProgram({sfx, "-auto", folder + "/out"});
    EXPECT_EQ(2, cancelled.exitCode);
    EXPECT_TRUE(Contains(Shown(cancelled.err), Shown(MessageWith(MSG_CONFIRM_OVERWRITE, "\\b.txt")).substr(20)))
        << cancelled.err;
    EXPECT_TRUE(Contains(cancelled.out, Message(MSG_ABORTED)));
    EXPECT_EQ("old", ReadFileBytes(folder + "/out/b.txt"));

    // "." is the folder that holds the program.
    ProgramResult here = RunProgram({sfx, "-auto", "."}, "", 60, "/");
    EXPECT_EQ(0, here.exitCode);
    EXPECT_EQ("alpha", ReadFileBytes(folder + "/dossier/a.txt"));

    // A damaged entry: exit code 2 after the message.
    ZipItem bad = Item("bad.txt", "data");
    bad.crc = 1;
    std::string damaged = MakeSfx(folder + "/damaged", ZipBytes({bad}));
    ProgramResult failed = RunProgram({damaged, "-auto", folder + "/out2"});
    EXPECT_EQ(2, failed.exitCode);
    EXPECT_TRUE(Contains(failed.err, "Mauvais CRC"));
}

TEST_F(Terminal, PasswordFromStandardInput) {
    ZipItem secret = Item("secret.txt", "hidden");
    secret.password = "secret";
    std::string locked = MakeSfx(folder + "/locked", ZipBytes({secret}), SFXF_ENCRYPTED);
    ProgramResult right = RunProgram({locked, "-auto", folder + "/right"}, "\nsecret\n");
    EXPECT_EQ(0, right.exitCode) << right.err;
    EXPECT_EQ("hidden", ReadFileBytes(folder + "/right/secret.txt"));
    EXPECT_TRUE(Contains(right.err, "mot de passe"));

    // At most 254 characters are taken from a longer line.
    ZipItem longer = Item("long.txt", "long");
    longer.password = std::string(254, 'p');
    std::string longLocked = MakeSfx(folder + "/long-locked", ZipBytes({longer}), SFXF_ENCRYPTED);
    ProgramResult cut = RunProgram({longLocked, "-auto", folder + "/long"}, std::string(300, 'p') + "\n");
    EXPECT_EQ(0, cut.exitCode) << cut.err;
    EXPECT_EQ("long", ReadFileBytes(folder + "/long/long.txt"));

    // The end of input cancels the prompt: no run, nothing written, and in
    // automatic mode the exit code says so.
    ProgramResult cancelled = RunProgram({locked, "-auto", folder + "/none"});
    EXPECT_EQ(2, cancelled.exitCode);
    EXPECT_FALSE(Exists(folder + "/none"));
}

// Ctrl-C at the password prompt, where the terminal does not echo: the
// echo is back when the program has ended.
TEST_F(Terminal, CtrlCAtThePasswordPromptRestoresTheEcho) {
    ZipItem secret = Item("secret.txt", "hidden");
    secret.password = "secret";
    std::string locked = MakeSfx(folder + "/locked", ZipBytes({secret}), SFXF_ENCRYPTED);
    OnTerminal terminal;
    std::atomic<int> pid{0};
    terminal.Start({locked, "-auto", folder + "/out"}, "", folder, &pid);
    ASSERT_TRUE(terminal.echoedAtStart);
    // The prompt is up once the echo is off.
    time_t deadline = time(nullptr) + 60;
    while (terminal.Echoes() && time(nullptr) < deadline) usleep(10000);
    ASSERT_FALSE(terminal.Echoes());
    kill(pid.load(), SIGINT);
    ProgramResult result = terminal.Finish(pid.load());
    EXPECT_NE(0, result.exitCode);
    EXPECT_TRUE(terminal.Echoes());
    EXPECT_FALSE(Exists(folder + "/out/secret.txt"));
}

// The run's standard output is a named pipe that this test reads: the first
// status line tells that the run is under way, and while the test holds
// back, the status lines of the entries fill the pipe and keep the run in
// the middle of the archive. Ctrl-C then asks message 11.
struct HeldOutput {
    std::string path;
    std::atomic<int>* pid;
    std::string text;
    std::thread thread;

    void Start() {
        thread = std::thread([this] {
            int fd = open(path.c_str(), O_RDONLY);
            std::string lead = Message(MSG_EXTRACTING);
            lead.resize(lead.find('%'));
            char buffer[256];
            ssize_t got;
            bool interrupted = false;
            while ((got = read(fd, buffer, sizeof buffer)) > 0) {
                text.append(buffer, (size_t)got);
                if (!interrupted && Contains(text, lead)) {
                    interrupted = true;
                    kill(pid->load(), SIGINT);
                }
            }
            close(fd);
        });
    }
};

// Oui ends the run in the middle of an entry: every file is then either
// extracted whole or still the one it would have replaced, never a part,
// and no temporary file is left. The question is asked only when the user
// can answer it on a terminal; when nobody can (input from a pipe, or at its
// end), Ctrl-C stops the run as Oui would.
TEST_F(Terminal, CtrlCAsksWhetherToAbandon) {
    std::vector<ZipItem> items;
    for (int i = 0; i < 800; i++)
        items.push_back(Item(std::string(150, 'p') + std::to_string(i), std::string(3000, (char)('a' + i % 26)), 0));
    std::string many = MakeSfx(folder + "/many", ZipBytes(items), SFXF_OVERWRITE_DEFAULT);
    for (const char* answer : {"Non", "Oui", "piped Non", "no input"}) {
        SCOPED_TRACE(answer);
        std::string out = folder + "/out-" + std::to_string(answer[0]) + std::to_string(strlen(answer));
        mkdir(out.c_str(), 0755);
        for (const ZipItem& item : items) WriteFileBytes(out + "/" + item.name, "old");
        std::string pipe = folder + "/stdout-" + answer;
        mkfifo(pipe.c_str(), 0644);
        std::atomic<int> pid{0};
        HeldOutput held{pipe, &pid};
        held.Start();
        const bool typed = answer[0] == 'N' || answer[0] == 'O';
        const std::vector<std::string> command = {"/bin/sh", "-c", "exec \"$0\" -auto \"$1\" >\"$2\"", many, out,
                                                  pipe};
        ProgramResult result;
        if (typed) {
            OnTerminal terminal;
            terminal.Start(command, std::string(answer) + "\n", folder, &pid);
            result = terminal.Finish(pid.load());
        } else {
            result = RunProgram(command, answer[0] == 'p' ? "Non\n" : "", 60, "", &pid);
        }
        held.thread.join();
        EXPECT_EQ(typed, Contains(Shown(result.err), Shown(Message(MSG_CONFIRM_ABORT)))) << result.err;
        size_t extracted = 0, kept = 0;
        for (const auto& [path, node] : ReadTree(out)) {
            std::string content = ReadFileBytes(out + "/" + path);
            if (content == "old") kept++;
            else if (content.size() == 3000) extracted++;
            else ADD_FAILURE() << path << ": " << content.size() << " bytes";
        }
        if (answer[0] == 'N') {
            EXPECT_EQ(0, result.exitCode);
            EXPECT_EQ(items.size(), extracted);
        } else {
            EXPECT_EQ(2, result.exitCode);
            EXPECT_TRUE(Contains(held.text, Message(MSG_ABORTED)));
            EXPECT_EQ(items.size(), extracted + kept);
            EXPECT_LT(0u, kept);
        }
    }
}

// Sizes are unsigned 32-bit: a stored entry just over 2 GiB (zeros, read
// from a sparse file) is passed over when the user keeps the existing file,
// and extracts with its CRC otherwise; either way the entry after it is
// found.
TEST_F(Terminal, EntryOverTwoGibibytes) {
    const uint64_t size = (2ull << 30) + 4096;
    uLong crc = 0;
    std::vector<char> zeros(1 << 20, 0);
    for (uint64_t done = 0; done < size; done += zeros.size())
        crc = crc32(crc, (const Bytef*)zeros.data(), (uInt)std::min<uint64_t>(zeros.size(), size - done));
    ZipItem huge = Item("huge.bin", "", 0);
    huge.crc = (uint32_t)crc;
    huge.compressedSize = huge.uncompressedSize = (uint32_t)size;
    std::string path = MakeSfx(folder + "/huge", LocalEntryBytes(huge));
    struct stat info;
    stat(path.c_str(), &info);
    ASSERT_EQ(0, truncate(path.c_str(), info.st_size + (off_t)size));
    std::ofstream(path, std::ios::binary | std::ios::app) << ZipBytes({Item("after.txt", "after")});

    // Kept: the answer Non at the overwrite question.
    std::string kept = folder + "/kept";
    mkdir(kept.c_str(), 0755);
    WriteFileBytes(kept + "/huge.bin", "old");
    ProgramResult skipped = RunProgram({path, "-auto", kept}, "Non\n");
    EXPECT_EQ(0, skipped.exitCode) << skipped.err;
    EXPECT_EQ("old", ReadFileBytes(kept + "/huge.bin"));
    EXPECT_EQ("after", ReadFileBytes(kept + "/after.txt"));

#if defined(__SANITIZE_ADDRESS__)
    GTEST_SKIP() << "2 GiB through the instrumented stub takes minutes; the release build runs it";
#endif
    // Extracted: "Oui". Exit code 0 says that the CRC of all 2 GiB matched.
    // The file goes to memory where the system offers a folder there: on a
    // busy disk 2 GiB take long to write.
    char memoryFolder[] = "/dev/shm/kvsfx-huge-XXXXXX";
    std::string out = mkdtemp(memoryFolder) ? std::string(memoryFolder) : folder + "/out";
    mkdir(out.c_str(), 0755);
    WriteFileBytes(out + "/huge.bin", "old");
    ProgramResult result = RunProgram({path, "-auto", out}, "Oui\n", 300);
    EXPECT_EQ(0, result.exitCode) << result.err;
    EXPECT_EQ(0, stat((out + "/huge.bin").c_str(), &info));
    EXPECT_EQ(size, (uint64_t)info.st_size);
    EXPECT_EQ("after", ReadFileBytes(out + "/after.txt"));
    RunProgram({"/bin/rm", "-rf", out});
}

}  // namespace
