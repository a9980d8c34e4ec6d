// Cutting a built archive into the volumes of a spanned set.
//
// The archive is written once, as one piece whose offsets count from the
// start of the concatenated volumes; the volumes are then cut from it so that
// no record the stub reads in one piece is split (see KeepTogether): a volume
// that would end inside one ends early instead. Concatenating the volumes
// gives back the archive. Compressed data may be split anywhere.
//
// Disk 1 holds the program (stub and header) and the first volume (inside
// the program itself with ".EXE" volumes, beside it as NAME.ZIP otherwise),
// so its volume gets what room the program leaves on the disk.
#ifndef KVSFX_MAKE_SPANNED_SET_H
#define KVSFX_MAKE_SPANNED_SET_H

#include <stdint.h>

#include <string>
#include <vector>

#include "archive_writer.h"

namespace kvmake {

struct VolumePiece {
    uint64_t start;  // position in the built file
    uint64_t end;
};

// Cuts [archiveStart, archiveEnd) into volumes of at most volumeSize bytes,
// the first one at most firstRoom. Refuses a size too small for some record
// or for the program itself, or a set of more than 65534 disks.
std::vector<VolumePiece> PlanVolumes(uint64_t archiveStart, uint64_t archiveEnd, uint64_t volumeSize,
                                     uint64_t firstRoom, std::vector<KeepTogether> keep);

// The name of a volume file as the program derives it from its own name:
// everything from the last '.' replaced by ".EXE" or ".ZIP" (appended when
// the name has no '.').
std::string VolumeFileName(const std::string& programName, bool exeVolumes);

// Parses a size such as 1457664, 1423k or 100m (k and m: 1024 and 1048576).
uint64_t ParseVolumeSize(const std::string& text);

}  // namespace kvmake

#endif
