// Runs the built tool as a user would, and makes the files it works on.
#pragma once

#include <cstdint>
#include <filesystem>
#include <string>
#include <vector>

#include "wave_builder.h"

struct RunResult {
    std::string out;  // standard output
    std::string err;  // standard error
    int status = -1;  // exit status, or 128 + signal
    size_t input_taken = 0;  // bytes of standard input the tool took before it stopped reading
    long max_rss_kib = 0;  // peak resident memory of the tool (with its emulator, if any)
};

struct RunOptions {
    std::string input;               // fed to standard input
    std::string stdout_to;           // "broken pipe": a pipe whose reader has gone; POSIX also takes
                                     // a path to send standard output to, or "closed"; else a pipe
    // POSIX only:
    bool unprivileged = false;  // run as nobody when root, with setpriv; status 127 where it is missing
    long file_size_limit = -1;  // RLIMIT_FSIZE in bytes: writes past it fail with EFBIG
};

// Runs the built tool (under the emulator in a cross build to Linux) with `args`, and waits at
// most 60 s. Arguments are UTF-8; Windows gets them as UTF-16.
RunResult run_tool(const std::vector<std::string>& args, const RunOptions& options = {});

// A fresh directory under TMPDIR, removed with everything in it.
struct TempDir {
    TempDir();
    ~TempDir();
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;
    std::string operator/(const std::string& name) const { return path + "/" + name; }
    std::string path;
};

std::string read_file(const std::string& path);
std::string read_file_head(const std::string& path, size_t count);
void write_file(const std::string& path, const std::string& bytes);
uint64_t file_length(const std::string& path);
// Grows (sparse, where the file system allows) or cuts the file to `length` bytes.
void set_length(const std::string& path, uint64_t length);
// The path for std::filesystem and streams: UTF-8 on every system.
std::filesystem::path native(const std::string& utf8);

// The report lines, as the tool prints them for `path`.
inline std::string correct(const std::string& path) { return "The header in " + path + " appears to be correct.\n"; }
inline std::string fixed(const std::string& path) { return "Header was fixed successfully in " + path + ".\n"; }
inline std::string not_found(const std::string& path) { return "File called " + path + " cannot be found.\n"; }
