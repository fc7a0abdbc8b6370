// BiquadState: the memory of a fixed-point second-order IIR filter for up to two channels. Each
// call passes the design (type, frequency, Q, gain, sample rate); the coefficients come from the
// usual cookbook formulas with a polynomial sine/cosine, quantised to Q15 for that call, and only
// the filter memory lives in the object. process_i32 filters one channel of 32-bit voice samples;
// process_s16 filters interleaved 16-bit audio per channel, blends it with the dry signal and
// brings it back into 16 bits through the soft knee.
#include <cfloat>
#include <cmath>

#include "functions/soft_knee.hpp"
#include "module/module.hpp"
#include "module/numeric.hpp"

namespace sonolith {

// ---------------------------------------------------------------------------------------------
// Kernel

namespace kernel {

enum BiquadType : int {
    kLowPass,
    kHighPass,
    kBandPass,
    kNotch,
    kPeaking,
    kLowShelf,
    kHighShelf,
    kBiquadTypes
};

struct BiquadMemory {
    int32_t x1, x2;  // previous inputs (unclamped)
    int32_t y1, y2;  // previous outputs (within 16 bits)
};

// Q15 coefficients (32768 = 1.0), already divided by a0.
struct BiquadCoefficients {
    int32_t a1, a2, b0, b1, b2;
};

// a / b with the IEEE 754 result spelled out for b == 0 (a degenerate design divides by zero:
// q = 0, a zero gain, a0 = 0), so that no step relies on a division the language leaves undefined.
inline double ieee_div(double a, double b) noexcept {
    if (b != 0.0) return a / b;
    if (a == 0.0 || a != a) return NAN;
    return std::signbit(a) != std::signbit(b) ? -INFINITY : INFINITY;
}

// One Newton step of the bit-pattern estimate of 1 / sqrt(a), in single precision.
inline float fast_inverse_sqrt(float a) noexcept {
    uint32_t bits;
    std::memcpy(&bits, &a, sizeof bits);
    bits = 0x5F3759DFu - (bits >> 1);
    float y;
    std::memcpy(&y, &bits, sizeof y);
    return y * (1.5f - 0.5f * a * y * y);
}

// Scales a coefficient already divided by a0 to Q15, rounding halves away from zero. A NaN or
// infinite design saturates (NaN gives 0) instead of reaching an undefined conversion.
inline int32_t q15(double v) noexcept { return saturate_cast<int32_t>(std::round(v * 32768.0)); }

BiquadCoefficients design(int type, double frequency, double q, double gain,
                          uint32_t sample_rate) noexcept {
    const double w = (1.0 / sample_rate) * 6.283185307179586 * frequency;
    // Polynomial cosine and sine, accurate over 0..pi/2 and used as they are beyond it.
    const double u = w * 1.2732395447351628 - 1.0;
    const double u2 = u * u;
    const double even = u2 * u2 * 0.0109 + u2 * -0.21798592 + 0.70708592;
    const double odd = u2 * u * u2 * -0.00171961 + u2 * u * 0.05707685 + u * -0.55535724;
    const double c = even + odd;
    const double sn = even - odd;
    const double alpha = ieee_div(sn, 2.0 * q);
    const double A = gain;

    double b0, b1, b2, a0, a1, a2;
    switch (type) {
    case kLowPass:
        b0 = (1.0 - c) / 2.0, b1 = 1.0 - c, b2 = (1.0 - c) / 2.0;
        a0 = 1.0 + alpha, a1 = -2.0 * c, a2 = 1.0 - alpha;
        break;
    case kHighPass:
        b0 = (1.0 + c) / 2.0, b1 = -(1.0 + c), b2 = (1.0 + c) / 2.0;
        a0 = 1.0 + alpha, a1 = -2.0 * c, a2 = 1.0 - alpha;
        break;
    case kBandPass:
        b0 = alpha, b1 = 0.0, b2 = -alpha;
        a0 = 1.0 + alpha, a1 = -2.0 * c, a2 = 1.0 - alpha;
        break;
    case kNotch:
        b0 = 1.0, b1 = -2.0 * c, b2 = 1.0;
        a0 = 1.0 + alpha, a1 = -2.0 * c, a2 = 1.0 - alpha;
        break;
    case kPeaking:
        b0 = 1.0 + alpha * A, b1 = -2.0 * c, b2 = 1.0 - alpha * A;
        a0 = 1.0 + ieee_div(alpha, A), a1 = -2.0 * c, a2 = 1.0 - ieee_div(alpha, A);
        break;
    default: {  // shelves
        const double k = 2.0 * alpha * (static_cast<double>(fast_inverse_sqrt(narrow_float(A))) * A);
        if (type == kLowShelf) {
            b0 = A * ((A + 1.0) - (A - 1.0) * c + k);
            b1 = 2.0 * A * ((A - 1.0) - (A + 1.0) * c);
            b2 = A * ((A + 1.0) - (A - 1.0) * c - k);
            a0 = (A + 1.0) + (A - 1.0) * c + k;
            a1 = -2.0 * ((A - 1.0) + (A + 1.0) * c);
            a2 = (A + 1.0) + (A - 1.0) * c - k;
        } else {
            b0 = A * ((A + 1.0) + (A - 1.0) * c + k);
            b1 = -2.0 * A * ((A - 1.0) + (A + 1.0) * c);
            b2 = A * ((A + 1.0) + (A - 1.0) * c - k);
            a0 = (A + 1.0) - (A - 1.0) * c + k;
            a1 = 2.0 * ((A - 1.0) - (A + 1.0) * c);
            a2 = (A + 1.0) - (A - 1.0) * c - k;
        }
        break;
    }
    }
    const double inv = ieee_div(1.0, a0);
    return {q15(a1 * inv), q15(a2 * inv), q15(b0 * inv), q15(b1 * inv), q15(b2 * inv)};
}

// 32-bit two's-complement product, written so that it never depends on signed overflow.
inline uint32_t mul(int32_t a, int32_t b) noexcept {
    return static_cast<uint32_t>(a) * static_cast<uint32_t>(b);
}

// The Q15 sum t (already holding the +16384 rounding term) divided by 32768 truncating towards
// zero and clamped to 16 bits. The clamp is decided from t itself, in parallel with the division:
// the quotient leaves 16 bits exactly when t >= 32768 * 32768 or t <= -32769 * 32768. On x86-64
// the selection is pinned to conditional moves: compilers otherwise branch on the rare clamp, which
// sits on the recursion's critical path and mispredicts on every other sample of clipping audio.
inline int32_t quantise(int32_t t) noexcept {
    int32_t q = t / 32768;
#if defined(__x86_64__) && defined(__GNUC__)
    const int32_t hi = 32767, lo = -32768;
    __asm__("cmpl $1073741823, %[t]\n\t"
            "cmovg %[hi], %[q]\n\t"
            "cmpl $-1073774591, %[t]\n\t"
            "cmovl %[lo], %[q]"
            : [q] "+r"(q)
            : [t] "r"(t), [hi] "r"(hi), [lo] "r"(lo)
            : "cc");
    return q;
#else
    return clamp_s16(q);
#endif
}

// One step of the filter: s = b0 x + b1 x1 + b2 x2 - a1 y1 - a2 y2 in 32-bit two's complement,
// y = (s + 16384) / 32768 truncating, clamped to 16 bits. The terms that do not depend on the
// newest output are summed first, so only a1 * y1 sits on the recursion's critical path; the
// 32-bit sum is the same in any order.
struct Section {
    int32_t b0, b1, b2, a1, a2;
    int32_t x1, x2, y1, y2;

