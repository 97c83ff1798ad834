// How a memory card is laid out, read from an image or a device through a ByteSource and never
// written: the partition table (none, MBR or GPT), each FAT12/16/32 or exFAT volume in it, its
// allocation table, and every directory entry. Pure: the command line and the web page give it
// their own ByteSource.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "byte_source.h"

namespace ostrel::card {

enum class FsKind { Fat12, Fat16, Fat32, ExFat };

// Cluster numbers start at 2 on both file systems.
constexpr uint32_t kFirstCluster = 2;

struct Volume {
    FsKind kind = FsKind::Fat32;
    int partition = 0;                         // 0: the whole source; else its number in the table, from 1
    const char* table = "no partition table";  // or "MBR", "GPT"
    uint64_t offset = 0;                       // of the boot sector in the source
    uint32_t sector_bytes = 512;
    uint32_t cluster_bytes = 0;
    uint64_t heap = 0;               // where cluster 2 begins, in the source
    uint32_t clusters = 0;           // clusters 2 .. clusters + 1 lie inside the source
    uint32_t declared_clusters = 0;  // as the boot sector counts them
    uint64_t fat_offset = 0;         // the active FAT, in the source
    uint64_t root_offset = 0;        // FAT12/16: the fixed root directory
    uint32_t root_bytes = 0;
    uint32_t root_cluster = 0;   // FAT32 and exFAT
    uint32_t next_free = 0;      // FAT32: where its FSInfo says the allocator goes on, or 0
    uint64_t source_length = 0;  // nothing past it is read
    bool truncated() const { return clusters < declared_clusters; }
    uint32_t end() const { return kFirstCluster + clusters; }  // one past the last cluster
    uint64_t cluster_offset(uint32_t c) const { return heap + uint64_t{c - kFirstCluster} * cluster_bytes; }
};

// A directory entry of a file, live or deleted, with its path from the volume's root.
struct Entry {
    std::string path;
    uint32_t first = 0;
    uint64_t size = 0;
    bool deleted = false;
    bool contiguous = false;  // exFAT's NoFatChain: the file's clusters follow each other
    uint32_t modified = 0;    // date and time as stored, which order as numbers do
    uint32_t slots = 1;         // the 32-byte directory entries it takes, its long name's included
    uint32_t holes_before = 0;  // free entries before it in its directory, which a new entry may fill
};

// A volume with its allocation table and what its directories hold. `live` marks every cluster
// that a directory entry holds: directories, the file system's own tables, and each live file
// of more than 0 bytes for as many clusters as its size needs.
struct VolumeContents {
    Volume volume;
    std::vector<uint32_t> fat;  // the raw entry of every cluster below volume.end()
    std::vector<Entry> files;
    std::vector<uint8_t> live;       // 1 per cluster below volume.end()
    std::vector<uint8_t> allocated;  // exFAT: 1 per cluster its allocation bitmap marks; empty on FAT
    std::vector<std::string> notes;  // what was found wrong, in words
    std::vector<Entry> gone_folders;  // folders an entry no walk follows still names: deleted, or a broken set
    bool link(uint32_t value) const { return value >= kFirstCluster && value < volume.end(); }
    // The clusters of a file from `first`, `count` of them, by the FAT or one after another;
    // stops early where the chain breaks, loops or leaves the volume.
    std::vector<uint32_t> chain(uint32_t first, uint64_t count, bool by_fat) const;

private:
    mutable std::vector<uint8_t> seen_;  // the walk that last met each cluster, of the last 255
    mutable uint8_t epoch_ = 0;
};

struct Card {
    std::string error;  // the source holds no volume that can be read, in words; else empty
    std::vector<VolumeContents> volumes;
    std::vector<std::string> notes;  // partitions that were skipped, and why
};

// Reads the partition table, each FAT or exFAT volume's boot sector, allocation table and
// directories. Every walk is bounded by the volume's size; nothing read can make it loop.
Card read_card(ByteSource& source, uint64_t length);

const char* kind_name(FsKind kind);

// True when a source's first 512 bytes are a FAT or exFAT boot sector, or a partition table: a
// card's image or device, not a file on it.
bool looks_like_card(const uint8_t* sector);

}  // namespace ostrel::card
