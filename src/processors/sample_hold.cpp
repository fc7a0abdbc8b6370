// SampleHoldState: a sample-and-hold decimator by a rational ratio num/den >= 1 that keeps the
// stream's length. Per input frame the phase gains den; when it reaches num the frame is taken
// (copied into the held frame) and the phase loses num; every output frame is the held frame.
// Frames are opaque groups of 1 to 4 bytes, so any sample format and channel layout that fits
// works, and the phase carries across calls.
//
// The kernel runs from take to take instead of frame by frame: with phase p < num the next frame
// taken is the k-th, k = ceil((num - p) / den), and the k - 1 frames before it repeat the held
// frame. That is the same sequence of phases and frames, with the repeats written as plain fills.
// Guards beyond the plain algorithm: an object whose __init__ never ran (num = den = 0) never
// reaches the kernel.
#include "module/module.hpp"
#include "module/numeric.hpp"

namespace sonolith {

// ---------------------------------------------------------------------------------------------
// Kernel

namespace kernel {

inline constexpr uint32_t kMaxRatio = uint32_t(1) << 30;

struct SampleHold {
    uint32_t num;    // frames in, reduced
    uint32_t den;    // frames taken per num frames in, reduced
    uint32_t phase;  // below num between frames
    uint8_t held[4];
};

inline uint32_t gcd(uint32_t a, uint32_t b) noexcept {
    while (b != 0) {
        const uint32_t r = a % b;
        a = b;
        b = r;
    }
    return a;
}

inline bool valid_ratio(uint32_t num, uint32_t den) noexcept {
    return num != 0 && den != 0 && den <= num && num <= kMaxRatio;
}

// The pattern restarts so that the next frame is taken.
inline void restart(SampleHold &s) noexcept {
    s.phase = s.num - s.den;
    std::memset(s.held, 0, sizeof s.held);
}

// Writes the held frame (its first Size bytes) n times.
template <size_t Size>
inline void fill(uint8_t *out, const uint8_t *held, size_t n) noexcept {
    if constexpr (Size == 1) {
        std::memset(out, held[0], n);
    } else if constexpr (Size == 2 || Size == 4) {
        using Word = std::conditional_t<Size == 2, uint16_t, uint32_t>;
        const Word w = load<Word>(held);
        for (size_t i = 0; i < n; ++i) store<Word>(out + i * Size, w);
    } else {
        for (size_t i = 0; i < n; ++i) std::memcpy(out + i * Size, held, Size);
    }
}

template <size_t Size>
void run(SampleHold &s, const uint8_t *in, uint8_t *out, size_t frames) noexcept {
    if (s.num == s.den) {  // 1/1: every frame is taken
        std::memcpy(out, in, frames * Size);
        if (frames != 0) std::memcpy(s.held, in + (frames - 1) * Size, Size);
        return;
    }
    const uint64_t num = s.num, den = s.den;
    uint64_t phase = s.phase;
    size_t i = 0;
    while (i < frames) {
        const uint64_t k = (num - phase + den - 1) / den;  // >= 1, as phase < num
        if (k > frames - i) {  // no frame left in this call is taken
            fill<Size>(out + i * Size, s.held, frames - i);
            phase += (frames - i) * den;
            break;
        }
        fill<Size>(out + i * Size, s.held, static_cast<size_t>(k - 1));
        i += static_cast<size_t>(k - 1);
        std::memcpy(s.held, in + i * Size, Size);
        std::memcpy(out + i * Size, in + i * Size, Size);
        phase = phase + k * den - num;
        ++i;
    }
    s.phase = static_cast<uint32_t>(phase);
}

void process(SampleHold &s, const uint8_t *in, uint8_t *out, size_t frames, uint32_t size) noexcept {
    switch (size) {
    case 1: run<1>(s, in, out, frames); break;
    case 2: run<2>(s, in, out, frames); break;
    case 3: run<3>(s, in, out, frames); break;
    default: run<4>(s, in, out, frames); break;
    }
}

}  // namespace kernel

// ---------------------------------------------------------------------------------------------
// Binding

namespace {

struct SampleHoldObject {
    PyObject_HEAD
    ObjectMutex lock;
    kernel::SampleHold hold;
    uint8_t ready;
};

constexpr const char kBadRatio[] = "num and den must be whole, den <= num (a hold cannot invent frames)";

// Checks a ratio as parsed (values wrapped modulo 2^32 by "I" compare as the unsigned numbers
// they became) and reduces it.
bool reduced_ratio(unsigned int num, unsigned int den, uint32_t *rn, uint32_t *rd) noexcept {
    if (!kernel::valid_ratio(num, den)) {
        PyErr_SetString(PyExc_ValueError, kBadRatio);
        return false;
    }
    const uint32_t g = kernel::gcd(num, den);
    *rn = num / g;
    *rd = den / g;
    return true;
}

int init(SampleHoldObject *self, PyObject *args, PyObject *kwds) {
    static const char *keywords[] = {"num", "den", nullptr};
    unsigned int num = 1, den = 1;
    if (!PyArg_ParseTupleAndKeywords(args, kwds, "|II:SampleHoldState", const_cast<char **>(keywords),
                                     &num, &den))
        return -1;
    uint32_t rn, rd;
    if (!reduced_ratio(num, den, &rn, &rd)) return -1;
    self->hold.num = rn;
    self->hold.den = rd;
    kernel::restart(self->hold);
    self->ready = 1;
    return 0;
}

PyObject *configure(SampleHoldObject *self, PyObject *args) {
    unsigned int num, den;
    if (!PyArg_ParseTuple(args, "II:configure", &num, &den)) return nullptr;
    uint32_t rn, rd;
    if (!reduced_ratio(num, den, &rn, &rd)) return nullptr;
    kernel::SampleHold &s = self->hold;
    if (rn != s.num || rd != s.den) {
        s.num = rn;
        s.den = rd;
        kernel::restart(s);
    }
    Py_RETURN_NONE;
}

PyObject *ratio(SampleHoldObject *self, PyObject *) {
    return Py_BuildValue("(kk)", static_cast<unsigned long>(self->hold.num),
                         static_cast<unsigned long>(self->hold.den));
}

PyObject *reset(SampleHoldObject *self, PyObject *) {
    kernel::restart(self->hold);
    Py_RETURN_NONE;
}

PyObject *process(SampleHoldObject *self, PyObject *args) {
    BufferView in;
    unsigned int frame_size;
    if (!PyArg_ParseTuple(args, "y*I:process", in.out(), &frame_size)) return nullptr;
    if (frame_size < 1 || frame_size > 4 || in.size() % frame_size != 0) {
        in.release();
        return value_error("input must be whole frames of 1 to 4 bytes");
    }
    uint8_t *out;
    PyObject *result = new_bytes(in.size(), &out);
    if (result == nullptr) return nullptr;
    const size_t frames = in.size() / frame_size;
    without_gil(kernel_work(frames, 1),
                [&] { kernel::process(self->hold, in.bytes(), out, frames, frame_size); });
    return result;
}

PyMethodDef methods[] = {
    SL_READY("configure", configure, METH_VARARGS),
    SL_READY("ratio", ratio, METH_NOARGS),
    SL_READY("reset", reset, METH_NOARGS),
    SL_READY("process", process, METH_VARARGS),
    {nullptr, nullptr, 0, nullptr},
};

PyType_Slot slots[] = {
    {Py_tp_new, reinterpret_cast<void *>(PyType_GenericNew)},
    {Py_tp_init, reinterpret_cast<void *>(locked<init>)},
    {Py_tp_methods, methods},
    {0, nullptr},
};

}  // namespace

PyType_Spec sample_hold_state_spec = {
    "_sonolith.SampleHoldState",
    sizeof(SampleHoldObject),
    0,
    Py_TPFLAGS_HEAPTYPE,
    slots,
};

}  // namespace sonolith
