"""How to build a valid object of each type and make one valid processing call on it.

The thread stress and leak tests, and the fuzz harness's well-formed calls, use these recipes. A
type without a recipe gets `generic_recipe`: construction with default or stub-shaped arguments
and the first processing-like method that accepts a PCM block, found by trying; it is still
exercised, and `missing_recipes` names it so the suites can warn.

A recipe's `work(obj, data)` is one call whose result depends only on the object's state and
`data` (the same for every call of a run), so that results of calls on one shared object can be
compared, as a multiset, with a serial run. `probe(obj)` summarises the state after a run.
"""

from __future__ import annotations

import array
import functools
import io
import math
import os
import pathlib
import shutil
import struct
import subprocess
import tempfile
from dataclasses import dataclass
from typing import Callable

from tests.fuzz import surface as surf


def pcm_block(frames: int = 256, channels: int = 2, seed: int = 1) -> bytes:
    """A deterministic s16 block: two detuned tones and a little noise, near full scale."""
    state = seed * 2654435761 % 2**32
    out = []
    for i in range(frames * channels):
        state = (state * 1103515245 + 12345) % 2**31
        v = 20000 * math.sin(i * 0.031 * seed) + 9000 * math.sin(i * 0.0071) + (state % 2001) - 1000
        out.append(max(-32768, min(32767, int(v))))
    return struct.pack(f"={len(out)}h", *out)


@functools.cache
def ogg_sample() -> bytes | None:
    """A short stereo Ogg Vorbis stream made with the encoder from the system's vorbis tools,
    or None where the encoder is missing."""
    encoder = shutil.which("oggenc")
    if encoder is None:
        return None
    frames = 4000
    with tempfile.TemporaryDirectory() as tmp:
        raw = pathlib.Path(tmp, "in.raw")
        raw.write_bytes(pcm_block(frames, 2, 3))
        out = pathlib.Path(tmp, "out.ogg")
        result = subprocess.run([encoder, "-Q", "-r", "-B", "16", "-C", "2", "-R", "22050", "-q", "0",
                                 "-o", str(out), str(raw)], capture_output=True)
        if result.returncode != 0 or not out.is_file():
            return None
        return out.read_bytes()


# Resizable exporters handed to objects by recipes. The fuzz harness checks that each of them is
# resizable again once every object is gone (no view leaked, also under re-entrant calls).
# The harness turns the tracking on.
HANDED_OUT: list = []
TRACK_HANDED_OUT = False


def handed_out(exporter):
    if TRACK_HANDED_OUT:
        HANDED_OUT.append(exporter)
        if len(HANDED_OUT) > 4000:
            del HANDED_OUT[:2000]
    return exporter


@dataclass
class Recipe:
    make: Callable  # (module) -> a ready object
    work: Callable  # (obj, data) -> result of one processing call
    reinit: Callable | None = None  # (obj) -> runs __init__ again with valid arguments
    probe: Callable | None = None  # (obj) -> state summary; default: one more work call
    data: Callable = lambda: pcm_block()
    checkable: bool = True  # results of a shared object compare with a serial run
    busy_ok: bool = False  # a concurrent call may be refused with RuntimeError
    generic: bool = False


def _prepared(cls_name, args=(), kwargs=None, prepare=()):
    kwargs = kwargs or {}

    def make(m):
        obj = getattr(m, cls_name)(*args, **kwargs)
        for method, margs in prepare:
            getattr(obj, method)(*margs)
        return obj

    def reinit(obj):
        obj.__init__(*args, **kwargs)
        for method, margs in prepare:
            getattr(obj, method)(*margs)

    return make, reinit


def _recipe(cls_name, work, args=(), kwargs=None, prepare=(), **extra):
    make, reinit = _prepared(cls_name, args, kwargs, prepare)
    return Recipe(make=make, work=work, reinit=reinit, **extra)


def _process(obj, data):
    return obj.process(data)


def _vorbis_make(m):
    return m.VorbisStream(io.BytesIO(ogg_sample()))


def _vorbis_reinit(obj):
    obj.__init__(io.BytesIO(ogg_sample()))


