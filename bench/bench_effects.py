"""Distortion, chorus, phaser and pitch shift against pedalboard's Distortion, Chorus, Phaser and
PitchShift and a numpy version of the distortion curve, stereo at 48 kHz.

sonolith takes and returns 16-bit PCM and keeps its state in the caller's buffers, passed back from
call to call; pedalboard works on planar float32 arrays, handed over ready-made (no conversion is
timed on its side), and keeps its state with reset=False. chorus_s16 is a mono function, so the
stereo chorus runs it once per channel on planar 16-bit channels, each with its own ring. The
numpy distortion computes the same rational overdrive curve as mode 3 (same gains, clamp and mix).
pitchshift_s16 is a plain delay-line shifter with a splice search; pedalboard's PitchShift is a
phase vocoder, a much heavier algorithm, shown for orientation only.
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

DRIVE, IN_DB, OUT_DB, MIX = 0.6, 6.0, -3.0, 0.8
DB = 0.11512925464970228


class NumpyOverdrive:
    """Mode 3 of distortion_s16 without the limiter: (k + 1) u / (k |u| + 1), vectorised."""

    def __init__(self):
        self.pre, self.post = np.exp(IN_DB * DB), np.exp(OUT_DB * DB)
        self.k = 2 * DRIVE / (1.0001 - DRIVE)

    def process(self, pcm):
        s = np.frombuffer(pcm, np.int16).astype(np.float64)
        u = np.trunc(s * self.pre) * 2.0 ** -15
        shaped = (self.k + 1) * u / (self.k * np.abs(u) + 1) * self.post
        m = np.clip(np.trunc(shaped * 32767), -32767, 32767)
        return np.trunc((1 - MIX) * s + MIX * m).astype(np.int16).tobytes()


def _pedal(plugin, planar):
    return lambda a=planar, p=plugin: p.process(a, RATE, reset=False)


def register(bench):
    rng = np.random.default_rng(1)
    for frames, label in ((BLOCK, "256-frame blocks"), (LONG, "60 s 48 kHz stereo")):
        t = np.arange(frames)
        sig = 14000 * np.sin(2 * np.pi * 220 * t / RATE) + rng.normal(0, 2000, frames)
        pcm = np.repeat(sig.astype(np.int16), 2)
        data = pcm.tobytes()
        channels = [np.ascontiguousarray(pcm[c::2]).tobytes() for c in range(2)]
        planar = np.ascontiguousarray((pcm.reshape(-1, 2).T / 32768.0).astype(np.float32))

        for mode, name in ((3, "overdrive"), (2, "saturation")):
            impls = {"sonolith": lambda d=data, m=mode: so.distortion_s16(d, DRIVE, IN_DB, OUT_DB, m, False, MIX)}
            if mode == 3:
                impls["numpy (same curve)"] = lambda d=data, n=NumpyOverdrive(): n.process(d)
            if pedalboard is not None:
                impls["pedalboard.Distortion"] = _pedal(pedalboard.Distortion(drive_db=25), planar)
            bench.case(f"distortion_s16 {name}, {label}", frames, impls)

        ring_len, voices, span = 2048, 3, 960  # taps 0, 479 and 958 samples back (10 and 20 ms)
        rings, idx = [bytearray(2 * ring_len) for _ in range(2)], [0, 0]

        def chorus(chs=channels, rings=rings, idx=idx):
            out = []
            for c in range(2):
                o, idx[c] = so.chorus_s16(chs[c], rings[c], idx[c], span, ring_len, voices, 0.5)
                out.append(o)
            return out

        impls = {"sonolith": chorus}
        if pedalboard is not None:
            impls["pedalboard.Chorus"] = _pedal(pedalboard.Chorus(), planar)
        bench.case(f"chorus_s16 ({voices} voices), {label}", frames, impls)

        stages = 6
        fb, cells = bytearray(4), bytearray(4 * stages)
        impls = {"sonolith": lambda d=data, f=fb, c=cells: so.phaser_s16(d, f, c, 2, stages, 0.3, 1.0, 0.5, 0.5)}
        if pedalboard is not None:
            impls["pedalboard.Phaser"] = _pedal(pedalboard.Phaser(feedback=0.5), planar)
        bench.case(f"phaser_s16 ({stages} stages), {label}", frames, impls)

        L, M = 4096, 256
        line, look = bytearray(4 * L), bytearray(4 * M)
        st = [0, 0, 0, 0, False, False]

        def shift(d=data, line=line, look=look, st=st):
            out, *st[:] = so.pitchshift_s16(d, line, look, L, M, 2, 323, st[0], st[1], st[2], 1.0, False,
                                            64, st[3], st[4], st[5])
            return out

        impls = {"sonolith": shift}
        if pedalboard is not None:
            impls["pedalboard.PitchShift"] = _pedal(pedalboard.PitchShift(semitones=4), planar)
        bench.case(f"pitchshift_s16 (+4 semitones), {label}", frames, impls)
