// The builder's entry point on Linux: the arguments are UTF-8 words already.
// Kept apart from the rest of the host layer so that the fuzz targets, which
// bring their own entry point, link the rest.
#include <string>
#include <vector>

#include "host_files.h"

int main(int argc, char** argv) { return kvmake::RunBuilder(std::vector<std::string>(argv, argv + argc)); }
