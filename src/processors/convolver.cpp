// ConvolverState: uniformly partitioned overlap-save convolution of s16 audio (mono or stereo)
// with an impulse of up to 512 partitions of 256 frames, at a fixed latency of 256 frames.
//
// Each partition of the impulse is held as the 514-float spectrum of a 512-point block (the
// partition, then 256 zeros). Every completed input block of 256 frames is appended to the
// previous one, transformed once and kept in a ring of P spectra per channel; the output block
// is the inverse transform of sum_i H_i x X_(newest - i), of which the second half is the
// circular-convolution-free part (overlap-save), mixed with the dry block it came from. The
// impulse is loaded from caller PCM or synthesised as a decaying noise room (engines/room); a
// replacement while audio runs crossfades from the old impulse's output to the new one over the
// rest of the current block. A silence detector lets process_silence stop computing once the
// whole state is exactly zero.
//
// All signal arithmetic is single precision, in the written order. The spectral multiply-add
// runs per bin in the order of the partitions, two bins per SSE2 register (four with AVX; each
// lane doing the scalar operations), streaming through each spectrum; a long call computes up to
// 16 block boundaries together, so that a long impulse's spectra are fetched once for all of them.
//
// Guards beyond the plain algorithm:
//   - the output conversion saturates whatever the magnitude and sends NaN to 0;
//   - options are clamped with NaN taking the option's default (mix 0.5, wet gain 1);
//   - process_silence refuses a frame count whose byte size does not fit (OverflowError);
//   - an object whose __init__ never ran (no channels, no arrays) never reaches a kernel;
//   - the silence run saturates instead of wrapping.
#include <cmath>
#include <cstdlib>
#include <cstring>

#if defined(__x86_64__)
#include <immintrin.h>
#endif

#include "engines/fft.hpp"
#include "engines/room.hpp"
#include "module/module.hpp"
#include "module/numeric.hpp"

