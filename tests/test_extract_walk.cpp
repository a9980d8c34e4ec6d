// The archive walk and entry extraction, run in-process through the whole
// program (start-up, terminal dialog in auto mode, run) on self-extracting
// files assembled here from archives written field by field. Each row is a
// failure (or a rule) of the walk: its message, its exit code, and what
// stays on disk.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <zlib.h>

#include <functional>
#include <string>
#include <vector>

#include "extract_support.h"
#include "fake_platform.h"
#include "resources/messages.h"
#include "startup/sfx_state.h"

namespace {

std::string Text(size_t size, char seed = 'a') {
    std::string text(size, ' ');
    for (size_t i = 0; i < size; i++) text[i] = (char)(seed + (i * 7 + i / 13) % 26);
    return text;
}

// Bytes that deflate cannot shrink.
std::string Noise(size_t size, uint32_t seed) {
    std::string noise(size, '\0');
    for (size_t i = 0; i < size; i++) {
        seed = seed * 1103515245u + 12345u;
        noise[i] = (char)(seed >> 23);
    }
    return noise;
}

// The default time of ZipItem, 2025-04-15 13:33:20, as local time.
int64_t EntryTime() {
    struct tm local = {};
    local.tm_year = 125, local.tm_mon = 3, local.tm_mday = 15, local.tm_hour = 13, local.tm_min = 33, local.tm_sec = 20;
    local.tm_isdst = -1;
    return (int64_t)mktime(&local);
}

ZipItem Item(const std::string& name, const std::string& data, int method = 8) {
    ZipItem item;
    item.name = name;
    item.data = data;
    item.method = method;
    return item;
}

std::string Signature(uint8_t third, uint8_t fourth) { return std::string("PK") + (char)third + (char)fourth; }

struct Outcome {
    int exitCode;
    std::vector<std::string> boxes;
    std::string folder;
};

// Extracts zip with "-auto FOLDER" in-process; answers script the boxes.
Outcome Extract(const std::string& name, const std::string& zip, std::vector<int> answers = {}, uint32_t flags = 0,
            const std::string& input = "", const std::function<void(const std::string&)>& prepare = nullptr) {
    std::string folder = TempFolder(name);
    std::string sfx = MakeSfx(folder + ".sfx", zip, flags);
    std::string out = folder + "/out";
    if (prepare) prepare(out);
    PrepareInProcess(sfx, input);
    fake.answers.assign(answers.begin(), answers.end());
    int code = (int)RunSfxMain(" -auto " + out);
    Outcome run{code, BoxTexts(), out};
    RestoreRealPlatform();
    return run;
}

// The text before the first placeholder of message index: what every box
// of that message starts with.
std::string Lead(int index) {
    std::string text = Message(index);
    return text.substr(0, text.find('%'));
}

bool StartsWith(const std::string& text, const std::string& start) { return text.compare(0, start.size(), start) == 0; }

int64_t ModifiedTime(const std::string& path) {
    struct stat info;
    return stat(path.c_str(), &info) == 0 ? (int64_t)info.st_mtime : -1;
}

TEST(Walk, ExtractsEveryKindOfEntryAndCountsFilesOnly) {
    ZipItem empty = Item("empty-deflated.txt", "");
    ZipItem withDescriptor = Item("descriptor.txt", Text(3000));
    withDescriptor.flags = 8;
    ZipItem folderWithData = Item("folder-with-data/", "stray bytes", 0);
    ZipItem padded = Item("padded.txt", Text(1000));
    padded.trailing = "PK\x03\x04" + Text(5000);  // after the end of the deflate stream
    std::vector<ZipItem> items = {Item("a/b/c.txt", Text(5000), 0), Item("dir/", "", 0), empty, withDescriptor,
                                  folderWithData, padded, Item("last.bin", Text(70000, 'k'))};
    Outcome run = Extract("kinds", ZipBytes(items, "a comment"));
    EXPECT_EQ(0, run.exitCode);
    EXPECT_TRUE(run.boxes.empty());
    EXPECT_EQ(Text(5000), ReadFileBytes(run.folder + "/a/b/c.txt"));
    EXPECT_TRUE(Exists(run.folder + "/dir"));
    EXPECT_TRUE(Exists(run.folder + "/folder-with-data"));
    EXPECT_EQ("", ReadFileBytes(run.folder + "/empty-deflated.txt"));
    EXPECT_EQ(Text(3000), ReadFileBytes(run.folder + "/descriptor.txt"));
    EXPECT_EQ(Text(1000), ReadFileBytes(run.folder + "/padded.txt"));
    EXPECT_EQ(Text(70000, 'k'), ReadFileBytes(run.folder + "/last.bin"));
    EXPECT_EQ(5, state.filesExtracted);
    EXPECT_EQ(EntryTime(), ModifiedTime(run.folder + "/empty-deflated.txt"));
    EXPECT_EQ(EntryTime(), ModifiedTime(run.folder + "/a/b/c.txt"));
}

struct FailureRow {
    const char* what;
    std::function<std::string()> zip;
    int message;            // the first box's message
    std::string fragment;   // also in that box
    std::vector<std::string> present;  // relative paths that stay
    std::vector<std::string> absent;
    uint32_t flags = 0;
    std::function<void(const std::string&)> prepare = nullptr;  // given the destination
};

// The end of a run: message, exit code 2, and what stays on disk.
TEST(Walk, FailuresEndTheRunWithTheirMessage) {
    std::string good = LocalEntryBytes(Item("first.txt", "first"));
    ZipItem badCrc = Item("bad-crc.txt", Text(3000));
    badCrc.crc = 0x12345678;
    ZipItem method12 = Item("method12.bin", "data", 12);
    ZipItem streamed = Item("streamed.txt", Text(100));
    streamed.flags = 8;
    streamed.compressedSize = 0;
    ZipItem longName = Item(std::string(261, 'n'), "x");
    ZipItem name260 = Item(std::string(260, 'n'), "x");
    ZipItem encryptedShort = Item("short.bin", "", 0);
    encryptedShort.password = "pw";
    encryptedShort.compressedSize = 11;
    std::string centralLong = Signature(1, 2) + std::string(24, '\0') + "\x05\x01" + std::string(16, '\0');
    std::vector<FailureRow> rows = {
        {"CRC mismatch", [&] { return ZipBytes({Item("first.txt", "first"), badCrc}); }, MSG_BAD_CRC,
         "bad-crc.txt", {"first.txt", "bad-crc.txt"}, {}},
        {"method 12", [&] { return ZipBytes({method12}); }, MSG_BAD_METHOD, "", {"method12.bin"}, {}},
        {"unknown bytes between entries", [&] { return good + "JUNK" + ZipBytes({}); }, MSG_BAD_ZIP_HEADER, "",
         {"first.txt"}, {}},
        {"spanning marker outside a spanned set", [&] { return Signature(7, 8) + good; }, MSG_BAD_ZIP_HEADER, "", {},
         {"first.txt"}},
        {"deflated, streamed with a descriptor", [&] { return ZipBytes({streamed}); }, MSG_BAD_ZIP_HEADER, "", {},
         {"streamed.txt"}},
        {"empty name", [&] { return ZipBytes({Item("", "x")}); }, MSG_BAD_ZIP_HEADER, "", {}, {}},
        {"encrypted entry shorter than its header", [&] { return ZipBytes({encryptedShort}); }, MSG_BAD_ZIP_HEADER,
         "", {}, {"short.bin"}},
        {"name of 261 bytes", [&] { return ZipBytes({longName}); }, MSG_NAME_TOO_LONG, "", {}, {}},
        // 260 bytes pass the header; the output path is then too long.
        {"name of 260 bytes", [&] { return ZipBytes({name260}); }, MSG_CANNOT_CREATE_FILE, std::string(260, 'n'), {},
         {}},
        {"central header name of 261 bytes", [&] { return good + centralLong; }, MSG_NAME_TOO_LONG, "", {"first.txt"},
         {}},
        {"signature cut short", [&] { return good + "PK"; }, MSG_READ_ERROR, " <9>", {"first.txt"}, {}},
        {"local header cut short", [&] { return good + Signature(3, 4) + "0123"; }, MSG_READ_ERROR, " <4>",
         {"first.txt"}, {}},
        {"central header cut short", [&] { return good + Signature(1, 2) + "0123"; }, MSG_READ_ERROR, " <6>",
         {"first.txt"}, {}},
        {"end record cut short", [&] { return good + Signature(5, 6) + "0123"; }, MSG_READ_ERROR, " <7>",
         {"first.txt"}, {}},
        {"name cut short", [&] { return LocalEntryBytes(Item("long-name.txt", "x")).substr(0, 36); }, MSG_READ_ERROR,
         " <1>", {}, {}},
        {"data cut short", [&] { return LocalEntryBytes(Item("cut.txt", Text(9000), 0)).substr(0, 4000); },
         MSG_READ_ERROR, " <2>", {"cut.txt"}, {}},
        {"parent folder in a name", [&] { return ZipBytes({Item("first.txt", "first"), Item("sub/../../x.txt", "x")}); },
         MSG_CANNOT_CREATE_FILE, "sub/../../x.txt", {"first.txt"}, {"sub"}},
        {"parent folder in a folder entry", [&] { return ZipBytes({Item("../up/", "", 0)}); },
         MSG_CANNOT_CREATE_FILE, "../up/", {}, {}},
        {"a folder where the file should go", [&] { return ZipBytes({Item("taken", "x")}); }, MSG_CANNOT_CREATE_FILE,
         "taken", {"taken/"}, {}, SFXF_OVERWRITE_DEFAULT,
         [](const std::string& out) { RunProgram({"/bin/mkdir", "-p", out + "/taken"}); }},
    };
    for (const FailureRow& row : rows) {
        SCOPED_TRACE(row.what);
        Outcome run = Extract("failure", row.zip(), {}, row.flags, "", row.prepare);
        EXPECT_EQ(2, run.exitCode);
        ASSERT_EQ(1u, run.boxes.size());
        EXPECT_TRUE(StartsWith(run.boxes[0], Lead(row.message))) << run.boxes[0];
        EXPECT_NE(std::string::npos, run.boxes[0].find(row.fragment)) << run.boxes[0];
        for (const std::string& path : row.present) EXPECT_TRUE(Exists(run.folder + "/" + path)) << path;
        for (const std::string& path : row.absent) EXPECT_FALSE(Exists(run.folder + "/" + path)) << path;
        // Nothing lands beside the destination.
        EXPECT_FALSE(Exists(run.folder + "/../x.txt"));
        EXPECT_FALSE(Exists(run.folder + "/../up"));
    }
}

// A deflated entry whose compressed data is stream, with the CRC-32 and
// uncompressed size its header declares.
std::string DeflatedEntry(const std::string& name, const std::string& stream, uint32_t crc, uint32_t size) {
    ZipItem item = Item(name, stream, 0);
    item.crc = crc;
    item.uncompressedSize = size;
    std::string bytes = LocalEntryBytes(item);
    bytes[8] = 8;  // the method: deflated
    return bytes;
}

// data deflated as if dictionary had come before it in the same stream.
std::string DeflateAfter(const std::string& dictionary, const std::string& data) {
    z_stream z = {};
    deflateInit2(&z, 9, Z_DEFLATED, -15, 8, Z_DEFAULT_STRATEGY);
    deflateSetDictionary(&z, (const Bytef*)dictionary.data(), (uInt)dictionary.size());
    std::string out(deflateBound(&z, data.size()), '\0');
    z.next_in = (Bytef*)data.data();
    z.avail_in = (uInt)data.size();
    z.next_out = (Bytef*)&out[0];
    z.avail_out = (uInt)out.size();
    deflate(&z, Z_FINISH);
    out.resize(z.total_out);
    deflateEnd(&z);
    return out;
}

// zlib's result for a raw deflate stream that should decode to size bytes.
int ZlibUncompress(const std::string& stream, size_t size) {
    z_stream z = {};
    inflateInit2(&z, -15);
    std::string out(size, '\0');
    z.next_in = (Bytef*)stream.data();
    z.avail_in = (uInt)stream.size();
    z.next_out = (Bytef*)&out[0];
    z.avail_out = (uInt)out.size();
    int result = inflate(&z, Z_FINISH);
    inflateEnd(&z);
    return result == Z_STREAM_END ? Z_OK : result;
}

// Deflated data is trusted only as far as it agrees with its header: a
// stream the inflater refuses, one that decodes to more or fewer bytes than
// declared, and one that reaches back into the previous entry's bytes (which
// the window still holds) all end the run with message 30 naming the entry,
// whatever CRC the header carries; nothing beyond the declared size is ever
// written. A stored entry whose sizes differ, or a file with bytes but no
// data, is refused with message 31 before anything is created.
TEST(Walk, EntryDataMustAgreeWithItsHeader) {
    std::string big(4u << 20, 'z');
    std::string first = Text(40000);
    // After the first entry the window holds its bytes 7,232..32,767 just
    // before index 32,768, where the next stream starts.
    std::string reused = first.substr(10000, 3000);
    std::string reaching = DeflateAfter(first.substr(7232, 32768 - 7232), reused);
    ASSERT_NE(Z_OK, ZlibUncompress(reaching, reused.size()));  // it does reach back
    ZipItem storedLonger = Item("stored.txt", "stored", 0);
    storedLonger.uncompressedSize = 7;
    ZipItem noData = Item("empty.txt", "", 8);
    noData.compressedSize = 0;
    noData.uncompressedSize = 5;
    struct Row {
        const char* what;
        std::string archive;
        int message;
        std::string file;
        uint32_t mostWritten;
    } rows[] = {
        {"block type 3, CRC 0, size 0", DeflatedEntry("damaged.txt", "\x07", 0, 0), MSG_BAD_CRC, "damaged.txt", 0},
        {"expands past its declared size", DeflatedEntry("bomb.txt", Deflate(big, 9), Crc32(big.substr(0, 1000)), 1000),
         MSG_BAD_CRC, "bomb.txt", 1000},
        {"stops short of its declared size", DeflatedEntry("short.txt", Deflate("hello"), Crc32("hello"), 10),
         MSG_BAD_CRC, "short.txt", 10},
        {"reaches into the previous entry", LocalEntryBytes(Item("first.txt", first)) +
             DeflatedEntry("second.txt", reaching, Crc32(reused), (uint32_t)reused.size()),
         MSG_BAD_CRC, "second.txt", (uint32_t)reused.size()},
        {"stored, sizes differ", LocalEntryBytes(storedLonger), MSG_BAD_ZIP_HEADER, "stored.txt", 0},
        {"bytes declared, no data", LocalEntryBytes(noData), MSG_BAD_ZIP_HEADER, "empty.txt", 0},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.what);
        Outcome run = Extract("disagree", row.archive + ZipBytes({}));
        EXPECT_EQ(2, run.exitCode);
        EXPECT_EQ(1u, run.boxes.size());
        if (run.boxes.empty()) continue;
        EXPECT_TRUE(StartsWith(run.boxes[0], Lead(row.message))) << run.boxes[0];
        EXPECT_NE(std::string::npos, run.boxes[0].find(row.message == MSG_BAD_CRC ? row.file : "")) << run.boxes[0];
        std::string path = run.folder + "/" + row.file;
        EXPECT_FALSE(row.message == MSG_BAD_ZIP_HEADER && Exists(path));
        EXPECT_LE(Exists(path) ? ReadFileBytes(path).size() : 0, row.mostWritten);
    }
}

