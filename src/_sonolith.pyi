"""Private native core for tallowbox-sonolith."""

from collections.abc import Buffer
from types import TracebackType
from typing import Any, final

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
