"""Reference model of the splitter ring: 32-bit counts and 8192 stereo slots, frame by frame."""

import struct

RING, CHUNK, MASK = 8192, 256, 0xFFFFFFFF


class Splitter:
    def __init__(self, taps=2, channels=2, start=0):
        """`start` puts the write count and every read count at that value (a test hook: the
        module gets there through a long run of writes followed by clear())."""
        self.taps, self.channels = taps, channels
        self.write_count = start & MASK
        self.read = [start & MASK] * 4
        self.ring = [(0, 0)] * RING

    def pending(self, tap):
        return (self.write_count - self.read[tap]) & MASK

    def write(self, data):
        n = len(data) // (2 * self.channels)
        n = min(n, RING)
        samples = struct.unpack(f"={n * self.channels}h", data[:n * 2 * self.channels])
        for i in range(n):
            left = samples[i * self.channels]
            right = samples[i * self.channels + self.channels - 1]
            self.ring[self.write_count % RING] = (left, right)
            self.write_count = (self.write_count + 1) & MASK
            for t in range(self.taps):
                if self.pending(t) > RING:
                    self.read[t] = (self.read[t] + 1) & MASK
        return n

    def starved(self, tap):
        return self.pending(tap) == 0

    def take(self, tap):
        p = self.pending(tap)
        if p == 0:
            return b""
        start = self.read[tap] % RING
        n = min(p, RING - start, CHUNK)
        self.read[tap] = (self.read[tap] + n) & MASK
        frames = self.ring[start:start + n]
        if self.channels == 2:
            return struct.pack(f"={2 * n}h", *(s for f in frames for s in f))
        return struct.pack(f"={n}h", *(f[0] for f in frames))

    def clear(self):
        self.read = [self.write_count] * 4
