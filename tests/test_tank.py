import math
import tracemalloc

import numpy as np
import pytest

import _sonolith as so
from tests.models.tank import Tank, default_lengths

NAN, INF = float("nan"), float("inf")
BAD_FRAMES = "^input must be whole 16-bit frames for the configured channel count$"
COUNT = "^delays needs 12 line lengths; taps needs 4 values per tap$"
SHORT = "^every line needs at least 4 frames$"
FIT = "^the lines do not fit$"
CHANNEL, LINE, OFFSET = ("^a tap channel is not 0 or 1$", r"^a tap line index is not 0\.\.11$",
                         "^a tap offset is past the end of its line$")


def noise(rng, frames, channels, amplitude=30000):
    return rng.integers(-amplitude, amplitude + 1, frames * channels, dtype=np.int16).tobytes()


def random_network(rng, short=True):
    lengths = [int(v) for v in rng.integers(4, 90 if short else 400, 12)]
    taps = []
    for _ in range(int(rng.integers(1, 33))):
        line = int(rng.integers(0, 12))
        taps += [int(rng.integers(0, 2)), line, int(rng.integers(0, lengths[line])), float(rng.uniform(-1.5, 1.5))]
    return lengths, taps


def random_options(rng):
    return [(0, rng.uniform(0.2, 1.1)), (1, rng.uniform(-0.1, 1.0)), (2, rng.choice([0, rng.uniform(500, 9000)])),
            (3, rng.choice([-5, rng.uniform(1000, 20000)])), (4, rng.choice([0, rng.uniform(10, 400)])),
            (5, rng.uniform(0, 8)), (6, rng.uniform(0, 3)), (7, rng.choice([0, rng.uniform(0.1, 150)])),
            (8, rng.choice([0, rng.uniform(0, 1.2)])), (9, rng.uniform(-0.2, 2.2)), (10, rng.uniform(-30, 30)),
            (11, rng.choice([0, 2, rng.uniform(0, 2)]))]


def twins(*args, options=(), finish=False, **kwargs):
    native, model = so.TankState(*args, **kwargs), Tank(*args, **kwargs)
    for option, value in options:
        native.configure(option, float(value))
        model.configure(option, float(value))
    if finish:
        native.finish()
        model.finish()
    return native, model


def run_blocks(obj, data, frame_bytes, rng, most=700):
    out, i = [], 0
    while i < len(data):
        n = int(rng.integers(0, most)) * frame_bytes
        out.append(obj.process(data[i:i + n]))
        i += n
    return b"".join(out)


def test_default_lengths_at_48k():
    assert default_lengths(48000) == [229, 173, 611, 447, 1084, 7182, 2903, 6000, 1464, 6801, 4284, 5101]
    assert default_lengths(1) == [4] * 12


@pytest.mark.parametrize("channels", [1, 2])
@pytest.mark.parametrize("network, rate, configured", [
    ("default", 48000, False), ("default", 8000, True), ("default", 1, True), ("default", 48000, True),
    ("short", 48000, False), ("short", 22050, True), ("short", 48000, True), ("medium", 44100, True),
])
def test_matches_model(rng, channels, network, rate, configured):
    options = random_options(rng) if configured else []
    kwargs = dict(sample_rate=rate, max_predelay_ms=float(rng.uniform(0, 10)), channel_count=channels)
    if network != "default":
        kwargs["delays"], kwargs["taps"] = random_network(rng, network == "short")
    native, model = twins(options=options, finish=configured and rng.random() < 0.7, **kwargs)
    data = noise(rng, 2500, channels)
    assert run_blocks(native, data, 2 * channels, rng) == model.process(data)
    delays, taps = random_network(rng)
    native.recut(delays, taps)
    model.recut(delays, taps)
    data = noise(rng, 1500, channels)
    assert native.process(data) == model.process(data)


def test_recut_keeps_existing_taps_clamped(rng):
    native, model = twins(options=[(11, 2.0)], channel_count=1)
    native.recut([4] * 12, None)  # every default tap offset becomes 3
    model.recut([4] * 12, None)
    assert [t[2] for t in model.taps] == [3] * 14
    data = noise(rng, 800, 1)
    assert native.process(data) == model.process(data)
    native.recut(None, [])  # no taps: the wet signal is silent
    assert native.process(data) == bytes(len(data))


