"""The sample-and-hold decimator, the octave divider and the four-reader splitter ring against what
a Python user would write for the same job, stereo 16-bit at 48 kHz.

- SampleHoldState.process against numpy index arithmetic: the frames taken in a block follow from
  the phase, the taken frames are repeated with numpy.repeat, and the phase carries to the next
  block.
- SubOctaveState.process against a vectorised Schmitt trigger (threshold events forward-filled
  into the trigger state, rising edges counted with a running sum) and a sign flip where the
  divided square wave is low. The hold-off is set to 0 on both sides, which the vectorised
  version cannot express otherwise, so that both compute the same output.
- SplitterRing.write plus four takes against a collections.deque of bytes chunks per reader
  (bounded like the ring): append the chunk to every reader, then pop one chunk for each. The 60 s
  case streams the whole minute through in 256-frame chunks, since the ring holds 8192 frames.
"""

from collections import deque

import numpy as np

import _sonolith as so

RATE = 48000
LONG = RATE * 60  # 60 s of 48 kHz stereo
BLOCK = 256
NUM, DEN = 5, 2
LEVEL = 328  # the divider's default trigger level, Q15


class NumpySampleHold:
    def __init__(self, num, den):
        self.num, self.den, self.phase = num, den, num - den
        self.held = np.uint32(0)

    def process(self, pcm):
        frames = np.frombuffer(pcm, np.uint32)  # a stereo 16-bit frame as one 4-byte word
        n = frames.size
        raw = self.phase + self.den * np.arange(n + 1, dtype=np.int64)
        taken = np.flatnonzero(np.diff(raw // self.num))  # frames where the phase reaches num
        out = np.empty(n, np.uint32)
        if taken.size == 0:
            out[:] = self.held
        else:
            out[:taken[0]] = self.held
            out[taken[0]:] = np.repeat(frames[taken], np.diff(np.append(taken, n)))
            self.held = frames[taken[-1]]
        self.phase = int(raw[-1] % self.num)
        return out.tobytes()


class NumpySubOctave:
    """One octave down, full depth, no hold-off."""

    def __init__(self):
        self.high, self.edges = False, 0

    def process(self, pcm):
        x = np.frombuffer(pcm, np.int16).reshape(-1, 2).astype(np.int32)
        m = (x[:, 0] + x[:, 1]) >> 1
        event = np.where(m > LEVEL, 1, np.where(m < -LEVEL, -1, 0))
        last = np.maximum.accumulate(np.where(event != 0, np.arange(m.size), -1))
        high = np.where(last >= 0, event[np.maximum(last, 0)] == 1, self.high)
        rising = high & ~np.concatenate(([self.high], high[:-1]))
        edges = self.edges + np.cumsum(rising)
        low = (edges & 1) == 1  # the first flip-flop is 0 after an odd number of edges
        out = np.where(low[:, None], np.minimum(-x, 32767), x).astype(np.int16)
        self.high, self.edges = bool(high[-1]), int(edges[-1])
        return out.tobytes()


def register(bench):
    rng = np.random.default_rng(1)
    for frames, label in ((BLOCK, "256-frame blocks"), (LONG, "60 s 48 kHz stereo")):
        t = np.arange(frames)
        sig = 14000 * np.sin(2 * np.pi * 110 * t / RATE) + rng.normal(0, 1500, frames)
        pcm = np.repeat(np.clip(sig, -32768, 32767).astype(np.int16), 2)
        data = pcm.tobytes()

        hold, np_hold = so.SampleHoldState(NUM, DEN), NumpySampleHold(NUM, DEN)
        assert hold.process(data, 4) == np_hold.process(data)
        bench.case(f"SampleHoldState {NUM}/{DEN}, {label}", frames, {
            "sonolith": lambda d=data, h=hold: h.process(d, 4),
            "numpy (repeat)": lambda d=data, h=np_hold: h.process(d),
        })

        sub, np_sub = so.SubOctaveState(), NumpySubOctave()
        sub.configure(3, 0.0)
        assert sub.process(data) == np_sub.process(data)
        bench.case(f"SubOctaveState, {label}", frames, {
            "sonolith": lambda d=data, s=sub: s.process(d),
            "numpy (vectorised)": lambda d=data, s=np_sub: s.process(d),
        })

        chunks = [data[i:i + 4 * BLOCK] for i in range(0, len(data), 4 * BLOCK)]
        ring = so.SplitterRing(4, 2)
        readers = [deque(maxlen=8192 // BLOCK) for _ in range(4)]

        def splitter(chunks=chunks, ring=ring):
            for c in chunks:
                ring.write(c)
                ring.take(0), ring.take(1), ring.take(2), ring.take(3)

        def queues(chunks=chunks, readers=readers):
            for c in chunks:
                for q in readers:
                    q.append(c)
                [q.popleft() for q in readers]

        bench.case(f"SplitterRing write + 4 takes, {label}", frames, {
            "sonolith": splitter, "deque of bytes": queues})
