// Python-level classes that a module body defines, made the way the
// interpreter runs a class statement with an empty body: bases resolved
// through __mro_entries__, the most derived metaclass, its __prepare__, the
// namespace entries the compiler would put there, then the metaclass call.
//
// Included only by the modules that define such a class, so the others do
// not intern these names.
#pragma once

#include "module.hpp"

namespace qm {
namespace {

Name n_mro_entries{"__mro_entries__"};
Name n_prepare{"__prepare__"};
Name n_module_attr{"__module__"};
Name n_qualname{"__qualname__"};
Name n_orig_bases{"__orig_bases__"};

// The bases as the class is built from them: every base that is not a type
// and has __mro_entries__ is replaced by the tuple that method returns.
// `changed` tells whether any replacement happened.
[[nodiscard]] inline Ref resolve_bases(PyObject* bases, bool& changed) {
    changed = false;
    Ref resolved;  // a list, made at the first replacement
    Py_ssize_t n = PyTuple_GET_SIZE(bases);
    for (Py_ssize_t i = 0; i < n; ++i) {
        PyObject* base = PyTuple_GET_ITEM(bases, i);
        PyObject* raw = nullptr;
        if (!PyType_Check(base) && PyObject_GetOptionalAttr(base, n_mro_entries.get(), &raw) < 0) return Ref();
        Ref method = Ref::steal(raw);
        if (!method) {
            if (resolved && PyList_Append(resolved.get(), base) < 0) return Ref();
            continue;
        }
        Ref entries = Ref::steal(PyObject_CallOneArg(method.get(), bases));
        if (!entries) return Ref();
        if (!PyTuple_Check(entries.get())) {
            PyErr_SetString(PyExc_TypeError, "__mro_entries__ must return a tuple");
            return Ref();
        }
        if (!resolved) {
            resolved = Ref::steal(PyTuple_GetSlice(bases, 0, i));
            if (resolved) resolved = Ref::steal(PySequence_List(resolved.get()));
            if (!resolved) return Ref();
        }
        if (PyList_SetSlice(resolved.get(), PY_SSIZE_T_MAX, PY_SSIZE_T_MAX, entries.get()) < 0) return Ref();
        changed = true;
    }
    if (!resolved) return Ref::incref(bases);
    return Ref::steal(PyList_AsTuple(resolved.get()));
}

// The most derived metaclass of the bases (`type` without bases).
[[nodiscard]] inline Ref calculate_metaclass(PyObject* bases) {
    Py_ssize_t n = PyTuple_GET_SIZE(bases);
    PyTypeObject* winner = n ? Py_TYPE(PyTuple_GET_ITEM(bases, 0)) : &PyType_Type;
    for (Py_ssize_t i = 0; i < n; ++i) {
        PyTypeObject* meta = Py_TYPE(PyTuple_GET_ITEM(bases, i));
        if (PyType_IsSubtype(winner, meta)) continue;
        if (PyType_IsSubtype(meta, winner)) {
            winner = meta;
            continue;
        }
        PyErr_SetString(PyExc_TypeError,
                        "metaclass conflict: the metaclass of a derived class must be a (non-strict) subclass of "
                        "the metaclasses of all its bases");
        return Ref();
    }
    return Ref::incref(reinterpret_cast<PyObject*>(winner));
}

// `class <name>(*bases_as_written): pass` at the top level of the module.
[[nodiscard]] inline Ref make_class(const char* class_name, PyObject* bases_as_written) {
    Ref name = Ref::steal(PyUnicode_FromString(class_name));
    if (!name) return Ref();
    bool changed;
    Ref bases = resolve_bases(bases_as_written, changed);
    if (!bases) return Ref();
    Ref meta = calculate_metaclass(bases.get());
    if (!meta) return Ref();
    PyObject* raw = nullptr;
    if (PyObject_GetOptionalAttr(meta.get(), n_prepare.get(), &raw) < 0) return Ref();
    Ref prepare = Ref::steal(raw);
    Ref ns;
    if (prepare) {
        PyObject* args[] = {name.get(), bases.get()};
        ns = Ref::steal(PyObject_Vectorcall(prepare.get(), args, 2, nullptr));
        if (!ns) return Ref();
        if (!PyMapping_Check(ns.get())) {
            PyErr_Format(PyExc_TypeError, "%.200s.__prepare__() must return a mapping, not %.200s",
                         reinterpret_cast<PyTypeObject*>(meta.get())->tp_name, Py_TYPE(ns.get())->tp_name);
            return Ref();
        }
    } else {
        ns = Ref::steal(PyDict_New());
        if (!ns) return Ref();
    }
    if (PyObject_SetItem(ns.get(), n_module_attr.get(), g_state.name) < 0 ||
        PyObject_SetItem(ns.get(), n_qualname.get(), name.get()) < 0)
        return Ref();
    if (changed && PyObject_SetItem(ns.get(), n_orig_bases.get(), bases_as_written) < 0) return Ref();
    PyObject* args[] = {name.get(), bases.get(), ns.get()};
    return Ref::steal(PyObject_Vectorcall(meta.get(), args, 3, nullptr));
}

}  // namespace
}  // namespace qm
