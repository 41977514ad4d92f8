// The module's function objects: the methods placed in class dicts and the
// module-level reconstruction functions.
//
// One static type per module.  A function object carries its name, qualified
// name, module, annotations and the module's namespace (as `__globals__`, so
// that typing.get_type_hints can resolve the annotations' text), and the C
// entry it runs.  It takes weak references, so weakref.WeakMethod works on a
// bound method.  It is a method descriptor for the interpreter (obj.method()
// calls it with the instance in front, without a bound-method object), binds
// like a Python function when fetched from an instance, and lets the override
// rule recognise a class's own built-in by comparing definitions.
#pragma once

#include "args.hpp"
#include "static_type.hpp"

#include <cstddef>
#include <cstdio>
#include <span>

namespace qm {
namespace {

// Same shape as METH_FASTCALL | METH_KEYWORDS, so one entry can also serve a PyMethodDef.
using Entry = PyObject* (*)(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);

struct OverrideState;  // an overridable method's (override.hpp)

struct MethodDef {
    enum Binding : unsigned char {
        method,            // first argument is the instance, checked against the owner type
        variadic_method,   // the same, for methods declared with *args and **kwargs (variadic_names)
        function,          // module-level function, no instance
    };
    const Params& params;  // its name and parameters: messages and the signature derive from them
    Entry entry;
    vectorcallfunc call = nullptr;            // for methods: method_call<entry>; make them with method<>()
    Binding binding = method;
    OverrideState* overridable = nullptr;     // null for a method that is not overridable
    const char* doc = nullptr;                // __doc__; null: None, the documentation is the stub's

