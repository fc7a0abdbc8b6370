// LadderState: a four-stage transistor-ladder style low-pass for interleaved signed 16-bit PCM,
// mono or stereo, in single precision. Each stage is a trapezoidal (zero-delay feedback) one-pole
// with gain G = g / (1 + g), g = tan(pi f / R). The resonance feedback k passes a cubic soft clip
// c(y) = y - y^3 / 3, so the output y of the closed loop solves y = h - G^4 k c(y), h being what
// the open cascade would give. Beyond the knees (|h| - 2/3 G^4 k past 1) the clip is flat and y
// follows directly; in between, four fixed-point steps y <- (h + G^4 k y^3 / 3) / (1 + G^4 k),
// started from the linear prediction 2 y[n-1] - y[n-2], converge. The clipped y drives the
// feedback into the first stage; the output is taken after stage 1 to 4 (6 to 24 dB/octave).
// Optionally the loop runs at twice the rate (a linear-interpolated half step, then the sample,
// averaged), and 1 + k c scales the output back up against the passband loss of resonance. The
// dry/wet mix is linear. Every step below is float in exactly the written order: the results are
// reproducible to the bit, so nothing here may be reassociated or fused. What is done faster
// gives the same bits: the channels of a frame share vector instructions lane by lane, the solver
// stops once a step returns its input unchanged, and beyond the knees the feedback is a constant.
//
// Guards beyond the plain algorithm: NaN option values take the lower end of their range (the
// cutoff the 1 Hz floor, poles 1, oversampling 1); the poles value converts through a saturating
// cast, so huge values select 1 or 4; the design rate oversampling x sample_rate is formed in 64
// bits (it would wrap to 0 at 2^31 Hz); when 0.49 x rate is below the 1 Hz floor (rates of 1 and
// 2 Hz) the upper limit wins, so pi f / R stays below pi / 2 and the tangent finite; an object
// whose __init__ never ran (no channel count) never reaches the kernel.
#include <cmath>
#if defined(__SSE2__)
#include <emmintrin.h>
#endif

#include "module/module.hpp"
#include "module/numeric.hpp"

