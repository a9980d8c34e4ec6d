// The builder's entry point on Windows, linked with -municode: argv in
// UTF-16, so that no character of a name is lost to the ANSI code page; it
// hands the command line to RunBuilder as UTF-8 words. Kept apart from the
// rest of the host layer so that the fuzz targets, which bring their own
// entry point, link the rest.
#include <new>
#include <string>
#include <utility>
#include <vector>

#include "build_error.h"
#include "host_files.h"
#include "host_files_win32.h"

int wmain(int argc, wchar_t** argv) {
    std::vector<std::string> words;
    try {
        for (int i = 0; i < argc; i++) words.push_back(kvmake::Utf8FromWide(argv[i]));
    } catch (const std::bad_alloc&) {
        kvmake::ShowMessage("not enough memory");
        return kvmake::kExitRefused;
    }
    return kvmake::RunBuilder(std::move(words));
}
