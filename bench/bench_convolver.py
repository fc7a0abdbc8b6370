"""The partitioned convolver against pedalboard's Convolution and scipy's oaconvolve, stereo at
48 kHz, with stereo impulses of 0.1 s, 1 s and the longest the convolver holds (131072 frames).

ConvolverState (wet only) takes and returns 16-bit PCM at its fixed latency of 256 frames;
pedalboard's Convolution reads the same impulse from a WAV file this benchmark writes and works
on float32 arrays, handed ready-made. scipy.signal.oaconvolve convolves the whole 60 s buffer
offline in one call (for orientation: no streaming, no latency, float64).

The second table sets the cost of one 256-frame stereo block against the bound its partition
count P sets: per channel one forward and one inverse 512-point transform (the cost of a P = 1
object, per-frame conversion included) plus P spectral multiply-adds of 257 complex bins. It
prints the time per block, the P = 1 time, and the time per complex multiply-add that the rest
implies.
"""

import pathlib
import tempfile

import numpy as np

import _sonolith as so
from common import seconds_per_call

try:
    import pedalboard
    import soundfile
except ImportError:  # pragma: no cover - the bench extra installs them
    pedalboard = soundfile = None
try:
    from scipy import signal
except ImportError:  # pragma: no cover
    signal = None

RATE = 48000
LONG = RATE * 60
BLOCK = 256
IMPULSES = (("0.1 s", RATE // 10), ("1 s", RATE), ("max", 131072))
_TMP = tempfile.TemporaryDirectory(prefix="bench_convolver_")


def _impulse(rng, frames):
    """A decaying stereo noise impulse as int16 frames."""
    env = np.exp(-np.arange(frames) / (frames / 6))[:, None]
    return (rng.standard_normal((frames, 2)) * 4000 * env).clip(-32768, 32767).astype(np.int16)


def _convolver(impulse):
    partitions = -(-len(impulse) // BLOCK)
    conv = so.ConvolverState(RATE, partitions, 2, 2)
    conv.configure(0, 1.0)  # wet only
    conv.load(impulse.tobytes(), 2, 1.0)
    return conv


def _blocks(conv, data):
    """A callable that processes the next 256-frame block of data each call."""
    step, state = BLOCK * 4, [0]

    def run():
        i = state[0]
        if i + step > len(data):
            i = 0
        state[0] = i + step
        return conv.process(data[i:i + step])

    return run


def _pedalboard(impulse, label):
    if pedalboard is None:
        return None
    path = pathlib.Path(_TMP.name) / f"impulse_{label.replace(' ', '_')}.wav"
    soundfile.write(str(path), impulse, RATE, subtype="PCM_16")
    return pedalboard.Convolution(str(path), mix=1.0)


def register(bench):
    rng = np.random.default_rng(1)
    pcm = rng.integers(-20000, 20000, (LONG, 2), dtype=np.int16)
    data = pcm.tobytes()
    planar = np.ascontiguousarray((pcm.T / 32768.0).astype(np.float32))
    blocks = [np.ascontiguousarray(planar[:, i:i + BLOCK]) for i in range(0, 64 * BLOCK, BLOCK)]
    for label, frames in IMPULSES:
        impulse = _impulse(rng, frames)
        conv = _convolver(impulse)
        pb = _pedalboard(impulse, label)
        impls = {"sonolith": _blocks(conv, data)}
        if pb is not None:
            pb.process(blocks[0], RATE, reset=False)
            cursor = [0]

            def pb_block(p=pb, c=cursor):
                c[0] = (c[0] + 1) % len(blocks)
                return p.process(blocks[c[0]], RATE, reset=False)

            impls["pedalboard.Convolution"] = pb_block
        bench.case(f"{label} impulse, 256-frame blocks", BLOCK, impls)

        conv_long = _convolver(impulse)
        impls = {"sonolith": lambda c=conv_long: c.process(data)}
        if pb is not None:
            impls["pedalboard.Convolution"] = lambda p=pb: p.process(planar, RATE, reset=False)
        if signal is not None:
            h = np.ascontiguousarray((impulse.T / 32768.0).astype(np.float32))
            impls["scipy oaconvolve (offline)"] = lambda h=h: signal.oaconvolve(planar, h, axes=1)
        if bench.quick and frames > RATE:
            impls.pop("scipy oaconvolve (offline)", None)
        bench.case(f"{label} impulse, 60 s in one call", LONG, impls)

    def bound_table(out, quick):
        min_time = 0.05 if quick else 0.25
        one = seconds_per_call(_blocks(_convolver(_impulse(rng, 1)), data), min_time)
        out(f"{'impulse':<10} {'P':>4} {'us/block':>9} {'P=1 us':>8} {'ns/cmadd':>9} {'x bound(P=1)':>13}")
        out("-" * 58)
        for label, frames in IMPULSES:
            p = -(-frames // BLOCK)
            t = seconds_per_call(_blocks(_convolver(_impulse(rng, frames)), data), min_time)
            per_mac = (t - one) / ((p - 1) * 257 * 2) if p > 1 else float("nan")
            out(f"{label:<10} {p:>4} {t * 1e6:>9.2f} {one * 1e6:>8.2f} {per_mac * 1e9:>9.3f} "
                f"{t / one:>13.1f}")
        out("(per stereo block: 2 forward + 2 inverse transforms, 2 x P x 257 complex multiply-adds)")
        out("")

    bench.table(bound_table)
