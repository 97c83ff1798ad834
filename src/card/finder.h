// What the finder's parts share: the flags each cluster earns in the one scan of the volume,
// and the steps from a take's first cluster to its file: following, ending, naming.
#pragma once

#include <cstdint>
#include <map>
#include <string>
#include <vector>

#include "lost_takes.h"

namespace ostrel::card {

// Space never written on a fresh or erased card reads as all 00 or all FF; digital silence in a
// take is rarely this long.
constexpr uint64_t kBlankRun = uint64_t{1} << 20;
constexpr uint64_t kFatFileLimit = 0xFFFFFFFFu;
// A header lent to a headerless take comes from a healthy take's first bytes.
constexpr uint64_t kMaxHeaderBytes = 65536;
enum : uint8_t { kLive = 1, kUsed = 2, kHeader = 4, kBlank = 8 };

bool blank(const uint8_t* b, size_t n);
std::vector<Run> runs_of(const std::vector<uint32_t>& clusters);
// RIFF, RF64 or BW64, then WAVE, with a fmt chunk the repair can read.
bool wave_header(const uint8_t* b, size_t n);

struct VolumeScan {
    ByteSource& source;
    const VolumeContents& vc;
    std::vector<uint8_t> flags;
    std::map<uint32_t, uint32_t> riff;  // the RIFF size in each cluster that begins with a header

    // One read of every cluster no entry holds, `step` bytes at most at a time.
    uint64_t scan(size_t step);
    void classify(uint32_t c, const uint8_t* b);
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

// The clusters of a take from its first ones, as the recorder's allocator gave them.
std::vector<uint32_t> follow(const VolumeContents& vc, std::vector<uint8_t>& flags, LostTake& take,
                             std::vector<uint32_t> list, bool by_fat);

// A free cluster's take whose header's sizes agree ends where its header says: `take` is cut
// there, and what the walk added after it is returned as a take of its own (or none).
bool end_by_own_header(ByteSource& source, const Volume& volume, LostTake& take, LostTake& after);

// The file each take is written to, and how it was chosen.
void name_takes(Findings& f);

// The file name a take's bext or iXML chunk gives, or empty.
std::string name_in_header(ByteSource& take, uint64_t length);

}  // namespace ostrel::card
