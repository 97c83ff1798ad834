// The card as --recover reads it: never written; a read it refuses is tried again in smaller
// pieces, and what it will not give reads as zeros and is noted; reading stops when the user
// asks or the card is gone; and on a terminal, how far the finder has come.
#pragma once

#include <chrono>
#include <cstdint>
#include <map>
#include <string>
#include <vector>

#include "byte_source.h"
#include "file_io.h"
#include "progress.h"

namespace ostrel::io {

struct Area {
    uint64_t offset, length;
};

// What a failing card will not give is noted in `failed` once, however often it is read, and in
// `recent` each time, so that each take can say which of its bytes are zeros.
class CardSource : public ostrel::ByteSource {
public:
    CardSource(File& file, uint64_t length);
    bool read_at(uint64_t offset, uint8_t* buf, size_t count) override;

    // Asked to stop, or the card is gone: no more is read.
    bool stopped() const;
    bool gone() const { return gone_; }
    uint64_t reached() const { return reached_; }
    uint64_t length() const { return length_; }

    std::map<uint64_t, uint64_t> failed;  // offset -> end, each area once
    std::vector<Area> recent;

private:
    void retry(uint64_t offset, uint8_t* buf, size_t count, size_t piece);
    void note(uint64_t offset, uint64_t n);

    File& file_;
    uint64_t length_;
    bool gone_ = false;
    uint64_t reached_ = 0;
};

// The finder's progress on one line of standard error, rewritten in place, where it is a
// terminal: at most four times a second, as dd status=progress does, with the job's share done.
class ProgressLine : public card::Progress {
public:
    explicit ProgressLine(bool shown) : shown_(shown) {}
    void report(const card::ProgressReport& report) override;
    void end();

private:
    bool shown_, showing_ = false;
    double seconds() const;

    card::ProgressText words_;
    std::chrono::steady_clock::time_point started_ = std::chrono::steady_clock::now();
};

}  // namespace ostrel::io
