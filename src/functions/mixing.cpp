// Mixing and channel utilities on native-endian signed 16-bit PCM: a saturating mix, a
// depth-controlled multiplication by a modulator, mid/side width, mono/stereo conversion, and the
// linear-amplitude to decibel-code conversion.
#include <algorithm>

#include "functions/db_scale.hpp"
#include "module/module.hpp"
#include "module/numeric.hpp"

namespace sonolith {

// ---------------------------------------------------------------------------------------------
// Kernels. Inputs are read and outputs written through memcpy-based access, so caller buffers may
// be unaligned; results always go to fresh memory except in remix, which handles aliasing itself.

namespace kernel {

void mix(const uint8_t *a, const uint8_t *b, uint8_t *out, size_t samples) noexcept {
    for (size_t i = 0; i < samples; ++i)
        store_s16(out, i, clamp_s16(int32_t(load_s16(a, i)) + load_s16(b, i)));
}

// Q15 depth weight c: a blend between the signal and its product with the modulator.
void multiply(const uint8_t *sig, const uint8_t *mod, uint8_t *out, size_t samples,
              int32_t c) noexcept {
    for (size_t i = 0; i < samples; ++i) {
        int32_t s = load_s16(sig, i), m = load_s16(mod, i);
        int32_t p = (s * m) >> 15;
        int32_t h = s * (32768 - c) + c * p;
        store_s16(out, i, clamp_s16(h >> 15));
    }
}

// Q14 width weight c applied to the side signal of stereo frames.
void midside(const uint8_t *in, uint8_t *out, size_t frames, int32_t c) noexcept {
    for (size_t i = 0; i < frames; ++i) {
        int32_t l = load_s16(in, 2 * i), r = load_s16(in, 2 * i + 1);
        int32_t f = (c * (l - r)) >> 14;
        store_s16(out, 2 * i, clamp_s16((l + r + f + 1) >> 1));
        store_s16(out, 2 * i + 1, clamp_s16((l + r - f + 1) >> 1));
    }
}

// Stereo to mono, frames ascending: frame i is read (bytes 4i..4i+3) before out[i] (bytes 2i..)
// is written, so converting in place inside one buffer is correct.
template <bool Disjoint>
void downmix(const uint8_t *in, uint8_t *out, size_t frames) noexcept {
    if constexpr (Disjoint) {
        const uint8_t *__restrict src = in;
        uint8_t *__restrict dst = out;
        for (size_t i = 0; i < frames; ++i)
            store_s16(dst, i, (int32_t(load_s16(src, 2 * i)) + load_s16(src, 2 * i + 1)) / 2);
    } else {
        for (size_t i = 0; i < frames; ++i)
            store_s16(out, i, (int32_t(load_s16(in, 2 * i)) + load_s16(in, 2 * i + 1)) / 2);
    }
}

// Mono to stereo, frames descending: frame i is read (bytes 2i..) before frame i is written
// (bytes 4i..4i+3), so converting in place from the front half of a buffer is correct.
template <bool Disjoint>
void upmix(const uint8_t *in, uint8_t *out, size_t frames) noexcept {
    if constexpr (Disjoint) {
        const uint8_t *__restrict src = in;
        uint8_t *__restrict dst = out;
        for (size_t i = 0; i < frames; ++i) {
            int16_t v = load_s16(src, i);
            store_s16(dst, 2 * i, v);
            store_s16(dst, 2 * i + 1, v);
        }
    } else {
        for (size_t i = frames; i-- > 0;) {
            int16_t v = load_s16(in, i);
            store_s16(out, 2 * i, v);
            store_s16(out, 2 * i + 1, v);
        }
    }
}

void remix(const uint8_t *in, int src_channels, uint8_t *out, int dst_channels,
           size_t frames) noexcept {
    size_t in_bytes = frames * 2 * src_channels, out_bytes = frames * 2 * dst_channels;
    bool disjoint = !overlaps(in, in_bytes, out, out_bytes);
    if (src_channels == dst_channels) {
        if (in != out) std::memmove(out, in, in_bytes);
    } else if (src_channels == 2) {
        disjoint ? downmix<true>(in, out, frames) : downmix<false>(in, out, frames);
    } else {
        disjoint ? upmix<true>(in, out, frames) : upmix<false>(in, out, frames);
    }
}

}  // namespace kernel

// ---------------------------------------------------------------------------------------------
// Bindings

namespace {

bool valid_channels(long channels) noexcept { return channels == 1 || channels == 2; }

// A parsed amount as a fixed-point weight: 0 at or below 0, 32768 at or above `top`, otherwise
// amount * scale + 0.5 truncated, in single precision (NaN gives 0).
int32_t weight(double amount, float top, float scale) noexcept {
    float v = narrow_float(amount);
    if (v <= 0.0f) return 0;
    if (v >= top) return 32768;
    return saturate_cast<int32_t>(v * scale + 0.5f);
}

}  // namespace

PyObject *mix_s16(PyObject *, PyObject *args) {
    BufferView a, b;
    if (!PyArg_ParseTuple(args, "y*y*:mix_s16", a.out(), b.out())) return nullptr;
    if (a.size() != b.size() || a.size() % 2 != 0)
        return value_error("buffers must have the same even byte length");
    uint8_t *out;
    PyObject *result = new_bytes(a.size(), &out);
    if (result)
        without_gil(kernel_work(a.size() / 2), [&] { kernel::mix(a.bytes(), b.bytes(), out, a.size() / 2); });
    return result;
}

PyObject *multiply_s16(PyObject *, PyObject *args) {
    BufferView sig, mod;
    double depth_arg;
    unsigned int channels = 2;
    if (!PyArg_ParseTuple(args, "y*y*d|I:multiply_s16", sig.out(), mod.out(), &depth_arg, &channels))
        return nullptr;
    if (!valid_channels(channels)) return value_error("channel_count must be 1 or 2");
    if (sig.size() != mod.size() || sig.size() % (2 * channels) != 0)
        return value_error("buffers must be the same whole number of configured frames");
    int32_t c = weight(depth_arg, 1.0f, 32768.0f);  // Q15
    uint8_t *out;
    PyObject *result = new_bytes(sig.size(), &out);
    if (result)
        without_gil(kernel_work(sig.size() / 2),
                    [&] { kernel::multiply(sig.bytes(), mod.bytes(), out, sig.size() / 2, c); });
    return result;
}

PyObject *midside_s16(PyObject *, PyObject *args) {
    BufferView in;
    double width_arg;
    unsigned int channels = 2;
    if (!PyArg_ParseTuple(args, "y*d|I:midside_s16", in.out(), &width_arg, &channels)) return nullptr;
    if (!valid_channels(channels)) return value_error("channel_count must be 1 or 2");
    if (in.size() % (2 * channels) != 0)
        return value_error("buffer must be a whole number of configured frames");
    int32_t c = weight(width_arg, 2.0f, 16384.0f);  // Q14
    uint8_t *out;
    PyObject *result = new_bytes(in.size(), &out);
    if (!result) return nullptr;
    without_gil(kernel_work(in.size() / 2), [&] {
        if (channels == 2)
            kernel::midside(in.bytes(), out, in.size() / 4, c);
        else if (in.size() != 0)
            std::memcpy(out, in.bytes(), in.size());
    });
    return result;
}

PyObject *remix_s16(PyObject *, PyObject *args) {
    BufferView src;
    int src_channels, dst_channels;
    PyObject *dest = Py_None;
    if (!PyArg_ParseTuple(args, "y*ii|O:remix_s16", src.out(), &src_channels, &dst_channels, &dest))
        return nullptr;
    if (!valid_channels(src_channels) || !valid_channels(dst_channels))
        return value_error("channel_count must be 1 or 2");
    if (src.size() % (2 * size_t(src_channels)) != 0)
        return value_error("source must be a whole number of frames");
    size_t frames = src.size() / (2 * size_t(src_channels));
    size_t out_bytes = frames * 2 * size_t(dst_channels);
    if (dest == Py_None) {
        uint8_t *out;
        PyObject *result = new_bytes(out_bytes, &out);
        if (result)
            without_gil(kernel_work(out_bytes / 2),
                        [&] { kernel::remix(src.bytes(), src_channels, out, dst_channels, frames); });
        return result;
    }
    BufferView dst;
    if (!dst.acquire(dest, PyBUF_C_CONTIGUOUS | PyBUF_WRITABLE)) return nullptr;
    if (dst.size() < out_bytes) return value_error("dest is too small");
    without_gil(kernel_work(out_bytes / 2),
                [&] { kernel::remix(src.bytes(), src_channels, dst.writable(), dst_channels, frames); });
    return Py_NewRef(dest);
}

PyObject *meter_db_byte(PyObject *, PyObject *args) {
    double amplitude;
    if (!PyArg_ParseTuple(args, "d:meter_db_byte", &amplitude)) return nullptr;
    return PyLong_FromLong(db_byte_lookup(narrow_float(amplitude)));
}

}  // namespace sonolith
