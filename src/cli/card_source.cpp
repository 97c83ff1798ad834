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

std::string time_left(double seconds) {
    char text[32];
    if (seconds >= 90)
        std::snprintf(text, sizeof text, "%.0f min", seconds / 60);
    else
        std::snprintf(text, sizeof text, "%.0f s", seconds);
    return text;
}

}  // namespace

std::string megabytes(double bytes) {
    char text[32];
    std::snprintf(text, sizeof text, bytes >= 1e9 ? "%.1f GB" : "%.0f MB", bytes >= 1e9 ? bytes / 1e9 : bytes / 1e6);
    return text;
}

CardSource::CardSource(File& file, uint64_t length, bool progress)
    : file_(file), length_(length), progress_(progress), started_(std::chrono::steady_clock::now()), last_(started_) {}

bool CardSource::read_at(uint64_t offset, uint8_t* buf, size_t count) {
    if (offset > length_ || count > length_ - offset || stopped()) return false;
    if (!io::read_at(file_, offset, buf, count)) {
        gone_ = source_gone();
        if (!gone_) retry(offset, buf, count, kRetryPiece);
    }
    if (stopped()) return false;  // what the card did not give is no part of any take
    read_ += count;
    reached_ = offset + count > reached_ ? offset + count : reached_;
    show(reached_);
    return true;
}

bool CardSource::stopped() const { return gone_ || interrupted(); }

void CardSource::phase(const char* words, bool whole) {
    phase_ = words, whole_ = whole;
    read_ = 0, started_ = std::chrono::steady_clock::now();
}

void CardSource::end_progress() {
    if (shown_) std::fputs("\r\033[K", stderr);
    shown_ = false;
}

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

void CardSource::show(uint64_t at) {
    const auto now = std::chrono::steady_clock::now();
    if (!progress_ || now - last_ < std::chrono::milliseconds(250)) return;
    last_ = now;
    const double seconds = std::chrono::duration<double>(now - started_).count();
    const double speed = seconds > 0 ? static_cast<double>(read_) / seconds : 0;
    if (!whole_) {
        std::fprintf(stderr, "\r\033[K%s: %s read", phase_, megabytes(static_cast<double>(read_)).c_str());
    } else {
        const double left = speed > 0 ? static_cast<double>(length_ - at) / speed : 0;
        std::fprintf(stderr, "\r\033[K%s: %s of %s, %s/s, %s left", phase_,
                     megabytes(static_cast<double>(at)).c_str(), megabytes(static_cast<double>(length_)).c_str(),
                     megabytes(speed).c_str(), time_left(left).c_str());
    }
    shown_ = true;
}

}  // namespace ostrel::io
