import array

import numpy as np
import pytest

import _sonolith as so

from .conftest import SANITIZED
from .models import freeverb as model
from .models.knee import knee

MSG = "invalid freeverb state"
MIN_BYTES = (22048, 32, 16, 3126, 16)


def s16(values):
    return array.array("h", values).tobytes()


def cells(buf, code="h"):
    return array.array(code, bytes(buf)).tolist()


class State:
    """The five caller buffers, with an equivalent model state."""

    def __init__(self, nch, rng=None, positions=None):
        n_comb, n_ap = 11024 * nch, 1563 * nch
        if rng is None:
            comb, ap, store = [0] * n_comb, [0] * n_ap, [0] * (8 * nch)
            cpos, apos = [0] * (8 * nch), [0] * (4 * nch)
        else:
            comb = rng.integers(-8000, 8000, n_comb).tolist()
            ap = rng.integers(-8000, 8000, n_ap).tolist()
            store = rng.integers(-8000, 8000, 8 * nch).tolist()
            cpos = [int(rng.integers(0, n)) for n in model.COMBS * nch]
            apos = [int(rng.integers(0, n)) for n in model.ALLPASSES * nch]
        if positions is not None:
            cpos, apos = positions
        self.model = {"comb": comb, "comb_pos": cpos, "store": store, "ap": ap, "ap_pos": apos}
        self.bufs = [bytearray(s16(comb)), bytearray(array.array("I", cpos).tobytes()),
                     bytearray(s16(store)), bytearray(s16(ap)), bytearray(array.array("I", apos).tobytes())]

    def copy(self):
        other = State.__new__(State)
        other.model = {k: list(v) for k, v in self.model.items()}
        other.bufs = [bytearray(b) for b in self.bufs]
        return other

    def matches_model(self):
        m = self.model
        return (cells(self.bufs[0]) == m["comb"] and cells(self.bufs[1], "I") == m["comb_pos"]
                and cells(self.bufs[2]) == m["store"] and cells(self.bufs[3]) == m["ap"]
                and cells(self.bufs[4], "I") == m["ap_pos"])


def run(inp, state, room, damping, mix, *channels):
    return so.freeverb_s16(s16(inp), *state.bufs, room, damping, mix, *channels)


# ---------------------------------------------------------------------------------------------
# Validation


@pytest.mark.parametrize("channels, nch", [(1, 1), (2, 2), (3, 1), (0, 1)])
@pytest.mark.parametrize("which", range(5))
def test_minimum_sizes(channels, nch, which):
    sizes = [b * nch for b in MIN_BYTES]
    bufs = [bytearray(n) for n in sizes]
    assert so.freeverb_s16(b"\0\0" * 4, *bufs, 0.5, 0.5, 0.5, channels) is not None
    bufs[which] = bytearray(sizes[which] - 1)
    before = [bytes(b) for b in bufs]
    with pytest.raises(ValueError, match=f"^{MSG}$"):
        so.freeverb_s16(b"\1\1" * 4, *bufs, 0.5, 0.5, 0.5, channels)
    assert [bytes(b) for b in bufs] == before  # nothing touched
    bufs[which].extend(b"\0")  # no view left behind


def test_odd_input_and_argument_errors():
    bufs = [bytearray(n) for n in MIN_BYTES]
    with pytest.raises(ValueError, match=f"^{MSG}$"):
        so.freeverb_s16(b"\0", *bufs, 0.5, 0.5, 0.5)
    with pytest.raises(TypeError):
        so.freeverb_s16(b"", bytes(22048), *bufs[1:], 0.5, 0.5, 0.5)
    with pytest.raises(TypeError):
        so.freeverb_s16(b"", *bufs, 0.5, 0.5)


# ---------------------------------------------------------------------------------------------
# Reference model


def params(rng):
    return (float(rng.uniform(-0.2, 1.2)), float(rng.uniform(-0.2, 1.2)), float(rng.uniform(-0.1, 1.1)))


