// FeedbackDelayState: a tape-style feedback delay for interleaved 16-bit PCM, mono or stereo, in
// single precision. Each channel has a circular line of N int16 frames. Per frame the read
// position is the configured delay (optionally slewed) plus a wow W x depth, W from a
// magic-circle sine oscillator or from a caller's int16 wave shape read with linear
// interpolation; the wow depth ramps linearly, and a new shape comes into use only after the depth
// has ramped to zero on the old one. The read value passes a one-pole tone low-pass, a one-pole
// high-pass and a cubic saturator; fed back (with cross-feed and input routing) into the lines,
// rounded so that a quiet recirculation decays to exact zero, and mixed with the dry input. The
// pitch-shifting read path lives in delay_pitch.hpp. process_silence runs on zero input and puts
// the object to sleep once a whole line length of silent output has passed and the line and
// filter states have died away; asleep, silence costs nothing.
//
// Guards beyond the plain algorithm: the line length is bounded (kMaxFrames) so that neither the
// allocation nor an index can run away with a huge max_delay_ms or sample rate; NaN option
// values take a defined value before they reach any conversion or index; lengths derived from
// options (the ramp) saturate in 32 bits; the read positions are clamped in floating point and
// again as integers, so every read stays inside the line even where N is not exact in a float; a
// caller's wow shape stays held (its exporter pinned) as long as the kernel may read it; and an
// object whose __init__ never ran never reaches the kernel.
#include <algorithm>
#include <bit>
#include <cmath>

#include "module/module.hpp"
#include "module/numeric.hpp"
#include "processors/delay_pitch.hpp"
#include "samples/held_view.hpp"

