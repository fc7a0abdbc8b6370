import math

import numpy as np
import pytest

import _sonolith as so
from tests.models.allpass_f32 import AllPassF32
from tests.models.biquad_f32 import BiquadF32, glide_bits

MODE, FREQ, Q, GAIN, MIX = range(5)
AP_FREQ, AP_FEEDBACK, AP_MIX = range(3)
BAD_FRAMES = "^input must be whole 16-bit frames for the configured channel count$"
NAN, INF = float("nan"), float("inf")


def noise(rng, frames, channels, scale=9000):
    return (rng.standard_normal(frames * channels) * scale).clip(-32768, 32767).astype(np.int16).tobytes()


def blocks(rng, data, frame_bytes, top=300):
    """Random block sizes, empty blocks included; an empty input is one empty block."""
    if not data:
        yield data
    i = 0
    while i < len(data):
        n = int(rng.integers(0, top)) * frame_bytes
        yield data[i:i + n]
        i += n


def pair(native_type, model_type, *args, options=()):
    native, model = native_type(*args), model_type(*args)
    for option, value in options:
        native.configure(option, value)
        model.configure(option, value)
    return native, model


def both(native, model, method, *args):
    getattr(native, method)(*args)
    getattr(model, method)(*args)


def random_design(rng, rate, mode=None):
    return [(MODE, int(rng.integers(0, 7)) if mode is None else mode),
            (FREQ, float(rng.choice([0.0, rate * rng.uniform(4e-4, 4e-3), rate * rng.uniform(4e-3, 0.5)], p=[0.1, 0.3, 0.6]))),
            (Q, float(rng.choice([rng.uniform(0.05, 1), rng.uniform(1, 60)]))),
            (GAIN, float(rng.uniform(-60, 60)))]


# ---------------------------------------------------------------------------------------------
# BiquadF32State


@pytest.mark.parametrize("mode", range(7))
@pytest.mark.parametrize("channels", [1, 2])
def test_designs_match_model(rng, mode, channels):
    rng = np.random.default_rng([mode, channels])
    for _ in range(3):
        rate = int(rng.choice([8000, 44100, 48000, 96000]))
        options = random_design(rng, rate, mode) + [(MIX, float(rng.choice([1.0, rng.uniform(0, 1)])))]
        native, model = pair(so.BiquadF32State, BiquadF32, rate, channels, options=options)
        assert native.coefficients() == model.coefficients()
        data = noise(rng, 1200, channels)
        got = b"".join(native.process(b) for b in blocks(rng, data, 2 * channels))
        assert got == model.process(data)


