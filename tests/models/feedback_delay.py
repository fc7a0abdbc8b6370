"""Reference model of FeedbackDelayState and its pitch-shifting read path, one float32 rounding
per operation.

Written from the description of the processor: every product, sum and quotient is a numpy
float32 scalar operation, expf/sinf/powf/floorf are libm's through ctypes, and the anti-alias
design is double precision with the sine and cosine series through w^13 and w^12 (Horner form).
Slow (pure Python per frame): keep runs to a few thousand frames.
"""

from __future__ import annotations

import ctypes
import ctypes.util
import struct

import numpy as np

F = np.float32
_libm = ctypes.CDLL(ctypes.util.find_library("m"))
for _name in ("expf", "sinf", "floorf"):
    getattr(_libm, _name).restype = ctypes.c_float
    getattr(_libm, _name).argtypes = [ctypes.c_float]
_libm.powf.restype = ctypes.c_float
_libm.powf.argtypes = [ctypes.c_float, ctypes.c_float]

ZERO, ONE, HALF = F(0), F(1), F(0.5)
P32 = F(2.0**-32)
HALFTURN = 1 << 31
M32 = 0xFFFFFFFF


def expf(x):
    return F(_libm.expf(float(x)))


def sinf(x):
    return F(_libm.sinf(float(x)))


def clamp(v, lo, hi, nan):
    v = F(v)
    if v != v:
        return F(nan)
    return F(lo) if v < lo else (F(hi) if v > hi else v)


def trunc_f(v):
    return F(np.trunc(v))


def sat_round(v):
    if v > 32767:
        return 32767
    if v < -32768:
        return -32768
    return int(v + HALF) if v >= 0 else int(v - HALF)


def sincos_poly(t):
    u = t * t
    c = 1.0 + u * (-0.5 + u * (0.041666666666666664 + u * (-0.001388888888888889 + u * (
        2.48015873015873e-5 + u * (-2.755731922398589e-7 + u * 2.08767569878681e-9)))))
    s = t * (1.0 + u * (-0.16666666666666666 + u * (0.008333333333333333 + u * (
        -0.0001984126984126984 + u * (2.7557319223985893e-6 + u * (
            -2.505210838544172e-8 + u * 1.6059043836821613e-10))))))
    return s, c


