import numpy as np
import pytest

import _sonolith as so
from tests.models.modal import Modal

BAD_FRAMES = "^input must be whole 16-bit frames for the configured channel count$"
NAN, INF = float("nan"), float("inf")


def random_modes(rng, rate, count):
    """Frequencies across the band and past Nyquist (some 0 or negative), decays from below the
    minimum to past the maximum, gains from silent to past the limits."""
    modes = []
    for i in range(count):
        f = float(rng.choice([rng.uniform(20, rate / 2), rng.uniform(rate * 0.45, rate * 0.6),
                              0.0, -50.0, rng.uniform(20, 2000)], p=[0.5, 0.15, 0.1, 0.05, 0.2]))
        t = float(rng.choice([rng.uniform(0.0, 0.05), rng.uniform(0.05, 2.0), 40.0]))
        g = float(rng.choice([0.0, rng.uniform(-1, 1), rng.uniform(-20, 20)], p=[0.15, 0.6, 0.25]))
        modes.append((i, f, t, g))
    return modes


def signal(rng, frames, channels):
    """Noise bursts and impulses separated by silences long enough for tails to flush."""
    x = np.zeros((frames, channels))
    for start in rng.integers(0, frames, 6):
        n = int(rng.integers(1, 300))
        x[start:start + n] = rng.normal(0, float(rng.choice([100, 3000, 20000])), (min(n, frames - start), channels))
    x[rng.integers(0, frames, 4)] = 32767
    return np.clip(np.round(x), -32768, 32767).astype(np.int16).tobytes()


def make(rate, channels, count, modes, options=()):
    native, model = so.ModalState(rate, channels, count), Modal(rate, channels, count)
    for obj in (native, model):
        for option, value in options:
            obj.configure(option, value)
        for m in modes:
            obj.set_mode(*m)
        obj.finish()
    return native, model


def run_blocks(obj, data, fb, rng):
    out, i = [], 0
    while i < len(data):
        n = int(rng.integers(0, 700)) * fb
        out.append(obj.process(data[i:i + n]))
        i += n
    return b"".join(out)


