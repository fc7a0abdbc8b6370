// Four-lane vectors (the compiler's vector extension) for kernels that treat four samples alike.
// IEEE double arithmetic gives the same bits in a lane as in a scalar, so a loop over these
// computes exactly what its scalar form computes; with AVX2 a vector is one register.
#pragma once

#include <cstdint>

namespace sonolith {

typedef double v4df __attribute__((vector_size(32)));
typedef int64_t v4di __attribute__((vector_size(32)));
typedef int32_t v4si __attribute__((vector_size(16)));
typedef uint32_t v4su __attribute__((vector_size(16)));
typedef int16_t v4hi __attribute__((vector_size(8)));

// The saturating float-to-integer conversion (what saturate_cast gives: NaN gives 0, values
// beyond the 32-bit range its limits), written without branches so that scalar loops using it
// vectorise too, and lane by lane.
inline int32_t to_i32(double v) noexcept {
    v = v == v ? v : 0.0;
    v = v < -2147483648.0 ? -2147483648.0 : v;
    v = v > 2147483647.0 ? 2147483647.0 : v;
    return static_cast<int32_t>(v);
}
inline v4si to_i32(v4df v) noexcept {
    const v4df zero = {0, 0, 0, 0};
    const v4df lo = zero - 2147483648.0, hi = zero + 2147483647.0;
    v = v == v ? v : zero;
    v = v < lo ? lo : v;
    v = v > hi ? hi : v;
    return __builtin_convertvector(v, v4si);
}

inline v4si clamp(v4si v, int32_t lo, int32_t hi) noexcept {
    const v4si l = v4si{} + lo, h = v4si{} + hi;
    v = v < l ? l : v;
    return v > h ? h : v;
}

// Four signed 16-bit samples from a byte buffer, and back (keeping each lane's low 16 bits).
inline v4si load4_s16(const uint8_t *p) noexcept {
    v4hi raw;
    __builtin_memcpy(&raw, p, sizeof raw);
    return __builtin_convertvector(raw, v4si);
}
inline void store4_s16(uint8_t *p, v4si v) noexcept {
    const v4hi o = __builtin_convertvector(v, v4hi);
    __builtin_memcpy(p, &o, sizeof o);
}

}  // namespace sonolith
