// The Linux stub's entry point: rebuilds the command line the way Windows
// hands it over (quoted program name, arguments separated by blanks) and
// runs the main sequence on the argument text cut out of it.
#include <errno.h>
#include <fcntl.h>
#include <signal.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#include "failure/failure.h"
#include "startup/startup.h"

namespace {

// Descriptors 0, 1 and 2 left closed by the caller would be taken by the
// first files the stub opens (the archive, an output file), and the
// terminal's lines would go into them: each closed one is opened on
// /dev/null before anything else is opened. Taken in order, each gets the
// lowest free descriptor: its own.
void OpenStandardDescriptors() {
    for (int fd = 0; fd <= 2; fd++)
        if (fcntl(fd, F_GETFD) == -1 && errno == EBADF && open("/dev/null", O_RDWR) != fd) _exit(2);
}

}  // namespace

int main(int argc, char** argv) {
    OpenStandardDescriptors();
    // A file-size limit makes a write fail (and the write-error message
    // follow) instead of killing the process without a word.
    signal(SIGXFSZ, SIG_IGN);
    size_t size = 3;
    for (int i = 0; i < argc; i++) size += strlen(argv[i]) + 1;
    char* commandLine = (char*)calloc(1, size);
    if (commandLine == 0) return 2;
    char* p = commandLine;
    *p++ = '"';
    size_t length = strlen(argv[0]);
    memcpy(p, argv[0], length);
    p += length;
    *p++ = '"';
    for (int i = 1; i < argc; i++) {
        *p++ = ' ';
        length = strlen(argv[i]);
        memcpy(p, argv[i], length);
        p += length;
    }
    *p = 0;
    EndProcess(SfxMain(0, CutArgumentText(commandLine)));
}
