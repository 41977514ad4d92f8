// The extension types: their traits and the generic slots every type shares,
// derived from one declaration per class (ClassDef), and their readying.
//
// A class supplies its instance struct, its member table (members.hpp), its
// own slots and methods.  Allocation, deallocation, GC traversal and
// clearing, and the slots through which the pickled form (pickle.hpp) is
// reached come from here.
#pragma once

#include "args.hpp"
#include "convert.hpp"
#include "function.hpp"
#include "members.hpp"
#include "override.hpp"
#include "pickle.hpp"
#include "static_type.hpp"

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <span>

namespace qm {
namespace {

struct ClassDef {
    PyTypeObject& type;  // declared beside the instance struct, so the class's code can test for it

    // traits
    const char* name;  // the class's name in its module
    Py_ssize_t basicsize;
    Py_ssize_t weaklist_offset = 0;  // 0: no weak references
    Py_ssize_t table_offset = 0;     // where instances keep their OverrideTable; 0: none

    // Pickled members, in state order (names sorted: pickled_members() checks
    // that as it compiles).  The three checksums follow from the member names
    // (tests/support.py, expected_checksums, says how); pickles carry the
    // first, and any of the three is accepted.  They are stored in existing
    // pickles: never recompute them for a changed layout without a new class.
    // An object member makes the class take part in cyclic garbage collection.
    std::span<const Member> members;
    std::int32_t checksums[3];

    // the class's own slots and methods (the pickling methods are added here)
    const Params& init_params;  // the constructor's, for its signature
    initproc init = nullptr;
    PyGetSetDef* getset = nullptr;
    void (*extra_slots)(PyTypeObject&) = nullptr;
    std::span<const MethodDef* const> methods;  // class_methods(): the class dict's order and the table's

    // derived when the class is readied
    char type_name[128] = {};                     // "<module>.Name"
    char signature[160] = {};                     // "Name(params)\n--\n\n", the type's doc
    char unpickle_text[80] = {};                  // "__pyx_unpickle_Name"
    Params unpickle_params{unpickle_text, reconstruct_params};
    PyObject* unpickle_name = nullptr;            // interned, for the module-global lookup
    PyObject* checksum = nullptr;                 // checksums[0] as the int that pickles carry
    TableSlots table = {};
    PyMethodDef pickle_methods[3] = {};
    const MethodDef* pickle_defs[3] = {};         // __reduce_cython__, __setstate_cython__, the reconstruction
    bool ready = false;
};

// An instance as its struct, and back.
template <class T>
inline T* as(PyObject* o) noexcept {
    return reinterpret_cast<T*>(o);
}
template <class T>
inline PyObject* py(T* o) noexcept {
    return reinterpret_cast<PyObject*>(o);
}

// The static type object of an instance struct, named beside the struct:
//     template <> PyTypeObject* const type_of<Mean> = &mean_type;
template <class T>
PyTypeObject* const type_of = nullptr;

// An instance of the extension type itself, not of a subclass.  Its static,
// immutable type cannot have had a method or property replaced and gives it no
// instance dict, so the class's own code may run its own implementations
// directly where the result is the same.
template <class T>
inline bool plain(T* o) noexcept {
    return Py_IS_TYPE(py(o), type_of<T>);
}

// ---- generic slots -------------------------------------------------------

template <ClassDef& C>
struct ClassSlots {
    static PyObject* tp_new(PyTypeObject* t, PyObject*, PyObject*) {
        if (t->tp_flags & Py_TPFLAGS_IS_ABSTRACT) {
            // object.__new__ raises the interpreter's error for abstract classes.
            Ref empty = Ref::steal(PyTuple_New(0));
            if (!empty) return nullptr;
            return PyBaseObject_Type.tp_new(t, empty.get(), nullptr);
        }
        PyObject* o = t->tp_alloc(t, 0);
        if (!o) return nullptr;
        if (C.table_offset) field<OverrideTable>(o, C.table_offset) = C.table;
        for (const Member& m : C.members)
            if (holds_object(m)) field<PyObject*>(o, m.offset) = Py_NewRef(Py_None);
        return o;
    }

    // Our types have no finaliser; a subclass's __del__ has already run in
    // the interpreter's deallocation of subclass instances.
    static void dealloc(PyObject* o) {
        PyTypeObject* t = Py_TYPE(o);
        if (collects_cycles(C.members)) PyObject_GC_UnTrack(o);
        if (C.weaklist_offset && field<PyObject*>(o, C.weaklist_offset)) PyObject_ClearWeakRefs(o);
        for (const Member& m : C.members)
            if (holds_object(m)) Py_CLEAR(field<PyObject*>(o, m.offset));
        t->tp_free(o);
    }

    static int traverse(PyObject* o, visitproc visit, void* arg) {
        for (const Member& m : C.members)
            if (m.kind == MemberKind::object) Py_VISIT(field<PyObject*>(o, m.offset));
        return 0;
    }

    // Cleared members become None, not null, so a cleared object stays usable.
    static int clear(PyObject* o) {
        for (const Member& m : C.members)
            if (m.kind == MemberKind::object) replace_member(field<PyObject*>(o, m.offset), Py_None);
        return 0;
    }

