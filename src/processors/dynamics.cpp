// DynamicsState: gain riding of interleaved signed 16-bit PCM, mono or stereo, with one kernel for
// five behaviours (compressor, limiter, expander, gate with an optional open/hold/close machine,
// transient shaper). Each frame runs through
//
//   side-chain source (input, external key, or the previous output)
//     -> one or two one-pole high-pass and low-pass stages
//     -> level: peak or RMS, plus a 2x or 4x inter-sample peak estimate
//     -> gain computer (dB) -> makeup -> optional gain smoothing
//     -> one linked gain for every channel of the (optionally lookahead-delayed) audio path.
//
// All arithmetic is single precision, in exactly the order written below: the results are
// reproducible to the bit, so nothing here may be reassociated or fused.
#include <cmath>
#include <limits>

#include "module/module.hpp"
#include "module/numeric.hpp"

namespace sonolith {
namespace {

// ---------------------------------------------------------------------------------------------
// Kernel

constexpr float kSampleScale = 3.0517578125e-05f;  // 2^-15

enum Mode : int32_t { kCompressor = 0, kLimiter = 1, kExpander = 2, kGate = 3, kTransient = 4 };
enum GateState : uint8_t { kClosed = 0, kOpening = 1, kOpen = 2, kClosing = 3 };

// One-pole coefficient for a time constant in ms. A non-positive time (and NaN, treated like
// one) means "follow at once".
inline float ms_to_coef(float t, float rate) noexcept {
    if (!(t > 0.0f)) return 1.0f;
    return 1.0f - expf(-1000.0f / (t * rate));
}

// One-pole coefficient for a corner frequency; a non-positive frequency (or NaN) switches off.
inline float hz_to_coef(float f, float rate) noexcept {
    if (!(f > 0.0f)) return 0.0f;
    return 1.0f - expf(-6.2831855f * f / rate);
}

inline float db_to_gain(float d) noexcept { return expf(d * 0.115129255f); }
inline float to_db(float v) noexcept { return 8.685889f * logf(v); }
inline float fmax0(float a, float b) noexcept { return b > a ? b : a; }  // max(a, b), a on NaN

inline void follow(float &e, float v, float k) noexcept { e = e + (v - e) * k; }

// Four-phase interpolator for the four-times inter-sample peak estimate (phase q, tap k).
constexpr float kPhase[4][12] = {
    {2.8773002e-19f, 0.00070575066f, -0.0042958641f, 0.015120447f, -0.042575102f, 0.12719643f,
     0.97267359f, -0.093220197f, 0.033178385f, -0.011364323f, 0.0029442806f, -0.00036341196f},
    {-8.4613122e-05f, 0.0029335355f, -0.014677558f, 0.047892682f, -0.13199158f, 0.44931096f,
     0.77120799f, -0.17081399f, 0.062168114f, -0.020270795f, 0.0046861377f, -0.00036088869f},
    {-0.00036088869f, 0.0046861377f, -0.020270795f, 0.062168114f, -0.17081399f, 0.77120799f,
     0.44931096f, -0.13199158f, 0.047892682f, -0.014677558f, 0.0029335355f, -8.4613122e-05f},
    {-0.00036341196f, 0.0029442806f, -0.011364323f, 0.033178385f, -0.093220197f, 0.97267359f,
     0.12719643f, -0.042575102f, 0.015120447f, -0.0042958641f, 0.00070575066f, 2.8773002e-19f},
};

struct DynamicsConfig {
    uint32_t sample_rate;
    uint32_t channels;
    int32_t mode;
    float threshold_db;
    float ratio;
    float knee_db;
    float makeup;           // linear
    float attack;           // coefficients; 0 = not configured yet (finish() fills them in)
    float release;
    float transient_attack_db;
    float transient_sustain_db;
    float highpass;
    uint32_t lookahead;     // frames
    uint8_t peak_oversample;  // 0 off, 1 two times, 2 four times
    float pair1_ms[4];      // fast attack, fast release, slow attack, slow release
    uint8_t dual_transient;
    float pair2_ms[4];
    uint32_t transient_hold;  // frames
    uint8_t rms_detect;
    float rms_coef;
    uint8_t feedback;
    uint8_t key_relative;
    uint8_t adaptive_attack;
    float lowpass;
    uint8_t sidechain_order;  // 1 or 2
    uint8_t listen;
    float range_db;         // > 0 selects the built-in floor
    uint32_t gate_hold;     // frames
    float hysteresis_db;
    float smoothing;        // 1 = no smoothing
    uint8_t feedback_slope;
};

struct DynamicsRun {
    uint32_t line_channels;  // channel count the lookahead line was laid out for
    float hp1[2];
    float level_env;
    float fast1, slow1;
    float last_gain_db;
    uint32_t line_capacity;  // frames
    uint32_t write_index;
    float peak2[2][3];
    float hp2[2], lp1[2], lp2[2];
    float mean_square[2];
    float prev_out[2];       // previous output as sample / 32768 (feedback detection)
    float key_env;
    float fast2, slow2;
    float hold_peak;
    uint32_t hold_count;
    uint8_t gate_state;
    float gate_gain;
    uint32_t gate_count;
    float peak4[2][12];
    float smoothed;
    uint8_t primed;
};

// Everything derived once per call.
struct CallConstants {
    float c11, c12, c13, c14, c27, c28, c29, c30;
    uint32_t lookahead;  // effective
    bool gate_machine;
    float open_level, close_level, floor_level;
    float adaptive_threshold;
    float unity_below, unity_above;  // envelope levels whose gain is certainly 0 dB
};

// Hold-peak follower shared by the transient shaper's slow envelopes.
inline float hold_peak(DynamicsRun &r, float c, uint32_t hold, float release) noexcept {
    if (c >= r.hold_peak) {
        r.hold_peak = c;
        r.hold_count = hold;
        return c;
    }
    if (r.hold_count > 0) {
        --r.hold_count;
        return r.hold_peak;
    }
    follow(r.hold_peak, c, release);
    return r.hold_peak;
}

// Transient balance of a fast/slow envelope pair, in [-1, 1].
inline float transient_balance(float fast, float slow) noexcept {
    float t = (to_db(fmax0(1e-6f, fast + 1e-5f)) - to_db(fmax0(1e-6f, slow + 1e-5f))) / 6.0f;
    return t < -1.0f ? -1.0f : (t > 1.0f ? 1.0f : t);
}

// Gain in dB of the transient shaper for level c.
inline float transient_gain(const DynamicsConfig &cf, DynamicsRun &r, const CallConstants &k,
                            float c) noexcept {
    follow(r.fast1, c, c > r.fast1 ? k.c11 : k.c12);
    if (cf.transient_hold > 0 && !cf.dual_transient)
        r.slow1 = hold_peak(r, c, cf.transient_hold, k.c14);
    else
        follow(r.slow1, c, c > r.slow1 ? k.c13 : k.c14);
    float t1 = transient_balance(r.fast1, r.slow1);
    if (!cf.dual_transient)
        return t1 > 0.0f ? t1 * cf.transient_attack_db : -t1 * cf.transient_sustain_db;
    follow(r.fast2, c, c > r.fast2 ? k.c27 : k.c28);
    if (cf.transient_hold > 0)
        r.slow2 = hold_peak(r, c, cf.transient_hold, k.c30);
    else
        follow(r.slow2, c, c > r.slow2 ? k.c29 : k.c30);
    float t2 = transient_balance(r.fast2, r.slow2);
    return fmax0(t1, 0.0f) * cf.transient_attack_db +
           (t2 < 0.0f ? -t2 : 0.0f) * cf.transient_sustain_db;
}

// Linear gain of the gate machine for level c (the machine's dB value goes to *gain_db).
inline float gate_gain(const DynamicsConfig &cf, DynamicsRun &r, const CallConstants &k, float c,
                       float *gain_db) noexcept {
    if (c >= k.open_level && r.gate_state != kOpen) r.gate_state = kOpening;
    float gain;
    switch (r.gate_state) {
    case kOpening:
        follow(r.gate_gain, 1.0f, cf.attack);
        if (r.gate_gain >= 0.999f) {
            r.gate_gain = 1.0f;
            r.gate_state = kOpen;
            r.gate_count = cf.gate_hold;
        }
        gain = r.gate_gain;
        break;
    case kOpen:
        r.gate_gain = 1.0f;
        if (c >= k.close_level)
            r.gate_count = cf.gate_hold;
        else if (r.gate_count > 0)
            --r.gate_count;
        else
            r.gate_state = kClosing;
        gain = 1.0f;
        break;
    case kClosing:
        follow(r.gate_gain, k.floor_level, cf.release);
        if (k.floor_level + 1e-6f >= r.gate_gain) {
            r.gate_state = kClosed;
            r.gate_gain = k.floor_level;
        }
        gain = r.gate_gain;
        break;
    default:
        r.gate_gain = k.floor_level;
        gain = k.floor_level;
        break;
    }
    *gain_db = to_db(fmax0(1e-6f, gain));
    return gain;
}

// Gain in dB of the envelope-driven behaviours (compressor, limiter, expander, plain gate) for
// envelope level u = max(1e-6, V + 1e-6) and key envelope level ku (key relative only).
inline float static_gain(const DynamicsConfig &cf, float u, float ku) noexcept {
    float level = to_db(u);
    if (cf.key_relative) level = level - to_db(ku);
    float over = level - cf.threshold_db;
    switch (cf.mode) {
    case kLimiter:
        return over > 0.0f ? -over : 0.0f;
    case kExpander: {
        if (over >= 0.0f) return 0.0f;
        float floor = cf.range_db > 0.0f ? -60.0f : cf.range_db;
        return fmax0(floor, (cf.ratio - 1.0f) * over);
    }
    case kGate: {
        if (over >= 0.0f) return 0.0f;
        float floor = cf.range_db > 0.0f ? -80.0f : cf.range_db;
        return fmax0(floor, 8.0f * over);
    }
    default: {
        float slope = (cf.feedback && cf.feedback_slope) ? cf.ratio - 1.0f : 1.0f - 1.0f / cf.ratio;
        float h = cf.knee_db / 2.0f;
        if (over <= -h) return 0.0f;
        if (over < h && cf.knee_db > 0.0f) {
            float t = h + over;
            return -slope * (t * t) / (2.0f * cf.knee_db);
        }
        return -slope * over;
    }
    }
}

// Envelope levels u for which static_gain is certainly exactly 0 without evaluating the log:
// u < below (compressor, limiter) or u > above (expander, plain gate). The bounds sit a safety
// margin inside the zero region, far beyond the rounding of the single-precision chain, so the
// shortcut never changes a result; they are only set up for moderate thresholds and knees.
void unity_bounds(const DynamicsConfig &cf, float *below, float *above) noexcept {
    *below = 0.0f;                       // u >= 1e-6 > 0: never taken
    *above = 3.4028235e38f;              // never taken for finite u
    const double t = cf.threshold_db, h = double(cf.knee_db / 2.0f);
    if (cf.key_relative || !(std::fabs(t) <= 1000.0) || !(h >= 0.0 && h <= 1000.0)) return;
    const double k = double(8.685889f);
    const double margin = 1e-3 + 1e-5 * (std::fabs(t) + h);
    // exp of up to about 115 exceeds the float range: such a bound is infinite.
    auto to_float = narrow_float;
    switch (cf.mode) {
    case kLimiter: *below = to_float(std::exp((t - margin) / k)); break;
    case kExpander:
    case kGate: *above = to_float(std::exp((t + margin) / k)); break;
    default: *below = to_float(std::exp((t - h - margin) / k)); break;
    }
}

CallConstants prepare(const DynamicsConfig &cf, DynamicsRun &r) noexcept {
    CallConstants k{};
    const float rate = static_cast<float>(cf.sample_rate);
    k.c11 = ms_to_coef(cf.pair1_ms[0], rate);
    k.c12 = ms_to_coef(cf.pair1_ms[1], rate);
    k.c13 = ms_to_coef(cf.pair1_ms[2], rate);
    k.c14 = ms_to_coef(cf.pair1_ms[3], rate);
    k.c27 = ms_to_coef(cf.pair2_ms[0], rate);
    k.c28 = ms_to_coef(cf.pair2_ms[1], rate);
    k.c29 = ms_to_coef(cf.pair2_ms[2], rate);
    k.c30 = ms_to_coef(cf.pair2_ms[3], rate);
    k.lookahead = cf.lookahead < r.line_capacity ? cf.lookahead : r.line_capacity;
    if (k.lookahead > 0 && r.write_index >= k.lookahead) r.write_index = 0;
    k.gate_machine = cf.mode == kGate && cf.gate_hold > 0;
    if (k.gate_machine) {
        k.open_level = db_to_gain(cf.threshold_db);
        k.close_level = db_to_gain(cf.threshold_db - cf.hysteresis_db);
        k.floor_level = db_to_gain(cf.range_db > 0.0f ? -80.0f : cf.range_db);
    }
    if (cf.adaptive_attack) k.adaptive_threshold = db_to_gain(cf.threshold_db);
    unity_bounds(cf, &k.unity_below, &k.unity_above);
    return k;
}

// The frames are processed in chunks, stage by stage: side-chain signal and level, inter-sample
// peaks, gain, output. Only the side-chain filters, the envelopes and the lookahead line carry
// state from frame to frame, so the other stages run over whole chunks (and vectorise). Feedback
// detection feeds each output back into the next frame's side-chain: it runs chunks of one frame.
constexpr size_t kChunk = 256;
constexpr size_t kHistory = 12;  // d values of earlier frames in front of each chunk

struct Chunk {
    float d[2][kHistory + kChunk];  // filtered side-chain signal, after the earlier frames' values
    float level[kChunk];            // C
    float broad[kChunk];            // E
    float env[kChunk];              // level envelope, then the gain
    float key_env[kChunk];
};

// Stage 1: side-chain source, filters and the level C (peak or RMS) of frames [i0, i0 + n).
template <int N>
void sidechain(const DynamicsConfig &cf, DynamicsRun &r, const uint8_t *in, const uint8_t *key,
               size_t i0, size_t n, Chunk &ch) noexcept {
    const uint8_t *src = key != nullptr ? key : in;
    const float hp = cf.highpass, lp = cf.lowpass;
    const bool second = cf.sidechain_order == 2, rms = cf.rms_detect, broad = cf.key_relative;
    const float rms_coef = cf.rms_coef;
    if (!cf.feedback && !rms && !(hp > 0.0f) && !(lp > 0.0f)) {
        // Unfiltered peak detection: d = s, and C is the largest |s| of the frame.
        for (size_t i = 0; i < n; ++i) {
            float level = 0.0f;
            for (int c = 0; c < N; ++c) {
                float v = static_cast<float>(load_s16(src, (i0 + i) * N + c)) * kSampleScale;
                ch.d[c][kHistory + i] = v;
                level = fmax0(level, std::fabs(v));
            }
            ch.level[i] = level;
            if (broad) ch.broad[i] = level;
        }
        return;
    }
    for (size_t i = 0; i < n; ++i) ch.level[i] = 0.0f;
    if (broad)
        for (size_t i = 0; i < n; ++i) ch.broad[i] = 0.0f;
    for (int c = 0; c < N; ++c) {
        float *d = ch.d[c] + kHistory;
        float hp1 = r.hp1[c], hp2 = r.hp2[c], lp1 = r.lp1[c], lp2 = r.lp2[c], ms = r.mean_square[c];
        for (size_t i = 0; i < n; ++i) {
            float s = cf.feedback ? r.prev_out[c]
                                  : static_cast<float>(load_s16(src, (i0 + i) * N + c)) * kSampleScale;
            if (broad) ch.broad[i] = fmax0(ch.broad[i], std::fabs(s));
            float v = s;
            if (hp > 0.0f) {
                follow(hp1, v, hp);
                v = v - hp1;
                if (second) {
                    follow(hp2, v, hp);
                    v = v - hp2;
                }
            }
            if (lp > 0.0f) {
                follow(lp1, v, lp);
                v = lp1;
                if (second) {
                    follow(lp2, v, lp);
                    v = lp2;
                }
            }
            d[i] = v;
            if (rms) {
                follow(ms, v * v, rms_coef);
                ch.level[i] = fmax0(ch.level[i], ms);  // the largest mean square for now
            } else {
                ch.level[i] = fmax0(ch.level[i], std::fabs(v));
            }
        }
        r.hp1[c] = hp1, r.hp2[c] = hp2, r.lp1[c] = lp1, r.lp2[c] = lp2, r.mean_square[c] = ms;
    }
    if (rms)
        for (size_t i = 0; i < n; ++i) ch.level[i] = sqrtf(ch.level[i]);
}

// Stage 2: inter-sample peaks of the filtered side-chain raise C.
template <int N>
void intersample_peaks(const DynamicsConfig &cf, DynamicsRun &r, size_t n, Chunk &ch) noexcept {
    if (cf.peak_oversample == 1) {
        for (int c = 0; c < N; ++c) {
            float *h = ch.d[c] + kHistory - 3;  // h[i .. i + 2] is the history before frame i
            for (int j = 0; j < 3; ++j) h[j] = r.peak2[c][j];
            for (size_t i = 0; i < n; ++i) {
                float p = std::fabs(0.5625f * h[i + 1] - 0.0625f * h[i] + 0.5625f * h[i + 2] -
                                    0.0625f * h[i + 3]);
                ch.level[i] = fmax0(ch.level[i], p);
            }
            for (int j = 0; j < 3; ++j) r.peak2[c][j] = h[n + j];
        }
    } else if (cf.peak_oversample == 2) {
        for (int c = 0; c < N; ++c) {
            float *h = ch.d[c] + 1;  // h[i .. i + 11] is the history after frame i entered
            for (size_t j = 0; j < kHistory; ++j) ch.d[c][j] = r.peak4[c][j];
            for (int q = 0; q < 4; ++q) {
                const float *w = kPhase[q];
                for (size_t i = 0; i < n; ++i) {
                    float y = w[0] * h[i];
                    for (int j = 1; j < 12; ++j) y = y + w[j] * h[i + j];
                    ch.level[i] = fmax0(ch.level[i], std::fabs(y));
                }
            }
            for (size_t j = 0; j < kHistory; ++j) r.peak4[c][j] = ch.d[c][n + j];
        }
    }
}

// Stage 3: the gain computer, then makeup and smoothing; the linear gains go to ch.env.
void gains(const DynamicsConfig &cf, DynamicsRun &r, const CallConstants &k, size_t n,
           Chunk &ch) noexcept {
    float last_db = r.last_gain_db;
    if (cf.mode == kTransient) {
        for (size_t i = 0; i < n; ++i) {
            last_db = transient_gain(cf, r, k, ch.level[i]);
            ch.env[i] = db_to_gain(last_db);
        }
    } else if (k.gate_machine) {
        for (size_t i = 0; i < n; ++i) ch.env[i] = gate_gain(cf, r, k, ch.level[i], &last_db);
    } else {
        // The envelopes first (the only sequential part), then the gains frame by frame.
        float v = r.level_env, ke = r.key_env;
        const float attack = cf.attack, release = cf.release, t = k.adaptive_threshold;
        const bool adaptive = cf.adaptive_attack && t > 0.0f, keyed = cf.key_relative;
        if (!adaptive && !keyed) {
            // v + (c - v) x attack when c > v, else with the release, is the larger of the two
            // candidates when attack >= release and the smaller otherwise: the results are
            // rounded monotonically in the coefficient, and this keeps the comparison off the
            // envelope's critical path.
            if (attack >= release)
                for (size_t i = 0; i < n; ++i) {
                    const float diff = ch.level[i] - v, up = v + diff * attack, down = v + diff * release;
                    v = up > down ? up : down;
                    ch.env[i] = fmax0(1e-6f, v + 1e-6f);
                }
            else
                for (size_t i = 0; i < n; ++i) {
                    const float diff = ch.level[i] - v, up = v + diff * attack, down = v + diff * release;
                    v = up < down ? up : down;
                    ch.env[i] = fmax0(1e-6f, v + 1e-6f);
                }
        }
        for (size_t i = 0; i < n && (adaptive || keyed); ++i) {
            const float c = ch.level[i];
            float coef = c > v ? attack : release;
            if (adaptive && c > v) {
                float ratio = c / t;
                if (ratio > 1.0f) {
                    float a = sqrtf(ratio) * attack;
                    coef = a < 1.0f ? a : 1.0f;
                }
            }
            follow(v, c, coef);
            ch.env[i] = fmax0(1e-6f, v + 1e-6f);
            if (keyed) {
                const float e = ch.broad[i];
                follow(ke, e, e > ke ? attack : release);
                ch.key_env[i] = fmax0(1e-6f, ke + 1e-6f);
            }
        }
        r.level_env = v, r.key_env = ke;
        for (size_t i = 0; i < n; ++i) {
            const float u = ch.env[i];
            float g_db = 0.0f;
            if (!(u < k.unity_below || u > k.unity_above))
                g_db = static_gain(cf, u, keyed ? ch.key_env[i] : 0.0f);
            ch.env[i] = g_db == 0.0f ? 1.0f : db_to_gain(g_db);  // exp(0) is exactly 1
            last_db = g_db;
        }
    }
    r.last_gain_db = last_db;

    const float makeup = cf.makeup;
    if (cf.smoothing < 1.0f) {
        const float k_s = cf.smoothing;
        float sm = r.smoothed;
        for (size_t i = 0; i < n; ++i) {
            float g = ch.env[i] * makeup;
            // The smoothing memory only ever holds a finite gain: a NaN gain becomes 0 and an
            // infinite one the largest float, which leaves every output sample unchanged.
            if (!(g == g)) g = 0.0f;
            if (g > 3.4028235e38f) g = 3.4028235e38f;
            if (r.primed)
                g = sm + (g - sm) * k_s;
            else
                r.primed = 1;
            ch.env[i] = sm = g;
        }
        r.smoothed = sm;
    } else if (makeup != 1.0f) {
        for (size_t i = 0; i < n; ++i) ch.env[i] = ch.env[i] * makeup;
    }
}

// Stage 4: the audio path (through the lookahead line when there is one) times the gain, or the
// side-chain signal when listening, saturated to 16 bits.

// Clamped to the 16-bit range, then truncated; a NaN (only from a NaN gain) is written as 0.
inline float clamp_output(float v) noexcept {
    v = v == v ? v : 0.0f;
    v = v < -32768.0f ? -32768.0f : v;
    return v > 32767.0f ? 32767.0f : v;
}

template <int N>
void apply_gain(const uint8_t *__restrict src, const float *__restrict g, uint8_t *__restrict out,
                size_t n) noexcept {
    for (size_t i = 0; i < n; ++i)
        for (int c = 0; c < N; ++c) {
            const float a = static_cast<float>(load_s16(src, i * N + c)) * kSampleScale;
            store_s16(out, i * N + c, static_cast<int32_t>(clamp_output(g[i] * a * 32768.0f)));
        }
}

template <int N>
void output(const DynamicsConfig &cf, DynamicsRun &r, const CallConstants &k, int16_t *line,
            const uint8_t *in, uint8_t *out, size_t i0, size_t n, Chunk &ch) noexcept {
    const uint8_t *src = in + i0 * N * 2;
    uint8_t *dst = out + i0 * N * 2;
    int16_t delayed[kChunk * N];
    if (k.lookahead > 0) {
        // Each line slot gives its delayed frame and takes the input frame, in runs up to the wrap.
        uint32_t w = r.write_index;
        for (size_t i = 0; i < n;) {
            const size_t m = n - i < k.lookahead - w ? n - i : k.lookahead - w;
            std::memcpy(delayed + i * N, line + size_t(w) * N, m * N * sizeof(int16_t));
            std::memcpy(line + size_t(w) * N, src + i * N * 2, m * N * sizeof(int16_t));
            i += m;
            w += static_cast<uint32_t>(m);
            if (w == k.lookahead) w = 0;
        }
        r.write_index = w;
        src = reinterpret_cast<const uint8_t *>(delayed);
    }
    if (cf.listen) {
        for (size_t i = 0; i < n; ++i)
            for (int c = 0; c < N; ++c)
                store_s16(dst, i * N + c,
                          static_cast<int32_t>(clamp_output(ch.d[c][kHistory + i] * 32768.0f)));
    } else {
        apply_gain<N>(src, ch.env, dst, n);
    }
    if (cf.feedback) {
        // Chunks of one frame: the clamped output feeds the next frame's side-chain.
        for (int c = 0; c < N; ++c) {
            float v = cf.listen ? ch.d[c][kHistory + n - 1] * 32768.0f
                                : ch.env[n - 1] * (static_cast<float>(load_s16(src, (n - 1) * N + c)) *
                                                   kSampleScale) * 32768.0f;
            r.prev_out[c] = clamp_output(v) * kSampleScale;
        }
    }
}

template <int N>
void process_frames(const DynamicsConfig &cf, DynamicsRun &r, int16_t *line, const uint8_t *in,
                    const uint8_t *key, uint8_t *out, size_t frames) noexcept {
    const CallConstants k = prepare(cf, r);
    Chunk ch;
    const size_t step = cf.feedback ? 1 : kChunk;
    for (size_t i0 = 0; i0 < frames; i0 += step) {
        const size_t n = frames - i0 < step ? frames - i0 : step;
        sidechain<N>(cf, r, in, key, i0, n, ch);
        intersample_peaks<N>(cf, r, n, ch);
        gains(cf, r, k, n, ch);
        output<N>(cf, r, k, line, in, out, i0, n, ch);
    }
}

void process(const DynamicsConfig &cf, DynamicsRun &r, int16_t *line, const uint8_t *in,
             const uint8_t *key, uint8_t *out, size_t frames) noexcept {
    if (cf.channels == 1)
        process_frames<1>(cf, r, line, in, key, out, frames);
    else
        process_frames<2>(cf, r, line, in, key, out, frames);
}

// ---------------------------------------------------------------------------------------------
// Python type

struct DynamicsObject {
    PyObject_HEAD
    ObjectMutex lock;
    DynamicsConfig config;
    DynamicsRun run;
    OwnedArray<int16_t> line;  // lookahead line, line_capacity x channels samples
    uint8_t ready;
};

void default_config(DynamicsConfig &c, uint32_t rate, uint32_t channels, int32_t mode) noexcept {
    c = DynamicsConfig{};
    c.sample_rate = rate;
    c.channels = channels;
    c.mode = mode;
    c.threshold_db = -24.0f;
    c.ratio = 4.0f;
    c.knee_db = 6.0f;
    c.makeup = 1.0f;
    c.pair1_ms[0] = 1.0f, c.pair1_ms[1] = 50.0f, c.pair1_ms[2] = 25.0f, c.pair1_ms[3] = 300.0f;
    c.pair2_ms[0] = 1.0f, c.pair2_ms[1] = 200.0f, c.pair2_ms[2] = 25.0f, c.pair2_ms[3] = 1200.0f;
    c.sidechain_order = 1;
    c.range_db = 1.0f;
    c.smoothing = 1.0f;
}

// Clears the running state; the lookahead line keeps its memory and capacity but falls silent.
void clear_run(DynamicsObject *self) noexcept {
    DynamicsRun &r = self->run;
    const uint32_t capacity = r.line_capacity, channels = r.line_channels;
    r = DynamicsRun{};
    r.line_capacity = capacity;
    r.line_channels = channels;
    if (self->line && capacity > 0)
        std::memset(self->line.data, 0, size_t(capacity) * channels * sizeof(int16_t));
}

void free_arrays(DynamicsObject *self) noexcept { self->line.reset(); }

int init(DynamicsObject *self, PyObject *args, PyObject *kwds) {
    static const char *keywords[] = {"mode", "sample_rate", "channel_count", nullptr};
    int mode = 0;
    unsigned int sample_rate = 48000, channel_count = 2;
    if (!PyArg_ParseTupleAndKeywords(args, kwds, "|iII:DynamicsState", const_cast<char **>(keywords),
                                     &mode, &sample_rate, &channel_count))
        return -1;
    if (sample_rate == 0) return value_error("sample_rate must be at least 1");
    if (channel_count != 1 && channel_count != 2) return value_error("channel_count must be 1 or 2");
    default_config(self->config, sample_rate, channel_count, mode);
    self->line.reset();
    self->run = DynamicsRun{};
    self->run.line_channels = channel_count;
    self->ready = 1;
    return 0;
}

PyObject *set_sample_rate(DynamicsObject *self, PyObject *arg) {
    unsigned long rate = PyLong_AsUnsignedLong(arg);
    if (rate == static_cast<unsigned long>(-1) && PyErr_Occurred()) return nullptr;
    // The rate is kept in 32 bits: a larger value is refused rather than stored reduced modulo
    // 2^32 (which could even store 0 and pass the check below).
    if (rate > UINT32_MAX) return fail(PyExc_OverflowError, "sample_rate is too large");
    if (rate == 0) return value_error("sample_rate must be at least 1");
    self->config.sample_rate = static_cast<uint32_t>(rate);
    Py_RETURN_NONE;
}

// A length in frames from a time in ms: 0 for a non-positive (or NaN) time, saturated above.
uint32_t ms_to_frames(float v, float rate) noexcept {
    if (!(v > 0.0f)) return 0;
    return saturate_cast<uint32_t>(rate * v / 1000.0f);
}

// Stores option `option` (known to be 0..33) with value v. A NaN for a value stored as given
// takes that value's default, so that no NaN reaches the running state.
void store_option(DynamicsConfig &c, int option, float v) noexcept {
    const float rate = static_cast<float>(c.sample_rate);
    const bool nan = !(v == v);
    switch (option) {
    case 0: c.threshold_db = nan ? -24.0f : v; break;
    case 1: c.ratio = (nan || v < 1.0f) ? 1.0f : v; break;
    case 2: c.knee_db = (nan || v < 0.0f) ? 0.0f : v; break;
    case 3: c.makeup = nan ? 1.0f : db_to_gain(v); break;
    case 4: c.attack = ms_to_coef(v, rate); break;
    case 5: c.release = ms_to_coef(v, rate); break;
    case 6: c.transient_attack_db = nan ? 0.0f : v; break;
    case 7: c.transient_sustain_db = nan ? 0.0f : v; break;
    case 8: c.highpass = hz_to_coef(v, rate); break;
    case 9: c.lookahead = saturate_cast<uint32_t>(rate * clamp_float(v, 0.0f, 50.0f, 0.0f) / 1000.0f); break;
    case 10: c.peak_oversample = v <= 0.0f ? 0 : (v < 2.0f ? 1 : 2); break;
    case 11: case 12: case 13: case 14: c.pair1_ms[option - 11] = v; break;
    case 15: c.rms_detect = v >= 1.0f; break;
    case 16: c.rms_coef = ms_to_coef(v, rate); break;
    case 17: c.feedback = v != 0.0f; break;
    case 18: c.lowpass = hz_to_coef(v, rate); break;
    case 19: c.sidechain_order = v >= 2.0f ? 2 : 1; break;
    case 20: c.listen = v != 0.0f; break;
    case 21: c.range_db = nan ? 1.0f : v; break;
    case 22: c.gate_hold = ms_to_frames(v, rate); break;
    case 23: c.hysteresis_db = nan ? 0.0f : std::fabs(v); break;
    case 24: c.key_relative = v != 0.0f; break;
    case 25: c.adaptive_attack = v != 0.0f; break;
    case 26: c.dual_transient = v != 0.0f; break;
    case 27: case 28: case 29: case 30: c.pair2_ms[option - 27] = v; break;
    case 31: c.transient_hold = ms_to_frames(v, rate); break;
    case 32: c.smoothing = ms_to_coef(v, rate); break;
    case 33: c.feedback_slope = v != 0.0f; break;
    default: break;
    }
}

constexpr int kLastOption = 33;

PyObject *configure(DynamicsObject *self, PyObject *args) {
    int option;
    double value;
    if (!PyArg_ParseTuple(args, "id:configure", &option, &value)) return nullptr;
    if (static_cast<unsigned>(option) > static_cast<unsigned>(kLastOption))
        return value_error("unknown dynamics option");
    store_option(self->config, option, narrow_float(value));

    // Grow (never shrink) the lookahead line; on failure the old line stays in use.
    DynamicsRun &r = self->run;
    const uint32_t want = self->config.lookahead;
    if (want > 0 && want > r.line_capacity) {
        NewArray<int16_t> fresh;
        if (!fresh.allocate(size_t(want) * self->config.channels)) return nullptr;
        fresh.commit(self->line);
        r.line_capacity = want;
        r.line_channels = self->config.channels;
        r.write_index = 0;
    }
    Py_RETURN_NONE;
}

PyObject *finish(DynamicsObject *self, PyObject *) {
    DynamicsConfig &c = self->config;
    const float rate = static_cast<float>(c.sample_rate);
    if (c.attack == 0.0f) c.attack = 1.0f - expf(-1000.0f / (rate * 10.0f));
    if (c.release == 0.0f) c.release = 1.0f - expf(-1000.0f / (rate * 120.0f));
    if (c.rms_coef == 0.0f) c.rms_coef = 1.0f - expf(-1000.0f / (rate * 10.0f));
    Py_RETURN_NONE;
}

PyObject *reset(DynamicsObject *self, PyObject *) {
    clear_run(self);
    Py_RETURN_NONE;
}

PyObject *process_method(DynamicsObject *self, PyObject *args) {
    PyObject *input_obj, *key_obj = Py_None;
    if (!PyArg_ParseTuple(args, "O|O:process", &input_obj, &key_obj)) return nullptr;
    BufferView input, key;
    if (!input.acquire(input_obj, PyBUF_SIMPLE)) return nullptr;
    if (key_obj != Py_None && !key.acquire(key_obj, PyBUF_SIMPLE)) return nullptr;
    const size_t frame_bytes = 2 * size_t(self->config.channels);
    if (input.size() % frame_bytes != 0) {
        key.release();
        input.release();
        return value_error("input must be whole 16-bit frames for the configured channel count");
    }
    if (key.held() && key.size() < input.size()) {
        key.release();
        input.release();
        return value_error("the key must carry at least as many frames as the input");
    }
    uint8_t *out;
    PyObject *result = new_bytes(input.size(), &out);
    if (result == nullptr) return nullptr;
    without_gil(kernel_work(input.size() / 2, 7), [&] {
        process(self->config, self->run, self->line.data, input.bytes(),
                key.held() ? key.bytes() : nullptr, out, input.size() / frame_bytes);
    });
    return result;
}

PyObject *get_gain_reduction_db(DynamicsObject *self, void *) {
    return PyFloat_FromDouble(self->run.last_gain_db);
}

PyObject *get_sample_rate(DynamicsObject *self, void *) {
    return PyLong_FromUnsignedLong(self->config.sample_rate);
}

PyMethodDef methods[] = {
    SL_READY("set_sample_rate", set_sample_rate, METH_O),
    SL_READY("configure", configure, METH_VARARGS),
    SL_READY("finish", finish, METH_NOARGS),
    SL_READY("reset", reset, METH_NOARGS),
    SL_READY("process", process_method, METH_VARARGS),
    {nullptr, nullptr, 0, nullptr},
};

PyGetSetDef getset[] = {
    {"gain_reduction_db", ready<get_gain_reduction_db>, nullptr, nullptr, nullptr},
    {"sample_rate", ready<get_sample_rate>, nullptr, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyType_Slot slots[] = {
    {Py_tp_new, reinterpret_cast<void *>(PyType_GenericNew)},
    {Py_tp_init, reinterpret_cast<void *>(locked<init>)},
    {Py_tp_dealloc, reinterpret_cast<void *>(dealloc_owning<DynamicsObject, free_arrays>)},
    {Py_tp_methods, methods},
    {Py_tp_getset, getset},
    {0, nullptr},
};

}  // namespace

PyType_Spec dynamics_state_spec = {
    "_sonolith.DynamicsState",
    sizeof(DynamicsObject),
    0,
    Py_TPFLAGS_HEAPTYPE,
    slots,
};

}  // namespace sonolith
