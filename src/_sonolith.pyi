"""Private native core for tallowbox-sonolith."""

from collections.abc import Buffer
from types import TracebackType
from typing import Any, Protocol, final

__version__: str
__revision__: str
ABI_VERSION: int

SPLITTER_CHUNK_FRAMES: int
SPLITTER_RING_FRAMES: int
DYNAMICS_FRAMES: int
MULTIPLY_FRAMES: int
MIDSIDE_FRAMES: int
FEEDBACK_DELAY_FRAMES: int
SHAPER_FRAMES: int
SHAPER_MAX_OVERSAMPLE: int
SAMPLEHOLD_FRAMES: int
SAMPLEHOLD_MAX_RATIO: int
LADDER_FRAMES: int
FILTER_F32_FRAMES: int
FILTER_F32_MAX_STAGES: int
SUBOCTAVE_FRAMES: int
CONVOLVE_FRAMES: int
CONVOLVE_MAX_PARTITIONS: int
METER_MAX_BANDS: int
MODAL_FRAMES: int
MODAL_MAX_MODES: int
TANK_FRAMES: int
TANK_LINES: int
TANK_MAX_TAPS: int

# Mixing and channel utilities (native-endian signed 16-bit PCM)

def mix_s16(first: Buffer, second: Buffer, /) -> bytes:
    """Saturating mix of two native-endian signed 16-bit PCM buffers."""

def multiply_s16(signal: Buffer, modulator: Buffer, depth: float, channel_count: int = 2, /) -> bytes: ...
def midside_s16(buffer: Buffer, width: float, channel_count: int = 2, /) -> bytes: ...
def remix_s16(
    source: Buffer, source_channels: int, dest_channels: int, dest: Buffer | None = None, /
) -> Any:
    """Interleaved s16 native-endian channel convert between 1 and 2 channels. Optional writable dest."""

def meter_db_byte(amplitude: float, /) -> int: ...

# Synthesis on 32-bit voices (native-endian signed 32-bit voice buffers, 16.16 phases)

def oscillator_i32(
    waveform: Buffer, phase: int, step: int, loop_start: int, loop_end: int,
    left_gain: int, right_gain: int, channel_count: int, frames: int, /,
) -> tuple[bytes, int]: ...
def oscillator_raw_i32(
    waveform: Buffer, phase: int, step: int, loop_start: int, loop_end: int, frames: int, /
) -> tuple[bytes, int]: ...
def ring_multiply_i32(
    voice: Buffer, waveform: Buffer, phase: int, step: int, loop_start: int, loop_end: int, /
) -> tuple[bytes, int]: ...
def apply_loudness_i32(
    voice: Buffer, left_gain: int, right_gain: int, channel_count: int,
    previous_left_gain: int = ..., previous_right_gain: int = ..., /,
) -> bytes: ...
def mixdown_i32(samples: Buffer, headroom: int = 64, /) -> bytes: ...
def pitch_bend(base: int, bend: int, /) -> int: ...
def fnv1a64(data: Buffer, start: int = 14695981039346656037, /) -> int: ...

# Distortion, chorus, phaser and pitch shift (native-endian signed 16-bit PCM; caller-held state)

def distortion_s16(
    input: Buffer, drive: float, input_gain_db: float, output_gain_db: float, mode: int,
    limiter: bool, mix: float, /,
) -> bytes: ...
def chorus_s16(
    input: Buffer, ring: Buffer, index: int, span: int, length: int, voices: int, wet_gain: float, /,
) -> tuple[bytes, int]: ...
def phaser_s16(
    input: Buffer, feedback_memory: Buffer, allpass_memory: Buffer, channels: int, stages: int,
    corner: float, rate: float, feedback: float, mix: float, /,
) -> bytes: ...
def pitchshift_s16(
    input: Buffer, line: Buffer, lookahead: Buffer, length: int, lookahead_length: int,
    channels: int, rate: int, write_index: int, lookahead_index: int, read_position: int,
    mix: float, frozen: bool = False, search_window: int = 0, splice: int = 0,
    crossfade: bool = False, direction: bool = False, /,
) -> tuple[bytes, int, int, int, int, bool, bool]: ...

# Echo, multi-tap delay and reverb (native-endian signed 16-bit PCM; the caller owns the delay
# memory and positions, the functions update the memory in place)

def echo_s16(
    input: Buffer, memory: Buffer, position0: int, position1: int, delay: int, capacity: int,
    speed: int, feedback: float, mix: float, variable_speed: bool, channels: int, /,
) -> tuple[bytes, int, int]: ...
def multitap_s16(
    input: Buffer, memory: Buffer, position: int, length: int, channels: int, tap_delays: Buffer,
    tap_gains: Buffer, feedback: float, mix: float, first_channel: int = 0, /,
) -> tuple[bytes, int]: ...
def freeverb_s16(
    input: Buffer, comb_lines: Buffer, comb_positions: Buffer, comb_stores: Buffer,
    allpass_lines: Buffer, allpass_positions: Buffer, room_size: float, damping: float, mix: float,
    channels: int = 1, /,
) -> bytes: ...

