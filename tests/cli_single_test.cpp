// The executable on one file: argument counts, the usage screen and every report.
#ifdef _WIN32
#include <windows.h>
#else
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>
#endif

#include <gtest/gtest.h>

#include <filesystem>

#include "cli_harness.h"

namespace {

const char kUsage[] =
    "\n\nThis program will fix a wavefile header that indicates an incorrect file length.\n\n"
    "If you enter a single wavefile as the command line argument, one file will be checked/fixed.\n\n"
    "Example:\nostrel_32bit guitar.wav\n\nIf you enter 2 command line arguments:\n\n"
    "Argument 1 is a text file containing a list of wavefiles (512 max), each on a new line.\n"
    "Argument 2 is the directory of the wavefiles.  Include the slash.\n\n"
    "Example:\nostrel_32bit mylist.txt WaveFiles/\n\n";

const std::string kNoData = "Cannot find data block in wave file!\n";

TEST(Cli, ArgumentCounts) {
    TempDir dir;
    const RunResult usage = run_tool({});
    EXPECT_EQ(kUsage, usage.out);
    EXPECT_EQ(1, usage.status);

    const RunResult three = run_tool({dir / "a", dir / "b", dir / "c"});
    EXPECT_EQ("", three.out);
    EXPECT_EQ(0, three.status);

    for (const char* name : {"-h", "--help"}) {  // options do not exist: these are file names
        const RunResult r = run_tool({name});
        EXPECT_EQ(not_found(name), r.out);
        EXPECT_EQ(0, r.status);
        EXPECT_EQ("", r.err);
    }
}

struct FileCase {
    const char* what;
    std::string before;
    std::string after;  // the whole file once the tool has run
    std::string report;  // with %s for the path
};

std::string with_path(std::string text, const std::string& path) {
    const size_t at = text.find("%s");
    return at == std::string::npos ? text : text.replace(at, 2, path);
}

TEST(Cli, ReportsAndBytesPerFile) {
    const std::string ok = wav44(600, 600);
    const std::string list = chunk("LIST", "INFOICMT" + le32(5) + "take" + std::string(1, '\0'));
    const std::string late = riff_wave(chunk("JUNK", std::string(4096, '\0')) + chunk_header("data", 0) + audio(10));
    const std::string bext = riff_wave(chunk("bext", "data take 4") + fmt_chunk());
    const std::string unchained = riff_wave(chunk_header("\x01" "bad", 4096) + std::string(131052, 'x'));
    const std::string rf64 = rf64_wave(0, fmt_chunk() + chunk_header("data", 0) + audio(600));
    const FileCase cases[] = {
        {"correct", ok, ok, "The header in %s appears to be correct.\n"},
        {"stored 0", wav44(0, 600), ok, "Header was fixed successfully in %s.\n"},
        {"stored FF FF FF FF", wav44(0xFFFFFFFF, 600), ok, "Header was fixed successfully in %s.\n"},
        {"cut short audio", wav44(9999, 600), ok, "Header was fixed successfully in %s.\n"},
        {"nothing after the field", wav44(600, 0), wav44(0, 0), "Header was fixed successfully in %s.\n"},
        {"a trailing chunk proves the size", ok + list, ok + list, "The header in %s appears to be correct.\n"},
        {"id beyond the first read", late, late.substr(0, 4120) + le32(10) + audio(10),
         "Header was fixed successfully in %s.\n"},
        {"data inside an earlier chunk is skipped", bext + chunk_header("data", 0xFFFFFFFF) + audio(6),
         bext + chunk_header("data", 6) + audio(6), "Header was fixed successfully in %s.\n"},
        {"RF64: the size lives in ds64", rf64, rf64_wave(600, fmt_chunk() + chunk_header("data", 0xFFFFFFFF) + audio(600)),
         "Header was fixed successfully in %s.\n"},
        {"empty", "", "", kNoData},
        {"five bytes", "RIFF0", "RIFF0", kNoData},
        {"RIFX", "RIFX" + wav44(0, 600).substr(4), "RIFX" + wav44(0, 600).substr(4), kNoData},
        {"a list of names", "mydata.wav\n", "mydata.wav\n", kNoData},
        {"broken chain, id at 131074", unchained + "xx" + chunk_header("data", 0),
         unchained + "xx" + chunk_header("data", 0), kNoData},
        {"broken chain, id at 131072", unchained + chunk_header("data", 5) + "abc",
         unchained + chunk_header("data", 3) + "abc", "Header was fixed successfully in %s.\n"},
        {"ends inside the field", wav44(600, 0).substr(0, 42), wav44(600, 0).substr(0, 42),
         "The header in %s is cut short and cannot be fixed.\n"},
        {"ends after the id", wav44(600, 0).substr(0, 40), wav44(600, 0).substr(0, 40),
         "The header in %s is cut short and cannot be fixed.\n"},
    };
    TempDir dir;
    for (const FileCase& c : cases) {
        const std::string path = dir / "t\xC3\xA5ke 1 %s \xE2\x9C\x93.wav";  // UTF-8, and a name that would trip printf
        write_file(path, c.before);
        const RunResult r = run_tool({path});
        EXPECT_EQ(with_path(c.report, path), r.out) << c.what;
        EXPECT_EQ(0, r.status) << c.what;
        EXPECT_EQ("", r.err) << c.what;
        EXPECT_EQ(c.after, read_file(path)) << c.what;  // the RIFF size at 4 is kept, too
    }
}

TEST(Cli, SecondRunFindsItCorrect) {
    TempDir dir;
    const std::string path = dir / "guitar.wav";
    write_file(path, wav44(0, 600));
    EXPECT_EQ(fixed(path), run_tool({path}).out);
    EXPECT_EQ(correct(path), run_tool({path}).out);
    EXPECT_EQ(wav44(600, 600), read_file(path));
}

TEST(Cli, WhatCannotBeOpenedForUpdateIsNeverTouched) {
    TempDir dir;
    const std::string missing = dir / "missing.wav", readonly = dir / "readonly.wav";
    write_file(readonly, wav44(0, 600));
    std::filesystem::permissions(native(readonly), std::filesystem::perms::owner_write |
                                 std::filesystem::perms::group_write | std::filesystem::perms::others_write,
                                 std::filesystem::perm_options::remove);
    // A pipe or a device must not make the tool wait, and a directory is no file.
    std::vector<std::string> paths = {missing, dir.path};
#ifdef _WIN32
    // Wine keeps the read-only flag as file modes, which do not stop root, as CI runs; on
    // Windows the flag alone refuses the open.
    const bool under_wine = GetProcAddress(GetModuleHandleA("ntdll.dll"), "wine_get_version") != nullptr;
    if (!under_wine) paths.push_back(readonly);
    const std::string pipe = "\\\\.\\pipe\\ostrel-test-" + std::to_string(GetCurrentProcessId());
    const HANDLE server = CreateNamedPipeA(pipe.c_str(), PIPE_ACCESS_DUPLEX, PIPE_TYPE_BYTE, 1, 4096, 4096, 0, nullptr);
    ASSERT_NE(INVALID_HANDLE_VALUE, server);
    paths.insert(paths.end(), {"NUL", "COM1", pipe});
#else
    const std::string fifo = dir / "fifo.wav", sock = dir / "socket.wav";
    ASSERT_EQ(0, mkfifo(fifo.c_str(), 0666));
    const int server = socket(AF_UNIX, SOCK_STREAM, 0);
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    sock.copy(addr.sun_path, sizeof addr.sun_path - 1);
    ASSERT_EQ(0, bind(server, reinterpret_cast<sockaddr*>(&addr), sizeof addr));
    paths.insert(paths.end(), {fifo, sock, "/dev/null", readonly});
#endif
    for (const std::string& path : paths) {
        RunOptions opts;
        opts.without_dac_override = true;
        const RunResult r = run_tool({path}, opts);
        EXPECT_EQ(not_found(path), r.out);
        EXPECT_EQ(0, r.status);
    }
#ifdef _WIN32
    CloseHandle(server);
#else
    close(server);
#endif
    EXPECT_EQ(wav44(0, 600), read_file(readonly));
    std::filesystem::permissions(native(readonly), std::filesystem::perms::owner_write,
                                 std::filesystem::perm_options::add);  // so that it can be removed
}

TEST(Cli, AFailedWriteIsNeverReportedAsAFix) {
#ifdef _WIN32
    GTEST_SKIP() << "a file size limit that refuses writes is a POSIX resource limit";
#endif
    TempDir dir;
    const std::string path = dir / "take.wav";
    // A limit at the field refuses the write; one inside it lets 2 of the 4 bytes through first.
    for (long limit : {40L, 42L}) {
        write_file(path, wav44(0, 600));
        RunOptions opts;
        opts.file_size_limit = limit;
        const RunResult r = run_tool({path}, opts);
        EXPECT_EQ("Unable to write data to header in " + path + ".\n", r.out) << limit;
        EXPECT_EQ(0, r.status);
        EXPECT_EQ(644u, file_length(path));
    }
}

// Sparse files: the lengths are real, the disk holds only the header.
struct LargeCase {
    const char* what;
    std::string header;
    uint64_t length;
    std::string report;
    std::string header_after;
};

TEST(Cli, LargeFiles) {
    const uint64_t kGiB = 1ull << 30;
    const std::string rf64_head = fmt_chunk() + chunk_header("data", 0xFFFFFFFF);
    const std::string junk_first = riff_wave(chunk("JUNK", std::string(28, '\0')) + fmt_chunk() + chunk_header("data", 0));
    const std::string promoted = "RF64" + le32(0xFFFFFFFF) + "WAVE" +
                                 chunk("ds64", le64(5 * kGiB - 8) + le64(5 * kGiB - 80) + std::string(12, '\0')) + rf64_head;
    const LargeCase cases[] = {
        {"3 GiB, stored 0", wav44(0, 0), 3 * kGiB, "Header was fixed successfully in %s.\n", wav44(0xBFFFFFD4u, 0)},
        {"3 GiB, correct", wav44(0xBFFFFFD4u, 0), 3 * kGiB, "The header in %s appears to be correct.\n",
         wav44(0xBFFFFFD4u, 0)},
        {"largest countable, stored 0", wav44(0, 0), 44 + 0xFFFFFFFFull, "Header was fixed successfully in %s.\n",
         wav44(0xFFFFFFFF, 0)},
        {"one byte too many", wav44(0, 0), 44 + 0x100000000ull,
         "The data block in %s is too large for a wave header.\n", wav44(0, 0)},
        {"5 GiB", wav44(0xFFFFFFFF, 0), 5 * kGiB, "The data block in %s is too large for a wave header.\n",
         wav44(0xFFFFFFFF, 0)},
        {"RF64 of 5 GiB, ds64 says 0", rf64_wave(0, rf64_head), 5 * kGiB, "Header was fixed successfully in %s.\n",
         rf64_wave(5 * kGiB - 80, rf64_head)},
        {"RF64 of 5 GiB, correct", rf64_wave(5 * kGiB - 80, rf64_head), 5 * kGiB,
         "The header in %s appears to be correct.\n", rf64_wave(5 * kGiB - 80, rf64_head)},
        {"RIFF of 5 GiB, JUNK first: promoted", junk_first, 5 * kGiB, "Header was fixed successfully in %s.\n", promoted},
        {"promoted, run again", promoted, 5 * kGiB, "The header in %s appears to be correct.\n", promoted},
    };
    TempDir dir;
    for (const LargeCase& c : cases) {
        const std::string path = dir / "long take.wav";
        write_file(path, c.header);
        set_length(path, c.length);
        const RunResult r = run_tool({path});
        EXPECT_EQ(with_path(c.report, path), r.out) << c.what;
        EXPECT_EQ(c.length, file_length(path)) << c.what;
        EXPECT_EQ(c.header_after, read_file_head(path, c.header.size())) << c.what;
        std::filesystem::remove(native(path));
    }
}

}  // namespace
