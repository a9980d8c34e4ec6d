// libFuzzer target for the reader behind kvsfx-make --list, --test and
// --extract. The input is a whole self-extracting file; when it is marked
// as spanned, its second half is offered as the next volume. The reader
// walks it, checks the stub's checksum and decodes every file entry, with
// and without a password: whatever the bytes, it must report problems as
// text, never crash, read outside the input, hang or exhaust memory.
#include <stdint.h>
#include <stdlib.h>

#include <vector>

#include "sfx_reader.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    // A copy of the exact size, so that reading past it shows.
    std::vector<uint8_t> file(data, data + size);
    const size_t half = size / 2;
    kvmake::VolumeReader volumes = [&](unsigned disk, std::vector<uint8_t>* bytes) {
        if (disk > 2) return false;
        bytes->assign(file.begin() + half, file.end());
        return true;
    };
    kvmake::SfxImage image;
    kvmake::ReadSfxImage(file.data(), file.size(), volumes, &image);
    kvmake::CheckStubCrc(file.data(), file.size(), image.settings);
    for (const kvmake::SfxEntry& entry : image.entries) {
        if (entry.folder) continue;
        for (const char* password : {"", "secret"}) {
            uint64_t delivered = 0;
            const std::string problem = kvmake::DecodeEntry(
                image, entry, password, [&](const uint8_t*, size_t count) { delivered += count; });
            if (delivered > entry.size || (problem.empty() && delivered != entry.size)) abort();
        }
    }
    return 0;
}
