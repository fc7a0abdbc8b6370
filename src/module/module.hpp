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

// Type specifications, one per type source.
extern PyType_Spec buffer_owner_spec;
extern PyType_Spec raw_sample_spec;
extern PyType_Spec dynamics_state_spec;

// Module functions, one per stateless function.
PyObject *mix_s16(PyObject *, PyObject *args);
PyObject *multiply_s16(PyObject *, PyObject *args);
PyObject *midside_s16(PyObject *, PyObject *args);
PyObject *remix_s16(PyObject *, PyObject *args);
PyObject *meter_db_byte(PyObject *, PyObject *args);

}  // namespace sonolith
