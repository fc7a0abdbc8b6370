"""Ogg Vorbis decoding speed: VorbisStream from memory (io.BytesIO) and from a file on disk, against
soundfile (the floating-point decoder) and a bare C loop over the same decoder calls.

The test file is synthesised (48 kHz stereo, 20 s) and encoded with oggenc; the C loop is
tests/vorbis_decode.c, built with the system compiler. One "call" decodes the whole file.
"""

from __future__ import annotations

import io
import pathlib
import subprocess
import tempfile
import wave

import numpy as np

import _sonolith

ROOT = pathlib.Path(__file__).resolve().parent.parent
RATE = 48000
SECONDS = 20


def make_file(directory: pathlib.Path) -> pathlib.Path:
    rng = np.random.default_rng(3)
    t = np.arange(RATE * SECONDS) / RATE
    left = np.sin(2 * np.pi * (110 + 30 * t) * t) * 8000 + rng.normal(0, 1500, t.size)
    right = np.sin(2 * np.pi * 220 * t + 3 * np.sin(2 * np.pi * 0.5 * t)) * 8000 + rng.normal(0, 1500, t.size)
    pcm = np.clip(np.stack([left, right], 1), -32768, 32767).astype("<i2")
    wav, ogg = directory / "bench.wav", directory / "bench.ogg"
    with wave.open(str(wav), "wb") as w:
        w.setnchannels(2)
        w.setsampwidth(2)
        w.setframerate(RATE)
        w.writeframes(pcm.tobytes())
    subprocess.run(["oggenc", "-Q", "-q", "4", "-o", str(ogg), str(wav)], check=True)
    return ogg


def build_bare_loop(directory: pathlib.Path) -> pathlib.Path | None:
    exe = directory / "decode"
    try:
        flags = subprocess.run(["pkg-config", "--cflags", "--libs", "vorbisidec", "ogg"],
                               capture_output=True, text=True, check=True).stdout.split()
        subprocess.run(["cc", "-O2", "-o", str(exe), str(ROOT / "tests" / "vorbis_decode.c"), *flags],
                       check=True)
    except (OSError, subprocess.CalledProcessError):
        return None
    return exe


def register(bench) -> None:
    tmp = pathlib.Path(tempfile.mkdtemp(prefix="bench_vorbis_"))
    path = make_file(tmp)
    data = path.read_bytes()
    frames = _sonolith.VorbisStream(io.BytesIO(data)).info()[2]

    def decode_memory(block):
        def run():
            s = _sonolith.VorbisStream(io.BytesIO(data))
            while s.read(block):
                pass
        return run

    def decode_disk():
        with open(path, "rb") as f:
            s = _sonolith.VorbisStream(f)
            while s.read(4096):
                pass

    impls = {"VorbisStream BytesIO": decode_memory(4096), "VorbisStream on disk": decode_disk,
             "VorbisStream 256-blk": decode_memory(256)}
    try:
        import soundfile

        impls["soundfile (libvorbis)"] = lambda: soundfile.read(io.BytesIO(data), dtype="int16")
    except (ImportError, OSError):
        pass

    exe = build_bare_loop(tmp)
    if exe is not None:
        # The bare loop times itself (best of its own repeats, in-process, from memory); the
        # benchmark's timer calls a function that sleeps for that time, so it lines up in the table.
        out = subprocess.run([str(exe), "--time", "20", str(path)], capture_output=True, text=True,
                             check=True).stdout.split()
        bare_seconds = float(out[1])
        assert int(out[0]) == frames

        def bare():
            deadline = _now() + bare_seconds
            while _now() < deadline:
                pass

        impls["bare C loop"] = bare
    bench.case(f"decode {SECONDS} s of 48 kHz stereo Vorbis", frames, impls)


def _now() -> float:
    import time

    return time.perf_counter()
