// The pitch-shifting read path of FeedbackDelayState, as plain functions over the delay line.
//
// Two heads sweep through a splice window of X samples at the speed the pitch ratio asks for: a
// 32-bit phase Q puts head 1 at Q / 2^32 x X and head 2 half a turn away, on top of the frame's
// read position, and a triangle weight (0 at Q = 0, 1 at Q = 2^31) crossfades them, so each head
// jumps back across the window while its weight is zero. Where it lands is aligned with what the
// other head plays by splice_search, a sum-of-absolute-differences match of 48 taps on plane 0.
// Shifting up, a fourth-order Butterworth low-pass (two transposed direct form II sections) on
// the write path limits what the faster read can alias.
//
// Guards beyond the plain algorithm: search positions are 64-bit (a position beyond 32 bits is
// never truncated into the line), and the coarse search only visits offsets that can land inside
// the line, so its cost is bounded by the line length whatever the sample rate.
#pragma once

#include <cmath>
#include <cstdint>
#include <cstdlib>

#include "engines/sincos.hpp"
#include "module/numeric.hpp"

namespace sonolith::delay_pitch {

inline constexpr float kPhaseScale = 2.3283064365386963e-10f;  // 2^-32
inline constexpr uint32_t kHalf = 0x80000000u;

inline float pitch_ratio(float pitch) noexcept { return powf(2.0f, pitch * 0.083333336f); }

// Phase increment per frame for a pitch in semitones and a window of X samples: negative when
// shifting up (the heads' delay shrinks), positive when shifting down.
inline int32_t increment(float pitch, float window) noexcept {
    if (pitch == 0.0f || !(window >= 1.0f)) return 0;
    const float r = pitch_ratio(pitch);
    return saturate_cast<int32_t>((1.0f - r) / window * 4294967296.0f);
}

// Anti-alias low-pass for an upward shift: corner 0.35 x rate / ratio, designed in double and
// stored as b0, b1, b2, a1, a2 of section 1 then of section 2. False when no filter is needed.
inline bool antialias_targets(float pitch, uint32_t rate, float out[10]) noexcept {
    if (!(pitch > 0.0f) || rate == 0) return false;
    const float rf = pitch_ratio(pitch);
    if (!(rf > 1.0f)) return false;
    const double w = 2.199114857512855 / static_cast<double>(rf);
    const SinCos sc = detail::sincos_poly(w);  // the Taylor series through w^12 and w^13
    const double q[2] = {1.082392200292394, 2.613125929752753};
    for (int s = 0; s < 2; ++s) {
        const double alpha = sc.sin / q[s];
        const double b0 = (1.0 - sc.cos) / 2.0 / (1.0 + alpha);
        const double b1 = (1.0 - sc.cos) / (1.0 + alpha);
        const double a1 = -2.0 * sc.cos / (1.0 + alpha);
        const double a2 = (1.0 - alpha) / (1.0 + alpha);
        out[5 * s + 0] = static_cast<float>(b0);
        out[5 * s + 1] = static_cast<float>(b1);
        out[5 * s + 2] = static_cast<float>(b0);
        out[5 * s + 3] = static_cast<float>(a1);
        out[5 * s + 4] = static_cast<float>(a2);
    }
    return true;
}

// The line as the search sees it: plane 0, the current write slot, the line length.
struct LineView {
    const int16_t *plane;
    uint32_t write;
    uint32_t n;
    uint32_t rate;
    float window;  // X
};

// Offset (in whole samples) for a head landing at delay a, matched against delay b where the
// other head plays; 0 when nothing can be searched.
inline float splice_search(const LineView &l, float a, float b) noexcept {
    const int64_t e = saturate_cast<int64_t>(a), r = saturate_cast<int64_t>(b);
    const int64_t R = l.rate, N = l.n, w = saturate_cast<int64_t>(l.window);
    int64_t n = 4 * w < R / 100 ? 4 * w : R / 100;
    if (n < w / 2) n = w / 2;
    if (n > R / 40) n = R / 40;
    const int64_t s0 = w < 48 * (R / 3000) ? 1 : R / 3000;
    const int64_t m0 = r < e - n ? r : e - n;
    int64_t step = (m0 >= 2 && m0 - 1 < 48 * s0) ? (m0 - 1) / 48 : s0;
    if (step == 0) step = 1;
    const int64_t lo = 48 * step + 1, hi = N - 2;
    if (n <= 0 || r < lo || r > hi) return 0.0f;

    // Reference taps where the other head plays, then each candidate's taps against them.
    const uint64_t un = static_cast<uint64_t>(N), stride = static_cast<uint64_t>(step) % un;
    auto slot = [&](int64_t q) { return (static_cast<uint64_t>(l.write) + un - static_cast<uint64_t>(q)) % un; };
    int32_t ref[48];
    for (uint64_t k = 0, i = slot(r); k < 48; ++k) {
        ref[k] = l.plane[i];
        i += stride;
        if (i >= un) i -= un;
    }
    auto cost = [&](int64_t p) {
        int64_t sum = 0;
        for (uint64_t k = 0, i = slot(p); k < 48; ++k) {
            sum += std::abs(ref[k] - static_cast<int32_t>(l.plane[i]));
            i += stride;
            if (i >= un) i -= un;
        }
        return sum;
    };
    auto counts = [&](int64_t p) { return p >= lo && p <= hi; };

    bool found = false;
    int64_t best_t = 0, best = 0;
    auto coarse = [&](int64_t t) {
        if (!counts(e + t)) return;
        const int64_t c = cost(e + t);
        if (!found || c < best) found = true, best = c, best_t = t;
    };
    coarse(0);
    // Offsets +-6k for k = 1 .. n / 6, visiting only the k for which one of them lands in
    // [lo, hi] (the others are skipped by the rule anyway), in the same order.
    const int64_t kmax = n / 6;
    const int64_t up_lo = lo - e, up_hi = hi - e;    // +6k must lie in [up_lo, up_hi]
    const int64_t dn_lo = e - hi, dn_hi = e - lo;    // 6k must lie in [dn_lo, dn_hi] for -6k
    auto kfirst = [](int64_t v) { return v <= 6 ? 1 : (v + 5) / 6; };
    int64_t k0 = kfirst(up_lo < dn_lo ? up_lo : dn_lo);
    int64_t k1 = (up_hi > dn_hi ? up_hi : dn_hi);
    k1 = k1 < 6 ? 0 : k1 / 6;
    if (k1 > kmax) k1 = kmax;
    for (int64_t k = k0; k <= k1; ++k) {
        coarse(6 * k);
        coarse(-6 * k);
    }
    if (!found) return 0.0f;
    const int64_t t0 = best_t;
    for (int64_t i = -5; i <= 5; ++i) {
        const int64_t v = t0 + i;
        if (i == 0 || v < -n || v > n || !counts(e + v)) continue;
        const int64_t c = cost(e + v);
        if (c < best || (c == best && std::llabs(v) < std::llabs(best_t))) best = c, best_t = v;
    }
    return static_cast<float>(best_t);
}

// Phase of the two heads for one frame. pitch_zero: the configured pitch is 0, so the heads are
// being brought to rest at phase 0 or one half (and stay there once `stopped` is set).
inline uint32_t advance(uint32_t pq, int32_t step, bool pitch_zero, uint8_t &stopped) noexcept {
    if (stopped) return pq;
    uint32_t q = pq + static_cast<uint32_t>(step);
    if (!pitch_zero) return q;
    if (static_cast<uint32_t>(pq * 2u) == 0) {
        stopped = 1;
        return pq;
    }
    if (step > 0) {
        if (q < pq) stopped = 1, q = 0;
        else if (pq < kHalf && q >= kHalf) stopped = 1, q = kHalf;
    } else if (step < 0) {
        if (q > pq) stopped = 1, q = 0;
        else if (pq > kHalf && q <= kHalf) stopped = 1, q = kHalf;
    }
    return q;
}

// Whether head 1 wrapped (phase through 0) and head 2 crossed its wrap point (phase through one
// half) on the way from pq to q != pq.
inline bool head1_wrapped(uint32_t pq, uint32_t q) noexcept {
    const int32_t d = static_cast<int32_t>(q - pq);
    return pq == 0 || (d > 0 && q < pq) || (d <= 0 && q > pq);
}
inline bool head2_wrapped(uint32_t pq, uint32_t q) noexcept {
    const int32_t d = static_cast<int32_t>(q - pq);
    return pq == kHalf || (d <= 0 && pq > kHalf && q <= kHalf) || (d > 0 && pq < kHalf && q >= kHalf);
}

}  // namespace sonolith::delay_pitch