# A soft-clipping transfer curve of 33 int16 points for the waveshaper.
_SHAPER_CURVE = struct.pack("=33h", *(round(32767 * math.tanh(2 * (i / 16 - 1))) for i in range(33)))


def _feedback_delay_setup(obj, reinit=False):
    """Delay, feedback, tone, wow on a held caller shape and the pitch-shifting read path."""
    if reinit:
        obj.__init__(48000, 50.0, 2)
    for option, value in ((0, 12.0), (1, 0.6), (3, 4000.0), (5, 2.0), (6, 1.5), (12, 3.0)):
        obj.configure(option, value)
    obj.set_wow_shape(handed_out(bytearray(pcm_block(32, 1, 2))))
    obj.finish()
    return obj


RECIPES: dict[str, Recipe] = {
    "BufferOwner": Recipe(make=lambda m: m.BufferOwner(handed_out(bytearray(pcm_block(64)))),
                          work=lambda o, d: o.bytes(),
                          reinit=lambda o: o.__init__(handed_out(bytearray(pcm_block(64)))),
                          probe=lambda o: (o.nbytes, o.itemsize, o.format)),
    "RawSample": Recipe(make=lambda m: m.RawSample(handed_out(array.array("h", pcm_block(128))), channel_count=2,
                                                   sample_rate=22050, single_buffer=False),
                        work=lambda o, d: o._get_buffer(),
                        reinit=lambda o: o.__init__(handed_out(array.array("h", pcm_block(128))), channel_count=2,
                                                    sample_rate=22050, single_buffer=False)),
    "EnvelopeState": _recipe("EnvelopeState", lambda o, d: o.step(300),
                             args=(48000, True, 0.01, 0.05, 0.1, 1.0, 0.5),
                             probe=lambda o: (o.level, o.state)),
    "BiquadState": _recipe("BiquadState",
                           lambda o, d: o.process_s16(d, 0, 1000.0, 0.7071, 1.0, 48000, 1.0, 2)),
    "DynamicsState": _recipe("DynamicsState", _process, args=(0, 48000, 2), prepare=[("finish", ())]),
    "SplitterRing": _recipe("SplitterRing", lambda o, d: o.write(d), args=(2, 2),
                            probe=lambda o: tuple(b"".join(iter(lambda: o.take(t), b"")) for t in range(2))),
    "FeedbackDelayState": Recipe(make=lambda m: _feedback_delay_setup(m.FeedbackDelayState(48000, 50.0, 2)),
                                 work=_process,
                                 reinit=lambda o: _feedback_delay_setup(o, reinit=True)),
    "WaveshaperState": _recipe("WaveshaperState", _process, args=(48000, 4, 2),
                               prepare=[("load_curve", (_SHAPER_CURVE,)), ("configure", (0, 3.0)),
                                        ("configure", (4, 0.5)), ("finish", ())]),
    "SampleHoldState": _recipe("SampleHoldState", lambda o, d: o.process(d, 4), args=(3, 2)),
    "LadderState": _recipe("LadderState", _process, args=(48000, 2),
                           prepare=[("configure", (0, 1800.0)), ("configure", (1, 3.9)), ("configure", (2, 2.0)),
                                    ("configure", (4, 0.5)), ("finish", ())]),
    "BiquadF32State": _recipe("BiquadF32State", _process, args=(48000, 2),
                              prepare=[("configure", (0, 4)), ("configure", (1, 2500.0)), ("configure", (2, 2.0)),
                                       ("configure", (3, 9.0)), ("configure", (4, 0.8)), ("finish", ())],
                              probe=lambda o: (o.coefficients(), o.process(pcm_block(64)))),
    "AllPassF32State": _recipe("AllPassF32State", _process, args=(48000, 2, 6),
                               prepare=[("configure", (0, 800.0)), ("configure", (1, 0.6)), ("configure", (2, 0.5)),
                                        ("finish", ())],
                               probe=lambda o: (o.coefficient(), o.process(pcm_block(64)))),
    "SubOctaveState": _recipe("SubOctaveState", _process, args=(48000, 2), prepare=[("finish", ())]),
    "ConvolverState": _recipe("ConvolverState", _process, args=(48000, 2, 1, 2),
                              prepare=[("synthesize", (0.05, 6000.0, 1.0, 0.5, 7))]),
    "MeterState": _recipe("MeterState", lambda o, d: o.feed(d, 48000, 2),
                          prepare=[("configure", (24, 50.0, 16000.0))],
                          probe=lambda o: (o.read(), o.stats())),
    "VorbisStream": Recipe(make=_vorbis_make, work=lambda o, d: o.read(256), reinit=_vorbis_reinit,
                           busy_ok=True),
    "TankState": _recipe("TankState", _process, args=(48000, 20.0, 2),
                         prepare=[("configure", (5, 12.0)), ("configure", (6, 1.5)), ("configure", (7, 0.8)),
                                  ("configure", (2, 7000.0)), ("configure", (10, 2.0)), ("finish", ())],
                         probe=lambda o: (o.process_silence(300), o.process(pcm_block(64)))),
    "ModalState": _recipe("ModalState", _process, args=(48000, 2, 8),
                          prepare=[("configure", (0, 0.5)), ("configure", (1, 0.01)),
                                   ("set_mode", (0, 440.0, 0.2, 1.0)), ("set_mode", (1, 1234.5, 0.05, -0.5)),
                                   ("set_mode", (2, 9000.0, 0.01, 0.25)), ("set_mode", (7, 60.0, 1.5, 0.1)),
                                   ("finish", ())],
                          probe=lambda o: (o.process(pcm_block(64)), o.silent())),
}

