// The calling conventions shared by every function and type of the module, written once as small
// C++ helpers so that no entry point can get them wrong:
//
//   BufferView     RAII owner of a Py_buffer; every path out of a call releases every view.
//   GilRelease     runs a pure kernel with the GIL released on the ordinary build (without_gil).
//   locked<F>      wraps a method, getter, setter or __init__ so that it runs holding the object's
//                  lock (and receives `self` as its own record type).
//   ready<F>       the same, and first rejects an object whose __init__ never succeeded.
//   fail(...)      sets a built-in exception with an exact message and converts to nullptr / -1.
//   OwnedArray     an array owned by an object; NewArray allocates the replacement first and
//                  commits it only when every allocation of a configuration has succeeded.
//
// Nothing here throws: no C++ exception may cross into the interpreter.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <concepts>
#include <type_traits>

#if defined(__linux__)
#include <sys/mman.h>
#endif

namespace sonolith {

// ---------------------------------------------------------------------------------------------
// Errors

// The result of a failed call: converts to the error value of whatever the entry point returns.
struct Failure {
    operator PyObject *() const noexcept { return nullptr; }
    operator int() const noexcept { return -1; }
};

inline Failure fail(PyObject *type, const char *message) noexcept {
    PyErr_SetString(type, message);
    return {};
}
inline Failure value_error(const char *message) noexcept { return fail(PyExc_ValueError, message); }
inline Failure runtime_error(const char *message) noexcept { return fail(PyExc_RuntimeError, message); }
inline Failure no_memory() noexcept {
    PyErr_NoMemory();
    return {};
}
// An error already set by a call into the interpreter.
inline Failure failed() noexcept { return {}; }

// Message for an object whose __init__ never ran or did not succeed.
inline constexpr const char kNotInitialised[] = "object is not initialized; call __init__ first";

// ---------------------------------------------------------------------------------------------
// Buffer views

// Owns one Py_buffer. Fill it either through acquire() or by passing out() to a "y*"/"w*" parse:
// the parser releases its own views when parsing fails, and PyBuffer_Release leaves obj null, so
// the destructor releases exactly the views that are held.
class BufferView {
public:
    BufferView() noexcept { std::memset(&view_, 0, sizeof view_); }
    ~BufferView() { release(); }
    BufferView(const BufferView &) = delete;
    BufferView &operator=(const BufferView &) = delete;

    bool acquire(PyObject *exporter, int flags) noexcept {
        release();
        if (PyObject_GetBuffer(exporter, &view_, flags) < 0) {
            std::memset(&view_, 0, sizeof view_);
            return false;
        }
        return true;
    }
    Py_buffer *out() noexcept { return &view_; }
    void release() noexcept {
        if (view_.obj != nullptr) PyBuffer_Release(&view_);
    }

    bool held() const noexcept { return view_.obj != nullptr; }
    const uint8_t *bytes() const noexcept { return static_cast<const uint8_t *>(view_.buf); }
    uint8_t *writable() const noexcept { return static_cast<uint8_t *>(view_.buf); }
    size_t size() const noexcept { return static_cast<size_t>(view_.len); }
    Py_ssize_t len() const noexcept { return view_.len; }
    // The view's format, "B" when the exporter gave none.
    const char *format() const noexcept { return view_.format ? view_.format : "B"; }
    const Py_buffer &raw() const noexcept { return view_; }

private:
    Py_buffer view_;
};

// Large results are written once from start to end; on Linux, asking for transparent huge pages
// before the first touch saves most of the page faults of a fresh mapping (the contents are
// unaffected).
inline void advise_huge_pages(void *p, size_t n) noexcept {
#if defined(MADV_HUGEPAGE)
    constexpr uintptr_t kHuge = uintptr_t(2) << 20;
    if (n < 4 * kHuge) return;
    uintptr_t start = (reinterpret_cast<uintptr_t>(p) + kHuge - 1) & ~(kHuge - 1);
    uintptr_t end = (reinterpret_cast<uintptr_t>(p) + n) & ~(kHuge - 1);
    if (end > start) madvise(reinterpret_cast<void *>(start), end - start, MADV_HUGEPAGE);
#else
    (void)p;
    (void)n;
#endif
}

// A new bytes object of its final size, to be filled by a kernel.
inline PyObject *new_bytes(size_t n, uint8_t **data) noexcept {
    if (n > static_cast<size_t>(PY_SSIZE_T_MAX)) {
        PyErr_NoMemory();
        return nullptr;
    }
    PyObject *result = PyBytes_FromStringAndSize(nullptr, static_cast<Py_ssize_t>(n));
    if (result != nullptr) {
        *data = reinterpret_cast<uint8_t *>(PyBytes_AS_STRING(result));
        advise_huge_pages(*data, n);
    }
    return result;
}

// The block of a processor's `process(input)` call: the caller's buffer of interleaved 16-bit
// frames and a new bytes object of the same size for the kernel to fill. start() returns that
// object, or nullptr with the exception set; a buffer that is not whole frames of `channels`
// channels raises ValueError (the view is given back first, so that an exporter's release code
// runs before the error is set). The channel count is passed by reference and read only once the
// view is held: acquiring it can run the exporter's code, which can re-initialise the object.
struct FrameBlock {
    BufferView input;
    uint8_t *out = nullptr;
    size_t frames = 0;