TEST(Walk, CrcMismatchLeavesTheCompleteFileWithItsTime) {
    ZipItem bad = Item("bad.txt", Text(3000));
    bad.crc = 0xABCDEF01;
    Outcome run = Extract("crc", ZipBytes({bad}));
    ASSERT_EQ(1u, run.boxes.size());
    EXPECT_TRUE(StartsWith(run.boxes[0], Lead(MSG_BAD_CRC) + state.currentName)) << run.boxes[0];
    char crcs[64];
    snprintf(crcs, sizeof crcs, "%08x (devrait \xC3\xAAtre abcdef01)", Crc32(Text(3000)));
    EXPECT_NE(std::string::npos, run.boxes[0].find(crcs)) << run.boxes[0];
    EXPECT_EQ(Text(3000), ReadFileBytes(run.folder + "/bad.txt"));
    EXPECT_EQ(EntryTime(), ModifiedTime(run.folder + "/bad.txt"));
}

TEST(Walk, Passwords) {
    ZipItem secret = Item("secret.txt", Text(4000));
    secret.password = "s\xE9same";
    ZipItem other = Item("other.txt", "other");
    other.password = "different";
    std::string zip = ZipBytes({secret});

    Outcome right = Extract("password-right", zip, {}, SFXF_ENCRYPTED, "s\xE9same\n");
    EXPECT_EQ(0, right.exitCode);
    EXPECT_EQ(Text(4000), ReadFileBytes(right.folder + "/secret.txt"));

    // No flag in the configuration: no prompt, and the entry finds no password.
    Outcome missing = Extract("password-missing", zip);
    EXPECT_EQ(2, missing.exitCode);
    EXPECT_EQ(std::vector<std::string>{Message(MSG_PASSWORD_MISSING)}, missing.boxes);
    EXPECT_FALSE(Exists(missing.folder + "/secret.txt"));

    Outcome wrong = Extract("password-wrong", ZipBytes({secret, other}), {}, SFXF_ENCRYPTED, "s\xE9same\n");
    EXPECT_EQ(2, wrong.exitCode);
    EXPECT_EQ(std::vector<std::string>{Message(MSG_PASSWORD_WRONG)}, wrong.boxes);
    EXPECT_TRUE(Exists(wrong.folder + "/secret.txt"));
    EXPECT_FALSE(Exists(wrong.folder + "/other.txt"));

    // The encryption header itself cut short.
    std::string cut = LocalEntryBytes(secret);
    cut.resize(30 + secret.name.size() + 5);
    Outcome shortHeader = Extract("password-short", cut, {}, SFXF_ENCRYPTED, "s\xE9same\n");
    ASSERT_EQ(1u, shortHeader.boxes.size());
    EXPECT_TRUE(StartsWith(shortHeader.boxes[0], Lead(MSG_READ_ERROR)));
    EXPECT_NE(std::string::npos, shortHeader.boxes[0].find(" <14>"));
}

