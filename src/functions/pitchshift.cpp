// Pitch shift on native-endian signed 16-bit PCM with a circular delay line whose read head moves
// at `rate`/256 cells per frame while the write head moves one cell per frame. A lookahead FIFO of
// the newest M samples sits in front of the line; while the read head is in the M cells that the
// lookahead is about to overwrite, the output crossfades between the read head's cell and the
// sample that continues the signal without a jump. With a search window, a waveform-matching
// search picks a splice offset when such a crossfade starts, and the read head jumps by it when
// the crossfade ends, hiding the wrap. The caller holds both memories, the positions and the
// crossfade state; the output ends in the soft knee with slope 7151.
//
// Guards beyond the plain algorithm, none of which changes the result of a call whose positions
// are in range:
//   - W, W2 and R are reduced into 0 .. L - 1, 0 .. M - 1 and 0 .. L * 256 - 1 on entry (W2 is
//     left alone when there is no lookahead), and the splice offset of a crossfade in progress
//     into 0 .. L - 1, so no call reads or writes outside the memories;
//   - the read head advances by rate modulo L * 256, so rates above one line per frame keep R in
//     range; the sum is formed in 64 bits;
//   - L of 2^24 or more (L * 256 leaves 32 bits) and M above 65536 (the crossfade numerator
//     leaves 32 bits) are rejected;
//   - the dry-plus-wet conversion saturates (NaN gives 0).
#include <algorithm>

#include "functions/mix_law.hpp"
#include "functions/soft_knee.hpp"
#include "module/module.hpp"
#include "module/numeric.hpp"

