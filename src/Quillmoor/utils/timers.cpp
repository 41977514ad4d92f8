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
#include "frame/sibling.hpp"

namespace qm {
namespace {

Name n_interval{"interval"};
Name n_max_lag{"max_lag"};
Name n_tick{"tick"};
Name n_last_time{"last_time"};
Name n_ideal_ticks{"ideal_ticks"};
Name n_perf_counter{"perf_counter"};
Name n_math{"math"};
Name n_floor{"floor"};
Name n_time{"time"};
Name n_abc{"abc"};
Name n_ABC{"ABC"};

Constant k_zero{0};
Constant k_one{1};
Constant k_ten{10};

// perf_counter(), looked up in the module at every reading.
[[nodiscard]] inline Ref call_perf_counter() {
    Ref clock = lookup_global(n_perf_counter);
    if (!clock) return Ref();
    return Ref::steal(PyObject_CallNoArgs(clock.get()));
}

// Python `a OP b` as the truth of the result.
[[nodiscard]] inline int compare(PyObject* a, PyObject* b, int op) { return PyObject_RichCompareBool(a, b, op); }

// ===========================================================================
// VariableTimer
// ===========================================================================

struct VariableTimer {
    PyObject_HEAD
    OverrideTable table;
    PyObject* weakreflist;
    PyObject* interval;  // any object, resolved through gcv
    float next_time;
    float last_time;
};

PyTypeObject vtimer_type = static_type_object();

template <>
PyTypeObject* const type_of<VariableTimer> = &vtimer_type;

// -- overridable methods: built-in implementations and declarations -----------

[[nodiscard]] bool vtimer_get_interval_impl(VariableTimer* self, float& out) {
    Ref seconds = call_gcv(self->interval);  // gcv may re-initialise the timer
    return seconds && to_float32(seconds.get(), out);
}
constexpr Params vtimer_get_interval_params{"get_interval"};
using VTimerGetInterval = Overridable<vtimer_get_interval_impl, vtimer_get_interval_params>;

[[nodiscard]] bool vtimer_attempt_impl(VariableTimer* self, Ref& out) {
    Ref clock = call_perf_counter();
    if (!clock) return false;
    float now;
    if (!to_float32(clock.get(), now)) return false;
    bool fires = now >= self->next_time;  // NaN on either side never fires
    if (fires) {
        float next;
        if (plain(self)) {
            float interval;
            if (!VTimerGetInterval::call(self, interval)) return false;
            next = narrow(static_cast<double>(now) + static_cast<double>(interval));
        } else {
            Ref now_obj = Ref::steal(float_result(now));
            if (!now_obj) return false;
            Ref interval = Ref::steal(PyObject_GetAttr(py(self), n_interval.get()));
            if (!interval) return false;
            Ref sum = Ref::steal(PyNumber_Add(now_obj.get(), interval.get()));
            if (!sum || !to_float32(sum.get(), next)) return false;
        }
        self->next_time = next;
    }
    self->last_time = now;
    out = Ref::steal(bool_result(fires));
    return true;
}
constexpr Params vtimer_attempt_params{"attempt"};
using VTimerAttempt = Overridable<vtimer_attempt_impl, vtimer_attempt_params>;

[[nodiscard]] bool vtimer_get_progress_impl(VariableTimer* self, float& out) {
    Ref clock = call_perf_counter();
    if (!clock) return false;
    if (plain(self) && PyFloat_CheckExact(clock.get())) {
        double elapsed = PyFloat_AS_DOUBLE(clock.get()) - static_cast<double>(self->last_time);
        double capped = elapsed < 1.0 ? elapsed : 1.0;  // NaN caps to 1
        float interval;
        if (!VTimerGetInterval::call(self, interval)) return false;
        if (interval == 0.0f) {
            // Let the interpreter raise its own ZeroDivisionError.
            Ref a = Ref::steal(PyFloat_FromDouble(capped)), b = Ref::steal(float_result(interval));
            if (a && b) Ref quotient = Ref::steal(PyNumber_TrueDivide(a.get(), b.get()));
            return false;
        }
        double q = capped / static_cast<double>(interval);
        out = narrow(q > 0.0 ? q : 0.0);
        return true;
    }
    Ref last = Ref::steal(PyObject_GetAttr(py(self), n_last_time.get()));
    if (!last) return false;
    Ref elapsed = Ref::steal(PyNumber_Subtract(clock.get(), last.get()));
    if (!elapsed) return false;
    int below = compare(elapsed.get(), k_one.get(), Py_LT);
    if (below < 0) return false;
    Ref capped = below ? std::move(elapsed) : Ref::incref(k_one.get());
    Ref interval = Ref::steal(PyObject_GetAttr(py(self), n_interval.get()));
    if (!interval) return false;
    Ref q = Ref::steal(PyNumber_TrueDivide(capped.get(), interval.get()));
    if (!q) return false;
    int above = compare(q.get(), k_zero.get(), Py_GT);
    if (above < 0) return false;
    return to_float32(above ? q.get() : k_zero.get(), out);
}
constexpr Params vtimer_get_progress_params{"get_progress"};
using VTimerGetProgress = Overridable<vtimer_get_progress_impl, vtimer_get_progress_params>;

// -- construction and properties ------------------------------------------------

constexpr Param vtimer_init_param_list[] = {{n_interval, &k_zero}};
const Params vtimer_init_params{"__init__", vtimer_init_param_list};

int vtimer_init(PyObject* o, PyObject* args, PyObject* kwds) {
    VariableTimer* self = as<VariableTimer>(o);
    PyObject* interval;
    Ref keep;
    if (!parse_tuple(vtimer_init_params, args, kwds, &interval, keep)) return -1;
    replace_member(self->interval, interval);
    Ref clock = call_perf_counter();
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

PyObject* vtimer_interval_get(PyObject* self, void*) {
    float f;
    return VTimerGetInterval::call(as<VariableTimer>(self), f) ? float_result(f) : nullptr;
}

PyObject* vtimer_last_time_get(PyObject* self, void*) { return float_result(as<VariableTimer>(self)->last_time); }

PyObject* vtimer_progress_get(PyObject* self, void*) {
    float f;
    return VTimerGetProgress::call(as<VariableTimer>(self), f) ? float_result(f) : nullptr;
}

// -- tables -----------------------------------------------------------------------

PyGetSetDef vtimer_getset[] = {
    {"interval", vtimer_interval_get, nullptr, nullptr, nullptr},
    {"last_time", vtimer_last_time_get, nullptr, nullptr, nullptr},
    {"progress", vtimer_progress_get, nullptr, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

constexpr const MethodDef* vtimer_methods[] = {&VTimerAttempt::def, &VTimerGetInterval::def, &VTimerGetProgress::def};


constexpr Member vtimer_members[] = {
    {"_interval", MemberKind::object, offsetof(VariableTimer, interval)},
    {"_last_time", MemberKind::float32, offsetof(VariableTimer, last_time)},
    {"_next_time", MemberKind::float32, offsetof(VariableTimer, next_time)},
};

ClassDef vtimer_class{
    .type = vtimer_type,
    .name = "VariableTimer",
    .basicsize = sizeof(VariableTimer),
    .weaklist_offset = offsetof(VariableTimer, weakreflist),
    .table_offset = offsetof(VariableTimer, table),
    .members = pickled_members(vtimer_members),
    .checksums = {0xfafe870, 0x1cf829, 0x825581a},
    .init_params = vtimer_init_params,
    .init = vtimer_init,
    .getset = vtimer_getset,
    .methods = class_methods(vtimer_methods),
};

// ===========================================================================
// FixedTimer
// ===========================================================================

struct FixedTimer {
    PyObject_HEAD
    OverrideTable table;
    PyObject* weakreflist;
    float interval;
    float start_time;
    std::int32_t max_lag;
    std::int32_t count;
};

PyTypeObject ftimer_type = static_type_object();

template <>
PyTypeObject* const type_of<FixedTimer> = &ftimer_type;

// -- overridable methods: built-in implementations and declarations -----------

// (clock - start) / interval as Python computes it: for a clock that is not
// an exact float, and for the ZeroDivisionError of a zero interval.  Out of
// line, so that the usual reading keeps its registers.
[[nodiscard, gnu::noinline]] bool ftimer_ideal_ticks_general(FixedTimer* self, PyObject* clock, float& out) {
    Ref start = Ref::steal(float_result(self->start_time));
    if (!start) return false;
    Ref elapsed = Ref::steal(PyNumber_Subtract(clock, start.get()));
    if (!elapsed) return false;
    Ref interval = Ref::steal(float_result(self->interval));
    if (!interval) return false;
    Ref ticks = Ref::steal(PyNumber_TrueDivide(elapsed.get(), interval.get()));
    return ticks && to_float32(ticks.get(), out);
}

[[nodiscard]] bool ftimer_get_ideal_ticks_impl(FixedTimer* self, float& out) {
    Ref clock = call_perf_counter();
    if (!clock) return false;
    if (PyFloat_CheckExact(clock.get()) && self->interval != 0.0f) [[likely]] {
        double ticks = (PyFloat_AS_DOUBLE(clock.get()) - static_cast<double>(self->start_time)) /
                       static_cast<double>(self->interval);
        out = narrow(ticks);
        return true;
    }
    return ftimer_ideal_ticks_general(self, clock.get(), out);
}
constexpr Params ftimer_get_ideal_ticks_params{"get_ideal_ticks"};
using FTimerGetIdealTicks = Overridable<ftimer_get_ideal_ticks_impl, ftimer_get_ideal_ticks_params>;

// The attribute `ideal_ticks` as the class reads it: the property for plain
// instances, whatever a subclass put there otherwise.
[[nodiscard]] Ref ftimer_ideal_ticks_attr(FixedTimer* self) {
    if (plain(self)) {
        float f;
        return FTimerGetIdealTicks::call(self, f) ? Ref::steal(float_result(f)) : Ref();
    }
    return Ref::steal(PyObject_GetAttr(py(self), n_ideal_ticks.get()));
}

// Whether `ideal_ticks > tick` on a subclass instance, through the attribute
// and Python's comparison: 1, 0, or -1 with an exception set.
[[nodiscard, gnu::noinline]] int ftimer_subclass_ahead(FixedTimer* self) {
    Ref ideal = ftimer_ideal_ticks_attr(self);
    if (!ideal) return -1;
    Ref count = Ref::steal(PyLong_FromLong(self->count));
    if (!count) return -1;
    return compare(ideal.get(), count.get(), Py_GT);
}

// Takes the tick that attempt() found due (the lag cap applied).  Out of line:
// an attempt that does not fire needs none of its registers.
[[nodiscard, gnu::noinline]] bool ftimer_take_tick(FixedTimer* self) {
    Ref math = lookup_global(n_math);
    if (!math) return false;
    Ref floor = Ref::steal(PyObject_GetAttr(math.get(), n_floor.get()));
    if (!floor) return false;
    Ref ideal = ftimer_ideal_ticks_attr(self);  // a second reading, at least as late
    if (!ideal) return false;
    Ref floored = Ref::steal(PyObject_CallOneArg(floor.get(), ideal.get()));
    std::int32_t target;
    if (!floored || !to_int32(floored.get(), target)) return false;
    // Beyond max_lag ticks behind, the older ticks are dropped.
    if (wrap_sub(target, self->count) > self->max_lag) self->count = wrap_sub(target, self->max_lag);
    self->count = wrap_add(self->count, 1);
    return true;
}

[[nodiscard]] bool ftimer_attempt_impl(FixedTimer* self, Ref& out) {
    int ahead;
    if (plain(self)) {
        float ideal;
        if (!FTimerGetIdealTicks::call(self, ideal)) return false;
        ahead = static_cast<double>(ideal) > static_cast<double>(self->count);
    } else {
        ahead = ftimer_subclass_ahead(self);
        if (ahead < 0) return false;
    }
    if (ahead && !ftimer_take_tick(self)) return false;
    out = Ref::incref(ahead ? Py_True : Py_False);
    return true;
}
constexpr Params ftimer_attempt_params{"attempt"};
using FTimerAttempt = Overridable<ftimer_attempt_impl, ftimer_attempt_params>;

// The plain instance's arithmetic, for a tick that is exact in a double.
[[nodiscard]] bool ftimer_progress_at(FixedTimer* self, double tick, float& out) {
    float ideal;
    if (!FTimerGetIdealTicks::call(self, ideal)) return false;
    double ahead = tick - static_cast<double>(ideal);
    ahead = ahead < 1.0 ? ahead : 1.0;  // NaN caps to 1
    ahead = ahead > 0.0 ? ahead : 0.0;
    out = narrow(1.0 - ahead);
    return true;
}

// progress = 1 - clamp(tick - ideal ticks, 0, 1); `tick` is None or an int.
[[nodiscard]] bool ftimer_get_progress_by_tick_impl(FixedTimer* self, float& out, PyObject* tick) {
    if (tick == Py_None) {
        out = 1.0f;
        return true;
    }
    if (plain(self) && PyLong_CheckExact(tick) && PyUnstable_Long_IsCompact(reinterpret_cast<PyLongObject*>(tick))) {
        // A compact int converts to a double exactly, as Python's int - float does.
        double t = static_cast<double>(PyUnstable_Long_CompactValue(reinterpret_cast<PyLongObject*>(tick)));
        return ftimer_progress_at(self, t, out);
    }
    Ref ideal = ftimer_ideal_ticks_attr(self);
    if (!ideal) return false;
    Ref ahead = Ref::steal(PyNumber_Subtract(tick, ideal.get()));
    if (!ahead) return false;
    int below = compare(ahead.get(), k_one.get(), Py_LT);
    if (below < 0) return false;
    if (!below) ahead = Ref::incref(k_one.get());
    int above = compare(ahead.get(), k_zero.get(), Py_GT);
    if (above < 0) return false;
    if (!above) ahead = Ref::incref(k_zero.get());
    Ref progress = Ref::steal(PyNumber_Subtract(k_one.get(), ahead.get()));
    return progress && to_float32(progress.get(), out);
}
constexpr Param ftimer_tick_param_list[] = {
    {.name = n_tick, .check = int_or_none, .annotation = "t.Optional[int]"}};
constexpr Params ftimer_get_progress_by_tick_params{"get_progress_by_tick", ftimer_tick_param_list};
using FTimerGetProgressByTick = Overridable<ftimer_get_progress_by_tick_impl, ftimer_get_progress_by_tick_params>;

// -- construction and properties ------------------------------------------------

constexpr Param ftimer_init_param_list[] = {{n_interval}, {n_max_lag, &k_ten}};
const Params ftimer_init_params{"__init__", ftimer_init_param_list};

int ftimer_init(PyObject* o, PyObject* args, PyObject* kwds) {
    FixedTimer* self = as<FixedTimer>(o);
    PyObject* a[2];
    Ref keep;
    if (!parse_tuple(ftimer_init_params, args, kwds, a, keep)) return -1;
    double interval;
    if (!to_double(a[0], interval)) return -1;
    Ref max_lag = int_param(a[1], n_max_lag.text, false);
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
    Ref clock = call_perf_counter();
    float start;
    if (!clock || !to_float32(clock.get(), start)) return -1;
    self->start_time = start;
    return 0;
}

PyObject* ftimer_interval_get(PyObject* self, void*) { return float_result(as<FixedTimer>(self)->interval); }
PyObject* ftimer_tick_get(PyObject* self, void*) { return PyLong_FromLong(as<FixedTimer>(self)->count); }

PyObject* ftimer_ideal_ticks_get(PyObject* self, void*) {
    float f;
    return FTimerGetIdealTicks::call(as<FixedTimer>(self), f) ? float_result(f) : nullptr;
}

PyObject* ftimer_progress_get(PyObject* o, void*) {
    FixedTimer* self = as<FixedTimer>(o);
    float f;
    if (plain(self)) {
        // Its tick is its count, and no override can intervene: no int object needed.
        return ftimer_progress_at(self, static_cast<double>(self->count), f) ? float_result(f) : nullptr;
    }
    Ref tick = Ref::steal(PyObject_GetAttr(o, n_tick.get()));
    if (!tick) return nullptr;
    Ref value = optional_int_value(tick.get());
    if (!value) return nullptr;
    return FTimerGetProgressByTick::call(self, f, value.get()) ? float_result(f) : nullptr;
}

// -- tables -----------------------------------------------------------------------

PyGetSetDef ftimer_getset[] = {
    {"interval", ftimer_interval_get, nullptr, nullptr, nullptr},
    {"tick", ftimer_tick_get, nullptr, nullptr, nullptr},
    {"ideal_ticks", ftimer_ideal_ticks_get, nullptr, nullptr, nullptr},
    {"progress", ftimer_progress_get, nullptr, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

constexpr const MethodDef* ftimer_methods[] = {&FTimerAttempt::def, &FTimerGetIdealTicks::def,
                                           &FTimerGetProgressByTick::def};


constexpr Member ftimer_members[] = {
    {"_count", MemberKind::int32, offsetof(FixedTimer, count)},
    {"_interval", MemberKind::float32, offsetof(FixedTimer, interval)},
    {"_max_lag", MemberKind::int32, offsetof(FixedTimer, max_lag)},
    {"_start_time", MemberKind::float32, offsetof(FixedTimer, start_time)},
};

ClassDef ftimer_class{
    .type = ftimer_type,
    .name = "FixedTimer",
    .basicsize = sizeof(FixedTimer),
    .weaklist_offset = offsetof(FixedTimer, weakreflist),
    .table_offset = offsetof(FixedTimer, table),
    .members = pickled_members(ftimer_members),
    .checksums = {0xb9e6721, 0x2da0f92, 0xf0a2dc2},
    .init_params = ftimer_init_params,
    .init = ftimer_init,
    .getset = ftimer_getset,
    .methods = class_methods(ftimer_methods),
};

// ===========================================================================
// The module
// ===========================================================================

const Name* const perf_counter_names[] = {&n_perf_counter, nullptr};
const Name* const abc_names[] = {&n_ABC, nullptr};

const ClassEntry timers_classes[] = {class_entry<vtimer_class>, class_entry<ftimer_class>};

const BodyStep timers_body[] = {
    import_step(n_typing, n_t),
    from_import_step(n_time, perf_counter_names),
    from_import_step(n_abc, abc_names),
    import_step(n_math, n_math),
    calculated_value_import,
    methods_step(vtimer_class),
    methods_step(ftimer_class),
};

const ModuleDef timers_module{"Quillmoor.utils.timers", timers_classes, timers_body};

}  // namespace
}  // namespace qm

PyMODINIT_FUNC PyInit_timers() { return qm::module_init(qm::timers_module); }
