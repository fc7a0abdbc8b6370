import struct

import numpy as np
import pytest

import _sonolith as so
from tests.models.splitter import RING, Splitter


def frames(rng, n, channels):
    return rng.integers(-32768, 32768, n * channels, dtype=np.int16).tobytes()


def run_against_model(ring, model, rng, channels, steps):
    """Random writes (some beyond a whole ring), takes, starved() and clear() on both."""
    taps = model.taps
    for _ in range(steps):
        r = rng.random()
        if r < 0.3:
            n = int(rng.choice([0, 1, 7, 255, 256, 300, 1000, 4000, 8192, 9000]))
            data = frames(rng, n, channels)
            assert ring.write(data) == model.write(data)
        elif r < 0.95:
            t = int(rng.integers(taps))
            for _ in range(int(rng.integers(1, 40))):
                assert ring.starved(t) == model.starved(t)
                chunk = ring.take(t)
                assert chunk == model.take(t)
        else:
            ring.clear()
            model.clear()
    for t in range(taps):
        while True:
            chunk = ring.take(t)
            assert chunk == model.take(t)
            if not chunk:
                break
        assert ring.starved(t)


@pytest.mark.parametrize("channels", [1, 2])
@pytest.mark.parametrize("taps", [1, 2, 3, 4])
def test_matches_model(rng, taps, channels):
    run_against_model(so.SplitterRing(taps, channels), Splitter(taps, channels), rng, channels, 60)


@pytest.mark.parametrize("taps, channels, before", [(1, 1, 5000), (4, 2, 12000)])
def test_counts_wrap_around_32_bits(rng, taps, channels, before):
    """The module reaches 2^32 - before through a long run of writes and clear(); the model
    starts there. The run then carries every count across the wrap with taps lagging behind."""
    ring = so.SplitterRing(taps, channels)
    block = bytes(RING * 2 * channels)
    write = ring.write
    total = (1 << 32) - before
    for _ in range(total // RING):
        write(block)
    write(block[:(total % RING) * 2 * channels])
    ring.clear()
    model = Splitter(taps, channels, start=total)
    run_against_model(ring, model, rng, channels, 40)
    assert model.write_count < total  # the counts did wrap


def test_worked_examples():
    ring = so.SplitterRing()
    assert all(ring.starved(t) for t in range(2)) and ring.take(0) == b""
    assert ring.write(bytes(300 * 4)) == 300
    assert [len(ring.take(0)) for _ in range(3)] == [1024, 176, 0]
    assert not ring.starved(1) and len(ring.take(1)) == 1024

    ring = so.SplitterRing(3)
    for _ in range(4):
        ring.write(bytes(2500 * 4))
    assert [sum(len(c) for c in iter(lambda: ring.take(t), b"")) for t in range(3)] == [RING * 4] * 3

    assert so.SplitterRing().write(bytes(9000 * 4)) == RING

    ring = so.SplitterRing(1)  # bring the read count to slot 8150, then write 100 frames
    ring.write(bytes(8150 * 4))
    ring.clear()
    ring.write(bytes(100 * 4))
    assert [len(ring.take(0)) // 4 for _ in range(3)] == [42, 58, 0]

    mono = so.SplitterRing(1, 1)
    assert mono.write(struct.pack("=2h", 1, 2)) == 2 and mono.take(0) == struct.pack("=2h", 1, 2)


def test_clear_drops_what_is_pending_on_every_tap():
    ring = so.SplitterRing(4)
    ring.write(bytes(400))
    ring.take(2)
    ring.clear()
    assert all(ring.starved(t) for t in range(4))


@pytest.mark.parametrize("taps, tap", [(4, 4), (2, 2), (2, -1), (1, 2**32), (1, -2**40)])
def test_tap_index_out_of_range(taps, tap):
    ring = so.SplitterRing(taps)
    for method in (ring.take, ring.starved):
        with pytest.raises(ValueError, match="^tap index out of range$"):
            method(tap)


def test_tap_index_conversion_errors_propagate():
    ring = so.SplitterRing()
    with pytest.raises(OverflowError):
        ring.take(2**70)
    with pytest.raises(TypeError):
        ring.starved(0.5)


@pytest.mark.parametrize("taps", [0, 5, -1])
def test_bad_taps_change_nothing(taps):
    ring = so.SplitterRing(1, 1)
    ring.write(b"\1\0")
    with pytest.raises(ValueError, match=r"^taps must be 1\.\.4$"):
        ring.__init__(taps, 1)
    assert ring.take(0) == b"\1\0"


def test_bad_channel_count_keeps_the_reset():
    ring = so.SplitterRing(2, 1)
    ring.write(b"\1\0")
    with pytest.raises(ValueError, match="^channel_count must be 1 or 2$"):
        ring.__init__(3, 3)
    assert ring.starved(2) and ring.write(bytes(4)) == 1 and len(ring.take(2)) == 4  # 3 stereo taps


def test_partial_frames_are_refused():
    ring = so.SplitterRing(1, 1)
    buf = bytearray(3)
    with pytest.raises(ValueError, match="^input must be whole frames for the configured channel count$"):
        ring.write(buf)
    buf.append(0)  # no view is left held
    with pytest.raises(ValueError, match="whole frames"):
        so.SplitterRing(1, 2).write(bytes(6))


def test_never_initialised_object_is_refused():
    ring = so.SplitterRing.__new__(so.SplitterRing)
    for call in (lambda: ring.write(bytes(4)), lambda: ring.take(0), lambda: ring.starved(0), ring.clear):
        with pytest.raises(ValueError):
            call()
