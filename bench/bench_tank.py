"""TankState against pedalboard's Reverb, stereo at 48 kHz.

Both sides stream: the tank keeps its lines in the object, pedalboard is called with reset=False.
sonolith takes the s16 bytes a caller holds; pedalboard takes the float32 (channels, frames) array
its users pass. The tank runs its default network with the damping low-pass on; a second case adds
predelay, modulated all-passes and the tilt filter.
"""

import numpy as np

import _sonolith as so

try:
    import pedalboard as pb
except ImportError:  # the table then shows sonolith alone
    pb = None

RATE = 48000
BLOCK = 256
LONG = RATE * 60  # one minute of 48 kHz stereo


def _audio(frames, rng):
    t = np.arange(frames) / RATE
    env = 0.05 + 0.9 * (np.sin(2 * np.pi * 1.3 * t) > 0)
    x = np.stack([env * np.sin(2 * np.pi * f * t) for f in (220.0, 331.0)])
    x += 0.05 * rng.standard_normal(x.shape)
    return np.clip(x, -1, 1).astype(np.float32)


def _tank(modulated):
    tank = so.TankState(RATE, 200.0, 2)
    options = {0: 0.7, 2: 6000.0, 11: 0.5}
    if modulated:
        options.update({5: 20.0, 6: 0.5, 7: 0.8, 10: 2.0})
    for option, value in options.items():
        tank.configure(option, value)
    tank.finish()
    return tank


def register(bench):
    rng = np.random.default_rng(1)
    for frames, label in ((BLOCK, "256-frame blocks"), (LONG, "60 s")):
        audio = _audio(frames, rng)
        pcm = (audio.T * 32767).astype(np.int16).tobytes()
        for title, modulated in (("tank", False), ("tank, predelay + modulation + tilt", True)):
            tank = _tank(modulated)
            impls = {"sonolith": lambda t=tank, b=pcm: t.process(b)}
            if pb is not None:
                reverb = pb.Reverb(room_size=0.7, damping=0.4, wet_level=0.33, dry_level=0.7)
                impls["pedalboard Reverb"] = lambda p=reverb, a=audio: p(a, RATE, reset=False)
            bench.case(f"{title}, {label}", frames, impls)
