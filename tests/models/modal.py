"""Reference model of the modal resonator bank: coefficients in double precision, the bank in
float32 one operation at a time (vectorised over modes and channels, which are independent), the
per-channel sum added in mode order. It runs every mode: skipping must not change the results."""

import numpy as np

from tests.models.meter import sincos

f32 = np.float32
FLUSH = f32(1e-20)


def clamp(v, lo, hi, nan):
    if v != v:
        return f32(nan)
    return f32(min(max(v, lo), hi))


def narrow(v):
    with np.errstate(over="ignore"):
        return f32(v)


def design(f, t, g, rate):
    if not f > 0:
        return 0.0, 0.0, 0.0
    s, c = sincos(float(f) * 6.283185307179586 / rate)
    h = max(0.0, 6.907755278982137 / (float(t) * rate))
    n = 0
    while h > 0.125 and n < 24:
        h *= 0.5
        n += 1
    y = -h
    r = 1 + y * (1 + y * (0.5 + y * (0.16666666666666666 + y * (0.041666666666666664 + y * (
        0.008333333333333333 + y * (0.001388888888888889 + y * 0.0001984126984126984))))))
    for _ in range(n):
        r = r * r
    return float(g) * s, -2.0 * r * c, r * r


class Modal:
    def __init__(self, rate=48000, channels=2, modes=8):
        self.rate, self.channels, self.m = max(rate, 1), channels, modes
        self.mix, self.gain = f32(1), f32(1)
        self.table = [(f32(100), f32(0.001), f32(0))] * modes
        self.coef = np.zeros((3, modes, 1), f32)
        self.valid = False
        self.reset()

    def reset(self):
        self.s1 = np.zeros((self.m, self.channels), f32)
        self.s2 = np.zeros((self.m, self.channels), f32)

    def configure(self, option, value):
        v = narrow(value)
        if option == 0:
            self.mix = clamp(v, 0, 1, 0)
        else:
            self.gain = clamp(v, 0, 16, 0)

    def set_mode(self, i, f, t, g):
        nyquist = f32(f32(f32(self.rate) * f32(0.5)) * f32(0.999))
        self.table[i] = (clamp(narrow(f), f32(0), nyquist, 0), clamp(narrow(t), f32(0.001), f32(30), 0.001),
                         clamp(narrow(g), f32(-16), f32(16), 0))
        self.valid = False

    def finish(self):
        if not self.valid:
            c = np.array([design(*mode, self.rate) for mode in self.table], np.float64).T
            self.coef = c.astype(f32)[:, :, None]
            self.valid = True

    def silent(self):
        return not (np.any(self.s1 != 0) or np.any(self.s2 != 0))

    def process(self, data):
        x = np.frombuffer(data, np.int16).astype(f32).reshape(-1, self.channels)
        b0, a1, a2 = self.coef
        qg, dry = f32(self.mix * self.gain), f32(f32(1) - self.mix)
        s1, s2 = self.s1, self.s2
        out = np.empty_like(x)
        for n in range(len(x)):
            y = b0 * x[n] + s1
            s1 = s2 - a1 * y
            s2 = -a2 * y
            flush = (np.abs(s1) < FLUSH) & (np.abs(s2) < FLUSH)
            s1[flush] = 0
            s2[flush] = 0
            total = np.add.accumulate(y, axis=0)[-1]
            out[n] = qg * total + dry * x[n]
        self.s1, self.s2 = s1, s2
        with np.errstate(invalid="ignore"):
            r = np.where(out >= 0, out + f32(0.5), out - f32(0.5))
            r = np.clip(np.nan_to_num(np.trunc(r), nan=0.0), -32768, 32767)
        return r.astype(np.int16).tobytes()
