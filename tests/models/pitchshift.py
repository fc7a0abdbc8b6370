"""Pitch shift written from its description: delay line, lookahead FIFO, crossfade and splice."""

from .knee import knee, mix_gains, tdiv, trunc32


def _search(line, look, L, M, rate, window, W, W2, u, v):
    up = rate > 256
    n = (M - v - 1 if v + 1 < M else 0) if up else (v - 1 if v > 1 else 0)
    n = min(n, 32)
    room = L - n - M - 2 if L > M + n + 2 else 0
    bmax = min(window, room)
    if n < 8 or bmax == 0:
        return 0

    def cost(f):
        total = 0
        for k in range(n):
            if up:
                total += abs(look[(W2 + v + k) % M] - line[(u + f + k) % L])
            else:
                p = (look[(W2 + v - f - k - 1) % M] if f + k + 1 < v
                     else line[(W + L - ((f + k + 1 - v) % L)) % L])
                total += abs(line[(u + L - k - 1) % L] - p)
        return total

    best, best_cost = 0, cost(0)
    for f in range(6, bmax + 1, 6):
        c = cost(f)
        if c < best_cost:
            best, best_cost = f, c
    centre = best
    for f in range(max(centre - 5, 0), min(centre + 5, bmax) + 1):
        if f != centre:
            c = cost(f)
            if c < best_cost:
                best, best_cost = f, c
    return best


def pitchshift(samples, line, look, L, M, channels, rate, W, W2, R, mix, frozen=False, window=0,
               c=0, X=False, D=False, stats=None):
    """Returns (output, W, W2, R, c, X, D); line and look (lists) are updated in place.

    Positions outside their ranges are first reduced into them (W modulo L, W2 modulo M when
    there is a lookahead, R modulo L * 256, c modulo L when a crossfade is in progress), and the
    read head advances modulo L * 256. `stats`, when given, counts searches and jumps."""
    dry, wet = mix_gains(mix)
    search = M != 0 and window != 0 and not frozen and rate != 256
    mid = M + ((L - M) >> 1)
    mod = L * 256
    W, R = W % L, R % mod
    W2 = W2 % M if M else W2
    c = c % L if X else c
    out = []

    def dist(u):
        return u - W if u >= W else u - W + L

    for i, x in enumerate(samples):
        ch = i % channels
        lb, mb = ch * L, ch * M
        if not frozen:
            if M == 0:
                line[lb + W] = x
            else:
                line[lb + W] = look[mb + W2]
                look[mb + W2] = x
        u = R >> 8
        v = dist(u)
        if ch == 0 and (search or X):
            if 1 <= v <= M:
                if not X and search:
                    D = rate > 256
                    X = True
                    c = _search(line[:L], look[:M], L, M, rate, window, W, W2, u, v)
                    if stats is not None:
                        stats["search"] = stats.get("search", 0) + 1
            elif X:
                e = M < v <= mid
                if D == e:
                    if stats is not None and c:
                        stats["jump"] = stats.get("jump", 0) + 1
                    R = R + c * 256 if D else R - c * 256
                    R = R - mod if R >= mod else R + mod if R < 0 else R
                c, X = 0, False
                u = R >> 8
                v = dist(u)
        if M != 0 and 1 <= v <= M:
            A = c if X else 0
            if A == 0 or D:
                B = line[lb + (u + A) % L]
                C = look[mb + (W2 + v) % M]
            else:
                B = line[lb + u]
                C = (look[mb + (W2 + v - A) % M] if A < v
                     else line[lb + (W + L - ((A - v) % L)) % L])
            w = tdiv((M - v) * C + v * B, M)
        elif frozen and M != 0 and v == 0:
            w = look[mb + W2]
        else:
            w = line[lb + u]
        out.append(knee(trunc32(dry * x + wet * w), 7151))
        if channels == 1 or ch == 1:
            if not frozen:
                W = 0 if W + 1 == L else W + 1
                if M:
                    W2 = 0 if W2 + 1 == M else W2 + 1
            R = (R + rate) % mod
    return out, W, W2, R, c, X, D
