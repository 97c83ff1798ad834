#include "sound.h"

#include <algorithm>
#include <cmath>
#include <cstring>

#include "repair_decision.h"

namespace ostrel::card {

namespace {

constexpr uint32_t kFormatPcm = 1, kFormatFloat = 3;

// One sample as a number, from its little-endian bytes.
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

}  // namespace

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
constexpr double kPi = 3.14159265358979323846;

// In place, radix 2: re and im of kWindow points.
void fft(std::vector<double>& re, std::vector<double>& im) {
    const size_t n = re.size();
    for (size_t i = 1, j = 0; i < n; ++i) {
        size_t bit = n >> 1;
        for (; j & bit; bit >>= 1) j ^= bit;
        j ^= bit;
        if (i < j) std::swap(re[i], re[j]), std::swap(im[i], im[j]);
    }
    for (size_t len = 2; len <= n; len <<= 1) {
        const double angle = -2 * kPi / static_cast<double>(len);
        for (size_t i = 0; i < n; i += len)
            for (size_t k = 0; k < len / 2; ++k) {
                const double wr = std::cos(angle * static_cast<double>(k));
                const double wi = std::sin(angle * static_cast<double>(k));
                const size_t a = i + k, b = i + k + len / 2;
                const double xr = re[b] * wr - im[b] * wi, xi = re[b] * wi + im[b] * wr;
                re[b] = re[a] - xr, im[b] = im[a] - xi, re[a] += xr, im[a] += xi;
            }
    }
}

// Welch's estimate of x's power spectrum: Hann-windowed pieces of `window` samples, half overlapping.
std::vector<double> spectrum(const std::vector<double>& x, size_t window) {
    std::vector<double> power(window / 2 + 1, 0.0), re(window), im(window);
    for (size_t at = 0; at + window <= x.size(); at += window / 2) {
        for (size_t i = 0; i < window; ++i) {
            re[i] = x[at + i] * (0.5 - 0.5 * std::cos(2 * kPi * static_cast<double>(i) / static_cast<double>(window)));
            im[i] = 0;
        }
        fft(re, im);
        for (size_t k = 0; k < power.size(); ++k) power[k] += re[k] * re[k] + im[k] * im[k];
    }
    return power;
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

}  // namespace

double junction_score(const Grid& g, const std::vector<uint8_t>& before, uint64_t end,
                      const std::vector<uint8_t>& after) {
    if (!g.known || end < g.data_start + before.size()) return 0;
    // The take's last whole frames on its grid, and the cluster's first frames on the same grid.
    const uint64_t start = end - before.size();
    const size_t skip = static_cast<size_t>((g.frame_bytes - (start - g.data_start) % g.frame_bytes) % g.frame_bytes);
    const size_t tail_frames = before.size() > skip ? (before.size() - skip) / g.frame_bytes : 0;
    const size_t cut = skip + tail_frames * g.frame_bytes;  // where the frame that straddles the junction begins
    const size_t head_skip = (g.frame_bytes - (before.size() - cut) % g.frame_bytes) % g.frame_bytes;
    const size_t head_frames = after.size() > head_skip ? (after.size() - head_skip) / g.frame_bytes : 0;
    const size_t frames = std::min(tail_frames, head_frames);
    const size_t window = frames >= 2 * kWindow ? kWindow : kWindow / 2;
    if (frames < window) return 0;
    std::vector<double> colour_before, colour_after;
    double near_end = 0, near_start = 0;
    for (uint32_t ch = 0; ch < g.channels; ++ch) {
        std::vector<double> tail(frames), head(frames);
        for (size_t i = 0; i < frames; ++i) {
            tail[i] = sample(g, before.data() + cut - (frames - i) * g.frame_bytes + ch * g.sample_bytes);
            head[i] = sample(g, after.data() + head_skip + i * g.frame_bytes + ch * g.sample_bytes);
        }
        const std::vector<double> a = spectrum(tail, window), b = spectrum(head, window);
        colour_before.insert(colour_before.end(), a.begin(), a.end());
        colour_after.insert(colour_after.end(), b.begin(), b.end());
        // How loud each side is right at the junction: a take's level moves slowly.
        for (size_t i = 0; i < std::min<size_t>(256, frames); ++i)
            near_end += tail[frames - 1 - i] * tail[frames - 1 - i], near_start += head[i] * head[i];
    }
    if (near_end + near_start <= 0) return 0;  // silence that stays silence
    const double floor = (near_end + near_start) * 1e-9 + 1e-12;
    const double loudness = std::fabs(std::log((near_end + floor) / (near_start + floor))) / 2;
    // About 1 where the cluster has the take's colour and is as loud as its last samples.
    return (1 + 10 * distance(colour_before, colour_after)) * (1 + loudness);
}

}  // namespace ostrel::card