def test_streaming_equals_one_call(rng):
    options = [(5, 3.0), (6, 2.0), (7, 1.5), (2, 4000.0), (8, 0.4), (10, 3.0), (0, 0.95)]
    one, blocks = so.TankState(22050), so.TankState(22050)
    for obj in (one, blocks):
        for option, value in options:
            obj.configure(option, value)
        obj.finish()
    data = noise(rng, 30000, 2)
    assert run_blocks(blocks, data, 4, rng, 3000) == one.process(data)


@pytest.mark.parametrize("decay", [0.5, 0.8])
def test_impulse_response_decays_at_the_set_rate(decay):
    """Each pass through a tank half scales the amplitude by decay^2 (two gains of g, lossless
    all-passes), so the tail falls by 40 log10(g) dB per mean half length."""
    tank = so.TankState(48000, channel_count=1, delays=[142, 107, 379, 277, 672, 4453, 1800, 3720, 908,
                                                        4217, 2656, 3163])
    tank.configure(0, decay)
    tank.configure(11, 2.0)
    impulse = np.zeros(48000 * 4, np.int16)
    impulse[:8] = 32767
    y = np.frombuffer(tank.process(impulse.tobytes()), np.int16).astype(float)
    half = (672 + 4453 + 1800 + 3720 + 908 + 4217 + 2656 + 3163) / 2
    window = 2000
    rms = np.sqrt(np.mean(y[: len(y) // window * window].reshape(-1, window) ** 2, axis=1))
    db = 20 * np.log10(rms + 1e-9)
    good = slice(int(2 * half / window), None)
    live = db[good] > db[good].max() - 45  # above the quantisation floor
    t = (np.arange(len(db))[good][live] + 0.5) * window
    slope = np.polyfit(t, db[good][live], 1)[0] * half
    assert slope == pytest.approx(40 * math.log10(decay), rel=0.08)


def test_silent_flag_and_tail(rng):
    lengths, taps = random_network(rng)
    options = [(2, 3000.0), (10, 4.0), (0, 0.6), (6, 2.0), (7, 5.0)]  # a running oscillator
    native, model = twins(options=options, finish=True, sample_rate=8000,
                          max_predelay_ms=5.0, channel_count=2, delays=lengths, taps=taps)
    burst = noise(rng, 300, 2)
    assert native.process(burst) == model.process(burst)
    tails = []
    for _ in range(60):
        n = int(rng.integers(0, 200))
        out = native.process_silence(n)
        assert out == model.process_silence(n)
        tails.append(out)
        assert native.process(b"") == b""  # an empty call leaves the flag alone
        model.process(b"")
    assert model.silent and any(any(t) for t in tails)
    # While silent nothing runs: positions and the oscillator stand still until real frames come.
    assert native.process_silence(500) == bytes(2000)
    again = noise(rng, 400, 2)
    model.process_silence(500)
    assert native.process(again) == model.process(again)
    assert not model.silent


def test_option_and_init_messages():
    for args, message in [((0, -1.0, 3), "sample_rate must be at least 1"),
                          ((1, -1.0, 3), "max_predelay_ms must not be negative"),
                          ((1, -INF, 3), "max_predelay_ms must not be negative"),
                          ((1, 0.0, 3), "channel_count must be 1 or 2"),
                          ((1, 0.0, 0), "channel_count must be 1 or 2")]:
        with pytest.raises(ValueError, match=f"^{message}$"):
            so.TankState(*args)
    tank = so.TankState(channel_count=1)
    for option in (12, -1, 2**31 - 1):
        with pytest.raises(ValueError, match="^unknown tank option$"):
            tank.configure(option, 0.0)
    with pytest.raises(ValueError, match=BAD_FRAMES):
        tank.process(b"abc")
    with pytest.raises(ValueError, match=BAD_FRAMES):
        so.TankState().process(b"ab")
    with pytest.raises(ValueError, match="^frames must not be negative$"):
        tank.process_silence(-1)
    with pytest.raises(TypeError):
        tank.process_silence(1.5)
    assert tank.process(b"") == b"" and tank.process_silence(0) == b""


@pytest.mark.parametrize("delays, taps, error, message", [
    (5, None, TypeError, "^expected a sequence of numbers$"),
    (None, iter([0, 0, 0, 0.5]), TypeError, "^expected a sequence of numbers$"),
    ([4] * 13, None, ValueError, "^too many values$"),
    (None, [0] * 132, ValueError, "^too many values$"),
    ([4] * 11 + ["x"], None, TypeError, None),
    ([3] * 12, 5, TypeError, "^expected a sequence of numbers$"),  # both are read first
    ([3] * 12, [0] * 129, ValueError, "^too many values$"),
    ([4] * 11, None, ValueError, COUNT),
    (None, [0] * 6, ValueError, COUNT),
    ([4] * 11 + [3], [0, 12, 0, 1], ValueError, SHORT),  # delays before taps
    ([4] * 11 + [NAN], None, ValueError, SHORT),
    ([4] * 11 + [-INF], None, ValueError, SHORT),
    ([3] + [4194305] * 11, None, ValueError, SHORT),  # in line order
    ([4194305] + [3] * 11, None, ValueError, FIT),
    ([700000] * 12, None, ValueError, FIT),
    ([2**32 + 4] + [4] * 11, None, ValueError, FIT),  # no wrap into a valid length
    ([INF] + [4] * 11, None, ValueError, FIT),
    (None, [2, 0, 0, 1], ValueError, CHANNEL),
    (None, [1.5, 0, 0, 1], ValueError, CHANNEL),
    (None, [NAN, 0, 0, 1], ValueError, CHANNEL),
    (None, [0, 12, 0, 1], ValueError, LINE),
    (None, [0, 2**32, 0, 1], ValueError, LINE),
    (None, [0, NAN, 0, 1], ValueError, LINE),
    (None, [0, 0, 0, 1, 1, 0, 229, 1], ValueError, OFFSET),  # length of line 0 at 48 kHz
    (None, [0, 0, -1, 1], ValueError, OFFSET),
    (None, [0, 0, NAN, 1], ValueError, OFFSET),
    (None, [0, 0, 2**32 + 4, 1], ValueError, OFFSET),
    ([8] * 12, [0, 3, 8, 1], ValueError, OFFSET),  # against the new length
])
def test_recut_messages_leave_the_object_unchanged(rng, delays, taps, error, message):
    tank, twin = so.TankState(), so.TankState()
    tank.configure(11, 2.0)
    twin.configure(11, 2.0)
    data = noise(rng, 300, 2)
    tank.process(data), twin.process(data)
    with pytest.raises(error, match=message):
        tank.recut(delays, taps)
    assert tank.process(data) == twin.process(data)
    with pytest.raises(error, match=message):  # __init__ applies the same rules
        tank.__init__(delays=delays, taps=taps)
    assert tank.process(data) == twin.process(data)


def test_recut_values_are_read_as_numbers(rng):
    class Number:
        def __float__(self):
            return 1.0

    native, model = twins(channel_count=1)
    delays = (9.9, 4, True + 3, 40.5, 7, 8, 9, 10, 11, 12, 13, 14)
    taps = [0.9, 10.5, Number(), -0.5, 1, 0.0, 8.99, 1e30]  # channel, line, offset truncated
    native.recut(delays, taps)
    model.recut(delays, [0, 10, 1, -0.5, 1, 0, 8, 1e30])
    data = noise(rng, 500, 1)
    assert native.process(data) == model.process(data)


def test_adversarial_gains(rng):
    """A NaN tap gain counts as 0; infinite gains saturate the output and never crash."""
    data = noise(rng, 600, 2)
    nan, zero = so.TankState(delays=[20] * 12, taps=[0, 5, 3, NAN, 1, 9, 4, 0.5]), \
        so.TankState(delays=[20] * 12, taps=[0, 5, 3, 0.0, 1, 9, 4, 0.5])
    assert nan.process(data) == zero.process(data)
    wild = so.TankState(delays=[20] * 12, taps=[0, 5, 3, INF, 0, 5, 4, -INF, 1, 9, 4, INF])
    wild.configure(10, 6.0)
    wild.finish()
    y = np.frombuffer(wild.process(data) + wild.process_silence(2000), np.int16)
    assert y.min() >= -32768 and y.max() <= 32767


@pytest.mark.parametrize("option, default", [(0, 0.5), (1, 0.75), (2, 0.0), (3, 0.0), (4, 0.0), (5, 0.0),
                                             (6, 0.0), (7, 0.0), (8, 0.0), (9, 1.0), (10, 0.0), (11, 0.3)])
def test_nan_options_take_their_default(rng, option, default):
    data = noise(rng, 1500, 2)
    native, twin = so.TankState(22050, delays=[30] * 12), so.TankState(22050, delays=[30] * 12)
    for obj, value in ((native, NAN), (twin, default)):
        obj.configure(7, 3.0)
        obj.configure(6, 1.0)
        obj.configure(option, value)
        obj.finish()
    assert native.process(data) == twin.process(data)


@pytest.mark.parametrize("value", [INF, -INF, 1e300, -1e300])
def test_infinite_options_behave_like_their_limits(rng, value):
    data = noise(rng, 2000, 1)
    for option in range(12):
        native, model = twins(options=[(6, 2.0), (7, 2.0), (option, value)], finish=True, sample_rate=16000,
                              channel_count=1, delays=[50] * 12)
        assert native.process(data[:1000]) == model.process(data[:1000])


def test_huge_sample_rates_are_bounded(rng):
    with pytest.raises(ValueError, match=FIT):  # the default lines would not fit
        so.TankState(2**32 - 1)
    tracemalloc.start()
    try:
        tank = so.TankState(2**32 - 1, 1e300, 1, [4] * 12)
        tank.configure(5, INF)
        tank.configure(6, INF)
        tank.configure(7, 100.0)
        tank.finish()
        peak = tracemalloc.get_traced_memory()[1]
    finally:
        tracemalloc.stop()
    assert peak < 40 << 20  # the predelay holds at most 2^24 frames
    assert len(tank.process(noise(rng, 100, 1))) == 200
    small = so.TankState(1, NAN)  # NaN max_predelay_ms counts as 0: one predelay frame
    small.configure(5, 1e9)
    assert len(small.process_silence(10)) == 40


def test_recut_reuses_the_block_when_the_size_is_unchanged(rng):
    tank, model = twins(delays=[100] * 12)
    tank.process(noise(rng, 500, 2))
    tracemalloc.start()
    try:
        tank.recut([50, 150] * 6, None)
        same = tracemalloc.get_traced_memory()[1]
        tank.recut([60] * 12, None)
        grown = tracemalloc.get_traced_memory()[1]
    finally:
        tracemalloc.stop()
    assert same < 1000 < grown
    model.recut([50, 150] * 6, None)
    model.recut([60] * 12, None)
    data = noise(rng, 500, 2)
    assert tank.process(data) == model.process(data)


def test_uninitialised_object_never_reaches_a_kernel():
    tank = so.TankState.__new__(so.TankState)
    calls = [lambda: tank.process(b"\0" * 4), lambda: tank.process_silence(10), lambda: tank.reset(),
             lambda: tank.finish(), lambda: tank.configure(0, 0.5), lambda: tank.recut([4] * 12, [])]
    for call in calls:
        with pytest.raises(ValueError):
            call()
    with pytest.raises(ValueError):  # recut did not make it usable
        tank.process(b"\0" * 4)
    with pytest.raises(ValueError, match=SHORT):  # nor does a failed __init__
        tank.__init__(delays=[3] * 12)
    with pytest.raises(ValueError):
        tank.process_silence(1)


def test_sequences_that_lie_or_change():
    class Claims:
        def __len__(self):
            return 2**31

        def __getitem__(self, i):
            return 4

    tank = so.TankState()
    with pytest.raises(ValueError, match="^too many values$"):
        tank.recut(Claims(), None)
    delays = [100] * 12

    class Clearing:
        def __float__(self):
            delays.clear()
            return 100.0

    delays[3] = Clearing()
    with pytest.raises(IndexError):
        tank.recut(delays, None)
    assert len(tank.process(bytes(400))) == 400
