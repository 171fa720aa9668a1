// Slot-class access: where the `__slots__` attributes of a package class live inside its
// instances, so cells can be filled without running their constructors. Only plain object slots
// (the kind `__slots__` creates) are accepted; anything else is an error of the caller.
#pragma once

#include "core/error.hpp"
#include "core/ref.hpp"

#include <cstdint>
#include <span>
#include <vector>

namespace qf {

class SlotClass {
public:
    // Describes `cls` for `names`, in that order. TypeError "<name> is not a slot" or
    // "<name> has unexpected slot type"; the AttributeError of a missing name propagates, except
    // for the names from `required` on, which the class may lack (such a slot is never set and
    // reads as unset).
    [[nodiscard]] static XmlResult<SlotClass> make(PyObject* cls, std::span<const char* const> names,
                                                   std::size_t required = SIZE_MAX);
    [[nodiscard]] static XmlResult<SlotClass> make(PyObject* cls, std::initializer_list<const char*> names,
                                                   std::size_t required = SIZE_MAX) {
        return make(cls, std::span<const char* const>(names.begin(), names.size()), required);
    }

    // The same description, with its own reference to the class.
    SlotClass clone() const {
        SlotClass copy;
        copy.cls_ = cls_.clone();
        copy.offsets_ = offsets_;
        return copy;
    }

    PyObject* cls() const noexcept { return cls_.get(); }  // borrowed
    bool describes(PyObject* cls) const noexcept { return cls_.get() == cls; }
    std::span<const std::int32_t> offsets() const noexcept { return offsets_; }

    // Whether the class has slot `index` (an optional name may be missing).
    bool has(std::size_t index) const noexcept { return offsets_[index] >= 0; }
    // Slot `index` (in the order of the names) of `obj`, an instance of the class.
    PyObject** slot(PyObject* obj, std::size_t index) const noexcept {
        return reinterpret_cast<PyObject**>(reinterpret_cast<char*>(obj) + offsets_[index]);
    }
    // The stored object, or null when the attribute is unset or missing (borrowed).
    PyObject* get(PyObject* obj, std::size_t index) const noexcept { return has(index) ? *slot(obj, index) : nullptr; }
    // Stores `value` (may be empty: unsets), releasing the previous reference; nothing for a
    // missing optional slot.
    void set(PyObject* obj, std::size_t index, Ref value) const noexcept {
        if (!has(index)) return;
        PyObject** p = slot(obj, index);
        PyObject* old = *p;
        *p = value.release();
        Py_XDECREF(old);
    }

private:
    Ref cls_;
    std::vector<std::int32_t> offsets_;
};

}  // namespace qf
