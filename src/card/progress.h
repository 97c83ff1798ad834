// How far reading a card has come: what the finder tells the shell as it goes, and the words and
// the share of the whole job that the command line and the page show from it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace ostrel::card {

struct ProgressReport {
    // The first look where the recorder was writing; sharing out the clusters of takes recorded
    // together, listening to them, after a read; reading the rest of the card.
    enum class Step { FirstLook, Sharing, Rest } step = Step::FirstLook;
    uint64_t done = 0, total = 0;    // bytes of this step, of at most `total`
    size_t takes = 0;                // Sharing: how many takes were recorded together
    uint64_t read = 0, to_read = 0;  // the whole job: bytes of clusters read, of all it will read
};

// Told as often as every read and every few clusters; what it shows it must choose cheaply.
class Progress {
public:
    virtual ~Progress() = default;
    virtual void report(const ProgressReport& report) = 0;
};

// "12 MB", "1.2 GB"
std::string megabytes(double bytes);

// The line to show for the reports, at most four times a second and whenever the step changes,
// each step's time left from how fast that step has gone so far; and the share of the whole job
// done, for a bar, which never goes back. `seconds`: since the job began, read by the shell.
class ProgressText {
public:
    bool update(const ProgressReport& report, double seconds);
    // The finder has returned: what the shell does now is no step's time.
    void pause(double seconds);
    std::string text;
    double fraction = 0;

private:
    static constexpr int kSteps = 3;
    int step_ = -1;
    double started_ = 0, shown_ = -1, spent_[kSteps] = {}, bar_at_step_ = 0;
    uint64_t from_ = 0, last_ = 0, units_[kSteps] = {};
};

}  // namespace ostrel::card