namespace sonolith {

// ---------------------------------------------------------------------------------------------
// Kernel

namespace kernel {

struct Ladder {
    uint32_t sample_rate;
    uint32_t channels;
    float cutoff;        // Hz, limited only in the coefficient update
    float resonance;     // k, 0..4.2
    float drive;         // 0..64
    float compensation;  // 0..1
    float mix;           // 0..1
    uint8_t poles;       // 1..4
    uint8_t oversampling;  // 1 or 2
    float G;
    float G4;
    float G4k;
    float inverse;  // 1 / (1 + G4k)
    float cubic;    // G4k / (1 + G4k) / 3
    float gain;     // 1 + k x compensation
    float s[2][4];       // stage states per channel
    float last[2];       // y[n-1] per channel
    float before[2];     // y[n-2] per channel
    float previous[2];   // previous input sample / 32768 per channel
};

void update(Ladder &l) noexcept {
    const float R = static_cast<float>(uint64_t(l.oversampling) * l.sample_rate);
    float f = l.cutoff;
    if (!(f >= 1.0f)) f = 1.0f;  // below the floor, or NaN
    const float top = 0.49f * R;
    if (f > top) f = top;  // applied last: at 1 and 2 Hz it is below the floor and wins
    const float g = tanf(3.1415927f * f / R);
    const float G = g / (g + 1.0f);
    l.G = G;
    l.G4 = G * G * G * G;
    l.G4k = l.G4 * l.resonance;
    l.inverse = 1.0f / (1.0f + l.G4k);
    l.cubic = l.G4k * l.inverse * 0.33333334f;
    l.gain = 1.0f + l.resonance * l.compensation;
}

inline void restart(Ladder &l) noexcept {
    std::memset(l.s, 0, sizeof l.s);
    std::memset(l.last, 0, sizeof l.last);
    std::memset(l.before, 0, sizeof l.before);
    std::memset(l.previous, 0, sizeof l.previous);
}

// The channels run side by side in the lanes of one vector (lane c = channel c, the unused lanes
// carry zeros): each lane does exactly the float steps of its channel, so the results are those
// of one channel at a time, while the two serial chains of a stereo frame share instructions.
typedef float f4 __attribute__((vector_size(16)));
typedef int32_t i4 __attribute__((vector_size(16)));

inline f4 splat(float v) noexcept { return f4{v, v, v, v}; }
// v < -1 ? -1 : (v > 1 ? 1 : v) per lane; the inputs are never NaN.
inline f4 clamp1(f4 v) noexcept {
    const f4 lo = splat(-1.0f), hi = splat(1.0f);
#if defined(__SSE2__)
    return reinterpret_cast<f4>(_mm_min_ps(_mm_max_ps(reinterpret_cast<__m128>(v), lo), hi));
#else
    v = v < lo ? lo : v;
    return v > hi ? hi : v;
#endif
}
inline bool any(i4 m) noexcept {
#if defined(__SSE2__)
    return _mm_movemask_ps(reinterpret_cast<__m128>(m)) != 0;
#else
    return (m[0] | m[1] | m[2] | m[3]) != 0;
#endif
}
// Whether every lane of x has the bits of the same lane of y.
inline bool same_bits(f4 x, f4 y) noexcept {
    return !any(reinterpret_cast<i4>(x) != reinterpret_cast<i4>(y));
}

// Coefficients of one call, hoisted, one copy per lane.
struct Coefs {
    f4 G, a, G4, knee, inverse, cubic, k, flat;  // a = 1 - G, knee = 2/3 G4k, flat: below
    f4 third, two;
};

// One ladder step for every lane with inputs u; returns the outputs of stage Poles.
//
// The solver runs the fixed-point steps on every lane, and a lane past a knee then takes its
// shortcut instead: y = h -+ 2/3 G4k, and as y is then beyond +-1 the clipped feedback is that of
// q = +-1, the constant `flat` = (1 - 1 x 1 x 1 x 0.33333334) k (negated for -1). Once a
// fixed-point step returns its input bit for bit in every lane, the remaining steps would repeat
// it, so stopping there gives the same y. In the iteration y lies within [-1, 1], so the clip
// before the feedback leaves it as it is.
template <int Poles>
inline f4 step(const Coefs &c, f4 s[4], f4 &last, f4 &before, f4 u) noexcept {
    const f4 S = (((c.a * s[0] * c.G + c.a * s[1]) * c.G + c.a * s[2]) * c.G) + c.a * s[3];
    const f4 h = S + c.G4 * u;
    const f4 hp = h * c.inverse;
    f4 m = clamp1(c.two * last - before);
    f4 r = m * m * m * c.cubic + hp;
    m = clamp1(r);
    const f4 r2 = m * m * m * c.cubic + hp;
    if (!same_bits(r2, r)) {
        m = clamp1(r2);
        const f4 r3 = m * m * m * c.cubic + hp;
        r = r3;
        if (!same_bits(r3, r2)) {
            m = clamp1(r3);
            r = m * m * m * c.cubic + hp;
        }
    }
    f4 y = clamp1(r);
    f4 feedback = (y - y * y * y * c.third) * c.k;
    const f4 high = h - c.knee, low = h + c.knee;
    const i4 up = high >= splat(1.0f), down = low <= splat(-1.0f);
    if (any(up | down)) {
        y = up ? high : (down ? low : y);
        feedback = up ? c.flat : (down ? -c.flat : feedback);
    }
    before = last;
    last = y;
    const f4 w0 = u - feedback;
    const f4 w1 = w0 * c.G + c.a * s[0];
    s[0] = c.two * w1 - s[0];
    const f4 w2 = w1 * c.G + c.a * s[1];
    s[1] = c.two * w2 - s[1];
    const f4 w3 = w2 * c.G + c.a * s[2];
    s[2] = c.two * w3 - s[2];
    const f4 w4 = w3 * c.G + c.a * s[3];
    s[3] = c.two * w4 - s[3];
    if constexpr (Poles == 1) return w1;
    if constexpr (Poles == 2) return w2;
    if constexpr (Poles == 3) return w3;
    return w4;
}

// A frame's samples / 32768 in lanes 0 .. Channels - 1, zeros elsewhere.
template <int Channels>
inline f4 load_frame(const uint8_t *in, size_t f) noexcept {
#if defined(__SSE2__)
    const __m128i raw = Channels == 1 ? _mm_cvtsi32_si128(load<uint16_t>(in + 2 * f))
                                      : _mm_cvtsi32_si128(load<int32_t>(in + 4 * f));
    const __m128i wide = _mm_srai_epi32(_mm_unpacklo_epi16(raw, raw), 16);
    return reinterpret_cast<f4>(_mm_cvtepi32_ps(wide)) * splat(3.0517578125e-05f);
#else
    f4 x = {};
    for (int ch = 0; ch < Channels; ++ch)
        x[ch] = static_cast<float>(load_s16(in, Channels * f + ch)) * 3.0517578125e-05f;
    return x;
#endif
}

// Rounds each lane half away from zero (v + 0.5 or v - 0.5, truncated) and saturates to 16 bits.
// The lanes are finite (every option is clamped, G lies in (0, 1), the states stay bounded); were
// one NaN, both forms would still give a defined sample (max() takes the bound, saturate_cast 0).
template <int Channels>
inline void store_frame(uint8_t *out, size_t f, f4 v) noexcept {
#if defined(__SSE2__)
    // v + 0.5 with the sign of v: the same sum as v - 0.5 for v < 0, and -0 rounds to 0 either way.
    const __m128 x = reinterpret_cast<__m128>(v);
    const __m128 half = _mm_or_ps(_mm_set1_ps(0.5f), _mm_and_ps(x, _mm_set1_ps(-0.0f)));
    const __m128 r = _mm_min_ps(_mm_max_ps(_mm_add_ps(x, half), _mm_set1_ps(-32768.0f)),
                                _mm_set1_ps(32767.0f));
    const __m128i q = _mm_packs_epi32(_mm_cvttps_epi32(r), _mm_setzero_si128());
    if constexpr (Channels == 1)
        store<uint16_t>(out + 2 * f, static_cast<uint16_t>(_mm_cvtsi128_si32(q)));
    else
        store<int32_t>(out + 4 * f, _mm_cvtsi128_si32(q));
#else
    for (int ch = 0; ch < Channels; ++ch) {
        const float r = v[ch] < 0.0f ? v[ch] - 0.5f : v[ch] + 0.5f;
        store_s16(out, Channels * f + ch, clamp_s16(saturate_cast<int32_t>(r)));
    }
#endif
}

template <int Channels, int Poles, bool Twice>
void run(Ladder &l, const uint8_t *in, uint8_t *out, size_t frames) noexcept {
    const float one = 1.0f;
    const Coefs c{splat(l.G), splat(1.0f - l.G), splat(l.G4), splat(0.6666667f * l.G4k),
                  splat(l.inverse), splat(l.cubic), splat(l.resonance),
                  splat((one - one * one * one * 0.33333334f) * l.resonance), splat(0.33333334f),
                  splat(2.0f)};
    const f4 drive = splat(l.drive), gain = splat(l.gain), mix = splat(l.mix), half = splat(0.5f);
    f4 s[4] = {}, last = {}, before = {}, previous = {};
    for (int ch = 0; ch < Channels; ++ch) {
        for (int i = 0; i < 4; ++i) s[i][ch] = l.s[ch][i];
        last[ch] = l.last[ch];
        before[ch] = l.before[ch];
        previous[ch] = l.previous[ch];
    }
    for (size_t f = 0; f < frames; ++f) {
        const f4 x = load_frame<Channels>(in, f);
        f4 y;
        if constexpr (Twice) {
            const f4 y1 = step<Poles>(c, s, last, before, (x + previous) * half * drive);
            const f4 y2 = step<Poles>(c, s, last, before, x * drive);
            y = (y1 + y2) * half;
        } else {
            y = step<Poles>(c, s, last, before, x * drive);
        }
        previous = x;
        const f4 v = ((y * gain - x) * mix + x) * splat(32768.0f);
        store_frame<Channels>(out, f, v);
    }
    for (int ch = 0; ch < Channels; ++ch) {
        for (int i = 0; i < 4; ++i) l.s[ch][i] = s[i][ch];
        l.last[ch] = last[ch];
        l.before[ch] = before[ch];
        l.previous[ch] = previous[ch];
    }
}

template <int Channels, bool Twice>
void run_poles(Ladder &l, const uint8_t *in, uint8_t *out, size_t frames) noexcept {
    switch (l.poles) {
    case 1: run<Channels, 1, Twice>(l, in, out, frames); break;
    case 2: run<Channels, 2, Twice>(l, in, out, frames); break;
    case 3: run<Channels, 3, Twice>(l, in, out, frames); break;
    default: run<Channels, 4, Twice>(l, in, out, frames); break;
    }
}

void process(Ladder &l, const uint8_t *in, uint8_t *out, size_t frames) noexcept {
    const bool twice = l.oversampling == 2;
    if (l.channels == 1)
        twice ? run_poles<1, true>(l, in, out, frames) : run_poles<1, false>(l, in, out, frames);
    else
        twice ? run_poles<2, true>(l, in, out, frames) : run_poles<2, false>(l, in, out, frames);
}

}  // namespace kernel

// ---------------------------------------------------------------------------------------------
// Binding

namespace {

struct LadderObject {
    PyObject_HEAD
    ObjectMutex lock;
    kernel::Ladder state;
    uint8_t ready;
};

int init(LadderObject *self, PyObject *args, PyObject *kwds) {
    static const char *keywords[] = {"sample_rate", "channel_count", nullptr};
    unsigned int sample_rate = 48000, channel_count = 2;
    if (!PyArg_ParseTupleAndKeywords(args, kwds, "|II:LadderState", const_cast<char **>(keywords),
                                     &sample_rate, &channel_count))
        return -1;
    if (sample_rate == 0) return value_error("sample_rate must be at least 1");
    if (channel_count != 1 && channel_count != 2) return value_error("channel_count must be 1 or 2");
    kernel::Ladder &l = self->state;
    l.sample_rate = sample_rate;
    l.channels = channel_count;
    l.cutoff = 1000.0f;
    l.resonance = 0.0f;
    l.drive = 1.0f;
    l.compensation = 0.0f;
    l.mix = 1.0f;
    l.poles = 4;
    l.oversampling = 2;
    kernel::update(l);
    kernel::restart(l);
    self->ready = 1;
    return 0;
}

constexpr int kLastOption = 6;

PyObject *configure(LadderObject *self, PyObject *args) {
    int option;
    double value;
    if (!PyArg_ParseTuple(args, "id:configure", &option, &value)) return nullptr;
    if (static_cast<unsigned>(option) > static_cast<unsigned>(kLastOption))
        return value_error("unknown ladder option");
    const float v = narrow_float(value);
    kernel::Ladder &l = self->state;
    switch (option) {
    case 0: l.cutoff = v; break;
    case 1: l.resonance = clamp_float(v, 0.0f, 4.2f, 0.0f); break;
    case 2: l.drive = clamp_float(v, 0.0f, 64.0f, 0.0f); break;
    case 3: {
        const int32_t n = saturate_cast<int32_t>(v + 0.5f);  // NaN gives 0
        l.poles = static_cast<uint8_t>(n <= 0 ? 1 : (n >= 5 ? 4 : n));
        break;
    }
    case 4: l.compensation = clamp_float(v, 0.0f, 1.0f, 0.0f); break;
    case 5: l.oversampling = v >= 1.5f ? 2 : 1; break;
    default: l.mix = clamp_float(v, 0.0f, 1.0f, 0.0f); break;
    }
    kernel::update(l);
    Py_RETURN_NONE;
}

PyObject *finish(LadderObject *self, PyObject *) {
    kernel::update(self->state);
    Py_RETURN_NONE;
}

PyObject *reset(LadderObject *self, PyObject *) {
    kernel::restart(self->state);
    Py_RETURN_NONE;
}

PyObject *process(LadderObject *self, PyObject *arg) {
    kernel::Ladder &l = self->state;
    FrameBlock b;
    PyObject *result = b.start(arg, l.channels);
    if (result == nullptr) return nullptr;
    without_gil(kernel_work(b.frames * l.channels * l.oversampling, 30),
                [&] { kernel::process(l, b.in(), b.out, b.frames); });
    return result;
}

PyMethodDef methods[] = {
    SL_READY("configure", configure, METH_VARARGS),
    SL_READY("finish", finish, METH_NOARGS),
    SL_READY("reset", reset, METH_NOARGS),
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

PyType_Spec ladder_state_spec = {
    "_sonolith.LadderState",
    sizeof(LadderObject),
    0,
    Py_TPFLAGS_HEAPTYPE,
    slots,
};

}  // namespace sonolith
