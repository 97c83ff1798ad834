#include <fcntl.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <sys/types.h>
#include <unistd.h>
#ifdef __linux__
#include <linux/fs.h>
#include <sys/ioctl.h>
#include <sys/sysmacros.h>
#endif

#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <fstream>
#include <sstream>

#include "card_io.h"

namespace ostrel::io {

namespace {

std::string real_path(const std::string& path) {
    char* full = realpath(path.c_str(), nullptr);
    if (full == nullptr) return path;
    std::string out = full;
    std::free(full);
    return out;
}

// The mount table escapes spaces and the like as \040.
std::string unescape(const std::string& field) {
    std::string out;
    for (size_t k = 0; k < field.size(); ++k) {
        if (field[k] == '\\' && k + 3 < field.size()) {
            out += static_cast<char>(std::strtol(field.substr(k + 1, 3).c_str(), nullptr, 8));
            k += 3;
        } else {
            out += field[k];
        }
    }
    return out;
}

std::string mounted_device(const std::string& folder) {
    const std::string where = real_path(folder);
    std::ifstream table("/proc/self/mountinfo");
    std::string device;
    for (std::string line; std::getline(table, line);) {
        std::istringstream words(line);
        std::string id, parent, numbers, root, point, word;
        words >> id >> parent >> numbers >> root >> point;
        while (words >> word && word != "-") {}
        std::string type, source;
        words >> type >> source;
        if (unescape(point) == where && source.rfind("/dev/", 0) == 0)
            device = unescape(source);  // the last mount wins
    }
    return device;
}

// Under sudo, the user who ran it.
bool invoking_user(uid_t& uid, gid_t& gid) {
    const char* u = std::getenv("SUDO_UID");
    const char* g = std::getenv("SUDO_GID");
    if (geteuid() != 0 || u == nullptr || g == nullptr) return false;
    uid = static_cast<uid_t>(std::strtoul(u, nullptr, 10));
    gid = static_cast<gid_t>(std::strtoul(g, nullptr, 10));
    return true;
}

#ifdef __linux__
// The whole disk a partition belongs to, from sysfs; the device itself when it is a whole disk.
dev_t whole_disk(dev_t dev) {
    const std::string sys =
        real_path("/sys/dev/block/" + std::to_string(major(dev)) + ":" + std::to_string(minor(dev)));
    if (access((sys + "/partition").c_str(), F_OK) != 0) return dev;
    std::ifstream numbers(sys.substr(0, sys.rfind('/')) + "/dev");
    unsigned maj = 0, min = 0;
    char colon = 0;
    return numbers >> maj >> colon >> min ? makedev(maj, min) : dev;
}
#else
dev_t whole_disk(dev_t dev) { return dev; }
#endif

}  // namespace

SourceOpened open_source(const std::string& name, File& file, uint64_t& length, std::string& device) {
    struct stat st;
    if (stat(name.c_str(), &st) != 0) return errno == EACCES ? SourceOpened::NoPermission : SourceOpened::Missing;
    device = name;
    if (S_ISDIR(st.st_mode)) {
        device = mounted_device(name);
        if (device.empty()) return SourceOpened::NotAMountPoint;
    }
    file.fd = open(device.c_str(), O_RDONLY | O_CLOEXEC);
    if (file.fd < 0) return errno == EACCES || errno == EPERM ? SourceOpened::NoPermission : SourceOpened::No;
    if (fstat(file.fd, &st) == 0 && S_ISREG(st.st_mode)) {
        length = static_cast<uint64_t>(st.st_size);
        return SourceOpened::Yes;
    }
#ifdef __linux__
    if (S_ISBLK(st.st_mode) && ioctl(file.fd, BLKGETSIZE64, &length) == 0) return SourceOpened::Yes;
#endif
    close(file);
    return SourceOpened::No;
}

bool on_device(const std::string& folder, const std::string& device) {
    struct stat dev, here;
    if (stat(device.c_str(), &dev) != 0 || !S_ISBLK(dev.st_mode)) return false;
    std::string at = folder.empty() ? "." : folder;
    while (stat(at.c_str(), &here) != 0) {
        const size_t slash = at.find_last_of('/');
        if (slash == std::string::npos)
            at = ".";
        else
            at = slash == 0 ? "/" : at.substr(0, slash);
    }
    return here.st_dev == dev.st_rdev || whole_disk(here.st_dev) == dev.st_rdev;
}

bool make_folders(const std::string& path) {
    for (size_t at = 1; at <= path.size(); ++at) {
        if (at < path.size() && path[at] != '/') continue;
        const std::string prefix = path.substr(0, at);
        if (mkdir(prefix.c_str(), 0777) == 0)
            give_to_invoking_user(prefix);
        else if (errno != EEXIST)
            return false;
    }
    struct stat st;
    return stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

namespace {

// The folder that holds the last name of `relative`, reached one folder at a time from `folder`
// without following a link, each missing one made when `make`; -1 with errno set otherwise.
int parent_below(const std::string& folder, const std::string& relative, bool make, std::string& last) {
    int dir = open(folder.empty() ? "." : folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    size_t at = 0;
    for (size_t slash; dir >= 0 && (slash = relative.find('/', at)) != std::string::npos; at = slash + 1) {
        const std::string name = relative.substr(at, slash - at);
        uid_t uid;
        gid_t gid;
        if (make && mkdirat(dir, name.c_str(), 0777) == 0 && invoking_user(uid, gid) &&
            fchownat(dir, name.c_str(), uid, gid, AT_SYMLINK_NOFOLLOW) != 0) {
            // Left to root: the folder can still be read.
        }
        const int next = openat(dir, name.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
        const int error = errno;
        ::close(dir);
        dir = next;
        errno = error;
    }
    last = relative.substr(at);
    return dir;
}

bool refused(int error) { return error == ELOOP || error == ENOTDIR || error == EMLINK; }

}  // namespace

Created create_below(const std::string& folder, const std::string& relative, File& file) {
    std::string last;
    const int dir = parent_below(folder, relative, true, last);
    if (dir < 0) return refused(errno) ? Created::Refused : Created::No;
    file.fd = openat(dir, last.c_str(), O_RDWR | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0666);
    const int error = errno;
    ::close(dir);
    if (file.fd >= 0) return Created::Yes;
    return error == EEXIST ? Created::Exists : refused(error) ? Created::Refused : Created::No;
}

Found open_below(const std::string& folder, const std::string& relative, File& file, uint64_t& length) {
    std::string last;
    const int dir = parent_below(folder, relative, false, last);
    if (dir < 0) return refused(errno) ? Found::Refused : Found::Missing;
    file.fd = openat(dir, last.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
    const int error = errno;
    ::close(dir);
    struct stat st;
    if (file.fd >= 0 && fstat(file.fd, &st) == 0 && S_ISREG(st.st_mode)) {
        length = static_cast<uint64_t>(st.st_size);
        return Found::Yes;
    }
    if (file.fd >= 0) return close(file), Found::Refused;
    return error == ENOENT ? Found::Missing : Found::Refused;
}

bool free_space(const std::string& folder, uint64_t& bytes) {
    struct statvfs fs;
    if (statvfs(folder.c_str(), &fs) != 0) return false;
    bytes = static_cast<uint64_t>(fs.f_bavail) * fs.f_frsize;
    return true;
}

void give_to_invoking_user(const std::string& path) {
    uid_t uid;
    gid_t gid;
    if (invoking_user(uid, gid) && lchown(path.c_str(), uid, gid) != 0) {
        // Left to root: the file is still there to read.
    }
}

bool stderr_is_terminal() { return isatty(STDERR_FILENO) == 1; }

namespace {
volatile sig_atomic_t stop_asked = 0;
extern "C" void note_stop(int) { stop_asked = 1; }
}  // namespace

void catch_interruptions() {
    struct sigaction sa = {};
    sa.sa_handler = note_stop;
    sigemptyset(&sa.sa_mask);
    for (int sig : {SIGINT, SIGTERM, SIGHUP}) sigaction(sig, &sa, nullptr);
}

bool interrupted() { return stop_asked != 0; }

bool source_gone() {
    const int error = errno;
    return error == ENODEV || error == ENXIO
#ifdef ENOMEDIUM
           || error == ENOMEDIUM
#endif
        ;
}

bool remove_below(const std::string& folder, const std::string& relative) {
    std::string last;
    const int dir = parent_below(folder, relative, false, last);
    if (dir < 0) return false;
    const bool gone = unlinkat(dir, last.c_str(), 0) == 0;
    ::close(dir);
    return gone;
}

}  // namespace ostrel::io