@pytest.mark.parametrize("seed", range(6))
@pytest.mark.parametrize("channels", [1, 2])
def test_matches_model(seed, channels):
    rng = np.random.default_rng(seed)
    rate = int(rng.choice([8000, 44100, 48000, 96000]))
    count = int(rng.choice([1, 3, 8, 64])) if seed else 64
    options = [(0, float(rng.uniform(0, 1.2))), (1, float(rng.choice([0.001, 0.01, 0.1, 1.0, 20.0], p=[0.3, 0.3, 0.2, 0.1, 0.1])))]
    native, model = make(rate, channels, count, random_modes(rng, rate, count), options)
    data = signal(rng, 3000, channels)
    assert run_blocks(native, data, 2 * channels, rng) == model.process(data)
    assert native.silent() == model.silent()
    # New modes take effect at finish only; the states ring on through the change.
    for m in random_modes(rng, rate, count)[: count // 2 + 1]:
        native.set_mode(*m)
        model.set_mode(*m)
    tail = signal(rng, 400, channels)
    assert native.process(tail) == model.process(tail)
    native.finish(), model.finish()
    native.finish(), model.finish()
    assert run_blocks(native, data, 2 * channels, rng) == model.process(data)
    assert native.silent() == model.silent()


def test_tails_flush_to_exact_zero():
    native, model = make(48000, 2, 4, [(0, 440.0, 0.05, 1.0), (1, 23000.0, 0.01, -1.0),
                                       (2, 5.0, 0.02, 0.3), (3, 0.0, 1.0, 1.0)])
    hit = np.zeros((9000, 2), np.int16)
    hit[0] = (32767, -32768)
    assert native.process(hit.tobytes()) == model.process(hit.tobytes())
    assert not native.silent() and not model.silent()
    quiet = bytes(4 * 48000)
    assert native.process(quiet) == model.process(quiet)
    assert native.silent() and model.silent()
    native.process(hit.tobytes())
    native.reset()
    assert native.silent() and native.process(quiet[:4000]) == quiet[:4000]


@pytest.mark.parametrize("rate, decay", [(48000, 0.05), (48000, 0.5), (22050, 2.0)])
def test_impulse_decays_60_db_in_the_decay_time(rate, decay):
    """A mode at a quarter of the sample rate (sin w = 1) rings r^n sin(n pi / 2) x; its peaks
    fall by 60 dB after decay x rate frames."""
    s = so.ModalState(rate, 1, 1)
    s.set_mode(0, rate / 4, decay, 1.0)
    s.finish()
    n = int(decay * rate)
    y = np.abs(np.frombuffer(s.process(np.r_[32767, np.zeros(n + 8)].astype(np.int16).tobytes()), np.int16))
    envelope = lambda k: y[k:k + 4].max()  # noqa: E731
    assert envelope(0) == 32767
    assert envelope(n) == pytest.approx(32.767, abs=1.0)
    assert envelope(n // 2) == pytest.approx(32767 / 1000 ** 0.5, rel=0.01)


def test_impulse_rings_at_the_mode_frequency():
    s = so.ModalState(48000, 1, 1)
    s.set_mode(0, 440.0, 1.0, 16.0)
    s.finish()
    y = np.frombuffer(s.process(np.r_[32767, np.zeros(48000)].astype(np.int16).tobytes()), np.int16)
    rising = np.count_nonzero((y[:-1] < 0) & (y[1:] >= 0))
    assert rising == pytest.approx(440, abs=2)


def output_of(rate, mode, options=()):
    s = so.ModalState(rate, 1, 1)
    for option, value in options:
        s.configure(option, value)
    s.set_mode(0, *mode)
    s.finish()
    return s.process(np.r_[30000, np.zeros(500), -20000, np.zeros(500)].astype(np.int16).tobytes())


@pytest.mark.parametrize("given, same", [
    ((30000.0, 0.2, 1.0), (23976.0, 0.2, 1.0)), ((INF, 0.2, 1.0), (23976.0, 0.2, 1.0)),
    ((-5.0, 0.2, 1.0), (0.0, 0.2, 1.0)), ((NAN, 0.2, 1.0), (0.0, 0.2, 1.0)),
    ((440.0, 0.0, 1.0), (440.0, 0.001, 1.0)), ((440.0, NAN, 1.0), (440.0, 0.001, 1.0)),
    ((440.0, 1e300, 1.0), (440.0, 30.0, 1.0)), ((440.0, 0.2, 20.0), (440.0, 0.2, 16.0)),
    ((440.0, 0.2, -INF), (440.0, 0.2, -16.0)), ((440.0, 0.2, NAN), (440.0, 0.2, 0.0)),
])
def test_set_mode_clamps(given, same):
    assert output_of(48000, given) == output_of(48000, same)


@pytest.mark.parametrize("given, same", [
    ((0, NAN), (0, 0.0)), ((0, 7.0), (0, 1.0)), ((0, -INF), (0, 0.0)),
    ((1, NAN), (1, 0.0)), ((1, 1e300), (1, 16.0)), ((1, -1.0), (1, 0.0)),
])
def test_configure_clamps(given, same):
    mode = (440.0, 0.2, 0.5)
    assert output_of(48000, mode, [(0, 0.7), given]) == output_of(48000, mode, [(0, 0.7), same])


def test_zero_frequency_never_rings_and_mix_zero_passes_dry():
    data = signal(np.random.default_rng(3), 2000, 2)
    s = so.ModalState(48000, 2, 2)
    s.set_mode(0, 0.0, 5.0, 16.0)
    s.finish()
    assert s.process(data) == bytes(len(data)) and s.silent()
    s.set_mode(1, 1000.0, 5.0, 16.0)
    s.finish()
    s.configure(0, 0.0)
    assert s.process(data) == data and not s.silent()


def test_sample_rate_zero_is_stored_as_one():
    data = np.r_[1000, np.zeros(300)].astype(np.int16).tobytes()
    native, model = make(0, 1, 1, [(0, 1000.0, 40.0, 1.0)])
    assert native.process(data) == model.process(data) == make(1, 1, 1, [(0, 1000.0, 40.0, 1.0)])[0].process(data)


def test_process_before_finish_passes_only_the_dry_part():
    s = so.ModalState(48000, 1)
    s.configure(0, 0.5)
    s.set_mode(0, 440.0, 1.0, 1.0)
    assert s.process(np.array([1001, -3, 0], np.int16).tobytes()) == np.array([501, -2, 0], np.int16).tobytes()
    assert s.silent()


def test_messages_and_order():
    for modes in (0, 65):
        with pytest.raises(ValueError, match="^modes out of range$"):
            so.ModalState(48000, 3, modes)
    with pytest.raises(ValueError, match="^channel_count must be 1 or 2$"):
        so.ModalState(channel_count=0)
    s = so.ModalState(modes=8)
    for index in (8, -1, 2**32 + 3, -(2**32) + 3, 2**70):
        with pytest.raises(IndexError, match="^mode index out of range$"):
            s.set_mode(index, 440.0, 1.0, 1.0)
    with pytest.raises(TypeError):
        s.set_mode(1.0, 440.0, 1.0, 1.0)
    with pytest.raises(TypeError):
        s.set_mode(1, "440", 1.0, 1.0)
    for option in (2, -1, 2**31 - 1):
        with pytest.raises(ValueError, match="^unknown modal option$"):
            s.configure(option, 1.0)
    buf = bytearray(6)
    with pytest.raises(ValueError, match=BAD_FRAMES):
        s.process(buf)
    buf.append(0)  # no view left behind
    assert s.process(b"") == b""
    assert len(so.ModalState(channel_count=1).process(bytes(6))) == 6


def test_failed_init_leaves_the_object_unchanged():
    s = so.ModalState(48000, 1, 2)
    s.set_mode(1, 440.0, 1.0, 1.0)
    s.finish()
    for args in ((48000, 1, 65), (48000, 3, 2)):
        with pytest.raises(ValueError):
            s.__init__(*args)
    assert len(s.process(np.array([1000, 0], np.int16).tobytes())) == 4 and not s.silent()
    s.__init__(48000, 2, 64)
    assert s.silent() and len(s.process(bytes(4))) == 4
    s.set_mode(63, 440.0, 1.0, 1.0)


def test_never_initialised_object_is_refused():
    s = so.ModalState.__new__(so.ModalState)
    assert s.silent()
    for call in (lambda: s.process(bytes(4)), lambda: s.process(b""), lambda: s.configure(0, 1.0),
                 lambda: s.set_mode(0, 1.0, 1.0, 1.0), s.finish, s.reset):
        with pytest.raises(ValueError):
            call()
