import ctypes
import math
import resource
import subprocess
from pathlib import Path

import numpy as np
import pytest

import _sonolith as so
from tests.models import room
from tests.models.convolver import Convolver, real_inverse
from tests.models.meter import F, Plan

ROOT = Path(__file__).resolve().parent.parent
NOT_READY = "object is not initialized; call __init__ first"


@pytest.fixture(scope="module")
def engines(tmp_path_factory):
    """The FFT and room engines built alone with the module's numeric flags."""
    lib = tmp_path_factory.mktemp("engines") / "libengines.so"
    subprocess.run(["c++", "-std=c++20", "-O3", "-fwrapv", "-ffp-contract=off", "-shared", "-fPIC",
                    "-I", str(ROOT / "src"), str(ROOT / "tests" / "engines_shim.cpp"),
                    str(ROOT / "src" / "engines" / "fft.cpp"), str(ROOT / "src" / "engines" / "room.cpp"),
                    "-o", str(lib)], check=True)
    dll = ctypes.CDLL(str(lib))
    dll.shim_fft.argtypes = [ctypes.c_uint32, ctypes.c_int, ctypes.c_void_p, ctypes.c_void_p]
    dll.shim_room.restype = ctypes.c_float
    dll.shim_room.argtypes = [ctypes.c_double, ctypes.c_uint32, ctypes.c_uint32] + [ctypes.c_float] * 4 + [
        ctypes.c_uint32, ctypes.c_void_p]
    return dll


def fft(dll, n, data, inverse):
    data = np.ascontiguousarray(data, F)
    out = np.empty(n if inverse else n + 2, F)
    dll.shim_fft(n, int(inverse), data.ctypes.data, out.ctypes.data)
    return out


