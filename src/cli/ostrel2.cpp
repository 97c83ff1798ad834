// Entry point: options, the usage screen, --help, --version, a list of files with a directory
// prefix, or files and folders named on the command line.
#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "command_line.h"
#include "console_window.h"
#include "file_io.h"
#include "header_repair.h"
#include "name_list.h"
#include "recover.h"
#include "repair_decision.h"
#include "source_stamp.h"

namespace {

constexpr int kMaxNames = 512;

// A report that reaches no one must not pass for a quiet success: the file in hand is finished,
// and no further file is touched.
[[noreturn]] void output_lost(int error) {
    std::fprintf(stderr, "ostrel_32bit: cannot write the report: %s\n", ostrel::io::output_error_text(error).c_str());
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
    std::puts("More, and what to do when a take shows 0 KB: ostrel_32bit --help");
    flush_or_fail();
}

// Said once, after the reports: a 0-byte take, a card given as a take, a take that ends at its
// header and a crashed take on a card are jobs for --recover. The first line names the surest.
void hint_recover(Hint why) {
    std::fputs(why == Hint::LostOrCard     ? "ostrel_32bit: a take of 0 bytes, or a card given as a take: its audio may "
                                             "still be on the card.\n"
               : why == Hint::EndsAtHeader ? "ostrel_32bit: a take that ends at its header: its audio may still be on "
                                             "the card.\n"
                                           : "ostrel_32bit: a crashed take on a FAT or exFAT volume: the card may hold "
                                             "more of it than the file does.\n",
               stderr);
    std::fputs(
        "  Recover it into a folder on another disk with: ostrel_32bit --recover FOLDER CARD\n"
        "  (CARD: the card's device, its mount folder or an image of it), or give an image of the\n"
        "  card to the web page. Until then, record nothing on the card and do not write to it.\n",
        stderr);
}

void print_help() {
    std::fputs(
        "Usage: ostrel_32bit [OPTION]... FILE|FOLDER...\n"
        "       ostrel_32bit [OPTION]... LIST.txt DIRECTORY/\n"
        "Repairs, in place, the sizes in the header of WAVE files (RIFF, RF64, BW64),\n"
        "AIFF, AIFF-C, Wave64 and CAF files so that every reader reads the audio that\n"
        "is really there.\n"
        "\n"
        "  FILE       checked, and repaired when its own structure shows a size is wrong\n"
        "  FOLDER     every file of those forms below it, found by content, whatever\n"
        "             its name;\n"
        "             hidden entries and links are skipped\n"
        "  LIST.txt DIRECTORY/\n"
        "             up to 512 names, one per line, each put after DIRECTORY/ as given\n"
        "\n"
        "  --recover DIR CARD...\n"
        "             the takes a card lost in a power cut (a take that shows 0 KB),\n"
        "             read from the card (its device or mount folder) or an image of it,\n"
        "             written repaired into DIR on another disk; CARD is only read.\n"
        "             Status: 0 each take recovered, or none found; 1 a take or a card\n"
        "             failed; 2 a wrong argument. With --check: 0 none found; 1 some\n"
        "             would be recovered; 2 a card could not be read\n"
        "  --like FILE.wav  with --recover: a take found without a header gets FILE's\n"
        "             format\n"
        "\n"
        "  -n, --check    say what a repair would do, and write nothing\n"
        "  -v, --verbose  after each report, what was found and each byte written\n"
        "  -h, --help     show this screen"
#ifdef _WIN32
        " (also /?)"
#endif
        "\n"
        "  -V, --version  show the version\n"
        "  --             every later argument is a name, even one starting with -\n"
        "\n"
        "Written: the data size, the form size, and a header turned into RF64 past\n"
        "4 GiB; each write is on storage before success is reported. Never written:\n"
        "healthy files, other formats, read-only files, takes still being recorded.\n"
        "Exit status: 0 done; 1 a file was missing or not written, a take was being\n"
        "recorded, or a list could not be used; 2 an unknown option. --check: 0 all\n"
        "correct; 1 some need fixing; 2 some could not be read. More: man ostrel_32bit\n",
        stdout);
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

// What the run has met so far, for the exit status.
struct Tally {
    int write_failed = 0, being_written = 0, needs_fix = 0, not_found = 0;
};

struct Run {
    CheckOptions options;
    Tally tally;
    Hint hint = Hint::None;  // the surest reason met to say, once, how to recover
};

void count(Tally& t, Outcome outcome) {
    t.write_failed += outcome == Outcome::WriteFailed;
    t.being_written += outcome == Outcome::BeingWritten;
    t.needs_fix += outcome == Outcome::NeedsFix;
    t.not_found += outcome == Outcome::NotFound;
}

FileResult check_one(Run& run, const std::string& path, ostrel::io::Kind kind, bool in_folder) {
    CheckOptions options = run.options;
    options.only_wave = in_folder;
    const FileResult r = FIX_SIZE(path.c_str(), options, kind);
    if (r.report_error != 0) output_lost(r.report_error);
    if (r.reported) count(run.tally, r.outcome);
    run.hint = std::max(run.hint, r.hint);
    return r;
}

std::string join(const std::string& folder, const std::string& name) {
    return ostrel::io::ends_in_separator(folder) ? folder + name : folder + ostrel::io::kSeparator + name;
}

// The files a folder walk left alone: 0-byte takes apart, the first few of them by name (each
// with -v), since their audio may still be on the card.
struct LeftAlone {
    uint64_t others = 0, empty = 0;
    std::vector<std::string> empty_paths;
};

constexpr size_t kEmptyNamed = 3;

// Every WAVE file below `folder`, by content, in byte order of the names, a subfolder where its
// name falls. Hidden entries (._take.wav, .Trashes) and links are skipped, so a walk never
// loops and never meets a take twice.
void walk(Run& run, const std::string& folder, LeftAlone& left) {
    namespace io = ostrel::io;
    std::vector<io::Entry> entries;
    if (!io::list_folder(folder.c_str(), entries)) {
        check_one(run, folder, io::Kind::Folder, false);
        return;
    }
    std::sort(entries.begin(), entries.end(), [](const io::Entry& a, const io::Entry& b) { return a.name < b.name; });
    for (const io::Entry& e : entries) {
        if (e.name[0] == '.' || e.kind == io::Kind::Link) continue;
        const std::string path = join(folder, e.name);
        if (e.kind == io::Kind::Folder) {
            walk(run, path, left);
        } else if (e.kind != io::Kind::File) {
            ++left.others;  // never opened when it is not a plain file
        } else if (const FileResult r = check_one(run, path, e.kind, true); !r.reported && r.empty) {
            if (++left.empty <= kEmptyNamed || run.options.verbose) left.empty_paths.push_back(path);
            run.hint = Hint::LostOrCard;
        } else if (!r.reported) {
            ++left.others;
        }
    }
}

void say_left_alone(const LeftAlone& left, const std::string& path) {
    if (left.empty > 0) {
        std::fprintf(stderr, "ostrel_32bit: %llu %s under %s %s 0 bytes and %s left alone:\n",
                     static_cast<unsigned long long>(left.empty), left.empty == 1 ? "file" : "files", path.c_str(),
                     left.empty == 1 ? "has" : "have", left.empty == 1 ? "was" : "were");
        for (const std::string& name : left.empty_paths) std::fprintf(stderr, "  %s\n", name.c_str());
        if (left.empty > left.empty_paths.size())
            std::fprintf(stderr, "  and %llu more (-v names each)\n",
                         static_cast<unsigned long long>(left.empty - left.empty_paths.size()));
    }
    const uint64_t n = left.others;
    if (n > 0)
        std::fprintf(stderr, "ostrel_32bit: %llu %s under %s %s and %s left alone.\n", static_cast<unsigned long long>(n),
                     n == 1 ? "file" : "files", path.c_str(), n == 1 ? "is not a WAVE file" : "are not WAVE files",
                     n == 1 ? "was" : "were");
}

// A name on the command line or in a list: a file, or a folder to walk.
void check_name(Run& run, const std::string& path) {
    namespace io = ostrel::io;
    const io::Kind kind = io::kind_of(path.c_str());
    if (kind != io::Kind::Folder) {
        check_one(run, path, kind, false);
        return;
    }
    LeftAlone left;
    walk(run, path, left);
    say_left_alone(left, path);
}

// The names of a list are joined to the prefix as they stand; a folder named without its
// separator then looks for files beside it, not inside, which is worth saying once.
void warn_about_prefix(const std::string& prefix, const std::string& first) {
    if (prefix.empty() || ostrel::io::ends_in_separator(prefix) || ostrel::io::kind_of(prefix.c_str()) != ostrel::io::Kind::Folder)
        return;
    std::fprintf(stderr,
                 "ostrel_32bit: the names are joined to %s as they stand (%s + %s = %s%s); end it with a slash to "
                 "look inside the folder.\n",
                 prefix.c_str(), prefix.c_str(), first.c_str(), prefix.c_str(), first.c_str());
}

int run_batch(Run& run, const char* listPath, const std::string& prefix) {
    std::vector<std::string> names;
    bool more = false;
    const int count = ReadList(names, listPath, kMaxNames, more);
    std::printf("Read a list containing %i files\n", count);
    flush_or_fail();
    if (count <= 0) return 1;
    warn_about_prefix(prefix, names[0]);
    for (const std::string& name : names) check_name(run, prefix + name);
    if (run.hint != Hint::None) hint_recover(run.hint);
    if (more)
        std::fprintf(stderr, "List called %s names more than %d files; only the first %d were checked.\n", listPath,
                     kMaxNames, kMaxNames);
    return more || run.tally.write_failed > 0 || run.tally.being_written > 0 || run.tally.not_found > 0 ? 1 : 0;
}

// Two names are a list and a prefix only when the first cannot be a take (not a WAVE file, not
// a folder) and the second names nothing but a folder: a folder, a path ending in a separator,
// an empty string, or nothing on disk.
bool is_list_and_prefix(const std::string& first, const std::string& second) {
    namespace io = ostrel::io;
    const io::Kind list = io::kind_of(first.c_str());
    if (list == io::Kind::Folder || (list == io::Kind::File && is_wave_file(first.c_str()))) return false;
    if (second.empty() || io::ends_in_separator(second)) return true;
    const io::Kind prefix = io::kind_of(second.c_str());
    return prefix == io::Kind::Folder || prefix == io::Kind::Missing;
}

int run(int argc, char** argv) {
    ostrel::io::prepare_process();
    if (argc < 1) return 0;  // not even a program name: nothing to do
#ifdef _WIN32
    const bool windows = true;
#else
    const bool windows = false;
#endif
    const ostrel::CommandLine line = ostrel::parse_command_line(argc - 1, argv + 1, windows);
    if (!line.unknown.empty()) {
        std::fprintf(stderr, "ostrel_32bit: unknown option '%s'\nTry 'ostrel_32bit --help'.\n", line.unknown.c_str());
        return 2;
    }
    if (line.recover && (line.recover_into.empty() || line.names.empty())) {
        std::fprintf(stderr, "ostrel_32bit: --recover needs %s\nTry 'ostrel_32bit --help'.\n",
                     line.recover_into.empty() ? "the folder to recover into" : "a card, its image or its mount folder");
        return 2;
    }
    if (line.help) return print_help(), 0;
    if (line.version) {
        std::puts("ostrel_32bit " OSTREL_VERSION "\nbuilt from sources " OSTREL_SOURCES);
        flush_or_fail();
        return 0;
    }
    if (line.names.empty()) return print_usage(), 1;
    if (!line.like.empty() && !line.recover) {
        std::fprintf(stderr, "ostrel_32bit: --like is for --recover\nTry 'ostrel_32bit --help'.\n");
        return 2;
    }
    if (line.recover) return recover({line.recover_into, line.check, line.verbose, line.like}, line.names);
    Run run;
    run.options.mode = line.check ? Mode::Check : Mode::Repair;
    run.options.verbose = line.verbose;
    if (!line.check && line.names.size() == 2 && is_list_and_prefix(line.names[0], line.names[1]))
        return run_batch(run, line.names[0].c_str(), line.names[1]);
    for (const std::string& name : line.names) check_name(run, name);
    if (run.hint != Hint::None) hint_recover(run.hint);
    const Tally& t = run.tally;
    if (line.check) return t.needs_fix > 0 ? 1 : t.not_found > 0 || t.being_written > 0 ? 2 : 0;
    return t.write_failed > 0 || t.being_written > 0 || t.not_found > 0 ? 1 : 0;
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
