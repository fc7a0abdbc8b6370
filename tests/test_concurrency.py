"""Several threads on one shared object and on many objects at once.

On a free-threaded interpreter these run truly in parallel and exercise the per-object critical
sections; with the GIL they still interleave at every bytecode boundary.
"""

import array
import sys

import numpy as np

import _sonolith as so
from tests.test_threads import run_threads as start_together

THREADS = 8


def run_threads(target, n=THREADS):
    """Runs target(i) on n threads at once, switching threads as often as the interpreter can."""
    old = sys.getswitchinterval()
    sys.setswitchinterval(1e-6)
    try:
        start_together(n, target)
    finally:
        sys.setswitchinterval(old)


def test_shared_raw_sample_halves_alternate():
    data = array.array("h", range(64))
    raw = data.tobytes()
    halves = (raw[:64], raw[64:])
    s = so.RawSample(data, channel_count=2, single_buffer=False)
    calls = 400
    seen = [[] for _ in range(THREADS)]

    def work(i):
        for _ in range(calls):
            seen[i].append(s._get_buffer()[1])

    run_threads(work)
    results = [b for per_thread in seen for b in per_thread]
    assert all(b in halves for b in results)
    # every call flips the half exactly once, whatever the interleaving
    assert results.count(halves[0]) == results.count(halves[1]) == THREADS * calls // 2


def test_shared_buffer_owner_init_release():
    buffers = [bytearray(bytes([i]) * (i + 1)) for i in range(THREADS)]
    o = so.BufferOwner(buffers[0])

    def work(i):
        for _ in range(300):
            o.__init__(buffers[i])
            data = o.bytes() if o.nbytes else b""
            assert data == b"" or data == bytes([data[0]]) * (data[0] + 1)
            o.release()

    run_threads(work)
    assert o.nbytes == 0
    for b in buffers:
        b.append(0)  # nothing stays pinned


def test_many_objects_and_functions_in_parallel():
    rng = np.random.default_rng(7)
    inputs = [rng.integers(-32768, 32768, 4096, dtype=np.int16).tobytes() for _ in range(THREADS)]
    expected = [(so.mix_s16(x, x[::-1]), so.midside_s16(x, 1.3), so.remix_s16(x, 2, 1),
                 so.multiply_s16(x, x, 0.4)) for x in inputs]
    samples = [so.RawSample(array.array("h", range(i, i + 32)), channel_count=2) for i in range(THREADS)]

    def work(i):
        x = inputs[i]
        for _ in range(50):
            got = (so.mix_s16(x, x[::-1]), so.midside_s16(x, 1.3), so.remix_s16(x, 2, 1),
                   so.multiply_s16(x, x, 0.4))
            assert got == expected[i]
            assert samples[i]._get_buffer(True, 1)[1] == array.array("h", range(i + 1, i + 32, 2)).tobytes()

    run_threads(work)


def test_waiting_for_an_object_lets_other_threads_run():
    # One thread holds the object (its argument's __float__ waits); a second thread calls into
    # the same object and must wait without holding the GIL, or neither this thread nor the
    # first could go on.
    import threading

    state = so.DynamicsState()
    entered, go = threading.Event(), threading.Event()

    class SlowFloat:
        def __float__(self):
            entered.set()
            assert go.wait(20)
            return -12.0

    first = threading.Thread(target=lambda: state.configure(0, SlowFloat()))
    first.start()
    assert entered.wait(20)
    second = threading.Thread(target=state.reset)
    second.start()
    second.join(0.2)
    go.set()  # runs only if the waiting thread let go of the GIL
    first.join(20)
    second.join(20)
    assert not first.is_alive() and not second.is_alive()


def test_reentry_from_argument_conversion_does_not_deadlock():
    state = so.DynamicsState()
    state.finish()
    block = bytes(4096 * 4)

    class Reentrant:
        def __float__(self):
            state.reset()  # the same object, from inside its own configure
            return float(len(state.process(block)))

    state.configure(0, Reentrant())
    owner = so.BufferOwner(bytearray(16))

    class Exporter:
        def __buffer__(self, flags):
            owner.release()
            return memoryview(bytearray(8))

    owner.__init__(Exporter())
    assert owner.nbytes == 8
