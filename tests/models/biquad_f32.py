"""Reference model of BiquadF32State: cookbook designs in double precision, the state-variable form,
the glide and the transposed direct form, one float32 rounding per operation.

Single-precision steps are numpy float32 scalar operations in the written order; the design and
the state conversions are Python floats (double precision); expf is libm's. Pure Python per frame:
keep inputs to a few thousand frames.
"""

import math

import numpy as np

from tests.models.dynamics import expf
from tests.models.meter import sincos

F = np.float32
Z = F(0)
TINY = float(F(1e-20))
DEFAULTS = dict(mode=0, frequency=F(1000.0), q=F(0.70710677), gain=F(0.0), mix=F(1.0))


def narrow(x):
    with np.errstate(over="ignore"):
        return F(x)


def flush(v):
    v = narrow(v)
    return Z if -TINY < v < TINY else v


def round_s16(out):
    if out > 32767:
        return 32767
    if out < -32768:
        return -32768
    if out != out:
        return 0
    return int(out + F(0.5)) if out >= 0 else int(out - F(0.5))


def limit(rate):
    return F(rate * 0.4999)


def clamp(v, lo, hi, nan):
    return nan if v != v else lo if v < lo else min(v, hi)


def design(mode, rate, frequency, q, gain):
    """((b0, b1, b2, a1, a2) as float32, svf form (g, k, m0, m1, m2) as float32 or None)."""
    frequency = min(frequency, limit(rate))
    A = float(expf(F(F(gain) * F(0.057564627))))
    w = float(frequency) * 6.283185307179586 / rate
    s, c = sincos(w)
    al = s / (float(q) * 2.0)
    k = 2.0 * math.sqrt(A) * al
    b0, b1, b2, a0, a1, a2 = [
        ((1 - c) / 2, 1 - c, (1 - c) / 2, 1 + al, -2 * c, 1 - al),
        ((1 + c) / 2, -(1 + c), (1 + c) / 2, 1 + al, -2 * c, 1 - al),
        (al, 0.0, -al, 1 + al, -2 * c, 1 - al),
        (1.0, -2 * c, 1.0, 1 + al, -2 * c, 1 - al),
        (1 + al * A, -2 * c, 1 - al * A, 1 + al / A, -2 * c, 1 - al / A),
        (A * ((A + 1) - (A - 1) * c + k), 2 * A * ((A - 1) - (A + 1) * c), A * ((A + 1) - (A - 1) * c - k),
         (A + 1) + (A - 1) * c + k, -2 * ((A - 1) + (A + 1) * c), (A + 1) + (A - 1) * c - k),
        (A * ((A + 1) + (A - 1) * c + k), -2 * A * ((A - 1) + (A + 1) * c), A * ((A + 1) + (A - 1) * c - k),
         (A + 1) - (A - 1) * c + k, 2 * ((A - 1) - (A + 1) * c), (A + 1) - (A - 1) * c - k),
    ][mode]
    b0, b1, b2, a1, a2 = b0 / a0, b1 / a0, b2 / a0, a1 / a0, a2 / a0
    coefficients = tuple(F(v) for v in (b0, b1, b2, a1, a2))
    w = 1 - a1 + a2
    if w > 0:
        A1 = (1 + a1 + a2) / w
        if A1 > 1e-12:
            g = math.sqrt(A1)
            gk = 2 * (1 - a2) / w
            if gk > 0:
                C, D, E = b0 * 4 / w, b2 * 4 / w, b1 * 4 / w
                m0 = (C - E + D) * 0.25
                m1 = (C - D - 2 * m0 * gk) / (2 * g)
                m2 = (D + C - (2 * A1 + 2) * m0) / (2 * A1)
                return coefficients, tuple(F(v) for v in (g, gk / g, m0, m1, m2))
    return coefficients, None


def state_map(svf):
    g, k, _, m1, m2 = (float(v) for v in svf)
    a1 = 1 / ((k + g) * g + 1)
    a2 = a1 * g
    a3 = g * a2
    P = a1 * m1 + a2 * m2
    R = (1 - a3) * m2 - a2 * m1
    return P, R, (2 * a1 - 1) * P + 2 * a2 * R, (1 - 2 * a3) * R - 2 * a2 * P


def glide_bits(rate):
    p = 0
    while p < 20 and 2.0**p * 1.4142135623730951 < rate * 20 / 1000:
        p += 1
    return p


