// Entry point: the usage screen, --help, --version, --check, a list of files with a directory
// prefix, or files named on the command line.
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "console_window.h"
#include "file_io.h"
#include "header_repair.h"
#include "name_list.h"
#include "repair_decision.h"

namespace {

constexpr int kMaxNames = 512;

// A report that reaches no one must not pass for a quiet success: the file in hand is finished,
// and no further file is touched.
[[noreturn]] void output_lost(int error) {
    std::fprintf(stderr, "ostrel_32bit: cannot write the report: %s\n", std::strerror(error));
    std::exit(1);
}

void flush_or_fail() {
    if (std::fflush(stdout) != 0 || std::ferror(stdout)) output_lost(errno != 0 ? errno : EIO);
}

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
    flush_or_fail();
}

[[noreturn]] void list_unusable(const char* listPath) {
    std::printf("List called %s does not exist\n", listPath);
    flush_or_fail();
    std::exit(1);
}

// Reads up to maxNames names from the list file into `names` and returns how many it stored;
// `more` tells whether the list names further files. The list is read as a stream, so a pipe
// works and a huge list is not held in memory; reading stops as soon as a name past the limit
// is known. Ends the process if the list is unusable.
int ReadList(std::vector<std::string>& names, const char* listPath, int maxNames, bool& more) {
    ostrel::io::File list;
    if (!ostrel::io::open_for_reading(listPath, list)) list_unusable(listPath);
    ostrel::NameSplitter splitter;
    splitter.max_names = maxNames > 0 ? static_cast<size_t>(maxNames) : 0;
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
    more = splitter.more;
    return static_cast<int>(names.size());
}

// Checks each path in turn; true when every one was found correct.
bool check_each(char** paths, int count, const std::string& prefix, Mode mode) {
    bool all_correct = true;
    std::string path;
    for (int k = 0; k < count; ++k) {
        path.assign(prefix).append(paths[k]);
        const FileResult r = FIX_SIZE(path.c_str(), mode);
        if (r.report_error != 0) output_lost(r.report_error);
        all_correct = all_correct && r.outcome == Outcome::Correct;
    }
    return all_correct;
}

int run_batch(const char* listPath, const char* prefix) {
    std::vector<std::string> names;
    bool more = false;
    const int count = ReadList(names, listPath, kMaxNames, more);
    std::printf("Read a list containing %i files\n", count);
    flush_or_fail();
    if (count <= 0) return 1;
    std::vector<char*> paths;
    for (std::string& name : names) paths.push_back(name.data());
    check_each(paths.data(), count, prefix, Mode::Repair);
    if (!more) return 0;
    std::fprintf(stderr, "List called %s names more than %d files; only the first %d were checked.\n", listPath,
                 kMaxNames, kMaxNames);
    return 1;
}

// A list is text, so it never starts like a WAVE file; two WAVE files are two files to check.
bool is_wave_file(const char* path) {
    namespace io = ostrel::io;
    io::File file;
    uint64_t length = 0;
    if (!io::is_plain_file(path) || io::open_file(path, false, file, length) != io::Opened::Yes) return false;
    uint8_t head[ostrel::kFirstChunk];
    const bool wave = length >= sizeof head && io::read_at(file, 0, head, sizeof head) && ostrel::is_wave_form(head, sizeof head);
    io::close(file);
    return wave;
}

int run(int argc, char** argv) {
    ostrel::io::use_binary_output();
    if (argc < 1) return 0;  // not even a program name: nothing to do
    const int count = argc - 1;
    char** args = argv + 1;
    const bool only = count == 1;
    if (count == 0 || (only && std::strcmp(args[0], "--help") == 0)) {
        print_usage();
        return count == 0 ? 1 : 0;
    }
    if (only && std::strcmp(args[0], "--version") == 0) {
        std::puts("ostrel_32bit " OSTREL_VERSION);
        flush_or_fail();
        return 0;
    }
    if (std::strcmp(args[0], "--check") == 0) {
        if (only) {
            print_usage();
            return 1;
        }
        return check_each(args + 1, count - 1, "", Mode::Check) ? 0 : 1;
    }
    if (count == 2 && !is_wave_file(args[0])) return run_batch(args[0], args[1]);
    check_each(args, count, "", Mode::Repair);
    return 0;
}

}  // namespace

#ifdef _WIN32
#include <windows.h>

// The runtime expands * and ? in the arguments, as Unix shells do and Windows shells do not; a
// pattern that matches nothing stays as it is.
extern "C" {
int _dowildcard = -1;
}

// Windows hands over the arguments as UTF-16; the rest of the tool works in UTF-8, as on Linux.
int wmain(int argc, wchar_t** wargv) {
    std::vector<std::string> args;
    for (int k = 0; k < argc; ++k) args.push_back(ostrel::io::utf8_from_wide(wargv[k]));
    std::vector<char*> argv;
    for (std::string& a : args) argv.push_back(a.data());
    argv.push_back(nullptr);
    const int status = run(argc, argv.data());
    // Started from Explorer (takes dropped on the .exe), the window closes with the process.
    DWORD processes[2];
    DWORD mode = 0;
    const bool input_is_console = GetConsoleMode(GetStdHandle(STD_INPUT_HANDLE), &mode) != 0;
    if (ostrel::waits_for_enter(GetConsoleProcessList(processes, 2), input_is_console)) {
        std::fputs("Press Enter to close this window.\n", stderr);
        std::getchar();
    }
    return status;
}
#else
int main(int argc, char** argv) { return run(argc, argv); }
#endif
