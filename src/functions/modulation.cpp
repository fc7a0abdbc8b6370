// Chorus and phaser on native-endian signed 16-bit PCM, both over caller-held memory and both
// ending each sample in the soft knee at slope 2 (an excess over 28000 adds only 2/65536 of it).
//
//   chorus_s16  mono: the newest sample goes into a ring; V equally spaced taps behind it are
//               summed, brought back into 16 bits by the knee of slope knee_slope(V), scaled by
//               the wet gain and added to the dry sample.
//   phaser_s16  per channel a chain of first-order all-pass sections in Q15 with feedback of the
//               chain's last output; the chain output, scaled by the wet mix, is added to the dry
//               sample. A wet mix of 328 (Q15) or less returns the input and touches nothing.
//
// Guards beyond the plain algorithm, none of which changes the result of a call whose index is in
// range and whose taps stay inside the ring:
//   - the chorus index is reduced into the ring on entry; taps that step forward (V - 1 > S, so
//     the spacing is -1) wrap at the ring's end instead of passing it;
//   - voice counts whose V * 32768 leaves 31 bits are rejected (the knee slope and the 32-bit tap
//     sum are only defined below that);
//   - float-to-integer conversions saturate (NaN gives 0) and the dry-plus-wet sum is formed in
//     64 bits and saturated;
//   - a phaser corner ratio in [-1, 0) would make the all-pass coefficient's value exceed 1 (or be
//     infinite at -1); it is held at 1, the coefficient of ratio 0.
#include <algorithm>

#include "functions/vector4.hpp"
#include "module/module.hpp"
#include "module/numeric.hpp"
#include "functions/soft_knee.hpp"

