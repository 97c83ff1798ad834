// Runs the tool on POSIX systems: fork and exec, with pipes for the three standard streams.
#include "cli_harness.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <iterator>
#include <stdexcept>

#include "tool_command.h"

namespace {

std::vector<std::string> command_for(const std::vector<std::string>& args, const RunOptions& opt) {
    static const char* const kCommand[] = OSTREL_TOOL_COMMAND;
    std::vector<std::string> cmd;
    if (opt.unprivileged && geteuid() == 0) cmd = {"setpriv", "--reuid=65534", "--regid=65534", "--clear-groups"};
    cmd.insert(cmd.end(), std::begin(kCommand), std::end(kCommand));
    cmd.insert(cmd.end(), args.begin(), args.end());
    return cmd;
}

[[noreturn]] void exec_child(const std::vector<std::string>& cmd, int in, int out, int err, const RunOptions& opt) {
    dup2(in, 0);
    dup2(err, 2);
    int reader_gone[2];
    if (opt.stdout_to == "closed") {
        close(1);
    } else if (opt.stdout_to == "broken pipe" && pipe(reader_gone) == 0) {
        close(reader_gone[0]);
        dup2(reader_gone[1], 1);
    } else {
        if (!opt.stdout_to.empty()) out = open(opt.stdout_to.c_str(), O_WRONLY);
        dup2(out, 1);
    }
    signal(SIGPIPE, SIG_DFL);
    if (opt.file_size_limit >= 0) {
        signal(SIGXFSZ, SIG_IGN);  // so that the write fails with EFBIG instead of killing the tool
        const rlimit limit{static_cast<rlim_t>(opt.file_size_limit), static_cast<rlim_t>(opt.file_size_limit)};
        if (setrlimit(RLIMIT_FSIZE, &limit) != 0) _exit(126);
    }
    std::vector<char*> argv;
    for (const std::string& s : cmd) argv.push_back(const_cast<char*>(s.c_str()));
    argv.push_back(nullptr);
    execvp(argv[0], argv.data());
    _exit(127);
}

}  // namespace

RunResult run_tool(const std::vector<std::string>& args, const RunOptions& options) {
    signal(SIGPIPE, SIG_IGN);
    const std::vector<std::string> cmd = command_for(args, options);
    int in[2], out[2], err[2];
    if (pipe2(in, O_CLOEXEC) || pipe2(out, O_CLOEXEC) || pipe2(err, O_CLOEXEC))
        throw std::runtime_error("pipe");
    const pid_t pid = fork();
    if (pid < 0) throw std::runtime_error("fork");
    if (pid == 0) exec_child(cmd, in[0], out[1], err[1], options);
    close(in[0]);
    close(out[1]);
    close(err[1]);

    RunResult r;
    size_t sent = 0;
    int to_child = in[1];
    if (options.input.empty()) {
        close(to_child);
        to_child = -1;
    }
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
    int open_outputs = 2;
    while (open_outputs > 0) {
        if (std::chrono::steady_clock::now() > deadline) {
            kill(pid, SIGKILL);
            r.err += "[harness: killed after 60 s]";
            break;
        }
        pollfd fds[3] = {{out[0], POLLIN, 0}, {err[0], POLLIN, 0}, {to_child, POLLOUT, 0}};
        if (poll(fds, 3, 200) < 0 && errno != EINTR) break;
        for (int k = 0; k < 2; ++k) {
            if (fds[k].fd < 0 || !(fds[k].revents & (POLLIN | POLLHUP | POLLERR))) continue;
            char buf[65536];
            const ssize_t n = read(fds[k].fd, buf, sizeof buf);
            if (n > 0) {
                (k == 0 ? r.out : r.err).append(buf, static_cast<size_t>(n));
            } else if (n == 0 || errno != EINTR) {
                close(fds[k].fd);
                (k == 0 ? out[0] : err[0]) = -1;
                --open_outputs;
            }
        }
        if (to_child >= 0 && (fds[2].revents & (POLLOUT | POLLERR | POLLHUP))) {
            const ssize_t n = write(to_child, options.input.data() + sent, options.input.size() - sent);
            if (n > 0) sent += static_cast<size_t>(n);
            if (n < 0 || sent == options.input.size()) {  // done, or the tool stopped reading
                close(to_child);
                to_child = -1;
            }
        }
    }
    for (int fd : {out[0], err[0], to_child})
        if (fd >= 0) close(fd);
    int status = 0;
    rusage usage{};
    wait4(pid, &status, 0, &usage);
    r.max_rss_kib = usage.ru_maxrss;
    r.input_taken = sent;
    r.status = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    return r;
}
