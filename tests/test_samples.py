import array
import gc
import tracemalloc

import pytest

import _sonolith as so

DEINIT = "^Object has been deinitialized and can no longer be used. Create a new object.$"


# --- BufferOwner ---------------------------------------------------------------------------------


def test_buffer_owner_pins_and_releases():
    b = bytearray(b"abc")
    o = so.BufferOwner(b)
    assert (o.format, o.nbytes, o.itemsize, o.bytes()) == ("B", 3, 1, b"abc")
    with pytest.raises(BufferError):
        b.append(1)
    assert o.release() is None
    b.append(1)
    assert (o.format, o.nbytes, o.itemsize) == (None, 0, 0)
    with pytest.raises(RuntimeError, match="^buffer has been released$"):
        o.bytes()
    assert o.release() is None


def test_buffer_owner_formats_and_keyword():
    o = so.BufferOwner(exporter=array.array("h", [1, 2]))
    assert (o.format, o.itemsize, o.nbytes) == ("h", 2, 4)
    assert so.BufferOwner(b"xyz").bytes() == b"xyz"  # read-only exporters are accepted
    for attr in ("format", "nbytes", "itemsize"):
        with pytest.raises(AttributeError):
            setattr(o, attr, 1)


def test_buffer_owner_reinit_releases_first_view():
    first, second = bytearray(b"one"), bytearray(b"two")
    o = so.BufferOwner(first)
    o.__init__(second)
    first.append(0)  # the first view is gone
    with pytest.raises(BufferError):
        second.append(0)
    assert o.bytes() == b"two"
    with pytest.raises(TypeError):
        o.__init__(12)  # refused: the old view is already released, nothing held
    second.append(0)
    assert o.nbytes == 0


def test_buffer_owner_noncontiguous_refused():
    mv = memoryview(bytearray(8))[::2]
    with pytest.raises(BufferError):
        so.BufferOwner(mv)


def test_buffer_owner_uninitialised_is_empty():
    o = so.BufferOwner.__new__(so.BufferOwner)
    assert (o.format, o.nbytes, o.itemsize) == (None, 0, 0)
    with pytest.raises(RuntimeError):
        o.bytes()


def test_gc_collects_cycles_and_releases_views():
    b = bytearray(16)
    o = so.BufferOwner(b)
    cycle = [o]
    cycle.append(cycle)
    del o, cycle
    gc.collect()
    b.append(1)  # the view was released at deallocation


# --- RawSample -----------------------------------------------------------------------------------


def test_raw_sample_defaults():
    s = so.RawSample(bytearray(8))
    assert (s.bits_per_sample, s.samples_signed, s.channel_count, s.sample_rate, s.single_buffer) == (
        8, False, 1, 8000, True)
    assert s.max_buffer_length == 8
    for _ in range(3):
        assert s._get_buffer() == (0, bytes(8))
    assert s._reset_buffer() is None
    assert type(s).__module__ == "tonebay" and type(s).__qualname__ == "RawSample"


@pytest.mark.parametrize("fmt,bits,signed", [("b", 8, True), ("B", 8, False), ("h", 16, True), ("H", 16, False)])
def test_raw_sample_formats(fmt, bits, signed):
    s = so.RawSample(array.array(fmt, range(4)))
    assert (s.bits_per_sample, s.samples_signed) == (bits, signed)


def test_raw_sample_double_buffer_and_channels():
    data = array.array("h", range(8))
    raw = data.tobytes()
    s = so.RawSample(data, channel_count=2, single_buffer=False)
    assert s._get_buffer() == (0, raw[:8])
    assert s._get_buffer() == (0, raw[8:])
    assert s._get_buffer() == (0, raw[:8])
    # the right channel of the current (second) half only
    assert s._get_buffer(True, 1) == (0, array.array("h", [5, 7]).tobytes())
    assert s._get_buffer(single_channel_output=True, audio_channel=0) == (0, array.array("h", [0, 2]).tobytes())
    s._reset_buffer(True, 1)  # does not reset the half
    assert s._get_buffer(True, 257) == (0, array.array("h", [5, 7]).tobytes())  # 257 mod 256 = 1


def test_raw_sample_single_buffer_channel_selection():
    data = array.array("B", [1, 2, 3, 4, 5, 6, 7])  # odd length: last partial frame dropped
    s = so.RawSample(data, channel_count=2)
    assert s._get_buffer(True, 0) == (0, bytes([1, 3, 5]))
    assert s._get_buffer(True, 1) == (0, bytes([2, 4, 6]))
    assert s._get_buffer(False, 1) == (0, bytes(data))
    mono = so.RawSample(array.array("h", [9, 8, 7]))
    assert mono._get_buffer(True, 5) == (0, array.array("h", [9, 8, 7]).tobytes())


