import array
import math
import zlib

import numpy as np
import pytest

import _sonolith as so
from tests.models.feedback_delay import FeedbackDelay

OPT = {name: i for i, name in enumerate((
    "delay_ms", "feedback", "mix", "tone_hz", "highpass_hz", "wow_hz", "wow_depth_ms", "cross_feedback",
    "saturation", "input_side", "delay_slew", "wow_tremolo", "pitch_semitones", "splice_window_ms",
    "delay_samples", "ramp_ms"))}


def noise(rng, frames, channels, level=12000):
    """Bursts of noise and tones with silent gaps."""
    t = np.arange(frames)
    env = np.repeat(rng.choice([0.0, 0.05, 0.4, 1.0], size=frames // 64 + 1), 64)[:frames]
    sig = np.sin(t[:, None] * rng.uniform(0.01, 0.3, channels)) + 0.5 * rng.standard_normal((frames, channels))
    return np.clip(env[:, None] * sig * level, -32768, 32767).astype(np.int16).tobytes()


def shape_buffer(rng, count):
    return array.array("h", rng.integers(-32768, 32768, count).tolist())


def both(rate, ms, ch):
    return so.FeedbackDelayState(rate, ms, ch), FeedbackDelay(rate, ms, ch)


def run_events(native, model, data, ch, rng, events=(), block_max=400):
    """Feeds both in the same random blocks; events maps a frame index to calls made before the
    block that starts there (or the first block after it)."""
    fb, frames = 2 * ch, len(data) // (2 * ch)
    pending = sorted(events, key=lambda e: e[0])
    i, outn, outm = 0, [], []
    while i < frames:
        while pending and pending[0][0] <= i:
            _, method, args = pending.pop(0)
            getattr(native, method)(*args)
            getattr(model, method)(*args)
        n = int(rng.integers(0, block_max))
        block = data[i * fb:(i + n) * fb]
        outn.append(native.process(block))
        outm.append(model.process(block))
        i += n
    return b"".join(outn), b"".join(outm)


# name, rate, max_ms, channels, options, frames
CASES = [
    ("defaults stereo", 16000, 60.0, 2, {"delay_ms": 7.0, "feedback": 0.8, "mix": 1.0}, 3000),
    ("mono cross side", 16000, 40.0, 1, {"delay_samples": 37.3, "feedback": 0.7, "input_side": 1.0, "mix": 2.0}, 2000),
    ("cross and routing", 22050, 30.0, 2,
     {"delay_ms": 5.3, "feedback": 0.9, "cross_feedback": 0.35, "input_side": -0.6, "mix": 1.4}, 3000),
    ("tone highpass saturation", 16000, 50.0, 2,
     {"delay_ms": 3.1, "feedback": 0.95, "tone_hz": 1800, "highpass_hz": 120, "saturation": 0.9, "mix": 1.0}, 3000),
    ("wow tremolo slew", 16000, 50.0, 2,
     {"delay_ms": 9.0, "feedback": 0.6, "wow_hz": 7.0, "wow_depth_ms": 2.5, "wow_tremolo": 0.8, "delay_slew": 0.3,
      "ramp_ms": 3.0}, 3000),
    ("pitch up", 16000, 80.0, 2,
     {"delay_ms": 4.0, "feedback": 0.5, "pitch_semitones": 7.0, "splice_window_ms": 4.0, "mix": 1.5}, 3000),
    ("pitch down mono", 16000, 80.0, 1,
     {"delay_ms": 6.0, "feedback": 0.3, "pitch_semitones": -5.0, "splice_window_ms": 3.0, "mix": 2.0}, 3000),
    ("pitch octave up wow", 48000, 20.0, 2,
     {"delay_ms": 2.0, "feedback": 0.4, "pitch_semitones": 12.0, "splice_window_ms": 1.0, "wow_hz": 3.0,
      "wow_depth_ms": 0.5, "tone_hz": 5000}, 2500),
]


@pytest.mark.parametrize("case", CASES, ids=[c[0] for c in CASES])
def test_matches_model(case):
    _, rate, ms, ch, options, frames = case
    rng = np.random.default_rng(zlib.crc32(case[0].encode()))
    native, model = both(rate, ms, ch)
    for name, value in options.items():
        native.configure(OPT[name], value)
        model.configure(OPT[name], value)
    native.finish()
    model.finish()
    a, b = run_events(native, model, noise(rng, frames, ch), ch, rng)
    assert a == b


@pytest.mark.parametrize("ms", [0.01, 0.7, 5.0])
def test_short_lines_match_model(ms):
    """Lines shorter than the kernel's chunks, with the wow and pitch heads moving over them."""
    rng = np.random.default_rng(int(ms * 100))
    native, model = both(8000, ms, 2)
    for name, v in {"delay_samples": 3.5, "feedback": 0.9, "wow_hz": 40.0, "wow_depth_ms": 0.3,
                    "pitch_semitones": 0.0}.items():
        native.configure(OPT[name], v)
        model.configure(OPT[name], v)
    ev = [(600, "configure", (OPT["wow_hz"], 0.0)), (900, "configure", (OPT["pitch_semitones"], 5.0))]
    a, b = run_events(native, model, noise(rng, 1500, 2), 2, rng, ev, block_max=150)
    assert a == b


def test_option_changes_mid_stream():
    """Shapes switched with the depth ramp (twice between calls, removed, restored), the wow wound
    down and restarted, pitch engaged, retuned (anti-alias ramp), returned to rest, delay moved."""
    rng = np.random.default_rng(5)
    native, model = both(16000, 60.0, 2)
    s1, s2, s3 = shape_buffer(rng, 64), shape_buffer(rng, 2), shape_buffer(rng, 4096)
    ev = [(0, "configure", (OPT["wow_hz"], 5.0)), (0, "configure", (OPT["wow_depth_ms"], 3.0)),
          (0, "configure", (OPT["ramp_ms"], 8.0)), (0, "configure", (OPT["feedback"], 0.7)),
          (0, "configure", (OPT["delay_ms"], 12.0)), (0, "configure", (OPT["splice_window_ms"], 3.0)),
          (300, "set_wow_shape", (s1,)), (700, "set_wow_shape", (s2,)), (700, "set_wow_shape", (s3,)),
          (1200, "set_wow_shape", (None,)), (1500, "configure", (OPT["wow_hz"], 0.0)),
          (1600, "configure", (OPT["pitch_semitones"], 5.0)), (2300, "configure", (OPT["pitch_semitones"], 9.0)),
          (2600, "set_wow_shape", (s1,)), (2700, "configure", (OPT["wow_hz"], 11.0)),
          (3000, "configure", (OPT["pitch_semitones"], 0.0)), (3300, "configure", (OPT["delay_ms"], 3.0)),
          (3400, "configure", (OPT["pitch_semitones"], -3.0)), (3900, "configure", (OPT["pitch_semitones"], 0.0)),
          (4100, "reset", ())]
    a, b = run_events(native, model, noise(rng, 4600, 2), 2, rng, ev, block_max=200)
    assert a == b


def test_streaming_equivalence():
    rng = np.random.default_rng(9)
    data = noise(rng, 6000, 2)
    objs = [so.FeedbackDelayState(48000, 30.0, 2) for _ in range(2)]
    for o in objs:
        for name, v in {"delay_ms": 9.0, "feedback": 0.8, "wow_hz": 2.0, "wow_depth_ms": 1.0, "tone_hz": 3000,
                        "highpass_hz": 40, "saturation": 0.5, "pitch_semitones": 4.0, "cross_feedback": 0.2}.items():
            o.configure(OPT[name], v)
        o.finish()
    whole = objs[0].process(data)
    parts, i = [], 0
    while i < 6000:
        n = int(rng.integers(0, 700))
        parts.append(objs[1].process(data[i * 4:(i + n) * 4]))
        i += n
    assert b"".join(parts) == whole


def test_silence_sleeps_when_the_model_does():
    """The tail test runs exactly as described: an object that fell asleep stops its wow, so the
    first block after waking only matches when both slept at the same frame."""
    rng = np.random.default_rng(3)
    native, model = both(8000, 20.0, 2)
    for name, v in {"delay_ms": 6.0, "feedback": 0.6, "tone_hz": 900, "wow_hz": 3.0, "wow_depth_ms": 2.0}.items():
        native.configure(OPT[name], v)
        model.configure(OPT[name], v)
    burst = noise(rng, 200, 2)
    assert native.process(burst) == model.process(burst)
    slept_at = None
    for k in range(400):
        n = int(rng.integers(0, 90))
        assert native.process_silence(n) == model.process_silence(n)
        if model.asleep and slept_at is None:
            slept_at = k
    assert slept_at is not None and slept_at < 399
    assert native.process(burst) == model.process(burst)
    assert native.process_silence(0) == b""


def test_impulse_echoes_default():
    d = so.FeedbackDelayState()
    imp = array.array("h", [0] * 40000)
    imp[0] = imp[1] = 20000
    out = array.array("h", d.process(imp.tobytes()))
    assert out[0] == 20000 and out[2 * 6000] == round(20000 * 0.3) and out[2 * 12000] == round(6000 * 0.4)


def test_messages_and_clamps():
    T = so.FeedbackDelayState
    for args, msg in [((0,), "sample_rate must be at least 1"), ((48000, 0.0), "max_delay_ms must be positive"),
                      ((48000, -1.0), "max_delay_ms must be positive"), ((48000, math.nan), "max_delay_ms must be positive"),
                      ((48000, 10.0, 3), "channel_count must be 1 or 2"), ((0, -1.0, 3), "sample_rate must be at least 1"),
                      ((48000, -1.0, 3), "max_delay_ms must be positive")]:
        with pytest.raises(ValueError, match=f"^{msg}$"):
            T(*args)
    for args in [(48000, 1e300), (4294967295, 1e9), (48000, math.inf)]:
        with pytest.raises(MemoryError):
            T(*args)
    d = T(8000, 10.0, 2)
    for opt in (-1, 16, 1 << 20):
        with pytest.raises(ValueError, match="^unknown feedback delay option$"):
            d.configure(opt, 0.0)
    with pytest.raises(TypeError):
        d.configure(0, "x")
    for bad in (b"\0", b"\0\0", b"\0" * 6, b"\0" * 8194, b"\0" * 2 * 4097):
        with pytest.raises(ValueError, match="^wow_shape must be 2 to 4096 int16 samples, a power of two$"):
            d.set_wow_shape(bad)
    with pytest.raises(TypeError):
        d.set_wow_shape(5)
    d.set_wow_shape(b"\0" * 8192)
    d.set_wow_shape(None)
    ba = bytearray(6)
    with pytest.raises(ValueError, match="^input must be whole 16-bit frames for the configured channel count$"):
        d.process(ba)
    ba.extend(b"\0\0")  # no view left behind
    with pytest.raises(ValueError, match="^frames must not be negative$"):
        d.process_silence(-1)
    with pytest.raises(TypeError):
        d.process_silence(1.5)
    with pytest.raises(OverflowError):
        d.process_silence(1 << 70)
    with pytest.raises(MemoryError):
        d.process_silence(2**62)
    assert d.process(b"") == b"" and d.process_silence(3) == bytes(12)
    mono = T(8000, 10.0, 1)
    assert len(mono.process_silence(5)) == 10


@pytest.mark.parametrize("value", [math.nan, math.inf, -math.inf, 1e30, -1e30, 0.0])
def test_adversarial_option_values_match_model(value):
    rng = np.random.default_rng(11)
    native, model = both(8000, 30.0, 2)
    for opt in range(16):
        native.configure(opt, value)
        model.configure(opt, value)
    native.configure(OPT["feedback"], 0.5)
    model.configure(OPT["feedback"], 0.5)
    native.finish()
    model.finish()
    a, b = run_events(native, model, noise(rng, 800, 2), 2, rng)
    assert a == b


def test_uninitialised_and_reinit():
    d = so.FeedbackDelayState.__new__(so.FeedbackDelayState)
    for call in (lambda: d.process(b"\0" * 4), lambda: d.process_silence(4), lambda: d.reset(),
                 lambda: d.finish(), lambda: d.configure(0, 1.0), lambda: d.set_wow_shape(None)):
        with pytest.raises(ValueError):
            call()
    shape = bytearray(128)
    d.__init__(8000, 10.0, 2)
    d.set_wow_shape(shape)
    d.configure(OPT["wow_depth_ms"], 1.0)
    d.process(bytes(40))
    d.set_wow_shape(bytearray(4))  # the old shape is still being read: stays held
    with pytest.raises(BufferError):
        shape.append(0)
    d.process(bytes(40))
    d.__init__(8000, 10.0, 2)  # releases both views
    shape.append(0)


def test_shape_replaced_twice_keeps_the_read_shape_held():
    d = so.FeedbackDelayState(8000, 20.0, 2)
    a, b, c = bytearray(64), bytearray(64), bytearray(64)
    d.configure(OPT["wow_depth_ms"], 2.0)
    d.configure(OPT["wow_hz"], 3.0)
    d.set_wow_shape(a)
    d.process(bytes(400))  # a in use
    d.set_wow_shape(b)
    d.set_wow_shape(c)  # b was never read: released; a still ramps down
    b.append(0)
    with pytest.raises(BufferError):
        a.append(0)
    d.process(bytes(4 * 1000))  # the ramp ends, c comes into use
    d.set_wow_shape(None)  # c is read: moves to the reading slot, a is released
    a.append(0)
    with pytest.raises(BufferError):
        c.append(0)
    del d
    c.append(0)
