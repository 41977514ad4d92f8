// Conversions of arguments, values read back from Python and pickled state,
// each written once with its messages.  Exact float and int objects are read
// without calling into the interpreter.
#pragma once

#include "ref.hpp"

#include <cfloat>
#include <cmath>
#include <cstdint>
#include <limits>

namespace qm {
namespace {

// ---- widths ------------------------------------------------------------

// Every double operation rounds to double at once.  x87 code keeps wider
// intermediates and rounds twice when they are stored, which no statement
// split can undo: 32-bit x86 builds use SSE2 arithmetic (CMakeLists.txt).
static_assert(FLT_EVAL_METHOD == 0, "floating-point intermediates must not be wider than their type");

// narrow() where float is not an IEEE 754 type: NaN, the infinities and
// magnitudes past the largest float, rounded to nearest as IEEE 754 does.
[[gnu::cold, gnu::noinline]] inline float narrow_outside(double d) noexcept {
    double a = std::fabs(d);
    if (std::isnan(a) || std::isinf(a)) return static_cast<float>(d);
    // Halfway between FLT_MAX and 2^128 is FLT_MAX + 2^103; ties go to the even 2^128.
    constexpr double half_way = static_cast<double>(FLT_MAX) + 0x1p103;
    float r = a < half_way ? FLT_MAX : INFINITY;
    return static_cast<float>(std::copysign(r, d));
}

// Round a double to single precision, to nearest.  An IEEE 754 float has
// infinities, so every double lies on or between two adjacent floats and the
// conversion is defined for all of them ([conv.double]): the hardware rounds
// values past the largest float to it or to an infinity.  That holds on every
// processor the package ships for, and makes every sample and reading one
// instruction.  Where float is another kind of type, a value outside its
// range would be undefined behaviour, so it goes to the helper above.
inline float narrow(double d) noexcept {
    if constexpr (std::numeric_limits<float>::is_iec559 && std::numeric_limits<double>::is_iec559) {
        return static_cast<float>(d);
    } else {
        if (std::fabs(d) <= static_cast<double>(FLT_MAX)) [[likely]]
            return static_cast<float>(d);
        return narrow_outside(d);
    }
}

// 32-bit two's-complement arithmetic: wraps explicitly instead of overflowing.
inline std::int32_t wrap_add(std::int32_t a, std::int32_t b) noexcept {
    return static_cast<std::int32_t>(static_cast<std::uint32_t>(a) + static_cast<std::uint32_t>(b));
}
inline std::int32_t wrap_sub(std::int32_t a, std::int32_t b) noexcept {
    return static_cast<std::int32_t>(static_cast<std::uint32_t>(a) - static_cast<std::uint32_t>(b));
}

// ---- floats --------------------------------------------------------------

// An exact float, or an exact int of one digit, read without calling into the
// interpreter; false (and nothing set) for anything else.  A one-digit int is
// exact in a double, as int.__float__ would give it, and so is the difference
// of two of them.  Subclasses may define __float__, so only exact types.
inline bool exact_double(PyObject* o, double& out) noexcept {
    if (PyFloat_CheckExact(o)) {
        out = PyFloat_AS_DOUBLE(o);
        return true;
    }
    if (PyLong_CheckExact(o) && PyUnstable_Long_IsCompact(reinterpret_cast<PyLongObject*>(o))) {
        out = static_cast<double>(PyUnstable_Long_CompactValue(reinterpret_cast<PyLongObject*>(o)));
        return true;
    }
    return false;
}

// Any object to a double: an exact float or int as exact_double() reads it,
// anything else through the interpreter's float conversion (__float__, else
// __index__).  -1.0 is a valid value; only a pending exception marks failure.
[[nodiscard]] inline bool to_double(PyObject* o, double& out) noexcept {
    if (exact_double(o, out)) return true;
    double d = PyFloat_AsDouble(o);
    if (d == -1.0 && PyErr_Occurred()) return false;
    out = d;
    return true;
}

[[nodiscard]] inline bool to_float32(PyObject* o, float& out) noexcept {
    double d;
    if (!to_double(o, d)) return false;
    out = narrow(d);
    return true;
}

// A single-precision value reported to Python: widened exactly.
[[nodiscard]] inline PyObject* float_result(float f) noexcept { return PyFloat_FromDouble(static_cast<double>(f)); }

// ---- 32-bit integers -----------------------------------------------------

[[nodiscard]] inline bool int_object_to_int32(PyObject* o, std::int32_t& out) noexcept {
    if (PyUnstable_Long_IsCompact(reinterpret_cast<PyLongObject*>(o))) {
        Py_ssize_t v = PyUnstable_Long_CompactValue(reinterpret_cast<PyLongObject*>(o));
        if (v >= INT32_MIN && v <= INT32_MAX) {
            out = static_cast<std::int32_t>(v);
            return true;
        }
    }
    int v = PyLong_AsInt(o);  // raises the interpreter's OverflowError out of range
    if (v == -1 && PyErr_Occurred()) return false;
    out = v;
    return true;
}

// Any object to a 32-bit signed int: an int (or subclass, so bools too) as it
// is; anything else through its __int__ alone (not __index__), so a float
// truncates toward zero.
[[nodiscard]] inline bool to_int32(PyObject* o, std::int32_t& out) noexcept {
    if (PyLong_Check(o)) return int_object_to_int32(o, out);
    PyNumberMethods* nb = Py_TYPE(o)->tp_as_number;
    if (!nb || !nb->nb_int) {
        PyErr_SetString(PyExc_TypeError, "an integer is required");
        return false;
    }
    Ref r = Ref::steal(nb->nb_int(o));
    if (!r) return false;
    if (!PyLong_CheckExact(r.get())) {
        if (!PyLong_Check(r.get())) {
            PyErr_Format(PyExc_TypeError, "__int__ returned non-int (type %.200s)", Py_TYPE(r.get())->tp_name);
            return false;
        }
        if (PyErr_WarnFormat(PyExc_DeprecationWarning, 1,
                             "__int__ returned non-int (type %.200s).  The ability to return an instance of "
                             "a strict subclass of int is deprecated, and may be removed in a future version "
                             "of Python.",
                             Py_TYPE(r.get())->tp_name) < 0)
            return false;
    }
    return int_object_to_int32(r.get(), out);
}

// ---- truth ---------------------------------------------------------------

[[nodiscard]] inline bool to_truth(PyObject* o, bool& out) noexcept {
    if (o == Py_True) {
        out = true;
        return true;
    }
    if (o == Py_False || o == Py_None) {
        out = false;
        return true;
    }
    int r = PyObject_IsTrue(o);
    if (r < 0) return false;
    out = r != 0;
    return true;
}

[[nodiscard]] inline PyObject* bool_result(bool b) noexcept { return Py_NewRef(b ? Py_True : Py_False); }

// ---- exact types ---------------------------------------------------------

// The two messages of a wrongly typed argument: for a declared parameter, and
// for a value that is not one (a pickled member, a keyword read by hand).
[[gnu::cold]] inline void param_type_error(const char* param, const char* expected, PyObject* got) noexcept {
    PyErr_Format(PyExc_TypeError, "Argument '%.200s' has incorrect type (expected %.200s, got %.200s)", param,
                 expected, Py_TYPE(got)->tp_name);
}

[[gnu::cold]] inline void value_type_error(const char* expected, PyObject* got) noexcept {
    PyErr_Format(PyExc_TypeError, "Expected %.200s, got %.200s", expected, Py_TYPE(got)->tp_name);
}

// A parameter declared with an exact built-in type (tuple, bool), None allowed or not.
[[nodiscard]] inline bool check_exact_param(PyObject* o, PyTypeObject* expected, const char* param, bool none_ok) noexcept {
    if (Py_IS_TYPE(o, expected) || (none_ok && o == Py_None)) return true;
    param_type_error(param, expected->tp_name, o);
    return false;
}

// A value (not a parameter) that must be exactly `expected`, None allowed or not.
[[nodiscard]] inline bool check_exact_value(PyObject* o, PyTypeObject* expected, bool none_ok) noexcept {
    if (Py_IS_TYPE(o, expected) || (none_ok && o == Py_None)) return true;
    value_type_error(expected->tp_name, o);
    return false;
}

// Something declared as a Python int: an exact int (or None when allowed) as
// it is, any other number through int(), anything else refused.  A parameter
// is named in the message; null `param` means a value.
[[nodiscard]] inline Ref int_param(PyObject* o, const char* param, bool none_ok) noexcept {
    if (PyLong_CheckExact(o) || (none_ok && o == Py_None)) return Ref::incref(o);
    if (PyNumber_Check(o)) return Ref::steal(PyNumber_Long(o));
    if (param)
        param_type_error(param, "int", o);
    else
        value_type_error("int", o);
    return Ref();
}

// A value declared as an optional Python int (not a parameter).
[[nodiscard]] inline Ref optional_int_value(PyObject* o) noexcept { return int_param(o, nullptr, true); }

}  // namespace
}  // namespace qm
