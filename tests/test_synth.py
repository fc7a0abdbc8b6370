"""Synthesiser voice functions, compared exactly with the reference model on random inputs."""

import array

import numpy as np
import pytest

import _sonolith as so
from tests.conftest import SANITIZED
from tests.models import synth as model

ROUNDS = 20 if SANITIZED else 60
U32 = 1 << 32


def i32(data):
    return np.frombuffer(data, np.int32).tolist()


def s16(data):
    return np.frombuffer(data, np.int16).tolist()


def wavetable(rng, n):
    return array.array("h", rng.integers(-32768, 32768, n).tolist())


def random_voice_params(rng, n):
    """A loop, a phase (often before the loop or past its end) and a step (sometimes too large)."""
    start = int(rng.integers(0, n))
    end = int(rng.integers(start + 1, n + 1))
    _, _, span = model.loop_bounds(start, end)
    choice = rng.integers(0, 6)
    if choice == 0:
        step = int(rng.integers(0, U32))  # almost always too large
    elif choice == 1:
        step = span >> 1  # the largest step that renders
    else:
        step = int(rng.integers(0, (span >> 1) + 1))
    phase = int(rng.integers(0, U32)) if rng.integers(0, 3) == 0 else int(rng.integers(0, (n + 1) << 16))
    return phase, step, start, end


# ---------------------------------------------------------------------------------------------
# Oscillators


def test_raw_oscillator_reads_after_advancing_and_wraps_at_loop_end():
    out, phase = so.oscillator_raw_i32(array.array("h", [10, 20, 30, 40]), 0, 65536, 0, 4, 4)
    assert (i32(out), phase) == ([20, 30, 40, 10], 0)


def test_intro_before_loop_plays_once():
    wave = array.array("h", [1, 2, 3, 4, 5, 6])
    out, phase = so.oscillator_raw_i32(wave, 0, 65536, 3, 6, 8)
    assert i32(out) == [2, 3, 4, 5, 6, 4, 5, 6]
    assert phase == 5 << 16


@pytest.mark.parametrize("frames", [0, 3])
def test_phase_past_loop_end_is_wrapped_first(frames):
    wave = array.array("h", range(8))
    phase = (8 << 16) + 3 * (4 << 16) + (1 << 16) + 123  # past LE: LS + 1.00187... after wrapping
    out, new_phase = so.oscillator_raw_i32(wave, phase, 0, 4, 8, frames)
    assert new_phase == (5 << 16) + 123
    assert i32(out) == [5] * frames


def test_step_too_large_renders_nothing_and_keeps_phase():
    wave = array.array("h", range(1, 9))
    phase = 100 << 16  # past the loop end, but not wrapped when nothing renders
    out, new_phase = so.oscillator_i32(wave, phase, (2 << 16) + 1, 4, 8, 1000, 2000, 2, 5)
    assert (i32(out), new_phase) == ([0] * 10, phase)
    out, new_phase = so.oscillator_raw_i32(wave, phase, (2 << 16) + 1, 4, 8, 5)
    assert (i32(out), new_phase) == ([0] * 5, phase)
    voice = array.array("i", [7, -7, 7])
    out, new_phase = so.ring_multiply_i32(voice, wave, phase, (2 << 16) + 1, 4, 8)
    assert (i32(out), new_phase) == ([7, -7, 7], phase)


@pytest.mark.parametrize("channels", [1, 2])
def test_oscillators_match_model(rng, channels):
    for _ in range(ROUNDS):
        n = int(rng.integers(1, 400))
        wave = wavetable(rng, n)
        phase, step, start, end = random_voice_params(rng, n)
        frames = int(rng.integers(0, 600))
        left, right = (int(g) for g in rng.integers(-32768, 32768, 2))
        out, new_phase = so.oscillator_i32(wave, phase, step, start, end, left, right, channels, frames)
        assert (i32(out), new_phase) == model.oscillator(
            wave, phase, step, start, end, left, right, channels, frames)
        out, new_phase = so.oscillator_raw_i32(wave, phase, step, start, end, frames)
        assert (i32(out), new_phase) == model.oscillator_raw(wave, phase, step, start, end, frames)


