import array
import math

import pytest

import _sonolith as so

from .conftest import SANITIZED
from .models import echo as model

ECHO_MSG = "invalid echo parameters"
TAP_MSG = "invalid multi-tap parameters"


def s16(values):
    return array.array("h", values).tobytes()


def cells(buf):
    return array.array("h", bytes(buf)).tolist()


def echo(inp, mem, *args):
    return so.echo_s16(s16(inp), mem, *args)


def rand_s16(rng, n, scale=32768):
    return rng.integers(-scale, scale, n).tolist()


# ---------------------------------------------------------------------------------------------
# Validation


@pytest.mark.parametrize(
    "inp, mem_bytes, delay, capacity, channels, variable",
    [
        (b"\0", 8, 4, 4, 1, False),  # odd input
        (b"", 8, 4, 4, 0, False),
        (b"", 16, 4, 4, 3, False),
        (b"", 8, 0, 4, 1, False),  # delay 0
        (b"", 10, 5, 4, 1, False),  # delay above capacity
        (b"", 7, 4, 4, 1, False),  # memory one byte short (mono)
        (b"", 15, 4, 4, 2, False),  # memory one byte short (stereo)
        (b"", 2 << 24, 1 << 24, 1 << 24, 1, True),  # delay × 256 beyond 32 bits
    ],
)
def test_echo_rejects(inp, mem_bytes, delay, capacity, channels, variable):
    mem = bytearray(mem_bytes)
    with pytest.raises(ValueError, match=f"^{ECHO_MSG}$"):
        so.echo_s16(inp, mem, 0, 0, delay, capacity, 256, 0.5, 1.0, variable, channels)
    mem.extend(b"\0\0")  # no view is left behind


def test_echo_accepts_boundaries():
    for channels in (1, 2):
        mem = bytearray(4 * 2 * channels)
        out, p0, p1 = so.echo_s16(b"", mem, 3, 2, 4, 4, 256, 0.5, 1.0, False, channels)
        assert (out, p0, p1) == (b"", 3, 2)
    # the largest delay whose variable-speed position fits 32 bits
    d = (1 << 24) - 1
    assert so.echo_s16(b"", bytearray(2 * d), 0, 0, d, d, 256, 0.5, 1.0, True, 1)[1:] == (0, 0)


def test_echo_argument_errors():
    with pytest.raises(TypeError):
        so.echo_s16(b"", b"\0" * 8, 0, 0, 4, 4, 256, 0.5, 1.0, False, 1)  # read-only memory
    with pytest.raises(TypeError):
        so.echo_s16(b"", bytearray(8), 0, 0, 4, 4, 256, 0.5, 1.0, False)


# ---------------------------------------------------------------------------------------------
# Reference model


def _echo_case(rng, channels, variable, n):
    delay = int(rng.integers(1, 300))
    capacity = delay + int(rng.integers(0, 20))
    mem = rand_s16(rng, capacity * channels, 20000)
    modulus = delay * 256 if variable else delay
    pos = [int(rng.integers(0, modulus)) for _ in range(2)]
    speed = int(rng.choice([0, 1, 77, 255, 256, 257, 300, 700, 2048, delay * 256 * 3 + 5]))
    feedback = float(rng.uniform(-1.3, 1.3))
    mix = float(rng.uniform(-0.5, 2.5))
    inp = rand_s16(rng, n)
    return inp, mem, capacity, delay, pos, speed, feedback, mix


@pytest.mark.parametrize("channels", [1, 2])
@pytest.mark.parametrize("variable", [False, True])
def test_echo_matches_model(rng, channels, variable):
    for _ in range(6):
        n = int(rng.integers(1500, 2500)) | 1  # odd counts: stereo ends on channel 0
        inp, mem, capacity, delay, pos, speed, fb, mix = _echo_case(rng, channels, variable, n)
        buf = bytearray(s16(mem))
        got = echo(inp, buf, pos[0], pos[1], delay, capacity, speed, fb, mix, variable, channels)
        want, w0, w1 = model.echo(inp, mem, pos[0], pos[1], delay, capacity, speed, fb, mix,
                                  variable, channels)
        assert cells(got[0]) == want
        assert got[1:] == (w0, w1)
        assert cells(buf) == mem