    Section(const BiquadCoefficients &c, const BiquadMemory &m) noexcept
        : b0(c.b0), b1(c.b1), b2(c.b2), a1(c.a1), a2(c.a2), x1(m.x1), x2(m.x2), y1(m.y1), y2(m.y2) {}

    void save(BiquadMemory &m) const noexcept { m = {x1, x2, y1, y2}; }

    inline int32_t operator()(int32_t x) noexcept {
        uint32_t early = mul(b0, x) + mul(b1, x1) + mul(b2, x2) - mul(a2, y2) + 16384u;
        int32_t y = quantise(static_cast<int32_t>(early - mul(a1, y1)));
        y2 = y1, y1 = y, x2 = x1, x1 = x;
        return y;
    }
};

// Filters native i32 samples (any alignment) with one memory.
void filter_i32(const BiquadCoefficients &c, BiquadMemory &m, const uint8_t *in, uint8_t *out,
                size_t samples) noexcept {
    Section f(c, m);
    for (size_t i = 0; i < samples; ++i) store_i32(out, i, f(load_i32(in, i)));
    f.save(m);
}

// Dry/wet blend, v = dry (1 - mix) + wet mix in double precision truncated towards zero, then the
// soft knee (slope 7151). Three loops give the same values: mix = 1 makes v the wet sample itself
// (dry * 0 + wet * 1 is exact); weights with |1 - mix| + |mix| <= 65535 keep |v| < 2^31 for 16-bit
// samples, so the plain conversion is in range and the loop vectorises; anything else (a huge,
// infinite or NaN mix) goes through the saturating conversion, NaN giving 0.
void blend(const uint8_t *dry, const int32_t *wet, uint8_t *out, size_t n, double mix) noexcept {
    const double w0 = 1.0 - mix, w1 = mix;
    if (mix == 1.0) {
        for (size_t i = 0; i < n; ++i) store_s16(out, i, soft_knee_s16(wet[i], kKneeSlope2));
    } else if (std::fabs(w0) + std::fabs(w1) <= 65535.0) {
        for (size_t i = 0; i < n; ++i) {
            double v = static_cast<double>(load_s16(dry, i)) * w0 + static_cast<double>(wet[i]) * w1;
            store_s16(out, i, soft_knee_s16(static_cast<int32_t>(v), kKneeSlope2));
        }
    } else {
        for (size_t i = 0; i < n; ++i) {
            double v = static_cast<double>(load_s16(dry, i)) * w0 + static_cast<double>(wet[i]) * w1;
            store_s16(out, i, soft_knee_s16(saturate_cast<int32_t>(v), kKneeSlope2));
        }
    }
}

// Interleaved s16 audio through one filter per channel, in chunks: each chunk is filtered into a
// scratch block on the stack (both channels of a frame side by side, each with its own memory, so
// the two recursions overlap), then blended with the dry input into the output.
template <int Channels>
void filter_s16(const BiquadCoefficients &c, BiquadMemory *memory, const uint8_t *in, uint8_t *out,
                size_t frames, double mix) noexcept {
    constexpr size_t kChunkFrames = 512;
    int32_t wet[kChunkFrames * Channels];
    Section left(c, memory[0]);
    Section right(c, memory[Channels - 1]);
    for (size_t start = 0; start < frames; start += kChunkFrames) {
        const size_t n = frames - start < kChunkFrames ? frames - start : kChunkFrames;
        const uint8_t *src = in + start * 2 * Channels;
        for (size_t i = 0; i < n; ++i) {
            wet[Channels * i] = left(load_s16(src, Channels * i));
            if constexpr (Channels == 2) wet[2 * i + 1] = right(load_s16(src, 2 * i + 1));
        }
        blend(src, wet, out + start * 2 * Channels, n * Channels, mix);
    }
    left.save(memory[0]);
    if constexpr (Channels == 2) right.save(memory[1]);
}

}  // namespace kernel

// ---------------------------------------------------------------------------------------------
// Binding

namespace {

struct BiquadObject {
    PyObject_HEAD
    ObjectMutex lock;
    kernel::BiquadMemory memory[2];  // channel 0, channel 1
    uint8_t ready;
};

constexpr const char kInvalidParameters[] = "invalid biquad parameters";

bool valid_type(int type) noexcept {
    return static_cast<unsigned int>(type) < static_cast<unsigned int>(kernel::kBiquadTypes);
}

int init(BiquadObject *self, PyObject *args, PyObject *kwds) {
    (void)kwds;  // parsed positionally: keyword arguments are ignored
    if (!PyArg_ParseTuple(args, ":BiquadState")) return -1;
    std::memset(self->memory, 0, sizeof self->memory);
    self->ready = 1;
    return 0;
}

PyObject *reset(BiquadObject *self, PyObject *) {
    std::memset(self->memory, 0, sizeof self->memory);
    Py_RETURN_NONE;
}

PyObject *process_i32(BiquadObject *self, PyObject *args) {
    BufferView in;
    int type;
    double frequency, q, gain;
    unsigned int sample_rate;
    if (!PyArg_ParseTuple(args, "y*idddI:process_i32", in.out(), &type, &frequency, &q, &gain,
                          &sample_rate))
        return nullptr;
    if (in.size() % 4 != 0 || !valid_type(type) || sample_rate == 0)
        return value_error(kInvalidParameters);
    uint8_t *out;
    PyObject *result = new_bytes(in.size(), &out);
    if (result == nullptr) return nullptr;
    const kernel::BiquadCoefficients c = kernel::design(type, frequency, q, gain, sample_rate);
    without_gil(kernel_work(in.size() / 4, 4),
                [&] { kernel::filter_i32(c, self->memory[0], in.bytes(), out, in.size() / 4); });
    return result;
}

PyObject *process_s16(BiquadObject *self, PyObject *args) {
    BufferView in;
    int type, channel_count;
    double frequency, q, gain, mix;
    unsigned int sample_rate;
    if (!PyArg_ParseTuple(args, "y*idddIdi:process_s16", in.out(), &type, &frequency, &q, &gain,
                          &sample_rate, &mix, &channel_count))
        return nullptr;
    const size_t samples = in.size() / 2;
    if (in.size() % 2 != 0 || !valid_type(type) || sample_rate == 0 ||
        (channel_count != 1 && channel_count != 2) || samples % channel_count != 0)
        return value_error(kInvalidParameters);
    uint8_t *out;
    PyObject *result = new_bytes(in.size(), &out);
    if (result == nullptr) return nullptr;
    const kernel::BiquadCoefficients c = kernel::design(type, frequency, q, gain, sample_rate);
    without_gil(kernel_work(samples, 4), [&] {
        if (channel_count == 1)
            kernel::filter_s16<1>(c, self->memory, in.bytes(), out, samples, mix);
        else
            kernel::filter_s16<2>(c, self->memory, in.bytes(), out, samples / 2, mix);
    });
    return result;
}

PyMethodDef methods[] = {
    SL_READY("reset", reset, METH_NOARGS),
    SL_READY("process_i32", process_i32, METH_VARARGS),
    SL_READY("process_s16", process_s16, METH_VARARGS),
    {nullptr, nullptr, 0, nullptr},
};

PyType_Slot slots[] = {
    {Py_tp_new, reinterpret_cast<void *>(PyType_GenericNew)},
    {Py_tp_init, reinterpret_cast<void *>(locked<init>)},
    {Py_tp_methods, methods},
    {0, nullptr},
};

}  // namespace

PyType_Spec biquad_state_spec = {
    "_sonolith.BiquadState",
    sizeof(BiquadObject),
    0,
    Py_TPFLAGS_HEAPTYPE,
    slots,
};

}  // namespace sonolith
