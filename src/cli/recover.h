// --recover: the takes a card lost, read from the card or an image of it without writing to
// it, each written as a repaired WAVE file into a folder on another disk.
#pragma once

#include <string>
#include <vector>

struct RecoverOptions {
    std::string into;  // the folder the takes go into; made if missing
    bool check = false;    // say what would be recovered, and write nothing
    bool verbose = false;  // after each take, where it lay and how it was followed
    std::string like;      // a WAVE file whose format a take found without a header gets
};

// Returns the exit status: 0 every take found was written or already there (or none found), 1 a
// take could not be written or a source could not be read, 2 the arguments cannot be used (the
// folder and the card swapped, a --like file that lends no format). With check: 0 none found, 1
// some would be recovered, 2 a source could not be read.
int recover(const RecoverOptions& options, const std::vector<std::string>& sources);
