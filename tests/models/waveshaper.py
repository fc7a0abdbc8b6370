"""Reference model of the oversampled waveshaper: numpy float32 scalars, one rounding per step."""

import numpy as np

f32 = np.float32
K_A1, K_A2, K_B1, K_B2 = f32(0.090357624), f32(0.57940537), f32(0.3127017), f32(0.85168785)
HALF, ONE, SCALE, FULL = f32(0.5), f32(1), f32(2.0 ** -15), f32(32768)

# (low, high, value taken by NaN) of each configure option
OPTION_RANGES = [(-1000, 1000, 1), (-1, 1, 0), (-1000, 1000, 1), (0, 1, 1), (0, 1, 0), (0, 0.5, 0.02),
                 (-1, 1, 0)]
DEFAULTS = [1, 0, 1, 1, 0, 0.02, 0]


def clamp(v, lo, hi, nan):
    if v != v:
        return f32(nan)
    return f32(lo) if v < f32(lo) else f32(hi) if v > f32(hi) else v


def allpass(x, m, i, k):
    """Section i of a stage memory m: inputs at m[i], outputs at m[i + 4]."""
    y = (x - m[i + 4]) * k + m[i]
    m[i], m[i + 4] = x, y
    return y


def halfband_up(w, m):
    return (allpass(allpass(w, m, 0, K_A1), m, 1, K_A2), allpass(allpass(w, m, 2, K_B1), m, 3, K_B2))


def halfband_down(e, o, m):
    a = allpass(allpass(e, m, 0, K_A1), m, 1, K_A2)
    b = allpass(allpass(o, m, 2, K_B1), m, 3, K_B2)
    y = (a + m[8]) * HALF
    m[8] = b
    return y


class Waveshaper:
    def __init__(self, sample_rate=48000, oversample=4, channels=2):
        self.channels, self.stages = channels, oversample.bit_length() - 1
        self.options = [f32(v) for v in DEFAULTS]
        self.rising = self.falling = f32(0)
        self.points = None
        self.reset()

    def reset(self):
        def zero():
            return [[[f32(0)] * 9 for _ in range(4)] for _ in range(2)]
        self.up, self.down = zero(), zero()
        self.backlash = [f32(0), f32(0)]
        self.zero_run = [0, 0]

    def load_curve(self, data):
        self.points = [int(p) for p in np.frombuffer(data, np.int16)]

    def configure(self, option, value):
        with np.errstate(over="ignore"):
            v = f32(value)
        self.options[option] = clamp(v, *OPTION_RANGES[option])

    def finish(self):
        drive, amount, width, asym = (self.options[i] for i in (0, 4, 5, 6))
        c = min(width * amount * abs(drive), ONE)
        self.rising, self.falling = (asym + ONE) * c, (ONE - asym) * c

    def curve(self, x):
        a = clamp(x, -1, 1, -1)
        p = self.points
        if p is None:
            return a
        n = len(p)
        b = (a + ONE) * HALF * f32(n - 1)
        i = min(int(b), n - 2)
        lo, hi = f32(p[i]) / FULL, f32(p[i + 1]) / FULL
        return lo + (hi - lo) * (b - f32(i))

    def recentre(self):
        if any(self.zero_run[c] < 256 for c in range(self.channels)):
            return False
        for c in range(self.channels):
            if self.options[4] > 0:
                g = self.curve(self.backlash[c]) - self.curve(self.options[1])
                for m in self.down[c][:self.stages]:
                    m[:] = [v - g for v in m]
            self.backlash[c] = self.options[1]
        return True

    def process(self, data):
        drive, bias, gain, mix, amount = self.options[:5]
        x = np.frombuffer(data, np.int16).tolist()
        out = []
        for n, s in enumerate(x):
            c = n % self.channels
            self.zero_run[c] = 0 if s != 0 else min(self.zero_run[c] + 1, 256)
            s = f32(s)
            seq = [s * drive * SCALE + bias]
            for st in range(self.stages):
                seq = [y for w in seq for y in halfband_up(w, self.up[c][st])]
            for j, t in enumerate(seq):
                if amount > 0:
                    v = self.backlash[c]
                    v = t - self.rising if t > v + self.rising else t + self.falling if t < v - self.falling else v
                    self.backlash[c] = t = v
                seq[j] = self.curve(t)
            for st in reversed(range(self.stages)):
                seq = [halfband_down(seq[2 * j], seq[2 * j + 1], self.down[c][st]) for j in range(len(seq) // 2)]
            v = seq[0] * gain * FULL * mix + s * (ONE - mix)
            r = int(v - HALF if v < 0 else v + HALF)
            out.append(max(-32768, min(32767, r)))
        return np.array(out, np.int16).tobytes()
