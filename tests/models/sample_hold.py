"""Reference model of the sample-and-hold decimator, frame by frame in 32-bit unsigned steps."""

import math

MAX_RATIO = 1 << 30


def valid(num, den):
    return num != 0 and den != 0 and den <= num <= MAX_RATIO


class SampleHold:
    def __init__(self, num=1, den=1):
        g = math.gcd(num, den)
        self.num, self.den = num // g, den // g
        self.reset()

    def reset(self):
        self.phase = self.num - self.den
        self.held = bytearray(4)

    def configure(self, num, den):
        g = math.gcd(num, den)
        if (num // g, den // g) != (self.num, self.den):
            self.num, self.den = num // g, den // g
            self.reset()

    def process(self, data, size):
        out = bytearray()
        for i in range(0, len(data), size):
            self.phase = (self.phase + self.den) & 0xFFFFFFFF
            if self.phase >= self.num:
                self.held[:size] = data[i:i + size]
                self.phase -= self.num
            out += self.held[:size]
        return bytes(out)
