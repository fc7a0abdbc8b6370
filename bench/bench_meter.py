"""The spectrum and level meter against the numpy code a user would write for the same display.

The numpy meter does what MeterState does, 60 analyses per second: mono mix, a sixth-order
700 Hz Butterworth low-pass (scipy's sosfilt, or none without scipy) decimated by 16, a Hann
windowed 1024-point numpy.fft.rfft for the upper bands and a 512-point one on every second
analysis for the bands below 400 Hz, band sums with fractional edge bins as one matrix product,
peak and mean square per analysis, and decibel codes by a search in the same threshold table. It
is handed int16 arrays ready-made and batches every analysis that falls inside one call into one
2-D transform.

The last case prices one analysis: MeterState fed 16 mono frames at 1 kHz (one hop, so one
analysis and almost no per-sample work) against numpy's 1024-point rfft of a ready float32
array alone; its "Mframes/s" column reads as millions of analyses per second.
"""

import numpy as np

import _sonolith as so

try:
    from scipy import signal
except ImportError:  # pragma: no cover - the bench extra installs it
    signal = None

RATE = 48000
LONG = RATE * 60
BLOCK = 256
BANDS, LOW, HIGH = 24, 20.0, 20000.0
SCALE = np.array([np.float32(10.0 ** ((i - 199.5) / 20.0)) for i in range(255)], np.float32)


def _hann(n):
    return (0.5 - 0.5 * np.cos(2 * np.pi * np.arange(n) / n)).astype(np.float32)


def _weights(lo, hi, width, bins):
    """Band-by-bin weights: whole bins inside a band, the edge bins by the part covered."""
    w = np.zeros((len(lo), bins), np.float32)
    for j, (a, b) in enumerate(zip(lo / width, hi / width)):
        for k in range(max(0, int(a + 0.5)), min(bins - 1, int(b + 0.5)) + 1):
            w[j, k] = max(0.0, min(b, k + 0.5) - max(a, k - 0.5))
    return w


def _codes(power):
    return np.searchsorted(SCALE, power, side="right").astype(np.uint8)


class NumpyMeter:
    def __init__(self, rate=RATE):
        self.hop = rate // 60
        edges = LOW * (HIGH / LOW) ** (np.arange(BANDS + 1) / BANDS)
        lo, hi = edges[:-1], edges[1:]
        self.lowres = np.sqrt(lo * hi) < 400
        self.w_full = _weights(lo[~self.lowres], hi[~self.lowres], rate / 1024, 513)
        self.w_low = _weights(lo[self.lowres], hi[self.lowres], rate / 8192, 257)
        self.win_full, self.win_low = _hann(1024), _hann(512)
        self.norm_full = 2 / (1024 * np.sum(self.win_full.astype(np.float64) ** 2))
        self.norm_low = 2 / (512 * np.sum(self.win_low.astype(np.float64) ** 2))
        self.sos = signal.butter(6, 700, fs=rate, output="sos") if signal else None
        self.zi = np.zeros((3, 2)) if signal else None
        self.full = np.zeros(1023, np.float32)  # history before the block
        self.dec = np.zeros(511, np.float32)
        self.phase = 0  # input samples since the last decimated sample
        self.since = 0
        self.analyses = 0
        self.peak = self.sumsq = 0.0
        self.count = 0
        self.codes = np.zeros(BANDS, np.uint8)
        self.levels = (0, 0)

    def feed(self, x):
        mono = (x[:, 0].astype(np.float32) + x[:, 1]) * np.float32(1 / 65536)
        n = len(mono)
        if self.sos is not None:
            y, self.zi = signal.sosfilt(self.sos, mono, zi=self.zi)
        else:
            y = mono
        first = 15 - self.phase
        decimated = y[first::16].astype(np.float32)
        self.phase = (self.phase + n) % 16
        full = np.concatenate([self.full, mono])
        dec = np.concatenate([self.dec, decimated])
        ends = np.arange(self.hop - self.since - 1, n, self.hop)  # block index of each analysis
        if len(ends):
            frames = np.lib.stride_tricks.sliding_window_view(full, 1024)[ends]
            power = np.abs(np.fft.rfft(frames * self.win_full, axis=1)) ** 2
            power[:, 0] = 0
            codes = np.empty((len(ends), BANDS), np.uint8)
            codes[:, ~self.lowres] = _codes(power @ self.w_full.T * self.norm_full * 2)
            # decimated samples up to each analysis; the low transform on every second one
            dec_ends = (ends - first) // 16 + 1
            even = (self.analyses + np.arange(len(ends))) % 2 == 0
            lows = np.lib.stride_tricks.sliding_window_view(dec, 512)[dec_ends[even]]
            if len(lows):
                p = np.abs(np.fft.rfft(lows * self.win_low, axis=1)) ** 2
                p[:, 0] = 0
                low_codes = _codes(p @ self.w_low.T * self.norm_low * 2)
                latest = np.cumsum(even) - 1  # index of the latest low transform, -1: none yet
                codes[:, self.lowres] = np.where(latest[:, None] >= 0,
                                                 low_codes[np.maximum(latest, 0)],
                                                 self.codes[self.lowres])
            else:
                codes[:, self.lowres] = self.codes[self.lowres]
            self.codes = codes[-1]
            bounds = np.concatenate([[0], ends + 1])
            a = np.abs(mono[:ends[-1] + 1])
            peaks = np.maximum.reduceat(a, bounds[:-1])
            sums = np.add.reduceat(a * a, bounds[:-1])
            peaks[0] = max(peaks[0], self.peak)
            sums[0] += self.sumsq
            counts = np.diff(bounds)
            counts[0] += self.count
            self.levels = (_codes(peaks[-1:] ** 2)[0], _codes(sums[-1:] / counts[-1])[0])
            self.analyses += len(ends)
            rest = mono[ends[-1] + 1:]
            self.peak, self.sumsq, self.count = float(np.max(np.abs(rest), initial=0)), float(
                np.sum(rest * rest)), len(rest)
        else:
            self.peak = max(self.peak, float(np.max(np.abs(mono), initial=0)))
            self.sumsq += float(np.sum(mono * mono))
            self.count += n
        self.since = (self.since + n) % self.hop
        self.full = full[-1023:]
        self.dec = dec[-511:]


def register(bench):
    rng = np.random.default_rng(1)
    for frames, label in ((BLOCK, "256-frame blocks"), (LONG, "60 s 48 kHz stereo")):
        pcm = rng.integers(-20000, 20000, (frames, 2), dtype=np.int16)
        data = pcm.tobytes()
        meter = so.MeterState()
        meter.configure(BANDS, LOW, HIGH)
        numpy_meter = NumpyMeter()
        bench.case(f"MeterState.feed, {label}", frames, {
            "sonolith": lambda d=data, m=meter: m.feed(d, RATE, 2),
            "numpy meter": lambda a=pcm, m=numpy_meter: m.feed(a),
        })

    meter = so.MeterState()
    meter.configure(BANDS, 20.0, 480.0)
    hop = bytes(2 * (1000 // 60))
    block = rng.standard_normal(1024).astype(np.float32)
    bench.case("one analysis vs one 1024-point rfft", 1, {
        "sonolith": lambda d=hop, m=meter: m.feed(d, 1000, 1),
        "numpy.fft.rfft(1024)": lambda b=block: np.fft.rfft(b),
    })
