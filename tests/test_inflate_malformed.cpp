// Malformed streams built bit by bit, each with the result the inflater
// must give, fed whole and in small pieces; streams cut short and with
// flipped bits; and the edge cases of the window and the output stage.
#include <gtest/gtest.h>
#include <zlib.h>

#include <cstring>
#include <random>

#include "codec/codec.h"
#include "codec/inflate.h"
#include "startup/sfx_state.h"
#include "support/inflate_harness.h"

namespace {

// Canonical codes (RFC 1951, 3.2.2) of a list of code lengths.
std::vector<uint32_t> CanonicalCodes(const std::vector<int>& lengths) {
    int longest = 0;
    for (int length : lengths) longest = std::max(longest, length);
    std::vector<uint32_t> count(longest + 2, 0), next(longest + 2, 0);
    for (int length : lengths)
        if (length) count[length]++;
    uint32_t code = 0;
    for (int bits = 1; bits <= longest; bits++) {
        code = (code + count[bits - 1]) << 1;
        next[bits] = code;
    }
    std::vector<uint32_t> codes(lengths.size(), 0);
    for (size_t i = 0; i < lengths.size(); i++)
        if (lengths[i]) codes[i] = next[lengths[i]]++;
    return codes;
}

const int kOrder[19] = {16, 17, 18, 0, 8, 7, 9, 6, 10, 5, 11, 4, 12, 3, 13, 2, 14, 1, 15};

// A complete code-length code: symbols 0-12 four bits, 13-18 five bits.
const std::vector<int> kCompleteCodeLengthCode = {4, 4, 4, 4, 4, 4, 4, 4, 4, 4, 4, 4, 4, 5, 5, 5, 5, 5, 5};

// Writes a dynamic block's header and its code lengths.
struct DynamicWriter {
    BitWriter& w;
    std::vector<int> codeLengthLengths;
    std::vector<uint32_t> codeLengthCodes;

    explicit DynamicWriter(BitWriter& writer, std::vector<int> lengths = kCompleteCodeLengthCode)
        : w(writer), codeLengthLengths(lengths), codeLengthCodes(CanonicalCodes(lengths)) {}

