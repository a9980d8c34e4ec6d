#include "support/data.h"

#include <string.h>

#include <algorithm>
#include <random>

namespace {

// Words drawn from list by a linear congruential sequence; with period, the
// first period bytes repeated.
Bytes DrawnWords(const char* const* list, uint32_t count, size_t size, uint32_t seed, size_t period) {
    Bytes pattern;
    const size_t patternSize = std::min(size, period);
    while (pattern.size() < patternSize) {
        seed = seed * 1103515245u + 12345u;
        for (const char* c = list[(seed >> 16) % count]; *c; c++) pattern.push_back((uint8_t)*c);
    }
    if (pattern.size() >= size) {
        pattern.resize(size);
        return pattern;
    }
    Bytes out(size);
    for (size_t at = 0; at < size; at += pattern.size())
        memcpy(&out[at], pattern.data(), std::min(pattern.size(), size - at));
    return out;
}

}  // namespace

Bytes NoiseBytes(size_t size, uint32_t seed) {
    Bytes out(size);
    uint64_t x = 0x9E3779B97F4A7C15ull ^ seed;
    for (size_t i = 0; i < size; i++) {
        x ^= x << 13;
        x ^= x >> 7;
        x ^= x << 17;
        out[i] = (uint8_t)(x >> 24);
    }
    return out;
}

Bytes TextBytes(size_t size, uint32_t seed) {
    static const char* const words[] = {"archive ", "volume ", "entry ", "deflate ",
                                        "header\n", "name ",   "disk ",  "1999 "};
    return DrawnWords(words, 8, size, seed, 65536);
}

std::string Prose(size_t size, uint32_t seed) {
    static const char* const words[] = {"extraction ", "dossier ", "fichier ", "été ", "crème\n", "zip ", "données "};
    return AsString(DrawnWords(words, 7, size, seed, SIZE_MAX));
}

Bytes TextLike(size_t size, uint32_t seed) {
    static const char* const words[] = {
        "the", "archive", "window", "de", "la", "fichier", "extraction", "inflate", "block", "code", "length",
        "distance", "Kelvra", "self", "extracting", "disque", "volume", "mot", "passe", "header", "central", "zip",
        "\n", ", ", ". ", "int", "return", "0x1F", "if (", ") {", "}\n", "    "};
    std::mt19937 random(seed);
    Bytes out;
    while (out.size() < size) {
        const char* word = words[random() % (sizeof words / sizeof *words)];
        out.insert(out.end(), word, word + strlen(word));
        if (random() % 3) out.push_back(' ');
    }
    out.resize(size);
    return out;
}

Bytes LongRuns(size_t size, uint32_t seed) {
    std::mt19937 random(seed);
    Bytes out;
    while (out.size() < size) {
        uint8_t value = (uint8_t)random();
        size_t run = 1 + random() % (random() % 4 == 0 ? 2000 : 40);
        int period = 1 + (int)(random() % 7);
        Bytes pattern(period);
        for (auto& b : pattern) b = (uint8_t)(value + random() % 3);
        for (size_t i = 0; i < run; i++) out.push_back(pattern[i % period]);
    }
    out.resize(size);
    return out;
}

Bytes SmallAlphabet(size_t size, uint32_t seed, int symbols) {
    std::mt19937 random(seed);
    Bytes out(size);
    for (auto& b : out) b = (uint8_t)('a' + random() % symbols);
    return out;
}