@pytest.mark.parametrize("n, start, end", [
    (65535, 0, 65535),      # the longest loop whose 16.16 end does not wrap: phases wrap past 2^32
    (65536, 0, 65536),      # LE wraps to 0 and the span to 0: nothing renders, whatever the step
    (65536, 100, 65536),    # LE wraps below LS
    (70000, 10, 65546),     # span 0 again
    (70000, 3, 70000),      # LE wraps, span large
    (70000, 69990, 70000),  # both wrap, a short loop high in the table
])
def test_long_tables_stay_inside_the_waveform(rng, n, start, end):
    # Loops longer than 16.16 phases can address wrap modulo 2^32; every read must still stay in
    # the table (the sanitizer run checks this) and the result must follow the wrapped arithmetic.
    wave = wavetable(rng, n)
    _, le, span = model.loop_bounds(start, end)
    for i in range(ROUNDS):
        step = [0, span >> 1, int(rng.integers(0, (span >> 1) + 1))][i % 3]
        phase = [int(rng.integers(0, U32)), (le - 1) & 0xFFFFFFFF, U32 - 1][i % 3]
        frames = int(rng.integers(0, 300))
        out, new_phase = so.oscillator_raw_i32(wave, phase, step, start, end, frames)
        assert (i32(out), new_phase) == model.oscillator_raw(wave, phase, step, start, end, frames)
        voice = array.array("i", rng.integers(-40000, 40000, frames).tolist())
        out, new_phase = so.ring_multiply_i32(voice, wave, phase, step, start, end)
        assert (i32(out), new_phase) == model.ring_multiply(voice, wave, phase, step, start, end)


def test_unsigned_arguments_wrap_modulo_2_32():
    wave = array.array("h", range(0, 800, 8))
    expected = so.oscillator_i32(wave, 5 << 16, 70000, 10, 90, 300, -300, 2, 40)
    assert so.oscillator_i32(wave, (5 << 16) + U32, 70000 - U32, 10 + U32, 90, 300, -300, 2 + U32, 40 + U32) \
        == expected
    assert so.oscillator_raw_i32(wave, -1, 65536, 0, 100, 2) == so.oscillator_raw_i32(wave, U32 - 1, 65536, 0, 100, 2)


def test_mono_oscillator_still_checks_right_gain():
    wave = array.array("h", [1, 2, 3, 4])
    so.oscillator_i32(wave, 0, 65536, 0, 4, 32767, -32768, 1, 4)
    with pytest.raises(ValueError, match="^invalid oscillator parameters$"):
        so.oscillator_i32(wave, 0, 65536, 0, 4, 0, 32768, 1, 4)


@pytest.mark.parametrize("exporter", [
    lambda v: array.array("h", v),
    lambda v: memoryview(array.array("h", v).tobytes()).cast("h"),
    lambda v: np.array(v, np.int16),
])
def test_waveform_exporters_with_format_h(exporter):
    out, _ = so.oscillator_raw_i32(exporter([10, 20, 30, 40]), 0, 65536, 0, 4, 4)
    assert i32(out) == [20, 30, 40, 10]


# ---------------------------------------------------------------------------------------------
# Ring modulation and loudness


def test_ring_multiply_matches_model(rng):
    for _ in range(ROUNDS):
        n = int(rng.integers(1, 300))
        wave = wavetable(rng, n)
        phase, step, start, end = random_voice_params(rng, n)
        bound = [32768, 1 << 31][int(rng.integers(0, 2))]
        voice = array.array("i", rng.integers(-bound, bound, int(rng.integers(0, 500))).tolist())
        out, new_phase = so.ring_multiply_i32(voice, wave, phase, step, start, end)
        assert (i32(out), new_phase) == model.ring_multiply(voice, wave, phase, step, start, end)


def test_ring_multiply_limits_only_above():
    wave = array.array("h", [-32768, 32767])
    out, _ = so.ring_multiply_i32(array.array("i", [-32768, -32768]), wave, 1 << 16, 65536, 0, 2)
    assert i32(out) == [32767, -32767]


def test_loudness_switches_at_the_zero_crossing():
    out = so.apply_loudness_i32(array.array("i", [5, 3, -2, 4]), 0, 0, 1, 32767)
    assert i32(out) == [2, 1, 0, 0]


def test_loudness_explicit_minimum_counts_as_missing():
    voice = array.array("i", [30000, -30000, 12345])
    expected = so.apply_loudness_i32(voice, 1000, -2000, 2)
    assert so.apply_loudness_i32(voice, 1000, -2000, 2, -2147483648, -2147483648) == expected
    assert i32(expected) == model.apply_loudness(voice, 1000, -2000, 2)


