// SubOctaveState: an octave divider for interleaved signed 16-bit PCM, mono or stereo. A Schmitt
// trigger (level L, Q15) on the mono sum m = (left + right) >> 1 clocks a chain of two flip-flops
// on its rising edges, dividing them by two and by four; a hold-off after each toggle keeps noise
// and harmonics near the trigger level from re-triggering. While the selected flip-flop (one or
// two octaves down) is 0, each sample s becomes ((32768 - 2 depth) s) >> 15, saturated: depth
// 32768 flips the sign (a ring modulation by the sub-octave square wave), 16384 silences.
// Everything is integer and fixed point; only the hold-off length and the options are derived in
// single precision.
//
// Guards beyond the plain algorithm: a NaN option value takes the lower bound of its range (depth,
// trigger level and hold-off time 0), so no NaN reaches a conversion; the hold-off length
// converts through a saturating cast; an object whose __init__ never ran (no channel count or
// sample rate) never reaches the kernel.
#include "module/module.hpp"
#include "module/numeric.hpp"

namespace sonolith {

// ---------------------------------------------------------------------------------------------
// Kernel

namespace kernel {

struct SubOctave {
    uint32_t sample_rate;
    uint32_t channels;
    uint32_t octaves;       // 1 or 2: which flip-flop drives the output
    int32_t depth;          // Q15, 0..32768
    int32_t trigger_level;  // Q15
    uint32_t holdoff;       // frames
    float holdoff_ms;
    uint8_t trigger_high;
    uint8_t first;   // divides the rising edges by two
    uint8_t second;  // divides them by four
    uint32_t holdoff_counter;
};

// Hold-off frames for t ms at the object's rate: rate t / 1000 rounded, at most a tenth of a second.
uint32_t holdoff_frames(uint32_t sample_rate, float t) noexcept {
    const float rate = static_cast<float>(sample_rate);
    const float d = rate * t / 1000.0f;
    if (!(d > 0.0f)) return 0;
    const float tenth = rate / 10.0f;
    return saturate_cast<uint32_t>((tenth < d ? tenth : d) + 0.5f);
}

inline void restart(SubOctave &s) noexcept {
    s.trigger_high = 0;
    s.first = 1;
    s.second = 1;
    s.holdoff_counter = 0;
}

template <int Channels>
void run(SubOctave &s, const uint8_t *in, uint8_t *out, size_t frames) noexcept {
    const int32_t level = s.trigger_level;
    const int32_t gain = 32768 - 2 * s.depth;  // applied in the off half-periods
    const bool by_four = s.octaves == 2;
    uint32_t counter = s.holdoff_counter;
    uint8_t high = s.trigger_high, first = s.first, second = s.second;
    for (size_t f = 0; f < frames; ++f) {
        int32_t x[Channels];
        for (int c = 0; c < Channels; ++c) x[c] = load_s16(in, Channels * f + c);
        const int32_t m = Channels == 1 ? x[0] : (x[0] + x[Channels - 1]) >> 1;
        if (counter > 0) --counter;
        if (high) {
            if (m < -level) high = 0;
        } else if (m > level) {
            high = 1;
            if (counter == 0) {
                counter = s.holdoff;
                first ^= 1;
                if (first) second ^= 1;
            }
        }
        const bool pass = by_four ? second : first;
        for (int c = 0; c < Channels; ++c)
            store_s16(out, Channels * f + c, pass ? x[c] : clamp_s16((gain * x[c]) >> 15));
    }
    s.holdoff_counter = counter;
    s.trigger_high = high;
    s.first = first;
    s.second = second;
}

void process(SubOctave &s, const uint8_t *in, uint8_t *out, size_t frames) noexcept {
    if (s.channels == 1)
        run<1>(s, in, out, frames);
    else
        run<2>(s, in, out, frames);
}

}  // namespace kernel

// ---------------------------------------------------------------------------------------------
// Binding

namespace {

struct SubOctaveObject {
    PyObject_HEAD
    ObjectMutex lock;
    kernel::SubOctave state;
    uint8_t ready;
};

int init(SubOctaveObject *self, PyObject *args, PyObject *kwds) {
    static const char *keywords[] = {"sample_rate", "channel_count", nullptr};
    unsigned int sample_rate = 48000, channel_count = 2;
    if (!PyArg_ParseTupleAndKeywords(args, kwds, "|II:SubOctaveState", const_cast<char **>(keywords),
                                     &sample_rate, &channel_count))
        return -1;
    if (sample_rate == 0) return value_error("sample_rate must be at least 1");
    if (channel_count != 1 && channel_count != 2) return value_error("channel_count must be 1 or 2");
    kernel::SubOctave &s = self->state;
    s.sample_rate = sample_rate;
    s.channels = channel_count;
    s.octaves = 1;
    s.depth = 32768;
    s.trigger_level = 328;
    s.holdoff_ms = 1.0f;
    s.holdoff = kernel::holdoff_frames(sample_rate, s.holdoff_ms);
    kernel::restart(s);
    self->ready = 1;
    return 0;
}

// A fraction of full scale in Q15: 0 at or below 0 (and for NaN), `top` at or above 1.
int32_t q15_fraction(float v, int32_t top) noexcept {
    if (!(v > 0.0f)) return 0;
    if (v >= 1.0f) return top;
    return static_cast<int32_t>(v * 32768.0f + 0.5f);
}

constexpr int kLastOption = 3;

PyObject *configure(SubOctaveObject *self, PyObject *args) {
    int option;
    double value;
    if (!PyArg_ParseTuple(args, "id:configure", &option, &value)) return nullptr;
    if (static_cast<unsigned>(option) > static_cast<unsigned>(kLastOption))
        return value_error("unknown sub-octave option");
    const float v = narrow_float(value);
    kernel::SubOctave &s = self->state;
    switch (option) {
    case 0: s.octaves = v >= 2.0f ? 2 : 1; break;
    case 1: s.depth = q15_fraction(v, 32768); break;
    case 2: s.trigger_level = q15_fraction(v, 32767); break;
    default:
        s.holdoff_ms = v > 0.0f ? v : 0.0f;
        s.holdoff = kernel::holdoff_frames(s.sample_rate, s.holdoff_ms);
        break;
    }
    Py_RETURN_NONE;
}

PyObject *finish(SubOctaveObject *self, PyObject *) {
    kernel::SubOctave &s = self->state;
    s.holdoff = kernel::holdoff_frames(s.sample_rate, s.holdoff_ms);
    Py_RETURN_NONE;
}

PyObject *reset(SubOctaveObject *self, PyObject *) {
    kernel::restart(self->state);
    Py_RETURN_NONE;
}

PyObject *process(SubOctaveObject *self, PyObject *arg) {
    kernel::SubOctave &s = self->state;
    FrameBlock b;
    PyObject *result = b.start(arg, s.channels);
    if (result == nullptr) return nullptr;
    without_gil(kernel_work(b.frames * s.channels, 2), [&] { kernel::process(s, b.in(), b.out, b.frames); });
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

PyType_Spec sub_octave_state_spec = {
    "_sonolith.SubOctaveState",
    sizeof(SubOctaveObject),
    0,
    Py_TPFLAGS_HEAPTYPE,
    slots,
};

}  // namespace sonolith