    constexpr const char* name() const noexcept { return params.func; }
};

struct FunctionObject {
    PyObject_HEAD
    vectorcallfunc vectorcall;
    const MethodDef* def;
    PyTypeObject* owner;  // for methods: the class whose instances it accepts
    PyObject* name;
    PyObject* qualname;
    PyObject* module;
    PyObject* annotations;  // dict, made when the function is
    PyObject* globals;      // the module's namespace; null only after a GC clear
    PyObject* weakreflist;
};

PyTypeObject g_function_type = static_type_object();

[[gnu::cold]] inline PyObject* no_instance_error(FunctionObject* f) {
    if (f->def->binding == MethodDef::variadic_method)
        PyErr_Format(PyExc_TypeError, "unbound method %.200S() needs an argument", f->qualname);
    else
        PyErr_Format(PyExc_TypeError, "%.200s() %s", f->def->name(), "needs an argument");
    return nullptr;
}

[[gnu::cold]] inline PyObject* wrong_instance_error(FunctionObject* f, PyObject* self) {
    PyErr_Format(PyExc_TypeError, "descriptor '%s' for '%s' objects doesn't apply to a '%.100s' object", f->def->name(),
                 f->owner->tp_name, Py_TYPE(self)->tp_name);
    return nullptr;
}

// A method's vectorcall: the instance comes first and must be one of the
// class's.  One per entry, so that the entry is inlined into the call.
template <Entry E>
PyObject* method_call(PyObject* callable, PyObject* const* args, size_t nargsf, PyObject* kwnames) {
    auto* f = reinterpret_cast<FunctionObject*>(callable);
    Py_ssize_t nargs = PyVectorcall_NARGS(nargsf);
    if (nargs < 1) [[unlikely]]
        return no_instance_error(f);
    PyObject* self = args[0];
    if (!PyObject_TypeCheck(self, f->owner)) [[unlikely]]
        return wrong_instance_error(f, self);
    return E(self, args + 1, nargs - 1, kwnames);
}

// A method definition; the entry is a template argument so that its call is direct.
template <Entry E>
constexpr MethodDef method(const Params& params, MethodDef::Binding binding = MethodDef::method,
                           OverrideState* overridable = nullptr, const char* doc = nullptr) {
    return {params, E, method_call<E>, binding, overridable, doc};
}

// The names a variadic method's signature and annotations give its extras.
constexpr const char* variadic_names[] = {"args", "kwargs"};

inline PyObject* function_vectorcall(PyObject* callable, PyObject* const* args, size_t nargsf, PyObject* kwnames) {
    auto* f = reinterpret_cast<FunctionObject*>(callable);
    return f->def->entry(nullptr, args, PyVectorcall_NARGS(nargsf), kwnames);
}

inline PyObject* function_descr_get(PyObject* self, PyObject* obj, PyObject*) {
    if (obj == nullptr || obj == Py_None) return Py_NewRef(self);
    return PyMethod_New(self, obj);
}

inline int function_traverse(PyObject* self, visitproc visit, void* arg) {
    auto* f = reinterpret_cast<FunctionObject*>(self);
    Py_VISIT(f->annotations);
    Py_VISIT(f->globals);
    return 0;
}

inline int function_clear(PyObject* self) {
    auto* f = reinterpret_cast<FunctionObject*>(self);
    Py_CLEAR(f->annotations);
    Py_CLEAR(f->globals);
    return 0;
}

inline void function_dealloc(PyObject* self) {
    auto* f = reinterpret_cast<FunctionObject*>(self);
    PyObject_GC_UnTrack(self);
    if (f->weakreflist) PyObject_ClearWeakRefs(self);
    Py_CLEAR(f->name);
    Py_CLEAR(f->qualname);
    Py_CLEAR(f->module);
    Py_CLEAR(f->annotations);
    Py_CLEAR(f->globals);
    PyObject_GC_Del(self);
}

inline PyObject* function_get_doc(PyObject* self, void*) {
    const char* doc = reinterpret_cast<FunctionObject*>(self)->def->doc;
    if (!doc) Py_RETURN_NONE;
    return PyUnicode_FromString(doc);
}

inline PyObject* function_get_annotations(PyObject* self, void*) {
    auto* f = reinterpret_cast<FunctionObject*>(self);
    if (!f->annotations) {
        f->annotations = PyDict_New();
        if (!f->annotations) return nullptr;
    }
    return Py_NewRef(f->annotations);
}

// A method's signature as inspect reads it, "($self, a, b=1)" or "($self, /)",
// from its parameter list.
[[nodiscard]] inline bool format_method_signature(const Params& p, char* out, std::size_t size) {
    char params[256];
    if (!format_params(p, params, sizeof params)) return false;
    std::snprintf(out, size, *params ? "($self, %s)" : "($self, /)", params);
    return true;
}

// A callable's signature without an instance, "(a, b=1)", from its
// parameter list: for a function, or any object called as one.
[[nodiscard]] inline PyObject* signature_text(const Params& p) {
    char text[256];
    if (!format_params(p, text, sizeof text)) return nullptr;
    return PyUnicode_FromFormat("(%s)", text);
}

// "($self, a, b=1)" and its variants, from the parameter list.
inline PyObject* function_get_text_signature(PyObject* self, void*) {
    const MethodDef& def = *reinterpret_cast<FunctionObject*>(self)->def;
    if (def.binding == MethodDef::variadic_method)
        return PyUnicode_FromFormat("($self, /, *%s, **%s)", variadic_names[0], variadic_names[1]);
    if (def.binding == MethodDef::function) return signature_text(def.params);
    char text[280];
    if (!format_method_signature(def.params, text, sizeof text)) return nullptr;
    return PyUnicode_FromString(text);
}

inline PyObject* function_repr(PyObject* self) {
    auto* f = reinterpret_cast<FunctionObject*>(self);
    return PyUnicode_FromFormat("<function %U at %p>", f->qualname, self);
}

// Pickled by reference, as module attribute (or class attribute path) of its qualified name.
inline PyObject* function_reduce(PyObject* self, PyObject*) {
    return Py_NewRef(reinterpret_cast<FunctionObject*>(self)->qualname);
}

PyMemberDef g_function_members[] = {
    {"__name__", Py_T_OBJECT_EX, offsetof(FunctionObject, name), Py_READONLY, nullptr},
    {"__qualname__", Py_T_OBJECT_EX, offsetof(FunctionObject, qualname), Py_READONLY, nullptr},
    {"__module__", Py_T_OBJECT_EX, offsetof(FunctionObject, module), Py_READONLY, nullptr},
    {"__globals__", Py_T_OBJECT_EX, offsetof(FunctionObject, globals), Py_READONLY, nullptr},
    {nullptr, 0, 0, 0, nullptr},
};

PyGetSetDef g_function_getset[] = {
    {"__doc__", function_get_doc, nullptr, nullptr, nullptr},
    {"__annotations__", function_get_annotations, nullptr, nullptr, nullptr},
    {"__text_signature__", function_get_text_signature, nullptr, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

// Every protocol reduces the same way; defined here, pickle calls it
// directly instead of object.__reduce_ex__ looking up __reduce__.
inline PyObject* function_reduce_ex(PyObject* self, PyObject*) { return function_reduce(self, nullptr); }

PyMethodDef g_function_methods[] = {
    {"__reduce__", function_reduce, METH_NOARGS, nullptr},
    {"__reduce_ex__", function_reduce_ex, METH_O, nullptr},
    {nullptr, nullptr, 0, nullptr},
};

// Named after the module so that each module's copy is told apart in messages.
[[nodiscard]] inline bool ready_function_type() {
    return ready_static_type(g_function_type, [](PyTypeObject& t) {
        name_in_module(g_state.function_type, "compiled_function");
        t.tp_name = g_state.function_type;
        t.tp_basicsize = sizeof(FunctionObject);
        t.tp_flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC | Py_TPFLAGS_METHOD_DESCRIPTOR;
        call_by_vectorcall(t, offsetof(FunctionObject, vectorcall));
        t.tp_weaklistoffset = offsetof(FunctionObject, weakreflist);
        t.tp_descr_get = function_descr_get;
        t.tp_dealloc = function_dealloc;
        t.tp_traverse = function_traverse;
        t.tp_clear = function_clear;
        t.tp_repr = function_repr;
        t.tp_members = g_function_members;
        t.tp_getset = g_function_getset;
        t.tp_methods = g_function_methods;
    });
}

// __annotations__ as the parameter list states them; the extras a method
// reads itself take any value.
inline Ref make_annotations(const MethodDef& def) {
    Ref annotations = Ref::steal(PyDict_New());
    if (!annotations) return Ref();
    auto add = [&](const char* param, const char* text) {
        Ref value = Ref::steal(PyUnicode_FromString(text));
        return value && PyDict_SetItemString(annotations.get(), param, value.get()) == 0;
    };
    const Params& p = def.params;
    for (Py_ssize_t i = 0; i < p.count; ++i)
        if (p.params[i].annotation && !add(p.params[i].name.text, p.params[i].annotation)) return Ref();
    if (p.star && p.star->annotation && !add(p.star->name.text, p.star->annotation)) return Ref();
    if (p.extra_keywords && !add(p.extra_keywords, any_annotation)) return Ref();
    if (def.binding == MethodDef::variadic_method)
        for (const char* name : variadic_names)
            if (!add(name, any_annotation)) return Ref();
    return annotations;
}

// A new function object.  `owner` is the class for methods, null for module functions.
inline Ref make_function(const MethodDef& def, PyTypeObject* owner, const char* class_name, PyObject* module_name) {
    Ref name = Ref::steal(PyUnicode_InternFromString(def.name()));
    if (!name) return Ref();
    Ref qualname = class_name ? Ref::steal(PyUnicode_FromFormat("%s.%s", class_name, def.name())) : Ref::incref(name.get());
    if (!qualname) return Ref();
    Ref annotations = make_annotations(def);
    if (!annotations) return Ref();
    // The namespace is held by the module state while the module executes,
    // which is when functions are made; a bare dict stands in otherwise.
    Ref globals = g_state.dict ? Ref::incref(g_state.dict) : Ref::steal(PyDict_New());
    if (!globals) return Ref();
    FunctionObject* f = PyObject_GC_New(FunctionObject, &g_function_type);
    if (!f) return Ref();
    f->vectorcall = def.binding == MethodDef::function ? function_vectorcall : def.call;
    f->def = &def;
    f->owner = owner;
    f->name = name.release();
    f->qualname = qualname.release();
    f->module = Py_NewRef(module_name);
    f->annotations = annotations.release();
    f->globals = globals.release();
    f->weakreflist = nullptr;
    PyObject_GC_Track(f);
    return Ref::steal(reinterpret_cast<PyObject*>(f));
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
        ok = f && PyDict_SetItem(dict.get(), reinterpret_cast<FunctionObject*>(f.get())->name, f.get()) == 0;
        if (!ok) break;
    }
    PyType_Modified(&type);
    return ok;
}

}  // namespace
}  // namespace qm
