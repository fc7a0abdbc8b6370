import numpy as np
import pytest

import _sonolith as so
from tests.models import ladder as model

CUTOFF, RESONANCE, DRIVE, POLES, COMPENSATION, OVERSAMPLING, MIX = range(7)
BAD_FRAMES = "^input must be whole 16-bit frames for the configured channel count$"


def make(rate, channels, options):
    native, ref = so.LadderState(rate, channels), model.Ladder(rate, channels)
    for option, value in options:
        native.configure(option, value)
        ref.configure(option, value)
    return native, ref


def signal(rng, frames, channels):
    """Noise at a random level, a loud burst, then silence in which resonance rings on."""
    x = rng.standard_normal((frames, channels)) * rng.uniform(50, 20000)
    x[frames // 3:frames // 2] *= 4
    x[2 * frames // 3:] = 0
    return x.clip(-32768, 32767).astype(np.int16)


def run(native, x):
    return np.frombuffer(native.process(x.tobytes()), np.int16).reshape(x.shape)


@pytest.mark.parametrize("seed", range(3))
def test_matches_model(seed):
    """Every pole count with and without oversampling and compensation, cut-offs from below the
    floor to beyond the limit, resonance up to self-oscillation, drive into the saturated knees."""
    rng = np.random.default_rng(seed)
    model.HITS[:] = 0
    natives, refs, inputs = [], [], []
    for poles in (1, 2, 3, 4):
        for twice in (1, 2):
            for comp in (0.0, float(rng.uniform(0.2, 1.0))):
                channels, rate = int(rng.integers(1, 3)), int(rng.choice([8000, 44100, 48000, 96000]))
                options = [(CUTOFF, float(np.exp(rng.uniform(np.log(0.5), np.log(60000))))),
                           (RESONANCE, float(rng.choice([4.2, 5.0, rng.uniform(0, 4.2)]))),
                           (DRIVE, float(np.exp(rng.uniform(np.log(0.1), np.log(20))))),
                           (POLES, poles), (COMPENSATION, comp), (OVERSAMPLING, twice),
                           (MIX, float(rng.choice([1.0, rng.uniform()])))]
                native, ref = make(rate, channels, options)
                natives.append(native), refs.append(ref), inputs.append(signal(rng, 1200, channels))
    expected = model.process(refs, inputs)
    assert model.HITS.min() > 0  # both knees and the iteration were taken
    for native, x, y in zip(natives, inputs, expected):
        assert np.array_equal(run(native, x), y)
    assert max(np.abs(y[-100:]).max() for y in expected) > 1000  # something self-oscillates


def test_streaming_with_a_change_between_blocks(rng):
    base = [(RESONANCE, 3.8), (DRIVE, 3.0), (COMPENSATION, 0.5)]
    (native, ref), (whole, _) = make(44100, 2, base), make(44100, 2, base)
    x = signal(rng, 2000, 2)
    cuts = [0, *np.sort(rng.integers(0, len(x), 8)), len(x)]
    assert b"".join(native.process(x[i:j].tobytes()) for i, j in zip(cuts, cuts[1:])) == whole.process(x.tobytes())
    for obj in (native, ref):
        obj.reset()
        obj.configure(CUTOFF, 300.0)
    assert np.array_equal(run(native, x[:700]), model.process([ref], [x[:700]])[0])
    for obj in (native, ref):  # a change between blocks keeps the state
        obj.configure(POLES, 2)
    assert np.array_equal(run(native, x[700:]), model.process([ref], [x[700:]])[0])


@pytest.mark.parametrize("rate", [1, 2, 3, 2**31, 2**32 - 1])
@pytest.mark.parametrize("twice", [1, 2])
def test_extreme_sample_rates_match_model(rng, rate, twice):
    """At 1 and 2 Hz the 0.49 x rate limit wins over the 1 Hz floor; at 2^31 Hz and above the
    doubled rate does not wrap."""
    native, ref = make(rate, 1, [(OVERSAMPLING, twice), (RESONANCE, 4.0), (CUTOFF, 1.5)])
    assert 0 < ref.G < 1
    x = signal(rng, 300, 1)
    assert np.array_equal(run(native, x), model.process([ref], [x])[0])


@pytest.mark.parametrize("options, equivalent", [
    ([(CUTOFF, v)], [(CUTOFF, 47040.0)]) for v in (1e9, float("inf"))] + [
    ([(CUTOFF, v)], [(CUTOFF, 1.0)]) for v in (0.0, -1e30, float("nan"))] + [
    ([(OVERSAMPLING, 1), (CUTOFF, 30000.0)], [(OVERSAMPLING, 1), (CUTOFF, 23520.0)])] + [
    ([(option, value)], [(option, equal)]) for option, value, equal in [
        (POLES, 0, 1), (POLES, 2.4, 2), (POLES, 2.5, 3), (POLES, 9, 4), (POLES, 1e10, 4), (POLES, -1e10, 1),
        (POLES, float("nan"), 1), (POLES, float("inf"), 4), (POLES, 1e300, 4),
        (OVERSAMPLING, 1.4999, 1), (OVERSAMPLING, float("nan"), 1), (OVERSAMPLING, 1e300, 2),
        (RESONANCE, float("nan"), 0.0), (RESONANCE, -1.0, 0.0), (RESONANCE, 9.0, 4.2),
        (DRIVE, float("nan"), 0.0), (DRIVE, 1e300, 64.0), (DRIVE, -1.0, 0.0),
        (COMPENSATION, float("nan"), 0.0), (COMPENSATION, 7.0, 1.0), (MIX, float("nan"), 0.0), (MIX, 2.0, 1.0)]])
def test_option_clamps(rng, options, equivalent):
    x = signal(rng, 600, 2)
    base = [(RESONANCE, 3.0), (COMPENSATION, 0.5)]
    a, b = make(48000, 2, base + options)[0], make(48000, 2, base + equivalent)[0]
    assert np.array_equal(run(a, x), run(b, x))


def test_mix_zero_passes_the_input(rng):
    native, _ = make(48000, 2, [(MIX, 0.0), (RESONANCE, 4.2), (DRIVE, 64.0)])
    x = signal(rng, 1000, 2)
    assert native.process(x.tobytes()) == x.tobytes()


@pytest.mark.parametrize("drive", [0.5, 1.0, 3.0])
def test_unity_gain_at_dc(drive):
    native, _ = make(48000, 1, [(DRIVE, drive), (CUTOFF, 2000.0)])
    y = run(native, np.full((4000, 1), 10000, np.int16))
    assert y[-1, 0] == min(32767, round(10000 * drive))


def test_messages_and_order():
    with pytest.raises(ValueError, match="^sample_rate must be at least 1$"):
        so.LadderState(0, 3)
    with pytest.raises(ValueError, match="^sample_rate must be at least 1$"):
        so.LadderState(2**32)  # "I" wraps to 0
    with pytest.raises(ValueError, match="^channel_count must be 1 or 2$"):
        so.LadderState(48000, 0)
    with pytest.raises(TypeError):
        so.LadderState(48000.0)
    s = so.LadderState(channel_count=1)
    for option in (-1, 7, 2**31 - 1):
        with pytest.raises(ValueError, match="^unknown ladder option$"):
            s.configure(option, 1.0)
    with pytest.raises(OverflowError):
        s.configure(2**31, 1.0)
    buf = bytearray(3)
    with pytest.raises(ValueError, match=BAD_FRAMES):
        s.process(buf)
    buf.append(0)  # the failed call released its view
    with pytest.raises(ValueError, match=BAD_FRAMES):
        so.LadderState().process(bytes(6))
    assert so.LadderState().process(b"") == b""
    assert s.finish() is None and s.reset() is None and s.configure(0, 500.0) is None


def test_failed_init_leaves_the_object_unchanged(rng):
    s = so.LadderState(48000, 1)
    s.configure(RESONANCE, 2.0)
    with pytest.raises(ValueError):
        s.__init__(48000, 5)
    x = signal(rng, 300, 1)
    _, ref = make(48000, 1, [(RESONANCE, 2.0)])
    assert np.array_equal(run(s, x), model.process([ref], [x])[0])
    s.__init__(44100, 2)  # a second __init__ restores every default and clears the state
    assert s.process(x.tobytes()) == so.LadderState(44100, 2).process(x.tobytes())


def test_never_initialised_object_is_refused():
    s = so.LadderState.__new__(so.LadderState)
    for call in (lambda: s.process(bytes(4)), lambda: s.process(b""), lambda: s.configure(0, 1.0),
                 s.finish, s.reset):
        with pytest.raises(ValueError):
            call()
