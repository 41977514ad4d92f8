// Quillmoor.utils.glidecell: a value holder that glides to each new value.
//
// _GlideCell stores the value a glide started from and a record (target, end
// time, delay); every read computes the shown value on demand from the clock
// through the caller's interpolation function.  GlideCell is the public
// generic subclass, made by the module body like a class statement.
//
// The interpolation function, gcv, the clock and subclass overrides can run
// any Python code, including code that re-initialises or re-sets the very
// cell being read.  So every member used across such a call is held by a Ref
// taken before the call, and members are written back with replace_member.
// Clock readings, end times and progress stay doubles between the built-in
// steps; float objects are made only where Python code receives them.

#include "curve_call.hpp"
#include "frame/class_statement.hpp"
#include "frame/frame.hpp"
#include "frame/sibling.hpp"

#include <utility>

namespace qm {
namespace {

Name n_interpolation_func{"interpolation_func"};
Name n_delay{"delay"};
Name n_default{"default"};
Name n_flash{"flash"};
Name n_now{"now"};
Name n_value{"value"};
Name n_time{"time"};
Name n_perf_counter{"perf_counter"};
Name n_TypeVar{"TypeVar"};
Name n_Generic{"Generic"};
Name n_Any{"Any"};
Name n_T{"T"};
Name n_GlideCell{"GlideCell"};

// ===========================================================================
// _GlideCell
// ===========================================================================

struct GlideCell {
    PyObject_HEAD
    OverrideTable table;
    PyObject* weakreflist;
    PyObject* interpolation_func;  // (start, target, progress) -> shown value
    PyObject* delay;               // resolved to seconds through gcv
    PyObject* value;               // idle: the value; gliding: the start value
    PyObject* next;                // None, or (target, end time, glide delay)
    PyObject* is_flash;            // True, False, or None before __init__
};

PyTypeObject cell_type = static_type_object();

// -- helpers --------------------------------------------------------------------

// time.perf_counter(), with `time` looked up in the module at every reading so
// that rebinding it substitutes the clock of every cell.
[[nodiscard]] bool read_seconds(double& now) {
    Ref time = lookup_global(n_time);
    if (!time) return false;
    Ref clock = Ref::steal(PyObject_GetAttr(time.get(), n_perf_counter.get()));
    if (!clock) return false;
    Ref reading = Ref::steal(PyObject_CallNoArgs(clock.get()));
    return reading && to_double(reading.get(), now);
}

[[gnu::cold]] void unpack_error(Py_ssize_t found) {
    if (found > 3)
        PyErr_Format(PyExc_ValueError, "too many values to unpack (expected %zd)", Py_ssize_t{3});
    else
        PyErr_Format(PyExc_ValueError, "need more than %zd value%.1s to unpack", found, found == 1 ? "" : "s");
}

// `target, end, delay = record`.  The cell only stores 3-tuples, but restored
// state may hold any object there.
[[nodiscard]] bool unpack_record(PyObject* record, Ref (&out)[3]) {
    if (PyTuple_CheckExact(record) || PyList_CheckExact(record)) {
        Py_ssize_t n = PySequence_Fast_GET_SIZE(record);
        if (n != 3) {
            unpack_error(n);
            return false;
        }
        PyObject** items = PySequence_Fast_ITEMS(record);
        for (int i = 0; i < 3; ++i) out[i] = Ref::incref(items[i]);
        return true;
    }
    Ref it = Ref::steal(PyObject_GetIter(record));
    if (!it) return false;
    for (Py_ssize_t i = 0; i < 3; ++i) {
        PyObject* item = nullptr;
        int r = PyIter_NextItem(it.get(), &item);
        if (r < 0) return false;
        if (r == 0) {
            unpack_error(i);
            return false;
        }
        out[i] = Ref::steal(item);
    }
    PyObject* raw = nullptr;
    int r = PyIter_NextItem(it.get(), &raw);
    Ref extra = Ref::steal(raw);
    if (r > 0) unpack_error(4);
    return r == 0;
}

// record[i]: a tuple item directly, anything else by indexing.
[[nodiscard]] Ref record_item(PyObject* record, Py_ssize_t i) {
    if (PyTuple_CheckExact(record) && i < PyTuple_GET_SIZE(record)) return Ref::incref(PyTuple_GET_ITEM(record, i));
    Ref index = Ref::steal(PyLong_FromSsize_t(i));
    if (!index) return Ref();
    return Ref::steal(PyObject_GetItem(record, index.get()));
}

// easing's curve call, from the first curve a cell meets on (curve_call.hpp).
// It lives in easing's static data, so it holds for the life of the process.
const CurveCall* g_curve_call = nullptr;

[[gnu::cold]] [[nodiscard]] bool find_curve_call(PyTypeObject* tp) {
    Ref dict = Ref::steal(PyType_GetDict(tp));
    if (!dict) return !PyErr_Occurred();
    PyObject* raw = nullptr;
    if (PyDict_GetItemStringRef(dict.get(), curve_call_name, &raw) < 0) return false;
    Ref capsule = Ref::steal(raw);
    if (capsule && PyCapsule_IsValid(capsule.get(), curve_call_name))
        g_curve_call = static_cast<const CurveCall*>(PyCapsule_GetPointer(capsule.get(), curve_call_name));
    return true;
}

// `func`'s curve call if it is an easing curve, else null.  A curve is told by
// its exact type, the one the call names, or by that type being its base (a
// family's curve, of one of easing's own subtypes of Curve: Python code
// cannot subclass it): a type that is only named like Curve, whatever its
// dict holds, is called as any other callable.
[[nodiscard]] bool curve_call_of(PyObject* func, const CurveCall*& out) {
    PyTypeObject* tp = Py_TYPE(func);
    PyTypeObject* base = tp->tp_base;
    if (!g_curve_call) {
        PyTypeObject* named = is_curve_type_name(tp->tp_name)                ? tp
                              : base && is_curve_type_name(base->tp_name) ? base
                                                                            : nullptr;
        if (named && !find_curve_call(named)) return false;
    }
    out = g_curve_call && (g_curve_call->type == tp || g_curve_call->type == base) ? g_curve_call : nullptr;
    return true;
}

double progress_at(double now, double end, double delay) {
    if (now > end || delay <= 0.0) return 1.0;
    double p = 1.0 - (end - now) / delay;
    if (!(p > 0.0)) p = 0.0;  // NaN too
    return p < 1.0 ? p : 1.0;
}

// -- overridable methods: built-in implementations and declarations -----------

constexpr Param cell_now_param_list[] = {{n_now}};

// Inlined into its callers, which have often just read the same record.
[[nodiscard, gnu::always_inline]] inline bool cell_get_progress_impl(GlideCell* self, double& out, double now) {
    PyObject* next = self->next;
    if (next == Py_None) {
        out = 1.0;
        return true;
    }
    // The record the cell itself stores: read in place, nothing can run.
    if (PyTuple_CheckExact(next) && PyTuple_GET_SIZE(next) >= 3 && PyFloat_CheckExact(PyTuple_GET_ITEM(next, 1)) &&
        PyFloat_CheckExact(PyTuple_GET_ITEM(next, 2))) {
        out = progress_at(now, PyFloat_AS_DOUBLE(PyTuple_GET_ITEM(next, 1)),
                          PyFloat_AS_DOUBLE(PyTuple_GET_ITEM(next, 2)));
        return true;
    }
    Ref record = Ref::incref(next);  // the conversions below may run Python code
    double end, delay;
    Ref item = record_item(record.get(), 1);
    if (!item || !to_double(item.get(), end)) return false;
    item = record_item(record.get(), 2);
    if (!item || !to_double(item.get(), delay)) return false;
    out = progress_at(now, end, delay);
    return true;
}
constexpr Params cell_get_progress_params{"_get_progress", cell_now_param_list};
using CellGetProgress = Overridable<cell_get_progress_impl, cell_get_progress_params>;

[[nodiscard]] bool cell_get_delay_impl(GlideCell* self, double& out) {
    Ref seconds = call_gcv(self->delay);
    return seconds && to_double(seconds.get(), out);
}
constexpr Params cell_get_delay_params{"_get_delay"};
using CellGetDelay = Overridable<cell_get_delay_impl, cell_get_delay_params>;

// The glide has ended: the target becomes the value.  Both members are stored
// before either old object is released, so a finaliser that re-enters sees
// the idle cell.
[[nodiscard]] Ref end_glide(GlideCell* self, PyObject* target) {
    Ref result = Ref::incref(target);  // releasing the record may release the target
    Ref old_value = Ref::steal(std::exchange(self->value, Py_NewRef(target)));
    Ref old_next = Ref::steal(std::exchange(self->next, Py_NewRef(Py_None)));
    return result;
}

// The value shown while gliding to `target`, which the caller keeps alive.
[[nodiscard]] Ref interpolate(GlideCell* self, double now, PyObject* target) {
    Ref func = Ref::incref(self->interpolation_func);
    double progress;
    if (!CellGetProgress::call(self, progress, now)) return Ref();
    Ref start = Ref::incref(self->value);  // as stored once the progress is known
    const CurveCall* curve;
    if (!curve_call_of(func.get(), curve)) return Ref();
    if (curve) return Ref::steal(curve->call(func.get(), start.get(), target, progress));
    Ref progress_obj = Ref::steal(PyFloat_FromDouble(progress));
    if (!progress_obj) return Ref();
    PyObject* args[] = {start.get(), target, progress_obj.get()};
    return Ref::steal(PyObject_Vectorcall(func.get(), args, 3, nullptr));
}

[[nodiscard]] bool cell_get_value_at_impl(GlideCell* self, Ref& out, double now) {
    PyObject* next = self->next;
    if (next == Py_None) {
        out = Ref::incref(self->value);
        return true;
    }
    // The record the cell itself stores: unpacked in place, nothing can run.
    if (PyTuple_CheckExact(next) && PyTuple_GET_SIZE(next) == 3 && PyFloat_CheckExact(PyTuple_GET_ITEM(next, 1))) {
        PyObject* target = PyTuple_GET_ITEM(next, 0);
        if (now >= PyFloat_AS_DOUBLE(PyTuple_GET_ITEM(next, 1))) {
            out = end_glide(self, target);
            return true;
        }
        Ref record = Ref::incref(next);  // holds the target through the calls
        out = interpolate(self, now, target);
        return static_cast<bool>(out);
    }
    Ref record = Ref::incref(next);
    Ref items[3];  // target, end time, glide delay
    if (!unpack_record(record.get(), items)) return false;
    double end;
    if (!to_double(items[1].get(), end)) return false;
    out = now >= end ? end_glide(self, items[0].get()) : interpolate(self, now, items[0].get());
    return static_cast<bool>(out);
}
constexpr Params cell_get_value_at_params{"_get_value", cell_now_param_list};
using CellGetValueAt = Overridable<cell_get_value_at_impl, cell_get_value_at_params>;

[[nodiscard]] bool cell_get_value_impl(GlideCell* self, Ref& out) {
    double now;
    return read_seconds(now) && CellGetValueAt::call(self, out, now);
}
constexpr Params cell_get_value_params{"get_value"};
using CellGetValue = Overridable<cell_get_value_impl, cell_get_value_params>;

// `flash` is True, False or None; `value` is kept alive by the caller.
[[nodiscard]] bool cell_set_value_impl(GlideCell* self, Ref& out, PyObject* value, PyObject* flash) {
    out = Ref::incref(Py_None);
    if (flash == Py_True) {
        Ref old_next = Ref::steal(std::exchange(self->next, Py_NewRef(Py_None)));
        Ref old_value = Ref::steal(std::exchange(self->value, Py_NewRef(value)));
        return true;
    }
    double now, delay;
    if (!read_seconds(now) || !CellGetDelay::call(self, delay)) return false;
    if (self->next != Py_None) {
        // Start from what the running glide shows now (its target once ended).
        Ref current;
        if (!CellGetValueAt::call(self, current, now)) return false;
        replace_member(self->value, std::move(current));
    }
    Ref end = Ref::steal(PyFloat_FromDouble(now + delay));
    if (!end) return false;
    Ref delay_obj = Ref::steal(PyFloat_FromDouble(delay));
    if (!delay_obj) return false;
    Ref record = Ref::steal(PyTuple_Pack(3, value, end.get(), delay_obj.get()));
    if (!record) return false;
    replace_member(self->next, std::move(record));
    return true;
}
constexpr Param cell_set_value_param_list[] = {{n_value}, {n_flash, nullptr, bool_or_none}};
constexpr Params cell_set_value_params{"_set_value", cell_set_value_param_list};
using CellSetValue = Overridable<cell_set_value_impl, cell_set_value_params>;

// -- methods that are not overridable ------------------------------------------

// set_value(value, **kw): `flash` among the keywords, else the cell's own flag.
constexpr Param cell_public_set_value_params[] = {{.name = n_value, .annotation = "t.Any"}};
constexpr char cell_set_value_extra[] = "kw";  // the dict of further keywords
const Params cell_public_set_value{"set_value", cell_public_set_value_params, cell_set_value_extra};

PyObject* cell_set_value_entry(PyObject* o, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    GlideCell* self = as<GlideCell>(o);
    PyObject* value;
    if (!parse_args(cell_public_set_value, args, nargs, kwnames, &value)) return nullptr;
    PyObject* given = find_keyword(n_flash, args + nargs, kwnames);
    Ref flash = Ref::incref(given ? given : self->is_flash);
    if (!check_exact_value(flash.get(), &PyBool_Type, true)) return nullptr;
    Ref ignored;  // an override's result is not used
    if (!CellSetValue::call(self, ignored, value, flash.get())) return nullptr;
    return Py_NewRef(o);
}
constexpr MethodDef cell_set_value_def = method<cell_set_value_entry>(cell_public_set_value);

// -- construction and properties ------------------------------------------------

constexpr Param cell_init_param_list[] = {{n_interpolation_func}, {n_delay}, {n_default, &k_none}, {n_flash, &k_false}};
const Params cell_init_params{"__init__", cell_init_param_list};

int cell_init(PyObject* o, PyObject* args, PyObject* kwds) {
    GlideCell* self = as<GlideCell>(o);
    PyObject* a[4];
    Ref keep;
    if (!parse_tuple(cell_init_params, args, kwds, a, keep)) return -1;
    bool flash;
    if (!to_truth(a[3], flash)) return -1;
    // Every member is in place before any old one is released.
    Ref old[] = {
        Ref::steal(std::exchange(self->interpolation_func, Py_NewRef(a[0]))),
        Ref::steal(std::exchange(self->delay, Py_NewRef(a[1]))),
        Ref::steal(std::exchange(self->value, Py_NewRef(a[2]))),
        Ref::steal(std::exchange(self->next, Py_NewRef(Py_None))),
        Ref::steal(std::exchange(self->is_flash, bool_result(flash))),
    };
    return 0;
}

PyObject* cell_progress_get(PyObject* self, void*) {
    double now, p;
    if (!read_seconds(now) || !CellGetProgress::call(as<GlideCell>(self), p, now)) return nullptr;
    return PyFloat_FromDouble(p);
}

PyObject* cell_delay_get(PyObject* o, void*) {
    GlideCell* self = as<GlideCell>(o);
    if (self->next != Py_None) {
        Ref record = Ref::incref(self->next);
        return record_item(record.get(), 2).release();
    }
    double d;
    return CellGetDelay::call(self, d) ? PyFloat_FromDouble(d) : nullptr;
}

PyObject* cell_is_interpolated_get(PyObject* self, void*) { return bool_result(as<GlideCell>(self)->next != Py_None); }

PyObject* cell_next_value_get(PyObject* o, void*) {
    GlideCell* self = as<GlideCell>(o);
    if (self->next == Py_None) Py_RETURN_NONE;
    Ref record = Ref::incref(self->next);
    return record_item(record.get(), 0).release();
}

PyObject* cell_is_flash_get(PyObject* self, void*) { return Py_NewRef(as<GlideCell>(self)->is_flash); }

int cell_is_flash_set(PyObject* self, PyObject* value, void*) {
    if (!value) {
        PyErr_SetString(PyExc_NotImplementedError, "__del__");
        return -1;
    }
    bool flash;
    if (!to_truth(value, flash)) return -1;
    replace_member(as<GlideCell>(self)->is_flash, flash ? Py_True : Py_False);
    return 0;
}

// -- tables -----------------------------------------------------------------------

PyGetSetDef cell_getset[] = {
    {"progress", cell_progress_get, nullptr, nullptr, nullptr},
    {"delay", cell_delay_get, nullptr, nullptr, nullptr},
    {"is_interpolated", cell_is_interpolated_get, nullptr, nullptr, nullptr},
    {"next_value", cell_next_value_get, nullptr, nullptr, nullptr},
    {"is_flash", cell_is_flash_get, cell_is_flash_set, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

// The class dict's order.
constexpr const MethodDef* cell_methods[] = {
    &CellGetValueAt::def, &CellGetValue::def,    &CellSetValue::def,
    &cell_set_value_def,  &CellGetProgress::def, &CellGetDelay::def,
};


constexpr Member cell_members[] = {
    {"_delay", MemberKind::object, offsetof(GlideCell, delay)},
    {"_interpolation_func", MemberKind::object, offsetof(GlideCell, interpolation_func)},
    {"_is_flash", MemberKind::bool_or_none, offsetof(GlideCell, is_flash)},
    {"_next", MemberKind::object, offsetof(GlideCell, next)},
    {"_value", MemberKind::object, offsetof(GlideCell, value)},
};

ClassDef cell_class{
    .type = cell_type,
    .name = "_GlideCell",
    .basicsize = sizeof(GlideCell),
    .weaklist_offset = offsetof(GlideCell, weakreflist),
    .table_offset = offsetof(GlideCell, table),
    .members = pickled_members(cell_members),
    .checksums = {0xe93dc4, 0x88fcf8d, 0x373417e},
    .init_params = cell_init_params,
    .init = cell_init,
    .getset = cell_getset,
    .methods = class_methods(cell_methods),
};

// ===========================================================================
// The module
// ===========================================================================

// T = t.TypeVar("T", default=t.Any)
[[nodiscard]] bool make_type_var() {
    Ref t = lookup_global(n_t);
    if (!t) return false;
    Ref type_var = Ref::steal(PyObject_GetAttr(t.get(), n_TypeVar.get()));
    if (!type_var) return false;
    Ref any = Ref::steal(PyObject_GetAttr(t.get(), n_Any.get()));
    if (!any) return false;
    Ref kwnames = Ref::steal(PyTuple_Pack(1, n_default.get()));
    if (!kwnames) return false;
    PyObject* args[] = {n_T.get(), any.get()};
    Ref T = Ref::steal(PyObject_Vectorcall(type_var.get(), args, 1, kwnames.get()));
    if (!T) return false;
    // TypeVar takes its __module__ from the calling Python frame, which here is
    // the import machinery's; pickle finds T by module and name, so name ours.
    if (PyObject_SetAttr(T.get(), n_module_attr.get(), g_state.name) < 0) return false;
    return bind(n_T, T.get());
}

// class GlideCell(_GlideCell, t.Generic[T]): pass
[[nodiscard]] bool make_glide_cell_class() {
    Ref t = lookup_global(n_t);
    if (!t) return false;
    Ref generic = Ref::steal(PyObject_GetAttr(t.get(), n_Generic.get()));
    if (!generic) return false;
    Ref T = lookup_global(n_T);
    if (!T) return false;
    Ref alias = Ref::steal(PyObject_GetItem(generic.get(), T.get()));
    if (!alias) return false;
    Ref bases = Ref::steal(PyTuple_Pack(2, reinterpret_cast<PyObject*>(&cell_type), alias.get()));
    if (!bases) return false;
    Ref cls = make_class("GlideCell", bases.get());
    return cls && bind(n_GlideCell, cls.get());
}


const ClassEntry glidecell_classes[] = {class_entry<cell_class>};

const BodyStep glidecell_body[] = {
    import_step(n_typing, n_t),
    import_step(n_time, n_time),
    calculated_value_import,
    custom_step(make_type_var),
    methods_step(cell_class),
    custom_step(make_glide_cell_class),
};

const ModuleDef glidecell_module{"Quillmoor.utils.glidecell", glidecell_classes, glidecell_body};

}  // namespace
}  // namespace qm

PyMODINIT_FUNC PyInit_glidecell() { return qm::module_init(qm::glidecell_module); }
