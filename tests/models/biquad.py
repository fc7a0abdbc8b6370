"""Reference model of the Q15 biquad: coefficient design in doubles (single precision where the
shelves' inverse square root asks for it), the 32-bit filter step, the dry/wet blend and the
soft knee, in plain Python integers."""

import math
import struct

import numpy as np

from .envelope import round_half_away, trunc32
from .knee import knee as soft_knee

KNEE = 28000


def wrap32(v: int) -> int:
    return ((v + (1 << 31)) & 0xFFFFFFFF) - (1 << 31)


def wrap16(v: int) -> int:
    return ((v + 0x8000) & 0xFFFF) - 0x8000


def div(a: float, b: float) -> float:
    """IEEE 754 division, including division by zero."""
    if b != 0.0:
        return a / b
    if a == 0.0 or math.isnan(a):
        return math.nan
    return -math.inf if (math.copysign(1, a) < 0) != (math.copysign(1, b) < 0) else math.inf


def fast_inverse_sqrt(a: float) -> float:
    with np.errstate(all="ignore"):
        af = np.float32(a)
        (bits,) = struct.unpack("<I", af.tobytes())
        bits = (0x5F3759DF - (bits >> 1)) & 0xFFFFFFFF
        y0 = np.frombuffer(struct.pack("<I", bits), np.float32)[0]
        y = y0 * (np.float32(1.5) - np.float32(0.5) * af * y0 * y0)
    return float(y)


def q15(v: float) -> int:
    return trunc32(round_half_away(v * 32768.0))


def coefficients(type_, frequency, q, gain, rate):
    """(a1, a2, b0, b1, b2) in Q15."""
    w = (1.0 / rate) * 6.283185307179586 * frequency
    u = w * 1.2732395447351628 - 1.0
    u2 = u * u
    e = u2 * u2 * 0.0109 + u2 * -0.21798592 + 0.70708592
    o = u2 * u * u2 * -0.00171961 + u2 * u * 0.05707685 + u * -0.55535724
    c, s = e + o, e - o
    alpha = div(s, 2.0 * q)
    A = gain
    if type_ in (0, 1, 2, 3):
        a0, a1, a2 = 1.0 + alpha, -2.0 * c, 1.0 - alpha
        b0, b1, b2 = {
            0: ((1.0 - c) / 2.0, 1.0 - c, (1.0 - c) / 2.0),
            1: ((1.0 + c) / 2.0, -(1.0 + c), (1.0 + c) / 2.0),
            2: (alpha, 0.0, -alpha),
            3: (1.0, -2.0 * c, 1.0),
        }[type_]
    elif type_ == 4:
        b0, b1, b2 = 1.0 + alpha * A, -2.0 * c, 1.0 - alpha * A
        a0, a1, a2 = 1.0 + div(alpha, A), -2.0 * c, 1.0 - div(alpha, A)
    else:
        k = 2.0 * alpha * (fast_inverse_sqrt(A) * A)
        if type_ == 5:
            b0 = A * ((A + 1.0) - (A - 1.0) * c + k)
            b1 = 2.0 * A * ((A - 1.0) - (A + 1.0) * c)
            b2 = A * ((A + 1.0) - (A - 1.0) * c - k)
            a0 = (A + 1.0) + (A - 1.0) * c + k
            a1 = -2.0 * ((A - 1.0) + (A + 1.0) * c)
            a2 = (A + 1.0) + (A - 1.0) * c - k
        else:
            b0 = A * ((A + 1.0) + (A - 1.0) * c + k)
            b1 = -2.0 * A * ((A - 1.0) + (A + 1.0) * c)
            b2 = A * ((A + 1.0) + (A - 1.0) * c - k)
            a0 = (A + 1.0) - (A - 1.0) * c + k
            a1 = 2.0 * ((A - 1.0) - (A + 1.0) * c)
            a2 = (A + 1.0) - (A - 1.0) * c - k
    inv = div(1.0, a0)
    return tuple(q15(v * inv) for v in (a1, a2, b0, b1, b2))


def filter_run(coef, memory, xs):
    """Filters xs with memory [x1, x2, y1, y2] (updated in place); returns the outputs."""
    a1, a2, b0, b1, b2 = coef
    x1, x2, y1, y2 = memory
    out = []
    for x in xs:
        s = wrap32(b0 * x + b1 * x1 + b2 * x2 - a1 * y1 - a2 * y2)
        t = wrap32(s + 16384)
        y = abs(t) // 32768 * (1 if t >= 0 else -1)
        y = min(max(y, -32768), 32767)
        out.append(y)
        y2, y1, x2, x1 = y1, y, x1, x
    memory[:] = [x1, x2, y1, y2]
    return out


class Biquad:
    def __init__(self):
        self.memory = [[0, 0, 0, 0], [0, 0, 0, 0]]

    def process_i32(self, xs, type_, frequency, q, gain, rate):
        return filter_run(coefficients(type_, frequency, q, gain, rate), self.memory[0], list(xs))

    def process_s16(self, xs, type_, frequency, q, gain, rate, mix, channels):
        coef = coefficients(type_, frequency, q, gain, rate)
        xs = [int(v) for v in xs]
        wet = [0] * len(xs)
        for ch in range(channels):
            wet[ch::channels] = filter_run(coef, self.memory[ch], xs[ch::channels])
        return [soft_knee(trunc32(dry * (1.0 - mix) + w * mix), 7151) for dry, w in zip(xs, wet)]
