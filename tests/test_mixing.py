import array
import math
import sys

import numpy as np
import pytest

import _sonolith as so
from tests.models import mixing as model

pytestmark = pytest.mark.skipif(sys.byteorder != "little", reason="models assume little-endian")


def s16(*values):
    return array.array("h", values).tobytes()


def random_s16(rng, n, extreme=True):
    if extreme:  # bias towards the edges where saturation and overflow live
        choices = np.array([-32768, -32767, -1, 0, 1, 32766, 32767], dtype=np.int16)
        x = rng.integers(-32768, 32768, n).astype(np.int16)
        mask = rng.random(n) < 0.2
        x[mask] = rng.choice(choices, mask.sum())
        return x.tobytes()
    return rng.integers(-32768, 32768, n, dtype=np.int16).tobytes()


# --- mix_s16 -------------------------------------------------------------------------------------


def test_mix_examples():
    assert so.mix_s16(b"", b"") == b""
    assert so.mix_s16(s16(30000, -30000, 5), s16(30000, -30000, -7)) == s16(32767, -32768, -2)
    assert so.mix_s16.__doc__ == "Saturating mix of two native-endian signed 16-bit PCM buffers."


@pytest.mark.parametrize("a,b", [(b"abc", b"abc"), (b"ab", b"abcd"), (b"", b"ab")])
def test_mix_rejects_lengths(a, b):
    with pytest.raises(ValueError, match="^buffers must have the same even byte length$"):
        so.mix_s16(a, b)


def test_mix_matches_model(rng):
    for n in (1, 7, 256, 1001):
        a, b = random_s16(rng, n), random_s16(rng, n)
        assert so.mix_s16(a, b) == model.mix(a, b)


def test_mix_accepts_any_buffer_and_unaligned(rng):
    raw = bytearray(random_s16(rng, 65)) + b"\0"
    view = memoryview(raw)[1:129]  # odd address
    other = array.array("h", range(64))
    assert so.mix_s16(view, other) == model.mix(bytes(view), other.tobytes())


# --- multiply_s16 --------------------------------------------------------------------------------


def test_multiply_examples():
    assert so.multiply_s16(s16(16384, 16384), s16(32767, 32767), 0.5) == s16(16383, 16383)
    sig = s16(100, -200, 32767, -32768)
    mod = s16(32767, 16384, -32768, -32768)
    assert so.multiply_s16(sig, mod, 0.0) == sig
    assert so.multiply_s16(sig, mod, 1.0, 1) == model.multiply(sig, mod, 1.0)


def test_multiply_errors_in_order():
    with pytest.raises(ValueError, match="^channel_count must be 1 or 2$"):
        so.multiply_s16(b"ab", b"abc", 0.5, 3)  # channel count is checked before lengths
    for sig, mod, ch in [(b"abcd", b"ab", 2), (b"ab", b"ab", 2), (b"abc", b"abc", 1)]:
        with pytest.raises(ValueError, match="^buffers must be the same whole number of configured frames$"):
            so.multiply_s16(sig, mod, 0.5, ch)
    with pytest.raises(TypeError):
        so.multiply_s16(b"", b"", "x")


@pytest.mark.parametrize("depth", [-1.0, 0.0, 1e-9, 0.25, 0.5, 0.7071, 0.99999, 1.0, 7.0,
                                   math.inf, -math.inf, math.nan, 1e300, -1e300, 1e-300])
def test_multiply_matches_model(rng, depth):
    a, b = random_s16(rng, 512), random_s16(rng, 512)
    assert so.multiply_s16(a, b, depth, 2) == model.multiply(a, b, depth)


def test_multiply_random_depths(rng):
    for _ in range(50):
        depth = float(rng.uniform(-0.2, 1.2))
        a, b = random_s16(rng, 64), random_s16(rng, 64)
        assert so.multiply_s16(a, b, depth, 1) == model.multiply(a, b, depth)


# --- midside_s16 ---------------------------------------------------------------------------------


def test_midside_examples():
    assert so.midside_s16(s16(1000, 0), 2.0) == s16(1500, -500)
    frame = s16(1234, -4321)
    assert so.midside_s16(frame, 1.0) == frame
    assert so.midside_s16(s16(3, 0), 0.0) == s16(2, 2)
    assert so.midside_s16(s16(5, 7, 9), 0.3, 1) == s16(5, 7, 9)


def test_midside_errors():
    with pytest.raises(ValueError, match="^channel_count must be 1 or 2$"):
        so.midside_s16(b"abc", 1.0, 0)
    for buf, ch in [(b"ab", 2), (b"abc", 1), (b"abcdef", 2)]:
        with pytest.raises(ValueError, match="^buffer must be a whole number of configured frames$"):
            so.midside_s16(buf, 1.0, ch)


@pytest.mark.parametrize("width", [-1.0, 0.0, 0.5, 1.0, 1.37, 1.99999, 2.0, 9.0, math.inf, math.nan,
                                   1e300, -1e300])
def test_midside_matches_model(rng, width):
    a = random_s16(rng, 1024)
    assert so.midside_s16(a, width) == model.midside(a, width)


# --- remix_s16 -----------------------------------------------------------------------------------


