// Distortion on native-endian signed 16-bit PCM: an input gain, one of four shaping curves, an
// output gain, an optional exponential soft limiter and a dry/wet mix (dry = 1 - mix, wet = mix).
// No memory between samples, so interleaved stereo is processed as it lies.
//
//   mode 0  power curve sign(u) * |u|^e with e = 1.0001 - drive (0 stays 0)
//   mode 1  bit reduction: the low round(drive * 14) (mod 32) bits of the pre-gained integer cleared
//   mode 2  asymmetric exponential saturation (drive unused)
//   mode 3  rational overdrive (k + 1) * u / (k * |u| + 1) with k = 2 * drive / (1.0001 - drive)
//
// All arithmetic is double precision. Guards beyond the plain algorithm, none of which changes
// the result of a call with mix in 0..1 and finite values that keep the conversions in range:
//   - every float-to-integer conversion saturates at the 32-bit limits (NaN gives 0), so NaN,
//     infinite or huge drive and gains, and infinities out of a curve (mode 0 with drive at or
//     above 1.0001, mode 3 with k's divisor near zero) give defined samples;
//   - mode 3 with an infinite k (drive exactly 1.0001) uses the curve's limit, sign(u);
//   - the mixed value is saturated to 16 bits instead of wrapped, which only matters for mix
//     outside 0..1 (inside it the value always fits).
// Each output sample depends on its input sample alone, so a call longer than 65536 samples
// computes the output for every possible input value once and then looks samples up, and the
// costly curves (modes 0 and 2) remember, per thread, the outputs already met under the settings
// of the last call.
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <memory>

#include "functions/vector4.hpp"
#include "module/module.hpp"
#include "module/numeric.hpp"

