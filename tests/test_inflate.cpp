// Differential tests: streams made by zlib and libdeflate, at every level
// and strategy, from inputs of several kinds, inflate byte-identical with
// result 0 whichever way the bytes come in and go out.
#include <gtest/gtest.h>
#include <zlib.h>

#include <functional>

#include "codec/inflate.h"
#include "startup/sfx_state.h"
#include "support/inflate_harness.h"

namespace {

struct Input {
    std::string name;
    Bytes data;
};

const std::vector<Input>& Inputs() {
    static std::vector<Input> inputs = [] {
        std::vector<Input> list = {
            {"empty", {}},
            {"one byte", {0x5A}},
            {"random 100", NoiseBytes(100, 1)},
            {"random 5000", NoiseBytes(5000, 2)},
            {"random 70000", NoiseBytes(70000, 3)},
            {"text 3000", TextLike(3000, 4)},
            {"text 32768", TextLike(32768, 5)},
            {"text 32769", TextLike(32769, 6)},
            {"text 150000", TextLike(150000, 7)},
            {"runs 20000", LongRuns(20000, 8)},
            {"runs 100000", LongRuns(100000, 9)},
            {"two symbols 30000", SmallAlphabet(30000, 10, 2)},
            {"one symbol 10000", SmallAlphabet(10000, 11, 1)},
            {"zeros 70000", Bytes(70000, 0)},
        };
        Bytes mixed = TextLike(30000, 12);
        Bytes random = NoiseBytes(20000, 13);
        Bytes runs = LongRuns(40000, 14);
        mixed.insert(mixed.end(), random.begin(), random.end());
        mixed.insert(mixed.end(), runs.begin(), runs.end());
        list.push_back({"mixed 90000", mixed});
        // Many small ones of every kind, so that block and fill boundaries
        // fall everywhere.
        for (uint32_t seed = 0; seed < 24; seed++) {
            size_t size = (seed * 977) % 3000;
            Bytes data = seed % 3 == 0 ? TextLike(size, seed) : seed % 3 == 1 ? LongRuns(size, seed)
                                                                             : SmallAlphabet(size, seed, 3 + seed % 20);
            list.push_back({"small " + std::to_string(seed), data});
        }
        return list;
    }();
    return inputs;
}

class InflateDifferential : public ::testing::Test {
protected:
    void SetUp() override { SetUpCodec(); }
    void TearDown() override { TearDownCodec(); }

    // Inflates stream in the ways the stub's callers do and compares with
    // the original data.
    void Check(const Bytes& stream, const Bytes& data, bool smallVolumes) {
        // An embedded stream into the output file's 2,048-byte write-outs.
        InflateOutcome file = RunInflate(stream);
        ASSERT_EQ(file.result, 0);
        ASSERT_TRUE(file.output == data) << "file mode output differs";
        ASSERT_EQ(file.crc, ZlibCrc(data));
        ASSERT_EQ(file.writeOuts, data.size() / 2048);

        // An embedded stream into memory.
        InflateOptions options;
        options.target = Target::Memory;
        InflateOutcome memory = RunInflate(stream, options);
        ASSERT_EQ(memory.result, 0);
        ASSERT_TRUE(memory.output == data) << "memory mode output differs";

        // An archive entry read in 2,048-byte refills.
        options.source = Source::Archive;
        options.target = Target::File;
        InflateOutcome entry = RunInflate(stream, options);
        ASSERT_EQ(entry.result, 0);
        ASSERT_TRUE(entry.output == data) << "archive entry output differs";
        ASSERT_EQ(entry.crc, ZlibCrc(data));
        ASSERT_EQ(entry.bytesRead, stream.size());

        // A spanned set whose volumes end every few bytes: every code,
        // header and stored run crosses fill boundaries somewhere.
        if (!smallVolumes) return;
        for (uint32_t volume : {1u, 3u, 7u, 100u}) {
            options.volumeSize = volume;
            InflateOutcome spanned = RunInflate(stream, options);
            ASSERT_EQ(spanned.result, 0) << "volumes of " << volume;
            ASSERT_TRUE(spanned.output == data) << "volumes of " << volume;
            ASSERT_EQ(spanned.crc, ZlibCrc(data));
        }
    }

