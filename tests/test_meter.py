import math

import numpy as np
import pytest

import _sonolith as so
from tests.models.meter import Meter, band_layout

BAD_CONFIG = "bands 0..96, and 0 < low_hz < high_hz"
BAD_FEED = "whole s16 frames, 1..8 channels, 1 kHz..384 kHz"


def noise(rng, frames, channels):
    """Broadband noise at a level that changes in steps, full scale included."""
    level = np.repeat(rng.choice([0.0, 0.001, 0.05, 0.5, 1.0], frames // 300 + 1), 300)[:frames]
    x = rng.uniform(-32768, 32767, (frames, channels)) * level[:, None]
    return x.astype(np.int16).tobytes()


def feed_split(objects, data, rate, channels, rng):
    """Feeds data to every object in the same random blocks; yields after each block."""
    fb = 2 * channels
    i, n = 0, len(data) // fb
    while i < n:
        k = int(rng.integers(0, 700))
        for obj in objects:
            obj.feed(data[i * fb:(i + k) * fb], rate, channels)
        yield
        i += k


@pytest.mark.parametrize("segments, bands, low, high", [
    ([(48000, 2, 5000)], 24, 20.0, 20000.0),
    ([(44100, 1, 4000)], 31, 30.0, 16000.0),
    ([(8000, 3, 3000)], 96, 10.0, 3900.0),
    ([(192000, 8, 14000)], 40, 20.0, 90000.0),
    ([(1000, 2, 2500), (48000, 2, 3000)], 12, 5.0, 15000.0),   # corner above Nyquist, then back
    ([(22050, 1, 2000), (16000, 2, 2000)], 96, 1e-40, 3e38),  # extreme limits, rate change
])
def test_analysis_matches_model(segments, bands, low, high):
    rng = np.random.default_rng(bands)
    native, model = so.MeterState(), Meter()
    native.configure(bands, low, high)
    model.configure(bands, low, high)

    for rate, channels, frames in segments:
        for _ in feed_split((native, model), noise(rng, frames, channels), rate, channels, rng):
            assert native.read() == model.read()
        assert native.stats() == model.stats()
    assert model.counter > 4 and any(model.published[:bands])


@pytest.mark.parametrize("rate, channels", [(48000, 2), (11025, 1), (96000, 5)])
def test_analyses_counted_for_any_split(rate, channels):
    rng = np.random.default_rng(rate)
    data = noise(rng, 9000, channels)
    whole, split = so.MeterState(), so.MeterState()
    for m in (whole, split):
        m.configure(20, 40.0, 18000.0)
    whole.feed(data, rate, channels)
    for _ in feed_split((split,), data, rate, channels, rng):
        pass
    assert whole.read() == split.read()
    assert whole.read()[0] == 9000 // (rate // 60) == whole.stats()[2]


def test_publication_every_hop():
    m = so.MeterState()
    m.configure(8, 100.0, 10000.0)
    frame = b"\x10\x00\x10\x00"
    m.feed(frame * 799, 48000)
    assert m.read()[0] == 0
    m.feed(frame, 48000)
    assert m.read()[0] == 1
    m.feed(frame * 800, 48000)
    assert m.read()[0] == 2 and m.stats() == (True, 8, 2, 0, 0, 0, 0)


def test_configuration_is_staged():
    m = so.MeterState()
    assert m.read() == (0, b"", 0, 0) and m.stats() == (False, 0, 0, 0, 0, 0, 0)
    m.configure(24, 20.0, 20000.0)
    assert m.stats() == (False, 0, 0, 0, 0, 0, 0)  # applied at the next feed
    m.feed(b"", 48000)
    assert m.stats() == (True, 24, 0, 0, 0, 0, 0)
    square = np.tile(np.array([32767, 32767, -32767, -32767], np.int16), 24000).tobytes()
    m.feed(square, 48000)
    count, codes, peak, rms = m.read()
    assert m.stats() == (True, 24, 60, 0, 0, 0, 0) and count == 60 and (peak, rms) == (200, 200)
    m.__init__()  # a second construction keeps the record
    assert m.read() == (count, codes, peak, rms)
    m.configure(6, 20.0, 20000.0)
    m.feed(b"", 44100)
    # statistics cleared; the published codes and the publication number are kept
    assert m.stats() == (True, 6, 0, 0, 0, 0, 0) and m.read() == (60, codes[:6], peak, rms)
    m.feed(bytes(4 * 2000), 44100)  # hop 735
    assert m.stats() == (True, 6, 2, 0, 0, 0, 0) and m.read()[0] == 62 and m.read()[2:] == (0, 0)
    m.configure(0, 1.0, 2.0)
    m.feed(square, 48000)  # switched off: the audio is ignored
    assert m.stats() == (False, 0, 0, 0, 0, 0, 0) and m.read() == (62, b"", 0, 0)


def test_only_first_two_channels_measured():
    rng = np.random.default_rng(3)
    x = rng.integers(-30000, 30000, (4000, 4), dtype=np.int16)
    a, b = so.MeterState(), so.MeterState()
    for m in (a, b):
        m.configure(16, 30.0, 15000.0)
    a.feed(x.tobytes(), 48000, 4)
    b.feed(np.ascontiguousarray(x[:, :2]).tobytes(), 48000, 2)
    assert a.read() == b.read()


@pytest.mark.parametrize("freq", [45.0, 130.0, 330.0, 1000.0, 2700.0, 9000.0])
def test_tones_land_in_their_bands(freq):
    bands, low, high, rate = 24, 20.0, 20000.0, 48000
    m = so.MeterState()
    m.configure(bands, low, high)
    t = np.arange(rate)
    tone = np.round(16000 * np.sin(2 * np.pi * freq / rate * t)).astype(np.int16)
    m.feed(tone.tobytes(), rate, 1)
    codes = list(m.read()[1])
    j = int(math.log(freq / low) / math.log(high / low) * bands)
    assert codes.index(max(codes)) == j
    assert max(codes) >= 184 and min(codes) < max(codes) - 40  # the tone at -6 dB: code 188
    assert band_layout(bands, low, high, rate)[j][0] == (freq < 350)


@pytest.mark.parametrize("args", [
    (97, 20.0, 20000.0), (-1, 20.0, 20000.0), (10, 100.0, 100.0), (10, 200.0, 100.0),
    (10, 0.0, 100.0), (10, -5.0, 100.0), (10, 1e-50, 100.0),  # 1e-50 narrows to 0
    (10, math.nan, 100.0), (10, 10.0, math.nan), (10, 10.0, math.inf), (10, 10.0, 1e300),
    (10, 10.0, 3.5e38), (10, -math.inf, 100.0), (10, 100.0, 100.000000001),
])
def test_configure_refuses(args):
    m = so.MeterState()
    with pytest.raises(ValueError, match=f"^{BAD_CONFIG}$"):
        m.configure(*args)
    m.feed(bytes(4 * 1000), 48000)
    assert m.stats() == (False, 0, 0, 0, 0, 0, 0)


@pytest.mark.parametrize("args", [(999, 2), (384001, 2), (48000, 9), (48000, 0), (0, 2)])
def test_feed_refuses(args):
    m = so.MeterState()
    m.configure(4, 100.0, 1000.0)
    block = bytearray(48)
    with pytest.raises(ValueError, match=f"^{BAD_FEED}$"):
        m.feed(block, *args)
    with pytest.raises(ValueError, match=f"^{BAD_FEED}$"):
        m.feed(bytes(6), 48000)  # three samples are not whole stereo frames
    block.extend(b"12")  # no view left behind
    assert m.stats() == (False, 0, 0, 0, 0, 0, 0)  # nothing applied on an error


def test_limits_accepted():
    m = so.MeterState()
    m.configure(96, 1.5e-45, 3.4e38)
    m.configure(0, 1.0, 2.0)
    m.configure(96, 20.0, 20000.0)
    for rate in (1000, 1400, 1401, 384000):
        for channels in (1, 8):
            m.feed(bytes(2 * channels * 700), rate, channels)
    assert m.stats()[:2] == (True, 96)
    with pytest.raises(TypeError):
        m.feed(b"", 48000.0)


def test_uninitialised_object_refused():
    m = so.MeterState.__new__(so.MeterState)
    for call in (lambda: m.configure(4, 1.0, 2.0), lambda: m.feed(b"", 48000), m.read, m.stats):
        with pytest.raises(ValueError):
            call()
    with pytest.raises(TypeError):
        so.MeterState(1)
    so.MeterState(foo=1)  # keyword arguments are ignored
