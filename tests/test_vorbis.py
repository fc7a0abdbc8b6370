"""VorbisStream: decoding through Python file objects.

Fixtures are synthesised and encoded with oggenc at test time. The reference output comes from
tests/vorbis_decode.c, built here with the system compiler: the same decoder calls without Python.
"""

import ctypes
import gc
import io
import subprocess
import sys
import threading
import wave
import weakref

import numpy as np
import pytest

import _sonolith
from _sonolith import VorbisStream

from .conftest import SANITIZED

HERE = __import__("pathlib").Path(__file__).resolve().parent
SECONDS = 0.6 if SANITIZED else 1.5


def synth(rate, channels, seconds, seed):
    rng = np.random.default_rng(seed)
    t = np.arange(int(rate * seconds)) / rate
    sweep = np.sin(2 * np.pi * (100 + 0.4 * rate * t / seconds) * t) * 9000
    cols = [sweep, rng.normal(0, 2500, t.size)][:channels]
    return np.clip(np.stack(cols, 1), -32768, 32767).astype("<i2")


def encode(path, pcm, rate, serial):
    # Every file gets its own serial number: the encoder otherwise derives it from the clock, so
    # two files encoded within the same second share it and their concatenation is not a chain.
    wav = path.with_suffix(".wav")
    with wave.open(str(wav), "wb") as w:
        w.setnchannels(pcm.shape[1])
        w.setsampwidth(2)
        w.setframerate(rate)
        w.writeframes(pcm.tobytes())
    subprocess.run(["oggenc", "-Q", "-q", "3", "-s", str(serial), "-o", str(path), str(wav)], check=True)
    return path.read_bytes()


@pytest.fixture(scope="session")
def files(tmp_path_factory):
    d = tmp_path_factory.mktemp("vorbis")
    out = {}
    for name, rate, ch, seed in [("mono22k", 22050, 1, 1), ("stereo44k", 44100, 2, 2),
                                 ("stereo48k", 48000, 2, 3), ("mono8k", 8000, 1, 4)]:
        out[name] = encode(d / f"{name}.ogg", synth(rate, ch, SECONDS, seed), rate, seed)
    out["stereo44k_b"] = encode(d / "b.ogg", synth(44100, 2, SECONDS / 2, 5), 44100, 5)
    out["mono44k"] = encode(d / "m.ogg", synth(44100, 1, SECONDS / 2, 6), 44100, 6)
    out["stereo22k"] = encode(d / "s22.ogg", synth(22050, 2, SECONDS / 2, 7), 22050, 7)
    out["chain"] = out["stereo44k"] + out["stereo44k_b"]
    out["chain_channels"] = out["stereo44k"] + out["mono44k"]
    out["chain_rate"] = out["stereo44k"] + out["stereo22k"]
    for name, data in out.items():
        (d / f"{name}.ogg").write_bytes(data)
    return d, out


@pytest.fixture(scope="session")
def c_decode(tmp_path_factory, files):
    """(file name, seek frame) -> the bytes the decoder delivers without Python."""
    d, _ = files
    exe = tmp_path_factory.mktemp("cdec") / "decode"
    flags = subprocess.run(["pkg-config", "--cflags", "--libs", "vorbisidec", "ogg"],
                           capture_output=True, text=True, check=True).stdout.split()
    subprocess.run(["cc", "-O1", "-o", str(exe), str(HERE / "vorbis_decode.c"), *flags], check=True)

    def run(name, frame=None):
        args = [str(exe), str(d / f"{name}.ogg")] + ([] if frame is None else [str(frame)])
        return subprocess.run(args, capture_output=True, check=True).stdout

    return run


def read_random_chunks(stream, rng, frames_max=3000):
    parts = []
    while True:
        chunk = stream.read(int(rng.integers(1, frames_max)))
        if not chunk:
            return b"".join(parts)
        parts.append(chunk)


class Unseekable(io.BytesIO):
    def seekable(self):
        return False


# ---------------------------------------------------------------------------------------------
# Output against the bare decoder and an independent one


@pytest.mark.parametrize("name", ["mono22k", "stereo44k", "stereo48k", "mono8k", "chain"])
def test_matches_bare_decoder_in_random_chunks(files, c_decode, rng, name):
    d, data = files
    expected = c_decode(name)
    with open(d / f"{name}.ogg", "rb") as f:
        s = VorbisStream(f)
        rate, channels, total = s.info()
        assert total * channels * 2 == len(expected)
        assert read_random_chunks(s, rng) == expected
        assert s.read(10) == b"" and s.read(0) == b""
    assert read_random_chunks(VorbisStream(io.BytesIO(data[name])), rng) == expected
    assert read_random_chunks(VorbisStream(Unseekable(data[name])), rng) == expected


