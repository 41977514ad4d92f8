// The extension types: their traits, the generic slots every type shares, and
// the pickled form, all derived from one declaration per class (ClassDef).
//
// A class supplies its instance struct, its member table (the pickled members
// in state order), its own slots and methods.  Allocation, deallocation, GC
// traversal and clearing, __reduce__, __setstate__ and the reconstruction
// function come from here.
#pragma once

#include "args.hpp"
#include "convert.hpp"
#include "function.hpp"
#include "override.hpp"

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <span>

namespace qm {
namespace {

enum class MemberKind : unsigned char {
    int32,         // C int, pickled as int
    float32,       // C float, pickled as float
    object,        // any object; traversed and cleared by the GC
    bool_or_none,  // exactly bool or None; never traversed (it can't be part of a cycle)
};

struct Member {
    const char* name;
    MemberKind kind;
    std::size_t offset;
};

// The published table of overridable methods: their entries (override.hpp's
// slot) in the order of the class's method list.  Instances point at it, and
// the class dict holds it in a capsule for other compiled code.
using OverrideTable = const AnyFunction*;
constexpr std::size_t max_overridables = 8;

constexpr Param reconstruct_params[] = {{n_pyx_type}, {n_pyx_checksum}, {n_pyx_state}};

struct ClassDef {
    PyTypeObject& type;  // declared beside the instance struct, so the class's code can test for it

    // traits
    const char* dotted_name;
    Py_ssize_t basicsize;
    Py_ssize_t weaklist_offset = 0;  // 0: no weak references
    Py_ssize_t table_offset = 0;     // where instances keep their OverrideTable; 0: none

    // Pickled members, in state order (names sorted: pickled_members() checks
    // that as it compiles).  The checksums are the first seven hex digits of
    // the SHA-256, SHA-1 and MD5 digests of the sorted member names joined by
    // single spaces; pickles carry the first, and any of the three is
    // accepted.  They are stored in existing pickles: never recompute them for
    // a changed layout without a new class.  An object member makes the class
    // take part in cyclic garbage collection.
    std::span<const Member> members;
    std::int32_t checksums[3];

    // the class's own slots and methods (the pickling methods are added here)
    const Params& init_params;  // the constructor's, for its signature
    initproc init = nullptr;
    PyGetSetDef* getset = nullptr;
    void (*extra_slots)(PyTypeObject&) = nullptr;
    std::span<const MethodDef* const> methods;

