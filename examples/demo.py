"""Decodes an Ogg Vorbis file, runs it through an effect chain and writes a WAV file.

    python examples/demo.py [FILE.ogg] [-o OUT.wav] [chain options]

Without FILE it plays the clip that ships with the repository (examples/clip.ogg). The audio is
streamed in 256-frame blocks: VorbisStream decodes, the chain processes, the stdlib wave module
writes. The report gives durations, decoding and processing speed as multiples of real time, and
peak and RMS levels before and after the chain. With matplotlib installed it also draws the
levels over time into a PNG next to the WAV file.

The chain is built from the stages of the module that this build has: a stage whose function or
type is missing is skipped (and listed as such in the report).
"""

from __future__ import annotations

import argparse
import array
import math
import pathlib
import sys
import time
import wave

import _sonolith

try:  # levels are summed with numpy when it is there, in plain Python otherwise
    import numpy as np
except ImportError:
    np = None

HERE = pathlib.Path(__file__).resolve().parent
BLOCK = 256


# ---------------------------------------------------------------------------------------------
# Effect stages. Each has a name, `needs` (the module attributes it uses), and process(block)
# from interleaved stereo s16 bytes to the same. New stages from the module are a few lines each.


class Stage:
    name = "stage"
    needs: tuple[str, ...] = ()

    @classmethod
    def available(cls) -> bool:
        return all(hasattr(_sonolith, n) for n in cls.needs)

    def process(self, block: bytes) -> bytes:
        raise NotImplementedError


class Tremolo(Stage):
    """Amplitude modulation: multiply_s16 blends the signal with its product by a sine LFO."""

    name = "tremolo"
    needs = ("multiply_s16",)

    def __init__(self, rate: int, hz: float, depth: float):
        self.step, self.phase, self.depth = 2 * math.pi * hz / rate, 0.0, depth

    def process(self, block):
        frames = len(block) // 4
        lfo = array.array("h", bytes(4 * frames))
        for i in range(frames):
            v = int(16383.5 + 16383.5 * math.sin(self.phase + i * self.step))
            lfo[2 * i] = lfo[2 * i + 1] = v
        self.phase = (self.phase + frames * self.step) % (2 * math.pi)
        return _sonolith.multiply_s16(block, lfo, self.depth, 2)


class Width(Stage):
    """Stereo width through mid/side: 1.0 leaves the image, above widens, 0 folds to mono."""

    name = "stereo width"
    needs = ("midside_s16",)

    def __init__(self, width: float):
        self.width = width

    def process(self, block):
        return _sonolith.midside_s16(block, self.width, 2)


class Limiter(Stage):
    """Peak limiter on the dynamics processor (mode 1), with its default threshold and release."""

    name = "limiter"
    needs = ("DynamicsState",)

    def __init__(self, rate: int):
        self.state = _sonolith.DynamicsState(mode=1, sample_rate=rate, channel_count=2)

    def process(self, block):
        return self.state.process(block)


# Filter (BiquadState), echo (echo_s16) and reverb (freeverb_s16) stages slot in here the same
# way: a class with `needs` naming the module function or type, state made in __init__, and one
# call per block in process(); add it to build_chain below.


