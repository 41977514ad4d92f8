// Argument parsing from a static parameter list, for vectorcall (array plus
// keyword names) and for tuple-plus-dict calls (initialisers), with the
// interpreter-style count and keyword messages.
//
// Parsed values are borrowed: from the caller's argument array or tuple (alive
// for the whole call), or from a snapshot of the keyword dict that the caller
// keeps, because a conversion may run code that mutates that dict.
#pragma once

#include "state.hpp"

#include <algorithm>
#include <cstdio>

namespace qm {
namespace {

// A check of an object argument that the Python entry of an overridable
// method runs before the built-in (override.hpp's int_or_none, bool_or_none):
// the value to pass on, or an empty Ref with an exception set.  Hand-written
// entries check their arguments themselves.
using ArgCheck = Ref (*)(PyObject* given, const char* param);

struct Param {
    const Name& name;
    const Constant* default_value = nullptr;  // null: required
    ArgCheck check = nullptr;          // null: any object
    const char* annotation = nullptr;  // source text for __annotations__, never evaluated; null: none
};

// What **kwargs (and a variadic method's *args) are annotated with: the
// method reads them itself, so any value may come.
constexpr char any_annotation[] = "t.Any";

// A parameter list.  The counts follow from the array: the parameters with a
// default come last, and those before them are required.
struct Params {
    const char* func;                       // bare name used in messages
    const Param* params = nullptr;
    Py_ssize_t count = 0;
    Py_ssize_t required = 0;
    const char* extra_keywords = nullptr;  // name of a **kwargs the method reads itself, or null
    const Param* star = nullptr;           // a *args the function reads itself, or null

