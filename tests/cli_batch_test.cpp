// The executable with a list file and a directory prefix.
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>

#include "cli_harness.h"

namespace {

std::string count_line(int n) { return "Read a list containing " + std::to_string(n) + " files\n"; }

struct ListCase {
    const char* what;
    std::string list;
    std::string expected;  // after the count line; $ stands for the directory with its slash
};

std::string expand(std::string text, const std::string& dir) {
    for (size_t at; (at = text.find('$')) != std::string::npos;) text.replace(at, 1, dir);
    return text;
}

TEST(Batch, ListShapes) {
    TempDir dir;
    const std::string d = dir.path + "/";
    const ListCase cases[] = {
        {"CRLF line ends and a byte-order mark, as Notepad saves", "\xEF\xBB\xBFok.wav\r\nbad.wav\r",
         correct("$ok.wav") + fixed("$bad.wav")},
        {"blank and leading lines, a line of spaces, no final line feed", "\n\nok.wav\n\n  \nbad.wav",
         correct("$ok.wav") + not_found("$  ") + fixed("$bad.wav")},
        {"the text ends at a zero byte", std::string("ok.wav\0bad.wav\n", 15), correct("$ok.wav")},
        {"the same name twice", "bad.wav\nbad.wav\n", fixed("$bad.wav") + correct("$bad.wav")},
        {"a failure does not stop the run", "missing.wav\nbad.wav\n", not_found("$missing.wav") + fixed("$bad.wav")},
        {"a crashed AIFF take", "bad.aif\nbad.aif\n", fixed("$bad.aif") + correct("$bad.aif")},
    };
    for (const ListCase& c : cases) {
        write_file(dir / "ok.wav", wav44(600, 600));
        write_file(dir / "bad.wav", wav44(0, 600));
        write_file(dir / "bad.aif", aiff(comm(0) + ssnd(8) + audio(600)));
        write_file(dir / "list.txt", c.list);
        const std::string expected = expand(c.expected, d);
        const int names = static_cast<int>(std::count(expected.begin(), expected.end(), '\n'));
        const RunResult r = run_tool({dir / "list.txt", d});
        EXPECT_EQ(count_line(names) + expected, r.out) << c.what;
        EXPECT_EQ(expected.find("cannot be found") == std::string::npos ? 0 : 1, r.status) << c.what;
        EXPECT_EQ("", r.err) << c.what;
    }
}

TEST(Batch, PrefixIsJoinedAsGiven) {
    TempDir dir;
    write_file(dir / "WaveFilesguitar.wav", wav44(600, 600));
    write_file(dir / "list.txt", "guitar.wav\n");
    const std::string no_slash = dir / "WaveFiles";
    std::filesystem::create_directory(native(no_slash));
    const RunResult r = run_tool({dir / "list.txt", no_slash});
    EXPECT_EQ(count_line(1) + correct(no_slash + "guitar.wav"), r.out);
    EXPECT_EQ("ostrel_32bit: the names are joined to " + no_slash + " as they stand (" + no_slash + " + guitar.wav = " +
                  no_slash + "guitar.wav); end it with a slash to look inside the folder.\n",
              r.err);

    write_file(dir / "abs.txt", dir / "WaveFilesguitar.wav");
    EXPECT_EQ(count_line(1) + correct(dir / "WaveFilesguitar.wav"), run_tool({dir / "abs.txt", ""}).out);
}

TEST(Batch, ListsThatCannotStart) {
    TempDir dir;
    write_file(dir / "empty.txt", "");
    write_file(dir / "feeds.txt", "\n\n\n");
    const struct {
        std::string list, out;
    } cases[] = {
        {dir / "missing.txt", "List called " + dir / "missing.txt" + " does not exist\n"},
        {dir / "empty.txt", count_line(0)},
        {dir / "feeds.txt", count_line(0)},
    };
    for (const auto& c : cases) {
        const RunResult r = run_tool({c.list, dir.path + "/"});
        EXPECT_EQ(c.out, r.out) << c.list;
        EXPECT_EQ(1, r.status) << c.list;
    }
}

TEST(Batch, AtMost512NamesAndTheRestIsNotReadButSaid) {
    TempDir dir;
    std::string list, expected;
    for (int k = 0; k < 600; ++k) {
        list += "take" + std::to_string(k) + ".wav\n";
        if (k < 512) expected += not_found(dir / "take" + std::to_string(k) + ".wav");
    }
    write_file(dir / "list.txt", list);
    auto too_many = [](const std::string& list) {
        return "List called " + list + " names more than 512 files; only the first 512 were checked.\n";
    };
    const RunResult r = run_tool({dir / "list.txt", dir.path + "/"});
    EXPECT_EQ(count_line(512) + expected, r.out);
    EXPECT_EQ(too_many(dir / "list.txt"), r.err);
    EXPECT_EQ(1, r.status);

#ifndef _WIN32
    // Through a pipe, with far more behind the names than anyone would wait for.
    RunOptions piped;
    piped.input = list + std::string(64 << 20, 'x');
    const RunResult p = run_tool({"/dev/stdin", dir.path + "/"}, piped);
    EXPECT_EQ(count_line(512) + expected, p.out);
    EXPECT_EQ(too_many("/dev/stdin"), p.err);
    EXPECT_EQ(1, p.status);
    EXPECT_LT(p.input_taken, size_t{8} << 20);
#endif
}

TEST(Batch, LongNamesAreKeptWhole) {
    TempDir dir;
    std::string name;
    for (int k = 0; k < 4; ++k) {  // one component may hold 255 bytes, so nest them
        name += std::string(90, static_cast<char>('a' + k));
        ASSERT_TRUE(std::filesystem::create_directory(native(dir / name)));
        name += "/";
    }
    name += "take.wav";
    ASSERT_GT(name.size(), 300u);
    write_file(dir / name, wav44(7, 600));
    write_file(dir / "list.txt", name + "\n");
    EXPECT_EQ(count_line(1) + fixed(dir / name), run_tool({dir / "list.txt", dir.path + "/"}).out);
    EXPECT_EQ(wav44(600, 600), read_file(dir / name));
}

#ifndef _WIN32  // the peak memory of a child process is measured with wait4
TEST(Batch, MemoryFollowsTheNamesKeptNotTheListSize) {
    TempDir dir;
    write_file(dir / "small.txt", "a.wav\n");
    write_file(dir / "large.txt", std::string(48 << 20, '\n') + "a.wav\n");
    const RunResult small = run_tool({dir / "small.txt", dir.path + "/"});
    const RunResult large = run_tool({dir / "large.txt", dir.path + "/"});
    EXPECT_EQ(small.out, large.out);
    EXPECT_LT(large.max_rss_kib, small.max_rss_kib + 8 * 1024);
}
#endif

}  // namespace
