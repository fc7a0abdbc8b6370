// The Freeverb reverberator in Q15 fixed point: per channel, eight parallel damped feedback combs
// summed into four series all-pass sections (feedback 0.5, output halved), then a dry/wet mix
// through the soft knee. The caller owns every line, position and filter store in five buffers
// that the function updates in place:
//
//   comb lines      int16 cells, combs 0..7 of channel 0 then of channel 1, packed
//   comb positions  uint32 per comb line (only the low 16 bits are read; written back 16-bit)
//   comb stores     int16 per comb line, the one-pole damping low-pass state
//   all-pass lines  int16 cells, all-passes 0..3 of channel 0 then of channel 1, packed
//   all-pass positions  uint32 per all-pass line, as the comb positions
//
// Guards beyond the plain algorithm, none of which changes a result within the ranges where the
// plain 32-bit and 16-bit arithmetic holds: positions at or beyond their line's length are
// reduced modulo the length, so no call touches memory outside its line; the comb-sum scaling and
// the wet product are formed in 64 bits, and the all-pass write is saturated to 16 bits, like
// every other step.
#include <algorithm>

#include "functions/soft_knee.hpp"
#include "module/module.hpp"
#include "module/numeric.hpp"

namespace sonolith {

namespace kernel {

constexpr int kCombs = 8, kAllPasses = 4;
constexpr uint32_t kCombLength[kCombs] = {1116, 1188, 1277, 1356, 1422, 1491, 1557, 1617};
constexpr uint32_t kAllPassLength[kAllPasses] = {556, 441, 341, 225};
constexpr size_t kCombCells = 11024, kAllPassCells = 1563;  // per channel

struct FreeverbGains {
    int32_t feedback, damp1, damp2, dry, wet;
};

struct FreeverbBuffers {
    uint8_t *comb_lines, *comb_positions, *comb_stores, *ap_lines, *ap_positions;
};

inline int32_t sat16(int32_t v) noexcept { return clamp_s16(v); }
inline int32_t sat16(int64_t v) noexcept { return static_cast<int32_t>(clamp_s16(v)); }

// The state of one channel while it runs: line bases, positions and comb stores.
struct Channel {
    uint8_t *comb_line[kCombs];
    uint8_t *ap_line[kAllPasses];
    uint32_t comb_pos[kCombs];
    uint32_t ap_pos[kAllPasses];
    int32_t store[kCombs];
};

void load_channel(const FreeverbBuffers &b, int ch, Channel *s) noexcept {
    size_t base = size_t(ch) * kCombCells;
    for (int n = 0; n < kCombs; ++n) {
        s->comb_line[n] = b.comb_lines + 2 * base;
        base += kCombLength[n];
        // Only the low 16 bits of a position count; one outside its line is reduced into it.
        s->comb_pos[n] = (load<uint32_t>(b.comb_positions + 4 * (ch * kCombs + n)) & 0xffffu) % kCombLength[n];
        s->store[n] = load<int16_t>(b.comb_stores + 2 * (ch * kCombs + n));
    }
    base = size_t(ch) * kAllPassCells;
    for (int n = 0; n < kAllPasses; ++n) {
        s->ap_line[n] = b.ap_lines + 2 * base;
        base += kAllPassLength[n];
        s->ap_pos[n] = (load<uint32_t>(b.ap_positions + 4 * (ch * kAllPasses + n)) & 0xffffu) % kAllPassLength[n];
    }
}

void save_positions(const FreeverbBuffers &b, int ch, const Channel &s) noexcept {
    for (int n = 0; n < kCombs; ++n) store<uint32_t>(b.comb_positions + 4 * (ch * kCombs + n), s.comb_pos[n]);
    for (int n = 0; n < kAllPasses; ++n)
        store<uint32_t>(b.ap_positions + 4 * (ch * kAllPasses + n), s.ap_pos[n]);
}

void save_stores(const FreeverbBuffers &b, int ch, const Channel &s) noexcept {
    for (int n = 0; n < kCombs; ++n)
        store<int16_t>(b.comb_stores + 2 * (ch * kCombs + n), static_cast<int16_t>(s.store[n]));
}

// The all-pass chain and the output mix of one sample whose comb sum is `sum`.
inline int16_t finish_sample(const FreeverbGains &g, int32_t x, int32_t sum, uint8_t *const ap_line[],
                             const uint32_t ap_pos[]) noexcept {
    int32_t c = sat16(int64_t(sum) * 31457 / 131072);
    for (int n = 0; n < kAllPasses; ++n) {
        uint8_t *cell = ap_line[n] + 2 * size_t(ap_pos[n]);
        int32_t f = load<int16_t>(cell);
        store<int16_t>(cell, static_cast<int16_t>(sat16((f >> 1) + c)));
        c = sat16((f - c) / 2);
    }
    int32_t wet = sat16(int64_t(c) * g.wet * 30 / 32768);
    return soft_knee_s16(sat16(g.dry * x / 32768) + wet, kKneeSlope2);
}

// One channel over `count` samples spaced `stride` apart, with the stores held in registers. Only
// valid when no two of the caller's buffers overlap.
//
// The samples go in blocks that end where the first line wraps, which has two consequences: inside
// a block every cell is read (its old value) before it is written and never touched again, and
// the all-pass chain of one sample depends only on old cells and that sample's comb sum. So a
// block runs in phases: the comb reads and their sums (vectorised over time), the eight damping
// recurrences side by side in one 8-lane vector (serial over time), the comb writes, then the
// all-pass chains and the output mix (vectorised over time). Every step gives exactly the values
// of the sample-by-sample order.
typedef int32_t v8si __attribute__((vector_size(32)));

// Truncating division by 32768 of a value of magnitude below 2^31 - 32767 (written out again on
// the 8-lane vectors in run_channel).
inline int32_t div32768(int32_t v) noexcept { return (v + ((v >> 31) & 32767)) >> 15; }

// sat(trunc(sum × 31457 / 131072)) in 32-bit arithmetic: |sum| × 31457 fits 32 unsigned bits
// below 136535, and from there on the quotient is at least 32768 and saturates either way.
inline int32_t scale_comb_sum(int32_t sum) noexcept {
    uint32_t a = static_cast<uint32_t>(sum < 0 ? -sum : sum);
    uint32_t q = a >= 136535u ? 32768u : (a * 31457u) >> 17;
    int32_t r = sum < 0 ? -static_cast<int32_t>(q) : static_cast<int32_t>(q);
    return r > 32767 ? 32767 : r;
}

// sat(trunc(c × wet × 30 / 32768)) in 32-bit arithmetic: p = c × wet has |p| < 2^30, and
// trunc(|p| × 15 / 16384) = 15 × (|p| >> 14) + (15 × (|p| & 16383)) >> 14.
inline int32_t scale_wet(int32_t c, int32_t wet) noexcept {
    int32_t p = c * wet;
    uint32_t a = static_cast<uint32_t>(p < 0 ? -p : p);
    uint32_t q = 15u * (a >> 14) + ((15u * (a & 16383u)) >> 14);
    uint32_t lim = p < 0 ? 32768u : 32767u;
    q = q > lim ? lim : q;
    return p < 0 ? -static_cast<int32_t>(q) : static_cast<int32_t>(q);
}

constexpr size_t kBlock = 128;

struct Block {
    alignas(32) v8si a[kBlock];  // comb reads, one lane per comb
    alignas(32) v8si w[kBlock];  // comb writes
    alignas(32) int32_t x[kBlock], m[kBlock], sum[kBlock];
    alignas(32) int16_t out[kBlock];
};

// The all-pass chains and the output mix of a block, independent from sample to sample.
inline void all_pass_block(const FreeverbGains &g, Block &b, size_t run, uint8_t *__restrict ap0,
                           uint8_t *__restrict ap1, uint8_t *__restrict ap2, uint8_t *__restrict ap3) noexcept {
    const int32_t dry = g.dry, wet = g.wet;
    for (size_t k = 0; k < run; ++k) {
        int32_t c = scale_comb_sum(b.sum[k]);
        uint8_t *cells[kAllPasses] = {ap0 + 2 * k, ap1 + 2 * k, ap2 + 2 * k, ap3 + 2 * k};
        for (int n = 0; n < kAllPasses; ++n) {
            int32_t f = load<int16_t>(cells[n]);
            store<int16_t>(cells[n], static_cast<int16_t>(sat16((f >> 1) + c)));
            c = (f - c) / 2;  // |f - c| <= 65535: the halved value always fits 16 bits
        }
        b.out[k] = soft_knee_s16(div32768(dry * b.x[k]) + scale_wet(c, wet), kKneeSlope2);
    }
}

__attribute__((target_clones("avx2", "default")))
void run_channel(const FreeverbGains &g, const uint8_t *in, uint8_t *out, size_t count, size_t stride,
                 Channel &s) noexcept {
    Block b;
    v8si st;
    for (int n = 0; n < kCombs; ++n) st[n] = s.store[n];
    const v8si damp1 = v8si{} + g.damp1, damp2 = v8si{} + g.damp2, feedback = v8si{} + g.feedback;
    const v8si lo = v8si{} - 32768, hi = v8si{} + 32767;
    size_t i = 0;
    while (i < count) {
        size_t run = std::min(count - i, kBlock);
        for (int n = 0; n < kCombs; ++n) run = std::min<size_t>(run, kCombLength[n] - s.comb_pos[n]);
        for (int n = 0; n < kAllPasses; ++n) run = std::min<size_t>(run, kAllPassLength[n] - s.ap_pos[n]);

        for (size_t k = 0; k < run; ++k) {
            int32_t x = load_s16(in, (i + k) * stride);
            b.x[k] = x;
            b.m[k] = x * 8738 / 131072;
            b.sum[k] = 0;
        }
        uint8_t *comb[kCombs];
        for (int n = 0; n < kCombs; ++n) {
            comb[n] = s.comb_line[n] + 2 * size_t(s.comb_pos[n]);
            for (size_t k = 0; k < run; ++k) {
                int32_t a = load<int16_t>(comb[n] + 2 * k);
                b.a[k][n] = a;
                b.sum[k] += a;
            }
        }
        // store = (A × damp2 + store × damp1) / 32768 needs no clamp: damp1 + damp2 = 32768, so
        // its magnitude never exceeds that of a 16-bit operand. Likewise |store × feedback / 32768|
        // stays below 32768; only the sum with m is clamped.
        for (size_t k = 0; k < run; ++k) {
            v8si u = b.a[k] * damp2 + st * damp1;
            st = (u + ((u >> 31) & 32767)) >> 15;
            v8si f = st * feedback;
            v8si v = ((f + ((f >> 31) & 32767)) >> 15) + b.m[k];
            v = v < lo ? lo : v;
            b.w[k] = v > hi ? hi : v;
        }
        for (int n = 0; n < kCombs; ++n)
            for (size_t k = 0; k < run; ++k) store<int16_t>(comb[n] + 2 * k, static_cast<int16_t>(b.w[k][n]));

        all_pass_block(g, b, run, s.ap_line[0] + 2 * size_t(s.ap_pos[0]), s.ap_line[1] + 2 * size_t(s.ap_pos[1]),
                       s.ap_line[2] + 2 * size_t(s.ap_pos[2]), s.ap_line[3] + 2 * size_t(s.ap_pos[3]));
        for (size_t k = 0; k < run; ++k) store<int16_t>(out + 2 * (i + k) * stride, b.out[k]);

        for (int n = 0; n < kCombs; ++n) {
            s.comb_pos[n] += static_cast<uint32_t>(run);
            if (s.comb_pos[n] == kCombLength[n]) s.comb_pos[n] = 0;
        }
        for (int n = 0; n < kAllPasses; ++n) {
            s.ap_pos[n] += static_cast<uint32_t>(run);
            if (s.ap_pos[n] == kAllPassLength[n]) s.ap_pos[n] = 0;
        }
        i += run;
    }
    for (int n = 0; n < kCombs; ++n) s.store[n] = st[n];
}

// Every step in the written order, the stores read and written in the caller's buffer each time:
// the same result as run_channel whenever the buffers are disjoint, and a well-defined one (inside
// every buffer) when the caller passes overlapping buffers.
void run_ordered(const FreeverbGains &g, const uint8_t *in, uint8_t *out, size_t n, int nch,
                 const FreeverbBuffers &b, Channel s[2]) noexcept {
    for (size_t i = 0; i < n; ++i) {
        int ch = nch == 2 ? int(i & 1) : 0;
        Channel &c = s[ch];
        int32_t x = load_s16(in, i);
        int32_t m = x * 8738 / 131072;
        int32_t sum = 0;
        for (int k = 0; k < kCombs; ++k) {
            uint8_t *cell = c.comb_line[k] + 2 * size_t(c.comb_pos[k]);
            uint8_t *st_cell = b.comb_stores + 2 * (ch * kCombs + k);
            int32_t a = load<int16_t>(cell);
            int32_t st = sat16((a * g.damp2 + load<int16_t>(st_cell) * g.damp1) / 32768);
            store<int16_t>(st_cell, static_cast<int16_t>(st));
            store<int16_t>(cell, static_cast<int16_t>(sat16(m + sat16(st * g.feedback / 32768))));
            sum += a;
            if (++c.comb_pos[k] == kCombLength[k]) c.comb_pos[k] = 0;
        }
        store_s16(out, i, finish_sample(g, x, sum, c.ap_line, c.ap_pos));
        for (int k = 0; k < kAllPasses; ++k)
            if (++c.ap_pos[k] == kAllPassLength[k]) c.ap_pos[k] = 0;
    }
}

void freeverb(const uint8_t *in, uint8_t *out, size_t n, int nch, const FreeverbBuffers &b,
              const size_t sizes[5], const FreeverbGains &g) noexcept {
    Channel s[2];
    for (int ch = 0; ch < nch; ++ch) load_channel(b, ch, &s[ch]);

    const uint8_t *bufs[6] = {in, b.comb_lines, b.comb_positions, b.comb_stores, b.ap_lines, b.ap_positions};
    size_t lens[6] = {2 * n, sizes[0], sizes[1], sizes[2], sizes[3], sizes[4]};
    bool disjoint = true;
    for (int x = 0; x < 6; ++x)
        for (int y = x + 1; y < 6; ++y) disjoint = disjoint && !overlaps(bufs[x], lens[x], bufs[y], lens[y]);

    if (disjoint) {
        // The channels share nothing, so each runs over all of its samples in turn.
        for (int ch = 0; ch < nch; ++ch) {
            size_t count = nch == 2 ? (n + 1 - ch) / 2 : n;
            run_channel(g, in + 2 * ch, out + 2 * ch, count, nch, s[ch]);
            save_stores(b, ch, s[ch]);
        }
    } else {
        run_ordered(g, in, out, n, nch, b, s);
    }
    for (int ch = 0; ch < nch; ++ch) save_positions(b, ch, s[ch]);
}

}  // namespace kernel

// ---------------------------------------------------------------------------------------------
// Binding

PyObject *freeverb_s16(PyObject *, PyObject *args) {
    BufferView in, comb_lines, comb_positions, comb_stores, ap_lines, ap_positions;
    double room_arg, damping_arg, mix_arg;
    unsigned int channels = 1;
    if (!PyArg_ParseTuple(args, "y*w*w*w*w*w*ddd|I:freeverb_s16", in.out(), comb_lines.out(),
                          comb_positions.out(), comb_stores.out(), ap_lines.out(), ap_positions.out(),
                          &room_arg, &damping_arg, &mix_arg, &channels))
        return nullptr;
    int nch = channels == 2 ? 2 : 1;
    if (in.size() % 2 != 0 || comb_lines.len() < int64_t(22048) * nch ||
        comb_positions.len() < int64_t(32) * nch || comb_stores.len() < int64_t(16) * nch ||
        ap_lines.len() < int64_t(3126) * nch || ap_positions.len() < int64_t(16) * nch)
        return value_error("invalid freeverb state");

    // Each parameter is clamped to 0..1 (NaN counts as 0).
    double room = clamp_float(room_arg, 0.0, 1.0, 0.0);
    double damping = clamp_float(damping_arg, 0.0, 1.0, 0.0);
    double a = 2.0 * clamp_float(mix_arg, 0.0, 1.0, 0.0);
    kernel::FreeverbGains g;
    g.feedback = 22937 + static_cast<int32_t>(9175.04 * room);
    g.damp1 = static_cast<int32_t>(13107.2 * damping);
    g.damp2 = 32768 - g.damp1;
    g.dry = static_cast<int32_t>(std::min(2.0 - a, 1.0) * 32767);
    g.wet = static_cast<int32_t>(std::min(a, 1.0) * 32767);

    uint8_t *out;
    PyObject *result = new_bytes(in.size(), &out);
    if (!result) return nullptr;
    kernel::FreeverbBuffers b{comb_lines.writable(), comb_positions.writable(), comb_stores.writable(),
                              ap_lines.writable(), ap_positions.writable()};
    const size_t sizes[5] = {comb_lines.size(), comb_positions.size(), comb_stores.size(),
                             ap_lines.size(), ap_positions.size()};
    without_gil(kernel_work(in.size() / 2, 13),
                [&] { kernel::freeverb(in.bytes(), out, in.size() / 2, nch, b, sizes, g); });
    return result;
}

}  // namespace sonolith
