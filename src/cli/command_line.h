// The command line as words: options wherever they stand, until "--", and the names.
#pragma once

#include <string>
#include <vector>

namespace ostrel {

struct CommandLine {
    bool check = false, verbose = false, help = false, version = false;
    bool recover = false;
    std::string recover_into;  // --recover DIR (or --recover=DIR): the folder recovered takes go into
    std::string like;          // --like FILE.wav: the format of takes found without a header
    std::string unknown;  // the first argument that looks like an option and is none, or --recover without DIR
    std::vector<std::string> names;
};

// Options: --check (-n), --verbose (-v), --help (-h, and /? on Windows), --version (-V); short
// ones may be joined, as in -nv; --recover takes the next argument as its folder, and --like its file. A lone "-"
// is a name, and so is every argument after "--".
CommandLine parse_command_line(int count, const char* const* args, bool windows);

}  // namespace ostrel