@pytest.mark.parametrize("name,rate,channels", [("mono22k", 22050, 1), ("stereo48k", 48000, 2),
                                                ("chain", 44100, 2)])
def test_independent_decoder_differs_only_by_fixed_point_rounding(files, name, rate, channels):
    sf = pytest.importorskip("soundfile")
    d, data = files
    ours = np.frombuffer(VorbisStream(io.BytesIO(data[name])).read(1 << 22), "<i2")
    theirs, their_rate = sf.read(str(d / f"{name}.ogg"), dtype="int16", always_2d=True)
    if name == "chain":  # the independent decoder stops after the first link
        ours = ours[: theirs.size]
    assert their_rate == rate and theirs.shape[1] == channels
    assert ours.size == theirs.size
    # integer decoding rounds differently from the floating-point decoder: a few LSB at most
    assert np.abs(ours.astype(int) - theirs.reshape(-1)).max() <= 4


def test_info_and_total_of_chained_stream(files):
    _, data = files
    s = VorbisStream(io.BytesIO(data["chain"]))
    a = VorbisStream(io.BytesIO(data["stereo44k"])).info()
    b = VorbisStream(io.BytesIO(data["stereo44k_b"])).info()
    assert s.info() == (44100, 2, a[2] + b[2])
    assert isinstance(s.info()[2], int)


# ---------------------------------------------------------------------------------------------
# Seeking


@pytest.mark.parametrize("name", ["stereo44k", "mono8k", "chain"])
def test_seek_lands_on_the_frame(files, c_decode, rng, name):
    _, data = files
    full = c_decode(name)
    s = VorbisStream(io.BytesIO(data[name]))
    rate, channels, total = s.info()
    fb = 2 * channels
    for frame in [0, total - 1, total, *rng.integers(0, total, 8)]:
        s.seek(int(frame))
        got = s.read(500)
        assert got == full[frame * fb:(frame + 500) * fb], frame
    with pytest.raises(RuntimeError, match=r"^Vorbis seek failed: invalid argument$"):
        s.seek(total + 1)
    frame = int(rng.integers(0, total))
    s.seek(frame)
    assert read_random_chunks(s, rng) == c_decode(name, frame)


def test_seek_errors(files):
    _, data = files
    s = VorbisStream(io.BytesIO(data["stereo44k"]))
    with pytest.raises(RuntimeError, match=r"^Vorbis seek failed: invalid argument$"):
        s.seek(-1)
    with pytest.raises(OverflowError):
        s.seek(1 << 70)
    with pytest.raises(TypeError):
        s.seek(1.5)


class RaisingSeekable(io.BytesIO):
    def seekable(self):
        raise OSError("no idea")


class NoSeekableAttr:
    def __init__(self, data):
        self.read = io.BytesIO(data).read


@pytest.mark.parametrize("kind", [Unseekable, RaisingSeekable, NoSeekableAttr])
def test_not_seekable_file(files, c_decode, kind):
    _, data = files
    s = VorbisStream(kind(data["stereo44k"]))
    assert s.info()[:2] == (44100, 2) and s.info()[2] == -1
    with pytest.raises(RuntimeError, match=r"^Vorbis seek failed: the stream can't seek$"):
        s.seek(0)
    with pytest.raises(RuntimeError, match=r"^Vorbis seek failed: invalid argument$"):
        s.seek(-1)
    assert s.read(1 << 20) == c_decode("stereo44k")


# ---------------------------------------------------------------------------------------------
# Chained streams whose format changes


