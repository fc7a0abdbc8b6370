"""Reference model of MeterState: history rings, the 700 Hz low-pass and decimation, Hann windows,
the real transforms, band sums, decibel lookups and the publication numbering.

Single-precision steps use numpy float32 scalars and arrays (one rounding per operation, as the
native code does); the transforms are vectorised per butterfly stage, which keeps every
operation's operands and order.
"""

import bisect
import math

import numpy as np

F = np.float32
TWO_PI = 6.283185307179586
LN2 = 0.6931471805599453
SCALE = [float(F(10.0 ** ((i - 199.5) / 20.0))) for i in range(255)]
TINY = float(F(1e-10))


def lookup(value):
    v = float(value)
    return bisect.bisect_right(SCALE, v) if v > TINY else 0


def _poly(t):
    u = t * t
    c = 1.0 + u * (-0.5 + u * (0.041666666666666664 + u * (-0.001388888888888889 + u * (
        2.48015873015873e-5 + u * (-2.755731922398589e-7 + u * 2.08767569878681e-9)))))
    s = t * (1.0 + u * (-0.16666666666666666 + u * (0.008333333333333333 + u * (
        -0.0001984126984126984 + u * (2.7557319223985893e-6 + u * (
            -2.505210838544172e-8 + u * 1.6059043836821613e-10))))))
    return s, c


def sincos(x):
    a = abs(x)
    if a >= TWO_PI:
        c = TWO_PI
        while a >= 2.0 * c:
            c *= 2.0
        while True:
            while c > a:
                c *= 0.5
            a = a - c
            if a < TWO_PI:
                break
    angle = -a if x < 0.0 else a
    if angle < 0.0:
        angle += TWO_PI
    if angle <= 1.5707963267948966:
        return _poly(angle)
    if angle <= 3.141592653589793:
        s, c = _poly(3.141592653589793 - angle)
        return s, -c
    if angle <= 4.71238898038469:
        s, c = _poly(angle - 3.141592653589793)
        return -s, -c
    s, c = _poly(TWO_PI - angle)
    return -s, c


# ---------------------------------------------------------------------------------------------
# Real transform