namespace sonolith {

namespace kernel {

struct DistortionParams {
    int mode;
    bool limiter;
    double pre, post, exponent, k, k1, dry, wet;
    uint32_t mask;
};

inline int32_t clamp_wet(int32_t m) noexcept { return m < -32767 ? -32767 : (m > 32767 ? 32767 : m); }

// One output sample from one input sample.
template <int Mode, bool Limiter>
inline int32_t distort(const DistortionParams &p, int32_t s) noexcept {
    int32_t r = to_i32(s * p.pre);
    int32_t m;
    if (Mode == 1 && !Limiter) {
        int32_t masked = static_cast<int32_t>(static_cast<uint32_t>(r) & p.mask);
        m = clamp_wet(to_i32(masked * p.post));
    } else {
        if (Mode == 1) r = static_cast<int32_t>(static_cast<uint32_t>(r) & p.mask);
        double u = r * 0x1p-15, shaped;
        if (Mode == 0) {
            shaped = u == 0.0 ? 0.0 : (u < 0.0 ? -std::pow(-u, p.exponent) : std::pow(u, p.exponent));
        } else if (Mode == 2) {
            double v = 0.686306 * u;
            double ev = std::exp(v), env = std::exp(-v);
            shaped = (ev - std::exp(-v * (1.0 + std::exp(-0.75 * std::sqrt(std::fabs(v)))))) / (ev + env);
        } else if (Mode == 3) {
            shaped = p.k1 * u / (p.k * std::fabs(u) + 1.0);
        } else {
            shaped = u;  // mode 1 with the limiter: the masked value passes unshaped
        }
        shaped *= p.post;
        if (Limiter) {
            shaped = shaped > 0.0 ? 1.0 - std::exp(-shaped) : std::exp(shaped) - 1.0;
            m = to_i32(shaped * 32767.0);
        } else {
            m = clamp_wet(to_i32(shaped * 32767.0));
        }
    }
    return clamp_s16(to_i32(p.dry * s + p.wet * m));
}

// Mode 3 with an infinite k (drive exactly 1.0001): the curve's limit, sign(u), in place of
// infinity times u over infinity.
template <bool Limiter>
inline int32_t distort_sign(const DistortionParams &p, int32_t s) noexcept {
    int32_t r = to_i32(s * p.pre);
    double shaped = (r > 0 ? 1.0 : (r < 0 ? -1.0 : 0.0)) * p.post;
    int32_t m;
    if (Limiter) {
        shaped = shaped > 0.0 ? 1.0 - std::exp(-shaped) : std::exp(shaped) - 1.0;
        m = to_i32(shaped * 32767.0);
    } else {
        m = clamp_wet(to_i32(shaped * 32767.0));
    }
    return clamp_s16(to_i32(p.dry * s + p.wet * m));
}

template <int Mode, bool Limiter>
__attribute__((target_clones("avx2", "default")))
void run_samples(const uint8_t *__restrict in, uint8_t *__restrict out, size_t n,
                 const DistortionParams &p) noexcept {
    const DistortionParams q = p;  // a local copy, so the loop keeps the constants in registers
    for (size_t i = 0; i < n; ++i) store_s16(out, i, distort<Mode, Limiter>(q, load_s16(in, i)));
}

// Modes 1 and 3 without the limiter, four samples at a time: the same operations in the same
// order on each lane, the rest of the samples one by one.
template <int Mode>
__attribute__((target_clones("avx2", "default")))
void run_vector(const uint8_t *__restrict in, uint8_t *__restrict out, size_t n,
                const DistortionParams &p) noexcept {
    const DistortionParams q = p;
    const v4df zero = {0, 0, 0, 0};
    const v4df pre = zero + q.pre, post = zero + q.post, k = zero + q.k, k1 = zero + q.k1;
    const v4df dry = zero + q.dry, wet = zero + q.wet;
    const v4si mask = v4si{} + int32_t(q.mask);
    const v4di magnitude = v4di{} + INT64_MAX;
    size_t i = 0;
    for (; i + 4 <= n; i += 4) {
        const v4df s = __builtin_convertvector(load4_s16(in + 2 * i), v4df);
        v4si r = to_i32(s * pre);
        v4si m;
        if (Mode == 1) {
            m = clamp(to_i32(__builtin_convertvector(r & mask, v4df) * post), -32767, 32767);
        } else {
            const v4df u = __builtin_convertvector(r, v4df) * 0x1p-15;
            const v4df a = reinterpret_cast<v4df>(reinterpret_cast<v4di>(u) & magnitude);
            const v4df shaped = k1 * u / (k * a + 1.0) * post;
            m = clamp(to_i32(shaped * 32767.0), -32767, 32767);
        }
        const v4si y = to_i32(dry * s + wet * __builtin_convertvector(m, v4df));
        store4_s16(out + 2 * i, clamp(y, -32768, 32767));
    }
    for (; i < n; ++i) store_s16(out, i, distort<Mode, false>(q, load_s16(in, i)));
}

template <bool Limiter>
void run_sign(const uint8_t *in, uint8_t *out, size_t n, const DistortionParams &p) noexcept {
    for (size_t i = 0; i < n; ++i) store_s16(out, i, distort_sign<Limiter>(p, load_s16(in, i)));
}

// Every output sample is a function of its input sample alone, so `table` (65536 entries, indexed
// by the input sample's bits) can hold it for every input value.
template <int Mode, bool Limiter>
void fill_table(int16_t *table, const DistortionParams &p) noexcept {
    for (int32_t s = -32768; s < 32768; ++s) {
        int32_t y = Mode == 4 ? distort_sign<Limiter>(p, s) : distort<Mode, Limiter>(p, s);
        table[uint16_t(s)] = static_cast<int16_t>(y);
    }
}

// Modes 0 and 2 spend most of their time in libm (a pow, or four exp and a sqrt, per sample), and
// a stream calls block after block with the same settings. Each thread therefore keeps, for the
// settings of its last such call, the output of every input value it has met so far, and looks
// the value up when it meets it again. The settings are compared bit for bit.
struct CurveMemo {
    int mode;
    bool limiter;
    double pre, post, exponent, dry, wet;
    uint64_t known[65536 / 64];
    int16_t value[65536];
};

struct MemoSlot {
    CurveMemo *memo = nullptr;
    ~MemoSlot() { std::free(memo); }
};

inline bool same_bits(double a, double b) noexcept { return std::memcmp(&a, &b, sizeof a) == 0; }

// The calling thread's memo set up for `p`, or null where it cannot be allocated.
inline CurveMemo *memo_for(const DistortionParams &p) noexcept {
    static thread_local MemoSlot slot;
    CurveMemo *m = slot.memo;
    if (m == nullptr) {
        m = static_cast<CurveMemo *>(std::malloc(sizeof(CurveMemo)));
        if (m == nullptr) return nullptr;
        m->mode = -1;
        slot.memo = m;
    }
    if (m->mode != p.mode || m->limiter != p.limiter || !same_bits(m->pre, p.pre) || !same_bits(m->post, p.post) ||
        !same_bits(m->exponent, p.exponent) || !same_bits(m->dry, p.dry) || !same_bits(m->wet, p.wet)) {
        m->mode = p.mode;
        m->limiter = p.limiter;
        m->pre = p.pre, m->post = p.post, m->exponent = p.exponent, m->dry = p.dry, m->wet = p.wet;
        std::memset(m->known, 0, sizeof m->known);
    }
    return m;
}

template <int Mode, bool Limiter>
void run_memo(const uint8_t *in, uint8_t *out, size_t n, const DistortionParams &p, CurveMemo &m) noexcept {
    const DistortionParams q = p;
    for (size_t i = 0; i < n; ++i) {
        const int32_t s = load_s16(in, i);
        const uint16_t x = static_cast<uint16_t>(s);
        const uint64_t bit = uint64_t(1) << (x & 63);
        if ((m.known[x >> 6] & bit) == 0) {
            m.value[x] = static_cast<int16_t>(distort<Mode, Limiter>(q, s));
            m.known[x >> 6] |= bit;
        }
        store_s16(out, i, m.value[x]);
    }
}

template <bool Limiter>
void dispatch(const uint8_t *in, uint8_t *out, size_t n, const DistortionParams &p, int16_t *table) noexcept {
    // mode 4 here: mode 3 with an infinite k
    const int mode = p.mode == 3 && std::isinf(p.k) ? 4 : p.mode;
    if (table) {
        switch (mode) {
        case 0: fill_table<0, Limiter>(table, p); break;
        case 1: fill_table<1, Limiter>(table, p); break;
        case 2: fill_table<2, Limiter>(table, p); break;
        case 3: fill_table<3, Limiter>(table, p); break;
        default: fill_table<4, Limiter>(table, p); break;
        }
        for (size_t i = 0; i < n; ++i) store_s16(out, i, table[uint16_t(load_s16(in, i))]);
        return;
    }
    if (mode == 0 || mode == 2) {
        if (CurveMemo *m = memo_for(p)) {
            mode == 0 ? run_memo<0, Limiter>(in, out, n, p, *m) : run_memo<2, Limiter>(in, out, n, p, *m);
            return;
        }
    }
    switch (mode) {
    case 0: run_samples<0, Limiter>(in, out, n, p); break;
    case 1: Limiter ? run_samples<1, Limiter>(in, out, n, p) : run_vector<1>(in, out, n, p); break;
    case 2: run_samples<2, Limiter>(in, out, n, p); break;
    case 3: Limiter ? run_samples<3, Limiter>(in, out, n, p) : run_vector<3>(in, out, n, p); break;
    default: run_sign<Limiter>(in, out, n, p); break;
    }
}

// Calls over more samples than this go through a table of all 65536 input values.
inline constexpr size_t kTableSamples = 65536;

void distortion(const uint8_t *in, uint8_t *out, size_t n, const DistortionParams &p,
                int16_t *table) noexcept {
    if (p.limiter)
        dispatch<true>(in, out, n, p, table);
    else
        dispatch<false>(in, out, n, p, table);
}

}  // namespace kernel

// ---------------------------------------------------------------------------------------------
// Binding

PyObject *distortion_s16(PyObject *, PyObject *args) {
    BufferView in;
    double drive, in_db, out_db, mix;
    int mode, limiter;
    if (!PyArg_ParseTuple(args, "y*dddipd:distortion_s16", in.out(), &drive, &in_db, &out_db, &mode,
                          &limiter, &mix))
        return nullptr;
    if (in.size() % 2 != 0 || static_cast<unsigned int>(mode) > 3)
        return value_error("invalid distortion parameters");

    constexpr double kDbToLn = 0.11512925464970228;  // ln 10 / 20
    kernel::DistortionParams p{};
    p.mode = mode;
    p.limiter = limiter != 0;
    p.pre = std::exp(in_db * kDbToLn);
    p.post = std::exp(out_db * kDbToLn);
    p.exponent = 1.0001 - drive;
    p.k = 2.0 * drive / (1.0001 - drive);
    p.k1 = p.k + 1.0;
    int bits = saturate_cast<int32_t>(std::round(drive * 14.0)) & 31;
    p.mask = UINT32_MAX << bits;
    p.dry = 1.0 - mix;
    p.wet = mix;

    uint8_t *out;
    PyObject *result = new_bytes(in.size(), &out);
    if (!result) return nullptr;
    const size_t n = in.size() / 2;
    // A long call evaluates the curve once per input value; without the table's memory it
    // evaluates it per sample, with the same results.
    int16_t *table = nullptr;
    if (n > kernel::kTableSamples) table = static_cast<int16_t *>(PyMem_Malloc(65536 * sizeof(int16_t)));
    size_t cost = table ? 1 : (mode == 1 || mode == 3 ? 2 : 30);
    without_gil(kernel_work(n, cost), [&] { kernel::distortion(in.bytes(), out, n, p, table); });
    PyMem_Free(table);
    return result;
}

}  // namespace sonolith
