// The archive walk and entry extraction, run in-process through the whole
// program (start-up, terminal dialog in auto mode, run) on self-extracting
// files assembled here from archives written field by field. Each row is a
// failure (or a rule) of the walk: its message, its exit code, and what
// stays on disk.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <zlib.h>

#include <algorithm>
#include <functional>
#include <map>
#include <string>
#include <vector>

#include "codec/codec.h"
#include "format/bytes.h"
#include "resources/messages.h"
#include "startup/sfx_state.h"
#include "support/codec_control.h"
#include "support/data.h"
#include "support/fake_platform.h"
#include "support/files.h"
#include "format/bytes.h"
#include "support/sfx_image.h"
#include "support/stub_state.h"
#include "support/zip_writer.h"

namespace {

std::string Text(size_t size, char seed = 'a') {
    std::string text(size, ' ');
    for (size_t i = 0; i < size; i++) text[i] = (char)(seed + (i * 7 + i / 13) % 26);
    return text;
}

// The default time of ZipItem, 2025-04-15 13:33:20, as local time.
int64_t EntryTime() {
    struct tm local = {};
    local.tm_year = 125, local.tm_mon = 3, local.tm_mday = 15, local.tm_hour = 13, local.tm_min = 33, local.tm_sec = 20;
    local.tm_isdst = -1;
    return (int64_t)mktime(&local);
}

std::string Signature(uint8_t third, uint8_t fourth) { return std::string("PK") + (char)third + (char)fourth; }

struct Outcome {
    int exitCode;
    std::vector<std::string> boxes;
    std::string folder;
};

// Extracts zip with "-auto FOLDER" in-process; answers script the boxes.
// script, when given, sets up the fake platform before the run.
Outcome Extract(const std::string& name, const std::string& zip, std::vector<int> answers = {}, uint32_t flags = 0,
            const std::string& input = "", const std::function<void(const std::string&)>& prepare = nullptr,
            const std::function<void()>& script = nullptr) {
    std::string folder = TempFolder(name);
    std::string sfx = MakeSfx(folder + ".sfx", zip, flags);
    std::string out = folder + "/out";
    if (prepare) prepare(out);
    PrepareInProcess(sfx, input);
    fake.answers.assign(answers.begin(), answers.end());
    if (script) script();
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

std::string LastName(const std::string& path) {
    size_t slash = path.find_last_of('/', path.size() - 2);
    return slash == std::string::npos ? path : path.substr(slash + 1);
}

// The temporary files left anywhere under folder, one path a line.
std::string Leftovers(const std::string& folder) {
    std::string found;
    for (const auto& [path, node] : ReadTree(folder))
        if (LastName(path)[0] == '~' && LastName(path).size() <= 8) found += path + "\n";
    return found;
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

// An extra block: id, data size (the data's own length unless given), data.
std::string ExtraBlock(uint16_t id, const std::string& data, int size = -1) {
    std::string out;
    AppendLe16(out, id);
    AppendLe16(out, size < 0 ? (uint32_t)data.size() : (uint32_t)size);
    return out + data;
}

// The extended timestamp block: flags, then the times it announces.
std::string Stamp(uint8_t flags, const std::vector<int32_t>& times, int size = -1) {
    std::string data(1, (char)flags);
    for (int32_t t : times) AppendLe32(data, (uint32_t)t);
    return ExtraBlock(kExtraTimestampId, data, size);
}

// The local extra field: the extended timestamp gives the exact time in UTC
// when it is whole and announces the modification time; anything else about
// the field falls back on the DOS time, and never derails the walk.
TEST(Walk, ExtendedTimestampInTheLocalExtraField) {
    const int32_t exact = 1700000001;  // an odd second: the DOS time cannot hold it
    struct Row {
        const char* what;
        std::string extra;
        bool utc;
        int64_t seconds;
    } rows[] = {
        {"modification time alone", Stamp(1, {exact}), true, exact},
        {"with access and creation times", Stamp(7, {exact, 5, 6}), true, exact},
        {"after another block", ExtraBlock(0x000A, std::string(32, '\x01')) + Stamp(1, {exact}), true, exact},
        {"before a block of no data", Stamp(1, {exact}) + ExtraBlock(0x7075, ""), true, exact},
        {"before 1970", Stamp(1, {-86400}), true, -86400},
        {"only an access time", Stamp(2, {exact}), false, 0},
        {"data too short for the time", Stamp(1, {}) + "\x01\x02\x03\x04", false, 0},
        {"block longer than the field", Stamp(1, {exact}, 9), false, 0},
        {"size reaching past the field", ExtraBlock(0x000A, "", 0xFFFF) + Stamp(1, {exact}), false, 0},
        {"three stray bytes", "UT\x05", false, 0},
        {"stray bytes after the block", Stamp(1, {exact}) + "\x01\x02", true, exact},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.what);
        ZipItem stamped = Item("stamped.txt", Text(3000));
        stamped.extra = row.extra;
        std::string folder = TempFolder("stamp");
        std::string sfx = MakeSfx(folder + ".sfx", ZipBytes({stamped, Item("next.txt", "next", 0)}));
        PrepareInProcess(sfx);
        EXPECT_EQ(0u, RunSfxMain(" -auto " + folder));
        RestoreRealPlatform();
        EXPECT_TRUE(BoxTexts().empty());
        ASSERT_EQ(2u, fake.fileTimes.size());
        EXPECT_EQ(row.utc, fake.fileTimes[0].utc);
        EXPECT_EQ(row.utc ? row.seconds : EntryTime(), ModifiedTime(folder + "/stamped.txt"));
        EXPECT_EQ(Text(3000), ReadFileBytes(folder + "/stamped.txt"));
        // The next entry starts where the field ends, and keeps no stale time.
        EXPECT_EQ("next", ReadFileBytes(folder + "/next.txt"));
        EXPECT_FALSE(fake.fileTimes[1].utc);
        EXPECT_EQ(EntryTime(), ModifiedTime(folder + "/next.txt"));
    }
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
         "bad-crc.txt", {"first.txt"}, {"bad-crc.txt"}},
        {"method 12", [&] { return ZipBytes({method12}); }, MSG_BAD_METHOD, "", {}, {"method12.bin"}},
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
        {"extra field cut short",
         [&] {
             ZipItem cut = Item("cut.txt", "x", 0);
             cut.extra = Stamp(1, {1700000001});
             return LocalEntryBytes(cut).substr(0, 30 + 7 + 6);
         },
         MSG_READ_ERROR, " <2>", {}, {"cut.txt"}},
        {"data cut short", [&] { return LocalEntryBytes(Item("cut.txt", Text(9000), 0)).substr(0, 4000); },
         MSG_READ_ERROR, " <2>", {}, {"cut.txt"}},
        {"parent folder in a name", [&] { return ZipBytes({Item("first.txt", "first"), Item("sub/../../x.txt", "x")}); },
         MSG_CANNOT_CREATE_FILE, "sub/../../x.txt", {"first.txt"}, {"sub"}},
        // Cut at the NUL, the name would be another one than the one stored.
        {"NUL byte in a name",
         [&] { return ZipBytes({Item("first.txt", "first"), Item(std::string("kept.txt\0/../x", 14), "x")}); },
         MSG_BAD_ZIP_HEADER, "", {"first.txt"}, {"kept.txt"}},
        {"file named \".\"", [&] { return ZipBytes({Item(".", "x")}); }, MSG_CANNOT_CREATE_FILE, ".", {}, {}},
        {"file named after its folder", [&] { return ZipBytes({Item("sub/.", "x")}); }, MSG_CANNOT_CREATE_FILE,
         "sub/.", {}, {"sub"}},
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
        EXPECT_EQ("", Leftovers(run.folder));
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

// zlib's result for a raw deflate stream that should decode to size bytes.
int ZlibUncompress(const std::string& stream, size_t size) {
    Bytes out;
    int result = ZlibInflateInto(stream.data(), stream.size(), size, &out);
    return result == Z_STREAM_END ? Z_OK : result;
}

// Deflated data is trusted only as far as it agrees with its header: a
// stream the inflater refuses, one that decodes to more or fewer bytes than
// declared, and one that reaches back into the previous entry's bytes (which
// the window still holds) all end the run with message 30 naming the entry,
// whatever CRC the header carries, and leave no file behind. A stored entry whose sizes differ, or a file with bytes but no
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
    } rows[] = {
        {"block type 3, CRC 0, size 0", DeflatedEntry("damaged.txt", "\x07", 0, 0), MSG_BAD_CRC, "damaged.txt"},
        {"expands past its declared size", DeflatedEntry("bomb.txt", Deflate(big, 9), Crc32(big.substr(0, 1000)), 1000),
         MSG_BAD_CRC, "bomb.txt"},
        {"stops short of its declared size", DeflatedEntry("short.txt", Deflate("hello"), Crc32("hello"), 10),
         MSG_BAD_CRC, "short.txt"},
        {"reaches into the previous entry", LocalEntryBytes(Item("first.txt", first)) +
             DeflatedEntry("second.txt", reaching, Crc32(reused), (uint32_t)reused.size()),
         MSG_BAD_CRC, "second.txt"},
        {"stored, sizes differ", LocalEntryBytes(storedLonger), MSG_BAD_ZIP_HEADER, "stored.txt"},
        {"bytes declared, no data", LocalEntryBytes(noData), MSG_BAD_ZIP_HEADER, "empty.txt"},
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
        // A failed entry leaves nothing of itself.
        EXPECT_FALSE(Exists(path));
        EXPECT_EQ("", Leftovers(run.folder));
    }
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

// A password other than the entry's whose keys still turn the last byte of
// the encryption header into the check byte (one in 256 does).
std::string WrongPasswordPassingTheCheck(const ZipItem& item) {
    std::string entry = LocalEntryBytes(item);
    const uint8_t* header = (const uint8_t*)entry.data() + 30 + item.name.size() + item.extra.size();
    ResetSfxState();
    BuildCrcTable();
    state.localHeader.crc32 = Crc32(item.data);
    std::string candidate;
    for (int i = 0;; i++) {
        candidate = "wrong" + std::to_string(i);
        state.password = &candidate[0];
        if (CheckEncryptionHeader(header) == 0) break;
    }
    state.password = nullptr;
    return candidate;
}

// An entry that fails after the user agreed to replace the file at its
// name leaves nothing of itself: that file stays byte for byte, with its
// time, and no temporary file remains.
TEST(Walk, FailedEntryKeepsTheFileItWouldReplace) {
    const std::string data = Text(9000);
    ZipItem deflatedBadCrc = Item("target.txt", data);
    deflatedBadCrc.crc = 0x12345678;
    ZipItem storedBadCrc = Item("target.txt", data, 0);
    storedBadCrc.crc = 1;
    ZipItem secret = Item("target.txt", data, 0);
    secret.password = "right";
    std::string wrong = WrongPasswordPassingTheCheck(secret);
    std::string good = ZipBytes({Item("target.txt", data)});
    struct Row {
        const char* what;
        std::string zip;
        int message;
        std::function<void()> script;
        uint32_t flags;
        std::string input;
    } rows[] = {
        {"CRC mismatch, deflated", ZipBytes({Item("first.txt", "first"), deflatedBadCrc}), MSG_BAD_CRC},
        {"CRC mismatch, stored", ZipBytes({storedBadCrc}), MSG_BAD_CRC},
        {"unknown method", ZipBytes({Item("target.txt", data, 12)}), MSG_BAD_METHOD},
        {"wrong password that passes the check byte", ZipBytes({secret}), MSG_BAD_CRC, nullptr, SFXF_ENCRYPTED,
         wrong + "\n"},
        {"write error", good, MSG_WRITE_ERROR, [] { fake.failWrites = true; }},
        {"full disk", good, MSG_WRITE_ERROR, [] { fake.writeBudget = 5000; }},
        // Every write-out taken, the file's bytes refused when the system
        // side hands over what it gathered.
        {"the gathered writes fail at the flush", good, MSG_WRITE_ERROR,
         [] { sfxPlatform.flushFile = [](FileHandle) { return 0; }; }},
        {"data cut short", LocalEntryBytes(Item("target.txt", data, 0)).substr(0, 4000), MSG_READ_ERROR},
        // Nobody can answer the abort question here (standard input is no
        // terminal): Ctrl-C stops the run at once, without a second box.
        {"cancelled during its data", good, -1,
         [] {
             fake.afterWrite = [](int64_t written) {
                 if (written == 2048) raise(SIGINT);
             };
         }},
        {"the complete file cannot take its name", good, MSG_CANNOT_CREATE_FILE, [] { fake.failReplace = true; }},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.what);
        auto existing = [](const std::string& out) {
            mkdir(out.c_str(), 0755);
            WriteFileBytes(out + "/target.txt", "the user's own file");
            SetFileTimes(out + "/target.txt", 1000000000);
        };
        // Yes to the overwrite question, and Yes to the abort question.
        Outcome run = Extract("failed-entry", row.zip, {kAnswerYes, kAnswerYes}, row.flags, row.input, existing,
                              row.script);
        EXPECT_EQ(2, run.exitCode);
        ASSERT_EQ(row.message < 0 ? 1u : 2u, run.boxes.size());
        EXPECT_TRUE(StartsWith(run.boxes[0], Lead(MSG_CONFIRM_OVERWRITE))) << run.boxes[0];
        if (row.message >= 0) {
            EXPECT_TRUE(StartsWith(run.boxes[1], Lead(row.message))) << run.boxes[1];
        }
        EXPECT_EQ("the user's own file", ReadFileBytes(run.folder + "/target.txt"));
        EXPECT_EQ(1000000000, ModifiedTime(run.folder + "/target.txt"));
        for (const auto& [path, node] : ReadTree(run.folder))
            EXPECT_TRUE(path == "target.txt" || path == "first.txt") << path;
    }
}

