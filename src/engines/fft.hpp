// Single-precision real FFT for power-of-two block lengths N (the module uses 512 and 1024).
//
// A real block of N samples goes through one complex FFT of M = N/2 points (radix-2, decimation in
// time, after a bit-reversal permutation) and a split step that yields the N/2 + 1
// non-negative-frequency bins; the inverse runs the same steps backwards. The forward transform is
// unnormalised, the inverse scales by 1/M (computed in float), so forward then inverse returns the
// input within float rounding. Complex values are interleaved float pairs (re, im); a spectrum is
// N + 2 floats, and bins 0 and N/2 have imaginary part exactly 0.
//
// API (stable; other engines and processors build on it):
//   fft_plan                      lengths plus two table pointers; does not own its tables.
//   fft_table_floats(N)           3N/2: floats the owner provides for the tables
//                                 (first N/2 complex twiddles, then N split twiddles).
//   fft_plan_init(plan, N, table) sets the lengths and pointers and fills the tables (the only
//                                 place trigonometry runs, through dsp_sincos).
//   fft_complex(data, M, tw, inv) M interleaved complex values in place, no scaling.
//   fft_real_forward(plan, x, X, scratch)  x: N floats (read), X: N + 2 floats (written),
//                                 scratch: N floats (overwritten).
//   fft_real_inverse(plan, X, x, scratch)  X: N + 2 floats (read), x: N floats (written),
//                                 scratch: N floats (overwritten).
// Transforms allocate nothing and call no trigonometric function; x/X must not alias scratch.
#pragma once

#include <cstdint>

namespace sonolith {

struct fft_plan {
    uint32_t real_length;      // N
    uint32_t complex_length;   // M = N / 2
    float* complex_twiddles;   // M/2 complex W_k = e^(-2*pi*i*k/M)
    float* split_twiddles;     // M complex V_k = e^(-2*pi*i*k/N)
};

constexpr uint32_t fft_table_floats(uint32_t n) noexcept { return n / 2 * 3; }

void fft_plan_init(fft_plan& plan, uint32_t n, float* table) noexcept;
void fft_complex(float* data, uint32_t m, const float* twiddles, bool inverse) noexcept;
void fft_real_forward(const fft_plan& plan, const float* x, float* X, float* scratch) noexcept;
void fft_real_inverse(const fft_plan& plan, const float* X, float* x, float* scratch) noexcept;

}  // namespace sonolith