@pytest.mark.parametrize("channels", [1, 2])
@pytest.mark.parametrize("variable", [False, True])
def test_echo_streaming(rng, channels, variable):
    n = 6000 if not SANITIZED else 2000
    inp, mem, capacity, delay, pos, speed, fb, mix = _echo_case(rng, channels, variable, n)
    whole = bytearray(s16(mem))
    ref = echo(inp, whole, pos[0], pos[1], delay, capacity, speed, fb, mix, variable, channels)
    parts = bytearray(s16(mem))
    out, i, p0, p1 = [], 0, pos[0], pos[1]
    while i < n:
        step = int(rng.integers(0, 300)) * channels
        o, p0, p1 = echo(inp[i:i + step], parts, p0, p1, delay, capacity, speed, fb, mix, variable,
                         channels)
        out.append(o)
        i += step
    assert b"".join(out) == ref[0]
    assert (p0, p1) == ref[1:]
    assert parts == whole


def test_echo_variable_speed_256_is_fixed_speed(rng):
    inp = rand_s16(rng, 1001)
    mem = bytearray(s16(rand_s16(rng, 2 * 64)))
    mem2 = bytearray(mem)
    fixed = so.echo_s16(s16(inp), mem, 5, 17, 50, 64, 999, 0.7, 1.3, False, 2)
    var = so.echo_s16(s16(inp), mem2, 5 * 256, 17 * 256, 50, 64, 256, 0.7, 1.3, True, 2)
    assert var[0] == fixed[0] and mem == mem2
    assert var[1:] == (fixed[1] * 256, fixed[2] * 256)


def test_echo_plain_delay_and_dry():
    inp = list(range(-20000, 20000, 997))
    mem = bytearray(s16([11, 22, 33] * 2))
    out, p0, p1 = echo(inp, mem, 0, 0, 3, 3, 256, 0.0, 2.0, False, 2)
    left, right = cells(out)[0::2], cells(out)[1::2]
    assert left == [11, 22, 33] + inp[0::2][:-3]
    assert right == [11, 22, 33] + inp[1::2][:-3]
    loud = [32767, -32768, 28000, 28001, -5]
    out, _, _ = echo(loud, bytearray(8), 0, 0, 4, 4, 256, 0.5, 0.0, False, 1)
    assert cells(out) == [28520, -28521, 28000, 28000, -5]


def test_echo_mono_leaves_second_position():
    out, p0, p1 = echo([1, 2, 3], bytearray(8), 1, 123456, 4, 4, 256, 0.5, 1.0, False, 1)
    assert (p0, p1) == (0, 123456)


def test_echo_speed_passing_the_line_many_times(rng):
    # One sample passes the whole line thousands of times: exact and quick.
    for fb in (0.5, -0.9, 1.7, -3.3, 1e9, float("nan")):
        inp = rand_s16(rng, 40)
        mem = rand_s16(rng, 6)
        buf = bytearray(s16(mem))
        speed = 3 * 256 * 1000 + 300
        got = echo(inp, buf, 10, 0, 3, 3, speed, fb, 1.0, True, 2)
        want = model.echo(inp, mem, 10, 0, 3, 3, speed, fb, 1.0, True, 2)
        assert (cells(got[0]), got[1], got[2]) == (want[0], want[1], want[2])
        assert cells(buf) == mem
    # the largest advance: 2^24 cells per sample on a one-cell line
    buf = bytearray(4)
    out, p0, _ = echo([1000, -1000, 7], buf, 0, 0, 1, 1, 0xFFFFFFFF, 0.25, 1.0, True, 1)
    assert p0 == (3 * 0xFFFFFFFF) % 256


@pytest.mark.parametrize("fb", [1e12, -1e300, math.inf, -math.inf, math.nan])
@pytest.mark.parametrize("variable", [False, True])
def test_echo_extreme_gains_are_defined(rng, fb, variable):
    inp = rand_s16(rng, 301)
    mem = rand_s16(rng, 2 * 20)
    buf = bytearray(s16(mem))
    mix = fb  # the same extremes on the mix
    got = echo(inp, buf, 3, 4, 20, 20, 300, fb, mix, variable, 2)
    want = model.echo(inp, mem, 3, 4, 20, 20, 300, fb, mix, variable, 2)
    assert cells(got[0]) == want[0] and got[1:] == want[1:] and cells(buf) == mem


