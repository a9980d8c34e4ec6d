#include "support/inflate_harness.h"

#include <cstdio>
#include <cstring>

#include "codec/codec.h"
#include "support/fake_platform.h"
#include "support/stub_state.h"
#include "startup/sfx_state.h"

namespace {

const FileHandle kArchiveHandle = 0x4b41;  // the fake archive file
const FileHandle kOutputHandle = 0x4f55;   // the fake output file

// The archive file: the entry's compressed data, cut into volumes.
struct FakeArchive {
    const Bytes* data = nullptr;
    size_t position = 0;
    uint32_t volumeSize = 0;   // 0: one file
    uint32_t volumeLeft = 0;   // bytes left in the current volume
    uint32_t volumeChanges = 0;
} archive;

Bytes written;
uint32_t writeCalls = 0;
SfxPlatform installed;  // the fake table as InstallFakePlatform left it

int32_t CaptureWrite(FileHandle file, const void* buffer, uint32_t count) {
    if (file != kOutputHandle) return installed.writeFile(file, buffer, count);
    const uint8_t* bytes = (const uint8_t*)buffer;
    written.insert(written.end(), bytes, bytes + count);
    writeCalls++;
    return (int32_t)count;
}

int32_t ArchiveRead(FileHandle file, void* buffer, uint32_t count) {
    if (file != kArchiveHandle) return installed.readFile(file, buffer, count);
    size_t available = archive.data->size() - archive.position;
    if (archive.volumeSize != 0 && archive.volumeLeft < available) available = archive.volumeLeft;
    uint32_t got = count < available ? count : (uint32_t)available;
    memcpy(buffer, archive.data->data() + archive.position, got);
    archive.position += got;
    archive.volumeLeft -= archive.volumeSize ? got : 0;
    return (int32_t)got;
}

FileHandle ArchiveOpen(const char* path, int share) {
    if (archive.data == nullptr) return installed.openFile(path, share);
    archive.volumeLeft = archive.volumeSize;
    archive.volumeChanges++;
    return kArchiveHandle;
}

void ArchiveClose(FileHandle file) {
    if (file != kArchiveHandle) installed.closeFile(file);
}

// Every disk asked for is the one in the drive.
int NextDiskLabel(const char*, char* label, uint32_t capacity) {
    snprintf(label, capacity, "PKBACK# %03u", (unsigned)(state.currentDisk + 1));
    return 1;
}

}  // namespace

void SetUpCodec() {
    InstallFakePlatform();
    installed = sfxPlatform;
    sfxPlatform.writeFile = CaptureWrite;
    sfxPlatform.readFile = ArchiveRead;
    sfxPlatform.openFile = ArchiveOpen;
    sfxPlatform.closeFile = ArchiveClose;
    sfxPlatform.volumeLabel = NextDiskLabel;
    AllocateStartupBuffers();
}

void TearDownCodec() {
    ReleaseStartupBuffers();
    archive = FakeArchive();
    RestoreRealPlatform();
}

