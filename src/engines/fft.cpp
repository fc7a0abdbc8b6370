// Real FFT kernels (see fft.hpp). Every butterfly and split step runs in float in the order
// written here; the build keeps fused multiply-adds off, which these results depend on.
#include "engines/fft.hpp"

#include "engines/sincos.hpp"

namespace sonolith {

void fft_plan_init(fft_plan& plan, uint32_t n, float* table) noexcept {
    constexpr double kTwoPi = 6.283185307179586;
    const uint32_t m = n / 2;
    plan.real_length = n;
    plan.complex_length = m;
    plan.complex_twiddles = table;
    plan.split_twiddles = table + m;
    for (uint32_t k = 0; k < m / 2; ++k) {
        const SinCos sc = dsp_sincos((double(k) * -kTwoPi) / double(m));
        plan.complex_twiddles[2 * k] = float(sc.cos);
        plan.complex_twiddles[2 * k + 1] = float(sc.sin);
    }
    for (uint32_t k = 0; k < m; ++k) {
        const SinCos sc = dsp_sincos((double(k) * -kTwoPi) / double(n));
        plan.split_twiddles[2 * k] = float(sc.cos);
        plan.split_twiddles[2 * k + 1] = float(sc.sin);
    }
}

void fft_complex(float* data, uint32_t m, const float* w, bool inverse) noexcept {
    if (inverse)
        for (uint32_t i = 0; i < m; ++i) data[2 * i + 1] = -data[2 * i + 1];
    uint32_t j = 0;
    for (uint32_t i = 1; i < m; ++i) {
        uint32_t d = m / 2;
        while (j & d) {
            j &= ~d;
            d >>= 1;
        }
        j |= d;
        if (i < j) {
            const float re = data[2 * i], im = data[2 * i + 1];
            data[2 * i] = data[2 * j];
            data[2 * i + 1] = data[2 * j + 1];
            data[2 * j] = re;
            data[2 * j + 1] = im;
        }
    }
    for (uint32_t d = 2; d <= m; d *= 2) {
        const uint32_t s = m / d, h = d / 2;
        for (uint32_t f = 0; f < m; f += d) {
            for (uint32_t i = 0; i < h; ++i) {
                const float wr = w[2 * (i * s)], wi = w[2 * (i * s) + 1];
                float* a = data + 2 * (f + i);
                float* b = data + 2 * (f + i + h);
                const float tr = b[0] * wr - b[1] * wi;
                const float ti = b[0] * wi + b[1] * wr;
                const float ar = a[0], ai = a[1];
                a[0] = ar + tr;
                a[1] = ai + ti;
                b[0] = ar - tr;
                b[1] = ai - ti;
            }
        }
    }
    if (inverse)
        for (uint32_t i = 0; i < m; ++i) data[2 * i + 1] = -data[2 * i + 1];
}

void fft_real_forward(const fft_plan& plan, const float* x, float* X, float* z) noexcept {
    const uint32_t n = plan.real_length, m = plan.complex_length;
    for (uint32_t i = 0; i < n; ++i) z[i] = x[i];
    fft_complex(z, m, plan.complex_twiddles, false);
    const float* v = plan.split_twiddles;
    for (uint32_t k = 0; k < m; ++k) {
        const uint32_t y = (m - k) % m;
        const float zr = z[2 * k], zi = z[2 * k + 1];
        const float yr = z[2 * y], yi = z[2 * y + 1];
        const float c = v[2 * k], s = v[2 * k + 1];
        const float d = (zr - yr) * -0.5f;
        const float e = (yi + zi) * 0.5f;
        X[2 * k] = c * e - s * d + (yr + zr) * 0.5f;
        X[2 * k + 1] = c * d + s * e + (zi - yi) * 0.5f;
    }
    const float r0 = z[0], i0 = z[1];
    X[0] = r0 + i0;
    X[1] = 0.0f;
    X[2 * m] = r0 - i0;
    X[2 * m + 1] = 0.0f;
}

void fft_real_inverse(const fft_plan& plan, const float* X, float* x, float* z) noexcept {
    const uint32_t n = plan.real_length, m = plan.complex_length;
    const float* v = plan.split_twiddles;
    for (uint32_t k = 0; k < m; ++k) {
        const uint32_t y = m - k;
        const float zr = X[2 * k], zi = X[2 * k + 1];
        const float yr = X[2 * y], yi = X[2 * y + 1];
        const float c = v[2 * k], s = -v[2 * k + 1];
        const float e = (zr - yr) * 0.5f;
        const float g = (yi + zi) * 0.5f;
        z[2 * k] = (yr + zr) * 0.5f - (c * g + s * e);
        z[2 * k + 1] = c * e - s * g + (zi - yi) * 0.5f;
    }
    fft_complex(z, m, plan.complex_twiddles, true);
    const float scale = 1.0f / float(m);
    for (uint32_t i = 0; i < n; ++i) x[i] = z[i] * scale;
}

}  // namespace sonolith
