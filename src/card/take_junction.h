// Where a take's own audio stops, at the grain a card is written in: a recorder's driver writes
// whole 512-byte sectors, so a take cut by the power ends at a sector boundary, and after it lie
// the sectors of whatever the card held before (an older take, another track). The take's own
// samples predict each other; at that junction the prediction fails for a few frames and no
// more. Measured on the take's own frame grid, against how well the take predicts itself.
#pragma once

#include <cstdint>
#include <map>
#include <vector>

#include "byte_source.h"
#include "lost_takes.h"
#include "sound.h"

namespace ostrel::card {

// How far the first frames of `after` are from going on from `before` (the take's last bytes,
// ending at file offset `end`), in the units of junction_score, whose answer for them is
// `spectral`: at most kContinues where they go on. The prediction's answer where `spectral` is
// not far from going on and the audio on both sides is predictable enough for it to tell; else
// `spectral` (noise, silence).
double continuity_score(const Grid& grid, const std::vector<uint8_t>& before, uint64_t end,
                        const std::vector<uint8_t>& after, double spectral);

// How much worse the take's own predictor does on the first frames of `after` than on its last
// frames: about 1 where they go on from it, more where another's audio is there. -1 where the
// prediction cannot tell (too few frames, audio too unpredictable).
double prediction_drift(const Grid& grid, const std::vector<uint8_t>& before, uint64_t end,
                        const std::vector<uint8_t>& after);

// The first sector boundary in [from, length) of the take's file where its audio decisively stops
// going on from itself, or `length` where none does. Boundaries are the file offsets that are
// `phase` modulo 512; the audio before `from` is the take's own.
uint64_t sound_end(const Grid& grid, ByteSource& take, uint64_t from, uint64_t length, uint64_t phase);

}  // namespace ostrel::card

namespace ostrel::card {

// Cuts `take` where its sound stops going on from itself, at a sector boundary past its first
// `own` bytes (of its clusters, from its first), and returns what lay after that end, then the
// clusters of `past`, as a file of its own in the take's format; one with no runs where the take
// goes on to its end. `heard`, where given, keeps where each take's sound stopped, so that the
// same bytes are listened to once however often the finder looks again.
LostTake end_by_sound(ByteSource& source, const Volume& volume, LostTake& take, uint64_t own,
                      const std::vector<uint32_t>& past, std::map<Hearing, uint64_t>* heard = nullptr);

}  // namespace ostrel::card
