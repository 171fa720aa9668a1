// Error values of the engine: what reading can fail with, carried as values through every
// internal layer and turned into Python exceptions only at the module boundary (frame.hpp).
// Free of Python.h so that byte-level units, their C++ tests and the fuzzers build without it.
#pragma once

#include <cstdint>
#include <expected>
#include <utility>

namespace qf {

// An owned strong reference to a raised Python exception, opaque here. The release hook is
// installed by the extension at import; pure C++ code never holds a non-null one.
class PyExc {
public:
    PyExc() = default;
    static PyExc adopt(void* exception) noexcept { PyExc e; e.obj_ = exception; return e; }
    PyExc(PyExc&& other) noexcept : obj_(std::exchange(other.obj_, nullptr)) {}
    PyExc& operator=(PyExc&& other) noexcept {
        if (this != &other) { reset(); obj_ = std::exchange(other.obj_, nullptr); }
        return *this;
    }
    PyExc(const PyExc&) = delete;
    PyExc& operator=(const PyExc&) = delete;
    ~PyExc() { reset(); }

    void* get() const noexcept { return obj_; }
    void* release() noexcept { return std::exchange(obj_, nullptr); }

    static inline void (*release_hook)(void*) = nullptr;

private:
    void reset() noexcept {
        if (obj_ && release_hook) release_hook(obj_);
        obj_ = nullptr;
    }
    void* obj_ = nullptr;
};

enum class XmlErrorKind : std::uint8_t {
    Malformed,    // not well-formed XML, or breaks a structural rule of the part being read
    Unsupported,  // well-formed, but beyond what the engine reproduces exactly
    Source,       // a Python call failed; `exc` owns the exception
};

struct XmlError {
    XmlErrorKind kind = XmlErrorKind::Malformed;
    const char* text = "";  // fixed message text for Malformed and Unsupported
    PyExc exc;              // Source only
    std::uint64_t offset = 0;  // absolute input offset of the offence (diagnostics and tests)

    static XmlError malformed(const char* text, std::uint64_t offset = 0) {
        return XmlError{XmlErrorKind::Malformed, text, PyExc{}, offset};
    }
    static XmlError unsupported(const char* text, std::uint64_t offset = 0) {
        return XmlError{XmlErrorKind::Unsupported, text, PyExc{}, offset};
    }
    static XmlError source(PyExc exc) {
        return XmlError{XmlErrorKind::Source, "", std::move(exc), 0};
    }
};

template <class T>
using XmlResult = std::expected<T, XmlError>;

}  // namespace qf

// Early return of the error of a result-returning expression (in the spirit of SIMDJSON_TRY).
#define QF_CAT2(a, b) a##b
#define QF_CAT(a, b) QF_CAT2(a, b)
#define QF_TRY(expr)                                                     \
    do {                                                                 \
        auto&& qf_try_result_ = (expr);                                  \
        if (!qf_try_result_) [[unlikely]]                                \
            return std::unexpected(std::move(qf_try_result_.error()));   \
    } while (0)
// `QF_TRY_SET(auto x, f());` declares or assigns `x` from the value of a successful result.
#define QF_TRY_SET(lhs, expr) QF_TRY_SET_IMPL(lhs, expr, QF_CAT(qf_try_r_, __LINE__))
#define QF_TRY_SET_IMPL(lhs, expr, tmp)                          \
    auto&& tmp = (expr);                                         \
    if (!tmp) [[unlikely]]                                       \
        return std::unexpected(std::move(tmp.error()));          \
    lhs = std::move(*tmp)
