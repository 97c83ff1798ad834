// Runs the tool on Windows: CreateProcessW with pipes for the three standard streams, the
// executable found beside the test's own directory, as the build lays them out.
#include <windows.h>

#include <stdexcept>
#include <thread>

#include "cli_harness.h"
#include "tool_command.h"

namespace {

std::wstring wide(const std::string& utf8) {
    if (utf8.empty()) return std::wstring();
    const int n = MultiByteToWideChar(CP_UTF8, 0, utf8.data(), static_cast<int>(utf8.size()), nullptr, 0);
    std::wstring w(static_cast<size_t>(n), L'\0');
    MultiByteToWideChar(CP_UTF8, 0, utf8.data(), static_cast<int>(utf8.size()), w.data(), n);
    return w;
}

// The quoting that the C runtime's argument parser undoes: quotes around every argument, and
// backslashes doubled only where a quote follows them.
void append_quoted(std::wstring& line, const std::wstring& arg) {
    line += L'"';
    size_t backslashes = 0;
    for (wchar_t c : arg) {
        if (c == L'\\') {
            ++backslashes;
            continue;
        }
        line.append(c == L'"' ? 2 * backslashes + 1 : backslashes, L'\\');
        backslashes = 0;
        line += c;
    }
    line.append(2 * backslashes, L'\\');
    line += L"\" ";
}

std::wstring tool_path() {
    wchar_t self[MAX_PATH];
    const DWORD n = GetModuleFileNameW(nullptr, self, MAX_PATH);
    if (n == 0 || n == MAX_PATH) throw std::runtime_error("GetModuleFileNameW");
    return (std::filesystem::path(self).parent_path() / OSTREL_TOOL_BESIDE_TESTS).wstring();
}

void drain(HANDLE from, std::string& into) {
    char buf[65536];
    DWORD got = 0;
    while (ReadFile(from, buf, sizeof buf, &got, nullptr) && got > 0) into.append(buf, got);
}

}  // namespace

RunResult run_tool(const std::vector<std::string>& args, const RunOptions& options) {
    SECURITY_ATTRIBUTES inherit{sizeof(SECURITY_ATTRIBUTES), nullptr, TRUE};
    HANDLE in_read, in_write, out_read, out_write, err_read, err_write;
    if (!CreatePipe(&in_read, &in_write, &inherit, 0) || !CreatePipe(&out_read, &out_write, &inherit, 0) ||
        !CreatePipe(&err_read, &err_write, &inherit, 0))
        throw std::runtime_error("CreatePipe");
    // The child inherits only its own ends.
    SetHandleInformation(in_write, HANDLE_FLAG_INHERIT, 0);
    SetHandleInformation(out_read, HANDLE_FLAG_INHERIT, 0);
    SetHandleInformation(err_read, HANDLE_FLAG_INHERIT, 0);

    const std::wstring tool = tool_path();
    std::wstring line;
    append_quoted(line, tool);
    for (const std::string& a : args) append_quoted(line, wide(a));
    STARTUPINFOW start{};
    start.cb = sizeof start;
    start.dwFlags = STARTF_USESTDHANDLES;
    start.hStdInput = in_read;
    HANDLE reader_gone = nullptr, gone_write = nullptr;  // a pipe whose reader has closed, as `| head` leaves it
    if (options.stdout_to == "broken pipe" && CreatePipe(&reader_gone, &gone_write, &inherit, 0))
        CloseHandle(reader_gone);
    start.hStdOutput = gone_write != nullptr ? gone_write : out_write;
    start.hStdError = err_write;
    PROCESS_INFORMATION child{};
    if (!CreateProcessW(tool.c_str(), line.data(), nullptr, nullptr, TRUE, 0, nullptr, nullptr, &start, &child))
        throw std::runtime_error("CreateProcessW");
    CloseHandle(in_read);
    CloseHandle(out_write);
    if (gone_write != nullptr) CloseHandle(gone_write);
    CloseHandle(err_write);

    RunResult r;
    std::thread out([&] { drain(out_read, r.out); });
    std::thread err([&] { drain(err_read, r.err); });
    std::thread feed([&] {
        size_t sent = 0;
        DWORD put = 0;
        while (sent < options.input.size() &&
               WriteFile(in_write, options.input.data() + sent, static_cast<DWORD>(options.input.size() - sent), &put,
                         nullptr))
            sent += put;
        r.input_taken = sent;
        CloseHandle(in_write);
    });
    if (WaitForSingleObject(child.hProcess, 60000) != WAIT_OBJECT_0) {
        TerminateProcess(child.hProcess, 1);
        WaitForSingleObject(child.hProcess, INFINITE);
        r.err += "[harness: killed after 60 s]";
    }
    out.join();
    err.join();
    feed.join();
    DWORD status = 0;
    GetExitCodeProcess(child.hProcess, &status);
    r.status = static_cast<int>(status);
    CloseHandle(child.hProcess);
    CloseHandle(child.hThread);
    CloseHandle(out_read);
    CloseHandle(err_read);
    return r;
}
