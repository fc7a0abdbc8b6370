"""Reference model of the synthesiser voice functions, in plain Python integers.

32-bit two's-complement steps are emulated with explicit wrapping; divisions truncate towards zero,
right shifts of signed values round towards minus infinity (Python's >>).
"""

from .knee import knee as soft_knee, knee_slope

M32 = 0xFFFFFFFF
M64 = 0xFFFFFFFFFFFFFFFF

SEMITONES = [0, 1948, 4013, 6200, 8517, 10972, 13573, 16329, 19248, 22341, 25618, 29090, 32768]
FNV_OFFSET = 14695981039346656037
FNV_PRIME = 1099511628211


def s32(x):
    x &= M32
    return x - (1 << 32) if x & 0x80000000 else x


def s16(x):
    x &= 0xFFFF
    return x - 0x10000 if x & 0x8000 else x


def tdiv(a, b):
    """Division truncating towards zero."""
    q = abs(a) // abs(b)
    return q if (a < 0) == (b < 0) else -q


def clamp16(v):
    return max(-32768, min(32767, v))


def loop_bounds(loop_start, loop_end):
    ls = (loop_start << 16) & M32
    le = (loop_end << 16) & M32
    return ls, le, (le - ls) & M32


def read_wavetable(wave, phase, step, loop_start, loop_end, n):
    """Samples read and final phase, or None when nothing renders: a step above half the span, or
    a span that wraps to 0 with a phase at or past LE (no loop to bring it into)."""
    ls, le, span = loop_bounds(loop_start, loop_end)
    if step > span >> 1 or (span == 0 and phase >= le):
        return None, phase
    if phase >= le:
        phase = (ls + (phase - ls) % span) & M32
    out = []
    for _ in range(n):
        t = (phase + step) & M32
        phase = t if t < le else (t - span) & M32
        out.append(wave[phase >> 16])
    return out, phase


def gained(v, g):
    return clamp16(tdiv(s32(v * g), 65536))


def gain_stage(src, channels, current, target):
    left, right = current
    pending = current != target
    last = None
    out = []
    for v in src:
        if pending:
            if v == 0 or (last is not None and (v > 0) != (last > 0)):
                left, right = target
                pending = False
            else:
                last = v
        out.append(gained(v, left))
        if channels == 2:
            out.append(gained(v, right))
    return out


def oscillator(wave, phase, step, loop_start, loop_end, left, right, channels, frames):
    samples, phase = read_wavetable(wave, phase, step, loop_start, loop_end, frames)
    if samples is None:
        return [0] * (channels * frames), phase
    return gain_stage(samples, channels, (left, right), (left, right)), phase


def oscillator_raw(wave, phase, step, loop_start, loop_end, frames):
    samples, phase = read_wavetable(wave, phase, step, loop_start, loop_end, frames)
    return (samples if samples is not None else [0] * frames), phase


def ring_multiply(voice, wave, phase, step, loop_start, loop_end):
    samples, phase = read_wavetable(wave, phase, step, loop_start, loop_end, len(voice))
    if samples is None:
        return list(voice), phase
    return [min(tdiv(s32(w * v), 32768), 32767) for v, w in zip(voice, samples)], phase


def apply_loudness(voice, left, right, channels, previous_left=None, previous_right=None):
    previous_left = left if previous_left is None else previous_left
    previous_right = right if previous_right is None else previous_right
    return gain_stage(voice, channels, (previous_left, previous_right), (left, right))


def mixdown(samples, headroom=64):
    k = knee_slope(headroom)
    return [soft_knee(v, k) for v in samples]


def pitch_bend(base, bend):
    o = bend >> 15
    f = bend & 32767
    a = f * 24
    k, w = a >> 16, a & 65535
    m = (((SEMITONES[k] * (65535 - w) + SEMITONES[k + 1] * w) & M32) >> 16) + 32768
    return ((base * m) >> ((15 - o) % 64)) & M32


def fnv1a64(data, h=FNV_OFFSET):
    for b in data:
        h = ((h ^ b) * FNV_PRIME) & M64
    return h
