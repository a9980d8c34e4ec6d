// Runs the stub's inflater on a stream the way its callers do: from an
// embedded stream in memory or from an archive entry read through the
// archive input (optionally as a spanned set whose volumes end every few
// bytes), into the 2,048-byte write-outs of a file or into a memory target.
// Writes go to a capturing fake of the platform's writeFile.
#ifndef KVSFX_TESTS_SUPPORT_INFLATE_HARNESS_H
#define KVSFX_TESTS_SUPPORT_INFLATE_HARNESS_H

#include <cstdint>
#include <string>
#include <vector>

#include "support/codec_control.h"
#include "support/data.h"
#include "support/files.h"

enum class Source {
    Memory,   // an embedded stream: state.input over the bytes, no entry data behind it
    Archive,  // an entry's compressed data, read through RefillInput from the archive file
              // (into a file only: the archive input never refills in memory mode)
};
enum class Target { File, Memory };

struct InflateOptions {
    Source source = Source::Memory;
    Target target = Target::File;
    uint32_t volumeSize = 0;  // Archive: a spanned set whose volumes hold this many bytes each; 0: one file
    uint32_t capacity = 0;    // Memory target: its size; 0: larger than any test stream decodes to
    uint32_t declaredSize = 0xFFFFFFFF;  // File target: the entry's uncompressed size from its header
};

struct InflateOutcome {
    int result = -1;
    Bytes output;                // File: every byte written, then what the entry's end writes; Memory: the target's bytes up to outPtr
    uint32_t writeOuts = 0;      // 2,048-byte write-outs during decoding
    uint32_t crc = 0;            // File: CRC-32 as the output stage computed it over output
    uint32_t volumeChanges = 0;  // Archive with volumeSize: disks asked for
    uint32_t bytesRead = 0;      // Archive: compressed bytes taken from the archive file
    uint32_t outputLeft = 0;     // File: declared bytes the stream did not produce
    int32_t inputLeft = 0;       // Memory source: stream bytes not taken
};

// Fake platform, the three codec buffers, the CRC table. Call once per test.
void SetUpCodec();

// Releases the buffers and puts the real platform back.
void TearDownCodec();

InflateOutcome RunInflate(const Bytes& stream, const InflateOptions& options = InflateOptions());

// Writes deflate bits least significant first; Huffman codes are written
// most significant bit first, as the format stores them.
class BitWriter {
public:
    BitWriter& Bits(uint32_t value, int count);
    BitWriter& Code(uint32_t code, int length);
    BitWriter& AlignToByte();
    BitWriter& Byte(uint8_t value);
    Bytes Finish();  // pads the last byte with zero bits
    size_t BitLength() const { return bitLength; }

private:
    Bytes bytes;
    size_t bitLength = 0;
};

// Fixed-code helpers on a BitWriter: a literal/length symbol, a distance
// symbol, a whole match (length 3..258, distance 1..32768).
void FixedSymbol(BitWriter& writer, int symbol);
void FixedDistanceSymbol(BitWriter& writer, int symbol);
void FixedMatch(BitWriter& writer, int length, int distance);

std::string Hex(const Bytes& bytes, size_t limit = 64);

#endif
