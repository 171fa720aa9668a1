// Slot-class description (see slots.hpp).
#include "slots.hpp"

#include "core/frame.hpp"

#include <structmember.h>

namespace qf {

XmlResult<SlotClass> SlotClass::make(PyObject* cls, std::span<const char* const> names, std::size_t required) {
    Ref types = Ref::steal(PyImport_ImportModule("types"));
    if (!types) return std::unexpected(source_error());
    Ref member_type = Ref::steal(PyObject_GetAttrString(types.get(), "MemberDescriptorType"));
    if (!member_type) return std::unexpected(source_error());

    SlotClass sc;
    sc.offsets_.reserve(names.size());
    for (std::size_t i = 0; i < names.size(); ++i) {
        const char* name = names[i];
        PyObject* found = nullptr;
        const int rc = i < required ? ((found = PyObject_GetAttrString(cls, name)) ? 1 : -1)
                                    : PyObject_GetOptionalAttrString(cls, name, &found);
        Ref attr = Ref::steal(found);
        if (rc < 0) return std::unexpected(source_error());
        if (!attr) {
            sc.offsets_.push_back(-1);
            continue;
        }
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
