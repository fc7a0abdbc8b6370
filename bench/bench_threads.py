"""Thread scaling: 1, 2 (and as many as there are cores) threads, each on its own stream and
object, against running the same streams on one thread.

Each thread processes 10 s of 48 kHz stereo, in 8192-frame calls (long streams) and in 256-frame
blocks. The speedup is the total work done per second with T threads over the same with one
thread; with as many cores as threads the ideal is T. pedalboard's Reverb and Compressor, which
release the GIL while they process, are measured the same way for reference.
"""

from __future__ import annotations

import os
import threading
import time

import numpy as np

import _sonolith as so

try:
    import pedalboard
except ImportError:  # pragma: no cover - the bench extra installs it
    pedalboard = None

RATE = 48000
SECONDS = 10


def stream(seed: int, frames: int) -> bytes:
    rng = np.random.default_rng(seed)
    t = np.arange(frames) / RATE
    x = 12000 * np.sin(2 * np.pi * 220 * t)[:, None] + rng.normal(0, 3000, (frames, 2))
    return np.clip(x, -32768, 32767).astype(np.int16).tobytes()


def freeverb_worker(seed):
    bufs = [bytearray(n * 2) for n in (22048, 32, 16, 3126, 16)]

    def run(block):
        so.freeverb_s16(block, *bufs, 0.8, 0.3, 0.4, 2)

    return run


def echo_worker(seed):
    line = bytearray(12000 * 2 * 2)
    heads = [0, 0]

    def run(block):
        _, heads[0], heads[1] = so.echo_s16(block, line, heads[0], heads[1], 12000, 12000, 256, 0.5, 1.0,
                                            False, 2)

    return run


def mix_worker(seed):
    def run(block):
        so.mix_s16(block, block)

    return run


def dynamics_worker(seed):
    d = so.DynamicsState(0, RATE, 2)
    d.finish()
    return d.process


def biquad_worker(seed):
    b = so.BiquadState()

    def run(block):
        b.process_s16(block, 0, 1000.0, 0.7071, 1.0, RATE, 1.0, 2)

    return run


def pedalboard_worker(kind):
    def make(seed):
        plugin = pedalboard.Reverb(room_size=0.8, damping=0.3) if kind == "reverb" else \
            pedalboard.Compressor(threshold_db=-24, ratio=4)

        def run(block):
            plugin.process(block, RATE, reset=False)

        return run

    return make


WORKERS = {
    "freeverb_s16": freeverb_worker,
    "echo_s16": echo_worker,
    "mix_s16": mix_worker,
    "DynamicsState": dynamics_worker,
    "BiquadState": biquad_worker,
}


def blocks_of(data, block_frames, as_float):
    if as_float:
        x = np.frombuffer(data, np.int16).reshape(-1, 2).T.astype(np.float32) / 32768
        return [np.ascontiguousarray(x[:, i:i + block_frames]) for i in range(0, x.shape[1], block_frames)]
    step = block_frames * 4
    return [data[i:i + step] for i in range(0, len(data), step)]


def timed(make, threads, block_frames, seconds, as_float, passes=1):
    """Seconds for `threads` threads, each running its own object over its own stream `passes`
    times."""
    frames = int(RATE * seconds)
    work = [(make(i), blocks_of(stream(i, frames), block_frames, as_float)) for i in range(threads)]
    barrier = threading.Barrier(threads + 1)

    def body(run, blocks):
        barrier.wait()
        for _ in range(passes):
            for b in blocks:
                run(b)

    ts = [threading.Thread(target=body, args=w) for w in work]
    for t in ts:
        t.start()
    barrier.wait()
    start = time.perf_counter()
    for t in ts:
        t.join()
    return time.perf_counter() - start


def scaling_table(out, quick):
    seconds = 2 if quick else SECONDS
    target = 0.3 if quick else 1.0
    counts = sorted({1, 2, os.cpu_count() or 1})
    workers = dict(WORKERS)
    if pedalboard is not None:
        workers["pedalboard Reverb"] = pedalboard_worker("reverb")
        workers["pedalboard Compressor"] = pedalboard_worker("compressor")
    head = "".join(f"{f'{n} thr x':>10}" for n in counts[1:])
    out(f"{'implementation':<24} {'block':>6} {'1 thr x realtime':>17}{head}")
    out("-" * (48 + 10 * len(counts[1:])))
    for name, make in workers.items():
        as_float = name.startswith("pedalboard")
        for block in (8192, 256):
            # Enough passes over the stream that one thread runs for at least `target` seconds.
            once = timed(make, 1, block, seconds, as_float)
            passes = max(1, round(target / once))
            best = {}
            for n in counts:
                best[n] = min(timed(make, n, block, seconds, as_float, passes) for _ in range(2 if quick else 3))
            realtime = seconds * passes / best[1]
            speedups = "".join(f"{n * best[1] / best[n]:>9.2f}x" for n in counts[1:])
            out(f"{name:<24} {block:>6} {realtime:>17.0f}{speedups}")
    out("")


def register(bench):
    bench.table(scaling_table)
