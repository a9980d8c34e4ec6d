// Reading a self-extracting file without running it: its configuration
// block, its header texts and its archive, walked from `archiveStart` one
// local header after the other as the program walks it. Used by --list,
// --test and --extract, for any file the builder made, whatever the stub
// (PE32, PE32+ or ELF) and whatever the system the builder runs on.
//
// The reader never trusts the file: every offset and size is checked
// against the bytes that are there, every name goes through the same rules
// as the builder's (names.h), and a file that breaks any of them is reported
// as damaged or refused, never followed.
#ifndef KVSFX_MAKE_READER_H
#define KVSFX_MAKE_READER_H

#include <stddef.h>
#include <stdint.h>

#include <functional>
#include <string>
#include <vector>

namespace kvmake {

// Exit status of --list, --test and --extract.
enum ReaderStatus : int {
    kReaderGood = 0,      // the file is sound (and, for --extract, every file is there)
    kReaderInternal = 1,  // the reader itself failed (memory)
    kReaderDamaged = 2,   // the file is damaged, or refused (names, password, destination)
};

// One record of the walk: a file or folder entry as its local header has it.
struct SfxEntry {
    std::string name;  // as stored (Windows-1252, '/' or '\' separators)
    bool folder = false;
    uint16_t flags = 0, method = 0, modTime = 0, modDate = 0;
    uint32_t crc = 0, packedSize = 0, size = 0;
    uint64_t dataOffset = 0;  // in the archive bytes; the encryption header included
    std::string nameProblem;  // why the name is refused; empty when it is sound
};

struct SfxSettings {
    std::string stubKind;  // "PE32 (Windows, 32-bit)", "PE32+ ...", "ELF ..." or "unknown"
    uint32_t stubCrc = 0, archiveStart = 0, headerOffset = 0, endRecordOffset = 0, totalSize = 0, flags = 0;
    uint32_t entryRva = 0;
    uint16_t completeMark = 0;
    // The header texts in their order: destination, reserved, prompt, title,
    // information; then, with SFXF_RUN_PROGRAM, the program to run with its
    // arguments.
    std::vector<std::string> texts;
};

// What the reader found: the settings, the entries the walk reached, and the
// problems met, in the order met. A problem that ends the walk is last.
struct SfxImage {
    SfxSettings settings;
    std::vector<SfxEntry> entries;
    std::vector<std::string> problems;
    bool walkComplete = false;  // the walk reached the end of the archive
    const uint8_t* archive = nullptr;  // the bytes the entries' offsets count in
    uint64_t archiveSize = 0;
    std::vector<uint8_t> joined;  // a spanned set's volumes, end to end
};

// Reads the configuration block, the header and the archive of the file in
// memory. `volumeReader`, when given, is asked for disk N (2, 3, ...) of a
// spanned set (disk 1 with ".ZIP" volumes) and returns false when there is
// none; without it a spanned set is reported as not readable.
using VolumeReader = std::function<bool(unsigned disk, std::vector<uint8_t>* bytes)>;
void ReadSfxImage(const uint8_t* data, uint64_t size, const VolumeReader& volumeReader, SfxImage* image);

// The stub's own checksum; an empty text when it holds (or is not set).
std::string CheckStubCrc(const uint8_t* data, uint64_t size, const SfxSettings& settings);

class ZipCrypto;

// True when the encryption header of an encrypted entry verifies with the
// keys (started from the password; left ready for the entry's data).
bool PasswordVerifies(const SfxImage& image, const SfxEntry& entry, ZipCrypto* keys);

// Decodes one file entry (decrypting it with password when it is
// encrypted), handing the plain bytes to sink as they come, and checks its
// size and CRC. An empty text when the entry is sound, else what is wrong.
using DataSink = std::function<void(const uint8_t* bytes, size_t count)>;
std::string DecodeEntry(const SfxImage& image, const SfxEntry& entry, const std::string& password,
                        const DataSink& sink);

// The commands: each prints its report, problems included, on standard
// output and returns an ReaderStatus; what stops a command before its
// report (a file that cannot be read, a destination that cannot be made, a
// refused name or link) is thrown as a BuildError.
int ListSelfExtractor(const std::string& path);
int TestSelfExtractor(const std::string& path, const std::string& password);
int ExtractSelfExtractor(const std::string& path, const std::string& destination, const std::string& password,
                         bool overwrite);

}  // namespace kvmake

#endif
