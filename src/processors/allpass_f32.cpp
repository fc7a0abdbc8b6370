// AllPassF32State: a cascade of 1 to 16 identical first-order all-pass stages in single precision
// for interleaved signed 16-bit PCM, mono or stereo, with the cascade output fed back to its input
// and a dry/wet mix: the building block of a phaser or a dispersion effect.
//
// Each stage with coefficient h and state s maps u to y = h u + s and sets s = u - h y, the
// all-pass (h + z^-1) / (1 + h z^-1). All stages share h = (t - 1) / (t + 1), t = tan(pi f / rate),
// committed by finish or coefficient; within each process call h moves linearly, frame by frame,
// from its value at the end of the previous call to the committed one, so changes do not click.
//
// Guards beyond the plain algorithm: the commitment clamps the frequency to sample rate x 0.4999
// (the initial 1000 Hz lies above Nyquist below 2000 Hz), so the tangent stays finite and positive;
// a NaN option takes the value it has after __init__; the output conversion maps NaN to 0; an
// object whose __init__ never ran never reaches the kernel.
#include <cmath>

#include "engines/sincos.hpp"
#include "module/module.hpp"
#include "module/numeric.hpp"

namespace sonolith {

// ---------------------------------------------------------------------------------------------
// Kernel

namespace kernel {

constexpr uint32_t kMaxStages = 16;
constexpr float kDefaultFrequency = 1000.0f;

struct AllPassF32 {
    uint32_t sample_rate;
    uint32_t channels;
    uint32_t stages;
    float frequency_hz;
    float feedback;
    float mix;
    float coefficient;
    float designed_frequency;
    uint32_t designed_rate;
    uint8_t designed;
    float feedback_state[2];
    float current;  // coefficient at the end of the last process call
    uint8_t started;
};

inline float frequency_limit(uint32_t sample_rate) noexcept {
    return static_cast<float>(static_cast<double>(sample_rate) * 0.4999);
}

void commit(AllPassF32 &a) noexcept {
    if (a.designed && a.sample_rate == a.designed_rate && a.frequency_hz == a.designed_frequency)
        return;
    const float limit = frequency_limit(a.sample_rate);
    const float frequency = a.frequency_hz > limit ? limit : a.frequency_hz;
    const double theta = static_cast<double>(frequency) * 3.141592653589793 / a.sample_rate;
    const SinCos sc = dsp_sincos(theta);
    const double t = sc.cos == 0.0 ? 1e9 : sc.sin / sc.cos;
    a.coefficient = clamp_float(narrow_float((t - 1.0) / (t + 1.0)), -0.9999f, 0.9999f, 0.0f);
    a.designed_frequency = a.frequency_hz;
    a.designed_rate = a.sample_rate;
    a.designed = 1;
}

// A stored state strictly within +-1e-20 becomes 0 (no denormal tails); one compare of the
// magnitude, almost never true, where two compares of the signed value would branch on its sign.
inline float flush(float v) noexcept { return std::fabs(v) < 1e-20f ? 0.0f : v; }

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

// `states` holds channel 0's S stage states, then channel 1's.
template <int Channels>
void run(AllPassF32 &a, float *states, const uint8_t *in, uint8_t *out, size_t frames) noexcept {
    const uint32_t S = a.stages;
    const float fb = a.feedback, mix = a.mix, dry = 1.0f - mix;
    float h = a.current;
    const float step = (a.coefficient - h) / static_cast<float>(frames);
    float r[Channels];
    for (int ch = 0; ch < Channels; ++ch) r[ch] = a.feedback_state[ch];
    for (size_t i = 0; i < frames; ++i) {
        float x[Channels], u[Channels];
        for (int ch = 0; ch < Channels; ++ch) {
            x[ch] = load_s16(in, Channels * i + ch);
            u[ch] = fb * r[ch] + x[ch];
        }
        for (uint32_t k = 0; k < S; ++k) {
            for (int ch = 0; ch < Channels; ++ch) {
                float &s = states[ch * S + k];
                const float y = h * u[ch] + s;
                s = flush(u[ch] - h * y);
                u[ch] = y;
            }
        }
        for (int ch = 0; ch < Channels; ++ch) {
            r[ch] = flush(u[ch]);
            store_s16(out, Channels * i + ch, round_s16(x[ch] * dry + u[ch] * mix));
        }
        h = h + step;
    }
    for (int ch = 0; ch < Channels; ++ch) a.feedback_state[ch] = r[ch];
}

void process(AllPassF32 &a, float *states, const uint8_t *in, uint8_t *out, size_t frames) noexcept {
    if (states == nullptr || frames == 0) {
        if (frames != 0) std::memcpy(out, in, frames * 2 * a.channels);
        return;
    }
    if (!a.started) {
        a.current = a.coefficient;
        a.started = 1;
    }
    if (a.channels == 1)
        run<1>(a, states, in, out, frames);
    else
        run<2>(a, states, in, out, frames);
    a.current = a.coefficient;
}

}  // namespace kernel

// ---------------------------------------------------------------------------------------------
// Binding

namespace {

struct AllPassF32Object {
    PyObject_HEAD
    ObjectMutex lock;
    kernel::AllPassF32 state;
    OwnedArray<float> stage_states;  // channel count x stages
    uint32_t state_count;
    uint8_t ready;
};

int init(AllPassF32Object *self, PyObject *args, PyObject *kwds) {
    static const char *keywords[] = {"sample_rate", "channel_count", "stages", nullptr};
    unsigned int sample_rate = 48000, channel_count = 2, stages = 4;
    if (!PyArg_ParseTupleAndKeywords(args, kwds, "|III:AllPassF32State",
                                     const_cast<char **>(keywords), &sample_rate, &channel_count,
                                     &stages))
        return -1;
    if (sample_rate == 0) return value_error("sample_rate must be at least 1");
    if (channel_count != 1 && channel_count != 2) return value_error("channel_count must be 1 or 2");
    if (stages < 1 || stages > kernel::kMaxStages)
        return value_error("stages must be between 1 and SONOLITH_FILTER_F32_MAX_STAGES");
    NewArray<float> states;
    if (!states.allocate(size_t(channel_count) * stages)) return -1;
    states.commit(self->stage_states);
    self->state_count = channel_count * stages;
    kernel::AllPassF32 &s = self->state;
    s = {};
    s.sample_rate = sample_rate;
    s.channels = channel_count;
    s.stages = stages;
    s.frequency_hz = kernel::kDefaultFrequency;
    s.mix = 1.0f;
    self->ready = 1;
    return 0;
}

// The options' clamps; a NaN takes the value the field has after __init__.
PyObject *configure(AllPassF32Object *self, PyObject *args) {
    int option;
    double value;
    if (!PyArg_ParseTuple(args, "id:configure", &option, &value)) return nullptr;
    if (static_cast<unsigned>(option) > 2u) return value_error("unknown all-pass option");
    const float v = narrow_float(value);
    kernel::AllPassF32 &s = self->state;
    switch (option) {
    case 0: {
        const float limit = kernel::frequency_limit(s.sample_rate);
        s.frequency_hz = !(v == v) ? kernel::kDefaultFrequency : v < 0.0f ? 0.0f : (v < limit ? v : limit);
        break;
    }
    case 1: s.feedback = clamp_float(v, -0.99f, 0.99f, 0.0f); break;
    default: s.mix = clamp_float(v, 0.0f, 1.0f, 1.0f); break;
    }
    Py_RETURN_NONE;
}

PyObject *finish(AllPassF32Object *self, PyObject *) {
    kernel::commit(self->state);
    Py_RETURN_NONE;
}

PyObject *coefficient(AllPassF32Object *self, PyObject *) {
    kernel::commit(self->state);
    return PyFloat_FromDouble(self->state.coefficient);
}

PyObject *reset(AllPassF32Object *self, PyObject *) {
    kernel::AllPassF32 &s = self->state;
    s.current = 0.0f;
    s.started = 0;
    s.feedback_state[0] = s.feedback_state[1] = 0.0f;
    if (self->stage_states) std::memset(self->stage_states.data, 0, self->stage_states.count * sizeof(float));
    Py_RETURN_NONE;
}

PyObject *process(AllPassF32Object *self, PyObject *arg) {
    kernel::AllPassF32 &s = self->state;
    FrameBlock b;
    PyObject *result = b.start(arg, s.channels);
    if (result == nullptr) return nullptr;
    without_gil(kernel_work(b.frames * s.channels, 2 + 2 * size_t(s.stages)),
                [&] { kernel::process(s, self->stage_states.data, b.in(), b.out, b.frames); });
    return result;
}

PyMethodDef methods[] = {
    SL_READY("configure", configure, METH_VARARGS),
    SL_READY("finish", finish, METH_NOARGS),
    SL_READY("reset", reset, METH_NOARGS),
    SL_READY("coefficient", coefficient, METH_NOARGS),
    SL_READY("process", process, METH_O),
    {nullptr, nullptr, 0, nullptr},
};

void free_arrays(AllPassF32Object *self) noexcept { self->stage_states.reset(); }

PyType_Slot slots[] = {
    {Py_tp_new, reinterpret_cast<void *>(PyType_GenericNew)},
    {Py_tp_init, reinterpret_cast<void *>(locked<init>)},
    {Py_tp_dealloc, reinterpret_cast<void *>(dealloc_owning<AllPassF32Object, free_arrays>)},
    {Py_tp_methods, methods},
    {0, nullptr},
};

}  // namespace

PyType_Spec allpass_f32_state_spec = {
    "_sonolith.AllPassF32State",
    sizeof(AllPassF32Object),
    0,
    Py_TPFLAGS_HEAPTYPE,
    slots,
};

}  // namespace sonolith