    constexpr explicit Params(const char* func_) noexcept : func(func_) {}
    // Only a *args: a function that reads its positional arguments itself.
    constexpr Params(const char* func_, const Param& star_) noexcept : func(func_), star(&star_) {}
    template <std::size_t N>
    constexpr Params(const char* func_, const Param (&params_)[N], const char* extra = nullptr) noexcept
        : func(func_), params(params_), count(N), required(0), extra_keywords(extra) {
        while (required < count && !params_[required].default_value) ++required;
    }
};

[[gnu::cold]] inline void count_error(const char* func, Py_ssize_t expected, const char* which, Py_ssize_t given) {
    PyErr_Format(PyExc_TypeError, "%.200s() takes %.8s %zd positional argument%.1s (%zd given)", func, which, expected,
                 expected == 1 ? "" : "s", given);
}

[[gnu::cold]] inline void missing_error(const Params& p, Py_ssize_t given) {
    count_error(p.func, p.required, p.required == p.count ? "exactly" : "at least", given);
}

[[gnu::cold]] inline void too_many_error(const Params& p, Py_ssize_t given) {
    count_error(p.func, p.count, p.required == p.count ? "exactly" : "at most", given);
}

// Index of the parameter called `key`, or -1: identity with the interned
// names first, string equality second.
inline Py_ssize_t find_param(const Params& p, PyObject* key) noexcept {
    for (Py_ssize_t i = 0; i < p.count; ++i)
        if (p.params[i].name.get() == key) return i;
    for (Py_ssize_t i = 0; i < p.count; ++i)
        if (PyUnicode_Compare(p.params[i].name.get(), key) == 0) return i;
    return -1;
}

// Places one keyword value; false with an exception set on a bad keyword.
[[nodiscard]] inline bool place_keyword(const Params& p, PyObject* key, PyObject* value, Py_ssize_t nargs, PyObject** out) {
    if (!PyUnicode_Check(key)) {
        PyErr_Format(PyExc_TypeError, "%.200s() keywords must be strings", p.func);
        return false;
    }
    Py_ssize_t i = find_param(p, key);
    if (i < 0) {
        if (PyErr_Occurred()) return false;
        if (p.extra_keywords) return true;
        PyErr_Format(PyExc_TypeError, "%s() got an unexpected keyword argument '%U'", p.func, key);
        return false;
    }
    if (i < nargs) {
        PyErr_Format(PyExc_TypeError, "%s() got multiple values for keyword argument '%U'", p.func, key);
        return false;
    }
    out[i] = value;
    return true;
}

[[nodiscard]] inline bool finish(const Params& p, PyObject** out) {
    for (Py_ssize_t i = 0; i < p.count; ++i) {
        if (out[i]) continue;
        if (i < p.required) {
            missing_error(p, i);
            return false;
        }
        out[i] = p.params[i].default_value->get();
    }
    return true;
}

// Vectorcall form, everything but the common case of exactly the positional
// arguments.  `out` has room for p.count values.
[[nodiscard, gnu::noinline]] inline bool parse_args_general(const Params& p, PyObject* const* args, Py_ssize_t nargs,
                                                 PyObject* kwnames, PyObject** out) {
    if (nargs > p.count) [[unlikely]] {
        too_many_error(p, nargs);
        return false;
    }
    Py_ssize_t nkw = kwnames ? PyTuple_GET_SIZE(kwnames) : 0;
    if (nkw == 0) {
        if (nargs < p.required) [[unlikely]] {
            missing_error(p, nargs);
            return false;
        }
        for (Py_ssize_t i = 0; i < nargs; ++i) out[i] = args[i];
        for (Py_ssize_t i = nargs; i < p.count; ++i) out[i] = p.params[i].default_value->get();
        return true;
    }
    for (Py_ssize_t i = 0; i < p.count; ++i) out[i] = i < nargs ? args[i] : nullptr;
    for (Py_ssize_t k = 0; k < nkw; ++k)
        if (!place_keyword(p, PyTuple_GET_ITEM(kwnames, k), args[nargs + k], nargs, out)) return false;
    return finish(p, out);
}

// Vectorcall form.  Inlined into every method, where `p` is a constant: a
// call with all parameters given by position and no keywords costs a compare.
[[nodiscard, gnu::always_inline]] inline bool parse_args(const Params& p, PyObject* const* args, Py_ssize_t nargs,
                                              PyObject* kwnames, PyObject** out) {
    if (nargs == p.count && !kwnames) [[likely]] {
        for (Py_ssize_t i = 0; i < nargs; ++i) out[i] = args[i];
        return true;
    }
    return parse_args_general(p, args, nargs, kwnames, out);
}

// Tuple-plus-dict form.  `keep` receives a snapshot of the dict's items that
// keeps the values taken from it alive for as long as the caller needs them.
[[nodiscard]] inline bool parse_tuple(const Params& p, PyObject* args, PyObject* kwds, PyObject** out, Ref& keep) {
    Py_ssize_t nargs = PyTuple_GET_SIZE(args);
    if (!kwds || PyDict_GET_SIZE(kwds) == 0) return parse_args_general(p, &PyTuple_GET_ITEM(args, 0), nargs, nullptr, out);
    if (nargs > p.count) {
        too_many_error(p, nargs);
        return false;
    }
    if (!PyArg_ValidateKeywordArguments(kwds)) return false;
    keep = Ref::steal(PyDict_Items(kwds));
    if (!keep) return false;
    for (Py_ssize_t i = 0; i < p.count; ++i) out[i] = i < nargs ? PyTuple_GET_ITEM(args, i) : nullptr;
    Py_ssize_t n = PyList_GET_SIZE(keep.get());
    for (Py_ssize_t k = 0; k < n; ++k) {
        PyObject* pair = PyList_GET_ITEM(keep.get(), k);
        if (!place_keyword(p, PyTuple_GET_ITEM(pair, 0), PyTuple_GET_ITEM(pair, 1), nargs, out)) return false;
    }
    return finish(p, out);
}

// The value of keyword `name` among a vectorcall's keywords, or null: for a
// method that collects keywords it does not declare.  The parser has already
// refused keywords that are not strings.
inline PyObject* find_keyword(const Name& name, PyObject* const* kwvalues, PyObject* kwnames) noexcept {
    if (!kwnames) return nullptr;
    Py_ssize_t n = PyTuple_GET_SIZE(kwnames);
    for (Py_ssize_t k = 0; k < n; ++k)
        if (PyTuple_GET_ITEM(kwnames, k) == name.get()) return kwvalues[k];
    for (Py_ssize_t k = 0; k < n; ++k)
        if (PyUnicode_Compare(PyTuple_GET_ITEM(kwnames, k), name.get()) == 0) return kwvalues[k];
    return nullptr;
}

// The parameters as inspect.signature reads them: "a, b=10, **kw".  Written
// into `out` (at most `size` bytes); defaults shown by their repr.
[[nodiscard]] inline bool format_params(const Params& p, char* out, std::size_t size) {
    std::size_t used = 0;
    *out = '\0';
    auto put = [&](const char* text) {
        int n = std::snprintf(out + used, size - used, "%s%s", used ? ", " : "", text);
        used = n < 0 ? size : std::min(size - 1, used + static_cast<std::size_t>(n));
    };
    for (Py_ssize_t i = 0; i < p.count; ++i) {
        const Param& param = p.params[i];
        if (!param.default_value) {
            put(param.name.text);
            continue;
        }
        Ref repr = Ref::steal(PyObject_Repr(param.default_value->get()));
        const char* text = repr ? PyUnicode_AsUTF8(repr.get()) : nullptr;
        if (!text) return false;
        char item[96];
        std::snprintf(item, sizeof item, "%s=%s", param.name.text, text);
        put(item);
    }
    if (p.star) {
        char item[64];
        std::snprintf(item, sizeof item, "*%s", p.star->name.text);
        put(item);
    }
    if (p.extra_keywords) {
        char item[64];
        std::snprintf(item, sizeof item, "**%s", p.extra_keywords);
        put(item);
    }
    return true;
}

}  // namespace
}  // namespace qm