InflateOutcome RunInflate(const Bytes& stream, const InflateOptions& options) {
    InflateOutcome outcome;
    written.clear();
    writeCalls = 0;
    archive = FakeArchive();

    // The source.
    if (options.source == Source::Memory) {
        state.input.next = stream.data();
        state.input.left = (int32_t)stream.size();
        state.compressedLeft = 0;
    } else {
        archive.data = &stream;
        archive.volumeSize = options.volumeSize;
        archive.volumeLeft = options.volumeSize;
        state.spanned = options.volumeSize != 0;
        state.currentDisk = 1;
        state.volumesNamedExe = 0;
        snprintf(state.archivePath, sizeof state.archivePath, "A:\\SETUP.EXE");
        state.archiveFile = kArchiveHandle;
        state.compressedLeft = (uint32_t)stream.size();
        state.input.next = state.input.data;
        state.input.left = 0;
    }
    state.entryEncrypted = 0;

    // The target.
    Bytes target;
    if (options.target == Target::File) {
        state.memoryMode = 0;
        state.outputFile = kOutputHandle;
        state.outPtr = state.outBuffer;
        state.outCount = 0;
        state.crc = 0xFFFFFFFFu;
        state.outputLeft = options.declaredSize;
        state.bytesDone = 0;
        state.lastMeterBytes = 0;
    } else {
        target.assign(options.capacity ? options.capacity : 1 << 21, 0);
        state.memoryMode = 1;
        state.outPtr = target.data();
        state.outLimit = target.data() + target.size();
        state.outCount = 0;
    }

    outcome.result = InflateStream();
    outcome.inputLeft = state.input.left;

    if (options.target == Target::File) {
        outcome.writeOuts = writeCalls;
        // The entry's end writes what is left in the output buffer.
        UpdateCrc(state.outBuffer, (uint32_t)state.outCount);
        written.insert(written.end(), state.outBuffer, state.outBuffer + state.outCount);
        outcome.output = written;
        outcome.crc = ~state.crc;
        outcome.outputLeft = state.outputLeft;
    } else {
        outcome.output.assign(target.data(), state.outPtr);
        state.memoryMode = 0;
        state.outPtr = nullptr;
        state.outLimit = nullptr;
    }
    if (options.source == Source::Archive) {
        outcome.volumeChanges = archive.volumeChanges;
        outcome.bytesRead = (uint32_t)archive.position;
        archive.data = nullptr;
        state.archiveFile = 0;
        state.spanned = 0;
    }
    state.input.next = nullptr;
    state.input.left = 0;
    return outcome;
}

BitWriter& BitWriter::Bits(uint32_t value, int count) {
    for (int i = 0; i < count; i++) {
        if (bitLength % 8 == 0) bytes.push_back(0);
        if ((value >> i) & 1) bytes.back() |= (uint8_t)(1 << (bitLength % 8));
        bitLength++;
    }
    return *this;
}

BitWriter& BitWriter::Code(uint32_t code, int length) {
    for (int i = length - 1; i >= 0; i--) Bits((code >> i) & 1, 1);
    return *this;
}

BitWriter& BitWriter::AlignToByte() {
    while (bitLength % 8) Bits(0, 1);
    return *this;
}

BitWriter& BitWriter::Byte(uint8_t value) { return Bits(value, 8); }

Bytes BitWriter::Finish() { return bytes; }

void FixedSymbol(BitWriter& writer, int symbol) {
    if (symbol < 144) writer.Code(0x30 + symbol, 8);
    else if (symbol < 256) writer.Code(0x190 + symbol - 144, 9);
    else if (symbol < 280) writer.Code(symbol - 256, 7);
    else writer.Code(0xC0 + symbol - 280, 8);
}

void FixedDistanceSymbol(BitWriter& writer, int symbol) { writer.Code(symbol, 5); }

void FixedMatch(BitWriter& writer, int length, int distance) {
    static const int lengthBases[] = {3,  4,  5,  6,  7,  8,  9,  10, 11,  13,  15,  17,  19,  23, 27,
                                      31, 35, 43, 51, 59, 67, 83, 99, 115, 131, 163, 195, 227, 258};
    static const int lengthExtras[] = {0, 0, 0, 0, 0, 0, 0, 0, 1, 1, 1, 1, 2, 2, 2, 2, 3, 3, 3, 3, 4, 4, 4, 4, 5, 5, 5, 5, 0};
    static const int distanceBases[] = {1,    2,    3,    4,    5,    7,    9,    13,    17,    25,
                                        33,   49,   65,   97,   129,  193,  257,  385,   513,   769,
                                        1025, 1537, 2049, 3073, 4097, 6145, 8193, 12289, 16385, 24577};
    int l = 28;
    while (lengthBases[l] > length) l--;
    FixedSymbol(writer, 257 + l);
    writer.Bits(length - lengthBases[l], lengthExtras[l]);
    int d = 29;
    while (distanceBases[d] > distance) d--;
    FixedDistanceSymbol(writer, d);
    writer.Bits(distance - distanceBases[d], d < 4 ? 0 : d / 2 - 1);
}

std::string Hex(const Bytes& bytes, size_t limit) {
    std::string out;
    char cell[4];
    for (size_t i = 0; i < bytes.size() && i < limit; i++) {
        snprintf(cell, sizeof cell, "%02x", bytes[i]);
        out += cell;
    }
    if (bytes.size() > limit) out += "...";
    return out;
}
