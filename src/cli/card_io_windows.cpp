#include <io.h>
#include <windows.h>
#include <winioctl.h>

#include <cstdio>

#include "card_io.h"

namespace ostrel::io {

namespace {

// "E:" or "E:\" names the drive itself.
bool drive_letter(const std::string& name) {
    const bool letter = name.size() >= 2 && ((name[0] | 0x20) >= 'a' && (name[0] | 0x20) <= 'z') && name[1] == ':';
    return letter && (name.size() == 2 || (name.size() == 3 && (name[2] == '\\' || name[2] == '/')));
}

}  // namespace

SourceOpened open_source(const std::string& name, File& file, uint64_t& length, std::string& device) {
    device = drive_letter(name) ? "\\\\.\\" + name.substr(0, 2) : name;
    const HANDLE h = CreateFileW(windows_path(device.c_str()).c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE,
                                 nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (h == INVALID_HANDLE_VALUE) {
        const DWORD error = GetLastError();
        if (error == ERROR_ACCESS_DENIED) return SourceOpened::NoPermission;
        return error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND ? SourceOpened::Missing
                                                                              : SourceOpened::No;
    }
    file.handle = h;
    LARGE_INTEGER size;
    GET_LENGTH_INFORMATION info;
    DWORD got = 0;
    if (GetFileSizeEx(h, &size) && size.QuadPart > 0) {
        length = static_cast<uint64_t>(size.QuadPart);
    } else if (DeviceIoControl(h, IOCTL_DISK_GET_LENGTH_INFO, nullptr, 0, &info, sizeof info, &got, nullptr)) {
        length = static_cast<uint64_t>(info.Length.QuadPart);
    } else {
        length = 0;
    }
    return SourceOpened::Yes;
}

bool on_device(const std::string& folder, const std::string& device) {
    if (device.rfind("\\\\.\\", 0) != 0 || device.size() < 6) return false;
    wchar_t full[MAX_PATH];
    const std::wstring wide = windows_path(folder.empty() ? "." : folder.c_str());
    const DWORD n = GetFullPathNameW(wide.c_str(), MAX_PATH, full, nullptr);
    return n >= 2 && n < MAX_PATH && full[1] == L':' && (full[0] | 0x20) == (device[4] | 0x20);
}

bool make_folders(const std::string& path) {
    for (size_t at = 1; at <= path.size(); ++at) {
        if (at < path.size() && path[at] != '\\' && path[at] != '/') continue;
        const std::string prefix = path.substr(0, at);
        if (prefix.size() == 2 && prefix[1] == ':') continue;
        if (!CreateDirectoryW(windows_path(prefix.c_str()).c_str(), nullptr) && GetLastError() != ERROR_ALREADY_EXISTS)
            return false;
    }
    const DWORD attributes = GetFileAttributesW(windows_path(path.c_str()).c_str());
    return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY);
}

namespace {

// The path of `relative` below `folder`, each folder on the way checked (and made when `make`):
// false where one is a link or a junction, or is not a folder.
bool walk_below(const std::string& folder, const std::string& relative, bool make, std::string& path) {
    path = folder;
    size_t at = 0;
    for (size_t slash; (slash = relative.find('/', at)) != std::string::npos; at = slash + 1) {
        path += (ends_in_separator(path) ? "" : "\\") + relative.substr(at, slash - at);
        const std::wstring wide = windows_path(path.c_str());
        if (make) CreateDirectoryW(wide.c_str(), nullptr);
        const DWORD a = GetFileAttributesW(wide.c_str());
        if (a == INVALID_FILE_ATTRIBUTES)
            return GetLastError() == ERROR_FILE_NOT_FOUND || GetLastError() == ERROR_PATH_NOT_FOUND;
        if ((a & FILE_ATTRIBUTE_REPARSE_POINT) || !(a & FILE_ATTRIBUTE_DIRECTORY)) return false;
    }
    path += (ends_in_separator(path) ? "" : "\\") + relative.substr(at);
    return true;
}

}  // namespace

Created create_below(const std::string& folder, const std::string& relative, File& file) {
    std::string path;
    if (!walk_below(folder, relative, true, path)) return Created::Refused;
    const HANDLE h = CreateFileW(windows_path(path.c_str()).c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr,
                                 CREATE_NEW, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (h != INVALID_HANDLE_VALUE) {
        file.handle = h;
        return Created::Yes;
    }
    return GetLastError() == ERROR_FILE_EXISTS ? Created::Exists : Created::No;
}

Found open_below(const std::string& folder, const std::string& relative, File& file, uint64_t& length) {
    std::string path;
    if (!walk_below(folder, relative, false, path)) return Found::Refused;
    const std::wstring wide = windows_path(path.c_str());
    const DWORD a = GetFileAttributesW(wide.c_str());
    if (a == INVALID_FILE_ATTRIBUTES) return Found::Missing;
    if (a & (FILE_ATTRIBUTE_REPARSE_POINT | FILE_ATTRIBUTE_DIRECTORY)) return Found::Refused;
    const HANDLE h = CreateFileW(wide.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                                 FILE_ATTRIBUTE_NORMAL, nullptr);
    LARGE_INTEGER size;
    if (h == INVALID_HANDLE_VALUE) return Found::Refused;
    file.handle = h;
    if (!GetFileSizeEx(h, &size)) return close(file), Found::Refused;
    length = static_cast<uint64_t>(size.QuadPart);
    return Found::Yes;
}

bool free_space(const std::string& folder, uint64_t& bytes) {
    ULARGE_INTEGER available;
    if (!GetDiskFreeSpaceExW(windows_path(folder.c_str()).c_str(), &available, nullptr, nullptr)) return false;
    bytes = available.QuadPart;
    return true;
}

void give_to_invoking_user(const std::string&) {}

bool stderr_is_terminal() { return _isatty(_fileno(stderr)) != 0; }

namespace {
volatile LONG stop_asked = 0;
BOOL WINAPI note_stop(DWORD) {
    InterlockedExchange(&stop_asked, 1);
    return TRUE;  // handled: the run ends on its own, its takes whole
}
}  // namespace

void catch_interruptions() { SetConsoleCtrlHandler(note_stop, TRUE); }

bool interrupted() { return InterlockedCompareExchange(&stop_asked, 0, 0) != 0; }

bool source_gone() {
    const DWORD error = GetLastError();
    return error == ERROR_DEVICE_NOT_CONNECTED || error == ERROR_NOT_READY;
}

bool remove_below(const std::string& folder, const std::string& relative) {
    std::string path;
    return walk_below(folder, relative, false, path) && DeleteFileW(windows_path(path.c_str()).c_str()) != 0;
}

}  // namespace ostrel::io