// Yes replaces, No keeps the file and goes on, Cancel ends the run with
// nothing more said.
TEST(Walk, OverwriteAnswers) {
    std::string zip = ZipBytes({Item("one.txt", "new one"), Item("two.txt", "new two")});
    auto existing = [](const std::string& out) {
        mkdir(out.c_str(), 0755);
        WriteFileBytes(out + "/one.txt", "old one");
        WriteFileBytes(out + "/two.txt", "old two");
    };
    Outcome yesNo = Extract("overwrite-yes-no", zip, {kAnswerYes, kAnswerNo}, 0, "", existing);
    EXPECT_EQ(0, yesNo.exitCode);
    EXPECT_EQ(2u, yesNo.boxes.size());
    EXPECT_EQ("new one", ReadFileBytes(yesNo.folder + "/one.txt"));
    EXPECT_EQ("old two", ReadFileBytes(yesNo.folder + "/two.txt"));
    EXPECT_EQ(1, state.filesExtracted);

    Outcome cancel = Extract("overwrite-cancel", zip, {kAnswerCancel}, 0, "", existing);
    EXPECT_EQ(2, cancel.exitCode);
    EXPECT_EQ(1u, cancel.boxes.size());
    EXPECT_EQ("old one", ReadFileBytes(cancel.folder + "/one.txt"));

    Outcome all = Extract("overwrite-all", zip, {}, SFXF_OVERWRITE_DEFAULT, "", existing);
    EXPECT_EQ(0, all.exitCode);
    EXPECT_TRUE(all.boxes.empty());
    EXPECT_EQ("new two", ReadFileBytes(all.folder + "/two.txt"));
}