// The seam's file and folder calls of a run, counted.
struct CallCounts {
    int reads = 0, seeks = 0, finds = 0;
};
CallCounts counts;
SfxPlatform uncounted;  // the entries the counting ones hand over to

void CountCalls() {
    counts = CallCounts();
    uncounted = sfxPlatform;
    sfxPlatform.readFile = [](FileHandle file, void* buffer, uint32_t count) {
        counts.reads++;
        return uncounted.readFile(file, buffer, count);
    };
    sfxPlatform.seekFile = [](FileHandle file, int64_t offset, int origin) {
        counts.seeks++;
        return uncounted.seekFile(file, offset, origin);
    };
    sfxPlatform.findFile = [](const char* path, char* name, uint32_t* attributes) {
        counts.finds++;
        return uncounted.findFile(path, name, attributes);
    };
}

// Small files, two folders deep under the (absolute) destination, with
// extra fields: what each file costs beyond the start-up is its two reads
// of header and name, one of data, two of its central header; no seek (the
// file position is always where the next record starts), and folders found
// or made once are known. A file in a folder this run made needs no look-up
// before it is written; one in a folder that was there gets the overwrite
// check's look-up, which still finds the user's file there, and so does
// every file after a name that another name may stand for ("~", a trailing
// dot or blank, a character beyond ASCII).
TEST(Walk, SmallFilesCostFewCalls) {
    enum Folders { kMade, kThere, kMadeAfterName };
    auto run = [](int files, Folders folders) {
        std::vector<ZipItem> items;
        if (folders == kMadeAfterName) items.push_back(Item("d0/caf\xE9", "x"));
        for (int i = 0; i < files; i++) {
            ZipItem item = Item("d" + std::to_string(i % 4) + "/sub/f" + std::to_string(i) + ".txt", Text(1 + i % 150));
            item.extra = std::string("UT\x05\x00\x03\x10\x20\x30\x40", 9);
            items.push_back(item);
        }
        auto there = [](const std::string& out) {
            for (int d = 0; d < 4; d++) RunProgram({"/bin/mkdir", "-p", out + "/d" + std::to_string(d) + "/sub"});
            WriteFileBytes(out + "/d1/sub/f5.txt", "the user's own");
        };
        Outcome outcome = Extract("small-files", ZipBytes(items), {kAnswerNo}, 0, "",
                                  folders == kThere ? std::function<void(const std::string&)>(there) : nullptr,
                                  CountCalls);
        EXPECT_EQ(0, outcome.exitCode);
        EXPECT_EQ(folders == kThere ? 1u : 0u, outcome.boxes.size());
        if (folders == kThere) {
            EXPECT_EQ("the user's own", ReadFileBytes(outcome.folder + "/d1/sub/f5.txt"));
        }
        EXPECT_EQ(Text(1 + (files - 1) % 150), ReadFileBytes(outcome.folder + "/d" + std::to_string((files - 1) % 4) +
                                                             "/sub/f" + std::to_string(files - 1) + ".txt"));
        return counts;
    };
    for (Folders folders : {kMade, kThere, kMadeAfterName}) {
        SCOPED_TRACE(folders);
        CallCounts few = run(20, folders), many = run(60, folders);
        EXPECT_EQ(0, many.seeks - few.seeks);
        EXPECT_EQ(folders == kMade ? 0 : 40, many.finds - few.finds);
        EXPECT_EQ(5 * 40, many.reads - few.reads);
    }
}

