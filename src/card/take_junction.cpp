// A take's samples predicted from the ones before them: a short linear predictor fitted on the
// take's own audio leaves a small error wherever the take goes on, and a burst of error for the
// few frames after a point where other audio was put after it. A sector boundary is the take's
// end only where that burst stands far above anything the take's own audio did before it.
#include "take_junction.h"

#include "finder.h"

#include <algorithm>
#include <cmath>
#include <tuple>

namespace ostrel::card {

namespace {

constexpr size_t kOrder = 16;     // the predictor's taps
constexpr size_t kTrain = 2048;   // frames it is fitted on
constexpr size_t kBurst = 2;      // frames after a boundary whose error is weighed
constexpr size_t kSide = 256;     // frames before it that say how well the take predicts itself
constexpr size_t kBlock = 16384;  // frames judged with one fit
constexpr double kDecisive = 40;  // the burst against the error before it, at the least
constexpr double kAboveOwn = 4;   // and against the most the take's own audio showed
constexpr double kDrifted = 2.5;  // the error after a boundary against the error before it, at the least
constexpr double kDriftAboveOwn = 1.8;  // and against the most the take's own audio showed
constexpr uint64_t kOwnHeard = 8192;    // frames of the take's own audio heard before its drift may end it
constexpr double kUsual = 0.25;         // the least power, against the take's usual, for its error alone to tell
constexpr double kFallen = 0.125;       // the most power after a boundary, against before it, that says the take stopped
constexpr double kQuieter = 0.25;       // the least power after a boundary, against before it, for its drift to tell
constexpr double kNoisy = 30;           // the take's power over its error below which only its drift can tell
constexpr double kPredictable = 8;  // the take's power over its error, for the prediction to speak
constexpr double kRescued = 12;   // the most junction_score's answer may be above kContinues
constexpr uint64_t kMostScanned = uint64_t{8} << 20;  // of a take's end, read again to listen
constexpr size_t kZeroFrames = 8;   // zeros after a take's last written frame, at the least
constexpr size_t kZeroLead = 64;    // frames before them whose loudness is weighed

// `n` samples of one channel, the first at `p`, a frame apart: floats on the scale of 16-bit
// integers, so that the errors' small constants weigh alike.
void values(const Grid& g, const uint8_t* p, size_t n, double* x) {
    samples_of(g, p, n, x);
    if (g.is_float)
        for (size_t i = 0; i < n; ++i) x[i] *= 32768.0;
}

// Frames of `bytes` (whose first byte is at file offset `at`) that lie whole inside it, one
// channel after another: x[c][i] is channel c of the i-th frame from `first`.
struct Frames {
    uint64_t first = 0;  // the grid's index of the first frame
    std::vector<std::vector<double>> x;
    size_t size() const { return x.empty() ? 0 : x[0].size(); }
};

// The same into `f`, whose vectors are kept from call to call: only what they lack is allocated.
void frames_into(const Grid& g, const uint8_t* bytes, size_t n, uint64_t at, Frames& f) {
    f.first = 0;
    for (std::vector<double>& x : f.x) x.clear();
    if (at + n < g.data_start + g.frame_bytes) return;
    const uint64_t from = at <= g.data_start ? 0 : (at - g.data_start + g.frame_bytes - 1) / g.frame_bytes;
    const uint64_t to = (at + n - g.data_start) / g.frame_bytes;
    f.first = from;
    const size_t count = to > from ? static_cast<size_t>(to - from) : 0;
    f.x.resize(g.channels);
    if (count == 0) return;
    const uint8_t* first = bytes + (g.data_start + from * g.frame_bytes - at);
    for (uint32_t c = 0; c < g.channels; ++c) {
        f.x[c].resize(count);
        values(g, first + c * g.sample_bytes, count, f.x[c].data());
    }
}

Frames frames_of(const Grid& g, const uint8_t* bytes, size_t n, uint64_t at) {
    Frames f;
    frames_into(g, bytes, n, at, f);
    return f;
}

// A predictor fitted on x[from, to) by Levinson's recursion on its autocorrelation; a[0] unused.
// `gain`: the power of x there over the predictor's error.
std::vector<double> fit(const std::vector<double>& x, size_t from, size_t to, double& gain) {
    std::vector<double> r(kOrder + 1, 0.0), a(kOrder + 1, 0.0), tmp(kOrder + 1);
    for (size_t k = 0; k <= kOrder; ++k)
        for (size_t i = from + k; i < to; ++i) r[k] += x[i] * x[i - k];
    gain = 1;
    if (r[0] <= 0) return a;
    r[0] *= 1 + 1e-9;
    double err = r[0];
    for (size_t i = 1; i <= kOrder; ++i) {
        double acc = r[i];
        for (size_t j = 1; j < i; ++j) acc -= a[j] * r[i - j];
        const double k = acc / err;
        tmp = a;
        a[i] = k;
        for (size_t j = 1; j < i; ++j) a[j] = tmp[j] - k * tmp[i - j];
        err *= 1 - k * k;
        if (err <= r[0] * 1e-12) break;
    }
    gain = r[0] / std::max(err, r[0] * 1e-12);
    return a;
}

// The square of the predictor's error at x[i], from the kOrder samples before it (as many as there are).
double squared_error(const std::vector<double>& x, const std::vector<double>& a, size_t i) {
    double p = x[i];
    for (size_t k = 1; k <= kOrder && k <= i; ++k) p -= a[k] * x[i - k];
    return p * p;
}

// The same for x[0..3], kOrder samples before each, added to e[0..3]: four at once, each summed
// in the same order as alone, so that the answer is the same to the last bit.
void squared_errors4(const double* x, const double* a, double* e) {
    double p0 = x[0], p1 = x[1], p2 = x[2], p3 = x[3];
    for (size_t k = 1; k <= kOrder; ++k) {
        const double ak = a[k];
        const double* back = x - k;
        p0 -= ak * back[0], p1 -= ak * back[1], p2 -= ak * back[2], p3 -= ak * back[3];
    }
    e[0] += p0 * p0, e[1] += p1 * p1, e[2] += p2 * p2, e[3] += p3 * p3;
}

// The error of each frame in [from, to), summed over the channels into `e`, each channel with
// its own predictor fitted on the kTrain frames before `fit_to`. `gain`: the least channel's.
void errors(const Frames& f, size_t fit_to, size_t from, size_t to, double& gain, std::vector<double>& e) {
    e.assign(to - from, 0.0);
    gain = 1e300;
    for (const std::vector<double>& x : f.x) {
        double g = 1;
        const std::vector<double> a = fit(x, fit_to - std::min(fit_to, kTrain), fit_to, g);
        gain = std::min(gain, g);
        size_t i = from;
        for (; i < to && i < kOrder; ++i) e[i - from] += squared_error(x, a, i);
        for (; i + 4 <= to; i += 4) squared_errors4(x.data() + i, a.data(), e.data() + (i - from));
        for (; i < to; ++i) e[i - from] += squared_error(x, a, i);
    }
}

// The burst of error over the kBurst frames from e[i] against the mean over the kSide before it
// and, where that is louder, over as many after it (at least 32): a new note's first frames are
// followed by more of its own error, another take's by audio that predicts itself as well.
double burst(const std::vector<double>& sum, size_t i) {
    const size_t n = std::min(kSide, sum.size() - 1 - std::min(sum.size() - 1, i + kBurst));
    const double after = (sum[i + kBurst] - sum[i]) / kBurst, before = (sum[i] - sum[i - kSide]) / kSide;
    const double next = n < 32 ? 0 : (sum[i + kBurst + n] - sum[i + kBurst]) / static_cast<double>(n);
    return after / (std::max(before, next) + 1.0);
}

}  // namespace

namespace {

// How the take's own predictor does across a junction: the burst of error just after it, and
// the error after it against the error before it. Silent (`speaks` false) where there are too
// few frames, or the audio on either side is too unpredictable for the prediction to tell.
struct Prediction {
    bool speaks = false;
    double burst = 0, drift = 1;  // drift: the error after the junction over the error before it
};

Prediction predict_across(const Grid& g, const std::vector<uint8_t>& before, uint64_t end,
                          const std::vector<uint8_t>& after) {
    Prediction p;
    if (!g.known || end < g.data_start + before.size()) return p;
    std::vector<uint8_t> both = before;
    both.insert(both.end(), after.begin(), after.begin() + static_cast<long>(std::min<size_t>(after.size(), 8192)));
    const Frames f = frames_of(g, both.data(), both.size(), end - before.size());
    const uint64_t junction = end <= g.data_start ? 0 : (end - g.data_start) / g.frame_bytes;  // its straddling frame
    if (junction < f.first + kSide + kOrder + 64 || junction + kBurst > f.first + f.size()) return p;
    const size_t at = static_cast<size_t>(junction - f.first), from = at - kSide;
    double gain = 1;
    std::vector<double> e;
    errors(f, from, from, std::min(f.size(), at + kBurst + kSide), gain, e);
    if (gain < kPredictable) return p;
    for (const std::vector<double>& x : f.x) {  // and so must the audio after the junction be
        double after_gain = 1;
        fit(x, at + kBurst, x.size(), after_gain);
        if (after_gain < kPredictable) return p;
    }
    std::vector<double> sum(e.size() + 1, 0.0);
    for (size_t i = 0; i < e.size(); ++i) sum[i + 1] = sum[i] + e[i];
    const double own_error = (sum[at - from] - sum[at - from - kSide]) / kSide + 1;
    const size_t tail = e.size() - (at - from) - kBurst;
    if (tail < 32) return p;
    const double next = (sum.back() - sum[at - from + kBurst]) / static_cast<double>(tail) + 1;
    p.speaks = true, p.burst = burst(sum, kSide), p.drift = next / own_error;
    return p;
}

}  // namespace

double continuity_score(const Grid& g, const std::vector<uint8_t>& before, uint64_t end,
                        const std::vector<uint8_t>& after, double spectral) {
    // A colour far from the take's is not made up for: another track may predict itself as well.
    if (spectral > kRescued * kContinues) return spectral;
    const Prediction p = predict_across(g, before, end, after);
    if (!p.speaks) return spectral;
    // Where the take goes on, about 1; a jump of its own size, or a change of how well it is
    // predicted, far more.
    return std::min(spectral, p.burst / 4 * (1 + std::fabs(std::log(p.drift)) / 2));
}

double prediction_drift(const Grid& g, const std::vector<uint8_t>& before, uint64_t end,
                        const std::vector<uint8_t>& after) {
    const Prediction p = predict_across(g, before, end, after);
    return p.speaks ? p.drift : -1;
}

namespace {

// How much worse the block's predictor does over the kSide frames from e[i] than over the kSide
// before it: about 1 where the take goes on, and from a junction on, as long as other audio
// follows, as much worse as that audio is to the take's predictor.
double ratio(const std::vector<double>& sum, size_t i) {
    return ((sum[i + kSide] - sum[i]) / kSide + 1) / ((sum[i] - sum[i - kSide]) / kSide + 1);
}

// How the audio from frame i on drifts from the take's, from the prefix sums of the errors
// (`sum`) and of the audio's power. Its error against its power: a word or a note that begins
// out of a quiet passage is louder and its error with it, while other audio the predictor does
// not know raises the error alone. Where the take was at its usual loudness before i, the error
// alone too: other audio, louder, that the predictor knows no better. Where the audio after i is
// far quieter (the silence after a take's last sector), 0.
struct Drifts {
    const std::vector<double>& sum;
    const std::vector<double>& power;
    double usual;  // the take's power per frame, as heard so far