    void CheckAll(const std::string& compressor, const std::function<Bytes(const Bytes&)>& compress) {
        for (const Input& input : Inputs()) {
            SCOPED_TRACE(compressor + ", " + input.name);
            Bytes stream = compress(input.data);
            ASSERT_EQ(ZlibInflate(stream, input.data.size()), input.data);  // the control
            Check(stream, input.data, stream.size() < 1200);
            if (HasFatalFailure()) return;
        }
    }
};

TEST_F(InflateDifferential, ZlibEveryLevelAndStrategy) {
    const std::pair<int, const char*> strategies[] = {{Z_DEFAULT_STRATEGY, "default"},
                                                      {Z_FILTERED, "filtered"},
                                                      {Z_HUFFMAN_ONLY, "huffman only"},
                                                      {Z_RLE, "rle"},
                                                      {Z_FIXED, "fixed"}};
    for (int level = 0; level <= 9; level++)
        for (auto [strategy, name] : strategies) {
            if (level == 0 && strategy != Z_DEFAULT_STRATEGY) continue;  // all stored
            CheckAll("zlib level " + std::to_string(level) + " " + name,
                     [&](const Bytes& data) { return ZlibDeflate(data, level, strategy); });
            if (HasFatalFailure()) return;
        }
}

// The loop built for processors with BMI2 (where this one has it) and the
// portable one decode alike.
TEST_F(InflateDifferential, BothLoopsOfTheProcessor) {
    for (int shifts = 0; shifts < 2; shifts++) {
        SCOPED_TRACE(UseShiftInstructions(shifts) ? "BMI2 loop" : "portable loop");
        for (int level : {1, 6, 9}) {
            CheckAll("zlib level " + std::to_string(level),
                     [&](const Bytes& data) { return ZlibDeflate(data, level, Z_DEFAULT_STRATEGY); });
            if (HasFatalFailure()) break;
        }
    }
    UseShiftInstructions(1);
}

TEST_F(InflateDifferential, ZlibSmallBlocksAndWindows) {
    // memLevel 1 makes many short blocks; small windows keep distances short.
    for (int windowBits : {9, 12, 15})
        for (int level : {1, 6, 9}) {
            CheckAll("zlib memLevel 1 window " + std::to_string(windowBits) + " level " + std::to_string(level),
                     [&](const Bytes& data) { return ZlibDeflate(data, level, Z_DEFAULT_STRATEGY, 1, windowBits); });
            if (HasFatalFailure()) return;
        }
}

TEST_F(InflateDifferential, LibdeflateEveryLevel) {
    for (int level = 1; level <= 12; level++) {
        CheckAll("libdeflate level " + std::to_string(level),
                 [&](const Bytes& data) { return LibdeflateDeflate(data, level); });
        if (HasFatalFailure()) return;
    }
}

// Stored runs of more than a window between compressed parts whose matches
// reach back into them, and across them into the part before: in memory
// mode a long stored block goes around the window, whose history must then
// hold the run's last bytes.
TEST_F(InflateDifferential, StoredRunsBetweenCompressedParts) {
    const Bytes text = TextLike(9000, 21), noise = NoiseBytes(50000, 22), more = NoiseBytes(40000, 23);
    struct Part {
        int level;
        Bytes data;
    };
    const std::vector<Part> parts = {
        {6, Bytes(text.begin(), text.begin() + 7000)},
        {0, noise},
        {6, Bytes(noise.begin() + 20000, noise.end())},
        {6, Bytes(text.begin(), text.begin() + 3000)},
        {0, more},
        {9, text},
        {0, Bytes(more.begin(), more.begin() + 33000)},
    };
    z_stream z = {};
    ASSERT_EQ(deflateInit2(&z, 6, Z_DEFLATED, -15, 8, Z_DEFAULT_STRATEGY), Z_OK);
    Bytes data, stream(400000);
    z.next_out = stream.data();
    z.avail_out = (uInt)stream.size();
    for (const Part& part : parts) {
        ASSERT_EQ(deflateParams(&z, part.level, Z_DEFAULT_STRATEGY), Z_OK);
        z.next_in = (Bytef*)part.data.data();
        z.avail_in = (uInt)part.data.size();
        ASSERT_EQ(deflate(&z, Z_NO_FLUSH), Z_OK);
        data.insert(data.end(), part.data.begin(), part.data.end());
    }
    ASSERT_EQ(deflate(&z, Z_FINISH), Z_STREAM_END);
    stream.resize(z.total_out);
    deflateEnd(&z);
    ASSERT_EQ(ZlibInflate(stream, data.size()), data);
    Check(stream, data, false);

    // A target too small for the second run: filled to its end, as ever.
    InflateOptions options;
    options.target = Target::Memory;
    options.capacity = (uint32_t)data.size() - 60000;
    InflateOutcome outcome = RunInflate(stream, options);
    EXPECT_EQ(outcome.result, 0);
    ASSERT_EQ(outcome.output.size(), options.capacity);
    EXPECT_TRUE(std::equal(outcome.output.begin(), outcome.output.end(), data.begin()));
}

// The window is never cleared and the bit buffer starts empty: streams
// decoded one after the other each come out whole, whatever the one before
// left behind (a last block ending inside a byte, a full window).
TEST_F(InflateDifferential, StreamsOneAfterAnother) {
    for (const Input& input : Inputs()) {
        SCOPED_TRACE(input.name);
        InflateOutcome outcome = RunInflate(ZlibDeflate(input.data, 6, Z_DEFAULT_STRATEGY));
        ASSERT_EQ(outcome.result, 0);
        ASSERT_TRUE(outcome.output == input.data);
    }
}

}  // namespace
