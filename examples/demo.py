"""Decodes an Ogg Vorbis file, runs it through an effect chain and writes a WAV file.

    python examples/demo.py [FILE.ogg] [-o OUT.wav] [chain options]

Without FILE it plays the clip that ships with the repository (examples/clip.ogg, synthesised
with the module's own voices by examples/make_clip.py). The audio is streamed in 256-frame
blocks: VorbisStream decodes, the chain processes, the stdlib wave module writes. Mono input is
made stereo first; the output is always 16-bit stereo at the input's sample rate and has exactly
as many frames as the input (the limiter's lookahead is taken back out).

The chain, in order (each stage can be switched off):
  filter    BiquadState.process_s16: fixed-point biquad, low-pass by default (--cutoff)
  tremolo   multiply_s16 by a sine LFO
  echo      echo_s16 with its delay memory and head positions held here between blocks
  reverb    freeverb_s16 with its comb and all-pass lines held here between blocks
  width     midside_s16 stereo width
  limiter   DynamicsState in limiter mode with lookahead
A stage whose function or type is not in this build is skipped and listed as such.

The report gives durations, decoding and processing speed as multiples of real time (for the
whole chain and per stage), and peak and RMS levels before and after the chain in whole dB
(the module's meter_db_byte). Inputs of 30 s or more get a progress bar on stderr. With
matplotlib installed the levels over time are also drawn into a PNG next to the WAV file.
"""

from __future__ import annotations

import argparse
import array
import math
import pathlib
import struct
import sys
import textwrap
import time
import wave

import _sonolith

try:  # levels and the LFO use numpy when it is there, plain Python otherwise
    import numpy as np
except ImportError:
    np = None

HERE = pathlib.Path(__file__).resolve().parent
BLOCK = 256
FRAME_BYTES = 4  # stereo s16


def f32(x: float) -> float:
    """x rounded to single precision, as the module's single-precision parameters are."""
    return struct.unpack("f", struct.pack("f", x))[0]


# ---------------------------------------------------------------------------------------------
# Effect stages. Each has a name, `needs` (the module attributes it uses), process(block) from
# interleaved stereo s16 bytes to the same, and flush() for what it still holds at the end.


class Stage:
    name = "stage"
    needs: tuple[str, ...] = ()

    @classmethod
    def available(cls) -> bool:
        return all(hasattr(_sonolith, n) for n in cls.needs)

    def process(self, block: bytes) -> bytes:
        raise NotImplementedError

    def flush(self) -> bytes:
        """Frames still held back when the input has ended (only delaying stages have any)."""
        return b""

    def describe(self) -> str:
        return self.name


class ProcessorStage(Stage):
    """A stage around one processor object, set up by configure(option, value) calls and finish();
    each block goes through its process()."""

    state = None

    def set_up(self, state, options) -> None:
        self.state = state
        for option, value in options:
            state.configure(option, value)
        state.finish()

    def process(self, block):
        return self.state.process(block)


