"""Reference model of DynamicsState, one float32 rounding per operation.

Written from the description of the processor: every product, sum and quotient is a numpy float32
scalar operation, and exp, log and sqrt are libm's expf, logf and sqrtf through ctypes, so the
model reproduces the native kernel to the bit. It is slow (pure Python per frame): keep inputs to a
few thousand frames.
"""

from __future__ import annotations

import ctypes
import ctypes.util

import numpy as np

F = np.float32
_libm = ctypes.CDLL(ctypes.util.find_library("m"))
for _name in ("expf", "logf", "sqrtf"):
    getattr(_libm, _name).restype = ctypes.c_float
    getattr(_libm, _name).argtypes = [ctypes.c_float]


def expf(x):
    return F(_libm.expf(float(x)))


def logf(x):
    return F(_libm.logf(float(x)))


def sqrtf(x):
    return F(_libm.sqrtf(float(x)))


SCALE = F(2.0**-15)
FLT_MAX = F(3.4028235e38)

W = [
    [2.8773002e-19, 0.00070575066, -0.0042958641, 0.015120447, -0.042575102, 0.12719643,
     0.97267359, -0.093220197, 0.033178385, -0.011364323, 0.0029442806, -0.00036341196],
    [-8.4613122e-05, 0.0029335355, -0.014677558, 0.047892682, -0.13199158, 0.44931096,
     0.77120799, -0.17081399, 0.062168114, -0.020270795, 0.0046861377, -0.00036088869],
]
W.append(W[1][::-1])
W.append(W[0][::-1])
W = [[F(w) for w in row] for row in W]


def ms_to_coef(t, rate):
    t = F(t)
    if not t > 0:  # NaN counts as a non-positive time
        return F(1)
    return F(1) - expf(F(-1000) / (t * F(rate)))


def hz_to_coef(f, rate):
    f = F(f)
    if not f > 0:
        return F(0)
    return F(1) - expf(F(-6.2831855) * f / F(rate))


def db_to_gain(d):
    return expf(F(d) * F(0.115129255))


def db(v):
    return F(8.685889) * logf(v)


def fmax(a, b):
    return b if b > a else a


def toward(e, v, k):
    return e + (v - e) * k


def trunc_u32(v):
    if v != v:
        return 0
    if v >= 2.0**32:
        return 2**32 - 1
    return int(v)