// In the folders a run made, whatever the run put there before is still
// found by the overwrite check: a file named twice, in the same or another
// case, a folder named as a file, names a system may take for another's
// (a short alias, a trailing dot), at any depth, and after many other
// names. Answered No, each keeps what came first.
TEST(Walk, NamesARunUsedAreCheckedInFoldersItMade) {
    std::vector<ZipItem> items = {Item("new/a.txt", "first"), Item("new/deep/er/b.txt", "first b")};
    for (int i = 0; i < 300; i++) items.push_back(Item("new/many/f" + std::to_string(i), "x"));
    for (const char* name : {"new/a.txt", "new/deep/er/b.txt", "new/many/f7"})
        items.push_back(Item(name, "second"));
    items.push_back(Item("new/c/", ""));
    items.push_back(Item("new/c", "a file where a folder is"));
    items.push_back(Item("new/LONGNA~1.TXT", "alias"));
    items.push_back(Item("new/LONGNA~1.TXT", "alias again"));
    items.push_back(Item("new/dot.", "dot"));
    items.push_back(Item("new/dot.", "dot again"));
    std::vector<int> noes(6, kAnswerNo);
    Outcome run = Extract("names-used", ZipBytes(items), noes);
    EXPECT_EQ(0, run.exitCode);
    ASSERT_EQ(6u, run.boxes.size());
    for (const std::string& box : run.boxes) EXPECT_TRUE(StartsWith(box, Lead(MSG_CONFIRM_OVERWRITE))) << box;
    EXPECT_EQ("first", ReadFileBytes(run.folder + "/new/a.txt"));
    EXPECT_EQ("first b", ReadFileBytes(run.folder + "/new/deep/er/b.txt"));
    EXPECT_EQ("x", ReadFileBytes(run.folder + "/new/many/f7"));
    EXPECT_EQ("alias", ReadFileBytes(run.folder + "/new/LONGNA~1.TXT"));
    EXPECT_EQ("dot", ReadFileBytes(run.folder + "/new/dot."));
    struct stat info;
    ASSERT_EQ(0, stat((run.folder + "/new/c").c_str(), &info));
    EXPECT_TRUE(S_ISDIR(info.st_mode));

    // Another case is another file here; looked up, it is found absent.
    Outcome cases = Extract("names-case", ZipBytes({Item("new/Same.txt", "upper"), Item("new/same.txt", "lower")}));
    EXPECT_EQ(0, cases.exitCode);
    EXPECT_TRUE(cases.boxes.empty());
    EXPECT_EQ("upper", ReadFileBytes(cases.folder + "/new/Same.txt"));
    EXPECT_EQ("lower", ReadFileBytes(cases.folder + "/new/same.txt"));
}

