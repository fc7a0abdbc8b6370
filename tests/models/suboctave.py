"""Reference model of the octave divider: integer steps, single-precision derived values."""

import numpy as np

f32 = np.float32


@np.errstate(over="ignore")
def holdoff_frames(rate, t):
    r = f32(rate)
    d = f32(f32(r * f32(t)) / f32(1000))
    if not d > 0:
        return 0
    tenth = f32(r / f32(10))
    return int(f32(min(tenth, d) + f32(0.5)))


def q15(v, top):
    if not v > 0:  # NaN too
        return 0
    if v >= 1:
        return top
    return int(f32(f32(v) * f32(32768)) + f32(0.5))


class SubOctave:
    def __init__(self, rate=48000, channels=2):
        self.rate, self.channels = rate, channels
        self.octaves, self.depth, self.level = 1, 32768, 328
        self.holdoff_ms = f32(1.0)
        self.holdoff = holdoff_frames(rate, self.holdoff_ms)
        self.reset()

    def reset(self):
        self.high, self.first, self.second, self.counter = 0, 1, 1, 0

    def configure(self, option, value):
        with np.errstate(over="ignore"):
            v = f32(value)
        if option == 0:
            self.octaves = 2 if v >= 2 else 1
        elif option == 1:
            self.depth = q15(v, 32768)
        elif option == 2:
            self.level = q15(v, 32767)
        elif option == 3:
            self.holdoff_ms = v if v > 0 else f32(0)
            self.holdoff = holdoff_frames(self.rate, self.holdoff_ms)

    def finish(self):
        self.holdoff = holdoff_frames(self.rate, self.holdoff_ms)

    def process(self, data):
        x = np.frombuffer(data, np.int16).astype(np.int64).tolist()
        ch, level = self.channels, self.level
        out = []
        for f in range(0, len(x), ch):
            frame = x[f:f + ch]
            m = frame[0] if ch == 1 else (frame[0] + frame[1]) >> 1
            if self.counter > 0:
                self.counter -= 1
            if self.high and m < -level:
                self.high = 0
            elif not self.high and m > level:
                self.high = 1
                if self.counter == 0:
                    self.counter = self.holdoff
                    self.first ^= 1
                    if self.first == 1:
                        self.second ^= 1
            if (self.first if self.octaves == 1 else self.second) == 1:
                out += frame
            else:
                out += [max(-32768, min(32767, ((32768 - 2 * self.depth) * s) >> 15)) for s in frame]
        return np.array(out, np.int16).tobytes()