@pytest.mark.parametrize("channels, nch", [(1, 1), (2, 2), (3, 1)])
def test_matches_model(rng, channels, nch):
    n = 4001 * nch  # recirculates through every comb; odd stereo counts end on channel 0
    for loud in (False, True):
        state = State(nch, rng)
        inp = rng.integers(-32768, 32768, n).tolist() if loud else rng.integers(-6000, 6000, n).tolist()
        room, damping, mix = (1.0, 0.0, 0.5) if loud else params(rng)
        out = run(inp, state, room, damping, mix, channels)
        want = model.freeverb(inp, state.model, room, damping, mix, channels)
        assert cells(out) == want
        assert state.matches_model()


def test_loud_state_saturates_intermediates(rng):
    # Comb lines near full scale, in long runs of one sign, drive the comb sum product beyond 32
    # bits, the all-pass writes beyond 16 bits and the wet product beyond 32 bits; each saturates.
    inp = ([32767] * 500 + [-32768] * 500) * 4
    state = State(1)
    runs = rng.integers(25000, 32768, 11024) * np.repeat(rng.choice([-1, 1], 40), 276)[:11024]
    state.model["comb"] = runs.tolist()
    state.bufs[0][:] = s16(state.model["comb"])
    out = run(inp, state, 1.0, 0.0, 1.0)
    want = model.freeverb(inp, state.model, 1.0, 0.0, 1.0)
    assert cells(out) == want and state.matches_model()
    assert max(cells(out)) > 28000 and min(cells(out)) < -28000


@pytest.mark.parametrize("nch", [1, 2])
def test_streaming(rng, nch):
    n = (3000 if not SANITIZED else 1500) * nch
    inp = rng.integers(-20000, 20000, n).tolist()
    room, damping, mix = params(rng)
    whole = State(nch, rng)
    parts = whole.copy()
    ref = run(inp, whole, room, damping, mix, nch)
    out, i = [], 0
    while i < n:
        step = int(rng.integers(0, 700)) * nch
        out.append(run(inp[i:i + step], parts, room, damping, mix, nch))
        i += step
    assert b"".join(out) == ref
    assert parts.bufs == whole.bufs


