"""Synthesises the demo clip with the module's own voices and encodes it to examples/clip.ogg.

    python examples/make_clip.py [--output PATH] [--seconds S] [--quality Q] [--wav PATH]

A short stereo piece at 48 kHz, 120 bpm, four bars in A minor: a filtered saw bass, a detuned
chord pad, a plucked lead arpeggio with vibrato panned across the field, ring-modulated bells,
a kick drum with a falling pitch and high-passed noise hi-hats.

Everything is rendered by the module in 256-frame blocks:
- oscillators: looped single-cycle wavetables (made here with numpy) read by `oscillator_raw_i32`
  (mono voices that are filtered before they are placed) and `oscillator_i32` (the pad, whose
  gains go straight into the oscillator); note pitches, vibrato and the kick's pitch drop come
  from `pitch_bend`; the bells are a sine ring-multiplied by a second sine (`ring_multiply_i32`);
- envelopes: one `EnvelopeState` per note, stepped once per block; its level becomes the block's
  gain, either through `apply_loudness_i32` (which changes the gain at a zero crossing, so
  plucks start and stop without clicks) or as the pad oscillator's own gains;
- filters: `BiquadState.process_i32` on the mono voices (a low-pass whose cutoff follows a second
  envelope on the bass, a high-pass on the noise), with the design passed per block;
- the voices are summed as 32-bit samples and brought to 16 bits by `mixdown_i32`'s soft knee.

The clip that ships with the repository was made by this script (oggenc -q 3) and is committed,
so the demo needs no encoder.
"""

from __future__ import annotations

import argparse
import array
import math
import pathlib
import subprocess
import sys
import tempfile
import wave

import numpy as np

import _sonolith as so

RATE = 48000
BLOCK = 256
TABLE = 2048  # wavetable length in samples: one cycle
HEADROOM = 2  # mixdown knee: sums up to 2 x full scale land just below full scale
BPM = 120
HERE = pathlib.Path(__file__).resolve().parent

LOWPASS, HIGHPASS = 0, 1


# ---------------------------------------------------------------------------------------------
# Wavetables: one cycle each, built from harmonics so that the highest notes stay below Nyquist.


def additive(amplitudes: list[float], peak: int = 24000) -> array.array:
    t = np.arange(TABLE) * (2 * np.pi / TABLE)
    wave_ = sum(a * np.sin((k + 1) * t) for k, a in enumerate(amplitudes))
    wave_ = wave_ / np.abs(wave_).max() * peak
    return array.array("h", np.round(wave_).astype(np.int16).tobytes())


SAW = additive([1 / k for k in range(1, 61)])  # bass: 60 harmonics, fine up to 200 Hz
SOFT = additive([1, 0.45, 0.3, 0.12, 0.08, 0.04])  # lead: few harmonics
PAD = additive([1, 0, 1 / 9, 0, 1 / 25, 0, 1 / 49])  # triangle-like
SINE = additive([1], peak=32000)
NOISE = array.array("h", np.random.default_rng(7).integers(-20000, 20001, 8192).astype(np.int16).tobytes())

A4_STEP = round(440.0 * TABLE / RATE * 65536)  # 16.16 phase step of 440 Hz over one table cycle


def note_step(note: float, cents: float = 0.0) -> int:
    """Phase step of a MIDI note (plus cents), from the module's pitch-bend arithmetic."""
    bend = round(((note - 69) * 100 + cents) * 32768 / 1200)  # 1/32768 octave units
    return so.pitch_bend(A4_STEP, bend)


def pan_gains(gain: float, pan: float) -> tuple[float, float]:
    """Constant-power pan: 0 left, 0.5 centre, 1 right."""
    return gain * math.cos(pan * math.pi / 2), gain * math.sin(pan * math.pi / 2)


def q16(x: float) -> int:
    """A gain in 1/65536 for the voice functions (they take at most 32767, just under 0.5)."""
    return max(-32768, min(32767, int(x * 65536)))


# ---------------------------------------------------------------------------------------------
# Voices. Each renders one block of interleaved stereo i32 per call and reports when it is done.


class Voice:
    def __init__(self, gate_seconds: float, attack: float, decay: float, sustain: float, release: float):
        self.env = so.EnvelopeState(RATE, True, attack_time=attack, decay_time=decay,
                                    release_time=release, sustain_level=sustain)
        self.gate_blocks = max(1, round(gate_seconds * RATE / BLOCK))
        self.age = 0
        self.prev = (0, 0)  # gains asked for in the previous block (apply_loudness_i32)

    def level(self) -> float:
        """The envelope's level for this block (0..1); then the envelope moves one block on."""
        if self.age == self.gate_blocks:
            self.env.release()
        level = self.env.level / 32767
        self.env.step(BLOCK)
        self.age += 1
        return level

    @property
    def done(self) -> bool:
        return self.env.state == 3 and self.env.level == 0 and self.prev == (0, 0)

    def place(self, mono: bytes, gain: float, pan: float) -> bytes:
        """Mono voice -> stereo at the envelope gain; the gain moves at the voice's zero crossings."""
        left, right = (q16(g) for g in pan_gains(gain, pan))
        out = so.apply_loudness_i32(mono, left, right, 2, *self.prev)
        self.prev = (left, right)
        return out

    def render(self) -> bytes:
        raise NotImplementedError


