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

// ===========================================================================
// Mean
// ===========================================================================

struct Mean {
    PyObject_HEAD
    OverrideTable table;
    float sum;
    std::int32_t count;
};

PyTypeObject mean_type = static_type_object();

template <>
PyTypeObject* const type_of<Mean> = &mean_type;

// Single-precision addition; the count wraps at the 32-bit limit instead of
// overflowing.
inline void accumulate(Mean* self, float v) noexcept {
    self->sum = self->sum + v;
    self->count = wrap_add(self->count, 1);
}

// -- overridable methods: built-in implementations and declarations -----------
//
// Each returns the object itself (get_value: the mean).  Where the class calls
// one of them itself, a Python override receives the already rounded sample
// and its result is dropped.

[[nodiscard]] bool mean_add_impl(Mean* self, Ref& out, float value) {
    accumulate(self, value);
    out = Ref::incref(py(self));
    return true;
}
constexpr Param mean_add_param_list[] = {{n_value}};
constexpr Params mean_add_params{"add", mean_add_param_list};
using MeanAdd = Overridable<mean_add_impl, mean_add_params>;

// A sample added by the class itself (extend, +=).  A plain Mean adds it
// directly: add's result would only be dropped.
[[nodiscard]] bool add_sample(Mean* self, PyObject* item) {
    float v;
    if (!to_float32(item, v)) return false;
    if (plain(self)) [[likely]] {
        accumulate(self, v);
        return true;
    }
    Ref ignored;
    return MeanAdd::call(self, ignored, v);
}

// Adds the exact floats of an exact list or tuple from index `i` on, up to
// the first item that is not one.  Nothing here can run Python code, so the
// container cannot change and nothing can look at the object: the sum and the
// count stay in registers and are stored once, before the caller goes on to
// an item that can run code.  Returns the index of that item (or `n`).
Py_ssize_t add_exact_floats(Mean* self, PyObject* const* items, Py_ssize_t i, Py_ssize_t n) noexcept {
    float sum = self->sum;
    Py_ssize_t first = i;
    for (; i < n; ++i) {
        PyObject* o = items[i];
        if (!PyFloat_CheckExact(o)) break;
        sum = sum + narrow(PyFloat_AS_DOUBLE(o));  // single precision at every addition
    }
    self->sum = sum;
    // One wrapping addition for the run is the same as one per item (the
    // run's length is taken modulo 2^32 too).
    self->count = wrap_add(self->count, static_cast<std::int32_t>(i - first));
    return i;
}

// Samples added before a failure stay added.
[[nodiscard]] bool mean_extend_impl(Mean* self, Ref& out, PyObject* values) {
    bool direct = plain(self);
    // On a plain Mean an exact float is added without running any Python
    // code: no override can exist and no conversion is needed.
    if (PyList_CheckExact(values) || PyTuple_CheckExact(values)) {
        // The length and the items are read again after every item that ran
        // code: add (an override, a sample's __float__) may grow or shrink a
        // list under us.  Such an item is held while it runs.
        for (Py_ssize_t i = 0;; ++i) {
            if (direct)
                i = add_exact_floats(self, PySequence_Fast_ITEMS(values), i, PySequence_Fast_GET_SIZE(values));
            if (i >= PySequence_Fast_GET_SIZE(values)) break;
            Ref item = Ref::incref(PySequence_Fast_GET_ITEM(values, i));
            if (!add_sample(self, item.get())) return false;
        }
    } else {
        Ref it = Ref::steal(PyObject_GetIter(values));
        if (!it) return false;
        for (;;) {
            PyObject* raw;
            int r = PyIter_NextItem(it.get(), &raw);  // clears a StopIteration
            if (r < 0) return false;
            if (r == 0) break;
            Ref item = Ref::steal(raw);
            if (direct && PyFloat_CheckExact(raw)) {
                accumulate(self, narrow(PyFloat_AS_DOUBLE(raw)));
                continue;
            }
            if (!add_sample(self, item.get())) return false;
        }
    }
    out = Ref::incref(py(self));
    return true;
}
constexpr Param mean_extend_param_list[] = {{.name = n_values, .annotation = "t.Iterable[float]"}};
constexpr Params mean_extend_params{"extend", mean_extend_param_list};
using MeanExtend = Overridable<mean_extend_impl, mean_extend_params>;

