// WaveshaperState: an oversampled waveshaper for interleaved signed 16-bit PCM, mono or stereo.
// Per frame and channel, with input sample s:
//
//   x = s drive 2^-15 + bias
//     -> up by 2^S (S = 0..4 cascaded two-times stages, each a polyphase pair of first-order
//        all-pass chains: branch A gives the first output, branch B the second)
//     -> per oversampled value: optional backlash (a dead band of rising/falling width that the
//        value must leave before the held state follows) and the curve: hard clipping to
//        [-1, 1], or a loaded table of int16 points read with linear interpolation
//     -> down by matching stages (even value through branch A, odd value through branch B,
//        output = (A + the previous pair's B) / 2)
//     -> y gain 32768 mix + s (1 - mix), rounded half away from zero, saturated to 16 bits.
//
// Each all-pass section is y = (x - yp) k + xp. Everything is single precision in exactly the
// order written, so nothing here may be reassociated or fused. The stereo kernel carries both
// channels in the two lanes of one vector: every lane sees the same operations as the scalar
// code would, so results are identical to a channel-by-channel run. A loaded curve is kept as
// its segments (start value and rise, the input-independent terms of the interpolation), so that
// a read is one index, one load and one multiply-add per lane.
//
// recentre() removes the offset that the backlash can leave after silence: the decimator memories
// shift by the change of curve output that moving the held state to the bias brings, so the
// output settles on the new value at once instead of ringing through the filters' step response.
//
// Guards beyond the plain algorithm: every option is clamped with NaN taking the option's default,
// and the curve lookup's own clamp sends NaN to -1 before it becomes an index, so no NaN reaches
// a table read; the sample rate is kept but never enters a computation (no oversampled rate is
// formed); an object whose __init__ never ran (no channel count) never reaches the kernel.
#include <cmath>

#include "module/module.hpp"
#include "module/numeric.hpp"

