"""Reference model of ConvolverState: the partitioned overlap-save pipeline in float32 (one
rounding per operation, the spectral sum per bin in the order of the partitions), the block
boundary, the crossfaded impulse replacement, the output conversion and the silence detector.
The real transforms are the meter model's forward one and the inverse below."""

import numpy as np

from tests.models import room
from tests.models.meter import F


def real_inverse(plan, xr, xi):
    """xr, xi: the m + 1 bins; returns the n real float32 samples."""
    m = plan.m
    k = np.arange(m)
    zr, zi, yr, yi = xr[:m], xi[:m], xr[m - k], xi[m - k]
    c, s = plan.v_re, -plan.v_im
    e = (zr - yr) * F(0.5)
    g = (yi + zi) * F(0.5)
    re = (yr + zr) * F(0.5) - (c * g + s * e)
    im = c * e - s * g + (zi - yi) * F(0.5)
    re, im = plan.complex_forward(re, -im)
    out = np.empty(2 * m, F)
    out[0::2], out[1::2] = re, -im
    return out * (F(1) / F(m))


def to_s16(y):
    t = np.where(y < 0, y - F(0.5), y + F(0.5))
    t = np.nan_to_num(np.clip(t, F(-32768), F(32767)), nan=0.0)
    return np.trunc(t).astype(np.int16)


class Convolver:
    def __init__(self, sample_rate=48000, partitions=1, ir_channels=1, channel_count=2):
        self.fs, self.p, self.irc, self.ch = sample_rate, partitions, ir_channels, channel_count
        self.plan = room.plan512()
        self.mix, self.wet = F(1), F(1)
        self.imp_re = np.zeros((ir_channels, partitions, 257), F)
        self.imp_im = np.zeros((ir_channels, partitions, 257), F)
        self.loaded, self.peak = 0, F(0)
        self.reset()

    def reset(self):
        self.blocks = np.zeros((2, 512), F)
        self.acc = np.zeros((2, 256), F)
        self.out = np.zeros((2, 256), F)
        self.hist_re = np.zeros((2, self.p, 257), F)
        self.hist_im = np.zeros((2, self.p, 257), F)
        self.pos = self.slot = 0
        self.lmix, self.lgain = self.mix, self.wet
        self.silent, self.run = 0, 0

    def configure(self, option, value):
        v = F(value)
        if option == 0:
            self.mix = F(0.5 if np.isnan(v) else min(max(v, F(0)), F(1))) * F(2)
        else:
            self.wet = F(1 if np.isnan(v) else min(max(v, F(0)), F(4)))

    def convolve_block(self, ch):
        j = ch if self.irc == 2 else 0
        are, aim = np.zeros(257, F), np.zeros(257, F)
        for i in range(self.loaded):
            hr, hi = self.imp_re[j, i], self.imp_im[j, i]
            s = (self.slot - i) % self.p
            xr, xi = self.hist_re[ch, s], self.hist_im[ch, s]
            are = are + (hr * xr - hi * xi)
            aim = aim + (hr * xi + hi * xr)
        return real_inverse(self.plan, are, aim)

    def mix_gains(self):
        c = self.lmix
        return min(c, F(1)), min(F(2) - c, F(1))

    def boundary(self):
        self.lmix, self.lgain = self.mix, self.wet
        self.slot = (self.slot + 1) % self.p
        wet_c, dry = self.mix_gains()
        wet = wet_c * self.lgain
        for ch in range(self.ch):
            self.blocks[ch, :256] = self.blocks[ch, 256:]
            self.blocks[ch, 256:] = self.acc[ch]
            xr, xi = self.plan.real_forward(self.blocks[ch].copy())
            self.hist_re[ch, self.slot], self.hist_im[ch, self.slot] = xr, xi
            self.out[ch] = wet * self.convolve_block(ch)[256:] + dry * self.acc[ch]

    def stream(self, x):
        """x: int16 array (frames, channels); returns the output int16 array."""
        if self.loaded == 0:
            return x.copy()
        y = np.empty_like(x)
        done = 0
        while done < len(x):
            k = min(len(x) - done, 256 - self.pos)
            for ch in range(self.ch):
                y[done:done + k, ch] = to_s16(self.out[ch, self.pos:self.pos + k])
                self.acc[ch, self.pos:self.pos + k] = x[done:done + k, ch].astype(F)
            done += k
            self.pos += k
            if self.pos == 256:
                self.boundary()
                self.pos = 0
        return y

    def process(self, pcm):
        x = np.frombuffer(pcm, np.int16).reshape(-1, self.ch)
        if len(x):
            self.silent = self.run = 0
        return self.stream(x).tobytes()

    def process_silence(self, frames):
        y = np.zeros((frames, self.ch), np.int16)
        if self.silent or frames == 0:
            return y.tobytes()
        y = self.stream(y)
        if y.any():
            self.run = 0
        else:
            self.run += frames
            if self.run >= self.loaded * 256 + 256:
                self.run = 0
                state = (self.blocks, self.acc, self.out, self.hist_re, self.hist_im)
                if self.loaded == 0 or all(np.all(a == 0) for a in state):
                    self.silent = 1
        return y.tobytes()

    def replace(self, imp_re, imp_im, length):
        fade = self.loaded > 0 and length > 0
        if fade:
            for ch in range(self.ch):
                self.blocks[ch, :256] = self.convolve_block(ch)[256:]
        self.imp_re, self.imp_im, self.loaded = imp_re, imp_im, length
        if not fade:
            self.reset()
            return
        wet_c, dry = self.mix_gains()
        g_old, g_new, pos = self.lgain, self.wet, self.pos
        w = np.arange(pos, 256)
        r = (w - pos + 1).astype(F) / F(256 - pos)
        for ch in range(self.ch):
            new = self.convolve_block(ch)[256:][pos:]
            old = self.blocks[ch, pos:256]
            self.out[ch, pos:] = (wet_c * (g_old * old + r * (g_new * new - g_old * old))
                                  + dry * self.acc[ch, pos:])
        self.lgain = self.wet

    def load(self, pcm, channels=1, gain=1.0):
        x = np.frombuffer(pcm, np.int16).reshape(-1, channels)
        frames = len(x)
        g = F(gain) * F(2.0 ** -15)
        re = np.zeros((self.irc, self.p, 257), F)
        im = np.zeros((self.irc, self.p, 257), F)
        for j in range(self.irc):
            src = x[:, min(j, channels - 1)].astype(F) * g
            src = np.concatenate([src, np.zeros(self.p * 256 - frames, F)])
            for k in range(self.p):
                block = np.concatenate([src[k * 256:(k + 1) * 256], np.zeros(256, F)])
                re[j, k], im[j, k] = self.plan.real_forward(block)
        self.replace(re, im, min(self.p, -(-frames // 256)))
        self.peak = F(0)

    def synthesize(self, *args):
        _, spectra, peak = room.generate(self.fs, self.p, self.irc, *args)
        re = np.array([[s[0] for s in ch] for ch in spectra], F)
        im = np.array([[s[1] for s in ch] for ch in spectra], F)
        self.replace(re, im, self.p)
        self.peak = peak
