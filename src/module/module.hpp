// Per-module state and the entry points that each source contributes to the module frame.
#pragma once

#include "module/binding.hpp"

namespace sonolith {

// Slots of the type objects in ModuleState, in the order the execution step creates them.
enum class TypeSlot : int {
    BufferOwner,
    RawSample,
    EnvelopeState,
    BiquadState,
    DynamicsState,
    SplitterRing,
    FeedbackDelayState,
    WaveshaperState,
    SampleHoldState,
    LadderState,
    BiquadF32State,
    AllPassF32State,
    SubOctaveState,
    ConvolverState,
    MeterState,
    VorbisStream,
    TankState,
    ModalState,
    Count
};

struct ModuleState {
    PyObject *types[static_cast<int>(TypeSlot::Count)];
};

// Type specs (PyType_Spec), one per type source.
extern PyType_Spec buffer_owner_spec;
extern PyType_Spec raw_sample_spec;
extern PyType_Spec envelope_state_spec;
extern PyType_Spec biquad_state_spec;
extern PyType_Spec vorbis_stream_spec;
extern PyType_Spec dynamics_state_spec;
extern PyType_Spec meter_state_spec;
extern PyType_Spec splitter_ring_spec;
extern PyType_Spec waveshaper_state_spec;
extern PyType_Spec feedback_delay_state_spec;
extern PyType_Spec sample_hold_state_spec;
extern PyType_Spec ladder_state_spec;
extern PyType_Spec sub_octave_state_spec;
extern PyType_Spec biquad_f32_state_spec;
extern PyType_Spec allpass_f32_state_spec;
extern PyType_Spec modal_state_spec;
extern PyType_Spec convolver_state_spec;
extern PyType_Spec tank_state_spec;

// Module functions, one per stateless function.
PyObject *mix_s16(PyObject *, PyObject *args);
PyObject *echo_s16(PyObject *, PyObject *args);
PyObject *multitap_s16(PyObject *, PyObject *args);
PyObject *distortion_s16(PyObject *, PyObject *args);
PyObject *chorus_s16(PyObject *, PyObject *args);
PyObject *phaser_s16(PyObject *, PyObject *args);
PyObject *pitchshift_s16(PyObject *, PyObject *args);
PyObject *freeverb_s16(PyObject *, PyObject *args);
PyObject *multiply_s16(PyObject *, PyObject *args);
PyObject *midside_s16(PyObject *, PyObject *args);
PyObject *remix_s16(PyObject *, PyObject *args);
PyObject *meter_db_byte(PyObject *, PyObject *args);
PyObject *oscillator_i32(PyObject *, PyObject *args);
PyObject *oscillator_raw_i32(PyObject *, PyObject *args);
PyObject *ring_multiply_i32(PyObject *, PyObject *args);
PyObject *apply_loudness_i32(PyObject *, PyObject *args);
PyObject *mixdown_i32(PyObject *, PyObject *args);
PyObject *pitch_bend(PyObject *, PyObject *args);
PyObject *fnv1a64(PyObject *, PyObject *args);

}  // namespace sonolith
