"""The demo end to end: decode, effect chain, WAV file and report."""

import importlib.util
import pathlib
import shutil
import subprocess
import wave

import numpy as np
import pytest

import _sonolith

from .conftest import SANITIZED

ROOT = pathlib.Path(__file__).resolve().parent.parent
CLIP = ROOT / "examples" / "clip.ogg"
QUICK = ["--seconds", "2"] if SANITIZED else []


@pytest.fixture(scope="module")
def demo():
    spec = importlib.util.spec_from_file_location("sonolith_demo", ROOT / "examples" / "demo.py")
    module = importlib.util.module_from_spec(spec)
    spec.loader.exec_module(module)
    return module


def read_wav(path):
    with wave.open(str(path), "rb") as w:
        params = (w.getnchannels(), w.getsampwidth(), w.getframerate())
        pcm = np.frombuffer(w.readframes(w.getnframes()), "<i2").reshape(-1, w.getnchannels())
    return params, pcm


def run(demo, capsys, *argv):
    assert demo.main([str(a) for a in argv]) == 0
    return capsys.readouterr().out


class ModuleView:
    """The module as the demo sees it, with attributes hidden or added (the module itself, whose
    attribute order other tests check, is left alone)."""

    def __init__(self, hide=(), **extra):
        self._hide, self._extra = set(hide), extra

    def __getattr__(self, name):
        if name in self._hide:
            raise AttributeError(name)
        return self._extra[name] if name in self._extra else getattr(_sonolith, name)


def clip_frames():
    with open(CLIP, "rb") as f:
        rate, channels, total = _sonolith.VorbisStream(f).info()
    return rate, channels, total


def test_shipped_clip(demo, capsys, tmp_path):
    rate, channels, total = clip_frames()
    assert (rate, channels) == (48000, 2) and 7 * rate <= total <= 9 * rate
    out = tmp_path / "clip.wav"
    report = run(demo, capsys, CLIP, "-o", out, "--no-plot", *QUICK)
    params, pcm = read_wav(out)
    frames = 2 * rate if SANITIZED else total
    assert params == (2, 2, rate)
    assert pcm.shape == (frames, 2)
    lines = {line.split()[0]: line for line in report.splitlines() if line and not line.startswith(" ")}
    assert f"({frames} frames, 256-frame blocks)" in lines["duration"]
    assert "x real time" in lines["decoding"]
    assert "lowpass 7000 Hz -> tremolo 4 Hz -> echo 375 ms -> reverb 0.75 -> width 1.4" in report
    for key in ("before", "after"):
        assert "dBFS" in lines[key] and "RMS" in lines[key]
    if hasattr(_sonolith, "DynamicsState"):
        assert "-> limiter -1 dB" in report
        assert np.abs(pcm.astype(np.int32)).max() < 0.97 * 32768  # held near the -1 dB threshold
    else:
        assert "skipped   limiter (needs DynamicsState): not in this build" in report