# ---------------------------------------------------------------------------------------------
# Positions out of range, unaligned and guarded memory


def _guarded(mem_cells, offset):
    """The memory as a writable window at an odd byte offset inside a larger guarded buffer."""
    raw = bytearray(b"\xa5" * offset + s16(mem_cells) + b"\x5a" * 9)
    return raw, memoryview(raw)[offset:offset + 2 * len(mem_cells)]


def _guard_intact(raw, offset, size):
    return raw[:offset] == b"\xa5" * offset and raw[offset + size:] == b"\x5a" * 9


@pytest.mark.parametrize("variable", [False, True])
def test_echo_wild_positions_wrap(rng, variable):
    for pos in ([7, 2**32 - 1], [2**31, 12345], [0xFFFFFF00, 999999]):
        inp = rand_s16(rng, 501)
        mem = rand_s16(rng, 2 * 16)
        raw, view = _guarded(mem, 3)
        got = echo(inp, view, pos[0], pos[1], 7, 16, 333, 0.6, 1.0, variable, 2)
        want = model.echo(inp, mem, pos[0], pos[1], 7, 16, 333, 0.6, 1.0, variable, 2)
        assert cells(got[0]) == want[0] and got[1:] == want[1:]
        view.release()
        assert cells(raw[3:3 + 64]) == mem and _guard_intact(raw, 3, 64)
        modulus = 7 * 256 if variable else 7
        assert all(p < modulus for p in got[1:])


def test_echo_input_aliasing_memory(rng):
    mem = rand_s16(rng, 40)
    buf = bytearray(s16(mem))
    view = memoryview(buf)
    out, p0, p1 = so.echo_s16(view[:40], buf, 3, 1, 20, 20, 256, 0.8, 1.0, False, 2)
    # the model reads each input sample from the memory as it stands at that moment
    ref = list(mem)
    outs, heads = [], [3, 1]
    for i in range(20):
        x = ref[i]
        ch = i & 1
        cell = ch * 20 + heads[ch]
        c = ref[cell]
        ref[cell] = model.knee(model.trunc32(c * 0.8 + x))
        outs.append(model.knee(model.trunc32(x + c)))
        heads[ch] = (heads[ch] + 1) % 20
    view.release()
    assert cells(out) == outs and cells(buf) == ref and (p0, p1) == tuple(heads)


@pytest.mark.parametrize("variable", [False, True])
def test_echo_input_in_spare_memory_follows_the_model(rng, variable):
    # The input lies past the lines in the memory buffer: the overlap takes the ordered path.
    inp = rand_s16(rng, 1201)
    mem = rand_s16(rng, 2 * 40)
    buf = bytearray(s16(mem) + s16(inp))
    view = memoryview(buf)
    got = so.echo_s16(view[160:], buf, 5, 9, 33, 40, 300, 0.9, 1.2, variable, 2)
    view.release()
    want = model.echo(inp, mem, 5, 9, 33, 40, 300, 0.9, 1.2, variable, 2)
    assert (cells(got[0]), got[1], got[2]) == want
    assert cells(buf[:160]) == mem and cells(buf[160:]) == inp


# ---------------------------------------------------------------------------------------------
# multitap_s16


def taps(delays, gains):
    return bytearray(array.array("I", delays).tobytes()), bytearray(array.array("d", gains).tobytes())


@pytest.mark.parametrize(
    "inp, mem_bytes, length, channels, d_bytes, g_bytes",
    [
        (b"\0", 8, 4, 1, 0, 0),
        (b"", 8, 4, 0, 0, 0),
        (b"", 16, 4, 3, 0, 0),
        (b"", 8, 0, 1, 0, 0),
        (b"", 8, 4, 1, 6, 8),  # tap delays not a multiple of 4
        (b"", 8, 4, 1, 8, 24),  # gain buffer 8 × T + 8
        (b"", 8, 4, 1, 8, 8),  # gain buffer short
        (b"", 7, 4, 1, 0, 0),
        (b"", 15, 4, 2, 4, 8),
    ],
)
def test_multitap_rejects(inp, mem_bytes, length, channels, d_bytes, g_bytes):
    with pytest.raises(ValueError, match=f"^{TAP_MSG}$"):
        so.multitap_s16(inp, bytearray(mem_bytes), 0, length, channels, bytearray(d_bytes),
                        bytearray(g_bytes), 0.5, 1.0)


