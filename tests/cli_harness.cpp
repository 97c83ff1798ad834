// The harness's portable half: temporary directories and whole-file helpers, by UTF-8 path.
#include "cli_harness.h"

#include <filesystem>
#include <fstream>
#include <iterator>
#include <random>
#include <stdexcept>

namespace fs = std::filesystem;

fs::path native(const std::string& utf8) { return fs::u8path(utf8); }

TempDir::TempDir() {
    std::random_device seed;
    for (int attempt = 0; attempt < 100; ++attempt) {
        const fs::path candidate = fs::temp_directory_path() / ("ostrel-test-" + std::to_string(seed()));
        if (fs::create_directory(candidate)) {
            path = candidate.u8string();
            return;
        }
    }
    throw std::runtime_error("cannot make a temporary directory");
}

TempDir::~TempDir() {
    std::error_code ignored;
    fs::remove_all(native(path), ignored);
}

std::string read_file(const std::string& path) {
    std::ifstream f(native(path), std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(f), {});
}

std::string read_file_head(const std::string& path, size_t count) {
    std::ifstream f(native(path), std::ios::binary);
    std::string head(count, '\0');
    f.read(head.data(), static_cast<std::streamsize>(count));
    head.resize(static_cast<size_t>(f.gcount()));
    return head;
}

void write_file(const std::string& path, const std::string& bytes) {
    std::ofstream f(native(path), std::ios::binary | std::ios::trunc);
    f.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
    if (!f) throw std::runtime_error("cannot write " + path);
}

uint64_t file_length(const std::string& path) { return fs::file_size(native(path)); }

void set_length(const std::string& path, uint64_t length) { fs::resize_file(native(path), length); }
