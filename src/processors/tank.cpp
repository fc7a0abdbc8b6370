// TankState: a plate-style reverberator for interleaved signed 16-bit PCM, mono or stereo. Each
// frame runs through
//
//   mono sum -> predelay -> bandwidth low-pass -> high-pass -> soft saturator
//     -> four input diffusion all-passes (lines 0..3)
//     -> a figure-of-eight tank of two halves whose ends cross-feed each other:
//          A: modulated all-pass (4) -> delay (5) -> damping -> decay all-pass (6) -> delay (7)
//          B: modulated all-pass (8) -> delay (9) -> damping -> decay all-pass (10) -> delay (11)
//     -> output taps read from any of the twelve lines -> stereo width -> tilt -> dry/wet mix.
//
// The twelve lines and the predelay are 16-bit cells in one block (lines back to back in line
// order, then the predelay); everything between them is single precision, in exactly the order
// written below, so nothing here may be reassociated or fused. Line lengths and taps can be
// replaced (`recut`), which reuses the block when the total cell count stays the same.
//
// Guards beyond the plain algorithm: a NaN option value takes that option's default; NaN
// lengths count as 0 and NaN or infinite tap fields are rejected with the message of their
// field, except gains, where NaN becomes 0 and an infinity the largest float; every float-to-
// integer conversion saturates; recut values are range-checked as floats before conversion, so
// 2^32 + 4 never becomes 4. At very high sample rates the predelay holds at most 2^24 frames,
// and default lines that would not fit the lines' limits are refused like recut's. The
// modulated read position and the output conversion are NaN-safe. An object whose __init__
// never succeeded has no block and reaches no kernel.
#include <cmath>
#include <limits>
#if defined(__SSE2__)
#include <immintrin.h>
#endif

#include "module/module.hpp"
#include "module/numeric.hpp"