    double at(size_t i) const {
        const double louder = ratio(power, i), error = ratio(sum, i);
        if (louder <= kQuieter) return 0;
        const double before = (power[i] - power[i - kSide]) / kSide;
        return std::max(error / louder, before >= kUsual * usual ? error : 0);
    }
};

// What the scan of a take's end has heard of the take's own audio so far.
struct Heard {
    double burst = 0, drift = 0;  // the most each showed
    double power = 0;             // summed over the frames heard
    double fall = 1;              // the least power after a frame against before it
    uint64_t frames = 0;          // how many frames that is over
};

// The first sector boundary (file offsets `phase` modulo 512) at or after the start of grid
// frame `frame`: a recorder that wrote the take's last bytes into the middle of a sector left
// older bytes after them there, so the boundary before the frame may lie inside the take.
uint64_t boundary_from(const Grid& g, uint64_t frame, uint64_t phase) {
    const uint64_t byte = g.data_start + frame * g.frame_bytes;
    return byte + (512 + phase % 512 - byte % 512) % 512;
}

// Audio far quieter than the take's from a frame on, the take at its usual loudness before it,
// where the take's own audio never fell so: its audio stopped there, and quieter audio, or
// sectors never written, lie after it. The first sector boundary at or after the frame where
// the fall is deepest, so that none of the take is cut away; else 0.
uint64_t quiet_end(const Grid& g, const Frames& f, const std::vector<double>& power, size_t lo, size_t i,
                   const Heard& own, uint64_t phase) {
    const double usual = own.power / static_cast<double>(own.frames), fall = ratio(power, i);
    if (fall > kFallen || fall > own.fall / 2 || (power[i] - power[i - kSide]) / kSide < kUsual * usual) return 0;
    size_t deepest = i;
    for (size_t j = i; j <= i + kSide; ++j)  // i + 2 kSide frames are there
        if (ratio(power, j) < ratio(power, deepest)) deepest = j;
    return boundary_from(g, f.first + lo + deepest, phase);
}

// A file's last block that a cache wrote back (Linux writes 512-byte blocks) holds its audio up
// to the file's size at that moment, then zeros to the block's end; the blocks after it were never
// written, and hold older audio. Whether the frames before f.x[k], where a sector boundary is,
// are such zeros: at least kZeroFrames of them but less than a sector, after audio as loud as the
// take usually is, with audio again at the boundary. A take's own silence is longer, and begins
// out of quieter audio.
bool written_to_here(const Frames& f, size_t k, uint64_t frame_bytes, double usual) {
    const auto silent = [&f](size_t j) {
        for (const std::vector<double>& x : f.x)
            if (x[j] != 0) return false;
        return true;
    };
    const size_t sector = static_cast<size_t>(512 / frame_bytes);
    size_t zeros = 0;
    while (zeros <= sector && zeros < k && silent(k - 1 - zeros)) ++zeros;
    if (zeros < kZeroFrames || zeros >= sector || k < zeros + kZeroLead || k >= f.size() || silent(k)) return false;
    double p = 0;
    for (size_t j = k - zeros - kZeroLead; j < k - zeros; ++j)
        for (const std::vector<double>& x : f.x) p += x[j] * x[j];
    return p / kZeroLead >= kUsual * usual;
}

// One block of the scan: frames f.x from grid frame f.first, the prefix sums of their errors
// (`sum`) and of their power (`power`) from the frame lo frames in. The boundary where the
// take's audio decisively stops, or 0.
uint64_t block_end(const Grid& g, const Frames& f, const std::vector<double>& sum, const std::vector<double>& power,
                   size_t lo, uint64_t from,
                   uint64_t length, uint64_t phase, bool last, double gain, Heard& own) {
    const size_t n = sum.size() - 1;
    const uint64_t fb = g.frame_bytes;
    for (size_t i = kSide; i + kBurst <= n && (i + kBurst + kSide <= n || last); ++i) {
        const uint64_t frame = f.first + lo + i, byte = g.data_start + frame * fb;
        // A boundary inside this frame or at its start: the frame it straddles is weighed too.
        // Only there is its burst asked.
        const uint64_t next = byte + fb;
        const uint64_t boundary = (next - 1 - (next - 1 + 512 - phase % 512) % 512);
        if (boundary >= byte && boundary >= from && boundary < length) {
            const double b = burst(sum, i);
            if (b >= kDecisive && b >= kAboveOwn * own.burst) return boundary;
            if (own.frames >= kOwnHeard && written_to_here(f, lo + i, fb, own.power / static_cast<double>(own.frames)))
                return boundary;
        }
        // Other audio the take's predictor does worse on, for as long as it lasts: where the take
        // is noisy, its junction bursts no more than its own samples do (where it is not, the
        // burst tells, and the error of audio this predictable moves with every note). Its end is
        // the frame the drift peaks at, once it stands clear of anything the take's own audio did.
        // The kSide frames before the block's first are the ones its predictor was fitted on.
        const Drifts drifts{sum, power, own.frames ? own.power / static_cast<double>(own.frames) : 0};
        if (gain < kNoisy && i >= 2 * kSide && i + kSide <= n && own.frames >= kOwnHeard) {
            const double d = drifts.at(i);
            if (d >= kDrifted && d >= kDriftAboveOwn * own.drift) {
                size_t peak = i;
                for (size_t j = i; j <= i + kSide && j + kSide <= n; ++j)
                    if (drifts.at(j) > drifts.at(peak)) peak = j;
                const uint64_t end = boundary_from(g, f.first + lo + peak, phase);
                if (end >= from && end < length) return end;
            }
        }
        if (gain < kNoisy && own.frames >= kOwnHeard && i >= 2 * kSide && i + 2 * kSide <= n) {
            const uint64_t end = quiet_end(g, f, power, lo, i, own, phase);
            if (end >= from && end < length) return end;
        }
        if (i >= kSide + kBurst + kSide) {
            own.burst = std::max(own.burst, burst(sum, i - kBurst - kSide));
            if (i >= 4 * kSide) {
                const size_t k = i - 2 * kSide;
                own.drift = std::max(own.drift, drifts.at(k));
                own.power += power[k + 1] - power[k], ++own.frames;
                own.fall = std::min(own.fall, ratio(power, k));
            }
        }
    }
    return 0;
}

}  // namespace

uint64_t sound_end(const Grid& g, ByteSource& take, uint64_t from, uint64_t length, uint64_t phase) {
    if (!g.known || length <= from || from < g.data_start) return length;
    const uint64_t fb = g.frame_bytes, lead = (kTrain + kSide + kOrder) * fb;
    Heard own;
    // The take's own audio before `from` is heard too, to know how much its sound moves.
    const uint64_t heard_from = from - std::min(from - g.data_start, (2 * kOwnHeard + 4 * kSide) * fb);
    // Kept from block to block and from take to take, each block filling them afresh: a new
    // megabyte for every take listened to would cost more than the listening.
    struct Listening {
        std::vector<uint8_t> bytes;
        Frames f;
        std::vector<double> e, sum, power;
    };
    thread_local Listening kept;
    std::vector<uint8_t>& bytes = kept.bytes;
    Frames& f = kept.f;
    std::vector<double>& e = kept.e;
    std::vector<double>& sum = kept.sum;
    std::vector<double>& power = kept.power;
    for (uint64_t at = std::max(heard_from, g.data_start + (kSide + kOrder) * fb); at < length;) {
        const uint64_t start = at - std::min(at - g.data_start, lead);
        const uint64_t stop = std::min(length, at + (kBlock + kBurst + kSide) * fb);
        bytes.resize(static_cast<size_t>(stop - start));
        if (!take.read_at(start, bytes.data(), bytes.size())) return length;
        frames_into(g, bytes.data(), bytes.size(), start, f);
        const uint64_t first = at <= g.data_start ? 0 : (at - g.data_start) / fb;
        if (first < f.first + kSide + kOrder || first + kBurst >= f.first + f.size()) return length;
        const size_t i0 = static_cast<size_t>(first - f.first), lo = i0 - kSide;
        double gain = 1;
        errors(f, i0, lo, f.size(), gain, e);
        sum.resize(e.size() + 1);
        power.resize(e.size() + 1);
        sum[0] = power[0] = 0;
        for (size_t i = 0; i < e.size(); ++i) {
            sum[i + 1] = sum[i] + e[i];
            double p = 0;
            for (const std::vector<double>& x : f.x) p += x[lo + i] * x[lo + i];
            power[i + 1] = power[i] + p;
        }
        const uint64_t end = block_end(g, f, sum, power, lo, from, length, phase, stop == length, gain, own);
        if (end != 0) return end;
        // The next block's first frames are this one's last unheard ones, and those its drift
        // could not weigh.
        const uint64_t next = g.data_start + (f.first + f.size() - std::min(f.size(), kBurst + 2 * kSide)) * fb;
        if (next <= at) break;
        at = next;
    }
    return length;
}

}  // namespace ostrel::card

