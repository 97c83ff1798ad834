// Whether a cluster's audio goes on from where a take's audio stopped: the one place where the
// finder listens. Measured on the take's own frame grid, since bytes read on another grid look
// like loud noise.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "byte_source.h"

namespace ostrel::card {

// How a take's samples lie in its bytes; `known` is false for formats whose samples cannot be
// read one by one (ADPCM, GSM, mu-law): then only the clusters' pattern speaks.
struct Grid {
    bool known = false;
    bool is_float = false;
    uint32_t channels = 0, sample_bytes = 0, frame_bytes = 0;
    uint64_t data_start = 0;  // where the take's audio begins in its file
};

// The grid of the take whose header `take` begins with.
Grid grid_of(ByteSource& take, uint64_t length);

// Below this, a cluster continues the take; above it, the junction is a jump the take's own
// audio does not make.
constexpr double kContinues = 2.2;

// How much the junction of `before` (the take's last bytes, ending at file offset `end`) and
// `after` (a cluster's first bytes) jumps, against how the audio moves on either side: about 1
// where the audio goes on, far more where it does not. 0 for silence that stays silence.
double junction_score(const Grid& grid, const std::vector<uint8_t>& before, uint64_t end,
                      const std::vector<uint8_t>& after);

}  // namespace ostrel::card
