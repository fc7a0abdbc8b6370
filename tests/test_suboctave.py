import numpy as np
import pytest

import _sonolith as so
from tests.models.suboctave import SubOctave, holdoff_frames

OCTAVES, DEPTH, LEVEL, HOLDOFF = range(4)
BAD_FRAMES = "^input must be whole 16-bit frames for the configured channel count$"


def sine(frames, channels, period, amplitude, noise=0.0, rng=None):
    t = np.arange(frames)
    x = amplitude * np.sin(2 * np.pi * t / period)
    out = np.empty((frames, channels))
    for c in range(channels):
        out[:, c] = x * (1 - 0.3 * c) + (noise * rng.standard_normal(frames) if noise else 0)
    return np.clip(np.round(out), -32768, 32767).astype(np.int16).tobytes()


def make(rate, channels, options):
    native, model = so.SubOctaveState(rate, channels), SubOctave(rate, channels)
    for option, value in options:
        native.configure(option, value)
        model.configure(option, value)
    return native, model


def run_blocks(obj, data, fb, rng):
    out, i = [], 0
    while i < len(data):
        n = int(rng.integers(0, 300)) * fb
        out.append(obj.process(data[i:i + n]))
        i += n
    return b"".join(out)


@pytest.mark.parametrize("channels", [1, 2])
@pytest.mark.parametrize("options, noise", [
    ([], 0),
    ([(OCTAVES, 2)], 0),
    ([(OCTAVES, 2), (DEPTH, 0.5)], 2000),
    ([(DEPTH, 0.3), (LEVEL, 0.05), (HOLDOFF, 0.0)], 3000),
    ([(OCTAVES, 3), (DEPTH, 0.77), (LEVEL, 0.02), (HOLDOFF, 4.0)], 3000),
    ([(LEVEL, 0.01), (HOLDOFF, 0.2)], 1500),
    ([(DEPTH, 1.0), (HOLDOFF, 30.0)], 500),
])
def test_matches_model_on_sines(rng, channels, options, noise):
    rate = int(rng.choice([8000, 22050, 48000]))
    native, model = make(rate, channels, options)
    data = sine(4000, channels, float(rng.uniform(20, 120)), 30000, noise, rng)
    assert run_blocks(native, data, 2 * channels, rng) == model.process(data)
    native.reset()
    model.reset()
    assert native.process(data[:800 * channels]) == model.process(data[:800 * channels])


def test_noise_and_full_scale_match_model(rng):
    native, model = make(48000, 2, [(LEVEL, 0.0), (HOLDOFF, 0.05)])
    data = rng.integers(-32768, 32768, 6000, dtype=np.int16).tobytes()
    assert native.process(data) == model.process(data)


@pytest.mark.parametrize("octaves, pattern", [(1, [-1, 1]), (2, [1, -1, -1, 1])])
def test_cycles_inverted_by_octave(octaves, pattern):
    """Each rising edge through the level starts a cycle that passes or is inverted as a whole."""
    period = 64
    native, _ = make(48000, 1, [(OCTAVES, octaves), (HOLDOFF, 0.0)])
    x = np.frombuffer(sine(period * 10, 1, period, 20000), np.int16).astype(int)
    y = np.frombuffer(native.process(x.astype(np.int16).tobytes()), np.int16).astype(int)
    edge = int(np.argmax(x > 328))
    assert np.all(y[:edge] == x[:edge])
    for k in range(8):
        seg = slice(edge + k * period, edge + (k + 1) * period)
        assert np.all(y[seg] == pattern[k % len(pattern)] * x[seg])


def test_depth_half_silences_and_zero_passes():
    x = sine(1000, 2, 50, 20000)
    half, _ = make(48000, 2, [(DEPTH, 0.5)])
    y = np.frombuffer(half.process(x), np.int16)
    assert set(y[np.frombuffer(x, np.int16) != y]) == {0}
    zero, _ = make(48000, 2, [(DEPTH, 0.0)])
    assert zero.process(x) == x


def test_minimum_inverts_to_the_maximum():
    native, _ = make(48000, 1, [])
    edge = np.array([0, 1000, -32768, -32768], np.int16).tobytes()
    assert np.frombuffer(native.process(edge), np.int16).tolist() == [0, -1000, 32767, 32767]


def test_signal_below_the_level_passes_unchanged(rng):
    data = rng.integers(-328, 329, 4000, dtype=np.int16).tobytes()
    assert so.SubOctaveState().process(data) == data


def test_edges_within_the_hold_off_do_not_toggle():
    native, _ = make(48000, 1, [(HOLDOFF, 1.0)])  # 48 frames
    up, down = [1000] * 5, [-1000] * 5
    x = np.array((up + down) * 3 + [0] * 40 + up, np.int16)
    y = np.frombuffer(native.process(x.tobytes()), np.int16)
    assert np.all(y[:30] == -x[:30]) and np.all(y[-5:] == x[-5:])


@pytest.mark.parametrize("rate, ms, frames", [(48000, 500.0, 4800), (48000, 1.0, 48), (44100, 1.0, 44),
                                              (48000, 0.0, 0), (48000, -3.0, 0), (8000, float("inf"), 800),
                                              (2**32 - 1, 1e30, 429496736)])
def test_hold_off_frames(rate, ms, frames):
    assert holdoff_frames(rate, ms) == frames
    if rate <= 48000:  # and the module holds off for as long: pulses every 50 frames
        native, model = make(rate, 1, [(HOLDOFF, ms)])
        data = np.tile(np.array([2000] * 10 + [-2000] * 40, np.int16), 200).tobytes()
        assert native.process(data) == model.process(data)


@pytest.mark.parametrize("option, value", [(DEPTH, float("nan")), (LEVEL, float("nan")),
                                           (HOLDOFF, float("nan")), (DEPTH, 1e300), (LEVEL, -1e300),
                                           (HOLDOFF, 1e300), (OCTAVES, float("nan")), (LEVEL, 0.99999994)])
def test_adversarial_option_values(rng, option, value):
    native, model = make(48000, 2, [(option, value)])
    native.finish()
    model.finish()
    data = sine(2000, 2, 40, 30000, 2000, rng)
    assert native.process(data) == model.process(data)


def test_messages_and_order():
    with pytest.raises(ValueError, match="^sample_rate must be at least 1$"):
        so.SubOctaveState(0, 3)
    with pytest.raises(ValueError, match="^sample_rate must be at least 1$"):
        so.SubOctaveState(2**32)  # "I" wraps to 0
    with pytest.raises(ValueError, match="^channel_count must be 1 or 2$"):
        so.SubOctaveState(48000, -1)
    s = so.SubOctaveState(channel_count=1)
    for option in (-1, 4, 2**31 - 1):
        with pytest.raises(ValueError, match="^unknown sub-octave option$"):
            s.configure(option, 1.0)
    buf = bytearray(3)
    with pytest.raises(ValueError, match=BAD_FRAMES):
        s.process(buf)
    buf.append(0)
    with pytest.raises(ValueError, match=BAD_FRAMES):
        so.SubOctaveState().process(bytes(6))
    assert so.SubOctaveState().process(b"") == b""


def test_failed_init_leaves_the_object_unchanged():
    s = so.SubOctaveState(48000, 1)
    with pytest.raises(ValueError):
        s.__init__(48000, 5)
    assert len(s.process(bytes(2))) == 2  # still mono


def test_never_initialised_object_is_refused():
    s = so.SubOctaveState.__new__(so.SubOctaveState)
    for call in (lambda: s.process(bytes(4)), lambda: s.configure(0, 1.0), s.finish, s.reset):
        with pytest.raises(ValueError):
            call()