namespace sonolith {

// ---------------------------------------------------------------------------------------------
// Kernel

namespace feedback_delay {

// 2^28 frames: 1 GiB of line for both planes, about 93 minutes at 48 kHz.
inline constexpr double kMaxFrames = 268435456.0;
inline constexpr int kLastOption = 15;

struct Config {
    uint32_t rate, channels, n;
    float delay, feedback, mix, tone_coef, highpass_coef, osc_coef, wow_depth, cross, saturation;
    float route[4];  // own gain ch 0, own gain ch 1, cross gain ch 0, cross gain ch 1
    float tone_hz, highpass_hz, wow_hz;
    const uint8_t *shape;  // int16 samples, possibly unaligned
    uint32_t shape_log2;
    uint32_t shape_inc;
    float slew, ramp_ms, tremolo, pitch, splice_ms, window;
    int32_t pitch_inc;
    uint8_t aa_active;
    float aa_target[10];
};

struct Run {
    uint32_t write;
    float tone[2], highpass[2], x, y;
    uint32_t shape_phase, q;
    float offset1, offset2;
    float cur_delay, cur_depth, depth_target, depth_step;
    uint32_t ramp_counter;
    const uint8_t *shape;
    uint32_t shape_log2;
    uint8_t switch_pending;
    float last_wow;
    uint8_t wow_stopped, pitch_engaged, pitch_stopped;
    float last_coef;
    uint32_t last_inc;
    int32_t last_pitch_inc;
    float aa_state[2][4];  // per channel: s1, s2 of section 1, s1, s2 of section 2
    uint8_t aa_was_active;
    float aa[10];
    uint8_t asleep;
    uint32_t silent;
};

inline void init_run(Run &r) noexcept {
    r = Run{};
    r.y = 1.0f;
    r.cur_delay = -1.0f;
    r.cur_depth = -1.0f;
}

inline float clamp_delay(float v, uint32_t n) noexcept {
    const float top = static_cast<float>(n - 2);
    if (!(v >= 1.0f)) return 1.0f;  // NaN included
    return v > top ? top : v;
}

// One-pole coefficient for a corner in Hz: 0 (off) for v <= 0.
inline float pole_coef(float v, uint32_t rate) noexcept {
    if (!(v > 0.0f) || rate == 0) return 0.0f;
    return clamp_float(1.0f - expf(-6.2831855f * v / static_cast<float>(rate)), 0.0f, 1.0f, 0.0f);
}

inline float window_length(uint32_t n, uint32_t rate, float splice_ms) noexcept {
    const float quarter = static_cast<float>(n) * 0.25f;
    const float span = static_cast<float>(rate) * splice_ms / 1000.0f;
    const float m = quarter < span ? quarter : span;
    return m > 16.0f ? m : 16.0f;
}

inline void update_wow(Config &c) noexcept {
    const float rate = static_cast<float>(c.rate);
    const float v = c.wow_hz;
    float k = v <= 0.0f ? 0.0f : 2.0f * sinf(3.1415927f * v / rate);
    c.osc_coef = k == k ? k : 0.0f;
    const float u = v / rate;
    const float p = (u - floorf(u)) * 4294967296.0f;
    c.shape_inc = (p > 0.0f && p < 4294967296.0f) ? static_cast<uint32_t>(p) : 0;
}

inline void update_pitch(Config &c) noexcept { c.pitch_inc = delay_pitch::increment(c.pitch, c.window); }

inline void update_antialias(Config &c) noexcept {
    c.aa_active = delay_pitch::antialias_targets(c.pitch, c.rate, c.aa_target) ? 1 : 0;
}

inline void default_config(Config &c, uint32_t rate, uint32_t channels, uint32_t n, float max_ms) noexcept {
    c = Config{};
    c.rate = rate;
    c.channels = channels;
    c.n = n;
    c.delay = clamp_delay(max_ms * 0.5f * static_cast<float>(rate) / 1000.0f, n);
    c.feedback = 0.4f;
    c.mix = 0.3f;
    c.route[0] = 1.0f;
    c.route[1] = channels == 2 ? 1.0f : 0.0f;
    c.ramp_ms = 20.0f;
    c.splice_ms = 25.0f;
    c.window = window_length(n, rate, 25.0f);
}

// Stores option `option` (0..15) with value v. NaN takes the lower bound of the option's clamp,
// 0 (centre) for the input side and 0 (off) for the unclamped frequencies.
inline void store_option(Config &c, int option, float v) noexcept {
    const float rate = static_cast<float>(c.rate);
    const bool nan = !(v == v);
    switch (option) {
    case 0: c.delay = clamp_delay(rate * v / 1000.0f, c.n); break;
    case 1: c.feedback = clamp_float(v, 0.0f, 0.99f, 0.0f); break;
    case 2: c.mix = clamp_float(v, 0.0f, 2.0f, 0.0f); break;
    case 3:
        c.tone_hz = nan ? 0.0f : v;
        c.tone_coef = pole_coef(c.tone_hz, c.rate);
        break;
    case 4:
        c.highpass_hz = nan ? 0.0f : v;
        c.highpass_coef = pole_coef(c.highpass_hz, c.rate);
        break;
    case 5:
        c.wow_hz = nan ? 0.0f : v;
        update_wow(c);
        break;
    case 6: c.wow_depth = rate * clamp_float(v, 0.0f, 1000.0f, 0.0f) / 1000.0f; break;
    case 7: c.cross = clamp_float(v, 0.0f, 1.0f, 0.0f); break;
    case 8: c.saturation = clamp_float(v, 0.0f, 1.0f, 0.0f); break;
    case 9: {
        const float b = clamp_float(v, -1.0f, 1.0f, 0.0f);
        const float f = b < 0.0f ? -b : 0.0f, g = b > 0.0f ? b : 0.0f;
        c.route[0] = 1.0f - f / 2.0f - g;
        c.route[1] = 1.0f - g / 2.0f - f;
        c.route[2] = f / 2.0f;
        c.route[3] = g / 2.0f;
        break;
    }
    case 10: c.slew = clamp_float(v, 0.0f, 64.0f, 0.0f); break;
    case 11: c.tremolo = clamp_float(v, 0.0f, 1.0f, 0.0f); break;
    case 12:
        c.pitch = clamp_float(v, -24.0f, 24.0f, 0.0f);
        update_pitch(c);
        update_antialias(c);
        break;
    case 13:
        c.splice_ms = clamp_float(v, 1.0f, 250.0f, 1.0f);
        c.window = window_length(c.n, c.rate, c.splice_ms);
        update_pitch(c);
        break;
    case 14: c.delay = clamp_float(v, 1.0f, static_cast<float>(c.n - 2), 1.0f); break;
    case 15: c.ramp_ms = clamp_float(v, 0.0f, 60000.0f, 0.0f); break;
    default: break;
    }
}

inline void finish(Config &c) noexcept {
    c.tone_coef = pole_coef(c.tone_hz, c.rate);
    c.highpass_coef = pole_coef(c.highpass_hz, c.rate);
    update_wow(c);
    c.window = window_length(c.n, c.rate, c.splice_ms);
    update_pitch(c);
    update_antialias(c);
}

// Round half away from zero and saturate to 16 bits (NaN, which finite input never produces,
// gives 0).
inline int32_t round_s16(float v) noexcept {
    if (v > 32767.0f) return 32767;
    if (v < -32768.0f) return -32768;
    if (!(v == v)) return 0;
    return static_cast<int32_t>(v >= 0.0f ? v + 0.5f : v - 0.5f);
}

// The same rounding for a finite value, branch-free so that loops over frames vectorise: adding
// +-0.5 is v + 0.5 or v - 0.5 as above, and clamping the sum to [-32768, 32767] before the
// truncation gives the same saturated result.
inline int32_t round_s16_bounded(float v) noexcept {
    float h = v + std::copysign(0.5f, v);
    h = std::min(std::max(h, -32768.0f), 32767.0f);
    return static_cast<int32_t>(h);
}

// a when k, else b, as a bitwise select (a conditional on floats keeps loops from vectorising).
inline float pick(bool k, float a, float b) noexcept {
    const uint32_t m = 0u - static_cast<uint32_t>(k);
    return std::bit_cast<float>((std::bit_cast<uint32_t>(a) & m) | (std::bit_cast<uint32_t>(b) & ~m));
}

// Linear read of slot position p (delay in frames, fractional) from `plane`.
struct Tap {
    uint32_t i1, i2;
    float t;
};
inline Tap tap(float d, uint32_t write, uint32_t n) noexcept {
    const float p = clamp_delay(d, n);
    uint32_t ip = static_cast<uint32_t>(p);
    const float t = p - static_cast<float>(ip);
    // Only where n - 2 is not exact in a float (a 2-frame line reads at 1, below its top of 0).
    const uint32_t limit = n > 3 ? n - 2 : 1;
    if (ip > limit) ip = limit;
    uint32_t i1 = write + (n - ip);
    if (i1 >= n) i1 -= n;
    const uint32_t i2 = i1 == 0 ? n - 1 : i1 - 1;
    return {i1, i2, t};
}
inline float read_at(const int16_t *plane, const Tap &k) noexcept {
    const float a = static_cast<float>(plane[k.i1]);
    return a + static_cast<float>(plane[k.i2] - plane[k.i1]) * k.t;
}

enum class WowMode { Run, Still, Winding };

// Per-call constants from the preparation.
struct Call {
    WowMode wow;
    float k;
    uint32_t inc;
    int32_t pitch_step;
    uint32_t h;
    bool aa_ramp;
    float aa_delta[10];
};

Call prepare(const Config &c, Run &r, const int16_t *line, size_t frames) noexcept {
    Call k{};
    // Wow source.
    if (c.osc_coef != 0.0f || c.shape_inc != 0) {
        r.wow_stopped = 0;
        r.last_coef = c.osc_coef;
        r.last_inc = c.shape_inc;
        k.wow = WowMode::Run;
        k.k = c.osc_coef;
        k.inc = c.shape_inc;
    } else if (r.wow_stopped || (r.last_coef == 0.0f && r.last_inc == 0)) {
        k.wow = WowMode::Still;
    } else {
        k.wow = WowMode::Winding;
        k.k = r.last_coef;
        k.inc = r.last_inc;
    }
    // Pitch state.
    if (c.pitch != 0.0f) {
        r.pitch_engaged = 1;
        r.pitch_stopped = 0;
        if (c.pitch_inc != 0) r.last_pitch_inc = c.pitch_inc;
        k.pitch_step = c.pitch_inc;
    } else {
        k.pitch_step = r.pitch_stopped ? 0 : r.last_pitch_inc;
    }
    // Delay and depth.
    if (c.slew == 0.0f || r.cur_delay == -1.0f) r.cur_delay = c.delay;
    const uint32_t h = saturate_cast<uint32_t>(static_cast<float>(c.rate) * c.ramp_ms / 1000.0f);
    k.h = h < 1 ? 1 : h;
    const bool changed = c.shape != r.shape || c.shape_log2 != r.shape_log2;
    if (r.cur_depth == -1.0f) {
        r.cur_depth = r.depth_target = c.wow_depth;
        r.ramp_counter = 0;
        r.shape = c.shape;
        r.shape_log2 = c.shape_log2;
        r.switch_pending = 0;
    } else {
        if (changed && !r.switch_pending) {
            if (r.cur_depth != 0.0f) {
                r.switch_pending = 1;
                r.depth_target = 0.0f;
                r.ramp_counter = k.h;
                r.depth_step = -r.cur_depth / static_cast<float>(k.h);
            } else {
                r.shape = c.shape;
                r.shape_log2 = c.shape_log2;
            }
        }
        if (!r.switch_pending && c.wow_depth != r.depth_target) {
            r.depth_target = c.wow_depth;
            r.ramp_counter = k.h;
            r.depth_step = (c.wow_depth - r.cur_depth) / static_cast<float>(k.h);
        }
    }
    if (!(c.highpass_coef > 0.0f)) r.highpass[0] = r.highpass[1] = 0.0f;
    // Anti-alias sections.
    if (c.aa_active && !r.aa_was_active) {
        std::memcpy(r.aa, c.aa_target, sizeof r.aa);
        const uint32_t last = r.write == 0 ? c.n - 1 : r.write - 1;
        for (int ch = 0; ch < 2; ++ch) {
            const float j = static_cast<float>(line[size_t(ch) * c.n + last]);
            for (int s = 0; s < 2; ++s) {
                const float *b = r.aa + 5 * s;
                r.aa_state[ch][2 * s] = j - j * b[0];
                r.aa_state[ch][2 * s + 1] = j * b[2] - j * b[4];
            }
        }
        r.aa_was_active = 1;
    } else if (!c.aa_active) {
        std::memset(r.aa_state, 0, sizeof r.aa_state);
        r.aa_was_active = 0;
    }
    bool differ = false;
    for (int i = 0; i < 10; ++i) differ = differ || r.aa[i] != c.aa_target[i];
    if (c.aa_active && frames > 0 && differ) {
        k.aa_ramp = true;
        for (int i = 0; i < 10; ++i) k.aa_delta[i] = (c.aa_target[i] - r.aa[i]) / static_cast<float>(frames);
    }
    return k;
}

// The wow shape at its current phase: linear interpolation between two neighbouring entries.
[[gnu::always_inline]] inline float shape_value(const Run &r) noexcept {
    const uint32_t lg = r.shape_log2, ph = r.shape_phase;
    const uint32_t i = ph >> (32 - lg), nx = (i + 1) & ((uint32_t(1) << lg) - 1);
    const float t = static_cast<float>(ph << lg) * delay_pitch::kPhaseScale;
    const int32_t a = load_s16(r.shape, i), b = load_s16(r.shape, nx);
    return (static_cast<float>(a) + static_cast<float>(b - a) * t) * 3.0517578125e-05f;
}

// A frame's wow value: the oscillator step with coefficient `wk` (`skip_step` where the step is
// known to leave x and y as they are), the shape phase advancing by `winc`, and the stop of a
// winding-down wow at its next zero crossing. The callers pass the call's values in locals: the
// kernels' byte-wise stores could alias a Call read through a reference.
[[gnu::always_inline]] inline float wow_step(Run &r, float &x, float &y, float wk, uint32_t winc, bool winding,
                                             bool skip_step) noexcept {
    if (!r.wow_stopped && !skip_step) {
        x = x + wk * y;
        y = y - wk * x;
    }
    float w;
    if (r.shape != nullptr) {
        if (!r.wow_stopped) r.shape_phase += winc;
        w = shape_value(r);
    } else {
        w = x;
    }
    if (r.wow_stopped) w = 0.0f;
    if (winding && (r.last_wow == 0.0f || w == 0.0f || (w > 0.0f) != (r.last_wow > 0.0f))) {
        r.wow_stopped = 1;
        x = 0.0f;
        y = y < 0.0f ? -1.0f : 1.0f;
        w = 0.0f;
    }
    r.last_wow = w;
    return w;
}

// A frame's slew of the delay toward its target, then the depth ramp; at the ramp's end a
// pending shape switch takes effect and the depth ramps in again on the new shape.
[[gnu::always_inline]] inline void slew_and_ramp(const Config &c, const Call &k, Run &r) noexcept {
    if (c.slew > 0.0f) {
        if (r.cur_delay < c.delay) {
            r.cur_delay += c.slew;
            if (r.cur_delay > c.delay) r.cur_delay = c.delay;
        } else if (r.cur_delay > c.delay) {
            r.cur_delay -= c.slew;
            if (r.cur_delay < c.delay) r.cur_delay = c.delay;
        }
    }
    if (r.ramp_counter > 0) {
        if (--r.ramp_counter == 0) {
            r.cur_depth = r.depth_target;
            if (r.switch_pending) {
                r.shape = c.shape;
                r.shape_log2 = c.shape_log2;
                r.switch_pending = 0;
                if (c.wow_depth != 0.0f) {
                    r.ramp_counter = k.h;
                    r.depth_step = c.wow_depth / static_cast<float>(k.h);
                }
                r.depth_target = c.wow_depth;
            }
        } else {
            r.cur_depth += r.depth_step;
        }
    }
}

template <int C, bool Pitch>
void run_frames(const Config &cfg, Run &state, const Call &k, int16_t *line, const uint8_t *in, uint8_t *out,
                size_t frames) noexcept {
    const Config c = cfg;  // locals: the byte-wise stores below cannot alias them
    Run r = state;
    const uint32_t n = c.n;
    int16_t *plane[2] = {line, line + n};
    const float one_minus_cross = 1.0f - c.cross, cross = c.cross, feedback = c.feedback;
    const float gw0 = c.mix < 1.0f ? c.mix : 1.0f;
    const float gd = 2.0f - c.mix < 1.0f ? 2.0f - c.mix : 1.0f;
    const bool tone = c.tone_coef > 0.0f, highpass = c.highpass_coef > 0.0f;
    const bool saturate = c.saturation > 0.0f, tremolo = c.tremolo > 0.0f;
    const bool aa = c.aa_active != 0;
    const float wk = k.k;
    const uint32_t winc = k.inc;
    const bool winding = k.wow == WowMode::Winding;
    const bool pitch_zero = c.pitch == 0.0f;
    float raw[2] = {0.0f, 0.0f};
    uint32_t write = r.write;
    float x = r.x, y = r.y;

    for (size_t f = 0; f < frames; ++f) {
        if (k.aa_ramp) {
            if (f + 1 < frames)
                for (int i = 0; i < 10; ++i) r.aa[i] += k.aa_delta[i];
            else
                std::memcpy(r.aa, c.aa_target, sizeof r.aa);
        }
        // 1. Wow value; 2. slew; 3. depth ramp.
        const float w = wow_step(r, x, y, wk, winc, winding, false);
        slew_and_ramp(c, k, r);
        // 4-6. Read.
        const float d = w * r.cur_depth + r.cur_delay;
        float rd[2];
        if constexpr (!Pitch) {
            const Tap t = tap(d, write, n);
            for (int ch = 0; ch < C; ++ch) rd[ch] = read_at(plane[ch], t);
        } else {
            const uint32_t pq = r.q;
            const uint32_t q = delay_pitch::advance(pq, k.pitch_step, pitch_zero, r.pitch_stopped);
            const float xw = c.window;
            const float ha = static_cast<float>(q) * delay_pitch::kPhaseScale * xw + d;
            const float hb = static_cast<float>(q - delay_pitch::kHalf) * delay_pitch::kPhaseScale * xw + d;
            if (q != pq) {
                const delay_pitch::LineView lv{line, write, n, c.rate, xw};
                if (delay_pitch::head1_wrapped(pq, q)) r.offset1 = delay_pitch::splice_search(lv, ha, hb + r.offset2);
                if (delay_pitch::head2_wrapped(pq, q)) r.offset2 = delay_pitch::splice_search(lv, hb, ha + r.offset1);
            }
            r.q = q;
            float kw = 2.0f * static_cast<float>(q) * delay_pitch::kPhaseScale;
            if (kw > 1.0f) kw = 2.0f - kw;
            const Tap t1 = tap(ha + r.offset1, write, n), t2 = tap(hb + r.offset2, write, n);
            for (int ch = 0; ch < C; ++ch)
                rd[ch] = read_at(plane[ch], t1) * kw + read_at(plane[ch], t2) * (1.0f - kw);
        }
        // 7. Tone, high-pass, saturation.
        float wet[2] = {0.0f, 0.0f};
        for (int ch = 0; ch < C; ++ch) {
            float v = rd[ch];
            raw[ch] = v;
            if (tone) {
                r.tone[ch] = r.tone[ch] + (v - r.tone[ch]) * c.tone_coef;
                v = r.tone[ch];
            }
            r.tone[ch] = v;
            if (highpass) {
                r.highpass[ch] = r.highpass[ch] + (v - r.highpass[ch]) * c.highpass_coef;
                v = v - r.highpass[ch];
            }
            if (saturate) {
                float u = clamp_float(v / 32768.0f, -1.0f, 1.0f, 0.0f);
                v = (u - c.saturation * (u * u * u) / 3.0f) * 32768.0f;
            }
            wet[ch] = v;
        }
        // 8. Gains.
        float gw = gw0;
        if (tremolo) gw = gw * (1.0f - c.tremolo * 0.5f * (1.0f - x));
        // 9. Feedback, line input, output.
        float input[2] = {0.0f, 0.0f};
        if (in != nullptr)
            for (int ch = 0; ch < C; ++ch) input[ch] = static_cast<float>(load_s16(in, f * C + ch));
        for (int ch = 0; ch < C; ++ch) {
            const int o = C == 2 ? 1 - ch : 1;
            const float wc = wet[ch], wo = wet[o];
            const float s = wc * one_minus_cross + wo * cross;
            float u = s * feedback;
            const float au = std::fabs(u), dd = std::fabs(s) - au;
            const float peak = std::fabs(wc) > std::fabs(wo) ? std::fabs(wc) : std::fabs(wo);
            if (!(dd > 0.50006103515625f || (dd > 0.5f && peak > truncf(au + 0.5f)))) u = truncf(u);
            float v = input[ch] * c.route[ch] + input[o] * c.route[2 + ch] + u;
            if (aa) {
                float *st = r.aa_state[ch];
                for (int sct = 0; sct < 2; ++sct) {
                    const float *b = r.aa + 5 * sct;
                    const float yv = b[0] * v + st[2 * sct];
                    st[2 * sct] = b[1] * v - b[3] * yv + st[2 * sct + 1];
                    st[2 * sct + 1] = b[2] * v - b[4] * yv;
                    v = yv;
                }
            }
            plane[ch][write] = static_cast<int16_t>(round_s16(v));
            store_s16(out, f * C + ch, round_s16(wc * gw + input[ch] * gd));
        }
        // 10.
        if (++write == n) write = 0;
    }
    r.write = write;
    r.x = x;
    r.y = y;
    if (frames > 0 && tone) {
        for (int ch = 0; ch < C; ++ch) {
            const float l = r.tone[ch];
            if (l >= -64.0f && l <= 64.0f && l + (raw[ch] - l) * c.tone_coef == l) r.tone[ch] = raw[ch];
        }
    }
    state = r;
}

// The path without the pitch heads, in chunks of up to kChunk frames. The wow, slew and depth
// ramp run frame by frame first (a short serial recurrence) and give every frame's read
// position; then, when no frame of the chunk reads a slot written inside the chunk (the delay is
// longer than the chunk), the reads, filters, feedback rounding, line writes and outputs run
// stage by stage over the whole chunk, in loops the compiler can vectorise. Otherwise the chunk
// runs those stages frame by frame. Each value goes through the same operations in the same
// order either way.
inline constexpr size_t kChunk = 64;

template <int C>
void run_plain(const Config &cfg, Run &state, const Call &k, int16_t *line, const uint8_t *in, uint8_t *out,
               size_t frames) noexcept {
    const Config c = cfg;  // locals: the byte-wise stores below cannot alias them
    Run r = state;
    const uint32_t n = c.n;
    int16_t *plane[2] = {line, line + n};
    const float one_minus_cross = 1.0f - c.cross, cross = c.cross, feedback = c.feedback;
    const float gw0 = c.mix < 1.0f ? c.mix : 1.0f;
    const float gd = 2.0f - c.mix < 1.0f ? 2.0f - c.mix : 1.0f;
    const bool tone = c.tone_coef > 0.0f, highpass = c.highpass_coef > 0.0f;
    const bool saturate = c.saturation > 0.0f, tremolo = c.tremolo > 0.0f;
    const float top = static_cast<float>(n - 2);
    const float wk = k.k;
    const uint32_t winc = k.inc;
    const bool winding = k.wow == WowMode::Winding, still = k.wow == WowMode::Still;
    float raw[2] = {0.0f, 0.0f};

    alignas(32) float dpos[kChunk], xs[kChunk], tt[kChunk], gw[kChunk];
    alignas(32) uint32_t i1s[kChunk];
    alignas(32) float rd[2][kChunk], input[2][kChunk];
    alignas(32) int16_t lv[2][kChunk], ov[2][kChunk];

    for (size_t f0 = 0; f0 < frames; f0 += kChunk) {
        const size_t m = frames - f0 < kChunk ? frames - f0 : kChunk;
        // Wow value, slew, depth ramp and read position, frame by frame.
        float x = r.x, y = r.y;
        bool steady = true;
        // A still wow with no slew or ramp in progress gives the same position every frame.
        const bool fixed = still && r.ramp_counter == 0 && (c.slew == 0.0f || r.cur_delay == c.delay);
        if (fixed) {
            float w = r.shape != nullptr ? shape_value(r) : x;
            if (r.wow_stopped) w = 0.0f;
            r.last_wow = w;
            const float d = w * r.cur_depth + r.cur_delay;
            for (size_t f = 0; f < m; ++f) dpos[f] = d, xs[f] = x;
        }
        for (size_t f = 0; f < m && !fixed; ++f) {
            // A still wow has x = +0 and y = +-1 (never started, or stopped), which a step with
            // k = 0 leaves exactly as they are: it is skipped.
            const float w = wow_step(r, x, y, wk, winc, winding, still);
            slew_and_ramp(c, k, r);
            dpos[f] = w * r.cur_depth + r.cur_delay;
            xs[f] = x;
            steady = steady && dpos[f] == dpos[0];
        }
        r.x = x;
        r.y = y;

        // Taps: slot i1 holds the sample written trunc(P) frames before frame f, i2 the one
        // before it. `independent` when every i1 was written before the chunk began.
        bool independent = true;
        if (fixed) {
            const float d = dpos[0];
            const float p = !(d >= 1.0f) ? 1.0f : (d > top ? top : d);
            uint32_t ip = static_cast<uint32_t>(p);
            const float t = p - static_cast<float>(ip);
            const uint32_t limit = n > 3 ? n - 2 : 1;
            if (ip > limit) ip = limit;
            independent = ip >= m;
            uint32_t i1 = r.write + (n - ip);
            if (i1 >= n) i1 -= n;
            for (size_t f = 0; f < m; ++f) {
                tt[f] = t;
                i1s[f] = i1;
                if (++i1 == n) i1 = 0;
            }
        }
        if (!fixed) {
            // Branch-free (n - 2 < 2^28, so the positions fit an int32): this loop vectorises.
            const int32_t in_ = static_cast<int32_t>(n), w0 = static_cast<int32_t>(r.write);
            int32_t dependent = 0;
            for (size_t f = 0; f < m; ++f) {
                const float d = dpos[f];
                const float p = pick(d >= 1.0f, std::min(d, top), 1.0f);  // NaN: 1
                int32_t ip = static_cast<int32_t>(p);
                tt[f] = p - static_cast<float>(ip);
                ip = std::min(ip, in_ > 3 ? in_ - 2 : 1);
                dependent |= ip <= static_cast<int32_t>(f);
                int32_t w = w0 + static_cast<int32_t>(f);
                w = n >= kChunk ? w - (w >= in_ ? in_ : 0) : w % in_;
                int32_t i1 = w + (in_ - ip);
                i1 -= i1 >= in_ ? in_ : 0;
                i1s[f] = static_cast<uint32_t>(i1);
            }
            independent = dependent == 0;
        }
        for (int ch = 0; ch < C; ++ch)
            for (size_t f = 0; f < m; ++f)
                input[ch][f] = in != nullptr ? static_cast<float>(load_s16(in, (f0 + f) * C + ch)) : 0.0f;
        if (tremolo)
            for (size_t f = 0; f < m; ++f) gw[f] = gw0 * (1.0f - c.tremolo * 0.5f * (1.0f - xs[f]));
        else
            for (size_t f = 0; f < m; ++f) gw[f] = gw0;

        // Stages over frames [a, b) of the chunk.
        auto stages = [&](size_t a, size_t b) {
            for (int ch = 0; ch < C; ++ch) {
                const int16_t *pl = plane[ch];
                float *rc = rd[ch];
                if (steady && b - a > 1) {
                    // One fraction, consecutive slots: runs up to the wrap of the line.
                    const float t = tt[a];
                    size_t f = a;
                    while (f < b) {
                        const uint32_t i1 = i1s[f];
                        if (i1 == 0) {
                            rc[f] = static_cast<float>(pl[0]) + static_cast<float>(pl[n - 1] - pl[0]) * t;
                            ++f;
                            continue;
                        }
                        const size_t run = b - f < size_t(n - i1) ? b - f : size_t(n - i1);
                        const int16_t *p1 = pl + i1;
                        for (size_t j = 0; j < run; ++j) {
                            const float s1 = static_cast<float>(p1[j]);
                            rc[f + j] = s1 + static_cast<float>(p1[j - 1] - p1[j]) * t;
                        }
                        f += run;
                    }
                } else {
                    for (size_t f = a; f < b; ++f) {
                        const uint32_t i1 = i1s[f], i2 = i1 == 0 ? n - 1 : i1 - 1;
                        rc[f] = static_cast<float>(pl[i1]) + static_cast<float>(pl[i2] - pl[i1]) * tt[f];
                    }
                }
                raw[ch] = rc[b - 1];
                if (tone) {
                    float l = r.tone[ch];
                    for (size_t f = a; f < b; ++f) rc[f] = l = l + (rc[f] - l) * c.tone_coef;
                    r.tone[ch] = l;
                } else {
                    r.tone[ch] = rc[b - 1];
                }
                if (highpass) {
                    float hs = r.highpass[ch];
                    for (size_t f = a; f < b; ++f) {
                        hs = hs + (rc[f] - hs) * c.highpass_coef;
                        rc[f] = rc[f] - hs;
                    }
                    r.highpass[ch] = hs;
                }
                if (saturate)
                    for (size_t f = a; f < b; ++f) {
                        const float u = std::min(std::max(rc[f] / 32768.0f, -1.0f), 1.0f);
                        rc[f] = (u - c.saturation * (u * u * u) / 3.0f) * 32768.0f;
                    }
            }
            static const float zero[kChunk] = {};
            for (int ch = 0; ch < C; ++ch) {
                const int o = C == 2 ? 1 - ch : 0;
                const float *wc = rd[ch], *wo = C == 2 ? rd[o] : zero;
                const float *own = input[ch], *other = C == 2 ? input[o] : zero;
                const float g_own = c.route[ch], g_cross = c.route[2 + ch];
                for (size_t f = a; f < b; ++f) {
                    const float s = wc[f] * one_minus_cross + wo[f] * cross;
                    const float u = s * feedback;
                    const float au = std::fabs(u), dd = std::fabs(s) - au;
                    const float peak = std::max(std::fabs(wo[f]), std::fabs(wc[f]));
                    // |u| < 2^17 here, so the integer conversion is the truncation (the sign
                    // of a zero is lost, which nothing downstream can see).
                    const float tu = static_cast<float>(static_cast<int32_t>(u));
                    const float tr = static_cast<float>(static_cast<int32_t>(au + 0.5f));
                    const bool keep = (dd > 0.50006103515625f) | ((dd > 0.5f) & (peak > tr));
                    const float v = own[f] * g_own + other[f] * g_cross + pick(keep, u, tu);
                    lv[ch][f] = static_cast<int16_t>(round_s16_bounded(v));
                    ov[ch][f] = static_cast<int16_t>(round_s16_bounded(wc[f] * gw[f] + own[f] * gd));
                }
            }
            for (int ch = 0; ch < C; ++ch) {
                uint32_t w = static_cast<uint32_t>((r.write + a) % n);  // n may be below a chunk
                for (size_t f = a; f < b;) {
                    const size_t run = b - f < size_t(n - w) ? b - f : size_t(n - w);
                    std::memcpy(plane[ch] + w, lv[ch] + f, run * sizeof(int16_t));
                    f += run;
                    w = 0;
                }
            }
        };
        if (independent) {
            stages(0, m);
        } else {
            for (size_t f = 0; f < m; ++f) stages(f, f + 1);
        }
        uint8_t *dst = out + f0 * C * 2;
        if constexpr (C == 2) {
            for (size_t f = 0; f < m; ++f) {
                store<int16_t>(dst + 4 * f, ov[0][f]);
                store<int16_t>(dst + 4 * f + 2, ov[1][f]);
            }
        } else {
            std::memcpy(dst, ov[0], m * sizeof(int16_t));
        }
        uint32_t w = r.write + static_cast<uint32_t>(m % n);
        r.write = w >= n ? w - n : w;
    }
    if (tone) {
        for (int ch = 0; ch < C; ++ch) {
            const float l = r.tone[ch];
            if (l >= -64.0f && l <= 64.0f && l + (raw[ch] - l) * c.tone_coef == l) r.tone[ch] = raw[ch];
        }
    }
    state = r;
}

// Runs one call over `frames` frames; a null `in` is all-zero input.
void process(const Config &c, Run &r, int16_t *line, const uint8_t *in, uint8_t *out, size_t frames) noexcept {
    const Call k = prepare(c, r, line, frames);
    if (frames == 0) return;
    const bool pitch = r.pitch_engaged != 0;
    if (c.channels == 1)
        pitch ? run_frames<1, true>(c, r, k, line, in, out, frames) : run_plain<1>(c, r, k, line, in, out, frames);
    else
        pitch ? run_frames<2, true>(c, r, k, line, in, out, frames) : run_plain<2>(c, r, k, line, in, out, frames);
}

// The tail test after a run on silence.
void tail_test(const Config &c, Run &r, const int16_t *line, const uint8_t *out, size_t bytes) noexcept {
    for (size_t i = 0; i < bytes; ++i)
        if (out[i] != 0) {
            r.silent = 0;
            return;
        }
    const uint64_t total = uint64_t(r.silent) + bytes / (2 * size_t(c.channels));
    if (total < c.n) {
        r.silent = static_cast<uint32_t>(total);
        return;
    }
    r.silent = 0;
    const float limit = 0.0009765625f;
    for (int ch = 0; ch < 2; ++ch) {
        if (!(std::fabs(r.tone[ch]) < limit) || !(std::fabs(r.highpass[ch]) < limit)) return;
        for (int i = 0; i < 4; ++i)
            if (!(std::fabs(r.aa_state[ch][i]) < limit)) return;
    }
    for (size_t i = 0; i < 2 * size_t(c.n); ++i)
        if (line[i] != 0) return;
    r.tone[0] = r.tone[1] = r.highpass[0] = r.highpass[1] = 0.0f;
    std::memset(r.aa_state, 0, sizeof r.aa_state);
    r.asleep = 1;
}

}  // namespace feedback_delay

// ---------------------------------------------------------------------------------------------
// Python type

namespace {

using feedback_delay::Config;
using feedback_delay::Run;

struct FeedbackDelayObject {
    PyObject_HEAD
    ObjectMutex lock;
    Config config;
    Run run;
    OwnedArray<int16_t> line;  // two planes of N samples
    HeldView shape_view;       // the configured wow shape
    HeldView reading_view;     // the shape the kernel may still be reading after a replacement
    uint8_t ready;
};

void free_arrays(FeedbackDelayObject *self) noexcept {
    self->line.reset();
    self->shape_view.release();
    self->reading_view.release();
}

int init(FeedbackDelayObject *self, PyObject *args, PyObject *kwds) {
    static const char *keywords[] = {"sample_rate", "max_delay_ms", "channel_count", nullptr};
    unsigned int sample_rate = 48000, channel_count = 2;
    double max_delay_ms = 250.0;
    if (!PyArg_ParseTupleAndKeywords(args, kwds, "|IdI:FeedbackDelayState", const_cast<char **>(keywords),
                                     &sample_rate, &max_delay_ms, &channel_count))
        return -1;
    if (sample_rate == 0) return value_error("sample_rate must be at least 1");
    if (!(max_delay_ms > 0.0)) return value_error("max_delay_ms must be positive");
    if (channel_count != 1 && channel_count != 2) return value_error("channel_count must be 1 or 2");
    const double frames = static_cast<double>(sample_rate) * max_delay_ms / 1000.0;
    if (!(frames < feedback_delay::kMaxFrames + 1.0)) return no_memory();
    uint32_t n = static_cast<uint32_t>(frames);
    if (n < 2) n = 2;
    NewArray<int16_t> fresh;
    if (!fresh.allocate(2 * size_t(n))) return -1;
    fresh.commit(self->line);
    // The views go last: releasing one can run the exporter's code, which then finds a whole,
    // consistent object.
    HeldView old_shape = self->shape_view, old_reading = self->reading_view;
    std::memset(&self->shape_view, 0, sizeof self->shape_view);
    std::memset(&self->reading_view, 0, sizeof self->reading_view);
    feedback_delay::default_config(self->config, sample_rate, channel_count, n, narrow_float(max_delay_ms));
    feedback_delay::init_run(self->run);
    self->ready = 1;
    old_shape.release();
    old_reading.release();
    return 0;
}

PyObject *configure(FeedbackDelayObject *self, PyObject *args) {
    int option;
    double value;
    if (!PyArg_ParseTuple(args, "id:configure", &option, &value)) return nullptr;
    if (static_cast<unsigned>(option) > static_cast<unsigned>(feedback_delay::kLastOption))
        return value_error("unknown feedback delay option");
    feedback_delay::store_option(self->config, option, narrow_float(value));
    Py_RETURN_NONE;
}

PyObject *set_wow_shape(FeedbackDelayObject *self, PyObject *shape) {
    HeldView fresh{};
    uint32_t log2 = 0;
    if (shape != Py_None) {
        if (!fresh.acquire(shape, PyBUF_SIMPLE)) return nullptr;
        const Py_ssize_t len = fresh.view.len;
        const Py_ssize_t count = len / 2;
        if (len % 2 != 0 || count < 2 || count > 4096 || (count & (count - 1)) != 0) {
            fresh.release();
            return value_error("wow_shape must be 2 to 4096 int16 samples, a power of two");
        }
        while ((Py_ssize_t(1) << log2) < count) ++log2;
    }
    // The configured view moves to the reading slot when the kernel reads its shape (the slot's
    // previous view is then no longer read); otherwise it is no longer needed. Either way what is
    // given up is released last, after the object is consistent again.
    Config &c = self->config;
    const Run &r = self->run;
    HeldView given_up{};
    if (self->shape_view.held && c.shape != nullptr && c.shape == r.shape && c.shape_log2 == r.shape_log2) {
        given_up = self->reading_view;
        self->reading_view = self->shape_view;
    } else {
        given_up = self->shape_view;
    }
    self->shape_view = fresh;
    c.shape = shape != Py_None ? static_cast<const uint8_t *>(fresh.view.buf) : nullptr;
    c.shape_log2 = log2;
    given_up.release();
    Py_RETURN_NONE;
}

PyObject *finish(FeedbackDelayObject *self, PyObject *) {
    feedback_delay::finish(self->config);
    Py_RETURN_NONE;
}

PyObject *reset(FeedbackDelayObject *self, PyObject *) {
    std::memset(self->line.data, 0, 2 * size_t(self->config.n) * sizeof(int16_t));
    feedback_delay::init_run(self->run);
    Py_RETURN_NONE;
}

// Rough cost of one sample through the kernel, in the binding layer's work units.
inline size_t work_units(const Config &c) noexcept { return c.pitch != 0.0f ? 40 : 12; }

PyObject *process(FeedbackDelayObject *self, PyObject *arg) {
    FrameBlock b;
    PyObject *result = b.start(arg, self->config.channels);
    if (result == nullptr) return nullptr;
    if (b.frames > 0) {
        self->run.asleep = 0;
        self->run.silent = 0;
    }
    without_gil(kernel_work(b.input.size() / 2, work_units(self->config)), [&] {
        feedback_delay::process(self->config, self->run, self->line.data, b.in(), b.out, b.frames);
    });
    return result;
}

PyObject *process_silence(FeedbackDelayObject *self, PyObject *arg) {
    PyObject *index = PyNumber_Index(arg);
    if (index == nullptr) return nullptr;
    const Py_ssize_t frames = PyLong_AsSsize_t(index);
    Py_DECREF(index);
    if (frames == -1 && PyErr_Occurred()) return nullptr;
    if (frames < 0) return value_error("frames must not be negative");
    const size_t frame_bytes = 2 * size_t(self->config.channels);
    if (static_cast<size_t>(frames) > static_cast<size_t>(PY_SSIZE_T_MAX) / frame_bytes) return no_memory();
    const size_t bytes = static_cast<size_t>(frames) * frame_bytes;
    uint8_t *out;
    PyObject *result = new_bytes(bytes, &out);
    if (result == nullptr) return nullptr;
    if (frames == 0 || self->run.asleep) {
        std::memset(out, 0, bytes);
        return result;
    }
    without_gil(kernel_work(bytes / 2, work_units(self->config)), [&] {
        feedback_delay::process(self->config, self->run, self->line.data, nullptr, out, size_t(frames));
        feedback_delay::tail_test(self->config, self->run, self->line.data, out, bytes);
    });
    return result;
}

PyMethodDef methods[] = {
    SL_READY("configure", configure, METH_VARARGS),
    SL_READY("set_wow_shape", set_wow_shape, METH_O),
    SL_READY("finish", finish, METH_NOARGS),
    SL_READY("reset", reset, METH_NOARGS),
    SL_READY("process", process, METH_O),
    SL_READY("process_silence", process_silence, METH_O),
    {nullptr, nullptr, 0, nullptr},
};

PyType_Slot slots[] = {
    {Py_tp_new, reinterpret_cast<void *>(PyType_GenericNew)},
    {Py_tp_init, reinterpret_cast<void *>(locked<init>)},
    {Py_tp_dealloc, reinterpret_cast<void *>(dealloc_owning<FeedbackDelayObject, free_arrays>)},
    {Py_tp_methods, methods},
    {0, nullptr},
};

}  // namespace

PyType_Spec feedback_delay_state_spec = {
    "_sonolith.FeedbackDelayState",
    sizeof(FeedbackDelayObject),
    0,
    Py_TPFLAGS_HEAPTYPE,
    slots,
};

}  // namespace sonolith
