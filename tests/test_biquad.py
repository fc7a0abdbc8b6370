import array
import math
import tracemalloc

import numpy as np
import pytest

import _sonolith as so

from .conftest import SANITIZED
from .models.biquad import Biquad, coefficients

N = 300 if SANITIZED else 1200
RATES = [8000, 44100, 48000, 96000]
ADVERSARIAL = [math.nan, math.inf, -math.inf, 0.0, -0.0, -1.0, 1e300, -1e300, 1e-320, 5e9]


def s16(values):
    return np.asarray(values, np.int16).tobytes()


def i32(values):
    return np.asarray(values, np.int32).tobytes()


def as_s16(data):
    return np.frombuffer(data, np.int16).tolist()


def as_i32(data):
    return np.frombuffer(data, np.int32).tolist()


def random_design(rng, type_):
    rate = int(rng.choice(RATES))
    frequency = float(rng.choice([rng.uniform(20, rate / 4), rng.uniform(0, rate / 2), rng.uniform(0, 2 * rate)]))
    q = float(rng.choice([0.7071, rng.uniform(0.1, 10)]))
    gain = float(rng.choice([1.0, rng.uniform(0.05, 8.0)]))
    return type_, frequency, q, gain, rate


def random_s16(rng, n):
    loud = rng.integers(-32768, 32768, n)
    quiet = rng.integers(-4000, 4000, n)
    return np.where(rng.random(n) < 0.3, loud, quiet).astype(np.int16)


