// What the finder's parts share: the flags each cluster earns in the one scan of the volume,
// and the steps from a take's first cluster to its file: following, ending, naming.
#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <string>
#include <vector>

#include "lost_takes.h"
#include "sound.h"

namespace ostrel::card {

// Space never written on a fresh or erased card reads as all 00 or all FF; digital silence in a
// take is rarely this long.
constexpr uint64_t kBlankRun = uint64_t{1} << 20;
constexpr uint64_t kFatFileLimit = 0xFFFFFFFFu;
// A header lent to a headerless take comes from a healthy take's first bytes.
constexpr uint64_t kMaxHeaderBytes = 65536;
constexpr uint64_t kSectorBytes = 512;
// kClosed: its header's sizes agree; kUnread: not read yet, so not known to be anything;
// kFolder: it holds a folder's entries; kEven: its first sector looks_random.
enum : uint8_t { kLive = 1, kUsed = 2, kHeader = 4, kBlank = 8, kClosed = 16, kUnread = 32, kFolder = 64, kEven = 128 };

bool blank(const uint8_t* b, size_t n);
std::vector<Run> runs_of(const std::vector<uint32_t>& clusters);
std::vector<uint32_t> clusters_of(const std::vector<Run>& runs);  // the reverse

// What the finder's parts tell the shell's Progress, with how far the whole job has come.
struct Reporter {
    Progress* to = nullptr;
    ProgressReport& now;
    uint64_t base = 0;  // reading: the bytes the job had read when this step began