# Sample objects

@final
class BufferOwner:
    def __init__(self, exporter: Buffer) -> None: ...
    def release(self) -> None: ...
    def bytes(self) -> bytes: ...
    @property
    def format(self) -> str | None: ...
    @property
    def nbytes(self) -> int: ...
    @property
    def itemsize(self) -> int: ...

@final
class RawSample:
    def __init__(
        self, buffer: Buffer, *, channel_count: int = 1, sample_rate: int = 8000, single_buffer: bool = True
    ) -> None: ...
    def deinit(self) -> None: ...
    def __enter__(self) -> RawSample: ...
    def __exit__(
        self, exc_type: type[BaseException] | None = None, exc: BaseException | None = None,
        tb: TracebackType | None = None, /,
    ) -> None: ...
    def _reset_buffer(self, single_channel_output: bool = False, audio_channel: int = 0) -> None: ...
    def _get_buffer(self, single_channel_output: bool = False, audio_channel: int = 0) -> tuple[int, bytes]: ...
    sample_rate: int
    @property
    def bits_per_sample(self) -> int: ...
    @property
    def channel_count(self) -> int: ...
    @property
    def samples_signed(self) -> bool: ...
    @property
    def single_buffer(self) -> bool: ...
    @property
    def max_buffer_length(self) -> int: ...

# Processors: envelope and fixed-point biquad

@final
class EnvelopeState:
    def __init__(
        self, sample_rate: int, enabled: bool, attack_time: float = 0.0, decay_time: float = 0.0,
        release_time: float = 0.0, attack_level: float = 1.0, sustain_level: float = 1.0,
    ) -> None: ...
    def set_definition(
        self, sample_rate: int, enabled: bool, attack_time: float = 0.0, decay_time: float = 0.0,
        release_time: float = 0.0, attack_level: float = 1.0, sustain_level: float = 1.0,
    ) -> None: ...
    def step(self, samples: int, /) -> None: ...
    def release(self) -> None: ...
    def reattack(self) -> None: ...
    @property
    def level(self) -> int: ...
    @property
    def state(self) -> int: ...

@final
class BiquadState:
    def __init__(self) -> None: ...
    def reset(self) -> None: ...
    def process_i32(
        self, samples: Buffer, type: int, frequency: float, q: float, gain: float, sample_rate: int, /
    ) -> bytes: ...
    def process_s16(
        self, samples: Buffer, type: int, frequency: float, q: float, gain: float, sample_rate: int,
        mix: float, channel_count: int, /,
    ) -> bytes: ...

# Spectrum and level meter (bands and levels as db_byte_scale codes, code c meaning c - 200 dB)

@final
class MeterState:
    def __init__(self) -> None: ...
    def configure(self, bands: int, low_hz: float, high_hz: float, /) -> None: ...
    def feed(self, samples: Buffer, sample_rate: int, channels: int = 2, /) -> None: ...
    def read(self) -> tuple[int, bytes, int, int]:
        """(publication number, band codes, peak code, RMS code)."""
    def stats(self) -> tuple[bool, int, int, int, int, int, int]:
        """(active, bands, analyses, load estimate, total analysis time, longest analysis, time since configuration)."""

# Ogg Vorbis decoding

class _VorbisFile(Protocol):
    def read(self, size: int, /) -> Buffer: ...

@final
class VorbisStream:
    """Decodes Ogg Vorbis read through a file object into interleaved native-endian s16 PCM."""

    def __init__(self, file: _VorbisFile, /) -> None: ...
    def info(self) -> tuple[int, int, int]:
        """(sample rate, channel count, total frames or -1 when unknown)."""
    def read(self, frames: int, /) -> bytes: ...
    def seek(self, frame: int, /) -> None: ...
    def close(self) -> None: ...

# Dynamics (compressor, limiter, expander, gate, transient shaper)

@final
class DynamicsState:
    def __init__(self, mode: int = 0, sample_rate: int = 48000, channel_count: int = 2) -> None: ...
    def set_sample_rate(self, rate: int, /) -> None: ...
    def configure(self, option: int, value: float, /) -> None: ...
    def finish(self) -> None: ...
    def reset(self) -> None: ...
    def process(self, input: Buffer, key: Buffer | None = None, /) -> bytes: ...
    @property
    def gain_reduction_db(self) -> float: ...
    @property
    def sample_rate(self) -> int: ...
