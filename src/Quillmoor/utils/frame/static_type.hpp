// The module's static type objects: each declared empty beside its struct,
// then named under the module, filled in and readied once at execution.
// Every kind of type the frame makes goes through here: the function type
// (function.hpp), the classes (classes.hpp) and a type a module makes by
// itself.
#pragma once

#include "state.hpp"

#include <cstdio>
#include <cstring>

namespace qm {
namespace {

// A statically allocated type object: the interpreter's immortal header, every
// slot empty until the type is filled in and readied at execution.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wmissing-field-initializers"
constexpr PyTypeObject static_type_object() { return {PyVarObject_HEAD_INIT(nullptr, 0)}; }
#pragma GCC diagnostic pop

// "<the module's full name>.<name>", the tp_name of one of the module's types,
// written into `out`, which lives as long as the type.
template <std::size_t N>
inline void name_in_module(char (&out)[N], const char* name) noexcept {
    std::snprintf(out, N, "%s.%s", g_state.full_name, name);
}

// The slots of a type whose instances are called through the vectorcall
// pointer each of them holds at `offset`: the fast call, and tp_call for the
// callers that do not use it.
inline void call_by_vectorcall(PyTypeObject& t, Py_ssize_t offset) noexcept {
    t.tp_flags |= Py_TPFLAGS_HAVE_VECTORCALL;
    t.tp_vectorcall_offset = offset;
    t.tp_call = PyVectorcall_Call;
}

// Readies a static type whose slots `fill` declares.  The interpreter does not
// undo a readying that fails half-way: the type keeps its dict, bases and MRO,
// the slots `fill` set (tp_new among them) but not yet the ones it inherits
// (tp_alloc), and the descriptors in its dict are tracked by the collector, so
// gc.get_objects() would reach a class whose constructor runs with no
// allocator, or that a subclass would make the interpreter ready by halves.
// So a failed attempt empties the type object at once, before any Python code
// can run: its dict and the descriptors in it (the only objects that refer to
// it) go with it, and the next attempt starts from scratch.  The last step
// that can fail comes before the type is added to its base's subclasses.
//
// A type documents itself only where it says so: readying stores tp_doc
// without its signature block, which for a type whose tp_doc is just the
// signature is an empty string that instances would find, so that becomes
// None (the documentation of those lives in the stubs).  A __doc__ of the
// type's own (a docstring, or a descriptor giving each instance its own) is
// kept.  That step is repeated by every call, so a retry after its failure
// completes it.
template <class Fill>
[[nodiscard]] inline bool ready_static_type(PyTypeObject& t, Fill fill) {
    if (!(t.tp_flags & Py_TPFLAGS_READY)) {
        fill(t);
        if (PyType_Ready(&t) < 0) {
            Ref leftovers[] = {Ref::steal(t.tp_dict), Ref::steal(t.tp_bases), Ref::steal(t.tp_mro),
                               Ref::steal(static_cast<PyObject*>(t.tp_subclasses))};
            // Every slot after the object header back to zero, as static_type_object()
            // makes them (cleared in place: a copy of the struct would be a memcpy
            // call, which needs a newer glibc than the modules may).
            std::memset(reinterpret_cast<char*>(&t) + sizeof(PyVarObject), 0, sizeof t - sizeof(PyVarObject));
            return false;
        }
    }
    Ref dict = Ref::steal(PyType_GetDict(&t));
    if (!dict) return false;
    PyObject* doc = PyDict_GetItemWithError(dict.get(), n_doc.get());
    if (!doc) return !PyErr_Occurred();
    if (!PyUnicode_CheckExact(doc) || PyUnicode_GET_LENGTH(doc) != 0) return true;
    bool ok = PyDict_SetItem(dict.get(), n_doc.get(), Py_None) == 0;
    PyType_Modified(&t);
    return ok;
}

}  // namespace
}  // namespace qm
