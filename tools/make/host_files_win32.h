// What the Windows host files offer the Windows entry point besides
// host_files.h.
#ifndef KVSFX_MAKE_HOST_FILES_WINDOWS_H
#define KVSFX_MAKE_HOST_FILES_WINDOWS_H

#include <string>

namespace kvmake {

// UTF-16, Windows' own form (command line, file names), to UTF-8.
std::string Utf8FromWide(const wchar_t* text);

}  // namespace kvmake

#endif