@pytest.mark.parametrize("name", ["chain_channels", "chain_rate"])
def test_format_change_ends_reading_until_seek(files, c_decode, rng, name):
    _, data = files
    first = c_decode("stereo44k")
    s = VorbisStream(io.BytesIO(data[name]))
    assert s.info()[:2] == (44100, 2)
    assert read_random_chunks(s, rng) == first
    assert s.read(100) == b""
    s.seek(0)
    assert s.read(1 << 20) == first
    assert s.read(100) == b""
    # seeking into the other link behaves like reading into it: nothing of another format
    # is ever delivered under the stream's channel count and rate
    s.seek(len(first) // 4 + 10)
    assert s.read(100) == b""
    s.seek(5)
    assert s.read(3) == first[20:32]


def test_format_change_in_unseekable_stream(files, c_decode):
    _, data = files
    s = VorbisStream(Unseekable(data["chain_channels"]))
    assert s.read(1 << 20) == c_decode("stereo44k")
    assert s.read(1) == b""


# ---------------------------------------------------------------------------------------------
# Argument checks and lifecycle


def test_read_checks_and_closed_stream(files):
    _, data = files
    s = VorbisStream(io.BytesIO(data["mono8k"]))
    assert s.read(0) == b""
    with pytest.raises(ValueError, match=r"^frames must be at least 0$"):
        s.read(-1)
    with pytest.raises(TypeError):
        s.read("3")
    with pytest.raises(MemoryError):
        s.read(sys.maxsize)
    assert s.close() is None and s.close() is None
    for call in (s.info, lambda: s.read(0), lambda: s.read(-1), lambda: s.seek(0), lambda: s.seek(-1)):
        with pytest.raises(ValueError, match=r"^the Vorbis stream is closed$"):
            call()
    fresh = VorbisStream.__new__(VorbisStream)
    with pytest.raises(ValueError, match=r"^the Vorbis stream is closed$"):
        fresh.read(1)
    assert fresh.close() is None
    with pytest.raises(TypeError):
        VorbisStream()
    with pytest.raises(TypeError):
        VorbisStream(io.BytesIO(), io.BytesIO())


def test_reinitialisation_switches_files(files, c_decode):
    _, data = files
    s = VorbisStream(io.BytesIO(data["mono8k"]))
    s.read(100)
    s.__init__(io.BytesIO(data["stereo48k"]))
    assert s.info()[:2] == (48000, 2)
    assert s.read(1 << 20) == c_decode("stereo48k")
    with pytest.raises(RuntimeError):
        s.__init__(io.BytesIO(b"not ogg"))
    with pytest.raises(ValueError, match="closed"):
        s.read(1)


def test_close_drops_the_file(files):
    _, data = files
    f = io.BytesIO(data["mono8k"])
    ref = weakref.ref(f)
    s = VorbisStream(f)
    del f
    assert ref() is not None
    s.close()
    gc.collect()
    assert ref() is None


def test_many_streams_do_not_leak(files):
    _, data = files
    try:
        libc = ctypes.CDLL(None)

        class MallInfo2(ctypes.Structure):
            _fields_ = [(n, ctypes.c_size_t) for n in
                        ("arena", "ordblks", "smblks", "hblks", "hblkhd", "usmblks", "fsmblks",
                         "uordblks", "fordblks", "keepcost")]

        libc.mallinfo2.restype = MallInfo2
    except (OSError, AttributeError):
        pytest.skip("no mallinfo2")
    if SANITIZED:
        pytest.skip("the sanitizer's allocator does not report through mallinfo2")

    def churn(n):
        for i in range(n):
            s = VorbisStream(io.BytesIO(data["mono8k"]))
            s.read(300)
            if i % 2:
                s.close()
            try:
                VorbisStream(io.BytesIO(data["mono8k"][:5000]))
            except RuntimeError:
                pass
        gc.collect()

    churn(50)
    before = libc.mallinfo2().uordblks + libc.mallinfo2().hblkhd
    churn(300)
    after = libc.mallinfo2().uordblks + libc.mallinfo2().hblkhd
    assert after - before < 200_000


# ---------------------------------------------------------------------------------------------
# Damaged data


@pytest.mark.parametrize("data", [b"", b"x", b"OggS" + bytes(100), bytes(70000),
                                  b"RIFF" + bytes(4000)])
def test_not_vorbis(data):
    with pytest.raises(RuntimeError, match=r"^Failed to parse Vorbis file: "):
        VorbisStream(io.BytesIO(data))


def test_truncated_and_corrupted_files_end_in_error_or_short_read(files, rng):
    _, data = files
    good = data["stereo44k"]
    full = len(VorbisStream(io.BytesIO(good)).read(1 << 20))
    cases = [good[:n] for n in rng.integers(0, len(good), 12 if SANITIZED else 40)]
    for _ in range(8 if SANITIZED else 30):
        b = bytearray(good)
        for pos in rng.integers(0, len(b), int(rng.integers(1, 30))):
            b[pos] = int(rng.integers(0, 256))
        cases.append(bytes(b))
    cases.append(data["chain"][: len(good) + 3000])
    for case in cases:
        for kind in (io.BytesIO, Unseekable):
            try:
                s = VorbisStream(kind(case))
                got = b""
                while chunk := s.read(4096):
                    got += chunk
                    assert len(got) <= 4 * full
                s.seek(0) if kind is io.BytesIO else None
            except RuntimeError as e:
                assert str(e).startswith(("Failed to parse Vorbis file: ", "Vorbis decoding failed: ",
                                          "Vorbis seek failed: "))


# ---------------------------------------------------------------------------------------------
# Misbehaving file objects


class Failing(io.BytesIO):
    """Its read raises `error` on call number `at` (1-based) and after."""

    def __init__(self, data, at, error):
        super().__init__(data)
        self.calls, self.at, self.error = 0, at, error

    def read(self, n=-1):
        self.calls += 1
        if self.calls >= self.at:
            raise self.error
        return super().read(n)


def test_read_error_surfaces_unchanged_at_open(files):
    _, data = files
    error = OSError(5, "disk gone")
    with pytest.raises(OSError) as info:
        VorbisStream(Failing(data["stereo44k"], 1, error))
    assert info.value is error


@pytest.mark.parametrize("kind", [Failing, type("UnseekableFailing", (Failing,), {"seekable": lambda self: False})])
def test_read_error_surfaces_unchanged_while_decoding(files, kind):
    _, data = files
    error = OSError("cable pulled")
    f = kind(data["stereo44k"], 10**9, error)
    s = VorbisStream(f)
    s.read(100)
    f.at = f.calls + 1
    with pytest.raises(OSError) as info:
        s.read(1 << 20)
    assert info.value is error
    # the exception was reported once; it does not come back in later calls
    f.at = 10**9
    s.seek(0) if s.info()[2] >= 0 else None
    s.read(10)


def test_read_error_during_seek(files):
    _, data = files
    error = KeyError("seek read")
    f = Failing(data["stereo44k"], 10**9, error)
    s = VorbisStream(f)
    f.at = f.calls + 1
    with pytest.raises(KeyError) as info:
        s.seek(s.info()[2] // 2)
    assert info.value is error


def test_saved_exception_does_not_outlive_reinitialisation(files, c_decode):
    _, data = files
    s = VorbisStream(io.BytesIO(data["mono8k"]))
    f = Failing(data["stereo44k"], 3, OSError("first file"))
    with pytest.raises(OSError, match="first file"):
        s.__init__(f)
    s.close()
    s.__init__(io.BytesIO(data["mono8k"]))
    s.seek(100)
    assert s.read(1 << 20) == c_decode("mono8k", 100)
    with pytest.raises(RuntimeError, match=r"^Vorbis seek failed: invalid argument$"):
        s.seek(-1)


def test_text_mode_file(files):
    d, _ = files
    with open(d / "stereo44k.ogg", encoding="latin-1") as f:
        with pytest.raises(TypeError, match="bytes-like"):
            VorbisStream(f)


@pytest.mark.parametrize("result", [None, 42, "str", [b"x"]])
def test_read_returning_non_bytes(files, result):
    class Odd(io.BytesIO):
        def read(self, n=-1):
            return result

    with pytest.raises(TypeError):
        VorbisStream(Odd(files[1]["mono8k"]))


def test_read_accepts_any_bytes_like_and_short_reads(files, c_decode):
    class Trickle(io.BytesIO):
        def read(self, n=-1):
            return memoryview(bytearray(super().read(min(n, 37))))

    for kind in (Trickle, type("T2", (Trickle,), {"seekable": lambda self: False})):
        assert VorbisStream(kind(files[1]["chain"])).read(1 << 20) == c_decode("chain")


def test_read_returning_more_than_asked(files):
    class Greedy(io.BytesIO):
        def read(self, n=-1):
            return super().read(n) + b"extra"

    with pytest.raises(OSError, match=r"^read\(\d+\) of the Vorbis file returned \d+ bytes$"):
        VorbisStream(Greedy(files[1]["mono8k"]))


def lying(**methods):
    return type("Lying", (io.BytesIO,), methods)


@pytest.mark.parametrize("cls,error", [
    (lying(tell=lambda self: 1 / 0), RuntimeError),
    (lying(tell=lambda self: None), RuntimeError),
    (lying(tell=lambda self: 1 << 80), RuntimeError),
    (lying(tell=lambda self: -5), RuntimeError),
    (lying(tell=lambda self: 0), OSError),
    (lying(tell=lambda self: 1 << 50), OSError),
    (lying(seek=lambda self, *a: 0, tell=lambda self: 10**6), OSError),
])
def test_nonsense_seek_and_tell_fail_cleanly(files, cls, error):
    with pytest.raises(error):
        VorbisStream(cls(files[1]["chain"]))


def test_seek_that_raises_makes_the_decoder_unseekable(files, c_decode):
    def bad_seek(self, *a):
        raise OSError("no seek")

    s = VorbisStream(lying(seek=bad_seek)(files[1]["stereo44k"]))
    assert s.info()[2] == -1
    assert s.read(1 << 20) == c_decode("stereo44k")
    with pytest.raises(RuntimeError, match="the stream can't seek"):
        s.seek(0)


# ---------------------------------------------------------------------------------------------
# Calls into a stream that is inside the decoder


BUSY = r"^the Vorbis stream is in use by another call$"


@pytest.mark.parametrize("call", ["read", "info", "seek", "close", "init"])
def test_reentrant_call_from_the_file_is_refused(files, c_decode, call):
    _, data = files
    seen = []

    class Reentrant(io.BytesIO):
        stream = None

        def read(self, n=-1):
            if self.stream is not None and not seen:
                op = {"read": lambda s: s.read(10), "info": lambda s: s.info(),
                      "seek": lambda s: s.seek(0), "close": lambda s: s.close(),
                      "init": lambda s: s.__init__(io.BytesIO(data["mono8k"]))}[call]
                try:
                    op(self.stream)
                except RuntimeError as e:
                    seen.append(e)
            return super().read(n)

    f = Reentrant(data["stereo44k"])
    s = VorbisStream(f)
    f.stream = s
    assert s.read(1 << 20) == c_decode("stereo44k")
    assert len(seen) == 1 and seen[0].args[0] == "the Vorbis stream is in use by another call"
    # after the refused call the stream is intact
    s.seek(0)
    assert s.read(1 << 20) == c_decode("stereo44k")


def test_reentrant_error_propagates_through_the_file(files):
    class Reentrant(io.BytesIO):
        stream = None

        def read(self, n=-1):
            if self.stream is not None:
                self.stream.read(1)
            return super().read(n)

    f = Reentrant(files[1]["stereo44k"])
    s = VorbisStream(f)
    f.stream = s
    with pytest.raises(RuntimeError, match=BUSY):
        s.read(1 << 20)
    f.stream = None
    s.seek(0)
    assert len(s.read(100)) == 400


def test_other_thread_is_refused_while_decoder_waits_on_the_file(files):
    _, data = files
    entered, release = threading.Event(), threading.Event()

    class Slow(io.BytesIO):
        block = False

        def read(self, n=-1):
            if self.block:
                self.block = False
                entered.set()
                release.wait(10)
            return super().read(n)

    f = Slow(data["stereo44k"])
    s = VorbisStream(f)
    f.block = True
    results = []
    t = threading.Thread(target=lambda: results.append(s.read(1 << 20)))
    t.start()
    assert entered.wait(10)
    for call in (s.info, lambda: s.read(1), lambda: s.seek(0), s.close,
                 lambda: s.__init__(io.BytesIO(data["mono8k"]))):
        with pytest.raises(RuntimeError, match=BUSY):
            call()
    release.set()
    t.join(10)
    assert len(results[0]) == s.info()[2] * 4


def test_module_registration():
    assert _sonolith.VorbisStream.__module__ == "_sonolith"
    assert _sonolith.VorbisStream.__qualname__ == "VorbisStream"
    assert _sonolith.METER_MAX_BANDS == 96


@pytest.mark.parametrize("name", ["mono8k", "stereo48k", "chain"])
def test_read_beyond_the_end_returns_the_rest_without_reserving_the_request(files, c_decode, name):
    # A request for far more frames than the stream has (here about 4 TiB of PCM) returns what is
    # left; the result grows with the decoded data instead of being reserved up front.
    d, data = files
    expected = c_decode(name)
    s = VorbisStream(io.BytesIO(data[name]))
    assert s.read(1 << 40) == expected
    assert s.read(1 << 40) == b""
    s = VorbisStream(io.BytesIO(data[name]))
    frames = len(expected) // (2 * s.info()[1])
    assert s.read(frames - 1) + s.read(frames) == expected