class Plan:
    def __init__(self, n):
        self.n, self.m = n, n // 2
        w = [sincos((k * -TWO_PI) / self.m) for k in range(self.m // 2)]
        v = [sincos((k * -TWO_PI) / n) for k in range(self.m)]
        self.w_re = np.array([c for s, c in w], F)
        self.w_im = np.array([s for s, c in w], F)
        self.v_re = np.array([c for s, c in v], F)
        self.v_im = np.array([s for s, c in v], F)
        bits = self.m.bit_length() - 1
        self.order = np.array([int(format(i, f"0{bits}b")[::-1], 2) for i in range(self.m)])

    def complex_forward(self, re, im):
        re, im = re[self.order], im[self.order]
        m, d = self.m, 2
        while d <= m:
            half = d // 2
            wr = self.w_re[np.arange(half) * (m // d)]
            wi = self.w_im[np.arange(half) * (m // d)]
            re, im = re.reshape(-1, d), im.reshape(-1, d)
            ar, ai, br, bi = re[:, :half], im[:, :half], re[:, half:], im[:, half:]
            tr = br * wr - bi * wi
            ti = br * wi + bi * wr
            re = np.concatenate([ar + tr, ar - tr], axis=1).reshape(-1)
            im = np.concatenate([ai + ti, ai - ti], axis=1).reshape(-1)
            d *= 2
        return re, im

    def real_forward(self, x):
        """x: n float32 values; returns the n/2 + 1 bins as two float32 arrays."""
        zr, zi = self.complex_forward(x[0::2].copy(), x[1::2].copy())
        m = self.m
        yr, yi = zr[(m - np.arange(m)) % m], zi[(m - np.arange(m)) % m]
        d = (zr - yr) * F(-0.5)
        e = (yi + zi) * F(0.5)
        xr = self.v_re * e - self.v_im * d + (yr + zr) * F(0.5)
        xi = self.v_re * d + self.v_im * e + (zi - yi) * F(0.5)
        xr, xi = np.append(xr, F(0)), np.append(xi, F(0))
        xr[0], xi[0] = zr[0] + zi[0], F(0)
        xr[m] = zr[0] - zi[0]
        return xr, xi


# ---------------------------------------------------------------------------------------------
# Meter


def natural_log(x):
    m, e = math.frexp(x)
    if m < 0.7071067811865476:
        m, e = 2.0 * m, e - 1
    z = (m - 1.0) / (m + 1.0)
    z2, p, s = z * z, z, 0.0
    for i in range(1, 16, 2):
        s = s + p / i
        p = p * z2
    return e * LN2 + 2.0 * s


def exp_reduced(x):
    k = math.floor(x / LN2 + 0.5)
    r = x - k * LN2
    total = term = 1.0
    for n in range(1, 15):
        term = (r / n) * term
        total = total + term
    return math.ldexp(total, k)


def window(n):
    w = np.array([F(0.5 - 0.5 * sincos(i * TWO_PI / n)[1]) for i in range(n)], F)
    total = 0.0
    for v in w:
        total += float(v) * float(v)
    return w, F(2.0 / (n * total))


def band_layout(bands, low, high, rate):
    """[(low resolution, first bin, last bin, first fraction, last fraction)] per band."""
    rho = exp_reduced(natural_log(float(high) / float(low)) / bands)
    out, f_lo = [], float(low)
    for _ in range(bands):
        f_hi = f_lo * rho
        lowres = math.sqrt(f_lo * f_hi) < 400.0
        w = rate * 0.0625 * 0.001953125 if lowres else rate * 0.0009765625
        top = 255.0 if lowres else 511.0
        e_hi = min(top + 0.5, f_hi / w)
        e_lo = min(e_hi, max(0.5, f_lo / w))
        first = min(top, math.floor(e_lo + 0.5))
        last = min(top, math.floor(e_hi + 0.5))
        if first == last:
            fractions = (F(e_hi - e_lo), F(0))
        else:
            fractions = (F(first + 0.5 - e_lo), F(e_hi - (last - 0.5)))
        out.append((lowres, int(first), int(last)) + fractions)
        f_lo = f_hi
    return out


class Meter:
    def __init__(self):
        self.pending, self.pending_bands, self.pending_low, self.pending_high = 0, 0, F(0), F(0)
        self.active, self.bands, self.low, self.high, self.designed = False, 0, F(0), F(0), 0
        self.full, self.dec = np.zeros(1024, F), np.zeros(512, F)
        self.full_pos = self.dec_pos = 0
        self.win_full, self.norm_full = window(1024)
        self.win_low, self.norm_low = window(512)
        self.plan_full, self.plan_low = Plan(1024), Plan(512)
        self.filter = [[F(0)] * 7 for _ in range(3)]  # b0 b1 b2 a1 a2 s1 s2
        self.phase = self.hop = self.since = 0
        self.peak, self.sumsq, self.count = F(0), F(0), 0
        self.layout = []
        self.working = [0] * 96
        self.counter, self.published, self.published_peak, self.published_rms = 0, [0] * 96, 0, 0
        self.analyses = 0

    def configure(self, bands, low, high):
        self.pending_bands, self.pending_low, self.pending_high = bands, F(low), F(high)
        self.pending = 1

    def redesign(self, fs):
        self.designed = fs
        w = 4398.22971502571 / fs if fs > 1400 else 2.827433388230814
        sn, cs = sincos(w)
        for i, d in enumerate((1.03528, 1.41422, 3.8637)):
            alpha = sn / d
            a0 = 1.0 + alpha
            b0 = F((1.0 - cs) / 2.0 / a0)
            self.filter[i] = [b0, F((1.0 - cs) / a0), b0, F(-2.0 * cs / a0), F((1.0 - alpha) / a0),
                              F(0), F(0)]
        self.phase = self.since = 0
        self.hop = fs // 60
        if self.bands:
            self.layout = band_layout(self.bands, self.low, self.high, fs)

    def feed(self, pcm, rate, channels=2):
        if self.pending:
            self.low, self.high, self.bands = self.pending_low, self.pending_high, self.pending_bands
            self.active = self.bands != 0
            self.pending = 0
            self.designed = 0
            self.working = [0] * 96
            self.analyses = 0
        x = np.frombuffer(pcm, np.int16).reshape(-1, channels).astype(np.int32)
        if not self.active or len(x) == 0:
            return
        if rate != self.designed:
            self.redesign(rate)
        if channels == 1:
            mono = x[:, 0].astype(F) * F(2.0 ** -15)
        else:
            mono = (x[:, 0] + x[:, 1]).astype(F) * F(2.0 ** -16)
        for a in mono:
            self.sample(a)

    def sample(self, a):
        self.full[self.full_pos] = a
        self.full_pos = (self.full_pos + 1) % 1024
        self.peak = max(self.peak, abs(a))
        self.sumsq = self.sumsq + a * a
        self.count += 1
        y = a
        for f in self.filter:
            b0, b1, b2, a1, a2, s1, s2 = f
            x, y = y, b0 * y + s1
            f[5] = b1 * x - a1 * y + s2
            f[6] = b2 * x - a2 * y
        if self.phase == 15:
            self.dec[self.dec_pos] = y
            self.dec_pos = (self.dec_pos + 1) % 512
            self.phase = 0
        else:
            self.phase += 1
        self.since += 1
        if self.since == self.hop:
            self.analyse()
            self.since = 0

    def power(self, ring, pos, win, plan):
        n = len(ring)
        xr, xi = plan.real_forward(np.roll(ring, -pos) * win)
        p = xr * xr + xi * xi
        p[0] = F(0)
        return p

    def codes(self, power, norm, lowres):
        for j, (flag, first, last, ff, lf) in enumerate(self.layout):
            if flag != lowres:
                continue
            total = power[first] * ff
            if last > first:
                for k in range(first + 1, last):
                    total = total + power[k]
                total = total + power[last] * lf
            self.working[j] = lookup(total * norm * F(2))

    def analyse(self):
        self.codes(self.power(self.full, self.full_pos, self.win_full, self.plan_full),
                   self.norm_full, False)
        if self.layout and self.layout[0][0] and self.analyses % 2 == 0:
            self.codes(self.power(self.dec, self.dec_pos, self.win_low, self.plan_low),
                       self.norm_low, True)
        peak = lookup(self.peak * self.peak)
        rms = lookup(self.sumsq / F(self.count)) if self.count else 0
        self.peak, self.sumsq, self.count = F(0), F(0), 0
        self.counter += 2
        self.published[:self.bands] = self.working[:self.bands]
        self.published_peak, self.published_rms = peak, rms
        self.analyses += 1

    def read(self):
        return (self.counter // 2, bytes(self.published[:self.bands]), self.published_peak,
                self.published_rms)

    def stats(self):
        return (self.active, self.bands, self.analyses, 0, 0, 0, 0)
