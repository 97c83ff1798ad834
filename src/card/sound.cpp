#include "sound.h"

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

double junction_score(const Grid& g, const std::vector<uint8_t>& before, uint64_t end,
                      const std::vector<uint8_t>& after) {
    if (!g.known || end < g.data_start + before.size()) return 0;
    // The bytes joined, cut to whole frames of the take's grid.
    std::vector<uint8_t> joined(before);
    joined.insert(joined.end(), after.begin(), after.end());
    const uint64_t start = end - before.size();
    const size_t skip = static_cast<size_t>((g.frame_bytes - (start - g.data_start) % g.frame_bytes) % g.frame_bytes);
    if (joined.size() < skip + 8 * size_t{g.frame_bytes}) return 0;
    const size_t frames = (joined.size() - skip) / g.frame_bytes;
    // The second differences that reach across the junction: two, or three where a frame straddles it.
    const size_t junction = (before.size() - skip) / g.frame_bytes;
    const size_t width = (before.size() - skip) % g.frame_bytes ? 3 : 2;
    double jump = 0, motion = 0;
    size_t jumps = 0, moves = 0;
    for (uint32_t ch = 0; ch < g.channels; ++ch) {
        auto x = [&](size_t i) { return sample(g, joined.data() + skip + i * g.frame_bytes + ch * g.sample_bytes); };
        for (size_t i = 2; i < frames; ++i) {
            const double d2 = std::fabs(x(i) - 2 * x(i - 1) + x(i - 2));
            const bool across = i >= junction && i < junction + width;
            (across ? jump : motion) += d2;
            ++(across ? jumps : moves);
        }
    }
    if (moves == 0 || jumps == 0) return 0;
    jump /= static_cast<double>(jumps), motion /= static_cast<double>(moves);
    if (motion <= 1e-12) return jump <= 1e-12 ? 0 : 1e9;
    return jump / motion;
}

}  // namespace ostrel::card