class BiquadF32:
    def __init__(self, rate=48000, channels=2):
        self.rate, self.channels = rate, channels
        self.__dict__.update(DEFAULTS)
        self.design, self.design_svf, self.key = (Z,) * 5, (Z,) * 5, None
        self.has_svf = False
        self.reset()

    def reset(self):
        self.s1, self.s2, self.ic1, self.ic2 = [Z, Z], [Z, Z], [Z, Z], [Z, Z]
        self.running, self.running_svf, self.running_has_svf = (Z,) * 5, (Z,) * 5, False
        self.glide, self.steps, self.left, self.started = [Z] * 5, [Z] * 5, 0, False

    def configure(self, option, value):
        v = narrow(value)
        if option == 0:
            self.mode = 0 if not v > 0 else 6 if v >= 6 else int(v)
        elif option == 1:
            self.frequency = clamp(v, Z, limit(self.rate), DEFAULTS["frequency"])
        elif option == 2:
            self.q = clamp(v, F(0.05), F(60), DEFAULTS["q"])
        elif option == 3:
            self.gain = clamp(v, F(-60), F(60), Z)
        elif option == 4:
            self.mix = clamp(v, Z, F(1), F(1))

    def finish(self):
        key = (self.mode, self.rate, self.frequency, self.q, self.gain)
        if key != self.key:
            self.design, svf = design(*key)
            self.has_svf = svf is not None
            if svf is not None:
                self.design_svf = svf
            self.key = key

    def coefficients(self):
        self.finish()
        return tuple(float(v) for v in self.design)

    def _take_over(self):
        if not self.started:
            self.running, self.running_svf, self.running_has_svf = self.design, self.design_svf, self.has_svf
            self.started = True
            return
        if self.design == self.running:
            return
        if self.left == 0 and self.running_has_svf and self.has_svf:
            P, R, U, T = state_map(self.running_svf)
            a1 = float(self.running[3])
            delta = P * T - R * U
            for ch in range(self.channels):
                if delta == 0 or delta * delta <= (R * R + P * P) * (T * T + U * U) * 1e-18:
                    self.ic1[ch] = self.ic2[ch] = Z
                else:
                    s1, s2 = float(self.s1[ch]), float(self.s2[ch])
                    q = s2 - a1 * s1
                    self.ic1[ch], self.ic2[ch] = flush((T * s1 - R * q) / delta), flush((P * q - U * s1) / delta)
            self.glide = list(self.running_svf)
        glide = self.has_svf and (self.left > 0 or self.running_has_svf)
        self.running, self.running_svf, self.running_has_svf = self.design, self.design_svf, self.has_svf
        if glide:
            p = glide_bits(self.rate)
            L = 2**p
            self.left = L
            factors = []
            for i in (0, 1):
                r = float(self.design_svf[i]) / float(self.glide[i])
                for _ in range(p):
                    r = math.sqrt(r)
                factors.append(F(r))
            self.steps = factors + [(self.design_svf[i] - self.glide[i]) / F(L) for i in (2, 3, 4)]
        else:
            self.s1, self.s2, self.left = [Z, Z], [Z, Z], 0

    def process(self, data):
        x = np.frombuffer(data, np.int16).astype(np.float32).tolist()
        ch_n, mix = self.channels, self.mix
        dry = F(1) - mix
        self._take_over()
        out = []
        frames = len(x) // ch_n
        i = 0
        if self.left > 0:
            n = min(frames, self.left)
            g, k, m0, m1, m2 = self.glide
            gf, kf, m0s, m1s, m2s = self.steps
            for i in range(n):
                m2 += m2s
                g *= gf
                k *= kf
                m0 += m0s
                m1 += m1s
                a1 = F(1) / (F(1) + (k + g) * g)
                a2 = a1 * g
                a3 = a2 * g
                for ch in range(ch_n):
                    xv = F(x[i * ch_n + ch])
                    ic1, ic2 = self.ic1[ch], self.ic2[ch]
                    e = xv - ic2
                    bp = a2 * e + a1 * ic1
                    lp = ic2 + a2 * ic1 + a3 * e
                    self.ic1[ch] = flush(F(2) * bp - ic1)
                    self.ic2[ch] = flush(F(2) * lp - ic2)
                    y = m1 * bp + m0 * xv + m2 * lp
                    out.append(round_s16(y * mix + xv * dry))
            self.glide = [g, k, m0, m1, m2]
            self.left -= n
            i = n
            if self.left == 0:
                P, R, U, T = state_map(self.running_svf)
                a1 = float(self.running[3])
                for ch in range(ch_n):
                    ic1, ic2 = float(self.ic1[ch]), float(self.ic2[ch])
                    s1 = P * ic1 + R * ic2
                    self.s1[ch], self.s2[ch] = flush(s1), flush(a1 * s1 + U * ic1 + T * ic2)
        b0, b1, b2, a1, a2 = self.running
        for i in range(i, frames):
            for ch in range(ch_n):
                xv = F(x[i * ch_n + ch])
                y = b0 * xv + self.s1[ch]
                self.s1[ch] = flush(b1 * xv - a1 * y + self.s2[ch])
                self.s2[ch] = flush(b2 * xv - a2 * y)
                out.append(round_s16(y * mix + xv * dry))
        return np.array(out, np.int16).tobytes()