class DelayedStage(ProcessorStage):
    """A processor whose output lags its input by `latency` frames: the first `latency` output
    frames (silence) are dropped and flush() pushes as many frames of silence through to get the
    last input frames out, so the stage keeps the stream's length and timing."""

    latency = to_drop = 0

    def process(self, block):
        out = self.state.process(block)
        if self.to_drop:
            cut = min(self.to_drop, len(out) // FRAME_BYTES)
            self.to_drop -= cut
            out = out[cut * FRAME_BYTES:]
        return out

    def flush(self):
        return self.process(bytes(self.latency * FRAME_BYTES)) if self.latency else b""


FILTER_TYPES = {"lowpass": 0, "highpass": 1, "bandpass": 2, "notch": 3, "peak": 4, "lowshelf": 5, "highshelf": 6}


class Filter(Stage):
    """Fixed-point biquad on both channels; the object carries the filter memory between blocks."""

    name = "filter"
    needs = ("BiquadState",)

    def __init__(self, rate: int, kind: str, cutoff: float, q: float, gain_db: float, mix: float):
        self.state = _sonolith.BiquadState()
        self.rate, self.kind, self.cutoff, self.q, self.mix = rate, kind, cutoff, q, mix
        self.type = FILTER_TYPES[kind]
        self.gain = 10 ** (gain_db / 40)  # shelves and peak take the amplitude factor A = sqrt(gain)

    def process(self, block):
        return self.state.process_s16(block, self.type, self.cutoff, self.q, self.gain, self.rate, self.mix, 2)

    def describe(self):
        return f"{self.kind} {self.cutoff:g} Hz"


class Ladder(ProcessorStage):
    """Zero-delay-feedback ladder low-pass (LadderState): four poles, 2x oversampled, resonance
    with soft-clipped feedback and half passband compensation."""

    name = "ladder"
    needs = ("LadderState",)
    CUTOFF, RESONANCE, DRIVE, POLES, COMPENSATION, OVERSAMPLING, MIX = range(7)

    def __init__(self, rate: int, cutoff: float, resonance: float):
        self.set_up(_sonolith.LadderState(sample_rate=rate, channel_count=2),
                    ((self.CUTOFF, cutoff), (self.RESONANCE, resonance), (self.DRIVE, 1.5), (self.POLES, 4),
                     (self.COMPENSATION, 0.5), (self.OVERSAMPLING, 2), (self.MIX, 1.0)))
        self.cutoff = cutoff

    def describe(self):
        return f"ladder {self.cutoff:g} Hz"


class Tremolo(Stage):
    """Amplitude modulation: multiply_s16 blends the signal with its product by a sine LFO."""

    name = "tremolo"
    needs = ("multiply_s16",)

    def __init__(self, rate: int, hz: float, depth: float):
        self.step, self.phase, self.depth, self.hz = 2 * math.pi * hz / rate, 0.0, depth, hz

    def process(self, block):
        frames = len(block) // FRAME_BYTES
        if np is not None:
            wave_ = 16383.5 + 16383.5 * np.sin(self.phase + np.arange(frames) * self.step)
            lfo = np.repeat(wave_.astype(np.int16), 2).tobytes()
        else:
            lfo = array.array("h", bytes(FRAME_BYTES * frames))
            for i in range(frames):
                lfo[2 * i] = lfo[2 * i + 1] = int(16383.5 + 16383.5 * math.sin(self.phase + i * self.step))
        self.phase = (self.phase + frames * self.step) % (2 * math.pi)
        return _sonolith.multiply_s16(block, lfo, self.depth, 2)

    def describe(self):
        return f"tremolo {self.hz:g} Hz"


class Phaser(Stage):
    """Six all-pass stages with feedback on both channels (phaser_s16); the corner sweeps with a
    slow sine from block to block, and the feedback and all-pass memories live here."""

    name = "phaser"
    needs = ("phaser_s16",)
    STAGES = 6

    def __init__(self, rate: int, hz: float, feedback: float, mix: float):
        self.feedback_memory = bytearray(2 * 2)
        self.allpass_memory = bytearray(2 * 2 * self.STAGES)
        self.step, self.phase, self.hz = 2 * math.pi * hz / rate, 0.0, hz
        self.feedback, self.mix = feedback, mix

    def process(self, block):
        ratio = 0.02 + 0.28 * (0.5 + 0.5 * math.sin(self.phase))  # all-pass corner ratio c / r
        self.phase = (self.phase + (len(block) // FRAME_BYTES) * self.step) % (2 * math.pi)
        return _sonolith.phaser_s16(block, self.feedback_memory, self.allpass_memory, 2, self.STAGES,
                                    ratio, 1.0, self.feedback, self.mix)

    def describe(self):
        return f"phaser {self.hz:g} Hz"


class Chorus(Stage):
    """Three-voice chorus (chorus_s16) on each channel over its own 30 ms ring; the tap spread
    sweeps slowly and the two channels sweep in opposite directions."""

    name = "chorus"
    needs = ("chorus_s16",)
    VOICES = 3

    def __init__(self, rate: int, hz: float, wet: float):
        self.length = max(8, rate * 30 // 1000)
        self.rings = [bytearray(2 * self.length) for _ in range(2)]
        self.index = [0, 0]
        self.step, self.phase, self.hz, self.wet = 2 * math.pi * hz / rate, 0.0, hz, wet

    def process(self, block):
        samples = array.array("h", block)
        out = array.array("h", bytes(len(block)))
        sweep = 0.5 + 0.5 * math.sin(self.phase)
        self.phase = (self.phase + (len(block) // FRAME_BYTES) * self.step) % (2 * math.pi)
        for ch, amount in ((0, sweep), (1, 1.0 - sweep)):
            span = max(self.VOICES, int(self.length * (0.2 + 0.75 * amount)))
            wet, self.index[ch] = _sonolith.chorus_s16(samples[ch::2], self.rings[ch], self.index[ch], span,
                                                       self.length, self.VOICES, self.wet)
            out[ch::2] = array.array("h", wet)
        return out.tobytes()

    def describe(self):
        return f"chorus {self.hz:g} Hz"


class Echo(Stage):
    """Feedback echo; the delay memory and the two head positions live here between blocks."""

    name = "echo"
    needs = ("echo_s16",)

    def __init__(self, rate: int, ms: float, feedback: float, mix: float):
        self.delay = max(1, round(ms * rate / 1000))  # cells per channel line
        self.memory = bytearray(2 * 2 * self.delay)  # two lines of s16 cells, silent
        self.positions = (0, 0)
        self.feedback, self.mix, self.ms = feedback, mix, ms

    def process(self, block):
        out, *positions = _sonolith.echo_s16(block, self.memory, *self.positions, self.delay, self.delay,
                                             256, self.feedback, self.mix, False, 2)
        self.positions = tuple(positions)
        return out

    def describe(self):
        return f"echo {self.ms:g} ms"


class Reverb(Stage):
    """Freeverb on both channels; its five state buffers live here between blocks."""

    name = "reverb"
    needs = ("freeverb_s16",)

    def __init__(self, room: float, damping: float, mix: float):
        # Per channel: eight comb lines (11024 cells), their positions and damping stores, four
        # all-pass lines (1563 cells) and their positions; zero-filled is silence.
        self.buffers = [bytearray(n * 2) for n in (22048, 32, 16, 3126, 16)]
        self.room, self.damping, self.mix = room, damping, mix

    def process(self, block):
        return _sonolith.freeverb_s16(block, *self.buffers, self.room, self.damping, self.mix, 2)

    def describe(self):
        return f"reverb {self.room:g}"


class Waveshaper(ProcessorStage):
    """Oversampled waveshaper (WaveshaperState) over a loaded soft-clipping curve, with a touch of
    backlash; the polyphase all-pass interpolators keep the aliasing down."""

    name = "waveshaper"
    needs = ("WaveshaperState",)
    DRIVE, BIAS, OUTPUT_GAIN, MIX, HYSTERESIS = range(5)

    def __init__(self, rate: int, drive: float, oversample: int):
        state = _sonolith.WaveshaperState(sample_rate=rate, oversample=oversample, channel_count=2)
        curve = array.array("h", (round(32767 * math.tanh(2.5 * (i / 32 - 1)) / math.tanh(2.5)) for i in range(65)))
        state.load_curve(curve)
        self.set_up(state, ((self.DRIVE, drive), (self.OUTPUT_GAIN, 0.7), (self.MIX, 1.0), (self.HYSTERESIS, 0.2)))
        self.drive, self.oversample = drive, oversample

    def describe(self):
        return f"waveshaper {self.drive:g}x/{self.oversample}x"


class TapeDelay(ProcessorStage):
    """Tape-style feedback delay (FeedbackDelayState): wow, a darkening tone filter and gentle
    saturation in the feedback path."""

    name = "tape"
    needs = ("FeedbackDelayState",)
    DELAY_MS, FEEDBACK, MIX, TONE_HZ, HIGHPASS_HZ, WOW_HZ, WOW_DEPTH_MS, CROSS, SATURATION = range(9)

    def __init__(self, rate: int, ms: float, feedback: float, mix: float):
        self.set_up(_sonolith.FeedbackDelayState(sample_rate=rate, max_delay_ms=max(ms * 1.2, 50.0), channel_count=2),
                    ((self.DELAY_MS, ms), (self.FEEDBACK, feedback), (self.MIX, mix), (self.TONE_HZ, 3500.0),
                     (self.HIGHPASS_HZ, 120.0), (self.WOW_HZ, 0.8), (self.WOW_DEPTH_MS, 1.5), (self.CROSS, 0.3),
                     (self.SATURATION, 0.4)))
        self.ms = ms

    def describe(self):
        return f"tape {self.ms:g} ms"


class Plate(ProcessorStage):
    """Plate reverb (TankState): predelay, input diffusion, a modulated figure-of-eight tank with
    damping, and output taps."""

    name = "plate"
    needs = ("TankState",)
    DECAY, DIFFUSION, DAMPING_HZ, BANDWIDTH_HZ, HIGHPASS_HZ, PREDELAY_MS, MOD_DEPTH_MS, MOD_HZ = range(8)
    MIX = 11

    def __init__(self, rate: int, decay: float, mix: float):
        self.set_up(_sonolith.TankState(sample_rate=rate, channel_count=2),
                    ((self.DECAY, decay), (self.DAMPING_HZ, 6000.0), (self.BANDWIDTH_HZ, 9000.0),
                     (self.HIGHPASS_HZ, 80.0), (self.PREDELAY_MS, 15.0), (self.MOD_DEPTH_MS, 0.5),
                     (self.MOD_HZ, 0.7), (self.MIX, mix)))
        self.decay = decay

    def describe(self):
        return f"plate {self.decay:g}"


class Room(DelayedStage):
    """Convolution with a synthetic room impulse (ConvolverState.synthesize), with the convolver's
    fixed latency of CONVOLVE_FRAMES frames taken back out."""

    name = "room"
    needs = ("ConvolverState",)
    MIX = 0

    def __init__(self, rate: int, decay_s: float, mix: float):
        latency = getattr(_sonolith, "CONVOLVE_FRAMES", 256)
        partitions = max(1, min(getattr(_sonolith, "CONVOLVE_MAX_PARTITIONS", 512),
                                math.ceil(rate * decay_s / latency)))
        self.state = _sonolith.ConvolverState(sample_rate=rate, partitions=partitions, ir_channels=2, channel_count=2)
        self.state.synthesize(decay_s, 7000.0, 8.0, 2.0, 2024)
        self.state.configure(self.MIX, mix / 2)  # 0 dry, 0.5 both, 1 wet
        self.latency = self.to_drop = latency
        self.decay = decay_s

    def describe(self):
        return f"room {self.decay:g} s"


class Width(Stage):
    """Stereo width through mid/side: 1.0 leaves the image, above widens, 0 folds to mono."""

    name = "width"
    needs = ("midside_s16",)

    def __init__(self, width: float):
        self.width = width

    def process(self, block):
        return _sonolith.midside_s16(block, self.width, 2)

    def describe(self):
        return f"width {self.width:g}"


class Limiter(DelayedStage):
    """Peak limiter on the dynamics processor (mode 1) with lookahead, which delays the audio by
    as many frames as it looks ahead."""

    name = "limiter"
    needs = ("DynamicsState",)
    THRESHOLD, MAKEUP, ATTACK, RELEASE, LOOKAHEAD, OVERSAMPLE, SMOOTHING = 0, 3, 4, 5, 9, 10, 32

    def __init__(self, rate: int, threshold_db: float, release_ms: float, lookahead_ms: float):
        self.set_up(_sonolith.DynamicsState(mode=1, sample_rate=rate, channel_count=2),
                    ((self.THRESHOLD, threshold_db), (self.ATTACK, 0.0), (self.RELEASE, release_ms),
                     (self.LOOKAHEAD, lookahead_ms), (self.OVERSAMPLE, 1.0),
                     (self.SMOOTHING, min(0.5, lookahead_ms / 2))))
        # The line length as the processor derives it: single-precision product and quotient.
        ms = min(max(f32(lookahead_ms), 0.0), 50.0)
        self.latency = int(f32(f32(f32(rate) * ms) / 1000.0))
        self.to_drop = self.latency
        self.threshold_db = threshold_db

    def describe(self):
        return f"limiter {self.threshold_db:g} dB"


def build_chain(args, rate: int) -> tuple[list[Stage], list[str]]:
    wanted: list[tuple[type[Stage], bool, callable]] = [
        (Filter, args.filter != "off",
         lambda: Filter(rate, args.filter, args.cutoff, args.q, args.filter_gain_db, args.filter_mix)),
        (Ladder, args.drive == "ladder", lambda: Ladder(rate, args.ladder_cutoff, args.ladder_resonance)),
        (Waveshaper, args.drive == "waveshaper", lambda: Waveshaper(rate, args.shaper_drive, args.oversample)),
        (Tremolo, args.tremolo_depth > 0 and args.tremolo_rate > 0,
         lambda: Tremolo(rate, args.tremolo_rate, args.tremolo_depth)),
        (Phaser, args.modulation == "phaser",
         lambda: Phaser(rate, args.modulation_rate, args.phaser_feedback, args.modulation_mix)),
        (Chorus, args.modulation == "chorus", lambda: Chorus(rate, args.modulation_rate, args.modulation_mix)),
        (Echo, not args.no_echo and args.echo_ms > 0,
         lambda: Echo(rate, args.echo_ms, args.echo_feedback, args.echo_mix)),
        (TapeDelay, args.tape_ms > 0, lambda: TapeDelay(rate, args.tape_ms, args.tape_feedback, args.tape_mix)),
        (Reverb, not args.no_reverb and args.reverb_mix > 0,
         lambda: Reverb(args.room_size, args.damping, args.reverb_mix)),
        (Plate, "plate" in args.space, lambda: Plate(rate, args.plate_decay, args.space_mix)),
        (Room, "room" in args.space, lambda: Room(rate, args.room_decay, args.space_mix)),
        (Width, args.width != 1.0, lambda: Width(args.width)),
        (Limiter, not args.no_limiter,
         lambda: Limiter(rate, args.limit_db, args.limiter_release_ms, args.lookahead_ms)),
    ]
    chain, skipped = [], []
    for cls, enabled, make in wanted:
        if not enabled:
            continue
        if cls.available():
            chain.append(make())
        else:
            skipped.append(f"{cls.name} (needs {', '.join(cls.needs)})")
    return chain, skipped


# ---------------------------------------------------------------------------------------------
# Levels


class Levels:
    """Peak and RMS of the whole signal, and a peak/RMS pair per window for the plot."""

    def __init__(self, window_frames: int):
        self.window = window_frames
        self.peak = 0
        self.sum_squares = 0
        self.count = 0
        self.curve: list[tuple[int, float, float]] = []  # (first frame, peak, RMS) per window
        self._wpeak = self._wsum = self._wcount = 0

    def add(self, block: bytes) -> None:
        if np is not None:
            x = np.frombuffer(block, np.int16).astype(np.int64)
            peak = int(np.abs(x).max()) if x.size else 0
            squares = int((x * x).sum())
        else:
            x = array.array("h", block)
            peak = max((abs(v) for v in x), default=0)
            squares = sum(v * v for v in x)
        self.peak = max(self.peak, peak)
        self.sum_squares += squares
        self.count += len(block) // 2
        self._wpeak = max(self._wpeak, peak)
        self._wsum += squares
        self._wcount += len(block) // 2
        if self._wcount >= self.window * 2:
            self._flush()

    def _flush(self) -> None:
        if self._wcount:
            start = (self.count - self._wcount) // 2
            self.curve.append((start, self._wpeak / 32768, math.sqrt(self._wsum / self._wcount) / 32768))
        self._wpeak = self._wsum = self._wcount = 0

    def finish(self) -> None:
        self._flush()

    @staticmethod
    def db(amplitude: float) -> str:
        """Level in whole decibels from the module's one-byte decibel code (code c = c - 200 dB)."""
        code = _sonolith.meter_db_byte(amplitude)
        return "-inf" if code == 0 else f"{code - 200:+d}" if code > 200 else str(code - 200)

    def summary(self) -> str:
        rms = math.sqrt(self.sum_squares / self.count) / 32768 if self.count else 0.0
        return f"peak {self.db(self.peak / 32768):>5} dBFS   RMS {self.db(rms):>5} dBFS"


# ---------------------------------------------------------------------------------------------


class Progress:
    """A tqdm progress bar on stderr, shown only for long inputs (and only where tqdm is installed:
    `./dev demo` installs it with the demo extra)."""

    def __init__(self, total_frames: int, rate: int, min_seconds: float = 30.0):
        self.bar = None
        if total_frames > 0 and total_frames / rate >= min_seconds:
            try:
                from tqdm import tqdm
            except ImportError:
                return
            self.bar = tqdm(total=total_frames, unit=" frames", unit_scale=True, file=sys.stderr,
                            desc="processing", leave=False)
        self.done = 0

    def update(self, done: int) -> None:
        if self.bar is not None:
            self.bar.update(done - self.done)
            self.done = done

    def close(self) -> None:
        if self.bar is not None:
            self.bar.close()


class Spectrum:
    """Band levels over time from the module's spectrum meter (MeterState): the meter is fed every
    block and publishes 60 analyses per second of audio; each new one becomes a row."""

    BANDS, LOW_HZ, HIGH_HZ = 48, 40.0, 16000.0

    def __init__(self):
        self.rows: list[bytes] = []
        self.meter = None
        if hasattr(_sonolith, "MeterState"):
            self.meter = _sonolith.MeterState()
            self.meter.configure(self.BANDS, self.LOW_HZ, self.HIGH_HZ)
        self.seen = 0

    def add(self, block: bytes, rate: int) -> None:
        if self.meter is None or not block:
            return
        self.meter.feed(block, rate, 2)
        number, codes, _, _ = self.meter.read()
        if number != self.seen and codes:
            self.seen = number
            self.rows.append(codes)


def swapped(block: bytes) -> bytes:
    """Native-endian s16 to the little-endian samples of a WAV file, on big-endian hosts."""
    samples = array.array("h", block)
    samples.byteswap()
    return samples.tobytes()


def plot(path: pathlib.Path, before: Levels, after: Levels, rate: int, title: str) -> bool:
    try:
        import matplotlib

        matplotlib.use("Agg")
        import matplotlib.pyplot as plt
    except ImportError:
        return False
    fig, ax = plt.subplots(figsize=(10, 4))
    for levels, label, colour in ((before, "input", "tab:blue"), (after, "output", "tab:orange")):
        times = [start / rate for start, _, _ in levels.curve]
        ax.plot(times, [20 * math.log10(max(p, 1e-6)) for _, p, _ in levels.curve], colour,
                alpha=0.45, label=f"{label} peak")
        ax.plot(times, [20 * math.log10(max(r, 1e-6)) for _, _, r in levels.curve], colour,
                label=f"{label} RMS")
    ax.set_title(title, fontsize=9)
    ax.set_xlabel("time (s)")
    ax.set_ylabel("level (dBFS)")
    ax.set_ylim(-60, 3)
    ax.grid(alpha=0.3)
    ax.legend(loc="lower right", ncol=2)
    fig.tight_layout()
    fig.savefig(path, dpi=100)
    plt.close(fig)
    return True


def plot_spectrum(path: pathlib.Path, before: Spectrum, after: Spectrum, title: str) -> bool:
    """Band levels (dB) over time before and after the chain, one picture above the other."""
    if not before.rows or not after.rows:
        return False
    try:
        import matplotlib

        matplotlib.use("Agg")
        import matplotlib.pyplot as plt
    except ImportError:
        return False
    rows = min(len(before.rows), len(after.rows))
    seconds = rows / 60  # the meter publishes 60 analyses per second of audio
    fig, axes = plt.subplots(2, 1, figsize=(10, 6), sharex=True)
    low, high, bands = Spectrum.LOW_HZ, Spectrum.HIGH_HZ, Spectrum.BANDS
    for ax, spectrum, label in ((axes[0], before, "input"), (axes[1], after, "output")):
        levels = [[code - 200 if code else -100 for code in row] for row in spectrum.rows[:rows]]
        grid = list(map(list, zip(*levels)))  # bands x time
        image = ax.imshow(grid, origin="lower", aspect="auto", cmap="magma", vmin=-90, vmax=0,
                          extent=(0, seconds, 0, bands), interpolation="nearest")
        ticks = [0, bands // 4, bands // 2, 3 * bands // 4, bands - 1]
        ax.set_yticks([t + 0.5 for t in ticks])
        ax.set_yticklabels([f"{low * (high / low) ** (t / (bands - 1)):.0f}" for t in ticks])
        ax.set_ylabel(f"{label}: band (Hz)")
        fig.colorbar(image, ax=ax, label="dB")
    axes[0].set_title(title, fontsize=9)
    axes[1].set_xlabel("time (s)")
    fig.tight_layout()
    fig.savefig(path, dpi=100)
    plt.close(fig)
    return True


def speed(seconds: float, spent: float) -> str:
    return f"{seconds / spent:8.0f} x real time ({spent * 1000:7.1f} ms)" if spent > 0 else "(not measured)"


# What --all switches on: option -> the value it takes when it is "off".
ALL_STAGES = {"drive": "ladder", "modulation": "phaser", "space": "plate+room"}


def parse_args(argv: list[str] | None) -> argparse.Namespace:
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("input", nargs="?", type=pathlib.Path, metavar="FILE.ogg", default=HERE / "clip.ogg",
                        help="Ogg Vorbis file to decode (default: the clip in examples/)")
    parser.add_argument("-o", "--output", type=pathlib.Path, metavar="OUT.wav", default=pathlib.Path("out/demo.wav"),
                        help="WAV file to write (default: out/demo.wav)")
    parser.add_argument("--seconds", type=float, metavar="S", help="process only the first SECONDS of the input")
    parser.add_argument("--no-plot", action="store_true", help="do not draw the level and spectrum pictures")
    parser.add_argument("--all", action="store_true",
                        help="switch on every stage this build has that is off by default, with its defaults")

    g = parser.add_argument_group("filter")
    g.add_argument("--filter", choices=[*FILTER_TYPES, "off"], default="lowpass",
                   help="filter type (default lowpass; off leaves the stage out)")
    g.add_argument("--cutoff", type=float, metavar="HZ", default=7000.0,
                   help="filter frequency in Hz, below half the sample rate (default 7000)")
    g.add_argument("--q", type=float, metavar="Q", default=0.707, help="filter Q (default 0.707)")
    g.add_argument("--filter-gain-db", type=float, metavar="DB", default=6.0, help="gain of peak and shelf filters (default 6)")
    g.add_argument("--filter-mix", type=float, metavar="MIX", default=1.0, help="share of filtered signal 0..1 (default 1)")

    g = parser.add_argument_group("ladder filter and waveshaper")
    g.add_argument("--drive", choices=["off", "ladder", "waveshaper"], default="off",
                   help="a resonant ladder low-pass or an oversampled waveshaper after the filter (default off; --all: ladder)")
    g.add_argument("--ladder-cutoff", type=float, metavar="HZ", default=2500.0, help="ladder cut-off in Hz (default 2500)")
    g.add_argument("--ladder-resonance", type=float, metavar="K", default=2.0,
                   help="ladder resonance 0..4.2, about 4 self-oscillates (default 2)")
    g.add_argument("--shaper-drive", type=float, metavar="X", default=2.0, help="waveshaper drive (default 2)")
    g.add_argument("--oversample", type=int, choices=[1, 2, 4, 8, 16], default=4,
                   help="waveshaper oversampling factor (default 4)")

    g = parser.add_argument_group("tremolo and width")
    g.add_argument("--tremolo-rate", type=float, metavar="HZ", default=4.0, help="tremolo rate in Hz, 0 = off (default 4)")
    g.add_argument("--tremolo-depth", type=float, metavar="DEPTH", default=0.3, help="tremolo depth 0..1, 0 = off (default 0.3)")
    g.add_argument("--width", type=float, metavar="W", default=1.4, help="stereo width, 1.0 = unchanged (default 1.4)")

    g = parser.add_argument_group("phaser and chorus")
    g.add_argument("--modulation", choices=["off", "phaser", "chorus"], default="off",
                   help="a phaser or a chorus after the tremolo (default off; --all: phaser)")
    g.add_argument("--modulation-rate", type=float, metavar="HZ", default=0.3,
                   help="sweep rate of the phaser corner or the chorus spread (default 0.3)")
    g.add_argument("--modulation-mix", type=float, metavar="MIX", default=0.5,
                   help="phaser wet mix or chorus wet gain, 0..1 (default 0.5)")
    g.add_argument("--phaser-feedback", type=float, metavar="FB", default=0.4, help="phaser feedback -1..1 (default 0.4)")

    g = parser.add_argument_group("echo")
    g.add_argument("--no-echo", action="store_true", help="leave out the echo stage")
    g.add_argument("--echo-ms", type=float, metavar="MS", default=375.0, help="echo time in ms, 0 = off (default 375)")
    g.add_argument("--echo-feedback", type=float, metavar="FB", default=0.35, help="echo feedback 0..<1 (default 0.35)")
    g.add_argument("--echo-mix", type=float, metavar="MIX", default=0.3,
                   help="echo mix: 0 dry, 1 dry and full echo, 2 echo only (default 0.3)")

    g = parser.add_argument_group("reverb")
    g.add_argument("--no-reverb", action="store_true", help="leave out the reverb stage")
    g.add_argument("--room-size", type=float, metavar="SIZE", default=0.75, help="room size 0..1 (default 0.75)")
    g.add_argument("--damping", type=float, metavar="D", default=0.5, help="damping 0..1 (default 0.5)")
    g.add_argument("--reverb-mix", type=float, metavar="MIX", default=0.25,
                   help="reverb mix: 0 dry, 0.5 dry and full reverb, 1 reverb only (default 0.25)")

    g = parser.add_argument_group("tape delay, plate and room")
    g.add_argument("--tape-ms", type=float, metavar="MS", default=0.0,
                   help="tape delay time in ms after the echo, 0 = off (default off; --all: 280)")
    g.add_argument("--tape-feedback", type=float, metavar="FB", default=0.45, help="tape delay feedback 0..0.99 (default 0.45)")
    g.add_argument("--tape-mix", type=float, metavar="MIX", default=0.35,
                   help="tape delay mix: 0 dry, 1 dry and full wet, 2 wet only (default 0.35)")
    g.add_argument("--space", choices=["off", "plate", "room", "plate+room"], default="off",
                   help="a plate reverb and/or a convolution room beside the reverb (default off; --all: plate+room)")
    g.add_argument("--plate-decay", type=float, metavar="G", default=0.6, help="plate decay 0..0.999 (default 0.6)")
    g.add_argument("--room-decay", type=float, metavar="S", default=0.8, help="room impulse decay in seconds (default 0.8)")
    g.add_argument("--space-mix", type=float, metavar="MIX", default=0.3,
                   help="plate and room mix: 0 dry, 1 dry and full wet, 2 wet only (default 0.3)")

    g = parser.add_argument_group("limiter")
    g.add_argument("--no-limiter", action="store_true", help="leave out the limiter stage")
    g.add_argument("--limit-db", type=float, metavar="DB", default=-1.0, help="limiter threshold in dBFS (default -1)")
    g.add_argument("--limiter-release-ms", type=float, metavar="MS", default=80.0, help="limiter release in ms (default 80)")
    g.add_argument("--lookahead-ms", type=float, metavar="MS", default=2.0, help="limiter lookahead in ms, 0..50 (default 2)")

    args = parser.parse_args(argv)
    if args.all:
        for option, value in ALL_STAGES.items():
            if getattr(args, option) == "off":
                setattr(args, option, value)
        if args.tape_ms == 0:
            args.tape_ms = 280.0
    if not 0 < args.room_decay <= 2.5:
        parser.error("--room-decay must be above 0 and at most 2.5 s")
    if not 0 <= args.tape_ms <= 5000:
        parser.error("--tape-ms must be between 0 and 5000")
    if args.seconds is not None and args.seconds <= 0:
        parser.error("--seconds must be positive")
    if args.cutoff <= 0 or args.q <= 0:
        parser.error("--cutoff and --q must be positive")
    if not 0 <= args.echo_feedback < 1:
        parser.error("--echo-feedback must be at least 0 and below 1")
    if args.echo_ms < 0 or args.echo_ms > 10000:
        parser.error("--echo-ms must be between 0 and 10000")
    if not 0 <= args.lookahead_ms <= 50:
        parser.error("--lookahead-ms must be between 0 and 50")
    if not args.input.is_file():
        parser.error(f"no such file: {args.input}")
    args.error = parser.error
    return args


def main(argv: list[str] | None = None) -> int:
    args = parse_args(argv)
    with open(args.input, "rb") as f:
        t0 = time.perf_counter()
        stream = _sonolith.VorbisStream(f)
        rate, channels, total = stream.info()
        decode_time = time.perf_counter() - t0
        if args.filter != "off" and args.cutoff >= rate / 2:
            args.error(f"--cutoff must be below half the sample rate ({rate / 2:g} Hz)")
        limit = total if args.seconds is None else int(args.seconds * rate)
        if total >= 0:
            limit = min(limit, total)
        chain, skipped = build_chain(args, rate)
        stage_time = [0.0] * len(chain)
        window = max(1, rate // 20)
        before, after = Levels(window), Levels(window)
        spectrum_before, spectrum_after = Spectrum(), Spectrum()
        progress = Progress(limit, rate)
        args.output.parent.mkdir(parents=True, exist_ok=True)
        frames_in = frames_out = 0

        def run_chain(block: bytes, flush: bool = False) -> bytes:
            for i, stage in enumerate(chain):
                t = time.perf_counter()
                block = stage.process(block) if block else b""
                if flush:
                    block += stage.flush()
                stage_time[i] += time.perf_counter() - t
            return block

        with wave.open(str(args.output), "wb") as out:
            out.setnchannels(2)
            out.setsampwidth(2)
            out.setframerate(rate)

            def write(block: bytes) -> None:
                nonlocal frames_out
                after.add(block)
                spectrum_after.add(block, rate)
                out.writeframes(block if sys.byteorder == "little" else swapped(block))
                frames_out += len(block) // FRAME_BYTES

            while limit < 0 or frames_in < limit:
                want = BLOCK if limit < 0 else min(BLOCK, limit - frames_in)
                t1 = time.perf_counter()
                block = stream.read(want)
                decode_time += time.perf_counter() - t1
                if not block:
                    break
                if channels == 1:
                    block = _sonolith.remix_s16(block, 1, 2)
                frames_in += len(block) // FRAME_BYTES
                before.add(block)
                spectrum_before.add(block, rate)
                write(run_chain(block))
                progress.update(frames_in)
            write(run_chain(b"", flush=True))
        progress.close()
        stream.close()
    before.finish()
    after.finish()

    seconds_in, seconds_out = frames_in / rate, frames_out / rate
    process_time = sum(stage_time)
    total_text = f"{total / rate:.2f} s" if total >= 0 else "unknown length"
    print(f"input     {args.input}  ({rate} Hz, {channels} channel{'s' if channels > 1 else ''}, {total_text})")
    print(f"output    {args.output}  ({rate} Hz, 2 channels, 16-bit)")
    print(f"duration  {seconds_in:.2f} s in, {seconds_out:.2f} s out ({frames_out} frames, {BLOCK}-frame blocks)")
    print(f"chain     {' -> '.join(s.describe() for s in chain) or '(empty)'}")
    if skipped:
        print(f"skipped   {'; '.join(skipped)}: not in this build")
    print(f"decoding  {speed(seconds_in, decode_time)}")
    if chain:
        print(f"chain     {speed(seconds_in, process_time)}")
        for stage, spent in zip(chain, stage_time):
            print(f"  {stage.name:<8}{speed(seconds_in, spent)}")
    print(f"before    {before.summary()}")
    print(f"after     {after.summary()}")
    files = [("wav", args.output)]
    if not args.no_plot:
        title = f"{args.input.name}: " + (" -> ".join(s.describe() for s in chain) or "no effects")
        title = textwrap.fill(title, 110, break_on_hyphens=False)  # a long chain takes two lines
        png = args.output.with_suffix(".png")
        if plot(png, before, after, rate, title):
            files.append(("levels", png))
        png = args.output.with_name(args.output.stem + "-spectrum.png")
        if plot_spectrum(png, spectrum_before, spectrum_after, title):
            files.append(("spectrum", png))
        if len(files) == 1:
            print("plots     not drawn: matplotlib is not installed (./dev demo installs it)")
    for kind, path in files:
        print(f"{kind:<10}{path}")
    return 0


if __name__ == "__main__":
    sys.exit(main())
