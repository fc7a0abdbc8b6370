// Chorus and phaser on native-endian signed 16-bit PCM, both over caller-held memory and both
// ending each sample in the soft knee at slope 2 (an excess over 28000 adds only 2/65536 of it).
//
//   chorus_s16  mono: the newest sample goes into a ring; V equally spaced taps behind it are
//               summed, brought back into 16 bits by the knee of slope knee_slope(V), scaled by
//               the wet gain and added to the dry sample.
//   phaser_s16  per channel a chain of first-order all-pass sections in Q15 with feedback of the
//               chain's last output; the chain output, scaled by the wet mix, is added to the dry
//               sample. A wet mix of 328 (Q15) or less returns the input and touches nothing.
//
// Guards beyond the plain algorithm, none of which changes the result of a call whose index is in
// range and whose taps stay inside the ring:
//   - the chorus index is reduced into the ring on entry; taps that step forward (V - 1 > S, so
//     the spacing is -1) wrap at the ring's end instead of passing it;
//   - voice counts whose V * 32768 leaves 31 bits are rejected (the knee slope and the 32-bit tap
//     sum are only defined below that);
//   - float-to-integer conversions saturate (NaN gives 0) and the dry-plus-wet sum is formed in
//     64 bits and saturated;
//   - a phaser corner ratio in [-1, 0) would make the all-pass coefficient's value exceed 1 (or be
//     infinite at -1); it is held at 1, the coefficient of ratio 0.
#include "module/module.hpp"
#include "module/numeric.hpp"
#include "functions/soft_knee.hpp"

namespace sonolith {

namespace kernel {

inline int32_t sat_i32_64(int64_t v) noexcept {
    return v < INT32_MIN ? INT32_MIN : (v > INT32_MAX ? INT32_MAX : static_cast<int32_t>(v));
}

void chorus(const uint8_t *in, uint8_t *out, size_t n, uint8_t *ring, uint32_t length,
            uint32_t *index, uint32_t span, int32_t voices, int32_t slope, double wet) noexcept {
    uint32_t idx = *index;
    // The spacing as a signed step: q - 1 with q = S / (V - 1); -1 when V - 1 exceeds S.
    int64_t spacing = voices >= 2 ? int64_t(span / uint32_t(voices - 1)) - 1 : 0;
    for (size_t i = 0; i < n; ++i) {
        int32_t x = load_s16(in, i);
        store_s16(ring, idx, x);
        int32_t e;
        if (voices == 1) {
            e = x;
        } else {
            int64_t k = idx;
            int32_t sum = 0;  // V < 65536 taps of 16 bits fit
            for (int32_t t = 0; t < voices; ++t) {
                if (k < 0) k += length;
                else if (k >= int64_t(length)) k -= length;
                sum += load_s16(ring, size_t(k));
                k -= spacing;
            }
            e = soft_knee_s16(sum, slope);
        }
        int32_t y = sat_i32_64(int64_t(x) + saturate_cast<int32_t>(e * wet));
        store_s16(out, i, soft_knee_s16(y, 2));
        if (++idx == length) idx = 0;
    }
    *index = idx;
}

inline int32_t sat16(int32_t v) noexcept { return clamp_s16(v); }

// Q15 product p / 32768, truncating toward zero, saturated to 16 bits.
inline int32_t q15(int32_t p) noexcept { return sat16(p / 32768); }

struct PhaserGains {
    int32_t a, fb, mix;
};

void phaser(const uint8_t *in, uint8_t *out, size_t n, uint8_t *feedback, uint8_t *cells,
            int channels, uint32_t stages, const PhaserGains &g) noexcept {
    for (size_t i = 0; i < n; ++i) {
        int ch = channels == 2 ? int(i & 1) : 0;
        int32_t s = load_s16(in, i);
        int32_t t = sat16(s + q15(load_s16(feedback, ch) * g.fb));
        uint8_t *m = cells + 2 * size_t(ch) * stages;
        for (uint32_t j = 0; j < stages; ++j) {
            int32_t mj = load_s16(m, j);
            int32_t y = sat16(mj + q15(-(g.a * t)));
            store_s16(m, j, sat16(t + q15(g.a * y)));
            t = y;
        }
        store_s16(feedback, ch, t);
        store_s16(out, i, soft_knee_s16(s + q15(g.mix * t), 2));
    }
}

}  // namespace kernel

// ---------------------------------------------------------------------------------------------
// Bindings

PyObject *chorus_s16(PyObject *, PyObject *args) {
    BufferView in, ring;
    unsigned int index, span, length;
    int voices;
    double wet;
    if (!PyArg_ParseTuple(args, "y*w*IIIid:chorus_s16", in.out(), ring.out(), &index, &span, &length,
                          &voices, &wet))
        return nullptr;
    constexpr const char *kInvalid = "invalid chorus parameters";
    if (in.size() % 2 != 0 || voices < 1 || span == 0 || span > length ||
        ring.len() < int64_t(length) * 2)
        return value_error(kInvalid);
    // knee_slope(V) needs V * 32768 inside the signed 32-bit range.
    if (voices >= 65536) return value_error(kInvalid);
    int32_t slope = kKneeSlope2;
    if (!knee_slope(voices, &slope)) return value_error(kInvalid);
    index %= length;  // indices in range are kept as they are

    uint8_t *out;
    PyObject *result = new_bytes(in.size(), &out);
    if (!result) return nullptr;
    without_gil(kernel_work(in.size() / 2, 2 + size_t(voices)), [&] {
        kernel::chorus(in.bytes(), out, in.size() / 2, ring.writable(), length, &index, span, voices,
                       slope, wet);
    });
    return Py_BuildValue("(NI)", result, index);
}

// A Q15 parameter: the low 16 bits of trunc(value * 32767), sign-extended.
static int32_t q15_param(double value) {
    return static_cast<int16_t>(static_cast<uint32_t>(saturate_cast<int32_t>(value * 32767.0)));
}

PyObject *phaser_s16(PyObject *, PyObject *args) {
    BufferView in, feedback, cells;
    unsigned int channels, stages;
    double corner, rate, fb_gain, mix;
    if (!PyArg_ParseTuple(args, "y*w*w*IIdddd:phaser_s16", in.out(), feedback.out(), cells.out(),
                          &channels, &stages, &corner, &rate, &fb_gain, &mix))
        return nullptr;
    if (in.size() % 2 != 0 || (channels != 1 && channels != 2) || stages < 1 || stages > 255 ||
        rate <= 0.0 || feedback.len() < int64_t(channels) * 2 ||
        cells.len() < int64_t(stages) * int64_t(channels) * 2)
        return value_error("invalid phaser parameters");

    uint8_t *out;
    PyObject *result = new_bytes(in.size(), &out);
    if (!result) return nullptr;
    kernel::PhaserGains g;
    g.mix = q15_param(mix);
    if (g.mix <= 328) {
        std::memcpy(out, in.bytes(), in.size());
        return result;
    }
    double x = corner / rate;
    double coefficient = (1.0 - x) / (1.0 + x);
    if (x >= -1.0 && x < 0.0) coefficient = 1.0;
    g.a = q15_param(coefficient);
    g.fb = q15_param(fb_gain);
    without_gil(kernel_work(in.size() / 2, 2 + 2 * size_t(stages)), [&] {
        kernel::phaser(in.bytes(), out, in.size() / 2, feedback.writable(), cells.writable(),
                       int(channels), stages, g);
    });
    return result;
}

}  // namespace sonolith