@pytest.mark.parametrize("channels", [1, 2])
def test_loudness_matches_model(rng, channels):
    for _ in range(ROUNDS):
        n = int(rng.integers(0, 200))
        bound = [4, 32768, 1 << 31][int(rng.integers(0, 3))]  # small voices hit zeros often
        voice = rng.integers(-bound, bound, n)
        if n and rng.integers(0, 2):
            head = int(rng.integers(0, n))
            voice[:head] = abs(voice[:head]) + 1  # delay the crossing
        voice = array.array("i", voice.tolist())
        gains = [int(g) for g in rng.integers(-32768, 32768, 4)]
        if rng.integers(0, 3) == 0:
            gains[2] = gains[0]  # a pending change in the right gain alone
        out = so.apply_loudness_i32(voice, gains[0], gains[1], channels, gains[2], gains[3])
        assert i32(out) == model.apply_loudness(voice, gains[0], gains[1], channels, gains[2], gains[3])


# ---------------------------------------------------------------------------------------------
# Mixdown, pitch bend, hashing


def test_mixdown_default_headroom():
    out = so.mixdown_i32(array.array("i", [28000, -28000, 28001, -28001, 2097152, -2097152]))
    assert s16(out) == [28000, -28000, 28000, -28001, 32072, -32073]


def test_knee_slopes():
    assert model.knee_slope(2) == 7151 and model.knee_slope(64) == 129
    v = array.array("i", [65536, -65536, 40000])
    assert s16(so.mixdown_i32(v, 2)) == [model.soft_knee(x, 7151) for x in v]


@pytest.mark.parametrize("headroom", [1, 2, 3, 7, 64, 1000, 65535, 65536, 65537, 1 << 31, U32 - 1])
def test_mixdown_matches_model(rng, headroom):
    values = rng.integers(-(1 << 31), 1 << 31, 500).tolist()
    values += rng.integers(-40000, 40000, 500).tolist()
    values += [-(1 << 31), (1 << 31) - 1, 0, 28000, -28000, 28001, -28001, headroom * 32768 % (1 << 31)]
    out = so.mixdown_i32(array.array("i", values), headroom)
    assert s16(out) == model.mixdown(values, headroom)


def pitch_bend_numpy(base, bends):
    b = bends.astype(np.int64)
    o = b >> 15
    a = (b & 32767) * 24
    k, w = a >> 16, a & 65535
    t = np.array(model.SEMITONES, np.int64)
    m = ((t[k] * (65535 - w) + t[k + 1] * w) >> 16) + 32768
    return (np.uint64(base) * m.astype(np.uint64)) >> ((15 - o) % 64).astype(np.uint64)


@pytest.mark.parametrize("base", [65536, 0xFFFFFFFF, 123457])
def test_pitch_bend_over_the_defined_range(base):
    bends = np.arange(-48 * 32768, 16 * 32768, 7 if SANITIZED else 1)
    got = np.array([so.pitch_bend(base, int(b)) for b in bends], np.uint64)
    expected = pitch_bend_numpy(base, bends) & np.uint64(0xFFFFFFFF)
    assert np.array_equal(got, expected)


def test_pitch_bend_examples_and_random(rng):
    assert so.pitch_bend(65536, 32768) == 131072
    assert so.pitch_bend(65536, -32768) == 32768
    assert so.pitch_bend(65536, 0) == 65536
    assert so.pitch_bend(U32 + 65536, 0) == 65536  # base wraps
    for bend in [-(1 << 31), (1 << 31) - 1, 16 * 32768, -48 * 32768 - 1, -1, 32767]:
        assert so.pitch_bend(0xFFFFFFFF, bend) == model.pitch_bend(0xFFFFFFFF, bend)
    for base, bend in zip(rng.integers(0, U32, 2000).tolist(), rng.integers(-(1 << 31), 1 << 31, 2000).tolist()):
        assert so.pitch_bend(base, bend) == model.pitch_bend(base, bend)
    with pytest.raises(OverflowError):
        so.pitch_bend(1, 1 << 31)