namespace sonolith {

// ---------------------------------------------------------------------------------------------
// Kernel

namespace kernel {

constexpr uint32_t kBlock = 256;          // frames per partition and per output block
constexpr uint32_t kSize = 512;           // transform length
constexpr uint32_t kSpectrum = 514;       // floats of one spectrum (257 complex bins)
constexpr uint32_t kMaxPartitions = 512;
constexpr uint32_t kTableFloats = 768;    // fft_table_floats(512)

// Floats of the work array: plan tables, input blocks, input accumulator, output block,
// spectrum history, accumulator, transform scratch, block result.
constexpr size_t work_floats(uint32_t partitions) noexcept {
    return size_t(1028) * partitions + 4354;
}
constexpr size_t impulse_floats(uint32_t ir_channels, uint32_t partitions) noexcept {
    return size_t(ir_channels) * partitions * kSpectrum;
}

struct Convolver {
    uint32_t sample_rate;
    uint32_t channels;
    uint32_t partitions;   // P
    uint32_t ir_channels;
    float mix;             // stored doubled, 0 .. 2
    float wet_gain;        // 0 .. 4
    fft_plan plan;
    float *input_blocks;   // per channel 512: previous 256 input frames, then the latest 256
    float *input_acc;      // per channel 256: the input block being filled
    float *output_block;   // per channel 256: the output being emitted
    float *history;        // (ch x P + slot) x 514
    float *impulse;        // (j x P + k) x 514
    float *accumulator;    // 514
    float *scratch;        // 512
    float *block_result;   // 512
    uint32_t position;     // 0 .. 255
    uint32_t slot;         // newest history slot
    uint32_t loaded;       // L, partitions of the current impulse
    float latched_mix, latched_gain;
    uint8_t silent;
    uint32_t silence_run;
    float peak_gain;
};

// Points the kernel's arrays into a work array of work_floats(P) floats and builds the plan.
void attach(Convolver &c, float *work) noexcept {
    float *p = work;
    fft_plan_init(c.plan, kSize, p);
    p += kTableFloats;
    c.input_blocks = p, p += 2 * kSize;
    c.input_acc = p, p += 2 * kBlock;
    c.output_block = p, p += 2 * kBlock;
    c.history = p, p += size_t(2) * c.partitions * kSpectrum;
    c.accumulator = p, p += kSpectrum;
    c.scratch = p, p += kSize;
    c.block_result = p;
}

void reset(Convolver &c) noexcept {
    std::memset(c.input_blocks, 0, 2 * kSize * sizeof(float));
    std::memset(c.input_acc, 0, 2 * kBlock * sizeof(float));
    std::memset(c.output_block, 0, 2 * kBlock * sizeof(float));
    std::memset(c.history, 0, size_t(2) * c.partitions * kSpectrum * sizeof(float));
    c.position = 0;
    c.slot = 0;
    c.latched_mix = c.mix;
    c.latched_gain = c.wet_gain;
    c.silent = 0;
    c.silence_run = 0;
}

// acc[b] += h_q[b] x x_q[b] for q = 0 .. G - 1 in turn, over the 257 complex bins, as
//   re += h.re x.re - h.im x.im,  im += h.re x.im + h.im x.re.
// Each spectrum is read once from start to end (the hardware prefetches such streams well); a
// group of G partitions is added to an accumulator value before it is stored again, which keeps
// every bin's additions in the order of the partitions.
template <uint32_t G>
inline void multiply_add_group(float *acc, const float *const *h, const float *const *x) noexcept {
    uint32_t b = 0;
#if defined(__SSE2__)
    const __m128 negate_re =
        _mm_castsi128_ps(_mm_set_epi32(0, int32_t(0x80000000), 0, int32_t(0x80000000)));
    for (; b < 256; b += 2) {
        __m128 a = _mm_loadu_ps(acc + 2 * b);
        for (uint32_t q = 0; q < G; ++q) {
            const __m128 hv = _mm_loadu_ps(h[q] + 2 * b);  // hr0 hi0 hr1 hi1
            const __m128 xv = _mm_loadu_ps(x[q] + 2 * b);  // xr0 xi0 xr1 xi1
            const __m128 hre = _mm_shuffle_ps(hv, hv, _MM_SHUFFLE(2, 2, 0, 0));
            const __m128 him = _mm_shuffle_ps(hv, hv, _MM_SHUFFLE(3, 3, 1, 1));
            const __m128 xsw = _mm_shuffle_ps(xv, xv, _MM_SHUFFLE(2, 3, 0, 1));
            // (hr xr, hr xi) + (-(hi xi), hi xr): a - b is a + (-b) exactly
            a = _mm_add_ps(a, _mm_add_ps(_mm_mul_ps(hre, xv),
                                         _mm_xor_ps(_mm_mul_ps(him, xsw), negate_re)));
        }
        _mm_storeu_ps(acc + 2 * b, a);
    }
#endif
    for (; b < kSpectrum / 2; ++b) {
        float re = acc[2 * b], im = acc[2 * b + 1];
        for (uint32_t q = 0; q < G; ++q) {
            const float hr = h[q][2 * b], hi = h[q][2 * b + 1];
            const float xr = x[q][2 * b], xi = x[q][2 * b + 1];
            re += hr * xr - hi * xi;
            im += hr * xi + hi * xr;
        }
        acc[2 * b] = re, acc[2 * b + 1] = im;
    }
}

#if defined(__x86_64__) && defined(__GNUC__)
// The same with four bins per AVX register: addsub gives h.re x.re - h.im x.im in the even
// lanes and h.re x.im + h.im x.re in the odd ones, each lane the scalar operations.
template <uint32_t G>
__attribute__((target("avx"))) void multiply_add_group_avx(float *acc, const float *const *h,
                                                           const float *const *x) noexcept {
    for (uint32_t b = 0; b < 256; b += 4) {
        __m256 a = _mm256_loadu_ps(acc + 2 * b);
        for (uint32_t q = 0; q < G; ++q) {
            const __m256 hv = _mm256_loadu_ps(h[q] + 2 * b);
            const __m256 xv = _mm256_loadu_ps(x[q] + 2 * b);
            const __m256 xsw = _mm256_permute_ps(xv, 0xB1);
            a = _mm256_add_ps(a, _mm256_addsub_ps(_mm256_mul_ps(_mm256_moveldup_ps(hv), xv),
                                                  _mm256_mul_ps(_mm256_movehdup_ps(hv), xsw)));
        }
        _mm256_storeu_ps(acc + 2 * b, a);
    }
    float re = acc[512], im = acc[513];
    for (uint32_t q = 0; q < G; ++q) {
        const float hr = h[q][512], hi = h[q][513], xr = x[q][512], xi = x[q][513];
        re += hr * xr - hi * xi;
        im += hr * xi + hi * xr;
    }
    acc[512] = re, acc[513] = im;
}
bool detect_avx() noexcept {
    __builtin_cpu_init();  // this may run before the runtime's own initialisation
    return __builtin_cpu_supports("avx");
}
const bool kHasAvx = detect_avx();
#define SL_CONVOLVER_AVX 1
#endif

template <uint32_t G>
inline void multiply_add(float *acc, const float *const *h, const float *const *x) noexcept {
#if defined(SL_CONVOLVER_AVX)
    if (kHasAvx) return multiply_add_group_avx<G>(acc, h, x);
#endif
    multiply_add_group<G>(acc, h, x);
}

// The same for a group of g = 1 .. 8 partitions.
inline void multiply_add(uint32_t g, float *acc, const float *const *h, const float *const *x) noexcept {
    switch (g) {
    case 1: multiply_add<1>(acc, h, x); break;
    case 2: multiply_add<2>(acc, h, x); break;
    case 3: multiply_add<3>(acc, h, x); break;
    case 4: multiply_add<4>(acc, h, x); break;
    case 5: multiply_add<5>(acc, h, x); break;
    case 6: multiply_add<6>(acc, h, x); break;
    case 7: multiply_add<7>(acc, h, x); break;
    default: multiply_add<8>(acc, h, x); break;
    }
}

// The spectral sum of convolve_block for L partitions: acc = sum over i of H_i x X_i, where X_i
// is the history slot i blocks before the newest, each bin summed in the order of i from zero.
void spectral_sum(const Convolver &c, uint32_t ch, float *acc) noexcept {
    constexpr uint32_t kGroup = 8;
    const uint32_t P = c.partitions, L = c.loaded;
    const float *h0 = c.impulse + (c.ir_channels == 2 ? size_t(ch) * P * kSpectrum : 0);
    const float *x0 = c.history + size_t(ch) * P * kSpectrum;
    std::memset(acc, 0, kSpectrum * sizeof(float));
    uint32_t s = c.slot;
    for (uint32_t i = 0; i < L; i += kGroup) {
        const uint32_t g = L - i < kGroup ? L - i : kGroup;
        const float *h[kGroup], *x[kGroup];
        for (uint32_t q = 0; q < g; ++q) {
            h[q] = h0 + size_t(i + q) * kSpectrum;
            x[q] = x0 + size_t(s) * kSpectrum;
            s = s == 0 ? P - 1 : s - 1;
        }
        multiply_add(g, acc, h, x);
    }
}

// The wet block of channel ch with the current impulse: block_result[256 .. 511].
void convolve_block(Convolver &c, uint32_t ch) noexcept {
    spectral_sum(c, ch, c.accumulator);
    fft_real_inverse(c.plan, c.accumulator, c.block_result, c.scratch);
}

void block_boundary(Convolver &c) noexcept {
    c.latched_mix = c.mix;
    c.latched_gain = c.wet_gain;
    c.slot = c.slot + 1 == c.partitions ? 0 : c.slot + 1;
    const float mix = c.latched_mix;
    const float wet = (mix < 1.0f ? mix : 1.0f) * c.latched_gain;
    const float dry = 2.0f - mix < 1.0f ? 2.0f - mix : 1.0f;
    for (uint32_t ch = 0; ch < c.channels; ++ch) {
        float *blocks = c.input_blocks + ch * kSize;
        const float *acc = c.input_acc + ch * kBlock;
        std::memcpy(blocks, blocks + kBlock, kBlock * sizeof(float));
        std::memcpy(blocks + kBlock, acc, kBlock * sizeof(float));
        fft_real_forward(c.plan, blocks,
                         c.history + (size_t(ch) * c.partitions + c.slot) * kSpectrum, c.scratch);
        convolve_block(c, ch);
        float *out = c.output_block + ch * kBlock;
        const float *wet_block = c.block_result + kBlock;
        for (uint32_t i = 0; i < kBlock; ++i) out[i] = wet * wet_block[i] + dry * acc[i];
    }
}

// y rounded half away from zero and saturated to 16 bits; NaN gives 0.
inline int32_t to_s16(float y) noexcept {
    float t = y < 0.0f ? y - 0.5f : y + 0.5f;
    t = t > 32767.0f ? 32767.0f : t;
    t = t < -32768.0f ? -32768.0f : t;
    t = t == t ? t : 0.0f;
    return static_cast<int32_t>(t);
}

// A run of whole blocks inside one call goes through kBatch block boundaries at a time. Their
// spectral sums walk the impulse one group of partitions at a time for all of them, so each
// impulse spectrum and each history spectrum is fetched once per run rather than once per block
// (the spectra of a long impulse do not fit in the caches). Every bin of every sum still adds its
// products in the order of the partitions, and every other step is block_boundary's in turn, so
// the output and the state are those of block-by-block processing.
constexpr uint32_t kBatch = 16;

struct Batch {
    float input[2][kBatch][kBlock];    // the run's input blocks per channel
    float acc[kBatch][kSpectrum];      // the spectral sums of one channel
    float saved[kBatch][kSpectrum];    // history slots of one channel before the run rewrote them
    float wet_out[2][kBatch][kBlock];  // the blocks the run's boundaries computed
};

// K (2 .. kBatch, at most P) whole blocks from frame `done` on, with the block position at 0.
template <uint32_t Channels>
void run_blocks(Convolver &c, const uint8_t *in, uint8_t *out, size_t done, uint32_t K, Batch &b) noexcept {
    const uint32_t P = c.partitions, L = c.loaded;
    // All input is read before any output is written: process_silence runs in place.
    for (uint32_t j = 0; j < K; ++j)
        for (uint32_t ch = 0; ch < Channels; ++ch)
            for (uint32_t i = 0; i < kBlock; ++i)
                b.input[ch][j][i] = static_cast<float>(load_s16(in, (done + size_t(j) * kBlock + i) * Channels + ch));
    c.latched_mix = c.mix;
    c.latched_gain = c.wet_gain;
    const float mix = c.latched_mix;
    const float wet = (mix < 1.0f ? mix : 1.0f) * c.latched_gain;
    const float dry = 2.0f - mix < 1.0f ? 2.0f - mix : 1.0f;
    const uint32_t first = c.slot + 1 == P ? 0 : c.slot + 1;  // the slot of the run's first block
    for (uint32_t ch = 0; ch < Channels; ++ch) {
        float *blocks = c.input_blocks + ch * kSize;
        float *history = c.history + size_t(ch) * P * kSpectrum;
        for (uint32_t j = 0; j < K; ++j) {
            float *slot = history + size_t((first + j) % P) * kSpectrum;
            std::memcpy(b.saved[j], slot, kSpectrum * sizeof(float));
            std::memcpy(blocks, blocks + kBlock, kBlock * sizeof(float));
            std::memcpy(blocks + kBlock, b.input[ch][j], kBlock * sizeof(float));
            fft_real_forward(c.plan, blocks, slot, c.scratch);
        }
        // Boundary j reads slot (first + j - i) mod P for partition i. A slot that block w > j
        // of the run rewrote still holds, for boundary j, what it held before the run.
        const float *h0 = c.impulse + (c.ir_channels == 2 ? size_t(ch) * P * kSpectrum : 0);
        std::memset(b.acc, 0, sizeof b.acc);
        constexpr uint32_t kGroup = 8;
        for (uint32_t i = 0; i < L; i += kGroup) {
            const uint32_t g = L - i < kGroup ? L - i : kGroup;
            const float *h[kGroup], *x[kGroup];
            for (uint32_t q = 0; q < g; ++q) h[q] = h0 + size_t(i + q) * kSpectrum;
            for (uint32_t j = 0; j < K; ++j) {
                for (uint32_t q = 0; q < g; ++q) {
                    const uint32_t slot = (first + j + P - (i + q)) % P;
                    const uint32_t w = (slot + P - first) % P;
                    x[q] = w < K && w > j ? b.saved[w] : history + size_t(slot) * kSpectrum;
                }
                multiply_add(g, b.acc[j], h, x);
            }
        }
        for (uint32_t j = 0; j < K; ++j) {
            fft_real_inverse(c.plan, b.acc[j], c.block_result, c.scratch);
            const float *wet_block = c.block_result + kBlock;
            for (uint32_t i = 0; i < kBlock; ++i) b.wet_out[ch][j][i] = wet * wet_block[i] + dry * b.input[ch][j][i];
        }
    }
    // Block j plays what boundary j - 1 computed; the first plays the block already computed.
    for (uint32_t j = 0; j < K; ++j)
        for (uint32_t ch = 0; ch < Channels; ++ch) {
            const float *y = j == 0 ? c.output_block + ch * kBlock : b.wet_out[ch][j - 1];
            for (uint32_t i = 0; i < kBlock; ++i)
                store_s16(out, (done + size_t(j) * kBlock + i) * Channels + ch, to_s16(y[i]));
        }
    for (uint32_t ch = 0; ch < Channels; ++ch) {
        std::memcpy(c.output_block + ch * kBlock, b.wet_out[ch][K - 1], kBlock * sizeof(float));
        std::memcpy(c.input_acc + ch * kBlock, b.input[ch][K - 1], kBlock * sizeof(float));
    }
    c.slot = (first + K - 1) % P;
}

// n frames of interleaved s16 from in to out (which may be the same buffer).
template <uint32_t Channels>
void stream_frames(Convolver &c, const uint8_t *in, uint8_t *out, size_t frames, Batch *batch) noexcept {
    size_t done = 0;
    while (done < frames) {
        if (batch != nullptr && c.position == 0 && frames - done >= 2 * kBlock) {
            size_t k = (frames - done) / kBlock;
            k = k < kBatch ? k : kBatch;
            k = k < c.partitions ? k : c.partitions;
            if (k >= 2) {
                run_blocks<Channels>(c, in, out, done, static_cast<uint32_t>(k), *batch);
                done += k * kBlock;
                continue;
            }
        }
        const uint32_t pos = c.position;
        const size_t room = kBlock - pos;
        const uint32_t k = static_cast<uint32_t>(frames - done < room ? frames - done : room);
        for (uint32_t ch = 0; ch < Channels; ++ch) {
            const float *y = c.output_block + ch * kBlock + pos;
            float *acc = c.input_acc + ch * kBlock + pos;
            const size_t base = done * Channels + ch;
            for (uint32_t i = 0; i < k; ++i) {
                const size_t at = base + size_t(i) * Channels;
                const int16_t x = load_s16(in, at);
                acc[i] = static_cast<float>(x);
                store_s16(out, at, to_s16(y[i]));
            }
        }
        done += k;
        c.position = pos + k;
        if (c.position == kBlock) {
            block_boundary(c);
            c.position = 0;
        }
    }
}

void stream(Convolver &c, const uint8_t *in, uint8_t *out, size_t frames) noexcept {
    if (c.loaded == 0) {
        if (in != out) std::memcpy(out, in, frames * c.channels * 2);
        return;
    }
    // Without the batch's memory the blocks go one by one, with the same results.
    const bool runs = frames >= 2 * kBlock && c.partitions >= 2;
    Batch *batch = runs ? static_cast<Batch *>(std::malloc(sizeof(Batch))) : nullptr;
    if (c.channels == 1)
        stream_frames<1>(c, in, out, frames, batch);
    else
        stream_frames<2>(c, in, out, frames, batch);
    std::free(batch);
}

// Installs a new impulse (spectra and length); with an impulse playing and a non-empty new one,
// the rest of the current block crossfades from the old impulse's output to the new one's.
// The caller frees the old spectra afterwards.
void replace_impulse(Convolver &c, float *spectra, uint32_t length) noexcept {
    const bool crossfade = c.loaded > 0 && length > 0;
    if (crossfade) {
        for (uint32_t ch = 0; ch < c.channels; ++ch) {
            convolve_block(c, ch);
            std::memcpy(c.input_blocks + ch * kSize, c.block_result + kBlock,
                        kBlock * sizeof(float));
        }
    }
    c.impulse = spectra;
    c.loaded = length;
    if (!crossfade) {
        reset(c);
        return;
    }
    const float mix = c.latched_mix;
    const float wet_c = mix < 1.0f ? mix : 1.0f;
    const float dry = 2.0f - mix < 1.0f ? 2.0f - mix : 1.0f;
    const float g_old = c.latched_gain, g_new = c.wet_gain;
    const uint32_t pos = c.position;
    const float span = static_cast<float>(kBlock - pos);
    for (uint32_t ch = 0; ch < c.channels; ++ch) {
        convolve_block(c, ch);
        const float *old_block = c.input_blocks + ch * kSize;
        const float *new_block = c.block_result + kBlock;
        const float *acc = c.input_acc + ch * kBlock;
        float *out = c.output_block + ch * kBlock;
        for (uint32_t w = pos; w < kBlock; ++w) {
            const float old = old_block[w], fresh = new_block[w];
            const float r = static_cast<float>(w - pos + 1) / span;
            out[w] = wet_c * (g_old * old + r * (g_new * fresh - g_old * old)) + dry * acc[w];
        }
    }
    c.latched_gain = c.wet_gain;
}

// The spectra of a caller's impulse (F frames of `channels` interleaved s16, scaled by g) into
// `spectra`; scratch holds 1024 floats. Returns the impulse's length in partitions.
uint32_t impulse_spectra(const Convolver &c, const uint8_t *pcm, size_t frames, uint32_t channels,
                         float g, float *spectra, float *scratch) noexcept {
    const uint32_t P = c.partitions;
    const uint32_t length = static_cast<uint32_t>((frames + kBlock - 1) / kBlock);
    float *block = scratch, *transform = scratch + kSize;
    for (uint32_t j = 0; j < c.ir_channels; ++j) {
        const uint32_t source = j < channels - 1 ? j : channels - 1;
        // Partitions from `length` on stay zero: they are never read.
        for (uint32_t k = 0; k < length; ++k) {
            for (uint32_t i = 0; i < kBlock; ++i) {
                const size_t frame = size_t(k) * kBlock + i;
                block[i] = frame < frames
                               ? static_cast<float>(load_s16(pcm, frame * channels + source)) * g
                               : 0.0f;
            }
            std::memset(block + kBlock, 0, kBlock * sizeof(float));
            fft_real_forward(c.plan, block, spectra + (size_t(j) * P + k) * kSpectrum, transform);
        }
    }
    return length < P ? length : P;
}

// Whether every float of the signal state is exactly 0.0 (NaN counts as non-zero).
bool state_is_zero(const Convolver &c) noexcept {
    auto zero = [](const float *p, size_t n) {
        for (size_t i = 0; i < n; ++i)
            if (!(p[i] == 0.0f)) return false;
        return true;
    };
    return zero(c.input_blocks, 2 * kSize) && zero(c.input_acc, 2 * kBlock) &&
           zero(c.output_block, 2 * kBlock) &&
           zero(c.history, size_t(2) * c.partitions * kSpectrum);
}

// After m frames of zero input went through in place into out.
void detect_silence(Convolver &c, const uint8_t *out, size_t m) noexcept {
    const size_t bytes = m * c.channels * 2;
    for (size_t i = 0; i < bytes; ++i) {
        if (out[i] != 0) {
            c.silence_run = 0;
            return;
        }
    }
    const uint64_t run = uint64_t(c.silence_run) + m;
    c.silence_run = run > UINT32_MAX ? UINT32_MAX : static_cast<uint32_t>(run);
    if (uint64_t(c.silence_run) < uint64_t(c.loaded) * kBlock + kBlock) return;
    c.silence_run = 0;
    if (c.loaded > 0 && !state_is_zero(c)) return;
    c.silent = 1;
}

}  // namespace kernel

// ---------------------------------------------------------------------------------------------
// Binding

namespace {

struct ConvolverObject {
    PyObject_HEAD
    ObjectMutex lock;
    kernel::Convolver conv;
    OwnedArray<float> work;
    OwnedArray<float> impulse;
    uint8_t ready;
};

void free_arrays(ConvolverObject *self) noexcept {
    self->work.reset();
    self->impulse.reset();
    self->ready = 0;
}

int init(ConvolverObject *self, PyObject *args, PyObject *kwds) {
    static const char *keywords[] = {"sample_rate", "partitions", "ir_channels", "channel_count",
                                     nullptr};
    unsigned int sample_rate = 48000, partitions = 1, ir_channels = 1, channel_count = 2;
    if (!PyArg_ParseTupleAndKeywords(args, kwds, "|IIII:ConvolverState",
                                     const_cast<char **>(keywords), &sample_rate, &partitions,
                                     &ir_channels, &channel_count))
        return -1;
    if (sample_rate == 0) return value_error("sample_rate must be at least 1");
    if (partitions < 1 || partitions > kernel::kMaxPartitions)
        return value_error("partitions out of range");
    if (ir_channels != 1 && ir_channels != 2) return value_error("ir_channels must be 1 or 2");
    if (channel_count != 1 && channel_count != 2) return value_error("channel_count must be 1 or 2");
    NewArray<float> work, impulse;
    if (!work.allocate(kernel::work_floats(partitions)) ||
        !impulse.allocate(kernel::impulse_floats(ir_channels, partitions)))
        return -1;
    kernel::Convolver &c = self->conv;
    c.sample_rate = sample_rate;
    c.channels = channel_count;
    c.partitions = partitions;
    c.ir_channels = ir_channels;
    c.mix = 1.0f;
    c.wet_gain = 1.0f;
    work.commit(self->work);
    impulse.commit(self->impulse);
    kernel::attach(c, self->work.data);
    c.impulse = self->impulse.data;
    c.loaded = 0;
    kernel::reset(c);
    self->ready = 1;
    return 0;
}

PyObject *configure(ConvolverObject *self, PyObject *args) {
    int option;
    double value;
    if (!PyArg_ParseTuple(args, "id:configure", &option, &value)) return nullptr;
    if (static_cast<unsigned int>(option) > 1u) return value_error("unknown convolver option");
    const float v = narrow_float(value);
    if (option == 0)
        self->conv.mix = clamp_float(v, 0.0f, 1.0f, 0.5f) * 2.0f;
    else
        self->conv.wet_gain = clamp_float(v, 0.0f, 4.0f, 1.0f);
    Py_RETURN_NONE;
}

// Work estimate of a run of `frames` frames: per sample a conversion, per block and channel two
// transforms and L spectral multiply-adds of 257 bins.
size_t stream_work(const kernel::Convolver &c, size_t frames) noexcept {
    return kernel_work(frames * c.channels, 2 + size_t(c.loaded) * 2);
}

PyObject *load(ConvolverObject *self, PyObject *args) {
    BufferView impulse;
    unsigned int channels;
    double gain;
    if (!PyArg_ParseTuple(args, "y*Id:load", impulse.out(), &channels, &gain)) return nullptr;
    if (channels != 1 && channels != 2) {
        impulse.release();
        return value_error("channels must be 1 or 2");
    }
    if (impulse.size() % (size_t(channels) * 2) != 0) {
        impulse.release();
        return value_error("impulse must be whole int16 frames");
    }
    kernel::Convolver &c = self->conv;
    const size_t frames = impulse.size() / (size_t(channels) * 2);
    if (frames > size_t(c.partitions) * kernel::kBlock) {
        impulse.release();
        return value_error("impulse is longer than max_taps");
    }
    NewArray<float> spectra, scratch;
    if (!spectra.allocate(kernel::impulse_floats(c.ir_channels, c.partitions)) ||
        !scratch.allocate(2 * kernel::kSize))
        return nullptr;
    const float g = narrow_float(gain) * 3.0517578125e-05f;
    without_gil(kernel_work(frames * c.ir_channels, 8) + stream_work(c, 2 * kernel::kBlock), [&] {
        const uint32_t length = kernel::impulse_spectra(c, impulse.bytes(), frames, channels, g,
                                                        spectra.data(), scratch.data());
        kernel::replace_impulse(c, spectra.data(), length);
    });
    spectra.commit(self->impulse);
    c.peak_gain = 0.0f;
    Py_RETURN_NONE;
}

bool parse_room(PyObject *args, const char *format, RoomParams *p) noexcept {
    double decay, damping, predelay, fade;
    unsigned int seed;
    if (!PyArg_ParseTuple(args, format, &decay, &damping, &predelay, &fade, &seed)) return false;
    p->decay_s = narrow_float(decay);
    p->damping_hz = narrow_float(damping);
    p->predelay_ms = narrow_float(predelay);
    p->fade_in_ms = narrow_float(fade);
    p->seed = seed;
    return true;
}

size_t room_work(const kernel::Convolver &c) noexcept {
    return kernel_work(size_t(c.partitions) * kernel::kBlock * c.ir_channels, 40);
}

PyObject *synthesize(ConvolverObject *self, PyObject *args) {
    RoomParams params;
    if (!parse_room(args, "ddddI:synthesize", &params)) return nullptr;
    kernel::Convolver &c = self->conv;
    const double fs = c.sample_rate;
    NewArray<float> fold, spectra, scratch;
    if (!fold.allocate(room_fold_floats(fs, c.partitions)) ||
        !spectra.allocate(kernel::impulse_floats(c.ir_channels, c.partitions)) ||
        !scratch.allocate(2 * kernel::kSize))
        return nullptr;
    float peak = 0.0f;
    without_gil(room_work(c) + stream_work(c, 2 * kernel::kBlock), [&] {
        const uint32_t length = room_impulse_generate(
            fs, c.partitions, c.ir_channels, params, spectra.data(), &c.plan,
            scratch.data() + kernel::kSize, scratch.data(), fold.data(), &peak);
        kernel::replace_impulse(c, spectra.data(), length);
    });
    spectra.commit(self->impulse);
    c.peak_gain = peak;
    Py_RETURN_NONE;
}

PyObject *room_peak(ConvolverObject *self, PyObject *args) {
    RoomParams params;
    if (!parse_room(args, "ddddI:room_peak", &params)) return nullptr;
    const kernel::Convolver &c = self->conv;
    const double fs = c.sample_rate;
    const size_t fold_floats = room_fold_floats(fs, c.partitions);
    NewArray<float> buffer;
    if (!buffer.allocate(fold_floats + kernel::kBlock)) return nullptr;
    float peak = 0.0f;
    without_gil(room_work(c), [&] {
        room_impulse_generate(fs, c.partitions, c.ir_channels, params, nullptr, nullptr, nullptr,
                              buffer.data() + fold_floats, buffer.data(), &peak);
    });
    return PyFloat_FromDouble(peak);
}

PyObject *reset(ConvolverObject *self, PyObject *) {
    kernel::reset(self->conv);
    Py_RETURN_NONE;
}

PyObject *taps(ConvolverObject *self, PyObject *) {
    return PyLong_FromUnsignedLong(static_cast<unsigned long>(self->conv.loaded) * kernel::kBlock);
}

PyObject *peak_gain(ConvolverObject *self, PyObject *) {
    return PyFloat_FromDouble(self->conv.peak_gain);
}

PyObject *process(ConvolverObject *self, PyObject *arg) {
    kernel::Convolver &c = self->conv;
    FrameBlock b;
    PyObject *result = b.start(arg, c.channels);
    if (result == nullptr) return nullptr;
    if (b.frames > 0) {
        c.silent = 0;
        c.silence_run = 0;
    }
    without_gil(stream_work(c, b.frames), [&] { kernel::stream(c, b.in(), b.out, b.frames); });
    return result;
}

PyObject *process_silence(ConvolverObject *self, PyObject *arg) {
    const Py_ssize_t frames = PyLong_AsSsize_t(arg);
    if (frames == -1 && PyErr_Occurred()) return nullptr;
    if (frames < 0) return value_error("frames must not be negative");
    kernel::Convolver &c = self->conv;
    const size_t frame_bytes = size_t(c.channels) * 2;
    if (size_t(frames) > size_t(PY_SSIZE_T_MAX) / frame_bytes)
        return fail(PyExc_OverflowError, "frames is too large");
    const size_t n = size_t(frames);
    uint8_t *out;
    PyObject *result = new_bytes(n * frame_bytes, &out);
    if (result == nullptr) return nullptr;
    std::memset(out, 0, n * frame_bytes);
    if (c.silent == 0 && n > 0) {
        without_gil(stream_work(c, n), [&] {
            kernel::stream(c, out, out, n);
            kernel::detect_silence(c, out, n);
        });
    }
    return result;
}

PyMethodDef methods[] = {
    SL_READY("configure", configure, METH_VARARGS),
    SL_READY("load", load, METH_VARARGS),
    SL_READY("synthesize", synthesize, METH_VARARGS),
    SL_READY("room_peak", room_peak, METH_VARARGS),
    SL_READY("reset", reset, METH_NOARGS),
    SL_READY("taps", taps, METH_NOARGS),
    SL_READY("peak_gain", peak_gain, METH_NOARGS),
    SL_READY("process", process, METH_O),
    SL_READY("process_silence", process_silence, METH_O),
    {nullptr, nullptr, 0, nullptr},
};

PyType_Slot slots[] = {
    {Py_tp_new, reinterpret_cast<void *>(PyType_GenericNew)},
    {Py_tp_init, reinterpret_cast<void *>(locked<init>)},
    {Py_tp_dealloc, reinterpret_cast<void *>(dealloc_owning<ConvolverObject, free_arrays>)},
    {Py_tp_methods, methods},
    {0, nullptr},
};

}  // namespace

PyType_Spec convolver_state_spec = {
    "_sonolith.ConvolverState",
    sizeof(ConvolverObject),
    0,
    Py_TPFLAGS_HEAPTYPE,
    slots,
};

}  // namespace sonolith
