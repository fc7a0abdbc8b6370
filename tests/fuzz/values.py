"""Argument generators: well-shaped values, boundary values and hostile objects.

Every hostile object that runs Python code (dunder conversions, buffer export and release, file
methods) may raise `FuzzError`, whose instances carry a token registered when raised: the harness
accepts such an exception only if it comes back unchanged. Hostile code may also re-enter the
object under test through `Reentry.hook`, which the harness points at the current target.
"""

from __future__ import annotations

import array
import io
import itertools
import math
import random
import struct

try:
    import numpy as np
except ImportError:  # the harness still runs, without numpy-made buffers
    np = None


class FuzzError(Exception):
    """Raised by the harness's own Python objects; must reach the caller unchanged."""


_tokens = itertools.count(1)
RAISED: set[int] = set()


def fuzz_error(where: str) -> FuzzError:
    token = next(_tokens)
    RAISED.add(token)
    if len(RAISED) > 100000:
        RAISED.clear()
        RAISED.add(token)
    return FuzzError(token, where)


def is_own_error(exc: BaseException) -> bool:
    return type(exc) is FuzzError and bool(exc.args) and exc.args[0] in RAISED


class Reentry:
    """Where hostile code reaches back into the object under test (set by the harness)."""

    hook = None  # callable(rng) or None
    depth = 0
    file_read_raised = False  # a FuzzFile.read raised during the current call

    @classmethod
    def maybe(cls, rng: random.Random, p: float = 0.3) -> None:
        if cls.hook is None or cls.depth > 1 or rng.random() >= p:
            return
        cls.depth += 1
        try:
            cls.hook(rng)
        except BaseException:  # whatever the re-entrant call raised stays inside this hook
            pass
        finally:
            cls.depth -= 1


# ---------------------------------------------------------------------------------------------
# Numbers

INTS = [0, 1, -1, 2, 3, 4, 5, 7, 8, 12, 15, 16, 17, 31, 32, 64, 96, 97, 127, 128, 255, 256, 257,
        511, 512, 513, 1023, 1024, 4096, 8192, 32767, 32768, -32768, -32769, 65535, 65536,
        2**30, 2**30 + 1, 2**31 - 1, 2**31, 2**31 + 1, -2**31, -2**31 - 1, 2**32 - 1, 2**32,
        2**32 + 1, 2**32 + 4, -2**32, 2**63 - 1, 2**63, 2**63 + 1, -2**63, -2**63 - 1, 2**64 - 1,
        2**64, 2**64 + 1, -2**64, 2**100, -2**100, 44100, 48000, 384000, 384001, 999, 1000]

FLOATS = [0.0, -0.0, 1.0, -1.0, 0.5, 2.0, 0.999, 1.0001, -0.5, 10.0, 100.0, 1000.0, 20000.0,
          48000.0, 1e9, -1e9, 1e-9, 1e-10, 1e-20, 1e-45, 5e-324, 1.1754943508222875e-38,
          3.4028234663852886e38, 3.5e38, -3.5e38, 1e308, -1e308, 2.0**31, 2.0**32 + 4, 2.0**63,
          -2.0**63, 2.0**64, math.nan, -math.nan, math.inf, -math.inf, 0.1, 0.70710677, 30.0]


class HostileNumber:
    """A number whose conversions run Python code: they may re-enter the target, raise, or give
    values of the wrong type."""

    def __init__(self, rng: random.Random, value):
        self.rng = rng
        self.value = value
        self.mode = rng.choice(["ok", "ok", "raise", "wrong", "reenter"])

    def _convert(self, kind):
        if self.mode == "raise":
            raise fuzz_error(kind)
        Reentry.maybe(self.rng, 1.0 if self.mode == "reenter" else 0.1)
        if self.mode == "wrong":
            return "not a number"
        return self.value

    def __index__(self):
        v = self._convert("__index__")
        return v if isinstance(v, str) else int(v) if not isinstance(v, float) or math.isfinite(v) else 0

    def __float__(self):
        v = self._convert("__float__")
        return v if isinstance(v, str) else float(v)

    def __int__(self):
        return self.__index__()

    def __bool__(self):
        v = self._convert("__bool__")
        return v if isinstance(v, str) else bool(v)

    def __repr__(self):
        return f"HostileNumber({self.value!r}, {self.mode})"


class ClearingNumber:
    """A sequence item whose conversion empties the sequence that holds it."""

    def __init__(self, target: list, value):
        self.target = target
        self.value = value

    def __float__(self):
        self.target.clear()
        return float(self.value)

    def __index__(self):
        self.target.clear()
        return int(self.value)

    def __repr__(self):
        return f"ClearingNumber({self.value!r})"


