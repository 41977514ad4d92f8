// The module: one description per module, run by the create and execute steps.
//
// Each compiled module includes the frame once, so every module has its own
// process-wide state (state.hpp), its own types and its own function type.
#pragma once

#include "classes.hpp"

#include <frameobject.h>

#include <cstdio>
#include <cstring>
#include <span>

#ifndef QM_BUILT_FOR_MINOR
#define QM_BUILT_FOR_MINOR PY_MINOR_VERSION
#endif

namespace qm {
namespace {

// One statement of the module body, run in order after the types are published.
struct BodyStep {
    enum Statement : unsigned char { import, from_import, methods, custom };
    Statement statement;
    const Name* module = nullptr;        // import / from-import: the module's full name
    const Name* bind_as = nullptr;       // import: the name bound
    const Name* const* names = nullptr;  // from-import: null-terminated
    ClassDef* cls = nullptr;             // methods: the class whose method objects are made
    bool (*run)() = nullptr;             // custom
};

constexpr BodyStep import_step(const Name& module, const Name& as) { return {BodyStep::import, &module, &as}; }
constexpr BodyStep from_import_step(const Name& module, const Name* const* names) {
    return {BodyStep::from_import, &module, nullptr, names};
}
constexpr BodyStep methods_step(ClassDef& c) { return {BodyStep::methods, nullptr, nullptr, nullptr, &c}; }
constexpr BodyStep custom_step(bool (*run)()) { return {BodyStep::custom, nullptr, nullptr, nullptr, nullptr, run}; }

// A module: its full name, its classes in creation order, its body, and its
// docstring (null: None, the documentation is the stub's).
struct ModuleDef {
    const char* full_name;
    std::span<const ClassEntry> classes;
    std::span<const BodyStep> body;
    const char* doc = nullptr;
};

Name n_typing{"typing"};
Name n_t{"t"};

// ---- imports of the module body ------------------------------------------

[[nodiscard]] inline bool bind(PyObject* name, PyObject* value) { return PyDict_SetItem(g_state.dict, name, value) == 0; }
[[nodiscard]] inline bool bind(const Name& name, PyObject* value) { return bind(name.get(), value); }

[[nodiscard]] inline Ref import_module(const Name& name) {
    PyObject* found = PyImport_GetModule(name.get());
    if (found) return Ref::steal(found);
    if (PyErr_Occurred()) return Ref();
    return Ref::steal(PyImport_ImportModuleLevelObject(name.get(), g_state.dict, nullptr, nullptr, 0));
}

// 1 when the module has every name, 0 when one is missing, -1 with an
// exception set when looking failed for another reason than a missing name.
[[nodiscard]] inline int has_all_attributes(PyObject* module, const Name* const* names) {
    for (const Name* const* n = names; *n; ++n) {
        int r = PyObject_HasAttrWithError(module, (*n)->get());
        if (r <= 0) return r;
    }
    return 1;
}

[[nodiscard]] inline bool from_import(const Name& module, const Name* const* names) {
    Ref m = Ref::steal(PyImport_GetModule(module.get()));
    if (!m && PyErr_Occurred()) return false;
    int complete = m ? has_all_attributes(m.get(), names) : 0;
    if (complete < 0) return false;
    if (!complete) {
        Py_ssize_t count = 0;
        while (names[count]) ++count;
        Ref fromlist = Ref::steal(PyTuple_New(count));
        if (!fromlist) return false;
        for (Py_ssize_t i = 0; i < count; ++i) PyTuple_SET_ITEM(fromlist.get(), i, Py_NewRef(names[i]->get()));
        m = Ref::steal(PyImport_ImportModuleLevelObject(module.get(), g_state.dict, nullptr, fromlist.get(), 0));
        if (!m) return false;
    }
    for (const Name* const* n = names; *n; ++n) {
        PyObject* value = nullptr;
        if (PyObject_GetOptionalAttr(m.get(), (*n)->get(), &value) < 0) return false;
        if (!value) {
            // A submodule imported but not yet set as an attribute.
            Ref full = Ref::steal(PyUnicode_FromFormat("%U.%U", module.get(), (*n)->get()));
            if (!full) return false;
            value = PyImport_GetModule(full.get());
            if (!value) {
                if (!PyErr_Occurred()) PyErr_Format(PyExc_ImportError, "cannot import name %S", (*n)->get());
                return false;
            }
        }
        Ref hold = Ref::steal(value);
        if (!bind(**n, value)) return false;
    }
    return true;
}

// ---- create and execute --------------------------------------------------

[[nodiscard]] inline bool copy_import_spec_attribute(PyObject* import_spec, PyObject* dict, const char* from, const char* to, bool skip_none) {
    PyObject* value = nullptr;
    int r = PyObject_GetOptionalAttrString(import_spec, from, &value);
    if (r < 0) return false;
    if (r == 0) return true;
    Ref hold = Ref::steal(value);
    if (skip_none && value == Py_None) return true;
    return PyDict_SetItemString(dict, to, value) == 0;
}

inline PyObject* module_create(PyObject* import_spec, PyModuleDef*) {
    std::int64_t id = PyInterpreterState_GetID(PyInterpreterState_Get());
    if (id == -1) return nullptr;
    if (g_state.interpreter == -1) {
        g_state.interpreter = id;
    } else if (id != g_state.interpreter) {
        PyErr_SetString(PyExc_ImportError,
                        "Interpreter change detected - this module can only be loaded into one interpreter per process.");
        return nullptr;
    }
    if (g_state.module) return Py_NewRef(g_state.module);
    Ref name = Ref::steal(PyObject_GetAttrString(import_spec, "name"));
    if (!name) return nullptr;
    Ref module = Ref::steal(PyModule_NewObject(name.get()));
    if (!module) return nullptr;
    PyObject* dict = PyModule_GetDict(module.get());
    if (!copy_import_spec_attribute(import_spec, dict, "loader", "__loader__", false) ||
        !copy_import_spec_attribute(import_spec, dict, "origin", "__file__", false) ||
        !copy_import_spec_attribute(import_spec, dict, "parent", "__package__", false) ||
        !copy_import_spec_attribute(import_spec, dict, "submodule_search_locations", "__path__", true))
        return nullptr;
    return module.release();
}

// Adds a traceback entry "init <module>" to the pending exception.
[[gnu::cold]] inline void add_init_traceback(const ModuleDef& m, PyObject* globals) {
    PyObject* exc = PyErr_GetRaisedException();
    char func[300];
    std::snprintf(func, sizeof func, "init %s", m.full_name);
    PyCodeObject* code = PyCode_NewEmpty(g_state.source_file, func, 1);
    PyFrameObject* frame = code ? PyFrame_New(PyThreadState_Get(), code, globals, nullptr) : nullptr;
    Py_XDECREF(code);
    if (!frame) {
        // Keep the original error; the extra traceback entry is only a courtesy.
        PyErr_Clear();
        PyErr_SetRaisedException(exc);
        return;
    }
    PyErr_SetRaisedException(exc);
    PyTraceBack_Here(frame);
    Py_DECREF(frame);
}

[[nodiscard]] inline bool check_version(const ModuleDef& m) {
    unsigned long v = Py_Version;
    int major = static_cast<int>((v >> 24) & 0xff), minor = static_cast<int>((v >> 16) & 0xff);
    if (major == PY_MAJOR_VERSION && minor == QM_BUILT_FOR_MINOR) return true;
    char message[200];  // the text is cut to 199 characters
    std::snprintf(message, sizeof message, "compile time Python version %d.%d of module '%.100s' %s runtime version %d.%d",
                  PY_MAJOR_VERSION, QM_BUILT_FOR_MINOR, m.full_name, "does not match", major, minor);
    return PyErr_WarnEx(PyExc_RuntimeWarning, message, 1) == 0;
}

[[nodiscard]] inline bool run_body(const ModuleDef& m) {
    for (const BodyStep& s : m.body) {
        switch (s.statement) {
            case BodyStep::import: {
                Ref mod = import_module(*s.module);
                if (!mod || !bind(*s.bind_as, mod.get())) return false;
                break;
            }
            case BodyStep::from_import:
                if (!from_import(*s.module, s.names)) return false;
                break;
            case BodyStep::methods:
                if (!add_methods(*s.cls)) return false;
                break;
            case BodyStep::custom:
                if (!s.run()) return false;
                break;
        }
    }
    return true;
}

// Everything after the version check; false with an exception set.
[[nodiscard]] inline bool execute_from_constants(const ModuleDef& m, PyObject* module) {
    if (!make_constants()) return false;
    if (!g_state.name) {
        g_state.name = PyUnicode_InternFromString(m.full_name);
        if (!g_state.name) return false;
    }
    if (!ready_function_type()) return false;
    PyObject* modules = PyImport_GetModuleDict();
    int present = PyDict_Contains(modules, g_state.name);
    if (present < 0) return false;
    if (!present && PyDict_SetItem(modules, g_state.name, module) < 0) return false;
    for (const ClassEntry& entry : m.classes) {
        ClassDef& c = *entry.def;
        if (!ready_class(entry)) return false;
        if (PyDict_SetItemString(g_state.dict, c.name, reinterpret_cast<PyObject*>(&c.type)) < 0) return false;
    }
    if (!run_body(m)) return false;
    for (const ClassEntry& entry : m.classes) {
        ClassDef& c = *entry.def;
        Ref f = make_function(*c.pickle_defs[2], nullptr, nullptr, g_state.name);
        if (!f || !bind(c.unpickle_name, f.get())) return false;
    }
    Ref test = Ref::steal(PyDict_New());
    return test && bind(n_test, test.get());
}

inline int module_exec(PyObject* module) {
    const ModuleDef& m = *g_state.def;
    if (g_state.module) {
        if (g_state.module == module) return 0;
        PyErr_Format(PyExc_RuntimeError, "Module '%s' has already been imported. Re-initialisation is not supported.",
                     g_state.short_name);
        return -1;
    }
    g_state.module = Py_NewRef(module);
    Py_XSETREF(g_state.dict, Py_NewRef(PyModule_GetDict(module)));
    bool constants_reached = false;
    bool ok = [&] {
        if (!g_state.builtins) {
            g_state.builtins = PyImport_AddModuleRef("builtins");
            if (!g_state.builtins) return false;
        }
        if (PyObject_SetAttrString(module, "__builtins__", g_state.builtins) < 0) return false;
        if (!check_version(m)) return false;
        constants_reached = true;
        return execute_from_constants(m, module);
    }();
    if (ok) return 0;
    if (constants_reached) add_init_traceback(m, g_state.dict);
    // The next import starts over with a new module object.
    Py_CLEAR(g_state.module);
    return -1;
}

PyModuleDef_Slot g_module_slots[] = {
    {Py_mod_create, reinterpret_cast<void*>(module_create)},
    {Py_mod_exec, reinterpret_cast<void*>(module_exec)},
    {0, nullptr},
};

PyModuleDef g_python_module_def = {PyModuleDef_HEAD_INIT, nullptr, nullptr, 0, nullptr, nullptr, nullptr, nullptr,
                                   nullptr};

inline PyObject* module_init(const ModuleDef& m) {
    g_state.def = &m;
    g_state.full_name = m.full_name;
    const char* dot = std::strrchr(m.full_name, '.');
    g_state.short_name = dot ? dot + 1 : m.full_name;
    std::snprintf(g_state.source_file, sizeof g_state.source_file, "%s.cpp", g_state.short_name);
    g_python_module_def.m_name = g_state.short_name;
    g_python_module_def.m_doc = m.doc;
    g_python_module_def.m_slots = g_module_slots;
    return PyModuleDef_Init(&g_python_module_def);
}

}  // namespace
}  // namespace qm
