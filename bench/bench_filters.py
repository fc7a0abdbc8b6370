"""The fixed-point biquad on 16-bit stereo against the filters a Python user would otherwise pick:
scipy.signal.lfilter (int16 -> float64, state carried in zi, clipped back to int16) and
pedalboard's second-order filters (int16 -> float32 in -1..1, state kept by reset=False, scaled
and clipped back to int16). Every implementation keeps its filter state from block to block."""

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

# (label, sonolith type, pedalboard class name, frequency, q, linear gain A)
DESIGNS = [
    ("peak +6dB", 4, "PeakFilter", 1000.0, 0.7071, 10 ** (6 / 40)),
    ("low shelf +6dB", 5, "LowShelfFilter", 200.0, 0.7071, 10 ** (6 / 40)),
]


def cookbook(type_, f, q, A):
    """Float coefficients of the same design, for lfilter."""
    w = 2 * np.pi * f / RATE
    c, s = np.cos(w), np.sin(w)
    alpha = s / (2 * q)
    if type_ == 4:
        b = [1 + alpha * A, -2 * c, 1 - alpha * A]
        a = [1 + alpha / A, -2 * c, 1 - alpha / A]
    else:
        k = 2 * np.sqrt(A) * alpha
        b = [A * ((A + 1) - (A - 1) * c + k), 2 * A * ((A - 1) - (A + 1) * c), A * ((A + 1) - (A - 1) * c - k)]
        a = [(A + 1) + (A - 1) * c + k, -2 * ((A - 1) + (A + 1) * c), (A + 1) + (A - 1) * c - k]
    return np.array(b) / a[0], np.array(a) / a[0]


def sonolith_filter(type_, f, q, A):
    state = so.BiquadState()
    return lambda block: state.process_s16(block, type_, f, q, A, RATE, 1.0, 2)


def scipy_filter(type_, f, q, A):
    if signal is None:
        return None
    b, a = cookbook(type_, f, q, A)
    zi = np.zeros((2, 2))

    def run(block):
        nonlocal zi
        x = np.frombuffer(block, np.int16).reshape(-1, 2).astype(np.float64)
        y, zi = signal.lfilter(b, a, x, axis=0, zi=zi)
        return np.clip(y, -32768, 32767).astype(np.int16).tobytes()

    return run


def pedalboard_filter(cls_name, f, A):
    if pedalboard is None:
        return None
    plugin = getattr(pedalboard, cls_name)(cutoff_frequency_hz=f, gain_db=40 * np.log10(A), q=0.7071)

    def run(block):
        x = np.frombuffer(block, np.int16).reshape(-1, 2).T * np.float32(1 / 32768)
        y = plugin.process(x, RATE, reset=False)
        return np.clip(y.T * np.float32(32768), -32768, 32767).astype(np.int16).tobytes()

    return run


def register(bench):
    rng = np.random.default_rng(1)
    for frames, label in ((BLOCK, "256-frame blocks"), (LONG, "60 s stereo")):
        data = (rng.standard_normal(2 * frames) * 6000).clip(-32768, 32767).astype(np.int16).tobytes()
        for title, type_, cls_name, f, q, A in DESIGNS:
            ours = sonolith_filter(type_, f, q, A)
            lf = scipy_filter(type_, f, q, A)
            pb = pedalboard_filter(cls_name, f, A)
            bench.case(f"biquad s16 {title}, {label}", frames, {
                "sonolith": lambda d=data, fn=ours: fn(d),
                "scipy lfilter": lf and (lambda d=data, fn=lf: fn(d)),
                "pedalboard": pb and (lambda d=data, fn=pb: fn(d)),
            })
