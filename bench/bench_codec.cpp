// Decoding speed of the stub's inflater and CRC-32 against zlib and
// libdeflate, in one process, on the same streams.
//
// Corpus: at least 100 MB read from this machine's files, in sorted path
// order so that a machine gives the same corpus every time: text (under
// /usr/share), source (/usr/include), binaries (/usr/bin, /usr/lib), each
// about a third; files that are already compressed are left out. It is cut
// into 1 MiB pieces, each deflated by zlib at level 6 (the usual level of ZIP
// tools) into one raw stream.
//
// Our inflater runs as it does for an archive entry: the window's flushes
// into the 2,048-byte output buffer, the CRC-32 of each write-out, and the
// write-outs themselves, here copied into a 1 MiB target by a writer that
// stands in for the file. libdeflate does the same work its own way: it
// decompresses each whole stream into the target and takes the CRC-32 of
// the result with libdeflate_crc32. The pure inflate figures compare the
// decoders alone: ours in memory mode (as for the embedded streams), zlib
// raw (windowBits -15) and libdeflate, each into the target. Stored blocks
// are measured apart, on the same corpus deflated at level 0. Each decoder
// makes several passes over all streams, in processor time of the thread,
// ours and its peer one right after the other: a ratio is the median of the
// passes' ratios, printed with their spread and each side's best pass.
// Prints one "name: value" line per figure.
//
// KVSFX_BENCH_CORPUS_MB in the environment makes the corpus smaller (at
// least 3 MB), for a run under an emulator. Built with KVSFX_NO_LIBDEFLATE
// (the i686 Windows build: libdeflate does not exist for MinGW) it measures
// ours against zlib alone.
#ifndef KVSFX_NO_LIBDEFLATE
#include <libdeflate.h>
#endif
#include <zlib.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <string>
#include <time.h>
#include <vector>

#include "codec/codec.h"
#include "startup/sfx_state.h"

namespace {

using Bytes = std::vector<uint8_t>;
namespace fs = std::filesystem;

const size_t kPieceSize = 1 << 20;
const size_t kKindBudget = 36u << 20;  // per kind of data; three kinds make the corpus
const int kPasses = 9;
const int kStoredRounds = 8;

bool Compressed(const fs::path& path) {
    static const char* const extensions[] = {".gz", ".xz", ".bz2", ".zst", ".lz4", ".lzma", ".zip", ".jar", ".png",
                                             ".jpg", ".jpeg", ".gif", ".ogg", ".mp3", ".woff", ".woff2", ".deb", ".svgz"};
    std::string extension = path.extension().string();
    std::transform(extension.begin(), extension.end(), extension.begin(), ::tolower);
    for (const char* e : extensions)
        if (extension == e) return true;
    return false;
}

// Regular files under roots, sorted, up to budget bytes in all.
void Gather(const std::vector<std::string>& roots, Bytes* corpus, size_t budget) {
    std::vector<fs::path> paths;
    for (const std::string& root : roots) {
        std::error_code error;
        for (fs::recursive_directory_iterator it(root, fs::directory_options::skip_permission_denied, error), end;
             it != end; it.increment(error)) {
            if (error) break;
            std::error_code statError;
            if (it->is_symlink(statError) || !it->is_regular_file(statError)) continue;
            if (Compressed(it->path())) continue;
            paths.push_back(it->path());
        }
    }
    std::sort(paths.begin(), paths.end());
    size_t start = corpus->size();
    for (const fs::path& path : paths) {
        if (corpus->size() - start >= budget) break;
        std::ifstream in(path, std::ios::binary);
        Bytes bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
        size_t take = std::min(bytes.size(), budget - (corpus->size() - start));
        corpus->insert(corpus->end(), bytes.begin(), bytes.begin() + take);
    }
}

struct Stream {
    Bytes compressed;
    size_t size;  // decoded
    uint32_t crc;
};

Bytes Deflate(const uint8_t* data, size_t size, int level) {
    z_stream z = {};
    deflateInit2(&z, level, Z_DEFLATED, -15, 8, Z_DEFAULT_STRATEGY);
    Bytes out(deflateBound(&z, size));
    z.next_in = (Bytef*)data;
    z.avail_in = (uInt)size;
    z.next_out = out.data();
    z.avail_out = (uInt)out.size();
    deflate(&z, Z_FINISH);
    out.resize(z.total_out);
    deflateEnd(&z);
    return out;
}

// Processor time of this thread: other work on the machine disturbs it less
// than the wall clock.
double ThreadSeconds() {
    timespec now;
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &now);
    return now.tv_sec + now.tv_nsec * 1e-9;
}

double Seconds(const std::function<void()>& work) {
    double start = ThreadSeconds();
    work();
    return ThreadSeconds() - start;
}

