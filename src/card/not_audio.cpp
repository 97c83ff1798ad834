// Bytes no recorder's samples look like. A card used for photos, video or archives before holds
// compressed data in its free space, as even as random bytes: every value of a byte and every
// step from one byte to the next as likely as any other, and samples read from it loud and
// unrelated from one frame to the next, on any grid. A take written over such a card runs into
// it where its audio stops; the take's own samples, however loud, keep their high bytes near the
// middle and follow on from each other, on the take's own grid at least.
#include <algorithm>
#include <bitset>
#include <cmath>

#include "finder.h"
#include "sound.h"

namespace ostrel::card {

namespace {

constexpr double kMostChi = 60;    // a chi-square of 15 degrees that random bytes stay below, all but never
constexpr size_t kSteps = 64;    // the fewest different steps from byte to byte in a sector of random bytes
constexpr double kLoud = 0.25;   // the least share of samples at half of full scale or more
constexpr double kJumpy = 0.9;   // the least step between frames, against the samples' size
constexpr double kFarOver = 64;  // a float sample this far over full scale is no audio's

// Whether the frames in `n` bytes, the first beginning `phase` bytes in, are loud and unrelated:
// false where there are fewer than `fewest`.
bool noise_on_grid(const Grid& g, const uint8_t* b, size_t n, size_t phase, size_t fewest) {
    const size_t frames = n > phase ? (n - phase) / g.frame_bytes : 0;
    if (frames < fewest || frames < 2) return false;
    const double full = g.is_float ? 1.0 : std::ldexp(1.0, static_cast<int>(8 * g.sample_bytes - 1));
    double size = 0, step = 0;
    size_t loud = 0;
    for (uint32_t c = 0; c < g.channels; ++c) {
        double last = 0;
        for (size_t i = 0; i < frames; ++i) {
            const double x = sample(g, b + phase + i * g.frame_bytes + c * g.sample_bytes) / full;
            if (std::fabs(x) > kFarOver) return true;
            loud += std::fabs(x) >= 0.5;
            size += std::fabs(x);
            if (i > 0) step += std::fabs(x - last);
            last = x;
        }
    }
    const double samples = static_cast<double>(frames) * g.channels;
    return loud >= kLoud * samples &&
           step / static_cast<double>(frames - 1) >= kJumpy * size / static_cast<double>(frames);
}

// The same on every grid the take's samples could lie on in these bytes.
bool noise_on_any_grid(const Grid& g, const uint8_t* b, size_t n, size_t fewest) {
    for (size_t phase = 0; phase < g.sample_bytes; ++phase)
        if (!noise_on_grid(g, b, n, phase, fewest)) return false;
    return true;
}

bool random_sector(const Grid& g, const uint8_t* b) {
    std::bitset<256> steps;
    for (size_t i = 1; i < kSectorBytes; ++i) steps.set(static_cast<uint8_t>(b[i] - b[i - 1]));
    return steps.count() >= kSteps && noise_on_any_grid(g, b, kSectorBytes, 16);
}

// How many of the first random sector's bytes to keep: a recorder that wrote the take's last
// bytes into the middle of a sector left the card's older bytes after them, so the sector may
// begin with the take's last frames. Halved while its first half is noise too, never below
// kHeadBytes: what is kept always holds them.
constexpr size_t kHeadBytes = 64;
constexpr size_t kHeard = 16;  // sectors before the random ones that say whether the take is so itself
size_t head_of_random(const Grid& g, const uint8_t* sector) {
    size_t keep = kSectorBytes;
    while (keep > kHeadBytes && noise_on_any_grid(g, sector, keep / 2, 8)) keep /= 2;
    return keep;
}

}  // namespace

bool looks_random(const uint8_t* b, size_t n) {
    if (n < kSectorBytes) return false;
    // As many bytes far from 0 (0x40 to 0xBF) as near it: a sample's high byte is near 0 but in
    // audio at half of full scale, and every sample has one.
    size_t far = 0;
    for (size_t i = 0; i < kSectorBytes; ++i) far += ((b[i] ^ (b[i] << 1)) >> 7) & 1;
    if (far < kSectorBytes * 2 / 5) return false;
    uint32_t count[16] = {};
    for (size_t i = 0; i < kSectorBytes; ++i) ++count[b[i] >> 4];
    const double expected = kSectorBytes / 16.0;
    double chi = 0;
    for (uint32_t c : count) chi += (c - expected) * (c - expected) / expected;
    return chi < kMostChi;
}

size_t random_sectors(const Grid& g, const uint8_t* b, size_t n) {
    if (!g.known || g.frame_bytes == 0) return 0;
    size_t count = 0;
    for (size_t at = 0; at + kSectorBytes <= n; at += kSectorBytes) count += random_sector(g, b + at);
    return count;
}

bool random_bytes(const Grid& g, const uint8_t* b, size_t n) {
    return n >= kSectorBytes && random_sectors(g, b, n) == n / kSectorBytes;
}

bool drop_random_sectors(ByteSource& source, const Volume& v, LostTake& take) {
    if (take.no_format()) return false;
    const uint64_t cs = v.cluster_bytes, hs = take.header.size();
    if (take.bytes < hs + kSectorBytes || (take.bytes - hs + take.skip) % cs != 0) return false;
    TakeSource bytes(source, v, take);
    const Grid g = grid_of(bytes, take.bytes);
    if (!g.known || g.data_start > take.bytes) return false;
    const uint64_t n = std::min<uint64_t>(2 * cs, take.bytes - g.data_start);  // of its last two clusters
    std::vector<uint8_t> tail(static_cast<size_t>(n));
    if (n < kSectorBytes || !bytes.read_at(take.bytes - kSectorBytes, tail.data(), kSectorBytes) ||
        !random_bytes(g, tail.data(), kSectorBytes))
        return false;  // most takes' last sector is audio: nothing more to read
    if (!bytes.read_at(take.bytes - n, tail.data(), tail.size())) return false;
    size_t at = tail.size();  // sectors from the end back, while they are random
    while (at >= kSectorBytes && random_bytes(g, tail.data() + at - kSectorBytes, kSectorBytes)) at -= kSectorBytes;
    if (at == tail.size()) return false;
    // Nothing but random bytes from the audio's first byte: no part of it was ever a take's.
    const bool none = at < kSectorBytes && n == take.bytes - g.data_start;
    // A take of loud noise reads as random too: its end is no sooner where the audio before it
    // does, here and there.
    const size_t before = std::min<size_t>(static_cast<size_t>(at / kSectorBytes), kHeard) * kSectorBytes;
    if (!none && (before < kHeard / 4 * kSectorBytes || random_sectors(g, tail.data() + at - before, before) * 4 >
                                                            before / kSectorBytes))
        return false;
    take.bytes -= tail.size() - at - head_of_random(g, tail.data() + at);
    return none;
}

}  // namespace ostrel::card
