"""Faults found by the fuzz harness (tests/fuzz), each kept as a regression test."""

import array
import gc

import pytest

import _sonolith as m


class ReenteringExporter:
    """An exporter whose __buffer__ (or __release_buffer__) re-initialises the object that is
    taking (or giving back) its view."""

    def __init__(self, on_get=None, on_release=None):
        self.storage = bytearray(8)
        self.on_get = on_get
        self.on_release = on_release

    def __buffer__(self, flags):
        if self.on_get:
            self.on_get()
        return memoryview(self.storage)

    def __release_buffer__(self, view):
        view.release()
        if self.on_release:
            on_release, self.on_release = self.on_release, None
            on_release()


def resizable(exporter):
    try:
        exporter.append(0)
    except BufferError:
        return False
    exporter.pop()
    return True


def test_buffer_owner_reinitialised_from_the_exporters_buffer_code_loses_no_view():
    inner = bytearray(b"abcd")
    owner = m.BufferOwner(bytearray(2))
    exporter = ReenteringExporter(on_get=lambda: owner.__init__(inner))
    owner.__init__(exporter)
    assert owner.nbytes == 8  # the outer call's view wins
    assert resizable(inner)  # the nested call's view was given back
    owner.release()
    assert resizable(exporter.storage)


def test_buffer_owner_reinitialised_from_the_exporters_release_code_loses_no_view():
    inner = bytearray(b"abcd")
    owner = m.BufferOwner(bytearray(2))
    exporter = ReenteringExporter(on_release=lambda: owner.__init__(inner))
    owner.__init__(exporter)
    owner.__init__(bytearray(3))  # releasing the exporter's view re-initialises with `inner`
    assert owner.nbytes in (3, 4)
    del owner
    gc.collect()
    assert resizable(inner)
    assert resizable(exporter.storage)


@pytest.mark.parametrize("hook", ["get", "release"])
def test_raw_sample_reinitialised_from_the_exporters_code_loses_no_view(hook):
    inner = array.array("h", [1, 2, 3, 4])
    sample = m.RawSample(bytearray(2))
    reinit = lambda: sample.__init__(inner)  # noqa: E731
    exporter = ReenteringExporter(**{f"on_{hook}": reinit})
    sample.__init__(exporter)
    if hook == "release":
        sample.__init__(bytearray(6))
    sample.deinit()
    del sample
    gc.collect()
    assert resizable(inner)
    assert resizable(exporter.storage)


# process(input) on every processor whose __init__ sets a channel count: the exporter's buffer
# code re-initialises the object from mono to stereo, so the frame check must use the new count.
@pytest.mark.parametrize("name, make_args", [
    ("LadderState", lambda ch: (48000, ch)), ("SubOctaveState", lambda ch: (48000, ch)),
    ("BiquadF32State", lambda ch: (48000, ch)), ("AllPassF32State", lambda ch: (48000, ch, 4)),
    ("WaveshaperState", lambda ch: (48000, 4, ch)), ("FeedbackDelayState", lambda ch: (48000, 50.0, ch)),
    ("TankState", lambda ch: (48000, 200.0, ch)), ("ModalState", lambda ch: (48000, ch)),
    ("ConvolverState", lambda ch: (48000, 2, 1, ch)), ("DynamicsState", lambda ch: (0, 48000, ch)),
])
def test_reinitialised_from_the_exporters_buffer_code_while_processing(name, make_args):
    obj = getattr(m, name)(*make_args(1))
    exporter = ReenteringExporter(on_get=lambda: obj.__init__(*make_args(2)))
    exporter.storage = bytearray(4094)  # whole mono frames, not whole stereo ones
    with pytest.raises(ValueError, match="whole 16-bit frames"):
        obj.process(exporter)
    exporter.storage = bytearray(4096)
    assert len(obj.process(exporter)) == 4096
