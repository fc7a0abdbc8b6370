import math
import threading
import tracemalloc

import numpy as np
import pytest

import _sonolith as so
from tests.models.dynamics import Dynamics

FRAMES = 1200

OPTION = {name: i for i, name in enumerate((
    "threshold_db", "slope_ratio", "knee_db", "makeup_db", "attack_ms", "release_ms",
    "transient_attack_db", "transient_sustain_db", "sidechain_highpass_hz", "lookahead_ms",
    "peak_oversample", "fast_attack_ms", "fast_release_ms", "slow_attack_ms", "slow_release_ms",
    "rms_detect", "rms_window_ms", "feedback_detect", "sidechain_lowpass_hz", "sidechain_order",
    "sidechain_listen", "range_db", "gate_hold_ms", "gate_hysteresis_db", "key_relative",
    "adaptive_attack", "dual_transient", "fast2_attack_ms", "fast2_release_ms", "slow2_attack_ms",
    "slow2_release_ms", "transient_hold_ms", "gain_smoothing_ms", "feedback_slope",
))}


def signal(rng, frames, channels, seed_level=None):
    """Noise and tones under a stepped envelope: loud bursts, quiet passages and silence."""
    t = np.arange(frames)
    env = np.empty(frames)
    i = 0
    while i < frames:
        n = int(rng.integers(20, 200))
        env[i:i + n] = rng.choice([0.0, 0.002, 0.03, 0.2, 0.7, 1.2])
        i += n
    out = np.empty((frames, channels))
    for c in range(channels):
        tone = np.sin(t * rng.uniform(0.01, 0.5) + rng.uniform(0, 6))
        out[:, c] = env * (0.6 * tone + 0.4 * rng.standard_normal(frames)) * 32768
    return np.clip(out, -32768, 32767).astype(np.int16).reshape(-1).tobytes()


def make(mode, rate, channels, options, finish=True):
    native = so.DynamicsState(mode, rate, channels)
    model = Dynamics(mode, rate, channels)
    for name, value in options.items():
        native.configure(OPTION[name], value)
        model.configure(OPTION[name], value)
    if finish:
        native.finish()
        model.finish()
    return native, model


def run_blocks(obj, data, channels, rng, key=None):
    """Processes data in random block sizes (including empty blocks)."""
    fb = 2 * channels
    frames = len(data) // fb
    out, i = [], 0
    while i < frames:
        n = int(rng.integers(0, 300))
        kb = None if key is None else key[i * fb:(i + n) * fb] + key[(i + n) * fb:(i + n + 3) * fb]
        out.append(obj.process(data[i * fb:(i + n) * fb], kb))
        i += n
    return b"".join(out)


def as_s16(b):
    return np.frombuffer(b, np.int16)


