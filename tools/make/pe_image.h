// What the builder writes into a Windows stub besides the configuration
// block: the publisher's version information, and the checksum of the
// executable's headers once the whole file is known.
#ifndef KVSFX_MAKE_PE_IMAGE_H
#define KVSFX_MAKE_PE_IMAGE_H

#include <stddef.h>
#include <stdint.h>

#include <optional>
#include <string>
#include <vector>

namespace kvmake {

// The version texts, in UTF-16; one left empty keeps the stub's own. The
// version text also gives the four numbers of the fixed part ("2.1" is
// 2.1.0.0).
struct VersionTexts {
    std::optional<std::u16string> description, company, product, version, copyright;
};

// Writes texts into the stub's version resource, each into the room the
// stub keeps for its string, and the numbers of version into the fixed
// part. False when image has no version resource (an ELF stub, or a PE
// without one); refuses a text longer than its room, a version number over
// 65535, and a resource it cannot walk.
bool FillVersionInfo(std::vector<uint8_t>& image, const VersionTexts& texts);

// Where a PE image keeps its header checksum (the optional header's
// CheckSum); 0 when image is not a PE file.
size_t PeChecksumOffset(const uint8_t* image, size_t length);

// The header checksum of a whole file, fed in pieces of any size: the sum of
// its 16-bit words folded to 16 bits, with the four bytes of the checksum
// field taken as zero, plus the file's length.
class PeChecksum {
public:
    explicit PeChecksum(uint64_t fieldOffset) : field_(fieldOffset) {}
    void add(const uint8_t* data, size_t count);
    uint32_t finish() const;

private:
    uint64_t field_;
    uint64_t position_ = 0;
    uint64_t sum_ = 0;
};

}  // namespace kvmake

#endif
