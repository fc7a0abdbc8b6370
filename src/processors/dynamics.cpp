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

// Gain in dB of the envelope-driven behaviours (compressor, limiter, expander, plain gate).
inline float static_gain(const DynamicsConfig &cf, DynamicsRun &r, const CallConstants &k, float c,
                         float e) noexcept {
    if (c > r.level_env) {
        float coef = cf.attack;
        if (cf.adaptive_attack && k.adaptive_threshold > 0.0f) {
            float ratio = c / k.adaptive_threshold;
            if (ratio > 1.0f) {
                float a = sqrtf(ratio) * cf.attack;
                coef = a < 1.0f ? a : 1.0f;
            }
        }
        follow(r.level_env, c, coef);
    } else {
        follow(r.level_env, c, cf.release);
    }
    float level = to_db(fmax0(1e-6f, r.level_env + 1e-6f));
    if (cf.key_relative) {
        follow(r.key_env, e, e > r.key_env ? cf.attack : cf.release);
        level = level - to_db(fmax0(1e-6f, r.key_env + 1e-6f));
    }
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
    return k;
}

// Processes `frames` frames of N channels. `key` is null or holds at least as many frames.
template <int N>
void process_frames(const DynamicsConfig &cf, DynamicsRun &r, int16_t *line, const uint8_t *in,
                    const uint8_t *key, uint8_t *out, size_t frames) noexcept {
    const CallConstants k = prepare(cf, r);
    const float hp = cf.highpass, lp = cf.lowpass;
    const bool second = cf.sidechain_order == 2;
    for (size_t i = 0; i < frames; ++i) {
        float x[N], a[N], s[N], d[N];
        for (int c = 0; c < N; ++c) {
            int16_t sample = load_s16(in, i * N + c);
            x[c] = static_cast<float>(sample) * kSampleScale;
            a[c] = x[c];
            if (k.lookahead > 0) {
                int16_t &slot = line[size_t(r.write_index) * N + c];
                a[c] = static_cast<float>(slot) * kSampleScale;
                slot = sample;
            }
        }
        if (k.lookahead > 0 && ++r.write_index == k.lookahead) r.write_index = 0;

        for (int c = 0; c < N; ++c) {
            s[c] = x[c];
            if (cf.feedback)
                s[c] = r.prev_out[c];
            else if (key != nullptr)
                s[c] = static_cast<float>(load_s16(key, i * N + c)) * kSampleScale;
            float v = s[c];
            if (hp > 0.0f) {
                follow(r.hp1[c], v, hp);
                v = v - r.hp1[c];
                if (second) {
                    follow(r.hp2[c], v, hp);
                    v = v - r.hp2[c];
                }
            }
            if (lp > 0.0f) {
                follow(r.lp1[c], v, lp);
                v = r.lp1[c];
                if (second) {
                    follow(r.lp2[c], v, lp);
                    v = r.lp2[c];
                }
            }
            d[c] = v;
        }

        float level = 0.0f;
        if (cf.rms_detect) {
            float m = 0.0f;
            for (int c = 0; c < N; ++c) {
                follow(r.mean_square[c], d[c] * d[c], cf.rms_coef);
                m = fmax0(m, r.mean_square[c]);
            }
            level = sqrtf(m);
        } else {
            for (int c = 0; c < N; ++c) level = fmax0(level, std::fabs(d[c]));
        }
        if (cf.peak_oversample == 1) {
            for (int c = 0; c < N; ++c) {
                float *h = r.peak2[c];
                float p = std::fabs(0.5625f * h[1] - 0.0625f * h[0] + 0.5625f * h[2] - 0.0625f * d[c]);
                h[0] = h[1];
                h[1] = h[2];
                h[2] = d[c];
                level = fmax0(level, p);
            }
        } else if (cf.peak_oversample == 2) {
            for (int c = 0; c < N; ++c) {
                float *h = r.peak4[c];
                for (int j = 0; j < 11; ++j) h[j] = h[j + 1];
                h[11] = d[c];
                float y[4];
                for (int q = 0; q < 4; ++q) y[q] = kPhase[q][0] * h[0];
                for (int j = 1; j < 12; ++j)
                    for (int q = 0; q < 4; ++q) y[q] = y[q] + kPhase[q][j] * h[j];
                for (int q = 0; q < 4; ++q) level = fmax0(level, std::fabs(y[q]));
            }
        }

        float gain_db, g;
        if (cf.mode == kTransient) {
            gain_db = transient_gain(cf, r, k, level);
            g = db_to_gain(gain_db);
        } else if (k.gate_machine) {
            g = gate_gain(cf, r, k, level, &gain_db);
        } else {
            float e = 0.0f;
            if (cf.key_relative)
                for (int c = 0; c < N; ++c) e = fmax0(e, std::fabs(s[c]));
            gain_db = static_gain(cf, r, k, level, e);
            g = gain_db == 0.0f ? 1.0f : db_to_gain(gain_db);  // exp(0) is exactly 1
        }
        r.last_gain_db = gain_db;

        g = g * cf.makeup;
        if (cf.smoothing < 1.0f) {
            // The smoothing memory only ever holds a finite gain: a NaN gain becomes 0 and an
            // infinite one the largest float, which leaves every output sample unchanged.
            if (!(g == g)) g = 0.0f;
            if (g > 3.4028235e38f) g = 3.4028235e38f;
            if (r.primed)
                g = r.smoothed + (g - r.smoothed) * cf.smoothing;
            else
                r.primed = 1;
            r.smoothed = g;
        }

        for (int c = 0; c < N; ++c) {
            float v = (cf.listen ? d[c] : g * a[c]) * 32768.0f;
            store_s16(out, i * N + c, saturate_cast<int16_t>(v));
            if (cf.feedback) {
                // The clamped output; NaN (only from a NaN gain) is the 0 actually written.
                v = v < -32768.0f ? -32768.0f : (v > 32767.0f ? 32767.0f : v);
                r.prev_out[c] = (v == v) ? v * kSampleScale : 0.0f;
            }
        }
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
    store_option(self->config, option, static_cast<float>(value));

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
    process(self->config, self->run, self->line.data, input.bytes(), key.held() ? key.bytes() : nullptr,
            out, input.size() / frame_bytes);
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
