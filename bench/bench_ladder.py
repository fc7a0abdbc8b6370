"""The ladder low-pass on 16-bit stereo against pedalboard's LadderFilter (24 dB/octave low-pass).

Both run a resonant 4-pole design at 1 kHz with a little drive and keep their state from block to
block. pedalboard is handed float32 planar arrays ready-made, so no conversion is timed on its
side. LadderState is timed at its default 2x oversampling (two solver passes per sample) and at
1x, which does what pedalboard does per sample."""

import numpy as np

import _sonolith as so

try:
    import pedalboard
except ImportError:  # pragma: no cover - optional peer
    pedalboard = None

RATE = 48000
LONG = RATE * 60  # 60 s of 48 kHz stereo
BLOCK = 256
CUTOFF, RESONANCE, DRIVE = 1000.0, 0.7, 2.0


def sonolith_ladder(oversampling):
    state = so.LadderState(RATE, 2)
    for option, value in ((0, CUTOFF), (1, RESONANCE * 4), (2, DRIVE), (3, 4), (5, oversampling)):
        state.configure(option, value)
    return state.process


def pedalboard_ladder():
    if pedalboard is None:
        return None
    plugin = pedalboard.LadderFilter(mode=pedalboard.LadderFilter.Mode.LPF24, cutoff_hz=CUTOFF,
                                     resonance=RESONANCE, drive=DRIVE)
    return lambda x: plugin.process(x, RATE, reset=False)


def register(bench):
    rng = np.random.default_rng(1)
    for frames, label in ((BLOCK, "256-frame blocks"), (LONG, "60 s stereo")):
        pcm = (rng.standard_normal((frames, 2)) * 6000).clip(-32768, 32767).astype(np.int16)
        data = pcm.tobytes()
        planar = np.ascontiguousarray(pcm.T, np.float32) * np.float32(1 / 32768)
        pb = pedalboard_ladder()
        for oversampling in (2, 1):
            ours = sonolith_ladder(oversampling)
            bench.case(f"ladder 4-pole {oversampling}x, {label}", frames, {
                "sonolith": lambda d=data, fn=ours: fn(d),
                "pedalboard": pb and (lambda x=planar, fn=pb: fn(x)),
            })
