// Echo and multi-tap delay on native-endian signed 16-bit PCM. Both functions keep nothing between
// calls: the caller owns the delay memory (16-bit cells, updated in place) and the positions, and
// gets the new positions back.
//
//   echo_s16      one feedback echo per channel; the line's head can run at a variable speed
//                 (8 fraction bits per cell) like a tape, writing speed/256 cells per sample.
//   multitap_s16  a feedback line of fixed length read by any number of taps with their own
//                 delays and gains.
//
// Every computed sample comes back into 16 bits through the soft knee (slope 7151 = knee_slope(2)).
//
// Guards beyond the plain algorithm, none of which changes the result of a call whose positions
// are in range and whose gains keep the conversions inside 32 bits:
//   - positions are reduced into their line's range on entry, so no call reads or writes outside
//     the lines it was given;
//   - float-to-integer conversions saturate at the 32-bit limits (NaN gives 0), and integer sums
//     that could leave 32 bits are formed in 64 bits and saturated;
//   - with variable speed, a head advance that passes over the line more than once per sample
//     applies the repeated updates per cell with cycle detection instead of one by one.
#include <algorithm>
#include <cmath>

#include "functions/mix_law.hpp"
#include "functions/soft_knee.hpp"
#include "module/module.hpp"
#include "module/numeric.hpp"

