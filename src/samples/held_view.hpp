// A buffer view held beyond one call, the first fields of BufferOwner and RawSample alike.
// Zero-filled is empty, as the generic allocator leaves a new object.
//
// Acquiring and releasing a view can run the exporter's Python code (__buffer__ and
// __release_buffer__), and that code may call back into the owning object, even __init__ again.
// So a view is always acquired into a local record first and moved in with replace(), and a
// release empties the record before the exporter runs: a nested call then finds the object in a
// consistent state and no view is ever overwritten while held. A record may be copied: only buf,
// len, itemsize, format and obj are read (shape and strides may point into the original record).
#pragma once

#include "module/binding.hpp"

namespace sonolith {

struct HeldView {
    Py_buffer view;
    int32_t held;

    // A C-contiguous view with its format; read-only exporters are accepted.
    bool acquire(PyObject *exporter) noexcept { return acquire(exporter, PyBUF_C_CONTIGUOUS | PyBUF_FORMAT); }
    // A view with the given request flags (PyBUF_SIMPLE: plain read-only bytes).
    bool acquire(PyObject *exporter, int flags) noexcept {
        if (PyObject_GetBuffer(exporter, &view, flags) < 0) {
            std::memset(&view, 0, sizeof view);
            held = 0;
            return false;
        }
        held = 1;
        return true;
    }
    void release() noexcept {
        if (!held) return;
        Py_buffer local = view;
        held = 0;
        std::memset(&view, 0, sizeof view);
        PyBuffer_Release(&local);
    }
    // Holds `fresh` (emptying it) and releases what was held before, last.
    void replace(HeldView &fresh) noexcept {
        HeldView old = *this;
        *this = fresh;
        fresh.held = 0;
        std::memset(&fresh.view, 0, sizeof fresh.view);
        old.release();
    }
};

}  // namespace sonolith
