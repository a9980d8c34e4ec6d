// The builder's command line.
#ifndef KVSFX_MAKE_OPTIONS_H
#define KVSFX_MAKE_OPTIONS_H

#include <stdint.h>

#include <string>
#include <vector>

namespace kvmake {

enum class PromptStyle { Ok, YesNo, OkCancel };

struct Options {
    bool help = false;
    std::string output;
    std::string stub;  // empty: kvsfx (on Windows kvsfx32.exe) beside the builder
    std::string destFolder, info, prompt, title;
    std::string run;  // program to start after extraction, with its arguments; empty: none
    bool titleGiven = false;
    PromptStyle promptStyle = PromptStyle::Ok;
    bool titleInDialog = false, autoMode = false, overwrite = false;
    bool crcAfterHeaders = false, noStubCrc = false;
    int level = 6;
    bool levelGiven = false;
    std::string password, passwordFile;
    bool passwordGiven = false;
    uint64_t spanSize = 0;  // 0: one file
    bool exeVolumes = false;
    std::vector<std::string> inputs;
};

// Parses argv; UsageError on a mistake.
Options ParseOptions(int argc, char** argv);

// The text of --help.
const char* HelpText();

}  // namespace kvmake

#endif
