#include "sound.h"

#include <algorithm>
#include <cmath>
#include <cstring>

#include "repair_decision.h"

namespace ostrel::card {

namespace {

constexpr uint32_t kFormatPcm = 1, kFormatFloat = 3;

}  // namespace

double sample(const Grid& g, const uint8_t* b) {
    if (g.is_float) {
        if (g.sample_bytes == 4) {
            const uint32_t bits = uint32_t{b[0]} | uint32_t{b[1]} << 8 | uint32_t{b[2]} << 16 | uint32_t{b[3]} << 24;
            float f;
            std::memcpy(&f, &bits, sizeof f);
            return std::isfinite(f) ? f : 0.0;
        }
        uint64_t bits = 0;
        for (int k = 7; k >= 0; --k) bits = bits << 8 | b[k];
        double d;
        std::memcpy(&d, &bits, sizeof d);
        return std::isfinite(d) ? d : 0.0;
    }
    if (g.sample_bytes == 1) return static_cast<double>(b[0]) - 128.0;
    uint32_t v = 0;
    for (uint32_t k = g.sample_bytes; k-- > 0;) v = v << 8 | b[k];
    const uint32_t sign = uint32_t{1} << (8 * g.sample_bytes - 1);
    const int64_t value = (v & sign) ? static_cast<int64_t>(v) - (int64_t{sign} << 1) : static_cast<int64_t>(v);
    return static_cast<double>(value);
}

// `frames` samples of one channel, the first at `at`, as numbers: the usual integer sizes read
// straight, the rest one by one.
void samples_of(const Grid& g, const uint8_t* at, size_t frames, double* x) {
    const size_t step = g.frame_bytes;
    if (!g.is_float && g.sample_bytes == 2) {
        for (size_t i = 0; i < frames; ++i, at += step)
            x[i] = static_cast<double>(static_cast<int32_t>((uint32_t{at[0]} | uint32_t{at[1]} << 8) ^ 0x8000u) - 0x8000);
    } else if (!g.is_float && g.sample_bytes == 3) {
        for (size_t i = 0; i < frames; ++i, at += step) {
            const uint32_t v = uint32_t{at[0]} | uint32_t{at[1]} << 8 | uint32_t{at[2]} << 16;
            x[i] = static_cast<double>(static_cast<int32_t>(v ^ 0x800000u) - 0x800000);
        }
    } else {
        for (size_t i = 0; i < frames; ++i, at += step) x[i] = sample(g, at);
    }
}

Grid grid_of(ByteSource& take, uint64_t length) {
    Grid g;
    const RepairPlan p = plan_repair(take, length);
    const AudioFormat& f = p.format;
    if (!f.known || p.verdict == Verdict::NoDataBlock || f.channels == 0 || f.block_align == 0) return g;
    const bool pcm = f.tag == kFormatPcm && (f.bits == 8 || f.bits == 16 || f.bits == 24 || f.bits == 32);
    const bool fl = f.tag == kFormatFloat && (f.bits == 32 || f.bits == 64);
    if ((!pcm && !fl) || f.block_align != f.channels * (f.bits / 8)) return g;
    g.known = true, g.is_float = fl;
    g.channels = f.channels, g.sample_bytes = f.bits / 8, g.frame_bytes = f.block_align;
    g.data_start = p.data_id + 8;
    return g;
}

namespace {

constexpr size_t kWindow = 512;  // samples in each piece of the spectrum's estimate
constexpr size_t kNear = 256;    // frames each side of the junction whose loudness is weighed
constexpr double kPi = 3.14159265358979323846;

// What a transform of n points needs, worked out once: the Hann window, where each point goes
// in the bit-reversed order, and each stage's twiddles e^(-2 pi i k / len), k < len / 2, for
// the stages of len 8 to n one after another (the first two need none).
struct Transform {
    size_t n;
    std::vector<double> hann, wr, wi;
    std::vector<uint32_t> reversed;