// A full disk: message 35 naming the file, which stays as far as written.
TEST(Walk, ShortWriteEndsTheRun) {
    std::string folder = TempFolder("full-disk");
    std::string sfx = MakeSfx(folder + ".sfx", ZipBytes({Item("big.txt", Text(10000))}));
    PrepareInProcess(sfx);
    fake.writeBudget = 5000;
    EXPECT_EQ(2u, RunSfxMain(" -auto " + folder));
    RestoreRealPlatform();
    ASSERT_EQ(1u, BoxTexts().size());
    EXPECT_EQ(MessageWith(MSG_WRITE_ERROR, state.currentName), BoxTexts()[0]);
    EXPECT_EQ(Text(5000), ReadFileBytes(folder + "/big.txt"));
}

// The seek to the archive start lands elsewhere: message 37.
int64_t (*realSeek)(FileHandle, int64_t, int);
int64_t SeekFallingShort(FileHandle file, int64_t offset, int origin) {
    int64_t position = realSeek(file, offset, origin);
    return origin == kSeekSet && offset == (int64_t)sfxConfigBlock.archiveStart ? position - 1 : position;
}

TEST(Walk, SeekToTheArchiveStartFails) {
    std::string folder = TempFolder("seek");
    std::string sfx = MakeSfx(folder + ".sfx", ZipBytes({Item("a.txt", "a")}));
    PrepareInProcess(sfx);
    realSeek = sfxPlatform.seekFile;
    sfxPlatform.seekFile = SeekFallingShort;
    EXPECT_EQ(2u, RunSfxMain(" -auto " + folder));
    RestoreRealPlatform();
    EXPECT_EQ(std::vector<std::string>{Message(MSG_IO_ERROR)}, BoxTexts());
    EXPECT_FALSE(Exists(folder + "/a.txt"));
}

