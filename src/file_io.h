// The few file operations the tool needs, one side for POSIX and one for Windows. Paths are
// UTF-8 byte strings on both. Every function reports failure by its result and prints nothing.
#pragma once

#include <cstddef>
#include <cstdint>
#ifdef _WIN32
#include <string>
#endif

namespace ostrel::io {

struct File {
#ifdef _WIN32
    void* handle = nullptr;
#else
    int fd = -1;
#endif
};

enum class Opened { Yes, NoWriteAccess, No };

// A plain disk file and its length, opened for reading and writing or for reading only. A
// missing path, a directory, a device or a pipe are No, without waiting on them; NoWriteAccess
// is a file that may exist but refuses writing (permissions, a read-only mount or attribute).
Opened open_file(const char* path, bool for_update, File& file, uint64_t& length);
// True for a path that open_file may take without side effects: opening a FIFO, even to look at
// it, would release a writer that waits on it.
bool is_plain_file(const char* path);
// Exactly `count` bytes at `offset`, across short transfers; running into the end fails.
bool read_at(File& file, uint64_t offset, uint8_t* buf, size_t count);
bool write_at(File& file, uint64_t offset, const uint8_t* buf, size_t count);
// Returns once what was written is on storage.
bool flush_to_storage(File& file);
bool close(File& file);

// The list file, read front to back, since it may be a pipe.
bool open_for_reading(const char* path, File& file);
// The number of bytes read, 0 at the end, or -1 on an error (a directory reads as an error).
long read_next(File& file, char* buf, size_t count);

// Standard output and error carry their lines byte for byte: no line-end translation.
void use_binary_output();

#ifdef _WIN32
std::string utf8_from_wide(const wchar_t* text);
#endif

}  // namespace ostrel::io