namespace ostrel::card {

bool Hearing::operator<(const Hearing& o) const {
    const auto before = [](const Run& a, const Run& b) { return std::tie(a.first, a.count) < std::tie(b.first, b.count); };
    if (std::lexicographical_compare(runs.begin(), runs.end(), o.runs.begin(), o.runs.end(), before)) return true;
    if (std::lexicographical_compare(o.runs.begin(), o.runs.end(), runs.begin(), runs.end(), before)) return false;
    return std::tie(header, skip, from, length, phase) < std::tie(o.header, o.skip, o.from, o.length, o.phase);
}

namespace {

// A take's bytes that remember whether any read of them failed: what was not heard is not kept.
class Watched : public ByteSource {
public:
    explicit Watched(ByteSource& take) : take_(take) {}
    bool read_at(uint64_t offset, uint8_t* buf, size_t count) override {
        const bool ok = take_.read_at(offset, buf, count);
        failed = failed || !ok;
        return ok;
    }
    bool failed = false;

private:
    ByteSource& take_;
};

// sound_end over the take's bytes, asked once for the same bytes where `heard` is given.
uint64_t heard_end(const Grid& g, ByteSource& bytes, const Hearing& h, std::map<Hearing, uint64_t>* heard) {
    if (heard) {
        const auto known = heard->find(h);
        if (known != heard->end()) return known->second;
    }
    Watched watched(bytes);
    const uint64_t end = sound_end(g, watched, h.from, h.length, h.phase);
    if (heard && !watched.failed) heard->emplace(h, end);
    return end;
}

// Whether the sector before `end` ends in fewer than 512 bytes of zeros after other bytes: the
// words for an end written_to_here found.
bool zeros_before(ByteSource& take, uint64_t end, uint64_t frame_bytes) {
    uint8_t sector[kSectorBytes];
    if (end < sizeof sector || !take.read_at(end - sizeof sector, sector, sizeof sector)) return false;
    size_t zeros = 0;
    while (zeros < sizeof sector && sector[sizeof sector - 1 - zeros] == 0) ++zeros;
    return zeros >= kZeroFrames * frame_bytes && zeros < sizeof sector;
}

}  // namespace

LostTake end_by_sound(ByteSource& source, const Volume& v, LostTake& take, uint64_t own,
                      const std::vector<uint32_t>& past, std::map<Hearing, uint64_t>* heard) {
    if (take.older || take.no_format() || take.runs.empty()) return {};
    const uint64_t cs = v.cluster_bytes, hs = take.header.size();
    TakeSource bytes(source, v, take);
    const Grid g = grid_of(bytes, take.bytes);
    if (!g.known || closed_at_least(bytes, take.bytes)) return {};
    const uint64_t phase = (hs % kSectorBytes + kSectorBytes - take.skip % kSectorBytes) % kSectorBytes;
    uint64_t from = std::max(g.data_start, own + hs > take.skip ? own + hs - take.skip : 0);
    if (take.bytes > kMostScanned) from = std::max(from, take.bytes - kMostScanned);
    const uint64_t end = heard_end(g, bytes, {take.runs, take.header, take.skip, from, take.bytes, phase}, heard);
    if (end >= take.bytes || end < hs) return {};
    std::vector<uint32_t> clusters = clusters_of(take.runs);
    const uint64_t at = end - hs + take.skip;  // in its clusters
    const size_t index = static_cast<size_t>(at / cs);
    if (index >= clusters.size()) return {};
    std::vector<uint32_t> rest(clusters.begin() + static_cast<long>(index), clusters.end());
    rest.insert(rest.end(), past.begin(), past.end());
    LostTake after = after_part(source, v, take, std::move(rest), at % cs);
    after.stopped = take.stopped;
    after.apart_why = "its sound does not go on from the take's: older audio, or another track's, after the "
                      "sector where the take's audio stops";
    clusters.resize(index + (at % cs != 0 ? 1 : 0));
    take.runs = runs_of(clusters);
    take.bytes = end;
    take.blank_dropped = 0;
    const std::string where = " at byte " + std::to_string(end) + ", in cluster " +
                              std::to_string(clusters.empty() ? 0 : clusters.back());
    take.stopped = (zeros_before(bytes, end, g.frame_bytes)
                        ? "its last block written ends in zeros, as a cache writes a file's last block back, and other "
                          "audio follows,"
                        : "its sound stops going on from itself") +
                   where;
    return after;
}

}  // namespace ostrel::card