def test_multitap_accepts_boundaries():
    for channels in (1, 2):
        d, g = taps([1, 2], [0.5, 0.5])
        assert so.multitap_s16(b"", bytearray(8 * channels), 3, 4, channels, d, g, 0.5, 1.0) == (b"", 3)
    with pytest.raises(TypeError):
        so.multitap_s16(b"", bytearray(8), 0, 4, 1, b"", bytearray(), 0.5, 1.0)  # read-only taps


def _multitap_case(rng, channels, n_taps, n):
    length = int(rng.integers(1, 400))
    mem = rand_s16(rng, length * channels, 30000)
    delays = [int(v) for v in rng.integers(0, 2 * length + 2, n_taps)]
    if n_taps:
        delays[0] = 2**32 - 3  # wraps, then reads inside the line
    gains = [float(v) for v in rng.uniform(-1.6, 1.6, n_taps)]
    return (rand_s16(rng, n), mem, int(rng.integers(0, length)), length, delays, gains,
            float(rng.uniform(-1.2, 1.2)), float(rng.uniform(-0.5, 2.5)))


@pytest.mark.parametrize("channels", [1, 2])
@pytest.mark.parametrize("n_taps", [0, 1, 2, 3, 7])
def test_multitap_matches_model(rng, channels, n_taps):
    for first in (0, 1, 5):
        inp, mem, pos, length, delays, gains, fb, mix = _multitap_case(rng, channels, n_taps, 1501)
        buf = bytearray(s16(mem))
        d, g = taps(delays, gains)
        out, p = so.multitap_s16(s16(inp), buf, pos, length, channels, d, g, fb, mix, first)
        want, wp = model.multitap(inp, mem, pos, length, channels, delays, gains, fb, mix, first)
        assert cells(out) == want and p == wp and cells(buf) == mem


@pytest.mark.parametrize("channels", [1, 2])
def test_multitap_streaming(rng, channels):
    inp, mem, pos, length, delays, gains, fb, mix = _multitap_case(rng, channels, 3, 5000)
    d, g = taps(delays, gains)
    whole = bytearray(s16(mem))
    ref = so.multitap_s16(s16(inp), whole, pos, length, channels, d, g, fb, mix)
    parts = bytearray(s16(mem))
    out, i = [], 0
    while i < len(inp):
        step = int(rng.integers(0, 200)) * channels
        o, pos = so.multitap_s16(s16(inp[i:i + step]), parts, pos, length, channels, d, g, fb, mix)
        out.append(o)
        i += step
    assert (b"".join(out), pos) == ref and parts == whole


def test_multitap_first_channel_one_advances_after_first_sample():
    mem = bytearray(s16([1, 2, 3, 10, 20, 30]))
    out, p = so.multitap_s16(s16([0, 0, 0]), mem, 0, 3, 2, bytearray(), bytearray(), 0.0, 2.0, 1)
    assert cells(out) == [10, 2, 20] and p == 2


def test_multitap_single_tap_wet_is_unkneed():
    mem = bytearray(s16([30000, 0]))
    d, g = taps([2], [1.5])
    out, _ = so.multitap_s16(s16([0]), mem, 0, 2, 1, d, g, 0.0, 1.0)
    assert cells(out) == [model.knee(45000)]


@pytest.mark.parametrize("gain", [1e15, -math.inf, math.nan])
def test_multitap_extreme_gains_and_wild_position(rng, gain):
    for n_taps in (1, 2, 3):
        inp, mem, _, length, delays, _, _, _ = _multitap_case(rng, 2, n_taps, 301)
        gains = [gain] * n_taps
        raw, view = _guarded(mem, 1)
        d, g = taps(delays, gains)
        out, p = so.multitap_s16(s16(inp), view, 2**32 - 1, length, 2, d, g, gain, 1.5)
        want, wp = model.multitap(inp, mem, 2**32 - 1, length, 2, delays, gains, gain, 1.5)
        view.release()
        size = 4 * length
        assert cells(out) == want and p == wp and p < length
        assert cells(raw[1:1 + size]) == mem and _guard_intact(raw, 1, size)
