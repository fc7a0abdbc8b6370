"""Reference model of AllPassF32State: the committed coefficient in double precision, the cascade
with feedback, the per-call linear ramp and the mix, one float32 rounding per operation."""

import numpy as np

from tests.models.biquad_f32 import DEFAULTS, Z, clamp, flush, limit, narrow, round_s16
from tests.models.meter import sincos

F = np.float32


class AllPassF32:
    def __init__(self, rate=48000, channels=2, stages=4):
        self.rate, self.channels, self.stages = rate, channels, stages
        self.frequency, self.feedback, self.mix = DEFAULTS["frequency"], Z, F(1)
        self.coefficient, self.key = Z, None
        self.reset()

    def reset(self):
        self.states = [[Z] * self.stages for _ in range(self.channels)]
        self.fb_state, self.current, self.started = [Z, Z], Z, False

    def configure(self, option, value):
        v = narrow(value)
        if option == 0:
            self.frequency = clamp(v, Z, limit(self.rate), DEFAULTS["frequency"])
        elif option == 1:
            self.feedback = clamp(v, F(-0.99), F(0.99), Z)
        elif option == 2:
            self.mix = clamp(v, Z, F(1), F(1))

    def finish(self):
        key = (self.rate, self.frequency)
        if key != self.key:
            theta = float(min(self.frequency, limit(self.rate))) * 3.141592653589793 / self.rate
            s, c = sincos(theta)
            t = 1e9 if c == 0 else s / c
            self.coefficient = clamp(F((t - 1) / (t + 1)), F(-0.9999), F(0.9999), Z)
            self.key = key

    def coefficient_value(self):
        self.finish()
        return float(self.coefficient)

    def process(self, data):
        x = np.frombuffer(data, np.int16).astype(np.float32).tolist()
        n = len(x) // self.channels
        if n == 0:
            return bytes(data)
        if not self.started:
            self.current, self.started = self.coefficient, True
        h, fb, mix = self.current, self.feedback, self.mix
        dry = F(1) - mix
        step = (self.coefficient - h) / F(n)
        out = []
        for i in range(n):
            for ch in range(self.channels):
                xv = F(x[i * self.channels + ch])
                u = fb * self.fb_state[ch] + xv
                st = self.states[ch]
                for k in range(self.stages):
                    y = h * u + st[k]
                    st[k] = flush(u - h * y)
                    u = y
                self.fb_state[ch] = flush(u)
                out.append(round_s16(xv * dry + u * mix))
            h = h + step
        self.current = self.coefficient
        return np.array(out, np.int16).tobytes()
