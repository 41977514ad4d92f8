// Overridable methods: the override rule, the state behind it, and the glue
// that one declaration per method turns into its Python entry, its internal
// call and its slot in the class's published table.
//
// === Overview ===
//
// A call from Python always runs the built-in implementation.  When the
// class's own code calls one of these methods (a property calling its getter,
// extend calling add), a Python subclass's replacement must run instead: such
// a call asks whether ordinary attribute lookup of the method's name on the
// instance would give the class's own built-in.  One declaration,
// `Overridable<impl, params>`, gives the method
//  - def: its MethodDef, for the class's method list;
//  - call(self, out, args...): the internal call, under the override rule;
//  - table_slot(self, args..., skip_dispatch): its slot in the published table;
//  - python_entry: what a call from Python runs (parse, check, convert, built-in).
// Everything the rule keeps lives in this header: each method's
// OverrideState (its slot, its interned name, its cache), the checks of its
// Python entry, and the class's table.
//
// The rule, cheapest answer first:
//  1. may_override(): an instance of a static type without instance dicts
//     (our types themselves, which are immutable) cannot carry a replacement,
//     so the built-in runs at once.  Only heap types (classes made by Python
//     code), abstract types and types with instance dicts go on, out of line.
//     (plain() in classes.hpp is the class code's own, narrower test: an
//     instance of exactly the extension type, whose properties are its own.)
//  2. probe_own(): the class-level answer read from the dicts along the
//     type's MRO without binding anything, then the instance dict.
//  3. Whatever the probe cannot decide, and every replacement, is fetched with
//     PyObject_GetAttr and called by vectorcall, its arguments boxed and its
//     result converted back (ArgOf, ResultOf).
//
// === Caches and their invalidation ===
//
// OverrideState::inherited_by holds the version tag of the last type whose
// MRO walk found this method's own built-in: one type per method, not one per
// type, so instances of two subclasses taking turns walk the MRO at every
// call.  Nothing invalidates it explicitly: a type's version tag changes
// whenever the type or one of its bases is modified (an attribute assigned,
// __bases__ replaced) and tags are never reused, so a stale entry simply
// fails to match.  A type without a tag (the interpreter has run out of them)
// is never cached.  Only "own" is cached: a replacement is looked up afresh at
// every call, and so is the instance dict.
//
// OverrideState::name is the method's name, interned when its class is
// readied and held for the process: its cached hash spares every dict lookup
// above the hashing.
//
// === Cost per call ===
//
//  - A plain instance: the flags test of may_override(), inlined into the
//    caller, then the built-in.  No lookup, no allocation.
//  - A subclass instance without a replacement: the version tag compared with
//    the cache, plus one lookup in the instance dict where instances have one;
//    on a cache miss, one dict lookup per type of the MRO.  Then the built-in.
//  - A subclass instance with a replacement: the MRO walk, which finds the
//    replacement and so is never cached, then PyObject_GetAttr, which looks
//    the name up a second time and binds a method; then the arguments boxed,
//    the call and the result converted.
//
// === What may allocate ===
//
// The instance dict, made by PyObject_GenericGetDict on the first call for
// each instance that has none yet, and reused afterwards; the interned name,
// once per method when its class is readied.  With a replacement: the bound
// method, the boxed arguments (a float object each) and whatever the
// replacement returns.  A plain instance, and a cache hit on an instance that
// already has its dict, allocate nothing.
//
// === Re-entrancy and threads ===
//
// A dict lookup can run Python code (a key's __eq__), which may assign
// __class__ or __bases__ and so free the type, its MRO or a dict: the probe
// holds each while it reads it, and checks the type and its tag again before
// it caches.  Everything runs with the GIL held: the modules do not declare
// Py_mod_gil, so a free-threaded interpreter enables the GIL for them.
//
// === The published table ===
//
// A class with overridable methods publishes their table_slot entries in the
// order of its method list, then a null: instances point at the table
// (OverrideTable), and the class dict holds it in a capsule as __pyx_vtable__
// for other compiled code, which indexes it.  class_methods() checks the list
// as it compiles.
//
// One call end to end: `FixedTimer.progress` on an instance of
//     class P(FixedTimer):
//         def get_progress_by_tick(self, tick): return 0.5
// The property's getter calls FTimerGetProgressByTick::call(self, out, tick);
// may_override() sends the heap type P to lookup_and_call(); probe_own() finds
// P's own function in P's dict, not the built-in; PyObject_GetAttr() binds it;
// call_replacement() boxes `tick`, calls it and converts 0.5 to a float.  Had
// P not replaced the method, the probe would have answered "own" (and cached
// P's tag), and the built-in would have run directly.
#pragma once

