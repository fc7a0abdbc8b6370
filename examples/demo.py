"""A first look at the native core: mixes, remixes, meters and pins buffers, and says what it did."""

import array
import math

import _sonolith as so

RATE = 48000


def tone(freq, seconds, amplitude):
    n = int(RATE * seconds)
    return array.array("h", (int(amplitude * math.sin(2 * math.pi * freq * i / RATE)) for i in range(n)))


def level(buf):
    samples = array.array("h", bytes(buf))
    peak = max((abs(s) for s in samples), default=0) / 32768
    rms = math.sqrt(sum(s * s for s in samples) / max(len(samples), 1)) / 32768
    return so.meter_db_byte(peak) - 200, so.meter_db_byte(rms) - 200


def main():
    print(f"_sonolith {so.__version__} (ABI {so.ABI_VERSION})")
    a, b = tone(440, 0.5, 20000), tone(660, 0.5, 20000)
    mixed = so.mix_s16(a, b)
    print(f"mixed two 0.5 s tones: peak {level(mixed)[0]} dB, rms {level(mixed)[1]} dB (saturating)")
    stereo = so.remix_s16(mixed, 1, 2)
    print(f"mono -> stereo: {len(mixed)} -> {len(stereo)} bytes")
    wide = so.midside_s16(stereo, 1.5)
    mono = so.remix_s16(wide, 2, 1)
    print(f"width 1.5, back to mono: peak {level(mono)[0]} dB")
    tremolo = so.multiply_s16(a, tone(5, 0.5, 32767), 0.5, 1)
    print(f"tremolo at depth 0.5: rms {level(a)[1]} dB -> {level(tremolo)[1]} dB")
    scratch = bytearray(stereo)
    owner = so.BufferOwner(scratch)
    try:
        scratch.extend(b"\0\0")
    except BufferError:
        print(f"pinned {owner.nbytes} bytes: the bytearray cannot be resized while held")
    owner.release()
    scratch.extend(b"\0\0")
    print("released: resizing works again")
    with so.RawSample(a, sample_rate=RATE, single_buffer=False) as sample:
        first, second = sample._get_buffer()[1], sample._get_buffer()[1]
        print(f"RawSample serves halves of {len(first)} and {len(second)} bytes in double-buffer mode")


if __name__ == "__main__":
    main()
