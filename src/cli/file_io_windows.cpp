#include <fcntl.h>
#include <io.h>
#include <windows.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>

#include "file_io.h"

namespace ostrel::io {

namespace {

std::wstring wide_from_utf8(const char* text) {
    const int n = MultiByteToWideChar(CP_UTF8, 0, text, -1, nullptr, 0);
    if (n <= 0) return std::wstring();
    std::wstring wide(static_cast<size_t>(n), L'\0');
    MultiByteToWideChar(CP_UTF8, 0, text, -1, wide.data(), n);
    wide.resize(static_cast<size_t>(n - 1));
    return wide;
}

}  // namespace

// Paths past MAX_PATH open only in their \\?\ form, which must be absolute; the name the user
// gave is still the one reported.
std::wstring windows_path(const char* path) {
    std::wstring wide = wide_from_utf8(path);
    if (wide.size() < MAX_PATH || wide.rfind(L"\\\\?\\", 0) == 0) return wide;
    const DWORD n = GetFullPathNameW(wide.c_str(), 0, nullptr, nullptr);
    if (n == 0) return wide;
    std::wstring full(n, L'\0');
    const DWORD got = GetFullPathNameW(wide.c_str(), n, full.data(), nullptr);
    if (got == 0 || got >= n) return wide;
    full.resize(got);
    if (full.rfind(L"\\\\", 0) == 0) return L"\\\\?\\UNC\\" + full.substr(2);
    return L"\\\\?\\" + full;
}

namespace {

OVERLAPPED at_offset(uint64_t offset) {
    OVERLAPPED where{};
    where.Offset = static_cast<DWORD>(offset & 0xFFFFFFFFu);
    where.OffsetHigh = static_cast<DWORD>(offset >> 32);
    return where;
}

// One call moves at most this much; a DWORD count could take more, but need not.
constexpr size_t kMaxTransfer = size_t{1} << 30;

// Moves exactly `count` bytes at `offset` with ReadFile or WriteFile, across short transfers.
// Nothing moved means the file ended early, which is a failure too.
template <typename Byte, typename Transfer>
bool transfer_fully(Transfer transfer, HANDLE h, Byte* buf, size_t count, uint64_t offset) {
    while (count > 0) {
        OVERLAPPED where = at_offset(offset);
        DWORD moved = 0;
        const DWORD want = static_cast<DWORD>(count < kMaxTransfer ? count : kMaxTransfer);
        if (!transfer(h, buf, want, &moved, &where) || moved == 0) return false;
        buf += moved;
        count -= moved;
        offset += moved;
    }
    return true;
}

}  // namespace

Opened open_file(const char* path, bool for_update, File& file, uint64_t& length) {
    // Sharing reads only: a take that another program holds open for writing is refused, with
    // a sharing violation, in both modes.
    const HANDLE h = CreateFileW(windows_path(path).c_str(), for_update ? GENERIC_READ | GENERIC_WRITE : GENERIC_READ,
                                 FILE_SHARE_READ, nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (h == INVALID_HANDLE_VALUE) {
        const DWORD error = GetLastError();
        if (error == ERROR_SHARING_VIOLATION) {
            // Only to look at its first bytes, sharing with its writer.
            file.handle = CreateFileW(windows_path(path).c_str(), GENERIC_READ,
                                      FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_EXISTING,
                                      FILE_ATTRIBUTE_NORMAL, nullptr);
            LARGE_INTEGER size;
            if (file.handle == INVALID_HANDLE_VALUE || !GetFileSizeEx(file.handle, &size)) size.QuadPart = 0;
            if (file.handle == INVALID_HANDLE_VALUE) file.handle = nullptr;
            length = static_cast<uint64_t>(size.QuadPart);
            return Opened::BeingWritten;
        }
        return for_update && (error == ERROR_ACCESS_DENIED || error == ERROR_WRITE_PROTECT) ? Opened::NoWriteAccess
                                                                                             : Opened::No;
    }
    file.handle = h;
    // NUL, COM1 and pipes open too; only a plain disk file is a WAVE file to repair.
    BY_HANDLE_FILE_INFORMATION info;
    LARGE_INTEGER size;
    if (GetFileType(h) != FILE_TYPE_DISK || !GetFileInformationByHandle(h, &info) ||
        (info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) || !GetFileSizeEx(h, &size) || size.QuadPart < 0) {
        close(file);
        return Opened::No;
    }
    length = static_cast<uint64_t>(size.QuadPart);
    return Opened::Yes;
}

// No FIFO lies in a Windows file system, and open_file turns away named pipes and devices.
Kind kind_of(const char* path) {
    const DWORD attributes = GetFileAttributesW(windows_path(path).c_str());
    if (attributes == INVALID_FILE_ATTRIBUTES) return Kind::Missing;
    return (attributes & FILE_ATTRIBUTE_DIRECTORY) ? Kind::Folder : Kind::File;
}

// A drive is named as a folder (E:) on Windows, and never reaches the repair as a file.
bool is_block_device(const char*) { return false; }

bool list_folder(const char* path, std::vector<Entry>& entries) {
    std::string pattern = path;
    if (!ends_in_separator(pattern)) pattern += kSeparator;
    WIN32_FIND_DATAW found;
    const HANDLE search = FindFirstFileW(windows_path((pattern + "*").c_str()).c_str(), &found);
    if (search == INVALID_HANDLE_VALUE) return GetLastError() == ERROR_FILE_NOT_FOUND;
    do {
        const std::string name = utf8_from_wide(found.cFileName);
        if (name == "." || name == "..") continue;
        const DWORD a = found.dwFileAttributes;
        // Junctions and symbolic links are reparse points: a walk never follows them.
        const Kind kind = (a & FILE_ATTRIBUTE_REPARSE_POINT) ? Kind::Link
                          : (a & FILE_ATTRIBUTE_DIRECTORY)   ? Kind::Folder
                                                             : Kind::File;
        entries.push_back({name, kind});
    } while (FindNextFileW(search, &found));
    const bool complete = GetLastError() == ERROR_NO_MORE_FILES;
    FindClose(search);
    return complete;
}

const char kSeparator = '\\';

bool ends_in_separator(const std::string& path) { return !path.empty() && (path.back() == '\\' || path.back() == '/'); }

bool read_at(File& file, uint64_t offset, uint8_t* buf, size_t count) {
    return transfer_fully(ReadFile, file.handle, buf, count, offset);
}

bool write_at(File& file, uint64_t offset, const uint8_t* buf, size_t count) {
    return transfer_fully(WriteFile, file.handle, buf, count, offset);
}

bool flush_to_storage(File& file) { return FlushFileBuffers(file.handle) != 0; }

std::string card_file_system(File& file) {
    wchar_t name[MAX_PATH + 1] = {};
    if (!GetVolumeInformationByHandleW(file.handle, nullptr, 0, nullptr, nullptr, nullptr, name, MAX_PATH + 1))
        return "";
    const std::string kind = utf8_from_wide(name);
    return kind == "FAT" || kind == "FAT32" || kind == "exFAT" ? kind : "";
}

bool close(File& file) {
    const HANDLE h = file.handle;
    file.handle = nullptr;
    return h != nullptr && CloseHandle(h) != 0;
}

bool open_for_reading(const char* path, File& file) {
    const HANDLE h = CreateFileW(windows_path(path).c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                                 OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (h == INVALID_HANDLE_VALUE) return false;
    file.handle = h;
    return true;
}

long read_next(File& file, char* buf, size_t count) {
    DWORD got = 0;
    if (ReadFile(file.handle, buf, static_cast<DWORD>(count), &got, nullptr)) return static_cast<long>(got);
    // The writing end of a pipe has closed: that is the end of the list.
    return GetLastError() == ERROR_BROKEN_PIPE ? 0 : -1;
}

void prepare_process() {
    _setmode(_fileno(stdout), _O_BINARY);
    _setmode(_fileno(stderr), _O_BINARY);
}

// The C runtime turns a write to a pipe whose reader has gone into EINVAL; say what happened.
std::string output_error_text(int error) {
    const DWORD last = GetLastError();
    if (error == EINVAL && (last == ERROR_NO_DATA || last == ERROR_BROKEN_PIPE)) return "Broken pipe";
    return std::strerror(error);
}

std::string utf8_from_wide(const wchar_t* text) {
    const int n = WideCharToMultiByte(CP_UTF8, 0, text, -1, nullptr, 0, nullptr, nullptr);
    if (n <= 0) return std::string();
    std::string utf8(static_cast<size_t>(n), '\0');
    WideCharToMultiByte(CP_UTF8, 0, text, -1, utf8.data(), n, nullptr, nullptr);
    utf8.resize(static_cast<size_t>(n - 1));
    return utf8;
}

}  // namespace ostrel::io
