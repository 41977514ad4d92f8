// Quillmoor.utils.mean: a running mean of float samples.
//
// Mean keeps a single-precision sum and a 32-bit count and derives the mean
// on request.  Every sample is rounded to single precision before it is
// added, and the addition itself is done in single precision, so the class
// reports only values a float can hold.
//
// Plain instances never look up overrides (the type is immutable and has no
// instance dict), so add() with an exact float touches no Python object at
// all.  extend() and += call add through the override rule, so a Python
// subclass sees every sample pass through its own add.

#include "frame/frame.hpp"

namespace qm {
namespace {

Name n_value{"value"};
Name n_values{"values"};
Name n_add{"add"};
Name n_extend{"extend"};
Name n_clear{"clear"};
Name n_get_value{"get_value"};
Name n_unpickle_Mean{"__pyx_unpickle_Mean"};

// ===========================================================================
// Mean
// ===========================================================================

struct Mean;

// Every slot returns a new reference: the object itself (or, for get_value,
// the mean), or whatever a Python override returned; null with an exception set.
struct MeanVTable {
    PyObject* (*add)(Mean*, float value, int skip_dispatch);
    PyObject* (*extend)(Mean*, PyObject* values, int skip_dispatch);
    PyObject* (*clear)(Mean*, int skip_dispatch);
    PyObject* (*get_value)(Mean*, int skip_dispatch);
};

struct Mean {
    PyObject_HEAD
    const MeanVTable* vtab;
    float sum;
    std::int32_t count;
};

extern const MeanVTable mean_vtable;

const Member mean_members[] = {
    {"_count", Kind::int32, offsetof(Mean, count)},
    {"_sum", Kind::float32, offsetof(Mean, sum)},
};

int mean_init(PyObject*, PyObject*, PyObject*);
extern PyGetSetDef mean_getset[];
void mean_slots(PyTypeObject&);

ClassSpec mean_spec{
    .dotted_name = "Quillmoor.utils.mean.Mean",
    .class_name = "Mean",
    .basicsize = sizeof(Mean),
    .gc = false,
    .weaklist_offset = 0,
    .vtable_offset = offsetof(Mean, vtab),
    .vtable = &mean_vtable,
    .members = mean_members,
    .member_count = 2,
    .checksums = {0x7523bac, 0x6b0b77c, 0x99e16a9},
    .member_list = "_count, _sum",
    .unpickle_name = &n_unpickle_Mean,
    .init = mean_init,
    .getset = mean_getset,
    .extra_slots = mean_slots,
    .text_signature = "Mean()\n--\n\n",
    .install = ClassSlots<mean_spec>::install,
};

inline Mean* as_mean(PyObject* o) { return reinterpret_cast<Mean*>(o); }
inline PyObject* obj(Mean* m) { return reinterpret_cast<PyObject*>(m); }

PyObject* mean_add_entry(PyObject*, PyObject* const*, Py_ssize_t, PyObject*);
PyObject* mean_extend_entry(PyObject*, PyObject* const*, Py_ssize_t, PyObject*);
PyObject* mean_clear_entry(PyObject*, PyObject* const*, Py_ssize_t, PyObject*);
PyObject* mean_get_value_entry(PyObject*, PyObject* const*, Py_ssize_t, PyObject*);

const Annotation mean_extend_annotations[] = {{"values", "t.Iterable[float]"}, {nullptr, nullptr}};
const MethodDef mean_add_def = method<mean_add_entry>("add", "($self, value)");
const MethodDef mean_extend_def = method<mean_extend_entry>("extend", "($self, values)", mean_extend_annotations);
const MethodDef mean_clear_def = method<mean_clear_entry>("clear", "($self, /)");
const MethodDef mean_get_value_def = method<mean_get_value_entry>("get_value", "($self, /)");

// -- built-in implementations -------------------------------------------------

// Single-precision addition; the count wraps at the 32-bit limit instead of
// overflowing.
inline void mean_add_impl(Mean* self, float v) noexcept {
    self->sum = self->sum + v;
    self->count = wrap_add(self->count, 1);
}

inline void mean_clear_impl(Mean* self) noexcept {
    self->sum = 0.0f;
    self->count = 0;
}

// The mean as a float, or the int 0 without samples (a restored state may
// even carry a negative count).
PyObject* mean_get_value_impl(Mean* self) {
    if (self->count > 0) return float_result(self->sum / static_cast<float>(self->count));
    return PyLong_FromLong(0);
}

// add under the override rule.  A Python override receives the already
// rounded sample, and `result` holds what it returned; it stays empty when the
// built-in ran.
bool mean_add_dispatch(Mean* self, float v, Ref& result) {
    Ref found;
    if (!find_override(obj(self), n_add, mean_add_def, found)) return false;
    if (!found) {
        mean_add_impl(self, v);
        return true;
    }
    Ref arg = Ref::steal(float_result(v));
    if (!arg) return false;
    result = Ref::steal(PyObject_CallOneArg(found.get(), arg.get()));
    return static_cast<bool>(result);
}

// add as the class's own code calls it: an override's result is dropped.
bool mean_add(Mean* self, float v) {
    Ref ignored;
    return mean_add_dispatch(self, v, ignored);
}

bool mean_add_object(Mean* self, PyObject* item) {
    float v;
    return to_float32(item, v) && mean_add(self, v);
}

// Samples added before a failure stay added.
bool mean_extend_impl(Mean* self, PyObject* values) {
    if (PyList_CheckExact(values)) {
        // On a plain Mean an exact float is added without running any Python
        // code, so it can be read in place; any other item takes a reference
        // first.  The length is read again at every step: add (an override, a
        // sample's __float__) may grow or shrink the list under us.
        bool plain = Py_IS_TYPE(obj(self), &mean_spec.type);
        for (Py_ssize_t i = 0; i < PyList_GET_SIZE(values); ++i) {
            PyObject* raw = PyList_GET_ITEM(values, i);
            if (plain && PyFloat_CheckExact(raw)) {
                mean_add_impl(self, narrow(PyFloat_AS_DOUBLE(raw)));
                continue;
            }
            Ref item = Ref::incref(raw);
            if (!mean_add_object(self, item.get())) return false;
        }
        return true;
    }
    if (PyTuple_CheckExact(values)) {
        for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(values); ++i) {
            Ref item = Ref::incref(PyTuple_GET_ITEM(values, i));
            if (!mean_add_object(self, item.get())) return false;
        }
        return true;
    }
    Ref it = Ref::steal(PyObject_GetIter(values));
    if (!it) return false;
    for (;;) {
        PyObject* raw;
        int r = PyIter_NextItem(it.get(), &raw);  // clears a StopIteration
        if (r == 0) return true;
        if (r < 0) return false;
        Ref item = Ref::steal(raw);
        if (!mean_add_object(self, item.get())) return false;
    }
}

PyObject* mean_get_value(Mean* self) {
    Ref r;
    if (!call_override(obj(self), n_get_value, mean_get_value_def, r)) return nullptr;
    if (r) return r.release();
    return mean_get_value_impl(self);
}

// -- table of overridable methods, for other compiled code ----------------------

PyObject* mean_vt_add(Mean* self, float value, int skip_dispatch) {
    Ref r;
    if (skip_dispatch)
        mean_add_impl(self, value);
    else if (!mean_add_dispatch(self, value, r))
        return nullptr;
    return r ? r.release() : Py_NewRef(obj(self));
}

PyObject* mean_vt_extend(Mean* self, PyObject* values, int skip_dispatch) {
    if (!skip_dispatch) {
        Ref r;
        if (!call_override(obj(self), n_extend, mean_extend_def, r, {values})) return nullptr;
        if (r) return r.release();
    }
    return mean_extend_impl(self, values) ? Py_NewRef(obj(self)) : nullptr;
}

PyObject* mean_vt_clear(Mean* self, int skip_dispatch) {
    if (!skip_dispatch) {
        Ref r;
        if (!call_override(obj(self), n_clear, mean_clear_def, r)) return nullptr;
        if (r) return r.release();
    }
    mean_clear_impl(self);
    return Py_NewRef(obj(self));
}

PyObject* mean_vt_get_value(Mean* self, int skip_dispatch) {
    return skip_dispatch ? mean_get_value_impl(self) : mean_get_value(self);
}

const MeanVTable mean_vtable{mean_vt_add, mean_vt_extend, mean_vt_clear, mean_vt_get_value};

// -- methods called from Python -------------------------------------------------

const Param mean_add_params[] = {{n_value}};
const Params mean_add_spec{"add", mean_add_params, 1, 1};
PyObject* mean_add_entry(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    PyObject* value;
    if (!parse_args(mean_add_spec, args, nargs, kwnames, &value)) return nullptr;
    float v;
    if (!to_float32(value, v)) return nullptr;
    mean_add_impl(as_mean(self), v);
    return Py_NewRef(self);
}

const Param mean_extend_params[] = {{n_values}};
const Params mean_extend_spec{"extend", mean_extend_params, 1, 1};
PyObject* mean_extend_entry(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    PyObject* values;
    if (!parse_args(mean_extend_spec, args, nargs, kwnames, &values)) return nullptr;
    if (!mean_extend_impl(as_mean(self), values)) return nullptr;
    return Py_NewRef(self);
}

const Params no_params_clear{"clear", nullptr, 0, 0};
PyObject* mean_clear_entry(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    if (!parse_args(no_params_clear, args, nargs, kwnames, nullptr)) return nullptr;
    mean_clear_impl(as_mean(self));
    return Py_NewRef(self);
}

const Params no_params_get_value{"get_value", nullptr, 0, 0};
PyObject* mean_get_value_entry(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    if (!parse_args(no_params_get_value, args, nargs, kwnames, nullptr)) return nullptr;
    return mean_get_value_impl(as_mean(self));
}

const Params mean_init_spec{"__init__", nullptr, 0, 0};
int mean_init(PyObject* self, PyObject* args, PyObject* kwds) {
    Ref keep;
    if (!parse_tuple(mean_init_spec, args, kwds, nullptr, keep)) return -1;
    mean_clear_impl(as_mean(self));
    return 0;
}

// -- properties -----------------------------------------------------------------

PyObject* mean_count_get(PyObject* self, void*) { return PyLong_FromLong(as_mean(self)->count); }
PyObject* mean_total_get(PyObject* self, void*) { return float_result(as_mean(self)->sum); }
PyObject* mean_value_get(PyObject* self, void*) { return mean_get_value(as_mean(self)); }

PyGetSetDef mean_getset[] = {
    {"count", mean_count_get, nullptr, nullptr, nullptr},
    {"total", mean_total_get, nullptr, nullptr, nullptr},
    {"value", mean_value_get, nullptr, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

// -- number, sequence and mapping slots ------------------------------------------

// Only a restored state can hold a negative count.  A length slot must not
// return a negative number without an exception, so it reports what Python
// reports for a __len__ that returns one.
Py_ssize_t mean_len(PyObject* self) {
    std::int32_t n = as_mean(self)->count;
    if (n < 0) [[unlikely]] {
        PyErr_SetString(PyExc_ValueError, "__len__() should return >= 0");
        return -1;
    }
    return n;
}

// `m += x`: only the left operand's in-place slot is consulted, so `self` is a Mean.
PyObject* mean_iadd(PyObject* self, PyObject* other) {
    float v;
    if (!to_float32(other, v) || !mean_add(as_mean(self), v)) return nullptr;
    return Py_NewRef(self);
}

PyNumberMethods mean_as_number{};
PySequenceMethods mean_as_sequence{};
PyMappingMethods mean_as_mapping{};

// No nb_bool: truth falls back on the length.
void mean_slots(PyTypeObject& t) {
    mean_as_number.nb_inplace_add = mean_iadd;
    mean_as_sequence.sq_length = mean_len;
    mean_as_mapping.mp_length = mean_len;
    t.tp_as_number = &mean_as_number;
    t.tp_as_sequence = &mean_as_sequence;
    t.tp_as_mapping = &mean_as_mapping;
}

const MethodDef* const mean_methods[] = {
    &mean_add_def,
    &mean_extend_def,
    &mean_clear_def,
    &mean_get_value_def,
    &ClassSlots<mean_spec>::reduce_def,
    &ClassSlots<mean_spec>::setstate_def,
    nullptr,
};

// ===========================================================================
// The module
// ===========================================================================

ClassSpec* const mean_classes[] = {&mean_spec, nullptr};

const BodyStep mean_body[] = {
    import_step(n_typing, n_t),
    methods_step(mean_spec, mean_methods),
    end_step(),
};

const ModuleSpec mean_module{
    .full_name = "Quillmoor.utils.mean",
    .short_name = "mean",
    .function_type_name = "Quillmoor.utils.mean.compiled_function",
    .source_file = "mean.cpp",
    .classes = mean_classes,
    .body = mean_body,
};

}  // namespace
}  // namespace qm

PyMODINIT_FUNC PyInit_mean() { return qm::module_init(qm::mean_module); }