void Fail(const char* what) {
    fprintf(stderr, "bench_codec: %s\n", what);
    exit(1);
}

// The seconds of one decoder's passes.
struct Timing {
    std::vector<double> seconds;
    void Add(double value) { seconds.push_back(value); }
    double Best() const { return *std::min_element(seconds.begin(), seconds.end()); }
};

std::string Format(const char* format, double value) {
    char text[64];
    snprintf(text, sizeof text, format, value);
    return text;
}

// "name: ratio" of the peer's time to ours: the median of the passes'
// ratios, with their spread, each side's best pass and the corpus beside.
void PrintRatio(const char* name, const Timing& peer, const Timing& ours, const char* peerName,
                const std::string& corpusNote) {
    std::vector<double> ratios;
    for (size_t i = 0; i < ours.seconds.size() && i < peer.seconds.size(); i++)
        ratios.push_back(peer.seconds[i] / ours.seconds[i]);
    std::sort(ratios.begin(), ratios.end());
    const size_t n = ratios.size();
    const double median = n % 2 ? ratios[n / 2] : (ratios[n / 2 - 1] + ratios[n / 2]) / 2;
    printf("%s: %.2f  (median of %zu paired passes [%.2f-%.2f]; best passes: ours %.3f s, %s %.3f s; %s)\n", name,
           median, n, ratios.front(), ratios.back(), ours.Best(), peerName, peer.Best(), corpusNote.c_str());
}

// The output file of our file mode: write-outs copied into the target.
const FileHandle kTargetFile = 0x4f55;
uint8_t* targetNext;

int32_t WriteToTarget(FileHandle, const void* buffer, uint32_t count) {
    memcpy(targetNext, buffer, count);
    targetNext += count;
    return (int32_t)count;
}

// Our inflater in memory mode: the stream into target.
void InflateToMemory(const Stream& s, Bytes* target) {
    state.input.next = s.compressed.data();
    state.input.left = (int32_t)s.compressed.size();
    state.compressedLeft = 0;
    state.outPtr = target->data();
    state.outLimit = target->data() + target->size();
    state.outCount = 0;
    state.memoryMode = 1;
    if (InflateStream() != kInflateOk || state.outPtr != target->data() + s.size) Fail("our inflater failed");
    state.memoryMode = 0;
}

// Our inflater as for an archive entry, with the CRC-32 checked as the
// entry's end does it.
void InflateAsEntry(const Stream& s, Bytes* target) {
    state.input.next = s.compressed.data();
    state.input.left = (int32_t)s.compressed.size();
    state.compressedLeft = 0;
    state.outPtr = state.outBuffer;
    state.outCount = 0;
    state.outputLeft = (uint32_t)s.size;
    state.outputFile = kTargetFile;
    state.crc = 0xFFFFFFFFu;
    targetNext = target->data();
    if (InflateStream() != kInflateOk || state.outputLeft != 0) Fail("our inflater failed");
    UpdateCrc(state.outBuffer, (uint32_t)state.outCount);
    WriteToTarget(kTargetFile, state.outBuffer, (uint32_t)state.outCount);
    if (~state.crc != s.crc) Fail("our inflater's CRC-32 differs");
}

}  // namespace

