// VorbisStream: decodes an Ogg Vorbis stream read through a Python file object into interleaved
// native-endian signed 16-bit PCM. The integer decoder library does the Ogg framing and the
// Vorbis decoding; this source supplies its I/O callbacks (which call the file's read, seek and
// tell), drives its open/read/seek calls, follows chained streams as long as their format stays
// the one met at open, and turns the decoder's status codes into Python exceptions.
//
// The decoder state lives in one block of the C heap (malloc/free). While the decoder runs, the
// callbacks run Python code, which suspends the object's critical section: another thread, or the
// file object's own code, can then enter a method of this stream. The object is marked busy for
// the duration of every call that can run Python code, and such a second entry is refused with
// RuntimeError instead of reaching half-updated decoder state.
#include <tremor/ivorbisfile.h>

#include <cerrno>
#include <climits>

#include "module/module.hpp"

namespace sonolith {
namespace {

struct VorbisStreamObject;

// ---------------------------------------------------------------------------------------------
// Decoder context and callbacks

// The module's I/O adapters onto the owner's file object, in the order read, seek, tell.
struct IoAdapters {
    Py_ssize_t (*read)(VorbisStreamObject *owner, void *destination, Py_ssize_t n);
    int (*seek)(VorbisStreamObject *owner, long long offset, int whence);
    long (*tell)(VorbisStreamObject *owner);
};

// One calloc'ed block handed to the decoder as its data source.
struct DecoderContext {
    OggVorbis_File file;
    const IoAdapters *io;
    VorbisStreamObject *owner;  // not a counted reference: the owner holds the context
    int32_t channels;           // format of the stream at open
    int32_t rate;
    int32_t link;               // the decoder's current link when last checked
    uint8_t format_changed;     // a chained link with another channel count or rate was met