CONFIGS = [
    ("compressor", 0, 48000, 2, {}),
    ("compressor hard knee, makeup", 0, 16000, 2,
     {"threshold_db": -30, "slope_ratio": 8, "knee_db": 0, "makeup_db": 6, "attack_ms": 0.5,
      "release_ms": 20}),
    ("compressor mono, wide knee", 0, 8000, 1,
     {"threshold_db": -18, "slope_ratio": 2.5, "knee_db": 12, "attack_ms": 2, "release_ms": 40}),
    ("compressor key", 0, 16000, 2, {"threshold_db": -20, "attack_ms": 1}),
    ("compressor key relative", 0, 16000, 2,
     {"key_relative": 1, "threshold_db": -6, "attack_ms": 1, "release_ms": 10,
      "sidechain_highpass_hz": 1500}),
    ("compressor feedback", 0, 16000, 2,
     {"feedback_detect": 1, "slope_ratio": 3, "threshold_db": -20}),
    ("compressor feedback slope", 0, 16000, 2,
     {"feedback_detect": 1, "feedback_slope": 1, "slope_ratio": 3, "threshold_db": -20}),
    ("compressor attack slower than release", 0, 16000, 2,
     {"attack_ms": 30, "release_ms": 4, "threshold_db": -30, "knee_db": 3}),
    ("compressor feedback, lookahead, 2x peaks", 0, 16000, 2,
     {"feedback_detect": 1, "lookahead_ms": 1.5, "peak_oversample": 1, "threshold_db": -25,
      "sidechain_highpass_hz": 200}),
    ("listen with feedback", 0, 16000, 1,
     {"sidechain_listen": 1, "feedback_detect": 1, "sidechain_lowpass_hz": 4000,
      "makeup_db": 3}),
    ("compressor rms, 2-stage filters", 0, 16000, 2,
     {"rms_detect": 1, "rms_window_ms": 5, "sidechain_highpass_hz": 100,
      "sidechain_lowpass_hz": 3000, "sidechain_order": 2, "threshold_db": -30}),
    ("compressor adaptive, smoothing", 7, 16000, 2,
     {"adaptive_attack": 1, "attack_ms": 20, "gain_smoothing_ms": 2, "threshold_db": -20}),
    ("compressor mode -1, 1-stage low-pass", -1, 16000, 1,
     {"sidechain_lowpass_hz": 800, "threshold_db": -26}),
    ("limiter 4x peaks, lookahead", 1, 48000, 2,
     {"peak_oversample": 2, "lookahead_ms": 2, "threshold_db": -6, "attack_ms": 0,
      "release_ms": 50}),
    ("limiter 2x peaks mono, smoothing", 1, 16000, 1,
     {"peak_oversample": 1, "threshold_db": -3, "attack_ms": 0.2, "gain_smoothing_ms": 0.5}),
    ("expander", 2, 16000, 2, {"slope_ratio": 3, "range_db": -30, "threshold_db": -15,
                                       "release_ms": 5}),
    ("expander built-in floor", 2, 16000, 1, {"slope_ratio": 4, "threshold_db": -20}),
    ("gate", 3, 16000, 2,
     {"range_db": -40, "threshold_db": -20, "attack_ms": 0.3, "release_ms": 5}),
    ("gate built-in floor, rms", 3, 16000, 2, {"rms_detect": 1, "threshold_db": -25}),
    ("gate hold, hysteresis", 3, 16000, 2,
     {"gate_hold_ms": 4, "gate_hysteresis_db": -6, "attack_ms": 0.5, "release_ms": 3,
      "threshold_db": -30}),
    ("gate hold, range, key", 3, 8000, 1,
     {"gate_hold_ms": 2, "range_db": -20, "attack_ms": 0.2, "release_ms": 1,
      "threshold_db": -20}),
    ("gate hold, 2x peaks, lookahead", 3, 16000, 2,
     {"gate_hold_ms": 1, "peak_oversample": 1, "lookahead_ms": 1, "threshold_db": -35}),
    ("transient", 4, 16000, 2,
     {"transient_attack_db": 6, "transient_sustain_db": -4}),
    ("transient hold", 4, 16000, 2,
     {"transient_attack_db": -5, "transient_sustain_db": 8, "transient_hold_ms": 3,
      "fast_attack_ms": 0.5, "slow_release_ms": 60}),
    ("transient dual", 4, 16000, 2,
     {"dual_transient": 1, "transient_attack_db": 9, "transient_sustain_db": 5,
      "fast2_release_ms": 30, "slow2_attack_ms": 10, "slow2_release_ms": 150}),
    ("transient dual hold, 4x peaks", 4, 16000, 1,
     {"dual_transient": 1, "transient_hold_ms": 2, "transient_attack_db": 4,
      "transient_sustain_db": -6, "peak_oversample": 3}),
    ("listen, band-pass", 0, 16000, 2,
     {"sidechain_listen": 1, "sidechain_highpass_hz": 300, "sidechain_lowpass_hz": 2000,
      "sidechain_order": 2, "lookahead_ms": 3}),
]


