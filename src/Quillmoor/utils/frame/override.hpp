// The override rule for overridable methods that a class calls on itself.
//
// A call from Python always runs the built-in implementation.  When the
// class's own code calls one of these methods (a property calling its getter,
// extend calling add), a Python subclass's replacement must run instead.  Only
// types that can carry one are looked at: heap types (classes made by Python
// code), abstract types and types with instance dicts.  Instances of the
// extension types themselves never pay for a lookup.
#pragma once

#include "function.hpp"

#include <initializer_list>

namespace qm {
namespace {

inline bool may_override(PyObject* self) noexcept {
    PyTypeObject* tp = Py_TYPE(self);
    return (tp->tp_flags & (Py_TPFLAGS_HEAPTYPE | Py_TPFLAGS_IS_ABSTRACT)) != 0 || tp->tp_dictoffset != 0;
}

// Looks for a replacement of `def` on `self` and calls it with `args`.
// Returns false with an exception set on failure.  On success `result` holds
// what the replacement returned, or stays empty when the built-in must run.
inline bool call_override(PyObject* self, const Name& name, const MethodDef& def, Ref& result,
                          std::initializer_list<PyObject*> args = {}) {
    if (!may_override(self)) return true;
    Ref found = Ref::steal(PyObject_GetAttr(self, name.get()));
    if (!found) return false;
    if (is_own_function(found.get(), def)) return true;
    result = Ref::steal(PyObject_Vectorcall(found.get(), args.begin(), args.size(), nullptr));
    return static_cast<bool>(result);
}

}  // namespace
}  // namespace qm
