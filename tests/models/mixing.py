"""Reference models of the mixing functions, written straight from their definitions."""

import math

import numpy as np


def _s16(buf):
    return np.frombuffer(bytes(buf), "<i2").astype(np.int64)


def _wrap32(x):
    return ((x + (1 << 31)) % (1 << 32)) - (1 << 31)


def _clamp16(x):
    return np.clip(x, -32768, 32767)


def _f32(x):
    """x narrowed to single precision as C does: rounded, and beyond the float range infinite."""
    with np.errstate(over="ignore"):
        return float(np.float32(x))


def mix(a, b):
    return _clamp16(_s16(a) + _s16(b)).astype("<i2").tobytes()


def multiply(sig, mod, depth):
    d = _f32(depth)
    if d <= 0 or math.isnan(d):  # NaN converts to 0
        c = 0
    elif d >= 1:
        c = 32768
    else:
        c = int(np.float32(d) * np.float32(32768) + np.float32(0.5))
    s, m = _s16(sig), _s16(mod)
    p = _wrap32(s * m) >> 15
    h = _wrap32(s * (32768 - c) + c * p)
    return _clamp16(h >> 15).astype("<i2").tobytes()


def midside(buf, width, channels=2):
    if channels == 1:
        return bytes(buf)
    w = _f32(width)
    if w <= 0 or math.isnan(w):
        c = 0
    elif w >= 2:
        c = 32768
    else:
        c = int(np.float32(w) * np.float32(16384) + np.float32(0.5))
    x = _s16(buf).reshape(-1, 2)
    left, right = x[:, 0], x[:, 1]
    f = _wrap32(c * (left - right)) >> 14
    out = np.empty_like(x)
    out[:, 0] = _clamp16((left + right + f + 1) >> 1)
    out[:, 1] = _clamp16((left + right - f + 1) >> 1)
    return out.astype("<i2").tobytes()


def remix(buf, src, dst):
    x = _s16(buf).reshape(-1, src)
    if src == dst:
        y = x
    elif src == 2:
        s = x[:, 0] + x[:, 1]
        y = np.where(s < 0, -((-s) // 2), s // 2)  # division truncating towards zero
    else:
        y = np.repeat(x, 2, axis=1)
    return y.astype("<i2").tobytes()


def db_scale():
    return [_f32(10.0 ** ((i - 199.5) / 20.0)) for i in range(255)]


_SCALE = db_scale()


def meter_db_byte(amplitude):
    a = _f32(amplitude)
    if not a > _f32(1e-10):
        return 0
    code = 0
    for c in range(1, 256):
        if a >= _SCALE[c - 1]:
            code = c
    return code