    // derived when the class is readied
    const char* class_name = nullptr;             // the last part of dotted_name
    char signature[160] = {};                     // "Name(params)\n--\n\n", the type's doc
    char unpickle_text[80] = {};                  // "__pyx_unpickle_Name"
    Params unpickle_params{unpickle_text, reconstruct_params};
    PyObject* unpickle_name = nullptr;            // interned, for the module-global lookup
    PyObject* checksum = nullptr;                 // checksums[0] as the int that pickles carry
    AnyFunction table[max_overridables] = {};
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

template <class T>
inline T& field(PyObject* o, std::size_t offset) noexcept {
    return *reinterpret_cast<T*>(reinterpret_cast<char*>(o) + offset);
}

inline bool holds_object(const Member& m) noexcept { return m.kind == MemberKind::object || m.kind == MemberKind::bool_or_none; }

// Whether instances can be part of a reference cycle: a member that holds any
// object (a bool-or-None member cannot).
constexpr bool collects_cycles(std::span<const Member> members) noexcept {
    for (const Member& m : members)
        if (m.kind == MemberKind::object) return true;
    return false;
}

constexpr bool name_before(const char* a, const char* b) noexcept {
    while (*a && *a == *b) ++a, ++b;
    return static_cast<unsigned char>(*a) < static_cast<unsigned char>(*b);
}

// Called where a member table is not in state order: not a constant
// expression, so the table's class fails to compile.
inline void member_names_must_be_sorted() noexcept {}

// A class's member table, checked as it compiles to be in state order (the
// names sorted), which the pickled form and the checksums rely on.
template <std::size_t N>
consteval std::span<const Member> pickled_members(const Member (&members)[N]) {
    for (std::size_t i = 1; i < N; ++i)
        if (!name_before(members[i - 1].name, members[i].name)) member_names_must_be_sorted();
    return members;
}

// ---- pickling ------------------------------------------------------------

[[nodiscard]] inline PyObject* member_value(PyObject* o, const Member& m) noexcept {
    switch (m.kind) {
        case MemberKind::int32: return PyLong_FromLong(field<std::int32_t>(o, m.offset));
        case MemberKind::float32: return float_result(field<float>(o, m.offset));
        default: return Py_NewRef(field<PyObject*>(o, m.offset));
    }
}

inline bool has_object_members(PyObject* o, const ClassDef& c) noexcept {
    for (const Member& m : c.members)
        if (holds_object(m) && field<PyObject*>(o, m.offset) != Py_None) return true;
    return false;
}

[[nodiscard]] inline PyObject* pickle_reduce(PyObject* self, const ClassDef& c) {
    Py_ssize_t count = static_cast<Py_ssize_t>(c.members.size());
    Ref state = Ref::steal(PyTuple_New(count));
    if (!state) return nullptr;
    for (Py_ssize_t i = 0; i < count; ++i) {
        PyObject* v = member_value(self, c.members.data()[i]);
        if (!v) return nullptr;
        PyTuple_SET_ITEM(state.get(), i, v);
    }
    // A plain instance has no __dict__: its type is static, immutable and has
    // no instance dicts.  Anything else is asked.
    PyObject* raw_dict = nullptr;
    if (!Py_IS_TYPE(self, &c.type) && PyObject_GetOptionalAttr(self, n_dict.get(), &raw_dict) < 0) return nullptr;
    Ref dict = Ref::steal(raw_dict);
    bool use_setstate = false;
    if (dict && dict.get() != Py_None) {
        bool nonempty;
        if (!to_truth(dict.get(), nonempty)) return nullptr;
        if (nonempty) {
            Ref extra = Ref::steal(PyTuple_Pack(1, dict.get()));
            if (!extra) return nullptr;
            state = Ref::steal(PySequence_Concat(state.get(), extra.get()));
            if (!state) return nullptr;
            use_setstate = true;
        }
    }
    if (!use_setstate) use_setstate = has_object_members(self, c);
    Ref func = lookup_global(c.unpickle_name);
    if (!func) return nullptr;
    Ref checksum = Ref::incref(c.checksum);
    PyObject* cls = reinterpret_cast<PyObject*>(Py_TYPE(self));
    if (use_setstate) {
        Ref args = Ref::steal(PyTuple_Pack(3, cls, checksum.get(), Py_None));
        if (!args) return nullptr;
        return PyTuple_Pack(3, func.get(), args.get(), state.get());
    }
    Ref args = Ref::steal(PyTuple_Pack(3, cls, checksum.get(), state.get()));
    if (!args) return nullptr;
    return PyTuple_Pack(2, func.get(), args.get());
}

// Writes the members back one by one.  A failure leaves the members before it
// replaced and the rest untouched.  `state` is kept alive by the caller.
[[nodiscard]] inline bool set_state(PyObject* self, const ClassDef& c, PyObject* state) {
    Py_ssize_t size = PyTuple_GET_SIZE(state), count = static_cast<Py_ssize_t>(c.members.size());
    for (Py_ssize_t i = 0; i < count; ++i) {
        if (i >= size) {
            PyErr_SetString(PyExc_IndexError, "tuple index out of range");
            return false;
        }
        PyObject* item = PyTuple_GET_ITEM(state, i);
        const Member& m = c.members.data()[i];  // data(): no checked indexing in debug builds
        switch (m.kind) {
            case MemberKind::int32: {
                std::int32_t v;
                if (!to_int32(item, v)) return false;
                field<std::int32_t>(self, m.offset) = v;
                break;
            }
            case MemberKind::float32: {
                float v;
                if (!to_float32(item, v)) return false;
                field<float>(self, m.offset) = v;
                break;
            }
            case MemberKind::bool_or_none:
                if (!check_exact_value(item, &PyBool_Type, true)) return false;
                [[fallthrough]];
            case MemberKind::object: replace_member(field<PyObject*>(self, m.offset), item); break;
        }
    }
    if (size <= count) return true;
    PyObject* extra = PyTuple_GET_ITEM(state, count);
    int present = PyObject_IsTrue(extra);
    if (present <= 0) return present == 0;
    Ref dict = Ref::steal(PyObject_GenericGetDict(self, nullptr));
    if (!dict) return false;
    if (PyDict_CheckExact(dict.get())) return PyDict_Update(dict.get(), extra) == 0;
    Ref r = Ref::steal(PyObject_CallMethodOneArg(dict.get(), n_update.get(), extra));
    return static_cast<bool>(r);
}

constexpr Param setstate_params_list[] = {{n_pyx_state}};
const Params setstate_params{"__setstate_cython__", setstate_params_list};
const Params reduce_params{"__reduce_cython__"};

[[nodiscard]] inline PyObject* pickle_setstate(PyObject* self, const ClassDef& c, PyObject* const* args,
                                               Py_ssize_t nargs, PyObject* kwnames) {
    PyObject* state;
    if (!parse_args(setstate_params, args, nargs, kwnames, &state)) return nullptr;
    if (state == Py_None) {
        PyErr_SetString(PyExc_TypeError, "cannot pass None into a C function argument that is declared 'not None'");
        return nullptr;
    }
    if (!check_exact_value(state, &PyTuple_Type, false)) return nullptr;
    if (!set_state(self, c, state)) return nullptr;
    Py_RETURN_NONE;
}

[[gnu::cold]] inline void checksum_error(const ClassDef& c, std::int32_t checksum) {
    Ref pickle = Ref::steal(PyImport_Import(n_pickle.get()));
    if (!pickle) return;
    Ref error = Ref::steal(PyObject_GetAttr(pickle.get(), n_PickleError.get()));
    if (!error) return;
    // As Python's own raise statement answers a raise of a non-exception.
    if (!PyExceptionClass_Check(error.get())) {
        PyErr_SetString(PyExc_TypeError, "exceptions must derive from BaseException");
        return;
    }
    // The member names as the message lists them: "_count, _sum".
    Ref names = Ref::steal(PyUnicode_FromString(""));
    for (const Member& m : c.members) {
        if (!names) return;
        names = Ref::steal(PyUnicode_FromFormat(PyUnicode_GET_LENGTH(names.get()) ? "%U, %s" : "%U%s",
                                                names.get(), m.name));
    }
    if (!names) return;
    PyErr_Format(error.get(), "Incompatible checksums (0x%x vs (0x%x, 0x%x, 0x%x) = (%U))",
                 static_cast<unsigned>(checksum), static_cast<unsigned>(c.checksums[0]),
                 static_cast<unsigned>(c.checksums[1]), static_cast<unsigned>(c.checksums[2]), names.get());
}

[[nodiscard]] inline PyObject* pickle_reconstruct(const ClassDef& c, PyObject* const* args, Py_ssize_t nargs,
                                                  PyObject* kwnames) {
    PyObject* a[3];
    if (!parse_args(c.unpickle_params, args, nargs, kwnames, a)) return nullptr;
    PyObject* state = a[2];
    std::int32_t checksum;
    if (!to_int32(a[1], checksum)) return nullptr;
    if (state != Py_None && !check_exact_param(state, &PyTuple_Type, "__pyx_state", false)) return nullptr;
    if (checksum != c.checksums[0] && checksum != c.checksums[1] && checksum != c.checksums[2]) {
        checksum_error(c, checksum);
        return nullptr;
    }
    Ref obj;
    if (a[0] == reinterpret_cast<PyObject*>(&c.type)) {
        // What c.type.__new__(c.type) does, without the bound method and its call.
        obj = Ref::steal(c.type.tp_new(&c.type, nullptr, nullptr));
    } else {
        Ref make = Ref::steal(PyObject_GetAttr(reinterpret_cast<PyObject*>(&c.type), n_new.get()));
        if (!make) return nullptr;
        obj = Ref::steal(PyObject_CallOneArg(make.get(), a[0]));
    }
    if (!obj) return nullptr;
    if (state != Py_None && !set_state(obj.get(), c, state)) return nullptr;
    return obj.release();
}

// The docs of the pickling methods' descriptors, "name($self, ...)\n--\n\n",
// from their parameter lists: the same for every class, made once.
char g_pickle_docs[2][96] = {};

[[nodiscard]] inline bool make_pickle_docs() {
    const Params* params[] = {&reduce_params, &setstate_params};
    for (int i = 0; i < 2; ++i) {
        char signature[80];
        if (!format_method_signature(*params[i], signature, sizeof signature)) return false;
        std::snprintf(g_pickle_docs[i], sizeof g_pickle_docs[i], "%s%s\n--\n\n", params[i]->func, signature);
    }
    return true;
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
        return pickle_reduce(self, C);
    }

