// Quillmoor.utils.easing: the standard easing curves as interpolation
// functions a glide cell calls.
//
// Every curve is an immutable Curve object: a named one made once by the
// module body (compared and hashed by identity, pickled by name), or a CSS
// cubic Bézier made by cubic_bezier() (compared, hashed and pickled by its
// four parameters).  Called as curve(start, target, progress) it returns
// start + (target - start) * value, with progress clamped to [0, 1]; exact
// floats and small ints are mixed in C without a Python object in between,
// anything else through the operands' own arithmetic in that order.

#include "easing_curves.hpp"
#include "frame/frame.hpp"

#include <array>
#include <bit>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <iterator>
#include <utility>

namespace qm {
namespace {

Name n_start{"start"};
Name n_target{"target"};
Name n_progress{"progress"};
Name n_x1{"x1"};
Name n_y1{"y1"};
Name n_x2{"x2"};
Name n_y2{"y2"};
Name n_Curve{"Curve"};
Name n_curves{"curves"};
Name n_cubic_bezier{"cubic_bezier"};
Name n_name{"name"};
Name n_x{"x"};
Name n_primitive{"_primitive"};

constexpr Param curve_call_param_list[] = {{n_start}, {n_target}, {n_progress}};

// A curve the module names, and the parameters its calls are parsed against
// (the messages carry its name).
struct NamedCurve {
    const char* name;
    easing::Shape shape;
    Params call;
    constexpr explicit NamedCurve(const easing::NamedShape& s) noexcept
        : name(s.name), shape(s.shape), call(s.name, curve_call_param_list) {}
};

template <std::size_t... I>
constexpr std::array<NamedCurve, sizeof...(I)> make_named_curves(std::index_sequence<I...>) {
    return {NamedCurve{easing::named_shapes[I]}...};
}

constexpr auto named_curves = make_named_curves(std::make_index_sequence<std::size(easing::named_shapes)>());

const Params bezier_call_params{"cubic_bezier", curve_call_param_list};

// The module's full name and "<full name>.Curve", made once per process.
PyObject* g_module_name = nullptr;
char g_curve_type_name[96] = {};

// ===========================================================================
// Curve
// ===========================================================================

struct Curve {
    PyObject_HEAD
    vectorcallfunc vectorcall;
    easing::Shape shape;      // the named curve's arithmetic; null: a cubic Bézier
    const NamedCurve* named;  // null: a cubic Bézier
    const Params* call;       // the call's parameters, named as the curve
    PyObject* name;           // __name__ and __qualname__
    PyObject* module;         // __module__
    easing::Bezier bezier;
};

PyTypeObject curve_type = static_type_object();

// -- values ---------------------------------------------------------------------

// Progress outside (0, 1): every curve is exactly 0.0 at and below 0 (never
// -0.0, which back_in's formula gives at 0) and exactly 1.0 at and above 1,
// as the reference curves are at their ends; NaN stays NaN.
inline double end_value(double p) noexcept { return p >= 1 ? 1.0 : (p <= 0 ? 0.0 : p); }

inline double named_value(const Curve* c, double p) noexcept { return p > 0 && p < 1 ? c->shape(p) : end_value(p); }

inline double bezier_value(const Curve* c, double p) noexcept {
    return p > 0 && p < 1 ? easing::bezier_at(c->bezier, p) : end_value(p);
}

inline double curve_value(const Curve* c, double p) noexcept {
    return c->shape ? named_value(c, p) : bezier_value(c, p);
}

// start + (target - start) * e: in C for exact floats and small ints (which
// give what Python's arithmetic gives them), else through the operands'
// number protocol.  The caller keeps both operands alive.
[[nodiscard]] PyObject* mix(PyObject* start, PyObject* target, double e) {
    double a, b;
    if (exact_double(start, a) && exact_double(target, b)) return PyFloat_FromDouble(a + (b - a) * e);
    Ref span = Ref::steal(PyNumber_Subtract(target, start));
    if (!span) return nullptr;
    Ref weight = Ref::steal(PyFloat_FromDouble(e));
    if (!weight) return nullptr;
    Ref step = Ref::steal(PyNumber_Multiply(span.get(), weight.get()));
    if (!step) return nullptr;
    return PyNumber_Add(start, step.get());
}

// -- calls ------------------------------------------------------------------------

// Everything but three exact numbers by position: keywords, wrong counts,
// other types, a start of None (the first glide of a cell without a default).
[[gnu::noinline]] PyObject* curve_call_general(const Curve* self, PyObject* const* args, Py_ssize_t nargs,
                                               PyObject* kwnames) {
    PyObject* a[3];
    if (!parse_args_general(*self->call, args, nargs, kwnames, a)) return nullptr;
    double p;
    if (!to_double(a[2], p)) return nullptr;
    double e = curve_value(self, p);
    if (a[0] == Py_None) return Py_NewRef(a[1]);
    return mix(a[0], a[1], e);
}

template <double (*Value)(const Curve*, double) noexcept>
PyObject* curve_vectorcall(PyObject* callable, PyObject* const* args, size_t nargsf, PyObject* kwnames) {
    const Curve* self = as<Curve>(callable);
    Py_ssize_t nargs = PyVectorcall_NARGS(nargsf);
    double a, b, p;
    if (nargs == 3 && !kwnames && exact_double(args[0], a) && exact_double(args[1], b) && exact_double(args[2], p))
        [[likely]]
        return PyFloat_FromDouble(a + (b - a) * Value(self, p));
    return curve_call_general(self, args, nargs, kwnames);
}

// -- methods --------------------------------------------------------------------

constexpr Param curve_at_param_list[] = {{.name = n_progress, .annotation = "float"}};
const Params curve_at_params{"at", curve_at_param_list};

PyObject* curve_at_entry(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    PyObject* progress;
    if (!parse_args(curve_at_params, args, nargs, kwnames, &progress)) return nullptr;
    double p;
    if (!to_double(progress, p)) return nullptr;
    return PyFloat_FromDouble(curve_value(as<Curve>(self), p));
}
const MethodDef curve_at_def = method<curve_at_entry>(curve_at_params);

// A named curve pickles as a reference to the module attribute of its name;
// a Bézier as the call that makes it again.
const Params curve_reduce_params{"__reduce__"};

PyObject* curve_reduce_entry(PyObject* o, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    if (!parse_args(curve_reduce_params, args, nargs, kwnames, nullptr)) return nullptr;
    const Curve* self = as<Curve>(o);
    if (self->named) return Py_NewRef(self->name);
    Ref factory = lookup_global(n_cubic_bezier);
    if (!factory) return nullptr;
    const easing::Bezier& b = self->bezier;
    return Py_BuildValue("O(dddd)", factory.get(), b.x1, b.y1, b.x2, b.y2);
}
const MethodDef curve_reduce_def = method<curve_reduce_entry>(curve_reduce_params);

// -- slots ------------------------------------------------------------------------

void curve_dealloc(PyObject* o) {
    Curve* self = as<Curve>(o);
    Py_CLEAR(self->name);
    Py_CLEAR(self->module);
    Py_TYPE(o)->tp_free(o);
}

// "Quillmoor.utils.easing.quad_in", "Quillmoor.utils.easing.cubic_bezier(0.25, 0.1, 0.25, 1.0)":
// the expression that gives the curve.
PyObject* curve_repr(PyObject* o) {
    const Curve* self = as<Curve>(o);
    if (self->named) return PyUnicode_FromFormat("%U.%U", self->module, self->name);
    const easing::Bezier& b = self->bezier;
    Ref params = Ref::steal(Py_BuildValue("(dddd)", b.x1, b.y1, b.x2, b.y2));
    if (!params) return nullptr;
    return PyUnicode_FromFormat("%U.%U%R", self->module, self->name, params.get());
}

// Béziers are equal when their parameters are; named curves only to
// themselves (NotImplemented falls back on identity).
PyObject* curve_richcompare(PyObject* a, PyObject* b, int op) {
    if ((op != Py_EQ && op != Py_NE) || !Py_IS_TYPE(b, &curve_type) || as<Curve>(a)->named || as<Curve>(b)->named)
        Py_RETURN_NOTIMPLEMENTED;
    const easing::Bezier &p = as<Curve>(a)->bezier, &q = as<Curve>(b)->bezier;
    bool equal = p.x1 == q.x1 && p.y1 == q.y1 && p.x2 == q.x2 && p.y2 == q.y2;
    return bool_result(equal == (op == Py_EQ));
}

Py_hash_t curve_hash(PyObject* o) {
    const Curve* self = as<Curve>(o);
    if (self->named) return Py_HashPointer(o);
    const easing::Bezier& b = self->bezier;
    // Of the bits of each parameter, with -0.0 taken as 0.0, which it equals
    // (the parameters are finite).
    Py_uhash_t h = 0x345678;
    for (double v : {b.x1, b.y1, b.x2, b.y2}) {
        auto bits = std::bit_cast<std::uint64_t>(v == 0 ? 0.0 : v);
        h = (h ^ static_cast<Py_uhash_t>(bits ^ (bits >> 32))) * 1000003u;
    }
    Py_hash_t r = static_cast<Py_hash_t>(h);
    return r == -1 ? -2 : r;
}

// A new curve object; `name` is held for it.  A Bézier's arithmetic is
// filled in by the caller (a named curve has none).
[[nodiscard]] Ref new_curve(const NamedCurve* named, PyObject* name) {
    Curve* c = PyObject_New(Curve, &curve_type);
    if (!c) return Ref();
    c->vectorcall = named ? curve_vectorcall<named_value> : curve_vectorcall<bezier_value>;
    c->shape = named ? named->shape : nullptr;
    c->named = named;
    c->call = named ? &named->call : &bezier_call_params;
    c->name = Py_NewRef(name);
    c->module = Py_NewRef(g_module_name);
    c->bezier = {};
    return Ref::steal(py(c));
}

// A curve found on a class or an instance is the curve itself: it never binds
// as a method.  Being a (non-binding) descriptor also lets inspect read the
// call's signature from __text_signature__, as it does for built-ins.
PyObject* curve_descr_get(PyObject* self, PyObject*, PyObject*) { return Py_NewRef(self); }

PyObject* curve_text_signature_get(PyObject*, void*) { return PyUnicode_FromString("(start, target, progress)"); }

// -- tables -----------------------------------------------------------------------

PyGetSetDef curve_getset[] = {
    {"__text_signature__", curve_text_signature_get, nullptr, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyMemberDef curve_members[] = {
    {"__name__", Py_T_OBJECT_EX, offsetof(Curve, name), Py_READONLY, nullptr},
    {"__qualname__", Py_T_OBJECT_EX, offsetof(Curve, name), Py_READONLY, nullptr},
    {"__module__", Py_T_OBJECT_EX, offsetof(Curve, module), Py_READONLY, nullptr},
    {nullptr, 0, 0, 0, nullptr},
};

const MethodDef* const curve_methods[] = {&curve_at_def, &curve_reduce_def};

// ===========================================================================
// cubic_bezier()
// ===========================================================================

constexpr Param cubic_bezier_param_list[] = {{.name = n_x1, .annotation = "float"},
                                             {.name = n_y1, .annotation = "float"},
                                             {.name = n_x2, .annotation = "float"},
                                             {.name = n_y2, .annotation = "float"}};
const Params cubic_bezier_params{"cubic_bezier", cubic_bezier_param_list};

// The CSS rule: the x of both control points in [0, 1], so that every
// progress has one value; y may overshoot but must be finite.
PyObject* cubic_bezier_entry(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    PyObject* a[4];
    if (!parse_args(cubic_bezier_params, args, nargs, kwnames, a)) return nullptr;
    double v[4];
    for (int i = 0; i < 4; ++i)
        if (!to_double(a[i], v[i])) return nullptr;
    for (int i : {0, 2}) {
        if (!(v[i] >= 0 && v[i] <= 1)) {
            PyErr_Format(PyExc_ValueError, "cubic_bezier() needs %s in [0, 1], got %R", cubic_bezier_param_list[i].name.text,
                         a[i]);
            return nullptr;
        }
    }
    for (int i : {1, 3}) {
        if (!std::isfinite(v[i])) {
            PyErr_Format(PyExc_ValueError, "cubic_bezier() needs a finite %s, got %R", cubic_bezier_param_list[i].name.text,
                         a[i]);
            return nullptr;
        }
    }
    Ref curve = new_curve(nullptr, n_cubic_bezier.get());
    if (curve) easing::make_bezier(as<Curve>(curve.get())->bezier, v[0], v[1], v[2], v[3]);
    return curve.release();
}

const MethodDef cubic_bezier_def{cubic_bezier_params, cubic_bezier_entry, nullptr, MethodDef::function};

// ===========================================================================
// _primitive(): the curves' own sine, cosine and 2^x - 1, for the tests
// ===========================================================================

// The tests hold each primitive to a 50-digit reference on every target;
// through the curves alone they would see it only scaled and rounded again.
constexpr Param primitive_param_list[] = {{.name = n_name, .annotation = "str"},
                                          {.name = n_x, .annotation = "float"}};
const Params primitive_params{"_primitive", primitive_param_list};

PyObject* primitive_entry(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    PyObject* a[2];
    if (!parse_args(primitive_params, args, nargs, kwnames, a)) return nullptr;
    double x;
    if (!to_double(a[1], x)) return nullptr;
    if (PyUnicode_Check(a[0]))
        for (const easing::NamedShape& p : easing::named_primitives)
            if (PyUnicode_CompareWithASCIIString(a[0], p.name) == 0) return PyFloat_FromDouble(p.shape(x));
    PyErr_Format(PyExc_ValueError, "_primitive() has no primitive %R", a[0]);
    return nullptr;
}

const MethodDef primitive_def{primitive_params, primitive_entry, nullptr, MethodDef::function};

// ===========================================================================
// The module
// ===========================================================================

// Readies Curve, puts its methods in its dict and binds it.
[[nodiscard]] bool make_curve_type() {
    if (!g_module_name) {
        g_module_name = PyUnicode_InternFromString(g_state.def->full_name);
        if (!g_module_name) return false;
        std::snprintf(g_curve_type_name, sizeof g_curve_type_name, "%s.Curve", g_state.def->full_name);
    }
    bool readied = ready_static_type(curve_type, [](PyTypeObject& t) {
        t.tp_name = g_curve_type_name;
        t.tp_basicsize = sizeof(Curve);
        t.tp_flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_IMMUTABLETYPE | Py_TPFLAGS_DISALLOW_INSTANTIATION |
                     Py_TPFLAGS_HAVE_VECTORCALL;
        t.tp_vectorcall_offset = offsetof(Curve, vectorcall);
        t.tp_call = PyVectorcall_Call;
        t.tp_dealloc = curve_dealloc;
        t.tp_repr = curve_repr;
        t.tp_richcompare = curve_richcompare;
        t.tp_hash = curve_hash;
        t.tp_members = curve_members;
        t.tp_getset = curve_getset;
        t.tp_descr_get = curve_descr_get;
    });
    if (!readied) return false;
    // Readying stores an empty docstring; the documentation lives in the stub.
    Ref dict = Ref::steal(PyType_GetDict(&curve_type));
    if (!dict || PyDict_SetItem(dict.get(), n_doc.get(), Py_None) < 0) return false;
    return add_functions(curve_type, "Curve", curve_methods, g_module_name) &&
           bind(n_Curve, reinterpret_cast<PyObject*>(&curve_type));
}

// Each named curve as a module attribute, and all of them in order as `curves`.
[[nodiscard]] bool make_named_curves() {
    constexpr auto count = static_cast<Py_ssize_t>(named_curves.size());
    Ref all = Ref::steal(PyTuple_New(count));
    if (!all) return false;
    for (Py_ssize_t i = 0; i < count; ++i) {
        const NamedCurve& n = named_curves.data()[i];  // data(): no checked indexing in debug builds
        Ref name = Ref::steal(PyUnicode_InternFromString(n.name));
        if (!name) return false;
        Ref curve = new_curve(&n, name.get());
        if (!curve || !bind(name.get(), curve.get())) return false;
        PyTuple_SET_ITEM(all.get(), i, curve.release());
    }
    return bind(n_curves, all.get());
}

[[nodiscard]] bool make_cubic_bezier() {
    Ref f = make_function(cubic_bezier_def, nullptr, nullptr, g_module_name);
    return f && bind(n_cubic_bezier, f.get());
}

[[nodiscard]] bool make_primitive() {
    Ref f = make_function(primitive_def, nullptr, nullptr, g_module_name);
    return f && bind(n_primitive, f.get());
}

const BodyStep easing_body[] = {
    custom_step(make_curve_type),
    custom_step(make_named_curves),
    custom_step(make_cubic_bezier),
    custom_step(make_primitive),
};

const ModuleDef easing_module{"Quillmoor.utils.easing", {}, easing_body};

}  // namespace
}  // namespace qm

PyMODINIT_FUNC PyInit_easing() { return qm::module_init(qm::easing_module); }
