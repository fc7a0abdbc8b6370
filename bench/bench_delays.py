"""Echo and reverb against pedalboard's Delay and Reverb and a numpy echo, stereo at 48 kHz.

sonolith takes and returns 16-bit PCM; pedalboard works on float32 arrays, which it is handed
ready-made (no conversion is timed on its side). The numpy echo does the same arithmetic as
echo_s16 with fixed speed, vectorised over runs of the delay line.
"""

import numpy as np

import _sonolith as so

try:
    import pedalboard
except ImportError:  # pragma: no cover - the bench extra installs it
    pedalboard = None

RATE = 48000
LONG = RATE * 60  # 60 s of 48 kHz stereo
BLOCK = 256
DELAY = RATE // 4  # 250 ms
FEEDBACK, MIX = 0.5, 1.0


def _knee(v):
    k = 7151
    lo = (((v + 28000) * k) >> 16) - 28000
    hi = (((v - 28000) * k) >> 16) + 28000
    return np.where(v < -28000, lo, np.where(v > 28000, hi, v)).astype(np.int16)


class NumpyEcho:
    """Fixed-speed stereo echo with the caller-held line, the same steps as echo_s16."""

    def __init__(self, delay):
        self.line = np.zeros((delay, 2), np.int16)
        self.head = 0
        self.dry, self.wet = min(2.0 - MIX, 1.0), min(MIX, 1.0)

    def process(self, pcm):
        x = np.frombuffer(pcm, np.int16).reshape(-1, 2)
        out = np.empty_like(x)
        i, n, d = 0, len(x), len(self.line)
        while i < n:
            k = min(d - self.head, n - i)
            xs = x[i:i + k].astype(np.float64)
            c = self.line[self.head:self.head + k].astype(np.float64)
            self.line[self.head:self.head + k] = _knee(np.trunc(c * FEEDBACK + xs).astype(np.int64))
            out[i:i + k] = _knee(np.trunc(self.dry * xs + self.wet * c).astype(np.int64))
            self.head = (self.head + k) % d
            i += k
        return out.tobytes()


def register(bench):
    rng = np.random.default_rng(1)
    for frames, label in ((BLOCK, "256-frame blocks"), (LONG, "60 s 48 kHz stereo")):
        pcm = rng.integers(-20000, 20000, 2 * frames, dtype=np.int16)
        data = pcm.tobytes()
        planar = np.ascontiguousarray((pcm.reshape(-1, 2).T / 32768.0).astype(np.float32))

        mem = bytearray(4 * DELAY)
        pos = [0, 0]

        def echo(data=data, mem=mem, pos=pos):
            out, pos[0], pos[1] = so.echo_s16(data, mem, pos[0], pos[1], DELAY, DELAY, 256, FEEDBACK,
                                              MIX, False, 2)
            return out

        np_echo = NumpyEcho(DELAY)
        impls = {"sonolith": echo, "numpy": lambda d=data, e=np_echo: e.process(d)}
        if pedalboard is not None:
            delay = pedalboard.Delay(delay_seconds=DELAY / RATE, feedback=FEEDBACK, mix=0.5)
            impls["pedalboard.Delay"] = lambda a=planar, p=delay: p.process(a, RATE, reset=False)
        bench.case(f"echo_s16, {label}", frames, impls)

        state = [bytearray(22048 * 2), bytearray(64), bytearray(32), bytearray(3126 * 2), bytearray(32)]
        impls = {"sonolith": lambda d=data, s=state: so.freeverb_s16(d, *s, 0.5, 0.5, 0.33, 2)}
        if pedalboard is not None:
            reverb = pedalboard.Reverb(room_size=0.5, damping=0.5, wet_level=0.33, dry_level=0.4)
            impls["pedalboard.Reverb"] = lambda a=planar, p=reverb: p.process(a, RATE, reset=False)
        bench.case(f"freeverb_s16, {label}", frames, impls)
