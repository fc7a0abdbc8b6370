// BiquadF32State: a single-precision second-order filter for interleaved signed 16-bit PCM, mono
// or stereo, with the seven cookbook designs (low-pass, high-pass, band-pass, notch, peaking, low
// and high shelf) and a dry/wet mix.
//
// configure stages the parameters; finish (or coefficients) designs: the cookbook coefficients in
// double precision with dsp_sincos, normalised and narrowed to float, plus the design's equivalent
// trapezoidal state-variable form (g, k, m0, m1, m2) when the design is stable. process runs the
// filter in transposed direct form II. When it takes over a new design it glides: the direct-form
// state is converted into state-variable state, whose parameters move to the new design over
// L = 2^p frames (about 20 ms: g and k geometrically, m0..m2 linearly), and the state is converted
// back at the end. A design without a state-variable form (or a switch away from one) starts from
// a cleared direct-form state instead.
//
// Guards beyond the plain algorithm: the mode option is clamped before it is truncated, so no
// float beyond the integer range reaches a conversion; a NaN option takes the value it has after
// __init__; the design clamps the frequency to sample rate x 0.4999 (the initial 1000 Hz lies
// above Nyquist below 2000 Hz), so every design is finite; the output conversion maps NaN to 0;
// an object whose __init__ never ran never reaches the kernel.
#include <cmath>

#include "engines/sincos.hpp"
#include "module/module.hpp"
#include "module/numeric.hpp"