class FeedbackDelay:
    def __init__(self, rate=48000, max_ms=250.0, channels=2):
        self.rate, self.ch = rate, channels
        self.n = max(2, int(rate * max_ms / 1000))
        self.line = [[0] * self.n, [0] * self.n]
        self.delay = self.clamp_delay(F(max_ms) * HALF * F(rate) / F(1000))
        self.feedback, self.mix = F(0.4), F(0.3)
        self.tone_k = self.hp_k = self.osc_k = self.depth = self.cross = self.sat = ZERO
        self.route = [ONE, ONE if channels == 2 else ZERO, ZERO, ZERO]
        self.tone_hz = self.hp_hz = self.wow_hz = ZERO
        self.shape = None  # (buffer object, list of samples, log2 count)
        self.shape_inc = 0
        self.slew, self.ramp_ms, self.trem, self.pitch = ZERO, F(20), ZERO, ZERO
        self.splice_ms = F(25)
        self.X = self.window(self.splice_ms)
        self.pitch_inc, self.aa_active, self.aa_target = 0, False, [ZERO] * 10
        self.reset()

    def reset(self):
        for plane in self.line:
            plane[:] = [0] * self.n
        self.write = 0
        self.tone, self.hp = [ZERO, ZERO], [ZERO, ZERO]
        self.x, self.y = ZERO, ONE
        self.sphase = self.q = 0
        self.off1 = self.off2 = ZERO
        self.cur_delay = self.cur_depth = F(-1)
        self.target = self.dstep = ZERO
        self.counter = 0
        self.in_use = None
        self.pending = False
        self.last_wow = ZERO
        self.wow_stopped = self.engaged = self.pstopped = False
        self.last_k, self.last_inc, self.last_pinc = ZERO, 0, 0
        self.aa_state = [[ZERO] * 4, [ZERO] * 4]
        self.aa_was = False
        self.aa = [ZERO] * 10
        self.asleep, self.silent = False, 0

    # -- options
    def clamp_delay(self, v):
        top = F(self.n - 2)
        if not v >= 1:
            return ONE
        return top if v > top else F(v)

    def pole(self, v):
        if not v > 0:
            return ZERO
        return clamp(ONE - expf(F(-6.2831855) * v / F(self.rate)), 0, 1, 0)

    def window(self, ms):
        a = F(self.n) * F(0.25)
        b = F(self.rate) * ms / F(1000)
        return max(F(16), min(a, b))

    def update_wow(self):
        v, rate = self.wow_hz, F(self.rate)
        k = ZERO if v <= 0 else F(2) * sinf(F(3.1415927) * v / rate)
        self.osc_k = k if k == k else ZERO
        u = v / rate
        with np.errstate(invalid="ignore"):  # an infinite rate gives NaN: no increment
            p = (u - F(_libm.floorf(float(u)))) * F(2.0**32)
        self.shape_inc = int(p) if 0 < p < 2.0**32 else 0

    def ratio(self):
        return F(_libm.powf(2.0, float(self.pitch * F(0.083333336))))

    def update_pitch(self):
        if self.pitch == 0 or not self.X >= 1:
            self.pitch_inc = 0
            return
        v = (ONE - self.ratio()) / self.X * F(2.0**32)
        self.pitch_inc = max(-2**31, min(2**31 - 1, int(v))) if v == v else 0

    def update_aa(self):
        r = self.ratio()
        if not (self.pitch > 0 and r > 1):
            self.aa_active = False
            return
        s, c = sincos_poly(2.199114857512855 / float(r))
        out = []
        for q in (1.082392200292394, 2.613125929752753):
            a = s / q
            b0 = (1.0 - c) / 2.0 / (1.0 + a)
            out += [b0, (1.0 - c) / (1.0 + a), b0, -2.0 * c / (1.0 + a), (1.0 - a) / (1.0 + a)]
        self.aa_target = [F(v) for v in out]
        self.aa_active = True

    def configure(self, option, value):
        if not 0 <= option <= 15:
            raise ValueError("unknown feedback delay option")
        v = F(value)
        nan = v != v
        rate = F(self.rate)
        if option == 0:
            self.delay = self.clamp_delay(rate * v / F(1000))
        elif option == 1:
            self.feedback = clamp(v, 0, F(0.99), 0)
        elif option == 2:
            self.mix = clamp(v, 0, 2, 0)
        elif option == 3:
            self.tone_hz = ZERO if nan else v
            self.tone_k = self.pole(self.tone_hz)
        elif option == 4:
            self.hp_hz = ZERO if nan else v
            self.hp_k = self.pole(self.hp_hz)
        elif option == 5:
            self.wow_hz = ZERO if nan else v
            self.update_wow()
        elif option == 6:
            self.depth = rate * clamp(v, 0, 1000, 0) / F(1000)
        elif option == 7:
            self.cross = clamp(v, 0, 1, 0)
        elif option == 8:
            self.sat = clamp(v, 0, 1, 0)
        elif option == 9:
            b = clamp(v, -1, 1, 0)
            f = -b if b < 0 else ZERO
            g = b if b > 0 else ZERO
            self.route = [ONE - f / F(2) - g, ONE - g / F(2) - f, f / F(2), g / F(2)]
        elif option == 10:
            self.slew = clamp(v, 0, 64, 0)
        elif option == 11:
            self.trem = clamp(v, 0, 1, 0)
        elif option == 12:
            self.pitch = clamp(v, -24, 24, 0)
            self.update_pitch()
            self.update_aa()
        elif option == 13:
            self.splice_ms = clamp(v, 1, 250, 1)
            self.X = self.window(self.splice_ms)
            self.update_pitch()
        elif option == 14:
            self.delay = clamp(v, 1, F(self.n - 2), 1)
        else:
            self.ramp_ms = clamp(v, 0, 60000, 0)

    def finish(self):
        self.tone_k, self.hp_k = self.pole(self.tone_hz), self.pole(self.hp_hz)
        self.update_wow()
        self.X = self.window(self.splice_ms)
        self.update_pitch()
        self.update_aa()

    def set_wow_shape(self, buf):
        if buf is None:
            self.shape = None
            return
        raw = bytes(memoryview(buf).cast("B"))
        samples = list(struct.unpack(f"={len(raw) // 2}h", raw))
        self.shape = (buf, samples, len(samples).bit_length() - 1)

    # -- kernel
    def same_shape(self):
        a, b = self.shape, self.in_use
        return (a is None and b is None) or (a is not None and b is not None and a[0] is b[0])

    def read(self, plane, d):
        top = F(self.n - 2)
        p = ONE if not d >= 1 else (top if d > top else d)
        ip = int(p)
        t = p - F(ip)
        i1 = (self.write + self.n - ip) % self.n
        i2 = (i1 + self.n - 1) % self.n
        a = F(plane[i1])
        return a + F(plane[i2] - plane[i1]) * t

    def splice(self, a, b):
        e, r = int(a), int(b)
        R, N, w = self.rate, self.n, int(self.X)
        n = min(4 * w, R // 100)
        n = max(n, w // 2)
        n = min(n, R // 40)
        s0 = 1 if w < 48 * (R // 3000) else R // 3000
        m0 = min(r, e - n)
        step = (m0 - 1) // 48 if (m0 >= 2 and m0 - 1 < 48 * s0) else s0
        step = step or 1
        lo = 48 * step + 1
        if n <= 0 or r < lo or r > N - 2:
            return ZERO
        plane = self.line[0]

        def slot(q):
            return (self.write + N - q) % N

        def cost(p):
            sr, sp = slot(r), slot(p)
            return sum(abs(plane[(sr + k * step) % N] - plane[(sp + k * step) % N]) for k in range(48))

        best = None
        ts = [0]
        for k in range(6, n + 1, 6):
            ts += [k, -k]
        for t in ts:
            if lo <= e + t <= N - 2:
                c = cost(e + t)
                if best is None or c < best[0]:
                    best = (c, t)
        if best is None:
            return ZERO
        t0 = best[1]
        for i in range(-5, 6):
            v = t0 + i
            if i == 0 or not -n <= v <= n or not lo <= e + v <= N - 2:
                continue
            c = cost(e + v)
            if c < best[0] or (c == best[0] and abs(v) < abs(best[1])):
                best = (c, v)
        return F(best[1])

    def process(self, data):
        frames = len(data) // (2 * self.ch)
        if frames:
            self.asleep, self.silent = False, 0
        samples = struct.unpack(f"={frames * self.ch}h", data)
        return self._run(samples, frames)

    def process_silence(self, frames):
        if frames == 0 or self.asleep:
            return bytes(frames * self.ch * 2)
        out = self._run([0] * (frames * self.ch), frames)
        if any(out):
            self.silent = 0
        else:
            self.silent += frames
            if self.silent >= self.n:
                self.silent = 0
                lim = 2.0**-10
                states = self.tone + self.hp + self.aa_state[0] + self.aa_state[1]
                if all(abs(float(s)) < lim for s in states) and not any(self.line[0]) and not any(self.line[1]):
                    self.tone, self.hp = [ZERO, ZERO], [ZERO, ZERO]
                    self.aa_state = [[ZERO] * 4, [ZERO] * 4]
                    self.asleep = True
        return out

    def _run(self, samples, F_):
        N, C = self.n, self.ch
        # wow source
        if self.osc_k != 0 or self.shape_inc != 0:
            self.wow_stopped = False
            self.last_k, self.last_inc = self.osc_k, self.shape_inc
            mode, k, inc = "run", self.osc_k, self.shape_inc
        elif self.wow_stopped or (self.last_k == 0 and self.last_inc == 0):
            mode, k, inc = "still", ZERO, 0
        else:
            mode, k, inc = "wind", self.last_k, self.last_inc
        # pitch state
        if self.pitch != 0:
            self.engaged, self.pstopped = True, False
            if self.pitch_inc:
                self.last_pinc = self.pitch_inc
            pstep = self.pitch_inc
        else:
            pstep = 0 if self.pstopped else self.last_pinc
        if self.slew == 0 or self.cur_delay == -1:
            self.cur_delay = self.delay
        h = F(self.rate) * self.ramp_ms / F(1000)
        h = max(1, min(int(h), M32))
        if self.cur_depth == -1:
            self.cur_depth = self.target = self.depth
            self.counter, self.in_use, self.pending = 0, self.shape, False
        else:
            if not self.same_shape() and not self.pending:
                if self.cur_depth != 0:
                    self.pending, self.target, self.counter = True, ZERO, h
                    self.dstep = -self.cur_depth / F(h)
                else:
                    self.in_use = self.shape
            if not self.pending and self.depth != self.target:
                self.target, self.counter = self.depth, h
                self.dstep = (self.depth - self.cur_depth) / F(h)
        if not self.hp_k > 0:
            self.hp = [ZERO, ZERO]
        if self.aa_active and not self.aa_was:
            self.aa = list(self.aa_target)
            last = (self.write + N - 1) % N
            for c in range(2):
                J = F(self.line[c][last])
                for s in range(2):
                    b = self.aa[5 * s:5 * s + 5]
                    self.aa_state[c][2 * s] = J - J * b[0]
                    self.aa_state[c][2 * s + 1] = J * b[2] - J * b[4]
            self.aa_was = True
        elif not self.aa_active:
            self.aa_state = [[ZERO] * 4, [ZERO] * 4]
            self.aa_was = False
        ramp = None
        if self.aa_active and F_ > 0 and self.aa != self.aa_target:
            ramp = [(t - v) / F(F_) for t, v in zip(self.aa_target, self.aa)]
        if F_ == 0:
            return b""
        out = []
        gw0 = min(self.mix, ONE)
        gd = min(F(2) - self.mix, ONE)
        raw = [ZERO, ZERO]
        for f in range(F_):
            if ramp is not None:
                if f < F_ - 1:
                    self.aa = [a + d for a, d in zip(self.aa, ramp)]
                else:
                    self.aa = list(self.aa_target)
            # 1. wow
            if not self.wow_stopped:
                self.x = self.x + k * self.y
                self.y = self.y - k * self.x
            if self.in_use is not None:
                _, shp, lg = self.in_use
                if not self.wow_stopped:
                    self.sphase = (self.sphase + inc) & M32
                i = self.sphase >> (32 - lg)
                nx = (i + 1) % len(shp)
                t = F((self.sphase << lg) & M32) * P32
                W = (F(shp[i]) + F(shp[nx] - shp[i]) * t) * F(2.0**-15)
            else:
                W = self.x
            if self.wow_stopped:
                W = ZERO
            if mode == "wind":
                if self.last_wow == 0 or W == 0 or (W > 0) != (self.last_wow > 0):
                    self.wow_stopped = True
                    self.x = ZERO
                    self.y = F(-1) if self.y < 0 else ONE
                    W = ZERO
            self.last_wow = W
            # 2. slew
            a = self.slew
            if a > 0:
                if self.cur_delay < self.delay:
                    self.cur_delay = min(self.cur_delay + a, self.delay)
                elif self.cur_delay > self.delay:
                    self.cur_delay = max(self.cur_delay - a, self.delay)
            # 3. depth ramp
            if self.counter > 0:
                self.counter -= 1
                if self.counter == 0:
                    self.cur_depth = self.target
                    if self.pending:
                        self.in_use, self.pending = self.shape, False
                        if self.depth != 0:
                            self.counter, self.dstep = h, self.depth / F(h)
                        self.target = self.depth
                else:
                    self.cur_depth = self.cur_depth + self.dstep
            # 4. read position
            D = W * self.cur_depth + self.cur_delay
            if not self.engaged:
                rd = [self.read(self.line[c], D) for c in range(C)]
            else:
                rd = self._heads(D, pstep)
            # 7. filters
            w = [ZERO, ZERO]
            for c in range(C):
                v = rd[c]
                raw[c] = v
                if self.tone_k > 0:
                    self.tone[c] = self.tone[c] + (v - self.tone[c]) * self.tone_k
                    v = self.tone[c]
                self.tone[c] = v
                if self.hp_k > 0:
                    self.hp[c] = self.hp[c] + (v - self.hp[c]) * self.hp_k
                    v = v - self.hp[c]
                if self.sat > 0:
                    u = clamp(v / F(32768), -1, 1, 0)
                    v = (u - self.sat * (u * u * u) / F(3)) * F(32768)
                w[c] = v
            # 8. gains
            gw = gw0
            if self.trem > 0:
                gw = gw * (ONE - self.trem * HALF * (ONE - self.x))
            # 9. feedback and output
            ins = [F(samples[f * C + c]) for c in range(C)] + [ZERO]
            for c in range(C):
                o = 1 - c if C == 2 else 1
                s = w[c] * (ONE - self.cross) + w[o] * self.cross
                u = s * self.feedback
                d = abs(s) - abs(u)
                if not (d > F(0.50006104) or (d > HALF and max(abs(w[c]), abs(w[o])) > trunc_f(abs(u) + HALF))):
                    u = trunc_f(u)
                v = ins[c] * self.route[c] + ins[o] * self.route[2 + c] + u
                if self.aa_active:
                    st = self.aa_state[c]
                    for sc in range(2):
                        b0, b1, b2, a1, a2 = self.aa[5 * sc:5 * sc + 5]
                        y = b0 * v + st[2 * sc]
                        st[2 * sc] = b1 * v - a1 * y + st[2 * sc + 1]
                        st[2 * sc + 1] = b2 * v - a2 * y
                        v = y
                self.line[c][self.write] = sat_round(v)
                out.append(sat_round(w[c] * gw + ins[c] * gd))
            self.write = (self.write + 1) % N
        if self.tone_k > 0:
            for c in range(C):
                L = self.tone[c]
                if -64 <= L <= 64 and L + (raw[c] - L) * self.tone_k == L:
                    self.tone[c] = raw[c]
        return struct.pack(f"={len(out)}h", *out)

    def _heads(self, D, step):
        pq = self.q
        q = pq if self.pstopped else (pq + step) & M32
        if self.pitch == 0 and not self.pstopped:
            if (2 * pq) & M32 == 0:
                q, self.pstopped = pq, True
            elif step > 0:
                if pq + step > M32:
                    q, self.pstopped = 0, True
                elif pq < HALFTURN <= q:
                    q, self.pstopped = HALFTURN, True
            elif step < 0:
                if pq + step < 0:
                    q, self.pstopped = 0, True
                elif pq > HALFTURN >= q:
                    q, self.pstopped = HALFTURN, True
        A = F(q) * P32 * self.X + D
        B = F((q - HALFTURN) & M32) * P32 * self.X + D
        if q != pq:
            diff = (q - pq) & M32
            diff = diff - (1 << 32) if diff >= HALFTURN else diff
            if pq == 0 or (diff > 0 and q < pq) or (diff <= 0 and q > pq):
                self.off1 = self.splice(A, B + self.off2)
            if (pq == HALFTURN or (diff <= 0 and pq > HALFTURN and q <= HALFTURN)
                    or (diff > 0 and pq < HALFTURN and q >= HALFTURN)):
                self.off2 = self.splice(B, A + self.off1)
        self.q = q
        K = F(2) * F(q) * P32
        if K > 1:
            K = F(2) - K
        return [self.read(self.line[c], A + self.off1) * K + self.read(self.line[c], B + self.off2) * (ONE - K)
                for c in range(self.ch)]
