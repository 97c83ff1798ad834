// The takes a card lost: recordings whose audio is on the card in clusters that no directory
// entry holds, as a power cut mid-take leaves them. Found from what read_card saw and one read
// of every cluster no entry holds; nothing is written.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "byte_source.h"
#include "card_layout.h"

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
    uint32_t first = 0;     // its first cluster
    std::vector<Run> runs;  // its clusters, in order
    uint64_t bytes = 0;
    uint64_t own_bytes = 0;       // how much of it the entry held (StaleEntry, Reclaimed)
    uint32_t fat_links = 0;       // steps taken by the FAT
    uint32_t held_skipped = 0;    // clusters passed over because a live file or another take held them
    std::string stopped;          // why the walk ended, in words
    std::string name;             // the file to write, relative to the folder given, with '/' between folders
    std::vector<uint8_t> header;  // Headerless: a healthy take's header, written before the clusters
    std::string format_from;      // that take's path on the card
};

struct Findings {
    Card card;
    std::vector<LostTake> takes;
    uint32_t deleted = 0;  // takes the user deleted, left alone
    uint64_t scanned = 0;  // bytes of clusters no entry holds, each read once
};

// Reads the card and finds every take it lost. `scan_step` bounds each read of free clusters.
Findings find_lost_takes(ByteSource& source, uint64_t length, size_t scan_step = size_t{4} << 20);

// The bytes of one take, read through its clusters: what the repair and the writer read.
class TakeSource : public ByteSource {
public:
    TakeSource(ByteSource& card, const Volume& volume, const std::vector<Run>& runs,
               const std::vector<uint8_t>& header = {});
    bool read_at(uint64_t offset, uint8_t* buf, size_t count) override;

private:
    bool read_clusters(uint64_t offset, uint8_t* buf, size_t count);

    ByteSource& card_;
    Volume volume_;
    std::vector<Run> runs_;
    std::vector<uint8_t> header_;
};

// Where the take was found, for its report line: the card's path of its entry, or its cluster.
std::string take_where(const Findings& f, const LostTake& take);
// "FAT32, 32768-byte clusters, partition 1 of an MBR"
std::string volume_words(const Volume& v);
// The take's clusters, where it began, how it was followed and why it stopped, for -v.
std::vector<std::string> take_detail(const Findings& f, const LostTake& take);

}  // namespace ostrel::card
