// ModalState: a bank of up to 64 two-pole resonators ("modes") ringing interleaved signed 16-bit
// PCM, mono or stereo. Each mode m has a frequency, a 60 dB decay time and a gain; finish() turns
// them, in double precision, into single-precision coefficients of
//
//     y = b0 x + s1;   s1 = s2 - a1 y;   s2 = -a2 y        (b0 / (1 + a1 z^-1 + a2 z^-2))
//
// with b0 = g sin w, a1 = -2 r cos w, a2 = r^2, w = 2 pi f / rate and r = e^-h for the per-sample
// decay exponent h = ln 1000 / (t rate); sin and cos come from dsp_sincos, and e^-h from a
// seventh-order Taylor polynomial after halving h down to 1/8 at most 24 times, squared back as
// often. Every channel has its own states (entry m in mono, 2m + ch in stereo), the coefficients
// are shared. A state pair that falls strictly inside +-1e-20 is set to exactly zero, so tails
// stop and never run on denormals. The output is q G sum + (1 - q) x, with sum the resonator
// outputs added in mode order, rounded half away from zero and saturated.
//
// A call runs only the span of modes that can contribute: those with a nonzero state, widened by
// those with a nonzero b0 when some input sample is nonzero. Every other mode would add +0 to the
// sum and keep its zero state, so the results are those of running every mode.
//
// The bank runs in passes of 32 frames: first the resonators, as vectors of 8 lanes over the
// (mode, channel) state entries, each lane doing exactly the scalar steps and keeping its outputs;
// then the sums, which must be added in mode order, eight output samples side by side, each its
// own chain of plain additions in mode order.
//
// Guards beyond the plain algorithm: NaN set_mode values and options take a defined value
// (frequency 0, decay 0.001 s, gain 0, mix 0, output gain 0) and infinities the nearest limit; a
// mode index is checked before the "I" conversion could wrap it into range; an object whose
// __init__ never succeeded (no channel count) never reaches the kernel; a failed allocation in
// __init__ leaves the previous tables and configuration in place.
#include <cmath>
#include <cstddef>

#include "engines/sincos.hpp"
#include "module/module.hpp"
#include "module/numeric.hpp"

