"""The oversampled waveshaper on 48 kHz stereo against the chain a Python user would write for the
same effect: scipy.signal.resample_poly up by the factor, the same 33-point soft-clipping curve read
by numpy.interp, resample_poly back down (at 1x only the curve). pedalboard's Distortion (a tanh
curve, no oversampling) is listed for orientation.

The peers are handed float32 arrays in -1..1 ready-made and return floats: no conversion to or
from 16 bits is timed on their side, while sonolith's figure includes both. The numpy chain keeps
no state between blocks (resample_poly cannot carry its filter memory), so at 256-frame blocks it
does less than the stateful kernel does."""

import math
import struct

import numpy as np

import _sonolith as so

try:
    from scipy import signal
except ImportError:  # pragma: no cover - the bench extra installs it
    signal = None
try:
    import pedalboard
except ImportError:  # pragma: no cover - the bench extra installs it
    pedalboard = None

RATE = 48000
LONG = RATE * 60  # 60 s of 48 kHz stereo
BLOCK = 256
FACTORS = (1, 4, 16)
DRIVE = 3.0
CURVE_Y = np.array([round(32767 * math.tanh(2 * (i / 16 - 1))) for i in range(33)], np.int16)
CURVE_X = np.linspace(-1.0, 1.0, len(CURVE_Y)).astype(np.float32)


def sonolith_shaper(factor):
    state = so.WaveshaperState(RATE, factor, 2)
    state.load_curve(CURVE_Y.tobytes())
    state.configure(0, DRIVE)
    state.finish()
    return state.process


def numpy_chain(factor):
    if signal is None:
        return None
    curve = CURVE_Y.astype(np.float32) / np.float32(32768)

    def run(x):  # x: float32 (frames, 2) in -1..1
        up = signal.resample_poly(x * np.float32(DRIVE), factor, 1, axis=0) if factor > 1 else x * np.float32(DRIVE)
        shaped = np.interp(up, CURVE_X, curve).astype(np.float32)
        return signal.resample_poly(shaped, 1, factor, axis=0) if factor > 1 else shaped

    return run


def pedalboard_distortion():
    if pedalboard is None:
        return None
    plugin = pedalboard.Distortion(drive_db=20 * math.log10(DRIVE))
    return lambda x: plugin.process(x, RATE, reset=False)  # x: float32 (2, frames)


def register(bench):
    rng = np.random.default_rng(1)
    pb = pedalboard_distortion()
    for frames, label in ((BLOCK, "256-frame blocks"), (LONG, "60 s stereo")):
        pcm = (rng.standard_normal((frames, 2)) * 8000).clip(-32768, 32767).astype(np.int16)
        data = pcm.tobytes()
        floats = pcm.astype(np.float32) / np.float32(32768)
        planar = np.ascontiguousarray(floats.T)
        for factor in FACTORS:
            ours, chain = sonolith_shaper(factor), numpy_chain(factor)
            bench.case(f"waveshaper {factor}x, {label}", frames, {
                "sonolith": lambda d=data, fn=ours: fn(d),
                "numpy/scipy chain": chain and (lambda x=floats, fn=chain: fn(x)),
                "pedalboard (1x)": pb and (lambda x=planar: pb(x)),
            })
