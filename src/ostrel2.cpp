// Entry point: the argument count alone picks the usage screen, one file, or a list of files.
#include <cstdio>

#include "header_repair.h"

namespace {

void print_usage() {
    std::puts("\n");
    std::puts("This program will fix a wavefile header that indicates an incorrect file length.\n");
    std::puts("If you enter a single wavefile as the command line argument, one file will be checked/fixed.\n");
    std::puts("Example:");
    std::puts("ostrel_32bit guitar.wav");
    std::putchar('\n');
    std::puts("If you enter 2 command line arguments:\n");
    std::puts("Argument 1 is a text file containing a list of wavefiles (512 max), each on a new line.");
    std::puts("Argument 2 is the directory of the wavefiles.  Include the slash.\n");
    std::puts("Example:");
    std::puts("ostrel_32bit mylist.txt WaveFiles/\n");
    std::fflush(stdout);
}

}  // namespace

int main(int argc, char** argv) {
    if (argc == 1) {
        print_usage();
        return 1;
    }
    if (argc == 2) {
        FIX_SIZE(argv[1]);
        return 0;
    }
    if (argc == 3) return 0;  // the list mode is not built yet
    return 0;  // three or more arguments, or none at all: nothing to do
}
