// The card as --recover reads it: never written; a read it refuses is tried again in smaller
// pieces, and what it will not give reads as zeros and is noted; reading stops when the user
// asks or the card is gone; and on a terminal it says how far it has come.
#pragma once

#include <chrono>
#include <cstdint>
#include <map>
#include <string>
#include <vector>

#include "byte_source.h"
#include "file_io.h"

namespace ostrel::io {

// "12 MB", "1.2 GB"
std::string megabytes(double bytes);

struct Area {
    uint64_t offset, length;
};

// What a failing card will not give is noted in `failed` once, however often it is read, and in
// `recent` each time, so that each take can say which of its bytes are zeros. The progress shows
// at most four times a second, as dd status=progress does.
class CardSource : public ostrel::ByteSource {
public:
    CardSource(File& file, uint64_t length, bool progress);
    bool read_at(uint64_t offset, uint8_t* buf, size_t count) override;

    // Asked to stop, or the card is gone: no more is read.
    bool stopped() const;
    bool gone() const { return gone_; }
    uint64_t reached() const { return reached_; }
    uint64_t length() const { return length_; }

    // What the reading is for, said before its figures. Only reading the whole card shows how
    // far it has to go.
    void phase(const char* words, bool whole);
    void end_progress();

    std::map<uint64_t, uint64_t> failed;  // offset -> end, each area once
    std::vector<Area> recent;

private:
    void retry(uint64_t offset, uint8_t* buf, size_t count, size_t piece);
    void note(uint64_t offset, uint64_t n);
    void show(uint64_t at);

    File& file_;
    uint64_t length_;
    bool progress_, shown_ = false, gone_ = false, whole_ = true;
    const char* phase_ = "reading the card";
    uint64_t read_ = 0, reached_ = 0;
    std::chrono::steady_clock::time_point started_, last_;
};

}  // namespace ostrel::io
