// The executable on one file: argument counts, the usage screen and every report.
#include <fcntl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <gtest/gtest.h>

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
    const std::string late_id = std::string(4096, 'z') + "data" + le32(0) + std::string(10, 'a');
    const std::string in_chunk = "RIFF" + le32(0) + "WAVEjunk" + le32(8) + "data" + le32(0) + wav44(0, 10).substr(12);
    const FileCase cases[] = {
        {"correct", ok, ok, "The header in %s appears to be correct.\n"},
        {"stored 0", wav44(0, 600), ok, "Header was fixed successfully in %s.\n"},
        {"stored FF FF FF FF", wav44(0xFFFFFFFF, 600), ok, "Header was fixed successfully in %s.\n"},
        {"cut short audio", wav44(9999, 600), ok, "Header was fixed successfully in %s.\n"},
        {"nothing after the field", wav44(600, 0), wav44(0, 0), "Header was fixed successfully in %s.\n"},
        {"trailing chunk is counted", wav44(600, 600) + "LIST" + le32(4) + "abcd",
         wav44(612, 600) + "LIST" + le32(4) + "abcd", "Header was fixed successfully in %s.\n"},
        {"id beyond the first read", late_id, late_id.substr(0, 4100) + le32(10) + std::string(10, 'a'),
         "Header was fixed successfully in %s.\n"},
        {"data inside an earlier chunk wins", in_chunk, in_chunk.substr(0, 24) + le32(in_chunk.size() - 28) +
         in_chunk.substr(28), "Header was fixed successfully in %s.\n"},
        {"empty", "", "", kNoData},
        {"five bytes", "RIFF0", "RIFF0", kNoData},
        {"ends in a partial id", std::string(10, 'x') + "dat", std::string(10, 'x') + "dat", kNoData},
        {"odd offset only", std::string(37, 'x') + "data" + le32(0), std::string(37, 'x') + "data" + le32(0), kNoData},
        {"id at 131074", std::string(131074, 'x') + "data" + le32(0), std::string(131074, 'x') + "data" + le32(0), kNoData},
        {"id at 131072", std::string(131072, 'x') + "data" + le32(5) + "abc",
         std::string(131072, 'x') + "data" + le32(3) + "abc", "Header was fixed successfully in %s.\n"},
        {"ends inside the field", wav44(600, 0).substr(0, 42), wav44(600, 0).substr(0, 42),
         "The header in %s is cut short and cannot be fixed.\n"},
        {"ends after the id", wav44(600, 0).substr(0, 40), wav44(600, 0).substr(0, 40),
         "The header in %s is cut short and cannot be fixed.\n"},
    };
    TempDir dir;
    for (const FileCase& c : cases) {
        const std::string path = dir / "take 1 %s.wav";  // a name that would trip printf
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
    const std::string fifo = dir / "fifo.wav", sock = dir / "socket.wav";
    write_file(readonly, wav44(0, 600));
    ASSERT_EQ(0, chmod(readonly.c_str(), 0444));
    ASSERT_EQ(0, mkfifo(fifo.c_str(), 0666));
    const int s = socket(AF_UNIX, SOCK_STREAM, 0);
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    sock.copy(addr.sun_path, sizeof addr.sun_path - 1);
    ASSERT_EQ(0, bind(s, reinterpret_cast<sockaddr*>(&addr), sizeof addr));
    // A FIFO or a device must not make the tool wait, and a directory is no file.
    for (const std::string& path : {missing, fifo, sock, dir.path, std::string("/dev/null"), readonly}) {
        RunOptions opts;
        opts.without_dac_override = true;
        const RunResult r = run_tool({path}, opts);
        EXPECT_EQ(not_found(path), r.out);
        EXPECT_EQ(0, r.status);
    }
    close(s);
    EXPECT_EQ(wav44(0, 600), read_file(readonly));
}

TEST(Cli, AFailedWriteIsNeverReportedAsAFix) {
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
    uint64_t length;
    uint32_t stored;
    std::string report;
    uint32_t stored_after;
};

TEST(Cli, LargeFilesUseTheWholeUnsignedField) {
    const uint64_t kGiB = 1ull << 30;
    const LargeCase cases[] = {
        {"3 GiB, stored 0", 3 * kGiB, 0, "Header was fixed successfully in %s.\n", 0xBFFFFFD4u},
        {"3 GiB, correct", 3 * kGiB, 0xBFFFFFD4u, "The header in %s appears to be correct.\n", 0xBFFFFFD4u},
        {"largest countable, stored 0", 44 + 0xFFFFFFFFull, 0, "Header was fixed successfully in %s.\n",
         0xFFFFFFFFu},
        {"one byte too many", 44 + 0x100000000ull, 0, "The data block in %s is too large for a wave header.\n", 0},
        {"5 GiB", 5 * kGiB, 0xFFFFFFFFu, "The data block in %s is too large for a wave header.\n", 0xFFFFFFFFu},
    };
    TempDir dir;
    for (const LargeCase& c : cases) {
        const std::string path = dir / "long take.wav";
        write_file(path, wav44(c.stored, 0));
        ASSERT_EQ(0, truncate(path.c_str(), static_cast<off_t>(c.length))) << c.what;
        const RunResult r = run_tool({path});
        EXPECT_EQ(with_path(c.report, path), r.out) << c.what;
        EXPECT_EQ(c.length, file_length(path)) << c.what;
        EXPECT_EQ(wav44(c.stored_after, 0), read_file_head(path, 44)) << c.what;
        unlink(path.c_str());
    }
}

}  // namespace