namespace sonolith {

namespace kernel {

inline int32_t sat_i32_64(int64_t v) noexcept {
    return v < INT32_MIN ? INT32_MIN : (v > INT32_MAX ? INT32_MAX : static_cast<int32_t>(v));
}

// The chorus works on blocks of samples in two passes. The first stores the block in the ring
// and sums each sample's taps, the second turns the sums into output samples: the tap knee, the
// wet gain, the dry sum and the output knee, four samples at a time with the same operations on
// every lane.
inline v4si knee4(v4si v, int32_t k) noexcept {
    // both branches in unsigned (wrapping) arithmetic, then the lane's own one is kept
    const v4si knee = v4si{} + kKnee;
    const v4su u = reinterpret_cast<v4su>(v), slope = v4su{} + uint32_t(k), uk = v4su{} + uint32_t(kKnee);
    const v4si lo = (reinterpret_cast<v4si>((u + uk) * slope) >> 16) - knee;
    const v4si hi = (reinterpret_cast<v4si>((u - uk) * slope) >> 16) + knee;
    return v < -knee ? lo : (v > knee ? hi : v);
}

inline constexpr size_t kChorusBlock = 256;

__attribute__((target_clones("avx2", "default")))
void chorus_finish(const int32_t *x, const int32_t *e, size_t n, uint8_t *out, bool knee_taps,
                   int32_t slope, double wet) noexcept {
    const v4df gain = v4df{} + wet;
    const v4di lo = v4di{} + INT32_MIN, hi = v4di{} + INT32_MAX;
    size_t i = 0;
    for (; i + 4 <= n; i += 4) {
        v4si xv, ev;
        std::memcpy(&xv, x + i, sizeof xv);
        std::memcpy(&ev, e + i, sizeof ev);
        if (knee_taps)  // the knee's value is its low 16 bits
            ev = __builtin_convertvector(__builtin_convertvector(knee4(ev, slope), v4hi), v4si);
        v4di y = __builtin_convertvector(xv, v4di) +
                 __builtin_convertvector(to_i32(__builtin_convertvector(ev, v4df) * gain), v4di);
        y = y < lo ? lo : (y > hi ? hi : y);
        store4_s16(out + 2 * i, knee4(__builtin_convertvector(y, v4si), 2));
    }
    for (; i < n; ++i) {
        const int32_t t = knee_taps ? soft_knee_s16(e[i], slope) : e[i];
        store_s16(out, i, soft_knee_s16(sat_i32_64(int64_t(x[i]) + to_i32(t * wet)), 2));
    }
}

// Adds ring cells p, p + 1, ... (wrapping at `length`) to the n sums.
__attribute__((target_clones("avx2", "default")))
void add_tap(int32_t *__restrict sums, const uint8_t *ring, uint32_t length, uint32_t p, size_t n) noexcept {
    size_t i = 0;
    while (i < n) {
        const size_t k = std::min<size_t>(n - i, length - p);
        for (size_t j = 0; j < k; ++j) sums[i + j] += load_s16(ring, p + j);
        i += k;
        p = 0;
    }
}

void chorus(const uint8_t *in, uint8_t *out, size_t n, uint8_t *ring, uint32_t length,
            uint32_t *index, uint32_t span, int32_t voices, int32_t slope, double wet) noexcept {
    uint32_t idx = *index;
    // The spacing as a signed step: q - 1 with q = S / (V - 1); -1 when V - 1 exceeds S.
    const int64_t spacing = voices >= 2 ? int64_t(span / uint32_t(voices - 1)) - 1 : 0;
    // Taps behind the newest sample lie at most (V - 1) * spacing < S <= L cells back, so a
    // block whose samples go to cells that no tap of the block reads before they are written
    // (at most L - that distance samples, up to the ring's end) can be stored in the ring first
    // and its taps summed afterwards, a tap at a time: the sums are those of the sample-by-sample
    // order. Input that shares bytes with the ring, and taps that step forward (a spacing of -1),
    // keep that order instead.
    const uint64_t reach = voices >= 2 && spacing > 0 ? uint64_t(voices - 1) * uint64_t(spacing) : 0;
    const bool blocks = spacing >= 0 && !overlaps(in, 2 * n, ring, 2 * size_t(length));
    int32_t xs[kChorusBlock], sums[kChorusBlock];
    size_t start = 0;
    while (start < n) {
        size_t run = std::min(n - start, kChorusBlock);
        if (blocks) {
            run = std::min<size_t>({run, size_t(length - idx), size_t(length - reach)});
            std::memcpy(ring + 2 * size_t(idx), in + 2 * start, 2 * run);
            for (size_t i = 0; i < run; ++i) xs[i] = load_s16(in, start + i);
            if (voices == 1) {
                std::memcpy(sums, xs, run * sizeof *sums);
            } else {
                std::memset(sums, 0, run * sizeof *sums);
                for (int32_t t = 0; t < voices; ++t) {
                    const uint64_t back = uint64_t(t) * uint64_t(spacing);  // below L
                    const uint32_t p = idx >= back ? uint32_t(idx - back) : uint32_t(idx + length - back);
                    add_tap(sums, ring, length, p, run);
                }
            }
            idx += uint32_t(run);
            if (idx == length) idx = 0;
        } else {
            for (size_t i = 0; i < run; ++i) {
                const int32_t x = load_s16(in, start + i);
                store_s16(ring, idx, x);
                int32_t sum = x;
                if (voices >= 2) {
                    // taps step back and wrap once below 0, or step forward and wrap at L
                    int64_t k = idx;
                    sum = 0;  // V < 65536 taps of 16 bits fit
                    for (int32_t t = 0; t < voices; ++t) {
                        if (k < 0) k += length;
                        else if (k >= int64_t(length)) k -= length;
                        sum += load_s16(ring, size_t(k));
                        k -= spacing;
                    }
                }
                xs[i] = x;
                sums[i] = sum;
                if (++idx == length) idx = 0;
            }
        }
        chorus_finish(xs, sums, run, out + 2 * start, voices >= 2, slope, wet);
        start += run;
    }
    *index = idx;
}

inline int32_t sat16(int32_t v) noexcept { return clamp_s16(v); }

// Q15 product p / 32768, truncating toward zero, saturated to 16 bits.
inline int32_t q15(int32_t p) noexcept { return sat16(p / 32768); }

// The same for a product of two 16-bit values, |p| <= 2^30: the quotient lies in -32768 .. 32768,
// so only the top needs the clamp.
inline int32_t q15_product(int32_t p) noexcept {
    const int32_t q = p / 32768;
    return q > 32767 ? 32767 : q;
}

struct PhaserGains {
    int32_t a, fb, mix;
};

// -(a * t) / 32768 truncated, for the all-pass input t, with na = -a. The product na * t has the
// sign of t * sign(na), so the bias that turns the arithmetic shift into a truncation toward zero
// (32767 for a negative product) comes from t alone, alongside the multiplication, which keeps
// it off the chain's critical path. With na in -32767 .. 32768 and t in -32768 .. 32767 the
// product stays below 2^30 in magnitude unless it is -2^30, so the quotient lies in
// -32768 .. 32767 and needs no clamp.
inline int32_t q15_input(int32_t na, int32_t sign, int32_t t) noexcept {
    return (na * t + (((t * sign) >> 31) & 32767)) >> 15;
}

// One all-pass stage: y = sat(m + sat(-(a t) / 32768)), m' = sat(t + sat(a y / 32768)). For a
// coefficient a >= 0 the products have the signs of t and y, so both truncating divisions take
// their bias from t and y alone, and a y / 32768 lies within -32767 .. 32767 without a clamp.
template <bool NonNegative>
inline int32_t stage(int32_t t, int32_t &m, int32_t a, int32_t na, int32_t sign) noexcept {
    int32_t y;
    if (NonNegative) {
        y = sat16(m - ((a * t + ((t >> 31) & 32767)) >> 15));
        m = sat16(t + ((a * y + ((y >> 31) & 32767)) >> 15));
    } else {
        y = sat16(m + q15_input(na, sign, t));
        m = sat16(t + q15_product(a * y));
    }
    return y;
}

// Sample by sample in the caller's memories, for buffers that share bytes with each other.
void phaser_ordered(const uint8_t *in, uint8_t *out, size_t n, uint8_t *feedback, uint8_t *cells,
                    int channels, uint32_t stages, const PhaserGains &g) noexcept {
    for (size_t i = 0; i < n; ++i) {
        int ch = channels == 2 ? int(i & 1) : 0;
        int32_t s = load_s16(in, i);
        int32_t t = sat16(s + q15(load_s16(feedback, ch) * g.fb));
        uint8_t *m = cells + 2 * size_t(ch) * stages;
        for (uint32_t j = 0; j < stages; ++j) {
            int32_t y = sat16(load_s16(m, j) + q15(-(g.a * t)));
            store_s16(m, j, sat16(t + q15(g.a * y)));
            t = y;
        }
        store_s16(feedback, ch, t);
        store_s16(out, i, soft_knee_s16(s + q15(g.mix * t), 2));
    }
}

template <bool NonNegative>
void phaser_run(const uint8_t *in, uint8_t *out, size_t n, int channels, uint32_t stages,
                const PhaserGains &g, int32_t (&mem)[2][255], int32_t (&fbk)[2]) noexcept {
    const int32_t a = g.a, na = -g.a, sign = na < 0 ? -1 : 1, fb = g.fb, mix = g.mix;
    size_t i = 0;
    if (channels == 2) {
        int32_t *m0 = mem[0], *m1 = mem[1];
        for (; i + 2 <= n; i += 2) {
            const int32_t s0 = load_s16(in, i), s1 = load_s16(in, i + 1);
            int32_t t0 = sat16(s0 + q15(fbk[0] * fb)), t1 = sat16(s1 + q15(fbk[1] * fb));
            for (uint32_t j = 0; j < stages; ++j) {
                t0 = stage<NonNegative>(t0, m0[j], a, na, sign);
                t1 = stage<NonNegative>(t1, m1[j], a, na, sign);
            }
            fbk[0] = t0;
            fbk[1] = t1;
            store_s16(out, i, soft_knee_s16(s0 + q15(mix * t0), 2));
            store_s16(out, i + 1, soft_knee_s16(s1 + q15(mix * t1), 2));
        }
    }
    for (; i < n; ++i) {  // mono, or the last sample of an odd stereo call (channel 0)
        const int32_t s = load_s16(in, i);
        int32_t t = sat16(s + q15(fbk[0] * fb));
        for (uint32_t j = 0; j < stages; ++j) t = stage<NonNegative>(t, mem[0][j], a, na, sign);
        fbk[0] = t;
        store_s16(out, i, soft_knee_s16(s + q15(mix * t), 2));
    }
}

// The stage memories live in local arrays for the call (the buffers share no bytes). In stereo
// the two channels' chains, which are independent of each other, run side by side in one loop,
// so that the processor overlaps them.
void phaser(const uint8_t *in, uint8_t *out, size_t n, uint8_t *feedback, uint8_t *cells,
            int channels, uint32_t stages, const PhaserGains &g) noexcept {
    const size_t fb_bytes = 2 * size_t(channels), cell_bytes = fb_bytes * stages;
    if (overlaps(in, 2 * n, feedback, fb_bytes) || overlaps(in, 2 * n, cells, cell_bytes) ||
        overlaps(feedback, fb_bytes, cells, cell_bytes)) {
        phaser_ordered(in, out, n, feedback, cells, channels, stages, g);
        return;
    }
    int32_t mem[2][255], fbk[2];
    for (int c = 0; c < channels; ++c) {
        fbk[c] = load_s16(feedback, c);
        for (uint32_t j = 0; j < stages; ++j) mem[c][j] = load_s16(cells, size_t(c) * stages + j);
    }
    if (g.a >= 0)
        phaser_run<true>(in, out, n, channels, stages, g, mem, fbk);
    else
        phaser_run<false>(in, out, n, channels, stages, g, mem, fbk);
    for (int c = 0; c < channels; ++c) {
        store_s16(feedback, c, fbk[c]);
        for (uint32_t j = 0; j < stages; ++j) store_s16(cells, size_t(c) * stages + j, mem[c][j]);
    }
}

}  // namespace kernel

// ---------------------------------------------------------------------------------------------
// Bindings

PyObject *chorus_s16(PyObject *, PyObject *args) {
    BufferView in, ring;
    unsigned int index, span, length;
    int voices;
    double wet;
    if (!PyArg_ParseTuple(args, "y*w*IIIid:chorus_s16", in.out(), ring.out(), &index, &span, &length,
                          &voices, &wet))
        return nullptr;
    constexpr const char *kInvalid = "invalid chorus parameters";
    if (in.size() % 2 != 0 || voices < 1 || span == 0 || span > length ||
        ring.len() < int64_t(length) * 2)
        return value_error(kInvalid);
    // knee_slope(V) needs V * 32768 inside the signed 32-bit range.
    if (voices >= 65536) return value_error(kInvalid);
    int32_t slope = kKneeSlope2;
    if (!knee_slope(voices, &slope)) return value_error(kInvalid);
    index %= length;  // indices in range are kept as they are

    uint8_t *out;
    PyObject *result = new_bytes(in.size(), &out);
    if (!result) return nullptr;
    without_gil(kernel_work(in.size() / 2, 2 + size_t(voices)), [&] {
        kernel::chorus(in.bytes(), out, in.size() / 2, ring.writable(), length, &index, span, voices,
                       slope, wet);
    });
    return Py_BuildValue("(NI)", result, index);
}

// A Q15 parameter: the low 16 bits of trunc(value * 32767), sign-extended.
static int32_t q15_param(double value) {
    return static_cast<int16_t>(static_cast<uint32_t>(saturate_cast<int32_t>(value * 32767.0)));
}

PyObject *phaser_s16(PyObject *, PyObject *args) {
    BufferView in, feedback, cells;
    unsigned int channels, stages;
    double corner, rate, fb_gain, mix;
    if (!PyArg_ParseTuple(args, "y*w*w*IIdddd:phaser_s16", in.out(), feedback.out(), cells.out(),
                          &channels, &stages, &corner, &rate, &fb_gain, &mix))
        return nullptr;
    if (in.size() % 2 != 0 || (channels != 1 && channels != 2) || stages < 1 || stages > 255 ||
        rate <= 0.0 || feedback.len() < int64_t(channels) * 2 ||
        cells.len() < int64_t(stages) * int64_t(channels) * 2)
        return value_error("invalid phaser parameters");

    uint8_t *out;
    PyObject *result = new_bytes(in.size(), &out);
    if (!result) return nullptr;
    kernel::PhaserGains g;
    g.mix = q15_param(mix);
    if (g.mix <= 328) {
        std::memcpy(out, in.bytes(), in.size());
        return result;
    }
    double x = corner / rate;
    double coefficient = (1.0 - x) / (1.0 + x);
    if (x >= -1.0 && x < 0.0) coefficient = 1.0;
    g.a = q15_param(coefficient);
    g.fb = q15_param(fb_gain);
    without_gil(kernel_work(in.size() / 2, 2 + 2 * size_t(stages)), [&] {
        kernel::phaser(in.bytes(), out, in.size() / 2, feedback.writable(), cells.writable(),
                       int(channels), stages, g);
    });
    return result;
}

}  // namespace sonolith
