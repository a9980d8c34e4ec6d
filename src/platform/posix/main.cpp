// The Linux stub's entry point: rebuilds the command line the way Windows
// hands it over (quoted program name, arguments separated by blanks) and
// runs the main sequence on the argument text cut out of it.
#include <stdlib.h>
#include <string.h>

#include "failure/failure.h"
#include "startup/startup.h"

int main(int argc, char** argv) {
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