// Each file is written under a name that nothing has and takes its own when
// complete: entries named like temporary files, in either case, and a
// user's file of that form come out exact, and nothing else is left.
TEST(Walk, TemporaryNamesCollideWithNothing) {
    std::vector<ZipItem> items = {Item("~kv00001", "one"), Item("~kv00000", "zero"), Item("a.txt", Text(5000)),
                                  Item("sub/~KV00000", "upper")};
    auto userFile = [](const std::string& out) {
        mkdir(out.c_str(), 0755);
        WriteFileBytes(out + "/~kv00002", "the user's");
    };
    Outcome run = Extract("collisions", ZipBytes(items), {}, 0, "", userFile);
    EXPECT_EQ(0, run.exitCode);
    EXPECT_TRUE(run.boxes.empty());
    std::map<std::string, std::string> expected = {{"~kv00000", "zero"}, {"~kv00001", "one"},
                                                   {"~kv00002", "the user's"}, {"a.txt", Text(5000)},
                                                   {"sub/", ""}, {"sub/~KV00000", "upper"}};
    std::map<std::string, std::string> actual;
    for (const auto& [path, node] : ReadTree(run.folder))
        actual[path] = node.folder ? "" : ReadFileBytes(run.folder + "/" + path);
    EXPECT_EQ(expected, actual);
    ASSERT_EQ(items.size(), fake.createdPaths.size());
    ASSERT_EQ(items.size(), fake.replaced.size());
    // No temporary name is one that something had when it was created: the
    // user's file, the entries extracted before, the entry's own name.
    auto own = [&](const std::string& path) {
        std::string text = run.folder + "/" + path;
        std::replace(text.begin(), text.end(), '/', '\\');
        return text;
    };
    for (size_t i = 0; i < items.size(); i++) {
        const std::string& created = fake.createdPaths[i];
        EXPECT_EQ(created, fake.replaced[i].first);
        EXPECT_EQ(own(items[i].name), fake.replaced[i].second);
        EXPECT_NE(own("~kv00002"), created);
        for (size_t j = 0; j <= i; j++) EXPECT_NE(own(items[j].name), created) << i;
    }
}