def integer(rng: random.Random):
    r = rng.random()
    if r < 0.45:
        return rng.choice(INTS)
    if r < 0.8:
        return rng.randint(-4, 300)
    if r < 0.85:
        return rng.randint(-2**22, 2**22)
    if r < 0.9:
        # Beyond 32 bits. Counts between about 2^24 and 2^32 mostly pass the allocation and then
        # legitimately run for minutes under the sanitizers; the boundary values above cover them.
        return rng.choice([-1, 1]) * rng.randint(2**32, 2**40)
    if r < 0.95:
        return rng.choice([True, False])
    return HostileNumber(rng, rng.choice(INTS))


def real(rng: random.Random):
    r = rng.random()
    if r < 0.5:
        return rng.choice(FLOATS)
    if r < 0.75:
        return rng.uniform(-2.0, 2.0)
    if r < 0.85:
        return rng.uniform(-1e6, 1e6)
    if r < 0.92:
        return rng.choice(INTS)
    if r < 0.96:
        return struct.unpack("<d", rng.randbytes(8))[0]  # any bit pattern, NaN payloads too
    return HostileNumber(rng, rng.choice(FLOATS))


def truth(rng: random.Random):
    return rng.choice([True, False, 0, 1, 2, None, "", "x", [], [0], HostileNumber(rng, 1)])


# ---------------------------------------------------------------------------------------------
# Buffers

SIZES = [0, 1, 2, 3, 4, 5, 6, 7, 8, 12, 16, 31, 32, 64, 510, 512, 514, 1023, 1024, 1026, 2048, 4096]


def size(rng: random.Random) -> int:
    r = rng.random()
    if r < 0.6:
        return rng.choice(SIZES)
    if r < 0.95:
        return rng.randrange(0, 2049)
    return rng.choice([8191, 8192, 16384, 65536, 262144])