    // HLIT, HDIST, HCLEN (count - 4) and the code-length code's lengths.
    void Header(bool last, int literalCount, int distanceCount, int codeLengthCount = 19) {
        w.Bits(last, 1).Bits(2, 2).Bits(literalCount - 257, 5).Bits(distanceCount - 1, 5).Bits(codeLengthCount - 4, 4);
        for (int i = 0; i < codeLengthCount; i++) w.Bits(codeLengthLengths[kOrder[i]], 3);
    }
    void Symbol(int symbol) { w.Code(codeLengthCodes[symbol], codeLengthLengths[symbol]); }
    void Repeat(int symbol, int count) {
        Symbol(symbol);
        if (symbol == 16) w.Bits(count - 3, 2);
        if (symbol == 17) w.Bits(count - 3, 3);
        if (symbol == 18) w.Bits(count - 11, 7);
    }
    void Lengths(const std::vector<int>& lengths) {
        for (int length : lengths) Symbol(length);
    }
    // A whole header: both lists written length by length.
    void Block(bool last, const std::vector<int>& literals, const std::vector<int>& distances) {
        Header(last, (int)literals.size(), (int)distances.size());
        Lengths(literals);
        Lengths(distances);
    }
};

// A small literal/length code: 'a', 'b', end of block and length symbol
// 257 (length 3), two bits each.
std::vector<int> SmallLiterals(int count = 258) {
    std::vector<int> lengths(count, 0);
    lengths['a'] = lengths['b'] = lengths[256] = lengths[257] = 2;
    return lengths;
}

struct Vector {
    Bytes bytes;
    std::string what;
    int expected;
};

Bytes WithZeros(Bytes bytes, size_t count = 8) {
    bytes.insert(bytes.end(), count, 0);
    return bytes;
}

std::vector<Vector> MalformedVectors() {
    std::vector<Vector> v;
    {
        BitWriter w;
        w.Bits(1, 1).Bits(3, 2);
        v.push_back({WithZeros(w.Finish()), "block type 3", 2});
    }
    {
        BitWriter w;
        w.Bits(0, 1).Bits(1, 2);  // a good fixed block first: "a", end
        FixedSymbol(w, 'a');
        FixedSymbol(w, 256);
        w.Bits(1, 1).Bits(3, 2);
        v.push_back({WithZeros(w.Finish()), "block type 3 after a good block", 2});
    }
    {
        BitWriter w;
        w.Bits(1, 1).Bits(0, 2).AlignToByte().Bits(5, 16).Bits(5, 16);
        v.push_back({WithZeros(w.Finish()), "stored NLEN not the complement of LEN", 1});
    }
    {
        BitWriter w;
        w.Bits(1, 1).Bits(0, 2).AlignToByte().Bits(0x1234, 16).Bits(0x1234 ^ 0xFFFF ^ 0x8000, 16);
        v.push_back({WithZeros(w.Finish()), "stored NLEN off by its top bit", 1});
    }
    for (int hlit : {30, 31}) {
        BitWriter w;
        w.Bits(1, 1).Bits(2, 2).Bits(hlit, 5).Bits(0, 5).Bits(15, 4);
        v.push_back({WithZeros(w.Finish(), 40), "literal/length count " + std::to_string(257 + hlit), 1});
    }
    for (int hdist : {30, 31}) {
        BitWriter w;
        w.Bits(1, 1).Bits(2, 2).Bits(0, 5).Bits(hdist, 5).Bits(15, 4);
        v.push_back({WithZeros(w.Finish(), 40), "distance count " + std::to_string(hdist + 1), 1});
    }
    {
        BitWriter w;
        DynamicWriter d(w, std::vector<int>(19, 1));
        d.Header(true, 257, 1);
        v.push_back({WithZeros(w.Finish(), 40), "code-length code over-subscribed", 2});
    }
    {
        std::vector<int> lengths(19, 0);
        lengths[1] = lengths[2] = 2;
        BitWriter w;
        DynamicWriter d(w, lengths);
        d.Header(true, 257, 1);
        v.push_back({WithZeros(w.Finish(), 40), "code-length code incomplete", 1});
    }
    {
        BitWriter w;
        DynamicWriter d(w, std::vector<int>(19, 0));
        d.Header(true, 257, 1);
        v.push_back({WithZeros(w.Finish(), 40), "code-length code with no codes at all", 1});
    }
    {
        // Only code-length symbol 8 has a code (one bit): the other one-bit
        // pattern yields 8 as well, so 258 lengths of 8 over-subscribe the
        // literal/length code (taking it as invalid would give 1).
        std::vector<int> lengths(19, 0);
        lengths[8] = 1;
        BitWriter w;
        DynamicWriter d(w, lengths);
        d.Header(true, 257, 1);
        for (int i = 0; i < 258; i++) w.Bits(i & 1, 1);
        v.push_back({WithZeros(w.Finish(), 40), "code-length code of one one-bit code: both patterns", 2});
    }
    for (int symbol : {16, 17, 18}) {
        BitWriter w;
        DynamicWriter d(w);
        d.Header(true, 257, 1);
        int before = symbol == 18 ? 248 : 256;
        for (int i = 0; i < before; i++) d.Symbol(i == 0 ? 8 : 0);
        d.Repeat(symbol, symbol == 18 ? 11 : 3);  // 2 or 10 positions left
        v.push_back({WithZeros(w.Finish(), 40), "repeat " + std::to_string(symbol) + " past the declared lengths", 1});
    }
    {
        std::vector<int> literals = SmallLiterals();
        literals['c'] = 2;
        BitWriter w;
        DynamicWriter(w).Block(true, literals, {1, 1});
        v.push_back({WithZeros(w.Finish(), 40), "literal/length code over-subscribed", 2});
    }
    {
        std::vector<int> literals(258, 0);
        literals['a'] = literals[256] = 2;
        BitWriter w;
        DynamicWriter(w).Block(true, literals, {1, 1});
        v.push_back({WithZeros(w.Finish(), 40), "literal/length code incomplete", 1});
    }
    {
        BitWriter w;
        DynamicWriter(w).Block(true, SmallLiterals(), {1, 1, 1});
        v.push_back({WithZeros(w.Finish(), 40), "distance code over-subscribed", 2});
    }
    {
        BitWriter w;
        DynamicWriter(w).Block(true, SmallLiterals(), {2, 2, 2});
        v.push_back({WithZeros(w.Finish(), 40), "distance code incomplete", 1});
    }
    {
        BitWriter w;
        DynamicWriter(w).Block(true, std::vector<int>(258, 0), {1, 1});
        v.push_back({WithZeros(w.Finish(), 40), "literal/length code with no codes at all", 1});
    }
    {
        BitWriter w;
        DynamicWriter(w).Block(true, std::vector<int>(258, 0), {1, 1, 1});
        v.push_back({WithZeros(w.Finish(), 40), "no literal/length codes, distance code over-subscribed", 2});
    }
    {
        std::vector<int> literals = SmallLiterals();
        std::vector<uint32_t> codes = CanonicalCodes(literals);
        BitWriter w;
        DynamicWriter(w).Block(true, literals, {0});
        w.Code(codes['a'], 2).Code(codes[257], 2);
        v.push_back({WithZeros(w.Finish()), "no distance codes, then a length", 1});
    }
    for (int symbol : {286, 287}) {
        BitWriter w;
        w.Bits(1, 1).Bits(1, 2);
        FixedSymbol(w, 'a');
        FixedSymbol(w, symbol);
        v.push_back({WithZeros(w.Finish()), "fixed literal/length symbol " + std::to_string(symbol), 1});
    }
    for (int symbol : {30, 31}) {
        BitWriter w;
        w.Bits(1, 1).Bits(1, 2);
        FixedSymbol(w, 'a');
        FixedSymbol(w, 257);
        FixedDistanceSymbol(w, symbol);
        v.push_back({WithZeros(w.Finish()), "fixed distance symbol " + std::to_string(symbol), 1});
    }
    {
        std::vector<int> literals(258, 0);
        literals[256] = 1;  // one code, of one bit: "0"
        BitWriter w;
        DynamicWriter(w).Block(true, literals, {1});
        w.Bits(1, 1);
        v.push_back({WithZeros(w.Finish()), "single one-bit literal/length code, the other pattern met", 1});
    }
    {
        std::vector<int> literals = SmallLiterals();
        std::vector<uint32_t> codes = CanonicalCodes(literals);
        BitWriter w;
        DynamicWriter(w).Block(true, literals, {1});
        w.Code(codes['a'], 2).Code(codes[257], 2).Bits(1, 1);
        v.push_back({WithZeros(w.Finish()), "single one-bit distance code, the other pattern met", 1});
    }
    {
        // Sub-tables are built for the 15-bit codes of an incomplete code.
        std::vector<int> literals(258, 0);
        literals['a'] = 1;
        literals[256] = 2;
        for (int s = 0; s < 14; s++) literals['A' + s] = 15;  // incomplete: longest 15
        BitWriter w;
        DynamicWriter(w).Block(true, literals, {1, 1});
        v.push_back({WithZeros(w.Finish(), 40), "incomplete code with 15-bit codes", 1});
    }
    // Streams cut short.
    {
        BitWriter w;
        w.Bits(1, 1).Bits(0, 2).AlignToByte().Bits(10, 16).Bits(10 ^ 0xFFFF, 16);
        for (int i = 0; i < 5; i++) w.Byte((uint8_t)('0' + i));
        v.push_back({w.Finish(), "stored data cut short", 1});
    }
    {
        BitWriter w;
        w.Bits(1, 1).Bits(0, 2).AlignToByte().Bits(10, 8);
        v.push_back({w.Finish(), "stored LEN cut short", 1});
    }
    {
        BitWriter w;
        DynamicWriter d(w);
        d.Header(true, 257, 1);
        d.Lengths(std::vector<int>(100, 8));
        v.push_back({w.Finish(), "dynamic lengths cut short", 1});
    }
    {
        BitWriter w;
        w.Bits(1, 1).Bits(1, 2);
        for (const char* p = "abcdef"; *p; p++) FixedSymbol(w, *p);
        v.push_back({w.Finish(), "fixed block without its end of block", 1});
    }
    {
        BitWriter w;
        w.Bits(0, 1).Bits(1, 2);
        FixedSymbol(w, 'a');
        FixedSymbol(w, 256);
        v.push_back({w.Finish(), "no last block", 1});
    }
    v.push_back({{}, "no bytes at all", 1});
    // Distances that reach before the stream's first byte: the window still
    // holds an earlier stream's bytes there, which are not this stream's.
    {
        BitWriter w;
        w.Bits(1, 1).Bits(1, 2);
        FixedSymbol(w, 'a');
        FixedMatch(w, 3, 2);
        for (int i = 0; i < 40; i++) FixedSymbol(w, 'b');  // the fast loop meets the match
        FixedSymbol(w, 256);
        v.push_back({w.Finish(), "distance one byte before the stream's start", 1});
    }
    {
        BitWriter w;
        w.Bits(1, 1).Bits(1, 2);
        FixedMatch(w, 10, 32768);
        FixedSymbol(w, 256);
        v.push_back({w.Finish(), "distance 32,768 at the stream's first byte", 1});
    }
    {
        // A stored block of 32,767 bytes: one short of a whole window.
        BitWriter w;
        w.Bits(0, 1).Bits(0, 2).AlignToByte().Bits(32767, 16).Bits(32767 ^ 0xFFFF, 16);
        for (int i = 0; i < 32767; i++) w.Byte((uint8_t)i);
        w.Bits(1, 1).Bits(1, 2);
        FixedMatch(w, 3, 32768);
        FixedSymbol(w, 256);
        v.push_back({w.Finish(), "distance 32,768 after 32,767 bytes", 1});
    }
    return v;
}

class InflateMalformed : public ::testing::Test {
protected:
    void SetUp() override { SetUpCodec(); }
    void TearDown() override { TearDownCodec(); }