namespace sonolith {

// ---------------------------------------------------------------------------------------------
// Kernel

namespace kernel {

// Vector kernels are built for AVX2 as well as the baseline and picked at load time; every
// version computes the same bits (no fused multiply-add: -ffp-contract=off).
#if defined(__x86_64__) && defined(__GNUC__) && !defined(__clang__) && defined(__linux__)
#define SL_VECTOR_CLONES __attribute__((target_clones("avx2", "default")))
#else
#define SL_VECTOR_CLONES
#endif

constexpr uint32_t kMaxModes = 64;
constexpr float kFlush = 1e-20f;

struct ModeSpec {
    float frequency, decay, gain;
};
struct ModeCoefficients {
    float b0, a1, a2;
};

// Coefficients of one mode at `rate`, in double precision, stored as single precision.
ModeCoefficients design_mode(const ModeSpec &mode, uint32_t rate) noexcept {
    if (!(mode.frequency > 0.0f)) return {0.0f, 0.0f, 0.0f};
    const double fs = static_cast<double>(rate);
    const SinCos w = dsp_sincos(static_cast<double>(mode.frequency) * 6.283185307179586 / fs);
    double h = 6.907755278982137 / (static_cast<double>(mode.decay) * fs);
    if (!(h > 0.0)) h = 0.0;
    int halvings = 0;
    while (h > 0.125 && halvings < 24) {
        h *= 0.5;
        ++halvings;
    }
    const double y = -h;
    double r = 1.0 + y * (1.0 + y * (0.5 + y * (0.16666666666666666 +
                                                y * (0.041666666666666664 +
                                                     y * (0.008333333333333333 +
                                                          y * (0.001388888888888889 +
                                                               y * 0.0001984126984126984))))));
    for (int i = 0; i < halvings; ++i) r = r * r;
    return {static_cast<float>(static_cast<double>(mode.gain) * w.sin),
            static_cast<float>(-2.0 * r * w.cos), static_cast<float>(r * r)};
}

// Rounds half away from zero and saturates to 16 bits (NaN gives 0).
inline int32_t round_s16(float v) noexcept {
    const float r = v >= 0.0f ? v + 0.5f : v - 0.5f;
    return clamp_s16(saturate_cast<int32_t>(r));
}

struct Bank {
    uint32_t sample_rate;
    uint32_t channels;
    uint32_t modes;
    float mix;
    float output_gain;
    const ModeCoefficients *coefficients;
    float *s1, *s2;  // modes x channels entries each
};

// The resonators run as 8-lane vectors over the state entries (lane e = entry e, so in stereo a
// vector holds four modes on both channels). Each lane does the scalar steps exactly:
//     y = b0 x + s1;  n1 = s2 - a1 y;  n2 = (-a2) y;  flush when |n1| and |n2| are below 1e-20.
typedef float v8sf __attribute__((vector_size(32)));
typedef int32_t v8si __attribute__((vector_size(32)));

constexpr size_t kLanes = 8;
constexpr size_t kMaxEntries = 2 * kMaxModes;
constexpr size_t kMaxGroups = kMaxEntries / kLanes;
constexpr size_t kBlock = 32;  // frames per pass: the resonator outputs of a pass stay in L1

// Vector loads and stores through memcpy (no aliasing questions); vectors pass by reference, as
// passing them by value would depend on whether AVX is enabled.
inline void load_v(v8sf &v, const float *p) noexcept { std::memcpy(&v, p, sizeof v); }
inline void store_v(float *p, const v8sf &v) noexcept { std::memcpy(p, &v, sizeof v); }

struct alignas(32) Lanes {
    float b0[kMaxEntries], a1[kMaxEntries], na2[kMaxEntries];
    float s1[kMaxEntries], s2[kMaxEntries];
    float y[kBlock][kMaxEntries];  // resonator outputs of one pass, frame by frame
};

// One pass of n <= kBlock frames through the groups g0 .. g1 - 1, storing every output y.
template <int C>
SL_VECTOR_CLONES void resonate(Lanes &l, size_t g0, size_t g1, const uint8_t *in,
                               size_t n) noexcept {
    const v8si magnitude = v8si{} + 0x7fffffff;
    const v8sf flush = v8sf{} + kFlush;
    for (size_t f = 0; f < n; ++f) {
        v8sf x;
        if constexpr (C == 1) {
            x = v8sf{} + static_cast<float>(load_s16(in, f));
        } else {
            const float xl = static_cast<float>(load_s16(in, 2 * f));
            const float xr = static_cast<float>(load_s16(in, 2 * f + 1));
            x = v8sf{xl, xr, xl, xr, xl, xr, xl, xr};
        }
        for (size_t g = g0; g < g1; ++g) {
            const size_t e = kLanes * g;
            v8sf b0, s1, s2, a1, na2;
            load_v(b0, l.b0 + e), load_v(s1, l.s1 + e), load_v(s2, l.s2 + e);
            load_v(a1, l.a1 + e), load_v(na2, l.na2 + e);
            const v8sf y = b0 * x + s1;
            const v8sf n1 = s2 - a1 * y;
            const v8sf n2 = na2 * y;
            const v8si keep = ~(((reinterpret_cast<const v8si &>(n1) & magnitude) <
                                 reinterpret_cast<const v8si &>(flush)) &
                                ((reinterpret_cast<const v8si &>(n2) & magnitude) <
                                 reinterpret_cast<const v8si &>(flush)));
            const v8si k1 = reinterpret_cast<const v8si &>(n1) & keep;
            const v8si k2 = reinterpret_cast<const v8si &>(n2) & keep;
            store_v(l.s1 + e, reinterpret_cast<const v8sf &>(k1));
            store_v(l.s2 + e, reinterpret_cast<const v8sf &>(k2));
            store_v(l.y[f] + e, y);
        }
    }
}

template <int C>
void run_bank(const Bank &b, uint32_t lo, uint32_t hi, const uint8_t *in, uint8_t *out,
              size_t frames) noexcept {
    const float qg = b.mix * b.output_gain, dry = 1.0f - b.mix;
    const size_t entries = size_t(C) * b.modes;
    Lanes l;
    std::memset(&l, 0, offsetof(Lanes, y));
    for (size_t m = 0; m < b.modes; ++m) {
        for (int ch = 0; ch < C; ++ch) {
            const ModeCoefficients &k = b.coefficients[m];
            l.b0[C * m + ch] = k.b0;
            l.a1[C * m + ch] = k.a1;
            l.na2[C * m + ch] = -k.a2;
        }
    }
    std::memcpy(l.s1, b.s1, entries * sizeof(float));
    std::memcpy(l.s2, b.s2, entries * sizeof(float));
    const size_t g0 = size_t(C) * lo / kLanes, g1 = (size_t(C) * hi + kLanes - 1) / kLanes;

    for (size_t start = 0; start < frames; start += kBlock) {
        const size_t n = frames - start < kBlock ? frames - start : kBlock;
        const uint8_t *block_in = in + 2 * C * start;
        resonate<C>(l, g0, g1, block_in, n);
        // The sums, in mode order, eight samples side by side; samples past the end of the pass
        // repeat its first one and are dropped.
        const size_t samples = n * C;
        for (size_t j0 = 0; j0 < samples; j0 += 8) {
            const float *row[8];
            for (size_t i = 0; i < 8; ++i) {
                const size_t j = j0 + i < samples ? j0 + i : j0;
                row[i] = l.y[j / C] + j % C;
            }
            float acc[8] = {0.0f, 0.0f, 0.0f, 0.0f, 0.0f, 0.0f, 0.0f, 0.0f};
            for (size_t m = lo; m < hi; ++m)
                for (size_t i = 0; i < 8; ++i) acc[i] = acc[i] + row[i][C * m];
            const size_t count = samples - j0 < 8 ? samples - j0 : 8;
            for (size_t i = 0; i < count; ++i) {
                const float x = static_cast<float>(load_s16(block_in, j0 + i));
                store_s16(out, C * start + j0 + i, round_s16(qg * acc[i] + dry * x));
            }
        }
    }
    std::memcpy(b.s1, l.s1, entries * sizeof(float));
    std::memcpy(b.s2, l.s2, entries * sizeof(float));
}

// Dry path only: what the bank gives when no mode can contribute.
void run_dry(const Bank &b, const uint8_t *in, uint8_t *out, size_t samples) noexcept {
    const float qg = b.mix * b.output_gain, dry = 1.0f - b.mix;
    for (size_t i = 0; i < samples; ++i) {
        const float x = static_cast<float>(load_s16(in, i));
        store_s16(out, i, round_s16(qg * 0.0f + dry * x));
    }
}

void process(const Bank &b, const uint8_t *in, uint8_t *out, size_t frames) noexcept {
    const size_t samples = frames * b.channels;
    // The span of modes with a nonzero state (NaN counts as nonzero) on any channel.
    uint32_t lo = b.modes, hi = 0;
    for (uint32_t m = 0; m < b.modes; ++m) {
        for (uint32_t ch = 0; ch < b.channels; ++ch) {
            const size_t e = size_t(b.channels) * m + ch;
            if (b.s1[e] != 0.0f || b.s2[e] != 0.0f) {
                if (m < lo) lo = m;
                hi = m + 1;
            }
        }
    }
    bool excited = false;
    for (size_t i = 0; i < samples && !excited; ++i) excited = load_s16(in, i) != 0;
    if (excited) {
        for (uint32_t m = 0; m < b.modes; ++m) {
            if (b.coefficients[m].b0 != 0.0f) {
                if (m < lo) lo = m;
                if (m + 1 > hi) hi = m + 1;
            }
        }
    }
    if (lo >= hi) {
        run_dry(b, in, out, samples);
    } else if (b.channels == 1) {
        run_bank<1>(b, lo, hi, in, out, frames);
    } else {
        run_bank<2>(b, lo, hi, in, out, frames);
    }
}

}  // namespace kernel

// ---------------------------------------------------------------------------------------------
// Binding

namespace {

struct ModalObject {
    PyObject_HEAD
    ObjectMutex lock;
    uint32_t sample_rate;
    uint32_t channels;
    uint32_t modes;
    float mix;
    float output_gain;
    OwnedArray<kernel::ModeSpec> mode_table;
    OwnedArray<kernel::ModeCoefficients> coefficients;
    uint8_t valid;
    OwnedArray<float> s1, s2;
    uint32_t state_count;
    uint8_t ready;
};

void free_arrays(ModalObject *self) noexcept {
    self->mode_table.reset();
    self->coefficients.reset();
    self->s1.reset();
    self->s2.reset();
    self->state_count = 0;
}

bool has_tables(const ModalObject *self) noexcept {
    return self->mode_table && self->coefficients && self->s1 && self->s2;
}

int init(ModalObject *self, PyObject *args, PyObject *kwds) {
    static const char *keywords[] = {"sample_rate", "channel_count", "modes", nullptr};
    unsigned int sample_rate = 48000, channel_count = 2, modes = 8;
    if (!PyArg_ParseTupleAndKeywords(args, kwds, "|III:ModalState", const_cast<char **>(keywords),
                                     &sample_rate, &channel_count, &modes))
        return -1;
    if (modes < 1 || modes > kernel::kMaxModes) return value_error("modes out of range");
    if (channel_count != 1 && channel_count != 2) return value_error("channel_count must be 1 or 2");
    const size_t entries = size_t(modes) * channel_count;
    NewArray<kernel::ModeSpec> mode_table;
    NewArray<kernel::ModeCoefficients> coefficients;
    NewArray<float> s1, s2;
    if (!mode_table.allocate(modes) || !coefficients.allocate(modes) || !s1.allocate(entries) ||
        !s2.allocate(entries))
        return -1;
    for (size_t m = 0; m < modes; ++m) mode_table[m] = {100.0f, 0.001f, 0.0f};
    mode_table.commit(self->mode_table);
    coefficients.commit(self->coefficients);
    s1.commit(self->s1);
    s2.commit(self->s2);
    self->sample_rate = sample_rate == 0 ? 1 : sample_rate;
    self->channels = channel_count;
    self->modes = modes;
    self->mix = 1.0f;
    self->output_gain = 1.0f;
    self->valid = 0;
    self->state_count = static_cast<uint32_t>(entries);
    self->ready = 1;
    return 0;
}

PyObject *configure(ModalObject *self, PyObject *args) {
    int option;
    double value;
    if (!PyArg_ParseTuple(args, "id:configure", &option, &value)) return nullptr;
    if (static_cast<unsigned>(option) > 1u) return value_error("unknown modal option");
    const float v = narrow_float(value);
    if (option == 0)
        self->mix = clamp_float(v, 0.0f, 1.0f, 0.0f);
    else
        self->output_gain = clamp_float(v, 0.0f, 16.0f, 0.0f);
    Py_RETURN_NONE;
}

PyObject *set_mode(ModalObject *self, PyObject *args) {
    unsigned int index;
    double frequency, decay, gain;
    if (!PyArg_ParseTuple(args, "Iddd:set_mode", &index, &frequency, &decay, &gain)) return nullptr;
    // "I" keeps the index modulo 2^32: check the value the caller gave, so that -1 or 2^32 + 3
    // cannot wrap into a valid index.
    PyObject *given = PyNumber_Index(PyTuple_GET_ITEM(args, 0));
    if (given == nullptr) return nullptr;
    int overflow = 0;
    const long long exact = PyLong_AsLongLongAndOverflow(given, &overflow);
    Py_DECREF(given);
    if (exact == -1 && PyErr_Occurred()) return nullptr;
    if (overflow != 0 || exact < 0 || exact >= static_cast<long long>(self->modes))
        return fail(PyExc_IndexError, "mode index out of range");
    (void)index;
    if (!has_tables(self)) Py_RETURN_NONE;
    const float nyquist = static_cast<float>(self->sample_rate) * 0.5f * 0.999f;
    kernel::ModeSpec &mode = self->mode_table[static_cast<size_t>(exact)];
    mode.frequency = clamp_float(narrow_float(frequency), 0.0f, nyquist, 0.0f);
    mode.decay = clamp_float(narrow_float(decay), 0.001f, 30.0f, 0.001f);
    mode.gain = clamp_float(narrow_float(gain), -16.0f, 16.0f, 0.0f);
    self->valid = 0;
    Py_RETURN_NONE;
}

PyObject *finish(ModalObject *self, PyObject *) {
    if (self->valid || !has_tables(self)) Py_RETURN_NONE;
    for (uint32_t m = 0; m < self->modes; ++m)
        self->coefficients[m] = kernel::design_mode(self->mode_table[m], self->sample_rate);
    self->valid = 1;
    Py_RETURN_NONE;
}

PyObject *reset(ModalObject *self, PyObject *) {
    if (self->s1) std::memset(self->s1.data, 0, self->s1.count * sizeof(float));
    if (self->s2) std::memset(self->s2.data, 0, self->s2.count * sizeof(float));
    Py_RETURN_NONE;
}

// True when every state entry is exactly zero; NaN is not.
PyObject *silent(ModalObject *self, PyObject *) {
    const OwnedArray<float> *arrays[] = {&self->s1, &self->s2};
    for (const OwnedArray<float> *a : arrays) {
        if (!*a) continue;
        for (size_t i = 0; i < a->count; ++i)
            if (a->data[i] != 0.0f) Py_RETURN_FALSE;
    }
    Py_RETURN_TRUE;
}

PyObject *process(ModalObject *self, PyObject *arg) {
    FrameBlock b;
    PyObject *result = b.start(arg, self->channels);
    if (result == nullptr) return nullptr;
    if (!has_tables(self) || self->state_count < size_t(self->modes) * self->channels ||
        self->s1.count < self->state_count || self->s2.count < self->state_count) {
        if (b.frames != 0) std::memcpy(b.out, b.in(), b.input.size());
        return result;
    }
    const kernel::Bank bank{self->sample_rate, self->channels,      self->modes,
                            self->mix,         self->output_gain,   self->coefficients.data,
                            self->s1.data,     self->s2.data};
    without_gil(kernel_work(b.frames * self->channels, 1 + 2 * size_t(self->modes)),
                [&] { kernel::process(bank, b.in(), b.out, b.frames); });
    return result;
}

PyMethodDef methods[] = {
    SL_READY("configure", configure, METH_VARARGS),
    SL_READY("set_mode", set_mode, METH_VARARGS),
    SL_READY("finish", finish, METH_NOARGS),
    SL_READY("reset", reset, METH_NOARGS),
    SL_LOCKED("silent", silent, METH_NOARGS),
    SL_READY("process", process, METH_O),
    {nullptr, nullptr, 0, nullptr},
};

PyType_Slot slots[] = {
    {Py_tp_new, reinterpret_cast<void *>(PyType_GenericNew)},
    {Py_tp_init, reinterpret_cast<void *>(locked<init>)},
    {Py_tp_dealloc, reinterpret_cast<void *>(dealloc_owning<ModalObject, free_arrays>)},
    {Py_tp_methods, methods},
    {0, nullptr},
};

}  // namespace

PyType_Spec modal_state_spec = {
    "_sonolith.ModalState",
    sizeof(ModalObject),
    0,
    Py_TPFLAGS_HEAPTYPE,
    slots,
};

}  // namespace sonolith
