// Overridable methods: the override rule, and the glue that one declaration
// per method turns into its Python entry, its internal call and its entry in
// the class's published table.
//
// A call from Python always runs the built-in implementation.  When the
// class's own code calls one of these methods (a property calling its getter,
// extend calling add), a Python subclass's replacement must run instead.  Only
// types that can carry one are looked at: heap types (classes made by Python
// code), abstract types and types with instance dicts.  Instances of the
// extension types themselves never pay for a lookup.
//
// One call end to end: `FixedTimer.progress` on an instance of
//     class P(FixedTimer):
//         def get_progress_by_tick(self, tick): return 0.5
// (timers.cpp declares `using FTimerGetProgressByTick =
// Overridable<ftimer_get_progress_by_tick_impl, ftimer_get_progress_by_tick_params>`).
//  1. The property's getter calls FTimerGetProgressByTick::call(self, out, tick),
//     the internal call, inlined into the getter.
//  2. call() asks may_override(self): P is a heap type, so it goes on to
//     lookup_and_call() (out of line, so plain instances pay nothing for it).
//  3. find_override() runs the override rule: probe_own() walks P's MRO dicts
//     for "get_progress_by_tick" and finds P's own function, not the class's
//     built-in (a FunctionObject whose def is this declaration's), so the
//     attribute is fetched from the instance as a bound method.
//  4. call_replacement() boxes `tick` (ArgOf), calls the bound method by
//     vectorcall and converts its result back (ResultOf: here to a float).
// Had P not replaced the method, step 3 would have answered "own" from the
// dicts alone and the built-in implementation would have run directly.  From
// Python, P(1).get_progress_by_tick(3) runs python_entry(): the one parser,
// the conversions of ArgOf<...>::Holder, then the built-in, never the lookup.
// Compiled callers use table_slot() through the class's published table.
#pragma once

#include "convert.hpp"
#include "function.hpp"

#include <algorithm>
#include <cstddef>
#include <span>
#include <tuple>
#include <type_traits>
#include <utility>

