// Numeric helpers shared by the kernels: saturation, float-to-integer conversion that is never
// undefined behaviour, NaN-safe clamps, and byte-safe access to caller buffers (which may be
// unaligned and may alias).
#pragma once

#include <cmath>
#include <cstdint>
#include <cstring>
#include <limits>
#include <type_traits>

namespace sonolith {

inline constexpr int32_t clamp_s16(int32_t v) noexcept {
    return v < -32768 ? -32768 : (v > 32767 ? 32767 : v);
}
inline constexpr int64_t clamp_s16(int64_t v) noexcept {
    return v < -32768 ? -32768 : (v > 32767 ? 32767 : v);
}

// Truncating float-to-integer conversion that saturates at the target's limits and maps NaN to 0.
// For values in range it is exactly the C++ conversion (truncation towards zero).
template <typename I, typename F>
inline I saturate_cast(F value) noexcept {
    static_assert(std::is_integral_v<I> && std::is_floating_point_v<F>);
    if (!(value == value)) return 0;
    // Limits as floats: lo is exact (a power of two or zero); hi_excl is 2^bits, exact too.
    constexpr F lo = static_cast<F>(std::numeric_limits<I>::min());
    constexpr F hi_excl = static_cast<F>(std::numeric_limits<I>::max() / 2 + 1) * F(2);
    if (value <= lo) return std::numeric_limits<I>::min();
    if (value >= hi_excl) return std::numeric_limits<I>::max();
    return static_cast<I>(value);
}

// A parsed double narrowed to float as IEEE 754 rounds it, overflow to infinity included (a plain
// conversion of a value beyond the float range is undefined in C++).
inline float narrow_float(double x) noexcept {
    if (!(std::fabs(x) > static_cast<double>(std::numeric_limits<float>::max())))
        return static_cast<float>(x);  // in range, or NaN
    // Up to half an ulp (2^103) above the largest float still rounds down to it.
    float r = std::fabs(x) < 0x1.ffffffp127 ? std::numeric_limits<float>::max()
                                             : std::numeric_limits<float>::infinity();
    return std::signbit(x) ? -r : r;
}

// Clamp of a caller's float: NaN takes `nan_value`, infinities the nearest limit.
template <typename F>
inline F clamp_float(F value, F lo, F hi, F nan_value) noexcept {
    if (!(value == value)) return nan_value;
    return value < lo ? lo : (value > hi ? hi : value);
}

// Unaligned, alias-safe access to samples in caller buffers.
template <typename T>
inline T load(const void *p) noexcept {
    T v;
    std::memcpy(&v, p, sizeof v);
    return v;
}
template <typename T>
inline void store(void *p, T v) noexcept {
    std::memcpy(p, &v, sizeof v);
}
inline int16_t load_s16(const uint8_t *base, size_t index) noexcept {
    return load<int16_t>(base + 2 * index);
}
inline void store_s16(uint8_t *base, size_t index, int32_t v) noexcept {
    store<int16_t>(base + 2 * index, static_cast<int16_t>(v));
}
inline int32_t load_i32(const uint8_t *base, size_t index) noexcept {
    return load<int32_t>(base + 4 * index);
}
inline void store_i32(uint8_t *base, size_t index, int32_t v) noexcept {
    store<int32_t>(base + 4 * index, v);
}

// Whether [a, a + na) and [b, b + nb) share any byte.
inline bool overlaps(const void *a, size_t na, const void *b, size_t nb) noexcept {
    auto x = reinterpret_cast<uintptr_t>(a), y = reinterpret_cast<uintptr_t>(b);
    return na != 0 && nb != 0 && x < y + nb && y < x + na;
}

}  // namespace sonolith