@pytest.mark.parametrize("type_", range(7))
def test_process_i32_matches_model(rng, type_):
    for _ in range(3):
        design = random_design(rng, type_)
        x = rng.integers(-40000, 40000, N // 2, dtype=np.int32)
        x[:4] = [2**31 - 1, -(2**31), 32767, -32768]
        ours, model = so.BiquadState(), Biquad()
        for chunk in np.array_split(x, 2):
            got = as_i32(ours.process_i32(chunk.tobytes(), *design))
            assert got == model.process_i32(chunk.tolist(), *design), design
            assert all(-32768 <= v <= 32767 for v in got)


@pytest.mark.parametrize("type_", range(7))
@pytest.mark.parametrize("channels", [1, 2])
def test_process_s16_matches_model(rng, type_, channels):
    for _ in range(2):
        design = random_design(rng, type_)
        mix = float(rng.choice([1.0, 0.0, rng.uniform(0, 1), rng.uniform(-2, 3)]))
        x = random_s16(rng, N * channels)
        ours, model = so.BiquadState(), Biquad()
        got = as_s16(ours.process_s16(x.tobytes(), *design, mix, channels))
        assert got == model.process_s16(x, *design, mix, channels), (design, mix)


def test_notch_at_quarter_rate_has_no_middle_tap():
    a1, a2, b0, b1, b2 = coefficients(3, 12000.0, 0.7071, 1.0, 48000)
    alpha = 1.0 / (2 * 0.7071)
    assert b1 == 0 and a1 == 0 and b0 == b2 == round(32768 / (1 + alpha))
    # An impulse of 32768 reads b0 and then b1 back out of the filter.
    out = as_i32(so.BiquadState().process_i32(i32([32768, 0, 0]), 3, 12000.0, 0.7071, 1.0, 48000))
    assert out[:2] == [b0, 0]


@pytest.mark.parametrize("method", ["i32", "s16 mono", "s16 stereo"])
def test_memory_carries_across_random_blocks(rng, method):
    channels = 2 if method == "s16 stereo" else 1
    for type_ in range(7):
        design = random_design(rng, type_)
        if method == "i32":
            x = rng.integers(-32768, 32768, N, dtype=np.int32)
            run = lambda st, b: st.process_i32(b.tobytes(), *design)
        else:
            x = random_s16(rng, N * channels)
            run = lambda st, b: st.process_s16(b.tobytes(), *design, 0.75, channels)
        whole = run(so.BiquadState(), x)
        state = so.BiquadState()
        cuts = np.sort(rng.integers(0, len(x) // channels, 6)) * channels
        parts = [run(state, block) for block in np.split(x, cuts)]  # includes empty blocks
        assert b"".join(parts) == whole


def test_impulse_tail_continues_across_calls():
    design = (0, 1000.0, 0.7071, 1.0, 48000)
    whole = so.BiquadState().process_i32(i32([20000] + [0] * 63), *design)
    state = so.BiquadState()
    split = state.process_i32(i32([20000] + [0] * 9), *design) + state.process_i32(i32([0] * 54), *design)
    assert split == whole and any(as_i32(whole)[10:])


def test_mono_s16_and_i32_share_channel_zero():
    design = (1, 300.0, 2.0, 1.0, 44100)
    x = [1000, -2000, 3000, 0, 500, 7, -9, 12]
    ours, model = so.BiquadState(), Biquad()
    got = as_i32(ours.process_i32(i32(x[:4]), *design)) + as_s16(ours.process_s16(s16(x[4:]), *design, 1.0, 1))
    assert got == model.process_i32(x[:4], *design) + model.process_s16(x[4:], *design, 1.0, 1)
    # A stereo call continues channel 0 from there while channel 1 starts from silence.
    stereo = as_s16(ours.process_s16(s16([1, 2, 3, 4]), *design, 1.0, 2))
    assert stereo == model.process_s16([1, 2, 3, 4], *design, 1.0, 2)
    assert stereo != as_s16(so.BiquadState().process_s16(s16([1, 2, 3, 4]), *design, 1.0, 2))


def test_mix_zero_passes_input_through_the_knee():
    x = [0, 1, -1, 28000, -28000, 28001, 32767, -32768, 12345]
    out = as_s16(so.BiquadState().process_s16(s16(x), 0, 1000.0, 0.7, 1.0, 48000, 0.0, 1))
    assert out == [0, 1, -1, 28000, -28000, 28000, 28520, -28521, 12345]


def test_empty_buffer_leaves_memory_unchanged():
    design = (4, 2000.0, 1.0, 2.0, 48000)
    a, b = so.BiquadState(), so.BiquadState()
    x = s16([3000, -3000] * 8)
    a.process_s16(x, *design, 1.0, 2), b.process_s16(x, *design, 1.0, 2)
    assert a.process_s16(b"", *design, 1.0, 2) == b"" and a.process_i32(b"", *design) == b""
    assert a.process_s16(x, *design, 1.0, 2) == b.process_s16(x, *design, 1.0, 2)


def test_reset_and_reinit_clear_both_memories():
    design = (5, 200.0, 0.7, 3.0, 48000)
    x = s16([10000, -10000, 20000, 5] * 16)
    fresh = so.BiquadState().process_s16(x, *design, 1.0, 2)
    state = so.BiquadState()
    for clear in (state.reset, state.__init__):
        state.process_s16(x, *design, 1.0, 2)
        assert state.process_s16(x, *design, 1.0, 2) != fresh
        clear()
        assert state.process_s16(x, *design, 1.0, 2) == fresh


@pytest.mark.parametrize("args", [
    (b"\0" * 6, 0, 1000.0, 0.7, 1.0, 48000),
    (b"\0" * 8, 7, 1000.0, 0.7, 1.0, 48000),
    (b"\0" * 8, -1, 1000.0, 0.7, 1.0, 48000),
    (b"\0" * 8, 0, 1000.0, 0.7, 1.0, 0),
    (b"\0" * 8, 0, 1000.0, 0.7, 1.0, 2**32),  # "I" wraps to 0
])
def test_process_i32_rejects_invalid_parameters(args):
    with pytest.raises(ValueError, match="^invalid biquad parameters$"):
        so.BiquadState().process_i32(*args)


@pytest.mark.parametrize("data, type_, rate, channels", [
    (b"\0" * 5, 0, 48000, 1),
    (b"\0" * 4, 7, 48000, 1),
    (b"\0" * 4, -1, 48000, 2),
    (b"\0" * 4, 0, 0, 1),
    (b"\0" * 4, 0, 48000, 3),
    (b"\0" * 4, 0, 48000, 0),
    (b"\0" * 6, 0, 48000, 2),
])
def test_process_s16_rejects_invalid_parameters(data, type_, rate, channels):
    with pytest.raises(ValueError, match="^invalid biquad parameters$"):
        so.BiquadState().process_s16(data, type_, 1000.0, 0.7, 1.0, rate, 1.0, channels)


def test_parser_errors_come_first_and_name_the_call():
    state = so.BiquadState()
    with pytest.raises(TypeError, match="process_i32"):
        state.process_i32(b"\0" * 6, 9, 1000.0, 0.7, 1.0)
    with pytest.raises(TypeError, match="process_s16"):
        state.process_s16(b"\0", 9, 1000.0, 0.7, 1.0, 0, 1.0)
    with pytest.raises(TypeError):
        state.process_s16(b"\0", 9, 1000.0, 0.7, 1.0, 0, 1.0, "2")
    with pytest.raises(OverflowError):
        state.process_s16(b"\0", 0, 1000.0, 0.7, 1.0, 48000, 1.0, 2**40)
    with pytest.raises(TypeError, match="BiquadState"):
        so.BiquadState(1)
    so.BiquadState(unused=1)  # keywords are ignored by the positional parse


def test_failed_call_releases_the_buffer():
    buf = bytearray(7)
    with pytest.raises(ValueError):
        so.BiquadState().process_s16(buf, 0, 1000.0, 0.7, 1.0, 48000, 1.0, 1)
    with pytest.raises(ValueError):
        so.BiquadState().process_i32(buf, 0, 1000.0, 0.7, 1.0, 48000)
    buf.extend(b"\0")  # would raise BufferError if a view were still held


def test_unaligned_and_typed_buffers():
    design = (0, 3000.0, 0.7, 1.0, 48000)
    x = np.arange(-50, 50, dtype=np.int16) * 300
    raw = bytearray(1) + bytearray(x.tobytes())
    view = memoryview(raw)[1:]
    assert so.BiquadState().process_s16(view, *design, 0.5, 2) == so.BiquadState().process_s16(x.tobytes(), *design, 0.5, 2)
    assert so.BiquadState().process_s16(array.array("h", x.tolist()), *design, 0.5, 2) == \
        so.BiquadState().process_s16(x.tobytes(), *design, 0.5, 2)
    y = np.arange(-25, 25, dtype=np.int32) * 1000
    raw = bytearray(3) + bytearray(y.tobytes())
    assert so.BiquadState().process_i32(memoryview(raw)[3:], *design) == so.BiquadState().process_i32(y.tobytes(), *design)


@pytest.mark.parametrize("type_", range(7))
def test_adversarial_designs_stay_bounded_and_defined(rng, type_):
    x = random_s16(rng, 64)
    for value in ADVERSARIAL:
        for design in [(type_, value, 0.7, 2.0, 48000), (type_, 1000.0, value, 2.0, 48000),
                       (type_, 1000.0, 0.7, value, 48000), (type_, value, value, value, 1)]:
            for mix in (1.0, value):
                ours, model = so.BiquadState(), Biquad()
                got = as_s16(ours.process_s16(x.tobytes(), *design, mix, 2))
                assert got == model.process_s16(x, *design, mix, 2), (design, mix)
            got = as_i32(ours.process_i32(x.astype(np.int32).tobytes(), *design))
            assert got == model.process_i32(x.tolist(), *design)
            assert all(-32768 <= v <= 32767 for v in got)


def test_unstable_design_keeps_output_bounded(rng):
    # q < 0.5 with a negative sign pushes the poles outside the unit circle.
    state = so.BiquadState()
    x = random_s16(rng, 4096)
    for _ in range(4):
        out = np.frombuffer(state.process_i32(x.astype(np.int32).tobytes(), 4, 9000.0, -0.01, 5.0, 48000), np.int32)
        assert out.min() >= -32768 and out.max() <= 32767


def test_repeated_use_does_not_leak():
    x = s16(range(-512, 512))
    state = so.BiquadState()
    tracemalloc.start()
    try:
        for _ in range(3):
            for _ in range(200):
                state.__init__()
                state.process_s16(x, 6, 5000.0, 0.7, 0.5, 48000, 0.8, 2)
                state.process_i32(x, 2, 5000.0, 0.7, 0.5, 48000)
            before = tracemalloc.get_traced_memory()[0]
            for _ in range(200):
                state.__init__()
                state.process_s16(x, 6, 5000.0, 0.7, 0.5, 48000, 0.8, 2)
                state.process_i32(x, 2, 5000.0, 0.7, 0.5, 48000)
            assert tracemalloc.get_traced_memory()[0] - before < 4096
    finally:
        tracemalloc.stop()


def test_uninitialised_object_is_rejected():
    state = so.BiquadState.__new__(so.BiquadState)
    with pytest.raises(ValueError):
        state.process_s16(b"\0\0", 0, 1000.0, 0.7, 1.0, 48000, 1.0, 1)
    with pytest.raises(ValueError):
        state.process_i32(b"\0" * 4, 0, 1000.0, 0.7, 1.0, 48000)
    with pytest.raises(ValueError):
        state.reset()
