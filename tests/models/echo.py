"""Reference models of echo_s16 and multitap_s16, step by step in plain Python.

Memory is a list of signed 16-bit cells updated in place; positions out of range are reduced into
the line first (the module's guard), which leaves every in-range call as it is.
"""

from .knee import knee, knee_slope, mix_gains, sat32, trunc32


def echo(inp, mem, pos0, pos1, delay, capacity, speed, feedback, mix, variable, channels):
    dry, wet = mix_gains(mix)
    modulus = delay * 256 if variable else delay
    heads = [pos0 % modulus, pos1 % modulus if channels == 2 else pos1]
    out = []
    for i, x in enumerate(inp):
        ch = 1 if channels == 2 and i & 1 else 0
        off = capacity * ch
        h = heads[ch]
        if not variable:
            c = mem[off + h]
            mem[off + h] = knee(trunc32(c * feedback + x))
            h = 0 if h + 1 == delay else h + 1
        else:
            c = mem[off + (h >> 8)]
            s = (h + speed) & 0xFFFFFFFF
            for j in range(h >> 8, s >> 8):
                cell = off + j % delay
                mem[cell] = knee(trunc32(mem[cell] * feedback + x))
            h = s % modulus
        out.append(knee(trunc32(dry * x + wet * c)))
        heads[ch] = h
    return out, heads[0], heads[1]


def multitap(inp, mem, position, length, channels, delays, gains, feedback, mix, first_channel=0):
    dry, wet = mix_gains(mix)
    taps = len(delays)
    slope = knee_slope(taps) if taps >= 2 else 7151
    pos = position % length
    s = first_channel % channels
    out = []
    for i, x in enumerate(inp):
        ch = (s + i) % channels
        base = ch * length
        if taps == 0:
            w = mem[base + pos]
        else:
            vals = [trunc32(mem[base + ((pos + length - d) & 0xFFFFFFFF) % length] * g) for d, g in zip(delays, gains)]
            w = vals[0] if taps == 1 else knee(sat32(sum(vals)), slope)
        c = mem[base + pos]
        mem[base + pos] = knee(sat32(trunc32(c * feedback) + x))
        out.append(knee(trunc32(dry * x + wet * w)))
        if channels == 1 or ch == 1:
            pos = 0 if pos + 1 == length else pos + 1
    return out, pos
