"""Reference model of TankState, one float32 rounding per operation.

Written from the description of the reverberator: every sum, product and quotient is a numpy
float32 scalar operation and exp and sin are libm's expf and sinf through ctypes, so the model
reproduces the native kernel to the bit. Lines are lists of 16-bit cell values. Pure Python per
frame: keep inputs to a few thousand frames.
"""

from __future__ import annotations

import ctypes
import ctypes.util
import struct

import numpy as np

F = np.float32
_libm = ctypes.CDLL(ctypes.util.find_library("m"))
for _name in ("expf", "sinf"):
    getattr(_libm, _name).restype = ctypes.c_float
    getattr(_libm, _name).argtypes = [ctypes.c_float]


def expf(x):
    return F(_libm.expf(float(x)))


def sinf(x):
    return F(_libm.sinf(float(x)))


REFERENCE_LENGTHS = [142, 107, 379, 277, 672, 4453, 1800, 3720, 908, 4217, 2656, 3163]
DEFAULT_TAPS = [
    (0, 9, 266, 0.6), (0, 9, 2974, 0.6), (0, 10, 1913, -0.6), (0, 11, 1996, 0.6),
    (0, 5, 1990, -0.6), (0, 6, 187, -0.6), (0, 7, 1066, -0.6), (1, 5, 353, 0.6),
    (1, 5, 3627, 0.6), (1, 6, 1228, -0.6), (1, 7, 2673, 0.6), (1, 9, 2111, -0.6),
    (1, 10, 335, -0.6), (1, 11, 121, -0.6),
]


def trunc(x) -> int:
    """Truncation towards zero of a float32 (finite, in range)."""
    return int(float(x))


def store(t) -> int:
    if t >= 32767:
        return 32767
    if t <= -32768:
        return -32768
    return trunc(t)


def round_s16(y) -> int:
    r = y - F(0.5) if y < 0 else y + F(0.5)
    return max(-32768, min(32767, trunc(r)))


def clamp(v, lo, hi):
    return F(lo) if v < lo else (F(hi) if v > hi else v)


def clamp01(v):
    return clamp(v, 0, 1)


def one_pole(f, sr):
    if not f > 0:
        return F(0)
    return clamp01(F(1) - expf(F(-6.2831855) * f / sr))


def default_lengths(rate: int) -> list[int]:
    sr = F(rate)
    out = []
    for ref in REFERENCE_LENGTHS:
        x = F(ref) * sr / F(29761)
        out.append(4 if x < 1 else max(4, trunc(x + F(0.5))))
    return out


