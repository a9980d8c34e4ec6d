/* A small Windows program that a self-extracting file starts after its run:
 * it writes its current folder and its arguments, separated by '|', into
 * "ran.txt" in its current folder, and exits with its first argument as
 * the exit code (0 without one). */
#include <stdio.h>
#include <stdlib.h>
#include <windows.h>

int main(int argc, char **argv) {
    char folder[MAX_PATH + 1];
    FILE *out;
    int i;
    if (!GetCurrentDirectoryA(sizeof folder, folder)) folder[0] = 0;
    out = fopen("ran.txt", "w");
    if (out) {
        fputs(folder, out);
        for (i = 1; i < argc; i++) fprintf(out, "|%s", argv[i]);
        fclose(out);
    }
    return argc > 1 ? atoi(argv[1]) : 0;
}
