// The decoding tables: clamped root widths, results, every code found with
// its symbol and length, invalid slots, the chain of tables, and a failed
// allocation.
#include <gtest/gtest.h>

#include <random>

#include "codec/inflate.h"
#include "failure/recovery.h"
#include "startup/sfx_state.h"
#include "support/fake_platform.h"
#include "support/inflate_harness.h"

namespace {

int releases;
SfxPlatform saved;
void CountingRelease(void* block) {
    releases++;
    saved.release(block);
}

class DecodeTables : public ::testing::Test {
protected:
    void SetUp() override {
        SetUpCodec();
        saved = sfxPlatform;
        sfxPlatform.release = CountingRelease;
        releases = 0;
    }
    void TearDown() override { TearDownCodec(); }

    int Build(const std::vector<uint16_t>& lengths, uint32_t simple, uint32_t* bits, DecodeTable** root) {
        return BuildDecodeTables(lengths.data(), (uint32_t)lengths.size(), simple, lengthBase, lengthExtra, root, bits);
    }
};

uint32_t Reverse(uint32_t code, int length) {
    uint32_t out = 0;
    for (int i = 0; i < length; i++) out |= ((code >> i) & 1) << (length - 1 - i);
    return out;
}

// Looks a code up as the decoder does; the slot and the bits it takes.
DecodeEntry Find(const DecodeTable* root, uint32_t pattern, uint32_t* taken) {
    DecodeEntry entry = TableSlots(root)[pattern & ((1u << root->width) - 1)];
    *taken = EntryBits(entry);
    if (EntryOp(entry) > kOpLiteral && EntryOp(entry) != kOpInvalid) {
        const DecodeTable* sub = root->subTables[EntryValue(entry)];
        EXPECT_EQ(EntryOp(entry) - 16, sub->width);
        entry = TableSlots(sub)[(pattern >> root->width) & ((1u << sub->width) - 1)];
        *taken += EntryBits(entry);
    }
    return entry;
}

// Random complete codes: every symbol's canonical code leads to its slot.
TEST_F(DecodeTables, EveryCodeFindsItsSymbol) {
    std::mt19937 random(3);
    for (int trial = 0; trial < 200; trial++) {
        uint32_t n = 2 + random() % 287;
        std::vector<uint16_t> lengths(n, 0);
        // Split the code space: start with two codes of length 1, then
        // lengthen random codes until every symbol has one.
        std::vector<uint32_t> used = {0, 1};
        std::vector<uint16_t> codeLengths = {1, 1};
        while (codeLengths.size() < n) {
            size_t pick = random() % codeLengths.size();
            if (codeLengths[pick] >= 15) continue;
            codeLengths[pick]++;
            codeLengths.push_back(codeLengths[pick]);
        }
        std::vector<uint32_t> order(n);
        for (uint32_t i = 0; i < n; i++) order[i] = i;
        std::shuffle(order.begin(), order.end(), random);
        for (uint32_t i = 0; i < n; i++) lengths[order[i]] = codeLengths[i];

        uint32_t bits = 1 + random() % 12;
        uint32_t requested = bits;
        DecodeTable* root = nullptr;
        ASSERT_EQ(Build(lengths, 257, &bits, &root), 0);
        uint16_t shortest = *std::min_element(codeLengths.begin(), codeLengths.end());
        uint16_t longest = *std::max_element(codeLengths.begin(), codeLengths.end());
        EXPECT_EQ(bits, std::min<uint32_t>(std::max<uint32_t>(requested, shortest), longest));
        EXPECT_EQ(root->width, bits);

        // Canonical codes.
        std::vector<uint32_t> count(17, 0), next(17, 0);
        for (uint16_t l : lengths) count[l]++;
        count[0] = 0;
        uint32_t code = 0;
        for (int l = 1; l <= 16; l++) next[l] = code = (code + count[l - 1]) << 1;
        for (uint32_t s = 0; s < n; s++) {
            uint32_t pattern = Reverse(next[lengths[s]]++, lengths[s]);
            uint32_t high = (uint32_t)random() << lengths[s];  // bits beyond the code do not matter
            uint32_t taken = 0;
            DecodeEntry entry = Find(root, pattern | (high & 0x7FFF), &taken);
            ASSERT_EQ(taken, lengths[s]) << "symbol " << s;
            if (s < 256) {
                ASSERT_EQ(EntryOp(entry), kOpLiteral);
                ASSERT_EQ(EntryValue(entry), s);
            } else if (s == 256) {
                ASSERT_EQ(EntryOp(entry), kOpEndOfBlock);
            } else {
                ASSERT_EQ(EntryOp(entry), lengthExtra[s - 257]);
                ASSERT_EQ(EntryValue(entry), lengthBase[s - 257]);
            }
        }
        FreeDecodeTables(root);
    }
}

TEST_F(DecodeTables, ResultsAndWidths) {
    uint32_t bits = 11;
    DecodeTable* root = nullptr;
    int allocations = fake.allocations;

    // No codes at all: no table.
    EXPECT_EQ(Build(std::vector<uint16_t>(30, 0), 0, &bits, &root), 0);
    EXPECT_EQ(root, nullptr);
    EXPECT_EQ(bits, 0u);

    // Over-subscribed: 2, and no table made.
    bits = 11;
    EXPECT_EQ(Build({1, 1, 1}, 0, &bits, &root), 2);
    EXPECT_EQ(root, nullptr);
    EXPECT_EQ(fake.allocations, allocations);

    // Incomplete with a longest length above 1: 1, tables built, the
    // missing codes invalid.
    bits = 11;
    EXPECT_EQ(Build({2, 2, 2}, 0, &bits, &root), 1);
    ASSERT_NE(root, nullptr);
    EXPECT_EQ(bits, 2u);
    EXPECT_EQ(EntryOp(TableSlots(root)[3]), kOpInvalid);  // reversed "11"
    FreeDecodeTables(root);

    // A single code of one bit: accepted; the other pattern is invalid and
    // carries the symbol's value.
    bits = 7;
    EXPECT_EQ(Build({0, 0, 0, 0, 0, 1}, 19, &bits, &root), 0);
    ASSERT_NE(root, nullptr);
    EXPECT_EQ(bits, 1u);
    EXPECT_EQ(EntryOp(TableSlots(root)[0]), kOpLiteral);
    EXPECT_EQ(EntryValue(TableSlots(root)[0]), 5u);
    EXPECT_EQ(EntryOp(TableSlots(root)[1]), kOpInvalid);
    EXPECT_EQ(EntryValue(TableSlots(root)[1]), 5u);
    FreeDecodeTables(root);

    // The width is raised to the shortest length.
    bits = 1;
    EXPECT_EQ(Build({2, 2, 2, 2}, 0, &bits, &root), 0);
    EXPECT_EQ(bits, 2u);
    FreeDecodeTables(root);
}

std::vector<uint16_t> LongCodes() {
    // 'a' 1 bit, 256 2 bits, 257 3 bits, then 4..15 bits, and a second 15.
    std::vector<uint16_t> lengths(286, 0);
    lengths['a'] = 1;
    lengths[256] = 2;
    lengths[257] = 3;
    for (int i = 0; i < 12; i++) lengths['b' + i] = (uint16_t)(4 + i);
    lengths['n'] = 15;
    return lengths;
}

// Sub-tables hang in a chain from the root; freeing walks all of it.
TEST_F(DecodeTables, ChainOfTables) {
    uint32_t bits = 11;
    DecodeTable* root = nullptr;
    int before = fake.allocations;
    ASSERT_EQ(Build(LongCodes(), 257, &bits, &root), 0);
    int made = fake.allocations - before;
    int chain = 0;
    for (DecodeTable* t = root; t; t = t->next) chain++;
    EXPECT_EQ(chain, made);
    EXPECT_EQ((int)root->subTableCount, made - 1);
    EXPECT_GE(made, 2);
    FreeDecodeTables(root);
    EXPECT_EQ(releases, made);
    FreeDecodeTables(nullptr);
    EXPECT_EQ(releases, made);
}

// A failed allocation: the tables of the code already made are released,
// then "not enough memory" ends the run.
// Builds the long code with the failing-th allocation from now on refused;
// true when the build ended through the run's recovery point.
bool BuildEndsTheRun(int failing) {
    fake.failAllocation = fake.allocations + failing;
    static uint32_t bits;
    static DecodeTable* root;
    static std::vector<uint16_t> lengths;  // outlives the non-local return
    bits = 11;
    root = nullptr;
    lengths = LongCodes();
    state.inRun = 1;
    bool ended = ArmRecovery(state.runContext) != 0;
    if (!ended) BuildDecodeTables(lengths.data(), (uint32_t)lengths.size(), 257, lengthBase, lengthExtra, &root, &bits);
    state.inRun = 0;
    return ended;
}

TEST_F(DecodeTables, FailedAllocationReleasesAndEndsTheRun) {
    for (int failing : {1, 2}) {
        SCOPED_TRACE(failing);
        fake.boxes.clear();
        releases = 0;
        ASSERT_TRUE(BuildEndsTheRun(failing)) << "returned without memory";
        EXPECT_EQ(state.recoveryValue, 2);
        ASSERT_EQ(fake.boxes.size(), 1u);
        EXPECT_EQ(fake.boxes[0].text, "not enough memory");
        EXPECT_EQ(releases, failing - 1);
    }
}

}  // namespace
