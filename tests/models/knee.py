"""Integer helpers shared by the fixed-point effect models: the soft knee and the conversions."""

import math

KNEE = 28000


def wrap32(v):
    return (v + (1 << 31)) % (1 << 32) - (1 << 31)


def wrap16(v):
    return (v + 32768) % 65536 - 32768


def sat16(v):
    return -32768 if v < -32768 else 32767 if v > 32767 else v


def sat32(v):
    return -(1 << 31) if v < -(1 << 31) else (1 << 31) - 1 if v > (1 << 31) - 1 else v


def trunc32(x):
    """Float to 32-bit integer, truncating; saturates at the limits, NaN gives 0."""
    if x != x:
        return 0
    if math.isinf(x):
        return sat32(-(1 << 40) if x < 0 else 1 << 40)
    return sat32(math.trunc(x))


def tdiv(a, b):
    """Integer division truncating towards zero."""
    q = abs(a) // abs(b)
    return q if (a < 0) == (b < 0) else -q


def knee(v, k=7151):
    """Soft knee of a 32-bit value: 32-bit product, arithmetic shift, low 16 bits kept."""
    if v < -KNEE:
        r = (wrap32((v + KNEE) * k) >> 16) - KNEE
    elif v > KNEE:
        r = (wrap32((v - KNEE) * k) >> 16) + KNEE
    else:
        r = v
    return wrap16(r)


def knee_slope(h):
    d = wrap32(h * 32768 - KNEE)
    return wrap32(tdiv((1 << 28) - 1, d))


def mix_gains(mix):
    dry = 2.0 - mix
    return (dry if dry < 1.0 else 1.0), (mix if mix < 1.0 else 1.0)
