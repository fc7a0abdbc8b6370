"""Wavetable voice rendering against the numpy code a user would write for the same job.

The voice is a 2048-sample sine table looped whole, played at 440 Hz (48 kHz) and panned into a
stereo 32-bit voice buffer. numpy: the phases of the block as one index computation (phase + k *
step with the loop wrap as a modulo), a gather from the table and the two gains, truncating as
the native kernel does. Its output is checked to be identical before timing.
"""

import array

import numpy as np

import _sonolith as so

RATE = 48000
BLOCK = 256
LONG = RATE * 60  # 60 s; one native call renders at most 65535 frames
MAX_CALL = 65535

TABLE = 2048
STEP = int(440 * TABLE / RATE * 65536)
LEFT, RIGHT = 23170, 9000  # about -9 dB and -17 dB

_K = np.arange(1, LONG + 1, dtype=np.int64)


def _np_oscillator(wave, phase, step, loop_start, loop_end, left, right, frames):
    ls, le = loop_start << 16, loop_end << 16
    p = phase + step * _K[:frames]
    over = p >= le
    p[over] = ls + (p[over] - ls) % (le - ls)
    v = wave[p >> 16].astype(np.int32)
    out = np.empty((frames, 2), np.int32)
    for ch, g in enumerate((left, right)):
        x = v * g
        out[:, ch] = (x + ((x >> 31) & 65535)) >> 16  # division by 65536 truncating towards zero
    return out.tobytes(), int(p[-1]) if frames else phase


def _so_render(wave, frames):
    """Renders `frames` frames in as many calls as needed, carrying the phase."""
    phase, parts = 0, []
    while frames:
        n = min(frames, MAX_CALL)
        data, phase = so.oscillator_i32(wave, phase, STEP, 0, TABLE, LEFT, RIGHT, 2, n)
        parts.append(data)
        frames -= n
    return parts, phase


def register(bench):
    table = np.round(np.sin(2 * np.pi * np.arange(TABLE) / TABLE) * 32000).astype(np.int16)
    wave = array.array("h", table.tobytes())

    ours, _ = so.oscillator_i32(wave, 0, STEP, 0, TABLE, LEFT, RIGHT, 2, 4096)
    theirs, _ = _np_oscillator(table, 0, STEP, 0, TABLE, LEFT, RIGHT, 4096)
    assert ours == theirs, "numpy reference differs from the native kernel"

    copy_src = bytes(8 * BLOCK)
    copy_dst = bytearray(len(copy_src))
    bench.case("oscillator_i32 stereo, 256-frame blocks", BLOCK, {
        "sonolith": lambda: so.oscillator_i32(wave, 0, STEP, 0, TABLE, LEFT, RIGHT, 2, BLOCK),
        "numpy": lambda: _np_oscillator(table, 0, STEP, 0, TABLE, LEFT, RIGHT, BLOCK),
        "copy (same bytes)": lambda: copy_dst.__setitem__(slice(None), copy_src),
    })
    long_src = bytes(8 * LONG)
    long_dst = bytearray(len(long_src))
    bench.case("oscillator_i32 stereo, 60 s (65535-frame calls)", LONG, {
        "sonolith": lambda: _so_render(wave, LONG),
        "numpy (one pass)": lambda: _np_oscillator(table, 0, STEP, 0, TABLE, LEFT, RIGHT, LONG),
        "copy (same bytes)": lambda: long_dst.__setitem__(slice(None), long_src),
    })