int main() {
    // The corpus.
    size_t budget = kKindBudget, least = 100u * 1000 * 1000;
    if (const char* mb = getenv("KVSFX_BENCH_CORPUS_MB")) {
        least = std::max<size_t>(3, strtoul(mb, nullptr, 10)) * 1000 * 1000;
        budget = least / 3 + (1u << 20);
    }
    Bytes corpus;
    Gather({"/usr/share"}, &corpus, budget);
    Gather({"/usr/include"}, &corpus, budget);
    Gather({"/usr/bin", "/usr/lib"}, &corpus, budget);
    if (corpus.size() < least) Fail("too few bytes of files found for the corpus");

    std::vector<Stream> streams, storedStreams;
    for (size_t at = 0; at < corpus.size(); at += kPieceSize) {
        size_t size = std::min(kPieceSize, corpus.size() - at);
        uint32_t crc = (uint32_t)crc32(0, corpus.data() + at, (uInt)size);
        streams.push_back({Deflate(corpus.data() + at, size, 6), size, crc});
        storedStreams.push_back({Deflate(corpus.data() + at, size, 0), size, crc});
    }
    size_t compressedTotal = 0;
    for (const Stream& s : streams) compressedTotal += s.compressed.size();
    const double megabytes = corpus.size() / 1e6;

    // The stub's state: its window, its output buffer, the CRC table, and
    // the writer of the file mode.
    state.window = AllocateWindow();
    state.outBuffer = (uint8_t*)sfxPlatform.allocate(kCodecBufferAllocation);
    state.messageBuffer = (char*)sfxPlatform.allocate(kMessageBufferSize);
    BuildCrcTable();
    sfxPlatform.writeFile = WriteToTarget;
    Bytes target(kPieceSize);

    auto oursAsEntries = [&] {
        for (const Stream& s : streams) InflateAsEntry(s, &target);
    };
    auto ours = [&] {
        for (const Stream& s : streams) InflateToMemory(s, &target);
    };
    // Stored streams decode in a few milliseconds: each pass decodes them
    // kStoredRounds times, so that a pass is long enough to time.
    auto oursStored = [&] {
        for (int round = 0; round < kStoredRounds; round++)
            for (const Stream& s : storedStreams) InflateToMemory(s, &target);
    };
    z_stream z = {};
    inflateInit2(&z, -15);
    auto zlib = [&] {
        for (const Stream& s : streams) {
            inflateReset(&z);
            z.next_in = (Bytef*)s.compressed.data();
            z.avail_in = (uInt)s.compressed.size();
            z.next_out = target.data();
            z.avail_out = (uInt)target.size();
            if (inflate(&z, Z_FINISH) != Z_STREAM_END || z.total_out != s.size) Fail("zlib failed");
        }
    };
#ifndef KVSFX_NO_LIBDEFLATE
    libdeflate_decompressor* decompressor = libdeflate_alloc_decompressor();
    auto decompress = [&](const std::vector<Stream>& list, bool withCrc) {
        for (const Stream& s : list) {
            size_t got = 0;
            if (libdeflate_deflate_decompress(decompressor, s.compressed.data(), s.compressed.size(), target.data(),
                                              target.size(), &got) != LIBDEFLATE_SUCCESS ||
                got != s.size)
                Fail("libdeflate failed");
            if (withCrc && libdeflate_crc32(0, target.data(), got) != s.crc) Fail("libdeflate's CRC-32 differs");
        }
    };
    auto libdeflateWithCrc = [&] { decompress(streams, true); };
    auto libdeflate = [&] { decompress(streams, false); };
    auto libdeflateStored = [&] {
        for (int round = 0; round < kStoredRounds; round++) decompress(storedStreams, false);
    };
#endif

    // KVSFX_BENCH_PROFILE=memory, entry, stored or libdeflate runs that one
    // decoder for 20 passes and prints nothing, for a profiler to watch.
    if (const char* profile = getenv("KVSFX_BENCH_PROFILE")) {
        std::function<void()> work = ours;
        if (!strcmp(profile, "entry")) work = oursAsEntries;
        if (!strcmp(profile, "stored")) work = oursStored;
#ifndef KVSFX_NO_LIBDEFLATE
        if (!strcmp(profile, "libdeflate")) work = libdeflate;
#endif
        for (int pass = 0; pass < 20; pass++) work();
        return 0;
    }

    // Our output, checked once in each mode.
    for (const Stream& s : streams) {
        InflateToMemory(s, &target);
        if ((uint32_t)crc32(0, target.data(), (uInt)s.size) != s.crc) Fail("our inflater decoded other bytes");
        InflateAsEntry(s, &target);
        if ((uint32_t)crc32(0, target.data(), (uInt)s.size) != s.crc) Fail("our inflater wrote other bytes");
    }

    // Each pass times every decoder, ours and its peer one after the other
    // (which of the two goes first turns from pass to pass), so that each
    // ratio is taken from two runs made under the same conditions.
    Timing entries, oursMemory, oursStoredTimes, zlibTimes, libdeflateWithCrcTimes, libdeflateTimes, libdeflateStoredTimes;
    for (int pass = 0; pass < kPasses; pass++) {
#ifndef KVSFX_NO_LIBDEFLATE
        const bool oursFirst = pass % 2 == 0;
        auto pair = [&](Timing* oursTiming, const std::function<void()>& oursWork, Timing* peerTiming,
                        const std::function<void()>& peerWork) {
            if (oursFirst) oursTiming->Add(Seconds(oursWork));
            peerTiming->Add(Seconds(peerWork));
            if (!oursFirst) oursTiming->Add(Seconds(oursWork));
        };
        pair(&entries, oursAsEntries, &libdeflateWithCrcTimes, libdeflateWithCrc);
        pair(&oursMemory, ours, &libdeflateTimes, libdeflate);
        pair(&oursStoredTimes, oursStored, &libdeflateStoredTimes, libdeflateStored);
#else
        entries.Add(Seconds(oursAsEntries));
        oursStoredTimes.Add(Seconds(oursStored));
#endif
        // zlib's pass follows ours in memory mode, the pair's first or second.
        zlibTimes.Add(Seconds(zlib));
#ifdef KVSFX_NO_LIBDEFLATE
        oursMemory.Add(Seconds(ours));
#endif
    }
    inflateEnd(&z);
#ifndef KVSFX_NO_LIBDEFLATE
    libdeflate_free_decompressor(decompressor);
#endif

    // CRC-32 over the whole corpus, and in the output stage's 2,048-byte
    // pieces.
    uint32_t zlibCrc = 0, ourCrc = 0, ourPiecesCrc = 0, libdeflateCrc = 0;
    double bestOurCrc = 1e9, bestOurPiecesCrc = 1e9, bestZlibCrc = 1e9, bestLibdeflateCrc = 1e9;
    const uint32_t corpusSize = (uint32_t)corpus.size();
    for (int pass = 0; pass < kPasses; pass++) {
        bestOurCrc = std::min(bestOurCrc, Seconds([&] {
                                  state.crc = 0xFFFFFFFFu;
                                  UpdateCrc(corpus.data(), corpusSize);
                                  ourCrc = ~state.crc;
                              }));
        bestOurPiecesCrc = std::min(bestOurPiecesCrc, Seconds([&] {
                                        state.crc = 0xFFFFFFFFu;
                                        for (uint32_t at = 0; at < corpusSize; at += kChunkSize)
                                            UpdateCrc(corpus.data() + at, std::min((uint32_t)kChunkSize, corpusSize - at));
                                        ourPiecesCrc = ~state.crc;
                                    }));
        bestZlibCrc = std::min(bestZlibCrc, Seconds([&] { zlibCrc = (uint32_t)crc32(0, corpus.data(), (uInt)corpusSize); }));
#ifndef KVSFX_NO_LIBDEFLATE
        bestLibdeflateCrc = std::min(bestLibdeflateCrc,
                                     Seconds([&] { libdeflateCrc = libdeflate_crc32(0, corpus.data(), corpusSize); }));
#else
        libdeflateCrc = zlibCrc;
#endif
    }
    if (ourCrc != zlibCrc || ourPiecesCrc != zlibCrc || libdeflateCrc != zlibCrc) Fail("the CRC-32s differ");
    const bool withLibdeflate = !libdeflateTimes.seconds.empty();

    const double gigabytes = corpus.size() / 1e9;
    printf("corpus_mb: %.1f\n", megabytes);
    printf("corpus_streams: %zu\n", streams.size());
    printf("corpus_compressed_ratio: %.3f\n", (double)compressedTotal / corpus.size());
    const std::string corpusNote = "corpus " + Format("%.1f", megabytes) + " MB in " +
                                   std::to_string(streams.size()) + " streams";
    printf("inflate_entry_mbps: %.1f\n", megabytes / entries.Best());
    if (withLibdeflate) printf("libdeflate_with_crc32_mbps: %.1f\n", megabytes / libdeflateWithCrcTimes.Best());
    if (withLibdeflate)
        PrintRatio("inflate_vs_libdeflate", libdeflateWithCrcTimes, entries, "libdeflate with CRC-32", corpusNote);
    printf("inflate_mbps: %.1f\n", megabytes / oursMemory.Best());
    if (withLibdeflate) printf("libdeflate_inflate_mbps: %.1f\n", megabytes / libdeflateTimes.Best());
    if (withLibdeflate) PrintRatio("inflate_pure_vs_libdeflate", libdeflateTimes, oursMemory, "libdeflate", corpusNote);
    printf("zlib_inflate_mbps: %.1f\n", megabytes / zlibTimes.Best());
    PrintRatio("inflate_vs_zlib", zlibTimes, oursMemory, "zlib", corpusNote);
    printf("stored_mbps: %.1f\n", kStoredRounds * megabytes / oursStoredTimes.Best());
    if (withLibdeflate) printf("libdeflate_stored_mbps: %.1f\n", kStoredRounds * megabytes / libdeflateStoredTimes.Best());
    if (withLibdeflate)
        PrintRatio("stored_vs_libdeflate", libdeflateStoredTimes, oursStoredTimes, "libdeflate",
                   corpusNote + ", " + std::to_string(kStoredRounds) + " times a pass");
    printf("crc32_gbps: %.2f\n", gigabytes / bestOurCrc);
    printf("crc32_2k_gbps: %.2f\n", gigabytes / bestOurPiecesCrc);
    printf("zlib_crc32_gbps: %.2f\n", gigabytes / bestZlibCrc);
    if (withLibdeflate) printf("libdeflate_crc32_gbps: %.2f\n", gigabytes / bestLibdeflateCrc);
    printf("crc32_vs_zlib: %.2f\n", bestZlibCrc / bestOurCrc);
    if (withLibdeflate) printf("crc32_vs_libdeflate: %.2f\n", bestLibdeflateCrc / bestOurCrc);
    return 0;
}
