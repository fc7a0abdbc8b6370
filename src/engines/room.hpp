// Synthetic room impulse and its worst-case peak gain.
//
// The impulse is exponentially decaying white noise from a seeded xorshift generator, darkened by
// a one-pole low-pass, delayed by a predelay, faded in linearly and normalised to unit energy per
// impulse channel; it is P x 256 samples long. Generation runs twice over every impulse channel:
// the first pass measures the energy, the second produces the normalised samples, one 256-sample
// partition at a time, and (when asked) writes each partition's 512-point spectrum (zero-padded
// second half) into the convolver's impulse spectrum layout: impulse channel j, partition k at
// ((j x P) + k) x 514 floats.
//
// The peak estimate is the largest output magnitude the normalised impulse gives for a
// full-scale step (the running sum of the impulse) and for full-scale square waves of 17
// half-periods H_m = max(1, round(fs / (2^(m/8) x 80))) between about 40 Hz and 160 Hz: the
// impulse folded onto each half-period with alternating sign gives the steady-state response at
// every phase as |2 r - total| of the folded area's running sum r.
//
// Guards beyond the plain algorithm:
//   - decay, predelay and fade-in are clamped with NaN sent to the lower bound (NaN damping means
//     no filtering), so no NaN or infinity reaches a length or a conversion;
//   - a folded area never needs more than the impulse's length: with H_m beyond it the fold
//     never wraps and the positions past the impulse only repeat the magnitude |total| already
//     reached at the last sample. Each area is therefore min(H_m, P x 256) floats, which bounds
//     the fold buffer by 17 x 131072 floats whatever the sample rate (about 2 GB would be asked for
//     at 4 GHz) and leaves every result bit for bit as with the full areas.
#pragma once

#include <cstddef>
#include <cstdint>

#include "engines/fft.hpp"

namespace sonolith {

struct RoomParams {
    float decay_s;      // clamped to 0.05 .. 30 s: time for the envelope to fall by 60 dB
    float damping_hz;   // low-pass cut-off; <= 0 or >= fs/4 (or NaN) means no filtering
    float predelay_ms;  // clamped to 0 .. 200
    float fade_in_ms;   // clamped to 0 .. 500
    uint32_t seed;
};

inline constexpr int kRoomSquareWaves = 17;

// Floats of the fold buffer for sample rate fs and P partitions (at most 17 x P x 256).
size_t room_fold_floats(double fs, uint32_t partitions) noexcept;

// Generates the impulse. spectra (with plan, a 512-point plan, and transform_scratch of 512
// floats) may be null; block holds 512 floats with spectra, else 256; fold (room_fold_floats
// floats) may be null, and then no peak is estimated; peak, when not null, receives the estimate.
// Returns P, the partitions the impulse fills.
uint32_t room_impulse_generate(double fs, uint32_t partitions, uint32_t ir_channels,
                               const RoomParams &params, float *spectra, const fft_plan *plan,
                               float *transform_scratch, float *block, float *fold,
                               float *peak) noexcept;

}  // namespace sonolith
