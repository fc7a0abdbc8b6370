import array
import math

import numpy as np
import pytest

import _sonolith as so

from .models import modulation as model

CHORUS_MSG = "^invalid chorus parameters$"
PHASER_MSG = "^invalid phaser parameters$"
INF, NAN = math.inf, math.nan


def s16(values):
    return array.array("h", values).tobytes()


def cells(buf):
    return array.array("h", bytes(buf)).tolist()


def blocks(rng, n, even=False):
    """Random block boundaries over n samples (even lengths when `even`)."""
    cuts, i = [], 0
    while i < n:
        k = int(rng.integers(1, 400))
        k += k % 2 if even else 0
        cuts.append((i, min(i + k, n)))
        i += k
    return cuts


# ---------------------------------------------------------------------------------------------
# chorus_s16


def run_chorus(rng, x, L, S, V, wet, idx, ring):
    """The module over random blocks against the model; returns the module's whole output."""
    mem, out = bytearray(s16(ring)), []
    for lo, hi in blocks(rng, len(x)):
        got, new = so.chorus_s16(s16(x[lo:hi]), mem, idx, S, L, V, wet)
        want, idx = model.chorus(x[lo:hi], ring, idx, S, L, V, wet)
        assert (cells(got), new) == (want, idx)
        out += want
    assert cells(mem) == ring
    return out


# spans with q = 1 (every tap on the newest sample), V - 1 = S, V - 1 > S (taps step forward and
# wrap at the ring's end) and S = L
@pytest.mark.parametrize("voices, span", [(1, 1), (1, 50), (2, 1), (2, 37), (3, 2), (3, 4), (4, 3),
                                          (5, 2), (6, 60), (8, 1), (8, 7), (12, 200), (40, 199)])
def test_chorus_matches_model_in_blocks(voices, span):
    rng = np.random.default_rng(voices * 1000 + span)
    L = max(span, int(rng.integers(20, 220)))
    x = rng.integers(-32768, 32768, 3000).tolist()
    ring = rng.integers(-32768, 32768, L).tolist()
    idx = int(rng.integers(0, L))
    wet = float(rng.uniform(-1.5, 1.5))
    streamed = run_chorus(rng, x, L, span, voices, wet, idx, list(ring))
    got, _ = so.chorus_s16(s16(x), bytearray(s16(ring)), idx, span, L, voices, wet)
    assert cells(got) == streamed


@pytest.mark.parametrize("idx, wet", [(10**6 + 3, 0.5), (2**32 - 1, 1.0), (0, NAN), (5, INF),
                                      (5, -INF), (7, 1e300)])
def test_chorus_adversarial_index_and_gain(idx, wet):
    rng = np.random.default_rng(idx % 1000)
    L, x = 50, rng.integers(-32768, 32768, 500).tolist()
    ring = bytearray(2 * L + 6)  # the cells past L stay untouched
    tail = bytes(ring[2 * L:])
    got, new = so.chorus_s16(s16(x), ring, idx, 40, L, 7, wet)
    want, midx = model.chorus(x, [0] * L, idx, 40, L, 7, wet)
    assert (cells(got), new, bytes(ring[2 * L:])) == (want, midx, tail)


def test_chorus_validation():
    ring = bytearray(20)
    assert so.chorus_s16(b"", ring, 3, 10, 10, 2, 1.0) == (b"", 3)  # exactly fitting ring
    assert so.chorus_s16(s16([5]), bytearray(2 << 16), 0, 1, 1 << 16, 65535, 1.0)[1] == 1
    for args in ((b"\0", ring, 0, 5, 10, 2, 1.0), (b"", ring, 0, 5, 10, 0, 1.0),
                 (b"", ring, 0, 5, 10, -3, 1.0), (b"", ring, 0, 0, 10, 2, 1.0),
                 (b"", ring, 0, 11, 10, 2, 1.0), (b"", ring[:19], 0, 5, 10, 2, 1.0),
                 (b"", ring, 0, 5, 0, 2, 1.0), (b"", bytearray(2 << 16), 0, 1, 1 << 16, 65536, 1.0),
                 (b"", bytearray(8), 0, 2**31, 2**31, 2, 1.0)):
        with pytest.raises(ValueError, match=CHORUS_MSG):
            so.chorus_s16(*args)
    ring.extend(b"\0")  # no view is left behind
    with pytest.raises(TypeError):
        so.chorus_s16(b"", bytes(20), 0, 5, 10, 2, 1.0)


# ---------------------------------------------------------------------------------------------
# phaser_s16


def run_phaser(rng, x, channels, stages, params, fb, ap):
    fbm, apm = bytearray(s16(fb)), bytearray(s16(ap))
    for lo, hi in blocks(rng, len(x), even=channels == 2):
        got = so.phaser_s16(s16(x[lo:hi]), fbm, apm, channels, stages, *params)
        assert cells(got) == model.phaser(x[lo:hi], fb, ap, channels, stages, *params)
    assert (cells(fbm), cells(apm)) == (fb, ap)