namespace qm {
namespace {

Name n_pyx_vtable{"__pyx_vtable__"};

inline bool may_override(PyObject* self) noexcept {
    PyTypeObject* tp = Py_TYPE(self);
    return (tp->tp_flags & (Py_TPFLAGS_HEAPTYPE | Py_TPFLAGS_IS_ABSTRACT)) != 0 || tp->tp_dictoffset != 0;
}

enum class Probe { own, other, error };

// Decides, without binding a method, whether ordinary attribute lookup of
// `name` on `self` would give the class's own built-in `def`.  That lookup
// takes the first hit along the type's MRO; our function objects are not data
// descriptors, so the instance dict comes before them.  Reading those dicts
// directly answers the common case (a subclass that overrides nothing) with
// no allocation.  Everything else is `other`, and the caller does the full
// lookup: a custom __getattribute__ or __getattr__, a type in the MRO whose
// dict is kept elsewhere, another object found first, or the name present in
// the instance dict.
[[nodiscard]] inline Probe probe_own(PyObject* self, PyObject* name, const MethodDef& def) {
    // Every dict lookup below can run Python code (a key's __eq__), which may
    // assign __class__ or __bases__ and so free the type, its MRO or a dict:
    // each is held for as long as it is read.
    Ref type = Ref::incref(reinterpret_cast<PyObject*>(Py_TYPE(self)));
    PyTypeObject* tp = Py_TYPE(self);
    if (tp->tp_getattro != PyObject_GenericGetAttr || !tp->tp_mro) return Probe::other;
    // A type's version tag changes whenever it or a base is modified, and tags
    // are never reused, so a match means the class-level answer still holds.
    unsigned int version = PyUnstable_Type_AssignVersionTag(tp) ? tp->tp_version_tag : 0;
    if (version == 0 || version != def.inherited_by) {
        Ref mro = Ref::incref(tp->tp_mro);
        Ref found;
        for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(mro.get()) && !found; ++i) {
            Ref dict = Ref::steal(PyType_GetDict(reinterpret_cast<PyTypeObject*>(PyTuple_GET_ITEM(mro.get(), i))));
            if (!dict) return PyErr_Occurred() ? Probe::error : Probe::other;
            PyObject* raw = nullptr;
            if (PyDict_GetItemRef(dict.get(), name, &raw) < 0) return Probe::error;
            found = Ref::steal(raw);
        }
        if (!found || !Py_IS_TYPE(found.get(), &g_function_type) ||
            reinterpret_cast<FunctionObject*>(found.get())->def != &def)
            return Probe::other;
        // The walk ran Python code: if that changed the type, the answer is stale.
        if (Py_TYPE(self) != tp || version != tp->tp_version_tag) return Probe::other;
        if (version != 0) def.inherited_by = version;
    }
    if (tp->tp_dictoffset != 0) {
        // Made once per instance if it does not exist yet, then reused.
        Ref dict = Ref::steal(PyObject_GenericGetDict(self, nullptr));
        if (!dict) return Probe::error;
        int has = PyDict_Contains(dict.get(), name);
        if (has != 0) return has < 0 ? Probe::error : Probe::other;
    }
    return Probe::own;
}

// Finds a replacement of `def` on `self`, an instance that may_override()
// admits.  On success `found` holds the replacement to call, or stays empty
// when the built-in must run.
[[nodiscard]] inline bool find_override(PyObject* self, const MethodDef& def, Ref& found) {
    PyObject* name = def.interned_name;  // made when the class was readied
    switch (probe_own(self, name, def)) {
        case Probe::own: return true;
        case Probe::error: return false;
        case Probe::other: break;
    }
    Ref attr = Ref::steal(PyObject_GetAttr(self, name));
    if (!attr) return false;
    if (!is_own_function(attr.get(), def)) found = std::move(attr);
    return true;
}

// The published table of overridable methods: their table_slot entries in
// the order the class states beside its method list.  Instances point at it, and
// the class dict holds it in a capsule for other compiled code.
using OverrideTable = const AnyFunction*;
constexpr std::size_t max_overridables = 8;

// The class's table, its slots in the order the class states (other compiled
// code indexes it), and the names of all its methods interned: the override
// rule looks them up by name as soon as instances exist.  The table and the
// method list must name the same overridable methods.
[[nodiscard]] inline bool fill_override_table(AnyFunction (&table)[max_overridables],
                                              std::span<const MethodDef* const> order,
                                              std::span<const MethodDef* const> methods, const char* class_name) {
    if (order.size() > max_overridables) {
        PyErr_Format(PyExc_SystemError, "%s: more than %zu overridable methods", class_name, max_overridables);
        return false;
    }
    std::size_t slot = 0;
    for (const MethodDef* m : order) {
        if (!m->slot) {
            PyErr_Format(PyExc_SystemError, "%s: %s in the table is not overridable", class_name, m->name());
            return false;
        }
        table[slot++] = m->slot;
    }
    for (const MethodDef* m : methods) {
        if (m->slot && std::find(order.begin(), order.end(), m) == order.end()) {
            PyErr_Format(PyExc_SystemError, "%s: overridable %s has no slot in the table", class_name, m->name());
            return false;
        }
        if (!intern_name(*m)) return false;
    }
    return true;
}

// The table in the class dict, as __pyx_vtable__: a capsule without a name
// holding its address, for other compiled code.
[[nodiscard]] inline bool publish_override_table(AnyFunction (&table)[max_overridables], PyObject* dict) {
    Ref capsule = Ref::steal(PyCapsule_New(static_cast<void*>(table), nullptr, nullptr));
    return capsule && PyDict_SetItem(dict, n_pyx_vtable.get(), capsule.get()) == 0;
}

// ---- how values cross between C and Python --------------------------------

// A floating-point value: float is the single-precision kind, rounded from
// what Python gives; double is taken as it is.  Both widen exactly to Python.
template <class F>
[[nodiscard]] inline bool float_from_python(PyObject* o, F& out) {
    if constexpr (std::is_same_v<F, float>)
        return to_float32(o, out);
    else
        return to_double(o, out);
}

// A built-in's result: float, double or an object.  How an override's result
// converts to it, how it is handed to Python, and what the table entry
// returns on failure.
template <class T>
struct ResultOf {
    static_assert(std::is_floating_point_v<T>);
    using Slot = T;
    static constexpr T slot_error = -1;  // with an exception set
    [[nodiscard]] static bool from_python(Ref r, T& out) { return float_from_python(r.get(), out); }
    static PyObject* to_python(T v) { return PyFloat_FromDouble(static_cast<double>(v)); }
    static T to_slot(T v) { return v; }
};

template <>
struct ResultOf<Ref> {
    using Slot = PyObject*;  // a new reference
    static constexpr PyObject* slot_error = nullptr;
    [[nodiscard]] static bool from_python(Ref r, Ref& out) {
        out = std::move(r);
        return true;
    }
    static PyObject* to_python(Ref& v) { return v.release(); }
    static PyObject* to_slot(Ref& v) { return v.release(); }
};

// A built-in's argument: how it is handed to an override, and how the
// built-in's Python entry takes it from a Python argument (Holder).
template <class T>
struct ArgOf {
    static_assert(std::is_floating_point_v<T>);
    static Ref to_python(T v) { return Ref::steal(PyFloat_FromDouble(static_cast<double>(v))); }
    struct Holder {
        T value;
        [[nodiscard]] bool from_python(PyObject* o, const Param&) { return float_from_python(o, value); }
    };
};

template <>
struct ArgOf<PyObject*> {
    static Ref to_python(PyObject* v) { return Ref::incref(v); }
    struct Holder {
        Ref held;  // a converted value
        PyObject* value;
        [[nodiscard]] bool from_python(PyObject* o, const Param& p) {
            switch (p.accept) {
                case Accept::any: break;
                case Accept::int_or_none:
                    held = int_param(o, p.name.text, true);
                    value = held.get();
                    return static_cast<bool>(held);
                case Accept::bool_or_none:
                    if (!check_exact_param(o, &PyBool_Type, p.name.text, true)) return false;
                    break;
            }
            value = o;
            return true;
        }
    };
};

// ---- the declaration --------------------------------------------------------

template <auto Impl, const Params& P>
struct Overridable;

// An overridable method, declared once from its built-in implementation
//     bool impl(Self* self, R& out, A... args)
// (R is float, double or Ref) and its parameter list (whose name is the
// method's Python name, and whose parameters carry their annotations):
//  - def: the method object's definition, for the class's method list;
//  - python_entry: what a call from Python runs: parse, convert, built-in;
//  - call(self, out, args...): the internal call, as the class's own code
//    makes it, under the override rule (arguments are boxed only for a
//    replacement);
//  - table_slot(self, args..., skip_dispatch): its entry in the published
//    table, returning R (a new reference for objects), or -1.0 or null with
//    an exception set.
template <class Self, class R, class... A, bool (*Impl)(Self*, R&, A...), const Params& P>
struct Overridable<Impl, P> {
    static_assert(P.count == sizeof...(A), "one parameter per argument of the implementation");

