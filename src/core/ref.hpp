// Ref: the one owning reference type for Python objects. A raw PyObject* anywhere in the engine
// means borrowed; ownership is only ever held by a Ref, built with Ref::steal or Ref::borrow.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <utility>

namespace qf {

class Ref {
public:
    Ref() = default;
    // Takes over a new reference (may be null, e.g. the result of a failed call).
    static Ref steal(PyObject* obj) noexcept { Ref r; r.obj_ = obj; return r; }
    // Takes a new reference to a borrowed object.
    static Ref borrow(PyObject* obj) noexcept { Ref r; r.obj_ = Py_XNewRef(obj); return r; }

    Ref(Ref&& other) noexcept : obj_(std::exchange(other.obj_, nullptr)) {}
    Ref& operator=(Ref&& other) noexcept {
        if (this != &other) Py_XSETREF(obj_, std::exchange(other.obj_, nullptr));
        return *this;
    }
    Ref(const Ref&) = delete;
    Ref& operator=(const Ref&) = delete;
    ~Ref() { Py_XDECREF(obj_); }

    PyObject* get() const noexcept { return obj_; }
    explicit operator bool() const noexcept { return obj_ != nullptr; }
    // Hands the reference to the caller (who returns it to CPython or stores it).
    [[nodiscard]] PyObject* release() noexcept { return std::exchange(obj_, nullptr); }
    Ref clone() const noexcept { return borrow(obj_); }
    void reset() noexcept { Py_CLEAR(obj_); }

private:
    PyObject* obj_ = nullptr;
};

}  // namespace qf
