// Quillmoor.utils.timers: two polling timers on time.perf_counter.
//
// VariableTimer fires when its interval (resolved through gcv at every use)
// has passed since it last fired; FixedTimer counts ticks at a fixed rate
// anchored at its construction, catching up at most max_lag + 1 ticks.
//
// Plain instances of the two types cannot have their properties or methods
// replaced (the types are immutable and have no instance dict), so their hot
// paths call the built-in implementations directly and stay in doubles.
// Instances of Python subclasses take the general path through attribute
// lookups, so overridden properties change the computations too.

#include "frame/frame.hpp"

namespace qm {
namespace {

Name n_interval{"interval"};
Name n_max_lag{"max_lag"};
Name n_tick{"tick"};
Name n_last_time{"last_time"};
Name n_ideal_ticks{"ideal_ticks"};
Name n_attempt{"attempt"};
Name n_get_interval{"get_interval"};
Name n_get_progress{"get_progress"};
Name n_get_ideal_ticks{"get_ideal_ticks"};
Name n_get_progress_by_tick{"get_progress_by_tick"};
Name n_perf_counter{"perf_counter"};
Name n_gcv{"gcv"};
Name n_math{"math"};
Name n_floor{"floor"};
Name n_time{"time"};
Name n_abc{"abc"};
Name n_ABC{"ABC"};
Name n_CalculatedValue{"CalculatedValue"};
Name n_calculated_value{"Quillmoor.utils.calculated_value"};
Name n_unpickle_VariableTimer{"__pyx_unpickle_VariableTimer"};
Name n_unpickle_FixedTimer{"__pyx_unpickle_FixedTimer"};

IntConstant k_zero{0};
IntConstant k_one{1};
IntConstant k_ten{10};

const Params no_params_attempt{"attempt", nullptr, 0, 0};

inline Ref read_clock() {
    Ref clock = lookup_global(n_perf_counter);
    if (!clock) return Ref();
    return Ref::steal(PyObject_CallNoArgs(clock.get()));
}

// Python `a OP b` compared with an int constant, as the truth of the result.
inline int compare(PyObject* a, PyObject* b, int op) { return PyObject_RichCompareBool(a, b, op); }

// ===========================================================================
// VariableTimer
// ===========================================================================

struct VariableTimer;

struct VariableTimerVTable {
    PyObject* (*attempt)(VariableTimer*, int skip_dispatch);
    float (*get_interval)(VariableTimer*, int skip_dispatch);  // -1.0 with an exception set on failure
    float (*get_progress)(VariableTimer*, int skip_dispatch);
};

struct VariableTimer {
    PyObject_HEAD
    const VariableTimerVTable* vtab;
    PyObject* weakreflist;
    PyObject* interval;  // any object, resolved through gcv
    float next_time;
    float last_time;
};

extern const VariableTimerVTable vt_vtable;

const Member vt_members[] = {
    {"_interval", Kind::object, offsetof(VariableTimer, interval)},
    {"_last_time", Kind::float32, offsetof(VariableTimer, last_time)},
    {"_next_time", Kind::float32, offsetof(VariableTimer, next_time)},
};

int vt_init(PyObject*, PyObject*, PyObject*);
extern PyGetSetDef vt_getset[];

ClassSpec vt_spec{
    .dotted_name = "Quillmoor.utils.timers.VariableTimer",
    .class_name = "VariableTimer",
    .basicsize = sizeof(VariableTimer),
    .gc = true,
    .weaklist_offset = offsetof(VariableTimer, weakreflist),
    .vtable_offset = offsetof(VariableTimer, vtab),
    .vtable = &vt_vtable,
    .members = vt_members,
    .member_count = 3,
    .checksums = {0xfafe870, 0x1cf829, 0x825581a},
    .member_list = "_interval, _last_time, _next_time",
    .unpickle_name = &n_unpickle_VariableTimer,
    .init = vt_init,
    .getset = vt_getset,
    .text_signature = "VariableTimer(interval=0)\n--\n\n",
    .install = ClassSlots<vt_spec>::install,
};

inline VariableTimer* as_vt(PyObject* o) { return reinterpret_cast<VariableTimer*>(o); }
inline PyObject* obj(VariableTimer* t) { return reinterpret_cast<PyObject*>(t); }
inline bool plain(VariableTimer* t) { return Py_IS_TYPE(obj(t), &vt_spec.type); }

PyObject* vt_attempt_entry(PyObject*, PyObject* const*, Py_ssize_t, PyObject*);
PyObject* vt_get_interval_entry(PyObject*, PyObject* const*, Py_ssize_t, PyObject*);
PyObject* vt_get_progress_entry(PyObject*, PyObject* const*, Py_ssize_t, PyObject*);

const MethodDef vt_attempt_def = method<vt_attempt_entry>("attempt", "($self, /)");
const MethodDef vt_get_interval_def = method<vt_get_interval_entry>("get_interval", "($self, /)");
const MethodDef vt_get_progress_def = method<vt_get_progress_entry>("get_progress", "($self, /)");

// -- built-in implementations -------------------------------------------------

bool vt_get_interval_impl(VariableTimer* self, float& out) {
    Ref gcv = lookup_global(n_gcv);
    if (!gcv) return false;
    Ref interval = Ref::incref(self->interval);  // gcv may re-initialise the timer
    Ref seconds = Ref::steal(PyObject_CallOneArg(gcv.get(), interval.get()));
    return seconds && to_float32(seconds.get(), out);
}

// get_interval as the class's own code calls it: through the override rule.
bool vt_get_interval(VariableTimer* self, float& out) {
    Ref r;
    if (!call_override(obj(self), n_get_interval, vt_get_interval_def, r)) return false;
    if (r) return to_float32(r.get(), out);
    return vt_get_interval_impl(self, out);
}

PyObject* vt_attempt_impl(VariableTimer* self) {
    Ref clock = read_clock();
    if (!clock) return nullptr;
    float now;
    if (!to_float32(clock.get(), now)) return nullptr;
    bool fires = now >= self->next_time;  // NaN on either side never fires
    if (fires) {
        float next;
        if (plain(self)) {
            float interval;
            if (!vt_get_interval(self, interval)) return nullptr;
            next = narrow(static_cast<double>(now) + static_cast<double>(interval));
        } else {
            Ref now_obj = Ref::steal(float_result(now));
            if (!now_obj) return nullptr;
            Ref interval = Ref::steal(PyObject_GetAttr(obj(self), n_interval.get()));
            if (!interval) return nullptr;
            Ref sum = Ref::steal(PyNumber_Add(now_obj.get(), interval.get()));
            if (!sum || !to_float32(sum.get(), next)) return nullptr;
        }
        self->next_time = next;
    }
    self->last_time = now;
    return bool_result(fires);
}

bool vt_get_progress_impl(VariableTimer* self, float& out) {
    Ref clock = read_clock();
    if (!clock) return false;
    if (plain(self) && PyFloat_CheckExact(clock.get())) {
        double elapsed = PyFloat_AS_DOUBLE(clock.get()) - static_cast<double>(self->last_time);
        double capped = elapsed < 1.0 ? elapsed : 1.0;  // NaN caps to 1
        float interval;
        if (!vt_get_interval(self, interval)) return false;
        if (interval == 0.0f) {
            // Let the interpreter raise its own ZeroDivisionError.
            Ref a = Ref::steal(PyFloat_FromDouble(capped)), b = Ref::steal(float_result(interval));
            if (a && b) Ref::steal(PyNumber_TrueDivide(a.get(), b.get()));
            return false;
        }
        double q = capped / static_cast<double>(interval);
        out = narrow(q > 0.0 ? q : 0.0);
        return true;
    }
    Ref last = Ref::steal(PyObject_GetAttr(obj(self), n_last_time.get()));
    if (!last) return false;
    Ref elapsed = Ref::steal(PyNumber_Subtract(clock.get(), last.get()));
    if (!elapsed) return false;
    int below = compare(elapsed.get(), k_one.obj, Py_LT);
    if (below < 0) return false;
    Ref capped = below ? std::move(elapsed) : Ref::incref(k_one.obj);
    Ref interval = Ref::steal(PyObject_GetAttr(obj(self), n_interval.get()));
    if (!interval) return false;
    Ref q = Ref::steal(PyNumber_TrueDivide(capped.get(), interval.get()));
    if (!q) return false;
    int above = compare(q.get(), k_zero.obj, Py_GT);
    if (above < 0) return false;
    return to_float32(above ? q.get() : k_zero.obj, out);
}

bool vt_get_progress(VariableTimer* self, float& out) {
    Ref r;
    if (!call_override(obj(self), n_get_progress, vt_get_progress_def, r)) return false;
    if (r) return to_float32(r.get(), out);
    return vt_get_progress_impl(self, out);
}

// -- table of overridable methods, for other compiled code ----------------------

PyObject* vt_vt_attempt(VariableTimer* self, int skip_dispatch) {
    if (!skip_dispatch) {
        Ref r;
        if (!call_override(obj(self), n_attempt, vt_attempt_def, r)) return nullptr;
        if (r) return r.release();
    }
    return vt_attempt_impl(self);
}

float vt_vt_get_interval(VariableTimer* self, int skip_dispatch) {
    float f;
    return (skip_dispatch ? vt_get_interval_impl(self, f) : vt_get_interval(self, f)) ? f : -1.0f;
}

float vt_vt_get_progress(VariableTimer* self, int skip_dispatch) {
    float f;
    return (skip_dispatch ? vt_get_progress_impl(self, f) : vt_get_progress(self, f)) ? f : -1.0f;
}

const VariableTimerVTable vt_vtable{vt_vt_attempt, vt_vt_get_interval, vt_vt_get_progress};

// -- methods called from Python -------------------------------------------------

PyObject* vt_attempt_entry(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    if (!parse_args(no_params_attempt, args, nargs, kwnames, nullptr)) return nullptr;
    return vt_attempt_impl(as_vt(self));
}

const Params no_params_get_interval{"get_interval", nullptr, 0, 0};
PyObject* vt_get_interval_entry(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    if (!parse_args(no_params_get_interval, args, nargs, kwnames, nullptr)) return nullptr;
    float f;
    return vt_get_interval_impl(as_vt(self), f) ? float_result(f) : nullptr;
}

const Params no_params_get_progress{"get_progress", nullptr, 0, 0};
PyObject* vt_get_progress_entry(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    if (!parse_args(no_params_get_progress, args, nargs, kwnames, nullptr)) return nullptr;
    float f;
    return vt_get_progress_impl(as_vt(self), f) ? float_result(f) : nullptr;
}

const Param vt_init_params[] = {{n_interval, &k_zero.obj}};
const Params vt_init_spec{"__init__", vt_init_params, 1, 0};

int vt_init(PyObject* o, PyObject* args, PyObject* kwds) {
    VariableTimer* self = as_vt(o);
    PyObject* interval;
    Ref keep;
    if (!parse_tuple(vt_init_spec, args, kwds, &interval, keep)) return -1;
    replace_member(self->interval, interval);
    Ref clock = read_clock();
    if (!clock) return -1;
    Ref resolved = Ref::steal(PyObject_GetAttr(o, n_interval.get()));
    if (!resolved) return -1;
    Ref sum = Ref::steal(PyNumber_Add(clock.get(), resolved.get()));
    float next;
    if (!sum || !to_float32(sum.get(), next)) return -1;
    self->next_time = next;
    self->last_time = 0.0f;
    return 0;
}

// -- properties -----------------------------------------------------------------

PyObject* vt_interval_get(PyObject* self, void*) {
    float f;
    return vt_get_interval(as_vt(self), f) ? float_result(f) : nullptr;
}

PyObject* vt_last_time_get(PyObject* self, void*) { return float_result(as_vt(self)->last_time); }

PyObject* vt_progress_get(PyObject* self, void*) {
    float f;
    return vt_get_progress(as_vt(self), f) ? float_result(f) : nullptr;
}

PyGetSetDef vt_getset[] = {
    {"interval", vt_interval_get, nullptr, nullptr, nullptr},
    {"last_time", vt_last_time_get, nullptr, nullptr, nullptr},
    {"progress", vt_progress_get, nullptr, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

const MethodDef* const vt_methods[] = {
    &vt_attempt_def,
    &vt_get_interval_def,
    &vt_get_progress_def,
    &ClassSlots<vt_spec>::reduce_def,
    &ClassSlots<vt_spec>::setstate_def,
    nullptr,
};

// ===========================================================================
// FixedTimer
// ===========================================================================

struct FixedTimer;

struct FixedTimerVTable {
    PyObject* (*attempt)(FixedTimer*, int skip_dispatch);
    float (*get_ideal_ticks)(FixedTimer*, int skip_dispatch);  // -1.0 with an exception set on failure
    float (*get_progress_by_tick)(FixedTimer*, PyObject* tick, int skip_dispatch);
};

struct FixedTimer {
    PyObject_HEAD
    const FixedTimerVTable* vtab;
    PyObject* weakreflist;
    float interval;
    float start_time;
    std::int32_t max_lag;
    std::int32_t count;
};

extern const FixedTimerVTable ft_vtable;

const Member ft_members[] = {
    {"_count", Kind::int32, offsetof(FixedTimer, count)},
    {"_interval", Kind::float32, offsetof(FixedTimer, interval)},
    {"_max_lag", Kind::int32, offsetof(FixedTimer, max_lag)},
    {"_start_time", Kind::float32, offsetof(FixedTimer, start_time)},
};

int ft_init(PyObject*, PyObject*, PyObject*);
extern PyGetSetDef ft_getset[];

ClassSpec ft_spec{
    .dotted_name = "Quillmoor.utils.timers.FixedTimer",
    .class_name = "FixedTimer",
    .basicsize = sizeof(FixedTimer),
    .gc = false,
    .weaklist_offset = offsetof(FixedTimer, weakreflist),
    .vtable_offset = offsetof(FixedTimer, vtab),
    .vtable = &ft_vtable,
    .members = ft_members,
    .member_count = 4,
    .checksums = {0xb9e6721, 0x2da0f92, 0xf0a2dc2},
    .member_list = "_count, _interval, _max_lag, _start_time",
    .unpickle_name = &n_unpickle_FixedTimer,
    .init = ft_init,
    .getset = ft_getset,
    .text_signature = "FixedTimer(interval, max_lag=10)\n--\n\n",
    .install = ClassSlots<ft_spec>::install,
};

inline FixedTimer* as_ft(PyObject* o) { return reinterpret_cast<FixedTimer*>(o); }
inline PyObject* obj(FixedTimer* t) { return reinterpret_cast<PyObject*>(t); }
inline bool plain(FixedTimer* t) { return Py_IS_TYPE(obj(t), &ft_spec.type); }

PyObject* ft_attempt_entry(PyObject*, PyObject* const*, Py_ssize_t, PyObject*);
PyObject* ft_get_ideal_ticks_entry(PyObject*, PyObject* const*, Py_ssize_t, PyObject*);
PyObject* ft_get_progress_by_tick_entry(PyObject*, PyObject* const*, Py_ssize_t, PyObject*);

const Annotation ft_tick_annotations[] = {{"tick", "t.Optional[int]"}, {nullptr, nullptr}};
const MethodDef ft_attempt_def = method<ft_attempt_entry>("attempt", "($self, /)");
const MethodDef ft_get_ideal_ticks_def = method<ft_get_ideal_ticks_entry>("get_ideal_ticks", "($self, /)");
const MethodDef ft_get_progress_by_tick_def =
    method<ft_get_progress_by_tick_entry>("get_progress_by_tick", "($self, tick)", ft_tick_annotations);

// -- built-in implementations -------------------------------------------------

bool ft_get_ideal_ticks_impl(FixedTimer* self, float& out) {
    Ref clock = read_clock();
    if (!clock) return false;
    if (PyFloat_CheckExact(clock.get()) && self->interval != 0.0f) {
        double ticks = (PyFloat_AS_DOUBLE(clock.get()) - static_cast<double>(self->start_time)) /
                       static_cast<double>(self->interval);
        out = narrow(ticks);
        return true;
    }
    Ref start = Ref::steal(float_result(self->start_time));
    if (!start) return false;
    Ref elapsed = Ref::steal(PyNumber_Subtract(clock.get(), start.get()));
    if (!elapsed) return false;
    Ref interval = Ref::steal(float_result(self->interval));
    if (!interval) return false;
    Ref ticks = Ref::steal(PyNumber_TrueDivide(elapsed.get(), interval.get()));
    return ticks && to_float32(ticks.get(), out);
}

bool ft_get_ideal_ticks(FixedTimer* self, float& out) {
    Ref r;
    if (!call_override(obj(self), n_get_ideal_ticks, ft_get_ideal_ticks_def, r)) return false;
    if (r) return to_float32(r.get(), out);
    return ft_get_ideal_ticks_impl(self, out);
}

// The attribute `ideal_ticks` as the class reads it: the property for plain
// instances, whatever a subclass put there otherwise.
Ref ft_ideal_ticks_attr(FixedTimer* self) {
    if (plain(self)) {
        float f;
        return ft_get_ideal_ticks(self, f) ? Ref::steal(float_result(f)) : Ref();
    }
    return Ref::steal(PyObject_GetAttr(obj(self), n_ideal_ticks.get()));
}

PyObject* ft_attempt_impl(FixedTimer* self) {
    if (plain(self)) {
        float ideal;
        if (!ft_get_ideal_ticks(self, ideal)) return nullptr;
        if (!(static_cast<double>(ideal) > static_cast<double>(self->count))) Py_RETURN_FALSE;
    } else {
        Ref ideal = ft_ideal_ticks_attr(self);
        if (!ideal) return nullptr;
        Ref count = Ref::steal(PyLong_FromLong(self->count));
        if (!count) return nullptr;
        int ahead = compare(ideal.get(), count.get(), Py_GT);
        if (ahead < 0) return nullptr;
        if (!ahead) Py_RETURN_FALSE;
    }
    Ref math = lookup_global(n_math);
    if (!math) return nullptr;
    Ref floor = Ref::steal(PyObject_GetAttr(math.get(), n_floor.get()));
    if (!floor) return nullptr;
    Ref ideal = ft_ideal_ticks_attr(self);  // a second reading, at least as late
    if (!ideal) return nullptr;
    Ref floored = Ref::steal(PyObject_CallOneArg(floor.get(), ideal.get()));
    std::int32_t target;
    if (!floored || !to_int32(floored.get(), target)) return nullptr;
    // Beyond max_lag ticks behind, the older ticks are dropped.
    if (wrap_sub(target, self->count) > self->max_lag) self->count = wrap_sub(target, self->max_lag);
    self->count = wrap_add(self->count, 1);
    Py_RETURN_TRUE;
}

// The plain instance's arithmetic, for a tick that is exact in a double.
bool ft_progress_at(FixedTimer* self, double tick, float& out) {
    float ideal;
    if (!ft_get_ideal_ticks(self, ideal)) return false;
    double ahead = tick - static_cast<double>(ideal);
    ahead = ahead < 1.0 ? ahead : 1.0;  // NaN caps to 1
    ahead = ahead > 0.0 ? ahead : 0.0;
    out = narrow(1.0 - ahead);
    return true;
}

// progress = 1 - clamp(tick - ideal ticks, 0, 1); `tick` is None or an int.
bool ft_get_progress_by_tick_impl(FixedTimer* self, PyObject* tick, float& out) {
    if (tick == Py_None) {
        out = 1.0f;
        return true;
    }
    if (plain(self) && PyLong_CheckExact(tick) && PyUnstable_Long_IsCompact(reinterpret_cast<PyLongObject*>(tick))) {
        // A compact int converts to a double exactly, as Python's int - float does.
        double t = static_cast<double>(PyUnstable_Long_CompactValue(reinterpret_cast<PyLongObject*>(tick)));
        return ft_progress_at(self, t, out);
    }
    Ref ideal = ft_ideal_ticks_attr(self);
    if (!ideal) return false;
    Ref ahead = Ref::steal(PyNumber_Subtract(tick, ideal.get()));
    if (!ahead) return false;
    int below = compare(ahead.get(), k_one.obj, Py_LT);
    if (below < 0) return false;
    if (!below) ahead = Ref::incref(k_one.obj);
    int above = compare(ahead.get(), k_zero.obj, Py_GT);
    if (above < 0) return false;
    if (!above) ahead = Ref::incref(k_zero.obj);
    Ref progress = Ref::steal(PyNumber_Subtract(k_one.obj, ahead.get()));
    return progress && to_float32(progress.get(), out);
}

bool ft_get_progress_by_tick(FixedTimer* self, PyObject* tick, float& out) {
    Ref r;
    if (!call_override(obj(self), n_get_progress_by_tick, ft_get_progress_by_tick_def, r, {tick})) return false;
    if (r) return to_float32(r.get(), out);
    return ft_get_progress_by_tick_impl(self, tick, out);
}

// -- table of overridable methods, for other compiled code ----------------------

PyObject* ft_vt_attempt(FixedTimer* self, int skip_dispatch) {
    if (!skip_dispatch) {
        Ref r;
        if (!call_override(obj(self), n_attempt, ft_attempt_def, r)) return nullptr;
        if (r) return r.release();
    }
    return ft_attempt_impl(self);
}

float ft_vt_get_ideal_ticks(FixedTimer* self, int skip_dispatch) {
    float f;
    return (skip_dispatch ? ft_get_ideal_ticks_impl(self, f) : ft_get_ideal_ticks(self, f)) ? f : -1.0f;
}

float ft_vt_get_progress_by_tick(FixedTimer* self, PyObject* tick, int skip_dispatch) {
    float f;
    return (skip_dispatch ? ft_get_progress_by_tick_impl(self, tick, f) : ft_get_progress_by_tick(self, tick, f))
               ? f
               : -1.0f;
}

const FixedTimerVTable ft_vtable{ft_vt_attempt, ft_vt_get_ideal_ticks, ft_vt_get_progress_by_tick};

// -- methods called from Python -------------------------------------------------

PyObject* ft_attempt_entry(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    if (!parse_args(no_params_attempt, args, nargs, kwnames, nullptr)) return nullptr;
    return ft_attempt_impl(as_ft(self));
}

const Params no_params_get_ideal_ticks{"get_ideal_ticks", nullptr, 0, 0};
PyObject* ft_get_ideal_ticks_entry(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    if (!parse_args(no_params_get_ideal_ticks, args, nargs, kwnames, nullptr)) return nullptr;
    float f;
    return ft_get_ideal_ticks_impl(as_ft(self), f) ? float_result(f) : nullptr;
}

const Param ft_tick_params[] = {{n_tick}};
const Params ft_tick_spec{"get_progress_by_tick", ft_tick_params, 1, 1};
PyObject* ft_get_progress_by_tick_entry(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    PyObject* arg;
    if (!parse_args(ft_tick_spec, args, nargs, kwnames, &arg)) return nullptr;
    Ref tick = int_param(arg, "tick", true);
    if (!tick) return nullptr;
    float f;
    return ft_get_progress_by_tick_impl(as_ft(self), tick.get(), f) ? float_result(f) : nullptr;
}

const Param ft_init_params[] = {{n_interval}, {n_max_lag, &k_ten.obj}};
const Params ft_init_spec{"__init__", ft_init_params, 2, 1};

int ft_init(PyObject* o, PyObject* args, PyObject* kwds) {
    FixedTimer* self = as_ft(o);
    PyObject* a[2];
    Ref keep;
    if (!parse_tuple(ft_init_spec, args, kwds, a, keep)) return -1;
    double interval;
    if (!to_double(a[0], interval)) return -1;
    Ref max_lag = int_param(a[1], "max_lag", false);
    if (!max_lag) return -1;
    if (interval <= 0.0) {  // NaN passes
        PyErr_SetString(PyExc_ValueError, "Interval must be positive");
        return -1;
    }
    self->interval = narrow(interval);
    std::int32_t lag;
    if (!to_int32(max_lag.get(), lag)) return -1;
    self->max_lag = lag;
    self->count = 0;
    Ref clock = read_clock();
    float start;
    if (!clock || !to_float32(clock.get(), start)) return -1;
    self->start_time = start;
    return 0;
}

// -- properties -----------------------------------------------------------------

PyObject* ft_interval_get(PyObject* self, void*) { return float_result(as_ft(self)->interval); }
PyObject* ft_tick_get(PyObject* self, void*) { return PyLong_FromLong(as_ft(self)->count); }

PyObject* ft_ideal_ticks_get(PyObject* self, void*) {
    float f;
    return ft_get_ideal_ticks(as_ft(self), f) ? float_result(f) : nullptr;
}

PyObject* ft_progress_get(PyObject* o, void*) {
    FixedTimer* self = as_ft(o);
    if (plain(self)) {
        // Its tick is its count, and no override can intervene: no int object needed.
        float f;
        return ft_progress_at(self, static_cast<double>(self->count), f) ? float_result(f) : nullptr;
    }
    Ref tick = plain(self) ? Ref::steal(PyLong_FromLong(self->count)) : Ref::steal(PyObject_GetAttr(o, n_tick.get()));
    if (!tick) return nullptr;
    Ref value = optional_int_value(tick.get());
    if (!value) return nullptr;
    float f;
    return ft_get_progress_by_tick(self, value.get(), f) ? float_result(f) : nullptr;
}

PyGetSetDef ft_getset[] = {
    {"interval", ft_interval_get, nullptr, nullptr, nullptr},
    {"tick", ft_tick_get, nullptr, nullptr, nullptr},
    {"ideal_ticks", ft_ideal_ticks_get, nullptr, nullptr, nullptr},
    {"progress", ft_progress_get, nullptr, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

const MethodDef* const ft_methods[] = {
    &ft_attempt_def,
    &ft_get_ideal_ticks_def,
    &ft_get_progress_by_tick_def,
    &ClassSlots<ft_spec>::reduce_def,
    &ClassSlots<ft_spec>::setstate_def,
    nullptr,
};

// ===========================================================================
// The module
// ===========================================================================

const Name* const perf_counter_names[] = {&n_perf_counter, nullptr};
const Name* const abc_names[] = {&n_ABC, nullptr};
const Name* const calculated_value_names[] = {&n_CalculatedValue, &n_gcv, nullptr};

ClassSpec* const timers_classes[] = {&vt_spec, &ft_spec, nullptr};

const BodyStep timers_body[] = {
    import_step(n_typing, n_t),
    from_import_step(n_time, perf_counter_names),
    from_import_step(n_abc, abc_names),
    import_step(n_math, n_math),
    from_import_step(n_calculated_value, calculated_value_names),
    methods_step(vt_spec, vt_methods),
    methods_step(ft_spec, ft_methods),
    end_step(),
};

const ModuleSpec timers_module{
    .full_name = "Quillmoor.utils.timers",
    .short_name = "timers",
    .function_type_name = "Quillmoor.utils.timers.compiled_function",
    .source_file = "timers.cpp",
    .classes = timers_classes,
    .body = timers_body,
};

}  // namespace
}  // namespace qm

PyMODINIT_FUNC PyInit_timers() { return qm::module_init(qm::timers_module); }
