// The builder's command line.
#ifndef KVSFX_MAKE_OPTIONS_H
#define KVSFX_MAKE_OPTIONS_H

#include <stdint.h>

#include <optional>
#include <string>
#include <vector>

namespace kvmake {

enum class PromptStyle { Ok, YesNo, OkCancel };

// Reading a self-extracting file instead of making one.
enum class ReaderCommand { None, List, Test, Extract };

struct Options {
    bool help = false;
    std::string output;
    std::string stub;  // empty: kvsfx (on Windows kvsfx32.exe) beside the builder
    std::string destFolder, info, prompt, title;
    std::string run;  // program to start after extraction, with its arguments; empty: none
    bool titleGiven = false;
    PromptStyle promptStyle = PromptStyle::Ok;
    bool titleInDialog = false, autoMode = false, overwrite = false;
    bool crcWithHeaders = false, noStubCrc = false;
    // The version information of a Windows stub; empty when not given.
    std::optional<std::string> description, company, product, version, copyright;
    int level = 6;
    bool levelGiven = false;
    std::string password, passwordFile;
    bool passwordGiven = false;
    uint64_t spanSize = 0;  // 0: one file
    bool exeVolumes = false;
    std::vector<std::string> inputs;  // with --extract: the destination folder
    ReaderCommand readerCommand = ReaderCommand::None;
    std::string readFile;  // the self-extracting file read by --list, --test or --extract
    // Every entry's time, seconds since 1970 UTC: --date, else the
    // SOURCE_DATE_EPOCH environment variable; -1: each file's own.
    int64_t date = -1;
};

// Parses argv; UsageError on a mistake.
Options ParseOptions(int argc, char** argv);

// The text of --help.
const char* HelpText();

}  // namespace kvmake

#endif
