// SplitterRing: fans one stream of signed 16-bit PCM (mono or stereo) out to up to four readers.
// A writer appends frames to a ring of 8192 stereo frames kept inside the object; each tap has its
// own read count and takes chunks of at most 256 frames that never wrap past the ring's end. The
// write count and the read counts are totals that wrap modulo 2^32; frame i of the stream lives in
// slot i mod 8192 (2^32 is a multiple of 8192, so the slots stay continuous across the wrap). A tap
// that falls a whole ring behind loses its oldest frames instead of blocking the writer.
//
// Guards beyond the plain algorithm: the per-frame drop rule is applied once per write in closed
// form (pending becomes min(pending + n, 8192), which is what dropping one frame per frame beyond
// the ring gives while every tap keeps 0 <= pending <= 8192), and an object whose __init__ never
// ran (no channel count to divide by) is refused before it reaches the ring.
#include <algorithm>

#include "module/module.hpp"
#include "module/numeric.hpp"

namespace sonolith {

// ---------------------------------------------------------------------------------------------
// Kernel

namespace kernel {

inline constexpr uint32_t kRingFrames = 8192;
inline constexpr uint32_t kChunkFrames = 256;
inline constexpr uint32_t kMaxTaps = 4;

struct Splitter {
    uint32_t taps;
    uint32_t channels;
    uint32_t write_count;
    uint32_t read_count[kMaxTaps];
    int16_t ring[kRingFrames][2];
};

inline uint32_t pending(const Splitter &s, uint32_t tap) noexcept {
    return s.write_count - s.read_count[tap];
}

// Stores `frames` frames (at most a whole ring) from `in` in consecutive slots starting at the
// write count's slot; a mono sample is stored on both sides.
template <int Channels>
void store_frames(Splitter &s, const uint8_t *in, uint32_t frames) noexcept {
    uint32_t slot = s.write_count % kRingFrames;
    uint32_t done = 0;
    while (done < frames) {
        const uint32_t n = std::min(frames - done, kRingFrames - slot);
        int16_t(*dst)[2] = s.ring + slot;
        const uint8_t *src = in + size_t(done) * 2 * Channels;
        if constexpr (Channels == 2) {
            std::memcpy(dst, src, size_t(n) * 4);
        } else {
            for (uint32_t i = 0; i < n; ++i) {
                const int16_t v = load_s16(src, i);
                dst[i][0] = v;
                dst[i][1] = v;
            }
        }
        done += n;
        slot = 0;
    }
}

// Appends up to 8192 frames and returns how many were taken from the input.
uint32_t write(Splitter &s, const uint8_t *in, size_t frames) noexcept {
    const uint32_t n = frames > kRingFrames ? kRingFrames : static_cast<uint32_t>(frames);
    if (n == 0) return 0;
    if (s.channels == 1)
        store_frames<1>(s, in, n);
    else
        store_frames<2>(s, in, n);
    s.write_count += n;
    for (uint32_t t = 0; t < s.taps; ++t) {
        // Before the write pending <= 8192; afterwards at most a whole ring stays pending.
        if (pending(s, t) > kRingFrames) s.read_count[t] = s.write_count - kRingFrames;
    }
    return n;
}

// The size of the tap's next chunk: everything pending, up to the ring's end, at most 256 frames.
uint32_t chunk_frames(const Splitter &s, uint32_t tap) noexcept {
    const uint32_t p = pending(s, tap);
    if (p == 0) return 0;
    return std::min({p, kRingFrames - s.read_count[tap] % kRingFrames, kChunkFrames});
}

// Copies the tap's next chunk of n frames (from chunk_frames) into out and advances the tap.
void take(Splitter &s, uint32_t tap, uint32_t n, uint8_t *out) noexcept {
    const uint32_t slot = s.read_count[tap] % kRingFrames;
    s.read_count[tap] += n;
    if (s.channels == 2) {
        std::memcpy(out, s.ring + slot, size_t(n) * 4);
    } else {
        for (uint32_t i = 0; i < n; ++i) store_s16(out, i, s.ring[slot + i][0]);
    }
}

}  // namespace kernel

// ---------------------------------------------------------------------------------------------
// Binding

namespace {

struct SplitterObject {
    PyObject_HEAD
    ObjectMutex lock;
    kernel::Splitter ring;
    uint8_t ready;
};

int init(SplitterObject *self, PyObject *args, PyObject *kwds) {
    static const char *keywords[] = {"taps", "channel_count", nullptr};
    int taps = 2, channel_count = 2;
    if (!PyArg_ParseTupleAndKeywords(args, kwds, "|ii:SplitterRing", const_cast<char **>(keywords),
                                     &taps, &channel_count))
        return -1;
    if (taps < 1 || taps > static_cast<int>(kernel::kMaxTaps)) return value_error("taps must be 1..4");
    kernel::Splitter &s = self->ring;
    s.taps = static_cast<uint32_t>(taps);
    s.channels = 2;
    s.write_count = 0;
    std::memset(s.read_count, 0, sizeof s.read_count);
    std::memset(s.ring, 0, sizeof s.ring);
    // The reset above is complete (a stereo ring with the new taps) whether or not the channel
    // count is accepted, so the object is usable from here on.
    self->ready = 1;
    if (channel_count != 1 && channel_count != 2) return value_error("channel_count must be 1 or 2");
    s.channels = static_cast<uint32_t>(channel_count);
    return 0;
}

PyObject *write(SplitterObject *self, PyObject *arg) {
    BufferView in;
    if (!in.acquire(arg, PyBUF_SIMPLE)) return nullptr;
    kernel::Splitter &s = self->ring;
    const size_t frame_bytes = 2 * size_t(s.channels);
    if (in.size() % frame_bytes != 0) {
        in.release();
        return value_error("input must be whole frames for the configured channel count");
    }
    const size_t frames = in.size() / frame_bytes;
    const uint32_t n = without_gil(kernel_work(std::min<size_t>(frames, kernel::kRingFrames), 1),
                                   [&] { return kernel::write(s, in.bytes(), frames); });
    return PyLong_FromUnsignedLong(n);
}

// The tap number argument of starved() and take(): -1 with an exception set when it is not a tap
// in use. The value is compared as converted, so no large number can alias a valid tap.
long tap_index(const SplitterObject *self, PyObject *arg) noexcept {
    const long tap = PyLong_AsLong(arg);
    if (tap == -1 && PyErr_Occurred()) return -1;
    if (tap < 0 || tap >= static_cast<long>(self->ring.taps)) {
        PyErr_SetString(PyExc_ValueError, "tap index out of range");
        return -1;
    }
    return tap;
}

PyObject *starved(SplitterObject *self, PyObject *arg) {
    const long tap = tap_index(self, arg);
    if (tap < 0) return nullptr;
    return PyBool_FromLong(kernel::pending(self->ring, static_cast<uint32_t>(tap)) == 0);
}

PyObject *take(SplitterObject *self, PyObject *arg) {
    const long tap = tap_index(self, arg);
    if (tap < 0) return nullptr;
    kernel::Splitter &s = self->ring;
    const uint32_t t = static_cast<uint32_t>(tap);
    const uint32_t n = kernel::chunk_frames(s, t);
    uint8_t *out;
    PyObject *result = new_bytes(size_t(n) * 2 * s.channels, &out);
    if (result == nullptr) return nullptr;  // the tap keeps its frames
    without_gil(kernel_work(n, 1), [&] { kernel::take(s, t, n, out); });
    return result;
}

PyObject *clear(SplitterObject *self, PyObject *) {
    kernel::Splitter &s = self->ring;
    for (uint32_t &count : s.read_count) count = s.write_count;
    Py_RETURN_NONE;
}

PyMethodDef methods[] = {
    SL_READY("write", write, METH_O),
    SL_READY("starved", starved, METH_O),
    SL_READY("take", take, METH_O),
    SL_READY("clear", clear, METH_NOARGS),
    {nullptr, nullptr, 0, nullptr},
};

PyType_Slot slots[] = {
    {Py_tp_new, reinterpret_cast<void *>(PyType_GenericNew)},
    {Py_tp_init, reinterpret_cast<void *>(locked<init>)},
    {Py_tp_methods, methods},
    {0, nullptr},
};

}  // namespace

PyType_Spec splitter_ring_spec = {
    "_sonolith.SplitterRing",
    sizeof(SplitterObject),
    0,
    Py_TPFLAGS_HEAPTYPE,
    slots,
};

}  // namespace sonolith
