"""Chorus and phaser written from their descriptions (integer arithmetic, Q15 in the phaser)."""

from .knee import knee, knee_slope, sat16, sat32, tdiv, trunc32, wrap16


def chorus(samples, ring, idx, span, length, voices, wet):
    """Returns (output, new index); ring (a list) is updated in place. An index outside the ring
    is first reduced into it, and taps that step forward (V - 1 > S) wrap at the ring's end."""
    slope = knee_slope(voices)
    idx %= length
    out = []
    for x in samples:
        ring[idx] = x
        if voices == 1:
            e = x
        else:
            spacing = span // (voices - 1) - 1
            k, total = idx, 0
            for _ in range(voices):
                if k < 0:
                    k += length
                elif k >= length:
                    k -= length
                total += ring[k]
                k -= spacing
            e = knee(total, slope)
        # the dry-plus-wet sum saturates at the 32-bit limits
        out.append(knee(sat32(x + trunc32(e * wet)), 2))
        idx = 0 if idx + 1 == length else idx + 1
    return out, idx


def q15(value):
    return wrap16(trunc32(value * 32767))


def phaser(samples, feedback, cells, channels, stages, corner, rate, fb_gain, mix_gain):
    """Returns the output; feedback and cells (lists) are updated in place."""
    mix = q15(mix_gain)
    if mix <= 328:
        return list(samples)
    x = corner / rate
    # a ratio in [-1, 0) would give a coefficient above 1 (infinite at -1): held at 1
    a = q15(1.0 if -1 <= x < 0 else (1 - x) / (1 + x))
    fb = q15(fb_gain)
    out = []
    for i, s in enumerate(samples):
        ch = i % channels
        t = sat16(s + sat16(tdiv(feedback[ch] * fb, 32768)))
        for j in range(stages):
            m = cells[ch * stages + j]
            y = sat16(m + sat16(tdiv(-(a * t), 32768)))
            cells[ch * stages + j] = sat16(t + sat16(tdiv(a * y, 32768)))
            t = y
        feedback[ch] = t
        out.append(knee(s + sat16(tdiv(mix * t, 32768)), 2))
    return out