# Module functions: a valid call each (on `data`, the shared PCM block), and where checkable the
# results are compared between serial and parallel runs.
# A function's entry maps the block to its argument tuple. The fuzz harness also starts its
# mutations from these calls.
FUNCTION_CALLS: dict[str, Callable] = {
    "mix_s16": lambda d: (d, d[::-1]),
    "multiply_s16": lambda d: (d, d[::-1], 0.5, 2),
    "midside_s16": lambda d: (d, 1.5, 2),
    "remix_s16": lambda d: (d, 2, 1),
    "meter_db_byte": lambda d: (len(d) / 4096.0,),
    "mixdown_i32": lambda d: (d, 64),
    "pitch_bend": lambda d: (65536 + len(d), 100),
    "fnv1a64": lambda d: (d,),
    "oscillator_i32": lambda d: (_wave(d), 3 << 16, 70000, 1, len(_wave(d)), 1000, -2000, 2, len(d) // 4),
    "oscillator_raw_i32": lambda d: (_wave(d), 3 << 16, 70000, 1, len(_wave(d)), len(d) // 4),
    "ring_multiply_i32": lambda d: (d, _wave(d[::-1]), 1 << 16, 70000, 1, len(_wave(d))),
    "apply_loudness_i32": lambda d: (d, 1000, -2000, 2, 500, -500),
    "echo_s16": lambda d: _echo_args(d),
    "multitap_s16": lambda d: _multitap_args(d),
    "freeverb_s16": lambda d: _freeverb_args(d),
    "distortion_s16": lambda d: (d, 0.6, 3.0, -1.0, len(d) % 4, len(d) % 3 == 0, 0.7),
    "chorus_s16": lambda d: (d, _writable("h", range(64)), 70, 40, 64, 1 + len(d) % 6, 0.8),
    "phaser_s16": lambda d: (d, _writable("h", [0, 0]), _writable("h", [0] * 8), 2, 4, 0.3, 1.0,
                             0.5, 0.7),
    "pitchshift_s16": lambda d: (d, _writable("h", [0] * 400), _writable("h", [0] * 64), 200, 32, 2,
                                 300 + len(d) % 200, 5, 3, 7000, 1.5, False, 60),
}


def _wave(d: bytes) -> array.array:
    """A wavetable (format "h", which the oscillators require) of at least two samples."""
    return array.array("h", d if len(d) >= 4 else pcm_block(2, 1))


def _writable(code: str, values) -> bytearray:
    return bytearray(array.array(code, values).tobytes())


def _echo_args(d: bytes):
    # Stereo line of 120 frames with a 100-frame delay; every third block size runs the
    # variable-speed path (positions in 1/256 frames).
    variable = len(d) % 3 == 0
    return (d, _writable("h", range(-240, 240, 2)), 7, 3, 100, 120, 300 if variable else 256, 0.6, 0.7,
            variable, 2)


def _multitap_args(d: bytes):
    # Stereo line of 200 frames, three taps (one beyond the line, which wraps).
    return (d, _writable("h", range(0, 800, 2)), 5, 200, 2, _writable("I", [1, 57, 260]),
            _writable("d", [0.5, -0.3, 0.25]), 0.4, 0.8, len(d) % 2)


# Minimum state sizes in bytes per channel: comb lines, comb positions, comb stores, all-pass
# lines, all-pass positions.
FREEVERB_STATE = (22048, 32, 16, 3126, 16)


def _freeverb_args(d: bytes):
    nch = 2
    bufs = [bytearray(n * nch) for n in FREEVERB_STATE]
    bufs[1] = _writable("I", [i * 37 for i in range(8 * nch)])  # positions inside every comb
    return (d, *bufs, 0.8, 0.3, 0.4, 2)


def call_function(module, name: str, data: bytes):
    return getattr(module, name)(*FUNCTION_CALLS[name](data))

_READY_METHODS = ("process", "process_s16", "write", "feed", "read", "step", "bytes", "_get_buffer")


def _default_for(param: surf.Param, data: bytes):
    if param.has_default:
        return param.default
    tags = param.tags
    name = param.name.lower()
    if "file" in tags:
        return io.BytesIO(ogg_sample() or b"")
    if "buffer" in tags:
        return data
    if "rate" in name:
        return 48000
    if "channel" in name:
        return 2
    if "float" in tags:
        return 1.0
    if "bool" in tags:
        return True
    if "int" in tags:
        return 1
    return None


def generic_recipe(module, name: str, stubs: surf.Stubs | None = None) -> Recipe | None:
    """A best-effort recipe for a type without one: construct with defaults (or stub-shaped
    arguments), then use the first processing-like method that accepts the block."""
    cls = getattr(module, name)
    data = pcm_block()
    stubs = stubs or surf.load_stubs(module)
    ts = stubs.types.get(name)
    attempts = [((), {})]
    if ts and "__init__" in ts.methods:
        sig = ts.methods["__init__"]
        attempts.append((tuple(_default_for(p, data) for p in sig.positional if not p.has_default),
                         {}))
    ctor = None
    for args, kwargs in attempts:
        try:
            cls(*args, **kwargs)
        except Exception:
            continue
        ctor = (args, kwargs)
        break
    if ctor is None:
        return None
    args, kwargs = ctor

    def make(m):
        obj = getattr(m, name)(*args, **kwargs)
        for prep in ("finish",):
            if hasattr(obj, prep):
                try:
                    getattr(obj, prep)()
                except Exception:
                    pass
        return obj

    probe_obj = make(module)
    work = lambda o, d: None  # noqa: E731
    for method in _READY_METHODS:
        if not hasattr(probe_obj, method):
            continue
        for call in ((data,), (256,), ()):
            try:
                getattr(probe_obj, method)(*call)
            except Exception:
                continue
            work = (lambda meth, c: lambda o, d: getattr(o, meth)(*((d,) if c and c[0] is data else c)))(method, call)
            break
        else:
            continue
        break

    def reinit(obj):
        obj.__init__(*args, **kwargs)

    return Recipe(make=make, work=work, reinit=reinit, generic=True, checkable=False, busy_ok=True)


def recipe_for(module, name: str) -> Recipe | None:
    if name == "VorbisStream" and ogg_sample() is None:
        return generic_recipe(module, name)
    return RECIPES.get(name) or generic_recipe(module, name)


def missing_recipes(module) -> list[str]:
    return [name for name in surf.discover(module).types if name not in RECIPES]