namespace sonolith {

namespace kernel {

inline int32_t sat_i32(int64_t v) noexcept {
    return v < INT32_MIN ? INT32_MIN : (v > INT32_MAX ? INT32_MAX : static_cast<int32_t>(v));
}

// trunc(v) to 32 bits. Fast is true when the caller has shown that v cannot leave the 32-bit
// range (finite gains bounded so that any 16-bit operands stay far inside it).
template <bool Fast>
inline int32_t to_i32(double v) noexcept {
    if constexpr (Fast) return static_cast<int32_t>(v);
    else return saturate_cast<int32_t>(v);
}

// Whether |a| + |b| is finite and small enough that a × s16 + b × s16 fits 32 bits with room.
inline bool gains_fit(double a, double b) noexcept {
    double m = std::fabs(a) + std::fabs(b);
    return m == m && m < 60000.0;
}

struct EchoGains {
    double feedback, dry, wet;
};

// One fixed-speed echo sample: read cell, write cell back with feedback plus input, output mix.
template <bool Fast>
inline int16_t echo_step(const EchoGains &g, int32_t x, uint8_t *cell) noexcept {
    int32_t c = load<int16_t>(cell);
    store<int16_t>(cell, soft_knee_s16(to_i32<Fast>(c * g.feedback + x), kKneeSlope2));
    return soft_knee_s16(to_i32<Fast>(g.dry * x + g.wet * c), kKneeSlope2);
}

// Fixed speed, one channel of a buffer whose input does not overlap the memory: the samples of a
// run up to the end of the line touch distinct cells, so a run is a loop without dependencies.
template <bool Fast>
void echo_fixed_channel(const uint8_t *__restrict in, uint8_t *__restrict out, size_t count,
                        size_t stride, uint8_t *__restrict line, uint32_t delay, uint32_t *head,
                        const EchoGains &g) noexcept {
    uint32_t h = *head;
    size_t i = 0;
    while (i < count) {
        size_t run = std::min<size_t>(delay - h, count - i);
        uint8_t *cells = line + 2 * size_t(h);
        for (size_t k = 0; k < run; ++k) {
            size_t s = (i + k) * stride;
            store<int16_t>(out + 2 * s, echo_step<Fast>(g, load_s16(in, s), cells + 2 * k));
        }
        i += run;
        h += static_cast<uint32_t>(run);
        if (h == delay) h = 0;
    }
    *head = h;
}

// Fixed speed in the written order, for an input that overlaps the memory.
template <bool Fast>
void echo_fixed_ordered(const uint8_t *in, uint8_t *out, size_t n, int channels, uint8_t *mem,
                        uint32_t capacity, uint32_t delay, uint32_t heads[2],
                        const EchoGains &g) noexcept {
    for (size_t i = 0; i < n; ++i) {
        int ch = (channels == 2 && (i & 1)) ? 1 : 0;
        int32_t x = load_s16(in, i);
        uint32_t &h = heads[ch];
        uint8_t *cell = mem + 2 * (size_t(ch) * capacity + h);
        store_s16(out, i, echo_step<Fast>(g, x, cell));
        if (++h == delay) h = 0;
    }
}

// The feedback update of one variable-speed cell.
inline int16_t echo_update(int16_t v, int32_t x, double feedback) noexcept {
    return soft_knee_s16(saturate_cast<int32_t>(v * feedback + x), kKneeSlope2);
}

// The update applied k times to one cell. The map takes 16-bit values to 16-bit values, so the
// sequence becomes periodic; Brent's cycle detection finds the period and skips whole cycles.
inline int16_t echo_update_repeated(int16_t v, uint32_t k, int32_t x, double feedback) noexcept {
    int16_t tortoise = v;
    uint32_t power = 1, lambda = 0;
    for (uint32_t done = 0; done < k;) {
        v = echo_update(v, x, feedback);
        ++done;
        ++lambda;
        if (v == tortoise) {
            for (uint32_t rest = (k - done) % lambda; rest > 0; --rest) v = echo_update(v, x, feedback);
            return v;
        }
        if (lambda == power) {
            tortoise = v;
            power <<= 1;
            lambda = 0;
        }
    }
    return v;
}

// Variable speed: heads in 1/256 cell, each sample writes the whole cells the head passes over.
void echo_variable(const uint8_t *in, uint8_t *out, size_t n, int channels, uint8_t *mem,
                   uint32_t capacity, uint32_t delay, uint32_t speed, uint32_t heads[2],
                   const EchoGains &g) noexcept {
    const uint32_t modulus = delay * 256u;  // the caller keeps delay below 2^24
    for (size_t i = 0; i < n; ++i) {
        int ch = (channels == 2 && (i & 1)) ? 1 : 0;
        int32_t x = load_s16(in, i);
        uint8_t *line = mem + 2 * size_t(ch) * capacity;
        uint32_t h = heads[ch];
        uint32_t first = h >> 8;  // < delay
        int32_t c = load_s16(line, first);
        uint32_t sum = h + speed;  // unsigned 32-bit, as the position format wraps
        uint32_t end = sum >> 8;
        if (end > first) {
            uint32_t count = end - first;
            if (count <= delay) {
                uint32_t j = first;
                for (uint32_t k = 0; k < count; ++k) {
                    store<int16_t>(line + 2 * size_t(j), echo_update(load_s16(line, j), x, g.feedback));
                    if (++j == delay) j = 0;
                }
            } else {
                // Each cell is passed q or q + 1 times; cells do not depend on one another.
                uint32_t q = count / delay, r = count % delay;
                uint32_t j = first;
                for (uint32_t k = 0; k < delay; ++k) {
                    uint32_t times = q + (k < r ? 1u : 0u);
                    store<int16_t>(line + 2 * size_t(j),
                                   echo_update_repeated(load_s16(line, j), times, x, g.feedback));
                    if (++j == delay) j = 0;
                }
            }
        }
        heads[ch] = sum % modulus;
        store_s16(out, i, soft_knee_s16(saturate_cast<int32_t>(g.dry * x + g.wet * c), kKneeSlope2));
    }
}

void echo(const uint8_t *in, uint8_t *out, size_t n, int channels, uint8_t *mem, size_t mem_bytes,
          uint32_t capacity, uint32_t delay, uint32_t speed, bool variable, uint32_t heads[2],
          const EchoGains &g) noexcept {
    if (variable) {
        echo_variable(in, out, n, channels, mem, capacity, delay, speed, heads, g);
        return;
    }
    bool fast = gains_fit(g.feedback, 1.0) && gains_fit(g.dry, g.wet);
    if (overlaps(in, 2 * n, mem, mem_bytes)) {
        fast ? echo_fixed_ordered<true>(in, out, n, channels, mem, capacity, delay, heads, g)
             : echo_fixed_ordered<false>(in, out, n, channels, mem, capacity, delay, heads, g);
        return;
    }
    // The two channels use disjoint lines, so each can run over all of its samples in turn.
    for (int ch = 0; ch < channels; ++ch) {
        size_t count = channels == 2 ? (n + 1 - ch) / 2 : n;
        uint8_t *line = mem + 2 * size_t(ch) * capacity;
        const uint8_t *src = in + 2 * ch;
        uint8_t *dst = out + 2 * ch;
        fast ? echo_fixed_channel<true>(src, dst, count, channels, line, delay, &heads[ch], g)
             : echo_fixed_channel<false>(src, dst, count, channels, line, delay, &heads[ch], g);
    }
}

// multitap_s16 over n samples; position is the shared write position, already below length.
void multitap(const uint8_t *in, uint8_t *out, size_t n, int channels, int first_channel,
              uint8_t *mem, uint32_t length, const uint8_t *delays, const uint8_t *gains,
              size_t taps, int32_t tap_slope, double feedback, double dry, double wet,
              uint32_t *position) noexcept {
    uint32_t pos = *position;
    int ch = first_channel;
    for (size_t i = 0; i < n; ++i) {
        int32_t x = load_s16(in, i);
        uint8_t *line = mem + 2 * size_t(ch) * length;
        int32_t w;
        if (taps == 0) {
            w = load_s16(line, pos);
        } else if (taps == 1) {
            uint32_t idx = (pos + length - load<uint32_t>(delays)) % length;
            w = saturate_cast<int32_t>(load_s16(line, idx) * load<double>(gains));
        } else {
            int64_t sum = 0;
            for (size_t t = 0; t < taps; ++t) {
                uint32_t idx = (pos + length - load<uint32_t>(delays + 4 * t)) % length;
                sum += saturate_cast<int32_t>(load_s16(line, idx) * load<double>(gains + 8 * t));
            }
            w = soft_knee_s16(sat_i32(sum), tap_slope);
        }
        int32_t c = load_s16(line, pos);
        int64_t fed = int64_t(saturate_cast<int32_t>(c * feedback)) + x;
        store_s16(line, pos, soft_knee_s16(sat_i32(fed), kKneeSlope2));
        store_s16(out, i, soft_knee_s16(saturate_cast<int32_t>(dry * x + wet * w), kKneeSlope2));
        if (channels == 1 || ch == 1) {
            if (++pos == length) pos = 0;
        }
        if (channels == 2) ch ^= 1;
    }
    *position = pos;
}

}  // namespace kernel

// ---------------------------------------------------------------------------------------------
// Bindings

PyObject *echo_s16(PyObject *, PyObject *args) {
    BufferView in, mem;
    unsigned int pos0, pos1, delay, capacity, speed, channels;
    double feedback, mix;
    int variable;
    if (!PyArg_ParseTuple(args, "y*w*IIIIIddpI:echo_s16", in.out(), mem.out(), &pos0, &pos1, &delay,
                          &capacity, &speed, &feedback, &mix, &variable, &channels))
        return nullptr;
    constexpr const char *kInvalid = "invalid echo parameters";
    if (in.size() % 2 != 0 || (channels != 1 && channels != 2) || delay == 0 || delay > capacity ||
        mem.len() < int64_t(capacity) * int64_t(channels) * 2)
        return value_error(kInvalid);
    // The variable-speed position holds delay × 256 in 32 bits.
    if (variable && delay > (UINT32_MAX >> 8)) return value_error(kInvalid);

    // Positions outside their line are reduced into it; positions in range are kept as they are.
    uint32_t modulus = variable ? delay * 256u : delay;
    uint32_t heads[2] = {pos0 % modulus, channels == 2 ? pos1 % modulus : pos1};
    kernel::EchoGains g;
    g.feedback = feedback;
    mix_gains(mix, &g.dry, &g.wet);

    uint8_t *out;
    PyObject *result = new_bytes(in.size(), &out);
    if (!result) return nullptr;
    without_gil(kernel_work(in.size() / 2, 3), [&] {
        kernel::echo(in.bytes(), out, in.size() / 2, int(channels), mem.writable(), mem.size(),
                     capacity, delay, speed, variable != 0, heads, g);
    });
    return Py_BuildValue("(NII)", result, heads[0], heads[1]);
}

PyObject *multitap_s16(PyObject *, PyObject *args) {
    BufferView in, mem, delays, gains;
    unsigned int position, length, channels, first_channel = 0;
    double feedback, mix;
    if (!PyArg_ParseTuple(args, "y*w*IIIw*w*dd|I:multitap_s16", in.out(), mem.out(), &position, &length,
                          &channels, delays.out(), gains.out(), &feedback, &mix, &first_channel))
        return nullptr;
    size_t taps = delays.size() / 4;
    if (in.size() % 2 != 0 || (channels != 1 && channels != 2) || length == 0 ||
        delays.size() % 4 != 0 || gains.size() != 8 * taps ||
        mem.len() < int64_t(length) * int64_t(channels) * 2)
        return value_error("invalid multi-tap parameters");

    int32_t tap_slope = kKneeSlope2;
    // The knee of a sum of T taps uses knee_slope(T), 32-bit arithmetic (never a zero divisor:
    // T × 32768 is a multiple of 32768 and 28000 is not).
    if (taps >= 2 && !knee_slope(static_cast<int32_t>(static_cast<uint32_t>(taps)), &tap_slope))
        tap_slope = kKneeSlope2;
    double dry, wet;
    mix_gains(mix, &dry, &wet);
    position %= length;

    uint8_t *out;
    PyObject *result = new_bytes(in.size(), &out);
    if (!result) return nullptr;
    without_gil(kernel_work(in.size() / 2, 3 + 3 * taps), [&] {
        kernel::multitap(in.bytes(), out, in.size() / 2, int(channels),
                         int(first_channel % channels), mem.writable(), length, delays.bytes(),
                         gains.bytes(), taps, tap_slope, feedback, dry, wet, &position);
    });
    return Py_BuildValue("(NI)", result, position);
}

}  // namespace sonolith