def test_fnv1a64(rng):
    assert so.fnv1a64(b"") == model.FNV_OFFSET
    assert so.fnv1a64(b"", 42) == 42
    assert so.fnv1a64(b"a") == 0xAF63DC4C8601EC8C
    assert so.fnv1a64(b"foobar") == 0x85944171F73967E8
    data = rng.integers(0, 256, 3000, dtype=np.uint8).tobytes()
    assert so.fnv1a64(data) == model.fnv1a64(data)
    cut = 1234
    assert so.fnv1a64(data[cut:], so.fnv1a64(data[:cut])) == so.fnv1a64(data)
    assert so.fnv1a64(memoryview(data)[5:9], -1) == model.fnv1a64(data[5:9], (1 << 64) - 1)


# ---------------------------------------------------------------------------------------------
# Validation


WAVE = array.array("h", [1, 2, 3, 4])


@pytest.mark.parametrize("args", [
    (WAVE, 0, 1, 0, 4, 0, 0, 0, 4),
    (WAVE, 0, 1, 0, 4, 0, 0, 3, 4),
    (WAVE, 0, 1, 0, 4, 0, 0, -1, 4),
    (WAVE, 0, 1, 0, 4, 0, 0, 2, 65536),
    (WAVE, 0, 1, 0, 4, -32769, 0, 2, 4),
    (WAVE, 0, 1, 0, 4, 0, 32768, 2, 4),
    (object(), 0, 1, 0, 4, 0, 0, 3, 4),  # parameters are checked before the waveform is borrowed
])
def test_oscillator_parameter_errors(args):
    with pytest.raises(ValueError, match="^invalid oscillator parameters$"):
        so.oscillator_i32(*args)


def invalid_waveforms():
    return [
        (b"\x01\x00\x02\x00", 0, 2),                 # bytes: format "B"
        (array.array("i", [1, 2]), 0, 2),            # wrong element type
        (array.array("H", [1, 2]), 0, 2),
        (np.array([1, 2], ">i2" if np.little_endian else "<i2"), 0, 2),  # foreign byte order
        (array.array("h", [1, 2, 3]), 2, 2),         # empty loop
        (array.array("h", [1, 2, 3]), 2, 1),
        (array.array("h", [1, 2, 3]), 0, 4),         # loop end past the table
        (array.array("h", []), 0, 1),
        (array.array("h", [1, 2, 3]), 0, U32 + 2),   # 2^32 + 2 is 2 only after wrapping: start < end fails
    ]


@pytest.mark.parametrize("case", range(len(invalid_waveforms())))
def test_waveform_errors(case):
    wave, start, end = invalid_waveforms()[case]
    if end >= U32:  # wraps to 2: a valid loop, so pick one that is empty after wrapping
        start = 2
    with pytest.raises(ValueError, match="^waveform must be a native signed 16-bit buffer with a valid loop$"):
        so.oscillator_i32(wave, 0, 1, start, end, 0, 0, 2, 4)
    with pytest.raises(ValueError, match="^invalid oscillator waveform$"):
        so.oscillator_raw_i32(wave, 0, 1, start, end, 4)
    with pytest.raises(ValueError, match="^invalid ring waveform$"):
        so.ring_multiply_i32(b"", wave, 0, 1, start, end)


def test_waveform_exporter_errors_pass_through():
    with pytest.raises(TypeError):
        so.oscillator_i32(3, 0, 1, 0, 4, 0, 0, 2, 4)
    with pytest.raises(TypeError):
        so.oscillator_raw_i32("abcd", 0, 1, 0, 4, 4)
    strided = memoryview(array.array("h", range(8)))[::2]
    with pytest.raises(BufferError):
        so.ring_multiply_i32(b"", strided, 0, 1, 0, 4)
    with pytest.raises(OverflowError):
        so.oscillator_i32(WAVE, 0, 1, 0, 4, 1 << 31, 0, 2, 4)


def test_raw_oscillator_duration_is_checked_before_the_waveform():
    so.oscillator_raw_i32(WAVE, 0, 1, 0, 4, 65535)
    with pytest.raises(ValueError, match="^invalid oscillator duration$"):
        so.oscillator_raw_i32(object(), 0, 1, 0, 4, 65536)


def test_ring_voice_errors():
    so.ring_multiply_i32(bytes(4 * 65535), WAVE, 0, 1, 0, 4)
    for voice in (bytes(6), bytes(4 * 65536)):
        with pytest.raises(ValueError, match="^invalid ring voice buffer$"):
            so.ring_multiply_i32(voice, object(), 0, 1, 0, 4)
    with pytest.raises(TypeError):
        so.ring_multiply_i32("text", WAVE, 0, 1, 0, 4)


