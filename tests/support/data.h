// Deterministic test data: the same size and seed give the same bytes.
#ifndef KVSFX_TESTS_SUPPORT_DATA_H
#define KVSFX_TESTS_SUPPORT_DATA_H

#include <stdint.h>

#include <string>

#include "support/files.h"

// Bytes deflate cannot shrink.
Bytes NoiseBytes(size_t size, uint32_t seed = 7);
inline std::string Noise(size_t size, uint32_t seed = 7) { return AsString(NoiseBytes(size, seed)); }

// Words drawn at random into a 64 KiB pattern, repeated as needed:
// compressible text.
Bytes TextBytes(size_t size, uint32_t seed = 1);
// French words, some of them in UTF-8, with repeats as source files have:
// deflate shrinks it a lot.
std::string Prose(size_t size, uint32_t seed);

// Inputs of the inflater's tests: words, blanks and code-like pieces; runs
// of short periods; a few symbols only.
Bytes TextLike(size_t size, uint32_t seed);
Bytes LongRuns(size_t size, uint32_t seed);
Bytes SmallAlphabet(size_t size, uint32_t seed, int symbols);

#endif