class Bass(Voice):
    """Saw wavetable through a resonant low-pass whose cutoff follows its own decaying envelope."""

    def __init__(self, note: int, seconds: float, velocity: float):
        super().__init__(seconds, 0.004, 0.35, 0.55, 0.06)
        self.cutoff_env = so.EnvelopeState(RATE, True, attack_time=0.0, decay_time=0.22, sustain_level=0.15)
        self.filter = so.BiquadState()
        self.phase, self.step, self.velocity = 0, note_step(note), velocity

    def render(self):
        sweep = self.cutoff_env.level / 32767
        self.cutoff_env.step(BLOCK)
        raw, self.phase = so.oscillator_raw_i32(SAW, self.phase, self.step, 0, TABLE, BLOCK)
        cutoff = 180 + 2600 * sweep * self.velocity
        filtered = self.filter.process_i32(raw, LOWPASS, cutoff, 2.2, 1.0, RATE)
        return self.place(filtered, 0.62 * self.velocity * self.level(), 0.5)


class Pad(Voice):
    """Two detuned wavetable voices, one per side, with the envelope as the oscillators' gains."""

    def __init__(self, note: int, seconds: float):
        super().__init__(seconds, 0.7, 0.8, 0.7, 0.6)
        self.steps = (note_step(note, -7), note_step(note, +7))
        self.phases = [0, TABLE // 3 << 16]

    def render(self):
        gain = q16(0.16 * self.level())
        left, self.phases[0] = so.oscillator_i32(PAD, self.phases[0], self.steps[0], 0, TABLE, gain, 0, 2, BLOCK)
        right, self.phases[1] = so.oscillator_i32(PAD, self.phases[1], self.steps[1], 0, TABLE, 0, gain, 2, BLOCK)
        if gain == 0 and self.env.state == 3:
            self.prev = (0, 0)
        else:
            self.prev = (gain, gain)
        return (np.frombuffer(left, np.int32) + np.frombuffer(right, np.int32)).tobytes()


class Lead(Voice):
    """Plucked soft wavetable with a delayed vibrato, panned per note."""

    def __init__(self, note: int, seconds: float, pan: float):
        super().__init__(seconds, 0.003, 0.18, 0.25, 0.12)
        self.note, self.pan, self.phase = note, pan, 0

    def render(self):
        vibrato = 18 * min(1.0, self.age / 40) * math.sin(2 * math.pi * 5.5 * self.age * BLOCK / RATE)
        raw, self.phase = so.oscillator_raw_i32(SOFT, self.phase, note_step(self.note, vibrato), 0, TABLE, BLOCK)
        return self.place(raw, 0.38 * self.level(), self.pan)


class Bell(Voice):
    """A sine ring-multiplied by a sine at an inharmonic ratio: a metallic bell."""

    def __init__(self, note: int, pan: float):
        super().__init__(0.05, 0.001, 1.6, 0.0, 0.4)
        self.step, self.ring_step = note_step(note), round(note_step(note) * 2.76)
        self.phase, self.ring_phase, self.pan = 0, 0, pan

    def render(self):
        raw, self.phase = so.oscillator_raw_i32(SINE, self.phase, self.step, 0, TABLE, BLOCK)
        rung, self.ring_phase = so.ring_multiply_i32(raw, SINE, self.ring_phase, self.ring_step, 0, TABLE)
        return self.place(rung, 0.22 * self.level(), self.pan)


class Kick(Voice):
    """A sine whose pitch falls from about 150 Hz to 45 Hz within a few blocks."""

    def __init__(self):
        super().__init__(0.02, 0.0, 0.28, 0.0, 0.05)
        self.phase = 0

    def render(self):
        note = 28 + 26 * math.exp(-self.age / 5)  # MIDI 54 (about 185 Hz) falling to 28 (41 Hz)
        raw, self.phase = so.oscillator_raw_i32(SINE, self.phase, note_step(note), 0, TABLE, BLOCK)
        return self.place(raw, 0.9 * self.level(), 0.5)


class Hat(Voice):
    """Noise read from a looped noise table at one cell per sample, high-passed."""

    def __init__(self, phase: int, accent: float):
        super().__init__(0.01, 0.0, 0.045, 0.0, 0.02)
        self.filter = so.BiquadState()
        self.phase, self.accent = phase, accent

    def render(self):
        raw, self.phase = so.oscillator_raw_i32(NOISE, self.phase, 65536, 0, len(NOISE), BLOCK)
        bright = self.filter.process_i32(raw, HIGHPASS, 7500, 0.9, 1.0, RATE)
        return self.place(bright, 0.3 * self.accent * self.level(), 0.62)


# ---------------------------------------------------------------------------------------------
# Arrangement: (start in beats, voice factory). Starts are rounded to whole blocks.


def arrangement(seconds: float) -> list[tuple[float, callable]]:
    beats = int(seconds * BPM / 60)
    beat_s = 60 / BPM
    roots = [45, 41, 48, 43]  # A, F, C, G: i - VI - III - VII
    chords = [[57, 60, 64], [53, 57, 60], [55, 60, 64], [55, 59, 62]]
    lead_tones = {45: [69, 72, 76], 41: [65, 69, 72], 48: [72, 76, 79], 43: [67, 71, 74]}
    pattern = [0, 1, 2, 3, 2, 1, 2, 3]  # indices into the chord tones plus the octave
    events: list[tuple[float, callable]] = []
    last_beat = beats - 1
    for bar in range(beats // 4):
        root, first = roots[bar % 4], 4 * bar
        end_of_piece = first + 4 > last_beat
        for n in chords[bar % 4]:
            events.append((first, lambda n=n, s=(2.2 if end_of_piece else 3.9) * beat_s: Pad(n, s)))
        for b in range(4):
            beat = first + b
            if beat > last_beat - 1 and end_of_piece:
                continue
            events.append((beat, Kick))
            for half, vel in ((0, 1.0), (0.5, 0.75)):
                events.append((beat + half, lambda r=root, v=vel: Bass(r, 0.22, v)))
            for half, acc in ((0.5, 1.0), (0.75, 0.45)):
                events.append((beat + half, lambda p=(1733 * int(4 * (beat + half)) % len(NOISE)) << 16, a=acc: Hat(p, a)))
        if bar >= 1:  # the lead comes in with the second bar
            tones = lead_tones[root] + [lead_tones[root][0] + 12]
            for k in range(8 if not end_of_piece else 6):
                note = tones[pattern[k]] + (12 if bar == 2 and k >= 4 else 0)
                pan = 0.5 + 0.4 * math.sin(2 * math.pi * (8 * bar + k) / 16)
                events.append((first + k / 2, lambda n=note, p=pan: Lead(n, 0.16, p)))
        events.append((first, lambda n=roots[bar % 4] + 43, p=0.25 + 0.5 * (bar % 2): Bell(n, p)))
    return [(b * beat_s, make) for b, make in events]


def synthesise(seconds: float) -> tuple[bytes, dict]:
    frames = int(RATE * seconds)
    blocks = -(-frames // BLOCK)
    pending = sorted(((round(t * RATE / BLOCK), i, make) for i, (t, make) in enumerate(arrangement(seconds))),
                     key=lambda e: e[:2])
    mix = np.zeros(2 * BLOCK * blocks, np.int32)  # the 32-bit voice sum
    active: list[Voice] = []
    voices = peak_voices = 0
    for b in range(blocks):
        while pending and pending[0][0] <= b:
            active.append(pending.pop(0)[2]())
            voices += 1
        peak_voices = max(peak_voices, len(active))
        part = mix[2 * BLOCK * b: 2 * BLOCK * (b + 1)]
        for voice in active:
            part += np.frombuffer(voice.render(), np.int32)
        active = [v for v in active if not v.done]
    mix = mix[: 2 * frames]
    pcm = so.mixdown_i32(mix.tobytes(), HEADROOM)
    stats = {"voices": voices, "polyphony": peak_voices, "sum_peak": int(np.abs(mix).max()) / 32768,
             "out_peak": int(np.abs(np.frombuffer(pcm, np.int16).astype(np.int32)).max()) / 32768}
    return pcm, stats


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--output", type=pathlib.Path, default=HERE / "clip.ogg", help="Ogg file to write")
    parser.add_argument("--seconds", type=float, default=8.0, help="length (default 8)")
    parser.add_argument("--quality", default="3", help="oggenc quality (default 3)")
    parser.add_argument("--wav", type=pathlib.Path, help="also keep the 16-bit WAV here")
    args = parser.parse_args()
    pcm, stats = synthesise(args.seconds)
    if sys.byteorder != "little":  # WAV samples are little-endian
        swapped = array.array("h", pcm)
        swapped.byteswap()
        pcm = swapped.tobytes()
    with tempfile.TemporaryDirectory() as tmp:
        wav_path = args.wav or pathlib.Path(tmp) / "clip.wav"
        with wave.open(str(wav_path), "wb") as w:
            w.setnchannels(2)
            w.setsampwidth(2)
            w.setframerate(RATE)
            w.writeframes(pcm)
        subprocess.run(["oggenc", "-Q", "-q", args.quality, "--title", "sonolith demo clip",
                        "-o", str(args.output), str(wav_path)], check=True)
    print(f"{stats['voices']} notes, up to {stats['polyphony']} at once; 32-bit sum peaks at "
          f"{stats['sum_peak']:.2f} x full scale, {stats['out_peak']:.2f} after the mixdown")
    print(f"wrote {args.output} ({args.output.stat().st_size / 1024:.0f} KiB, {args.seconds:g} s)")
    return 0


if __name__ == "__main__":
    sys.exit(main())
