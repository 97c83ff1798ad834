#include "progress.h"

#include <cstdio>

namespace ostrel::card {

namespace {

std::string time_left(double seconds) {
    char text[32];
    std::snprintf(text, sizeof text, seconds >= 90 ? "%.0f min" : "%.0f s", seconds >= 90 ? seconds / 60 : seconds);
    return text;
}

// The bar: reading every cluster once is most of the job. Sharing out after a read may take up
// to half of what is left of it, as much less as the clusters it shares are fewer than the card's.
double bar(const ProgressReport& r, double at_step) {
    const uint64_t read = r.read < r.to_read ? r.read : r.to_read;
    const double reading = r.to_read ? 0.9 * static_cast<double>(read) / static_cast<double>(r.to_read) : 0.9;
    if (r.step != ProgressReport::Step::Sharing || r.total == 0 || r.to_read == 0) return reading;
    const double part = r.done < r.total ? static_cast<double>(r.done) / static_cast<double>(r.total) : 1;
    const double share = r.total < r.to_read ? static_cast<double>(r.total) / static_cast<double>(r.to_read) : 1;
    return at_step + (1 - at_step) * 0.5 * share * part;
}

}  // namespace

std::string megabytes(double bytes) {
    char text[32];
    std::snprintf(text, sizeof text, bytes >= 1e9 ? "%.1f GB" : "%.0f MB", bytes >= 1e9 ? bytes / 1e9 : bytes / 1e6);
    return text;
}

void ProgressText::pause(double seconds) {
    if (step_ >= 0) spent_[step_] += seconds - started_, units_[step_] += last_ - from_;
    step_ = -1;
}

bool ProgressText::update(const ProgressReport& r, double seconds) {
    const int step = static_cast<int>(r.step);
    if (step != step_ || r.done < last_) {  // another step, or the next group shared out
        pause(seconds);
        step_ = step, started_ = seconds, from_ = r.done, bar_at_step_ = fraction, shown_ = -1;
    }
    last_ = r.done;
    const double now = bar(r, bar_at_step_);
    fraction = now > fraction ? now : fraction;
    if (shown_ >= 0 && seconds - shown_ < 0.25) return false;
    shown_ = seconds;
    // How fast this step has gone, over every time it ran.
    const double spent = spent_[step] + seconds - started_;
    const double units = static_cast<double>(units_[step] + (r.done > from_ ? r.done - from_ : 0));
    const double speed = spent >= 0.25 && units > 0 ? units / spent : 0;
    const bool sharing = r.step == ProgressReport::Step::Sharing, rest = r.step == ProgressReport::Step::Rest;
    text = sharing ? "sharing out the clusters of " + std::to_string(r.takes) + " takes recorded together"
           : rest  ? "reading the rest of the card"
                   : "looking where the recorder was writing";
    text += ": " + megabytes(static_cast<double>(r.done)) + (rest ? " of " : " of at most ") +
            megabytes(static_cast<double>(r.total));
    if (speed > 0 && !sharing) text += ", " + megabytes(speed) + "/s";
    if (speed > 0) {
        const double left = static_cast<double>(r.total > r.done ? r.total - r.done : 0) / speed;
        text += (rest ? ", " : ", at most ") + time_left(left) + " left";
    }
    return true;
}

}  // namespace ostrel::card