    [[nodiscard, gnu::always_inline]] static bool call(Self* self, R& out, A... args) {
        if (!may_override(reinterpret_cast<PyObject*>(self))) [[likely]]
            return Impl(self, out, args...);
        return lookup_and_call(self, out, args...);
    }

    static typename ResultOf<R>::Slot table_slot(Self* self, A... args, int skip_dispatch) {
        R out{};
        bool ok = skip_dispatch ? Impl(self, out, args...) : call(self, out, args...);
        return ok ? ResultOf<R>::to_slot(out) : ResultOf<R>::slot_error;
    }

    static PyObject* python_entry(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
        PyObject* given[sizeof...(A) ? sizeof...(A) : 1];
        if (!parse_args(P, args, nargs, kwnames, given)) return nullptr;
        return convert_and_run(reinterpret_cast<Self*>(self), given, std::index_sequence_for<A...>{});
    }

    static inline const MethodDef def = method<python_entry>(P, MethodDef::method, reinterpret_cast<AnyFunction>(&table_slot));

private:
    // Out of line, so that the internal call costs plain instances no registers.
    [[nodiscard, gnu::noinline]] static bool lookup_and_call(Self* self, R& out, A... args) {
        Ref found;
        if (!find_override(reinterpret_cast<PyObject*>(self), def, found)) return false;
        if (!found) return Impl(self, out, args...);
        return call_replacement(found.get(), out, args...);
    }

    [[nodiscard, gnu::noinline]] static bool call_replacement(PyObject* found, R& out, A... args) {
        Ref boxed[] = {ArgOf<A>::to_python(args)..., Ref()};
        PyObject* argv[sizeof...(A) + 1] = {};
        for (std::size_t i = 0; i < sizeof...(A); ++i) {
            if (!boxed[i]) return false;
            argv[i] = boxed[i].get();
        }
        Ref r = Ref::steal(PyObject_Vectorcall(found, argv, sizeof...(A), nullptr));
        return r && ResultOf<R>::from_python(std::move(r), out);
    }

    // A call from Python: the arguments converted in order, then the built-in.
    template <std::size_t... I>
    [[gnu::always_inline]] static PyObject* convert_and_run(Self* self, PyObject** given, std::index_sequence<I...>) {
        std::tuple<typename ArgOf<A>::Holder...> held;
        if (!(std::get<I>(held).from_python(given[I], P.params[I]) && ...)) return nullptr;
        R out{};
        if (!Impl(self, out, std::get<I>(held).value...)) return nullptr;
        return ResultOf<R>::to_python(out);
    }
};

}  // namespace
}  // namespace qm
