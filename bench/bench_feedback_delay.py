"""FeedbackDelayState.process against pedalboard's Delay, stereo at 48 kHz: plain, with wow, and
with the pitch-shifting read path (against Delay followed by PitchShift, for orientation only:
the two shift pitch by different methods).

sonolith takes and returns 16-bit PCM; pedalboard works on float32 arrays, which it is handed
ready-made (no conversion is timed on its side).
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
DELAY_MS, FEEDBACK = 250.0, 0.5

CONFIGS = {
    "plain": {},
    "wow": {5: 1.5, 6: 2.0},  # wow_hz, wow_depth_ms
    "pitch +7": {12: 7.0},  # pitch_semitones
}


def _state(options):
    d = so.FeedbackDelayState(RATE, 500.0, 2)
    d.configure(0, DELAY_MS)
    d.configure(1, FEEDBACK)
    d.configure(2, 1.0)
    for option, value in options.items():
        d.configure(option, value)
    d.finish()
    return d


def register(bench):
    rng = np.random.default_rng(1)
    for frames, label in ((BLOCK, "256-frame blocks"), (LONG, "60 s 48 kHz stereo")):
        pcm = rng.integers(-20000, 20000, 2 * frames, dtype=np.int16)
        data = pcm.tobytes()
        planar = np.ascontiguousarray((pcm.reshape(-1, 2).T / 32768.0).astype(np.float32))
        for name, options in CONFIGS.items():
            d = _state(options)
            impls = {"sonolith": lambda x=data, s=d: s.process(x)}
            if pedalboard is not None:
                delay = pedalboard.Delay(delay_seconds=DELAY_MS / 1000, feedback=FEEDBACK, mix=0.5)
                impls["pedalboard.Delay"] = lambda a=planar, p=delay: p.process(a, RATE, reset=False)
                if name.startswith("pitch"):
                    chain = pedalboard.Pedalboard([pedalboard.Delay(delay_seconds=DELAY_MS / 1000,
                                                                    feedback=FEEDBACK, mix=0.5),
                                                   pedalboard.PitchShift(semitones=7.0)])
                    impls["pedalboard Delay+PitchShift"] = lambda a=planar, p=chain: p.process(a, RATE, reset=False)
            bench.case(f"FeedbackDelayState {name}, {label}", frames, impls)
