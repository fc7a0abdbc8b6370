// Room impulse synthesis and peak estimate (see room.hpp). Envelope, filter and fade run in
// double, the samples and everything measured on them in float, in the order written here.
#include "engines/room.hpp"

#include <cmath>
#include <cstring>

namespace sonolith {
namespace {

constexpr uint32_t kPartition = 256;

// 2^(m/8), m = 0 .. 16, correctly rounded.
constexpr double kEighthOctaves[kRoomSquareWaves] = {
    1.0, 1.0905077326652577, 1.189207115002721, 1.2968395546510096, 1.4142135623730951,
    1.5422108254079407, 1.681792830507429, 1.8340080864093424, 2.0, 2.1810154653305154,
    2.378414230005442, 2.5936791093020193, 2.8284271247461903, 3.0844216508158815,
    3.363585661014858, 3.668016172818685, 4.0};

// Square-wave half-period H_m in samples. fs is below 2^32, so the value fits easily.
uint64_t half_period(double fs, int m) noexcept {
    const double h = std::floor(fs / (kEighthOctaves[m] * 80.0) + 0.5);
    return h < 1.0 ? 1 : static_cast<uint64_t>(h);
}

// e^x for x in -1 .. 0 by its Taylor series to x^9 (the argument is clamped to that range).
double exp_series(double x) noexcept {
    x = x < -1.0 ? -1.0 : (x > 0.0 ? 0.0 : x);
    const double t2 = x * 0.5 * x;
    const double t3 = x / 3 * t2;
    const double t4 = x * 0.25 * t3;
    const double t5 = x / 5 * t4;
    const double t6 = x / 6 * t5;
    const double t7 = x / 7 * t6;
    const double t8 = x * 0.125 * t7;
    const double t9 = x / 9 * t8;
    return t9 + (x + 1 + t2 + t3 + t4 + t5 + t6 + t7 + t8);
}

float clamp_or_low(float v, float lo, float hi) noexcept {
    if (!(v >= lo)) return lo;  // NaN too
    return v > hi ? hi : v;
}

struct Prepared {
    double envelope;  // U, per sample
    double filter;    // g
    uint64_t fade;    // h
    double inverse_fade;
    uint64_t predelay;  // p0
};

Prepared prepare(double fs, uint32_t partitions, const RoomParams &p) noexcept {
    Prepared r;
    const float decay = clamp_or_low(p.decay_s, 0.05f, 30.0f);
    const float predelay = clamp_or_low(p.predelay_ms, 0.0f, 200.0f);
    const float fade = clamp_or_low(p.fade_in_ms, 0.0f, 500.0f);
    r.envelope = exp_series(-6.907755278982138 / (decay * fs));
    const double damping = p.damping_hz;
    r.filter = (damping > 0.0 && fs * 0.25 > damping)
                   ? 1 - exp_series(damping * -6.283185307179586 / fs)
                   : 1.0;
    // Both products are finite and below 2^42 (clamped times, fs below 2^32).
    r.fade = static_cast<uint32_t>(static_cast<uint64_t>(fade * 0.001 * fs));
    r.inverse_fade = r.fade == 0 ? 0.0 : 1.0 / static_cast<double>(r.fade);
    const uint64_t samples = uint64_t(partitions) * kPartition;
    const uint64_t predelay_samples = static_cast<uint64_t>(predelay * 0.001 * fs);
    r.predelay = predelay_samples < samples ? predelay_samples : samples;
    return r;
}

// The generator, filter, envelope and fade of one impulse channel, sample by sample.
struct Voice {
    uint32_t a;
    double c, d;

