// Folders that never reached their parent: a driver writing through a cache (Linux's vfat, at
// fsync) writes a file's entry in its folder's cluster but not that folder's entry in its
// parent. The cluster still holds the takes' names, sizes and first clusters; read as the folder
// it is, it names them, and is never taken for audio. Pure over ByteSource, as the file-system
// reader is.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "byte_source.h"
#include "card_layout.h"

namespace ostrel::card {

// Whether a cluster's bytes are a folder's entries: on FAT, `.` and `..` first, or a run of
// valid short entries and long-name sets whose checksums match; on exFAT, entry sets whose
// checksums match. Every entry before the first unused one must be one.
bool holds_entries(FsKind kind, const uint8_t* cluster, size_t bytes);

// Reads each of `candidates` (clusters that hold entries) that no directory holds yet as a
// folder, in order: under the name a deleted or broken entry pointing to it gives, else
// "folder-clusterN". A cluster whose entries give a file a first cluster the FAT or the bitmap
// leaves free, or that another file holds, is an older card's folder, and is left as it is.
// Returns how many were read.
size_t adopt_lost_folders(ByteSource& source, VolumeContents& vc, const std::vector<uint32_t>& candidates);

}  // namespace ostrel::card
