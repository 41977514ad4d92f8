// Quillmoor.utils.easing: the standard easing curves as interpolation
// functions a glide cell calls.
//
// Every curve is an immutable Curve object.  A named one is made once by the
// module body (compared and hashed by identity, pickled by name); the others
// are made by a factory (cubic_bezier(), steps(), linear_stops(), from_css())
// or by a method of a family's curve (poly_in.exponent(2.5)) and are
// compared, hashed and pickled by their parameters.  Called as
// curve(start, target, progress) a curve returns start + (target - start) *
// value; exact floats and small ints are mixed in C without a Python object
// in between, anything else through the operands' own arithmetic in that
// order.  Each curve holds the one function that gives its value, so a call
// costs one indirect call whatever the curve is made of.

#include "curve_call.hpp"
#include "easing_curves.hpp"
#include "frame/frame.hpp"

#include <array>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <iterator>
#include <span>
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
Name n_n{"n"};
Name n_position{"position"};
Name n_stops{"stops"};
Name n_text{"text"};
Name n_Curve{curve_class_name};
Name n_curves{"curves"};
Name n_cubic_bezier{"cubic_bezier"};
Name n_steps{"steps"};
Name n_linear_stops{"linear_stops"};
Name n_from_css{"from_css"};
Name n_name{"name"};
Name n_x{"x"};
Name n_primitive{"_primitive"};

Constant k_jump_end{"jump-end"};

constexpr Param curve_call_param_list[] = {{n_start}, {n_target}, {n_progress}};

struct Curve;
// The curve's value at any progress: the ends and NaN included.
using Value = double (*)(const Curve*, double) noexcept;

// Progress outside (0, 1) for the curves that run from 0 to 1: exactly 0.0
// at and below 0 (never -0.0, which back_in's formula gives at 0) and
// exactly 1.0 at and above 1, as the reference curves are at their ends;
// NaN stays NaN.
inline double end_value(double p) noexcept { return p >= 1 ? 1.0 : (p <= 0 ? 0.0 : p); }

// Progress clamped to [0, 1], NaN kept: for the step and linear() curves,
// whose ends are whatever the curve gives there.
inline double clamped(double p) noexcept { return p < 0 ? 0.0 : (p > 1 ? 1.0 : p); }

// ===========================================================================
// Curve
// ===========================================================================

// What a made curve is: the factory that makes it again, and its parameters
// as that factory's arguments (a tuple, for comparing, hashing, pickling and
// the repr).  A family's curve is made by a method of a curve rather than a
// factory, and gives its own repr and pickled form.
struct MadeKind {
    const Name& factory;
    PyObject* (*params)(const Curve*);
    const char* doc;  // each such curve's __doc__
    Params call;      // the curve's call, named as the factory
    PyObject* (*repr)(const Curve*) = nullptr;
    PyObject* (*reduce)(const Curve*) = nullptr;
};

// A curve the module names.
struct NamedCurve {
    const char* name;
    const char* doc;
    Value value;
    easing::Shape shape = nullptr;                      // a formula's curve
    const easing::KeywordBezier* bezier = nullptr;      // a CSS keyword's Bézier
    easing::StepPosition step_position{};               // a CSS step keyword's (one step)
    Params call;                                        // the call's parameters: messages carry its name
    const easing::NamedFamily* family = nullptr;        // a family's: its methods make the family's curves
};

struct Stops {
    Py_ssize_t count;  // at least 2
    double* in;        // count inputs, then count outputs, in one block
    const double* out() const noexcept { return in + count; }
};

struct Curve {
    PyObject_HEAD
    vectorcallfunc vectorcall;
    Value value;
    const NamedCurve* named;  // null for a made curve
    const MadeKind* made;     // null for a named curve
    const Params* call;       // the call's parameters, named as the curve
    PyObject* name;           // __name__ and __qualname__
    // What the value function reads, as the curve is made of it.
    easing::Shape shape;
    easing::Bezier bezier;
    easing::Steps steps;
    easing::StepPosition step_position;
    Stops stops;
    // A family's curve, named or made: which, its parameters and (made) its shape.
    const easing::NamedFamily* family;
    easing::FamilyShape family_shape;
    easing::FamilyParams params;
};

PyTypeObject curve_type = static_type_object();
char curve_type_name[128];

// What Curve's type and its families' types have alike: a name under the
// module and a document, the instance, neither made nor subclassed by Python
// code, and called by vectorcall.
template <std::size_t N>
void fill_curve_type(PyTypeObject& t, char (&type_name)[N], const char* name, const char* doc) {
    name_in_module(type_name, name);
    t.tp_name = type_name;
    t.tp_doc = doc;
    t.tp_basicsize = sizeof(Curve);
    t.tp_flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_IMMUTABLETYPE | Py_TPFLAGS_DISALLOW_INSTANTIATION;
    call_by_vectorcall(t, offsetof(Curve, vectorcall));
}

// -- values ---------------------------------------------------------------------

double shape_value(const Curve* c, double p) noexcept { return p > 0 && p < 1 ? c->shape(p) : end_value(p); }

double bezier_value(const Curve* c, double p) noexcept {
    return p > 0 && p < 1 ? easing::bezier_at(c->bezier, p) : end_value(p);
}

double steps_value(const Curve* c, double p) noexcept {
    return std::isnan(p) ? p : easing::steps_at(c->steps, clamped(p));
}

double stops_value(const Curve* c, double p) noexcept {
    const Stops& s = c->stops;
    return std::isnan(p) ? p : easing::stops_at(s.in, s.out(), static_cast<std::size_t>(s.count), clamped(p));
}

