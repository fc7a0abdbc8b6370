"""The single-precision filters on 16-bit stereo at 48 kHz against what a Python user would
otherwise pick, every implementation keeping its state from block to block:

- BiquadF32State (a +6 dB peak at 1 kHz) against scipy.signal.sosfilt of the same coefficients
  (int16 -> float, state in zi, clipped back to int16) and pedalboard's PeakFilter (int16 ->
  float32 in -1..1, reset=False, scaled and clipped back);
- AllPassF32State (4 and 16 stages at 1 kHz, feedback 0.5, mix 0.5) against pedalboard's Phaser
  (its own fixed cascade with feedback and an LFO) and a cascade of first-order scipy.signal.lfilter
  all-passes with the same coefficient (without the feedback loop, which lfilter cannot close
  sample by sample, so the peer does less work).

The peers' int16 conversions are timed: they are what a user holding 16-bit PCM has to do.
"""

import numpy as np

import _sonolith as so

RATE = 48000
LONG = RATE * 60  # 60 s of 48 kHz stereo
BLOCK = 256

try:
    from scipy import signal
except ImportError:  # pragma: no cover - optional peer
    signal = None
try:
    import pedalboard
except ImportError:  # pragma: no cover - optional peer
    pedalboard = None


def to_int16(y, scale=1.0):
    if scale != 1.0:
        y = y * np.float32(scale)
    return np.clip(y, -32768, 32767).astype(np.int16).tobytes()


def biquad_sonolith():
    f = so.BiquadF32State(RATE, 2)
    for option, value in [(0, 4), (1, 1000.0), (2, 0.7071), (3, 6.0)]:
        f.configure(option, value)
    f.finish()
    return f, f.process


def biquad_scipy(coefficients):
    if signal is None:
        return None
    b0, b1, b2, a1, a2 = coefficients
    sos = np.array([[b0, b1, b2, 1.0, a1, a2]])
    zi = np.zeros((1, 2, 2))

    def run(block):
        nonlocal zi
        x = np.frombuffer(block, np.int16).reshape(-1, 2).astype(np.float32)
        y, zi = signal.sosfilt(sos, x, axis=0, zi=zi)
        return to_int16(y)

    return run


def biquad_pedalboard():
    if pedalboard is None:
        return None
    plugin = pedalboard.PeakFilter(cutoff_frequency_hz=1000.0, gain_db=6.0, q=0.7071)

    def run(block):
        x = np.frombuffer(block, np.int16).reshape(-1, 2).T * np.float32(1 / 32768)
        return to_int16(plugin.process(x, RATE, reset=False).T, 32768)

    return run


def allpass_sonolith(stages):
    f = so.AllPassF32State(RATE, 2, stages)
    for option, value in [(0, 1000.0), (1, 0.5), (2, 0.5)]:
        f.configure(option, value)
    f.finish()
    return f, f.process


def allpass_pedalboard():
    if pedalboard is None:
        return None
    plugin = pedalboard.Phaser(rate_hz=1.0, depth=0.5, centre_frequency_hz=1000.0, feedback=0.5, mix=0.5)

    def run(block):
        x = np.frombuffer(block, np.int16).reshape(-1, 2).T * np.float32(1 / 32768)
        return to_int16(plugin.process(x, RATE, reset=False).T, 32768)

    return run


def allpass_scipy(h, stages):
    if signal is None:
        return None
    b, a = [h, 1.0], [1.0, h]
    zi = np.zeros((stages, 1, 2))

    def run(block):
        x = np.frombuffer(block, np.int16).reshape(-1, 2).astype(np.float32)
        y = x
        for k in range(stages):
            y, zi[k] = signal.lfilter(b, a, y, axis=0, zi=zi[k])
        return to_int16(0.5 * x + 0.5 * y)

    return run


def register(bench):
    rng = np.random.default_rng(1)
    for frames, label in ((BLOCK, "256-frame blocks"), (LONG, "60 s stereo")):
        data = (rng.standard_normal(2 * frames) * 6000).clip(-32768, 32767).astype(np.int16).tobytes()
        f, ours = biquad_sonolith()
        sos, pb = biquad_scipy(f.coefficients()), biquad_pedalboard()
        bench.case(f"biquad f32 peak +6dB, {label}", frames, {
            "sonolith": lambda d=data, fn=ours: fn(d),
            "scipy sosfilt": sos and (lambda d=data, fn=sos: fn(d)),
            "pedalboard PeakFilter": pb and (lambda d=data, fn=pb: fn(d)),
        })
        for stages in (4, 16):
            f, ours = allpass_sonolith(stages)
            lf, ph = allpass_scipy(f.coefficient(), stages), allpass_pedalboard()
            bench.case(f"all-pass f32 {stages} stages, {label}", frames, {
                "sonolith": lambda d=data, fn=ours: fn(d),
                "scipy lfilter cascade": lf and (lambda d=data, fn=lf: fn(d)),
                "pedalboard Phaser": ph and (lambda d=data, fn=ph: fn(d)),
            })