    // What the callbacks know of the file, to catch a file object whose seek, tell or read
    // contradict each other (the decoder would otherwise search for pages forever).
    uint8_t io_failed;          // the file was caught lying during this decoder call
    int64_t position;           // where the file stands, -1 when unknown
    int64_t furthest;           // the furthest byte read so far
    int64_t claimed_end;        // the size the file reported after a seek to its end, or -1
    int64_t last_seek;          // offset of the last absolute seek
    uint32_t seek_repeats;      // consecutive absolute seeks to that same offset
};

// Gives up on a file that contradicts itself: the call fails with OSError, and until it ends
// every read and seek of the decoder fails at once.
void give_up(DecoderContext *context, const char *format, long long a, long long b);

// Forgets the previous call's verdict before each decoder call.
void begin_decoder_call(DecoderContext *context) {
    context->io_failed = 0;
    context->seek_repeats = 0;
}

// More consecutive seeks to the same offset than any page search makes: the decoder is going
// round in circles on data that changes under it.
constexpr uint32_t kMaxSeekRepeats = 256;

size_t read_callback(void *ptr, size_t size, size_t nmemb, void *source) {
    auto *context = static_cast<DecoderContext *>(source);
    size_t unit = size ? size : 1;
    size_t n = (nmemb != 0 && size > SIZE_MAX / nmemb) ? SIZE_MAX : size * nmemb;
    if (n > INT32_MAX) n = INT32_MAX;
    // The decoder clears errno before it reads and takes "0 bytes with errno set" as a read
    // error. Python code run by the adapter may leave errno set on success; keep the caller's.
    int saved_errno = errno;
    if (context->io_failed) {
        errno = EIO;
        return 0;
    }
    Py_ssize_t result = context->io->read(context->owner, ptr, static_cast<Py_ssize_t>(n));
    if (result < 0) {
        errno = EIO;
        return 0;
    }
    if (result == 0 && n > 0 && context->position >= 0 && context->position < context->claimed_end) {
        give_up(context, "the Vorbis file ended at byte %lld, before the size %lld that its tell() "
                "reported", context->position, context->claimed_end);
        errno = EIO;
        return 0;
    }
    if (context->position >= 0) {
        context->position += result;
        if (context->position > context->furthest) context->furthest = context->position;
    }
    errno = saved_errno;
    return static_cast<size_t>(result) / unit;
}

int seek_callback(void *source, ogg_int64_t offset, int whence) {
    auto *context = static_cast<DecoderContext *>(source);
    if (context->io->seek == nullptr || context->io_failed) return -1;
    if (context->io->seek(context->owner, static_cast<long long>(offset), whence) < 0) return -1;
    if (whence == SEEK_SET) {
        context->seek_repeats = offset == context->last_seek ? context->seek_repeats + 1 : 0;
        context->last_seek = offset;
        context->position = offset;
        if (context->seek_repeats > kMaxSeekRepeats) {
            give_up(context, "the Vorbis decoder made no progress: %lld seeks to byte %lld",
                    static_cast<long long>(context->seek_repeats), static_cast<long long>(offset));
            return -1;
        }
    } else if (whence == SEEK_CUR) {
        if (context->position >= 0) context->position += offset;
    } else {
        context->position = -1;  // known again from the next tell
    }
    return 0;
}

int close_callback(void *) { return 0; }  // the decoder never closes the Python file

long tell_callback(void *source) {
    auto *context = static_cast<DecoderContext *>(source);
    if (context->io->tell == nullptr || context->io_failed) return -1;
    long position = context->io->tell(context->owner);
    if (position < 0) return -1;
    if (context->position < 0) {
        // After a seek to the end: the file's size, which can't lie before data already read.
        if (position < context->furthest) {
            give_up(context, "tell() of the Vorbis file reported its end at byte %lld, before "
                    "byte %lld that was already read", position, context->furthest);
            return -1;
        }
        context->claimed_end = position;
        context->position = position;
    }
    return position;
}

const ov_callbacks kCallbacks = {read_callback, seek_callback, close_callback, tell_callback};

// Wrapper error codes and their texts.
enum : int {
    kReadFailed = -1,
    kNotVorbis = -2,
    kBadHeader = -3,
    kBadVersion = -4,
    kNoMemory = -5,
    kNoSeek = -6,
    kInvalid = -7,
    kDecoderFailed = -8,
};

int translate(long code) {
    switch (code) {
    case OV_EREAD: return kReadFailed;
    case OV_FALSE:
    case OV_EOF:
    case OV_ENOTVORBIS:
    case OV_ENOTAUDIO: return kNotVorbis;
    case OV_EBADHEADER:
    case OV_EBADPACKET:
    case OV_EBADLINK: return kBadHeader;
    case OV_EVERSION: return kBadVersion;
    case OV_ENOSEEK: return kNoSeek;
    case OV_EINVAL: return kInvalid;
    default: return kDecoderFailed;
    }
}

const char *error_text(int code) {
    switch (code) {
    case kReadFailed: return "reading the stream failed";
    case kNotVorbis: return "not an Ogg Vorbis stream";
    case kBadHeader: return "the Vorbis headers are damaged";
    case kBadVersion: return "a Vorbis version this decoder can't read";
    case kNoSeek: return "the stream can't seek";
    case kInvalid: return "invalid argument";
    default: return "the Vorbis decoder failed";
    }
}

void free_context(DecoderContext *context) {
    if (context == nullptr) return;
    ov_clear(&context->file);
    std::free(context);
}

// True when the decoder's current link has the format met at open.
bool same_format(DecoderContext *context) {
    vorbis_info *info = ov_info(&context->file, -1);
    return info != nullptr && info->channels == context->channels && info->rate == context->rate;
}

// ---------------------------------------------------------------------------------------------
// The Python type

struct VorbisStreamObject {
    PyObject_HEAD
    // Decoder calls run the file object's Python code and so keep the GIL; the busy flag, not a
    // mutex, keeps a second call out of a decoder call under way.
    static constexpr bool kKeepsGil = true;
    DecoderContext *context;     // null when closed or not opened
    PyObject *file;              // the Python file object
    PyObject *saved_exception;   // the first exception raised by file.read during a decoder call
    int32_t seekable;            // file.seekable() was true at open
    int32_t busy;                // a call that runs Python code (the file's methods) is under way
};

constexpr const char kClosed[] = "the Vorbis stream is closed";
constexpr const char kBusy[] = "the Vorbis stream is in use by another call";

// Marks the stream busy for one call that can run Python code.
class BusyScope {
public:
    explicit BusyScope(VorbisStreamObject *self) noexcept : self_(self) { self_->busy = 1; }
    ~BusyScope() { self_->busy = 0; }
    BusyScope(const BusyScope &) = delete;
    BusyScope &operator=(const BusyScope &) = delete;

private:
    VorbisStreamObject *self_;
};

void save_exception(VorbisStreamObject *owner) {
    PyObject *exception = PyErr_GetRaisedException();
    if (owner->saved_exception == nullptr)
        owner->saved_exception = exception;
    else
        Py_XDECREF(exception);
}

void give_up(DecoderContext *context, const char *format, long long a, long long b) {
    context->io_failed = 1;
    VorbisStreamObject *owner = context->owner;
    if (owner->saved_exception != nullptr) return;
    PyErr_Format(PyExc_OSError, format, a, b);
    owner->saved_exception = PyErr_GetRaisedException();
}

// file.read(n): copies what it returns into the decoder's buffer. A result longer than asked
// for cannot be handed on without losing the surplus, so it counts as a failed read (OSError).
Py_ssize_t io_read(VorbisStreamObject *owner, void *destination, Py_ssize_t n) {
    if (owner->file == nullptr) return 0;
    PyObject *file = Py_NewRef(owner->file);
    PyObject *result = PyObject_CallMethod(file, "read", "n", n);
    Py_DECREF(file);
    if (result == nullptr) {
        save_exception(owner);
        return -1;
    }
    Py_ssize_t count = -1;
    {
        BufferView view;
        if (view.acquire(result, PyBUF_SIMPLE)) {
            if (view.len() <= n) {
                count = view.len();
                if (count > 0) std::memcpy(destination, view.bytes(), static_cast<size_t>(count));
            } else {
                PyErr_Format(PyExc_OSError,
                             "read(%zd) of the Vorbis file returned %zd bytes", n, view.len());
            }
        }
    }
    Py_DECREF(result);
    if (count < 0) save_exception(owner);
    return count;
}

int io_seek(VorbisStreamObject *owner, long long offset, int whence) {
    if (!owner->seekable || owner->file == nullptr) return -1;
    PyObject *file = Py_NewRef(owner->file);
    PyObject *result = PyObject_CallMethod(file, "seek", "Li", offset, whence);
    Py_DECREF(file);
    if (result == nullptr) {
        PyErr_Clear();
        return -1;
    }
    Py_DECREF(result);
    return 0;
}

long io_tell(VorbisStreamObject *owner) {
    if (owner->file == nullptr) return -1;
    PyObject *file = Py_NewRef(owner->file);
    PyObject *result = PyObject_CallMethod(file, "tell", nullptr);
    Py_DECREF(file);
    if (result == nullptr) {
        PyErr_Clear();
        return -1;
    }
    long position = PyLong_AsLong(result);
    Py_DECREF(result);
    if (position == -1 && PyErr_Occurred()) {
        PyErr_Clear();
        return -1;
    }
    return position;
}

const IoAdapters kAdapters = {io_read, io_seek, io_tell};

// Raises the error of a failed call: the file's own exception if one was saved, else the
// decoder's code as MemoryError or RuntimeError "<context>: <text>".
Failure report(VorbisStreamObject *self, int code, const char *context) {
    if (self->saved_exception != nullptr) {
        PyObject *exception = self->saved_exception;
        self->saved_exception = nullptr;
        PyErr_SetRaisedException(exception);
        return failed();
    }
    if (code == kNoMemory) return no_memory();
    PyErr_Format(PyExc_RuntimeError, "%s: %s", context, error_text(code));
    return failed();
}

int init(VorbisStreamObject *self, PyObject *args, PyObject *) {
    PyObject *file;
    if (!PyArg_ParseTuple(args, "O:VorbisStream", &file)) return -1;
    if (self->busy) return runtime_error(kBusy);
    BusyScope busy(self);
    constexpr const char *where = "Failed to parse Vorbis file";

    DecoderContext *old = self->context;
    self->context = nullptr;
    free_context(old);
    Py_XSETREF(self->file, Py_NewRef(file));
    // A file exception left over from an earlier life of the object has nothing to do with this
    // file.
    Py_CLEAR(self->saved_exception);

    PyObject *answer = PyObject_CallMethod(file, "seekable", nullptr);
    int truth = answer ? PyObject_IsTrue(answer) : 0;
    Py_XDECREF(answer);
    if (truth < 0 || answer == nullptr) PyErr_Clear();
    self->seekable = truth > 0 ? 1 : 0;

    auto *context = static_cast<DecoderContext *>(std::calloc(1, sizeof(DecoderContext)));
    if (context == nullptr) return report(self, kNoMemory, where);
    context->io = &kAdapters;
    context->owner = self;
    context->position = 0;  // counts from wherever the file stands: a lower bound for its size
    context->claimed_end = -1;
    context->last_seek = -1;

    begin_decoder_call(context);
    int status = ov_open_callbacks(context, &context->file, nullptr, 0, kCallbacks);
    if (status < 0) {
        std::free(context);  // the decoder has already released its own state
        return report(self, translate(status), where);
    }
    vorbis_info *info = ov_info(&context->file, -1);
    // A read failure that the decoder took for the end of the data still fails the call.
    if (info == nullptr || info->channels < 1 || info->rate < 1 ||
        self->saved_exception != nullptr) {
        free_context(context);
        return report(self, kBadHeader, where);
    }
    context->channels = info->channels;
    context->rate = static_cast<int32_t>(info->rate);
    context->link = context->file.current_link;
    self->context = context;
    return 0;
}

PyObject *info(VorbisStreamObject *self, PyObject *) {
    if (self->busy) return runtime_error(kBusy);
    DecoderContext *context = self->context;
    if (context == nullptr) return value_error(kClosed);
    long long total = -1;
    if (self->seekable) {
        total = ov_pcm_total(&context->file, -1);
        if (total < 0) total = -1;
    }
    return Py_BuildValue("(liL)", static_cast<long>(context->rate), context->channels, total);
}

// Frames of the first block of a read's result; it doubles as the decoding fills it.
constexpr Py_ssize_t kFirstReadFrames = 1 << 16;

PyObject *read(VorbisStreamObject *self, PyObject *args) {
    Py_ssize_t frames;
    if (!PyArg_ParseTuple(args, "n:read", &frames)) return nullptr;
    if (self->busy) return runtime_error(kBusy);
    DecoderContext *context = self->context;
    if (context == nullptr) return value_error(kClosed);
    if (frames < 0) return value_error("frames must be at least 0");

    const Py_ssize_t frame_bytes = Py_ssize_t(context->channels) * 2;
    if (frames > PY_SSIZE_T_MAX / frame_bytes) return no_memory();
    // The result grows with what is decoded, so that a large request on a short stream (read
    // "everything") does not reserve memory for frames the stream doesn't have.
    Py_ssize_t capacity = frames < kFirstReadFrames ? frames : kFirstReadFrames;
    uint8_t *data = nullptr;
    PyObject *result = new_bytes(static_cast<size_t>(capacity * frame_bytes), &data);
    if (result == nullptr || frames == 0) return result;

    BusyScope busy(self);
    begin_decoder_call(context);
    Py_ssize_t done = 0;
    while (done < frames && !context->format_changed) {
        if (done == capacity) {
            capacity = capacity <= frames - capacity ? capacity * 2 : frames;
            if (_PyBytes_Resize(&result, capacity * frame_bytes) < 0) return nullptr;
            data = reinterpret_cast<uint8_t *>(PyBytes_AS_STRING(result));
        }
        Py_ssize_t rest = (capacity - done) * frame_bytes;
        int request = rest < (Py_ssize_t(1) << 31)
                          ? static_cast<int>(rest)
                          : static_cast<int>(INT32_MAX - INT32_MAX % frame_bytes);
        int link = -1;
        long r = ov_read(&context->file, reinterpret_cast<char *>(data + done * frame_bytes),
                         request, &link);
        if (r > 0) {
            if (link != context->link) {
                if (!same_format(context)) {
                    context->format_changed = 1;  // these samples belong to another format
                    break;
                }
                context->link = link;
            }
            done += r / frame_bytes;
        } else if (r == 0) {
            break;
        } else if (r != OV_HOLE) {
            Py_DECREF(result);
            return report(self, translate(r), "Vorbis decoding failed");
        }
    }
    // The decoder takes a failed read of the file for the end of the stream: the file's
    // exception still fails this call rather than passing for a clean end.
    if (self->saved_exception != nullptr) {
        Py_DECREF(result);
        return report(self, kReadFailed, "Vorbis decoding failed");
    }
    if (done < capacity && _PyBytes_Resize(&result, done * frame_bytes) < 0) return nullptr;
    return result;
}

PyObject *seek(VorbisStreamObject *self, PyObject *args) {
    long long frame;
    if (!PyArg_ParseTuple(args, "L:seek", &frame)) return nullptr;
    if (self->busy) return runtime_error(kBusy);
    DecoderContext *context = self->context;
    if (context == nullptr) return value_error(kClosed);
    constexpr const char *where = "Vorbis seek failed";
    if (frame < 0) return report(self, kInvalid, where);
    if (!ov_seekable(&context->file)) return report(self, kNoSeek, where);

    BusyScope busy(self);
    begin_decoder_call(context);
    int status = ov_pcm_seek(&context->file, frame);
    if (status < 0 || self->saved_exception != nullptr)
        return report(self, status < 0 ? translate(status) : kReadFailed, where);
    context->link = context->file.current_link;
    // A link of another format is treated as read treats it: nothing more is returned from it.
    context->format_changed = same_format(context) ? 0 : 1;
    Py_RETURN_NONE;
}

void drop_context_and_file(VorbisStreamObject *self) {
    DecoderContext *context = self->context;
    self->context = nullptr;
    free_context(context);
    Py_CLEAR(self->file);
}

PyObject *close(VorbisStreamObject *self, PyObject *) {
    if (self->busy) return runtime_error(kBusy);
    drop_context_and_file(self);
    Py_RETURN_NONE;
}

void dealloc(PyObject *op) {
    auto *self = reinterpret_cast<VorbisStreamObject *>(op);
    PyTypeObject *type = Py_TYPE(op);
    drop_context_and_file(self);
    Py_CLEAR(self->saved_exception);
    type->tp_free(op);
    Py_DECREF(type);
}

PyMethodDef methods[] = {
    SL_LOCKED("info", info, METH_NOARGS),
    SL_LOCKED("read", read, METH_VARARGS),
    SL_LOCKED("seek", seek, METH_VARARGS),
    SL_LOCKED("close", close, METH_NOARGS),
    {nullptr, nullptr, 0, nullptr},
};

PyType_Slot slots[] = {
    {Py_tp_new, reinterpret_cast<void *>(PyType_GenericNew)},
    {Py_tp_init, reinterpret_cast<void *>(locked<init>)},
    {Py_tp_dealloc, reinterpret_cast<void *>(dealloc)},
    {Py_tp_methods, methods},
    {0, nullptr},
};

}  // namespace

PyType_Spec vorbis_stream_spec = {
    "_sonolith.VorbisStream",
    sizeof(VorbisStreamObject),
    0,
    Py_TPFLAGS_HEAPTYPE,
    slots,
};

}  // namespace sonolith
