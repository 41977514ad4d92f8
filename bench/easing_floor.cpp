// _qmeasefloor: the floor of an easing curve's interpolation call.
//
// Lerp(name), Lerp(x1, y1, x2, y2) and the others below are callables of the call shape a glide
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

enum class Kind { shape, bezier, steps, stops, family };

struct Lerp {
    PyObject_HEAD
    vectorcallfunc vectorcall;
    easing::Shape shape;
    easing::Bezier bezier;
    easing::Steps steps;
    std::size_t count;  // linear(): points (at most max_points)
    double in[16], out[16];
    easing::FamilyShape family;
    easing::FamilyParams params;
};
constexpr std::size_t max_points = 16;

inline double clamp(double p) { return p > 0 ? (p < 1 ? p : 1) : 0; }

template <Kind K>
PyObject* lerp_call(PyObject* self, PyObject* const* args, size_t nargsf, PyObject*) {
    if (PyVectorcall_NARGS(nargsf) != 3 || !PyFloat_CheckExact(args[0]) || !PyFloat_CheckExact(args[1]) ||
        !PyFloat_CheckExact(args[2])) {
        PyErr_SetString(PyExc_TypeError, "Lerp(start: float, target: float, progress: float)");
        return nullptr;
    }
    const Lerp* f = reinterpret_cast<const Lerp*>(self);
    double a = PyFloat_AS_DOUBLE(args[0]), b = PyFloat_AS_DOUBLE(args[1]), p = clamp(PyFloat_AS_DOUBLE(args[2]));
    double e;
    if constexpr (K == Kind::shape) e = f->shape(p);
    else if constexpr (K == Kind::bezier) e = easing::bezier_at(f->bezier, p);
    else if constexpr (K == Kind::steps) e = easing::steps_at(f->steps, p);
    else if constexpr (K == Kind::family) e = p > 0 && p < 1 ? f->family(f->params, p) : p;
    else e = easing::stops_at(f->in, f->out, f->count, p);
    return PyFloat_FromDouble(a + (b - a) * e);
}

// Lerp(name) for a named curve, Lerp(x1, y1, x2, y2) for a Bézier,
// Lerp("steps", n, position) with position 0..3 (jump-start, jump-end,
// jump-none, jump-both), Lerp("linear", in0, out0, in1, out1, ...) for
// linear() points already placed, Lerp(family_name, parameters...) for a
// family's curve (Lerp("elastic_out", 1.5, 0.2)).
PyObject* lerp_new(PyTypeObject* t, PyObject* args, PyObject*) {
    Py_ssize_t n = PyTuple_GET_SIZE(args);
    Lerp scratch{};
    Kind kind;
    double x[4] = {};
    const easing::NamedFamily* family = nullptr;
    if (n == 4 && PyFloat_Check(PyTuple_GET_ITEM(args, 0))) {
        if (!PyArg_ParseTuple(args, "dddd", &x[0], &x[1], &x[2], &x[3])) return nullptr;
        kind = Kind::bezier;
    } else {
        const char* name = n ? PyUnicode_AsUTF8(PyTuple_GET_ITEM(args, 0)) : nullptr;
        if (!name) return PyErr_Format(PyExc_TypeError, "Lerp(name, ...)");
        if (std::strcmp(name, "steps") == 0) {
            double count;
            int position;
            if (!PyArg_ParseTuple(args, "sdi", &name, &count, &position)) return nullptr;
            scratch.steps = easing::make_steps(count, static_cast<easing::StepPosition>(position));
            kind = Kind::steps;
        } else if (std::strcmp(name, "linear") == 0 && n > 1) {
            scratch.count = static_cast<std::size_t>((n - 1) / 2);
            if (scratch.count < 2 || scratch.count > max_points) return PyErr_Format(PyExc_ValueError, "2 to 16 points");
            for (std::size_t i = 0; i < scratch.count; ++i) {
                scratch.in[i] = PyFloat_AsDouble(PyTuple_GET_ITEM(args, static_cast<Py_ssize_t>(1 + 2 * i)));
                scratch.out[i] = PyFloat_AsDouble(PyTuple_GET_ITEM(args, static_cast<Py_ssize_t>(2 + 2 * i)));
            }
            if (PyErr_Occurred()) return nullptr;
            kind = Kind::stops;
        } else if (n > 1) {
            if (!PyArg_ParseTuple(args, "sd|d", &name, &x[0], &x[1])) return nullptr;
            for (const easing::NamedFamily& f : easing::named_families)
                if (std::strcmp(f.name, name) == 0) family = &f;
            if (!family) return PyErr_Format(PyExc_ValueError, "no family curve %s", name);
            kind = Kind::family;
        } else {
            kind = Kind::shape;
            for (const easing::NamedShape& s : easing::named_shapes)
                if (std::strcmp(s.name, name) == 0) scratch.shape = s.shape;
            for (const easing::KeywordBezier& k : easing::keyword_beziers)
                if (std::strcmp(k.name, name) == 0) {
                    kind = Kind::bezier;
                    x[0] = k.x1, x[1] = k.y1, x[2] = k.x2, x[3] = k.y2;
                }
            if (std::strcmp(name, "step_start") == 0 || std::strcmp(name, "step_end") == 0) {
                kind = Kind::steps;
                scratch.steps = easing::make_steps(1, name[5] == 's' ? easing::StepPosition::jump_start
                                                                      : easing::StepPosition::jump_end);
            }
            if (kind == Kind::shape && !scratch.shape) return PyErr_Format(PyExc_ValueError, "no curve %s", name);
        }
    }
    PyObject* o = t->tp_alloc(t, 0);
    if (!o) return nullptr;
    Lerp* f = reinterpret_cast<Lerp*>(o);
    f->vectorcall = kind == Kind::shape    ? lerp_call<Kind::shape>
                    : kind == Kind::bezier ? lerp_call<Kind::bezier>
                    : kind == Kind::steps  ? lerp_call<Kind::steps>
                    : kind == Kind::stops  ? lerp_call<Kind::stops>
                                           : lerp_call<Kind::family>;
    f->shape = scratch.shape;
    f->steps = scratch.steps;
    f->count = scratch.count;
    std::memcpy(f->in, scratch.in, sizeof f->in);
    std::memcpy(f->out, scratch.out, sizeof f->out);
    if (family) {
        f->family = easing::make_family(f->params, family->family, family->ease, x[0], x[1]);
        return o;
    }
    easing::make_bezier(f->bezier, x[0], x[1], x[2], x[3]);
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
