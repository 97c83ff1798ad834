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

// One sample as a number, from its little-endian bytes: integers as they are stored (8-bit
// ones centred on 0), floats as they are (0 where not finite).
double sample(const Grid& g, const uint8_t* b);
// `frames` samples of one channel, the first at `at`, a frame apart, as sample() reads them.
void samples_of(const Grid& g, const uint8_t* at, size_t frames, double* x);

// The grid of the take whose header `take` begins with.
Grid grid_of(ByteSource& take, uint64_t length);

// Below this, a cluster continues the take; above it, the junction is a jump the take's own
// audio does not make.
constexpr double kContinues = 2.2;

// Where the frames heard on either side of a junction lie: `before_bytes` of the take ending at
// file offset `end`, and `after_bytes` of a cluster. `frames` is 0 where there are too few to hear.
struct Junction {
    size_t cut = 0;        // in `before`: where the frame that straddles the junction begins
    size_t head_skip = 0;  // in `after`: where its first whole frame on the take's grid begins
    size_t frames = 0, window = 0;
};
Junction junction_of(const Grid& grid, size_t before_bytes, uint64_t end, size_t after_bytes);

// One side of a junction as heard: each channel's spectrum, and how loud its frames nearest
// the junction are. Computed once for a take's end and once for a cluster's start, however
// many junctions they are weighed in.
struct Side {
    std::vector<double> colour;
    double near = 0;
};
Side tail_side(const Grid& grid, const Junction& j, const uint8_t* before);
Side head_side(const Grid& grid, const Junction& j, const uint8_t* after);

// How much a junction jumps, against how the audio moves on either side: about 1 where the
// audio goes on, far more where it does not. 0 for silence that stays silence.
double junction_score(const Side& before, const Side& after);

// The same from the bytes: `before` (the take's last bytes, ending at file offset `end`) and
// `after` (a cluster's first bytes).
double junction_score(const Grid& grid, const std::vector<uint8_t>& before, uint64_t end,
                      const std::vector<uint8_t>& after);

}  // namespace ostrel::card
