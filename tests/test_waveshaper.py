import numpy as np
import pytest

import _sonolith as so
from tests.models.waveshaper import Waveshaper

DRIVE, BIAS, GAIN, MIX, AMOUNT, WIDTH, ASYM = range(7)
FACTORS = [1, 2, 4, 8, 16]
BAD_FRAMES = "^input must be whole 16-bit frames for the configured channel count$"
NAN, INF = float("nan"), float("inf")


def make(factor, channels, options=(), curve=None, finish=True):
    native, model = so.WaveshaperState(44100, factor, channels), Waveshaper(44100, factor, channels)
    for obj in (native, model):
        if curve is not None:
            obj.load_curve(curve)
        for option, value in options:
            obj.configure(option, value)
        if finish:
            obj.finish()
    return native, model


def random_curve(rng):
    n = int(rng.integers(2, 40))
    x = np.linspace(-1, 1, n)
    y = np.tanh(rng.uniform(1, 4) * x) * 30000 + rng.normal(0, 2000, n)
    return np.clip(y, -32768, 32767).astype(np.int16).tobytes()


def random_input(rng, frames, channels):
    x = rng.normal(0, rng.uniform(2000, 20000), (frames, channels))
    x[rng.integers(0, frames, 8)] = rng.choice([-32768, 32767])
    x[frames // 3: frames // 3 + 40] = 0
    return np.clip(np.round(x), -32768, 32767).astype(np.int16).tobytes()


def run_blocks(obj, data, frame_bytes, rng):
    out, i = [], 0
    while i < len(data):
        n = int(rng.integers(0, 90)) * frame_bytes
        out.append(obj.process(data[i:i + n]))
        i += n
    return b"".join(out)


@pytest.mark.parametrize("channels", [1, 2])
@pytest.mark.parametrize("curve", [False, True])
@pytest.mark.parametrize("backlash", [False, True])
@pytest.mark.parametrize("factor", FACTORS)
def test_matches_model_in_blocks(factor, backlash, curve, channels):
    rng = np.random.default_rng([factor, backlash, curve, channels])
    options = [(DRIVE, rng.uniform(-6, 6)), (BIAS, rng.uniform(-0.4, 0.4)), (GAIN, rng.uniform(-1.5, 1.5)),
               (MIX, rng.choice([1.0, rng.uniform(0, 1)]))]
    if backlash:
        options += [(AMOUNT, rng.uniform(0.2, 1)), (WIDTH, rng.uniform(0, 0.5)), (ASYM, rng.uniform(-1, 1))]
    native, model = make(factor, channels, options, random_curve(rng) if curve else None)
    data = random_input(rng, 2400 // factor + 150, channels)
    assert run_blocks(native, data, 2 * channels, rng) == model.process(data)
    native.reset()
    model.reset()
    assert native.process(data[:400]) == model.process(data[:400])


@pytest.mark.parametrize("factor", [1, 4, 16])
def test_recentre_after_silence(rng, factor):
    options = [(DRIVE, 3.0), (BIAS, 0.1), (AMOUNT, 0.8), (WIDTH, 0.3), (ASYM, 0.4)]
    native, model = make(factor, 2, options, random_curve(rng))
    loud = random_input(rng, 100, 2)
    silence = np.zeros((300, 2), np.int16)
    silence[300 - 256, 1] = 5  # the right channel falls silent one sample short of 256
    for obj in (native, model):
        obj.process(loud)
    assert native.process(silence.tobytes()) == model.process(silence.tobytes())
    assert native.recentre() is model.recentre() is False
    quiet = np.zeros(2, np.int16).tobytes()
    assert native.process(quiet) == model.process(quiet)
    assert native.recentre() is model.recentre() is True
    after = native.process(bytes(400))
    assert after == model.process(bytes(400))
    # The decimators moved with the held state: the silent output holds one value from the first
    # sample on, with no step response of the filters.
    assert len(set(np.frombuffer(after, np.int16)[0::2])) == 1
    assert len(set(np.frombuffer(after, np.int16)[1::2])) == 1
    native.reset()
    assert native.recentre() is False


def test_recentre_without_hysteresis_only_moves_the_held_state(rng):
    native, model = make(4, 1, [(BIAS, -0.3), (AMOUNT, 0.0)])
    data = random_input(rng, 200, 1) + bytes(600)
    assert native.process(data) == model.process(data)
    assert native.recentre() is model.recentre() is True
    native.configure(AMOUNT, 1.0)
    model.configure(AMOUNT, 1.0)
    assert native.process(data) == model.process(data)


def test_identity_at_1x_and_dry_mix(rng):
    data = np.concatenate([[-32768, 32767, 0, -1, 1], rng.integers(-32768, 32768, 2000)]).astype(np.int16)
    data = data.tobytes()
    assert so.WaveshaperState(oversample=1, channel_count=1).process(data) == data
    dry, _ = make(16, 2, [(DRIVE, 50.0), (AMOUNT, 1.0), (MIX, 0.0)], random_curve(rng))
    assert dry.process(data[:1200]) == data[:1200]


@pytest.mark.parametrize("factor", FACTORS[1:])
@pytest.mark.parametrize("curve", [None, np.array([-32768, 32767], np.int16).tobytes()])
def test_dc_settles_to_the_curve(factor, curve):
    native, _ = make(factor, 1, [], curve)
    y = np.frombuffer(native.process(np.full(400, 12000, np.int16).tobytes()), np.int16)
    assert abs(int(y[-1]) - 12000) <= 1 and len(set(y[-50:])) == 1


@pytest.mark.parametrize("option, value", [(o, v) for o in range(7) for v in (NAN, INF, -INF, 1e300)])
def test_adversarial_option_values(rng, option, value):
    native, model = make(4, 2, [(AMOUNT, 0.5), (option, value)], random_curve(rng) if option % 2 else None)
    data = random_input(rng, 150, 2)
    assert native.process(data) == model.process(data)


def test_hysteresis_options_wait_for_finish(rng):
    data = random_input(rng, 300, 2)
    native, model = make(2, 2, [(AMOUNT, 1.0), (WIDTH, 0.5)], finish=False)
    follows, _ = make(2, 2)
    assert native.process(data) == model.process(data) == follows.process(data)
    native.finish()
    assert native.process(data) != follows.process(data)


def test_messages_and_order():
    with pytest.raises(ValueError, match="^sample_rate must be at least 1$"):
        so.WaveshaperState(0, 3, 3)
    with pytest.raises(ValueError, match="^sample_rate must be at least 1$"):
        so.WaveshaperState(2**32)  # "I" wraps to 0
    for oversample in (0, 3, 32, 2**31, -1):
        with pytest.raises(ValueError, match="^oversample must be a power of two, 1 to 16$"):
            so.WaveshaperState(48000, oversample, 3)
    with pytest.raises(ValueError, match="^channel_count must be 1 or 2$"):
        so.WaveshaperState(channel_count=0)
    s = so.WaveshaperState(channel_count=1)
    for option in (-1, 7, 2**31 - 1):
        with pytest.raises(ValueError, match="^unknown waveshaper option$"):
            s.configure(option, 1.0)
    buf = bytearray(3)
    for bad in (buf, b"", b"\0\0"):
        with pytest.raises(ValueError, match="^curve must be at least two whole int16 points$"):
            s.load_curve(bad)
    with pytest.raises(ValueError, match=BAD_FRAMES):
        s.process(buf)
    buf.append(0)  # no view left behind
    with pytest.raises(ValueError, match=BAD_FRAMES):
        so.WaveshaperState().process(bytes(6))
    assert so.WaveshaperState().process(b"") == b""
    # The rate is kept, never multiplied by the factor: the largest one works like any other.
    data = np.arange(-3000, 3000, 7, dtype=np.int16).tobytes()
    assert so.WaveshaperState(2**32 - 1, 16, 1).process(data) == so.WaveshaperState(8000, 16, 1).process(data)
    with pytest.raises(TypeError):
        s.load_curve(12)


def test_uninitialised_object_is_refused():
    s = so.WaveshaperState.__new__(so.WaveshaperState)
    for call in (lambda: s.process(bytes(4)), lambda: s.load_curve(bytes(4)), s.finish, s.reset, s.recentre,
                 lambda: s.configure(0, 1.0)):
        with pytest.raises(ValueError):
            call()


def test_failed_calls_keep_the_state_and_reinit_detaches_the_curve(rng):
    curve = np.array([0, 30000, -30000, 0], np.int16).tobytes()
    native, model = make(8, 2, [(DRIVE, 2.0), (AMOUNT, 0.7)], curve)
    data = random_input(rng, 200, 2)
    assert native.process(data[:400]) == model.process(data[:400])
    with pytest.raises(ValueError):
        native.__init__(48000, 5)
    with pytest.raises(ValueError):
        native.load_curve(b"\0\0\0")
    assert native.process(data[400:]) == model.process(data[400:])
    native.__init__(44100, 8, 2)
    assert native.process(data) == Waveshaper(44100, 8, 2).process(data)
