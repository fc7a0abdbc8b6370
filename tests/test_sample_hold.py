import pytest

import _sonolith as so
from tests.models.sample_hold import MAX_RATIO, SampleHold

BAD_RATIO = r"^num and den must be whole, den <= num \(a hold cannot invent frames\)$"
BAD_FRAMES = "^input must be whole frames of 1 to 4 bytes$"

RATIOS = [(1, 1), (7, 7), (3, 2), (3, 1), (6, 4), (5, 3), (1000, 999), (1000, 1), (97, 96),
          (2500, 1), (2999, 1000),
          (MAX_RATIO, 1), (MAX_RATIO - 1, MAX_RATIO - 3), (12345, 4321)]


def blocks(rng, data, size):
    """Splits data into whole frames of `size` bytes in random block sizes (empty ones too)."""
    frames, i, out = len(data) // size, 0, []
    while i < frames:
        n = int(rng.integers(0, 200))
        out.append(data[i * size:(i + n) * size])
        i += n
    return out


@pytest.mark.parametrize("num, den", RATIOS)
@pytest.mark.parametrize("size", [1, 2, 3, 4])
def test_matches_model_in_random_blocks(rng, num, den, size):
    data = rng.integers(0, 256, 3000 * size, dtype="u1").tobytes()
    native, model = so.SampleHoldState(num, den), SampleHold(num, den)
    parts = blocks(rng, data, size)
    assert b"".join(native.process(p, size) for p in parts) == model.process(data, size)
    assert native.process(data[:size * 50], size) == model.process(data[:size * 50], size)


def test_frame_size_may_change_between_calls(rng):
    native, model = so.SampleHoldState(5, 3), SampleHold(5, 3)
    for _ in range(40):
        size = int(rng.integers(1, 5))
        data = rng.integers(0, 256, size * int(rng.integers(0, 30)), dtype="u1").tobytes()
        assert native.process(data, size) == model.process(data, size)


def test_worked_examples():
    assert so.SampleHoldState(7, 7).process(b"abcdefg", 1) == b"abcdefg"
    assert so.SampleHoldState(3, 1).process(b"abcdefg", 1) == b"aaadddg"
    assert so.SampleHoldState(3, 2).process(b"abcdef", 1) == b"aacddf"
    assert so.SampleHoldState(6, 4).ratio() == (3, 2) and so.SampleHoldState().ratio() == (1, 1)
    assert so.SampleHoldState(MAX_RATIO, 1).ratio() == (MAX_RATIO, 1)
    s = so.SampleHoldState(3, 2)
    assert s.process(b"", 2) == b"" and s.process(b"ab", 1) == b"aa"


def test_configure_keeps_the_phase_only_for_the_same_ratio():
    s = so.SampleHoldState(3, 2)
    assert s.process(b"a", 1) == b"a"
    s.configure(6, 4)  # same reduced ratio: the stream continues
    assert s.process(b"bcdef", 1) == b"acddf"
    s.configure(2, 1)  # a new ratio restarts: the next frame is taken
    assert s.process(b"xyz", 1) == b"xxz" and s.ratio() == (2, 1)
    s.reset()
    assert s.process(b"uv", 1) == b"uu"


def test_held_frame_is_zero_after_a_restart():
    s = so.SampleHoldState(2, 1)
    s.process(b"abcd", 4)
    s.reset()
    assert s.process(b"wx", 2) == b"wx" and s.process(b"1234", 4) == b"wx\0\0"
    s.configure(3, 1)
    assert s.process(b"p", 1) == b"p" and s.process(b"qrst", 4) == b"p\0\0\0"


@pytest.mark.parametrize("num, den", [(0, 0), (0, 1), (1, 0), (2, 3), (MAX_RATIO + 1, 1), (-1, 1),
                                      (5, -1)])
def test_bad_ratios(num, den):
    with pytest.raises(ValueError, match=BAD_RATIO):
        so.SampleHoldState(num, den)
    s = so.SampleHoldState(3, 2)
    s.process(b"a", 1)
    with pytest.raises(ValueError, match=BAD_RATIO):
        s.configure(num, den)
    assert s.ratio() == (3, 2) and s.process(b"bc", 1) == b"ac"  # unchanged


@pytest.mark.parametrize("data, size", [(b"abc", 0), (b"abc", 5), (b"abc", 2), (b"abcde", 4), (b"ab", -1)])
def test_bad_frames(data, size):
    buf = bytearray(data)
    with pytest.raises(ValueError, match=BAD_FRAMES):
        so.SampleHoldState().process(buf, size)
    buf.append(0)  # the view was released


def test_unsigned_arguments_wrap_modulo_2_to_the_32nd():
    assert so.SampleHoldState(2**32 + 6, 4).ratio() == (3, 2)
    assert so.SampleHoldState().process(b"ab", 2**32 + 2) == b"ab"


def test_never_initialised_object_is_refused():
    s = so.SampleHoldState.__new__(so.SampleHoldState)
    for call in (lambda: s.process(b"ab", 1), lambda: s.configure(2, 1), s.ratio, s.reset):
        with pytest.raises(ValueError):
            call()