namespace sonolith {

namespace kernel {

struct PitchState {
    uint32_t w, w2, r, c;
    bool x, d;
};

struct PitchParams {
    uint32_t length, look, rate, step, window;
    int channels;
    bool frozen;
    double dry, wet;
};

inline uint32_t read_distance(uint32_t u, uint32_t w, uint32_t length) noexcept {
    return u >= w ? u - w : u + length - w;
}

// The splice offset chosen when a crossfade starts (channel 0's memories).
uint32_t splice_search(const uint8_t *line, const uint8_t *look, const PitchParams &p,
                       const PitchState &s, uint32_t u, uint32_t v) noexcept {
    const uint32_t L = p.length, M = p.look;
    const bool up = p.rate > 256;
    uint32_t n = up ? (v + 1 < M ? M - v - 1 : 0) : (v > 1 ? v - 1 : 0);
    n = std::min<uint32_t>(n, 32);
    uint32_t room = L > M + n + 2 ? L - n - M - 2 : 0;
    uint32_t bmax = std::min(p.window, room);
    if (n < 8 || bmax == 0) return 0;
    auto cost = [&](uint32_t f) {
        int32_t sum = 0;
        for (uint32_t k = 0; k < n; ++k) {
            int32_t a, b;
            if (up) {
                a = load_s16(look, (s.w2 + v + k) % M);
                b = load_s16(line, (u + f + k) % L);
            } else {
                a = load_s16(line, (u + L - k - 1) % L);
                uint32_t back = f + k + 1;
                b = back < v ? load_s16(look, (s.w2 + v - back) % M)
                             : load_s16(line, (s.w + L - ((back - v) % L)) % L);
            }
            sum += a > b ? a - b : b - a;
        }
        return sum;
    };
    uint32_t best = 0;
    int32_t best_cost = cost(0);
    for (uint32_t f = 6; f <= bmax; f += 6) {
        int32_t c = cost(f);
        if (c < best_cost) best = f, best_cost = c;
    }
    uint32_t centre = best;
    uint32_t lo = centre > 5 ? centre - 5 : 0, hi = std::min(centre + 5, bmax);
    for (uint32_t f = lo; f <= hi; ++f) {
        if (f == centre) continue;
        int32_t c = cost(f);
        if (c < best_cost) best = f, best_cost = c;
    }
    return best;
}

void pitchshift(const uint8_t *in, uint8_t *out, size_t n, uint8_t *line, uint8_t *look,
                const PitchParams &p, PitchState &s) noexcept {
    const uint32_t L = p.length, M = p.look;
    const uint64_t modulus = uint64_t(L) * 256;
    const uint32_t mid = M + ((L - M) >> 1);
    const bool search = M != 0 && p.window != 0 && !p.frozen && p.rate != 256;
    for (size_t i = 0; i < n; ++i) {
        int ch = p.channels == 2 ? int(i & 1) : 0;
        int32_t x = load_s16(in, i);
        uint8_t *ln = line + 2 * size_t(ch) * L;
        uint8_t *la = look + 2 * size_t(ch) * M;
        if (!p.frozen) {
            if (M == 0) {
                store_s16(ln, s.w, x);
            } else {
                store_s16(ln, s.w, load_s16(la, s.w2));
                store_s16(la, s.w2, x);
            }
        }
        uint32_t u = s.r >> 8;
        uint32_t v = read_distance(u, s.w, L);
        bool region = v >= 1 && v <= M;
        if (ch == 0 && (search || s.x)) {
            if (region) {
                if (!s.x && search) {
                    s.d = p.rate > 256;
                    s.x = true;
                    s.c = splice_search(line, look, p, s, u, v);
                }
            } else if (s.x) {
                bool e = M < v && v <= mid;
                if (s.d == e) {
                    uint64_t jump = uint64_t(s.c) * 256;  // c < L, so below the modulus
                    uint64_t r = s.r;
                    if (s.d) {
                        r += jump;
                        if (r >= modulus) r -= modulus;
                    } else {
                        r = r >= jump ? r - jump : r + modulus - jump;
                    }
                    s.r = static_cast<uint32_t>(r);
                }
                s.c = 0;
                s.x = false;
                u = s.r >> 8;
                v = read_distance(u, s.w, L);
                region = v >= 1 && v <= M;
            }
        }
        int32_t w;
        if (M != 0 && region) {
            uint32_t a = s.x ? s.c : 0;
            int32_t b, c;
            if (a == 0 || s.d) {
                b = load_s16(ln, (uint64_t(u) + a) % L);
                c = load_s16(la, (s.w2 + v) % M);
            } else {
                b = load_s16(ln, u);
                c = a < v ? load_s16(la, (s.w2 + v - a) % M)
                          : load_s16(ln, (s.w + L - ((a - v) % L)) % L);
            }
            w = (int32_t(M - v) * c + int32_t(v) * b) / int32_t(M);
        } else if (p.frozen && M != 0 && v == 0) {
            w = load_s16(la, s.w2);
        } else {
            w = load_s16(ln, u);
        }
        store_s16(out, i, soft_knee_s16(saturate_cast<int32_t>(p.dry * x + p.wet * w), kKneeSlope2));
        if (p.channels == 1 || ch == 1) {
            if (!p.frozen) {
                if (++s.w == L) s.w = 0;
                if (M != 0 && ++s.w2 == M) s.w2 = 0;
            }
            uint64_t r = uint64_t(s.r) + p.step;
            if (r >= modulus) r -= modulus;
            s.r = static_cast<uint32_t>(r);
        }
    }
}

}  // namespace kernel

// ---------------------------------------------------------------------------------------------
// Binding

PyObject *pitchshift_s16(PyObject *, PyObject *args) {
    BufferView in, line, look;
    unsigned int length, look_len, channels, rate, w, w2, r, window = 0, splice = 0;
    double mix;
    int frozen = 0, crossfade = 0, direction = 0;
    if (!PyArg_ParseTuple(args, "y*w*w*IIIIIIId|pIIpp:pitchshift_s16", in.out(), line.out(),
                          look.out(), &length, &look_len, &channels, &rate, &w, &w2, &r, &mix,
                          &frozen, &window, &splice, &crossfade, &direction))
        return nullptr;
    constexpr const char *kInvalid = "invalid pitch-shift parameters";
    if (in.size() % 2 != 0 || (channels != 1 && channels != 2) || length == 0 ||
        line.len() < int64_t(length) * int64_t(channels) * 2 ||
        look.len() < int64_t(look_len) * int64_t(channels) * 2)
        return value_error(kInvalid);
    // The read position holds L * 256 in 32 bits; the crossfade numerator holds M * 32768.
    if (length >= (1u << 24) || look_len > 65536) return value_error(kInvalid);

    kernel::PitchParams p;
    p.length = length;
    p.look = look_len;
    p.channels = int(channels);
    p.rate = rate;
    p.step = rate % (length * 256u);
    p.window = window;
    p.frozen = frozen != 0;
    mix_gains(mix, &p.dry, &p.wet);
    kernel::PitchState s;
    s.w = w % length;
    s.w2 = look_len != 0 ? w2 % look_len : w2;
    s.r = r % (length * 256u);
    s.x = crossfade != 0;
    s.c = s.x ? splice % length : splice;
    s.d = direction != 0;

    uint8_t *out;
    PyObject *result = new_bytes(in.size(), &out);
    if (!result) return nullptr;
    without_gil(kernel_work(in.size() / 2, 6), [&] {
        kernel::pitchshift(in.bytes(), out, in.size() / 2, line.writable(), look.writable(), p, s);
    });
    return Py_BuildValue("(NIIIIOO)", result, s.w, s.w2, s.r, s.c, s.x ? Py_True : Py_False,
                         s.d ? Py_True : Py_False);
}

}  // namespace sonolith