    template <typename Count>
    PyObject *start(PyObject *arg, const Count &channels) noexcept {
        if (!input.acquire(arg, PyBUF_SIMPLE)) return nullptr;
        const size_t frame_bytes = 2 * size_t(channels);
        if (frame_bytes == 0 || input.size() % frame_bytes != 0) {
            input.release();
            // No channels: a record whose __init__ never ran (the entry points check that first).
            return value_error(frame_bytes == 0 ? kNotInitialised
                                                : "input must be whole 16-bit frames for the configured channel count");
        }
        PyObject *result = new_bytes(input.size(), &out);
        if (result != nullptr) frames = input.size() / frame_bytes;
        return result;
    }
    const uint8_t *in() const noexcept { return input.bytes(); }
};

// ---------------------------------------------------------------------------------------------
// Kernels without the GIL

// Work below this many units (about a nanosecond of kernel time each: one sample through a cheap
// kernel) runs with the GIL held. Releasing and re-taking an uncontended GIL costs about 0.1 us,
// and when other threads want it, taking it back can mean waiting for one of them to let go: for
// a few microseconds of work that is no gain, and single-call overhead at small blocks matters
// more. Above it the kernel runs while other threads run Python code or kernels of their own.
inline constexpr size_t kGilReleaseWork = 8192;

// Runs a pure kernel with the GIL released on the ordinary build. The rule for every entry point:
// whatever can run long (a whole buffer through a kernel) goes through this, with a rough count
// of the work it does; inside, the kernel touches no Python object, reference count or Python
// API, and the buffer views it reads and writes stay held (so their exporters stay pinned) until
// after it returns. On the free-threaded build there is no GIL to release and this does nothing.
class GilRelease {
public:
    explicit GilRelease(size_t work) noexcept {
#ifndef Py_GIL_DISABLED
        if (work >= kGilReleaseWork) state_ = PyEval_SaveThread();
#else
        (void)work;
#endif
    }
    ~GilRelease() {
#ifndef Py_GIL_DISABLED
        if (state_ != nullptr) PyEval_RestoreThread(state_);
#endif
    }
    GilRelease(const GilRelease &) = delete;
    GilRelease &operator=(const GilRelease &) = delete;

private:
#ifndef Py_GIL_DISABLED
    PyThreadState *state_ = nullptr;
#endif
};

// without_gil(work, [&] { kernel(...); }): the usual form of the above.
template <typename Kernel>
inline decltype(auto) without_gil(size_t work, Kernel &&kernel) noexcept {
    GilRelease release(work);
    return kernel();
}

// Work estimates: `samples` samples through a kernel costing about `cost` units each, saturating.
inline constexpr size_t kernel_work(size_t samples, size_t cost = 1) noexcept {
    return cost != 0 && samples > SIZE_MAX / cost ? SIZE_MAX : samples * cost;
}
// A plain copy of n bytes: about 0.1 ns a byte.
inline constexpr size_t copy_work(size_t bytes) noexcept { return bytes / 8; }

// ---------------------------------------------------------------------------------------------
// Per-object locking

// The object's critical section for the lifetime of the lock. On the free-threaded build this is
// PyCriticalSection_Begin/End; with the GIL the 3.13 headers leave the section's record
// incomplete, so it compiles to nothing there and ObjectMutex below does the work.
class ObjectLock {
public:
#ifdef Py_GIL_DISABLED
    explicit ObjectLock(PyObject *self) noexcept { PyCriticalSection_Begin(&section_, self); }
    ~ObjectLock() { PyCriticalSection_End(&section_); }
#else
    explicit ObjectLock(PyObject *) noexcept {}
#endif
    ObjectLock(const ObjectLock &) = delete;
    ObjectLock &operator=(const ObjectLock &) = delete;

private:
#ifdef Py_GIL_DISABLED
    PyCriticalSection section_;
#endif
};

// The per-object lock of the ordinary build, the first field after PyObject_HEAD of every record
// whose methods release the GIL: once kernels run without the GIL, the GIL no longer keeps two
// threads out of one object. A waiting thread blocks in PyMutex_Lock, which lets go of the GIL
// while it waits. The lock is re-entrant for its owner thread: argument conversion (__float__,
// __index__, __buffer__) can run Python code that calls into the same object, which must not
// deadlock (a critical section lets such a call in too). owner and depth are read and written
// only with the GIL held, which orders those accesses; the mutex orders everything else. On the
// free-threaded build the record is empty and the critical section does the work.
struct ObjectMutex {
#ifndef Py_GIL_DISABLED
    PyMutex mutex;
    unsigned long owner;
    uint32_t depth;

