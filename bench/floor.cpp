// _qmfloor: the floor the benchmark measures the package against.
//
// Each method does only the work that no implementation of the measured
// operation can avoid: the call itself with the same arguments, the
// module-global lookups and clock calls the operation must make, every call
// of Python code it must make (gcv, the interpolation function, math.floor)
// with the same objects, the checks whose failure is specified (a zero
// interval, the flash test) and the result objects it must hand back.
// Nothing else is validated and nothing is converted beyond reading exact
// floats.
//
// The package's methods must be function objects in the class dict that bind
// when fetched from an instance, so the interpreter calls them through its
// general path for callables.  The floor's methods are therefore function
// objects of a minimal type of their own (vectorcall with the instance and
// argument-count check, a method descriptor to the interpreter, bound through
// PyMethod_New): that is the floor.  The same methods are also reachable as
// the interpreter's own method descriptors, under the prefix `d_`, as a
// reference column: its specialised calls are open to built-in types only.
//
// The globals (perf_counter, time, math, gcv) live in this module's own
// namespace, bound by bench/run.py to the very objects the package uses, and
// are looked up by interned name at every use, as the package must.

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <cstddef>
#include <cstdint>
#include <initializer_list>

namespace {

PyObject* g_dict = nullptr;  // this module's namespace
PyObject* s_perf_counter = nullptr;
PyObject* s_time = nullptr;
PyObject* s_math = nullptr;
PyObject* s_floor = nullptr;
PyObject* s_gcv = nullptr;
PyObject* s_unpickle = nullptr;
PyObject* g_checksum = nullptr;  // the int pickles carry, made once
PyObject* s_get_value = nullptr;
PyObject* s__get_value = nullptr;
PyObject* s__get_progress = nullptr;
PyObject* s__get_delay = nullptr;
PyObject* s__set_value = nullptr;

// A module global, borrowed from the namespace (bench/run.py keeps them bound).
inline PyObject* global(PyObject* name) {
    PyObject* v = PyDict_GetItemWithError(g_dict, name);
    if (!v && !PyErr_Occurred()) PyErr_SetObject(PyExc_NameError, name);
    return v;
}

// perf_counter() as a double.
inline bool clock_read(double& now) {
    PyObject* f = global(s_perf_counter);
    if (!f) return false;
    PyObject* r = PyObject_CallNoArgs(f);
    if (!r) return false;
    now = PyFloat_AsDouble(r);
    Py_DECREF(r);
    return true;
}

// time.perf_counter() as a double: the glide cell's clock.
inline bool time_clock_read(double& now) {
    PyObject* time = global(s_time);
    if (!time) return false;
    PyObject* f = PyObject_GetAttr(time, s_perf_counter);
    if (!f) return false;
    PyObject* r = PyObject_CallNoArgs(f);
    Py_DECREF(f);
    if (!r) return false;
    now = PyFloat_AsDouble(r);
    Py_DECREF(r);
    return true;
}

inline bool call_gcv(PyObject* seconds_obj, double& out) {
    PyObject* gcv = global(s_gcv);
    if (!gcv) return false;
    PyObject* r = PyObject_CallOneArg(gcv, seconds_obj);
    if (!r) return false;
    out = PyFloat_AsDouble(r);
    Py_DECREF(r);
    return true;
}

#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wmissing-field-initializers"
PyTypeObject floor_type = {PyVarObject_HEAD_INIT(nullptr, 0)};
PyTypeObject pickled_type = {PyVarObject_HEAD_INIT(nullptr, 0)};
PyTypeObject function_type = {PyVarObject_HEAD_INIT(nullptr, 0)};
#pragma GCC diagnostic pop

// ===========================================================================
// Floor: one type for every operation but pickling
// ===========================================================================

struct Floor {
    PyObject_HEAD
    PyObject* seconds_obj;    // interval or delay object, resolved through gcv
    PyObject* func;    // interpolation function
    PyObject* value;   // stored or start value
    PyObject* target;  // glide target
    PyObject* record;  // glide record
    PyObject* is_flash;  // the glide cell's default flash flag
    float interval;      // a FixedTimer's, tested for zero
    float sum;
    std::uint32_t count;  // wraps
    std::int32_t depth;
};

inline Floor* F(PyObject* o) { return reinterpret_cast<Floor*>(o); }

PyObject* floor_new(PyTypeObject* t, PyObject*, PyObject*) {
    PyObject* o = t->tp_alloc(t, 0);
    if (!o) return nullptr;
    Floor* f = F(o);
    f->seconds_obj = Py_NewRef(Py_None);
    f->func = Py_NewRef(Py_None);
    f->value = Py_NewRef(Py_None);
    f->target = Py_NewRef(Py_None);
    f->record = Py_NewRef(Py_None);
    f->is_flash = Py_False;
    f->interval = 1.0f;
    return o;
}

// Floor(seconds_obj, func, value, target)
int floor_init(PyObject* o, PyObject* args, PyObject*) {
    PyObject *seconds_obj = Py_None, *func = Py_None, *value = Py_None, *target = Py_None;
    if (!PyArg_ParseTuple(args, "|OOOO", &seconds_obj, &func, &value, &target)) return -1;
    Py_XSETREF(F(o)->seconds_obj, Py_NewRef(seconds_obj));
    Py_XSETREF(F(o)->func, Py_NewRef(func));
    Py_XSETREF(F(o)->value, Py_NewRef(value));
    Py_XSETREF(F(o)->target, Py_NewRef(target));
    return 0;
}

int floor_traverse(PyObject* o, visitproc visit, void* arg) {
    Py_VISIT(F(o)->seconds_obj);
    Py_VISIT(F(o)->func);
    Py_VISIT(F(o)->value);
    Py_VISIT(F(o)->target);
    Py_VISIT(F(o)->record);
    return 0;
}

int floor_clear(PyObject* o) {
    Py_CLEAR(F(o)->seconds_obj);
    Py_CLEAR(F(o)->func);
    Py_CLEAR(F(o)->value);
    Py_CLEAR(F(o)->target);
    Py_CLEAR(F(o)->record);
    return 0;
}

void floor_dealloc(PyObject* o) {
    PyObject_GC_UnTrack(o);
    floor_clear(o);
    Py_TYPE(o)->tp_free(o);
}

// -- timers -------------------------------------------------------------------

// A FixedTimer divides by its interval: zero raises.
inline bool nonzero(float interval) {
    if (interval != 0.0f) return true;
    PyErr_SetString(PyExc_ZeroDivisionError, "float division by zero");
    return false;
}

// VariableTimer.attempt() that does not fire: one clock reading.
PyObject* attempt_idle(PyObject*, PyObject*) {
    double now;
    if (!clock_read(now)) return nullptr;
    Py_RETURN_FALSE;
}

// FixedTimer.attempt() that does not fire: one clock reading, the zero test.
PyObject* fixed_attempt_idle(PyObject* self, PyObject*) {
    double now;
    if (!clock_read(now) || !nonzero(F(self)->interval)) return nullptr;
    Py_RETURN_FALSE;
}

// FixedTimer.attempt() that fires: two clock readings, math.floor of the second.
PyObject* fixed_attempt_fire(PyObject* self, PyObject*) {
    double now;
    if (!clock_read(now) || !nonzero(F(self)->interval)) return nullptr;
    PyObject* math = global(s_math);
    if (!math) return nullptr;
    PyObject* floor = PyObject_GetAttr(math, s_floor);
    if (!floor) return nullptr;
    if (!clock_read(now)) {
        Py_DECREF(floor);
        return nullptr;
    }
    PyObject* ideal = PyFloat_FromDouble(now);
    if (!ideal) {
        Py_DECREF(floor);
        return nullptr;
    }
    PyObject* r = PyObject_CallOneArg(floor, ideal);
    Py_DECREF(ideal);
    Py_DECREF(floor);
    if (!r) return nullptr;
    Py_DECREF(r);
    Py_RETURN_TRUE;
}

// VariableTimer.attempt() that fires: one clock reading, gcv of the interval.
PyObject* variable_attempt_fire(PyObject* self, PyObject*) {
    double now, interval;
    if (!clock_read(now) || !call_gcv(F(self)->seconds_obj, interval)) return nullptr;
    Py_RETURN_TRUE;
}

// ideal_ticks, FixedTimer.progress: one clock reading, the zero test, a float result.
PyObject* clock_property(PyObject* self, void*) {
    double now;
    if (!clock_read(now) || !nonzero(F(self)->interval)) return nullptr;
    return PyFloat_FromDouble(now);
}

// VariableTimer.progress: a clock reading, gcv of the interval, the zero test, a float result.
PyObject* variable_progress(PyObject* self, void*) {
    double now, interval;
    if (!clock_read(now) || !call_gcv(F(self)->seconds_obj, interval)) return nullptr;
    if (interval == 0.0) {
        PyErr_SetString(PyExc_ZeroDivisionError, "float division by zero");
        return nullptr;
    }
    return PyFloat_FromDouble(now);
}

// -- glide cell ---------------------------------------------------------------

// The lookups the override rule makes on instances of Python subclasses,
// through the public lookup call (which binds methods).  Plain instances make none.
inline bool lookups(PyObject* self, std::initializer_list<PyObject*> names) {
    if (Py_IS_TYPE(self, &floor_type)) return true;
    for (PyObject* name : names) {
        PyObject* found = PyObject_GetAttr(self, name);
        if (!found) return false;
        Py_DECREF(found);
    }
    return true;
}

// get_value() of an idle cell: the clock, the stored value.
PyObject* get_value_idle(PyObject* self, PyObject*) {
    double now;
    if (!time_clock_read(now) || !lookups(self, {s__get_value})) return nullptr;
    return Py_NewRef(F(self)->value);
}

// get_value() of a gliding cell: the clock, the interpolation function.
PyObject* get_value_gliding(PyObject* self, PyObject*) {
    double now;
    if (!time_clock_read(now) || !lookups(self, {s__get_value, s__get_progress})) return nullptr;
    PyObject* progress = PyFloat_FromDouble(0.5);
    if (!progress) return nullptr;
    PyObject* args[] = {F(self)->value, F(self)->target, progress};
    PyObject* r = PyObject_Vectorcall(F(self)->func, args, 3, nullptr);
    Py_DECREF(progress);
    return r;
}

// set_value(value) with a glide in place: the flash test, the clock, gcv of
// the delay, and the new record (target, end time, delay), which the cell's
// state makes observable.
PyObject* set_value(PyObject* self, PyObject* value) {
    if (F(self)->is_flash == Py_True) {
        Py_SETREF(F(self)->value, Py_NewRef(value));
        return Py_NewRef(self);
    }
    double now, delay;
    if (!time_clock_read(now) || !lookups(self, {s__set_value, s__get_delay, s__get_value}) ||
        !call_gcv(F(self)->seconds_obj, delay))
        return nullptr;
    PyObject* end = PyFloat_FromDouble(now + delay);
    PyObject* d = PyFloat_FromDouble(delay);
    PyObject* record = end && d ? PyTuple_Pack(3, value, end, d) : nullptr;
    Py_XDECREF(end);
    Py_XDECREF(d);
    if (!record) return nullptr;
    Py_SETREF(F(self)->record, record);
    return Py_NewRef(self);
}

// Stand-ins for the overridable methods, so that the lookups find something to bind.
PyObject* stub(PyObject*, PyObject* const*, Py_ssize_t) { Py_RETURN_NONE; }

// -- mean ---------------------------------------------------------------------

inline bool add_one(Floor* self, PyObject* x) {
    double d;
    if (PyFloat_CheckExact(x))
        d = PyFloat_AS_DOUBLE(x);
    else if (PyLong_CheckExact(x) && PyUnstable_Long_IsCompact(reinterpret_cast<PyLongObject*>(x)))
        d = static_cast<double>(PyUnstable_Long_CompactValue(reinterpret_cast<PyLongObject*>(x)));
    else
        d = PyFloat_AsDouble(x);
    if (d == -1.0 && PyErr_Occurred()) return false;
    self->sum = self->sum + static_cast<float>(d);
    self->count += 1;
    return true;
}

PyObject* mean_add(PyObject* self, PyObject* x) {
    if (!add_one(F(self), x)) return nullptr;
    return Py_NewRef(self);
}

PyObject* mean_iadd(PyObject* self, PyObject* x) { return mean_add(self, x); }

// A list's exact floats are added with the sum and count in registers: no
// Python code runs between them, so nothing can observe the object.  They are
// stored before an item whose conversion can run code.
PyObject* mean_extend(PyObject* self, PyObject* values) {
    if (PyList_CheckExact(values)) {
        Floor* f = F(self);
        for (Py_ssize_t i = 0;; ++i) {
            PyObject** items = reinterpret_cast<PyListObject*>(values)->ob_item;
            Py_ssize_t n = PyList_GET_SIZE(values);
            float sum = f->sum;
            Py_ssize_t first = i;
            for (; i < n && PyFloat_CheckExact(items[i]); ++i) sum = sum + static_cast<float>(PyFloat_AS_DOUBLE(items[i]));
            f->sum = sum;
            f->count += static_cast<std::uint32_t>(i - first);
            if (i >= n) break;
            PyObject* item = Py_NewRef(items[i]);
            bool ok = add_one(f, item);
            Py_DECREF(item);
            if (!ok) return nullptr;
        }
        return Py_NewRef(self);
    }
    PyObject* it = PyObject_GetIter(values);
    if (!it) return nullptr;
    PyObject* item;
    while ((item = PyIter_Next(it))) {
        bool ok = add_one(F(self), item);
        Py_DECREF(item);
        if (!ok) break;
    }
    Py_DECREF(it);
    if (PyErr_Occurred()) return nullptr;
    return Py_NewRef(self);
}

PyObject* mean_value(PyObject* self, void*) {
    auto count = static_cast<std::int32_t>(F(self)->count);
    if (count <= 0) return PyLong_FromLong(0);
    return PyFloat_FromDouble(F(self)->sum / static_cast<float>(count));
}

// -- flag ---------------------------------------------------------------------

PyObject* flag_enter(PyObject* self, PyObject* const*, Py_ssize_t) {
    F(self)->depth += 1;
    Py_RETURN_NONE;
}

PyObject* flag_exit(PyObject* self, PyObject* const*, Py_ssize_t) {
    F(self)->depth -= 1;
    Py_RETURN_NONE;
}

int flag_bool(PyObject* self) { return F(self)->depth > 0; }

#define FAST(f) reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(f))

// The interpreter's method descriptors, the reference column.
PyMethodDef floor_methods[] = {
    {"d_attempt_idle", attempt_idle, METH_NOARGS, nullptr},
    {"d_fixed_attempt_idle", fixed_attempt_idle, METH_NOARGS, nullptr},
    {"d_fixed_attempt_fire", fixed_attempt_fire, METH_NOARGS, nullptr},
    {"d_variable_attempt_fire", variable_attempt_fire, METH_NOARGS, nullptr},
    {"d_get_value_idle", get_value_idle, METH_NOARGS, nullptr},
    {"d_get_value_gliding", get_value_gliding, METH_NOARGS, nullptr},
    {"d_set_value", set_value, METH_O, nullptr},
    {"d_add", mean_add, METH_O, nullptr},
    {"d_extend", mean_extend, METH_O, nullptr},
    {nullptr, nullptr, 0, nullptr},
};

// -- the floor's function objects ------------------------------------------------
//
// What the package's methods must at least be: an object in the class dict
// that the interpreter calls by vectorcall with the instance in front (a
// method descriptor, so no bound method is made for obj.method()), that
// checks the instance's type and the argument count, and that binds through
// PyMethod_New when fetched from an instance.  One vectorcall per method, so
// the method's body is called directly.

struct Function {
    PyObject_HEAD
    vectorcallfunc vectorcall;
};

[[gnu::cold, gnu::noinline]] PyObject* bad_call() {
    PyErr_SetString(PyExc_TypeError, "a Floor method called with the wrong instance or arguments");
    return nullptr;
}

inline bool is_floor(PyObject* o) { return PyObject_TypeCheck(o, &floor_type); }

template <PyCFunction M>
PyObject* call_noargs(PyObject*, PyObject* const* args, size_t nargsf, PyObject* kwnames) {
    if (PyVectorcall_NARGS(nargsf) != 1 || kwnames || !is_floor(args[0])) [[unlikely]]
        return bad_call();
    return M(args[0], nullptr);
}

template <PyCFunction M>
PyObject* call_o(PyObject*, PyObject* const* args, size_t nargsf, PyObject* kwnames) {
    if (PyVectorcall_NARGS(nargsf) != 2 || kwnames || !is_floor(args[0])) [[unlikely]]
        return bad_call();
    return M(args[0], args[1]);
}

template <PyObject* (*M)(PyObject*, PyObject* const*, Py_ssize_t)>
PyObject* call_fast(PyObject*, PyObject* const* args, size_t nargsf, PyObject* kwnames) {
    Py_ssize_t nargs = PyVectorcall_NARGS(nargsf);
    if (nargs < 1 || kwnames || !is_floor(args[0])) [[unlikely]]
        return bad_call();
    return M(args[0], args + 1, nargs - 1);
}

PyObject* function_get(PyObject* self, PyObject* obj, PyObject*) {
    if (obj == nullptr || obj == Py_None) return Py_NewRef(self);
    return PyMethod_New(self, obj);
}

void function_dealloc(PyObject* o) { PyObject_Free(o); }

const struct {
    const char* name;
    vectorcallfunc call;
} floor_functions[] = {
    {"attempt_idle", call_noargs<attempt_idle>},
    {"fixed_attempt_idle", call_noargs<fixed_attempt_idle>},
    {"fixed_attempt_fire", call_noargs<fixed_attempt_fire>},
    {"variable_attempt_fire", call_noargs<variable_attempt_fire>},
    {"get_value_idle", call_noargs<get_value_idle>},
    {"get_value_gliding", call_noargs<get_value_gliding>},
    {"set_value", call_o<set_value>},
    {"_get_value", call_fast<stub>},
    {"_get_progress", call_fast<stub>},
    {"_get_delay", call_fast<stub>},
    {"_set_value", call_fast<stub>},
    {"add", call_o<mean_add>},
    {"extend", call_o<mean_extend>},
    {"__enter__", call_fast<flag_enter>},
    {"__exit__", call_fast<flag_exit>},
};

bool add_functions(PyTypeObject* t) {
    function_type.tp_name = "_qmfloor.function";
    function_type.tp_basicsize = sizeof(Function);
    function_type.tp_flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_VECTORCALL | Py_TPFLAGS_METHOD_DESCRIPTOR;
    function_type.tp_vectorcall_offset = offsetof(Function, vectorcall);
    function_type.tp_call = PyVectorcall_Call;
    function_type.tp_descr_get = function_get;
    function_type.tp_dealloc = function_dealloc;
    if (PyType_Ready(&function_type) < 0) return false;
    PyObject* dict = PyType_GetDict(t);
    if (!dict) return false;
    bool ok = true;
    for (const auto& d : floor_functions) {
        Function* f = PyObject_New(Function, &function_type);
        if (!f) {
            ok = false;
            break;
        }
        f->vectorcall = d.call;
        ok = PyDict_SetItemString(dict, d.name, reinterpret_cast<PyObject*>(f)) == 0;
        Py_DECREF(f);
        if (!ok) break;
    }
    Py_DECREF(dict);
    PyType_Modified(t);
    return ok;
}

PyGetSetDef floor_getset[] = {
    {"ideal_ticks", clock_property, nullptr, nullptr, nullptr},
    {"fixed_progress", clock_property, nullptr, nullptr, nullptr},
    {"variable_progress", variable_progress, nullptr, nullptr, nullptr},
    {"value", mean_value, nullptr, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyNumberMethods floor_as_number{};

// ===========================================================================
// Pickled: the floor of pickling
// ===========================================================================
//
// Reduces to (unpickle function, (class, checksum, state)) with the state
// built from C fields at every call, or, when an object member is set, to the
// form that restores through __setstate__, as the package's classes must.

struct Pickled {
    PyObject_HEAD
    Py_ssize_t n;
    char kinds[5];  // 'i' int32, 'f' float32, 'o' object
    double num[5];
    PyObject* obj[5];
};

inline Pickled* P(PyObject* o) { return reinterpret_cast<Pickled*>(o); }

void pickled_dealloc(PyObject* o) {
    for (PyObject*& x : P(o)->obj) Py_CLEAR(x);
    Py_TYPE(o)->tp_free(o);
}

// Takes kinds and values from a state tuple: ints, floats, other objects.
bool pickled_fill(PyObject* o, PyObject* state) {
    Pickled* p = P(o);
    Py_ssize_t n = PyTuple_GET_SIZE(state);
    if (n > 5) n = 5;
    p->n = n;
    for (Py_ssize_t i = 0; i < n; ++i) {
        PyObject* v = PyTuple_GET_ITEM(state, i);
        if (PyLong_CheckExact(v)) {
            p->kinds[i] = 'i';
            p->num[i] = static_cast<double>(PyLong_AsLong(v));
        } else if (PyFloat_CheckExact(v)) {
            p->kinds[i] = 'f';
            p->num[i] = static_cast<float>(PyFloat_AS_DOUBLE(v));
        } else {
            p->kinds[i] = 'o';
            Py_XSETREF(p->obj[i], Py_NewRef(v));
        }
    }
    return !PyErr_Occurred();
}

int pickled_init(PyObject* o, PyObject* args, PyObject*) {
    PyObject* state;
    if (!PyArg_ParseTuple(args, "O!", &PyTuple_Type, &state)) return -1;
    return pickled_fill(o, state) ? 0 : -1;
}

PyObject* pickled_reduce(PyObject* self, PyObject*) {
    Pickled* p = P(self);
    PyObject* state = PyTuple_New(p->n);
    if (!state) return nullptr;
    bool objects = false;
    for (Py_ssize_t i = 0; i < p->n; ++i) {
        PyObject* v;
        switch (p->kinds[i]) {
            case 'i': v = PyLong_FromLong(static_cast<long>(p->num[i])); break;
            case 'f': v = PyFloat_FromDouble(p->num[i]); break;
            default:
                v = Py_NewRef(p->obj[i]);
                objects = true;
        }
        if (!v) {
            Py_DECREF(state);
            return nullptr;
        }
        PyTuple_SET_ITEM(state, i, v);
    }
    PyObject* func = global(s_unpickle);
    PyObject* checksum = Py_NewRef(g_checksum);
    PyObject* args = func && checksum
                         ? PyTuple_Pack(3, reinterpret_cast<PyObject*>(Py_TYPE(self)), checksum, objects ? Py_None : state)
                         : nullptr;
    Py_XDECREF(checksum);
    PyObject* r = nullptr;
    if (args) r = objects ? PyTuple_Pack(3, func, args, state) : PyTuple_Pack(2, func, args);
    Py_XDECREF(args);
    Py_DECREF(state);
    return r;
}

PyObject* pickled_setstate(PyObject* self, PyObject* state) {
    if (!PyTuple_CheckExact(state) || !pickled_fill(self, state)) return nullptr;
    Py_RETURN_NONE;
}

// reconstruct_Pickled(class, checksum, state): a bare instance with the state
// written back.  Its name is as long as the package's __pyx_unpickle_Mean.
PyObject* unpickle(PyObject*, PyObject* const* args, Py_ssize_t nargs) {
    if (nargs != 3 || !PyType_Check(args[0])) {
        PyErr_SetString(PyExc_TypeError, "unpickle(class, checksum, state)");
        return nullptr;
    }
    if (PyLong_AsLong(args[1]) != 0x1234567) {
        if (!PyErr_Occurred()) PyErr_SetString(PyExc_ValueError, "checksum");
        return nullptr;
    }
    auto* t = reinterpret_cast<PyTypeObject*>(args[0]);
    PyObject* o = t->tp_alloc(t, 0);
    if (!o) return nullptr;
    if (args[2] != Py_None && (!PyTuple_CheckExact(args[2]) || !pickled_fill(o, args[2]))) {
        Py_DECREF(o);
        return nullptr;
    }
    return o;
}

PyMethodDef pickled_methods[] = {
    {"__reduce__", pickled_reduce, METH_NOARGS, nullptr},
    {"__setstate__", pickled_setstate, METH_O, nullptr},
    {nullptr, nullptr, 0, nullptr},
};

PyMethodDef module_methods[] = {
    {"reconstruct_Pickled", FAST(unpickle), METH_FASTCALL, nullptr},
    {nullptr, nullptr, 0, nullptr},
};

// ===========================================================================
// The module
// ===========================================================================

bool intern(PyObject*& slot, const char* text) {
    slot = PyUnicode_InternFromString(text);
    return slot && PyObject_Hash(slot) != -1;
}

int exec_module(PyObject* m) {
    if (!intern(s_perf_counter, "perf_counter") || !intern(s_time, "time") || !intern(s_math, "math") ||
        !intern(s_floor, "floor") || !intern(s_gcv, "gcv") || !intern(s_unpickle, "reconstruct_Pickled") ||
        !intern(s_get_value, "get_value") || !intern(s__get_value, "_get_value") ||
        !intern(s__get_progress, "_get_progress") || !intern(s__get_delay, "_get_delay") ||
        !intern(s__set_value, "_set_value"))
        return -1;
    g_dict = Py_NewRef(PyModule_GetDict(m));
    g_checksum = PyLong_FromLong(0x1234567);
    if (!g_checksum) return -1;

    floor_as_number.nb_inplace_add = mean_iadd;
    floor_as_number.nb_bool = flag_bool;
    floor_type.tp_name = "_qmfloor.Floor";
    floor_type.tp_basicsize = sizeof(Floor);
    floor_type.tp_flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_BASETYPE | Py_TPFLAGS_HAVE_GC;
    floor_type.tp_new = floor_new;
    floor_type.tp_init = floor_init;
    floor_type.tp_dealloc = floor_dealloc;
    floor_type.tp_traverse = floor_traverse;
    floor_type.tp_clear = floor_clear;
    floor_type.tp_methods = floor_methods;
    floor_type.tp_getset = floor_getset;
    floor_type.tp_as_number = &floor_as_number;
    if (PyType_Ready(&floor_type) < 0 || !add_functions(&floor_type) ||
        PyModule_AddObjectRef(m, "Floor", reinterpret_cast<PyObject*>(&floor_type)) < 0)
        return -1;

    // Pickles name a class and a reconstruction function by module and name,
    // and pickle imports and walks that path at every dump and load: the
    // floor's path is as deep as the package's (Quillmoor.utils.<module>),
    // so it pays what the package pays.  run.py makes the path importable.
    pickled_type.tp_name = "qmbench.floor.pickling.Pickled";
    pickled_type.tp_basicsize = sizeof(Pickled);
    pickled_type.tp_flags = Py_TPFLAGS_DEFAULT;
    pickled_type.tp_new = PyType_GenericNew;
    pickled_type.tp_init = pickled_init;
    pickled_type.tp_dealloc = pickled_dealloc;
    pickled_type.tp_methods = pickled_methods;
    if (PyType_Ready(&pickled_type) < 0 ||
        PyModule_AddObjectRef(m, "Pickled", reinterpret_cast<PyObject*>(&pickled_type)) < 0)
        return -1;
    return 0;
}

PyModuleDef_Slot module_slots[] = {
    {Py_mod_exec, reinterpret_cast<void*>(exec_module)},
    {0, nullptr},
};

PyModuleDef module_def = {
    PyModuleDef_HEAD_INIT, "_qmfloor", nullptr, 0, module_methods, module_slots, nullptr, nullptr, nullptr,
};

}  // namespace

PyMODINIT_FUNC PyInit__qmfloor() { return PyModuleDef_Init(&module_def); }