@pytest.mark.parametrize("title,mode,rate,channels,options", CONFIGS, ids=[c[0] for c in CONFIGS])
def test_matches_model(title, mode, rate, channels, options):
    rng = np.random.default_rng(sum(map(ord, title)))
    native, model = make(mode, rate, channels, options)
    data = signal(rng, FRAMES, channels)
    key = None
    if "key" in title:
        key = signal(rng, FRAMES, channels) + b"\x01\x02\x03"  # bytes past the input are ignored
    expected = model.process(data, key)
    got = run_blocks(native, data, channels, rng, key)
    assert np.array_equal(as_s16(got), as_s16(expected))
    assert np.mean(as_s16(got) != as_s16(data)) > 0.04  # the configuration does act
    assert native.gain_reduction_db == float(model.last_db)
    # the whole block in one call gives the same as the pieces
    native.reset()
    assert native.process(data, key) == got
    # reset clears the running state: a second pass repeats the first
    native.reset()
    model.reset()
    assert native.process(data, key) == model.process(data, key) == got


def test_without_finish_no_gain_change():
    native, model = make(0, 48000, 2, {"threshold_db": -60}, finish=False)
    data = signal(np.random.default_rng(1), 400, 2)
    assert native.process(data) == model.process(data) == data
    assert native.gain_reduction_db == 0.0


def test_set_sample_rate_applies_to_ms_times_only():
    rng = np.random.default_rng(2)
    native, model = make(4, 48000, 2, {"transient_attack_db": 6, "transient_sustain_db": 6,
                                       "transient_hold_ms": 2, "attack_ms": 3})
    data = signal(rng, 600, 2)
    assert native.process(data) == model.process(data)
    native.set_sample_rate(8000)
    model.set_sample_rate(8000)
    assert native.sample_rate == 8000
    data = signal(rng, 600, 2)
    assert native.process(data) == model.process(data)
    # options configured now use the new rate
    for obj in (native, model):
        obj.configure(OPTION["transient_hold_ms"], 5)
        obj.configure(OPTION["fast_release_ms"], 7)
    assert native.process(data) == model.process(data)


# Values chosen around every threshold of the option table, plus the non-finite ones.
VALUES = [-math.inf, -70.0, -1.0, -0.0, 0.0, 0.3, 1.0, 1.5, 2.0, 2.5, 17.0, 60.0, math.inf, math.nan]


def mode_for(option):
    if option in (6, 7, 11, 12, 13, 14, 26, 27, 28, 29, 30, 31):
        return 4
    if option in (21, 22, 23):
        return 3
    return 0


@pytest.mark.parametrize("option", range(34))
def test_each_option_mapping(option):
    """Each option's clamp or mapping, non-finite values included, against the model."""
    rng = np.random.default_rng(100 + option)
    data = signal(rng, 160, 2)
    key = signal(rng, 160, 2)
    mode = mode_for(option)
    extra = {
        4: {"dual_transient": 1, "transient_attack_db": 5, "transient_sustain_db": -5},
        3: {"gate_hold_ms": 0.5 if option != 22 else 0, "attack_ms": 0.1, "release_ms": 0.5,
            "threshold_db": -30},
        0: {"threshold_db": -30, "feedback_detect": 1 if option == 33 else 0},
    }[mode]
    if option in (11, 12, 13, 14, 31):
        extra = {**extra, "dual_transient": 0}
    extra = {**extra, **{
        3: {"gain_smoothing_ms": 0.5}, 16: {"rms_detect": 1}, 19: {"sidechain_highpass_hz": 200},
        20: {"sidechain_lowpass_hz": 500}, 32: {"makeup_db": 3}, 8: {"sidechain_order": 2},
        18: {"sidechain_order": 2},
    }.get(option, {})}
    for value in VALUES:
        options = {**extra, list(OPTION)[option]: value}
        native, model = make(mode, 16000, 2, options)
        use_key = key if option == 24 else None
        expected = model.process(data, use_key)
        got = native.process(data, use_key)
        assert got == expected, value
        g = native.gain_reduction_db
        assert g == float(model.last_db) or (math.isnan(g) and model.last_db != model.last_db)