def build_chain(args, rate: int) -> tuple[list[Stage], list[str]]:
    wanted: list[tuple[type[Stage], bool, callable]] = [
        (Tremolo, args.tremolo_depth > 0 and args.tremolo_rate > 0,
         lambda: Tremolo(rate, args.tremolo_rate, args.tremolo_depth)),
        (Width, args.width != 1.0, lambda: Width(args.width)),
        (Limiter, not args.no_limiter, lambda: Limiter(rate)),
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
        self.curve: list[tuple[float, float]] = []
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
            self.curve.append((self._wpeak / 32768, math.sqrt(self._wsum / self._wcount) / 32768))
        self._wpeak = self._wsum = self._wcount = 0

    def finish(self) -> None:
        self._flush()

    @staticmethod
    def db(amplitude: float) -> int:
        """Level in whole decibels from the module's one-byte decibel code (code 200 = 0 dB)."""
        return _sonolith.meter_db_byte(amplitude) - 200

    def summary(self) -> str:
        rms = math.sqrt(self.sum_squares / self.count) / 32768 if self.count else 0.0
        return f"peak {self.db(self.peak / 32768):>4} dBFS   RMS {self.db(rms):>4} dBFS"


# ---------------------------------------------------------------------------------------------


class Progress:
    """A progress bar on stderr, shown only for long inputs."""

    def __init__(self, total_frames: int, rate: int, min_seconds: float = 30.0):
        self.total = total_frames
        self.on = total_frames > 0 and total_frames / rate >= min_seconds
        self.last = -1

    def update(self, done: int) -> None:
        if not self.on:
            return
        pct = min(100, done * 100 // self.total)
        if pct != self.last:
            self.last = pct
            bar = "#" * (pct // 2)
            sys.stderr.write(f"\r[{bar:<50}] {pct:3d}%")
            sys.stderr.flush()

    def close(self) -> None:
        if self.on:
            sys.stderr.write("\n")


def swapped(block: bytes) -> bytes:
    """Native-endian s16 to the little-endian samples of a WAV file, on big-endian hosts."""
    samples = array.array("h", block)
    samples.byteswap()
    return samples.tobytes()


def plot(path: pathlib.Path, before: Levels, after: Levels, seconds_per_point: float) -> bool:
    try:
        import matplotlib

        matplotlib.use("Agg")
        import matplotlib.pyplot as plt
    except ImportError:
        return False
    fig, ax = plt.subplots(figsize=(10, 4))
    for levels, label, colour in ((before, "input", "tab:blue"), (after, "output", "tab:orange")):
        times = [i * seconds_per_point for i in range(len(levels.curve))]
        ax.plot(times, [20 * math.log10(max(p, 1e-6)) for p, _ in levels.curve], colour,
                alpha=0.45, label=f"{label} peak")
        ax.plot(times, [20 * math.log10(max(r, 1e-6)) for _, r in levels.curve], colour,
                label=f"{label} RMS")
    ax.set_xlabel("time (s)")
    ax.set_ylabel("level (dBFS)")
    ax.set_ylim(-60, 3)
    ax.grid(alpha=0.3)
    ax.legend(loc="lower right", ncol=2)
    fig.tight_layout()
    fig.savefig(path, dpi=100)
    plt.close(fig)
    return True


def main(argv: list[str] | None = None) -> int:
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("input", nargs="?", type=pathlib.Path, default=HERE / "clip.ogg",
                        help="Ogg Vorbis file to decode (default: the clip in examples/)")
    parser.add_argument("-o", "--output", type=pathlib.Path, default=pathlib.Path("out/demo.wav"),
                        help="WAV file to write (default: out/demo.wav)")
    parser.add_argument("--width", type=float, default=1.5, help="stereo width, 1.0 = unchanged (default 1.5)")
    parser.add_argument("--tremolo-rate", type=float, default=4.0, help="tremolo rate in Hz, 0 = off (default 4)")
    parser.add_argument("--tremolo-depth", type=float, default=0.5, help="tremolo depth 0..1 (default 0.5)")
    parser.add_argument("--no-limiter", action="store_true", help="leave out the limiter stage")
    parser.add_argument("--no-plot", action="store_true", help="do not draw the level plot")
    args = parser.parse_args(argv)

    with open(args.input, "rb") as f:
        t0 = time.perf_counter()
        stream = _sonolith.VorbisStream(f)
        rate, channels, total = stream.info()
        decode_time = time.perf_counter() - t0
        chain, skipped = build_chain(args, rate)
        window = max(1, rate // 20)
        before, after = Levels(window), Levels(window)
        progress = Progress(total, rate)
        args.output.parent.mkdir(parents=True, exist_ok=True)
        process_time = 0.0
        frames = 0
        with wave.open(str(args.output), "wb") as out:
            out.setnchannels(2)
            out.setsampwidth(2)
            out.setframerate(rate)
            while True:
                t1 = time.perf_counter()
                block = stream.read(BLOCK)
                t2 = time.perf_counter()
                decode_time += t2 - t1
                if not block:
                    break
                if channels == 1:
                    block = _sonolith.remix_s16(block, 1, 2)
                for stage in chain:
                    block = stage.process(block)
                process_time += time.perf_counter() - t2
                before.add(block) if not chain else None
                out.writeframes(block if sys.byteorder == "little" else swapped(block))
                frames += len(block) // 4
                progress.update(frames)
        progress.close()
        stream.close()

    # Input levels are measured on a second pass so that the timing above covers the chain only.
    if chain:
        with open(args.input, "rb") as f:
            stream = _sonolith.VorbisStream(f)
            while block := stream.read(4096):
                before.add(block)
    with wave.open(str(args.output), "rb") as w:
        while block := w.readframes(4096):
            after.add(block)
    before.finish()
    after.finish()

    seconds = frames / rate
    print(f"input     {args.input}  ({rate} Hz, {channels} channel{'s' if channels > 1 else ''})")
    print(f"output    {args.output}  ({rate} Hz, 2 channels)")
    print(f"duration  {seconds:.2f} s ({frames} frames, {BLOCK}-frame blocks)")
    print(f"chain     {' -> '.join(s.name for s in chain) or '(empty)'}")
    if skipped:
        print(f"skipped   {'; '.join(skipped)}: not in this build")
    print(f"decoding  {seconds / decode_time:8.0f} x real time ({decode_time * 1000:.1f} ms)")
    if chain:
        print(f"chain     {seconds / process_time:8.0f} x real time ({process_time * 1000:.1f} ms)")
    print(f"before    {before.summary()}")
    print(f"after     {after.summary()}")
    if not args.no_plot:
        png = args.output.with_suffix(".png")
        if plot(png, before, after, window / rate):
            print(f"plot      {png}")
    return 0


if __name__ == "__main__":
    sys.exit(main())