def pcm_bytes(rng: random.Random, n: int) -> bytes:
    """n bytes of s16-looking content: silence, extremes, noise or a tone."""
    k = rng.random()
    if k < 0.2:
        return bytes(n)
    if k < 0.4:
        return (struct.pack("=h", rng.choice([-32768, 32767])) * (n // 2 + 1))[:n]
    if k < 0.6 and n >= 2:
        samples = n // 2
        out = struct.pack(f"={samples}h", *(int(32767 * math.sin(i * 0.05)) for i in range(samples)))
        return out + bytes(n - len(out))
    return rng.randbytes(n)


class HostileBuffer:
    """An exporter written in Python: its __buffer__ may re-enter the target, raise, or hand out an
    odd view; its __release_buffer__ may resize the storage it exported (allowed once released)."""

    def __init__(self, rng: random.Random, data: bytes):
        self.rng = rng
        self.storage = bytearray(data)
        self.mode = rng.choice(["ok", "raise", "wrong", "reenter", "shaped", "release_resizes"])

    def __buffer__(self, flags):
        if self.mode == "raise":
            raise fuzz_error("__buffer__")
        if self.mode == "wrong":
            return b"not a memoryview"
        Reentry.maybe(self.rng, 1.0 if self.mode == "reenter" else 0.1)
        view = memoryview(self.storage)
        if self.mode == "shaped" and len(self.storage) % 4 == 0 and self.storage:
            view = view.cast("B", shape=[2, len(self.storage) // 2])
        return view

    def __release_buffer__(self, view):
        view.release()
        Reentry.maybe(self.rng, 0.3)
        if self.mode == "release_resizes":
            try:
                self.storage.extend(b"\0\0")
            except BufferError:
                pass

    def __repr__(self):
        return f"HostileBuffer({len(self.storage)}, {self.mode})"


def buffer(rng: random.Random, nbytes: int | None = None, writable: bool | None = None, pool=None):
    """A bytes-like object of many kinds: plain, unaligned, read-only, multi-dimensional,
    non-contiguous, typed, numpy-made, Python-made, or one pinned by a BufferOwner."""
    n = size(rng) if nbytes is None else nbytes
    data = pcm_bytes(rng, n)
    kinds = ["bytes", "bytearray", "bytearray", "odd_offset", "readonly", "cast", "multidim",
             "strided", "array", "hostile", "numpy", "numpy_strided", "numpy_2d", "pinned", "view_of_bytes"]
    if writable:
        kinds = ["bytearray", "bytearray", "bytearray", "odd_offset", "cast", "multidim", "strided",
                 "array", "numpy", "numpy_strided", "pinned", "readonly", "bytes", "hostile"]
    kind = rng.choice(kinds)
    if kind == "bytes":
        return data
    if kind == "bytearray":
        return bytearray(data)
    if kind == "odd_offset":
        return memoryview(bytearray(b"\x55" + data))[1:]
    if kind == "readonly":
        return memoryview(bytearray(data)).toreadonly()
    if kind == "cast":
        fmt = rng.choice(["h", "H", "b", "i", "f", "q", "d", "c"])
        width = struct.calcsize(fmt)
        cut = n - n % width
        return memoryview(bytearray(data[:cut])).cast(fmt)
    if kind == "multidim":
        if n >= 4 and n % 4 == 0:
            return memoryview(bytearray(data)).cast("h", shape=[2, n // 4])
        if n:
            return memoryview(bytearray(data)).cast("B", shape=[1, n])
        return memoryview(bytearray(data))
    if kind == "strided":
        return memoryview(bytearray(data + data))[::2]
    if kind == "array":
        code = rng.choice(["h", "H", "b", "B", "i", "f", "d", "q"])
        width = array.array(code).itemsize
        a = array.array(code)
        a.frombytes(data[: n - n % width])
        return a
    if kind == "hostile":
        return HostileBuffer(rng, data)
    if kind == "pinned" and pool is not None:
        return pool.pinned_bytearray(data)
    if np is not None and kind.startswith("numpy"):
        raw = np.frombuffer(data[: n - n % 2], dtype=np.int16).copy()
        if kind == "numpy_strided":
            return np.repeat(raw, 2)[::2]
        if kind == "numpy_2d" and raw.size % 2 == 0:
            return np.asfortranarray(raw.reshape(2, -1)) if rng.random() < 0.5 else raw.reshape(-1, 2)
        choice = rng.random()
        if choice < 0.2:
            raw = raw.astype(">i2")
        elif choice < 0.4:
            raw.flags.writeable = False
        elif choice < 0.5:
            raw = raw.astype(np.float32)
        return raw
    return memoryview(data) if kind == "view_of_bytes" else bytearray(data)


def pcm_buffer(rng: random.Random, frame_bytes: int = 4, frames: int | None = None, pool=None):
    """A buffer whose length is a whole number of frames (most of the time)."""
    if frames is None:
        frames = rng.choice([0, 1, 2, 3, 16, 255, 256, 257, 512, rng.randrange(0, 1100)])
    n = frames * frame_bytes
    if rng.random() < 0.1:
        n += rng.choice([-1, 1, 2])
    return buffer(rng, max(n, 0), pool=pool)


# ---------------------------------------------------------------------------------------------
# Sequences

def sequence(rng: random.Random):
    n = rng.choice([0, 1, 3, 4, 8, 11, 12, 13, 16, 32, 127, 128, 129, 200])
    items = []
    for _ in range(n):
        r = rng.random()
        items.append(rng.choice([4, 100, 1000, 4096, 700000, 4194304, 4194305, 0, 1, 11, 12])
                     if r < 0.5 else real(rng) if r < 0.9 else rng.choice(["x", None, [1]]))
    kind = rng.random()
    if kind < 0.5:
        return items
    if kind < 0.7:
        return tuple(items)
    if kind < 0.8:
        items.append(ClearingNumber(items, 100))
        rng.shuffle(items)
        return items
    if kind < 0.9:
        return BadSequence(rng, items)
    return iter(items)


class BadSequence:
    """Claims one length and delivers another, or raises while being read."""

    def __init__(self, rng, items):
        self.rng = rng
        self.items = items
        self.claim = rng.choice([len(items), len(items) + 5, 0, 2**31])

    def __len__(self):
        return self.claim

    def __getitem__(self, i):
        Reentry.maybe(self.rng, 0.05)
        if self.rng.random() < 0.05:
            raise fuzz_error("__getitem__")
        return self.items[i]

    def __repr__(self):
        return f"BadSequence({len(self.items)} items, claims {self.claim})"


# ---------------------------------------------------------------------------------------------
# Files

class FuzzFile:
    """A file object that misbehaves on purpose: reads that return too much, the wrong type or
    raise; seek/tell that raise or answer nonsense; seekable() with odd results; and calls that
    re-enter the stream that reads from it."""

    def __init__(self, rng: random.Random, data: bytes):
        self.rng = rng
        self.data = data
        self.pos = 0
        self.read_mode = rng.choice(["ok", "ok", "ok", "too_much", "wrong_type", "raise", "raise_later",
                                     "short", "memoryview", "numpy", "reenter", "empty"])
        self.seek_mode = rng.choice(["ok", "ok", "raise", "nonsense", "reenter"])
        self.tell_mode = rng.choice(["ok", "ok", "raise", "str", "huge", "negative", "float"])
        self.seekable_mode = rng.choice([True, True, False, "raise", "bad_bool", None, 2])
        self.reads = 0

    def seekable(self):
        m = self.seekable_mode
        if m == "raise":
            raise fuzz_error("seekable")
        if m == "bad_bool":
            return HostileNumber(self.rng, 1)
        return m

    def read(self, n=-1):
        self.reads += 1
        m = self.read_mode
        if m == "reenter":
            Reentry.maybe(self.rng, 0.5)
        if m == "raise" or (m == "raise_later" and self.reads > 3):
            Reentry.file_read_raised = True
            raise fuzz_error("read")
        if m == "wrong_type":
            return self.rng.choice(["text", None, 42, [b"x"], HostileNumber(self.rng, 3)])
        if m == "empty":
            return b""
        if not isinstance(n, int) or n < 0:
            n = len(self.data)
        if m == "too_much":
            n = n * 3 + 7
        if m == "short":
            n = min(n, self.rng.randrange(1, 64))
        chunk = self.data[self.pos:self.pos + n]
        self.pos += len(chunk)
        if m == "too_much" and self.rng.random() < 0.3:
            chunk += self.rng.randbytes(self.rng.randrange(1, 300))
        if m == "memoryview":
            return memoryview(bytearray(chunk))
        if m == "numpy" and np is not None and len(chunk) % 2 == 0:
            return np.frombuffer(chunk, dtype=np.int16)
        return chunk

    def seek(self, offset, whence=0):
        m = self.seek_mode
        if m == "raise":
            raise fuzz_error("seek")
        if m == "reenter":
            Reentry.maybe(self.rng, 0.5)
        base = {0: 0, 1: self.pos, 2: len(self.data)}.get(whence, 0)
        if m == "nonsense":
            self.pos = self.rng.choice([0, len(self.data), len(self.data) + 100, self.rng.randrange(0, len(self.data) + 1)])
            return "nonsense"
        self.pos = max(0, base + offset)
        return self.pos

    def tell(self):
        m = self.tell_mode
        if m == "raise":
            raise fuzz_error("tell")
        if m == "str":
            return "0"
        if m == "huge":
            return 2**70
        if m == "negative":
            return -5
        if m == "float":
            return 1.5
        return self.pos

    def close(self):
        pass

    def __repr__(self):
        return (f"FuzzFile({len(self.data)} bytes, read={self.read_mode}, seek={self.seek_mode}, "
                f"tell={self.tell_mode}, seekable={self.seekable_mode})")


def file_data(rng: random.Random, ogg: bytes | None) -> bytes:
    if not ogg or rng.random() < 0.15:
        return rng.choice([b"", b"OggS", rng.randbytes(rng.randrange(0, 600)),
                           b"OggS" + rng.randbytes(200)])
    r = rng.random()
    if r < 0.45:
        return ogg
    if r < 0.65:
        return ogg[: rng.randrange(0, len(ogg))]
    data = bytearray(ogg)
    for _ in range(rng.randrange(1, 12)):
        data[rng.randrange(len(data))] = rng.randrange(256)
    return bytes(data)


# ---------------------------------------------------------------------------------------------
# Anything

class Opaque:
    def __repr__(self):
        return "Opaque()"


def anything(rng: random.Random, pool=None, ogg=None):
    r = rng.randrange(14)
    if r == 0:
        return integer(rng)
    if r == 1:
        return real(rng)
    if r == 2:
        return buffer(rng, pool=pool)
    if r == 3:
        return None
    if r == 4:
        return rng.choice(["", "x", "h", "\udcff", "B" * 100])
    if r == 5:
        return sequence(rng)
    if r == 6:
        return rng.choice([Opaque(), object(), 1j, {}, set(), Ellipsis, NotImplemented, type, len])
    if r == 7:
        return HostileNumber(rng, rng.choice(INTS + FLOATS))
    if r == 8:
        return FuzzFile(rng, file_data(rng, ogg))
    if r == 9 and pool is not None:
        return pool.any_object(rng)
    if r == 10:
        return rng.choice([True, False])
    if r == 11:
        return b""
    if r == 12:
        return memoryview(b"")
    return bytearray(rng.choice([0, 1, 2, 3, 4]))
