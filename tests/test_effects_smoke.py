import array
import random

import pytest

import _sonolith as so

from .models import distortion as dm
from .models import modulation as mm
from .models import pitchshift as pm


def s16(v):
    return array.array("h", v).tobytes()


def cells(b):
    return array.array("h", bytes(b)).tolist()


@pytest.mark.parametrize("seed", range(8))
def test_distortion_matches_model(seed):
    rng = random.Random(seed)
    x = [rng.randint(-32768, 32767) for _ in range(500)]
    args = (rng.uniform(0, 1), rng.uniform(-6, 12), rng.uniform(-6, 6), seed % 4, seed >= 4, rng.uniform(0, 1))
    assert cells(so.distortion_s16(s16(x), *args)) == dm.distortion(x, *args)


@pytest.mark.parametrize("seed", range(6))
def test_chorus_phaser_match_models(seed):
    rng = random.Random(seed)
    x = [rng.randint(-32768, 32767) for _ in range(800)]
    L = rng.randint(20, 60); S = rng.randint(1, L); V = rng.randint(1, 6)
    ring = [rng.randint(-3000, 3000) for _ in range(L)]
    mem = bytearray(s16(ring)); idx = rng.randrange(L)
    out, i2 = so.chorus_s16(s16(x), mem, idx, S, L, V, 0.7)
    if V - 1 <= S:
        mo, mi = mm.chorus(x, ring, idx, S, L, V, 0.7)
        assert (cells(out), i2, cells(mem)) == (mo, mi, ring)
    ch, st = 1 + seed % 2, rng.randint(1, 8)
    fb, ap = [0] * ch, [0] * (ch * st)
    fbm, apm = bytearray(s16(fb)), bytearray(s16(ap))
    p = (ch, st, rng.uniform(0.01, 3), rng.uniform(0.5, 2), rng.uniform(-0.9, 0.9), rng.uniform(0.2, 1))
    out = so.phaser_s16(s16(x), fbm, apm, *p)
    assert cells(out) == mm.phaser(x, fb, ap, *p)
    assert (cells(fbm), cells(apm)) == (fb, ap)


@pytest.mark.parametrize("seed", range(8))
def test_pitchshift_matches_model(seed):
    rng = random.Random(seed)
    ch = 1 + seed % 2
    L, M = rng.randint(200, 400), rng.randint(20, 60)
    rate = rng.choice([150, 200, 300, 400])
    x = [rng.randint(-20000, 20000) for _ in range(4000)]
    line, look = [0] * (L * ch), [0] * (M * ch)
    lm, km = bytearray(s16(line)), bytearray(s16(look))
    st = (0, 0, 0, 0, False, False)
    window = 0 if seed < 2 else 100
    mst = st
    for lo in range(0, len(x), 2 * 97):
        blk = x[lo:lo + 2 * 97]
        if ch == 2 and len(blk) % 2:
            blk = blk[:-1]
        W, W2, R, c, X, D = st
        out, *st = so.pitchshift_s16(s16(blk), lm, km, L, M, ch, rate, W, W2, R, 1.5, False, window, c, X, D)
        W, W2, R, c, X, D = mst
        mo, *mst = pm.pitchshift(blk, line, look, L, M, ch, rate, W, W2, R, 1.5, False, window, c, X, D)
        assert cells(out) == mo and tuple(st) == tuple(mst)
    assert cells(lm) == line and cells(km) == look


def test_adversarial_values_do_not_crash():
    x = s16(range(-3000, 3000, 7))
    for d in (float("nan"), float("inf"), 1e300, 1.0001, 5.0):
        for mode in range(4):
            so.distortion_s16(x, d, d, 0.0, mode, mode % 2 == 0, 0.5)
    so.distortion_s16(x, 0.5, 0, 0, 0, False, 7.0)
    ring = bytearray(20)
    so.chorus_s16(x, ring, 10**9, 2, 10, 9, float("nan"))
    so.phaser_s16(x, bytearray(2), bytearray(8), 1, 4, -0.5, 1.0, float("inf"), 1.0)
    so.pitchshift_s16(x, bytearray(40), bytearray(8), 20, 4, 1, 2**31, 2**31, 999, 2**32 - 1, 1.0, False, 99, 2**31, True, True)
    so.pitchshift_s16(x, bytearray(40), bytearray(0), 20, 0, 1, 300, 5, 7, 0, 1.0)
    for bad in ((1 << 24, 0), (10, 65537)):
        with pytest.raises(ValueError, match="^invalid pitch-shift parameters$"):
            so.pitchshift_s16(b"", bytearray(2 * bad[0]), bytearray(2 * bad[1]), *bad, 1, 256, 0, 0, 0, 1.0)
    with pytest.raises(ValueError, match="^invalid chorus parameters$"):
        so.chorus_s16(b"", bytearray(2 << 17), 0, 10, 1 << 17, 65536, 1.0)
    with pytest.raises(ValueError, match="^invalid distortion parameters$"):
        so.distortion_s16(b"", 0, 0, 0, -1, False, 1.0)
