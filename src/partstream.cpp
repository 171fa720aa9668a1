// PartStream (see partstream.hpp).
//
// The stream and its producer share one native state, `Shared`, which holds no Python object:
// the producer works on it detached from the interpreter, and holds it alive by itself, so
// that a stream dropped without being closed is freed (and stops its producer) all the same.
// Whoever fills a block takes the decoder (`filling`) and lets the lock go while it works.
#include "partstream.hpp"

#include "core/borrow.hpp"
#include "core/frame.hpp"
#include "inflate/member.hpp"

#include <condition_variable>
#include <deque>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

namespace qf::partstream {
namespace {

using inflate::Block;
using inflate::MemberFault;
using inflate::MemberFaultKind;

// How far a producer may run ahead of the reader: enough to ride out a slow stretch of either,
// little enough that a read-only pass stays in a few MiB.
constexpr std::size_t AHEAD_BLOCKS = 4;

struct Shared {
    explicit Shared(inflate::MemberInfo info) : decoder(info) {}

    std::mutex mutex;
    std::condition_variable changed;     // a block was queued or taken, the end came, or a cancel
    std::deque<std::unique_ptr<Block>> ready;  // filled, in order, not yet read
    std::vector<std::unique_ptr<Block>> spare;
    bool filling = false;                // someone is using the decoder
    bool ended = false;                  // the decoder gave all it will; `failure` says how it ended
    std::optional<MemberFault> failure;
    bool cancelled = false;              // the stream was closed or freed: a producer stops
    bool producing = false;              // a producer runs or ran
    inflate::MemberDecoder decoder;      // only used by the thread that set `filling`
};

// Called with `lock` held and `filling` set: fills one block (the lock let go meanwhile) and
// queues it, or records the end. Runs detached: no Python object may be touched.
void fill_one(Shared& sh, std::unique_lock<std::mutex>& lock) noexcept {
    std::unique_ptr<Block> block;
    if (!sh.spare.empty()) {
        block = std::move(sh.spare.back());
        sh.spare.pop_back();
    }
    lock.unlock();
    if (!block) block = Block::make(sh.decoder.block_capacity());
    std::expected<void, MemberFault> filled =
        block ? sh.decoder.fill(*block) : std::unexpected(MemberFault{MemberFaultKind::Memory});
    lock.lock();
    if (!filled) {
        sh.failure = filled.error();
        sh.ended = true;
    } else {
        if (sh.decoder.done()) sh.ended = true;
        if (block->end > block->begin) sh.ready.push_back(std::move(block));
        else sh.spare.push_back(std::move(block));
    }
    sh.filling = false;
    sh.changed.notify_all();
}

// The next filled block, waiting for a producer or filling it here; null at the end (with
// `failure` set when the member failed). Runs detached.
std::unique_ptr<Block> take_block(Shared& sh, std::optional<MemberFault>& failure) noexcept {
    std::unique_lock lock(sh.mutex);
    for (;;) {
        if (!sh.ready.empty()) {
            std::unique_ptr<Block> block = std::move(sh.ready.front());
            sh.ready.pop_front();
            sh.changed.notify_all();  // room for the producer
            return block;
        }
        if (sh.ended) {
            failure = sh.failure;
            return nullptr;
        }
        if (!sh.filling) {
            sh.filling = true;
            fill_one(sh, lock);
            continue;
        }
        sh.changed.wait(lock);
    }
}

void give_back(Shared& sh, std::unique_ptr<Block> block) noexcept {
    if (!block) return;
    std::lock_guard lock(sh.mutex);
    if (sh.spare.size() < 2) sh.spare.push_back(std::move(block));
}

void cancel(Shared& sh) noexcept {
    std::lock_guard lock(sh.mutex);
    sh.cancelled = true;
    sh.changed.notify_all();
}

// ---- PartStream ---------------------------------------------------------------------------

struct Reading {
    std::shared_ptr<Shared> shared;
    std::unique_ptr<Block> current;  // the block being read
    std::size_t pos = 0;             // its next unread byte
    bool closed = false;
    Ref name;      // the member's name, for messages
    Ref bad_crc;   // raised for a cut stream, a size or CRC-32 that does not match
    Ref bad_data;  // raised for data that is no deflate stream
};

struct PartStreamObject {
    PyObject_HEAD
    BorrowFlag borrow;
    Reading* reading;
};

PartStreamObject* as_stream(PyObject* self) noexcept { return reinterpret_cast<PartStreamObject*>(self); }

PyObject* stream_type_obj = nullptr;
PyMutex stream_type_mutex;

void raise_failure(const Reading& r, const MemberFault& f) noexcept {
    if (!r.name || !r.bad_crc || !r.bad_data) {
        // Cleared by the collector: only a finaliser in its cycle can read it now.
        PyErr_SetString(PyExc_ValueError, "I/O operation on closed file.");
        return;
    }
    switch (f.kind) {
        case MemberFaultKind::Data:
            // The words of zlib's own error, as Python's zlib module raises it.
            PyErr_Format(r.bad_data.get(), "Error -3 while decompressing data: %s", f.text);
            return;
        case MemberFaultKind::Check:
            PyErr_Format(r.bad_crc.get(), "Bad CRC-32 for file %R", r.name.get());
            return;
        case MemberFaultKind::TooLarge:
            // zipfile stops at the declared size and then fails the CRC: the same words, so that
            // both paths refuse such a part alike.
            PyErr_Format(r.bad_crc.get(), "Bad CRC-32 for file %R", r.name.get());
            return;
        case MemberFaultKind::Input:
            if (f.code) {
                errno = f.code;
                PyErr_SetFromErrno(PyExc_OSError);
            } else {
                PyErr_SetString(PyExc_EOFError, "Compressed file ended before the end-of-stream marker was reached");
            }
            return;
        case MemberFaultKind::Memory:
            PyErr_NoMemory();
            return;
    }
}

bool check_open(const Reading& r) noexcept {
    if (!r.closed) return true;
    PyErr_SetString(PyExc_ValueError, "I/O operation on closed file.");
    return false;
}

// Moves to the next block (the current one goes back to the pool). False with an exception set
// on failure; at the end `current` is null.
bool advance(Reading& r) noexcept {
    Shared& sh = *r.shared;
    give_back(sh, std::move(r.current));
    std::optional<MemberFault> failure;
    std::unique_ptr<Block> next;
    Py_BEGIN_ALLOW_THREADS
    next = take_block(sh, failure);
    Py_END_ALLOW_THREADS
    r.current = std::move(next);
    if (r.current) {
        r.pos = r.current->begin;
        return true;
    }
    if (failure) {
        raise_failure(r, *failure);
        return false;
    }
    return true;
}

// The unread bytes of the current block, up to `limit`, moving to the next block when it has
// none; empty at the end. Null data with an exception set on failure.
bool next_run(Reading& r, std::size_t limit, std::string_view& run) noexcept {
    if (!r.current || r.pos == r.current->end) {
        if (!advance(r)) return false;
        if (!r.current) {
            run = {};
            return true;
        }
    }
    const std::size_t n = std::min(limit, r.current->end - r.pos);
    run = std::string_view(reinterpret_cast<const char*>(r.current->data.get()) + r.pos, n);
    r.pos += n;
    return true;
}

void close_reading(Reading& r) noexcept {
    if (r.closed) return;
    r.closed = true;
    give_back(*r.shared, std::move(r.current));
    cancel(*r.shared);
}

PyObject* PartStream_read(PyObject* self, PyObject* const* args, Py_ssize_t nargs) noexcept {
    return guard([&]() -> PyObject* {
        if (nargs > 1) {
            PyErr_Format(PyExc_TypeError, "read() takes at most 1 argument (%zd given)", nargs);
            return nullptr;
        }
        Py_ssize_t size = -1;
        if (nargs == 1 && args[0] != Py_None) {
            size = PyNumber_AsSsize_t(args[0], PyExc_OverflowError);
            if (size == -1 && PyErr_Occurred()) return nullptr;
        }
        PartStreamObject* s = as_stream(self);
        auto borrow = Borrow::exclusive(s->borrow);
        if (!borrow) return nullptr;
        Reading& r = *s->reading;
        if (!check_open(r)) return nullptr;
        std::string_view run;
        if (size >= 0) {
            if (size == 0) return PyBytes_FromStringAndSize(nullptr, 0);
            if (!next_run(r, static_cast<std::size_t>(size), run)) return nullptr;
            return PyBytes_FromStringAndSize(run.data(), static_cast<Py_ssize_t>(run.size()));
        }
        std::string all;
        for (;;) {
            if (!next_run(r, SIZE_MAX, run)) return nullptr;
            if (run.empty()) break;
            all.append(run);
        }
        return PyBytes_FromStringAndSize(all.data(), static_cast<Py_ssize_t>(all.size()));
    });
}

PyObject* PartStream_close(PyObject* self, PyObject*) noexcept {
    PartStreamObject* s = as_stream(self);
    auto borrow = Borrow::exclusive(s->borrow);
    if (!borrow) return nullptr;
    close_reading(*s->reading);
    Py_RETURN_NONE;
}

PyObject* PartStream_enter(PyObject* self, PyObject*) noexcept {
    PartStreamObject* s = as_stream(self);
    auto borrow = Borrow::shared(s->borrow);
    if (!borrow) return nullptr;
    if (!check_open(*s->reading)) return nullptr;
    return Py_NewRef(self);
}

PyObject* PartStream_exit(PyObject* self, PyObject* const*, Py_ssize_t) noexcept { return PartStream_close(self, nullptr); }

PyObject* PartStream_true(PyObject*, PyObject*) noexcept { Py_RETURN_TRUE; }
PyObject* PartStream_false(PyObject*, PyObject*) noexcept { Py_RETURN_FALSE; }

PyObject* PartStream_get_closed(PyObject* self, void*) noexcept {
    PartStreamObject* s = as_stream(self);
    auto borrow = Borrow::shared(s->borrow);
    if (!borrow) return nullptr;
    return PyBool_FromLong(s->reading->closed);
}

PyObject* producer_new(const std::shared_ptr<Shared>& shared) noexcept;

PyObject* PartStream_producer(PyObject* self, PyObject*) noexcept {
    return guard([&]() -> PyObject* {
        PartStreamObject* s = as_stream(self);
        auto borrow = Borrow::shared(s->borrow);
        if (!borrow) return nullptr;
        if (!check_open(*s->reading)) return nullptr;
        return producer_new(s->reading->shared);
    });
}

int PartStream_traverse(PyObject* self, visitproc visit, void* arg) noexcept {
    Py_VISIT(Py_TYPE(self));
    if (const Reading* r = as_stream(self)->reading) {
        Py_VISIT(r->name.get());
        Py_VISIT(r->bad_crc.get());
        Py_VISIT(r->bad_data.get());
    }
    return 0;
}

int PartStream_clear(PyObject* self) noexcept {
    if (Reading* r = as_stream(self)->reading) {
        r->name.reset();
        r->bad_crc.reset();
        r->bad_data.reset();
    }
    return 0;
}

void PartStream_dealloc(PyObject* self) noexcept {
    PyTypeObject* tp = Py_TYPE(self);
    PyObject_GC_UnTrack(self);
    PartStream_clear(self);
    PartStreamObject* s = as_stream(self);
    if (Reading* r = std::exchange(s->reading, nullptr)) {
        close_reading(*r);
        delete r;
    }
    s->borrow.~BorrowFlag();
    tp->tp_free(self);
    Py_DECREF(tp);
}

bool arg_u64(const char* arg, PyObject* obj, std::uint64_t& out) noexcept {
    const unsigned long long v = PyLong_AsUnsignedLongLong(obj);
    if (v == static_cast<unsigned long long>(-1) && PyErr_Occurred()) {
        PyErr_Format(PyExc_ValueError, "PartStream() argument '%s' must be a non-negative int", arg);
        return false;
    }
    out = v;
    return true;
}

bool require_exception_type(const char* arg, PyObject* obj) noexcept {
    if (PyExceptionClass_Check(obj)) return true;
    PyErr_Format(PyExc_TypeError, "PartStream() argument '%s' must be an exception class, not %T", arg, obj);
    return false;
}

PyObject* PartStream_new(PyTypeObject* type, PyObject* args, PyObject* kwds) noexcept {
    return guard([&]() -> PyObject* {
        static const char* kwlist[] = {"fd", "offset", "compressed_size", "size", "crc", "deflated",
                                       "name", "bad_crc", "bad_data", nullptr};
        int fd = -1, deflated = 1;
        PyObject *offset, *compressed, *size, *crc, *name, *bad_crc, *bad_data;
        if (!PyArg_ParseTupleAndKeywords(args, kwds, "iOOOOpUOO:PartStream", const_cast<char**>(kwlist), &fd, &offset,
                                         &compressed, &size, &crc, &deflated, &name, &bad_crc, &bad_data))
            return nullptr;
        inflate::MemberInfo info;
        std::uint64_t crc64 = 0;
        if (!arg_u64("offset", offset, info.offset) || !arg_u64("compressed_size", compressed, info.compressed_size) ||
            !arg_u64("size", size, info.size) || !arg_u64("crc", crc, crc64))
            return nullptr;
        if (crc64 > 0xFFFFFFFFu) {
            PyErr_SetString(PyExc_ValueError, "PartStream() argument 'crc' must fit 32 bits");
            return nullptr;
        }
        if (fd < 0) {
            PyErr_SetString(PyExc_ValueError, "PartStream() argument 'fd' must be an open file descriptor");
            return nullptr;
        }
        if (!require_exception_type("bad_crc", bad_crc) || !require_exception_type("bad_data", bad_data)) return nullptr;
        info.crc = static_cast<std::uint32_t>(crc64);
        info.deflated = deflated != 0;
        Ref self = Ref::steal(type->tp_alloc(type, 0));
        if (!self) return nullptr;
        PartStreamObject* s = as_stream(self.get());
        new (&s->borrow) BorrowFlag();
        s->reading = nullptr;
        auto reading = std::make_unique<Reading>();
        reading->name = Ref::borrow(name);
        reading->bad_crc = Ref::borrow(bad_crc);
        reading->bad_data = Ref::borrow(bad_data);
        // From here the descriptor is the stream's: closed with the decoder.
        info.fd = fd;
        reading->shared = std::make_shared<Shared>(info);
        s->reading = reading.release();
        return self.release();
    });
}

PyMethodDef PartStream_methods[] = {
    {"read", as_cfunc(PartStream_read), METH_FASTCALL,
     "read($self, size=-1, /)\n--\n\nUp to `size` bytes of the part (all the rest when negative); b'' at the end."},
    {"close", PartStream_close, METH_NOARGS, "close($self, /)\n--\n\nCloses the stream; a producer stops."},
    {"readable", PartStream_true, METH_NOARGS, "readable($self, /)\n--\n\nTrue."},
    {"seekable", PartStream_false, METH_NOARGS, "seekable($self, /)\n--\n\nFalse."},
    {"producer", PartStream_producer, METH_NOARGS,
     "producer($self, /)\n--\n\nA callable that fills the part's blocks ahead of the reads, detached from the\n"
     "interpreter, until the part ends or the stream is closed; for the caller to run on a thread."},
    {"__enter__", PartStream_enter, METH_NOARGS, nullptr},
    {"__exit__", as_cfunc(PartStream_exit), METH_FASTCALL, nullptr},
    {nullptr, nullptr, 0, nullptr},
};

PyGetSetDef PartStream_getset[] = {
    {"closed", PartStream_get_closed, nullptr, "Whether the stream is closed.", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyType_Slot PartStream_slots[] = {
    {Py_tp_new, reinterpret_cast<void*>(PartStream_new)},
    {Py_tp_dealloc, reinterpret_cast<void*>(PartStream_dealloc)},
    {Py_tp_traverse, reinterpret_cast<void*>(PartStream_traverse)},
    {Py_tp_clear, reinterpret_cast<void*>(PartStream_clear)},
    {Py_tp_methods, PartStream_methods},
    {Py_tp_getset, PartStream_getset},
    {Py_tp_doc, const_cast<char*>(
        "PartStream(fd, offset, compressed_size, size, crc, deflated, name, bad_crc, bad_data)\n--\n\n"
        "The bytes of a zip member read from the descriptor `fd` (owned by the stream from then on),\n"
        "inflated and checked against `size` and `crc`.")},
    {0, nullptr},
};

PyType_Spec PartStream_spec = {
    .name = "_quillfen.PartStream",
    .basicsize = sizeof(PartStreamObject),
    .itemsize = 0,
    .flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC | Py_TPFLAGS_IMMUTABLETYPE,
    .slots = PartStream_slots,
};

// ---- The producer -------------------------------------------------------------------------

struct ProducerObject {
    PyObject_HEAD
    std::shared_ptr<Shared>* shared;
};

PyObject* producer_type_obj = nullptr;
PyMutex producer_type_mutex;

// Fills blocks until the member ends, the stream is closed, or it is AHEAD_BLOCKS ahead (then it
// waits for the reader). Runs detached.
void produce(Shared& sh) noexcept {
    std::unique_lock lock(sh.mutex);
    if (sh.producing) return;
    sh.producing = true;
    for (;;) {
        if (sh.cancelled || sh.ended) return;
        if (sh.filling || sh.ready.size() >= AHEAD_BLOCKS) {
            sh.changed.wait(lock);
            continue;
        }
        sh.filling = true;
        fill_one(sh, lock);
    }
}

PyObject* Producer_call(PyObject* self, PyObject* args, PyObject* kwds) noexcept {
    if (PyTuple_GET_SIZE(args) != 0 || (kwds && PyDict_GET_SIZE(kwds) != 0)) {
        PyErr_SetString(PyExc_TypeError, "the producer takes no arguments");
        return nullptr;
    }
    std::shared_ptr<Shared> shared = *reinterpret_cast<ProducerObject*>(self)->shared;
    Py_BEGIN_ALLOW_THREADS
    produce(*shared);
    Py_END_ALLOW_THREADS
    Py_RETURN_NONE;
}

void Producer_dealloc(PyObject* self) noexcept {
    PyTypeObject* tp = Py_TYPE(self);
    delete std::exchange(reinterpret_cast<ProducerObject*>(self)->shared, nullptr);
    tp->tp_free(self);
    Py_DECREF(tp);
}

PyType_Slot Producer_slots[] = {
    {Py_tp_call, reinterpret_cast<void*>(Producer_call)},
    {Py_tp_dealloc, reinterpret_cast<void*>(Producer_dealloc)},
    {Py_tp_doc, const_cast<char*>("Fills a PartStream's blocks ahead of its reads when called.")},
    {0, nullptr},
};

PyType_Spec Producer_spec = {
    .name = "_quillfen.PartStreamProducer",
    .basicsize = sizeof(ProducerObject),
    .itemsize = 0,
    .flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_IMMUTABLETYPE | Py_TPFLAGS_DISALLOW_INSTANTIATION,
    .slots = Producer_slots,
};

PyObject* producer_new(const std::shared_ptr<Shared>& shared) noexcept {
    PyObject* type = type_once(producer_type_mutex, producer_type_obj, Producer_spec);
    if (!type) return nullptr;
    auto* tp = reinterpret_cast<PyTypeObject*>(type);
    PyObject* self = tp->tp_alloc(tp, 0);
    if (!self) return nullptr;
    reinterpret_cast<ProducerObject*>(self)->shared = new (std::nothrow) std::shared_ptr<Shared>(shared);
    if (!reinterpret_cast<ProducerObject*>(self)->shared) {
        Py_DECREF(self);
        return PyErr_NoMemory();
    }
    return self;
}

// ---- Native reading -----------------------------------------------------------------------

class StreamSource final : public xml::ByteSource {
public:
    explicit StreamSource(PyObject* stream) : stream_(Ref::borrow(stream)) {}

    XmlResult<std::string_view> read() override {
        PartStreamObject* s = as_stream(stream_.get());
        auto borrow = Borrow::exclusive(s->borrow);
        if (!borrow) return std::unexpected(source_error());
        Reading& r = *s->reading;
        std::string_view run;
        if (!check_open(r) || !next_run(r, SIZE_MAX, run)) return std::unexpected(source_error());
        // The view stays good until the next read: the block is the stream's current one.
        return run;
    }

private:
    Ref stream_;
};

}  // namespace

PyObject* part_stream_type() noexcept { return type_once(stream_type_mutex, stream_type_obj, PartStream_spec); }

std::unique_ptr<xml::ByteSource> native_source(PyObject* stream) {
    PyObject* type = part_stream_type();
    if (!type) {
        PyErr_Clear();  // then it cannot be one: read through Python
        return nullptr;
    }
    if (Py_TYPE(stream) != reinterpret_cast<PyTypeObject*>(type)) return nullptr;
    return std::make_unique<StreamSource>(stream);
}

}  // namespace qf::partstream
