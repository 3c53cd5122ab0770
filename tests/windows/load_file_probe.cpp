// Reads a file as the program reads a downloaded item, under the Windows C
// runtime: prints its length, or ends with the program's own failure line.
#include <cstdio>

#include "retrieval.h"

int main(int argc, char** argv) {
    if (argc != 2) {
        std::fprintf(stderr, "usage: load-file-probe <file>\n");
        return 2;
    }
    LoadedItem item = load_file(argv[1]);
    std::printf("%ld bytes\n", static_cast<long>(item.length));
    delete[] item.bytes;
    return 0;
}