#include "convert.hpp"
#include "function.hpp"

#include <cstddef>
#include <span>
#include <tuple>
#include <type_traits>
#include <utility>

namespace qm {
namespace {

Name n_pyx_vtable{"__pyx_vtable__"};

// Any function pointer, as the published table stores them.
using AnyFunction = void (*)();

// What the override rule keeps for one overridable method (one per
// declaration and module), pointed at by its MethodDef.
struct OverrideState {
    AnyFunction slot;              // its table_slot, as the published table holds it
    PyObject* name = nullptr;      // interned when its class is readied, held for the process
    unsigned int inherited_by = 0; // version tag of the last type whose MRO gave the built-in; 0: none
};

inline bool may_override(PyObject* self) noexcept {
    PyTypeObject* tp = Py_TYPE(self);
    return (tp->tp_flags & (Py_TPFLAGS_HEAPTYPE | Py_TPFLAGS_IS_ABSTRACT)) != 0 || tp->tp_dictoffset != 0;
}

enum class Probe { own, other, error };

// Whether `o` is the built-in function object made from `def`.
inline bool is_function_of(PyObject* o, const MethodDef& def) noexcept {
    return Py_IS_TYPE(o, &g_function_type) && reinterpret_cast<FunctionObject*>(o)->def == &def;
}

// Whether `found` (an attribute fetched from an instance) is the built-in
// function made from `def`, directly or as a bound method.
inline bool is_own_function(PyObject* found, const MethodDef& def) noexcept {
    return is_function_of(PyMethod_Check(found) ? PyMethod_GET_FUNCTION(found) : found, def);
}

// Decides, without binding a method, whether ordinary attribute lookup of
// `name` on `self` would give the class's own built-in `def`.  That lookup
// takes the first hit along the type's MRO; our function objects are not data
// descriptors, so the instance dict comes before them.  Reading those dicts
// directly answers the common case (a subclass that overrides nothing) with
// no allocation.  Everything else is `other`, and the caller does the full
// lookup: a custom __getattribute__ or __getattr__, a type in the MRO whose
// dict is kept elsewhere, another object found first, or the name present in
// the instance dict.
[[nodiscard]] inline Probe probe_own(PyObject* self, const MethodDef& def) {
    OverrideState& state = *def.overridable;
    PyObject* name = state.name;
    // Every dict lookup below can run Python code (a key's __eq__), which may
    // assign __class__ or __bases__ and so free the type, its MRO or a dict:
    // each is held for as long as it is read.
    Ref type = Ref::incref(reinterpret_cast<PyObject*>(Py_TYPE(self)));
    PyTypeObject* tp = Py_TYPE(self);
    if (tp->tp_getattro != PyObject_GenericGetAttr || !tp->tp_mro) return Probe::other;
    // A type's version tag changes whenever it or a base is modified, and tags
    // are never reused, so a match means the class-level answer still holds.
    unsigned int version = PyUnstable_Type_AssignVersionTag(tp) ? tp->tp_version_tag : 0;
    if (version == 0 || version != state.inherited_by) {
        Ref mro = Ref::incref(tp->tp_mro);
        Ref found;
        for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(mro.get()) && !found; ++i) {
            Ref dict = Ref::steal(PyType_GetDict(reinterpret_cast<PyTypeObject*>(PyTuple_GET_ITEM(mro.get(), i))));
            if (!dict) return PyErr_Occurred() ? Probe::error : Probe::other;
            PyObject* raw = nullptr;
            if (PyDict_GetItemRef(dict.get(), name, &raw) < 0) return Probe::error;
            found = Ref::steal(raw);
        }
        if (!found || !is_function_of(found.get(), def)) return Probe::other;
        // The walk ran Python code: if that changed the type, the answer is stale.
        if (Py_TYPE(self) != tp || version != tp->tp_version_tag) return Probe::other;
        if (version != 0) state.inherited_by = version;
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
    switch (probe_own(self, def)) {
        case Probe::own: return true;
        case Probe::error: return false;
        case Probe::other: break;
    }
    Ref attr = Ref::steal(PyObject_GetAttr(self, def.overridable->name));
    if (!attr) return false;
    if (!is_own_function(attr.get(), def)) found = std::move(attr);
    return true;
}

// The published table, as instances point at it.
using OverrideTable = const AnyFunction*;
constexpr std::size_t max_overridables = 8;
using TableSlots = AnyFunction[max_overridables + 1];  // the slots, then null

// Called where a method list breaks a rule of the published table: not a
// constant expression, so the list's class fails to compile.
inline void a_method_is_listed_twice() noexcept {}
inline void more_overridable_methods_than_the_table_holds() noexcept {}

// A class's method list, in the order of its class dict.  Its overridable
// methods, in that order, are the published table's slots, which other
// compiled code indexes: a new one goes after them.  Checked as it compiles:
// every method listed once, and no more overridable ones than the table holds
// (filling the table checks the count again).  GCC's AddressSanitizer build
// cannot compare globals' addresses in a constant expression, so there the
// other builds' check stands.
template <std::size_t N>
consteval std::span<const MethodDef* const> class_methods(const MethodDef* const (&methods)[N]) {
#ifndef __SANITIZE_ADDRESS__
    std::size_t overridable = 0;
    for (std::size_t i = 0; i < N; ++i) {
        for (std::size_t j = 0; j < i; ++j)
            if (methods[j] == methods[i]) a_method_is_listed_twice();
        if (methods[i]->overridable) ++overridable;
    }
    if (overridable > max_overridables) more_overridable_methods_than_the_table_holds();
#endif
    return methods;
}

// The class's table from its method list (which class_methods() has checked),
// and the names of its overridable methods interned: the override rule looks
// them up by name as soon as instances exist.
[[nodiscard]] inline bool fill_override_table(TableSlots& table, std::span<const MethodDef* const> methods) {
    std::size_t slot = 0;
    for (const MethodDef* m : methods) {
        OverrideState* state = m->overridable;
        if (!state) continue;
        if (slot == max_overridables) {
            PyErr_Format(PyExc_SystemError, "%s: more overridable methods than the table holds", m->name());
            return false;
        }
        if (!state->name) {
            state->name = PyUnicode_InternFromString(m->name());
            if (!state->name) return false;
        }
        table[slot++] = state->slot;
    }
    return true;
}

// The table in the class dict, as __pyx_vtable__: a capsule without a name
// holding its address, for other compiled code.
[[nodiscard]] inline bool publish_override_table(TableSlots& table, PyObject* dict) {
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
        Ref held;  // the checked value
        PyObject* value;
        [[nodiscard]] bool from_python(PyObject* o, const Param& p) {
            if (!p.check) {
                value = o;
                return true;
            }
            held = p.check(o, p.name.text);
            value = held.get();
            return static_cast<bool>(held);
        }
    };
};

// What the Python entry of an overridable method can require of an object
// argument (Param::check), where the built-in relies on it.
[[nodiscard]] inline Ref int_or_none(PyObject* o, const char* param) { return int_param(o, param, true); }
[[nodiscard]] inline Ref bool_or_none(PyObject* o, const char* param) {
    return check_exact_param(o, &PyBool_Type, param, true) ? Ref::incref(o) : Ref();
}

// ---- the declaration --------------------------------------------------------

template <auto Impl, const Params& P>
struct Overridable;

// An overridable method, declared once from its built-in implementation
//     [[nodiscard]] bool impl(Self* self, R& out, A... args)
// (R is float, double or Ref; A is float, double or PyObject*) and its
// parameter list (whose name is the method's Python name, and whose
// parameters carry their annotations and checks):
//  - def: the method object's definition, for the class's method list;
//  - python_entry: what a call from Python runs: parse, convert, built-in;
//  - call(self, out, args...): the internal call, as the class's own code
//    makes it, under the override rule (arguments are boxed only for a
//    replacement);
//  - table_slot(self, args..., skip_dispatch): its slot in the published
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

    static inline OverrideState state{reinterpret_cast<AnyFunction>(&table_slot)};
    static constexpr MethodDef def = method<python_entry>(P, MethodDef::method, &state);

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