class Dynamics:
    def __init__(self, mode=0, sample_rate=48000, channel_count=2):
        self.rate = sample_rate
        self.n = channel_count
        self.mode = mode
        self.threshold = F(-24)
        self.ratio = F(4)
        self.knee = F(6)
        self.makeup = F(1)
        self.attack = F(0)
        self.release = F(0)
        self.tr_attack = F(0)
        self.tr_sustain = F(0)
        self.hp = F(0)
        self.lookahead = 0
        self.oversample = 0
        self.pair1 = [F(1), F(50), F(25), F(300)]
        self.dual = False
        self.pair2 = [F(1), F(200), F(25), F(1200)]
        self.tr_hold = 0
        self.rms = False
        self.rms_coef = F(0)
        self.feedback = False
        self.key_relative = False
        self.adaptive = False
        self.lp = F(0)
        self.order = 1
        self.listen = False
        self.range = F(1)
        self.gate_hold = 0
        self.hysteresis = F(0)
        self.smoothing = F(1)
        self.fb_slope = False
        self.capacity = 0
        self.line = []
        self.reset()

    # -- configuration ------------------------------------------------------------------------

    def configure(self, option, value):
        if not 0 <= option <= 33:
            raise ValueError("unknown dynamics option")
        v = F(value)
        nan = v != v
        rate = F(self.rate)
        if option == 0:
            self.threshold = F(-24) if nan else v
        elif option == 1:
            self.ratio = F(1) if nan or v < 1 else v
        elif option == 2:
            self.knee = F(0) if nan or v < 0 else v
        elif option == 3:
            self.makeup = F(1) if nan else db_to_gain(v)
        elif option == 4:
            self.attack = ms_to_coef(v, rate)
        elif option == 5:
            self.release = ms_to_coef(v, rate)
        elif option == 6:
            self.tr_attack = F(0) if nan else v
        elif option == 7:
            self.tr_sustain = F(0) if nan else v
        elif option == 8:
            self.hp = hz_to_coef(v, rate)
        elif option == 9:
            c = F(0) if nan else min(max(v, F(0)), F(50))
            self.lookahead = trunc_u32(rate * c / F(1000))
        elif option == 10:
            self.oversample = 0 if v <= 0 else (1 if v < 2 else 2)
        elif 11 <= option <= 14:
            self.pair1[option - 11] = v
        elif option == 15:
            self.rms = bool(v >= 1)
        elif option == 16:
            self.rms_coef = ms_to_coef(v, rate)
        elif option == 17:
            self.feedback = bool(v != 0)
        elif option == 18:
            self.lp = hz_to_coef(v, rate)
        elif option == 19:
            self.order = 2 if v >= 2 else 1
        elif option == 20:
            self.listen = bool(v != 0)
        elif option == 21:
            self.range = F(1) if nan else v
        elif option == 22:
            self.gate_hold = 0 if not v > 0 else trunc_u32(rate * v / F(1000))
        elif option == 23:
            self.hysteresis = F(0) if nan else abs(v)
        elif option == 24:
            self.key_relative = bool(v != 0)
        elif option == 25:
            self.adaptive = bool(v != 0)
        elif option == 26:
            self.dual = bool(v != 0)
        elif 27 <= option <= 30:
            self.pair2[option - 27] = v
        elif option == 31:
            self.tr_hold = 0 if not v > 0 else trunc_u32(rate * v / F(1000))
        elif option == 32:
            self.smoothing = ms_to_coef(v, rate)
        elif option == 33:
            self.fb_slope = bool(v != 0)
        if self.lookahead > 0 and self.lookahead > self.capacity:
            self.line = [0] * (self.lookahead * self.n)
            self.capacity = self.lookahead
            self.widx = 0

    def set_sample_rate(self, rate):
        self.rate = rate

    def finish(self):
        rate = F(self.rate)
        if self.attack == 0:
            self.attack = F(1) - expf(F(-1000) / (rate * F(10)))
        if self.release == 0:
            self.release = F(1) - expf(F(-1000) / (rate * F(120)))
        if self.rms_coef == 0:
            self.rms_coef = F(1) - expf(F(-1000) / (rate * F(10)))

    def reset(self):
        z = F(0)
        n = 2
        self.hp1, self.hp2, self.lp1, self.lp2 = [z] * n, [z] * n, [z] * n, [z] * n
        self.ms, self.prev = [z] * n, [z] * n
        self.level_env = self.fast1 = self.slow1 = self.last_db = z
        self.key_env = self.fast2 = self.slow2 = self.hold_peak = z
        self.hold_count = 0
        self.gate_state = 0
        self.gate_gain = z
        self.gate_count = 0
        self.h2 = [[z] * 3 for _ in range(n)]
        self.h4 = [[z] * 12 for _ in range(n)]
        self.smoothed = z
        self.primed = False
        self.widx = 0
        self.line = [0] * len(self.line)

    # -- processing ---------------------------------------------------------------------------

    def process(self, data: bytes, key: bytes | None = None) -> bytes:
        with np.errstate(all="ignore"):
            return self._process(data, key)

    def _hold(self, c, release):
        if c >= self.hold_peak:
            self.hold_peak = c
            self.hold_count = self.tr_hold
            return c
        if self.hold_count > 0:
            self.hold_count -= 1
            return self.hold_peak
        self.hold_peak = toward(self.hold_peak, c, release)
        return self.hold_peak

    @staticmethod
    def _balance(fast, slow):
        t = (db(fmax(F(1e-6), fast + F(1e-5))) - db(fmax(F(1e-6), slow + F(1e-5)))) / F(6)
        return min(max(t, F(-1)), F(1))

    def _process(self, data, key):
        n = self.n
        x_all = np.frombuffer(data, np.int16)
        k_all = None if key is None else np.frombuffer(key[: len(data)], np.int16)
        frames = len(x_all) // n
        out = np.zeros(len(x_all), np.int16)
        rate = F(self.rate)
        c11, c12, c13, c14 = (ms_to_coef(t, rate) for t in self.pair1)
        c27, c28, c29, c30 = (ms_to_coef(t, rate) for t in self.pair2)
        L = min(self.lookahead, self.capacity)
        if L > 0 and self.widx >= L:
            self.widx = 0
        gate = self.mode == 3 and self.gate_hold > 0
        if gate:
            open_level = db_to_gain(self.threshold)
            close_level = db_to_gain(self.threshold - self.hysteresis)
            floor_level = db_to_gain(F(-80) if self.range > 0 else self.range)
        T = db_to_gain(self.threshold) if self.adaptive else F(0)
        for i in range(frames):
            x = [F(int(x_all[i * n + c])) * SCALE for c in range(n)]
            a = list(x)
            if L > 0:
                for c in range(n):
                    a[c] = F(self.line[self.widx * n + c]) * SCALE
                    self.line[self.widx * n + c] = int(x_all[i * n + c])
                self.widx = (self.widx + 1) % L
            s = list(x)
            if self.feedback:
                s = list(self.prev[:n])
            elif k_all is not None:
                s = [F(int(k_all[i * n + c])) * SCALE for c in range(n)]
            d = list(s)
            for c in range(n):
                if self.hp > 0:
                    self.hp1[c] = toward(self.hp1[c], d[c], self.hp)
                    d[c] = d[c] - self.hp1[c]
                    if self.order == 2:
                        self.hp2[c] = toward(self.hp2[c], d[c], self.hp)
                        d[c] = d[c] - self.hp2[c]
                if self.lp > 0:
                    self.lp1[c] = toward(self.lp1[c], d[c], self.lp)
                    d[c] = self.lp1[c]
                    if self.order == 2:
                        self.lp2[c] = toward(self.lp2[c], d[c], self.lp)
                        d[c] = self.lp2[c]
            C = F(0)
            if self.rms:
                m = F(0)
                for c in range(n):
                    self.ms[c] = toward(self.ms[c], d[c] * d[c], self.rms_coef)
                    m = fmax(m, self.ms[c])
                C = sqrtf(m)
            else:
                for c in range(n):
                    C = fmax(C, abs(d[c]))
            if self.oversample == 1:
                for c in range(n):
                    h0, h1, h2 = self.h2[c]
                    p = abs(F(0.5625) * h1 - F(0.0625) * h0 + F(0.5625) * h2 - F(0.0625) * d[c])
                    self.h2[c] = [h1, h2, d[c]]
                    C = fmax(C, p)
            elif self.oversample == 2:
                for c in range(n):
                    h = self.h4[c][1:] + [d[c]]
                    self.h4[c] = h
                    for q in range(4):
                        y = W[q][0] * h[0]
                        for k in range(1, 12):
                            y = y + W[q][k] * h[k]
                        C = fmax(C, abs(y))
            E = F(0)
            for c in range(n):
                E = fmax(E, abs(s[c]))

            if self.mode == 4:
                self.fast1 = toward(self.fast1, C, c11 if C > self.fast1 else c12)
                if self.tr_hold > 0 and not self.dual:
                    self.slow1 = self._hold(C, c14)
                else:
                    self.slow1 = toward(self.slow1, C, c13 if C > self.slow1 else c14)
                t1 = self._balance(self.fast1, self.slow1)
                if self.dual:
                    self.fast2 = toward(self.fast2, C, c27 if C > self.fast2 else c28)
                    if self.tr_hold > 0:
                        self.slow2 = self._hold(C, c30)
                    else:
                        self.slow2 = toward(self.slow2, C, c29 if C > self.slow2 else c30)
                    t2 = self._balance(self.fast2, self.slow2)
                    G = fmax(t1, F(0)) * self.tr_attack + (-t2 if t2 < 0 else F(0)) * self.tr_sustain
                else:
                    G = t1 * self.tr_attack if t1 > 0 else -t1 * self.tr_sustain
                g = db_to_gain(G)
            elif gate:
                if C >= open_level and self.gate_state != 2:
                    self.gate_state = 1
                st = self.gate_state
                if st == 1:
                    self.gate_gain = toward(self.gate_gain, F(1), self.attack)
                    if self.gate_gain >= F(0.999):
                        self.gate_gain = F(1)
                        self.gate_state = 2
                        self.gate_count = self.gate_hold
                    gain = self.gate_gain
                elif st == 2:
                    self.gate_gain = F(1)
                    if C >= close_level:
                        self.gate_count = self.gate_hold
                    elif self.gate_count > 0:
                        self.gate_count -= 1
                    else:
                        self.gate_state = 3
                    gain = F(1)
                elif st == 3:
                    self.gate_gain = toward(self.gate_gain, floor_level, self.release)
                    if floor_level + F(1e-6) >= self.gate_gain:
                        self.gate_state = 0
                        self.gate_gain = floor_level
                    gain = self.gate_gain
                else:
                    self.gate_gain = floor_level
                    gain = floor_level
                G = db(fmax(F(1e-6), gain))
                g = gain
            else:
                if C > self.level_env:
                    k = self.attack
                    if self.adaptive and T > 0:
                        r = C / T
                        if r > 1:
                            k = min(F(1), sqrtf(r) * self.attack)
                    self.level_env = toward(self.level_env, C, k)
                else:
                    self.level_env = toward(self.level_env, C, self.release)
                level = db(fmax(F(1e-6), self.level_env + F(1e-6)))
                if self.key_relative:
                    self.key_env = toward(self.key_env, E, self.attack if E > self.key_env else self.release)
                    level = level - db(fmax(F(1e-6), self.key_env + F(1e-6)))
                over = level - self.threshold
                mode = self.mode
                if mode == 1:
                    G = -over if over > 0 else F(0)
                elif mode == 2:
                    floor = F(-60) if self.range > 0 else self.range
                    G = F(0) if over >= 0 else fmax(floor, (self.ratio - F(1)) * over)
                elif mode == 3:
                    floor = F(-80) if self.range > 0 else self.range
                    G = F(0) if over >= 0 else fmax(floor, F(8) * over)
                else:
                    if self.feedback and self.fb_slope:
                        slope = self.ratio - F(1)
                    else:
                        slope = F(1) - F(1) / self.ratio
                    h = self.knee / F(2)
                    if over <= -h:
                        G = F(0)
                    elif over < h and self.knee > 0:
                        G = -slope * ((h + over) * (h + over)) / (F(2) * self.knee)
                    else:
                        G = -slope * over
                g = db_to_gain(G)
            self.last_db = G

            g = g * self.makeup
            if self.smoothing < 1:
                if g != g:
                    g = F(0)
                g = min(g, FLT_MAX)
                if self.primed:
                    g = self.smoothed + (g - self.smoothed) * self.smoothing
                else:
                    self.primed = True
                self.smoothed = g
            for c in range(n):
                v = (d[c] if self.listen else g * a[c]) * F(32768)
                v = min(max(v, F(-32768)), F(32767)) if v == v else F(0)
                out[i * n + c] = int(v)
                if self.feedback:
                    self.prev[c] = v * SCALE
        return out.tobytes()