// The temporary name keeps the output path within 259 characters: shorter
// when the folder leaves little room, down to one character.
TEST(Walk, TemporaryNameKeepsToThePathLimit) {
    std::string root = TempFolder("limit");
    std::string out = root;
    size_t remaining = 255 - out.size();
    while (remaining >= 2) {
        size_t cost = remaining < 51 ? remaining : 51;
        if (remaining - cost == 1) cost--;
        out += "/" + std::string(cost - 1, 'd');
        remaining -= cost;
    }
    ASSERT_EQ(255u, out.size());
    RunProgram({"/bin/mkdir", "-p", out});
    // Output paths of 259 characters: "abc" leaves three characters for the
    // temporary name, "s/x" one.
    std::string sfx = MakeSfx(root + ".sfx", ZipBytes({Item("abc", "three"), Item("s/x", "one")}));
    PrepareInProcess(sfx);
    EXPECT_EQ(0u, RunSfxMain(" -auto " + out));
    RestoreRealPlatform();
    EXPECT_TRUE(fake.boxes.empty());
    EXPECT_EQ("three", ReadFileBytes(out + "/abc"));
    EXPECT_EQ("one", ReadFileBytes(out + "/s/x"));
    ASSERT_EQ(2u, fake.createdPaths.size());
    for (const std::string& created : fake.createdPaths) EXPECT_GE(259u, created.size()) << created;
    EXPECT_EQ(2u, fake.replaced.size());
}