@pytest.mark.skipif(shutil.which("oggenc") is None, reason="needs oggenc")
def test_generated_mono_file(demo, capsys, tmp_path):
    rate = 22050
    t = np.arange(rate // 2) / rate
    tone = (np.sin(2 * np.pi * 440 * t) * 12000).astype("<i2")
    with wave.open(str(tmp_path / "tone.wav"), "wb") as w:
        w.setnchannels(1)
        w.setsampwidth(2)
        w.setframerate(rate)
        w.writeframes(tone.tobytes())
    subprocess.run(["oggenc", "-Q", "-o", str(tmp_path / "tone.ogg"), str(tmp_path / "tone.wav")], check=True)

    out = tmp_path / "sub" / "tone.wav"
    report = run(demo, capsys, tmp_path / "tone.ogg", "-o", out, "--no-reverb", "--filter", "highpass",
                 "--cutoff", 200, "--echo-ms", 40)
    params, pcm = read_wav(out)
    assert params == (2, 2, rate)
    assert pcm.shape == (rate // 2, 2)
    assert np.array_equal(pcm[:, 0], pcm[:, 1])  # mono made stereo: every stage treats both sides alike
    assert "(22050 Hz, 1 channel, 0.50 s)" in report
    assert "highpass 200 Hz -> tremolo 4 Hz -> echo 40 ms -> width 1.4" in report
    assert "reverb" not in report


def test_missing_stages_are_skipped(demo, capsys, tmp_path, monkeypatch):
    monkeypatch.setattr(demo, "_sonolith", ModuleView(hide=("freeverb_s16", "BiquadState")))
    report = run(demo, capsys, CLIP, "-o", tmp_path / "x.wav", "--no-plot", "--seconds", "0.5")
    assert "chain     tremolo 4 Hz -> echo 375 ms -> width 1.4" in report
    assert "filter (needs BiquadState); reverb (needs freeverb_s16)" in report
    assert read_wav(tmp_path / "x.wav")[1].shape == (24000, 2)


class LookaheadOnly:
    """Stands in for DynamicsState where it is not built: unity gain behind the lookahead line,
    with the line length derived as the processor does (single precision)."""

    instances = []

    def __init__(self, mode=0, sample_rate=48000, channel_count=2):
        assert (mode, channel_count) == (1, 2)
        self.rate, self.lookahead, self.finished = sample_rate, 0, False
        self.options = {}
        self.line = np.zeros((0, 2), np.int16)
        LookaheadOnly.instances.append(self)

    def configure(self, option, value):
        if not 0 <= option <= 33:
            raise ValueError("unknown dynamics option")
        self.options[option] = value
        if option == 9:
            ms = np.float32(min(max(np.float32(value), np.float32(0)), np.float32(50)))
            self.lookahead = int(np.float32(np.float32(self.rate) * ms) / np.float32(1000))
            self.line = np.zeros((self.lookahead, 2), np.int16)

    def finish(self):
        self.finished = True

    def process(self, input, key=None):
        assert self.finished and key is None
        x = np.frombuffer(input, np.int16).reshape(-1, 2)
        both = np.concatenate([self.line, x])
        self.line = both[len(x):]
        return both[: len(x)].tobytes()


@pytest.mark.parametrize("lookahead", ["0", "2", "7.3"])
def test_limiter_stage_keeps_length_and_timing(demo, capsys, tmp_path, monkeypatch, lookahead):
    monkeypatch.setattr(demo, "_sonolith", ModuleView(DynamicsState=LookaheadOnly))
    LookaheadOnly.instances.clear()
    common = [CLIP, "--no-plot", "--seconds", "0.3"]
    report = run(demo, capsys, *common, "-o", tmp_path / "with.wav", "--lookahead-ms", lookahead,
                 "--limit-db", "-3")
    run(demo, capsys, *common, "-o", tmp_path / "without.wav", "--no-limiter")
    (limiter,) = LookaheadOnly.instances
    assert limiter.options[0] == -3.0 and limiter.options[4] == 0.0
    assert limiter.lookahead == int(48 * float(lookahead))
    assert "-> limiter -3 dB" in report and "skipped" not in report
    with_limiter, without = read_wav(tmp_path / "with.wav")[1], read_wav(tmp_path / "without.wav")[1]
    assert with_limiter.shape == (14400, 2)
    assert np.array_equal(with_limiter, without)


def test_pictures_and_report_end(demo, capsys, tmp_path):
    pytest.importorskip("matplotlib")
    report = run(demo, capsys, CLIP, "-o", tmp_path / "p.wav", "--seconds", "1")
    tail = report.splitlines()[-3:]
    assert tail == [f"wav       {tmp_path / 'p.wav'}", f"levels    {tmp_path / 'p.png'}",
                    f"spectrum  {tmp_path / 'p-spectrum.png'}"]
    for name in ("p.png", "p-spectrum.png"):
        assert (tmp_path / name).read_bytes()[:8] == b"\x89PNG\r\n\x1a\n"


def test_spectrum_rows_follow_the_meter(demo):
    spectrum = demo.Spectrum()
    block = np.zeros((256, 2), np.int16)
    block[:, :] = (np.sin(np.arange(256) * 0.3) * 8000).astype(np.int16)[:, None]
    for _ in range(375):  # two seconds at 48 kHz: 120 analyses
        spectrum.add(block.tobytes(), 48000)
    assert len(spectrum.rows) == 120 and all(len(r) == demo.Spectrum.BANDS for r in spectrum.rows)


@pytest.mark.parametrize("option, stage, shown", [
    ("--modulation", "phaser", "-> phaser 0.3 Hz -> echo"),
    ("--modulation", "chorus", "-> chorus 0.3 Hz -> echo"),
    ("--drive", "ladder", "lowpass 7000 Hz -> ladder 2500 Hz -> tremolo"),
    ("--drive", "waveshaper", "lowpass 7000 Hz -> waveshaper 2x/4x -> tremolo"),
    ("--tape-ms", "tape", "echo 375 ms -> tape 120 ms -> reverb"),
    ("--space", "plate", "reverb 0.75 -> plate 0.6 -> width"),
    ("--space", "room", "reverb 0.75 -> room 0.8 s -> width"),
])
def test_optional_stages(demo, capsys, tmp_path, option, stage, shown):
    cls = {s.name: s for s in vars(demo).values() if isinstance(s, type) and issubclass(s, demo.Stage)}[stage]
    if not cls.available():
        pytest.skip(f"{stage} is not in this build")
    common = [CLIP, "--no-plot", "--seconds", "0.5", "--no-limiter"]
    value = {"tape": "120"}.get(stage, stage)
    report = run(demo, capsys, *common, "-o", tmp_path / "m.wav", option, value)
    run(demo, capsys, *common, "-o", tmp_path / "plain.wav")
    assert shown in report
    moved, plain = read_wav(tmp_path / "m.wav")[1], read_wav(tmp_path / "plain.wav")[1]
    assert moved.shape == plain.shape == (24000, 2) and not np.array_equal(moved, plain)


def test_all_switches_on_the_optional_stages(demo, capsys, tmp_path):
    args = demo.parse_args([str(CLIP), "--all"])
    assert all(getattr(args, option) == value for option, value in demo.ALL_STAGES.items())
    assert demo.parse_args([str(CLIP), "--all", "--modulation", "chorus"]).modulation == "chorus"
    assert args.tape_ms == 280 and demo.parse_args([str(CLIP)]).tape_ms == 0


def test_help_and_argument_errors(demo, capsys, tmp_path):
    with pytest.raises(SystemExit) as exit_:
        demo.main(["--help"])
    assert exit_.value.code == 0
    text = capsys.readouterr().out
    for option in ("-o OUT.wav", "--cutoff HZ", "--echo-ms MS", "--reverb-mix MIX", "--no-reverb", "--no-limiter"):
        assert option in text
    for argv in (["--cutoff", "24000"], ["--echo-feedback", "1"], ["--lookahead-ms", "51"],
                 [str(tmp_path / "missing.ogg")]):
        with pytest.raises(SystemExit) as exit_:
            demo.main([*argv, "-o", str(tmp_path / "e.wav")])
        assert exit_.value.code == 2
    assert not (tmp_path / "e.wav").exists()


def test_room_takes_its_latency_back_out(demo, capsys, tmp_path):
    if not demo.Room.available():
        pytest.skip("ConvolverState is not in this build")
    common = [CLIP, "--no-plot", "--seconds", "0.5", "--no-limiter", "--no-reverb"]
    run(demo, capsys, *common, "-o", tmp_path / "dry.wav", "--space", "room", "--space-mix", "0")
    run(demo, capsys, *common, "-o", tmp_path / "plain.wav")
    assert np.array_equal(read_wav(tmp_path / "dry.wav")[1], read_wav(tmp_path / "plain.wav")[1])
