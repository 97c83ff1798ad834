// The takes a card lost: recordings whose audio is on the card in clusters that no directory
// entry holds, as a power cut mid-take leaves them. Found from what read_card saw and one read
// of every cluster no entry holds; nothing is written.
#pragma once

#include <cstdint>
#include <map>
#include <string>
#include <vector>

#include "byte_source.h"
#include "card_layout.h"
#include "progress.h"

namespace ostrel::card {

// Where a take was found to begin.
enum class Start {
    EmptyEntry,   // a live entry of 0 bytes whose first cluster holds a WAVE header
    StaleEntry,   // a live entry whose header says its size was never written, or is more than it holds
    Reclaimed,    // FOUND.nnn/FILEnnnn.CHK or FSCKnnnn.REC that chkdsk or fsck made of a lost chain
    FreeCluster,  // a cluster no entry holds that begins with a WAVE header
    Headerless,   // audio without a header, as recorders that write it only at Stop leave it
};

struct Run {
    uint32_t first = 0, count = 0;
};

struct LostTake {
    size_t volume = 0;  // index into Card::volumes
    Start start = Start::FreeCluster;
    std::string entry;      // the card's path of the entry that named it, or empty
    bool entry_holds = false;  // the entry's own first cluster is where the take begins
    uint32_t first = 0;     // its first cluster
    std::vector<Run> runs;  // its clusters, in order
    uint64_t skip = 0;      // bytes of the clusters before the take's own (what followed an older take)
    uint64_t bytes = 0;     // the file's length: the header lent to it, then its clusters' bytes from `skip`
    uint64_t own_bytes = 0;       // how much of it the entry held (StaleEntry, Reclaimed)
    uint32_t fat_links = 0;       // steps taken by the FAT
    uint32_t held_skipped = 0;    // clusters passed over because a live file or another take held them
    std::string stopped;          // why the walk ended, in words
    std::string name;             // the file to write, relative to the folder given, with '/' between folders
    std::vector<uint8_t> header;  // Headerless: a healthy take's header, written before the clusters
    std::string format_from;      // that take's path on the card, or the file given with --like
    bool older = false;           // closed properly long ago: its header's sizes agree, and it ends there
    int after_end_of = -1;        // the index of the take whose end this follows, kept apart from it
    std::string apart_why;        // why it was kept apart, in words
    std::string own_name;         // the file name its bext or iXML chunk gives
    std::string named_by;         // how its name was chosen, in words
    bool unsettled = false;       // its walk reached clusters not read yet: not final
    bool name_guessed = false;    // its name came from an order of entries that may not be theirs
    uint64_t blank_dropped = 0;   // bytes of whole sectors of 00 or FF dropped from its end
    size_t group = 0;             // how many takes were recorded with it, itself included; 0 alone
    bool no_format() const { return start == Start::Headerless && header.empty(); }
};

struct Findings {
    Card card;
    std::vector<LostTake> takes;
    uint32_t deleted = 0;  // takes the user deleted, left alone
    uint64_t scanned = 0;  // bytes of clusters no entry holds, each read once
};

struct FindOptions {
    size_t scan_step = size_t{1} << 20;  // the most bytes of free clusters read at once: within the CPU's cache
    std::vector<uint8_t> like;           // a header the user trusts, for takes that have none
    std::string like_path;
    Progress* progress = nullptr;        // told how far reading has come
};

// Reads the card and finds every take it lost.
Findings find_lost_takes(ByteSource& source, uint64_t length, const FindOptions& options = {});

// What a take's sound was listened over to hear where it stops (take_junction.cpp): its clusters,
// the header lent to it, and where in its file the listening began and ended, on what grain of
// sectors. The same bytes heard again stop at the same place.
struct Hearing {
    std::vector<Run> runs;
    std::vector<uint8_t> header;
    uint64_t skip = 0, from = 0, length = 0, phase = 0;
    bool operator<(const Hearing& other) const;
};

// What reading a card has learnt so far: what each cluster read holds, so that a second look
// reads nothing twice. Its structures go with the takes found first, and come back for the rest.
struct CardReading {
    // What a live entry's header says: a take still being recorded (`own`, its clusters), or a
    // healthy take whose header can lend a format (`header`); read once, whatever the phase.
    struct Look {
        bool read = false;
        std::vector<uint32_t> own;
        std::vector<uint8_t> header;
    };
    Card card;
    std::vector<std::vector<uint8_t>> flags;              // each volume's clusters
    std::vector<std::map<uint32_t, uint32_t>> riff;       // the RIFF size in each that begins with a header
    std::vector<std::vector<Look>> looks;                 // each volume's entries
    std::vector<std::map<Hearing, uint64_t>> heard;       // each volume's: where each take's sound stopped
    uint64_t scanned = 0;
    std::vector<uint8_t> buffer;  // what the clusters are read into
    ProgressReport progress;  // how far the whole job has come, across both phases
};

// First the card's structures and the clusters where the recorder was writing: after each
// volume's last live cluster, from the start of its data area as an allocator starts after a
// mount, and from the first cluster of each entry a recorder left open. The takes found there
// whose every cluster has been read; `reading` keeps what was read.
Findings find_hot_takes(ByteSource& source, uint64_t length, const FindOptions& options, CardReading& reading);
// Then every cluster not read yet, and every take, as one read of the whole card finds them;
// `card` is the card those first takes were found on.
Findings find_all_takes(ByteSource& source, const FindOptions& options, CardReading& reading, Card&& card);

// The same take: the same bytes of the card under the same name.
bool same_take(const LostTake& a, const LostTake& b);

// A take's bytes after its header, as spans of the card in order.
struct Span {
    uint64_t offset, length;
};
std::vector<Span> card_spans(const Volume& volume, const LostTake& take);

// The bytes of one take, read through its clusters: what the repair and the writer read.
class TakeSource : public ByteSource {
public:
    TakeSource(ByteSource& card, const Volume& volume, const std::vector<Run>& runs,
               const std::vector<uint8_t>& header = {}, uint64_t skip = 0);
    TakeSource(ByteSource& card, const Volume& volume, const LostTake& take)
        : TakeSource(card, volume, take.runs, take.header, take.skip) {}
    bool read_at(uint64_t offset, uint8_t* buf, size_t count) override;

private:
    bool read_clusters(uint64_t offset, uint8_t* buf, size_t count);

    ByteSource& card_;
    Volume volume_;
    std::vector<Run> runs_;
    std::vector<uint8_t> header_;
    uint64_t skip_;
};

}  // namespace ostrel::card
