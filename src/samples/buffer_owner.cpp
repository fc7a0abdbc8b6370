// BufferOwner: pins another object's buffer (a bytearray cannot be resized while the view is
// held), lets the holder inspect and copy it, and gives it back early with release().
#include "module/module.hpp"
#include "samples/held_view.hpp"

namespace sonolith {
namespace {

struct BufferOwnerObject {
    PyObject_HEAD
    ObjectMutex lock;
    HeldView held;
};

int init(BufferOwnerObject *self, PyObject *args, PyObject *kwds) {
    static const char *keywords[] = {"exporter", nullptr};
    PyObject *exporter;
    if (!PyArg_ParseTupleAndKeywords(args, kwds, "O:BufferOwner", const_cast<char **>(keywords),
                                     &exporter))
        return -1;
    self->held.release();
    // The exporter's code runs during the request and may call __init__ on this object again:
    // acquire into a local view, then drop whatever a nested call stored, so no view is lost.
    HeldView fresh{};
    if (!fresh.acquire(exporter)) return -1;
    self->held.replace(fresh);
    return 0;
}

PyObject *release(BufferOwnerObject *self, PyObject *) {
    self->held.release();
    Py_RETURN_NONE;
}

PyObject *copy_bytes(BufferOwnerObject *self, PyObject *) {
    if (!self->held.held) return runtime_error("buffer has been released");
    const size_t n = static_cast<size_t>(self->held.view.len);
    uint8_t *out;
    PyObject *result = new_bytes(n, &out);
    if (result != nullptr && n != 0)
        without_gil(copy_work(n), [&] { std::memcpy(out, self->held.view.buf, n); });
    return result;
}

PyObject *get_format(BufferOwnerObject *self, void *) {
    if (!self->held.held) Py_RETURN_NONE;
    return PyUnicode_FromString(self->held.view.format ? self->held.view.format : "B");
}

PyObject *get_nbytes(BufferOwnerObject *self, void *) {
    return PyLong_FromSsize_t(self->held.held ? self->held.view.len : 0);
}

PyObject *get_itemsize(BufferOwnerObject *self, void *) {
    return PyLong_FromSsize_t(self->held.held ? self->held.view.itemsize : 0);
}

void release_view(BufferOwnerObject *self) noexcept { self->held.release(); }

PyMethodDef methods[] = {
    SL_LOCKED("release", release, METH_NOARGS),
    SL_LOCKED("bytes", copy_bytes, METH_NOARGS),
    {nullptr, nullptr, 0, nullptr},
};

PyGetSetDef getset[] = {
    {"format", locked<get_format>, nullptr, nullptr, nullptr},
    {"nbytes", locked<get_nbytes>, nullptr, nullptr, nullptr},
    {"itemsize", locked<get_itemsize>, nullptr, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyType_Slot slots[] = {
    {Py_tp_new, reinterpret_cast<void *>(PyType_GenericNew)},
    {Py_tp_init, reinterpret_cast<void *>(locked<init>)},
    {Py_tp_dealloc, reinterpret_cast<void *>(dealloc_tracked<BufferOwnerObject, release_view>)},
    {Py_tp_traverse, reinterpret_cast<void *>(traverse_type_only)},
    {Py_tp_clear, reinterpret_cast<void *>(clear_tracked<BufferOwnerObject, release_view>)},
    {Py_tp_methods, methods},
    {Py_tp_getset, getset},
    {0, nullptr},
};

}  // namespace

PyType_Spec buffer_owner_spec = {
    "_sonolith.BufferOwner",
    sizeof(BufferOwnerObject),
    0,
    Py_TPFLAGS_HEAPTYPE | Py_TPFLAGS_HAVE_GC,
    slots,
};

}  // namespace sonolith