namespace sonolith {
namespace {

// ---------------------------------------------------------------------------------------------
// Kernel

constexpr uint32_t kMaxStages = 4;  // 16 times
constexpr float kSampleScale = 3.0517578125e-05f;  // 2^-15
constexpr float kA1 = 0.090357624f, kA2 = 0.57940537f;
constexpr float kB1 = 0.3127017f, kB2 = 0.85168785f;

// One stage's memory, values [0..3] the previous inputs of sections A1, A2, B1, B2, [4..7] their
// previous outputs, [8] spare (interpolator) or the previous pair's branch-B output (decimator);
// the two channels side by side.
using StageMemory = float[9][2];

// A loaded curve is kept as its n - 1 segments: segment i holds p[i] / 32768 and
// p[i + 1] / 32768 - p[i] / 32768, the two terms of the interpolation that do not depend on the
// input, computed once at loading with the same single-precision steps.
struct Segment {
    float lo, step;
};

struct Shaper {
    uint32_t sample_rate;  // kept for the caller; the kernel does not use it
    uint32_t channels;
    uint32_t factor;
    uint32_t stages;
    const Segment *curve;  // none: hard clipping
    size_t points;         // n, the segments being n - 1
    float drive, bias, output_gain, mix;
    float amount, width, asymmetry;
    float rising, falling;  // backlash widths, set by finish
    StageMemory up[kMaxStages];
    StageMemory down[kMaxStages];
    float backlash[2];
    uint32_t zero_run[2];
};

void clear_signal(Shaper &s) noexcept {
    std::memset(s.up, 0, sizeof s.up);
    std::memset(s.down, 0, sizeof s.down);
    s.backlash[0] = s.backlash[1] = 0.0f;
    s.zero_run[0] = s.zero_run[1] = 0;
}

// x clamped to [-1, 1]: max then min, written so that NaN gives the lower bound (-1).
inline float unit_clamp(float x) noexcept {
    const float a = x > -1.0f ? x : -1.0f;
    return a < 1.0f ? a : 1.0f;
}

// The table read: b = (a + 1) 0.5 (n - 1) with a in [-1, 1] lies in [0, n - 1], so i and i + 1
// stay inside the table.
inline float table_read(const Segment *seg, size_t n, float x) noexcept {
    const float a = unit_clamp(x);
    const float b = (a + 1.0f) * 0.5f * static_cast<float>(n - 1);
    size_t i = static_cast<size_t>(static_cast<int64_t>(b));  // 0 <= b < 2^63
    if (i >= n - 1) i = n - 2;
    return seg[i].lo + seg[i].step * (b - static_cast<float>(i));
}

void make_segments(const uint8_t *points, size_t n, Segment *seg) noexcept {
    for (size_t i = 0; i + 1 < n; ++i) {
        const float lo = static_cast<float>(load_s16(points, i)) / 32768.0f;
        const float hi = static_cast<float>(load_s16(points, i + 1)) / 32768.0f;
        seg[i] = {lo, hi - lo};
    }
}

inline float curve_of(const Shaper &s, float x) noexcept {
    return s.curve != nullptr ? table_read(s.curve, s.points, x) : unit_clamp(x);
}

// The kernel carries the channels in the lanes of one SSE-sized vector (lanes past the channel
// count run on zeros and are never stored). Vector selects keep the clamps and the backlash free
// of unpredictable branches.
typedef float f32x4 __attribute__((vector_size(16)));
typedef int32_t i32x4 __attribute__((vector_size(16)));

inline f32x4 splat(float v) noexcept { return f32x4{v, v, v, v}; }

// unit_clamp on every lane: max then min, NaN taking the lower bound as in the scalar version.
inline f32x4 unit_clamp(f32x4 x) noexcept {
    const f32x4 lo = splat(-1.0f), hi = splat(1.0f);
    const f32x4 a = x > lo ? x : lo;
    return a < hi ? a : hi;
}

// The table read on every lane, for curves short enough that indices fit 32-bit lanes (b stays
// below 2^31): the same steps as table_read, lane by lane, with only the segment loads scalar.
// Lanes past the channel count read nothing and give 0.
constexpr size_t kLaneTableMax = size_t(1) << 30;

template <int C>
inline f32x4 table_read(const Segment *seg, f32x4 x, f32x4 n_minus_1, i32x4 last) noexcept {
    const f32x4 b = (unit_clamp(x) + 1.0f) * 0.5f * n_minus_1;
    i32x4 i = __builtin_convertvector(b, i32x4);
    i = i < last ? i : last;  // n - 2 when not below n - 1
    f32x4 lo = splat(0.0f), step = splat(0.0f);
    for (int c = 0; c < C; ++c) {
        const Segment g = seg[i[c]];
        lo[c] = g.lo;
        step[c] = g.step;
    }
    return lo + step * (b - __builtin_convertvector(i, f32x4));
}

template <typename T>
inline T allpass(T x, T &xp, T &yp, float k) noexcept {
    const T y = (x - yp) * k + xp;
    xp = x;
    yp = y;
    return y;
}

template <typename T>
inline void halfband_up(T w, T (&m)[9], T &first, T &second) noexcept {
    first = allpass(allpass(w, m[0], m[4], kA1), m[1], m[5], kA2);
    second = allpass(allpass(w, m[2], m[6], kB1), m[3], m[7], kB2);
}

template <typename T>
inline T halfband_down(T e, T o, T (&m)[9]) noexcept {
    const T a = allpass(allpass(e, m[0], m[4], kA1), m[1], m[5], kA2);
    const T b = allpass(allpass(o, m[2], m[6], kB1), m[3], m[7], kB2);
    const T y = (a + m[8]) * 0.5f;
    m[8] = b;
    return y;
}

// Rounds half away from zero (v + 0.5 or v - 0.5, truncated) and saturates to 16 bits. Adding
// 0.5 with the sign of v is the same step without a branch (-0 gives -0.5 and truncates to 0 like
// +0.5 does); clamping before the conversion equals saturating after it, and sends NaN to -32768.
inline i32x4 round_s16(f32x4 v) noexcept {
    const i32x4 sign = reinterpret_cast<i32x4>(v) & int32_t(0x80000000u);
    const f32x4 half = reinterpret_cast<f32x4>(sign | reinterpret_cast<i32x4>(splat(0.5f)));
    f32x4 r = v + half;
    r = r > splat(-32768.0f) ? r : splat(-32768.0f);
    r = r < splat(32767.0f) ? r : splat(32767.0f);
    return __builtin_convertvector(r, i32x4);
}

// Table: 0 hard clipping, 1 the lane-wise table read, 2 the scalar one (curves of 2^30 points and
// more).
template <int C, int S, int Table, bool Backlash>
void run(Shaper &sh, const uint8_t *in, uint8_t *out, size_t frames) noexcept {
    using T = f32x4;
    constexpr int N = 1 << S;
    constexpr int M = S > 0 ? S : 1;
    auto load = [](const float *p) { return T{p[0], C > 1 ? p[1] : 0.0f, 0.0f, 0.0f}; };
    auto store = [](float *p, T v) {
        p[0] = v[0];
        if constexpr (C > 1) p[1] = v[1];
    };

    T up[M][9], down[M][9];
    for (int st = 0; st < S; ++st)
        for (int i = 0; i < 9; ++i) {
            up[st][i] = load(sh.up[st][i]);
            down[st][i] = load(sh.down[st][i]);
        }
    T held = load(sh.backlash);
    uint32_t zero_run[2] = {sh.zero_run[0], sh.zero_run[1]};

    const T drive = splat(sh.drive), bias = splat(sh.bias);
    const T gain = splat(sh.output_gain), mix = splat(sh.mix);
    const T dry = splat(1.0f - sh.mix);
    const T rising = splat(sh.rising), falling = splat(sh.falling);
    const Segment *table = sh.curve;
    const size_t points = sh.points;
    const T n_minus_1 = splat(static_cast<float>(points - 1));
    const i32x4 last = i32x4{} + static_cast<int32_t>(Table == 1 ? points - 2 : 0);

    for (size_t f = 0; f < frames; ++f) {
        T s = splat(0.0f);
        #pragma GCC unroll 16
        for (int c = 0; c < C; ++c) {
            const int16_t v = load_s16(in, f * C + c);
            zero_run[c] = v != 0 ? 0 : (zero_run[c] < 256 ? zero_run[c] + 1 : 256);
            s[c] = static_cast<float>(v);
        }
        T seq[N];
        seq[0] = s * drive * kSampleScale + bias;
        #pragma GCC unroll 16
        for (int st = 0; st < S; ++st) {
            T next[N];
            #pragma GCC unroll 16
            for (int j = 0; j < (1 << st); ++j) halfband_up(seq[j], up[st], next[2 * j], next[2 * j + 1]);
            #pragma GCC unroll 16
            for (int j = 0; j < (2 << st); ++j) seq[j] = next[j];
        }
        #pragma GCC unroll 16
        for (int j = 0; j < N; ++j) {
            T t = seq[j];
            if constexpr (Backlash) {
                held = t > held + rising ? t - rising : (t < held - falling ? t + falling : held);
                t = held;
            }
            if constexpr (Table == 1) {
                t = table_read<C>(table, t, n_minus_1, last);
            } else if constexpr (Table == 2) {
                #pragma GCC unroll 16
                for (int c = 0; c < C; ++c) t[c] = table_read(table, points, t[c]);
            } else {
                t = unit_clamp(t);
            }
            seq[j] = t;
        }
        #pragma GCC unroll 16
        for (int st = S - 1; st >= 0; --st)
            #pragma GCC unroll 16
            for (int j = 0; j < (1 << st); ++j) seq[j] = halfband_down(seq[2 * j], seq[2 * j + 1], down[st]);
        const i32x4 q = round_s16(seq[0] * gain * 32768.0f * mix + s * dry);
        #pragma GCC unroll 16
        for (int c = 0; c < C; ++c) store_s16(out, f * C + c, q[c]);
    }

    for (int st = 0; st < S; ++st)
        for (int i = 0; i < 9; ++i) {
            store(sh.up[st][i], up[st][i]);
            store(sh.down[st][i], down[st][i]);
        }
    store(sh.backlash, held);
    for (int c = 0; c < C; ++c) sh.zero_run[c] = zero_run[c];
}

template <int C, int S>
void run_curve(Shaper &sh, const uint8_t *in, uint8_t *out, size_t frames) noexcept {
    const int table = sh.curve == nullptr ? 0 : sh.points < kLaneTableMax ? 1 : 2;
    const bool backlash = sh.amount > 0.0f;
    switch (table) {
    case 0: return backlash ? run<C, S, 0, true>(sh, in, out, frames) : run<C, S, 0, false>(sh, in, out, frames);
    case 1: return backlash ? run<C, S, 1, true>(sh, in, out, frames) : run<C, S, 1, false>(sh, in, out, frames);
    default: return backlash ? run<C, S, 2, true>(sh, in, out, frames) : run<C, S, 2, false>(sh, in, out, frames);
    }
}

template <int C>
void run_channels(Shaper &sh, const uint8_t *in, uint8_t *out, size_t frames) noexcept {
    switch (sh.stages) {
    case 0: run_curve<C, 0>(sh, in, out, frames); break;
    case 1: run_curve<C, 1>(sh, in, out, frames); break;
    case 2: run_curve<C, 2>(sh, in, out, frames); break;
    case 3: run_curve<C, 3>(sh, in, out, frames); break;
    default: run_curve<C, 4>(sh, in, out, frames); break;
    }
}

void process(Shaper &sh, const uint8_t *in, uint8_t *out, size_t frames) noexcept {
    if (sh.channels == 1)
        run_channels<1>(sh, in, out, frames);
    else
        run_channels<2>(sh, in, out, frames);
}

// Moves each channel's held backlash state to the bias once every channel has been silent for
// 256 samples, shifting the decimator memories by the change of curve output so that the
// filters see no step. False (and nothing changed) before that.
bool recentre(Shaper &sh) noexcept {
    for (uint32_t c = 0; c < sh.channels; ++c)
        if (sh.zero_run[c] < 256) return false;
    for (uint32_t c = 0; c < sh.channels; ++c) {
        if (sh.amount > 0.0f) {
            const float g = curve_of(sh, sh.backlash[c]) - curve_of(sh, sh.bias);
            for (uint32_t st = 0; st < sh.stages; ++st)
                for (int i = 0; i < 9; ++i) sh.down[st][i][c] = sh.down[st][i][c] - g;
        }
        sh.backlash[c] = sh.bias;
    }
    return true;
}

// ---------------------------------------------------------------------------------------------
// Python type

struct WaveshaperObject {
    PyObject_HEAD
    ObjectMutex lock;
    Shaper shaper;
    OwnedArray<Segment> curve_copy;  // the loaded curve; stays owned while the curve is detached
    uint8_t ready;
};

void free_arrays(WaveshaperObject *self) noexcept { self->curve_copy.reset(); }

constexpr uint32_t kMaxOversample = 1u << kMaxStages;

int init(WaveshaperObject *self, PyObject *args, PyObject *kwds) {
    static const char *keywords[] = {"sample_rate", "oversample", "channel_count", nullptr};
    unsigned int sample_rate = 48000, oversample = 4, channel_count = 2;
    if (!PyArg_ParseTupleAndKeywords(args, kwds, "|III:WaveshaperState", const_cast<char **>(keywords),
                                     &sample_rate, &oversample, &channel_count))
        return -1;
    if (sample_rate == 0) return value_error("sample_rate must be at least 1");
    if (oversample == 0 || oversample > kMaxOversample || (oversample & (oversample - 1)) != 0) {
        PyErr_Format(PyExc_ValueError, "oversample must be a power of two, 1 to %d",
                     static_cast<int>(kMaxOversample));
        return -1;
    }
    if (channel_count != 1 && channel_count != 2) return value_error("channel_count must be 1 or 2");
    Shaper &s = self->shaper;
    s.sample_rate = sample_rate;
    s.channels = channel_count;
    s.factor = oversample;
    s.stages = static_cast<uint32_t>(__builtin_ctz(oversample));
    s.curve = nullptr;
    s.points = 0;
    s.drive = 1.0f;
    s.bias = 0.0f;
    s.output_gain = 1.0f;
    s.mix = 1.0f;
    s.amount = 0.0f;
    s.width = 0.02f;
    s.asymmetry = 0.0f;
    s.rising = s.falling = 0.0f;
    clear_signal(s);
    self->ready = 1;
    return 0;
}

PyObject *load_curve(WaveshaperObject *self, PyObject *arg) {
    BufferView points;
    if (!points.acquire(arg, PyBUF_SIMPLE)) return nullptr;
    if (points.size() % 2 != 0 || points.size() < 4) {
        points.release();
        return value_error("curve must be at least two whole int16 points");
    }
    const size_t count = points.size() / 2;
    NewArray<Segment> copy;
    if (!copy.allocate(count - 1)) return nullptr;
    without_gil(kernel_work(count, 2), [&] { make_segments(points.bytes(), count, copy.data()); });
    copy.commit(self->curve_copy);
    self->shaper.curve = self->curve_copy.data;
    self->shaper.points = count;
    Py_RETURN_NONE;
}

constexpr int kLastOption = 6;

PyObject *configure(WaveshaperObject *self, PyObject *args) {
    int option;
    double value;
    if (!PyArg_ParseTuple(args, "id:configure", &option, &value)) return nullptr;
    if (static_cast<unsigned>(option) > static_cast<unsigned>(kLastOption))
        return value_error("unknown waveshaper option");
    const float v = narrow_float(value);
    Shaper &s = self->shaper;
    switch (option) {
    case 0: s.drive = clamp_float(v, -1000.0f, 1000.0f, 1.0f); break;
    case 1: s.bias = clamp_float(v, -1.0f, 1.0f, 0.0f); break;
    case 2: s.output_gain = clamp_float(v, -1000.0f, 1000.0f, 1.0f); break;
    case 3: s.mix = clamp_float(v, 0.0f, 1.0f, 1.0f); break;
    case 4: s.amount = clamp_float(v, 0.0f, 1.0f, 0.0f); break;
    case 5: s.width = clamp_float(v, 0.0f, 0.5f, 0.02f); break;
    default: s.asymmetry = clamp_float(v, -1.0f, 1.0f, 0.0f); break;
    }
    Py_RETURN_NONE;
}

PyObject *finish(WaveshaperObject *self, PyObject *) {
    Shaper &s = self->shaper;
    float c = s.width * s.amount * std::fabs(s.drive);
    if (c > 1.0f) c = 1.0f;
    s.rising = (s.asymmetry + 1.0f) * c;
    s.falling = (1.0f - s.asymmetry) * c;
    Py_RETURN_NONE;
}

PyObject *reset(WaveshaperObject *self, PyObject *) {
    clear_signal(self->shaper);
    Py_RETURN_NONE;
}

PyObject *recentre_method(WaveshaperObject *self, PyObject *) {
    return PyBool_FromLong(recentre(self->shaper));
}

PyObject *process_method(WaveshaperObject *self, PyObject *arg) {
    FrameBlock b;
    PyObject *result = b.start(arg, self->shaper.channels);
    if (result == nullptr) return nullptr;
    without_gil(kernel_work(b.input.size() / 2, 2 + 8 * size_t(self->shaper.factor)),
                [&] { process(self->shaper, b.in(), b.out, b.frames); });
    return result;
}

PyMethodDef methods[] = {
    SL_READY("load_curve", load_curve, METH_O),
    SL_READY("configure", configure, METH_VARARGS),
    SL_READY("finish", finish, METH_NOARGS),
    SL_READY("reset", reset, METH_NOARGS),
    SL_READY("recentre", recentre_method, METH_NOARGS),
    SL_READY("process", process_method, METH_O),
    {nullptr, nullptr, 0, nullptr},
};

PyType_Slot slots[] = {
    {Py_tp_new, reinterpret_cast<void *>(PyType_GenericNew)},
    {Py_tp_init, reinterpret_cast<void *>(locked<init>)},
    {Py_tp_dealloc, reinterpret_cast<void *>(dealloc_owning<WaveshaperObject, free_arrays>)},
    {Py_tp_methods, methods},
    {0, nullptr},
};

}  // namespace

PyType_Spec waveshaper_state_spec = {
    "_sonolith.WaveshaperState",
    sizeof(WaveshaperObject),
    0,
    Py_TPFLAGS_HEAPTYPE,
    slots,
};

}  // namespace sonolith
