"""Synthesises the demo clip and encodes it to examples/clip.ogg with oggenc.

    python examples/make_clip.py [--output PATH] [--seconds S]

A short stereo piece at 44.1 kHz: a plucked bass line, a chord pad with slow beating, a lead
arpeggio panned across the field and a noise hi-hat. The voices are synthesised with numpy and
mixed to 16 bits with the module's saturating mix_s16; the clip that ships with the repository
was made by this script (oggenc -q 3) and is committed, so the demo needs no encoder.
"""

from __future__ import annotations

import argparse
import pathlib
import subprocess
import sys
import tempfile
import wave

import numpy as np

import _sonolith

RATE = 44100
HERE = pathlib.Path(__file__).resolve().parent


def midi_hz(note: float) -> float:
    return 440.0 * 2.0 ** ((note - 69) / 12)


def pluck(t: np.ndarray, hz: float, decay: float) -> np.ndarray:
    env = np.exp(-t / decay) * (1 - np.exp(-t / 0.002))
    return env * (np.sin(2 * np.pi * hz * t) + 0.35 * np.sin(4 * np.pi * hz * t) + 0.12 * np.sin(6 * np.pi * hz * t))


def to_s16(stereo: np.ndarray) -> bytes:
    return np.clip(np.round(stereo * 32767), -32768, 32767).astype("<i2").tobytes()


def synthesise(seconds: float, seed: int = 7) -> bytes:
    rng = np.random.default_rng(seed)
    n = int(RATE * seconds)
    t = np.arange(n) / RATE
    beat = 60 / 112  # seconds per beat at 112 bpm
    voices = []

    # Bass: one plucked note per beat over a i-VI-III-VII progression in A minor.
    bass = np.zeros(n)
    roots = [45, 41, 48, 43]
    for k in range(int(seconds / beat) + 1):
        start = int(k * beat * RATE)
        if start >= n:
            break
        seg = t[: n - start]
        bass[start:] += 0.45 * pluck(seg, midi_hz(roots[(k // 4) % 4]), 0.25)[: n - start]
    voices.append(np.stack([bass, bass], 1))

    # Pad: detuned triads, chord per bar, slow swell; left and right detuned differently.
    pad = np.zeros((n, 2))
    chords = [[57, 60, 64], [53, 57, 60], [55, 60, 64], [55, 59, 62]]
    bar = 4 * beat
    for k in range(int(seconds / bar) + 1):
        a, b = int(k * bar * RATE), min(n, int((k + 1) * bar * RATE))
        if a >= n:
            break
        seg = t[: b - a]
        env = np.minimum(1, seg / 0.4) * np.minimum(1, (seg[::-1] + 1 / RATE) / 0.2)
        for note in chords[k % 4]:
            hz = midi_hz(note)
            pad[a:b, 0] += 0.07 * env * np.sin(2 * np.pi * hz * 0.998 * seg)
            pad[a:b, 1] += 0.07 * env * np.sin(2 * np.pi * hz * 1.002 * seg)
    voices.append(pad)

    # Lead: sixteenth-note arpeggio, each note panned by a slow sweep.
    lead = np.zeros((n, 2))
    arp = [69, 72, 76, 79, 76, 72]
    step = beat / 2
    for k in range(int(seconds / step) + 1):
        start = int(k * step * RATE)
        if start >= n:
            break
        seg = t[: n - start]
        note = pluck(seg, midi_hz(arp[k % len(arp)] + (12 if (k // 12) % 2 else 0)), 0.12)
        pan = 0.5 + 0.45 * np.sin(2 * np.pi * k / 16)
        lead[start:, 0] += 0.16 * (1 - pan) * note
        lead[start:, 1] += 0.16 * pan * note
    voices.append(lead)

    # Hi-hat: short bursts of high-passed noise on the off-beats.
    hat = np.zeros((n, 2))
    for k in range(int(seconds / beat) + 1):
        start = int((k + 0.5) * beat * RATE)
        if start >= n:
            break
        length = min(n - start, int(0.05 * RATE))
        noise = rng.normal(0, 1, length)
        noise = np.diff(noise, prepend=0.0)
        env = np.exp(-np.arange(length) / (0.012 * RATE))
        hat[start:start + length] += 0.05 * (env * noise)[:, None] * [0.8, 1.0]
    voices.append(hat)

    # Fade in and out, then sum the voices in 16 bits with the module's saturating mix.
    fade = np.minimum(1, np.minimum(t / 0.05, (t[::-1] + 1 / RATE) / 0.6))[:, None]
    mixed = to_s16(np.zeros((n, 2)))
    for voice in voices:
        mixed = _sonolith.mix_s16(mixed, to_s16(voice * fade))
    return mixed


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--output", type=pathlib.Path, default=HERE / "clip.ogg")
    parser.add_argument("--seconds", type=float, default=8.0)
    parser.add_argument("--quality", default="3", help="oggenc quality (default 3)")
    args = parser.parse_args()
    pcm = synthesise(args.seconds)
    with tempfile.TemporaryDirectory() as tmp:
        wav_path = pathlib.Path(tmp) / "clip.wav"
        with wave.open(str(wav_path), "wb") as w:
            w.setnchannels(2)
            w.setsampwidth(2)
            w.setframerate(RATE)
            w.writeframes(pcm)
        subprocess.run(["oggenc", "-Q", "-q", args.quality, "--title", "sonolith demo clip",
                        "-o", str(args.output), str(wav_path)], check=True)
    print(f"wrote {args.output} ({args.output.stat().st_size / 1024:.0f} KiB, {args.seconds:g} s)")
    return 0


if __name__ == "__main__":
    sys.exit(main())
