// _qmeasefloor: the floor of an easing curve's interpolation call.
//
// Lerp(name) and Lerp(x1, y1, x2, y2) are callables of the call shape a glide
// cell uses, f(start, target, progress), that do only what no implementation
// of that call can avoid: the vectorcall itself, reading three exact floats,
// the curve's own arithmetic (the same code the package compiles, from
// easing_curves.hpp) on the clamped progress, and the result float.  Nothing
// else is checked: any other arguments raise TypeError.

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include "easing_curves.hpp"

#include <cstddef>
#include <cstring>

namespace {

namespace easing = qm::easing;

#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wmissing-field-initializers"
PyTypeObject lerp_type = {PyVarObject_HEAD_INIT(nullptr, 0)};
#pragma GCC diagnostic pop

struct Lerp {
    PyObject_HEAD
    vectorcallfunc vectorcall;
    easing::Shape shape;  // null: the Bézier
    easing::Bezier bezier;
};

inline double clamp(double p) { return p > 0 ? (p < 1 ? p : 1) : 0; }

template <bool IsBezier>
PyObject* lerp_call(PyObject* self, PyObject* const* args, size_t nargsf, PyObject*) {
    if (PyVectorcall_NARGS(nargsf) != 3 || !PyFloat_CheckExact(args[0]) || !PyFloat_CheckExact(args[1]) ||
        !PyFloat_CheckExact(args[2])) {
        PyErr_SetString(PyExc_TypeError, "Lerp(start: float, target: float, progress: float)");
        return nullptr;
    }
    const Lerp* f = reinterpret_cast<const Lerp*>(self);
    double a = PyFloat_AS_DOUBLE(args[0]), b = PyFloat_AS_DOUBLE(args[1]), p = clamp(PyFloat_AS_DOUBLE(args[2]));
    double e = IsBezier ? easing::bezier_at(f->bezier, p) : f->shape(p);
    return PyFloat_FromDouble(a + (b - a) * e);
}

PyObject* lerp_new(PyTypeObject* t, PyObject* args, PyObject*) {
    const char* name = nullptr;
    double x1 = 0, y1 = 0, x2 = 0, y2 = 0;
    bool is_bezier = PyTuple_GET_SIZE(args) == 4;
    if (is_bezier ? !PyArg_ParseTuple(args, "dddd", &x1, &y1, &x2, &y2) : !PyArg_ParseTuple(args, "s", &name))
        return nullptr;
    easing::Shape shape = nullptr;
    if (!is_bezier) {
        for (const easing::NamedShape& s : easing::named_shapes)
            if (std::strcmp(s.name, name) == 0) shape = s.shape;
        if (!shape) return PyErr_Format(PyExc_ValueError, "no curve %s", name);
    }
    PyObject* o = t->tp_alloc(t, 0);
    if (!o) return nullptr;
    Lerp* f = reinterpret_cast<Lerp*>(o);
    f->vectorcall = is_bezier ? lerp_call<true> : lerp_call<false>;
    f->shape = shape;
    easing::make_bezier(f->bezier, x1, y1, x2, y2);
    return o;
}

PyModuleDef_Slot module_slots[] = {
    {Py_mod_exec, reinterpret_cast<void*>(+[](PyObject* m) -> int {
         lerp_type.tp_name = "_qmeasefloor.Lerp";
         lerp_type.tp_basicsize = sizeof(Lerp);
         lerp_type.tp_flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_VECTORCALL;
         lerp_type.tp_vectorcall_offset = offsetof(Lerp, vectorcall);
         lerp_type.tp_call = PyVectorcall_Call;
         lerp_type.tp_new = lerp_new;
         if (PyType_Ready(&lerp_type) < 0) return -1;
         return PyModule_AddObjectRef(m, "Lerp", reinterpret_cast<PyObject*>(&lerp_type));
     })},
    {0, nullptr},
};

PyModuleDef module_def = {
    PyModuleDef_HEAD_INIT, "_qmeasefloor", nullptr, 0, nullptr, module_slots, nullptr, nullptr, nullptr,
};

}  // namespace

PyMODINIT_FUNC PyInit__qmeasefloor() { return PyModuleDef_Init(&module_def); }