    void lock() noexcept {
        const unsigned long me = PyThread_get_thread_ident();
        if (depth != 0 && owner == me) {
            ++depth;
            return;
        }
        PyMutex_Lock(&mutex);
        owner = me;
        depth = 1;
    }
    void unlock() noexcept {
        if (--depth == 0) {
            owner = 0;
            PyMutex_Unlock(&mutex);
        }
    }
#endif
};

// Holds an object's ObjectMutex (ordinary build) for its lifetime.
class MutexHold {
public:
#ifndef Py_GIL_DISABLED
    explicit MutexHold(ObjectMutex &m) noexcept : m_(m) { m_.lock(); }
    ~MutexHold() { m_.unlock(); }
#else
    explicit MutexHold(ObjectMutex &) noexcept {}
#endif
    MutexHold(const MutexHold &) = delete;
    MutexHold &operator=(const MutexHold &) = delete;

private:
#ifndef Py_GIL_DISABLED
    ObjectMutex &m_;
#endif
};

namespace detail {

template <typename T>
concept HasReady = requires(T *t) { t->ready; };
template <typename T>
concept HasMutex = requires(T *t) {
    { t->lock } -> std::same_as<ObjectMutex &>;
};
// A type whose calls keep the GIL throughout (VorbisStream, whose decoder calls run Python code)
// says so with `static constexpr bool kKeepsGil = true;` and has no ObjectMutex.
template <typename T>
concept KeepsGil = requires { requires T::kKeepsGil; };

template <typename Sig, Sig F, bool CheckReady>
struct Locked;

// Every entry point has `self` first; the wrapper takes the PyObject *, locks it, optionally checks
// that __init__ succeeded, and hands the implementation its own record type.
template <typename R, typename T, typename... A, R (*F)(T *, A...), bool CheckReady>
struct Locked<R (*)(T *, A...), F, CheckReady> {
    static R call(PyObject *self, A... args) noexcept {
        static_assert(HasMutex<T> != KeepsGil<T>,
                      "a record has an ObjectMutex `lock` field, or declares kKeepsGil");
        ObjectLock lock(self);
        T *object = reinterpret_cast<T *>(self);
        if constexpr (HasMutex<T>) {
            MutexHold hold(object->lock);
            return checked(object, args...);
        } else {
            return checked(object, args...);
        }
    }
    static R checked(T *object, A... args) noexcept {
        if constexpr (CheckReady) {
            static_assert(HasReady<T>, "ready<> needs a `ready` field");
            if (!object->ready) return value_error(kNotInitialised);
        }
        return F(object, args...);
    }
};

}  // namespace detail

// The address of a locked wrapper for F, as the entry point of a method table.
template <auto F>
inline constexpr auto locked = &detail::Locked<decltype(F), F, false>::call;
template <auto F>
inline constexpr auto ready = &detail::Locked<decltype(F), F, true>::call;

// Casts for method tables: PyMethodDef wants PyCFunction whatever the calling convention.
template <typename Fn>
inline PyCFunction as_cfunction(Fn fn) noexcept {
    return reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(fn));
}

