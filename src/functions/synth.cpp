// Synthesiser voices on native-endian signed 32-bit samples: a looped-wavetable oscillator with a
// constant-gain pan stage, the same oscillator without gain, ring modulation of a voice by a second
// wavetable, a loudness stage that changes gain only at a zero crossing, the soft-knee mixdown of a
// 32-bit sum to 16 bits, pitch-bend arithmetic and the 64-bit FNV-1a hash.
//
// Phases and steps are unsigned 16.16 fixed point whose integer part indexes the wavetable. All
// arithmetic is 32-bit two's complement; divisions truncate towards zero.
#include <algorithm>

#include "functions/soft_knee.hpp"
#include "module/module.hpp"
#include "module/numeric.hpp"

namespace sonolith {

// ---------------------------------------------------------------------------------------------
// Kernels

namespace kernel {

// Loop bounds in 16.16: LS = start << 16, LE = end << 16 and span = LE - LS, all modulo 2^32.
struct Loop {
    uint32_t start, end, span;
};

inline Loop make_loop(uint32_t loop_start, uint32_t loop_end) noexcept {
    uint32_t ls = loop_start << 16, le = loop_end << 16;
    return {ls, le, le - ls};
}

// A step of more than half the loop renders nothing. Loops longer than 65535 samples wrap in
// 16.16, and one whose span wraps to 0 admits only a zero step: from a phase below LE that step
// holds the phase and reads the same sample every time, but a phase at or past LE would have to be
// brought into a loop of no length (a division by zero), so then nothing is rendered and the phase
// is kept.
inline bool renders(uint32_t phase, uint32_t step, const Loop &loop) noexcept {
    return step <= (loop.span >> 1) && (loop.span != 0 || phase < loop.end);
}

// Brings a phase at or past the loop end into the loop; a phase before the loop start is kept, so
// the part of the waveform before the loop plays once.
inline uint32_t enter_loop(uint32_t phase, const Loop &loop) noexcept {
    if (phase >= loop.end) phase = loop.start + (phase - loop.start) % loop.span;
    return phase;
}

// Reads n samples from the wavetable, advancing the phase before each read, and hands sample i to
// sink(i, value). Returns the final phase.
//
// Every read stays inside the wavetable: when its sample count is at most 65535 the loop bounds do
// not wrap, every phase the loop produces lies below LE (a phase below LE plus a step of at most
// span / 2 either stays below LE, wraps past 2^32 to below the step and thus below LE, or comes
// back by one span into [LS, LE)), and LE >> 16 is at most the sample count; with 65536 samples or
// more every 16-bit index is inside.
//
// Runs of advances that stay below LE need no wrap test, so they are done as independent
// phase + k * step reads; each wrap goes through the general rule.
template <typename Sink>
uint32_t read_wavetable(const uint8_t *wave, uint32_t phase, uint32_t step, const Loop &loop,
                        size_t n, Sink &&sink) noexcept {
    size_t i = 0;
    while (i < n) {
        if (phase < loop.end) {
            uint32_t room = step != 0 ? (loop.end - 1 - phase) / step : UINT32_MAX;
            size_t run = std::min<size_t>(room, n - i);
            uint32_t p = phase;
            for (size_t j = 0; j < run; ++j) {
                p += step;
                sink(i + j, int32_t(load_s16(wave, p >> 16)));
            }
            phase = p;
            i += run;
            if (i == n) break;
        }
        uint32_t t = phase + step;
        phase = t < loop.end ? t : t - loop.span;
        sink(i++, int32_t(load_s16(wave, phase >> 16)));
    }
    return phase;
}

// One contribution of the gain stage: v * g / 65536 with a 32-bit product, truncating, clamped.
inline int32_t gained(int32_t v, int32_t g) noexcept {
    return clamp_s16(int32_t(uint32_t(v) * uint32_t(g)) / 65536);
}

// The oscillator with a constant gain pair; out (channels * n i32 samples) need not be cleared.
uint32_t oscillator(const uint8_t *wave, uint32_t phase, uint32_t step, const Loop &loop,
                    int32_t left, int32_t right, int channels, uint8_t *out, size_t n) noexcept {
    if (channels == 1)
        return read_wavetable(wave, phase, step, loop, n, [&](size_t i, int32_t v) {
            store_i32(out, i, gained(v, left));
        });
    return read_wavetable(wave, phase, step, loop, n, [&](size_t i, int32_t v) {
        store_i32(out, 2 * i, gained(v, left));
        store_i32(out, 2 * i + 1, gained(v, right));
    });
}

uint32_t oscillator_raw(const uint8_t *wave, uint32_t phase, uint32_t step, const Loop &loop,
                        uint8_t *out, size_t n) noexcept {
    return read_wavetable(wave, phase, step, loop, n,
                          [&](size_t i, int32_t v) { store_i32(out, i, v); });
}

// voice (n i32 samples) is both input and output: sample i is read before it is written.
uint32_t ring_multiply(uint8_t *voice, const uint8_t *wave, uint32_t phase, uint32_t step,
                       const Loop &loop, size_t n) noexcept {
    return read_wavetable(wave, phase, step, loop, n, [&](size_t i, int32_t w) {
        int32_t product = int32_t(uint32_t(w) * uint32_t(load_i32(voice, i))) / 32768;
        store_i32(voice, i, std::min(product, int32_t{32767}));
    });
}

// The gain stage moving from the current pair to the target pair at the first zero crossing of the
// source: a zero sample, or one of the opposite sign to the last non-zero sample of this call,
// switches at once and already uses the target pair. out holds channels * n i32 samples.
void loudness(const uint8_t *src, size_t n, int channels, int32_t left, int32_t right,
              int32_t target_left, int32_t target_right, uint8_t *out) noexcept {
    bool pending = left != target_left || right != target_right;
    int32_t last = 0;  // the last non-zero sample; 0 while none has been seen
    for (size_t i = 0; i < n; ++i) {
        int32_t v = load_i32(src, i);
        if (pending) {
            if (v == 0 || (last > 0 && v < 0) || (last < 0 && v > 0)) {
                left = target_left;
                right = target_right;
                pending = false;
            } else {
                last = v;
            }
        }
        if (channels == 1) {
            store_i32(out, i, gained(v, left));
        } else {
            store_i32(out, 2 * i, gained(v, left));
            store_i32(out, 2 * i + 1, gained(v, right));
        }
    }
}

void mixdown(const uint8_t *in, uint8_t *out, size_t n, int32_t slope) noexcept {
    for (size_t i = 0; i < n; ++i) store_s16(out, i, soft_knee_s16(load_i32(in, i), slope));
}

// round((2^(k/12) - 1) * 32768) for k = 0..12.
inline constexpr uint32_t kSemitones[13] = {0,     1948,  4013,  6200,  8517,  10972, 13573,
                                            16329, 19248, 22341, 25618, 29090, 32768};

// base * 2^(bend / 32768), bend in 1/32768 octaves: whole octaves by shifting, the fraction by
// linear interpolation between semitones. Defined for every input; meaningful from -48 to +16
// octaves (exclusive), where the shift count stays within 0..63.
uint32_t pitch_bend(uint32_t base, int32_t bend) noexcept {
    int32_t octaves = bend >> 15;
    uint32_t a = uint32_t(bend & 32767) * 24;
    uint32_t k = a >> 16, w = a & 65535;
    uint32_t m = ((kSemitones[k] * (65535 - w) + kSemitones[k + 1] * w) >> 16) + 32768;
    unsigned shift = (15u - uint32_t(octaves)) & 63u;
    return uint32_t((uint64_t(base) * m) >> shift);
}

uint64_t fnv1a64(const uint8_t *data, size_t n, uint64_t h) noexcept {
    for (size_t i = 0; i < n; ++i) h = (h ^ data[i]) * 1099511628211ull;
    return h;
}

}  // namespace kernel

// ---------------------------------------------------------------------------------------------
// Bindings

namespace {

bool s16_range(long long v) noexcept { return v >= -32768 && v <= 32767; }

// Borrows a wavetable as a C-contiguous view with its format. Valid: format exactly "h" (an
// exporter without a format counts as bytes), an even byte length and a loop with
// start < end <= sample count. Returns false with the exporter's error set when it cannot be
// borrowed; `valid` tells the caller whether to raise its own message.
bool borrow_waveform(BufferView &view, PyObject *exporter, uint32_t loop_start, uint32_t loop_end,
                     bool *valid) noexcept {
    if (!view.acquire(exporter, PyBUF_C_CONTIGUOUS | PyBUF_FORMAT)) return false;
    size_t samples = view.size() / 2;
    *valid = std::strcmp(view.format(), "h") == 0 && view.size() % 2 == 0 &&
             loop_start < loop_end && loop_end <= samples;
    if (!*valid) view.release();
    return true;
}

// (bytes, phase) as a tuple; takes over the bytes object.
PyObject *with_phase(PyObject *bytes, uint32_t phase) noexcept {
    if (bytes == nullptr) return nullptr;
    return Py_BuildValue("(NI)", bytes, static_cast<unsigned int>(phase));
}

}  // namespace

PyObject *oscillator_i32(PyObject *, PyObject *args) {
    PyObject *exporter;
    unsigned int phase, step, loop_start, loop_end, channels, frames;
    int left, right;
    if (!PyArg_ParseTuple(args, "OIIIIiiII:oscillator_i32", &exporter, &phase, &step, &loop_start,
                          &loop_end, &left, &right, &channels, &frames))
        return nullptr;
    if ((channels != 1 && channels != 2) || frames > 65535 || !s16_range(left) || !s16_range(right))
        return value_error("invalid oscillator parameters");
    BufferView wave;
    bool valid;
    if (!borrow_waveform(wave, exporter, loop_start, loop_end, &valid)) return nullptr;
    if (!valid) return value_error("waveform must be a native signed 16-bit buffer with a valid loop");

    size_t samples = size_t(channels) * frames;
    uint8_t *out;
    PyObject *result = new_bytes(samples * 4, &out);
    if (result == nullptr) return nullptr;
    kernel::Loop loop = kernel::make_loop(loop_start, loop_end);
    if (kernel::renders(phase, step, loop)) {
        phase = kernel::enter_loop(phase, loop);
        phase = without_gil(kernel_work(samples, 1), [&] {
            return kernel::oscillator(wave.bytes(), phase, step, loop, left, right, int(channels),
                                      out, frames);
        });
    } else if (samples != 0) {
        std::memset(out, 0, samples * 4);
    }
    wave.release();
    return with_phase(result, phase);
}

PyObject *oscillator_raw_i32(PyObject *, PyObject *args) {
    PyObject *exporter;
    unsigned int phase, step, loop_start, loop_end, frames;
    if (!PyArg_ParseTuple(args, "OIIIII:oscillator_raw_i32", &exporter, &phase, &step, &loop_start,
                          &loop_end, &frames))
        return nullptr;
    if (frames >= 65536) return value_error("invalid oscillator duration");
    BufferView wave;
    bool valid;
    if (!borrow_waveform(wave, exporter, loop_start, loop_end, &valid)) return nullptr;
    if (!valid) return value_error("invalid oscillator waveform");

    uint8_t *out;
    PyObject *result = new_bytes(size_t(frames) * 4, &out);
    if (result == nullptr) return nullptr;
    kernel::Loop loop = kernel::make_loop(loop_start, loop_end);
    if (kernel::renders(phase, step, loop)) {
        phase = kernel::enter_loop(phase, loop);
        phase = without_gil(kernel_work(frames, 1), [&] {
            return kernel::oscillator_raw(wave.bytes(), phase, step, loop, out, frames);
        });
    } else if (frames != 0) {
        std::memset(out, 0, size_t(frames) * 4);
    }
    wave.release();
    return with_phase(result, phase);
}

PyObject *ring_multiply_i32(PyObject *, PyObject *args) {
    BufferView voice;
    PyObject *exporter;
    unsigned int phase, step, loop_start, loop_end;
    if (!PyArg_ParseTuple(args, "y*OIIII:ring_multiply_i32", voice.out(), &exporter, &phase, &step,
                          &loop_start, &loop_end))
        return nullptr;
    if (voice.size() % 4 != 0 || voice.size() / 4 > 65535)
        return value_error("invalid ring voice buffer");
    BufferView wave;
    bool valid;
    if (!borrow_waveform(wave, exporter, loop_start, loop_end, &valid)) return nullptr;
    if (!valid) {
        voice.release();
        return value_error("invalid ring waveform");
    }

    uint8_t *out;
    PyObject *result = new_bytes(voice.size(), &out);
    if (result == nullptr) return nullptr;
    if (voice.size() != 0) std::memcpy(out, voice.bytes(), voice.size());
    kernel::Loop loop = kernel::make_loop(loop_start, loop_end);
    if (kernel::renders(phase, step, loop)) {
        phase = kernel::enter_loop(phase, loop);
        phase = without_gil(kernel_work(voice.size() / 4, 2), [&] {
            return kernel::ring_multiply(out, wave.bytes(), phase, step, loop, voice.size() / 4);
        });
    }
    wave.release();
    voice.release();
    return with_phase(result, phase);
}

PyObject *apply_loudness_i32(PyObject *, PyObject *args) {
    constexpr int kMissing = INT32_MIN;
    BufferView voice;
    int left, right, previous_left = kMissing, previous_right = kMissing;
    unsigned int channels;
    if (!PyArg_ParseTuple(args, "y*iiI|ii:apply_loudness_i32", voice.out(), &left, &right,
                          &channels, &previous_left, &previous_right))
        return nullptr;
    if (previous_left == kMissing) previous_left = left;
    if (previous_right == kMissing) previous_right = right;
    if (voice.size() % 4 != 0 || (channels != 1 && channels != 2) || !s16_range(left) ||
        !s16_range(right) || !s16_range(previous_left) || !s16_range(previous_right))
        return value_error("invalid loudness parameters");

    size_t n = voice.size() / 4;
    uint8_t *out;
    PyObject *result = new_bytes(size_t(channels) * n * 4, &out);
    if (result != nullptr)
        without_gil(kernel_work(size_t(channels) * n), [&] {
            kernel::loudness(voice.bytes(), n, int(channels), previous_left, previous_right, left,
                             right, out);
        });
    return result;
}

PyObject *mixdown_i32(PyObject *, PyObject *args) {
    BufferView in;
    unsigned int headroom = 64;
    if (!PyArg_ParseTuple(args, "y*|I:mixdown_i32", in.out(), &headroom)) return nullptr;
    int32_t slope;
    if (in.size() % 4 != 0 || headroom == 0 || !knee_slope(int32_t(headroom), &slope))
        return value_error("input must contain native signed 32-bit samples");
    uint8_t *out;
    PyObject *result = new_bytes(in.size() / 2, &out);
    if (result != nullptr)
        without_gil(kernel_work(in.size() / 4),
                    [&] { kernel::mixdown(in.bytes(), out, in.size() / 4, slope); });
    return result;
}

PyObject *pitch_bend(PyObject *, PyObject *args) {
    unsigned int base;
    int bend;
    if (!PyArg_ParseTuple(args, "Ii:pitch_bend", &base, &bend)) return nullptr;
    return PyLong_FromUnsignedLong(kernel::pitch_bend(base, bend));
}

PyObject *fnv1a64(PyObject *, PyObject *args) {
    BufferView data;
    unsigned long long start = 14695981039346656037ull;
    if (!PyArg_ParseTuple(args, "y*|K:fnv1a64", data.out(), &start)) return nullptr;
    const uint64_t hash = without_gil(kernel_work(data.size()),
                                      [&] { return kernel::fnv1a64(data.bytes(), data.size(), start); });
    return PyLong_FromUnsignedLongLong(hash);
}

}  // namespace sonolith
