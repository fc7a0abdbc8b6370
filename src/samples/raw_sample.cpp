// RawSample: a caller's 8-bit or 16-bit PCM buffer served, without a copy of the caller's memory,
// to the host package's audio output through its pull protocol: _reset_buffer before playback and
// _get_buffer for each piece, either the whole buffer each time (single-buffer mode) or its two
// halves in alternation (double-buffer mode), optionally reduced to one channel.
#include "module/module.hpp"
#include "samples/held_view.hpp"

namespace sonolith {
namespace {

constexpr const char kDeinitialised[] =
    "Object has been deinitialized and can no longer be used. Create a new object.";

struct SampleFormat {
    uint32_t sample_rate;
    uint32_t buffer_length;
    uint8_t bits_per_sample;
    uint8_t channel_count;
    uint8_t samples_signed;
    uint8_t single_buffer;
};

struct RawSampleObject {
    PyObject_HEAD
    ObjectMutex lock;
    HeldView held;  // same place and meaning as in BufferOwner
    SampleFormat format;
    const uint8_t *data;
    uint32_t data_length;
    uint8_t next_half;
    uint8_t deinitialised;
};

// Status codes of the access operations.
enum Status { kOk = 0, kAccessFailed = 1 };

void deinit_object(RawSampleObject *self) noexcept {
    self->data = nullptr;
    self->deinitialised = 1;
    self->held.release();
}

bool flag_ok(RawSampleObject *self) noexcept { return !self->deinitialised; }

int access_check(RawSampleObject *self) noexcept {
    return (self->deinitialised || self->data == nullptr) ? kAccessFailed : kOk;
}

Failure status_error(int status) noexcept {
    if (status == kAccessFailed) return value_error(kDeinitialised);
    return runtime_error("audio sample operation failed");
}

// ---------------------------------------------------------------------------------------------
// __init__

int init(RawSampleObject *self, PyObject *args, PyObject *kwds) {
    static const char *keywords[] = {"buffer", "channel_count", "sample_rate", "single_buffer",
                                     nullptr};
    PyObject *buffer;
    int channel_count = 1;
    unsigned int sample_rate = 8000;
    int single_buffer = 1;
    if (!PyArg_ParseTupleAndKeywords(args, kwds, "O|$iIp:RawSample", const_cast<char **>(keywords),
                                     &buffer, &channel_count, &sample_rate, &single_buffer))
        return -1;
    if (channel_count != 1 && channel_count != 2) return value_error("channel_count must be 1 or 2");
    if (sample_rate == 0) return value_error("sample_rate must be at least 1");

    HeldView fresh{};
    if (!fresh.acquire(buffer)) return -1;
    const char *fmt = fresh.view.format ? fresh.view.format : "B";
    uint8_t bits = 0, is_signed = 0;
    if (fmt[0] != '\0' && fmt[1] == '\0') {
        switch (fmt[0]) {
        case 'b': bits = 8, is_signed = 1; break;
        case 'B': bits = 8; break;
        case 'h': bits = 16, is_signed = 1; break;
        case 'H': bits = 16; break;
        default: break;
        }
    }
    if (bits == 0) {
        fresh.release();
        return value_error("buffer must be a bytearray or array of type 'h', 'H', 'b', or 'B'");
    }
    uint64_t length = static_cast<uint64_t>(fresh.view.len);
    if (!single_buffer && length % (uint64_t(bits / 8) * uint64_t(channel_count) * 2) != 0) {
        fresh.release();
        return value_error("Length of buffer must be an even multiple of channel_count * type_size");
    }
    if (length > UINT32_MAX) {
        fresh.release();
        return fail(PyExc_OverflowError, "buffer is too large");
    }
    // On re-initialisation the old view is released last, by replace(), once the object is
    // consistent again: its exporter's release code may call back into this object.
    const uint8_t *data = static_cast<const uint8_t *>(fresh.view.buf);
    self->format = {sample_rate, static_cast<uint32_t>(length), bits,
                    static_cast<uint8_t>(channel_count), is_signed, static_cast<uint8_t>(single_buffer)};
    self->data = data;
    self->data_length = static_cast<uint32_t>(length);
    self->next_half = 0;
    self->deinitialised = 0;
    self->held.replace(fresh);
    return 0;
}

// ---------------------------------------------------------------------------------------------
// Methods

PyObject *deinit(RawSampleObject *self, PyObject *) {
    deinit_object(self);
    Py_RETURN_NONE;
}

PyObject *enter(RawSampleObject *self, PyObject *) {
    if (!flag_ok(self)) return value_error(kDeinitialised);
    return Py_NewRef(reinterpret_cast<PyObject *>(self));
}

PyObject *exit(RawSampleObject *self, PyObject *) { return deinit(self, nullptr); }

bool parse_channel_args(PyObject *args, PyObject *kwds, const char *format, int *single_channel,
                        unsigned int *audio_channel) noexcept {
    static const char *keywords[] = {"single_channel_output", "audio_channel", nullptr};
    return PyArg_ParseTupleAndKeywords(args, kwds, format, const_cast<char **>(keywords),
                                       single_channel, audio_channel);
}

PyObject *reset_buffer(RawSampleObject *self, PyObject *args, PyObject *kwds) {
    int single_channel = 0;
    unsigned int audio_channel = 0;
    if (!parse_channel_args(args, kwds, "|pI:_reset_buffer", &single_channel, &audio_channel))
        return nullptr;
    if (int status = access_check(self)) return status_error(status);
    Py_RETURN_NONE;
}

PyObject *get_buffer(RawSampleObject *self, PyObject *args, PyObject *kwds) {
    int single_channel = 0;
    unsigned int audio_channel = 0;
    if (!parse_channel_args(args, kwds, "|pI:_get_buffer", &single_channel, &audio_channel))
        return nullptr;
    if (int status = access_check(self)) return status_error(status);

    const SampleFormat &f = self->format;
    const uint32_t b = f.bits_per_sample / 8u;
    uint32_t offset = single_channel ? ((audio_channel & 0xFFu) % f.channel_count) * b : 0;
    const uint8_t *start = self->data + offset;
    uint32_t length = self->data_length;
    if (!f.single_buffer) {
        length = self->data_length / 2;
        start += size_t(length) * self->next_half;
        self->next_half = static_cast<uint8_t>(1 - self->next_half);
    }
    // A channel offset only occurs with more than one channel, where at most `length / stride`
    // strided samples are taken: the last one ends at offset + length - stride + b <= length.
    PyObject *result;
    if (single_channel && f.channel_count > 1) {
        uint32_t stride = f.channel_count * b;
        uint32_t n = length / stride;
        uint8_t *out;
        result = new_bytes(size_t(n) * b, &out);
        if (result == nullptr) return nullptr;
        without_gil(kernel_work(n), [&] {
            for (uint32_t k = 0; k < n; ++k)
                std::memcpy(out + size_t(k) * b, start + size_t(k) * stride, b);
        });
    } else {
        uint8_t *out;
        result = new_bytes(length, &out);
        if (result == nullptr) return nullptr;
        if (length != 0) without_gil(copy_work(length), [&] { std::memcpy(out, start, length); });
    }
    return Py_BuildValue("(iN)", 0, result);
}

// ---------------------------------------------------------------------------------------------
// Attributes

PyObject *get_sample_rate(RawSampleObject *self, void *) {
    if (!flag_ok(self)) return value_error(kDeinitialised);
    return PyLong_FromUnsignedLong(self->format.sample_rate);
}

int set_sample_rate(RawSampleObject *self, PyObject *value, void *) {
    if (!flag_ok(self)) return value_error(kDeinitialised);
    if (value == nullptr) return fail(PyExc_AttributeError, "cannot delete attribute");
    unsigned long rate = PyLong_AsUnsignedLong(value);
    if (rate == static_cast<unsigned long>(-1) && PyErr_Occurred()) return -1;
    if (rate > UINT32_MAX) return fail(PyExc_OverflowError, "sample_rate is too large");
    if (rate == 0) return value_error("sample_rate must be at least 1");
    self->format.sample_rate = static_cast<uint32_t>(rate);
    return 0;
}

PyObject *get_bits_per_sample(RawSampleObject *self, void *) {
    if (!flag_ok(self)) return value_error(kDeinitialised);
    return PyLong_FromLong(self->format.bits_per_sample);
}

PyObject *get_channel_count(RawSampleObject *self, void *) {
    if (!flag_ok(self)) return value_error(kDeinitialised);
    return PyLong_FromLong(self->format.channel_count);
}

PyObject *get_samples_signed(RawSampleObject *self, void *) {
    return PyBool_FromLong(self->format.samples_signed);
}

PyObject *get_single_buffer(RawSampleObject *self, void *) {
    return PyBool_FromLong(self->format.single_buffer);
}

PyObject *get_max_buffer_length(RawSampleObject *self, void *) {
    return PyLong_FromUnsignedLong(self->format.buffer_length);
}

// ---------------------------------------------------------------------------------------------
// Type (garbage collection clear and deallocation do what deinit() does)

constexpr int kKeywords = METH_VARARGS | METH_KEYWORDS;

PyMethodDef methods[] = {
    SL_LOCKED("deinit", deinit, METH_NOARGS),
    SL_LOCKED("__enter__", enter, METH_NOARGS),
    SL_LOCKED("__exit__", exit, METH_VARARGS),
    SL_LOCKED("_reset_buffer", reset_buffer, kKeywords),
    SL_LOCKED("_get_buffer", get_buffer, kKeywords),
    {nullptr, nullptr, 0, nullptr},
};

PyGetSetDef getset[] = {
    {"sample_rate", locked<get_sample_rate>, locked<set_sample_rate>, nullptr, nullptr},
    {"bits_per_sample", locked<get_bits_per_sample>, nullptr, nullptr, nullptr},
    {"channel_count", locked<get_channel_count>, nullptr, nullptr, nullptr},
    {"samples_signed", locked<get_samples_signed>, nullptr, nullptr, nullptr},
    {"single_buffer", locked<get_single_buffer>, nullptr, nullptr, nullptr},
    {"max_buffer_length", locked<get_max_buffer_length>, nullptr, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyType_Slot slots[] = {
    {Py_tp_new, reinterpret_cast<void *>(PyType_GenericNew)},
    {Py_tp_init, reinterpret_cast<void *>(locked<init>)},
    {Py_tp_dealloc, reinterpret_cast<void *>(dealloc_tracked<RawSampleObject, deinit_object>)},
    {Py_tp_traverse, reinterpret_cast<void *>(traverse_type_only)},
    {Py_tp_clear, reinterpret_cast<void *>(clear_tracked<RawSampleObject, deinit_object>)},
    {Py_tp_methods, methods},
    {Py_tp_getset, getset},
    {0, nullptr},
};

}  // namespace

PyType_Spec raw_sample_spec = {
    "tonebay.RawSample",
    sizeof(RawSampleObject),
    0,
    Py_TPFLAGS_HEAPTYPE | Py_TPFLAGS_HAVE_GC,
    slots,
};

}  // namespace sonolith
