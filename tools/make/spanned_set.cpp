#include "spanned_set.h"

#include <algorithm>

#include "build_error.h"

namespace kvmake {

namespace {

const size_t kMaxDisks = 65534;  // disk numbers are 16-bit, and 65535 means "no label"

// Moves a cut back to the start of any record it would split.
uint64_t CutOutsideRecords(uint64_t cut, const std::vector<KeepTogether>& keep) {
    for (bool moved = true; moved;) {
        moved = false;
        auto after = std::upper_bound(keep.begin(), keep.end(), cut,
                                      [](uint64_t value, const KeepTogether& range) { return value < range.start; });
        // Ranges of different entries never overlap; one entry has at most two.
        for (int look = 0; look < 3 && after != keep.begin(); look++) {
            --after;
            if (after->start < cut && cut < after->end) {
                cut = after->start;
                moved = true;
                break;
            }
        }
    }
    return cut;
}

}  // namespace

std::vector<VolumePiece> PlanVolumes(uint64_t archiveStart, uint64_t archiveEnd, uint64_t volumeSize,
                                     uint64_t firstRoom, std::vector<KeepTogether> keep) {
    std::sort(keep.begin(), keep.end(),
              [](const KeepTogether& a, const KeepTogether& b) { return a.start < b.start; });
    std::vector<VolumePiece> volumes;
    uint64_t position = archiveStart;
    uint64_t room = firstRoom;
    do {
        uint64_t end = std::min(archiveEnd, position + room);
        if (end < archiveEnd) {
            end = CutOutsideRecords(end, keep);
            if (end <= position) {
                // The first disk may carry no archive bytes at all; later
                // ones have the whole disk, so the record can never fit.
                if (room >= volumeSize)
                    Refuse("a volume size of " + std::to_string(volumeSize) +
                           " bytes is too small: a header of the archive must fit on one disk");
                end = position;
            }
        }
        volumes.push_back({position, end});
        if (volumes.size() > kMaxDisks) Refuse("the set would need more than 65534 disks; choose a larger size");
        position = end;
        room = volumeSize;
    } while (position < archiveEnd);
    return volumes;
}

std::string VolumeFileName(const std::string& programName, bool exeVolumes) {
    const size_t dot = programName.find_last_of('.');
    const std::string stem = dot == std::string::npos ? programName : programName.substr(0, dot);
    return stem + (exeVolumes ? ".EXE" : ".ZIP");
}

uint64_t ParseVolumeSize(const std::string& text) {
    size_t digits = 0;
    while (digits < text.size() && text[digits] >= '0' && text[digits] <= '9') digits++;
    const std::string suffix = text.substr(digits);
    uint64_t unit = 1;
    if (suffix == "k" || suffix == "K") unit = 1024;
    else if (suffix == "m" || suffix == "M") unit = 1024 * 1024;
    else if (!suffix.empty()) digits = 0;
    if (digits == 0 || digits > 10) UsageError("--span needs a size such as 1457664, 1423k or 100m, not " + Quoted(text));
    const uint64_t size = std::stoull(text.substr(0, digits)) * unit;
    if (size == 0 || size > 0xFFFFFFFFu) UsageError("--span needs a size from 1 byte to 4 GiB, not " + Quoted(text));
    return size;
}

}  // namespace kvmake
