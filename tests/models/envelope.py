"""Reference model of the fixed-point ADSR envelope, in plain Python integers and doubles."""

import math

INT32_MIN, INT32_MAX = -(1 << 31), (1 << 31) - 1


def wrap16(v: int) -> int:
    return ((v + 0x8000) & 0xFFFF) - 0x8000


def trunc32(x: float) -> int:
    """Truncation towards zero to a 32-bit integer; NaN gives 0, beyond the range saturates."""
    if math.isnan(x):
        return 0
    if x <= INT32_MIN:
        return INT32_MIN
    if x >= INT32_MAX + 1:
        return INT32_MAX
    return math.trunc(x)


def round_half_away(x: float) -> float:
    if math.isnan(x) or math.isinf(x):
        return x
    t = math.trunc(x)
    if abs(x - t) >= 0.5:
        t += 1 if x > 0 else -1
    return float(t)


def div_trunc(a: int, b: int) -> int:
    q = abs(a) // abs(b)
    return q if (a < 0) == (b < 0) else -q


def step_size(rate: int, t: float, d: int) -> int:
    n = trunc32(round_half_away(float(rate) * t))
    if n == 0:
        return 32767
    m = div_trunc(abs(d * 256), n)
    m = min(max(m, 1), 32767)
    return -m if d < 0 else m


def define(rate, enabled, attack_time=0.0, decay_time=0.0, release_time=0.0,
           attack_level=1.0, sustain_level=1.0):
    """(attack step, decay step, release step, attack level, sustain level)."""
    if not enabled:
        return (32767, -32767, -32767, 32767, 32767)
    a = wrap16(trunc32(attack_level * 32767.0))
    s = wrap16(trunc32(sustain_level * 32767.0 * attack_level))
    attack = step_size(rate, attack_time, a)
    decay = -step_size(rate, decay_time, wrap16(a - s))
    release = -step_size(rate, release_time, s if s != 0 else a)
    return (attack, decay, release, a, s)


class Envelope:
    def __init__(self, *args, **kwargs):
        self.definition = define(*args, **kwargs)
        self.level = 0
        self.counter = 0
        self.state = 0
        self.step(256)

    def set_definition(self, *args, **kwargs):
        self.definition = define(*args, **kwargs)

    def step(self, samples: int):
        self.counter = (self.counter + (samples & 0xFFFF)) & 0xFFFF
        attack, decay, release, a, s = self.definition
        a_u, s_u = a & 0xFFFF, s & 0xFFFF
        while self.counter >= 256:
            self.counter -= 256
            if self.state == 0:
                t = self.level + attack
                if t < a_u:
                    self.level = wrap16(t)
                else:
                    self.level, self.state = a, 1
            elif self.state == 1:
                t = self.level + decay
                if t > s_u:
                    self.level = wrap16(t)
                else:
                    self.level, self.state = s, 2
            elif self.state == 3:
                t = self.level + release
                self.level = wrap16(0 if t < 0 else t)

    def release(self):
        self.state = 3

    def reattack(self):
        self.state = 0
