"""Reference model of LadderState, one float32 rounding per operation.

Written from the description of the filter. `Ladder` holds one object's options, coefficients and
state; `process(objects, blocks)` runs several objects at once, every channel of every object a
lane of numpy float32 arrays (elementwise float32 operations round exactly as the native scalar
ones do), with the branches of the solver taken per lane by selection. tan is libm's tanf.
"""

from __future__ import annotations

import ctypes
import ctypes.util
import math

import numpy as np

F = np.float32
_libm = ctypes.CDLL(ctypes.util.find_library("m"))
_libm.tanf.restype = ctypes.c_float
_libm.tanf.argtypes = [ctypes.c_float]


def tanf(x):
    return F(_libm.tanf(float(x)))


def narrow(v):
    with np.errstate(over="ignore"):
        return F(v)


def clamp(v, lo, hi):
    """The options' clamp: NaN takes the lower bound."""
    return F(lo) if v != v else F(min(max(v, F(lo)), F(hi)))


class Ladder:
    def __init__(self, rate=48000, channels=2):
        self.rate, self.channels = rate, channels
        self.cutoff, self.k, self.drive, self.comp, self.mix = F(1000), F(0), F(1), F(0), F(1)
        self.poles, self.oversampling = 4, 2
        self.update()
        self.reset()

    def reset(self):
        self.s = np.zeros((4, self.channels), F)
        self.last = np.zeros(self.channels, F)
        self.before = np.zeros(self.channels, F)
        self.previous = np.zeros(self.channels, F)

    def configure(self, option, value):
        v = narrow(value)
        if option == 0:
            self.cutoff = v
        elif option == 1:
            self.k = clamp(v, 0, 4.2)
        elif option == 2:
            self.drive = clamp(v, 0, 64)
        elif option == 3:
            n = float(v + F(0.5))
            n = 0 if math.isnan(n) else int(max(min(n, 1e12), -1e12))
            self.poles = 1 if n <= 0 else min(n, 4)
        elif option == 4:
            self.comp = clamp(v, 0, 1)
        elif option == 5:
            self.oversampling = 2 if v >= F(1.5) else 1
        else:
            self.mix = clamp(v, 0, 1)
        self.update()

    def update(self):
        R = F(self.oversampling * self.rate)
        f = self.cutoff if self.cutoff >= F(1) else F(1)  # NaN too
        top = F(0.49) * R
        if f > top:
            f = top
        g = tanf(F(3.1415927) * f / R)
        G = g / (g + F(1))
        self.G = G
        self.G4 = G * G * G * G
        self.G4k = self.G4 * self.k
        self.inverse = F(1) / (F(1) + self.G4k)
        self.cubic = self.G4k * self.inverse * F(0.33333334)
        self.gain = F(1) + self.k * self.comp


HITS = np.zeros(3, np.int64)  # lanes x steps through: upper knee, lower knee, iteration


def _step(c, s, last, before, u):
    G, a = c["G"], c["a"]
    S = (((a * s[0] * G + a * s[1]) * G + a * s[2]) * G) + a * s[3]
    h = S + c["G4"] * u
    hi, lo = h - c["knee"], h + c["knee"]
    hp = h * c["inverse"]
    r = F(2) * last - before
    for _ in range(4):
        m = np.clip(r, F(-1), F(1))
        r = m * m * m * c["cubic"] + hp
    up, down = hi >= F(1), lo <= F(-1)
    y = np.where(up, hi, np.where(down, lo, np.clip(r, F(-1), F(1))))
    HITS[:] += [np.sum(up), np.sum(~up & down), np.sum(~up & ~down)]
    q = np.clip(y, F(-1), F(1))
    w = [u - (q - q * q * q * F(0.33333334)) * c["k"]]
    s2 = []
    for i in range(4):
        w.append(w[i] * G + a * s[i])
        s2.append(F(2) * w[i + 1] - s[i])
    out = np.choose(c["poles"] - 1, w[1:])
    return out, np.array(s2), y, last


def process(objects, blocks):
    """Runs each Ladder over its int16 block (frames x channels, equal frame counts); returns the
    int16 outputs."""
    lanes = [(o, ch) for o in objects for ch in range(o.channels)]
    lane = lambda fn, dtype=F: np.array([fn(o) for o, _ in lanes], dtype)
    c = {name: lane(lambda o, n=name: getattr(o, n)) for name in ("G", "G4", "inverse", "cubic", "k")}
    c["a"] = F(1) - c["G"]
    c["knee"] = F(0.6666667) * lane(lambda o: o.G4k)
    c["poles"] = lane(lambda o: o.poles, np.int64)
    twice = lane(lambda o: o.oversampling == 2, bool)
    drive, gain, mix = lane(lambda o: o.drive), lane(lambda o: o.gain), lane(lambda o: o.mix)
    s = np.array([[o.s[i, ch] for o, ch in lanes] for i in range(4)], F)
    last, before, prev = (np.array([getattr(o, n)[ch] for o, ch in lanes], F)
                          for n in ("last", "before", "previous"))
    X = np.concatenate([np.asarray(b, np.int16).reshape(len(b), -1) for b in blocks], axis=1)
    out = np.empty(X.shape, np.int16)
    for n in range(X.shape[0]):
        x = X[n].astype(F) * F(2.0**-15)
        y1 = None
        if twice.any():
            y1, s1, last1, before1 = _step(c, s, last, before, (x + prev) * F(0.5) * drive)
            s, last, before = np.where(twice, s1, s), np.where(twice, last1, last), np.where(twice, before1, before)
        y, s, last, before = _step(c, s, last, before, x * drive)
        if y1 is not None:
            y = np.where(twice, (y1 + y) * F(0.5), y)
        prev = x
        v = ((y * gain - x) * mix + x) * F(32768)
        v = np.trunc(np.where(v < 0, v - F(0.5), v + F(0.5)))
        out[n] = np.clip(v, -32768, 32767).astype(np.int16)
    i = 0
    for o in objects:
        sl = slice(i, i + o.channels)
        o.s, o.last, o.before, o.previous = s[:, sl].copy(), last[sl].copy(), before[sl].copy(), prev[sl].copy()
        i += o.channels
    result, i = [], 0
    for o in objects:
        result.append(out[:, i:i + o.channels].copy())
        i += o.channels
    return result