// A damaged entry of a spanned set is reported with message 30 at once:
// the bytes after its deflate stream lie on the next disk, which is not
// asked for.
TEST(Walk, SpannedDamagedEntryAsksForNoFurtherDisk) {
    std::string folder = TempFolder("span-damaged");
    ZipItem bad = Item("bad.txt", Text(3000));
    bad.crc = 0x1234;
    bad.trailing = Noise(9000, 5);
    std::string archive = Signature(7, 8) + LocalEntryBytes(bad) + LocalEntryBytes(Item("after.txt", "after"));
    size_t cut = archive.size() - 4000;
    std::string sfx = MakeSfx(folder + "/setup.exe", archive.substr(0, cut), SFXF_SPANNED | SFXF_EXE_VOLUMES);
    WriteFileBytes(folder + "/disk2", archive.substr(cut));
    PrepareInProcess(sfx);
    fake.mapOpenPath = [&](const std::string&) { return state.currentDisk == 2 ? folder + "/disk2" : sfx; };
    fake.label = "PKBACK# 001";
    fake.labelReadable = true;
    EXPECT_EQ(2u, RunSfxMain(" -auto " + folder + "/out"));
    RestoreRealPlatform();
    std::vector<std::string> boxes = BoxTexts();
    ASSERT_EQ(1u, boxes.size());
    EXPECT_TRUE(StartsWith(boxes[0], Lead(MSG_BAD_CRC))) << boxes[0];
    EXPECT_EQ(1u, state.currentDisk);
    EXPECT_FALSE(Exists(folder + "/out/bad.txt"));
    EXPECT_EQ("", Leftovers(folder + "/out"));
}

}  // namespace
