// Entry point: the argument count alone picks the usage screen, one file, or a list of files.
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "file_io.h"
#include "header_repair.h"
#include "name_list.h"

namespace {

constexpr int kMaxNames = 512;

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

[[noreturn]] void list_unusable(const char* listPath) {
    std::printf("List called %s does not exist\n", listPath);
    std::fflush(stdout);
    std::exit(1);
}

// Reads up to maxNames names from the list file into `names` and returns how many it stored.
// The list is read as a stream, so a pipe works and a huge list is not held in memory; reading
// stops as soon as the last wanted name is complete. Ends the process if the list is unusable.
int ReadList(std::vector<std::string>& names, const char* listPath, int maxNames) {
    ostrel::io::File list;
    if (!ostrel::io::open_for_reading(listPath, list)) list_unusable(listPath);
    ostrel::NameSplitter splitter;
    splitter.max_names = maxNames > 0 ? static_cast<size_t>(maxNames) : 0;
#ifdef _WIN32
    splitter.drop_cr_before_lf = true;  // no Windows file name holds a CR, and Notepad ends lines so
#endif
    char chunk[65536];
    while (!splitter.done) {
        const long got = ostrel::io::read_next(list, chunk, sizeof chunk);
        if (got < 0) {  // a directory, or a read error
            ostrel::io::close(list);
            list_unusable(listPath);
        }
        if (got == 0) break;
        ostrel::feed_names(splitter, chunk, static_cast<size_t>(got));
    }
    ostrel::io::close(list);  // read-only: nothing to lose
    ostrel::finish_names(splitter);
    names = std::move(splitter.names);
    return static_cast<int>(names.size());
}

int run_batch(const char* listPath, const char* prefix) {
    std::vector<std::string> names;
    const int count = ReadList(names, listPath, kMaxNames);
    std::printf("Read a list containing %i files\n", count);
    std::fflush(stdout);
    if (count <= 0) return 1;
    std::string path;
    for (const std::string& name : names) {
        path.assign(prefix).append(name);
        FIX_SIZE(path.c_str());
    }
    return 0;
}

int run(int argc, char** argv) {
    ostrel::io::use_binary_stdout();
    if (argc == 1) {
        print_usage();
        return 1;
    }
    if (argc == 2) {
        FIX_SIZE(argv[1]);
        return 0;
    }
    if (argc == 3) return run_batch(argv[1], argv[2]);
    return 0;  // three or more arguments, or none at all: nothing to do
}

}  // namespace

#ifdef _WIN32
// Windows hands over the arguments as UTF-16; the rest of the tool works in UTF-8, as on Linux.
int wmain(int argc, wchar_t** wargv) {
    std::vector<std::string> args;
    for (int k = 0; k < argc; ++k) args.push_back(ostrel::io::utf8_from_wide(wargv[k]));
    std::vector<char*> argv;
    for (std::string& a : args) argv.push_back(a.data());
    argv.push_back(nullptr);
    return run(argc, argv.data());
}
#else
int main(int argc, char** argv) { return run(argc, argv); }
#endif