@pytest.mark.parametrize("stages", [1, 2, 4, 7, 12, 255])
@pytest.mark.parametrize("channels", [1, 2])
def test_phaser_matches_model_in_blocks(stages, channels):
    rng = np.random.default_rng(stages * 3 + channels)
    x = rng.integers(-32768, 32768, 2400).tolist()
    fb = rng.integers(-32768, 32768, channels).tolist()
    ap = rng.integers(-32768, 32768, channels * stages).tolist()
    params = (float(rng.uniform(0.01, 4)), float(rng.uniform(0.3, 2)), float(rng.uniform(-0.95, 0.95)),
              float(rng.uniform(0.02, 1)))
    run_phaser(rng, x, channels, stages, params, fb, ap)


# corner ratios 1 (a = 0), 0 (a = 1), within [-1, 0) (held at 1), below -1, and values whose Q15
# form wraps or is NaN
@pytest.mark.parametrize("corner, rate, fb, mix", [
    (1.0, 1.0, 0.5, 1.0), (0.0, 1.0, 0.9, 1.0), (-0.5, 1.0, 0.3, 1.0), (-1.0, 1.0, 0.3, 1.0),
    (-3.0, 1.0, 0.2, 0.8), (NAN, 1.0, 0.5, 1.0), (INF, 1.0, 0.5, 1.0), (1.0, INF, 0.5, 1.0),
    (0.5, NAN, 0.5, 1.0), (0.5, 1.0, NAN, 1.0), (0.5, 1.0, 3.0, 1.0), (0.5, 1.0, -INF, 1.0),
    (-65535.0, 1.0, -1.0000306, 1.0), (0.5, 1.0, 0.5, 1.9),  # the first: a = fb = -32768
    (0.5, 1.0, 0.5, 1e300), (0.5, 1.0, 0.5, -2.0), (0.5, 1.0, 0.5, 0.011),
])
def test_phaser_adversarial_values_match_model(corner, rate, fb, mix):
    rng = np.random.default_rng(3)
    x = rng.integers(-32768, 32768, 600).tolist()
    run_phaser(rng, x, 2, 5, (corner, rate, fb, mix), [0, 0], [0] * 10)


def test_phaser_low_mix_returns_input_and_keeps_memories():
    x = s16(range(-500, 500, 3))
    fbm, apm = bytearray(s16([7, 8])), bytearray(s16(range(8)))
    assert so.phaser_s16(x, fbm, apm, 2, 4, 0.5, 1.0, 0.5, 0.01) == x
    assert (cells(fbm), cells(apm)) == ([7, 8], list(range(8)))


def test_phaser_validation():
    fb, ap = bytearray(4), bytearray(2 * 2 * 3)
    assert so.phaser_s16(b"", fb, ap, 2, 3, 0.5, 1.0, 0.5, 1.0) == b""  # exactly fitting memories
    for args in ((b"\0", fb, ap, 2, 3, 0.5, 1.0, 0.5, 1.0), (b"", fb, ap, 0, 3, 0.5, 1.0, 0.5, 1.0),
                 (b"", fb, ap, 3, 1, 0.5, 1.0, 0.5, 1.0), (b"", fb, ap, 2, 0, 0.5, 1.0, 0.5, 1.0),
                 (b"", fb, bytearray(1024), 2, 256, 0.5, 1.0, 0.5, 1.0),
                 (b"", fb, ap, 2, 3, 0.5, 0.0, 0.5, 1.0), (b"", fb, ap, 2, 3, 0.5, -INF, 0.5, 1.0),
                 (b"", fb[:3], ap, 2, 3, 0.5, 1.0, 0.5, 1.0),
                 (b"", fb, ap[:11], 2, 3, 0.5, 1.0, 0.5, 1.0)):
        with pytest.raises(ValueError, match=PHASER_MSG):
            so.phaser_s16(*args)
    fb.extend(b"\0")  # no view is left behind
    ap.extend(b"\0")


class View:
    """A window into a shared list, standing for buffers that share bytes."""

    def __init__(self, cells, offset, n):
        self.cells, self.offset, self.n = cells, offset, n

    def __getitem__(self, i):
        return self.cells[self.offset + i]

    def __setitem__(self, i, v):
        self.cells[self.offset + i] = v

    def __iter__(self):
        return (self[i] for i in range(self.n))


def test_phaser_with_overlapping_buffers_runs_in_order():
    rng = np.random.default_rng(9)
    shared = rng.integers(-20000, 20000, 300).tolist()
    mv = memoryview(bytearray(s16(shared)))
    # the feedback memory's buffer covers the all-pass cells, and the input is read from the same
    # bytes, so every sample sees the writes before it
    got = so.phaser_s16(mv[8:208], mv[0:], mv[4:], 2, 6, 0.4, 1.0, 0.6, 0.9)
    want = model.phaser(View(shared, 4, 100), View(shared, 0, 2), View(shared, 2, 12), 2, 6, 0.4, 1.0,
                        0.6, 0.9)
    assert (cells(got), cells(mv)) == (want, shared)


def test_chorus_with_input_inside_its_ring_runs_in_order():
    rng = np.random.default_rng(10)
    shared = rng.integers(-20000, 20000, 120).tolist()
    mv = memoryview(bytearray(s16(shared)))
    got, idx = so.chorus_s16(mv[40:200], mv[0:], 7, 30, 100, 4, 0.8)  # ring cells 0..99
    want, midx = model.chorus(View(shared, 20, 80), View(shared, 0, 100), 7, 30, 100, 4, 0.8)
    assert (cells(got), idx, cells(mv)) == (want, midx, shared)
