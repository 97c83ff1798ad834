// Inside one volume: its allocation table and its directories, FAT and exFAT alike.
#pragma once

#include "card_layout.h"

namespace ostrel::card {

// The volume's FAT, every directory entry below its root, and the clusters those entries hold.
VolumeContents read_volume(ByteSource& source, const Volume& volume);

}  // namespace ostrel::card
