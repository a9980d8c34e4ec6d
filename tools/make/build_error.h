// How the builder gives up: every refusal is a BuildError carrying the text
// shown to the user and the exit status. main() catches it, prints
// "kvsfx-make: TEXT" and exits with the status. Nothing is left behind: the
// output and volume files are written under temporary names and only renamed
// into place once complete.
#ifndef KVSFX_MAKE_BUILD_ERROR_H
#define KVSFX_MAKE_BUILD_ERROR_H

#include <stdexcept>
#include <string>

namespace kvmake {

enum ExitStatus : int {
    kExitMade = 0,     // the self-extracting file was written
    kExitRefused = 1,  // an input, the stub or the output was refused, or writing failed
    kExitUsage = 2,    // a mistake on the command line
};

class BuildError : public std::runtime_error {
public:
    BuildError(const std::string& text, int status) : std::runtime_error(text), status_(status) {}
    int status() const { return status_; }

private:
    int status_;
};

// Ends the build: the input or the environment cannot give a good file.
[[noreturn]] inline void Refuse(const std::string& text) { throw BuildError(text, kExitRefused); }

// Ends the build: the command line is wrong.
[[noreturn]] inline void UsageError(const std::string& text) { throw BuildError(text, kExitUsage); }

// Quotes a name or path for a message.
inline std::string Quoted(const std::string& text) { return "\"" + text + "\""; }

}  // namespace kvmake

#endif
