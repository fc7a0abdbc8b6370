// EnvelopeState: a fixed-point attack-decay-sustain-release envelope (full scale 32767) that moves
// once per tick of 256 samples by a per-tick step derived from the times and levels of its
// definition. The caller reports elapsed samples with step(); there is no audio path.
#include <cmath>

#include "module/module.hpp"
#include "module/numeric.hpp"

namespace sonolith {

// ---------------------------------------------------------------------------------------------
// Kernel

namespace kernel {

enum EnvelopeStage : int32_t { kAttack = 0, kDecay = 1, kSustain = 2, kRelease = 3 };

inline constexpr uint32_t kTickSamples = 256;

struct EnvelopeDefinition {
    int16_t attack_step;
    int16_t decay_step;    // negative for a falling decay
    int16_t release_step;  // negative
    int16_t attack_level;
    int16_t sustain_level;
};

struct Envelope {
    EnvelopeDefinition def;
    int16_t level;
    uint16_t tick_counter;  // samples accumulated towards the next tick
    int32_t state;
};

// A level fraction scaled to full scale: truncated towards zero, low 16 bits kept. Values whose
// truncation leaves the 32-bit range (or NaN) saturate first, so the conversion is always defined.
inline int16_t level_bits(double scaled) noexcept {
    return static_cast<int16_t>(saturate_cast<int32_t>(scaled));
}

// Per-tick step covering a level distance d in t seconds: |d * 256| / round(rate * t), between 1
// and 32767 with the sign of d; a zero-sample time jumps by the full 32767 at once.
inline int16_t step_size(uint32_t rate, double t, int16_t d) noexcept {
    int32_t n = saturate_cast<int32_t>(std::round(static_cast<double>(rate) * t));
    if (n == 0) return 32767;
    int32_t span = int32_t(d) * 256;
    int32_t magnitude = (span < 0 ? -span : span) / n;
    if (magnitude < 1) magnitude = 1;
    if (magnitude > 32767) magnitude = 32767;
    return static_cast<int16_t>(d < 0 ? -magnitude : magnitude);
}

EnvelopeDefinition define(uint32_t rate, bool enabled, double attack_time, double decay_time,
                          double release_time, double attack_level, double sustain_level) noexcept {
    if (!enabled) return {32767, -32767, -32767, 32767, 32767};
    EnvelopeDefinition def;
    int16_t a = level_bits(attack_level * 32767.0);
    int16_t s = level_bits(sustain_level * 32767.0 * attack_level);
    def.attack_level = a;
    def.sustain_level = s;
    def.attack_step = step_size(rate, attack_time, a);
    def.decay_step = static_cast<int16_t>(-step_size(rate, decay_time, static_cast<int16_t>(a - s)));
    def.release_step = static_cast<int16_t>(-step_size(rate, release_time, s != 0 ? s : a));
    return def;
}

// Runs every whole tick in the counter. Sums are 32-bit from the sign-extended 16-bit values; the
// target levels compare as unsigned 16-bit numbers; the level keeps the low 16 bits.
void run_ticks(Envelope &env) noexcept {
    const int32_t a = static_cast<uint16_t>(env.def.attack_level);
    const int32_t s = static_cast<uint16_t>(env.def.sustain_level);
    while (env.tick_counter >= kTickSamples) {
        env.tick_counter = static_cast<uint16_t>(env.tick_counter - kTickSamples);
        int32_t t;
        switch (env.state) {
        case kAttack:
            t = int32_t(env.level) + env.def.attack_step;
            if (t < a) {
                env.level = static_cast<int16_t>(t);
            } else {
                env.level = env.def.attack_level;
                env.state = kDecay;
            }
            break;
        case kDecay:
            t = int32_t(env.level) + env.def.decay_step;
            if (t > s) {
                env.level = static_cast<int16_t>(t);
            } else {
                env.level = env.def.sustain_level;
                env.state = kSustain;
            }
            break;
        case kRelease:
            t = int32_t(env.level) + env.def.release_step;
            env.level = static_cast<int16_t>(t < 0 ? 0 : t);
            break;
        default:  // sustain (or any other state) holds the level
            break;
        }
    }
}

void advance(Envelope &env, uint16_t samples) noexcept {
    env.tick_counter = static_cast<uint16_t>(env.tick_counter + samples);
    run_ticks(env);
}

}  // namespace kernel

// ---------------------------------------------------------------------------------------------
// Binding

namespace {

struct EnvelopeObject {
    PyObject_HEAD
    ObjectMutex lock;
    kernel::Envelope env;
    uint8_t ready;
};

// Parses the definition arguments shared by __init__ and set_definition.
bool parse_definition(PyObject *args, PyObject *kwds, const char *format,
                      kernel::EnvelopeDefinition *def) noexcept {
    static const char *keywords[] = {"sample_rate",  "enabled",       "attack_time", "decay_time",
                                     "release_time", "attack_level", "sustain_level", nullptr};
    unsigned int rate;
    int enabled;
    double attack_time = 0.0, decay_time = 0.0, release_time = 0.0;
    double attack_level = 1.0, sustain_level = 1.0;
    if (!PyArg_ParseTupleAndKeywords(args, kwds, format, const_cast<char **>(keywords), &rate,
                                     &enabled, &attack_time, &decay_time, &release_time,
                                     &attack_level, &sustain_level))
        return false;
    *def = kernel::define(rate, enabled != 0, attack_time, decay_time, release_time, attack_level,
                          sustain_level);
    return true;
}

int init(EnvelopeObject *self, PyObject *args, PyObject *kwds) {
    kernel::EnvelopeDefinition def;
    if (!parse_definition(args, kwds, "Ip|ddddd:EnvelopeState", &def)) return -1;
    self->env = {def, 0, 0, kernel::kAttack};
    kernel::advance(self->env, kernel::kTickSamples);  // a new envelope has taken its first step
    self->ready = 1;
    return 0;
}

PyObject *set_definition(EnvelopeObject *self, PyObject *args, PyObject *kwds) {
    kernel::EnvelopeDefinition def;
    if (!parse_definition(args, kwds, "Ip|ddddd:set_definition", &def)) return nullptr;
    self->env.def = def;
    Py_RETURN_NONE;
}

PyObject *step(EnvelopeObject *self, PyObject *samples) {
    size_t n = PyLong_AsSize_t(samples);
    if (n == static_cast<size_t>(-1) && PyErr_Occurred()) return nullptr;
    kernel::advance(self->env, static_cast<uint16_t>(n));
    Py_RETURN_NONE;
}

PyObject *release(EnvelopeObject *self, PyObject *) {
    self->env.state = kernel::kRelease;
    Py_RETURN_NONE;
}

PyObject *reattack(EnvelopeObject *self, PyObject *) {
    self->env.state = kernel::kAttack;
    Py_RETURN_NONE;
}

PyObject *get_level(EnvelopeObject *self, void *) { return PyLong_FromLong(self->env.level); }
PyObject *get_state(EnvelopeObject *self, void *) { return PyLong_FromLong(self->env.state); }

PyMethodDef methods[] = {
    SL_READY("set_definition", set_definition, METH_VARARGS | METH_KEYWORDS),
    SL_READY("step", step, METH_O),
    SL_READY("release", release, METH_NOARGS),
    SL_READY("reattack", reattack, METH_NOARGS),
    {nullptr, nullptr, 0, nullptr},
};

PyGetSetDef getset[] = {
    {"level", ready<get_level>, nullptr, nullptr, nullptr},
    {"state", ready<get_state>, nullptr, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyType_Slot slots[] = {
    {Py_tp_new, reinterpret_cast<void *>(PyType_GenericNew)},
    {Py_tp_init, reinterpret_cast<void *>(locked<init>)},
    {Py_tp_methods, methods},
    {Py_tp_getset, getset},
    {0, nullptr},
};

}  // namespace

PyType_Spec envelope_state_spec = {
    "_sonolith.EnvelopeState",
    sizeof(EnvelopeObject),
    0,
    Py_TPFLAGS_HEAPTYPE,
    slots,
};

}  // namespace sonolith
