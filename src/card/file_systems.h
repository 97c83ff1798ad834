// Inside one volume: its allocation table and its directories, FAT and exFAT alike.
#pragma once

#include <string>

#include "card_layout.h"

namespace ostrel::card {

// The volume's FAT, every directory entry below its root, and the clusters those entries hold.
VolumeContents read_volume(ByteSource& source, const Volume& volume);

// A folder at cluster `first` that no directory lists, read as a live one is, under `path`: its
// files and folders join vc.files, and the clusters they hold vc.live.
void read_lost_folder(ByteSource& source, VolumeContents& vc, uint32_t first, const std::string& path);

// The checksum of a short name that its long name's pieces carry, over its 11 bytes.
uint8_t short_name_sum(const uint8_t* e);
// exFAT's entry set checksum, over every entry of the set but the checksum itself.
uint16_t set_checksum(const uint8_t* set, size_t count);

}  // namespace ostrel::card
