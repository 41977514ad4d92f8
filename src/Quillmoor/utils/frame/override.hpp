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
#include <utility>

namespace qm {
namespace {

inline bool may_override(PyObject* self) noexcept {
    PyTypeObject* tp = Py_TYPE(self);
    return (tp->tp_flags & (Py_TPFLAGS_HEAPTYPE | Py_TPFLAGS_IS_ABSTRACT)) != 0 || tp->tp_dictoffset != 0;
}

enum class Probe { own, other, error };

// Decides, without binding a method, whether ordinary attribute lookup of
// `name` on `self` would give the class's own built-in `def`.  That lookup
// takes the first hit along the type's MRO; our function objects are not data
// descriptors, so the instance dict comes before them.  Reading those dicts
// directly answers the common case (a subclass that overrides nothing) with
// no allocation.  Everything else is `other`, and the caller does the full
// lookup: a custom __getattribute__ or __getattr__, a type in the MRO whose
// dict is kept elsewhere, another object found first, or the name present in
// the instance dict.
inline Probe probe_own(PyObject* self, PyObject* name, const MethodDef& def) {
    // Every dict lookup below can run Python code (a key's __eq__), which may
    // assign __class__ or __bases__ and so free the type, its MRO or a dict:
    // each is held for as long as it is read.
    Ref type = Ref::incref(reinterpret_cast<PyObject*>(Py_TYPE(self)));
    PyTypeObject* tp = Py_TYPE(self);
    if (tp->tp_getattro != PyObject_GenericGetAttr || !tp->tp_mro) return Probe::other;
    // A type's version tag changes whenever it or a base is modified, and tags
    // are never reused, so a match means the class-level answer still holds.
    unsigned int version = PyUnstable_Type_AssignVersionTag(tp) ? tp->tp_version_tag : 0;
    if (version == 0 || version != def.inherited_by) {
        Ref mro = Ref::incref(tp->tp_mro);
        Ref found;
        for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(mro.get()) && !found; ++i) {
            Ref dict = Ref::steal(PyType_GetDict(reinterpret_cast<PyTypeObject*>(PyTuple_GET_ITEM(mro.get(), i))));
            if (!dict) return PyErr_Occurred() ? Probe::error : Probe::other;
            PyObject* raw = nullptr;
            if (PyDict_GetItemRef(dict.get(), name, &raw) < 0) return Probe::error;
            found = Ref::steal(raw);
        }
        if (!found || !Py_IS_TYPE(found.get(), &g_function_type) ||
            reinterpret_cast<FunctionObject*>(found.get())->def != &def)
            return Probe::other;
        // The walk ran Python code: if that changed the type, the answer is stale.
        if (Py_TYPE(self) != tp || version != tp->tp_version_tag) return Probe::other;
        if (version != 0) def.inherited_by = version;
    }
    if (tp->tp_dictoffset != 0) {
        // Made once per instance if it does not exist yet, then reused.
        Ref dict = Ref::steal(PyObject_GenericGetDict(self, nullptr));
        if (!dict) return Probe::error;
        int has = PyDict_Contains(dict.get(), name);
        if (has != 0) return has < 0 ? Probe::error : Probe::other;
    }
    return Probe::own;
}

// Finds a replacement of `def` on `self`.  Returns false with an exception
// set on failure.  On success `found` holds the replacement to call, or stays
// empty when the built-in must run.
inline bool find_override(PyObject* self, const Name& name, const MethodDef& def, Ref& found) {
    if (!may_override(self)) return true;
    switch (probe_own(self, name.get(), def)) {
        case Probe::own: return true;
        case Probe::error: return false;
        case Probe::other: break;
    }
    Ref attr = Ref::steal(PyObject_GetAttr(self, name.get()));
    if (!attr) return false;
    if (!is_own_function(attr.get(), def)) found = std::move(attr);
    return true;
}

// Looks for a replacement of `def` on `self` and calls it with `args`.
// Returns false with an exception set on failure.  On success `result` holds
// what the replacement returned, or stays empty when the built-in must run.
inline bool call_override(PyObject* self, const Name& name, const MethodDef& def, Ref& result,
                          std::initializer_list<PyObject*> args = {}) {
    Ref found;
    if (!find_override(self, name, def, found)) return false;
    if (!found) return true;
    result = Ref::steal(PyObject_Vectorcall(found.get(), args.begin(), args.size(), nullptr));
    return static_cast<bool>(result);
}

}  // namespace
}  // namespace qm
