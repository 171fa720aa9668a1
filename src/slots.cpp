// Slot-class description (see slots.hpp).
#include "slots.hpp"

#include "core/frame.hpp"

#include <structmember.h>

namespace qf {

XmlResult<SlotClass> SlotClass::make(PyObject* cls, std::span<const char* const> names) {
    Ref types = Ref::steal(PyImport_ImportModule("types"));
    if (!types) return std::unexpected(source_error());
    Ref member_type = Ref::steal(PyObject_GetAttrString(types.get(), "MemberDescriptorType"));
    if (!member_type) return std::unexpected(source_error());

    SlotClass sc;
    sc.offsets_.reserve(names.size());
    for (const char* name : names) {
        Ref attr = Ref::steal(PyObject_GetAttrString(cls, name));
        if (!attr) return std::unexpected(source_error());
        // A property or plain class attribute would be silently bypassed by direct stores.
        if (reinterpret_cast<PyObject*>(Py_TYPE(attr.get())) != member_type.get()) {
            PyErr_Format(PyExc_TypeError, "%s is not a slot", name);
            return std::unexpected(source_error());
        }
        // Only object references that read as unset when empty may be stored into directly;
        // C-level members (ints, chars, ...) of extension types have other layouts.
        const PyMemberDef* member = reinterpret_cast<PyMemberDescrObject*>(attr.get())->d_member;
        if (member->type != Py_T_OBJECT_EX) {
            PyErr_Format(PyExc_TypeError, "%s has unexpected slot type", name);
            return std::unexpected(source_error());
        }
        sc.offsets_.push_back(static_cast<std::int32_t>(member->offset));
    }
    sc.cls_ = Ref::borrow(cls);
    return sc;
}

}  // namespace qf
