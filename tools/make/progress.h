// Progress of a long build on the terminal: one line on standard error,
// rewritten at most ten times a second, only when standard error is a
// terminal and the inputs are large. Silent otherwise.
#ifndef KVSFX_MAKE_PROGRESS_H
#define KVSFX_MAKE_PROGRESS_H

#include <stdint.h>

#include <chrono>

namespace kvmake {

class Progress {
public:
    // total: input bytes the build will read; shown only from this size on.
    static const uint64_t kShowFrom = 16u << 20;

    explicit Progress(uint64_t total);
    ~Progress();
    // Input bytes read so far in total.
    void set(uint64_t done);
    void finish();

private:
    uint64_t total_;
    bool shown_;
    bool finished_ = false;
    std::chrono::steady_clock::time_point last_;
};

}  // namespace kvmake

#endif