def test_nan_values_keep_state_finite():
    # NaN in a value option stores its default; NaN times act like 0 ms.
    data = signal(np.random.default_rng(3), 300, 2)
    for option in range(34):
        a = so.DynamicsState(3 if option in (21, 22, 23) else 0, 16000, 2)
        a.configure(OPTION["gain_smoothing_ms"], 1)
        a.configure(option, math.nan)
        a.finish()
        a.process(data)
        assert math.isfinite(a.gain_reduction_db), option


def test_lookahead_latency_and_limits():
    rng = np.random.default_rng(4)
    data = signal(rng, 3000, 2)
    x = as_s16(data).reshape(-1, 2)
    for ms, frames in ((1, 48), (50, 2400), (400, 2400), (-3, 0), (math.nan, 0), (math.inf, 2400)):
        d = so.DynamicsState(0, 48000, 2)
        d.configure(OPTION["slope_ratio"], 1)  # unity gain: the output is the delayed input
        d.configure(OPTION["lookahead_ms"], ms)
        d.finish()
        y = as_s16(run_blocks(d, data, 2, rng)).reshape(-1, 2)
        assert not y[:frames].any()
        assert np.array_equal(y[frames:], x[:len(x) - frames])


def test_lookahead_gain_applies_to_delayed_frame():
    # a limiter with a loud burst: frame i's gain is applied to input frame i - L
    rng = np.random.default_rng(6)
    native, model = make(1, 16000, 1, {"lookahead_ms": 5, "threshold_db": -12, "attack_ms": 0})
    data = signal(rng, 800, 1)
    out = native.process(data)
    assert out == model.process(data)
    L = 80
    x = as_s16(data).astype(np.float32)
    y = as_s16(out)
    assert not y[:L].any()
    reduced = np.abs(y[L:]) < np.abs(x[:-L]) - 1
    assert reduced.any()


def test_lookahead_growth_never_shrinks():
    rng = np.random.default_rng(7)
    native, model = make(0, 16000, 2, {"lookahead_ms": 2, "slope_ratio": 1})
    for ms in (2, 1, None, 2, 3, 0, 3, 2):
        if ms is not None:
            native.configure(OPTION["lookahead_ms"], ms)
            model.configure(OPTION["lookahead_ms"], ms)
        n = int(rng.integers(0, 70))
        data = signal(rng, n, 2)
        assert native.process(data) == model.process(data)
        # an empty call brings the write index into range
        assert native.process(b"") == b""
        model.process(b"")
    # after reset the line is silent again
    native.reset()
    y = as_s16(native.process(signal(rng, 100, 2)))
    assert not y[:2 * 32].any()


