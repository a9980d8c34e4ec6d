#include "stub_image.h"

#include <stddef.h>
#include <string.h>

#include "build_error.h"
#include "deflate_engine.h"
#include "host_files.h"
#include "names.h"
#include "format/exe_layout.h"
#include "format/sfx_block.h"

namespace kvmake {

namespace {

// Capacities of the header texts, in characters (their terminating zero not
// counted), and of the whole header in bytes.
const size_t kFolderCapacity = kMaxPathLength;
const size_t kPromptCapacity = kStartupPromptSize - 1;
const size_t kTitleCapacity = kCustomTitleSize - 1;
const size_t kInfoCapacity = kInfoTextSize - 1;
const size_t kProgramCapacity = kProgramLineSize - 1;

void CheckCapacity(const std::string& text, size_t capacity, const std::string& what) {
    if (text.size() > capacity)
        Refuse("the " + what + " is " + std::to_string(text.size()) + " characters long; at most " +
               std::to_string(capacity) + " fit");
}

}  // namespace

StubImage LoadStub(const std::string& path) {
    StubImage stub;
    stub.bytes = ReadWholeFile(path);
    const std::vector<uint8_t>& bytes = stub.bytes;
    if (bytes.size() > 0x7FFFFFFF) Refuse("the stub " + Quoted(path) + " is too large");
    if (!ExecutableEntryPoint(bytes.data(), (uint32_t)bytes.size(), &stub.entryRva))
        Refuse("the stub " + Quoted(path) + " is not a Windows or Linux executable");

    // The stub finds its own block by the first copy of the signature, so
    // the image must hold exactly one.
    size_t found = 0;
    for (size_t at = 0; at + sizeof kBlockSignature <= bytes.size(); at++) {
        if (bytes[at] != kBlockSignature[0] || memcmp(&bytes[at], kBlockSignature, sizeof kBlockSignature) != 0)
            continue;
        if (found++ == 0) stub.blockOffset = at;
    }
    if (found == 0) Refuse("the stub " + Quoted(path) + " has no configuration block; it is not a kvsfx stub");
    if (found > 1)
        Refuse("the stub " + Quoted(path) + " holds the configuration block's signature " + std::to_string(found) +
               " times; it must hold it once");
    if (stub.blockOffset + sizeof(SfxConfigBlock) > bytes.size())
        Refuse("the stub " + Quoted(path) + " ends inside its configuration block");
    const uint8_t* block = &bytes[stub.blockOffset];
    if (LoadLe32(block + offsetof(SfxConfigBlock, archiveStart)) != 0 ||
        LoadLe16(block + offsetof(SfxConfigBlock, completeMark)) != 0)
        Refuse(Quoted(path) + " is already a self-extracting file; use the bare stub");
    return stub;
}

namespace {

// The program's path as the stub cuts it out of the command line: up to the
// closing quote when it begins with one, else up to the first blank or tab.
// Refuses a missing closing quote.
std::string ProgramPath(const std::string& line) {
    size_t at = line.find_first_not_of(" \t");
    if (at == std::string::npos) return std::string();
    if (line[at] == '"') {
        const size_t close = line.find('"', at + 1);
        if (close == std::string::npos) Refuse("the program to run, " + line + ", lacks its closing quote");
        return line.substr(at + 1, close - at - 1);
    }
    return line.substr(at, line.find_first_of(" \t", at) - at);
}

}  // namespace

void CheckProgramLine(const std::string& line) {
    CheckCapacity(line, kProgramCapacity, "program to run");
    const std::string path = ProgramPath(line);
    if (path.empty()) Refuse("the program to run has no name");
    if (path.back() == '/' || path.back() == '\\') Refuse("the program to run, " + Quoted(path) + ", is a folder");
    try {
        CheckEntryName(path, path, NameOrigin::Zip);
    } catch (const BuildError& error) {
        Refuse(std::string("the program to run is refused: ") + error.what() +
               "; it must be a file inside the destination folder");
    }
}

std::string BuildSfxHeader(const HeaderTexts& texts) {
    CheckCapacity(texts.defaultFolder, kFolderCapacity, "destination folder");
    CheckCapacity(texts.prompt, kPromptCapacity, "start-up prompt");
    CheckCapacity(texts.title, kTitleCapacity, "title");
    CheckCapacity(texts.info, kInfoCapacity, "information text");
    std::string header;
    for (const std::string* text : {&texts.defaultFolder, (const std::string*)nullptr, &texts.prompt, &texts.title,
                                    &texts.info}) {
        if (text) header += *text;
        header.push_back('\0');
    }
    if (header.size() > kHeaderMaxSize)
        Refuse("the texts together take " + std::to_string(header.size()) + " bytes with their terminators; at most " +
               std::to_string((unsigned)kHeaderMaxSize) + " fit");
    if (!texts.program.empty()) {
        CheckProgramLine(texts.program);
        header += texts.program;
        header.push_back('\0');
    }
    return header;
}

void FillConfigBlock(std::vector<uint8_t>& prefix, size_t blockOffset, const BlockValues& values, bool withCrc) {
    uint8_t* block = &prefix[blockOffset];
    StoreLe32(block + offsetof(SfxConfigBlock, stubCrc), 0);
    StoreLe32(block + offsetof(SfxConfigBlock, archiveStart), values.archiveStart);
    StoreLe32(block + offsetof(SfxConfigBlock, headerOffset), values.headerOffset);
    StoreLe32(block + offsetof(SfxConfigBlock, endRecordOffset), values.endRecordOffset);
    StoreLe32(block + offsetof(SfxConfigBlock, totalSize), values.totalSize);
    StoreLe32(block + offsetof(SfxConfigBlock, flags), values.flags);
    StoreLe32(block + offsetof(SfxConfigBlock, entryRva), values.entryRva);
    StoreLe16(block + offsetof(SfxConfigBlock, completeMark), 0xFFFF);
    if (!withCrc) return;

    // The same span the stub checks: from the end of the executable headers
    // when asked, from the start otherwise, up to the archive.
    size_t start = 0;
    if (values.flags & SFXF_CRC_AFTER_HEADERS) {
        start = ExecutableHeadersEnd(prefix.data(), values.archiveStart);
        if (start == 0) Refuse("the stub's executable headers cannot be found; its start-up check can only cover them too "
                                "(--crc-with-headers)");
    }
    const uint32_t crc = Crc32(0, prefix.data() + start, values.archiveStart - start);
    StoreLe32(block + offsetof(SfxConfigBlock, stubCrc), crc);
}

}  // namespace kvmake