// Records cut short at the end of a volume are read again, whole, from the
// next one; still short there, they end the run (8 for a signature, 3 for a
// local header).
TEST(Walk, SpannedRecordsCutShort) {
    std::string entry = LocalEntryBytes(Item("one.txt", "one", 0));
    struct Row {
        const char* what;
        std::string disk1, disk2;
        const char* code;
    } rows[] = {
        {"signature", Signature(7, 8) + entry, "", " <8>"},
        {"local header", Signature(7, 8) + entry + Signature(3, 4), "0123456789", " <3>"},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.what);
        std::string folder = TempFolder("span-short");
        std::string sfx = MakeSfx(folder + "/setup.exe", row.disk1, SFXF_SPANNED | SFXF_EXE_VOLUMES);
        WriteFileBytes(folder + "/disk2", row.disk2);
        PrepareInProcess(sfx);
        fake.mapOpenPath = [&](const std::string&) { return state.currentDisk == 2 ? folder + "/disk2" : sfx; };
        fake.labelSequence = {"PKBACK# 001", "PKBACK# 001", "PKBACK# 002"};
        EXPECT_EQ(2u, RunSfxMain(" -auto " + folder + "/out"));
        RestoreRealPlatform();
        std::vector<std::string> boxes = BoxTexts();
        ASSERT_EQ(1u, boxes.size());
        EXPECT_TRUE(StartsWith(boxes[0], Lead(MSG_READ_ERROR)));
        EXPECT_EQ(row.code, boxes[0].substr(boxes[0].size() - 4));
        EXPECT_EQ("one", ReadFileBytes(folder + "/out/one.txt"));
    }
}

