#include "progress.h"

#include <stdio.h>

#include "host_files.h"

namespace kvmake {

Progress::Progress(uint64_t total)
    : total_(total), shown_(total >= kShowFrom && ErrorIsTerminal()), last_(std::chrono::steady_clock::now()) {}

Progress::~Progress() {
    if (shown_ && !finished_) fputs("\n", stderr);
}

void Progress::set(uint64_t done) {
    if (!shown_ || total_ == 0) return;
    const auto now = std::chrono::steady_clock::now();
    if (now - last_ < std::chrono::milliseconds(100) && done < total_) return;
    last_ = now;
    if (done > total_) done = total_;
    fprintf(stderr, "\rkvsfx-make: %3u%%  %.1f of %.1f MB", (unsigned)(done * 100 / total_), done / 1e6,
            total_ / 1e6);
    fflush(stderr);
}

void Progress::finish() {
    if (!shown_ || finished_) return;
    finished_ = true;
    fprintf(stderr, "\rkvsfx-make: 100%%  %.1f MB read%20s\n", total_ / 1e6, "");
}

}  // namespace kvmake
