"""Distortion written from its description, in double precision (Python floats; exp, pow and sqrt
are libm's through ctypes, so overflow gives infinity as in C instead of raising)."""

import ctypes
import ctypes.util
import math

from .knee import sat16, trunc32

_libm = ctypes.CDLL(ctypes.util.find_library("m"))
for _name, _argc in (("exp", 1), ("pow", 2), ("sqrt", 1)):
    getattr(_libm, _name).restype = ctypes.c_double
    getattr(_libm, _name).argtypes = [ctypes.c_double] * _argc
exp, pow_, sqrt = _libm.exp, _libm.pow, _libm.sqrt


def _clamp(v, lim):
    return -lim if v < -lim else lim if v > lim else v


def _round_half_away(x):
    if not math.isfinite(x):
        return x
    a = abs(x)
    f = math.floor(a)
    return math.copysign(f + (1 if a - f >= 0.5 else 0), x)


def _div(a, b):
    """IEEE division (Python raises on a zero divisor)."""
    if b != 0 or a != a:
        return a / b
    return math.nan if a == 0 else math.copysign(math.inf, a) * math.copysign(1.0, b)


def distortion(samples, drive, in_db, out_db, mode, limiter, mix):
    pre = exp(in_db * 0.11512925464970228)
    post = exp(out_db * 0.11512925464970228)
    e = 1.0001 - drive
    k = _div(2.0 * drive, 1.0001 - drive)
    bits = trunc32(_round_half_away(drive * 14)) % 32
    mask = (0xFFFFFFFF << bits) & 0xFFFFFFFF
    dry, wet = 1.0 - mix, mix
    out = []
    for s in samples:
        r = trunc32(s * pre)
        if mode == 1:
            r = ((r & mask) ^ 0x80000000) - 0x80000000
        if mode == 1 and not limiter:
            m = _clamp(trunc32(r * post), 32767)
        else:
            u = r * 2.0 ** -15
            if mode == 0:
                up = 0.0 if u == 0 else math.copysign(pow_(abs(u), e), u)
            elif mode == 2:
                v = 0.686306 * u
                up = _div(exp(v) - exp(-v * (1 + exp(-0.75 * sqrt(abs(v))))), exp(v) + exp(-v))
            elif mode == 3:
                # an infinite k (drive 1.0001) takes the curve's limit, sign(u)
                up = (float((u > 0) - (u < 0)) if math.isinf(k)
                      else _div((k + 1) * u, k * abs(u) + 1))
            else:
                up = u
            up *= post
            if limiter:
                up = 1 - exp(-up) if up > 0 else exp(up) - 1
                m = trunc32(up * 32767)
            else:
                m = _clamp(trunc32(up * 32767), 32767)
        # mix outside 0..1 saturates the mixed value instead of wrapping it
        out.append(sat16(trunc32(dry * s + wet * m)))
    return out
