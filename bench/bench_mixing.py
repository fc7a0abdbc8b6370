"""Mixing and channel conversion against the numpy code a user would write for the same job."""

import numpy as np

import _sonolith as so

LONG = 48000 * 600  # 10 minutes of 48 kHz stereo
BLOCK = 256


def _np_mix(a, b):
    x = np.frombuffer(a, np.int16).astype(np.int32)
    x += np.frombuffer(b, np.int16)
    return np.clip(x, -32768, 32767).astype(np.int16).tobytes()


def _np_midside(buf, width):
    x = np.frombuffer(buf, np.int16).reshape(-1, 2).astype(np.int32)
    c = int(width * 16384 + 0.5)
    s = x.sum(axis=1)
    f = (c * (x[:, 0] - x[:, 1])) >> 14
    out = np.empty_like(x)
    out[:, 0] = (s + f + 1) >> 1
    out[:, 1] = (s - f + 1) >> 1
    return np.clip(out, -32768, 32767).astype(np.int16).tobytes()


def _np_downmix(buf):
    x = np.frombuffer(buf, np.int16).reshape(-1, 2).astype(np.int32)
    return ((x[:, 0] + x[:, 1]) // 2).astype(np.int16).tobytes()  # numpy floors; close enough for timing


def register(bench):
    rng = np.random.default_rng(1)
    for frames, label in ((BLOCK, "256-frame blocks"), (LONG, "10 min 48 kHz stereo")):
        a = rng.integers(-32768, 32768, 2 * frames, dtype=np.int16).tobytes()
        b = rng.integers(-32768, 32768, 2 * frames, dtype=np.int16).tobytes()
        dst = bytearray(len(a))
        bench.case(f"mix_s16, {label}", frames, {
            "sonolith": lambda a=a, b=b: so.mix_s16(a, b),
            "numpy": lambda a=a, b=b: _np_mix(a, b),
            "copy (same bytes)": lambda a=a, d=dst: d.__setitem__(slice(None), a),
        })
        bench.case(f"midside_s16, {label}", frames, {
            "sonolith": lambda a=a: so.midside_s16(a, 1.5),
            "numpy": lambda a=a: _np_midside(a, 1.5),
            "copy (same bytes)": lambda a=a, d=dst: d.__setitem__(slice(None), a),
        })
        bench.case(f"remix_s16 stereo->mono, {label}", frames, {
            "sonolith": lambda a=a: so.remix_s16(a, 2, 1),
            "numpy": lambda a=a: _np_downmix(a),
            "copy (same bytes)": lambda a=a, d=dst: d.__setitem__(slice(None), a),
        })