    void begin(ProgressReport::Step step, uint64_t total, uint64_t from, size_t takes = 0) {
        now.step = step, now.total = total, now.takes = takes, base = from;
        now.done = step == ProgressReport::Step::Sharing ? 0 : now.read - from;
        tell();
    }
    void read(uint64_t bytes) {
        now.read += bytes, now.done = now.read - base;
        tell();
    }
    void shared(uint64_t bytes) {
        now.done = bytes;
        tell();
    }
    void tell() const {
        if (to) to->report(now);
    }
};

// Reads the clusters in [from, to) no entry holds and not read yet, `step` bytes at most at a
// time into `buffer` (kept from call to call, so that its pages are touched once), and marks
// what each holds, telling `reporter`. Returns the bytes read.
uint64_t read_clusters(ByteSource& source, const VolumeContents& vc, std::vector<uint8_t>& flags,
                       std::map<uint32_t, uint32_t>& riff, uint32_t from, uint32_t to, size_t step,
                       std::vector<uint8_t>& buffer, Reporter* reporter = nullptr);

// One volume as the finder works on it: what its clusters hold, and which are taken.
struct VolumeScan {
    ByteSource& source;
    const VolumeContents& vc;
    std::vector<uint8_t> flags;
    std::map<uint32_t, uint32_t> riff;  // the RIFF size in each cluster that begins with a header
    bool hot = false;                   // only the clusters where the recorder was writing are read
    std::vector<CardReading::Look>& looks;  // what each entry's header said, kept between phases
    std::map<Hearing, uint64_t>& heard;     // where each take's sound stopped, kept between phases
    Reporter* reporter = nullptr;
};

// A healthy take on the volume, whose format a headerless take may borrow.
struct Healthy {
    std::string path;
    uint32_t modified;
    std::vector<uint8_t> header;
};

// Finds where takes begin on volume `vi`, follows each and adds it to f.takes; `healthy` gets
// the volume's healthy takes.
void find_starts(ByteSource& source, Findings& f, size_t vi, VolumeScan& scan, std::vector<Healthy>& healthy);

// Where a take begins, before it is followed: its first clusters, and those its FAT links give it.
struct Head {
    Start start = Start::FreeCluster;
    const Entry* entry = nullptr;
    std::vector<uint32_t> own;     // its first cluster, or the clusters its entry holds
    std::vector<uint32_t> linked;  // the clusters the FAT links to after them, no one else's
    bool by_fat = true;            // its clusters may be followed by the FAT at all
    bool stale_end = false;        // its chain ends in a link to a cluster someone else holds
    bool unread = false;           // its chain leads to a cluster not read yet
};

// The clusters the FAT links to from `head`'s own, while they are no one else's; on exFAT only
// those the bitmap marks, a missing link inside the first run of adjacent clusters bridged by
// that run. Marks them used.
void link_head(const VolumeContents& vc, std::vector<uint8_t>& flags, Head& head);

// Why a walk stopped.
enum class Stop { VolumeEnd, FileLimit, LostHeader, OlderHeader, NeverWritten, Window, Unread, NotAudio };

struct Walk {
    std::vector<uint32_t> clusters;
    Stop stop = Stop::VolumeEnd;
    uint32_t next = 0;  // with Window: the cluster the walk would have taken next
};

// Whether cluster `next` holds bytes no audio of the take being followed is made of, the take's
// last cluster so far being `last` (empty: not asked).
using NotAudio = std::function<bool(uint32_t last, uint32_t next)>;

// The clusters of a take from its first ones, as the recorder's allocator gave them, never past
// cluster `limit` (0: the volume's end) but where the FAT links, nor into a cluster `not_audio`
// says no audio is made of but where the FAT links.
Walk follow(const VolumeContents& vc, std::vector<uint8_t>& flags, LostTake& take, std::vector<uint32_t> list,
            bool by_fat, uint32_t limit = 0, const NotAudio& not_audio = {});

// Whether a cluster's first sector is about as even as random bytes: the high nibbles of its
// bytes spread about evenly. Cheap, and true of some loud audio too: random_bytes decides.
bool looks_random(const uint8_t* b, size_t n);

// Whether every sector of `n` bytes (whole sectors) is as random as compressed or encrypted data,
// and no audio on the take's grid, whatever byte its frames begin at: steps of many sizes from
// byte to byte, a quarter or more of the samples at half of full scale or more, and each frame as
// far from the last as the samples are from 0.
bool random_bytes(const Grid& g, const uint8_t* b, size_t n);
// How many of the whole sectors in `n` bytes are so.
size_t random_sectors(const Grid& g, const uint8_t* b, size_t n);
constexpr size_t kRandomLooked = 4096;  // of a cluster that looks random, read to decide

// Whole sectors at the take's end, in its last two clusters, that read as no recorded sound does
// are no part of it, where the sectors before them are audio that does not read so itself. True where its audio is nothing but such sectors: a part kept beside a take's
// end that is no audio at all.
bool drop_random_sectors(ByteSource& source, const Volume& volume, LostTake& take);

// Heads whose clusters interleave, or whose first clusters lie a few clusters apart: the files of
// a recorder that wrote several at once. Each group lists indexes into `heads`, by first cluster.
std::vector<std::vector<size_t>> group_heads(const std::vector<Head>& heads, const std::vector<uint8_t>& flags);

// Shares out the clusters after a group's links among its takes, as the allocator's pattern and
// their sound say, never past `limit` (0: none). `takes` are the group's, in the order of `group`,
// with their heads' clusters; each gets its clusters and why it stopped. Returns the cluster the
// group would have taken next past `limit`, else 0, and `last` the take that had the latest.
// Tells `reporter` how far it has come, a step of its own.
uint32_t share_out(ByteSource& source, const VolumeContents& vc, std::vector<uint8_t>& flags,
                   std::vector<LostTake*>& takes, std::vector<std::vector<uint32_t>>& clusters, uint32_t limit,
                   size_t& last, Reporter* reporter = nullptr);

// FAT12/16/32: the last cluster whose entry lies in the FAT sector that held the last mark of
// the heads' chains on the card (an end-of-chain mark, or a first cluster's still-free entry):
// the sector in the driver's buffer when the power went. Only where each chain that ends in that
// sector ends as a one-sector buffer leaves it (see take_end.cpp): else, and on exFAT, 0.
uint32_t window_end(const VolumeContents& vc, const std::vector<const Head*>& heads);

// A free cluster's take whose header's sizes agree ends where its header says: `take` is cut
// there, and what the walk added after it is returned as a take of its own (or none).
bool end_by_own_header(ByteSource& source, const Volume& volume, LostTake& take, LostTake& after);

// Whether the header of the take `take` begins with gives it, as a recorder that closed it does,
// at least `length` bytes: the card holds no more of it than its recorder wrote, so no other
// audio lies inside those bytes.
bool closed_at_least(ByteSource& take, uint64_t length);

// What the walk found after a take's end, as a file of its own in the take's format.
LostTake after_part(ByteSource& source, const Volume& volume, const LostTake& take, std::vector<uint32_t> clusters,
                    uint64_t skip);

// Whole 512-byte sectors of 00 or FF at the take's end, never written, are no part of it; nor
// are those drop_random_sectors drops, first. True where nothing but random bytes was left.
bool drop_blank_sectors(ByteSource& source, const Volume& volume, LostTake& take);

// The file each take is written to, and how it was chosen.
void name_takes(Findings& f);

// The file name a take's bext or iXML chunk gives, or empty.
std::string name_in_header(ByteSource& take, uint64_t length);

}  // namespace ostrel::card