@pytest.mark.parametrize("n", [512, 1024])
def test_fft_matches_model_and_numpy(engines, n, rng):
    plan = Plan(n)
    for scale in (1.0, 3e4, 1e-3):
        x = (rng.standard_normal(n) * scale).astype(F)
        X = fft(engines, n, x, False)
        xr, xi = plan.real_forward(x)
        assert np.array_equal(X[0::2], xr) and np.array_equal(X[1::2], xi)
        assert X[1] == 0 and X[n + 1] == 0
        ref = np.fft.rfft(x.astype(np.float64))
        assert np.allclose(X[0::2] + 1j * X[1::2], ref, atol=1e-4 * scale * math.sqrt(n))
        y = fft(engines, n, X, True)
        assert np.array_equal(y, real_inverse(plan, xr, xi))
        assert np.allclose(y, x, atol=1e-5 * scale * math.sqrt(n))
    impulse = np.zeros(n, F)
    impulse[0] = 1
    X = fft(engines, n, impulse, False)
    assert np.array_equal(X[0::2], np.ones(n // 2 + 1, F)) and not X[1::2].any()


ROOM_CASES = [
    # fs, partitions, ir_channels, decay, damping, predelay, fade, seed
    (48000, 2, 1, 0.3, 5000.0, 1.0, 2.0, 7),
    (48000, 3, 2, 0.01, 0.0, 0.0, 0.0, 0),              # decay below 0.05, seed 0, no filter
    (44100, 1, 2, 2.0, 20000.0, 0.0, 500.0, 99),        # damping above fs/4, fade over all
    (48000, 1, 1, 1.0, 3000.0, 200.0, 5.0, 3),          # predelay covers everything
    (800, 2, 1, 0.5, 100.0, 30.0, 100.0, 12345),        # half-periods of a few samples
    (100, 1, 1, 1e9, -5.0, 1e9, 1e9, 1),                # clamped above, H_m = 1
    (4294967295, 1, 2, math.nan, math.nan, math.nan, math.nan, 5),  # areas bounded by the impulse
    (96000, 2, 1, math.inf, math.inf, -math.inf, math.inf, 2**32 - 1),
]


@pytest.mark.parametrize("case", ROOM_CASES)
def test_room_impulse_matches_model(engines, case):
    fs, p, irc, *args = case
    spectra = np.empty((irc, p, 514), F)
    peak = engines.shim_room(fs, p, irc, *args, spectra.ctypes.data)
    impulses, model_spectra, model_peak = room.generate(fs, p, irc, *args)
    assert peak == model_peak
    for j in range(irc):
        for k in range(p):
            assert np.array_equal(spectra[j, k, 0::2], model_spectra[j][k][0])
            assert np.array_equal(spectra[j, k, 1::2], model_spectra[j][k][1])
        energy = float(np.sum(impulses[j].astype(np.float64) ** 2))
        assert energy == 0 or abs(energy - 1) < 1e-4
    conv = so.ConvolverState(fs, p, irc)
    assert conv.room_peak(*args) == model_peak
    assert conv.peak_gain() == 0 and conv.taps() == 0  # unchanged
    conv.synthesize(*args)
    assert conv.peak_gain() == model_peak and conv.taps() == p * 256


def pcm(rng, frames, channels, level=32767):
    return (rng.uniform(-1, 1, (frames, channels)) * level).astype(np.int16).tobytes()


def split_calls(objects, data, frame_bytes, rng, top=700):
    """Feeds data to every object in the same random blocks; returns each one's joined output."""
    outs = [[] for _ in objects]
    i = 0
    while i < len(data):
        k = int(rng.integers(0, top)) * frame_bytes
        for out, obj in zip(outs, objects):
            out.append(obj.process(data[i:i + k]))
        i += k
    return [b"".join(o) for o in outs]


@pytest.mark.parametrize("p, irc, ch, src_ch, taps", [
    (1, 1, 2, 1, 256), (1, 2, 1, 2, 100), (3, 2, 2, 2, 700), (8, 1, 2, 2, 2048), (5, 1, 1, 1, 0),
])
def test_matches_model_with_replacements(p, irc, ch, src_ch, taps, rng):
    conv, model = so.ConvolverState(48000, p, irc, ch), Convolver(48000, p, irc, ch)
    fb = 2 * ch
    for step in range(4):
        imp = pcm(rng, int(rng.integers(0, taps + 1)) if step else taps, src_ch)
        gain, wet = float(rng.uniform(0.2, 3)), float(rng.uniform(0, 2))
        for obj in (conv, model):
            obj.configure(0, [0.5, 1.0, 0.2, 0.75][step])
            obj.configure(1, wet)
            obj.load(imp, src_ch, gain)
        data = pcm(rng, int(rng.integers(200, 1500)), ch, level=8000)
        a, b = split_calls([conv, model], data, fb, rng)
        assert a == b
        assert conv.taps() == model.loaded * 256
    for obj in (conv, model):
        obj.synthesize(0.2, 4000.0, 2.0, 1.0, 11)
    a, b = split_calls([conv, model], pcm(rng, 1500, ch), fb, rng)
    assert a == b and conv.peak_gain() == model.peak


@pytest.mark.parametrize("p, taps, ch, irc", [(2, 512, 1, 1), (3, 300, 2, 2), (9, 9 * 256, 2, 1),
                                           (17, 1000, 1, 2), (40, 40 * 256, 2, 2)])
def test_long_calls_match_block_by_block(p, taps, ch, irc, rng):
    # calls over two blocks or more run several block boundaries together; shorter ones go one by one
    fb = 2 * ch
    whole, parts = so.ConvolverState(48000, p, irc, ch), so.ConvolverState(48000, p, irc, ch)

    def both(method, *args, pieces=None):
        a = getattr(whole, method)(*args)
        if pieces is None:
            return a, getattr(parts, method)(*args)
        return a, b"".join(parts.process(*piece) for piece in pieces)

    for step in range(3):
        both("configure", 0, [0.7, 1.0, 2.0][step])
        both("load", pcm(rng, taps if step < 2 else taps // 3, irc), irc, 1.5)  # later loads crossfade
        data = pcm(rng, int(rng.integers(2000, 6000)), ch, level=8000)
        head = int(rng.integers(1, 300)) * fb  # the long call starts off a block boundary
        a, b = both("process", data[:head], pieces=[(data[:head],)])
        assert a == b
        pieces = [(data[i:min(i + 255 * fb, len(data))],) for i in range(head, len(data), 255 * fb)]
        a, b = both("process", data[head:], pieces=pieces)
        assert a == b
        # in place; the pieces go through process(), whose silence detector never stops them
        a, b = both("process_silence", 2600, pieces=[(bytes(255 * fb),)] * 10 + [(bytes(50 * fb),)])
        assert a == b


@pytest.mark.parametrize("p, ch, irc, frames", [(1, 1, 1, 200), (4, 2, 2, 1000), (20, 2, 1, 5000)])
def test_matches_numpy_convolve(p, ch, irc, frames, rng):
    conv = so.ConvolverState(48000, p, irc, ch)
    conv.configure(0, 1.0)  # wet only
    imp = (rng.standard_normal((frames, irc)) * 3000 * np.exp(-np.arange(frames) / (frames / 4))[:, None])
    imp = imp.astype(np.int16)
    conv.load(imp.tobytes(), irc, 1.0)
    x = (rng.uniform(-1, 1, (9000, ch)) * 1500).astype(np.int16)
    y = np.frombuffer(b"".join(conv.process(x[i:i + 256].tobytes()) for i in range(0, 9000, 256)),
                      np.int16).reshape(-1, ch)
    for c in range(ch):
        ref = np.convolve(x[:, c].astype(np.float64), imp[:, min(c, irc - 1)] / 32768.0)[:9000 - 256]
        ref = np.clip(np.round(ref), -32768, 32767)
        assert not y[:256, c].any()  # the latency
        assert np.max(np.abs(y[256:, c] - ref)) <= 2


def test_one_frame_impulse_delays_by_a_block():
    conv = so.ConvolverState(48000, 1, 1, 2)
    conv.configure(0, 1.0)
    conv.load(np.array([32767], np.int16).tobytes(), 1, 1.0)
    x = (np.random.default_rng(1).uniform(-1, 1, (1000, 2)) * 30000).astype(np.int16)
    xi = x.astype(int)
    y = np.frombuffer(conv.process(x.tobytes()), np.int16).reshape(-1, 2).astype(int)
    assert not y[:256].any()
    assert np.max(np.abs(y[256:] - xi[:-256] * 32767 / 32768)) <= 1
    both = so.ConvolverState(48000, 1, 1, 2)
    both.load(np.array([32767], np.int16).tobytes(), 1, 1.0)
    y = np.frombuffer(both.process(x.tobytes()), np.int16).reshape(-1, 2).astype(int)
    assert np.max(np.abs(y[256:] - np.clip(2 * x[:-256].astype(int), -32768, 32767))) <= 2


def test_passthrough_and_empty_impulse(rng):
    conv = so.ConvolverState(48000, 2, 1, 2)
    data = pcm(rng, 777, 2)
    assert conv.process(data) == data
    conv.load(pcm(rng, 300, 1), 1, 1.0)
    assert conv.taps() == 512 and conv.process(data) != data
    conv.load(b"", 1, 1.0)
    assert conv.taps() == 0 and conv.process(data) == data


def test_crossfade_reaches_the_new_impulse(rng):
    """A replacement mid-block ramps from the old output to the new one; the next blocks are new."""
    x = pcm(rng, 1300, 2, level=10000)
    old, new = pcm(rng, 200, 1), pcm(rng, 200, 1)
    a, b, c = (so.ConvolverState(48000, 1, 1, 2) for _ in range(3))
    for obj, imp in ((a, old), (b, new), (c, old)):
        obj.load(imp, 1, 1.0)
        obj.process(x[:4 * 600])
    a.load(new, 1, 1.0)  # at block position 600 - 512 = 88: 168 frames of crossfade
    ya, yb, yc = (np.frombuffer(o.process(x[4 * 600:]), np.int16).astype(int) for o in (a, b, c))
    assert np.array_equal(ya[2 * 168:], yb[2 * 168:])
    assert np.max(np.abs(ya[:2] - yc[:2])) <= np.max(np.abs(yb[:2] - yc[:2])) / 50 + 1
    assert np.max(np.abs(ya[2 * 167:2 * 168] - yb[2 * 167:2 * 168])) <= 1


def test_silence_detector(rng):
    conv, model = so.ConvolverState(48000, 2, 1, 1), Convolver(48000, 2, 1, 1)
    imp, data = pcm(rng, 400, 1), pcm(rng, 900, 1)
    for obj in (conv, model):
        obj.load(imp, 1, 1.0)
    assert conv.process(data) == model.process(data)
    for n in (0, 1, 300, 500, 700, 900, 256, 1000):
        assert conv.process_silence(n) == model.process_silence(n)
    assert model.silent  # the state decayed to exact zeros and the engine stopped
    assert conv.process(data[:2]) == model.process(data[:2])
    assert conv.process_silence(300) == model.process_silence(300)


@pytest.mark.filterwarnings("ignore::RuntimeWarning")  # the model computes with inf and NaN
def test_output_saturates_and_nan_is_zero(rng):
    x = pcm(rng, 600, 2)
    for gain, mix in ((1e30, 0.5), (math.nan, 1.0), (math.inf, 0.5)):
        conv, model = so.ConvolverState(48000, 1, 1, 2), Convolver(48000, 1, 1, 2)
        for obj in (conv, model):
            obj.configure(0, mix)
            obj.configure(1, 1e20)
            obj.load(pcm(np.random.default_rng(2), 50, 1), 1, gain)
        assert conv.process(x) == model.process(x)


def test_messages_and_limits():
    with pytest.raises(ValueError, match="^sample_rate must be at least 1$"):
        so.ConvolverState(0, 0, 0, 0)
    with pytest.raises(ValueError, match="^partitions out of range$"):
        so.ConvolverState(48000, 513, 0, 0)
    with pytest.raises(ValueError, match="^partitions out of range$"):
        so.ConvolverState(48000, 0)
    with pytest.raises(ValueError, match="^ir_channels must be 1 or 2$"):
        so.ConvolverState(48000, 1, 3, 0)
    with pytest.raises(ValueError, match="^channel_count must be 1 or 2$"):
        so.ConvolverState(channel_count=0)
    conv = so.ConvolverState(partitions=3)
    for args, message in [((3, b""), "channels must be 1 or 2"),
                          ((1, b"\0" * 3), "impulse must be whole int16 frames"),
                          ((2, b"\0" * 6), "impulse must be whole int16 frames"),
                          ((2, b"\0" * (4 * 769)), "impulse is longer than max_taps")]:
        buf = bytearray(args[1])
        with pytest.raises(ValueError, match=f"^{message}$"):
            conv.load(buf, args[0], 1.0)
        buf.extend(b"xx")  # no view is left behind
    with pytest.raises(TypeError):
        conv.load(b"")  # "y*Id:load": all three arguments are required
    conv.load(b"\0" * (4 * 768), 2, 1.0)
    assert conv.taps() == 768
    conv.load(b"\1" * (2 * 257), 1, 1.0)
    assert conv.taps() == 512
    with pytest.raises(ValueError, match="^unknown convolver option$"):
        conv.configure(2, 0)
    with pytest.raises(ValueError, match="^unknown convolver option$"):
        conv.configure(-1, 0)
    with pytest.raises(ValueError, match="^input must be whole 16-bit frames for the configured channel count$"):
        conv.process(b"\0" * 6)
    assert conv.process_silence(0) == b""
    with pytest.raises(ValueError, match="^frames must not be negative$"):
        conv.process_silence(-1)
    with pytest.raises(OverflowError):
        conv.process_silence(2**62 + 1)
    with pytest.raises(TypeError):
        conv.process_silence(1.5)
    for f in ("synthesize", "room_peak"):
        with pytest.raises(TypeError):
            getattr(conv, f)(1.0, 2.0, 3.0, 4.0)
    raw = so.ConvolverState.__new__(so.ConvolverState)
    for call in (lambda: raw.process(b"\0" * 4), lambda: raw.process_silence(10), lambda: raw.load(b"", 1, 1.0),
                 lambda: raw.synthesize(1, 1, 1, 1, 1), lambda: raw.room_peak(1, 1, 1, 1, 1), raw.reset,
                 raw.taps, raw.peak_gain, lambda: raw.configure(0, 1.0)):
        with pytest.raises(ValueError, match=f"^{NOT_READY}$"):
            call()


def test_configure_clamps_and_reinit(rng):
    x = pcm(rng, 900, 2)
    imp = pcm(rng, 100, 1)
    for value, same in ((10.0, 4.0), (-1.0, 0.0), (math.nan, 1.0)):
        a, b = so.ConvolverState(), so.ConvolverState()
        a.configure(1, value)
        b.configure(1, same)
        for mix, same_mix in ((0.25, 0.25), (7.0, 1.0), (math.nan, 0.5)):
            a.configure(0, mix)
            b.configure(0, same_mix)
            a.load(imp, 1, 1.0)
            b.load(imp, 1, 1.0)
            assert a.process(x) == b.process(x)
    a.synthesize(0.5, 1000.0, 0.0, 0.0, 1)
    peak = a.peak_gain()
    a.__init__(44100, 2, 2, 1)  # a new configuration; the peak gain field stays
    assert a.taps() == 0 and a.peak_gain() == peak and a.process(x) == x


def test_large_sample_rate_is_bounded():
    conv = so.ConvolverState(4294967295, 512, 2, 2)
    peak_kib = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss
    assert conv.room_peak(30.0, 1e9, 0.0, 500.0, 1) > 0
    # no gigabyte fold buffer: the process's peak memory grows by far less
    assert resource.getrusage(resource.RUSAGE_SELF).ru_maxrss - peak_kib < 256 * 1024