    void start(uint32_t seed, uint32_t channel) noexcept {
        a = seed + channel * 0x9E3779B9u;
        if (a == 0) a = 1;
        c = 0.0;
        d = 1.0;
    }
    // The value at sample n (n >= p0).
    double next(const Prepared &p, uint64_t n) noexcept {
        a ^= a << 13;
        a ^= a >> 17;
        a ^= a << 5;
        const float noise =
            static_cast<float>(static_cast<int32_t>((a >> 8) - 0x800000u)) * 1.1920928955078125e-07f;
        c = c + (noise * d - c) * p.filter;
        const uint64_t q = n - p.predelay;
        const double value = q < p.fade ? static_cast<double>(q) * p.inverse_fade * c : c;
        d = d * p.envelope;
        return value;
    }
};

// One square-wave fold area: H_m for the sign and wrap, its stored length bounded by the impulse.
struct Area {
    float *f;
    uint64_t half;
    size_t length;
};

void fold_block(const Area &area, const float *block, uint64_t e) noexcept {
    uint64_t i = e % area.half;
    bool negative = (e / area.half) % 2 == 1;
    for (uint32_t l = 0; l < kPartition; ++l) {
        area.f[i] += negative ? -block[l] : block[l];
        if (++i == area.half) {
            i = 0;
            negative = !negative;
        }
    }
}

float area_peak(const Area &area, float v) noexcept {
    float total = 0.0f;
    for (size_t l = 0; l < area.length; ++l) total += area.f[l];
    float r = 0.0f;
    for (size_t l = 0; l < area.length; ++l) {
        r += area.f[l];
        const float m = std::fabs(2.0f * r - total);
        v = m > v ? m : v;
    }
    return v;
}

}  // namespace

size_t room_fold_floats(double fs, uint32_t partitions) noexcept {
    const uint64_t samples = uint64_t(partitions) * kPartition;
    size_t total = 0;
    for (int m = 0; m < kRoomSquareWaves; ++m) {
        const uint64_t h = half_period(fs, m);
        total += static_cast<size_t>(h < samples ? h : samples);
    }
    return total;
}

uint32_t room_impulse_generate(double fs, uint32_t partitions, uint32_t ir_channels,
                               const RoomParams &params, float *spectra, const fft_plan *plan,
                               float *transform_scratch, float *block, float *fold,
                               float *peak) noexcept {
    const Prepared p = prepare(fs, partitions, params);
    const uint64_t samples = uint64_t(partitions) * kPartition;

    Area areas[kRoomSquareWaves];
    size_t fold_length = 0;
    if (fold != nullptr) {
        for (int m = 0; m < kRoomSquareWaves; ++m) {
            const uint64_t h = half_period(fs, m);
            areas[m] = {fold + fold_length, h, static_cast<size_t>(h < samples ? h : samples)};
            fold_length += areas[m].length;
        }
    }

    // Pass 0: energy per impulse channel, and the scales.
    double scale[2] = {0.0, 0.0};
    for (uint32_t j = 0; j < ir_channels; ++j) {
        Voice voice;
        voice.start(params.seed, j);
        double energy = 0.0;
        for (uint64_t n = p.predelay; n < samples; ++n) {
            const double value = voice.next(p, n);
            energy += value * value;
        }
        scale[j] = energy > 0.0 ? 1 / std::sqrt(energy) : 0.0;
    }

    // Pass 1: the normalised impulse, its spectra and its peak.
    float t = 0.0f;
    for (uint32_t j = 0; j < ir_channels; ++j) {
        Voice voice;
        voice.start(params.seed, j);
        float s = 0.0f, v = 0.0f;
        uint64_t e = 0;
        if (fold != nullptr) std::memset(fold, 0, fold_length * sizeof(float));
        for (uint32_t k = 0; k < partitions; ++k) {
            for (uint32_t l = 0; l < kPartition; ++l) {
                const uint64_t n = uint64_t(k) * kPartition + l;
                block[l] = n < p.predelay ? 0.0f : static_cast<float>(voice.next(p, n) * scale[j]);
            }
            if (fold != nullptr) {
                for (uint32_t l = 0; l < kPartition; ++l) {
                    s += block[l];
                    const float m = std::fabs(s);
                    v = m > v ? m : v;
                }
                for (const Area &area : areas) fold_block(area, block, e);
                e += kPartition;
            }
            if (spectra != nullptr) {
                std::memset(block + kPartition, 0, kPartition * sizeof(float));
                fft_real_forward(*plan, block, spectra + (size_t(j) * partitions + k) * 514,
                                 transform_scratch);
            }
        }
        if (fold != nullptr) {
            for (const Area &area : areas) v = area_peak(area, v);
            t = v > t ? v : t;
        }
    }
    if (peak != nullptr) *peak = t;
    return partitions;
}

}  // namespace sonolith