def test_mix_zero_is_dry_through_knee(rng):
    inp = [32767, 1, -1, -32768] + rng.integers(-32768, 32768, 500).tolist()
    state = State(1, rng)
    before = [bytes(b) for b in state.bufs]
    out = cells(run(inp, state, 0.5, 0.5, 0.0))
    assert out[:4] == [28520, 0, 0, -28521]
    assert out == [knee(32767 * x // 32768 if x >= 0 else -(-32767 * x // 32768)) for x in inp]
    assert [bytes(b) for b in state.bufs] != before  # the state still takes in the input


def test_silent_start_and_quiet_input():
    state = State(2)
    inp = [10000, -10000] * 1116 + [15, -15] * 200
    out = cells(run(inp, state, 0.8, 0.3, 1.0, 2))
    assert out[:2 * 1116] == [0] * (2 * 1116)
    quiet = State(1)
    run([15, -15, 7] * 100, quiet, 0.8, 0.3, 1.0)
    assert not any(quiet.bufs[0]) and not any(quiet.bufs[3])  # m is 0: nothing reaches the lines


# ---------------------------------------------------------------------------------------------
# Positions out of range, unaligned and guarded buffers


def test_empty_input_reduces_positions():
    cpos = [65536 + 5, 70000, 1 << 31, 0xFFFFFFFF, 3, 1187, 0, 1]
    apos = [65536 * 3 + 555, 440, 10**9, 7]
    state = State(1, positions=(cpos, apos))
    assert run([], state, 0.5, 0.5, 0.5) == b""
    assert cells(state.bufs[1], "I") == [((p & 0xFFFF) % n) for p, n in zip(cpos, model.COMBS)]
    assert cells(state.bufs[4], "I") == [((p & 0xFFFF) % n) for p, n in zip(apos, model.ALLPASSES)]
    assert cells(state.bufs[1], "I")[:2] == [5, 70000 - 65536 - 3 * 1188]


@pytest.mark.parametrize("nch", [1, 2])
def test_wild_positions_stay_inside(rng, nch):
    cpos = [int(v) for v in rng.integers(0, 2**32, 8 * nch, dtype=np.uint64)]
    apos = [int(v) for v in rng.integers(1600, 65536, 4 * nch)]
    state = State(nch, positions=(cpos, apos))
    offsets = (1, 3, 5, 7, 9)
    raws, views = [], []
    for off, b in zip(offsets, state.bufs):  # each buffer unaligned inside guard bytes
        raw = bytearray(b"\xa5" * off + bytes(b) + b"\x5a" * 8)
        raws.append(raw)
        views.append(memoryview(raw)[off:off + len(b)])
    inp = rng.integers(-32768, 32768, 2000 * nch).tolist()
    out = so.freeverb_s16(s16(inp), *views, 0.9, 0.2, 0.7, nch)
    want = model.freeverb(inp, state.model, 0.9, 0.2, 0.7, nch)
    for v in views:
        v.release()
    assert cells(out) == want
    for off, raw, b in zip(offsets, raws, state.bufs):
        assert raw[:off] == b"\xa5" * off and raw[off + len(b):] == b"\x5a" * 8
        b[:] = raw[off:off + len(b)]
    assert state.matches_model()


def test_overlapping_buffers_are_safe(rng):
    # One bytearray passed as every state buffer: results follow the written order and stay inside.
    shared = bytearray(rng.integers(0, 256, 22048, dtype=np.uint8).tobytes())
    raw = bytearray(shared + b"\x5a" * 8)
    view = memoryview(raw)[:22048]
    inp = rng.integers(-32768, 32768, 3000).tolist()
    out = so.freeverb_s16(s16(inp), view, view, view, view, view, 0.7, 0.5, 0.5, 1)
    view.release()
    assert len(out) == 6000 and raw[22048:] == b"\x5a" * 8


@pytest.mark.parametrize("nch", [1, 2])
def test_input_inside_a_state_buffer_follows_the_model(rng, nch):
    # The input lies in the comb buffer's spare tail: the kernel sees the overlap and runs every
    # step in the written order, which must give exactly the same result.
    state = State(nch, rng)
    inp = rng.integers(-32768, 32768, 2500 * nch + 1).tolist()
    lines = len(state.bufs[0])
    state.bufs[0] += s16(inp)
    view = memoryview(state.bufs[0])
    out = so.freeverb_s16(view[lines:], *state.bufs, 0.8, 0.3, 0.6, nch)
    view.release()
    want = model.freeverb(inp, state.model, 0.8, 0.3, 0.6, nch)
    assert cells(out) == want
    assert cells(state.bufs[0][lines:]) == inp
    del state.bufs[0][lines:]
    assert state.matches_model()


@pytest.mark.parametrize("total", [68267, 68268, 136533, 136534, 136535, 136536, 262136])
@pytest.mark.parametrize("sign", [1, -1])
def test_comb_sum_scaling_boundaries(total, sign):
    # The first sample's comb reads add up to `total`: around the 32-bit limit of sum × 31457 and
    # the point where the scaled sum saturates.
    state = State(1)
    share, rest = divmod(total, 8)
    for n, base in enumerate(model._bases(model.COMBS, 1)):
        state.model["comb"][base] = sign * (share + (1 if n < rest else 0))
    state.bufs[0][:] = s16(state.model["comb"])
    out = run([0, 0, 0], state, 0.5, 0.5, 1.0)
    assert cells(out) == model.freeverb([0, 0, 0], state.model, 0.5, 0.5, 1.0)
    assert state.matches_model()