def test_remix_examples():
    assert so.remix_s16(s16(-3, 0), 2, 1) == s16(-1)
    assert so.remix_s16(s16(1, 2), 1, 2) == s16(1, 1, 2, 2)
    assert so.remix_s16(s16(1, 2), 2, 2) == s16(1, 2)
    assert so.remix_s16(b"", 2, 1) == b""
    assert so.remix_s16.__doc__.startswith("Interleaved s16 native-endian channel convert")


@pytest.mark.parametrize("src,dst", [(1, 1), (1, 2), (2, 1), (2, 2)])
def test_remix_matches_model(rng, src, dst):
    a = random_s16(rng, 2 * 301)
    assert so.remix_s16(a, src, dst) == model.remix(a, src, dst)
    dest = bytearray(b"\x55" * (len(a) * dst // src + 3))
    assert so.remix_s16(a, src, dst, dest) is dest
    n = len(a) * dst // src
    assert bytes(dest[:n]) == model.remix(a, src, dst)
    assert dest[n:] == b"\x55" * 3  # the rest is untouched


def test_remix_in_place(rng):
    mono = random_s16(rng, 257)
    buf = bytearray(mono) + bytearray(len(mono))
    # source in the first half, stereo result fills the buffer
    so.remix_s16(memoryview(buf)[: len(mono)], 1, 2, buf)
    assert bytes(buf) == model.remix(mono, 1, 2)
    stereo = random_s16(rng, 2 * 257)
    buf = bytearray(stereo)
    so.remix_s16(buf, 2, 1, buf)
    assert bytes(buf[: len(stereo) // 2]) == model.remix(stereo, 2, 1)
    assert bytes(buf[len(stereo) // 2:]) == stereo[len(stereo) // 2:]
    buf = bytearray(stereo)
    so.remix_s16(buf, 2, 2, buf)
    assert bytes(buf) == stereo


def test_remix_errors():
    for src, dst in [(0, 1), (1, 3), (-1, 2)]:
        with pytest.raises(ValueError, match="^channel_count must be 1 or 2$"):
            so.remix_s16(b"ab", src, dst)
    with pytest.raises(ValueError, match="^source must be a whole number of frames$"):
        so.remix_s16(b"abcdef", 2, 1)
    with pytest.raises(ValueError, match="^dest is too small$"):
        so.remix_s16(s16(1, 2), 1, 2, bytearray(7))
    with pytest.raises(BufferError):
        so.remix_s16(s16(1), 1, 1, b"read-only")
    with pytest.raises(OverflowError):
        so.remix_s16(b"", 1 << 40, 1)


# --- meter_db_byte and the table -----------------------------------------------------------------


def test_meter_examples():
    assert so.meter_db_byte(1.0) == 200
    assert so.meter_db_byte(0.0) == 0
    assert so.meter_db_byte(1e-10) == 0
    assert so.meter_db_byte(1000.0) == 255
    assert so.meter_db_byte(0.5) == 194
    assert so.meter_db_byte(-1.0) == 0
    assert so.meter_db_byte(math.nan) == 0
    assert so.meter_db_byte(math.inf) == 255
    # narrowed to single precision first: beyond its range the amplitude is infinite or zero
    assert so.meter_db_byte(1e300) == model.meter_db_byte(1e300) == 255
    assert so.meter_db_byte(-1e300) == model.meter_db_byte(-1e300) == 0
    assert so.meter_db_byte(1e-300) == model.meter_db_byte(1e-300) == 0


def test_meter_thresholds_exact():
    scale = model.db_scale()
    f32 = np.float32
    for i in (0, 1, 100, 199, 200, 254):
        t = float(scale[i])
        assert so.meter_db_byte(t) == i + 1  # exactly on a threshold takes the higher code
        below = float(np.nextafter(f32(t), f32(0)))
        assert so.meter_db_byte(below) == i


def test_meter_matches_model(rng):
    for a in 10.0 ** rng.uniform(-11, 3, 300):
        assert so.meter_db_byte(float(a)) == model.meter_db_byte(float(a))


# --- shared conventions --------------------------------------------------------------------------


def test_views_released_after_errors():
    buf = bytearray(b"abc")
    calls = [
        lambda: so.mix_s16(buf, buf),
        lambda: so.multiply_s16(buf, buf, 0.5, 7),
        lambda: so.multiply_s16(buf, buf, 0.5),
        lambda: so.midside_s16(buf, 1.0),
        lambda: so.remix_s16(buf, 2, 1),
        lambda: so.remix_s16(buf, 2, 3),
        lambda: so.remix_s16(bytearray(4), 2, 2, buf),
        lambda: so.remix_s16(bytearray(4), 2, 2, b"ro"),
        lambda: so.mix_s16(buf, "not a buffer"),
    ]
    for call in calls:
        with pytest.raises((ValueError, TypeError, BufferError)):
            call()
        buf.extend(b"xy")  # raises BufferError if any view were still held
        del buf[-2:]


def test_doubles_beyond_float_range_narrow_like_ieee():
    # 3.4028235677973366e38 is the float maximum plus just under half an ulp: it rounds down to
    # the maximum (1.0 amplitude codes are far below it either way: code 255); 1e39 overflows.
    assert so.meter_db_byte(3.4028235677973362e38) == 255
    assert so.meter_db_byte(-1e39) == 0
    assert so.midside_s16(s16(1000, 0), 1e39) == s16(1500, -500)
    assert so.multiply_s16(s16(16384), s16(32767), -1e39, 1) == s16(16384)