double family_value(const Curve* c, double p) noexcept {
    return p > 0 && p < 1 ? c->family_shape(c->params, p) : end_value(p);
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

// curve(start, target, progress) once the progress is a double: what every
// call but the vectorcall's fast one comes to, and what a glide cell calls
// directly (curve_call.hpp).
PyObject* curve_call_at(PyObject* curve, PyObject* start, PyObject* target, double p) {
    const Curve* self = as<Curve>(curve);
    double e = self->value(self, p);
    if (start == Py_None) return Py_NewRef(target);
    return mix(start, target, e);
}

const CurveCall curve_call{&curve_type, curve_call_at};

// Everything but three exact numbers by position: keywords, wrong counts,
// other types, a start of None (the first glide of a cell without a default).
[[gnu::noinline]] PyObject* curve_call_general(PyObject* curve, PyObject* const* args, Py_ssize_t nargs,
                                               PyObject* kwnames) {
    PyObject* a[3];
    if (!parse_args_general(*as<Curve>(curve)->call, args, nargs, kwnames, a)) return nullptr;
    double p;
    if (!to_double(a[2], p)) return nullptr;
    return curve_call_at(curve, a[0], a[1], p);
}

// One per value function, so that a named formula's call is direct.
template <Value V>
PyObject* curve_vectorcall(PyObject* callable, PyObject* const* args, size_t nargsf, PyObject* kwnames) {
    const Curve* self = as<Curve>(callable);
    Py_ssize_t nargs = PyVectorcall_NARGS(nargsf);
    double a, b, p;
    if (nargs == 3 && !kwnames && exact_double(args[0], a) && exact_double(args[1], b) && exact_double(args[2], p))
        [[likely]]
        return PyFloat_FromDouble(a + (b - a) * V(self, p));
    return curve_call_general(callable, args, nargs, kwnames);
}

// The vectorcall that goes with a value function (one per function, so that
// a call of a named formula is direct).
vectorcallfunc call_of(Value v) {
    if (v == bezier_value) return curve_vectorcall<bezier_value>;
    if (v == steps_value) return curve_vectorcall<steps_value>;
    if (v == stops_value) return curve_vectorcall<stops_value>;
    if (v == family_value) return curve_vectorcall<family_value>;
    return curve_vectorcall<shape_value>;
}

// A new curve, of Curve or of a family's subtype; `name` is held for it.
// The caller fills in what the value function reads.
[[nodiscard]] Ref new_curve(Value value, const NamedCurve* named, const MadeKind* made, PyObject* name,
                            PyTypeObject* type = &curve_type) {
    Curve* c = PyObject_New(Curve, type);
    if (!c) return Ref();
    c->vectorcall = call_of(value);
    c->value = value;
    c->named = named;
    c->made = made;
    c->call = named ? &named->call : &made->call;
    c->name = Py_NewRef(name);
    c->shape = nullptr;
    c->bezier = {};
    c->steps = {};
    c->step_position = {};
    c->stops = {0, nullptr};
    c->family = nullptr;
    c->family_shape = nullptr;
    c->params = {};
    return Ref::steal(py(c));
}

// -- methods --------------------------------------------------------------------

constexpr Param curve_at_param_list[] = {{.name = n_progress, .annotation = "float"}};
const Params curve_at_params{"at", curve_at_param_list};

PyObject* curve_at_entry(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    PyObject* progress;
    if (!parse_args(curve_at_params, args, nargs, kwnames, &progress)) return nullptr;
    double p;
    if (!to_double(progress, p)) return nullptr;
    const Curve* c = as<Curve>(self);
    return PyFloat_FromDouble(c->value(c, p));
}
const MethodDef curve_at_def =
    method<curve_at_entry>(curve_at_params, MethodDef::method, nullptr,
                           "The curve's value at `progress` (clamped to [0, 1]; NaN gives NaN), as a float.");

// A named curve pickles as a reference to the module attribute of its name;
// a made one as the call that makes it again.
const Params curve_reduce_params{"__reduce__"};

PyObject* curve_reduce_entry(PyObject* o, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    if (!parse_args(curve_reduce_params, args, nargs, kwnames, nullptr)) return nullptr;
    const Curve* self = as<Curve>(o);
    if (self->named) return Py_NewRef(self->name);
    if (self->made->reduce) return self->made->reduce(self);
    Ref factory = lookup_global(self->made->factory);
    if (!factory) return nullptr;
    Ref params = Ref::steal(self->made->params(self));
    if (!params) return nullptr;
    return PyTuple_Pack(2, factory.get(), params.get());
}
const MethodDef curve_reduce_def =
    method<curve_reduce_entry>(curve_reduce_params, MethodDef::method, nullptr,
                               "Pickle support: a named curve's name, or the call that makes the curve again.");

// -- slots ------------------------------------------------------------------------

void curve_dealloc(PyObject* o) {
    Curve* self = as<Curve>(o);
    Py_CLEAR(self->name);
    PyMem_Free(self->stops.in);
    Py_TYPE(o)->tp_free(o);
}

// "Quillmoor.utils.easing.quad_in", "Quillmoor.utils.easing.steps(4, 'jump-both')":
// the expression that gives the curve.
PyObject* curve_repr(PyObject* o) {
    const Curve* self = as<Curve>(o);
    if (self->named) return PyUnicode_FromFormat("%U.%U", g_state.name, self->name);
    if (self->made->repr) return self->made->repr(self);
    Ref params = Ref::steal(self->made->params(self));
    if (!params) return nullptr;
    return PyUnicode_FromFormat("%U.%U%R", g_state.name, self->made->factory.get(), params.get());
}

// Made curves are equal when they are of one kind with equal parameters;
// named curves only to themselves (NotImplemented falls back on identity).
PyObject* curve_richcompare(PyObject* a, PyObject* b, int op) {
    if ((op != Py_EQ && op != Py_NE) || !PyObject_TypeCheck(b, &curve_type)) Py_RETURN_NOTIMPLEMENTED;
    const Curve *p = as<Curve>(a), *q = as<Curve>(b);
    if (!p->made || !q->made) Py_RETURN_NOTIMPLEMENTED;
    if (p->made != q->made) return bool_result(op == Py_NE);
    Ref pp = Ref::steal(p->made->params(p));
    if (!pp) return nullptr;
    Ref qp = Ref::steal(q->made->params(q));
    if (!qp) return nullptr;
    return PyObject_RichCompare(pp.get(), qp.get(), op);
}

Py_hash_t curve_hash(PyObject* o) {
    const Curve* self = as<Curve>(o);
    if (self->named) return Py_HashPointer(o);
    Ref params = Ref::steal(self->made->params(self));
    if (!params) return -1;
    Py_hash_t h = PyObject_Hash(params.get());
    if (h == -1) return -1;
    // Kinds apart: a Bézier and a step curve whose parameters hash alike.
    Py_hash_t r = h ^ Py_HashPointer(self->made);
    return r == -1 ? -2 : r;
}

// A curve found on a class or an instance is the curve itself: it never binds
// as a method.  Being a (non-binding) descriptor also lets inspect read the
// call's signature from __text_signature__, as it does for built-ins, and
// help() show the curve as the callable it is.
PyObject* curve_descr_get(PyObject* self, PyObject*, PyObject*) { return Py_NewRef(self); }

PyObject* curve_text_signature_get(PyObject* o, void*) { return signature_text(*as<Curve>(o)->call); }

PyObject* curve_doc_get(PyObject* o, void*) {
    const Curve* self = as<Curve>(o);
    return PyUnicode_FromString(self->named ? self->named->doc : self->made->doc);
}

// -- tables -----------------------------------------------------------------------

PyObject* curve_module_get(PyObject*, void*) { return Py_NewRef(g_state.name); }

PyGetSetDef curve_getset[] = {
    {"__text_signature__", curve_text_signature_get, nullptr, nullptr, nullptr},
    {"__doc__", curve_doc_get, nullptr, nullptr, nullptr},
    {"__module__", curve_module_get, nullptr, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyMemberDef curve_members[] = {
    {"__name__", Py_T_OBJECT_EX, offsetof(Curve, name), Py_READONLY, nullptr},
    {"__qualname__", Py_T_OBJECT_EX, offsetof(Curve, name), Py_READONLY, nullptr},
    {nullptr, 0, 0, 0, nullptr},
};

const MethodDef* const curve_methods[] = {&curve_at_def, &curve_reduce_def};

constexpr char curve_doc[] =
    "An easing curve: progress 0..1 to a value that runs from 0 to 1, perhaps overshooting on the way.\n"
    "\n"
    "Instances are immutable and are not made directly: the module's named\n"
    "curves exist once (compared and hashed by identity, pickled and copied as\n"
    "references to the module attribute), and the factories (`cubic_bezier()`,\n"
    "`steps()`, `linear_stops()`, `from_css()`) and the methods of the\n"
    "families' curves (`PolyCurve`, `BackCurve`, `ElasticCurve`) make curves\n"
    "that are compared and hashed by their parameters and pickled as the call\n"
    "that makes them again. A curve stored as a class attribute does not bind\n"
    "as a method.";

// ===========================================================================
// The named curves
// ===========================================================================

// Each named formula's documentation, in the order of easing::named_shapes
// (checked as it compiles).
struct ShapeDoc {
    const char* name;
    const char* doc;
};
constexpr ShapeDoc shape_docs[] = {
    {"linear", "t: the progress itself."},
    {"quad_in", "t²."},
    {"quad_out", "t(2 - t): quad_in turned around."},
    {"quad_in_out", "quad_in on the first half, quad_out on the second."},
    {"cubic_in", "t³."},
    {"cubic_out", "(t - 1)³ + 1."},
    {"cubic_in_out", "cubic_in on the first half, cubic_out on the second."},
    {"quart_in", "t⁴."},
    {"quart_out", "1 - (1 - t)⁴."},
    {"quart_in_out", "quart_in on the first half, quart_out on the second."},
    {"quint_in", "t⁵."},
    {"quint_out", "1 - (1 - t)⁵."},
    {"quint_in_out", "quint_in on the first half, quint_out on the second."},
    {"poly_in", "t^e with e = 3: cubic_in's values; poly_in.exponent(e) for another e."},
    {"poly_out", "1 - (1 - t)^e with e = 3: cubic_out's values; poly_out.exponent(e) for another e."},
    {"poly_in_out", "poly_in on the first half, poly_out on the second: cubic_in_out's values for e = 3."},
    {"sine_in", "1 - cos(t·π/2)."},
    {"sine_out", "sin(t·π/2)."},
    {"sine_in_out", "(1 - cos(t·π)) / 2."},
    {"expo_in", "2^(10(t - 1)), rescaled to run exactly from 0 to 1."},
    {"expo_out", "1 - 2^(-10t), rescaled to run exactly from 0 to 1."},
    {"expo_in_out", "expo_in on the first half, expo_out on the second."},
    {"circ_in", "1 - √(1 - t²): a quarter circle."},
    {"circ_out", "√(1 - (t - 1)²)."},
    {"circ_in_out", "circ_in on the first half, circ_out on the second."},
    {"back_in", "t²((s + 1)t - s), s = 1.70158: dips about 10 % below 0 before rising."},
    {"back_out", "back_in turned around: overshoots 1 by about 10 % and settles back."},
    {"back_in_out", "back_in on the first half, back_out on the second (the same s, not scaled)."},
    {"elastic_in", "A sine of period 0.3 under a growing exponential envelope (amplitude 1), ending at 1."},
    {"elastic_out", "elastic_in turned around: springs past 1 and rings down to it."},
    {"elastic_in_out", "elastic_in on the first half, elastic_out on the second."},
    {"bounce_in", "bounce_out turned around: small hops growing to the last one."},
    {"bounce_out", "Four parabolic arcs that bounce on 1, each lower than the one before."},
    {"bounce_in_out", "bounce_in on the first half, bounce_out on the second."},
    {"smoothstep", "3t² - 2t³: flat at both ends."},
    {"smootherstep", "6t⁵ - 15t⁴ + 10t³: flat at both ends, to the second derivative."},
};

constexpr const char* keyword_bezier_docs[] = {
    "CSS `ease`: cubic_bezier(0.25, 0.1, 0.25, 1.0), CSS's default timing function.",
    "CSS `ease-in`: cubic_bezier(0.42, 0.0, 1.0, 1.0).",
    "CSS `ease-out`: cubic_bezier(0.0, 0.0, 0.58, 1.0).",
    "CSS `ease-in-out`: cubic_bezier(0.42, 0.0, 0.58, 1.0).",
};

struct KeywordSteps {
    const char* name;
    easing::StepPosition position;
    const char* doc;
};
constexpr KeywordSteps keyword_steps[] = {
    {"step_start", easing::StepPosition::jump_start, "CSS `step-start`: steps(1, 'jump-start'), 1 from the start on."},
    {"step_end", easing::StepPosition::jump_end, "CSS `step-end`: steps(1, 'jump-end'), 0 until the end."},
};

constexpr bool same_text(const char* a, const char* b) {
    while (*a && *a == *b) ++a, ++b;
    return *a == *b;
}

consteval bool shape_docs_follow_shapes() {
    if (std::size(shape_docs) != std::size(easing::named_shapes)) return false;
    for (std::size_t i = 0; i < std::size(shape_docs); ++i)
        if (!same_text(shape_docs[i].name, easing::named_shapes[i].name)) return false;
    return std::size(keyword_bezier_docs) == std::size(easing::keyword_beziers);
}
static_assert(shape_docs_follow_shapes(), "every named formula and CSS keyword needs its documentation, in order");

constexpr std::size_t named_count =
    std::size(easing::named_shapes) + std::size(easing::keyword_beziers) + std::size(keyword_steps);

// The family a named formula belongs to, if any.
consteval const easing::NamedFamily* family_named(const char* name) {
    for (const easing::NamedFamily& f : easing::named_families)
        if (same_text(f.name, name)) return &f;
    return nullptr;
}

// The formulas, then the CSS keywords: the order of `curves`.
consteval NamedCurve named_curve_at(std::size_t i) {
    if (i < std::size(easing::named_shapes)) {
        const easing::NamedShape& s = easing::named_shapes[i];
        return {.name = s.name, .doc = shape_docs[i].doc, .value = shape_value, .shape = s.shape,
                .call = Params(s.name, curve_call_param_list), .family = family_named(s.name)};
    }
    i -= std::size(easing::named_shapes);
    if (i < std::size(easing::keyword_beziers)) {
        const easing::KeywordBezier& b = easing::keyword_beziers[i];
        return {.name = b.name, .doc = keyword_bezier_docs[i], .value = bezier_value, .bezier = &b,
                .call = Params(b.name, curve_call_param_list)};
    }
    i -= std::size(easing::keyword_beziers);
    const KeywordSteps& k = keyword_steps[i];
    return {.name = k.name, .doc = k.doc, .value = steps_value, .step_position = k.position,
            .call = Params(k.name, curve_call_param_list)};
}

template <std::size_t... I>
consteval std::array<NamedCurve, sizeof...(I)> make_named_table(std::index_sequence<I...>) {
    return {named_curve_at(I)...};
}
constexpr auto named_curves = make_named_table(std::make_index_sequence<named_count>());


// ===========================================================================
// cubic_bezier()
// ===========================================================================

PyObject* bezier_params(const Curve* c) {
    const easing::Bezier& b = c->bezier;
    return Py_BuildValue("(dddd)", b.x1, b.y1, b.x2, b.y2);
}
const MadeKind bezier_kind{n_cubic_bezier, bezier_params,
                           "A CSS cubic Bézier curve, made by cubic_bezier(); its repr gives its control points.",
                           Params("cubic_bezier", curve_call_param_list)};

constexpr Param cubic_bezier_param_list[] = {{.name = n_x1, .annotation = "float"},
                                             {.name = n_y1, .annotation = "float"},
                                             {.name = n_x2, .annotation = "float"},
                                             {.name = n_y2, .annotation = "float"}};
const Params cubic_bezier_params{"cubic_bezier", cubic_bezier_param_list};

// The CSS rule: the x of both control points in [0, 1], so that every
// progress has one value; y may overshoot but must be finite.
[[nodiscard]] Ref make_bezier_curve(const double (&v)[4], PyObject* const given[4]) {
    for (int i : {0, 2}) {
        if (!(v[i] >= 0 && v[i] <= 1)) {
            PyErr_Format(PyExc_ValueError, "cubic_bezier() needs %s in [0, 1], got %R", cubic_bezier_param_list[i].name.text,
                         given[i]);
            return Ref();
        }
    }
    for (int i : {1, 3}) {
        if (!std::isfinite(v[i])) {
            PyErr_Format(PyExc_ValueError, "cubic_bezier() needs a finite %s, got %R", cubic_bezier_param_list[i].name.text,
                         given[i]);
            return Ref();
        }
    }
    Ref curve = new_curve(bezier_value, nullptr, &bezier_kind, n_cubic_bezier.get());
    if (curve) easing::make_bezier(as<Curve>(curve.get())->bezier, v[0], v[1], v[2], v[3]);
    return curve;
}

PyObject* cubic_bezier_entry(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    PyObject* a[4];
    if (!parse_args(cubic_bezier_params, args, nargs, kwnames, a)) return nullptr;
    double v[4];
    for (int i = 0; i < 4; ++i)
        if (!to_double(a[i], v[i])) return nullptr;
    return make_bezier_curve(v, a).release();
}

const MethodDef cubic_bezier_def{
    cubic_bezier_params, cubic_bezier_entry, nullptr, MethodDef::function, nullptr,
    "The CSS `cubic-bezier(x1, y1, x2, y2)` timing function as a curve.\n"
    "\n"
    "The curve runs from (0, 0) through the control points (x1, y1) and\n"
    "(x2, y2) to (1, 1); its value at a progress p is the y of the curve point\n"
    "whose x is p, solved to full double precision. As in CSS, x1 and x2 must\n"
    "lie in [0, 1] (so that every progress has one point) and y1 and y2 may\n"
    "be any finite numbers, which lets the curve overshoot; anything else\n"
    "raises ValueError. The CSS keywords are the named curves `ease`,\n"
    "`ease_in`, `ease_out` and `ease_in_out`. Equal parameters give equal\n"
    "curves."};

// ===========================================================================
// steps()
// ===========================================================================

// The CSS step positions; "start" and "end" are the older names of the first two.
struct PositionName {
    const char* text;
    easing::StepPosition position;
};
constexpr PositionName position_names[] = {
    {"jump-start", easing::StepPosition::jump_start}, {"jump-end", easing::StepPosition::jump_end},
    {"jump-none", easing::StepPosition::jump_none},   {"jump-both", easing::StepPosition::jump_both},
    {"start", easing::StepPosition::jump_start},      {"end", easing::StepPosition::jump_end},
};
constexpr const char* positions_text = "'jump-start', 'jump-end', 'jump-none', 'jump-both', 'start' or 'end'";

// Below 2^53, so that n and the count of jumps are exact doubles.
constexpr long long max_steps = 1LL << 53;

PyObject* steps_params(const Curve* c) {
    return Py_BuildValue("(Ls)", static_cast<long long>(c->steps.n),
                         position_names[static_cast<int>(c->step_position)].text);
}
const MadeKind steps_kind{n_steps, steps_params,
                          "A CSS step curve, made by steps(); its repr gives its count and position.",
                          Params("steps", curve_call_param_list)};

constexpr Param steps_param_list[] = {{.name = n_n, .annotation = "int"},
                                     {.name = n_position, .default_value = &k_jump_end, .annotation = "str"}};
const Params steps_params_def{"steps", steps_param_list};

// The step curve, or null with ValueError for a count CSS refuses.
[[nodiscard]] Ref make_steps_curve(long long n, easing::StepPosition position) {
    long long least = position == easing::StepPosition::jump_none ? 2 : 1;
    if (n < least || n >= max_steps) {
        if (n >= max_steps)
            PyErr_Format(PyExc_ValueError, "steps() needs n below 2**53, got %lld", n);
        else if (least == 2)
            PyErr_Format(PyExc_ValueError, "steps() needs n of at least 2 for 'jump-none', got %lld", n);
        else
            PyErr_Format(PyExc_ValueError, "steps() needs n of at least 1, got %lld", n);
        return Ref();
    }
    Ref curve = new_curve(steps_value, nullptr, &steps_kind, n_steps.get());
    if (!curve) return Ref();
    Curve* c = as<Curve>(curve.get());
    c->steps = easing::make_steps(static_cast<double>(n), position);
    c->step_position = position;
    return curve;
}

PyObject* steps_entry(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    PyObject* a[2];
    if (!parse_args(steps_params_def, args, nargs, kwnames, a)) return nullptr;
    if (!PyLong_Check(a[0])) {
        PyErr_Format(PyExc_TypeError, "steps() needs an int n, got %.100s", Py_TYPE(a[0])->tp_name);
        return nullptr;
    }
    int overflow;
    long long n = PyLong_AsLongLongAndOverflow(a[0], &overflow);
    if (n == -1 && PyErr_Occurred()) return nullptr;
    if (overflow) n = overflow > 0 ? max_steps : -1;
    if (!PyUnicode_Check(a[1])) {
        PyErr_Format(PyExc_TypeError, "steps() needs a str position, got %.100s", Py_TYPE(a[1])->tp_name);
        return nullptr;
    }
    for (const PositionName& p : position_names)
        if (PyUnicode_CompareWithASCIIString(a[1], p.text) == 0) return make_steps_curve(n, p.position).release();
    PyErr_Format(PyExc_ValueError, "steps() needs a position of %s, got %R", positions_text, a[1]);
    return nullptr;
}

const MethodDef steps_def{
    steps_params_def, steps_entry, nullptr, MethodDef::function, nullptr,
    "The CSS `steps(n, position)` timing function as a curve: n equal steps.\n"
    "\n"
    "The position says where the jumps are, as in CSS: 'jump-end' (the\n"
    "default; also 'end') jumps at the end of each step, so the curve holds 0\n"
    "until the first step ends; 'jump-start' (also 'start') at the start of\n"
    "each, so it is 1/n from progress 0 on; 'jump-none' at neither end (n - 1\n"
    "jumps, from 0 to 1; n must be at least 2); 'jump-both' at both (n + 1\n"
    "jumps). n is an int of at least 1. At a step's edge the curve already\n"
    "has the value after the jump. Progress is clamped to [0, 1], where the\n"
    "curve has the value CSS gives it (1/n at 0 for 'jump-start'). Equal\n"
    "parameters give equal curves ('start' is 'jump-start')."};

// ===========================================================================
// linear_stops()
// ===========================================================================

PyObject* stops_params(const Curve* c) {
    const Stops& s = c->stops;
    Ref all = Ref::steal(PyTuple_New(s.count));
    if (!all) return nullptr;
    for (Py_ssize_t i = 0; i < s.count; ++i) {
        PyObject* stop = Py_BuildValue("(dd)", s.out()[i], s.in[i]);
        if (!stop) return nullptr;
        PyTuple_SET_ITEM(all.get(), i, stop);
    }
    return all.release();
}
const MadeKind stops_kind{n_linear_stops, stops_params,
                          "A CSS linear() curve, made by linear_stops(); its repr gives its points as (output, input).",
                          Params("linear_stops", curve_call_param_list)};

constexpr Param linear_stops_star{.name = n_stops,
                                  .annotation = "float | tuple[float, float] | tuple[float, float, float]"};
const Params linear_stops_params{"linear_stops", linear_stops_star};

// One stop as given: an output and none, one or two inputs (NaN: none).
struct Stop {
    double out, in[2];
    int inputs;
};

// CSS's rules for a list of stops: an input never goes back below the
// largest before it; the first stop without one is at 0, the last at 1 (or
// the largest before it); a run without inputs is spread evenly between the
// inputs on either side.  `out` gets count inputs then count outputs, count
// the stops plus one for each stop with two inputs.
void place_stops(const Stop* stops, Py_ssize_t given, double* in, double* out) {
    double largest = -HUGE_VAL;
    Py_ssize_t k = 0;
    for (Py_ssize_t i = 0; i < given; ++i) {
        const Stop& s = stops[i];
        for (int j = 0; j < (s.inputs ? s.inputs : 1); ++j, ++k) {
            out[k] = s.out;
            in[k] = NAN;
            if (s.inputs) {
                in[k] = std::max(s.in[j], largest);
                largest = in[k];
            } else if (i == 0) {
                in[k] = largest = 0;
            } else if (i == given - 1) {
                in[k] = std::max(1.0, largest);
            }
        }
    }
    // Runs without inputs (never the first or the last point).
    for (Py_ssize_t i = 1; i < k; ++i) {
        if (!std::isnan(in[i])) continue;
        Py_ssize_t end = i;
        while (std::isnan(in[end])) ++end;
        double a = in[i - 1], b = in[end];
        auto gaps = static_cast<double>(end - i + 1);
        for (Py_ssize_t j = i; j < end; ++j) in[j] = a + (b - a) * (static_cast<double>(j - i + 1) / gaps);
        i = end;
    }
}

[[gnu::cold]] void stop_error(Py_ssize_t i, PyObject* stop, const char* what) {
    PyErr_Format(PyExc_ValueError, "linear_stops() needs %s; stops[%zd] is %R", what, i, stop);
}

// The curve of the given stops, or null with the error set.
[[nodiscard]] Ref make_stops_curve(const Stop* stops, Py_ssize_t given) {
    if (given < 2) {
        PyErr_Format(PyExc_ValueError, "linear_stops() needs at least two stops, got %zd", given);
        return Ref();
    }
    Py_ssize_t count = 0;
    for (Py_ssize_t i = 0; i < given; ++i) count += stops[i].inputs > 1 ? 2 : 1;
    Ref curve = new_curve(stops_value, nullptr, &stops_kind, n_linear_stops.get());
    if (!curve) return Ref();
    Curve* c = as<Curve>(curve.get());
    c->stops.in = PyMem_New(double, 2 * static_cast<std::size_t>(count));
    if (!c->stops.in) {
        PyErr_NoMemory();
        return Ref();
    }
    c->stops.count = count;
    place_stops(stops, given, c->stops.in, c->stops.in + count);
    return curve;
}

// A stop as linear_stops() takes it: an output, or (output, input) or
// (output, input, input), inputs as fractions of 1.
[[nodiscard]] bool read_stop(Py_ssize_t i, PyObject* o, Stop& s) {
    s.inputs = 0;
    PyObject* out = o;
    if (PyTuple_Check(o)) {
        Py_ssize_t n = PyTuple_GET_SIZE(o);
        if (n < 2 || n > 3) {
            stop_error(i, o, "each stop as an output, (output, input) or (output, input, input)");
            return false;
        }
        out = PyTuple_GET_ITEM(o, 0);
        s.inputs = static_cast<int>(n - 1);
        for (int j = 0; j < s.inputs; ++j) {
            if (!to_double(PyTuple_GET_ITEM(o, j + 1), s.in[j])) return false;
            if (!std::isfinite(s.in[j])) {
                stop_error(i, o, "finite inputs");
                return false;
            }
        }
    }
    if (!to_double(out, s.out)) return false;
    if (!std::isfinite(s.out)) {
        stop_error(i, o, "finite outputs");
        return false;
    }
    return true;
}

PyObject* linear_stops_entry(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    if (kwnames && PyTuple_GET_SIZE(kwnames)) {
        PyErr_SetString(PyExc_TypeError, "linear_stops() takes no keyword arguments");
        return nullptr;
    }
    Stop* stops = PyMem_New(Stop, static_cast<std::size_t>(nargs ? nargs : 1));
    if (!stops) return PyErr_NoMemory();
    Ref curve;
    bool ok = true;
    for (Py_ssize_t i = 0; ok && i < nargs; ++i) ok = read_stop(i, args[i], stops[i]);
    if (ok) curve = make_stops_curve(stops, nargs);
    PyMem_Free(stops);
    return curve.release();
}

const MethodDef linear_stops_def{
    linear_stops_params, linear_stops_entry, nullptr, MethodDef::function, nullptr,
    "The CSS `linear()` timing function as a curve: straight lines through stops.\n"
    "\n"
    "Each stop is an output, or an (output, input) or (output, input, input)\n"
    "tuple, inputs as fractions of 1 (CSS's 75% is 0.75; two inputs hold the\n"
    "output from the first to the second). As in CSS: at least two stops; an\n"
    "input below one before it counts as that one; a first stop without an\n"
    "input is at 0 and a last one at 1; stops without inputs between others\n"
    "are spread evenly. Where two points share an input the curve jumps to\n"
    "the later output. Progress is clamped to [0, 1], where the curve has the\n"
    "value of its lines (not necessarily 0 and 1). Outputs and inputs must be\n"
    "finite. Curves with equal points are equal; the repr lists the points\n"
    "as (output, input)."};

// ===========================================================================
// from_css()
// ===========================================================================

// A reader of CSS's <easing-function> as the CSS syntax tokenizes it: names
// and function names without regard to ASCII case, numbers with CSS's
// spelling, whitespace and comments between tokens.
struct CssReader {
    const char* text;
    Py_ssize_t size, at = 0;
    PyObject* given;  // the str, for messages

    // Columns count characters from 1 (the reader counts bytes of UTF-8).
    Py_ssize_t column(Py_ssize_t where) const {
        Py_ssize_t c = 1;
        for (Py_ssize_t i = 0; i < where; ++i) c += (static_cast<unsigned char>(text[i]) & 0xC0) != 0x80;
        return c;
    }

    [[gnu::cold]] void fail(Py_ssize_t where, const char* expected) const {
        PyErr_Format(PyExc_ValueError, "from_css() cannot read %R: expected %s at column %zd", given, expected,
                     column(where));
    }

    static bool space(char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\r' || c == '\f'; }

    void skip_space() {
        for (;;) {
            while (at < size && space(text[at])) ++at;
            if (at + 1 < size && text[at] == '/' && text[at + 1] == '*') {
                const char* end = nullptr;
                for (Py_ssize_t i = at + 2; i + 1 < size; ++i)
                    if (text[i] == '*' && text[i + 1] == '/') {
                        end = text + i + 2;
                        break;
                    }
                at = end ? end - text : size;  // an unclosed comment runs to the end, as in CSS
                continue;
            }
            return;
        }
    }

    static bool name_char(char c) {
        return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '-' || c == '_';
    }

    // A name at the reader (letters, digits, '-' and '_'); its length.
    Py_ssize_t name_length() const {
        Py_ssize_t n = 0;
        while (at + n < size && name_char(text[at + n])) ++n;
        return n;
    }

    bool name_is(Py_ssize_t length, const char* word) const {
        if (static_cast<std::size_t>(length) != std::strlen(word)) return false;
        for (Py_ssize_t i = 0; i < length; ++i) {
            char c = text[at + i];
            if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
            if (c != word[i]) return false;
        }
        return true;
    }

    bool at_calc() const {
        Py_ssize_t n = name_length();
        return name_is(n, "calc") && at + n < size && text[at + n] == '(';
    }

    bool digit(Py_ssize_t i) const { return i < size && text[i] >= '0' && text[i] <= '9'; }

    // A CSS number token: sign, digits with an optional fraction (or a
    // fraction alone), an optional exponent.  `integer` says it had neither
    // fraction nor exponent; `percent` that a '%' followed.
    bool number(double& value, bool& integer, bool& percent) {
        Py_ssize_t start = at, i = at;
        if (i < size && (text[i] == '+' || text[i] == '-')) ++i;
        Py_ssize_t digits = i;
        while (digit(i)) ++i;
        integer = true;
        if (i < size && text[i] == '.' && digit(i + 1)) {
            integer = false;
            ++i;
            while (digit(i)) ++i;
        }
        if (i == digits) return false;
        if (i < size && (text[i] == 'e' || text[i] == 'E')) {
            Py_ssize_t e = i + 1;
            if (e < size && (text[e] == '+' || text[e] == '-')) ++e;
            if (digit(e)) {
                integer = false;
                i = e;
                while (digit(i)) ++i;
            }
        }
        // The token checked, Python's own conversion reads it (correctly rounded).
        char* end = nullptr;
        value = PyOS_string_to_double(text + start, &end, nullptr);
        if (value == -1.0 && PyErr_Occurred()) return false;
        if (end != text + i) return false;
        percent = i < size && text[i] == '%';
        at = i + (percent ? 1 : 0);
        if (!percent && name_length() > 0) return false;  // a dimension, like 4px
        return true;
    }
};

// A finite number; with `want_percent`, a percentage (given as a fraction of 1).
[[nodiscard]] bool read_number(CssReader& r, bool want_percent, double& value, bool* integer = nullptr) {
    r.skip_space();
    Py_ssize_t start = r.at;
    bool is_integer, percent;
    if (!r.number(value, is_integer, percent) || percent != want_percent || !std::isfinite(value)) {
        if (PyErr_Occurred()) return false;
        r.at = start;
        r.fail(start, r.at_calc() ? "a number, not calc(), which from_css() does not evaluate"
                      : want_percent ? "a percentage" : integer ? "an integer" : "a number");
        return false;
    }
    if (integer && !is_integer) {
        r.fail(start, "an integer");
        return false;
    }
    if (integer) *integer = is_integer;
    if (percent) value /= 100;
    return true;
}

[[nodiscard]] bool read_char(CssReader& r, char c, const char* expected) {
    r.skip_space();
    if (r.at < r.size && r.text[r.at] == c) {
        ++r.at;
        return true;
    }
    r.fail(r.at, expected);
    return false;
}

// A function's closing ')': the end of the text closes it too, as in CSS.
[[nodiscard]] bool read_close(CssReader& r) {
    r.skip_space();
    return r.at == r.size || read_char(r, ')', "')'");
}

// True when the next token is a comma (and takes it); false at ')' or the end.
[[nodiscard]] bool more(CssReader& r, bool& error) {
    r.skip_space();
    error = false;
    if (r.at < r.size && r.text[r.at] == ',') {
        ++r.at;
        return true;
    }
    if (r.at == r.size || r.text[r.at] == ')') return false;
    error = true;
    r.fail(r.at, "',' or ')'");
    return false;
}

// Adds where a factory's own error happened to its message.
[[gnu::cold]] void add_column(const CssReader& r, Py_ssize_t where) {
    if (!PyErr_ExceptionMatches(PyExc_ValueError)) return;
    Ref exc = Ref::steal(PyErr_GetRaisedException());
    Ref message = Ref::steal(PyObject_Str(exc.get()));
    if (!message) return;
    PyErr_Format(PyExc_ValueError, "from_css() cannot read %R: %U, at column %zd", r.given, message.get(),
                 r.column(where));
}

[[nodiscard]] Ref read_cubic_bezier(CssReader& r) {
    Py_ssize_t start = r.at;
    double v[4];
    for (int i = 0; i < 4; ++i) {
        if (!read_number(r, false, v[i])) return Ref();
        if (i < 3 && !read_char(r, ',', "','")) return Ref();
    }
    if (!read_close(r)) return Ref();
    Ref given[4];
    PyObject* shown[4];
    for (int i = 0; i < 4; ++i) {
        given[i] = Ref::steal(PyFloat_FromDouble(v[i]));
        if (!given[i]) return Ref();
        shown[i] = given[i].get();
    }
    Ref curve = make_bezier_curve(v, shown);
    if (!curve) add_column(r, start);
    return curve;
}

[[nodiscard]] Ref read_steps(CssReader& r) {
    r.skip_space();
    Py_ssize_t start = r.at;
    double n;
    bool integer = true;
    if (!read_number(r, false, n, &integer)) return Ref();
    easing::StepPosition position = easing::StepPosition::jump_end;
    bool error;
    if (more(r, error)) {
        r.skip_space();
        Py_ssize_t length = r.name_length();
        const PositionName* found = nullptr;
        for (const PositionName& p : position_names)
            if (r.name_is(length, p.text)) found = &p;
        if (!found) {
            r.fail(r.at, "a step position (jump-start, jump-end, jump-none, jump-both, start or end)");
            return Ref();
        }
        r.at += length;
        position = found->position;
    } else if (error) {
        return Ref();
    }
    if (!read_close(r)) return Ref();
    long long count = n >= static_cast<double>(max_steps) ? max_steps : static_cast<long long>(n < -1 ? -1 : n);
    Ref curve = make_steps_curve(count, position);
    if (!curve) add_column(r, start);
    return curve;
}

// A stop: a number and up to two percentages, the number before or after them.
[[nodiscard]] bool read_linear_stop(CssReader& r, Stop& s) {
    bool have_out = false;
    int inputs_before_out = 0;
    s.inputs = 0;
    for (;;) {
        r.skip_space();
        Py_ssize_t here = r.at;
        if (here == r.size || r.text[here] == ',' || r.text[here] == ')') break;
        bool integer, percent;
        double v;
        if (!r.number(v, integer, percent) || !std::isfinite(v)) {
            if (PyErr_Occurred()) return false;
            r.fail(here, r.at_calc() ? "a number, not calc(), which from_css() does not evaluate"
                         : have_out ? "a percentage, ',' or ')'" : "a number or a percentage");
            return false;
        }
        if (!percent) {
            if (have_out) {
                r.fail(here, "a percentage, ',' or ')'");
                return false;
            }
            s.out = v;
            have_out = true;
            inputs_before_out = s.inputs;
        } else {
            // The percentages are one group: both before the number or both after.
            if (s.inputs == 2 || (have_out && inputs_before_out > 0)) {
                r.fail(here, "',' or ')'");
                return false;
            }
            s.in[s.inputs++] = v / 100;
        }
    }
    if (!have_out) {
        r.fail(r.at, "a number");
        return false;
    }
    return true;
}

[[nodiscard]] Ref read_linear(CssReader& r) {
    Py_ssize_t start = r.at;
    Py_ssize_t capacity = 8, given = 0;
    Stop* stops = PyMem_New(Stop, static_cast<std::size_t>(capacity));
    if (!stops) {
        PyErr_NoMemory();
        return Ref();
    }
    Ref curve;
    bool ok = true, error = false;
    do {
        if (given == capacity) {
            capacity *= 2;
            Stop* more_stops = PyMem_Resize(stops, Stop, static_cast<std::size_t>(capacity));
            if (!more_stops) {
                PyErr_NoMemory();
                ok = false;
                break;
            }
            stops = more_stops;
        }
        ok = read_linear_stop(r, stops[given++]);
    } while (ok && more(r, error));
    if (ok && !error && read_close(r)) {
        curve = make_stops_curve(stops, given);
        if (!curve) add_column(r, start);
    }
    PyMem_Free(stops);
    return curve;
}

constexpr Param from_css_param_list[] = {{.name = n_text, .annotation = "str"}};
const Params from_css_params{"from_css", from_css_param_list};

// CSS's keywords, hyphenated, and the module attribute each names.
Name n_linear{"linear"};
Name n_ease{"ease"};
Name n_ease_in{"ease_in"};
Name n_ease_out{"ease_out"};
Name n_ease_in_out{"ease_in_out"};
Name n_step_start{"step_start"};
Name n_step_end{"step_end"};
struct CssKeyword {
    const char* css;
    const Name& attribute;
};
const CssKeyword css_keywords[] = {
    {"linear", n_linear},           {"ease", n_ease},                 {"ease-in", n_ease_in},
    {"ease-out", n_ease_out},       {"ease-in-out", n_ease_in_out},   {"step-start", n_step_start},
    {"step-end", n_step_end},
};

[[nodiscard]] Ref read_easing(CssReader& r) {
    r.skip_space();
    Py_ssize_t start = r.at, length = r.name_length();
    bool function = r.at + length < r.size && r.text[r.at + length] == '(';
    if (length > 0 && !function) {
        for (const CssKeyword& k : css_keywords) {
            if (!r.name_is(length, k.css)) continue;
            r.at += length;
            return lookup_global(k.attribute);
        }
    } else if (function) {
        struct {
            const char* name;
            Ref (*read)(CssReader&);
        } const functions[] = {{"cubic-bezier", read_cubic_bezier}, {"steps", read_steps}, {"linear", read_linear}};
        for (const auto& f : functions) {
            if (!r.name_is(length, f.name)) continue;
            r.at += length + 1;
            return f.read(r);
        }
    }
    r.fail(start,
           "an easing function (linear, ease, ease-in, ease-out, ease-in-out, step-start, step-end, "
           "cubic-bezier(), steps() or linear())");
    return Ref();
}

PyObject* from_css_entry(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    PyObject* text;
    if (!parse_args(from_css_params, args, nargs, kwnames, &text)) return nullptr;
    if (!PyUnicode_Check(text)) {
        PyErr_Format(PyExc_TypeError, "from_css() needs a str, got %.100s", Py_TYPE(text)->tp_name);
        return nullptr;
    }
    Py_ssize_t size;
    const char* utf8 = PyUnicode_AsUTF8AndSize(text, &size);
    if (!utf8) return nullptr;
    CssReader r{utf8, size, 0, text};
    Ref curve = read_easing(r);
    if (!curve) {
        if (!PyErr_Occurred()) r.fail(r.at, "an easing function");
        return nullptr;
    }
    r.skip_space();
    if (r.at != r.size) {
        r.fail(r.at, "the end of the text");
        return nullptr;
    }
    return curve.release();
}

const MethodDef from_css_def{
    from_css_params, from_css_entry, nullptr, MethodDef::function, nullptr,
    "The curve of a CSS `<easing-function>`, as a stylesheet or a design tool writes it.\n"
    "\n"
    "Takes the keywords (`linear`, `ease`, `ease-in`, `ease-out`,\n"
    "`ease-in-out`, `step-start`, `step-end`, giving the named curves) and\n"
    "the functions `cubic-bezier()`, `steps()` and `linear()` (giving what\n"
    "`cubic_bezier()`, `steps()` and `linear_stops()` give), with CSS's\n"
    "spelling: any ASCII case, whitespace and comments between tokens,\n"
    "numbers like `.5` and `1e-1`, percentages for linear()'s inputs.\n"
    "Anything else raises ValueError naming the column where reading\n"
    "stopped and what was expected there."};

// ===========================================================================
// The families: PolyCurve, BackCurve and ElasticCurve
// ===========================================================================
//
// The named poly, back and elastic curves are each of a subtype of Curve per
// family, whose methods (exponent(), overshoot(), amplitude() and period())
// give the curve of the same kind with one parameter changed; the curves
// they make are of that subtype too, so the methods chain, and exist only
// where they mean something.  A made curve compares and hashes by its kind
// and parameters, pickles as the method call that makes it, and its repr is
// the expression that makes it.

Name n_PolyCurve{"PolyCurve"};
Name n_BackCurve{"BackCurve"};
Name n_ElasticCurve{"ElasticCurve"};
Name n_exponent{"exponent"};
Name n_overshoot{"overshoot"};
Name n_amplitude{"amplitude"};
Name n_period{"period"};
Name n_e{"e"};
Name n_s{"s"};
Name n_a{"a"};
Name n_p{"p"};

// By easing::Family.
PyTypeObject family_types[] = {static_type_object(), static_type_object(), static_type_object()};
char family_type_names[std::size(family_types)][128];

PyTypeObject& type_of_family(const easing::NamedFamily* f) { return family_types[static_cast<int>(f->family)]; }

// A family's parameters as its methods take them: (exponent), (overshoot),
// (amplitude, period); each family's defaults are those of its named curves.
struct FamilyArgs {
    double first, second;
};
FamilyArgs family_args(const Curve* c) {
    const easing::FamilyParams& p = c->params;
    switch (c->family->family) {
    case easing::Family::poly: return {p.poly.e, 0};
    case easing::Family::back: return {p.back.s, 0};
    case easing::Family::elastic: break;
    }
    return {p.elastic.amplitude, p.elastic.period};
}

PyObject* family_params(const Curve* c) {
    FamilyArgs v = family_args(c);
    return c->family->family == easing::Family::elastic ? Py_BuildValue("(dd)", v.first, v.second)
                                                         : Py_BuildValue("(d)", v.first);
}

// "Quillmoor.utils.easing.elastic_in.amplitude(1.5).period(0.2)".
PyObject* family_repr(const Curve* c) {
    FamilyArgs v = family_args(c);
    Ref first = Ref::steal(PyFloat_FromDouble(v.first));
    if (!first) return nullptr;
    switch (c->family->family) {
    case easing::Family::poly: return PyUnicode_FromFormat("%U.%U.exponent(%R)", g_state.name, c->name, first.get());
    case easing::Family::back: return PyUnicode_FromFormat("%U.%U.overshoot(%R)", g_state.name, c->name, first.get());
    case easing::Family::elastic: break;
    }
    Ref second = Ref::steal(PyFloat_FromDouble(v.second));
    if (!second) return nullptr;
    return PyUnicode_FromFormat("%U.%U.amplitude(%R).period(%R)", g_state.name, c->name, first.get(), second.get());
}

PyObject* family_reduce(const Curve* c);

// By easing::Family: the method that makes a family's curves (and pickles
// them), their __doc__, and the parameters of the family's named curves.
struct FamilyFacts {
    const Name& factory;
    const char* made_doc;
    FamilyArgs defaults;
};
constexpr FamilyFacts family_facts[] = {
    {n_exponent, "A polynomial curve made by exponent(); its repr is the expression that makes it.",
     {easing::poly_default, 0}},
    {n_overshoot, "A back curve made by overshoot(); its repr is the expression that makes it.",
     {easing::back_default.s, 0}},
    {n_amplitude, "An elastic curve made by amplitude() or period(); its repr is the expression that makes it.",
     {easing::elastic_amplitude_default, easing::elastic_period_default}},
};
constexpr const FamilyFacts& facts_of(const easing::NamedFamily* f) {
    return family_facts[static_cast<std::size_t>(f->family)];
}

// What a family's curve reads: its family, its parameters and its shape.
void fill_family(Curve* c, const easing::NamedFamily* f, FamilyArgs v) {
    c->family = f;
    c->family_shape = easing::make_family(c->params, f->family, f->ease, v.first, v.second);
}

// One kind per named curve of the families, in the order of easing::named_families.
consteval MadeKind family_kind_at(std::size_t i) {
    const easing::NamedFamily& f = easing::named_families[i];
    return {facts_of(&f).factory, family_params, facts_of(&f).made_doc, Params(f.name, curve_call_param_list),
            family_repr, family_reduce};
}
template <std::size_t... I>
consteval std::array<MadeKind, sizeof...(I)> make_family_kinds(std::index_sequence<I...>) {
    return {family_kind_at(I)...};
}
constexpr auto family_kinds = make_family_kinds(std::make_index_sequence<std::size(easing::named_families)>());

// The curve of kind `f` with the parameters (first, second), named `name`
// (the kind's), of the family's type.
[[nodiscard]] Ref make_family_curve(const easing::NamedFamily* f, PyObject* name, FamilyArgs v) {
    const MadeKind* kind = family_kinds.data() + (f - easing::named_families);
    Ref curve = new_curve(family_value, nullptr, kind, name, &type_of_family(f));
    if (curve) fill_family(as<Curve>(curve.get()), f, v);
    return curve;
}

// Pickled as the method call that makes the curve from its named curve:
// (poly_in.exponent, (e,)); an elastic curve of the named curves' period as
// (elastic_in.amplitude, (a,)), of another as (elastic_in.amplitude(a).period, (p,)).
PyObject* family_reduce(const Curve* c) {
    FamilyArgs v = family_args(c);
    const Name* method = &facts_of(c->family).factory;
    double arg = v.first;
    bool other_period = c->family->family == easing::Family::elastic && v.second != easing::elastic_period_default;
    Ref base = other_period ? make_family_curve(c->family, c->name, {v.first, easing::elastic_period_default})
                            : lookup_global(c->name);
    if (!base) return nullptr;
    if (other_period) {
        method = &n_period;
        arg = v.second;
    }
    Ref bound = Ref::steal(PyObject_GetAttr(base.get(), method->get()));
    if (!bound) return nullptr;
    return Py_BuildValue("O(d)", bound.get(), arg);
}

// -- the methods -------------------------------------------------------------------

// What a method checks its parameter for.
enum class Needs { finite, above_zero };

// The curve of self's kind with parameter `slot` (0 or 1) set to the one given.
template <const Params& P, int Slot, Needs N>
PyObject* family_method_entry(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    PyObject* given;
    if (!parse_args(P, args, nargs, kwnames, &given)) return nullptr;
    double v;
    if (!to_double(given, v)) return nullptr;
    if (!std::isfinite(v) || (N == Needs::above_zero && !(v > 0))) {
        PyErr_Format(PyExc_ValueError, "%s() needs a finite %s%s, got %R", P.func, P.params[0].name.text,
                     N == Needs::above_zero ? " above 0" : "", given);
        return nullptr;
    }
    const Curve* c = as<Curve>(self);
    FamilyArgs a = family_args(c);
    (Slot == 0 ? a.first : a.second) = v;
    return make_family_curve(c->family, c->name, a).release();
}

constexpr Param exponent_param_list[] = {{.name = n_e, .annotation = "float"}};
constexpr Param overshoot_param_list[] = {{.name = n_s, .annotation = "float"}};
constexpr Param amplitude_param_list[] = {{.name = n_a, .annotation = "float"}};
constexpr Param period_param_list[] = {{.name = n_p, .annotation = "float"}};
constexpr Params exponent_params{"exponent", exponent_param_list};
constexpr Params overshoot_params{"overshoot", overshoot_param_list};
constexpr Params amplitude_params{"amplitude", amplitude_param_list};
constexpr Params period_params{"period", period_param_list};

const MethodDef exponent_def = method<family_method_entry<exponent_params, 0, Needs::above_zero>>(
    exponent_params, MethodDef::method, nullptr,
    "The curve of this kind with exponent e instead: t^e (poly_in), 1 - (1 - t)^e\n"
    "(poly_out) or their halves (poly_in_out).\n"
    "\n"
    "e is a finite float above 0; e = 1 to 5 give the linear, quad, cubic,\n"
    "quart and quint curves' very values.");
const MethodDef overshoot_def = method<family_method_entry<overshoot_params, 0, Needs::finite>>(
    overshoot_params, MethodDef::method, nullptr,
    "The curve of this kind with overshoot s instead: t²((s + 1)t - s) (back_in),\n"
    "turned around (back_out) or halved (back_in_out, s not scaled).\n"
    "\n"
    "s is any finite float: the named curves' 1.70158 dips about 10 %, 0 gives\n"
    "the cubic curves, a negative s no dip at all.");
const MethodDef amplitude_def = method<family_method_entry<amplitude_params, 0, Needs::finite>>(
    amplitude_params, MethodDef::method, nullptr,
    "The curve of this kind with amplitude a instead, its period kept.\n"
    "\n"
    "a is a finite float; below 1 it is taken as 1 (as d3-ease does), so that\n"
    "the curve still starts at 0 and ends at 1. A larger amplitude swings\n"
    "further, and the phase moves so that the wave still meets the envelope's\n"
    "start.");
const MethodDef period_def = method<family_method_entry<period_params, 1, Needs::above_zero>>(
    period_params, MethodDef::method, nullptr,
    "The curve of this kind with period p instead (in units of progress), its\n"
    "amplitude kept.\n"
    "\n"
    "p is a finite float above 0; the named curves' is 0.3.");

const MethodDef* const poly_methods[] = {&exponent_def};
const MethodDef* const back_methods[] = {&overshoot_def};
const MethodDef* const elastic_methods[] = {&amplitude_def, &period_def};

// By easing::Family.
struct FamilyClass {
    const char* name;
    const Name& binding;
    std::span<const MethodDef* const> methods;
    const char* doc;
};
const FamilyClass family_classes[] = {
    {"PolyCurve", n_PolyCurve, poly_methods,
     "A polynomial curve: poly_in, poly_out, poly_in_out and the curves their exponent() makes.\n"
     "\n"
     "d3-ease's polynomial curves: t^e, 1 - (1 - t)^e and the two halved, for\n"
     "any exponent e above 0 (3 for the named curves). A made curve is equal\n"
     "to another of its kind and exponent; its repr is the expression that\n"
     "makes it."},
    {"BackCurve", n_BackCurve, back_methods,
     "A back curve: back_in, back_out, back_in_out and the curves their overshoot() makes.\n"
     "\n"
     "d3-ease's back curves, t²((s + 1)t - s) and its turned and halved forms,\n"
     "for any finite overshoot s (1.70158 for the named curves). A made curve\n"
     "is equal to another of its kind and overshoot; its repr is the\n"
     "expression that makes it."},
    {"ElasticCurve", n_ElasticCurve, elastic_methods,
     "An elastic curve: elastic_in, elastic_out, elastic_in_out and the curves their amplitude() and period() make.\n"
     "\n"
     "d3-ease's elastic curves: a sine of period p under the exponential\n"
     "envelope, amplitude a at least 1 (1 and 0.3 for the named curves, whose\n"
     "period is exactly 3/10), rescaled to run exactly from 0 to 1. A made\n"
     "curve is equal to another of its kind, amplitude and period; its repr is\n"
     "the expression that makes it, `elastic_in.amplitude(1.5).period(0.2)`."},
};

static_assert(std::size(family_classes) == std::size(family_types) &&
                  std::size(family_facts) == std::size(family_types),
              "one of each per family, in the order of easing::Family");

// Each instance's own __doc__, as Curve's (the class's tp_doc is the class's).
PyGetSetDef family_getset[] = {
    {"__doc__", curve_doc_get, nullptr, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

// Readies each family's type (a subtype of Curve, as final as it), puts its
// methods in its dict and binds it.
[[nodiscard]] bool make_family_types() {
    for (std::size_t i = 0; i < std::size(family_classes); ++i) {
        const FamilyClass& f = family_classes[i];
        PyTypeObject& type = family_types[i];
        bool readied = ready_static_type(type, [&](PyTypeObject& t) {
            fill_curve_type(t, family_type_names[i], f.name, f.doc);
            t.tp_base = &curve_type;
            t.tp_getset = family_getset;
        });
        if (!readied || !add_functions(type, f.name, f.methods, g_state.name) ||
            !bind(f.binding, reinterpret_cast<PyObject*>(&type)))
            return false;
    }
    return true;
}

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

// The capsule a glide cell finds in Curve's dict (curve_call.hpp).
[[nodiscard]] bool publish_curve_call() {
    Ref capsule = Ref::steal(PyCapsule_New(const_cast<CurveCall*>(&curve_call), curve_call_name, nullptr));
    if (!capsule) return false;
    Ref dict = Ref::steal(PyType_GetDict(&curve_type));
    if (!dict || PyDict_SetItemString(dict.get(), curve_call_name, capsule.get()) < 0) return false;
    PyType_Modified(&curve_type);
    return true;
}

// Readies Curve, puts its methods and the glide cell's capsule in its dict and binds it.
[[nodiscard]] bool make_curve_type() {
    bool readied = ready_static_type(curve_type, [](PyTypeObject& t) {
        fill_curve_type(t, curve_type_name, curve_class_name, curve_doc);
        t.tp_dealloc = curve_dealloc;
        t.tp_repr = curve_repr;
        t.tp_richcompare = curve_richcompare;
        t.tp_hash = curve_hash;
        t.tp_members = curve_members;
        t.tp_getset = curve_getset;
        t.tp_descr_get = curve_descr_get;
    });
    return readied && add_functions(curve_type, curve_class_name, curve_methods, g_state.name) &&
           publish_curve_call() && bind(n_Curve, reinterpret_cast<PyObject*>(&curve_type));
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
        Ref curve = new_curve(n.value, &n, nullptr, name.get(),
                              n.family ? &type_of_family(n.family) : &curve_type);
        if (!curve) return false;
        Curve* c = as<Curve>(curve.get());
        c->shape = n.shape;
        if (n.family) fill_family(c, n.family, facts_of(n.family).defaults);
        if (n.bezier) easing::make_bezier(c->bezier, n.bezier->x1, n.bezier->y1, n.bezier->x2, n.bezier->y2);
        if (n.value == steps_value) {
            c->steps = easing::make_steps(1, n.step_position);
            c->step_position = n.step_position;
        }
        if (!bind(name.get(), curve.get())) return false;
        PyTuple_SET_ITEM(all.get(), i, curve.release());
    }
    return bind(n_curves, all.get());
}

const MethodDef* const module_functions[] = {&cubic_bezier_def, &steps_def, &linear_stops_def, &from_css_def,
                                             &primitive_def};

[[nodiscard]] bool make_functions() {
    for (const MethodDef* def : module_functions) {
        Ref f = make_function(*def, nullptr, nullptr, g_state.name);
        if (!f || !bind(reinterpret_cast<FunctionObject*>(f.get())->name, f.get())) return false;
    }
    return true;
}

const BodyStep easing_body[] = {
    custom_step(make_curve_type),
    custom_step(make_family_types),
    custom_step(make_named_curves),
    custom_step(make_functions),
};

const ModuleDef easing_module{
    easing_module_name, {}, easing_body,
    "The standard easing curves, ready to hand to a glide cell as its interpolation function.\n"
    "\n"
    "Every curve is a `Curve`: `curve(start, target, progress)` returns\n"
    "`start + (target - start) * curve.at(progress)`, and `curve.at(progress)`\n"
    "the bare value. The named curves are module attributes, listed in order by\n"
    "`curves`. The named formulas compute what d3-ease 3.x computes with its\n"
    "defaults (quart and quint are its polynomial curves with exponents 4 and\n"
    "5; back overshoots with 1.70158, elastic has amplitude 1 and period 0.3,\n"
    "the exponential and elastic curves are rescaled to run exactly from 0 to\n"
    "1), to within 1e-12; each gives exactly 0.0 at 0 and 1.0 at 1. The CSS\n"
    "timing functions are here too: the keywords as named curves (`ease`,\n"
    "`ease_in`, `ease_out`, `ease_in_out`, `step_start`, `step_end`), and\n"
    "`cubic_bezier()`, `steps()` and `linear_stops()` for CSS's functions;\n"
    "`from_css()` reads any of them from CSS text. The polynomial, back and\n"
    "elastic curves take other parameters as d3-ease's do, through their\n"
    "methods: `poly_in.exponent(2.5)`, `back_out.overshoot(3)`,\n"
    "`elastic_in.amplitude(1.5).period(0.2)`. Every curve gives the same bits\n"
    "on every platform: the curves use their own sine, cosine, exponential and\n"
    "logarithm, not the platform's maths library, and keep their precision at\n"
    "tiny progress, where the published formulas cancel."};

}  // namespace
}  // namespace qm

PyMODINIT_FUNC PyInit_easing() { return qm::module_init(qm::easing_module); }
