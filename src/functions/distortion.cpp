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
#include <cmath>

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

inline double distortion_curve(const DistortionParams &p, double u) noexcept {
    switch (p.mode) {
    case 0:
        if (u == 0.0) return 0.0;
        return u < 0.0 ? -std::pow(-u, p.exponent) : std::pow(u, p.exponent);
    case 2: {
        double v = 0.686306 * u;
        double ev = std::exp(v), env = std::exp(-v);
        return (ev - std::exp(-v * (1.0 + std::exp(-0.75 * std::sqrt(std::fabs(v)))))) / (ev + env);
    }
    case 3:
        if (std::isinf(p.k)) return u > 0.0 ? 1.0 : (u < 0.0 ? -1.0 : 0.0);
        return p.k1 * u / (p.k * std::fabs(u) + 1.0);
    default:  // mode 1 with the limiter: the masked value passes unshaped
        return u;
    }
}

inline int32_t clamp_wet(int32_t m) noexcept { return m < -32767 ? -32767 : (m > 32767 ? 32767 : m); }

void distortion(const uint8_t *in, uint8_t *out, size_t n, const DistortionParams &p) noexcept {
    for (size_t i = 0; i < n; ++i) {
        int32_t s = load_s16(in, i);
        int32_t r = saturate_cast<int32_t>(s * p.pre);
        int32_t m;
        if (p.mode == 1 && !p.limiter) {
            int32_t masked = static_cast<int32_t>(static_cast<uint32_t>(r) & p.mask);
            m = clamp_wet(saturate_cast<int32_t>(masked * p.post));
        } else {
            if (p.mode == 1) r = static_cast<int32_t>(static_cast<uint32_t>(r) & p.mask);
            double u = r * 0x1p-15;
            double shaped = distortion_curve(p, u) * p.post;
            if (p.limiter) {
                shaped = shaped > 0.0 ? 1.0 - std::exp(-shaped) : std::exp(shaped) - 1.0;
                m = saturate_cast<int32_t>(shaped * 32767.0);
            } else {
                m = clamp_wet(saturate_cast<int32_t>(shaped * 32767.0));
            }
        }
        store_s16(out, i, clamp_s16(saturate_cast<int32_t>(p.dry * s + p.wet * m)));
    }
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
    int cost = mode == 1 ? 2 : 30;
    without_gil(kernel_work(in.size() / 2, cost),
                [&] { kernel::distortion(in.bytes(), out, in.size() / 2, p); });
    return result;
}

}  // namespace sonolith
