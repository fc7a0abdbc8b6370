// The soft-knee limiter that brings a 32-bit value back into 16 bits with a knee at +-28000.
// Slope k is in units of 1/65536; products are 32-bit two's complement, shifts arithmetic, and the
// result keeps the low 16 bits of the knee's output (no further clamp).
#pragma once

#include <cstdint>

namespace sonolith {

inline constexpr int32_t kKnee = 28000;

inline int16_t soft_knee_s16(int32_t v, int32_t k) noexcept {
    int32_t r;
    if (v < -kKnee) {
        r = (static_cast<int32_t>(static_cast<uint32_t>(v + kKnee) * static_cast<uint32_t>(k)) >> 16) - kKnee;
    } else if (v > kKnee) {
        r = (static_cast<int32_t>(static_cast<uint32_t>(v - kKnee) * static_cast<uint32_t>(k)) >> 16) + kKnee;
    } else {
        r = v;
    }
    return static_cast<int16_t>(r);
}

// Slope for a headroom factor h (largest expected magnitude as a multiple of 32768):
// (2^28 - 1) / (h * 32768 - 28000), 32-bit arithmetic, division truncating towards zero.
// Returns false when the divisor is 0 (or the quotient overflows), which the caller must reject.
inline bool knee_slope(int32_t h, int32_t *slope) noexcept {
    // h * 32768 - 28000 modulo 2^32: never 0 (28000 is no multiple of 32768), and the dividend is
    // positive, so the division cannot overflow either; the checks only keep that obvious.
    int32_t divisor = static_cast<int32_t>(static_cast<uint32_t>(h) * 32768u - uint32_t(kKnee));
    if (divisor == 0) return false;
    *slope = ((1 << 28) - 1) / divisor;
    return true;
}

inline constexpr int32_t kKneeSlope2 = 7151;  // knee_slope(2)

}  // namespace sonolith
