#include "command_line.h"

#include <cstring>

namespace ostrel {

namespace {

bool long_option(CommandLine& c, const char* arg) {
    const struct {
        const char* name;
        bool CommandLine::*flag;
    } kLong[] = {{"--check", &CommandLine::check}, {"--verbose", &CommandLine::verbose},
                 {"--help", &CommandLine::help}, {"--version", &CommandLine::version}};
    for (const auto& option : kLong)
        if (std::strcmp(arg, option.name) == 0) return c.*option.flag = true;
    return false;
}

bool short_options(CommandLine& c, const char* arg) {
    if (arg[1] == '-') return false;
    CommandLine with = c;
    for (const char* letter = arg + 1; *letter != '\0'; ++letter) {
        switch (*letter) {
            case 'n': with.check = true; break;
            case 'v': with.verbose = true; break;
            case 'h': with.help = true; break;
            case 'V': with.version = true; break;
            default: return false;
        }
    }
    c = with;
    return true;
}

}  // namespace

CommandLine parse_command_line(int count, const char* const* args, bool windows) {
    CommandLine c;
    bool options_end = false;
    for (int k = 0; k < count; ++k) {
        const char* arg = args[k];
        if (options_end || arg[0] != '-' || arg[1] == '\0') {
            if (windows && !options_end && std::strcmp(arg, "/?") == 0) {
                c.help = true;
                continue;
            }
            c.names.push_back(arg);
        } else if (std::strcmp(arg, "--") == 0) {
            options_end = true;
        } else if (std::strcmp(arg, "--recover") == 0 || std::strncmp(arg, "--recover=", 10) == 0) {
            c.recover = true;
            if (arg[9] == '=') c.recover_into = arg + 10;
            else if (k + 1 < count) c.recover_into = args[++k];
        } else if (std::strcmp(arg, "--like") == 0 || std::strncmp(arg, "--like=", 7) == 0) {
            if (arg[6] == '=') c.like = arg + 7;
            else if (k + 1 < count) c.like = args[++k];
            if (c.like.empty() && c.unknown.empty()) c.unknown = arg;
        } else if (!long_option(c, arg) && !short_options(c, arg) && c.unknown.empty()) {
            c.unknown = arg;
        }
    }
    return c;
}

}  // namespace ostrel