@pytest.mark.parametrize("args", [
    (bytes(6), 0, 0, 1),
    (bytes(8), 0, 0, 0),
    (bytes(8), 0, 0, 3),
    (bytes(8), 32768, 0, 2),
    (bytes(8), 0, -32769, 2),
    (bytes(8), 0, 0, 2, 40000),
    (bytes(8), 0, 0, 2, 0, -40000),
    (bytes(8), 0, 0, 2, -2147483648, -32769),
])
def test_loudness_errors(args):
    with pytest.raises(ValueError, match="^invalid loudness parameters$"):
        so.apply_loudness_i32(*args)


@pytest.mark.parametrize("args", [(bytes(6),), (bytes(8), 0), (bytes(8), U32)])
def test_mixdown_errors(args):
    with pytest.raises(ValueError, match="^input must contain native signed 32-bit samples$"):
        so.mixdown_i32(*args)


def test_views_are_released_after_errors():
    voice = bytearray(8)
    wave = array.array("h", [1, 2, 3, 4])
    failing = [
        lambda: so.oscillator_i32(wave, 0, 1, 0, 5, 0, 0, 2, 4),
        lambda: so.oscillator_raw_i32(wave, 0, 1, 3, 3, 4),
        lambda: so.ring_multiply_i32(voice, wave, 0, 1, 0, 5),
        lambda: so.ring_multiply_i32(voice, bytearray(4), 0, 1, 0, 2),
        lambda: so.apply_loudness_i32(voice, 0, 0, 3),
        lambda: so.mixdown_i32(voice, 0),
    ]
    for call in failing:
        with pytest.raises(ValueError):
            call()
        voice.append(0)  # would raise BufferError while a view is held
        del voice[-1]
        wave.append(0)
        wave.pop()
    # and after success
    so.ring_multiply_i32(voice, wave, 0, 1, 0, 4)
    so.fnv1a64(voice)
    voice.append(0)
    wave.append(0)


def test_loop_whose_span_wraps_to_zero_renders_nothing():
    # 0 .. 65536 is a valid loop of a 65536-sample table, but its 16.16 span wraps to 0 and so does
    # LE: every phase is past the loop end and cannot be brought into a loop of no length, so even
    # a zero step renders silence and keeps the phase.
    wave = array.array("h", [1]) * 65536
    assert so.oscillator_raw_i32(wave, 5 << 16, 0, 0, 65536, 3) == (bytes(12), 5 << 16)
    assert so.oscillator_i32(wave, 7, 0, 0, 65536, 100, 100, 2, 3) == (bytes(24), 7)
    assert so.ring_multiply_i32(array.array("i", [9]), wave, 7, 0, 0, 65536) == (array.array("i", [9]).tobytes(), 7)


def test_zero_span_loop_with_zero_step_holds_a_phase_below_the_loop_end():
    # 10 .. 65546 wraps to LS = LE = 10 << 16 with span 0. A zero step is not above half of it, and
    # a phase below LE needs no wrapping: the read holds the phase and repeats one sample.
    wave = array.array("h", [i % 32768 for i in range(70000)])
    phase = (5 << 16) + 7
    out, new_phase = so.oscillator_raw_i32(wave, phase, 0, 10, 65546, 3)
    assert (i32(out), new_phase) == ([5, 5, 5], phase)
    out, new_phase = so.oscillator_i32(wave, phase, 0, 10, 65546, 1000, -1000, 2, 2)
    assert (i32(out), new_phase) == ([0, 0, 0, 0], phase)  # 5 * 1000 / 65536 truncates to 0
    out, new_phase = so.oscillator_i32(wave, (9 << 16), 0, 10, 65546, 32767, -32768, 1, 2)
    assert (i32(out), new_phase) == ([4, 4], 9 << 16)  # 9 * 32767 / 65536 = 4.49...
    voice = array.array("i", [32768, -32768])
    assert so.ring_multiply_i32(voice, wave, phase, 0, 10, 65546) == (array.array("i", [5, -5]).tobytes(), phase)
    # At or past LE there is still nothing to loop over.
    assert so.oscillator_raw_i32(wave, 10 << 16, 0, 10, 65546, 2) == (bytes(8), 10 << 16)
    assert so.oscillator_raw_i32(wave, 5 << 16, 1, 10, 65546, 2) == (bytes(8), 5 << 16)
