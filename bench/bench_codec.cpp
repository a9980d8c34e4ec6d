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
// Our inflater runs in memory mode (as for the embedded streams), each
// stream into a 1 MiB target; zlib inflates raw (windowBits -15) into the
// same target; libdeflate likewise. Each decoder makes several passes over
// all streams, interleaved with the others; the best pass counts, in
// processor time of the thread. Prints one "name: value" line per figure.
#include <libdeflate.h>
#include <zlib.h>

#include <algorithm>
#include <cstdio>
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
const int kPasses = 5;

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

Bytes Deflate(const uint8_t* data, size_t size) {
    z_stream z = {};
    deflateInit2(&z, 6, Z_DEFLATED, -15, 8, Z_DEFAULT_STRATEGY);
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

}  // namespace

int main() {
    // The corpus.
    Bytes corpus;
    Gather({"/usr/share"}, &corpus, kKindBudget);
    Gather({"/usr/include"}, &corpus, kKindBudget);
    Gather({"/usr/bin", "/usr/lib"}, &corpus, kKindBudget);
    if (corpus.size() < 100u * 1000 * 1000) Fail("fewer than 100 MB of files found");

    std::vector<Stream> streams;
    for (size_t at = 0; at < corpus.size(); at += kPieceSize) {
        size_t size = std::min(kPieceSize, corpus.size() - at);
        streams.push_back({Deflate(corpus.data() + at, size), size,
                           (uint32_t)crc32(0, corpus.data() + at, (uInt)size)});
    }
    size_t compressedTotal = 0;
    for (const Stream& s : streams) compressedTotal += s.compressed.size();
    const double megabytes = corpus.size() / 1e6;

    // The stub's state: its window, and the CRC table.
    state.window = (uint8_t*)sfxPlatform.allocate(kWindowAllocation);
    state.outBuffer = (uint8_t*)sfxPlatform.allocate(kCodecBufferAllocation);
    BuildCrcTable();
    Bytes target(kPieceSize);

    auto ours = [&] {
        for (const Stream& s : streams) {
            state.input.next = s.compressed.data();
            state.input.left = (int32_t)s.compressed.size();
            state.compressedLeft = 0;
            state.outPtr = target.data();
            state.outLimit = target.data() + target.size();
            state.outCount = 0;
            state.memoryMode = 1;
            if (InflateStream() != 0 || state.outPtr != target.data() + s.size) Fail("our inflater failed");
            state.memoryMode = 0;
        }
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
    libdeflate_decompressor* decompressor = libdeflate_alloc_decompressor();
    auto libdeflate = [&] {
        for (const Stream& s : streams) {
            size_t got = 0;
            if (libdeflate_deflate_decompress(decompressor, s.compressed.data(), s.compressed.size(), target.data(),
                                              target.size(), &got) != LIBDEFLATE_SUCCESS ||
                got != s.size)
                Fail("libdeflate failed");
        }
    };

    // Our output, checked once.
    for (const Stream& s : streams) {
        state.input.next = s.compressed.data();
        state.input.left = (int32_t)s.compressed.size();
        state.outPtr = target.data();
        state.outLimit = target.data() + target.size();
        state.outCount = 0;
        state.memoryMode = 1;
        InflateStream();
        state.memoryMode = 0;
        if ((uint32_t)crc32(0, target.data(), (uInt)s.size) != s.crc) Fail("our inflater decoded other bytes");
    }

    double bestOurs = 1e9, bestZlib = 1e9, bestLibdeflate = 1e9;
    for (int pass = 0; pass < kPasses; pass++) {
        bestOurs = std::min(bestOurs, Seconds(ours));
        bestZlib = std::min(bestZlib, Seconds(zlib));
        bestLibdeflate = std::min(bestLibdeflate, Seconds(libdeflate));
    }
    inflateEnd(&z);
    libdeflate_free_decompressor(decompressor);

    // CRC-32 over the whole corpus.
    uint32_t zlibCrc = 0, ourCrc = 0;
    double bestOurCrc = 1e9, bestZlibCrc = 1e9;
    for (int pass = 0; pass < kPasses; pass++) {
        bestOurCrc = std::min(bestOurCrc, Seconds([&] {
                                  state.crc = 0xFFFFFFFFu;
                                  UpdateCrc(corpus.data(), (uint32_t)corpus.size());
                                  ourCrc = ~state.crc;
                              }));
        bestZlibCrc = std::min(bestZlibCrc, Seconds([&] { zlibCrc = (uint32_t)crc32(0, corpus.data(), (uInt)corpus.size()); }));
    }
    if (ourCrc != zlibCrc) Fail("our CRC-32 differs from zlib's");

    printf("corpus_mb: %.1f\n", megabytes);
    printf("corpus_streams: %zu\n", streams.size());
    printf("corpus_compressed_ratio: %.3f\n", (double)compressedTotal / corpus.size());
    printf("inflate_mbps: %.1f\n", megabytes / bestOurs);
    printf("zlib_inflate_mbps: %.1f\n", megabytes / bestZlib);
    printf("libdeflate_inflate_mbps: %.1f\n", megabytes / bestLibdeflate);
    printf("inflate_vs_zlib: %.2f\n", bestZlib / bestOurs);
    printf("inflate_vs_libdeflate: %.2f\n", bestLibdeflate / bestOurs);
    printf("crc32_mbps: %.1f\n", megabytes / bestOurCrc);
    printf("zlib_crc32_mbps: %.1f\n", megabytes / bestZlibCrc);
    printf("crc32_vs_zlib: %.2f\n", bestZlibCrc / bestOurCrc);
    return 0;
}
