// Real FFT kernels (see fft.hpp). Every butterfly and split step runs in float in the order
// written here; the build keeps fused multiply-adds off, which these results depend on.
#include "engines/fft.hpp"

#include "engines/sincos.hpp"

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace sonolith {

namespace {
void butterflies(float* data, uint32_t m, const float* w, uint32_t d) noexcept;
}

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
    uint32_t d = 2;
#if defined(__SSE2__)
    // The first span alone in scalar code; from span 4 on, two butterflies of consecutive i per
    // register, each lane doing the scalar operations (a - b is a + (-b) exactly, and the two
    // products of t.im are added in either order with the same result).
    if (m >= 4) {
        butterflies(data, m, w, 2);
        const __m128 negate_re =
            _mm_castsi128_ps(_mm_set_epi32(0, int32_t(0x80000000), 0, int32_t(0x80000000)));
        for (d = 4; d <= m; d *= 2) {
            const uint32_t s = m / d, h = d / 2;
            for (uint32_t f = 0; f < m; f += d) {
                for (uint32_t i = 0; i < h; i += 2) {
                    const float* w0 = w + 2 * (i * s);
                    const float* w1 = w + 2 * ((i + 1) * s);
                    const __m128 wv = _mm_set_ps(w1[1], w1[0], w0[1], w0[0]);
                    float* a = data + 2 * (f + i);
                    float* b = data + 2 * (f + i + h);
                    const __m128 bv = _mm_loadu_ps(b);  // br0 bi0 br1 bi1
                    const __m128 wre = _mm_shuffle_ps(wv, wv, _MM_SHUFFLE(2, 2, 0, 0));
                    const __m128 wim = _mm_shuffle_ps(wv, wv, _MM_SHUFFLE(3, 3, 1, 1));
                    const __m128 bsw = _mm_shuffle_ps(bv, bv, _MM_SHUFFLE(2, 3, 0, 1));
                    // (br wr, bi wr) + (-(bi wi), br wi)
                    const __m128 t = _mm_add_ps(_mm_mul_ps(bv, wre),
                                                _mm_xor_ps(_mm_mul_ps(bsw, wim), negate_re));
                    const __m128 av = _mm_loadu_ps(a);
                    _mm_storeu_ps(a, _mm_add_ps(av, t));
                    _mm_storeu_ps(b, _mm_sub_ps(av, t));
                }
            }
        }
    }
#endif
    for (; d <= m; d *= 2) butterflies(data, m, w, d);
    if (inverse)
        for (uint32_t i = 0; i < m; ++i) data[2 * i + 1] = -data[2 * i + 1];
}

namespace {
// One butterfly span d of the decimation in time.
void butterflies(float* data, uint32_t m, const float* w, uint32_t d) noexcept {
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
}  // namespace

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