// A spanned set over three disks recognised by their labels: a wrong disk
// (message 1, OK), then no label (message 4, Retry). The volumes are the
// same file name on each "disk"; the data of one entry crosses from disk 1
// to disk 2, and disk 2 ends exactly before a record.
TEST(Walk, SpannedSetOverThreeDisks) {
    for (int namedExe = 0; namedExe < 2; namedExe++) {
        SCOPED_TRACE(namedExe ? ".EXE volumes" : ".ZIP volumes");
        std::string folder = TempFolder(namedExe ? "span-exe" : "span-zip");
        std::string first = LocalEntryBytes(Item("one.txt", Text(6000), 0));
        std::string second = LocalEntryBytes(Item("two.txt", Noise(20000, 7)));
        std::string third = LocalEntryBytes(Item("three.txt", Text(300, 'x'), 0));
        std::string rest = ZipBytes({Item("one.txt", Text(6000), 0)});
        std::string archive = Signature(7, 8) + first + second + "JUNK" + third +
                              rest.substr(rest.find(Signature(1, 2)));
        size_t cut1 = 4 + first.size() + 500, cut2 = 4 + first.size() + second.size() + 4;
        std::vector<std::string> parts = {archive.substr(0, cut1), archive.substr(cut1, cut2 - cut1),
                                          archive.substr(cut2)};
        uint32_t flags = SFXF_SPANNED | (namedExe ? (uint32_t)SFXF_EXE_VOLUMES : 0u);
        std::string sfx = MakeSfx(folder + "/setup.exe", namedExe ? parts[0] : "", flags);
        std::vector<std::string> disks = {"", namedExe ? sfx : folder + "/disk1.zip", folder + "/disk2",
                                          folder + "/disk3"};
        if (!namedExe) WriteFileBytes(disks[1], parts[0]);
        WriteFileBytes(disks[2], parts[1]);
        WriteFileBytes(disks[3], parts[2]);
        std::string out = folder + "/out";
        PrepareInProcess(sfx);
        fake.mapOpenPath = [&](const std::string& path) {
            std::string extension = path.substr(path.size() - 4);
            if (extension == ".EXE" && (!namedExe || state.currentDisk == 1)) return sfx;
            if (extension == ".EXE" || extension == ".ZIP") return disks[state.currentDisk % 4];
            return path;
        };
        fake.labelSequence = {"PKBACK# 001", "PKBACK# 001", "PKBACK# 003", "PKBACK# 002", "<none>", "PKBACK# 003"};
        fake.answers = {kAnswerOk, kAnswerRetry};
        EXPECT_EQ(0u, RunSfxMain(" -auto " + out));
        RestoreRealPlatform();
        std::vector<std::string> boxes = BoxTexts();
        ASSERT_EQ(2u, boxes.size());
        EXPECT_TRUE(StartsWith(boxes[0], Lead(MSG_INSERT_DISK))) << boxes[0];
        EXPECT_TRUE(StartsWith(boxes[1], Lead(MSG_NO_DISK_OR_LABEL))) << boxes[1];
        EXPECT_EQ(Text(6000), ReadFileBytes(out + "/one.txt"));
        EXPECT_EQ(Noise(20000, 7), ReadFileBytes(out + "/two.txt"));
        EXPECT_EQ(Text(300, 'x'), ReadFileBytes(out + "/three.txt"));
        EXPECT_EQ(3, state.filesExtracted);
    }
}

}  // namespace