def test_reinit_restores_defaults():
    rng = np.random.default_rng(8)
    data = signal(rng, 500, 2)
    d = so.DynamicsState(1, 16000, 2)
    d.configure(OPTION["lookahead_ms"], 10)
    d.configure(OPTION["makeup_db"], 12)
    d.finish()
    d.process(data)
    d.__init__(channel_count=1)
    fresh = so.DynamicsState(0, 48000, 1)
    for obj in (d, fresh):
        obj.finish()
    mono = data[: len(data) // 2]
    assert d.process(mono) == fresh.process(mono)
    assert d.sample_rate == 48000


def test_failed_init_changes_nothing():
    rng = np.random.default_rng(9)
    a, b = make(0, 16000, 2, {"lookahead_ms": 3, "threshold_db": -30})
    first = signal(rng, 200, 2)
    a.process(first)
    b.process(first)
    with pytest.raises(ValueError, match="^sample_rate must be at least 1$"):
        a.__init__(0, 0, 1)
    with pytest.raises(ValueError, match="^channel_count must be 1 or 2$"):
        a.__init__(0, 8000, 3)
    data = signal(rng, 300, 2)
    assert a.process(data) == b.process(data)


def test_reinit_does_not_leak():
    data = bytes(4 * 256)
    d = so.DynamicsState()
    tracemalloc.start()
    try:
        for i in range(60):
            d.__init__(i % 5, 48000, 2)
            d.configure(OPTION["lookahead_ms"], 50)
            d.process(data)
            if i == 10:
                base = tracemalloc.get_traced_memory()[0]
        assert tracemalloc.get_traced_memory()[0] - base < 20000
    finally:
        tracemalloc.stop()


def test_full_scale_unity():
    native, model = make(0, 48000, 1, {"slope_ratio": 0.5})  # stored as 1: no gain change
    x = np.array([-32768, 32767, -32768, 1, -1, 0], np.int16).tobytes()
    assert native.process(x) == x
    for obj in (native, model):
        obj.configure(OPTION["makeup_db"], 40)
    y = native.process(x)
    assert y == model.process(x)
    assert list(as_s16(y)[:3]) == [-32768, 32767, -32768]


def test_infinite_gain_does_not_poison_smoothing():
    rng = np.random.default_rng(12)
    native, model = make(0, 16000, 2, {"gain_smoothing_ms": 0.1, "makeup_db": math.inf})
    data = signal(rng, 200, 2)
    assert native.process(data) == model.process(data)
    for obj in (native, model):
        obj.configure(OPTION["makeup_db"], 0)
    data = signal(rng, 400, 2)
    y = native.process(data)
    assert y == model.process(data)
    assert np.abs(as_s16(y)[-100:].astype(int) - as_s16(data)[-100:]).max() < 2000


def test_key_layout_follows_input():
    # a stereo-length key with a mono input is read as mono frames
    rng = np.random.default_rng(10)
    native, model = make(0, 16000, 1, {"threshold_db": -40, "attack_ms": 0.5})
    data = signal(rng, 300, 1)
    key = signal(rng, 300, 2)
    assert native.process(data, key) == model.process(data, key)


# --- errors --------------------------------------------------------------------------------


def test_init_errors_and_order():
    with pytest.raises(ValueError, match="^sample_rate must be at least 1$"):
        so.DynamicsState(0, 0, 3)
    with pytest.raises(ValueError, match="^channel_count must be 1 or 2$"):
        so.DynamicsState(channel_count=0)
    with pytest.raises(ValueError, match="^sample_rate must be at least 1$"):
        so.DynamicsState(sample_rate=2**32)  # "I" wraps modulo 2^32
    with pytest.raises(TypeError):
        so.DynamicsState(bogus=1)
    with pytest.raises(OverflowError):
        so.DynamicsState(2**40)
    so.DynamicsState(12345, 1, 1)  # any mode is accepted


def test_configure_errors():
    d = so.DynamicsState()
    for option in (-1, 34, 2**31 - 1):
        with pytest.raises(ValueError, match="^unknown dynamics option$"):
            d.configure(option, 0.0)
    with pytest.raises(TypeError):
        d.configure(0, "x")
    with pytest.raises(TypeError):
        d.configure(0)
    assert d.configure(0, 1) is None
    assert d.finish() is None and d.reset() is None


def test_set_sample_rate_errors():
    d = so.DynamicsState()
    with pytest.raises(ValueError, match="^sample_rate must be at least 1$"):
        d.set_sample_rate(0)
    with pytest.raises(OverflowError):
        d.set_sample_rate(-1)
    with pytest.raises(OverflowError):
        d.set_sample_rate(2**32)
    with pytest.raises(TypeError):
        d.set_sample_rate("48000")
    assert d.sample_rate == 48000
    assert d.set_sample_rate(2**32 - 1) is None
    assert d.sample_rate == 2**32 - 1


def test_process_errors_and_order():
    d = so.DynamicsState(0, 48000, 2)
    odd = bytearray(6)
    with pytest.raises(ValueError, match="^input must be whole 16-bit frames for the configured channel count$"):
        d.process(odd)
    odd.extend(b"xx")  # no view is left borrowed
    with pytest.raises(ValueError, match="^the key must carry at least as many frames as the input$"):
        d.process(bytes(8), bytearray(7))
    # the frame check comes first
    with pytest.raises(ValueError, match="^input must be whole"):
        d.process(bytes(6), bytes(2))
    with pytest.raises(TypeError):
        d.process("text")
    with pytest.raises(TypeError):
        d.process(bytes(4), 5)
    with pytest.raises(TypeError):
        d.process()
    key = bytearray(8)
    d.process(bytes(8), key)
    key.extend(b"..")
    assert d.process(b"") == b"" and d.process(b"", None) == b""
    assert so.DynamicsState(0, 48000, 1).process(bytes(6)) == bytes(6)


def test_uninitialised_object_is_refused():
    d = so.DynamicsState.__new__(so.DynamicsState)
    calls = [
        lambda: d.process(bytes(4)), lambda: d.configure(0, 0.0), d.finish, d.reset,
        lambda: d.set_sample_rate(8000), lambda: d.gain_reduction_db, lambda: d.sample_rate,
    ]
    for call in calls:
        with pytest.raises(ValueError):
            call()
    d.__init__()
    assert d.process(bytes(4)) == bytes(4)


def test_type_surface():
    assert so.DYNAMICS_FRAMES == 256
    assert so.DynamicsState.__qualname__ == "DynamicsState"
    assert so.DynamicsState.__module__ == "_sonolith"
    with pytest.raises(TypeError):
        type("Sub", (so.DynamicsState,), {})


def test_threads_share_one_object():
    d = so.DynamicsState(1, 48000, 2)
    d.configure(OPTION["lookahead_ms"], 1)
    d.finish()
    data = signal(np.random.default_rng(11), 256, 2)
    errors = []

    def worker(seed):
        r = np.random.default_rng(seed)
        try:
            for _ in range(40):
                d.configure(OPTION["lookahead_ms"], float(r.uniform(0, 4)))
                assert len(d.process(data)) == len(data)
                d.gain_reduction_db
        except Exception as e:  # pragma: no cover
            errors.append(e)

    threads = [threading.Thread(target=worker, args=(s,)) for s in range(4)]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    assert not errors


@pytest.mark.parametrize("mode,threshold,knee", [
    (0, -20.0, 6.0), (0, -13.37, 0.0), (0, -0.5, 40.0), (1, -6.02, 6.0), (1, -31.1, 0.0),
    (2, -20.0, 6.0), (2, -7.77, 0.0), (3, -26.3, 6.0),
])
def test_levels_sweeping_the_threshold(mode, threshold, knee):
    # attack and release of 0 ms: the envelope is the level itself, stepped
    # through the region around the threshold (and the knee) in small steps
    lo = int(32768 * 10 ** ((threshold - knee / 2 - 1) / 20))
    hi = int(32768 * 10 ** ((threshold + knee / 2 + 1) / 20)) + 2
    step = max(1, (hi - lo) // 700)
    ramp = np.arange(lo, min(hi, 32767), step, dtype=np.int16)
    data = np.repeat(ramp, 2).tobytes()
    native, model = make(mode, 48000, 2, {"threshold_db": threshold, "knee_db": knee,
                                          "attack_ms": 0, "release_ms": 0, "slope_ratio": 3})
    got = native.process(data)
    assert got == model.process(data)


@pytest.mark.parametrize("mode", [0, 1, 2, 3])
def test_extreme_thresholds(mode):
    # thresholds whose linear level lies far outside the float range (and near it)
    data = signal(np.random.default_rng(13), 300, 2)
    for threshold in (-1000.0, -900.0, -120.0, 700.0, 900.0, 1000.0, 1e6):
        native, model = make(mode, 16000, 2, {"threshold_db": threshold, "knee_db": 20,
                                              "slope_ratio": 3, "attack_ms": 0.3})
        assert native.process(data) == model.process(data), threshold
        assert native.gain_reduction_db == float(model.last_db)
