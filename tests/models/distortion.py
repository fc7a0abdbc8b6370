"""Distortion written from its description, in double precision (Python floats, libm exp/pow)."""

import math

from .knee import trunc32


def _clamp(v, lim):
    return -lim if v < -lim else lim if v > lim else v


def _round_half_away(x):
    return math.floor(x + 0.5) if x >= 0 else -math.floor(-x + 0.5)


def distortion(samples, drive, in_db, out_db, mode, limiter, mix):
    pre = math.exp(in_db * 0.11512925464970228)
    post = math.exp(out_db * 0.11512925464970228)
    e = 1.0001 - drive
    k = 2.0 * drive / (1.0001 - drive)
    bits = int(_round_half_away(drive * 14)) % 32
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
                up = 0.0 if u == 0 else math.copysign(abs(u) ** e, u)
            elif mode == 2:
                v = 0.686306 * u
                up = (math.exp(v) - math.exp(-v * (1 + math.exp(-0.75 * math.sqrt(abs(v)))))) / (
                    math.exp(v) + math.exp(-v))
            elif mode == 3:
                up = (k + 1) * u / (k * abs(u) + 1)
            else:
                up = u
            up *= post
            if limiter:
                up = 1 - math.exp(-up) if up > 0 else math.exp(up) - 1
                m = trunc32(up * 32767)
            else:
                m = _clamp(trunc32(up * 32767), 32767)
        y = trunc32(dry * s + wet * m)
        out.append(-32768 if y < -32768 else 32767 if y > 32767 else y)
    return out
