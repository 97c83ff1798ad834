// The executable on one file: argument counts, the usage screen and every report.
#ifdef _WIN32
#include <windows.h>
#else
#include <sys/socket.h>
#include <sys/stat.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>
#endif

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>

#include "cli_harness.h"
#include "source_stamp.h"

namespace {

const char kUsage[] =
    "\n\nThis program will fix a wavefile header that indicates an incorrect file length.\n\n"
    "If you enter a single wavefile as the command line argument, one file will be checked/fixed.\n\n"
    "Example:\nostrel_32bit guitar.wav\n\nIf you enter 2 command line arguments:\n\n"
    "Argument 1 is a text file containing a list of wavefiles (512 max), each on a new line.\n"
    "Argument 2 is the directory of the wavefiles.  Include the slash.\n\n"
    "Example:\nostrel_32bit mylist.txt WaveFiles/\n\n"
    "More, and what to do when a take shows 0 KB: ostrel_32bit --help\n";

// Once a run, after a 0-byte take or a card given as a take; the first line names the reason.
const std::string kHintLost = "ostrel_32bit: a take of 0 bytes, or a card given as a take: its audio may still be on the card.\n";
const std::string kHintHeader = "ostrel_32bit: a take that ends at its header: its audio may still be on the card.\n";
const std::string kHintRecover =
    "  Recover it into a folder on another disk with: ostrel_32bit --recover FOLDER CARD\n"
    "  (CARD: the card's device, its mount folder or an image of it), or give an image of the\n"
    "  card to the web page. Until then, record nothing on the card and do not write to it.\n";
const std::string kHint = kHintLost + kHintRecover;

const std::string kNoData = "Cannot find data block in wave file!\n";

std::string needs_fix(const std::string& path) { return "The header in " + path + " needs to be fixed.\n"; }

const char kHelpStart[] = "Usage: ostrel_32bit [OPTION]... FILE|FOLDER...\n";
const char kVersion[] = "ostrel_32bit " OSTREL_VERSION "\nbuilt from sources " OSTREL_SOURCES "\n";

enum class Hold { None, Writing, Reading, Killed };  // another program holds bad.wav open, or did

#ifndef _WIN32
// A recorder that a watchdog kills the moment before the tool runs: its hold on the file lingers
// while the kernel closes its descriptors. Returns the child to reap.
pid_t kill_a_writer(const std::string& path) {
    int ready[2];
    if (pipe(ready) != 0) return -1;
    const pid_t child = fork();
    if (child == 0) {
        const int fd = open(path.c_str(), O_WRONLY | O_APPEND);
        if (fd < 0 || write(ready[1], "x", 1) != 1) _exit(1);
        pause();
        _exit(0);
    }
    char x;
    if (child < 0 || read(ready[0], &x, 1) != 1) return -1;
    kill(child, SIGKILL);
    close(ready[0]);
    close(ready[1]);
    return child;
}
#endif

TEST(Cli, ArgumentsAndExitStatus) {
    TempDir dir;
    const std::string bad = dir / "bad.wav", ok = dir / "ok.wav", missing = dir / "missing.wav";
    const std::string empty = dir / "empty.wav", notes = dir / "notes.txt";
    write_file(empty, "");  // what a recorder killed in its first seconds leaves
    write_file(notes, "take 5 was the good one");
    const std::string lost = "ostrel_32bit: cannot write the report: ";
    const std::string unknown = "ostrel_32bit: unknown option '--dry-run'\nTry 'ostrel_32bit --help'.\n";
    const std::string bad_detail = "  RIFF, PCM 16-bit, 1 channel, 8000 Hz\n  data size 0 -> 600 bytes (0.000 s -> 0.037 s)\n"
                                   "  RIFF size 636\n  at 40: 00 00 00 00 -> 58 02 00 00\n";
    const std::string being_written = "The file " + bad + " is being written by another program and was left alone.\n";
    const std::string aif = dir / "take.aif";
    write_file(aif, aiff(comm(0) + ssnd(8) + audio(601)).replace(4, 4, be32(46)));
    const std::string aif_detail = "  AIFF, PCM 16-bit, 1 channel, 8000 Hz\n  SSND size 8 -> 608 bytes (0.000 s -> 0.037 s)\n"
                                   "  FORM size 46 -> 646\n  COMM numSampleFrames 0 -> 300 sample frames\n"
                                   "  1 byte after the last whole frame is not counted\n  at 42: 00 00 00 08 -> 00 00 02 60\n"
                                   "  at 22: 00 00 00 00 -> 00 00 01 2c\n  at 4: 00 00 00 2e -> 00 00 02 86\n";
    const struct {
        std::vector<std::string> args;
        std::string out;
        int status;
        bool bad_fixed;
        std::string err = "", stdout_to = "";
        Hold hold = Hold::None;
    } cases[] = {
        {{}, kUsage, 1, false},
        {{"-v"}, kUsage, 1, false},  // options and no name
        {{"--check"}, kUsage, 1, false},
        {{"--help"}, kHelpStart, 0, false},
        {{"-h", bad}, kHelpStart, 0, false},
        {{"--version"}, kVersion, 0, false},
        {{"-V"}, kVersion, 0, false},
        // A guessed option stops the run before any file is touched, wherever it stands.
        {{"--dry-run", bad, ok}, "", 2, false, unknown},
        {{bad, ok, "--dry-run"}, "", 2, false, unknown},
        {{"-x", bad}, "", 2, false, "ostrel_32bit: unknown option '-x'\nTry 'ostrel_32bit --help'.\n"},
        {{"--", "--dry-run", bad}, not_found("--dry-run") + fixed(bad), 1, true},
        {{bad, ok}, fixed(bad) + correct(ok), 0, true},
        {{bad, ok, missing}, fixed(bad) + correct(ok) + not_found(missing), 1, true},
        // Two names are two takes unless they can only be a list and a prefix.
        {{empty, bad}, kNoData + fixed(bad), 0, true, kHint},
        {{notes, bad}, kNoData + fixed(bad), 0, true},
        {{missing, bad}, not_found(missing) + fixed(bad), 1, true},
        {{"--check", bad, ok}, needs_fix(bad) + correct(ok), 1, false},
        {{bad, ok, "--check"}, needs_fix(bad) + correct(ok), 1, false},
        {{"-n", ok, missing}, correct(ok) + not_found(missing), 2, false},
        {{"--check", ok, notes, empty, empty}, correct(ok) + kNoData + kNoData + kNoData, 0, false, kHint},
        {{"-nv", bad, notes, empty}, needs_fix(bad) + bad_detail + kNoData + "  " + notes + ": not a WAVE, AIFF, Wave64 or CAF file\n" + kNoData +
                                          "  " + empty + ": 0 bytes: the recorder never wrote this take's size; its "
                                          "audio may still be on the card\n", 1, false, kHint},
        {{"-nv", aif}, needs_fix(aif) + aif_detail, 1, false},
        {{"-v", ok}, correct(ok) + "  RIFF, PCM 16-bit, 1 channel, 8000 Hz\n  data size 600 bytes (0.037 s), proven "
                                   "by the file's length\n  RIFF size 636\n", 0, false},
        // A take still being recorded is never written; one that a player reads is.
        {{bad}, being_written, 1, false, "", "", Hold::Writing},
        {{"--check", bad}, being_written, 2, false, "", "", Hold::Writing},
        {{bad}, fixed(bad), 0, true, "", "", Hold::Reading},
#ifndef _WIN32
        {{bad}, fixed(bad), 0, true, "", "", Hold::Killed},
#endif
        // A report that reaches no one stops the run before the next file.
        {{ok, bad}, "", 1, false, lost + "Broken pipe\n", "broken pipe"},
#ifdef _WIN32  // Windows shells leave wildcards to the program
        {{dir / "b?d.*", dir / "none*.wav"}, fixed(bad) + not_found(dir / "none*.wav"), 1, true},
#else
        {{ok, bad}, "", 1, false, lost + "No space left on device\n", "/dev/full"},
        {{ok, bad}, "", 1, false, lost + "Bad file descriptor\n", "closed"},
#endif
    };
    for (const auto& c : cases) {
        write_file(bad, wav44(0, 600));
        write_file(ok, wav44(600, 600));
        RunOptions opts;
        opts.stdout_to = c.stdout_to;
        RunResult r;
        {
            std::ofstream writer;
            std::ifstream player;
            if (c.hold == Hold::Writing) writer.open(native(bad), std::ios::binary | std::ios::app);
            if (c.hold == Hold::Reading) player.open(native(bad), std::ios::binary);
#ifndef _WIN32
            const pid_t killed = c.hold == Hold::Killed ? kill_a_writer(bad) : -1;
            r = run_tool(c.args, opts);
            if (killed > 0) waitpid(killed, nullptr, 0);
#else
            r = run_tool(c.args, opts);
#endif
        }
        const std::string what = c.args.empty() ? "no arguments" : c.args[0] + " ... (" + std::to_string(c.args.size()) + ")";
        EXPECT_EQ(c.out, c.out == kHelpStart ? r.out.substr(0, c.out.size()) : r.out) << what;
        EXPECT_EQ(c.status, r.status) << what;
        EXPECT_EQ(c.err, r.err) << what;
        EXPECT_EQ(wav44(c.bad_fixed ? 600 : 0, 600), read_file(bad)) << what;
    }
}

// What the tool puts between a folder and the names in it.
#ifdef _WIN32
const char kSep[] = "\\";
#else
const char kSep[] = "/";
#endif

// A FAT12 card image of 400 sectors whose recorder lost power mid-take: the entry TAKE.WAV says
// 0 bytes and has no first cluster, and the take lies in clusters 2 to 9 with its sizes at 0.
std::string card_with_a_lost_take() {
    std::string image(400 * 512, '\0');
    const std::string boot = std::string("\xEB\x3C\x90MSDOS5.0", 11) + std::string("\x00\x02\x01\x01\x00\x02\x10\x00", 8) +
                             std::string("\x90\x01\xF8\x02\x00", 5);  // 512-byte sectors, FATs of 2 sectors
    image.replace(0, boot.size(), boot);
    image.replace(510, 2, "\x55\xAA");
    for (size_t fat : {512u, 1536u}) image.replace(fat, 3, "\xF8\xFF\xFF");
    image.replace(5 * 512, 12, "TAKE    WAV\x20");
    image.replace(6 * 512, 4044, with_form(wav44(0, 4000), 0));
    return image;
}

TEST(Cli, RecoversATakeTheCardLost) {
    const std::string sep = kSep;
    TempDir dir;
    const std::string image = dir / "card.img", into = dir / "Recovered", take = into + sep + "TAKE.WAV";
    write_file(image, card_with_a_lost_take());
    const std::string line = " /TAKE.WAV from " + image + " into " + take + ": 0:00.253 of audio.\n";
    const RunResult check = run_tool({"--check", "--recover", into, image});
    EXPECT_EQ("Would recover" + line, check.out);
    EXPECT_EQ(1, check.status);
    EXPECT_FALSE(std::filesystem::exists(native(into)));
    const RunResult r = run_tool({"--recover", into, image});
    EXPECT_EQ("Recovered" + line, r.out);
    EXPECT_EQ(0, r.status);
    EXPECT_EQ(with_form(wav44(4052, 4000) + std::string(52, '\0'), 4088), read_file(take));
    EXPECT_EQ(card_with_a_lost_take(), read_file(image));
    EXPECT_EQ(2, run_tool({"--recover", into}).status);  // no card named
}

TEST(Cli, FoldersAreWalkedByContent) {
    const std::string sep = kSep;
    TempDir dir;
    const std::string card = dir / "CARD";
    for (const char* folder : {"", "/FOUND.000", "/sub", "/.Trashes"}) std::filesystem::create_directory(native(card + folder));
    const std::string take = card + sep + "TAKE.WAV", lost = card + sep + "FOUND.000" + sep + "FILE0000.CHK";
    const std::string ok = card + sep + "sub" + sep + "ok.wav";
    const std::string hidden[] = {card + "/._take.wav", card + "/.Trashes/take.wav"};
    for (const std::string& path : {take, lost, hidden[0], hidden[1]}) write_file(path, wav44(0, 600));
    write_file(ok, wav44(600, 600));
    write_file(card + "/notes.txt", "RIFF notes");
    const std::string empties[] = {card + sep + "Z1.WAV", card + sep + "Z2.WAV", card + sep + "Z3.WAV", card + sep + "Z4.WAV"};
    for (const std::string& path : empties) write_file(path, "");
    const std::string zero = "ostrel_32bit: 4 files under " + card + " have 0 bytes and were left alone:\n";
    const std::string named = "  " + empties[0] + "\n  " + empties[1] + "\n  " + empties[2] + "\n";
    const std::string aif = card + sep + "TAKE.AIF", aif_killed = aiff(comm(0) + ssnd(8) + audio(600));
    write_file(aif, aif_killed);
    std::string left_alone = "ostrel_32bit: 1 file under " + card + " is not a WAVE file and was left alone.\n";
#ifndef _WIN32
    std::filesystem::create_directory_symlink("..", native(card + "/loop"));
    ASSERT_EQ(0, mkfifo((card + "/fifo").c_str(), 0666));  // never opened
    left_alone = "ostrel_32bit: 2 files under " + card + " are not WAVE files and were left alone.\n";
#endif
    RunResult check;
    {
        std::ofstream recorder(native(lost), std::ios::binary | std::ios::app);  // a walk leaves it alone too
        check = run_tool({"--check", card});
    }
    EXPECT_EQ("The file " + lost + " is being written by another program and was left alone.\n" + needs_fix(aif) +
                  needs_fix(take) + correct(ok),
              check.out);
    EXPECT_EQ(zero + named + "  and 1 more (-v names each)\n" + left_alone + kHint, check.err);
    EXPECT_EQ(1, check.status);
    EXPECT_EQ(zero + named + "  " + empties[3] + "\n" + left_alone + kHint, run_tool({"-nv", card}).err);
    // With its separator, the folder is named as given, and the names below follow it.
    const RunResult repair = run_tool({card + "/"});
    EXPECT_EQ(fixed(card + "/FOUND.000" + sep + "FILE0000.CHK") + fixed(card + "/TAKE.AIF") + fixed(card + "/TAKE.WAV") +
                  correct(card + "/sub" + sep + "ok.wav"),
              repair.out);
    EXPECT_EQ(wav44(600, 600), read_file(take));
    EXPECT_EQ(aiff(comm(300) + ssnd(608) + audio(600)), read_file(aif));
    for (const std::string& path : hidden) EXPECT_EQ(wav44(0, 600), read_file(path)) << path;
}

struct FileCase {
    const char* what;
    std::string before;
    std::string after;  // the whole file once the tool has run
    std::string report;  // with %s for the path
    std::string err = "";
};

std::string with_path(std::string text, const std::string& path) {
    const size_t at = text.find("%s");
    return at == std::string::npos ? text : text.replace(at, 2, path);
}

TEST(Cli, ReportsAndBytesPerFile) {
    const std::string ok = wav44(600, 600);
    const std::string list = chunk("LIST", "INFOICMT" + le32(5) + "take" + std::string(1, '\0'));
    const std::string late = riff_wave(chunk("JUNK", std::string(4096, '\0')) + chunk_header("data", 0) + audio(10));
    const std::string bext = chunk("bext", "data take 4") + fmt_chunk() + chunk_header("data", 0xFFFFFFFF) + audio(6);
    const std::string unchained = chunk_header("\x01" "bad", 4096) + "fmt " + std::string(131048, 'x');
    const std::string rf64 = rf64_wave(0, fmt_chunk() + chunk_header("data", 0) + audio(600));
    const std::string first_sync = riff_wave(chunk("JUNK", std::string(32716, '\0')) + fmt_chunk() + chunk_header("data", 0));
    const std::string w64_killed = wave64(w64_chunk("fmt ", fmt_chunk().substr(8)) + w64_chunk("data", "", 24)) + audio(600);
    const std::string caf_to_end = caf("data" + be64(UINT64_MAX) + be32(0) + audio(600));
    const FileCase cases[] = {
        {"correct", ok, ok, "The header in %s appears to be correct.\n"},
        {"stored 0", wav44(0, 600), ok, "Header was fixed successfully in %s.\n"},
        {"stored FF FF FF FF", wav44(0xFFFFFFFF, 600), ok, "Header was fixed successfully in %s.\n"},
        {"cut short audio", wav44(9999, 600), ok, "Header was fixed successfully in %s.\n"},
        {"nothing after the field", wav44(600, 0), wav44(0, 0), "Header was fixed successfully in %s.\n",
         kHintHeader + kHintRecover},
        {"44 bytes, data size 0", wav44(0, 0), wav44(0, 0), "The header in %s appears to be correct.\n",
         kHintHeader + kHintRecover},
        {"a header of 32 KiB, the first sync", first_sync, first_sync, "The header in %s appears to be correct.\n",
         kHintHeader + kHintRecover},
        {"a trailing chunk proves the size", ok + list, ok + list, "The header in %s appears to be correct.\n"},
        {"id beyond the first read", late, late.substr(0, 4120) + le32(10) + audio(10),
         "Header was fixed successfully in %s.\n"},
        {"data inside an earlier chunk is skipped", riff_wave(bext), riff_wave(bext).replace(60, 4, le32(6)),
         "Header was fixed successfully in %s.\n"},
        {"RIFF size 8, data size 0", with_form(wav44(0, 600), 8), ok, "Header was fixed successfully in %s.\n"},
        {"RF64: the size lives in ds64", rf64, rf64_wave(600, fmt_chunk() + chunk_header("data", 0xFFFFFFFF) + audio(600)),
         "Header was fixed successfully in %s.\n"},
        {"AIFF-C killed", aiff(comm(0, "sowt") + ssnd(8) + audio(600), "AIFC"),
         aiff(comm(300, "sowt") + ssnd(608) + audio(600), "AIFC"), "Header was fixed successfully in %s.\n"},
        {"Wave64 killed", w64_killed, wave64(w64_chunk("fmt ", fmt_chunk().substr(8)) + w64_chunk("data", audio(600))),
         "Header was fixed successfully in %s.\n"},
        {"CAF data -1 stays", caf_to_end, caf_to_end, "The header in %s appears to be correct.\n"},
        {"AIFF-C in GSM is left", aiff(comm(0, "GSM ") + ssnd(8) + audio(66), "AIFC"),
         aiff(comm(0, "GSM ") + ssnd(8) + audio(66), "AIFC"), kNoData},
        {"empty", "", "", kNoData, kHint},
        {"a card's image", card_with_a_lost_take(), card_with_a_lost_take(), kNoData, kHint},
        {"five bytes", "RIFF0", "RIFF0", kNoData},
        {"RIFX", "RIFX" + wav44(0, 600).substr(4), "RIFX" + wav44(0, 600).substr(4), kNoData},
        {"a list of names", "mydata.wav\n", "mydata.wav\n", kNoData},
        {"broken chain, id at 131074", riff_wave(unchained + "xx" + chunk_header("data", 0)),
         riff_wave(unchained + "xx" + chunk_header("data", 0)), kNoData},
        {"broken chain, id at 131072", riff_wave(unchained + chunk_header("data", 5) + "abc"),
         riff_wave(unchained + chunk_header("data", 3) + "abc"), "Header was fixed successfully in %s.\n"},
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
        EXPECT_EQ(c.err, r.err) << c.what;
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

TEST(Cli, WhatCannotBeWrittenIsCheckedAndNeverTouched) {
    TempDir dir;
    const std::string missing = dir / "missing.wav", readonly = dir / "readonly.wav", right = dir / "right.wav";
    write_file(readonly, wav44(0, 600));
    write_file(right, wav44(600, 600));
    for (const std::string& path : {readonly, right})
        std::filesystem::permissions(native(path), std::filesystem::perms::owner_write |
                                     std::filesystem::perms::group_write | std::filesystem::perms::others_write,
                                     std::filesystem::perm_options::remove);
    // A pipe or a device must not make the tool wait.
    std::vector<std::string> paths = {missing};
    // A take that may be read but not written is checked all the same.
    std::vector<std::pair<std::vector<std::string>, std::string>> cases = {
        {{readonly}, "Unable to write data to header in " + readonly + ".\n"},
        {{"--check", readonly}, needs_fix(readonly)},
        {{right}, correct(right)}};
#ifdef _WIN32
    // Wine keeps the read-only flag as file modes, which do not stop root, as CI runs; on
    // Windows the flag alone refuses writing.
    const bool under_wine = GetProcAddress(GetModuleHandleA("ntdll.dll"), "wine_get_version") != nullptr;
    if (under_wine) cases.clear();
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
    paths.insert(paths.end(), {fifo, sock, "/dev/null"});
    cases.push_back({{"--check", fifo}, not_found(fifo)});
    const pid_t recorder = fork();  // waits for a reader on the FIFO, which the tool must not be
    if (recorder == 0) _exit(open(fifo.c_str(), O_WRONLY) >= 0 ? 0 : 1);
#endif
    for (const std::string& path : paths) cases.push_back({{path}, not_found(path)});
    // Root as well as another user: a take with no write permission bit is protected on purpose.
    for (const bool unprivileged : {true, false}) {
        RunOptions opts;
        opts.unprivileged = unprivileged;
        for (const auto& [args, out] : cases) {
            const RunResult r = run_tool(args, opts);
            if (r.status == 127) GTEST_SKIP() << "setpriv is needed to run the tool as an unprivileged user";
            EXPECT_EQ(out, r.out) << args.back() << (unprivileged ? "" : " as root");
        }
    }
#ifdef _WIN32
    CloseHandle(server);
#else
    close(server);
    EXPECT_EQ(0, waitpid(recorder, nullptr, WNOHANG)) << "the FIFO's writer was released";
    kill(recorder, SIGKILL);
    waitpid(recorder, nullptr, 0);
#endif
    EXPECT_EQ(wav44(0, 600), read_file(readonly));
    for (const std::string& path : {readonly, right})  // so that they can be removed
        std::filesystem::permissions(native(path), std::filesystem::perms::owner_write, std::filesystem::perm_options::add);
}

#ifndef _WIN32  // a file size limit that refuses writes is a POSIX resource limit
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
        EXPECT_EQ(1, r.status);
        EXPECT_EQ(644u, file_length(path));
    }
}
#endif

// A crashed take repaired, or found unwritable, on a card's file system: a FAT image mounted
// through a loop device, else an exFAT one through exfat-fuse.
#ifndef _WIN32  // card images are mounted here with Linux loop devices
bool sh(const std::string& script) { return std::system(("{ " + script + "; } >/dev/null 2>&1").c_str()) == 0; }

TEST(Cli, ACrashedTakeOnACardPointsToRecover) {
    TempDir dir;
    const std::string img = "'" + dir / "card.img" + "'", at = dir / "card", take = at + "/TAKE.WAV";
    std::filesystem::create_directory(native(at));
    std::string kind = "vfat", mount = "mount -o loop,%s " + img + " '" + at + "'";
    if (!sh("mkfs.vfat -C " + img + " 8192 && " + with_path(mount, "rw") + " && umount '" + at + "'")) {
        kind = "fuseblk";
        mount = "L=$(losetup -f --show " + img + ") && { mount.exfat-fuse -o %s $L '" + at + "'; r=$?; losetup -d $L; [ $r = 0 ]; }";
        if (!sh("rm -f " + img + " && truncate -s 8M " + img + " && mkfs.exfat " + img + " && " + with_path(mount, "rw") +
                " && umount '" + at + "'"))
            GTEST_SKIP() << "neither a FAT image through a loop device nor an exFAT one through exfat-fuse could be "
                            "mounted (needs root, dosfstools or exfatprogs and exfat-fuse)";
    }
    const std::string volume = "ostrel_32bit: a crashed take on a FAT or exFAT volume: the card may hold more of it than the file does.\n";
    const struct {
        const char* options;
        std::vector<std::string> args;
        std::string out;
    } cases[] = {
        {"rw", {take}, fixed(take)},
        {"rw", {"-v", take}, fixed(take) + "  RIFF, PCM 16-bit, 1 channel, 8000 Hz\n  data size 0 -> 600 bytes (0.000 s -> "
         "0.037 s)\n  RIFF size 636\n  at 40: 00 00 00 00 -> 58 02 00 00\n  " + take + ": a crashed take on " + kind +
         ", a card's file system: the card may hold more of it than the file does\n"},
        {"ro", {take}, "Unable to write data to header in " + take + ".\n"},
    };
    for (const auto& c : cases) {
        ASSERT_TRUE(sh(with_path(mount, "rw")));
        write_file(take, wav44(0, 600));
        ASSERT_TRUE(sh("umount '" + at + "' && " + with_path(mount, c.options)));
        const RunResult r = run_tool(c.args);
        sh("umount '" + at + "'");
        EXPECT_EQ(c.out, r.out) << c.options;
        EXPECT_EQ(volume + kHintRecover, r.err) << c.options;
    }
}
#endif

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
    const std::string right3 = with_form(wav44(0xBFFFFFD4u, 0), 0xBFFFFFF8u);
    const std::string rf64_right = rf64_wave(5 * kGiB - 80, rf64_head, "RF64", 5 * kGiB - 8);
    const std::string promoted = "RF64" + le32(0xFFFFFFFF) + "WAVE" +
                                 chunk("ds64", le64(5 * kGiB - 8) + le64(5 * kGiB - 80) + std::string(12, '\0')) + rf64_head;
    const LargeCase cases[] = {
        {"3 GiB, stored 0", wav44(0, 0), 3 * kGiB, "Header was fixed successfully in %s.\n", right3},
        {"3 GiB, correct", right3, 3 * kGiB, "The header in %s appears to be correct.\n", right3},
        {"largest countable, stored 0", wav44(0, 0), 44 + 0xFFFFFFFFull, "Header was fixed successfully in %s.\n",
         wav44(0xFFFFFFFE, 0)},
        {"one byte too many", wav44(0, 0), 44 + 0x100000000ull,
         "The data block in %s is too large for a wave header.\n", wav44(0, 0)},
        {"5 GiB", wav44(0xFFFFFFFF, 0), 5 * kGiB, "The data block in %s is too large for a wave header.\n",
         wav44(0xFFFFFFFF, 0)},
        {"RF64 of 5 GiB, ds64 says 0", rf64_wave(0, rf64_head), 5 * kGiB, "Header was fixed successfully in %s.\n",
         rf64_right},
        {"RF64 of 5 GiB, correct", rf64_right, 5 * kGiB, "The header in %s appears to be correct.\n", rf64_right},
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