    explicit Transform(size_t points) : n(points), hann(points), reversed(points) {
        for (size_t i = 0; i < n; ++i)
            hann[i] = 0.5 - 0.5 * std::cos(2 * kPi * static_cast<double>(i) / static_cast<double>(n));
        for (size_t len = 8; len <= n; len <<= 1)
            for (size_t k = 0; k < len / 2; ++k) {
                const double angle = -2 * kPi * static_cast<double>(k) / static_cast<double>(len);
                wr.push_back(std::cos(angle)), wi.push_back(std::sin(angle));
            }
        for (size_t i = 1, j = 0; i < n; ++i) {
            size_t bit = n >> 1;
            for (; j & bit; bit >>= 1) j ^= bit;
            j ^= bit;
            reversed[i] = static_cast<uint32_t>(j);
        }
    }

    // In place over n points (a power of 2, 8 or more): radix 2, its first two stages as one of
    // radix 4, where the twiddles are 1 and -i.
    void run(double* re, double* im) const {
        for (size_t i = 1; i < n; ++i) {
            const size_t j = reversed[i];
            if (i < j) std::swap(re[i], re[j]), std::swap(im[i], im[j]);
        }
        for (size_t i = 0; i < n; i += 4) {
            const double r0 = re[i] + re[i + 1], i0 = im[i] + im[i + 1], r1 = re[i] - re[i + 1], i1 = im[i] - im[i + 1];
            const double r2 = re[i + 2] + re[i + 3], i2 = im[i + 2] + im[i + 3];
            const double r3 = re[i + 2] - re[i + 3], i3 = im[i + 2] - im[i + 3];
            re[i] = r0 + r2, im[i] = i0 + i2, re[i + 2] = r0 - r2, im[i + 2] = i0 - i2;
            re[i + 1] = r1 + i3, im[i + 1] = i1 - r3, re[i + 3] = r1 - i3, im[i + 3] = i1 + r3;
        }
        const double* cr = wr.data();
        const double* ci = wi.data();
        for (size_t len = 8; len <= n; cr += len / 2, ci += len / 2, len <<= 1) {
            const size_t half = len / 2;
            for (size_t at = 0; at < n; at += len) {
                double* ar = re + at;
                double* ai = im + at;
                for (size_t k = 0; k < half; ++k) {
                    const double br = ar[k + half], bi = ai[k + half];
                    const double xr = br * cr[k] - bi * ci[k], xi = br * ci[k] + bi * cr[k];
                    ar[k + half] = ar[k] - xr, ai[k + half] = ai[k] - xi, ar[k] += xr, ai[k] += xi;
                }
            }
        }
    }
};

const Transform& transform(size_t points) {
    static const Transform large(kWindow), small(kWindow / 2);
    return points == kWindow ? large : small;
}

// Welch's estimate of x's power spectrum: Hann-windowed pieces of `window` samples, half
// overlapping, added to `power`. Two pieces go through each transform, one as its real part and
// one as its imaginary part, and are told apart by the symmetry of a real signal's transform.
void add_spectrum(const std::vector<double>& x, size_t window, double* power) {
    const Transform& t = transform(window);
    std::vector<double> re(window), im(window);
    for (size_t at = 0; at + window <= x.size(); at += window) {
        const bool two = at + window / 2 + window <= x.size();
        for (size_t i = 0; i < window; ++i) {
            re[i] = x[at + i] * t.hann[i];
            im[i] = two ? x[at + window / 2 + i] * t.hann[i] : 0;
        }
        t.run(re.data(), im.data());
        for (size_t k = 0; k <= window / 2; ++k) {
            const size_t r = (window - k) % window;
            const double sr = re[k] + re[r], di = im[k] - im[r], si = im[k] + im[r], dr = re[k] - re[r];
            power[k] += (sr * sr + di * di) / 4;
            if (two) power[k] += (si * si + dr * dr) / 4;
        }
    }
}

// The squared Hellinger distance of two spectra, each taken as how its power is shared out:
// 0 for the same colour, 2 for nothing in common.
double distance(const std::vector<double>& a, const std::vector<double>& b) {
    double sa = 0, sb = 0, d = 0;
    for (size_t k = 0; k < a.size(); ++k) sa += a[k], sb += b[k];
    if (sa <= 0 || sb <= 0) return sa <= 0 && sb <= 0 ? 0 : 2;
    for (size_t k = 0; k < a.size(); ++k) {
        const double x = std::sqrt(a[k] / sa) - std::sqrt(b[k] / sb);
        d += x * x;
    }
    return d;
}


// The side whose `frames` frames begin at `first`: each channel's spectrum, and the loudness of
// its kNear frames nearest the junction (its last ones where `ends_there`, else its first).
Side side_of(const Grid& g, const Junction& j, const uint8_t* first, bool ends_there) {
    Side s;
    s.colour.assign(g.channels * (j.window / 2 + 1), 0.0);
    std::vector<double> x(j.frames);
    const size_t near = std::min(kNear, j.frames);
    for (uint32_t ch = 0; ch < g.channels; ++ch) {
        samples_of(g, first + ch * g.sample_bytes, j.frames, x.data());
        add_spectrum(x, j.window, s.colour.data() + ch * (j.window / 2 + 1));
        for (size_t i = 0; i < near; ++i) {
            const double v = ends_there ? x[j.frames - 1 - i] : x[i];
            s.near += v * v;
        }
    }
    return s;
}

}  // namespace

Junction junction_of(const Grid& g, size_t before_bytes, uint64_t end, size_t after_bytes) {
    Junction j;
    if (!g.known || end < g.data_start + before_bytes) return j;
    // The take's last whole frames on its grid, and the cluster's first frames on the same grid.
    const uint64_t start = end - before_bytes;
    const size_t skip = static_cast<size_t>((g.frame_bytes - (start - g.data_start) % g.frame_bytes) % g.frame_bytes);
    const size_t tail_frames = before_bytes > skip ? (before_bytes - skip) / g.frame_bytes : 0;
    j.cut = skip + tail_frames * g.frame_bytes;
    j.head_skip = (g.frame_bytes - (before_bytes - j.cut) % g.frame_bytes) % g.frame_bytes;
    const size_t head_frames = after_bytes > j.head_skip ? (after_bytes - j.head_skip) / g.frame_bytes : 0;
    j.frames = std::min(tail_frames, head_frames);
    j.window = j.frames >= 2 * kWindow ? kWindow : kWindow / 2;
    if (j.frames < j.window) j.frames = 0;
    return j;
}

Side tail_side(const Grid& g, const Junction& j, const uint8_t* before) {
    return j.frames == 0 ? Side{} : side_of(g, j, before + j.cut - j.frames * g.frame_bytes, true);
}

Side head_side(const Grid& g, const Junction& j, const uint8_t* after) {
    return j.frames == 0 ? Side{} : side_of(g, j, after + j.head_skip, false);
}

double junction_score(const Side& before, const Side& after) {
    if (before.colour.empty() || after.colour.size() != before.colour.size()) return 0;
    const double near_end = before.near, near_start = after.near;
    if (near_end + near_start <= 0) return 0;  // silence that stays silence
    const double floor = (near_end + near_start) * 1e-9 + 1e-12;
    const double loudness = std::fabs(std::log((near_end + floor) / (near_start + floor))) / 2;
    // About 1 where the cluster has the take's colour and is as loud as its last samples.
    return (1 + 10 * distance(before.colour, after.colour)) * (1 + loudness);
}

double junction_score(const Grid& g, const std::vector<uint8_t>& before, uint64_t end,
                      const std::vector<uint8_t>& after) {
    const Junction j = junction_of(g, before.size(), end, after.size());
    return junction_score(tail_side(g, j, before.data()), head_side(g, j, after.data()));
}

}  // namespace ostrel::card