class Tank:
    def __init__(self, sample_rate=48000, max_predelay_ms=200.0, channel_count=2, delays=None, taps=None):
        sr = self.sr = F(sample_rate)
        self.channels = channel_count
        self.lengths = default_lengths(sample_rate)
        self.taps = []
        for ch, line, offset, gain in DEFAULT_TAPS:
            x = F(offset) * sr / F(29761)
            o = 1 if x < 1 else trunc(x + F(0.5))
            self.taps.append((ch, line, min(o, self.lengths[line] - 1), F(gain)))
        ms = F(max_predelay_ms)
        self.capacity = max(1, trunc(sr * min(ms, F(10000)) / F(1000)))
        self.predelay = 0
        self.decay, self.diffusion = F(0.5), F(0.75)
        self.damping = self.bandwidth = self.highpass = F(0)
        self.tilt_coef, self.tilt_low, self.tilt_high = F(0), F(1), F(1)
        self.rate, self.depth = F(0), F(0)
        self.saturation, self.width, self.mix = F(0), F(1), F(0.3)
        self.raw = {2: F(0), 3: F(0), 4: F(0), 7: F(0), 6: F(0), 5: F(0), 10: F(0)}
        self.recut(delays, taps)

    # -- configuration

    def configure(self, option, value):
        with np.errstate(over="ignore"):
            v, sr = F(value), self.sr
        if option == 0:
            self.decay = clamp(v, 0, 0.999)
        elif option == 1:
            self.diffusion = clamp(v, 0, 0.9)
        elif option in (2, 3, 4):
            self.raw[option] = v
            setattr(self, {2: "damping", 3: "bandwidth", 4: "highpass"}[option], one_pole(v, sr))
        elif option == 5:
            self.raw[5] = max(v, F(0))
            self.predelay = trunc(min(F(self.capacity), sr * self.raw[5] / F(1000)))
        elif option == 6:
            self.raw[6] = clamp(v, 0, 100)
            self.depth = sr * self.raw[6] / F(1000)
        elif option == 7:
            self.raw[7] = clamp(v, 0, 100)
            f = self.raw[7]
            self.rate = F(2) * sinf(F(3.1415927) * f / sr) if f > 0 else F(0)
        elif option == 8:
            self.saturation = clamp(v, 0, 1)
        elif option == 9:
            self.width = clamp(v, 0, 2)
        elif option == 10:
            d = self.raw[10] = clamp(v, -24, 24)
            self.tilt_low = expf(-d * F(0.057564627))
            self.tilt_high = expf(d * F(0.057564627))
            self.tilt_coef = clamp01(F(1) - expf(F(-6283.1855) / sr))
        elif option == 11:
            self.mix = clamp(v, 0, 2)

    def finish(self):
        for option in (2, 3, 4, 7, 6, 5, 10):
            self.configure(option, self.raw[option])
        self.tilt_coef = clamp01(F(1) - expf(F(-6283.1855) / self.sr))
        for line in (4, 8):
            self.depth = min(self.depth, max(F(0), (F(self.lengths[line]) - F(2)) * F(0.5)))

    def recut(self, delays, taps):
        """The valid cases only: new lengths (existing offsets clamped), then new taps."""
        if delays is not None:
            self.lengths = [max(0, trunc(F(d))) for d in delays]
            self.taps = [(c, l, min(o, self.lengths[l] - 1), g) for c, l, o, g in self.taps]
        if taps is not None:
            self.taps = [(trunc(F(taps[i])), trunc(F(taps[i + 1])), trunc(F(taps[i + 2])), F(taps[i + 3]))
                         for i in range(0, len(taps), 4)]
        self.reset()

    def reset(self):
        self.lines = [[0] * n for n in self.lengths]
        self.pos = [0] * 12
        self.pd = [0] * self.capacity
        self.w = 0
        self.z_bw = self.z_hp = self.z_a = self.z_b = F(0)
        self.z_tilt = [F(0), F(0)]
        self.s, self.c = F(0), F(1)
        self.silent, self.count = False, 0

    # -- processing

    def _allpass(self, n, v, q):
        z = F(self.lines[n][self.pos[n]])
        t = v + q * z
        self.lines[n][self.pos[n]] = store(t)
        return z - q * t

    def _modulated(self, n, v, q, lfo, e):
        line, L, p = self.lines[n], self.lengths[n], self.pos[n]
        d = F(L - 1) - e + lfo * e
        d = max(F(1), min(d, F(L - 1)))
        i = trunc(d)
        f = d - F(i)
        a = (p + L - i) % L
        r0, r1 = F(line[a]), F(line[(a + L - 1) % L])
        z = r0 + (r1 - r0) * f
        t = v + q * z
        line[p] = store(t)
        return z - q * t

    def _delay(self, n, v):
        out = F(self.lines[n][self.pos[n]])
        self.lines[n][self.pos[n]] = store(v)
        return out

    def _half(self, first, v, q4, q6, g, lfo, e, damp, z):
        out = self._modulated(first, v, q4, lfo, e)
        val = self._delay(first + 1, out)
        if damp > 0:
            val = (val - z) * damp + z
        out = self._allpass(first + 2, g * val, q6)
        self.lines[first + 3][self.pos[first + 3]] = store(out)
        return val

    def _frames(self, samples):
        n, ch = self.channels, self.channels
        g, a = self.decay, self.diffusion
        q1, q2, q4, q6 = a, a * F(0.8333333), a * F(0.93333334), a * F(0.6666667)
        dry, wet = min(F(2) - self.mix, F(1)), min(self.mix, F(1))
        k = self.rate
        e = self.depth if k != 0 else F(0)
        out = []
        for f in range(len(samples) // n):
            x = [F(s) for s in samples[f * n:(f + 1) * n]]
            if k != 0:
                self.s = self.s + k * self.c
                self.c = self.c - k * self.s
            else:
                self.s, self.c = F(0), F(1)
            h = x[0] if ch == 1 else (x[0] + x[1]) * F(0.5)
            P, D = self.capacity, self.predelay
            v = F(self.pd[(self.w + P - D) % P]) if 1 <= D <= P else h
            self.pd[self.w] = round_s16(h)
            self.w = (self.w + 1) % P
            if self.bandwidth > 0:
                v = (v - self.z_bw) * self.bandwidth + self.z_bw
            self.z_bw = v
            if self.highpass > 0:
                self.z_hp = (v - self.z_hp) * self.highpass + self.z_hp
                v = v - self.z_hp
            else:
                self.z_hp = F(0)
            if self.saturation > 0:
                u = clamp(v / F(32768), -1, 1)
                v = (u - self.saturation * (u * u * u) / F(3)) * F(32768)
            for line, q in ((0, q1), (1, q1), (2, q2), (3, q2)):
                v = self._allpass(line, v, q)
            cross_b = F(self.lines[11][self.pos[11]])
            cross_a = F(self.lines[7][self.pos[7]])
            self.z_a = self._half(4, v + g * cross_b, q4, q6, g, self.s, e, self.damping, self.z_a)
            self.z_b = self._half(8, v + g * cross_a, q4, q6, g, self.c, e, self.damping, self.z_b)
            sums = [F(0), F(0)]
            for c, line, offset, gain in self.taps:
                L = self.lengths[line]
                cell = F(self.lines[line][(self.pos[line] + L - min(offset, L - 1)) % L])
                sums[c if ch == 2 else 0] += cell * gain
            self.pos = [(p + 1) % L for p, L in zip(self.pos, self.lengths)]
            if ch == 1:
                o = [sums[0] * F(0.5)]
            else:
                A, B = sums
                if self.width != 1:
                    m, sd = (A + B) * F(0.5), (A - B) * F(0.5) * self.width
                    A, B = m + sd, m - sd
                o = [A, B]
            for c in range(ch):
                y = o[c]
                if self.tilt_coef > 0:
                    zt = self.z_tilt[c] = (y - self.z_tilt[c]) * self.tilt_coef + self.z_tilt[c]
                    if self.raw[10] != 0:
                        y = (y - zt) * self.tilt_high + zt * self.tilt_low
                out.append(round_s16(x[c] * dry + y * wet))
        return out

    def process(self, data: bytes) -> bytes:
        samples = struct.unpack(f"={len(data) // 2}h", data)
        if samples:
            self.silent, self.count = False, 0
        out = self._frames(samples)
        return struct.pack(f"={len(out)}h", *out)

    def process_silence(self, frames: int) -> bytes:
        if self.silent or frames == 0:
            return bytes(2 * frames * self.channels)
        out = self._frames([0] * (frames * self.channels))
        if any(out):
            self.count = 0
        else:
            self.count += frames
            if self.count >= max(self.lengths + [self.capacity]):
                self.count = 0
                states = [self.z_bw, self.z_hp, self.z_a, self.z_b] + self.z_tilt
                if all(abs(z) < 2.0**-10 for z in states) and not any(map(any, self.lines + [self.pd])):
                    self.z_bw = self.z_hp = self.z_a = self.z_b = F(0)
                    self.z_tilt = [F(0), F(0)]
                    self.silent = True
        return struct.pack(f"={len(out)}h", *out)
