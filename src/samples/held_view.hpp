// A buffer view held beyond one call, the first fields of BufferOwner and RawSample alike.
// Zero-filled is empty, as the generic allocator leaves a new object.
#pragma once

#include "module/binding.hpp"

namespace sonolith {

struct HeldView {
    Py_buffer view;
    int32_t held;

    // A C-contiguous view with its format; read-only exporters are accepted.
    bool acquire(PyObject *exporter) noexcept {
        if (PyObject_GetBuffer(exporter, &view, PyBUF_C_CONTIGUOUS | PyBUF_FORMAT) < 0) {
            std::memset(&view, 0, sizeof view);
            return false;
        }
        held = 1;
        return true;
    }
    void release() noexcept {
        if (held) {
            held = 0;
            PyBuffer_Release(&view);
        }
    }
};

}  // namespace sonolith
