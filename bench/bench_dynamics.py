"""DynamicsState against pedalboard's Compressor, Limiter and NoiseGate, stereo at 48 kHz.

Both sides stream: sonolith keeps its state in the object, pedalboard is called with reset=False.
sonolith takes the s16 bytes a caller holds; pedalboard takes the float32 (channels, frames) array
its users pass. Lookahead and 4x inter-sample peak detection are reported as separate cases.
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

# option numbers of DynamicsState.configure
THRESHOLD, RATIO, KNEE, ATTACK, RELEASE, LOOKAHEAD, OVERSAMPLE = 0, 1, 2, 4, 5, 9, 10


def _audio(frames, rng):
    t = np.arange(frames) / RATE
    env = 0.05 + 0.9 * (np.sin(2 * np.pi * 1.3 * t) > 0)  # loud and quiet passages
    x = np.stack([env * np.sin(2 * np.pi * f * t) for f in (220.0, 331.0)])
    x += 0.05 * rng.standard_normal(x.shape)
    return np.clip(x, -1, 1).astype(np.float32)


def _ours(mode, extra):
    d = so.DynamicsState(mode, RATE, 2)
    options = {0: {THRESHOLD: -20, RATIO: 4, ATTACK: 5, RELEASE: 100},
               1: {THRESHOLD: -6, RELEASE: 100},
               3: {THRESHOLD: -30, ATTACK: 1, RELEASE: 100}}[mode]
    for option, value in {**options, **extra}.items():
        d.configure(option, value)
    d.finish()
    return d


def _peer(mode):
    if pb is None:
        return None
    if mode == 0:
        return pb.Compressor(threshold_db=-20, ratio=4, attack_ms=5, release_ms=100)
    if mode == 1:
        return pb.Limiter(threshold_db=-6, release_ms=100)
    return pb.NoiseGate(threshold_db=-30, ratio=10, attack_ms=1, release_ms=100)


def register(bench):
    rng = np.random.default_rng(1)
    cases = [
        ("compressor", 0, {}, "Compressor"),
        ("limiter", 1, {}, "Limiter"),
        ("gate", 3, {}, "NoiseGate"),
        ("limiter, 5 ms lookahead", 1, {LOOKAHEAD: 5}, "Limiter"),
        ("limiter, 4x peak oversampling", 1, {OVERSAMPLE: 2}, "Limiter"),
    ]
    for frames, label in ((BLOCK, "256-frame blocks"), (LONG, "60 s")):
        audio = _audio(frames, rng)
        pcm = (audio.T * 32767).astype(np.int16).tobytes()
        for title, mode, extra, peer_name in cases:
            ours = _ours(mode, extra)
            peer = _peer(mode)
            impls = {"sonolith": lambda d=ours, b=pcm: d.process(b)}
            if peer is not None:
                impls[f"pedalboard {peer_name}"] = lambda p=peer, a=audio: p(a, RATE, reset=False)
            bench.case(f"{title}, {label}", frames, impls)
