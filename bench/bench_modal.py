"""The modal resonator bank against scipy.signal.sosfilt running the same bank of two-pole sections.

Each mode is the section b0 / (1 + a1 z^-1 + a2 z^-2); the bank runs every section on the input
and sums the outputs. scipy has no parallel bank, so the peer runs sosfilt once per mode on the
stereo block (a ready-made float32 array of shape (2, frames), the faster of float32 and float64
here) with each section's state carried in zi, and adds the outputs; no conversion to or from
int16 is timed on its side. Modes: log-spaced 80 Hz .. 12 kHz, decays 0.3 .. 2 s, all ringing
on a noise input, so no mode is skipped.
"""

import numpy as np

import _sonolith as so

try:
    from scipy import signal
except ImportError:  # pragma: no cover - the bench extra installs it
    signal = None

RATE = 48000
LONG = RATE * 60
BLOCK = 256
MODE_COUNTS = (8, 32, 64)


def modes(count):
    freqs = 80.0 * (12000.0 / 80.0) ** (np.arange(count) / max(1, count - 1))
    decays = np.linspace(2.0, 0.3, count)
    gains = 0.05 * (-1.0) ** np.arange(count)
    return list(zip(range(count), freqs, decays, gains))


def sections(bank):
    """The sections of the bank as sosfilt rows [b0, 0, 0, 1, a1, a2], from the same formulas."""
    rows = []
    for _, f, t, g in bank:
        w = 2 * np.pi * f / RATE
        r = np.exp(-6.907755278982137 / (t * RATE))
        rows.append([g * np.sin(w), 0.0, 0.0, 1.0, -2 * r * np.cos(w), r * r])
    return np.array(rows, np.float32)


def sonolith_bank(bank):
    state = so.ModalState(RATE, 2, len(bank))
    for m in bank:
        state.set_mode(*m)
    state.finish()
    return state.process


def sosfilt_bank(bank):
    if signal is None:
        return None
    sos = sections(bank)
    zi = np.zeros((len(bank), 1, 2, 2), np.float32)

    def run(x):
        total = None
        for m in range(len(sos)):
            y, zi[m] = signal.sosfilt(sos[m:m + 1], x, axis=-1, zi=zi[m])
            total = y if total is None else total + y
        return total

    return run


def register(bench):
    rng = np.random.default_rng(1)
    for frames, label in ((BLOCK, "256-frame blocks"), (LONG, "60 s stereo")):
        pcm = (rng.standard_normal((frames, 2)) * 3000).clip(-32768, 32767).astype(np.int16)
        data = pcm.tobytes()
        planar = np.ascontiguousarray(pcm.T, np.float32)
        for count in MODE_COUNTS:
            bank = modes(count)
            ours, peer = sonolith_bank(bank), sosfilt_bank(bank)
            bench.case(f"modal bank {count} modes, {label}", frames, {
                "sonolith": lambda d=data, fn=ours: fn(d),
                "scipy sosfilt": peer and (lambda d=planar, fn=peer: fn(d)),
            })