def test_raw_sample_validation_order():
    six = array.array("h", range(6))
    with pytest.raises(ValueError, match="^channel_count must be 1 or 2$"):
        so.RawSample(12, channel_count=3, sample_rate=0)
    with pytest.raises(ValueError, match="^sample_rate must be at least 1$"):
        so.RawSample(12, sample_rate=0)
    with pytest.raises(TypeError):
        so.RawSample(12)
    for bad in (array.array("i", [1]), array.array("f", [1.0]), memoryview(bytearray(4)).cast("i")):
        with pytest.raises(ValueError, match=r"^buffer must be a bytearray or array of type 'h', 'H', 'b', or 'B'$"):
            so.RawSample(bad)
    with pytest.raises(ValueError, match=r"^Length of buffer must be an even multiple of channel_count \* type_size$"):
        so.RawSample(six, channel_count=2, single_buffer=False)
    assert so.RawSample(six, channel_count=2).max_buffer_length == 12
    with pytest.raises(TypeError):
        so.RawSample(six, 2)  # keyword-only
    assert so.RawSample(bytearray(4), sample_rate=2**32 + 5).sample_rate == 5  # "I" wraps


def test_raw_sample_rejects_prefixed_formats():
    import ctypes

    class Big(ctypes.BigEndianStructure):
        _fields_ = [("x", ctypes.c_int16)]

    arr = (Big * 2)()
    with pytest.raises(ValueError, match="^buffer must be a bytearray"):
        so.RawSample(arr)


def test_raw_sample_deinit():
    b = bytearray(8)
    s = so.RawSample(b)
    with pytest.raises(BufferError):
        b.append(0)
    assert s.deinit() is None
    b.append(0)
    for attr in ("sample_rate", "bits_per_sample", "channel_count"):
        with pytest.raises(ValueError, match=DEINIT):
            getattr(s, attr)
    for call in (s.__enter__, s._reset_buffer, s._get_buffer):
        with pytest.raises(ValueError, match=DEINIT):
            call()
    with pytest.raises(ValueError, match=DEINIT):
        s.sample_rate = 100
    assert (s.samples_signed, s.single_buffer, s.max_buffer_length) == (False, True, 8)
    s.deinit()
    s.__init__(bytearray(2))  # re-initialisation makes it live again
    assert s._get_buffer() == (0, bytes(2))


def test_raw_sample_context_manager():
    b = bytearray(4)
    with so.RawSample(b) as s:
        assert isinstance(s, so.RawSample)
    with pytest.raises(ValueError, match=DEINIT):
        s._get_buffer()
    b.append(0)
    with pytest.raises(KeyError):
        with so.RawSample(b) as s2:
            raise KeyError
    with pytest.raises(ValueError):
        s2._get_buffer()
    assert so.RawSample(b).__exit__(1, 2, 3) is None


def test_raw_sample_rate_setter():
    s = so.RawSample(bytearray(4))
    s.sample_rate = 44100
    assert s.sample_rate == 44100
    with pytest.raises(ValueError, match="^sample_rate must be at least 1$"):
        s.sample_rate = 0
    assert s.sample_rate == 44100
    for bad, exc in ((-1, OverflowError), (2**32, OverflowError), ("x", TypeError)):
        with pytest.raises(exc):
            s.sample_rate = bad
    assert s.sample_rate == 44100
    with pytest.raises((AttributeError, TypeError)):
        del s.sample_rate


def test_raw_sample_reinit_releases_old_view():
    first, second = bytearray(4), bytearray(6)
    s = so.RawSample(first)
    s.__init__(second, channel_count=2)
    first.append(0)
    with pytest.raises(BufferError):
        second.append(0)
    # a failed re-initialisation keeps the live buffer
    with pytest.raises(ValueError):
        s.__init__(array.array("i", [1]))
    with pytest.raises(BufferError):
        second.append(0)
    assert s.channel_count == 2


def test_raw_sample_uninitialised():
    s = so.RawSample.__new__(so.RawSample)
    assert s.__enter__() is s
    assert (s.sample_rate, s.bits_per_sample, s.channel_count, s.max_buffer_length) == (0, 0, 0, 0)
    for call in (s._reset_buffer, s._get_buffer):
        with pytest.raises(ValueError, match=DEINIT):
            call()


def test_raw_sample_error_paths_release_view():
    b = bytearray(6)
    with pytest.raises(ValueError):
        so.RawSample(b, channel_count=2, single_buffer=False)
    b.append(0)
    f = array.array("f", [0.0])
    with pytest.raises(ValueError):
        so.RawSample(f)
    f.append(1.0)


def test_reinit_and_processing_do_not_leak():
    data = array.array("h", range(64))
    tracemalloc.start()
    try:
        s = so.RawSample(data, channel_count=2, single_buffer=False)
        o = so.BufferOwner(data)
        for _ in range(10):
            s.__init__(data, channel_count=2, single_buffer=False)
            s._get_buffer(True, 1)
            o.__init__(data)
            o.bytes()
        before = tracemalloc.get_traced_memory()[0]
        for _ in range(2000):
            s.__init__(data, channel_count=2, single_buffer=False)
            s._get_buffer(True, 1)
            o.__init__(data)
            o.bytes()
            so.RawSample(data).deinit()
        after = tracemalloc.get_traced_memory()[0]
    finally:
        tracemalloc.stop()
    assert after - before < 16 * 1024
