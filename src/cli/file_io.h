// The few file operations the tool needs, one side for POSIX and one for Windows. Paths are
// UTF-8 byte strings on both. Every function reports failure by its result and prints nothing.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace ostrel::io {

struct File {
#ifdef _WIN32
    void* handle = nullptr;
#else
    int fd = -1;
#endif
};

enum class Opened { Yes, NoWriteAccess, BeingWritten, No };

// A plain disk file and its length, opened for reading and writing or for reading only. A
// missing path, a directory, a device or a pipe are No, without waiting on them; NoWriteAccess
// is a file that may exist but refuses writing (permissions, no write permission bit at all, a
// read-only mount or attribute); BeingWritten is a file another program holds open for writing,
// which is not opened for writing at all: it is left open for reading, where the system allows,
// so that its first bytes can tell what it is. Close the file after Yes and BeingWritten.
Opened open_file(const char* path, bool for_update, File& file, uint64_t& length);

// What a path names, without opening it: opening a FIFO, even to look at it, would release a
// writer that waits on it.
enum class Kind { Missing, Folder, File, Other, Link };
Kind kind_of(const char* path);
// A disk or a partition (a card in its reader), as opposed to a file.
bool is_block_device(const char* path);

struct Entry {
    std::string name;
    Kind kind;  // Link for a symbolic link, whatever it points to
};
// The entries of a folder, "." and ".." left out, in no particular order; false if it cannot be
// read.
bool list_folder(const char* path, std::vector<Entry>& entries);
// The separator put between a folder and the names in it.
extern const char kSeparator;
bool ends_in_separator(const std::string& path);
// Exactly `count` bytes at `offset`, across short transfers; running into the end fails.
bool read_at(File& file, uint64_t offset, uint8_t* buf, size_t count);
bool write_at(File& file, uint64_t offset, const uint8_t* buf, size_t count);
// Returns once what was written is on storage.
bool flush_to_storage(File& file);
// The kind of file system the open file lies on when it is one a card carries ("vfat",
// "exfat", "fuseblk", or on Windows "FAT", "FAT32", "exFAT"), else empty. One call.
std::string card_file_system(File& file);
bool close(File& file);

// The list file, read front to back, since it may be a pipe.
bool open_for_reading(const char* path, File& file);
// The number of bytes read, 0 at the end, or -1 on an error (a directory reads as an error).
long read_next(File& file, char* buf, size_t count);

// Once per run: standard output and error carry their lines byte for byte, with no line-end
// translation; a closed pipe is an error to report, not a signal that ends the process.
void prepare_process();
// The reason a report could not be written, from the errno the stream left.
std::string output_error_text(int error);

#ifdef _WIN32
std::string utf8_from_wide(const wchar_t* text);
// The path as Windows takes it: UTF-16, in its \\?\ form past MAX_PATH.
std::wstring windows_path(const char* path);
#endif

}  // namespace ostrel::io
