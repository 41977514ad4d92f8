// The module's process-wide state, its interned names and its constants.
//
// Every attribute, keyword and global name a module uses is a `Name` declared
// at namespace scope, and every default value a `Constant`.  The declarations
// link themselves into lists, and the execute step makes them all once.
// Interned strings cache their hash in the object, so every later dict lookup
// with them skips hashing.
#pragma once

#include "ref.hpp"

#include <cstddef>
#include <cstdint>

namespace qm {
namespace {

struct Name;
constinit Name* g_names = nullptr;

struct Name {
    explicit Name(const char* text_) noexcept : text(text_), next(g_names) { g_names = this; }
    Name(const Name&) = delete;
    Name& operator=(const Name&) = delete;

    PyObject* get() const noexcept { return str; }

    const char* const text;
    PyObject* str = nullptr;  // interned, held for the life of the process
    Name* const next;
};

// A default value.  None and False exist before any module does; an int or
// str constant is made with the names.
struct Constant;
constinit Constant* g_constants = nullptr;

struct Constant {
    explicit Constant(long value_) noexcept : value(value_), next(g_constants) { g_constants = this; }
    template <std::size_t N>  // a literal, never taken for the int 0
    explicit Constant(const char (&text_)[N]) noexcept : text(text_), next(g_constants) { g_constants = this; }
    struct Fixed {};
    constexpr Constant(Fixed, PyObject* fixed) noexcept : obj(fixed) {}
    Constant(const Constant&) = delete;
    Constant& operator=(const Constant&) = delete;

    PyObject* get() const noexcept { return obj; }

    long value = 0;
    const char* text = nullptr;  // a str constant (interned); null: the int `value`
    PyObject* obj = nullptr;
    Constant* const next = nullptr;
};

Constant k_none{Constant::Fixed{}, Py_None};
Constant k_false{Constant::Fixed{}, Py_False};

struct ModuleDef;

// Process-wide state of this module (one copy per compiled module).
struct ModuleState {
    const ModuleDef* def = nullptr;  // set by the entry point, with what follows from its full name:
    const char* full_name = nullptr;    // "Quillmoor.utils.timers", the def's
    const char* short_name = nullptr;   // "timers"
    char source_file[64] = {};          // "timers.cpp", shown in the "init" traceback entry
    // The full name interned, made once by the first execution: the __module__
    // of every type, function and class the module makes, so that a pickle
    // names the module of a class and of its reconstruction function once.
    PyObject* name = nullptr;
    char function_type[128] = {};    // "Quillmoor.utils.timers.compiled_function", when the type is readied
    std::int64_t interpreter = -1;   // interpreter that first created the module
    PyObject* module = nullptr;      // held module object, once execution has taken it
    PyObject* dict = nullptr;        // its namespace
    PyObject* builtins = nullptr;    // the builtins module
    bool constants_made = false;
};
constinit ModuleState g_state{};

Name n_test{"__test__"};
Name n_doc{"__doc__"};

// Interns every Name and makes every Constant.  Runs once per process; a
// failed attempt is simply repeated by the next execution.
[[nodiscard]] inline bool make_constants() noexcept {
    if (g_state.constants_made) return true;
    for (Name* n = g_names; n; n = n->next) {
        if (n->str) continue;
        PyObject* s = PyUnicode_InternFromString(n->text);
        if (!s) return false;
        if (PyObject_Hash(s) == -1) {  // computed now, cached in the string
            Py_DECREF(s);
            return false;
        }
        n->str = s;
    }
    for (Constant* c = g_constants; c; c = c->next) {
        if (c->obj) continue;
        c->obj = c->text ? PyUnicode_InternFromString(c->text) : PyLong_FromLong(c->value);
        if (!c->obj) return false;
    }
    g_state.constants_made = true;
    return true;
}

// Module-global lookup: the module's namespace, then builtins, then NameError.
// Nothing is cached between calls, so rebinding a module attribute redirects
// every existing object from its next use on.
[[nodiscard]] inline Ref lookup_global(PyObject* name) noexcept {
    // The borrowed value becomes a reference before anything else runs (a
    // key's __eq__ can run only inside the lookup itself).
    PyObject* found = PyDict_GetItemWithError(g_state.dict, name);
    if (found) [[likely]]
        return Ref::incref(found);
    if (PyErr_Occurred()) return Ref();
    int r = PyObject_GetOptionalAttr(g_state.builtins, name, &found);
    if (r > 0) return Ref::steal(found);
    if (r == 0) PyErr_Format(PyExc_NameError, "name '%U' is not defined", name);
    return Ref();
}

[[nodiscard]] inline Ref lookup_global(const Name& name) noexcept { return lookup_global(name.get()); }

}  // namespace
}  // namespace qm
