// A lost take in words: where it lay on the card, for its report line, and how it was found,
// followed and ended, for -v. Shared by the command line and the web page.
#pragma once

#include <string>
#include <vector>

#include "lost_takes.h"

namespace ostrel::card {

// Where the take was found, for its report line: the card's path of its entry, or its cluster.
std::string take_where(const Findings& f, const LostTake& take);
// "FAT32, 32768-byte clusters, partition 1 of an MBR"
std::string volume_words(const Volume& v);
// The take's clusters, where it began, how it was followed and why it stopped, for -v.
std::vector<std::string> take_detail(const Findings& f, const LostTake& take);

}  // namespace ostrel::card