    // The result must not depend on how the bytes arrive.
    void ExpectResult(const Bytes& bytes, int expected, const std::string& what) {
        SCOPED_TRACE(what + ": " + Hex(bytes));
        EXPECT_EQ(RunInflate(bytes).result, expected) << "embedded stream";
        InflateOptions options;
        options.source = Source::Archive;
        EXPECT_EQ(RunInflate(bytes, options).result, expected) << "archive entry";
        for (uint32_t volume : {1u, 2u, 5u}) {
            options.volumeSize = volume;
            EXPECT_EQ(RunInflate(bytes, options).result, expected) << "volumes of " << volume;
        }
    }
};

TEST_F(InflateMalformed, EveryCaseGivesItsResult) {
    for (const Vector& vector : MalformedVectors()) {
        // The window and its history hold bytes of an earlier stream, as
        // they do between entries.
        memset(state.window - kWindowHistory, 'z', kWindowHistory + kWindowSize);
        ExpectResult(vector.bytes, vector.expected, vector.what);
    }
}

struct GoodVector {
    Bytes bytes;
    std::string what;
    std::string output;
    bool zlibAgrees = true;  // zlib refuses a repeat code 16 before any length
};

std::vector<GoodVector> EdgeVectors() {
    std::vector<GoodVector> v;
    {
        BitWriter w;
        w.Bits(1, 1).Bits(0, 2).AlignToByte().Bits(0, 16).Bits(0xFFFF, 16);
        v.push_back({w.Finish(), "empty stored final block", ""});
    }
    {
        std::vector<int> literals = SmallLiterals();
        std::vector<uint32_t> codes = CanonicalCodes(literals);
        BitWriter w;
        DynamicWriter d(w);
        d.Header(true, 258, 2);
        d.Repeat(16, 6);  // before any length: repeats 0
        d.Lengths(std::vector<int>(literals.begin() + 6, literals.end()));
        d.Lengths({1, 1});
        w.Code(codes['a'], 2).Code(codes['b'], 2).Code(codes[256], 2);
        v.push_back({w.Finish(), "code 16 as the first length repeats 0", "ab", false});
    }
    {
        std::vector<int> literals = SmallLiterals(259);
        std::vector<uint32_t> codes = CanonicalCodes(literals);
        std::vector<uint32_t> distanceCodes = CanonicalCodes({0, 0, 1, 1});
        BitWriter w;
        DynamicWriter d(w);
        d.Header(true, 259, 4);
        d.Lengths(std::vector<int>(literals.begin(), literals.begin() + 258));
        d.Repeat(17, 3);  // literal 258 and distances 0, 1
        d.Lengths({1, 1});
        w.Code(codes['a'], 2).Code(codes['b'], 2).Code(codes['a'], 2);
        w.Code(codes[257], 2).Code(distanceCodes[2], 1);  // length 3, distance 3
        w.Code(codes[256], 2);
        v.push_back({w.Finish(), "a repeat across the literal/distance border", "abaaba"});
    }
    {
        std::vector<int> literals(258, 0);
        literals[256] = 1;
        BitWriter w;
        DynamicWriter(w).Block(true, literals, {0});
        w.Bits(0, 1);
        v.push_back({w.Finish(), "single one-bit literal/length code: end of block", ""});
    }
    {
        std::vector<int> literals = SmallLiterals();
        std::vector<uint32_t> codes = CanonicalCodes(literals);
        BitWriter w;
        DynamicWriter(w).Block(true, literals, {1});
        w.Code(codes['a'], 2).Code(codes['b'], 2).Code(codes[257], 2).Bits(0, 1).Code(codes[256], 2);
        v.push_back({w.Finish(), "single one-bit distance code", "abbbb"});
    }
    {
        std::vector<int> literals = SmallLiterals();
        std::vector<uint32_t> codes = CanonicalCodes(literals);
        BitWriter w;
        DynamicWriter(w).Block(true, literals, {0});
        w.Code(codes['a'], 2).Code(codes['b'], 2).Code(codes[256], 2);
        v.push_back({w.Finish(), "no distance codes, literals only", "ab"});
    }
    {
        // Codes of 1 to 15 bits: those longer than the root's 11 bits are
        // decoded through a sub-table.
        std::vector<int> literals(286, 0);
        literals['a'] = 1;
        literals[256] = 2;
        literals[257] = 3;
        for (int i = 0; i < 12; i++) literals['b' + i] = 4 + i;  // 'b' 4 bits ... 'm' 15 bits
        literals['n'] = 15;
        std::vector<uint32_t> codes = CanonicalCodes(literals);
        BitWriter w;
        DynamicWriter(w).Block(true, literals, {1, 1});
        for (const char* p = "abjklmna"; *p; p++) w.Code(codes[(uint8_t)*p], literals[(uint8_t)*p]);
        w.Code(codes[257], 3).Code(1, 1);  // length 3, distance 2
        w.Code(codes[256], 2);
        v.push_back({w.Finish(), "codes of up to 15 bits", "abjklmnanan"});
    }
    {
        // The end of block code ends in the stream's last byte; a 9-bit
        // lookup would index a bit beyond it.
        BitWriter w;
        w.Bits(1, 1).Bits(1, 2);
        for (int i = 0; i < 5; i++) FixedSymbol(w, 0xC0 + i);
        FixedSymbol(w, 256);
        v.push_back({w.Finish(), "last code in the last byte, lookup past the end", "\xC0\xC1\xC2\xC3\xC4"});
    }
    return v;
}

TEST_F(InflateMalformed, EdgeCasesDecode) {
    for (const GoodVector& vector : EdgeVectors()) {
        SCOPED_TRACE(vector.what + ": " + Hex(vector.bytes));
        Bytes expected(vector.output.begin(), vector.output.end());
        if (vector.zlibAgrees) {
            ASSERT_EQ(ZlibInflate(vector.bytes, expected.size()), expected) << "the control";
        }
        ExpectResult(vector.bytes, 0, vector.what);
        InflateOutcome outcome = RunInflate(vector.bytes);
        EXPECT_TRUE(outcome.output == expected) << std::string(outcome.output.begin(), outcome.output.end());
    }
}

// Cut anywhere, a stream ends with 1, having written a prefix of its data;
// it never runs on over its last byte.
TEST_F(InflateMalformed, TruncatedStreamsEndWithOne) {
    std::vector<Bytes> streams;
    Bytes text = TextLike(2500, 21);
    streams.push_back(ZlibDeflate(text, 9, Z_DEFAULT_STRATEGY));
    streams.push_back(ZlibDeflate(text, 6, Z_FIXED));
    streams.push_back(ZlibDeflate(LongRuns(3000, 22), 1, Z_RLE));
    streams.push_back(ZlibDeflate(NoiseBytes(300, 23), 0, Z_DEFAULT_STRATEGY));
    streams.push_back(LibdeflateDeflate(text, 12));
    InflateOptions memory;
    memory.target = Target::Memory;
    InflateOptions entry;
    entry.source = Source::Archive;
    entry.volumeSize = 3;
    for (size_t s = 0; s < streams.size(); s++) {
        Bytes full = RunInflate(streams[s], memory).output;
        for (size_t cut = 0; cut < streams[s].size(); cut++) {
            SCOPED_TRACE("stream " + std::to_string(s) + " cut at " + std::to_string(cut));
            Bytes head(streams[s].begin(), streams[s].begin() + cut);
            InflateOutcome outcome = RunInflate(head, memory);
            ASSERT_EQ(outcome.result, 1);
            ASSERT_LE(outcome.output.size(), full.size());
            ASSERT_TRUE(std::equal(outcome.output.begin(), outcome.output.end(), full.begin()));
            if (cut % 17 == 0) {
                ASSERT_EQ(RunInflate(head, entry).result, 1);
            }
        }
    }
}

// Flipped bits: any result, but no crash, no hang, nothing written past the
// target (the target is exactly as large as the run allows; the sanitizers
// watch its end).
TEST_F(InflateMalformed, FlippedBitsStayInBounds) {
    std::mt19937 random(77);
    std::vector<Bytes> streams = {ZlibDeflate(TextLike(4000, 31), 9, Z_DEFAULT_STRATEGY),
                                  ZlibDeflate(LongRuns(6000, 32), 6, Z_FIXED),
                                  LibdeflateDeflate(SmallAlphabet(5000, 33, 5), 9),
                                  ZlibDeflate(NoiseBytes(1000, 34), 0, Z_DEFAULT_STRATEGY)};
    InflateOptions options;
    options.target = Target::Memory;
    options.capacity = 3000;
    for (int trial = 0; trial < 1500; trial++) {
        Bytes stream = streams[trial % streams.size()];
        int flips = 1 + (int)(random() % 4);
        for (int f = 0; f < flips; f++) stream[random() % stream.size()] ^= (uint8_t)(1 << (random() % 8));
        InflateOutcome outcome = RunInflate(stream, options);
        ASSERT_TRUE(outcome.result >= 0 && outcome.result <= 2);
        ASSERT_LE(outcome.output.size(), options.capacity);
        if (trial % 5 == 0) {
            InflateOutcome file = RunInflate(stream);
            ASSERT_EQ(file.result, outcome.result);
            ASSERT_TRUE(std::equal(outcome.output.begin(), outcome.output.end(), file.output.begin()));
        }
    }
}

// ---------------------------------------------------------------------------
// The window and the output stage.

Bytes StoredBlock(const Bytes& data, bool last) {
    BitWriter w;
    w.Bits(last, 1).Bits(0, 2).AlignToByte().Bits((uint32_t)data.size(), 16).Bits((uint32_t)data.size() ^ 0xFFFF, 16);
    Bytes out = w.Finish();
    out.insert(out.end(), data.begin(), data.end());
    return out;
}

// A stream of stored blocks for data, then a final fixed block written by
// tail.
Bytes StoredThenFixed(const Bytes& data, const std::function<void(BitWriter&)>& tail) {
    Bytes stream;
    for (size_t at = 0; at < data.size(); at += 65535) {
        Bytes piece(data.begin() + at, data.begin() + std::min(data.size(), at + 65535));
        Bytes block = StoredBlock(piece, false);
        stream.insert(stream.end(), block.begin(), block.end());
    }
    BitWriter w;
    w.Bits(1, 1).Bits(1, 2);
    tail(w);
    FixedSymbol(w, 256);
    Bytes end = w.Finish();
    stream.insert(stream.end(), end.begin(), end.end());
    return stream;
}

TEST_F(InflateMalformed, ExactlyOneWindowIsWrittenOutWhole) {
    Bytes data = TextLike(32768, 41);
    InflateOutcome outcome = RunInflate(ZlibDeflate(data, 6, Z_DEFAULT_STRATEGY));
    EXPECT_EQ(outcome.result, 0);
    EXPECT_EQ(outcome.writeOuts, 16u);
    EXPECT_EQ(state.outCount, 0);
    EXPECT_TRUE(outcome.output == data);
}

// On an error only whole windows have reached the output.
TEST_F(InflateMalformed, AnErrorLeavesTheLastPartialWindowUnwritten) {
    for (size_t good : {32767u, 32768u, 40000u, 70000u}) {
        SCOPED_TRACE(good);
        Bytes data = NoiseBytes(good, (uint32_t)good);
        Bytes stream = StoredThenFixed(data, [](BitWriter& w) { FixedSymbol(w, 286); });
        InflateOutcome outcome = RunInflate(stream);
        EXPECT_EQ(outcome.result, 1);
        size_t whole = good / 32768 * 32768;
        EXPECT_EQ(outcome.output.size(), whole);
        EXPECT_TRUE(std::equal(outcome.output.begin(), outcome.output.end(), data.begin()));
    }
}

TEST_F(InflateMalformed, MatchesAcrossTheWindowsEnd) {
    struct Case {
        size_t before;
        int length;
        int distance;
        const char* what;
    } cases[] = {
        {32766, 10, 1, "a run across the window's end"},
        {32760, 258, 300, "a long match across the window's end"},
        {32768, 258, 32768, "distance 32,768 at windowPos 0"},
        {32768 + 100, 258, 32768, "distance 32,768 later in the second pass"},
        {32800, 200, 32700, "a source that wraps at the window's end"},
        {65530, 258, 9, "overlapping words across the second window's end"},
        {40000, 100, 3, "a short period"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        Bytes data = NoiseBytes(c.before, 5);
        Bytes stream = StoredThenFixed(data, [&](BitWriter& w) {
            FixedMatch(w, c.length, c.distance);
            FixedSymbol(w, 'x');
        });
        Bytes expected = data;
        for (int i = 0; i < c.length; i++) expected.push_back(expected[expected.size() - c.distance]);
        expected.push_back('x');
        ASSERT_EQ(ZlibInflate(stream, expected.size()), expected) << "the control";
        InflateOutcome outcome = RunInflate(stream);
        EXPECT_EQ(outcome.result, 0);
        EXPECT_TRUE(outcome.output == expected);
        InflateOptions options;
        options.source = Source::Archive;
        EXPECT_TRUE(RunInflate(stream, options).output == expected);
        options.source = Source::Memory;
        options.target = Target::Memory;
        EXPECT_TRUE(RunInflate(stream, options).output == expected);
    }
}

// Distance codes of up to 15 bits followed by 13 extra bits: more than a
// 32-bit bit buffer holds after a refill, whatever bits were left over.
TEST_F(InflateMalformed, LongDistanceCodesWithManyExtraBits) {
    Bytes data = NoiseBytes(32768, 7);
    // Lengths 258 (one bit) and 227..258 (two bits and 5 extra), end of
    // block; distance symbols 0..13 with 1..14 bits, 28 and 29 with 15.
    std::vector<int> literals(286, 0), distances(30, 0);
    literals[285] = 1;
    literals[284] = literals[256] = 2;
    for (int symbol = 0; symbol < 14; symbol++) distances[symbol] = symbol + 1;
    distances[28] = distances[29] = 15;
    std::vector<uint32_t> literalCodes = CanonicalCodes(literals), distanceCodes = CanonicalCodes(distances);
    Bytes stream = StoredBlock(data, false);
    BitWriter w;
    DynamicWriter(w).Block(true, literals, distances);
    Bytes expected = data;
    std::mt19937 random(8);
    for (int match = 0; match < 300; match++) {
        int length = 258;
        if (random() % 2) {
            w.Code(literalCodes[285], 1);
        } else {
            int extra = random() % 32;
            w.Code(literalCodes[284], 2).Bits(extra, 5);
            length = 227 + extra;
        }
        int symbol = 28 + (int)(random() % 2), extra = random() % 8192;
        w.Code(distanceCodes[symbol], 15).Bits(extra, 13);
        int distance = (symbol == 28 ? 16385 : 24577) + extra;
        for (int i = 0; i < length; i++) expected.push_back(expected[expected.size() - distance]);
    }
    w.Code(literalCodes[256], 2);
    Bytes block = w.Finish();
    stream.insert(stream.end(), block.begin(), block.end());
    ASSERT_EQ(ZlibInflate(stream, expected.size()), expected) << "the control";
    for (Source source : {Source::Memory, Source::Archive}) {
        InflateOptions options;
        options.source = source;
        InflateOutcome outcome = RunInflate(stream, options);
        EXPECT_EQ(outcome.result, 0);
        EXPECT_TRUE(outcome.output == expected);
    }
}

// Matches are copied in whole pieces that may run past their end; the bytes
// there belong to the previous pass and must still be there for the next
// match, which reaches them from a whole window back.
TEST_F(InflateMalformed, MatchesLeaveThePreviousPassIntact) {
    Bytes data = NoiseBytes(40000, 8);
    for (int distance : {16, 100, 32760}) {
        SCOPED_TRACE(distance);
        Bytes stream = StoredThenFixed(data, [&](BitWriter& w) {
            FixedMatch(w, 5, distance);
            FixedMatch(w, 20, 32768);
            FixedMatch(w, 3, 32768);
            for (int i = 0; i < 40; i++) FixedSymbol(w, 'x');  // keeps the matches in the fast loop
        });
        Bytes expected = data;
        for (int length : {5, 20, 3}) {
            int back = length == 5 ? distance : 32768;
            for (int i = 0; i < length; i++) expected.push_back(expected[expected.size() - back]);
        }
        expected.insert(expected.end(), 40, 'x');
        ASSERT_EQ(ZlibInflate(stream, expected.size()), expected) << "the control";
        InflateOutcome outcome = RunInflate(stream);
        EXPECT_EQ(outcome.result, 0);
        EXPECT_TRUE(outcome.output == expected);
    }
}

// The window is never cleared between streams, but a distance reaching
// before the stream's first byte is refused, as zlib refuses it, in every
// target; one that reaches exactly its first byte is taken.
TEST_F(InflateMalformed, DistancesBeforeTheStreamAreRefused) {
    Bytes first = NoiseBytes(32768, 51);
    ASSERT_EQ(RunInflate(StoredBlock(first, true)).result, 0);
    for (int distance : {100, 101}) {
        SCOPED_TRACE(distance);
        BitWriter w;
        w.Bits(0, 1).Bits(0, 2).AlignToByte().Bits(100, 16).Bits(100 ^ 0xFFFF, 16);
        Bytes expected = NoiseBytes(100, 52);
        for (uint8_t byte : expected) w.Byte(byte);
        w.Bits(1, 1).Bits(1, 2);
        FixedMatch(w, 20, distance);
        FixedSymbol(w, 256);
        Bytes stream = w.Finish();
        bool refused = distance > 100;
        for (int i = 0; !refused && i < 20; i++) expected.push_back(expected[i]);
        EXPECT_EQ(ZlibInflate(stream, expected.size()).empty(), refused) << "the control";
        for (Target target : {Target::File, Target::Memory}) {
            InflateOptions options;
            options.target = target;
            InflateOutcome outcome = RunInflate(stream, options);
            EXPECT_EQ(outcome.result, refused ? 1 : 0);
            if (!refused) {
                EXPECT_TRUE(outcome.output == expected);
            }
        }
    }
}

// An entry's output stops at its declared size: a stream that would pass it
// ends with 1 as soon as the window that passes it fills or the stream ends,
// having written nothing beyond it; a stream that stops short leaves bytes
// of the declared size unproduced, which its caller finds.
TEST_F(InflateMalformed, EntryOutputStopsAtItsDeclaredSize) {
    Bytes data = TextLike(70000, 53);
    Bytes stream = ZlibDeflate(data, 6, Z_DEFAULT_STRATEGY);
    for (uint32_t declared : {0u, 1u, 32767u, 32768u, 65536u, 69999u, 70000u, 70001u}) {
        SCOPED_TRACE(declared);
        InflateOptions options;
        options.declaredSize = declared;
        InflateOutcome outcome = RunInflate(stream, options);
        EXPECT_LE(outcome.output.size(), declared);
        EXPECT_TRUE(std::equal(outcome.output.begin(), outcome.output.end(), data.begin()));
        if (declared < data.size()) {
            EXPECT_EQ(outcome.result, 1);
        } else {
            EXPECT_EQ(outcome.result, 0);
            EXPECT_EQ(outcome.outputLeft, declared - data.size());
        }
    }

    // A small stream that expands a thousandfold stops at its first window.
    Bytes zeros(16u << 20, 0);
    Bytes bomb = ZlibDeflate(zeros, 9, Z_DEFAULT_STRATEGY);
    InflateOptions options;
    options.declaredSize = 1000;
    InflateOutcome outcome = RunInflate(bomb, options);
    EXPECT_EQ(outcome.result, 1);
    EXPECT_TRUE(outcome.output.empty());
    EXPECT_GT(outcome.inputLeft, (int32_t)bomb.size() / 2);

    // Memory targets have their own bound and no declared size.
    options.target = Target::Memory;
    options.declaredSize = 0;
    EXPECT_EQ(RunInflate(stream, options).output.size(), data.size());
}

// Memory mode fills its target to the end and not one byte further.
TEST_F(InflateMalformed, MemoryTargetIsNeverOverrun) {
    Bytes data = TextLike(5000, 61);
    Bytes stream = ZlibDeflate(data, 9, Z_DEFAULT_STRATEGY);
    for (uint32_t capacity : {1u, 600u, 2048u, 2049u, 4999u, 5000u}) {
        SCOPED_TRACE(capacity);
        InflateOptions options;
        options.target = Target::Memory;
        options.capacity = capacity;
        InflateOutcome outcome = RunInflate(stream, options);
        EXPECT_EQ(outcome.result, 0);
        EXPECT_EQ(outcome.output.size(), capacity);
        EXPECT_TRUE(std::equal(outcome.output.begin(), outcome.output.end(), data.begin()));
    }
}

// A bit state handed from one block routine to the next never loses bits:
// stored blocks right after blocks that end inside a byte, fed a byte at a
// time and whole.
TEST_F(InflateMalformed, StoredBlocksAfterBitAlignedBlocks) {
    BitWriter w;
    Bytes expected;
    for (int round = 0; round < 40; round++) {
        w.Bits(0, 1).Bits(1, 2);
        for (int i = 0; i <= round % 5; i++) {
            FixedSymbol(w, 'a' + i);
            expected.push_back((uint8_t)('a' + i));
        }
        FixedSymbol(w, 256);
        w.Bits(round == 39, 1).Bits(0, 2).AlignToByte();
        int size = (round * 7) % 20;
        w.Bits(size, 16).Bits(size ^ 0xFFFF, 16);
        for (int i = 0; i < size; i++) {
            w.Byte((uint8_t)('A' + i));
            expected.push_back((uint8_t)('A' + i));
        }
    }
    Bytes stream = w.Finish();
    ASSERT_EQ(ZlibInflate(stream, expected.size()), expected);
    InflateOptions options;
    options.source = Source::Archive;
    for (uint32_t volume : {0u, 1u, 2u, 9u}) {
        options.volumeSize = volume;
        InflateOutcome outcome = RunInflate(stream, options);
        EXPECT_EQ(outcome.result, 0) << volume;
        EXPECT_TRUE(outcome.output == expected) << volume;
        EXPECT_EQ(outcome.bytesRead, stream.size());
    }
}

// The archive is read only as far as bits are needed: the disk after the
// one that holds a stream's last byte is never asked for, even when the
// entry's compressed data goes on there and the last code is shorter than
// a table lookup.
TEST_F(InflateMalformed, NoDiskIsAskedForPastTheStreamsEnd) {
    Bytes data = NoiseBytes(4084, 71);
    Bytes stream = StoredBlock(data, false);  // 4,089 bytes, then a final block of 7
    BitWriter w;
    w.Bits(1, 1).Bits(1, 2);
    for (int i = 0; i < 5; i++) FixedSymbol(w, 0xC0 + i);
    FixedSymbol(w, 256);
    Bytes tail = w.Finish();
    stream.insert(stream.end(), tail.begin(), tail.end());
    ASSERT_EQ(stream.size(), 4096u);  // two whole refills, ending with the first disk
    Bytes entry = stream;
    entry.insert(entry.end(), 64, 0xEE);  // more compressed data after the stream, on further disks
    InflateOptions options;
    options.source = Source::Archive;
    options.volumeSize = (uint32_t)stream.size();
    InflateOutcome outcome = RunInflate(entry, options);
    EXPECT_EQ(outcome.result, 0);
    EXPECT_EQ(outcome.volumeChanges, 0u);
    EXPECT_EQ(outcome.bytesRead, stream.size());
    EXPECT_EQ(outcome.output.size(), 4089u);
}

}  // namespace