namespace sonolith {

// ---------------------------------------------------------------------------------------------
// Kernel

namespace kernel {

struct Coefficients {
    float b0, b1, b2, a1, a2;  // normalised, a0 = 1
    bool operator==(const Coefficients &) const = default;
};

struct SvfForm {
    float g, k, m0, m1, m2;
};

// Everything process() changes; reset() zeroes it.
struct BiquadSignal {
    float s1[2], s2[2];  // direct-form state per channel
    Coefficients running;
    SvfForm running_svf;
    uint8_t running_has_svf;
    SvfForm glide;                                       // current state-variable form
    float g_factor, k_factor, m0_step, m1_step, m2_step;  // per-frame changes
    float ic1[2], ic2[2];                                // state-variable state per channel
    uint32_t glide_left;
    uint8_t started;
};

struct BiquadF32 {
    uint32_t sample_rate;
    uint32_t channels;
    int32_t filter_mode;
    float frequency_hz;
    float q_factor;
    float gain_db;
    float mix;
    Coefficients design;
    SvfForm design_svf;
    uint8_t design_has_svf;
    int32_t designed_mode;
    uint32_t designed_rate;
    float designed_frequency, designed_q, designed_gain;
    uint8_t designed;
    BiquadSignal signal;
};

constexpr int kLastMode = 6;
constexpr float kDefaultFrequency = 1000.0f;
constexpr float kDefaultQ = 0.70710677f;

inline float frequency_limit(uint32_t sample_rate) noexcept {
    return static_cast<float>(static_cast<double>(sample_rate) * 0.4999);
}

void design(BiquadF32 &f) noexcept {
    if (f.designed && f.filter_mode == f.designed_mode && f.sample_rate == f.designed_rate &&
        f.frequency_hz == f.designed_frequency && f.q_factor == f.designed_q &&
        f.gain_db == f.designed_gain)
        return;
    const float limit = frequency_limit(f.sample_rate);
    const float frequency = f.frequency_hz > limit ? limit : f.frequency_hz;

    const double A = expf(f.gain_db * 0.057564627f);
    const double w = static_cast<double>(frequency) * 6.283185307179586 / f.sample_rate;
    const SinCos sc = dsp_sincos(w);
    const double c = sc.cos;
    const double alpha = sc.sin / (static_cast<double>(f.q_factor) * 2.0);
    double b0, b1, b2, a0, a1, a2;
    switch (f.filter_mode) {
    case 0:
        b0 = (1.0 - c) / 2.0, b1 = 1.0 - c, b2 = (1.0 - c) / 2.0;
        a0 = 1.0 + alpha, a1 = -2.0 * c, a2 = 1.0 - alpha;
        break;
    case 1:
        b0 = (1.0 + c) / 2.0, b1 = -(1.0 + c), b2 = (1.0 + c) / 2.0;
        a0 = 1.0 + alpha, a1 = -2.0 * c, a2 = 1.0 - alpha;
        break;
    case 2:
        b0 = alpha, b1 = 0.0, b2 = -alpha;
        a0 = 1.0 + alpha, a1 = -2.0 * c, a2 = 1.0 - alpha;
        break;
    case 3:
        b0 = 1.0, b1 = -2.0 * c, b2 = 1.0;
        a0 = 1.0 + alpha, a1 = -2.0 * c, a2 = 1.0 - alpha;
        break;
    case 4:
        b0 = 1.0 + alpha * A, b1 = -2.0 * c, b2 = 1.0 - alpha * A;
        a0 = 1.0 + alpha / A, a1 = -2.0 * c, a2 = 1.0 - alpha / A;
        break;
    case 5: {
        const double k = 2.0 * std::sqrt(A) * alpha;
        b0 = A * ((A + 1.0) - (A - 1.0) * c + k);
        b1 = 2.0 * A * ((A - 1.0) - (A + 1.0) * c);
        b2 = A * ((A + 1.0) - (A - 1.0) * c - k);
        a0 = (A + 1.0) + (A - 1.0) * c + k;
        a1 = -2.0 * ((A - 1.0) + (A + 1.0) * c);
        a2 = (A + 1.0) + (A - 1.0) * c - k;
        break;
    }
    default: {
        const double k = 2.0 * std::sqrt(A) * alpha;
        b0 = A * ((A + 1.0) + (A - 1.0) * c + k);
        b1 = -2.0 * A * ((A - 1.0) + (A + 1.0) * c);
        b2 = A * ((A + 1.0) + (A - 1.0) * c - k);
        a0 = (A + 1.0) - (A - 1.0) * c + k;
        a1 = 2.0 * ((A - 1.0) - (A + 1.0) * c);
        a2 = (A + 1.0) - (A - 1.0) * c - k;
        break;
    }
    }
    b0 /= a0, b1 /= a0, b2 /= a0, a1 /= a0, a2 /= a0;
    f.design = {static_cast<float>(b0), static_cast<float>(b1), static_cast<float>(b2),
                static_cast<float>(a1), static_cast<float>(a2)};

    // The equivalent state-variable form exists for the stable designs: w > 0, A1 > 0 and gk > 0
    // put both poles inside the unit circle.
    f.design_has_svf = 0;
    const double wn = 1.0 - a1 + a2;
    if (wn > 0.0) {
        const double A1 = (1.0 + a1 + a2) / wn;
        if (A1 > 1e-12) {
            const double g = std::sqrt(A1);
            const double gk = 2.0 * (1.0 - a2) / wn;
            if (gk > 0.0) {
                const double C = b0 * 4.0 / wn, D = b2 * 4.0 / wn, E = b1 * 4.0 / wn;
                const double m0 = (C - E + D) * 0.25;
                const double m1 = (C - D - 2.0 * m0 * gk) / (2.0 * g);
                const double m2 = (D + C - (2.0 * A1 + 2.0) * m0) / (2.0 * A1);
                f.design_svf = {static_cast<float>(g), static_cast<float>(gk / g),
                                static_cast<float>(m0), static_cast<float>(m1),
                                static_cast<float>(m2)};
                f.design_has_svf = 1;
            }
        }
    }
    f.designed_mode = f.filter_mode;
    f.designed_rate = f.sample_rate;
    f.designed_frequency = f.frequency_hz;
    f.designed_q = f.q_factor;
    f.designed_gain = f.gain_db;
    f.designed = 1;
}

// A stored state strictly within +-1e-20 becomes 0 (no denormal tails); one compare of the
// magnitude, almost never true, where two compares of the signed value would branch on its sign.
inline float flush(float v) noexcept { return std::fabs(v) < 1e-20f ? 0.0f : v; }
inline float flush(double v) noexcept { return flush(narrow_float(v)); }

// Saturating, half-away-from-zero rounding to 16 bits; NaN gives 0. Adding a half with the
// sign of out is out + 0.5 (out >= 0) or out - 0.5 (out < 0) without a branch on the sign of
// audio; clamping the sum instead of out gives the same integer, since any sum beyond the range
// truncates to the limit or past it.
inline int32_t round_s16(float out) noexcept {
    float r = out + std::copysign(0.5f, out);
    r = r > 32767.0f ? 32767.0f : r;
    r = r < -32768.0f ? -32768.0f : r;
    return static_cast<int32_t>(r == r ? r : 0.0f);
}

// The zero-input output of the state-variable filter is P ic1 + R ic2 now and U ic1 + T ic2 one
// sample later; matching it to the direct form's zero-input output converts between the states.
struct StateMap {
    double P, R, U, T;
};

StateMap state_map(const SvfForm &s) noexcept {
    const double g = s.g, k = s.k, m1 = s.m1, m2 = s.m2;
    const double a1 = 1.0 / ((k + g) * g + 1.0);
    const double a2 = a1 * g;
    const double a3 = g * a2;
    const double P = a1 * m1 + a2 * m2;
    const double R = (1.0 - a3) * m2 - a2 * m1;
    const double U = (2.0 * a1 - 1.0) * P + 2.0 * a2 * R;
    const double T = (1.0 - 2.0 * a3) * R - 2.0 * a2 * P;
    return {P, R, U, T};
}

void to_svf_state(BiquadSignal &st, uint32_t channels) noexcept {
    const StateMap m = state_map(st.running_svf);
    const double a1 = st.running.a1;
    const double delta = m.P * m.T - m.R * m.U;
    const bool singular = delta == 0.0 || delta * delta <= (m.R * m.R + m.P * m.P) *
                                                                (m.T * m.T + m.U * m.U) * 1e-18;
    for (uint32_t ch = 0; ch < channels; ++ch) {
        if (singular) {
            st.ic1[ch] = st.ic2[ch] = 0.0f;
            continue;
        }
        const double s1 = st.s1[ch], s2 = st.s2[ch];
        const double q = s2 - a1 * s1;
        st.ic1[ch] = flush((m.T * s1 - m.R * q) / delta);
        st.ic2[ch] = flush((m.P * q - m.U * s1) / delta);
    }
}

// s2 is formed from s1 in double precision; both are narrowed only when stored.
void to_direct_state(BiquadSignal &st, uint32_t channels) noexcept {
    const StateMap m = state_map(st.running_svf);
    const double a1 = st.running.a1;
    for (uint32_t ch = 0; ch < channels; ++ch) {
        const double ic1 = st.ic1[ch], ic2 = st.ic2[ch];
        const double s1 = m.P * ic1 + m.R * ic2;
        const double s2 = a1 * s1 + m.U * ic1 + m.T * ic2;
        st.s1[ch] = flush(s1);
        st.s2[ch] = flush(s2);
    }
}

// The glide length for a sample rate: 2^p with p the count of i (at most 20) for which
// 2^i sqrt(2) < rate x 20 ms.
uint32_t glide_bits(uint32_t sample_rate) noexcept {
    const double frames = static_cast<double>(sample_rate) * 20.0 / 1000.0;
    uint32_t p = 0;
    while (p < 20 && std::ldexp(1.4142135623730951, static_cast<int>(p)) < frames) ++p;
    return p;
}

// (to / from)^(1 / 2^p) by p square roots.
float glide_factor(float to, float from, uint32_t p) noexcept {
    double r = static_cast<double>(to) / static_cast<double>(from);
    for (uint32_t i = 0; i < p; ++i) r = std::sqrt(r);
    return static_cast<float>(r);
}

void take_over(BiquadF32 &f) noexcept {
    BiquadSignal &st = f.signal;
    if (!st.started) {
        st.running = f.design;
        st.running_svf = f.design_svf;
        st.running_has_svf = f.design_has_svf;
        st.started = 1;
        return;
    }
    if (f.design == st.running) return;
    if (st.glide_left == 0 && st.running_has_svf && f.design_has_svf) {
        to_svf_state(st, f.channels);
        st.glide = st.running_svf;
    }
    const bool glide = f.design_has_svf && (st.glide_left > 0 || st.running_has_svf);
    st.running = f.design;
    st.running_svf = f.design_svf;
    st.running_has_svf = f.design_has_svf;
    if (glide) {
        const uint32_t p = glide_bits(f.sample_rate);
        const uint32_t L = uint32_t(1) << p;
        const float Lf = static_cast<float>(L);
        const SvfForm &to = f.design_svf;
        st.glide_left = L;
        st.g_factor = glide_factor(to.g, st.glide.g, p);
        st.k_factor = glide_factor(to.k, st.glide.k, p);
        st.m0_step = (to.m0 - st.glide.m0) / Lf;
        st.m1_step = (to.m1 - st.glide.m1) / Lf;
        st.m2_step = (to.m2 - st.glide.m2) / Lf;
    } else {
        st.s1[0] = st.s1[1] = st.s2[0] = st.s2[1] = 0.0f;
        st.glide_left = 0;
    }
}

template <int Channels>
void run(BiquadF32 &f, const uint8_t *in, uint8_t *out, size_t frames) noexcept {
    BiquadSignal &st = f.signal;
    const float mix = f.mix, dry = 1.0f - mix;
    size_t i = 0;

    if (st.glide_left > 0) {
        const size_t n = frames < st.glide_left ? frames : st.glide_left;
        SvfForm v = st.glide;
        float ic1[Channels], ic2[Channels];
        for (int ch = 0; ch < Channels; ++ch) ic1[ch] = st.ic1[ch], ic2[ch] = st.ic2[ch];
        for (; i < n; ++i) {
            v.m2 += st.m2_step;
            v.g *= st.g_factor;
            v.k *= st.k_factor;
            v.m0 += st.m0_step;
            v.m1 += st.m1_step;
            const float a1 = 1.0f / (1.0f + (v.k + v.g) * v.g);
            const float a2 = a1 * v.g;
            const float a3 = a2 * v.g;
            for (int ch = 0; ch < Channels; ++ch) {
                const float x = load_s16(in, Channels * i + ch);
                const float e = x - ic2[ch];
                const float bp = a2 * e + a1 * ic1[ch];
                const float lp = ic2[ch] + a2 * ic1[ch] + a3 * e;
                ic1[ch] = flush(2.0f * bp - ic1[ch]);
                ic2[ch] = flush(2.0f * lp - ic2[ch]);
                const float y = v.m1 * bp + v.m0 * x + v.m2 * lp;
                store_s16(out, Channels * i + ch, round_s16(y * mix + x * dry));
            }
        }
        for (int ch = 0; ch < Channels; ++ch) st.ic1[ch] = ic1[ch], st.ic2[ch] = ic2[ch];
        st.glide = v;
        st.glide_left -= static_cast<uint32_t>(n);
        if (st.glide_left == 0) to_direct_state(st, Channels);
    }

    const Coefficients c = st.running;
    float s1[Channels], s2[Channels];
    for (int ch = 0; ch < Channels; ++ch) s1[ch] = st.s1[ch], s2[ch] = st.s2[ch];
    for (; i < frames; ++i) {
        for (int ch = 0; ch < Channels; ++ch) {
            const float x = load_s16(in, Channels * i + ch);
            const float y = c.b0 * x + s1[ch];
            s1[ch] = flush(c.b1 * x - c.a1 * y + s2[ch]);
            s2[ch] = flush(c.b2 * x - c.a2 * y);
            store_s16(out, Channels * i + ch, round_s16(y * mix + x * dry));
        }
    }
    for (int ch = 0; ch < Channels; ++ch) st.s1[ch] = s1[ch], st.s2[ch] = s2[ch];
}

void process(BiquadF32 &f, const uint8_t *in, uint8_t *out, size_t frames) noexcept {
    take_over(f);
    if (f.channels == 1)
        run<1>(f, in, out, frames);
    else
        run<2>(f, in, out, frames);
}

}  // namespace kernel

// ---------------------------------------------------------------------------------------------
// Binding

namespace {

struct BiquadF32Object {
    PyObject_HEAD
    ObjectMutex lock;
    kernel::BiquadF32 state;
    uint8_t ready;
};

int init(BiquadF32Object *self, PyObject *args, PyObject *kwds) {
    static const char *keywords[] = {"sample_rate", "channel_count", nullptr};
    unsigned int sample_rate = 48000, channel_count = 2;
    if (!PyArg_ParseTupleAndKeywords(args, kwds, "|II:BiquadF32State", const_cast<char **>(keywords),
                                     &sample_rate, &channel_count))
        return -1;
    if (sample_rate == 0) return value_error("sample_rate must be at least 1");
    if (channel_count != 1 && channel_count != 2) return value_error("channel_count must be 1 or 2");
    kernel::BiquadF32 &s = self->state;
    s = {};
    s.sample_rate = sample_rate;
    s.channels = channel_count;
    s.frequency_hz = kernel::kDefaultFrequency;
    s.q_factor = kernel::kDefaultQ;
    s.mix = 1.0f;
    self->ready = 1;
    return 0;
}

// The mode is clamped before it is truncated, so that no float beyond the integer range reaches
// the conversion.
int32_t mode_from(float v) noexcept {
    if (!(v > 0.0f)) return 0;  // NaN too
    if (v >= static_cast<float>(kernel::kLastMode)) return kernel::kLastMode;
    return static_cast<int32_t>(v);
}

// The options' clamps; a NaN takes the value the field has after __init__.
PyObject *configure(BiquadF32Object *self, PyObject *args) {
    int option;
    double value;
    if (!PyArg_ParseTuple(args, "id:configure", &option, &value)) return nullptr;
    if (static_cast<unsigned>(option) > 4u) return value_error("unknown biquad option");
    const float v = narrow_float(value);
    const bool nan = !(v == v);
    kernel::BiquadF32 &s = self->state;
    switch (option) {
    case 0: s.filter_mode = mode_from(v); break;
    case 1: {
        const float limit = kernel::frequency_limit(s.sample_rate);
        s.frequency_hz = nan ? kernel::kDefaultFrequency : v < 0.0f ? 0.0f : (v < limit ? v : limit);
        break;
    }
    case 2: s.q_factor = nan ? kernel::kDefaultQ : v < 0.05f ? 0.05f : (v < 60.0f ? v : 60.0f); break;
    case 3: s.gain_db = nan ? 0.0f : v < -60.0f ? -60.0f : (v < 60.0f ? v : 60.0f); break;
    default: s.mix = nan ? 1.0f : v < 0.0f ? 0.0f : (v < 1.0f ? v : 1.0f); break;
    }
    Py_RETURN_NONE;
}

PyObject *finish(BiquadF32Object *self, PyObject *) {
    kernel::design(self->state);
    Py_RETURN_NONE;
}

PyObject *coefficients(BiquadF32Object *self, PyObject *) {
    kernel::design(self->state);
    const kernel::Coefficients &c = self->state.design;
    return Py_BuildValue("(ddddd)", double(c.b0), double(c.b1), double(c.b2), double(c.a1),
                         double(c.a2));
}

PyObject *reset(BiquadF32Object *self, PyObject *) {
    self->state.signal = {};
    Py_RETURN_NONE;
}

PyObject *process(BiquadF32Object *self, PyObject *arg) {
    kernel::BiquadF32 &s = self->state;
    FrameBlock b;
    PyObject *result = b.start(arg, s.channels);
    if (result == nullptr) return nullptr;
    without_gil(kernel_work(b.frames * s.channels, 4), [&] { kernel::process(s, b.in(), b.out, b.frames); });
    return result;
}

PyMethodDef methods[] = {
    SL_READY("configure", configure, METH_VARARGS),
    SL_READY("finish", finish, METH_NOARGS),
    SL_READY("reset", reset, METH_NOARGS),
    SL_READY("coefficients", coefficients, METH_NOARGS),
    SL_READY("process", process, METH_O),
    {nullptr, nullptr, 0, nullptr},
};

PyType_Slot slots[] = {
    {Py_tp_new, reinterpret_cast<void *>(PyType_GenericNew)},
    {Py_tp_init, reinterpret_cast<void *>(locked<init>)},
    {Py_tp_methods, methods},
    {0, nullptr},
};

}  // namespace

PyType_Spec biquad_f32_state_spec = {
    "_sonolith.BiquadF32State",
    sizeof(BiquadF32Object),
    0,
    Py_TPFLAGS_HEAPTYPE,
    slots,
};

}  // namespace sonolith