// ---------------------------------------------------------------------------------------------
// Owned arrays

struct PyHeap {
    static void *allocate(size_t bytes) noexcept { return PyMem_Calloc(1, bytes ? bytes : 1); }
    static void release(void *p) noexcept { PyMem_Free(p); }
};
struct CHeap {
    static void *allocate(size_t bytes) noexcept { return std::calloc(1, bytes ? bytes : 1); }
    static void release(void *p) noexcept { std::free(p); }
};

// An array inside an object record. Objects are zero-filled by the generic allocator, which is
// this type's empty state, so it is trivial: the owner frees it with reset() at deallocation.
template <typename T, typename Heap = PyHeap>
struct OwnedArray {
    static_assert(std::is_trivially_copyable_v<T>);
    T *data;
    size_t count;

    void reset() noexcept {
        if (data != nullptr) Heap::release(data);
        data = nullptr;
        count = 0;
    }
    T &operator[](size_t i) noexcept { return data[i]; }
    const T &operator[](size_t i) const noexcept { return data[i]; }
    explicit operator bool() const noexcept { return data != nullptr; }
};

// The replacement for an OwnedArray: allocated (zero-filled) before anything in the object
// changes, freed if the configuration is abandoned, moved in by commit().
template <typename T, typename Heap = PyHeap>
class NewArray {
public:
    NewArray() noexcept : array_{nullptr, 0} {}
    ~NewArray() { array_.reset(); }
    NewArray(const NewArray &) = delete;
    NewArray &operator=(const NewArray &) = delete;

    // Zero-filled storage for n elements; false with MemoryError set on failure.
    bool allocate(size_t n) noexcept {
        array_.reset();
        if (n > SIZE_MAX / sizeof(T)) {
            PyErr_NoMemory();
            return false;
        }
        void *p = Heap::allocate(n * sizeof(T));
        if (p == nullptr) {
            PyErr_NoMemory();
            return false;
        }
        array_.data = static_cast<T *>(p);
        array_.count = n;
        return true;
    }
    T *data() noexcept { return array_.data; }
    T &operator[](size_t i) noexcept { return array_.data[i]; }
    size_t count() const noexcept { return array_.count; }

    void commit(OwnedArray<T, Heap> &target) noexcept {
        target.reset();
        target = array_;
        array_ = {nullptr, 0};
    }

private:
    OwnedArray<T, Heap> array_;
};

// ---------------------------------------------------------------------------------------------
// Types

// Creates a heap type from its PyType_Spec with the module as owner.
inline PyObject *create_type(PyObject *module, PyType_Spec *spec) noexcept {
    return PyType_FromModuleAndSpec(module, spec, nullptr);
}

// Deallocation of a type that owns arrays: free_arrays(self) frees them, then the object and the
// reference the instance holds on its heap type go.
template <typename T, void (*FreeArrays)(T *)>
void dealloc_owning(PyObject *self) noexcept {
    PyTypeObject *type = Py_TYPE(self);
    FreeArrays(reinterpret_cast<T *>(self));
    type->tp_free(self);
    Py_DECREF(type);
}

// Clear and deallocation of the two garbage-collected types, which hold a caller's buffer view:
// release(self) gives it back; deallocation first untracks the object.
template <typename T, void (*Release)(T *)>
int clear_tracked(PyObject *self) noexcept {
    Release(reinterpret_cast<T *>(self));
    return 0;
}
template <typename T, void (*Release)(T *)>
void dealloc_tracked(PyObject *self) noexcept {
    PyTypeObject *type = Py_TYPE(self);
    PyObject_GC_UnTrack(self);
    Release(reinterpret_cast<T *>(self));
    type->tp_free(self);
    Py_DECREF(type);
}

// Traverse of the two garbage-collected types: only the type is visited.
inline int traverse_type_only(PyObject *self, visitproc visit, void *arg) noexcept {
    Py_VISIT(Py_TYPE(self));
    return 0;
}

}  // namespace sonolith

// Method-table entries whose implementations run inside the object's critical section.
#define SL_LOCKED(name, fn, flags) \
    {name, ::sonolith::as_cfunction(::sonolith::locked<fn>), flags, nullptr}
#define SL_READY(name, fn, flags) \
    {name, ::sonolith::as_cfunction(::sonolith::ready<fn>), flags, nullptr}