[[nodiscard]] bool mean_clear_impl(Mean* self, Ref& out) {
    self->sum = 0.0f;
    self->count = 0;
    out = Ref::incref(py(self));
    return true;
}
constexpr Params mean_clear_params{"clear"};
using MeanClear = Overridable<mean_clear_impl, mean_clear_params>;

// The mean as a float, or the int 0 without samples (a restored state may
// even carry a negative count).
[[nodiscard]] bool mean_get_value_impl(Mean* self, Ref& out) {
    out = Ref::steal(self->count > 0 ? float_result(self->sum / static_cast<float>(self->count)) : PyLong_FromLong(0));
    return static_cast<bool>(out);
}
constexpr Params mean_get_value_params{"get_value"};
using MeanGetValue = Overridable<mean_get_value_impl, mean_get_value_params>;

// -- construction, properties and number slots ------------------------------------

const Params mean_init_params{"__init__"};

int mean_init(PyObject* self, PyObject* args, PyObject* kwds) {
    Ref keep;
    if (!parse_tuple(mean_init_params, args, kwds, nullptr, keep)) return -1;
    as<Mean>(self)->sum = 0.0f;
    as<Mean>(self)->count = 0;
    return 0;
}

PyObject* mean_count_get(PyObject* self, void*) { return PyLong_FromLong(as<Mean>(self)->count); }
PyObject* mean_total_get(PyObject* self, void*) { return float_result(as<Mean>(self)->sum); }

PyObject* mean_value_get(PyObject* self, void*) {
    Ref value;
    return MeanGetValue::call(as<Mean>(self), value) ? value.release() : nullptr;
}

// Only a restored state can hold a negative count.  A length slot must not
// return a negative number without an exception, so it reports what Python
// reports for a __len__ that returns one.
Py_ssize_t mean_len(PyObject* self) {
    std::int32_t n = as<Mean>(self)->count;
    if (n < 0) [[unlikely]] {
        PyErr_SetString(PyExc_ValueError, "__len__() should return >= 0");
        return -1;
    }
    return n;
}

// `m += x`: only the left operand's in-place slot is consulted, so `self` is a Mean.
PyObject* mean_iadd(PyObject* self, PyObject* other) {
    if (!add_sample(as<Mean>(self), other)) return nullptr;
    return Py_NewRef(self);
}

// -- tables -----------------------------------------------------------------------

PyGetSetDef mean_getset[] = {
    {"count", mean_count_get, nullptr, nullptr, nullptr},
    {"total", mean_total_get, nullptr, nullptr, nullptr},
    {"value", mean_value_get, nullptr, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

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

constexpr const MethodDef* mean_methods[] = {&MeanAdd::def, &MeanExtend::def, &MeanClear::def, &MeanGetValue::def};


constexpr Member mean_members[] = {
    {"_count", MemberKind::int32, offsetof(Mean, count)},
    {"_sum", MemberKind::float32, offsetof(Mean, sum)},
};

ClassDef mean_class{
    .type = mean_type,
    .name = "Mean",
    .basicsize = sizeof(Mean),
    .table_offset = offsetof(Mean, table),
    .members = pickled_members(mean_members),
    .checksums = {0x7523bac, 0x6b0b77c, 0x99e16a9},
    .init_params = mean_init_params,
    .init = mean_init,
    .getset = mean_getset,
    .extra_slots = mean_slots,
    .methods = class_methods(mean_methods),
};

// ===========================================================================
// The module
// ===========================================================================

const ClassEntry mean_classes[] = {class_entry<mean_class>};

const BodyStep mean_body[] = {
    import_step(n_typing, n_t),
    methods_step(mean_class),
};

const ModuleDef mean_module{"Quillmoor.utils.mean", mean_classes, mean_body};

}  // namespace
}  // namespace qm

PyMODINIT_FUNC PyInit_mean() { return qm::module_init(qm::mean_module); }
