import array
import math

import numpy as np
import pytest

import _sonolith as so

from .models import distortion as model

MSG = "^invalid distortion parameters$"
INF, NAN = math.inf, math.nan


def s16(values):
    return array.array("h", values).tobytes()


def cells(buf):
    return array.array("h", bytes(buf)).tolist()


def check(x, *args):
    assert cells(so.distortion_s16(s16(x), *args)) == model.distortion(x, *args)


@pytest.mark.parametrize("mode", range(4))
@pytest.mark.parametrize("limiter", [False, True])
@pytest.mark.parametrize("seed", range(3))
def test_matches_model(mode, limiter, seed):
    rng = np.random.default_rng(seed * 8 + mode * 2 + limiter)
    x = rng.integers(-32768, 32768, 3000 + seed).tolist()  # the 4-sample loop and its tail
    drive = float(rng.uniform(0, 1))
    in_db, out_db = float(rng.uniform(-12, 24)), float(rng.uniform(-12, 12))
    check(x, drive, in_db, out_db, mode, limiter, float(rng.uniform(0, 1)))


# Values outside the ordinary ranges: drives at and beyond the curves' poles (mode 0 from 1.0001
# on raises 0 to a non-positive power, mode 3 at 1.0001 divides by zero), negative drives (the
# bit count taken modulo 32), mixes outside 0..1 (saturated), NaN and infinities.
@pytest.mark.parametrize("drive, in_db, out_db, mix", [
    (1.0001, 0.0, 0.0, 1.0), (1.5, 0.0, 0.0, 1.0), (3.0, 6.0, -6.0, 0.7), (-0.5, 0.0, 0.0, 1.0),
    (0.3, 0.0, 0.0, -1.5), (0.3, 6.0, 6.0, 3.0), (0.5, 0.0, 0.0, 1e300), (NAN, 0.0, 0.0, 1.0),
    (INF, 0.0, 0.0, 1.0), (-INF, 0.0, 0.0, 1.0), (1e300, 0.0, 0.0, 1.0), (0.5, NAN, 0.0, 1.0),
    (0.5, 1e300, 0.0, 1.0), (0.5, -INF, INF, 1.0), (0.5, 0.0, 1e300, 0.5), (0.5, 0.0, 0.0, NAN),
    (0.5, 0.0, 0.0, INF),
])
@pytest.mark.parametrize("mode", range(4))
@pytest.mark.parametrize("limiter", [False, True])
def test_adversarial_values_match_model(drive, in_db, out_db, mix, mode, limiter):
    x = list(range(-32768, 32768, 97)) + [0, 1, -1, 32767, -32768]
    check(x, drive, in_db, out_db, mode, limiter, mix)


def test_worked_values():
    def one(x, drive, mode, limiter=False, mix=1.0):
        return cells(so.distortion_s16(s16(x), drive, 0.0, 0.0, mode, limiter, mix))

    assert one([32767, 16384], 0.0, 0) == [32765, 16382]
    assert one([1000, -1000, 32767], 0.5, 1) == [896, -1024, 32640]
    assert set(one(range(-32768, 32768, 333), 1.0, 1)) <= {-32767, -16384, 0, 16384}
    x = list(range(-30000, 30001, 1000))
    assert one(x, 0.9, 2, mix=0.0) == x  # mix 0 returns the input
    lim = one(range(-32768, 32768, 7), 0.9, 3, limiter=True)
    assert max(map(abs, lim)) < 32767
    assert so.distortion_s16(b"", 0.5, 0.0, 0.0, 0, False, 1.0) == b""


def test_validation():
    buf = bytearray(s16([1, 2, 3]))
    for data, mode in ((buf[:5], 0), (buf, -1), (buf, 4), (buf, 2**31 - 1)):
        with pytest.raises(ValueError, match=MSG):
            so.distortion_s16(data, 0.5, 0.0, 0.0, mode, False, 1.0)
    buf.extend(b"\0\0")  # no view is left behind
    with pytest.raises(OverflowError):
        so.distortion_s16(buf, 0.5, 0.0, 0.0, 2**31, False, 1.0)
    with pytest.raises(TypeError):
        so.distortion_s16(buf, 0.5, 0.0, 0.0, 0, False)


@pytest.mark.parametrize("mode, drive", [(0, 0.7), (1, 0.4), (2, 0.0), (3, 0.8), (3, 1.0001)])
@pytest.mark.parametrize("limiter", [False, True])
def test_long_call_matches_short_calls(mode, drive, limiter):
    # long calls look outputs up in a table of every input value; short calls compute each sample
    rng = np.random.default_rng(mode)
    x = s16(np.concatenate([np.arange(-32768, 32768), rng.integers(-32768, 32768, 9000)]).tolist())
    args = (drive, 4.0, -2.0, mode, limiter, 0.75)
    short = b"".join(so.distortion_s16(x[i:i + 20000], *args) for i in range(0, len(x), 20000))
    assert so.distortion_s16(x, *args) == short


@pytest.mark.parametrize("mode", [0, 2])
def test_outputs_remembered_between_calls_follow_the_settings(mode):
    # modes 0 and 2 keep the outputs of the last settings per thread: every change must show
    rng = np.random.default_rng(mode)
    x = rng.integers(-32768, 32768, 700).tolist()
    settings = [(0.3, 4.0, -2.0, False, 0.8), (0.3, 4.0, -2.0, False, 0.8), (0.6, 4.0, -2.0, False, 0.8),
                (0.6, 4.5, -2.0, False, 0.8), (0.6, 4.5, -1.0, False, 0.8), (0.6, 4.5, -1.0, True, 0.8),
                (0.6, 4.5, -1.0, True, 0.3), (0.6, 4.5, -1.0, True, NAN), (0.6, 4.5, -1.0, True, -0.0),
                (0.6, 4.5, -1.0, True, 0.0), (NAN, 4.5, -1.0, True, 0.3), (0.3, 4.0, -2.0, False, 0.8)]
    for drive, in_db, out_db, limiter, mix in settings:
        check(x[: rng.integers(1, 700)], drive, in_db, out_db, mode, limiter, mix)
        check(x, drive, in_db, out_db, mode, limiter, mix)


def test_threads_with_their_own_settings():
    import threading

    x = s16(np.random.default_rng(5).integers(-32768, 32768, 5000).tolist())
    jobs = [(0.4, 3.0, -1.0, mode, limiter, 0.9) for mode in (0, 2) for limiter in (False, True)]
    expected = [so.distortion_s16(x, *args) for args in jobs]
    failures = []

    def run(i):
        for _ in range(60):
            if so.distortion_s16(x, *jobs[i]) != expected[i]:
                failures.append(i)

    threads = [threading.Thread(target=run, args=(i,)) for i in range(len(jobs))]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    assert not failures
