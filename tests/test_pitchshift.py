import array
import math

import numpy as np
import pytest

import _sonolith as so

from .models import pitchshift as model

MSG = "^invalid pitch-shift parameters$"


def s16(values):
    return array.array("h", values).tobytes()


def cells(buf):
    return array.array("h", bytes(buf)).tolist()


def tone(rng, n, channels):
    """A noisy sine, so the splice search has a waveform to match."""
    t = np.arange(n // channels)
    sig = 12000 * np.sin(2 * np.pi * t / float(rng.uniform(20, 90))) + rng.normal(0, 1500, t.size)
    return np.repeat(sig.astype(int), channels).tolist()


def run(rng, x, L, M, channels, rate, mix, frozen, window, line, look, state=(0, 0, 0, 0, False, False),
        stats=None):
    """The module over random whole-frame blocks against the model, state passed back each time;
    returns the concatenated output and the final state."""
    lm, km = bytearray(s16(line)), bytearray(s16(look))
    out, i, mstate = [], 0, state
    while i < len(x):
        k = int(rng.integers(1, 300)) * channels
        blk = x[i:i + k]
        i += k
        W, W2, R, c, X, D = state
        got, *state = so.pitchshift_s16(s16(blk), lm, km, L, M, channels, rate, W, W2, R, mix, frozen,
                                        window, c, X, D)
        want, *mstate = model.pitchshift(blk, line, look, L, M, channels, rate, *mstate[:3], mix, frozen,
                                         window, *mstate[3:], stats=stats)
        assert (cells(got), tuple(state)) == (want, tuple(mstate))
        out += want
    assert (cells(lm), cells(km)) == (line, look)
    return out, tuple(state)


@pytest.mark.parametrize("rate", [128, 200, 255, 256, 257, 300, 384, 512])
@pytest.mark.parametrize("window", [0, 60])
@pytest.mark.parametrize("channels", [1, 2])
def test_matches_model_in_blocks(rate, window, channels):
    rng = np.random.default_rng(rate * 7 + window + channels)
    L, M = int(rng.integers(100, 200)), int(rng.integers(20, 50))
    x = tone(rng, 8000 * channels, channels)
    line = rng.integers(-20000, 20000, L * channels).tolist()
    look = rng.integers(-20000, 20000, M * channels).tolist()
    mix = float(rng.choice([0.5, 1.0, 1.5, 2.0]))
    state = (int(rng.integers(0, L)), int(rng.integers(0, M)), int(rng.integers(0, L * 256)), 0, False,
             False)
    stats = {}
    streamed, end = run(rng, x, L, M, channels, rate, mix, False, window, list(line), list(look), state,
                        stats)
    wraps = 8000 * abs(rate - 256) // (256 * L)  # times the read head laps the write head
    if window and wraps >= 4:
        assert stats["search"] >= wraps // 2 and stats.get("jump", 0) >= 1
    # one call gives what the blocks gave
    got, *one = so.pitchshift_s16(s16(x), bytearray(s16(line)), bytearray(s16(look)), L, M, channels,
                                  rate, *state[:3], mix, False, window, *state[3:])
    assert (cells(got), tuple(one)) == (streamed, end)


@pytest.mark.parametrize("frozen, M", [(True, 40), (True, 0), (False, 0)])
def test_frozen_and_without_lookahead(frozen, M):
    rng = np.random.default_rng(M + frozen)
    L = 200
    x = tone(rng, 4000, 2)
    run(rng, x, L, M, 2, 300, 1.0, frozen, 50, rng.integers(-9000, 9000, 2 * L).tolist(),
        rng.integers(-9000, 9000, 2 * M).tolist(), (3, 1 if M else 77, 900, 5, True, True))


# Positions out of range are reduced into it (the model does the same), as are the splice offset of
# a crossfade in progress and rates above one line per frame; M >= L is accepted.
@pytest.mark.parametrize("L, M, rate, state", [
    (100, 30, 300, (2**32 - 1, 2**32 - 1, 2**32 - 1, 2**32 - 1, True, False)),
    (100, 30, 200, (100, 30, 100 * 256, 100, True, True)),
    (100, 30, 2**32 - 1, (5, 5, 5, 5, False, False)),
    (100, 30, 100 * 256 * 3 + 77, (0, 0, 0, 0, False, False)),
    (50, 50, 300, (10, 10, 10, 10, True, True)),
    (40, 90, 200, (39, 89, 40 * 256 - 1, 39, True, False)),
    (1, 1, 257, (0, 0, 255, 0, False, False)),
])
def test_adversarial_positions_match_model(L, M, rate, state):
    rng = np.random.default_rng(L + M)
    x = tone(rng, 1200, 1)
    line, look = [0] * L, rng.integers(-9000, 9000, M).tolist()
    for mix in (1.0, math.nan, math.inf, -1e300):
        lm, km = bytearray(s16(line)), bytearray(s16(look))
        got, *st = so.pitchshift_s16(s16(x), lm, km, L, M, 1, rate, *state[:3], mix, False, 40,
                                     *state[3:])
        want, *mst = model.pitchshift(x, list(line), list(look), L, M, 1, rate, *state[:3], mix, False, 40,
                                      *state[3:])
        assert (cells(got), st) == (want, mst)


def test_validation():
    line, look = bytearray(2 * 2 * 10), bytearray(2 * 2 * 4)
    args = [b"", line, look, 10, 4, 2, 256, 3, 2, 7, 1.0]
    assert so.pitchshift_s16(*args) == (b"", 3, 2, 7, 0, False, False)  # exactly fitting memories
    # the longest line whose read position fits 32 bits, the longest lookahead that fits the crossfade
    assert so.pitchshift_s16(b"", bytearray(2 * ((1 << 24) - 1)), bytearray(0), (1 << 24) - 1, 0,
                             1, 256, 0, 0, 0, 1.0)[1] == 0
    assert so.pitchshift_s16(b"", bytearray(20), bytearray(2 << 16), 10, 1 << 16, 1, 256, 0, 0, 0, 1.0)
    bad = {0: b"\0", 5: 0, 1: line[:39], 2: look[:15], 3: 0}
    for i, v in bad.items():
        a = list(args)
        a[i] = v
        with pytest.raises(ValueError, match=MSG):
            so.pitchshift_s16(*a)
    for a in ([b"", line, look, 10, 4, 3, 256, 0, 0, 0, 1.0],
              [b"", bytearray(2 << 24), look, 1 << 24, 0, 1, 256, 0, 0, 0, 1.0],
              [b"", line, bytearray(2 * 65537), 10, 65537, 1, 256, 0, 0, 0, 1.0]):
        with pytest.raises(ValueError, match=MSG):
            so.pitchshift_s16(*a)
    line.extend(b"\0")  # no view is left behind
    with pytest.raises(TypeError):
        so.pitchshift_s16(b"", bytes(40), look, 10, 4, 2, 256, 0, 0, 0, 1.0)