    static PyObject* setstate(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
        return pickle_setstate(self, C, args, nargs, kwnames);
    }

    static PyObject* reconstruct(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
        return pickle_reconstruct(C, args, nargs, kwnames);
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

// What follows from the declaration before readying: the class name, the
// constructor's signature, the reconstruction function's name, the table of
// overridable methods and the interned method names.
[[nodiscard]] inline bool derive_from_declaration(ClassDef& c) {
    if (!make_pickle_docs()) return false;
    const char* dot = std::strrchr(c.dotted_name, '.');
    c.class_name = dot ? dot + 1 : c.dotted_name;
    char params[128];
    if (!format_params(c.init_params, params, sizeof params)) return false;
    std::snprintf(c.signature, sizeof c.signature, "%s(%s)\n--\n\n", c.class_name, params);
    std::snprintf(c.unpickle_text, sizeof c.unpickle_text, "__pyx_unpickle_%s", c.class_name);
    if (!c.unpickle_name) {
        c.unpickle_name = PyUnicode_InternFromString(c.unpickle_text);
        if (!c.unpickle_name) return false;
    }
    if (!c.checksum) {
        c.checksum = PyLong_FromLong(c.checksums[0]);
        if (!c.checksum) return false;
    }
    std::size_t slots = 0;
    for (const MethodDef* m : c.methods) {
        if (m->slot) {
            if (slots == max_overridables) {
                PyErr_Format(PyExc_SystemError, "%s: more than %zu overridable methods", c.dotted_name,
                             max_overridables);
                return false;
            }
            c.table[slots++] = m->slot;
        }
        // The override rule looks methods up by name as soon as instances exist.
        if (!intern_name(*m)) return false;
    }
    return true;
}

// Reduce set-up: the class dict's __reduce__ and __setstate__ become the
// method descriptors made from pickle_methods, under their own names.  Each
// move is complete or not begun, so a set-up that failed half-way is finished
// by the next attempt.
[[nodiscard]] inline bool setup_pickling(ClassDef& c, PyObject* dict) {
    const std::pair<const Name*, const Name*> moves[] = {{&n_reduce_cython, &n_reduce},
                                                         {&n_setstate_cython, &n_setstate}};
    for (auto [from, to] : moves) {
        PyObject* raw = nullptr;
        int r = PyDict_GetItemRef(dict, from->get(), &raw);
        if (r < 0) return false;
        Ref descr = Ref::steal(raw);
        if (r == 0) {
            // Moved by an earlier attempt, or never made.
            int moved = PyDict_Contains(dict, to->get());
            if (moved < 0) return false;
            if (moved) continue;
            PyErr_Format(PyExc_RuntimeError, "Unable to initialize pickling for %.200s", c.dotted_name);
            return false;
        }
        if (PyDict_SetItem(dict, to->get(), descr.get()) < 0) return false;
        if (PyDict_DelItem(dict, from->get()) < 0) return false;
    }
    return true;
}

// What readying adds to the class dict: __doc__ None (readying stores the
// doc without its signature block, an empty string, where instances would
// find it), the table capsule and the pickling entries.  Every step may be
// repeated, so a retry after any failure completes them.
[[nodiscard]] inline bool fill_class_dict(ClassDef& c) {
    PyTypeObject& t = c.type;
    Ref dict = Ref::steal(PyType_GetDict(&t));
    if (!dict) return false;
    bool ok = [&] {
        if (PyDict_SetItem(dict.get(), n_doc.get(), Py_None) < 0) return false;
        if (c.table_offset) {
            Ref capsule = Ref::steal(PyCapsule_New(static_cast<void*>(c.table), nullptr, nullptr));
            if (!capsule || PyDict_SetItem(dict.get(), n_pyx_vtable.get(), capsule.get()) < 0) return false;
        }
        return setup_pickling(c, dict.get());
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
        t.tp_name = c.dotted_name;
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

// Places a function object for each of `methods` in the dict of `type`, a
// readied static type whose instances they take.
[[nodiscard]] inline bool add_functions(PyTypeObject& type, const char* class_name,
                                        std::span<const MethodDef* const> methods, PyObject* module_name) {
    Ref dict = Ref::steal(PyType_GetDict(&type));
    if (!dict) return false;
    bool ok = true;
    for (const MethodDef* m : methods) {
        Ref f = make_function(*m, &type, class_name, module_name);
        ok = f && PyDict_SetItem(dict.get(), m->interned_name, f.get()) == 0;
        if (!ok) break;
    }
    PyType_Modified(&type);
    return ok;
}

// Places the function objects of the class's methods, then of its pickling
// methods, in the class dict.
[[nodiscard]] inline bool add_methods(ClassDef& c, PyObject* module_name) {
    const MethodDef* const pickling[] = {c.pickle_defs[0], c.pickle_defs[1]};
    return add_functions(c.type, c.class_name, c.methods, module_name) &&
           add_functions(c.type, c.class_name, pickling, module_name);
}

}  // namespace
}  // namespace qm