@pytest.mark.parametrize("rate", [70, 8000, 11025, 48000])
@pytest.mark.parametrize("channels", [1, 2])
def test_glides_between_designs_match_model(rng, rate, channels):
    """Designs change mid-stream, during glides too, with switches to and from designs without
    a state-variable form (frequency 0), a process before the first design and a reset."""
    rng = np.random.default_rng([rate, channels])
    native, model = pair(so.BiquadF32State, BiquadF32, rate, channels)
    L = 2 ** glide_bits(rate)
    frame_bytes = 2 * channels
    data = noise(rng, 40, channels)
    assert native.process(data) == model.process(data)  # no design yet: silence
    for step in range(14):
        options = random_design(rng, rate)
        if step % 5 == 2:
            options[FREQ] = (FREQ, 0.0)
        for option, value in options + [(MIX, float(rng.uniform(0.5, 1)))]:
            native.configure(option, value)
            model.configure(option, value)
        both(native, model, "finish")
        if step == 9:
            both(native, model, "reset")
        data = noise(rng, int(rng.integers(L // 4, 2 * L + 2)), channels)
        got = b"".join(native.process(b) for b in blocks(rng, data, frame_bytes, L // 2 + 2))
        assert got == model.process(data), step


@pytest.mark.parametrize("rate, bits", [(48000, 10), (8000, 7), (70, 0), (71, 1), (2**32 - 1, 20)])
def test_glide_length(rate, bits):
    assert glide_bits(rate) == bits


def test_glide_has_no_step():
    """Moving a low-pass from 1 kHz to 3 kHz under a 300 Hz tone changes the tone slowly, while a
    switch through a cleared state (frequency 0 and back) starts with a transient."""
    t = np.arange(6000)
    tone = np.round(12000 * np.sin(2 * np.pi * 300 * t / 48000)).astype(np.int16).tobytes()

    def run(frequencies):
        f = so.BiquadF32State(48000, 1)
        f.configure(FREQ, 1000.0)
        f.finish()
        out = [f.process(tone[:6000])]
        for freq in frequencies:
            f.configure(FREQ, freq)
            f.finish()
            out.append(f.process(tone[6000:6002]))
        out.append(f.process(tone[6002:]))
        return np.abs(np.diff(np.frombuffer(b"".join(out), np.int16).astype(int)))

    smooth, cleared = run([3000.0]), run([0.0, 3000.0])
    assert smooth[2000:].max() <= 1.05 * smooth[2000:3000].max()
    assert cleared[2999:3010].max() > 5 * smooth[2000:3000].max()


@pytest.mark.parametrize("mode", range(7))
def test_frequency_response_against_freqz(rng, mode):
    signal = pytest.importorskip("scipy.signal")
    rate, n, f0, q, gain = 48000, 8192, 1500.0, 1.3, 9.0
    f = so.BiquadF32State(rate, 1)
    for option, value in [(MODE, mode), (FREQ, f0), (Q, q), (GAIN, gain)]:
        f.configure(option, value)
    b0, b1, b2, a1, a2 = f.coefficients()
    b, a = [b0, b1, b2], [1.0, a1, a2]
    impulse = np.zeros(n, np.int16)
    impulse[0] = 8192
    h = np.frombuffer(f.process(impulse.tobytes()), np.int16) / 8192
    _, H = signal.freqz(b, a, worN=n, whole=True)
    assert np.abs(np.fft.fft(h) - H).max() < 0.02
    # The cookbook gains at f0: Q for low- and high-pass, 1 for band-pass, 0 for the notch,
    # the full gain for the peak and half of it for the shelves.
    A = 10 ** (gain / 40)
    expected = [q, q, 1.0, 0.0, A * A, A, A][mode]
    _, H0 = signal.freqz(b, a, worN=[f0], fs=rate)
    assert abs(abs(H0[0]) - expected) < 1e-3 * max(1, expected)


def test_cookbook_examples():
    f = so.BiquadF32State()
    f.configure(MODE, 0)
    f.configure(FREQ, 1000)
    f.configure(Q, 0.7071)
    b0, b1, b2, a1, a2 = f.coefficients()
    assert b0 == b2 and b0 == pytest.approx(0.003916, abs=1e-6) and b1 == pytest.approx(0.007832, abs=1e-6)
    assert a1 == pytest.approx(-1.815340, abs=1e-6) and a2 == pytest.approx(0.831004, abs=1e-6)
    f.configure(MODE, 3)
    b0, b1, b2, a1, a2 = f.coefficients()
    alpha = math.sin(2 * math.pi * 1000 / 48000) / (2 * 0.7071)
    assert b0 == b2 == pytest.approx(1 / (1 + alpha), rel=1e-6) and b1 == a1


@pytest.mark.parametrize("option, value, same_as", [
    (MODE, 9, 6), (MODE, 1e10, 6), (MODE, 3e9, 6), (MODE, 2.0**31, 6), (MODE, INF, 6), (MODE, 5.99, 5),
    (MODE, -0.5, 0), (MODE, -1e10, 0), (MODE, -INF, 0), (MODE, NAN, 0),
    (FREQ, 1e9, 23995.2), (FREQ, INF, 23995.2), (FREQ, -5, 0), (FREQ, NAN, 1000),
    (Q, 0.0, 0.05), (Q, 1e30, 60), (Q, NAN, 0.70710677), (GAIN, -1e30, -60), (GAIN, INF, 60), (GAIN, NAN, 0),
])
def test_option_clamps(option, value, same_as):
    def coefficients(v):
        f = so.BiquadF32State()
        f.configure(MODE, 4)
        f.configure(GAIN, 6)
        f.configure(option, v)
        return f.coefficients()

    assert coefficients(value) == coefficients(same_as)


@pytest.mark.parametrize("mix, same_as", [(-1, 0), (NAN, 1), (2, 1), (INF, 1)])
def test_mix_clamps(rng, mix, same_as):
    data = noise(rng, 300, 2)
    out = []
    for v in (mix, same_as):
        f = so.BiquadF32State()
        f.configure(MIX, v)
        f.finish()
        out.append(f.process(data))
    assert out[0] == out[1]
    if same_as == 0:
        assert out[0] == data


@pytest.mark.parametrize("rate", [1, 2, 1000, 1333, 1500, 1999, 2000])
def test_low_sample_rates_stay_finite(rng, rate):
    """The initial 1000 Hz lies above Nyquist here: the design clamps it, every design is stable."""
    for mode in range(7):
        native, model = pair(so.BiquadF32State, BiquadF32, rate, 2, options=[(MODE, mode), (GAIN, 12)])
        c = native.coefficients()
        assert c == model.coefficients() and all(map(math.isfinite, c))
        assert np.all(np.abs(np.roots([1.0, c[3], c[4]])) < 1)
        data = noise(rng, 300, 2)
        assert native.process(data) == model.process(data)


def test_no_design_silence_mix_zero_and_empty(rng):
    data = noise(rng, 500, 2)
    f = so.BiquadF32State()
    assert f.process(data) == bytes(len(data))
    f.configure(MIX, 0)
    f.configure(MODE, 4)
    f.configure(GAIN, 20)
    f.finish()
    assert f.process(b"") == b""
    assert f.process(data) == data


def test_streaming_equivalence(rng):
    data = noise(rng, 5000, 2)
    whole, parts = so.BiquadF32State(), so.BiquadF32State()
    for f in (whole, parts):
        f.configure(MODE, 5)
        f.configure(GAIN, -9)
        f.finish()
        f.process(data[:400])
        f.configure(FREQ, 300)
        f.finish()
    assert whole.process(data) == b"".join(parts.process(b) for b in blocks(rng, data, 4))


def test_biquad_messages():
    with pytest.raises(ValueError, match="^sample_rate must be at least 1$"):
        so.BiquadF32State(0, 3)
    with pytest.raises(ValueError, match="^channel_count must be 1 or 2$"):
        so.BiquadF32State(48000, 3)
    f = so.BiquadF32State(channel_count=1)
    for option in (-1, 5, 2**31 - 1):
        with pytest.raises(ValueError, match="^unknown biquad option$"):
            f.configure(option, 0.0)
    buf = bytearray(3)
    with pytest.raises(ValueError, match=BAD_FRAMES):
        f.process(buf)
    buf.append(0)  # the view was released
    with pytest.raises(ValueError, match=BAD_FRAMES):
        so.BiquadF32State().process(bytes(6))
    with pytest.raises(ValueError):
        f.__init__(48000, 5)
    assert len(f.process(bytes(2))) == 2  # still mono


# ---------------------------------------------------------------------------------------------
# AllPassF32State


@pytest.mark.parametrize("stages", range(1, 17))
def test_cascade_matches_model(stages):
    rng = np.random.default_rng(stages)
    channels = 1 + stages % 2
    rate = int(rng.choice([22050, 48000]))
    native, model = pair(so.AllPassF32State, AllPassF32, rate, channels, stages,
                         options=[(AP_FEEDBACK, float(rng.uniform(-0.99, 0.99))), (AP_MIX, float(rng.uniform(0, 1)))])
    for step in range(5):
        if step != 2:  # a call without a new commitment keeps the coefficient
            freq = float(rng.uniform(0, 0.5 * rate))
            native.configure(AP_FREQ, freq)
            model.configure(AP_FREQ, freq)
            assert native.coefficient() == model.coefficient_value()
        if step == 3:
            both(native, model, "reset")
        data = noise(rng, int(rng.integers(0, 160)), channels)
        assert native.process(data) == model.process(data), step


@pytest.mark.parametrize("stages", [1, 3, 16])
def test_all_pass_response_against_freqz(stages):
    signal = pytest.importorskip("scipy.signal")
    n = 4096
    f = so.AllPassF32State(48000, 1, stages)
    f.configure(AP_FREQ, 3000)
    h = f.coefficient()
    f.process(bytes(2))  # the ramp to the committed coefficient ends with this call
    impulse = np.zeros(n, np.int16)
    impulse[0] = 16384
    y = np.frombuffer(f.process(impulse.tobytes()), np.int16) / 16384
    _, H = signal.freqz([h, 1.0], [1.0, h], worN=n, whole=True)
    assert np.abs(np.fft.fft(y) - H**stages).max() < 0.01


def test_all_pass_edges(rng):
    f = so.AllPassF32State(48000, 2, 1)
    x = noise(rng, 200, 2)
    y = f.process(x)
    assert y == bytes(4) + x[:-4]  # before a commitment each stage delays by one frame
    f.configure(AP_FREQ, 12000)
    assert abs(f.coefficient()) < 1e-7
    f.configure(AP_FREQ, 0)
    assert f.coefficient() == pytest.approx(-0.9999)
    f.configure(AP_MIX, 0)
    assert f.process(x) == x
    f.configure(AP_MIX, 1)
    f.reset()
    mono = np.frombuffer(noise(rng, 300, 1), np.int16)
    out = np.frombuffer(f.process(np.repeat(mono, 2).tobytes()), np.int16)
    assert np.array_equal(out[0::2], out[1::2])


@pytest.mark.parametrize("option, value, same_as", [
    (AP_FEEDBACK, 2.0, 0.99), (AP_FEEDBACK, -INF, -0.99), (AP_FEEDBACK, NAN, 0.0),
    (AP_MIX, NAN, 1.0), (AP_MIX, -3, 0.0), (AP_FREQ, 1e300, 23995.2), (AP_FREQ, NAN, 1000.0), (AP_FREQ, -1, 0),
])
def test_all_pass_clamps(rng, option, value, same_as):
    data = noise(rng, 300, 2)
    out = []
    for v in (value, same_as):
        f = so.AllPassF32State(48000, 2, 6)
        f.configure(AP_FEEDBACK, 0.7)
        f.configure(option, v)
        f.finish()
        out.append(f.process(data))
    assert out[0] == out[1]


@pytest.mark.parametrize("rate", [1, 3, 1000, 1333, 1500, 1999])
def test_all_pass_low_sample_rates(rng, rate):
    native, model = pair(so.AllPassF32State, AllPassF32, rate, 2, 8, options=[(AP_FEEDBACK, 0.9)])
    h = native.coefficient()
    assert h == model.coefficient_value() and -0.9999 <= h <= 0.9999 and math.isfinite(h)
    data = noise(rng, 200, 2)
    assert native.process(data) == model.process(data)


def test_all_pass_streaming_without_a_ramp(rng):
    data = noise(rng, 4000, 2)
    whole, parts = so.AllPassF32State(48000, 2, 12), so.AllPassF32State(48000, 2, 12)
    for f in (whole, parts):
        f.configure(AP_FEEDBACK, -0.8)
        f.configure(AP_FREQ, 700)
        f.finish()
        f.process(data[:40])
    assert whole.process(data) == b"".join(parts.process(b) for b in blocks(rng, data, 4))


def test_all_pass_messages():
    with pytest.raises(ValueError, match="^sample_rate must be at least 1$"):
        so.AllPassF32State(0, 3, 0)
    with pytest.raises(ValueError, match="^channel_count must be 1 or 2$"):
        so.AllPassF32State(48000, 0, 0)
    for stages in (0, 17, 2**32 - 1):
        with pytest.raises(ValueError, match="^stages must be between 1 and SONOLITH_FILTER_F32_MAX_STAGES$"):
            so.AllPassF32State(stages=stages)
    f = so.AllPassF32State(stages=16)
    for option in (-1, 3):
        with pytest.raises(ValueError, match="^unknown all-pass option$"):
            f.configure(option, 0.0)
    with pytest.raises(ValueError, match=BAD_FRAMES):
        f.process(bytes(6))
    with pytest.raises(ValueError):
        f.__init__(48000, 1, 17)
    assert len(f.process(bytes(4))) == 4  # still stereo


# ---------------------------------------------------------------------------------------------
# Both


@pytest.mark.parametrize("cls", [so.BiquadF32State, so.AllPassF32State])
def test_never_initialised_object_is_refused(cls):
    f = cls.__new__(cls)
    calls = [lambda: f.process(bytes(4)), lambda: f.process(b""), lambda: f.configure(0, 1.0), f.finish, f.reset,
             getattr(f, "coefficients", None) or f.coefficient]
    for call in calls:
        with pytest.raises(ValueError):
            call()
