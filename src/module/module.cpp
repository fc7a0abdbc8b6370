// The module frame: definition (multi-phase initialisation), the execution step that creates the
// types and publishes them with the constants, and ModuleState with traverse and clear.
#include "module/module.hpp"

#include "functions/db_scale.hpp"

namespace sonolith {
namespace {

ModuleState *state_of(PyObject *module) noexcept {
    return static_cast<ModuleState *>(PyModule_GetState(module));
}

// One step of the execution step: a type to create and publish, or a constant to publish.
struct ExecStep {
    enum Kind { Type, Int, String } kind;
    const char *name;
    PyType_Spec *spec;
    TypeSlot slot;
    long int_value;
    const char *string_value;
};

constexpr ExecStep add_type(TypeSlot slot, PyType_Spec &spec) {
    return {ExecStep::Type, nullptr, &spec, slot, 0, nullptr};
}
constexpr ExecStep add_int(const char *name, long value) {
    return {ExecStep::Int, name, nullptr, TypeSlot::Count, value, nullptr};
}
constexpr ExecStep add_string(const char *name, const char *value) {
    return {ExecStep::String, name, nullptr, TypeSlot::Count, 0, value};
}

// The execution step after db_byte_scale, in order. A type lands with one add_type line here.
const ExecStep kSteps[] = {
    add_type(TypeSlot::BufferOwner, buffer_owner_spec),
    add_type(TypeSlot::RawSample, raw_sample_spec),
    add_type(TypeSlot::EnvelopeState, envelope_state_spec),
    add_type(TypeSlot::BiquadState, biquad_state_spec),
    add_type(TypeSlot::DynamicsState, dynamics_state_spec),
    add_type(TypeSlot::SplitterRing, splitter_ring_spec),
    add_int("SPLITTER_CHUNK_FRAMES", 256),
    add_int("SPLITTER_RING_FRAMES", 8192),
    add_int("DYNAMICS_FRAMES", 256),
    add_int("MULTIPLY_FRAMES", 256),
    add_int("MIDSIDE_FRAMES", 256),
    add_type(TypeSlot::FeedbackDelayState, feedback_delay_state_spec),
    add_int("FEEDBACK_DELAY_FRAMES", 256),
    add_type(TypeSlot::WaveshaperState, waveshaper_state_spec),
    add_int("SHAPER_FRAMES", 256),
    add_int("SHAPER_MAX_OVERSAMPLE", 16),
    add_type(TypeSlot::SampleHoldState, sample_hold_state_spec),
    add_int("SAMPLEHOLD_FRAMES", 256),
    add_int("SAMPLEHOLD_MAX_RATIO", 1073741824),
    add_type(TypeSlot::LadderState, ladder_state_spec),
    add_int("LADDER_FRAMES", 256),
    add_type(TypeSlot::BiquadF32State, biquad_f32_state_spec),
    add_type(TypeSlot::AllPassF32State, allpass_f32_state_spec),
    add_int("FILTER_F32_FRAMES", 256),
    add_int("FILTER_F32_MAX_STAGES", 16),
    add_type(TypeSlot::SubOctaveState, sub_octave_state_spec),
    add_int("SUBOCTAVE_FRAMES", 256),
    add_type(TypeSlot::ConvolverState, convolver_state_spec),
    add_int("CONVOLVE_FRAMES", 256),
    add_int("CONVOLVE_MAX_PARTITIONS", 512),
    add_type(TypeSlot::MeterState, meter_state_spec),
    add_type(TypeSlot::VorbisStream, vorbis_stream_spec),
    add_int("METER_MAX_BANDS", 96),
    add_type(TypeSlot::TankState, tank_state_spec),
    add_type(TypeSlot::ModalState, modal_state_spec),
    add_int("MODAL_FRAMES", 256),
    add_int("MODAL_MAX_MODES", 64),
    add_int("TANK_FRAMES", 256),
    add_int("TANK_LINES", 12),
    add_int("TANK_MAX_TAPS", 32),
    add_string("__version__", "0.6.7"),
    add_string("__revision__", "v0.6.7"),
    add_int("ABI_VERSION", 1),
};

int module_exec(PyObject *module) noexcept {
    build_db_byte_scale();
    ModuleState *state = state_of(module);
    for (const ExecStep &step : kSteps) {
        switch (step.kind) {
        case ExecStep::Type: {
            PyObject *type = create_type(module, step.spec);
            if (type == nullptr) return -1;
            PyObject *&slot = state->types[static_cast<int>(step.slot)];
            Py_XSETREF(slot, type);
            const char *dot = std::strrchr(step.spec->name, '.');
            if (PyModule_AddObjectRef(module, dot ? dot + 1 : step.spec->name, type) < 0) return -1;
            break;
        }
        case ExecStep::Int:
            if (PyModule_AddIntConstant(module, step.name, step.int_value) < 0) return -1;
            break;
        case ExecStep::String:
            if (PyModule_AddStringConstant(module, step.name, step.string_value) < 0) return -1;
            break;
        }
    }
    return 0;
}

int module_traverse(PyObject *module, visitproc visit, void *arg) noexcept {
    ModuleState *state = state_of(module);
    if (state == nullptr) return 0;
    for (PyObject *type : state->types) Py_VISIT(type);
    return 0;
}

int module_clear(PyObject *module) noexcept {
    ModuleState *state = state_of(module);
    if (state == nullptr) return 0;
    for (PyObject *&type : state->types) Py_CLEAR(type);
    return 0;
}

constexpr int kVarargs = METH_VARARGS;

// The module functions, in the order of the method table. A function lands with one line here.
PyMethodDef kMethods[] = {
    {"mix_s16", mix_s16, kVarargs,
     "Saturating mix of two native-endian signed 16-bit PCM buffers."},
    {"oscillator_i32", oscillator_i32, kVarargs, nullptr},
    {"oscillator_raw_i32", oscillator_raw_i32, kVarargs, nullptr},
    {"ring_multiply_i32", ring_multiply_i32, kVarargs, nullptr},
    {"apply_loudness_i32", apply_loudness_i32, kVarargs, nullptr},
    {"mixdown_i32", mixdown_i32, kVarargs, nullptr},
    {"pitch_bend", pitch_bend, kVarargs, nullptr},
    {"fnv1a64", fnv1a64, kVarargs, nullptr},
    {"distortion_s16", distortion_s16, kVarargs, nullptr},
    {"echo_s16", echo_s16, kVarargs, nullptr},
    {"phaser_s16", phaser_s16, kVarargs, nullptr},
    {"chorus_s16", chorus_s16, kVarargs, nullptr},
    {"multitap_s16", multitap_s16, kVarargs, nullptr},
    {"pitchshift_s16", pitchshift_s16, kVarargs, nullptr},
    {"freeverb_s16", freeverb_s16, kVarargs, nullptr},
    {"multiply_s16", multiply_s16, kVarargs, nullptr},
    {"midside_s16", midside_s16, kVarargs, nullptr},
    {"meter_db_byte", meter_db_byte, kVarargs, nullptr},
    {"remix_s16", remix_s16, kVarargs,
     "Interleaved s16 native-endian channel convert between 1 and 2 channels. Optional writable "
     "dest."},
    {nullptr, nullptr, 0, nullptr},
};

PyModuleDef_Slot kSlots[] = {
    {Py_mod_exec, reinterpret_cast<void *>(module_exec)},
    {Py_mod_gil, Py_MOD_GIL_NOT_USED},
    {0, nullptr},
};

PyModuleDef kDefinition = {
    PyModuleDef_HEAD_INIT,
    "_sonolith",
    "Private native core for tallowbox-sonolith.",
    sizeof(ModuleState),
    kMethods,
    kSlots,
    module_traverse,
    module_clear,
    nullptr,
};

}  // namespace
}  // namespace sonolith

PyMODINIT_FUNC PyInit__sonolith(void) {
    return PyModuleDef_Init(&sonolith::kDefinition);
}
