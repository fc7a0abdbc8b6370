"""Reference model of freeverb_s16 in plain Python integers.

State is a dict of lists: comb lines and all-pass lines as flat lists of 16-bit cells, positions
as 32-bit entries, comb stores as 16-bit entries. Positions are reduced into their lines first
(the module's guard); the comb-sum scaling and the wet product are exact wide products, and the
all-pass write saturates to 16 bits.
"""

from .knee import knee, sat16, tdiv

COMBS = (1116, 1188, 1277, 1356, 1422, 1491, 1557, 1617)
ALLPASSES = (556, 441, 341, 225)


def _bases(lengths, nch):
    out, b = [], 0
    for _ in range(nch):
        for n in lengths:
            out.append(b)
            b += n
    return out


def gains(room, damping, mix):
    def clamp(v):
        return 0.0 if v != v or v < 0.0 else 1.0 if v > 1.0 else v

    room, damping, a = clamp(room), clamp(damping), 2.0 * clamp(mix)
    feedback = 22937 + int(9175.04 * room)
    damp1 = int(13107.2 * damping)
    return feedback, damp1, 32768 - damp1, int(min(2.0 - a, 1.0) * 32767), int(min(a, 1.0) * 32767)


def freeverb(inp, state, room, damping, mix, channels=1):
    nch = 2 if channels == 2 else 1
    feedback, damp1, damp2, dry, wet = gains(room, damping, mix)
    comb, cpos, store = state["comb"], state["comb_pos"], state["store"]
    ap, apos = state["ap"], state["ap_pos"]
    clen = COMBS * nch
    alen = ALLPASSES * nch
    cbase, abase = _bases(COMBS, nch), _bases(ALLPASSES, nch)
    cp = [(cpos[n] & 0xFFFF) % clen[n] for n in range(8 * nch)]
    apn = [(apos[n] & 0xFFFF) % alen[n] for n in range(4 * nch)]
    out = []
    for i, x in enumerate(inp):
        c = (i & 1) if nch == 2 else 0
        m = tdiv(x * 8738, 131072)
        total = 0
        for n in range(8 * c, 8 * c + 8):
            p = cp[n]
            cell = cbase[n] + p
            a = comb[cell]
            st = sat16(tdiv(a * damp2 + store[n] * damp1, 32768))
            store[n] = st
            comb[cell] = sat16(m + sat16(tdiv(st * feedback, 32768)))
            total += a
            cp[n] = 0 if p + 1 == clen[n] else p + 1
        y = sat16(tdiv(total * 31457, 131072))
        for n in range(4 * c, 4 * c + 4):
            p = apn[n]
            cell = abase[n] + p
            f = ap[cell]
            ap[cell] = sat16((f >> 1) + y)
            y = sat16(tdiv(f - y, 2))
            apn[n] = 0 if p + 1 == alen[n] else p + 1
        out.append(knee(sat16(tdiv(dry * x, 32768)) + sat16(tdiv(y * wet * 30, 32768))))
    cpos[: 8 * nch] = cp
    apos[: 4 * nch] = apn
    return out
