// CRC-32 against its check value and zlib; the traditional cipher against
// archives encrypted by Info-ZIP zip and by 7z; the encryption header read
// from the archive; the password store and prompt.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <unistd.h>

#include "codec/codec.h"
#include "failure/recovery.h"
#include "resources/messages.h"
#include "startup/sfx_state.h"
#include "support/fake_platform.h"
#include "support/inflate_harness.h"
#include "format/bytes.h"

namespace {

class CrcCrypt : public ::testing::Test {
protected:
    void SetUp() override { SetUpCodec(); }
    void TearDown() override { TearDownCodec(); }
};

uint32_t Crc(const uint8_t* data, size_t length) {
    state.crc = 0xFFFFFFFFu;
    UpdateCrc(data, (uint32_t)length);
    return ~state.crc;
}

TEST_F(CrcCrypt, CrcCheckValueAndTable) {
    EXPECT_EQ(Crc((const uint8_t*)"123456789", 9), 0xCBF43926u);
    EXPECT_EQ(state.crcTable[0], 0u);
    EXPECT_EQ(state.crcTable[1], 0x77073096u);
    EXPECT_EQ(state.crcTable[255], 0x2D02EF8Du);
    state.crc = 0x12345678u;
    UpdateCrc(nullptr, 0);
    EXPECT_EQ(state.crc, 0x12345678u);
}

// Every length and alignment around the 40-byte steps of the tables and
// the 16- and 64-byte steps of carry-less multiply, and a running register
// carried across calls, agree with zlib, with and without carry-less
// multiply (where the processor has it).
TEST_F(CrcCrypt, CrcAgreesWithZlib) {
    Bytes data = NoiseBytes(4096 + 64, 9);
    for (int fast = 0; fast < 2; fast++) {
        SCOPED_TRACE(UseFastCrc(fast) ? "carry-less multiply" : "tables");
        for (size_t offset = 0; offset < 16; offset++)
            for (size_t length = 0; length < 400; length += length < 200 ? 1 : 7) {
                Bytes piece(data.begin() + offset, data.begin() + offset + length);
                ASSERT_EQ(Crc(data.data() + offset, length), ZlibCrc(piece)) << offset << " " << length;
            }
        state.crc = 0xFFFFFFFFu;
        size_t at = 0;
        for (size_t step : {1u, 7u, 16u, 33u, 2048u, 1000u, 64u, 80u}) {
            UpdateCrc(data.data() + at, (uint32_t)step);
            at += step;
        }
        EXPECT_EQ(~state.crc, ZlibCrc(Bytes(data.begin(), data.begin() + at)));
    }
}

// One entry of a committed test archive.
struct EncryptedEntry {
    LocalFileHeader header;
    Bytes encrypted;  // the 12-byte encryption header, then the data
    Bytes archive;    // the whole file
    size_t dataOffset;
};

EncryptedEntry ReadEntry(const std::string& name) {
    EncryptedEntry entry;
    entry.archive = ReadBytes(std::string(KVSFX_SOURCE_DIR) + "/tests/data/zipcrypto/" + name);
    const uint8_t* p = entry.archive.data() + 4;
    auto u16 = [&](int at) { return (uint16_t)LoadLe16(p + at); };
    auto u32 = [&](int at) { return LoadLe32(p + at); };
    entry.header = {u16(0), u16(2), u16(4), u16(6), u16(8), u32(10), u32(14), u32(18), u16(22), u16(24)};
    entry.dataOffset = 30 + entry.header.nameLength + entry.header.extraLength;
    entry.encrypted.assign(entry.archive.begin() + entry.dataOffset,
                           entry.archive.begin() + entry.dataOffset + entry.header.compressedSize);
    return entry;
}

Bytes PlainText() {
    return ReadBytes(std::string(KVSFX_SOURCE_DIR) + "/tests/data/zipcrypto/plain.txt");
}

void UsePassword(const char* text) { ASSERT_EQ(AcceptPassword(text), 1); }

Bytes Decrypt(const Bytes& cipher) {
    Bytes plain;
    for (uint8_t c : cipher) {
        uint8_t b = (uint8_t)(c ^ DecryptByte());
        UpdateKeys(b);
        plain.push_back(b);
    }
    return plain;
}

TEST_F(CrcCrypt, KeysStartFromTheirConstants) {
    InitKeys("");
    EXPECT_EQ(state.keys.key0, 0x12345678u);
    EXPECT_EQ(state.keys.key1, 0x23456789u);
    EXPECT_EQ(state.keys.key2, 0x34567890u);
    // DecryptByte does not move the keys.
    DecryptByte();
    EXPECT_EQ(state.keys.key2, 0x34567890u);
}

// The archives were encrypted by two other implementations: the header
// check passes and the data decrypts to the file that went in.
TEST_F(CrcCrypt, DecryptsWhatOtherImplementationsEncrypted) {
    Bytes plain = PlainText();
    ASSERT_EQ(plain.size(), 58u);
    UsePassword("Secret 42");
    for (const char* name : {"infozip_stored.zip", "7z_stored.zip", "7z_deflated.zip"}) {
        SCOPED_TRACE(name);
        EncryptedEntry entry = ReadEntry(name);
        state.localHeader = entry.header;
        state.entryHasDescriptor = (entry.header.flags & 8) != 0;
        ASSERT_EQ(entry.header.flags & 1, 1);
        ASSERT_EQ(CheckEncryptionHeader(entry.encrypted.data()), 0);
        Bytes data = Decrypt(Bytes(entry.encrypted.begin() + 12, entry.encrypted.end()));
        if (entry.header.method == 8) {
            InflateOptions options;
            options.target = Target::Memory;
            InflateOutcome outcome = RunInflate(data, options);
            EXPECT_EQ(outcome.result, 0);
            data = outcome.output;
        }
        EXPECT_TRUE(data == plain);
    }
}

// The check byte: the time's high byte when a data descriptor follows, the
// CRC's otherwise; a wrong password fails it.
TEST_F(CrcCrypt, HeaderCheckByte) {
    EncryptedEntry infozip = ReadEntry("infozip_stored.zip");
    EncryptedEntry sevenZip = ReadEntry("7z_stored.zip");
    ASSERT_TRUE(infozip.header.flags & 8);
    ASSERT_FALSE(sevenZip.header.flags & 8);
    UsePassword("Secret 42");
    state.localHeader = infozip.header;
    state.entryHasDescriptor = 0;  // the CRC's high byte instead of the time's
    EXPECT_EQ(CheckEncryptionHeader(infozip.encrypted.data()), -1);
    state.entryHasDescriptor = 1;
    EXPECT_EQ(CheckEncryptionHeader(infozip.encrypted.data()), 0);
    state.localHeader = sevenZip.header;
    state.entryHasDescriptor = 0;
    EXPECT_EQ(CheckEncryptionHeader(sevenZip.encrypted.data()), 0);
    UsePassword("secret 42");
    EXPECT_EQ(CheckEncryptionHeader(sevenZip.encrypted.data()), -1);
}

// ReadEncryptionHeader reads the 12 bytes from the archive file itself.
const FileHandle kZipHandle = 0x5a50;
const EncryptedEntry* readSource;
size_t readPosition;
int readCalls;
int32_t ReadFromEntry(FileHandle file, void* buffer, uint32_t count) {
    EXPECT_EQ(file, kZipHandle);
    readCalls++;
    size_t available = readSource->archive.size() - readPosition;
    if (count > available) count = (uint32_t)available;
    memcpy(buffer, readSource->archive.data() + readPosition, count);
    readPosition += count;
    return (int32_t)count;
}

TEST_F(CrcCrypt, ReadEncryptionHeader) {
    EncryptedEntry entry = ReadEntry("7z_stored.zip");
    readSource = &entry;
    readCalls = 0;
    sfxPlatform.readFile = ReadFromEntry;
    state.archiveFile = kZipHandle;
    state.localHeader = entry.header;
    state.entryHasDescriptor = 0;

    // No password: 0, nothing read.
    readPosition = entry.dataOffset;
    state.compressedLeft = entry.header.compressedSize;
    EXPECT_EQ(ReadEncryptionHeader(), 0);
    EXPECT_EQ(readCalls, 0);

    // The right one: exactly 12 bytes consumed.
    UsePassword("Secret 42");
    EXPECT_EQ(ReadEncryptionHeader(), 1);
    EXPECT_EQ(readPosition, entry.dataOffset + 12);
    EXPECT_EQ(state.compressedLeft, entry.header.compressedSize - 12);
    EXPECT_TRUE(Decrypt(Bytes(entry.archive.begin() + readPosition,
                              entry.archive.begin() + readPosition + state.compressedLeft)) == PlainText());

    // A compressed size too small for the header leaves 0, not a huge count.
    readPosition = entry.dataOffset;
    state.compressedLeft = 5;
    ReadEncryptionHeader();
    EXPECT_EQ(state.compressedLeft, 0u);

    // Fewer than 12 bytes in the file: the read error with code 14 ends the run.
    LoadMessagesForTest();
    readPosition = entry.archive.size() - 5;
    state.inRun = 1;
    if (ArmRecovery(state.runContext) == 0) {
        ReadEncryptionHeader();
        FAIL() << "returned after a short read";
    }
    state.inRun = 0;
    ASSERT_EQ(fake.boxes.size(), 1u);
    EXPECT_NE(fake.boxes[0].text.find(" <14>"), std::string::npos) << fake.boxes[0].text;
}

TEST_F(CrcCrypt, AcceptPassword) {
    EXPECT_EQ(AcceptPassword(""), 0);
    EXPECT_EQ(state.password, nullptr);
    ASSERT_EQ(AcceptPassword("first"), 1);
    EXPECT_STREQ(state.password, "first");
    EXPECT_EQ(AcceptPassword(""), 0);  // the stored one stays
    EXPECT_STREQ(state.password, "first");

    std::string longText(300, 'p');
    longText[253] = 'x';
    longText[254] = 'y';
    ASSERT_EQ(AcceptPassword(longText.c_str()), 1);
    EXPECT_EQ(strlen(state.password), 254u);
    EXPECT_EQ(state.password[253], 'x');

    // No memory for the new one: none stored, the dialog stays open.
    fake.failAllocation = fake.allocations + 1;
    EXPECT_EQ(AcceptPassword("second"), 0);
    EXPECT_EQ(state.password, nullptr);
}

TEST_F(CrcCrypt, PromptForPassword) {
    // Not marked as encrypted: no prompt, nothing allocated.
    state.entryEncrypted = 0;
    int allocations = fake.allocations;
    EXPECT_EQ(PromptForPassword(nullptr), 1);
    EXPECT_EQ(fake.allocations, allocations);

    // No memory for the template.
    LoadMessagesForTest();
    state.entryEncrypted = 1;
    fake.failAllocation = fake.allocations + 1;
    state.inRun = 1;
    if (ArmRecovery(state.runContext) == 0) {
        PromptForPassword(nullptr);
        FAIL() << "returned without its template";
    }
    state.inRun = 0;
    ASSERT_EQ(fake.boxes.size(), 1u);
    EXPECT_EQ(fake.boxes[0].text, "no memory for resources");

    // The terminal front-end reads the password from standard input: an
    // empty line leaves the prompt open, the next line is stored.
    char path[] = "/tmp/kvsfx_password_XXXXXX";
    int descriptor = mkstemp(path);
    ASSERT_GE(descriptor, 0);
    ASSERT_EQ(write(descriptor, "\nSecret 42\n", 11), 11);
    close(descriptor);
    ASSERT_NE(freopen(path, "r", stdin), nullptr);
    EXPECT_EQ(PromptForPassword(nullptr), 1);
    EXPECT_STREQ(state.password, "Secret 42");
    EXPECT_EQ(state.outPtr, nullptr);
    EXPECT_EQ(PromptForPassword(nullptr), 0);  // end of input: cancelled
    EXPECT_STREQ(state.password, "Secret 42");
    remove(path);
}

}  // namespace