namespace sonolith {

// ---------------------------------------------------------------------------------------------
// Kernel

namespace tank {

constexpr int kLines = 12;
constexpr int kMaxTaps = 32;
constexpr uint32_t kMaxLine = 4194304;      // frames per line
constexpr uint32_t kMaxLines = 8388608;     // frames of all twelve lines together
constexpr uint32_t kMaxPredelay = 1u << 24;  // predelay frames (10 s up to 1.6 MHz)
constexpr float kReferenceRate = 29761.0f;

constexpr uint16_t kReferenceLength[kLines] = {142, 107, 379, 277, 672, 4453,
                                               1800, 3720, 908, 4217, 2656, 3163};

struct DefaultTap {
    uint8_t channel, line;
    uint16_t offset;
    float gain;
};
constexpr DefaultTap kDefaultTaps[] = {
    {0, 9, 266, 0.6f},   {0, 9, 2974, 0.6f},  {0, 10, 1913, -0.6f}, {0, 11, 1996, 0.6f},
    {0, 5, 1990, -0.6f}, {0, 6, 187, -0.6f},  {0, 7, 1066, -0.6f},  {1, 5, 353, 0.6f},
    {1, 5, 3627, 0.6f},  {1, 6, 1228, -0.6f}, {1, 7, 2673, 0.6f},   {1, 9, 2111, -0.6f},
    {1, 10, 335, -0.6f}, {1, 11, 121, -0.6f},
};

struct Config {
    uint32_t sample_rate;
    uint32_t channels;
    uint32_t lengths[kLines];
    uint32_t predelay_capacity;  // frames
    uint32_t predelay;           // frames
    float decay, diffusion;
    float damping, bandwidth, highpass;  // one-pole coefficients, 0 = off
    float tilt_coef, tilt_low, tilt_high;
    float mod_rate;   // quadrature oscillator step, 0 = stopped
    float mod_depth;  // frames
    float saturation, width, mix;
    uint8_t tap_channel[kMaxTaps];
    uint8_t tap_line[kMaxTaps];
    uint32_t tap_offset[kMaxTaps];
    float tap_gain[kMaxTaps];
    uint32_t tap_count;
    // Last raw values of options 2, 3, 4 (Hz), 7 (Hz), 6 (ms), 5 (ms), 10 (dB).
    float raw_damping, raw_bandwidth, raw_highpass, raw_rate, raw_depth, raw_predelay, raw_tilt;
};

struct Run {
    int16_t *line[kLines];
    uint32_t pos[kLines];
    int16_t *predelay_line;
    uint32_t predelay_pos;
    float bandwidth_z, highpass_z, damp_a, damp_b, tilt_z[2];
    float osc_s, osc_c;
    uint8_t silent;
    uint32_t silence_count;
};

inline size_t line_cells(const Config &c) noexcept {
    size_t n = 0;
    for (uint32_t l : c.lengths) n += l;
    return n;
}
inline size_t total_cells(const Config &c) noexcept { return line_cells(c) + c.predelay_capacity; }

// A line cell from a float: saturated, truncated towards zero (NaN, never produced by the
// bounded arithmetic of the tank, would give -32768).
// v limited to lo .. hi, NaN giving lo. Written with the SSE min/max instructions where they
// exist (their operand order gives exactly this), so that no branch depends on the signal.
inline float clamp_lo(float v, float lo, float hi) noexcept {
#if defined(__SSE2__)
    __m128 x = _mm_max_ps(_mm_set1_ps(v), _mm_set1_ps(lo));  // NaN in the first operand: lo
    x = _mm_min_ps(x, _mm_set1_ps(hi));
    return _mm_cvtss_f32(x);
#else
    v = v > lo ? v : lo;
    return v < hi ? v : hi;
#endif
}

inline int16_t store_cell(float t) noexcept {
    return static_cast<int16_t>(static_cast<int32_t>(clamp_lo(t, -32768.0f, 32767.0f)));
}

// Rounded half away from zero and saturated; NaN gives 0. Adding 0.5 with the sign of y is
// y - 0.5 below zero and y + 0.5 above (for -0 it gives -0.5, which truncates to 0 as well).
inline int32_t round_s16(float y) noexcept {
    y = y == y ? y : 0.0f;
    const float r = y + std::copysign(0.5f, y);
    return static_cast<int32_t>(clamp_lo(r, -32768.0f, 32767.0f));
}

// The index `back` frames behind position p of a line (back < len; 0 is p itself).
inline uint32_t behind(uint32_t p, uint32_t len, uint32_t back) noexcept {
    const uint32_t i = p + len - back;
    return i >= len ? i - len : i;
}

// An index advanced by n frames, where n is at most the room left before it wraps.
inline uint32_t advance(uint32_t p, size_t n, uint32_t len) noexcept {
    const uint32_t q = p + static_cast<uint32_t>(n);
    return q == len ? 0 : q;
}

inline size_t least(size_t a, size_t b) noexcept { return b < a ? b : a; }

inline float allpass(int16_t *cell, float v, float q) noexcept {
    const float z = *cell;
    const float t = v + q * z;
    *cell = store_cell(t);
    return z - q * t;
}

// acc[f] += cell[f] x gain over a stretch (independent frames: vectorises).
__attribute__((noinline)) void accumulate(float *__restrict acc, const int16_t *__restrict cell,
                                          float gain, size_t n) noexcept {
    for (size_t f = 0; f < n; ++f) acc[f] += static_cast<float>(cell[f]) * gain;
}

// Saturating truncation to a cell, written so that loops over stretches vectorise (the compare
// and select forms give the same results as clamp_lo, NaN included).
inline int16_t cell_of(float t) noexcept {
    float v = t > -32768.0f ? t : -32768.0f;
    v = v < 32767.0f ? v : 32767.0f;
    return static_cast<int16_t>(static_cast<int32_t>(v));
}

// The output sample x dry + y wet, rounded half away from zero and saturated (NaN gives 0),
// written so that loops over stretches vectorise; the same results as round_s16.
inline int16_t mixed(int16_t x, float dry, float y, float wet) noexcept {
    float v = static_cast<float>(x) * dry + y * wet;
    v = v == v ? v : 0.0f;
    float r = v + std::copysign(0.5f, v);
    r = r > -32768.0f ? r : -32768.0f;
    r = r < 32767.0f ? r : 32767.0f;
    return static_cast<int16_t>(static_cast<int32_t>(r));
}

// An all-pass over a stretch: v[f] in, v[f] out.
void allpass_stretch(int16_t *__restrict line, float *__restrict v, float q, size_t n) noexcept {
    for (size_t f = 0; f < n; ++f) {
        const float z = line[f];
        const float t = v[f] + q * z;
        line[f] = cell_of(t);
        v[f] = z - q * t;
    }
}

// The decay all-pass (input g x v) and the delay after it, over a stretch.
void scaled_allpass_delay(int16_t *__restrict ap, int16_t *__restrict delay, const float *__restrict v,
                          float g, float q, size_t n) noexcept {
    for (size_t f = 0; f < n; ++f) {
        const float z = ap[f];
        const float t = g * v[f] + q * z;
        ap[f] = cell_of(t);
        delay[f] = cell_of(z - q * t);
    }
}

// The first part of a tank half over a stretch: the modulated all-pass (line `base`, written at
// position pos + f), the delay after it and the damping low-pass. v holds the half's input and
// receives the damped delay output.
template <bool Modulated>
void half(int16_t *base, uint32_t len, uint32_t pos, float top, const int16_t *head,
          int16_t *__restrict delay, float *__restrict v, const float *__restrict lfo, float excursion,
          float q, float damp, float &zd, size_t n) noexcept {
    int16_t *line = base + pos;
    float z_state = zd;
    for (size_t f = 0; f < n; ++f) {
        float z;
        if constexpr (Modulated) {
            // A fractional read d frames behind the write position, interpolated towards one
            // frame further back.
            const float d = clamp_lo(top - excursion + lfo[f] * excursion, 1.0f, top);
            const uint32_t i = static_cast<uint32_t>(d);
            const float fr = d - static_cast<float>(i);
            const uint32_t at = behind(pos + static_cast<uint32_t>(f), len, i);
            const uint32_t before = at == 0 ? len - 1 : at - 1;
            const float r0 = base[at], r1 = base[before];
            z = r0 + (r1 - r0) * fr;
        } else {
            // With no excursion d is len - 1 exactly and the interpolation weight 0: the cell
            // one ahead of the write position, which this stretch writes only a frame later.
            (void)lfo;
            z = head[f];
        }
        const float t = v[f] + q * z;
        line[f] = store_cell(t);
        const float o = z - q * t;
        float val = delay[f];
        delay[f] = store_cell(o);
        if (damp > 0.0f) val = (val - z_state) * damp + z_state;
        z_state = val;
        v[f] = val;
    }
    zd = z_state;
}

// The frames run in stretches in which no line position, read head or tap index wraps and no
// tap's cell is overwritten after the frame that reads it: inside a stretch every line is a
// plain array indexed by the frame, and the taps of a whole stretch are read after its frames
// have run, each channel's sum still formed frame by frame in tap order. The results are those
// of running the steps frame by frame.
template <int N, bool Modulated>
void run(const Config &cf, Run &r, const uint8_t *in, uint8_t *out, size_t frames) noexcept {
    const float g = cf.decay;
    const float a = cf.diffusion;
    const float q01 = a, q23 = a * 0.8333333f, q48 = a * 0.93333334f, q610 = a * 0.6666667f;
    const float dry = 2.0f - cf.mix < 1.0f ? 2.0f - cf.mix : 1.0f;
    const float wet = cf.mix < 1.0f ? cf.mix : 1.0f;
    const float k = cf.mod_rate;
    const float excursion = k != 0.0f ? cf.mod_depth : 0.0f;
    const float bw = cf.bandwidth, hp = cf.highpass, sat = cf.saturation, damp = cf.damping;
    const float width = cf.width, tilt_c = cf.tilt_coef, tilt_lo = cf.tilt_low,
                tilt_hi = cf.tilt_high;
    const bool tilt_on = cf.raw_tilt != 0.0f;

    int16_t *base[kLines];
    uint32_t len[kLines], pos[kLines];
    for (int l = 0; l < kLines; ++l) {
        base[l] = r.line[l];
        len[l] = cf.lengths[l];
        pos[l] = r.pos[l];
    }
    // Without modulation the all-passes of lines 4 and 8 read len - 1 frames behind, which is
    // one cell ahead of the write position.
    uint32_t head4 = pos[4] + 1 == len[4] ? 0 : pos[4] + 1;
    uint32_t head8 = pos[8] + 1 == len[8] ? 0 : pos[8] + 1;
    const float top4 = static_cast<float>(len[4] - 1), top8 = static_cast<float>(len[8] - 1);

    const uint32_t P = cf.predelay_capacity, D = cf.predelay;
    const bool delayed = D >= 1 && D <= P;
    int16_t *pd = r.predelay_line;
    uint32_t w = r.predelay_pos;
    uint32_t rd = delayed ? behind(w, P, D) : 0;

    // Taps grouped by output channel (in mono one group), each group in tap order.
    struct Tap {
        const int16_t *base;
        uint32_t index, len;
        uint32_t room;  // frames from a read until its cell is written again
        float gain;
    };
    Tap tap[kMaxTaps];
    uint32_t taps = 0, first_group = 0;
    for (int group = 0; group < N; ++group) {
        for (uint32_t t = 0; t < cf.tap_count; ++t) {
            if (N == 2 && cf.tap_channel[t] != group) continue;
            const int l = cf.tap_line[t];
            const uint32_t n = cf.lengths[l];
            const uint32_t back = cf.tap_offset[t] < n - 1 ? cf.tap_offset[t] : n - 1;
            tap[taps++] = {r.line[l], behind(r.pos[l], n, back), n, back == 0 ? n : n - back,
                           cf.tap_gain[t]};
        }
        if (group == 0) first_group = taps;
    }

    float s = r.osc_s, c = r.osc_c;
    float zbw = r.bandwidth_z, zhp = r.highpass_z, za = r.damp_a, zb = r.damp_b;
    float zt[2] = {r.tilt_z[0], r.tilt_z[1]};

    // The caller's buffers are bytes (which may alias anything): the frames go through local
    // copies so that the loop's state can stay in registers.
    constexpr size_t kChunk = 256;
    int16_t xin[kChunk * N], yout[kChunk * N];
    float sum[2][kChunk];
    float va[kChunk], vb[kChunk], lfo_s[kChunk], lfo_c[kChunk];

    for (size_t done = 0; done < frames;) {
        size_t n = least(frames - done, kChunk);
        for (int l = 0; l < kLines; ++l) n = least(n, len[l] - pos[l]);
        if (!Modulated) n = least(least(n, len[4] - head4), len[8] - head8);
        n = least(n, P - w);
        if (delayed) n = least(n, P - rd);
        for (uint32_t t = 0; t < taps; ++t) n = least(least(n, tap[t].len - tap[t].index), tap[t].room);

        std::memcpy(xin, in + done * N * 2, n * N * 2);
        int16_t *L[kLines];
        for (int l = 0; l < kLines; ++l) L[l] = base[l] + pos[l];
        const int16_t *h4 = base[4] + head4, *h8 = base[8] + head8;
        int16_t *pdw = pd + w;
        const int16_t *pdr = pd + rd;

        // Oscillator and input stage: the recurrences, frame by frame.
        for (size_t f = 0; f < n; ++f) {
            // 1. Oscillator.
            if (k != 0.0f) {
                s = s + k * c;
                c = c - k * s;
            } else {
                s = 0.0f;
                c = 1.0f;
            }
            if constexpr (Modulated) lfo_s[f] = s, lfo_c[f] = c;
            // 2-3. Mono input and predelay.
            const float h = N == 1 ? static_cast<float>(xin[f])
                                   : (static_cast<float>(xin[2 * f]) + static_cast<float>(xin[2 * f + 1])) * 0.5f;
            float v = delayed ? static_cast<float>(pdr[f]) : h;
            pdw[f] = static_cast<int16_t>(round_s16(h));
            // 4-6. Input filters and saturator.
            if (bw > 0.0f) v = (v - zbw) * bw + zbw;
            zbw = v;
            if (hp > 0.0f) {
                zhp = (v - zhp) * hp + zhp;
                v = v - zhp;
            } else {
                zhp = 0.0f;
            }
            if (sat > 0.0f) {
                const float u = clamp_lo(v / 32768.0f, -1.0f, 1.0f);
                v = (u - sat * (u * u * u) / 3.0f) * 32768.0f;
            }
            va[f] = v;
        }
        // 7. Input diffusion. Every frame of an all-pass or a delay touches only the cell at its
        // own position, which the stretch has not written before: the stages run over the whole
        // stretch at once (and vectorise).
        allpass_stretch(L[0], va, q01, n);
        allpass_stretch(L[1], va, q01, n);
        allpass_stretch(L[2], va, q23, n);
        allpass_stretch(L[3], va, q23, n);
        // 8-9. Inputs of the halves, each with the other's last delay cell from the frame's start.
        for (size_t f = 0; f < n; ++f) {
            vb[f] = va[f] + g * static_cast<float>(L[7][f]);
            va[f] = va[f] + g * static_cast<float>(L[11][f]);
        }
        half<Modulated>(base[4], len[4], pos[4], top4, h4, L[5], va, lfo_s, excursion, q48, damp, za, n);
        scaled_allpass_delay(L[6], L[7], va, g, q610, n);
        half<Modulated>(base[8], len[8], pos[8], top8, h8, L[9], vb, lfo_c, excursion, q48, damp, zb, n);
        scaled_allpass_delay(L[10], L[11], vb, g, q610, n);

        // 10. Taps of the stretch, frame by frame in tap order per channel.
        for (int ch = 0; ch < N; ++ch) {
            float *__restrict acc = sum[ch];
            for (size_t f = 0; f < n; ++f) acc[f] = 0.0f;
            const uint32_t t0 = ch == 0 ? 0 : first_group, t1 = ch == 0 ? first_group : taps;
            for (uint32_t t = t0; t < t1; ++t) accumulate(acc, tap[t].base + tap[t].index, tap[t].gain, n);
        }
        // 12. Width (vectorises).
        if (N == 1) {
            for (size_t f = 0; f < n; ++f) sum[0][f] = sum[0][f] * 0.5f;
        } else if (width != 1.0f) {
            for (size_t f = 0; f < n; ++f) {
                const float A = sum[0][f], B = sum[N - 1][f];
                const float m = (A + B) * 0.5f, sd = (A - B) * 0.5f * width;
                sum[0][f] = m + sd;
                sum[N - 1][f] = m - sd;
            }
        }
        // 13. Tilt (a recurrence per channel), then the mix (vectorises).
        if (tilt_c > 0.0f) {
            for (int ch = 0; ch < N; ++ch) {
                float z = zt[ch];
                float *__restrict o = sum[ch];
                for (size_t f = 0; f < n; ++f) {
                    const float y = o[f];
                    z = (y - z) * tilt_c + z;
                    if (tilt_on) o[f] = (y - z) * tilt_hi + z * tilt_lo;
                }
                zt[ch] = z;
            }
        }
        for (size_t f = 0; f < n; ++f)
            for (int ch = 0; ch < N; ++ch)
                yout[f * N + ch] = mixed(xin[f * N + ch], dry, sum[ch][f], wet);
        std::memcpy(out + done * N * 2, yout, n * N * 2);

        // 11. Every index moves on by the stretch.
        for (int l = 0; l < kLines; ++l) pos[l] = advance(pos[l], n, len[l]);
        head4 = advance(head4, n, len[4]);
        head8 = advance(head8, n, len[8]);
        w = advance(w, n, P);
        if (delayed) rd = advance(rd, n, P);
        for (uint32_t t = 0; t < taps; ++t) tap[t].index = advance(tap[t].index, n, tap[t].len);
        done += n;
    }

    for (int l = 0; l < kLines; ++l) r.pos[l] = pos[l];
    r.predelay_pos = w;
    r.osc_s = s, r.osc_c = c;
    r.bandwidth_z = zbw, r.highpass_z = zhp, r.damp_a = za, r.damp_b = zb;
    r.tilt_z[0] = zt[0], r.tilt_z[1] = zt[1];
}

void process(const Config &cf, Run &r, const uint8_t *in, uint8_t *out, size_t frames) noexcept {
    const bool modulated = cf.mod_rate != 0.0f && cf.mod_depth != 0.0f;
    if (cf.channels == 1)
        modulated ? run<1, true>(cf, r, in, out, frames) : run<1, false>(cf, r, in, out, frames);
    else
        modulated ? run<2, true>(cf, r, in, out, frames) : run<2, false>(cf, r, in, out, frames);
}

// The tail on `frames` frames of silence, rendered into `out` (zero-filled by the caller), and
// the silence bookkeeping: once a whole longest-line of output has been silent, the filters
// hold only denormal-sized residue and every cell is 0, the tank is marked silent.
void render_silence(const Config &cf, Run &r, const int16_t *block, size_t cells, uint8_t *out,
                    size_t frames) noexcept {
    process(cf, r, out, out, frames);
    const size_t samples = frames * cf.channels;
    bool quiet = true;
    for (size_t i = 0; i < samples && quiet; ++i) quiet = load_s16(out, i) == 0;
    if (!quiet) {
        r.silence_count = 0;
        return;
    }
    const uint64_t grown = uint64_t(r.silence_count) + frames;
    r.silence_count = grown > UINT32_MAX ? UINT32_MAX : static_cast<uint32_t>(grown);
    uint32_t longest = cf.predelay_capacity;
    for (uint32_t l : cf.lengths) longest = l > longest ? l : longest;
    if (r.silence_count < longest) return;
    r.silence_count = 0;
    constexpr float kResidue = 0.0009765625f;
    const float states[6] = {r.bandwidth_z, r.highpass_z, r.damp_a,
                             r.damp_b,      r.tilt_z[0],  r.tilt_z[1]};
    for (float z : states)
        if (!(std::fabs(z) < kResidue)) return;
    for (size_t i = 0; i < cells; ++i)
        if (block[i] != 0) return;
    r.bandwidth_z = r.highpass_z = r.damp_a = r.damp_b = r.tilt_z[0] = r.tilt_z[1] = 0.0f;
    r.silent = 1;
}

// ---------------------------------------------------------------------------------------------
// Derived values

inline float clamp01(float v) noexcept { return v < 0.0f ? 0.0f : (v > 1.0f ? 1.0f : v); }

inline float one_pole(float f, float rate) noexcept {
    if (!(f > 0.0f)) return 0.0f;
    return clamp01(1.0f - expf(-6.2831855f * f / rate));
}

inline float rate_coefficient(float f, float rate) noexcept {
    if (!(f > 0.0f)) return 0.0f;
    return 2.0f * sinf(3.1415927f * f / rate);
}

// Option `option` (0..11) with value v. A NaN takes the option's default.
void store_option(Config &c, unsigned option, float v) noexcept {
    const float rate = static_cast<float>(c.sample_rate);
    const bool nan = !(v == v);
    switch (option) {
    case 0: c.decay = clamp_float(v, 0.0f, 0.999f, 0.5f); break;
    case 1: c.diffusion = clamp_float(v, 0.0f, 0.9f, 0.75f); break;
    case 2:
        c.raw_damping = nan ? 0.0f : v;
        c.damping = one_pole(c.raw_damping, rate);
        break;
    case 3:
        c.raw_bandwidth = nan ? 0.0f : v;
        c.bandwidth = one_pole(c.raw_bandwidth, rate);
        break;
    case 4:
        c.raw_highpass = nan ? 0.0f : v;
        c.highpass = one_pole(c.raw_highpass, rate);
        break;
    case 5: {
        c.raw_predelay = (nan || v < 0.0f) ? 0.0f : v;
        const float frames = rate * c.raw_predelay / 1000.0f;
        const float capacity = static_cast<float>(c.predelay_capacity);
        c.predelay = saturate_cast<uint32_t>(capacity < frames ? capacity : frames);
        break;
    }
    case 6:
        c.raw_depth = clamp_float(v, 0.0f, 100.0f, 0.0f);
        c.mod_depth = rate * c.raw_depth / 1000.0f;
        break;
    case 7:
        c.raw_rate = clamp_float(v, 0.0f, 100.0f, 0.0f);
        c.mod_rate = rate_coefficient(c.raw_rate, rate);
        break;
    case 8: c.saturation = clamp_float(v, 0.0f, 1.0f, 0.0f); break;
    case 9: c.width = clamp_float(v, 0.0f, 2.0f, 1.0f); break;
    case 10:
        c.raw_tilt = clamp_float(v, -24.0f, 24.0f, 0.0f);
        c.tilt_low = expf(-c.raw_tilt * 0.057564627f);
        c.tilt_high = expf(c.raw_tilt * 0.057564627f);
        c.tilt_coef = clamp01(1.0f - expf(-6283.1855f / rate));
        break;
    case 11: c.mix = clamp_float(v, 0.0f, 2.0f, 0.3f); break;
    default: break;
    }
}

void finish(Config &c) noexcept {
    const float rate = static_cast<float>(c.sample_rate);
    store_option(c, 2, c.raw_damping);
    store_option(c, 3, c.raw_bandwidth);
    store_option(c, 4, c.raw_highpass);
    store_option(c, 7, c.raw_rate);
    store_option(c, 6, c.raw_depth);
    store_option(c, 5, c.raw_predelay);
    store_option(c, 10, c.raw_tilt);
    c.tilt_coef = clamp01(1.0f - expf(-6283.1855f / rate));
    constexpr int kModulated[2] = {4, 8};
    for (int l : kModulated) {
        float limit = (static_cast<float>(c.lengths[l]) - 2.0f) * 0.5f;
        if (limit < 0.0f) limit = 0.0f;
        if (c.mod_depth > limit) c.mod_depth = limit;
    }
}

// Reference frames scaled to the sample rate, rounded half up.
inline float scaled(float reference, float rate) noexcept { return reference * rate / kReferenceRate; }

// The configuration of a new object: default lines and taps at the given rate.
void default_config(Config &c, uint32_t rate, uint32_t channels, float max_predelay_ms) noexcept {
    c = Config{};
    c.sample_rate = rate;
    c.channels = channels;
    const float sr = static_cast<float>(rate);
    for (int l = 0; l < kLines; ++l) {
        const float x = scaled(kReferenceLength[l], sr);
        const uint32_t n = x < 1.0f ? 4 : saturate_cast<uint32_t>(x + 0.5f);
        c.lengths[l] = n < 4 ? 4 : n;
    }
    int t = 0;
    for (const DefaultTap &d : kDefaultTaps) {
        const float x = scaled(d.offset, sr);
        uint32_t offset = x < 1.0f ? 1 : saturate_cast<uint32_t>(x + 0.5f);
        const uint32_t last = c.lengths[d.line] - 1;
        c.tap_channel[t] = d.channel;
        c.tap_line[t] = d.line;
        c.tap_offset[t] = offset < last ? offset : last;
        c.tap_gain[t] = d.gain;
        ++t;
    }
    c.tap_count = static_cast<uint32_t>(t);
    const float ms = max_predelay_ms < 10000.0f ? max_predelay_ms : 10000.0f;
    const float frames = sr * ms / 1000.0f;
    uint32_t capacity = frames >= static_cast<float>(kMaxPredelay)
                            ? kMaxPredelay
                            : saturate_cast<uint32_t>(frames);
    c.predelay_capacity = capacity < 1 ? 1 : capacity;
    c.decay = 0.5f;
    c.diffusion = 0.75f;
    c.width = 1.0f;
    c.mix = 0.3f;
    c.tilt_low = c.tilt_high = 1.0f;
}

}  // namespace tank

// ---------------------------------------------------------------------------------------------
// Python type

namespace {

using tank::kLines;
using tank::kMaxTaps;

struct TankObject {
    PyObject_HEAD
    ObjectMutex lock;
    tank::Config config;
    tank::Run run;
    OwnedArray<int16_t> block;
    uint8_t ready;
};

void free_arrays(TankObject *self) noexcept { self->block.reset(); }

// Zero-fills the block and lays the lines and the predelay out in it.
void reset_run(TankObject *self) noexcept {
    tank::Run &r = self->run;
    r = tank::Run{};
    r.osc_c = 1.0f;
    if (!self->block) return;
    std::memset(self->block.data, 0, self->block.count * sizeof(int16_t));
    int16_t *p = self->block.data;
    for (int l = 0; l < kLines; ++l) {
        r.line[l] = p;
        p += self->config.lengths[l];
    }
    r.predelay_line = p;
}

constexpr const char kCountError[] = "delays needs 12 line lengths; taps needs 4 values per tap";

// A delays or taps argument read into single precision: absent (None), or up to `max` values.
struct Values {
    bool given;
    size_t count;
    float v[4 * kMaxTaps];  // up to 32 taps of four values
};

// Items are fetched one by one by index, each converted at once, so that a sequence whose
// length claim is huge or false, or that changes while its items convert, is never trusted for
// more than the values actually read.
bool read_values(PyObject *obj, size_t max, Values &out) noexcept {
    out.given = false;
    out.count = 0;
    if (obj == Py_None) return true;
    if (!PySequence_Check(obj)) return fail(PyExc_TypeError, "expected a sequence of numbers"), false;
    const Py_ssize_t n = PySequence_Size(obj);
    if (n < 0) return false;
    if (static_cast<size_t>(n) > max) return value_error("too many values"), false;
    for (Py_ssize_t i = 0; i < n; ++i) {
        PyObject *item = PySequence_GetItem(obj, i);
        if (item == nullptr) return false;
        const double d = PyFloat_AsDouble(item);
        Py_DECREF(item);
        if (d == -1.0 && PyErr_Occurred()) return false;
        out.v[i] = narrow_float(d);
    }
    out.given = true;
    out.count = static_cast<size_t>(n);
    return true;
}

// Whether the lines fit: each at most 4194304 frames, all together at most 8388608.
bool lines_fit(const uint32_t *lengths) noexcept {
    uint64_t total = 0;
    for (int l = 0; l < kLines; ++l) {
        if (lengths[l] > tank::kMaxLine) return false;
        total += lengths[l];
        if (total > tank::kMaxLines) return false;
    }
    return true;
}

// Applies new delays and taps to the configuration c (a copy); on an error c may be partly
// changed and the caller drops it.
bool apply_recut(tank::Config &c, const Values &delays, const Values &taps) noexcept {
    if (delays.given) {
        if (delays.count != kLines) return value_error(kCountError), false;
        uint32_t lengths[kLines];
        uint64_t total = 0;
        for (int l = 0; l < kLines; ++l) {
            float v = delays.v[l];
            if (!(v >= 0.0f)) v = 0.0f;  // below 0, or NaN
            // Compared as a float before converting, so that no value wraps into range.
            if (v >= static_cast<float>(tank::kMaxLine) + 1.0f) return value_error("the lines do not fit"), false;
            const uint32_t n = static_cast<uint32_t>(v);
            if (n < 4) return value_error("every line needs at least 4 frames"), false;
            total += n;
            if (total > tank::kMaxLines) return value_error("the lines do not fit"), false;
            lengths[l] = n;
        }
        for (int l = 0; l < kLines; ++l) c.lengths[l] = lengths[l];
        for (uint32_t t = 0; t < c.tap_count; ++t) {
            const uint32_t len = c.lengths[c.tap_line[t]];
            if (c.tap_offset[t] >= len) c.tap_offset[t] = len - 1;
        }
    }
    if (taps.given) {
        if (taps.count % 4 != 0 || taps.count > 4 * kMaxTaps) return value_error(kCountError), false;
        const size_t count = taps.count / 4;
        for (size_t t = 0; t < count; ++t) {
            const float *v = taps.v + 4 * t;
            if (!(v[0] >= 0.0f && v[0] <= 1.0f)) return value_error("a tap channel is not 0 or 1"), false;
            if (!(v[1] >= 0.0f && v[1] <= 11.0f)) return value_error("a tap line index is not 0..11"), false;
            const uint32_t line = static_cast<uint32_t>(v[1]);
            if (!(v[2] >= 0.0f && v[2] < static_cast<float>(c.lengths[line])))
                return value_error("a tap offset is past the end of its line"), false;
        }
        for (size_t t = 0; t < count; ++t) {
            const float *v = taps.v + 4 * t;
            c.tap_channel[t] = static_cast<uint8_t>(v[0]);
            c.tap_line[t] = static_cast<uint8_t>(v[1]);
            uint32_t offset = static_cast<uint32_t>(v[2]);
            const uint32_t last = c.lengths[c.tap_line[t]] - 1;
            c.tap_offset[t] = offset < last ? offset : last;
            float gain = v[3];
            if (!(gain == gain)) gain = 0.0f;
            if (gain > std::numeric_limits<float>::max()) gain = std::numeric_limits<float>::max();
            if (gain < -std::numeric_limits<float>::max()) gain = -std::numeric_limits<float>::max();
            c.tap_gain[t] = gain;
        }
        c.tap_count = static_cast<uint32_t>(count);
    }
    return true;
}

// Stores the configuration c, with a block of its total size: the present block when the size is
// unchanged, else a new one. False with MemoryError set (and the object unchanged) on failure.
bool install(TankObject *self, const tank::Config &c) noexcept {
    const size_t cells = tank::total_cells(c);
    if (!self->block || self->block.count != cells) {
        NewArray<int16_t> fresh;
        if (!fresh.allocate(cells)) return false;
        fresh.commit(self->block);
    }
    self->config = c;
    reset_run(self);
    return true;
}

int init(TankObject *self, PyObject *args, PyObject *kwds) {
    static const char *keywords[] = {"sample_rate", "max_predelay_ms", "channel_count", "delays",
                                     "taps", nullptr};
    unsigned int sample_rate = 48000, channel_count = 2;
    double max_predelay_ms = 200.0;
    PyObject *delays_obj = Py_None, *taps_obj = Py_None;
    if (!PyArg_ParseTupleAndKeywords(args, kwds, "|IdIOO:TankState", const_cast<char **>(keywords),
                                     &sample_rate, &max_predelay_ms, &channel_count, &delays_obj,
                                     &taps_obj))
        return -1;
    float max_ms = narrow_float(max_predelay_ms);
    if (sample_rate == 0) return value_error("sample_rate must be at least 1");
    if (max_ms < 0.0f) return value_error("max_predelay_ms must not be negative");
    if (channel_count != 1 && channel_count != 2) return value_error("channel_count must be 1 or 2");
    if (!(max_ms == max_ms)) max_ms = 0.0f;

    Values delays, taps;
    if (!read_values(delays_obj, kLines, delays) || !read_values(taps_obj, 4 * kMaxTaps, taps))
        return -1;
    tank::Config c;
    tank::default_config(c, sample_rate, channel_count, max_ms);
    if (!delays.given && !lines_fit(c.lengths)) return value_error("the lines do not fit");
    if (!apply_recut(c, delays, taps)) return -1;
    if (!install(self, c)) return -1;
    self->ready = 1;
    return 0;
}

PyObject *configure(TankObject *self, PyObject *args) {
    int option;
    double value;
    if (!PyArg_ParseTuple(args, "id:configure", &option, &value)) return nullptr;
    if (static_cast<unsigned>(option) > 11u) return value_error("unknown tank option");
    tank::store_option(self->config, static_cast<unsigned>(option), narrow_float(value));
    Py_RETURN_NONE;
}

PyObject *finish(TankObject *self, PyObject *) {
    tank::finish(self->config);
    Py_RETURN_NONE;
}

PyObject *reset(TankObject *self, PyObject *) {
    reset_run(self);
    Py_RETURN_NONE;
}

PyObject *recut(TankObject *self, PyObject *args) {
    PyObject *delays_obj, *taps_obj;
    if (!PyArg_ParseTuple(args, "OO:recut", &delays_obj, &taps_obj)) return nullptr;
    // Both sequences are read (which can run Python code) before the record is copied.
    Values delays, taps;
    if (!read_values(delays_obj, kLines, delays) || !read_values(taps_obj, 4 * kMaxTaps, taps))
        return nullptr;
    tank::Config c = self->config;
    if (!apply_recut(c, delays, taps)) return nullptr;
    if (!install(self, c)) return nullptr;
    Py_RETURN_NONE;
}

// Rough cost of one frame, in the units of kernel_work.
constexpr size_t kFrameCost = 40;

PyObject *process(TankObject *self, PyObject *arg) {
    FrameBlock b;
    PyObject *result = b.start(arg, self->config.channels);
    if (result == nullptr) return nullptr;
    if (b.frames > 0) {
        self->run.silent = 0;
        self->run.silence_count = 0;
        without_gil(kernel_work(b.frames, kFrameCost),
                    [&] { tank::process(self->config, self->run, b.in(), b.out, b.frames); });
    }
    return result;
}

PyObject *process_silence(TankObject *self, PyObject *arg) {
    const Py_ssize_t frames = PyLong_AsSsize_t(arg);
    if (frames == -1 && PyErr_Occurred()) return nullptr;
    if (frames < 0) return value_error("frames must not be negative");
    const size_t frame_bytes = 2 * size_t(self->config.channels);
    if (static_cast<size_t>(frames) > static_cast<size_t>(PY_SSIZE_T_MAX) / frame_bytes)
        return no_memory();
    const size_t n = static_cast<size_t>(frames);
    uint8_t *out;
    PyObject *result = new_bytes(n * frame_bytes, &out);
    if (result == nullptr) return nullptr;
    std::memset(out, 0, n * frame_bytes);
    if (!self->run.silent && n > 0 && self->block) {
        without_gil(kernel_work(n, kFrameCost), [&] {
            tank::render_silence(self->config, self->run, self->block.data, self->block.count, out, n);
        });
    }
    return result;
}

PyMethodDef methods[] = {
    SL_READY("configure", configure, METH_VARARGS),
    SL_READY("finish", finish, METH_NOARGS),
    SL_READY("reset", reset, METH_NOARGS),
    SL_READY("recut", recut, METH_VARARGS),
    SL_READY("process", process, METH_O),
    SL_READY("process_silence", process_silence, METH_O),
    {nullptr, nullptr, 0, nullptr},
};

PyType_Slot slots[] = {
    {Py_tp_new, reinterpret_cast<void *>(PyType_GenericNew)},
    {Py_tp_init, reinterpret_cast<void *>(locked<init>)},
    {Py_tp_dealloc, reinterpret_cast<void *>(dealloc_owning<TankObject, free_arrays>)},
    {Py_tp_methods, methods},
    {0, nullptr},
};

}  // namespace

PyType_Spec tank_state_spec = {
    "_sonolith.TankState",
    sizeof(TankObject),
    0,
    Py_TPFLAGS_HEAPTYPE,
    slots,
};

}  // namespace sonolith