    static PyObject* reduce(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
        if (!parse_args(reduce_params, args, nargs, kwnames, nullptr)) return nullptr;
        return pickle_reduce(self, C.type, C.members, C.unpickle_name, C.checksum);
    }

    static PyObject* setstate(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
        return pickle_setstate(self, C.members, args, nargs, kwnames);
    }

    static PyObject* reconstruct(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
        return pickle_reconstruct(C.type, C.unpickle_params, C.members, C.checksums, args, nargs, kwnames);
    }

    static inline const MethodDef reduce_def = method<reduce>(reduce_params);
    static inline const MethodDef setstate_def = method<setstate>(setstate_params);
    static inline const MethodDef reconstruct_def{C.unpickle_params, reconstruct, nullptr, MethodDef::function};

    static void install(ClassDef& c) {
        PyTypeObject& t = c.type;
        t.tp_new = tp_new;
        t.tp_dealloc = dealloc;
        if (collects_cycles(c.members)) {
            t.tp_traverse = traverse;
            t.tp_clear = clear;
        }
        // Readying makes method descriptors of these; the body later adds
        // function objects of the same names (see setup_pickling).
        auto fast = METH_FASTCALL | METH_KEYWORDS;
        c.pickle_methods[0] = {reduce_params.func, reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(reduce)),
                               fast, g_pickle_docs[0]};
        c.pickle_methods[1] = {setstate_params.func,
                               reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(setstate)), fast,
                               g_pickle_docs[1]};
        t.tp_methods = c.pickle_methods;
        c.pickle_defs[0] = &reduce_def;
        c.pickle_defs[1] = &setstate_def;
        c.pickle_defs[2] = &reconstruct_def;
    }
};

// An entry of a module's class list: the class with its generic slots.
struct ClassEntry {
    ClassDef* def;
    void (*install)(ClassDef&);
};

template <ClassDef& C>
constexpr ClassEntry class_entry{&C, ClassSlots<C>::install};

// ---- readying --------------------------------------------------------------

// What follows from the declaration before readying: the type's name, the
// constructor's signature, the reconstruction function's name and the table
// of overridable methods.
[[nodiscard]] inline bool derive_from_declaration(ClassDef& c) {
    if (!make_pickle_docs()) return false;
    name_in_module(c.type_name, c.name);
    char params[128];
    if (!format_params(c.init_params, params, sizeof params)) return false;
    std::snprintf(c.signature, sizeof c.signature, "%s(%s)\n--\n\n", c.name, params);
    std::snprintf(c.unpickle_text, sizeof c.unpickle_text, "__pyx_unpickle_%s", c.name);
    if (!c.unpickle_name) {
        c.unpickle_name = PyUnicode_InternFromString(c.unpickle_text);
        if (!c.unpickle_name) return false;
    }
    if (!c.checksum) {
        c.checksum = PyLong_FromLong(c.checksums[0]);
        if (!c.checksum) return false;
    }
    return fill_override_table(c.table, c.methods);
}

// What readying adds to the class dict: the table capsule and the pickling
// entries.  Every step may be repeated, so a retry after any failure
// completes them.
[[nodiscard]] inline bool fill_class_dict(ClassDef& c) {
    PyTypeObject& t = c.type;
    Ref dict = Ref::steal(PyType_GetDict(&t));
    if (!dict) return false;
    bool ok = [&] {
        if (c.table_offset && !publish_override_table(c.table, dict.get())) return false;
        return setup_pickling(c.type_name, dict.get());
    }();
    PyType_Modified(&t);
    return ok;
}

// Readies a type once per process: what the declaration implies, the
// interpreter's readying, then the class dict's own entries.
[[nodiscard]] inline bool ready_class(const ClassEntry& entry) {
    ClassDef& c = *entry.def;
    if (c.ready) return true;
    if (!(c.type.tp_flags & Py_TPFLAGS_READY) && !derive_from_declaration(c)) return false;
    bool readied = ready_static_type(c.type, [&](PyTypeObject& t) {
        t.tp_name = c.type_name;
        t.tp_basicsize = c.basicsize;
        t.tp_flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_BASETYPE | Py_TPFLAGS_IMMUTABLETYPE | (collects_cycles(c.members) ? Py_TPFLAGS_HAVE_GC : 0);
        t.tp_weaklistoffset = c.weaklist_offset;
        t.tp_init = c.init;
        t.tp_getset = c.getset;
        // The signature alone: inspect.signature(cls) shows the constructor's
        // parameters while __doc__ stays None.
        t.tp_doc = c.signature;
        entry.install(c);
        if (c.extra_slots) c.extra_slots(t);
    });
    if (!readied || !fill_class_dict(c)) return false;
    c.ready = true;
    return true;
}

// Places the function objects of the class's methods, then of its pickling
// methods, in the class dict.
[[nodiscard]] inline bool add_methods(ClassDef& c) {
    const MethodDef* const pickling[] = {c.pickle_defs[0], c.pickle_defs[1]};
    return add_functions(c.type, c.name, c.methods, g_state.name) &&
           add_functions(c.type, c.name, pickling, g_state.name);
}

}  // namespace
}  // namespace qm
