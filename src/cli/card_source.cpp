#include "card_source.h"

#include <cstdio>
#include <cstring>
#include <iterator>

#include "card_io.h"

namespace ostrel::io {

namespace {

// A read a failing card refuses is tried again in pieces, and a piece that fails sector by
// sector, so that one bad sector costs only its own 512 bytes.
constexpr size_t kRetryPiece = 65536;
constexpr size_t kSector = 512;

}  // namespace

CardSource::CardSource(File& file, uint64_t length) : file_(file), length_(length) {}

bool CardSource::read_at(uint64_t offset, uint8_t* buf, size_t count) {
    if (offset > length_ || count > length_ - offset || stopped()) return false;
    if (!io::read_at(file_, offset, buf, count)) {
        gone_ = source_gone();
        if (!gone_) retry(offset, buf, count, kRetryPiece);
    }
    if (stopped()) return false;  // what the card did not give is no part of any take
    reached_ = offset + count > reached_ ? offset + count : reached_;
    return true;
}

bool CardSource::stopped() const { return gone_ || interrupted(); }


void CardSource::retry(uint64_t offset, uint8_t* buf, size_t count, size_t piece) {
    for (size_t at = 0; at < count; at += piece) {
        const size_t n = count - at < piece ? count - at : piece;
        if (io::read_at(file_, offset + at, buf + at, n)) continue;
        if ((gone_ = source_gone())) return;
        if (piece > kSector) {
            retry(offset + at, buf + at, n, kSector);
            continue;
        }
        std::memset(buf + at, 0, n);
        note(offset + at, n);
    }
}

void CardSource::note(uint64_t offset, uint64_t n) {
    if (!recent.empty() && recent.back().offset + recent.back().length == offset)
        recent.back().length += n;
    else
        recent.push_back({offset, n});
    auto before = failed.upper_bound(offset);
    if (before != failed.begin() && std::prev(before)->second >= offset) {
        auto& end = std::prev(before)->second;
        end = end > offset + n ? end : offset + n;
    } else {
        failed[offset] = offset + n;
    }
}

void ProgressLine::report(const card::ProgressReport& report) {
    if (!shown_ || !words_.update(report, seconds())) return;
    std::fprintf(stderr, "\r\033[K%3.0f%% %s", 100 * words_.fraction, words_.text.c_str());
    showing_ = true;
}

double ProgressLine::seconds() const {
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - started_).count();
}

void ProgressLine::end() {
    words_.pause(seconds());
    if (showing_) std::fputs("\r\033[K", stderr);
    showing_ = false;
}

}  // namespace ostrel::io
