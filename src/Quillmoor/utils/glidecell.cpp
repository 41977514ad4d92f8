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

#include "frame/class_statement.hpp"
#include "frame/frame.hpp"

#include <utility>

namespace qm {
namespace {

Name n_interpolation_func{"interpolation_func"};
Name n_delay{"delay"};
Name n_default{"default"};
Name n_flash{"flash"};
Name n_now{"now"};
Name n_value{"value"};
Name n__get_value{"_get_value"};
Name n_get_value{"get_value"};
Name n__set_value{"_set_value"};
Name n__get_progress{"_get_progress"};
Name n__get_delay{"_get_delay"};
Name n_time{"time"};
Name n_perf_counter{"perf_counter"};
Name n_gcv{"gcv"};
Name n_CalculatedValue{"CalculatedValue"};
Name n_calculated_value{"Quillmoor.utils.calculated_value"};
Name n_TypeVar{"TypeVar"};
Name n_Generic{"Generic"};
Name n_Any{"Any"};
Name n_T{"T"};
Name n_GlideCell{"GlideCell"};
Name n_unpickle__GlideCell{"__pyx_unpickle__GlideCell"};

PyObject* const k_none = Py_None;
PyObject* const k_false = Py_False;

// ===========================================================================
// _GlideCell
// ===========================================================================

struct GlideCell;

// For other compiled code.  The double results are -1.0 with an exception set on failure.
struct GlideCellVTable {
    PyObject* (*_get_value)(GlideCell*, double now, int skip_dispatch);
    PyObject* (*get_value)(GlideCell*, int skip_dispatch);
    PyObject* (*_set_value)(GlideCell*, PyObject* value, PyObject* flash, int skip_dispatch);
    double (*_get_progress)(GlideCell*, double now, int skip_dispatch);
    double (*_get_delay)(GlideCell*, int skip_dispatch);
};

struct GlideCell {
    PyObject_HEAD
    const GlideCellVTable* vtab;
    PyObject* weakreflist;
    PyObject* interpolation_func;  // (start, target, progress) -> shown value
    PyObject* delay;               // resolved to seconds through gcv
    PyObject* value;               // idle: the value; gliding: the start value
    PyObject* next;                // None, or (target, end time, glide delay)
    PyObject* is_flash;            // True, False, or None before __init__
};

extern const GlideCellVTable gc_vtable;

const Member gc_members[] = {
    {"_delay", Kind::object, offsetof(GlideCell, delay)},
    {"_interpolation_func", Kind::object, offsetof(GlideCell, interpolation_func)},
    {"_is_flash", Kind::bool_or_none, offsetof(GlideCell, is_flash)},
    {"_next", Kind::object, offsetof(GlideCell, next)},
    {"_value", Kind::object, offsetof(GlideCell, value)},
};

int gc_init(PyObject*, PyObject*, PyObject*);
extern PyGetSetDef gc_getset[];

ClassSpec gc_spec{
    .dotted_name = "Quillmoor.utils.glidecell._GlideCell",
    .class_name = "_GlideCell",
    .basicsize = sizeof(GlideCell),
    .gc = true,
    .weaklist_offset = offsetof(GlideCell, weakreflist),
    .vtable_offset = offsetof(GlideCell, vtab),
    .vtable = &gc_vtable,
    .members = gc_members,
    .member_count = 5,
    .checksums = {0xe93dc4, 0x88fcf8d, 0x373417e},
    .member_list = "_delay, _interpolation_func, _is_flash, _next, _value",
    .unpickle_name = &n_unpickle__GlideCell,
    .init = gc_init,
    .getset = gc_getset,
    .text_signature = "_GlideCell(interpolation_func, delay, default=None, flash=False)\n--\n\n",
    .install = ClassSlots<gc_spec>::install,
};

inline GlideCell* as_gc(PyObject* o) { return reinterpret_cast<GlideCell*>(o); }
inline PyObject* obj(GlideCell* c) { return reinterpret_cast<PyObject*>(c); }

PyObject* gc__get_value_entry(PyObject*, PyObject* const*, Py_ssize_t, PyObject*);
PyObject* gc_get_value_entry(PyObject*, PyObject* const*, Py_ssize_t, PyObject*);
PyObject* gc__set_value_entry(PyObject*, PyObject* const*, Py_ssize_t, PyObject*);
PyObject* gc_set_value_entry(PyObject*, PyObject* const*, Py_ssize_t, PyObject*);
PyObject* gc__get_progress_entry(PyObject*, PyObject* const*, Py_ssize_t, PyObject*);
PyObject* gc__get_delay_entry(PyObject*, PyObject* const*, Py_ssize_t, PyObject*);

const Annotation gc_set_value_annotations[] = {{"value", "t.Any"}, {"kw", "t.Any"}, {nullptr, nullptr}};
const MethodDef gc__get_value_def = method<gc__get_value_entry>("_get_value", "($self, now)");
const MethodDef gc_get_value_def = method<gc_get_value_entry>("get_value", "($self, /)");
const MethodDef gc__set_value_def = method<gc__set_value_entry>("_set_value", "($self, value, flash)");
const MethodDef gc_set_value_def = method<gc_set_value_entry>("set_value", "($self, value, **kw)",
                                                              gc_set_value_annotations);
const MethodDef gc__get_progress_def = method<gc__get_progress_entry>("_get_progress", "($self, now)");
const MethodDef gc__get_delay_def = method<gc__get_delay_entry>("_get_delay", "($self, /)");

// -- helpers --------------------------------------------------------------------

// time.perf_counter(), with `time` looked up in the module at every reading so
// that rebinding it substitutes the clock of every cell.
bool read_clock(double& now) {
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
bool unpack_record(PyObject* record, Ref (&out)[3]) {
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
Ref record_item(PyObject* record, Py_ssize_t i) {
    if (PyTuple_CheckExact(record) && i < PyTuple_GET_SIZE(record)) return Ref::incref(PyTuple_GET_ITEM(record, i));
    Ref index = Ref::steal(PyLong_FromSsize_t(i));
    if (!index) return Ref();
    return Ref::steal(PyObject_GetItem(record, index.get()));
}

// -- built-in implementations and their dispatching callers ---------------------

double progress_at(double now, double end, double delay) {
    if (now > end || delay <= 0.0) return 1.0;
    double p = 1.0 - (end - now) / delay;
    if (!(p > 0.0)) p = 0.0;  // NaN too
    return p < 1.0 ? p : 1.0;
}

bool gc_get_progress_impl(GlideCell* self, double now, double& out) {
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

// `now` becomes a float object only when an override receives it.
bool gc_get_progress(GlideCell* self, double now, double& out) {
    Ref found;
    if (!find_override(obj(self), n__get_progress, gc__get_progress_def, found)) return false;
    if (!found) return gc_get_progress_impl(self, now, out);
    Ref now_obj = Ref::steal(PyFloat_FromDouble(now));
    if (!now_obj) return false;
    Ref r = Ref::steal(PyObject_CallOneArg(found.get(), now_obj.get()));
    return r && to_double(r.get(), out);
}

bool gc_get_delay_impl(GlideCell* self, double& out) {
    Ref gcv = lookup_global(n_gcv);
    if (!gcv) return false;
    Ref delay = Ref::incref(self->delay);
    Ref seconds = Ref::steal(PyObject_CallOneArg(gcv.get(), delay.get()));
    return seconds && to_double(seconds.get(), out);
}

bool gc_get_delay(GlideCell* self, double& out) {
    Ref r;
    if (!call_override(obj(self), n__get_delay, gc__get_delay_def, r)) return false;
    if (r) return to_double(r.get(), out);
    return gc_get_delay_impl(self, out);
}

// The glide has ended: the target becomes the value.  Both members are stored
// before either old object is released, so a finaliser that re-enters sees
// the idle cell.
Ref end_glide(GlideCell* self, PyObject* target) {
    Ref result = Ref::incref(target);  // releasing the record may release the target
    Ref old_value = Ref::steal(std::exchange(self->value, Py_NewRef(target)));
    Ref old_next = Ref::steal(std::exchange(self->next, Py_NewRef(Py_None)));
    return result;
}

// The value shown while gliding to `target`, which the caller keeps alive.
Ref interpolate(GlideCell* self, double now, PyObject* target) {
    Ref func = Ref::incref(self->interpolation_func);
    double progress;
    if (!gc_get_progress(self, now, progress)) return Ref();
    Ref start = Ref::incref(self->value);  // as stored once the progress is known
    Ref progress_obj = Ref::steal(PyFloat_FromDouble(progress));
    if (!progress_obj) return Ref();
    PyObject* args[] = {start.get(), target, progress_obj.get()};
    return Ref::steal(PyObject_Vectorcall(func.get(), args, 3, nullptr));
}

Ref gc_get_value_impl(GlideCell* self, double now) {
    PyObject* next = self->next;
    if (next == Py_None) return Ref::incref(self->value);
    // The record the cell itself stores: unpacked in place, nothing can run.
    if (PyTuple_CheckExact(next) && PyTuple_GET_SIZE(next) == 3 && PyFloat_CheckExact(PyTuple_GET_ITEM(next, 1))) {
        PyObject* target = PyTuple_GET_ITEM(next, 0);
        if (now >= PyFloat_AS_DOUBLE(PyTuple_GET_ITEM(next, 1))) return end_glide(self, target);
        Ref record = Ref::incref(next);  // holds the target through the calls
        return interpolate(self, now, target);
    }
    Ref record = Ref::incref(next);
    Ref items[3];  // target, end time, glide delay
    if (!unpack_record(record.get(), items)) return Ref();
    double end;
    if (!to_double(items[1].get(), end)) return Ref();
    if (now >= end) return end_glide(self, items[0].get());
    return interpolate(self, now, items[0].get());
}

Ref gc_get_value(GlideCell* self, double now) {
    Ref found;
    if (!find_override(obj(self), n__get_value, gc__get_value_def, found)) return Ref();
    if (!found) return gc_get_value_impl(self, now);
    Ref now_obj = Ref::steal(PyFloat_FromDouble(now));
    if (!now_obj) return Ref();
    return Ref::steal(PyObject_CallOneArg(found.get(), now_obj.get()));
}

Ref gc_get_value_now_impl(GlideCell* self) {
    double now;
    if (!read_clock(now)) return Ref();
    return gc_get_value(self, now);
}

// `flash` is True, False or None; `value` is kept alive by the caller.
bool gc_set_value_impl(GlideCell* self, PyObject* value, PyObject* flash) {
    if (flash == Py_True) {
        Ref old_next = Ref::steal(std::exchange(self->next, Py_NewRef(Py_None)));
        Ref old_value = Ref::steal(std::exchange(self->value, Py_NewRef(value)));
        return true;
    }
    double now, delay;
    if (!read_clock(now) || !gc_get_delay(self, delay)) return false;
    if (self->next != Py_None) {
        // Start from what the running glide shows now (its target once ended).
        Ref current = gc_get_value(self, now);
        if (!current) return false;
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

bool gc_set_value(GlideCell* self, PyObject* value, PyObject* flash) {
    Ref r;
    if (!call_override(obj(self), n__set_value, gc__set_value_def, r, {value, flash})) return false;
    if (r) return true;  // an override's result is not used
    return gc_set_value_impl(self, value, flash);
}

// -- table of overridable methods, for other compiled code ----------------------

PyObject* gc_vt__get_value(GlideCell* self, double now, int skip_dispatch) {
    return (skip_dispatch ? gc_get_value_impl(self, now) : gc_get_value(self, now)).release();
}

PyObject* gc_vt_get_value(GlideCell* self, int skip_dispatch) {
    if (!skip_dispatch) {
        Ref r;
        if (!call_override(obj(self), n_get_value, gc_get_value_def, r)) return nullptr;
        if (r) return r.release();
    }
    return gc_get_value_now_impl(self).release();
}

PyObject* gc_vt__set_value(GlideCell* self, PyObject* value, PyObject* flash, int skip_dispatch) {
    if (!skip_dispatch) {
        Ref r;
        if (!call_override(obj(self), n__set_value, gc__set_value_def, r, {value, flash})) return nullptr;
        if (r) return r.release();
    }
    if (!gc_set_value_impl(self, value, flash)) return nullptr;
    Py_RETURN_NONE;
}

double gc_vt__get_progress(GlideCell* self, double now, int skip_dispatch) {
    double d;
    return (skip_dispatch ? gc_get_progress_impl(self, now, d) : gc_get_progress(self, now, d)) ? d : -1.0;
}

double gc_vt__get_delay(GlideCell* self, int skip_dispatch) {
    double d;
    return (skip_dispatch ? gc_get_delay_impl(self, d) : gc_get_delay(self, d)) ? d : -1.0;
}

const GlideCellVTable gc_vtable{gc_vt__get_value, gc_vt_get_value, gc_vt__set_value, gc_vt__get_progress,
                                gc_vt__get_delay};

// -- methods called from Python -------------------------------------------------

const Param gc_now_params[] = {{n_now}};

const Params gc__get_value_spec{"_get_value", gc_now_params, 1, 1};
PyObject* gc__get_value_entry(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    PyObject* arg;
    double now;
    if (!parse_args(gc__get_value_spec, args, nargs, kwnames, &arg) || !to_double(arg, now)) return nullptr;
    return gc_get_value_impl(as_gc(self), now).release();
}

const Params no_params_get_value{"get_value", nullptr, 0, 0};
PyObject* gc_get_value_entry(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    if (!parse_args(no_params_get_value, args, nargs, kwnames, nullptr)) return nullptr;
    return gc_get_value_now_impl(as_gc(self)).release();
}

const Param gc__set_value_params[] = {{n_value}, {n_flash}};
const Params gc__set_value_spec{"_set_value", gc__set_value_params, 2, 2};
PyObject* gc__set_value_entry(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    PyObject* a[2];
    if (!parse_args(gc__set_value_spec, args, nargs, kwnames, a)) return nullptr;
    if (!check_exact_param(a[1], &PyBool_Type, "flash", true)) return nullptr;
    if (!gc_set_value_impl(as_gc(self), a[0], a[1])) return nullptr;
    Py_RETURN_NONE;
}

// The keyword `flash` among the keywords that set_value collects, or null.
PyObject* find_flash_keyword(PyObject* const* kwvalues, PyObject* kwnames) {
    if (!kwnames) return nullptr;
    Py_ssize_t n = PyTuple_GET_SIZE(kwnames);
    for (Py_ssize_t k = 0; k < n; ++k)
        if (PyTuple_GET_ITEM(kwnames, k) == n_flash.get()) return kwvalues[k];
    // The parser has already refused keywords that are not strings.
    for (Py_ssize_t k = 0; k < n; ++k)
        if (PyUnicode_Compare(PyTuple_GET_ITEM(kwnames, k), n_flash.get()) == 0) return kwvalues[k];
    return nullptr;
}

const Param gc_set_value_params[] = {{n_value}};
const Params gc_set_value_spec{"set_value", gc_set_value_params, 1, 1, true};
PyObject* gc_set_value_entry(PyObject* o, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    GlideCell* self = as_gc(o);
    PyObject* value;
    if (!parse_args(gc_set_value_spec, args, nargs, kwnames, &value)) return nullptr;
    PyObject* given = find_flash_keyword(args + nargs, kwnames);
    Ref flash = Ref::incref(given ? given : self->is_flash);
    if (!check_exact_value(flash.get(), &PyBool_Type, true)) return nullptr;
    if (!gc_set_value(self, value, flash.get())) return nullptr;
    return Py_NewRef(o);
}

const Params gc__get_progress_spec{"_get_progress", gc_now_params, 1, 1};
PyObject* gc__get_progress_entry(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    PyObject* arg;
    double now, p;
    if (!parse_args(gc__get_progress_spec, args, nargs, kwnames, &arg) || !to_double(arg, now)) return nullptr;
    return gc_get_progress_impl(as_gc(self), now, p) ? PyFloat_FromDouble(p) : nullptr;
}

const Params no_params_get_delay{"_get_delay", nullptr, 0, 0};
PyObject* gc__get_delay_entry(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    if (!parse_args(no_params_get_delay, args, nargs, kwnames, nullptr)) return nullptr;
    double d;
    return gc_get_delay_impl(as_gc(self), d) ? PyFloat_FromDouble(d) : nullptr;
}

const Param gc_init_params[] = {{n_interpolation_func}, {n_delay}, {n_default, &k_none}, {n_flash, &k_false}};
const Params gc_init_spec{"__init__", gc_init_params, 4, 2};

int gc_init(PyObject* o, PyObject* args, PyObject* kwds) {
    GlideCell* self = as_gc(o);
    PyObject* a[4];
    Ref keep;
    if (!parse_tuple(gc_init_spec, args, kwds, a, keep)) return -1;
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

// -- properties -----------------------------------------------------------------

PyObject* gc_progress_get(PyObject* self, void*) {
    double now, p;
    if (!read_clock(now) || !gc_get_progress(as_gc(self), now, p)) return nullptr;
    return PyFloat_FromDouble(p);
}

PyObject* gc_delay_get(PyObject* o, void*) {
    GlideCell* self = as_gc(o);
    if (self->next != Py_None) {
        Ref record = Ref::incref(self->next);
        return record_item(record.get(), 2).release();
    }
    double d;
    return gc_get_delay(self, d) ? PyFloat_FromDouble(d) : nullptr;
}

PyObject* gc_is_interpolated_get(PyObject* self, void*) { return bool_result(as_gc(self)->next != Py_None); }

PyObject* gc_next_value_get(PyObject* o, void*) {
    GlideCell* self = as_gc(o);
    if (self->next == Py_None) Py_RETURN_NONE;
    Ref record = Ref::incref(self->next);
    return record_item(record.get(), 0).release();
}

PyObject* gc_is_flash_get(PyObject* self, void*) { return Py_NewRef(as_gc(self)->is_flash); }

int gc_is_flash_set(PyObject* self, PyObject* value, void*) {
    if (!value) {
        PyErr_SetString(PyExc_NotImplementedError, "__del__");
        return -1;
    }
    bool flash;
    if (!to_truth(value, flash)) return -1;
    replace_member(as_gc(self)->is_flash, flash ? Py_True : Py_False);
    return 0;
}

PyGetSetDef gc_getset[] = {
    {"progress", gc_progress_get, nullptr, nullptr, nullptr},
    {"delay", gc_delay_get, nullptr, nullptr, nullptr},
    {"is_interpolated", gc_is_interpolated_get, nullptr, nullptr, nullptr},
    {"next_value", gc_next_value_get, nullptr, nullptr, nullptr},
    {"is_flash", gc_is_flash_get, gc_is_flash_set, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

const MethodDef* const gc_methods[] = {
    &gc__get_value_def,
    &gc_get_value_def,
    &gc__set_value_def,
    &gc_set_value_def,
    &gc__get_progress_def,
    &gc__get_delay_def,
    &ClassSlots<gc_spec>::reduce_def,
    &ClassSlots<gc_spec>::setstate_def,
    nullptr,
};

// ===========================================================================
// The module
// ===========================================================================

// T = t.TypeVar("T", default=t.Any)
bool make_type_var() {
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
    Ref module_name = Ref::steal(PyUnicode_FromString(g_module_spec->full_name));
    if (!module_name || PyObject_SetAttr(T.get(), n_module_attr.get(), module_name.get()) < 0) return false;
    return bind(n_T, T.get());
}

// class GlideCell(_GlideCell, t.Generic[T]): pass
bool make_glide_cell_class() {
    Ref t = lookup_global(n_t);
    if (!t) return false;
    Ref generic = Ref::steal(PyObject_GetAttr(t.get(), n_Generic.get()));
    if (!generic) return false;
    Ref T = lookup_global(n_T);
    if (!T) return false;
    Ref alias = Ref::steal(PyObject_GetItem(generic.get(), T.get()));
    if (!alias) return false;
    Ref bases = Ref::steal(PyTuple_Pack(2, reinterpret_cast<PyObject*>(&gc_spec.type), alias.get()));
    if (!bases) return false;
    Ref cls = make_class("GlideCell", bases.get());
    return cls && bind(n_GlideCell, cls.get());
}

const Name* const calculated_value_names[] = {&n_CalculatedValue, &n_gcv, nullptr};

ClassSpec* const glidecell_classes[] = {&gc_spec, nullptr};

const BodyStep glidecell_body[] = {
    import_step(n_typing, n_t),
    import_step(n_time, n_time),
    from_import_step(n_calculated_value, calculated_value_names),
    custom_step(make_type_var),
    methods_step(gc_spec, gc_methods),
    custom_step(make_glide_cell_class),
    end_step(),
};

const ModuleSpec glidecell_module{
    .full_name = "Quillmoor.utils.glidecell",
    .short_name = "glidecell",
    .function_type_name = "Quillmoor.utils.glidecell.compiled_function",
    .source_file = "glidecell.cpp",
    .classes = glidecell_classes,
    .body = glidecell_body,
};

}  // namespace
}  // namespace qm

PyMODINIT_FUNC PyInit_glidecell() { return qm::module_init(qm::glidecell_module); }
