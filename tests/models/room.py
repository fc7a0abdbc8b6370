"""Reference model of the synthetic room impulse: xorshift noise, one-pole low-pass, envelope,
predelay and fade-in in double precision, samples in float32, the normalisation pass, and the
peak estimate (step sum and 17 square-wave folds)."""

import math

import numpy as np

from tests.models.meter import Plan

F = np.float32
EIGHTHS = [2.0 ** (m / 8) for m in range(17)]  # correctly rounded in CPython for these m
_PLAN = None


def plan512():
    global _PLAN
    if _PLAN is None:
        _PLAN = Plan(512)
    return _PLAN


def exp_series(x):
    x = min(max(x, -1.0), 0.0)
    t2 = x * 0.5 * x
    t3 = x / 3 * t2
    t4 = x * 0.25 * t3
    t5 = x / 5 * t4
    t6 = x / 6 * t5
    t7 = x / 7 * t6
    t8 = x * 0.125 * t7
    t9 = x / 9 * t8
    return t9 + (x + 1 + t2 + t3 + t4 + t5 + t6 + t7 + t8)


def clamp(v, lo, hi):
    return lo if not v >= lo else min(v, hi)


def half_periods(fs):
    return [max(1, math.floor(fs / (EIGHTHS[m] * 80.0) + 0.5)) for m in range(17)]


def samples(fs, partitions, channel, scale, decay, damping, predelay, fade, seed):
    """One impulse channel as doubles (scale None) or float32 samples."""
    decay, predelay, fade = (float(F(v)) for v in (decay, predelay, fade))
    damping = float(F(damping))
    decay = clamp(decay, float(F(0.05)), 30.0)  # the bounds are floats
    predelay, fade = clamp(predelay, 0.0, 200.0), clamp(fade, 0.0, 500.0)
    u = exp_series(-6.907755278982138 / (decay * fs))
    g = 1 - exp_series(damping * -6.283185307179586 / fs) if damping > 0 and fs * 0.25 > damping else 1.0
    h = int(fade * 0.001 * fs) & 0xFFFFFFFF
    inv = 1 / h if h else 0.0
    n_total = partitions * 256
    p0 = min(n_total, int(predelay * 0.001 * fs))
    a = (seed + channel * 0x9E3779B9) & 0xFFFFFFFF or 1
    c, d = 0.0, 1.0
    out = [0.0] * n_total
    for n in range(p0, n_total):
        a ^= (a << 13) & 0xFFFFFFFF
        a ^= a >> 17
        a ^= (a << 5) & 0xFFFFFFFF
        noise = float(F(((a >> 8) - 0x800000) * 2.0 ** -23))
        c = c + (noise * d - c) * g
        q = n - p0
        out[n] = q * inv * c if q < h else c
        d = d * u
    if scale is None:
        return out
    return np.array([v * scale for v in out], F)


def fold_peak(x, fs, v):
    """The step sum and square-wave folds of one normalised impulse channel x (float32)."""
    s = np.add.accumulate(np.concatenate([[F(0)], x]).astype(F))
    v = max(v, F(np.max(np.abs(s))))
    for hm in half_periods(fs):
        area = np.zeros(hm, F)
        for e in range(0, len(x), 256):
            block = x[e:e + 256]
            i, negative, l = e % hm, (e // hm) % 2 == 1, 0
            while l < 256:
                run = min(256 - l, hm - i)
                part = -block[l:l + run] if negative else block[l:l + run]
                area[i:i + run] = area[i:i + run] + part
                l, i = l + run, i + run
                if i == hm:
                    i, negative = 0, not negative
        r = np.add.accumulate(area)
        v = max(v, F(np.max(np.abs(F(2) * r - r[-1]))))
    return v


def generate(fs, partitions, ir_channels, decay, damping, predelay, fade, seed):
    """(impulses as float32 arrays, spectra [(re, im)] per channel and partition, peak)."""
    args = (decay, damping, predelay, fade, seed)
    scales = []
    for j in range(ir_channels):
        energy = 0.0
        for value in samples(fs, partitions, j, None, *args):
            energy += value * value
        scales.append(1 / math.sqrt(energy) if energy > 0 else 0.0)
    impulses, spectra, t = [], [], F(0)
    for j in range(ir_channels):
        x = samples(fs, partitions, j, scales[j], *args)
        impulses.append(x)
        t = max(t, fold_peak(x, fs, F(0)))
        spectra.append([plan512().real_forward(np.concatenate([x[k * 256:(k + 1) * 256],
                                                               np.zeros(256, F)]))
                        for k in range(partitions)])
    return impulses, spectra, t
